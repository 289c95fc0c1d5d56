// A writer of DSM files for the tests: packets from given bodies, and whole
// files from the MPEG-4 part 2 and MP3 streams of media files as
// libavformat reads them.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/dshow/DShow.h"

namespace dsmtest {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kNoTime = INT64_MIN;

inline void Put(Bytes& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Put(Bytes& out, const GUID& g) {
  const auto* p = reinterpret_cast<const uint8_t*>(&g);
  out.insert(out.end(), p, p + sizeof g);
}
inline void Put(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
inline void PutString(Bytes& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}
// Bytes a number needs (0 for 0).
inline int ByteCount(uint64_t v) {
  int n = 0;
  for (; v; v >>= 8) n++;
  return n;
}

// Sync word, type, the length in as many bytes as `lengthBytes` (default:
// as few as it needs), then the body.
inline Bytes Packet(int type, const Bytes& body, int lengthBytes = 0) {
  const int n = lengthBytes ? lengthBytes : std::max(1, ByteCount(body.size()));
  Bytes out = {'D', 'S', 'M', 'S', static_cast<uint8_t>(type << 3 | (n - 1))};
  Put(out, body.size(), n);
  Put(out, body);
  return out;
}

using Properties = std::vector<std::pair<std::string, std::string>>;

inline Bytes Props(Bytes head, const Properties& props) {
  for (const auto& [key, value] : props) {
    Put(head, Bytes(key.begin(), key.end()));
    PutString(head, value);
  }
  return head;
}
inline Bytes FileInfo(const Properties& props, int version = 0) {
  return Packet(0, Props({static_cast<uint8_t>(version)}, props));
}
inline Bytes StreamInfo(int track, const Properties& props) {
  return Packet(1, Props({static_cast<uint8_t>(track)}, props));
}

inline Bytes MediaType(int track, const GUID& major, const GUID& sub, const GUID& format, const Bytes& block) {
  Bytes b = {static_cast<uint8_t>(track)};
  Put(b, major);
  Put(b, sub);
  Put(b, 1u << 30, 4);  // temporal compression, variable sizes
  Put(b, format);
  Put(b, block);
  return Packet(2, b);
}

// A sample; kNoTime writes the form without a time stamp.
inline Bytes Sample(int track, bool key, int64_t start, int64_t duration, const Bytes& data) {
  const bool none = start == kNoTime, negative = none || start < 0;
  const uint64_t magnitude = none ? 0 : static_cast<uint64_t>(negative ? -start : start);
  const int t = ByteCount(magnitude), d = ByteCount(static_cast<uint64_t>(duration));
  Bytes b = {static_cast<uint8_t>(track), static_cast<uint8_t>(key << 7 | negative << 6 | t << 3 | d)};
  Put(b, magnitude, t);
  Put(b, static_cast<uint64_t>(duration), d);
  Put(b, data);
  return Packet(4, b);
}

// (time, file position) pairs as running deltas; `cut` drops bytes from the
// end of the body.
inline Bytes SyncPoints(const std::vector<std::pair<int64_t, uint64_t>>& points, size_t cut = 0) {
  Bytes b;
  int64_t rt = 0;
  uint64_t fp = 0;
  for (const auto& [t, p] : points) {
    const int64_t dt = t - rt;
    const uint64_t adt = static_cast<uint64_t>(dt < 0 ? -dt : dt), dp = p - fp;
    b.push_back(static_cast<uint8_t>((dt < 0) << 7 | ByteCount(adt) << 4 | ByteCount(dp) << 1));
    Put(b, adt, ByteCount(adt));
    Put(b, dp, ByteCount(dp));
    rt = t;
    fp = p;
  }
  b.resize(b.size() - cut);
  return Packet(5, b);
}

inline Bytes Chapters(const std::vector<std::pair<int64_t, std::string>>& chapters) {
  Bytes b;
  int64_t rt = 0;
  for (const auto& [t, name] : chapters) {
    const int64_t dt = t - rt;
    const uint64_t adt = static_cast<uint64_t>(dt < 0 ? -dt : dt);
    b.push_back(static_cast<uint8_t>((dt < 0) << 7 | ByteCount(adt) << 4));
    Put(b, adt, ByteCount(adt));
    PutString(b, name);
    rt = t;
  }
  return Packet(3, b);
}

inline Bytes Resource(const std::string& name, const std::string& mime, const Bytes& data, int compression = 0) {
  Bytes b = {static_cast<uint8_t>(compression << 6)};
  PutString(b, name);
  PutString(b, "description");
  PutString(b, mime);
  Put(b, data);
  return Packet(6, b);
}

// One packet of a stream as libavformat reads it; times in 100 ns.
struct Frame {
  int track;
  bool key;
  int64_t start, duration;
  Bytes data;
};

// The media type packet of an MPEG-4 part 2 ("XVID") or MP3 stream, and
// the stream's packets; false for other streams.
inline bool ReadStream(const AVStream* st, int track, Bytes& type) {
  const AVCodecParameters* cp = st->codecpar;
  if (cp->codec_id == AV_CODEC_ID_MPEG4) {
    VIDEOINFOHEADER vih{};
    if (st->r_frame_rate.num > 0) vih.AvgTimePerFrame = av_rescale(10000000, st->r_frame_rate.den, st->r_frame_rate.num);
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = cp->width;
    vih.bmiHeader.biHeight = cp->height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = MAKEFOURCC('X', 'V', 'I', 'D');
    const auto* p = reinterpret_cast<const uint8_t*>(&vih);
    type = MediaType(track, MEDIATYPE_Video, FourCCGuid(MAKEFOURCC('X', 'V', 'I', 'D')), FORMAT_VideoInfo,
                     Bytes(p, p + sizeof vih));
    return true;
  }
  if (cp->codec_id == AV_CODEC_ID_MP3) {
    WAVEFORMATEX wfe{};
    wfe.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    wfe.nChannels = static_cast<WORD>(cp->ch_layout.nb_channels);
    wfe.nSamplesPerSec = static_cast<DWORD>(cp->sample_rate);
    wfe.nAvgBytesPerSec = static_cast<DWORD>(cp->bit_rate / 8);
    wfe.nBlockAlign = 1;
    const auto* p = reinterpret_cast<const uint8_t*>(&wfe);
    type = MediaType(track, MEDIATYPE_Audio, MEDIASUBTYPE_MP3, FORMAT_WaveFormatEx, Bytes(p, p + sizeof wfe));
    return true;
  }
  return false;
}

// Reads the streams of `path` (tracks numbered from `track` on); false
// when the file cannot be read or holds another kind of stream.
inline bool ReadFile(const std::string& path, int& track, std::vector<Bytes>& types, std::vector<Frame>& frames) {
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = avformat_find_stream_info(ctx, nullptr) >= 0;
  const int first = track;
  for (unsigned i = 0; ok && i < ctx->nb_streams; i++) {
    types.emplace_back();
    ok = ReadStream(ctx->streams[i], track++, types.back());
  }
  AVPacket* pkt = av_packet_alloc();
  const AVRational hns = {1, 10000000};
  while (ok && av_read_frame(ctx, pkt) >= 0) {
    const AVStream* st = ctx->streams[pkt->stream_index];
    frames.push_back({first + pkt->stream_index, (pkt->flags & AV_PKT_FLAG_KEY) != 0,
                      av_rescale_q(pkt->pts, st->time_base, hns), av_rescale_q(pkt->duration, st->time_base, hns),
                      Bytes(pkt->data, pkt->data + pkt->size)});
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&ctx);
  return ok;
}

// A DSM file of the streams of the files: the header packets, the samples
// in time order, and a seek table of the key frames of the first track at
// the end. Empty when a file cannot be used.
inline Bytes MuxFiles(const std::vector<std::string>& paths, const Bytes& header = {}) {
  int track = 1;
  std::vector<Bytes> types;
  std::vector<Frame> frames;
  for (const std::string& path : paths)
    if (!ReadFile(path, track, types, frames)) return {};
  std::stable_sort(frames.begin(), frames.end(), [](const Frame& a, const Frame& b) { return a.start < b.start; });
  Bytes out = FileInfo({{"TITL", "DSM test"}});
  // The last track's type first: readers put their outputs in order.
  for (auto t = types.rbegin(); t != types.rend(); ++t) Put(out, *t);
  Put(out, header);
  std::vector<std::pair<int64_t, uint64_t>> keys;
  for (const Frame& f : frames) {
    if (f.track == 1 && f.key) keys.emplace_back(f.start, out.size());
    Put(out, Sample(f.track, f.key, f.start, f.duration, f.data));
  }
  Put(out, SyncPoints(keys));
  return out;
}

}  // namespace dsmtest
