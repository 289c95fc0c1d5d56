#include "app/DlgTarget3GP.h"

#include <cstdio>

#include "app/DlgNotice.h"
#include "app/TambrelApp.h"

// The values each preset applies.
const CDlgTarget3GP::Preset CDlgTarget3GP::kPresets[16] = {
    {320, 240, 0, 3, 256, 32000, 64, true},  {320, 240, 0, 3, 192, 22000, 32, true},
    {320, 240, 0, 3, 158, 16000, 32, false}, {176, 144, 1, 3, 192, 32000, 64, true},
    {176, 144, 1, 3, 158, 22000, 32, true},  {176, 144, 1, 3, 128, 16000, 32, false},
    {176, 144, 1, 3, 128, 22000, 32, true},  {176, 144, 1, 3, 96, 16000, 16, false},
    {176, 144, 1, 3, 96, 22000, 32, true},   {176, 144, 1, 3, 64, 8000, 12, false},
    {176, 144, 1, 3, 64, 8000, 12, true},    {128, 96, 1, 3, 192, 22000, 32, true},
    {128, 96, 1, 3, 128, 16000, 16, false},  {128, 96, 1, 3, 128, 16000, 12, true},
    {128, 96, 1, 3, 64, 8000, 12, false},    {128, 96, 1, 3, 64, 8000, 12, true},
};

BEGIN_MESSAGE_MAP(CDlgTarget3GP, CDlgTargetPage)
ON_CBN_SELCHANGE(1090, OnPreset)
ON_EN_KILLFOCUS(1068, OnWidthDone)
ON_EN_KILLFOCUS(1069, OnHeightDone)
ON_BN_CLICKED(1026, On3GP)
ON_BN_CLICKED(1027, On3G2)
ON_BN_CLICKED(1049, OnNotice)
END_MESSAGE_MAP()

CDlgTarget3GP::CDlgTarget3GP(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nBatchShrink = 20;
  m_containers = {CONTAINER_3GP};
  m_pszBrowseExtension = "*.3gp;";
  m_pszBrowseFilter = "3GP Files (*.3gp;)|*.3gp||";
}

void CDlgTarget3GP::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_Text(dx, 1068, m_nWidth);
  DDV_MinMaxInt(dx, m_nWidth, 10, 800);
  DDX_Text(dx, 1069, m_nHeight);
  DDV_MinMaxInt(dx, m_nHeight, 10, 600);
  DDX_CBIndex(dx, 1090, m_nPreset);
  DDX_CBData(dx, 1091, m_nVideoCodec);
  DDX_CBData(dx, 1018, m_nVideoBitrate);
  DDX_CBIndex(dx, 1022, m_nFrameRateIndex);
  DDX_CBData(dx, 1025, m_nSampleRate);
  DDX_CBData(dx, 1019, m_nAudioBitrate);
  DDX_Check(dx, 1005, m_bStereo);
  DDX_Check(dx, 1035, m_bResize);
  DDX_Radio(dx, 1026, m_n3G2);
}

void CDlgTarget3GP::LoadPreset(int index) {
  if (index < 0 || index >= 16) return;
  const Preset& p = kPresets[index];
  m_nPreset = index;
  m_nWidth = p.width;
  m_nHeight = p.height;
  m_nVideoCodec = p.codec;
  m_nFrameRateIndex = p.rateIndex;
  m_nVideoBitrate = p.videoKbps;
  m_nSampleRate = p.sampleRate;
  m_nAudioBitrate = p.audioKbps;
  m_bStereo = p.stereo ? 1 : 0;
  m_n3G2 = 0;
}

BOOL CDlgTarget3GP::OnInitDialog() {
  if (CComboBox* presets = Combo(1090)) {
    for (int i = 0; i < 16; ++i) {
      const Preset& p = kPresets[i];
      char label[96];
      std::snprintf(label, sizeof label, "%d. %s Quality %d * %d %dkbps %s", i + 1,
                    p.videoKbps >= 192 ? "High" : p.videoKbps >= 128 ? "Medium" : "Low", p.width, p.height,
                    p.videoKbps, p.stereo ? "stereo" : "mono");
      presets->AddString(label);
    }
  }
  FillCombo(1091, {{"Mpeg4", 0}, {"Mpeg4(H263)", 1}, {"AVC(H264)", 2}});
  FillCombo(1022, kFrameRates);
  FillCombo(1018, {{"512kbps", 512}, {"384kbps", 384}, {"256kbps", 256}, {"192kbps", 192}, {"158kbps", 158},
                   {"128kbps", 128}, {"96kbps", 96}, {"64kbps", 64}});
  FillCombo(1025, {{"32000Hz", 32000}, {"22000Hz", 22000}, {"16000Hz", 16000}, {"8000Hz", 8000}});
  FillCombo(1019, {{"192kbps", 192}, {"128kbps", 128}, {"96kbps", 96}, {"64kbps", 64}, {"32kbps", 32},
                   {"16kbps", 16}, {"12kbps", 12}});
  if (m_pJob) {
    m_nPreset = m_pJob->m_nPreset;
    // A job without an output size of its own starts from its preset.
    if (m_pJob->m_nWidth == 0) {
      LoadPreset(m_nPreset);
    } else {
      m_nWidth = m_pJob->m_nWidth;
      m_nHeight = m_pJob->m_nHeight;
      m_bStereo = m_pJob->m_nChannels > 1 ? 1 : 0;
      m_nFrameRateIndex = m_pJob->m_nFrameRateIndex;
      m_nVideoCodec = m_pJob->m_nVideoCodec;
      m_nVideoBitrate = m_pJob->m_nVideoBitrate;
      m_nAudioBitrate = m_pJob->m_nAudioBitrate;
      m_nSampleRate = m_pJob->m_nSampleRate;
    }
    m_n3G2 = m_pJob->m_nProfile >= 1 ? 1 : 0;
    m_bResize = m_pJob->m_bResize ? 1 : 0;
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(m_n3G2 ? ".3g2" : ".3gp") : m_pJob->m_strTarget;
  }
  return CDlgTargetPage::OnInitDialog();
}

void CDlgTarget3GP::OnPreset() {
  // The settings the preset does not name stay as they are shown.
  GetDlgItemText(1061, m_strOutput);
  m_bResize = IsDlgButtonChecked(1035) ? 1 : 0;
  LoadPreset(Combo(1090)->GetCurSel());
  UpdateData(FALSE);
  SetOutputExtension(".3gp");
}

void CDlgTarget3GP::OnWidthDone() { RoundEdit(1068, &RoundToFour); }
void CDlgTarget3GP::OnHeightDone() { RoundEdit(1069, &RoundToFour); }
void CDlgTarget3GP::On3GP() { SetOutputExtension(".3gp"); }
void CDlgTarget3GP::On3G2() { SetOutputExtension(".3g2"); }

void CDlgTarget3GP::OnNotice() {
  CDlg3GPInfo notice(this);
  notice.DoModal();
}

bool CDlgTarget3GP::Apply(const std::string& output) {
  // Sizes come to their step also when the field was never left.
  m_nWidth = RoundToFour(m_nWidth);
  m_nHeight = RoundToFour(m_nHeight);
  const bool small = (m_nWidth == 176 && m_nHeight == 144) || (m_nWidth == 128 && m_nHeight == 96);
  // H.263 has sizes of its own; any other size is written as MPEG-4.
  int codec = m_nVideoCodec;
  if (codec == 1 && !small) codec = 0;
  const bool mono = !m_bStereo;
  int audio = 2;  // AAC; mono speech rates get AMR
  if (mono && m_nSampleRate == 8000) audio = 0;
  if (mono && m_nSampleRate == 16000) audio = 1;
  // Cancel in the notice goes back to the settings: the job is not finished.
  const bool mostCompatible = small && codec != 2 && m_nSampleRate == 8000 && mono;
  if (!g_dw3gpShowOnce && !mostCompatible) {
    CDlg3GPInfo notice(this);
    if (notice.DoModal() != IDOK) return false;
  }
  if (m_pJob) {
    m_pJob->m_nWidth = m_nWidth;
    m_pJob->m_nHeight = m_nHeight;
    if (!m_bBatch) m_pJob->m_strTarget = output;
    m_pJob->m_nPreset = m_nPreset;
    m_pJob->m_nSampleRate = m_nSampleRate;
    m_pJob->m_nAudioBitrate = m_nAudioBitrate;
    m_pJob->m_nChannels = mono ? 1 : 2;
    m_pJob->m_nVideoBitrate = m_nVideoBitrate;
    m_pJob->m_nFrameRateIndex = m_nFrameRateIndex;
    m_pJob->m_nVideoCodec = codec;
    m_pJob->m_nProfile = m_n3G2 ? PROFILE_3G2 : PROFILE_3GP;
    m_pJob->m_bResize = m_bResize != 0;
    m_pJob->m_nAudioCodec = audio;
    m_pJob->m_nType = CONVERT_3GP;
  }
  return true;
}
