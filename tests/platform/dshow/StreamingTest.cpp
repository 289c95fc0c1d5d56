// Allocators, worker threads, the source loop and transform filters.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "TestFilters.h"

using namespace dshowtest;

namespace {

IMemAllocator* MakeAllocator(LONG count, LONG size) {
  IMemAllocator* alloc = nullptr;
  EXPECT_EQ(CMemAllocator::Create(&alloc), S_OK);
  ALLOCATOR_PROPERTIES req{count, size, 1, 0}, got{};
  EXPECT_EQ(alloc->SetProperties(&req, &got), S_OK);
  return alloc;
}

// ---------------------------------------------------------------------------
// Allocator

TEST(Allocator, PropertiesAreRoundedAndGuarded) {
  IMemAllocator* alloc = nullptr;
  ASSERT_EQ(CMemAllocator::Create(&alloc), S_OK);
  ALLOCATOR_PROPERTIES req{3, 100, 16, 4}, got{};
  ASSERT_EQ(alloc->SetProperties(&req, &got), S_OK);
  EXPECT_EQ(got.cBuffers, 3);
  EXPECT_EQ((got.cbBuffer + got.cbPrefix) % 16, 0);
  EXPECT_GE(got.cbBuffer, 100);
  ALLOCATOR_PROPERTIES odd{1, 10, 3, 0};
  EXPECT_EQ(alloc->SetProperties(&odd, &got), VFW_E_BADALIGN);
  ALLOCATOR_PROPERTIES negative{1, -10, 1, 0};
  EXPECT_EQ(alloc->SetProperties(&negative, &got), E_INVALIDARG);
  ALLOCATOR_PROPERTIES huge{0x7FFF, 0x7FFFFFF, 1, 0};
  EXPECT_EQ(alloc->SetProperties(&huge, &got), E_OUTOFMEMORY);

  ASSERT_EQ(alloc->Commit(), S_OK);
  EXPECT_EQ(alloc->SetProperties(&req, &got), VFW_E_ALREADY_COMMITTED);
  IMediaSample* s = nullptr;
  ASSERT_EQ(alloc->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
  BYTE* p = nullptr;
  s->GetPointer(&p);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  EXPECT_EQ(s->SetActualDataLength(s->GetSize() + 1), VFW_E_BUFFER_OVERFLOW);
  ASSERT_EQ(alloc->Decommit(), S_OK);
  // A sample still out keeps the properties fixed.
  EXPECT_EQ(alloc->SetProperties(&req, &got), VFW_E_BUFFERS_OUTSTANDING);
  s->Release();
  EXPECT_EQ(alloc->SetProperties(&req, &got), S_OK);
  alloc->Release();
}

TEST(Allocator, GetBufferWaitsForAFreeSampleAndDecommitReleasesIt) {
  IMemAllocator* alloc = MakeAllocator(1, 64);
  EXPECT_EQ(alloc->GetBuffer(nullptr, nullptr, nullptr, 0), E_POINTER);
  IMediaSample* first = nullptr;
  EXPECT_EQ(alloc->GetBuffer(&first, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
  ASSERT_EQ(alloc->Commit(), S_OK);
  ASSERT_EQ(alloc->GetBuffer(&first, nullptr, nullptr, 0), S_OK);
  IMediaSample* none = nullptr;
  EXPECT_EQ(alloc->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

  // A blocked caller gets the sample when it comes home.
  auto waiter = std::async(std::launch::async, [alloc] {
    IMediaSample* s = nullptr;
    HRESULT hr = alloc->GetBuffer(&s, nullptr, nullptr, 0);
    if (s) s->Release();
    return hr;
  });
  first->Release();
  EXPECT_EQ(waiter.get(), S_OK);

  // A blocked caller is released with an error by Decommit.
  ASSERT_EQ(alloc->GetBuffer(&first, nullptr, nullptr, 0), S_OK);
  auto blocked = std::async(std::launch::async, [alloc] {
    IMediaSample* s = nullptr;
    HRESULT hr = alloc->GetBuffer(&s, nullptr, nullptr, 0);
    if (s) s->Release();
    return hr;
  });
  while (blocked.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
    alloc->Decommit();
  }
  EXPECT_EQ(blocked.get(), VFW_E_NOT_COMMITTED);
  // The sample out when decommitted is freed when it comes back.
  first->Release();
  ASSERT_EQ(alloc->Commit(), S_OK);
  ASSERT_EQ(alloc->GetBuffer(&first, nullptr, nullptr, 0), S_OK);
  first->Release();
  alloc->Release();
}

TEST(Allocator, SamplesComeBackClean) {
  IMemAllocator* alloc = MakeAllocator(1, 16);
  ASSERT_EQ(alloc->Commit(), S_OK);
  IMediaSample* s = nullptr;
  ASSERT_EQ(alloc->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
  REFERENCE_TIME a = 10, b = 20;
  s->SetTime(&a, &b);
  s->SetDiscontinuity(TRUE);
  CMediaType mt = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, 5);
  ASSERT_EQ(s->SetMediaType(&mt), S_OK);
  AM_MEDIA_TYPE* back = nullptr;
  ASSERT_EQ(s->GetMediaType(&back), S_OK);
  EXPECT_TRUE(static_cast<CMediaType&>(*back) == mt);
  DeleteMediaType(back);
  s->Release();

  ASSERT_EQ(alloc->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(s->GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
  EXPECT_EQ(s->GetMediaType(&back), S_FALSE);
  EXPECT_EQ(back, nullptr);
  s->SetTime(&a, nullptr);
  EXPECT_EQ(s->GetTime(&a, &b), VFW_S_NO_STOP_TIME);
  s->Release();
  alloc->Release();
}

// ---------------------------------------------------------------------------
// Worker thread handshake

class EchoThread : public CAMThread {
 public:
  DWORD ThreadProc() override {
    for (;;) {
      DWORD cmd = GetRequest();
      if (cmd == 0) {
        Reply(0);
        return 0;
      }
      if (cmd == 7) {
        // Busy until the next command arrives; CheckRequest must not
        // consume it, so GetRequest sees it too.
        Reply(7);
        DWORD next = 0;
        while (!CheckRequest(&next)) Sleep(1);
        seenByCheck = next;
        continue;
      }
      Reply(cmd * 2);
    }
  }
  std::atomic<DWORD> seenByCheck{0};
};

TEST(AMThread, CallWorkerWaitsForTheReplyAndCheckRequestKeepsTheCommand) {
  EchoThread t;
  EXPECT_EQ(t.CallWorker(3), static_cast<DWORD>(E_FAIL));
  ASSERT_TRUE(t.Create());
  EXPECT_FALSE(t.Create());
  EXPECT_TRUE(t.ThreadExists());
  EXPECT_EQ(t.CallWorker(21), 42u);
  EXPECT_EQ(t.CallWorker(7), 7u);
  EXPECT_EQ(t.CallWorker(5), 10u);
  EXPECT_EQ(t.seenByCheck.load(), 5u);
  EXPECT_NE(t.GetRequestHandle(), nullptr);
  EXPECT_EQ(t.CallWorker(0), 0u);
  t.Close();
  EXPECT_FALSE(t.ThreadExists());
}

// ---------------------------------------------------------------------------
// Source stream loop

class CountingStream : public CSourceStream {
 public:
  CountingStream(HRESULT* phr, CSource* filter) : CSourceStream("counting", phr, filter, L"Output") {}
  HRESULT GetMediaType(CMediaType* pmt) override {
    *pmt = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override {
    req->cBuffers = 2;
    req->cbBuffer = 16;
    ALLOCATOR_PROPERTIES got{};
    return alloc->SetProperties(req, &got);
  }
  HRESULT OnThreadStartPlay() override {
    ++starts;
    return S_OK;
  }
  HRESULT FillBuffer(IMediaSample* sample) override {
    if (filled == limit) return endResult;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    p[0] = static_cast<BYTE>(filled++);
    sample->SetActualDataLength(1);
    return S_OK;
  }
  std::atomic<int> starts{0};
  std::atomic<int> filled{0};
  std::atomic<int> limit{3};
  HRESULT endResult = S_FALSE;
};

class CountingSource : public CSource {
 public:
  static CountingSource* Create() {
    auto* s = new CountingSource();
    s->AddRef();
    return s;
  }
  CountingStream* stream = nullptr;

 private:
  CountingSource() : CSource("counting source", nullptr, CLSID_TestOut) {
    HRESULT hr = S_OK;
    stream = new CountingStream(&hr, this);
  }
};

struct SourceRig {
  SourceRig() {
    source = CountingSource::Create();
    sink = TestInFilter::Create();
    events = TestEventSink::Create();
    source->JoinFilterGraph(events, L"source");
    sink->JoinFilterGraph(events, L"sink");
    sink->pin().accepted = {MEDIASUBTYPE_PCM};
  }
  ~SourceRig() {
    source->Stop();
    sink->Stop();
    source->stream->DisconnectInternal();
    sink->pin().DisconnectInternal();
    source->Release();
    sink->Release();
    events->Release();
  }
  // Waits (bounded) for the sink to see end of stream.
  bool WaitForEnd() {
    for (int i = 0; i < 5000 && sink->pin().endOfStreams == 0; ++i) Sleep(1);
    return sink->pin().endOfStreams > 0;
  }
  CountingSource* source;
  TestInFilter* sink;
  TestEventSink* events;
};

TEST(SourceStream, DeliversUntilFillBufferEndsTheStream) {
  SourceRig rig;
  ASSERT_EQ(rig.source->stream->Connect(&rig.sink->pin(), nullptr), S_OK);
  ASSERT_EQ(rig.sink->Pause(), S_OK);
  ASSERT_EQ(rig.source->Pause(), S_OK);
  ASSERT_TRUE(rig.WaitForEnd());
  EXPECT_EQ(rig.sink->pin().received, 3);
  EXPECT_EQ(rig.sink->pin().firstBytes, (std::vector<BYTE>{0, 1, 2}));
  EXPECT_EQ(rig.source->stream->starts.load(), 1);
  EXPECT_TRUE(rig.events->Events().empty());
  ASSERT_EQ(rig.source->Stop(), S_OK);
  EXPECT_FALSE(rig.source->stream->ThreadExists());
}

TEST(SourceStream, FailureEndsTheStreamAndAbortsTheGraph) {
  SourceRig rig;
  rig.source->stream->limit = 1;
  rig.source->stream->endResult = E_ACCESSDENIED;
  // The abort is out before the end of stream reaches downstream, so that
  // no renderer's completion can be taken for the stream's end first.
  std::atomic<size_t> eventsAtEnd{99};
  rig.sink->pin().onEndOfStream = [&] { eventsAtEnd = rig.events->Events().size(); };
  ASSERT_EQ(rig.source->stream->Connect(&rig.sink->pin(), nullptr), S_OK);
  ASSERT_EQ(rig.sink->Pause(), S_OK);
  ASSERT_EQ(rig.source->Pause(), S_OK);
  ASSERT_TRUE(rig.WaitForEnd());
  auto events = rig.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, EC_ERRORABORT);
  EXPECT_EQ(events[0].second, E_ACCESSDENIED);
  EXPECT_EQ(eventsAtEnd.load(), 1u);
  EXPECT_EQ(rig.sink->pin().received, 1);
}

TEST(SourceStream, StopReleasesAWorkerBlockedOnBuffersAndRestartCallsStartPlayAgain) {
  SourceRig rig;
  rig.source->stream->limit = 1000000;
  rig.sink->pin().holdSamples = true;  // both buffers stay downstream
  ASSERT_EQ(rig.source->stream->Connect(&rig.sink->pin(), nullptr), S_OK);
  ASSERT_EQ(rig.sink->Pause(), S_OK);
  ASSERT_EQ(rig.source->Pause(), S_OK);
  for (int i = 0; i < 5000 && rig.sink->pin().received < 2; ++i) Sleep(1);
  EXPECT_EQ(rig.sink->pin().received, 2);
  // The worker is now blocked in GetDeliveryBuffer; stopping must not hang.
  ASSERT_EQ(rig.source->Stop(), S_OK);
  EXPECT_FALSE(rig.source->stream->ThreadExists());
  rig.sink->pin().DropHeld();
  rig.sink->pin().holdSamples = false;
  rig.source->stream->limit = rig.source->stream->filled + 2;
  ASSERT_EQ(rig.source->Pause(), S_OK);
  ASSERT_TRUE(rig.WaitForEnd());
  EXPECT_EQ(rig.source->stream->starts.load(), 2);
}

TEST(SourceStream, FlushDownstreamReleasesABlockedWorker) {
  SourceRig rig;
  rig.source->stream->limit = 1000000;
  rig.sink->pin().holdSamples = true;
  ASSERT_EQ(rig.source->stream->Connect(&rig.sink->pin(), nullptr), S_OK);
  ASSERT_EQ(rig.sink->Pause(), S_OK);
  ASSERT_EQ(rig.source->Pause(), S_OK);
  for (int i = 0; i < 5000 && rig.sink->pin().received < 2; ++i) Sleep(1);
  ASSERT_EQ(rig.sink->pin().received, 2);
  // Flushing makes the sink let go of its samples and refuse new ones.
  ASSERT_EQ(rig.source->stream->DeliverBeginFlush(), S_OK);
  for (int i = 0; i < 5000 && rig.source->stream->filled < 3; ++i) Sleep(1);
  EXPECT_GE(rig.source->stream->filled, 3);
  EXPECT_EQ(rig.sink->pin().received, 2);
  ASSERT_EQ(rig.source->stream->DeliverEndFlush(), S_OK);
}

// ---------------------------------------------------------------------------
// Transform filter

class InvertFilter : public CTransformFilter {
 public:
  static InvertFilter* Create() {
    auto* f = new InvertFilter();
    f->AddRef();
    return f;
  }
  HRESULT CheckInputType(const CMediaType* in) override {
    return in->majortype == MEDIATYPE_Audio ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
    return in->subtype == out->subtype ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override {
    req->cBuffers = 1;
    req->cbBuffer = 16;
    ALLOCATOR_PROPERTIES got{};
    return alloc->SetProperties(req, &got);
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = m_pInput->CurrentMediaType();
    return S_OK;
  }
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
    BYTE *src = nullptr, *dst = nullptr;
    in->GetPointer(&src);
    out->GetPointer(&dst);
    LONG n = in->GetActualDataLength();
    if (n == 0) return S_FALSE;  // nothing to deliver
    for (LONG i = 0; i < n; ++i) dst[i] = static_cast<BYTE>(~src[i]);
    out->SetActualDataLength(n);
    // A format change travels on the output sample.
    if (src[0] == 0xEE) {
      CMediaType mt = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, 0x42);
      out->SetMediaType(&mt);
    }
    return S_OK;
  }

 private:
  InvertFilter() : CTransformFilter("invert", nullptr, CLSID_TestIn) {}
};

TEST(TransformFilter, PassesSamplesTimesAndTypeChanges) {
  TestOutFilter* up = TestOutFilter::Create();
  InvertFilter* xf = InvertFilter::Create();
  TestInFilter* down = TestInFilter::Create();
  up->pin().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  up->pin().accepted = {MEDIASUBTYPE_PCM};
  down->pin().accepted = {MEDIASUBTYPE_PCM};

  // The output cannot connect before the input.
  EXPECT_TRUE(FAILED(xf->GetPin(1)->Connect(&down->pin(), nullptr)));
  ASSERT_EQ(up->pin().Connect(xf->GetPin(0), nullptr), S_OK);
  ASSERT_EQ(xf->GetPin(1)->Connect(&down->pin(), nullptr), S_OK);
  EXPECT_EQ(down->pin().CurrentMediaType().subtype, MEDIASUBTYPE_PCM);

  ASSERT_EQ(down->Pause(), S_OK);
  ASSERT_EQ(xf->Pause(), S_OK);
  ASSERT_EQ(up->Pause(), S_OK);

  auto send = [&](BYTE first, LONG len) {
    IMediaSample* s = nullptr;
    HRESULT got = up->pin().GetDeliveryBuffer(&s, nullptr, nullptr, 0);
    if (FAILED(got)) return got;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    p[0] = first;
    s->SetActualDataLength(len);
    REFERENCE_TIME a = 100, b = 200;
    s->SetTime(&a, &b);
    HRESULT hr = up->pin().Deliver(s);
    s->Release();
    return hr;
  };
  EXPECT_EQ(send(0x0F, 1), S_OK);
  EXPECT_EQ(send(0x00, 0), S_OK);  // skipped by the transform, not an error
  EXPECT_EQ(send(0xEE, 1), S_OK);
  EXPECT_EQ(down->pin().received, 2);
  EXPECT_EQ(down->pin().firstBytes, (std::vector<BYTE>{0xF0, 0x11}));
  EXPECT_EQ(down->pin().typeChanges, 1);

  // Flushing passes through and makes the pins refuse samples.
  ASSERT_EQ(up->pin().DeliverBeginFlush(), S_OK);
  EXPECT_EQ(send(0x01, 1), S_FALSE);
  ASSERT_EQ(up->pin().DeliverEndFlush(), S_OK);
  EXPECT_EQ(send(0x01, 1), S_OK);
  ASSERT_EQ(up->pin().DeliverEndOfStream(), S_OK);
  EXPECT_EQ(down->pin().endOfStreams, 1);

  ASSERT_EQ(up->Stop(), S_OK);
  ASSERT_EQ(xf->Stop(), S_OK);
  ASSERT_EQ(down->Stop(), S_OK);
  EXPECT_EQ(send(0x01, 1), VFW_E_NOT_COMMITTED);
  up->pin().DisconnectInternal();
  xf->GetPin(0)->DisconnectInternal();
  xf->GetPin(1)->DisconnectInternal();
  down->pin().DisconnectInternal();
  up->Release();
  xf->Release();
  down->Release();
}

}  // namespace
