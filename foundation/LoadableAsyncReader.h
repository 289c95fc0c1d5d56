// A pull-model reader filter (CAsyncReader over a CAsyncStream) that is a
// source loaded by file name: the base of the disc readers. The derived
// class opens its stream in Load and calls Loaded, which keeps the name and
// gives the output pin its type.
#pragma once

#include <string>

#include "platform/dshow/AsyncReader.h"
#include "platform/dshow/DShow.h"

// A byte stream with one lock around its reads and a length it gives under
// that lock; reads need no alignment.
class CLockedAsyncStream : public CAsyncStream {
 public:
  HRESULT Size(LONGLONG* total, LONGLONG* available) override {
    CAutoLock lock(&m_csLock);
    if (!total) return E_POINTER;
    *total = StreamLength();
    if (available) *available = *total;
    return S_OK;
  }
  DWORD Alignment() override { return 1; }
  void Lock() override { m_csLock.Lock(); }
  void Unlock() override { m_csLock.Unlock(); }

 protected:
  // Called with the lock held.
  virtual LONGLONG StreamLength() = 0;

  CCritSec m_csLock;
};

class CLoadableAsyncReader : public CAsyncReader, public IFileSourceFilter, public IAMFilterMiscFlags {
 public:
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // A copy of the loaded name (task memory) and, when asked, the type.
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override;
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

 protected:
  // On a system of the old consumer family (the high bit of the version
  // word) the readers of discs do not run: *phr is E_NOTIMPL then.
  CLoadableAsyncReader(LPCTSTR name, LPUNKNOWN outer, CAsyncStream* stream, HRESULT* phr, REFCLSID clsid,
                       bool ntOnly = false);

  void Loaded(LPCOLESTR fileName, const GUID& subtype);

  std::wstring m_fn;
};
