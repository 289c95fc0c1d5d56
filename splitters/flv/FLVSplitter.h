// The FLV splitter: at most one "Audio" output (PCM or MP3) and one "Video"
// output (Sorenson H.263 as "FLV1", VP6 as "FLV4"), one tag's payload per
// packet with the tag's time stamp; the duration from the last tags; seeking
// by proportion, then back to the last audio tag and video key frame before
// the time. Two forms: the splitter (pulls from an upstream IAsyncReader)
// and the file source.
#pragma once

#include <memory>

#include "foundation/BaseSplitter.h"
#include "foundation/BaseSplitterFileEx.h"

PELLOMAR_DEFINE_GUID(CLSID_FLVSplitterFilter, "47E792CF-0BBE-4F7A-859C-194B0768650A");
PELLOMAR_DEFINE_GUID(CLSID_FLVSourceFilter, "C9ECE7B3-1D8E-41F5-9F24-B255DF16C087");

class CFLVSplitterFilter : public CBaseSplitterFilter {
 public:
  CFLVSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_FLVSplitterFilter);
  ~CFLVSplitterFilter() override;

  // The record in front of each tag's data: the size of the tag before,
  // type (8 audio, 9 video), data size, time stamp in milliseconds
  // (with its extension byte as bits 24-31) and stream id.
  struct FlvTag {
    UINT32 PreviousTagSize = 0;
    BYTE TagType = 0;
    UINT32 DataSize = 0;
    UINT32 TimeStamp = 0;
    UINT32 StreamID = 0;
  };
  struct FlvAudioTag {
    BYTE SoundFormat = 0, SoundRate = 0, SoundSize = 0, SoundType = 0;
  };
  struct FlvVideoTag {
    BYTE FrameType = 0, CodecID = 0;
  };

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  // False when fewer than 15 bytes remain; else true when the tag's data
  // is all there.
  bool ReadTag(FlvTag& t);
  bool ReadAudioTag(FlvAudioTag& t);
  bool ReadVideoTag(FlvVideoTag& t);
  // Finds a plausible tag record at or after `pos` and moves there.
  bool SyncTag(LONGLONG& pos);
  // Reads the tag record at the current position like ReadTag. A record
  // that is no tag (damage) is passed over to the next one whose header
  // and size fields agree, and the bytes passed over go to the damage log
  // when `note` is set. False at the end of the data, or when nothing
  // after the damage reads.
  bool ReadTagResync(FlvTag& t, bool note);

  std::unique_ptr<CBaseSplitterFileEx> m_pFile;
  LONGLONG m_DataOffset = 0;

 private:
  // The record at `pos` holds together: a known type, data that the file
  // holds, and behind it a size field that agrees or the next tag.
  bool PlausibleTag(LONGLONG pos, const FlvTag& t);
  // What a resync after damage looks for: a tag record.
  CBaseSplitterFile::Unit TagUnit();
  bool AudioType(const FlvAudioTag& at, CMediaType& mt);
  bool VideoType(const FlvVideoTag& vt, UINT32 dataSize, CMediaType& mt);
  void ReadDuration();
};

class CFLVSourceFilter : public CFLVSplitterFilter {
 public:
  CFLVSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CFLVSourceFilter() override;
};
