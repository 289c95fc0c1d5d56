#include "platform/dshow/FilterGraph.h"

#include <chrono>
#include <cwctype>
#include <functional>
#include <map>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/com/Enum.h"
#include "platform/com/Moniker.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Sync.h"
#include "platform/win32/Time.h"

namespace {

// The system's null text renderer never ends a stream, so it is no sink for
// the end-of-stream count.
PELLOMAR_DEFINE_GUID(kNullTextRendererClsid, "655D7613-C26C-4A25-BBBD-3C9C516122CC");

using CEnumFilterList = CInterfaceEnum<IEnumFilters, IBaseFilter>;

std::atomic<GraphNotifyHook> g_notifyHook{nullptr};

constexpr size_t kMaxNameChars = MAX_FILTER_NAME - 1;

struct PinFacts {
  CComPtr<IPin> pin;
  PIN_DIRECTION dir = PINDIR_INPUT;
  CComPtr<IPin> peer;
};

std::vector<PinFacts> PinsOf(IBaseFilter* filter) {
  std::vector<PinFacts> pins;
  CComPtr<IEnumPins> e;
  if (FAILED(filter->EnumPins(&e)) || !e) return pins;
  for (int guard = 0; guard < 4096; ++guard) {
    IPin* raw = nullptr;
    ULONG got = 0;
    if (e->Next(1, &raw, &got) != S_OK || !raw) break;
    PinFacts f;
    f.pin.p = raw;  // adopt the reference Next handed out
    if (FAILED(raw->QueryDirection(&f.dir))) continue;
    if (FAILED(raw->ConnectedTo(&f.peer))) f.peer = nullptr;
    pins.push_back(std::move(f));
  }
  return pins;
}

CComPtr<IBaseFilter> FilterOfPin(IPin* pin) {
  PIN_INFO info{};
  CComPtr<IBaseFilter> filter;
  if (pin && SUCCEEDED(pin->QueryPinInfo(&info))) {
    filter = info.pFilter;
    if (info.pFilter) info.pFilter->Release();
  }
  return filter;
}

void FreeTypeFields(AM_MEDIA_TYPE& mt) {
  if (mt.pbFormat) CoTaskMemFree(mt.pbFormat);
  if (mt.pUnk) mt.pUnk->Release();
  mt.pbFormat = nullptr;
  mt.pUnk = nullptr;
  mt.cbFormat = 0;
}

LONGLONG NowTicks() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

bool IsCompletion(LONG code) { return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT; }

}  // namespace

void SetGraphNotifyHook(GraphNotifyHook hook) { g_notifyHook.store(hook); }

// ---------------------------------------------------------------------------
// Object

HRESULT CFilterGraph::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  CFilterGraph* graph = new (std::nothrow) CFilterGraph();
  if (!graph) return E_OUTOFMEMORY;
  if (!graph->eventHandle_) {
    graph->Release();
    return E_OUTOFMEMORY;
  }
  HRESULT hr = graph->QueryInterface(riid, ppv);
  graph->Release();
  return hr;
}

CFilterGraph::CFilterGraph() { eventHandle_ = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

CFilterGraph::~CFilterGraph() {
  // Filters hold a plain pointer to their graph: stop them and take every
  // one out before the graph goes.
  ChangeState(State_Stopped);
  for (auto& e : Snapshot()) RemoveFilterLocked(e.filter, true);
  std::vector<Entry> cache;
  {
    std::lock_guard lock(listLock_);
    cache.swap(cache_);
  }
  cache.clear();
  clock_ = nullptr;
  if (eventHandle_) CloseHandle(eventHandle_);
}

HRESULT CFilterGraph::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder || riid == IID_IFilterGraph2) {
    *ppv = static_cast<IFilterGraph2*>(this);
  } else if (riid == IID_IMediaControl || riid == IID_IDispatch) {
    *ppv = static_cast<IMediaControl*>(this);
  } else if (riid == IID_IMediaSeeking) {
    *ppv = static_cast<IMediaSeeking*>(this);
  } else if (riid == IID_IMediaEvent || riid == IID_IMediaEventEx) {
    *ppv = static_cast<IMediaEventEx*>(this);
  } else if (riid == IID_IMediaEventSink) {
    *ppv = static_cast<IMediaEventSink*>(this);
  } else if (riid == IID_IMediaFilter || riid == IID_IPersist) {
    *ppv = static_cast<IMediaFilter*>(this);
  } else if (riid == IID_IGraphConfig) {
    *ppv = static_cast<IGraphConfig*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CFilterGraph::AddRef() { return ++refs_; }

ULONG CFilterGraph::Release() {
  ULONG left = --refs_;
  if (left == 0) {
    // Filters stopped during destruction may still take and drop references
    // on the graph; keep the count away from zero so that cannot delete twice.
    refs_ = 1u << 30;
    delete this;
  }
  return left;
}

// ---------------------------------------------------------------------------
// Filter list

std::vector<CFilterGraph::Entry> CFilterGraph::Snapshot() const {
  std::lock_guard lock(listLock_);
  return filters_;
}

bool CFilterGraph::Contains(IBaseFilter* filter) const {
  std::lock_guard lock(listLock_);
  for (const auto& e : filters_)
    if (e.filter.p == filter) return true;
  return false;
}

bool CFilterGraph::PinInGraph(IPin* pin) const {
  CComPtr<IBaseFilter> f = FilterOfPin(pin);
  return f && Contains(f);
}

std::wstring CFilterGraph::UniqueName(const std::wstring& wanted, bool& renamed) const {
  renamed = false;
  std::wstring base = wanted.empty() ? L"Filter" : wanted.substr(0, kMaxNameChars);
  std::lock_guard lock(listLock_);
  auto used = [&](const std::wstring& n) {
    for (const auto& e : filters_)
      if (e.name == n) return true;
    return false;
  };
  if (!used(base)) return base;
  renamed = !wanted.empty();
  for (int n = 1; n <= 9999; ++n) {
    wchar_t suffix[8];
    swprintf(suffix, 8, L" %04d", n);
    std::wstring candidate = base.substr(0, kMaxNameChars - 5) + suffix;
    if (!used(candidate)) return candidate;
  }
  return std::wstring();
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
  if (!filter) return E_POINTER;
  std::lock_guard state(stateLock_);
  if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
  if (Contains(filter)) return E_INVALIDARG;
  bool renamed = false;
  std::wstring unique;
  try {
    unique = UniqueName(name ? name : L"", renamed);
    if (unique.empty()) return VFW_E_DUPLICATE_NAME;
    std::lock_guard lock(listLock_);
    filters_.push_back({filter, unique});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = filter->JoinFilterGraph(static_cast<IFilterGraph*>(this), unique.c_str());
  if (FAILED(hr)) {
    CComPtr<IBaseFilter> keep(filter);
    std::lock_guard lock(listLock_);
    for (auto it = filters_.begin(); it != filters_.end(); ++it)
      if (it->filter.p == filter) {
        filters_.erase(it);
        break;
      }
    return hr;
  }
  if (clock_) filter->SetSyncSource(clock_);
  return renamed ? VFW_S_DUPLICATE_NAME : S_OK;
}

HRESULT CFilterGraph::RemoveFilterLocked(IBaseFilter* filter, bool disconnect) {
  CComPtr<IBaseFilter> keep;
  {
    std::lock_guard lock(listLock_);
    for (auto it = filters_.begin(); it != filters_.end(); ++it) {
      if (it->filter.p == filter) {
        keep = it->filter;
        filters_.erase(it);
        break;
      }
    }
  }
  if (!keep) return VFW_E_NOT_FOUND;
  if (disconnect) {
    for (auto& p : PinsOf(keep)) {
      if (!p.peer) continue;
      p.peer->Disconnect();
      p.pin->Disconnect();
    }
  }
  if (clock_) {
    CComPtr<IReferenceClock> own;
    if (SUCCEEDED(keep->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&own))) && own == clock_) {
      // The clock leaves with its filter; a new one is chosen at the next start.
      clock_ = nullptr;
      clockChosen_ = false;
      for (auto& e : Snapshot()) e.filter->SetSyncSource(nullptr);
    }
  }
  keep->SetSyncSource(nullptr);
  keep->JoinFilterGraph(nullptr, nullptr);
  return S_OK;
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* filter) {
  if (!filter) return E_POINTER;
  std::lock_guard state(stateLock_);
  if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
  return RemoveFilterLocked(filter, true);
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  try {
    CEnumFilterList::Items items;
    for (auto& e : Snapshot()) items.push_back(e.filter);
    return CEnumFilterList::Create(std::move(items), ppEnum);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
  if (!name || !filter) return E_POINTER;
  *filter = nullptr;
  std::lock_guard lock(listLock_);
  for (const auto& e : filters_) {
    if (e.name == name) {
      *filter = e.filter;
      (*filter)->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

// ---------------------------------------------------------------------------
// Connections

HRESULT CFilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) {
  if (!out || !in) return E_POINTER;
  std::lock_guard state(stateLock_);
  if (!PinInGraph(out) || !PinInGraph(in)) return VFW_E_NOT_IN_GRAPH;
  if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
  return out->Connect(in, pmt);
}

HRESULT CFilterGraph::Reconnect(IPin* pin) { return ReconnectEx(pin, nullptr); }

HRESULT CFilterGraph::ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* pmt) {
  if (!pin) return E_POINTER;
  // No state lock: filters call this from inside a connection that the
  // graph is making on the same thread, and only the two pins are touched.
  if (!PinInGraph(pin)) return VFW_E_NOT_IN_GRAPH;
  if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
  CComPtr<IPin> peer;
  if (FAILED(pin->ConnectedTo(&peer)) || !peer) return VFW_E_NOT_CONNECTED;
  PIN_DIRECTION dir;
  if (FAILED(pin->QueryDirection(&dir))) return E_FAIL;
  CComPtr<IPin> out = dir == PINDIR_OUTPUT ? CComPtr<IPin>(pin) : peer;
  CComPtr<IPin> in = dir == PINDIR_OUTPUT ? peer : CComPtr<IPin>(pin);
  AM_MEDIA_TYPE old{};
  bool haveOld = SUCCEEDED(out->ConnectionMediaType(&old));
  out->Disconnect();
  in->Disconnect();
  HRESULT hr = out->Connect(in, pmt);
  if (FAILED(hr) && haveOld) {
    // Put the old connection back so a failed reconnection loses nothing.
    out->Connect(in, &old);
  }
  if (haveOld) FreeTypeFields(old);
  return hr;
}

HRESULT CFilterGraph::Disconnect(IPin* pin) {
  if (!pin) return E_POINTER;
  if (!PinInGraph(pin)) return VFW_E_NOT_IN_GRAPH;
  return pin->Disconnect();
}

HRESULT CFilterGraph::Connect(IPin* out, IPin* in) {
  if (!out) return E_POINTER;
  if (!in) return Render(out);
  return ConnectDirect(out, in, nullptr);
}

HRESULT CFilterGraph::Render(IPin* out) {
  if (!out) return E_POINTER;
  std::lock_guard state(stateLock_);
  if (!PinInGraph(out)) return VFW_E_NOT_IN_GRAPH;
  PIN_DIRECTION dir;
  if (FAILED(out->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
  CComPtr<IPin> peer;
  if (SUCCEEDED(out->ConnectedTo(&peer)) && peer) return VFW_E_ALREADY_CONNECTED;
  CComPtr<IBaseFilter> own = FilterOfPin(out);
  for (auto& e : Snapshot()) {
    if (e.filter == own) continue;
    for (auto& p : PinsOf(e.filter)) {
      if (p.dir != PINDIR_INPUT || p.peer) continue;
      if (SUCCEEDED(ConnectDirect(out, p.pin, nullptr))) return S_OK;
    }
  }
  return VFW_E_CANNOT_RENDER;
}

HRESULT CFilterGraph::RenderEx(IPin* out, DWORD flags, DWORD* context) {
  if (context || (flags & ~AM_RENDEREX_RENDERTOEXISTINGRENDERERS)) return E_INVALIDARG;
  return Render(out);
}

HRESULT CFilterGraph::AddSourceFilter(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter) {
  if (!fileName || !filter) return E_POINTER;
  *filter = nullptr;
  std::lock_guard state(stateLock_);
  SignatureMatch match;
  bool matched = false;
  const std::string path = WideToUtf8(fileName);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      auto read = [fd](LONGLONG offset, DWORD length, BYTE* buffer) {
        return ::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
      };
      matched = FindSignatureMatch(st.st_size, read, match);
    }
    ::close(fd);
  }
  if (!matched) {
    std::wstring name(fileName);
    size_t slash = name.find_last_of(L"/\\");
    size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) {
      std::wstring ext = name.substr(dot);
      for (auto& c : ext) c = static_cast<wchar_t>(std::towlower(c));
      matched = FindExtensionMatch(ext, match);
    }
  }
  const CLSID source = matched ? match.source : CLSID_AsyncReader;
  CComPtr<IBaseFilter> created;
  if (FAILED(CoCreateInstance(source, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              reinterpret_cast<void**>(&created))))
    return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
  CComPtr<IFileSourceFilter> load;
  if (FAILED(created->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&load))))
    return E_NOINTERFACE;
  HRESULT hr = AddFilter(created, filterName ? filterName : fileName);
  if (FAILED(hr)) return hr;
  AM_MEDIA_TYPE mt{};
  mt.majortype = match.major;
  mt.subtype = match.subtype;
  mt.bFixedSizeSamples = TRUE;
  mt.lSampleSize = 1;
  HRESULT loaded = load->Load(fileName, matched ? &mt : nullptr);
  if (FAILED(loaded)) {
    RemoveFilterLocked(created, true);
    return loaded;
  }
  *filter = created;
  (*filter)->AddRef();
  return hr;
}

HRESULT CFilterGraph::RenderFile(LPCWSTR file, LPCWSTR /*playList*/) {
  if (!file) return E_POINTER;
  std::lock_guard state(stateLock_);
  CComPtr<IBaseFilter> source;
  HRESULT hr = AddSourceFilter(file, file, &source);
  if (FAILED(hr)) return hr;
  int outputs = 0, rendered = 0;
  for (auto& p : PinsOf(source)) {
    if (p.dir != PINDIR_OUTPUT || p.peer) continue;
    ++outputs;
    if (SUCCEEDED(Render(p.pin))) ++rendered;
  }
  if (rendered == 0) {
    RemoveFilterLocked(source, true);
    return VFW_E_CANNOT_RENDER;
  }
  return rendered == outputs ? S_OK : VFW_S_PARTIAL_RENDER;
}

HRESULT CFilterGraph::SetLogFile(DWORD_PTR) { return S_OK; }

HRESULT CFilterGraph::Abort() {
  aborted_ = true;
  return S_OK;
}

HRESULT CFilterGraph::ShouldOperationContinue() { return aborted_ ? S_FALSE : S_OK; }

HRESULT CFilterGraph::AddSourceFilterForMoniker(IMoniker* moniker, IBindCtx* ctx, LPCWSTR filterName,
                                                IBaseFilter** filter) {
  if (!moniker || !filter) return E_POINTER;
  *filter = nullptr;
  CComPtr<IBaseFilter> created;
  HRESULT hr = moniker->BindToObject(ctx, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&created));
  if (FAILED(hr)) return hr;
  hr = AddFilter(created, filterName);
  if (FAILED(hr)) return hr;
  *filter = created;
  (*filter)->AddRef();
  return hr;
}

// ---------------------------------------------------------------------------
// IDispatch

HRESULT CFilterGraph::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}
HRESULT CFilterGraph::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT CFilterGraph::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT CFilterGraph::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// State

std::vector<CComPtr<IBaseFilter>> CFilterGraph::StateOrder() const {
  std::vector<Entry> all = Snapshot();
  std::vector<CComPtr<IBaseFilter>> order;
  std::set<IBaseFilter*> visited;
  std::set<IBaseFilter*> members;
  for (auto& e : all) members.insert(e.filter.p);
  // Depth first along the connections of output pins, adding a filter after
  // everything downstream of it.
  std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* f) {
    if (!visited.insert(f).second) return;
    for (auto& p : PinsOf(f)) {
      if (p.dir != PINDIR_OUTPUT || !p.peer) continue;
      CComPtr<IBaseFilter> down = FilterOfPin(p.peer);
      if (down && members.count(down.p)) visit(down.p);
    }
    order.emplace_back(f);
  };
  for (auto& e : all) visit(e.filter.p);
  return order;
}

void CFilterGraph::StartCompletionCount() {
  std::set<LONG_PTR> sinks;
  for (auto& e : Snapshot()) {
    CLSID clsid = GUID_NULL;
    e.filter->GetClassID(&clsid);
    if (clsid == kNullTextRendererClsid) continue;
    bool hasOutput = false, connectedInput = false;
    for (auto& p : PinsOf(e.filter)) {
      if (p.dir == PINDIR_OUTPUT) hasOutput = true;
      if (p.dir == PINDIR_INPUT && p.peer) connectedInput = true;
    }
    if (!hasOutput && connectedInput) sinks.insert(reinterpret_cast<LONG_PTR>(e.filter.p));
  }
  std::lock_guard lock(eventLock_);
  sinks_ = std::move(sinks);
  sinkCount_ = sinks_.size();
  completedSinks_.clear();
  anonymousCompletes_ = 0;
  completeDelivered_ = false;
  finished_ = false;
  finishCode_ = 0;
}

HRESULT CFilterGraph::ChangeState(FILTER_STATE target) {
  std::lock_guard state(stateLock_);
  const FILTER_STATE from = state_;
  if (from == target) return S_OK;
  std::vector<CComPtr<IBaseFilter>> order = StateOrder();
  auto stopAll = [&]() {
    for (auto& f : order) f->Stop();
    state_ = State_Stopped;
  };

  if (target == State_Stopped) {
    // A running graph pauses first, then stops: filters see Run -> Pause ->
    // Stop, as they do on the platform. Every filter is stopped even when
    // one fails either step; the first failure is the answer.
    HRESULT result = S_OK;
    if (from == State_Running) {
      for (auto& f : order) {
        HRESULT hr = f->Pause();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
      }
    }
    for (auto& f : order) {
      HRESULT hr = f->Stop();
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    state_ = State_Stopped;
    return result;
  }

  HRESULT result = S_OK;
  if (from == State_Stopped) {
    if (!clockChosen_) {
      CComPtr<IReferenceClock> chosen;
      for (auto& e : Snapshot())
        if (SUCCEEDED(e.filter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&chosen)))) break;
      if (!chosen) CreateSystemClock(&chosen);
      clock_ = chosen;
      for (auto& e : Snapshot()) e.filter->SetSyncSource(clock_);
    }
    StartCompletionCount();
    aborted_ = false;
  }
  REFERENCE_TIME now = NowTicks();
  if (REFERENCE_TIME t = 0; clock_ && SUCCEEDED(clock_->GetTime(&t))) now = t;

  if (target == State_Paused || from == State_Stopped) {
    for (auto& f : order) {
      HRESULT hr = f->Pause();
      if (FAILED(hr)) {
        stopAll();
        return hr;
      }
      if (hr != S_OK) result = hr;
    }
    if (from == State_Running) pausedAt_ = now;
    state_ = State_Paused;
    if (target == State_Paused) return result;
  }

  // Running: a fresh start begins a little ahead of now; a resume keeps the
  // stream time where the pause left it.
  if (from == State_Stopped) {
    startTime_ = now + 10 * MILLISECONDS;
  } else if (from == State_Paused) {
    startTime_ += now - pausedAt_;
  }
  for (auto& f : order) {
    HRESULT hr = f->Run(startTime_);
    if (FAILED(hr)) {
      stopAll();
      return hr;
    }
    if (hr != S_OK) result = hr;
  }
  state_ = State_Running;
  return result;
}

HRESULT CFilterGraph::Run() { return ChangeState(State_Running); }
HRESULT CFilterGraph::Pause() { return ChangeState(State_Paused); }
HRESULT CFilterGraph::Stop() { return ChangeState(State_Stopped); }
HRESULT CFilterGraph::Run(REFERENCE_TIME) { return ChangeState(State_Running); }

HRESULT CFilterGraph::GetState(DWORD msTimeout, FILTER_STATE* state) {
  if (!state) return E_POINTER;
  HRESULT result = S_OK;
  const ULONGLONG deadline = GetTickCount64() + (msTimeout == INFINITE ? 0 : msTimeout);
  for (auto& e : Snapshot()) {
    DWORD wait = msTimeout;
    if (msTimeout != INFINITE) {
      ULONGLONG now = GetTickCount64();
      wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    FILTER_STATE fs;
    HRESULT hr = e.filter->GetState(wait, &fs);
    if (FAILED(hr)) {
      *state = state_;
      return hr;
    }
    if (hr == VFW_S_STATE_INTERMEDIATE) result = hr;
    else if (hr == VFW_S_CANT_CUE && result == S_OK) result = hr;
  }
  *state = state_;
  return result;
}

HRESULT CFilterGraph::GetState(LONG msTimeout, OAFilterState* state) {
  if (!state) return E_POINTER;
  FILTER_STATE fs;
  HRESULT hr = GetState(msTimeout < 0 ? INFINITE : static_cast<DWORD>(msTimeout), &fs);
  *state = fs;
  return hr;
}

HRESULT CFilterGraph::StopWhenReady() {
  HRESULT hr = Pause();
  if (FAILED(hr)) return hr;
  FILTER_STATE fs;
  GetState(DWORD{10000}, &fs);
  return Stop();
}

HRESULT CFilterGraph::RenderFile(BSTR fileName) { return RenderFile(static_cast<LPCWSTR>(fileName), nullptr); }
HRESULT CFilterGraph::AddSourceFilter(BSTR, IDispatch**) { return E_NOTIMPL; }
HRESULT CFilterGraph::get_FilterCollection(IDispatch**) { return E_NOTIMPL; }
HRESULT CFilterGraph::get_RegFilterCollection(IDispatch**) { return E_NOTIMPL; }

// ---------------------------------------------------------------------------
// Clock

HRESULT CFilterGraph::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_FilterGraph;
  return S_OK;
}

HRESULT CFilterGraph::SetSyncSource(IReferenceClock* clock) {
  std::lock_guard state(stateLock_);
  if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
  clock_ = clock;
  clockChosen_ = true;
  HRESULT result = S_OK;
  for (auto& e : Snapshot()) {
    HRESULT hr = e.filter->SetSyncSource(clock);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

HRESULT CFilterGraph::GetSyncSource(IReferenceClock** clock) {
  if (!clock) return E_POINTER;
  std::lock_guard state(stateLock_);
  *clock = clock_;
  if (*clock) (*clock)->AddRef();
  return S_OK;
}

HRESULT CFilterGraph::SetDefaultSyncSource() {
  std::lock_guard state(stateLock_);
  CComPtr<IReferenceClock> chosen;
  for (auto& e : Snapshot())
    if (SUCCEEDED(e.filter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&chosen)))) break;
  if (!chosen) {
    HRESULT hr = CreateSystemClock(&chosen);
    if (FAILED(hr)) return hr;
  }
  return SetSyncSource(chosen);
}

// ---------------------------------------------------------------------------
// Events

void CFilterGraph::QueueEvent(LONG code, LONG_PTR p1, LONG_PTR p2) {
  // Called with eventLock_ held.
  events_.push_back({code, p1, p2});
  if (IsCompletion(code) && !finished_) {
    finished_ = true;
    finishCode_ = code;
  }
  SetEvent(eventHandle_);
  eventArrived_.notify_all();
}

HRESULT CFilterGraph::Notify(LONG eventCode, LONG_PTR param1, LONG_PTR param2) {
  bool queued = false;
  {
    std::lock_guard lock(eventLock_);
    if (noNotify_) return S_OK;
    if (eventCode == EC_COMPLETE && defaultCompleteHandling_) {
      if (completeDelivered_) return S_OK;
      if (sinks_.count(param2))
        completedSinks_.insert(param2);
      else
        ++anonymousCompletes_;
      if (completedSinks_.size() + anonymousCompletes_ < sinkCount_) return S_OK;
      completeDelivered_ = true;
      QueueEvent(EC_COMPLETE, param1, 0);
    } else {
      QueueEvent(eventCode, param1, param2);
    }
    queued = true;
  }
  if (queued) {
    std::lock_guard post(notifyLock_);
    GraphNotifyHook hook = g_notifyHook.load();
    if (notifyWindow_ && hook) hook(notifyWindow_, notifyMessage_, notifyData_);
  }
  return S_OK;
}

HRESULT CFilterGraph::GetEventHandle(OAEVENT* event) {
  if (!event) return E_POINTER;
  *event = reinterpret_cast<OAEVENT>(eventHandle_);
  return S_OK;
}

HRESULT CFilterGraph::GetEvent(long* eventCode, LONG_PTR* param1, LONG_PTR* param2, long msTimeout) {
  if (!eventCode || !param1 || !param2) return E_POINTER;
  *eventCode = 0;
  *param1 = *param2 = 0;
  std::unique_lock lock(eventLock_);
  auto ready = [&] { return !events_.empty(); };
  if (msTimeout < 0) {
    eventArrived_.wait(lock, ready);
  } else if (!eventArrived_.wait_for(lock, std::chrono::milliseconds(msTimeout), ready)) {
    return E_ABORT;
  }
  Event e = events_.front();
  events_.pop_front();
  if (events_.empty()) ResetEvent(eventHandle_);
  *eventCode = e.code;
  *param1 = e.param1;
  *param2 = e.param2;
  return S_OK;
}

HRESULT CFilterGraph::WaitForCompletion(long msTimeout, long* eventCode) {
  if (!eventCode) return E_POINTER;
  *eventCode = 0;
  if (state_ != State_Running) return VFW_E_WRONG_STATE;
  std::unique_lock lock(eventLock_);
  auto done = [&] { return finished_; };
  if (msTimeout < 0) {
    eventArrived_.wait(lock, done);
  } else if (!eventArrived_.wait_for(lock, std::chrono::milliseconds(msTimeout), done)) {
    return E_ABORT;
  }
  *eventCode = finishCode_;
  return S_OK;
}

HRESULT CFilterGraph::CancelDefaultHandling(long eventCode) {
  if (eventCode != EC_COMPLETE) return S_FALSE;
  std::lock_guard lock(eventLock_);
  defaultCompleteHandling_ = false;
  return S_OK;
}

HRESULT CFilterGraph::RestoreDefaultHandling(long eventCode) {
  if (eventCode != EC_COMPLETE) return S_FALSE;
  std::lock_guard lock(eventLock_);
  defaultCompleteHandling_ = true;
  return S_OK;
}

// No event code used here carries allocated parameters.
HRESULT CFilterGraph::FreeEventParams(long, LONG_PTR, LONG_PTR) { return S_OK; }

HRESULT CFilterGraph::SetNotifyWindow(OAHWND hwnd, long message, LONG_PTR instanceData) {
  std::lock_guard post(notifyLock_);
  notifyWindow_ = reinterpret_cast<HWND>(hwnd);
  notifyMessage_ = static_cast<UINT>(message);
  notifyData_ = instanceData;
  return S_OK;
}

HRESULT CFilterGraph::SetNotifyFlags(long flags) {
  if (flags & ~AM_MEDIAEVENT_NONOTIFY) return E_INVALIDARG;
  std::lock_guard lock(eventLock_);
  noNotify_ = flags != 0;
  if (noNotify_) {
    events_.clear();
    ResetEvent(eventHandle_);
  }
  return S_OK;
}

HRESULT CFilterGraph::GetNotifyFlags(long* flags) {
  if (!flags) return E_POINTER;
  std::lock_guard lock(eventLock_);
  *flags = noNotify_ ? AM_MEDIAEVENT_NONOTIFY : 0;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Seeking

std::vector<CComPtr<IMediaSeeking>> CFilterGraph::SeekingTargets() const {
  std::vector<CComPtr<IMediaSeeking>> targets;
  for (auto& e : Snapshot()) {
    bool connectedOutput = false, hasInput = false, connectedInput = false;
    std::vector<PinFacts> pins = PinsOf(e.filter);
    for (auto& p : pins) {
      if (p.dir == PINDIR_OUTPUT && p.peer) connectedOutput = true;
      if (p.dir == PINDIR_INPUT) {
        hasInput = true;
        if (p.peer) connectedInput = true;
      }
    }
    // Ends of the graph: nothing connected downstream, and fed by something
    // (or a source with no inputs at all). A renderer left unconnected is
    // not an end of any stream.
    if (connectedOutput || (hasInput && !connectedInput)) continue;
    CComPtr<IMediaSeeking> s;
    if (SUCCEEDED(e.filter->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s))) && s) {
      targets.push_back(s);
      continue;
    }
    // An end filter without seeking of its own is seeked through the output
    // pin that feeds its first connected input.
    for (auto& p : pins) {
      if (p.dir != PINDIR_INPUT || !p.peer) continue;
      if (SUCCEEDED(p.peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s))) && s) {
        targets.push_back(s);
        break;
      }
    }
  }
  return targets;
}

HRESULT CFilterGraph::GetCapabilities(DWORD* capabilities) {
  if (!capabilities) return E_POINTER;
  std::lock_guard state(stateLock_);
  auto targets = SeekingTargets();
  if (targets.empty()) return E_NOTIMPL;
  DWORD all = ~DWORD{0};
  for (auto& t : targets) {
    DWORD c = 0;
    if (SUCCEEDED(t->GetCapabilities(&c))) all &= c;
    else all = 0;
  }
  *capabilities = all;
  return S_OK;
}

HRESULT CFilterGraph::GetDuration(LONGLONG* duration) {
  if (!duration) return E_POINTER;
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  LONGLONG best = 0;
  for (auto& t : SeekingTargets()) {
    LONGLONG d = 0;
    HRESULT hr = t->GetDuration(&d);
    if (SUCCEEDED(hr)) {
      if (FAILED(result) || d > best) best = d;
      result = S_OK;
    } else if (FAILED(result)) {
      result = hr;
    }
  }
  if (SUCCEEDED(result)) *duration = best;
  return result;
}

HRESULT CFilterGraph::GetStopPosition(LONGLONG* stop) {
  if (!stop) return E_POINTER;
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  LONGLONG best = 0;
  for (auto& t : SeekingTargets()) {
    LONGLONG s = 0;
    HRESULT hr = t->GetStopPosition(&s);
    if (SUCCEEDED(hr)) {
      if (FAILED(result) || s > best) best = s;
      result = S_OK;
    } else if (FAILED(result)) {
      result = hr;
    }
  }
  if (SUCCEEDED(result)) *stop = best;
  return result;
}

HRESULT CFilterGraph::GetCurrentPosition(LONGLONG* current) {
  if (!current) return E_POINTER;
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  LONGLONG least = 0;
  for (auto& t : SeekingTargets()) {
    LONGLONG c = 0;
    HRESULT hr = t->GetCurrentPosition(&c);
    if (SUCCEEDED(hr)) {
      if (FAILED(result) || c < least) least = c;
      result = S_OK;
    } else if (FAILED(result)) {
      result = hr;
    }
  }
  if (SUCCEEDED(result)) *current = least;
  return result;
}

HRESULT CFilterGraph::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) {
  std::lock_guard state(stateLock_);
  auto targets = SeekingTargets();
  if (targets.empty()) return E_NOTIMPL;
  const bool wasRunning = state_ == State_Running;
  if (wasRunning) {
    HRESULT hr = ChangeState(State_Paused);
    if (FAILED(hr)) return hr;
  }
  // A new segment: the sinks will report their ends again.
  if (state_ != State_Stopped) StartCompletionCount();
  HRESULT result = S_OK;
  for (auto& t : targets) {
    HRESULT hr = t->SetPositions(current, currentFlags, stop, stopFlags);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  if (wasRunning) {
    HRESULT hr = ChangeState(State_Running);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

HRESULT CFilterGraph::GetPositions(LONGLONG* current, LONGLONG* stop) {
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  for (auto& t : SeekingTargets()) {
    result = t->GetPositions(current, stop);
    if (SUCCEEDED(result)) break;
  }
  return result;
}

HRESULT CFilterGraph::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  for (auto& t : SeekingTargets()) {
    result = t->GetAvailable(earliest, latest);
    if (SUCCEEDED(result)) break;
  }
  return result;
}

HRESULT CFilterGraph::SetRate(double rate) {
  if (rate == 0.0) return E_INVALIDARG;
  std::lock_guard state(stateLock_);
  auto targets = SeekingTargets();
  if (targets.empty()) return E_NOTIMPL;
  HRESULT result = S_OK;
  for (auto& t : targets) {
    HRESULT hr = t->SetRate(rate);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

HRESULT CFilterGraph::GetRate(double* rate) {
  if (!rate) return E_POINTER;
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  for (auto& t : SeekingTargets()) {
    result = t->GetRate(rate);
    if (SUCCEEDED(result)) break;
  }
  return result;
}

HRESULT CFilterGraph::GetPreroll(LONGLONG* preroll) {
  if (!preroll) return E_POINTER;
  std::lock_guard state(stateLock_);
  HRESULT result = E_NOTIMPL;
  for (auto& t : SeekingTargets()) {
    result = t->GetPreroll(preroll);
    if (SUCCEEDED(result)) break;
  }
  return result;
}

// ---------------------------------------------------------------------------
// IGraphConfig

HRESULT CFilterGraph::Reconnect(IPin*, IPin*, const AM_MEDIA_TYPE*, IBaseFilter*, HANDLE, DWORD) {
  return E_NOTIMPL;
}

HRESULT CFilterGraph::Reconfigure(IGraphConfigCallback*, PVOID, DWORD, HANDLE) { return E_NOTIMPL; }

HRESULT CFilterGraph::AddFilterToCache(IBaseFilter* filter) {
  if (!filter) return E_POINTER;
  std::lock_guard state(stateLock_);
  {
    std::lock_guard lock(listLock_);
    for (auto& e : cache_)
      if (e.filter.p == filter) return S_FALSE;
  }
  std::wstring name;
  {
    std::lock_guard lock(listLock_);
    for (auto& e : filters_)
      if (e.filter.p == filter) name = e.name;
  }
  CComPtr<IBaseFilter> keep(filter);
  if (Contains(filter)) {
    if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
    HRESULT hr = RemoveFilterLocked(filter, true);
    if (FAILED(hr)) return hr;
  }
  try {
    std::lock_guard lock(listLock_);
    cache_.push_back({keep, name});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CFilterGraph::EnumCacheFilter(IEnumFilters** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  try {
    CEnumFilterList::Items items;
    {
      std::lock_guard lock(listLock_);
      for (auto& e : cache_) items.push_back(e.filter);
    }
    return CEnumFilterList::Create(std::move(items), ppEnum);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CFilterGraph::RemoveFilterFromCache(IBaseFilter* filter) {
  if (!filter) return E_POINTER;
  std::lock_guard state(stateLock_);
  Entry taken;
  {
    std::lock_guard lock(listLock_);
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
      if (it->filter.p == filter) {
        taken = *it;
        cache_.erase(it);
        break;
      }
    }
  }
  if (!taken.filter) return S_FALSE;
  // A filter taken out of the cache goes back into the graph, ready to be
  // connected.
  HRESULT hr = AddFilter(taken.filter, taken.name.c_str());
  if (FAILED(hr)) {
    std::lock_guard lock(listLock_);
    cache_.push_back(taken);
  }
  return SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT CFilterGraph::GetStartTime(REFERENCE_TIME* start) {
  if (!start) return E_POINTER;
  std::lock_guard state(stateLock_);
  if (state_ != State_Running) return VFW_E_WRONG_STATE;
  *start = startTime_;
  return S_OK;
}

HRESULT CFilterGraph::PushThroughData(IPin*, IPinConnection*, HANDLE) { return E_NOTIMPL; }
HRESULT CFilterGraph::SetFilterFlags(IBaseFilter*, DWORD) { return E_NOTIMPL; }
HRESULT CFilterGraph::GetFilterFlags(IBaseFilter*, DWORD*) { return E_NOTIMPL; }

HRESULT CFilterGraph::RemoveFilterEx(IBaseFilter* filter, DWORD flags) {
  if (!filter) return E_POINTER;
  std::lock_guard state(stateLock_);
  if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
  return RemoveFilterLocked(filter, (flags & REMFILTERF_LEAVECONNECTED) == 0);
}
