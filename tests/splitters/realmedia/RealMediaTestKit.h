// Test kit of the RealMedia tests: a writer of RealMedia files for what
// ffmpeg cannot write, a sink that keeps whole samples, a graph around the
// source filter, and libavformat's packets of the same file as reference.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "foundation/FilterHelpers.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/win32/Registry.h"
#include "splitters/realmedia/RealMediaSplitter.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/ToyFilters.h"
#include "tests/RealCodecKeys.h"

namespace rmkit {

using Bytes = std::vector<BYTE>;

inline void Be(Bytes& b, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; i--) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline void Put(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void Put(Bytes& b, const Bytes& s) { b.insert(b.end(), s.begin(), s.end()); }

// A chunk: id, size (header included), version 0, body.
inline Bytes Chunk(const char* id, const Bytes& body, WORD version = 0) {
  Bytes b;
  Put(b, std::string(id, 4));
  Be(b, body.size() + 10, 4);
  Be(b, version, 2);
  Put(b, body);
  return b;
}

inline Bytes FileHeader() {
  Bytes body;
  Be(body, 0, 4);
  Be(body, 4, 4);
  return Chunk(".RMF", body);
}

inline Bytes Prop(DWORD durationMs, DWORD maxPacket = 4096) {
  Bytes b;
  for (DWORD v : {1000000u, 500000u, maxPacket, 1000u, 10u, durationMs, 0u, 0u, 0u}) Be(b, v, 4);
  Be(b, 2, 2);
  Be(b, 0, 2);
  return Chunk("PROP", b);
}

inline Bytes Mdpr(WORD stream, const std::string& name, const std::string& mime, const Bytes& typeSpec,
                  DWORD durationMs = 1000, DWORD maxPacket = 4096) {
  Bytes b;
  Be(b, stream, 2);
  for (DWORD v : {100000u, 100000u, maxPacket, 1000u, 0u, 0u, durationMs}) Be(b, v, 4);
  Be(b, name.size(), 1);
  Put(b, name);
  Be(b, mime.size(), 1);
  Put(b, mime);
  Be(b, typeSpec.size(), 4);
  Put(b, typeSpec);
  return Chunk("MDPR", b);
}

inline Bytes VideoFormat(const char* codec, WORD w, WORD h, DWORD fps16 = 25 << 16, DWORD subformat = 0,
                         DWORD version = 0x40000000, const Bytes& codecData = {}) {
  Bytes b;
  Be(b, 34 + codecData.size(), 4);
  Put(b, std::string("VIDO"));
  Put(b, std::string(codec, 4));
  Be(b, w, 2);
  Be(b, h, 2);
  Be(b, 12, 2);
  Be(b, 0, 4);
  Be(b, fps16, 4);
  Be(b, subformat, 4);
  Be(b, version, 4);
  Put(b, codecData);
  return b;
}

struct AudioHeader {
  int version = 4;
  const char* codec = "cook";
  WORD flavor = 0;
  DWORD codedFrameSize = 600;
  WORD subPacketH = 4, frameSize = 600, subPacketSize = 300;
  WORD rate = 44100, bits = 16, channels = 2;
  Bytes codecData;
  bool withCodecData = true;
};

inline Bytes AudioFormat(const AudioHeader& a) {
  Bytes b;
  Be(b, 0x2E7261FD, 4);
  Be(b, a.version, 2);
  Be(b, 0, 2);
  Put(b, std::string(".ra4"));
  Be(b, 0, 4);
  Be(b, a.version, 2);
  Be(b, 0, 4);  // header size
  Be(b, a.flavor, 2);
  Be(b, a.codedFrameSize, 4);
  for (int i = 0; i < 12; i++) b.push_back(0);
  Be(b, a.subPacketH, 2);
  Be(b, a.frameSize, 2);
  Be(b, a.subPacketSize, 2);
  if (a.version == 4) {
    Be(b, 0, 2);
    Be(b, a.rate, 2);
    Be(b, 0, 2);
    Be(b, a.bits, 2);
    Be(b, a.channels, 2);
    Be(b, 4, 1);
    Put(b, std::string("Int4"));
    Be(b, 4, 1);
    Put(b, std::string(a.codec, 4));
    for (int i = 0; i < 3; i++) b.push_back(0);
  } else {
    for (int i = 0; i < 8; i++) b.push_back(0);
    Be(b, a.rate, 2);
    Be(b, 0, 2);
    Be(b, a.bits, 2);
    Be(b, a.channels, 2);
    Put(b, std::string("genr"));
    Put(b, std::string(a.codec, 4));
    Be(b, 0, 4);
  }
  if (a.withCodecData) {
    Be(b, a.codecData.size(), 4);
    Put(b, a.codecData);
  }
  return b;
}

inline Bytes MediaPacket(WORD stream, DWORD ms, const Bytes& payload, bool key = true, WORD version = 0) {
  Bytes b;
  Be(b, version, 2);
  Be(b, payload.size() + 12, 2);
  Be(b, stream, 2);
  Be(b, ms, 4);
  b.push_back(0);
  b.push_back(key ? 2 : 0);
  Put(b, payload);
  return b;
}

inline Bytes Data(const std::vector<Bytes>& packets) {
  Bytes b;
  Be(b, packets.size(), 4);
  Be(b, 0, 4);
  for (const Bytes& p : packets) Put(b, p);
  return Chunk("DATA", b);
}

struct IndexEntry {
  DWORD ms, pos, packet;
};
inline Bytes Index(WORD stream, const std::vector<IndexEntry>& entries) {
  Bytes b;
  Be(b, entries.size(), 4);
  Be(b, stream, 2);
  Be(b, 0, 4);
  for (const IndexEntry& e : entries) {
    Be(b, 0, 2);
    Be(b, e.ms, 4);
    Be(b, e.pos, 4);
    Be(b, e.packet, 4);
  }
  return Chunk("INDX", b);
}

// A whole-frame RealVideo sub-packet (type 0x40).
inline Bytes WholeFrame(const Bytes& frame) {
  Bytes b{0x40, 0x00};
  Put(b, frame);
  return b;
}

// A sub-packet of type 0x00, 0x80 or 0xC0 with 14-bit length and offset
// fields (the offset field as stored: for 0x80 the bytes left from the
// end, for 0xC0 a time).
inline Bytes SubPacket(BYTE type, DWORD frameLength, DWORD offsetField, const Bytes& bytes, bool singleSlice = false) {
  Bytes b{static_cast<BYTE>(type | 0x01)};
  if (!(type & 0x40)) b.push_back(0x01);
  Be(b, (singleSlice ? 0xC000 : 0x4000) | frameLength, 2);
  Be(b, 0x4000 | offsetField, 2);
  b.push_back(0);  // sequence
  Put(b, bytes);
  return b;
}

inline std::string WriteTemp(const std::string& name, const Bytes& bytes) {
  const std::string path = std::string(PELLOMAR_BINARY_DIR) + "/rm-test-" + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Samples as received, whole.
struct Sample {
  REFERENCE_TIME start = 0, stop = 0;
  bool timed = false, sync = false, discontinuity = false;
  Bytes data;
};

class KeepSink;
class KeepPin : public CBaseInputPin {
 public:
  KeepPin(KeepSink* sink, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;

 private:
  KeepSink* m_sink;
};

class KeepSink : public CBaseFilter {
 public:
  KeepSink() : CBaseFilter(NAME("keep sink"), nullptr, &m_lock, toy::CLSID_ToySink), m_in(this, &m_lock) {}
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &m_in : nullptr; }
  KeepPin* In() { return &m_in; }
  bool WaitForEnd(int ms = 30000) {
    std::unique_lock<std::mutex> g(mutex);
    return changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return ends > 0; });
  }
  std::vector<Sample> Samples() {
    std::lock_guard<std::mutex> g(mutex);
    return samples;
  }
  CMediaType Type() {
    CMediaType mt;
    m_in.ConnectionMediaType(&mt);
    return mt;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Sample> samples;
  int ends = 0;

 private:
  CCritSec m_lock;
  KeepPin m_in;
};

inline KeepPin::KeepPin(KeepSink* sink, CCritSec* lock)
    : CBaseInputPin(NAME("keep in"), sink, lock, nullptr, L"In"), m_sink(sink) {}

inline STDMETHODIMP KeepPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  Sample s;
  s.timed = sample->GetTime(&s.start, &s.stop) == S_OK;
  s.sync = sample->IsSyncPoint() == S_OK;
  s.discontinuity = sample->IsDiscontinuity() == S_OK;
  BYTE* data = nullptr;
  if (SUCCEEDED(sample->GetPointer(&data)) && data) s.data.assign(data, data + sample->GetActualDataLength());
  std::lock_guard<std::mutex> g(m_sink->mutex);
  m_sink->samples.push_back(std::move(s));
  m_sink->changed.notify_all();
  return S_OK;
}

inline STDMETHODIMP KeepPin::EndOfStream() {
  std::lock_guard<std::mutex> g(m_sink->mutex);
  ++m_sink->ends;
  m_sink->changed.notify_all();
  return S_OK;
}

// Points the player's codec keys at the modules of this build.
inline void UseBuiltCodecs() { PointRealCodecKeys(PELLOMAR_REAL_CODEC_DIR); }

// The source filter on a file; each output goes straight into a sink, or
// through a decoder made by `decoderFor` (null: none) into a sink.
struct Graph {
  CComPtr<IFilterGraph> graph;
  CRealMediaSourceFilter* source = nullptr;
  CComPtr<IBaseFilter> hold;
  std::vector<KeepSink*> sinks;
  std::vector<CComPtr<IBaseFilter>> holds;
  HRESULT loaded = E_FAIL;

  template <class DecoderFor>
  Graph(const std::string& path, DecoderFor decoderFor) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    HRESULT hr = S_OK;
    source = new CRealMediaSourceFilter(nullptr, &hr);
    hold = toy::Hold(source);
    EXPECT_EQ(graph->AddFilter(hold, L"RealMedia Source"), S_OK);
    const std::wstring wide(path.begin(), path.end());
    loaded = CComQIPtr<IFileSourceFilter>(hold)->Load(wide.c_str(), nullptr);
    if (FAILED(loaded)) return;
    for (int i = 0; i < source->GetPinCount(); i++) {
      IPin* out = source->GetPin(i);
      CComPtr<IBaseFilter> decoder = decoderFor(i);
      if (decoder) {
        holds.push_back(decoder);
        graph->AddFilter(decoder, (L"Decoder " + std::to_wstring(i)).c_str());
        IPin* in = GetFirstPinByDirection(decoder, PINDIR_INPUT);
        if (graph->ConnectDirect(out, in, nullptr) != S_OK) {
          sinks.push_back(nullptr);
          continue;
        }
        out = GetFirstPinByDirection(decoder, PINDIR_OUTPUT);
      }
      auto* sink = new KeepSink();
      sinks.push_back(sink);
      holds.push_back(toy::Hold(sink));
      graph->AddFilter(holds.back(), (L"Sink " + std::to_wstring(i)).c_str());
      EXPECT_EQ(graph->ConnectDirect(out, sink->In(), nullptr), S_OK);
    }
  }
  explicit Graph(const std::string& path) : Graph(path, [](int) { return CComPtr<IBaseFilter>(); }) {}
  ~Graph() {
    if (!graph) return;
    CComQIPtr<IMediaControl>(graph)->Stop();
    for (auto& h : holds) graph->RemoveFilter(h);
    graph->RemoveFilter(hold);
  }
  void Run() {
    CComQIPtr<IMediaControl> control(graph);
    ASSERT_EQ(control->Run(), S_OK);
    for (KeepSink* s : sinks) {
      if (s) { EXPECT_TRUE(s->WaitForEnd()); }
    }
    control->Stop();
  }
  std::wstring PinName(int i) { return GetPinName(source->GetPin(i)); }
};

// libavformat's packets of one stream: payload and time in milliseconds.
struct RefPacket {
  Bytes data;
  int64_t ms = 0;
  bool key = false;
};
inline std::vector<RefPacket> ReferencePackets(const std::string& path, int streamIndex) {
  std::vector<RefPacket> out;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == streamIndex) {
      const AVRational tb = fmt->streams[streamIndex]->time_base;
      out.push_back({Bytes(pkt->data, pkt->data + pkt->size), av_rescale_q(pkt->pts, tb, AVRational{1, 1000}),
                     (pkt->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return out;
}

}  // namespace rmkit
