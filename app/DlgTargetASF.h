// The WMV/ASF target page: one of the Windows Media runtime's system
// profiles and the output file.
#pragma once

#include "app/DlgTargetPage.h"
#include "app/HyperlinkStatic.h"

class CDlgTargetASF : public CDlgTargetPage {
 public:
  enum { IDD = 136 };
  explicit CDlgTargetASF(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  int m_nProfile = -1;  // index into the runtime's profile list

  // The profile chosen for a job's stored index: that index when set, else
  // the last "1500" profile when it is not the first, else the last "768"
  // one (the first when there is none).
  static int DefaultProfile(int stored);

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;

 private:
  CHyperlinkStatic m_link;  // 1087
};
