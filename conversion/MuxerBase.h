// What the muxer filter and the fast null muxer share: two queued input
// pins ("Video" and "Audio"), one worker thread that takes their records in
// time order, the end-of-run events and the seeking interface that reports
// duration and position.
//
// A derived filter creates the two pins and says what a run does with the
// records (BeginRun, TakeSample, EndRun, AbortRun).
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "conversion/MpegInputPin.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/SinkPosition.h"

class CMuxerBase : public CBaseFilter, public CCritSec, public CAMThread, public IMediaSeeking {
 public:
  enum WorkerCommand : DWORD { CMD_EXIT = 0, CMD_RUN = 1 };

  CMuxerBase(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid);
  ~CMuxerBase() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  int GetPinCount() override { return 2; }
  CBasePin* GetPin(int n) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // IMediaSeeking: duration and current position in media time only.
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

  // The interleaving rule over the active pins, in list order: a record
  // without a valid time, a late key sample or an end of stream is taken
  // at once; otherwise the smallest start time wins (the earlier pin on a
  // tie). While an active pin has nothing queued the rule takes nothing and
  // releases every pin's waits, so that the other stream can run ahead.
  static std::unique_ptr<MuxSample> GetNextSample(const std::vector<CMpegInputPin*>& active);

 protected:
  CMpegInputPin* InputPin(int n) const { return m_pins[n].get(); }
  void SetPins(std::unique_ptr<CMpegInputPin> video, std::unique_ptr<CMpegInputPin> audio);

  // Checked when leaving the stopped state; a failure refuses the start.
  virtual HRESULT CanStart() { return S_OK; }
  // The run's steps, on the worker thread. A failure of BeginRun, TakeSample
  // or EndRun ends the run with EC_ERRORABORT after AbortRun.
  virtual HRESULT BeginRun() { return S_OK; }
  virtual HRESULT TakeSample(MuxSample& sample) = 0;
  virtual HRESULT EndRun() { return S_OK; }
  virtual void AbortRun() {}
  // Asked now and then while Stop waits for the worker, with the time the
  // wait began: TRUE when the run's output is stuck (it has taken nothing
  // for long), after which every further write of the run fails; the
  // blocked call is then broken so that the worker can end.
  virtual bool AbandonStalledOutput(int64_t /*waitSinceNs*/) { return false; }

  // Ends the worker; derived destructors call it before their own members
  // go, because the worker calls into them.
  void EndWorker();

  DWORD ThreadProc() override;

  REFERENCE_TIME m_rtOffset = 0;
  // The reported position, by stream (video 0, audio 1), in the times the
  // records came with.
  CSinkPosition m_position{2};

 private:
  void RunLoop();

  std::unique_ptr<CMpegInputPin> m_pins[2];
  std::vector<CMpegInputPin*> m_active;  // worker only
};
