// CAboutDlg: the about box (template 100 of the resource module).
#pragma once

#include "platform/ui/Dialog.h"

class CAboutDlg : public CDialog {
 public:
  enum { IDD = 100 };
  explicit CAboutDlg(CWnd* parent = nullptr) : CDialog(IDD, parent) {}
};
