// The DSM splitter: one output per media type of the file, in track
// order, named from the stream's "NAME" and "LANG" properties; stream and
// file properties, resources, chapters and attached fonts; key frames
// from the file's seek table. Sample times are counted from the file's
// first time stamp. Two forms: the splitter (pulls from an upstream
// IAsyncReader) and the file source.
#pragma once

#include <memory>

#include "foundation/BaseSplitter.h"
#include "splitters/dsm/DSMSplitterFile.h"

PELLOMAR_DEFINE_GUID(CLSID_DSMSplitterFilter, "0912B4DD-A30A-4568-B590-7179EBB420EC");
PELLOMAR_DEFINE_GUID(CLSID_DSMSourceFilter, "803E8280-F3CE-4201-982C-8CD8FB512004");

class CDSMSplitterFilter : public CBaseSplitterFilter {
 public:
  CDSMSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_DSMSplitterFilter);
  ~CDSMSplitterFilter() override;

  // IKeyFrameInfo: the times of the seek table.
  STDMETHODIMP KeyFrameCount(UINT& count) override;
  STDMETHODIMP GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) override;

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  std::unique_ptr<CDSMSplitterFile> m_pFile;
};

class CDSMSourceFilter : public CDSMSplitterFilter {
 public:
  CDSMSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CDSMSourceFilter() override;
};
