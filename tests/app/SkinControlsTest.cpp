// The skinned controls on the real resource module: mask regions, skin
// arguments, the pressed look under the cursor, header tiling, the main
// window's skin and the about box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "app/AboutDlg.h"
#include "app/BitmapDialog.h"
#include "app/BmpHeaderCtrl.h"
#include "app/HyperlinkStatic.h"
#include "app/SkinButton.h"
#include "resources/ResourceIds.h"
#include "tests/app/SkinTestEnv.h"

namespace {

// The main window's template with its background, counting button clicks.
class SkinDialog : public CBitmapDialog {
 public:
  SkinDialog() : CBitmapDialog(IDD_MAIN) {}
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    if (HIWORD(wParam) == BN_CLICKED) clicks.push_back(LOWORD(wParam));
    return CBitmapDialog::OnCommand(wParam, lParam);
  }
  std::vector<int> clicks;
};

bool Bluish(QRgb p) { return qBlue(p) > qRed(p) + 60; }
bool Reddish(QRgb p) { return qRed(p) > qBlue(p) + 60; }

void SendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons) {
  QMouseEvent e(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

class SkinControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dlg_.Create(IDD_MAIN));
    dlg_.ShowWindow(SW_SHOW);
  }
  void TearDown() override {
    if (dlg_.GetSafeHwnd()) dlg_.DestroyWindow();
    UiPumpMessages();
  }
  SkinDialog dlg_;
};

TEST(SkinMask, RunsCoverTheNonKeyPixelsRowByRow) {
  // 5x2: row 0 = W B B W B, row 1 = B W W W W (B black, W white).
  const COLORREF w = RGB(255, 255, 255);
  auto px = [](COLORREF c) { return std::vector<BYTE>{GetBValue(c), GetGValue(c), GetRValue(c), 0}; };
  std::vector<BYTE> bits;
  for (COLORREF c : {w, 0u, 0u, w, 0u, 0u, w, w, w, w}) {
    auto p = px(c);
    bits.insert(bits.end(), p.begin(), p.end());
  }
  std::vector<RECT> runs = CSkinButton::MaskRuns(bits.data(), 5, 2, w);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(CRect(runs[0]), CRect(1, 0, 3, 1));
  EXPECT_EQ(CRect(runs[1]), CRect(4, 0, 5, 1));  // a run reaching the row's end
  EXPECT_EQ(CRect(runs[2]), CRect(0, 1, 1, 2));
}

TEST(SkinMask, AllWhiteMaskGivesAnEmptyRegion) {
  std::vector<BYTE> white(8 * 6 * 4, 0xFF);
  CBitmap mask;
  ASSERT_TRUE(mask.CreateBitmap(8, 6, 1, 32, white.data()));
  HRGN region = CSkinButton::CreateMaskRegion(&mask, RGB(255, 255, 255));
  ASSERT_NE(region, nullptr);
  CRgn owned;
  owned.Attach(reinterpret_cast<HGDIOBJ>(region));
  RECT box{};
  EXPECT_EQ(owned.GetRgnBox(&box), NULLREGION);
  EXPECT_FALSE(owned.PtInRegion(3, 3));
}

TEST_F(SkinControlsTest, MaskShapesAndSizesTheButton) {
  CSkinButton button;
  ASSERT_TRUE(button.SubclassDlgItem(1001, &dlg_));
  button.MoveWindow(10, 60, 120, 50);
  button.SetSkin(IDB_ADD_NORMAL, IDB_ADD_NORMAL, IDB_ADD_HOVER, IDB_ADD_DISABLED, 0, IDB_PILL_MASK, 0, 0, 0);
  CRect rect;
  button.GetClientRect(&rect);
  EXPECT_EQ(rect.Width(), 70);  // natural size: the mask's
  EXPECT_EQ(rect.Height(), 20);
  HRGN probe = ::CreateRectRgn(0, 0, 0, 0);
  ASSERT_NE(button.GetWindowRgn(probe), RGN_ERROR);
  EXPECT_TRUE(::PtInRegion(probe, 35, 10));
  EXPECT_FALSE(::PtInRegion(probe, 0, 0));  // rounded corner cut away
  EXPECT_FALSE(::PtInRegion(probe, 69, 19));
  ::DeleteObject(reinterpret_cast<HGDIOBJ>(probe));
  button.UnsubclassWindow();
}

TEST_F(SkinControlsTest, SkinArgumentsAreClamped) {
  CSkinButton button;
  ASSERT_TRUE(button.SubclassDlgItem(1079, &dlg_));
  button.SetSkin(IDB_REMOVE_NORMAL, 0, 0, 0, 0, 0, 5, 1, -3);
  EXPECT_EQ(button.GetDrawMode(), CSkinButton::kTile);
  EXPECT_EQ(button.GetMargin(), 0);
  button.SetSkin(IDB_REMOVE_NORMAL, 0, 0, 0, 0, 0, -1, 0, 4);
  EXPECT_EQ(button.GetDrawMode(), CSkinButton::kNatural);
  EXPECT_EQ(button.GetMargin(), 4);
  button.UnsubclassWindow();
}

TEST_F(SkinControlsTest, PushButtonsNeverCheckButCheckBoxesDo) {
  CSkinButton push, check;
  ASSERT_TRUE(push.SubclassDlgItem(1002, &dlg_));
  EXPECT_EQ(push.GetKind(), CSkinButton::kPush);
  push.SetCheck(1);
  EXPECT_EQ(push.GetCheck(), 0);
  CWnd* raw = dlg_.GetDlgItem(1005);
  ASSERT_NE(raw, nullptr);
  raw->ModifyStyle(BS_TYPEMASK, BS_AUTOCHECKBOX);
  ASSERT_TRUE(check.SubclassDlgItem(1005, &dlg_));
  EXPECT_EQ(check.GetKind(), CSkinButton::kCheckBox);
  EXPECT_EQ(check.GetStyle() & BS_TYPEMASK, BS_OWNERDRAW);
  check.SetCheck(1);
  EXPECT_EQ(check.GetCheck(), 1);
  push.UnsubclassWindow();
  check.UnsubclassWindow();
}

TEST_F(SkinControlsTest, DisabledWithoutItsOwnBitmapShowsTheNormalOne) {
  CSkinButton button;
  ASSERT_TRUE(button.SubclassDlgItem(1002, &dlg_));
  button.SetSkin(IDB_START_NORMAL, IDB_STOP_NORMAL, 0, 0, 0, IDB_PILL_MASK, 0, 0, 0);
  button.EnableWindow(FALSE);
  QImage img = GrabWindow(&button);
  ASSERT_FALSE(img.isNull());
  EXPECT_TRUE(Bluish(img.pixel(12, 10))) << std::hex << img.pixel(12, 10);
  button.UnsubclassWindow();
}

TEST_F(SkinControlsTest, PressedLookFollowsTheCursorAndDraggingOffDoesNotClick) {
  CSkinButton button;
  ASSERT_TRUE(button.SubclassDlgItem(1002, &dlg_));
  // Blue normal, red down: the look tells the state apart.
  button.SetSkin(IDB_START_NORMAL, IDB_STOP_NORMAL, IDB_START_HOVER, 0, 0, IDB_PILL_MASK, 0, 0, 0);
  QWidget* w = button.GetWidget();
  ASSERT_NE(w, nullptr);
  SendMouse(w, QEvent::MouseButtonPress, QPoint(12, 10), Qt::LeftButton, Qt::LeftButton);
  EXPECT_TRUE(Reddish(GrabWindow(&button).pixel(12, 10)));
  SendMouse(w, QEvent::MouseMove, QPoint(200, 200), Qt::NoButton, Qt::LeftButton);
  EXPECT_TRUE(Bluish(GrabWindow(&button).pixel(12, 10)));
  SendMouse(w, QEvent::MouseMove, QPoint(14, 10), Qt::NoButton, Qt::LeftButton);
  EXPECT_TRUE(Reddish(GrabWindow(&button).pixel(12, 10)));
  SendMouse(w, QEvent::MouseMove, QPoint(200, 200), Qt::NoButton, Qt::LeftButton);
  SendMouse(w, QEvent::MouseButtonRelease, QPoint(200, 200), Qt::LeftButton, Qt::NoButton);
  UiPumpMessages();
  EXPECT_TRUE(dlg_.clicks.empty());
  // A press and release on the button clicks it.
  SendMouse(w, QEvent::MouseButtonPress, QPoint(12, 10), Qt::LeftButton, Qt::LeftButton);
  SendMouse(w, QEvent::MouseButtonRelease, QPoint(12, 10), Qt::LeftButton, Qt::NoButton);
  UiPumpMessages();
  EXPECT_EQ(dlg_.clicks, std::vector<int>{1002});
  button.UnsubclassWindow();
}

TEST(HeaderSkin, TilesFromTheLeftAndEndsWithAWholeTileAtTheRight) {
  CBmpHeaderCtrl header;
  ASSERT_TRUE(header.SetBitmap(IDB_HEADER));
  CBitmap tile;
  ASSERT_TRUE(tile.LoadBitmap(IDB_HEADER));
  BITMAP bm{};
  tile.GetBitmap(&bm);
  ASSERT_EQ(bm.bmWidth, 8);
  std::vector<BYTE> tileBits(static_cast<size_t>(bm.bmWidth) * bm.bmHeight * 4);
  tile.GetBitmapBits(static_cast<DWORD>(tileBits.size()), tileBits.data());

  const int width = 30, height = bm.bmHeight;
  CDC screen;
  screen.CreateCompatibleDC(nullptr);
  CDC mem;
  mem.CreateCompatibleDC(&screen);
  CBitmap target;
  target.CreateCompatibleBitmap(&screen, width, height);
  CBitmap* old = mem.SelectObject(&target);
  mem.FillSolidRect(0, 0, width, height, RGB(255, 0, 255));
  DRAWITEMSTRUCT dis{};
  dis.CtlType = ODT_HEADER;
  dis.hDC = mem.GetSafeHdc();
  dis.rcItem = RECT{0, 0, width, height};
  header.DrawItem(&dis);
  mem.SelectObject(old);

  std::vector<BYTE> out(static_cast<size_t>(width) * height * 4);
  target.GetBitmapBits(static_cast<DWORD>(out.size()), out.data());
  auto at = [&](const std::vector<BYTE>& bits, int stride, int x, int y) {
    const BYTE* p = &bits[(static_cast<size_t>(y) * stride + x) * 4];
    return RGB(p[2], p[1], p[0]);
  };
  const int y = 1;  // above any text
  EXPECT_EQ(at(out, width, 0, y), RGB(255, 0, 255));          // left edge kept
  EXPECT_EQ(at(out, width, width - 1, y), RGB(255, 0, 255));  // right edge kept
  // Whole tiles at 1, 9, 17; the last tile ends at width - 1, starting at 21.
  for (int x = 1; x < 21; ++x) EXPECT_EQ(at(out, width, x, y), at(tileBits, 8, (x - 1) % 8, y)) << x;
  for (int x = 21; x < width - 1; ++x) EXPECT_EQ(at(out, width, x, y), at(tileBits, 8, x - 21, y)) << x;
}

TEST_F(SkinControlsTest, MainWindowSkinRendersBackgroundButtonsAndShape) {
  ASSERT_TRUE(dlg_.SetBitmap(IDB_MAIN_BACKGROUND));
  struct Skin {
    int id;
    UINT normal, hover, fourth, mask;
    CRect rect;
  };
  const Skin skins[] = {
      {1080, 159, 158, 168, 160, CRect(570, 2, 590, 22)},  {1081, 164, 161, 164, 160, CRect(593, 2, 613, 22)},
      {1082, 162, 163, 162, 160, CRect(616, 2, 636, 22)},  {1001, 166, 165, 167, 186, CRect(334, 30, 404, 50)},
      {1079, 176, 175, 177, 186, CRect(409, 30, 479, 50)}, {1002, 172, 171, 172, 186, CRect(485, 30, 555, 50)},
      {1083, 180, 180, 180, 179, CRect(15, 405, 521, 431)}, {1005, 184, 185, 184, 181, CRect(478, 435, 629, 450)},
  };
  std::vector<std::unique_ptr<CSkinButton>> buttons;
  for (const Skin& s : skins) {
    auto b = std::make_unique<CSkinButton>();
    ASSERT_TRUE(b->SubclassDlgItem(s.id, &dlg_));
    b->SetSkin(s.normal, s.normal, s.hover, s.fourth, 0, s.mask);
    b->MoveWindow(&s.rect);
    buttons.push_back(std::move(b));
  }
  // The window takes the skin's size whatever its template's size at the font.
  dlg_.SetWindowPos(nullptr, 0, 0, 640, 464, SWP_NOMOVE | SWP_NOZORDER);
  dlg_.SetWindowRgn(::CreateRectRgn(0, 0, 639, 463), TRUE);

  QImage img = GrabWindow(&dlg_);
  ASSERT_EQ(img.size(), QSize(640, 464));
  QImage background = QImage::fromData(UiFindBitmapResource(IDB_MAIN_BACKGROUND)->data,
                                       static_cast<int>(UiFindBitmapResource(IDB_MAIN_BACKGROUND)->size))
                          .convertToFormat(QImage::Format_RGB32);
  // The body shows the background bitmap where no control covers it.
  for (QPoint p : {QPoint(300, 12), QPoint(100, 45), QPoint(10, 300), QPoint(300, 455)})
    EXPECT_EQ(img.pixel(p), background.pixel(p)) << p.x() << "," << p.y();
  // The Start button shows its blue face; outside its rounded corner the
  // background shows through.
  EXPECT_TRUE(Bluish(img.pixel(490, 40)));
  EXPECT_EQ(img.pixel(485, 30), background.pixel(485, 30));
  // The progress field is light, the title strip dark.
  EXPECT_GT(qGray(img.pixel(200, 418)), 200);
  EXPECT_LT(qGray(img.pixel(300, 12)), 60);
  for (auto& b : buttons) b->UnsubclassWindow();
}

TEST_F(SkinControlsTest, StaticsOnTheSkinAreTransparentButTrackbarsAreNot) {
  CClientDC dc(&dlg_);
  CStatic label;
  RECT r{10, 60, 100, 80};
  ASSERT_TRUE(label.Create("label", WS_CHILD | WS_VISIBLE, r, &dlg_, 4001));
  dc.SetBkMode(OPAQUE);
  LRESULT brush = dlg_.SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc.GetSafeHdc()),
                                   reinterpret_cast<LPARAM>(label.GetSafeHwnd()));
  EXPECT_EQ(reinterpret_cast<HGDIOBJ>(brush), ::GetStockObject(HOLLOW_BRUSH));
  EXPECT_EQ(dc.GetBkMode(), TRANSPARENT);

  CWnd slider;
  ASSERT_TRUE(slider.Create("msctls_trackbar32", nullptr, WS_CHILD | WS_VISIBLE, RECT{10, 90, 100, 110}, &dlg_, 4002));
  dc.SetBkMode(OPAQUE);
  brush = dlg_.SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc.GetSafeHdc()),
                           reinterpret_cast<LPARAM>(slider.GetSafeHwnd()));
  EXPECT_NE(reinterpret_cast<HGDIOBJ>(brush), ::GetStockObject(HOLLOW_BRUSH));
  EXPECT_EQ(dc.GetBkMode(), OPAQUE);
}

TEST(AboutBox, BuildsFromItsTemplateAndClosesWithOk) {
  CAboutDlg about;
  bool sawOk = false;
  QTimer::singleShot(0, [&] {
    sawOk = about.GetDlgItem(IDOK) != nullptr;
    std::string caption;
    about.GetWindowText(caption);
    EXPECT_EQ(caption, "About Pellomar");
    CRect client, size(0, 0, UiFindDialogTemplate(IDD_ABOUTBOX)->cx, UiFindDialogTemplate(IDD_ABOUTBOX)->cy);
    about.GetClientRect(&client);
    about.MapDialogRect(&size);
    EXPECT_EQ(client, size);
    about.EndDialog(IDOK);
  });
  EXPECT_EQ(about.DoModal(), IDOK);
  EXPECT_TRUE(sawOk);
}

TEST(Hyperlink, ClickOnTheTextOpensTheAddress) {
  CDialog notice(IDD_ASF_INFO);
  ASSERT_TRUE(notice.Create(IDD_ASF_INFO));
  CHyperlinkStatic link;
  ASSERT_TRUE(link.SubclassDlgItem(1087, &notice));
  EXPECT_EQ(link.GetCaption(), "Windows Media format runtime");
  EXPECT_TRUE(link.GetStyle() & SS_NOTIFY);
  link.SetURL("https://example.org/wm");
  std::vector<std::string> opened;
  UiSetOpenHook([&](const std::string& target) {
    opened.push_back(target);
    return true;
  });
  link.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  link.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(340, 2));  // past the text
  UiSetOpenHook(nullptr);
  EXPECT_EQ(opened, std::vector<std::string>{"https://example.org/wm"});
  EXPECT_TRUE(link.IsOverLink(CPoint(1, 1)));
  EXPECT_FALSE(link.IsOverLink(CPoint(-1, 1)));
  link.UnsubclassWindow();
  notice.DestroyWindow();
}

}  // namespace
