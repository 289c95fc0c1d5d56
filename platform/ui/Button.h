// Buttons: push, default push, check box, radio button, group box and
// owner-drawn. Owner-drawn buttons send WM_DRAWITEM to their parent, which
// hands it back to the button's DrawItem unless it draws the button itself.
#pragma once

#include "platform/ui/Wnd.h"

constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;

class CButton : public CWnd {
 public:
  BOOL Create(const char* caption, DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("Button", caption, style, rect, parent, id);
  }
  int GetCheck() const { return static_cast<int>(::SendMessage(m_hWnd, BM_GETCHECK, 0, 0)); }
  void SetCheck(int check) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(check), 0); }
  UINT GetState() const { return static_cast<UINT>(::SendMessage(m_hWnd, BM_GETSTATE, 0, 0)); }
  void SetState(BOOL highlight) { SendMessage(BM_SETSTATE, static_cast<WPARAM>(highlight), 0); }
  UINT GetButtonStyle() const { return GetStyle() & 0xFFFF; }
  void SetButtonStyle(UINT style, BOOL redraw = TRUE) { SendMessage(BM_SETSTYLE, style, redraw); }
  HBITMAP SetBitmap(HBITMAP bitmap) {
    return reinterpret_cast<HBITMAP>(SendMessage(BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  }
  HBITMAP GetBitmap() const {
    return reinterpret_cast<HBITMAP>(::SendMessage(m_hWnd, BM_GETIMAGE, IMAGE_BITMAP, 0));
  }
  HICON SetIcon(HICON icon) {
    return reinterpret_cast<HICON>(SendMessage(BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon)));
  }
  // Owner-drawn buttons draw here (the item's DC, rectangle and state).
  virtual void DrawItem(LPDRAWITEMSTRUCT dis) {}
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};
