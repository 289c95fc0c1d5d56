// The fast null muxer: the sink of the video-to-pictures graph. The filter
// in front of it writes the pictures; this one only takes the stream as
// fast as it comes and tells the graph when every connected input ended.
#pragma once

#include "conversion/MuxerBase.h"

PELLOMAR_DEFINE_GUID(CLSID_FastNullMuxer, "CD9D4D08-6F9B-429C-943C-3AC2E0251456");

// Its pins queue like the muxer's but take any video ("Video") or any type
// but video ("Audio").
class CNullInputPin : public CMpegInputPin {
 public:
  CNullInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video);
  HRESULT CheckMediaType(const CMediaType* pmt) override;
};

class CFastNullMuxer : public CMuxerBase {
 public:
  CFastNullMuxer(LPUNKNOWN outer, HRESULT* phr);
  ~CFastNullMuxer() override;
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

 protected:
  // Taken records are simply dropped.
  HRESULT TakeSample(MuxSample&) override { return S_OK; }
};
