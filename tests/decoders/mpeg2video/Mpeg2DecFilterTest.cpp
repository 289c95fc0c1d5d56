// The decoder filter in a filter graph between a push source and a
// capturing sink, checked against libavcodec's decode of the same stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "foundation/FilterHelpers.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/win32/Registry.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "tests/decoders/mpeg2video/Mpeg2FilterTestPins.h"
#include "tests/decoders/mpeg2video/Mpeg2TestSupport.h"

namespace {

constexpr REFERENCE_TIME kFrame25 = 400000;

// The sequence header and its extensions at the start of an elementary stream.
std::vector<BYTE> SequenceHeader(const std::vector<uint8_t>& es) {
  for (size_t i = 0; i + 4 <= es.size(); ++i) {
    if (es[i] || es[i + 1] || es[i + 2] != 1 || es[i + 3] != 0xB3) continue;
    size_t j = i + 4;
    for (; j + 4 <= es.size(); ++j) {
      if (!es[j] && !es[j + 1] && es[j + 2] == 1 && es[j + 3] != 0xB5) break;
    }
    return {es.begin() + i, es.begin() + j};
  }
  return {};
}

CMediaType Mpeg2Type(const std::vector<uint8_t>& es, int w, int h) {
  const auto seq = SequenceHeader(es);
  CMediaType mt;
  EXPECT_TRUE(MakeMpeg2VideoMediaType(&mt, seq.data(), static_cast<DWORD>(seq.size()), w, h));
  return mt;
}

CMediaType Mpeg1Type(const std::vector<uint8_t>& es, int w, int h) {
  const auto seq = SequenceHeader(es);
  std::vector<BYTE> block(offsetof(MPEG1VIDEOINFO, bSequenceHeader) + seq.size());
  auto* mvi = reinterpret_cast<MPEG1VIDEOINFO*>(block.data());
  mvi->hdr.AvgTimePerFrame = kFrame25;
  mvi->hdr.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  mvi->hdr.bmiHeader.biWidth = w;
  mvi->hdr.bmiHeader.biHeight = h;
  mvi->cbSequenceHeader = static_cast<DWORD>(seq.size());
  std::memcpy(block.data() + offsetof(MPEG1VIDEOINFO, bSequenceHeader), seq.data(), seq.size());
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_MPEG1Payload);
  mt.SetFormatType(&FORMAT_MPEGVideo);
  mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
  return mt;
}

const BITMAPINFOHEADER* HeaderOf(const CMediaType& mt) {
  if (mt.formattype == FORMAT_VideoInfo) return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
  return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
}

// One output sample back to 4:2:0 planes (planar types) for comparison.
TestFrame PlanarFrame(const CapturedSample& s, const CMediaType& mt, int w, int h) {
  const BITMAPINFOHEADER* bih = HeaderOf(mt);
  const int pitch = bih->biWidth, oh = std::abs(bih->biHeight);
  TestFrame f;
  f.width = w;
  f.height = h;
  const BYTE* y = s.data.data();
  const BYTE* u = y + pitch * oh;
  const BYTE* v = u + pitch / 2 * (oh / 2);
  if (mt.subtype == MEDIASUBTYPE_YV12) std::swap(u, v);
  // Chroma covers pixel pairs: an odd size has one more chroma sample.
  for (int r = 0; r < h; ++r) f.y.insert(f.y.end(), y + r * pitch, y + r * pitch + w);
  for (int r = 0; r < (h + 1) / 2; ++r) {
    f.u.insert(f.u.end(), u + r * pitch / 2, u + r * pitch / 2 + (w + 1) / 2);
    f.v.insert(f.v.end(), v + r * pitch / 2, v + r * pitch / 2 + (w + 1) / 2);
  }
  return f;
}

double PsnrBytes(const std::vector<double>& a, const std::vector<double>& b) {
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * (a[i] - b[i]);
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// Compares a packed output sample with the reference frame, in the output's
// own colour space: YUY2 as luma and 4:2:2 chroma, RGB by the BT.601 studio
// range formulas.
double PackedPsnr(const CapturedSample& s, const CMediaType& mt, const TestFrame& ref) {
  const BITMAPINFOHEADER* bih = HeaderOf(mt);
  const int w = ref.width, h = ref.height;
  std::vector<double> ours, theirs;
  if (mt.subtype == MEDIASUBTYPE_YUY2) {
    const int pitch = bih->biWidth * 2;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        ours.push_back(s.data[y * pitch + 2 * x]);
        theirs.push_back(ref.y[y * w + x]);
      }
    return PsnrBytes(ours, theirs);
  }
  const int bpp = bih->biBitCount / 8;
  const int pitch = static_cast<int>(DibRowBytes(bih->biWidth, bih->biBitCount));  // rows padded to 4 bytes
  for (int y = 0; y < h; ++y) {
    const int row = bih->biHeight > 0 ? h - 1 - y : y;
    for (int x = 0; x < w; ++x) {
      const double Y = 1.164 * (ref.y[y * w + x] - 16);
      const int c = (y / 2) * ((w + 1) / 2) + x / 2;
      const double U = ref.u[c] - 128.0, V = ref.v[c] - 128.0;
      const double rgb[3] = {Y + 2.018 * U, Y - 0.813 * V - 0.391 * U, Y + 1.596 * V};  // B, G, R
      const BYTE* p = s.data.data() + row * pitch + x * bpp;
      if (bpp == 2) {
        const int v16 = p[0] | (p[1] << 8);
        const double got[3] = {(v16 & 31) * 255.0 / 31, ((v16 >> 5) & 63) * 255.0 / 63, (v16 >> 11) * 255.0 / 31};
        for (int c = 0; c < 3; ++c) {
          ours.push_back(got[c]);
          theirs.push_back(std::clamp(rgb[c], 0.0, 255.0));
        }
      } else {
        for (int c = 0; c < 3; ++c) {
          ours.push_back(p[c]);
          theirs.push_back(std::clamp(rgb[c], 0.0, 255.0));
        }
      }
    }
  }
  return PsnrBytes(ours, theirs);
}

bool AcceptSubtype(const CMediaType& mt, const GUID& sub) { return mt.majortype == MEDIATYPE_Video && mt.subtype == sub; }

class Mpeg2DecFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("PELLOMAR_REGISTRY_DIR");
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(base ? base : "/tmp/pellomar-mpeg2filter-test") /
           (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    if (base) saved_ = base;
    setenv("PELLOMAR_REGISTRY_DIR", dir_.c_str(), 1);
    RegistryReloadForTest();
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    control = CComQIPtr<IMediaControl>(graph);
  }
  void TearDown() override {
    if (control) control->Stop();
    control.Release();
    graph.Release();
    if (!saved_.empty()) setenv("PELLOMAR_REGISTRY_DIR", saved_.c_str(), 1);
    RegistryReloadForTest();
  }

  CMpeg2DecFilter* NewDecoder() {
    IBaseFilter* f = nullptr;
    EXPECT_EQ(CMpeg2DecFilter::CreateObject(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&f)), S_OK);
    decoderRef.Attach(f);
    return static_cast<CMpeg2DecFilter*>(f);
  }

  // Source -> decoder -> sink in the graph; S_OK when both links connect.
  HRESULT Build(const CMediaType& in, std::function<bool(const CMediaType&)> accept,
                const CMediaType* subpic = nullptr) {
    if (!decoder) decoder = NewDecoder();
    source = new CPushSource(in, subpic);
    sourceRef = source;
    sink = new CCaptureSink(std::move(accept));
    sinkRef = sink;
    graph->AddFilter(source, L"Source");
    graph->AddFilter(decoder, L"Decoder");
    graph->AddFilter(sink, L"Sink");
    HRESULT hr = graph->ConnectDirect(source->m_pins[0], decoder->GetPin(0), nullptr);
    if (FAILED(hr)) return hr;
    if (subpic && FAILED(hr = graph->ConnectDirect(source->m_pins[1], decoder->GetPin(2), nullptr))) return hr;
    return graph->ConnectDirect(decoder->GetPin(1), sink->m_pin, nullptr);
  }

  // Pushes the stream in pieces (the first with time 0), then ends it.
  void Push(const std::vector<uint8_t>& es, size_t chunk) {
    ASSERT_EQ(control->Pause(), S_OK);
    for (size_t pos = 0; pos < es.size(); pos += chunk)
      ASSERT_EQ(source->m_pins[0]->Send(es.data() + pos, std::min(chunk, es.size() - pos), pos == 0 ? 0 : -1), S_OK);
    source->m_pins[0]->DeliverEndOfStream();
  }

  CComPtr<IGraphBuilder> graph;
  CComQIPtr<IMediaControl> control;
  CMpeg2DecFilter* decoder = nullptr;
  CPushSource* source = nullptr;
  CCaptureSink* sink = nullptr;
  CComPtr<IBaseFilter> decoderRef, sourceRef, sinkRef;
  std::filesystem::path dir_;
  std::string saved_;
};

struct StreamCase {
  const char* file;
  bool mpeg1;
  int w, h;
};

class EveryFrame : public Mpeg2DecFilterTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(EveryFrame, DeliveredWithTimesAndMatchFfmpeg) {
  const StreamCase c = GetParam();
  const auto es = ReadTestFile(c.file);
  const auto ref = ReferenceDecode(es);
  ASSERT_FALSE(ref.empty());
  const CMediaType in = c.mpeg1 ? Mpeg1Type(es, c.w, c.h) : Mpeg2Type(es, c.w, c.h);
  ASSERT_EQ(Build(in, [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_YV12); }), S_OK);
  Push(es, 1000);
  const auto& got = sink->m_pin->samples;
  ASSERT_EQ(got.size(), ref.size());  // the last reference picture too
  EXPECT_EQ(sink->m_pin->endOfStream, 1);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].timeResult, S_OK);
    EXPECT_EQ(got[i].start, static_cast<REFERENCE_TIME>(i) * kFrame25) << i;
    EXPECT_EQ(got[i].stop, static_cast<REFERENCE_TIME>(i + 1) * kFrame25) << i;
    EXPECT_GE(Psnr(PlanarFrame(got[i], sink->m_pin->type, c.w, c.h), ref[i]), 48.0) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, EveryFrame,
                         ::testing::Values(StreamCase{"mpeg2-gop12-b2.m2v", false, 176, 144},
                                           StreamCase{"mpeg2-gop30-b3.m2v", false, 176, 144},
                                           StreamCase{"mpeg2-odd-208x112.m2v", false, 208, 112},
                                           StreamCase{"mpeg1-odd-208x112.m1v", true, 208, 112}));

// Pictures are decoded into the output buffers: one that downstream still
// holds (and reads later) is not written again, also while it is a
// reference of the pictures decoded meanwhile.
TEST_F(Mpeg2DecFilterTest, HeldPicturesKeepTheirContent) {
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const auto ref = ReferenceDecode(es);
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_I420); }),
            S_OK);
  sink->m_pin->hold = 1;
  Push(es, 4096);
  const auto& got = sink->m_pin->samples;
  ASSERT_EQ(got.size(), ref.size());
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_GE(Psnr(PlanarFrame(got[i], sink->m_pin->type, 176, 144), ref[i]), 48.0) << "frame " << i;
}

class OutputSubtype : public Mpeg2DecFilterTest, public ::testing::WithParamInterface<const GUID*> {};

TEST_P(OutputSubtype, PictureMatchesFfmpeg) {
  const GUID sub = *GetParam();
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const auto ref = ReferenceDecode(es);
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [sub](const CMediaType& mt) { return AcceptSubtype(mt, sub); }), S_OK);
  ASSERT_EQ(sink->m_pin->type.subtype, sub);
  Push(es, 4096);
  const auto& got = sink->m_pin->samples;
  ASSERT_EQ(got.size(), ref.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const bool planar = sub == MEDIASUBTYPE_YV12 || sub == MEDIASUBTYPE_I420 || sub == MEDIASUBTYPE_IYUV;
    const double psnr = planar ? Psnr(PlanarFrame(got[i], sink->m_pin->type, 176, 144), ref[i])
                               : PackedPsnr(got[i], sink->m_pin->type, ref[i]);
    EXPECT_GE(psnr, planar ? 48.0 : 30.0) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Subtypes, OutputSubtype,
                         ::testing::Values(&MEDIASUBTYPE_YV12, &MEDIASUBTYPE_I420, &MEDIASUBTYPE_IYUV,
                                           &MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_RGB24,
                                           &MEDIASUBTYPE_RGB565));

// Sizes that are not whole macroblocks: pictures leave at the stream's
// size (an odd side one pixel larger) in the type the output was connected
// with, so nothing downstream has to follow a size change.
struct SizeCase {
  int w, h;
  bool interlaced;
  const GUID* subtype;
};

class PictureSize : public Mpeg2DecFilterTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(PictureSize, IsTheStreamsAndMatchesFfmpeg) {
  const SizeCase c = GetParam();
  const std::string file = (dir_ / "stream.m2v").string();
  const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
  const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + size +
                          ":rate=25:duration=0.48 -c:v mpeg2video -g 6 -bf 2 -b:v 2M " +
                          (c.interlaced ? "-flags +ilme+ildct -top 1 " : "") + "-f mpeg2video '" + file + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> es((std::istreambuf_iterator<char>(in)), {});
  const auto ref = ReferenceDecode(es);
  ASSERT_FALSE(ref.empty());
  decoder = NewDecoder();
  decoder->SetDeinterlaceMethod(DIWeave);  // the fields as coded, comparable with the reference
  const GUID sub = *c.subtype;
  ASSERT_EQ(Build(Mpeg2Type(es, c.w, c.h), [sub](const CMediaType& mt) { return AcceptSubtype(mt, sub); }), S_OK);
  const BITMAPINFOHEADER* bih = HeaderOf(sink->m_pin->type);
  EXPECT_EQ(bih->biWidth, (c.w + 1) & ~1);
  EXPECT_EQ(std::abs(bih->biHeight), (c.h + 1) & ~1);
  Push(es, 4096);
  const auto& got = sink->m_pin->samples;
  ASSERT_EQ(got.size(), ref.size());
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].data.size(), VideoImageBytes(*bih)) << "frame " << i;
    const bool planar = sub == MEDIASUBTYPE_YV12;
    const double psnr = planar ? Psnr(PlanarFrame(got[i], sink->m_pin->type, c.w, c.h), ref[i])
                               : PackedPsnr(got[i], sink->m_pin->type, ref[i]);
    EXPECT_GE(psnr, planar ? 48.0 : 30.0) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureSize,
                         ::testing::Values(SizeCase{200, 150, false, &MEDIASUBTYPE_YV12},
                                           SizeCase{602, 454, true, &MEDIASUBTYPE_RGB24},
                                           SizeCase{601, 451, false, &MEDIASUBTYPE_YV12}));

// The display aspect ffprobe gives a file's first video stream, as x / y.
double ProbeDisplayAspect(const std::string& path) {
  const std::string cmd =
      "ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio -of csv=p=0 '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return 0;
  int x = 0, y = 0;
  const int n = fscanf(p, "%d:%d", &x, &y);
  pclose(p);
  return n == 2 && y ? static_cast<double>(x) / y : 0;
}

// A 16:9 MPEG-1 stream carries its aspect only as the sequence header's pel
// aspect code; the output type shows it whether the input type brings it
// in the pels-per-metre fields (as the MPEG splitter writes them for the
// stream in a program stream) or only in the sequence header it holds.
struct AspectInput {
  const char* name;
  bool fromSplitter;
};

class Mpeg1Aspect : public Mpeg2DecFilterTest, public ::testing::WithParamInterface<AspectInput> {};

TEST_P(Mpeg1Aspect, ReachesTheOutputType) {
  const std::string file = "mpeg1-16x9.m1v";
  const double want = ProbeDisplayAspect(TestDataPath(file));
  ASSERT_GT(want, 0);
  CMediaType in;
  if (GetParam().fromSplitter) {
    const std::string path = (dir_ / "wrapped.mpg").string();
    const std::string cmd = "ffmpeg -nostdin -v error -y -i '" + TestDataPath(file) + "' -c copy -f mpeg '" + path + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    HRESULT hr = S_OK;
    auto* splitter = new CMpegSourceFilter(nullptr, &hr);
    CComPtr<IBaseFilter> hold(splitter);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(graph->AddFilter(hold, L"Splitter"), S_OK);
    ASSERT_EQ(CComQIPtr<IFileSourceFilter>(hold)->Load(std::wstring(path.begin(), path.end()).c_str(), nullptr),
              S_OK);
    ASSERT_EQ(static_cast<CBasePin*>(splitter->GetPin(0))->GetMediaType(0, &in), S_OK);
    graph->RemoveFilter(hold);
  } else {
    in = Mpeg1Type(ReadTestFile(file), 352, 288);
  }
  ASSERT_EQ(Build(in, [](const CMediaType& mt) {
              return AcceptSubtype(mt, MEDIASUBTYPE_YV12) && mt.formattype == FORMAT_VideoInfo2;
            }),
            S_OK);
  const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(sink->m_pin->type.pbFormat);
  ASSERT_GT(vih2->dwPictAspectRatioY, 0u);
  const double got = static_cast<double>(vih2->dwPictAspectRatioX) / vih2->dwPictAspectRatioY;
  // The pel aspect codes round: within half a percent of ffprobe's reading,
  // and near enough 16:9 to tell it from the 11:9 of square pixels.
  EXPECT_NEAR(got, want, want * 0.005);
  EXPECT_NEAR(got, 16.0 / 9, 16.0 / 9 * 0.03);
  // The VIDEOINFOHEADER twin carries the same aspect in pels per metre.
  CMediaType twin;
  ASSERT_EQ(decoder->GetMediaType(1, &twin), S_OK);
  ASSERT_EQ(twin.formattype, FORMAT_VideoInfo);
  const BITMAPINFOHEADER& bih = reinterpret_cast<const VIDEOINFOHEADER*>(twin.pbFormat)->bmiHeader;
  EXPECT_EQ(static_cast<int64_t>(bih.biYPelsPerMeter) * 352 * vih2->dwPictAspectRatioY,
            static_cast<int64_t>(bih.biXPelsPerMeter) * 288 * vih2->dwPictAspectRatioX);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Mpeg1Aspect,
                         ::testing::Values(AspectInput{"splitter", true}, AspectInput{"sequence_header", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mpeg2DecFilterTest, PlanarOutputRefusedWhenDisabled) {
  decoder = NewDecoder();
  decoder->EnablePlanarYUV(false);
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return mt.majortype == MEDIATYPE_Video; }),
            S_OK);
  EXPECT_EQ(sink->m_pin->type.subtype, MEDIASUBTYPE_YUY2);
  decoder->EnablePlanarYUV(true);
}

TEST_F(Mpeg2DecFilterTest, SequenceHeaderWithoutStartCodeIsRefused) {
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  CMediaType mt = Mpeg2Type(es, 176, 144);
  reinterpret_cast<MPEG2VIDEOINFO*>(mt.pbFormat)->dwSequenceHeader[0] ^= 0xFF;
  decoder = NewDecoder();
  EXPECT_EQ(decoder->CheckInputType(&mt), VFW_E_TYPE_NOT_ACCEPTED);
  // A length past the block is refused too, rather than read.
  CMediaType longer = Mpeg2Type(es, 176, 144);
  reinterpret_cast<MPEG2VIDEOINFO*>(longer.pbFormat)->cbSequenceHeader = 100000;
  EXPECT_EQ(decoder->CheckInputType(&longer), VFW_E_TYPE_NOT_ACCEPTED);
  const CMediaType good = Mpeg2Type(es, 176, 144);
  EXPECT_EQ(decoder->CheckInputType(&good), S_OK);
}

TEST_F(Mpeg2DecFilterTest, LateQualitySkipsBPictures) {
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const auto ref = ReferenceDecode(es);
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_YV12); }),
            S_OK);
  Quality q{Famine, 1000, 1500000, 0};
  ASSERT_EQ(decoder->AlterQuality(q), S_OK);
  Push(es, 4096);
  const auto all = OurDecode(es, 4096, 1);
  ASSERT_EQ(all.frames.size(), ref.size());
  const size_t references = std::count_if(all.frames.begin(), all.frames.end(),
                                          [](const TestFrame& f) { return f.codingType != 3; });
  EXPECT_LT(references, ref.size());
  EXPECT_EQ(sink->m_pin->samples.size(), references);
}

TEST_F(Mpeg2DecFilterTest, PicturesBeforeTheFirstIPictureAfterADiscontinuityAreNotDelivered) {
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_YV12); }),
            S_OK);
  ASSERT_EQ(control->Pause(), S_OK);
  // The stream from its second picture on: P and B pictures first.
  size_t second = 0;
  for (size_t i = 0, pictures = 0; i + 4 < es.size(); ++i)
    if (!es[i] && !es[i + 1] && es[i + 2] == 1 && es[i + 3] == 0 && ++pictures == 2) {
      second = i;
      break;
    }
  ASSERT_GT(second, 0u);
  const auto seq = SequenceHeader(es);
  std::vector<uint8_t> cut(seq.begin(), seq.end());
  cut.insert(cut.end(), es.begin() + second, es.end());
  for (size_t pos = 0; pos < cut.size(); pos += 4096)
    ASSERT_EQ(source->m_pins[0]->Send(cut.data() + pos, std::min<size_t>(4096, cut.size() - pos), pos ? -1 : 0, !pos),
              S_OK);
  source->m_pins[0]->DeliverEndOfStream();
  const auto ref = ReferenceDecode(es);
  // Everything before the second group's I picture is lost: at most 12 of
  // the frames, never none.
  EXPECT_LT(sink->m_pin->samples.size(), ref.size());
  EXPECT_GE(sink->m_pin->samples.size(), ref.size() - 12);
}

TEST_F(Mpeg2DecFilterTest, DamagedInputDoesNotCrash) {
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_RGB32); }),
            S_OK);
  ASSERT_EQ(control->Pause(), S_OK);
  std::mt19937 rng(7);
  for (int round = 0; round < 3; ++round) {
    std::vector<uint8_t> bad = es;
    for (int i = 0; i < 200; ++i) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    bad.resize(bad.size() - rng() % 2000);
    for (size_t pos = 0; pos < bad.size();) {
      const size_t n = 1 + rng() % 3000;
      source->m_pins[0]->Send(bad.data() + pos, std::min(n, bad.size() - pos), rng() % 4 ? -1 : pos * 10,
                              rng() % 16 == 0);
      pos += n;
    }
  }
  source->m_pins[0]->DeliverEndOfStream();
  EXPECT_EQ(sink->m_pin->endOfStream, 1);
  EXPECT_GT(sink->m_pin->samples.size(), 0u);
}

TEST_F(Mpeg2DecFilterTest, SettingsPersistInTheRegistry) {
  {
    CMpeg2DecFilter* d = NewDecoder();
    d->SetDeinterlaceMethod(DIBob);
    d->SetBrightness(12.5f);
    d->SetContrast(1.25f);
    d->SetHue(-30.0f);
    d->SetSaturation(0.5f);
    d->EnableForcedSubtitles(false);
    d->EnablePlanarYUV(false);
    d->EnableInterlaced(true);
    decoderRef.Release();
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Brisdane\\Filters\\MPEG Video Decoder", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD v = 0, type = 0, size = sizeof(v);
  ASSERT_EQ(RegQueryValueExA(key, "Contrast", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  float contrast;
  std::memcpy(&contrast, &v, 4);
  EXPECT_EQ(contrast, 1.25f);
  RegCloseKey(key);

  CMpeg2DecFilter* d = NewDecoder();
  EXPECT_EQ(d->GetDeinterlaceMethod(), DIBob);
  EXPECT_EQ(d->GetBrightness(), 12.5f);
  EXPECT_EQ(d->GetContrast(), 1.25f);
  EXPECT_EQ(d->GetHue(), -30.0f);
  EXPECT_EQ(d->GetSaturation(), 0.5f);
  EXPECT_FALSE(d->IsForcedSubtitlesEnabled());
  EXPECT_FALSE(d->IsPlanarYUVEnabled());
  EXPECT_TRUE(d->IsInterlacedEnabled());
}

TEST_F(Mpeg2DecFilterTest, BrightnessShiftsLumaThroughTheGeneralPath) {
  decoder = NewDecoder();
  decoder->SetBrightness(20.0f);
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const auto ref = ReferenceDecode(es);
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_I420); }),
            S_OK);
  Push(es, 4096);
  ASSERT_EQ(sink->m_pin->samples.size(), ref.size());
  const TestFrame f = PlanarFrame(sink->m_pin->samples[0], sink->m_pin->type, 176, 144);
  double diff = 0;
  for (size_t i = 0; i < f.y.size(); ++i) diff += f.y[i] - ref[0].y[i];
  EXPECT_NEAR(diff / f.y.size(), 20.0, 2.0);  // clipping at 255 only lowers it a little
  decoder->SetBrightness(0.0f);
}

TEST_F(Mpeg2DecFilterTest, BobDeliversEveryPictureTwiceInHalves) {
  decoder = NewDecoder();
  decoder->SetDeinterlaceMethod(DIBob);
  const auto es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const auto ref = ReferenceDecode(es);
  ASSERT_EQ(Build(Mpeg2Type(es, 176, 144), [](const CMediaType& mt) { return AcceptSubtype(mt, MEDIASUBTYPE_YV12); }),
            S_OK);
  Push(es, 4096);
  const auto& got = sink->m_pin->samples;
  ASSERT_EQ(got.size(), 2 * ref.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].start, static_cast<REFERENCE_TIME>(i) * kFrame25 / 2);
  decoder->SetDeinterlaceMethod(DIAuto);
}

TEST_F(Mpeg2DecFilterTest, PinsAndPropertyPage) {
  decoder = NewDecoder();
  ASSERT_EQ(decoder->GetPinCount(), 4);
  PIN_INFO info{};
  const wchar_t* names[] = {L"Video", L"Output", L"SubPicture", L"~CC"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(decoder->GetPin(i)->QueryPinInfo(&info), S_OK);
    EXPECT_STREQ(info.achName, names[i]);
    info.pFilter->Release();
  }
  EXPECT_EQ(decoder->GetPin(4), nullptr);
  CComQIPtr<ISpecifyPropertyPages2> pages(static_cast<IBaseFilter*>(decoder));
  ASSERT_TRUE(pages);
  CAUUID list{};
  ASSERT_EQ(pages->GetPages(&list), S_OK);
  ASSERT_EQ(list.cElems, 1u);
  EXPECT_EQ(list.pElems[0], CLSID_Mpeg2DecPropertyPage);
  CoTaskMemFree(list.pElems);
  EXPECT_EQ(pages->CreatePage(CLSID_Mpeg2DecPropertyPage, nullptr), E_POINTER);
}

}  // namespace
