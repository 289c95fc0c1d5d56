#include "platform/dshow/Transform.h"

#include <cstddef>
#include <cwchar>
#include <new>

#include "platform/dshow/Errors.h"
#include "platform/dshow/PosPassThru.h"

// ---------------------------------------------------------------------------
// CTransformInputPin

CTransformInputPin::CTransformInputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name)
    : CBaseInputPin(objectName, filter, &filter->m_csFilter, phr, name), m_pTransformFilter(filter) {}

HRESULT CTransformInputPin::CheckConnect(IPin* pin) {
  HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_INPUT, pin);
  if (FAILED(hr)) return hr;
  return CBaseInputPin::CheckConnect(pin);
}

HRESULT CTransformInputPin::BreakConnect() {
  m_pTransformFilter->BreakConnect(PINDIR_INPUT);
  return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* receivePin) {
  HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, receivePin);
  if (FAILED(hr)) return hr;
  return CBaseInputPin::CompleteConnect(receivePin);
}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* pmt) {
  HRESULT hr = m_pTransformFilter->CheckInputType(pmt);
  if (hr != S_OK) return hr;
  CTransformOutputPin* out = m_pTransformFilter->m_pOutput;
  if (out && out->IsConnected()) return m_pTransformFilter->CheckTransform(pmt, &out->CurrentMediaType());
  return S_OK;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* pmt) {
  HRESULT hr = CBasePin::SetMediaType(pmt);
  if (FAILED(hr)) return hr;
  return m_pTransformFilter->SetMediaType(PINDIR_INPUT, pmt);
}

STDMETHODIMP CTransformInputPin::Receive(IMediaSample* sample) {
  CAutoLock lock(&m_pTransformFilter->m_csReceive);
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return m_pTransformFilter->Receive(sample);
}

STDMETHODIMP CTransformInputPin::EndOfStream() {
  CAutoLock lock(&m_pTransformFilter->m_csReceive);
  HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  return m_pTransformFilter->EndOfStream();
}

STDMETHODIMP CTransformInputPin::BeginFlush() {
  CAutoLock lock(&m_pTransformFilter->m_csFilter);
  if (!IsConnected() || !m_pTransformFilter->m_pOutput || !m_pTransformFilter->m_pOutput->IsConnected())
    return VFW_E_NOT_CONNECTED;
  HRESULT hr = CBaseInputPin::BeginFlush();
  if (FAILED(hr)) return hr;
  return m_pTransformFilter->BeginFlush();
}

STDMETHODIMP CTransformInputPin::EndFlush() {
  CAutoLock lock(&m_pTransformFilter->m_csFilter);
  if (!IsConnected() || !m_pTransformFilter->m_pOutput || !m_pTransformFilter->m_pOutput->IsConnected())
    return VFW_E_NOT_CONNECTED;
  HRESULT hr = m_pTransformFilter->EndFlush();
  if (FAILED(hr)) return hr;
  return CBaseInputPin::EndFlush();
}

STDMETHODIMP CTransformInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CBasePin::NewSegment(start, stop, rate);
  return m_pTransformFilter->NewSegment(start, stop, rate);
}

// ---------------------------------------------------------------------------
// CTransformOutputPin

CTransformOutputPin::CTransformOutputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr,
                                         LPCWSTR name)
    : CBaseOutputPin(objectName, filter, &filter->m_csFilter, phr, name), m_pTransformFilter(filter) {}

CTransformOutputPin::~CTransformOutputPin() {
  if (m_pPosition) m_pPosition->Release();
}

HRESULT STDMETHODCALLTYPE CTransformOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) {
    if (!m_pPosition) {
      HRESULT hr = S_OK;
      // Aggregated into this pin, so its interfaces answer for the pin.
      auto* pass = new (std::nothrow) CPosPassThru("pass-through seeking", GetOwner(), &hr,
                                                   m_pTransformFilter->m_pInput);
      if (!pass) return E_OUTOFMEMORY;
      m_pPosition = pass->GetInnerUnknown();
      m_pPosition->AddRef();
      if (FAILED(hr)) {
        m_pPosition->Release();
        m_pPosition = nullptr;
        return hr;
      }
    }
    return m_pPosition->QueryInterface(riid, ppv);
  }
  return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CTransformOutputPin::CheckConnect(IPin* pin) {
  // The output's types depend on the input's, so the input goes first.
  if (!m_pTransformFilter->m_pInput || !m_pTransformFilter->m_pInput->IsConnected()) return E_UNEXPECTED;
  HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_OUTPUT, pin);
  if (FAILED(hr)) return hr;
  return CBaseOutputPin::CheckConnect(pin);
}

HRESULT CTransformOutputPin::BreakConnect() {
  m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
  return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* receivePin) {
  HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, receivePin);
  if (FAILED(hr)) return hr;
  return CBaseOutputPin::CompleteConnect(receivePin);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  return m_pTransformFilter->DecideBufferSize(alloc, request);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* pmt) {
  CTransformInputPin* in = m_pTransformFilter->m_pInput;
  if (!in || !in->IsConnected()) return E_INVALIDARG;
  return m_pTransformFilter->CheckTransform(&in->CurrentMediaType(), pmt);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* pmt) {
  HRESULT hr = CBasePin::SetMediaType(pmt);
  if (FAILED(hr)) return hr;
  return m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, pmt);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* pmt) {
  CTransformInputPin* in = m_pTransformFilter->m_pInput;
  if (!in || !in->IsConnected()) return VFW_S_NO_MORE_ITEMS;
  return m_pTransformFilter->GetMediaType(position, pmt);
}

STDMETHODIMP CTransformOutputPin::Notify(IBaseFilter*, Quality q) {
  HRESULT hr = m_pTransformFilter->AlterQuality(q);
  if (hr != S_FALSE) return hr;
  if (!m_pTransformFilter->m_pInput) return VFW_E_NOT_FOUND;
  return m_pTransformFilter->m_pInput->PassNotify(q);
}

// ---------------------------------------------------------------------------
// CTransformFilter

CTransformFilter::CTransformFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid)
    : CBaseFilter(name, outer, &m_csFilter, clsid) {}

CTransformFilter::~CTransformFilter() {
  // The pins share the filter's reference count and die with it.
  delete m_pInput;
  delete m_pOutput;
}

int CTransformFilter::GetPinCount() { return 2; }

CBasePin* CTransformFilter::GetPin(int n) {
  if (!m_pInput) {
    HRESULT hr = S_OK;
    m_pInput = new (std::nothrow) CTransformInputPin("transform input", this, &hr, L"XForm In");
    if (!m_pInput) return nullptr;
  }
  if (!m_pOutput) {
    HRESULT hr = S_OK;
    m_pOutput = new (std::nothrow) CTransformOutputPin("transform output", this, &hr, L"XForm Out");
    if (!m_pOutput) return nullptr;
  }
  if (n == 0) return m_pInput;
  if (n == 1) return m_pOutput;
  return nullptr;
}

STDMETHODIMP CTransformFilter::FindPin(LPCWSTR id, IPin** ppPin) {
  CheckPointer(ppPin, E_POINTER);
  *ppPin = nullptr;
  CheckPointer(id, E_POINTER);
  CBasePin* pin = nullptr;
  if (std::wcscmp(id, L"In") == 0) pin = GetPin(0);
  else if (std::wcscmp(id, L"Out") == 0) pin = GetPin(1);
  if (!pin) return CBaseFilter::FindPin(id, ppPin);
  *ppPin = pin;
  pin->AddRef();
  return S_OK;
}

STDMETHODIMP CTransformFilter::Stop() {
  CAutoLock lock(&m_csFilter);
  if (m_State == State_Stopped) return S_OK;
  if (!m_pInput || !m_pInput->IsConnected() || !m_pOutput || !m_pOutput->IsConnected()) {
    m_State = State_Stopped;
    m_bEOSDelivered = false;
    return S_OK;
  }
  // The input first, so that Receive fails from now on; then wait for a
  // Receive in progress before stopping the output.
  m_pInput->Inactive();
  CAutoLock receive(&m_csReceive);
  m_pOutput->Inactive();
  HRESULT hr = StopStreaming();
  if (SUCCEEDED(hr)) {
    m_State = State_Stopped;
    m_bEOSDelivered = false;
  }
  return hr;
}

STDMETHODIMP CTransformFilter::Pause() {
  CAutoLock lock(&m_csFilter);
  HRESULT hr = S_OK;
  if (m_State == State_Paused) return S_OK;
  if (!m_pInput || !m_pInput->IsConnected()) {
    // Nothing will ever come in: tell downstream so it can complete.
    if (m_pOutput && m_pOutput->IsConnected() && !m_bEOSDelivered) {
      m_pOutput->DeliverEndOfStream();
      m_bEOSDelivered = true;
    }
  } else if (!m_pOutput || !m_pOutput->IsConnected()) {
    // Input connected, output not: nothing to deliver to.
  } else if (m_State == State_Stopped) {
    CAutoLock receive(&m_csReceive);
    hr = StartStreaming();
  }
  if (SUCCEEDED(hr)) hr = CBaseFilter::Pause();
  m_bSampleSkipped = false;
  m_bQualityChanged = false;
  return hr;
}

HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) { return E_UNEXPECTED; }
HRESULT CTransformFilter::StartStreaming() { return S_OK; }
HRESULT CTransformFilter::StopStreaming() { return S_OK; }
HRESULT CTransformFilter::AlterQuality(Quality) { return S_FALSE; }
HRESULT CTransformFilter::SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }
HRESULT CTransformFilter::CheckConnect(PIN_DIRECTION, IPin*) { return S_OK; }
HRESULT CTransformFilter::BreakConnect(PIN_DIRECTION) { return S_OK; }
HRESULT CTransformFilter::CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* sample, IMediaSample** outSample) {
  CheckPointer(outSample, E_POINTER);
  *outSample = nullptr;
  if (!m_pOutput || !m_pOutput->m_pAllocator) return VFW_E_NOT_CONNECTED;
  AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  DWORD flags = m_bSampleSkipped ? AM_GBF_PREVFRAMESKIPPED : 0;
  if (!(props->dwSampleFlags & AM_SAMPLE_SPLICEPOINT)) flags |= AM_GBF_NOTASYNCPOINT;
  IMediaSample* out = nullptr;
  HRESULT hr = m_pOutput->m_pAllocator->GetBuffer(&out, nullptr, nullptr, flags);
  if (FAILED(hr)) return hr;

  IMediaSample2* out2 = nullptr;
  if (SUCCEEDED(out->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&out2))) && out2) {
    AM_SAMPLE2_PROPERTIES o{};
    const DWORD upToStreamId = offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId);
    out2->GetProperties(upToStreamId, reinterpret_cast<BYTE*>(&o));
    o.dwTypeSpecificFlags = props->dwTypeSpecificFlags;
    // The output's own type change (set by downstream) is kept; the input's
    // type belongs to the input.
    o.dwSampleFlags = (o.dwSampleFlags & AM_SAMPLE_TYPECHANGED) | (props->dwSampleFlags & ~AM_SAMPLE_TYPECHANGED);
    o.tStart = props->tStart;
    o.tStop = props->tStop;
    o.cbData = upToStreamId;
    hr = out2->SetProperties(upToStreamId, reinterpret_cast<BYTE*>(&o));
    out2->Release();
  } else {
    if (props->dwSampleFlags & AM_SAMPLE_TIMEVALID)
      out->SetTime(&props->tStart, (props->dwSampleFlags & AM_SAMPLE_STOPVALID) ? &props->tStop : nullptr);
    out->SetSyncPoint((props->dwSampleFlags & AM_SAMPLE_SPLICEPOINT) != 0);
    out->SetDiscontinuity((props->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0);
    out->SetPreroll((props->dwSampleFlags & AM_SAMPLE_PREROLL) != 0);
  }
  if (props->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) m_bSampleSkipped = false;
  // Media times are passed on when the input has them.
  LONGLONG mStart = 0, mEnd = 0;
  if (sample->GetMediaTime(&mStart, &mEnd) == S_OK) out->SetMediaTime(&mStart, &mEnd);
  if (FAILED(hr)) {
    out->Release();
    return hr;
  }
  *outSample = out;
  return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* sample) {
  if (!m_pOutput || !m_pOutput->m_pInputPin) return VFW_E_NOT_CONNECTED;
  AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  if (props->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->m_pInputPin->Receive(sample);

  IMediaSample* out = nullptr;
  HRESULT hr = InitializeOutputSample(sample, &out);
  if (FAILED(hr)) return hr;
  hr = Transform(sample, out);
  if (hr == S_OK) {
    hr = m_pOutput->m_pInputPin->Receive(out);
    m_bSampleSkipped = false;
  } else if (hr == S_FALSE) {
    // Nothing to deliver for this sample; not an error and not a gap.
    hr = S_OK;
  }
  out->Release();
  return hr;
}

HRESULT CTransformFilter::EndOfStream() {
  if (!m_pOutput) return VFW_E_NOT_CONNECTED;
  return m_pOutput->DeliverEndOfStream();
}

HRESULT CTransformFilter::BeginFlush() {
  if (!m_pOutput) return VFW_E_NOT_CONNECTED;
  return m_pOutput->DeliverBeginFlush();
}

HRESULT CTransformFilter::EndFlush() {
  if (!m_pOutput) return VFW_E_NOT_CONNECTED;
  return m_pOutput->DeliverEndFlush();
}

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  if (!m_pOutput) return VFW_E_NOT_CONNECTED;
  return m_pOutput->DeliverNewSegment(start, stop, rate);
}
