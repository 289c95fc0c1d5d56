#include "app/BitmapDialog.h"

#include <cstring>

#include "platform/ui/Dc.h"

BEGIN_MESSAGE_MAP(CBitmapDialog, CDialog)
  ON_WM_ERASEBKGND()
  ON_WM_LBUTTONDOWN()
  ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

CBitmapDialog::CBitmapDialog(UINT templateId, CWnd* parent, UINT bitmapId, std::unique_ptr<CBitmap> bitmap)
    : CDialog(templateId, parent),
      m_hHollowBrush(reinterpret_cast<HBRUSH>(::GetStockObject(HOLLOW_BRUSH))) {
  if (bitmap)
    SetBitmap(std::move(bitmap));
  else if (bitmapId)
    SetBitmap(bitmapId);
}

CBitmapDialog::~CBitmapDialog() = default;

BOOL CBitmapDialog::SetBitmap(UINT bitmapId) {
  m_pBitmap.reset();
  auto bitmap = std::make_unique<CBitmap>();
  if (!bitmap->LoadBitmap(bitmapId)) return FALSE;
  m_pBitmap = std::move(bitmap);
  m_bBitmapLoaded = 1;
  m_bPaintBackground = 1;
  if (m_hWnd) Invalidate();
  return TRUE;
}

BOOL CBitmapDialog::SetBitmap(std::unique_ptr<CBitmap> bitmap) {
  if (!bitmap) return FALSE;
  m_pBitmap = std::move(bitmap);
  m_bPaintBackground = 1;
  if (m_hWnd) Invalidate();
  return TRUE;
}

BOOL CBitmapDialog::OnEraseBkgnd(CDC* dc) {
  if (!m_bPaintBackground || !m_pBitmap || !dc) return CDialog::OnEraseBkgnd(dc);
  BITMAP bm{};
  m_pBitmap->GetBitmap(&bm);
  CDC memDC;
  memDC.CreateCompatibleDC(dc);
  CBitmap* old = memDC.SelectObject(m_pBitmap.get());
  dc->BitBlt(0, 0, bm.bmWidth, bm.bmHeight, &memDC, 0, 0, SRCCOPY);
  memDC.SelectObject(old);
  return TRUE;
}

void CBitmapDialog::OnLButtonDown(UINT flags, CPoint point) {
  CDialog::OnLButtonDown(flags, point);
  // Pressing on the body (or the skin's caption) moves the window, as a
  // caption would.
  if (m_bDrag && (m_nCaptionHeight <= 0 || point.y < m_nCaptionHeight)) PostMessage(WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(static_cast<WORD>(point.x), static_cast<WORD>(point.y)));
}

HBRUSH CBitmapDialog::OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) {
  if (ctlColor != CTLCOLOR_STATIC || !m_bTransparentStatics || !wnd)
    return CDialog::OnCtlColor(dc, wnd, ctlColor);
  // Trackbars report as statics but draw their own background.
  char className[64] = {};
  ::GetClassName(wnd->GetSafeHwnd(), className, sizeof(className));
  if (std::strcmp(className, "msctls_trackbar32") == 0) return CDialog::OnCtlColor(dc, wnd, ctlColor);
  dc->SetBkMode(TRANSPARENT);
  return m_hHollowBrush;
}
