// Matroska demultiplexing speed: the system's Matroska source filter in a
// filter graph, every output into the platform's null renderers, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/matroska_bench /tmp/bench/bench-h264-aac-720x576-60s.mkv [runs]
#include "bench/SplitterBench.h"
#include "splitters/matroska/MatroskaSplitter.h"

int main(int argc, char** argv) {
  return splitbench::Main(argc, argv, "Matroska splitter", [] {
    HRESULT hr = S_OK;
    CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(new CMatroskaSourceFilter(nullptr, &hr)));
    return SUCCEEDED(hr) ? f : CComPtr<IBaseFilter>();
  });
}
