// libFuzzer target over the MPEG stream file: detection, stream search and
// time-stamp lookups on arbitrary bytes. Run by hand, for example:
//   build/fuzz/fuzz/mpegsplitter_fuzz -max_total_time=300 tests/data/*.mpg tests/data/*.ts
#include <cstring>
#include <vector>

#include "splitters/mpeg/MpegSplitterFile.h"
#include "tests/foundation/MemAsyncReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  {
    HRESULT hr = S_OK;
    CMpegSplitterFile file(reader, hr);
    if (SUCCEEDED(hr)) {
      for (const auto& list : file.m_streams) {
        for (const auto& s : list) {
          file.Seek(0);
          file.NextPts(s.TrackNumber());
        }
      }
      file.Seek(file.GetLength() / 2);
      file.SearchStreams(file.GetPos(), file.GetLength());
    }
  }
  reader->Release();
  return 0;
}
