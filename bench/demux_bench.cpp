// Demultiplexing speed of the Ogg, MPEG audio and FLV sources: the source
// for the file's extension in a filter graph, every output into the
// platform's null renderers, against `ffmpeg -map 0 -c copy -f null -` on
// the same file in the same run. Long inputs, for example:
//
//   ffmpeg -f lavfi -i sine=d=600 -ac 2 -c:a libvorbis /tmp/bench/long.ogg
//   ffmpeg -f lavfi -i sine=d=600 -ac 2 -c:a libmp3lame -b:a 192k /tmp/bench/long.mp3
//   ffmpeg -f lavfi -i testsrc2=s=640x360:d=120 -f lavfi -i sine=d=120 -c:v flv -b:v 2M
//     -c:a libmp3lame /tmp/bench/long.flv   (one command)
//   build/release/bench/demux_bench /tmp/bench/long.ogg [runs]
//
// With "--ours" in place of the run count only our graph runs, once, so that
// a whole-process timer can pair it with the ffmpeg command.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/SplitterBench.h"
#include "splitters/flv/FLVSplitter.h"
#include "splitters/mpa/MpaSplitter.h"
#include "splitters/ogg/OggSplitter.h"

namespace {

bool EndsWith(const std::string& s, const char* tail) {
  const std::string t(tail);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

enum class Kind { None, Ogg, Mpa, Flv };

Kind KindOf(const std::string& path) {
  if (EndsWith(path, ".ogg") || EndsWith(path, ".ogm")) return Kind::Ogg;
  if (EndsWith(path, ".mp3") || EndsWith(path, ".mp2") || EndsWith(path, ".aac")) return Kind::Mpa;
  if (EndsWith(path, ".flv")) return Kind::Flv;
  return Kind::None;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.ogg|.ogm|.mp3|.mp2|.aac|.flv [runs | --ours]\n", argv[0]);
    return 2;
  }
  const Kind kind = KindOf(argv[1]);
  static const char* const kNames[] = {"", "Ogg source", "MPEG audio source", "FLV source"};
  if (kind == Kind::None) {
    std::fprintf(stderr, "no source for %s\n", argv[1]);
    return 2;
  }
  return splitbench::Main(argc, argv, kNames[static_cast<int>(kind)], [kind] {
    HRESULT hr = S_OK;
    CComPtr<IBaseFilter> f;
    switch (kind) {
      case Kind::Ogg: f = static_cast<IBaseFilter*>(new COggSourceFilter(nullptr, &hr)); break;
      case Kind::Mpa: f = static_cast<IBaseFilter*>(new CMpaSourceFilter(nullptr, &hr)); break;
      case Kind::Flv: f = static_cast<IBaseFilter*>(new CFLVSourceFilter(nullptr, &hr)); break;
      default: break;
    }
    return SUCCEEDED(hr) ? f : CComPtr<IBaseFilter>();
  });
}
