// RoQ: the splitter's chunks and times against libavformat's packets and a
// seek; the decoders against libavcodec's roqvideo and roq_dpcm; the
// fourteen output formats against libswscale; hand-built codebooks, motion
// and DPCM steps; hostile chunks and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "splitters/roq/RoQAudioDecoder.h"
#include "splitters/roq/RoQSplitter.h"
#include "splitters/roq/RoQVideoDecoder.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using namespace splittertest;
using Bytes = std::vector<BYTE>;

// Pictures as libavcodec gives them (4:4:4) and the PCM.
struct Reference {
  int width = 0, height = 0;
  std::vector<std::array<Bytes, 3>> pictures;
  Bytes pcm;
};

Reference DecodeWithLibavcodec(const std::string& path) {
  Reference ref;
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return ref;
  avformat_find_stream_info(ctx, nullptr);
  std::vector<AVCodecContext*> codecs;
  for (unsigned i = 0; i < ctx->nb_streams; i++) {
    AVCodecContext* c = avcodec_alloc_context3(avcodec_find_decoder(ctx->streams[i]->codecpar->codec_id));
    avcodec_parameters_to_context(c, ctx->streams[i]->codecpar);
    avcodec_open2(c, nullptr, nullptr);
    codecs.push_back(c);
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (av_read_frame(ctx, pkt) >= 0) {
    AVCodecContext* c = codecs[static_cast<size_t>(pkt->stream_index)];
    avcodec_send_packet(c, pkt);
    while (avcodec_receive_frame(c, frame) == 0) {
      if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
        ref.width = frame->width;
        ref.height = frame->height;
        std::array<Bytes, 3> planes;
        for (int p = 0; p < 3; p++)
          for (int y = 0; y < frame->height; y++)
            planes[p].insert(planes[p].end(), frame->data[p] + y * frame->linesize[p],
                             frame->data[p] + y * frame->linesize[p] + frame->width);
        ref.pictures.push_back(std::move(planes));
      } else {
        const auto* s = frame->data[0];
        ref.pcm.insert(ref.pcm.end(), s, s + frame->nb_samples * frame->ch_layout.nb_channels * 2);
      }
    }
    av_packet_unref(pkt);
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  for (AVCodecContext* c : codecs) avcodec_free_context(&c);
  avformat_close_input(&ctx);
  return ref;
}

// Our splitter with our decoders behind it, a sink behind each; the video
// decoder's output type by position.
struct Decoded {
  std::vector<toy::Received> video, audio;
  CMediaType videoType;
  bool opened = false;
};

Decoded DecodeWithOurs(const std::string& path, int videoType = 1) {
  Decoded out;
  CComPtr<IFilterGraph> graph;
  EXPECT_EQ(DShowRegisterPlatform(), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  HRESULT hr = S_OK;
  auto* source = new CRoQSourceFilter(nullptr, &hr);
  CComPtr<IBaseFilter> hold = toy::Hold(source);
  graph->AddFilter(hold, L"Source");
  const std::wstring wide(path.begin(), path.end());
  if (FAILED(CComQIPtr<IFileSourceFilter>(hold)->Load(wide.c_str(), nullptr))) return out;
  out.opened = true;
  std::vector<CComPtr<IBaseFilter>> holds;
  std::vector<std::pair<toy::Sink*, bool>> sinks;
  for (int i = 0; i < source->GetPinCount(); i++) {
    const bool video = GetPinName(source->GetPin(i)) == L"Video";
    CTransformFilter* decoder = video ? static_cast<CTransformFilter*>(new CRoQVideoDecoder(nullptr, &hr))
                                      : new CRoQAudioDecoder(nullptr, &hr);
    holds.push_back(toy::Hold(decoder));
    graph->AddFilter(holds.back(), video ? L"Video decoder" : L"Audio decoder");
    auto* sink = new toy::Sink();
    holds.push_back(toy::Hold(sink));
    graph->AddFilter(holds.back(), (L"Sink " + std::to_wstring(i)).c_str());
    if (FAILED(graph->ConnectDirect(source->GetPin(i), decoder->GetPin(0), nullptr))) continue;
    CMediaType mt;
    EXPECT_EQ(static_cast<CBasePin*>(decoder->GetPin(1))->GetMediaType(video ? videoType : 0, &mt), S_OK);
    EXPECT_EQ(graph->ConnectDirect(decoder->GetPin(1), sink->In(), &mt), S_OK);
    if (video) out.videoType = mt;
    sinks.emplace_back(sink, video);
  }
  CComQIPtr<IMediaControl> control(graph);
  EXPECT_EQ(control->Run(), S_OK);
  for (auto& [sink, video] : sinks) {
    EXPECT_TRUE(sink->WaitFor(0, true));
    (video ? out.video : out.audio) = sink->Samples();
  }
  control->Stop();
  for (auto& h : holds) graph->RemoveFilter(h);
  graph->RemoveFilter(hold);
  return out;
}

double Psnr(const BYTE* a, const BYTE* b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; i++) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * static_cast<double>(n) / sum);
}

TEST(RoQSplitter, ChunksMatchLibavformat) {
  const struct {
    const char* file;
    int width, height, channels;
  } cases[] = {{"roq-stereo.roq", 96, 64, 2}, {"roq-mono.roq", 64, 48, 1}, {"roq-audio.roq", 0, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const RefFile ref = ReadWithLavf(TestDataPath(c.file));
    ASSERT_TRUE(ref.opened);
    SourceGraph<CRoQSourceFilter> g(TestDataPath(c.file));
    ASSERT_EQ(g.loaded, S_OK);
    const int video = c.width ? 0 : -1, audio = c.width ? 1 : 0;
    ASSERT_EQ(g.OutputCount(), audio + 1);
    if (video == 0) {
      EXPECT_EQ(g.PinName(0), L"Video");
      const CMediaType mt = g.PinType(0);
      const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
      EXPECT_EQ(vih->bmiHeader.biWidth, c.width);
      EXPECT_EQ(vih->bmiHeader.biHeight, c.height);
      EXPECT_EQ(vih->AvgTimePerFrame, 333333);
    }
    EXPECT_EQ(g.PinName(audio), L"Audio");
    const CMediaType mt = g.PinType(audio);
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    EXPECT_EQ(wfe->nChannels, c.channels);
    EXPECT_EQ(wfe->wFormatTag, 0x6F52);
    g.RunToEnd();

    // libavformat joins a frame to the codebook in front of it, if any;
    // the audio chunks are its packets as they are.
    const auto refVideo = ref.Stream(0);
    if (video == 0) {
      EXPECT_EQ(g.Duration(), static_cast<LONGLONG>(refVideo.size()) * 10000000 / 30);
      size_t frame = 0;
      Bytes joined;
      for (const toy::Received& r : g.Samples(0)) {
        joined.insert(joined.end(), r.data.begin(), r.data.end());
        if (RoQChunkHeader::Parse(r.data.data()).id != kRoQFrame) continue;
        ASSERT_LT(frame, refVideo.size());
        EXPECT_EQ(toy::PayloadHash(joined.data(), joined.size()), refVideo[frame].hash) << frame;
        EXPECT_EQ(r.start, static_cast<REFERENCE_TIME>(frame) * 333333) << frame;
        EXPECT_EQ(r.sync, frame == 0) << frame;
        joined.clear();
        frame++;
      }
      EXPECT_EQ(frame, refVideo.size());
    }
    const auto refAudio = ref.Stream(video == 0 ? 1 : 0);
    const auto got = g.Samples(audio);
    ASSERT_EQ(got.size(), refAudio.size());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].hash, refAudio[i].hash) << i;
      EXPECT_NEAR(got[i].start, refAudio[i].pts, 2 * static_cast<double>(i) + 1) << i;
    }
  }
}

TEST(RoQSplitter, SeekToOneSecondStartsAtFrameThirty) {
  // Every frame of this file has its own codebook, which libavformat puts
  // in front of the frame's packet.
  const auto frames = ReadWithLavf(TestDataPath("roq-stereo.roq"), true).Stream(0);
  ASSERT_GT(frames.size(), 30u);
  SourceGraph<CRoQSourceFilter> g(TestDataPath("roq-stereo.roq"));
  ASSERT_EQ(g.loaded, S_OK);
  g.RunFrom(10000000);
  const auto video = g.Samples(0);
  ASSERT_EQ(video.size(), 2 * (frames.size() - 30));
  const Bytes& codebook = video[0].data;
  ASSERT_LE(codebook.size(), frames[30].data.size());
  EXPECT_TRUE(std::equal(codebook.begin(), codebook.end(), frames[30].data.begin()));
  EXPECT_EQ(RoQChunkHeader::Parse(codebook.data()).id, kRoQCodebook);
  EXPECT_EQ(video[0].start, 0);
  EXPECT_FALSE(video[0].sync);
}

TEST(RoQDecoders, MatchLibavcodec) {
  for (const char* file : {"roq-stereo.roq", "roq-mono.roq", "roq-audio.roq"}) {
    SCOPED_TRACE(file);
    const Reference ref = DecodeWithLibavcodec(TestDataPath(file));
    const Decoded ours = DecodeWithOurs(TestDataPath(file));
    ASSERT_TRUE(ours.opened);
    ASSERT_EQ(ours.video.size(), ref.pictures.size());
    const int w = ref.width, h = ref.height;
    for (size_t i = 0; i < ours.video.size(); i++) {
      const Bytes& got = ours.video[i].data;
      ASSERT_EQ(got.size(), static_cast<size_t>(w * h * 3 / 2));
      EXPECT_EQ(ours.video[i].start, static_cast<REFERENCE_TIME>(i) * 333333);
      EXPECT_TRUE(std::equal(ref.pictures[i][0].begin(), ref.pictures[i][0].end(), got.begin())) << "luma " << i;
      // libavcodec keeps chroma for every pixel, which motion by an odd
      // offset uses; ours has one sample per 2x2 block, as the cells do.
      for (int p = 1; p < 3; p++) {
        const Bytes& c = ref.pictures[i][p];
        Bytes sub;
        for (int y = 0; y < h; y += 2)
          for (int x = 0; x < w; x += 2)
            sub.push_back(static_cast<BYTE>((c[y * w + x] + c[y * w + x + 1] + c[(y + 1) * w + x] + c[(y + 1) * w + x + 1] + 2) / 4));
        EXPECT_GE(Psnr(got.data() + w * h + (p - 1) * w * h / 4, sub.data(), sub.size()), 33) << "chroma " << i;
      }
    }
    Bytes pcm;
    for (const auto& s : ours.audio) pcm.insert(pcm.end(), s.data.begin(), s.data.end());
    EXPECT_EQ(pcm, ref.pcm);
  }
}

// Every output type, read back by libswscale (bottom-up for RGB), against
// libswscale's conversion of the I420 picture.
TEST(RoQDecoders, FourteenOutputFormats) {
  const std::string path = TestDataPath("roq-mono.roq");
  const int w = 64, h = 48;
  auto toBgr = [&](const Bytes& in, AVPixelFormat fmt) {
    const int bpp = fmt == AV_PIX_FMT_YUV420P ? 1 : av_get_padded_bits_per_pixel(av_pix_fmt_desc_get(fmt)) / 8;
    const bool bottomUp = fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_YUYV422;
    const uint8_t* src[3] = {in.data() + (bottomUp ? (h - 1) * w * bpp : 0), in.data() + w * h, in.data() + w * h * 5 / 4};
    const int stride[3] = {bottomUp ? -w * bpp : w * bpp, w / 2, w / 2};
    Bytes out(static_cast<size_t>(w * h * 3));
    uint8_t* dst[1] = {out.data()};
    const int dstStride[1] = {w * 3};
    SwsContext* sws = sws_getContext(w, h, fmt, w, h, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
    sws_scale(sws, src, stride, 0, h, dst, dstStride);
    sws_freeContext(sws);
    return out;
  };
  const Decoded i420 = DecodeWithOurs(path, 1);
  ASSERT_FALSE(i420.video.empty());
  const Bytes& yuv = i420.video.back().data;
  const Bytes want = toBgr(yuv, AV_PIX_FMT_YUV420P);
  for (int type = 0; type < 14; type++) {
    SCOPED_TRACE(type);
    const Decoded d = DecodeWithOurs(path, type);
    ASSERT_EQ(d.video.size(), i420.video.size());
    Bytes got = d.video.back().data;
    const GUID& sub = d.videoType.subtype;
    // YV12 holds V before U.
    if (sub == MEDIASUBTYPE_YV12 && got.size() == yuv.size())
      std::swap_ranges(got.begin() + w * h, got.begin() + w * h * 5 / 4, got.begin() + w * h * 5 / 4);
    const AVPixelFormat fmt = sub == MEDIASUBTYPE_YUY2     ? AV_PIX_FMT_YUYV422
                              : sub == MEDIASUBTYPE_RGB24  ? AV_PIX_FMT_BGR24
                              : sub == MEDIASUBTYPE_RGB565 ? AV_PIX_FMT_RGB565LE
                              : sub == MEDIASUBTYPE_RGB555 ? AV_PIX_FMT_RGB555LE
                              : sub == MEDIASUBTYPE_RGB32 || sub == MEDIASUBTYPE_ARGB32 ? AV_PIX_FMT_BGRA
                                                                                        : AV_PIX_FMT_YUV420P;
    ASSERT_EQ(got.size(), static_cast<size_t>(w * h * (fmt == AV_PIX_FMT_YUV420P ? 12 : av_get_padded_bits_per_pixel(av_pix_fmt_desc_get(fmt))) / 8));
    if (fmt == AV_PIX_FMT_YUV420P) {
      EXPECT_EQ(got, yuv);
      continue;
    }
    const Bytes bgr = toBgr(got, fmt);
    double diff = 0;
    for (size_t i = 0; i < bgr.size(); i++) diff += std::abs(bgr[i] - want[i]);
    EXPECT_LT(diff / static_cast<double>(bgr.size()), 4.0);
  }
}

TEST(RoQDecoders, HandBuiltChunks) {
  // Cell i: luma i in every position, chroma 100 and 200.
  Bytes cells;
  for (int i = 0; i < 256; i++) cells.insert(cells.end(), {BYTE(i), BYTE(i), BYTE(i), BYTE(i), 100, 200});
  CRoQVideoFrames f;
  ASSERT_TRUE(f.Alloc(16, 16));
  // A codebook with argument 0 and 1536 bytes: 256 cells, no quads (which
  // stay those of the codebook before: quad 0 = cells 1, 2, 3, 4).
  Bytes first(cells.begin(), cells.begin() + 6);
  first.insert(first.end(), {1, 2, 3, 4});
  f.DecodeCodebook(first.data(), first.size(), 0x0001 << 8 | 1);  // 1 cell, 1 quad
  f.DecodeCodebook(cells.data(), cells.size(), 0);
  // Codes 2 (quad 0 scaled), 3 (four 4x4 blocks of code 3: cells 9..24),
  // 1 (motion 0x88), 0 (leave).
  const Bytes frame = {0xF4, 0xBF, 0, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 0x88};
  f.DecodeFrame(frame.data(), frame.size(), 0);
  f.FinishFrame(true);
  const BYTE* y = f.Plane(0);
  const int pitch = f.Pitch();
  EXPECT_EQ(y[0], 1);
  EXPECT_EQ(y[4 + 4 * pitch], 4);
  EXPECT_EQ(y[8], 9);
  EXPECT_EQ(y[10 + 2 * pitch], 12);
  EXPECT_EQ(y[14 + 6 * pitch], 24);
  EXPECT_EQ(f.Plane(1)[0], 100);
  EXPECT_EQ(f.Plane(2)[4], 200);
  EXPECT_EQ(y[8 * pitch], 0);  // motion from the black frame before
  // Motion 0x88 without offsets copies the block from its own place, and a
  // block from outside the picture leaves the block as it was.
  const Bytes copy = {0x55, 0x55, 0x88, 0x88, 0x88, 0x88};
  f.DecodeFrame(copy.data(), copy.size(), 0);
  f.FinishFrame(false);
  EXPECT_EQ(f.Plane(0)[10 + 2 * pitch], 12);
  const Bytes outside = {0x00, 0x40, 0x00};
  f.DecodeFrame(outside.data(), outside.size(), 0x7F7F);
  f.FinishFrame(false);
  EXPECT_EQ(f.Plane(0)[0], 1);

  // DPCM: 0x83 lowers a mono predictor by 9; stereo predictors start from
  // the argument's bytes times 256.
  BYTE pcm[4];
  ASSERT_TRUE(DecodeRoQDpcm(Bytes{0x83}.data(), 1, 1000, 1, pcm));
  EXPECT_EQ(static_cast<short>(pcm[0] | pcm[1] << 8), 991);
  ASSERT_TRUE(DecodeRoQDpcm(Bytes{0x01, 0x82}.data(), 2, 0x01FE, 2, pcm));
  EXPECT_EQ(static_cast<short>(pcm[0] | pcm[1] << 8), 257);
  EXPECT_EQ(static_cast<short>(pcm[2] | pcm[3] << 8), -516);
  EXPECT_FALSE(DecodeRoQDpcm(pcm, 1, 0, 3, pcm));
}

// Random chunks on pictures of every shape, damaged files through the whole
// chain: nothing is read or written outside its buffer.
TEST(RoQDecoders, HostileInputEndsCleanly) {
  std::mt19937 rng(11);
  for (auto [w, h] : {std::pair{16, 16}, {36, 20}, {8, 8}, {17, 33}, {1, 1}}) {
    CRoQVideoFrames f;
    ASSERT_TRUE(f.Alloc(w, h));
    for (int i = 0; i < 200; i++) {
      Bytes data(rng() % 2000);
      for (BYTE& b : data) b = static_cast<BYTE>(rng());
      if (i % 3 == 0) f.DecodeCodebook(data.data(), data.size(), static_cast<WORD>(rng()));
      else f.DecodeFrame(data.data(), data.size(), static_cast<WORD>(rng()));
      f.FinishFrame(i % 7 == 0);
    }
  }
  CRoQVideoFrames huge;
  EXPECT_FALSE(huge.Alloc(65535, 65535));

  const Bytes good = MemAsyncReader::LoadFile(TestDataPath("roq-stereo.roq"));
  std::vector<Bytes> inputs;
  for (size_t cut : {4u, 20u, 3000u, 60000u}) inputs.emplace_back(good.begin(), good.begin() + cut);
  for (int i = 0; i < 6; i++) {
    Bytes b = good;
    for (int k = 0; k < 30; k++) b[8 + rng() % (b.size() - 8)] = static_cast<BYTE>(rng());
    inputs.push_back(std::move(b));
  }
  const std::string path = TempPath("damaged.roq");
  for (size_t i = 0; i < inputs.size(); i++) {
    SCOPED_TRACE(i);
    WriteFile(path, inputs[i]);
    DecodeWithOurs(path);
  }
}

}  // namespace
