// Up-down controls. A click sends UDN_DELTAPOS (a nonzero answer refuses
// the change), then moves the position, writes it into the buddy with
// UDS_SETBUDDYINT, and sends WM_VSCROLL (WM_HSCROLL with UDS_HORZ) with
// SB_THUMBPOSITION.
#pragma once

#include "platform/ui/Wnd.h"

class CSpinButtonCtrl : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("msctls_updown32", nullptr, style, rect, parent, id);
  }
  void SetRange(short lower, short upper) { SetRange32(lower, upper); }
  void SetRange32(int lower, int upper) { SendMessage(UDM_SETRANGE32, static_cast<WPARAM>(lower), upper); }
  void GetRange32(int& lower, int& upper) const {
    ::SendMessage(m_hWnd, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&lower), reinterpret_cast<LPARAM>(&upper));
  }
  int SetPos(int pos) { return static_cast<int>(SendMessage(UDM_SETPOS32, 0, pos)); }
  int GetPos() const { return static_cast<int>(::SendMessage(m_hWnd, UDM_GETPOS32, 0, 0)); }
  int SetPos32(int pos) { return SetPos(pos); }
  int GetPos32() const { return GetPos(); }
  CWnd* SetBuddy(CWnd* buddy) {
    return CWnd::FromHandle(reinterpret_cast<HWND>(SendMessage(UDM_SETBUDDY, reinterpret_cast<WPARAM>(buddy ? buddy->m_hWnd : nullptr), 0)));
  }
  CWnd* GetBuddy() const { return CWnd::FromHandle(reinterpret_cast<HWND>(::SendMessage(m_hWnd, UDM_GETBUDDY, 0, 0))); }
  // Framework: one click of an arrow (tests drive the control with it).
  void UiStep(bool up);
};
