// "File Source (Async.)" (CLSID_AsyncReader): reads a file for a parser
// downstream. IFileSourceFilter::Load opens the file; its one output pin
// "Output" offers the load's media type (the given one, else the signature
// table's match, else MEDIATYPE_Stream with a null subtype) and IAsyncReader
// over the file. A connection needs no allocator of the reader's: the parser
// asks for one through RequestAllocator.
//
// Requests are served at once, on the caller's thread, and queued for
// WaitForNext; byte positions in sample times are in units of UNITS per
// byte. A read that runs past the end is cut short and answered S_FALSE.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/BasePin.h"
#include "platform/dshow/DShow.h"

class CAsyncFileSource;

class CAsyncOutputPin final : public CBasePin, public IAsyncReader {
 public:
  CAsyncOutputPin(CAsyncFileSource* filter, CCritSec* lock, HRESULT* phr);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // IAsyncReader (BeginFlush and EndFlush above serve both faces)
  STDMETHODIMP RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                IMemAllocator** actual) override;
  STDMETHODIMP Request(IMediaSample* sample, DWORD_PTR user) override;
  STDMETHODIMP WaitForNext(DWORD msTimeout, IMediaSample** sample, DWORD_PTR* user) override;
  STDMETHODIMP SyncReadAligned(IMediaSample* sample) override;
  STDMETHODIMP SyncRead(LONGLONG position, LONG length, BYTE* buffer) override;
  STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override;

 private:
  HRESULT ReadIntoSample(IMediaSample* sample);

  CAsyncFileSource* m_pSource;
  struct Done {
    IMediaSample* sample;
    DWORD_PTR user;
    HRESULT hr;
  };
  std::mutex m_queueLock;
  std::condition_variable m_queueChanged;
  std::deque<Done> m_done;
  bool m_flushing = false;
};

class CAsyncFileSource final : public CBaseFilter, public IFileSourceFilter, public IAMFilterMiscFlags {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  CAsyncFileSource(LPUNKNOWN outer, HRESULT* phr);
  ~CAsyncFileSource() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

  // IFileSourceFilter: one load per filter.
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override;

  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

  // For the pin: thread-safe positional reads (pread) of the loaded file.
  // Returns the bytes read, -1 on an error.
  LONGLONG ReadAt(LONGLONG position, LONG length, BYTE* buffer);
  LONGLONG FileSize() const { return m_size; }
  bool Loaded() const { return m_fd >= 0; }
  const CMediaType& OutputType() const { return m_type; }

 private:
  CCritSec m_lock;
  std::unique_ptr<CAsyncOutputPin> m_pin;
  int m_fd = -1;
  LONGLONG m_size = 0;
  std::wstring m_fileName;
  CMediaType m_type;
};
