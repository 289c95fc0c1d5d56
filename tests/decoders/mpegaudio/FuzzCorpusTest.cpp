// Replays the audio decoder's fuzz corpus (tests/data/fuzz/mpegaudio) through
// the fuzz target itself (fuzz/mpaudio_fuzz.cpp, linked in): every input
// runs to its end under the sanitizers, each within a bound that only a
// hang or a decode call per input byte exceeds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/decoders/mpegaudio/MediaReference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(MpaDecFuzzCorpus, EveryInputEndsWithinItsBound) {
  constexpr auto kBound = std::chrono::seconds(1);
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TestDataPath("fuzz/mpegaudio"))) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(input.size(), 3u) << entry.path();
    const auto start = std::chrono::steady_clock::now();
    LLVMFuzzerTestOneInput(input.data(), input.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, kBound) << entry.path();
    replayed++;
  }
  EXPECT_GE(replayed, 1);
}
