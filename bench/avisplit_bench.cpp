// AVI demultiplexing speed: the system's AVI source filter in a filter
// graph, every output into the platform's null renderers, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/avisplit_bench /tmp/bench/bench-mpeg4-mp3-720x576-60s.avi [runs]
#include "bench/SplitterBench.h"
#include "splitters/avi/AviSplitter.h"

int main(int argc, char** argv) {
  return splitbench::Main(argc, argv, "AVI splitter", [] {
    HRESULT hr = S_OK;
    CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(new CAviSourceFilter(nullptr, &hr)));
    return SUCCEEDED(hr) ? f : CComPtr<IBaseFilter>();
  });
}
