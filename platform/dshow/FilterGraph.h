// The filter graph (CLSID_FilterGraph): holds filters, connects their pins
// directly, changes their state together, carries their events to the
// application and seeks them as one. Choosing filters (intelligent connect)
// is the system's graph manager's work; Connect, Render and RenderFile here
// only connect to filters already in the graph. Rules in docs/platform.md,
// section "Filter graph".
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/com/ComPtr.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaTimeSeeking.h"

// Posts the graph's notify message to a window. The UI layer installs its
// PostMessage here; the graph calls it once per event queued while a notify
// window is set, from whichever thread queued the event.
using GraphNotifyHook = void (*)(HWND hwnd, UINT msg, LONG_PTR instanceData);
void SetGraphNotifyHook(GraphNotifyHook hook);

// The graph's reference clock when no filter offers one: 100 ns units of
// the monotonic clock. Advise requests are served by a worker thread.
HRESULT CreateSystemClock(IReferenceClock** out);

class CFilterGraph final : public IFilterGraph2,
                           public IMediaControl,
                           public CMediaTimeSeeking,
                           public IMediaEventEx,
                           public IMediaEventSink,
                           public IMediaFilter,
                           public IGraphConfig {
 public:
  // The class table's creator; not aggregatable.
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IFilterGraph
  HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* filter, LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter* filter) override;
  HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
  HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE Reconnect(IPin* pin) override;
  HRESULT STDMETHODCALLTYPE Disconnect(IPin* pin) override;
  HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override;
  // IGraphBuilder
  HRESULT STDMETHODCALLTYPE Connect(IPin* out, IPin* in) override;
  HRESULT STDMETHODCALLTYPE Render(IPin* out) override;
  HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR file, LPCWSTR playList) override;
  HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter) override;
  HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR file) override;
  HRESULT STDMETHODCALLTYPE Abort() override;
  HRESULT STDMETHODCALLTYPE ShouldOperationContinue() override;
  // IFilterGraph2
  HRESULT STDMETHODCALLTYPE AddSourceFilterForMoniker(IMoniker* moniker, IBindCtx* ctx, LPCWSTR filterName,
                                                      IBaseFilter** filter) override;
  HRESULT STDMETHODCALLTYPE ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE RenderEx(IPin* out, DWORD flags, DWORD* context) override;

  // IDispatch (IMediaControl, IMediaEvent): no automation here.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

  // IMediaControl (Pause and Stop also serve IMediaFilter)
  HRESULT STDMETHODCALLTYPE Run() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE GetState(LONG msTimeout, OAFilterState* state) override;
  HRESULT STDMETHODCALLTYPE RenderFile(BSTR fileName) override;
  HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR fileName, IDispatch** ppUnk) override;
  HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch** ppUnk) override;
  HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch** ppUnk) override;
  HRESULT STDMETHODCALLTYPE StopWhenReady() override;

  // IMediaSeeking: media time, over the ends of the graph (its renderers
  // and sinks): what all of them can, the longest duration and stop, the
  // least advanced position.
  HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* capabilities) override;
  HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
  HRESULT STDMETHODCALLTYPE GetStopPosition(LONGLONG* stop) override;
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LONGLONG* current) override;
  HRESULT STDMETHODCALLTYPE ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                              const GUID* sourceFormat) override {
    return ConvertMediaTime(target, targetFormat, source, sourceFormat);
  }
  HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                         DWORD stopFlags) override;
  HRESULT STDMETHODCALLTYPE GetPositions(LONGLONG* current, LONGLONG* stop) override;
  HRESULT STDMETHODCALLTYPE GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
  HRESULT STDMETHODCALLTYPE SetRate(double rate) override;
  HRESULT STDMETHODCALLTYPE GetRate(double* rate) override;
  HRESULT STDMETHODCALLTYPE GetPreroll(LONGLONG* preroll) override;

  // IMediaEvent / IMediaEventEx
  HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT* event) override;
  HRESULT STDMETHODCALLTYPE GetEvent(long* eventCode, LONG_PTR* param1, LONG_PTR* param2, long msTimeout) override;
  HRESULT STDMETHODCALLTYPE WaitForCompletion(long msTimeout, long* eventCode) override;
  HRESULT STDMETHODCALLTYPE CancelDefaultHandling(long eventCode) override;
  HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(long eventCode) override;
  HRESULT STDMETHODCALLTYPE FreeEventParams(long eventCode, LONG_PTR param1, LONG_PTR param2) override;
  HRESULT STDMETHODCALLTYPE SetNotifyWindow(OAHWND hwnd, long message, LONG_PTR instanceData) override;
  HRESULT STDMETHODCALLTYPE SetNotifyFlags(long flags) override;
  HRESULT STDMETHODCALLTYPE GetNotifyFlags(long* flags) override;

  // IMediaEventSink
  HRESULT STDMETHODCALLTYPE Notify(LONG eventCode, LONG_PTR param1, LONG_PTR param2) override;

  // IMediaFilter (IPersist)
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD msTimeout, FILTER_STATE* state) override;
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override;
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;

  // IGraphConfig: only the filter cache is kept.
  HRESULT STDMETHODCALLTYPE Reconnect(IPin* out, IPin* in, const AM_MEDIA_TYPE* firstType, IBaseFilter* usingFilter,
                                      HANDLE abortEvent, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Reconfigure(IGraphConfigCallback* callback, PVOID context, DWORD flags,
                                        HANDLE abortEvent) override;
  HRESULT STDMETHODCALLTYPE AddFilterToCache(IBaseFilter* filter) override;
  HRESULT STDMETHODCALLTYPE EnumCacheFilter(IEnumFilters** ppEnum) override;
  HRESULT STDMETHODCALLTYPE RemoveFilterFromCache(IBaseFilter* filter) override;
  HRESULT STDMETHODCALLTYPE GetStartTime(REFERENCE_TIME* start) override;
  HRESULT STDMETHODCALLTYPE PushThroughData(IPin* out, IPinConnection* connection, HANDLE abortEvent) override;
  HRESULT STDMETHODCALLTYPE SetFilterFlags(IBaseFilter* filter, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE GetFilterFlags(IBaseFilter* filter, DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE RemoveFilterEx(IBaseFilter* filter, DWORD flags) override;

 private:
  struct Entry {
    CComPtr<IBaseFilter> filter;
    std::wstring name;
  };
  struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
  };

  CFilterGraph();
  ~CFilterGraph();

  // Filter list helpers (list lock taken inside).
  std::vector<Entry> Snapshot() const;
  bool Contains(IBaseFilter* filter) const;
  bool PinInGraph(IPin* pin) const;
  std::wstring UniqueName(const std::wstring& wanted, bool& renamed) const;

  // Filters ordered downstream first (sinks before their upstream filters).
  std::vector<CComPtr<IBaseFilter>> StateOrder() const;
  HRESULT ChangeState(FILTER_STATE target);
  void StartCompletionCount();
  std::vector<CComPtr<IMediaSeeking>> SeekingTargets() const;
  void QueueEvent(LONG code, LONG_PTR p1, LONG_PTR p2);
  HRESULT RemoveFilterLocked(IBaseFilter* filter, bool disconnect);

  std::atomic<ULONG> refs_{1};

  // Serialises graph changes and state changes (re-entrant: a pin's
  // connection may call back into the graph on the same thread).
  std::recursive_mutex stateLock_;
  // Guards the filter list only; never held while calling into a filter.
  mutable std::mutex listLock_;
  std::vector<Entry> filters_;
  std::vector<Entry> cache_;

  std::atomic<FILTER_STATE> state_{State_Stopped};
  CComPtr<IReferenceClock> clock_;
  bool clockChosen_ = false;  // set by SetSyncSource; otherwise chosen at start
  REFERENCE_TIME startTime_ = 0;
  REFERENCE_TIME pausedAt_ = 0;
  std::atomic<bool> aborted_{false};

  // Events: filled by streaming threads, read by the application.
  std::mutex eventLock_;
  std::condition_variable eventArrived_;
  std::deque<Event> events_;
  HANDLE eventHandle_ = nullptr;  // manual-reset, set while events_ is not empty
  bool noNotify_ = false;
  bool defaultCompleteHandling_ = true;
  std::set<LONG_PTR> completedSinks_;  // senders of EC_COMPLETE in this run
  size_t anonymousCompletes_ = 0;
  size_t sinkCount_ = 0;
  std::set<LONG_PTR> sinks_;
  bool completeDelivered_ = false;
  bool finished_ = false;  // a completion event reached the queue (WaitForCompletion)
  LONG finishCode_ = 0;

  // The notify window; posting holds this lock, so that once
  // SetNotifyWindow(0) returns no further message is posted.
  std::mutex notifyLock_;
  HWND notifyWindow_ = nullptr;
  UINT notifyMessage_ = 0;
  LONG_PTR notifyData_ = 0;
};
