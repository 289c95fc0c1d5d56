// The FLV/SWF target page: picture size, frame rate and bit rates, Flash
// video or Flash movie.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetFLV : public CDlgTargetPage {
 public:
  enum { IDD = 296 };
  explicit CDlgTargetFLV(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  int m_nWidth = 0;
  int m_nHeight = 0;
  int m_nFrameRate = 0;
  int m_nVideoBitrate = 0;
  int m_nSampleRate = 0;
  int m_nAudioBitrate = 0;
  int m_bResize = 0;
  int m_nSwf = 0;  // 0 FLV, 1 SWF

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  afx_msg void OnWidthDone();
  afx_msg void OnHeightDone();
  afx_msg void OnFlv();
  afx_msg void OnSwf();

  DECLARE_MESSAGE_MAP()
};
