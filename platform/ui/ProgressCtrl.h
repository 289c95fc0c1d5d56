// Progress bars (range 0-100 until set).
#pragma once

#include "platform/ui/Wnd.h"

class CProgressCtrl : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("msctls_progress32", nullptr, style, rect, parent, id);
  }
  void SetRange(short lower, short upper) { SetRange32(lower, upper); }
  void SetRange32(int lower, int upper) { SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(lower), upper); }
  void GetRange(int& lower, int& upper) const;
  // Returns the previous position; positions outside the range are clamped.
  int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos), 0)); }
  int GetPos() const { return static_cast<int>(::SendMessage(m_hWnd, PBM_GETPOS, 0, 0)); }
  int OffsetPos(int delta) { return static_cast<int>(SendMessage(PBM_DELTAPOS, static_cast<WPARAM>(delta), 0)); }
  int SetStep(int step) { return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(step), 0)); }
  // Advances by the step; past the upper end it starts again from the lower.
  int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
};
