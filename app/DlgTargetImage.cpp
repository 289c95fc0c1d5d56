#include "app/DlgTargetImage.h"

#include "app/PathName.h"
#include "app/TakenTargets.h"
#include "conversion/JobFiles.h"
#include "conversion/PictureNames.h"
#include "platform/ui/MessageBox.h"
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
  if (m_nResult == 2 && !AskToReplacePictures(folder)) return false;
  m_pJob->m_strPictureFolder = WithTrailingSeparator(folder);
  m_pJob->m_strTarget = m_pJob->m_strPictureFolder;
  m_pJob->m_fPictureInterval = static_cast<float>(m_nInterval);
  return true;
}

bool CDlgTargetImage::AskToReplacePictures(const std::string& folder) {
  // Asked once for the series, as a file dialog asks before it replaces a
  // file; what must never be written over is refused outright.
  const long count = SeriesPictureCount(m_pJob->m_fDuration, m_nInterval);
  std::string why;
  const std::string taken = FirstTakenPicture(folder, count, m_pJob->m_strSource, false, &why);
  m_pJob->m_bReplacePictures = 0;
  if (taken.empty()) return true;
  if (!FirstTakenPicture(folder, count, m_pJob->m_strSource, true, &why).empty()) {
    AfxMessageBox(why, MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  const std::string what = PathFileName(taken) + " is already in this folder, and this job's pictures are named " +
                           PictureName(1) + ", " + PictureName(2) + " and so on.";
  if (AskToReplace(this, what, 2) != IDYES) return false;
  m_pJob->m_bReplacePictures = 1;
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
