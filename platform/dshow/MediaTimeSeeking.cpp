#include "platform/dshow/MediaTimeSeeking.h"

#include "platform/dshow/Guids.h"
#include "platform/dshow/Unknown.h"

STDMETHODIMP CMediaTimeSeeking::GetCapabilities(DWORD* capabilities) {
  CheckPointer(capabilities, E_POINTER);
  *capabilities = m_dwSeekingCaps;
  return S_OK;
}

STDMETHODIMP CMediaTimeSeeking::CheckCapabilities(DWORD* capabilities) {
  CheckPointer(capabilities, E_POINTER);
  DWORD have = 0;
  const HRESULT hr = GetCapabilities(&have);
  if (FAILED(hr)) return hr;
  const DWORD asked = *capabilities;
  *capabilities = asked & have;
  if (*capabilities == asked) return S_OK;
  return *capabilities ? S_FALSE : E_FAIL;
}

STDMETHODIMP CMediaTimeSeeking::IsFormatSupported(const GUID* format) {
  CheckPointer(format, E_POINTER);
  return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

STDMETHODIMP CMediaTimeSeeking::GetTimeFormat(GUID* format) {
  CheckPointer(format, E_POINTER);
  *format = TIME_FORMAT_MEDIA_TIME;
  return S_OK;
}

STDMETHODIMP CMediaTimeSeeking::SetTimeFormat(const GUID* format) {
  CheckPointer(format, E_POINTER);
  return IsFormatSupported(format) == S_OK ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CMediaTimeSeeking::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
  if (earliest) *earliest = 0;
  return latest ? GetDuration(latest) : S_OK;
}

STDMETHODIMP CMediaTimeSeeking::GetPreroll(LONGLONG* preroll) {
  CheckPointer(preroll, E_POINTER);
  *preroll = 0;
  return S_OK;
}

HRESULT CMediaTimeSeeking::ConvertMediaTime(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                            const GUID* sourceFormat) {
  CheckPointer(target, E_POINTER);
  auto mediaTime = [](const GUID* format) { return !format || *format == TIME_FORMAT_MEDIA_TIME; };
  if (!mediaTime(targetFormat) || !mediaTime(sourceFormat)) return E_INVALIDARG;
  *target = source;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CForwardedSeeking

STDMETHODIMP CForwardedSeeking::GetCapabilities(DWORD* capabilities) {
  return Forward([&](IMediaSeeking* s) { return s->GetCapabilities(capabilities); });
}
STDMETHODIMP CForwardedSeeking::CheckCapabilities(DWORD* capabilities) {
  return Forward([&](IMediaSeeking* s) { return s->CheckCapabilities(capabilities); });
}
STDMETHODIMP CForwardedSeeking::IsFormatSupported(const GUID* format) {
  return Forward([&](IMediaSeeking* s) { return s->IsFormatSupported(format); });
}
STDMETHODIMP CForwardedSeeking::QueryPreferredFormat(GUID* format) {
  return Forward([&](IMediaSeeking* s) { return s->QueryPreferredFormat(format); });
}
STDMETHODIMP CForwardedSeeking::GetTimeFormat(GUID* format) {
  return Forward([&](IMediaSeeking* s) { return s->GetTimeFormat(format); });
}
STDMETHODIMP CForwardedSeeking::IsUsingTimeFormat(const GUID* format) {
  return Forward([&](IMediaSeeking* s) { return s->IsUsingTimeFormat(format); });
}
STDMETHODIMP CForwardedSeeking::SetTimeFormat(const GUID* format) {
  return Forward([&](IMediaSeeking* s) { return s->SetTimeFormat(format); });
}
STDMETHODIMP CForwardedSeeking::GetDuration(LONGLONG* duration) {
  return Forward([&](IMediaSeeking* s) { return s->GetDuration(duration); });
}
STDMETHODIMP CForwardedSeeking::GetStopPosition(LONGLONG* stop) {
  return Forward([&](IMediaSeeking* s) { return s->GetStopPosition(stop); });
}
STDMETHODIMP CForwardedSeeking::GetCurrentPosition(LONGLONG* current) {
  return Forward([&](IMediaSeeking* s) { return s->GetCurrentPosition(current); });
}
STDMETHODIMP CForwardedSeeking::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                                  const GUID* sourceFormat) {
  return Forward([&](IMediaSeeking* s) { return s->ConvertTimeFormat(target, targetFormat, source, sourceFormat); });
}
STDMETHODIMP CForwardedSeeking::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                             DWORD stopFlags) {
  return Forward([&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); });
}
STDMETHODIMP CForwardedSeeking::GetPositions(LONGLONG* current, LONGLONG* stop) {
  return Forward([&](IMediaSeeking* s) { return s->GetPositions(current, stop); });
}
STDMETHODIMP CForwardedSeeking::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
  return Forward([&](IMediaSeeking* s) { return s->GetAvailable(earliest, latest); });
}
STDMETHODIMP CForwardedSeeking::SetRate(double rate) {
  return Forward([&](IMediaSeeking* s) { return s->SetRate(rate); });
}
STDMETHODIMP CForwardedSeeking::GetRate(double* rate) {
  return Forward([&](IMediaSeeking* s) { return s->GetRate(rate); });
}
STDMETHODIMP CForwardedSeeking::GetPreroll(LONGLONG* preroll) {
  return Forward([&](IMediaSeeking* s) { return s->GetPreroll(preroll); });
}
