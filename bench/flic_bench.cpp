// FLIC decoding speed: our decoder bringing every frame into 32-bit pixels
// against libavcodec's FLIC decoder with swscale's conversion to BGRA, on the
// same file in the same run. A long input, for example:
//
//   ffmpeg -f lavfi -i testsrc2=size=320x240:rate=25:duration=40 -vf
//     "split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1"
//     -f rawvideo -pix_fmt pal8 /tmp/bench/anim.pal8        (one command)
//   build/release/tests/sources/flic/flic-write /tmp/bench/anim.pal8 320 240 40 /tmp/bench/anim.flc
//   build/release/bench/flic_bench /tmp/bench/anim.flc [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "foundation/BaseSource.h"
#include "sources/flic/FLICDecoder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ours(const std::string& path, int& frames) {
  const auto t0 = Clock::now();
  CSourceFile file;
  std::wstring wide(path.begin(), path.end());
  CFLICDecoder d;
  if (!file.Open(wide.c_str()) ||
      !d.Open([&](LONGLONG at, void* b, LONG n) { return file.ReadAt(at, b, n); }, file.Length()))
    return -1;
  std::vector<BYTE> rgb(size_t(d.Width()) * d.Height() * 4);
  for (frames = 0; frames < d.FrameCount() && d.Decode(frames); frames++)
    d.ToRgb32(rgb.data(), d.Width() * 4, d.Height(), d.Width(), false);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Reference(const std::string& path, int& frames) {
  const auto t0 = Clock::now();
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
  const AVCodecParameters* par = fmt->streams[0]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, par);
  avcodec_open2(ctx, codec, nullptr);
  SwsContext* sws = sws_getContext(par->width, par->height, AV_PIX_FMT_PAL8, par->width, par->height,
                                   AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
  std::vector<uint8_t> rgb(size_t(par->width) * par->height * 4);
  uint8_t* dst[4] = {rgb.data()};
  int dstStride[4] = {par->width * 4};
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  frames = 0;
  while (av_read_frame(fmt, pkt) >= 0) {
    avcodec_send_packet(ctx, pkt);
    av_packet_unref(pkt);
    while (avcodec_receive_frame(ctx, frame) == 0) {
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
      frames++;
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  sws_freeContext(sws);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.flc [runs]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  av_log_set_level(AV_LOG_ERROR);
  // Best of several runs of each, interleaved, so both see the same cache
  // and load.
  double ours = 1e30, theirs = 1e30;
  int ourFrames = 0, theirFrames = 0;
  for (int i = 0; i < runs; i++) {
    const double a = Ours(argv[1], ourFrames), b = Reference(argv[1], theirFrames);
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "cannot decode %s\n", argv[1]);
      return 1;
    }
    ours = std::min(ours, a);
    theirs = std::min(theirs, b);
  }
  std::printf("FLIC decoder: %d frames in %.3f s\n", ourFrames, ours);
  std::printf("libavcodec + swscale: %d frames in %.3f s\n", theirFrames, theirs);
  std::printf("ratio ours/reference: %.2f\n", ours / theirs);
  return 0;
}
