// A plain target page: the output file only; every other setting keeps the
// type's defaults.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetStandIn : public CDlgTargetPage {
 public:
  enum { IDD = 9001 };
  CDlgTargetStandIn(const char* extension, CWnd* parent);

  BOOL OnInitDialog() override;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  void OnCancel() override;
  afx_msg void OnFinish();
  afx_msg void OnBack();

 private:
  const char* m_pszExtension;

  DECLARE_MESSAGE_MAP()
};
