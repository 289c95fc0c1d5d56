// libFuzzer target over the DSM file and splitter: header reading, the scan
// for the duration, seeking by table and by search, and the demux loop on
// arbitrary bytes.
#include "fuzz/SplitterFuzz.h"
#include "splitters/dsm/DSMSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSplitter<CDSMSourceFilter>(data, size, [](auto& f) {
    for (REFERENCE_TIME t : {REFERENCE_TIME(0), REFERENCE_TIME(10000000), f.Duration() - 1, f.Duration() * 2})
      f.File()->FindSyncPoint(t);
  });
  return 0;
}
