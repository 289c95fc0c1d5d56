// The conversion-type page: the first page of a new job or batch, with one
// radio button per conversion type and a description of the chosen one.
#pragma once

#include "conversion/ConvertOpt.h"
#include "platform/ui/Button.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/Static.h"

class CDlgCvtType : public CDialog {
 public:
  enum { IDD = 129 };
  explicit CDlgCvtType(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  // The chosen type code (index of the checked radio button; -1 for none).
  int m_nType = 0;
  // Set before the page runs; only its type code is read.
  CConvertOpt* m_pJob = nullptr;
  // A batch has no picture types.
  int m_bBatch = 0;

  // The description string of a type code; 0 for a code outside 0 to 11.
  static UINT DescriptionId(int type);

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  afx_msg void OnTypeClicked(UINT id);
  afx_msg void OnNext();

 private:
  void RefreshDescription();

  CButton m_btnCancel;
  CStatic m_stcDescription;
  CButton m_btnNext;

  DECLARE_MESSAGE_MAP()
};
