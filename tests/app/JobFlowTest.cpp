// The job creation flow and the batch list: page order, Back and Cancel,
// who owns the job records, batch naming, the rows the main window gets,
// and one job set up and run from the main window as a user does it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/DlgBatch.h"
#include "app/DlgCvtType.h"
#include "app/DlgMpegType.h"
#include "app/DlgTargetAVI.h"
#include "app/DlgTargetPSP.h"
#include "app/DlgVideoSource.h"
#include "app/JobFlow.h"
#include "app/PathName.h"
#include "app/Registry.h"
#include "platform/ui/ListCtrl.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

constexpr int kMpegButton = 1009;
constexpr int kAviButton = 1006;
constexpr int kPspButton = 1013;
constexpr int kVideoToPicturesButton = 1000;

TEST(PathName, OnlyAPointInTheFileNameStartsAnExtension) {
  const struct {
    const char* path;
    const char* extension;
    const char* without;
    const char* folder;
    const char* name;
  } cases[] = {
      {"/v/clip.mpg", "mpg", "/v/clip", "/v/", "clip.mpg"},
      {"/my.dir/clip", "", "/my.dir/clip", "/my.dir/", "clip"},
      {"C:\\my.dir\\clip", "", "C:\\my.dir\\clip", "C:\\my.dir\\", "clip"},
      {"a.b.c", "c", "a.b", "", "a.b.c"},
      {"/v/.hidden", "hidden", "/v/", "/v/", ".hidden"},
      {"", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(PathExtension(c.path), c.extension);
    EXPECT_EQ(PathWithoutExtension(c.path), c.without);
    EXPECT_EQ(PathFolder(c.path), c.folder);
    EXPECT_EQ(PathFileName(c.path), c.name);
  }
  EXPECT_EQ(PathWithExtension("/my.dir/clip", ".swf"), "/my.dir/clip.swf");
  EXPECT_EQ(PathWithExtension("/v/clip_pmr.flv", ".swf"), "/v/clip_pmr.swf");
  EXPECT_EQ(WithTrailingSeparator("/v"), "/v/");
  EXPECT_EQ(WithTrailingSeparator("C:\\v\\"), "C:\\v\\");
  EXPECT_EQ(TrimBlanks("  a b \t\n"), "a b");
}

// The third column of a row.
TEST(JobRows, TypeTextOfEachConversion) {
  const struct {
    int type;
    int format;
    const char* source;
    int kind;
    const char* text;
  } cases[] = {
      {CONVERT_AVI, 0x200, "/v/a.avi", 0, "AVI Change Codec"},
      {CONVERT_AVI, 0x4000, "/v/a.mpg", 0, "MPEG to AVI"},
      {CONVERT_WMV, 0x200000, "/v/a.wmv", 0, "WMV/ASF Change Profile"},
      {CONVERT_WMV, 0x4000, "/v/a.vob", 0, "MPEG to WMV/ASF"},
      {CONVERT_MPEG, 0x200, "/v/a.avi", 0, "AVI to MPEG I"},
      {CONVERT_MPEG, 0x4000, "/v/a.mpg", 1, "MPEG to MPEG II"},
      {CONVERT_DISC, 0x4000, "/v/a.mpg", 2, "MPEG to VCD"},
      {CONVERT_DISC, 0x4000, "/v/a.mpg", 4, "MPEG to DVD"},
      {CONVERT_DISC, 0x4000, "/v/a.mpg", 7, "MPEG to "},
      {CONVERT_PALNTSC, 0x4000, "/v/a.mpg", 2, "PAL/NTSC Interchange"},
      {CONVERT_3GP, 0x80000, "/v/a.mov", 0, "Quicktime to 3GP"},
      {CONVERT_IPOD, 0x80000, "/my.mov/a", 0, "MP4 to iPod"},
      {CONVERT_FLV, 0x40, "/v/a.mkv", 0, "Matroska to FLV/SWF"},
      {CONVERT_PICTURES_TO_VIDEO, 0, "/v/a.jpg--- etc", 0, "Pictures to AVI"},
  };
  for (const auto& c : cases) {
    CConvertOpt job;
    job.m_nType = c.type;
    job.m_nSourceFormat = c.format;
    job.m_strSource = c.source;
    job.m_nMpegKind = c.kind;
    EXPECT_EQ(JobTypeText(job), c.text) << c.type << " " << c.source;
  }
}

std::vector<std::unique_ptr<CConvertOpt>> BatchOf(std::initializer_list<const char*> targets) {
  std::vector<std::unique_ptr<CConvertOpt>> jobs;
  for (const char* t : targets) {
    jobs.push_back(std::make_unique<CConvertOpt>());
    jobs.back()->m_strSource = "/in/x.mpg";
    jobs.back()->m_strTarget = t;
  }
  return jobs;
}

std::vector<std::string> TargetsOf(const std::vector<std::unique_ptr<CConvertOpt>>& jobs) {
  std::vector<std::string> out;
  for (const auto& j : jobs) out.push_back(j->m_strTarget);
  return out;
}

// A finished batch: the settings of the batch record in every job, PSP
// names counted from the batch's file number inside the chosen folder, and
// the container's extension for SWF and 3G2 batches.
TEST(BatchFinish, SettingsAndNames) {
  const struct {
    int type, profile, codec, number;
    std::vector<std::string> expected;
  } cases[] = {
      {CONVERT_PSP, PROFILE_PSP, 1, 1, {"/out/MAQ00001.mp4", "/out/MAQ00002.mp4", "/out/MAQ00003.mp4"}},
      {CONVERT_PSP, PROFILE_PSP, 0, 1, {"/out/M4V00001.mp4", "/out/M4V00002.mp4", "/out/M4V00003.mp4"}},
      {CONVERT_PSP, PROFILE_PSP, 0, 123456, {"/out/M4V123456.mp4", "/out/M4V123457.mp4", "/out/M4V123458.mp4"}},
      {CONVERT_FLV, 7, 0, 1, {"/out/a_pmr.swf", "/out/b_pmr.swf", "/my.dir/c_pmr.swf"}},
      {CONVERT_FLV, PROFILE_FLV, 0, 1, {"/out/a_pmr.flv", "/out/b_pmr.flv", "/my.dir/c_pmr.flv"}},
      {CONVERT_3GP, PROFILE_3G2, 0, 1, {"/out/a_pmr.3g2", "/out/b_pmr.3g2", "/my.dir/c_pmr.3g2"}},
      {CONVERT_3GP, PROFILE_3GP, 0, 1, {"/out/a_pmr.3gp", "/out/b_pmr.3gp", "/my.dir/c_pmr.3gp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected[0]);
    CConvertOpt batch;
    batch.SetType(c.type);
    batch.m_nProfile = c.profile;
    batch.m_nVideoCodec = c.codec;
    batch.m_nPspFileNumber = c.number;
    batch.m_nVideoBitrate = 777;
    const char* ext = c.type == CONVERT_FLV ? "flv" : c.type == CONVERT_3GP ? "3gp" : "mp4";
    auto jobs = BatchOf({"/out/a_pmr.x", "/out/b_pmr.x", "/my.dir/c_pmr.x"});
    for (auto& j : jobs) j->m_strTarget = PathWithExtension(j->m_strTarget, std::string(".") + ext);
    if (c.type == CONVERT_PSP) jobs[2]->m_strTarget = "/out/c_pmr.mp4";
    FinishBatchJobs(batch, jobs);
    EXPECT_EQ(TargetsOf(jobs), c.expected);
    for (const auto& j : jobs) {
      EXPECT_EQ(j->m_nType, c.type);
      EXPECT_EQ(j->m_nVideoBitrate, 777);
      EXPECT_EQ(j->m_strSource, "/in/x.mpg");
    }
  }
}

// --- Batch list -------------------------------------------------------------

class BatchList : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = Scratch("out") + "/";
    batch_.SetType(CONVERT_MPEG);
    CRegistry key;
    key.Create(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
    key.SetStringValue("Batch Output", out_);
  }
  std::string out_;
  CConvertOpt batch_;
};

TEST_F(BatchList, TargetNames) {
  const struct {
    int type, profile;
    const char* expected;
  } cases[] = {
      {CONVERT_AVI, 0, "/o/clip_pmr.avi"},  {CONVERT_WMV, 0, "/o/clip_pmr.asf"},
      {CONVERT_PALNTSC, 0, "/o/clip_pmr.mpg"}, {CONVERT_3GP, 0, "/o/clip_pmr.3gp"},
      {CONVERT_IPOD, 3, "/o/clip_pmr.mp4"},  {CONVERT_FLV, 6, "/o/clip_pmr.flv"},
      {CONVERT_FLV, 7, "/o/clip_pmr.swf"},  {CONVERT_VIDEO_TO_PICTURES, 0, "/o/clip_pmr."},
  };
  for (const auto& c : cases) {
    CConvertOpt batch;
    batch.m_nType = c.type;
    batch.m_nProfile = c.profile;
    EXPECT_EQ(CDlgBatch::TargetName(batch, "/my.dir/clip.old.vob", "/o/"), std::string(c.expected).replace(
                                                                                 3, 4, "clip.old"))
        << c.type;
  }
}

// Without a folder of the user's the targets go to the home folder, not to
// the program's.
TEST_F(BatchList, StoredFolderFallsBackToTheHomeFolder) {
  const std::string programFolder = std::string(std::getenv("HOME")) + "/";
  const struct {
    const char* stored;
    std::string expected;
  } cases[] = {{"D:", programFolder}, {"", programFolder}, {"/some/where", "/some/where/"},
               {"/some/where/", "/some/where/"}};
  for (const auto& c : cases) {
    CRegistry key;
    key.Create(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
    key.SetStringValue("Batch Output", c.stored);
    EXPECT_EQ(CDlgBatch::StoredFolder(), c.expected) << c.stored;
  }
}

// Three sources of which the first cannot be used: the batch record takes
// the properties of the first one listed; rows show format and size; Next
// names every target in the folder and remembers the folder.
TEST_F(BatchList, AddSourcesAndGoOn) {
  CDlgBatch page;
  page.m_pJob = &batch_;
  ChooserAnswer chooser;
  BoxRecorder boxes;
  const std::string audioOnly = Sample("mpeg-ps-mp2-only.mpg");
  chooser.next = {audioOnly, Sample("vob-ac3.vob"), Sample("mpeg2-ps-mp2.mpg")};
  std::vector<std::string> row0, row1;
  bool progressHidden = false;
  UserDriver user;
  user.On(CDlgBatch::IDD, [&](CDialog& d) {
    Click(&d, 1001);
    auto* list = static_cast<CListCtrl*>(d.GetDlgItem(1064));
    for (int c = 0; c < 3; ++c) row0.push_back(list->GetItemText(0, c));
    for (int c = 0; c < 3; ++c) row1.push_back(list->GetItemText(1, c));
    progressHidden = !d.GetDlgItem(1066)->IsWindowVisible();
    KeepGrab(&d, "batch-list");
    Click(&d, 1007);
  });
  page.DoModal();
  EXPECT_EQ(page.m_nResult, 1);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_NE(boxes.seen[0].text.find(audioOnly), std::string::npos);
  EXPECT_EQ(row0, (std::vector<std::string>{Sample("vob-ac3.vob"), "MPEG", "352*288"}));
  EXPECT_EQ(row1, (std::vector<std::string>{Sample("mpeg2-ps-mp2.mpg"), "MPEG", "176*144"}));
  EXPECT_TRUE(progressHidden);
  EXPECT_EQ(batch_.m_nSourceWidth, 352);
  EXPECT_EQ(batch_.m_nSourceHeight, 288);
  EXPECT_EQ(batch_.m_nSourceFormat, 0x4000);
  EXPECT_EQ(batch_.m_strSourceDescription, "MPEG movie");
  ASSERT_EQ(page.m_jobs.size(), 2u);
  EXPECT_EQ(TargetsOf(page.m_jobs), (std::vector<std::string>{out_ + "vob-ac3_pmr.mpg", out_ + "mpeg2-ps-mp2_pmr.mpg"}));
  EXPECT_EQ(page.m_jobs[1]->m_nSourceWidth, 176);
  EXPECT_NEAR(page.m_jobs[1]->m_fDuration, 2.1, 0.01);
  std::string stored;
  CRegistry key;
  key.Open(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
  key.QueryStringValue("Batch Output", stored);
  EXPECT_EQ(stored, out_);
}

// Next refuses an empty list and an output folder that is not there; Back
// leaves an empty list without a word.
TEST_F(BatchList, NextChecksTheListAndTheFolderBackDoesNot) {
  CDlgBatch page;
  page.m_pJob = &batch_;
  ChooserAnswer chooser;
  BoxRecorder boxes;
  std::vector<int> results;
  UserDriver user;
  user.On(CDlgBatch::IDD, [&](CDialog& d) {
    Click(&d, 1007);
    results.push_back(page.m_nResult);
    chooser.next = {Sample("mpeg2-ps-mp2.mpg")};
    Click(&d, 1001);
    Type(&d, 1067, out_ + "missing");
    Click(&d, 1007);
    results.push_back(page.m_nResult);
    static_cast<CListCtrl*>(d.GetDlgItem(1064))->SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
    Click(&d, 1037);
    Click(&d, 1021);
  });
  page.DoModal();
  EXPECT_EQ(results, (std::vector<int>{3, 3}));
  EXPECT_EQ(page.m_nResult, 0);
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[0].text, "Please add at least one video file to continue!");
  EXPECT_EQ(boxes.seen[1].text, UiLoadString(IDS_NO_OUTPUT_FOLDER));
  EXPECT_TRUE(page.m_jobs.empty());
}

// Rows are moved and removed with their records; Cancel hands back exactly
// the records of the rows left, in their order (each is owned once, so the
// sanitizers see no double free and no leak).
TEST_F(BatchList, CancelHandsBackTheRowsAsTheyAre) {
  CDlgBatch page;
  page.m_pJob = &batch_;
  page.m_jobs = BatchOf({"/o/a", "/o/b", "/o/c"});
  page.m_jobs[0]->m_strSource = "/in/a.mpg";
  page.m_jobs[1]->m_strSource = "/in/b.mpg";
  page.m_jobs[2]->m_strSource = "/in/c.mpg";
  CConvertOpt* kept = page.m_jobs[2].get();
  std::vector<bool> upDown;
  UserDriver user;
  user.On(CDlgBatch::IDD, [&](CDialog& d) {
    auto* list = static_cast<CListCtrl*>(d.GetDlgItem(1064));
    list->SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
    upDown = {d.GetDlgItem(1038)->IsWindowEnabled() != 0, d.GetDlgItem(1039)->IsWindowEnabled() != 0};
    Click(&d, 1037);  // a goes; b is selected
    list->SetItemState(1, LVIS_SELECTED, LVIS_SELECTED);
    list->SetItemState(0, 0, LVIS_SELECTED);
    Click(&d, 1038);  // c moves above b
    Click(&d, IDCANCEL);
  });
  page.DoModal();
  EXPECT_EQ(upDown, (std::vector<bool>{false, true}));
  EXPECT_EQ(page.m_nResult, 3);
  ASSERT_EQ(page.m_jobs.size(), 2u);
  EXPECT_EQ(page.m_jobs[0].get(), kept);
  EXPECT_EQ(page.m_jobs[1]->m_strSource, "/in/b.mpg");
}

// --- The flow ---------------------------------------------------------------

// The type page's Next, and the source page with a typed path.
void ChooseType(UserDriver& user, int button) {
  user.On(CDlgCvtType::IDD, [button](CDialog& d) {
    Click(&d, button);
    Click(&d, 1007);
  });
}
void ChooseSource(UserDriver& user, const std::string& path) {
  user.On(CDlgVideoSource::IDD, [path](CDialog& d) {
    Type(&d, 1031, path);
    Click(&d, 1007);
  });
}
void ClickOn(UserDriver& user, UINT page, int id) {
  user.On(page, [id](CDialog& d) { Click(&d, id); });
}

TEST(JobCreation, CancelOnAnyPageAddsNothing) {
  const std::string source = Sample("mpeg2-ps-mp2.mpg");
  for (int where = 0; where < 3; ++where) {
    SCOPED_TRACE(where);
    UserDriver user;
    if (where == 0) ClickOn(user, CDlgCvtType::IDD, IDCANCEL);
    if (where >= 1) ChooseType(user, kMpegButton);
    if (where == 1) ClickOn(user, CDlgVideoSource::IDD, IDCANCEL);
    if (where >= 2) ChooseSource(user, source);
    if (where == 2) ClickOn(user, CDlgMpegType::IDD, IDCANCEL);
    CJobFlow flow(nullptr);
    EXPECT_EQ(flow.AddJob(), nullptr);
    EXPECT_TRUE(user.Done());
  }
}

// Back from the target page finds the source page as it was left; Back
// from there returns to the type page, where another type lays its
// defaults over the same record.
TEST(JobCreation, BackAndForthKeepsOneRecord) {
  const std::string source = Sample("mpeg2-ps-mp2.mpg");
  const std::string target = Scratch("out") + "/clip.avi";
  std::string shownAgain;
  UserDriver user;
  ChooseType(user, kMpegButton);
  ChooseSource(user, source);
  ClickOn(user, CDlgMpegType::IDD, 1021);
  user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
    shownAgain = TextOf(&d, 1031);
    Click(&d, 1021);
  });
  ChooseType(user, kAviButton);
  user.On(CDlgVideoSource::IDD, [](CDialog& d) { Click(&d, 1007); });
  user.On(CDlgTargetAVI::IDD, [&](CDialog& d) {
    Type(&d, 1022, target);
    Click(&d, 1020);
  });
  CJobFlow flow(nullptr);
  auto job = flow.AddJob();
  ASSERT_NE(job, nullptr);
  EXPECT_TRUE(user.Done());
  EXPECT_EQ(shownAgain, source);
  EXPECT_EQ(job->m_nType, CONVERT_AVI);
  EXPECT_EQ(job->m_nAudioCodec, 1);  // the AVI defaults
  EXPECT_EQ(job->m_strSource, source);
  EXPECT_EQ(job->m_strTarget, target);
  EXPECT_EQ(job->m_nSourceWidth, 176);
}

TEST(JobCreation, BatchCancelAnywhereDropsEveryRecord) {
  const std::string out = Scratch("out") + "/";
  CRegistry key;
  key.Create(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
  key.SetStringValue("Batch Output", out);
  for (int where = 0; where < 3; ++where) {
    SCOPED_TRACE(where);
    ChooserAnswer chooser;
    chooser.next = {Sample("mpeg2-ps-mp2.mpg"), Sample("vob-ac3.vob")};
    UserDriver user;
    ChooseType(user, where == 2 ? kMpegButton : kPspButton);
    ClickOn(user, CDlgBatch::IDD, 1001);
    if (where == 0) ClickOn(user, CDlgBatch::IDD, IDCANCEL);
    if (where >= 1) ClickOn(user, CDlgBatch::IDD, 1007);
    // Back to the list, whose rows come back, and on again.
    const UINT targetPage = where == 2 ? UINT{CDlgMpegType::IDD} : UINT{CDlgTargetPSP::IDD};
    if (where >= 1) ClickOn(user, targetPage, 1021);
    if (where >= 1)
      user.On(CDlgBatch::IDD, [](CDialog& d) {
        EXPECT_EQ(static_cast<CListCtrl*>(d.GetDlgItem(1064))->GetItemCount(), 2);
        Click(&d, 1007);
      });
    if (where >= 1) ClickOn(user, targetPage, IDCANCEL);
    CJobFlow flow(nullptr);
    EXPECT_TRUE(flow.AddBatch().empty());
    EXPECT_TRUE(user.Done());
  }
}

TEST(JobCreation, PicturesHaveNoBatch) {
  ChooserAnswer chooser;
  chooser.next = {Sample("mpeg2-ps-mp2.mpg")};
  UserDriver user;
  // Neither picture type is offered for a batch.
  user.On(CDlgCvtType::IDD, [](CDialog& d) {
    EXPECT_FALSE(d.GetDlgItem(kVideoToPicturesButton)->IsWindowVisible());
    EXPECT_FALSE(d.GetDlgItem(1047)->IsWindowVisible());
    Click(&d, IDCANCEL);
  });
  CJobFlow flow(nullptr);
  EXPECT_TRUE(flow.AddBatch().empty());
  EXPECT_TRUE(user.Done());
}

TEST(JobCreation, FinishedPspBatchIsNumberedInTheChosenFolder) {
  const std::string out = Scratch("out") + "/";
  CRegistry key;
  key.Create(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
  key.SetStringValue("Batch Output", out);
  ChooserAnswer chooser;
  chooser.next = {Sample("mpeg2-ps-mp2.mpg"), Sample("vob-ac3.vob")};
  UserDriver user;
  ChooseType(user, kPspButton);
  ClickOn(user, CDlgBatch::IDD, 1001);
  ClickOn(user, CDlgBatch::IDD, 1007);
  user.On(CDlgTargetPSP::IDD, [](CDialog& d) {
    EXPECT_FALSE(d.GetDlgItem(1031)->IsWindowVisible());
    Click(&d, 1020);
  });
  CJobFlow flow(nullptr);
  auto jobs = flow.AddBatch();
  EXPECT_TRUE(user.Done());
  EXPECT_EQ(TargetsOf(jobs), (std::vector<std::string>{out + "M4V00001.mp4", out + "M4V00002.mp4"}));
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[1]->m_strSource, Sample("vob-ac3.vob"));
  EXPECT_EQ(jobs[1]->m_nType, CONVERT_PSP);
}

// A PSP batch into the folder of a source that has the first job's name:
// that target is the source, refused at once, before any question about
// files it would replace; the target page opens again.
TEST(JobCreation, ABatchTargetThatIsItsSourceIsRefusedBeforeTheQuestion) {
  const std::string out = Scratch("own") + "/";
  std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), out + "M4V00001.mp4");
  std::filesystem::copy_file(Sample("vob-ac3.vob"), out + "M4V00002.mp4");  // a file the second job would replace
  CRegistry key;
  key.Create(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
  key.SetStringValue("Batch Output", out);
  ChooserAnswer chooser;
  chooser.next = {out + "M4V00001.mp4", Sample("vob-ac3.vob")};
  BoxRecorder boxes;
  UserDriver user;
  ChooseType(user, kPspButton);
  ClickOn(user, CDlgBatch::IDD, 1001);
  ClickOn(user, CDlgBatch::IDD, 1007);
  ClickOn(user, CDlgTargetPSP::IDD, 1020);
  ClickOn(user, CDlgTargetPSP::IDD, IDCANCEL);
  CJobFlow flow(nullptr);
  EXPECT_TRUE(flow.AddBatch().empty());
  EXPECT_TRUE(user.Done());
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, UiLoadString(IDS_OUTPUT_IS_SOURCE) + "\n    " + out + "M4V00001.mp4");
}

}  // namespace
