#include "foundation/CpuFeatures.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <emmintrin.h>
#include <xmmintrin.h>
#define PELLOMAR_X86 1
#endif

CCpuFeatures g_cpu;

CCpuFeatures::CCpuFeatures() : m_features(Detect()) {}

uint32_t CCpuFeatures::Detect() {
  uint32_t word = 0;
#ifdef PELLOMAR_X86
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    if (d & (1u << 23)) word |= MMX;
    if (d & (1u << 25)) word |= SSE | MMXEXT;
    if (d & (1u << 26)) word |= SSE2;
  }
  // Ask for the highest extended leaf first: on processors without leaf
  // 0x80000001 the answer would come from another leaf and could falsely
  // report 3DNow! or the MMX extensions.
  unsigned maxExt = __get_cpuid_max(0x80000000u, nullptr);
  if (maxExt >= 0x80000001u && __get_cpuid(0x80000001u, &a, &b, &c, &d)) {
    if (d & (1u << 22)) word |= MMXEXT;
    if (d & (1u << 31)) word |= AMD3DNOW;
  }
#endif
  return word;
}

uint32_t SetCpuFeaturesForTesting(uint32_t features) {
  uint32_t old = g_cpu.m_features;
  g_cpu.m_features = features;
  return old;
}

namespace {

#ifdef PELLOMAR_X86
// 128-byte blocks with non-temporal stores: frame copies would otherwise
// evict the decoder's working set from the cache.
void CopyStreaming128(uint8_t* dst, const uint8_t* src, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, src += 128, dst += 128) {
    _mm_prefetch(reinterpret_cast<const char*>(src + 128), _MM_HINT_NTA);
    __m128i v0 = _mm_load_si128(reinterpret_cast<const __m128i*>(src));
    __m128i v1 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 16));
    __m128i v2 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 32));
    __m128i v3 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 48));
    __m128i v4 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 64));
    __m128i v5 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 80));
    __m128i v6 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 96));
    __m128i v7 = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 112));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v0);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), v1);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 32), v2);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 48), v3);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 64), v4);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 80), v5);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 96), v6);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 112), v7);
  }
}
#endif

// The 64-bit block path of processors with MMX but no SSE. On x86-64 every
// processor has SSE2, so this path is kept for the feature-word contract and
// copies with plain 8-byte moves.
void Copy64(uint8_t* dst, const uint8_t* src, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, src += 64, dst += 64) {
    uint64_t q[8];
    std::memcpy(q, src, 64);
    std::memcpy(dst, q, 64);
  }
}

}  // namespace

void FastMemCopy(void* dstv, const void* srcv, size_t count) {
  auto* dst = static_cast<uint8_t*>(dstv);
  auto* src = static_cast<const uint8_t*>(srcv);
  const uint32_t cpu = g_cpu.m_features;
  const auto aligned = [&](uintptr_t a) {
    return ((reinterpret_cast<uintptr_t>(dst) | reinterpret_cast<uintptr_t>(src)) & (a - 1)) == 0;
  };
#ifdef PELLOMAR_X86
  if ((cpu & CCpuFeatures::SSE) && (cpu & CCpuFeatures::SSE2) && count >= 128 && aligned(16)) {
    size_t blocks = count / 128;
    CopyStreaming128(dst, src, blocks);
    size_t done = blocks * 128;
    std::memcpy(dst + done, src + done, count - done);
    _mm_sfence();
    return;
  }
#endif
  if ((cpu & CCpuFeatures::MMX) && count >= 64 && aligned(8)) {
    size_t blocks = count / 64;
    Copy64(dst, src, blocks);
    size_t done = blocks * 64;
    std::memcpy(dst + done, src + done, count - done);
    return;
  }
  if (count) std::memcpy(dst, src, count);
}
