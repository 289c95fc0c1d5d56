#include "platform/dshow/BaseFilter.h"

#include <cwchar>

#include "platform/com/ComBase.h"
#include "platform/dshow/BasePin.h"
#include "platform/dshow/EnumPins.h"
#include "platform/dshow/Errors.h"

CBaseFilter::CBaseFilter(LPCTSTR name, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid, HRESULT* phr)
    : CUnknown(name, outer), m_clsid(clsid), m_pLock(lock) {}

CBaseFilter::~CBaseFilter() {
  if (m_pClock) m_pClock->Release();
}

HRESULT STDMETHODCALLTYPE CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IBaseFilter) return GetInterfaceAs<IBaseFilter>(this, ppv);
  if (riid == IID_IMediaFilter) return GetInterfaceAs<IMediaFilter>(this, ppv);
  if (riid == IID_IPersist) return GetInterfaceAs<IPersist>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID* clsid) {
  CheckPointer(clsid, E_POINTER);
  *clsid = m_clsid;
  return S_OK;
}

STDMETHODIMP CBaseFilter::Stop() {
  CAutoLock lock(m_pLock);
  HRESULT hr = S_OK;
  if (m_State != State_Stopped) {
    int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        HRESULT h = pin->Inactive();
        if (FAILED(h) && SUCCEEDED(hr)) hr = h;
      }
    }
  }
  m_State = State_Stopped;
  return hr;
}

STDMETHODIMP CBaseFilter::Pause() {
  CAutoLock lock(m_pLock);
  if (m_State == State_Stopped) {
    int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        HRESULT hr = pin->Active();
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_State = State_Paused;
  return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME start) {
  CAutoLock lock(m_pLock);
  m_tStart = start;
  if (m_State == State_Stopped) {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (m_State != State_Running) {
    int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        HRESULT hr = pin->Run(start);
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_State = State_Running;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
  CheckPointer(state, E_POINTER);
  *state = m_State;
  return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* clock) {
  CAutoLock lock(m_pLock);
  if (clock) clock->AddRef();
  if (m_pClock) m_pClock->Release();
  m_pClock = clock;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** clock) {
  CheckPointer(clock, E_POINTER);
  CAutoLock lock(m_pLock);
  *clock = m_pClock;
  if (m_pClock) m_pClock->AddRef();
  return S_OK;
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& streamTime) {
  CAutoLock lock(m_pLock);
  if (!m_pClock) return VFW_E_NO_CLOCK;
  REFERENCE_TIME now = 0;
  HRESULT hr = m_pClock->GetTime(&now);
  if (FAILED(hr)) return hr;
  streamTime = now - m_tStart;
  return S_OK;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** ppEnum) {
  CheckPointer(ppEnum, E_POINTER);
  return CEnumPins::Create(this, ppEnum);
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR id, IPin** ppPin) {
  CheckPointer(ppPin, E_POINTER);
  *ppPin = nullptr;
  CheckPointer(id, E_POINTER);
  CAutoLock lock(m_pLock);
  int count = GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin* pin = GetPin(i);
    if (pin && pin->Name() && std::wcscmp(pin->Name(), id) == 0) {
      *ppPin = pin;
      pin->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
  CheckPointer(info, E_POINTER);
  size_t n = m_Name.size() < MAX_FILTER_NAME - 1 ? m_Name.size() : MAX_FILTER_NAME - 1;
  std::wmemcpy(info->achName, m_Name.c_str(), n);
  info->achName[n] = L'\0';
  info->pGraph = m_pGraph;
  if (m_pGraph) m_pGraph->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  CAutoLock lock(m_pLock);
  m_pGraph = graph;
  m_pSink = nullptr;
  if (graph) {
    // Not kept with a reference: the graph owns this filter, and its sink
    // lives as long as the graph.
    IMediaEventSink* sink = nullptr;
    if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) && sink) {
      m_pSink = sink;
      sink->Release();
    }
  }
  m_Name = name ? name : L"";
  return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

HRESULT CBaseFilter::NotifyEvent(LONG eventCode, LONG_PTR param1, LONG_PTR param2) {
  IMediaEventSink* sink = m_pSink;
  if (!sink) return E_NOTIMPL;
  if (eventCode == EC_COMPLETE) param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
  return sink->Notify(eventCode, param1, param2);
}

HRESULT CBaseFilter::ReconnectPin(IPin* pin, const AM_MEDIA_TYPE* pmt) {
  if (!m_pGraph) return E_NOINTERFACE;
  IFilterGraph2* graph2 = nullptr;
  if (SUCCEEDED(m_pGraph->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&graph2))) && graph2) {
    HRESULT hr = graph2->ReconnectEx(pin, pmt);
    graph2->Release();
    return hr;
  }
  return m_pGraph->Reconnect(pin);
}
