#include <gtest/gtest.h>

#include <cstring>

#include "foundation/BaseStream.h"
#include "tests/foundation/ToyFilters.h"

namespace {

PELLOMAR_DEFINE_GUID(CLSID_CountingSource, "0F1E2D3C-0003-4000-8000-00000000A003");
constexpr REFERENCE_TIME kFrame = 400000;

// Writes each frame's number into its sample.
class CountingStream : public CBaseStream {
 public:
  CountingStream(CSource* filter, HRESULT* phr, int frames, REFERENCE_TIME frameTime)
      : CBaseStream(NAME("counting"), filter, phr) {
    CAutoLock lock(&m_cSharedState);
    m_AvgTimePerFrame = frameTime;
    m_rtDuration = m_rtStop = frames * kFrame;
  }
  HRESULT GetMediaType(CMediaType* pmt) override {
    *pmt = CMediaType(&MEDIATYPE_Video);
    pmt->SetSubtype(&MEDIASUBTYPE_RGB24);
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = 2;
    request->cbBuffer = 64;
    ALLOCATOR_PROPERTIES actual{};
    return alloc->SetProperties(request, &actual);
  }
  HRESULT FillFrame(IMediaSample*, int frameNumber, BYTE* buffer, LONG& length) override {
    if (frameNumber == endAtFrame) return S_FALSE;
    if (length < 4) return E_FAIL;
    std::memcpy(buffer, &frameNumber, 4);
    length = 4;
    return S_OK;
  }

  int endAtFrame = -1;
};

class BaseStreamTest : public ::testing::Test {
 protected:
  void Build(int frames, REFERENCE_TIME frameTime = kFrame) {
    HRESULT hr = S_OK;
    source = new CSource(NAME("counting source"), nullptr, CLSID_CountingSource, &hr);
    src = toy::Hold(source);
    stream = new CountingStream(source, &hr, frames, frameTime);  // the source owns its pins
    ASSERT_EQ(hr, S_OK);
    sink = new toy::Sink();
    snk = toy::Hold(sink);
    ASSERT_EQ(stream->Connect(sink->In(), nullptr), S_OK);
    ASSERT_EQ(stream->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)), S_OK);
  }
  void Start() {
    ASSERT_EQ(snk->Run(0), S_OK);
    ASSERT_EQ(src->Run(0), S_OK);
  }
  void TearDown() override {
    if (!src) return;
    src->Stop();
    snk->Stop();
    seeking = nullptr;
    stream->Disconnect();
    sink->In()->Disconnect();
  }
  static int FrameOf(const toy::Received& r) {
    int n = -1;
    if (r.head.size() >= 4) std::memcpy(&n, r.head.data(), 4);
    return n;
  }

  CSource* source = nullptr;
  CountingStream* stream = nullptr;
  toy::Sink* sink = nullptr;
  CComPtr<IBaseFilter> src, snk;
  CComPtr<IMediaSeeking> seeking;
};

TEST_F(BaseStreamTest, DeliversAFixedNumberOfFramesThenEndOfStream) {
  Build(10);
  Start();
  ASSERT_TRUE(sink->WaitFor(10, true));
  auto samples = sink->Samples();
  ASSERT_EQ(samples.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    const auto& s = samples[static_cast<size_t>(i)];
    EXPECT_EQ(FrameOf(s), i);
    EXPECT_TRUE(s.timed);
    EXPECT_EQ(s.start, i * kFrame);
    EXPECT_EQ(s.stop, (i + 1) * kFrame);
    EXPECT_TRUE(s.sync);
    EXPECT_EQ(s.discontinuity, i == 0);
    EXPECT_EQ(s.length, 4);
  }
  EXPECT_EQ(sink->ends, 1);
  EXPECT_GE(sink->segments, 1);
  LONGLONG current = 0;
  EXPECT_EQ(seeking->GetCurrentPosition(&current), E_NOTIMPL);
}

TEST_F(BaseStreamTest, RateScalesTheTimesButNotTheFrames) {
  Build(6);
  EXPECT_EQ(seeking->SetRate(0.0), E_INVALIDARG);
  EXPECT_EQ(seeking->SetRate(-1.0), E_INVALIDARG);
  double rate = 0;
  EXPECT_EQ(seeking->GetRate(&rate), S_OK);
  EXPECT_EQ(rate, 1.0);
  EXPECT_EQ(seeking->SetRate(2.0), S_OK);
  Start();
  ASSERT_TRUE(sink->WaitFor(6, true));
  auto samples = sink->Samples();
  ASSERT_EQ(samples.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(FrameOf(samples[static_cast<size_t>(i)]), i);
    EXPECT_EQ(samples[static_cast<size_t>(i)].start, i * 200000);
    EXPECT_EQ(samples[static_cast<size_t>(i)].stop, i * 200000 + 200000);
  }
  EXPECT_EQ(sink->lastRate, 2.0);
}

TEST_F(BaseStreamTest, SeekingRestartsFromTheNewStartWithADiscontinuity) {
  Build(10);
  Start();
  ASSERT_TRUE(sink->WaitFor(10, true));
  sink->Clear();
  const int flushesBefore = sink->flushes;

  LONGLONG start = 5 * kFrame;
  ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  ASSERT_TRUE(sink->WaitFor(5, true));
  auto samples = sink->Samples();
  ASSERT_EQ(samples.size(), 5u);
  EXPECT_GT(sink->flushes, flushesBefore);
  EXPECT_EQ(FrameOf(samples[0]), 5);
  EXPECT_EQ(samples[0].start, 0);  // times restart at 0
  EXPECT_TRUE(samples[0].discontinuity);
  EXPECT_TRUE(samples[0].sync);
  EXPECT_EQ(FrameOf(samples[4]), 9);
  EXPECT_EQ(samples[4].start, 4 * kFrame);
  EXPECT_FALSE(samples[1].discontinuity);
}

TEST_F(BaseStreamTest, OnlyAStopBeforeThePositionRestarts) {
  Build(10);
  Start();
  ASSERT_TRUE(sink->WaitFor(10, true));
  sink->Clear();
  const int flushes = sink->flushes;

  // Later than the position: nothing happens.
  LONGLONG stop = 20 * kFrame;
  ASSERT_EQ(seeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
  EXPECT_EQ(sink->flushes, flushes);

  // Earlier than the position: flush and restart, up to the new stop.
  stop = 3 * kFrame;
  ASSERT_EQ(seeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
  ASSERT_TRUE(sink->WaitFor(3, true));
  EXPECT_EQ(sink->flushes, flushes + 1);
  auto samples = sink->Samples();
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(FrameOf(samples[0]), 0);
  EXPECT_EQ(FrameOf(samples[2]), 2);
}

TEST_F(BaseStreamTest, AFillerThatEndsEarlyEndsTheStream) {
  Build(10);
  stream->endAtFrame = 4;
  Start();
  ASSERT_TRUE(sink->WaitFor(4, true));
  auto samples = sink->Samples();
  EXPECT_EQ(samples.size(), 4u);
  EXPECT_EQ(FrameOf(samples.back()), 3);
  EXPECT_EQ(sink->ends, 1);
}

TEST_F(BaseStreamTest, ANonPositiveFrameTimeAbortsInsteadOfDividingByZero) {
  Build(10, 0);
  Start();
  ASSERT_TRUE(sink->WaitFor(0, true));
  EXPECT_TRUE(sink->Samples().empty());
}

TEST_F(BaseStreamTest, InterfacesComeFromTheRightBase) {
  Build(1);
  CComPtr<IPin> pin;
  ASSERT_EQ(seeking->QueryInterface(IID_IPin, reinterpret_cast<void**>(&pin)), S_OK);
  EXPECT_EQ(pin.p, static_cast<IPin*>(stream));
  CComPtr<IMediaSeeking> again;
  ASSERT_EQ(pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again.p, seeking.p);
  EXPECT_EQ(stream->NonDelegatingQueryInterface(IID_IMediaSeeking, nullptr), E_POINTER);
  PIN_INFO info{};
  ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
  EXPECT_EQ(std::wstring(info.achName), L"Output");
  info.pFilter->Release();
  Quality q{};
  EXPECT_EQ(stream->Notify(nullptr, q), E_NOTIMPL);
  LONGLONG duration = 0;
  EXPECT_EQ(seeking->GetDuration(&duration), S_OK);
  EXPECT_EQ(duration, kFrame);
}

}  // namespace
