// Demultiplexing speed of the Ogg, MPEG audio and FLV sources: the source
// for the file's extension in a filter graph, every output into the
// platform's null renderers, against `ffmpeg -map 0 -c copy -f null -` on
// the same file in the same run. Long inputs, for example:
//
//   ffmpeg -f lavfi -i sine=d=600 -ac 2 -c:a libvorbis /tmp/bench/long.ogg
//   ffmpeg -f lavfi -i sine=d=600 -ac 2 -c:a libmp3lame -b:a 192k /tmp/bench/long.mp3
//   ffmpeg -f lavfi -i testsrc2=s=640x360:d=120 -f lavfi -i sine=d=120 -c:v flv -b:v 2M \
//     -c:a libmp3lame /tmp/bench/long.flv
//   build/release/bench/demux_bench /tmp/bench/long.ogg [runs]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/SourceBench.h"
#include "platform/dshow/DShowRegister.h"
#include "splitters/flv/FLVSplitter.h"
#include "splitters/mpa/MpaSplitter.h"
#include "splitters/ogg/OggSplitter.h"

namespace {

bool EndsWith(const std::string& s, const char* tail) {
  const std::string t(tail);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// The source for the file's extension; null for others.
IBaseFilter* MakeSource(const std::string& path, const char*& name) {
  HRESULT hr = S_OK;
  IBaseFilter* f = nullptr;
  if (EndsWith(path, ".ogg") || EndsWith(path, ".ogm")) {
    f = new COggSourceFilter(nullptr, &hr);
    name = "Ogg source";
  } else if (EndsWith(path, ".mp3") || EndsWith(path, ".mp2") || EndsWith(path, ".aac")) {
    f = new CMpaSourceFilter(nullptr, &hr);
    name = "MPEG audio source";
  } else if (EndsWith(path, ".flv")) {
    f = new CFLVSourceFilter(nullptr, &hr);
    name = "FLV source";
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.ogg|.ogm|.mp3|.mp2|.aac|.flv [runs]\n", argv[0]);
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
  const char* name = "";
  for (int i = 0; i < runs; i++) {
    CComPtr<IBaseFilter> source(MakeSource(path, name));
    double t = 0;
    if (!source || !bench::RunSource(source, path, t, outputs)) {
      std::fprintf(stderr, "the source graph failed on %s\n", path.c_str());
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
  std::printf("%s graph: %.3f s (best of %d)\n", name, ours, runs);
  std::printf("ffmpeg -c copy -f null: %.3f s (best of %d, process start included)\n", theirs, runs);
  std::printf("ratio (ours / ffmpeg): %.2f\n", ours / theirs);
  CoUninitialize();
  return 0;
}
