// MP4 demultiplexing speed: the system's MP4 source filter in a filter
// graph, every output into the platform's null renderers, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
//
//   tests/data/make-media.sh --bench /tmp/bench
//   build/release/bench/mp4split_bench /tmp/bench/bench-h264-aac-1280x720-60s.mp4 [runs]
#include "bench/SplitterBench.h"
#include "mp4/MP4Splitter.h"

int main(int argc, char** argv) {
  return splitbench::Main(argc, argv, "MP4 splitter", [] {
    HRESULT hr = S_OK;
    CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(new CMP4SourceFilter(nullptr, &hr)));
    return SUCCEEDED(hr) ? f : CComPtr<IBaseFilter>();
  });
}
