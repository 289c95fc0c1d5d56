// A bare MPEG audio (layers 1-3, MPEG-1, 2 and 2.5) or ADTS AAC file, with
// ID3v2 tags in front and an ID3v1 tag at the end: the frames' byte range,
// the tags, and a duration estimated from the byte rates of the frames seen.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "foundation/BaseSplitterFileEx.h"

class CMpaSplitterFile : public CBaseSplitterFileEx {
 public:
  // hr: S_OK, or E_FAIL when the data is no MPEG audio or ADTS (or starts
  // like a system stream, or has a malformed ID3v2 size).
  CMpaSplitterFile(IAsyncReader* reader, HRESULT& hr);

  enum : int { none = 0, mpa = 1, mp4a = 2 };

  // Finds the next frame like the first one, at most `limit` bytes on,
  // and records its byte rate. An MPEG audio frame is left at its header,
  // an ADTS frame behind its header; `frameSize` is what follows from
  // there. On failure the position moves past the bytes searched.
  bool Sync(int& frameSize, REFERENCE_TIME& rtDuration, int limit = 0x2000);

  // A frame like the first one at `pos`: its header's size (counted only
  // for ADTS), the size that follows, its byte rate and duration.
  struct Frame {
    int header = 0, size = 0, rate = 0;
    REFERENCE_TIME duration = 0;
  };
  bool FrameAt(LONGLONG pos, Frame& frame);
  // What a resync after damage looks for: a frame like the first one,
  // followed by another or the end of the frames.
  Unit FrameUnit();

  CMediaType mt;
  // Grows more precise while frames are read on the demux thread.
  std::atomic<REFERENCE_TIME> duration{0};
  int mode = none;
  MpegAudioHeader mpaHeader;
  AdtsHeader adtsHeader;
  LONGLONG startpos = 0, endpos = 0;
  LONGLONG totalRate = 0;
  std::map<LONGLONG, int> frameRates;
  // Tag texts by frame id ("TIT2" read as a big-endian 32-bit value).
  std::map<DWORD, std::wstring> tags;

 private:
  HRESULT Init();
  void ReadId3v1();
  // One ID3v2 tag at the position; false for a malformed size.
  bool ReadId3v2();
  void ReadId3v2Frame(DWORD id, const BYTE* data, size_t size);
  // A header like the first one exactly at the position.
  bool MpaHeaderAt(LONGLONG pos, MpegAudioHeader& h, CMediaType* pmt = nullptr);
  bool AdtsHeaderAt(LONGLONG pos, AdtsHeader& h, CMediaType* pmt = nullptr);
  void RecordFrame(LONGLONG pos, int rate);
};

// Big-endian frame id of a four-character tag name.
constexpr DWORD Id3Tag(const char (&s)[5]) {
  return static_cast<DWORD>(static_cast<BYTE>(s[0])) << 24 | static_cast<DWORD>(static_cast<BYTE>(s[1])) << 16 |
         static_cast<DWORD>(static_cast<BYTE>(s[2])) << 8 | static_cast<BYTE>(s[3]);
}
