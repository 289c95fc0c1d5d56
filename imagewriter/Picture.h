// CPicture: the in-memory picture of the still-image writer.
//
// A device-independent bitmap (header, optional palette, bottom-up rows padded
// to 4 bytes) kept in one C-heap block so that writers can hand header,
// palette and pixels out as they are, plus per-picture settings (type, JPEG
// quality, resolution, background colour/index, writer options, last-error
// text), an optional alpha plane, an optional selection plane and an
// optional array of layer pictures.
//
// Coordinates: x from 0 (left); y is the stored row, 0 being the bottom row.
//
// A ghost shares another picture's pixel block, selection and alpha planes and
// layer array without owning them; the format writers run on ghosts so that encoding copies nothing. The
// owner must outlive its ghosts.
//
// Format writers derive from CPicture, are constructed with their format
// number as image type and offer `bool Write(CPictureFile* file)`, which
// starts with CheckEncode. CPicture::Encode builds them as local ghosts.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "imagewriter/PictureFormat.h"
#include "platform/win32/Gdi.h"
#include "platform/win32/Types.h"

class CPictureFile;

class CPicture {
 public:
  static constexpr size_t kErrorTextSize = 256;

  explicit CPicture(DWORD imageType = 0);
  CPicture(DWORD width, DWORD height, DWORD bitsPerPixel, DWORD imageType);
  // Copy of another picture: settings always, pixels, selection and alpha on
  // request.
  CPicture(const CPicture& source, bool copyPixels, bool copySelection, bool copyAlpha);
  virtual ~CPicture();

  CPicture(const CPicture&) = delete;
  CPicture& operator=(const CPicture&) = delete;

  // ---- lifetime
  void Init(DWORD imageType);
  // Frees layers, selection, alpha and pixels; header and settings stay.
  // False for a ghost.
  bool Destroy();
  BYTE* Create(DWORD width, DWORD height, DWORD bitsPerPixel, DWORD imageType);
  bool CreateFromArray(const BYTE* source, DWORD width, DWORD height, DWORD bitsPerPixel,
                       DWORD bytesPerLine, bool flip);
  bool CopyFrom(const CPicture& source, bool copyPixels, bool copySelection, bool copyAlpha);
  void CopySettings(const CPicture& source);
  void MakeGhostOf(CPicture* source);
  bool TransferFrom(CPicture& source);
  bool IsGhost() const { return m_pGhostSource != nullptr; }

  // ---- queries
  bool IsValid() const { return m_pDib != nullptr; }
  DWORD GetWidth() const { return static_cast<DWORD>(m_head.biWidth); }
  DWORD GetHeight() const { return static_cast<DWORD>(m_head.biHeight); }
  WORD GetBpp() const { return m_head.biBitCount; }
  DWORD GetNumColors() const { return m_head.biClrUsed; }
  DWORD GetEffWidth() const { return m_rowSize; }
  DWORD GetType() const { return m_info.imageType; }
  const BITMAPINFOHEADER& GetHeader() const { return m_head; }
  BYTE GetJpegQuality() const { return m_info.jpegQuality; }
  void SetJpegQuality(BYTE quality) { m_info.jpegQuality = quality > 100 ? 100 : quality; }
  DWORD GetXDPI() const { return m_info.xDpi; }
  DWORD GetYDPI() const { return m_info.yDpi; }
  void SetXDPI(LONG dpi);
  void SetYDPI(LONG dpi);
  BYTE* GetBits(DWORD row = 0) const;
  // The whole pixel block: header, palette and rows (GetSize bytes).
  const BYTE* GetDib() const { return m_pDib; }
  size_t GetSize() const;
  bool IsInside(LONG x, LONG y) const;
  const char* GetLastError() const { return m_info.lastError; }
  DWORD GetCodecOption(DWORD format = 0) const;
  void SetCodecOption(DWORD options, DWORD format = 0);
  LONG GetColorType() const;
  bool IsTransparent() const { return m_info.bkgndIndex >= 0; }
  LONG GetTransIndex() const { return m_info.bkgndIndex; }
  // The background index as the writers use it: -1 when none is set or when
  // a palette picture's index names no palette entry, which is then taken
  // as no transparency rather than read past the palette.
  LONG GetValidTransIndex() const;
  void SetTransIndex(LONG index) { m_info.bkgndIndex = index; }
  RGBQUAD GetTransColor() const;
  void SetTransColor(RGBQUAD color) { m_info.bkgndColor = color; }
  void SetOffset(LONG x, LONG y) {
    m_info.xOffset = x;
    m_info.yOffset = y;
  }
  LONG GetXOffset() const { return m_info.xOffset; }
  LONG GetYOffset() const { return m_info.yOffset; }
  // Hundredths of a second (GIF).
  WORD GetFrameDelay() const { return m_info.frameDelay; }
  void SetFrameDelay(WORD delay) { m_info.frameDelay = delay; }
  LONG GetProgress() const { return m_info.progress; }
  void SetEscape(LONG escape) { m_info.escape = escape; }

  // ---- palette
  RGBQUAD* GetPalette() const;
  RGBQUAD GetPaletteColor(BYTE index) const;
  bool GetPaletteColor(BYTE index, BYTE* red, BYTE* green, BYTE* blue) const;
  void SetPaletteColor(BYTE index, RGBQUAD color);
  void SetPalette(const RGBQUAD* entries, DWORD count);
  void SetGrayPalette();
  bool IsGrayScale() const;
  bool PaletteHasAlpha() const;
  BYTE GetNearestIndex(RGBQUAD color);
  void SwapIndex(BYTE index1, BYTE index2);
  void SwapRedBlue(BYTE* row, size_t length) const;
  static LONG LuminanceCompare(RGBQUAD a, RGBQUAD b);

  // ---- pixels
  BYTE GetPixelIndex(LONG x, LONG y) const;
  void SetPixelIndex(LONG x, LONG y, BYTE index);
  RGBQUAD GetPixelColor(LONG x, LONG y, bool withAlpha = true) const;
  void SetPixelColor(LONG x, LONG y, RGBQUAD color, bool setAlpha = false);
  void SetPixelColor(LONG x, LONG y, COLORREF color);

  // ---- alpha and selection
  bool HasAlpha() const { return m_pAlpha != nullptr; }
  const BYTE* GetAlpha() const { return m_pAlpha; }
  void AlphaCreate();
  void AlphaDelete();
  void AlphaSet(LONG x, LONG y, BYTE value);
  BYTE AlphaGet(LONG x, LONG y) const;
  // Writers that store alpha scale every value by this maximum.
  BYTE AlphaGetMax() const { return m_info.alphaMax; }
  void AlphaSetMax(BYTE value) { m_info.alphaMax = value; }
  // Palette entries carry alpha in their reserved byte (PNG).
  bool AlphaPaletteIsEnabled() const { return m_info.alphaPalette != 0; }
  void AlphaPaletteEnable(bool enable) { m_info.alphaPalette = enable ? 1 : 0; }
  // Frees the selection plane and empties the selection box.
  void ClearSelection();
  // Width x height bytes, cleared; kept when it exists already.
  bool SelectionCreate();
  const BYTE* GetSelection() const { return m_pSelection; }

  // ---- layers: owned pictures, freed with this one
  LONG GetNumLayers() const { return m_pLayers ? static_cast<LONG>(m_pLayers->size()) : 0; }
  CPicture* GetLayer(LONG index) const;
  // Appends an empty layer of this picture's image type; null for a ghost.
  CPicture* LayerCreate();
  RECT GetSelectionBox() const { return m_info.selectionBox; }

  // ---- resampling and canvas fitting (every result replaces this picture,
  // or goes into `destination` when one is given; a failure changes nothing)
  bool Resample(LONG newWidth, LONG newHeight, LONG mode = 0, CPicture* destination = nullptr);
  bool Expand(LONG left, LONG top, LONG right, LONG bottom, RGBQUAD fill,
              CPicture* destination = nullptr);
  bool ExpandCentered(LONG newWidth, LONG newHeight, RGBQUAD fill, CPicture* destination = nullptr);
  bool ResampleToBox(LONG boxWidth, LONG boxHeight, RGBQUAD fill, CPicture* destination = nullptr);
  static float KernelBSpline(float x);

  // ---- encoding
  bool Save(const char* path, DWORD format);
  bool EncodeFile(FILE* stream, DWORD format);
  bool Encode(CPictureFile* file, DWORD format);
  // True when the picture cannot be encoded to `file` (the reason is in the
  // last-error text).
  bool CheckEncode(CPictureFile* file);

 protected:
  void SetLastError(const char* text);
  // The picture a ghost writes for, so that a writer which must reorder the
  // shared palette can keep that picture's own settings in step; the
  // picture itself when it is no ghost.
  CPicture& Owner() { return m_pGhostSource ? *m_pGhostSource : *this; }

 private:
  struct FreeDeleter {
    void operator()(BYTE* p) const noexcept { std::free(p); }
  };
  using HeapBytes = std::unique_ptr<BYTE, FreeDeleter>;

  // Value settings: what a copy, a ghost or a transfer carries over. Nothing
  // here points into memory, so copying it can never make a picture share or
  // believe it shares another one's planes.
  struct Settings {
    DWORD imageType;
    char lastError[kErrorTextSize];
    LONG progress;
    LONG escape;
    LONG bkgndIndex;
    RGBQUAD bkgndColor;
    BYTE jpegQuality;
    WORD frameDelay;
    DWORD xDpi;
    DWORD yDpi;
    RECT selectionBox;
    BYTE alphaMax;
    BYTE alphaPalette;
    LONG xOffset;
    LONG yOffset;
    DWORD codecOptions[PICTURE_FORMAT_COUNT];
  };

  void ForgetPlanes();
  void ReleaseOwned();
  void TakePlanes(CPicture& source);
  static HeapBytes DuplicatePlane(const BYTE* plane, size_t size);
  void InvalidateNearestCache() { m_nearestValid = false; }
  bool IsInsideValid(LONG x, LONG y) const { return m_pDib && IsInside(x, y); }
  BYTE* PixelAddress(LONG x, LONG y) const {
    return m_pBits + static_cast<size_t>(y) * m_rowSize + (static_cast<size_t>(x) * m_head.biBitCount) / 8;
  }
  bool Deliver(CPicture& result, CPicture* destination);
  void ResampleNearest(CPicture& target, float xScale, float yScale);
  void ResampleBicubic(CPicture& target, float xScale, float yScale);
  void ResampleBilinear(CPicture& target, float xScale, float yScale);
  void ResampleAreaAverage(CPicture& target, float xScale, float yScale);

  BITMAPINFOHEADER m_head{};
  Settings m_info{};
  DWORD m_rowSize = 0;
  BYTE* m_pDib = nullptr;   // header copy, palette, rows
  BYTE* m_pBits = nullptr;  // first (bottom) pixel row inside m_pDib
  BYTE* m_pAlpha = nullptr;
  BYTE* m_pSelection = nullptr;
  using LayerArray = std::vector<std::unique_ptr<CPicture>>;
  LayerArray* m_pLayers = nullptr;
  HeapBytes m_ownDib;  // null for a ghost
  HeapBytes m_ownAlpha;
  HeapBytes m_ownSelection;
  std::unique_ptr<LayerArray> m_ownLayers;
  CPicture* m_pGhostSource = nullptr;
  RGBQUAD m_nearestColor{};
  BYTE m_nearestIndex = 0;
  bool m_nearestValid = false;
};
