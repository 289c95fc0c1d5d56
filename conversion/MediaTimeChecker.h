// "Media VTimer": a pass-through filter that keeps time stamps from running
// backwards. A sample that starts before the end of the previous one is
// moved to start there, keeping its duration, for encoders that refuse
// overlapping or decreasing times.
#pragma once

#include "conversion/PassThroughFilter.h"

PELLOMAR_DEFINE_GUID(CLSID_MediaTimeChecker, "C2912AD9-F4F2-4EA2-A165-03A4D4287192");

class CMediaTimeChecker : public CPassThroughFilter {
 public:
  CMediaTimeChecker(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT CompleteConnect(PIN_DIRECTION dir, IPin* receivePin) override;

 protected:
  // Samples pass on with their times ordered.
  HRESULT Restamp(IMediaSample* in, IMediaSample* out) override { return OrderTimes(in, out); }

 private:
  // While streaming: a new picture of the input's format that downstream
  // takes too (it passes on with the samples).
  bool IsAcceptedFormatChange(const CMediaType& in);
  // Moves `out`'s times so that they do not start before the end of the
  // previous sample (`in` gives them).
  HRESULT OrderTimes(IMediaSample* in, IMediaSample* out);

  REFERENCE_TIME m_rtLastStop = -1;  // end of the last sample passed on
};
