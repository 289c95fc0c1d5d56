#include "platform/dshow/BasePin.h"

#include <cwchar>

#include "platform/com/ComBase.h"
#include "platform/dshow/Allocator.h"
#include "platform/dshow/EnumPins.h"
#include "platform/dshow/Errors.h"

namespace {

// Type refusals that say nothing more specific than "no".
bool IsPlainRefusal(HRESULT hr) {
  return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}

}  // namespace

// ---------------------------------------------------------------------------
// CBasePin

CBasePin::CBasePin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name,
                   PIN_DIRECTION dir)
    : CUnknown(objectName, nullptr), m_dir(dir), m_pLock(lock), m_pFilter(filter) {
  SetName(name);
}

CBasePin::~CBasePin() {
  if (m_Connected) {
    m_Connected->Release();
    m_Connected = nullptr;
  }
}

void CBasePin::SetName(LPCWSTR name) {
  m_Name = name ? name : L"";
  m_pName = m_Name.data();
}

HRESULT STDMETHODCALLTYPE CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IPin) return GetInterfaceAs<IPin>(this, ppv);
  if (riid == IID_IQualityControl) return GetInterfaceAs<IQualityControl>(this, ppv);
  if (riid == IID_IUnknown) return GetInterfaceAs<IPin>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }

ULONG STDMETHODCALLTYPE CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

STDMETHODIMP CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt) {
  CheckPointer(receivePin, E_POINTER);
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
  if (pmt) {
    CMediaType mt(*pmt);
    return AgreeMediaType(receivePin, &mt);
  }
  return AgreeMediaType(receivePin, nullptr);
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const CMediaType* pmt) {
  if (pmt && !pmt->IsPartiallySpecified()) return AttemptConnection(receivePin, pmt);

  // Our own types first (the connecting side is normally the output pin,
  // whose types say what it really produces), then the receiver's.
  HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
  for (int pass = 0; pass < 2; ++pass) {
    IEnumMediaTypes* types = nullptr;
    HRESULT hr = pass == 0 ? EnumMediaTypes(&types) : receivePin->EnumMediaTypes(&types);
    if (FAILED(hr) || !types) continue;
    hr = TryMediaTypes(receivePin, pmt, types);
    types->Release();
    if (SUCCEEDED(hr)) return S_OK;
    if (hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_NO_ACCEPTABLE_TYPES) failure = hr;
  }
  return failure;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types) {
  HRESULT hr = types->Reset();
  if (FAILED(hr)) return hr;
  HRESULT failure = S_OK;
  // A bound on the list guards against an enumerator that never ends.
  for (int i = 0; i < 10000; ++i) {
    AM_MEDIA_TYPE* pmt = nullptr;
    ULONG fetched = 0;
    hr = types->Next(1, &pmt, &fetched);
    if (hr != S_OK || fetched != 1 || !pmt) {
      if (pmt) DeleteMediaType(pmt);
      break;
    }
    CMediaType mt(*pmt);
    DeleteMediaType(pmt);
    if (!mt.MatchesPartial(partial)) continue;
    hr = AttemptConnection(receivePin, &mt);
    if (SUCCEEDED(hr)) return hr;
    if (SUCCEEDED(failure) && !IsPlainRefusal(hr)) failure = hr;
  }
  return SUCCEEDED(failure) ? VFW_E_NO_ACCEPTABLE_TYPES : failure;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType* pmt) {
  HRESULT hr = CheckConnect(receivePin);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(pmt);
  if (hr == S_OK) {
    m_Connected = receivePin;
    m_Connected->AddRef();
    hr = SetMediaType(pmt);
    if (SUCCEEDED(hr)) {
      hr = receivePin->ReceiveConnection(this, pmt);
      if (SUCCEEDED(hr)) {
        hr = CompleteConnect(receivePin);
        if (SUCCEEDED(hr)) return hr;
        // The receiver already holds the connection: undo it there too.
        receivePin->Disconnect();
      }
    }
  } else if (IsPlainRefusal(hr)) {
    hr = VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (m_Connected) {
    m_Connected->Release();
    m_Connected = nullptr;
  }
  BreakConnect();
  return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) {
  CheckPointer(connector, E_POINTER);
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
  HRESULT hr = CheckConnect(connector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  CMediaType mt(*pmt);
  hr = CheckMediaType(&mt);
  if (hr != S_OK) {
    BreakConnect();
    return IsPlainRefusal(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
  }
  m_Connected = connector;
  m_Connected->AddRef();
  hr = SetMediaType(&mt);
  if (SUCCEEDED(hr)) {
    hr = CompleteConnect(connector);
    if (SUCCEEDED(hr)) return S_OK;
  }
  m_Connected->Release();
  m_Connected = nullptr;
  BreakConnect();
  return hr;
}

STDMETHODIMP CBasePin::Disconnect() {
  CAutoLock lock(m_pLock);
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  return DisconnectInternal();
}

HRESULT CBasePin::DisconnectInternal() {
  if (!m_Connected) return S_FALSE;
  HRESULT hr = BreakConnect();
  if (FAILED(hr)) return hr;
  m_Connected->Release();
  m_Connected = nullptr;
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin** pin) {
  CheckPointer(pin, E_POINTER);
  IPin* peer = m_Connected;
  *pin = peer;
  if (!peer) return VFW_E_NOT_CONNECTED;
  peer->AddRef();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(m_pLock);
  if (!IsConnected()) {
    CMediaType empty;
    *pmt = empty;
    pmt->lSampleSize = 1;
    pmt->pbFormat = nullptr;
    pmt->cbFormat = 0;
    pmt->pUnk = nullptr;
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(pmt, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* info) {
  CheckPointer(info, E_POINTER);
  info->pFilter = m_pFilter;
  if (m_pFilter) m_pFilter->AddRef();
  size_t n = m_Name.size() < MAX_PIN_NAME - 1 ? m_Name.size() : MAX_PIN_NAME - 1;
  std::wmemcpy(info->achName, m_Name.c_str(), n);
  info->achName[n] = L'\0';
  info->dir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* dir) {
  CheckPointer(dir, E_POINTER);
  *dir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR* id) {
  CheckPointer(id, E_POINTER);
  size_t bytes = (m_Name.size() + 1) * sizeof(WCHAR);
  *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (!*id) return E_OUTOFMEMORY;
  std::wmemcpy(*id, m_Name.c_str(), m_Name.size() + 1);
  return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
  CheckPointer(pmt, E_POINTER);
  CMediaType mt(*pmt);
  HRESULT hr = CheckMediaType(&mt);
  return hr == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
  CheckPointer(ppEnum, E_POINTER);
  return CEnumMediaTypes::Create(this, ppEnum);
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::EndOfStream() { return S_OK; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  m_tStart = start;
  m_tStop = stop;
  m_dRate = rate;
  return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl* sink) {
  CAutoLock lock(m_pLock);
  m_pQSink = sink;
  return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin* pin) {
  PIN_DIRECTION dir;
  HRESULT hr = pin->QueryDirection(&dir);
  if (FAILED(hr)) return hr;
  if (dir == m_dir) return VFW_E_INVALID_DIRECTION;
  return S_OK;
}

// The type version is left alone: it tracks the list of offered types,
// which taking a connection type does not change.
HRESULT CBasePin::SetMediaType(const CMediaType* pmt) { return m_mt.Set(*pmt); }

HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }
HRESULT CBasePin::BreakConnect() { return S_OK; }
HRESULT CBasePin::GetMediaType(int position, CMediaType*) {
  return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}
HRESULT CBasePin::Active() { return S_OK; }
HRESULT CBasePin::Inactive() {
  m_bRunTimeError = false;
  return S_OK;
}
HRESULT CBasePin::Run(REFERENCE_TIME) { return S_OK; }

// ---------------------------------------------------------------------------
// CBaseOutputPin

CBaseOutputPin::CBaseOutputPin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                               LPCWSTR name)
    : CBasePin(objectName, filter, lock, phr, name, PINDIR_OUTPUT) {}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) { return DecideAllocator(m_pInputPin, &m_pAllocator); }

HRESULT CBaseOutputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  if (m_pInputPin) {
    m_pInputPin->Release();
    m_pInputPin = nullptr;
  }
  hr = pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
  if (FAILED(hr) || !m_pInputPin) {
    m_pInputPin = nullptr;
    return VFW_E_NO_TRANSPORT;
  }
  return S_OK;
}

HRESULT CBaseOutputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  if (m_pInputPin) {
    m_pInputPin->Release();
    m_pInputPin = nullptr;
  }
  return S_OK;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** alloc) { return CMemAllocator::Create(alloc); }

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** alloc) {
  if (!pin || !alloc) return E_POINTER;
  *alloc = nullptr;
  ALLOCATOR_PROPERTIES props{};
  pin->GetAllocatorRequirements(&props);
  if (props.cbAlign == 0) props.cbAlign = 1;

  HRESULT hr = pin->GetAllocator(alloc);
  if (SUCCEEDED(hr) && *alloc) {
    ALLOCATOR_PROPERTIES request = props;
    hr = DecideBufferSize(*alloc, &request);
    if (SUCCEEDED(hr)) {
      hr = pin->NotifyAllocator(*alloc, FALSE);
      if (SUCCEEDED(hr)) return S_OK;
    }
  }
  if (*alloc) {
    (*alloc)->Release();
    *alloc = nullptr;
  }

  hr = InitAllocator(alloc);
  if (SUCCEEDED(hr) && *alloc) {
    ALLOCATOR_PROPERTIES request = props;
    hr = DecideBufferSize(*alloc, &request);
    if (SUCCEEDED(hr)) {
      hr = pin->NotifyAllocator(*alloc, FALSE);
      if (SUCCEEDED(hr)) return S_OK;
    }
  }
  if (*alloc) {
    (*alloc)->Release();
    *alloc = nullptr;
  }
  return FAILED(hr) ? hr : VFW_E_NO_ALLOCATOR;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                          DWORD flags) {
  CheckPointer(sample, E_POINTER);
  *sample = nullptr;
  if (!m_pAllocator) return E_NOINTERFACE;
  return m_pAllocator->GetBuffer(sample, start, end, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
  if (!m_pInputPin) return VFW_E_NOT_CONNECTED;
  return m_pInputPin->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
  IPin* peer = m_Connected;
  return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
  IPin* peer = m_Connected;
  return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
  IPin* peer = m_Connected;
  return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  IPin* peer = m_Connected;
  return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::Active() {
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive() {
  m_bRunTimeError = false;
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Decommit();
}

STDMETHODIMP CBaseOutputPin::EndOfStream() { return E_UNEXPECTED; }
STDMETHODIMP CBaseOutputPin::BeginFlush() { return E_UNEXPECTED; }
STDMETHODIMP CBaseOutputPin::EndFlush() { return E_UNEXPECTED; }

// ---------------------------------------------------------------------------
// CBaseInputPin

CBaseInputPin::CBaseInputPin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                             LPCWSTR name)
    : CBasePin(objectName, filter, lock, phr, name, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() {
  if (m_pAllocator) {
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  if (m_pOwnedSampleType) DeleteMediaType(m_pOwnedSampleType);
}

HRESULT STDMETHODCALLTYPE CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMemInputPin) return GetInterfaceAs<IMemInputPin>(this, ppv);
  return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseInputPin::GetAllocator(IMemAllocator** alloc) {
  CheckPointer(alloc, E_POINTER);
  CAutoLock lock(m_pLock);
  if (!m_pAllocator) {
    HRESULT hr = CMemAllocator::Create(&m_pAllocator);
    if (FAILED(hr)) return hr;
  }
  *alloc = m_pAllocator;
  m_pAllocator->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseInputPin::NotifyAllocator(IMemAllocator* alloc, BOOL readOnly) {
  CheckPointer(alloc, E_POINTER);
  CAutoLock lock(m_pLock);
  alloc->AddRef();
  if (m_pAllocator) m_pAllocator->Release();
  m_pAllocator = alloc;
  m_bReadOnly = readOnly;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT CBaseInputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
  m_bRunTimeError = false;
  m_bFlushing = FALSE;
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Decommit();
}

HRESULT CBaseInputPin::CheckStreaming() {
  if (!IsConnected()) return VFW_E_NOT_CONNECTED;
  if (IsStopped()) return VFW_E_WRONG_STATE;
  if (m_bFlushing) return S_FALSE;
  if (m_bRunTimeError) return VFW_E_RUNTIME_ERROR;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::Receive(IMediaSample* sample) {
  CheckPointer(sample, E_POINTER);
  HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;

  if (m_pOwnedSampleType) {
    DeleteMediaType(m_pOwnedSampleType);
    m_pOwnedSampleType = nullptr;
  }
  m_SampleProps = AM_SAMPLE2_PROPERTIES{};
  IMediaSample2* sample2 = nullptr;
  if (SUCCEEDED(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2))) && sample2) {
    hr = sample2->GetProperties(sizeof(m_SampleProps), reinterpret_cast<BYTE*>(&m_SampleProps));
    sample2->Release();
    if (FAILED(hr)) return hr;
  } else {
    m_SampleProps.cbData = sizeof(m_SampleProps);
    m_SampleProps.dwStreamId = AM_STREAM_MEDIA;
    hr = sample->GetTime(&m_SampleProps.tStart, &m_SampleProps.tStop);
    if (SUCCEEDED(hr)) {
      m_SampleProps.dwSampleFlags |= AM_SAMPLE_TIMEVALID;
      if (hr == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_STOPVALID;
    }
    if (sample->GetMediaType(&m_pOwnedSampleType) == S_OK && m_pOwnedSampleType) {
      m_SampleProps.pMediaType = m_pOwnedSampleType;
      m_SampleProps.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
    }
    if (sample->IsDiscontinuity() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_DATADISCONTINUITY;
    if (sample->IsPreroll() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_PREROLL;
    if (sample->IsSyncPoint() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_SPLICEPOINT;
    sample->GetPointer(&m_SampleProps.pbBuffer);
    m_SampleProps.lActual = sample->GetActualDataLength();
    m_SampleProps.cbBuffer = sample->GetSize();
  }

  if (!(m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) || !m_SampleProps.pMediaType) return S_OK;

  CMediaType mt(*m_SampleProps.pMediaType);
  hr = CheckMediaType(&mt);
  if (hr == S_OK) return S_OK;
  // A type change we cannot follow ends this stream.
  m_bRunTimeError = true;
  EndOfStream();
  m_pFilter->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
  return VFW_E_INVALIDMEDIATYPE;
}

STDMETHODIMP CBaseInputPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
  CheckPointer(samples, E_POINTER);
  CheckPointer(processed, E_POINTER);
  HRESULT hr = S_OK;
  *processed = 0;
  while (count-- > 0) {
    hr = Receive(samples[*processed]);
    if (hr != S_OK) break;
    ++*processed;
  }
  return hr;
}

STDMETHODIMP CBaseInputPin::ReceiveCanBlock() { return S_OK; }

STDMETHODIMP CBaseInputPin::BeginFlush() {
  CAutoLock lock(m_pLock);
  m_bFlushing = TRUE;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::EndFlush() {
  CAutoLock lock(m_pLock);
  m_bFlushing = FALSE;
  m_bRunTimeError = false;
  return S_OK;
}

HRESULT CBaseInputPin::PassNotify(Quality& q) {
  if (m_pQSink) return m_pQSink->Notify(m_pFilter, q);
  IPin* peer = m_Connected;
  if (!peer) return VFW_E_NOT_FOUND;
  IQualityControl* qc = nullptr;
  HRESULT hr = peer->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&qc));
  if (FAILED(hr) || !qc) return VFW_E_NOT_FOUND;
  hr = qc->Notify(m_pFilter, q);
  qc->Release();
  return hr;
}

STDMETHODIMP CBaseInputPin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }
