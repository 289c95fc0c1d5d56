#include "app/DlgBatch.h"

#include <cstdio>
#include <cstdlib>

#include "app/DlgTargetPage.h"
#include "app/PathName.h"
#include "app/Registry.h"
#include "app/SourceProbe.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

namespace {

constexpr const char* kAppKey = "SOFTWARE\\Quorvel Software\\Pellomar";
constexpr const char* kBatchOutput = "Batch Output";
constexpr DWORD kFileBufferSize = 204800;
const char* TargetExtension(const CConvertOpt& batch) {
  switch (batch.m_nType) {
    case CONVERT_AVI: return "avi";
    case CONVERT_WMV: return "asf";
    case CONVERT_MPEG:
    case CONVERT_DISC:
    case CONVERT_PALNTSC: return "mpg";
    case CONVERT_3GP: return "3gp";
    case CONVERT_PSP:
    case CONVERT_IPOD:
    case CONVERT_MP4: return "mp4";
    case CONVERT_FLV: return batch.m_nProfile == PROFILE_FLV ? "flv" : "swf";
    default: return "";
  }
}

}  // namespace

BEGIN_MESSAGE_MAP(CDlgBatch, CDialog)
ON_WM_DESTROY()
ON_BN_CLICKED(1001, OnAdd)
ON_BN_CLICKED(1037, OnRemove)
ON_BN_CLICKED(1038, OnMoveUp)
ON_BN_CLICKED(1039, OnMoveDown)
ON_BN_CLICKED(1030, OnFolder)
ON_NOTIFY(NM_CLICK, 1064, OnListClick)
ON_NOTIFY(LVN_ITEMCHANGED, 1064, OnListClick)
ON_BN_CLICKED(1007, OnNext)
ON_BN_CLICKED(1021, OnBack)
END_MESSAGE_MAP()

CDlgBatch::CDlgBatch(CWnd* parent) : CDialog(IDD, parent) {}

void CDlgBatch::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1064, m_list);
  DDX_Control(dx, 1039, m_btnMoveDown);
  DDX_Control(dx, 1038, m_btnMoveUp);
  DDX_Control(dx, 1037, m_btnRemove);
  DDX_Control(dx, 1001, m_btnAdd);
  DDX_Control(dx, 1021, m_btnBack);
  DDX_Control(dx, 1007, m_btnNext);
  DDX_Control(dx, 1065, m_btnOther);
  DDX_Control(dx, 1066, m_progress);
  DDX_Text(dx, 1067, m_strFolder);
}

std::string CDlgBatch::StoredFolder() {
  std::string folder;
  CRegistry key;
  if (key.Open(HKEY_CURRENT_USER, kAppKey)) key.QueryStringValue(kBatchOutput, folder);
  folder = TrimBlanks(folder);
  // Without a folder of the user's, the targets go to the home folder: the
  // program's own folder is no place for them (and seldom writable).
  if (folder.find_first_of("/\\") == std::string::npos) {
    const char* home = std::getenv("HOME");
    folder = home && *home ? home : "/tmp";
  }
  return WithTrailingSeparator(folder);
}

std::string CDlgBatch::TargetName(const CConvertOpt& batch, const std::string& source, const std::string& folder) {
  return folder + PathWithoutExtension(PathFileName(source)) + "_pmr." + TargetExtension(batch);
}

BOOL CDlgBatch::OnInitDialog() {
  CDialog::OnInitDialog();
  m_list.InsertColumn(0, "Source Clip", LVCFMT_LEFT, 350);
  m_list.InsertColumn(1, "Type", LVCFMT_LEFT, 70);
  m_list.InsertColumn(2, "Dimension", LVCFMT_LEFT, 80);
  m_list.SetExtendedStyle(m_list.GetExtendedStyle() | LVS_EX_FULLROWSELECT | LVS_EX_TRACKSELECT);
  m_btnMoveDown.SetIcon(192);
  m_btnMoveUp.SetIcon(189);
  m_btnRemove.SetIcon(190);
  m_btnAdd.SetIcon(191);
  // The icons name nothing by themselves.
  m_btnAdd.SetTooltipText("Add movies...");
  m_btnRemove.SetTooltipText("Remove the selected movie");
  m_btnMoveUp.SetTooltipText("Move the selected movie up");
  m_btnMoveDown.SetTooltipText("Move the selected movie down");
  m_strFolder = StoredFolder();
  UpdateData(FALSE);
  m_rows = std::move(m_jobs);
  m_jobs.clear();
  for (size_t i = 0; i < m_rows.size(); ++i) InsertRow(static_cast<int>(i), m_rows[i].get());
  RefreshButtons();
  return TRUE;
}

void CDlgBatch::OnDestroy() {
  // The records go back to the caller in list order, whichever way the page
  // ended.
  for (auto& row : m_rows) m_jobs.push_back(std::move(row));
  m_rows.clear();
  if (m_list.GetSafeHwnd()) m_list.DeleteAllItems();
  CDialog::OnDestroy();
}

void CDlgBatch::InsertRow(int index, CConvertOpt* job) {
  char size[32];
  std::snprintf(size, sizeof size, "%d*%d", job->m_nSourceWidth, job->m_nSourceHeight);
  const int row = m_list.InsertItem(index, job->m_strSource.c_str());
  m_list.SetItemText(row, 1,
                     CGraphConverter::GetSourceFormatName(job->m_nSourceFormat, PathExtension(job->m_strSource)).c_str());
  m_list.SetItemText(row, 2, size);
  m_list.SetItemData(row, reinterpret_cast<DWORD_PTR>(job));
}

void CDlgBatch::AddSource(const std::string& path) {
  SourceMediaInfo info;
  if (FAILED(ProbeSourceQuietly(this, path, &info))) {
    ShowProbeFailure(path);
    return;
  }
  if (!info.hasVideo) {
    AfxMessageBox(UiLoadString(IDS_NO_VIDEO) + "\n" + path, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  auto job = std::make_unique<CConvertOpt>();
  job->m_nSourceFormat = info.format;
  job->m_nSourceWidth = info.width;
  job->m_nSourceHeight = info.height;
  job->m_strSourceDescription = CGraphConverter::GetSourceFormatDescription(info.format, FormatExtension(path));
  job->m_strSource = path;
  if (m_pJob) job->m_strTarget = TargetName(*m_pJob, path, m_strFolder);
  job->m_dSourceFrameRate = info.frameRate;
  job->m_fDuration = info.duration;
  InsertRow(static_cast<int>(m_rows.size()), job.get());
  m_rows.push_back(std::move(job));
}

void CDlgBatch::EnableControls(BOOL enable) {
  for (CWnd* w : std::initializer_list<CWnd*>{&m_btnMoveDown, &m_btnMoveUp, &m_btnRemove, &m_btnAdd, &m_btnOther,
                                              &m_btnBack, &m_btnNext, GetDlgItem(IDCANCEL)})
    if (w && w->GetSafeHwnd()) w->EnableWindow(enable);
}

void CDlgBatch::OnAdd() {
  const bool mpegOnly = m_pJob && m_pJob->m_nType == CONVERT_PALNTSC;
  std::vector<char> buffer(kFileBufferSize, '\0');
  UpdateData(TRUE);
  EnableControls(FALSE);
  m_progress.ShowWindow(SW_SHOW);
  CFileDialog dialog(TRUE, mpegOnly ? kMpegExtensions : kMovieExtensions, nullptr,
                     OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER,
                     mpegOnly ? kMpegFilter : kMovieFilter, this);
  dialog.m_ofn.lpstrFile = buffer.data();
  dialog.m_ofn.nMaxFile = kFileBufferSize;
  const int oldCount = m_list.GetItemCount();
  if (dialog.DoModal() == IDOK) {
    std::vector<std::string> paths;
    for (POSITION pos = dialog.GetStartPosition(); pos;) paths.push_back(dialog.GetNextPathName(pos));
    m_progress.SetRange32(0, static_cast<int>(paths.size()));
    m_progress.SetPos(0);
    int handled = 0;
    for (const std::string& path : paths) {
      const size_t before = m_rows.size();
      AddSource(path);
      if (m_rows.size() > before && m_rows.size() == 1 && m_pJob) {
        const CConvertOpt& first = *m_rows.front();
        m_pJob->m_nSourceWidth = first.m_nSourceWidth;
        m_pJob->m_nSourceHeight = first.m_nSourceHeight;
        m_pJob->m_dSourceFrameRate = first.m_dSourceFrameRate;
        m_pJob->m_nSourceFormat = first.m_nSourceFormat;
        m_pJob->m_strSourceDescription = first.m_strSourceDescription;
      }
      m_progress.SetPos(++handled);
      // Repainted at once; other events wait until the adding is done.
      m_progress.UpdateWindow();
    }
    if (m_list.GetItemCount() > oldCount) Select(oldCount);
  }
  m_progress.ShowWindow(SW_HIDE);
  EnableControls(TRUE);
  RefreshButtons();
  m_list.SetFocus();
}

int CDlgBatch::SelectedRow() const {
  POSITION pos = m_list.GetFirstSelectedItemPosition();
  return pos ? m_list.GetNextSelectedItem(pos) : -1;
}

void CDlgBatch::Select(int row) {
  m_list.SetItemState(-1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (row >= 0 && row < m_list.GetItemCount())
    m_list.SetItemState(row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void CDlgBatch::RefreshButtons() {
  const int row = SelectedRow();
  const int count = m_list.GetItemCount();
  m_btnMoveUp.EnableWindow(row > 0);
  m_btnMoveDown.EnableWindow(row >= 0 && row < count - 1);
  // Remove acts on the selected row; with none it would do nothing.
  m_btnRemove.EnableWindow(row >= 0);
}

void CDlgBatch::OnListClick(NMHDR*, LRESULT* result) {
  RefreshButtons();
  if (result) *result = 0;
}

void CDlgBatch::OnRemove() {
  const int row = SelectedRow();
  if (row < 0 || row >= static_cast<int>(m_rows.size())) return;
  m_list.DeleteItem(row);
  m_rows.erase(m_rows.begin() + row);
  const int count = m_list.GetItemCount();
  if (count > 0) Select(row < count ? row : count - 1);
  m_list.SetFocus();
  RefreshButtons();
}

void CDlgBatch::Move(int step) {
  const int row = SelectedRow();
  const int target = row + step;
  if (row < 0 || target < 0 || target >= static_cast<int>(m_rows.size())) return;
  CConvertOpt* job = m_rows[static_cast<size_t>(row)].get();
  m_list.DeleteItem(row);
  std::swap(m_rows[static_cast<size_t>(row)], m_rows[static_cast<size_t>(target)]);
  InsertRow(target, job);
  Select(target);
  RefreshButtons();
  m_list.SetFocus();
}

void CDlgBatch::OnMoveUp() { Move(-1); }
void CDlgBatch::OnMoveDown() { Move(+1); }

void CDlgBatch::OnFolder() {
  UpdateData(TRUE);
  std::string folder = m_strFolder;
  if (!UiBrowseForFolder(this, "Choose the output folder", folder)) return;
  m_strFolder = WithTrailingSeparator(folder);
  SetDlgItemText(1067, m_strFolder);
}

bool CDlgBatch::Check(bool next) {
  if (!UpdateData(TRUE)) return false;
  if (next && m_rows.empty()) {
    AfxMessageBox("Please add at least one video file to continue!", MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  const std::string folder = WithTrailingSeparator(TrimBlanks(m_strFolder));
  // Every target goes into this folder.
  if (next && !CheckOutputFolder(folder)) return false;
  m_strFolder = folder;
  if (m_pJob)
    for (auto& job : m_rows) job->m_strTarget = TargetName(*m_pJob, job->m_strSource, folder);
  CRegistry key;
  if (key.Open(HKEY_CURRENT_USER, kAppKey) || key.Create(HKEY_CURRENT_USER, kAppKey))
    key.SetStringValue(kBatchOutput, folder);
  return true;
}

void CDlgBatch::OnNext() {
  m_nResult = 1;
  if (!Check(true)) {
    m_nResult = 3;
    return;
  }
  EndDialog(IDOK);
}

void CDlgBatch::OnBack() {
  m_nResult = 0;
  if (!Check(false)) {
    m_nResult = 3;
    return;
  }
  EndDialog(IDOK);
}

// Return means Next.
void CDlgBatch::OnOK() { OnNext(); }

void CDlgBatch::OnCancel() {
  m_nResult = 3;
  EndDialog(IDCANCEL);
}
