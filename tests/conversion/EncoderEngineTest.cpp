// The encoder engine driven directly with synthetic frames and PCM; every
// output is checked with ffprobe and decoded with ffmpeg.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "conversion/EncoderEngine.h"
#include "platform/dshow/DShow.h"

namespace fs = std::filesystem;

namespace {

std::string RunCommand(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool HaveTools() { return system("ffprobe -version >/dev/null 2>&1") == 0 && system("ffmpeg -version >/dev/null 2>&1") == 0; }

// "key=value" lines of ffprobe for one stream kind.
std::map<std::string, std::string> Probe(const std::string& file, const char* select) {
  std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(select) +
                        " -show_entries stream=codec_name,codec_tag_string,width,height,r_frame_rate,sample_rate,"
                        "channels,level:format=format_name,duration -of default=noprint_wrappers=1 '" +
                        file + "' 2>&1");
  std::map<std::string, std::string> kv;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

// Seconds of audio in a file, counted by decoding it.
double AudioSeconds(const std::string& file) {
  std::string pcm = RunCommand("ffmpeg -v error -i '" + file + "' -map 0:a:0 -f s16le -ac 1 -ar 8000 - 2>/dev/null");
  return static_cast<double>(pcm.size()) / (2 * 8000);
}

// Decodes everything and reports whether ffmpeg saw an error.
bool DecodesCleanly(const std::string& file) {
  int status = 0;
  std::string err = RunCommand("ffmpeg -v error -i '" + file + "' -f null - 2>&1", &status);
  if (status != 0 || !err.empty()) ADD_FAILURE() << "ffmpeg on " << file << ": " << err;
  return status == 0 && err.empty();
}

struct MediaTypes {
  AM_MEDIA_TYPE video{};
  AM_MEDIA_TYPE audio{};
  VIDEOINFOHEADER vih{};
  WAVEFORMATEX wfx{};

  MediaTypes(int w, int h, int bits, int rate, int channels, bool bottomUp = true) {
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = w;
    vih.bmiHeader.biHeight = bottomUp ? h : -h;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = static_cast<WORD>(bits);
    vih.AvgTimePerFrame = 400000;
    video.majortype = MEDIATYPE_Video;
    video.subtype = bits == 32 ? MEDIASUBTYPE_RGB32 : MEDIASUBTYPE_RGB24;
    video.formattype = FORMAT_VideoInfo;
    video.cbFormat = sizeof(vih);
    video.pbFormat = reinterpret_cast<BYTE*>(&vih);
    wfx.wFormatTag = 1;
    wfx.nChannels = static_cast<WORD>(channels);
    wfx.nSamplesPerSec = static_cast<DWORD>(rate);
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = static_cast<WORD>(2 * channels);
    wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;
    audio.majortype = MEDIATYPE_Audio;
    audio.subtype = MEDIASUBTYPE_PCM;
    audio.formattype = FORMAT_WaveFormatEx;
    audio.cbFormat = sizeof(wfx);
    audio.pbFormat = reinterpret_cast<BYTE*>(&wfx);
  }
};

// A bottom-up (or top-down) DIB frame: a colour ramp with a moving bar.
MuxSample VideoFrame(int w, int h, int bits, int n, bool bottomUp = true) {
  MuxSample s;
  s.m_bVideo = 1;
  const int stride = static_cast<int>(DibRowBytes(w, bits));
  s.m_data.assign(static_cast<size_t>(stride) * h, 0);
  for (int y = 0; y < h; ++y) {
    const int row = bottomUp ? h - 1 - y : y;  // y counts from the top
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &s.m_data[static_cast<size_t>(row) * stride + x * (bits / 8)];
      const bool bar = ((x + n * 4) % w) < w / 8;
      p[0] = bar ? 255 : static_cast<uint8_t>(x * 255 / w);
      p[1] = bar ? 255 : static_cast<uint8_t>(y * 255 / h);
      p[2] = bar ? 255 : 128;
    }
  }
  s.m_dwFlags = MuxSample::TimeValid | MuxSample::KeySample;
  return s;
}

MuxSample AudioBlock(int rate, int channels, int samples, int64_t& phase) {
  MuxSample s;
  s.m_bVideo = 0;
  s.m_data.resize(static_cast<size_t>(samples) * channels * 2);
  auto* p = reinterpret_cast<int16_t*>(s.m_data.data());
  for (int i = 0; i < samples; ++i, ++phase)
    for (int c = 0; c < channels; ++c)
      p[i * channels + c] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * (c + 1) * phase / rate));
  s.m_dwFlags = MuxSample::TimeValid | MuxSample::KeySample;
  return s;
}

class EncoderEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    dir_ = fs::temp_directory_path() / ("pellomar-engine-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty() && !getenv("KEEP")) fs::remove_all(dir_, ec);
  }

  // Feeds seconds of video at fps and matching audio.
  void Feed(CEncoderEngine& e, int w, int h, int bits, double fps, double seconds, int rate, int channels,
            bool withAudio = true, bool bottomUp = true) {
    const int frames = static_cast<int>(std::lround(fps * seconds));
    int64_t phase = 0;
    const int perFrame = static_cast<int>(rate / fps);
    for (int i = 0; i < frames; ++i) {
      ASSERT_EQ(e.WritePacket(VideoFrame(w, h, bits, i, bottomUp)), S_OK) << e.GetLastError();
      if (withAudio) {
        ASSERT_EQ(e.WritePacket(AudioBlock(rate, channels, perFrame, phase)), S_OK);
      }
    }
  }

  std::string Path(const std::string& name) { return (dir_ / name).string(); }

  // Picture n of a 96 x 64 output shows the ramp of VideoFrame upright:
  // green dark at the top, bright at the bottom.
  void ExpectRampDarkAtTheTop(const std::string& out, int n) {
    const std::string raw = Path("frame.rgb");
    RunCommand("ffmpeg -v error -i '" + out + "' -vf select='eq(n\\," + std::to_string(n) +
               ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 -y '" + raw + "'");
    FILE* f = fopen(raw.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> px(96 * 64 * 3);
    ASSERT_EQ(fread(px.data(), 1, px.size(), f), px.size());
    fclose(f);
    EXPECT_LT(px[(2 * 96 + 48) * 3 + 1] + 100, px[(61 * 96 + 48) * 3 + 1]) << "picture " << n;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(EncoderEngineTest, MpegTargetsByIndex) {
  struct Target {
    int index;  // muxer format index
    const char* format;
    const char* video;
    int width, height;
    const char* rate;
    const char* audio;
    const char* sampleRate;
  };
  const Target targets[] = {
      {0, "mpeg", "mpeg1video", 320, 240, "25/1", "mp2", "44100"},
      {1, "mpeg", "mpeg2video", 320, 240, "25/1", "mp2", "44100"},
      {2, "mpeg", "mpeg1video", 352, 288, "25/1", "mp2", "44100"},
      {3, "mpeg", "mpeg1video", 352, 240, "30000/1001", "mp2", "44100"},
      {4, "mpeg", "mpeg2video", 480, 576, "25/1", "mp2", "44100"},
      {5, "mpeg", "mpeg2video", 480, 480, "30000/1001", "mp2", "44100"},
      {6, "mpeg", "mpeg2video", 720, 576, "25/1", "ac3", "48000"},
      {7, "mpeg", "mpeg2video", 720, 480, "30000/1001", "ac3", "48000"},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(t.index);
    CEncoderEngine e;
    MediaTypes mt(176, 144, 24, 44100, 2);
    ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
    const std::string out = Path("idx" + std::to_string(t.index) + ".mpg");
    e.SetOutputName(out);
    HRESULT hr = t.index <= 1 ? e.SetMpegParams(t.index, 320, 240, 25, 1) : e.SetMpegFormat(t.index - 2);
    ASSERT_EQ(hr, S_OK) << e.GetLastError();
    ASSERT_EQ(e.WriteHeader(), S_OK) << e.GetLastError();
    const double fps = t.index % 2 == 1 && t.index >= 3 ? 30000.0 / 1001 : 25;
    Feed(e, 176, 144, 24, fps, 1.0, 44100, 2);
    EXPECT_GT(e.GetByteCount(), 0);
    ASSERT_EQ(e.Close(), S_OK);
    auto v = Probe(out, "v");
    EXPECT_EQ(v["format_name"].find("mpeg"), 0u) << v["format_name"];
    EXPECT_EQ(v["codec_name"], t.video);
    EXPECT_EQ(v["width"], std::to_string(t.width));
    EXPECT_EQ(v["height"], std::to_string(t.height));
    EXPECT_EQ(v["r_frame_rate"], t.rate);
    auto a = Probe(out, "a");
    EXPECT_EQ(a["codec_name"], t.audio);
    EXPECT_EQ(a["sample_rate"], t.sampleRate);
    EXPECT_NEAR(std::stod(v["duration"]), 1.0, 0.2);
    DecodesCleanly(out);
  }
}

TEST_F(EncoderEngineTest, ProfilesAndNamedContainers) {
  struct Target {
    int profile;  // -1: by name
    const char* name;
    const char* video;
    int kbps;
    const char* audio;
    int hz, channels;
    int width, height;
    const char* expectVideo;
    const char* expectAudio;
    const char* ext;
  };
  const Target targets[] = {
      {0, "", "h263", 128, "amr_nb", 8000, 1, 176, 144, "h263", "amr_nb", "3gp"},
      {1, "", "mpeg4", 256, "aac", 22050, 2, 176, 144, "mpeg4", "aac", "3g2"},
      {2, "", "h264", 512, "aac", 24000, 2, 320, 240, "h264", "aac", "mp4"},
      {3, "", "h264", 512, "aac", 44100, 2, 320, 240, "h264", "aac", "m4v"},
      {4, "", "mpeg4", 512, "aac", 44100, 2, 320, 240, "mpeg4", "aac", "mp4"},
      {5, "", "mpeg4", 512, "aac", 44100, 2, 320, 240, "mpeg4", "aac", "mov"},
      {-1, "avi", "xvid", 512, "mp3", 44100, 2, 320, 240, "mpeg4", "mp3", "avi"},
      {-1, "avi", "msmpeg4v2", 512, "pcm_s16le", 44100, 2, 320, 240, "msmpeg4v2", "pcm_s16le", "avi"},
      {-1, "avi", "divx", 512, "adpcm_ms", 22050, 2, 320, 240, "mpeg4", "adpcm_ms", "avi"},
      {-1, "flv", "flv", 400, "mp3", 22050, 2, 320, 240, "flv1", "mp3", "flv"},
      {-1, "swf", "flv", 400, "mp3", 22050, 2, 320, 240, "flv1", "mp3", "swf"},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(std::string(t.video) + "/" + t.audio + "." + t.ext);
    CEncoderEngine e;
    MediaTypes mt(176, 144, 32, 44100, 2);
    ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
    const std::string out = Path(std::string("p") + std::to_string(t.profile + 1) + t.video + "." + t.ext);
    e.SetOutputName(out);
    ASSERT_EQ(e.SetVideoCodec(t.video, t.kbps, t.width, t.height, 25, 1), S_OK) << e.GetLastError();
    ASSERT_EQ(e.SetAudioCodec(t.audio, 64, t.hz, t.channels), S_OK) << e.GetLastError();
    HRESULT hr = t.profile >= 0 ? e.OpenByProfile(t.profile) : e.OpenByName(t.name);
    ASSERT_EQ(hr, S_OK) << e.GetLastError();
    ASSERT_EQ(e.WriteHeader(), S_OK) << e.GetLastError();
    Feed(e, 176, 144, 32, 25, 1.0, 44100, 2);
    ASSERT_EQ(e.Close(), S_OK);
    auto v = Probe(out, "v");
    EXPECT_EQ(v["codec_name"], t.expectVideo);
    EXPECT_EQ(v["width"], std::to_string(t.width));
    EXPECT_EQ(v["height"], std::to_string(t.height));
    EXPECT_EQ(v["r_frame_rate"], "25/1");
    if (std::string(t.video) == "xvid" || std::string(t.video) == "divx") {
      EXPECT_EQ(v["codec_tag_string"], t.video);
    }
    auto a = Probe(out, "a");
    EXPECT_EQ(a["codec_name"], t.expectAudio);
    EXPECT_EQ(a["channels"], std::to_string(t.channels));
    DecodesCleanly(out);
  }
}

// Every frame handed in comes out: the encoders are drained at Close.
TEST_F(EncoderEngineTest, CloseDrainsDelayedFrames) {
  CEncoderEngine e;
  MediaTypes mt(160, 120, 24, 44100, 2);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  const std::string out = Path("drain.mp4");
  e.SetOutputName(out);
  ASSERT_EQ(e.SetVideoCodec("h264", 300, 160, 120, 25, 1), S_OK);
  ASSERT_EQ(e.SetAudioCodec("aac", 64, 44100, 2), S_OK);
  ASSERT_EQ(e.OpenByProfile(4), S_OK) << e.GetLastError();
  ASSERT_EQ(e.WriteHeader(), S_OK);
  Feed(e, 160, 120, 24, 25, 2.0, 44100, 2);
  ASSERT_EQ(e.Close(), S_OK);
  std::string frames = RunCommand("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
                           "-of csv=p=0 '" + out + "'");
  EXPECT_EQ(std::stoi(frames), 50);
  EXPECT_NEAR(AudioSeconds(out), 2.0, 0.1);
}

TEST_F(EncoderEngineTest, FitModeAddsEqualBarsAboveAndBelow) {
  CEncoderEngine e;
  MediaTypes mt(720, 404, 24, 44100, 2);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  const std::string out = Path("fit.avi");
  e.SetOutputName(out);
  ASSERT_EQ(e.SetVideoCodec("mpeg4", 800, 320, 240, 25, 1), S_OK);
  ASSERT_EQ(e.SetAudioCodec("mp3", 64, 44100, 2), S_OK);
  e.SetCrop(0, 720, 0, 404, 1);
  ASSERT_EQ(e.OpenByName("avi"), S_OK) << e.GetLastError();
  EXPECT_EQ(e.PadTop(), 30);
  EXPECT_EQ(e.PadBottom(), 30);
  EXPECT_EQ(e.OutputHeight(), 180);
  ASSERT_EQ(e.WriteHeader(), S_OK);
  // A white picture, so that the bars show against it.
  MuxSample white = VideoFrame(720, 404, 24, 0);
  std::fill(white.m_data.begin(), white.m_data.end(), 255);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(e.WritePacket(white), S_OK);
  ASSERT_EQ(e.Close(), S_OK);
  auto v = Probe(out, "v");
  EXPECT_EQ(v["width"], "320");
  EXPECT_EQ(v["height"], "240");
  // Decode the first frame as grey and look at rows in the bars and in the picture.
  const std::string raw = Path("fit.gray");
  RunCommand("ffmpeg -v error -i '" + out + "' -frames:v 1 -f rawvideo -pix_fmt gray '" + raw + "'");
  FILE* f = fopen(raw.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> px(320 * 240);
  ASSERT_EQ(fread(px.data(), 1, px.size(), f), px.size());
  fclose(f);
  auto row = [&](int y) {
    int sum = 0;
    for (int x = 0; x < 320; ++x) sum += px[y * 320 + x];
    return sum / 320;
  };
  EXPECT_LT(row(10), 40);    // top bar
  EXPECT_LT(row(229), 40);   // bottom bar
  EXPECT_GT(row(120), 200);  // the picture
  EXPECT_GT(row(35), 200);
  EXPECT_GT(row(204), 200);
}

TEST_F(EncoderEngineTest, WithoutAudioInputSilenceKeepsPaceWithVideo) {
  for (const char* audio : {"mp3", "pcm_s16le"}) {
    SCOPED_TRACE(audio);
    CEncoderEngine e;
    MediaTypes mt(160, 120, 24, 44100, 2);
    ASSERT_EQ(e.SetInputFormats(&mt.video, nullptr, false), S_OK);
    const std::string out = Path(std::string("silent-") + audio + ".avi");
    e.SetOutputName(out);
    ASSERT_EQ(e.SetVideoCodec("mpeg4", 400, 160, 120, 25, 1), S_OK);
    ASSERT_EQ(e.SetAudioCodec(audio, 128, 44100, 2), S_OK);
    ASSERT_EQ(e.OpenByName("avi"), S_OK) << e.GetLastError();
    ASSERT_EQ(e.WriteHeader(), S_OK);
    Feed(e, 160, 120, 24, 25, 4.0, 44100, 2, false);
    ASSERT_EQ(e.Close(), S_OK);
    // At most one silence block (96,000 bytes: 0.54 s) past the video.
    const double seconds = AudioSeconds(out);
    EXPECT_GE(seconds, 3.9);
    EXPECT_LE(seconds, 4.6);
  }
}

TEST_F(EncoderEngineTest, CodecLookupsAndRefusals) {
  CEncoderEngine e;
  ASSERT_EQ(e.SetVideoCodec("XVID", 500, 320, 240, 25, 1), S_OK);
  EXPECT_EQ(e.CodecTag(), MAKEFOURCC('x', 'v', 'i', 'd'));
  EXPECT_EQ(e.VideoBitrate(), 500000);
  const int id = e.VideoCodecId();
  EXPECT_EQ(e.SetVideoCodec("nosuchcodec", 100, 10, 10, 25, 1), E_INVALIDARG);
  EXPECT_EQ(e.VideoCodecId(), id);
  EXPECT_EQ(e.VideoBitrate(), 500000);
  EXPECT_EQ(e.SetVideoCodec("aac", 100, 10, 10, 25, 1), E_INVALIDARG);  // audio, not video
  EXPECT_EQ(e.SetAudioCodec("mpeg4", 64, 44100, 2), E_INVALIDARG);
  EXPECT_EQ(e.SetMpegParams(2, 320, 240, 25, 1), E_INVALIDARG);
  EXPECT_EQ(e.SetMpegParams(0, 320, 240, 7, 1), E_INVALIDARG);
  EXPECT_EQ(e.SetMpegParams(0, 320, 240, 101, 1), E_INVALIDARG);
  EXPECT_EQ(e.SetMpegFormat(6), E_INVALIDARG);
  EXPECT_EQ(e.OpenByProfile(6), E_INVALIDARG);
  EXPECT_EQ(e.OpenByName("no-such-container"), E_INVALIDARG);
  EXPECT_FALSE(e.IsOpen());
  // An output that cannot be created.
  MediaTypes mt(64, 48, 24, 44100, 2);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  e.SetOutputName("/nonexistent-folder/out.avi");
  ASSERT_EQ(e.SetVideoCodec("mpeg4", 100, 64, 48, 25, 1), S_OK);
  EXPECT_EQ(e.OpenByName("avi"), E_INVALIDARG);
  EXPECT_EQ(e.GetLastError(), "Could not open '/nonexistent-folder/out.avi'\n");
  // A pipe would hold the opening for good: it is refused at once.
  const std::string pipe = ::testing::TempDir() + "pellomar-engine-pipe.avi";
  std::remove(pipe.c_str());
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  e.SetOutputName(pipe);
  EXPECT_EQ(e.OpenByName("avi"), E_INVALIDARG);
  EXPECT_EQ(e.GetLastError(), "The target is not a regular file: " + pipe + "\n");
  std::remove(pipe.c_str());
}

TEST_F(EncoderEngineTest, IpodLevelAndChannelRules) {
  for (int width : {640, 320}) {
    CEncoderEngine e;
    MediaTypes mt(176, 144, 24, 48000, 6);
    ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
    const std::string out = Path("ipod" + std::to_string(width) + ".m4v");
    e.SetOutputName(out);
    ASSERT_EQ(e.SetVideoCodec("h264", 500, width, 240, 25, 1), S_OK);
    ASSERT_EQ(e.SetAudioCodec("aac", 128, 48000, 6), S_OK);
    ASSERT_EQ(e.OpenByProfile(3), S_OK) << e.GetLastError();
    ASSERT_EQ(e.WriteHeader(), S_OK);
    Feed(e, 176, 144, 24, 25, 0.4, 48000, 6);
    ASSERT_EQ(e.Close(), S_OK);
    auto v = Probe(out, "v");
    if (width == 640) {
      EXPECT_EQ(v["level"], "30");
    } else {
      EXPECT_NE(v["level"], "30");
    }
    EXPECT_EQ(Probe(out, "a")["channels"], "2");  // AAC keeps only two
  }
  // AC-3 keeps six channels.
  CEncoderEngine e;
  MediaTypes mt(176, 144, 24, 48000, 6);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  const std::string out = Path("six.mpg");
  e.SetOutputName(out);
  ASSERT_EQ(e.SetVideoCodec("mpeg2video", 2000, 176, 144, 25, 1), S_OK);
  ASSERT_EQ(e.SetAudioCodec("ac3", 384, 48000, 6), S_OK);
  ASSERT_EQ(e.OpenByName("vob"), S_OK) << e.GetLastError();
  ASSERT_EQ(e.WriteHeader(), S_OK);
  Feed(e, 176, 144, 24, 25, 0.4, 48000, 6);
  ASSERT_EQ(e.Close(), S_OK);
  EXPECT_EQ(Probe(out, "a")["channels"], "6");
}

// The AMR encoders list no rates or layouts, yet take one of each: a job
// that asks for another rate and two channels is resampled and mixed down
// (AMR-NB through a whole job is an end-to-end case).
TEST_F(EncoderEngineTest, AmrWideBandTakesItsOnlyRateAndMono) {
  CEncoderEngine e;
  MediaTypes mt(176, 144, 24, 48000, 2);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  const std::string out = Path("amr_wb.3gp");
  e.SetOutputName(out);
  ASSERT_EQ(e.SetVideoCodec("h263", 128, 176, 144, 25, 1), S_OK);
  ASSERT_EQ(e.SetAudioCodec("amr_wb", 64, 48000, 2), S_OK);
  ASSERT_EQ(e.OpenByProfile(0), S_OK) << e.GetLastError();
  ASSERT_EQ(e.WriteHeader(), S_OK) << e.GetLastError();
  Feed(e, 176, 144, 24, 25, 1.0, 48000, 2);
  ASSERT_EQ(e.Close(), S_OK);
  auto a = Probe(out, "a");
  EXPECT_EQ(a["sample_rate"], "16000");
  EXPECT_EQ(a["channels"], "1");
  EXPECT_NEAR(AudioSeconds(out), 1.0, 0.1);
}

// Which video codecs the containers take, asked of the muxers before any
// output is opened.
TEST(EncoderEngineContainers, VideoCodecFitsTheContainer) {
  const struct {
    const char* container;
    const char* codec;
    bool fits;
  } cases[] = {
      {"3gp", "h263p", false}, {"3g2", "h263p", false}, {"psp", "h263p", false}, {"ipod", "h263p", false},
      {"mp4", "h263p", false}, {"mov", "h263p", true},  {"avi", "h263p", true},  {"3gp", "h263", true},
      {"3g2", "mpeg4", true},  {"psp", "h264", true},   {"mp4", "xvid", true},   {"flv", "flv", true},
      {"swf", "flv", true},    {"avi", "msmpeg4v2", true},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(std::string(t.codec) + " in " + t.container);
    std::string text;
    const HRESULT hr = CEncoderEngine::CheckVideoFits(t.container, t.codec, &text);
    EXPECT_EQ(hr, t.fits ? S_OK : E_INVALIDARG);
    EXPECT_EQ(text, t.fits ? "" : std::string(t.codec) + " video cannot be written into a " + t.container + " file\n");
  }
}

TEST_F(EncoderEngineTest, ShortAndTopDownFramesAreHandled) {
  CEncoderEngine e;
  MediaTypes mt(96, 64, 24, 44100, 2, false);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  const std::string out = Path("short.avi");
  e.SetOutputName(out);
  ASSERT_EQ(e.SetVideoCodec("mpeg4", 300, 96, 64, 25, 1), S_OK);
  ASSERT_EQ(e.SetAudioCodec("mp3", 64, 44100, 2), S_OK);
  ASSERT_EQ(e.OpenByName("avi"), S_OK);
  ASSERT_EQ(e.WriteHeader(), S_OK);
  MuxSample good = VideoFrame(96, 64, 24, 0, false);
  MuxSample shortFrame = good;
  shortFrame.m_data.resize(good.m_data.size() / 2);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(e.WritePacket(good), S_OK);
    ASSERT_EQ(e.WritePacket(shortFrame), S_OK);  // dropped, never read past its end
  }
  ASSERT_EQ(e.Close(), S_OK);
  std::string frames = RunCommand("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
                           "-of csv=p=0 '" + out + "'");
  EXPECT_EQ(std::stoi(frames), 4);
  // Top-down input is not flipped: the top rows of the ramp are dark green.
  ExpectRampDarkAtTheTop(out, 0);
}

TEST_F(EncoderEngineTest, PictureSizeChangeIsScaledIntoTheSameOutput) {
  CEncoderEngine e;
  MediaTypes mt(96, 64, 24, 44100, 2);
  ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
  const std::string out = Path("resized.mp4");
  e.SetOutputName(out);
  ASSERT_EQ(e.SetVideoCodec("mpeg4", 300, 96, 64, 25, 1), S_OK);
  ASSERT_EQ(e.SetAudioCodec("aac", 64, 44100, 2), S_OK);
  ASSERT_EQ(e.OpenByName("mp4"), S_OK);
  ASSERT_EQ(e.WriteHeader(), S_OK);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(e.WritePacket(VideoFrame(96, 64, 24, i)), S_OK);
  // Larger, 32 bits and top-down from here on.
  MediaTypes bigger(160, 120, 32, 44100, 2, false);
  ASSERT_EQ(e.ChangeVideoInput(&bigger.video), S_OK);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(e.WritePacket(VideoFrame(160, 120, 32, i, false)), S_OK);
  MediaTypes unusable(0, 120, 32, 44100, 2);
  EXPECT_EQ(e.ChangeVideoInput(&unusable.video), VFW_E_INVALIDMEDIATYPE);
  ASSERT_EQ(e.Close(), S_OK);

  auto video = Probe(out, "v");
  EXPECT_EQ(video["width"], "96");
  EXPECT_EQ(video["height"], "64");
  EXPECT_TRUE(DecodesCleanly(out));
  std::string frames = RunCommand("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
                                  "-of csv=p=0 '" + out + "'");
  EXPECT_EQ(std::stoi(frames), 6);
  // The last picture was read in its own layout: its ramp is dark green at
  // the top, bright at the bottom.
  ExpectRampDarkAtTheTop(out, 5);
}

namespace {

// A grey frame with a white block in its top left corner, a quarter of each
// side.
MuxSample MarkedFrame(int w, int h, int bits, bool bottomUp) {
  MuxSample s = VideoFrame(w, h, bits, 0, bottomUp);
  const int stride = static_cast<int>(DibRowBytes(w, bits));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &s.m_data[static_cast<size_t>(bottomUp ? h - 1 - y : y) * stride + x * (bits / 8)];
      p[0] = p[1] = p[2] = x < w / 4 && y < h / 4 ? 255 : 128;
    }
  return s;
}

}  // namespace

// Turned pictures come out as they are shown, whether the turn is the copy
// into the output (no scaling) or follows the scaler, whatever the rows'
// order and the sides (odd ones too), with the frame rectangle and the bars
// taken on the turned picture.
TEST_F(EncoderEngineTest, TurnedPicturesComeOutAsShown) {
  struct Row {
    const char* what;
    int w, h, bits;
    bool bottomUp;
    int turn, outW, outH;
    int crop[4];  // left, right, top, bottom of the shown picture; right 0: no frame rectangle
    const char* corner;
    int pictureW;  // the picture's width between bars, 0 for the whole frame
  };
  const Row rows[] = {
      {"a quarter turn in place of the copy", 96, 64, 24, true, 90, 64, 96, {}, "top-right", 0},
      {"a half turn, scaled", 96, 64, 32, false, 180, 192, 128, {}, "bottom-right", 0},
      {"odd sides, three quarters, scaled", 97, 63, 24, true, 270, 64, 96, {}, "bottom-left", 0},
      {"standing picture in a lying frame: bars left and right", 96, 64, 24, true, 90, 96, 64, {0, 64, 0, 96},
       "top-right", 42},
      {"the frame rectangle is one of the shown picture", 96, 64, 24, false, 90, 64, 48, {0, 64, 0, 48},
       "top-right", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    CEncoderEngine e;
    MediaTypes mt(r.w, r.h, r.bits, 44100, 2, r.bottomUp);
    ASSERT_EQ(e.SetInputFormats(&mt.video, &mt.audio, true), S_OK);
    const std::string out = Path("turned.mp4");
    e.SetOutputName(out);
    ASSERT_EQ(e.SetVideoCodec("mpeg4", 800, r.outW, r.outH, 25, 1), S_OK);
    ASSERT_EQ(e.SetAudioCodec("aac", 64, 44100, 2), S_OK);
    e.SetPictureTurn(r.turn);
    if (r.crop[1]) e.SetCrop(r.crop[0], r.crop[1], r.crop[2], r.crop[3], 1);
    ASSERT_EQ(e.OpenByName("mp4"), S_OK) << e.GetLastError();
    ASSERT_EQ(e.WriteHeader(), S_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(e.WritePacket(MarkedFrame(r.w, r.h, r.bits, r.bottomUp)), S_OK);
    ASSERT_EQ(e.Close(), S_OK);
    auto v = Probe(out, "v");
    ASSERT_EQ(v["width"], std::to_string(r.outW));
    ASSERT_EQ(v["height"], std::to_string(r.outH));
    const std::string raw = Path("turned.gray");
    RunCommand("ffmpeg -v error -i '" + out + "' -frames:v 1 -f rawvideo -pix_fmt gray -y '" + raw + "'");
    std::vector<uint8_t> px(static_cast<size_t>(r.outW) * r.outH);
    FILE* f = fopen(raw.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fread(px.data(), 1, px.size(), f), px.size());
    fclose(f);
    // The picture between the bars: the columns that are not black.
    int left = r.outW, right = -1;
    for (int x = 0; x < r.outW; ++x)
      if (px[static_cast<size_t>(r.outH / 2) * r.outW + x] > 40) left = std::min(left, x), right = x;
    ASSERT_LE(left, right);
    if (r.pictureW) EXPECT_NEAR(right - left + 1, r.pictureW, 4);
    else EXPECT_EQ(right - left + 1, r.outW);
    const int pw = right - left + 1;
    auto at = [&](double fx, double fy) {
      return px[static_cast<size_t>(fy * (r.outH - 1)) * r.outW + left + static_cast<size_t>(fx * (pw - 1))];
    };
    const std::map<std::string, int> corners = {{"top-left", at(0.08, 0.08)},
                                                {"top-right", at(0.92, 0.08)},
                                                {"bottom-left", at(0.08, 0.92)},
                                                {"bottom-right", at(0.92, 0.92)}};
    for (const auto& [name, level] : corners)
      if (name == r.corner) EXPECT_GT(level, 200) << name;
      else EXPECT_LT(level, 170) << name;
  }
}
