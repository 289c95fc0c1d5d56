// Quarter and half turns of a picture plane.
#include <algorithm>
#include <cstring>

#include "foundation/PixelConversion.h"

namespace {

// Square tiles keep the rows a quarter turn reads across within the cache:
// a column of the source is read in pieces of a tile's height.
constexpr int kTile = 32;

template <int N>
void QuarterTurn(int width, int height, const BYTE* src, ptrdiff_t srcPitch, BYTE* dst, ptrdiff_t dstPitch,
                 bool clockwise) {
  // The destination is `height` wide and `width` high. Clockwise, its pixel
  // (x, y) is the source's (y, height - 1 - x); the other way round the
  // source's (width - 1 - y, x).
  for (int y0 = 0; y0 < width; y0 += kTile) {
    const int y1 = std::min(y0 + kTile, width);
    for (int x0 = 0; x0 < height; x0 += kTile) {
      const int x1 = std::min(x0 + kTile, height);
      for (int y = y0; y < y1; ++y) {
        BYTE* out = dst + y * dstPitch + static_cast<ptrdiff_t>(x0) * N;
        if (clockwise) {
          const BYTE* in = src + static_cast<ptrdiff_t>(height - 1 - x0) * srcPitch + static_cast<ptrdiff_t>(y) * N;
          for (int x = x0; x < x1; ++x, out += N, in -= srcPitch) std::memcpy(out, in, N);
        } else {
          const BYTE* in = src + static_cast<ptrdiff_t>(x0) * srcPitch + static_cast<ptrdiff_t>(width - 1 - y) * N;
          for (int x = x0; x < x1; ++x, out += N, in += srcPitch) std::memcpy(out, in, N);
        }
      }
    }
  }
}

template <int N>
void HalfTurn(int width, int height, const BYTE* src, ptrdiff_t srcPitch, BYTE* dst, ptrdiff_t dstPitch) {
  for (int y = 0; y < height; ++y) {
    const BYTE* in = src + static_cast<ptrdiff_t>(height - 1 - y) * srcPitch + static_cast<ptrdiff_t>(width - 1) * N;
    BYTE* out = dst + y * dstPitch;
    for (int x = 0; x < width; ++x, out += N, in -= N) std::memcpy(out, in, N);
  }
}

template <int N>
void Turn(int width, int height, const BYTE* src, ptrdiff_t srcPitch, BYTE* dst, ptrdiff_t dstPitch, int degrees) {
  if (degrees == 180)
    HalfTurn<N>(width, height, src, srcPitch, dst, dstPitch);
  else
    QuarterTurn<N>(width, height, src, srcPitch, dst, dstPitch, degrees == 90);
}

}  // namespace

bool TurnPicture(int width, int height, int pixelBytes, const BYTE* src, ptrdiff_t srcPitch, BYTE* dst,
                 ptrdiff_t dstPitch, int degrees) {
  if (width <= 0 || height <= 0 || !src || !dst || (degrees != 90 && degrees != 180 && degrees != 270)) return false;
  switch (pixelBytes) {
    case 1: Turn<1>(width, height, src, srcPitch, dst, dstPitch, degrees); return true;
    case 2: Turn<2>(width, height, src, srcPitch, dst, dstPitch, degrees); return true;
    case 3: Turn<3>(width, height, src, srcPitch, dst, dstPitch, degrees); return true;
    case 4: Turn<4>(width, height, src, srcPitch, dst, dstPitch, degrees); return true;
    default: return false;
  }
}
