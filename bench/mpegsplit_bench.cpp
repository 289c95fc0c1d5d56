// MPEG demultiplexing speed: the system's MPEG source filter in a filter
// graph, every output into the platform's null renderers, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/mpegsplit_bench /tmp/bench/bench-mpeg2-720x576-60s.mpg [runs]
#include "bench/SplitterBench.h"
#include "splitters/mpeg/MpegSplitter.h"

int main(int argc, char** argv) {
  return splitbench::Main(argc, argv, "MPEG splitter", [] {
    HRESULT hr = S_OK;
    CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(new CMpegSourceFilter(nullptr, &hr)));
    return SUCCEEDED(hr) ? f : CComPtr<IBaseFilter>();
  });
}
