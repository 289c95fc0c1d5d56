// The PSP target page: presets, picture size, codecs and rates, the
// thumbnail and the PSP's file names.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetPSP : public CDlgTargetPage {
 public:
  enum { IDD = 290 };
  explicit CDlgTargetPSP(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  struct Preset {
    int codec, rateIndex, videoKbps, sampleRate, audioKbps;
    bool stereo;
  };
  static const Preset kPresets[9];

  int m_nPreset = 0;
  int m_nSize = 0;  // 0 320 x 240, 1 368 x 208
  int m_nVideoCodec = 0;
  int m_nVideoBitrate = 0;
  int m_nFrameRateIndex = 0;
  int m_nAudioBitrate = 0;
  int m_nName = 0;  // 0 "M4V", 1 "MAQ"
  int m_bStereo = 0;
  int m_bResize = 0;
  int m_bThumbnail = 0;
  float m_fThumbTime = 1.0f;
  int m_nFileNumber = 1;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  // The PSP's numbered names beside the source are the page's own.
  bool IsProposedOutput(const std::string& output) const override;
  afx_msg void OnPreset();
  afx_msg void OnName();
  afx_msg void OnFileNumber();
  afx_msg void OnNotice();

 private:
  void LoadPreset(int index);
  // The name box's two names, numbered from `number`.
  void ShowNames(int number);
  // The output path with the name combo's letters and the first number, when
  // its file name is one of the PSP's numbered names; else `output`.
  std::string Numbered(const std::string& output, int name, int number) const;

  DECLARE_MESSAGE_MAP()
};
