// Device contexts over QPainter.
//
// A memory DC (CreateCompatibleDC) draws into the bitmap selected into it;
// its raster operations work on the pixel values exactly (any ternary ROP
// code: SRCCOPY, SRCINVERT, SRCAND, SRCPAINT, ...). A paint DC (CPaintDC, or
// the DC handed to WM_ERASEBKGND and WM_DRAWITEM handlers) draws on the window
// through the painter of the paint in progress; there SRCINVERT, SRCAND and
// SRCPAINT use Qt's raster-operation composition modes, and the window's
// pixels cannot be read back (GetPixel gives CLR_INVALID, and a paint DC
// cannot be a blit source). A CClientDC made outside a paint draws into an
// off-screen image of the client size: measuring works, drawing is not shown.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/GdiObject.h"
#include "platform/ui/Rect.h"

class CWnd;
class QPainter;
class QImage;

// Raster operations
constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr DWORD SRCPAINT = 0x00EE0086;
constexpr DWORD SRCAND = 0x008800C6;
constexpr DWORD SRCINVERT = 0x00660046;
constexpr DWORD SRCERASE = 0x00440328;
constexpr DWORD NOTSRCCOPY = 0x00330008;
constexpr DWORD NOTSRCERASE = 0x001100A6;
constexpr DWORD MERGECOPY = 0x00C000CA;
constexpr DWORD MERGEPAINT = 0x00BB0226;
constexpr DWORD PATCOPY = 0x00F00021;
constexpr DWORD PATPAINT = 0x00FB0A09;
constexpr DWORD PATINVERT = 0x005A0049;
constexpr DWORD DSTINVERT = 0x00550009;
constexpr DWORD BLACKNESS = 0x00000042;
constexpr DWORD WHITENESS = 0x00FF0062;

constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

// DrawText formats
constexpr UINT DT_TOP = 0x0;
constexpr UINT DT_LEFT = 0x0;
constexpr UINT DT_CENTER = 0x1;
constexpr UINT DT_RIGHT = 0x2;
constexpr UINT DT_VCENTER = 0x4;
constexpr UINT DT_BOTTOM = 0x8;
constexpr UINT DT_WORDBREAK = 0x10;
constexpr UINT DT_SINGLELINE = 0x20;
constexpr UINT DT_EXPANDTABS = 0x40;
constexpr UINT DT_NOCLIP = 0x100;
constexpr UINT DT_CALCRECT = 0x400;
constexpr UINT DT_NOPREFIX = 0x800;
constexpr UINT DT_PATH_ELLIPSIS = 0x4000;
constexpr UINT DT_END_ELLIPSIS = 0x8000;
constexpr UINT DT_WORD_ELLIPSIS = 0x40000;

// DrawEdge
constexpr UINT BDR_RAISEDOUTER = 0x1;
constexpr UINT BDR_SUNKENOUTER = 0x2;
constexpr UINT BDR_RAISEDINNER = 0x4;
constexpr UINT BDR_SUNKENINNER = 0x8;
constexpr UINT EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER;
constexpr UINT EDGE_ETCHED = BDR_SUNKENOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_BUMP = BDR_RAISEDOUTER | BDR_SUNKENINNER;
constexpr UINT BF_LEFT = 0x1;
constexpr UINT BF_TOP = 0x2;
constexpr UINT BF_RIGHT = 0x4;
constexpr UINT BF_BOTTOM = 0x8;
constexpr UINT BF_RECT = 0xF;
constexpr UINT BF_ADJUST = 0x2000;

// GetDeviceCaps
constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int BITSPIXEL = 12;
constexpr int PLANES = 14;
constexpr int NUMCOLORS = 24;
constexpr int RASTERCAPS = 38;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;
constexpr int RC_BITBLT = 0x1;
constexpr int RC_STRETCHBLT = 0x800;

struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
};

class CDC {
 public:
  CDC();
  virtual ~CDC();
  CDC(const CDC&) = delete;
  CDC& operator=(const CDC&) = delete;

  HDC m_hDC = nullptr;
  static CDC* FromHandle(HDC hdc);
  HDC GetSafeHdc() const { return m_hDC; }
  operator HDC() const { return m_hDC; }

  // A memory DC with a 1x1 bitmap selected; select a bitmap to draw into it.
  BOOL CreateCompatibleDC(CDC* dc);
  BOOL DeleteDC();
  BOOL IsPrinting() const { return FALSE; }

  // Each returns the object selected before (the DC's default at first).
  CBitmap* SelectObject(CBitmap* bitmap);
  CFont* SelectObject(CFont* font);
  CPen* SelectObject(CPen* pen);
  CBrush* SelectObject(CBrush* brush);
  CGdiObject* SelectStockObject(int index);
  CFont* GetCurrentFont() const;
  CBitmap* GetCurrentBitmap() const;
  // A copy of the region becomes the clip (null removes it); returns the region kind.
  int SelectClipRgn(CRgn* region);
  int IntersectClipRect(int left, int top, int right, int bottom);
  int GetClipBox(LPRECT rect) const;

  COLORREF SetTextColor(COLORREF colour);
  COLORREF GetTextColor() const;
  COLORREF SetBkColor(COLORREF colour);
  COLORREF GetBkColor() const;
  int SetBkMode(int mode);
  int GetBkMode() const;

  BOOL BitBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, DWORD rop);
  BOOL StretchBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, int srcWidth,
                  int srcHeight, DWORD rop);
  BOOL PatBlt(int x, int y, int width, int height, DWORD rop);

  void FillSolidRect(LPCRECT rect, COLORREF colour);
  void FillSolidRect(int x, int y, int cx, int cy, COLORREF colour);
  void FillRect(LPCRECT rect, CBrush* brush);
  void FrameRect(LPCRECT rect, CBrush* brush);
  BOOL Rectangle(int left, int top, int right, int bottom);
  BOOL Rectangle(LPCRECT rect) { return rect && Rectangle(rect->left, rect->top, rect->right, rect->bottom); }
  BOOL Ellipse(int left, int top, int right, int bottom);
  void Draw3dRect(LPCRECT rect, COLORREF topLeft, COLORREF bottomRight);
  void Draw3dRect(int x, int y, int cx, int cy, COLORREF topLeft, COLORREF bottomRight);
  BOOL DrawEdge(LPRECT rect, UINT edge, UINT flags);
  void DrawFocusRect(LPCRECT rect);
  CPoint MoveTo(int x, int y);
  BOOL LineTo(int x, int y);

  BOOL TextOut(int x, int y, const char* text, int count);
  BOOL TextOut(int x, int y, const std::string& text) { return TextOut(x, y, text.c_str(), static_cast<int>(text.size())); }
  // count -1: up to the terminator. Returns the text height; DT_CALCRECT
  // only measures and widens or lowers the rectangle.
  int DrawText(const char* text, int count, LPRECT rect, UINT format);
  int DrawText(const std::string& text, LPRECT rect, UINT format) {
    return DrawText(text.c_str(), static_cast<int>(text.size()), rect, format);
  }
  CSize GetTextExtent(const char* text, int count) const;
  CSize GetTextExtent(const std::string& text) const { return GetTextExtent(text.c_str(), static_cast<int>(text.size())); }

  COLORREF GetPixel(int x, int y) const;
  COLORREF GetPixel(POINT p) const { return GetPixel(p.x, p.y); }
  COLORREF SetPixel(int x, int y, COLORREF colour);
  int GetDeviceCaps(int index) const;
  BOOL DrawIcon(int x, int y, HICON icon);
  // DST_ICON only: DSS_NORMAL as DrawIcon, DSS_DISABLED embossed (the icon's
  // shape in the highlight colour one pixel down-right, then in the shadow
  // colour), DSS_UNION dimmed (the icon in grey, half covered by the face
  // colour, as a dithered icon looks).
  BOOL DrawState(CPoint at, CSize size, HICON icon, UINT flags, HBRUSH brush = nullptr);

  // Framework: draw through the painter of a paint in progress.
  void UiAttachPainter(QPainter* painter, int width, int height);
  // Framework: draw into a private off-screen image.
  void UiAttachImage(int width, int height);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
  QPainter* Painter() const;
  QImage* Image() const;
  bool IsMemory() const;
};

// The DC of a WM_PAINT handler.
class CPaintDC : public CDC {
 public:
  explicit CPaintDC(CWnd* wnd);
  PAINTSTRUCT m_ps{};
  CWnd* m_pWnd = nullptr;
};

// A DC on a window's client area (see the note at the top).
class CClientDC : public CDC {
 public:
  explicit CClientDC(CWnd* wnd);
  CWnd* m_pWnd = nullptr;
};
using CWindowDC = CClientDC;
