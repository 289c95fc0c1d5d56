#include "app/DlgTargetASF.h"

#include "conversion/GraphConverter.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "platform/win32/Module.h"
#include "resources/ResourceIds.h"

namespace {
constexpr const char* kWindowsMediaPage = "https://www.microsoft.com/windows/windowsmedia/forpros/format/wmsdk.aspx";
}

CDlgTargetASF::CDlgTargetASF(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nFinishId = IDOK;
  m_nCancelId = 1059;
  m_containers = {CONTAINER_ASF};
  m_pszBrowseExtension = "*.wmv;*.asf";
  m_pszBrowseFilter = "WMV Files (*.wmv;*.asf)|*.wmv;*.asf||";
}

void CDlgTargetASF::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Control(dx, 1087, m_link);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_CBIndex(dx, 1006, m_nProfile);
}

int CDlgTargetASF::DefaultProfile(int stored) {
  if (stored >= 0) return stored;
  int with768 = 0, with1500 = -1;
  for (size_t i = 0; i < g_WMProfiles.size(); ++i) {
    if (g_WMProfiles[i].name.find("768") != std::string::npos) with768 = static_cast<int>(i);
    if (g_WMProfiles[i].name.find("1500") != std::string::npos) with1500 = static_cast<int>(i);
  }
  return with1500 > 0 ? with1500 : with768;
}

BOOL CDlgTargetASF::OnInitDialog() {
  if (CComboBox* combo = Combo(1006)) {
    combo->ResetContent();
    for (const WMProfileEntry& entry : g_WMProfiles) combo->AddString(entry.name);
  }
  if (m_pJob) {
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(".asf") : m_pJob->m_strTarget;
    m_nProfile = DefaultProfile(m_pJob->m_nWmProfile);
  }
  CDlgTargetPage::OnInitDialog();
  m_link.SetURL(kWindowsMediaPage);
  m_link.SetCaption(kWindowsMediaPage);
  return TRUE;
}

bool CDlgTargetASF::Apply(const std::string& output) {
  // The writer must be there now, not only when the job runs.
  bool writer = false;
  if (HMODULE runtime = LoadLibraryA("wmvcore.dll")) {
    writer = GetProcAddress(runtime, "WMCreateWriter") != nullptr;
    FreeLibrary(runtime);
  }
  // A profile the runtime could not load cannot configure the writer.
  const bool profile = m_nProfile >= 0 && static_cast<size_t>(m_nProfile) < g_WMProfiles.size() &&
                       g_WMProfiles[static_cast<size_t>(m_nProfile)].profile;
  if (!writer || !profile) {
    AfxMessageBox(UiLoadString(IDS_WM_UNAVAILABLE), MB_OK | MB_ICONSTOP);
    return false;
  }
  if (!m_pJob) return true;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nWmProfile = m_nProfile;
  m_pJob->m_nType = CONVERT_WMV;
  return true;
}
