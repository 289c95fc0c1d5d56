// libFuzzer target over the MPEG audio splitter: tags, the frame search and
// the demux loop on arbitrary bytes.
#include "fuzz/SplitterFuzz.h"
#include "splitters/mpa/MpaSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSplitter<CMpaSourceFilter>(data, size, [](auto&) {});
  return 0;
}
