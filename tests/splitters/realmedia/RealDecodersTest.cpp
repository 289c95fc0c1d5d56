// The RealVideo and RealAudio decoders over the codec modules of this
// build: pictures and PCM against libavcodec decoding the same file
// directly, the records and messages the modules get, the block
// reorderings, the output times, and streams that must be refused.
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
}

#include "platform/win32/File.h"
#include "splitters/realmedia/RealCodecLibrary.h"
#include "tests/splitters/realmedia/RealMediaTestKit.h"

using namespace rmkit;

namespace {

// libavcodec's own decode of one stream of a file: I420 pictures (video)
// or interleaved 16-bit PCM (audio), in decode order.
struct Reference {
  std::vector<Bytes> pictures;
  std::vector<int64_t> pictureMs;
  std::vector<int16_t> pcm;
  int width = 0, height = 0;
};

Reference DecodeDirectly(const std::string& path, int streamIndex) {
  Reference ref;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return ref;
  avformat_find_stream_info(fmt, nullptr);
  AVStream* st = fmt->streams[streamIndex];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, st->codecpar);
  avcodec_open2(ctx, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwrContext* swr = nullptr;
  auto drain = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      if (ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
        ref.width = frame->width;
        ref.height = frame->height;
        Bytes pic;
        for (int p = 0; p < 3; p++) {
          const int w = p ? frame->width / 2 : frame->width, h = p ? frame->height / 2 : frame->height;
          for (int y = 0; y < h; y++) pic.insert(pic.end(), frame->data[p] + y * frame->linesize[p], frame->data[p] + y * frame->linesize[p] + w);
        }
        ref.pictures.push_back(std::move(pic));
        ref.pictureMs.push_back(av_rescale_q(frame->pts, st->time_base, AVRational{1, 1000}));
      } else {
        if (!swr) {
          swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &frame->ch_layout,
                              static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
          swr_init(swr);
        }
        std::vector<int16_t> out(static_cast<size_t>(frame->nb_samples) * frame->ch_layout.nb_channels);
        uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(out.data())};
        const int got = swr_convert(swr, planes, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        out.resize(static_cast<size_t>(std::max(got, 0)) * frame->ch_layout.nb_channels);
        ref.pcm.insert(ref.pcm.end(), out.begin(), out.end());
      }
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == streamIndex) {
      avcodec_send_packet(ctx, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  swr_free(&swr);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return ref;
}

double Psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) se += (a[i] - b[i]) * (a[i] - b[i]);
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

CComPtr<IBaseFilter> RealVideo() {
  HRESULT hr = S_OK;
  return toy::Hold(new CRealVideoDecoder(nullptr, &hr));
}
CComPtr<IBaseFilter> RealAudio() {
  HRESULT hr = S_OK;
  return toy::Hold(new CRealAudioDecoder(nullptr, &hr));
}

class RealDecoders : public ::testing::Test {
 protected:
  void SetUp() override { UseBuiltCodecs(); }
};

}  // namespace

TEST_F(RealDecoders, PicturesAndSoundMatchLibavcodec) {
  const std::string path = TestDataPath("rm-rv20-ac3.rm");
  Graph g(path, [](int pin) { return pin == 0 ? RealVideo() : RealAudio(); });
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_TRUE(g.sinks[0]) << "the RealVideo decoder did not connect";
  ASSERT_TRUE(g.sinks[1]) << "the RealAudio decoder did not connect";
  EXPECT_EQ(g.sinks[0]->Type().subtype, MEDIASUBTYPE_YV12);
  g.Run();

  const Reference video = DecodeDirectly(path, 0);
  const auto pictures = g.sinks[0]->Samples();
  ASSERT_EQ(pictures.size(), video.pictures.size());
  for (size_t i = 0; i < pictures.size(); i++) {
    // The output is YV12: V before U.
    Bytes i420 = pictures[i].data;
    const size_t luma = 176 * 144, chroma = luma / 4;
    ASSERT_EQ(i420.size(), luma + 2 * chroma);
    std::swap_ranges(i420.begin() + luma, i420.begin() + luma + chroma, i420.begin() + luma + chroma);
    EXPECT_GE(Psnr(i420, video.pictures[i]), 60) << "picture " << i;
    EXPECT_EQ(pictures[i].start, video.pictureMs[i] * 10000) << "picture " << i;
  }

  const Reference audio = DecodeDirectly(path, 1);
  std::vector<int16_t> ours;
  for (const Sample& s : g.sinks[1]->Samples())
    ours.insert(ours.end(), reinterpret_cast<const int16_t*>(s.data.data()),
                reinterpret_cast<const int16_t*>(s.data.data() + s.data.size()));
  ASSERT_GT(ours.size(), 48000u);
  const size_t n = std::min(ours.size(), audio.pcm.size());
  double signal = 0, noise = 0;
  for (size_t i = 0; i < n; i++) {
    signal += double(audio.pcm[i]) * audio.pcm[i];
    noise += double(audio.pcm[i] - ours[i]) * (audio.pcm[i] - ours[i]);
  }
  EXPECT_GT(10 * std::log10(signal / std::max(noise, 1.0)), 60);
}

// RealAudio 14.4 frames (20 bytes) from ffmpeg, rewrapped under the code
// "14_4" in blocks of 2 rows of 40 bytes, the header saying `rate`;
// packets of 100 bytes end one block and start the next.
std::string Ra144File(const std::string& source, WORD rate, Bytes* frames) {
  EXPECT_EQ(system(("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 "
                    "-fflags +bitexact -flags +bitexact -c:a real_144 -f rm '" + source + "'").c_str()),
            0);
  frames->clear();
  for (const RefPacket& p : ReferencePackets(source, 0)) Put(*frames, p.data);
  frames->resize(frames->size() / 80 * 80);
  AudioHeader a;
  a.codec = "14_4";
  a.codedFrameSize = 40;
  a.subPacketH = 2;
  a.frameSize = 40;
  a.subPacketSize = 20;
  a.rate = rate;
  a.channels = 1;
  std::vector<Bytes> packets;
  for (size_t at = 0; at < frames->size(); at += 100) {
    const size_t n = std::min<size_t>(100, frames->size() - at);
    packets.push_back(MediaPacket(0, static_cast<DWORD>(at), Bytes(frames->begin() + at, frames->begin() + at + n), at == 0));
  }
  Bytes f = FileHeader();
  Put(f, Mdpr(0, "", "audio/x-pn-realaudio", AudioFormat(a)));
  Put(f, Data(packets));
  return WriteTemp("ra144-" + std::to_string(rate) + "-" + std::to_string(getpid()) + ".rm", f);
}

std::vector<int16_t> Pcm(const std::vector<Sample>& samples) {
  std::vector<int16_t> pcm;
  for (const Sample& s : samples)
    pcm.insert(pcm.end(), reinterpret_cast<const int16_t*>(s.data.data()),
               reinterpret_cast<const int16_t*>(s.data.data() + s.data.size()));
  return pcm;
}

TEST_F(RealDecoders, FixedFrameCodecThroughBlocks) {
  const std::string source = std::string(PELLOMAR_BINARY_DIR) + "/ra144-source-" + std::to_string(getpid()) + ".rm";
  Bytes frames;
  Graph g(Ra144File(source, 8000, &frames), [](int) { return RealAudio(); });
  ASSERT_GE(frames.size(), 800u);
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_TRUE(g.sinks[0]);
  g.Run();
  // Every frame decoded once, in order: the same samples libavcodec makes.
  const std::vector<int16_t> ours = Pcm(g.sinks[0]->Samples());
  const Reference ref = DecodeDirectly(source, 0);
  ASSERT_EQ(ours.size(), frames.size() / 20 * 160);
  ASSERT_LE(ours.size(), ref.pcm.size());
  EXPECT_TRUE(std::equal(ours.begin(), ours.end(), ref.pcm.begin()));
}

TEST_F(RealDecoders, AudioTimesRunByWholeBytes) {
  // At 11025 Hz a 20 ms frame gives 220 or 221 samples: times cut to whole
  // milliseconds per unit would fall behind.
  Bytes frames;
  Graph g(Ra144File(std::string(PELLOMAR_BINARY_DIR) + "/ra144-times-" + std::to_string(getpid()) + ".rm", 11025, &frames),
          [](int) { return RealAudio(); });
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_TRUE(g.sinks[0]);
  g.Run();
  const auto got = g.sinks[0]->Samples();
  ASSERT_GT(got.size(), 10u);
  uint64_t bytes = 0;
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i].start, static_cast<REFERENCE_TIME>(bytes * 10000000 / (11025 * 2))) << i;
    bytes += got[i].data.size();
    EXPECT_EQ(got[i].stop, static_cast<REFERENCE_TIME>(bytes * 10000000 / (11025 * 2))) << i;
  }
  EXPECT_NEAR(double(got.back().stop), frames.size() / 20 * 200000.0, 20000 * 2);
}

TEST_F(RealDecoders, BlockReorderings) {
  // Cook: 4 rows of 2 sub-packets; rows 0..3 land at slots (0,4) (2,6)
  // (1,5) (3,7).
  const int s = 3;
  Bytes block;
  for (int i = 0; i < 8; i++) block.insert(block.end(), s, static_cast<BYTE>(i));
  Bytes out(block.size(), 0xEE);
  CRealAudioDecoder::Deinterleave(block.data(), out.data(), 4, 2 * s, s);
  const int slotOf[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  for (int i = 0; i < 8; i++)
    for (int k = 0; k < s; k++) EXPECT_EQ(out[slotOf[i] * s + k], i) << "sub-packet " << i;

  // Sipro: the nibble exchange against one over a plain nibble array.
  const int pairs[38][2] = {{0, 63},  {1, 22},  {2, 44},  {3, 90},  {5, 81},  {7, 31},  {8, 86},  {9, 58},
                            {10, 36}, {12, 68}, {13, 39}, {14, 73}, {15, 53}, {16, 69}, {17, 57}, {19, 88},
                            {20, 34}, {21, 71}, {24, 46}, {25, 94}, {26, 54}, {28, 75}, {29, 50}, {32, 70},
                            {33, 92}, {35, 74}, {38, 85}, {40, 56}, {42, 87}, {43, 65}, {45, 59}, {48, 79},
                            {49, 93}, {51, 89}, {55, 95}, {61, 76}, {67, 83}, {77, 80}};
  for (size_t t : {size_t(96), size_t(19 * 6 * 16), size_t(100)}) {
    SCOPED_TRACE(t);
    Bytes data(t);
    for (size_t i = 0; i < t; i++) data[i] = static_cast<BYTE>(i * 37 + 11);
    std::vector<int> nibbles(2 * t);
    for (size_t i = 0; i < 2 * t; i++) nibbles[i] = (data[i / 2] >> (i % 2 ? 4 : 0)) & 15;
    const size_t n = t * 2 / 96;
    for (const auto& p : pairs)
      for (size_t i = 0; i < n; i++) std::swap(nibbles[p[0] * n + i], nibbles[p[1] * n + i]);
    CRealAudioDecoder::SiproShuffle(data.data(), t);
    for (size_t i = 0; i < 2 * t; i++) ASSERT_EQ((data[i / 2] >> (i % 2 ? 4 : 0)) & 15, nibbles[i]) << i;
  }
}

TEST_F(RealDecoders, StreamsThatAreRefused) {
  auto refused = [](CComPtr<IBaseFilter> decoder, const CMediaType& mt) {
    IPin* in = GetFirstPinByDirection(decoder, PINDIR_INPUT);
    auto* filter = static_cast<CTransformFilter*>(static_cast<CBaseFilter*>(decoder.p));
    (void)in;
    return filter->CheckInputType(&mt) == VFW_E_TYPE_NOT_ACCEPTED;
  };
  auto video = [](const char* fcc, GUID format, LONG w, LONG h, DWORD arx, DWORD ary) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = FourCCGuid(MAKEFOURCC(fcc[0], fcc[1], fcc[2], fcc[3]));
    mt.formattype = format;
    const Bytes vf = VideoFormat(fcc, static_cast<WORD>(arx), static_cast<WORD>(ary), 25 << 16, 0, 0x20103001);
    const size_t head = format == FORMAT_VideoInfo ? sizeof(VIDEOINFOHEADER) : sizeof(VIDEOINFOHEADER2);
    BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(head + vf.size()));
    memcpy(block + head, vf.data(), vf.size());
    BITMAPINFOHEADER* bih = format == FORMAT_VideoInfo ? &reinterpret_cast<VIDEOINFOHEADER*>(block)->bmiHeader
                                                       : &reinterpret_cast<VIDEOINFOHEADER2*>(block)->bmiHeader;
    bih->biWidth = w;
    bih->biHeight = h;
    if (format == FORMAT_VideoInfo2) {
      reinterpret_cast<VIDEOINFOHEADER2*>(block)->dwPictAspectRatioX = arx;
      reinterpret_cast<VIDEOINFOHEADER2*>(block)->dwPictAspectRatioY = ary;
    }
    return mt;
  };
  auto audio = [](const char* fcc, const AudioHeader& a, WORD channels) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = FourCCGuid(MAKEFOURCC(fcc[0], fcc[1], fcc[2], fcc[3]));
    mt.formattype = FORMAT_WaveFormatEx;
    const Bytes af = AudioFormat(a);
    BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + af.size()));
    memcpy(block + sizeof(WAVEFORMATEX), af.data(), af.size());
    auto* wfe = reinterpret_cast<WAVEFORMATEX*>(block);
    wfe->nChannels = channels;
    wfe->nSamplesPerSec = a.rate;
    wfe->wBitsPerSample = 16;
    return mt;
  };
  AudioHeader cook, noBlock, noCodec;
  cook.codecData = Bytes(8, 0);
  noBlock.codedFrameSize = 0;  // a block of no bytes
  noCodec.version = 3;

  EXPECT_TRUE(refused(RealVideo(), video("RV10", FORMAT_VideoInfo, 176, 144, 176, 144)));
  EXPECT_FALSE(refused(RealVideo(), video("RV20", FORMAT_VideoInfo, 176, 144, 176, 144)));
  EXPECT_TRUE(refused(RealVideo(), video("RV40", FORMAT_VideoInfo2, 352, 288, 176, 144)));
  EXPECT_FALSE(refused(RealAudio(), audio("DNET", cook, 2)));
  EXPECT_TRUE(refused(RealAudio(), audio("DNET", noBlock, 2)));
  EXPECT_TRUE(refused(RealAudio(), audio("DNET", noCodec, 2)));
  EXPECT_TRUE(refused(RealAudio(), audio("DNET", cook, 0)));
  EXPECT_TRUE(refused(RealAudio(), audio("MP3 ", cook, 2)));

  // Without the player's folders and no module beside the program, no
  // library loads.
  for (const char* key : {"Software\\RealNetworks\\Preferences\\DT_Codecs", "Helix\\HelixSDK\\10.0\\Preferences\\DT_Codecs"})
    RegDeleteKeyA(HKEY_CLASSES_ROOT, key);
  EXPECT_TRUE(refused(RealVideo(), video("RV20", FORMAT_VideoInfo, 176, 144, 176, 144)));
  EXPECT_TRUE(refused(RealAudio(), audio("DNET", cook, 2)));
}

TEST_F(RealDecoders, BadSamplesAreSkipped) {
  const std::string path = TestDataPath("rm-rv20-ac3.rm");
  Graph g(path, [](int pin) { return pin == 0 ? RealVideo() : CComPtr<IBaseFilter>(); });
  ASSERT_TRUE(g.sinks[0]);
  // The file plays to its end first: a decoder takes its samples from one
  // thread at a time, and the splitter's thread must be done before the test
  // feeds it samples of its own.
  CComQIPtr<IMediaControl> control(g.graph);
  ASSERT_EQ(control->Run(), S_OK);
  for (KeepSink* s : g.sinks) {
    if (s) { ASSERT_TRUE(s->WaitForEnd()); }
  }
  auto* decoder = static_cast<CRealVideoDecoder*>(static_cast<CBaseFilter*>(g.holds[0].p));
  HRESULT hr = S_OK;
  CComPtr<IMemAllocator> alloc(static_cast<IMemAllocator*>(new CMemAllocator(NAME("test"), nullptr, &hr)));
  ALLOCATOR_PROPERTIES props{1, 4096, 1, 0}, actual{};
  ASSERT_EQ(alloc->SetProperties(&props, &actual), S_OK);
  ASSERT_EQ(alloc->Commit(), S_OK);
  struct Case {
    const char* name;
    Bytes data;
  };
  const Case cases[] = {
      {"slice table longer than the sample", Bytes{255, 1, 0, 0, 0, 0, 0, 0, 0, 9}},
      {"slice count only", Bytes{0}},
      {"frame of garbage", Bytes{0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x12}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IMediaSample* sample = nullptr;
    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    memcpy(p, c.data.data(), c.data.size());
    sample->SetActualDataLength(static_cast<long>(c.data.size()));
    REFERENCE_TIME t0 = 0, t1 = 1;
    sample->SetTime(&t0, &t1);
    EXPECT_TRUE(SUCCEEDED(decoder->Transform(sample)));
    sample->Release();
  }
  control->Stop();
  alloc->Decommit();
}

TEST(RealVideoScaling, LinearResampleStaysInsideItsSource) {
  struct Case {
    Bytes src;
    int dst;
    Bytes expected;
  };
  const Case cases[] = {
      {{0, 255}, 8, {0, 64, 127, 191, 255, 255, 255, 255}},  // far upscaling reads no further than the last
      {{10, 20, 30, 40}, 4, {10, 20, 30, 40}},
      {{0, 100, 200, 50}, 2, {0, 50}},
  };
  for (const Case& c : cases) {
    Bytes out(static_cast<size_t>(c.dst), 0);
    CRealVideoDecoder::Resample(c.src.data(), static_cast<int>(c.src.size()), 1, out.data(), c.dst, 1);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(RealCodecFolder, SeededAndSearchedForAsDlls) {
  ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  ASSERT_EQ(CodecsRegisterPlatform(), S_OK);
  for (const std::string& folder : RealCodecFolders()) EXPECT_EQ(folder.substr(folder.size() - 8), "/codecs\\");

  // The codec check's search for "drv*.dll" finds the modules.
  WIN32_FIND_DATAA found{};
  HANDLE h = FindFirstFileA((std::string(PELLOMAR_REAL_CODEC_DIR) + "\\drv*.dll").c_str(), &found);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::string> names{found.cFileName};
  while (FindNextFileA(h, &found)) names.push_back(found.cFileName);
  FindClose(h);
  EXPECT_EQ(names, (std::vector<std::string>{"drv23260.dll", "drv33260.dll", "drv43260.dll"}));
  EXPECT_EQ(FindFirstFileA((std::string(PELLOMAR_REAL_CODEC_DIR) + "/drv*.txt").c_str(), &found), INVALID_HANDLE_VALUE);
}
