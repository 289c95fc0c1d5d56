// The base of the file sources with one output stream: loading a file
// creates the stream, which opens and parses it; the filter reports itself
// a source. Also the read-only file those streams read their data from.
#pragma once

#include <cwchar>
#include <new>
#include <string>

#include "platform/com/ComBase.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/win32/Handle.h"

// A file opened for reading. Reads go to an explicit offset, so a stream
// thread and a control thread never fight over a shared file position.
class CSourceFile {
 public:
  CSourceFile() = default;
  ~CSourceFile() { Close(); }
  CSourceFile(const CSourceFile&) = delete;
  CSourceFile& operator=(const CSourceFile&) = delete;

  // Others may read the file meanwhile, not write it.
  bool Open(LPCWSTR name);
  void Close();
  bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }
  LONGLONG Length() const { return m_length; }
  // Up to `length` bytes at `offset`: the count read, short at the end of
  // the file; -1 on a read error.
  LONG ReadAt(LONGLONG offset, void* buffer, LONG length);

 private:
  HANDLE m_h = INVALID_HANDLE_VALUE;
  LONGLONG m_length = 0;
};

template <class TStream>
class CBaseSource : public CSource, public IFileSourceFilter, public IAMFilterMiscFlags {
 public:
  CBaseSource(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid) : CSource(name, outer, clsid, phr) {}

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    CheckPointer(ppv, E_POINTER);
    if (riid == IID_IFileSourceFilter) return GetInterfaceAs<IFileSourceFilter>(this, ppv);
    if (riid == IID_IAMFilterMiscFlags) return GetInterfaceAs<IAMFilterMiscFlags>(this, ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
  }

  // IFileSourceFilter: one stream per filter, made from the file name.
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override {
    CheckPointer(fileName, E_POINTER);
    CAutoLock lock(&m_cStateLock);
    if (GetPinCount() > 0) return VFW_E_ALREADY_CONNECTED;
    HRESULT hr = S_OK;
    // The stream adds itself to the filter's pins; deleting it takes it off.
    auto* stream = new (std::nothrow) TStream(fileName, this, &hr);
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
    if (pmt) {
      // The file's type is not known beyond what the stream offers.
      *pmt = AM_MEDIA_TYPE{};
    }
    return S_OK;
  }

  // IAMFilterMiscFlags
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

 protected:
  std::wstring m_fileName;
};
