#include "foundation/LoadableAsyncReader.h"

#include <cwchar>

#include "platform/com/ComBase.h"
#include "platform/win32/System.h"

CLoadableAsyncReader::CLoadableAsyncReader(LPCTSTR name, LPUNKNOWN outer, CAsyncStream* stream, HRESULT* phr,
                                           REFCLSID clsid, bool ntOnly)
    : CAsyncReader(name, outer, stream, phr, clsid) {
  if (ntOnly && (GetVersion() & 0x80000000u) && phr) *phr = E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CLoadableAsyncReader::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IFileSourceFilter) return GetInterfaceAs<IFileSourceFilter>(this, ppv);
  if (riid == IID_IAMFilterMiscFlags) return GetInterfaceAs<IAMFilterMiscFlags>(this, ppv);
  return CAsyncReader::NonDelegatingQueryInterface(riid, ppv);
}

void CLoadableAsyncReader::Loaded(LPCOLESTR fileName, const GUID& subtype) {
  CAutoLock lock(&m_csFilter);
  m_fn = fileName;
  m_mt.InitMediaType();
  m_mt.SetType(&MEDIATYPE_Stream);
  m_mt.SetSubtype(&subtype);
}

STDMETHODIMP CLoadableAsyncReader::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) {
  CheckPointer(fileName, E_POINTER);
  CAutoLock lock(&m_csFilter);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((m_fn.size() + 1) * sizeof(wchar_t)));
  if (!copy) return E_OUTOFMEMORY;
  std::wmemcpy(copy, m_fn.c_str(), m_fn.size() + 1);
  if (pmt) {
    HRESULT hr = CopyMediaType(pmt, &m_mt);
    if (FAILED(hr)) {
      CoTaskMemFree(copy);
      return hr;
    }
  }
  *fileName = copy;
  return S_OK;
}
