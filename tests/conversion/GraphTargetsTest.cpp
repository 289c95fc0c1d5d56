// The graph converter on every target kind the job runners build: each
// graph is run to its end and its output read back by ffprobe and decoded
// by ffmpeg. Also the probe on more source kinds and the failure texts a
// build leaves for the job log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "conversion/GraphConverter.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/wmf/ProfileManager.h"
#include "platform/wmf/WmfRegister.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Registry.h"
#include "tests/conversion/ConverterTestEnv.h"
#include "tests/conversion/MuxGraph.h"

namespace fs = std::filesystem;

namespace {

using convtest::DataFile;
using convtest::NewConverter;

std::string OutDir() { return convtest::OutDir("/tmp/pm-graph-targets"); }

std::string Target(const std::string& name) {
  std::string path = OutDir() + "/" + name;
  fs::remove(path);
  return path;
}

GraphEvents Play(CGraphConverter* conv) { return convtest::PlayJob(conv); }

double Seconds(const std::string& text) { return text.empty() || text == "N/A" ? -1.0 : std::stod(text); }

// The display aspect ffprobe reads for the first video stream (the pixel
// shape times the size).
double ShownShape(const std::string& file) {
  const std::string out = RunCommand("ffprobe -v error -select_streams v:0 -show_entries "
                                     "stream=width,height,sample_aspect_ratio -of csv=p=0 '" + file + "' 2>&1");
  int w = 0, h = 0, sx = 1, sy = 1;
  if (std::sscanf(out.c_str(), "%d,%d,%d:%d", &w, &h, &sx, &sy) < 2 || h <= 0) return 0.0;
  if (sx <= 0 || sy <= 0) sx = sy = 1;
  return static_cast<double>(w) * sx / (static_cast<double>(h) * sy);
}

// Mean PSNR of the output's pictures against ffmpeg's own decode of the
// source brought to the same size and rate, both counted from their first
// picture. Pictures the converter's decoders garbled score far below what
// the lossy encoders cost. An output that `keepsShape` (the MPEG formats)
// shows a source of another shape than its own at that shape between bars:
// only that picture is compared, and it must be shown at the source's shape.
double PictureMatch(const std::string& out, const std::string& src, int w, int h, const std::string& rate,
                    bool keepsShape = false) {
  const double frame = ShownShape(out), shape = ShownShape(src);
  std::string crop;
  if (keepsShape && frame > 0 && shape > 0 && std::fabs(std::log(frame / shape)) > 0.02) {
    const std::string found = RunCommand("ffmpeg -nostdin -hide_banner -i '" + out +
                                         "' -vf cropdetect=limit=24:round=2:reset=0 -f null - 2>&1");
    const size_t at = found.rfind("crop=");
    int cw = 0, ch = 0, cx = 0, cy = 0;
    if (at == std::string::npos || std::sscanf(found.c_str() + at, "crop=%d:%d:%d:%d", &cw, &ch, &cx, &cy) != 4)
      return 0.0;
    // Bars on the sides for a narrower picture, above and below for a wider.
    if (shape < frame) ch = h, cy = 0;
    else cw = w, cx = 0;
    const double shown = frame * cw * h / (static_cast<double>(ch) * w);
    EXPECT_NEAR(shown / shape, 1.0, 0.03) << out << ": the picture is shown " << shown << ", the source " << shape;
    crop = "crop=" + std::to_string(cw) + ":" + std::to_string(ch) + ":" + std::to_string(cx) + ":" +
           std::to_string(cy) + ",";
    w = cw;
    h = ch;
  }
  std::string err = RunCommand("ffmpeg -nostdin -hide_banner -i '" + out + "' -i '" + src +
                               "' -lavfi '[0:v]" + crop + "setpts=PTS-STARTPTS[o];[1:v]scale=" + std::to_string(w) +
                               ":" + std::to_string(h) + ",fps=" + rate +
                               ",setpts=PTS-STARTPTS[r];[o][r]psnr' -f null - 2>&1");
  size_t at = err.find("average:");
  if (at == std::string::npos) return 0.0;
  std::string v = err.substr(at + 8, err.find(' ', at) - at - 8);
  return v == "inf" ? 99.0 : std::atof(v.c_str());
}

// The Windows Media system profiles as start-up lists them.
void LoadWindowsMediaProfiles() {
  g_WMProfiles.clear();
  CComPtr<IWMProfileManager> manager;
  ASSERT_EQ(S_OK, WMCreateProfileManager(&manager));
  DWORD count = 0;
  ASSERT_EQ(S_OK, manager->GetSystemProfileCount(&count));
  for (DWORD i = 0; i < count; ++i) {
    WMProfileEntry entry;
    ASSERT_EQ(S_OK, manager->LoadSystemProfile(i, &entry.profile));
    g_WMProfiles.push_back(std::move(entry));
  }
}

// --- Builders, one row per target ------------------------------------------

enum class Builder { Mpeg, Vcd, Mp4, AviFlv, Asf };

struct TargetCase {
  const char* name;
  Builder builder;
  const char* source;
  const char* target;      // file name in the output folder
  int arg1, arg2;          // Mpeg: kind; Vcd: NTSC flag, disc kind; Mp4: profile; Asf: profile index
  const char* format;      // AviFlv: container name
  int width, height;       // output size handed to the converter (0: none)
  int rateNum, rateDen;    // frame rate handed to the converter (0: none)
  const char* videoCodec;  // encoder parameters (MP4 family, AVI/FLV)
  int videoKbps;
  const char* audioCodec;
  int audioKbps, sampleRate, channels;
  // What ffprobe must find in the output.
  const char* probeFormat;
  const char* outVideo;  // nullptr: no video stream
  int outWidth, outHeight;
  const char* outRate;
  const char* outAudio;
  int outSampleRate, outChannels;
  double duration;
};

class Targets : public ::testing::TestWithParam<TargetCase> {};

TEST_P(Targets, RunsToTheEndAndReadsBack) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  const TargetCase& c = GetParam();
  auto conv = NewConverter();
  if (c.width) conv->SetOutputSize(c.width, c.height);
  if (c.rateNum) conv->SetFrameRate(c.rateNum, c.rateDen);
  if (c.videoCodec) conv->SetEncoderParams(c.videoCodec, c.videoKbps, c.audioCodec, c.audioKbps, c.sampleRate, c.channels);
  std::string out = Target(c.target);
  std::string src = DataFile(c.source);
  g_strConvertError.clear();
  HRESULT hr = E_FAIL;
  switch (c.builder) {
    case Builder::Mpeg: hr = conv->BuildMpegGraph(src, out, c.arg1); break;
    case Builder::Vcd: hr = conv->BuildVcdGraph(src, out, c.arg1, c.arg2); break;
    case Builder::Mp4: hr = conv->BuildMP4Graph(src, out, c.arg1); break;
    case Builder::AviFlv: hr = conv->BuildAviFlvGraph(src, out, c.format); break;
    case Builder::Asf:
      LoadWindowsMediaProfiles();
      hr = conv->BuildAsfGraph(src, out, c.arg1);
      break;
  }
  ASSERT_EQ(S_OK, hr) << std::hex << hr << " " << g_strConvertError;
  GraphEvents ev = Play(conv);
  EXPECT_EQ(1, ev.completes);
  EXPECT_EQ(0, ev.aborts) << std::hex << ev.abortCode;
  ASSERT_TRUE(fs::exists(out));

  auto v = Probe(out, "v");
  EXPECT_NE(std::string::npos, v["format_name"].find(c.probeFormat)) << v["format_name"];
  if (c.outVideo) {
    EXPECT_EQ(c.outVideo, v["codec_name"]);
    EXPECT_EQ(std::to_string(c.outWidth), v["width"]);
    EXPECT_EQ(std::to_string(c.outHeight), v["height"]);
    EXPECT_EQ(c.outRate, v["r_frame_rate"]);
    // The whole source comes out at the output rate.
    int num = 0, den = 1;
    ASSERT_EQ(2, std::sscanf(c.outRate, "%d/%d", &num, &den));
    double frames = Seconds(v["nb_read_frames"]);
    EXPECT_NEAR(c.duration * num / den, frames, 0.15 * c.duration * num / den) << out;
  } else {
    EXPECT_TRUE(v["codec_name"].empty()) << v["codec_name"];
  }
  auto a = Probe(out, "a:0");
  EXPECT_EQ(c.outAudio, a["codec_name"]);
  EXPECT_EQ(std::to_string(c.outSampleRate), a["sample_rate"]);
  EXPECT_EQ(std::to_string(c.outChannels), a["channels"]);
  // SWF keeps no duration of its own.
  if (std::string(c.probeFormat) != "swf") {
    EXPECT_NEAR(c.duration, Seconds(v["duration"]), 0.35) << out;
  }
  if (c.outVideo) {
    const bool mpeg = std::string(c.probeFormat) == "mpeg";
    EXPECT_GT(PictureMatch(out, src, c.outWidth, c.outHeight, c.outRate, mpeg), 22.0) << out;
  }
  DecodesCleanly(out);
}

// clang-format off
const TargetCase kTargets[] = {
  // MPEG-2 from AC-3 sources at a PAL and an NTSC rate.
  {"Mpeg2PalFromAc3", Builder::Mpeg, "mpeg2-ps-ac3.mpg", "mpeg2-pal.mpg", 1, 0, nullptr, 352, 288, 25, 1,
   nullptr, 0, nullptr, 0, 0, 0, "mpeg", "mpeg2video", 352, 288, "25/1", "mp2", 44100, 2, 2.0},
  {"Mpeg2NtscFromVob", Builder::Mpeg, "vob-ac3.vob", "mpeg2-ntsc.mpg", 1, 0, nullptr, 352, 240, 30000, 1001,
   nullptr, 0, nullptr, 0, 0, 0, "mpeg", "mpeg2video", 352, 240, "30000/1001", "mp2", 44100, 2, 1.0},
  // Discs: the format fixes size and rate.
  {"SvcdPal", Builder::Vcd, "mpeg2-ps-ac3.mpg", "svcd-pal.mpg", 0, 1, nullptr, 0, 0, 0, 0,
   nullptr, 0, nullptr, 0, 0, 0, "mpeg", "mpeg2video", 480, 576, "25/1", "mp2", 44100, 2, 2.0},
  {"SvcdNtsc", Builder::Vcd, "mpeg2-ps-mp2.mpg", "svcd-ntsc.mpg", 1, 1, nullptr, 0, 0, 0, 0,
   nullptr, 0, nullptr, 0, 0, 0, "mpeg", "mpeg2video", 480, 480, "30000/1001", "mp2", 44100, 2, 2.0},
  {"DvdPal", Builder::Vcd, "vob-ac3.vob", "dvd-pal.vob", 0, 2, nullptr, 0, 0, 0, 0,
   nullptr, 0, nullptr, 0, 0, 0, "mpeg", "mpeg2video", 720, 576, "25/1", "ac3", 48000, 2, 1.0},
  {"VcdNtsc", Builder::Vcd, "mpeg2-ps-mp2.mpg", "vcd-ntsc.mpg", 1, 0, nullptr, 0, 0, 0, 0,
   nullptr, 0, nullptr, 0, 0, 0, "mpeg", "mpeg1video", 352, 240, "30000/1001", "mp2", 44100, 2, 2.0},
  // MP4 family with the runners' codec names.
  {"ThreeGp", Builder::Mp4, "mpeg2-ps-mp2.mpg", "clip.3gp", 0, 0, nullptr, 176, 144, 15000, 1001,
   "mpeg4", 192, "amr_nb", 12, 8000, 1, "3gp", "mpeg4", 176, 144, "15000/1001", "amr_nb", 8000, 1, 2.0},
  {"ThreeG2", Builder::Mp4, "mpeg2-ps-ac3.mpg", "clip.3g2", 1, 0, nullptr, 176, 144, 15000, 1001,
   "h263", 192, "aac", 64, 44100, 2, "3g2", "h263", 176, 144, "15000/1001", "aac", 44100, 2, 2.0},
  {"Ipod", Builder::Mp4, "mpeg2-ps-mp2.mpg", "clip-ipod.mp4", 3, 0, nullptr, 320, 240, 25, 1,
   "h264", 384, "aac", 64, 44100, 2, "mp4", "h264", 320, 240, "25/1", "aac", 44100, 2, 2.0},
  {"Mov", Builder::Mp4, "mpeg2-ps-mp2.mpg", "clip.mov", 5, 0, nullptr, 176, 144, 30, 1,
   "mpeg4", 512, "aac", 128, 44100, 2, "mov", "mpeg4", 176, 144, "30/1", "aac", 44100, 2, 2.0},
  // Flash containers (the FLV runner's codecs whatever the index).
  {"Flv", Builder::AviFlv, "mpeg2-ps-mp2.mpg", "clip.flv", 0, 0, "flv", 176, 144, 15, 1,
   "flv", 256, "mp3", 80, 44100, 2, "flv", "flv1", 176, 144, "15/1", "mp3", 44100, 2, 2.0},
  {"Swf", Builder::AviFlv, "mpeg2-ps-ac3.mpg", "clip.swf", 0, 0, "swf", 176, 144, 15, 1,
   "flv", 256, "mp3", 80, 44100, 2, "swf", "flv1", 176, 144, "15/1", "mp3", 44100, 2, 2.0},
  // Windows Media with a system profile: a fixed picture size, and audio only.
  {"WmvBroadband", Builder::Asf, "mpeg2-ps-ac3.mpg", "clip-256.wmv", 1, 0, nullptr, 0, 0, 0, 0,
   nullptr, 0, nullptr, 0, 0, 0, "asf", "wmv2", 320, 240, "25/1", "wmav2", 22050, 1, 2.0},
  {"AsfAudioOnly", Builder::Asf, "mpeg-ps-mp2-only.mpg", "speech.asf", 7, 0, nullptr, 0, 0, 0, 0,
   nullptr, 0, nullptr, 0, 0, 0, "asf", nullptr, 0, 0, nullptr, "wmav2", 22050, 1, 2.0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Builders, Targets, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

// MPEG-1 video reaches the installed MPEG-1 decoder as payload pieces cut
// anywhere; pictures split over packets must still come out whole.
TEST(MpegOneSource, PicturesMatchTheSource) {
  if (!HaveTools()) GTEST_SKIP();
  auto conv = NewConverter();
  std::string out = Target("from-mpeg1.mpg");
  std::string src = DataFile("mpeg1-ps.mpg");
  ASSERT_EQ(S_OK, conv->BuildVcdGraph(src, out, 0, 0)) << g_strConvertError;
  EXPECT_EQ(1, Play(conv).completes);
  EXPECT_GT(PictureMatch(out, src, 352, 288, "25/1", true), 22.0);
}

// --- PSP with its thumbnail ----------------------------------------------------

TEST(PspTarget, WritesTheMovieAndItsThumbnailNextToIt) {
  if (!HaveTools()) GTEST_SKIP();
  auto conv = NewConverter();
  std::string out = Target("M4V00001.mp4");
  std::string thumb = Target("M4V00001.THM");
  // As the PSP runner hands a job over: 320x240 at 30000/1001, MPEG-4 and
  // AAC, a thumbnail of 160 by 120 at one second.
  conv->SetOutputSize(320, 240);
  conv->SetFrameRate(30000, 1001);
  conv->SetEncoderParams("mpeg4", 384, "aac", 64, 44100, 2);
  conv->SetImageOutput(1, std::wstring(thumb.begin(), thumb.end()), 1000, 160, 120);
  std::string src = DataFile("mpeg2-ps-ac3.mpg");
  ASSERT_EQ(S_OK, conv->BuildMP4Graph(src, out, 2)) << g_strConvertError;
  EXPECT_EQ("M4V00001", conv->BaseName());
  GraphEvents ev = Play(conv);
  EXPECT_EQ(1, ev.completes);
  auto v = Probe(out, "v:0");
  EXPECT_EQ("mpeg4", v["codec_name"]);
  EXPECT_EQ("320", v["width"]);
  EXPECT_EQ("240", v["height"]);
  EXPECT_EQ("30000/1001", v["r_frame_rate"]);
  EXPECT_EQ("aac", Probe(out, "a:0")["codec_name"]);
  EXPECT_GT(PictureMatch(out, src, 320, 240, "30000/1001"), 22.0);
  DecodesCleanly(out);

  // The thumbnail is a JPEG picture of the frame at one second.
  ASSERT_TRUE(fs::exists(thumb));
  auto t = Probe(thumb, "v:0");
  EXPECT_EQ("mjpeg", t["codec_name"]);
  EXPECT_EQ("160", t["width"]);
  EXPECT_EQ("120", t["height"]);
  // The source's frame at that time, fitted into the box on white.
  auto match = [&](const char* at) {
    std::string err = RunCommand("ffmpeg -nostdin -hide_banner -i '" + thumb + "' -i '" + src +
                                 "' -lavfi '[1:v]setpts=PTS-STARTPTS,trim=start=" + at +
                                 ",setpts=PTS-STARTPTS,scale=160:120:force_original_aspect_ratio=decrease,"
                                 "pad=160:120:-1:-1:white,trim=end_frame=1[r];[0:v][r]psnr' -f null - 2>&1");
    size_t pos = err.find("average:");
    EXPECT_NE(std::string::npos, pos) << err;
    return pos == std::string::npos ? 0.0 : std::atof(err.c_str() + pos + 8);
  };
  double atOne = match("1"), atZero = match("0");
  EXPECT_GT(atOne, 20.0);
  // The picture moves: the first frame matches clearly worse.
  EXPECT_GT(atOne, atZero + 4.0);
}

// --- Picture series ------------------------------------------------------------

TEST(PictureSeries, OnePictureEveryInterval) {
  if (!HaveTools()) GTEST_SKIP();
  std::string folder = OutDir() + "/series700";
  fs::remove_all(folder);
  fs::create_directories(folder);
  auto conv = NewConverter();
  ASSERT_EQ(S_OK, conv->BuildPicturesGraph(DataFile("vob-ac3.vob"), folder, 350, 0, 0)) << g_strConvertError;
  GraphEvents ev = Play(conv);
  EXPECT_EQ(1, ev.completes);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  // A 1 s source at 350 ms: pictures of 0, 0.35 and 0.7 s.
  EXPECT_EQ((std::vector<std::string>{"img_1.jpg", "img_2.jpg", "img_3.jpg"}), names);
  for (const auto& n : names) {
    auto v = Probe(folder + "/" + n, "v:0");
    EXPECT_EQ("mjpeg", v["codec_name"]) << n;
    // No picture box: the source's own size.
    EXPECT_EQ("352", v["width"]) << n;
    EXPECT_EQ("288", v["height"]) << n;
  }
}

// --- Probe -----------------------------------------------------------------------

TEST(ProbeSource, MpegOneSystemStream) {
  if (!HaveTools()) GTEST_SKIP();
  std::string file = DataFile("mpeg1-ps.mpg");
  auto conv = NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(S_OK, conv->ProbeSource(file, &info));
  EXPECT_EQ(int(SourceFormat_MPEG), info.format);
  EXPECT_EQ("MPEG", CGraphConverter::GetSourceFormatName(info.format, "mpg"));
  ASSERT_TRUE(info.hasVideo);
  EXPECT_EQ(0u, info.videoDescription.find("MPEG-1 ")) << info.videoDescription;
  EXPECT_EQ(176, info.width);
  EXPECT_EQ(144, info.height);
  ASSERT_TRUE(info.hasAudio);
  EXPECT_NE("Unknown", info.audioDescription);
  EXPECT_EQ(44100, info.sampleRate);
  EXPECT_EQ(2, info.channels);
  EXPECT_NEAR(Seconds(Probe(file, "v:0")["duration"]), info.duration, 0.3);
}

TEST(ProbeSource, BlurayTransportStream) {
  if (!HaveTools()) GTEST_SKIP();
  std::string file = DataFile("m2ts-h264-ac3.m2ts");
  auto conv = NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(S_OK, conv->ProbeSource(file, &info));
  EXPECT_EQ(int(SourceFormat_MPEG), info.format);
  auto v = Probe(file, "v:0");
  auto a = Probe(file, "a:0");
  ASSERT_TRUE(info.hasVideo);
  EXPECT_EQ(std::stoi(v["width"]), info.width);
  EXPECT_EQ(std::stoi(v["height"]), info.height);
  // No description of its own: the codec tag of the FourCC.
  EXPECT_NE(std::string::npos, info.videoDescription.find("AVC1")) << info.videoDescription;
  ASSERT_TRUE(info.hasAudio);
  EXPECT_EQ("Dolby AC3", info.audioDescription.substr(0, 9)) << info.audioDescription;
  EXPECT_EQ(std::stoi(a["sample_rate"]), info.sampleRate);
  EXPECT_EQ(std::stoi(a["channels"]), info.channels);
  EXPECT_NEAR(Seconds(v["duration"]), info.duration, 0.3);
}

TEST(ProbeSource, SubpictureIsNoVideoStream) {
  auto conv = NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(S_OK, conv->ProbeSource(DataFile("mpeg-ps-subpic-mp2.mpg"), &info));
  EXPECT_EQ(int(SourceFormat_MPEG), info.format);
  EXPECT_FALSE(info.hasVideo);
  EXPECT_EQ("No Video Stream", info.videoDescription);
  EXPECT_TRUE(info.hasAudio);
  EXPECT_EQ(44100, info.sampleRate);
}

TEST(ProbeSource, AudioOnlyProgramStream) {
  auto conv = NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(S_OK, conv->ProbeSource(DataFile("mpeg-ps-mp2-only.mpg"), &info));
  EXPECT_FALSE(info.hasVideo);
  EXPECT_EQ("No Video Stream", info.videoDescription);
  EXPECT_TRUE(info.hasAudio);
  EXPECT_EQ(44100, info.sampleRate);
  EXPECT_EQ(2, info.channels);
}

// --- Failure texts -----------------------------------------------------------------

TEST(FailureTexts, PicturesOfASourceWithoutVideo) {
  for (const char* source : {"mpeg-ps-mp2-only.mpg", "mpeg-ps-subpic-mp2.mpg"}) {
    std::string folder = OutDir() + "/nothing";
    fs::remove_all(folder);
    fs::create_directories(folder);
    auto conv = NewConverter();
    g_strConvertError.clear();
    EXPECT_EQ(E_FAIL, conv->BuildPicturesGraph(DataFile(source), folder, 500, 0, 0)) << source;
    EXPECT_EQ("Still pictures are taken from the source's video, and the source has none: it holds no video stream\n",
              g_strConvertError)
        << source;
    EXPECT_TRUE(fs::is_empty(folder)) << source;
  }
}

TEST(FailureTexts, VideoIntoAnAudioOnlyWindowsMediaProfile) {
  LoadWindowsMediaProfiles();
  auto conv = NewConverter();
  g_strConvertError.clear();
  EXPECT_EQ(VFW_E_CANNOT_CONNECT, conv->BuildAsfGraph(DataFile("mpeg2-ps-mp2.mpg"), Target("x.wmv"), 6));
  // An MPEG source gets no codec-package note.
  EXPECT_EQ("Connect video stream to Muxer Failed\n", g_strConvertError);
}

TEST(FailureTexts, MissingVideoDecoder) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\ffdshow", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const DWORD off = 0;
  // WMV2 is not among the codecs the converter switches on itself.
  RegSetValueExA(key, "wmv2", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off);
  struct Restore {
    HKEY key;
    ~Restore() {
      const DWORD on = 1;
      RegSetValueExA(key, "wmv2", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
      RegCloseKey(key);
    }
  } restore{key};
  {
    // No renderer takes the compressed pictures, so the video stream stays
    // unrendered. The MPEG builder adds the codec-package note for AVI
    // sources only.
    auto conv = NewConverter();
    conv->SetOutputSize(176, 144);
    g_strConvertError.clear();
    EXPECT_EQ(VFW_E_NO_DECOMPRESSOR,
              conv->BuildMpegGraph(DataFile("asf-wmv2-wmav2.wmv"), Target("nodecoder.mpg"), 0));
    EXPECT_EQ("The video stream of the source (WMV2) could not be decoded\n", g_strConvertError);
  }
  {
    // Nor do the others for a Windows Media source: their list is AVI,
    // MP4, Ogg, FLV and Matroska.
    auto conv = NewConverter();
    conv->SetOutputSize(176, 144);
    conv->SetEncoderParams("mpeg4", 512, "aac", 128, 44100, 2);
    g_strConvertError.clear();
    EXPECT_EQ(VFW_E_NO_DECOMPRESSOR,
              conv->BuildMP4Graph(DataFile("asf-wmv2-wmav2.wmv"), Target("nodecoder.mp4"), 4));
    EXPECT_EQ("The video stream of the source (WMV2) could not be decoded\n", g_strConvertError);
  }
}

// A target that is the source under another name is refused before
// anything is opened for writing, whatever the sink.
TEST(FailureTexts, TargetThatIsTheSourceIsRefusedAndTheSourceKept) {
  const std::string dir = OutDir() + "/same";
  fs::remove_all(dir);
  fs::create_directories(dir + "/sub");
  const std::string source = dir + "/source.mpg";
  fs::copy_file(DataFile("mpeg2-ps-mp2.mpg"), source);
  const auto size = fs::file_size(source);
  const auto time = fs::last_write_time(source);
  fs::create_symlink(source, dir + "/link.mpg");
  fs::create_hard_link(source, dir + "/hard.mpg");
  LoadWindowsMediaProfiles();
  for (const std::string& target : {source, dir + "/sub/../source.mpg", dir + "/link.mpg", dir + "/hard.mpg"}) {
    for (int sink = 0; sink < 3; ++sink) {
      auto conv = NewConverter();
      conv->SetOutputSize(176, 144);
      conv->SetEncoderParams("mpeg4", 384, "aac", 64, 44100, 2);
      const HRESULT hr = sink == 0   ? conv->BuildMpegGraph(source, target, 0)
                         : sink == 1 ? conv->BuildMP4Graph(source, target, 4)
                                     : conv->BuildAsfGraph(source, target, 4);
      EXPECT_EQ(E_INVALIDARG, hr) << target << " sink " << sink;
      EXPECT_EQ("The target is the source file itself: " + target + "\n", g_strConvertError);
    }
  }
  // A PSP thumbnail that would land on the source is refused the same way.
  auto conv = NewConverter();
  conv->SetImageOutput(1, Utf8ToWide(source), 1000, 160, 120);
  EXPECT_EQ(E_INVALIDARG, conv->BuildMP4Graph(source, dir + "/out.mp4", 2));
  EXPECT_EQ(size, fs::file_size(source));
  EXPECT_EQ(time, fs::last_write_time(source));
  EXPECT_FALSE(fs::exists(dir + "/out.mp4"));
}

// Sources and targets that cannot be used say why, before the graph is
// built.
TEST(FailureTexts, UnusableSourcesAndTargetsSayWhy) {
  const std::string dir = OutDir() + "/unusable";
  fs::remove_all(dir);
  fs::create_directories(dir + "/folder.mpg");
  std::ofstream(dir + "/notes.txt") << "not a movie\n";
  const std::string good = DataFile("mpeg2-ps-mp2.mpg");
  struct Case {
    std::string source, target;
    HRESULT hr;
    std::string text;
  } cases[] = {
      {dir + "/missing.mpg", dir + "/a.mpg", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
       "The source file does not exist: " + dir + "/missing.mpg\n"},
      {dir + "/folder.mpg", dir + "/a.mpg", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
       "The source is a folder, not a file: " + dir + "/folder.mpg\n"},
      {dir + "/notes.txt", dir + "/a.mpg", VFW_E_CANNOT_RENDER,
       "The file's format is not one the program reads: " + dir + "/notes.txt\n"},
      {good, dir + "/no-such-folder/a.mpg", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
       "The folder of the target file does not exist: " + dir + "/no-such-folder\n"},
      {good, dir + "/folder.mpg", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
       "The target is a folder, not a file: " + dir + "/folder.mpg\n"},
  };
  for (const Case& c : cases) {
    auto conv = NewConverter();
    conv->SetOutputSize(176, 144);
    EXPECT_EQ(c.hr, conv->BuildMpegGraph(c.source, c.target, 0)) << c.source << " -> " << c.target;
    EXPECT_EQ(c.text, g_strConvertError);
  }
  EXPECT_FALSE(fs::exists(dir + "/a.mpg"));
}

// A source without picture, or whose sound set-up is damaged, fails with a
// text that says so, naming the format as such.
TEST(FailureTexts, SourcesWithoutPictureOrWithDamagedSoundSayWhat) {
  // sync.mkv with the Vorbis set-up packets (its second track's codec data)
  // overwritten.
  std::ifstream in(DataFile("sync.mkv"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 600u);
  std::fill(bytes.begin() + 470, bytes.begin() + 560, char(0x5A));
  const std::string damaged = OutDir() + "/damaged-vorbis.mkv";
  std::ofstream(damaged, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const struct {
    std::string source;
    HRESULT hr;
    std::string text;
  } cases[] = {
      {DataFile("vorbis.ogg"), E_FAIL, "An MP4 movie at the source's picture size needs a picture"},
      {damaged, VFW_E_NO_DECOMPRESSOR,
       "The sound stream of the source (Vorbis) is damaged: its decoder set-up data (the codec headers) does not "
       "read, so it cannot be decoded\n"},
  };
  for (const auto& c : cases) {
    auto conv = NewConverter();  // no output size: the source's would be kept
    conv->SetEncoderParams("libx264", 384, "aac", 64, 44100, 2);
    g_strConvertError.clear();
    EXPECT_EQ(c.hr, conv->BuildMP4Graph(c.source, Target("said.mp4"), 4)) << c.source;
    EXPECT_EQ(0u, g_strConvertError.find(c.text)) << g_strConvertError;
    // Damage is no missing codec.
    EXPECT_EQ(std::string::npos, g_strConvertError.find("no codec package")) << g_strConvertError;
  }
}

// A target that cannot be opened when the run begins fails the run with the
// engine's own text (a writable-looking folder that takes no files).
TEST(FailureTexts, TargetThatCannotBeOpenedAbortsWithTheEnginesText) {
  auto conv = NewConverter();
  conv->SetOutputSize(176, 144);
  const std::string target = "/proc/pellomar-cannot-write.mpg";
  const HRESULT hr = conv->BuildMpegGraph(DataFile("mpeg2-ps-mp2.mpg"), target, 0);
  if (FAILED(hr)) {
    // Refused up front where the folder says it is not writable.
    EXPECT_EQ(0u, g_strConvertError.find("The target file cannot be written: " + target)) << g_strConvertError;
    return;
  }
  GraphEvents ev = Play(conv);
  EXPECT_EQ(1, ev.aborts);
  EXPECT_EQ("Could not open '" + target + "'\n", conv->GetRunError());
}

// A damaged source of which no video frame can be decoded fails its job, and
// leaves no empty target behind.
TEST(FailureTexts, NoVideoFrameFailsTheRunAndRemovesTheEmptyTarget) {
  const std::string cut = OutDir() + "/cut.wmv";
  {
    std::ifstream in(DataFile("asf-wmv2-wmav2.wmv"), std::ios::binary);
    std::vector<char> head(2049);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    std::ofstream(cut, std::ios::binary).write(head.data(), in.gcount());
  }
  for (int sink = 0; sink < 2; ++sink) {
    auto conv = NewConverter();
    conv->SetOutputSize(176, 144);
    conv->SetFrameRate(25, 1);
    conv->SetEncoderParams("mpeg4", 384, "aac", 64, 44100, 2);
    const std::string out = Target(sink == 0 ? "cut.mpg" : "cut.mp4");
    ASSERT_EQ(S_OK, sink == 0 ? conv->BuildMpegGraph(cut, out, 0) : conv->BuildMP4Graph(cut, out, 4))
        << g_strConvertError;
    GraphEvents ev = Play(conv);
    EXPECT_EQ(1, ev.aborts) << sink;
    EXPECT_EQ(0, ev.completes) << sink;
    EXPECT_EQ("No video frame was decoded from the source\n", conv->GetRunError());
    conv.Release();  // the muxer's run has ended once the graph is gone
    EXPECT_FALSE(fs::exists(out)) << out;
  }
}

TEST(SourcesWithoutVideo, AudioStillConverted) {
  if (!HaveTools()) GTEST_SKIP();
  for (const char* source : {"mpeg-ps-mp2-only.mpg", "mpeg-ps-subpic-mp2.mpg"}) {
    auto conv = NewConverter();
    conv->SetOutputSize(176, 144);
    conv->SetFrameRate(25, 1);
    std::string out = Target(std::string("audio-") + source);
    ASSERT_EQ(S_OK, conv->BuildMpegGraph(DataFile(source), out, 0)) << g_strConvertError;
    EXPECT_EQ(1, Play(conv).completes);
    auto a = Probe(out, "a:0");
    // The subpicture is no picture stream to convert.
    EXPECT_TRUE(Probe(out, "v")["codec_name"].empty()) << source;
    EXPECT_EQ("mp2", a["codec_name"]) << source;
    EXPECT_EQ("44100", a["sample_rate"]) << source;
    EXPECT_NEAR(2.0, Seconds(a["duration"]), 0.3) << source;
  }
}

}  // namespace

// --- Output size 0 ---------------------------------------------------------------

// A job whose output size is 0 keeps the source's picture size, for the
// MP4 family and the MPEG muxer alike.
TEST(SourceSize, ZeroOutputSizeKeepsTheSourceSize) {
  if (!HaveTools()) GTEST_SKIP();
  {
    auto conv = NewConverter();
    std::string out = Target("zero-size.mp4");
    conv->SetFrameRate(25, 1);
    conv->SetEncoderParams("mpeg4", 384, "aac", 64, 44100, 2);
    ASSERT_EQ(S_OK, conv->BuildMP4Graph(DataFile("mpeg2-ps-mp2.mpg"), out, 4)) << g_strConvertError;
    EXPECT_EQ(1, Play(conv).completes);
    auto v = Probe(out, "v:0");
    EXPECT_EQ("176", v["width"]);
    EXPECT_EQ("144", v["height"]);
  }
  {
    auto conv = NewConverter();
    std::string out = Target("zero-size.mpg");
    conv->SetFrameRate(25, 1);
    ASSERT_EQ(S_OK, conv->BuildMpegGraph(DataFile("mpeg2-ps-mp2.mpg"), out, 1)) << g_strConvertError;
    EXPECT_EQ(1, Play(conv).completes);
    auto v = Probe(out, "v:0");
    EXPECT_EQ("176", v["width"]);
    EXPECT_EQ("144", v["height"]);
  }
}
