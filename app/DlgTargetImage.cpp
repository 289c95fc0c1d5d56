#include "app/DlgTargetImage.h"

#include "app/PathName.h"
#include "platform/ui/FileDialog.h"

BEGIN_MESSAGE_MAP(CDlgTargetImage, CDlgTargetPage)
ON_BN_CLICKED(1023, OnBrowseFolder)
ON_BN_CLICKED(1021, OnBackButton)
END_MESSAGE_MAP()

CDlgTargetImage::CDlgTargetImage(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nFinishId = IDOK;
  m_nCancelId = 1059;
}

void CDlgTargetImage::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1044, m_nInterval);
  DDV_MinMaxInt(dx, m_nInterval, 50, 30000);
  DDX_Text(dx, 1061, m_strFolder);
}

BOOL CDlgTargetImage::OnInitDialog() {
  if (m_pJob) {
    m_strFolder = m_pJob->m_strPictureFolder.empty() ? PathFolder(m_pJob->m_strSource) : m_pJob->m_strPictureFolder;
    m_nInterval = static_cast<int>(m_pJob->m_fPictureInterval);
    if (m_nInterval == 0) m_nInterval = static_cast<int>(m_pJob->m_dFrameRate);
  }
  return CDlgTargetPage::OnInitDialog();
}

void CDlgTargetImage::OnBrowseFolder() {
  std::string folder;
  GetDlgItemText(1061, folder);
  if (!UiBrowseForFolder(this, "Choose the folder of the pictures", folder)) return;
  m_strFolder = folder;
  SetDlgItemText(1061, m_strFolder);
}

bool CDlgTargetImage::Apply(const std::string&) {
  std::string folder = TrimBlanks(m_strFolder);
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  if (!CheckOutputFolder(folder)) return false;
  if (!m_pJob) return true;
  m_pJob->m_strPictureFolder = WithTrailingSeparator(folder);
  m_pJob->m_strTarget = m_pJob->m_strPictureFolder;
  m_pJob->m_fPictureInterval = static_cast<float>(m_nInterval);
  return true;
}

void CDlgTargetImage::Leave(int result) {
  m_nResult = result;
  if (!UpdateData(TRUE)) {
    m_nResult = 3;
    return;
  }
  m_strFolder = TrimBlanks(m_strFolder);
  if (m_strFolder.empty()) {
    m_nResult = 0;
    EndDialog(IDOK);
    return;
  }
  // A folder that is not there is no finished job.
  if (!Apply(m_strFolder)) {
    m_nResult = 3;
    return;
  }
  EndDialog(IDOK);
}

void CDlgTargetImage::OnOK() { Leave(2); }
void CDlgTargetImage::OnBackButton() { Leave(0); }
