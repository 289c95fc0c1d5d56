#include "platform/codecs/AsfSource.h"

#include <cstring>

#include "platform/com/ComBase.h"

CAsfSourceFilter::CAsfSourceFilter(LPUNKNOWN outer) : CFfDemuxSource("WM ASF Reader", outer, CLSID_WMAsfReader) {}

HRESULT CAsfSourceFilter::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CAsfSourceFilter(outer);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

HRESULT CAsfSourceFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (riid == IID_IFileSourceFilter) return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
  return CFfDemuxSource::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CAsfSourceFilter::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
  if (!fileName) return E_POINTER;
  CAutoLock lock(&m_cStateLock);
  if (m_demux.Context()) return E_UNEXPECTED;
  HRESULT hr = m_demux.Open(WideToUtf8Path(fileName), "asf");
  if (FAILED(hr)) return hr;
  m_file = fileName;
  return CreatePins(L"Raw Video ", L"Raw Audio ");
}

STDMETHODIMP CAsfSourceFilter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) {
  if (!fileName) return E_POINTER;
  *fileName = nullptr;
  CAutoLock lock(&m_cStateLock);
  if (m_file.empty()) return E_FAIL;
  const size_t bytes = (m_file.size() + 1) * sizeof(wchar_t);
  *fileName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (!*fileName) return E_OUTOFMEMORY;
  std::memcpy(*fileName, m_file.c_str(), bytes);
  if (pmt) {
    std::memset(pmt, 0, sizeof *pmt);
    pmt->majortype = MEDIATYPE_Stream;
    pmt->subtype = MEDIASUBTYPE_Asf;
  }
  return S_OK;
}
