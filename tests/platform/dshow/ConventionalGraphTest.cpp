// A graph as ordinary filter code builds it on the platform: a push source
// with seeking (CSource, CSourceStream, CSourceSeeking), a copying transform
// (CTransformFilter) and the platform's video renderer. It checks the
// platform behaviour such code relies on: the state changes of Stop, the
// order of the seeking notifications, the event interface's types, the
// memory helpers and the renderers' decoded-only types.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/NullRenderers.h"
#include "tests/platform/dshow/HoldFilter.h"
#include "platform/dshow/Transform.h"
#include "tests/platform/dshow/RegistryFixture.h"

namespace {

PELLOMAR_DEFINE_GUID(CLSID_CountingSource, "6C0E7A11-3B52-4D8E-9A41-2F7D5C0B9E01");
PELLOMAR_DEFINE_GUID(CLSID_CopyTransform, "6C0E7A11-3B52-4D8E-9A41-2F7D5C0B9E02");

// The documented signatures: plain long, not the 32-bit LONG of layouts.
static_assert(std::is_same_v<decltype(&IMediaEvent::GetEvent),
                             HRESULT (IMediaEvent::*)(long*, LONG_PTR*, LONG_PTR*, long)>);
static_assert(std::is_same_v<decltype(&IMediaEvent::WaitForCompletion), HRESULT (IMediaEvent::*)(long, long*)>);
static_assert(std::is_same_v<decltype(&IMediaEventEx::GetNotifyFlags), HRESULT (IMediaEventEx::*)(long*)>);

constexpr REFERENCE_TIME kFrame = 400000;  // 25 frames/s
constexpr int kFrames = 100;
constexpr LONG kImageBytes = 4 * 2 * 4;  // 4x2 RGB32

// What the filters saw, shared by one graph's filters.
struct Journal {
  std::mutex lock;
  std::vector<std::string> calls;  // state changes
  std::vector<int> frames;         // frame numbers through the transform
  int changeStarts = 0, changeStops = 0, restarts = 0;
  void Call(const std::string& c) {
    std::lock_guard g(lock);
    calls.push_back(c);
  }
};

CMediaType PictureType() {
  VIDEOINFOHEADER vih;
  ZeroMemory(&vih, sizeof(vih));
  vih.AvgTimePerFrame = kFrame;
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = 4;
  vih.bmiHeader.biHeight = 2;
  vih.bmiHeader.biPlanes = 1;
  vih.bmiHeader.biBitCount = 32;
  vih.bmiHeader.biSizeImage = kImageBytes;
  CMediaType mt(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_RGB32);
  mt.SetFormatType(&FORMAT_VideoInfo);
  mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
  return mt;
}

// The pin of a push source with seeking. A new start restarts the stream
// there; a new stop restarts it only when the stream has already passed it,
// so that it ends at once.
class CountingStream final : public CSourceStream, public CSourceSeeking {
 public:
  CountingStream(HRESULT* phr, CSource* filter, Journal* journal)
      : CSourceStream(NAME("counting stream"), phr, filter, L"Out"),
        CSourceSeeking(NAME("counting stream"), CSourceStream::GetOwner(), phr, &m_cSharedState),
        m_journal(journal) {
    m_rtDuration = m_rtStop = kFrames * kFrame;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return CSourceStream::GetOwner()->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return CSourceStream::GetOwner()->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return CSourceStream::GetOwner()->Release(); }
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IMediaSeeking) return CSourceSeeking::NonDelegatingQueryInterface(riid, ppv);
    return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
  }

  HRESULT GetMediaType(CMediaType* pmt) override {
    *pmt = PictureType();
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = 2;
    request->cbBuffer = kImageBytes;
    ALLOCATOR_PROPERTIES actual;
    return alloc->SetProperties(request, &actual);
  }
  HRESULT OnThreadStartPlay() override {
    CAutoLock lock(&m_cSharedState);
    return DeliverNewSegment(m_rtStart, m_rtStop, 1.0);
  }
  HRESULT FillBuffer(IMediaSample* sample) override {
    CAutoLock lock(&m_cSharedState);
    if (m_next * kFrame >= m_rtStop) return S_FALSE;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    FillMemory(data, kImageBytes, 0x80);
    CopyMemory(data, &m_next, sizeof(m_next));
    REFERENCE_TIME start = m_next * kFrame - m_rtStart, stop = start + kFrame;
    sample->SetTime(&start, &stop);
    sample->SetActualDataLength(kImageBytes);
    ++m_next;
    return S_OK;
  }
  STDMETHODIMP Notify(IBaseFilter*, Quality) override { return E_NOTIMPL; }

 protected:
  HRESULT ChangeStart() override {
    {
      CAutoLock lock(&m_cSharedState);
      m_next = static_cast<int>(m_rtStart / kFrame);
      ++m_journal->changeStarts;
    }
    UpdateFromSeek();
    return S_OK;
  }
  HRESULT ChangeStop() override {
    {
      CAutoLock lock(&m_cSharedState);
      ++m_journal->changeStops;
      if (m_next * kFrame < m_rtStop) return S_OK;
    }
    UpdateFromSeek();
    return S_OK;
  }
  HRESULT ChangeRate() override { return S_OK; }

 private:
  void UpdateFromSeek() {
    if (!ThreadExists()) return;
    ++m_journal->restarts;
    DeliverBeginFlush();
    Stop();
    DeliverEndFlush();
    Run();
  }

  CCritSec m_cSharedState;
  Journal* m_journal;
  int m_next = 0;
};

class CountingSource final : public CSource {
 public:
  explicit CountingSource(Journal* journal)
      : CSource(NAME("counting source"), nullptr, CLSID_CountingSource), m_journal(journal) {
    HRESULT hr = S_OK;
    new CountingStream(&hr, this, journal);  // the filter owns its pins
  }
  STDMETHODIMP Pause() override {
    m_journal->Call("source.Pause");
    return CSource::Pause();
  }
  STDMETHODIMP Stop() override {
    m_journal->Call("source.Stop");
    return CSource::Stop();
  }

 private:
  Journal* m_journal;
};

class CopyTransform final : public CTransformFilter {
 public:
  explicit CopyTransform(Journal* journal)
      : CTransformFilter(NAME("copy transform"), nullptr, CLSID_CopyTransform), m_journal(journal) {}

  HRESULT CheckInputType(const CMediaType* in) override {
    return *in == PictureType() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
    return *in == *out ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = 2;
    request->cbBuffer = kImageBytes;
    ALLOCATOR_PROPERTIES actual;
    return alloc->SetProperties(request, &actual);
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = PictureType();
    return S_OK;
  }
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
    BYTE *src = nullptr, *dst = nullptr;
    in->GetPointer(&src);
    out->GetPointer(&dst);
    CopyMemory(dst, src, kImageBytes);
    int frame = 0;
    CopyMemory(&frame, src, sizeof(frame));
    std::lock_guard g(m_journal->lock);
    m_journal->frames.push_back(frame);
    return S_OK;
  }
  STDMETHODIMP Pause() override {
    m_journal->Call("transform.Pause");
    return CTransformFilter::Pause();
  }
  STDMETHODIMP Stop() override {
    m_journal->Call("transform.Stop");
    return CTransformFilter::Stop();
  }

 private:
  Journal* m_journal;
};


IPin* PinOf(IBaseFilter* f, const wchar_t* id) {
  CComPtr<IPin> pin;
  f->FindPin(id, &pin);
  return pin;  // the filter keeps it alive
}

class ConventionalGraph : public FreshRegistryTest {
 protected:
  void SetUp() override {
    FreshRegistryTest::SetUp();
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&renderer)),
              S_OK);
    source = Hold(new CountingSource(&journal));
    transform = Hold(new CopyTransform(&journal));
    ASSERT_EQ(graph->AddFilter(source, L"Source"), S_OK);
    ASSERT_EQ(graph->AddFilter(transform, L"Transform"), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, L"Renderer"), S_OK);
    ASSERT_EQ(graph->ConnectDirect(PinOf(source, L"Out"), PinOf(transform, L"In"), nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(PinOf(transform, L"Out"), PinOf(renderer, L"In"), nullptr), S_OK);
    control = graph;
    events = graph;
    seeking = graph;
    ASSERT_TRUE(control && events && seeking);
  }
  void TearDown() override {
    if (control) control->Stop();
    for (IBaseFilter* f : {renderer.p, transform.p, source.p})
      if (f) graph->RemoveFilter(f);
    FreshRegistryTest::TearDown();
  }

  // Runs until the renderer has seen the end of the stream.
  void RunToCompletion() {
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    for (int guard = 0; guard < 100; ++guard) {
      ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 20000), S_OK);
      events->FreeEventParams(code, p1, p2);
      if (code == EC_COMPLETE) return;
    }
    FAIL() << "no EC_COMPLETE";
  }
  std::vector<int> TakeFrames() {
    std::lock_guard g(journal.lock);
    return std::move(journal.frames);
  }

  Journal journal;
  CComPtr<IGraphBuilder> graph;
  CComPtr<IBaseFilter> source, transform, renderer;
  CComQIPtr<IMediaControl> control;
  CComQIPtr<IMediaEventEx> events;
  CComQIPtr<IMediaSeeking> seeking;
};

std::vector<int> Range(int from, int to) {
  std::vector<int> r;
  for (int i = from; i < to; ++i) r.push_back(i);
  return r;
}

TEST_F(ConventionalGraph, StopOnARunningGraphPausesItFirst) {
  ASSERT_EQ(control->Run(), S_OK);
  RunToCompletion();
  EXPECT_EQ(TakeFrames(), Range(0, kFrames));
  int drawn = 0;
  EXPECT_EQ(CComQIPtr<IQualProp>(renderer)->get_FramesDrawn(&drawn), S_OK);
  EXPECT_EQ(drawn, kFrames);
  journal.calls.clear();
  ASSERT_EQ(control->Stop(), S_OK);
  EXPECT_EQ(journal.calls,
            (std::vector<std::string>{"transform.Pause", "source.Pause", "transform.Stop", "source.Stop"}));
  // From paused the graph stops at once.
  ASSERT_EQ(control->Pause(), S_OK);
  journal.calls.clear();
  ASSERT_EQ(control->Stop(), S_OK);
  EXPECT_EQ(journal.calls, (std::vector<std::string>{"transform.Stop", "source.Stop"}));
}

// Seeks of the running graph after the stream has ended: the source learns
// of a new start before a new stop, and a seek that moves both restarts
// the stream once.
TEST_F(ConventionalGraph, SeekingTellsTheStartFirstAndRestartsOnce) {
  struct Case {
    const char* name;
    int start, stop;  // frames; -1: unchanged
    int changeStarts, changeStops;
    std::vector<int> frames;
  };
  const Case cases[] = {
      {"start and stop", 20, 50, 1, 0, Range(20, 50)},
      {"start only", 90, -1, 1, 0, Range(90, kFrames)},
      {"stop before where the stream stands", -1, 50, 0, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LONGLONG begin = 0, end = kFrames * kFrame;
    ASSERT_EQ(seeking->SetPositions(&begin, AM_SEEKING_AbsolutePositioning, &end, AM_SEEKING_AbsolutePositioning),
              S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    RunToCompletion();
    EXPECT_EQ(TakeFrames(), Range(0, kFrames));
    journal.changeStarts = journal.changeStops = journal.restarts = 0;

    LONGLONG start = c.start * kFrame, stop = c.stop * kFrame;
    ASSERT_EQ(seeking->SetPositions(&start, c.start < 0 ? AM_SEEKING_NoPositioning : AM_SEEKING_AbsolutePositioning,
                                    &stop, c.stop < 0 ? AM_SEEKING_NoPositioning : AM_SEEKING_AbsolutePositioning),
              S_OK);
    RunToCompletion();
    EXPECT_EQ(journal.changeStarts, c.changeStarts);
    EXPECT_EQ(journal.changeStops, c.changeStops);
    EXPECT_EQ(journal.restarts, 1);
    EXPECT_EQ(TakeFrames(), c.frames);
    ASSERT_EQ(control->Stop(), S_OK);
  }
}

TEST(MemoryBlocks, ZeroFillCopyAndMove) {
  BYTE block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  MoveMemory(block + 2, block, 4);  // overlapping
  EXPECT_EQ(std::vector<BYTE>(block, block + 8), (std::vector<BYTE>{1, 2, 1, 2, 3, 4, 7, 8}));
  CopyMemory(block, block + 6, 2);
  FillMemory(block + 2, 3, 0xAB);
  EXPECT_EQ(std::vector<BYTE>(block, block + 8), (std::vector<BYTE>{7, 8, 0xAB, 0xAB, 0xAB, 4, 7, 8}));
  ZeroMemory(block + 1, 6);
  EXPECT_EQ(std::vector<BYTE>(block, block + 8), (std::vector<BYTE>{7, 0, 0, 0, 0, 0, 0, 8}));
  ZeroMemory(nullptr, 0);  // nothing to touch
}

// The renderers take what a decoder delivers and nothing compressed.
TEST_F(ConventionalGraph, RenderersTakeDecodedDataOnly) {
  CComPtr<IBaseFilter> audio;
  ASSERT_EQ(CoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&audio)),
            S_OK);
  WAVEFORMATEX wfx;
  ZeroMemory(&wfx, sizeof(wfx));
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  auto retyped = [](CMediaType mt, const GUID& major, const GUID& subtype, const GUID& format) {
    mt.SetType(&major);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&format);
    return mt;
  };
  CMediaType pcm = retyped(PictureType(), MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx);
  pcm.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx));
  struct Case {
    const char* name;
    IBaseFilter* renderer;
    CMediaType mt;
    HRESULT accepted;
  };
  const Case cases[] = {
      {"RGB32", renderer, PictureType(), S_OK},
      {"MPEG-1 video", renderer, retyped(PictureType(), MEDIATYPE_Video, MEDIASUBTYPE_MPEG1Payload, FORMAT_VideoInfo),
       S_FALSE},
      {"no picture size", renderer, retyped(PictureType(), MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_None), S_FALSE},
      {"PCM", audio, pcm, S_OK},
      {"float", audio, retyped(pcm, MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT, FORMAT_WaveFormatEx), S_OK},
      {"MP3", audio, retyped(pcm, MEDIATYPE_Audio, MEDIASUBTYPE_MP3, FORMAT_WaveFormatEx), S_FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CComPtr<IPin> in;
    ASSERT_EQ(c.renderer->FindPin(L"In", &in), S_OK);
    EXPECT_EQ(in->QueryAccept(&c.mt), c.accepted);
  }
}

}  // namespace
