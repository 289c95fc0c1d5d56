// The video and audio decoder stand-ins in a graph, against FFmpeg's own
// decode of the same streams.
#include "platform/codecs/AsfSource.h"
#include "platform/codecs/AudioDecoder.h"
#include "platform/codecs/CodecInfo.h"
#include "platform/codecs/VideoDecoder.h"
#include "tests/platform/codecs/CodecTestGraph.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

constexpr DWORD Fcc(const char (&s)[5]) {
  return static_cast<DWORD>(s[0]) | (static_cast<DWORD>(s[1]) << 8) | (static_cast<DWORD>(s[2]) << 16) |
         (static_cast<DWORD>(s[3]) << 24);
}

struct VideoCase {
  const char* file;
  DWORD fourcc;
  bool mpeg1;
};

class VideoDecodeTest : public CodecTest, public ::testing::WithParamInterface<VideoCase> {};

TEST_P(VideoDecodeTest, MatchesFfmpegDecode) {
  const VideoCase& c = GetParam();
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData(c.file), AVMEDIA_TYPE_VIDEO, c.fourcc, s, c.mpeg1));
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Video, MEDIASUBTYPE_YV12, sinkHold);
  auto decoder = Create(c.mpeg1 ? CLSID_CMpegVideoCodec : CLSID_FfdshowVideoDecoder);
  ASSERT_TRUE(decoder);
  ASSERT_EQ(RunChain(CPacketSource::Create(s), decoder, sinkHold), S_OK);
  control->Stop();

  int w = 0, h = 0;
  auto ref = ReferenceDecode(TestData(c.file), w, h);
  ASSERT_FALSE(ref.empty());
  ASSERT_EQ(sink->samples.size(), ref.size());
  double worst = 100;
  for (size_t i = 0; i < ref.size(); ++i) worst = std::min(worst, Psnr(Yv12ToI420(sink->samples[i], w, h), ref[i]));
  EXPECT_GT(worst, 45.0) << c.file;
  // Times rise frame by frame.
  for (size_t i = 1; i < sink->starts.size(); ++i) EXPECT_GT(sink->starts[i], sink->starts[i - 1]);
}

INSTANTIATE_TEST_SUITE_P(Streams, VideoDecodeTest,
                         ::testing::Values(VideoCase{"avi-xvid-pcm.avi", Fcc("XVID"), false},
                                           VideoCase{"mp4-h264-aac.mp4", Fcc("AVC1"), false},
                                           VideoCase{"flv-flv1-mp3.flv", Fcc("FLV1"), false},
                                           VideoCase{"avi-mjpeg-mp3.avi", Fcc("MJPG"), false},
                                           VideoCase{"mov-mjpeg-pcm.mov", Fcc("jpeg"), false},
                                           VideoCase{"st-hevc.mp4", Fcc("hvc1"), false},
                                           VideoCase{"st-vp8-vorbis.mkv", Fcc("VP80"), false},
                                           VideoCase{"theora-vorbis.ogg", Fcc("THEO"), false},
                                           VideoCase{"st-ac3-mono.avi", Fcc("mpg2"), false},
                                           VideoCase{"mpeg1-odd-208x112.m1v", 0, true}));

TEST_F(CodecTest, WmvThroughAsfSourceMatchesFfmpeg) {
  auto source = Create(CLSID_WMAsfReader);
  CComQIPtr<IFileSourceFilter> load(source);
  ASSERT_TRUE(load);
  const std::wstring path = Utf8ToWide(TestData("asf-wmv2-wmav2.wmv"));
  ASSERT_EQ(load->Load(path.c_str(), nullptr), S_OK);
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Video, MEDIASUBTYPE_YV12, sinkHold);
  auto decoder = Create(CLSID_FfdshowVideoDecoder);
  ASSERT_EQ(RunChain(source, decoder, sinkHold), S_OK);
  control->Stop();
  int w = 0, h = 0;
  auto ref = ReferenceDecode(TestData("asf-wmv2-wmav2.wmv"), w, h);
  ASSERT_EQ(sink->samples.size(), ref.size());
  for (size_t i = 0; i < ref.size(); ++i) EXPECT_GT(Psnr(Yv12ToI420(sink->samples[i], w, h), ref[i]), 45.0);
}

TEST_F(CodecTest, AsfSourceRefusesOtherFiles) {
  auto source = Create(CLSID_WMAsfReader);
  CComQIPtr<IFileSourceFilter> load(source);
  const std::wstring path = Utf8ToWide(TestData("avi-xvid-pcm.avi"));
  EXPECT_EQ(load->Load(path.c_str(), nullptr), VFW_E_INVALID_FILE_FORMAT);
  CComPtr<IEnumPins> pins;
  source->EnumPins(&pins);
  IPin* p = nullptr;
  EXPECT_NE(pins->Next(1, &p, nullptr), S_OK);
}

TEST_F(CodecTest, DamagedFrameIsDroppedAndDecodingGoesOn) {
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData("avi-xvid-pcm.avi"), AVMEDIA_TYPE_VIDEO, Fcc("XVID"), s));
  ASSERT_GT(s.packets.size(), 10u);
  int w = 0, h = 0;
  auto ref = ReferenceDecode(TestData("avi-xvid-pcm.avi"), w, h);
  // Garbage over the whole of one picture in the middle.
  auto& bad = s.packets[s.packets.size() / 2];
  uint32_t seed = 7;
  for (auto& b : bad) b = static_cast<BYTE>((seed = seed * 1103515245u + 12345u) >> 24);
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Video, MEDIASUBTYPE_YV12, sinkHold);
  ASSERT_EQ(RunChain(CPacketSource::Create(s), Create(CLSID_FfdshowVideoDecoder), sinkHold), S_OK);
  control->Stop();
  ASSERT_GE(sink->samples.size(), ref.size() / 2);
  EXPECT_LT(sink->samples.size(), ref.size() + 1);
  // The first pictures, before the damage, are untouched.
  EXPECT_GT(Psnr(Yv12ToI420(sink->samples[0], w, h), ref[0]), 45.0);
}

TEST_F(CodecTest, CodecSwitchedOffIsRefused) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\GNU\\ffdshow", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  DWORD off = 0, on = 1;
  RegSetValueExW(key, L"xvid", 0, REG_DWORD, reinterpret_cast<BYTE*>(&off), sizeof off);
  RegSetValueExW(key, L"divx", 0, REG_DWORD, reinterpret_cast<BYTE*>(&on), sizeof on);
  RegCloseKey(key);
  DemuxedStream xvid, divx;
  ASSERT_TRUE(ReadStream(TestData("avi-xvid-pcm.avi"), AVMEDIA_TYPE_VIDEO, Fcc("XVID"), xvid, false, 5));
  ASSERT_TRUE(ReadStream(TestData("avi-xvid-pcm.avi"), AVMEDIA_TYPE_VIDEO, Fcc("DIVX"), divx, false, 5));
  auto decoder = Create(CLSID_FfdshowVideoDecoder);
  auto a = CPacketSource::Create(xvid), b = CPacketSource::Create(divx);
  graph->AddFilter(a, L"A");
  graph->AddFilter(b, L"B");
  graph->AddFilter(decoder, L"Decoder");
  EXPECT_TRUE(FAILED(graph->ConnectDirect(PinOf(a, PINDIR_OUTPUT), PinOf(decoder, PINDIR_INPUT), nullptr)));
  EXPECT_EQ(graph->ConnectDirect(PinOf(b, PINDIR_OUTPUT), PinOf(decoder, PINDIR_INPUT), nullptr), S_OK);
}

TEST_F(CodecTest, Mpeg1DecoderTakesOnlyMpeg1) {
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData("avi-xvid-pcm.avi"), AVMEDIA_TYPE_VIDEO, Fcc("XVID"), s, false, 3));
  auto decoder = Create(CLSID_CMpegVideoCodec);
  auto src = CPacketSource::Create(s);
  graph->AddFilter(src, L"A");
  graph->AddFilter(decoder, L"Decoder");
  EXPECT_TRUE(FAILED(graph->ConnectDirect(PinOf(src, PINDIR_OUTPUT), PinOf(decoder, PINDIR_INPUT), nullptr)));
}

// Interleaved 16-bit samples of FFmpeg's own decode of an audio stream;
// `firstPacket` gets the index of the packet that gave the first samples.
std::vector<int16_t> ReferenceAudio(const DemuxedStream& s, AVCodecID id, size_t* firstPacket = nullptr) {
  const WAVEFORMATEX* wfx = AudioWaveFormat(s.type);
  const AVCodec* codec = avcodec_find_decoder(id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = static_cast<int>(wfx->nSamplesPerSec);
  av_channel_layout_default(&ctx->ch_layout, wfx->nChannels);
  ctx->block_align = wfx->nBlockAlign;
  ctx->bit_rate = wfx->nAvgBytesPerSec * 8LL;
  if (wfx->cbSize) {
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(wfx->cbSize + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(ctx->extradata, s.type.pbFormat + sizeof(WAVEFORMATEX), wfx->cbSize);
    ctx->extradata_size = wfx->cbSize;
  }
  avcodec_open2(ctx, codec, nullptr);
  std::vector<int16_t> out;
  AVFrame* f = av_frame_alloc();
  AVPacket* p = av_packet_alloc();
  for (size_t k = 0; k <= s.packets.size(); ++k) {
    if (k < s.packets.size()) {
      av_new_packet(p, static_cast<int>(s.packets[k].size()));
      std::memcpy(p->data, s.packets[k].data(), s.packets[k].size());
      avcodec_send_packet(ctx, p);
      av_packet_unref(p);
    } else {
      avcodec_send_packet(ctx, nullptr);  // what the decoder still holds
    }
    while (avcodec_receive_frame(ctx, f) == 0) {
      if (firstPacket && out.empty()) *firstPacket = k;
      const int ch = f->ch_layout.nb_channels;
      for (int i = 0; i < f->nb_samples; ++i)
        for (int c = 0; c < ch; ++c) {
          float v = 0;
          if (f->format == AV_SAMPLE_FMT_FLTP) v = reinterpret_cast<float*>(f->extended_data[c])[i];
          if (f->format == AV_SAMPLE_FMT_S16) v = reinterpret_cast<int16_t*>(f->data[0])[i * ch + c] / 32768.0f;
          if (f->format == AV_SAMPLE_FMT_S16P) v = reinterpret_cast<int16_t*>(f->extended_data[c])[i] / 32768.0f;
          if (f->format == AV_SAMPLE_FMT_S32) v = reinterpret_cast<int32_t*>(f->data[0])[i * ch + c] / 2147483648.0f;
          if (f->format == AV_SAMPLE_FMT_S32P) v = reinterpret_cast<int32_t*>(f->extended_data[c])[i] / 2147483648.0f;
          out.push_back(static_cast<int16_t>(std::lrintf(std::clamp(v * 32768.0f, -32768.0f, 32767.0f))));
        }
      av_frame_unref(f);
    }
  }
  av_packet_free(&p);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return out;
}

std::vector<int16_t> Collected(CCollectSink* sink) {
  std::vector<int16_t> out;
  for (const auto& s : sink->samples) {
    const size_t n = s.size() / 2;
    const size_t at = out.size();
    out.resize(at + n);
    std::memcpy(out.data() + at, s.data(), n * 2);
  }
  return out;
}

void ExpectCloseAudio(const std::vector<int16_t>& got, const std::vector<int16_t>& ref) {
  ASSERT_FALSE(ref.empty());
  ASSERT_EQ(got.size(), ref.size());
  size_t off = 0;
  for (size_t i = 0; i < ref.size(); ++i)
    if (std::abs(got[i] - ref[i]) > 1) ++off;
  EXPECT_EQ(off, 0u);
}

TEST_F(CodecTest, WmaDecodesLikeFfmpeg) {
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData("asf-wmv2-wmav2.wmv"), AVMEDIA_TYPE_AUDIO, 0, s));
  ASSERT_EQ(s.type.subtype, FourCCGuid(0x161));
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, sinkHold);
  ASSERT_EQ(RunChain(CPacketSource::Create(s), Create(CLSID_FfAudioDecoder), sinkHold), S_OK);
  control->Stop();
  size_t first = 0;
  ExpectCloseAudio(Collected(sink), ReferenceAudio(s, AV_CODEC_ID_WMAV2, &first));
  // The decoder gives nothing for its first packets: the sound starts at
  // the time of the packet that gave the first samples, not at the first
  // packet's.
  ASSERT_GT(first, 0u);
  ASSERT_LT(first, s.times.size());
  ASSERT_FALSE(sink->starts.empty());
  EXPECT_EQ(sink->starts[0], s.times[first]);
  const CMediaType outType = sink->Type();
  const WAVEFORMATEX* out = AudioWaveFormat(outType);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->wBitsPerSample, 16);
}

// Every row of both decoders' tables: FFmpeg has its decoder and the
// stand-in takes a plain type of that code. The rows with a small sample
// decode it as FFmpeg does (VideoDecodeTest, SoundDecodeTest).
TEST_F(CodecTest, EveryTableRowDecodes) {
  for (const VideoCodecEntry& e : CFfVideoDecoder::CodecTable()) {
    DemuxedStream s;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(s.type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    *vih = VIDEOINFOHEADER{};
    vih->bmiHeader = {sizeof(BITMAPINFOHEADER), 160, 120, 1, 24, e.fourcc, 0, 0, 0, 0, 0};
    s.type.SetType(&MEDIATYPE_Video);
    const GUID sub = FourCCGuid(e.fourcc);
    s.type.SetSubtype(&sub);
    s.type.SetFormatType(&FORMAT_VideoInfo);
    EXPECT_TRUE(avcodec_find_decoder(e.codec)) << std::string(reinterpret_cast<const char*>(&e.fourcc), 4);
    EXPECT_EQ(static_cast<CFfVideoDecoder*>(Create(CLSID_FfdshowVideoDecoder).p)->CheckInputType(&s.type), S_OK)
        << std::string(reinterpret_cast<const char*>(&e.fourcc), 4);
  }
  for (const GUID& sub : CFfAudioDecoder::Subtypes())
    EXPECT_TRUE(avcodec_find_decoder(CFfAudioDecoder::CodecFor(sub))) << sub.Data1;
}

struct SoundCase {
  const char* file;
  DWORD fourcc;
  AVCodecID codec;
};

class SoundDecodeTest : public CodecTest, public ::testing::WithParamInterface<SoundCase> {};

TEST_P(SoundDecodeTest, MatchesFfmpegDecode) {
  const SoundCase& c = GetParam();
  DemuxedStream s;
  ASSERT_TRUE(ReadStream(TestData(c.file), AVMEDIA_TYPE_AUDIO, c.fourcc, s));
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, sinkHold);
  ASSERT_EQ(RunChain(CPacketSource::Create(s), Create(CLSID_FfAudioDecoder), sinkHold), S_OK);
  control->Stop();
  ExpectCloseAudio(Collected(sink), ReferenceAudio(s, c.codec));
}

INSTANTIATE_TEST_SUITE_P(Streams, SoundDecodeTest,
                         ::testing::Values(SoundCase{"st-alac.mov", Fcc("alac"), AV_CODEC_ID_ALAC},
                                           SoundCase{"st-in24.mov", Fcc("in24"), AV_CODEC_ID_PCM_S24BE},
                                           SoundCase{"st-ac3.mov", Fcc("ac-3"), AV_CODEC_ID_AC3},
                                           SoundCase{"st-ra144.rm", Fcc("lpcJ"), AV_CODEC_ID_RA_144}));

TEST_F(CodecTest, MsAdpcmDecodesLikeFfmpeg) {
  // A tone encoded here with FFmpeg's MS ADPCM encoder.
  const AVCodec* enc = avcodec_find_encoder(AV_CODEC_ID_ADPCM_MS);
  ASSERT_TRUE(enc);
  AVCodecContext* ctx = avcodec_alloc_context3(enc);
  ctx->sample_rate = 22050;
  av_channel_layout_default(&ctx->ch_layout, 2);
  ctx->sample_fmt = AV_SAMPLE_FMT_S16;
  ctx->block_align = 1024;
  ASSERT_EQ(avcodec_open2(ctx, enc, nullptr), 0);
  DemuxedStream s;
  BYTE* block = s.type.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + ctx->extradata_size));
  auto* wfx = reinterpret_cast<WAVEFORMATEX*>(block);
  wfx->wFormatTag = WAVE_FORMAT_ADPCM;
  wfx->nChannels = 2;
  wfx->nSamplesPerSec = 22050;
  wfx->nBlockAlign = static_cast<WORD>(ctx->block_align);
  wfx->nAvgBytesPerSec = 22050 * 1024 / ctx->frame_size;
  wfx->wBitsPerSample = 4;
  wfx->cbSize = static_cast<WORD>(ctx->extradata_size);
  std::memcpy(block + sizeof(WAVEFORMATEX), ctx->extradata, static_cast<size_t>(ctx->extradata_size));
  s.type.SetType(&MEDIATYPE_Audio);
  const GUID sub = FourCCGuid(WAVE_FORMAT_ADPCM);
  s.type.SetSubtype(&sub);
  s.type.SetFormatType(&FORMAT_WaveFormatEx);
  AVFrame* f = av_frame_alloc();
  AVPacket* p = av_packet_alloc();
  for (int n = 0; n < 20; ++n) {
    f->nb_samples = ctx->frame_size;
    f->format = AV_SAMPLE_FMT_S16;
    av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(f, 0);
    auto* d = reinterpret_cast<int16_t*>(f->data[0]);
    for (int i = 0; i < ctx->frame_size; ++i) {
      const double t = (n * ctx->frame_size + i) / 22050.0;
      d[2 * i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t));
      d[2 * i + 1] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 660 * t));
    }
    avcodec_send_frame(ctx, f);
    av_frame_unref(f);
    while (avcodec_receive_packet(ctx, p) == 0) {
      s.packets.emplace_back(p->data, p->data + p->size);
      s.times.push_back(static_cast<int64_t>(s.packets.size() - 1) * ctx->frame_size * 10000000 / 22050);
      s.keys.push_back(true);
      av_packet_unref(p);
    }
  }
  av_packet_free(&p);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  CComPtr<IBaseFilter> sinkHold;
  CCollectSink* sink = CCollectSink::Create(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, sinkHold);
  ASSERT_EQ(RunChain(CPacketSource::Create(s), Create(CLSID_FfAudioDecoder), sinkHold), S_OK);
  control->Stop();
  ExpectCloseAudio(Collected(sink), ReferenceAudio(s, AV_CODEC_ID_ADPCM_MS));
  // Output times follow the decoded sample count from the first packet's.
  ASSERT_GE(sink->starts.size(), 2u);
  EXPECT_EQ(sink->starts[0], 0);
}

// The codec lists name every format the decoders take: no format the
// program converts is shown as unknown.
TEST(CodecInfo, NamesEveryFormatTheDecodersTake) {
  for (const VideoCodecEntry& e : CFfVideoDecoder::CodecTable()) {
    ICINFO info{};
    EXPECT_TRUE(ICInfo(ICTYPE_VIDEO, e.fourcc | 0x20202020, &info)) << std::hex << e.fourcc;  // any letter case
    EXPECT_NE(info.szDescription[0], 0) << std::hex << e.fourcc;
  }
  for (const GUID& subtype : CFfAudioDecoder::Subtypes()) {
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = subtype.Data1;
    EXPECT_EQ(acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_NOERROR)
        << std::hex << subtype.Data1;
  }
  ACMFORMATTAGDETAILSA unknown{sizeof(ACMFORMATTAGDETAILSA), 0, 0x1234, 0, 0, 0, {}};
  EXPECT_EQ(acmFormatTagDetailsA(nullptr, &unknown, ACM_FORMATTAGDETAILSF_FORMATTAG), ACMERR_NOTPOSSIBLE);
}

}  // namespace
