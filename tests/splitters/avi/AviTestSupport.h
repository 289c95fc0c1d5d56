// Test kit of the AVI tests: a small RIFF writer for the layouts ffmpeg does
// not write (OpenDML with AVIX, absolute idx1 offsets, no index, odd chunk
// sizes, streams one after the other), libavformat as the independent
// account of a file's packets, and re-wrapping of a sample's packets into
// such layouts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/win32/Gdi.h"
#include "tests/foundation/FfprobeInfo.h"

namespace avitest {

using Bytes = std::vector<uint8_t>;

inline uint32_t Fcc(const char* s) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

struct Stream {
  std::string type = "vids";  // vids, auds, txts, mids, iavs
  uint32_t handler = 0;
  uint32_t scale = 1, rate = 25, sampleSize = 0, suggestedBuffer = 0;
  Bytes strf;
  std::string name;
  bool nameFirst = false;  // "strn" before "strh"
  std::string kind = "dc";  // chunk id suffix
  std::vector<Bytes> chunks;
  std::vector<bool> keys;  // empty: every chunk is a key chunk
  uint16_t BlockAlign() const { return strf.size() >= 14 ? uint16_t(strf[12] | strf[13] << 8) : 0; }
};

enum class Index { Idx1, Idx1Absolute, None, OpenDml, OpenDmlAndIdx1 };

struct Options {
  Index index = Index::Idx1;
  bool interleaved = true;      // else every stream's chunks one stream after the other
  size_t chunksPerRiff = 0;     // OpenDML: data chunks per RIFF before an AVIX begins (0: one RIFF)
  uint32_t streamsInHeader = ~0u;  // avih dwStreams (default: the stream count)
  int unlisted = -1;               // a stream idx1 leaves out
  std::map<std::string, std::string> info;
};

class Writer {
 public:
  Bytes out;
  size_t Pos() const { return out.size(); }
  void U16(uint32_t v) { out.push_back(uint8_t(v)), out.push_back(uint8_t(v >> 8)); }
  void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  void U64(uint64_t v) { U32(uint32_t(v)), U32(uint32_t(v >> 32)); }
  void Put(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
  void Patch32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
  }
  void Patch64(size_t at, uint64_t v) { Patch32(at, uint32_t(v)), Patch32(at + 4, uint32_t(v >> 32)); }
  // Opens "LIST"/"RIFF" (with a type) or a plain chunk; Close pads and sizes it.
  size_t Open(const char* id, const char* type = nullptr) {
    U32(Fcc(id));
    size_t at = Pos();
    U32(0);
    if (type) U32(Fcc(type));
    return at;
  }
  void Close(size_t at) {
    Patch32(at, uint32_t(Pos() - at - 4));
    if (Pos() & 1) out.push_back(0);
  }
  void Chunk(uint32_t id, const Bytes& data) {
    U32(id);
    U32(uint32_t(data.size()));
    Put(data);
    if (data.size() & 1) out.push_back(0);
  }
};

struct Planned {
  size_t stream, index;
  double time;
};

// Chunks in the order they are written: by time (interleaved) or stream
// after stream.
inline std::vector<Planned> Plan(const std::vector<Stream>& streams, bool interleaved) {
  std::vector<Planned> plan;
  for (size_t s = 0; s < streams.size(); ++s) {
    double bytes = 0;
    for (size_t i = 0; i < streams[s].chunks.size(); ++i) {
      const Stream& st = streams[s];
      double units = st.type == "auds" ? (st.BlockAlign() ? bytes / st.BlockAlign() : 0) : double(i);
      plan.push_back({s, i, units * st.scale / st.rate});
      bytes += double(st.chunks[i].size());
    }
  }
  if (interleaved)
    std::stable_sort(plan.begin(), plan.end(), [](const Planned& a, const Planned& b) { return a.time < b.time; });
  return plan;
}

inline uint32_t ChunkId(size_t stream, const std::string& kind) {
  char id[5] = {char('0' + stream / 10), char('0' + stream % 10), kind[0], kind[1], 0};
  return Fcc(id);
}

inline Bytes BuildAvi(const std::vector<Stream>& streams, const Options& o = {}) {
  const bool odml = o.index == Index::OpenDml || o.index == Index::OpenDmlAndIdx1;
  const std::vector<Planned> plan = Plan(streams, o.interleaved);
  const size_t perRiff = odml && o.chunksPerRiff ? o.chunksPerRiff : plan.size() + 1;
  const size_t riffs = std::max<size_t>(1, (plan.size() + perRiff - 1) / perRiff);

  Writer w;
  size_t riff = w.Open("RIFF", "AVI ");
  size_t hdrl = w.Open("LIST", "hdrl");
  size_t avih = w.Open("avih");
  w.U32(40000);  // 25 frames/s
  for (int i = 0; i < 3; ++i) w.U32(0);
  w.U32(uint32_t(streams.empty() ? 0 : streams[0].chunks.size()));
  w.U32(0);
  w.U32(o.streamsInHeader == ~0u ? uint32_t(streams.size()) : o.streamsInHeader);
  for (int i = 0; i < 7; ++i) w.U32(0);
  w.Close(avih);
  std::vector<size_t> superEntries(streams.size());
  for (size_t s = 0; s < streams.size(); ++s) {
    const Stream& st = streams[s];
    size_t strl = w.Open("LIST", "strl");
    auto name = [&] {
      if (!st.name.empty()) w.Chunk(Fcc("strn"), Bytes(st.name.begin(), st.name.end() + 1));
    };
    if (st.nameFirst) name();
    size_t strh = w.Open("strh");
    w.U32(Fcc(st.type.c_str()));
    w.U32(st.handler);
    w.U32(0), w.U32(0), w.U32(0);
    w.U32(st.scale), w.U32(st.rate), w.U32(0), w.U32(uint32_t(st.chunks.size()));
    w.U32(st.suggestedBuffer), w.U32(~0u), w.U32(st.sampleSize);
    w.U64(0);
    w.Close(strh);
    w.Chunk(Fcc("strf"), st.strf);
    if (!st.nameFirst) name();
    if (odml) {
      size_t indx = w.Open("indx");
      w.U16(4), w.out.push_back(0), w.out.push_back(0);  // longs per entry, sub type, index of indexes
      w.U32(uint32_t(riffs)), w.U32(ChunkId(s, st.kind)), w.U32(0), w.U32(0), w.U32(0);
      superEntries[s] = w.Pos();
      for (size_t r = 0; r < riffs; ++r) w.U64(0), w.U32(0), w.U32(0);
      w.Close(indx);
    }
    w.Close(strl);
  }
  w.Close(hdrl);
  if (!o.info.empty()) {
    size_t info = w.Open("LIST", "INFO");
    for (const auto& [id, text] : o.info) w.Chunk(Fcc(id.c_str()), Bytes(text.begin(), text.end() + 1));
    w.Close(info);
  }

  struct Written {
    size_t header;  // position of the chunk header
    size_t stream, index;
  };
  std::vector<Written> written;
  size_t firstMovi = 0;
  // idx1 lists the first RIFF's chunks, at that RIFF's end.
  auto idx1 = [&] {
    if (o.index != Index::Idx1 && o.index != Index::Idx1Absolute && o.index != Index::OpenDmlAndIdx1) return;
    size_t at = w.Open("idx1");
    for (const Written& c : written) {
      if (int(c.stream) == o.unlisted) continue;
      const Stream& st = streams[c.stream];
      const bool key = st.keys.empty() || st.keys[c.index];
      w.U32(ChunkId(c.stream, st.kind)), w.U32(key ? 0x10 : 0);
      w.U32(uint32_t(o.index == Index::Idx1Absolute ? c.header : c.header - (firstMovi + 8)));
      w.U32(uint32_t(st.chunks[c.index].size()));
    }
    w.Close(at);
  };
  for (size_t r = 0; r < riffs; ++r) {
    if (r > 0) {
      if (r == 1) idx1();
      w.Close(riff);
      riff = w.Open("RIFF", "AVIX");
    }
    const size_t movi = w.Open("LIST", "movi");
    if (r == 0) firstMovi = movi - 4;
    const size_t from = written.size();
    for (size_t k = r * perRiff; k < std::min(plan.size(), (r + 1) * perRiff); ++k) {
      const Stream& st = streams[plan[k].stream];
      written.push_back({w.Pos(), plan[k].stream, plan[k].index});
      w.Chunk(ChunkId(plan[k].stream, st.kind), st.chunks[plan[k].index]);
    }
    if (odml) {
      // One standard index per stream for this RIFF's chunks.
      for (size_t s = 0; s < streams.size(); ++s) {
        const size_t ix = w.Pos();
        char id[5] = {'i', 'x', char('0' + s / 10), char('0' + s % 10), 0};
        size_t at = w.Open(id);
        std::vector<const Written*> mine;
        for (size_t k = from; k < written.size(); ++k)
          if (written[k].stream == s) mine.push_back(&written[k]);
        w.U16(2), w.out.push_back(0), w.out.push_back(1);
        w.U32(uint32_t(mine.size())), w.U32(ChunkId(s, streams[s].kind));
        w.U64(movi), w.U32(0);
        for (const Written* c : mine) {
          const Stream& st = streams[s];
          const bool key = st.keys.empty() || st.keys[c->index];
          w.U32(uint32_t(c->header + 8 - movi)), w.U32(uint32_t(st.chunks[c->index].size()) | (key ? 0 : 0x80000000u));
        }
        w.Close(at);
        w.Patch64(superEntries[s] + r * 16, ix);
        w.Patch32(superEntries[s] + r * 16 + 8, uint32_t(w.Pos() - ix));
        w.Patch32(superEntries[s] + r * 16 + 12, uint32_t(mine.size()));
      }
    }
    w.Close(movi);
  }
  if (riffs == 1) idx1();
  w.Close(riff);
  return w.out;
}

inline Bytes BitmapHeader(uint32_t compression, int width, int height, uint16_t bits, const Bytes& extra = {}) {
  Writer w;
  w.U32(uint32_t(40 + extra.size())), w.U32(uint32_t(width)), w.U32(uint32_t(height));
  w.U16(1), w.U16(bits), w.U32(compression), w.U32(uint32_t(width * height * 3)), w.U32(0), w.U32(0);
  w.U32(0), w.U32(0);
  w.Put(extra);
  return w.out;
}

inline Bytes WaveFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align, uint16_t bits,
                        uint32_t bytesPerSec, const Bytes& extra = {}) {
  Writer w;
  w.U16(tag), w.U16(channels), w.U32(rate), w.U32(bytesPerSec), w.U16(align), w.U16(bits);
  w.U16(uint16_t(extra.size()));
  w.Put(extra);
  return w.out;
}

// Synthetic streams: `frames` video chunks of growing odd sizes and 16-bit
// stereo PCM at 8 kHz in chunks of `pcmChunk` bytes, `seconds` long.
inline std::vector<Stream> SyntheticStreams(size_t frames, size_t pcmChunk, double seconds) {
  Stream v;
  v.type = "vids";
  v.handler = Fcc("XVID");
  v.strf = BitmapHeader(Fcc("XVID"), 64, 48, 24);
  for (size_t i = 0; i < frames; ++i) {
    v.chunks.push_back(Bytes(101 + i % 7 * 2, uint8_t(i)));
    v.keys.push_back(i % 5 == 0);
  }
  Stream a;
  a.type = "auds";
  a.kind = "wb";
  a.scale = 4, a.rate = 32000, a.sampleSize = 4;
  a.strf = WaveFormat(1, 2, 8000, 4, 16, 32000);
  size_t total = size_t(seconds * 32000);
  for (size_t at = 0; at < total; at += pcmChunk) a.chunks.push_back(Bytes(std::min(pcmChunk, total - at), 0x55));
  return {v, a};
}

inline std::string OutFile(const std::string& name) {
  const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
  std::filesystem::path p = std::filesystem::path(dir ? dir : "/tmp/pm-avi-tests") / "out";
  std::filesystem::create_directories(p);
  return (p / name).string();
}

inline std::string WriteFile(const std::string& name, const Bytes& bytes) {
  std::string path = OutFile(name);
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

inline Bytes ReadFile(const std::string& path) {
  Bytes out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
  }
  return out;
}

// libavformat's account of a file.
struct LavfPacket {
  int stream;
  int64_t pts;  // 100 ns, or INT64_MIN
  int size;
  bool key;
  uint64_t hash;
};

inline uint64_t Fnv(const uint8_t* p, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

struct LavfFile {
  std::vector<LavfPacket> packets;
  std::vector<AVCodecParameters*> params;  // owned
  std::vector<AVRational> timeBases;
  ~LavfFile() {
    for (auto* p : params) avcodec_parameters_free(&p);
  }
  std::vector<LavfPacket> Of(int stream) const {
    std::vector<LavfPacket> out;
    for (const auto& p : packets)
      if (p.stream == stream) out.push_back(p);
    return out;
  }
};

inline bool ReadLavf(const std::string& path, LavfFile& out, std::vector<Bytes>* payloads = nullptr) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
  if (avformat_find_stream_info(fmt, nullptr) < 0) {
    avformat_close_input(&fmt);
    return false;
  }
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVCodecParameters* p = avcodec_parameters_alloc();
    avcodec_parameters_copy(p, fmt->streams[i]->codecpar);
    out.params.push_back(p);
    out.timeBases.push_back(fmt->streams[i]->time_base);
  }
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    const AVRational tb = fmt->streams[pkt->stream_index]->time_base;
    int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    out.packets.push_back({pkt->stream_index, ts == AV_NOPTS_VALUE ? INT64_MIN : av_rescale_q(ts, tb, {1, 10000000}),
                           pkt->size, (pkt->flags & AV_PKT_FLAG_KEY) != 0, Fnv(pkt->data, size_t(pkt->size))});
    if (payloads) payloads->emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return true;
}

// The streams of an AVI sample, its packets as chunks (audio chunks cut to
// `audioPiece` bytes when given), ready to be written in another layout.
inline std::vector<Stream> StreamsOf(const std::string& path, size_t audioPiece = 0) {
  LavfFile f;
  std::vector<Bytes> payloads;
  if (!ReadLavf(path, f, &payloads)) return {};
  std::vector<Stream> streams(f.params.size());
  for (size_t s = 0; s < streams.size(); ++s) {
    const AVCodecParameters* p = f.params[s];
    Stream& st = streams[s];
    Bytes extra(p->extradata, p->extradata + p->extradata_size);
    if (p->codec_type == AVMEDIA_TYPE_VIDEO) {
      st.type = "vids";
      st.handler = p->codec_tag;
      st.scale = uint32_t(f.timeBases[s].num), st.rate = uint32_t(f.timeBases[s].den);
      st.strf = BitmapHeader(p->codec_tag, p->width, p->height, 24, extra);
    } else {
      st.type = "auds";
      st.kind = "wb";
      const uint16_t align = uint16_t(p->block_align ? p->block_align : 1);
      st.scale = align, st.rate = uint32_t(p->sample_rate * (p->codec_id == AV_CODEC_ID_PCM_S16LE ? align : 1));
      if (p->codec_id != AV_CODEC_ID_PCM_S16LE) st.scale = 1, st.rate = uint32_t(p->bit_rate / 8);
      st.sampleSize = p->codec_id == AV_CODEC_ID_PCM_S16LE ? align : 1;
      st.strf = WaveFormat(uint16_t(p->codec_tag), uint16_t(p->ch_layout.nb_channels), uint32_t(p->sample_rate),
                           align, uint16_t(p->bits_per_coded_sample), uint32_t(p->bit_rate / 8), extra);
    }
  }
  for (size_t k = 0; k < f.packets.size(); ++k) {
    Stream& st = streams[size_t(f.packets[k].stream)];
    const Bytes& data = payloads[k];
    if (st.type == "auds" && audioPiece) {
      for (size_t at = 0; at < data.size(); at += audioPiece)
        st.chunks.emplace_back(data.begin() + long(at), data.begin() + long(std::min(data.size(), at + audioPiece)));
    } else {
      st.chunks.push_back(data);
      st.keys.push_back(f.packets[k].key);
    }
  }
  return streams;
}

}  // namespace avitest
