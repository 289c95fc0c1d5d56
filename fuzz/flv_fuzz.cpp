// libFuzzer target over the FLV splitter: the header and pin search, the
// duration from the last tags, seeking and the tag walk on arbitrary bytes.
#include "fuzz/SplitterFuzz.h"
#include "splitters/flv/FLVSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSplitter<CFLVSourceFilter>(data, size, [](auto&) {});
  return 0;
}
