// MPEG demultiplexing speed: the system's MPEG source filter in a filter
// graph, every output into the platform's null renderers, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/mpegsplit_bench /tmp/bench/bench-mpeg2-720x576-60s.mpg [runs]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/SourceBench.h"
#include "platform/dshow/DShowRegister.h"
#include "splitters/mpeg/MpegSplitter.h"

namespace {

// One pass through the splitter; false when the graph could not be built
// or did not finish.
bool RunOurs(const std::string& path, double& seconds, int& outputs) {
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> source(static_cast<IBaseFilter*>(new CMpegSourceFilter(nullptr, &hr)));
  return SUCCEEDED(hr) && bench::RunSource(source, path, seconds, outputs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.mpg [runs]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (DShowRegisterPlatform() != S_OK) {
    std::fprintf(stderr, "platform registration failed\n");
    return 1;
  }
  // Best of several runs of each, interleaved, so both see the same cache
  // and load.
  double ours = 1e30, theirs = 1e30;
  int outputs = 0;
  for (int i = 0; i < runs; i++) {
    double t = 0;
    if (!RunOurs(path, t, outputs)) {
      std::fprintf(stderr, "the splitter graph failed on %s\n", path.c_str());
      return 1;
    }
    ours = std::min(ours, t);
    if (!bench::RunFfmpegCopy(path, t)) {
      std::fprintf(stderr, "ffmpeg failed on %s\n", path.c_str());
      return 1;
    }
    theirs = std::min(theirs, t);
  }
  std::printf("file: %s (%d outputs)\n", path.c_str(), outputs);
  std::printf("MPEG splitter graph: %.3f s (best of %d)\n", ours, runs);
  std::printf("ffmpeg -c copy -f null: %.3f s (best of %d, process start included)\n", theirs, runs);
  std::printf("ratio (ours / ffmpeg): %.2f\n", ours / theirs);
  CoUninitialize();
  return 0;
}
