#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

#include "tests/platform/ui/TestIds.h"
#include "tests/platform/ui/UiTestEnv.h"

namespace {

class TestApp : public CWinApp {
 public:
  TestApp() : CWinApp("Pellomar") {}
  std::vector<std::string> steps;
  BOOL InitInstance() override {
    steps.push_back("init");
    CDialog dlg(kDlgForm);
    m_pMainWnd = &dlg;
    UiSetMessageBoxHook([this](const std::string& text, const std::string& caption, UINT) {
      steps.push_back(caption + ":" + text);
      return IDOK;
    });
    AfxMessageBox("hi");
    UiSetMessageBoxHook(nullptr);
    m_pMainWnd = nullptr;
    return FALSE;
  }
  int ExitInstance() override {
    steps.push_back("exit");
    return 7;
  }
};

// Counts mouse messages; lets the label's own processing run for presses only.
class MouseDialog : public CDialog {
 public:
  MouseDialog() : CDialog(kDlgForm) {}
  std::vector<CPoint> downs;
  int leaves = 0;
  HBRUSH brush = nullptr;
  COLORREF textColour = RGB(0, 0, 255);

 protected:
  afx_msg void OnLButtonDown(UINT flags, CPoint point) {
    EXPECT_TRUE(flags & MK_LBUTTON);
    downs.push_back(point);
    CDialog::OnLButtonDown(flags, point);
  }
  afx_msg HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT kind) {
    if (kind == CTLCOLOR_STATIC && wnd && wnd->GetDlgCtrlID() == kIdLabel) {
      dc->SetTextColor(textColour);
      dc->SetBkMode(TRANSPARENT);
      return reinterpret_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
    }
    return CDialog::OnCtlColor(dc, wnd, kind);
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(MouseDialog, CDialog)
  ON_WM_LBUTTONDOWN()
  ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

}  // namespace

TEST(App, EntryPointRunsInitThenExitAndReturnsItsCode) {
  TestApp app;
  static char name[] = "app";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(AfxWinMain(1, argv), 7);
  EXPECT_EQ(app.steps, (std::vector<std::string>{"init", "Pellomar:hi", "exit"}));
  EXPECT_EQ(AfxGetApp(), &app);
  EXPECT_NE(QApplication::instance(), nullptr);  // the tests' application stays
}

TEST(Window, MouseMessagesAndControlColours) {
  MouseDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  QWidget* w = dlg.GetWidget();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(250, 190), w->mapToGlobal(QPointF(250, 190)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  ASSERT_EQ(dlg.downs.size(), 1u);
  EXPECT_EQ(dlg.downs[0], CPoint(250, 190));

  // The parent picks the label's text colour when it paints.
  QImage shot = w->grab().toImage();
  QWidget* label = dlg.GetDlgItem(kIdLabel)->GetWidget();
  EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_FALSE(shot.isNull());
}

TEST(Window, FontsFollowTheWindow) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  CWnd* name = dlg.GetDlgItem(kIdName);
  LOGFONT lf{};
  ASSERT_TRUE(name->GetFont()->GetLogFont(&lf));
  EXPECT_EQ(lf.lfHeight, -12);  // 9 points of the template at 96 pixels per inch
  {
    CFont bold;
    lf.lfWeight = FW_BOLD;
    lf.lfHeight = -20;
    ASSERT_TRUE(bold.CreateFontIndirect(&lf));
    name->SetFont(&bold);
  }  // the window keeps its own copy
  LOGFONT now{};
  ASSERT_TRUE(name->GetFont()->GetLogFont(&now));
  EXPECT_EQ(now.lfWeight, FW_BOLD);
  EXPECT_EQ(now.lfHeight, -20);
  EXPECT_EQ(name->GetWidget()->font().pixelSize(), 20);
  CFont points;
  ASSERT_TRUE(points.CreatePointFont(120, "Sans"));
  points.GetLogFont(&now);
  EXPECT_EQ(now.lfHeight, -16);
  EXPECT_FALSE(points.CreatePointFont(0, "Sans"));
}

TEST(ListBox, ItemsSortingAndData) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  CListBox sorted;
  ASSERT_TRUE(sorted.Create(WS_CHILD | WS_VISIBLE | LBS_SORT | LBS_NOTIFY, CRect(0, 0, 50, 50), &dlg, 3100));
  sorted.AddString("pear");
  sorted.AddString("apple");
  EXPECT_EQ(sorted.AddString("fig"), 1);
  std::string text;
  EXPECT_EQ(sorted.GetText(0, text), 5);
  EXPECT_EQ(text, "apple");
  EXPECT_EQ(sorted.GetText(5, text), LB_ERR);
  EXPECT_EQ(sorted.SetItemData(2, 99), 0);
  EXPECT_EQ(sorted.GetItemData(2), 99u);
  EXPECT_EQ(sorted.GetCurSel(), LB_ERR);
  EXPECT_EQ(sorted.SetCurSel(1), 1);
  EXPECT_EQ(sorted.GetCurSel(), 1);
  EXPECT_EQ(sorted.FindStringExact(-1, "PEAR"), 2);
  EXPECT_EQ(sorted.DeleteString(0), 2);
  EXPECT_EQ(sorted.InsertString(7, "x"), LB_ERR);
}
