#include "foundation/InternalPropertyPage.h"

#include <cstring>

#include "platform/com/ComBase.h"
#include "platform/ui/Dc.h"
#include "platform/ui/SysColor.h"
#include "platform/win32/CodePage.h"

// ---------------------------------------------------------------------------
// CInternalPropertyPageWnd

BEGIN_MESSAGE_MAP(CInternalPropertyPageWnd, CWnd)
  ON_WM_ERASEBKGND()
END_MESSAGE_MAP()

CInternalPropertyPageWnd::CInternalPropertyPageWnd() = default;

CInternalPropertyPageWnd::~CInternalPropertyPageWnd() {
  m_font.DeleteObject();
  m_monofont.DeleteObject();
  if (m_pPPSite) m_pPPSite->Release();
  m_pPPSite = nullptr;
}

BOOL CInternalPropertyPageWnd::CreatePageWindow(IPropertyPageSite* site, LPCRECT rect, CWnd* parent) {
  if (!site || !rect) return FALSE;
  if (site != m_pPPSite) {
    site->AddRef();
    if (m_pPPSite) m_pPPSite->Release();
    m_pPPSite = site;
  }

  if (!m_font.GetSafeHandle()) {
    // The dialog font of property sheets: the framework's GUI font.
    LOGFONT lf{};
    CFont stock;
    stock.Attach(::GetStockObject(DEFAULT_GUI_FONT));
    BOOL haveStock = stock.GetLogFont(&lf);
    stock.Detach();
    if (!haveStock) std::strcpy(lf.lfFaceName, "DejaVu Sans");
    CDC screen;
    screen.CreateCompatibleDC(nullptr);
    int dpiY = screen.GetDeviceCaps(LOGPIXELSY);
    if (dpiY <= 0) dpiY = 96;
    int pointSize = lf.lfHeight < 0 ? (-lf.lfHeight * 72 + dpiY / 2) / dpiY : lf.lfHeight > 0 ? lf.lfHeight : 8;
    int height = -(pointSize * dpiY / 72);
    if (!m_font.CreateFont(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, lf.lfFaceName))
      return FALSE;
    // The fixed-pitch font is one unit smaller, so columns of numbers line
    // up with the text around them.
    height += 1;
    if (!m_monofont.CreateFont(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Lucida Console") &&
        !m_monofont.CreateFont(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New")) {
      m_font.DeleteObject();
      return FALSE;
    }
    CFont* old = screen.SelectObject(&m_font);
    m_fontheight = screen.GetTextExtent("x", 1).cy;
    screen.SelectObject(old);
  }

  if (!CreateEx(0, "PmrInternalPropertyPage", "CInternalPropertyPageWnd", WS_CHILD, *rect, parent, 0)) return FALSE;
  SetFont(&m_font);
  return TRUE;
}

BOOL CInternalPropertyPageWnd::OnEraseBkgnd(CDC* dc) {
  if (!dc) return FALSE;
  CRect client;
  GetClientRect(&client);
  dc->FillSolidRect(&client, GetSysColor(COLOR_BTNFACE));
  return TRUE;
}

LRESULT CInternalPropertyPageWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // Any change made through a control makes the page dirty.
  if (message == WM_COMMAND || message == WM_HSCROLL || message == WM_VSCROLL) {
    m_fDirty = true;
    if (m_pPPSite) m_pPPSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
  }
  return CWnd::WindowProc(message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// CInternalPropertyPage

CInternalPropertyPage::CInternalPropertyPage(LPUNKNOWN outer, HRESULT* phr)
    : CUnknown(NAME("CInternalPropertyPage"), outer, phr) {}

CInternalPropertyPage::~CInternalPropertyPage() {
  CAutoLock lock(&m_Lock);
  if (m_pWnd) {
    if (m_pWnd->GetSafeHwnd()) m_pWnd->DestroyWindow();
    m_pWnd.reset();
  }
  ReleaseObjects();
  if (m_pPPSite) m_pPPSite->Release();
  m_pPPSite = nullptr;
}

void CInternalPropertyPage::ReleaseObjects() {
  for (IUnknown* unk : m_pUnks) unk->Release();
  m_pUnks.clear();
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IPropertyPage) return GetInterfaceAs<IPropertyPage>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::SetPageSite(IPropertyPageSite* site) {
  CAutoLock lock(&m_Lock);
  if ((!site && !m_pPPSite) || (site && m_pPPSite)) return E_UNEXPECTED;
  if (site) site->AddRef();
  if (m_pPPSite) m_pPPSite->Release();
  m_pPPSite = site;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  CAutoLock lock(&m_Lock);
  CheckPointer(rect, E_POINTER);
  if (!m_pWnd || m_pWnd->GetSafeHwnd() || m_pUnks.empty()) return E_UNEXPECTED;
  if (!m_pWnd->CreatePageWindow(m_pPPSite, rect, CWnd::FromHandle(parent))) return E_OUTOFMEMORY;
  if (!m_pWnd->ActivatePage()) {
    m_pWnd->DestroyWindow();
    return E_FAIL;
  }
  m_pWnd->ModifyStyleEx(WS_EX_DLGMODALFRAME, WS_EX_CONTROLPARENT);
  m_pWnd->ShowWindow(SW_SHOWNORMAL);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::Deactivate() {
  CAutoLock lock(&m_Lock);
  if (!m_pWnd || !m_pWnd->GetSafeHwnd()) return E_UNEXPECTED;
  m_pWnd->DeactivatePage();
  m_pWnd->ModifyStyleEx(WS_EX_CONTROLPARENT, 0);
  m_pWnd->DestroyWindow();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  CAutoLock lock(&m_Lock);
  CheckPointer(info, E_POINTER);
  std::wstring title = Utf8ToWide(GetWindowTitle() ? GetWindowTitle() : "");
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((title.size() + 1) * sizeof(OLECHAR)));
  if (!text) return E_OUTOFMEMORY;
  std::memcpy(text, title.c_str(), (title.size() + 1) * sizeof(OLECHAR));
  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = text;
  CSize size = GetWindowSize();
  info->size.cx = size.cx;
  info->size.cy = size.cy;
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  CAutoLock lock(&m_Lock);
  if ((count == 0 && !m_pWnd) || (count > 0 && m_pWnd)) return E_UNEXPECTED;
  ReleaseObjects();
  if (count == 0) {
    m_pWnd->DetachObjects();
    if (m_pWnd->GetSafeHwnd()) m_pWnd->DestroyWindow();
    m_pWnd.reset();
    return S_OK;
  }
  CheckPointer(objects, E_POINTER);
  // A null entry would be called through below; refuse the whole list.
  for (ULONG i = 0; i < count; ++i)
    if (!objects[i]) return E_POINTER;
  for (ULONG i = 0; i < count; ++i) {
    objects[i]->AddRef();
    m_pUnks.push_back(objects[i]);
  }
  m_pWnd = GetWindow();
  if (!m_pWnd) return E_OUTOFMEMORY;
  if (!m_pWnd->AttachObjects(m_pUnks)) {
    m_pWnd.reset();
    return E_FAIL;
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::Show(UINT cmdShow) {
  CAutoLock lock(&m_Lock);
  if (!m_pWnd || !m_pWnd->GetSafeHwnd()) return E_UNEXPECTED;
  if (cmdShow != static_cast<UINT>(SW_HIDE) && cmdShow != static_cast<UINT>(SW_SHOWNORMAL) &&
      cmdShow != static_cast<UINT>(SW_SHOW))
    return E_INVALIDARG;
  m_pWnd->ShowWindow(static_cast<int>(cmdShow));
  m_pWnd->Invalidate(TRUE);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::Move(LPCRECT rect) {
  CAutoLock lock(&m_Lock);
  CheckPointer(rect, E_POINTER);
  if (!m_pWnd || !m_pWnd->GetSafeHwnd()) return E_UNEXPECTED;
  m_pWnd->MoveWindow(rect, TRUE);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::IsPageDirty() {
  CAutoLock lock(&m_Lock);
  return m_pWnd && m_pWnd->IsDirty() ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::Apply() {
  CAutoLock lock(&m_Lock);
  if (!m_pWnd || m_pUnks.empty() || !m_pPPSite) return E_UNEXPECTED;
  if (m_pWnd->IsDirty() && m_pWnd->ApplySettings()) m_pWnd->SetDirty(false);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CInternalPropertyPage::TranslateAccelerator(MSG*) { return E_NOTIMPL; }
