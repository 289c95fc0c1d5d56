#include "app/SkinButton.h"

#include <algorithm>

#include "platform/ui/Dc.h"
#include "platform/ui/SysColor.h"

namespace {

// How far inside its edge a skin without a margin draws its focus frame.
constexpr int kFocusInset = 3;

// Dest AND NOT source: keeps the bitmap's pixels where the mask is black.
constexpr DWORD kRopDSna = 0x00220326;

bool SameRgb(const BYTE* px, COLORREF key) {
  return px[2] == GetRValue(key) && px[1] == GetGValue(key) && px[0] == GetBValue(key);
}

}  // namespace

BEGIN_MESSAGE_MAP(CSkinButton, CButton)
  ON_WM_ERASEBKGND()
  ON_WM_LBUTTONDOWN()
  ON_WM_LBUTTONUP()
  ON_WM_LBUTTONDBLCLK()
  ON_WM_MOUSEMOVE()
  ON_WM_MOUSELEAVE()
  ON_WM_KILLFOCUS()
  ON_WM_KEYDOWN()
  ON_MESSAGE(BM_GETCHECK, OnGetCheck)
  ON_MESSAGE(BM_SETCHECK, OnSetCheck)
  ON_MESSAGE(WM_SKINBUTTON_UNCHECK, OnUncheck)
END_MESSAGE_MAP()

CSkinButton::CSkinButton() : m_crText(GetSysColor(COLOR_BTNTEXT)) {}

CSkinButton::~CSkinButton() = default;

std::vector<RECT> CSkinButton::MaskRuns(const BYTE* pixels, int width, int height, COLORREF key) {
  std::vector<RECT> rects;
  if (!pixels || width <= 0 || height <= 0) return rects;
  for (int y = 0; y < height; ++y) {
    const BYTE* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
    int x = 0;
    while (x < width) {
      while (x < width && SameRgb(row + x * 4, key)) ++x;
      if (x >= width) break;
      int start = x;
      while (x < width && !SameRgb(row + x * 4, key)) ++x;
      rects.push_back(RECT{start, y, x, y + 1});
    }
  }
  return rects;
}

HRGN CSkinButton::CreateMaskRegion(CBitmap* mask, COLORREF key) {
  if (!mask || !mask->GetSafeHandle()) return nullptr;
  BITMAP bm{};
  if (!mask->GetBitmap(&bm) || bm.bmWidth <= 0 || bm.bmHeight <= 0) return nullptr;
  std::vector<BYTE> bits(static_cast<size_t>(bm.bmWidth) * static_cast<size_t>(bm.bmHeight) * 4);
  if (mask->GetBitmapBits(static_cast<DWORD>(bits.size()), bits.data()) != bits.size()) return nullptr;
  std::vector<RECT> rects = MaskRuns(bits.data(), bm.bmWidth, bm.bmHeight, key);
  CRgn region;
  if (rects.empty()) {
    if (!region.CreateRectRgn(0, 0, 0, 0)) return nullptr;
  } else if (!region.CreateFromRects(rects.data(), static_cast<int>(rects.size()))) {
    return nullptr;
  }
  return reinterpret_cast<HRGN>(region.Detach());
}

BOOL CSkinButton::SetSkin(UINT normal, UINT down, UINT over, UINT disabled, UINT focus, UINT mask, short drawMode,
                          short border, short margin) {
  for (CBitmap* b : {&m_bmpNormal, &m_bmpDown, &m_bmpDisabled, &m_bmpMask, &m_bmpOver, &m_bmpFocus})
    b->DeleteObject();
  if (normal) m_bmpNormal.LoadBitmap(normal);
  if (down) m_bmpDown.LoadBitmap(down);
  if (over) m_bmpOver.LoadBitmap(over);
  if (focus) m_bmpFocus.LoadBitmap(focus);
  if (disabled)
    m_bmpDisabled.LoadBitmap(disabled);
  else if (normal)
    m_bmpDisabled.LoadBitmap(normal);
  m_nDrawMode = std::clamp<short>(drawMode, kNatural, kTile);
  m_nBorder = border;
  m_nMargin = std::max<short>(margin, 0);

  if (mask && m_bmpMask.LoadBitmap(mask)) {
    m_rgnClip.DeleteObject();
    m_hRgn = CreateMaskRegion(&m_bmpMask, RGB(255, 255, 255));
    if (m_hRgn) {
      m_rgnClip.CreateRectRgn(0, 0, 0, 0);
      ::CombineRgn(reinterpret_cast<HRGN>(m_rgnClip.GetSafeHandle()), m_hRgn, nullptr, RGN_COPY);
      if (m_hWnd) SetWindowRgn(m_hRgn, TRUE);
    }
    if (m_hWnd && m_nDrawMode == kNatural) {
      BITMAP bm{};
      m_bmpMask.GetBitmap(&bm);
      SetWindowPos(nullptr, 0, 0, bm.bmWidth, bm.bmHeight, SWP_NOMOVE | SWP_NOZORDER);
    }
  }
  if (m_hWnd) Invalidate();
  return TRUE;
}

void CSkinButton::SetTextColor(COLORREF colour) {
  m_crText = colour;
  if (m_hWnd) Invalidate();
}

void CSkinButton::PreSubclassWindow() {
  DWORD style = GetStyle();
  if ((style & 0x3) == 0x3)
    m_nKind = kCheckBox;
  else if ((style & 0x9) == 0x9)
    m_nKind = kRadio;
  else
    m_nKind = kPush;
  ModifyStyle(0, BS_OWNERDRAW);
}

bool CSkinButton::IsOver(CPoint point) const {
  CRect client;
  GetClientRect(&client);
  if (!client.PtInRect(point)) return false;
  return !m_rgnClip.GetSafeHandle() || m_rgnClip.PtInRegion(point.x, point.y);
}

void CSkinButton::ActAsClicked() {
  if (m_nKind == kCheckBox)
    SetCheck(m_bChecked ? 0 : 1);
  else if (m_nKind == kRadio)
    SetCheck(1);
}

void CSkinButton::TrackLeave(bool track) {
  TRACKMOUSEEVENT tme{sizeof(TRACKMOUSEEVENT), TME_LEAVE | (track ? 0u : TME_CANCEL), m_hWnd, 0};
  ::TrackMouseEvent(&tme);
}

BOOL CSkinButton::OnEraseBkgnd(CDC*) { return TRUE; }

void CSkinButton::OnLButtonDown(UINT flags, CPoint point) {
  TrackLeave(false);
  m_bHover = 0;
  m_bButtonDown = 1;
  m_bCursorOver = IsOver(point);
  CButton::OnLButtonDown(flags, point);
}

void CSkinButton::OnLButtonUp(UINT flags, CPoint point) {
  if (m_nKind != kPush && m_bButtonDown && IsOver(point)) ActAsClicked();
  m_bButtonDown = 0;
  CButton::OnLButtonUp(flags, point);
  if (m_hWnd) Invalidate();
}

void CSkinButton::OnLButtonDblClk(UINT flags, CPoint point) { OnLButtonDown(flags, point); }

void CSkinButton::OnMouseMove(UINT flags, CPoint point) {
  bool over = IsOver(point);
  if (m_bButtonDown) {
    // Held: the pressed look follows whether the cursor is over the button.
    if (over != m_bCursorOver) {
      m_bCursorOver = over;
      Invalidate();
    }
  } else if (!m_bHover) {
    TrackLeave(true);
    m_bHover = 1;
    Invalidate();
  }
  m_bCursorOver = over;
  CButton::OnMouseMove(flags, point);
}

void CSkinButton::OnMouseLeave() {
  m_bHover = 0;
  Invalidate();
  CButton::OnMouseLeave();
}

void CSkinButton::OnKillFocus(CWnd* newWnd) {
  if (GetCapture() == this) ::ReleaseCapture();
  m_bButtonDown = 0;
  CButton::OnKillFocus(newWnd);
}

void CSkinButton::OnKeyDown(UINT ch, UINT repeat, UINT flags) {
  if (ch == VK_SPACE && m_nKind != kPush) ActAsClicked();
  CButton::OnKeyDown(ch, repeat, flags);
}

LRESULT CSkinButton::OnGetCheck(WPARAM, LPARAM) { return m_bChecked ? BST_CHECKED : BST_UNCHECKED; }

LRESULT CSkinButton::OnSetCheck(WPARAM wParam, LPARAM) {
  m_bChecked = m_nKind != kPush && wParam != 0;
  if (m_bChecked && m_nKind == kRadio) {
    // Clear the other buttons of the group; they learn it by message so
    // that each repaints itself.
    if (CWnd* parent = GetParent()) {
      for (CWnd* w = parent->GetNextDlgGroupItem(this); w && w != this; w = parent->GetNextDlgGroupItem(w))
        w->PostMessage(WM_SKINBUTTON_UNCHECK, 0, 0);
    }
  }
  Invalidate();
  return 0;
}

LRESULT CSkinButton::OnUncheck(WPARAM, LPARAM) {
  if (m_bChecked) {
    m_bChecked = false;
    Invalidate();
  }
  return 0;
}

void CSkinButton::DrawSkin(CDC* dc, CBitmap& bitmap, const CRect& rect) {
  BITMAP bm{};
  if (!bitmap.GetSafeHandle() || !bitmap.GetBitmap(&bm) || bm.bmWidth <= 0 || bm.bmHeight <= 0) return;
  CDC memDC;
  memDC.CreateCompatibleDC(dc);
  CBitmap* oldBitmap = memDC.SelectObject(&bitmap);
  if (m_nDrawMode == kTile) {
    for (int y = rect.top; y < rect.bottom; y += bm.bmHeight) {
      for (int x = rect.left; x < rect.right; x += bm.bmWidth) {
        int w = std::min<int>(bm.bmWidth, rect.right - x), h = std::min<int>(bm.bmHeight, rect.bottom - y);
        dc->BitBlt(x, y, w, h, &memDC, 0, 0, SRCCOPY);
      }
    }
  } else if (m_bmpMask.GetSafeHandle()) {
    // Transparent copy: where the mask is black the bitmap shows, where it
    // is white the background stays. The device is not read back: the
    // mask first clears the shape (AND), then the bitmap with everything
    // outside the shape cleared is added (OR).
    BITMAP mb{};
    m_bmpMask.GetBitmap(&mb);
    CDC maskDC;
    maskDC.CreateCompatibleDC(dc);
    CBitmap* oldMask = maskDC.SelectObject(&m_bmpMask);
    CBitmap cut;
    cut.CreateCompatibleBitmap(dc, bm.bmWidth, bm.bmHeight);
    CDC cutDC;
    cutDC.CreateCompatibleDC(dc);
    CBitmap* oldCut = cutDC.SelectObject(&cut);
    cutDC.BitBlt(0, 0, bm.bmWidth, bm.bmHeight, &memDC, 0, 0, SRCCOPY);
    cutDC.StretchBlt(0, 0, bm.bmWidth, bm.bmHeight, &maskDC, 0, 0, mb.bmWidth, mb.bmHeight, kRopDSna);
    if (m_nDrawMode == kStretch) {
      dc->StretchBlt(rect.left, rect.top, rect.Width(), rect.Height(), &maskDC, 0, 0, mb.bmWidth, mb.bmHeight, SRCAND);
      dc->StretchBlt(rect.left, rect.top, rect.Width(), rect.Height(), &cutDC, 0, 0, bm.bmWidth, bm.bmHeight,
                     SRCPAINT);
    } else {
      dc->StretchBlt(rect.left, rect.top, bm.bmWidth, bm.bmHeight, &maskDC, 0, 0, mb.bmWidth, mb.bmHeight, SRCAND);
      dc->BitBlt(rect.left, rect.top, bm.bmWidth, bm.bmHeight, &cutDC, 0, 0, SRCPAINT);
    }
    cutDC.SelectObject(oldCut);
    maskDC.SelectObject(oldMask);
  } else if (m_nDrawMode == kStretch) {
    dc->StretchBlt(rect.left, rect.top, rect.Width(), rect.Height(), &memDC, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
  } else {
    dc->BitBlt(rect.left, rect.top, bm.bmWidth, bm.bmHeight, &memDC, 0, 0, SRCCOPY);
  }
  memDC.SelectObject(oldBitmap);
}

void CSkinButton::DrawItem(LPDRAWITEMSTRUCT dis) {
  if (!dis) return;
  CDC* dc = CDC::FromHandle(dis->hDC);
  if (!dc) return;
  CRect item(dis->rcItem);
  if (m_rgnClip.GetSafeHandle()) dc->SelectClipRgn(&m_rgnClip);

  bool disabled = (dis->itemState & ODS_DISABLED) != 0;
  bool focused = (dis->itemState & ODS_FOCUS) != 0;
  bool pressed = (dis->itemState & ODS_SELECTED) != 0;
  // The pressed look follows the cursor while the button is held.
  if (pressed && m_bButtonDown && !m_bCursorOver) pressed = false;

  CRect text = item;
  text.left += m_nMargin + 2;
  std::string caption;
  GetWindowText(caption);
  dc->SetBkMode(TRANSPARENT);

  if (disabled) {
    if (m_bmpDisabled.GetSafeHandle())
      DrawSkin(dc, m_bmpDisabled, item);
    else
      dc->FillSolidRect(&item, GetSysColor(COLOR_BTNFACE));
    if (m_nBorder) dc->DrawEdge(&item, EDGE_RAISED, BF_RECT);
    CRect shadow = text;
    shadow.OffsetRect(1, 1);
    dc->SetTextColor(GetSysColor(COLOR_3DHILIGHT));
    dc->DrawText(caption, &shadow, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    dc->SetTextColor(GetSysColor(COLOR_GRAYTEXT));
    dc->DrawText(caption, &text, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  } else if (pressed || m_bChecked) {
    if (m_bmpDown.GetSafeHandle())
      DrawSkin(dc, m_bmpDown, item);
    else
      dc->FillSolidRect(&item, GetSysColor(COLOR_BTNFACE));
    text.OffsetRect(1, 1);
    if (m_nBorder) dc->DrawEdge(&item, EDGE_SUNKEN, BF_RECT);
  } else {
    if (!m_bmpNormal.GetSafeHandle())
      dc->FillSolidRect(&item, GetSysColor(COLOR_BTNFACE));
    else if (m_bHover && m_bmpOver.GetSafeHandle())
      DrawSkin(dc, m_bmpOver, item);
    else if (focused && m_bmpFocus.GetSafeHandle())
      DrawSkin(dc, m_bmpFocus, item);
    else
      DrawSkin(dc, m_bmpNormal, item);
    if (m_nBorder) dc->DrawEdge(&item, EDGE_RAISED, BF_RECT);
  }
  // The focus shows on every skin, also one drawn without a margin: a
  // keyboard user must see which button Space and Return press.
  if (focused) {
    CRect focus = item;
    const int inset = m_nMargin > 0 ? m_nMargin : kFocusInset;
    focus.DeflateRect(inset, inset);
    dc->DrawFocusRect(&focus);
  }
  if (!disabled) {
    dc->SetTextColor(m_crText);
    dc->DrawText(caption, &text, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  }
  if (m_rgnClip.GetSafeHandle()) dc->SelectClipRgn(nullptr);
}
