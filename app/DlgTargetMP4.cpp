#include "app/DlgTargetMP4.h"

#include <algorithm>

#include "app/PathName.h"

BEGIN_MESSAGE_MAP(CDlgTargetMP4, CDlgTargetPage)
ON_EN_KILLFOCUS(1068, OnWidthDone)
ON_EN_KILLFOCUS(1069, OnHeightDone)
END_MESSAGE_MAP()

CDlgTargetMP4::CDlgTargetMP4(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nBatchShrink = 20;
  m_pszBrowseExtension = "*.mp4;";
  // The type makes MP4 and QuickTime files: the name's extension says which.
  m_pszBrowseFilter =
      "MPEG4 and QuickTime Movie Files (*.mp4;*.mov)|*.mp4;*.mov|MPEG4 Movie Files (*.mp4;)|*.mp4|QuickTime Movie "
      "Files (*.mov)|*.mov||";
}

CSize CDlgTargetMP4::StartSize(const CConvertOpt& job) {
  if (job.m_nSourceWidth <= 0 || job.m_nSourceHeight <= 0) return CSize(320, 240);
  return CSize(std::clamp(RoundToSixteen(job.m_nSourceWidth), 160, 1600),
               std::clamp(RoundToSixteen(job.m_nSourceHeight), 128, 1200));
}

void CDlgTargetMP4::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_Text(dx, 1068, m_nWidth);
  DDV_MinMaxInt(dx, m_nWidth, 160, 1600);
  DDX_Text(dx, 1069, m_nHeight);
  DDV_MinMaxInt(dx, m_nHeight, 120, 1200);
  DDX_CBIndex(dx, 1091, m_nVideoCodec);
  DDX_CBData(dx, 1018, m_nVideoBitrate);
  DDX_CBIndex(dx, 1022, m_nFrameRateIndex);
  DDX_CBIndex(dx, 1024, m_nAudioCodec);
  DDX_CBData(dx, 1025, m_nSampleRate);
  DDX_CBData(dx, 1019, m_nAudioBitrate);
  DDX_Check(dx, 1005, m_bStereo);
  DDX_Check(dx, 1035, m_bResize);
}

BOOL CDlgTargetMP4::OnInitDialog() {
  FillCombo(1091, {"Mpeg4", "H264(AVC)"});
  FillCombo(1018, kVideoKbps);
  FillCombo(1022, kFrameRates);
  FillCombo(1024, {"AAC", "MP3"});
  FillCombo(1025, {{"48000Hz", 48000}, {"44100Hz", 44100}, {"24000Hz", 24000}, {"22050Hz", 22050}});
  FillCombo(1019, kAudioKbps);
  if (m_pJob) {
    // A job without an output size of its own starts from the source's.
    const CSize size = m_pJob->m_nWidth ? CSize(m_pJob->m_nWidth, m_pJob->m_nHeight) : StartSize(*m_pJob);
    m_nWidth = static_cast<int>(size.cx);
    m_nHeight = static_cast<int>(size.cy);
    m_nVideoCodec = m_pJob->m_nVideoCodec;
    m_nVideoBitrate = m_pJob->m_nVideoBitrate;
    m_nFrameRateIndex = m_pJob->m_nFrameRateIndex;
    m_nAudioCodec = m_pJob->m_nAudioCodec;
    m_nSampleRate = m_pJob->m_nSampleRate;
    m_nAudioBitrate = m_pJob->m_nAudioBitrate;
    m_bStereo = m_pJob->m_nChannels > 1 ? 1 : 0;
    m_bResize = m_pJob->m_bResize ? 1 : 0;
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(".mp4") : m_pJob->m_strTarget;
  }
  return CDlgTargetPage::OnInitDialog();
}

void CDlgTargetMP4::OnWidthDone() { RoundEdit(1068, &RoundToSixteen); }
void CDlgTargetMP4::OnHeightDone() { RoundEdit(1069, &RoundToSixteen); }

bool CDlgTargetMP4::Apply(const std::string& output) {
  // Sizes come to their step also when the field was never left.
  m_nWidth = RoundToSixteen(m_nWidth);
  m_nHeight = RoundToSixteen(m_nHeight);
  if (!m_pJob) return true;
  m_pJob->m_nWidth = m_nWidth;
  m_pJob->m_nHeight = m_nHeight;
  m_pJob->m_nVideoCodec = m_nVideoCodec < 0 ? 0 : m_nVideoCodec;
  m_pJob->m_nVideoBitrate = m_nVideoBitrate;
  m_pJob->m_nAudioCodec = m_nAudioCodec < 0 ? 0 : m_nAudioCodec;
  m_pJob->m_nAudioBitrate = m_nAudioBitrate;
  m_pJob->m_bResize = m_bResize != 0;
  m_pJob->m_nChannels = m_bStereo ? 2 : 1;
  m_pJob->m_nSampleRate = m_nSampleRate;
  m_pJob->m_nFrameRateIndex = m_nFrameRateIndex < 0 ? 0 : m_nFrameRateIndex;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nProfile = !m_bBatch && CConvertOpt::GetContainerFromExtension(PathExtension(output)) == CONTAINER_MOV
                           ? PROFILE_MOV
                           : PROFILE_MP4;
  m_pJob->m_nType = CONVERT_MP4;
  return true;
}
