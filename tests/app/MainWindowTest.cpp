// The main window's job run with a stand-in builder: small graphs that
// complete, abort, hold, or fail to build or to pause.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialog>
#include <QImage>
#include <QKeyEvent>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

#include "app/JobRunners.h"
#include "app/TambrelApp.h"
#include "app/TambrelDlg.h"
#include "conversion/GraphConverter.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Errors.h"
#include "platform/dshow/Source.h"
#include "platform/ui/Afx.h"
#include "platform/win32/ErrorText.h"
#include "platform/win32/Registry.h"
#include "resources/ResourceIds.h"
#include "tests/app/AppTestEnv.h"
#include "tests/app/FakeJobs.h"

using namespace apptest;

namespace {

using namespace fakejobs;

CConvertOpt* Job(int type, const std::string& source, double duration = 10.0) {
  auto* job = new CConvertOpt;
  job->SetType(type);
  job->m_strSource = source;
  job->m_strTarget = source + ".out";
  job->m_fDuration = duration;
  return job;
}

// `pattern` with each '#' standing for one digit.
bool Matches(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (pattern[i] == '#' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != pattern[i]) return false;
  }
  return true;
}

std::string Normalised(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    g_strConvertError.clear();
    g_dwShowOnce = 0;
    script = Script();
    dlg = std::make_unique<TestDlg>(&script);
  }
  void TearDown() override {
    if (dlg && dlg->GetSafeHwnd()) {
      if (dlg->IsConverting()) {
        dlg->StopConversion();
        WaitFor([&] { return !dlg->IsConverting(); });
      }
      dlg->DestroyWindow();
    }
    dlg.reset();
    UiPumpMessages();
  }

  void Create() { ASSERT_TRUE(dlg->Create(CTambrelDlg::IDD)); }

  void Start() { dlg->OnStartStop(); }
  bool RunEnds(int seconds = 60) {
    return WaitFor([&] { return !dlg->IsConverting(); }, seconds);
  }

  std::vector<int> Statuses() const {
    std::vector<int> s;
    for (int i = 0; i < dlg->GetJobCount(); ++i) s.push_back(dlg->GetJobStatus(i));
    return s;
  }
  std::string Line() const {
    std::string text;
    dlg->GetDlgItemText(IDC_PROGRESS_LINE, text);
    return text;
  }
  // A last job that holds the run open, so that the line of the job before
  // it is read before the run's end replaces it.
  void HoldLast() {
    script.plans["/v/hold.mpg"] = Plan{Plan::kHold};
    dlg->AddJob(Job(CONVERT_AVI, "/v/hold.mpg", 10.0));
  }
  std::string LineBeforeLast() {
    WaitFor([&] { return End("/v/hold.mpg") != nullptr; });
    const std::string line = Line();
    if (End("/v/hold.mpg")) End("/v/hold.mpg")->Complete();
    return line;
  }
  int Bar() const {
    auto* bar = dynamic_cast<CProgressCtrl*>(dlg->GetDlgItem(1074));
    return bar ? bar->GetPos() : -1;
  }
  bool MenusEnabled() const {
    for (int id : {1001, 1079, 1080})
      if (!dlg->GetDlgItem(id) || !dlg->GetDlgItem(id)->IsWindowEnabled()) return false;
    return true;
  }
  FakeEnd* End(const std::string& source) { return script.ends.count(source) ? script.ends[source] : nullptr; }

  Script script;
  std::unique_ptr<TestDlg> dlg;
};

TEST_F(MainWindow, RowsShowTheirJobsAndWaitingImages) {
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg"));
  Create();
  dlg->AddJob(Job(CONVERT_MP4, "/v/b.avi"));
  ASSERT_EQ(dlg->GetJobCount(), 2);
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobWaiting, kJobWaiting}));
  auto* list = dynamic_cast<CListCtrl*>(dlg->GetDlgItem(1000));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->GetItemText(0, 1), "/v/a.mpg");
  EXPECT_EQ(list->GetItemText(1, 2), "/v/b.avi.out");
  EXPECT_EQ(reinterpret_cast<CConvertOpt*>(list->GetItemData(1)), dlg->GetJob(1));
}

TEST_F(MainWindow, JobsRunInOrderToTheEnd) {
  ModalWatcher modals;
  dlg->AddJob(Job(CONVERT_PICTURES_TO_VIDEO, "/v/pictures"));
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 12.5));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/b.avi", 0.5));
  HoldLast();
  Create();
  Start();
  // The third job's line: a source of a second or less counts as of unknown
  // length; the line gives what was converted and the time it took.
  const std::string line = LineBeforeLast();
  EXPECT_TRUE(Matches(line, "Total Length:   0.50 s, Converted Length:   0.00 s, Time Elapse ##:##:##, Left 0"))
      << line;
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone, kJobDone, kJobDone, kJobDone}));
  // The picture list builds nothing.
  EXPECT_EQ(script.built, (std::vector<std::string>{"/v/a.mpg", "/v/b.avi", "/v/hold.mpg"}));
  EXPECT_EQ(script.buildersMade, 3);
  // The end of the run says how it went.
  EXPECT_EQ(Line(), "Finished: 4 of 4 jobs converted.");
  EXPECT_EQ(Bar(), 100);
  EXPECT_FALSE(dlg->HadError());
  EXPECT_TRUE(dlg->GetRunLog().empty());
  EXPECT_TRUE(modals.seen.empty());
  EXPECT_TRUE(MenusEnabled());
}

TEST_F(MainWindow, CompletionLineOfAKnownLengthShowsTheElapsedTime) {
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 12.5));
  HoldLast();
  Create();
  Start();
  const std::string line = LineBeforeLast();
  EXPECT_TRUE(Matches(line, "Total Length:  12.50 s, Converted Length:  12.50 s, Time Elapse ##:##:##, Left 0"))
      << line;
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone, kJobDone}));
  EXPECT_EQ(Bar(), 100);
}

TEST_F(MainWindow, ProgressLineWhileAJobRuns) {
  script.plans["/v/a.mpg"] = Plan{Plan::kHold};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 10.0));
  dlg->AddJob(Job(CONVERT_AVI, "/v/b.mpg", 10.0));
  Create();
  Start();
  ASSERT_TRUE(dlg->IsConverting());
  ASSERT_NE(End("/v/a.mpg"), nullptr);
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobRunning, kJobWaiting}));
  EXPECT_FALSE(MenusEnabled());

  End("/v/a.mpg")->position = 30000000;  // 3 s
  ASSERT_TRUE(WaitFor([&] { return Line().find("Converted Length:   3.00 s") != std::string::npos; })) << Line();
  EXPECT_TRUE(Matches(Line(),
                      "Total Length:  10.00 s, Converted Length:   3.00 s, Time Elapse ##:##:##, Left Calculting....."))
      << Line();
  EXPECT_EQ(Bar(), 30);

  End("/v/a.mpg")->position = 60000000;  // 6 s
  ASSERT_TRUE(WaitFor([&] { return Line().find("Converted Length:   6.00 s") != std::string::npos; })) << Line();
  const std::string line = Line();
  ASSERT_TRUE(
      Matches(line, "Total Length:  10.00 s, Converted Length:   6.00 s, Time Elapse ##:##:##, Left ##:##:##"))
      << line;
  int eh = 0, em = 0, es = 0, lh = 0, lm = 0, ls = 0;
  ASSERT_EQ(std::sscanf(line.c_str() + line.find("Elapse"), "Elapse %d:%d:%d, Left %d:%d:%d", &eh, &em, &es, &lh, &lm,
                        &ls),
            6);
  const long elapsed = eh * 3600L + em * 60L + es;
  const long left = lh * 3600L + lm * 60L + ls;
  EXPECT_GE(elapsed, 1);
  // Left is the rest of the source at the speed so far: 4 s of source to go
  // after 6 s converted in `elapsed` whole seconds.
  EXPECT_GE(left, elapsed * 4 / 6);
  EXPECT_LE(left, (elapsed + 1) * 4 / 6);
  EXPECT_EQ(Bar(), 60);

  // Completion writes the final line, then the next job runs.
  End("/v/a.mpg")->position = 100000000;  // 10 s: all of it
  End("/v/a.mpg")->Complete();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone, kJobDone}));
  EXPECT_TRUE(MenusEnabled());
}

// A length of a second or less is not trusted (a probe that found none
// gives 0): the bar creeps, the time so far and the converted length show,
// and the time left is unknown.
TEST_F(MainWindow, ProgressOfAnUnknownLengthShowsTheTimeSoFar) {
  for (double length : {0.0, 0.8}) {
    SCOPED_TRACE(length);
    TearDown();
    SetUp();
    script.plans["/v/a.mpg"] = Plan{Plan::kHold};
    dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", length));
    HoldLast();
    Create();
    Start();
    ASSERT_EQ(Bar(), 0);
    End("/v/a.mpg")->position = 32500000;  // 3.25 s
    ASSERT_TRUE(WaitFor([&] { return Bar() >= 2; })) << Bar();
    const std::string total = length > 0 ? "0.80" : "0.00";
    EXPECT_TRUE(Matches(Line(), "Total Length:   " + total +
                                    " s, Converted Length:   3.25 s, Time Elapse ##:##:##, Left unknown"))
        << Line();
    // A length the guard cannot trust never stops the job by itself.
    EXPECT_TRUE(dlg->IsConverting());
    End("/v/a.mpg")->Complete();
    const std::string line = LineBeforeLast();
    ASSERT_TRUE(RunEnds());
    EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone, kJobDone}));
    EXPECT_TRUE(
        Matches(line, "Total Length:   " + total + " s, Converted Length:   3.25 s, Time Elapse ##:##:##, Left 0"))
        << line;
  }
}

TEST_F(MainWindow, AJobWhosePositionStandsStillIsCutAndTheRunGoesOn) {
  ModalWatcher modals;
  script.plans["/v/a.mpg"] = Plan{Plan::kHold};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 10.0));
  dlg->AddJob(Job(CONVERT_AVI, "/v/b.mpg"));
  Create();
  Start();
  // Far from its end, and the position never moves again.
  End("/v/a.mpg")->position = 15000000;
  ASSERT_TRUE(RunEnds(180));
  ASSERT_TRUE(WaitFor([&] { return !modals.seen.empty(); }));
  // A failed job like any other: its text says where it stopped, and the
  // next job runs.
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobFailed, kJobDone}));
  EXPECT_EQ(script.built, (std::vector<std::string>{"/v/a.mpg", "/v/b.mpg"}));
  const std::string expected = "1. The conversion made no progress for 20 s at 1.5 s of 10.0 s\n";
  EXPECT_EQ(dlg->GetRunLog(), expected);
  ASSERT_EQ(modals.seen.size(), 1u);
  EXPECT_EQ(Normalised(modals.seen[0].text), expected);
}

TEST_F(MainWindow, StopDuringAJobEndsTheRunThere) {
  ModalWatcher modals;
  int answers = 0;
  BoxHook boxes([&](const BoxSeen&) { return ++answers == 1 ? IDNO : IDYES; });
  script.plans["/v/a.mpg"] = Plan{Plan::kHold};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg"));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/b.mpg"));
  dlg->AddJob(Job(CONVERT_MP4, "/v/c.mpg"));
  Create();
  Start();
  ASSERT_EQ(Statuses(), (std::vector<int>{kJobRunning, kJobWaiting, kJobWaiting}));

  // No: the run goes on.
  dlg->OnStartStop();
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, UiLoadString(128));
  EXPECT_FALSE(boxes.seen[0].text.empty());
  EXPECT_EQ(boxes.seen[0].type & 0xF, static_cast<UINT>(MB_YESNO));
  EXPECT_EQ(boxes.seen[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONQUESTION));
  UiPumpMessages();
  EXPECT_TRUE(dlg->IsConverting());
  EXPECT_EQ(Statuses()[0], kJobRunning);

  // Yes: the run ends after the current job, which shows as stopped.
  dlg->OnStartStop();
  ASSERT_EQ(boxes.seen.size(), 2u);
  ASSERT_TRUE(RunEnds());
  UiPumpMessages();
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobStopped, kJobWaiting, kJobWaiting}));
  EXPECT_EQ(script.built, (std::vector<std::string>{"/v/a.mpg"}));
  EXPECT_EQ(script.buildersMade, 1);
  // A stop is not a failure: no log.
  EXPECT_FALSE(dlg->HadError());
  EXPECT_TRUE(modals.seen.empty());
  EXPECT_TRUE(MenusEnabled());

  // The stopped graph's late completion moves nothing.
  End("/v/a.mpg")->Complete();
  UiPumpMessages();
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobStopped, kJobWaiting, kJobWaiting}));
  EXPECT_EQ(script.buildersMade, 1);

  // Starting again converts every row from the top.
  script.plans["/v/a.mpg"] = Plan{Plan::kCompleteOnRun};
  Start();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone, kJobDone, kJobDone}));
  EXPECT_EQ(script.built, (std::vector<std::string>{"/v/a.mpg", "/v/a.mpg", "/v/b.mpg", "/v/c.mpg"}));
}

TEST_F(MainWindow, FailedBuildIsLoggedAndTheNextJobRuns) {
  ModalWatcher modals;
  script.plans["/v/a.mpg"] = Plan{Plan::kBuildFails, E_FAIL, "No Video Stream"};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg"));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/b.mpg"));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  ASSERT_TRUE(WaitFor([&] { return !modals.seen.empty(); }));
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobFailed, kJobDone}));
  const std::string systemText = SystemErrorText(E_FAIL);
  ASSERT_FALSE(systemText.empty());
  const std::string expected = "1. Code: 0x80004005, " + systemText + " -- [No Video Stream]\n";
  EXPECT_EQ(dlg->GetRunLog(), expected);
  EXPECT_TRUE(dlg->HadError());
  // The log window opens once, at the end of the run, with the log.
  ASSERT_EQ(modals.seen.size(), 1u);
  EXPECT_EQ(Normalised(modals.seen[0].text), expected);
}

TEST_F(MainWindow, BuildAnsweringSFalseFailsWithTheBuildersOwnText) {
  ModalWatcher modals;
  script.plans["/v/a.mpg"] = Plan{Plan::kBuildFails, S_FALSE, "Nothing to convert"};
  dlg->AddJob(Job(CONVERT_MPEG, "/v/a.mpg"));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobFailed}));
  EXPECT_EQ(dlg->GetRunLog(), "1. Nothing to convert\n");
}

TEST_F(MainWindow, FailedPauseFailsTheJobAndTheRunGoesOn) {
  ModalWatcher modals;
  script.plans["/v/a.mpg"] = Plan{Plan::kPauseFails, E_FAIL, ""};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg"));
  dlg->AddJob(Job(CONVERT_AVI, "/v/b.mpg"));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobFailed, kJobDone}));
  EXPECT_EQ(dlg->GetRunLog(), "1. Code: 0x80004005, " + SystemErrorText(E_FAIL) + " -- []\n");
  // The refused graph never ran.
  EXPECT_EQ(End("/v/a.mpg")->runs, 0);
  ASSERT_TRUE(WaitFor([&] { return !modals.seen.empty(); }));
}

TEST_F(MainWindow, AbortsAreLoggedWithTheirHints) {
  ModalWatcher modals;
  script.plans["/v/a.avi"] = Plan{Plan::kAbortOnRun, VFW_E_NOT_CONNECTED};
  script.plans["/v/b.mpg"] = Plan{Plan::kAbortOnRun, E_FAIL};
  script.plans["/v/c.mpg"] = Plan{Plan::kAbortOnRun, E_OUTOFMEMORY};
  script.plans["/v/e.mpg"] = Plan{Plan::kAbortOnRun, E_INVALIDARG, "Could not open '/x/e.mp4'"};
  CConvertOpt* avi = Job(CONVERT_AVI, "/v/a.avi");
  avi->m_nSourceFormat = 0x200;  // an AVI source
  CConvertOpt* mp4 = Job(CONVERT_MP4, "/v/b.mpg");
  mp4->m_nSourceFormat = 0x4000;
  CConvertOpt* mpeg = Job(CONVERT_MPEG, "/v/c.mpg");
  mpeg->m_nSourceFormat = 0x4000;
  dlg->AddJob(avi);
  dlg->AddJob(mp4);
  dlg->AddJob(mpeg);
  dlg->AddJob(Job(CONVERT_AVI, "/v/d.mpg"));
  dlg->AddJob(Job(CONVERT_MP4, "/v/e.mpg"));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobFailed, kJobFailed, kJobFailed, kJobDone, kJobFailed}));
  // Each job's text is its own and ends its line; the failing filter's own
  // text stands in for the general hint.
  const std::string expected =
      "1. EC_ERRORABORT, hr = 80040209\n" + SystemErrorText(VFW_E_NOT_CONNECTED) +
      // No codec note for an AVI source: a graph that runs failed in a
      // stage, not for want of a decoder.
      "\n"
      "2. EC_ERRORABORT, hr = 80004005\n"
      " Error in output settings. We suggest you using the pre-defined profile while creating 3GP and MP4 files.\n"
      "3. EC_ERRORABORT, hr = 8007000e\n" +
      SystemErrorText(E_OUTOFMEMORY) +
      "\n"
      "5. EC_ERRORABORT, hr = 80070057\nCould not open '/x/e.mp4'\n";
  EXPECT_EQ(dlg->GetRunLog(), expected);
  // The log names no missing decoder: the codec help stays closed.
  ASSERT_TRUE(WaitFor([&] { return !modals.seen.empty(); }));
  WaitFor([&] { return modals.seen.size() > 1; }, 1);
  ASSERT_EQ(modals.seen.size(), 1u);
  EXPECT_EQ(modals.seen[0].title, "Conversion log");
  EXPECT_EQ(Normalised(modals.seen[0].text), expected);
}

TEST_F(MainWindow, StreamingGraphRunsToCompletion) {
  ModalWatcher modals;  // a failed job's log would otherwise wait for a click
  script.plans["/v/a.mpg"] = Plan{Plan::kStream, S_OK, "", 40};
  script.plans["/v/b.mpg"] = Plan{Plan::kStream, S_OK, "", 5};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 1.6));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/b.mpg", 0.2));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone, kJobDone}));
  EXPECT_FALSE(dlg->HadError());
  EXPECT_EQ(Bar(), 100);
  EXPECT_TRUE(modals.seen.empty());
}

TEST_F(MainWindow, StreamThatFailsEndsItsJobOnce) {
  ModalWatcher modals;
  // The failing stream aborts and also ends its stream, so its renderer
  // completes too; whichever comes first ends the job, and only once.
  script.plans["/v/a.mpg"] = Plan{Plan::kStream, E_FAIL, "", 40, 10};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 1.6));
  dlg->AddJob(Job(CONVERT_AVI, "/v/b.mpg"));
  dlg->AddJob(Job(CONVERT_AVI, "/v/c.mpg"));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  UiPumpMessages();
  const std::vector<int> status = Statuses();
  EXPECT_TRUE(status[0] == kJobFailed || status[0] == kJobDone) << status[0];
  EXPECT_EQ(status[1], kJobDone);
  EXPECT_EQ(status[2], kJobDone);
  EXPECT_EQ(script.built, (std::vector<std::string>{"/v/a.mpg", "/v/b.mpg", "/v/c.mpg"}));
  EXPECT_EQ(dlg->GetRunLog().find("2. "), std::string::npos) << dlg->GetRunLog();
  EXPECT_EQ(dlg->GetRunLog().find("3. "), std::string::npos) << dlg->GetRunLog();
}

TEST_F(MainWindow, OnlyTheFirstEndOfAJobCounts) {
  ModalWatcher modals;
  script.plans["/v/a.mpg"] = Plan{Plan::kAbortThenComplete, E_FAIL};
  script.plans["/v/b.mpg"] = Plan{Plan::kCompleteThenAbort, E_FAIL};
  dlg->AddJob(Job(CONVERT_MPEG, "/v/a.mpg"));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/b.mpg"));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/c.mpg"));
  dlg->AddJob(Job(CONVERT_MPEG, "/v/d.mpg"));
  Create();
  Start();
  ASSERT_TRUE(RunEnds());
  UiPumpMessages();
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobFailed, kJobDone, kJobDone, kJobDone}));
  EXPECT_EQ(script.built, (std::vector<std::string>{"/v/a.mpg", "/v/b.mpg", "/v/c.mpg", "/v/d.mpg"}));
  EXPECT_EQ(dlg->GetRunLog(), "1. EC_ERRORABORT, hr = 80004005\n" + SystemErrorText(E_FAIL) + "\n");
  ASSERT_TRUE(WaitFor([&] { return !modals.seen.empty(); }));
  EXPECT_EQ(modals.seen.size(), 1u);
}

TEST_F(MainWindow, ClosingDuringARunIsRefused) {
  BoxHook boxes;
  script.plans["/v/a.mpg"] = Plan{Plan::kHold};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg"));
  Create();
  Start();
  const HWND hwnd = dlg->GetSafeHwnd();
  dlg->ShowWindow(SW_SHOW);
  ASSERT_TRUE(dlg->IsWindowVisible());
  dlg->SendMessage(WM_CLOSE);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, "You are converting now, You must stop it first.");
  EXPECT_EQ(boxes.seen[0].caption, "Pellomar");
  EXPECT_EQ(boxes.seen[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONEXCLAMATION));
  UiPumpMessages();
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_TRUE(dlg->IsWindowVisible());
  EXPECT_TRUE(dlg->IsConverting());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobRunning}));
  End("/v/a.mpg")->Complete();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(Statuses(), (std::vector<int>{kJobDone}));
}

TEST_F(MainWindow, StartWithAnEmptyListOnlySetsTheXvidValue) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\XviD", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegDeleteValueA(key, "Videoinfo_Compat");
  RegCloseKey(key);
  Create();
  Start();
  EXPECT_FALSE(dlg->IsConverting());
  EXPECT_EQ(script.buildersMade, 0);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\XviD", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value, type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Videoinfo_Compat", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 1u);
  RegCloseKey(key);
}

TEST_F(MainWindow, SetProgressSkipsSmallSteps) {
  Create();
  dlg->SetProgress(49);
  ASSERT_EQ(Bar(), 49);
  dlg->SetProgress(50);
  EXPECT_EQ(Bar(), 49);
  dlg->SetProgress(51);
  EXPECT_EQ(Bar(), 49);
  dlg->SetProgress(52);
  EXPECT_EQ(Bar(), 52);
  dlg->SetProgress(0);
  EXPECT_EQ(Bar(), 0);
  dlg->SetProgress(1);
  EXPECT_EQ(Bar(), 0);
  dlg->SetProgress(100);
  EXPECT_EQ(Bar(), 100);
}

TEST_F(MainWindow, RemovingTheLastRowSelectsTheNewLastRow) {
  for (const char* s : {"/v/a", "/v/b", "/v/c"}) dlg->AddJob(Job(CONVERT_AVI, s));
  Create();
  auto* list = dynamic_cast<CListCtrl*>(dlg->GetDlgItem(1000));
  ASSERT_NE(list, nullptr);
  list->SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
  dlg->OnRemoveJob();
  ASSERT_EQ(dlg->GetJobCount(), 2);
  EXPECT_EQ(list->GetItemText(1, 1), "/v/b");
  EXPECT_EQ(dlg->GetJob(1)->m_strSource, "/v/b");
  POSITION pos = list->GetFirstSelectedItemPosition();
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(list->GetNextSelectedItem(pos), 1);

  // A middle row: the row that moves up into its place is selected.
  list->SetItemState(1, 0, LVIS_SELECTED);
  list->SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
  dlg->OnRemoveJob();
  ASSERT_EQ(dlg->GetJobCount(), 1);
  EXPECT_EQ(dlg->GetJob(0)->m_strSource, "/v/b");
  pos = list->GetFirstSelectedItemPosition();
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(list->GetNextSelectedItem(pos), 0);

  // Removing all of the jobs not converted asks first: No keeps them.
  BoxHook boxes([](const BoxSeen& box) { return (box.type & 0xF) == MB_YESNO ? IDNO : IDOK; });
  dlg->OnRemoveAllJobs();
  EXPECT_EQ(dlg->GetJobCount(), 1);
  BoxHook yes([](const BoxSeen&) { return IDYES; });
  dlg->OnRemoveAllJobs();
  EXPECT_EQ(dlg->GetJobCount(), 0);
  EXPECT_EQ(list->GetItemCount(), 0);
  EXPECT_EQ(boxes.seen.size() + yes.seen.size(), 2u);
}

// --- The window as a user meets it ----------------------------------------

// The window's own skin: its size and where it puts its controls.
TEST_F(MainWindow, TheWindowTakesTheSkinsSizeAndPlaces) {
  Create();
  CRect client;
  dlg->GetClientRect(&client);
  EXPECT_EQ(client, CRect(0, 0, 640, 464));
  const struct {
    int id;
    CRect rect;
  } places[] = {{1080, {570, 2, 590, 22}},  {1081, {593, 2, 613, 22}},    {1082, {616, 2, 636, 22}},
                {1001, {334, 30, 404, 50}}, {1079, {409, 30, 479, 50}},   {1002, {485, 30, 555, 50}},
                {1083, {15, 405, 521, 431}}, {1005, {478, 435, 629, 450}}, {1000, {20, 65, 626, 393}},
                {1074, {530, 409, 630, 427}}};
  for (const auto& p : places) {
    CRect r;
    dlg->GetDlgItem(p.id)->GetWindowRect(&r);
    dlg->ScreenToClient(&r);
    EXPECT_EQ(r, p.rect) << p.id;
  }
}

// The scan window exists but is not shown: nothing is drawn over the list.
TEST_F(MainWindow, TheScanWindowStaysHidden) {
  for (int i = 0; i < 8; ++i) dlg->AddJob(Job(CONVERT_AVI, "/v/" + std::to_string(i) + ".mpg"));
  Create();
  dlg->ShowWindow(SW_SHOW);
  UiPumpMessages();
  const QList<QDialog*> children = dlg->GetWidget()->findChildren<QDialog*>();
  ASSERT_FALSE(children.isEmpty());
  for (QDialog* child : children) EXPECT_FALSE(child->isVisible());
  EXPECT_TRUE(UiGrabWindow(dlg.get(), GrabPath("main-window").c_str()));
}

// The skin while a job runs: the bar's empty part in the skin's blue, the
// disabled help menu looking disabled, a header without a ruler, and a
// progress line that fits its field.
TEST_F(MainWindow, TheSkinDuringARun) {
  script.plans["/v/a.mpg"] = Plan{Plan::kHold};
  dlg->AddJob(Job(CONVERT_AVI, "/v/a.mpg", 3600.0));
  dlg->AddJob(Job(CONVERT_MP4, "/v/b.mpg"));
  Create();
  dlg->ShowWindow(SW_SHOW);
  const QImage idle = dlg->GetWidget()->grab().toImage();
  Start();
  End("/v/a.mpg")->position = 9000000000LL;  // 900 s of 3600
  ASSERT_TRUE(WaitFor([&] { return Line().find("Left ") != std::string::npos && Bar() == 25; })) << Line();
  const std::string path = GrabPath("main-window-running");
  ASSERT_TRUE(UiGrabWindow(dlg.get(), path.c_str()));
  const QImage running(QString::fromStdString(path));
  ASSERT_EQ(running.size(), QSize(640, 464));

  for (const CutText& c : CutTexts(dlg.get())) ADD_FAILURE() << c.Describe();
  // The bar (530..630) is a quarter full; its empty part shows the skin's blue.
  EXPECT_EQ(running.pixelColor(620, 418), QColor(28, 33, 43));
  EXPECT_NE(running.pixelColor(535, 418), QColor(28, 33, 43));
  // The help menu button is disabled during the run and looks it.
  EXPECT_FALSE(dlg->GetDlgItem(1080)->IsWindowEnabled());
  EXPECT_NE(running.copy(570, 2, 20, 20), idle.convertToFormat(running.format()).copy(570, 2, 20, 20));
  // Above its text, a header column is one even band: no divider repeats in it.
  auto* list = dynamic_cast<CListCtrl*>(dlg->GetDlgItem(1000));
  ASSERT_NE(list, nullptr);
  CHeaderCtrl* header = list->GetHeaderCtrl();
  ASSERT_NE(header, nullptr);
  CRect at, item;
  header->GetWindowRect(&at);
  dlg->ScreenToClient(&at);
  ASSERT_TRUE(header->GetItemRect(1, &item));
  const int y = at.top + 2;
  for (int x = at.left + item.left + 2; x < at.left + item.right - 2; ++x)
    ASSERT_EQ(running.pixel(x, y), running.pixel(at.left + item.left + 2, y)) << x;
}

// Help opens the HTML page beside the program in the desktop's browser, and
// says so when it cannot.
TEST_F(MainWindow, HelpOpensThePageBesideTheProgram) {
  Create();
  const std::string page = CTambrelDlg::HelpPagePath();
  ASSERT_EQ(page.substr(page.find_last_of('/') + 1), "pmrhelp.html");
  struct Case {
    bool present, browser;
    size_t opened;
    const char* box;  // a word of the message, or null for none
  } cases[] = {{true, true, 1, nullptr}, {true, false, 1, "browser"}, {false, true, 0, "missing"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.present) + std::to_string(c.browser));
    if (c.present) {
      FILE* f = std::fopen(page.c_str(), "w");
      ASSERT_NE(f, nullptr);
      std::fputs("<html><title>help</title></html>\n", f);
      std::fclose(f);
    } else {
      std::remove(page.c_str());
    }
    std::vector<std::string> opened;
    UiSetOpenHook([&](const std::string& target) {
      opened.push_back(target);
      return c.browser;
    });
    BoxHook boxes;
    dlg->SendMessage(WM_COMMAND, 271, 0);
    UiSetOpenHook(nullptr);
    ASSERT_EQ(opened.size(), c.opened);
    if (c.opened) {
      EXPECT_EQ(opened[0], page);
    }
    if (!c.box) {
      EXPECT_TRUE(boxes.seen.empty());
    } else {
      ASSERT_EQ(boxes.seen.size(), 1u);
      EXPECT_NE(boxes.seen[0].text.find(c.box), std::string::npos) << boxes.seen[0].text;
      EXPECT_NE(boxes.seen[0].text.find(page), std::string::npos) << boxes.seen[0].text;
    }
  }
  std::remove(page.c_str());
}

// --- Real jobs through the graph converter ---------------------------------

std::string Sample(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

std::string OutFile(const char* name) {
  const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
  const std::string folder = std::string(dir ? dir : "/tmp") + "/out";
  std::filesystem::create_directories(folder);
  return folder + "/" + name;
}

// An MPEG-1 job of the project's 2-second MPEG-2 sample.
CConvertOpt* MpegJob(const std::string& source, const std::string& target) {
  CConvertOpt* job = Job(CONVERT_MPEG, source, 2.0);
  job->m_strTarget = target;
  job->m_nSourceFormat = 0x4000;
  job->m_nSourceWidth = job->m_nWidth = 176;
  job->m_nSourceHeight = job->m_nHeight = 144;
  job->m_dSourceFrameRate = 25;
  job->m_nMpegKind = 0;
  job->m_nMpegRateNum = 25;
  job->m_nMpegRateDen = 1;
  return job;
}

double ProbedSeconds(const std::string& file) {
  const std::string cmd = "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char line[64] = {};
  const bool got = std::fgets(line, sizeof line, p) != nullptr;
  pclose(p);
  return got ? std::atof(line) : -1;
}

// Closing is refused in every way while converting (Escape and IDCANCEL do
// nothing at all), the job runs to its end and leaves a whole file; once the
// run is over, the close button closes without a question: no job waits.
TEST(RealJob, EveryWayOfClosingIsRefusedWhileConverting) {
  const auto key = [](int k) {
    return [k](CTambrelDlg& d) {
      QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
      QCoreApplication::sendEvent(d.GetWidget(), &press);
    };
  };
  const struct {
    const char* way;
    std::function<void(CTambrelDlg&)> close;
    bool refusal;  // the user is told; otherwise nothing happens at all
  } ways[] = {
      {"Escape", key(Qt::Key_Escape), false},
      {"Return", key(Qt::Key_Return), false},
      {"close button", [](CTambrelDlg& d) { d.SendMessage(WM_COMMAND, MAKEWPARAM(1082, BN_CLICKED), 0); }, true},
      {"window manager", [](CTambrelDlg& d) { d.GetWidget()->close(); }, true},
      {"system menu", [](CTambrelDlg& d) { d.SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0); }, true},
      {"IDCANCEL", [](CTambrelDlg& d) { d.SendMessage(WM_COMMAND, IDCANCEL, 0); }, false},
      {"IDOK", [](CTambrelDlg& d) { d.SendMessage(WM_COMMAND, IDOK, 0); }, false},
  };
  const std::string target = OutFile("closing.mpg");
  std::remove(target.c_str());
  BoxHook boxes;
  CTambrelDlg dlg;
  dlg.AddJob(MpegJob(Sample("mpeg2-ps-mp2.mpg"), target));
  ASSERT_TRUE(dlg.Create(CTambrelDlg::IDD));
  dlg.ShowWindow(SW_SHOW);
  dlg.OnStartStop();
  ASSERT_TRUE(dlg.IsConverting());
  ASSERT_EQ(dlg.GetJobStatus(0), kJobRunning);
  for (const auto& w : ways) {
    const size_t before = boxes.seen.size();
    w.close(dlg);
    EXPECT_TRUE(dlg.IsWindowVisible()) << w.way;
    EXPECT_TRUE(dlg.IsConverting()) << w.way;
    ASSERT_EQ(boxes.seen.size(), before + (w.refusal ? 1 : 0)) << w.way;
    if (w.refusal) {
      EXPECT_EQ(boxes.seen.back().text, "You are converting now, You must stop it first.") << w.way;
    }
  }
  EXPECT_TRUE(UiGrabWindow(&dlg, GrabPath("main-window-real-job").c_str()));

  ASSERT_TRUE(WaitFor([&] { return !dlg.IsConverting(); }, 120));
  EXPECT_EQ(dlg.GetJobStatus(0), kJobDone) << dlg.GetRunLog();
  EXPECT_NEAR(ProbedSeconds(target), 2.0, 0.3);

  const size_t asked = boxes.seen.size();
  key(Qt::Key_Escape)(dlg);
  EXPECT_TRUE(dlg.IsWindowVisible());
  dlg.SendMessage(WM_COMMAND, MAKEWPARAM(1082, BN_CLICKED), 0);
  EXPECT_FALSE(dlg.IsWindowVisible());
  EXPECT_EQ(boxes.seen.size(), asked);
  dlg.DestroyWindow();
  UiPumpMessages();
}

// Each failed job's line carries its own text, never an earlier job's.
TEST(RealJob, TwoFailingJobsLogTwoSeparateTexts) {
  ModalWatcher modals;
  CTambrelDlg dlg;
  dlg.AddJob(MpegJob("/nonexistent/first.mpg", OutFile("first.mpg")));
  dlg.AddJob(MpegJob("/nonexistent/second.mpg", OutFile("second.mpg")));
  ASSERT_TRUE(dlg.Create(CTambrelDlg::IDD));
  dlg.OnStartStop();
  ASSERT_TRUE(WaitFor([&] { return !dlg.IsConverting(); }, 120));
  EXPECT_EQ(dlg.GetJobStatus(0), kJobFailed);
  EXPECT_EQ(dlg.GetJobStatus(1), kJobFailed);
  const std::string log = dlg.GetRunLog();
  const size_t second = log.find("\n2. ");
  ASSERT_NE(second, std::string::npos) << log;
  const std::string first = log.substr(0, second + 1), next = log.substr(second + 1);
  EXPECT_EQ(first.rfind("1. Code: 0x", 0), 0u) << log;
  EXPECT_EQ(next.rfind("2. Code: 0x", 0), 0u) << log;
  // The two lines tell the same failure the same way, each once and each
  // of its own source.
  std::string expected = first.substr(1);
  expected.replace(expected.find("first.mpg"), 9, "second.mpg");
  EXPECT_EQ(next.substr(1), expected) << log;
  EXPECT_EQ(first.find("Code:", 4), std::string::npos) << log;
  dlg.DestroyWindow();
  UiPumpMessages();
}

}  // namespace
