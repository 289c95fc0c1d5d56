// Media samples and the allocators that own them.
//
// An allocator owns a fixed set of samples. GetBuffer hands out a free one
// and blocks while none is free; the sample goes back to the free list when
// its last reference is released. Decommit makes GetBuffer fail with
// VFW_E_NOT_COMMITTED (waking callers that are blocked in it); the buffers
// are freed at once if all samples are home, else when the last one comes
// back. While committed, or while samples are still out, the properties
// cannot change.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dshow/Interfaces.h"
#include "platform/dshow/Unknown.h"

class CBaseAllocator;

class CMediaSample : public IMediaSample2 {
 public:
  CMediaSample(LPCTSTR name, CBaseAllocator* allocator, HRESULT* phr, BYTE* buffer = nullptr, LONG length = 0);
  virtual ~CMediaSample();
  CMediaSample(const CMediaSample&) = delete;
  CMediaSample& operator=(const CMediaSample&) = delete;

  // IUnknown: the last Release returns the sample to its allocator.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMediaSample
  STDMETHODIMP GetPointer(BYTE** buffer) override;
  STDMETHODIMP_(LONG) GetSize() override;
  STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
  STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
  STDMETHODIMP IsSyncPoint() override;
  STDMETHODIMP SetSyncPoint(BOOL syncPoint) override;
  STDMETHODIMP IsPreroll() override;
  STDMETHODIMP SetPreroll(BOOL preroll) override;
  STDMETHODIMP_(LONG) GetActualDataLength() override;
  STDMETHODIMP SetActualDataLength(LONG length) override;
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppmt) override;
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP IsDiscontinuity() override;
  STDMETHODIMP SetDiscontinuity(BOOL discontinuity) override;
  STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* end) override;
  STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* end) override;

  // IMediaSample2: the properties are copied up to cbProperties bytes. The
  // media type handed out by GetProperties belongs to the sample.
  STDMETHODIMP GetProperties(DWORD cbProperties, BYTE* properties) override;
  STDMETHODIMP SetProperties(DWORD cbProperties, const BYTE* properties) override;

  // Points the sample at its buffer (allocators only).
  HRESULT SetPointer(BYTE* buffer, LONG length);

 protected:
  friend class CBaseAllocator;
  friend class CMemAllocator;

  enum : DWORD {
    Sample_SyncPoint = 0x01,
    Sample_Preroll = 0x02,
    Sample_Discontinuity = 0x04,
    Sample_TypeChanged = 0x08,
    Sample_TimeValid = 0x10,
    Sample_MediaTimeValid = 0x20,
    Sample_TimeDiscontinuity = 0x40,
    Sample_StopValid = 0x100,
    Sample_ValidFlags = 0x1FF,
  };

  LPCTSTR m_pName;
  DWORD m_dwFlags = 0;
  DWORD m_dwTypeSpecificFlags = 0;
  BYTE* m_pBuffer;
  LONG m_lActual = 0;
  LONG m_cbBuffer;
  CBaseAllocator* m_pAllocator;
  REFERENCE_TIME m_Start = 0;
  REFERENCE_TIME m_End = 0;
  LONGLONG m_MediaStart = 0;
  LONG m_MediaEnd = 0;
  AM_MEDIA_TYPE* m_pMediaType = nullptr;
  DWORD m_dwStreamId = AM_STREAM_MEDIA;
  std::atomic<LONG> m_cRef{0};
};

class CBaseAllocator : public CUnknown, public IMemAllocator {
 public:
  CBaseAllocator(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr);
  ~CBaseAllocator() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IMemAllocator
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override;
  STDMETHODIMP Commit() override;
  STDMETHODIMP Decommit() override;
  // Blocks while no sample is free (unless AM_GBF_NOWAIT, which answers
  // VFW_E_TIMEOUT); VFW_E_NOT_COMMITTED when not committed or decommitted
  // while waiting.
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                         DWORD flags) override;
  STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override;

  // Number of samples currently free (for tests and diagnostics).
  LONG GetFreeCount();

 protected:
  // Makes the samples for the current properties; called by Commit with
  // the allocator's lock held.
  virtual HRESULT Alloc();
  // Frees the samples and their memory; called with the lock held once all
  // samples are home.
  virtual void Free() = 0;

  std::mutex m_csState;
  std::condition_variable m_evFree;
  std::deque<CMediaSample*> m_lFree;
  // Every sample made by Alloc; owned here.
  std::vector<std::unique_ptr<CMediaSample>> m_Samples;

  LONG m_lCount = 0;
  LONG m_lSize = 0;
  LONG m_lAlignment = 0;
  LONG m_lPrefix = 0;
  BOOL m_bChanged = FALSE;
  std::atomic<BOOL> m_bCommitted{FALSE};
  BOOL m_bDecommitInProgress = FALSE;
  LONG m_lAllocated = 0;
};

class CMemAllocator : public CBaseAllocator {
 public:
  CMemAllocator(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr);
  ~CMemAllocator() override;

  // A new allocator with one reference.
  static HRESULT Create(IMemAllocator** alloc);

  // Rounds the buffer size (with its prefix) up to the alignment; a
  // non-power-of-two alignment gives VFW_E_BADALIGN.
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;

 protected:
  HRESULT Alloc() override;
  void Free() override;

 private:
  std::unique_ptr<BYTE[]> m_pBuffer;
};

// Grows an allocator's buffers to hold at least `size` bytes, its other
// properties kept (decommit, set, commit again). For a streaming thread
// whose frames grew: it must hold none of the allocator's samples. S_FALSE
// when the buffers are large enough already.
HRESULT GrowAllocatorBuffers(IMemAllocator* alloc, LONG size);
