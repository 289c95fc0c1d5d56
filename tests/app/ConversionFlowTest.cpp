// One job of every conversion type, set up from the main window as a user
// does it (the Add button's menu, the type, a typed source, the target page
// with settings other than its defaults) and run; ffprobe reads back what
// was chosen.
#include <gtest/gtest.h>

#include <QApplication>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "app/DlgCvtType.h"
#include "app/DlgImageSource.h"
#include "app/DlgMpegType.h"
#include "app/DlgTarget3GP.h"
#include "app/DlgTargetASF.h"
#include "app/DlgTargetAVI.h"
#include "app/DlgTargetFLV.h"
#include "app/DlgTargetIPod.h"
#include "app/DlgTargetImage.h"
#include "app/DlgTargetMP4.h"
#include "app/DlgTargetPSP.h"
#include "app/DlgVCD.h"
#include "app/DlgVideoSource.h"
#include "app/TambrelDlg.h"
#include "platform/ui/ListCtrl.h"
#include "platform/ui/Menu.h"
#include "resources/ResourceIds.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

// "key=value" lines of ffprobe for one stream ("v:0", "a:0") and the format.
std::map<std::string, std::string> Probe(const std::string& file, const std::string& stream) {
  const std::string out = Run("ffprobe -v error -select_streams " + stream +
                              " -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,channels:"
                              "format=format_name -of default=noprint_wrappers=1 '" +
                              file + "' 2>&1");
  std::map<std::string, std::string> kv;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (auto eq = line.find('='); eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  return kv;
}

struct Conversion {
  const char* name;
  int typeButton;
  const char* source;
  UINT page;
  // Sets the target page as the user wants it; `out` is the output to type.
  std::function<void(CDialog&, const std::string& out)> settings;
  const char* output;  // file name in the test's folder
  const char* rowText;
  std::map<std::string, std::string> video, audio;  // expected ffprobe values
  const char* format;
};

std::string Row(const CListCtrl* list, int column) { return list->GetItemText(0, column); }

class ConversionFlow : public ::testing::TestWithParam<Conversion> {};

TEST_P(ConversionFlow, SetUpFromTheMainWindowAndRun) {
  const Conversion& c = GetParam();
  const std::string dir = Scratch("out");
  const std::string output = dir + "/" + c.output;
  UiSetTrackMenuHook([](const std::vector<UINT>&) { return static_cast<UINT>(ID_JOB_ADD); });
  CTambrelDlg main;
  ASSERT_TRUE(main.Create(CTambrelDlg::IDD));
  main.ShowWindow(SW_SHOW);
  UserDriver user;
  user.On(CDlgCvtType::IDD, [&](CDialog& d) {
    Click(&d, c.typeButton);
    Click(&d, 1007);
  });
  user.On(CDlgVideoSource::IDD, [&](CDialog& d) {
    Type(&d, 1031, Sample(c.source));
    Click(&d, 1007);
  });
  user.On(c.page, [&](CDialog& d) {
    c.settings(d, output);
    KeepGrab(&d, std::string("target-") + c.name);
    Click(&d, c.page == CDlgTargetASF::IDD || c.page == CDlgTargetImage::IDD ? IDOK : 1020);
  });
  Click(&main, 1001);
  ASSERT_TRUE(WaitFor([&] { return main.GetJobCount() == 1 || (user.Done() && !QApplication::activeModalWidget()); }, 60));
  UiSetTrackMenuHook(nullptr);
  ASSERT_EQ(main.GetJobCount(), 1) << "steps done: " << user.StepsDone();
  auto* list = static_cast<CListCtrl*>(main.GetDlgItem(1000));
  EXPECT_EQ(Row(list, 1), Sample(c.source));
  EXPECT_EQ(Row(list, 3), c.rowText);

  Click(&main, 1002);
  ASSERT_TRUE(WaitFor([&] { return !main.IsConverting() && main.GetJobStatus(0) != kJobRunning; }, 300));
  EXPECT_EQ(main.GetJobStatus(0), kJobDone) << main.GetRunLog();
  const std::string file = c.page == CDlgTargetImage::IDD ? dir + "/img_1.jpg" : output;
  EXPECT_TRUE(std::filesystem::exists(file)) << file;
  const auto video = Probe(file, "v:0");
  for (const auto& [key, value] : c.video) EXPECT_EQ(video.count(key) ? video.at(key) : "", value) << key;
  if (c.format) {
    EXPECT_EQ(video.count("format_name") ? video.at("format_name") : "", c.format);
  }
  const auto audio = Probe(file, "a:0");
  for (const auto& [key, value] : c.audio) EXPECT_EQ(audio.count(key) ? audio.at(key) : "", value) << key;
  main.DestroyWindow();
}

const Conversion kConversions[] = {
    {"avi", 1006, "mpeg2-ps-mp2.mpg", CDlgTargetAVI::IDD,
     [](CDialog& d, const std::string& out) {
       Type(&d, 1068, "322");
       Type(&d, 1069, "240");
       Type(&d, 1085, "15");
       Choose(&d, 1024, "Microsoft MPEG4 v2");
       Choose(&d, 1026, "MPEG Layer III");
       Choose(&d, 1025, "22050Hz");
       Choose(&d, 1019, "64kbps");
       Type(&d, 1022, out);
     },
     "clip.avi", "MPEG to AVI",
     {{"codec_name", "msmpeg4v2"}, {"width", "324"}, {"height", "240"}, {"r_frame_rate", "15/1"}},
     {{"codec_name", "mp3"}, {"sample_rate", "22050"}, {"channels", "2"}}, "avi"},
    {"wmv", 1008, "mpeg2-ps-mp2.mpg", CDlgTargetASF::IDD,
     [](CDialog& d, const std::string& out) {
       Choose(&d, 1006, "Video for broadband 256 Kbps (320x240, 22 kHz mono audio)");
       Type(&d, 1061, out);
     },
     "clip.wmv", "MPEG to WMV/ASF", {{"codec_name", "wmv2"}, {"width", "320"}, {"height", "240"}},
     {{"codec_name", "wmav2"}, {"sample_rate", "22050"}, {"channels", "1"}}, "asf"},
    {"mpeg", 1009, "mpeg2-ps-mp2.mpg", CDlgMpegType::IDD,
     [](CDialog& d, const std::string& out) {
       Click(&d, 1053);
       Type(&d, 1068, "350");
       Type(&d, 1069, "288");
       Choose(&d, 1090, "25 fps");
       Type(&d, 1061, out);
     },
     "clip.vob", "MPEG to MPEG II",
     {{"codec_name", "mpeg2video"}, {"width", "352"}, {"height", "288"}, {"r_frame_rate", "25/1"}},
     {{"codec_name", "mp2"}}, nullptr},
    {"svcd", 1010, "mpeg2-ps-mp2.mpg", CDlgVCD::IDD,
     [](CDialog& d, const std::string& out) {
       Click(&d, 1051);
       Click(&d, 1055);
       Click(&d, 1057);
       Type(&d, 1061, out);
     },
     "clip.mpg", "MPEG to SVCD",
     {{"codec_name", "mpeg2video"}, {"width", "704"}, {"height", "480"}, {"r_frame_rate", "30000/1001"}},
     {{"codec_name", "mp2"}}, nullptr},
    {"pal-ntsc", 1011, "vob-ac3.vob", CDlgVCD::IDD,
     [](CDialog& d, const std::string& out) {
       Click(&d, 1052);
       Click(&d, 1055);
       Type(&d, 1061, out);
     },
     "clip.mpg", "PAL/NTSC Interchange",
     {{"codec_name", "mpeg2video"}, {"width", "720"}, {"height", "480"}, {"r_frame_rate", "30000/1001"}}, {},
     nullptr},
    {"3gp", 1012, "mpeg2-ps-mp2.mpg", CDlgTarget3GP::IDD,
     [](CDialog& d, const std::string& out) {
       Choose(&d, 1090, "10. Low Quality 176 * 144 64kbps mono");
       Type(&d, 1061, out);
     },
     "clip.3gp", "MPEG to 3GP", {{"codec_name", "h263"}, {"width", "176"}, {"height", "144"}},
     {{"codec_name", "amr_nb"}, {"sample_rate", "8000"}, {"channels", "1"}}, nullptr},
    {"psp", 1013, "mpeg2-ps-mp2.mpg", CDlgTargetPSP::IDD,
     [](CDialog& d, const std::string& out) {
       Choose(&d, 1050, "368 * 208");
       Choose(&d, 1091, "H264(AVC)");
       Choose(&d, 1022, "MAQ00001.mp4");
       Type(&d, 1031, out);
     },
     "MAQ00001.mp4", "MPEG to PSP", {{"codec_name", "h264"}, {"width", "368"}, {"height", "208"}},
     {{"codec_name", "aac"}, {"sample_rate", "48000"}, {"channels", "2"}}, nullptr},
    {"ipod", 1014, "mpeg2-ps-mp2.mpg", CDlgTargetIPod::IDD,
     [](CDialog& d, const std::string& out) {
       Choose(&d, 1090, "3.MPEG4: Medium Quality 320*240 768kbps, Audio 128kbps Stereo");
       Click(&d, 1046);
       Type(&d, 1061, out);
     },
     "clip.mov", "MPEG to iPod", {{"codec_name", "mpeg4"}, {"width", "320"}, {"height", "240"}},
     {{"codec_name", "aac"}, {"sample_rate", "44100"}, {"channels", "2"}}, nullptr},
    {"mp4", 1015, "mpeg2-ps-mp2.mpg", CDlgTargetMP4::IDD,
     [](CDialog& d, const std::string& out) {
       Type(&d, 1068, "322");
       Type(&d, 1069, "240");
       Choose(&d, 1091, "H264(AVC)");
       Choose(&d, 1024, "MP3");
       Choose(&d, 1025, "44100Hz");
       if (d.IsDlgButtonChecked(1005)) Click(&d, 1005);
       Type(&d, 1061, out);
     },
     "clip.m4v", "MPEG to MP4", {{"codec_name", "h264"}, {"width", "320"}, {"height", "240"}},
     {{"codec_name", "mp3"}, {"sample_rate", "44100"}, {"channels", "1"}}, nullptr},
    {"swf", 1019, "mpeg2-ps-mp2.mpg", CDlgTargetFLV::IDD,
     [](CDialog& d, const std::string& out) {
       Type(&d, 1068, "320");
       Type(&d, 1069, "240");
       Choose(&d, 1091, "12fps");
       Choose(&d, 1025, "22050Hz");
       Click(&d, 1074);
       Type(&d, 1061, out);
     },
     "clip.swf", "MPEG to FLV/SWF",
     {{"codec_name", "flv1"}, {"width", "320"}, {"height", "240"}, {"r_frame_rate", "12/1"}},
     {{"codec_name", "mp3"}, {"sample_rate", "22050"}}, "swf"},
    {"pictures", 1000, "mpeg2-ps-mp2.mpg", CDlgTargetImage::IDD,
     [](CDialog& d, const std::string& out) {
       Type(&d, 1044, "500");
       Type(&d, 1061, std::filesystem::path(out).parent_path().string());
     },
     "img_1.jpg", "MPEG to Pictures", {{"codec_name", "mjpeg"}, {"width", "176"}, {"height", "144"}}, {}, nullptr},
};

// ffmpeg's number after `key` in its log of `command`; -1000 when absent.
double FfmpegValue(const std::string& command, const std::string& key) {
  const std::string out = Run(command + " 2>&1");
  const size_t at = out.rfind(key);
  return at == std::string::npos ? -1000.0 : std::atof(out.c_str() + at + key.size());
}

// Three pictures of different kinds and sizes and a 2 s MP3 on the
// picture-list page, one second each, the AVI page at 15 frames/s: the AVI
// is 3 s at the first picture's size, shows each picture at its time as
// ffmpeg fits it (shrunk with its aspect kept, centred on black) and has
// the sound, then silence up to the end of the pictures.
TEST(PicturesFlow, ListSoundAndAviPageMakeTheMovie) {
  struct Picture {
    const char* name;
    const char* fit;
  };
  const Picture pictures[] = {{"list-160x120.jpg", "null"},
                              {"list-90x150.png", "scale=72:120,pad=160:120:44:0"},
                              {"list-192x96.bmp", "scale=160:80,pad=160:120:0:20"}};
  const std::string out = Scratch("pictures-flow") + "/movie.avi";
  UiSetTrackMenuHook([](const std::vector<UINT>&) { return static_cast<UINT>(ID_JOB_ADD); });
  CTambrelDlg main;
  ASSERT_TRUE(main.Create(CTambrelDlg::IDD));
  main.ShowWindow(SW_SHOW);
  ChooserAnswer chooser;
  UserDriver user;
  user.On(CDlgCvtType::IDD, [&](CDialog& d) {
    Click(&d, 1047);
    Click(&d, 1007);
  });
  user.On(CDlgImageSource::IDD, [&](CDialog& d) {
    for (const Picture& p : pictures) chooser.next.push_back(Sample(p.name));
    Click(&d, 1001);
    Type(&d, 1044, "1");
    Type(&d, 1002, Sample("mp3-44100.mp3"));
    Click(&d, 1007);
  });
  user.On(CDlgTargetAVI::IDD, [&](CDialog& d) {
    Type(&d, 1085, "15");
    Type(&d, 1022, out);
    Click(&d, 1020);
  });
  Click(&main, 1001);
  ASSERT_TRUE(WaitFor([&] { return main.GetJobCount() == 1 || (user.Done() && !QApplication::activeModalWidget()); }, 60));
  UiSetTrackMenuHook(nullptr);
  ASSERT_EQ(main.GetJobCount(), 1) << "steps done: " << user.StepsDone();
  Click(&main, 1002);
  ASSERT_TRUE(WaitFor([&] { return !main.IsConverting() && main.GetJobStatus(0) != kJobRunning; }, 300));
  ASSERT_EQ(main.GetJobStatus(0), kJobDone) << main.GetRunLog();
  main.DestroyWindow();

  const auto video = Probe(out, "v:0");
  EXPECT_EQ(video.count("width") ? video.at("width") : "", "160");
  EXPECT_EQ(video.count("height") ? video.at("height") : "", "120");
  EXPECT_EQ(video.count("r_frame_rate") ? video.at("r_frame_rate") : "", "15/1");
  EXPECT_EQ(FfmpegValue("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                        "-of default=nw=1 '" + out + "'", "nb_read_frames="),
            45);
  for (int i = 0; i < 3; ++i) {
    const std::string frame = std::to_string(15 * i + 7), next = std::to_string(15 * i + 8);
    const double psnr = FfmpegValue("ffmpeg -nostdin -i '" + out + "' -i '" + Sample(pictures[i].name) +
                                        "' -filter_complex \"[0:v]trim=start_frame=" + frame + ":end_frame=" + next +
                                        ",setpts=PTS-STARTPTS,format=yuv420p[a];[1:v]" + pictures[i].fit +
                                        ",format=yuv420p[b];[a][b]psnr\" -f null -",
                                    "average:");
    EXPECT_GT(psnr, 25) << pictures[i].name << " at frame " << frame;
  }
  auto level = [&](const char* trim) {
    return FfmpegValue("ffmpeg -nostdin -i '" + out + "' -map 0:a:0 -af atrim=" + trim +
                           ",astats=measure_overall=RMS_level:measure_perchannel=none -f null -",
                       "RMS level dB: ");
  };
  EXPECT_GT(level("0.2:1.8"), -20) << "the sound";
  EXPECT_LT(level("2.3:2.9"), -80) << "silence after the sound";
  const auto audio = Probe(out, "a:0");
  const double samples = FfmpegValue("ffmpeg -nostdin -i '" + out + "' -map 0:a:0 -af astats=measure_overall="
                                     "Number_of_samples:measure_perchannel=none -f null -", "Number of samples: ");
  EXPECT_NEAR(samples / std::atof(audio.count("sample_rate") ? audio.at("sample_rate").c_str() : "0"), 3.0, 0.03);
}

INSTANTIATE_TEST_SUITE_P(EveryType, ConversionFlow, ::testing::ValuesIn(kConversions),
                         [](const ::testing::TestParamInfo<Conversion>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (ch == '-') ch = '_';
                           return name;
                         });

}  // namespace
