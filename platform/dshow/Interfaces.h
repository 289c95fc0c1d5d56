// Interfaces of the media-streaming layer, their methods in the platform's
// order (filters and pins written against the platform's tables keep their
// meaning), each with its interface id.
#pragma once

#include "platform/com/Dispatch.h"
#include "platform/com/Persist.h"
#include "platform/com/Unknown.h"
#include "platform/dshow/Structs.h"

struct IMoniker;
struct IEnumMoniker;
struct IBindCtx;

struct IBaseFilter;
struct IEnumFilters;
struct IEnumMediaTypes;
struct IEnumPins;
struct IFilterGraph;
struct IGraphBuilder;
struct IMemAllocator;
struct IMediaSample;
struct IPin;
struct IPinConnection;
struct IReferenceClock;

#define PELLOMAR_INTERFACE_END(iface) \
 protected:                           \
  ~iface() = default

// ---------------------------------------------------------------------------
// Clock

struct IReferenceClock : IUnknown {
  STDMETHOD(GetTime)(REFERENCE_TIME* time) = 0;
  STDMETHOD(AdviseTime)(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event, DWORD_PTR* cookie) = 0;
  STDMETHOD(AdvisePeriodic)(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE semaphore,
                            DWORD_PTR* cookie) = 0;
  STDMETHOD(Unadvise)(DWORD_PTR cookie) = 0;
  PELLOMAR_INTERFACE_END(IReferenceClock);
};
PELLOMAR_INTERFACE_ID(IReferenceClock, "56A86897-0AD4-11CE-B03A-0020AF0BA770");

// ---------------------------------------------------------------------------
// Filters and pins

struct IMediaFilter : IPersist {
  STDMETHOD(Stop)() = 0;
  STDMETHOD(Pause)() = 0;
  STDMETHOD(Run)(REFERENCE_TIME start) = 0;
  STDMETHOD(GetState)(DWORD msTimeout, FILTER_STATE* state) = 0;
  STDMETHOD(SetSyncSource)(IReferenceClock* clock) = 0;
  STDMETHOD(GetSyncSource)(IReferenceClock** clock) = 0;
  PELLOMAR_INTERFACE_END(IMediaFilter);
};
PELLOMAR_INTERFACE_ID(IMediaFilter, "56A86899-0AD4-11CE-B03A-0020AF0BA770");

struct IBaseFilter : IMediaFilter {
  STDMETHOD(EnumPins)(IEnumPins** ppEnum) = 0;
  STDMETHOD(FindPin)(LPCWSTR id, IPin** ppPin) = 0;
  STDMETHOD(QueryFilterInfo)(FILTER_INFO* info) = 0;
  STDMETHOD(JoinFilterGraph)(IFilterGraph* graph, LPCWSTR name) = 0;
  STDMETHOD(QueryVendorInfo)(LPWSTR* vendorInfo) = 0;
  PELLOMAR_INTERFACE_END(IBaseFilter);
};
PELLOMAR_INTERFACE_ID(IBaseFilter, "56A86895-0AD4-11CE-B03A-0020AF0BA770");

struct IPin : IUnknown {
  STDMETHOD(Connect)(IPin* receivePin, const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(ReceiveConnection)(IPin* connector, const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(Disconnect)() = 0;
  STDMETHOD(ConnectedTo)(IPin** pin) = 0;
  STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(QueryPinInfo)(PIN_INFO* info) = 0;
  STDMETHOD(QueryDirection)(PIN_DIRECTION* dir) = 0;
  STDMETHOD(QueryId)(LPWSTR* id) = 0;
  STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) = 0;
  STDMETHOD(QueryInternalConnections)(IPin** pins, ULONG* count) = 0;
  STDMETHOD(EndOfStream)() = 0;
  STDMETHOD(BeginFlush)() = 0;
  STDMETHOD(EndFlush)() = 0;
  STDMETHOD(NewSegment)(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;
  PELLOMAR_INTERFACE_END(IPin);
};
PELLOMAR_INTERFACE_ID(IPin, "56A86891-0AD4-11CE-B03A-0020AF0BA770");

struct IEnumPins : IUnknown {
  STDMETHOD(Next)(ULONG count, IPin** pins, ULONG* fetched) = 0;
  STDMETHOD(Skip)(ULONG count) = 0;
  STDMETHOD(Reset)() = 0;
  STDMETHOD(Clone)(IEnumPins** ppEnum) = 0;
  PELLOMAR_INTERFACE_END(IEnumPins);
};
PELLOMAR_INTERFACE_ID(IEnumPins, "56A86892-0AD4-11CE-B03A-0020AF0BA770");

struct IEnumMediaTypes : IUnknown {
  STDMETHOD(Next)(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
  STDMETHOD(Skip)(ULONG count) = 0;
  STDMETHOD(Reset)() = 0;
  STDMETHOD(Clone)(IEnumMediaTypes** ppEnum) = 0;
  PELLOMAR_INTERFACE_END(IEnumMediaTypes);
};
PELLOMAR_INTERFACE_ID(IEnumMediaTypes, "89C31040-846B-11CE-97D3-00AA0055595A");

struct IEnumFilters : IUnknown {
  STDMETHOD(Next)(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
  STDMETHOD(Skip)(ULONG count) = 0;
  STDMETHOD(Reset)() = 0;
  STDMETHOD(Clone)(IEnumFilters** ppEnum) = 0;
  PELLOMAR_INTERFACE_END(IEnumFilters);
};
PELLOMAR_INTERFACE_ID(IEnumFilters, "56A86893-0AD4-11CE-B03A-0020AF0BA770");

// ---------------------------------------------------------------------------
// Samples, allocators and the push transport

struct IMediaSample : IUnknown {
  STDMETHOD(GetPointer)(BYTE** buffer) = 0;
  STDMETHOD_(LONG, GetSize)() = 0;
  STDMETHOD(GetTime)(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
  STDMETHOD(SetTime)(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
  STDMETHOD(IsSyncPoint)() = 0;
  STDMETHOD(SetSyncPoint)(BOOL syncPoint) = 0;
  STDMETHOD(IsPreroll)() = 0;
  STDMETHOD(SetPreroll)(BOOL preroll) = 0;
  STDMETHOD_(LONG, GetActualDataLength)() = 0;
  STDMETHOD(SetActualDataLength)(LONG length) = 0;
  STDMETHOD(GetMediaType)(AM_MEDIA_TYPE** ppmt) = 0;
  STDMETHOD(SetMediaType)(AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(IsDiscontinuity)() = 0;
  STDMETHOD(SetDiscontinuity)(BOOL discontinuity) = 0;
  STDMETHOD(GetMediaTime)(LONGLONG* start, LONGLONG* end) = 0;
  STDMETHOD(SetMediaTime)(LONGLONG* start, LONGLONG* end) = 0;
  PELLOMAR_INTERFACE_END(IMediaSample);
};
PELLOMAR_INTERFACE_ID(IMediaSample, "56A8689A-0AD4-11CE-B03A-0020AF0BA770");

struct IMediaSample2 : IMediaSample {
  STDMETHOD(GetProperties)(DWORD cbProperties, BYTE* properties) = 0;
  STDMETHOD(SetProperties)(DWORD cbProperties, const BYTE* properties) = 0;
  PELLOMAR_INTERFACE_END(IMediaSample2);
};
PELLOMAR_INTERFACE_ID(IMediaSample2, "36B73884-C2C8-11CF-8B46-00805F6CEF60");

struct IMemAllocator : IUnknown {
  STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) = 0;
  STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* props) = 0;
  STDMETHOD(Commit)() = 0;
  STDMETHOD(Decommit)() = 0;
  STDMETHOD(GetBuffer)(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) = 0;
  STDMETHOD(ReleaseBuffer)(IMediaSample* sample) = 0;
  PELLOMAR_INTERFACE_END(IMemAllocator);
};
PELLOMAR_INTERFACE_ID(IMemAllocator, "56A8689C-0AD4-11CE-B03A-0020AF0BA770");

struct IMemInputPin : IUnknown {
  STDMETHOD(GetAllocator)(IMemAllocator** allocator) = 0;
  STDMETHOD(NotifyAllocator)(IMemAllocator* allocator, BOOL readOnly) = 0;
  STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* props) = 0;
  STDMETHOD(Receive)(IMediaSample* sample) = 0;
  STDMETHOD(ReceiveMultiple)(IMediaSample** samples, LONG count, LONG* processed) = 0;
  STDMETHOD(ReceiveCanBlock)() = 0;
  PELLOMAR_INTERFACE_END(IMemInputPin);
};
PELLOMAR_INTERFACE_ID(IMemInputPin, "56A8689D-0AD4-11CE-B03A-0020AF0BA770");

// The pull transport: a downstream parser reads its upstream byte stream.
struct IAsyncReader : IUnknown {
  STDMETHOD(RequestAllocator)(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props, IMemAllocator** actual) = 0;
  STDMETHOD(Request)(IMediaSample* sample, DWORD_PTR user) = 0;
  STDMETHOD(WaitForNext)(DWORD msTimeout, IMediaSample** sample, DWORD_PTR* user) = 0;
  STDMETHOD(SyncReadAligned)(IMediaSample* sample) = 0;
  STDMETHOD(SyncRead)(LONGLONG position, LONG length, BYTE* buffer) = 0;
  STDMETHOD(Length)(LONGLONG* total, LONGLONG* available) = 0;
  STDMETHOD(BeginFlush)() = 0;
  STDMETHOD(EndFlush)() = 0;
  PELLOMAR_INTERFACE_END(IAsyncReader);
};
PELLOMAR_INTERFACE_ID(IAsyncReader, "56A868AA-0AD4-11CE-B03A-0020AF0BA770");

// ---------------------------------------------------------------------------
// Files

struct IFileSourceFilter : IUnknown {
  STDMETHOD(Load)(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(GetCurFile)(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) = 0;
  PELLOMAR_INTERFACE_END(IFileSourceFilter);
};
PELLOMAR_INTERFACE_ID(IFileSourceFilter, "56A868A6-0AD4-11CE-B03A-0020AF0BA770");

struct IFileSinkFilter : IUnknown {
  STDMETHOD(SetFileName)(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(GetCurFile)(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) = 0;
  PELLOMAR_INTERFACE_END(IFileSinkFilter);
};
PELLOMAR_INTERFACE_ID(IFileSinkFilter, "A2104830-7C70-11CF-8BCE-00AA00A3F1A6");

struct IFileSinkFilter2 : IFileSinkFilter {
  STDMETHOD(SetMode)(DWORD flags) = 0;
  STDMETHOD(GetMode)(DWORD* flags) = 0;
  PELLOMAR_INTERFACE_END(IFileSinkFilter2);
};
PELLOMAR_INTERFACE_ID(IFileSinkFilter2, "00855B90-CE1B-11D0-BD4F-00A0C911CE86");

// ---------------------------------------------------------------------------
// Seeking

struct IMediaSeeking : IUnknown {
  STDMETHOD(GetCapabilities)(DWORD* capabilities) = 0;
  STDMETHOD(CheckCapabilities)(DWORD* capabilities) = 0;
  STDMETHOD(IsFormatSupported)(const GUID* format) = 0;
  STDMETHOD(QueryPreferredFormat)(GUID* format) = 0;
  STDMETHOD(GetTimeFormat)(GUID* format) = 0;
  STDMETHOD(IsUsingTimeFormat)(const GUID* format) = 0;
  STDMETHOD(SetTimeFormat)(const GUID* format) = 0;
  STDMETHOD(GetDuration)(LONGLONG* duration) = 0;
  STDMETHOD(GetStopPosition)(LONGLONG* stop) = 0;
  STDMETHOD(GetCurrentPosition)(LONGLONG* current) = 0;
  STDMETHOD(ConvertTimeFormat)(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                               const GUID* sourceFormat) = 0;
  STDMETHOD(SetPositions)(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) = 0;
  STDMETHOD(GetPositions)(LONGLONG* current, LONGLONG* stop) = 0;
  STDMETHOD(GetAvailable)(LONGLONG* earliest, LONGLONG* latest) = 0;
  STDMETHOD(SetRate)(double rate) = 0;
  STDMETHOD(GetRate)(double* rate) = 0;
  STDMETHOD(GetPreroll)(LONGLONG* preroll) = 0;
  PELLOMAR_INTERFACE_END(IMediaSeeking);
};
PELLOMAR_INTERFACE_ID(IMediaSeeking, "36B73880-C2C8-11CF-8B46-00805F6CEF60");

struct IMediaPosition : IDispatch {
  STDMETHOD(get_Duration)(REFTIME* length) = 0;
  STDMETHOD(put_CurrentPosition)(REFTIME time) = 0;
  STDMETHOD(get_CurrentPosition)(REFTIME* time) = 0;
  STDMETHOD(get_StopTime)(REFTIME* time) = 0;
  STDMETHOD(put_StopTime)(REFTIME time) = 0;
  STDMETHOD(get_PrerollTime)(REFTIME* time) = 0;
  STDMETHOD(put_PrerollTime)(REFTIME time) = 0;
  STDMETHOD(put_Rate)(double rate) = 0;
  STDMETHOD(get_Rate)(double* rate) = 0;
  STDMETHOD(CanSeekForward)(LONG* canSeek) = 0;
  STDMETHOD(CanSeekBackward)(LONG* canSeek) = 0;
  PELLOMAR_INTERFACE_END(IMediaPosition);
};
PELLOMAR_INTERFACE_ID(IMediaPosition, "56A868B2-0AD4-11CE-B03A-0020AF0BA770");

struct IAMExtendedSeeking : IDispatch {
  STDMETHOD(get_ExSeekCapabilities)(LONG* capabilities) = 0;
  STDMETHOD(get_MarkerCount)(LONG* count) = 0;
  STDMETHOD(get_CurrentMarker)(LONG* marker) = 0;
  STDMETHOD(GetMarkerTime)(LONG marker, double* time) = 0;
  STDMETHOD(GetMarkerName)(LONG marker, BSTR* name) = 0;
  STDMETHOD(put_PlaybackSpeed)(double speed) = 0;
  STDMETHOD(get_PlaybackSpeed)(double* speed) = 0;
  PELLOMAR_INTERFACE_END(IAMExtendedSeeking);
};
PELLOMAR_INTERFACE_ID(IAMExtendedSeeking, "FA2AA8F9-8B62-11D0-A520-000000000000");

// ---------------------------------------------------------------------------
// Graph control and events

struct IMediaControl : IDispatch {
  STDMETHOD(Run)() = 0;
  STDMETHOD(Pause)() = 0;
  STDMETHOD(Stop)() = 0;
  STDMETHOD(GetState)(LONG msTimeout, OAFilterState* state) = 0;
  STDMETHOD(RenderFile)(BSTR fileName) = 0;
  STDMETHOD(AddSourceFilter)(BSTR fileName, IDispatch** ppUnk) = 0;
  STDMETHOD(get_FilterCollection)(IDispatch** ppUnk) = 0;
  STDMETHOD(get_RegFilterCollection)(IDispatch** ppUnk) = 0;
  STDMETHOD(StopWhenReady)() = 0;
  PELLOMAR_INTERFACE_END(IMediaControl);
};
PELLOMAR_INTERFACE_ID(IMediaControl, "56A868B1-0AD4-11CE-B03A-0020AF0BA770");

struct IMediaEvent : IDispatch {
  STDMETHOD(GetEventHandle)(OAEVENT* event) = 0;
  STDMETHOD(GetEvent)(long* eventCode, LONG_PTR* param1, LONG_PTR* param2, long msTimeout) = 0;
  STDMETHOD(WaitForCompletion)(long msTimeout, long* eventCode) = 0;
  STDMETHOD(CancelDefaultHandling)(long eventCode) = 0;
  STDMETHOD(RestoreDefaultHandling)(long eventCode) = 0;
  STDMETHOD(FreeEventParams)(long eventCode, LONG_PTR param1, LONG_PTR param2) = 0;
  PELLOMAR_INTERFACE_END(IMediaEvent);
};
PELLOMAR_INTERFACE_ID(IMediaEvent, "56A868B6-0AD4-11CE-B03A-0020AF0BA770");

struct IMediaEventEx : IMediaEvent {
  STDMETHOD(SetNotifyWindow)(OAHWND hwnd, long message, LONG_PTR instanceData) = 0;
  STDMETHOD(SetNotifyFlags)(long flags) = 0;
  STDMETHOD(GetNotifyFlags)(long* flags) = 0;
  PELLOMAR_INTERFACE_END(IMediaEventEx);
};
PELLOMAR_INTERFACE_ID(IMediaEventEx, "56A868C0-0AD4-11CE-B03A-0020AF0BA770");

// The graph's face towards its filters: where their events go.
struct IMediaEventSink : IUnknown {
  STDMETHOD(Notify)(LONG eventCode, LONG_PTR param1, LONG_PTR param2) = 0;
  PELLOMAR_INTERFACE_END(IMediaEventSink);
};
PELLOMAR_INTERFACE_ID(IMediaEventSink, "56A868A2-0AD4-11CE-B03A-0020AF0BA770");

// ---------------------------------------------------------------------------
// Graph building

struct IFilterGraph : IUnknown {
  STDMETHOD(AddFilter)(IBaseFilter* filter, LPCWSTR name) = 0;
  STDMETHOD(RemoveFilter)(IBaseFilter* filter) = 0;
  STDMETHOD(EnumFilters)(IEnumFilters** ppEnum) = 0;
  STDMETHOD(FindFilterByName)(LPCWSTR name, IBaseFilter** filter) = 0;
  STDMETHOD(ConnectDirect)(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(Reconnect)(IPin* pin) = 0;
  STDMETHOD(Disconnect)(IPin* pin) = 0;
  STDMETHOD(SetDefaultSyncSource)() = 0;
  PELLOMAR_INTERFACE_END(IFilterGraph);
};
PELLOMAR_INTERFACE_ID(IFilterGraph, "56A8689F-0AD4-11CE-B03A-0020AF0BA770");

struct IGraphBuilder : IFilterGraph {
  STDMETHOD(Connect)(IPin* out, IPin* in) = 0;
  STDMETHOD(Render)(IPin* out) = 0;
  STDMETHOD(RenderFile)(LPCWSTR file, LPCWSTR playList) = 0;
  STDMETHOD(AddSourceFilter)(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter) = 0;
  STDMETHOD(SetLogFile)(DWORD_PTR file) = 0;
  STDMETHOD(Abort)() = 0;
  STDMETHOD(ShouldOperationContinue)() = 0;
  PELLOMAR_INTERFACE_END(IGraphBuilder);
};
PELLOMAR_INTERFACE_ID(IGraphBuilder, "56A868A9-0AD4-11CE-B03A-0020AF0BA770");

struct IFilterGraph2 : IGraphBuilder {
  STDMETHOD(AddSourceFilterForMoniker)(IMoniker* moniker, IBindCtx* ctx, LPCWSTR filterName,
                                       IBaseFilter** filter) = 0;
  STDMETHOD(ReconnectEx)(IPin* pin, const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(RenderEx)(IPin* out, DWORD flags, DWORD* context) = 0;
  PELLOMAR_INTERFACE_END(IFilterGraph2);
};
PELLOMAR_INTERFACE_ID(IFilterGraph2, "36B73882-C2C8-11CF-8B46-00805F6CEF60");

// A filter's own way of rendering or connecting one of its pins.
struct IStreamBuilder : IUnknown {
  STDMETHOD(Render)(IPin* out, IGraphBuilder* graph) = 0;
  STDMETHOD(Backout)(IPin* out, IGraphBuilder* graph) = 0;
  PELLOMAR_INTERFACE_END(IStreamBuilder);
};
PELLOMAR_INTERFACE_ID(IStreamBuilder, "56A868BF-0AD4-11CE-B03A-0020AF0BA770");

struct IGraphConfigCallback : IUnknown {
  STDMETHOD(Reconfigure)(PVOID context, DWORD flags) = 0;
  PELLOMAR_INTERFACE_END(IGraphConfigCallback);
};
PELLOMAR_INTERFACE_ID(IGraphConfigCallback, "ADE0FD60-D19D-11D2-ABF6-00A0C905F375");

struct IPinConnection : IUnknown {
  STDMETHOD(DynamicQueryAccept)(const AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(NotifyEndOfStream)(HANDLE notifyEvent) = 0;
  STDMETHOD(IsEndPin)() = 0;
  STDMETHOD(DynamicDisconnect)() = 0;
  PELLOMAR_INTERFACE_END(IPinConnection);
};
PELLOMAR_INTERFACE_ID(IPinConnection, "4A9A62D3-27D4-403D-91E9-89F540E55833");

struct IGraphConfig : IUnknown {
  STDMETHOD(Reconnect)(IPin* out, IPin* in, const AM_MEDIA_TYPE* firstType, IBaseFilter* usingFilter,
                       HANDLE abortEvent, DWORD flags) = 0;
  STDMETHOD(Reconfigure)(IGraphConfigCallback* callback, PVOID context, DWORD flags, HANDLE abortEvent) = 0;
  STDMETHOD(AddFilterToCache)(IBaseFilter* filter) = 0;
  STDMETHOD(EnumCacheFilter)(IEnumFilters** ppEnum) = 0;
  STDMETHOD(RemoveFilterFromCache)(IBaseFilter* filter) = 0;
  STDMETHOD(GetStartTime)(REFERENCE_TIME* start) = 0;
  STDMETHOD(PushThroughData)(IPin* out, IPinConnection* connection, HANDLE abortEvent) = 0;
  STDMETHOD(SetFilterFlags)(IBaseFilter* filter, DWORD flags) = 0;
  STDMETHOD(GetFilterFlags)(IBaseFilter* filter, DWORD* flags) = 0;
  STDMETHOD(RemoveFilterEx)(IBaseFilter* filter, DWORD flags) = 0;
  PELLOMAR_INTERFACE_END(IGraphConfig);
};
PELLOMAR_INTERFACE_ID(IGraphConfig, "03A1EB8E-32BF-4245-8502-114D08A9CB88");

// ---------------------------------------------------------------------------
// Filter registration and lookup

struct IFilterMapper2 : IUnknown {
  STDMETHOD(CreateCategory)(REFCLSID category, DWORD merit, LPCWSTR description) = 0;
  STDMETHOD(UnregisterFilter)(const CLSID* category, LPCOLESTR instance, REFCLSID filter) = 0;
  STDMETHOD(RegisterFilter)(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                            LPCOLESTR instance, const REGFILTER2* rf2) = 0;
  STDMETHOD(EnumMatchingFilters)(IEnumMoniker** ppEnum, DWORD flags, BOOL exactMatch, DWORD merit,
                                 BOOL inputNeeded, DWORD inputTypeCount, const GUID* inputTypes,
                                 const REGPINMEDIUM* mediumIn, const CLSID* pinCategoryIn, BOOL render,
                                 BOOL outputNeeded, DWORD outputTypeCount, const GUID* outputTypes,
                                 const REGPINMEDIUM* mediumOut, const CLSID* pinCategoryOut) = 0;
  PELLOMAR_INTERFACE_END(IFilterMapper2);
};
PELLOMAR_INTERFACE_ID(IFilterMapper2, "B79BB0B0-33C1-11D1-ABE1-00A0C905F375");

struct IAMFilterData : IUnknown {
  STDMETHOD(ParseFilterData)(BYTE* filterData, ULONG cb, BYTE** regFilter2) = 0;
  STDMETHOD(CreateFilterData)(REGFILTER2* rf2, BYTE** filterData, ULONG* cb) = 0;
  PELLOMAR_INTERFACE_END(IAMFilterData);
};
PELLOMAR_INTERFACE_ID(IAMFilterData, "97F7C4D4-547B-4A5F-8332-536430AD2E4D");

struct ICreateDevEnum : IUnknown {
  STDMETHOD(CreateClassEnumerator)(REFCLSID category, IEnumMoniker** ppEnum, DWORD flags) = 0;
  PELLOMAR_INTERFACE_END(ICreateDevEnum);
};
PELLOMAR_INTERFACE_ID(ICreateDevEnum, "29840822-5B84-11D0-BD3B-00A0C911CE86");

// ---------------------------------------------------------------------------
// Filter and pin extras

struct IQualityControl : IUnknown {
  STDMETHOD(Notify)(IBaseFilter* self, Quality q) = 0;
  STDMETHOD(SetSink)(IQualityControl* sink) = 0;
  PELLOMAR_INTERFACE_END(IQualityControl);
};
PELLOMAR_INTERFACE_ID(IQualityControl, "56A868A5-0AD4-11CE-B03A-0020AF0BA770");

struct IAMFilterMiscFlags : IUnknown {
  STDMETHOD_(ULONG, GetMiscFlags)() = 0;
  PELLOMAR_INTERFACE_END(IAMFilterMiscFlags);
};
PELLOMAR_INTERFACE_ID(IAMFilterMiscFlags, "2DD74950-A890-11D1-ABE8-00A0C905F375");

// A video renderer's playback statistics.
struct IQualProp : IUnknown {
  STDMETHOD(get_FramesDroppedInRenderer)(int* frames) = 0;
  STDMETHOD(get_FramesDrawn)(int* frames) = 0;
  STDMETHOD(get_AvgFrameRate)(int* rate) = 0;
  STDMETHOD(get_Jitter)(int* jitter) = 0;
  STDMETHOD(get_AvgSyncOffset)(int* offset) = 0;
  STDMETHOD(get_DevSyncOffset)(int* deviation) = 0;
  PELLOMAR_INTERFACE_END(IQualProp);
};
PELLOMAR_INTERFACE_ID(IQualProp, "1BD0ECB0-F8E2-11CE-AAC6-0020AF0B99A3");

struct IAMOpenProgress : IUnknown {
  STDMETHOD(QueryProgress)(LONGLONG* total, LONGLONG* current) = 0;
  STDMETHOD(AbortOperation)() = 0;
  PELLOMAR_INTERFACE_END(IAMOpenProgress);
};
PELLOMAR_INTERFACE_ID(IAMOpenProgress, "8E1C39A1-DE53-11CF-AA63-0080C744528D");

struct IAMMediaContent : IDispatch {
  STDMETHOD(get_AuthorName)(BSTR* value) = 0;
  STDMETHOD(get_Title)(BSTR* value) = 0;
  STDMETHOD(get_Rating)(BSTR* value) = 0;
  STDMETHOD(get_Description)(BSTR* value) = 0;
  STDMETHOD(get_Copyright)(BSTR* value) = 0;
  STDMETHOD(get_BaseURL)(BSTR* value) = 0;
  STDMETHOD(get_LogoURL)(BSTR* value) = 0;
  STDMETHOD(get_LogoIconURL)(BSTR* value) = 0;
  STDMETHOD(get_WatermarkURL)(BSTR* value) = 0;
  STDMETHOD(get_MoreInfoURL)(BSTR* value) = 0;
  STDMETHOD(get_MoreInfoBannerImage)(BSTR* value) = 0;
  STDMETHOD(get_MoreInfoBannerURL)(BSTR* value) = 0;
  STDMETHOD(get_MoreInfoText)(BSTR* value) = 0;
  PELLOMAR_INTERFACE_END(IAMMediaContent);
};
PELLOMAR_INTERFACE_ID(IAMMediaContent, "FA2AA8F4-8B62-11D0-A520-000000000000");

struct IAMStreamSelect : IUnknown {
  STDMETHOD(Count)(DWORD* count) = 0;
  STDMETHOD(Info)(LONG index, AM_MEDIA_TYPE** ppmt, DWORD* flags, LCID* lcid, DWORD* group, WCHAR** name,
                  IUnknown** object, IUnknown** unk) = 0;
  STDMETHOD(Enable)(LONG index, DWORD flags) = 0;
  PELLOMAR_INTERFACE_END(IAMStreamSelect);
};
PELLOMAR_INTERFACE_ID(IAMStreamSelect, "C1960960-17F5-11D1-ABE1-00A0C905F375");

struct IBasicAudio : IDispatch {
  STDMETHOD(put_Volume)(LONG volume) = 0;
  STDMETHOD(get_Volume)(LONG* volume) = 0;
  STDMETHOD(put_Balance)(LONG balance) = 0;
  STDMETHOD(get_Balance)(LONG* balance) = 0;
  PELLOMAR_INTERFACE_END(IBasicAudio);
};
PELLOMAR_INTERFACE_ID(IBasicAudio, "56A868B3-0AD4-11CE-B03A-0020AF0BA770");

struct IKsPropertySet : IUnknown {
  STDMETHOD(Set)(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData, LPVOID propData,
                 DWORD cbPropData) = 0;
  STDMETHOD(Get)(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData, LPVOID propData,
                 DWORD cbPropData, DWORD* cbReturned) = 0;
  STDMETHOD(QuerySupported)(REFGUID propSet, DWORD id, DWORD* typeSupport) = 0;
  PELLOMAR_INTERFACE_END(IKsPropertySet);
};
PELLOMAR_INTERFACE_ID(IKsPropertySet, "31EFAC30-515C-11D0-A9AA-00AA0061BE93");

// Aspect-ratio control of the overlay mixer's and the mixing renderer's
// pins; declared so that a graph builder can ask for them.
struct COLORKEY;
struct IMixerPinConfig : IUnknown {
  STDMETHOD(SetRelativePosition)(DWORD left, DWORD top, DWORD right, DWORD bottom) = 0;
  STDMETHOD(GetRelativePosition)(DWORD* left, DWORD* top, DWORD* right, DWORD* bottom) = 0;
  STDMETHOD(SetZOrder)(DWORD zOrder) = 0;
  STDMETHOD(GetZOrder)(DWORD* zOrder) = 0;
  STDMETHOD(SetColorKey)(COLORKEY* colorKey) = 0;
  STDMETHOD(GetColorKey)(COLORKEY* colorKey, DWORD* color) = 0;
  STDMETHOD(SetBlendingParameter)(DWORD blending) = 0;
  STDMETHOD(GetBlendingParameter)(DWORD* blending) = 0;
  STDMETHOD(SetAspectRatioMode)(AM_ASPECT_RATIO_MODE mode) = 0;
  STDMETHOD(GetAspectRatioMode)(AM_ASPECT_RATIO_MODE* mode) = 0;
  STDMETHOD(SetStreamTransparent)(BOOL transparent) = 0;
  STDMETHOD(GetStreamTransparent)(BOOL* transparent) = 0;
  PELLOMAR_INTERFACE_END(IMixerPinConfig);
};
PELLOMAR_INTERFACE_ID(IMixerPinConfig, "593CDDE1-0759-11D1-9E69-00C04FD7C15B");

struct IVMRAspectRatioControl : IUnknown {
  STDMETHOD(GetAspectRatioMode)(LPDWORD mode) = 0;
  STDMETHOD(SetAspectRatioMode)(DWORD mode) = 0;
  PELLOMAR_INTERFACE_END(IVMRAspectRatioControl);
};
PELLOMAR_INTERFACE_ID(IVMRAspectRatioControl, "EDE80B5C-BAD6-4623-B537-65586C9F8DFD");

#undef PELLOMAR_INTERFACE_END
