// CToolTipCtrl: the tip a control shows while the pointer rests on it (one
// tool per tip control, as the buttons that carry one use it). The window
// system's own tip window shows it, also over a disabled control.
#pragma once

#include <string>

#include "platform/ui/Wnd.h"

class CToolTipCtrl {
 public:
  // The owner of the tips; FALSE without one.
  BOOL Create(CWnd* parent);
  // The tip of a control; a second call replaces the tool and its text.
  BOOL AddTool(CWnd* tool, const char* text);
  void UpdateTipText(const char* text, CWnd* tool) { AddTool(tool, text); }
  // Tips are shown only while active (the default after Create).
  void Activate(BOOL active);
  BOOL GetSafeHwnd() const { return m_bCreated; }

 private:
  void Apply(CWnd* tool) const;

  BOOL m_bCreated = FALSE;
  BOOL m_bActive = TRUE;
  CWnd* m_pTool = nullptr;
  std::string m_strText;
};
