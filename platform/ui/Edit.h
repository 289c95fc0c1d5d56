// Edit controls: single line (QLineEdit) or ES_MULTILINE (QPlainTextEdit,
// lines separated by "\r\n" in its text, as on the platform).
#pragma once

#include "platform/ui/Wnd.h"

class CEdit : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("Edit", nullptr, style, rect, parent, id);
  }
  void SetLimitText(UINT maxChars) { SendMessage(EM_LIMITTEXT, maxChars, 0); }
  void LimitText(int maxChars = 0) { SendMessage(EM_LIMITTEXT, static_cast<WPARAM>(maxChars), 0); }
  UINT GetLimitText() const { return static_cast<UINT>(::SendMessage(m_hWnd, EM_GETLIMITTEXT, 0, 0)); }
  BOOL SetReadOnly(BOOL readOnly = TRUE) { return static_cast<BOOL>(SendMessage(EM_SETREADONLY, readOnly, 0)); }
  // start 0, end -1 selects everything; start -1 removes the selection.
  void SetSel(int start, int end, BOOL noScroll = FALSE) {
    SendMessage(EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
  }
  void GetSel(int& start, int& end) const;
  void ReplaceSel(const char* text, BOOL canUndo = FALSE) { SendMessage(EM_REPLACESEL, canUndo, reinterpret_cast<LPARAM>(text)); }
};
