// The muxer filter in a filter graph: a push source feeds it, every output
// is checked with ffprobe and decoded with ffmpeg, and the run's events are
// read back from the graph.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "conversion/MpegMuxer.h"
#include "tests/conversion/MuxGraph.h"
#include "tests/conversion/PushSource.h"

namespace fs = std::filesystem;

namespace {

struct Muxer {
  CComPtr<IBaseFilter> filter;
  CMpegMuxer* mux = nullptr;
};

Muxer MakeMuxer() {
  Muxer m;
  EXPECT_EQ(CMpegMuxer::CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&m.filter)), S_OK);
  m.mux = static_cast<CMpegMuxer*>(m.filter.p);
  return m;
}

int ToInt(const std::string& s) { return s.empty() ? -1 : std::atoi(s.c_str()); }

class MpegMuxerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pellomar-mux-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

// ---------------------------------------------------------------------------
// Outputs

struct Target {
  const char* label;
  int mode;          // select mode
  int value;         // format index or profile
  const char* name;  // format name (mode 2)
  const char* video;
  int kbps;
  const char* audio;
  int hz, channels;
  int width, height;
  int rateNum, rateDen;
  const char* ext;
  // expected
  const char* format;
  const char* vcodec;
  const char* acodec;
  int outWidth, outHeight;
  const char* rate;
  int outHz, outChannels;
};

const Target kTargets[] = {
    {"mpeg1", 0, 0, "", "", 0, "", 0, 0, 320, 240, 25, 1, "mpg", "mpeg", "mpeg1video", "mp2", 320, 240, "25/1", 44100, 2},
    {"mpeg2", 0, 1, "", "", 0, "", 0, 0, 320, 240, 25, 1, "mpg", "mpeg", "mpeg2video", "mp2", 320, 240, "25/1", 44100, 2},
    {"vcd-pal", 0, 2, "", "", 0, "", 0, 0, 0, 0, 25, 1, "mpg", "mpeg", "mpeg1video", "mp2", 352, 288, "25/1", 44100, 2},
    {"vcd-ntsc", 0, 3, "", "", 0, "", 0, 0, 0, 0, 30000, 1001, "mpg", "mpeg", "mpeg1video", "mp2", 352, 240,
     "30000/1001", 44100, 2},
    {"svcd-pal", 0, 4, "", "", 0, "", 0, 0, 0, 0, 25, 1, "mpg", "mpeg", "mpeg2video", "mp2", 480, 576, "25/1", 44100, 2},
    {"svcd-ntsc", 0, 5, "", "", 0, "", 0, 0, 0, 0, 30000, 1001, "mpg", "mpeg", "mpeg2video", "mp2", 480, 480,
     "30000/1001", 44100, 2},
    {"dvd-pal", 0, 6, "", "", 0, "", 0, 0, 0, 0, 25, 1, "mpg", "mpeg", "mpeg2video", "ac3", 720, 576, "25/1", 48000, 2},
    {"dvd-ntsc", 0, 7, "", "", 0, "", 0, 0, 0, 0, 30000, 1001, "mpg", "mpeg", "mpeg2video", "ac3", 720, 480,
     "30000/1001", 48000, 2},
    {"3gp", 1, 0, "", "h263", 128, "amr_nb", 8000, 1, 176, 144, 25, 1, "3gp", "mov", "h263", "amr_nb", 176, 144, "25/1",
     8000, 1},
    {"3g2", 1, 1, "", "mpeg4", 256, "aac", 22050, 2, 176, 144, 15, 1, "3g2", "mov", "mpeg4", "aac", 176, 144, "15/1",
     22050, 2},
    {"psp", 1, 2, "", "h264", 512, "aac", 24000, 2, 320, 240, 30000, 1001, "mp4", "mov", "h264", "aac", 320, 240,
     "30000/1001", 24000, 2},
    {"ipod", 1, 3, "", "h264", 512, "aac", 44100, 2, 320, 240, 25, 1, "m4v", "mov", "h264", "aac", 320, 240, "25/1",
     44100, 2},
    {"mp4", 1, 4, "", "mpeg4", 512, "aac", 44100, 2, 320, 240, 25, 1, "mp4", "mov", "mpeg4", "aac", 320, 240, "25/1",
     44100, 2},
    {"mov", 1, 5, "", "mpeg4", 512, "aac", 48000, 2, 320, 240, 25, 1, "mov", "mov", "mpeg4", "aac", 320, 240, "25/1",
     48000, 2},
    {"avi", 2, 0, "avi", "xvid", 800, "mp3", 44100, 2, 320, 240, 25, 1, "avi", "avi", "mpeg4", "mp3", 320, 240, "25/1",
     44100, 2},
    {"flv", 2, 0, "flv", "flv", 400, "mp3", 22050, 2, 320, 240, 25, 1, "flv", "flv", "flv1", "mp3", 320, 240, "25/1",
     22050, 2},
    {"swf", 2, 0, "swf", "flv", 400, "mp3", 22050, 2, 320, 240, 25, 1, "swf", "swf", "flv1", "mp3", 320, 240, "25/1",
     22050, 2},
};

void Configure(CMpegMuxer* m, const Target& t, const std::string& path) {
  if (t.mode == 0) {
    ASSERT_EQ(m->SetFormatIndex(static_cast<unsigned>(t.value)), S_OK);
    if (t.width) {
      ASSERT_EQ(m->SetVideoSize(t.width, t.height), S_OK);
    }
  } else {
    if (t.mode == 1) {
      ASSERT_EQ(m->SetProfile(static_cast<unsigned>(t.value)), S_OK);
    } else {
      ASSERT_EQ(m->SetFormatName(t.name), S_OK);
    }
    ASSERT_EQ(m->SetVideoSize(t.width, t.height), S_OK);
    ASSERT_EQ(m->SetVideoCodec(t.video, t.kbps), S_OK);
    ASSERT_EQ(m->SetAudioCodec(t.audio, 64, t.hz, t.channels), S_OK);
  }
  ASSERT_EQ(m->SetFrameRate(t.rateNum, t.rateDen), S_OK);
  ASSERT_EQ(m->SetFileName(path), S_OK);
}

TEST_F(MpegMuxerTest, EveryOutputThroughAGraph) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  for (const Target& t : kTargets) {
    SCOPED_TRACE(t.label);
    Muxer m = MakeMuxer();
    const std::string out = Path(std::string("out-") + t.label + "." + t.ext);
    Configure(m.mux, t, out);
    PushSourceConfig cfg;
    cfg.width = 200;
    cfg.height = 150;
    cfg.rateNum = t.rateNum;
    cfg.rateDen = t.rateDen;
    cfg.frames = 2 * t.rateNum / t.rateDen;  // two seconds
    cfg.sampleRate = 44100;
    CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
    MuxGraph g;
    ASSERT_EQ(g.Build(src, m.filter), S_OK);
    ASSERT_EQ(g.control->Run(), S_OK);
    GraphEvents ev = g.WaitForEnd();
    EXPECT_EQ(ev.completes, 1);
    EXPECT_EQ(ev.aborts, 0) << std::hex << ev.abortCode << " " << m.mux->Engine().GetLastError();
    EXPECT_EQ(g.control->Stop(), S_OK);
    EXPECT_EQ(g.Remaining().completes, 0);
    ASSERT_TRUE(fs::exists(out));

    auto v = Probe(out, "v:0");
    EXPECT_NE(v["format_name"].find(t.format), std::string::npos) << v["format_name"];
    EXPECT_EQ(v["codec_name"], t.vcodec);
    EXPECT_EQ(ToInt(v["width"]), t.outWidth);
    EXPECT_EQ(ToInt(v["height"]), t.outHeight);
    EXPECT_EQ(v["r_frame_rate"], t.rate);
    // Every frame arrives: the duration is right to within one frame.
    EXPECT_NEAR(ToInt(v["nb_read_frames"]), cfg.frames, 1);
    auto a = Probe(out, "a:0");
    EXPECT_EQ(a["codec_name"], t.acodec);
    EXPECT_EQ(ToInt(a["sample_rate"]), t.outHz);
    EXPECT_EQ(ToInt(a["channels"]), t.outChannels);
    EXPECT_TRUE(DecodesCleanly(out));
    // The position reported last is the last sample's start.
    LONGLONG pos = 0;
    EXPECT_EQ(m.mux->GetCurrentPosition(&pos), S_OK);
    EXPECT_GT(pos, 10000000LL * (cfg.frames - 2) * t.rateDen / t.rateNum);
    EXPECT_FALSE(m.mux->Engine().IsOpen());
  }
}

TEST_F(MpegMuxerTest, UnconnectedVideoGivesAnAudioOnlyOutput) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  Muxer m = MakeMuxer();
  const std::string out = Path("audio-only.avi");
  ASSERT_EQ(m.mux->SetFormatName("avi"), S_OK);
  ASSERT_EQ(m.mux->SetAudioCodec("mp3", 128, 44100, 2), S_OK);
  ASSERT_EQ(m.mux->SetVideoCodec("mpeg4", 500), S_OK);
  ASSERT_EQ(m.mux->SetFileName(out), S_OK);
  PushSourceConfig cfg;
  cfg.video = false;
  cfg.audioSamples = 44100 * 2;
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.Build(src, m.filter), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  GraphEvents ev = g.WaitForEnd();
  EXPECT_EQ(ev.completes, 1);
  g.control->Stop();
  EXPECT_TRUE(Probe(out, "v").empty() || Probe(out, "v")["codec_name"].empty());
  auto a = Probe(out, "a:0");
  EXPECT_EQ(a["codec_name"], "mp3");
  EXPECT_NEAR(std::atof(a["duration"].c_str()), 2.0, 0.1);
  EXPECT_TRUE(DecodesCleanly(out));
}

TEST_F(MpegMuxerTest, EngineFailureAbortsTheRunAndReleasesTheOutput) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  struct Case {
    const char* container;
    const char* video;
    std::string path;
    HRESULT code;
  };
  const Case cases[] = {
      // SWF carries no MPEG-4 video: writing the header fails.
      {"swf", "mpeg4", Path("bad.swf"), E_UNEXPECTED},
      // The folder does not exist: opening the file fails.
      {"avi", "mpeg4", Path("no-such-folder/x.avi"), E_INVALIDARG},
      // Unknown codec: the engine refuses the set-up.
      {"avi", "no-such-codec", Path("codec.avi"), E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Muxer m = MakeMuxer();
    ASSERT_EQ(m.mux->SetFormatName(c.container), S_OK);
    ASSERT_EQ(m.mux->SetVideoCodec(c.video, 400), S_OK);
    ASSERT_EQ(m.mux->SetAudioCodec("mp3", 64, 22050, 2), S_OK);
    ASSERT_EQ(m.mux->SetFileName(c.path), S_OK);
    CComPtr<IBaseFilter> src = CPushSource::Create(PushSourceConfig{});
    MuxGraph g;
    ASSERT_EQ(g.Build(src, m.filter), S_OK);
    ASSERT_EQ(g.control->Run(), S_OK);
    GraphEvents ev = g.WaitForEnd();
    EXPECT_EQ(ev.aborts, 1);
    EXPECT_EQ(ev.completes, 0);
    EXPECT_EQ(static_cast<HRESULT>(ev.abortCode), c.code);
    // The failed output is closed before the graph hears of it.
    EXPECT_FALSE(m.mux->Engine().IsOpen());
    EXPECT_FALSE(m.mux->Engine().GetLastError().empty());
    EXPECT_EQ(g.control->Stop(), S_OK);
    EXPECT_EQ(g.Remaining().completes, 0);
  }
}

// Frames that all hold less than their picture would leave a target with
// the sound alone: the run fails and says so.
TEST_F(MpegMuxerTest, VideoOfOnlyShortFramesFailsTheRun) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  Muxer m = MakeMuxer();
  ASSERT_EQ(m.mux->SetFormatName("avi"), S_OK);
  ASSERT_EQ(m.mux->SetVideoCodec("mpeg4", 400), S_OK);
  ASSERT_EQ(m.mux->SetAudioCodec("mp3", 64, 44100, 2), S_OK);
  ASSERT_EQ(m.mux->SetFileName(Path("short.avi")), S_OK);
  PushSourceConfig cfg;
  cfg.width = 162;  // rows of 486 bytes, padded to 488
  cfg.shortBy = 2 * cfg.height;
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.Build(src, m.filter), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  GraphEvents ev = g.WaitForEnd();
  EXPECT_EQ(ev.aborts, 1);
  EXPECT_EQ(ev.completes, 0);
  EXPECT_NE(m.mux->GetRunError().find("has no video"), std::string::npos) << m.mux->GetRunError();
  g.control->Stop();
}

TEST_F(MpegMuxerTest, SplitPartsAreNamedAndEachIsAValidFile) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  Muxer m = MakeMuxer();
  const std::string out = Path("movie.avi");
  ASSERT_EQ(m.mux->SetFormatName("avi"), S_OK);
  ASSERT_EQ(m.mux->SetVideoCodec("mpeg4", 20000), S_OK);
  ASSERT_EQ(m.mux->SetAudioCodec("mp3", 128, 44100, 2), S_OK);
  ASSERT_EQ(m.mux->SetVideoSize(320, 240), S_OK);
  ASSERT_EQ(m.mux->SetSplitSize(4096), S_OK);  // parts of just over 4 MB
  ASSERT_EQ(m.mux->SetFileName(out), S_OK);
  PushSourceConfig cfg;
  cfg.width = 320;
  cfg.height = 240;
  cfg.noise = true;  // incompressible: the bit rate is reached
  cfg.frames = 250;
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.Build(src, m.filter), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  GraphEvents ev = g.WaitForEnd();
  EXPECT_EQ(ev.completes, 1);
  EXPECT_EQ(ev.aborts, 0) << m.mux->Engine().GetLastError();
  g.control->Stop();

  std::vector<std::string> parts = {out};
  for (int i = 1; fs::exists(Path("movie_" + std::to_string(i) + ".avi")); ++i)
    parts.push_back(Path("movie_" + std::to_string(i) + ".avi"));
  ASSERT_GE(parts.size(), 2u);
  int frames = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE(parts[i]);
    // Each part but the last closed once it passed the limit.
    if (i + 1 < parts.size()) {
      EXPECT_GT(fs::file_size(parts[i]), 4076u * 1000u);
    }
    auto v = Probe(parts[i], "v:0");
    EXPECT_EQ(v["codec_name"], "mpeg4");
    EXPECT_EQ(Probe(parts[i], "a:0")["codec_name"], "mp3");
    frames += ToInt(v["nb_read_frames"]);
    EXPECT_TRUE(DecodesCleanly(parts[i]));
  }
  EXPECT_EQ(frames, cfg.frames);
  // Nothing was written under a name that is not a part.
  size_t files = 0;
  for (auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file();
  EXPECT_EQ(files, parts.size());
}

TEST_F(MpegMuxerTest, FitModePutsBarsAboveAndBelowAWidePicture) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  Muxer m = MakeMuxer();
  const std::string out = Path("fit.avi");
  ASSERT_EQ(m.mux->SetFormatName("avi"), S_OK);
  ASSERT_EQ(m.mux->SetVideoCodec("mpeg4", 4000), S_OK);
  ASSERT_EQ(m.mux->SetAudioCodec("mp3", 64, 44100, 2), S_OK);
  ASSERT_EQ(m.mux->SetVideoSize(320, 240), S_OK);
  ASSERT_EQ(m.mux->SetFrameRect(0, 720, 0, 404, 1), S_OK);
  ASSERT_EQ(m.mux->SetFileName(out), S_OK);
  PushSourceConfig cfg;
  cfg.width = 720;
  cfg.height = 404;
  cfg.white = true;
  cfg.frames = 5;
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.Build(src, m.filter), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(g.WaitForEnd().completes, 1);
  g.control->Stop();
  EXPECT_EQ(m.mux->Engine().PadTop(), 30);
  EXPECT_EQ(m.mux->Engine().PadBottom(), 30);
  // Luma of the first frame, row by row.
  std::string y = RunCommand("ffmpeg -v error -i '" + out + "' -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null");
  ASSERT_EQ(y.size(), 320u * 240u);
  auto rowMean = [&](int row) {
    long sum = 0;
    for (int x = 0; x < 320; ++x) sum += static_cast<unsigned char>(y[static_cast<size_t>(row) * 320 + x]);
    return sum / 320;
  };
  for (int row : {0, 10, 27, 212, 229, 239}) EXPECT_LT(rowMean(row), 40) << "row " << row;
  for (int row : {33, 120, 206}) EXPECT_GT(rowMean(row), 180) << "row " << row;
}

TEST_F(MpegMuxerTest, StopInTheMiddleEndsTheRunWithAValidFile) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  Muxer m = MakeMuxer();
  const std::string out = Path("stopped.mpg");
  ASSERT_EQ(m.mux->SetFormatIndex(0), S_OK);
  ASSERT_EQ(m.mux->SetFileName(out), S_OK);
  PushSourceConfig cfg;
  cfg.frames = 100000;  // far more than the test waits for
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.Build(src, m.filter), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  // Wait until a second of the stream has been written.
  LONGLONG pos = 0;
  for (int i = 0; i < 60000 && pos < 10000000; ++i) {
    Sleep(1);
    m.mux->GetCurrentPosition(&pos);
  }
  ASSERT_GE(pos, 10000000);
  EXPECT_EQ(g.control->Stop(), S_OK);
  // The worker closed the output and reported the end once.
  GraphEvents ev = g.Remaining();
  EXPECT_EQ(ev.completes, 1);
  EXPECT_EQ(ev.aborts, 0);
  EXPECT_FALSE(m.mux->Engine().IsOpen());
  auto v = Probe(out, "v:0");
  EXPECT_EQ(v["codec_name"], "mpeg1video");
  const int frames = ToInt(v["nb_read_frames"]);
  EXPECT_GE(frames, 25);
  EXPECT_LT(frames, cfg.frames);
  EXPECT_TRUE(DecodesCleanly(out));

  // A second run after the stop writes the same file again from its start.
  ASSERT_EQ(g.control->Run(), S_OK);
  pos = 0;
  for (int i = 0; i < 60000 && pos < 5000000; ++i) {
    Sleep(1);
    m.mux->GetCurrentPosition(&pos);
  }
  EXPECT_EQ(g.control->Stop(), S_OK);
  EXPECT_EQ(g.Remaining().completes, 1);
  EXPECT_TRUE(DecodesCleanly(out));
}

// ---------------------------------------------------------------------------
// Settings

TEST_F(MpegMuxerTest, SettersCheckTheirRanges) {
  Muxer m = MakeMuxer();
  CMpegMuxer* x = m.mux;
  EXPECT_EQ(x->SelectMode(), CMpegMuxer::SelectByProfile);
  EXPECT_EQ(x->SetFormatIndex(8), E_INVALIDARG);
  EXPECT_EQ(x->SelectMode(), CMpegMuxer::SelectByProfile);
  EXPECT_EQ(x->SetFormatIndex(7), S_OK);
  EXPECT_EQ(x->SelectMode(), CMpegMuxer::SelectByIndex);
  EXPECT_EQ(x->SetProfile(6), E_INVALIDARG);
  EXPECT_EQ(x->SelectMode(), CMpegMuxer::SelectByIndex);
  EXPECT_EQ(x->SetProfile(5), S_OK);
  EXPECT_EQ(x->Profile(), 5);
  EXPECT_EQ(x->SetFormatName("flv"), S_OK);
  EXPECT_EQ(x->SelectMode(), CMpegMuxer::SelectByName);

  EXPECT_EQ(x->SetFrameRate(7, 1), E_INVALIDARG);
  EXPECT_EQ(x->SetFrameRate(101, 1), E_INVALIDARG);
  EXPECT_EQ(x->SetFrameRate(0, 1), E_INVALIDARG);
  EXPECT_EQ(x->SetFrameRate(25, 0), E_INVALIDARG);
  EXPECT_EQ(x->SetFrameRate(2000000000, 2000000000), E_INVALIDARG);  // one frame a second
  EXPECT_EQ(x->RateNum(), 25);
  EXPECT_EQ(x->SetFrameRate(30000, 1001), S_OK);
  EXPECT_EQ(x->RateNum(), 30000);
  EXPECT_EQ(x->RateDen(), 1001);
  EXPECT_EQ(x->SetFrameRate(8, 1), S_OK);
  EXPECT_EQ(x->SetFrameRate(100, 1), S_OK);

  EXPECT_EQ(x->SetVideoSize(9, 100), E_INVALIDARG);
  EXPECT_EQ(x->SetVideoSize(100, 9), E_INVALIDARG);
  EXPECT_EQ(x->Width(), 320);
  EXPECT_EQ(x->SetVideoSize(10, 10), S_OK);
  EXPECT_EQ(x->Height(), 10);

  // Single-file targets pass 0, which is refused and leaves no split.
  EXPECT_EQ(x->SetSplitSize(0), E_INVALIDARG);
  EXPECT_EQ(x->SplitSize(), 0);
  EXPECT_EQ(x->SetSplitSize(4095), E_INVALIDARG);
  EXPECT_EQ(x->SetSplitSize(700000), S_OK);
  EXPECT_EQ(x->SplitSize(), 699980);

  EXPECT_EQ(x->SetOutputText(std::string(300, 'x')), S_OK);
  EXPECT_EQ(x->OutputText(), std::string(256, 'x'));
  EXPECT_EQ(x->SetOutputText(std::string(256, 'y')), S_OK);
  EXPECT_EQ(x->OutputText().size(), 256u);
}

TEST_F(MpegMuxerTest, ByIndexTheOutputEndsInMpg) {
  Muxer m = MakeMuxer();
  CMpegMuxer* x = m.mux;
  ASSERT_EQ(x->SetFormatIndex(0), S_OK);
  const std::pair<const char*, const char*> cases[] = {
      {"/out/clip.avi", "/out/clip.mpg"},
      {"/out/clip", "/out/clip.mpg"},
      {"/out/CLIP.MPG", "/out/CLIP.MPG"},
      // A point in a folder name is no extension.
      {"/out/my.dir/clip", "/out/my.dir/clip.mpg"},
      {"C:\\my.dir\\clip", "C:\\my.dir\\clip.mpg"},
  };
  for (auto& [in, want] : cases) {
    EXPECT_EQ(x->SetFileName(in), S_OK);
    EXPECT_EQ(x->FileName(), want);
    EXPECT_EQ(x->Engine().GetOutputName(), want);
  }
  ASSERT_EQ(x->SetFormatName("avi"), S_OK);
  EXPECT_EQ(x->SetFileName("/out/clip.avi"), S_OK);
  EXPECT_EQ(x->FileName(), "/out/clip.avi");
}

TEST_F(MpegMuxerTest, SettersAreRefusedUnlessStopped) {
  Muxer m = MakeMuxer();
  CMpegMuxer* x = m.mux;
  ASSERT_EQ(x->SetFormatName("avi"), S_OK);
  ASSERT_EQ(x->SetFileName(Path("state.avi")), S_OK);
  ASSERT_EQ(m.filter->Pause(), S_OK);
  EXPECT_EQ(x->SetFormatIndex(1), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetProfile(1), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetFormatName("mp4"), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetFrameRate(30, 1), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetVideoSize(640, 480), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetSplitSize(5000), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetFrameRect(0, 1, 0, 1, 1), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetVideoCodec("h264", 100), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetAudioCodec("aac", 64, 44100, 2), VFW_E_WRONG_STATE);
  EXPECT_EQ(x->SetFileName(Path("other.avi")), VFW_E_WRONG_STATE);
  // Range checks come first.
  EXPECT_EQ(x->SetFormatIndex(9), E_INVALIDARG);
  EXPECT_EQ(x->SetOutputText("any time"), S_OK);
  LONGLONG pos = 0;
  EXPECT_EQ(x->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, 0), VFW_E_WRONG_STATE);
  EXPECT_EQ(m.filter->Stop(), S_OK);
  EXPECT_EQ(x->FormatName(), "avi");
  EXPECT_EQ(x->RateNum(), 25);
  EXPECT_EQ(x->SetFrameRate(30, 1), S_OK);
  EXPECT_EQ(x->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
}

TEST_F(MpegMuxerTest, NoOutputPathRefusesTheStartAndStaysStopped) {
  Muxer m = MakeMuxer();
  ASSERT_EQ(m.mux->SetProfile(4), S_OK);
  ASSERT_EQ(m.mux->SetFileName(""), S_OK);
  FILTER_STATE fs = State_Running;
  EXPECT_EQ(m.filter->Pause(), E_INVALIDARG);
  EXPECT_EQ(m.filter->GetState(0, &fs), S_OK);
  EXPECT_EQ(fs, State_Stopped);
  EXPECT_EQ(m.mux->SetFormatIndex(1), S_OK);  // still takes settings

  // Through a graph the refusal reaches the caller, and the graph stops.
  CComPtr<IBaseFilter> src = CPushSource::Create(PushSourceConfig{});
  MuxGraph g;
  ASSERT_EQ(g.Build(src, m.filter), S_OK);
  EXPECT_EQ(g.control->Run(), E_INVALIDARG);
  OAFilterState state = State_Running;
  g.control->GetState(0, &state);
  EXPECT_EQ(state, State_Stopped);
  EXPECT_EQ(m.filter->GetState(0, &fs), S_OK);
  EXPECT_EQ(fs, State_Stopped);
}

TEST_F(MpegMuxerTest, PinsAcceptOnlyRgbVideoAndPcm16) {
  Muxer m = MakeMuxer();
  auto* video = static_cast<CMpegInputPin*>(m.mux->GetPin(0));
  auto* audio = static_cast<CMpegInputPin*>(m.mux->GetPin(1));
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(m.mux->GetPin(2), nullptr);
  EXPECT_EQ(m.mux->GetPinCount(), 2);
  EXPECT_STREQ(video->Name(), L"Video");
  EXPECT_STREQ(audio->Name(), L"Audio");

  CMediaType v;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(v.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  vih->bmiHeader.biWidth = 16;
  vih->bmiHeader.biHeight = 16;
  vih->bmiHeader.biBitCount = 24;
  v.SetType(&MEDIATYPE_Video);
  v.SetSubtype(&MEDIASUBTYPE_RGB24);
  v.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_EQ(video->CheckMediaType(&v), S_OK);
  EXPECT_EQ(audio->CheckMediaType(&v), E_INVALIDARG);
  v.SetSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_EQ(video->CheckMediaType(&v), S_OK);
  v.SetSubtype(&MEDIASUBTYPE_RGB565);
  EXPECT_EQ(video->CheckMediaType(&v), E_INVALIDARG);
  v.SetSubtype(&MEDIASUBTYPE_RGB24);
  v.SetFormatType(&FORMAT_WaveFormatEx);
  EXPECT_EQ(video->CheckMediaType(&v), E_INVALIDARG);
  // A format block too short for its header is not read.
  v.SetFormatType(&FORMAT_VideoInfo2);
  EXPECT_EQ(video->CheckMediaType(&v), E_INVALIDARG);

  CMediaType a;
  auto* wfx = reinterpret_cast<WAVEFORMATEX*>(a.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  wfx->wFormatTag = WAVE_FORMAT_PCM;
  wfx->nChannels = 2;
  wfx->nSamplesPerSec = 44100;
  wfx->wBitsPerSample = 16;
  a.SetType(&MEDIATYPE_Audio);
  a.SetSubtype(&MEDIASUBTYPE_PCM);
  a.SetFormatType(&FORMAT_WaveFormatEx);
  EXPECT_EQ(audio->CheckMediaType(&a), S_OK);
  EXPECT_EQ(video->CheckMediaType(&a), E_INVALIDARG);
  wfx->wBitsPerSample = 8;
  EXPECT_EQ(audio->CheckMediaType(&a), E_INVALIDARG);
  wfx->wBitsPerSample = 16;
  wfx->wFormatTag = 3;
  EXPECT_EQ(audio->CheckMediaType(&a), E_INVALIDARG);
}

TEST_F(MpegMuxerTest, SeekingReportsOnlyDurationAndPosition) {
  Muxer m = MakeMuxer();
  CComQIPtr<IMediaSeeking> s(m.filter);
  ASSERT_TRUE(s);
  DWORD caps = 0;
  EXPECT_EQ(s->GetCapabilities(&caps), S_OK);
  EXPECT_EQ(caps, 0x28u);
  caps = AM_SEEKING_CanGetDuration;
  EXPECT_EQ(s->CheckCapabilities(&caps), S_OK);
  caps = AM_SEEKING_CanGetDuration | AM_SEEKING_CanSeekAbsolute;
  EXPECT_EQ(s->CheckCapabilities(&caps), S_FALSE);
  EXPECT_EQ(caps, static_cast<DWORD>(AM_SEEKING_CanGetDuration));
  caps = AM_SEEKING_CanSeekAbsolute;
  EXPECT_EQ(s->CheckCapabilities(&caps), E_FAIL);
  EXPECT_EQ(s->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
  EXPECT_EQ(s->SetTimeFormat(&TIME_FORMAT_FRAME), E_INVALIDARG);
  EXPECT_EQ(s->IsFormatSupported(&TIME_FORMAT_FRAME), S_FALSE);
  LONGLONG d = -1;
  EXPECT_EQ(s->GetDuration(&d), S_OK);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(s->GetStopPosition(&d), E_NOTIMPL);
  EXPECT_EQ(s->SetRate(2.0), E_NOTIMPL);
}

}  // namespace
