// A writing sink whose input pins queue what they receive for one worker
// thread of the filter, which takes the records of every pin in time order
// (the interleaving a file writer needs) and hands them to the derived
// filter. The muxers of the conversion and the ASF writer stand on it.
//
// Flow: a pin's streaming thread turns each sample into a record (the
// derived pin says how: a copy of its bytes, a picture read into an
// encoder's buffer) and queues it, waiting while its queue is full; the
// worker waits on an event for a record, a command or the graph's start,
// never on a timer. One stop: Stop makes the pins inactive (queues freed,
// waiting streaming threads let go) and ends the worker, which closes the
// run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/AMEvent.h"
#include "platform/dshow/AMThread.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/BasePin.h"
#include "platform/dshow/Errors.h"
#include "platform/dshow/MediaTimeSeeking.h"
#include "platform/dshow/RunReport.h"
#include "platform/dshow/SinkPosition.h"

class CQueuedInputPin;

// One queued input sample: times and flags; derived records carry the
// payload.
struct QueuedRecord {
  enum : DWORD {
    TimeValid = 1,
    KeySample = 2,
    Discontinuity = 4,
    EndOfStream = 8,  // a record without data
    LateKey = 16,
  };

  QueuedRecord() = default;
  QueuedRecord(const QueuedRecord&) = default;
  QueuedRecord& operator=(const QueuedRecord&) = default;
  virtual ~QueuedRecord() = default;
  // What the payload weighs against its queue's byte limit.
  virtual size_t QueuedBytes() const { return 0; }

  CQueuedInputPin* m_pPin = nullptr;  // not counted
  BYTE m_bVideo = 0;
  REFERENCE_TIME m_rtStart = INT64_MIN;
  REFERENCE_TIME m_rtStop = INT64_MIN;
  DWORD m_dwFlags = 0;
  // The stream's new format from this sample on (a picture size change).
  std::shared_ptr<const CMediaType> m_pMediaType;
};

// Payload memory of one sink's records, kept for the next ones: a
// picture's worth of fresh memory for every frame would cost its page
// faults again. Only picture-sized buffers are kept, a few at most. Each
// sink has its own, so that jobs share nothing. Any thread.
class CRecordBufferPool {
 public:
  // An empty buffer with room for `size` bytes.
  std::vector<BYTE> Take(size_t size);
  void GiveBack(std::vector<BYTE>&& buffer);

 private:
  static constexpr size_t kKeptFrom = 64 * 1024;
  static constexpr size_t kKeptBuffers = 4;
  std::mutex m_lock;
  std::vector<std::vector<BYTE>> m_spare;
};

// Wakes the worker when one of its pins queues a record, so that it waits
// for data instead of polling the queues.
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

class CQueuedInputPin : public CBaseInputPin {
 public:
  // A streaming thread waits while its queue holds this many records, or
  // this many bytes of them: decoded pictures are large, and a worker that
  // lags behind gains nothing from a long queue of them.
  static constexpr size_t kQueueLimit = 100;
  static constexpr size_t kQueueByteLimit = 2u << 20;
  // ... but not longer than this, so that a stalled worker cannot hold a
  // streaming thread for good.
  static constexpr DWORD kMaxQueueWaitMs = 1000;

  CQueuedInputPin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video);
  ~CQueuedInputPin() override;

  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT Active() override;
  HRESULT Inactive() override;

  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  STDMETHODIMP BeginFlush() override;
  // The worker's signal for new records, and the sink's payload memory.
  void Attach(CRecordSignal* signal, CRecordBufferPool* buffers) {
    m_pSignal = signal;
    m_pBuffers = buffers;
  }

  // Appends a record once there is room (or the wait ran out, or the
  // worker released the waits); frees it when the filter is stopped or the
  // pin is flushing. A full queue lets its streaming thread go on only
  // once the worker has taken a quarter of it, so that the two threads do
  // not hand over every single record.
  void QueueSample(std::unique_ptr<QueuedRecord> sample);
  // Appends without waiting or checking the state.
  void AppendSample(std::unique_ptr<QueuedRecord> sample);
  // The oldest record, or null.
  std::unique_ptr<QueuedRecord> PopSample();
  // Runs f on the oldest record (null when the queue is empty) under the
  // queue lock.
  template <class F>
  void PeekSample(F&& f) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    f(m_queue.empty() ? nullptr : m_queue.front().get());
  }
  size_t QueuedCount();
  // Lets a waiting streaming thread go on (the worker starves on another
  // stream).
  void ReleaseWaits();

  bool IsVideo() const { return m_bVideo; }
  // What the job calls the stream that feeds the pin ("sound stream of the
  // source (AC-3)"), for the run's error when none of it arrives; the graph's
  // builder sets it while stopped. Without, the kind of stream is named.
  void SetStreamName(std::string name) { m_strStreamName = std::move(name); }
  std::string StreamName() const;
  // False for a pin whose stream the filter leaves out of its runs.
  virtual bool TakesPart() const { return true; }
  bool IsEndOfStream() const { return m_bEndOfStream; }
  REFERENCE_TIME UpstreamDuration() const { return m_rtDuration; }

 protected:
  // The record of a received sample with its payload (times and flags are
  // the base's). Null: the sample is dropped; a failure is Receive's answer.
  // Called under the receive lock, after the base checks.
  virtual HRESULT MakeRecord(IMediaSample* sample, std::unique_ptr<QueuedRecord>* record) = 0;
  // A sample's times with the segment's start added (the records' times);
  // false when it has no start and stop.
  bool MediaTimes(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* stop) const;

  bool StreamingState() const { return !m_pFilter->IsStopped() && !IsFlushing(); }
  // Under the queue lock.
  bool QueueFull() const { return m_queue.size() >= kQueueLimit || m_nQueuedBytes >= kQueueByteLimit; }
  // A single record left counts as a drained queue whatever its size:
  // with pictures near the byte limit, waiting for an empty queue would
  // leave the worker nothing to take while the next one is made.
  bool QueueDrained() const {
    return m_queue.size() <= kQueueLimit * 3 / 4 && (m_nQueuedBytes <= kQueueByteLimit / 4 * 3 || m_queue.size() <= 1);
  }
  // Until the queue has room (or the wait ran out, or the worker released
  // the waits); false once the filter stops or the pin flushes.
  bool WaitForRoom();
  // Appends unless the filter stopped or the pin flushes meanwhile (the
  // record is then freed).
  void PushWhileAccepting(std::unique_ptr<QueuedRecord> sample);
  // Under the queue lock; true when the worker is to be told, once the
  // lock is let go.
  bool Push(std::unique_ptr<QueuedRecord> sample);
  // Whether queueing `sample` wakes the worker at once (under the queue
  // lock). A sink whose worker only drops the records wakes it less often.
  virtual bool WakesWorker(const QueuedRecord&) { return true; }
  void ClearQueue();
  // Lets a streaming thread waiting for room look again.
  void WakeRoomWaiter();

  const bool m_bVideo;
  CCritSec m_csReceive;
  std::atomic<REFERENCE_TIME> m_rtDuration{0};
  REFERENCE_TIME m_rtLastStart = INT64_MIN;
  std::atomic<bool> m_bEndOfStream{false};

  // The queue and its hand-over: a lock of its own (never the filter's), and
  // no event of the platform's, whose waits share one lock across the process.
  std::mutex m_queueLock;
  std::deque<std::unique_ptr<QueuedRecord>> m_queue;
  size_t m_nQueuedBytes = 0;
  bool m_bAccepting = false;  // between Active and Inactive
  // The worker lets one record past the limits.
  bool m_bReleased = false;
  // The streaming thread waiting for room, woken only when it waits.
  std::condition_variable m_roomCv;
  int m_nRoomWaiters = 0;
  CRecordSignal* m_pSignal = nullptr;
  CRecordBufferPool* m_pBuffers = nullptr;
  std::string m_strStreamName;
};

// The filter: its worker, the end-of-run events, the seeking interface of a
// sink that reports how far it has written and never seeks itself, and its
// run report. A run in which every stream ended but one of them delivered
// nothing fails naming that stream: the target would lack it without a word.
class CQueuedSinkFilter : public CBaseFilter,
                          public CCritSec,
                          public CAMThread,
                          public CMediaTimeSeeking,
                          public IRunReport {
 public:
  enum WorkerCommand : DWORD { CMD_EXIT = 0, CMD_RUN = 1 };

  CQueuedSinkFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid);
  ~CQueuedSinkFilter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // IMediaSeeking: media time only; the current position is how far the
  // least advanced stream still coming in has been written. What a sink
  // says of its duration and stop it decides itself.
  STDMETHODIMP GetStopPosition(LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;
  STDMETHODIMP GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPreroll(LONGLONG*) override { return E_NOTIMPL; }

  // IRunReport: why the last run failed as far as the sink's base can tell
  // (a stream that delivered nothing); a derived sink adds its own reasons.
  std::string GetRunError() const override;
  std::string GetRunNote() const override { return {}; }

  // The interleaving rule over the active pins, in list order: a record
  // without a valid time, a late key sample or an end of stream is taken
  // at once; otherwise the smallest start time wins (the earlier pin on a
  // tie). While an active pin has nothing queued the rule takes nothing and
  // releases every pin's waits (unless told not to), so that the other
  // stream can run ahead.
  static std::unique_ptr<QueuedRecord> NextRecord(const std::vector<CQueuedInputPin*>& active,
                                                  bool releaseWaits = true);

 protected:
  // The input pins the worker takes from, in the order it prefers them on
  // equal times; changed only while stopped.
  void AttachPin(CQueuedInputPin* pin);
  void DetachPins() { m_inputs.clear(); }
  // The payload memory of this sink's records; shared with what still holds
  // a buffer of it when the filter goes (an encoder's delayed picture).
  const std::shared_ptr<CRecordBufferPool>& Buffers() const { return m_pBuffers; }

  // Asked before the filter leaves the stopped state (on the caller's
  // thread, before any sample comes); a failure refuses the start.
  virtual HRESULT CanStart() { return S_OK; }
  // The run's steps, on the worker thread. A failure of BeginRun, TakeRecord
  // or EndRun ends the run with EC_ERRORABORT after AbortRun. EndRun is told
  // whether every stream ended (else a stop came first); S_OK reports the
  // end with EC_COMPLETE, S_FALSE reports nothing.
  virtual HRESULT BeginRun() { return S_OK; }
  virtual HRESULT TakeRecord(QueuedRecord& record) = 0;
  virtual HRESULT EndRun(bool /*everyStreamEnded*/) { return S_OK; }
  virtual void AbortRun() {}
  // Asked now and then while Stop waits for the worker, with the time the
  // wait began: TRUE when the run's output is stuck (it has taken nothing
  // for long), after which every further write of the run fails; the
  // blocked call is then broken so that the worker can end.
  virtual bool AbandonStalledOutput(int64_t /*waitSinceNs*/) { return false; }

  // Ends the worker; derived destructors call it before their own members
  // go, because the worker calls into them.
  void EndWorker();

  DWORD ThreadProc() override;

  // The reported position, by stream (video 0, audio 1), in the times the
  // records came with.
  CSinkPosition m_position{2};
  // Whether a worker starved on one stream lets the others run ahead of
  // their queues' limits. Without, a full queue still lets its streaming
  // thread go on after the longest wait, so the streams never wait on each
  // other for good; a stream then leads the other by about its queue.
  bool m_bReleaseWhenStarved = true;

 private:
  void RunLoop();
  // The next record to take; null when a command came first.
  std::unique_ptr<QueuedRecord> WaitForRecord();

  std::shared_ptr<CRecordBufferPool> m_pBuffers = std::make_shared<CRecordBufferPool>();
  std::vector<CQueuedInputPin*> m_inputs;
  std::vector<CQueuedInputPin*> m_active;  // worker only
  CRecordSignal m_recordSignal;
  // Set while the filter runs: a paused worker waits for it.
  CAMEvent m_evRunning{TRUE};
  mutable std::mutex m_errorLock;
  std::string m_strRunError;
};
