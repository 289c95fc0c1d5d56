// The output pin of a splitter: a packet queue filled by the splitter's
// demux thread and a delivery thread of its own that copies each packet
// into a downstream sample.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/DSMPropertyBag.h"
#include "foundation/Packet.h"
#include "foundation/SplitterInterfaces.h"
#include "platform/dshow/BaseClasses.h"

class CBaseSplitterFilter;

class CBaseSplitterOutputPin : public CBaseOutputPin,
                               public IDSMPropertyBagImpl,
                               protected CAMThread,
                               public CForwardedSeeking,
                               public IBitRateInfo {
 public:
  // The pin offers exactly `mts`, in order. A buffer count below 1 means 1.
  CBaseSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter,
                         CCritSec* lock, HRESULT* phr, int buffers = 0);
  CBaseSplitterOutputPin(LPCWSTR name, CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr,
                         int buffers = 0);
  ~CBaseSplitterOutputPin() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Connection.
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;

  // Start and stop the delivery thread.
  HRESULT Active() override;
  HRESULT Inactive() override;

  // Stream control, called by the filter. Pins that keep state across
  // packets override these and call the base last.
  HRESULT DeliverBeginFlush() override;
  HRESULT DeliverEndFlush() override;
  // During a flush that ends with the filter stopping: lets the delivery
  // thread go on to see its exit command. Delivery stays off (every queued
  // packet is dropped) and downstream keeps flushing until DeliverEndFlush.
  void ReleaseFlushWait() { m_eEndFlush.Set(); }
  HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // Called on the delivery thread for each queued packet; an overriding pin
  // calls the base for every packet it produces. Always consumes the packet.
  virtual HRESULT DeliverPacket(std::unique_ptr<Packet> p);
  // Text, script and subtitle streams: the demux flow control ignores them.
  virtual bool IsSparseStream();

  // Called on the demux thread; null queues the end of stream. Waits while
  // the splitter holds enough data. S_FALSE (packet dropped) when the
  // delivery thread does not run; else the pin's delivery result.
  HRESULT QueuePacket(std::unique_ptr<Packet> p);

  // False when a stream switcher downstream has this stream switched off.
  bool IsDownstreamActive();

  // Replaces the pin's name (splitters name pins after their streams).
  HRESULT SetName(LPCWSTR name);

  // Queue state for the filter's flow control and buffer information.
  size_t QueueCount() const { return m_queue.GetCount(); }
  int64_t QueueSize() const { return m_queue.GetSize(); }

  bool IsDeliveryThreadRunning() const { return m_threadRunning.load(); }
  // Priority of the delivery thread (recorded by the platform).
  void SetDeliveryPriority(int priority);

  // The start of the current segment, for pins that make stream times
  // segment-relative.
  REFERENCE_TIME SegmentStart() const { return m_rtSegmentStart.load(); }

  // IMediaSeeking: the filter answers for all of its pins; a position set
  // through a pin is asked with the pin as caller.
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;

  // IBitRateInfo
  STDMETHODIMP_(DWORD) GetCurrentBitRate() override { return m_currentBitRate.load(); }
  STDMETHODIMP_(DWORD) GetAverageBitRate() override { return m_averageBitRate.load(); }

 protected:
  DWORD ThreadProc() override;
  HRESULT SeekingTarget(IMediaSeeking** target) override;
  CBaseSplitterFilter* SplitterFilter() const { return m_pSplitter; }
  // Replaces the types offered, for pins whose format blocks are complete
  // only after the first packets of their stream were read.
  void SetMediaTypes(std::vector<CMediaType> mts);

 private:
  // Grows every downstream buffer to hold `size` bytes with room to spare.
  HRESULT GrowBuffers(size_t size);
  void UpdateBitRate(const Packet& p);
  // After a failed delivery: ends the stream downstream and reports the
  // failure to the graph unless it is downstream's own.
  void EndStreamAfterFailure(HRESULT hr);
  // Queues a space at time -1 when a text renderer sits downstream, so it
  // shows nothing until the first real subtitle.
  void PrimeTextRenderer();

  CBaseSplitterFilter* m_pSplitter;
  // Its own lock, not the filter lock: the delivery thread replaces the
  // list on a type change while Stop may hold the filter lock waiting for
  // that very thread.
  mutable std::mutex m_mtsLock;
  std::vector<CMediaType> m_mts;
  int m_nBuffers;
  CPacketQueue m_queue;
  // Makes the delivery-state check and the queueing of a packet one step
  // against a flush, so no packet of the old segment slips in behind it.
  std::mutex m_queueGate;

  std::atomic<HRESULT> m_hrDeliver{S_OK};
  std::atomic<bool> m_fFlushing{false};
  std::atomic<bool> m_fFlushed{false};
  // Set except during a flush; the delivery thread waits on it after each
  // delivery so it neither delivers nor takes packets mid-flush.
  CAMEvent m_eEndFlush{TRUE};
  // Set whenever a packet is queued, so that an idle delivery thread wakes
  // at once instead of at its next poll.
  CAMEvent m_eQueued;
  std::atomic<bool> m_threadRunning{false};

  // Bit-rate window, written by the delivery thread.
  int64_t m_totalBytes = 0;
  int64_t m_totalDuration = 0;
  int64_t m_windowBytes = 0;
  std::atomic<REFERENCE_TIME> m_windowStart{INVALID_TIME};
  std::atomic<DWORD> m_currentBitRate{0};
  std::atomic<DWORD> m_averageBitRate{0};

  std::atomic<REFERENCE_TIME> m_rtSegmentStart{0};
};
