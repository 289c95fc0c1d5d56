#include "app/DlgTargetPSP.h"

#include <algorithm>
#include <cstdio>

#include "app/DlgNotice.h"
#include "app/PathName.h"

namespace {
constexpr const char* kNames[] = {"M4V00001.mp4", "MAQ00001.mp4"};

// "M4V" or "MAQ", digits, ".mp4": a name the PSP lists.
bool IsPspName(const std::string& name) {
  if (name.size() < 12 || (name.compare(0, 3, "M4V") != 0 && name.compare(0, 3, "MAQ") != 0)) return false;
  const size_t dot = name.size() - 4;
  if (name.compare(dot, 4, ".mp4") != 0 && name.compare(dot, 4, ".MP4") != 0) return false;
  return std::all_of(name.begin() + 3, name.begin() + static_cast<long>(dot), [](char c) { return c >= '0' && c <= '9'; });
}
}  // namespace

// 320 x 240 throughout; codec 1 is H.264.
const CDlgTargetPSP::Preset CDlgTargetPSP::kPresets[9] = {
    {0, 0, 768, 24000, 128, true}, {0, 0, 512, 24000, 96, true}, {0, 0, 384, 24000, 96, true},
    {0, 1, 256, 24000, 64, true},  {0, 1, 192, 24000, 32, false}, {1, 0, 768, 48000, 128, true},
    {1, 0, 512, 48000, 96, true},  {1, 0, 384, 48000, 96, true},  {1, 1, 256, 48000, 64, true},
};

BEGIN_MESSAGE_MAP(CDlgTargetPSP, CDlgTargetPage)
ON_CBN_SELCHANGE(1090, OnPreset)
ON_CBN_SELCHANGE(1022, OnName)
ON_EN_CHANGE(1072, OnFileNumber)
ON_BN_CLICKED(1044, OnNotice)
END_MESSAGE_MAP()

CDlgTargetPSP::CDlgTargetPSP(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nOutputId = 1031;
  m_containers = {CONTAINER_MP4};
  m_pszBrowseExtension = "*.mp4;";
  m_pszBrowseFilter = "PSP Movie Files (*.mp4;)|*.mp4||";
}

void CDlgTargetPSP::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1031, m_strOutput);
  DDX_CBIndex(dx, 1090, m_nPreset);
  DDX_CBIndex(dx, 1050, m_nSize);
  DDX_CBData(dx, 1091, m_nVideoCodec);
  DDX_CBData(dx, 1018, m_nVideoBitrate);
  DDX_CBIndex(dx, 1025, m_nFrameRateIndex);
  DDX_CBData(dx, 1019, m_nAudioBitrate);
  DDX_CBIndex(dx, 1022, m_nName);
  DDX_Check(dx, 1005, m_bStereo);
  DDX_Check(dx, 1035, m_bResize);
  DDX_Check(dx, 1033, m_bThumbnail);
  DDX_Text(dx, 1034, m_fThumbTime);
  DDV_MinMaxFloat(dx, m_fThumbTime, 0.0f, 60.0f);
  DDX_Text(dx, 1072, m_nFileNumber);
  DDV_MinMaxInt(dx, m_nFileNumber, 1, 90000);
}

void CDlgTargetPSP::LoadPreset(int index) {
  if (index < 0 || index >= 9) return;
  const Preset& p = kPresets[index];
  m_nPreset = index;
  m_nSize = 0;
  m_nVideoCodec = p.codec == 1 ? 2 : 0;
  m_nFrameRateIndex = p.rateIndex;
  m_nVideoBitrate = p.videoKbps;
  m_nAudioBitrate = p.audioKbps;
  m_bStereo = p.stereo ? 1 : 0;
}

BOOL CDlgTargetPSP::OnInitDialog() {
  if (CComboBox* presets = Combo(1090)) {
    for (int i = 0; i < 9; ++i) {
      const Preset& p = kPresets[i];
      char label[128];
      std::snprintf(label, sizeof label, "%d.%s: %s Quality 320*240 %s-%dkbps AAC-%dkbps %s", i + 1,
                    p.codec ? "AVC" : "Standard", p.videoKbps >= 512 ? "High" : p.videoKbps >= 384 ? "Medium" : "Low",
                    p.codec ? "H264" : "MPEG4", p.videoKbps, p.audioKbps, p.stereo ? "Stereo" : "Mono");
      presets->AddString(label);
    }
  }
  FillCombo(1050, {"320 * 240", "368 * 208"});
  FillCombo(1091, {{"Mpeg4", 0}, {"H264(AVC)", 2}});
  FillCombo(1018, kVideoKbps);
  FillCombo(1025, {"29.97fps", "14.985fps"});
  FillCombo(1019, kAudioKbps);
  ShowNames(m_pJob ? m_pJob->m_nPspFileNumber : m_nFileNumber);
  if (m_pJob) {
    m_nPreset = m_pJob->m_nPreset;
    // A job without an output size of its own starts from its preset.
    if (m_pJob->m_nWidth == 0) {
      LoadPreset(m_nPreset);
    } else {
      m_nSize = m_pJob->m_nWidth == 368 && m_pJob->m_nHeight == 208 ? 1 : 0;
      m_nVideoCodec = m_pJob->m_nVideoCodec == 0 ? 0 : 2;
      m_nVideoBitrate = m_pJob->m_nVideoBitrate;
      m_nFrameRateIndex = m_pJob->m_nFrameRateIndex;
      m_nAudioBitrate = m_pJob->m_nAudioBitrate;
      m_bStereo = m_pJob->m_nChannels > 1 ? 1 : 0;
    }
    m_bResize = m_pJob->m_bResize ? 1 : 0;
    m_bThumbnail = m_pJob->m_fThumbTime >= 0.0f ? 1 : 0;
    m_fThumbTime = m_bThumbnail ? std::min(m_pJob->m_fThumbTime, 60.0f) : 1.0f;
    m_nFileNumber = m_pJob->m_nPspFileNumber;
    const std::string name = PathFileName(m_pJob->m_strTarget);
    m_nName = name.compare(0, 3, "MAQ") == 0 ? 1 : 0;
    // The numbered name goes beside the previous output, or beside the
    // source when the job has none yet.
    const std::string folder =
        PathFolder(m_pJob->m_strTarget.empty() ? m_pJob->m_strSource : m_pJob->m_strTarget);
    m_strOutput = Numbered(folder + kNames[m_nName], m_nName, m_nFileNumber);
  }
  return CDlgTargetPage::OnInitDialog();
}

void CDlgTargetPSP::OnPreset() {
  GetDlgItemText(1031, m_strOutput);
  m_bResize = IsDlgButtonChecked(1035) ? 1 : 0;
  m_bThumbnail = IsDlgButtonChecked(1033) ? 1 : 0;
  const int name = Combo(1022)->GetCurSel();
  std::string time, number;
  GetDlgItemText(1034, time);
  GetDlgItemText(1072, number);
  LoadPreset(Combo(1090)->GetCurSel());
  m_nName = name;
  UpdateData(FALSE);
  // What the user typed but the preset does not name stays.
  SetDlgItemText(1034, time);
  SetDlgItemText(1072, number);
}

void CDlgTargetPSP::OnName() {
  const int index = Combo(1022)->GetCurSel();
  if (index < 0 || index > 1) return;
  std::string output;
  GetDlgItemText(1031, output);
  output = TrimBlanks(output);
  const std::string folder = PathFolder(output);
  std::string name = PathFileName(output);
  name = name.size() >= 3 ? std::string(kNames[index], 3) + name.substr(3) : std::string(kNames[index]);
  SetDlgItemText(1031, folder + name);
}

std::string CDlgTargetPSP::Numbered(const std::string& output, int name, int number) const {
  if (!IsPspName(PathFileName(output)) || name < 0 || name > 1 || number < 1) return output;
  char file[32];
  std::snprintf(file, sizeof file, "%.3s%05d.mp4", kNames[name], number);
  return PathFolder(output) + file;
}

void CDlgTargetPSP::ShowNames(int number) {
  CComboBox* names = Combo(1022);
  if (!names) return;
  const int selected = names->GetCurSel();
  names->ResetContent();
  for (const char* name : kNames) {
    char file[32];
    std::snprintf(file, sizeof file, "%.3s%05d.mp4", name, number);
    names->AddString(file);
  }
  if (selected >= 0) names->SetCurSel(selected);
}

// The first number names a single job's file too, and the name box shows
// the names it gives.
void CDlgTargetPSP::OnFileNumber() {
  int number = 0;
  if (!EditInt(1072, &number) || number < 1 || number > 90000) return;
  ShowNames(number);
  std::string output;
  GetDlgItemText(1031, output);
  const std::string numbered = Numbered(TrimBlanks(output), Combo(1022)->GetCurSel(), number);
  if (numbered != TrimBlanks(output)) SetDlgItemText(1031, numbered);
}

bool CDlgTargetPSP::IsProposedOutput(const std::string& output) const {
  return m_pJob && IsPspName(PathFileName(output)) && PathFolder(output) == PathFolder(m_pJob->m_strSource);
}

void CDlgTargetPSP::OnNotice() {
  CDlgPSPInfo notice(this);
  notice.DoModal();
}

bool CDlgTargetPSP::Apply(const std::string& output) {
  if (!m_pJob) return true;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nWidth = m_nSize == 1 ? 368 : 320;
  m_pJob->m_nHeight = m_nSize == 1 ? 208 : 240;
  m_pJob->m_nPreset = m_nPreset < 0 ? 0 : m_nPreset;
  m_pJob->m_nSampleRate = m_nSize == 1 ? 48000 : 24000;
  m_pJob->m_nAudioBitrate = m_nAudioBitrate;
  m_pJob->m_nChannels = m_bStereo ? 2 : 1;
  m_pJob->m_nVideoBitrate = m_nVideoBitrate;
  m_pJob->m_nFrameRateIndex = m_nFrameRateIndex < 0 ? 0 : m_nFrameRateIndex;
  m_pJob->m_nVideoCodec = m_nVideoCodec;
  m_pJob->m_bResize = m_bResize != 0;
  m_pJob->m_nAudioCodec = 0;
  m_pJob->m_fThumbTime = m_bThumbnail ? m_fThumbTime : -1.0f;
  m_pJob->m_nPspFileNumber = m_nFileNumber;
  m_pJob->m_nType = CONVERT_PSP;
  return true;
}
