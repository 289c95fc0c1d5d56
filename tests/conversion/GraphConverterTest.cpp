// The graph converter: source format names, media-type descriptions, the
// probe on ffmpeg-made sources against ffprobe, and each builder run to its
// end with the output checked by ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "conversion/GraphConverter.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/wmf/WmfRegister.h"
#include "platform/win32/Registry.h"
#include "tests/conversion/ConverterTestEnv.h"
#include "tests/conversion/MuxGraph.h"
#include "tests/graph/GraphTestFilters.h"

namespace fs = std::filesystem;

namespace {

using convtest::DataFile;
using convtest::NewConverter;

std::string OutDir() { return convtest::OutDir("/tmp/pm-graph-converter"); }


TEST(SourceFormatNames, ByCodeAndExtension) {
  EXPECT_EQ("3GP", CGraphConverter::GetSourceFormatName(0x80000, "3G2"));
  EXPECT_EQ("MP4 Movie", CGraphConverter::GetSourceFormatDescription(0x80000, "3g2"));
  EXPECT_EQ("3gp Mobile Media", CGraphConverter::GetSourceFormatDescription(0x80000, "3GP"));
  EXPECT_EQ("Quicktime", CGraphConverter::GetSourceFormatName(0x80000, "MOV"));
  EXPECT_EQ("Quicktime Movie", CGraphConverter::GetSourceFormatDescription(0x80000, "mov"));
  EXPECT_EQ("WMV/ASF", CGraphConverter::GetSourceFormatName(SourceFormat_WMV, ""));
  EXPECT_EQ("Unknown", CGraphConverter::GetSourceFormatName(0x800000, "avi"));
  EXPECT_EQ("Unknown Movie Type", CGraphConverter::GetSourceFormatDescription(0x3, "avi"));
}

TEST(GraphConverter, BaseNameLooksForThePointInTheFileNameOnly) {
  EXPECT_EQ("clip", CGraphConverter::TargetBaseName("C:\\v\\clip.mp4"));
  EXPECT_EQ("clip.part", CGraphConverter::TargetBaseName("/out/clip.part.mp4"));
  // A point in a folder name must not cut the path there.
  EXPECT_EQ("clip", CGraphConverter::TargetBaseName("/out/v1.0/clip"));
  EXPECT_EQ("clip", CGraphConverter::TargetBaseName("clip"));
}

TEST(GraphConverter, DescribeMediaTypes) {
  CMediaType audio;
  audio.majortype = MEDIATYPE_Audio;
  audio.subtype = FourCCGuid(0x55);
  audio.formattype = FORMAT_WaveFormatEx;
  WAVEFORMATEX* wfx = reinterpret_cast<WAVEFORMATEX*>(audio.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  *wfx = {};
  wfx->wFormatTag = 0x55;
  wfx->nChannels = 1;
  wfx->nSamplesPerSec = 22050;
  wfx->wBitsPerSample = 0;
  CMediaType video;
  video.majortype = MEDIATYPE_Video;
  video.subtype = MEDIASUBTYPE_RGB24;
  video.formattype = FORMAT_VideoInfo;
  VIDEOINFOHEADER* vih = reinterpret_cast<VIDEOINFOHEADER*>(video.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  *vih = {};
  vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih->bmiHeader.biWidth = 320;
  vih->bmiHeader.biHeight = 240;
  vih->bmiHeader.biBitCount = 24;

  SourceMediaInfo info;
  CGraphConverter::DescribeMediaTypes(&video, &audio, &info);
  EXPECT_TRUE(info.hasVideo);
  EXPECT_EQ("Uncompressed RGB Format", info.videoDescription);
  EXPECT_EQ(320, info.width);
  EXPECT_EQ(240, info.height);
  EXPECT_EQ("MP3 Format - 0x55", info.audioDescription);
  EXPECT_EQ(22050, info.sampleRate);
  EXPECT_EQ(1, info.channels);

  SourceMediaInfo none;
  CGraphConverter::DescribeMediaTypes(nullptr, nullptr, &none);
  EXPECT_FALSE(none.hasVideo);
  EXPECT_FALSE(none.hasAudio);
  EXPECT_EQ("No Video Stream", none.videoDescription);
  EXPECT_EQ("No Audio Stream", none.audioDescription);
}

// --- ProbeSource ---------------------------------------------------------

struct ProbeCase {
  const char* file;
  DWORD format;
  bool headerReader;  // described from the file's own header
};

class Probing : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probing, AgreesWithFfprobe) {
  if (!HaveTools()) GTEST_SKIP() << "ffprobe missing";
  const ProbeCase& c = GetParam();
  std::string file = DataFile(c.file);
  auto conv = NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(S_OK, conv->ProbeSource(file, &info));
  EXPECT_EQ(int(c.format), info.format);
  auto v = Probe(file, "v:0");
  auto a = Probe(file, "a:0");
  ASSERT_TRUE(info.hasVideo);
  EXPECT_EQ(std::stoi(v["width"]), info.width);
  EXPECT_EQ(std::stoi(v["height"]), info.height);
  EXPECT_NE("No Video Stream", info.videoDescription);
  ASSERT_TRUE(info.hasAudio);
  EXPECT_EQ(std::stoi(a["sample_rate"]), info.sampleRate);
  EXPECT_EQ(std::stoi(a["channels"]), info.channels);
  EXPECT_NE("No Audio Stream", info.audioDescription);
  // The descriptions are text a person can read.
  for (const std::string& text : {info.videoDescription, info.audioDescription})
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char ch) { return ch >= 0x20 && ch <= 0x7E; })) << text;
  // Header durations are whole seconds.
  EXPECT_NEAR(std::stod(v["duration"]), info.duration, c.headerReader ? 1.0 : 0.3);
  // The stream's own frame rate, to the hundredth the pages show.
  const std::string rate = v["r_frame_rate"];
  const size_t slash = rate.find('/');
  ASSERT_NE(slash, std::string::npos) << rate;
  EXPECT_NEAR(std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1)), info.frameRate, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Sources, Probing,
                         ::testing::Values(ProbeCase{"mpeg1-ps.mpg", SourceFormat_MPEG, false},
                                           ProbeCase{"mpeg2-ps-mp2.mpg", SourceFormat_MPEG, false},
                                           ProbeCase{"vob-ac3.vob", SourceFormat_MPEG, false},
                                           ProbeCase{"ts-2programs.ts", SourceFormat_MPEG, false},
                                           ProbeCase{"h264-aac.ts", SourceFormat_MPEG, false},
                                           ProbeCase{"asf-wmv2-wmav2.wmv", SourceFormat_WMV, true},
                                           ProbeCase{"sync.wmv", SourceFormat_WMV, true},
                                           ProbeCase{"sync.rm", SourceFormat_RealMedia, true},
                                           ProbeCase{"sync-bframes.avi", SourceFormat_AVI, true},
                                           ProbeCase{"sync.mov", SourceFormat_MP4, false},
                                           ProbeCase{"sync-edit.mp4", SourceFormat_MP4, false},
                                           ProbeCase{"sync.mkv", SourceFormat_Matroska, false},
                                           ProbeCase{"mkv-mpeg4-vorbis.mkv", SourceFormat_Matroska, false}),
                         [](const auto& info) {
                           std::string n = info.param.file;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(ProbeSource, WmvDescriptionComesFromTheHeader) {
  auto conv = NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(S_OK, conv->ProbeSource(DataFile("asf-wmv2-wmav2.wmv"), &info));
  EXPECT_EQ(FourCCGuid(info.videoFourCC), FourCCGuid(MAKEFOURCC('W', 'M', 'V', '2')));
  EXPECT_GT(info.frameRate, 0.0f);
}

TEST(ProbeSource, UnreadableSourceLeavesTheRecord) {
  auto conv = NewConverter();
  SourceMediaInfo info;
  EXPECT_TRUE(FAILED(conv->ProbeSource("/nonexistent/none.mpg", &info)));
  EXPECT_EQ(0, info.format);
  EXPECT_EQ("Unknown", info.videoDescription);
  EXPECT_EQ("Unknown Format", info.formatName);
  // A pipe is refused before anything opens it: opening it would wait for
  // a writer that never comes.
  const std::string pipe = OutDir() + "/probe-pipe.mpg";
  fs::remove(pipe);
  ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), conv->ProbeSource(pipe, &info));
  EXPECT_EQ("The source is not a regular file: " + pipe + "\n", g_strConvertError);
}

// Files that no source takes whole fail the probe saying why: fragments
// of a movie, an FLV file without streams, streams no decoder reads.
TEST(ProbeSource, RefusedSourcesSayWhy) {
  if (!HaveTools()) GTEST_SKIP();
  const std::string dir = OutDir() + "/refused";
  fs::create_directories(dir);
  std::ofstream(dir + "/empty.flv", std::ios::binary).write("FLV\x01\x05\0\0\0\x09\0\0\0\0", 13);
  RunCommand("cd '" + dir + "' && ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:duration=1 -c:v libx264 " +
             "-movflags frag_keyframe+empty_moov frag.mp4 && ffmpeg -v error -y -i frag.mp4 -c copy h264.flv");
  for (const auto& [file, why] : {std::pair{"frag.mp4", "fragmented MP4"}, {"empty.flv", "no picture or sound"},
                                  {"h264.flv", "(FLV video codec 7) could not be decoded"}}) {
    auto conv = NewConverter();
    SourceMediaInfo info;
    g_strConvertError.clear();
    EXPECT_TRUE(FAILED(conv->ProbeSource(dir + "/" + file, &info))) << file;
    EXPECT_NE(g_strConvertError.find(why), std::string::npos) << file << ": " << g_strConvertError;
  }
}

// Headers that state a larger picture than the stream has (as VLC writes
// them): the probe gives the stream's own size, as the job will convert it.
TEST(ProbeSource, StreamSizeWinsOverTheHeader) {
  if (!HaveTools()) GTEST_SKIP();
  const std::string dir = OutDir() + "/header-size";
  fs::create_directories(dir);
  const std::string make = "cd '" + dir + "' && ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:duration=1 ";
  const std::string patch = std::string(" && '") + PELLOMAR_SOURCE_DIR + "/tests/e2e/header-size.sh' ";
  RunCommand(make + "-c:v wmv2 wmv2.wmv" + patch + "wmv2.wmv 320 256");
  RunCommand(make + "-c:v mpeg4 -flags +global_header mpeg4.avi" + patch + "mpeg4.avi 320 256");
  for (const char* file : {"wmv2.wmv", "mpeg4.avi"}) {
    auto conv = NewConverter();
    SourceMediaInfo info;
    ASSERT_EQ(S_OK, conv->ProbeSource(dir + "/" + file, &info)) << file;
    EXPECT_EQ(320, info.width) << file;
    EXPECT_EQ(240, info.height) << file;
  }
}

// --- Builders --------------------------------------------------------------

struct JobGraph {
  CComPtr<CGraphConverter> conv = NewConverter();

  GraphEvents Play() { return convtest::PlayJob(conv.p); }
};

std::string Target(const char* name) {
  std::string path = OutDir() + "/" + name;
  fs::remove(path);
  return path;
}

void ExpectVideo(const std::string& file, const char* codec, int w, int h, const char* rate) {
  auto v = Probe(file, "v:0");
  EXPECT_EQ(codec, v["codec_name"]) << file;
  EXPECT_EQ(std::to_string(w), v["width"]) << file;
  EXPECT_EQ(std::to_string(h), v["height"]) << file;
  EXPECT_EQ(rate, v["r_frame_rate"]) << file;
  // The 2 s source comes out whole.
  EXPECT_NEAR(2.0, std::stod(v["duration"].empty() ? "0" : v["duration"]), 0.3) << file;
  auto a = Probe(file, "a:0");
  EXPECT_FALSE(a["codec_name"].empty()) << file;
}

const char* kSource = "mpeg2-ps-mp2.mpg";

TEST(BuildGraph, MpegKinds) {
  if (!HaveTools()) GTEST_SKIP();
  for (int kind : {0, 1}) {
    JobGraph r;
    r.conv->SetOutputSize(320, 240);
    r.conv->SetFrameRate(30000, 1001);
    std::string out = Target(kind ? "kind1.mpg" : "kind0.mpg");
    ASSERT_EQ(S_OK, r.conv->BuildMpegGraph(DataFile(kSource), out, kind)) << g_strConvertError;
    auto ev = r.Play();
    EXPECT_EQ(1, ev.completes);
    ExpectVideo(out, kind ? "mpeg2video" : "mpeg1video", 320, 240, "30000/1001");
  }
}

TEST(BuildGraph, VcdAndDvd) {
  if (!HaveTools()) GTEST_SKIP();
  {
    JobGraph r;
    std::string out = Target("vcd.mpg");
    ASSERT_EQ(S_OK, r.conv->BuildVcdGraph(DataFile(kSource), out, 0, 0)) << g_strConvertError;
    EXPECT_EQ(1, r.Play().completes);
    ExpectVideo(out, "mpeg1video", 352, 288, "25/1");
  }
  {
    JobGraph r;
    std::string out = Target("dvd.vob");
    ASSERT_EQ(S_OK, r.conv->BuildVcdGraph(DataFile(kSource), out, 1, 2)) << g_strConvertError;
    EXPECT_EQ(720, r.conv->OutputWidth());
    EXPECT_EQ(480, r.conv->OutputHeight());
    EXPECT_EQ(1, r.Play().completes);
    ExpectVideo(out, "mpeg2video", 720, 480, "30000/1001");
  }
}

TEST(BuildGraph, Mp4AndAvi) {
  if (!HaveTools()) GTEST_SKIP();
  {
    JobGraph r;
    r.conv->SetOutputSize(176, 144);
    r.conv->SetFrameRate(25, 1);
    r.conv->SetEncoderParams("mpeg4", 512, "aac", 128, 44100, 2);
    std::string out = Target("clip.mp4");
    ASSERT_EQ(S_OK, r.conv->BuildMP4Graph(DataFile(kSource), out, 4)) << g_strConvertError;
    EXPECT_EQ("clip", r.conv->BaseName());
    EXPECT_EQ(1, r.Play().completes);
    ExpectVideo(out, "mpeg4", 176, 144, "25/1");
  }
  {
    JobGraph r;
    r.conv->SetOutputSize(160, 120);
    r.conv->SetFrameRate(15, 1);
    r.conv->SetEncoderParams("xvid", 384, "mp3", 128, 44100, 2);
    std::string out = Target("clip.avi");
    ASSERT_EQ(S_OK, r.conv->BuildAviFlvGraph(DataFile(kSource), out, "avi")) << g_strConvertError;
    EXPECT_EQ(1, r.Play().completes);
    ExpectVideo(out, "mpeg4", 160, 120, "15/1");
  }
}

TEST(BuildGraph, MuxerRefusesAFrameRateSoTheBuildFails) {
  JobGraph r;
  r.conv->SetOutputSize(176, 144);
  r.conv->SetFrameRate(5, 1);
  r.conv->SetEncoderParams("mpeg4", 512, "aac", 128, 44100, 2);
  g_strConvertError.clear();
  EXPECT_TRUE(FAILED(r.conv->BuildAviFlvGraph(DataFile(kSource), Target("slow.avi"), "avi")));
  EXPECT_NE(std::string::npos, g_strConvertError.find("frame rate 5/1"));
}

TEST(BuildGraph, PictureSeries) {
  if (!HaveTools()) GTEST_SKIP();
  std::string folder = OutDir() + "/pictures/";
  fs::remove_all(folder);
  fs::create_directories(folder);
  JobGraph r;
  ASSERT_EQ(S_OK, r.conv->BuildPicturesGraph(DataFile(kSource), folder, 500, 160, 120)) << g_strConvertError;
  EXPECT_EQ(1, r.Play().completes);
  int count = 0;
  for (const auto& e : fs::directory_iterator(folder)) {
    ++count;
    auto v = Probe(e.path().string(), "v:0");
    EXPECT_EQ("160", v["width"]);
    EXPECT_EQ("120", v["height"]);
  }
  // One picture every half second of a 2 s source.
  EXPECT_GE(count, 3);
  EXPECT_LE(count, 5);
}

TEST(BuildGraph, SourceWithoutVideoGivesNoPictures) {
  std::string folder = OutDir() + "/nopictures/";
  fs::remove_all(folder);
  fs::create_directories(folder);
  JobGraph r;
  HRESULT hr = r.conv->BuildPicturesGraph(DataFile("wav-s16.wav"), folder, 500, 0, 0);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST(BuildGraph, UnknownWindowsMediaProfileIsRefused) {
  g_WMProfiles.clear();
  g_WMProfiles.push_back({});  // a profile start-up failed to load
  JobGraph r;
  g_strConvertError.clear();
  EXPECT_EQ(E_INVALIDARG, r.conv->BuildAsfGraph(DataFile(kSource), Target("a.wmv"), 0));
  EXPECT_FALSE(g_strConvertError.empty());
  JobGraph r2;
  EXPECT_EQ(E_INVALIDARG, r2.conv->BuildAsfGraph(DataFile(kSource), Target("b.wmv"), 5));
  g_WMProfiles.clear();
}

}  // namespace

namespace {

TEST(BuildGraph, WindowsMediaWithTheWritersOwnProfile) {
  if (!HaveTools()) GTEST_SKIP();
  JobGraph r;
  std::string out = Target("clip.wmv");
  ASSERT_EQ(S_OK, r.conv->BuildAsfGraph(DataFile(kSource), out, -1)) << g_strConvertError;
  EXPECT_EQ(1, r.Play().completes);
  auto v = Probe(out, "v:0");
  EXPECT_EQ("176", v["width"]);
  EXPECT_FALSE(Probe(out, "a:0")["codec_name"].empty());
}

// A filter that says what it is given about its run.
class ReportingFilter : public gt::TestFilter, public IRunReport {
 public:
  ReportingFilter(const std::vector<gt::PinSpec>& pins, std::string error, std::string note)
      : gt::TestFilter(GUID_NULL, pins, false), m_error(std::move(error)), m_note(std::move(note)) {}
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
    return gt::TestFilter::NonDelegatingQueryInterface(riid, ppv);
  }
  std::string GetRunError() const override { return m_error; }
  std::string GetRunNote() const override { return m_note; }

 private:
  std::string m_error, m_note;
};

// The graph's reports come upstream first, whatever the order the filters
// joined the graph in: the first error is the run's, the notes follow the
// streams.
TEST(GraphConverter, RunReportsComeUpstreamFirst) {
  struct Case {
    const char* errors[3];  // source, middle, sink
    const char* error;
  };
  const Case cases[] = {
      {{"source\n", "middle\n", "sink\n"}, "source\n"},
      {{"", "middle\n", "sink\n"}, "middle\n"},
      {{"", "", "sink\n"}, "sink\n"},
      {{"", "", ""}, ""},
  };
  const gt::Pair type{MEDIATYPE_Stream, GUID_NULL};
  const gt::PinSpec in{L"In", PINDIR_INPUT, {type}}, out{L"Out", PINDIR_OUTPUT, {type}};
  for (const Case& c : cases) {
    auto conv = NewConverter();
    CComPtr<IBaseFilter> source(new ReportingFilter({out}, c.errors[0], "source note\n"));
    CComPtr<IBaseFilter> middle(new ReportingFilter({in, out}, c.errors[1], "middle note\n"));
    CComPtr<IBaseFilter> sink(new ReportingFilter({in}, c.errors[2], ""));
    // Joined downstream first: the graph's own order is the streams' reverse.
    ASSERT_EQ(S_OK, conv->AddFilter(sink, L"sink"));
    ASSERT_EQ(S_OK, conv->AddFilter(middle, L"middle"));
    ASSERT_EQ(S_OK, conv->AddFilter(source, L"source"));
    ASSERT_EQ(S_OK, conv->ConnectDirect(GetFirstPinByDirection(source, PINDIR_OUTPUT),
                                        GetFirstPinByDirection(middle, PINDIR_INPUT), nullptr));
    ASSERT_EQ(S_OK, conv->ConnectDirect(GetFirstPinByDirection(middle, PINDIR_OUTPUT),
                                        GetFirstPinByDirection(sink, PINDIR_INPUT), nullptr));
    EXPECT_EQ(c.error, conv->GetRunError());
    EXPECT_EQ("source note\nmiddle note\n", conv->GetRunNote());
  }
}

TEST(GraphConverter, SwitchesTheInstalledDecoderOnForItsCodecs) {
  ASSERT_TRUE(CGraphConverter::IsFfdshowDecoderInstalled());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\ffdshow", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const DWORD off = 0;
  RegSetValueExA(key, "flv1", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off);
  auto conv = NewConverter();
  DWORD value = 0, size = sizeof value, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "flv1", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(1u, value);
  RegCloseKey(key);
}

}  // namespace
