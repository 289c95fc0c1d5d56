// Drawing objects: bitmaps, fonts, pens, brushes and regions. Each object is
// a handle into the framework's object table; the C++ wrapper owns the object
// it created and deletes it with itself. A device context that has an object
// selected keeps it alive until it selects another, so deleting a selected
// object never leaves the context drawing with freed memory.
#pragma once

#include <string>

#include "platform/ui/Rect.h"
#include "platform/win32/Gdi.h"

class CDC;

struct LOGFONT {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  char lfFaceName[32];
};
using LOGFONTA = LOGFONT;
using LPLOGFONT = LOGFONT*;

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};

constexpr LONG FW_DONTCARE = 0;
constexpr LONG FW_THIN = 100;
constexpr LONG FW_LIGHT = 300;
constexpr LONG FW_NORMAL = 400;
constexpr LONG FW_MEDIUM = 500;
constexpr LONG FW_SEMIBOLD = 600;
constexpr LONG FW_BOLD = 700;
constexpr LONG FW_HEAVY = 900;
constexpr BYTE OUT_DEFAULT_PRECIS = 0;
constexpr BYTE CLIP_DEFAULT_PRECIS = 0;
constexpr BYTE DEFAULT_QUALITY = 0;
constexpr BYTE ANTIALIASED_QUALITY = 4;
constexpr BYTE DEFAULT_PITCH = 0;
constexpr BYTE FIXED_PITCH = 1;
constexpr BYTE VARIABLE_PITCH = 2;
constexpr BYTE FF_DONTCARE = 0;
constexpr BYTE FF_SWISS = 0x20;
constexpr BYTE FF_MODERN = 0x30;

constexpr int PS_SOLID = 0;
constexpr int PS_DASH = 1;
constexpr int PS_DOT = 2;
constexpr int PS_DASHDOT = 3;
constexpr int PS_NULL = 5;

// Region kinds and combination modes
constexpr int RGN_ERROR = 0;
constexpr int NULLREGION = 1;
constexpr int SIMPLEREGION = 2;
constexpr int COMPLEXREGION = 3;
constexpr int RGN_AND = 1;
constexpr int RGN_OR = 2;
constexpr int RGN_XOR = 3;
constexpr int RGN_DIFF = 4;
constexpr int RGN_COPY = 5;

// Stock objects
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr int HOLLOW_BRUSH = NULL_BRUSH;
constexpr int WHITE_PEN = 6;
constexpr int BLACK_PEN = 7;
constexpr int NULL_PEN = 8;
constexpr int ANSI_VAR_FONT = 12;
constexpr int SYSTEM_FONT = 13;
constexpr int DEFAULT_GUI_FONT = 17;

class CGdiObject {
 public:
  CGdiObject() = default;
  virtual ~CGdiObject();
  CGdiObject(const CGdiObject&) = delete;
  CGdiObject& operator=(const CGdiObject&) = delete;

  HGDIOBJ m_hObject = nullptr;
  HGDIOBJ GetSafeHandle() const { return m_hObject; }
  operator HGDIOBJ() const { return m_hObject; }
  // Deletes the object of this wrapper (stock objects are only let go).
  BOOL DeleteObject();
  // Wraps an existing object without owning it less: the wrapper deletes
  // what it holds, so Detach it first to keep it.
  BOOL Attach(HGDIOBJ object);
  HGDIOBJ Detach();
};

class CBitmap : public CGdiObject {
 public:
  operator HBITMAP() const { return reinterpret_cast<HBITMAP>(m_hObject); }
  // From the resource module (PNG or BMP bytes); FALSE when absent or unreadable.
  BOOL LoadBitmap(UINT id);
  // A 32-bit bitmap of the size, black.
  BOOL CreateCompatibleBitmap(CDC* dc, int width, int height);
  // A bitmap from 32-bit rows (B, G, R, x per pixel; no padding); bits may be null.
  BOOL CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits);
  int GetBitmap(BITMAP* bitmap) const;
  // Copies up to count bytes of the pixels, 32 bits per pixel (B, G, R, x),
  // top row first; returns the bytes copied.
  DWORD GetBitmapBits(DWORD count, LPVOID bits) const;
  DWORD SetBitmapBits(DWORD count, const void* bits);
  CSize GetBitmapDimension() const;
};

class CFont : public CGdiObject {
 public:
  operator HFONT() const { return reinterpret_cast<HFONT>(m_hObject); }
  BOOL CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic,
                  BYTE underline, BYTE strikeOut, BYTE charSet, BYTE outPrecision, BYTE clipPrecision,
                  BYTE quality, BYTE pitchAndFamily, const char* faceName);
  BOOL CreateFontIndirect(const LOGFONT* logFont);
  // Size in tenths of a point at 96 pixels per inch.
  BOOL CreatePointFont(int pointSizeTenths, const char* faceName, CDC* dc = nullptr);
  int GetLogFont(LOGFONT* logFont) const;
};

class CPen : public CGdiObject {
 public:
  CPen() = default;
  CPen(int style, int width, COLORREF colour) { CreatePen(style, width, colour); }
  operator HPEN() const { return reinterpret_cast<HPEN>(m_hObject); }
  BOOL CreatePen(int style, int width, COLORREF colour);
};

class CBrush : public CGdiObject {
 public:
  CBrush() = default;
  explicit CBrush(COLORREF colour) { CreateSolidBrush(colour); }
  operator HBRUSH() const { return reinterpret_cast<HBRUSH>(m_hObject); }
  BOOL CreateSolidBrush(COLORREF colour);
  BOOL CreateStockObject(int index);
};

class CRgn : public CGdiObject {
 public:
  operator HRGN() const { return reinterpret_cast<HRGN>(m_hObject); }
  BOOL CreateRectRgn(int left, int top, int right, int bottom);
  BOOL CreateRectRgnIndirect(LPCRECT rect);
  BOOL CreateEllipticRgn(int left, int top, int right, int bottom);
  // The union of the rectangles.
  BOOL CreateFromRects(const RECT* rects, int count);
  // This region becomes a combined with b (b unused for RGN_COPY); returns
  // the region kind, RGN_ERROR for a missing region or unknown mode.
  int CombineRgn(const CRgn* a, const CRgn* b, int mode);
  int CopyRgn(const CRgn* source) { return CombineRgn(source, nullptr, RGN_COPY); }
  BOOL SetRectRgn(int left, int top, int right, int bottom);
  BOOL PtInRegion(int x, int y) const;
  BOOL PtInRegion(POINT p) const { return PtInRegion(p.x, p.y); }
  int GetRgnBox(LPRECT rect) const;
  BOOL EqualRgn(const CRgn* other) const;
  int OffsetRgn(int dx, int dy);
};

// Handle functions
HGDIOBJ GetStockObject(int index);
BOOL DeleteObject(HGDIOBJ object);
HRGN CreateRectRgn(int left, int top, int right, int bottom);
int CombineRgn(HRGN destination, HRGN a, HRGN b, int mode);
BOOL PtInRegion(HRGN region, int x, int y);
HBRUSH CreateSolidBrush(COLORREF colour);
HBITMAP UiLoadBitmap(UINT id);
