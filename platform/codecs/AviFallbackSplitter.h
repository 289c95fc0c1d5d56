// An installed AVI splitter over libavformat's AVI demuxer
// ({7A3C5E21-4B8D-4F06-A1C2-6D9E0B3F5A84}, "Installed AVI Splitter"). It
// reads any AVI file, also one whose streams lie one after the other
// instead of interleaved: libavformat reads such files by time through the
// index. It takes an AVI byte stream from an upstream reader and offers
// "Video 0", "Audio 0", ... (see FfPullSplitter.h).
#pragma once

#include "platform/codecs/FfPullSplitter.h"

PELLOMAR_DEFINE_GUID(CLSID_AviFallbackSplitter, "7A3C5E21-4B8D-4F06-A1C2-6D9E0B3F5A84");

class CAviFallbackSplitter final : public CFfPullSplitter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    return Create<CAviFallbackSplitter>(outer, riid, ppv);
  }
  explicit CAviFallbackSplitter(LPUNKNOWN outer)
      : CFfPullSplitter("Installed AVI Splitter", outer, CLSID_AviFallbackSplitter, MEDIASUBTYPE_Avi, "avi",
                        L"Video ", L"Audio ") {}
};
