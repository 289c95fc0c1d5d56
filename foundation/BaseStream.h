// The output pin of push sources that make one frame per sample at a fixed
// frame time. Seeking, rate and stop changes act directly on the pin's
// frame counter; a derived stream supplies the media type and FillFrame.
#pragma once

#include <atomic>

#include "platform/dshow/BaseClasses.h"

class CBaseStream : public CSourceStream, public CSourceSeeking {
 public:
  CBaseStream(LPCTSTR name, CSource* filter, HRESULT* phr);

  // Both bases answer through the pin, whose count is its filter's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return CSourceStream::GetOwner()->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return CSourceStream::GetOwner()->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return CSourceStream::GetOwner()->Release(); }
  // IMediaSeeking from the seeking side, everything else from the pin.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Fills the frame `frameNumber` into `buffer`; `length` holds the
  // buffer's size on entry and the bytes written on return. S_FALSE ends
  // the stream; a failure aborts it.
  virtual HRESULT FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) = 0;

  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadCreate() override;
  HRESULT OnThreadDestroy() override { return S_OK; }
  HRESULT OnThreadStartPlay() override;

  // IMediaSeeking
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetCurrentPosition(LONGLONG* current) override { return E_NOTIMPL; }

  // IQualityControl
  STDMETHODIMP Notify(IBaseFilter* self, Quality q) override { return E_NOTIMPL; }

 protected:
  HRESULT ChangeStart() override;
  HRESULT ChangeStop() override;
  HRESULT ChangeRate() override { return S_OK; }

  // Guards every field below and the seeking positions.
  CCritSec m_cSharedState;
  // One frame; must be positive before streaming.
  REFERENCE_TIME m_AvgTimePerFrame = 0;
  // Time stamp of the next sample, counted from the last (re)start.
  REFERENCE_TIME m_rtSampleTime = 0;
  // Media position of the next sample.
  REFERENCE_TIME m_rtPosition = 0;
  bool m_bDiscontinuity = false;
  std::atomic<bool> m_bFlushing{false};

 private:
  // Flushes downstream and restarts the worker from the start position.
  void UpdateFromSeek();
};
