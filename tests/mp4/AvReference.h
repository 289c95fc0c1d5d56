// What libavformat reads from a file, as the independent account the MP4
// tests compare with: every packet (position, size, times, key flag and
// bytes) per stream, and the streams' codec parameters. Edit lists are
// ignored unless asked for.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <map>
#include <string>
#include <vector>

namespace mp4test {

struct AvPacketInfo {
  int64_t pos = -1;
  int size = 0;
  int64_t dts = 0, pts = 0;  // stream time base
  bool key = false;
  std::vector<uint8_t> data;
};

struct AvStreamInfo {
  int id = 0;  // the track id
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  uint32_t tag = 0;
  AVRational time_base{0, 1};
  std::vector<uint8_t> extradata;
  int width = 0, height = 0, sample_rate = 0, channels = 0;
  std::string handler_name;
  std::vector<AvPacketInfo> packets;
};

struct AvReference {
  bool ok = false;
  std::vector<AvStreamInfo> streams;
  std::map<std::string, std::string> tags;

  const AvStreamInfo* ById(int id) const {
    for (const auto& s : streams)
      if (s.id == id) return &s;
    return nullptr;
  }
};

inline AvReference ReadWithLibavformat(const std::string& path, bool keep_data = false, bool edits = false) {
  AvReference ref;
  AVFormatContext* ctx = nullptr;
  AVDictionary* options = nullptr;
  if (!edits) av_dict_set(&options, "ignore_editlist", "1", 0);
  const int opened = avformat_open_input(&ctx, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return ref;
  if (avformat_find_stream_info(ctx, nullptr) < 0) {
    avformat_close_input(&ctx);
    return ref;
  }
  for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX));)
    ref.tags[e->key] = e->value;
  for (unsigned i = 0; i < ctx->nb_streams; i++) {
    const AVStream* st = ctx->streams[i];
    AvStreamInfo s;
    s.id = st->id;
    s.type = st->codecpar->codec_type;
    s.codec = st->codecpar->codec_id;
    s.tag = st->codecpar->codec_tag;
    s.time_base = st->time_base;
    s.extradata.assign(st->codecpar->extradata, st->codecpar->extradata + st->codecpar->extradata_size);
    s.width = st->codecpar->width;
    s.height = st->codecpar->height;
    s.sample_rate = st->codecpar->sample_rate;
    s.channels = st->codecpar->ch_layout.nb_channels;
    if (const AVDictionaryEntry* h = av_dict_get(st->metadata, "handler_name", nullptr, 0)) s.handler_name = h->value;
    ref.streams.push_back(std::move(s));
  }
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(ctx, pkt) >= 0) {
    AvPacketInfo p;
    p.pos = pkt->pos;
    p.size = pkt->size;
    p.dts = pkt->dts;
    p.pts = pkt->pts;
    p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    if (keep_data) p.data.assign(pkt->data, pkt->data + pkt->size);
    ref.streams[static_cast<size_t>(pkt->stream_index)].packets.push_back(std::move(p));
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&ctx);
  ref.ok = true;
  return ref;
}

// Runs an ffmpeg command line (the arguments after "ffmpeg"); true when it
// succeeded.
inline bool RunFfmpeg(const std::string& args) {
  const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// A variant of a sample made at run time (re-wrapped by ffmpeg) into the
// test's working folder; empty when it could not be made.
inline std::string MakeVariant(const std::string& name, const std::string& args) {
  const std::string dir = "mp4-variants";
  std::system(("mkdir -p " + dir).c_str());
  const std::string out = dir + "/" + name;
  if (!RunFfmpeg(args + " '" + out + "'")) return {};
  return out;
}

}  // namespace mp4test
