// The parts the two muxer sinks share (the interleaving rule over the pin
// queues), the fast null muxer in a graph, and the media-time checker.
#include <gtest/gtest.h>

#include "conversion/FastNullMuxer.h"
#include "conversion/MediaTimeChecker.h"
#include "tests/conversion/MuxGraph.h"
#include "tests/conversion/PushSource.h"

namespace {

struct NullMuxer {
  NullMuxer() {
    EXPECT_EQ(CFastNullMuxer::CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    auto* base = static_cast<CFastNullMuxer*>(filter.p);
    video = static_cast<CMpegInputPin*>(base->GetPin(0));
    audio = static_cast<CMpegInputPin*>(base->GetPin(1));
  }
  CComPtr<IBaseFilter> filter;
  CMpegInputPin* video = nullptr;
  CMpegInputPin* audio = nullptr;
};

std::unique_ptr<MuxSample> Rec(CMpegInputPin* pin, DWORD flags, REFERENCE_TIME start = INT64_MIN) {
  auto r = std::make_unique<MuxSample>();
  r->m_pPin = pin;
  r->m_bVideo = pin->IsVideo();
  r->m_dwFlags = flags;
  r->m_rtStart = start;
  r->m_rtStop = start == INT64_MIN ? INT64_MIN : start + 10;
  return r;
}

constexpr DWORD kTimed = MuxSample::TimeValid | MuxSample::KeySample;

// ---------------------------------------------------------------------------
// Interleaving

TEST(MuxInterleave, SmallestStartWinsAndVideoWinsATie) {
  NullMuxer n;
  std::vector<CMpegInputPin*> active = {n.video, n.audio};
  n.video->AppendSample(Rec(n.video, kTimed, 100));
  n.video->AppendSample(Rec(n.video, kTimed, 200));
  n.audio->AppendSample(Rec(n.audio, kTimed, 100));
  n.audio->AppendSample(Rec(n.audio, kTimed, 150));
  n.audio->AppendSample(Rec(n.audio, kTimed, 250));
  std::vector<std::pair<bool, REFERENCE_TIME>> order;
  for (int i = 0; i < 4; ++i) {
    auto r = CMuxerBase::GetNextSample(active);
    ASSERT_TRUE(r);
    order.emplace_back(r->m_bVideo != 0, r->m_rtStart);
  }
  const std::vector<std::pair<bool, REFERENCE_TIME>> want = {{true, 100}, {false, 100}, {false, 150}, {true, 200}};
  EXPECT_EQ(order, want);
  // The video queue is empty now: nothing is taken although audio waits.
  EXPECT_EQ(CMuxerBase::GetNextSample(active), nullptr);
  EXPECT_EQ(n.audio->QueuedCount(), 1u);
}

TEST(MuxInterleave, UntimedLateKeyAndEndOfStreamAreTakenAtOnce) {
  for (DWORD flags : {DWORD{MuxSample::KeySample}, DWORD{MuxSample::TimeValid | MuxSample::LateKey},
                      DWORD{MuxSample::EndOfStream}}) {
    SCOPED_TRACE(flags);
    NullMuxer n;
    std::vector<CMpegInputPin*> active = {n.video, n.audio};
    n.audio->AppendSample(Rec(n.audio, kTimed, 0));
    n.video->AppendSample(Rec(n.video, flags, (flags & MuxSample::TimeValid) ? 500 : INT64_MIN));
    auto r = CMuxerBase::GetNextSample(active);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_dwFlags, flags);
    // Also while the other pin has nothing queued.
    n.audio->PopSample();
    n.video->AppendSample(Rec(n.video, flags, (flags & MuxSample::TimeValid) ? 500 : INT64_MIN));
    EXPECT_TRUE(CMuxerBase::GetNextSample(active));
  }
}

TEST(MuxInterleave, AStreamThatEndedNoLongerHoldsTheOther) {
  NullMuxer n;
  std::vector<CMpegInputPin*> active = {n.video};  // audio left the list
  n.video->AppendSample(Rec(n.video, kTimed, 1000));
  auto r = CMuxerBase::GetNextSample(active);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->m_rtStart, 1000);
}

TEST(MuxInterleave, AFullQueueIsReleasedWhenTheWorkerStarves) {
  NullMuxer n;
  for (int i = 0; i < 100; ++i) n.video->AppendSample(Rec(n.video, kTimed, i));
  // A queue of 100 holds its streaming thread back ...
  std::vector<CMpegInputPin*> active = {n.video, n.audio};
  NullMuxer probe;  // a fresh pin's event is set
  (void)probe;
  EXPECT_EQ(CMuxerBase::GetNextSample(active), nullptr);
  // ... until the worker, starved on audio, lets it grow: it was released,
  // so a pop that leaves 99 keeps it released as well.
  EXPECT_EQ(n.video->QueuedCount(), 100u);
  active = {n.video};
  EXPECT_TRUE(CMuxerBase::GetNextSample(active));
  EXPECT_EQ(n.video->QueuedCount(), 99u);
}

// ---------------------------------------------------------------------------
// Fast null muxer

TEST(FastNullMuxer, PinTypes) {
  NullMuxer n;
  CMediaType video(&MEDIATYPE_Video), audio(&MEDIATYPE_Audio), text(&MEDIATYPE_Text);
  EXPECT_EQ(n.video->CheckMediaType(&video), S_OK);
  EXPECT_EQ(n.video->CheckMediaType(&audio), E_INVALIDARG);
  EXPECT_EQ(n.audio->CheckMediaType(&audio), S_OK);
  EXPECT_EQ(n.audio->CheckMediaType(&text), S_OK);
  EXPECT_EQ(n.audio->CheckMediaType(&video), E_FAIL);
}

TEST(FastNullMuxer, CompletesOnceAfterEveryConnectedStreamEnded) {
  for (bool withAudio : {false, true}) {
    SCOPED_TRACE(withAudio);
    NullMuxer n;
    PushSourceConfig cfg;
    cfg.audio = withAudio;
    cfg.frames = 200;
    CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
    MuxGraph g;
    ASSERT_EQ(g.Build(src, n.filter, L"Fast Null Muxer"), S_OK);
    EXPECT_EQ(n.audio->IsConnected(), withAudio);
    ASSERT_EQ(g.control->Run(), S_OK);
    GraphEvents ev = g.WaitForEnd();
    EXPECT_EQ(ev.completes, 1);
    EXPECT_EQ(ev.aborts, 0);
    CComQIPtr<IMediaSeeking> seek(n.filter);
    LONGLONG pos = 0;
    seek->GetCurrentPosition(&pos);
    EXPECT_EQ(pos, 10000000LL * 200 / 25);  // the last frame's end
    EXPECT_EQ(g.control->Stop(), S_OK);
    EXPECT_EQ(g.Remaining().completes, 0);
  }
}

TEST(FastNullMuxer, AGraphStoppedBeforeTheEndStillCompletes) {
  NullMuxer n;
  PushSourceConfig cfg;
  cfg.frames = 1000000;
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.Build(src, n.filter, L"Fast Null Muxer"), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  CComQIPtr<IMediaSeeking> seek(n.filter);
  LONGLONG pos = 0;
  for (int i = 0; i < 60000 && pos == 0; ++i) {
    Sleep(1);
    seek->GetCurrentPosition(&pos);
  }
  EXPECT_GT(pos, 0);
  EXPECT_EQ(g.control->Stop(), S_OK);
  GraphEvents ev = g.Remaining();
  EXPECT_EQ(ev.completes, 1);
  // Queues are emptied by the stop.
  EXPECT_EQ(n.video->QueuedCount(), 0u);
  EXPECT_EQ(n.audio->QueuedCount(), 0u);
}

// ---------------------------------------------------------------------------
// Media-time checker

class TimeCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CMediaTimeChecker::CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    checker = static_cast<CMediaTimeChecker*>(filter.p);
    ASSERT_EQ(CMemAllocator::Create(&alloc), S_OK);
    ALLOCATOR_PROPERTIES want{2, 64, 1, 0}, got{};
    ASSERT_EQ(alloc->SetProperties(&want, &got), S_OK);
    ASSERT_EQ(alloc->Commit(), S_OK);
    checker->StartStreaming();
  }
  void TearDown() override { alloc->Decommit(); }

  // Passes one sample of `length` bytes; returns the result and the times.
  HRESULT Pass(REFERENCE_TIME start, REFERENCE_TIME stop, REFERENCE_TIME* outStart, REFERENCE_TIME* outStop,
               LONG length = 8) {
    CComPtr<IMediaSample> in, out;
    EXPECT_EQ(alloc->GetBuffer(&in, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(alloc->GetBuffer(&out, nullptr, nullptr, 0), S_OK);
    BYTE* p = nullptr;
    in->GetPointer(&p);
    for (LONG i = 0; i < length && i < 64; ++i) p[i] = static_cast<BYTE>(i + start);
    in->SetActualDataLength(length);
    in->SetTime(&start, &stop);
    HRESULT hr = checker->Transform(in, out);
    out->GetTime(outStart, outStop);
    if (hr == S_OK) {
      BYTE* q = nullptr;
      out->GetPointer(&q);
      EXPECT_EQ(out->GetActualDataLength(), length);
      EXPECT_EQ(std::memcmp(p, q, static_cast<size_t>(length)), 0);
    }
    return hr;
  }

  CComPtr<IBaseFilter> filter;
  CMediaTimeChecker* checker = nullptr;
  CComPtr<IMemAllocator> alloc;
};

TEST_F(TimeCheckerTest, OverlapsMoveForwardKeepingTheirLength) {
  const REFERENCE_TIME in[][2] = {{0, 10}, {8, 18}, {18, 28}, {5, 9}};
  const REFERENCE_TIME want[][2] = {{0, 10}, {10, 20}, {20, 30}, {30, 34}};
  for (int i = 0; i < 4; ++i) {
    REFERENCE_TIME s = -1, e = -1;
    ASSERT_EQ(Pass(in[i][0], in[i][1], &s, &e), S_OK);
    EXPECT_EQ(s, want[i][0]) << i;
    EXPECT_EQ(e, want[i][1]) << i;
  }
  // A sample at zero starts over and leaves unchanged.
  REFERENCE_TIME s = -1, e = -1;
  ASSERT_EQ(Pass(0, 7, &s, &e), S_OK);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(e, 7);
  ASSERT_EQ(Pass(7, 9, &s, &e), S_OK);
  EXPECT_EQ(s, 7);
}

TEST_F(TimeCheckerTest, EmptyOrOversizedSamplesAreNotPassedOn) {
  REFERENCE_TIME s, e;
  EXPECT_EQ(Pass(0, 10, &s, &e, 0), S_FALSE);
  EXPECT_EQ(Pass(0, 10, &s, &e, 65), S_FALSE);
  // Huge times do not overflow.
  ASSERT_EQ(Pass(INT64_MAX - 5, INT64_MAX, &s, &e), S_OK);
  ASSERT_EQ(Pass(1, 2, &s, &e), S_OK);
  EXPECT_EQ(s, INT64_MAX);
}

TEST_F(TimeCheckerTest, TypesAndAGraphThroughIt) {
  CMediaType v(&MEDIATYPE_Video), t(&MEDIATYPE_Text);
  v.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_EQ(checker->CheckInputType(&v), S_OK);
  EXPECT_EQ(checker->CheckInputType(&t), E_INVALIDARG);
  CMediaType a(&MEDIATYPE_Audio);
  EXPECT_EQ(checker->CheckTransform(&v, &v), S_OK);
  EXPECT_EQ(checker->CheckTransform(&v, &a), E_UNEXPECTED);
  CMediaType offered;
  EXPECT_EQ(checker->GetMediaType(0, &offered), E_UNEXPECTED);  // input not connected

  NullMuxer n;
  PushSourceConfig cfg;
  cfg.audio = false;
  cfg.frames = 50;
  CComPtr<IBaseFilter> src = CPushSource::Create(cfg);
  MuxGraph g;
  ASSERT_EQ(g.graph->AddFilter(src, L"Source"), S_OK);
  ASSERT_EQ(g.graph->AddFilter(filter, L"Media VTimer"), S_OK);
  ASSERT_EQ(g.graph->AddFilter(n.filter, L"Fast Null Muxer"), S_OK);
  IPin* in = nullptr;
  IPin* out = nullptr;
  ASSERT_EQ(checker->GetPin(0)->QueryInterface(IID_IPin, reinterpret_cast<void**>(&in)), S_OK);
  ASSERT_EQ(checker->GetPin(1)->QueryInterface(IID_IPin, reinterpret_cast<void**>(&out)), S_OK);
  in->Release();
  out->Release();
  ASSERT_EQ(g.graph->ConnectDirect(MuxGraph::Pin(src, L"Video"), in, nullptr), S_OK);
  ASSERT_EQ(g.graph->ConnectDirect(out, n.video, nullptr), S_OK);
  EXPECT_EQ(checker->GetMediaType(0, &offered), S_OK);
  EXPECT_TRUE(offered == n.video->CurrentMediaType());
  EXPECT_EQ(checker->GetMediaType(1, &offered), VFW_S_NO_MORE_ITEMS);
  EXPECT_EQ(checker->CheckInputType(&v), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  GraphEvents ev = g.WaitForEnd();
  EXPECT_EQ(ev.completes, 1);
  // Refused while running.
  EXPECT_EQ(checker->CheckInputType(&v), E_INVALIDARG);
  CComQIPtr<IMediaSeeking> seek(n.filter);
  LONGLONG pos = 0;
  seek->GetCurrentPosition(&pos);
  EXPECT_EQ(pos, 10000000LL * 50 / 25);
  EXPECT_EQ(g.control->Stop(), S_OK);
}

}  // namespace
