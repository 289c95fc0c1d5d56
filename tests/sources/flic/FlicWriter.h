// A small FLIC writer for the tests (ffmpeg reads FLIC but cannot write
// it): FLI files with 64-level palettes and byte-delta frames, FLC files
// with 256-level palettes and word-delta frames; the first frame is a byte
// run, and frames may be asked as copies or black frames.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace flictest {

using Bytes = std::vector<uint8_t>;

struct Frame {
  Bytes pixels;   // width x height palette indexes
  Bytes palette;  // 768 bytes of 8-bit RGB, or empty to keep the last one
  enum Kind { kAuto, kRun, kCopy, kBlack } kind = kAuto;
};

struct Options {
  bool flc = true;
  int speed = 5;
  bool ringFrame = false;  // one more frame leading back to the first
  bool prefix = false;     // a prefix chunk before the first frame
};

inline void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
inline void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A sub-chunk: size, type, data.
inline void Chunk(Bytes& out, unsigned type, const Bytes& data) {
  Put32(out, static_cast<uint32_t>(data.size() + 6));
  Put16(out, type);
  out.insert(out.end(), data.begin(), data.end());
}

inline Bytes PaletteChunk(const Bytes& rgb, bool sixBit) {
  Bytes d;
  Put16(d, 1);
  d.push_back(0);
  d.push_back(0);  // 256 colours
  for (uint8_t v : rgb) d.push_back(sixBit ? v >> 2 : v);
  return d;
}

inline Bytes ByteRun(const Bytes& px, int w, int h) {
  Bytes d;
  for (int y = 0; y < h; y++) {
    const uint8_t* line = &px[static_cast<size_t>(y) * w];
    d.push_back(0);  // packet count, not relied on
    for (int x = 0; x < w;) {
      int run = 1;
      while (x + run < w && run < 127 && line[x + run] == line[x]) run++;
      if (run >= 3) {
        d.push_back(static_cast<uint8_t>(run));
        d.push_back(line[x]);
        x += run;
        continue;
      }
      int lit = 0;
      while (x + lit < w && lit < 127 && !(x + lit + 2 < w && line[x + lit] == line[x + lit + 1] &&
                                           line[x + lit] == line[x + lit + 2]))
        lit++;
      if (lit == 0) lit = 1;
      d.push_back(static_cast<uint8_t>(-lit));
      d.insert(d.end(), line + x, line + x + lit);
      x += lit;
    }
  }
  return d;
}

// FLI byte delta: the changed lines, each as packets of (skip, literal).
inline Bytes DeltaFli(const Bytes& prev, const Bytes& px, int w, int h) {
  int first = 0, last = h - 1;
  auto same = [&](int y) { return std::memcmp(&prev[size_t(y) * w], &px[size_t(y) * w], size_t(w)) == 0; };
  while (first < h && same(first)) first++;
  while (last > first && same(last)) last--;
  Bytes d;
  Put16(d, first < h ? first : 0);
  Put16(d, first < h ? last - first + 1 : 0);
  for (int y = first; y <= last && first < h; y++) {
    Bytes packets;
    int count = 0;
    for (int x = 0, from = 0; x < w;) {
      if (prev[size_t(y) * w + x] == px[size_t(y) * w + x]) {
        x++;
        continue;
      }
      int len = 0;
      while (x + len < w && len < 127 && prev[size_t(y) * w + x + len] != px[size_t(y) * w + x + len]) len++;
      int skip = x - from;
      while (skip > 255) {  // a packet of no bytes moves on
        packets.push_back(255);
        packets.push_back(0);
        skip -= 255;
        count++;
      }
      int run = 1;
      while (run < len && px[size_t(y) * w + x + run] == px[size_t(y) * w + x]) run++;
      packets.push_back(static_cast<uint8_t>(skip));
      if (run >= 3) {  // a repeated byte
        len = run;
        packets.push_back(static_cast<uint8_t>(-run));
        packets.push_back(px[size_t(y) * w + x]);
      } else {
        packets.push_back(static_cast<uint8_t>(len));
        packets.insert(packets.end(), &px[size_t(y) * w + x], &px[size_t(y) * w + x + len]);
      }
      count++;
      x += len;
      from = x;
    }
    d.push_back(static_cast<uint8_t>(count));
    d.insert(d.end(), packets.begin(), packets.end());
  }
  return d;
}

// FLC word delta: lines skipped by opcode, the odd last pixel by opcode,
// then packets of (skip, literal words) or (skip, repeated word).
inline Bytes DeltaFlc(const Bytes& prev, const Bytes& px, int w, int h) {
  Bytes d;
  Put16(d, 0);  // line count, set below
  int lines = 0, skipped = 0;
  const int pairs = w / 2;
  for (int y = 0; y < h; y++) {
    const uint8_t* a = &prev[size_t(y) * w];
    const uint8_t* b = &px[size_t(y) * w];
    if (std::memcmp(a, b, size_t(w)) == 0) {
      skipped++;
      continue;
    }
    if (skipped) Put16(d, 0x10000 - skipped);
    skipped = 0;
    if (w % 2) Put16(d, 0x8000 | b[w - 1]);
    Bytes packets;
    int count = 0;
    for (int p = 0, from = 0; p < pairs;) {
      if (a[2 * p] == b[2 * p] && a[2 * p + 1] == b[2 * p + 1]) {
        p++;
        continue;
      }
      int run = 1;
      while (p + run < pairs && run < 127 && b[2 * (p + run)] == b[2 * p] && b[2 * (p + run) + 1] == b[2 * p + 1]) run++;
      int skip = 2 * (p - from);
      while (skip > 254) {
        packets.push_back(254);
        packets.push_back(0);
        skip -= 254;
        count++;
      }
      packets.push_back(static_cast<uint8_t>(skip));
      if (run >= 2) {
        packets.push_back(static_cast<uint8_t>(-run));
        packets.push_back(b[2 * p]);
        packets.push_back(b[2 * p + 1]);
        p += run;
      } else {
        int len = 0;
        while (p + len < pairs && len < 127 && (a[2 * (p + len)] != b[2 * (p + len)] || a[2 * (p + len) + 1] != b[2 * (p + len) + 1]))
          len++;
        packets.push_back(static_cast<uint8_t>(len));
        packets.insert(packets.end(), b + 2 * p, b + 2 * (p + len));
        p += len;
      }
      count++;
      from = p;
    }
    Put16(d, count);
    d.insert(d.end(), packets.begin(), packets.end());
    lines++;
  }
  d[0] = static_cast<uint8_t>(lines);
  d[1] = static_cast<uint8_t>(lines >> 8);
  return d;
}

inline Bytes Write(int w, int h, const std::vector<Frame>& frames, const Options& o = {}) {
  Bytes out(128, 0);
  Set32(out, 4, o.flc ? 0xAF12 : 0xAF11);
  out[6] = static_cast<uint8_t>(frames.size());
  out[7] = static_cast<uint8_t>(frames.size() >> 8);
  out[8] = static_cast<uint8_t>(w), out[9] = static_cast<uint8_t>(w >> 8);
  out[10] = static_cast<uint8_t>(h), out[11] = static_cast<uint8_t>(h >> 8);
  out[12] = 8;
  Set32(out, 16, static_cast<uint32_t>(o.speed));
  if (!o.flc) out[18] = out[19] = 0;
  if (o.prefix) {
    Put32(out, 16);
    Put16(out, 0xF100);
    out.resize(out.size() + 10, 0);
  }
  std::vector<Frame> all = frames;
  if (o.ringFrame && !frames.empty()) all.push_back(Frame{frames[0].pixels, {}, Frame::kAuto});
  Bytes prev(size_t(w) * h, 0);
  for (size_t i = 0; i < all.size(); i++) {
    const Frame& f = all[i];
    Bytes subs;
    int chunks = 0;
    if (!f.palette.empty()) Chunk(subs, o.flc ? 4 : 11, PaletteChunk(f.palette, !o.flc)), chunks++;
    if (f.kind == Frame::kBlack) {
      Chunk(subs, 13, {});
    } else if (f.kind == Frame::kCopy) {
      Chunk(subs, 16, f.pixels);
    } else if (i == 0 || f.kind == Frame::kRun) {
      Chunk(subs, 15, ByteRun(f.pixels, w, h));
    } else {
      Chunk(subs, o.flc ? 7 : 12, o.flc ? DeltaFlc(prev, f.pixels, w, h) : DeltaFli(prev, f.pixels, w, h));
    }
    chunks++;
    if (i == 1 && o.flc) Set32(out, 84, static_cast<uint32_t>(out.size()));
    if (i == 0 && o.flc) Set32(out, 80, static_cast<uint32_t>(out.size()));
    Put32(out, static_cast<uint32_t>(subs.size() + 16));
    Put16(out, 0xF1FA);
    Put16(out, chunks);
    out.resize(out.size() + 8, 0);
    out.insert(out.end(), subs.begin(), subs.end());
    prev = f.kind == Frame::kBlack ? Bytes(size_t(w) * h, 0) : f.pixels;
  }
  Set32(out, 0, static_cast<uint32_t>(out.size()));
  return out;
}

}  // namespace flictest
