#include "app/DlgNotice.h"

#include <algorithm>

#include "app/Registry.h"
#include "app/TambrelApp.h"
#include "app/TambrelDlg.h"
#include "platform/ui/Dc.h"

namespace {

constexpr const char* kAppKey = "SOFTWARE\\Quorvel Software\\Pellomar";

}  // namespace

BEGIN_MESSAGE_MAP(CDlgNotice, CDialog)
ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

CDlgNotice::CDlgNotice(UINT templateId, int checkId, const char* valueName, DWORD* flag, CWnd* parent)
    : CDialog(templateId, parent), m_nCheckId(checkId), m_pszValue(valueName), m_pFlag(flag) {}

BOOL CDlgNotice::OnInitDialog() {
  // The box shows the choice as it stands when the notice opens; a notice
  // made earlier, or opened again, must not show an older one.
  m_bDontShow = static_cast<int>(*m_pFlag);
  return CDialog::OnInitDialog();
}

void CDlgNotice::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Check(dx, m_nCheckId, m_bDontShow);
}

void CDlgNotice::OnOK() {
  if (!UpdateData(TRUE)) return;
  // The notices are a per-user choice, so they go under HKEY_CURRENT_USER
  // even when start-up read the machine's values.
  CRegistry key;
  if (!key.Open(HKEY_CURRENT_USER, kAppKey)) key.Create(HKEY_CURRENT_USER, kAppKey);
  const DWORD state = m_bDontShow ? 1 : 0;
  key.SetDWordValue(m_pszValue, state);
  *m_pFlag = state;
  CDialog::OnOK();
  key.Close();
}

HBRUSH CDlgNotice::OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) {
  HBRUSH brush = CDialog::OnCtlColor(dc, wnd, ctlColor);
  if (ctlColor == CTLCOLOR_STATIC && wnd) {
    const int id = wnd->GetDlgCtrlID();
    if (std::find(m_blueStatics.begin(), m_blueStatics.end(), id) != m_blueStatics.end())
      dc->SetTextColor(RGB(0, 0, 255));
    else if (m_nRedStatic && id == m_nRedStatic)
      dc->SetTextColor(RGB(255, 0, 0));
  }
  return brush;
}

CDlg3GPInfo::CDlg3GPInfo(CWnd* parent) : CDlgNotice(IDD, 1048, "3GP ShowOnce", &g_dw3gpShowOnce, parent) {
  m_blueStatics = {1037, 1039, 1040, 1041, 1043};
  m_nRedStatic = 1226;
}

CDlgPSPInfo::CDlgPSPInfo(CWnd* parent) : CDlgNotice(IDD, 1036, "PSP ShowOnce", &g_dwPspShowOnce, parent) {
  m_blueStatics = {1037, 1038, 1039, 1040, 1041, 1042, 1043};
}

CDlgIPodInfo::CDlgIPodInfo(CWnd* parent) : CDlgNotice(IDD, 1036, "IPod ShowOnce", &g_dwIPodShowOnce, parent) {
  m_blueStatics = {1052, 1053, 1054};
}

CDlgCodecInfo::CDlgCodecInfo(CWnd* parent) : CDlgNotice(IDD, 1005, "ShowOnce", &g_dwShowOnce, parent) {}

void CDlgCodecInfo::DoDataExchange(CDataExchange* dx) {
  CDlgNotice::DoDataExchange(dx);
  DDX_Control(dx, 1010, m_linkXvid);
  DDX_Control(dx, 1007, m_linkFfdshow);
  DDX_Control(dx, 1008, m_linkDivx);
  DDX_Control(dx, 1009, m_linkWindowsMedia);
}

BOOL CDlgCodecInfo::OnInitDialog() {
  CDlgNotice::OnInitDialog();
  // The decoders are part of the program: no codec package is installed
  // here. The help tells what the program reads, and how to reach support.
  const std::string help = "file://" + CTambrelDlg::HelpPagePath();
  const struct {
    CHyperlinkStatic* link;
    std::string url, caption;
  } links[] = {
      {&m_linkXvid, help + "#formats", "The formats Pellomar reads (help)"},
      {&m_linkFfdshow, help + "#log", "When a job fails (help)"},
      {&m_linkDivx, kHomePageAddress, kHomePageAddress},
      {&m_linkWindowsMedia, std::string("mailto:") + kSupportAddress, std::string("Write to ") + kSupportAddress},
  };
  for (const auto& l : links) {
    l.link->SetURL(l.url.c_str());
    l.link->SetCaption(l.caption.c_str());
  }
  return TRUE;
}

void CDlgASFInfo::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1087, m_linkRuntime);
  DDX_Control(dx, 1088, m_linkInstaller);
}

BOOL CDlgASFInfo::OnInitDialog() {
  CDialog::OnInitDialog();
  const char* runtime = "https://www.microsoft.com/windows/windowsmedia/forpros/format/wmsdk.aspx";
  const char* installer = "https://www.microsoft.com/windows/windowsmedia/download/";
  m_linkRuntime.SetURL(runtime);
  m_linkRuntime.SetCaption(runtime);
  m_linkInstaller.SetURL(installer);
  m_linkInstaller.SetCaption(installer);
  return TRUE;
}
