// "PCM Resample" on 8, 24 and 32-bit input and the resizer's output size.
#include "platform/codecs/PcmResample.h"
#include "platform/codecs/Resizer.h"
#include "platform/codecs/VideoDecoder.h"
#include "tests/platform/codecs/CodecTestGraph.h"

namespace {

// The data of a wave file as one stream of PCM packets.
bool ReadWav(const char* name, DemuxedStream& s) {
  if (!ReadStream(TestData(name), AVMEDIA_TYPE_AUDIO, WAVE_FORMAT_PCM, s)) return false;
  return AudioWaveFormat(s.type) != nullptr;
}

// The 16-bit value of one input sample, written out from the format's
// definition (unsigned 8-bit, signed little-endian 24/32-bit).
int16_t Expected(const BYTE* p, int bits) {
  switch (bits) {
    case 8: return static_cast<int16_t>((p[0] - 128) * 256);
    case 24: return static_cast<int16_t>(p[1] | (p[2] << 8));
    case 32: return static_cast<int16_t>(p[2] | (p[3] << 8));
    default: return 0;
  }
}

class PcmResampleTest : public CodecTest, public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(PcmResampleTest, GivesSixteenBitsOfTheSameSound) {
  const auto [file, bits] = GetParam();
  DemuxedStream s;
  ASSERT_TRUE(ReadWav(file, s));
  const WAVEFORMATEX* in = AudioWaveFormat(s.type);
  ASSERT_EQ(in->wBitsPerSample, bits);
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, sinkHold);
  ASSERT_EQ(RunChain(CPacketSource::Create(s), Create(CLSID_ACMWrapper), sinkHold), S_OK);
  control->Stop();
  const CMediaType outType = sink->Type();
  const WAVEFORMATEX* out = AudioWaveFormat(outType);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->wBitsPerSample, 16);
  EXPECT_EQ(out->nChannels, in->nChannels);
  EXPECT_EQ(out->nSamplesPerSec, in->nSamplesPerSec);
  std::vector<BYTE> src, got;
  for (const auto& p : s.packets) src.insert(src.end(), p.begin(), p.end());
  for (const auto& p : sink->samples) got.insert(got.end(), p.begin(), p.end());
  const size_t n = src.size() / (bits / 8);
  ASSERT_EQ(got.size(), n * 2);
  size_t wrong = 0;
  for (size_t i = 0; i < n; ++i) {
    int16_t v;
    std::memcpy(&v, &got[2 * i], 2);
    if (v != Expected(&src[i * (bits / 8)], bits)) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Depths, PcmResampleTest,
                         ::testing::Values(std::make_pair("wav-u8.wav", 8), std::make_pair("wav-s24.wav", 24),
                                           std::make_pair("wav-s32.wav", 32)));

TEST_F(CodecTest, PcmResampleRefusesCompressedAudio) {
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData("asf-wmv2-wmav2.wmv"), AVMEDIA_TYPE_AUDIO, 0, s));
  auto src = CPacketSource::Create(s);
  auto pcm = Create(CLSID_ACMWrapper);
  graph->AddFilter(src, L"A");
  graph->AddFilter(pcm, L"PCM Resample");
  EXPECT_TRUE(FAILED(graph->ConnectDirect(PinOf(src, PINDIR_OUTPUT), PinOf(pcm, PINDIR_INPUT), nullptr)));
}

TEST_F(CodecTest, ResizerGivesTheSetSize) {
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData("avi-xvid-pcm.avi"), AVMEDIA_TYPE_VIDEO, MAKEFOURCC('X', 'V', 'I', 'D'), s, false, 10));
  auto src = CPacketSource::Create(s);
  auto dec = Create(CLSID_FfdshowVideoDecoder);
  auto resizer = Create(CLSID_VideoResizer);
  CComQIPtr<IResize> resize(resizer);
  ASSERT_TRUE(resize);
  EXPECT_EQ(resize->put_Size(0, 100, 0), E_INVALIDARG);
  ASSERT_EQ(resize->put_Size(96, 128, 0), S_OK);
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Video, MEDIASUBTYPE_RGB24, sinkHold);
  graph->AddFilter(src, L"Source");
  graph->AddFilter(dec, L"Decoder");
  graph->AddFilter(resizer, L"Resizer");
  graph->AddFilter(sinkHold, L"Sink");
  ASSERT_EQ(graph->ConnectDirect(PinOf(src, PINDIR_OUTPUT), PinOf(dec, PINDIR_INPUT), nullptr), S_OK);
  // RGB24 from the decoder, so the resizer keeps RGB24.
  CMediaType rgb;
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(s.type);
  ASSERT_EQ(MakeRawVideoType(&rgb, RawVideo::RGB24, bih->biWidth, bih->biHeight, 400000), S_OK);
  ASSERT_EQ(graph->ConnectDirect(PinOf(dec, PINDIR_OUTPUT), PinOf(resizer, PINDIR_INPUT), &rgb), S_OK);
  ASSERT_EQ(graph->ConnectDirect(PinOf(resizer, PINDIR_OUTPUT), PinOf(sinkHold, PINDIR_INPUT), nullptr), S_OK);
  // The size is fixed once the output is connected.
  EXPECT_EQ(resize->put_Size(48, 64, 0), VFW_E_WRONG_STATE);
  LONG h = 0, w = 0, flag = -1;
  ASSERT_EQ(resize->get_Size(&h, &w, &flag), S_OK);
  EXPECT_EQ(w, 128);
  EXPECT_EQ(h, 96);
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_EQ(WaitForEnd(), S_OK);
  control->Stop();
  const CMediaType outType = sink->Type();
  const BITMAPINFOHEADER* out = VideoBitmapHeader(outType);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->biWidth, 128);
  EXPECT_EQ(std::abs(out->biHeight), 96);
  ASSERT_FALSE(sink->samples.empty());
  for (const auto& p : sink->samples) EXPECT_EQ(p.size(), 128u * 96u * 3u);
  // Scaled pictures, not blank ones.
  const auto& first = sink->samples.front();
  EXPECT_NE(std::count(first.begin(), first.end(), first[0]), static_cast<long>(first.size()));
}

// The picture writer the decoders and the resizer draw with: rows whose
// width is not a whole number of the scaler's blocks keep their first and
// last pixels, and nothing is written outside the buffer (the scaler's
// vector code writes whole blocks).
struct WriterCase {
  RawVideo kind;
  int width, height;
};

class PictureWriterTest : public ::testing::TestWithParam<WriterCase> {};

TEST_P(PictureWriterTest, DrawsEveryRowWithinTheBuffer) {
  const WriterCase c = GetParam();
  AvFramePtr src(av_frame_alloc());
  src->width = c.width;
  src->height = c.height;
  src->format = AV_PIX_FMT_YUV420P;
  ASSERT_GE(av_frame_get_buffer(src.get(), 0), 0);
  // Black with a white band at the right edge; grey chroma.
  for (int y = 0; y < c.height; ++y)
    for (int x = 0; x < c.width; ++x) src->data[0][y * src->linesize[0] + x] = x < c.width - 8 ? 16 : 235;
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < c.height / 2; ++y) std::memset(src->data[p] + y * src->linesize[p], 128, c.width / 2);

  CMediaType mt;
  ASSERT_EQ(MakeRawVideoType(&mt, c.kind, c.width, c.height, 400000), S_OK);
  CPictureWriter writer;
  ASSERT_TRUE(writer.SetTarget(mt));
  constexpr size_t kGuard = 256;
  const size_t size = writer.ImageSize();
  std::vector<BYTE> buffer(size + 2 * kGuard, 0xA5);
  ASSERT_TRUE(writer.Write(src.get(), buffer.data() + kGuard, size));
  for (size_t i = 0; i < kGuard; ++i) {
    ASSERT_EQ(buffer[i], 0xA5) << "byte " << kGuard - i << " before the buffer";
    ASSERT_EQ(buffer[kGuard + size + i], 0xA5) << "byte " << i << " past the buffer";
  }
  const BYTE* image = buffer.data() + kGuard;
  const bool rgb = c.kind == RawVideo::RGB24 || c.kind == RawVideo::RGB32;
  const int bpp = c.kind == RawVideo::RGB24 ? 3 : c.kind == RawVideo::RGB32 ? 4 : 1;
  const size_t stride = rgb ? DibRowBytes(c.width, bpp * 8) : static_cast<size_t>(c.width);
  for (int y = 0; y < c.height; ++y) {
    const BYTE* row = image + y * stride;
    EXPECT_LT(row[0], 20) << "row " << y << ": first pixel not black";
    EXPECT_GT(row[static_cast<size_t>(c.width - 1) * bpp], 230) << "row " << y << ": last pixel not white";
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureWriterTest,
                         ::testing::Values(WriterCase{RawVideo::RGB24, 600, 450}, WriterCase{RawVideo::RGB24, 602, 454},
                                           WriterCase{RawVideo::RGB32, 600, 450}, WriterCase{RawVideo::YV12, 602, 454},
                                           WriterCase{RawVideo::RGB32, 608, 448}));

}  // namespace
