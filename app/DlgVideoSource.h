// The video source page: the user picks one movie, which is probed,
// described and previewed; the path and what the probe found go into the job.
#pragma once

#include <string>

#include "app/MediaPlayer2.h"
#include "conversion/ConvertOpt.h"
#include "conversion/GraphConverter.h"
#include "platform/ui/Button.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/Edit.h"
#include "platform/ui/Static.h"

class CDlgVideoSource : public CDialog {
 public:
  enum { IDD = 131 };
  explicit CDlgVideoSource(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  std::string m_strSource;
  CConvertOpt* m_pJob = nullptr;
  // 0 back, 1 next, 3 cancel (also while a check of Next failed).
  int m_nResult = 3;
  // Picture size of the source shown last.
  int m_nSourceWidth = 0;
  int m_nSourceHeight = 0;

  CMediaPlayer2& Player() { return m_player; }

  // An installed RealMedia player's codec library ("drv*.dll" in one of the
  // folders its registry keys name).
  static bool RealMediaCodecInstalled();

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  void OnCancel() override;
  afx_msg void OnBrowse();
  afx_msg void OnNext();
  afx_msg void OnBack();

 private:
  // Probes the path and shows it; false when the probe failed.
  bool ShowSource(const std::string& path);
  void Apply(const std::string& path, const SourceMediaInfo& info);
  bool Check(bool next);

  CStatic m_stcLabel;     // 1064
  CStatic m_stcFormat;    // 1063
  CStatic m_stcInfo;      // 1017
  CButton m_btnCancel;
  CEdit m_edtSource;      // 1031
  CButton m_btnBrowse;    // 1023
  CButton m_btnNext;      // 1007
  CButton m_btnBack;      // 1021
  CMediaPlayer2 m_player; // 1065

  DECLARE_MESSAGE_MAP()
};
