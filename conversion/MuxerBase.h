// What the muxer filter and the fast null muxer share: two queued input
// pins ("Video" and "Audio") on the queued sink's worker, the upstream
// duration and the seeking that reaches the source.
//
// A derived filter creates the two pins and says what a run does with the
// records (BeginRun, TakeSample, EndRun, AbortRun).
#pragma once

#include <memory>
#include <vector>

#include "conversion/MpegInputPin.h"
#include "platform/dshow/QueuedSink.h"

class CMuxerBase : public CQueuedSinkFilter {
 public:
  CMuxerBase(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid);
  ~CMuxerBase() override;

  int GetPinCount() override { return 2; }
  CBasePin* GetPin(int n) override;

  STDMETHODIMP Stop() override;

  // IMediaSeeking: the longest upstream duration (0 when none), and seeking
  // passed on upstream while stopped.
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;

  // The interleaving rule of the queued sink over the muxer's pins.
  static std::unique_ptr<MuxSample> GetNextSample(const std::vector<CMpegInputPin*>& active);

 protected:
  CMpegInputPin* InputPin(int n) const { return m_pins[n].get(); }
  void SetPins(std::unique_ptr<CMpegInputPin> video, std::unique_ptr<CMpegInputPin> audio);

  virtual HRESULT TakeSample(MuxSample& sample) = 0;

  REFERENCE_TIME m_rtOffset = 0;

 private:
  HRESULT TakeRecord(QueuedRecord& record) override;

  std::unique_ptr<CMpegInputPin> m_pins[2];
};
