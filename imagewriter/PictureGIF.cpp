#include "imagewriter/PictureGIF.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "imagewriter/PictureSink.h"

namespace {

constexpr int kMaxBits = 12;
constexpr int kMaxMaxCode = 1 << kMaxBits;  // 4096
constexpr int kHashSize = 5003;             // prime, about 80% occupancy at 4096 codes
constexpr int kHashShift = 4;               // 8 - log2(65536 / kHashSize) rounded up

// The pixel indices of one image, one row at a time from the top.
class IndexRows {
 public:
  virtual ~IndexRows() = default;
  virtual DWORD Width() const = 0;
  virtual DWORD Height() const = 0;
  virtual const BYTE* Row(DWORD fromTop) = 0;
};

// A palette picture's own rows: 8-bit rows are read in place, packed rows
// are spread into one byte per pixel.
class PictureRows : public IndexRows {
 public:
  explicit PictureRows(const CPicture& picture) : m_picture(picture), m_row(picture.GetWidth()) {}
  DWORD Width() const override { return m_picture.GetWidth(); }
  DWORD Height() const override { return m_picture.GetHeight(); }
  const BYTE* Row(DWORD fromTop) override {
    const DWORD y = m_picture.GetHeight() - 1 - fromTop;
    const BYTE* bits = m_picture.GetBits(y);
    const DWORD width = Width();
    switch (m_picture.GetBpp()) {
      case 8: return bits;
      case 4:
        for (DWORD x = 0; x < width; ++x) m_row[x] = (x & 1) ? (bits[x / 2] & 0x0F) : (bits[x / 2] >> 4);
        return m_row.data();
      default:
        for (DWORD x = 0; x < width; ++x) m_row[x] = (bits[x / 8] >> (7 - (x & 7))) & 1;
        return m_row.data();
    }
  }

 private:
  const CPicture& m_picture;
  std::vector<BYTE> m_row;
};

// One tile of the 24-bit mosaic, indices top row first.
class TileRows : public IndexRows {
 public:
  TileRows(const BYTE* indices, DWORD width, DWORD height) : m_indices(indices), m_width(width), m_height(height) {}
  DWORD Width() const override { return m_width; }
  DWORD Height() const override { return m_height; }
  const BYTE* Row(DWORD fromTop) override { return m_indices + static_cast<size_t>(fromTop) * m_width; }

 private:
  const BYTE* m_indices;
  DWORD m_width;
  DWORD m_height;
};

// Gathers coded bytes into data sub-blocks of at most `limit` bytes.
class SubBlocks {
 public:
  SubBlocks(PictureSink& out, size_t limit) : m_out(out), m_limit(limit) {}
  void Byte(BYTE b) {
    m_block[m_used++] = b;
    if (m_used >= m_limit) Flush();
  }
  void Flush() {
    if (m_used == 0) return;
    m_out.U8(static_cast<BYTE>(m_used));
    m_out.Bytes(m_block.data(), m_used);
    m_used = 0;
  }

 private:
  PictureSink& m_out;
  size_t m_limit;
  std::array<BYTE, 255> m_block{};
  size_t m_used = 0;
};

// Codes packed least significant bit first into data sub-blocks.
class CodePacker {
 public:
  CodePacker(PictureSink& out, size_t blockLimit) : m_blocks(out, blockLimit) {}
  void Put(int code, int width) {
    m_accum |= static_cast<uint32_t>(code) << m_bits;
    m_bits += width;
    while (m_bits >= 8) {
      m_blocks.Byte(static_cast<BYTE>(m_accum));
      m_accum >>= 8;
      m_bits -= 8;
    }
  }
  // The last bits as a byte of their own, then the last sub-block.
  void Finish() {
    if (m_bits > 0) m_blocks.Byte(static_cast<BYTE>(m_accum));
    m_accum = 0;
    m_bits = 0;
    m_blocks.Flush();
  }

 private:
  SubBlocks m_blocks;
  uint32_t m_accum = 0;
  int m_bits = 0;
};

// Variable-width LZW code output shared by the hashing coder and the
// uncompressed one: after each code the width follows the first free code,
// exactly as a decoder's table grows.
class LzwCoder {
 public:
  LzwCoder(PictureSink& out, int minCodeSize)
      : m_packer(out, 254),
        m_initBits(minCodeSize + 1),
        m_clearCode(1 << minCodeSize),
        m_endCode(m_clearCode + 1),
        m_hashKeys(kHashSize, -1),
        m_hashCodes(kHashSize, 0) {
    m_bits = m_initBits;
    m_maxCode = (1 << m_bits) - 1;
    m_freeCode = m_clearCode + 2;
  }

  void Compress(IndexRows& rows) {
    Output(m_clearCode);
    const DWORD width = rows.Width(), height = rows.Height();
    int ent = -1;
    for (DWORD r = 0; r < height; ++r) {
      const BYTE* row = rows.Row(r);
      DWORD x = 0;
      if (ent < 0) ent = row[x++];
      for (; x < width; ++x) {
        const int c = row[x];
        const int32_t key = (c << kMaxBits) + ent;
        int i = (c << kHashShift) ^ ent;
        if (m_hashKeys[i] == key) {
          ent = m_hashCodes[i];
          continue;
        }
        if (m_hashKeys[i] >= 0) {
          const int step = i == 0 ? 1 : kHashSize - i;
          bool found = false;
          do {
            i -= step;
            if (i < 0) i += kHashSize;
            if (m_hashKeys[i] == key) {
              ent = m_hashCodes[i];
              found = true;
              break;
            }
          } while (m_hashKeys[i] > 0);
          if (found) continue;
        }
        Output(ent);
        ent = c;
        if (m_freeCode < kMaxMaxCode) {
          m_hashCodes[i] = static_cast<WORD>(m_freeCode++);
          m_hashKeys[i] = key;
        } else {
          ClearTable();
        }
      }
    }
    Output(ent);
    Finish();
  }

  void WriteUncompressed(IndexRows& rows) {
    Output(m_clearCode);
    const DWORD width = rows.Width(), height = rows.Height();
    for (DWORD r = 0; r < height; ++r) {
      const BYTE* row = rows.Row(r);
      for (DWORD x = 0; x < width; ++x) {
        Output(row[x]);
        // The decoder adds an entry for every code; clearing before its
        // table is full keeps it from ever needing a wider code.
        if (m_freeCode < kMaxMaxCode)
          ++m_freeCode;
        else
          ClearTable();
      }
    }
    Finish();
  }

 private:
  void ClearTable() {
    std::fill(m_hashKeys.begin(), m_hashKeys.end(), -1);
    m_freeCode = m_clearCode + 2;
    m_clearPending = true;
    Output(m_clearCode);
  }

  void Output(int code) {
    m_packer.Put(code, m_bits);
    if (m_freeCode > m_maxCode || m_clearPending) {
      if (m_clearPending) {
        m_bits = m_initBits;
        m_maxCode = (1 << m_bits) - 1;
        m_clearPending = false;
      } else {
        ++m_bits;
        m_maxCode = m_bits == kMaxBits ? kMaxMaxCode : (1 << m_bits) - 1;
      }
    }
  }

  void Finish() {
    Output(m_endCode);
    m_packer.Finish();
  }

  CodePacker m_packer;
  int m_initBits;
  int m_clearCode;
  int m_endCode;
  int m_bits;
  int m_maxCode;
  int m_freeCode;
  bool m_clearPending = false;
  std::vector<int32_t> m_hashKeys;
  std::vector<WORD> m_hashCodes;
};

// Run-length coder: writes single-pixel codes, and codes of the decoder's
// table only while that table holds nothing but runs of one pixel value
// (entry base + k - 2 holding k pixels), so that every code's meaning is
// fixed in advance and no table search is needed.
class RunLengthCoder {
 public:
  RunLengthCoder(PictureSink& out, int minCodeSize)
      : m_packer(out, 255),
        m_initBits(minCodeSize + 1),
        m_clearCode(1 << minCodeSize),
        m_endCode(m_clearCode + 1),
        m_baseCode(m_clearCode + 2),
        m_maxCodes(kMaxMaxCode - 3 - m_clearCode),
        m_bumpInit(m_clearCode - 1),
        m_clearInit(m_initBits <= 3 ? 9 : m_clearCode - 2) {
    m_bits = m_initBits;
  }

  void Compress(IndexRows& rows) {
    Output(m_clearCode);
    DidClear();
    const DWORD width = rows.Width(), height = rows.Height();
    for (DWORD r = 0; r < height; ++r) {
      const BYTE* row = rows.Row(r);
      for (DWORD x = 0; x < width; ++x) {
        const int c = row[x];
        if (m_runCount > 0 && c != m_runPixel) Flush();
        if (m_runPixel == c) {
          ++m_runCount;
        } else {
          m_runPixel = c;
          m_runCount = 1;
        }
      }
    }
    if (m_runCount > 0) Flush();
    Output(m_endCode);
    m_packer.Finish();
  }

  static uint64_t Isqrt(uint64_t value) {
    if (value < 2) return value;
    int bitLength = 0;
    for (uint64_t v = value; v; v >>= 1) ++bitLength;
    uint64_t r = uint64_t{1} << ((bitLength + 1) / 2);
    for (;;) {
      const uint64_t next = (value / r + r) / 2;
      if (next == r || next == r + 1) return r;
      r = next;
    }
  }

  // Codes needed to send `count` pixels of one value starting from a clear,
  // with at most `maxCodes` codes between clears.
  static uint64_t TriangleCount(uint64_t count, uint64_t maxCodes) {
    const uint64_t perClear = maxCodes * (maxCodes + 1) / 2;
    uint64_t cost = count / perClear * maxCodes;
    count %= perClear;
    if (count > 0) {
      uint64_t n = Isqrt(count);
      while (n > 0 && n * (n + 1) >= 2 * count) --n;
      while (n * (n + 1) < 2 * count) ++n;
      cost += n;
    }
    return cost;
  }

 private:
  void Output(int code) { m_packer.Put(code, m_bits); }

  void DidClear() {
    m_bits = m_initBits;
    m_bump = m_bumpInit;
    m_clear = m_clearInit;
    m_count = 0;
    m_tableMax = 0;
    m_justCleared = true;
  }

  // A code the decoder will answer with a new table entry.
  void OutputCounted(int code) {
    m_justCleared = false;
    Output(code);
    ++m_count;
    if (m_count >= m_bump) {
      ++m_bits;
      m_bump += uint64_t{1} << (m_bits - 1);
    }
    if (m_count >= m_clear) {
      Output(m_clearCode);
      DidClear();
    }
  }

  void RaiseClearPoint() { m_clear = m_maxCodes; }

  void RestoreClearPoint() {
    m_clear = m_clearInit;
    if (m_count >= m_clear) {
      Output(m_clearCode);
      DidClear();
    }
  }

  void FlushFromClear(uint64_t count) {
    RaiseClearPoint();
    m_tablePixel = m_runPixel;
    uint64_t n = 1;
    while (count > 0) {
      if (n == 1) {
        m_tableMax = 1;
        OutputCounted(m_runPixel);
        --count;
      } else if (count >= n) {
        m_tableMax = n;
        OutputCounted(static_cast<int>(m_baseCode + n - 2));
        count -= n;
      } else if (count == 1) {
        ++m_tableMax;
        OutputCounted(m_runPixel);
        count = 0;
      } else {
        ++m_tableMax;
        OutputCounted(static_cast<int>(m_baseCode + count - 2));
        count = 0;
      }
      n = m_count == 0 ? 1 : n + 1;
    }
    RestoreClearPoint();
  }

  void FlushClearOrRepeat(uint64_t count) {
    if (1 + TriangleCount(count, m_maxCodes) < count) {
      Output(m_clearCode);
      DidClear();
      FlushFromClear(count);
    } else {
      for (; count > 0; --count) OutputCounted(m_runPixel);
    }
  }

  void FlushWithTable(uint64_t count) {
    uint64_t repeats = count / m_tableMax;
    uint64_t leftover = count % m_tableMax;
    uint64_t rest = leftover ? 1 : 0;
    if (m_count + repeats + rest > m_maxCodes) {
      repeats = m_maxCodes - m_count;
      leftover = count - repeats * m_tableMax;
      rest = 1 + TriangleCount(leftover, m_maxCodes);
    }
    if (1 + TriangleCount(count, m_maxCodes) < repeats + rest) {
      Output(m_clearCode);
      DidClear();
      FlushFromClear(count);
      return;
    }
    RaiseClearPoint();
    for (; repeats > 0; --repeats) OutputCounted(static_cast<int>(m_baseCode + m_tableMax - 2));
    if (leftover) {
      if (m_justCleared)
        FlushFromClear(leftover);
      else if (leftover == 1)
        OutputCounted(m_runPixel);
      else
        OutputCounted(static_cast<int>(m_baseCode + leftover - 2));
    }
    RestoreClearPoint();
  }

  void Flush() {
    if (m_runCount == 1)
      OutputCounted(m_runPixel);
    else if (m_justCleared)
      FlushFromClear(m_runCount);
    else if (m_tableMax >= 2 && m_tablePixel == m_runPixel)
      FlushWithTable(m_runCount);
    else
      FlushClearOrRepeat(m_runCount);
    m_runCount = 0;
  }

  CodePacker m_packer;
  const int m_initBits;
  const int m_clearCode;
  const int m_endCode;
  const uint64_t m_baseCode;
  const uint64_t m_maxCodes;
  const uint64_t m_bumpInit;
  const uint64_t m_clearInit;
  int m_bits;
  uint64_t m_bump = 0;
  uint64_t m_clear = 0;
  uint64_t m_count = 0;
  uint64_t m_tableMax = 0;
  bool m_justCleared = true;
  int m_tablePixel = -1;
  int m_runPixel = -1;
  uint64_t m_runCount = 0;
};

struct ImageFrame {
  LONG left;
  LONG top;
  DWORD width;
  DWORD height;
  int bitsPerPixel;
  LONG transIndex;  // -1: none
  const RGBQUAD* localTable;  // null: the global table applies
  DWORD localEntries;
};

void WriteImage(PictureSink& out, const ImageFrame& frame, DWORD disposal, WORD delay, DWORD coder,
                IndexRows& rows) {
  // Graphic control extension.
  out.U8(0x21);
  out.U8(0xF9);
  out.U8(4);
  out.U8(static_cast<BYTE>(((disposal & 7) << 2) | (frame.transIndex != -1 ? 1 : 0)));
  out.U16LE(delay);
  out.U8(static_cast<BYTE>(frame.transIndex));
  out.U8(0);
  // Image descriptor.
  out.U8(0x2C);
  out.U16LE(static_cast<WORD>(frame.left));
  out.U16LE(static_cast<WORD>(frame.top));
  out.U16LE(static_cast<WORD>(frame.width));
  out.U16LE(static_cast<WORD>(frame.height));
  out.U8(frame.localTable ? static_cast<BYTE>(0x80 | (frame.bitsPerPixel - 1)) : 0);
  for (DWORD i = 0; frame.localTable && i < frame.localEntries; ++i) {
    out.U8(frame.localTable[i].rgbRed);
    out.U8(frame.localTable[i].rgbGreen);
    out.U8(frame.localTable[i].rgbBlue);
  }
  const int minCodeSize = std::max(frame.bitsPerPixel, 2);
  out.U8(static_cast<BYTE>(minCodeSize));
  if (coder == CPictureGIF::ENCODE_RLE) {
    RunLengthCoder(out, minCodeSize).Compress(rows);
  } else {
    // The hash tables are large; keep them off the stack.
    auto lzw = std::make_unique<LzwCoder>(out, minCodeSize);
    if (coder == CPictureGIF::ENCODE_UNCOMPRESSED)
      lzw->WriteUncompressed(rows);
    else
      lzw->Compress(rows);
  }
  out.U8(0);  // block terminator
}

// First palette entry of each colour: open addressing over the 256 entries
// of one tile, so that a pixel's index is found without a palette search.
class FirstIndexOf {
 public:
  void Reset() { std::fill(m_slots.begin(), m_slots.end(), Slot{0, -1}); }
  void Add(uint32_t rgb, int index) {
    size_t i = Hash(rgb);
    while (m_slots[i].index >= 0) {
      if (m_slots[i].rgb == rgb) return;  // an earlier entry has this colour
      i = (i + 1) & (kSlots - 1);
    }
    m_slots[i] = Slot{rgb, index};
  }
  int Find(uint32_t rgb) const {
    for (size_t i = Hash(rgb); m_slots[i].index >= 0; i = (i + 1) & (kSlots - 1))
      if (m_slots[i].rgb == rgb) return m_slots[i].index;
    return 0;
  }

 private:
  static constexpr size_t kSlots = 1024;
  struct Slot {
    uint32_t rgb;
    int index;
  };
  static size_t Hash(uint32_t rgb) { return (rgb * 2654435761u) >> 22; }
  std::array<Slot, kSlots> m_slots{};
};

uint32_t RgbKey(RGBQUAD c) { return (static_cast<uint32_t>(c.rgbRed) << 16) | (c.rgbGreen << 8) | c.rgbBlue; }

}  // namespace

void CPictureGIF::SetComment(const char* text) {
  m_comment = text ? std::string(text, strnlen(text, 255)) : std::string();
}

void CPictureGIF::WriteHeader(PictureSink& out, bool globalTable) {
  out.Bytes("GIF89a", 6);
  out.U16LE(static_cast<WORD>(GetWidth()));
  out.U16LE(static_cast<WORD>(GetHeight()));
  out.U8(globalTable ? static_cast<BYTE>(0xE0 | (GetBpp() - 1)) : 0x11);
  out.U8(0);  // background colour index
  out.U8(0);  // aspect ratio
  if (globalTable) {
    const RGBQUAD* palette = GetPalette();
    for (DWORD i = 0; i < GetNumColors(); ++i) {
      out.U8(palette[i].rgbRed);
      out.U8(palette[i].rgbGreen);
      out.U8(palette[i].rgbBlue);
    }
  }
  if (!m_comment.empty()) {
    out.U8(0x21);
    out.U8(0xFE);
    out.U8(static_cast<BYTE>(m_comment.size()));
    out.Bytes(m_comment.data(), m_comment.size());
    out.U8(0);
  }
}

void CPictureGIF::WriteMosaic(PictureSink& out) {
  const DWORD width = GetWidth(), height = GetHeight();
  const DWORD coder = GetCodecOption(PICTURE_FORMAT_GIF);
  const bool transparent = IsTransparent();
  std::array<RGBQUAD, 256> table{};
  std::vector<BYTE> indices(kTileWidth * kTileHeight);
  FirstIndexOf firstIndex;
  DWORD lastWidth = 0, lastHeight = 0;

  for (DWORD y0 = 0; y0 < height; y0 += kTileHeight) {
    const DWORD th = std::min(kTileHeight, height - y0);
    for (DWORD x0 = 0; x0 < width; x0 += kTileWidth) {
      const DWORD tw = std::min(kTileWidth, width - x0);
      // A tile of a new size starts from a cleared table; one of the same
      // size overwrites the same entries, the others keep their zeros.
      if (tw != lastWidth || th != lastHeight) {
        table.fill(RGBQUAD{});
        lastWidth = tw;
        lastHeight = th;
      }
      if (transparent) table[0] = GetTransColor();
      for (DWORD r = 0; r < th; ++r) {
        const BYTE* src = GetBits(height - 1 - (y0 + r)) + static_cast<size_t>(x0) * 3;
        for (DWORD c = 0; c < tw; ++c) {
          RGBQUAD& entry = table[r * kTileWidth + c + 1];
          entry.rgbBlue = src[3 * c];
          entry.rgbGreen = src[3 * c + 1];
          entry.rgbRed = src[3 * c + 2];
        }
      }
      // Each pixel takes the first entry of its colour, so equal colours
      // share one index and the transparent colour maps to entry 0.
      firstIndex.Reset();
      for (int i = 0; i < 256; ++i) firstIndex.Add(RgbKey(table[i]), i);
      for (DWORD r = 0; r < th; ++r)
        for (DWORD c = 0; c < tw; ++c)
          indices[r * tw + c] = static_cast<BYTE>(firstIndex.Find(RgbKey(table[r * kTileWidth + c + 1])));

      TileRows rows(indices.data(), tw, th);
      const ImageFrame frame{static_cast<LONG>(x0), static_cast<LONG>(y0), tw, th, 8, transparent ? 0 : -1,
                             table.data(), 256};
      WriteImage(out, frame, 0, 0, coder, rows);
      if (!out.Ok()) return;
    }
  }
}

bool CPictureGIF::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  // Every size and position in the file is a 16-bit field.
  if (GetWidth() > 0xFFFF || GetHeight() > 0xFFFF) {
    SetLastError("Image too large for GIF file");
    return false;
  }
  PictureSink out(file);
  if (GetBpp() <= 8) {
    WriteHeader(out, true);
    PictureRows rows(*this);
    const ImageFrame frame{GetXOffset(), GetYOffset(), GetWidth(), GetHeight(), GetBpp(), GetValidTransIndex(),
                           nullptr, 0};
    WriteImage(out, frame, m_disposal, GetFrameDelay(), GetCodecOption(PICTURE_FORMAT_GIF), rows);
  } else {
    WriteHeader(out, false);
    WriteMosaic(out);
  }
  out.U8(0x3B);  // trailer
  if (!out.Finish()) {
    SetLastError("Write Error in GIF file");
    return false;
  }
  return true;
}
