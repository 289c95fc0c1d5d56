// The 3GP/3G2 target page: presets for mobile phones, picture size, codecs
// and rates, and the phone notice.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTarget3GP : public CDlgTargetPage {
 public:
  enum { IDD = 288 };
  explicit CDlgTarget3GP(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  struct Preset {
    int width, height, codec, rateIndex, videoKbps, sampleRate, audioKbps;
    bool stereo;
  };
  static const Preset kPresets[16];
  // The nearest multiple of 4.
  static int RoundToFour(int value) { return (value + 2) / 4 * 4; }

  int m_nWidth = 0;
  int m_nHeight = 0;
  int m_nPreset = 0;
  int m_nVideoCodec = 0;
  int m_nVideoBitrate = 0;
  int m_nFrameRateIndex = 0;
  int m_nSampleRate = 0;
  int m_nAudioBitrate = 0;
  int m_bStereo = 0;
  int m_bResize = 0;
  int m_n3G2 = 0;  // 0 3GP, 1 3G2

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  afx_msg void OnPreset();
  afx_msg void OnWidthDone();
  afx_msg void OnHeightDone();
  afx_msg void On3GP();
  afx_msg void On3G2();
  afx_msg void OnNotice();

 private:
  void LoadPreset(int index);

  DECLARE_MESSAGE_MAP()
};
