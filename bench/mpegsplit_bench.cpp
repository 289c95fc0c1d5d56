// MPEG demultiplexing speed: the system's MPEG source filter in a filter
// graph, every output into the platform's null renderers, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/mpegsplit_bench /tmp/bench/bench-mpeg2-720x576-60s.mpg [runs]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/SourceBench.h"
#include "splitters/mpeg/MpegSplitter.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.mpg [runs, 0: ours once alone]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 5;
  return bench::CompareWithFfmpeg(argv[1], runs, "MPEG splitter", [] {
    HRESULT hr = S_OK;
    return static_cast<IBaseFilter*>(new CMpegSourceFilter(nullptr, &hr));
  });
}
