#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QTemporaryDir>
#include <QWidget>

#include "tests/platform/ui/TestIds.h"
#include "tests/platform/ui/UiTestEnv.h"

namespace {

class FormDialog : public CDialog {
 public:
  FormDialog() : CDialog(kDlgForm) {}
  std::string name = "initial";
  int count = 5;
  int check = 1;
  int radio = 2;
  int combo = 1;
  double rate = 12.5;
  CComboBox comboCtl;
  std::function<void(FormDialog&)> onInit;
  int initCalls = 0;

 protected:
  BOOL OnInitDialog() override {
    comboCtl.SubclassDlgItem(kIdCombo, this);
    comboCtl.AddString("zero");
    comboCtl.AddString("one");
    comboCtl.AddString("two");
    CDialog::OnInitDialog();
    ++initCalls;
    if (onInit) onInit(*this);
    return TRUE;
  }
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Text(dx, kIdName, name);
    DDV_MaxChars(dx, name, 10);
    DDX_Text(dx, kIdCount, count);
    DDV_MinMaxInt(dx, count, 0, 100);
    DDX_Check(dx, kIdCheck, check);
    DDX_Radio(dx, kIdRadio1, radio);
    DDX_CBIndex(dx, kIdCombo, combo);
    DDX_Text(dx, kIdRate, rate);
    DDV_MinMaxDouble(dx, rate, 0.08, 30.0);
  }
};

struct BoxRecorder {
  std::vector<std::string> texts;
  BoxRecorder() {
    UiSetMessageBoxHook([this](const std::string& text, const std::string&, UINT) {
      texts.push_back(text);
      return IDOK;
    });
  }
  ~BoxRecorder() { UiSetMessageBoxHook(nullptr); }
};

}  // namespace

TEST(Dialog, ControlsComeFromTheTemplateInDialogUnitsOfItsFont) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  // A horizontal unit is a quarter of the font's average letter width, a
  // vertical one an eighth of its height.
  CRect unit(0, 0, 4, 8);
  dlg.MapDialogRect(&unit);
  const QFontMetrics fm(dlg.GetWidget()->font());
  EXPECT_EQ(unit.Height(), fm.height());
  const double letters = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0;
  EXPECT_NEAR(unit.Width(), letters, 0.51);
  const auto px = [&](int v, bool horizontal) {
    const int base = horizontal ? unit.Width() : unit.Height(), per = horizontal ? 4 : 8;
    return (v * base + per / 2) / per;
  };
  CRect client;
  dlg.GetClientRect(&client);
  EXPECT_EQ(client, CRect(0, 0, px(300, true), px(200, false)));
  std::string caption;
  dlg.GetWindowText(caption);
  EXPECT_EQ(caption, "Form");
  struct Expect {
    int id;
    CRect units;  // left, top, width, height as in the template
  } expected[] = {{kIdName, {10, 10, 120, 22}}, {kIdCheck, {10, 70, 100, 20}}, {kIdList, {150, 40, 140, 100}},
                  {IDCANCEL, {220, 160, 60, 24}}};
  for (auto& e : expected) {
    CWnd* c = dlg.GetDlgItem(e.id);
    ASSERT_NE(c, nullptr) << e.id;
    CRect r;
    c->GetWindowRect(&r);
    dlg.ScreenToClient(&r);
    const int left = px(e.units.left, true), top = px(e.units.top, false);
    EXPECT_EQ(r, CRect(left, top, left + px(e.units.right, true), top + px(e.units.bottom, false))) << e.id;
  }
  EXPECT_NE(dynamic_cast<CButton*>(dlg.GetDlgItem(kIdCheck)), nullptr);
  EXPECT_NE(dynamic_cast<CListCtrl*>(dlg.GetDlgItem(kIdList)), nullptr);
  EXPECT_NE(dynamic_cast<CProgressCtrl*>(dlg.GetDlgItem(kIdProgress)), nullptr);
  EXPECT_EQ(dlg.GetDlgItem(4242), nullptr);
}

// A layout in dialog units keeps fitting its text whatever the program's font.
TEST(Dialog, ATextSizedInDialogUnitsFitsAtEveryFont) {
  const QFont original = QApplication::font();
  int lastWidth = 0;
  for (int points : {7, 9, 12, 18}) {
    SCOPED_TRACE(points);
    QFont font = original;
    font.setPointSize(points);
    QApplication::setFont(font);
    EXPECT_EQ(HIWORD(GetDialogBaseUnits()), QFontMetrics(font).height());
    CDialog dlg(kDlgText);
    ASSERT_TRUE(dlg.Create(kDlgText));
    QWidget* label = dlg.GetDlgItem(kIdLabel)->GetWidget();
    const QFontMetrics fm(label->font());
    EXPECT_GE(label->width(), fm.horizontalAdvance("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_GE(label->height(), fm.height());
    CRect client;
    dlg.GetClientRect(&client);
    EXPECT_GT(client.Width(), lastWidth);
    lastWidth = client.Width();
    dlg.DestroyWindow();
  }
  QApplication::setFont(original);
}

// Pages are shown with their parent only when their template says so.
TEST(Dialog, AChildPageIsShownOnlyWithTheVisibleStyle) {
  CDialog form(kDlgForm);
  ASSERT_TRUE(form.Create(kDlgForm));
  form.ShowWindow(SW_SHOW);
  for (auto [id, visible] : {std::pair{kDlgPage, false}, std::pair{kDlgShownPage, true}}) {
    CDialog page(id, &form);
    ASSERT_TRUE(page.Create(id, &form));
    UiPumpMessages();
    EXPECT_EQ(page.IsWindowVisible() != 0, visible) << id;
    EXPECT_EQ(page.GetParent(), &form);
    page.ShowWindow(SW_SHOW);
    EXPECT_TRUE(page.IsWindowVisible()) << id;
    page.DestroyWindow();
  }
  form.DestroyWindow();
}

TEST(Dialog, MissingTemplateFailsCleanly) {
  CDialog dlg(4242);
  EXPECT_EQ(dlg.DoModal(), -1);
  EXPECT_FALSE(dlg.Create(4242));
  EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(Dialog, DoModalEndsWithAPostedCommandAndSavesTheData) {
  FormDialog dlg;
  dlg.onInit = [](FormDialog& d) {
    d.SetDlgItemText(kIdName, "typed");
    d.SetDlgItemText(kIdCount, "42");
    d.PostMessage(WM_COMMAND, IDOK, 0);
  };
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.name, "typed");
  EXPECT_EQ(dlg.count, 42);
  EXPECT_EQ(dlg.m_hWnd, nullptr);  // the window is gone after DoModal
  EXPECT_EQ(dlg.comboCtl.m_hWnd, nullptr);
}

TEST(Dialog, RangeRefusalKeepsTheDialogOpen) {
  BoxRecorder boxes;
  FormDialog dlg;
  dlg.onInit = [](FormDialog& d) {
    d.SetDlgItemText(kIdCount, "500");
    d.PostMessage(WM_COMMAND, IDOK, 0);      // refused: 500 is out of range
    d.PostMessage(WM_COMMAND, IDCANCEL, 0);  // still open, so this ends it
  };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  ASSERT_EQ(boxes.texts.size(), 1u);
  EXPECT_EQ(boxes.texts[0], "Please enter an integer between 0 and 100.");
}

TEST(Dialog, DataExchangeRoundTrips) {
  BoxRecorder boxes;
  FormDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  // Members to controls (done by OnInitDialog).
  std::string text;
  dlg.GetDlgItemText(kIdName, text);
  EXPECT_EQ(text, "initial");
  dlg.GetDlgItemText(kIdCount, text);
  EXPECT_EQ(text, "5");
  dlg.GetDlgItemText(kIdRate, text);
  EXPECT_EQ(text, "12.5");
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdCheck), 1u);
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdRadio3), 1u);
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdRadio1), 0u);
  EXPECT_EQ(dlg.comboCtl.GetCurSel(), 1);

  // Controls to members.
  dlg.SetDlgItemText(kIdName, "changed");
  dlg.SetDlgItemText(kIdCount, "77");
  dlg.SetDlgItemText(kIdRate, "7.25");
  dlg.CheckDlgButton(kIdCheck, BST_UNCHECKED);
  dlg.CheckRadioButton(kIdRadio1, kIdRadio3, kIdRadio1);
  dlg.comboCtl.SetCurSel(2);
  ASSERT_TRUE(dlg.UpdateData(TRUE));
  EXPECT_EQ(dlg.name, "changed");
  EXPECT_EQ(dlg.count, 77);
  EXPECT_DOUBLE_EQ(dlg.rate, 7.25);
  EXPECT_EQ(dlg.check, 0);
  EXPECT_EQ(dlg.radio, 0);
  EXPECT_EQ(dlg.combo, 2);
  EXPECT_TRUE(boxes.texts.empty());

  // Refusals: not a number, a double out of range, text too long.
  dlg.SetDlgItemText(kIdCount, "12x");
  EXPECT_FALSE(dlg.UpdateData(TRUE));
  dlg.SetDlgItemText(kIdCount, "12");
  dlg.SetDlgItemText(kIdRate, "0.01");
  EXPECT_FALSE(dlg.UpdateData(TRUE));
  dlg.SetDlgItemText(kIdRate, "1");
  dlg.SetDlgItemText(kIdName, "far too long a name");
  EXPECT_FALSE(dlg.UpdateData(TRUE));
  ASSERT_EQ(boxes.texts.size(), 3u);
  EXPECT_EQ(boxes.texts[0], "Please enter an integer.");
  EXPECT_EQ(boxes.texts[1], "Please enter a number between 0.08 and 30.");
  EXPECT_EQ(boxes.texts[2], "Please enter no more than 10 characters.");
  // No radio checked reads -1.
  dlg.CheckRadioButton(kIdRadio1, kIdRadio3, 0);
  dlg.SetDlgItemText(kIdName, "ok");
  ASSERT_TRUE(dlg.UpdateData(TRUE));
  EXPECT_EQ(dlg.radio, -1);
}

TEST(Dialog, SubclassedControlIsReleasedWithItsObject) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  HWND h = dlg.GetDlgItem(kIdCombo)->m_hWnd;
  {
    CComboBox mine;
    ASSERT_TRUE(mine.SubclassDlgItem(kIdCombo, &dlg));
    EXPECT_EQ(CWnd::FromHandle(h), &mine);
  }
  // The framework's own wrapper takes the window back.
  CWnd* back = CWnd::FromHandle(h);
  ASSERT_NE(back, nullptr);
  EXPECT_NE(dynamic_cast<CComboBox*>(back), nullptr);
  EXPECT_EQ(static_cast<CComboBox*>(back)->AddString("x"), 0);
}
