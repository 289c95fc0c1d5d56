// D2V engine speed: every frame of a project over a 720x576 MPEG-2 program
// stream, decoded and converted to YUY2 by the engine, against FFmpeg's
// mpeg2video decoder single-threaded on the same video in the same run
// (decoding alone, and decoding with swscale's conversion to YUY2).
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/d2v_bench /tmp/bench/bench-mpeg2-720x576-60s.mpg [runs] [idct]
//
// A run count of 0 decodes the project once with the engine alone (the
// project is written first), for timing whole processes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <string>
#include <vector>

#include "bench/Mpeg2Reference.h"
#include "sources/d2v/D2VDecoder.h"
#include "tests/sources/d2v/D2VTestProject.h"

namespace {


// Every frame in order, as the source filter asks for them.
int DecodeOurs(const std::string& project, uint64_t& checksum) {
  CD2VDecoder engine;
  if (!engine.Open(project.c_str(), CD2VDecoder::kYuy2)) {
    std::fprintf(stderr, "%s\n", engine.Error().c_str());
    return 0;
  }
  std::vector<uint8_t> frame(engine.FrameBytes());
  const uint32_t n = engine.FrameCount();
  for (uint32_t f = 0; f < n; ++f) {
    if (!engine.GetFrame(frame.data(), f, engine.Width() * 2)) return static_cast<int>(f);
    checksum += frame[f % frame.size()];
  }
  return static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s STREAM.mpg [runs] [idct 1-4]\n(make one with tests/data/make-media.sh --bench DIR)\n",
                 argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 3;
  D2VProjectOptions options;
  options.programStream = true;
  options.idct = argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 4) : 2;
  const std::string project =
      (std::filesystem::temp_directory_path() / ("d2v_bench-" + std::to_string(::getpid()) + ".d2v")).string();
  try {
    WriteD2VProject(project, {std::filesystem::absolute(argv[1]).string()}, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (runs == 0) {
    uint64_t sum = 0;
    const int frames = DecodeOurs(project, sum);
    std::filesystem::remove(project);
    std::printf("%d frames (checksum %llu)\n", frames, static_cast<unsigned long long>(sum));
    return frames > 0 ? 0 : 1;
  }
  int width = 0, height = 0;
  const std::vector<uint8_t> es = mpeg2bench::ExtractVideo(argv[1], width, height);
  if (es.empty()) {
    std::fprintf(stderr, "no video stream in %s\n", argv[1]);
    return 1;
  }
  uint64_t sum = 0;
  int ours = 0, ff = 0, ffYuy2 = 0;
  const double tOurs = mpeg2bench::Best(runs, [&] { return DecodeOurs(project, sum); }, ours);
  const double tFf = mpeg2bench::Best(runs, [&] { return mpeg2bench::DecodeFfmpeg(es, sum); }, ff);
  const double tFfYuy2 = mpeg2bench::Best(runs, [&] { return mpeg2bench::DecodeFfmpeg(es, sum, true); }, ffYuy2);
  std::filesystem::remove(project);
  std::printf("stream: %dx%d, %zu bytes of video, best of %d runs, iDCT_Algorithm=%d\n", width, height, es.size(),
              runs, options.idct);
  std::printf("D2V engine (YUY2)        : %5d frames %8.3f s %8.1f fps\n", ours, tOurs, ours / tOurs);
  std::printf("FFmpeg (1 thread)        : %5d frames %8.3f s %8.1f fps\n", ff, tFf, ff / tFf);
  std::printf("FFmpeg + swscale to YUY2 : %5d frames %8.3f s %8.1f fps\n", ffYuy2, tFfYuy2, ffYuy2 / tFfYuy2);
  std::printf("speed ratio (D2V / FFmpeg): %.2f, (D2V / FFmpeg + YUY2): %.2f\n", (ours / tOurs) / (ff / tFf),
              (ours / tOurs) / (ffYuy2 / tFfYuy2));
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sum));
  return 0;
}
