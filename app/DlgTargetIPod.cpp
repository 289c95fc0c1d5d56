#include "app/DlgTargetIPod.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "app/DlgNotice.h"
#include "app/TambrelApp.h"
#include "platform/ui/MessageBox.h"

namespace {
// The video bit rate list: the encoder gets the rate the item names.
constexpr ComboItem kRates[] = {{"2048kbps", 2048}, {"1500kbps", 1500}, {"1024kbps", 1024},
                                {"768kbps", 768},   {"512kbps", 512},   {"384kbps", 384},
                                {"256kbps", 256},   {"192kbps", 192},   {"128kbps", 128}};

const char* RateLabel(int value) {
  for (const ComboItem& r : kRates)
    if (r.data == value) return r.text;
  return "";
}
}  // namespace

// Codec 1 is H.264; the video rate is the one the preset's label names.
const CDlgTargetIPod::Preset CDlgTargetIPod::kPresets[20] = {
    {640, 480, 0, 2, 2048, 48000, 160, true}, {640, 480, 0, 2, 1500, 48000, 128, true},
    {320, 240, 0, 2, 768, 44100, 128, true},  {640, 480, 0, 2, 1024, 44100, 96, true},
    {320, 240, 0, 2, 512, 44100, 96, true},   {640, 480, 0, 2, 768, 44100, 96, true},
    {320, 240, 0, 2, 384, 24000, 96, true},   {640, 480, 0, 2, 512, 24000, 64, true},
    {320, 240, 0, 2, 256, 24000, 64, true},   {640, 480, 0, 3, 192, 24000, 32, false},
    {320, 240, 0, 3, 128, 24000, 32, false},  {640, 480, 1, 2, 1500, 48000, 160, true},
    {640, 480, 1, 2, 1500, 48000, 128, true}, {320, 240, 1, 2, 768, 44100, 96, true},
    {640, 480, 1, 2, 1024, 44100, 96, true},  {320, 240, 1, 2, 512, 44100, 96, true},
    {640, 480, 1, 2, 768, 44100, 96, true},   {320, 240, 1, 2, 256, 24000, 96, true},
    {640, 480, 1, 3, 512, 24000, 64, true},   {320, 240, 1, 3, 256, 24000, 64, true},
};

BEGIN_MESSAGE_MAP(CDlgTargetIPod, CDlgTargetPage)
ON_CBN_SELCHANGE(1090, OnPreset)
ON_BN_CLICKED(1045, OnMp4)
ON_BN_CLICKED(1046, OnMov)
ON_BN_CLICKED(1044, OnNotice)
ON_BN_CLICKED(1023, OnBrowseMovie)
END_MESSAGE_MAP()

CDlgTargetIPod::CDlgTargetIPod(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nBatchShrink = 20;
  m_containers = {CONTAINER_MP4, CONTAINER_MOV};
}

CSize CDlgTargetIPod::SizeOfIndex(int index) {
  static const int kSizes[][2] = {{640, 480}, {640, 360}, {320, 240}, {320, 180}, {160, 120}};
  const int i = index >= 0 && index < 5 ? index : 0;
  return CSize(kSizes[i][0], kSizes[i][1]);
}

// The iPod plays up to 768 kbps at 320 wide, 384 at 160, and H.264 up to
// 1500 at 640: every preset of the page lies within.
bool CDlgTargetIPod::RateTooLarge(int width, int codec, int kbps) {
  return (width == 320 && kbps > 768) || (width == 160 && kbps > 384) || (width == 640 && IsH264(codec) && kbps > 1500);
}

int CDlgTargetIPod::CappedRate(int width, int codec, int kbps) {
  if (width == 320) return std::min(kbps, 768);
  if (width == 160) return std::min(kbps, 384);
  if (width == 640 && IsH264(codec)) return std::min(kbps, 1500);
  return kbps;
}

void CDlgTargetIPod::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_CBIndex(dx, 1090, m_nPreset);
  DDX_CBIndex(dx, 1050, m_nSize);
  DDX_CBData(dx, 1091, m_nVideoCodec);
  DDX_CBData(dx, 1018, m_nVideoBitrate);
  DDX_CBIndex(dx, 1022, m_nFrameRateIndex);
  DDX_CBData(dx, 1025, m_nSampleRate);
  DDX_CBData(dx, 1019, m_nAudioBitrate);
  DDX_Check(dx, 1005, m_bStereo);
  DDX_Check(dx, 1035, m_bResize);
  DDX_Radio(dx, 1045, m_nMov);
}

void CDlgTargetIPod::LoadPreset(int index) {
  if (index < 0 || index >= 20) return;
  const Preset& p = kPresets[index];
  m_nPreset = index;
  for (int i = 0; i < 5; ++i)
    if (SizeOfIndex(i) == CSize(p.width, p.height)) m_nSize = i;
  m_nVideoCodec = p.codec == 1 ? 2 : 0;
  m_nFrameRateIndex = p.rateIndex;
  m_nVideoBitrate = p.videoKbps;
  m_nSampleRate = p.sampleRate;
  m_nAudioBitrate = p.audioKbps;
  m_bStereo = p.stereo ? 1 : 0;
}

BOOL CDlgTargetIPod::OnInitDialog() {
  if (CComboBox* presets = Combo(1090)) {
    for (int i = 0; i < 20; ++i) {
      const Preset& p = kPresets[i];
      const int nominal = std::atoi(RateLabel(p.videoKbps));
      char label[128];
      std::snprintf(label, sizeof label, "%d.%s: %s Quality %d*%d %s, Audio %dkbps %s", i + 1,
                    p.codec ? "H264" : "MPEG4",
                    nominal >= 2048 ? "Highest" : nominal >= 1024 ? "High" : nominal >= 512 ? "Medium" : "Low", p.width,
                    p.height, RateLabel(p.videoKbps), p.audioKbps, p.stereo ? "Stereo" : "Mono");
      presets->AddString(label);
    }
  }
  FillCombo(1050, {"640 * 480", "640 * 360", "320 * 240", "320 * 180"});
  FillCombo(1091, {{"Mpeg4", 0}, {"H264(AVC)", 2}});
  FillCombo(1018, std::vector<ComboItem>(std::begin(kRates), std::end(kRates)));
  FillCombo(1022, kFrameRates);
  FillCombo(1025, {{"48000Hz", 48000}, {"44100Hz", 44100}, {"24000Hz", 24000}, {"22050Hz", 22050}});
  FillCombo(1019, {{"160kbps", 160}, {"128kbps", 128}, {"96kbps", 96}, {"64kbps", 64}, {"32kbps", 32}});
  if (m_pJob) {
    m_nPreset = m_pJob->m_nPreset;
    // A job without an output size of its own starts from its preset.
    if (m_pJob->m_nWidth == 0) {
      LoadPreset(m_nPreset);
    } else {
      m_nSize = 0;
      for (int i = 0; i < 5; ++i)
        if (SizeOfIndex(i) == CSize(m_pJob->m_nWidth, m_pJob->m_nHeight)) m_nSize = i;
      m_nVideoCodec = m_pJob->m_nVideoCodec == 0 ? 0 : 2;
      m_nVideoBitrate = m_pJob->m_nVideoBitrate;
      m_nFrameRateIndex = m_pJob->m_nFrameRateIndex;
      m_nSampleRate = m_pJob->m_nSampleRate;
      m_nAudioBitrate = m_pJob->m_nAudioBitrate;
      m_bStereo = m_pJob->m_nChannels > 1 ? 1 : 0;
    }
    m_bResize = m_pJob->m_bResize ? 1 : 0;
    m_nMov = m_pJob->m_nProfile > PROFILE_IPOD ? 1 : 0;
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(m_nMov ? ".mov" : ".mp4") : m_pJob->m_strTarget;
  }
  return CDlgTargetPage::OnInitDialog();
}

void CDlgTargetIPod::OnPreset() {
  GetDlgItemText(1061, m_strOutput);
  m_bResize = IsDlgButtonChecked(1035) ? 1 : 0;
  m_nMov = IsDlgButtonChecked(1046) ? 1 : 0;
  LoadPreset(Combo(1090)->GetCurSel());
  UpdateData(FALSE);
}

void CDlgTargetIPod::OnMp4() { SetOutputExtension(".mp4"); }
void CDlgTargetIPod::OnMov() { SetOutputExtension(".mov"); }

void CDlgTargetIPod::OnNotice() {
  CDlgIPodInfo notice(this);
  notice.DoModal();
}

void CDlgTargetIPod::OnBrowseMovie() {
  if (IsDlgButtonChecked(1046))
    BrowseOutput("*.mov;", "IPod Movie Files (*.mov;)|*.mov||");
  else
    BrowseOutput("*.mp4;", "IPod Movie Files (*.mp4;)|*.mp4||");
}

bool CDlgTargetIPod::Apply(const std::string& output) {
  const CSize size = SizeOfIndex(m_nSize < 0 ? 4 : m_nSize);
  const int width = static_cast<int>(size.cx);
  if (RateTooLarge(width, m_nVideoCodec, m_nVideoBitrate)) {
    if (g_dwIPodShowOnce) {
      AfxMessageBox("Bitrate is too large for this video dimension and video codec\n", MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
    // Cancel in the notice goes back to the settings.
    CDlgIPodInfo notice(this);
    if (notice.DoModal() != IDOK) return false;
  }
  if (!m_pJob) return true;
  m_pJob->m_nWidth = width;
  m_pJob->m_nHeight = static_cast<int>(size.cy);
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nPreset = m_nPreset < 0 ? 0 : m_nPreset;
  m_pJob->m_nSampleRate = m_nSampleRate;
  m_pJob->m_nAudioBitrate = m_nAudioBitrate;
  m_pJob->m_nChannels = m_bStereo ? 2 : 1;
  m_pJob->m_nVideoCodec = m_nVideoCodec;
  m_pJob->m_nVideoBitrate = CappedRate(width, m_nVideoCodec, m_nVideoBitrate);
  m_pJob->m_nFrameRateIndex = m_nFrameRateIndex < 0 ? 0 : m_nFrameRateIndex;
  m_pJob->m_bResize = m_bResize != 0;
  m_pJob->m_nAudioCodec = 0;
  // MOV keeps the iPod's MP4 data in a .mov file (profile 4).
  m_pJob->m_nProfile = m_nMov ? PROFILE_MP4 : PROFILE_IPOD;
  m_pJob->m_nType = CONVERT_IPOD;
  return true;
}
