#include "app/HyperlinkStatic.h"

#include "platform/ui/Dc.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/Icon.h"
#include "platform/ui/MessageBox.h"

bool OpenOrShowAddress(CWnd* owner, const std::string& address, const std::string& instead) {
  if (reinterpret_cast<uintptr_t>(::ShellExecute(owner ? owner->GetSafeHwnd() : nullptr, "open", address.c_str(),
                                                  nullptr, nullptr, SW_SHOWNORMAL)) > 32)
    return true;
  // A mail address is shown as the user writes it.
  const std::string shown = address.compare(0, 7, "mailto:") == 0 ? address.substr(7, address.find('?') - 7) : address;
  const std::string text = instead + "\n\n" + shown;
  if (owner && owner->GetSafeHwnd())
    owner->MessageBox(text.c_str(), "Pellomar", MB_OK | MB_ICONINFORMATION);
  else
    AfxMessageBox(text, MB_OK | MB_ICONINFORMATION);
  return false;
}

BEGIN_MESSAGE_MAP(CHyperlinkStatic, CStatic)
  ON_WM_PAINT()
  ON_WM_MOUSEMOVE()
  ON_WM_MOUSELEAVE()
  ON_WM_LBUTTONDOWN()
  ON_WM_KEYDOWN()
  ON_WM_SETFOCUS()
  ON_WM_KILLFOCUS()
  ON_WM_DESTROY()
END_MESSAGE_MAP()

CHyperlinkStatic::CHyperlinkStatic()
    : m_hHand(::LoadCursor(nullptr, IDC_HAND)), m_hArrow(::LoadCursor(nullptr, IDC_ARROW)) {}

CHyperlinkStatic::~CHyperlinkStatic() = default;

void CHyperlinkStatic::PreSubclassWindow() {
  ModifyStyle(0, SS_NOTIFY);
  GetWindowText(m_strCaption);
  m_bSizeKnown = 0;
}

void CHyperlinkStatic::SetCaption(const std::string& caption) {
  m_strCaption = caption;
  m_bSizeKnown = 0;
  if (m_hWnd) Invalidate();
}

void CHyperlinkStatic::MakeFont() {
  if (m_bFontMade) return;
  LOGFONT lf{};
  CWnd* parent = GetParent();
  CFont* parentFont = parent ? parent->GetFont() : nullptr;
  if (!parentFont || !parentFont->GetLogFont(&lf)) {
    CFont* own = GetFont();
    if (!own || !own->GetLogFont(&lf)) return;
  }
  lf.lfUnderline = 1;
  m_bFontMade = m_fontLink.CreateFontIndirect(&lf) ? 1 : 0;
}

void CHyperlinkStatic::MeasureText() {
  if (m_bSizeKnown || !m_hWnd) return;
  MakeFont();
  CClientDC dc(this);
  CFont* old = m_bFontMade ? dc.SelectObject(&m_fontLink) : nullptr;
  CSize size = dc.GetTextExtent(m_strCaption);
  if (old) dc.SelectObject(old);
  m_cxText = size.cx;
  m_cyText = size.cy;
  m_bSizeKnown = 1;
}

bool CHyperlinkStatic::IsOverLink(CPoint point) {
  MeasureText();
  return point.x >= 0 && point.x < m_cxText && point.y >= 0 && point.y < m_cyText;
}

void CHyperlinkStatic::OnPaint() {
  CPaintDC dc(this);
  MakeFont();
  CFont* old = m_bFontMade ? dc.SelectObject(&m_fontLink) : nullptr;
  dc.SetBkMode(TRANSPARENT);
  dc.SetTextColor(RGB(0, 0, 255));
  dc.TextOut(0, 0, m_strCaption);
  if (old) dc.SelectObject(old);
  // A link the keyboard reached shows it.
  if (GetFocus() == this) {
    MeasureText();
    CRect text(0, 0, m_cxText + 1, m_cyText);
    dc.DrawFocusRect(&text);
  }
}

void CHyperlinkStatic::OnSetFocus(CWnd* oldWnd) {
  CStatic::OnSetFocus(oldWnd);
  Invalidate();
}

void CHyperlinkStatic::OnKillFocus(CWnd* newWnd) {
  CStatic::OnKillFocus(newWnd);
  Invalidate();
}

void CHyperlinkStatic::OnMouseMove(UINT flags, CPoint point) {
  if (!m_bTracking) {
    TRACKMOUSEEVENT tme{sizeof(TRACKMOUSEEVENT), TME_LEAVE, m_hWnd, 0};
    if (::TrackMouseEvent(&tme)) m_bTracking = 1;
  } else {
    ::SetCursor(IsOverLink(point) ? m_hHand : m_hArrow);
  }
  CStatic::OnMouseMove(flags, point);
}

void CHyperlinkStatic::OnMouseLeave() {
  m_bTracking = 0;
  ::SetCursor(m_hArrow);
  CStatic::OnMouseLeave();
}

void CHyperlinkStatic::Open() {
  if (!m_strURL.empty())
    OpenOrShowAddress(GetParent(), m_strURL, "Nothing on this computer could open the link. Its address is:");
}

void CHyperlinkStatic::OnLButtonDown(UINT flags, CPoint point) {
  // The press is handled first: the link's own box, when it comes, must
  // not find the button still held.
  CStatic::OnLButtonDown(flags, point);
  if (IsOverLink(point)) Open();
}

void CHyperlinkStatic::OnKeyDown(UINT key, UINT repeat, UINT flags) {
  if (key == VK_SPACE || key == VK_RETURN) {
    Open();
    return;
  }
  CStatic::OnKeyDown(key, repeat, flags);
}

void CHyperlinkStatic::OnDestroy() {
  m_fontLink.DeleteObject();
  m_bFontMade = 0;
  CStatic::OnDestroy();
}
