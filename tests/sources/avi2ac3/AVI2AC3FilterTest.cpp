// The AVI<->AC3/DTS converter in a graph: samples pushed in of one type,
// what comes out of another.
#include <gtest/gtest.h>

#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/FourCCMap.h"
#include "sources/avi2ac3/AVI2AC3Filter.h"
#include "sources/dtsac3/DTSAC3Source.h"
#include "tests/foundation/ToyFilters.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

PELLOMAR_DEFINE_GUID(CLSID_PushFilter, "0F1E2D3C-0005-4000-8000-00000000A005");

// One output pin of one type, with buffers large enough for any test sample.
class PushFilter : public CBaseFilter {
 public:
  explicit PushFilter(const CMediaType& mt) : CBaseFilter(NAME("push"), nullptr, &m_lock, CLSID_PushFilter) {
    m_pin = std::make_unique<Pin>(this, &m_lock, mt);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }
  HRESULT Push(const Bytes& data, REFERENCE_TIME start, REFERENCE_TIME stop) {
    IMediaSample* s = nullptr;
    HRESULT hr = m_pin->GetDeliveryBuffer(&s, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    std::copy(data.begin(), data.end(), p);
    s->SetActualDataLength(LONG(data.size()));
    s->SetTime(&start, &stop);
    s->SetDiscontinuity(TRUE);
    hr = m_pin->Deliver(s);
    s->Release();
    return hr;
  }

 private:
  struct Pin : CBaseOutputPin {
    Pin(CBaseFilter* f, CCritSec* lock, const CMediaType& mt)
        : CBaseOutputPin(NAME("push out"), f, lock, nullptr, L"Out"), type(mt) {}
    HRESULT CheckMediaType(const CMediaType* pmt) override { return *pmt == type ? S_OK : E_FAIL; }
    HRESULT GetMediaType(int i, CMediaType* pmt) override {
      if (i != 0) return VFW_S_NO_MORE_ITEMS;
      *pmt = type;
      return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override {
      req->cBuffers = 1;
      req->cbBuffer = 1 << 17;
      ALLOCATOR_PROPERTIES actual{};
      return alloc->SetProperties(req, &actual);
    }
    CMediaType type;
  };
  CCritSec m_lock;
  std::unique_ptr<Pin> m_pin;
};

CMediaType WaveType(WORD tag) {
  CMediaType mt(&MEDIATYPE_Audio);
  const GUID sub = FourCCGuid(tag);
  mt.SetSubtype(&sub);
  mt.SetFormatType(&FORMAT_WaveFormatEx);
  WAVEFORMATEX wfx{tag, 2, 44100, 24000, 1, 0, 0};
  mt.SetFormat(reinterpret_cast<BYTE*>(&wfx), sizeof(wfx));
  return mt;
}

CMediaType StreamType(const GUID& major, const GUID& subtype) {
  CMediaType mt = WaveType(1);
  mt.SetType(&major);
  mt.SetSubtype(&subtype);
  return mt;
}

// Converter between a push source of type `in` and a sink, its output of
// the converter's type at `outPosition`.
struct Chain {
  CComPtr<IFilterGraph> graph;
  PushFilter* push;
  CAVI2AC3Filter* filter;
  toy::Sink* sink;
  CComPtr<IBaseFilter> holds[3];
  std::vector<CMediaType> offered;

  Chain(const CMediaType& in, int outPosition) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, reinterpret_cast<void**>(&graph));
    HRESULT hr = E_FAIL;
    push = new PushFilter(in);
    filter = new CAVI2AC3Filter(nullptr, &hr);
    sink = new toy::Sink();
    holds[0] = toy::Hold(push), holds[1] = toy::Hold(filter), holds[2] = toy::Hold(sink);
    for (auto& h : holds) graph->AddFilter(h, nullptr);
    EXPECT_EQ(graph->ConnectDirect(push->GetPin(0), filter->GetPin(0), &in), S_OK);
    CMediaType mt;
    for (int i = 0; filter->GetPin(1)->GetMediaType(i, &mt) == S_OK; i++) offered.push_back(mt);
    EXPECT_EQ(graph->ConnectDirect(filter->GetPin(1), sink->In(), &offered.at(size_t(outPosition))), S_OK);
    EXPECT_EQ(CComQIPtr<IMediaControl>(graph)->Run(), S_OK);
  }
  ~Chain() {
    CComQIPtr<IMediaControl>(graph)->Stop();
    for (auto& h : holds) graph->RemoveFilter(h);
  }
};

Bytes Pattern(size_t n, std::initializer_list<size_t> syncAt, bool dts) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = BYTE(i * 13 % 251 + 1);  // no 0B 77 or 7F FE
  for (size_t at : syncAt) {
    const Bytes sync = dts ? Bytes{0x7F, 0xFE, 0x80, 0x01} : Bytes{0x0B, 0x77};
    std::copy(sync.begin(), sync.end(), b.begin() + long(at));
  }
  return b;
}

int PesLength(const Bytes& s, size_t at) { return s[at + 4] << 8 | s[at + 5]; }
int Pointer(const Bytes& s, size_t at) { return s[at + 19] << 8 | s[at + 20]; }

// Towards the DVD types: headers in front, one PES packet per sample unless
// the sample is too long for a PES length; then pieces of 2013 bytes.
TEST(AVI2AC3Filter, WaveToStreamTypes) {
  const struct {
    const char* what;
    WORD tag;
    int position;  // 0 Audio, 1-2 PES, 3-4 DVD pack
    size_t size;
    std::initializer_list<size_t> syncAt;
  } cases[] = {
      {"AC-3 frame to PES", 0x2000, 1, 1536, {0}},
      {"AC-3 frame to DVD pack", 0x2000, 4, 1536, {0}},
      {"6,000 bytes stay one PES packet", 0x2000, 2, 6000, {0, 1536, 3072}},
      {"DTS to plain audio", 0x2001, 0, 1024, {0}},
      {"70,000 bytes of DTS in pieces", 0x2001, 3, 70000, {0, 3000, 4100, 68500}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Chain chain(WaveType(c.tag), c.position);
    ASSERT_EQ(chain.offered.size(), 5u);
    EXPECT_EQ(chain.offered[0].cbFormat, c.tag == 0x2000 ? 23u : 18u);
    EXPECT_EQ(chain.offered[1].formattype, FORMAT_None);
    const Bytes data = Pattern(c.size, c.syncAt, c.tag == 0x2001);
    ASSERT_EQ(chain.push->Push(data, 1000, 71000), S_OK);
    const auto out = chain.sink->Samples();
    const size_t pack = c.position >= 3 ? 14 : 0, pes = c.position >= 1 ? 21 : 0;
    const size_t pieces = pes && c.size + 15 > 65535 ? (c.size + 2012) / 2013 : 1;
    ASSERT_EQ(out.size(), pieces);
    Bytes joined;
    for (size_t i = 0; i < pieces; i++) {
      const Bytes& s = out[i].data;
      const size_t piece = pieces == 1 ? c.size : std::min<size_t>(2013, c.size - 2013 * i);
      ASSERT_EQ(s.size(), pack + pes + piece);
      if (pack) {
        EXPECT_EQ(s[3], 0xBA);
      }
      if (pes) {
        EXPECT_EQ(PesLength(s, pack), int(piece + 15));
        EXPECT_EQ(s[pack + 17], c.tag == 0x2000 ? 0x80 : 0x88);
        size_t first = 0;
        for (size_t at : c.syncAt)
          if (!first && at >= 2013 * i && at < 2013 * i + piece) first = at - 2013 * i + 1;
        EXPECT_EQ(Pointer(s, pack), pieces == 1 ? 1 : int(first ? first : 1)) << "piece " << i;
      }
      EXPECT_EQ(out[i].timed, i == 0);
      joined.insert(joined.end(), s.begin() + long(pack + pes), s.end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(out[0].start, 1000);
    // The first piece ends where its share of the input's time does.
    const REFERENCE_TIME firstPiece = pieces == 1 ? REFERENCE_TIME(c.size) : 2013;
    EXPECT_EQ(out[0].stop, 1000 + 70000 * firstPiece / REFERENCE_TIME(c.size));
  }
}

// Towards AVI: pack, PES and substream headers go, exactly; a sample
// shorter than its headers is refused.
TEST(AVI2AC3Filter, StreamToWaveType) {
  const Bytes frame = Pattern(1024, {0}, true);
  Bytes pes(21), pack(14);
  WritePackHeader(pack.data());
  WritePesHeader(pes.data(), 1024, 0x88, 1);
  pes[8] = 5, pes.erase(pes.begin() + 14, pes.begin() + 17);  // 5 header data bytes, no stuffing
  const struct {
    const char* what;
    GUID major, subtype;
    Bytes in;
    HRESULT result;
    Bytes out;
  } cases[] = {
      {"pack and PES in front", MEDIATYPE_DVD_ENCRYPTED_PACK, MEDIASUBTYPE_DTS, pack + pes + frame, S_OK, frame},
      {"PES in front", MEDIATYPE_MPEG2_PES, MEDIASUBTYPE_DTS, pes + frame, S_OK, frame},
      {"bare frames", MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, frame, S_OK, frame},
      {"PES header longer than the sample", MEDIATYPE_MPEG2_PES, MEDIASUBTYPE_DTS, {0, 0, 1, 0xBD, 0, 9, 0x81, 0x80, 0x20}, E_FAIL, {}},
      {"pack header cut short", MEDIATYPE_DVD_ENCRYPTED_PACK, MEDIASUBTYPE_DTS, {0, 0, 1, 0xBA, 0x44, 0}, E_FAIL, {}},
      {"empty sample", MEDIATYPE_MPEG2_PES, MEDIASUBTYPE_DTS, {}, S_OK, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Chain chain(StreamType(c.major, c.subtype), 0);
    ASSERT_EQ(chain.offered.size(), 1u);
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(chain.offered[0].pbFormat);
    EXPECT_EQ(wfx->wFormatTag, c.subtype == MEDIASUBTYPE_DTS ? 0x2001 : 0x2000);
    EXPECT_EQ(wfx->nSamplesPerSec, 44100u);
    EXPECT_EQ(chain.push->Push(c.in, 0, 1), c.result);
    const auto out = chain.sink->Samples();
    ASSERT_EQ(out.size(), c.out.empty() ? 0u : 1u);
    if (!c.out.empty()) {
      EXPECT_EQ(out[0].data, c.out);
    }
  }
}

// A stream type without a WAVE format block is not taken.
TEST(AVI2AC3Filter, InputTypes) {
  HRESULT hr = E_FAIL;
  CComPtr<IBaseFilter> hold(toy::Hold(new CAVI2AC3Filter(nullptr, &hr)));
  auto* f = static_cast<CAVI2AC3Filter*>(hold.p);
  CMediaType noBlock(&MEDIATYPE_MPEG2_PES);
  noBlock.SetSubtype(&MEDIASUBTYPE_DOLBY_AC3);
  noBlock.SetFormatType(&FORMAT_None);
  EXPECT_EQ(f->CheckInputType(&noBlock), VFW_E_TYPE_NOT_ACCEPTED);
  const CMediaType dts = WaveType(0x2001), mp3 = WaveType(0x0055);
  EXPECT_EQ(f->CheckInputType(&dts), S_OK);
  EXPECT_EQ(f->CheckInputType(&mp3), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType out;
  EXPECT_EQ(f->GetMediaType(0, &out), E_UNEXPECTED);
}

}  // namespace
