// The queued input pin of the muxer filters: every delivered sample is
// copied into a MuxSample record and queued for the filter's worker thread,
// which takes the records of all pins in time order.
#pragma once

#include <atomic>
#include <deque>
#include <memory>

#include "conversion/MuxSample.h"
#include "platform/dshow/BaseClasses.h"

// Wakes the worker of the muxer filters when one of its pins queues a
// record, so that it waits for data instead of polling the queues.
class CRecordSignal {
 public:
  // Pin side, after a record was queued.
  void Notify() {
    if (m_bWaiting.load()) m_evQueued.Set();
  }
  // Worker side: arm before the last look at the queues, then wait (for a
  // record, or for a command on `command`) or disarm.
  void Arm() { m_bWaiting = true; }
  void Disarm() { m_bWaiting = false; }
  void Wait(HANDLE command, DWORD ms) {
    const HANDLE handles[2] = {m_evQueued.Handle(), command};
    WaitForMultipleObjects(command ? 2 : 1, handles, FALSE, ms);
    m_bWaiting = false;
  }

 private:
  std::atomic<bool> m_bWaiting{false};
  CAMEvent m_evQueued;  // auto-reset
};

class CMpegInputPin : public CBaseInputPin {
 public:
  // A streaming thread waits while its queue holds this many records, or
  // this many bytes of them: decoded pictures are large, and a worker that
  // lags behind gains nothing from a long queue of them.
  static constexpr size_t kQueueLimit = 100;
  static constexpr size_t kQueueByteLimit = 2u << 20;
  // ... but not longer than this, so that a stalled worker cannot hold a
  // streaming thread for good.
  static constexpr DWORD kMaxQueueWaitMs = 1000;

  CMpegInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video);
  ~CMpegInputPin() override;

  // Video: 4:2:0 planar (YV12, I420) frames, or RGB32 or RGB24 ones
  // (VideoInfo or VideoInfo2); audio: 16-bit PCM in a WAVEFORMATEX.
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT Active() override;
  HRESULT Inactive() override;

  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  STDMETHODIMP BeginFlush() override;
  // The worker's signal for new records.
  void SetRecordSignal(CRecordSignal* signal) { m_pSignal = signal; }

  // Appends a record once there is room (or the wait ran out, or the
  // worker released the waits); frees it when the filter is stopped or the
  // pin is flushing. A full queue lets its streaming thread go on only
  // once the worker has taken a quarter of it, so that the two threads do
  // not hand over every single record.
  void QueueSample(std::unique_ptr<MuxSample> sample);
  // Appends without waiting or checking the state.
  void AppendSample(std::unique_ptr<MuxSample> sample);
  // The oldest record, or null.
  std::unique_ptr<MuxSample> PopSample();
  // Runs f on the oldest record (null when the queue is empty) under the
  // queue lock.
  template <class F>
  void PeekSample(F&& f) {
    CAutoLock lock(&m_csQueue);
    f(m_queue.empty() ? nullptr : m_queue.front().get());
  }
  size_t QueuedCount();
  // Lets a waiting streaming thread go on (the worker starves on another
  // stream).
  void ReleaseWaits();

  bool IsVideo() const { return m_bVideo; }
  // False for a pin whose stream the filter leaves out of its runs.
  virtual bool TakesPart() const { return true; }
  bool IsEndOfStream() const { return m_bEndOfStream; }
  REFERENCE_TIME UpstreamDuration() const { return m_rtDuration; }

 protected:
  bool StreamingState() const { return !m_pFilter->IsStopped() && !IsFlushing(); }
  // Under the queue lock.
  bool QueueFull() const { return m_queue.size() >= kQueueLimit || m_nQueuedBytes >= kQueueByteLimit; }
  bool QueueDrained() const {
    return m_queue.size() <= kQueueLimit * 3 / 4 && m_nQueuedBytes <= kQueueByteLimit / 4 * 3;
  }
  void Push(std::unique_ptr<MuxSample> sample);
  void ClearQueue();
  // Whether queueing `sample` wakes the worker at once (under the queue
  // lock). A sink whose worker only drops the records wakes it less often.
  virtual bool WakesWorker(const MuxSample&) { return true; }

  const bool m_bVideo;
  // Records keep a copy of the samples' bytes (a sink that only needs the
  // times and flags keeps none).
  bool m_bCopyData = true;
  CCritSec m_csReceive;
  std::atomic<REFERENCE_TIME> m_rtDuration{0};
  REFERENCE_TIME m_rtLastStart = INT64_MIN;
  std::atomic<bool> m_bEndOfStream{false};

  CCritSec m_csQueue;
  std::deque<std::unique_ptr<MuxSample>> m_queue;
  size_t m_nQueuedBytes = 0;
  bool m_bAccepting = false;  // between Active and Inactive
  // The worker lets one record past the limits.
  bool m_bReleased = false;
  // Set when a waiting streaming thread may look again.
  CAMEvent m_evRoom{TRUE};
  CRecordSignal* m_pSignal = nullptr;
};
