#include "app/DlgTargetAVI.h"

#include <algorithm>

#include "app/SourceProbe.h"

namespace {
constexpr float kMinRate = 5.0f, kMaxRate = 30.0f;
constexpr int kMaxSide = 4096;
}  // namespace

CDlgTargetAVI::CDlgTargetAVI(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nOutputId = 1022;
  m_nBatchShrink = 30;
  m_containers = {CONTAINER_AVI};
  m_pszBrowseExtension = "*.avi";
  m_pszBrowseFilter = "AVI Files (*.avi)|*.avi||";
}

void CDlgTargetAVI::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1022, m_strOutput);
  // No size of its own: 0 keeps the source's.
  DDX_Text(dx, 1068, m_nWidth);
  DDV_MinMaxInt(dx, m_nWidth, 0, kMaxSide);
  DDX_Text(dx, 1069, m_nHeight);
  DDV_MinMaxInt(dx, m_nHeight, 0, kMaxSide);
  DDX_Text(dx, 1085, m_fFrameRate);
  DDV_MinMaxFloat(dx, m_fFrameRate, kMinRate, kMaxRate);
  DDX_CBIndex(dx, 1024, m_nVideoCodec);
  DDX_CBData(dx, 1018, m_nVideoBitrate);
  DDX_CBIndex(dx, 1026, m_nAudioCodec);
  DDX_CBData(dx, 1025, m_nSampleRate);
  DDX_CBData(dx, 1019, m_nAudioBitrate);
  DDX_Check(dx, 1035, m_bResize);
}

BOOL CDlgTargetAVI::OnInitDialog() {
  if (m_pJob) {
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(".avi") : m_pJob->m_strTarget;
    const bool own = m_pJob->m_nWidth != 0;
    m_nWidth = std::clamp(own ? m_pJob->m_nWidth : m_pJob->m_nSourceWidth, 0, kMaxSide);
    m_nHeight = std::clamp(own ? m_pJob->m_nHeight : m_pJob->m_nSourceHeight, 0, kMaxSide);
    // The page proposes only rates it takes: a faster source gets the
    // fastest, an unknown rate the type's own.
    m_fFrameRate = m_pJob->m_dFrameRate > 0 ? std::clamp(static_cast<float>(m_pJob->m_dFrameRate), kMinRate, kMaxRate)
                                            : 25.0f;
    m_nVideoCodec = m_pJob->m_nVideoCodec;
    m_nVideoBitrate = m_pJob->m_nVideoBitrate;
    m_nAudioCodec = m_pJob->m_nAudioCodec;
    m_nSampleRate = m_pJob->m_nSampleRate;
    m_nAudioBitrate = m_pJob->m_nAudioBitrate;
    m_bResize = m_pJob->m_bResize ? 1 : 0;
  }
  FillCombo(1024, {"MPEG4(Xvid)", "DivX", "Microsoft MPEG4 v2", "H264(AVC)"});
  FillCombo(1018, kVideoKbps);
  FillCombo(1026, {"PCM (No Compressed)", "MPEG Layer III", "Microsoft ADPCM", "AAC"});
  FillCombo(1025, {{"48000Hz", 48000}, {"44100Hz", 44100}, {"22050Hz", 22050}, {"16000Hz", 16000}, {"12000Hz", 12000}});
  FillCombo(1019, kAudioKbps);
  return CDlgTargetPage::OnInitDialog();
}

bool CDlgTargetAVI::Apply(const std::string& output) {
  m_nWidth = RoundToFour(m_nWidth);
  m_nHeight = RoundToFour(m_nHeight);
  SetEditInt(1068, m_nWidth);
  SetEditInt(1069, m_nHeight);
  if (!m_pJob) return true;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nWidth = m_nWidth;
  m_pJob->m_nHeight = m_nHeight;
  m_pJob->m_dFrameRate = CutToHundredths(m_fFrameRate);
  m_pJob->m_nVideoCodec = m_nVideoCodec;
  m_pJob->m_nVideoBitrate = m_nVideoBitrate;
  m_pJob->m_nAudioCodec = m_nAudioCodec;
  m_pJob->m_nSampleRate = m_nSampleRate;
  m_pJob->m_nAudioBitrate = m_nAudioBitrate;
  m_pJob->m_bResize = m_bResize != 0;
  m_pJob->m_nType = CONVERT_AVI;
  return true;
}
