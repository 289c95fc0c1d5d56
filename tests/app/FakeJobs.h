// Stand-in job builders for the main window's runs: small graphs that
// complete, abort, hold, or fail to build or to pause, as a test arranges.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/JobRunners.h"
#include "app/TambrelDlg.h"
#include "conversion/GraphConverter.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Errors.h"
#include "platform/dshow/Source.h"
#include "tests/platform/dshow/HoldFilter.h"

namespace fakejobs {

PELLOMAR_DEFINE_GUID(kClsFakeEnd, "7A9E0001-0000-4000-8000-0000000A9901");
PELLOMAR_DEFINE_GUID(kClsStreamSource, "7A9E0002-0000-4000-8000-0000000A9901");

// What a job's graph does.
struct Plan {
  enum Kind {
    kCompleteOnRun,  // completes as soon as it runs
    kHold,           // runs until the test ends it
    kAbortOnRun,     // aborts with `hr` as soon as it runs
    kPauseFails,     // refuses to pause with `hr`
    kBuildFails,     // the builder answers `hr` with `text`
    kStream,         // a source pushing `samples` samples into the null video renderer
    kAbortThenComplete,
    kCompleteThenAbort,
  };
  Plan(Kind kind = kCompleteOnRun, HRESULT hr = S_OK, std::string text = {}, int samples = 0, int failAt = -1)
      : kind(kind), hr(hr), text(std::move(text)), samples(samples), failAt(failAt) {}
  Kind kind;
  HRESULT hr;
  std::string text;
  int samples;
  int failAt;  // kStream: the sample whose fill fails with `hr`
};

// A filter without pins: the graph's only end, so its position is the
// graph's, and with no sinks its first EC_COMPLETE reaches the window.
class FakeEnd final : public CBaseFilter, public IMediaSeeking {
 public:
  explicit FakeEnd(const Plan& plan) : CBaseFilter("fake end", nullptr, &m_lock, kClsFakeEnd), m_plan(plan) {}
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
  }
  int GetPinCount() override { return 0; }
  CBasePin* GetPin(int) override { return nullptr; }

  STDMETHODIMP Pause() override {
    if (m_plan.kind == Plan::kPauseFails) return m_plan.hr;
    return CBaseFilter::Pause();
  }
  STDMETHODIMP Run(REFERENCE_TIME start) override {
    HRESULT hr = CBaseFilter::Run(start);
    ++runs;
    if (m_plan.kind == Plan::kCompleteOnRun) Complete();
    if (m_plan.kind == Plan::kAbortOnRun) Abort(m_plan.hr);
    if (m_plan.kind == Plan::kAbortThenComplete) Abort(m_plan.hr), Complete();
    if (m_plan.kind == Plan::kCompleteThenAbort) Complete(), Abort(m_plan.hr);
    return hr;
  }
  void Complete() { NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this))); }
  void Abort(HRESULT hr) { NotifyEvent(EC_ERRORABORT, hr, 0); }

  // IMediaSeeking: only the current position matters here.
  STDMETHODIMP GetCapabilities(DWORD* c) override {
    *c = AM_SEEKING_CanGetCurrentPos;
    return S_OK;
  }
  STDMETHODIMP CheckCapabilities(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP IsFormatSupported(const GUID* f) override { return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE; }
  STDMETHODIMP QueryPreferredFormat(GUID* f) override {
    *f = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
  }
  STDMETHODIMP GetTimeFormat(GUID* f) override { return QueryPreferredFormat(f); }
  STDMETHODIMP IsUsingTimeFormat(const GUID* f) override { return IsFormatSupported(f); }
  STDMETHODIMP SetTimeFormat(const GUID*) override { return S_OK; }
  STDMETHODIMP GetDuration(LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStopPosition(LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCurrentPosition(LONGLONG* c) override {
    *c = position;
    return S_OK;
  }
  STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP SetPositions(LONGLONG*, DWORD, LONGLONG*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetPositions(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetRate(double) override { return E_NOTIMPL; }
  STDMETHODIMP GetRate(double*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPreroll(LONGLONG*) override { return E_NOTIMPL; }

  std::atomic<LONGLONG> position{0};
  std::atomic<int> runs{0};

 private:
  CCritSec m_lock;
  Plan m_plan;
};

// Pushes numbered video samples from its worker thread.
class StreamSource final : public CSource {
 public:
  explicit StreamSource(const Plan& plan) : CSource("stream source", nullptr, kClsStreamSource) {
    HRESULT hr = S_OK;
    new Stream(&hr, this, plan);  // owned by the filter's pin list
  }

 private:
  class Stream final : public CSourceStream {
   public:
    Stream(HRESULT* phr, CSource* filter, const Plan& plan) : CSourceStream("stream", phr, filter, L"Out"), m_plan(plan) {}
    // Pictures of 2x1 RGB32 pixels (8 bytes): the renderer takes decoded
    // video only.
    HRESULT GetMediaType(CMediaType* pmt) override {
      CMediaType mt(&MEDIATYPE_Video);
      mt.SetSubtype(&MEDIASUBTYPE_RGB32);
      mt.SetFormatType(&FORMAT_VideoInfo);
      VIDEOINFOHEADER vih{};
      vih.AvgTimePerFrame = 400000;
      vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      vih.bmiHeader.biWidth = 2;
      vih.bmiHeader.biHeight = 1;
      vih.bmiHeader.biPlanes = 1;
      vih.bmiHeader.biBitCount = 32;
      vih.bmiHeader.biSizeImage = 8;
      mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
      *pmt = mt;
      return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) override {
      ALLOCATOR_PROPERTIES want{2, 64, 1, 0}, got{};
      return alloc->SetProperties(&want, &got);
    }
    HRESULT OnThreadStartPlay() override {
      m_next = 0;
      return S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
      if (m_next == m_plan.failAt) return m_plan.hr;
      if (m_next >= m_plan.samples) return S_FALSE;
      REFERENCE_TIME t0 = m_next * 400000LL, t1 = t0 + 400000LL;
      sample->SetTime(&t0, &t1);
      sample->SetActualDataLength(8);
      ++m_next;
      return S_OK;
    }

   private:
    Plan m_plan;
    int m_next = 0;
  };
};


// What the tests arrange and what the builders saw.
struct Script {
  std::map<std::string, Plan> plans;  // by source file
  std::vector<std::string> built;     // sources, in build order
  int buildersMade = 0;
  std::map<std::string, FakeEnd*> ends;  // kept alive by `holders`
  std::vector<CComPtr<IBaseFilter>> holders;
};

class FakeBuilder final : public CJobBuilder {
 public:
  explicit FakeBuilder(Script* script) : m_script(script) {
    ++script->buildersMade;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     reinterpret_cast<void**>(&m_graph));
  }
  void SetFrameRate(int, int) override {}
  void SetOutputSize(int, int) override {}
  void SetSplitSize(int) override {}
  void SetFrameRect(int, int, int, int, int) override {}
  void SetEncoderParams(const std::string&, int, const std::string&, int, int, int) override {}
  void SetImageOutput(int, const std::wstring&, int, int, int) override {}
  HRESULT BuildMpegGraph(const std::string& s, const std::string&, int) override { return Build(s); }
  HRESULT BuildVcdGraph(const std::string& s, const std::string&, int, int, int) override { return Build(s); }
  HRESULT BuildMP4Graph(const std::string& s, const std::string&, int) override { return Build(s); }
  HRESULT BuildAviFlvGraph(const std::string& s, const std::string&, const std::string&) override { return Build(s); }
  HRESULT BuildPicturesGraph(const std::string& s, const std::string&, int, int, int) override { return Build(s); }
  HRESULT BuildAsfGraph(const std::string& s, const std::string&, int) override { return Build(s); }
  IGraphBuilder* Graph() override { return m_graph; }
  // An aborting graph's text is its failing filter's.
  std::string RunErrorText() override { return m_runText; }

 private:
  HRESULT Build(const std::string& source) {
    m_script->built.push_back(source);
    const Plan plan = m_script->plans.count(source) ? m_script->plans[source] : Plan{};
    g_strConvertError = plan.text;
    if (plan.kind == Plan::kAbortOnRun) m_runText = plan.text;
    if (plan.kind == Plan::kBuildFails) return plan.hr;
    if (plan.kind == Plan::kStream) {
      CComPtr<IBaseFilter> src = Hold(new StreamSource(plan));
      CComPtr<IBaseFilter> renderer;
      HRESULT hr = CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    reinterpret_cast<void**>(&renderer));
      if (FAILED(hr)) return hr;
      m_graph->AddFilter(src, L"source");
      m_graph->AddFilter(renderer, L"renderer");
      CComPtr<IPin> out, in;
      src->FindPin(L"Out", &out);
      renderer->FindPin(L"In", &in);
      if (!out || !in) return E_FAIL;
      return m_graph->ConnectDirect(out, in, nullptr);
    }
    auto* end = new FakeEnd(plan);
    m_script->holders.push_back(Hold(end));
    m_script->ends[source] = end;
    return m_graph->AddFilter(end, L"end");
  }

  Script* m_script;
  CComPtr<IGraphBuilder> m_graph;
  std::string m_runText;
};

class TestDlg : public CTambrelDlg {
 public:
  explicit TestDlg(Script* script) : m_script(script) {}

 protected:
  std::unique_ptr<CJobBuilder> CreateJobBuilder() override { return std::make_unique<FakeBuilder>(m_script); }

 private:
  Script* m_script;
};

}  // namespace fakejobs
