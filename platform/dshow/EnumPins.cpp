#include "platform/dshow/EnumPins.h"

#include <new>

#include "platform/dshow/Errors.h"

// ---------------------------------------------------------------------------
// CEnumPins

CEnumPins::CEnumPins(CBaseFilter* filter)
    : CUnknown("pin enumerator", nullptr), m_pFilter(filter), m_Version(filter->GetPinVersion()) {
  // The enumerator keeps its filter (and so its pins) alive.
  m_pFilter->AddRef();
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

HRESULT CEnumPins::Create(CBaseFilter* filter, IEnumPins** ppEnum) {
  CheckPointer(ppEnum, E_POINTER);
  *ppEnum = nullptr;
  auto* e = new (std::nothrow) CEnumPins(filter);
  if (!e) return E_OUTOFMEMORY;
  return e->NonDelegatingQueryInterface(IID_IEnumPins, reinterpret_cast<void**>(ppEnum));
}

HRESULT STDMETHODCALLTYPE CEnumPins::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IEnumPins) return GetInterfaceAs<IEnumPins>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
  CheckPointer(pins, E_POINTER);
  if (fetched) *fetched = 0;
  else if (count > 1) return E_INVALIDARG;
  if (m_Version != m_pFilter->GetPinVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  ULONG got = 0;
  int total = m_pFilter->GetPinCount();
  while (got < count && m_Position < total) {
    CBasePin* pin = m_pFilter->GetPin(m_Position++);
    if (!pin) continue;
    pins[got] = pin;
    pin->AddRef();
    ++got;
  }
  if (fetched) *fetched = got;
  return got == count ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG count) {
  if (m_Version != m_pFilter->GetPinVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  int total = m_pFilter->GetPinCount();
  if (static_cast<long long>(m_Position) + count > total) {
    m_Position = total;
    return S_FALSE;
  }
  m_Position += static_cast<int>(count);
  return S_OK;
}

STDMETHODIMP CEnumPins::Reset() {
  m_Version = m_pFilter->GetPinVersion();
  m_Position = 0;
  return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins** ppEnum) {
  CheckPointer(ppEnum, E_POINTER);
  *ppEnum = nullptr;
  auto* e = new (std::nothrow) CEnumPins(m_pFilter);
  if (!e) return E_OUTOFMEMORY;
  e->m_Position = m_Position;
  e->m_Version = m_Version;
  return e->NonDelegatingQueryInterface(IID_IEnumPins, reinterpret_cast<void**>(ppEnum));
}

// ---------------------------------------------------------------------------
// CEnumMediaTypes

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin)
    : CUnknown("media type enumerator", nullptr), m_pPin(pin), m_Version(pin->GetMediaTypeVersion()) {
  m_pPin->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

HRESULT CEnumMediaTypes::Create(CBasePin* pin, IEnumMediaTypes** ppEnum) {
  CheckPointer(ppEnum, E_POINTER);
  *ppEnum = nullptr;
  auto* e = new (std::nothrow) CEnumMediaTypes(pin);
  if (!e) return E_OUTOFMEMORY;
  return e->NonDelegatingQueryInterface(IID_IEnumMediaTypes, reinterpret_cast<void**>(ppEnum));
}

HRESULT STDMETHODCALLTYPE CEnumMediaTypes::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IEnumMediaTypes) return GetInterfaceAs<IEnumMediaTypes>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
  CheckPointer(types, E_POINTER);
  if (fetched) *fetched = 0;
  else if (count > 1) return E_INVALIDARG;
  if (m_Version != m_pPin->GetMediaTypeVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  ULONG got = 0;
  while (got < count) {
    CMediaType mt;
    HRESULT hr = m_pPin->GetMediaType(m_Position, &mt);
    if (hr != S_OK) break;
    ++m_Position;
    AM_MEDIA_TYPE* copy = CreateMediaType(&mt);
    if (!copy) {
      for (ULONG i = 0; i < got; ++i) {
        DeleteMediaType(types[i]);
        types[i] = nullptr;
      }
      return E_OUTOFMEMORY;
    }
    types[got++] = copy;
  }
  if (fetched) *fetched = got;
  return got == count ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG count) {
  if (m_Version != m_pPin->GetMediaTypeVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  while (count > 0) {
    CMediaType mt;
    if (m_pPin->GetMediaType(m_Position, &mt) != S_OK) return S_FALSE;
    ++m_Position;
    --count;
  }
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Reset() {
  m_Version = m_pPin->GetMediaTypeVersion();
  m_Position = 0;
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes** ppEnum) {
  CheckPointer(ppEnum, E_POINTER);
  *ppEnum = nullptr;
  auto* e = new (std::nothrow) CEnumMediaTypes(m_pPin);
  if (!e) return E_OUTOFMEMORY;
  e->m_Position = m_Position;
  e->m_Version = m_Version;
  return e->NonDelegatingQueryInterface(IID_IEnumMediaTypes, reinterpret_cast<void**>(ppEnum));
}
