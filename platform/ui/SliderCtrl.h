// Trackbars ("msctls_trackbar32"). The user's moves reach the parent as
// WM_HSCROLL (WM_VSCROLL for TBS_VERT) with the scroll code and position, and
// the slider's window in lParam.
#pragma once

#include "platform/ui/Wnd.h"

class CSliderCtrl : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("msctls_trackbar32", nullptr, style, rect, parent, id);
  }
  void SetRange(int minPos, int maxPos, BOOL redraw = FALSE);
  void SetRangeMin(int minPos, BOOL redraw = FALSE) { SendMessage(TBM_SETRANGEMIN, redraw, minPos); }
  void SetRangeMax(int maxPos, BOOL redraw = FALSE) { SendMessage(TBM_SETRANGEMAX, redraw, maxPos); }
  int GetRangeMin() const { return static_cast<int>(::SendMessage(m_hWnd, TBM_GETRANGEMIN, 0, 0)); }
  int GetRangeMax() const { return static_cast<int>(::SendMessage(m_hWnd, TBM_GETRANGEMAX, 0, 0)); }
  void GetRange(int& minPos, int& maxPos) const { minPos = GetRangeMin(), maxPos = GetRangeMax(); }
  void SetPos(int pos) { SendMessage(TBM_SETPOS, TRUE, pos); }
  int GetPos() const { return static_cast<int>(::SendMessage(m_hWnd, TBM_GETPOS, 0, 0)); }
  BOOL SetTic(int pos) { return static_cast<BOOL>(SendMessage(TBM_SETTIC, 0, pos)); }
  void SetTicFreq(int freq) { SendMessage(TBM_SETTICFREQ, static_cast<WPARAM>(freq), 0); }
  void ClearTics(BOOL redraw = FALSE) { SendMessage(TBM_CLEARTICS, redraw, 0); }
  int SetPageSize(int size) { return static_cast<int>(SendMessage(TBM_SETPAGESIZE, 0, size)); }
  int SetLineSize(int size) { return static_cast<int>(SendMessage(TBM_SETLINESIZE, 0, size)); }
};
