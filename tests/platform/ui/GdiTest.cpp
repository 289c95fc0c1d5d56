#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>

#include "tests/platform/ui/TestIds.h"
#include "tests/platform/ui/UiTestEnv.h"

namespace {

// A memory DC of w x h filled with one colour.
struct MemoryDc {
  CDC dc;
  CBitmap bitmap;
  CBitmap* old = nullptr;
  MemoryDc(int w, int h, COLORREF fill) {
    dc.CreateCompatibleDC(nullptr);
    bitmap.CreateCompatibleBitmap(&dc, w, h);
    old = dc.SelectObject(&bitmap);
    dc.FillSolidRect(0, 0, w, h, fill);
  }
  ~MemoryDc() { dc.SelectObject(old); }
};

COLORREF Blit(COLORREF dst, COLORREF src, DWORD rop) {
  MemoryDc d(2, 2, dst), s(2, 2, src);
  EXPECT_TRUE(d.dc.BitBlt(0, 0, 2, 2, &s.dc, 0, 0, rop));
  return d.dc.GetPixel(1, 1);
}

// Paints the loaded bitmap over a solid background in its erase handler.
class PictureDialog : public CDialog {
 public:
  PictureDialog() : CDialog(kDlgPicture) {}
  int erased = 0;

 protected:
  afx_msg BOOL OnEraseBkgnd(CDC* dc) {
    ++erased;
    CRect r;
    GetClientRect(&r);
    dc->FillSolidRect(&r, RGB(10, 20, 30));
    CBitmap strip;
    if (!strip.LoadBitmap(kBmpStrip)) return FALSE;
    CDC mem;
    mem.CreateCompatibleDC(dc);
    CBitmap* old = mem.SelectObject(&strip);
    dc->StretchBlt(0, 0, 8, 4, &mem, 0, 0, 4, 2, SRCCOPY);
    mem.SelectObject(old);
    return TRUE;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(PictureDialog, CDialog)
  ON_WM_ERASEBKGND()
END_MESSAGE_MAP()

class SkinButton : public CButton {
 public:
  int drawn = 0;
  UINT lastState = 0;
  void DrawItem(LPDRAWITEMSTRUCT dis) override {
    ++drawn;
    lastState = dis->itemState;
    CDC* dc = CDC::FromHandle(dis->hDC);
    ASSERT_NE(dc, nullptr);
    dc->FillSolidRect(&dis->rcItem, RGB(0, 200, 0));
  }
};

}  // namespace

TEST(Dc, RasterOperationsOnPixelValues) {
  const COLORREF d = RGB(0xF0, 0x0F, 0x55), s = RGB(0x3C, 0xFF, 0x0A);
  auto op = [](COLORREF a, COLORREF b, auto f) {
    return RGB(static_cast<BYTE>(f(GetRValue(a), GetRValue(b))), static_cast<BYTE>(f(GetGValue(a), GetGValue(b))),
               static_cast<BYTE>(f(GetBValue(a), GetBValue(b))));
  };
  EXPECT_EQ(Blit(d, s, SRCCOPY), s);
  EXPECT_EQ(Blit(d, s, SRCINVERT), op(d, s, [](int x, int y) { return x ^ y; }));
  EXPECT_EQ(Blit(d, s, SRCAND), op(d, s, [](int x, int y) { return x & y; }));
  EXPECT_EQ(Blit(d, s, SRCPAINT), op(d, s, [](int x, int y) { return x | y; }));
  EXPECT_EQ(Blit(d, s, NOTSRCCOPY), op(d, s, [](int, int y) { return ~y & 0xFF; }));
  EXPECT_EQ(Blit(d, s, SRCERASE), op(d, s, [](int x, int y) { return y & ~x & 0xFF; }));
  EXPECT_EQ(Blit(d, s, DSTINVERT), op(d, s, [](int x, int) { return ~x & 0xFF; }));
  EXPECT_EQ(Blit(d, s, BLACKNESS), RGB(0, 0, 0));
  EXPECT_EQ(Blit(d, s, WHITENESS), RGB(255, 255, 255));
  // The masked-draw sequence (XOR, AND mask, XOR) leaves the background
  // where the mask is white and the picture where it is black.
  MemoryDc back(2, 1, RGB(1, 2, 3)), pic(2, 1, RGB(200, 100, 50)), mask(2, 1, RGB(255, 255, 255));
  mask.dc.SetPixel(0, 0, RGB(0, 0, 0));
  back.dc.BitBlt(0, 0, 2, 1, &pic.dc, 0, 0, SRCINVERT);
  back.dc.BitBlt(0, 0, 2, 1, &mask.dc, 0, 0, SRCAND);
  back.dc.BitBlt(0, 0, 2, 1, &pic.dc, 0, 0, SRCINVERT);
  EXPECT_EQ(back.dc.GetPixel(0, 0), RGB(200, 100, 50));
  EXPECT_EQ(back.dc.GetPixel(1, 0), RGB(1, 2, 3));
}

TEST(Dc, BlitsClipAndStretch) {
  CBitmap strip;
  ASSERT_TRUE(strip.LoadBitmap(kBmpStrip));
  CDC src;
  src.CreateCompatibleDC(nullptr);
  CBitmap* old = src.SelectObject(&strip);
  MemoryDc dst(8, 4, RGB(9, 9, 9));
  ASSERT_TRUE(dst.dc.StretchBlt(0, 0, 8, 4, &src, 0, 0, 4, 2, SRCCOPY));
  EXPECT_EQ(dst.dc.GetPixel(0, 0), RGB(255, 0, 0));
  EXPECT_EQ(dst.dc.GetPixel(7, 0), RGB(255, 255, 255));
  EXPECT_EQ(dst.dc.GetPixel(3, 3), RGB(255, 0, 255));
  // Partly outside both bitmaps: no overrun, outside source reads black.
  MemoryDc small(3, 3, RGB(9, 9, 9));
  EXPECT_TRUE(small.dc.BitBlt(-1, 1, 10, 10, &src, 2, 1, SRCCOPY));
  EXPECT_EQ(small.dc.GetPixel(0, 1), RGB(0, 255, 255));
  EXPECT_EQ(small.dc.GetPixel(2, 2), RGB(0, 0, 0));
  EXPECT_EQ(small.dc.GetPixel(0, 0), RGB(9, 9, 9));
  EXPECT_EQ(small.dc.GetPixel(5, 5), CLR_INVALID);
  EXPECT_FALSE(small.dc.BitBlt(0, 0, 2, 2, nullptr, 0, 0, SRCCOPY));
  src.SelectObject(old);

  // A clip region limits what is drawn.
  MemoryDc clipped(4, 4, RGB(0, 0, 0));
  CRgn rgn;
  rgn.CreateRectRgn(1, 1, 3, 3);
  clipped.dc.SelectClipRgn(&rgn);
  clipped.dc.FillSolidRect(0, 0, 4, 4, RGB(255, 255, 255));
  EXPECT_EQ(clipped.dc.GetPixel(0, 0), RGB(0, 0, 0));
  EXPECT_EQ(clipped.dc.GetPixel(2, 2), RGB(255, 255, 255));

  MemoryDc frame(5, 5, RGB(0, 0, 0));
  frame.dc.Draw3dRect(0, 0, 5, 5, RGB(255, 0, 0), RGB(0, 0, 255));
  EXPECT_EQ(frame.dc.GetPixel(0, 0), RGB(255, 0, 0));
  EXPECT_EQ(frame.dc.GetPixel(4, 0), RGB(0, 0, 255));
  EXPECT_EQ(frame.dc.GetPixel(0, 4), RGB(0, 0, 255));
  EXPECT_EQ(frame.dc.GetPixel(2, 2), RGB(0, 0, 0));
  EXPECT_EQ(frame.dc.GetDeviceCaps(LOGPIXELSY), 96);
  CSize extent = frame.dc.GetTextExtent(std::string("xx"));
  EXPECT_GT(extent.cx, 0);
  EXPECT_GT(extent.cy, 0);
}

TEST(Region, CombineAndApplyAsWindowShape) {
  CRgn a, b, c;
  a.CreateRectRgn(0, 0, 10, 10);
  b.CreateRectRgn(5, 5, 15, 15);
  c.CreateRectRgn(0, 0, 0, 0);
  EXPECT_EQ(c.CombineRgn(&a, &b, RGN_AND), SIMPLEREGION);
  CRect box;
  c.GetRgnBox(&box);
  EXPECT_EQ(box, CRect(5, 5, 10, 10));
  EXPECT_EQ(c.CombineRgn(&a, &b, RGN_OR), COMPLEXREGION);
  EXPECT_TRUE(c.PtInRegion(12, 12));
  EXPECT_FALSE(c.PtInRegion(12, 2));
  EXPECT_EQ(c.CombineRgn(&a, &b, RGN_DIFF), COMPLEXREGION);
  EXPECT_FALSE(c.PtInRegion(7, 7));
  EXPECT_TRUE(c.PtInRegion(2, 2));
  EXPECT_EQ(c.CombineRgn(&a, &b, RGN_XOR), COMPLEXREGION);
  EXPECT_FALSE(c.PtInRegion(7, 7));
  EXPECT_TRUE(c.PtInRegion(12, 12));
  EXPECT_FALSE(c.PtInRegion(10, 2));  // right edge is outside
  EXPECT_EQ(c.CombineRgn(&a, nullptr, RGN_OR), RGN_ERROR);
  EXPECT_EQ(c.CombineRgn(&a, &b, 99), RGN_ERROR);
  RECT runs[] = {{0, 0, 3, 1}, {1, 1, 2, 2}, {5, 5, 4, 4}};
  CRgn fromRuns;
  ASSERT_TRUE(fromRuns.CreateFromRects(runs, 3));
  EXPECT_TRUE(fromRuns.PtInRegion(1, 1));
  EXPECT_FALSE(fromRuns.PtInRegion(0, 1));

  CDialog dlg(kDlgPicture);
  ASSERT_TRUE(dlg.Create(kDlgPicture));
  CRgn* shape = new CRgn;
  shape->CreateRectRgn(0, 0, 20, 10);
  CRgn extra;
  extra.CreateRectRgn(0, 0, 5, 40);
  shape->CombineRgn(shape, &extra, RGN_OR);
  // The window owns the region from here on.
  ASSERT_EQ(dlg.SetWindowRgn(static_cast<HRGN>(*shape), TRUE), 1);
  shape->Detach();
  delete shape;
  QRegion mask = dlg.GetWidget()->mask();
  EXPECT_TRUE(mask.contains(QPoint(15, 5)));
  EXPECT_TRUE(mask.contains(QPoint(2, 30)));
  EXPECT_FALSE(mask.contains(QPoint(15, 30)));
  CRgn copy;
  copy.CreateRectRgn(0, 0, 0, 0);
  EXPECT_EQ(dlg.GetWindowRgn(copy), COMPLEXREGION);
  EXPECT_TRUE(copy.PtInRegion(2, 30));
  // An empty shape hides the whole window instead of removing the shape.
  CRgn empty;
  empty.CreateRectRgn(0, 0, 0, 0);
  ASSERT_EQ(dlg.SetWindowRgn(reinterpret_cast<HRGN>(empty.Detach()), TRUE), 1);
  EXPECT_FALSE(dlg.GetWidget()->mask().isEmpty());
  EXPECT_FALSE(dlg.GetWidget()->mask().intersects(dlg.GetWidget()->rect()));
}

TEST(Grab, DialogPaintsBackgroundAndControls) {
  PictureDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgPicture));
  std::string path = ::testing::TempDir() + "/ui_grab.png";
  ASSERT_TRUE(UiGrabWindow(&dlg, path.c_str()));
  EXPECT_GT(dlg.erased, 0);
  QImage image(QString::fromStdString(path));
  ASSERT_FALSE(image.isNull());
  CRect client, black;
  dlg.GetClientRect(&client);
  ASSERT_EQ(image.size(), QSize(client.Width(), client.Height()));
  EXPECT_EQ(image.pixelColor(0, 0), QColor(255, 0, 0));       // strip, doubled
  EXPECT_EQ(image.pixelColor(7, 1), QColor(255, 255, 255));
  EXPECT_EQ(image.pixelColor(3, 3), QColor(255, 0, 255));
  EXPECT_EQ(image.pixelColor(20, 20), QColor(10, 20, 30));    // background fill
  dlg.GetDlgItem(kIdBlack)->GetWindowRect(&black);
  dlg.ScreenToClient(&black);
  EXPECT_EQ(image.pixelColor(black.CenterPoint().x, black.CenterPoint().y), QColor(0, 0, 0));  // black static
  EXPECT_FALSE(UiGrabWindow(nullptr, path.c_str()));
}

TEST(OwnerDraw, ButtonDrawsThroughItsDrawItem) {
  CDialog dlg(kDlgPicture);
  ASSERT_TRUE(dlg.Create(kDlgPicture));
  SkinButton button;
  ASSERT_TRUE(button.Create("Go", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, CRect(0, 0, 20, 10), &dlg, 77));
  button.EnableWindow(FALSE);
  QImage shot = dlg.GetWidget()->grab().toImage();
  EXPECT_GT(button.drawn, 0);
  EXPECT_TRUE(button.lastState & ODS_DISABLED);
  EXPECT_EQ(shot.pixelColor(10, 5), QColor(0, 200, 0));
}
