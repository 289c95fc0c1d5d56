#include "app/DlgPropertyFrame.h"

#include <new>
#include <vector>

#include "decoders/common/SpecifyPropertyPages2.h"
#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "decoders/mpegaudio/MpaDecFilter.h"
#include "platform/com/ComBase.h"
#include "platform/win32/CodePage.h"

// The frame's side of the page: a change through a control enables Apply.
class CDlgPropertyFrame::Site final : public IPropertyPageSite {
 public:
  explicit Site(CDlgPropertyFrame* frame) : m_pFrame(frame) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IPropertyPageSite) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IPropertyPageSite*>(this);
    AddRef();
    return S_OK;
  }
  // The frame owns the site and outlives every reference the page takes.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override {
    if ((flags & PROPPAGESTATUS_DIRTY) && m_pFrame) m_pFrame->PageChanged();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

 private:
  CDlgPropertyFrame* m_pFrame;
};

BEGIN_MESSAGE_MAP(CDlgPropertyFrame, CDialog)
ON_BN_CLICKED(1101, OnApply)
END_MESSAGE_MAP()

CDlgPropertyFrame::CDlgPropertyFrame(IPropertyPage* page, IUnknown* object, const char* caption, CWnd* parent)
    : CDialog(IDD, parent), m_pPage(page), m_pObject(object), m_strCaption(caption ? caption : ""),
      m_pSite(new Site(this)) {}

CDlgPropertyFrame::~CDlgPropertyFrame() {
  Close(IDCANCEL);
  delete m_pSite;
}

BOOL CDlgPropertyFrame::OnInitDialog() {
  CDialog::OnInitDialog();
  if (!m_strCaption.empty()) SetWindowText(m_strCaption);
  CWnd* place = GetDlgItem(1100);
  IUnknown* object = m_pObject;
  if (!m_pPage || !place || !object || FAILED(m_pPage->SetPageSite(m_pSite)) ||
      FAILED(m_pPage->SetObjects(1, &object))) {
    EndDialog(IDCANCEL);
    return TRUE;
  }
  CRect rc;
  place->GetWindowRect(&rc);
  ScreenToClient(&rc);
  PROPPAGEINFO info{};
  if (SUCCEEDED(m_pPage->GetPageInfo(&info))) {
    // The page's own size, at the place marked for it.
    rc.right = rc.left + info.size.cx;
    rc.bottom = rc.top + info.size.cy;
    CoTaskMemFree(info.pszTitle);
  }
  m_bActive = SUCCEEDED(m_pPage->Activate(GetSafeHwnd(), &rc, TRUE));
  if (!m_bActive) EndDialog(IDCANCEL);
  return TRUE;
}

void CDlgPropertyFrame::PageChanged() {
  if (CWnd* apply = GetDlgItem(1101)) apply->EnableWindow(TRUE);
}

void CDlgPropertyFrame::OnApply() {
  if (m_bActive && m_pPage->IsPageDirty() == S_OK) m_pPage->Apply();
  if (CWnd* apply = GetDlgItem(1101)) apply->EnableWindow(FALSE);
}

void CDlgPropertyFrame::Close(int result) {
  if (m_pPage && m_bActive) {
    if (result == IDOK && m_pPage->IsPageDirty() == S_OK) m_pPage->Apply();
    m_pPage->Deactivate();
    m_bActive = false;
  }
  if (m_pPage) {
    m_pPage->SetObjects(0, nullptr);
    m_pPage->SetPageSite(nullptr);
    m_pPage.Release();
  }
}

void CDlgPropertyFrame::OnOK() {
  Close(IDOK);
  EndDialog(IDOK);
}

void CDlgPropertyFrame::OnCancel() {
  Close(IDCANCEL);
  EndDialog(IDCANCEL);
}

void ShowDecoderSettings(CWnd* owner, bool video) {
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> filter;
  IBaseFilter* made = video ? static_cast<IBaseFilter*>(new (std::nothrow) CMpeg2DecFilter(nullptr, &hr))
                            : static_cast<IBaseFilter*>(new (std::nothrow) CMpaDecFilter(nullptr, &hr));
  if (!made) return;
  filter = made;  // the first reference
  if (FAILED(hr)) return;
  CComQIPtr<ISpecifyPropertyPages2> pages(filter.p);
  if (!pages) return;
  CAUUID ids{};
  if (FAILED(pages->GetPages(&ids)) || ids.cElems == 0) return;
  CComPtr<IPropertyPage> page;
  hr = pages->CreatePage(ids.pElems[0], &page);
  CoTaskMemFree(ids.pElems);
  if (FAILED(hr) || !page) return;
  CDlgPropertyFrame frame(page, filter, video ? "MPEG Video Decoder" : "MPEG Audio Decoder", owner);
  frame.DoModal();
}
