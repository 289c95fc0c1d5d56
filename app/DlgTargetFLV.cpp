#include "app/DlgTargetFLV.h"

#include <cmath>

#include "app/DlgTargetMP4.h"

BEGIN_MESSAGE_MAP(CDlgTargetFLV, CDlgTargetPage)
ON_EN_KILLFOCUS(1068, OnWidthDone)
ON_EN_KILLFOCUS(1069, OnHeightDone)
ON_BN_CLICKED(1073, OnFlv)
ON_BN_CLICKED(1074, OnSwf)
END_MESSAGE_MAP()

CDlgTargetFLV::CDlgTargetFLV(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nBatchShrink = 20;
  m_pszBrowseExtension = "*.flv;";
  m_pszBrowseFilter = "Flash Video Files (*.flv;)|*.flv||";
}

void CDlgTargetFLV::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_Text(dx, 1068, m_nWidth);
  DDV_MinMaxInt(dx, m_nWidth, 160, 1600);
  DDX_Text(dx, 1069, m_nHeight);
  DDV_MinMaxInt(dx, m_nHeight, 120, 1200);
  DDX_CBData(dx, 1091, m_nFrameRate);
  DDX_CBData(dx, 1018, m_nVideoBitrate);
  DDX_CBData(dx, 1025, m_nSampleRate);
  DDX_CBData(dx, 1019, m_nAudioBitrate);
  DDX_Check(dx, 1035, m_bResize);
  DDX_Radio(dx, 1073, m_nSwf);
}

BOOL CDlgTargetFLV::OnInitDialog() {
  static const std::vector<ComboItem> kRates = {{"30fps", 30}, {"25fps", 25}, {"24fps", 24},
                                                {"15fps", 15}, {"12fps", 12}, {"10fps", 10}};
  FillCombo(1091, kRates);
  FillCombo(1018, {{"700kbps", 700}, {"512kbps", 512}, {"384kbps", 384}, {"256kbps", 256}, {"150kbps", 150},
                   {"128kbps", 128}});
  FillCombo(1025, {{"44100Hz", 44100}, {"22050Hz", 22050}, {"11025Hz", 11025}});
  FillCombo(1019, {{"192kbps", 192}, {"160kbps", 160}, {"128kbps", 128}, {"96kbps", 96}, {"80kbps", 80},
                   {"48kbps", 48}, {"32kbps", 32}});
  if (m_pJob) {
    const CSize size = m_pJob->m_nWidth ? CSize(m_pJob->m_nWidth, m_pJob->m_nHeight) : CDlgTargetMP4::StartSize(*m_pJob);
    m_nWidth = static_cast<int>(size.cx);
    m_nHeight = static_cast<int>(size.cy);
    // The list's rate nearest to the source's: a rate it does not list
    // would select nothing and still reach the job. An unknown rate gets
    // the type's own.
    const double rate = m_pJob->m_dFrameRate > 0 ? m_pJob->m_dFrameRate : 15.0;
    m_nFrameRate = kRates.front().data;
    for (const ComboItem& item : kRates)
      if (std::abs(item.data - rate) < std::abs(m_nFrameRate - rate)) m_nFrameRate = item.data;
    m_nVideoBitrate = m_pJob->m_nVideoBitrate;
    m_nSampleRate = m_pJob->m_nSampleRate;
    m_nAudioBitrate = m_pJob->m_nAudioBitrate;
    m_bResize = m_pJob->m_bResize ? 1 : 0;
    m_nSwf = m_pJob->m_nProfile == PROFILE_FLV ? 0 : 1;
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(m_nSwf ? ".swf" : ".flv") : m_pJob->m_strTarget;
  }
  return CDlgTargetPage::OnInitDialog();
}

void CDlgTargetFLV::OnWidthDone() { RoundEdit(1068, &CDlgTargetMP4::RoundToSixteen); }
void CDlgTargetFLV::OnHeightDone() { RoundEdit(1069, &CDlgTargetMP4::RoundToSixteen); }

// The container follows the choice at once, in the name and in the job.
void CDlgTargetFLV::OnFlv() {
  SetOutputExtension(".flv");
  if (m_pJob) m_pJob->m_nProfile = PROFILE_FLV;
}

void CDlgTargetFLV::OnSwf() {
  SetOutputExtension(".swf");
  if (m_pJob) m_pJob->m_nProfile = PROFILE_FLV + 1;
}

bool CDlgTargetFLV::Apply(const std::string& output) {
  // Sizes come to their step also when the field was never left.
  m_nWidth = CDlgTargetMP4::RoundToSixteen(m_nWidth);
  m_nHeight = CDlgTargetMP4::RoundToSixteen(m_nHeight);
  if (!m_pJob) return true;
  m_pJob->m_nWidth = m_nWidth;
  m_pJob->m_nHeight = m_nHeight;
  m_pJob->m_nVideoCodec = 0;
  m_pJob->m_nVideoBitrate = m_nVideoBitrate;
  m_pJob->m_nAudioCodec = 0;
  m_pJob->m_nAudioBitrate = m_nAudioBitrate;
  m_pJob->m_bResize = m_bResize != 0;
  m_pJob->m_nSampleRate = m_nSampleRate;
  m_pJob->m_dFrameRate = m_nFrameRate;
  // The Flash writer takes stereo sound; the page offers no choice.
  m_pJob->m_nChannels = 2;
  m_pJob->m_nProfile = m_nSwf ? PROFILE_FLV + 1 : PROFILE_FLV;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nType = CONVERT_FLV;
  return true;
}
