#include "app/BmpHeaderCtrl.h"

#include <algorithm>

#include "platform/ui/Dc.h"

BOOL CBmpHeaderCtrl::SetBitmap(UINT bitmapId) {
  m_bmpBackground.DeleteObject();
  return m_bmpBackground.LoadBitmap(bitmapId);
}

void CBmpHeaderCtrl::DrawItem(LPDRAWITEMSTRUCT dis) {
  if (!dis) return;
  CDC* dc = CDC::FromHandle(dis->hDC);
  if (!dc) return;
  CRect rect(dis->rcItem);

  char buffer[256] = {};
  if (m_hWnd) {
    HDITEM item{};
    item.mask = HDI_TEXT;
    item.pszText = buffer;
    item.cchTextMax = sizeof(buffer);
    if (!GetItem(static_cast<int>(dis->itemID), &item)) buffer[0] = '\0';
  }

  BITMAP bm{};
  if (m_bmpBackground.GetSafeHandle() && m_bmpBackground.GetBitmap(&bm) && bm.bmWidth > 0) {
    CDC memDC;
    memDC.CreateCompatibleDC(dc);
    CBitmap* old = memDC.SelectObject(&m_bmpBackground);
    int height = rect.Height();
    int x = rect.left + 1;
    // Whole tiles while they fit, then one more ending at the right edge,
    // so the item's end always shows the tile's own right border.
    for (; x + bm.bmWidth <= rect.right - 1; x += bm.bmWidth) dc->BitBlt(x, rect.top, bm.bmWidth, height, &memDC, 0, 0, SRCCOPY);
    int lastLeft = rect.right - 1 - bm.bmWidth;
    dc->BitBlt(lastLeft, rect.top, bm.bmWidth, height, &memDC, 0, 0, SRCCOPY);
    memDC.SelectObject(old);
  }

  COLORREF oldColour = dc->GetTextColor();
  dc->SetBkMode(TRANSPARENT);
  CRect shadow = rect;
  shadow.OffsetRect(1, 1);
  dc->SetTextColor(RGB(255, 255, 255));
  dc->DrawText(buffer, -1, &shadow, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  dc->SetTextColor(RGB(0, 0, 0));
  dc->DrawText(buffer, -1, &rect, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  dc->SetTextColor(oldColour);
}
