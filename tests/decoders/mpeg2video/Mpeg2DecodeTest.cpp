// Decodes FFmpeg-made MPEG-1 and MPEG-2 streams and compares every frame with
// libavcodec's decode of the same stream. The inverse DCTs differ in their
// low bits, so frames are compared by PSNR, not bit for bit.
#include <gtest/gtest.h>

#include "decoders/mpeg2video/Mpeg2Dec.h"
#include "foundation/CpuFeatures.h"
#include "tests/decoders/mpeg2video/Mpeg2TestSupport.h"

namespace {

constexpr double kMinPsnr = 48.0;

struct Sample {
  const char* file;
  int width, height;
  bool bPictures;
};

class Mpeg2DecodeTest : public ::testing::TestWithParam<std::tuple<Sample, uint32_t>> {
 protected:
  void SetUp() override { m_saved = SetCpuFeaturesForTesting(std::get<1>(GetParam())); }
  void TearDown() override { SetCpuFeaturesForTesting(m_saved); }
  uint32_t m_saved = 0;
};

TEST_P(Mpeg2DecodeTest, EveryFrameMatchesTheReferenceDecoder) {
  const Sample& s = std::get<0>(GetParam());
  const std::vector<uint8_t> es = VideoElementaryStream(s.file);
  const std::vector<TestFrame> ref = ReferenceDecode(es);
  ASSERT_GT(ref.size(), 10u);
  const DecodeRun ours = OurDecode(es, 4096, 1);
  EXPECT_EQ(ours.invalid, 0);
  ASSERT_EQ(ours.frames.size(), ref.size());
  bool sawB = false, sawP = false;
  for (size_t i = 0; i < ref.size(); ++i) {
    EXPECT_EQ(ours.frames[i].width, s.width);
    EXPECT_EQ(ours.frames[i].height, s.height);
    const double psnr = Psnr(ours.frames[i], ref[i]);
    EXPECT_GE(psnr, kMinPsnr) << "frame " << i << " type " << ours.frames[i].codingType;
    sawB |= ours.frames[i].codingType == 3;
    sawP |= ours.frames[i].codingType == 2;
  }
  if (std::string(s.file) != "mpeg2-gop1-intra.m2v") {
    EXPECT_TRUE(sawP);
  }
  EXPECT_EQ(sawB, s.bPictures);
}

const Sample kSamples[] = {
    {"mpeg2-gop1-intra.m2v", 176, 144, false}, {"mpeg2-gop12-b2.m2v", 176, 144, true},
    {"mpeg2-gop30-b3.m2v", 176, 144, true},    {"mpeg1-odd-208x112.m1v", 208, 112, true},
    {"mpeg2-odd-208x112.m2v", 208, 112, true}, {"mpeg2-interlaced.mpg", 352, 288, true},
    {"mpeg1-ps.mpg", 176, 144, false},         {"vob-ac3.vob", 352, 288, true},
    {"mpeg2-intra-vlc.m2v", 112, 80, true},
};

INSTANTIATE_TEST_SUITE_P(Streams, Mpeg2DecodeTest,
                         ::testing::Combine(::testing::ValuesIn(kSamples),
                                            ::testing::Values(0u, CCpuFeatures::MMX | CCpuFeatures::SSE2)),
                         [](const auto& info) {
                           std::string n = std::get<0>(info.param).file;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n + (std::get<1>(info.param) ? "_sse2" : "_plain");
                         });

// The plain and SSE2 routine sets give the same pictures bit for bit.
TEST(Mpeg2Decode, PlainAndSse2RoutinesGiveIdenticalPictures) {
  const std::vector<uint8_t> es = VideoElementaryStream("mpeg2-interlaced.mpg");
  const uint32_t saved = SetCpuFeaturesForTesting(0);
  const DecodeRun plain = OurDecode(es, 100000, 2);
  SetCpuFeaturesForTesting(CCpuFeatures::SSE2);
  const DecodeRun sse2 = OurDecode(es, 100000, 2);
  SetCpuFeaturesForTesting(saved);
  ASSERT_EQ(plain.frames.size(), sse2.frames.size());
  for (size_t i = 0; i < plain.frames.size(); ++i) {
    EXPECT_EQ(plain.frames[i].y, sse2.frames[i].y) << i;
    EXPECT_EQ(plain.frames[i].u, sse2.frames[i].u) << i;
    EXPECT_EQ(plain.frames[i].v, sse2.frames[i].v) << i;
  }
}

}  // namespace
