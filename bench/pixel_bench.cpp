// Times our 4:2:0 conversions against libswscale doing the same work in the
// same run, and prints the ratio (below 1: we are faster).
extern "C" {
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "foundation/PixelConversion.h"

namespace {

double TimeIt(const std::function<void()>& fn) {
  fn();  // warm the caches and page in the buffers
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    const int reps = 40;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) fn();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count() / reps);
  }
  return best;
}

struct Case {
  const char* name;
  AVPixelFormat fmt;
  int bytesPerPixel;
};

}  // namespace

int main() {
  const Case cases[] = {{"4:2:0 -> YUY2", AV_PIX_FMT_YUYV422, 2},
                        {"4:2:0 -> RGB32", AV_PIX_FMT_BGRA, 4},
                        {"4:2:0 -> RGB24", AV_PIX_FMT_BGR24, 3}};
  const int sizes[][2] = {{720, 576}, {1920, 1080}};
  std::printf("%-16s %-10s %10s %12s %8s\n", "conversion", "size", "ours ms", "swscale ms", "ratio");
  for (auto& sz : sizes) {
    const int w = sz[0], h = sz[1];
    // Aligned planes and pitches, as the decoders deliver them.
    auto alloc = [](size_t n) {
      return std::unique_ptr<uint8_t, decltype(&std::free)>(static_cast<uint8_t*>(std::aligned_alloc(64, (n + 63) / 64 * 64)),
                                                            &std::free);
    };
    auto y = alloc(static_cast<size_t>(w) * h), u = alloc(static_cast<size_t>(w) * h / 4),
         v = alloc(static_cast<size_t>(w) * h / 4), out = alloc(static_cast<size_t>(w) * h * 4);
    std::mt19937 rng(1);
    for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i) y.get()[i] = static_cast<uint8_t>(16 + rng() % 220);
    for (size_t i = 0; i < static_cast<size_t>(w) * h / 4; ++i) {
      u.get()[i] = static_cast<uint8_t>(16 + rng() % 225);
      v.get()[i] = static_cast<uint8_t>(16 + rng() % 225);
    }
    for (const Case& c : cases) {
      const int dPitch = w * c.bytesPerPixel;
      std::function<void()> ours;
      if (c.fmt == AV_PIX_FMT_YUYV422)
        ours = [&] { ConvertYuv420ToYuy2(w, h, out.get(), dPitch, y.get(), u.get(), v.get(), w, false); };
      else
        ours = [&] {
          ConvertYuv420ToRgb(w, h, out.get(), dPitch, c.bytesPerPixel * 8, y.get(), u.get(), v.get(), w);
        };
      SwsContext* ctx = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, c.fmt, SWS_POINT, nullptr, nullptr, nullptr);
      const uint8_t* src[3] = {y.get(), u.get(), v.get()};
      const int srcStride[3] = {w, w / 2, w / 2};
      uint8_t* dst[1] = {out.get()};
      const int dstStride[1] = {dPitch};
      double a = TimeIt(ours);
      double b = TimeIt([&] { sws_scale(ctx, src, srcStride, 0, h, dst, dstStride); });
      sws_freeContext(ctx);
      char size[32];
      std::snprintf(size, sizeof(size), "%dx%d", w, h);
      std::printf("%-16s %-10s %10.3f %12.3f %8.2f\n", c.name, size, a, b, a / b);
    }
  }
  return 0;
}
