// The Matroska splitter: one output per usable track of a Matroska file,
// with track information, key frames from the cue index, attachments,
// fonts and chapters. Two forms: the splitter (pulls from an upstream
// IAsyncReader) and the file source.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "splitters/matroska/MatroskaFile.h"
#include "splitters/matroska/MatroskaSplitterOutputPin.h"

PELLOMAR_DEFINE_GUID(CLSID_MatroskaSplitterFilter, "149D2E01-C32E-4939-80F6-C07B81015A7A");
PELLOMAR_DEFINE_GUID(CLSID_MatroskaSourceFilter, "0A68C3B5-9164-4A54-AFAF-995B2FF0E0D4");

#pragma pack(push, 1)
// What ITrackInfo tells of a track. Size is left as the caller set it.
struct TrackElement {
  WORD Size;
  BYTE Type;  // 1 video, 2 audio, 0x11 subtitle
  BOOL FlagDefault;
  BOOL FlagLacing;
  UINT MinCache;
  UINT MaxCache;
  CHAR Language[4];  // three letters and a zero; "eng" when unset
};
struct TrackExtendedInfoVideo {
  WORD Size;
  BOOL Interlaced;
  UINT PixelWidth;
  UINT PixelHeight;
  UINT DisplayWidth;
  UINT DisplayHeight;
  BYTE DisplayUnit;
  BYTE AspectRatioType;
};
struct TrackExtendedInfoAudio {
  WORD Size;
  float SamplingFreq;
  float OutputSamplingFrequency;
  UINT Channels;
  UINT BitDepth;
};
#pragma pack(pop)
static_assert(sizeof(TrackElement) == 23);
static_assert(offsetof(TrackElement, Language) == 19);
static_assert(sizeof(TrackExtendedInfoVideo) == 24);
static_assert(sizeof(TrackExtendedInfoAudio) == 18);

// The tracks that have outputs, in the order of the outputs. An index past
// the list gives FALSE or a null string.
struct ITrackInfo : IUnknown {
  STDMETHOD_(UINT, GetTrackCount)() = 0;
  STDMETHOD_(BOOL, GetTrackInfo)(UINT index, TrackElement* info) = 0;
  // A TrackExtendedInfoVideo or TrackExtendedInfoAudio by the track's type.
  STDMETHOD_(BOOL, GetTrackExtendedInfo)(UINT index, void* info) = 0;
  // New strings; the caller frees them.
  STDMETHOD_(BSTR, GetTrackCodecID)(UINT index) = 0;
  STDMETHOD_(BSTR, GetTrackName)(UINT index) = 0;
  STDMETHOD_(BSTR, GetTrackCodecName)(UINT index) = 0;
  STDMETHOD_(BSTR, GetTrackCodecInfoURL)(UINT index) = 0;
  STDMETHOD_(BSTR, GetTrackCodecDownloadURL)(UINT index) = 0;

 protected:
  ~ITrackInfo() = default;
};
PELLOMAR_INTERFACE_ID(ITrackInfo, "03E98D51-DDE7-43AA-B70C-42EF84A3A23D");

class CMatroskaSplitterFilter : public CBaseSplitterFilter, public ITrackInfo {
 public:
  CMatroskaSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_MatroskaSplitterFilter);
  ~CMatroskaSplitterFilter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IKeyFrameInfo: the cue points' times.
  STDMETHODIMP KeyFrameCount(UINT& count) override;
  STDMETHODIMP GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) override;

  // ITrackInfo
  STDMETHODIMP_(UINT) GetTrackCount() override;
  STDMETHODIMP_(BOOL) GetTrackInfo(UINT index, TrackElement* info) override;
  STDMETHODIMP_(BOOL) GetTrackExtendedInfo(UINT index, void* info) override;
  STDMETHODIMP_(BSTR) GetTrackCodecID(UINT index) override;
  STDMETHODIMP_(BSTR) GetTrackName(UINT index) override;
  STDMETHODIMP_(BSTR) GetTrackCodecName(UINT index) override;
  STDMETHODIMP_(BSTR) GetTrackCodecInfoURL(UINT index) override;
  STDMETHODIMP_(BSTR) GetTrackCodecDownloadURL(UINT index) override;

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

 private:
  // Adds the chapters under `parent` with a "+" per level in front.
  void BuildChapters(const std::string& language, MatroskaReader::ChapterAtom* parent, int level);
  // Builds a cue index from the cluster headers of a file without one.
  void ScanCues();
  // The file's length as its Info and cues give it (100 ns, from the first
  // cluster), 0 when neither does.
  REFERENCE_TIME KnownLength();
  // Moves to the next cluster. Blocks that damage left without their
  // cluster's header, between the cluster read last and the next one found,
  // become a cluster of their own when a cue point gives the lost
  // cluster's place and time.
  bool NextCluster(MatroskaReader::QWORD segmentEnd);
  // The track the cue index and seeking go by: the first video track,
  // else the first audio track, else 1.
  UINT64 CueTrack() const;
  // Sends the headers of Vorbis tracks whose decoder wants them as packets.
  void SendVorbisHeaders();
  MatroskaReader::TrackEntry* TrackAt(UINT index) const;
  // The first frame of a track in the first cluster; false when there is
  // none.
  bool FirstFrameOf(const MatroskaReader::TrackEntry& te, std::vector<BYTE>& frame);
  // The usual step between a track's own block times in the first cluster
  // (100 ns units); 0 when it has fewer than three blocks there.
  REFERENCE_TIME BlockSpacingOf(const MatroskaReader::TrackEntry& te, UINT64 scale);
  // A picture track's DefaultDuration far from the spacing of its own block
  // times is replaced by that spacing, and the log says so.
  void CheckDefaultDuration(MatroskaReader::TrackEntry& te, UINT64 scale);
  // Drops the file with the nodes and track lists that point into it.
  void CloseFile();

  // The root stays with the Segment node, whose walks look at its end.
  std::unique_ptr<MatroskaReader::CMatroskaNode> m_pRoot, m_pSegment, m_pCluster, m_pBlock;
  // The time of a cluster whose header damage took (from its cue point);
  // negative for a cluster read whole.
  LONGLONG m_lostClusterTime = -1;
  std::unique_ptr<MatroskaReader::CMatroskaFile> m_pFile;
  std::map<DWORD, MatroskaReader::TrackEntry*> m_pTrackEntryMap;
  std::vector<MatroskaReader::TrackEntry*> m_pOrderedTrackArray;
  // Guards the file's cue list, which the cue scan of the demux thread
  // extends while the key-frame queries may read it.
  mutable CCritSec m_csCues;
};

class CMatroskaSourceFilter : public CMatroskaSplitterFilter {
 public:
  CMatroskaSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CMatroskaSourceFilter() override;
};
