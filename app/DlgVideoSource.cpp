#include "app/DlgVideoSource.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include "app/DlgNotice.h"
#include "app/JobFlow.h"
#include "app/PathName.h"
#include "app/SourceProbe.h"
#include "app/TambrelApp.h"
#include "conversion/JobFiles.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"
#include "splitters/realmedia/RealCodecLibrary.h"

namespace {

// A codec library in the folder: "drv*.dll" as the player names it, which is
// a "drv*.so" module here.
bool FolderHasCodec(std::string folder) {
  while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = readdir(dir))
    if (fnmatch("drv*.dll", entry->d_name, FNM_CASEFOLD) == 0 || fnmatch("drv*.so", entry->d_name, FNM_CASEFOLD) == 0) {
      found = true;
      break;
    }
  closedir(dir);
  return found;
}

}  // namespace

BEGIN_MESSAGE_MAP(CDlgVideoSource, CDialog)
ON_BN_CLICKED(1023, OnBrowse)
ON_BN_CLICKED(1007, OnNext)
ON_BN_CLICKED(1021, OnBack)
END_MESSAGE_MAP()

CDlgVideoSource::CDlgVideoSource(CWnd* parent) : CDialog(IDD, parent) {}

void CDlgVideoSource::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1064, m_stcLabel);
  DDX_Control(dx, 1063, m_stcFormat);
  DDX_Control(dx, 1017, m_stcInfo);
  DDX_Control(dx, IDCANCEL, m_btnCancel);
  DDX_Control(dx, 1031, m_edtSource);
  DDX_Control(dx, 1023, m_btnBrowse);
  DDX_Control(dx, 1007, m_btnNext);
  DDX_Control(dx, 1021, m_btnBack);
  DDX_Text(dx, 1031, m_strSource);
  DDX_Control(dx, 1065, m_player);
}

BOOL CDlgVideoSource::OnInitDialog() {
  CDialog::OnInitDialog();
  // A still preview: the first picture, no controls, no clicks.
  m_player.PutBool(CMediaPlayer2::kAutoStart, FALSE);
  m_player.PutBool(CMediaPlayer2::kAutoRewind, FALSE);
  m_player.PutBool(CMediaPlayer2::kEnabled, TRUE);
  m_player.PutLong(CMediaPlayer2::kPlayCount, 1);
  m_player.PutBool(CMediaPlayer2::kShowControls, FALSE);
  m_player.PutBool(CMediaPlayer2::kEnabled, FALSE);
  if (m_pJob) {
    m_strSource = m_pJob->m_strSource;
    if (!m_strSource.empty()) {
      m_stcFormat.SetWindowText(m_pJob->m_strSourceDescription);
      m_stcInfo.SetWindowText(m_pJob->m_strSourceInfo);
      m_edtSource.SetWindowText(m_strSource);
      ShowSource(m_strSource);
    }
  }
  m_btnBack.ShowWindow(SW_SHOW);
  return TRUE;
}

bool CDlgVideoSource::ShowSource(const std::string& path) {
  SourceMediaInfo info;
  if (!ProbeSourceFile(this, path, &info)) return false;
  Apply(path, info);
  return true;
}

// What the probe found goes into the page and the job at once.
void CDlgVideoSource::Apply(const std::string& path, const SourceMediaInfo& info) {
  const std::string description = CGraphConverter::GetSourceFormatDescription(info.format, FormatExtension(path));
  const std::string text = SourceInfoText(info);
  m_nSourceWidth = info.width;
  m_nSourceHeight = info.height;
  m_stcFormat.ShowWindow(SW_SHOW);
  m_stcInfo.ShowWindow(SW_SHOW);
  m_stcFormat.SetWindowText(description);
  m_stcInfo.SetWindowText(text);
  m_edtSource.SetWindowText(path);
  m_strSource = path;
  if (m_pJob) ApplySourceProbe(path, info, m_pJob);
  m_player.PutString(CMediaPlayer2::kFileName, path.c_str());
}

void CDlgVideoSource::OnBrowse() {
  if (!m_pJob) return;
  if (!g_bWMAvailable && (m_pJob->m_nSourceFormat == SourceFormat_WMV || m_pJob->m_nType == CONVERT_WMV)) {
    CDlgASFInfo notice(this);
    notice.DoModal();
    return;
  }
  const char* ext = kMovieExtensions;
  const char* filter = kMovieFilter;
  if (m_pJob->m_nType == CONVERT_PALNTSC) {
    ext = kMpegExtensions;
    filter = kMpegFilter;
  } else if (m_pJob->m_nType < 0 || m_pJob->m_nType > CONVERT_VIDEO_TO_PICTURES) {
    ext = "*.avi";
    filter = "AVI Files (*.avi)|*.avi||";
  }
  CFileDialog dialog(TRUE, ext, nullptr, OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST, filter, this);
  if (dialog.DoModal() != IDOK) return;
  ShowSource(dialog.GetPathName());
}

bool CDlgVideoSource::RealMediaCodecInstalled() {
  // A key that is missing names no folder; it does not stand for the
  // current one.
  for (const std::string& folder : RealCodecFolders())
    if (!folder.empty() && FolderHasCodec(folder)) return true;
  return false;
}

bool CDlgVideoSource::Check(bool next) {
  UpdateData(TRUE);
  const std::string path = TrimBlanks(m_strSource);
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    if (next) {
      // An empty field names no file that could be missing.
      AfxMessageBox(UiLoadString(path.empty() ? IDS_NO_SOURCE : IDS_SOURCE_NOT_FOUND), MB_OK | MB_ICONEXCLAMATION);
      m_nResult = 3;
    }
    return false;
  }
  // Folders and devices are no movies; reading a device could block the page.
  if (!S_ISREG(st.st_mode)) {
    if (next) AfxMessageBox(UiLoadString(IDS_SOURCE_IS_FOLDER), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  SourceMediaInfo info;
  const HRESULT probed = ProbeSourceQuietly(this, path, &info);
  // Without the player's codecs no RealVideo decoder is there: the probe
  // fails for want of one, and the user learns what to install.
  if (info.format == SourceFormat_RealMedia && !RealMediaCodecInstalled()) {
    AfxMessageBox("You must install realplayer before using realmedia movie as the source file",
                  MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  if (FAILED(probed)) {
    ShowProbeFailure();
    return false;
  }
  if (next && !info.hasVideo) {
    AfxMessageBox(UiLoadString(IDS_NO_VIDEO), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  // Only an MPEG file changes between PAL and NTSC.
  if (next && m_pJob && m_pJob->m_nType == CONVERT_PALNTSC && info.format != SourceFormat_MPEG) {
    AfxMessageBox(UiLoadString(IDS_NOT_MPEG_SOURCE), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  // Another file than the one the target page last saw: its proposals
  // follow the new one.
  if (m_pJob && !m_pJob->m_strSource.empty() && m_pJob->m_strSource != path &&
      !IsSameFileOnDisk(m_pJob->m_strSource, path))
    FollowNewSource(*m_pJob);
  Apply(path, info);
  if (m_pJob) m_pJob->m_strSource = path;
  return true;
}

void CDlgVideoSource::OnNext() {
  m_nResult = 1;
  if (!Check(true)) {
    m_nResult = 3;
    return;
  }
  EndDialog(IDOK);
}

void CDlgVideoSource::OnBack() {
  m_nResult = 0;
  Check(false);
  if (m_nResult == 3) return;
  EndDialog(IDOK);
}

// Return in the path field means Next.
void CDlgVideoSource::OnOK() { OnNext(); }

void CDlgVideoSource::OnCancel() {
  m_nResult = 3;
  EndDialog(IDCANCEL);
}
