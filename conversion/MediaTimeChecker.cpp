#include "conversion/MediaTimeChecker.h"

#include <new>

namespace {

REFERENCE_TIME SaturatingAdd(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

}  // namespace

CMediaTimeChecker::CMediaTimeChecker(LPUNKNOWN outer, HRESULT*)
    : CPassThroughFilter(NAME("CMediaTimeChecker"), outer, CLSID_MediaTimeChecker) {}

HRESULT CMediaTimeChecker::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  CMediaTimeChecker* filter = new (std::nothrow) CMediaTimeChecker(nullptr, &hr);
  if (!filter) return E_OUTOFMEMORY;
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

HRESULT CMediaTimeChecker::CheckInputType(const CMediaType* in) {
  CheckPointer(in, E_POINTER);
  if (!IsStopped()) return IsAcceptedFormatChange(*in) ? S_OK : E_INVALIDARG;
  return *in->Type() == MEDIATYPE_Audio || *in->Type() == MEDIATYPE_Video ? S_OK : E_INVALIDARG;
}

bool CMediaTimeChecker::IsAcceptedFormatChange(const CMediaType& in) {
  if (!m_pInput || !m_pInput->IsConnected()) return false;
  const CMediaType& now = m_pInput->CurrentMediaType();
  if (*in.Type() != *now.Type() || *in.Subtype() != *now.Subtype() || *in.FormatType() != *now.FormatType())
    return false;
  IPin* peer = m_pOutput ? m_pOutput->GetConnected() : nullptr;
  return !peer || peer->QueryAccept(&in) == S_OK;
}

HRESULT CMediaTimeChecker::CheckTransform(const CMediaType* in, const CMediaType* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  if (*in == *out) return S_OK;
  // A format change while streaming keeps the kind of the connection.
  return !IsStopped() && *in->Type() == *out->Type() && *in->Subtype() == *out->Subtype() &&
                 *in->FormatType() == *out->FormatType()
             ? S_OK
             : E_UNEXPECTED;
}

HRESULT CMediaTimeChecker::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  return pmt->Set(m_pInput->CurrentMediaType());
}

HRESULT CMediaTimeChecker::StartStreaming() {
  m_rtLastStop = 0;
  return S_OK;
}

HRESULT CMediaTimeChecker::CompleteConnect(PIN_DIRECTION dir, IPin* receivePin) {
  return CTransformFilter::CompleteConnect(dir, receivePin);
}

HRESULT CMediaTimeChecker::OrderTimes(IMediaSample* in, IMediaSample* out) {
  REFERENCE_TIME start = 0, stop = 0;
  // An untimed sample passes as it is: there is nothing to order.
  if (FAILED(in->GetTime(&start, &stop))) return S_OK;
  if (start == 0) m_rtLastStop = 0;  // a new beginning
  if (start < m_rtLastStop) {
    REFERENCE_TIME shift;
    if (__builtin_sub_overflow(m_rtLastStop, start, &shift)) shift = INT64_MAX;
    stop = SaturatingAdd(stop, shift);
    start = m_rtLastStop;
  }
  m_rtLastStop = stop;
  return out->SetTime(&start, &stop);
}
