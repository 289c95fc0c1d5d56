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

#include "bench/Mpeg2Reference.h"
#include "decoders/mpeg2video/Mpeg2Dec.h"
#include "foundation/CpuFeatures.h"

namespace {

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


}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s STREAM.mpg [runs]\n(make one with tests/data/make-media.sh --bench DIR)\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  int width = 0, height = 0;
  const std::vector<uint8_t> es = mpeg2bench::ExtractVideo(argv[1], width, height);
  if (es.empty()) {
    std::fprintf(stderr, "no video stream in %s\n", argv[1]);
    return 1;
  }
  uint64_t sum = 0;
  int oursFrames = 0, sse2Frames = 0, ffFrames = 0;
  const uint32_t saved = SetCpuFeaturesForTesting(0);
  const double plain = mpeg2bench::Best(runs, [&] { return DecodeOurs(es, sum); }, oursFrames);
  SetCpuFeaturesForTesting(saved);
  const double sse2 = mpeg2bench::Best(runs, [&] { return DecodeOurs(es, sum); }, sse2Frames);
  const double ff = mpeg2bench::Best(runs, [&] { return mpeg2bench::DecodeFfmpeg(es, sum); }, ffFrames);
  std::printf("stream: %dx%d, %zu bytes of video, best of %d runs\n", width, height, es.size(), runs);
  std::printf("CMpeg2Dec plain : %5d frames %8.3f s %8.1f fps\n", oursFrames, plain, oursFrames / plain);
  std::printf("CMpeg2Dec SSE2  : %5d frames %8.3f s %8.1f fps\n", sse2Frames, sse2, sse2Frames / sse2);
  std::printf("FFmpeg (1 thr.) : %5d frames %8.3f s %8.1f fps\n", ffFrames, ff, ffFrames / ff);
  std::printf("speed ratio (CMpeg2Dec SSE2 / FFmpeg): %.2f\n", (sse2Frames / sse2) / (ffFrames / ff));
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sum));
  return 0;
}
