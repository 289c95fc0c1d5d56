#include "imagewriter/Picture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// A picture larger than this (width x height x bits / 256) is refused before
// anything is allocated.
constexpr uint64_t kMaxMemoryUnits = 256000000;
// Every size inside the bitmap header is a signed 32-bit value.
constexpr uint64_t kMaxBlockBytes = INT32_MAX;

DWORD NormaliseBitCount(DWORD bits) {
  if (bits <= 1) return 1;
  if (bits <= 4) return 4;
  if (bits <= 8) return 8;
  return 24;
}

DWORD PaletteEntriesFor(DWORD bits) {
  switch (bits) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

bool SameColor(RGBQUAD a, RGBQUAD b) {
  return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
         a.rgbReserved == b.rgbReserved;
}

LONG DpiToPelsPerMeter(DWORD dpi) {
  double pels = std::floor(static_cast<double>(dpi) * 39.37007874015748 + 0.5);
  return pels > INT32_MAX ? INT32_MAX : static_cast<LONG>(pels);
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifetime

CPicture::CPicture(DWORD imageType) { Init(imageType); }

CPicture::CPicture(DWORD width, DWORD height, DWORD bitsPerPixel, DWORD imageType) {
  Init(imageType);
  Create(width, height, bitsPerPixel, imageType);
}

CPicture::CPicture(const CPicture& source, bool copyPixels, bool copySelection, bool copyAlpha) {
  Init(source.GetType());
  CopyFrom(source, copyPixels, copySelection, copyAlpha);
}

CPicture::~CPicture() { Destroy(); }

void CPicture::Init(DWORD imageType) {
  ReleaseOwned();
  m_head = BITMAPINFOHEADER{};
  m_info = Settings{};
  ForgetPlanes();
  m_info.imageType = imageType;
  m_info.jpegQuality = 90;
  m_info.alphaMax = 255;
  m_info.bkgndIndex = -1;
  SetXDPI(96);
  SetYDPI(96);
}

void CPicture::ForgetPlanes() {
  m_rowSize = 0;
  m_pDib = nullptr;
  m_pBits = nullptr;
  m_pAlpha = nullptr;
  m_pSelection = nullptr;
  m_pLayers = nullptr;
  m_pGhostSource = nullptr;
  m_nearestValid = false;
}

void CPicture::ReleaseOwned() {
  // Layers first: they are whole pictures that may own planes of their own.
  m_ownLayers.reset();
  m_ownSelection.reset();
  m_ownAlpha.reset();
  m_ownDib.reset();
}

// Takes the source's header, settings and planes (owned or, for a ghost,
// shared) as they are; the source keeps its pointers.
void CPicture::TakePlanes(CPicture& source) {
  m_head = source.m_head;
  m_info = source.m_info;
  m_rowSize = source.m_rowSize;
  m_pDib = source.m_pDib;
  m_pBits = source.m_pBits;
  m_pAlpha = source.m_pAlpha;
  m_pSelection = source.m_pSelection;
  m_pLayers = source.m_pLayers;
  m_nearestValid = false;
}

CPicture::HeapBytes CPicture::DuplicatePlane(const BYTE* plane, size_t size) {
  HeapBytes copy(static_cast<BYTE*>(std::malloc(size)));
  if (copy) std::memcpy(copy.get(), plane, size);
  return copy;
}

bool CPicture::Destroy() {
  if (IsGhost()) return false;
  ReleaseOwned();
  m_pDib = nullptr;
  m_pBits = nullptr;
  m_pAlpha = nullptr;
  m_pSelection = nullptr;
  m_pLayers = nullptr;
  m_nearestValid = false;
  return true;
}

void CPicture::SetLastError(const char* text) {
  if (!text) text = "";
  if (text == m_info.lastError) return;
  const size_t length = strnlen(text, kErrorTextSize - 1);
  std::memmove(m_info.lastError, text, length);
  m_info.lastError[length] = '\0';
}

BYTE* CPicture::Create(DWORD width, DWORD height, DWORD bitsPerPixel, DWORD imageType) {
  if (!Destroy()) return nullptr;
  if (width == 0 || height == 0) {
    SetLastError("CPicture::Create : width and height must be greater than zero");
    return nullptr;
  }
  const DWORD bits = NormaliseBitCount(bitsPerPixel);
  // Sizes are worked out in 64 bits: a wide picture's row size alone can pass
  // 32 bits, and an undersized block would be overrun by every row access.
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  const uint64_t rowSize = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  const DWORD entries = PaletteEntriesFor(bits);
  const uint64_t imageSize = rowSize * height;  // meaningful once rowSize is known to be small
  const bool tooBig = width > INT32_MAX || height > INT32_MAX || pixels > UINT64_MAX / bits ||
                      pixels * bits / 256 > kMaxMemoryUnits || rowSize > kMaxBlockBytes ||
                      imageSize > kMaxBlockBytes - sizeof(BITMAPINFOHEADER) - entries * sizeof(RGBQUAD);
  if (tooBig) {
    SetLastError("CPICTURE_MAX_MEMORY exceeded");
    return nullptr;
  }

  m_head.biSize = sizeof(BITMAPINFOHEADER);
  m_head.biWidth = static_cast<LONG>(width);
  m_head.biHeight = static_cast<LONG>(height);
  m_head.biPlanes = 1;
  m_head.biBitCount = static_cast<WORD>(bits);
  m_head.biCompression = BI_RGB;
  m_head.biSizeImage = static_cast<DWORD>(imageSize);
  m_head.biClrUsed = entries;
  m_head.biClrImportant = 0;
  m_info.imageType = imageType;
  m_rowSize = static_cast<DWORD>(rowSize);

  const size_t blockSize = sizeof(BITMAPINFOHEADER) + entries * sizeof(RGBQUAD) + imageSize;
  // Cleared, so that row padding and anything a caller does not fill never
  // carries stale heap bytes into a written file.
  HeapBytes block(static_cast<BYTE*>(std::calloc(blockSize, 1)));
  if (!block) {
    SetLastError("CPicture::Create can't allocate memory");
    return nullptr;
  }
  m_ownDib = std::move(block);
  m_pDib = m_ownDib.get();
  std::memcpy(m_pDib, &m_head, sizeof(BITMAPINFOHEADER));
  m_pBits = m_pDib + sizeof(BITMAPINFOHEADER) + entries * sizeof(RGBQUAD);
  m_nearestValid = false;
  return m_pDib;
}

bool CPicture::CreateFromArray(const BYTE* source, DWORD width, DWORD height, DWORD bitsPerPixel,
                               DWORD bytesPerLine, bool flip) {
  if (!source) return false;
  if (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8 && bitsPerPixel != 24 && bitsPerPixel != 32)
    return false;
  if (!Create(width, height, bitsPerPixel, 0)) return false;
  if (bitsPerPixel < 24) SetGrayPalette();
  if (bitsPerPixel == 32) {
    AlphaCreate();
    if (!m_pAlpha) {
      Destroy();
      SetLastError("CPicture::Create can't allocate memory");
      return false;
    }
  }

  // Never read past the caller's line: a short line fills only part of a row.
  const size_t copyBytes = std::min<size_t>(m_rowSize, bytesPerLine);
  const size_t pixels32 = std::min<size_t>(width, bytesPerLine / 4);
  const BYTE* src = source;
  for (DWORD i = 0; i < height; ++i, src += bytesPerLine) {
    const DWORD row = flip ? height - 1 - i : i;
    BYTE* dst = m_pBits + static_cast<size_t>(row) * m_rowSize;
    if (bitsPerPixel == 32) {
      BYTE* alpha = m_pAlpha + static_cast<size_t>(row) * width;
      for (size_t x = 0; x < pixels32; ++x) {
        dst[3 * x] = src[4 * x];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x + 2];
        alpha[x] = src[4 * x + 3];
      }
    } else {
      std::memcpy(dst, src, copyBytes);
    }
  }
  return true;
}

bool CPicture::CopyFrom(const CPicture& source, bool copyPixels, bool copySelection, bool copyAlpha) {
  if (&source == this) return true;
  if (IsGhost()) return false;
  // The source's settings come first, also over a picture that has pixels:
  // quality, resolution and options of the copy are the source's.
  m_info = source.m_info;
  if (!source.IsValid()) {
    Destroy();
    return false;
  }
  m_head.biXPelsPerMeter = source.m_head.biXPelsPerMeter;
  m_head.biYPelsPerMeter = source.m_head.biYPelsPerMeter;
  if (!Create(source.GetWidth(), source.GetHeight(), source.GetBpp(), source.GetType())) return false;
  if (copyPixels) {
    std::memcpy(m_pDib, source.m_pDib, GetSize());
  } else {
    SetPalette(source.GetPalette(), 256);
  }
  const size_t planeSize = static_cast<size_t>(GetWidth()) * GetHeight();
  if (copySelection && source.m_pSelection) {
    m_ownSelection = DuplicatePlane(source.m_pSelection, planeSize);
    m_pSelection = m_ownSelection.get();
  }
  if (copyAlpha && source.m_pAlpha) {
    m_ownAlpha = DuplicatePlane(source.m_pAlpha, planeSize);
    m_pAlpha = m_ownAlpha.get();
  }
  return true;
}

void CPicture::CopySettings(const CPicture& source) {
  // Only value settings travel; ghost links and plane pointers stay this
  // picture's own.
  if (!m_pDib && &source != this) m_info = source.m_info;
}

void CPicture::MakeGhostOf(CPicture* source) {
  if (!source || source == this) return;
  ReleaseOwned();
  TakePlanes(*source);
  m_pGhostSource = source;
}

bool CPicture::TransferFrom(CPicture& source) {
  if (&source == this) return true;
  if (!Destroy()) return false;
  TakePlanes(source);
  m_ownDib = std::move(source.m_ownDib);
  m_ownAlpha = std::move(source.m_ownAlpha);
  m_ownSelection = std::move(source.m_ownSelection);
  m_ownLayers = std::move(source.m_ownLayers);
  m_pGhostSource = source.m_pGhostSource;  // a ghost's shares stay unowned

  source.m_head = BITMAPINFOHEADER{};
  source.m_info = Settings{};
  source.ForgetPlanes();
  return true;
}

// ---------------------------------------------------------------------------
// Queries

void CPicture::SetXDPI(LONG dpi) {
  if (dpi < 1) dpi = 96;
  m_info.xDpi = static_cast<DWORD>(dpi);
  m_head.biXPelsPerMeter = DpiToPelsPerMeter(m_info.xDpi);
}

void CPicture::SetYDPI(LONG dpi) {
  if (dpi < 1) dpi = 96;
  m_info.yDpi = static_cast<DWORD>(dpi);
  m_head.biYPelsPerMeter = DpiToPelsPerMeter(m_info.yDpi);
}

BYTE* CPicture::GetBits(DWORD row) const {
  if (!m_pDib) return nullptr;
  if (row == 0) return m_pBits;
  if (row < GetHeight()) return m_pBits + static_cast<size_t>(row) * m_rowSize;
  return nullptr;
}

size_t CPicture::GetSize() const {
  return static_cast<size_t>(m_head.biClrUsed) * sizeof(RGBQUAD) + m_head.biSize + m_head.biSizeImage;
}

bool CPicture::IsInside(LONG x, LONG y) const {
  return x >= 0 && y >= 0 && x < m_head.biWidth && y < m_head.biHeight;
}

DWORD CPicture::GetCodecOption(DWORD format) const {
  if (format == 0) format = m_info.imageType;
  return format < PICTURE_FORMAT_COUNT ? m_info.codecOptions[format] : 0;
}

void CPicture::SetCodecOption(DWORD options, DWORD format) {
  if (format == 0) format = m_info.imageType;
  if (format < PICTURE_FORMAT_COUNT) m_info.codecOptions[format] = options;
}

LONG CPicture::GetColorType() const {
  if (m_pAlpha) return 4;
  return m_head.biBitCount > 8 ? 2 : 1;
}

LONG CPicture::GetValidTransIndex() const {
  const LONG index = m_info.bkgndIndex;
  if (index < 0) return -1;
  if (m_head.biClrUsed != 0 && static_cast<DWORD>(index) >= m_head.biClrUsed) return -1;
  return index;
}

RGBQUAD CPicture::GetTransColor() const {
  if (m_head.biBitCount < 24 && m_info.bkgndIndex != -1) {
    if (m_info.bkgndIndex < 0 || static_cast<DWORD>(m_info.bkgndIndex) >= m_head.biClrUsed) return RGBQUAD{};
    return GetPaletteColor(static_cast<BYTE>(m_info.bkgndIndex));
  }
  return m_info.bkgndColor;
}

// ---------------------------------------------------------------------------
// Palette

RGBQUAD* CPicture::GetPalette() const {
  if (!m_pDib || m_head.biClrUsed == 0) return nullptr;
  return reinterpret_cast<RGBQUAD*>(m_pDib + sizeof(BITMAPINFOHEADER));
}

RGBQUAD CPicture::GetPaletteColor(BYTE index) const {
  RGBQUAD* palette = GetPalette();
  if (!palette || index >= m_head.biClrUsed) return RGBQUAD{};
  return palette[index];
}

bool CPicture::GetPaletteColor(BYTE index, BYTE* red, BYTE* green, BYTE* blue) const {
  RGBQUAD* palette = GetPalette();
  if (!palette || index >= m_head.biClrUsed) return false;
  if (red) *red = palette[index].rgbRed;
  if (green) *green = palette[index].rgbGreen;
  if (blue) *blue = palette[index].rgbBlue;
  return true;
}

void CPicture::SetPaletteColor(BYTE index, RGBQUAD color) {
  RGBQUAD* palette = GetPalette();
  if (palette && index < m_head.biClrUsed) palette[index] = color;
  InvalidateNearestCache();
}

void CPicture::SetPalette(const RGBQUAD* entries, DWORD count) {
  RGBQUAD* palette = GetPalette();
  if (!entries || !palette) return;
  std::memmove(palette, entries, std::min(count, m_head.biClrUsed) * sizeof(RGBQUAD));
  InvalidateNearestCache();
}

void CPicture::SetGrayPalette() {
  RGBQUAD* palette = GetPalette();
  const DWORD n = m_head.biClrUsed;
  if (!palette || n < 2) return;
  const DWORD step = 255 / (n - 1);
  for (DWORD i = 0; i < n; ++i) {
    const BYTE v = static_cast<BYTE>((step * i) % 256);
    palette[i].rgbBlue = palette[i].rgbGreen = palette[i].rgbRed = v;
  }
  InvalidateNearestCache();
}

bool CPicture::IsGrayScale() const {
  const RGBQUAD* palette = GetPalette();
  if (!palette) return false;
  for (DWORD i = 0; i < m_head.biClrUsed; ++i)
    if (palette[i].rgbBlue != i || palette[i].rgbGreen != i || palette[i].rgbRed != i) return false;
  return true;
}

bool CPicture::PaletteHasAlpha() const {
  const RGBQUAD* palette = GetPalette();
  if (!palette) return false;
  for (DWORD i = 0; i < m_head.biClrUsed; ++i)
    if (palette[i].rgbReserved != 0) return true;
  return false;
}

BYTE CPicture::GetNearestIndex(RGBQUAD color) {
  const RGBQUAD* palette = GetPalette();
  if (!palette) return 0;
  if (m_nearestValid && SameColor(m_nearestColor, color)) return m_nearestIndex;

  DWORD n = m_head.biClrImportant ? m_head.biClrImportant : m_head.biClrUsed;
  n = std::min(n, m_head.biClrUsed);
  LONG best = 200000;
  BYTE bestIndex = 0;
  for (DWORD i = 0; i < n; ++i) {
    const LONG dg = palette[i].rgbGreen - color.rgbGreen;
    const LONG db = palette[i].rgbBlue - color.rgbBlue;
    const LONG dr = palette[i].rgbRed - color.rgbRed;
    const LONG d = dg * dg + db * db + dr * dr;
    if (d == 0) {
      bestIndex = static_cast<BYTE>(i);
      break;
    }
    if (d < best) {
      best = d;
      bestIndex = static_cast<BYTE>(i);
    }
  }
  m_nearestColor = color;
  m_nearestIndex = bestIndex;
  m_nearestValid = true;
  return bestIndex;
}

void CPicture::SwapIndex(BYTE index1, BYTE index2) {
  RGBQUAD* palette = GetPalette();
  // Both must name palette entries: anything else would reach past the
  // palette into the pixel rows.
  if (!palette || index1 >= m_head.biClrUsed || index2 >= m_head.biClrUsed || index1 == index2) return;
  std::swap(palette[index1], palette[index2]);
  const LONG width = m_head.biWidth;
  const LONG height = m_head.biHeight;
  for (LONG y = 0; y < height; ++y) {
    if (m_head.biBitCount == 8) {
      BYTE* row = m_pBits + static_cast<size_t>(y) * m_rowSize;
      for (LONG x = 0; x < width; ++x) {
        if (row[x] == index1)
          row[x] = index2;
        else if (row[x] == index2)
          row[x] = index1;
      }
    } else {
      for (LONG x = 0; x < width; ++x) {
        const BYTE idx = GetPixelIndex(x, y);
        if (idx == index1)
          SetPixelIndex(x, y, index2);
        else if (idx == index2)
          SetPixelIndex(x, y, index1);
      }
    }
  }
  InvalidateNearestCache();
}

void CPicture::SwapRedBlue(BYTE* row, size_t length) const {
  if (!row || m_head.biClrUsed != 0) return;
  const size_t bytes = std::min<size_t>(length, m_rowSize);
  for (size_t i = 0; i + 3 <= bytes; i += 3) std::swap(row[i], row[i + 2]);
}

LONG CPicture::LuminanceCompare(RGBQUAD a, RGBQUAD b) {
  auto luma = [](RGBQUAD c) { return (601 * c.rgbGreen + 306 * c.rgbRed + 117 * c.rgbBlue) >> 10; };
  return luma(a) - luma(b);
}

// ---------------------------------------------------------------------------
// Pixels

BYTE CPicture::GetPixelIndex(LONG x, LONG y) const {
  if (!m_pDib || m_head.biClrUsed == 0) return 0;
  if (!IsInside(x, y)) {
    if (m_info.bkgndIndex != -1) return static_cast<BYTE>(m_info.bkgndIndex);
    // The first pixel's index (for 8 bits the first byte of the rows; for
    // packed depths the byte would be several pixels at once).
    x = 0;
    y = 0;
  }
  const BYTE* p = PixelAddress(x, y);
  switch (m_head.biBitCount) {
    case 8: return *p;
    case 4: return (x & 1) ? (*p & 0x0F) : static_cast<BYTE>(*p >> 4);
    case 1: return (*p >> (7 - (x & 7))) & 1;
    default: return 0;
  }
}

void CPicture::SetPixelIndex(LONG x, LONG y, BYTE index) {
  if (!m_pDib || m_head.biClrUsed == 0 || !IsInside(x, y)) return;
  BYTE* p = PixelAddress(x, y);
  switch (m_head.biBitCount) {
    case 8: *p = index; break;
    case 4:
      if (x & 1)
        *p = static_cast<BYTE>((*p & 0xF0) | (index & 0x0F));
      else
        *p = static_cast<BYTE>((*p & 0x0F) | ((index & 0x0F) << 4));
      break;
    case 1: {
      const BYTE mask = static_cast<BYTE>(1u << (7 - (x & 7)));
      *p = (index & 1) ? static_cast<BYTE>(*p | mask) : static_cast<BYTE>(*p & ~mask);
      break;
    }
    default: break;
  }
}

RGBQUAD CPicture::GetPixelColor(LONG x, LONG y, bool withAlpha) const {
  if (!IsInsideValid(x, y)) {
    if (m_info.bkgndIndex == -1 && m_pDib) return GetPixelColor(0, 0, true);
    return GetTransColor();
  }
  RGBQUAD color;
  if (m_head.biClrUsed) {
    color = GetPaletteColor(GetPixelIndex(x, y));
  } else {
    const BYTE* p = PixelAddress(x, y);
    color.rgbBlue = p[0];
    color.rgbGreen = p[1];
    color.rgbRed = p[2];
    color.rgbReserved = m_info.bkgndColor.rgbReserved;
  }
  if (withAlpha && m_pAlpha) color.rgbReserved = AlphaGet(x, y);
  return color;
}

void CPicture::SetPixelColor(LONG x, LONG y, RGBQUAD color, bool setAlpha) {
  if (!IsInsideValid(x, y)) return;
  if (m_head.biClrUsed) {
    SetPixelIndex(x, y, GetNearestIndex(color));
  } else {
    BYTE* p = PixelAddress(x, y);
    p[0] = color.rgbBlue;
    p[1] = color.rgbGreen;
    p[2] = color.rgbRed;
  }
  if (setAlpha) AlphaSet(x, y, color.rgbReserved);
}

void CPicture::SetPixelColor(LONG x, LONG y, COLORREF color) {
  RGBQUAD quad{GetBValue(color), GetGValue(color), GetRValue(color), 0};
  SetPixelColor(x, y, quad, false);
}

// ---------------------------------------------------------------------------
// Alpha and selection

void CPicture::AlphaCreate() {
  if (!m_pDib || m_pAlpha) return;
  const size_t planeSize = static_cast<size_t>(GetWidth()) * GetHeight();
  HeapBytes plane(static_cast<BYTE*>(std::malloc(planeSize)));
  if (!plane) return;
  std::memset(plane.get(), 255, planeSize);
  m_ownAlpha = std::move(plane);
  m_pAlpha = m_ownAlpha.get();
}

void CPicture::AlphaDelete() {
  // A ghost only lets go of its view; the plane stays its owner's.
  m_ownAlpha.reset();
  m_pAlpha = nullptr;
}

void CPicture::AlphaSet(LONG x, LONG y, BYTE value) {
  if (m_pAlpha && IsInsideValid(x, y)) m_pAlpha[static_cast<size_t>(y) * GetWidth() + x] = value;
}

BYTE CPicture::AlphaGet(LONG x, LONG y) const {
  if (m_pAlpha && IsInsideValid(x, y)) return m_pAlpha[static_cast<size_t>(y) * GetWidth() + x];
  return 0;
}

void CPicture::ClearSelection() {
  // A ghost only lets go of its view; the plane stays its owner's.
  m_ownSelection.reset();
  m_pSelection = nullptr;
  m_info.selectionBox = RECT{m_head.biWidth, 0, 0, m_head.biHeight};
}

bool CPicture::SelectionCreate() {
  if (!m_pDib) return false;
  if (m_pSelection) return true;
  const size_t planeSize = static_cast<size_t>(GetWidth()) * GetHeight();
  m_ownSelection.reset(static_cast<BYTE*>(std::calloc(planeSize, 1)));
  m_pSelection = m_ownSelection.get();
  return m_pSelection != nullptr;
}

// ---------------------------------------------------------------------------
// Layers

CPicture* CPicture::GetLayer(LONG index) const {
  if (!m_pLayers || index < 0 || index >= GetNumLayers()) return nullptr;
  return (*m_pLayers)[static_cast<size_t>(index)].get();
}

CPicture* CPicture::LayerCreate() {
  if (IsGhost()) return nullptr;
  if (!m_ownLayers) {
    m_ownLayers = std::make_unique<LayerArray>();
    m_pLayers = m_ownLayers.get();
  }
  m_ownLayers->push_back(std::make_unique<CPicture>(GetType()));
  return m_ownLayers->back().get();
}
