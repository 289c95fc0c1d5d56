// The process-wide CPU feature word and the block copy built on it.
//
// The word is detected once, before main runs, and only read afterwards; the
// copy and pixel routines pick their instruction-set variant from it.
#pragma once

#include <cstddef>
#include <cstdint>

class CCpuFeatures {
 public:
  enum : uint32_t {
    MMX = 1,
    MMXEXT = 2,
    SSE = 4,
    SSE2 = 8,
    AMD3DNOW = 16,
  };

  CCpuFeatures();

  // Detects the features of the processor this runs on.
  static uint32_t Detect();

  uint32_t m_features;
};

// The single instance, constructed by a static initializer at start-up.
extern CCpuFeatures g_cpu;

// Test hook: replaces the feature word so that every variant can be run on
// one machine; returns the previous word. Never used by the product.
uint32_t SetCpuFeaturesForTesting(uint32_t features);

// Copies count bytes; the regions must not overlap. Frame-sized aligned
// copies bypass the cache.
void FastMemCopy(void* dst, const void* src, size_t count);
