// The MP4 target page: picture size, codecs and rates.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetMP4 : public CDlgTargetPage {
 public:
  enum { IDD = 291 };
  explicit CDlgTargetMP4(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  // A multiple of 16: a remainder of 4 or more goes up.
  static int RoundToSixteen(int value) { return (value + 12) / 16 * 16; }
  // The size the page opens with for a job without one of its own: the
  // source's, brought to multiples of 16 within the page's limits.
  static CSize StartSize(const CConvertOpt& job);

  int m_nWidth = 0;
  int m_nHeight = 0;
  int m_nVideoCodec = 0;  // index: 0 MPEG-4, 1 H.264
  int m_nVideoBitrate = 0;
  int m_nFrameRateIndex = 0;
  int m_nAudioCodec = 0;  // index: 0 AAC, 1 MP3
  int m_nSampleRate = 0;
  int m_nAudioBitrate = 0;
  int m_bStereo = 0;
  int m_bResize = 0;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  afx_msg void OnWidthDone();
  afx_msg void OnHeightDone();

  DECLARE_MESSAGE_MAP()
};
