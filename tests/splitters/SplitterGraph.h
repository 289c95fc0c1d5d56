// Test harness shared by the splitter suites: a source-form splitter on a
// file in a filter graph with a recording sink on every output, and
// libavformat's packets of the same file as the independent reference.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "foundation/DSMPropertyBag.h"
#include "foundation/FilterHelpers.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/foundation/ToyFilters.h"

namespace splittertest {

// One packet as libavformat reads it; times in 100 ns (LLONG_MIN: none).
struct RefPacket {
  int stream = 0;
  long long pts = LLONG_MIN;
  long long duration = 0;
  bool key = false;
  int size = 0;
  uint64_t hash = 0;
  std::vector<BYTE> data;  // kept only when asked
};

struct RefFile {
  bool opened = false;
  long long duration = LLONG_MIN;  // of the container, 100 ns
  std::vector<std::string> codecs;  // per stream
  std::vector<RefPacket> packets;

  std::vector<RefPacket> Stream(int index) const {
    std::vector<RefPacket> out;
    for (const RefPacket& p : packets)
      if (p.stream == index) out.push_back(p);
    return out;
  }
};

inline RefFile ReadWithLavf(const std::string& path, bool keepData = false) {
  RefFile ref;
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return ref;
  if (avformat_find_stream_info(ctx, nullptr) < 0) {
    avformat_close_input(&ctx);
    return ref;
  }
  ref.opened = true;
  if (ctx->duration != AV_NOPTS_VALUE) ref.duration = av_rescale(ctx->duration, 10000000, AV_TIME_BASE);
  for (unsigned i = 0; i < ctx->nb_streams; i++)
    ref.codecs.push_back(avcodec_get_name(ctx->streams[i]->codecpar->codec_id));
  AVPacket* pkt = av_packet_alloc();
  const AVRational hns = {1, 10000000};
  while (av_read_frame(ctx, pkt) >= 0) {
    const AVStream* st = ctx->streams[pkt->stream_index];
    RefPacket r;
    r.stream = pkt->stream_index;
    if (pkt->pts != AV_NOPTS_VALUE) r.pts = av_rescale_q(pkt->pts, st->time_base, hns);
    r.duration = av_rescale_q(pkt->duration, st->time_base, hns);
    r.key = pkt->flags & AV_PKT_FLAG_KEY;
    r.size = pkt->size;
    r.hash = toy::PayloadHash(pkt->data, static_cast<size_t>(pkt->size));
    if (keepData) r.data.assign(pkt->data, pkt->data + pkt->size);
    ref.packets.push_back(std::move(r));
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&ctx);
  return ref;
}

inline std::string TempPath(const std::string& name) { return testing::TempDir() + name; }

inline void WriteFile(const std::string& path, const std::vector<BYTE>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// Writes the bytes into the test's temporary folder; gives the path.
inline std::string WriteTemp(const std::string& name, const std::vector<BYTE>& bytes) {
  const std::string path = TempPath(name);
  WriteFile(path, bytes);
  return path;
}

// A source-form splitter on a file with a sink on every output pin that
// has a type to offer.
template <class Source>
struct SourceGraph {
  CComPtr<IFilterGraph> graph;
  Source* filter = nullptr;
  CComPtr<IBaseFilter> hold;
  std::vector<toy::Sink*> sinks;  // one per output pin, in pin order (null when unconnected)
  std::vector<CComPtr<IBaseFilter>> sinkHolds;
  HRESULT loaded = E_FAIL;

  explicit SourceGraph(const std::string& path) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    HRESULT hr = S_OK;
    filter = new Source(nullptr, &hr);
    hold = toy::Hold(filter);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(graph->AddFilter(hold, L"Source"), S_OK);
    std::wstring wide(path.begin(), path.end());
    CComQIPtr<IFileSourceFilter> fs(hold);
    EXPECT_TRUE(fs);
    loaded = fs->Load(wide.c_str(), nullptr);
    if (FAILED(loaded)) return;
    for (int i = 0; i < OutputCount(); i++) {
      auto* sink = new toy::Sink();
      sinkHolds.push_back(toy::Hold(sink));
      EXPECT_EQ(graph->AddFilter(sinkHolds.back(), (L"Sink " + std::to_wstring(i)).c_str()), S_OK);
      const bool connected = SUCCEEDED(graph->ConnectDirect(filter->GetPin(i), sink->In(), nullptr));
      sinks.push_back(connected ? sink : nullptr);
    }
  }
  ~SourceGraph() {
    if (graph) {
      CComQIPtr<IMediaControl>(graph)->Stop();
      for (auto& s : sinkHolds) graph->RemoveFilter(s);
      graph->RemoveFilter(hold);
    }
  }
  SourceGraph(const SourceGraph&) = delete;
  SourceGraph& operator=(const SourceGraph&) = delete;

  // The output pins (the source form has no input pin).
  int OutputCount() { return filter->GetPinCount(); }

  // Runs to the end of every connected stream.
  void RunToEnd() {
    CComQIPtr<IMediaControl> control(graph);
    ASSERT_EQ(control->Run(), S_OK);
    for (auto* s : sinks) {
      if (s) {
        EXPECT_TRUE(s->WaitFor(0, true));
      }
    }
    control->Stop();
  }
  // Seeks while stopped, then runs to the end; the sinks keep only what
  // the run delivered.
  void RunFrom(REFERENCE_TIME t) {
    for (auto* s : sinks) {
      if (s) s->Clear();
    }
    CComQIPtr<IMediaSeeking> seeking(hold);
    LONGLONG pos = t;
    ASSERT_EQ(seeking->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    RunToEnd();
  }
  std::vector<toy::Received> Samples(int pin) { return sinks.at(static_cast<size_t>(pin))->Samples(); }
  std::wstring PinName(int i) { return GetPinName(filter->GetPin(i)); }
  // The pin's preferred type (position 0); GUID_NULL types when it offers
  // none.
  CMediaType PinType(int i) {
    CMediaType mt;
    CComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* got = nullptr;
    if (SUCCEEDED(filter->GetPin(i)->EnumMediaTypes(&types)) && types->Next(1, &got, nullptr) == S_OK) {
      mt = *got;
      DeleteMediaType(got);
    }
    return mt;
  }
  std::wstring Property(const wchar_t* key) { return PropertyOf(hold, key); }
  std::wstring PinProperty(int i, const wchar_t* key) { return PropertyOf(static_cast<IPin*>(filter->GetPin(i)), key); }
  LONGLONG Duration() {
    CComQIPtr<IMediaSeeking> seeking(hold);
    LONGLONG d = -1;
    EXPECT_EQ(seeking->GetDuration(&d), S_OK);
    return d;
  }

  static std::wstring PropertyOf(IUnknown* object, const wchar_t* key) {
    CComQIPtr<IDSMPropertyBag> bag(object);
    BSTR value = nullptr;
    if (!bag || FAILED(bag->GetProperty(key, &value)) || !value) return L"";
    std::wstring out(value);
    SysFreeString(value);
    return out;
  }
};

// Writes each input into a file and opens it: every open either fails
// cleanly or delivers to its end. Damage of every class ends cleanly.
template <class Source>
void OpenAndRunEach(const std::vector<std::vector<BYTE>>& inputs, const std::string& name) {
  const std::string path = TempPath(name);
  for (size_t i = 0; i < inputs.size(); i++) {
    SCOPED_TRACE("input " + std::to_string(i));
    WriteFile(path, inputs[i]);
    SourceGraph<Source> g(path);
    if (FAILED(g.loaded)) continue;
    g.RunToEnd();
  }
  remove(path.c_str());
}

}  // namespace splittertest
