// Point, size and rectangle value classes of the framework. They derive from
// the plain structures so that they can be passed wherever a RECT* or POINT*
// is expected, as the window and drawing calls do.
#pragma once

#include <algorithm>

#include "platform/win32/Types.h"

class CPoint : public POINT {
 public:
  CPoint() : POINT{0, 0} {}
  CPoint(int x_, int y_) : POINT{x_, y_} {}
  CPoint(POINT p) : POINT(p) {}
  bool operator==(const CPoint& o) const { return x == o.x && y == o.y; }
  CPoint operator+(POINT o) const { return CPoint(x + o.x, y + o.y); }
  CPoint operator-(POINT o) const { return CPoint(x - o.x, y - o.y); }
  void Offset(int dx, int dy) { x += dx, y += dy; }
};

class CSize : public SIZE {
 public:
  CSize() : SIZE{0, 0} {}
  CSize(int cx_, int cy_) : SIZE{cx_, cy_} {}
  CSize(SIZE s) : SIZE(s) {}
  bool operator==(const CSize& o) const { return cx == o.cx && cy == o.cy; }
};

class CRect : public RECT {
 public:
  CRect() : RECT{0, 0, 0, 0} {}
  CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
  CRect(const RECT& r) : RECT(r) {}
  CRect(const RECT* r) : RECT(r ? *r : RECT{0, 0, 0, 0}) {}
  CRect(POINT topLeft, SIZE size) : RECT{topLeft.x, topLeft.y, topLeft.x + size.cx, topLeft.y + size.cy} {}

  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  CSize Size() const { return CSize(Width(), Height()); }
  CPoint TopLeft() const { return CPoint(left, top); }
  CPoint BottomRight() const { return CPoint(right, bottom); }
  CPoint CenterPoint() const { return CPoint((left + right) / 2, (top + bottom) / 2); }
  bool IsRectEmpty() const { return right <= left || bottom <= top; }
  bool IsRectNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
  bool PtInRect(POINT p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }
  void SetRect(int l, int t, int r, int b) { left = l, top = t, right = r, bottom = b; }
  void SetRectEmpty() { SetRect(0, 0, 0, 0); }
  void OffsetRect(int dx, int dy) { left += dx, right += dx, top += dy, bottom += dy; }
  void OffsetRect(POINT p) { OffsetRect(p.x, p.y); }
  void MoveToXY(int x, int y) { OffsetRect(x - left, y - top); }
  void InflateRect(int dx, int dy) { left -= dx, top -= dy, right += dx, bottom += dy; }
  void DeflateRect(int dx, int dy) { InflateRect(-dx, -dy); }
  void NormalizeRect() {
    if (left > right) std::swap(left, right);
    if (top > bottom) std::swap(top, bottom);
  }
  bool IntersectRect(const RECT& a, const RECT& b) {
    SetRect(std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom));
    if (IsRectEmpty()) {
      SetRectEmpty();
      return false;
    }
    return true;
  }
  bool operator==(const RECT& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  operator LPRECT() { return this; }
  operator LPCRECT() const { return this; }
};

inline BOOL PtInRect(const RECT* r, POINT p) { return r && CRect(*r).PtInRect(p); }
inline BOOL SetRect(RECT* r, int l, int t, int rr, int b) {
  if (!r) return FALSE;
  *r = RECT{l, t, rr, b};
  return TRUE;
}
inline BOOL OffsetRect(RECT* r, int dx, int dy) {
  if (!r) return FALSE;
  r->left += dx, r->right += dx, r->top += dy, r->bottom += dy;
  return TRUE;
}
inline BOOL InflateRect(RECT* r, int dx, int dy) {
  if (!r) return FALSE;
  r->left -= dx, r->top -= dy, r->right += dx, r->bottom += dy;
  return TRUE;
}
