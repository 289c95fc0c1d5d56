// The log of a conversion run, shown when a job of the run failed.
#pragma once

#include <string>

#include "platform/ui/Dialog.h"

class CDlgLog : public CDialog {
 public:
  enum { IDD = 193 };
  explicit CDlgLog(CWnd* parent = nullptr) : CDialog(IDD, parent) {}

  std::string m_strLog;

  BOOL OnInitDialog() override;
  // The log tells of jobs that failed for want of a decoder.
  static bool NamesMissingCodecs(const std::string& log);

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  afx_msg void OnCodecHelp();
  afx_msg LRESULT OnOfferCodecHelp(WPARAM, LPARAM);

 private:
  DECLARE_MESSAGE_MAP()
};
