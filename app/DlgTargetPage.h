// What every target page shares: the job it fills, batch mode, and the page
// result the job creation flow reads after it closes.
#pragma once

#include <memory>
#include <string>

#include "conversion/ConvertOpt.h"
#include "platform/ui/Dialog.h"

class CDlgTargetPage : public CDialog {
 public:
  CDlgTargetPage(UINT templateId, CWnd* parent) : CDialog(templateId, parent) {}

  CConvertOpt* m_pJob = nullptr;
  // Set by the batch flow: the targets are named by the flow, not here.
  int m_bBatch = 0;
  // 0 back, 2 finish, 3 cancel or a failed check.
  int m_nResult = 3;
  std::string m_strOutput;
};

// The target page of a conversion type, made new for each visit; null for a
// type without one.
std::unique_ptr<CDlgTargetPage> CreateTargetPage(int type, CWnd* parent);
