// RoQ video decoding speed: the system's decoder (the frames of the RoQ
// video decoder filter, fed with the file's chunks) against FFmpeg's
// roqvideo decoder on the same file in the same run. Made on first use:
//
//   build/release/bench/roqdec_bench /tmp/bench/bench-roq-512x512-60s.roq
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "foundation/PixelConversion.h"
#include "splitters/roq/RoQSplitter.h"
#include "splitters/roq/RoQVideoDecoder.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  RoQChunkHeader h;
  size_t at;  // of the data
};

std::vector<uint8_t> Load(const char* path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(path, "rb")) {
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
  }
  return bytes;
}

// With `copy`, every displayed picture is copied out once, as the filter
// does into its output sample.
int DecodeOurs(const std::vector<uint8_t>& file, const std::vector<Chunk>& chunks, int w, int h, bool copy,
               uint64_t& sum) {
  CRoQVideoFrames frames;
  if (!frames.Alloc(w, h)) return 0;
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3 / 2);
  int n = 0;
  for (const Chunk& c : chunks) {
    if (c.h.id == kRoQCodebook) {
      frames.DecodeCodebook(&file[c.at], c.h.size, c.h.arg);
    } else if (c.h.id == kRoQFrame) {
      frames.DecodeFrame(&file[c.at], c.h.size, c.h.arg);
      frames.FinishFrame(n == 0);
      if (copy) CopyYuv420Planar(w, h, out.data(), out.data() + w * h, out.data() + w * h * 5 / 4, w, frames.Plane(0),
                       frames.Plane(1), frames.Plane(2), frames.Pitch());
      sum += copy ? out[static_cast<size_t>(n % 1000)] : frames.Plane(0)[n % 1000];
      n++;
    }
  }
  return n;
}

int DecodeFfmpeg(const std::vector<AVPacket*>& packets, const AVCodecParameters* par, uint64_t& sum) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ROQ);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, par);
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVFrame* frame = av_frame_alloc();
  int n = 0;
  for (AVPacket* p : packets) {
    avcodec_send_packet(ctx, p);
    while (avcodec_receive_frame(ctx, frame) == 0) {
      sum += frame->data[0][n++ % 1000];
      av_frame_unref(frame);
    }
  }
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return n;
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
    std::fprintf(stderr, "usage: %s FILE.roq [runs]\n(a missing file is made with ffmpeg: 60 s, 512x512)\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  struct stat st;
  if (stat(argv[1], &st) != 0) {
    const std::string make = std::string("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i ") +
                             "testsrc2=size=512x512:rate=30:duration=60 -c:v roqvideo -f roq '" + argv[1] + "'";
    std::fprintf(stderr, "making %s (a few minutes)\n", argv[1]);
    if (std::system(make.c_str()) != 0) return 1;
  }

  const std::vector<uint8_t> file = Load(argv[1]);
  std::vector<Chunk> chunks;
  int w = 0, h = 0;
  for (size_t pos = 8; pos + 8 <= file.size();) {
    const RoQChunkHeader c = RoQChunkHeader::Parse(&file[pos]);
    if (c.size > file.size() - pos - 8) break;
    if (c.id == kRoQInfo && c.size >= 4) {
      w = file[pos + 8] | file[pos + 9] << 8;
      h = file[pos + 10] | file[pos + 11] << 8;
    }
    chunks.push_back({c, pos + 8});
    pos += 8 + c.size;
  }

  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, argv[1], nullptr, nullptr) < 0 || avformat_find_stream_info(fmt, nullptr) < 0) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0 || !w || !h) {
    std::fprintf(stderr, "no RoQ video in %s\n", argv[1]);
    return 1;
  }
  std::vector<AVPacket*> packets;
  for (AVPacket* p = av_packet_alloc(); av_read_frame(fmt, p) >= 0; p = av_packet_alloc()) {
    if (p->stream_index == video) packets.push_back(p);
    else av_packet_free(&p);
  }

  uint64_t sum = 0;
  int ours = 0, bare = 0, ff = 0;
  const double tOurs = Best(runs, [&] { return DecodeOurs(file, chunks, w, h, true, sum); }, ours);
  const double tBare = Best(runs, [&] { return DecodeOurs(file, chunks, w, h, false, sum); }, bare);
  const double tFf = Best(runs, [&] { return DecodeFfmpeg(packets, fmt->streams[video]->codecpar, sum); }, ff);
  std::printf("stream: %dx%d, %zu chunks, best of %d runs\n", w, h, chunks.size(), runs);
  std::printf("RoQ video decoder : %5d frames %8.3f s %8.1f fps (with the copy to the output)\n", ours, tOurs,
              ours / tOurs);
  std::printf("RoQ decoding only : %5d frames %8.3f s %8.1f fps\n", bare, tBare, bare / tBare);
  std::printf("FFmpeg roqvideo   : %5d frames %8.3f s %8.1f fps\n", ff, tFf, ff / tFf);
  std::printf("speed ratio (ours with the copy / FFmpeg): %.2f, decoding only: %.2f\n", (ours / tOurs) / (ff / tFf),
              (bare / tBare) / (ff / tFf));
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sum));
  for (AVPacket* p : packets) av_packet_free(&p);
  avformat_close_input(&fmt);
  return 0;
}
