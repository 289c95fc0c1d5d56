#include "sources/flic/FLICDecoder.h"

#include "platform/dshow/Structs.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr LONG kHeaderSize = 128;
constexpr LONG kChunkHeaderSize = 16;
constexpr LONG kSubChunkHeaderSize = 6;
// Larger pictures are refused rather than allocated (FLIC is a format of
// small screens; 16-bit fields would allow 4 G pixels).
constexpr int kMaxSide = 8192;

WORD Le16(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }
DWORD Le32(const BYTE* p) { return static_cast<DWORD>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<DWORD>(p[3]) << 24; }

// Bytes of one chunk, read front to back; a read past its end fails.
struct Cursor {
  const BYTE* p;
  size_t n;
  bool Byte(BYTE& v) {
    if (n < 1) return false;
    v = *p++;
    n--;
    return true;
  }
  bool Signed(int& v) {
    BYTE b = 0;
    if (!Byte(b)) return false;
    v = static_cast<signed char>(b);
    return true;
  }
  bool Word(WORD& v) {
    if (n < 2) return false;
    v = Le16(p);
    p += 2;
    n -= 2;
    return true;
  }
  // Up to `want` bytes; fewer when the chunk ends first.
  size_t Take(size_t want, const BYTE*& out) {
    const size_t k = std::min(want, n);
    out = p;
    p += k;
    n -= k;
    return k;
  }
};

}  // namespace

bool CFLICDecoder::Open(ReadAt read, LONGLONG fileLength) {
  m_read = std::move(read);
  m_frames.clear();
  m_held = -1;
  BYTE h[kHeaderSize];
  if (!m_read || fileLength < kHeaderSize || m_read(0, h, kHeaderSize) != kHeaderSize) return false;
  const WORD magic = Le16(h + 4);
  if (magic != kMagicFli && magic != kMagicFlc) return false;
  const int declaredFrames = Le16(h + 6);
  m_width = Le16(h + 8);
  m_height = Le16(h + 10);
  if (Le16(h + 12) != 8 || m_width < 1 || m_height < 1 || m_width > kMaxSide || m_height > kMaxSide) return false;
  // FLI counts in 1/70 s in a word, FLC in milliseconds in a double word.
  if (magic == kMagicFli)
    m_frameDuration = static_cast<REFERENCE_TIME>(std::max<WORD>(Le16(h + 16), 1)) * UNITS / 70;
  else
    m_frameDuration = static_cast<REFERENCE_TIME>(std::max<DWORD>(Le32(h + 16), 1)) * 10000;

  // Frame chunks follow the header, after an optional prefix chunk. A chunk
  // too short for its own header would never move on, so it ends the file.
  LONGLONG pos = kHeaderSize;
  for (bool first = true; pos + kChunkHeaderSize <= fileLength; first = false) {
    BYTE c[kChunkHeaderSize];
    if (m_read(pos, c, kChunkHeaderSize) != kChunkHeaderSize) break;
    const DWORD size = Le32(c);
    const WORD type = Le16(c + 4);
    if (size < static_cast<DWORD>(kChunkHeaderSize)) break;
    if (type == kPrefixChunk && first) {
      pos += size;
      continue;
    }
    // A frame cut short by the end of the file is left out.
    if (type != kFrameChunk || pos + size > fileLength) break;
    FrameRecord frame{pos, size, Le16(c + 6), false, false};
    LONGLONG sub = pos + kChunkHeaderSize;
    for (int i = 0; i < frame.chunks && sub + kSubChunkHeaderSize <= pos + size; i++) {
      BYTE s[kSubChunkHeaderSize];
      if (m_read(sub, s, kSubChunkHeaderSize) != kSubChunkHeaderSize) break;
      const DWORD subSize = Le32(s);
      const WORD subType = Le16(s + 4);
      if (subSize < static_cast<DWORD>(kSubChunkHeaderSize)) break;
      if (subType == kByteRun || subType == kBlack || subType == kCopy) frame.full = true;
      if (subType == kColor256 || subType == kColor64) frame.palette = true;
      sub += subSize;
    }
    m_frames.push_back(frame);
    pos += size;
  }
  // The ring frame after the declared ones leads back to the first frame;
  // a conversion plays the animation once.
  if (declaredFrames > 0 && m_frames.size() > static_cast<size_t>(declaredFrames))
    m_frames.resize(static_cast<size_t>(declaredFrames));
  if (m_frames.empty()) return false;
  m_pixels.assign(static_cast<size_t>(m_width) * static_cast<size_t>(m_height), 0);
  std::fill(std::begin(m_palette), std::end(m_palette), 0u);
  return true;
}

bool CFLICDecoder::Decode(int n) {
  if (n < 0 || n >= FrameCount()) return false;
  if (n == m_held) return true;
  int from = m_held + 1;
  if (m_held < 0 || n < m_held) {
    // Restart from the last frame that redraws everything. The palette it
    // plays with was set by the frames before it, so their colour chunks
    // are replayed first.
    from = n;
    while (from > 0 && !m_frames[static_cast<size_t>(from)].full) from--;
    std::fill(m_pixels.begin(), m_pixels.end(), 0);
    std::fill(std::begin(m_palette), std::end(m_palette), 0u);
    for (int f = 0; f < from; f++) {
      if (m_frames[static_cast<size_t>(f)].palette && !ReadFrame(f, true)) {
        m_held = -1;
        return false;
      }
    }
  }
  for (int f = from; f <= n; f++) {
    if (!ReadFrame(f, false)) {
      m_held = -1;
      return false;
    }
  }
  m_held = n;
  return true;
}

bool CFLICDecoder::ReadFrame(int n, bool paletteOnly) {
  const FrameRecord& frame = m_frames[static_cast<size_t>(n)];
  // No honest frame is larger than four bytes a pixel and its palettes;
  // the rest of a larger one is not read.
  const size_t limit = m_pixels.size() * 4 + 65536;
  const size_t body = std::min<size_t>(frame.size - kChunkHeaderSize, limit);
  m_chunk.resize(body);
  if (body && m_read(frame.position + kChunkHeaderSize, m_chunk.data(), static_cast<LONG>(body)) != static_cast<LONG>(body))
    return false;
  ApplyFrame(m_chunk.data(), body, frame.chunks, paletteOnly);
  return true;
}

void CFLICDecoder::ApplyFrame(const BYTE* data, size_t size, WORD chunks, bool paletteOnly) {
  size_t pos = 0;
  for (int i = 0; i < chunks && pos + kSubChunkHeaderSize <= size; i++) {
    const DWORD subSize = Le32(data + pos);
    const WORD type = Le16(data + pos + 4);
    if (subSize < static_cast<DWORD>(kSubChunkHeaderSize)) break;
    // A sub-chunk that claims more than its frame holds gets what is there.
    const size_t len = std::min<size_t>(subSize, size - pos) - kSubChunkHeaderSize;
    const BYTE* p = data + pos + kSubChunkHeaderSize;
    switch (type) {
      case kColor256: Palette(p, len, false); break;
      case kColor64: Palette(p, len, true); break;
      case kDeltaFlc: if (!paletteOnly) DeltaFlc(p, len); break;
      case kDeltaFli: if (!paletteOnly) DeltaFli(p, len); break;
      case kBlack: if (!paletteOnly) std::fill(m_pixels.begin(), m_pixels.end(), 0); break;
      case kByteRun: if (!paletteOnly) ByteRun(p, len); break;
      case kCopy:
        if (!paletteOnly) std::memcpy(m_pixels.data(), p, std::min(len, m_pixels.size()));
        break;
      default: break;  // stamps and unknown chunks draw nothing
    }
    if (subSize > size - pos) break;
    pos += subSize;
  }
}

void CFLICDecoder::Palette(const BYTE* data, size_t size, bool sixBit) {
  Cursor c{data, size};
  WORD packets = 0;
  if (!c.Word(packets)) return;
  size_t index = 0;
  for (int i = 0; i < packets; i++) {
    BYTE skip = 0, count = 0;
    if (!c.Byte(skip) || !c.Byte(count)) return;
    index += skip;
    const size_t colours = count ? count : 256;
    const BYTE* rgb = nullptr;
    const size_t got = c.Take(colours * 3, rgb) / 3;
    for (size_t k = 0; k < got && index < 256; k++, index++) {
      DWORD r = rgb[3 * k], g = rgb[3 * k + 1], b = rgb[3 * k + 2];
      if (sixBit) {
        // 0..63 to 0..255, the top bits repeated below so white stays white.
        r = (r << 2 | r >> 4) & 0xFF;
        g = (g << 2 | g >> 4) & 0xFF;
        b = (b << 2 | b >> 4) & 0xFF;
      }
      m_palette[index] = r << 16 | g << 8 | b;
    }
    if (got < colours) return;
  }
}

void CFLICDecoder::ByteRun(const BYTE* data, size_t size) {
  Cursor c{data, size};
  for (int y = 0; y < m_height; y++) {
    BYTE* line = &m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width)];
    // The packet count is unreliable in wide FLC files; the width decides.
    BYTE ignored = 0;
    if (!c.Byte(ignored)) return;
    for (int x = 0; x < m_width;) {
      int count = 0;
      if (!c.Signed(count)) return;
      if (count < 0) {
        const BYTE* literal = nullptr;
        const size_t got = c.Take(static_cast<size_t>(-count), literal);
        const size_t k = std::min<size_t>(got, static_cast<size_t>(m_width - x));
        std::memcpy(line + x, literal, k);
        x += static_cast<int>(k);
        if (got < static_cast<size_t>(-count)) return;
      } else if (count > 0) {
        BYTE v = 0;
        if (!c.Byte(v)) return;
        const int k = std::min(count, m_width - x);
        std::memset(line + x, v, static_cast<size_t>(k));
        x += k;
      }
    }
  }
}

void CFLICDecoder::DeltaFli(const BYTE* data, size_t size) {
  Cursor c{data, size};
  WORD first = 0, lines = 0;
  if (!c.Word(first) || !c.Word(lines)) return;
  for (int y = first, i = 0; i < lines && y < m_height; i++, y++) {
    BYTE* line = &m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width)];
    BYTE packets = 0;
    if (!c.Byte(packets)) return;
    int x = 0;
    for (int k = 0; k < packets; k++) {
      BYTE skip = 0;
      int count = 0;
      if (!c.Byte(skip) || !c.Signed(count)) return;
      x += skip;
      if (count > 0) {
        const BYTE* literal = nullptr;
        const size_t got = c.Take(static_cast<size_t>(count), literal);
        if (x < m_width) std::memcpy(line + x, literal, std::min<size_t>(got, static_cast<size_t>(m_width - x)));
        x += count;
        if (got < static_cast<size_t>(count)) return;
      } else if (count < 0) {
        BYTE v = 0;
        if (!c.Byte(v)) return;
        if (x < m_width) std::memset(line + x, v, static_cast<size_t>(std::min(-count, m_width - x)));
        x -= count;
      }
    }
  }
}

void CFLICDecoder::DeltaFlc(const BYTE* data, size_t size) {
  Cursor c{data, size};
  WORD lines = 0;
  if (!c.Word(lines)) return;
  int y = 0;
  for (int i = 0; i < lines; i++) {
    // Opcodes before the packet count: skip lines, or set a line's last
    // pixel.
    WORD op = 0;
    for (;;) {
      if (!c.Word(op)) return;
      if ((op & 0xC000) == 0xC000) {
        y += 0x10000 - op;
      } else if ((op & 0xC000) == 0x8000) {
        if (y < m_height) m_pixels[static_cast<size_t>(y) * m_width + static_cast<size_t>(m_width - 1)] = op & 0xFF;
      } else if ((op & 0xC000) == 0x4000) {
        return;  // not an opcode of the format
      } else {
        break;
      }
    }
    if (y >= m_height) return;
    BYTE* line = &m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width)];
    int x = 0;
    for (int k = 0; k < op; k++) {
      BYTE skip = 0;
      int count = 0;
      if (!c.Byte(skip) || !c.Signed(count)) return;
      x += skip;
      if (count > 0) {
        const BYTE* words = nullptr;
        const size_t want = 2 * static_cast<size_t>(count);
        const size_t got = c.Take(want, words);
        if (x < m_width) std::memcpy(line + x, words, std::min<size_t>(got, static_cast<size_t>(m_width - x)));
        x += 2 * count;
        if (got < want) return;
      } else if (count < 0) {
        BYTE pair[2];
        if (!c.Byte(pair[0]) || !c.Byte(pair[1])) return;
        for (int r = 0; r < -count && x < m_width; r++, x += 2) {
          line[x] = pair[0];
          if (x + 1 < m_width) line[x + 1] = pair[1];
        }
      }
    }
    y++;
  }
}

void CFLICDecoder::ToRgb32(BYTE* dst, LONG stride, int rows, int cols, bool bottomUp) const {
  const int h = std::min(rows, m_height);
  const int w = std::min(cols, m_width);
  for (int y = 0; y < h; y++) {
    const BYTE* src = &m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width)];
    BYTE* out = dst + static_cast<ptrdiff_t>(bottomUp ? rows - 1 - y : y) * stride;
    for (int x = 0; x < w; x++) std::memcpy(out + 4 * x, &m_palette[src[x]], 4);
  }
}
