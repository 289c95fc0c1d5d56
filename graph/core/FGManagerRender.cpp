// Connecting and rendering: how an output pin finds its downstream filter.

#include <algorithm>

#include "foundation/FilterHelpers.h"
#include "graph/core/FGManager.h"

namespace {

PELLOMAR_DEFINE_GUID(CLSID_PreferredVideoDecoder, "04FE9017-F873-410E-871E-AB91661A4EF7");
PELLOMAR_DEFINE_GUID(CLSID_ExcludedAfterPreferredDecoder, "E30629D2-27E5-11CE-875D-00608CB78066");

constexpr DWORD kRegistryQueryMerit = 0x200001;
// Upstream walks stop here even in a graph that someone made circular.
constexpr int kMaxChain = 1024;

bool IsTildePin(IPin* pin) { return GetPinName(pin).starts_with(L"~"); }

std::vector<CComPtr<IPin>> PinsOf(IBaseFilter* filter) {
  std::vector<CComPtr<IPin>> pins;
  CComPtr<IEnumPins> e;
  if (filter && SUCCEEDED(filter->EnumPins(&e)) && e)
    for (CComPtr<IPin> pin; e->Next(1, &pin, nullptr) == S_OK; pin.Release()) pins.push_back(pin);
  return pins;
}

std::vector<CMediaType> TypesOf(IPin* pin) {
  std::vector<CMediaType> types;
  CComPtr<IEnumMediaTypes> e;
  if (!pin || FAILED(pin->EnumMediaTypes(&e)) || !e) return types;
  AM_MEDIA_TYPE* pmt = nullptr;
  for (int n = 0; n < 4096 && e->Next(1, &pmt, nullptr) == S_OK && pmt; ++n) {
    types.emplace_back(*pmt);
    DeleteMediaType(pmt);
    pmt = nullptr;
  }
  return types;
}

std::vector<CComPtr<IBaseFilter>> FiltersOf(IEnumFilters* e) {
  std::vector<CComPtr<IBaseFilter>> filters;
  if (e)
    for (CComPtr<IBaseFilter> f; e->Next(1, &f, nullptr) == S_OK; f.Release()) filters.push_back(f);
  return filters;
}

template <class F>
HRESULT NoThrow(F f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Direct connections

HRESULT CFGManager::ConnectDirectWorker(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt, bool tryOutputTypes,
                                        bool preferRGB24) {
  if (!m_pUnkInner) return E_UNEXPECTED;
  if (!out || !in) return E_POINTER;
  IBaseFilter* downstream = GetFilterFromPin(in);
  const CLSID downstreamClsid = GetFilterClsid(downstream);
  IBaseFilter* f = GetFilterFromPin(out);
  for (int steps = 0; f && steps < kMaxChain; ++steps, f = GetUpstreamFilter(f)) {
    if (f == downstream) return VFW_E_CIRCULAR_GRAPH;
    // Filters that cannot tell their class are not taken for the same class.
    if (downstreamClsid != GUID_NULL && GetFilterClsid(f) == downstreamClsid) return VFW_E_CANNOT_CONNECT;
  }

  CComQIPtr<IFilterGraph2> inner(m_pUnkInner);
  if (!inner) return E_UNEXPECTED;
  if (pmt || !tryOutputTypes) return inner->ConnectDirect(out, in, pmt);

  std::vector<CMediaType> types = TypesOf(out);
  if (preferRGB24) {
    const CMediaType* other = nullptr;
    for (const CMediaType& mt : types) {
      if (mt.subtype != MEDIASUBTYPE_RGB24) continue;
      if (mt.formattype == FORMAT_VideoInfo) {
        if (SUCCEEDED(inner->ConnectDirect(out, in, &mt))) return S_OK;
      } else {
        other = &mt;
      }
    }
    if (other && SUCCEEDED(inner->ConnectDirect(out, in, other))) return S_OK;
  }
  for (const CMediaType& mt : types)
    if (mt.formattype == FORMAT_VideoInfo && SUCCEEDED(inner->ConnectDirect(out, in, &mt))) return S_OK;
  for (const CMediaType& mt : types)
    if (mt.formattype != FORMAT_VideoInfo && SUCCEEDED(inner->ConnectDirect(out, in, &mt))) return S_OK;
  return VFW_E_CANNOT_CONNECT;
}

HRESULT CFGManager::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) {
  CAutoLock lock(&m_lock);
  return NoThrow([&] { return ConnectDirectWorker(out, in, pmt, false, false); });
}

HRESULT CFGManager::ConnectPinToFilterDirectEx(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt,
                                               bool tryOutputTypes, bool preferRGB24) {
  CAutoLock lock(&m_lock);
  if (!out || !filter) return E_POINTER;
  if (IsPinDirection(out, PINDIR_OUTPUT) != S_OK) return VFW_E_INVALID_DIRECTION;
  return NoThrow([&]() -> HRESULT {
    for (auto& pin : PinsOf(filter)) {
      if (IsTildePin(pin) || IsPinDirection(pin, PINDIR_INPUT) != S_OK || IsPinConnected(pin) == S_OK) continue;
      HRESULT hr = ConnectDirectWorker(out, pin, pmt, tryOutputTypes, preferRGB24);
      if (SUCCEEDED(hr)) return hr;
    }
    return VFW_E_CANNOT_CONNECT;
  });
}

HRESULT CFGManager::ConnectPinToFilterDirect(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt) {
  return ConnectPinToFilterDirectEx(out, filter, pmt, false, false);
}

HRESULT CFGManager::ConnectPinToFilter(IPin* out, IBaseFilter* filter) {
  CAutoLock lock(&m_lock);
  if (!out || !filter) return E_POINTER;
  if (IsPinDirection(out, PINDIR_OUTPUT) != S_OK) return VFW_E_INVALID_DIRECTION;
  return NoThrow([&]() -> HRESULT {
    for (auto& pin : PinsOf(filter)) {
      if (IsTildePin(pin) || IsPinDirection(pin, PINDIR_INPUT) != S_OK || IsPinConnected(pin) == S_OK) continue;
      HRESULT hr = Connect(out, pin);
      if (SUCCEEDED(hr)) return hr;
    }
    return VFW_E_CANNOT_CONNECT;
  });
}

// ---------------------------------------------------------------------------
// Intelligent connection

HRESULT CFGManager::Connect(IPin* out, IPin* in) {
  CAutoLock lock(&m_lock);
  return NoThrow([&] { return ConnectImpl(out, in); });
}

HRESULT CFGManager::TryExistingFilter(IPin* out, IBaseFilter* filter, IPin* in, bool& deadEnd) {
  HRESULT hr = ConnectPinToFilterDirect(out, filter, nullptr);
  if (SUCCEEDED(hr)) {
    if (!IsSinkFilter(filter)) deadEnd = false;
    hr = ConnectFilter(filter, in);
    if (SUCCEEDED(hr)) return hr;
  }
  // Both ends, or the filter's input would still believe it is connected.
  CComPtr<IPin> peer;
  if (SUCCEEDED(out->ConnectedTo(&peer)) && peer) {
    Disconnect(out);
    Disconnect(peer);
  }
  return FAILED(hr) ? hr : E_FAIL;
}

HRESULT CFGManager::ConnectImpl(IPin* out, IPin* in) {
  if (!out) return E_POINTER;
  if (IsPinDirection(out, PINDIR_OUTPUT) != S_OK || (in && IsPinDirection(in, PINDIR_INPUT) != S_OK))
    return VFW_E_INVALID_DIRECTION;
  if (IsPinConnected(out) == S_OK || (in && IsPinConnected(in) == S_OK)) return VFW_E_ALREADY_CONNECTED;

  bool deadEnd = true;
  HRESULT hr;

  if (!in) {
    if (CComQIPtr<IStreamBuilder> builder = out) {
      hr = builder->Render(out, static_cast<IGraphBuilder*>(this));
      if (SUCCEEDED(hr)) return hr;
      builder->Backout(out, static_cast<IGraphBuilder*>(this));
    }
  } else {
    hr = ConnectDirect(out, in, nullptr);
    if (SUCCEEDED(hr)) return hr;
  }

  IBaseFilter* inFilter = in ? GetFilterFromPin(in) : nullptr;
  IBaseFilter* outFilter = GetFilterFromPin(out);

  if (CComQIPtr<IGraphConfig> config = m_pUnkInner) {
    CComPtr<IEnumFilters> e;
    if (SUCCEEDED(config->EnumCacheFilter(&e)) && e) {
      for (auto& cached : FiltersOf(e)) {
        if (cached == inFilter) continue;
        if (FAILED(config->RemoveFilterFromCache(cached))) continue;
        hr = TryExistingFilter(out, cached, in, deadEnd);
        if (SUCCEEDED(hr)) return hr;
        config->AddFilterToCache(cached);
      }
    }
  }

  {
    CComPtr<IEnumFilters> e;
    std::vector<CComPtr<IBaseFilter>> filters;
    if (SUCCEEDED(EnumFilters(&e)) && e) filters = FiltersOf(e);
    const bool skipExcluded = GetFilterClsid(outFilter) == CLSID_PreferredVideoDecoder;
    for (auto& f : filters) {
      if (f == inFilter || f == outFilter) continue;
      if (skipExcluded && GetFilterClsid(f) == CLSID_ExcludedAfterPreferredDecoder) continue;
      hr = TryExistingFilter(out, f, in, deadEnd);
      if (SUCCEEDED(hr)) return hr;
    }
  }

  std::vector<GUID> types;
  CollectPinMediaTypes(out, types);
  CFGFilterList candidates;
  for (const auto* records : {&m_transform, &m_override}) {
    for (const auto& rec : *records) {
      if (rec->GetMerit() < kMeritLow)
        candidates.Insert(rec.get(), 0, false, false);
      else if (rec->CheckTypes(types, false))
        candidates.Insert(rec.get(), 0, rec->CheckTypes(types, true), false);
    }
  }
  if (!types.empty() && m_pFM) {
    CComPtr<IEnumMoniker> e;
    if (SUCCEEDED(m_pFM->EnumMatchingFilters(&e, 0, FALSE, kRegistryQueryMerit, TRUE,
                                             static_cast<DWORD>(types.size() / 2), types.data(), nullptr, nullptr,
                                             FALSE, in ? TRUE : FALSE, 0, nullptr, nullptr, nullptr)) &&
        e) {
      for (CComPtr<IMoniker> moniker; e->Next(1, &moniker, nullptr) == S_OK; moniker.Release()) {
        auto rec = std::make_unique<CFGFilterRegistry>(moniker);
        const bool exact = rec->CheckTypes(types, true);
        candidates.Insert(rec.release(), 0, exact, true);
      }
    }
  }

  for (auto pos = candidates.GetHeadPosition(); pos;) {
    CFGFilter* rec = candidates.GetNext(pos);
    std::vector<CComPtr<IUnknown>> extra;
    CComPtr<IBaseFilter> filter;
    if (FAILED(rec->Create(&filter, extra)) || !filter) continue;
    if (FAILED(AddFilter(filter, rec->GetName().c_str()))) continue;
    hr = ConnectPinToFilterDirect(out, filter, nullptr);
    if (SUCCEEDED(hr)) {
      if (!IsSinkFilter(filter)) deadEnd = false;
      hr = ConnectFilter(filter, in);
    }
    if (FAILED(hr)) {
      // Removing the filter breaks both ends of its connections.
      RemoveFilter(filter);
      continue;
    }
    for (auto& unk : extra) {
      m_pUnks.push_back(unk);
      if (CComQIPtr<IMixerPinConfig> mixer = unk) mixer->SetAspectRatioMode(AM_ARMODE_STRETCHED);
    }
    if (CComQIPtr<IVMRAspectRatioControl> arc = filter) arc->SetAspectRatioMode(0);
    return hr;
  }

  if (deadEnd) RecordDeadEnd(out);
  return in ? VFW_E_CANNOT_CONNECT : VFW_E_CANNOT_RENDER;
}

void CFGManager::RecordDeadEnd(IPin* out) {
  auto dead = std::make_unique<DeadEnd>();
  dead->path = m_streamPath;
  dead->mts = TypesOf(out);
  const bool useful = std::any_of(dead->mts.begin(), dead->mts.end(), [](const CMediaType& mt) {
    return !(mt.majortype == MEDIATYPE_Stream && mt.subtype == GUID_NULL);
  });
  if (useful) m_deadEnds.push_back(std::move(dead));
}

void CFGManager::PruneDeadEnds() {
  for (size_t i = m_deadEnds.size(); i-- > 0;) {
    const auto& path = m_deadEnds[i]->path;
    bool drop = true;
    for (size_t s = 0; s < path.size() && s < m_streamPath.size(); ++s) {
      if (path[s].filter != m_streamPath[s].filter) break;
      if (path[s].pin != m_streamPath[s].pin) {
        drop = false;
        break;
      }
    }
    if (drop) m_deadEnds.erase(m_deadEnds.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

HRESULT CFGManager::ConnectFilter(IBaseFilter* filter, IPin* in) {
  CAutoLock lock(&m_lock);
  return NoThrow([&] { return ConnectFilterImpl(filter, in); });
}

HRESULT CFGManager::ConnectFilterImpl(IBaseFilter* filter, IPin* in) {
  if (!filter) return E_POINTER;
  if (in && IsPinDirection(in, PINDIR_INPUT) != S_OK) return VFW_E_INVALID_DIRECTION;
  int total = 0, rendered = 0;
  const CLSID clsid = GetFilterClsid(filter);
  const std::wstring filterName = GetFilterName(filter);
  for (auto& pin : PinsOf(filter)) {
    if (IsTildePin(pin) || IsPinDirection(pin, PINDIR_OUTPUT) != S_OK || IsPinConnected(pin) == S_OK) continue;
    ++total;
    m_streamPath.push_back(PathStep{clsid, filterName, GetPinName(pin)});
    HRESULT hr = Connect(pin, in);
    if (SUCCEEDED(hr)) {
      ++rendered;
      PruneDeadEnds();
    }
    m_streamPath.pop_back();
    if (SUCCEEDED(hr) && in) break;
  }
  if (total == 0) return S_FALSE;
  if (rendered == total) return S_OK;
  return rendered > 0 ? VFW_S_PARTIAL_RENDER : VFW_E_CANNOT_RENDER;
}

// ---------------------------------------------------------------------------
// Rendering

HRESULT CFGManager::Render(IPin* out) {
  CAutoLock lock(&m_lock);
  return RenderEx(out, 0, nullptr);
}

HRESULT CFGManager::RenderEx(IPin* out, DWORD flags, DWORD* context) {
  CAutoLock lock(&m_lock);
  return NoThrow([&]() -> HRESULT {
    m_streamPath.clear();
    m_deadEnds.clear();
    if (!out || flags > AM_RENDEREX_RENDERTOEXISTINGRENDERERS || context) return E_INVALIDARG;
    if (flags == 0) return Connect(out, nullptr);

    CComPtr<IEnumFilters> e;
    std::vector<CComPtr<IBaseFilter>> filters;
    if (SUCCEEDED(EnumFilters(&e)) && e) filters = FiltersOf(e);
    for (auto& f : filters) {
      bool renderer = false;
      if (CComQIPtr<IAMFilterMiscFlags> misc = f) {
        renderer = (misc->GetMiscFlags() & AM_FILTER_MISC_FLAGS_IS_RENDERER) != 0;
      } else {
        for (auto& pin : PinsOf(f)) {
          ULONG count = 1;
          if (SUCCEEDED(pin->QueryInternalConnections(nullptr, &count)) && count == 0) {
            renderer = true;
            break;
          }
        }
      }
      if (renderer && SUCCEEDED(ConnectPinToFilter(out, f))) return S_OK;
    }
    return VFW_E_CANNOT_RENDER;
  });
}

HRESULT CFGManager::RenderFile(LPCWSTR file, LPCWSTR) {
  CAutoLock lock(&m_lock);
  return NoThrow([&] { return RenderFileImpl(file); });
}

HRESULT CFGManager::RenderFileImpl(LPCWSTR file) {
  m_streamPath.clear();
  m_deadEnds.clear();
  CFGFilterList list;
  HRESULT hr = EnumSourceFilters(file, list);
  if (FAILED(hr)) return hr;
  if (list.GetCount() == 0) return VFW_E_CANNOT_RENDER;

  std::vector<std::unique_ptr<DeadEnd>> saved;
  hr = VFW_E_CANNOT_RENDER;
  for (auto pos = list.GetHeadPosition(); pos;) {
    CFGFilter* rec = list.GetNext(pos);
    CComPtr<IBaseFilter> source;
    hr = AddSourceFilterFromRecord(rec, file, file, &source);
    if (FAILED(hr)) continue;
    m_streamPath.clear();
    m_deadEnds.clear();
    hr = ConnectFilter(source, nullptr);
    if (SUCCEEDED(hr)) return hr;
    RemoveSourceChain(source);
    for (auto& d : m_deadEnds) saved.push_back(std::move(d));
    m_deadEnds.clear();
  }
  m_deadEnds = std::move(saved);
  return hr;
}
