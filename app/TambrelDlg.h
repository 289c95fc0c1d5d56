// The main window: the job list, Start/Stop, the progress bar and line, and
// the run that converts the jobs one after the other on the UI thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/BitmapDialog.h"
#include "app/BkProgressCtrl.h"
#include "app/BmpHeaderCtrl.h"
#include "app/JobRunners.h"
#include "app/JobWatch.h"
#include "app/SkinButton.h"
#include "conversion/ConvertOpt.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/Interfaces.h"
#include "platform/ui/ImageList.h"
#include "platform/ui/ListCtrl.h"
#include "platform/ui/ToolTipCtrl.h"

class CDlgScan;

constexpr const char* kHomePageAddress = "https://www.quorvel.com/pellomar/";
constexpr const char* kSupportAddress = "support@quorvel.com";

constexpr UINT WM_GRAPHNOTIFY = WM_APP + 101;
constexpr UINT WM_NEXTJOB = WM_USER + 1908;
constexpr UINT_PTR kProgressTimerId = 0x79;

// Status images of a job's row.
enum JobStatus { kJobWaiting = 0, kJobRunning = 1, kJobFailed = 2, kJobDone = 3, kJobStopped = 4 };

extern int g_bStopRequested;
extern std::string g_strJobMessage;

class CTambrelDlg : public CBitmapDialog {
 public:
  enum { IDD = 102 };
  explicit CTambrelDlg(CWnd* parent = nullptr);
  ~CTambrelDlg() override;

  BOOL OnInitDialog() override;
  // The help page beside the program that Help opens.
  static std::string HelpPagePath();

  // Takes ownership; a job added before the window exists gets its row when
  // the window is made.
  void AddJob(CConvertOpt* job);
  HRESULT StartConversion(int seekingSource);
  void StopConversion();
  void SetProgress(int position);

  // Read access for callers that watch a run.
  int GetJobCount() const;
  CConvertOpt* GetJob(int row) const;
  int GetJobStatus(int row) const;
  // The target as the job's row shows it.
  std::string GetJobTargetText(int row) const { return IsValidRow(row) ? m_list.GetItemText(row, 2) : std::string(); }
  const std::string& GetRunLog() const { return m_strLog; }
  bool IsConverting() const { return m_bConverting != 0; }
  bool HadError() const { return m_bHadError != 0; }

  // Command handlers reachable from the window's controls.
  afx_msg void OnStartStop();
  afx_msg void OnRemoveJob();
  afx_msg void OnRemoveAllJobs();
  // The selected jobs are converted again by the next Start.
  afx_msg void OnConvertAgain();
  // The log of the last run, whether or not a job of it failed.
  afx_msg void OnShowLog();

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  void OnCancel() override;
  // The converter of a new job; a different graph source can stand in.
  virtual std::unique_ptr<CJobBuilder> CreateJobBuilder();

  afx_msg void OnMenuButton(UINT id);
  afx_msg void OnHomePage();
  afx_msg void OnMinimize();
  afx_msg void OnCloseButton();
  afx_msg void OnHelp();
  afx_msg void OnSupportMail();
  afx_msg void OnAbout();
  afx_msg void OnSysCommand(UINT id, LPARAM lParam);
  afx_msg void OnAddJob();
  afx_msg void OnAddBatch();
  afx_msg void OnVideoDecoderSettings();
  afx_msg void OnAudioDecoderSettings();
  afx_msg void OnClose();
  afx_msg void OnTimer(UINT_PTR id);
  afx_msg LRESULT OnGraphEvent(WPARAM wParam, LPARAM lParam);
  afx_msg LRESULT OnNextJob(WPARAM wParam, LPARAM lParam);
  afx_msg void OnPaint();
  afx_msg HCURSOR OnQueryDragIcon();
  afx_msg HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor);

  BOOL RunAviJob(CConvertOpt* job);
  BOOL RunAsfJob(CConvertOpt* job);
  BOOL RunMpegJob(CConvertOpt* job);
  BOOL RunMp4Job(CConvertOpt* job);
  BOOL RunFlvJob(CConvertOpt* job);
  BOOL RunPicturesJob(CConvertOpt* job);
  BOOL RunPicturesToVideoJob(CConvertOpt* job);

 private:
  using HandOver = HRESULT (*)(const CConvertOpt&, CJobBuilder&, int*);
  BOOL RunGraphJob(CConvertOpt* job, HandOver handOver);
  void ReleaseGraph();
  void LayoutControls();
  void AddTips();
  void SetStartLook(bool start);
  void EnableMenus(BOOL enable);
  void SetStatus(int row, int image);
  void StopProgressTimer();
  void EndRun();
  // Which job of the run is converting and how many follow it: in the
  // window's title and in the strip below the progress line.
  void ShowRunningJob();
  void ShowRunLog();
  // The progress line tells how the run ended.
  void ShowRunEnd();
  void ClearProgress();
  // The first row from `row` on whose job has not been converted yet (and,
  // during a run, that the run set out to convert); the row count when
  // there is none.
  int NextJobToConvert(int row) const;
  // Asks once about the targets of the jobs to convert that files have
  // taken since the jobs were added. Fills `leftOut` with the jobs the
  // user keeps out of the run (their files stay); false when the user
  // cancels the start.
  bool ConfirmTakenTargets(std::vector<const CConvertOpt*>* leftOut);
  void InsertRow(int row);
  // Gives the job of `row` a target that no earlier job of the run took,
  // unless the user let it replace that job's file.
  void TakeFreeTarget(int row);
  // The targets of the rows' jobs (a picture series has none).
  std::vector<std::string> ListTargets() const;
  // The stopped graph's files take their targets' names or go; the log
  // says where a stopped job's part, or a result beside a file that came
  // while the job ran, was kept.
  void FinishJobFiles();
  // Ends the current job as failed with `text` (a line of the log) and
  // moves the run on to the next job.
  void FailJob(const std::string& text);
  void DeleteJob(int row);
  // While converting: tells the user so and answers true.
  bool RefuseClose();
  bool IsValidRow(int row) const { return row >= 0 && row < m_list.GetItemCount(); }

  CSkinButton m_btnMenuRemove;  // 1079
  CSkinButton m_btnClose;       // 1082
  CSkinButton m_btnMinimize;    // 1081
  CSkinButton m_btnMenuHelp;    // 1080
  CSkinButton m_btnProgress;    // IDC_PROGRESS_LINE
  CBkProgressCtrl m_progress;   // 1074
  CSkinButton m_btnHomePage;    // 1005
  CSkinButton m_btnStartStop;   // 1002
  CSkinButton m_btnMenuAdd;     // 1001
  CListCtrl m_list;             // 1000
  // The icon buttons' names, shown as tips: one tip control per button.
  CToolTipCtrl m_tips[6];
  // The records of the rows, in row order; the window owns them.
  std::vector<std::unique_ptr<CConvertOpt>> m_jobs;
  CBmpHeaderCtrl m_header;
  HICON m_hIcon = nullptr;
  // The current job's position and source, for the stall rule and the
  // check of its length at its end.
  CJobWatch m_watch;
  int m_nCurJob = 0;
  int m_nTimerId = -1;
  // The current job's position at the last timer tick, in seconds.
  double m_fConverted = 0.0;
  DWORD m_dwStartTick = 0;
  int m_bHadError = 0;
  // A job of this run ended done with a note in the log (a source shorter
  // than its probed length): the log is shown at the end of the run.
  bool m_bHadNote = false;
  std::string m_strLog;
  // A run has ended: its log, even an empty one, is the last run's.
  bool m_bRunDone = false;
  int m_bConverting = 0;
  // The current job has had its completion or abort: later events of its
  // graph must not move the run on a second time.
  bool m_bJobEnded = false;
  // Tags the next-job messages of one run, so a message posted before a
  // stop cannot move a later run on.
  WPARAM m_nRunSerial = 0;
  // The targets of the run's jobs so far.
  std::vector<std::string> m_runTargets;
  // The jobs the run set out to convert.
  std::vector<const CConvertOpt*> m_runJobs;
  // The row whose graph m_pGraph is, and whether its files are kept: the
  // job completed, or the user stopped it (what it wrote stays).
  int m_nFilesJob = -1;
  bool m_bKeepFiles = false;
  // Where the user stopped the job (seconds), or negative: a stopped job
  // keeps what it wrote beside an earlier file of the target's name.
  double m_fStoppedAt = -1.0;
  // What became of the job the user stopped, for the progress line.
  std::string m_strStopped;
  // The Stop question is open (the job is held meanwhile); a run that ends
  // meanwhile shows its log after the answer.
  bool m_bAskingStop = false;
  bool m_bLogPending = false;
  CImageList m_images;
  CFont m_fontHeader;
  CFont m_fontProgress;
  std::unique_ptr<CDlgScan> m_pScan;
  CComPtr<IGraphBuilder> m_pGraph;
  CComPtr<IMediaControl> m_pMediaControl;
  CComPtr<IMediaSeeking> m_pMediaSeeking;
  CComPtr<IMediaEventEx> m_pMediaEvent;
  // The converter object behind m_pGraph, released with it.
  std::unique_ptr<CJobBuilder> m_pBuilder;

  DECLARE_MESSAGE_MAP()
};
