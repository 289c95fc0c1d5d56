// The seeking interface of filters and pins that know only media time.
// CMediaTimeSeeking answers the questions of capability and time format
// itself and leaves positions, duration and rate to the filter;
// CForwardedSeeking passes every call on to the seeking interface of
// another object (the filter upstream, or the filter of a pin).
#pragma once

#include "platform/dshow/Interfaces.h"

class CMediaTimeSeeking : public IMediaSeeking {
 public:
  // caps: what GetCapabilities answers (AM_SEEKING_* bits).
  explicit CMediaTimeSeeking(DWORD caps = 0) : m_dwSeekingCaps(caps) {}

  STDMETHODIMP GetCapabilities(DWORD* capabilities) override;
  // S_OK when all asked bits are had, S_FALSE when some are, E_FAIL when
  // none are; the asked bits are cut down to those had.
  STDMETHODIMP CheckCapabilities(DWORD* capabilities) override;
  STDMETHODIMP IsFormatSupported(const GUID* format) override;
  // The format in use; a filter that offers more than media time
  // overrides GetTimeFormat alone.
  STDMETHODIMP QueryPreferredFormat(GUID* format) override { return GetTimeFormat(format); }
  STDMETHODIMP GetTimeFormat(GUID* format) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID* format) override { return IsFormatSupported(format); }
  STDMETHODIMP SetTimeFormat(const GUID* format) override;
  // What a filter that knows neither duration nor positions answers.
  STDMETHODIMP GetDuration(LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override { return GetDuration(stop); }
  STDMETHODIMP GetCurrentPosition(LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP SetPositions(LONGLONG*, DWORD, LONGLONG*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetPositions(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  // Everything from 0 to the duration; S_OK when only the earliest is asked.
  STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
  STDMETHODIMP SetRate(double) override { return E_NOTIMPL; }
  STDMETHODIMP GetRate(double*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPreroll(LONGLONG* preroll) override;

 protected:
  ~CMediaTimeSeeking() = default;

  // ConvertTimeFormat for those that convert: media time to media time is
  // the same number (a null format is media time); anything else is
  // E_INVALIDARG.
  static HRESULT ConvertMediaTime(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                  const GUID* sourceFormat);

  DWORD m_dwSeekingCaps;
};

class CForwardedSeeking : public IMediaSeeking {
 public:
  STDMETHODIMP GetCapabilities(DWORD* capabilities) override;
  STDMETHODIMP CheckCapabilities(DWORD* capabilities) override;
  STDMETHODIMP IsFormatSupported(const GUID* format) override;
  STDMETHODIMP QueryPreferredFormat(GUID* format) override;
  STDMETHODIMP GetTimeFormat(GUID* format) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID* format) override;
  STDMETHODIMP SetTimeFormat(const GUID* format) override;
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
  STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                 const GUID* sourceFormat) override;
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetRate(double* rate) override;
  STDMETHODIMP GetPreroll(LONGLONG* preroll) override;

 protected:
  ~CForwardedSeeking() = default;

  // The interface every call goes to, with a reference the call releases;
  // a failure is the answer to the call.
  virtual HRESULT SeekingTarget(IMediaSeeking** target) = 0;

 private:
  template <class Call>
  HRESULT Forward(Call&& call) {
    IMediaSeeking* target = nullptr;
    HRESULT hr = SeekingTarget(&target);
    if (FAILED(hr)) return hr;
    hr = call(target);
    target->Release();
    return hr;
  }
};
