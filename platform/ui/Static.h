// Static text, picture and frame controls.
#pragma once

#include "platform/ui/Wnd.h"

class CStatic : public CWnd {
 public:
  BOOL Create(const char* text, DWORD style, const RECT& rect, CWnd* parent, UINT id = 0xFFFF) {
    return CWnd::Create("Static", text, style, rect, parent, id);
  }
  HBITMAP SetBitmap(HBITMAP bitmap);
  HBITMAP GetBitmap() const;
  HICON SetIcon(HICON icon);
  HICON GetIcon() const;
};
