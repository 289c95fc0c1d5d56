// The decoder's subpicture input and caption output: hand-made DVD and CVD
// subpicture units drawn on pictures, and DVD caption user data passed on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "foundation/FilterHelpers.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/win32/Registry.h"
#include "tests/decoders/mpeg2video/Mpeg2FilterTestPins.h"
#include "tests/decoders/mpeg2video/Mpeg2TestSupport.h"

namespace {

using Spu = std::vector<BYTE>;

void Put16(Spu& d, size_t at, int v) {
  d[at] = static_cast<BYTE>(v >> 8);
  d[at + 1] = static_cast<BYTE>(v);
}

// A DVD unit that fills the area (x1..x2, y1..y2, inclusive) with colour 1
// (palette entry 1, fully opaque), one "fill to the end of the line" code
// per line. forced: start with the forced-start command.
Spu DvdUnit(int x1, int x2, int y1, int y2, bool forced) {
  const int lines = y2 - y1 + 1;
  const int top = (lines + 1) / 2, bottom = lines / 2;
  Spu d(4);
  const size_t topOffset = d.size();
  for (int i = 0; i < top; ++i) d.insert(d.end(), {0x00, 0x01});
  const size_t bottomOffset = d.size();
  for (int i = 0; i < bottom; ++i) d.insert(d.end(), {0x00, 0x01});
  const size_t dcsq = d.size();
  d.insert(d.end(), {0, 0, 0, 0, static_cast<BYTE>(forced ? 0x00 : 0x01), 0x03, 0x00, 0x10, 0x04, 0x00, 0xF0, 0x05,
                     static_cast<BYTE>(x1 >> 4), static_cast<BYTE>(((x1 & 15) << 4) | (x2 >> 8)),
                     static_cast<BYTE>(x2), static_cast<BYTE>(y1 >> 4),
                     static_cast<BYTE>(((y1 & 15) << 4) | (y2 >> 8)), static_cast<BYTE>(y2), 0x06, 0, 0, 0, 0, 0xFF});
  Put16(d, dcsq + 2, static_cast<int>(dcsq));  // the last sequence points at itself
  Put16(d, dcsq + 19, static_cast<int>(topOffset));
  Put16(d, dcsq + 21, static_cast<int>(bottomOffset));
  Put16(d, 0, static_cast<int>(d.size()));
  Put16(d, 2, static_cast<int>(dcsq));
  return d;
}

BYTE Blend(BYTE v, BYTE c, int a) { return static_cast<BYTE>(v - (((v - c) * a) >> 4)); }

// Planes of exactly the picture's size, so that a write past them shows.
struct Planes {
  int w, h;
  std::vector<BYTE> y, u, v;
  Planes(int w_, int h_) : w(w_), h(h_), y(w * h, 16), u(w / 2 * (h / 2), 128), v(w / 2 * (h / 2), 128) {}
  CSubpicInputPin::Target Target() { return {{y.data(), u.data(), v.data()}, w, w, h}; }
};

class SubpicCaptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("PELLOMAR_REGISTRY_DIR");
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(base ? base : "/tmp/pellomar-mpeg2subpic-test") / info->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    if (base) saved_ = base;
    setenv("PELLOMAR_REGISTRY_DIR", dir_.c_str(), 1);
    RegistryReloadForTest();
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    control = CComQIPtr<IMediaControl>(graph);
    IBaseFilter* f = nullptr;
    ASSERT_EQ(CMpeg2DecFilter::CreateObject(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&f)), S_OK);
    decoderRef.Attach(f);
    decoder = static_cast<CMpeg2DecFilter*>(f);
    es = ReadTestFile("mpeg2-gop12-b2.m2v");
  }
  void TearDown() override {
    if (control) control->Stop();
    control.Release();
    graph.Release();
    if (!saved_.empty()) setenv("PELLOMAR_REGISTRY_DIR", saved_.c_str(), 1);
    RegistryReloadForTest();
  }

  CMediaType VideoType() {
    size_t end = 4;
    while (end + 4 <= es.size() && !(es[end] == 0 && es[end + 1] == 0 && es[end + 2] == 1 && es[end + 3] != 0xB5))
      ++end;
    CMediaType mt;
    EXPECT_TRUE(MakeMpeg2VideoMediaType(&mt, es.data(), static_cast<DWORD>(end), 176, 144));
    return mt;
  }

  void Build(const CMediaType* subpic, bool captions) {
    const CMediaType video = VideoType();
    source = new CPushSource(video, subpic);
    sourceRef = source;
    sink = new CCaptureSink([](const CMediaType& mt) { return mt.subtype == MEDIASUBTYPE_YV12; });
    sinkRef = sink;
    graph->AddFilter(source, L"Source");
    graph->AddFilter(decoder, L"Decoder");
    graph->AddFilter(sink, L"Sink");
    ASSERT_EQ(graph->ConnectDirect(source->m_pins[0], decoder->GetPin(0), nullptr), S_OK);
    if (subpic) {
      ASSERT_EQ(graph->ConnectDirect(source->m_pins[1], decoder->GetPin(2), nullptr), S_OK);
    }
    ASSERT_EQ(graph->ConnectDirect(decoder->GetPin(1), sink->m_pin, nullptr), S_OK);
    if (captions) {
      ccSink = new CCaptureSink([](const CMediaType& mt) { return mt.majortype == MEDIATYPE_AUXLine21Data; });
      ccSinkRef = ccSink;
      graph->AddFilter(ccSink, L"Captions");
      ASSERT_EQ(graph->ConnectDirect(decoder->GetPin(3), ccSink->m_pin, nullptr), S_OK);
    }
    ASSERT_EQ(control->Pause(), S_OK);
  }

  void PushVideo(const std::vector<uint8_t>& data) {
    for (size_t pos = 0; pos < data.size(); pos += 4096)
      ASSERT_EQ(source->m_pins[0]->Send(data.data() + pos, std::min<size_t>(4096, data.size() - pos), pos ? -1 : 0),
                S_OK);
    source->m_pins[0]->DeliverEndOfStream();
  }

  void SetPaletteEntry1(BYTE y) {
    AM_PROPERTY_SPPAL pal{};
    pal.sppal[1] = {0, y, 128, 128};
    CComQIPtr<IKsPropertySet> props(static_cast<IPin*>(decoder->SubpicPin()));
    ASSERT_TRUE(props);
    ASSERT_EQ(props->Set(AM_KSPROPSETID_DvdSubPic, AM_PROPERTY_DVDSUBPIC_PALETTE, nullptr, 0, &pal, sizeof(pal)), S_OK);
  }

  CComPtr<IGraphBuilder> graph;
  CComQIPtr<IMediaControl> control;
  CMpeg2DecFilter* decoder = nullptr;
  CPushSource* source = nullptr;
  CCaptureSink* sink = nullptr;
  CCaptureSink* ccSink = nullptr;
  CComPtr<IBaseFilter> decoderRef, sourceRef, sinkRef, ccSinkRef;
  std::vector<uint8_t> es;
  std::filesystem::path dir_;
  std::string saved_;
};

CMediaType SubpicType(const GUID& sub) {
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  mt.SetSubtype(&sub);
  mt.SetFormatType(&FORMAT_None);
  return mt;
}

void CheckDrawn(const CapturedSample& s, const TestFrame& base, bool drawn) {
  const BYTE* y = s.data.data();
  const BYTE* v = y + 176 * 144;  // YV12: V before U
  for (int row = 0; row < 144; ++row)
    for (int x = 0; x < 176; ++x) {
      const bool inside = drawn && x >= 16 && x <= 47 && row >= 16 && row <= 31;
      const BYTE b = base.y[row * 176 + x];
      ASSERT_EQ(y[row * 176 + x], inside ? Blend(b, 235, 15) : b) << x << "," << row;
    }
  // Grey chroma pulls every sample of the area towards 128.
  const BYTE bv = base.v[8 * 88 + 10];
  if (drawn) EXPECT_LE(std::abs(v[8 * 88 + 10] - 128), std::abs(bv - 128));
  else EXPECT_EQ(v[8 * 88 + 10], bv);
}

TEST_F(SubpicCaptionTest, DvdUnitIsBlendedOntoEveryPictureItCovers) {
  const CMediaType sp = SubpicType(MEDIASUBTYPE_DVD_SUBPICTURE);
  Build(&sp, false);
  SetPaletteEntry1(235);
  const Spu unit = DvdUnit(16, 47, 16, 31, false);
  // Split over two samples: only the second completes it.
  ASSERT_EQ(source->m_pins[1]->Send(unit.data(), 10, 0), S_OK);
  ASSERT_EQ(source->m_pins[1]->Send(unit.data() + 10, unit.size() - 10, -1), S_OK);
  EXPECT_EQ(decoder->SubpicPin()->UnitCount(), 1u);
  PushVideo(es);
  const auto base = OurDecode(es, 4096, 1).frames;
  ASSERT_EQ(sink->m_pin->samples.size(), base.size());
  for (size_t i = 0; i < base.size(); i += 7) CheckDrawn(sink->m_pin->samples[i], base[i], true);
}

TEST_F(SubpicCaptionTest, WithCompositionOffOnlyForcedUnitsAreDrawn) {
  const CMediaType sp = SubpicType(MEDIASUBTYPE_DVD_SUBPICTURE);
  Build(&sp, false);
  SetPaletteEntry1(235);
  CComQIPtr<IKsPropertySet> props(static_cast<IPin*>(decoder->SubpicPin()));
  BOOL off = FALSE;
  ASSERT_EQ(props->Set(AM_KSPROPSETID_DvdSubPic, AM_PROPERTY_DVDSUBPIC_COMPOSIT_ON, nullptr, 0, &off, sizeof(off)),
            S_OK);
  const Spu plain = DvdUnit(16, 47, 16, 31, false);
  const Spu forced = DvdUnit(16, 47, 16, 31, true);
  ASSERT_EQ(source->m_pins[1]->Send(plain.data(), plain.size(), 0), S_OK);
  ASSERT_EQ(source->m_pins[1]->Send(forced.data(), forced.size(), 10 * 400000), S_OK);
  PushVideo(es);
  const auto base = OurDecode(es, 4096, 1).frames;
  ASSERT_EQ(sink->m_pin->samples.size(), base.size());
  CheckDrawn(sink->m_pin->samples[2], base[2], false);
  CheckDrawn(sink->m_pin->samples[12], base[12], true);
}

TEST_F(SubpicCaptionTest, QuerySupportedAndUnknownSubtype) {
  CComQIPtr<IKsPropertySet> props(static_cast<IPin*>(decoder->SubpicPin()));
  DWORD support = 0;
  ASSERT_EQ(props->QuerySupported(AM_KSPROPSETID_DvdSubPic, AM_PROPERTY_DVDSUBPIC_HLI, &support), S_OK);
  EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_SET));
  EXPECT_EQ(props->QuerySupported(AM_KSPROPSETID_DvdSubPic, 3, &support), E_PROP_ID_UNSUPPORTED);
  const CMediaType other = SubpicType(MEDIASUBTYPE_MPEG2_VIDEO);
  EXPECT_EQ(decoder->SubpicPin()->CheckMediaType(&other), VFW_E_TYPE_NOT_ACCEPTED);
}

TEST(SubpicUnits, CvdUnitIsCentredInTheLowerPart) {
  CSubpicInputPin::cvdspu unit;
  // Two lines of 8 pixels, each a "fill the line with colour 1" code.
  Spu d = {0, 0, 0, 0, 0x01, 0x01};
  const size_t control = d.size();
  d.insert(d.end(), {0x17, 0, 0, 0, 0x1F, 0, 7 << 2, 1, 0x25, 235, 128, 128, 0x37, 0, 0, 0xF0, 0x47, 0, 0, 4, 0x4F,
                     0, 0, 5});
  Put16(d, 0, static_cast<int>(d.size()));
  Put16(d, 2, static_cast<int>(control));
  unit.m_data = d;
  ASSERT_TRUE(unit.Parse());
  Planes p(64, 48);
  AM_DVD_YUV palette[16] = {};
  unit.Render(0, p.Target(), palette, false);
  const int x0 = (64 - 8) / 2, y0 = (3 * 48 - 2) / 4;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const bool inside = x >= x0 && x < x0 + 8 && y >= y0 && y < y0 + 2;
      ASSERT_EQ(p.y[y * 64 + x], inside ? Blend(16, 235, 15) : 16) << x << "," << y;
    }
}

TEST(SubpicUnits, RunsAtTheRightEdgeAndBadOffsetsStayInside) {
  // Covers the full width, so the last pixel's chroma sample is the last
  // column; and a second unit whose field offsets point past its end.
  Planes p(64, 16);
  AM_DVD_YUV palette[16] = {};
  palette[1] = {0, 235, 200, 60};
  CSubpicInputPin::dvdspu unit;
  unit.m_data = DvdUnit(0, 63, 0, 15, false);
  ASSERT_TRUE(unit.Parse());
  unit.Render(0, p.Target(), palette, true);
  EXPECT_EQ(p.y[63], Blend(16, 235, 15));
  EXPECT_LT(p.u[31], 128);  // the last chroma column, never one past it
  EXPECT_GT(p.v[31], 128);

  CSubpicInputPin::dvdspu bad;
  bad.m_data = DvdUnit(0, 4000, 0, 4000, false);
  Put16(bad.m_data, bad.m_data.size() - 5, 0xFFF0);
  ASSERT_TRUE(bad.Parse());
  bad.Render(0, p.Target(), palette, true);  // must neither read nor write out of bounds
  // A unit shorter than its announced size is not complete.
  CSubpicInputPin::svcdspu shortUnit;
  shortUnit.m_data = {0x10, 0x00, 0x04};
  EXPECT_FALSE(shortUnit.Parse());
}

// User data blocks spliced in behind every group-of-pictures header.
std::vector<uint8_t> WithUserData(const std::vector<uint8_t>& es, const std::vector<uint8_t>& payload, int* groups) {
  std::vector<uint8_t> out;
  *groups = 0;
  for (size_t i = 0; i < es.size(); ++i) {
    out.push_back(es[i]);
    if (i >= 3 && es[i - 3] == 0 && es[i - 2] == 0 && es[i - 1] == 1 && es[i] == 0xB8) {
      out.insert(out.end(), es.begin() + i + 1, es.begin() + i + 5);
      out.insert(out.end(), {0, 0, 1, 0xB2});
      out.insert(out.end(), payload.begin(), payload.end());
      i += 4;
      ++*groups;
    }
  }
  return out;
}

TEST_F(SubpicCaptionTest, DvdCaptionUserDataGoesOutAsLine21Packets) {
  Build(nullptr, true);
  const std::vector<uint8_t> cc = {0x43, 0x43, 0x01, 0xF8, 0x8A, 0xFF, 0x94, 0x2C, 0xFE, 0x80, 0x80};
  int groups = 0;
  PushVideo(WithUserData(es, cc, &groups));
  ASSERT_GT(groups, 0);
  ASSERT_EQ(ccSink->m_pin->samples.size(), static_cast<size_t>(groups));
  std::vector<uint8_t> expected = {0, 0, 1, 0xB2};
  expected.insert(expected.end(), cc.begin(), cc.end());
  for (const auto& s : ccSink->m_pin->samples) EXPECT_EQ(s.data, expected);
  EXPECT_EQ(ccSink->m_pin->endOfStream, 1);
  EXPECT_EQ(sink->m_pin->samples.size(), ReferenceDecode(es).size());
}

TEST_F(SubpicCaptionTest, OtherUserDataSendsNoCaptions) {
  Build(nullptr, true);
  int groups = 0;
  PushVideo(WithUserData(es, {'G', 'A', '9', '4', 0x03, 0x42, 0xFF}, &groups));
  ASSERT_GT(groups, 0);
  EXPECT_TRUE(ccSink->m_pin->samples.empty());
  CMediaType mt;
  EXPECT_EQ(decoder->ClosedCaptionPin()->GetMediaType(0, &mt), S_OK);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_Line21_GOPPacket);
  EXPECT_EQ(decoder->ClosedCaptionPin()->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
  EXPECT_EQ(decoder->ClosedCaptionPin()->GetMediaType(-1, &mt), E_INVALIDARG);
}

}  // namespace
