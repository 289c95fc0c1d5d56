#include "app/TambrelDlg.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "app/AboutDlg.h"
#include "app/DlgLog.h"
#include "app/DlgPropertyFrame.h"
#include "app/DlgScan.h"
#include "app/HyperlinkStatic.h"
#include "app/JobFlow.h"
#include "app/Registry.h"
#include "app/TakenTargets.h"
#include "conversion/GraphConverter.h"
#include "conversion/JobFiles.h"
#include "conversion/MpegMuxer.h"
#include "foundation/FilterHelpers.h"
#include "platform/dshow/Errors.h"
#include "platform/dshow/Guids.h"
#include "platform/ui/Afx.h"
#include "platform/win32/File.h"
#include "platform/win32/Module.h"
#include "platform/win32/Time.h"
#include "resources/ResourceIds.h"

int g_bStopRequested = 0;
std::string g_strJobMessage;

namespace {

constexpr const char* kVersion = "1.0";
constexpr const char* kSupportMail = "mailto:support@quorvel.com?subject=Pellomar";
// The help is an HTML page installed beside the program.
constexpr const char* kHelpPage = "pmrhelp.html";
// The skin's size: the background bitmap the window is drawn on.
constexpr int kSkinWidth = 640, kSkinHeight = 464;
constexpr const char* kStartTip = "Start converting the jobs";
// The progress line must fit its field for any length of source.
constexpr int kProgressFontPixels = 10;

template <class... Args>
std::string Format(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return {};
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, args...);
  out.resize(static_cast<size_t>(size));
  return out;
}

// "One job of the list has not been converted yet.", "3 selected jobs ...":
// what a question about removing or closing says first.
std::string NotConvertedText(int count, const char* jobs) {
  return (count == 1 ? std::string("One ") : std::to_string(count) + " ") + jobs + (count == 1 ? " has" : " have") +
         " not been converted yet.";
}

// Whole seconds as "%H:%M:%S" of a time span (hours of the day).
std::string SpanText(unsigned long seconds) {
  const unsigned long s = seconds % 86400;
  return Format("%02lu:%02lu:%02lu", s / 3600, (s / 60) % 60, s % 60);
}

}  // namespace

BEGIN_MESSAGE_MAP(CTambrelDlg, CBitmapDialog)
ON_COMMAND_RANGE(1001, 1001, OnMenuButton)
ON_COMMAND_RANGE(1079, 1080, OnMenuButton)
ON_BN_CLICKED(1002, OnStartStop)
ON_BN_CLICKED(1005, OnHomePage)
ON_COMMAND(276, OnHomePage)
ON_BN_CLICKED(1081, OnMinimize)
ON_BN_CLICKED(1082, OnCloseButton)
ON_COMMAND(271, OnHelp)
ON_COMMAND(272, OnSupportMail)
ON_COMMAND(275, OnAbout)
ON_WM_SYSCOMMAND()
ON_COMMAND(40001, OnRemoveJob)
ON_COMMAND(40002, OnRemoveAllJobs)
ON_COMMAND(40003, OnConvertAgain)
ON_COMMAND(ID_JOB_SHOW_LOG, OnShowLog)
ON_COMMAND(40013, OnAddJob)
ON_COMMAND(40012, OnAddBatch)
ON_COMMAND(277, OnVideoDecoderSettings)
ON_COMMAND(278, OnAudioDecoderSettings)
ON_WM_CLOSE()
ON_WM_TIMER()
ON_MESSAGE(WM_GRAPHNOTIFY, OnGraphEvent)
ON_MESSAGE(WM_NEXTJOB, OnNextJob)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

CTambrelDlg::CTambrelDlg(CWnd* parent) : CBitmapDialog(IDD, parent) {
  m_dwStartTick = GetTickCount();
  m_hIcon = LoadIcon(AfxGetResourceHandle(), MAKEINTRESOURCE(128));
  g_bStopRequested = 0;
}

CTambrelDlg::~CTambrelDlg() { ReleaseGraph(); }

void CTambrelDlg::DoDataExchange(CDataExchange* dx) {
  CBitmapDialog::DoDataExchange(dx);
  DDX_Control(dx, 1079, m_btnMenuRemove);
  DDX_Control(dx, 1082, m_btnClose);
  DDX_Control(dx, 1081, m_btnMinimize);
  DDX_Control(dx, 1080, m_btnMenuHelp);
  DDX_Control(dx, IDC_PROGRESS_LINE, m_btnProgress);
  DDX_Control(dx, 1074, m_progress);
  DDX_Control(dx, 1005, m_btnHomePage);
  DDX_Control(dx, 1002, m_btnStartStop);
  DDX_Control(dx, 1001, m_btnMenuAdd);
  DDX_Control(dx, 1000, m_list);
}

std::unique_ptr<CJobBuilder> CTambrelDlg::CreateJobBuilder() {
  return std::make_unique<CGraphConverterJob>(GetSafeHwnd());
}

BOOL CTambrelDlg::OnInitDialog() {
  CBitmapDialog::OnInitDialog();
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);
  SetWindowText(std::string("Pellomar ") + kVersion);
  SetBitmap(157);
  // The skin draws the title strip; the window moves by it alone.
  SetCaptionHeight(26);
  LayoutControls();
  AddTips();

  m_images.Create(138, 16, 1, RGB(255, 0, 255));
  m_list.SetImageList(&m_images, LVSIL_SMALL);
  m_list.SetImageList(&m_images, LVSIL_NORMAL);
  // Info tips show a whole path that its column cuts.
  m_list.SetExtendedStyle((m_list.GetExtendedStyle() | LVS_EX_FULLROWSELECT | LVS_EX_TRACKSELECT | LVS_EX_FLATSB |
                           LVS_EX_INFOTIP) &
                          ~LVS_EX_CHECKBOXES);
  m_list.InsertColumn(0, "", LVCFMT_LEFT, 24);
  m_list.InsertColumn(1, "Source File", LVCFMT_LEFT, 201);
  m_list.InsertColumn(2, "Target File", LVCFMT_LEFT, 231);
  m_list.InsertColumn(3, "Conversion Type", LVCFMT_LEFT, 150);
  // The columns fit the list: no horizontal scroll bar.
  m_list.SetColumnWidth(3, LVSCW_AUTOSIZE_USEHEADER);

  if (CHeaderCtrl* header = m_list.GetHeaderCtrl()) {
    m_header.SubclassWindow(header->GetSafeHwnd());
    m_header.SetBitmap(178);
    LOGFONT lf{};
    if (CFont* font = m_header.GetFont(); font && font->GetLogFont(&lf)) {
      lf.lfWeight = 700;
      m_fontHeader.CreateFontIndirect(&lf);
      m_header.SetFont(&m_fontHeader);
    }
    for (int i = 0; i < m_header.GetItemCount(); ++i) {
      HDITEM item{};
      item.mask = HDI_FORMAT;
      item.fmt = HDF_OWNERDRAW;
      m_header.SetItem(i, &item);
    }
  }
  m_progress.SetRange(0, 100);

  m_pScan = std::make_unique<CDlgScan>(this);
  m_pScan->Create(CDlgScan::IDD, this);

  for (int i = 0; i < static_cast<int>(m_jobs.size()); ++i) InsertRow(i);
  return TRUE;
}

void CTambrelDlg::LayoutControls() {
  const struct {
    CSkinButton* button;
    UINT normal, hover, fourth, mask;
    RECT rect;
  } layout[] = {
      // The help menu is disabled during a run, so its fourth (disabled)
      // look must differ from the normal one.
      {&m_btnMenuHelp, 159, 158, 168, 160, {570, 2, 590, 22}},
      {&m_btnMinimize, 164, 161, 164, 160, {593, 2, 613, 22}},
      {&m_btnClose, 162, 163, 162, 160, {616, 2, 636, 22}},
      {&m_btnMenuAdd, 166, 165, 167, 186, {334, 30, 404, 50}},
      {&m_btnMenuRemove, 176, 175, 177, 186, {409, 30, 479, 50}},
      {&m_btnStartStop, 172, 171, 172, 186, {485, 30, 555, 50}},
      {&m_btnProgress, 180, 180, 180, 179, {15, 405, 521, 431}},
      {&m_btnHomePage, 184, 185, 184, 181, {478, 435, 629, 450}},
  };
  for (const auto& l : layout) {
    if (!l.button->GetSafeHwnd()) continue;
    // The hover look also marks the keyboard focus, with the focus frame.
    l.button->SetSkin(l.normal, l.normal, l.hover, l.fourth, l.hover, l.mask);
    l.button->MoveWindow(&l.rect);
  }
  if (m_list.GetSafeHwnd()) m_list.MoveWindow(20, 65, 606, 328);
  if (m_progress.GetSafeHwnd()) m_progress.MoveWindow(530, 409, 100, 18);
  if (m_btnProgress.GetSafeHwnd()) {
    LOGFONT lf{};
    if (CFont* font = m_btnProgress.GetFont(); font && font->GetLogFont(&lf)) {
      lf.lfHeight = -kProgressFontPixels;
      if (m_fontProgress.CreateFontIndirect(&lf)) m_btnProgress.SetFont(&m_fontProgress);
    }
  }
  // The run's status strip, beside the home-page link under the progress line.
  if (CWnd* status = GetDlgItem(IDC_RUN_STATUS)) {
    status->MoveWindow(18, 435, 452, 15);
    if (m_fontProgress.GetSafeHandle()) status->SetFont(&m_fontProgress);
  }
  // The template's size follows the font; the skin's does not.
  SetWindowPos(nullptr, 0, 0, kSkinWidth, kSkinHeight, SWP_NOMOVE | SWP_NOZORDER);
  SetWindowRgn(CreateRectRgn(0, 0, 639, 463), TRUE);
}

void CTambrelDlg::AddTips() {
  // The buttons show icons only: their tips say what they do.
  const std::pair<CSkinButton*, const char*> tips[std::size(m_tips)] = {
      {&m_btnMenuAdd, "Add a job or a batch of jobs"},
      {&m_btnMenuRemove, "Remove jobs, convert jobs again, the run log"},
      {&m_btnStartStop, kStartTip},
      {&m_btnMenuHelp, "Help, decoder settings and about Pellomar"},
      {&m_btnMinimize, "Minimize"},
      {&m_btnClose, "Close Pellomar"},
  };
  for (size_t i = 0; i < std::size(m_tips); ++i)
    if (tips[i].first->GetSafeHwnd() && m_tips[i].Create(this)) m_tips[i].AddTool(tips[i].first, tips[i].second);
}

void CTambrelDlg::SetStartLook(bool start) {
  if (!m_btnStartStop.GetSafeHwnd()) return;
  m_tips[2].UpdateTipText(start ? kStartTip : "Stop converting", &m_btnStartStop);
  if (start)
    m_btnStartStop.SetSkin(172, 172, 171, 172, 171, 186);
  else
    m_btnStartStop.SetSkin(174, 174, 173, 174, 173, 186);
  m_btnStartStop.Invalidate();
}

void CTambrelDlg::EnableMenus(BOOL enable) {
  for (CSkinButton* b : {&m_btnMenuAdd, &m_btnMenuRemove, &m_btnMenuHelp})
    if (b->GetSafeHwnd()) b->EnableWindow(enable);
}

void CTambrelDlg::InsertRow(int row) {
  if (!m_list.GetSafeHwnd()) return;
  CConvertOpt* job = m_jobs[static_cast<size_t>(row)].get();
  m_list.InsertItem(row, "", kJobWaiting);
  m_list.SetItemData(row, reinterpret_cast<DWORD_PTR>(job));
  m_list.SetItemText(row, 1, JobSourceText(*job).c_str());
  m_list.SetItemText(row, 2, job->m_strTarget.c_str());
  m_list.SetItemText(row, 3, JobTypeText(*job).c_str());
}

void CTambrelDlg::AddJob(CConvertOpt* job) {
  if (!job) return;
  m_jobs.emplace_back(job);
  InsertRow(static_cast<int>(m_jobs.size()) - 1);
}

int CTambrelDlg::GetJobCount() const { return static_cast<int>(m_jobs.size()); }

CConvertOpt* CTambrelDlg::GetJob(int row) const {
  return row >= 0 && row < GetJobCount() ? m_jobs[static_cast<size_t>(row)].get() : nullptr;
}

int CTambrelDlg::GetJobStatus(int row) const {
  if (!IsValidRow(row)) return -1;
  LVITEM item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  return m_list.GetItem(&item) ? item.iImage : -1;
}

void CTambrelDlg::SetStatus(int row, int image) {
  if (!IsValidRow(row)) return;
  LVITEM item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  item.iImage = image;
  m_list.SetItem(&item);
}

void CTambrelDlg::DeleteJob(int row) {
  m_list.DeleteItem(row);
  m_jobs.erase(m_jobs.begin() + row);
}

void CTambrelDlg::SetProgress(int position) {
  // Small steps are skipped so the bar does not repaint every tick.
  if (position == 0 || position == 100 || position >= m_progress.GetPos() + 3) {
    m_progress.SetPos(position);
    m_progress.Invalidate();
  }
}

void CTambrelDlg::OnMenuButton(UINT id) {
  const int sub = id == 1001 ? 3 : id == 1079 ? 1 : 0;
  CWnd* button = GetDlgItem(static_cast<int>(id));
  if (!button) return;
  CMenu menu;
  if (!menu.LoadMenu(238)) return;
  CMenu* popup = menu.GetSubMenu(sub);
  if (!popup) return;
  CRect rc;
  button->GetWindowRect(&rc);
  const int x = rc.left + (id == 1080 ? 0 : 8);
  popup->TrackPopupMenu(TPM_LEFTALIGN | TPM_RIGHTBUTTON, x, rc.bottom + 1, this);
}

void CTambrelDlg::OnHomePage() {
  OpenOrShowAddress(this, kHomePageAddress, "No web browser could be started. The home page is:");
}

void CTambrelDlg::OnMinimize() { ShowWindow(SW_MINIMIZE); }

void CTambrelDlg::OnCloseButton() { SendMessage(WM_CLOSE); }

std::string CTambrelDlg::HelpPagePath() {
  char path[4096] = {};
  GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string file(path);
  const size_t slash = file.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : file.substr(0, slash + 1)) + kHelpPage;
}

void CTambrelDlg::OnHelp() {
  // The help opens in the desktop's browser; when that cannot be done the
  // user is told where the page is rather than left without an answer.
  const std::string page = HelpPagePath();
  if (GetFileAttributesA(page.c_str()) == INVALID_FILE_ATTRIBUTES) {
    MessageBox(("The help page " + page + " is missing. Please install Pellomar again.").c_str(), "Pellomar",
               MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  OpenOrShowAddress(this, page, "No web browser could be started to show the help. You can open the page yourself:");
}

void CTambrelDlg::OnSupportMail() {
  OpenOrShowAddress(this, kSupportMail, "No mail program could be started. Please write to:");
}

void CTambrelDlg::OnAbout() {
  CAboutDlg about(this);
  about.DoModal();
}

void CTambrelDlg::OnSysCommand(UINT id, LPARAM lParam) {
  if ((id & 0xFFF0) == 16)
    OnAbout();
  else
    CBitmapDialog::OnSysCommand(id, lParam);
}

std::vector<std::string> CTambrelDlg::ListTargets() const {
  std::vector<std::string> targets;
  for (const auto& job : m_jobs)
    if (job->m_nType != CONVERT_VIDEO_TO_PICTURES && !job->m_strTarget.empty()) targets.push_back(job->m_strTarget);
  return targets;
}

void CTambrelDlg::OnAddJob() {
  CJobFlow flow(this);
  flow.SetListTargets(ListTargets());
  if (auto job = flow.AddJob()) AddJob(job.release());
}

void CTambrelDlg::OnAddBatch() {
  CJobFlow flow(this);
  flow.SetListTargets(ListTargets());
  for (auto& job : flow.AddBatch()) AddJob(job.release());
}

void CTambrelDlg::OnVideoDecoderSettings() { ShowDecoderSettings(this, true); }
void CTambrelDlg::OnAudioDecoderSettings() { ShowDecoderSettings(this, false); }

void CTambrelDlg::OnRemoveJob() {
  if (m_bConverting) return;
  std::vector<int> rows;
  for (POSITION pos = m_list.GetFirstSelectedItemPosition(); pos;) {
    const int row = m_list.GetNextSelectedItem(pos);
    if (IsValidRow(row)) rows.push_back(row);
  }
  if (rows.empty()) return;
  // Several rows at once may be more than the user meant: jobs not
  // converted yet among them go only when the user says so, as with all.
  int waiting = 0;
  for (int row : rows) waiting += GetJobStatus(row) != kJobDone;
  if (rows.size() > 1 && waiting > 0) {
    const std::string question =
        NotConvertedText(waiting, waiting == 1 ? "selected job" : "selected jobs") + " Remove the " +
        std::to_string(rows.size()) + " selected jobs all the same?";
    if (MessageBox(question.c_str(), "Pellomar", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
  }
  std::sort(rows.begin(), rows.end());
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) DeleteJob(*it);
  const int count = m_list.GetItemCount();
  if (count == 0) return;
  // The row that moved into the first removed one's place, or the new last.
  const int select = std::min(rows.front(), count - 1);
  m_list.SetItemState(select, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void CTambrelDlg::OnRemoveAllJobs() {
  if (m_bConverting) return;
  // Jobs not converted yet are work the user set up: they go only when the
  // user says so.
  int waiting = 0;
  for (int row = 0; row < GetJobCount(); ++row) waiting += GetJobStatus(row) != kJobDone;
  if (waiting > 0) {
    const std::string question =
        NotConvertedText(waiting, waiting == 1 ? "job of the list" : "jobs of the list") + " Remove all jobs all the same?";
    if (MessageBox(question.c_str(), "Pellomar", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
  }
  while (m_list.GetItemCount() > 0) DeleteJob(0);
  m_jobs.clear();
  ClearProgress();
}

void CTambrelDlg::ClearProgress() {
  if (m_btnProgress.GetSafeHwnd()) SetDlgItemText(IDC_PROGRESS_LINE, "");
  if (m_progress.GetSafeHwnd()) {
    m_progress.SetPos(0);
    m_progress.Invalidate();
  }
}

int CTambrelDlg::NextJobToConvert(int row) const {
  auto inRun = [this](int r) {
    return !m_bConverting || std::find(m_runJobs.begin(), m_runJobs.end(), GetJob(r)) != m_runJobs.end();
  };
  while (IsValidRow(row) && (GetJobStatus(row) == kJobDone || !inRun(row))) ++row;
  return row;
}

bool CTambrelDlg::ConfirmTakenTargets(std::vector<const CConvertOpt*>* leftOut) {
  std::vector<std::string> names;
  std::vector<CConvertOpt*> jobs;
  for (int row = 0; row < GetJobCount(); ++row) {
    CConvertOpt* job = GetJob(row);
    // A picture series has its own rule (the picture page asks), a job the
    // user let replace its file was asked already, and one whose target is
    // its source is not asked about: its run refuses it at once.
    if (GetJobStatus(row) == kJobDone || job->m_nType == CONVERT_VIDEO_TO_PICTURES || job->m_bReplaceTarget ||
        !IsTakenTarget(job->m_strTarget) || IsSameFileOnDisk(job->m_strTarget, job->m_strSource))
      continue;
    names.push_back(job->m_strTarget);
    jobs.push_back(job);
  }
  if (jobs.empty()) return true;
  const int answer = AskToReplace(this, TakenTargetsText(names), jobs.size(), MB_YESNOCANCEL,
                                  std::string("\n\nNo converts the other jobs and leaves ") +
                                      (jobs.size() == 1 ? "this job" : "these jobs") + " out; Cancel starts nothing.");
  if (answer == IDCANCEL) return false;
  for (CConvertOpt* job : jobs) {
    if (answer == IDYES)
      job->m_bReplaceTarget = 1;
    else
      leftOut->push_back(job);
  }
  return true;
}

void CTambrelDlg::OnConvertAgain() {
  if (m_bConverting) return;
  int marked = 0;
  for (POSITION pos = m_list.GetFirstSelectedItemPosition(); pos;) {
    SetStatus(m_list.GetNextSelectedItem(pos), kJobWaiting);
    ++marked;
  }
  if (!marked)
    MessageBox("Please select the jobs to convert again in the list first.", "Pellomar", MB_OK | MB_ICONINFORMATION);
}

void CTambrelDlg::OnStartStop() {
  if (m_bConverting) {
    // The job waits while the question is open, so that a Yes keeps the
    // part converted up to where the user asked. The run may still end
    // meanwhile (a job that fails): a Yes then stops nothing.
    const WPARAM run = m_nRunSerial;
    CComPtr<IMediaControl> held;
    if (m_pMediaControl && !m_bJobEnded && SUCCEEDED(m_pMediaControl->Pause())) held = m_pMediaControl;
    const DWORD askedAt = GetTickCount();
    m_bAskingStop = true;
    const int answer = AfxMessageBox(UiLoadString(128), MB_YESNO | MB_ICONQUESTION);
    m_bAskingStop = false;
    if (answer == IDYES && m_bConverting && run == m_nRunSerial) {
      StopConversion();
    } else if (held && held == m_pMediaControl && m_bConverting && !m_bJobEnded) {
      // The time the job was held is neither progress lost nor time spent.
      const DWORD waited = GetTickCount() - askedAt;
      m_dwStartTick += waited;
      m_watch.Resume(GetTickCount());
      held->Run();
    }
    if (m_bLogPending) ShowRunLog();
    return;
  }
  {
    CRegistry xvid;
    if (xvid.Open(HKEY_CURRENT_USER, "Software\\GNU\\XviD")) xvid.SetDWordValue("Videoinfo_Compat", 1);
  }
  g_bStopRequested = 0;
  if (m_list.GetItemCount() == 0) return;
  // A job converted already is not converted again (its file would be
  // written anew) unless the user asks for it.
  if (!IsValidRow(NextJobToConvert(0))) {
    MessageBox("Every job of the list has been converted. To convert a job again, select it and choose \"Convert "
               "selected jobs again\" from the remove menu.",
               "Pellomar", MB_OK | MB_ICONINFORMATION);
    return;
  }
  std::vector<const CConvertOpt*> leftOut;
  if (!ConfirmTakenTargets(&leftOut)) return;
  m_runJobs.clear();
  for (int row = 0; row < GetJobCount(); ++row)
    if (GetJobStatus(row) != kJobDone && std::find(leftOut.begin(), leftOut.end(), GetJob(row)) == leftOut.end())
      m_runJobs.push_back(GetJob(row));
  if (m_runJobs.empty()) return;
  SetStartLook(false);
  EnableMenus(FALSE);
  m_bHadError = 0;
  m_bHadNote = false;
  m_bConverting = 1;
  m_nCurJob = 0;
  m_strLog.clear();
  m_runTargets.clear();
  ++m_nRunSerial;
  OnNextJob(m_nRunSerial, 0);
}

void CTambrelDlg::ReleaseGraph() {
  m_pMediaSeeking.Release();
  m_pMediaEvent.Release();
  m_pMediaControl.Release();
  m_pGraph.Release();
  m_pBuilder.reset();
}

void CTambrelDlg::StopProgressTimer() {
  if (m_nTimerId > 0) {
    KillTimer(static_cast<UINT_PTR>(m_nTimerId));
    m_nTimerId = -1;
  }
}

LRESULT CTambrelDlg::OnNextJob(WPARAM wParam, LPARAM) {
  // A next-job message of an earlier run, or one left after the run has
  // ended, starts nothing.
  if (wParam != m_nRunSerial || (!m_bConverting && !g_bStopRequested)) return 0;
  if (m_pGraph) {
    // A graph still running (a stopped job) is stopped before it goes.
    if (m_pMediaControl) m_pMediaControl->Stop();
    FinishJobFiles();
    ReleaseGraph();
  }
  m_watch.Close();
  StopProgressTimer();
  m_fConverted = 0.0;
  m_fStoppedAt = -1.0;
  if (!g_bStopRequested) m_nCurJob = NextJobToConvert(m_nCurJob);
  if (!IsValidRow(m_nCurJob) || g_bStopRequested) {
    EndRun();
    return 0;
  }
  TakeFreeTarget(m_nCurJob);
  CConvertOpt* job = GetJob(m_nCurJob);
  SetStatus(m_nCurJob, kJobRunning);
  // The running job's row is in view, and the window says which it is.
  m_list.EnsureVisible(m_nCurJob, FALSE);
  ShowRunningJob();
  m_bJobEnded = false;
  m_nFilesJob = m_nCurJob;
  m_bKeepFiles = false;
  BOOL ok = FALSE;
  switch (job->m_nType) {
    case CONVERT_AVI: ok = RunAviJob(job); break;
    case CONVERT_WMV: ok = RunAsfJob(job); break;
    case CONVERT_MPEG:
    case CONVERT_DISC:
    case CONVERT_PALNTSC: ok = RunMpegJob(job); break;
    case CONVERT_3GP:
    case CONVERT_PSP:
    case CONVERT_IPOD:
    case CONVERT_MP4: ok = RunMp4Job(job); break;
    case CONVERT_FLV: ok = RunFlvJob(job); break;
    case CONVERT_VIDEO_TO_PICTURES: ok = RunPicturesJob(job); break;
    case CONVERT_PICTURES_TO_VIDEO: ok = RunPicturesToVideoJob(job); break;
    default:
      g_strConvertError = "Unknown conversion type\n";
      break;
  }
  if (job->m_nType == CONVERT_PICTURES_TO_VIDEO && ok) {
    m_bJobEnded = true;
    SetProgress(100);
    SetStatus(m_nCurJob, kJobDone);
    ++m_nCurJob;
    PostMessage(WM_NEXTJOB, m_nRunSerial);
    return 0;
  }
  if (!ok) FailJob(g_strConvertError + "\n");
  return 0;
}

void CTambrelDlg::TakeFreeTarget(int row) {
  CConvertOpt* job = GetJob(row);
  if (!job || job->m_strTarget.empty() || job->m_nType == CONVERT_VIDEO_TO_PICTURES ||
      job->m_nType == CONVERT_PICTURES_TO_VIDEO)
    return;
  // The user let this job replace what has its name, an earlier job's file
  // too.
  if (job->m_bReplaceTarget) {
    m_runTargets.push_back(job->m_strTarget);
    return;
  }
  const std::string wanted = job->m_strTarget;
  const size_t sep = wanted.find_last_of("/\\");
  const size_t dot = wanted.rfind('.');
  const size_t cut = dot != std::string::npos && (sep == std::string::npos || dot > sep) ? dot : wanted.size();
  std::string target = wanted;
  for (int n = 2; n < 1000 && HasTarget(m_runTargets, target); ++n)
    target = wanted.substr(0, cut) + " (" + std::to_string(n) + ")" + wanted.substr(cut);
  if (target != wanted) {
    job->m_strTarget = target;
    m_list.SetItemText(row, 2, target.c_str());
    // Not what the user asked for: the log says where this job's file went.
    m_strLog += Format("%d. An earlier job of this run wrote %s; this job's file is %s\n", row + 1, wanted.c_str(),
                       target.c_str());
    m_bHadNote = true;
  }
  m_runTargets.push_back(target);
}

void CTambrelDlg::FinishJobFiles() {
  if (!m_pBuilder || !IsValidRow(m_nFilesJob)) return;
  const std::string failure = m_pBuilder->FinishFiles(m_bKeepFiles, m_fStoppedAt);
  const std::string number = Format("%d. ", m_nFilesJob + 1);
  if (!failure.empty()) {
    SetStatus(m_nFilesJob, kJobFailed);
    m_bHadError = 1;
    m_strLog += number + failure;
    return;
  }
  if (!m_bKeepFiles) return;
  const CConvertOpt* job = GetJob(m_nFilesJob);
  std::string kept;  // where the target's file went
  for (const auto& [target, name] : m_pBuilder->KeptFiles()) {
    if (target == job->m_strTarget) kept = name;
    // A file that took the name while the job ran stays; the job's went
    // beside it.
    if (m_fStoppedAt < 0 && name != target) {
      m_strLog += number + "A file named " + target + " came while the job ran and was kept; the job's is " + name + "\n";
      m_bHadNote = true;
    }
  }
  if (m_fStoppedAt < 0) return;
  if (job->m_nType == CONVERT_VIDEO_TO_PICTURES)
    m_strStopped = "the pictures written so far are kept in " + job->m_strPictureFolder;
  else if (!kept.empty())
    m_strStopped = "the part converted is kept as " + kept;
  else
    m_strStopped = "nothing was converted, so nothing was kept";
  m_strLog += number + Format("Stopped by the user at %.1f s: ", m_fStoppedAt) + m_strStopped + "\n";
}

void CTambrelDlg::ShowRunningJob() {
  const auto at = std::find(m_runJobs.begin(), m_runJobs.end(), GetJob(m_nCurJob));
  if (at == m_runJobs.end()) return;
  const int number = static_cast<int>(at - m_runJobs.begin()) + 1, jobs = static_cast<int>(m_runJobs.size());
  const std::string text = Format("Converting job %d of %d (row %d)", number, jobs, m_nCurJob + 1) +
                           (number == jobs ? std::string(", the last") : Format(", %d after it", jobs - number));
  SetWindowText(std::string("Pellomar ") + kVersion + " - " + text);
  SetDlgItemText(IDC_RUN_STATUS, text.c_str());
}

void CTambrelDlg::EndRun() {
  m_bConverting = 0;
  g_bStopRequested = 0;
  SetWindowText(std::string("Pellomar ") + kVersion);
  SetDlgItemText(IDC_RUN_STATUS, "");
  StopProgressTimer();
  // The job a stop interrupted is stopped, not failed: what it converted
  // is kept.
  if (IsValidRow(m_nCurJob) && GetJobStatus(m_nCurJob) == kJobRunning) SetStatus(m_nCurJob, kJobStopped);
  m_bRunDone = true;
  SetStartLook(true);
  EnableMenus(TRUE);
  ShowRunEnd();
  // The log shows a failure, or a note of what the run did to the source
  // (times taken out, damage passed over) in a job done.
  if (!m_bHadError && !m_bHadNote) return;
  if (m_bAskingStop)
    m_bLogPending = true;
  else
    ShowRunLog();
}

void CTambrelDlg::ShowRunEnd() {
  int done = 0, failed = 0;
  for (int row = 0; row < GetJobCount(); ++row)
    if (std::find(m_runJobs.begin(), m_runJobs.end(), GetJob(row)) != m_runJobs.end())
      done += GetJobStatus(row) == kJobDone, failed += GetJobStatus(row) == kJobFailed;
  const int jobs = static_cast<int>(m_runJobs.size());
  m_runJobs.clear();
  const std::string stopped = std::move(m_strStopped);
  m_strStopped.clear();
  // A run whose jobs were all done, one with a note (a source shorter than
  // probed), keeps the last line: its converted length is the figure to
  // see, and the log now shown says that the run is over.
  if (!stopped.empty()) {
    // A stop says what became of the job it ended; a run of more jobs
    // says how the others went.
    std::string line = "Stopped: " + stopped;
    if (jobs > 1) line += Format("; %d of %d jobs converted", done, jobs);
    if (failed) line += Format(", %d failed (see the log)", failed);
    SetDlgItemText(IDC_PROGRESS_LINE, (line + ".").c_str());
  } else if (!m_bHadNote || done != jobs) {
    std::string line = Format("%s: %d of %d %s converted", done + failed == jobs ? "Finished" : "Stopped", done, jobs,
                              jobs == 1 ? "job" : "jobs");
    if (failed) line += Format(", %d failed (see the log)", failed);
    SetDlgItemText(IDC_PROGRESS_LINE, (line + ".").c_str());
  }
  // A window the user has left for another one asks for attention.
  ::FlashWindow(GetSafeHwnd(), TRUE);
}

void CTambrelDlg::ShowRunLog() {
  m_bLogPending = false;
  CDlgLog log(this);
  log.m_strLog = m_strLog;
  log.DoModal();
}

void CTambrelDlg::OnShowLog() {
  if (m_bConverting) return;
  CDlgLog log(this);
  log.m_strLog = !m_strLog.empty() ? m_strLog
                 : m_bRunDone      ? std::string("Every job of the last run was converted.\n")
                                   : std::string("No job has been converted yet.\n");
  log.DoModal();
}

HRESULT CTambrelDlg::StartConversion(int seekingSource) {
  if (!m_pGraph) return E_UNEXPECTED;
  m_pGraph->QueryInterface(IID_PPV_ARGS(&m_pMediaControl));
  m_pGraph->QueryInterface(IID_PPV_ARGS(&m_pMediaEvent));
  if (!m_pMediaControl || !m_pMediaEvent) return E_NOINTERFACE;

  IBaseFilter* sink = nullptr;  // borrowed
  if (seekingSource == kSeekAsf)
    sink = FindFilterByClsid(m_pGraph, CLSID_WMAsfWriter);
  else if (seekingSource == kSeekAvi || seekingSource == kSeekMpeg || seekingSource == kSeekMp4)
    sink = FindFilterByClsid(m_pGraph, CLSID_MpegMuxer);
  if (sink) sink->QueryInterface(IID_PPV_ARGS(&m_pMediaSeeking));
  if (!m_pMediaSeeking) m_pGraph->QueryInterface(IID_PPV_ARGS(&m_pMediaSeeking));

  HRESULT hr = m_pMediaEvent->SetNotifyWindow(reinterpret_cast<OAHWND>(GetSafeHwnd()), WM_GRAPHNOTIFY, 0);
  if (FAILED(hr)) {
    g_strJobMessage = Format("%d. ", m_nCurJob + 1);
    m_strLog += g_strJobMessage + "Can't set graph notification window, check the installation of DirectX 9\n";
    m_bHadError = 1;
    return hr;
  }
  OAFilterState state = 0;
  m_pMediaControl->GetState(1000, &state);
  // A sink that refuses to pause (a bad output path, say) would otherwise
  // leave a graph that runs without ever ending.
  hr = m_pMediaControl->Pause();
  // A filter that refused to start names its cause where it has one.
  if (FAILED(hr) && g_strConvertError.empty() && m_pBuilder) g_strConvertError = m_pBuilder->RunErrorText();
  if (FAILED(hr)) return hr;
  hr = m_pMediaControl->Run();
  if (FAILED(hr)) return hr;
  m_dwStartTick = GetTickCount();
  if (CConvertOpt* job = GetJob(m_nCurJob)) m_watch.Start(job->m_strSource, job->m_fDuration, m_dwStartTick);
  m_nTimerId = static_cast<int>(SetTimer(kProgressTimerId, 1000, nullptr));
  return hr;
}

void CTambrelDlg::StopConversion() {
  // A stopped job keeps what it wrote; one that has failed already does not.
  if (!m_bJobEnded) {
    m_bKeepFiles = true;
    LONGLONG position = 0;
    m_fStoppedAt = m_pMediaSeeking && SUCCEEDED(m_pMediaSeeking->GetCurrentPosition(&position))
                       ? static_cast<double>(position) / UNITS
                       : m_fConverted;
  }
  if (m_pMediaControl) m_pMediaControl->Stop();
  g_bStopRequested = 1;
  SetStartLook(true);
  m_bConverting = 0;
  StopProgressTimer();
  PostMessage(WM_NEXTJOB, m_nRunSerial);
}

void CTambrelDlg::OnTimer(UINT_PTR id) {
  // A job held while the Stop question is open is not judged by its
  // position, which stands still.
  if (static_cast<int>(id) == m_nTimerId && IsValidRow(m_nCurJob) && m_pMediaSeeking && !m_bAskingStop) {
    const double length = GetJob(m_nCurJob)->m_fDuration;
    const DWORD elapsed = GetTickCount() - m_dwStartTick;
    LONGLONG position = 0;
    const bool known = SUCCEEDED(m_pMediaSeeking->GetCurrentPosition(&position));
    if (!known) position = 0;
    const double converted = static_cast<double>(position) / UNITS;

    // A job whose position no longer moves is cut, and the run goes on.
    if (m_watch.Stalled(known ? converted : -1.0, GetTickCount())) {
      FailJob(m_watch.StallText());
      CBitmapDialog::OnTimer(id);
      return;
    }
    m_fConverted = converted;
    int percent = 0;
    // The time so far is known whatever the source's length; the time left
    // is not when the length is not.
    const std::string elapsedText = SpanText(elapsed / 1000);
    std::string leftText;
    if (length > 1.0) {
      percent = static_cast<int>(converted * 100.0 / length);
      if (converted > 5.0) {
        const auto left = static_cast<unsigned long>((length - converted) * static_cast<double>(elapsed) / converted);
        leftText = SpanText(left / 1000);
      } else {
        leftText = "Calculting.....";
      }
    } else {
      percent = m_progress.GetPos() + 1;
      leftText = "unknown";
    }
    const std::string line = Format("Total Length: %6.2f s, Converted Length: %6.2f s, Time Elapse %s, Left %s",
                                    length, converted, elapsedText.c_str(), leftText.c_str());
    SetDlgItemText(IDC_PROGRESS_LINE, line.c_str());
    m_progress.SetPos(percent);
  }
  CBitmapDialog::OnTimer(id);
}

LRESULT CTambrelDlg::OnGraphEvent(WPARAM, LPARAM) {
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  while (m_pMediaEvent && SUCCEEDED(m_pMediaEvent->GetEvent(&code, &p1, &p2, 0))) {
    m_pMediaEvent->FreeEventParams(code, p1, p2);
    // Once the run is stopped, or the job has had its end, a late event must
    // not move the run on again.
    if (!m_bConverting || g_bStopRequested || m_bJobEnded || !IsValidRow(m_nCurJob)) continue;
    CConvertOpt* job = GetJob(m_nCurJob);
    // What the run did to the source (times taken out, damage passed over)
    // goes into the log, whatever the job's end.
    if ((code == EC_COMPLETE || code == EC_ERRORABORT) && m_pBuilder) {
      const std::string note = m_pBuilder->RunNoteText();
      if (!note.empty()) {
        m_strLog += Format("%d. ", m_nCurJob + 1) + note;
        m_bHadNote = true;
      }
    }
    if (code == EC_COMPLETE) {
      const double length = job->m_fDuration;
      // What was converted is what the sink's position says; a sink that
      // cannot tell has converted the source's length.
      LONGLONG position = 0;
      const bool known =
          m_pMediaSeeking && SUCCEEDED(m_pMediaSeeking->GetCurrentPosition(&position)) && position > 0;
      const double converted = known ? static_cast<double>(position) / UNITS
                               : length > 1.0 ? length
                                              : m_fConverted;
      const CJobWatch::Ending ending = m_watch.Check(known ? converted : -1.0);
      if (ending == CJobWatch::kSourceChanged) {
        FailJob(m_watch.EndingText(ending, converted));
        continue;
      }
      m_bJobEnded = true;
      m_bKeepFiles = true;
      StopProgressTimer();
      SetProgress(100);
      const std::string elapsedText = SpanText((GetTickCount() - m_dwStartTick) / 1000);
      if (ending == CJobWatch::kShort) {
        m_strLog += Format("%d. ", m_nCurJob + 1) + m_watch.EndingText(ending, converted);
        m_bHadNote = true;
      }
      // A source removed or replaced after the job read it keeps the
      // job's result; the log says what became of it.
      if (const std::string gone = m_watch.AfterReadText(); !gone.empty()) {
        m_strLog += Format("%d. ", m_nCurJob + 1) + gone;
        m_bHadNote = true;
      }
      SetDlgItemText(IDC_PROGRESS_LINE, Format("Total Length: %6.2f s, Converted Length: %6.2f s, Time Elapse %s, Left 0", length,
                                  converted, elapsedText.c_str())
                               .c_str());
      SetStatus(m_nCurJob, kJobDone);
      ++m_nCurJob;
      PostMessage(WM_NEXTJOB, m_nRunSerial);
    } else if (code == EC_ERRORABORT) {
      m_bJobEnded = true;
      StopProgressTimer();
      const auto hr = static_cast<HRESULT>(p1);
      SetStatus(m_nCurJob, kJobFailed);
      g_strJobMessage = AbortMessage(m_nCurJob + 1, *job, hr, m_pBuilder ? m_pBuilder->RunErrorText() : std::string());
      m_strLog += g_strJobMessage;
      ++m_nCurJob;
      m_bHadError = 1;
      PostMessage(WM_NEXTJOB, m_nRunSerial);
    }
  }
  return 0;
}

void CTambrelDlg::FailJob(const std::string& text) {
  m_bJobEnded = true;
  StopProgressTimer();
  SetStatus(m_nCurJob, kJobFailed);
  m_bHadError = 1;
  m_strLog += Format("%d. ", m_nCurJob + 1) + text;
  ++m_nCurJob;
  PostMessage(WM_NEXTJOB, m_nRunSerial);
}

bool CTambrelDlg::RefuseClose() {
  if (m_bConverting) {
    MessageBox("You are converting now, You must stop it first.", "Pellomar", MB_OK | MB_ICONEXCLAMATION);
    return true;
  }
  // Jobs not converted yet go with the window: the user says so first.
  int waiting = 0;
  for (int row = 0; row < GetJobCount(); ++row) waiting += GetJobStatus(row) != kJobDone;
  if (waiting == 0) return false;
  const std::string question = NotConvertedText(waiting, waiting == 1 ? "job of the list" : "jobs of the list");
  return MessageBox((question + " Close Pellomar all the same? The list is not kept.").c_str(), "Pellomar",
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES;
}

// Escape (and any other IDCANCEL) leaves the window as it is: one key must
// not end the program and lose the list. Closing goes through OnClose.
void CTambrelDlg::OnCancel() {}

// The window has no OK button: Return must not end the program.
void CTambrelDlg::OnOK() {}

// Every way of closing the window ends here: the close button, the system
// menu and the window manager.
void CTambrelDlg::OnClose() {
  if (RefuseClose()) return;
  if (m_header.GetSafeHwnd()) m_header.UnsubclassWindow();
  ReleaseGraph();
  if (m_pScan) {
    if (m_pScan->GetSafeHwnd()) m_pScan->DestroyWindow();
    m_pScan.reset();
  }
  EndDialog(IDCANCEL);
}

void CTambrelDlg::OnPaint() {
  if (IsIconic()) {
    CPaintDC dc(this);
    CRect rc;
    GetClientRect(&rc);
    dc.DrawIcon((rc.Width() - GetSystemMetrics(SM_CXICON) + 1) / 2, (rc.Height() - GetSystemMetrics(SM_CYICON) + 1) / 2,
                m_hIcon);
    return;
  }
  CBitmapDialog::OnPaint();
}

HCURSOR CTambrelDlg::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(m_hIcon); }

HBRUSH CTambrelDlg::OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) {
  HBRUSH brush = CBitmapDialog::OnCtlColor(dc, wnd, ctlColor);
  // The status strip lies on the skin's dark foot, as the home-page link.
  if (dc && wnd && wnd->GetDlgCtrlID() == IDC_RUN_STATUS) dc->SetTextColor(RGB(196, 206, 222));
  return brush;
}

BOOL CTambrelDlg::RunGraphJob(CConvertOpt* job, HandOver handOver) {
  ReleaseGraph();
  // The builders set or extend the failure text; an earlier job's text
  // must not become part of this job's.
  g_strConvertError.clear();
  g_strJobMessage.clear();
  m_pBuilder = CreateJobBuilder();
  if (!m_pBuilder || !m_pBuilder->Graph()) {
    m_pBuilder.reset();
    g_strConvertError = FormatFailure(E_OUTOFMEMORY, "Can't create the conversion graph\n");
    return FALSE;
  }
  m_pGraph = m_pBuilder->Graph();
  m_pBuilder->SetReplaceTarget(job->m_bReplaceTarget != 0);
  int seekingSource = kSeekGraph;
  HRESULT hr = handOver(*job, *m_pBuilder, &seekingSource);
  if (hr == S_OK) hr = StartConversion(seekingSource);
  if (FAILED(hr)) g_strConvertError = FormatFailure(hr, g_strConvertError);
  return hr == S_OK ? TRUE : FALSE;
}

BOOL CTambrelDlg::RunAviJob(CConvertOpt* job) { return RunGraphJob(job, &HandOverAviJob); }
BOOL CTambrelDlg::RunAsfJob(CConvertOpt* job) { return RunGraphJob(job, &HandOverAsfJob); }
BOOL CTambrelDlg::RunMpegJob(CConvertOpt* job) { return RunGraphJob(job, &HandOverMpegJob); }
BOOL CTambrelDlg::RunMp4Job(CConvertOpt* job) { return RunGraphJob(job, &HandOverMp4Job); }
BOOL CTambrelDlg::RunFlvJob(CConvertOpt* job) { return RunGraphJob(job, &HandOverFlvJob); }
BOOL CTambrelDlg::RunPicturesJob(CConvertOpt* job) { return RunGraphJob(job, &HandOverPicturesJob); }
// Picture lists are turned into AVI jobs when they are set up; a job that
// still carries this type has nothing to convert.
BOOL CTambrelDlg::RunPicturesToVideoJob(CConvertOpt*) { return TRUE; }
