// MPEG-2 video decoding speed: the system's decoder (CMpeg2Dec over the
// video elementary stream) against FFmpeg's mpeg2video decoder, single
// threaded, on the same stream in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/mpeg2dec_bench /tmp/bench/bench-mpeg2-720x576-60s.mpg
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "decoders/mpeg2video/Mpeg2Dec.h"
#include "foundation/CpuFeatures.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> ExtractVideo(const char* path, int& width, int& height) {
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

// Fed in 64 KB pieces, as a splitter would deliver it; every displayed
// frame's planes are read once, as the filter's copy to its output would.
int DecodeOurs(const std::vector<uint8_t>& es, uint64_t& checksum) {
  CMpeg2Dec dec;
  int frames = 0;
  auto drain = [&] {
    for (int state; (state = dec.Parse()) != CMpeg2Dec::STATE_BUFFER;) {
      if (state != CMpeg2Dec::STATE_SLICE && state != CMpeg2Dec::STATE_END) continue;
      const CMpeg2Info& info = dec.Info();
      if (!info.m_display_picture || !info.m_display_fbuf) continue;
      ++frames;
      checksum += info.m_display_fbuf->buf[0][frames % 1000];
    }
  };
  constexpr size_t kPiece = 65536;
  for (size_t pos = 0; pos < es.size(); pos += kPiece) {
    const size_t n = std::min(kPiece, es.size() - pos);
    dec.SetBuffer(es.data() + pos, es.data() + pos + n);
    drain();
  }
  dec.Flush();
  drain();
  return frames;
}

int DecodeFfmpeg(const std::vector<uint8_t>& es, uint64_t& checksum) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_MPEG2VIDEO);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int frames = 0;
  auto receive = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      ++frames;
      checksum += frame->data[0][frames % 1000];
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
  av_frame_free(&frame);
  av_packet_free(&pkt);
  av_parser_close(parser);
  avcodec_free_context(&ctx);
  return frames;
}

template <class F>
double Best(int runs, F f, int& frames) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    frames = f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s STREAM.mpg [runs]\n(make one with tests/data/make-media.sh --bench DIR)\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  int width = 0, height = 0;
  const std::vector<uint8_t> es = ExtractVideo(argv[1], width, height);
  if (es.empty()) {
    std::fprintf(stderr, "no video stream in %s\n", argv[1]);
    return 1;
  }
  uint64_t sum = 0;
  int oursFrames = 0, sse2Frames = 0, ffFrames = 0;
  const uint32_t saved = SetCpuFeaturesForTesting(0);
  const double plain = Best(runs, [&] { return DecodeOurs(es, sum); }, oursFrames);
  SetCpuFeaturesForTesting(saved);
  const double sse2 = Best(runs, [&] { return DecodeOurs(es, sum); }, sse2Frames);
  const double ff = Best(runs, [&] { return DecodeFfmpeg(es, sum); }, ffFrames);
  std::printf("stream: %dx%d, %zu bytes of video, best of %d runs\n", width, height, es.size(), runs);
  std::printf("CMpeg2Dec plain : %5d frames %8.3f s %8.1f fps\n", oursFrames, plain, oursFrames / plain);
  std::printf("CMpeg2Dec SSE2  : %5d frames %8.3f s %8.1f fps\n", sse2Frames, sse2, sse2Frames / sse2);
  std::printf("FFmpeg (1 thr.) : %5d frames %8.3f s %8.1f fps\n", ffFrames, ff, ffFrames / ff);
  std::printf("speed ratio (CMpeg2Dec SSE2 / FFmpeg): %.2f\n", (sse2Frames / sse2) / (ffFrames / ff));
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sum));
  return 0;
}
