// Test harness for the codec stand-ins: a push source that reads one
// stream of a file with libavformat and sends its compressed packets, a
// sink that keeps every sample it receives, a graph wrapper, and FFmpeg's
// own decode of the same stream as the reference.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "platform/codecs/CodecsRegister.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Registry.h"

inline std::string TestData(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

struct DemuxedStream {
  CMediaType type;
  std::vector<std::vector<BYTE>> packets;
  std::vector<int64_t> times;  // 100 ns, or -1
  std::vector<bool> keys;
};

// Reads the first stream of a kind; `fourcc` overrides the subtype, and
// `mpeg1` builds an MPEG-1 video type.
inline bool ReadStream(const std::string& path, AVMediaType kind, DWORD fourcc, DemuxedStream& out,
                       bool mpeg1 = false, int maxPackets = 100000) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = avformat_find_stream_info(fmt, nullptr) >= 0;
  const int idx = ok ? av_find_best_stream(fmt, kind, -1, -1, nullptr, 0) : -1;
  if (idx < 0) {
    avformat_close_input(&fmt);
    return false;
  }
  const AVStream* st = fmt->streams[idx];
  const AVCodecParameters* cp = st->codecpar;
  const size_t extra = cp->extradata_size > 0 ? static_cast<size_t>(cp->extradata_size) : 0;
  CMediaType& mt = out.type;
  if (kind == AVMEDIA_TYPE_VIDEO) {
    const size_t head = mpeg1 ? offsetof(MPEG1VIDEOINFO, bSequenceHeader) : sizeof(VIDEOINFOHEADER);
    BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(head + extra));
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(block);
    vih->AvgTimePerFrame = st->avg_frame_rate.num > 0 ? av_rescale(10000000, st->avg_frame_rate.den, st->avg_frame_rate.num) : 400000;
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER) + (mpeg1 ? 0 : static_cast<DWORD>(extra));
    vih->bmiHeader.biWidth = cp->width;
    vih->bmiHeader.biHeight = cp->height;
    vih->bmiHeader.biPlanes = 1;
    vih->bmiHeader.biBitCount = 24;
    vih->bmiHeader.biCompression = fourcc;
    if (extra) std::memcpy(block + head, cp->extradata, extra);
    if (mpeg1) reinterpret_cast<MPEG1VIDEOINFO*>(block)->cbSequenceHeader = static_cast<DWORD>(extra);
    mt.SetType(&MEDIATYPE_Video);
    const GUID sub = mpeg1 ? MEDIASUBTYPE_MPEG1Payload : FourCCGuid(fourcc);
    mt.SetSubtype(&sub);
    mt.SetFormatType(mpeg1 ? &FORMAT_MPEGVideo : &FORMAT_VideoInfo);
  } else {
    BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + extra));
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(block);
    wfx->wFormatTag = static_cast<WORD>(cp->codec_tag);
    wfx->nChannels = static_cast<WORD>(cp->ch_layout.nb_channels);
    wfx->nSamplesPerSec = static_cast<DWORD>(cp->sample_rate);
    wfx->nAvgBytesPerSec = static_cast<DWORD>(cp->bit_rate / 8);
    wfx->nBlockAlign = static_cast<WORD>(cp->block_align);
    wfx->wBitsPerSample = static_cast<WORD>(cp->bits_per_coded_sample);
    wfx->cbSize = static_cast<WORD>(extra);
    if (extra) std::memcpy(block + sizeof(WAVEFORMATEX), cp->extradata, extra);
    mt.SetType(&MEDIATYPE_Audio);
    const GUID sub = FourCCGuid(fourcc ? fourcc : cp->codec_tag);
    mt.SetSubtype(&sub);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
  }
  AVPacket* p = av_packet_alloc();
  while (static_cast<int>(out.packets.size()) < maxPackets && av_read_frame(fmt, p) >= 0) {
    if (p->stream_index == idx) {
      out.packets.emplace_back(p->data, p->data + p->size);
      const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
      out.times.push_back(ts == AV_NOPTS_VALUE ? -1 : av_rescale_q(ts, st->time_base, AVRational{1, 10000000}));
      out.keys.push_back((p->flags & AV_PKT_FLAG_KEY) != 0);
    }
    av_packet_unref(p);
  }
  av_packet_free(&p);
  avformat_close_input(&fmt);
  return !out.packets.empty();
}

// Sends the packets of a DemuxedStream from pin "Out".
class CPacketSource : public CSource {
 public:
  static CComPtr<IBaseFilter> Create(const DemuxedStream& s) {
    CComPtr<IBaseFilter> f;
    auto* src = new CPacketSource(s);
    src->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&f));
    return f;
  }

 private:
  class Stream : public CSourceStream {
   public:
    Stream(HRESULT* phr, CSource* f, const DemuxedStream& s) : CSourceStream("packets", phr, f, L"Out"), m_s(s) {}
    HRESULT GetMediaType(CMediaType* pmt) override {
      *pmt = m_s.type;
      return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES*) override {
      size_t biggest = 1;
      for (const auto& p : m_s.packets) biggest = std::max(biggest, p.size());
      ALLOCATOR_PROPERTIES want{4, static_cast<LONG>(biggest), 1, 0}, got{};
      return a->SetProperties(&want, &got);
    }
    HRESULT OnThreadStartPlay() override {
      m_next = 0;
      return S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
      if (m_next >= m_s.packets.size()) return S_FALSE;
      BYTE* p = nullptr;
      sample->GetPointer(&p);
      const auto& pk = m_s.packets[m_next];
      std::memcpy(p, pk.data(), pk.size());
      sample->SetActualDataLength(static_cast<long>(pk.size()));
      if (m_s.times[m_next] >= 0) {
        REFERENCE_TIME t = m_s.times[m_next], e = t + 1;
        sample->SetTime(&t, &e);
      }
      sample->SetSyncPoint(m_s.keys[m_next]);
      ++m_next;
      return S_OK;
    }

   private:
    DemuxedStream m_s;
    size_t m_next = 0;
  };

  explicit CPacketSource(const DemuxedStream& s) : CSource("packet source", nullptr, GUID_NULL) {
    HRESULT hr = S_OK;
    new Stream(&hr, this, s);  // owned by the filter's pin list
  }
};

// Keeps the samples it gets on pin "In"; accepts the given major type and
// (when not null) subtype. Ends with EC_COMPLETE.
class CCollectSink : public CBaseFilter {
 public:
  static CCollectSink* Create(const GUID& major, const GUID& subtype, CComPtr<IBaseFilter>& holder) {
    auto* s = new CCollectSink(major, subtype);
    s->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&holder));
    return s;
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

  std::mutex lock;
  std::vector<std::vector<BYTE>> samples;
  std::vector<REFERENCE_TIME> starts;
  CMediaType Type() { return m_pin.CurrentMediaType(); }

 private:
  class Pin : public CBaseInputPin {
   public:
    Pin(CCollectSink* f, HRESULT* phr) : CBaseInputPin("sink pin", f, &f->m_filterLock, phr, L"In"), m_sink(f) {}
    HRESULT CheckMediaType(const CMediaType* mt) override {
      if (mt->majortype != m_sink->m_major) return S_FALSE;
      if (m_sink->m_subtype != GUID_NULL && mt->subtype != m_sink->m_subtype) return S_FALSE;
      return S_OK;
    }
    STDMETHODIMP Receive(IMediaSample* s) override {
      HRESULT hr = CBaseInputPin::Receive(s);
      if (hr != S_OK) return hr;
      BYTE* p = nullptr;
      s->GetPointer(&p);
      REFERENCE_TIME t = -1, e = -1;
      s->GetTime(&t, &e);
      std::lock_guard g(m_sink->lock);
      m_sink->samples.emplace_back(p, p + s->GetActualDataLength());
      m_sink->starts.push_back(t);
      return S_OK;
    }
    STDMETHODIMP EndOfStream() override {
      m_sink->NotifyEvent(EC_COMPLETE, S_OK, 0);
      return S_OK;
    }

   private:
    CCollectSink* m_sink;
  };

  CCollectSink(const GUID& major, const GUID& subtype)
      : CBaseFilter("collect sink", nullptr, &m_filterLock, GUID_NULL), m_major(major), m_subtype(subtype),
        m_pin(this, &m_hr) {}

  CCritSec m_filterLock;
  GUID m_major, m_subtype;
  HRESULT m_hr = S_OK;
  Pin m_pin;
};

// A registry of its own for each test, with the platform and the codecs
// registered.
class CodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("PELLOMAR_REGISTRY_DIR");
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(base ? base : "/tmp/pellomar-codecs-test") /
           (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    if (base) saved_ = base;
    setenv("PELLOMAR_REGISTRY_DIR", dir_.c_str(), 1);
    RegistryReloadForTest();
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CodecsRegisterPlatform(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    control = CComQIPtr<IMediaControl>(graph);
    events = CComQIPtr<IMediaEventEx>(graph);
  }
  void TearDown() override {
    if (control) control->Stop();
    control.Release();
    events.Release();
    graph.Release();
    if (!saved_.empty()) setenv("PELLOMAR_REGISTRY_DIR", saved_.c_str(), 1);
    RegistryReloadForTest();
  }

  static IPin* PinOf(IBaseFilter* f, int dir) {
    CComPtr<IEnumPins> e;
    f->EnumPins(&e);
    IPin* p = nullptr;
    while (e->Next(1, &p, nullptr) == S_OK) {
      PIN_DIRECTION d;
      p->QueryDirection(&d);
      p->Release();  // the filter keeps its pins
      if (static_cast<int>(d) == dir) return p;
    }
    return nullptr;
  }

  CComPtr<IBaseFilter> Create(const CLSID& clsid) {
    CComPtr<IBaseFilter> f;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&f));
    return f;
  }

  // Source -> filter -> sink, run to the end. Returns the connect result.
  HRESULT RunChain(IBaseFilter* source, IBaseFilter* filter, IBaseFilter* sink) {
    graph->AddFilter(source, L"Source");
    graph->AddFilter(filter, L"Filter");
    graph->AddFilter(sink, L"Sink");
    HRESULT hr = graph->ConnectDirect(PinOf(source, PINDIR_OUTPUT), PinOf(filter, PINDIR_INPUT), nullptr);
    if (FAILED(hr)) return hr;
    hr = graph->ConnectDirect(PinOf(filter, PINDIR_OUTPUT), PinOf(sink, PINDIR_INPUT), nullptr);
    if (FAILED(hr)) return hr;
    hr = control->Run();
    if (FAILED(hr)) return hr;
    return WaitForEnd();
  }

  HRESULT WaitForEnd() {
    for (;;) {
      long code = 0;
      LONG_PTR p1 = 0, p2 = 0;
      if (events->GetEvent(&code, &p1, &p2, 120000) != S_OK) return E_ABORT;
      events->FreeEventParams(code, p1, p2);
      if (code == EC_COMPLETE) return S_OK;
      if (code == EC_ERRORABORT) return static_cast<HRESULT>(p1);
    }
  }

  CComPtr<IGraphBuilder> graph;
  CComQIPtr<IMediaControl> control;
  CComQIPtr<IMediaEventEx> events;
  std::filesystem::path dir_;
  std::string saved_;
};

// FFmpeg's own decode of a file's first video stream, as YUV 4:2:0 frames
// (planes packed one after the other).
inline std::vector<std::vector<BYTE>> ReferenceDecode(const std::string& path, int& width, int& height) {
  std::vector<std::vector<BYTE>> frames;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return frames;
  avformat_find_stream_info(fmt, nullptr);
  const AVCodec* codec = nullptr;
  const int idx = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, fmt->streams[idx]->codecpar);
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVPacket* p = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  SwsContext* sws = nullptr;
  auto take = [&]() {
    while (avcodec_receive_frame(ctx, f) == 0) {
      width = f->width;
      height = f->height;
      std::vector<BYTE> buf(static_cast<size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1)));
      uint8_t* d[4];
      int l[4];
      av_image_fill_arrays(d, l, buf.data(), AV_PIX_FMT_YUV420P, width, height, 1);
      sws = sws_getCachedContext(sws, width, height, static_cast<AVPixelFormat>(f->format), width, height,
                                 AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
      sws_scale(sws, f->data, f->linesize, 0, height, d, l);
      frames.push_back(std::move(buf));
      av_frame_unref(f);
    }
  };
  while (av_read_frame(fmt, p) >= 0) {
    if (p->stream_index == idx) {
      avcodec_send_packet(ctx, p);
      take();
    }
    av_packet_unref(p);
  }
  avcodec_send_packet(ctx, nullptr);
  take();
  sws_freeContext(sws);
  av_frame_free(&f);
  av_packet_free(&p);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return frames;
}

// YV12 (Y, V, U) to the I420 order of the reference.
inline std::vector<BYTE> Yv12ToI420(const std::vector<BYTE>& yv12, int w, int h) {
  std::vector<BYTE> out(yv12.size());
  const size_t y = static_cast<size_t>(w) * h, c = static_cast<size_t>(w / 2) * (h / 2);
  if (yv12.size() < y + 2 * c) return {};
  std::memcpy(out.data(), yv12.data(), y);
  std::memcpy(out.data() + y, yv12.data() + y + c, c);
  std::memcpy(out.data() + y + c, yv12.data() + y, c);
  return out;
}

inline double Psnr(const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 100;
  return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}
