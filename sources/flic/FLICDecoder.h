// Autodesk FLIC animations (FLI and FLC, 8-bit palettised): the header, an
// index of the frame chunks, and the chunk decoders that bring an 8-bit
// frame buffer and its palette to any frame. Every write stays inside the
// frame buffer and every read inside its chunk, whatever the file says.
#pragma once

#include <functional>
#include <vector>

#include "platform/win32/Types.h"

class CFLICDecoder {
 public:
  // Reads up to `length` bytes at `offset`: the count read, -1 on error.
  using ReadAt = std::function<LONG(LONGLONG offset, void* buffer, LONG length)>;

  static constexpr WORD kMagicFli = 0xAF11;
  static constexpr WORD kMagicFlc = 0xAF12;
  static constexpr WORD kFrameChunk = 0xF1FA;
  static constexpr WORD kPrefixChunk = 0xF100;
  enum ChunkType : WORD {
    kColor256 = 4,
    kDeltaFlc = 7,
    kColor64 = 11,
    kDeltaFli = 12,
    kBlack = 13,
    kByteRun = 15,
    kCopy = 16,
  };

  // Reads the 128-byte header and indexes the frames; false when the bytes
  // are not an 8-bit FLIC animation with at least one frame.
  bool Open(ReadAt read, LONGLONG fileLength);

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  int FrameCount() const { return static_cast<int>(m_frames.size()); }
  REFERENCE_TIME FrameDuration() const { return m_frameDuration; }
  bool IsFullFrame(int n) const { return n >= 0 && n < FrameCount() && m_frames[static_cast<size_t>(n)].full; }

  // Brings the frame buffer and the palette to frame n: forward from the
  // frame held, or from the last full frame at or before n when n lies
  // behind it. False when n is no frame or the file cannot be read.
  bool Decode(int n);
  int HeldFrame() const { return m_held; }
  const BYTE* Pixels() const { return m_pixels.data(); }
  // 0x00RRGGBB: blue in the low byte, as 32-bit RGB pixels have it.
  const DWORD* Palette() const { return m_palette; }

  // The frame buffer through the palette into `rows` rows of `cols` 32-bit
  // pixels, `stride` bytes apart; bottom-up puts the first row last. Rows
  // and columns past the animation's are left alone.
  void ToRgb32(BYTE* dst, LONG stride, int rows, int cols, bool bottomUp) const;

  // Applies the sub-chunks of one frame chunk (its bytes after the 16-byte
  // chunk header) to the frame buffer and palette, or to the palette only.
  void ApplyFrame(const BYTE* data, size_t size, WORD chunks, bool paletteOnly);

 private:
  struct FrameRecord {
    LONGLONG position;  // of the frame chunk's header
    DWORD size;         // of the whole chunk
    WORD chunks;        // sub-chunk count
    bool full;          // it redraws every pixel
    bool palette;       // it changes colours
  };
  bool ReadFrame(int n, bool paletteOnly);
  void Palette(const BYTE* p, size_t n, bool sixBit);
  void DeltaFlc(const BYTE* p, size_t n);
  void DeltaFli(const BYTE* p, size_t n);
  void ByteRun(const BYTE* p, size_t n);

  ReadAt m_read;
  int m_width = 0;
  int m_height = 0;
  REFERENCE_TIME m_frameDuration = 0;
  std::vector<FrameRecord> m_frames;
  std::vector<BYTE> m_pixels;
  std::vector<BYTE> m_chunk;
  DWORD m_palette[256] = {};
  int m_held = -1;
};
