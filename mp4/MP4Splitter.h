// The MP4/QuickTime/3GP splitter: one output per usable track of the movie,
// samples of all tracks delivered in the order of their composition times,
// seeking to the key frame before a time, key frames for seeking user
// interfaces, and 3GPP timed text as SSA lines. Two forms: the splitter
// (pulls from an upstream IAsyncReader) and the file source.
#pragma once

#include <memory>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "mp4/MP4SplitterFile.h"

class MP4_MoovAtom;
namespace mp4split {
struct TrackTypeContext;
}

PELLOMAR_DEFINE_GUID(CLSID_MP4SplitterFilter, "61F47056-E400-43D3-AF1E-AB7DFFD4C4AD");
PELLOMAR_DEFINE_GUID(CLSID_MP4SourceFilter, "3CCC052E-BDEE-408A-BEA7-90914EF2964B");

class CMP4SplitterFilter : public CBaseSplitterFilter {
 public:
  CMP4SplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_MP4SplitterFilter);
  ~CMP4SplitterFilter() override;

  // IKeyFrameInfo: the key frames of the first video track with a sync
  // sample table. GetKeyFrames fills at most `count` times.
  STDMETHODIMP KeyFrameCount(UINT& count) override;
  STDMETHODIMP GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) override;

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

 private:
  // Where a track stands: the next sample and its composition time.
  struct TrackPosition {
    DWORD id = 0;
    MP4_Track* track = nullptr;
    DWORD index = 0;
    INT64 ts = 0;
    // Added to the track's times: where its media time 0 plays.
    REFERENCE_TIME shift = 0;
    // Where the track's decoding ends, in media units.
    INT64 end = 0;
    // Where the movie's tracks end by their own sample tables (this one's
    // decoding or a later one), in this track's media units: composition
    // times more than a second outside [0, span] are damage. (A picture
    // after a gap at the end shows long after its track's last decoding
    // time.)
    INT64 span = 0;
  };

  // The file and its movie; a file that is no movie, or one whose samples
  // this splitter cannot find, is refused with the reason.
  HRESULT OpenFile(IAsyncReader* reader);
  // An output for a track of a kind the splitter delivers, with the track's
  // name, language and picture turn; a track without a usable type or
  // whose id is taken has none.
  void AddTrackOutput(MP4_Track& track, MP4_Movie& movie);
  // The log's notes of what the track's tables needed mended.
  void TellMendedTables(MP4_Track& track);
  // The plain-text output beside an SSA text track's.
  void AddPlainTextTwin(DWORD id, const CMediaType& ssa, const mp4split::TrackTypeContext& context,
                        const std::wstring& name);
  void ReadChapters(MP4_MoovAtom& moov);
  // The title, author, tool and comment of the movie's item list.
  void ReadItemList(MP4_MoovAtom& moov);
  // Where every track's media time 0 plays, from its edits.
  void PlaceTracks();

  // The composition time of a sample, or its decoding time when the former
  // lies far outside the track (a damaged offset); `note` tells the log.
  INT64 CompositionTime(TrackPosition& tp, const MP4_Sample& s, bool note);

  // One sample (or a run of byte-counted sound samples) of a track into
  // its packets; the result of the last delivery, S_OK when nothing was
  // delivered.
  // Checks every track's chunk offsets against the layout of the file's
  // chunks, puts a chunk whose offset is damaged where the layout leaves
  // room for it (or has its samples skipped), and tells what it mended.
  void CheckChunkLayout();
  HRESULT DeliverSample(TrackPosition& tp, CBaseSplitterOutputPin* pin);
  // A run of small sound samples of `unit` bytes each into one packet of
  // at least `bytes` (or what is left); the index stays on the last one.
  HRESULT DeliverSoundRun(TrackPosition& tp, MP4_Size unit, DWORD bytes);
  // The packets of one text sample: the line, and the plain text and text
  // box lines where they apply.
  HRESULT DeliverText(TrackPosition& tp, const MP4_Sample& sample, std::vector<BYTE>& data,
                      CBaseSplitterOutputPin* pin, REFERENCE_TIME start, REFERENCE_TIME stop, BOOL sync);
  MP4_Track* KeyFrameTrack();

  // The outputs' tracks in the order their pins were made: that order
  // decides between samples of equal times.
  std::vector<TrackPosition> m_trackpos;
  // The picture size of the last video track, for the text tracks' scripts.
  int m_framesize_cx = 640, m_framesize_cy = 480;
  std::unique_ptr<CMP4SplitterFile> m_pFile;
};

class CMP4SourceFilter : public CMP4SplitterFilter {
 public:
  CMP4SourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CMP4SourceFilter() override;
};
