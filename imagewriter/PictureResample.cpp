// Resampling and canvas fitting of CPicture. Every operation builds a new
// picture and moves it in only at the end, so a failure leaves the picture
// (or the destination) as it was.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "imagewriter/Picture.h"

namespace {

BYTE ClampByte(int64_t v) { return static_cast<BYTE>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

BYTE ClampByte(float v) { return static_cast<BYTE>(v <= 0.0f ? 0.0f : (v >= 255.0f ? 255.0f : v)); }

// Source coordinate of a target coordinate by nearest pixel; float rounding
// must never step outside the source.
LONG NearestSource(LONG target, float scale, LONG size) {
  const LONG s = static_cast<LONG>(static_cast<float>(target) * scale);
  return std::clamp<LONG>(s, 0, size - 1);
}

}  // namespace

bool CPicture::Deliver(CPicture& result, CPicture* destination) {
  CPicture& target = (destination && destination != this) ? *destination : *this;
  return target.TransferFrom(result);
}

float CPicture::KernelBSpline(float x) {
  if (x > 2.0f) return 0.0f;
  auto p = [](float t) { return t > 0.0f ? t * t * t : 0.0f; };
  return (p(x + 2.0f) - 4.0f * p(x + 1.0f) + 6.0f * p(x) - 4.0f * p(x - 1.0f)) * 0.16666667f;
}

bool CPicture::Resample(LONG newWidth, LONG newHeight, LONG mode, CPicture* destination) {
  if (!m_pDib || newWidth <= 0 || newHeight <= 0) return false;
  if (destination == this) destination = nullptr;
  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;
  if (newWidth == width && newHeight == height) {
    if (destination) return destination->CopyFrom(*this, true, true, true);
    return true;
  }
  const float xScale = static_cast<float>(width) / static_cast<float>(newWidth);
  const float yScale = static_cast<float>(height) / static_cast<float>(newHeight);

  CPicture target;
  target.CopySettings(*this);
  target.m_head.biXPelsPerMeter = m_head.biXPelsPerMeter;
  target.m_head.biYPelsPerMeter = m_head.biYPelsPerMeter;
  if (!target.Create(static_cast<DWORD>(newWidth), static_cast<DWORD>(newHeight), m_head.biBitCount,
                     m_info.imageType)) {
    SetLastError(target.GetLastError());
    return false;
  }
  target.SetPalette(GetPalette(), 256);

  switch (mode) {
    case 1: ResampleNearest(target, xScale, yScale); break;
    case 2: ResampleBicubic(target, xScale, yScale); break;
    default:
      if (width > newWidth && height > newHeight && m_head.biBitCount == 24)
        ResampleAreaAverage(target, xScale, yScale);
      else
        ResampleBilinear(target, xScale, yScale);
      break;
  }

  // Alpha is always taken by nearest pixel, whatever the colour method.
  if (m_pAlpha) {
    target.AlphaCreate();
    if (!target.m_pAlpha) {
      SetLastError("CPicture::Create can't allocate memory");
      return false;
    }
    for (LONG y = 0; y < newHeight; ++y) {
      const LONG sy = NearestSource(y, yScale, height);
      BYTE* dst = target.m_pAlpha + static_cast<size_t>(y) * newWidth;
      const BYTE* src = m_pAlpha + static_cast<size_t>(sy) * width;
      for (LONG x = 0; x < newWidth; ++x) dst[x] = src[NearestSource(x, xScale, width)];
    }
  }
  return Deliver(target, destination);
}

void CPicture::ResampleNearest(CPicture& target, float xScale, float yScale) {
  const LONG newWidth = target.m_head.biWidth;
  const LONG newHeight = target.m_head.biHeight;
  for (LONG y = 0; y < newHeight; ++y) {
    m_info.progress = static_cast<LONG>(static_cast<int64_t>(y) * 100 / newHeight);
    if (m_info.escape) break;
    const LONG sy = NearestSource(y, yScale, m_head.biHeight);
    for (LONG x = 0; x < newWidth; ++x)
      target.SetPixelColor(x, y, GetPixelColor(NearestSource(x, xScale, m_head.biWidth), sy, true), false);
  }
}

void CPicture::ResampleBicubic(CPicture& target, float xScale, float yScale) {
  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;
  const LONG newWidth = target.m_head.biWidth;
  const LONG newHeight = target.m_head.biHeight;
  const bool direct = m_head.biClrUsed == 0;
  for (LONG y = 0; y < newHeight; ++y) {
    m_info.progress = static_cast<LONG>(static_cast<int64_t>(y) * 100 / newHeight);
    if (m_info.escape) break;
    const float fy = static_cast<float>(y) * yScale - 0.5f;
    const LONG iy = static_cast<LONG>(std::floor(fy));
    const float a = fy - static_cast<float>(iy);
    for (LONG x = 0; x < newWidth; ++x) {
      const float fx = static_cast<float>(x) * xScale - 0.5f;
      const LONG ix = static_cast<LONG>(std::floor(fx));
      const float b = fx - static_cast<float>(ix);
      float r = 0.0f, g = 0.0f, bl = 0.0f;
      for (LONG m = -1; m <= 2; ++m) {
        const float wy = KernelBSpline(static_cast<float>(m) - a);
        const LONG sy = std::clamp<LONG>(iy + m, 0, height - 1);
        for (LONG n = -1; n <= 2; ++n) {
          const float w = wy * KernelBSpline(b - static_cast<float>(n));
          const LONG sx = std::clamp<LONG>(ix + n, 0, width - 1);
          RGBQUAD c;
          if (direct) {
            const BYTE* p = PixelAddress(sx, sy);
            c = RGBQUAD{p[0], p[1], p[2], 0};
          } else {
            c = GetPixelColor(sx, sy, true);
          }
          r += c.rgbRed * w;
          g += c.rgbGreen * w;
          bl += c.rgbBlue * w;
        }
      }
      if (direct) {
        BYTE* q = target.PixelAddress(x, y);
        q[0] = ClampByte(bl);
        q[1] = ClampByte(g);
        q[2] = ClampByte(r);
      } else {
        target.SetPixelColor(x, y, RGB(ClampByte(r), ClampByte(g), ClampByte(bl)));
      }
    }
  }
}

void CPicture::ResampleBilinear(CPicture& target, float xScale, float yScale) {
  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;
  const LONG newWidth = target.m_head.biWidth;
  const LONG newHeight = target.m_head.biHeight;
  const bool direct = m_head.biClrUsed == 0;
  auto colorAt = [&](LONG x, LONG y) -> RGBQUAD {
    if (direct) {
      const BYTE* p = PixelAddress(x, y);
      return RGBQUAD{p[0], p[1], p[2], 0};
    }
    return GetPaletteColor(GetPixelIndex(x, y));
  };
  auto mix = [](BYTE c1, BYTE c2, BYTE c3, BYTE c4, float dx, float dy) {
    const float left = c3 * dy + c1 * (1.0f - dy);
    const float right = c4 * dy + c2 * (1.0f - dy);
    return ClampByte(right * dx + left * (1.0f - dx));
  };
  for (LONG y = 0; y < newHeight; ++y) {
    m_info.progress = static_cast<LONG>(static_cast<int64_t>(y) * 100 / newHeight);
    if (m_info.escape) break;
    const float fy = static_cast<float>(y) * yScale;
    const LONG iy = std::min<LONG>(static_cast<LONG>(fy), height - 1);
    const LONG iy1 = std::min<LONG>(iy + 1, height - 1);
    const float dy = fy - static_cast<float>(iy);
    for (LONG x = 0; x < newWidth; ++x) {
      const float fx = static_cast<float>(x) * xScale;
      const LONG ix = std::min<LONG>(static_cast<LONG>(fx), width - 1);
      const LONG ix1 = std::min<LONG>(ix + 1, width - 1);
      const float dx = fx - static_cast<float>(ix);
      const RGBQUAD c1 = colorAt(ix, iy), c2 = colorAt(ix1, iy), c3 = colorAt(ix, iy1), c4 = colorAt(ix1, iy1);
      const BYTE b = mix(c1.rgbBlue, c2.rgbBlue, c3.rgbBlue, c4.rgbBlue, dx, dy);
      const BYTE g = mix(c1.rgbGreen, c2.rgbGreen, c3.rgbGreen, c4.rgbGreen, dx, dy);
      const BYTE r = mix(c1.rgbRed, c2.rgbRed, c3.rgbRed, c4.rgbRed, dx, dy);
      if (direct) {
        BYTE* q = target.PixelAddress(x, y);
        q[0] = b;
        q[1] = g;
        q[2] = r;
      } else {
        target.SetPixelColor(x, y, RGB(r, g, b));
      }
    }
  }
}

// Each target pixel is the average of the source area it covers. Weights are
// thousandths of a source pixel; a source row or column that straddles a
// target boundary is split between the two. Two accumulator rows suffice:
// `cur` for the target row being finished, `next` for the one it spills
// into. The sums are 64-bit: a strong shrink (say 1920x1080 to 16x12) piles
// more than 2^31 into one target pixel.
void CPicture::ResampleAreaAverage(CPicture& target, float xScale, float yScale) {
  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;
  const LONG newWidth = target.m_head.biWidth;
  const LONG newHeight = target.m_head.biHeight;
  // One extra column takes the spill of the last one.
  const size_t sums = (static_cast<size_t>(newWidth) + 1) * 3;
  std::vector<int64_t> cur(sums, 0);
  std::vector<int64_t> next(sums, 0);
  const int64_t divisor = std::max<int64_t>(1, static_cast<int64_t>(xScale * yScale * 1000.0f));
  float yBound = yScale - 1.0f;
  LONG outRow = 0;

  for (LONG y = 0; y < height; ++y) {
    m_info.progress = static_cast<LONG>(static_cast<int64_t>(y) * 100 / height);
    if (m_info.escape) break;
    const BYTE* src = m_pBits + static_cast<size_t>(y) * m_rowSize;
    float xBound = xScale - 1.0f;
    LONG k = 0;
    if (static_cast<float>(y) < yBound) {
      // The whole row lies inside the current target row.
      for (LONG x = 0; x < width; ++x, src += 3) {
        int64_t* c = &cur[static_cast<size_t>(k) * 3];
        if (static_cast<float>(x) < xBound || k >= newWidth) {
          c[0] += src[0] * 1000;
          c[1] += src[1] * 1000;
          c[2] += src[2] * 1000;
        } else {
          const int64_t a = static_cast<int64_t>((static_cast<float>(x) - xBound) * 1000.0f);
          xBound += xScale;
          for (int ch = 0; ch < 3; ++ch) {
            c[ch] += src[ch] * (1000 - a);
            c[ch + 3] += src[ch] * a;
          }
          ++k;
        }
      }
      continue;
    }

    // The row straddles the current target row and the next one.
    const int64_t bw = static_cast<int64_t>((static_cast<float>(y) - yBound) * 1000.0f);
    BYTE* out = outRow < newHeight ? target.m_pBits + static_cast<size_t>(outRow) * target.m_rowSize : nullptr;
    for (LONG x = 0; x < width; ++x, src += 3) {
      const size_t i = static_cast<size_t>(k) * 3;
      if (static_cast<float>(x) < xBound || k >= newWidth) {
        for (int ch = 0; ch < 3; ++ch) {
          cur[i + ch] += src[ch] * (1000 - bw);
          next[i + ch] += src[ch] * bw;
        }
      } else {
        const int64_t a = static_cast<int64_t>((static_cast<float>(x) - xBound) * 1000.0f);
        xBound += xScale;
        for (int ch = 0; ch < 3; ++ch) {
          const int64_t p = src[ch];
          cur[i + ch] += p * (1000 - bw) * (1000 - a) / 1000;
          if (out) out[i + ch] = ClampByte(cur[i + ch] / divisor);
          next[i + ch] += p * (1000 - a) * bw / 1000;
          cur[i + 3 + ch] += p * (1000 - bw) * a / 1000;
          next[i + 3 + ch] = p * bw * a / 1000;  // first contribution to that sum
        }
        ++k;
      }
    }
    if (k < newWidth && out) {
      const size_t i = static_cast<size_t>(k) * 3;
      for (int ch = 0; ch < 3; ++ch) out[i + ch] = ClampByte(cur[i + ch] / divisor);
    }
    std::swap(cur, next);
    next[0] = next[1] = next[2] = 0;
    ++outRow;
    yBound += yScale;
  }

  if (outRow < newHeight) {
    BYTE* out = target.m_pBits + static_cast<size_t>(outRow) * target.m_rowSize;
    for (size_t i = 0; i < static_cast<size_t>(newWidth) * 3; ++i) out[i] = ClampByte(cur[i] / divisor);
  }
}

bool CPicture::Expand(LONG left, LONG top, LONG right, LONG bottom, RGBQUAD fill, CPicture* destination) {
  if (!m_pDib || left < 0 || top < 0 || right < 0 || bottom < 0) return false;
  const int64_t newWidth = static_cast<int64_t>(m_head.biWidth) + left + right;
  const int64_t newHeight = static_cast<int64_t>(m_head.biHeight) + top + bottom;
  if (newWidth > INT32_MAX || newHeight > INT32_MAX) {
    SetLastError("CPICTURE_MAX_MEMORY exceeded");
    return false;
  }
  if (destination == this) destination = nullptr;

  // The new picture keeps this one's settings (quality, resolution, writer
  // options), as a re-created picture would.
  CPicture target;
  target.CopySettings(*this);
  target.m_head.biXPelsPerMeter = m_head.biXPelsPerMeter;
  target.m_head.biYPelsPerMeter = m_head.biYPelsPerMeter;
  if (!target.Create(static_cast<DWORD>(newWidth), static_cast<DWORD>(newHeight), m_head.biBitCount,
                     m_info.imageType)) {
    SetLastError(target.GetLastError());
    return false;
  }
  target.SetPalette(GetPalette(), m_head.biClrUsed);
  target.m_info.bkgndIndex = m_info.bkgndIndex;
  target.m_info.bkgndColor = m_info.bkgndColor;

  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;
  const LONG outWidth = target.m_head.biWidth;
  const LONG outHeight = target.m_head.biHeight;
  switch (m_head.biBitCount) {
    case 8: {
      const BYTE index = target.GetNearestIndex(fill);
      std::memset(target.m_pBits, index, target.m_head.biSizeImage);
      for (LONG y = 0; y < height; ++y)
        std::memcpy(target.GetBits(static_cast<DWORD>(y + bottom)) + left, GetBits(static_cast<DWORD>(y)),
                    static_cast<size_t>(width));
      break;
    }
    case 24: {
      for (LONG y = 0; y < outHeight; ++y) {
        BYTE* row = target.GetBits(static_cast<DWORD>(y));
        for (LONG x = 0; x < outWidth; ++x, row += 3) {
          row[0] = fill.rgbBlue;
          row[1] = fill.rgbGreen;
          row[2] = fill.rgbRed;
        }
      }
      for (LONG y = 0; y < height; ++y) {
        m_info.progress = static_cast<LONG>(static_cast<int64_t>(y) * 100 / height);
        std::memcpy(target.GetBits(static_cast<DWORD>(y + bottom)) + static_cast<size_t>(left) * 3,
                    GetBits(static_cast<DWORD>(y)), static_cast<size_t>(width) * 3);
      }
      break;
    }
    default: {
      const BYTE index = target.GetNearestIndex(fill);
      for (LONG y = 0; y < outHeight; ++y) {
        m_info.progress = static_cast<LONG>(static_cast<int64_t>(y) * 100 / outHeight);
        for (LONG x = 0; x < outWidth; ++x) {
          const LONG sx = x - left;
          const LONG sy = y - bottom;
          target.SetPixelIndex(x, y, IsInside(sx, sy) ? GetPixelIndex(sx, sy) : index);
        }
      }
      break;
    }
  }
  return Deliver(target, destination);
}

bool CPicture::ExpandCentered(LONG newWidth, LONG newHeight, RGBQUAD fill, CPicture* destination) {
  if (!m_pDib || newWidth < m_head.biWidth || newHeight < m_head.biHeight) return false;
  const LONG dx = newWidth - m_head.biWidth;
  const LONG dy = newHeight - m_head.biHeight;
  return Expand(dx / 2, dy / 2, dx - dx / 2, dy - dy / 2, fill, destination);
}

// Shrinks (never enlarges) the picture to fit the box keeping its aspect
// ratio, then centres it on a canvas of exactly the box size. A very thin
// picture keeps at least one row or column, so the result always has the
// box size; when a step fails, nothing changes and the answer is false.
bool CPicture::ResampleToBox(LONG boxWidth, LONG boxHeight, RGBQUAD fill, CPicture* destination) {
  if (!m_pDib || boxWidth <= 0 || boxHeight <= 0) return false;
  if (destination == this) destination = nullptr;
  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;

  // The scaled copy goes straight into `work`: no full copy of the frame is
  // made first.
  CPicture work;
  bool scaled = false;
  if (width > boxWidth || height > boxHeight) {
    const double ratio = static_cast<double>(boxWidth) / boxHeight;
    const double scale = (height * ratio <= width) ? static_cast<double>(boxWidth) / width
                                                   : static_cast<double>(boxHeight) / height;
    const LONG w = std::clamp<LONG>(static_cast<LONG>(width * scale), 1, boxWidth);
    const LONG h = std::clamp<LONG>(static_cast<LONG>(height * scale), 1, boxHeight);
    if (!Resample(w, h, 0, &work)) return false;
    scaled = true;
  }
  CPicture& fitted = scaled ? work : *this;
  if (fitted.m_head.biWidth != boxWidth || fitted.m_head.biHeight != boxHeight) {
    CPicture canvas;
    if (!fitted.ExpandCentered(boxWidth, boxHeight, fill, &canvas)) {
      SetLastError(fitted.GetLastError());
      return false;
    }
    return Deliver(canvas, destination);
  }
  if (scaled) return Deliver(work, destination);
  if (destination) return destination->CopyFrom(*this, true, true, true);
  return true;
}
