// libFuzzer target over the AVI file reader: the RIFF walk and both index
// builders, the interleave check and the chunk viewer's plot, the scan of a
// file without an index (passing over damage), every chunk read as the
// splitter reads it and the search for chunks that damage moved.
// Run by hand, for example:
//   build/fuzz/fuzz/avifile_fuzz -max_len=65536 -max_total_time=300 tests/data/*.avi
#include <vector>

#include "splitters/avi/AviFile.h"
#include "splitters/avi/AviPlot.h"
#include "tests/foundation/MemAsyncReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  {
    HRESULT hr = S_OK;
    CAviFile file(reader, hr);
    if (SUCCEEDED(hr)) {
      file.IsInterleaved(true);
      CAviPlot plot(file);
      plot.ColumnDistances(600);
      file.GetTotalTime();
      std::vector<BYTE> buffer;
      for (const auto& s : file.m_strms) {
        s->GetKeyFrame(10000000);
        s->GetFrame(-1);
        for (size_t i = 0; i < s->chunks.size() && i < 64; ++i) {
          const AviChunk& c = s->chunks[i];
          const DWORD length = std::min<DWORD>(c.storedSize + 8, 1 << 20);
          buffer.resize(length);
          file.ReadAt(c.filePos, buffer.data(), length);
          s->GetRefTime(i, c.size);
          // The search the splitter makes for a chunk that damage moved.
          if (i < 4) file.FindChunkHeaders(c.filePos + 3, static_cast<int>(&s - &file.m_strms[0]), c.storedSize, 4096);
        }
      }
      const size_t ns = file.m_strms.size();
      std::vector<std::vector<AviChunk>> chunks(ns);
      std::vector<UINT64> sizes(ns, 0);
      file.Seek(0);
      // What the walk passes over lies inside the file.
      file.SetDamageSink([&file](LONGLONG from, LONGLONG to, bool) {
        if (from < 0 || to < from || to > file.GetLength()) __builtin_trap();
      });
      file.ScanChunks(static_cast<UINT64>(file.GetLength()), chunks, sizes, [] { return true; });
    }
  }
  reader->Release();
  return 0;
}
