// A small EBML writer for the Matroska tests: hand-built files for what
// ffmpeg does not write (lacing, content encodings, block additions,
// damaged headers, odd timings).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace ebml {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// An identifier as written: its bytes with the length marker kept.
inline Bytes Id(uint32_t id) {
  Bytes out;
  bool started = false;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto b = static_cast<uint8_t>(id >> shift);
    if (b || started || shift == 0) {
      out.push_back(b);
      started = true;
    }
  }
  return out;
}

// A coded size of `width` bytes (0: the fewest that hold it).
inline Bytes Size(uint64_t v, int width = 0) {
  if (width == 0) {
    width = 1;
    while (width < 8 && v >= (1ULL << (7 * width)) - 1) width++;
  }
  Bytes out(static_cast<size_t>(width));
  uint64_t coded = v | (1ULL << (7 * width));
  for (int i = width - 1; i >= 0; i--) {
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(coded);
    coded >>= 8;
  }
  return out;
}

// The size field that means "unknown": all value bits set.
inline Bytes UnknownSize() { return {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}; }

inline Bytes Element(uint32_t id, const Bytes& payload) {
  return Cat({Id(id), Size(payload.size()), payload});
}

inline Bytes UInt(uint32_t id, uint64_t v) {
  Bytes payload;
  do {
    payload.insert(payload.begin(), static_cast<uint8_t>(v));
    v >>= 8;
  } while (v);
  return Element(id, payload);
}

inline Bytes Str(uint32_t id, const std::string& s) { return Element(id, Bytes(s.begin(), s.end())); }

inline Bytes Float(uint32_t id, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  Bytes payload(8);
  for (int i = 7; i >= 0; i--) {
    payload[static_cast<size_t>(i)] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
  return Element(id, payload);
}

inline Bytes Header(const std::string& docType = "matroska", uint64_t readVersion = 2) {
  return Element(0x1A45DFA3, Cat({UInt(0x4286, 1), UInt(0x42F7, 1), UInt(0x42F2, 4), UInt(0x42F3, 8),
                                  Str(0x4282, docType), UInt(0x4287, 4), UInt(0x4285, readVersion)}));
}

inline Bytes Info(uint64_t scale = 1000000, double duration = -1, const std::string& title = "") {
  Bytes payload = UInt(0x2AD7B1, scale);
  if (duration >= 0) payload = Cat({payload, Float(0x4489, duration)});
  if (!title.empty()) payload = Cat({payload, Str(0x7BA9, title)});
  return Element(0x1549A966, payload);
}

struct TrackSpec {
  uint64_t number = 1;
  uint64_t type = 1;
  std::string codec = "V_MS/VFW/FOURCC";
  Bytes codecPrivate;
  Bytes more;  // further children (Video, Audio, ContentEncodings...)
};

inline Bytes TrackEntry(const TrackSpec& t) {
  Bytes payload = Cat({UInt(0xD7, t.number), UInt(0x73C5, t.number), UInt(0x83, t.type), Str(0x86, t.codec)});
  if (!t.codecPrivate.empty()) payload = Cat({payload, Element(0x63A2, t.codecPrivate)});
  return Element(0xAE, Cat({payload, t.more}));
}

inline Bytes Tracks(std::initializer_list<TrackSpec> tracks) {
  Bytes payload;
  for (const TrackSpec& t : tracks) payload = Cat({payload, TrackEntry(t)});
  return Element(0x1654AE6B, payload);
}

inline Bytes VideoSize(uint64_t w, uint64_t h) { return Element(0xE0, Cat({UInt(0xB0, w), UInt(0xBA, h)})); }
inline Bytes AudioFormat(double rate, uint64_t channels, uint64_t bits = 16) {
  return Element(0xE1, Cat({Float(0xB5, rate), UInt(0x9F, channels), UInt(0x6264, bits)}));
}

// One content encoding: compression with `algo` (0 zlib, 3 header
// stripping) for the scopes in `scope`.
inline Bytes Compression(uint64_t algo, uint64_t scope, const Bytes& settings = {}, uint64_t order = 0) {
  Bytes comp = UInt(0x4254, algo);
  if (!settings.empty()) comp = Cat({comp, Element(0x4255, settings)});
  return Element(0x6D80, Element(0x6240, Cat({UInt(0x5031, order), UInt(0x5032, scope), UInt(0x5033, 0),
                                              Element(0x5034, comp)})));
}

// The block payload: track number, 16-bit time code, flags, then `rest`
// (lacing header and frames).
inline Bytes BlockBody(uint64_t track, int16_t timecode, uint8_t flags, const Bytes& rest) {
  const auto tc = static_cast<uint16_t>(timecode);
  return Cat({Size(track), {static_cast<uint8_t>(tc >> 8), static_cast<uint8_t>(tc), flags}, rest});
}

inline Bytes SimpleBlock(uint64_t track, int16_t timecode, bool key, const Bytes& frame) {
  return Element(0xA3, BlockBody(track, timecode, key ? 0x80 : 0x00, frame));
}

// A BlockGroup around a Block; `more` holds BlockDuration, references and
// additions as wanted.
inline Bytes BlockGroup(const Bytes& body, const Bytes& more = {}) {
  return Element(0xA0, Cat({Element(0xA1, body), more}));
}

inline Bytes Cluster(uint64_t timecode, const Bytes& blocks) {
  return Element(0x1F43B675, Cat({UInt(0xE7, timecode), blocks}));
}

inline Bytes Segment(const Bytes& children) { return Element(0x18538067, children); }

inline Bytes Frame(size_t n, uint8_t fill) { return Bytes(n, fill); }

inline bool WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace ebml
