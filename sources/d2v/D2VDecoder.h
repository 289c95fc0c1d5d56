// The MPEG-2 engine of the D2V source: it loads a project, reads the MPEG
// files it lists and returns whole output frames by number as YUY2 rows.
//
// It finds a frame's pictures through the project's tables, decodes forward
// from the GOP's I picture after a jump, keeps the pictures of that GOP for
// later requests, goes on straight from the stream for the next frames,
// combines fields of two pictures where the frame table says so, and
// converts to YUY2. Slices are decoded by the shared MPEG-1/2 picture
// decoder with the project's choice of inverse DCT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders/mpeg2video/Mpeg2Decoder.h"
#include "sources/d2v/D2VConvert.h"
#include "sources/d2v/D2VInput.h"
#include "sources/d2v/D2VProject.h"

class CD2VDecoder {
 public:
  enum OutputMode { kYuy2 = 1 };

  CD2VDecoder();
  ~CD2VDecoder();
  CD2VDecoder(const CD2VDecoder&) = delete;
  CD2VDecoder& operator=(const CD2VDecoder&) = delete;

  // Loads the project at `path` (8-bit path) and opens its files; false
  // with the reason in Error().
  bool Open(const char* path, int outputMode);
  // Loads a project from its text, as Open does from a file.
  bool OpenText(const std::string& text, int outputMode);
  void SetOutputMode(int mode) { m_outputMode = mode; }

  // Writes output frame `frame` as YUY2 rows of Width() pixels at `pitch`.
  // False when the data ended before the frame's pictures: the destination
  // then keeps what it held (the last good picture, for a caller that
  // reuses one buffer).
  bool GetFrame(uint8_t* dst, uint32_t frame, ptrdiff_t pitch);

  const D2VProject& Project() const { return m_project; }
  const std::string& Error() const { return m_error; }
  int Width() const { return m_fmt.width; }
  int Height() const { return m_fmt.height; }
  int CodedWidth() const { return m_codedWidth; }
  int CodedHeight() const { return m_codedHeight; }
  uint32_t FrameCount() const { return static_cast<uint32_t>(m_project.frames.size()); }
  // One converted frame in bytes.
  size_t FrameBytes() const { return static_cast<size_t>(m_fmt.width) * 2 * static_cast<size_t>(m_fmt.height); }

  // Work done so far: coded frames decoded and GOP jumps.
  struct Stats {
    uint64_t decoded = 0;
    uint64_t jumps = 0;
  };
  const Stats& GetStats() const { return m_stats; }

 private:
  struct Store {
    std::unique_ptr<uint8_t[], void (*)(void*)> memory{nullptr, nullptr};
    uint8_t* plane[3] = {};
    bool progressive = true;
    bool cut = false;  // the end of the data came inside its slices
  };
  struct Target {
    uint8_t* dst;
    ptrdiff_t pitch;
  };
  struct PictureHeader {
    int type = 0;
    int structure = 3;
    bool progressiveFrame = true;
    bool valid = false;
  };

  bool Fail(std::string why);
  bool ReadFirstSequence();
  bool ParseSequenceHeader(const uint8_t* p, size_t n);
  void ParseExtension(const uint8_t* p, size_t n);
  bool ParsePictureHeader(const uint8_t* p, size_t n);

  bool NextCode(uint8_t& code);
  // Reads up to the first slice of the next picture; false at the end.
  bool NextPicture();
  // Decodes (or passes over) the slices of the picture just read.
  void Slices(bool decode);
  // Decodes the picture just read; at the end of a frame or second field,
  // converts the picture that leaves in display order into `out`.
  void DecodePicture(const Target* out);
  // Decodes the next frame (both fields of a field pair) with output into
  // `out`; false at the end of the data.
  bool DecodeFrame(const Target* out, bool haveHeader = false);
  // At the end of the data: gives out the reference still held back.
  bool ReleaseHeld(const Target* out);
  void Convert(const Store& s, const Target& out) const;

  bool Sequential(uint32_t frame, uint32_t top, uint32_t bottom, uint8_t* dst, ptrdiff_t pitch, bool& ok);
  bool Advance(uint32_t picture);
  bool Jump(size_t gop, uint32_t position);
  bool FillCache(uint32_t position);
  void ComposeFromCache(uint32_t first, uint32_t top, uint32_t bottom, uint8_t* dst, ptrdiff_t pitch) const;
  bool NextFrameUses(uint32_t frame, uint32_t picture) const;
  Target Slot(uint32_t position);

  D2VProject m_project;
  std::string m_error;
  int m_outputMode = kYuy2;
  CD2VInput m_input;
  CMpeg2Decoder m_core;
  bool m_pending = false;
  uint8_t m_pendingCode = 0;

  // Sequence.
  bool m_haveSequence = false;
  uint32_t m_horizontal = 0, m_vertical = 0;
  bool m_mpeg2 = false;
  bool m_progressiveSequence = true;
  int m_chromaFormat = 1;
  int m_codedWidth = 0, m_codedHeight = 0;

  // Pictures.
  PictureHeader m_pic;
  bool m_secondField = false;
  bool m_cut = false;          // the data ended inside the last picture's slices
  bool m_releasedCut = false;  // so did the picture the last frame gave out
  bool m_holding = false;      // the newest reference has not been given out
  Store m_store[3];
  int m_refOld = 0, m_refNew = 1;
  static constexpr int kAux = 2;

  // Output.
  D2VOutputFormat m_fmt;
  std::vector<uint8_t> m_fieldBuffer;      // one whole picture
  int64_t m_fieldBufferPicture = -1;       // the picture it holds
  std::vector<std::vector<uint8_t>> m_slots;  // the cached GOP's pictures
  int64_t m_cachedGop = -1;
  int64_t m_cacheLast = -1;                // last slot decoded
  bool m_streamValid = false;              // the stream's next picture is known
  uint32_t m_streamNext = 0;
  Stats m_stats;
};
