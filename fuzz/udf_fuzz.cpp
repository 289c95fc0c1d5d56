// The UDF lookup over a sparse disc that the input describes: a 16-bit
// sector count, then records of a 16-bit sector number, a 16-bit length and
// that many leading bytes of the sector (all little-endian). Bytes not given
// read as zeros, sectors past the count cannot be read. udf_fuzz_seed turns
// a disc image into this form.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "sources/vts/Udf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const ULONGLONG sectors = data[0] | data[1] << 8;
  std::map<ULONGLONG, std::vector<uint8_t>> disc;
  for (size_t at = 2; at + 4 <= size;) {
    const ULONGLONG sector = data[at] | data[at + 1] << 8;
    const size_t n = std::min<size_t>({size_t(data[at + 2] | data[at + 3] << 8), kUdfSectorSize, size - at - 4});
    std::vector<uint8_t>& s = disc[sector];
    s.assign(kUdfSectorSize, 0);
    std::memcpy(s.data(), data + at + 4, n);
    at += 4 + n;
  }
  auto read = [&](ULONGLONG first, DWORD count, BYTE* out) {
    if (first > sectors || count > sectors - first) return false;
    for (DWORD i = 0; i < count; ++i) {
      auto it = disc.find(first + i);
      if (it == disc.end())
        std::memset(out + size_t(i) * kUdfSectorSize, 0, kUdfSectorSize);
      else
        std::memcpy(out + size_t(i) * kUdfSectorSize, it->second.data(), kUdfSectorSize);
    }
    return true;
  };
  DWORD first = 0, length = 0;
  for (const char* path : {"VIDEO_TS/VTS_01_1.VOB", "VIDEO_TS/VIDEO_TS.IFO", "A/B/C/D"})
    UdfFindFile(read, sectors, path, &first, &length);
  return 0;
}
