// The MPEG audio splitter: one "Audio" output delivering a frame per packet
// with computed times, a duration estimated from the frames' byte rates,
// seeking by proportion, and the ID3 tags as the filter's title, author,
// copyright and description. Two forms: the splitter (pulls from an
// upstream IAsyncReader) and the file source.
#pragma once

#include <memory>

#include "foundation/BaseSplitter.h"
#include "splitters/mpa/MpaSplitterFile.h"

PELLOMAR_DEFINE_GUID(CLSID_MpaSplitterFilter, "0E9D4BF7-CBCB-46C7-BD80-4EF223A3DC2B");
PELLOMAR_DEFINE_GUID(CLSID_MpaSourceFilter, "59A0DB73-0287-4C9A-9D3C-8CFF39F8E5DB");

class CMpaSplitterFilter : public CBaseSplitterFilter {
 public:
  CMpaSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_MpaSplitterFilter);
  ~CMpaSplitterFilter() override;

  // The file's estimate as it stands; 0 while the file is still arriving.
  STDMETHODIMP GetDuration(LONGLONG* duration) override;

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  std::unique_ptr<CMpaSplitterFile> m_pFile;
  // Start time of the next packet.
  REFERENCE_TIME rtCurrent = 0;
};

class CMpaSourceFilter : public CMpaSplitterFilter {
 public:
  CMpaSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CMpaSourceFilter() override;
};
