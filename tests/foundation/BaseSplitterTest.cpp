// The splitter framework end to end: a splitter over a small container
// made here, in a filter graph, feeding sinks that record what arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/MemAsyncReader.h"

namespace {

PELLOMAR_DEFINE_GUID(CLSID_TestSplitter, "5A1E0001-0000-4000-8000-00000000B001");
PELLOMAR_DEFINE_GUID(CLSID_TestPull, "5A1E0002-0000-4000-8000-00000000B002");
PELLOMAR_DEFINE_GUID(CLSID_TestSink, "5A1E0003-0000-4000-8000-00000000B003");
PELLOMAR_DEFINE_GUID(SUBTYPE_First, "5A1E0010-0000-4000-8000-00000000B010");
PELLOMAR_DEFINE_GUID(SUBTYPE_Second, "5A1E0011-0000-4000-8000-00000000B011");
PELLOMAR_DEFINE_GUID(SUBTYPE_Refused, "5A1E0012-0000-4000-8000-00000000B012");

// ---------------------------------------------------------------------------
// The container: "TOYC", track count, flags (1: the stream cannot be
// demuxed), one kind byte per track (0 video, 1 audio, 2 text), then
// records: track, flags (1 sync point, 2 type change, 4 untimed), start
// time (8 bytes), payload length (4 bytes), payload.

enum : BYTE { kSync = 1, kTypeChange = 2, kUntimed = 4 };
constexpr REFERENCE_TIME kDur = 400000;

struct Writer {
  std::vector<BYTE> bytes;
  Writer(std::vector<BYTE> kinds, BYTE flags = 0) {
    bytes = {'T', 'O', 'Y', 'C', static_cast<BYTE>(kinds.size()), flags};
    bytes.insert(bytes.end(), kinds.begin(), kinds.end());
  }
  void Record(BYTE track, BYTE flags, REFERENCE_TIME start, DWORD len, BYTE fill) {
    bytes.push_back(track);
    bytes.push_back(flags);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<BYTE>(static_cast<uint64_t>(start) >> (8 * i)));
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(len >> (8 * i)));
    for (DWORD i = 0; i < len; ++i) bytes.push_back(static_cast<BYTE>(fill + i));
  }
};

CMediaType TrackType(BYTE kind, const GUID& subtype = SUBTYPE_First) {
  CMediaType mt;
  mt.majortype = kind == 0 ? MEDIATYPE_Video : kind == 1 ? MEDIATYPE_Audio : MEDIATYPE_Text;
  mt.subtype = subtype;
  mt.formattype = FORMAT_None;
  mt.SetSampleSize(kind == 0 ? 100000 : 4096);
  return mt;
}

struct Record {
  BYTE track, flags;
  REFERENCE_TIME start;
  LONGLONG pos;
  DWORD len;
};

class TestSplitter : public CBaseSplitterFilter {
 public:
  explicit TestSplitter(HRESULT* phr) : CBaseSplitterFilter(NAME("test splitter"), nullptr, phr, CLSID_TestSplitter) {}
  ~TestSplitter() override = default;

  HRESULT CreateOutputs(IAsyncReader* reader) override {
    LONGLONG total = 0, available = 0;
    BYTE head[6];
    if (FAILED(reader->Length(&total, &available)) || available < 6 || reader->SyncRead(0, 6, head) != S_OK ||
        memcmp(head, "TOYC", 4) != 0)
      return E_FAIL;
    std::vector<BYTE> kinds(head[4]);
    if (kinds.empty() || reader->SyncRead(6, head[4], kinds.data()) != S_OK) return E_FAIL;
    m_initFails = head[5] & 1;
    m_records.clear();
    LONGLONG pos = 6 + head[4];
    while (pos + 14 <= available) {
      BYTE r[14];
      if (reader->SyncRead(pos, 14, r) != S_OK) break;
      Record rec{r[0], r[1], 0, pos + 14, 0};
      for (int i = 0; i < 8; ++i) rec.start |= static_cast<REFERENCE_TIME>(r[2 + i]) << (8 * i);
      for (int i = 0; i < 4; ++i) rec.len |= static_cast<DWORD>(r[10 + i]) << (8 * i);
      if (rec.pos + rec.len > available) break;
      m_records.push_back(rec);
      pos = rec.pos + rec.len;
    }
    m_reader = reader;
    for (size_t t = 0; t < kinds.size(); ++t) {
      HRESULT hr = S_OK;
      std::wstring name = L"Track" + std::to_wstring(t);
      auto pin = std::make_unique<CBaseSplitterOutputPin>(std::vector<CMediaType>{TrackType(kinds[t])},
                                                          name.c_str(), this, this, &hr, 2);
      AddOutputPin(static_cast<DWORD>(t), std::move(pin));
    }
    m_rtDuration = m_records.empty() ? 0 : m_records.back().start + kDur;
    m_rtNewStop = m_rtStop = m_rtDuration;
    SetPropertyText(L"TITL", L"Toy title");
    return m_pOutputs.empty() ? E_FAIL : S_OK;
  }

  bool DemuxInit() override { return !m_initFails; }

  void DemuxSeek(REFERENCE_TIME start) override {
    {
      std::lock_guard<std::mutex> g(m_seekLock);
      m_seeks.push_back(start);
    }
    m_next = 0;
    while (m_next < m_records.size() &&
           ((m_records[m_next].flags & kUntimed) || m_records[m_next].start < start))
      ++m_next;
  }

  bool DemuxLoop() override {
    while (m_next < m_records.size() && !CheckRequest(nullptr)) {
      const Record& rec = m_records[m_next++];
      if (rec.flags & kTypeChange) {
        CMediaType mt = TrackType(0, SUBTYPE_Second);
        RenameOutputPin(rec.track, rec.track, &mt);
      }
      auto p = std::make_unique<Packet>();
      p->TrackNumber = rec.track;
      p->bSyncPoint = (rec.flags & kSync) != 0;
      p->bAppendable = (rec.flags & kUntimed) != 0;
      if (!(rec.flags & kUntimed)) {
        p->rtStart = rec.start;
        p->rtStop = rec.start + kDur;
      }
      p->resize(rec.len);
      if (rec.len && m_reader->SyncRead(rec.pos, static_cast<LONG>(rec.len), p->data()) != S_OK) return true;
      if (FAILED(DeliverPacket(std::move(p)))) break;
    }
    return true;
  }

  std::vector<REFERENCE_TIME> Seeks() {
    std::lock_guard<std::mutex> g(m_seekLock);
    return m_seeks;
  }
  CBaseSplitterOutputPin* Out(int n) { return m_pOutputs[static_cast<size_t>(n)].get(); }
  HRESULT Rename(DWORD from, DWORD to, const AM_MEDIA_TYPE* pmt) { return RenameOutputPin(from, to, pmt); }
  using CBaseSplitterFilter::AppendChapter;

 private:
  std::vector<Record> m_records;
  CComPtr<IAsyncReader> m_reader;
  bool m_initFails = false;
  size_t m_next = 0;
  std::mutex m_seekLock;
  std::vector<REFERENCE_TIME> m_seeks;
};

// A pull source: one output pin whose IAsyncReader is the in-memory reader.
class PullSource;
class PullPin : public CBasePin {
 public:
  PullPin(CBaseFilter* f, CCritSec* lock, MemAsyncReader* reader)
      : CBasePin(NAME("pull"), f, lock, nullptr, L"Output", PINDIR_OUTPUT), m_reader(reader) {}
  ~PullPin() override { m_reader->Release(); }
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IAsyncReader) return m_reader->QueryInterface(riid, ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
  }
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    return pmt->majortype == MEDIATYPE_Stream ? S_OK : E_FAIL;
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    pmt->InitMediaType();
    pmt->majortype = MEDIATYPE_Stream;
    return S_OK;
  }
  STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
  STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }

 private:
  MemAsyncReader* m_reader;
};

class PullSource : public CBaseFilter {
 public:
  explicit PullSource(std::vector<BYTE> bytes) : CBaseFilter(NAME("pull source"), nullptr, &m_lock, CLSID_TestPull) {
    m_pin = std::make_unique<PullPin>(this, &m_lock, new MemAsyncReader(std::move(bytes)));
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }

 private:
  CCritSec m_lock;
  std::unique_ptr<PullPin> m_pin;
};

// ---------------------------------------------------------------------------
// A sink that records samples; its gate, when closed, holds Receive until
// it opens or a flush begins.

struct Got {
  REFERENCE_TIME start = 0, stop = 0;
  bool timed = false, sync = false, discontinuity = false, preroll = false;
  GUID newSubtype = GUID_NULL;
  std::vector<BYTE> data;
};

class Sink;
class SinkPin : public CBaseInputPin {
 public:
  SinkPin(Sink* sink, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType* pmt) override { return pmt->subtype == SUBTYPE_Refused ? E_FAIL : S_OK; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 private:
  Sink* m_sink;
};

class Sink : public CBaseFilter {
 public:
  Sink() : CBaseFilter(NAME("sink"), nullptr, &m_lock, CLSID_TestSink) { m_in = std::make_unique<SinkPin>(this, &m_lock); }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_in.get() : nullptr; }
  SinkPin* In() { return m_in.get(); }

  template <class Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock<std::mutex> g(mutex);
    // A safety net against a hang, not a timing check.
    return changed.wait_for(g, std::chrono::seconds(60), [&] { return pred(); });
  }
  void SetGate(bool open) {
    std::lock_guard<std::mutex> g(mutex);
    gateOpen = open;
    changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Got> samples;
  int ends = 0, flushes = 0, waiting = 0;
  bool flushing = false, gateOpen = true;
  // The gate closes by itself once this many samples have passed.
  size_t closeAfter = SIZE_MAX;
  // Receive fails with failWith once this many samples have passed.
  size_t failAfter = SIZE_MAX;
  HRESULT failWith = E_FAIL;
  std::vector<REFERENCE_TIME> segments;
  double lastRate = 0;

 private:
  CCritSec m_lock;
  std::unique_ptr<SinkPin> m_in;
};

SinkPin::SinkPin(Sink* sink, CCritSec* lock) : CBaseInputPin(NAME("sink in"), sink, lock, nullptr, L"In"), m_sink(sink) {}

STDMETHODIMP SinkPin::Receive(IMediaSample* sample) {
  // A sample still on its way when a flush begins belongs to the old
  // segment, whenever it gets here.
  int generation;
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    generation = m_sink->flushes;
  }
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  Got r;
  r.timed = sample->GetTime(&r.start, &r.stop) == S_OK;
  r.sync = sample->IsSyncPoint() == S_OK;
  r.discontinuity = sample->IsDiscontinuity() == S_OK;
  r.preroll = sample->IsPreroll() == S_OK;
  AM_MEDIA_TYPE* pmt = nullptr;
  if (sample->GetMediaType(&pmt) == S_OK && pmt) {
    r.newSubtype = pmt->subtype;
    DeleteMediaType(pmt);
  }
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  r.data.assign(data, data + sample->GetActualDataLength());
  std::unique_lock<std::mutex> g(m_sink->mutex);
  ++m_sink->waiting;
  m_sink->changed.notify_all();
  m_sink->changed.wait(g, [&] { return m_sink->gateOpen || m_sink->flushing; });
  --m_sink->waiting;
  if (m_sink->flushing || m_sink->flushes != generation) return S_FALSE;
  if (m_sink->samples.size() >= m_sink->failAfter) return m_sink->failWith;
  m_sink->samples.push_back(std::move(r));
  if (m_sink->samples.size() >= m_sink->closeAfter) m_sink->gateOpen = false;
  m_sink->changed.notify_all();
  return S_OK;
}

STDMETHODIMP SinkPin::EndOfStream() {
  std::lock_guard<std::mutex> g(m_sink->mutex);
  ++m_sink->ends;
  m_sink->changed.notify_all();
  return S_OK;
}

STDMETHODIMP SinkPin::BeginFlush() {
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    ++m_sink->flushes;
    m_sink->flushing = true;
    m_sink->samples.clear();
    m_sink->ends = 0;
    m_sink->changed.notify_all();
  }
  return CBaseInputPin::BeginFlush();
}

STDMETHODIMP SinkPin::EndFlush() {
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    m_sink->flushing = false;
  }
  return CBaseInputPin::EndFlush();
}

STDMETHODIMP SinkPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    m_sink->segments.push_back(start);
    m_sink->lastRate = rate;
  }
  return CBaseInputPin::NewSegment(start, stop, rate);
}

// ---------------------------------------------------------------------------

class BaseSplitterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    control = CComQIPtr<IMediaControl>(graph);
    events = CComQIPtr<IMediaEventEx>(graph);
  }
  void TearDown() override {
    if (control) control->Stop();
    for (auto& s : sinks) s->SetGate(true);
    control.Release();
    events.Release();
    graph.Release();
  }

  // Source -> splitter -> one sink per track.
  void Build(std::vector<BYTE> bytes, size_t tracks) {
    HRESULT hr = S_OK;
    splitter = new TestSplitter(&hr);
    splitterRef = static_cast<IBaseFilter*>(splitter);
    ASSERT_EQ(hr, S_OK);
    auto* source = new PullSource(std::move(bytes));
    CComPtr<IBaseFilter> sourceRef(static_cast<IBaseFilter*>(source));
    ASSERT_EQ(graph->AddFilter(sourceRef, L"Source"), S_OK);
    ASSERT_EQ(graph->AddFilter(splitterRef, L"Splitter"), S_OK);
    ASSERT_EQ(graph->ConnectDirect(source->GetPin(0), splitter->GetPin(0), nullptr), S_OK);
    ASSERT_EQ(splitter->GetPinCount(), static_cast<int>(tracks) + 1);
    for (size_t t = 0; t < tracks; ++t) {
      auto* sink = new Sink;
      sinks.push_back(sink);
      sinkRefs.emplace_back(static_cast<IBaseFilter*>(sink));
      std::wstring name = L"Sink" + std::to_wstring(t);
      ASSERT_EQ(graph->AddFilter(sinkRefs.back(), name.c_str()), S_OK);
      ASSERT_EQ(graph->ConnectDirect(splitter->Out(static_cast<int>(t)), sink->In(), nullptr), S_OK);
    }
  }

  CComPtr<IGraphBuilder> graph;
  CComQIPtr<IMediaControl> control;
  CComQIPtr<IMediaEventEx> events;
  TestSplitter* splitter = nullptr;
  CComPtr<IBaseFilter> splitterRef;
  std::vector<Sink*> sinks;
  std::vector<CComPtr<IBaseFilter>> sinkRefs;
};

TEST_F(BaseSplitterTest, DeliversEveryTrackWithSegmentTimesAndEndsEveryPin) {
  Writer w({0, 1, 2});
  for (int i = 0; i < 8; ++i) {
    w.Record(0, i % 4 == 0 ? kSync : 0, i * kDur, 500, static_cast<BYTE>(i));
    w.Record(1, kSync, i * 5000000LL, 1000, static_cast<BYTE>(0x40 + i));
  }
  w.Record(2, kSync, 123, 3, 'a');
  w.Record(0, 0, 0, 0, 0);  // empty: never delivered
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 3));
  ASSERT_EQ(control->Run(), S_OK);
  for (Sink* s : sinks) ASSERT_TRUE(s->WaitUntil([&] { return s->ends > 0; }));

  auto video = sinks[0]->samples;
  ASSERT_EQ(video.size(), 8u);
  for (size_t i = 0; i < video.size(); ++i) {
    EXPECT_TRUE(video[i].timed);
    EXPECT_EQ(video[i].start, static_cast<REFERENCE_TIME>(i) * kDur);
    EXPECT_EQ(video[i].stop, static_cast<REFERENCE_TIME>(i + 1) * kDur);
    EXPECT_EQ(video[i].sync, i % 4 == 0);
    EXPECT_EQ(video[i].discontinuity, i == 0);
    ASSERT_EQ(video[i].data.size(), 500u);
    EXPECT_EQ(video[i].data[0], static_cast<BYTE>(i));
    EXPECT_EQ(video[i].data[499], static_cast<BYTE>(i + 499));
  }
  ASSERT_EQ(sinks[1]->samples.size(), 8u);
  ASSERT_EQ(sinks[2]->samples.size(), 1u);
  EXPECT_EQ(sinks[2]->samples[0].data, (std::vector<BYTE>{'a', 'b', 'c'}));
  EXPECT_EQ(sinks[0]->segments, std::vector<REFERENCE_TIME>{0});
  // Audio: the window opens at 0 s, closes at 1.5 s over the 3000 bytes
  // that came after its first packet.
  EXPECT_EQ(splitter->Out(1)->GetCurrentBitRate(), 16000u);
  EXPECT_EQ(splitter->Out(1)->GetAverageBitRate(), 16000u);
}

TEST_F(BaseSplitterTest, RateDividesTimesAndUntimedPacketsStayUntimed) {
  Writer w({0});
  w.Record(0, kSync, 10000000, 100, 1);
  w.Record(0, kUntimed, 0, 100, 2);
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 1));
  CComQIPtr<IMediaSeeking> seeking(splitterRef);
  EXPECT_EQ(seeking->SetRate(0), E_INVALIDARG);
  EXPECT_EQ(seeking->SetRate(-1), E_INVALIDARG);
  ASSERT_EQ(seeking->SetRate(2.0), S_OK);
  sinks[0]->SetGate(false);  // keeps the two packets apart in the queue
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->waiting == 1; }));
  sinks[0]->SetGate(true);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->ends > 0; }));
  auto got = sinks[0]->samples;
  // The untimed piece was either joined to the first packet in the queue or
  // came on its own without a time.
  ASSERT_GE(got.size(), 1u);
  EXPECT_EQ(got[0].start, 5000000);
  EXPECT_EQ(got[0].stop, (10000000 + kDur) / 2);
  EXPECT_DOUBLE_EQ(sinks[0]->lastRate, 2.0);
  size_t bytes = 0;
  for (auto& g : got) bytes += g.data.size();
  EXPECT_EQ(bytes, 200u);
  if (got.size() == 2) {
    EXPECT_FALSE(got[1].timed);
    EXPECT_FALSE(got[1].preroll);
  }
}

TEST_F(BaseSplitterTest, MediaTypeChangeTravelsWithTheNextPacketOnce) {
  Writer w({0});
  w.Record(0, kSync, 0, 10, 1);
  w.Record(0, kSync | kTypeChange, kDur, 10, 2);
  w.Record(0, kSync, 2 * kDur, 10, 3);
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 1));
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->ends > 0; }));
  auto got = sinks[0]->samples;
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].newSubtype, GUID_NULL);
  EXPECT_EQ(got[1].newSubtype, SUBTYPE_Second);
  EXPECT_TRUE(got[1].discontinuity);
  EXPECT_EQ(got[2].newSubtype, GUID_NULL);
  CMediaType mt;
  EXPECT_EQ(splitter->Out(0)->GetMediaType(0, &mt), S_OK);
  EXPECT_EQ(mt.subtype, SUBTYPE_Second);
  EXPECT_EQ(splitter->Out(0)->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
}

TEST_F(BaseSplitterTest, RenameRefusedByDownstreamOrUnknownTrackChangesNothing) {
  Writer w({0, 1});
  w.Record(0, kSync, 0, 10, 1);
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 2));
  CMediaType refused = TrackType(0, SUBTYPE_Refused);
  EXPECT_EQ(splitter->Rename(0, 5, &refused), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(splitter->Rename(7, 8, nullptr), E_FAIL);
  EXPECT_EQ(splitter->GetOutputPin(0), splitter->Out(0));
  EXPECT_EQ(splitter->GetOutputPin(5), nullptr);
  EXPECT_EQ(splitter->Rename(1, 9, nullptr), S_OK);
  EXPECT_EQ(splitter->GetOutputPin(9), splitter->Out(1));
  EXPECT_EQ(splitter->GetOutputPin(1), nullptr);
}

TEST_F(BaseSplitterTest, LargePacketRegrowsDownstreamBuffers) {
  Writer w({0});
  w.Record(0, kSync, 0, 300000, 7);
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 1));
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->ends > 0; }));
  ASSERT_EQ(sinks[0]->samples.size(), 1u);
  EXPECT_EQ(sinks[0]->samples[0].data.size(), 300000u);
  EXPECT_EQ(sinks[0]->samples[0].data[299999], static_cast<BYTE>(7 + 299999));
  ALLOCATOR_PROPERTIES props{};
  ASSERT_NE(sinks[0]->In()->m_pAllocator, nullptr);
  ASSERT_EQ(sinks[0]->In()->m_pAllocator->GetProperties(&props), S_OK);
  EXPECT_GE(props.cbBuffer, 450000);
  EXPECT_LT(props.cbBuffer, 450000 + 4096);
}

TEST_F(BaseSplitterTest, FlowControlHoldsTheDemuxerAtTheByteLimit) {
  Writer w({0});
  const int n = 6000;
  for (int i = 0; i < n; ++i) w.Record(0, kSync, i * 10000LL, 1000, static_cast<BYTE>(i));
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 1));
  sinks[0]->SetGate(false);
  ASSERT_EQ(control->Run(), S_OK);
  CComQIPtr<IBufferInfo> info(splitterRef);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->GetCount(), 1);
  int samples = 0, size = 0;
  for (int i = 0; i < 60000 && size < 5242880; ++i) {
    ASSERT_EQ(info->GetStatus(0, samples, size), S_OK);
    if (size < 5242880) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GE(size, 5242880);
  // The demuxer stops before the packet that would pass the limit twice.
  ASSERT_EQ(info->GetStatus(0, samples, size), S_OK);
  EXPECT_LT(size, 5242880 + 1000);
  EXPECT_EQ(samples * 1000, size);
  // Well past the level at which delivery gets its priority back.
  EXPECT_EQ(info->GetPriority(), 0u);
  EXPECT_EQ(info->GetStatus(1, samples, size), E_INVALIDARG);

  sinks[0]->SetGate(true);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->ends > 0; }));
  auto got = sinks[0]->samples;
  ASSERT_EQ(got.size(), static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) ASSERT_EQ(got[static_cast<size_t>(i)].start, i * 10000LL);
}

TEST_F(BaseSplitterTest, SeekWhileRunningRestartsEveryPinFromTheTarget) {
  Writer w({0, 1});
  for (int i = 0; i < 100; ++i) {
    w.Record(0, kSync, i * 1000000LL, 100, static_cast<BYTE>(i));
    w.Record(1, kSync, i * 1000000LL, 100, static_cast<BYTE>(i));
  }
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 2));
  for (Sink* s : sinks) s->SetGate(false);
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->waiting == 1; }));

  LONGLONG target = 50000000, stop = 0;
  CComQIPtr<IMediaSeeking> pin0(static_cast<IPin*>(splitter->Out(0)));
  CComQIPtr<IMediaSeeking> pin1(static_cast<IPin*>(splitter->Out(1)));
  ASSERT_TRUE(pin0 && pin1);
  ASSERT_EQ(pin0->GetStopPosition(&stop), S_OK);
  ASSERT_EQ(pin0->SetPositions(&target, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning),
            S_OK);
  // The other pin forwards the same request: recorded, not repeated.
  ASSERT_EQ(pin1->SetPositions(&target, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning),
            S_OK);
  EXPECT_EQ(splitter->Seeks(), (std::vector<REFERENCE_TIME>{0, 50000000}));

  for (Sink* s : sinks) s->SetGate(true);
  for (Sink* s : sinks) {
    ASSERT_TRUE(s->WaitUntil([&] { return s->ends > 0; }));
    EXPECT_GE(s->flushes, 1);
    EXPECT_EQ(s->segments.back(), 50000000);
    auto got = s->samples;
    ASSERT_EQ(got.size(), 50u);
    EXPECT_TRUE(got[0].discontinuity);
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].start, static_cast<REFERENCE_TIME>(i) * 1000000);
      EXPECT_EQ(got[i].data[0], static_cast<BYTE>(50 + i));
      if (i > 0) {
        EXPECT_FALSE(got[i].discontinuity);
      }
    }
  }

  // The same pin asking again is a new request.
  ASSERT_EQ(pin0->SetPositions(&target, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning),
            S_OK);
  EXPECT_EQ(splitter->Seeks().size(), 3u);
  for (Sink* s : sinks) ASSERT_TRUE(s->WaitUntil([&] { return s->ends > 0 && s->samples.size() == 50; }));
}

TEST_F(BaseSplitterTest, StopReturnsWhileDeliveryIsBlockedDownstream) {
  Writer w({0});
  w.Record(0, kSync, 0, 10, 1);
  w.Record(0, kSync | kTypeChange, kDur, 10, 2);
  for (int i = 2; i < 50; ++i) w.Record(0, kSync, i * kDur, 10, static_cast<BYTE>(i));
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 1));
  // Let the type-change packet go and hold the one after it.
  sinks[0]->closeAfter = 2;
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->waiting == 1; }));
  EXPECT_EQ(sinks[0]->samples.size(), 2u);
  EXPECT_EQ(control->Stop(), S_OK);

  // A second run starts over from the beginning and reaches the end.
  {
    std::lock_guard<std::mutex> g(sinks[0]->mutex);
    sinks[0]->closeAfter = SIZE_MAX;
    sinks[0]->gateOpen = true;
    sinks[0]->samples.clear();
    sinks[0]->ends = 0;
  }
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sinks[0]->WaitUntil([&] { return sinks[0]->ends > 0; }));
  EXPECT_EQ(sinks[0]->samples.size(), 50u);
}

TEST_F(BaseSplitterTest, DemuxStartupFailureEndsEveryPinAndAbortsTheGraph) {
  Writer w({0, 1}, 1);
  w.Record(0, kSync, 0, 10, 1);
  w.Record(1, kSync, 0, 10, 1);
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 2));
  ASSERT_EQ(control->Run(), S_OK);
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  bool aborted = false;
  while (!aborted && events->GetEvent(&code, &p1, &p2, 60000) == S_OK) {
    if (code == EC_ERRORABORT) {
      aborted = true;
      EXPECT_EQ(static_cast<HRESULT>(p1), E_FAIL);
    }
    events->FreeEventParams(code, p1, p2);
  }
  EXPECT_TRUE(aborted);
  for (Sink* s : sinks) {
    ASSERT_TRUE(s->WaitUntil([&] { return s->ends > 0; }));
    EXPECT_TRUE(s->samples.empty());
  }
}

// A stream whose downstream fails still ends there, so a sink waiting for
// every stream completes; the graph hears of the failure unless it is one
// of downstream stopping.
struct FailureCase {
  HRESULT failure;
  bool reported;
};
class DeliveryFailure : public BaseSplitterTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DeliveryFailure, EndsThatStreamOnlyAndReportsRealFailures) {
  Writer w({0, 1});
  for (int i = 0; i < 6; ++i) {
    w.Record(0, kSync, i * kDur, 10, static_cast<BYTE>(i));
    w.Record(1, kSync, i * kDur, 10, static_cast<BYTE>(i));
  }
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 2));
  sinks[0]->failAfter = 2;
  sinks[0]->failWith = GetParam().failure;
  ASSERT_EQ(control->Run(), S_OK);
  for (Sink* s : sinks) ASSERT_TRUE(s->WaitUntil([&] { return s->ends > 0; }));
  EXPECT_EQ(sinks[0]->samples.size(), 2u);
  EXPECT_EQ(sinks[0]->ends, 1);
  EXPECT_EQ(sinks[1]->samples.size(), 6u);

  bool aborted = false;
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
    if (code == EC_ERRORABORT) {
      aborted = true;
      EXPECT_EQ(static_cast<HRESULT>(p1), GetParam().failure);
    }
    events->FreeEventParams(code, p1, p2);
  }
  EXPECT_EQ(aborted, GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(BaseSplitterTest, DeliveryFailure,
                         ::testing::Values(FailureCase{E_FAIL, true}, FailureCase{E_OUTOFMEMORY, true},
                                           FailureCase{VFW_E_WRONG_STATE, false},
                                           FailureCase{VFW_E_RUNTIME_ERROR, false}));

TEST_F(BaseSplitterTest, SeekingAndInformationInterfaces) {
  Writer w({0, 2});
  w.Record(0, kSync, 0, 10, 1);
  w.Record(0, kSync, 30000000, 10, 1);
  ASSERT_NO_FATAL_FAILURE(Build(w.bytes, 2));
  splitter->AppendChapter(20000000, L"two");
  splitter->AppendChapter(10000000, L"one");

  CComQIPtr<IMediaSeeking> seeking(splitterRef);
  DWORD caps = AM_SEEKING_CanSeekAbsolute;
  EXPECT_EQ(seeking->CheckCapabilities(&caps), S_OK);
  caps = AM_SEEKING_CanPlayBackwards;
  EXPECT_EQ(seeking->CheckCapabilities(&caps), E_FAIL);
  caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanPlayBackwards;
  EXPECT_EQ(seeking->CheckCapabilities(&caps), S_FALSE);
  EXPECT_EQ(seeking->GetCapabilities(&caps), S_OK);
  EXPECT_EQ(caps, 0x37u);
  EXPECT_EQ(seeking->IsFormatSupported(&TIME_FORMAT_MEDIA_TIME), S_OK);
  EXPECT_EQ(seeking->SetTimeFormat(&GUID_NULL), E_INVALIDARG);
  LONGLONG duration = 0, current = -1, stop = 0;
  EXPECT_EQ(seeking->GetDuration(&duration), S_OK);
  EXPECT_EQ(duration, 30000000 + kDur);
  EXPECT_EQ(seeking->GetDuration(nullptr), E_POINTER);

  // Stopped: recorded without a demux cycle; asking again changes nothing.
  LONGLONG to = 25000000;
  EXPECT_EQ(seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
  EXPECT_EQ(seeking->GetPositions(&current, &stop), S_OK);
  EXPECT_EQ(current, 25000000);
  EXPECT_EQ(stop, duration);
  LONGLONG back = -5000000;
  EXPECT_EQ(seeking->SetPositions(&back, AM_SEEKING_RelativePositioning, nullptr, 0), S_OK);
  EXPECT_EQ(seeking->GetPositions(&current, nullptr), S_OK);
  EXPECT_EQ(current, 20000000);

  CComQIPtr<IAMExtendedSeeking> ext(splitterRef);
  LONG marker = 0, count = 0, exCaps = 0;
  EXPECT_EQ(ext->get_MarkerCount(&count), S_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(ext->get_ExSeekCapabilities(&exCaps), S_OK);
  EXPECT_EQ(exCaps, AM_EXSEEK_CANSEEK | AM_EXSEEK_MARKERSEEK);
  EXPECT_EQ(ext->get_CurrentMarker(&marker), S_OK);
  EXPECT_EQ(marker, 2);
  double seconds = 0;
  EXPECT_EQ(ext->GetMarkerTime(1, &seconds), S_OK);
  EXPECT_DOUBLE_EQ(seconds, 1.0);
  EXPECT_EQ(ext->GetMarkerTime(3, &seconds), E_FAIL);
  LONGLONG early = 5000000;
  EXPECT_EQ(seeking->SetPositions(&early, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
  EXPECT_EQ(ext->get_CurrentMarker(&marker), E_FAIL);

  CComQIPtr<IAMOpenProgress> progress(splitterRef);
  LONGLONG total = 0;
  EXPECT_EQ(progress->QueryProgress(&total, &current), S_OK);
  EXPECT_EQ(total, 100);
  EXPECT_EQ(current, 100);

  CComQIPtr<IAMMediaContent> content(splitterRef);
  BSTR title = nullptr;
  ASSERT_EQ(content->get_Title(&title), S_OK);
  EXPECT_STREQ(title, L"Toy title");
  SysFreeString(title);
  BSTR author = nullptr;
  EXPECT_TRUE(FAILED(content->get_AuthorName(&author)));

  CComQIPtr<IKeyFrameInfo> keys(splitterRef);
  UINT n = 0;
  EXPECT_EQ(keys->KeyFrameCount(n), E_NOTIMPL);
  CComQIPtr<IFileSourceFilter> file(splitterRef);
  EXPECT_FALSE(file);  // it has an input pin
  EXPECT_EQ(splitter->GetPin(3), nullptr);
  EXPECT_EQ(splitter->GetPin(-1), nullptr);
}

}  // namespace
