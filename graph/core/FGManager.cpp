#include "graph/core/FGManager.h"

#include <cinttypes>
#include <cstdio>

#include "foundation/FilterHelpers.h"
#include "platform/win32/Thread.h"

namespace {

// An out-of-memory inside an interface call becomes a result code; nothing
// may throw across the interface.
template <class F>
HRESULT NoThrow(F f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

CFGManager::CFGManager(LPCTSTR name, LPUNKNOWN outer) : CUnknown(name, outer) {
  CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&m_pUnkInner));
  CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_ALL, IID_IFilterMapper2, reinterpret_cast<void**>(&m_pFM));
}

CFGManager::~CFGManager() {
  CAutoLock lock(&m_lock);
  m_source.clear();
  m_transform.clear();
  m_override.clear();
  m_pUnks.clear();
  m_pUnkInner.Release();
  m_pFM.Release();
  m_deadEnds.clear();
  m_streamPath.clear();
}

HRESULT CFGManager::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IFilterGraph || riid == IID_IGraphBuilder || riid == IID_IFilterGraph2 ||
      riid == IID_IGraphBuilder2)
    return GetInterfaceAs<IGraphBuilder2>(this, ppv);
  if (riid == IID_IGraphBuilderDeadEnd) return GetInterfaceAs<IGraphBuilderDeadEnd>(this, ppv);
  if (riid != IID_IUnknown && m_pUnkInner)
    return SUCCEEDED(m_pUnkInner->QueryInterface(riid, ppv)) ? S_OK : E_NOINTERFACE;
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

template <class F>
HRESULT CFGManager::Forward(F call) {
  if (!m_pUnkInner) return E_UNEXPECTED;
  CAutoLock lock(&m_lock);
  CComQIPtr<IFilterGraph2> inner(m_pUnkInner);
  if (!inner) return E_UNEXPECTED;
  return NoThrow([&] { return call(inner.p); });
}

// ---------------------------------------------------------------------------
// Forwarded operations

HRESULT CFGManager::AddFilter(IBaseFilter* filter, LPCWSTR name) {
  if (!m_pUnkInner) return E_UNEXPECTED;
  CAutoLock lock(&m_lock);
  CComQIPtr<IGraphBuilder> inner(m_pUnkInner);
  if (!inner) return E_UNEXPECTED;
  return inner->AddFilter(filter, name);
}
HRESULT CFGManager::RemoveFilter(IBaseFilter* filter) {
  return Forward([&](IFilterGraph2* g) { return g->RemoveFilter(filter); });
}
HRESULT CFGManager::EnumFilters(IEnumFilters** ppEnum) {
  return Forward([&](IFilterGraph2* g) { return g->EnumFilters(ppEnum); });
}
HRESULT CFGManager::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
  return Forward([&](IFilterGraph2* g) { return g->FindFilterByName(name, filter); });
}
HRESULT CFGManager::Reconnect(IPin* pin) {
  return Forward([&](IFilterGraph2* g) { return g->Reconnect(pin); });
}
HRESULT CFGManager::Disconnect(IPin* pin) {
  return Forward([&](IFilterGraph2* g) { return g->Disconnect(pin); });
}
HRESULT CFGManager::SetDefaultSyncSource() {
  return Forward([&](IFilterGraph2* g) { return g->SetDefaultSyncSource(); });
}
HRESULT CFGManager::SetLogFile(DWORD_PTR file) {
  return Forward([&](IFilterGraph2* g) { return g->SetLogFile(file); });
}
HRESULT CFGManager::Abort() {
  return Forward([&](IFilterGraph2* g) { return g->Abort(); });
}
HRESULT CFGManager::ShouldOperationContinue() {
  return Forward([&](IFilterGraph2* g) { return g->ShouldOperationContinue(); });
}
HRESULT CFGManager::AddSourceFilterForMoniker(IMoniker* moniker, IBindCtx* ctx, LPCWSTR filterName,
                                              IBaseFilter** filter) {
  return Forward([&](IFilterGraph2* g) { return g->AddSourceFilterForMoniker(moniker, ctx, filterName, filter); });
}
HRESULT CFGManager::ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* pmt) {
  return Forward([&](IFilterGraph2* g) { return g->ReconnectEx(pin, pmt); });
}

// ---------------------------------------------------------------------------
// Own operations

HRESULT CFGManager::IsPinDirection(IPin* pin, PIN_DIRECTION dir) {
  CAutoLock lock(&m_lock);
  if (!pin) return E_POINTER;
  PIN_DIRECTION actual;
  if (FAILED(pin->QueryDirection(&actual))) return E_FAIL;
  return actual == dir ? S_OK : S_FALSE;
}

HRESULT CFGManager::IsPinConnected(IPin* pin) {
  CAutoLock lock(&m_lock);
  if (!pin) return E_POINTER;
  CComPtr<IPin> peer;
  return SUCCEEDED(pin->ConnectedTo(&peer)) && peer ? S_OK : S_FALSE;
}

HRESULT CFGManager::RemoveDownstream(IUnknown* object) {
  CAutoLock lock(&m_lock);
  return NoThrow([&]() -> HRESULT {
    if (CComQIPtr<IBaseFilter> filter = object) {
      std::vector<CComPtr<IPin>> pins;
      CComPtr<IEnumPins> e;
      if (SUCCEEDED(filter->EnumPins(&e)) && e) {
        for (CComPtr<IPin> pin; e->Next(1, &pin, nullptr) == S_OK; pin.Release()) pins.push_back(pin);
      }
      for (auto& pin : pins) RemoveDownstream(pin);
      return S_OK;
    }
    if (CComQIPtr<IPin> pin = object) {
      CComPtr<IPin> peer;
      if (IsPinDirection(pin, PINDIR_OUTPUT) != S_OK || FAILED(pin->ConnectedTo(&peer)) || !peer) return S_OK;
      PIN_INFO info{};
      if (FAILED(peer->QueryPinInfo(&info))) return S_OK;
      CComPtr<IBaseFilter> downstream;
      downstream.Attach(info.pFilter);
      if (!downstream || downstream == GetFilterFromPin(pin)) return S_OK;
      RemoveDownstream(downstream);
      Disconnect(pin);
      Disconnect(peer);
      RemoveFilter(downstream);
      return S_OK;
    }
    return E_INVALIDARG;
  });
}

HRESULT CFGManager::FindInterface(REFIID riid, void** ppv, BOOL remove) {
  CAutoLock lock(&m_lock);
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (auto it = m_pUnks.begin(); it != m_pUnks.end(); ++it) {
    if (SUCCEEDED((*it)->QueryInterface(riid, ppv)) && *ppv) {
      if (remove) m_pUnks.erase(it);
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

HRESULT CFGManager::AddToROT() {
  CAutoLock lock(&m_lock);
  if (m_dwRegister) return S_FALSE;
  return NoThrow([&]() -> HRESULT {
    // The manager's address in full pointer width, upper case, as the
    // platform prints pointers.
    char text[96];
    std::snprintf(text, sizeof text, "FilterGraph %0*" PRIXPTR " pid %08x (Ostrel)",
                  static_cast<int>(sizeof(void*) * 2), reinterpret_cast<uintptr_t>(this),
                  static_cast<unsigned>(GetCurrentProcessId()));
    std::wstring item(text, text + std::char_traits<char>::length(text));
    CComPtr<IMoniker> moniker;
    HRESULT hr = CreateItemMoniker(L"!", item.c_str(), &moniker);
    if (FAILED(hr)) return hr;
    CComPtr<IRunningObjectTable> rot;
    hr = GetRunningObjectTable(0, &rot);
    if (FAILED(hr)) return hr;
    DWORD cookie = 0;
    hr = rot->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, static_cast<IGraphBuilder2*>(this), moniker, &cookie);
    if (SUCCEEDED(hr)) m_dwRegister = cookie;
    return hr;
  });
}

HRESULT CFGManager::RemoveFromROT() {
  CAutoLock lock(&m_lock);
  if (!m_dwRegister) return S_FALSE;
  CComPtr<IRunningObjectTable> rot;
  HRESULT hr = GetRunningObjectTable(0, &rot);
  if (FAILED(hr)) return hr;
  hr = rot->Revoke(m_dwRegister);
  if (SUCCEEDED(hr)) m_dwRegister = 0;
  return hr;
}

size_t CFGManager::GetCount() {
  CAutoLock lock(&m_lock);
  return m_deadEnds.size();
}

HRESULT CFGManager::GetDeadEnd(int index, std::vector<std::wstring>& path, std::vector<CMediaType>& mts) {
  CAutoLock lock(&m_lock);
  if (index < 0 || static_cast<size_t>(index) >= m_deadEnds.size()) return E_FAIL;
  return NoThrow([&]() -> HRESULT {
    path.clear();
    mts.clear();
    const DeadEnd& d = *m_deadEnds[static_cast<size_t>(index)];
    for (const PathStep& step : d.path) path.push_back(step.filter + L"::" + step.pin);
    for (const CMediaType& mt : d.mts) mts.push_back(mt);
    return S_OK;
  });
}
