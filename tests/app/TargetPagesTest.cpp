// The target pages through their controls: rounding and range checks, the
// output check, presets and codec rules, notices, PSP names, the Windows
// Media profiles with the runtime there and missing, batch mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/DlgMpegType.h"
#include "app/DlgNotice.h"
#include "app/DlgTarget3GP.h"
#include "app/DlgTargetASF.h"
#include "app/DlgTargetAVI.h"
#include "app/DlgTargetFLV.h"
#include "app/DlgTargetIPod.h"
#include "app/DlgTargetImage.h"
#include "app/DlgTargetMP4.h"
#include "app/DlgTargetPSP.h"
#include "app/DlgVCD.h"
#include "app/TambrelApp.h"
#include "app/TambrelDlg.h"
#include "conversion/GraphConverter.h"
#include "platform/ui/Resource.h"
#include "platform/win32/Module.h"
#include "platform/wmf/ProfileManager.h"
#include "resources/ResourceIds.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

// Runs a target page on the job while `act` does what the user does; a page
// the action leaves open is cancelled afterwards.
template <class Page>
int RunPage(CConvertOpt& job, const std::function<void(CDialog&, Page&)>& act, int batch = 0) {
  Page page;
  page.m_pJob = &job;
  page.m_bBatch = batch;
  UserDriver user;
  user.On(Page::IDD, [&](CDialog& d) {
    act(d, page);
    if (IsWindow(d.m_hWnd) && d.IsWindowVisible()) d.PostMessage(WM_COMMAND, IDCANCEL);
  });
  page.DoModal();
  EXPECT_TRUE(user.Done());
  return page.m_nResult;
}

CConvertOpt JobOf(int type, const std::string& source = Sample("mpeg2-ps-mp2.mpg")) {
  CConvertOpt job;
  job.SetType(type);
  job.m_strSource = source;
  job.m_nSourceWidth = 176;
  job.m_nSourceHeight = 144;
  return job;
}

// Moves the focus out of an edit, as the user's Tab does.
void Leave(CDialog& d, int id, const std::string& text, int next) {
  Type(&d, id, text);
  d.GetDlgItem(next)->SetFocus();
}

// --- The output check -------------------------------------------------------

// The output name of every page is checked before the page closes: a name
// too short, without or with a wrong extension, in a folder that is not
// there, or naming the source itself keeps the page open with its message.
TEST(TargetOutput, BadNamesKeepThePageOpen) {
  const std::string dir = Scratch("out");
  const std::string source = dir + "/source.avi";
  std::filesystem::copy_file(Sample("mpeg2-ps-mp2.mpg"), source);
  const struct {
    std::string output;
    UINT message;
  } cases[] = {
      {"a.avi", IDS_BAD_OUTPUT_NAME},         {dir + "/clip", IDS_BAD_OUTPUT_NAME},
      {dir + "/clip.mpg", IDS_BAD_OUTPUT_NAME}, {dir + "/my.avi/clip", IDS_BAD_OUTPUT_NAME},
      {dir + "/none/clip.avi", IDS_NO_OUTPUT_FOLDER}, {source, IDS_OUTPUT_IS_SOURCE},
      {"", IDS_BAD_OUTPUT_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    CConvertOpt job = JobOf(CONVERT_AVI, source);
    BoxRecorder boxes;
    int whileOpen = -1;
    RunPage<CDlgTargetAVI>(job, [&](CDialog& d, CDlgTargetAVI& page) {
      Type(&d, 1022, c.output);
      Click(&d, 1020);
      whileOpen = page.m_nResult;
    });
    EXPECT_EQ(whileOpen, 3);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, UiLoadString(c.message));
    EXPECT_EQ(job.m_strTarget, "");
  }
}

TEST(TargetOutput, FolderThatTakesNoFiles) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser writes into every folder";
  const std::string dir = Scratch("locked");
  std::filesystem::permissions(dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  CConvertOpt job = JobOf(CONVERT_MP4);
  BoxRecorder boxes;
  RunPage<CDlgTargetMP4>(job, [&](CDialog& d, CDlgTargetMP4&) {
    Type(&d, 1061, dir + "/clip.mp4");
    Click(&d, 1020);
  });
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, UiLoadString(IDS_FOLDER_NOT_WRITABLE));
}

// Six characters are enough; Back with no name leaves without a word, Back
// with a bad name stays.
TEST(TargetOutput, ShortestNameAndBack) {
  const std::string cwd = std::filesystem::current_path().string();
  CConvertOpt job = JobOf(CONVERT_AVI);
  BoxRecorder boxes;
  EXPECT_EQ(RunPage<CDlgTargetAVI>(job, [](CDialog& d, CDlgTargetAVI&) {
              Type(&d, 1022, "ab.avi");
              Click(&d, 1020);
            }),
            2);
  EXPECT_EQ(job.m_strTarget, "ab.avi");
  EXPECT_EQ(RunPage<CDlgTargetAVI>(job, [](CDialog& d, CDlgTargetAVI&) {
              Type(&d, 1022, "");
              Click(&d, 1021);
            }),
            0);
  int whileOpen = -1;
  RunPage<CDlgTargetAVI>(job, [&](CDialog& d, CDlgTargetAVI& page) {
    Type(&d, 1022, "x.avi");
    Click(&d, 1021);
    whileOpen = page.m_nResult;
  });
  EXPECT_EQ(whileOpen, 3);
  EXPECT_EQ(boxes.seen.size(), 1u);
}

// --- Numbers ----------------------------------------------------------------

struct NumberCase {
  int type;
  int field;
  const char* typed;
  const char* message;  // part of the refusal; empty: accepted
};

// Every numeric field refuses text that is no number and values outside
// its range, and keeps the page open.
TEST(TargetNumbers, OutOfRangeAndNonNumericEntriesAreRefused) {
  const std::string dir = Scratch("out");
  const NumberCase cases[] = {
      {CONVERT_AVI, 1068, "abc", "integer"},      {CONVERT_AVI, 1068, "5000", "between 0 and 4096"},
      {CONVERT_AVI, 1085, "4.9", "between 5 and 30"}, {CONVERT_AVI, 1085, "x", "number"},
      {CONVERT_MPEG, 1068, "99", "between 100 and 1600"}, {CONVERT_MPEG, 1069, "1601", "between 100 and 1600"},
      {CONVERT_3GP, 1068, "803", "between 10 and 800"}, {CONVERT_3GP, 1069, "9", "between 10 and 600"},
      {CONVERT_MP4, 1068, "100", "between 160 and 1600"}, {CONVERT_MP4, 1069, "1300", "between 120 and 1200"},
      {CONVERT_FLV, 1068, "2000", "between 160 and 1600"}, {CONVERT_PSP, 1034, "61", "between 0 and 60"},
      {CONVERT_PSP, 1072, "0", "between 1 and 90000"}, {CONVERT_PSP, 1072, "90001", "between 1 and 90000"},
      {CONVERT_VIDEO_TO_PICTURES, 1044, "49", "between 50 and 30000"},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.field) + " " + c.typed);
    CConvertOpt job = JobOf(c.type);
    job.m_strTarget = dir + (c.type == CONVERT_MPEG ? "/c.mpg" : c.type == CONVERT_AVI ? "/c.avi" : "/c.mp4");
    if (c.type == CONVERT_3GP) job.m_strTarget = dir + "/c.3gp";
    if (c.type == CONVERT_FLV) job.m_strTarget = dir + "/c.flv";
    job.m_strPictureFolder = dir;
    BoxRecorder boxes;
    int whileOpen = -1;
    auto act = [&](CDialog& d, CDlgTargetPage& page) {
      Type(&d, c.field, c.typed);
      Click(&d, c.type == CONVERT_VIDEO_TO_PICTURES ? IDOK : 1020);
      whileOpen = page.m_nResult;
    };
    switch (c.type) {
      case CONVERT_AVI: RunPage<CDlgTargetAVI>(job, act); break;
      case CONVERT_MPEG: RunPage<CDlgMpegType>(job, act); break;
      case CONVERT_3GP: RunPage<CDlgTarget3GP>(job, act); break;
      case CONVERT_MP4: RunPage<CDlgTargetMP4>(job, act); break;
      case CONVERT_FLV: RunPage<CDlgTargetFLV>(job, act); break;
      case CONVERT_PSP: RunPage<CDlgTargetPSP>(job, act); break;
      default: RunPage<CDlgTargetImage>(job, act); break;
    }
    EXPECT_EQ(whileOpen, 3);
    ASSERT_FALSE(boxes.seen.empty());
    EXPECT_NE(boxes.seen[0].text.find(c.message), std::string::npos) << boxes.seen[0].text;
  }
}

// Sizes are brought to the steps each page asks for: on Finish for AVI
// (nearest 4) and MPEG (next 8), when the field is left for 3GP (nearest 4)
// and MP4 and FLV (16, a remainder of 4 or more going up).
TEST(TargetNumbers, PictureSizesComeToTheirSteps) {
  const std::string dir = Scratch("out");
  const struct {
    int type;
    const char* typed;
    const char* shown;
  } cases[] = {
      {CONVERT_AVI, "322", "324"}, {CONVERT_AVI, "321", "320"}, {CONVERT_AVI, "318", "320"},
      {CONVERT_MPEG, "352", "352"}, {CONVERT_MPEG, "350", "352"}, {CONVERT_MPEG, "353", "360"},
      {CONVERT_3GP, "322", "324"}, {CONVERT_MP4, "322", "320"},  {CONVERT_MP4, "324", "336"},
      {CONVERT_FLV, "324", "336"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.typed);
    CConvertOpt job = JobOf(c.type);
    std::string shown;
    auto act = [&](CDialog& d, CDlgTargetPage&) {
      if (c.type == CONVERT_AVI || c.type == CONVERT_MPEG) {
        Type(&d, 1068, c.typed);
        Type(&d, c.type == CONVERT_AVI ? 1022 : 1061, dir + (c.type == CONVERT_AVI ? "/c.avi" : "/c.mpg"));
        Click(&d, 1020);
      } else {
        Leave(d, 1068, c.typed, 1069);
      }
      shown = TextOf(&d, 1068);
    };
    switch (c.type) {
      case CONVERT_AVI: RunPage<CDlgTargetAVI>(job, act); break;
      case CONVERT_MPEG: RunPage<CDlgMpegType>(job, act); break;
      case CONVERT_3GP: RunPage<CDlgTarget3GP>(job, act); break;
      case CONVERT_MP4: RunPage<CDlgTargetMP4>(job, act); break;
      default: RunPage<CDlgTargetFLV>(job, act); break;
    }
    EXPECT_EQ(shown, c.shown);
    if (c.type == CONVERT_AVI || c.type == CONVERT_MPEG) {
      EXPECT_EQ(std::to_string(job.m_nWidth), c.shown);
    }
  }
}

// An AVI frame rate the page takes but the AVI writer cannot: the job fails
// with the reason instead of writing a movie that plays too fast.
TEST(TargetNumbers, AviRateBelowTheWritersFailsTheJobWithItsReason) {
  const std::string dir = Scratch("out");
  CConvertOpt* job = new CConvertOpt(JobOf(CONVERT_AVI));
  BoxRecorder boxes;
  EXPECT_EQ(RunPage<CDlgTargetAVI>(*job, [&](CDialog& d, CDlgTargetAVI&) {
              Type(&d, 1085, "6");
              Type(&d, 1022, dir + "/slow.avi");
              Click(&d, 1020);
            }),
            2);
  CTambrelDlg main;
  main.AddJob(job);
  ASSERT_TRUE(main.Create(CTambrelDlg::IDD));
  main.ShowWindow(SW_SHOW);
  // The run ends with the log of its failures.
  std::string log;
  UserDriver user;
  user.On(IDD_LOG, [&](CDialog& d) {
    log = TextOf(&d, 1086);
    Click(&d, IDOK);
  });
  Click(&main, 1002);
  ASSERT_TRUE(WaitFor([&] { return !main.IsConverting() && user.Done(); }, 120));
  EXPECT_NE(log.find("Muxer refused the frame rate 600/100"), std::string::npos) << log;
  EXPECT_EQ(main.GetJobStatus(0), kJobFailed);
  EXPECT_NE(main.GetRunLog().find("Muxer refused the frame rate 600/100"), std::string::npos) << main.GetRunLog();
  main.DestroyWindow();
}

// --- MPEG and discs ---------------------------------------------------------

TEST(DiscPage, KindsSizesAndSplits) {
  const std::string out = Scratch("out") + "/disc.mpg";
  const struct {
    int kind;  // radio 1050 + kind
    int ntsc;
    bool larger;
    const char* sizes[2];
    int width, height;
    double rate;
  } cases[] = {
      {0, 0, false, {"352 X 288", "704 X 576"}, 352, 288, 25.0},
      {0, 1, true, {"352 X 240", "704 X 480"}, 704, 480, 29.97},
      {1, 0, false, {"480 X 576", "704 X 576"}, 480, 576, 25.0},
      {2, 1, false, {"720 X 480", ""}, 720, 480, 29.97},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind * 10 + c.ntsc);
    CConvertOpt job = JobOf(CONVERT_PALNTSC);
    std::string description, sizes[2];
    bool largerShown = true;
    EXPECT_EQ(RunPage<CDlgVCD>(job,
                               [&](CDialog& d, CDlgVCD&) {
                                 Click(&d, 1050 + c.kind);
                                 Click(&d, 1054 + c.ntsc);
                                 description = TextOf(&d, 1017);
                                 sizes[0] = TextOf(&d, 1056);
                                 sizes[1] = TextOf(&d, 1057);
                                 largerShown = d.GetDlgItem(1057)->IsWindowVisible();
                                 if (c.larger) Click(&d, 1057);
                                 Choose(&d, 1003, "728 MB");
                                 Type(&d, 1061, out);
                                 Click(&d, 1020);
                               }),
              2);
    EXPECT_EQ(description, UiLoadString(IDS_DISC_VCD + c.kind));
    EXPECT_EQ(sizes[0], c.sizes[0]);
    if (c.kind < 2) {
      EXPECT_EQ(sizes[1], c.sizes[1]);
    }
    EXPECT_EQ(largerShown, c.kind < 2);
    EXPECT_EQ(job.m_nType, CONVERT_PALNTSC);  // a PAL/NTSC change stays one
    EXPECT_EQ(job.m_nMpegKind, c.kind + 2);
    EXPECT_EQ(job.m_nTvStandard, c.ntsc);
    EXPECT_EQ(job.m_nWidth, c.width);
    EXPECT_EQ(job.m_nHeight, c.height);
    EXPECT_DOUBLE_EQ(job.m_dFrameRate, c.rate);
    EXPECT_EQ(job.m_nSplitIndex, 2);
  }
}

TEST(DiscPage, OneFileResetsTheSplit) {
  const std::string out = Scratch("out") + "/disc.mpg";
  CConvertOpt job = JobOf(CONVERT_DISC);
  job.m_nSplitIndex = 4;
  bool enabled = true;
  std::string shown;
  RunPage<CDlgVCD>(job, [&](CDialog& d, CDlgVCD&) {
    Click(&d, 1004);
    enabled = d.GetDlgItem(1003)->IsWindowEnabled();
    shown = TextOf(&d, 1003);
    Type(&d, 1061, out);
    Click(&d, 1020);
  });
  EXPECT_FALSE(enabled);
  EXPECT_EQ(shown, "No split");
  EXPECT_EQ(job.m_bNoSplit, 1);
  EXPECT_EQ(job.m_nSplitIndex, 0);
}

TEST(MpegPage, EmptyOutputAndTheChosenRate) {
  const std::string out = Scratch("out") + "/clip.mpeg";
  CConvertOpt job = JobOf(CONVERT_MPEG);
  BoxRecorder boxes;
  EXPECT_EQ(RunPage<CDlgMpegType>(job,
                                  [&](CDialog& d, CDlgMpegType&) {
                                    Type(&d, 1061, " ");
                                    Click(&d, 1020);
                                    Click(&d, 1053);
                                    Choose(&d, 1090, "59.94 fps");
                                    Type(&d, 1061, out);
                                    Click(&d, 1020);
                                  }),
            2);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, UiLoadString(IDS_NO_OUTPUT_NAME));
  EXPECT_EQ(job.m_nMpegKind, 1);
  EXPECT_EQ(job.m_nMpegRateNum, 60000);
  EXPECT_EQ(job.m_nMpegRateDen, 1001);
  EXPECT_EQ(job.m_nWidth, 176);
  EXPECT_EQ(job.m_strTarget, out);
}

// --- 3GP, PSP, iPod, MP4, FLV ---------------------------------------------

TEST(PhonePage, PresetsCodecRulesAndTheNotice) {
  const std::string dir = Scratch("out");
  const struct {
    const char* preset;  // empty: keep the page's values
    const char* size[2];
    bool stereo;
    DWORD showOnce;
    int codec, audio, channels, rate;
    bool notice;
  } cases[] = {
      // The most compatible settings need no notice.
      {"10. Low Quality 176 * 144 64kbps mono", {nullptr, nullptr}, false, 0, 1, 0, 1, 8000, false},
      {"13. Medium Quality 128 * 96 128kbps mono", {nullptr, nullptr}, false, 0, 1, 1, 1, 16000, true},
      // H.263 has no 320 x 240: MPEG-4 is written instead.
      {"4. High Quality 176 * 144 192kbps stereo", {"320", "240"}, true, 0, 0, 2, 2, 32000, true},
      {"4. High Quality 176 * 144 192kbps stereo", {nullptr, nullptr}, true, 1, 1, 2, 2, 32000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preset);
    CConvertOpt job = JobOf(CONVERT_3GP);
    const DWORD saved = g_dw3gpShowOnce;
    g_dw3gpShowOnce = c.showOnce;
    bool notice = false;
    CDlgTarget3GP page;
    page.m_pJob = &job;
    UserDriver user;
    user.On(CDlgTarget3GP::IDD, [&](CDialog& d) {
      Choose(&d, 1090, c.preset);
      if (c.size[0]) {
        Type(&d, 1068, c.size[0]);
        Type(&d, 1069, c.size[1]);
      }
      Click(&d, 1027);
      Type(&d, 1061, dir + "/phone.3g2");
      Click(&d, 1020);
    });
    user.On(CDlg3GPInfo::IDD, [&](CDialog& d) {
      notice = true;
      Click(&d, IDOK);
    });
    page.DoModal();
    g_dw3gpShowOnce = saved;
    EXPECT_EQ(page.m_nResult, 2);
    EXPECT_EQ(notice, c.notice);
    EXPECT_EQ(job.m_nVideoCodec, c.codec);
    EXPECT_EQ(job.m_nAudioCodec, c.audio);
    EXPECT_EQ(job.m_nChannels, c.channels);
    EXPECT_EQ(job.m_nSampleRate, c.rate);
    EXPECT_EQ(job.m_nProfile, PROFILE_3G2);
    EXPECT_EQ(job.m_strTarget, dir + "/phone.3g2");
  }
}

TEST(PhonePage, ContainerRadiosChangeTheExtension) {
  CConvertOpt job = JobOf(CONVERT_3GP);
  std::vector<std::string> shown;
  RunPage<CDlgTarget3GP>(job, [&](CDialog& d, CDlgTarget3GP&) {
    shown.push_back(TextOf(&d, 1061));
    Click(&d, 1027);
    shown.push_back(TextOf(&d, 1061));
    Type(&d, 1061, "");
    Click(&d, 1026);
    shown.push_back(TextOf(&d, 1061));
  });
  const std::string base = Sample("mpeg2-ps-mp2_pmr");
  EXPECT_EQ(shown, (std::vector<std::string>{base + ".3gp", base + ".3g2", base + ".3gp"}));
}

TEST(PspPage, NamesThumbnailAndSize) {
  const std::string dir = Scratch("out");
  CConvertOpt job = JobOf(CONVERT_PSP);
  std::vector<std::string> shown;
  EXPECT_EQ(RunPage<CDlgTargetPSP>(job,
                                   [&](CDialog& d, CDlgTargetPSP&) {
                                     shown.push_back(TextOf(&d, 1031));
                                     Choose(&d, 1022, "MAQ00001.mp4");
                                     shown.push_back(TextOf(&d, 1031));
                                     Type(&d, 1031, dir + "/M4V00042.mp4");
                                     Choose(&d, 1022, "MAQ00001.mp4");
                                     shown.push_back(TextOf(&d, 1031));
                                     Choose(&d, 1050, "368 * 208");
                                     Click(&d, 1033);
                                     Type(&d, 1072, "42");
                                     Click(&d, 1020);
                                   }),
            2);
  const std::string folder = std::filesystem::path(Sample("x")).parent_path().string() + "/";
  EXPECT_EQ(shown, (std::vector<std::string>{folder + "M4V00001.mp4", folder + "MAQ00001.mp4",
                                             dir + "/MAQ00042.mp4"}));
  EXPECT_EQ(job.m_strTarget, dir + "/MAQ00042.mp4");
  EXPECT_EQ(job.m_nWidth, 368);
  EXPECT_EQ(job.m_nHeight, 208);
  EXPECT_EQ(job.m_nSampleRate, 48000);
  EXPECT_FLOAT_EQ(job.m_fThumbTime, -1.0f);
  EXPECT_EQ(job.m_nPspFileNumber, 42);
  EXPECT_EQ(job.m_nAudioCodec, 0);
}

// H.264 at 640 x 480 with the "2048kbps" item: the iPod notice comes and
// 1500 is written; once the notice is not to be shown again, the page
// refuses the rate instead.
TEST(IpodPage, RateLimitsAndContainer) {
  const std::string dir = Scratch("out");
  for (DWORD showOnce : {0u, 1u}) {
    SCOPED_TRACE(showOnce);
    CConvertOpt job = JobOf(CONVERT_IPOD);
    const DWORD saved = g_dwIPodShowOnce;
    g_dwIPodShowOnce = showOnce;
    BoxRecorder boxes;
    bool notice = false;
    std::string output;
    CDlgTargetIPod page;
    page.m_pJob = &job;
    UserDriver user;
    user.On(CDlgTargetIPod::IDD, [&](CDialog& d) {
      Choose(&d, 1090, "12.H264: High Quality 640*480 1500kbps, Audio 160kbps Stereo");
      Choose(&d, 1018, "2048kbps");
      Type(&d, 1061, dir + "/clip.mp4");
      Click(&d, 1046);
      output = TextOf(&d, 1061);
      Click(&d, 1020);
      if (IsWindow(d.m_hWnd) && d.IsWindowVisible()) Click(&d, IDCANCEL);
    });
    user.On(CDlgIPodInfo::IDD, [&](CDialog& d) {
      notice = true;
      Click(&d, IDOK);
    });
    page.DoModal();
    g_dwIPodShowOnce = saved;
    EXPECT_EQ(output, dir + "/clip.mov");
    EXPECT_EQ(notice, showOnce == 0);
    if (showOnce) {
      EXPECT_EQ(page.m_nResult, 3);
      ASSERT_EQ(boxes.seen.size(), 1u);
      EXPECT_EQ(boxes.seen[0].text, "Bitrate is too large for this video dimension and video codec\n");
    } else {
      EXPECT_EQ(page.m_nResult, 2);
      EXPECT_EQ(job.m_nVideoBitrate, 1500);
      EXPECT_EQ(job.m_nVideoCodec, 2);
      EXPECT_EQ(job.m_nProfile, PROFILE_MP4);  // MOV
      EXPECT_EQ(job.m_nWidth, 640);
    }
  }
  EXPECT_TRUE(CDlgTargetIPod::RateTooLarge(320, 0, 1024));
  EXPECT_FALSE(CDlgTargetIPod::RateTooLarge(320, 0, 768));
  EXPECT_TRUE(CDlgTargetIPod::RateTooLarge(160, 0, 512));
  EXPECT_FALSE(CDlgTargetIPod::RateTooLarge(640, 0, 2048));
  EXPECT_FALSE(CDlgTargetIPod::RateTooLarge(640, 1, 1500));
  EXPECT_EQ(CDlgTargetIPod::CappedRate(320, 0, 1500), 768);
  EXPECT_EQ(CDlgTargetIPod::CappedRate(160, 0, 1024), 384);
  EXPECT_EQ(CDlgTargetIPod::CappedRate(640, 1, 2048), 1500);
}

TEST(FlashPage, TheContainerChoiceReachesTheJobAtOnce) {
  CConvertOpt job = JobOf(CONVERT_FLV);
  std::vector<int> profiles;
  std::string output;
  RunPage<CDlgTargetFLV>(job, [&](CDialog& d, CDlgTargetFLV&) {
    Click(&d, 1074);
    profiles.push_back(job.m_nProfile);
    output = TextOf(&d, 1061);
    Click(&d, 1073);
    profiles.push_back(job.m_nProfile);
    Click(&d, IDCANCEL);
  });
  EXPECT_EQ(profiles, (std::vector<int>{7, 6}));
  EXPECT_EQ(output, Sample("mpeg2-ps-mp2_pmr.swf"));
}

// --- Windows Media and still pictures -------------------------------------

TEST(WindowsMediaPage, ProfileChoiceAndTheRuntime) {
  const std::string out = Scratch("out") + "/clip.wmv";
  // The runtime's list: the last "1500" profile is chosen for a new job.
  CConvertOpt job = JobOf(CONVERT_WMV);
  std::string chosen;
  EXPECT_EQ(RunPage<CDlgTargetASF>(job,
                                   [&](CDialog& d, CDlgTargetASF&) {
                                     chosen = TextOf(&d, 1006);
                                     Type(&d, 1061, out);
                                     Click(&d, IDOK);
                                   }),
            2);
  EXPECT_NE(chosen.find("1500"), std::string::npos);
  EXPECT_EQ(job.m_nWmProfile, 4);
  EXPECT_EQ(job.m_nType, CONVERT_WMV);

  // Without "1500" or "768" in any name, the first.
  auto saved = std::move(g_WMProfiles);
  g_WMProfiles.clear();
  for (const char* name : {"alpha", "beta"}) {
    WMProfileEntry entry;
    entry.profile = saved[0].profile;
    entry.name = name;
    g_WMProfiles.push_back(entry);
  }
  EXPECT_EQ(CDlgTargetASF::DefaultProfile(-1), 0);
  EXPECT_EQ(CDlgTargetASF::DefaultProfile(1), 1);
  g_WMProfiles = std::move(saved);

  // A runtime that cannot make a writer: the page says so and stays open.
  RegisterBuiltinModule("WMVCore.dll", {{"WMCreateProfileManager", 0,
                                         reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&WMCreateProfileManager))}});
  BoxRecorder boxes;
  int whileOpen = -1;
  RunPage<CDlgTargetASF>(job, [&](CDialog& d, CDlgTargetASF& page) {
    Click(&d, IDOK);
    whileOpen = page.m_nResult;
  });
  RegisterBuiltinModule("WMVCore.dll",
                        {{"WMCreateProfileManager", 0,
                          reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&WMCreateProfileManager))},
                         {"WMCreateWriter", 0, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&WMCreateWriter))}});
  EXPECT_EQ(whileOpen, 3);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, UiLoadString(IDS_WM_UNAVAILABLE));
}

TEST(PicturesPage, FolderAndInterval) {
  const std::string dir = Scratch("out");
  const struct {
    std::string folder;
    int result;
    size_t boxes;
  } cases[] = {{"", 0, 0}, {dir + "/none", 3, 1}, {dir + "/", 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    CConvertOpt job = JobOf(CONVERT_VIDEO_TO_PICTURES);
    BoxRecorder boxes;
    int whileOpen = -1;
    RunPage<CDlgTargetImage>(job, [&](CDialog& d, CDlgTargetImage& page) {
      Type(&d, 1044, "250");
      Type(&d, 1061, c.folder);
      Click(&d, IDOK);
      whileOpen = page.m_nResult;
    });
    EXPECT_EQ(whileOpen, c.result);
    EXPECT_EQ(boxes.seen.size(), c.boxes);
    if (c.result == 2) {
      EXPECT_EQ(job.m_strPictureFolder, dir + "/");
      EXPECT_EQ(job.m_strTarget, dir + "/");
      EXPECT_FLOAT_EQ(job.m_fPictureInterval, 250.0f);
      EXPECT_EQ(job.m_nType, CONVERT_VIDEO_TO_PICTURES);
    }
  }
}

// A folder holding a file of the pictures' names: asked once whether it
// goes (No keeps the page open); a link to the source is never offered.
TEST(PicturesPage, TakenPictureNamesAreReplacedOnlyWhenTheUserSaysSo) {
  const std::string dir = Scratch("taken");
  std::filesystem::create_directories(dir);
  std::filesystem::remove(dir + "/img_2.jpg");
  std::ofstream(dir + "/img_1.jpg") << "the user's own file";
  for (const int step : {0, 1, 2}) {  // No, Yes, and Yes with img_2.jpg leading to the source
    if (step == 2) std::filesystem::create_symlink(Sample("mpeg2-ps-mp2.mpg"), dir + "/img_2.jpg");
    CConvertOpt job = JobOf(CONVERT_VIDEO_TO_PICTURES);
    job.m_fDuration = 2;
    std::vector<std::string> boxes;
    UiSetMessageBoxHook([&](const std::string& text, const std::string&, UINT) {
      boxes.push_back(text);
      return step == 0 ? IDNO : IDYES;
    });
    int whileOpen = -1;
    RunPage<CDlgTargetImage>(job, [&](CDialog& d, CDlgTargetImage& page) {
      Type(&d, 1061, dir);
      Click(&d, IDOK);
      whileOpen = page.m_nResult;
    });
    UiSetMessageBoxHook(nullptr);
    EXPECT_EQ(whileOpen, step == 1 ? 2 : 3);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(step == 2 ? "img_2.jpg: it is the source file" : "img_1.jpg is already in this folder"),
              std::string::npos) << boxes[0];
    EXPECT_EQ(job.m_bReplacePictures, step == 1 ? 1 : 0);
  }
}

// --- Batch mode -------------------------------------------------------------

TEST(BatchMode, OutputHiddenAndTheWindowShorter) {
  const struct {
    int type;
    int output;
    int shrink;
  } cases[] = {{CONVERT_AVI, 1022, 30}, {CONVERT_MP4, 1061, 20}, {CONVERT_WMV, 1061, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    CConvertOpt job = JobOf(c.type);
    int heights[2] = {0, 0}, backTops[2] = {0, 0};
    bool hidden = false;
    for (int batch = 0; batch < 2; ++batch) {
      auto act = [&](CDialog& d, CDlgTargetPage&) {
        CRect rc;
        d.GetClientRect(&rc);
        heights[batch] = rc.Height();
        d.GetDlgItem(1021)->GetWindowRect(&rc);
        d.ScreenToClient(&rc);
        backTops[batch] = rc.top;
        if (batch) hidden = !d.GetDlgItem(c.output)->IsWindowVisible() && !d.GetDlgItem(1023)->IsWindowVisible();
        if (batch) KeepGrab(&d, "batch-target-" + std::to_string(c.type));
      };
      if (c.type == CONVERT_AVI) RunPage<CDlgTargetAVI>(job, act, batch);
      if (c.type == CONVERT_MP4) RunPage<CDlgTargetMP4>(job, act, batch);
      if (c.type == CONVERT_WMV) RunPage<CDlgTargetASF>(job, act, batch);
    }
    EXPECT_TRUE(hidden);
    EXPECT_EQ(heights[0] - heights[1], c.shrink);
    EXPECT_EQ(backTops[0] - backTops[1], c.shrink);
  }
}

}  // namespace
