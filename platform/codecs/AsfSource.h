// The Windows Media ASF source ({187463A0-5BB7-11D3-ACBE-0080C75E246E})
// over libavformat's ASF demuxer. IFileSourceFilter::Load opens the file
// (a file the demuxer cannot parse fails with VFW_E_INVALID_FILE_FORMAT
// and leaves no pins); each video and audio stream gets an output pin
// ("Raw Video 0", "Raw Audio 1", ...) delivering its compressed packets
// (see FfDemux.h).
#pragma once

#include <string>

#include "platform/codecs/FfDemux.h"

PELLOMAR_DEFINE_GUID(CLSID_WMAsfReader, "187463A0-5BB7-11D3-ACBE-0080C75E246E");

class CAsfSourceFilter final : public CFfDemuxSource, public IFileSourceFilter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IFileSourceFilter. A second Load is refused (E_UNEXPECTED).
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override;

 private:
  explicit CAsfSourceFilter(LPUNKNOWN outer);

  std::wstring m_file;
};
