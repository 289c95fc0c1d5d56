// The conversion-type page, the video source page with its movie preview,
// and the picture-list page, driven through their controls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/DlgCvtType.h"
#include "app/DlgImageSource.h"
#include "app/DlgVideoSource.h"
#include "app/MediaPlayer2.h"
#include "app/SourceProbe.h"
#include "app/DlgNotice.h"
#include "app/TambrelApp.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/SpinButtonCtrl.h"
#include "platform/win32/Registry.h"
#include "splitters/realmedia/RealCodecLibrary.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

constexpr int kTypeButtons[] = {1006, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015, 1019, 1000, 1047};

// --- Conversion-type page -------------------------------------------------

// Every type opens with its own button checked and its own description; a
// click on another button shows that one's, and Next answers it.
TEST(ConvertTypePage, EachTypeShowsItsDescriptionAndNextAnswersIt) {
  const UINT strings[] = {132, 133, 134, 135, 136, 137, 138, 145, 139, 140, 142, 141};
  for (int type = 0; type < CONVERT_TYPE_COUNT; ++type) {
    SCOPED_TRACE(type);
    CConvertOpt job;
    job.SetType(type);
    CDlgCvtType page;
    page.m_pJob = &job;
    const int other = (type + 5) % CONVERT_TYPE_COUNT;
    std::string shownFirst, shownAfter;
    int checkedFirst = -1;
    UserDriver user;
    user.On(CDlgCvtType::IDD, [&](CDialog& d) {
      for (int i = 0; i < CONVERT_TYPE_COUNT; ++i)
        if (d.IsDlgButtonChecked(kTypeButtons[i])) checkedFirst = i;
      shownFirst = TextOf(&d, 1017);
      Click(&d, kTypeButtons[other]);
      shownAfter = TextOf(&d, 1017);
      Click(&d, 1007);
    });
    EXPECT_EQ(page.DoModal(), IDOK);
    EXPECT_EQ(checkedFirst, type);
    EXPECT_EQ(shownFirst, UiLoadString(strings[type]));
    EXPECT_FALSE(shownFirst.empty());
    EXPECT_EQ(shownAfter, UiLoadString(strings[other]));
    EXPECT_EQ(page.m_nType, other);
    // The page writes nothing into the job.
    EXPECT_EQ(job.m_nType, type);
  }
}

// A batch has no picture types: both are hidden, and Next with one still
// chosen says so and keeps the page open.
TEST(ConvertTypePage, BatchHidesThePictureTypes) {
  CConvertOpt job;
  job.SetType(CONVERT_VIDEO_TO_PICTURES);
  CDlgCvtType page;
  page.m_pJob = &job;
  page.m_bBatch = 1;
  bool hidden = false;
  BoxRecorder boxes;
  UserDriver user;
  user.On(CDlgCvtType::IDD, [&](CDialog& d) {
    hidden = !d.GetDlgItem(1000)->IsWindowVisible() && !d.GetDlgItem(1047)->IsWindowVisible();
    KeepGrab(&d, "convert-type-batch");
    Click(&d, 1007);
    EXPECT_TRUE(d.IsWindowVisible());
    Click(&d, 1006);
    Click(&d, 1007);
  });
  EXPECT_EQ(page.DoModal(), IDOK);
  EXPECT_TRUE(hidden);
  EXPECT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(page.m_nType, CONVERT_AVI);
}

TEST(ConvertTypePage, UnknownTypeOpensWithNothingChosen) {
  CConvertOpt job;
  job.m_nType = 12;
  CDlgCvtType page;
  page.m_pJob = &job;
  int checked = 0;
  std::string description = "x";
  UserDriver user;
  user.On(CDlgCvtType::IDD, [&](CDialog& d) {
    for (int id : kTypeButtons) checked += d.IsDlgButtonChecked(id) ? 1 : 0;
    description = TextOf(&d, 1017);
    Click(&d, IDCANCEL);
  });
  EXPECT_EQ(page.DoModal(), IDCANCEL);
  EXPECT_EQ(checked, 0);
  EXPECT_EQ(description, "");
}

// --- Video source page ------------------------------------------------------

struct ProbeCase {
  const char* sample;
  int format;
  const char* description;
  const char* info;  // the information text
  int width, height;
  double frameRate;
};

// What the page shows and keeps of a movie chosen with Browse.
TEST(VideoSourcePage, BrowseShowsWhatTheProbeFound) {
  const ProbeCase cases[] = {
      {"mpeg2-ps-mp2.mpg", 0x4000, "MPEG movie",
       "Video Format:-> MPEG-2\nDuration :->2.10;\nFrame Rate:->25.00 fps\nAudio Format:->MPEG Audio - "
       "0x50;\nAudio Freq:->48000 Hz;\nAudio Channels :->2;\nDimension:->176*144;\n",
       176, 144, 25.0},
      {"vob-ac3.vob", 0x4000, "MPEG movie",
       "Video Format:-> MPEG-2\nDuration :->1.00;\nFrame Rate:->25.00 fps\nAudio Format:->Dolby AC3 - "
       "0x2000;\nAudio Freq:->48000 Hz;\nAudio Channels :->6;\nDimension:->352*288;\n",
       352, 288, 25.0},
      // The stream's own 25 frames/s, not its 51 data packets over 2 s.
      {"asf-wmv2-wmav2.wmv", 0x200000, "Windows Media Stream(WMV/ASF)",
       "Video Format:-> wmv2\nDuration :->2.00;\nFrame Rate:->25.00 fps\nAudio Format:->Windows Media Audio V8;\n"
       "Audio Freq:->44100 Hz;\nAudio Channels :->2;\nDimension:->176*144;\n",
       176, 144, 25.0},
  };

  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.sample);
    CConvertOpt job;
    job.SetType(CONVERT_MPEG);
    CDlgVideoSource page;
    page.m_pJob = &job;
    ChooserAnswer chooser;
    chooser.next = {Sample(c.sample)};
    std::string format, info, edit;
    UserDriver user;
    user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
      Click(&d, 1023);
      format = TextOf(&d, 1063);
      info = TextOf(&d, 1017);
      edit = TextOf(&d, 1031);
      Click(&d, 1007);
    });
    page.DoModal();
    EXPECT_EQ(page.m_nResult, 1);
    EXPECT_EQ(format, c.description);
    EXPECT_EQ(info, c.info);
    EXPECT_EQ(edit, Sample(c.sample));
    EXPECT_EQ(job.m_strSource, Sample(c.sample));
    EXPECT_EQ(job.m_nSourceFormat, c.format);
    EXPECT_EQ(job.m_strSourceDescription, c.description);
    EXPECT_EQ(job.m_strSourceInfo, c.info);
    EXPECT_EQ(job.m_nSourceWidth, c.width);
    EXPECT_EQ(job.m_nSourceHeight, c.height);
    EXPECT_DOUBLE_EQ(job.m_dFrameRate, c.frameRate);
    ASSERT_FALSE(chooser.filters.empty());
    EXPECT_EQ(chooser.filters[0].rfind("All Supported(", 0), 0u);
  }
}

// A path typed into the page that cannot serve as a source: the page says
// why and stays open; the job keeps its source fields.
TEST(VideoSourcePage, BadSourcesAreRefusedAndThePageStaysOpen) {
  const std::string dir = Scratch("bad");
  const std::string text = dir + "/notes.dat";
  std::ofstream(text) << "not a movie at all\n";
  const std::string empty = dir + "/empty.mpg";
  std::ofstream(empty).flush();
  // The first 5000 bytes of a movie: too little to find its streams.
  const std::string cut = dir + "/cut.mpg";
  {
    std::ifstream in(Sample("mpeg2-ps-mp2.mpg"), std::ios::binary);
    std::string head(5000, '\0');
    in.read(head.data(), 5000);
    std::ofstream(cut, std::ios::binary) << head;
  }
  const struct {
    std::string path;
    UINT message;
  } cases[] = {
      {dir + "/missing.mpg", IDS_SOURCE_NOT_FOUND},
      {"", IDS_NO_SOURCE},
      {dir, IDS_SOURCE_IS_FOLDER},
      {"/dev/zero", IDS_SOURCE_IS_FOLDER},
      {text, IDS_PROBE_FAILED},
      {empty, IDS_PROBE_FAILED},
      {cut, IDS_PROBE_FAILED},
      {Sample("mpeg-ps-mp2-only.mpg"), IDS_NO_VIDEO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    CConvertOpt job;
    job.SetType(CONVERT_MPEG);
    CDlgVideoSource page;
    page.m_pJob = &job;
    BoxRecorder boxes;
    int resultWhileOpen = -1;
    UserDriver user;
    user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
      Type(&d, 1031, c.path);
      Click(&d, 1007);
      resultWhileOpen = page.m_nResult;
      Click(&d, IDCANCEL);
    });
    page.DoModal();
    EXPECT_TRUE(user.Done());
    EXPECT_EQ(resultWhileOpen, 3);
    ASSERT_EQ(boxes.seen.size(), 1u);
    // The probe's own reason may follow the message.
    EXPECT_EQ(boxes.seen[0].text.rfind(UiLoadString(c.message), 0), 0u) << boxes.seen[0].text;
    EXPECT_EQ(page.m_nResult, 3);
    EXPECT_EQ(job.m_strSource, "");
    EXPECT_EQ(job.m_nSourceFormat, 0);
  }
}

// A typed path is probed by Next, and what the probe found (not what an
// earlier Browse showed) goes into the job.
TEST(VideoSourcePage, TypedPathReplacesTheBrowsedOne) {
  CConvertOpt job;
  job.SetType(CONVERT_MPEG);
  CDlgVideoSource page;
  page.m_pJob = &job;
  ChooserAnswer chooser;
  chooser.next = {Sample("vob-ac3.vob")};
  UserDriver user;
  user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
    Click(&d, 1023);
    Type(&d, 1031, Sample("mpeg2-ps-mp2.mpg"));
    Click(&d, 1007);
  });
  page.DoModal();
  EXPECT_EQ(page.m_nResult, 1);
  EXPECT_EQ(job.m_strSource, Sample("mpeg2-ps-mp2.mpg"));
  EXPECT_EQ(job.m_nSourceWidth, 176);
  EXPECT_EQ(job.m_nSourceHeight, 144);
  EXPECT_NEAR(job.m_fDuration, 2.1, 0.01);
}

// Opened again for a job that has a source (Back from the target page),
// the page shows that source; and a Windows Media job without the runtime
// gets the notice instead of a chooser.
TEST(VideoSourcePage, OpensWithTheJobsSourceAndTellsWhenWindowsMediaIsMissing) {
  CConvertOpt job;
  job.SetType(CONVERT_WMV);
  job.m_strSource = Sample("mpeg2-ps-mp2.mpg");
  job.m_strSourceDescription = "old description";
  const int available = g_bWMAvailable;
  g_bWMAvailable = 0;
  CDlgVideoSource page;
  page.m_pJob = &job;
  ChooserAnswer chooser;
  std::string edit, format;
  bool notice = false;
  UserDriver user;
  user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
    edit = TextOf(&d, 1031);
    format = TextOf(&d, 1063);
    WaitFor([&] { return page.Player().GetPicturesShown() > 0; }, 20);
    KeepGrab(&d, "video-source");
    Click(&d, 1023);
  });
  user.On(CDlgASFInfo::IDD, [&](CDialog& d) {
    notice = true;
    Click(&d, IDOK);
  });
  user.On(CDlgVideoSource::IDD, [&](CDialog& d) { Click(&d, IDCANCEL); });
  page.DoModal();
  g_bWMAvailable = available;
  EXPECT_TRUE(user.Done());
  EXPECT_EQ(edit, Sample("mpeg2-ps-mp2.mpg"));
  EXPECT_EQ(format, "MPEG movie");
  EXPECT_TRUE(notice);
  EXPECT_EQ(chooser.asked, 0);
}

TEST(VideoSourcePage, RealMediaNeedsTheCodecLibraryOfAnInstalledPlayer) {
  const std::string dir = Scratch("real");
  const char* keys[] = {"Software\\RealNetworks\\Preferences\\DT_Codecs", "Helix\\HelixSDK\\10.0\\Preferences\\DT_Codecs"};
  std::string saved[2];
  auto point = [&](int i, const std::string& folder) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, keys[i], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>(folder.size() + 1));
    RegCloseKey(key);
  };
  for (int i = 0; i < 2; ++i) {
    saved[i] = RealCodecFolder(keys[i]);
    point(i, dir);
  }
  EXPECT_FALSE(CDlgVideoSource::RealMediaCodecInstalled());
  std::ofstream(dir + "/drvc.so") << "x";
  EXPECT_TRUE(CDlgVideoSource::RealMediaCodecInstalled());
  // A missing key names no folder: not the current one.
  for (const char* key : keys) RegDeleteKeyA(HKEY_CLASSES_ROOT, key);
  EXPECT_FALSE(CDlgVideoSource::RealMediaCodecInstalled());
  for (int i = 0; i < 2; ++i)
    if (!saved[i].empty()) point(i, saved[i]);
}

// --- Movie preview --------------------------------------------------------

// The share of pixels near a colour in the middle of a picture.
double ShareNear(const QImage& image, QRgb colour) {
  int near = 0, all = 0;
  for (int y = image.height() / 4; y < image.height() * 3 / 4; ++y)
    for (int x = image.width() / 4; x < image.width() * 3 / 4; ++x, ++all) {
      const QRgb p = image.pixel(x, y);
      if (std::abs(qRed(p) - qRed(colour)) < 24 && std::abs(qGreen(p) - qGreen(colour)) < 24 &&
          std::abs(qBlue(p) - qBlue(colour)) < 24)
        ++near;
    }
  return all ? static_cast<double>(near) / all : 0.0;
}

class MoviePreview : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = Scratch("movie");
    // Half a second of orange, then blue: the first picture and playback
    // can be told apart.
    movie_ = dir_ + "/two-colours.mpg";
    ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i color=c=0xE08020:s=160x120:r=25:d=0.5 -f lavfi -i "
                               "color=c=0x2040E0:s=160x120:r=25:d=1.5 -filter_complex concat=n=2:v=1:a=0 "
                               "-c:v mpeg2video -q:v 2 -f vob",
                               movie_));
    host_.CreateEx(0, "Static", "", WS_POPUP | WS_VISIBLE, CRect(0, 0, 240, 200), nullptr, 0);
    ASSERT_TRUE(player_.CreateEx(0, "MediaPlayer", nullptr, WS_CHILD | WS_VISIBLE, CRect(0, 0, 240, 200), &host_, 1065));
  }
  void TearDown() override {
    player_.DestroyWindow();
    host_.DestroyWindow();
  }
  std::string dir_, movie_;
  CWnd host_;
  CMediaPlayer2 player_;
};

TEST_F(MoviePreview, ShowsTheFirstPictureAndStaysThereWithoutAutoStart) {
  player_.PutBool(CMediaPlayer2::kAutoStart, FALSE);
  player_.PutString(CMediaPlayer2::kFileName, movie_.c_str());
  ASSERT_TRUE(WaitFor([&] { return player_.GetPicturesShown() >= 1; }, 30));
  QImage shown = Grab(&player_);
  EXPECT_GT(ShareNear(shown, qRgb(0xE0, 0x80, 0x20)), 0.9);
  // A 4:3 movie in a 6:5 box: bars above and below stay black.
  EXPECT_EQ(shown.pixel(120, 2) & 0xFFFFFF, 0u);
  EXPECT_FALSE(player_.IsPlaying());
  // Still the first picture after more events have run.
  WaitFor([] { return false; }, 0.5);
  EXPECT_EQ(player_.GetPicturesShown(), 1);
}

TEST_F(MoviePreview, PlaysThroughAndRewindsToTheFirstPicture) {
  player_.PutBool(CMediaPlayer2::kAutoStart, TRUE);
  player_.PutBool(CMediaPlayer2::kAutoRewind, TRUE);
  player_.PutLong(CMediaPlayer2::kPlayCount, 1);
  player_.PutString(CMediaPlayer2::kFileName, movie_.c_str());
  ASSERT_TRUE(WaitFor([&] { return ShareNear(Grab(&player_), qRgb(0x20, 0x40, 0xE0)) > 0.9; }, 30));
  // It played its way there; a loaded machine drops the pictures that come
  // late, so only a few are sure to be shown.
  EXPECT_GT(player_.GetPicturesShown(), 2);
  // At the end it stops on the first picture again.
  ASSERT_TRUE(WaitFor([&] { return !player_.IsPlaying(); }, 30));
  ASSERT_TRUE(WaitFor([&] { return ShareNear(Grab(&player_), qRgb(0xE0, 0x80, 0x20)) > 0.9; }, 30));
}

TEST_F(MoviePreview, AFileThatIsNoMovieLeavesTheAreaBlack) {
  const std::string text = dir_ + "/notes.mpg";
  std::ofstream(text) << "no movie\n";
  for (const std::string& path : {text, dir_ + "/missing.mpg", dir_}) {
    player_.PutString(CMediaPlayer2::kFileName, path.c_str());
    WaitFor([] { return false; }, 0.3);
    EXPECT_EQ(player_.GetPicturesShown(), 0);
    EXPECT_EQ(Grab(&player_).pixel(120, 100) & 0xFFFFFF, 0u);
  }
}

// --- Picture list -----------------------------------------------------------

TEST(PictureListPage, JobSizeFromTheFirstPicture) {
  const struct {
    int w, h, jobW, jobH;
  } cases[] = {
      {1024, 768, 512, 384}, {700, 500, 352, 256}, {1000, 750, 504, 376}, {800, 600, 400, 304},
      {640, 480, 352, 264},  {600, 333, 352, 200}, {599, 333, 599, 333},  {320, 240, 320, 240},
  };
  for (const auto& c : cases) {
    int w = 0, h = 0;
    CDlgImageSource::JobPictureSize(c.w, c.h, &w, &h);
    EXPECT_EQ(w, c.jobW) << c.w << "x" << c.h;
    EXPECT_EQ(h, c.jobH) << c.w << "x" << c.h;
  }
}

class PictureList : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = Scratch("pictures");
    big_ = dir_ + "/big.png";
    ASSERT_TRUE(MakeWithFfmpeg("-f lavfi -i color=c=0x30A050:s=1000x750 -frames:v 1", big_));
    broken_ = dir_ + "/broken.jpg";
    std::ofstream(broken_) << "not a picture";
    job_.SetType(CONVERT_PICTURES_TO_VIDEO);
    page_.m_pJob = &job_;
  }
  std::string dir_, big_, broken_;
  CConvertOpt job_;
  CDlgImageSource page_;
};

// Pictures are added in the order chosen (unreadable ones refused with a
// message), reordered and removed; Next writes the list, the interval, the
// sound file and the size of the first picture into the job.
TEST_F(PictureList, AddArrangeAndFinish) {
  ChooserAnswer chooser;
  BoxRecorder boxes;
  std::string info;
  int countAfterAdd = 0;
  UserDriver user;
  user.On(CDlgImageSource::IDD, [&](CDialog& d) {
    chooser.next = {Sample("picture.png"), broken_, big_, Sample("picture.jpg")};
    Click(&d, 1001);
    countAfterAdd = static_cast<CListBox*>(d.GetDlgItem(1040))->GetCount();
    info = TextOf(&d, 1042);
    KeepGrab(&d, "picture-list");
    // The first added is selected; move it down twice, then remove the
    // picture.jpg now last but one... and bring big.png to the top.
    auto* list = static_cast<CListBox*>(d.GetDlgItem(1040));
    list->SetCurSel(1);
    Click(&d, 1038);
    list->SetCurSel(2);
    Click(&d, 1037);
    Type(&d, 1044, "2.5");
    Type(&d, 1002, "  " + Sample("wav-s16.wav") + " ");
    Click(&d, 1007);
  });
  page_.DoModal();
  EXPECT_EQ(page_.m_nResult, 1);
  EXPECT_EQ(countAfterAdd, 3);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_NE(boxes.seen[0].text.find(broken_), std::string::npos);
  EXPECT_EQ(info.rfind("File Size: ", 0), 0u);
  EXPECT_NE(info.find("Width / Height: ("), std::string::npos);
  EXPECT_EQ(job_.m_astrPictures, (std::vector<std::string>{big_, Sample("picture.png")}));
  EXPECT_FLOAT_EQ(job_.m_fPictureInterval, 2.5f);
  EXPECT_EQ(job_.m_strAudioFile, Sample("wav-s16.wav"));
  EXPECT_EQ(job_.m_nSourceWidth, 504);
  EXPECT_EQ(job_.m_nSourceHeight, 376);
  EXPECT_DOUBLE_EQ(job_.m_dFrameRate, 15.0);
  EXPECT_EQ(job_.m_strSource, big_ + "--- etc");
}

// The arrows step half seconds between 0.5 and 10 (up adds); a value above
// 10 typed by hand is refused at Next with the framework's range message.
TEST_F(PictureList, IntervalArrowsClampAndNextChecksTheRange) {
  job_.m_astrPictures = {Sample("picture.png")};
  BoxRecorder boxes;
  std::vector<std::string> shown;
  UserDriver user;
  user.On(CDlgImageSource::IDD, [&](CDialog& d) {
    auto* spin = static_cast<CSpinButtonCtrl*>(d.GetDlgItem(1045));
    shown.push_back(TextOf(&d, 1044));
    spin->UiStep(true);
    shown.push_back(TextOf(&d, 1044));
    for (int i = 0; i < 20; ++i) spin->UiStep(true);
    shown.push_back(TextOf(&d, 1044));
    for (int i = 0; i < 30; ++i) spin->UiStep(false);
    shown.push_back(TextOf(&d, 1044));
    for (int i = 0; i < 11; ++i) spin->UiStep(true);
    shown.push_back(TextOf(&d, 1044));
    Type(&d, 1044, "12");
    Click(&d, 1007);
    shown.push_back(std::to_string(page_.m_nResult));
    Type(&d, 1044, "0.08");
    Click(&d, 1007);
  });
  page_.DoModal();
  EXPECT_EQ(shown, (std::vector<std::string>{"0.5", "1", "10", "0.5", "6", "3"}));
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_NE(boxes.seen[0].text.find("between 0.08 and 10"), std::string::npos);
  EXPECT_EQ(page_.m_nResult, 1);
  EXPECT_FLOAT_EQ(job_.m_fPictureInterval, 0.08f);
}

TEST_F(PictureList, AnEmptyListIsRefusedForNextAndBack) {
  BoxRecorder boxes;
  std::vector<int> results;
  UserDriver user;
  user.On(CDlgImageSource::IDD, [&](CDialog& d) {
    Click(&d, 1007);
    results.push_back(page_.m_nResult);
    Click(&d, 1021);
    results.push_back(page_.m_nResult);
    Click(&d, IDCANCEL);
  });
  page_.DoModal();
  EXPECT_EQ(results, (std::vector<int>{3, 3}));
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[0].text, UiLoadString(IDS_NO_PICTURES));
  EXPECT_EQ(page_.m_nResult, 3);
  EXPECT_TRUE(job_.m_astrPictures.empty());
}

}  // namespace
