// libFuzzer target over the FLIC decoder: the header and frame index, then
// every frame forward, a seek back and the conversion to 32-bit pixels.
#include <algorithm>
#include <cstring>
#include <vector>

#include "sources/flic/FLICDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFLICDecoder d;
  auto read = [&](LONGLONG at, void* buffer, LONG n) -> LONG {
    if (at < 0 || n < 0 || static_cast<size_t>(at) >= size) return 0;
    const LONG k = std::min<LONG>(n, static_cast<LONG>(size - static_cast<size_t>(at)));
    std::memcpy(buffer, data + at, static_cast<size_t>(k));
    return k;
  };
  if (!d.Open(read, static_cast<LONGLONG>(size))) return 0;
  // Pictures are kept small enough to convert within the fuzzer's limits.
  const bool convert = static_cast<size_t>(d.Width()) * d.Height() <= (1 << 20);
  std::vector<BYTE> rgb(convert ? static_cast<size_t>(d.Width()) * d.Height() * 4 : 0);
  const int frames = std::min(d.FrameCount(), 64);
  for (int n = 0; n < frames; n++) {
    if (!d.Decode(n)) break;
    if (convert) d.ToRgb32(rgb.data(), d.Width() * 4, d.Height(), d.Width(), n % 2 == 1);
  }
  d.Decode(frames / 2);
  return 0;
}
