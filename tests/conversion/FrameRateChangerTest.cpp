// The frame-rate changer in a filter graph: a push source of timed frames,
// the changer, and a sink that records what reaches it. Pictures are checked
// by decoding them with libjpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "conversion/FrameRateChanger.h"
#include "imagewriter/JpegLib.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/win32/Gdi.h"

namespace fs = std::filesystem;

namespace {

PELLOMAR_DEFINE_GUID(CLSID_FrcTestSource, "3C0F6E51-9A7B-4D2E-8B61-0E4F2A9C7D13");
PELLOMAR_DEFINE_GUID(CLSID_FrcTestSink, "8D2B4A70-1E3C-4F95-A6D8-5B7C9E0F1A24");

constexpr REFERENCE_TIME kSecond = 10000000;

enum class Pattern {
  Id,        // solid grey of value Shade(id), the id also in the first bytes
  Gradient,  // blue rises with x, green with y: shows shear and flips
};

BYTE Shade(int id) { return static_cast<BYTE>((id * 3) % 256); }

struct SourceConfig {
  int width = 16, height = 8, bits = 24;
  bool bottomUp = true;
  bool vih2 = false;
  bool yuy2 = false;
  Pattern pattern = Pattern::Id;
  // Frame start times; each frame stops where the next starts.
  std::vector<REFERENCE_TIME> starts;
  REFERENCE_TIME lastDuration = 400000;
  // Non-zero: every frame stops this long after its start instead.
  REFERENCE_TIME fixedDuration = 0;
  // Bytes delivered per frame; 0 means the whole frame.
  LONG shortLength = 0;
  // From frame changeAt on the pictures are changedWidth x changedHeight,
  // renegotiated with downstream as a decoder does while streaming.
  size_t changeAt = SIZE_MAX;
  int changedWidth = 0, changedHeight = 0;

  LONG Stride() const { return static_cast<LONG>(DibRowBytes(width, bits)); }
  LONG FrameBytes() const { return Stride() * height; }
};

std::vector<REFERENCE_TIME> Regular(int count, LONGLONG num, LONGLONG den) {
  std::vector<REFERENCE_TIME> v;
  for (int i = 0; i < count; ++i) v.push_back(kSecond * i * den / num);
  return v;
}

// Logical pixel (x, y from the top) of the gradient pattern.
void GradientPixel(int x, int y, BYTE* bgr) {
  bgr[0] = static_cast<BYTE>(x * 8);
  bgr[1] = static_cast<BYTE>(y * 10);
  bgr[2] = 128;
}

class TestSource : public CSource {
 public:
  static CComPtr<IBaseFilter> Create(const SourceConfig& cfg) {
    CComPtr<IBaseFilter> filter;
    auto* f = new TestSource(cfg);  // reference counted from here on
    f->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    return filter;
  }

 private:
  class Stream : public CSourceStream {
   public:
    Stream(HRESULT* phr, CSource* filter, const SourceConfig& cfg)
        : CSourceStream("frc test video", phr, filter, L"Video"), m_cfg(cfg) {}

    HRESULT GetMediaType(CMediaType* pmt) override {
      BITMAPINFOHEADER bih{};
      bih.biSize = sizeof(BITMAPINFOHEADER);
      bih.biWidth = m_cfg.width;
      bih.biHeight = m_cfg.bottomUp ? m_cfg.height : -m_cfg.height;
      bih.biPlanes = 1;
      bih.biBitCount = static_cast<WORD>(m_cfg.bits);
      bih.biSizeImage = static_cast<DWORD>(m_cfg.FrameBytes());
      const REFERENCE_TIME duration = 333333;  // what the changer must replace
      if (m_cfg.vih2) {
        auto* v = reinterpret_cast<VIDEOINFOHEADER2*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
        v->AvgTimePerFrame = duration;
        v->dwPictAspectRatioX = 4;
        v->dwPictAspectRatioY = 3;
        v->bmiHeader = bih;
        pmt->SetFormatType(&FORMAT_VideoInfo2);
      } else {
        auto* v = reinterpret_cast<VIDEOINFOHEADER*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
        v->AvgTimePerFrame = duration;
        v->bmiHeader = bih;
        pmt->SetFormatType(&FORMAT_VideoInfo);
      }
      pmt->SetType(&MEDIATYPE_Video);
      if (m_cfg.yuy2) pmt->SetSubtype(&MEDIASUBTYPE_YUY2);
      else pmt->SetSubtype(m_cfg.bits == 32 ? &MEDIASUBTYPE_RGB32 : &MEDIASUBTYPE_RGB24);
      pmt->SetSampleSize(static_cast<ULONG>(m_cfg.FrameBytes()));
      return S_OK;
    }

    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) override {
      SourceConfig changed = m_cfg;
      changed.width = m_cfg.changedWidth;
      changed.height = m_cfg.changedHeight;
      ALLOCATOR_PROPERTIES want{3, std::max(m_cfg.FrameBytes(), changed.FrameBytes()), 1, 0}, got{};
      return alloc->SetProperties(&want, &got);
    }

    HRESULT FillBuffer(IMediaSample* sample) override {
      if (m_next >= m_cfg.starts.size()) return S_FALSE;
      if (m_next == m_cfg.changeAt) {
        m_cfg.width = m_cfg.changedWidth;
        m_cfg.height = m_cfg.changedHeight;
        CMediaType mt;
        GetMediaType(&mt);
        IPin* peer = GetConnected();
        changeResult = peer->QueryAccept(&mt) == S_OK ? peer->ReceiveConnection(this, &mt) : VFW_E_TYPE_NOT_ACCEPTED;
        if (FAILED(changeResult)) return S_FALSE;  // the stream ends here
        SetMediaType(&mt);
      }
      BYTE* p = nullptr;
      sample->GetPointer(&p);
      const int id = static_cast<int>(m_next);
      const int bpp = m_cfg.bits / 8;
      for (int y = 0; y < m_cfg.height; ++y) {
        const int row = m_cfg.bottomUp ? m_cfg.height - 1 - y : y;
        BYTE* line = p + static_cast<size_t>(row) * m_cfg.Stride();
        std::memset(line, 0xEE, static_cast<size_t>(m_cfg.Stride()));  // padding that must never show
        for (int x = 0; x < m_cfg.width && bpp >= 3; ++x) {
          BYTE* px = line + x * bpp;
          if (m_cfg.pattern == Pattern::Gradient) {
            GradientPixel(x, y, px);
          } else {
            px[0] = px[1] = px[2] = Shade(id);
          }
          if (bpp == 4) px[3] = 0;
        }
      }
      if (m_cfg.pattern == Pattern::Id) std::memcpy(p + m_cfg.Stride(), &id, sizeof(id));
      sample->SetActualDataLength(m_cfg.shortLength ? m_cfg.shortLength : m_cfg.FrameBytes());
      REFERENCE_TIME start = m_cfg.starts[m_next];
      REFERENCE_TIME stop =
          m_next + 1 < m_cfg.starts.size() ? m_cfg.starts[m_next + 1] : start + m_cfg.lastDuration;
      if (m_cfg.fixedDuration) stop = start + m_cfg.fixedDuration;
      sample->SetTime(&start, &stop);
      sample->SetSyncPoint(TRUE);
      ++m_next;
      return S_OK;
    }

    HRESULT OnThreadStartPlay() override {
      m_next = 0;
      return S_OK;
    }

    HRESULT changeResult = S_FALSE;

   private:
    SourceConfig m_cfg;
    size_t m_next = 0;
  };

 public:
  Stream* VideoStream() { return static_cast<Stream*>(m_paStreams[0]); }

 private:

  explicit TestSource(const SourceConfig& cfg) : CSource("frc test source", nullptr, CLSID_FrcTestSource) {
    HRESULT hr = S_OK;
    new Stream(&hr, this, cfg);  // the stream adds itself; the filter deletes it
  }
};

struct Delivered {
  HRESULT timeResult;
  REFERENCE_TIME start, stop;
  HRESULT mediaTimeResult;
  LONGLONG mediaStart, mediaStop;
  LONG length;
  int id;
  int width;         // of the format in force for this sample
  bool typeChanged;  // the sample brought a new format
};

class TestSink;

class TestSinkPin : public CBaseInputPin {
 public:
  TestSinkPin(TestSink* sink, CCritSec* lock, HRESULT* phr);
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    if (*pmt->Type() != MEDIATYPE_Video) return S_FALSE;
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(pmt->Format());
    return vih && vih->bmiHeader.biWidth > maxWidth ? S_FALSE : S_OK;
  }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  HRESULT Active() override {
    m_current = m_mt;
    return CBaseInputPin::Active();
  }
  int maxWidth = INT_MAX;  // wider pictures are refused

 private:
  TestSink* m_sink;
  CMediaType m_current;
  int m_lastId = -1;
};

class TestSink : public CBaseFilter {
 public:
  TestSink() : CBaseFilter("frc test sink", nullptr, &m_lock, CLSID_FrcTestSink) {
    HRESULT hr = S_OK;
    m_pin = std::make_unique<TestSinkPin>(this, &m_lock, &hr);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }

  std::vector<Delivered> Samples() {
    std::lock_guard g(m_recordLock);
    return m_samples;
  }
  void Record(const Delivered& d) {
    std::lock_guard g(m_recordLock);
    m_samples.push_back(d);
  }
  TestSinkPin* Pin() { return m_pin.get(); }

 private:
  CCritSec m_lock;
  std::unique_ptr<TestSinkPin> m_pin;
  std::mutex m_recordLock;
  std::vector<Delivered> m_samples;
};

TestSinkPin::TestSinkPin(TestSink* sink, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin("frc test sink in", sink, lock, phr, L"In"), m_sink(sink) {}

STDMETHODIMP TestSinkPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  Delivered d{};
  d.timeResult = sample->GetTime(&d.start, &d.stop);
  d.mediaTimeResult = sample->GetMediaTime(&d.mediaStart, &d.mediaStop);
  d.length = sample->GetActualDataLength();
  BYTE* p = nullptr;
  sample->GetPointer(&p);
  d.typeChanged = (m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && m_SampleProps.pMediaType;
  if (d.typeChanged) m_current = *m_SampleProps.pMediaType;
  const BITMAPINFOHEADER& bih = reinterpret_cast<VIDEOINFOHEADER*>(m_current.Format())->bmiHeader;
  d.width = bih.biWidth;
  const LONG stride = static_cast<LONG>(DibRowBytes(bih.biWidth, bih.biBitCount));
  d.id = -1;
  if (d.length >= stride + 4) std::memcpy(&d.id, p + stride, sizeof(d.id));
  // An empty sample shows the picture before it again.
  if (d.length == 0) d.id = m_lastId;
  m_lastId = d.id;
  m_sink->Record(d);
  return S_OK;
}

STDMETHODIMP TestSinkPin::EndOfStream() {
  m_sink->NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(m_sink)));
  return S_OK;
}

// Source -> changer -> sink in the platform's filter graph.
class FrcGraph {
 public:
  explicit FrcGraph(const SourceConfig& cfg) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    source = TestSource::Create(cfg);
    EXPECT_EQ(CFrameRateChanger::CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&changerFilter)),
              S_OK);
    changer = static_cast<CFrameRateChanger*>(changerFilter.p);
    sinkObject = new TestSink();  // reference counted from here on
    sinkObject->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&sink));
    EXPECT_EQ(graph->AddFilter(source, L"Source"), S_OK);
    EXPECT_EQ(graph->AddFilter(changerFilter, L"Veyl Frame Changer"), S_OK);
    EXPECT_EQ(graph->AddFilter(sink, L"Sink"), S_OK);
  }
  ~FrcGraph() {
    if (CComQIPtr<IMediaControl> control{graph}) control->Stop();
  }

  static IPin* Pin(IBaseFilter* f, int n) {
    IEnumPins* pins = nullptr;
    IPin* pin = nullptr;
    if (FAILED(f->EnumPins(&pins))) return nullptr;
    pins->Skip(static_cast<ULONG>(n));
    ULONG got = 0;
    pins->Next(1, &pin, &got);
    pins->Release();
    if (pin) pin->Release();  // the filter keeps its pins
    return pin;
  }

  HRESULT ConnectInput() { return graph->ConnectDirect(Pin(source, 0), Pin(changerFilter, 0), nullptr); }
  HRESULT ConnectOutput() { return graph->ConnectDirect(Pin(changerFilter, 1), Pin(sink, 0), nullptr); }
  HRESULT Connect() {
    HRESULT hr = ConnectInput();
    return FAILED(hr) ? hr : ConnectOutput();
  }

  // Runs to the sink's end of stream (or the run's failure) and stops.
  std::vector<Delivered> Run(LONG expected = EC_COMPLETE) {
    CComQIPtr<IMediaControl> control{graph};
    CComQIPtr<IMediaEventEx> events{graph};
    EXPECT_EQ(control->Run(), S_OK);
    long code = 0;
    EXPECT_EQ(events->WaitForCompletion(120000, &code), S_OK);
    EXPECT_EQ(code, expected);
    control->Stop();
    return sinkObject->Samples();
  }

  const CMediaType& OutputType() { return sinkObject->Pin()->CurrentMediaType(); }

  CComPtr<IGraphBuilder> graph;
  CComPtr<IBaseFilter> source, changerFilter, sink;
  CFrameRateChanger* changer = nullptr;
  TestSink* sinkObject = nullptr;
};

std::vector<Delivered> Convert(const SourceConfig& cfg, int num, int den) {
  FrcGraph g(cfg);
  EXPECT_EQ(g.changer->SetFrameRate(num, den), S_OK);
  EXPECT_EQ(g.Connect(), S_OK);
  return g.Run();
}

// Output frames lie on the grid of the output rate, back to back from 0.
void ExpectOnGrid(const std::vector<Delivered>& out, LONGLONG num, LONGLONG den) {
  for (size_t k = 0; k < out.size(); ++k) {
    const REFERENCE_TIME start = static_cast<REFERENCE_TIME>(kSecond * den * static_cast<LONGLONG>(k) / num);
    const REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(kSecond * den * static_cast<LONGLONG>(k + 1) / num);
    ASSERT_EQ(out[k].timeResult, S_OK) << k;
    ASSERT_EQ(out[k].start, start) << "frame " << k;
    ASSERT_EQ(out[k].stop, stop) << "frame " << k;
    ASSERT_EQ(out[k].mediaTimeResult, S_OK) << k;
    ASSERT_EQ(out[k].mediaStart, start) << k;
    ASSERT_EQ(out[k].mediaStop, stop) << k;
  }
}

struct Jpeg {
  int width = 0, height = 0, components = 0;
  std::vector<BYTE> pixels;  // top row first, RGB
  const BYTE* At(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * components]; }
};

struct JpegErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void JpegFail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1); }

bool DecodeJpeg(const fs::path& path, Jpeg* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  jpeg_decompress_struct cinfo{};
  JpegErrors err{};
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegFail;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, f);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->components = cinfo.output_components;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * out->components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out->pixels[static_cast<size_t>(cinfo.output_scanline) * out->width * out->components];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::fclose(f);
  return true;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/frc-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  size_t Count() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(path), fs::directory_iterator()));
  }
  fs::path path;
};

std::wstring Wide(const fs::path& p) { return p.wstring(); }

// ---------------------------------------------------------------------------
// Frame counts and time stamps

TEST(FrameRateChanger, UpFrom25To29_97KeepsEveryFrameInOrderOnTheGrid) {
  SourceConfig cfg;
  cfg.starts = Regular(100, 25, 1);  // 4 s
  auto out = Convert(cfg, 30000, 1001);
  // 4 s at 29.97 frames per second, give or take the last frame.
  ASSERT_GE(out.size(), 118u);
  ASSERT_LE(out.size(), 120u);
  ExpectOnGrid(out, 30000, 1001);
  std::vector<bool> seen(cfg.starts.size(), false);
  for (size_t k = 0; k < out.size(); ++k) {
    ASSERT_GE(out[k].id, 0);
    ASSERT_LT(out[k].id, 100);
    seen[static_cast<size_t>(out[k].id)] = true;
    if (k > 0) {
      EXPECT_GE(out[k].id, out[k - 1].id) << "frames out of order at " << k;
    }
    // The frame shown is never far from its own time.
    EXPECT_LT(std::llabs(cfg.starts[static_cast<size_t>(out[k].id)] - out[k].start), 2 * 400000) << k;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0) << "an input frame was lost while adding frames";
}

TEST(FrameRateChanger, DownFrom30To25DropsFramesButNoneTwice) {
  SourceConfig cfg;
  cfg.bits = 32;
  cfg.starts = Regular(90, 30, 1);  // 3 s
  auto out = Convert(cfg, 25, 1);
  ASSERT_GE(out.size(), 74u);
  ASSERT_LE(out.size(), 76u);
  ExpectOnGrid(out, 25, 1);
  for (size_t k = 1; k < out.size(); ++k) {
    EXPECT_GT(out[k].id, out[k - 1].id) << "a frame was repeated while dropping at " << k;
    EXPECT_LT(std::llabs(cfg.starts[static_cast<size_t>(out[k].id)] - out[k].start), 2 * 400000) << k;
  }
}

TEST(FrameRateChanger, HalfRateInputShowsEachFrameTwiceInItsOwnTime) {
  SourceConfig cfg;
  cfg.starts = {0, 800000, 1600000, 2400000};  // 12.5 frames per second
  auto out = Convert(cfg, 25, 1);
  std::vector<int> ids;
  for (const auto& d : out) ids.push_back(d.id);
  // The last frame lasts a frame time of its stream too, whatever its stop.
  EXPECT_EQ(ids, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3}));
  ExpectOnGrid(out, 25, 1);
}

struct RateCase {
  const char* name;
  int frames, inNum, inDen;
  REFERENCE_TIME offset;  // of the first frame
  int outNum, outDen;
  REFERENCE_TIME stopAfter = 0;  // non-zero: each stop this long after its start
};

class RateChange : public ::testing::TestWithParam<RateCase> {};

// Whatever the two rates, each change of picture comes out on the output
// frame nearest to it, and the output ends where the source does.
TEST_P(RateChange, PicturesChangeOnTheNearestOutputFrame) {
  const RateCase& c = GetParam();
  SourceConfig cfg;
  cfg.width = 4;
  cfg.height = 2;
  cfg.starts = Regular(c.frames, c.inNum, c.inDen);
  for (REFERENCE_TIME& s : cfg.starts) s += c.offset;
  cfg.lastDuration = kSecond * c.inDen / c.inNum;
  cfg.fixedDuration = c.stopAfter;
  auto out = Convert(cfg, c.outNum, c.outDen);
  ASSERT_FALSE(out.empty());
  ExpectOnGrid(out, c.outNum, c.outDen);
  const double frame = static_cast<double>(kSecond) * c.outDen / c.outNum;
  const double end = static_cast<double>(cfg.starts.back() + cfg.lastDuration);
  EXPECT_NEAR(static_cast<double>(out.size()) * frame, end, frame / 2 + 1);
  EXPECT_LE(static_cast<double>(cfg.starts[static_cast<size_t>(out.front().id)]), frame / 2);
  // The input frame nearest in time: never more than half a frame of the
  // two rates' longer one from it.
  const double input = static_cast<double>(kSecond) * c.inDen / c.inNum;
  for (size_t j = 1; j < out.size(); ++j) {
    ASSERT_GE(out[j].id, out[j - 1].id) << j;
    if (out[j].id == out[j - 1].id) continue;
    const double change = static_cast<double>(cfg.starts[static_cast<size_t>(out[j].id)]);
    EXPECT_LE(std::abs(static_cast<double>(out[j].start) - change), std::max(frame, input) / 2 + 1)
        << "output frame " << j;
  }
  // A last frame as long as an output frame is not lost.
  if (cfg.lastDuration >= frame) {
    EXPECT_EQ(out.back().id, c.frames - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, RateChange,
                         ::testing::Values(RateCase{"Ntsc30To15", 90, 30000, 1001, 0, 15, 1},
                                           RateCase{"Pal25LateTo15Ntsc", 75, 25, 1, 250000, 15000, 1001},
                                           RateCase{"Film24To25", 72, 24, 1, 0, 25, 1},
                                           RateCase{"Pal25To30Ntsc", 75, 25, 1, 0, 30000, 1001},
                                           RateCase{"Pal25To12", 75, 25, 1, 0, 12, 1},
                                           RateCase{"Fifty50To25", 150, 50, 1, 0, 25, 1},
                                           // Stops that only mark the frame, as a decoder may set.
                                           RateCase{"MarkedStops25To15", 75, 25, 1, 0, 15, 1, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TimingCase {
  const char* name;
  std::vector<REFERENCE_TIME> startsMs;  // each frame lasts 40 ms
  std::vector<int> shown;                // the input frame of each output frame
  const char* note;                      // in the run's note; "" for none
};

class Timing : public ::testing::TestWithParam<TimingCase> {};

// A frame after a gap keeps its own time, the gap showing the frame before,
// whatever its length (steps are the splitters' time line's to judge: this
// source has none); a first frame more than a minute from the start starts
// at 0.
TEST_P(Timing, FramesKeepTheirTimesAndJumpsAreNotFilled) {
  const TimingCase& c = GetParam();
  SourceConfig cfg;
  for (REFERENCE_TIME ms : c.startsMs) cfg.starts.push_back(ms * 10000);
  cfg.fixedDuration = 400000;
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetFrameRate(25, 1), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  auto out = g.Run();
  std::vector<int> ids;
  for (const auto& d : out) ids.push_back(d.id);
  EXPECT_EQ(ids, c.shown);
  ExpectOnGrid(out, 25, 1);
  const std::string note = g.changer->GetRunNote();
  if (*c.note) {
    EXPECT_NE(note.find(c.note), std::string::npos) << note;
  } else {
    EXPECT_EQ(note, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Timing,
    ::testing::Values(TimingCase{"GapShowsTheFrameBefore", {0, 40, 80, 200, 240}, {0, 1, 2, 2, 2, 3, 4}, ""},
                      // Four frames at 50 frames/s amid 25: each output frame
                      // shows the one nearest its time.
                      TimingCase{"VariableRate", {0, 40, 80, 100, 120, 140, 160, 200}, {0, 1, 2, 4, 6, 7}, ""},
                      TimingCase{"SecondLongGapIsHeld",
                                 {0, 40, 1040, 1080},
                                 {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 3},
                                 ""},
                      // The last frame, after a gap, lasts one frame of the
                      // stream, not as long as the gap that led to it.
                      TimingCase{"LastFrameAfterAGapLastsOneFrame",
                                 {0, 40, 80, 1080},
                                 {0, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3},
                                 ""},
                      TimingCase{"FirstFrameFarAhead", {3600000000, 3600000040}, {0, 1}, "starts at 1000:00:00.000"},
                      TimingCase{"FirstFrameFarBack", {-3600000, -3599960}, {0, 1}, "starts at -1:00:00.000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameRateChanger, DoubleRateInputDropsEverySecondFrame) {
  SourceConfig cfg;
  cfg.starts = Regular(9, 50, 1);
  auto out = Convert(cfg, 25, 1);
  std::vector<int> ids;
  for (const auto& d : out) ids.push_back(d.id);
  // Each output frame shows the input frame of its own time: frame 1 has
  // ended when output frame 1 begins.
  EXPECT_EQ(ids, (std::vector<int>{0, 2, 4, 6, 8}));
  ExpectOnGrid(out, 25, 1);
}

TEST(FrameRateChanger, KeepRatePassesFramesTimesAndTypeUnchanged) {
  SourceConfig cfg;
  cfg.starts = {0, 500000, 700000, 2000000, 2100000, 9000000};
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetFrameRate(0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(g.OutputType().Format());
  EXPECT_EQ(vih->AvgTimePerFrame, 333333) << "the source's frame duration stays";
  auto out = g.Run();
  ASSERT_EQ(out.size(), cfg.starts.size());
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].id, static_cast<int>(i));
    EXPECT_EQ(out[i].start, cfg.starts[i]);
    EXPECT_EQ(out[i].stop, i + 1 < cfg.starts.size() ? cfg.starts[i + 1] : cfg.starts[i] + cfg.lastDuration);
    EXPECT_EQ(out[i].length, cfg.FrameBytes());
  }
}

TEST(FrameRateChanger, KeepRateTakesTheStreamsRateOverAGuessedFrameTime) {
  // 50 frames/s whose stops repeat the type's 30 frames/s: from the second
  // frame on each lasts the step between the starts, reaching over none.
  SourceConfig cfg;
  cfg.starts = Regular(6, 50, 1);
  cfg.fixedDuration = 333333;
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetFrameRate(0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  auto out = g.Run();
  ASSERT_EQ(out.size(), cfg.starts.size());
  EXPECT_EQ(out[0].stop, 333333);
  for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].stop, cfg.starts[i] + 200000) << i;
}

TEST(FrameRateChanger, LongNtscRunNeitherDropsNorRepeats) {
  SourceConfig cfg;
  cfg.width = 4;
  cfg.height = 2;
  cfg.starts = Regular(21000, 30000, 1001);  // more than eleven minutes
  auto out = Convert(cfg, 30000, 1001);
  ASSERT_EQ(out.size(), cfg.starts.size());
  for (size_t k = 0; k < out.size(); ++k) ASSERT_EQ(out[k].id, static_cast<int>(k)) << k;
  ExpectOnGrid(out, 30000, 1001);
}

TEST(FrameRateChanger, LongPalToNtscRunKeepsItsLength) {
  SourceConfig cfg;
  cfg.width = 4;
  cfg.height = 2;
  cfg.starts = Regular(16500, 25, 1);  // eleven minutes
  auto out = Convert(cfg, 30000, 1001);
  const double seconds = 16500 / 25.0;
  EXPECT_NEAR(static_cast<double>(out.size()), seconds * 30000 / 1001, 1.5);
  ExpectOnGrid(out, 30000, 1001);
  for (size_t k = 1; k < out.size(); ++k) ASSERT_GE(out[k].id, out[k - 1].id);
  EXPECT_EQ(out.back().id, 16499);
}

TEST(FrameRateChanger, OffersItsFrameDurationAndTheVideoInfoFormOfVideoInfo2) {
  SourceConfig cfg;
  cfg.vih2 = true;
  cfg.width = 20;
  cfg.height = 10;
  cfg.starts = Regular(3, 25, 1);
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetFrameRate(30000, 1001), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  const CMediaType& mt = g.OutputType();
  ASSERT_EQ(*mt.FormatType(), FORMAT_VideoInfo);
  ASSERT_EQ(mt.FormatLength(), sizeof(VIDEOINFOHEADER));
  EXPECT_EQ(*mt.Subtype(), MEDIASUBTYPE_RGB24);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.Format());
  EXPECT_EQ(vih->AvgTimePerFrame, 1001 * kSecond / 30000);
  EXPECT_EQ(vih->bmiHeader.biWidth, 20);
  EXPECT_EQ(vih->bmiHeader.biHeight, 10);
  EXPECT_EQ(mt.GetSampleSize(), static_cast<ULONG>(cfg.FrameBytes()));
  EXPECT_EQ(g.Run().size(), 4u);  // 0.12 s at 29.97 frames/s
}

TEST(FrameRateChanger, SettersRefuseWhatTheyCannotHonour) {
  SourceConfig cfg;
  cfg.yuy2 = true;
  cfg.bits = 16;
  cfg.starts = Regular(2, 25, 1);
  FrcGraph g(cfg);
  EXPECT_EQ(g.changer->SetFrameRate(-25, 1), E_INVALIDARG);
  EXPECT_EQ(g.changer->SetImageOutput(2, L"/tmp", 0, 0, 0), E_INVALIDARG) << "a zero interval";
  EXPECT_EQ(g.changer->SetImageOutput(1, L"", 1000, 0, 0), E_INVALIDARG);
  EXPECT_EQ(g.changer->SetImageOutput(3, L"/tmp/x.jpg", 1000, 0, 0), E_INVALIDARG);
  EXPECT_EQ(g.changer->SetInputMode(2), E_INVALIDARG);

  // 4:2:0 planar pictures are taken in RGB mode only when asked for; YUY2
  // never is.
  CMediaType yv12(&MEDIATYPE_Video);
  yv12.SetSubtype(&MEDIASUBTYPE_YV12);
  EXPECT_EQ(g.changer->CheckInputType(&yv12), E_INVALIDARG);
  ASSERT_EQ(g.changer->SetPlanarInput(true), S_OK);
  EXPECT_EQ(g.changer->CheckInputType(&yv12), S_OK);

  // YUV is refused in RGB mode, accepted in mode 0.
  EXPECT_NE(g.ConnectInput(), S_OK);
  ASSERT_EQ(g.changer->SetInputMode(0), S_OK);
  ASSERT_EQ(g.ConnectInput(), S_OK);
  EXPECT_EQ(g.changer->SetInputMode(1), E_UNEXPECTED);
  EXPECT_EQ(g.changer->SetPlanarInput(false), E_UNEXPECTED);
  EXPECT_EQ(g.changer->SetFrameRate(30, 1), S_OK) << "the output is not connected yet";
  ASSERT_EQ(g.ConnectOutput(), S_OK);
  EXPECT_EQ(g.changer->SetFrameRate(25, 1), E_FAIL);

  // A YUV stream passes, but no picture can be made of it: the series
  // fails.
  TempDir dir;
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(dir.path).c_str(), 40, 0, 0), S_OK);
  EXPECT_EQ(g.Run(EC_ERRORABORT).size(), 2u);
  EXPECT_EQ(dir.Count(), 0u);

  CComQIPtr<IMediaControl> control{g.graph};
  ASSERT_EQ(control->Pause(), S_OK);
  EXPECT_EQ(g.changer->SetImageOutput(0, nullptr, 0, 0, 0), VFW_E_WRONG_STATE);
  control->Stop();
}

// ---------------------------------------------------------------------------
// Pictures

TEST(FrameRateChanger, ThumbnailIsTheFrameAtItsTimeFittedIntoTheBox) {
  TempDir dir;
  SourceConfig cfg;
  cfg.width = 320;
  cfg.height = 240;
  cfg.starts = Regular(100, 25, 1);
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetFrameRate(25, 1), S_OK);
  const fs::path thumb = dir.path / "clip.THM";
  ASSERT_EQ(g.changer->SetImageOutput(1, Wide(thumb).c_str(), 3000, 160, 120), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  EXPECT_EQ(g.Run().size(), 100u);

  EXPECT_EQ(dir.Count(), 1u);
  Jpeg jpeg;
  ASSERT_TRUE(DecodeJpeg(thumb, &jpeg));
  EXPECT_EQ(jpeg.width, 160);
  EXPECT_EQ(jpeg.height, 120);
  EXPECT_EQ(jpeg.components, 3);
  // The frame covering 3.0 s is frame 75.
  EXPECT_NEAR(jpeg.At(80, 60)[0], Shade(75), 3);
}

TEST(FrameRateChanger, SeriesWritesOneNumberedPicturePerInterval) {
  TempDir dir;
  SourceConfig cfg;
  cfg.width = 96;
  cfg.height = 64;
  cfg.bits = 32;
  cfg.bottomUp = false;
  cfg.starts = Regular(60, 25, 1);  // 2.4 s
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetFrameRate(25, 1), S_OK);
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(dir.path).c_str(), 500, 0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  EXPECT_EQ(g.Run().size(), 60u);

  // Pictures at 0, 0.5, 1.0, 1.5 and 2.0 s: frames 0, 12, 25, 37 and 50.
  const int frames[] = {0, 12, 25, 37, 50};
  EXPECT_EQ(dir.Count(), 5u);
  for (int i = 1; i <= 5; ++i) {
    Jpeg jpeg;
    ASSERT_TRUE(DecodeJpeg(dir.path / ("img_" + std::to_string(i) + ".jpg"), &jpeg)) << i;
    EXPECT_EQ(jpeg.width, 96);
    EXPECT_EQ(jpeg.height, 64);
    EXPECT_NEAR(jpeg.At(48, 40)[1], Shade(frames[i - 1]), 3) << "img_" << i;
  }
}

TEST(FrameRateChanger, SeriesFitsIntoItsBoxOnWhite) {
  TempDir dir;
  SourceConfig cfg;
  cfg.width = 96;
  cfg.height = 64;
  cfg.starts = Regular(5, 25, 1);
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(dir.path).c_str(), 1000, 48, 48), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  g.Run();
  ASSERT_EQ(dir.Count(), 1u);
  Jpeg jpeg;
  ASSERT_TRUE(DecodeJpeg(dir.path / "img_1.jpg", &jpeg));
  ASSERT_EQ(jpeg.width, 48);
  ASSERT_EQ(jpeg.height, 48);
  // 96 x 64 becomes 48 x 32 with 8 white rows above and below.
  EXPECT_GE(jpeg.At(24, 1)[0], 250);
  EXPECT_GE(jpeg.At(24, 46)[2], 250);
  EXPECT_NEAR(jpeg.At(24, 24)[0], Shade(0), 3);
}

TEST(FrameRateChanger, SeriesKeepsGoingThroughSparseInput) {
  TempDir dir;
  SourceConfig cfg;
  cfg.starts = Regular(4, 1, 1);  // one frame per second, repeated to 25
  cfg.lastDuration = kSecond;
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(dir.path).c_str(), 500, 0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  auto out = g.Run();
  ASSERT_EQ(out.size(), 100u);  // up to the last frame's stop, 4.0 s
  // Due times 0, 0.5, ... 3.5 s each get a picture of the frame shown then.
  const int shown[] = {0, 0, 1, 1, 2, 2, 3, 3};
  EXPECT_EQ(dir.Count(), 8u);
  for (int i = 1; i <= 8; ++i) {
    Jpeg jpeg;
    ASSERT_TRUE(DecodeJpeg(dir.path / ("img_" + std::to_string(i) + ".jpg"), &jpeg)) << i;
    EXPECT_NEAR(jpeg.At(8, 6)[0], Shade(shown[i - 1]), 3) << "img_" << i;
  }
}

TEST(FrameRateChanger, SeriesShorterThanAFrameGetsEveryPicture) {
  TempDir dir;
  SourceConfig cfg;
  cfg.starts = Regular(3, 25, 1);
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(dir.path).c_str(), 20, 0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  g.Run();
  // 0, 20, ... 100 ms: two pictures of each 40 ms frame.
  EXPECT_EQ(dir.Count(), 6u);
  for (int i = 1; i <= 6; ++i) {
    Jpeg jpeg;
    ASSERT_TRUE(DecodeJpeg(dir.path / ("img_" + std::to_string(i) + ".jpg"), &jpeg)) << i;
    EXPECT_NEAR(jpeg.At(8, 6)[0], Shade((i - 1) / 2), 3) << "img_" << i;
  }
}

TEST(FrameRateChanger, ShortFramesAreDeliveredButNeverPictured) {
  TempDir dir;
  SourceConfig cfg;
  cfg.starts = Regular(3, 25, 1);
  cfg.shortLength = cfg.FrameBytes() / 2;
  FrcGraph g(cfg);
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(dir.path).c_str(), 40, 0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  // A series that ends without a picture has failed.
  auto out = g.Run(EC_ERRORABORT);
  ASSERT_EQ(out.size(), 3u);
  for (const auto& d : out) EXPECT_EQ(d.length, cfg.shortLength);
  EXPECT_EQ(dir.Count(), 0u);
  EXPECT_NE(g.changer->GetRunError().find("No picture was written"), std::string::npos);
}

TEST(FrameRateChanger, SeriesIntoAFolderThatCannotBeWrittenFailsAtTheFirstPicture) {
  TempDir dir;
  SourceConfig cfg;
  cfg.starts = Regular(10, 25, 1);
  FrcGraph g(cfg);
  const fs::path missing = dir.path / "no-such-folder";
  ASSERT_EQ(g.changer->SetImageOutput(2, Wide(missing).c_str(), 40, 0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  EXPECT_TRUE(g.Run(EC_ERRORABORT).empty());
  EXPECT_EQ(g.changer->GetRunError().find("Could not write the picture " + (missing / "img_1.jpg").string()), 0u)
      << g.changer->GetRunError();
}

// Six frames of 16 x 8, the last three renegotiated to 40 x 20.
SourceConfig SizeChangeAtFrame3() {
  SourceConfig cfg;
  cfg.starts = Regular(6, 25, 1);
  cfg.changeAt = 3;
  cfg.changedWidth = 40;
  cfg.changedHeight = 20;
  return cfg;
}

TEST(FrameRateChanger, SizeChangeWhileStreamingTravelsWithTheNextFrame) {
  auto out = Convert(SizeChangeAtFrame3(), 25, 1);
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].id, static_cast<int>(i));
    EXPECT_EQ(out[i].width, i < 3 ? 16 : 40) << i;
    EXPECT_EQ(out[i].typeChanged, i == 3) << i;
    EXPECT_EQ(out[i].length, i < 3 ? 48 * 8 : 120 * 20) << i;
  }
}

TEST(FrameRateChanger, SizeChangeDownstreamRefusesIsRefusedUpstream) {
  FrcGraph g(SizeChangeAtFrame3());
  g.sinkObject->Pin()->maxWidth = 32;
  ASSERT_EQ(g.Connect(), S_OK);
  EXPECT_EQ(g.Run().size(), 3u);
  EXPECT_EQ(static_cast<TestSource*>(g.source.p)->VideoStream()->changeResult, VFW_E_TYPE_NOT_ACCEPTED);
}

void ExpectGradientPicture(bool bottomUp) {
  TempDir dir;
  SourceConfig cfg;
  cfg.width = 30;  // 90 bytes of pixels in 92-byte rows
  cfg.height = 20;
  cfg.bottomUp = bottomUp;
  cfg.pattern = Pattern::Gradient;
  cfg.starts = Regular(2, 25, 1);
  FrcGraph g(cfg);
  const fs::path file = dir.path / "still.jpg";
  ASSERT_EQ(g.changer->SetImageOutput(1, Wide(file).c_str(), 0, 0, 0), S_OK);
  ASSERT_EQ(g.Connect(), S_OK);
  g.Run();
  Jpeg jpeg;
  ASSERT_TRUE(DecodeJpeg(file, &jpeg));
  ASSERT_EQ(jpeg.width, 30);
  ASSERT_EQ(jpeg.height, 20);
  // Every row of a column keeps that column's colour: no row is shifted
  // against the others, and the top row is the frame's top row.
  int worst = 0;
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 30; ++x) {
      BYTE want[3];
      GradientPixel(x, y, want);
      const BYTE* got = jpeg.At(x, y);
      worst = std::max({worst, std::abs(got[0] - want[2]), std::abs(got[1] - want[1]), std::abs(got[2] - want[0])});
    }
  }
  EXPECT_LE(worst, 16) << (bottomUp ? "bottom-up" : "top-down");
}

TEST(FrameRateChanger, Rgb24WidthNotAMultipleOfFourIsWrittenWithoutShear) {
  ExpectGradientPicture(true);
  ExpectGradientPicture(false);
}

}  // namespace
