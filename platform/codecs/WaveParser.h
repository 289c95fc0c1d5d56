// The platform's "Wave Parser" ({D51BD5A1-7548-11CF-A520-0080C77EF58A})
// over libavformat's WAV demuxer: it takes a RIFF/WAVE byte stream
// (MEDIATYPE_Stream, MEDIASUBTYPE_WAVE) from an upstream reader and offers
// its sound on one pin "Audio 0" with the file's wave format (see
// FfPullSplitter.h).
#pragma once

#include "platform/codecs/FfPullSplitter.h"

PELLOMAR_DEFINE_GUID(CLSID_WAVEParser, "D51BD5A1-7548-11CF-A520-0080C77EF58A");

class CWaveParser final : public CFfPullSplitter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    return Create<CWaveParser>(outer, riid, ppv);
  }
  explicit CWaveParser(LPUNKNOWN outer)
      : CFfPullSplitter("Wave Parser", outer, CLSID_WAVEParser, MEDIASUBTYPE_WAVE, "wav", L"Video ", L"Audio ") {}
};
