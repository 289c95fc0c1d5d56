// A small "please wait" window with a text and a progress bar, kept as a
// child of the main window.
#pragma once

#include "platform/ui/Dialog.h"
#include "platform/ui/ProgressCtrl.h"

class CDlgScan : public CDialog {
 public:
  enum { IDD = 139 };
  explicit CDlgScan(CWnd* parent = nullptr) : CDialog(IDD, parent) {}

  CProgressCtrl m_progress;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  afx_msg void OnSize(UINT type, int cx, int cy);

 private:
  DECLARE_MESSAGE_MAP()
};
