// The iPod target page: presets, picture size, codecs and rates with the
// iPod's bit-rate limits, MP4 or MOV.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetIPod : public CDlgTargetPage {
 public:
  enum { IDD = 292 };
  explicit CDlgTargetIPod(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  struct Preset {
    int width, height, codec, rateIndex, videoKbps, sampleRate, audioKbps;
    bool stereo;
  };
  static const Preset kPresets[20];
  // Picture sizes by the size list's index (index 4, 160 x 120, has no entry).
  static CSize SizeOfIndex(int index);
  // The codec list's values 1 and 2 both stand for H.264.
  static bool IsH264(int codec) { return codec == 1 || codec == 2; }
  // A video bit rate above what the iPod plays at that width and codec.
  static bool RateTooLarge(int width, int codec, int kbps);
  // The rate written into the job: the list's value within the iPod's limit.
  static int CappedRate(int width, int codec, int kbps);

  int m_nPreset = 0;
  int m_nSize = 0;
  int m_nVideoCodec = 0;
  int m_nVideoBitrate = 0;
  int m_nFrameRateIndex = 0;
  int m_nSampleRate = 0;
  int m_nAudioBitrate = 0;
  int m_bStereo = 0;
  int m_bResize = 0;
  int m_nMov = 0;  // 0 MP4, 1 MOV

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  afx_msg void OnPreset();
  afx_msg void OnMp4();
  afx_msg void OnMov();
  afx_msg void OnNotice();
  afx_msg void OnBrowseMovie();

 private:
  void LoadPreset(int index);

  DECLARE_MESSAGE_MAP()
};
