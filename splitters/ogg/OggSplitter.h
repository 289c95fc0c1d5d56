// The Ogg splitter: one output per logical stream of a kind it knows
// (Vorbis, OGM video, audio and text, media samples with an embedded media
// type), Vorbis comments as properties and chapters, and delivery page by
// page. Two forms: the splitter (pulls from an upstream IAsyncReader) and
// the file source.
#pragma once

#include <map>
#include <set>

#include <memory>

#include "foundation/BaseSplitter.h"
#include "splitters/ogg/OggFile.h"
#include "splitters/ogg/OggSplitterOutputPin.h"

PELLOMAR_DEFINE_GUID(CLSID_OggSplitterFilter, "9FF48807-E133-40AA-826F-9B2959E5232D");
PELLOMAR_DEFINE_GUID(CLSID_OggSourceFilter, "6D3688CE-3E9D-42F4-92CA-8A11119D25CD");

class COggSplitterFilter : public CBaseSplitterFilter {
 public:
  COggSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_OggSplitterFilter);
  ~COggSplitterFilter() override;

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  std::unique_ptr<COggFile> m_pFile;

 private:
  COggSplitterOutputPin* OggPin(DWORD serial);
  // The pin a page belongs to: its stream's own, or for the first page of a
  // later link of a chained file under a serial number of its own, the pin
  // whose stream began with the same identification header (null when
  // none did: that link's stream is left out). Demux thread only.
  COggSplitterOutputPin* PagePin(const OggPage& page);
  // Says once that a later link's stream of another format is left out.
  void LeaveOutLink(COggSplitterOutputPin& pin);
  // The length of a chained file whose links have serial numbers of their
  // own: a pass over every page header.
  REFERENCE_TIME ChainedDuration();
  // The header pages: one pin per recognised stream, comments, headers.
  void ScanHeaders();
  void ReadDuration();
  void CommentsToProperties();
  // A file position near the time, found by interpolating page times.
  LONGLONG FindPosition(REFERENCE_TIME t);
  // Moves back from `pos` until a video key frame before the time is
  // reached in a way the stream delivers it.
  void FindKeyFrame(COggSplitterOutputPin& video, LONGLONG pos, REFERENCE_TIME t);

  // The pins whose stream has begun in this demux run: a first page of one
  // of them begins the next link of a chained file. Demux thread only.
  std::set<COggSplitterOutputPin*> m_started;
  // Serial numbers of later links and the pins they go on in (null: left
  // out). Demux thread only.
  std::map<DWORD, COggSplitterOutputPin*> m_linkPins;
  // The pins a later link's streams took in the run of first pages read.
  std::set<COggSplitterOutputPin*> m_linkTaken;
};

class COggSourceFilter : public COggSplitterFilter {
 public:
  COggSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~COggSourceFilter() override;
};
