#include "foundation/BaseVideoFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/com/ComPtr.h"

namespace {

constexpr GUID kClsidTestDecoder = {0x3A1C7E52, 0x0B44, 0x4D0E, {0x9F, 0x11, 0x52, 0x6B, 0x0C, 0x21, 0x7E, 0x90}};
constexpr GUID kClsidTestSource = {0x3A1C7E53, 0x0B44, 0x4D0E, {0x9F, 0x11, 0x52, 0x6B, 0x0C, 0x21, 0x7E, 0x90}};

CMediaType I420Type(int w, int h) {
  CMediaType mt;
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = MEDIASUBTYPE_I420;
  mt.formattype = FORMAT_VideoInfo;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  vih->AvgTimePerFrame = 400000;
  vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih->bmiHeader.biWidth = w;
  vih->bmiHeader.biHeight = h;
  vih->bmiHeader.biBitCount = 12;
  vih->bmiHeader.biSizeImage = w * h * 3 / 2;
  mt.SetSampleSize(w * h * 3 / 2);
  return mt;
}

// I420 picture: top half black, bottom half white, flat chroma planes.
std::vector<BYTE> Picture(int w, int h, BYTE u = 128, BYTE v = 128) {
  std::vector<BYTE> p(w * h * 3 / 2, u);
  memset(&p[w * h + w * h / 4], v, w * h / 4);
  for (int y = 0; y < h; y++) memset(&p[y * w], y < h / 2 ? 16 : 235, w);
  return p;
}

// Events sent by the filters, through a graph that holds nothing else.
class EventGraph final : public IFilterGraph, public IMediaEventSink {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IMediaEventSink) *ppv = static_cast<IMediaEventSink*>(this);
    else if (riid == IID_IUnknown || riid == IID_IFilterGraph) *ppv = static_cast<IFilterGraph*>(this);
    else return E_NOINTERFACE;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
  STDMETHODIMP Notify(LONG code, LONG_PTR p1, LONG_PTR) override {
    events.push_back({code, p1});
    return S_OK;
  }
  std::vector<std::pair<LONG, LONG_PTR>> events;
};

class TestDecoder : public CBaseVideoFilter {
 public:
  TestDecoder(HRESULT* phr) : CBaseVideoFilter(NAME("TestDecoder"), nullptr, phr, kClsidTestDecoder) {}
  // Input pictures are I420 of the input size unless the next size is set.
  HRESULT Transform(IMediaSample* in) override {
    BYTE* src = nullptr;
    in->GetPointer(&src);
    int w = nextW ? nextW : m_w, h = nextH ? nextH : m_h;
    IMediaSample* out = nullptr;
    HRESULT hr = GetDeliveryBuffer(w, h, &out);
    if (FAILED(hr)) return hr;
    BYTE* dst = nullptr;
    out->GetPointer(&dst);
    hr = CopyContiguousBuffer(dst, src, w, h, w, m_pOutput->CurrentMediaType().subtype);
    out->SetActualDataLength(out->GetSize());
    if (SUCCEEDED(hr)) hr = m_pOutput->Deliver(out);
    out->Release();
    return hr;
  }
  int nextW = 0, nextH = 0;
};

class SourcePin : public CBaseOutputPin {
 public:
  SourcePin(CBaseFilter* f, CCritSec* lock, HRESULT* phr, CMediaType mt)
      : CBaseOutputPin(NAME("SourcePin"), f, lock, phr, L"Out"), m_type(mt) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override { return *pmt == m_type ? S_OK : E_FAIL; }
  HRESULT GetMediaType(int pos, CMediaType* pmt) override {
    if (pos != 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = m_type;
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override {
    p->cBuffers = 1;
    p->cbBuffer = 1 << 20;
    ALLOCATOR_PROPERTIES actual;
    return a->SetProperties(p, &actual);
  }
  HRESULT Push(const std::vector<BYTE>& bytes) {
    IMediaSample* s = nullptr;
    HRESULT hr = GetDeliveryBuffer(&s, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    memcpy(p, bytes.data(), bytes.size());
    s->SetActualDataLength(static_cast<LONG>(bytes.size()));
    hr = Deliver(s);
    s->Release();
    return hr;
  }
  CMediaType m_type;
};

class Source : public CBaseFilter {
 public:
  Source(CMediaType mt) : CBaseFilter(NAME("Source"), nullptr, &m_lock, kClsidTestSource) {
    HRESULT hr = S_OK;
    pin = std::make_unique<SourcePin>(this, &m_lock, &hr, mt);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin.get() : nullptr; }
  CCritSec m_lock;
  std::unique_ptr<SourcePin> pin;
};

class SinkPin : public CBaseInputPin {
 public:
  SinkPin(CBaseFilter* f, CCritSec* lock, HRESULT* phr, GUID subtype)
      : CBaseInputPin(NAME("SinkPin"), f, lock, phr, L"In"), wanted(subtype) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    if (pmt->majortype != MEDIATYPE_Video || pmt->subtype != wanted || pmt->formattype != FORMAT_VideoInfo2)
      return E_FAIL;
    auto* vih = reinterpret_cast<const VIDEOINFOHEADER2*>(pmt->pbFormat);
    return vih->bmiHeader.biWidth <= maxWidth ? S_OK : E_FAIL;
  }
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override {
    if (!IsConnected()) return CBaseInputPin::ReceiveConnection(connector, pmt);
    reconnections++;
    CMediaType mt(*pmt);
    return SetMediaType(&mt);
  }
  STDMETHODIMP Receive(IMediaSample* s) override {
    HRESULT hr = CBaseInputPin::Receive(s);
    if (hr != S_OK) return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    last.assign(p, p + s->GetActualDataLength());
    auto* vih = reinterpret_cast<const VIDEOINFOHEADER2*>(m_mt.pbFormat);
    lastWidth = vih->bmiHeader.biWidth;
    lastHeight = vih->bmiHeader.biHeight;
    received++;
    return S_OK;
  }
  GUID wanted;
  int maxWidth = 4096;
  std::vector<BYTE> last;
  int received = 0, reconnections = 0, lastWidth = 0, lastHeight = 0;
};

class Sink : public CBaseFilter {
 public:
  Sink(GUID subtype) : CBaseFilter(NAME("Sink"), nullptr, &m_lock, GUID_NULL) {
    HRESULT hr = S_OK;
    pin = std::make_unique<SinkPin>(this, &m_lock, &hr, subtype);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin.get() : nullptr; }
  CCritSec m_lock;
  std::unique_ptr<SinkPin> pin;
};

struct Chain {
  explicit Chain(GUID subtype, int w = 64, int h = 48) : source(I420Type(w, h)), sink(subtype) {
    HRESULT hr = S_OK;
    decoder = new TestDecoder(&hr);  // the count starts at 0: the pointer holds the first reference
    decoder->JoinFilterGraph(&graph, L"decoder");
    source.NonDelegatingAddRef();
    sink.NonDelegatingAddRef();
  }
  ~Chain() {
    sink.Stop();
    decoder->Stop();
    source.Stop();
    if (source.pin->IsConnected()) {
      source.pin->Disconnect();
      decoder->GetPin(0)->Disconnect();
    }
    if (sink.pin->IsConnected()) {
      sink.pin->Disconnect();
      decoder->GetPin(1)->Disconnect();
    }
  }
  HRESULT Connect() {
    HRESULT hr = source.pin->Connect(decoder->GetPin(0), nullptr);
    if (FAILED(hr)) return hr;
    return decoder->GetPin(1)->Connect(sink.pin.get(), nullptr);
  }
  void Pause() {
    sink.Pause();
    decoder->Pause();
    source.Pause();
  }
  EventGraph graph;
  Source source;
  Sink sink;
  CComPtr<TestDecoder> decoder;
};

TEST(BaseVideoFilter, OutputTypeList) {
  Chain c(MEDIASUBTYPE_I420);
  CMediaType mt;
  EXPECT_EQ(c.decoder->GetMediaType(0, &mt), E_UNEXPECTED);  // input not connected
  ASSERT_EQ(c.source.pin->Connect(c.decoder->GetPin(0), nullptr), S_OK);
  ASSERT_EQ(c.decoder->GetMediaType(1, &mt), S_OK);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_YV12);
  EXPECT_EQ(mt.formattype, FORMAT_VideoInfo);
  ASSERT_EQ(c.decoder->GetMediaType(0, &mt), S_OK);
  EXPECT_EQ(mt.formattype, FORMAT_VideoInfo2);
  auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat);
  EXPECT_EQ(vih2->AvgTimePerFrame, 400000);
  EXPECT_EQ(vih2->bmiHeader.biSizeImage, 64u * 48 * 3 / 2);
  ASSERT_EQ(c.decoder->GetMediaType(27, &mt), S_OK);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_RGB555);
  EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader.biCompression, BI_BITFIELDS);
  EXPECT_EQ(c.decoder->GetMediaType(28, &mt), VFW_S_NO_MORE_ITEMS);
  EXPECT_EQ(c.decoder->GetMediaType(-1, &mt), E_INVALIDARG);
  // RGB555 is offered but refused.
  EXPECT_NE(c.decoder->GetPin(1)->QueryAccept(&mt), S_OK);
}

class OutputSubtype : public ::testing::TestWithParam<GUID> {};

TEST_P(OutputSubtype, PictureArrivesInTheNegotiatedLayout) {
  const GUID subtype = GetParam();
  Chain c(subtype);
  ASSERT_EQ(c.Connect(), S_OK);
  EXPECT_EQ(c.sink.pin->CurrentMediaType().subtype, subtype);
  c.Pause();
  bool rgb = subtype == MEDIASUBTYPE_RGB32 || subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB565;
  auto pic = rgb ? Picture(64, 48) : Picture(64, 48, 100, 150);
  ASSERT_EQ(c.source.pin->Push(pic), S_OK);
  ASSERT_EQ(c.sink.pin->received, 1);
  const auto& out = c.sink.pin->last;
  if (subtype == MEDIASUBTYPE_I420 || subtype == MEDIASUBTYPE_IYUV) {
    EXPECT_EQ(out, pic);
  } else if (subtype == MEDIASUBTYPE_YV12) {
    // Y, then V, then U.
    std::vector<BYTE> yv12 = Picture(64, 48, 150, 100);
    EXPECT_EQ(out, yv12);
  } else if (subtype == MEDIASUBTYPE_YUY2) {
    ASSERT_EQ(out.size(), 64u * 48 * 2);
    for (int y = 0; y < 48; y += 47) {
      EXPECT_EQ(out[y * 128], pic[y * 64]);
      EXPECT_EQ(out[y * 128 + 1], 100);
      EXPECT_EQ(out[y * 128 + 3], 150);
    }
  } else {
    // RGB is bottom-up: the first row in memory is the picture's last
    // (white) row, the last one its first (black) row.
    int bpp = subtype == MEDIASUBTYPE_RGB24 ? 3 : subtype == MEDIASUBTYPE_RGB565 ? 2 : 4;
    ASSERT_EQ(out.size(), static_cast<size_t>(64 * 48 * bpp));
    EXPECT_GE(out[0], 0xF0);
    EXPECT_LE(out[out.size() - bpp] & 0x1F, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(BaseVideoFilter, OutputSubtype,
                         ::testing::Values(MEDIASUBTYPE_YV12, MEDIASUBTYPE_I420, MEDIASUBTYPE_IYUV, MEDIASUBTYPE_YUY2,
                                           MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB565));

TEST(BaseVideoFilter, SizeChangeRenegotiatesAndAnnounces) {
  Chain c(MEDIASUBTYPE_I420);
  ASSERT_EQ(c.Connect(), S_OK);
  c.Pause();
  ASSERT_EQ(c.source.pin->Push(Picture(64, 48)), S_OK);
  EXPECT_EQ(c.sink.pin->reconnections, 0);  // same size: nothing renegotiated
  c.decoder->nextW = 96;
  c.decoder->nextH = 64;
  auto big = Picture(96, 64);
  ASSERT_EQ(c.source.pin->Push(big), S_OK);
  EXPECT_EQ(c.sink.pin->reconnections, 1);
  EXPECT_EQ(c.sink.pin->lastWidth, 96);
  EXPECT_EQ(c.sink.pin->lastHeight, 64);
  EXPECT_EQ(c.sink.pin->last, big);  // the grown buffers hold the whole picture
  bool announced = false;
  for (auto [code, p1] : c.graph.events) announced |= code == EC_VIDEO_SIZE_CHANGED && p1 == (96 | (64 << 16));
  EXPECT_TRUE(announced);
  ASSERT_EQ(c.source.pin->Push(big), S_OK);
  EXPECT_EQ(c.sink.pin->reconnections, 1);  // the same size again: no renegotiation
}

TEST(BaseVideoFilter, SizeChangeDownstreamRefusesEndsWithAReportedError) {
  Chain c(MEDIASUBTYPE_I420);
  ASSERT_EQ(c.Connect(), S_OK);
  c.sink.pin->maxWidth = 64;
  c.Pause();
  ASSERT_EQ(c.source.pin->Push(Picture(64, 48)), S_OK);
  c.decoder->nextW = 96;
  c.decoder->nextH = 64;
  EXPECT_TRUE(FAILED(c.source.pin->Push(Picture(96, 64))));
  EXPECT_EQ(c.sink.pin->received, 1);
  EXPECT_EQ(c.decoder->OutputWidth(), 64);  // the old size stays in force
  bool aborted = false;
  for (auto [code, p1] : c.graph.events) aborted |= code == EC_ERRORABORT && p1 == VFW_E_CHANGING_FORMAT;
  EXPECT_TRUE(aborted);
}

}  // namespace
