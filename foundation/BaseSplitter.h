// The base of every splitter and file-source splitter: output pins keyed by
// track number, the demux thread that runs the derived splitter's loop,
// seeking, flow control over the output queues, and the property, resource
// and chapter bags a splitter fills while opening.
//
// A splitter supplies CreateOutputs, DemuxInit, DemuxSeek and DemuxLoop and
// calls AddOutputPin, GetOutputPin, RenameOutputPin and DeliverPacket.
//
// Lock order: the filter lock, then the pin-map or pending-type lock, then
// a queue lock. The demux thread takes only the latter three.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/BaseSplitterFile.h"
#include "foundation/BaseSplitterOutputPin.h"
#include "foundation/DSMPropertyBag.h"
#include "foundation/DamageLog.h"
#include "foundation/FontInstaller.h"
#include "foundation/Packet.h"
#include "foundation/SplitterInterfaces.h"
#include "foundation/StreamTimeline.h"
#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"

struct ISyncReader;
class CBaseSplitterFilter;

// The pull input: accepts any type from a pin that offers IAsyncReader.
class CBaseSplitterInputPin : public CBasePin {
 public:
  CBaseSplitterInputPin(LPCTSTR name, CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr);
  ~CBaseSplitterInputPin() override;

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT CompleteConnect(IPin* pin) override;
  HRESULT BreakConnect() override;

  // Nothing is pushed into a pull pin.
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // The connected source's reader (no reference added); null unconnected.
  IAsyncReader* GetAsyncReader() const { return m_pAsyncReader; }

 private:
  CBaseSplitterFilter* m_pSplitter;
  IAsyncReader* m_pAsyncReader = nullptr;
};

class CBaseSplitterFilter : public CBaseFilter,
                            public CCritSec,
                            public IDSMPropertyBagImpl,
                            public IDSMResourceBagImpl,
                            public IDSMChapterBagImpl,
                            protected CAMThread,
                            public IFileSourceFilter,
                            public CMediaTimeSeeking,
                            public IAMOpenProgress,
                            public IAMMediaContent,
                            public IAMExtendedSeeking,
                            public IKeyFrameInfo,
                            public IBufferInfo,
                            public IRunReport {
 public:
  CBaseSplitterFilter(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid);
  ~CBaseSplitterFilter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Pins: the outputs in creation order, then the input pin when it exists.
  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

  // VFW_E_NOT_STOPPED unless stopped; else disconnects and retires every
  // output and empties the maps, bags, fonts and reader.
  virtual HRESULT DeleteOutputs();
  // Opens the stream and registers one output per stream; E_FAIL when no
  // output was registered.
  virtual HRESULT CreateOutputs(IAsyncReader* reader) = 0;

  // Connection of the input (PINDIR_INPUT, opens the stream) or of an
  // output (PINDIR_OUTPUT).
  HRESULT CompleteConnect(PIN_DIRECTION dir, CBasePin* pin);

  // Filter state.
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // The seeking entry of the filter and its pins; `caller` tells apart the
  // pins that forward one and the same request.
  virtual HRESULT SetPositionsInternal(void* caller, LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                       DWORD stopFlags);

  // Takes the pin over and registers it under `track`.
  HRESULT AddOutputPin(DWORD track, std::unique_ptr<CBaseSplitterOutputPin> pin);
  CBaseSplitterOutputPin* GetOutputPin(DWORD track);
  // Moves a pin to another track; with a type, downstream must accept it and
  // the next packet of the new track carries it.
  HRESULT RenameOutputPin(DWORD oldTrack, DWORD newTrack, const AM_MEDIA_TYPE* pmt);
  // Routes a packet through the shared time line to its track's pin;
  // S_FALSE when dropped. A failure is returned only when no output takes
  // data any more.
  HRESULT DeliverPacket(std::unique_ptr<Packet> p);

  // Flow control asked before each queued packet: true while the output
  // queues may take more.
  bool ReadyForMoreData();
  // The demux thread's wait while the queues are full: it arms the wake-up
  // before its last look, then waits until a delivery thread has taken
  // enough to matter (or a flush or failure stopped delivery), never longer
  // than a short while.
  void ArmRoomWait();
  void WaitForRoom();
  void DisarmRoomWait() { m_bWaitingForRoom = false; }
  // Delivery threads: a packet of `bytes` was taken from a queue that now
  // holds `count` packets of `size` bytes.
  void OnPacketTaken(int64_t bytes, size_t count, int64_t size, bool sparse);
  // Wakes a demux thread that waits for room (delivery stopped).
  void WakeRoomWaiter() { m_eRoom.Set(); }

  // IFileSourceFilter (only offered without an input pin)
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override;

  // IMediaSeeking (media time only). A null format is refused as any
  // other format is; the latest available time is the duration's answer,
  // a null pointer included.
  STDMETHODIMP SetTimeFormat(const GUID* format) override;
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetRate(double* rate) override;

  // IAMOpenProgress
  STDMETHODIMP QueryProgress(LONGLONG* total, LONGLONG* current) override;
  STDMETHODIMP AbortOperation() override;

  // IDispatch (both automation interfaces): not supported.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override;

  // IAMMediaContent: the text properties come from the filter's bag.
  STDMETHODIMP get_AuthorName(BSTR* value) override;
  STDMETHODIMP get_Title(BSTR* value) override;
  STDMETHODIMP get_Rating(BSTR* value) override;
  STDMETHODIMP get_Description(BSTR* value) override;
  STDMETHODIMP get_Copyright(BSTR* value) override;
  STDMETHODIMP get_BaseURL(BSTR* value) override;
  STDMETHODIMP get_LogoURL(BSTR* value) override;
  STDMETHODIMP get_LogoIconURL(BSTR* value) override;
  STDMETHODIMP get_WatermarkURL(BSTR* value) override;
  STDMETHODIMP get_MoreInfoURL(BSTR* value) override;
  STDMETHODIMP get_MoreInfoBannerImage(BSTR* value) override;
  STDMETHODIMP get_MoreInfoBannerURL(BSTR* value) override;
  STDMETHODIMP get_MoreInfoText(BSTR* value) override;

  // IAMExtendedSeeking: markers are the chapters, counted from 1.
  STDMETHODIMP get_ExSeekCapabilities(LONG* capabilities) override;
  STDMETHODIMP get_MarkerCount(LONG* count) override;
  STDMETHODIMP get_CurrentMarker(LONG* marker) override;
  STDMETHODIMP GetMarkerTime(LONG marker, double* time) override;
  STDMETHODIMP GetMarkerName(LONG marker, BSTR* name) override;
  STDMETHODIMP put_PlaybackSpeed(double speed) override;
  STDMETHODIMP get_PlaybackSpeed(double* speed) override;

  // IKeyFrameInfo: a splitter that knows its key frames replaces these.
  STDMETHODIMP KeyFrameCount(UINT& count) override;
  STDMETHODIMP GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) override;

  // IBufferInfo
  STDMETHODIMP_(int) GetCount() override;
  STDMETHODIMP GetStatus(int index, int& samples, int& size) override;
  STDMETHODIMP_(DWORD) GetPriority() override;

  // IRunReport: the note is what the damage log kept; the error says why
  // nothing after the damage could be read, when the source's later part is
  // lost.
  std::string GetRunError() const override;
  std::string GetRunNote() const override;

 protected:
  // Called once when the demux thread starts; false: the stream cannot be
  // read, the outputs end at once and the graph is told of the failure.
  virtual bool DemuxInit() = 0;
  // Positions the reader so that the next DemuxLoop delivers from `start`.
  virtual void DemuxSeek(REFERENCE_TIME start) = 0;
  // Reads and delivers packets until the data ends, a delivery fails or a
  // thread command is pending (CheckRequest). Called again while it returns
  // false.
  virtual bool DemuxLoop() = 0;

  void DeliverBeginFlush();
  // Ends the demux thread. A splitter calls it first in its destructor, so
  // that the thread is gone before the file it reads through.
  void StopDemuxThread();
  void DeliverEndFlush();

  DWORD ThreadProc() override;

  // What a splitter sets and reads. Times written on the demux thread and
  // read by the control thread are atomic.
  std::atomic<LONGLONG> m_nOpenProgress{100};
  std::atomic<bool> m_fAbort{false};
  REFERENCE_TIME m_rtDuration = 0;
  std::atomic<REFERENCE_TIME> m_rtStart{0}, m_rtStop{0};
  std::atomic<REFERENCE_TIME> m_rtCurrent{0};
  std::atomic<REFERENCE_TIME> m_rtNewStart{0}, m_rtNewStop{0};
  std::atomic<double> m_dRate{1.0};
  CFontInstaller m_fontinst;
  std::wstring m_fn;
  std::unique_ptr<CBaseSplitterInputPin> m_pInput;

  std::vector<std::unique_ptr<CBaseSplitterOutputPin>> m_pOutputs;

  // A splitter passed over [from, to) of a damaged source (`toEnd`: nothing
  // after `from` could be read): the log keeps it, and the next packet of
  // every output is marked discontinuous, since any of them may have lost
  // data there.
  void Skipped(LONGLONG from, LONGLONG to, bool toEnd = false);
  // The resync step of the splitter's file tells its damage here.
  void TellDamageOf(CBaseSplitterFile& file);
  // A time or value the splitter mended (a sentence without its count);
  // the log gives it once with its count in `units`.
  void Mended(const std::string& what, const char* units, UINT64 count = 1) { m_damage.Mended(what, units, count); }

  // The shared time line every packet goes through. A format that knows
  // more of its streams' ends supplies its own (told to `log`).
  virtual std::unique_ptr<CStreamTimeline> CreateTimeline(CDamageLog* log);
  CStreamTimeline& Timeline();
  // A new run of the time line from the file's position, with the streams
  // delivered: `offset` is taken from every time, `length` is the source's
  // stated length from there (0 when unknown). The base restarts it before
  // each demux loop with no offset; a format whose times have one restarts
  // it again.
  void RestartTimeline(REFERENCE_TIME offset, REFERENCE_TIME length);

  enum : DWORD { CMD_EXIT = 0, CMD_SEEK = 1 };

 private:
  friend class CBaseSplitterInputPin;

  HRESULT OpenReader(IAsyncReader* reader);
  void SetDeliveryPriority(int priority);
  // When the stream cannot be read: end every connected output and report
  // the failure, so a conversion does not wait for ever.
  void EndOnStartupFailure();
  // After a demux cycle: a source whose damage ran to its end and lost
  // more than its last second fails the run, so the job is not taken for
  // whole.
  void CheckUnreadableTail();

  // Guards the pin table (m_pOutputs) and the track map.
  CCritSec m_csPinMap;
  std::map<DWORD, CBaseSplitterOutputPin*> m_pPinMap;
  CCritSec m_csmtnew;
  std::map<DWORD, CMediaType> m_mtnew;
  // Removed outputs stay alive with the filter: the graph's walkers may
  // still hold a pointer to them.
  std::vector<std::unique_ptr<CBaseSplitterOutputPin>> m_pRetiredOutputs;
  CComPtr<ISyncReader> m_pSyncReader;
  // The reader this filter opened for itself in Load.
  CComPtr<IAsyncReader> m_pFileReader;

  // Demux-thread state.
  std::vector<DWORD> m_bDiscontinuitySent;
  std::vector<CBaseSplitterOutputPin*> m_pActivePins;
  // Every connected stream, delivered or not: the time line sees them all,
  // so that a stream the job does not take (the sound of a picture series)
  // still shows that the source goes on through another stream's gap.
  std::vector<CBaseSplitterOutputPin*> m_pTimedPins;

  CAMEvent m_eEndFlush;  // auto-reset
  std::atomic<bool> m_fFlushing{false};
  std::atomic<int> m_priority{0};
  // The demux thread's wait for room, and what was taken since it began.
  CAMEvent m_eRoom;  // auto-reset
  std::atomic<bool> m_bWaitingForRoom{false};
  std::atomic<int64_t> m_nTakenBytes{0};
  std::atomic<int64_t> m_nTakenPackets{0};

  REFERENCE_TIME m_rtLastStart = INVALID_TIME, m_rtLastStop = INVALID_TIME;
  // What the splitter skipped or mended in a damaged source; emptied with
  // the outputs.
  CDamageLog m_damage;
  // The time line and what it has handed on (kept, so that a packet costs
  // no list of its own).
  std::unique_ptr<CStreamTimeline> m_pTimeline;
  CStreamTimeline::Ready m_ready;
  HRESULT QueueReady();
  // A packet the time line handed on, to its track's pin.
  HRESULT Queue(std::unique_ptr<Packet> p);
  // Set by a skip; the next packet of every track is then discontinuous.
  std::atomic<bool> m_bSkipped{false};
  // Set with the failure text once the damage has failed the run.
  mutable std::mutex m_damageFailureLock;
  std::string m_damageFailure;
  std::vector<void*> m_LastSeekers;
};
