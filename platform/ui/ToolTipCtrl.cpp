#include "platform/ui/ToolTipCtrl.h"

#include <QWidget>

#include "platform/ui/WindowRecord.h"

BOOL CToolTipCtrl::Create(CWnd* parent) {
  m_bCreated = parent && parent->GetSafeHwnd() ? TRUE : FALSE;
  return m_bCreated;
}

BOOL CToolTipCtrl::AddTool(CWnd* tool, const char* text) {
  if (!m_bCreated || !tool || !tool->GetWidget()) return FALSE;
  m_pTool = tool;
  m_strText = text ? text : "";
  Apply(tool);
  return TRUE;
}

void CToolTipCtrl::Activate(BOOL active) {
  m_bActive = active;
  if (m_pTool && m_pTool->GetWidget()) Apply(m_pTool);
}

void CToolTipCtrl::Apply(CWnd* tool) const {
  QWidget* w = tool->GetWidget();
  const QString text = m_bActive ? UiQ(m_strText) : QString();
  w->setToolTip(text);
  // The tip is the control's name, also for assistive tools.
  w->setAccessibleName(text);
}
