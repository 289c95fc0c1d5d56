#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "foundation/CpuFeatures.h"

namespace {

class ScopedCpu {
 public:
  explicit ScopedCpu(uint32_t word) : old_(SetCpuFeaturesForTesting(word)) {}
  ~ScopedCpu() { SetCpuFeaturesForTesting(old_); }

 private:
  uint32_t old_;
};

}  // namespace

TEST(CpuFeatures, DetectedWordIsConsistent) {
  uint32_t w = CCpuFeatures::Detect();
  EXPECT_EQ(w, g_cpu.m_features);
#if defined(__x86_64__)
  // Every x86-64 processor has MMX, SSE and SSE2.
  EXPECT_EQ(w & (CCpuFeatures::MMX | CCpuFeatures::SSE | CCpuFeatures::SSE2),
            uint32_t{CCpuFeatures::MMX | CCpuFeatures::SSE | CCpuFeatures::SSE2});
#endif
  // SSE implies the MMX extensions.
  if (w & CCpuFeatures::SSE) {
    EXPECT_TRUE(w & CCpuFeatures::MMXEXT);
  }
}

// Every path, every size around the block boundaries, aligned and not:
// the bytes copied equal the source and nothing outside the range changes.
TEST(CpuFeatures, FastMemCopyMatchesSourceOnEveryPath) {
  const uint32_t words[] = {0, CCpuFeatures::MMX,
                            CCpuFeatures::MMX | CCpuFeatures::MMXEXT | CCpuFeatures::SSE | CCpuFeatures::SSE2};
  const size_t sizes[] = {0, 1, 63, 64, 65, 127, 128, 129, 200, 255, 256, 4096, 4096 + 77};
  const size_t offsets[] = {0, 1, 8, 16};
  std::mt19937 rng(7);
  for (uint32_t word : words) {
    ScopedCpu cpu(word);
    for (size_t size : sizes) {
      for (size_t so : offsets) {
        for (size_t dof : offsets) {
          alignas(16) static uint8_t src[8192 + 64];
          alignas(16) static uint8_t dst[8192 + 64];
          for (auto& b : src) b = static_cast<uint8_t>(rng());
          std::memset(dst, 0xA5, sizeof(dst));
          FastMemCopy(dst + dof, src + so, size);
          ASSERT_EQ(std::memcmp(dst + dof, src + so, size), 0)
              << "word " << word << " size " << size << " offsets " << so << "/" << dof;
          for (size_t i = 0; i < dof; ++i) ASSERT_EQ(dst[i], 0xA5);
          for (size_t i = dof + size; i < sizeof(dst); ++i) ASSERT_EQ(dst[i], 0xA5) << "overrun at " << i;
        }
      }
    }
  }
}
