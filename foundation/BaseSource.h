// A file-source filter with a single output stream of type TStream: loading
// a file creates the stream, which opens the file itself.
//
// TStream is a CSourceStream (usually a CBaseStream) constructed as
// TStream(file name, owning filter, result out); it adds itself to the
// filter's pins, and a failure result leaves it deleted again.
#pragma once

#include <cwchar>
#include <new>
#include <string>

#include "platform/com/ComBase.h"
#include "platform/dshow/BaseClasses.h"

template <class TStream>
class CBaseSource : public CSource, public IFileSourceFilter, public IAMFilterMiscFlags {
 public:
  CBaseSource(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
      : CSource(name, outer, clsid, phr) {}

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    CheckPointer(ppv, E_POINTER);
    *ppv = nullptr;
    if (riid == IID_IFileSourceFilter) return GetInterfaceAs<IFileSourceFilter>(this, ppv);
    if (riid == IID_IAMFilterMiscFlags) return GetInterfaceAs<IAMFilterMiscFlags>(this, ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
  }

  // IFileSourceFilter
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override {
    CheckPointer(fileName, E_POINTER);
    CAutoLock lock(&m_cStateLock);
    if (GetPinCount() > 0) return VFW_E_ALREADY_CONNECTED;
    HRESULT hr = S_OK;
    TStream* stream = new (std::nothrow) TStream(fileName, this, &hr);
    if (!stream) return E_OUTOFMEMORY;
    if (FAILED(hr)) {
      delete stream;
      return hr;
    }
    m_fileName = fileName;
    return S_OK;
  }
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override {
    CheckPointer(fileName, E_POINTER);
    CAutoLock lock(&m_cStateLock);
    const size_t bytes = (m_fileName.size() + 1) * sizeof(WCHAR);
    *fileName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!*fileName) return E_OUTOFMEMORY;
    std::wmemcpy(*fileName, m_fileName.c_str(), m_fileName.size() + 1);
    if (pmt) *pmt = AM_MEDIA_TYPE{};
    return S_OK;
  }

  // IAMFilterMiscFlags
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

 protected:
  std::wstring m_fileName;
};
