// A small Ogg page writer for the tests (what ffmpeg cannot write: OGM
// stream headers, embedded media types, odd lacing, sequence gaps) and the
// OGM file the end-to-end case converts: MPEG-4 video frames as an OGM
// video stream beside the pages of an Ogg Vorbis file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace oggtest {

using Bytes = std::vector<uint8_t>;

inline uint32_t OggCrc(const uint8_t* p, size_t n) {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; k++) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (size_t i = 0; i < n; i++) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

inline void PutLe(Bytes& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Page {
  uint8_t flags = 0;  // 1 continued, 2 first, 4 last
  int64_t granule = -1;
  uint32_t serial = 0;
  uint32_t seq = 0;
  std::vector<int> lacing;
  Bytes data;
};

inline Bytes SerializePage(const Page& page) {
  Bytes out = {'O', 'g', 'g', 'S', 0, page.flags};
  PutLe(out, static_cast<uint64_t>(page.granule), 8);
  PutLe(out, page.serial, 4);
  PutLe(out, page.seq, 4);
  PutLe(out, 0, 4);
  out.push_back(static_cast<uint8_t>(page.lacing.size()));
  for (int v : page.lacing) out.push_back(static_cast<uint8_t>(v));
  out.insert(out.end(), page.data.begin(), page.data.end());
  const uint32_t crc = OggCrc(out.data(), out.size());
  for (int i = 0; i < 4; i++) out[22 + i] = static_cast<uint8_t>(crc >> (8 * i));
  return out;
}

// The pages of an Ogg file (no checks beyond the lengths).
inline std::vector<Page> ParsePages(const Bytes& file) {
  std::vector<Page> pages;
  size_t pos = 0;
  while (pos + 27 <= file.size() && memcmp(file.data() + pos, "OggS", 4) == 0) {
    Page p;
    const uint8_t* h = file.data() + pos;
    p.flags = h[5];
    uint64_t g = 0;
    for (int i = 7; i >= 0; i--) g = g << 8 | h[6 + i];
    p.granule = static_cast<int64_t>(g);
    p.serial = h[14] | h[15] << 8 | h[16] << 16 | static_cast<uint32_t>(h[17]) << 24;
    p.seq = h[18] | h[19] << 8 | h[20] << 16 | static_cast<uint32_t>(h[21]) << 24;
    const int segments = h[26];
    if (pos + 27 + segments > file.size()) break;
    size_t total = 0;
    for (int i = 0; i < segments; i++) {
      p.lacing.push_back(h[27 + i]);
      total += h[27 + i];
    }
    const size_t data = pos + 27 + segments;
    if (data + total > file.size()) break;
    p.data.assign(file.begin() + static_cast<ptrdiff_t>(data), file.begin() + static_cast<ptrdiff_t>(data + total));
    pages.push_back(std::move(p));
    pos = data + total;
  }
  return pages;
}

// Lacing values of a whole packet.
inline void Lace(std::vector<int>& lacing, size_t n) {
  for (; n >= 255; n -= 255) lacing.push_back(255);
  lacing.push_back(static_cast<int>(n));
}

class OggWriter {
 public:
  // A page of whole packets with the next sequence number of its stream.
  void Packets(uint32_t serial, const std::vector<Bytes>& packets, int64_t granule, uint8_t flags = 0) {
    Page p;
    p.flags = flags;
    p.granule = granule;
    p.serial = serial;
    for (const Bytes& b : packets) {
      Lace(p.lacing, b.size());
      p.data.insert(p.data.end(), b.begin(), b.end());
    }
    Add(std::move(p));
  }
  // A page as given; the sequence number is the stream's next one unless
  // `seq` is set.
  void Add(Page p, int64_t seq = -1) {
    uint32_t& next = m_seq[p.serial];
    p.seq = seq >= 0 ? static_cast<uint32_t>(seq) : next;
    next = p.seq + 1;
    const Bytes b = SerializePage(p);
    bytes.insert(bytes.end(), b.begin(), b.end());
  }

  Bytes bytes;

 private:
  std::map<uint32_t, uint32_t> m_seq;
};

// The OGM stream header packet: type byte, the 56-byte record, extra bytes.
struct OgmHeader {
  std::string type;  // "video", "audio", "text"
  std::string subtype;
  int64_t timeUnit = 0, samplesPerUnit = 0;
  int32_t defaultLen = 1, bufferSize = 0;
  int16_t bitsPerSample = 0;
  int32_t width = 0, height = 0;                          // video
  int16_t channels = 0, blockAlign = 0;                   // audio
  int32_t avgBytesPerSec = 0;                             // audio
  Bytes extra;
  int32_t size = -1;  // the record's size field; -1: 56 + extra

  Bytes Packet() const {
    Bytes out;
    out.reserve(64 + extra.size());
    out.push_back(1);
    char t[8] = {}, s[4] = {};
    memcpy(t, type.data(), std::min<size_t>(type.size(), 8));
    memcpy(s, subtype.data(), std::min<size_t>(subtype.size(), 4));
    out.insert(out.end(), t, t + 8);
    out.insert(out.end(), s, s + 4);
    PutLe(out, static_cast<uint32_t>(size >= 0 ? size : 56 + static_cast<int32_t>(extra.size())), 4);
    PutLe(out, static_cast<uint64_t>(timeUnit), 8);
    PutLe(out, static_cast<uint64_t>(samplesPerUnit), 8);
    PutLe(out, static_cast<uint32_t>(defaultLen), 4);
    PutLe(out, static_cast<uint32_t>(bufferSize), 4);
    PutLe(out, static_cast<uint16_t>(bitsPerSample), 2);
    PutLe(out, 0, 2);
    if (type == "audio") {
      PutLe(out, static_cast<uint16_t>(channels), 2);
      PutLe(out, static_cast<uint16_t>(blockAlign), 2);
      PutLe(out, static_cast<uint32_t>(avgBytesPerSec), 4);
    } else {
      PutLe(out, static_cast<uint32_t>(width), 4);
      PutLe(out, static_cast<uint32_t>(height), 4);
    }
    PutLe(out, 0, 4);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }
};

// The comment header of an OGM stream, without comments.
inline Bytes OgmComments() {
  Bytes out = {3, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return out;
}

// An OGM data packet: flag byte (sync point, number of duration bytes),
// the duration, the data.
inline Bytes OgmPacket(const Bytes& data, bool key, int durationBytes = 0, uint64_t duration = 0) {
  uint8_t h = key ? 0x08 : 0x00;
  h |= static_cast<uint8_t>((durationBytes & 3) << 6 | (durationBytes & 4) >> 1);
  Bytes out = {h};
  PutLe(out, duration, durationBytes);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// The frames of an MPEG-4 part 2 elementary stream: each from the headers
// in front of its picture (00 00 01 B6) to the next frame's; `keys` tells
// the intra pictures.
inline std::vector<Bytes> SplitMpeg4Frames(const Bytes& es, std::vector<bool>* keys = nullptr) {
  std::vector<size_t> starts;
  size_t headerRun = SIZE_MAX;
  for (size_t i = 0; i + 4 < es.size(); i++) {
    if (es[i] || es[i + 1] || es[i + 2] != 1) continue;
    const uint8_t code = es[i + 3];
    if (code == 0xB6) {
      starts.push_back(headerRun == SIZE_MAX ? i : headerRun);
      if (keys) keys->push_back((es[i + 4] >> 6) == 0);
      headerRun = SIZE_MAX;
    } else if (headerRun == SIZE_MAX) {
      headerRun = i;
    }
  }
  std::vector<Bytes> frames;
  for (size_t k = 0; k < starts.size(); k++) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : es.size();
    frames.emplace_back(es.begin() + static_cast<ptrdiff_t>(k == 0 ? 0 : starts[k]),
                        es.begin() + static_cast<ptrdiff_t>(end));
  }
  return frames;
}

// An OGM file: the MPEG-4 frames (`repeat` times over) as an OGM video
// stream ("XVID", 25 frames a second, one frame a page, granule = frame
// number) and the stream of an Ogg Vorbis file under a serial number of its
// own, pages interleaved by time.
inline Bytes BuildOgm(const Bytes& mpeg4, const Bytes& vorbisOgg, int width, int height, int repeat = 1) {
  constexpr uint32_t kVideo = 0x1000, kAudio = 0x2000;
  std::vector<bool> keys;
  std::vector<Bytes> frames = SplitMpeg4Frames(mpeg4, &keys);
  const size_t once = frames.size();
  for (int r = 1; r < repeat; r++) {
    for (size_t k = 0; k < once; k++) {
      frames.push_back(frames[k]);
      keys.push_back(keys[k]);
    }
  }
  OggWriter w;
  OgmHeader h;
  h.type = "video";
  h.subtype = "XVID";
  h.timeUnit = 400000;
  h.samplesPerUnit = 1;
  h.bufferSize = 1 << 20;
  h.bitsPerSample = 24;
  h.width = width;
  h.height = height;
  w.Packets(kVideo, {h.Packet()}, 0, 2);

  std::vector<Page> audio = ParsePages(vorbisOgg);
  // First pages first, then the other header pages, then data by time.
  size_t next = 0;
  uint32_t rate = 0;
  for (; next < audio.size() && (audio[next].flags & 2); next++) {
    const Page& p = audio[next];
    if (p.data.size() >= 16 && p.data[0] == 1) rate = p.data[12] | p.data[13] << 8 | p.data[14] << 16 | p.data[15] << 24;
    Page copy = p;
    copy.serial = kAudio;
    w.Add(copy, p.seq);
  }
  w.Packets(kVideo, {OgmComments()}, 0);
  for (; next < audio.size() && audio[next].granule == 0; next++) {
    Page copy = audio[next];
    copy.serial = kAudio;
    w.Add(copy, audio[next].seq);
  }
  for (size_t k = 0; k < frames.size(); k++) {
    const double t = k * 0.04;
    while (next < audio.size() && rate && audio[next].granule >= 0 && audio[next].granule / double(rate) <= t) {
      Page copy = audio[next];
      copy.serial = kAudio;
      w.Add(copy, audio[next].seq);
      next++;
    }
    w.Packets(kVideo, {OgmPacket(frames[k], keys[k])}, static_cast<int64_t>(k), k + 1 == frames.size() ? 4 : 0);
  }
  for (; next < audio.size(); next++) {
    Page copy = audio[next];
    copy.serial = kAudio;
    w.Add(copy, audio[next].seq);
  }
  return w.bytes;
}

}  // namespace oggtest
