#include "app/HyperlinkStatic.h"

#include "platform/ui/Dc.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/Icon.h"

BEGIN_MESSAGE_MAP(CHyperlinkStatic, CStatic)
  ON_WM_PAINT()
  ON_WM_MOUSEMOVE()
  ON_WM_MOUSELEAVE()
  ON_WM_LBUTTONDOWN()
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

void CHyperlinkStatic::OnLButtonDown(UINT flags, CPoint point) {
  if (IsOverLink(point) && !m_strURL.empty())
    ::ShellExecute(nullptr, "open", m_strURL.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  CStatic::OnLButtonDown(flags, point);
}

void CHyperlinkStatic::OnDestroy() {
  m_fontLink.DeleteObject();
  m_bFontMade = 0;
  CStatic::OnDestroy();
}
