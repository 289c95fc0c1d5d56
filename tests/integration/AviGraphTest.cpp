// AVI files through the system's graph manager and converter: the AVI
// source gives way to the platform's file reader and AVI splitter (the
// system's own, entered under the platform's class id), and a file whose
// streams lie one after the other, which that splitter refuses, is read by
// the installed AVI splitter instead. Both convert to MP4; ffprobe and
// ffmpeg check what was written.
#include <gtest/gtest.h>

#include "conversion/GraphConverter.h"
#include "foundation/FilterHelpers.h"
#include "platform/codecs/AviFallbackSplitter.h"
#include "splitters/avi/AviSplitter.h"
#include "tests/conversion/ConverterTestEnv.h"
#include "tests/conversion/MuxGraph.h"
#include "tests/splitters/avi/AviTestSupport.h"

namespace {

class AviEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(AviRegisterPlatformSplitter(), S_OK); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new AviEnvironment);

// The xvid + PCM sample with all video first, then the sound in pieces of
// 40 bytes (10 stereo samples): far too many chunks apart to be read in
// file order.
std::string NonInterleavedSample() {
  avitest::Options o;
  o.interleaved = false;
  return avitest::WriteFile("stream-after-stream.avi",
                            avitest::BuildAvi(avitest::StreamsOf(TestDataPath("avi-xvid-pcm.avi"), 40), o));
}

TEST(AviGraph, SourceChoice) {
  struct Case {
    const char* name;
    std::string path;
    CLSID source;
    DWORD format;
    CLSID splitter;  // what reads the stream behind the source
  };
  const Case cases[] = {
      {"interleaved", TestDataPath("avi-mjpeg-mp3.avi"), CLSID_AviSplitter, 0x200, GUID_NULL},
      {"stream after stream", NonInterleavedSample(), CLSID_AsyncReader, 0x800000, CLSID_AviFallbackSplitter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto conv = convtest::NewConverter();
    CComPtr<IBaseFilter> source;
    DWORD format = 0;
    const std::wstring wide(c.path.begin(), c.path.end());
    ASSERT_EQ(conv->AddSourceFilterWithFormat(wide.c_str(), wide.c_str(), &source, &format), S_OK);
    EXPECT_EQ(GetFilterClsid(source), c.source);
    EXPECT_EQ(format, c.format);
    if (c.source == CLSID_AviSplitter) {
      EXPECT_EQ(GetFilterName(source), L"AVI Splitter");
      continue;
    }
    ASSERT_TRUE(SUCCEEDED(conv->ConnectFilter(source, nullptr)));
    CComPtr<IPin> peer;
    ASSERT_EQ(GetFirstPinByDirection(source, PINDIR_OUTPUT)->ConnectedTo(&peer), S_OK);
    EXPECT_EQ(GetPinFilterClsid(peer), c.splitter);
  }
}

// What the source page shows of an AVI file (as ffprobe reads the sample).
TEST(AviGraph, ProbeShowsTheStreams) {
  auto conv = convtest::NewConverter();
  SourceMediaInfo info;
  ASSERT_EQ(conv->ProbeSource(TestDataPath("avi-dx50-mp3-ac3.avi"), &info), S_OK);
  EXPECT_EQ(info.format, int(SourceFormat_AVI));
  ASSERT_TRUE(info.hasVideo);
  EXPECT_EQ(info.width, 176);
  EXPECT_EQ(info.height, 144);
  EXPECT_EQ(info.videoFourCC, avitest::Fcc("DX50"));
  EXPECT_NEAR(info.frameRate, 25.0, 0.01);
  EXPECT_NEAR(info.duration, 1.0, 0.1);
  ASSERT_TRUE(info.hasAudio);
  EXPECT_EQ(info.channels, 2);
}

TEST(AviGraph, ConvertsToMp4) {
  if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
  struct Case {
    const char* name;
    std::string path;
    CLSID splitter;
  };
  const Case cases[] = {
      {"two sound streams", TestDataPath("avi-dx50-mp3-ac3.avi"), CLSID_AviSplitter},
      {"stream after stream", NonInterleavedSample(), CLSID_AviFallbackSplitter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto conv = convtest::NewConverter();
    conv->SetOutputSize(176, 144);
    conv->SetFrameRate(25, 1);
    conv->SetEncoderParams("h264", 384, "aac", 96, 44100, 2);
    const std::string out = avitest::OutFile("avi.mp4");
    std::remove(out.c_str());
    g_strConvertError.clear();
    ASSERT_EQ(conv->BuildMP4Graph(c.path, out, 3), S_OK) << g_strConvertError;
    EXPECT_NE(FindFilterByClsid(static_cast<IGraphBuilder2*>(conv.p), c.splitter), nullptr);
    const GraphEvents ev = convtest::PlayJob(conv.p);
    EXPECT_EQ(ev.completes, 1);
    EXPECT_EQ(ev.aborts, 0);
    auto v = Probe(out, "v:0");
    EXPECT_EQ(v["codec_name"], "h264");
    // 26 frame times, that of 0.04 s without a picture of its own.
    EXPECT_EQ(v["nb_read_frames"], "26");
    auto a = Probe(out, "a:0");
    EXPECT_EQ(a["codec_name"], "aac");
    EXPECT_NEAR(std::stod(a["duration"].empty() ? "0" : a["duration"]), 1.0, 0.1);
    DecodesCleanly(out);
  }
}

}  // namespace
