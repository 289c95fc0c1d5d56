// The AVI target page (also the page of picture lists): picture size, frame
// rate, codecs and bit rates.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetAVI : public CDlgTargetPage {
 public:
  enum { IDD = 130 };
  explicit CDlgTargetAVI(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  // The nearest multiple of 4.
  static int RoundToFour(int value) { return (value + 2) / 4 * 4; }

  int m_nWidth = 0;
  int m_nHeight = 0;
  float m_fFrameRate = 25.0f;
  int m_nVideoCodec = 0;
  int m_nVideoBitrate = 0;
  int m_nAudioCodec = 0;
  int m_nSampleRate = 0;
  int m_nAudioBitrate = 0;
  int m_bResize = 0;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
};
