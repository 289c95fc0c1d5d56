// What the MPEG-2 decoding benchmarks share: the best of several timed runs,
// the video elementary stream of a file, and libavcodec's mpeg2video
// decoding it single-threaded (optionally with every picture converted to
// YUY2 by swscale, for a decoder whose output is YUY2).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace mpeg2bench {

// The shortest of `runs` runs of f, in seconds; `frames` is what the last
// run returned.
template <class F>
double Best(int runs, F f, int& frames) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    frames = f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

inline std::vector<uint8_t> ExtractVideo(const char* path, int& width, int& height) {
  std::vector<uint8_t> es;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path, nullptr, nullptr) < 0) return es;
  avformat_find_stream_info(fmt, nullptr);
  const int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video >= 0) {
    width = fmt->streams[video]->codecpar->width;
    height = fmt->streams[video]->codecpar->height;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
      if (pkt->stream_index == video) es.insert(es.end(), pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  avformat_close_input(&fmt);
  return es;
}

// Decodes the whole stream; returns the number of pictures. Every picture's
// data is read once into the checksum.
inline int DecodeFfmpeg(const std::vector<uint8_t>& es, uint64_t& checksum, bool toYuy2 = false) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_MPEG2VIDEO);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<uint8_t> yuy2;
  int frames = 0;
  auto receive = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      ++frames;
      if (toYuy2) {
        sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                   frame->width, frame->height, AV_PIX_FMT_YUYV422, SWS_POINT, nullptr, nullptr,
                                   nullptr);
        yuy2.resize(static_cast<size_t>(frame->width) * frame->height * 2);
        uint8_t* dst[4] = {yuy2.data(), nullptr, nullptr, nullptr};
        int pitch[4] = {frame->width * 2, 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, pitch);
        checksum += yuy2[static_cast<size_t>(frames) % yuy2.size()];
      } else {
        checksum += frame->data[0][frames % 1000];
      }
      av_frame_unref(frame);
    }
  };
  std::vector<uint8_t> padded(es);
  padded.resize(es.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  const uint8_t* p = padded.data();
  int left = static_cast<int>(es.size());
  for (;;) {
    uint8_t* data = nullptr;
    int size = 0;
    const bool flushing = left == 0;
    const int used = av_parser_parse2(parser, ctx, &data, &size, p, left, AV_NOPTS_VALUE,
                                      AV_NOPTS_VALUE, 0);
    p += used;
    left -= used;
    if (size) {
      pkt->data = data;
      pkt->size = size;
      avcodec_send_packet(ctx, pkt);
      receive();
    }
    if (flushing && !size) break;
  }
  avcodec_send_packet(ctx, nullptr);
  receive();
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  av_parser_close(parser);
  avcodec_free_context(&ctx);
  return frames;
}

}  // namespace mpeg2bench
