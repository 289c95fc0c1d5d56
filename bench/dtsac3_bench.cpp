// Framing speed of the raw DTS/AC-3 source: the source in a filter graph into
// the platform's null audio renderer, against `ffmpeg -map 0 -c copy -f null -`
// on the same file in the same run. A long input, for example:
//
//   ffmpeg -f lavfi -i sine=d=600 -ac 2 -c:a ac3 -b:a 448k /tmp/bench/long.ac3
//   build/release/bench/dtsac3_bench /tmp/bench/long.ac3 [runs | --ours]
#include "bench/SplitterBench.h"
#include "sources/dtsac3/DTSAC3Source.h"

int main(int argc, char** argv) {
  return splitbench::Main(argc, argv, "DTS/AC-3 source", [] {
    HRESULT hr = S_OK;
    return CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(new CDTSAC3Source(nullptr, &hr)));
  });
}
