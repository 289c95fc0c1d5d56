#include "app/ButtonST.h"

#include <algorithm>

#include "app/HyperlinkStatic.h"
#include "platform/ui/Dc.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/Icon.h"
#include "platform/ui/Menu.h"
#include "platform/ui/SysColor.h"
#include "platform/ui/WinApp.h"

namespace {
constexpr UINT DLGC_DEFPUSHBUTTON = 0x0010;
constexpr UINT DLGC_UNDEFPUSHBUTTON = 0x0020;
constexpr size_t kMaxUrl = 260;
}  // namespace

BEGIN_MESSAGE_MAP(CButtonST, CButton)
  ON_WM_MOUSEMOVE()
  ON_WM_MOUSELEAVE()
  ON_WM_LBUTTONDBLCLK()
  ON_WM_SETCURSOR()
  ON_WM_GETDLGCODE()
  ON_WM_KILLFOCUS()
  ON_WM_ENABLE()
  ON_WM_ACTIVATE()
  ON_WM_CANCELMODE()
END_MESSAGE_MAP()

CButtonST::CButtonST() { SetDefaultColors(FALSE); }

CButtonST::~CButtonST() = default;

void CButtonST::SetDefaultColors(BOOL repaint) {
  for (int i = 0; i < kColourCount; i += 2) {
    m_crColors[i] = GetSysColor(COLOR_BTNFACE);
    m_crColors[i + 1] = GetSysColor(COLOR_BTNTEXT);
  }
  if (repaint && m_hWnd) Invalidate();
}

BOOL CButtonST::SetColor(int index, COLORREF colour, BOOL repaint) {
  if (index < 0 || index >= kColourCount) return FALSE;
  m_crColors[index] = colour;
  if (repaint && m_hWnd) Invalidate();
  return TRUE;
}

BOOL CButtonST::SetIcon(UINT normalId, UINT hoverId) {
  HINSTANCE module = AfxGetResourceHandle();
  HICON normal = normalId ? ::LoadIcon(module, MAKEINTRESOURCE(normalId)) : nullptr;
  HICON hover = hoverId ? ::LoadIcon(module, MAKEINTRESOURCE(hoverId)) : nullptr;
  m_hIconOut = normal;
  m_hIconIn = hover ? hover : normal;
  m_cxIcon = m_cyIcon = 0;
  ICONINFO info{};
  if (normal && ::GetIconInfo(normal, &info)) {
    // The hot spot is the icon's centre, so twice it is the icon's size.
    m_cxIcon = static_cast<int>(info.xHotspot * 2);
    m_cyIcon = static_cast<int>(info.yHotspot * 2);
  }
  if (m_hWnd) Invalidate();
  return normal != nullptr;
}

void CButtonST::SetAlign(int align) {
  if (align >= kAlignHorz && align <= kAlignHorzRight) m_nAlign = align;
  if (m_hWnd) Invalidate();
}

void CButtonST::SetFlat(BOOL flat) {
  m_bIsFlat = flat;
  if (m_hWnd) Invalidate();
}

void CButtonST::SetCheck(int check) {
  if (!m_bIsCheckBox) return;
  m_nCheck = check ? 1 : 0;
  if (m_hWnd) Invalidate();
}

void CButtonST::SetTooltipText(const char* text) {
  if (!m_ToolTip.GetSafeHwnd()) m_ToolTip.Create(this);
  m_ToolTip.AddTool(this, text);
}

void CButtonST::SetURL(const char* url) { m_strURL = url ? std::string(url).substr(0, kMaxUrl - 1) : std::string(); }

void CButtonST::PreSubclassWindow() {
  m_bIsDefault = (GetStyle() & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  ModifyStyle(BS_TYPEMASK, BS_OWNERDRAW);
}

void CButtonST::CancelHover() {
  if (!m_bMouseOnButton) return;
  m_bMouseOnButton = FALSE;
  Invalidate();
}

void CButtonST::OnMouseMove(UINT flags, CPoint point) {
  CRect client;
  GetClientRect(&client);
  CWnd* top = GetTopLevelParent();
  bool ownerActive = !top || top->GetSafeHwnd() == nullptr || top->IsWindowEnabled();
  if (client.PtInRect(point) && ownerActive) {
    if (!m_bMouseOnButton) {
      m_bMouseOnButton = TRUE;
      TRACKMOUSEEVENT tme{sizeof(TRACKMOUSEEVENT), TME_LEAVE, m_hWnd, 0};
      ::TrackMouseEvent(&tme);
      Invalidate();
    }
  } else {
    CancelHover();
  }
  CButton::OnMouseMove(flags, point);
}

void CButtonST::OnMouseLeave() {
  CancelHover();
  CButton::OnMouseLeave();
}

// A double click counts as a second click, as fast clicking expects.
void CButtonST::OnLButtonDblClk(UINT flags, CPoint point) { SendMessage(WM_LBUTTONDOWN, flags, MAKELPARAM(static_cast<WORD>(point.x), static_cast<WORD>(point.y))); }

BOOL CButtonST::OnSetCursor(CWnd* wnd, UINT hitTest, UINT message) {
  if (m_hCursor) {
    ::SetCursor(m_hCursor);
    return TRUE;
  }
  return CButton::OnSetCursor(wnd, hitTest, message);
}

UINT CButtonST::OnGetDlgCode() {
  UINT code = CButton::OnGetDlgCode();
  code |= m_bIsDefault ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON;
  return code;
}

void CButtonST::OnKillFocus(CWnd* newWnd) {
  CButton::OnKillFocus(newWnd);
  CancelHover();
  Invalidate();
}

void CButtonST::OnEnable(BOOL enable) {
  CButton::OnEnable(enable);
  if (!enable) CancelHover();
  Invalidate();
}

void CButtonST::OnActivate(UINT state, CWnd* other, BOOL minimized) {
  CButton::OnActivate(state, other, minimized);
  if (state == WA_INACTIVE) CancelHover();
}

void CButtonST::OnCancelMode() {
  CButton::OnCancelMode();
  CancelHover();
}

void CButtonST::OnClicked() {
  if (m_bIsCheckBox) {
    m_nCheck = !m_nCheck;
    Invalidate();
  } else if (m_nMenuId) {
    CMenu menu;
    if (menu.LoadMenu(m_nMenuId)) {
      if (CMenu* popup = menu.GetSubMenu(0)) {
        CRect rect;
        GetWindowRect(&rect);
        popup->TrackPopupMenu(TPM_LEFTALIGN | TPM_LEFTBUTTON, rect.left, rect.bottom, GetParent());
      }
    }
    CancelHover();
  } else if (!m_strURL.empty()) {
    OpenOrShowAddress(GetParent(), m_strURL, "Nothing on this computer could open the link. Its address is:");
  }
}

BOOL CButtonST::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  // The button acts on its own click first; the parent still gets it.
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) OnClicked();
  return CButton::OnChildNotify(message, wParam, lParam, result);
}

void CButtonST::DrawItem(LPDRAWITEMSTRUCT dis) {
  if (!dis) return;
  CDC* dc = CDC::FromHandle(dis->hDC);
  if (!dc) return;
  CRect item(dis->rcItem);
  bool pressed = (dis->itemState & ODS_SELECTED) != 0 || m_nCheck;
  bool focused = (dis->itemState & ODS_FOCUS) != 0;
  bool disabled = (dis->itemState & ODS_DISABLED) != 0;
  // A disabled button does not answer the pointer, so it does not light up
  // under it either.
  const bool hover = m_bMouseOnButton && !disabled;

  int slot = hover ? kColourBkIn : focused ? kColourBkFocus : kColourBkOut;
  dc->FillSolidRect(&item, m_crColors[slot]);
  if (m_bIsFlat) {
    if (pressed)
      dc->Draw3dRect(&item, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHILIGHT));
    else if (hover)
      dc->Draw3dRect(&item, GetSysColor(COLOR_BTNHILIGHT), GetSysColor(COLOR_BTNSHADOW));
  } else {
    CRect edge = item;
    dc->DrawEdge(&edge, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  }

  std::string caption;
  GetWindowText(caption);
  CRect text = item;
  text.DeflateRect(3, 3);
  HICON icon = hover ? m_hIconIn : m_hIconOut;
  int shift = pressed ? 1 : 0;
  if (icon) {
    int x, y;
    if (caption.empty()) {
      x = item.left + (item.Width() - m_cxIcon) / 2;
      y = item.top + (item.Height() - m_cyIcon) / 2;
    } else if (m_nAlign == kAlignVert) {
      x = item.left + (item.Width() - m_cxIcon) / 2;
      y = item.top + 3;
      text.top = y + m_cyIcon;
    } else if (m_nAlign == kAlignHorzRight) {
      x = item.right - 3 - m_cxIcon;
      y = item.top + (item.Height() - m_cyIcon) / 2;
      text.right = x;
    } else {
      x = item.left + 3;
      y = item.top + (item.Height() - m_cyIcon) / 2;
      text.left = x + m_cxIcon;
    }
    // Disabled: the icon dimmed, so the button is still seen for what it is
    // (an embossed shape would leave a round icon a blank disc).
    dc->DrawState(CPoint(x + shift, y + shift), CSize(m_cxIcon, m_cyIcon), icon,
                  DST_ICON | (disabled ? DSS_UNION : DSS_NORMAL));
  }
  if (!caption.empty()) {
    text.OffsetRect(shift, shift);
    dc->SetBkMode(TRANSPARENT);
    dc->SetTextColor(disabled ? GetSysColor(COLOR_GRAYTEXT) : m_crColors[slot + 1]);
    dc->DrawText(caption, &text, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  }
  // A flat button has no edge to lean on: its frame sits at the border, so
  // the keyboard user still sees where the focus is.
  if (focused) {
    CRect focus = item;
    focus.DeflateRect(m_bIsFlat ? 1 : 3, m_bIsFlat ? 1 : 3);
    dc->DrawFocusRect(&focus);
  }
}
