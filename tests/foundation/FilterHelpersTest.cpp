#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "foundation/FilterHelpers.h"
#include "foundation/Languages.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/win32/Module.h"
#include "tests/foundation/ToyFilters.h"

namespace {

std::vector<BYTE> ReadSample(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  std::string path = std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
  std::ifstream f(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// Pins and filters

class Walkers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    CMediaType video(&MEDIATYPE_Video), audio(&MEDIATYPE_Audio), video2(&MEDIATYPE_Video);
    video.SetSubtype(&MEDIASUBTYPE_YV12);
    video2.SetSubtype(&MEDIASUBTYPE_YV12);  // a duplicate pair
    audio.SetSubtype(&MEDIASUBTYPE_PCM);
    source = new toy::Source({{video, audio, video2}, {audio}});
    sink = new toy::Sink(true);
    src = toy::Hold(source);
    snk = toy::Hold(sink);
    ASSERT_EQ(graph->AddFilter(src, L"Toy Source"), S_OK);
    ASSERT_EQ(graph->AddFilter(snk, L"Toy Sink"), S_OK);
  }
  void TearDown() override {
    if (graph) {
      graph->RemoveFilter(snk);
      graph->RemoveFilter(src);
    }
  }

  CComPtr<IFilterGraph> graph;
  toy::Source* source = nullptr;
  toy::Sink* sink = nullptr;
  CComPtr<IBaseFilter> src, snk;
};

TEST_F(Walkers, FindPinsFiltersAndNamesAcrossAConnection) {
  IPin* out0 = source->Out(0);
  IPin* out1 = source->Out(1);
  IPin* in = sink->In();

  // Before connecting, the sink has nothing upstream.
  EXPECT_EQ(GetUpstreamPin(snk), nullptr);
  EXPECT_EQ(GetFirstUnconnectedPin(src, PINDIR_OUTPUT), out0);
  ASSERT_EQ(graph->ConnectDirect(out0, in, nullptr), S_OK);

  EXPECT_EQ(GetFilterFromPin(in), snk.p);
  EXPECT_EQ(GetFilterClsid(src), toy::CLSID_ToySource);
  EXPECT_EQ(GetPinFilterClsid(in), toy::CLSID_ToySink);
  EXPECT_EQ(GetUpstreamPin(snk), out0);
  EXPECT_EQ(GetUpstreamPin(snk, in), out0);
  EXPECT_EQ(GetUpstreamPin(snk, out0), nullptr);  // not one of its pins
  EXPECT_EQ(GetUpstreamFilter(snk), src.p);
  EXPECT_EQ(GetFirstPinByDirection(src, PINDIR_OUTPUT), out0);
  EXPECT_EQ(GetFirstPinByDirection(src, PINDIR_INPUT), nullptr);
  EXPECT_EQ(GetFirstPinByDirection(snk, PINDIR_OUTPUT), static_cast<IPin*>(sink->GetPin(1)));
  EXPECT_EQ(GetFirstUnconnectedPin(src, PINDIR_OUTPUT), out1);
  EXPECT_EQ(GetFirstUnconnectedPin(snk, PINDIR_INPUT), nullptr);
  EXPECT_EQ(FindFilterByClsid(graph, toy::CLSID_ToySink), snk.p);
  EXPECT_EQ(FindFilterByClsid(graph, CLSID_TextRender), nullptr);
  EXPECT_EQ(GetFilterName(snk), L"Toy Sink");
  EXPECT_EQ(GetPinName(out1), L"Out1");

  int in_ = -1, out_ = -1, inC = -1, outC = -1;
  EXPECT_EQ(CountFilterPins(snk, in_, out_, inC, outC), 2);
  EXPECT_EQ(in_, 1);
  EXPECT_EQ(out_, 1);
  EXPECT_EQ(inC, 1);
  EXPECT_EQ(outC, 0);
  EXPECT_EQ(CountFilterPins(src, in_, out_, inC, outC), 2);
  EXPECT_EQ(outC, 1);
  EXPECT_FALSE(IsSinkFilter(snk));
  EXPECT_FALSE(IsSinkFilter(src));

  std::vector<GUID> types{GUID_NULL};
  CollectPinMediaTypes(out0, types);
  ASSERT_EQ(types.size(), 4u);
  EXPECT_EQ(types[0], MEDIATYPE_Video);
  EXPECT_EQ(types[1], MEDIASUBTYPE_YV12);
  EXPECT_EQ(types[2], MEDIATYPE_Audio);
  EXPECT_EQ(types[3], MEDIASUBTYPE_PCM);
}

TEST(WalkersOnNothing, NullArgumentsGiveNoneResults) {
  int a = 5, b = 5, c = 5, d = 5;
  EXPECT_EQ(CountFilterPins(nullptr, a, b, c, d), 0);
  EXPECT_EQ(a + b + c + d, 0);
  EXPECT_EQ(GetFilterFromPin(nullptr), nullptr);
  EXPECT_EQ(GetFilterClsid(nullptr), GUID_NULL);
  EXPECT_EQ(GetPinFilterClsid(nullptr), GUID_NULL);
  EXPECT_EQ(GetUpstreamFilter(nullptr), nullptr);
  EXPECT_EQ(FindFilterByClsid(nullptr, GUID_NULL), nullptr);
  EXPECT_EQ(GetFilterName(nullptr), L"");
  EXPECT_EQ(GetPinName(nullptr), L"");
  std::vector<GUID> types{GUID_NULL};
  CollectPinMediaTypes(nullptr, types);
  EXPECT_TRUE(types.empty());
}

// ---------------------------------------------------------------------------
// Media types

CMediaType VideoInfoType(LONG w, LONG h, LONG xPels, LONG yPels) {
  CMediaType mt(&MEDIATYPE_Video);
  mt.SetFormatType(&FORMAT_VideoInfo);
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih->bmiHeader.biWidth = w;
  vih->bmiHeader.biHeight = h;
  vih->bmiHeader.biXPelsPerMeter = xPels;
  vih->bmiHeader.biYPelsPerMeter = yPels;
  vih->bmiHeader.biBitCount = 24;
  return mt;
}

TEST(MediaTypes, BitmapHeaderOfEachFormatAndShortBlocks) {
  CMediaType mt = VideoInfoType(320, -240, 0, 0);
  BITMAPINFOHEADER bih;
  ASSERT_TRUE(MediaTypeToBitmapInfo(&mt, &bih));
  EXPECT_EQ(bih.biWidth, 320);
  EXPECT_EQ(bih.biHeight, -240);
  EXPECT_EQ(bih.biBitCount, 24);

  CMediaType mt2(&MEDIATYPE_Video);
  mt2.SetFormatType(&FORMAT_VideoInfo2);
  auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(mt2.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
  vih2->bmiHeader.biWidth = 720;
  vih2->bmiHeader.biHeight = 480;
  vih2->dwPictAspectRatioX = 16;
  vih2->dwPictAspectRatioY = 9;
  ASSERT_TRUE(MediaTypeToBitmapInfo(&mt2, &bih));
  EXPECT_EQ(bih.biWidth, 720);
  int w, h, ax, ay;
  ASSERT_TRUE(GetVideoSizeAndAspect(&mt2, w, h, ax, ay));
  EXPECT_EQ(w, 720);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(ax, 16);
  EXPECT_EQ(ay, 9);
  mt2.SetFormatType(&FORMAT_VideoInfo2Ex);
  EXPECT_TRUE(MediaTypeToBitmapInfo(&mt2, &bih));

  // A block too short for the header is refused, not over-read.
  mt2.SetFormatType(&FORMAT_VideoInfo2);
  mt2.ReallocFormatBuffer(100);
  EXPECT_FALSE(MediaTypeToBitmapInfo(&mt2, &bih));
  EXPECT_EQ(bih.biWidth, 0);
  EXPECT_FALSE(GetVideoSizeAndAspect(&mt2, w, h, ax, ay));
  mt2.ResetFormatBuffer();
  EXPECT_FALSE(MediaTypeToBitmapInfo(&mt2, &bih));

  CMediaType audio(&MEDIATYPE_Audio);
  audio.SetFormatType(&FORMAT_WaveFormatEx);
  audio.AllocFormatBuffer(200);
  EXPECT_FALSE(MediaTypeToBitmapInfo(&audio, &bih));
  EXPECT_FALSE(GetVideoSizeAndAspect(&audio, w, h, ax, ay));
  EXPECT_FALSE(MediaTypeToBitmapInfo(nullptr, &bih));
}

TEST(MediaTypes, AspectFromPelsOrPictureShape) {
  int w, h, ax, ay;
  CMediaType square = VideoInfoType(640, -480, 0, 0);
  ASSERT_TRUE(GetVideoSizeAndAspect(&square, w, h, ax, ay));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);  // top-down pictures have a positive height
  EXPECT_EQ(ax, 4);
  EXPECT_EQ(ay, 3);

  // 720 x 576 with pels 12 wide for 11 high: 720*11 : 576*12 = 55 : 48.
  CMediaType pels = VideoInfoType(720, 576, 12, 11);
  ASSERT_TRUE(GetVideoSizeAndAspect(&pels, w, h, ax, ay));
  EXPECT_EQ(ax, 55);
  EXPECT_EQ(ay, 48);

  // Extreme values do not wrap.
  CMediaType extreme = VideoInfoType(0x7FFFFFFF, static_cast<LONG>(0x80000000u), 1, 0x7FFFFFFF);
  ASSERT_TRUE(GetVideoSizeAndAspect(&extreme, w, h, ax, ay));
  EXPECT_GT(w, 0);
  EXPECT_GT(h, 0);
  EXPECT_GE(ax, 0);
  EXPECT_GE(ay, 0);
}

CMediaType Mpeg1Type(const std::vector<BYTE>& header, DWORD lengthField) {
  CMediaType mt(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_MPEG1Payload);
  mt.SetFormatType(&FORMAT_MPEGVideo);
  BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(offsetof(MPEG1VIDEOINFO, bSequenceHeader) + header.size()));
  auto* info = reinterpret_cast<MPEG1VIDEOINFO*>(block);
  info->hdr.bmiHeader.biWidth = 16;
  info->hdr.bmiHeader.biHeight = 16;
  info->cbSequenceHeader = lengthField;
  std::memcpy(block + offsetof(MPEG1VIDEOINFO, bSequenceHeader), header.data(), header.size());
  return mt;
}

TEST(MediaTypes, Mpeg1SequenceHeaderGivesSizeAndPelAspect) {
  // 720 x 576, pel aspect code 3 (0.7031): 720 / 0.7031 + 0.5 = 1024 : 576.
  const std::vector<BYTE> pal = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x33, 0xFF, 0xFF, 0xE0, 0x18};
  CMediaType mt = Mpeg1Type(pal, 12);
  int w, h, ax, ay;
  ASSERT_TRUE(GetVideoSizeAndAspect(&mt, w, h, ax, ay));
  EXPECT_EQ(w, 720);
  EXPECT_EQ(h, 576);
  EXPECT_EQ(ax, 16);
  EXPECT_EQ(ay, 9);

  // The sample file: 208 x 112 with square pels.
  std::vector<BYTE> file = ReadSample("mpeg1-odd-208x112.m1v");
  ASSERT_GE(file.size(), 12u);
  file.resize(12);
  CMediaType fromFile = Mpeg1Type(file, 12);
  ASSERT_TRUE(GetVideoSizeAndAspect(&fromFile, w, h, ax, ay));
  EXPECT_EQ(w, 208);
  EXPECT_EQ(h, 112);
  EXPECT_EQ(ax, 13);
  EXPECT_EQ(ay, 7);

  // A length field claiming more than the block holds, or too little, is
  // not trusted: the bitmap header is used.
  CMediaType lying = Mpeg1Type({0x00, 0x00, 0x01, 0xB3}, 1000);
  ASSERT_TRUE(GetVideoSizeAndAspect(&lying, w, h, ax, ay));
  EXPECT_EQ(w, 16);
  CMediaType shortField = Mpeg1Type(pal, 7);
  ASSERT_TRUE(GetVideoSizeAndAspect(&shortField, w, h, ax, ay));
  EXPECT_EQ(w, 16);
}

TEST(MediaTypes, Mpeg2TypeFromASequenceHeaderRoundTrips) {
  const std::vector<BYTE> file = ReadSample("mpeg2-odd-208x112.m2v");
  ASSERT_GE(file.size(), 64u);
  CMediaType mt;
  ASSERT_TRUE(MakeMpeg2VideoMediaType(&mt, file.data(), 64, 208, 112));
  EXPECT_EQ(mt.majortype, MEDIATYPE_Video);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_MPEG2_VIDEO);
  EXPECT_EQ(mt.formattype, FORMAT_MPEG2Video);
  // 12 header bytes and the 10-byte sequence extension.
  ASSERT_EQ(mt.cbFormat, offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + 22u);
  const auto* info = reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat);
  EXPECT_EQ(info->cbSequenceHeader, 22u);
  EXPECT_EQ(info->hdr.bmiHeader.biSize, 40u);
  EXPECT_EQ(info->dwProfile, static_cast<DWORD>(AM_MPEG2Profile_Main));
  EXPECT_EQ(info->dwLevel, static_cast<DWORD>(AM_MPEG2Level_Main));
  EXPECT_EQ(std::memcmp(MPEG2_SEQUENCE_INFO(info), file.data(), 22), 0);

  int w, h, ax, ay;
  ASSERT_TRUE(GetVideoSizeAndAspect(&mt, w, h, ax, ay));
  EXPECT_EQ(w, 208);
  EXPECT_EQ(h, 112);
  EXPECT_EQ(ax, 13);
  EXPECT_EQ(ay, 7);

  // Display aspect code 3 is 16:9 whatever the size.
  std::vector<BYTE> wide(file.begin(), file.begin() + 22);
  wide[7] = static_cast<BYTE>((3 << 4) | (wide[7] & 15));
  ASSERT_TRUE(MakeMpeg2VideoMediaType(&mt, wide.data(), 22, 208, 112));
  ASSERT_TRUE(GetVideoSizeAndAspect(&mt, w, h, ax, ay));
  EXPECT_EQ(ax, 16);
  EXPECT_EQ(ay, 9);
}

TEST(MediaTypes, Mpeg2HeadersThatDoNotFitAreRefused) {
  CMediaType mt;
  std::vector<BYTE> header = {0x00, 0x00, 0x01, 0xB3, 0x0D, 0x00, 0x70, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
  EXPECT_TRUE(MakeMpeg2VideoMediaType(&mt, header.data(), 12, 208, 112));
  EXPECT_EQ(reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat)->cbSequenceHeader, 12u);
  EXPECT_FALSE(MakeMpeg2VideoMediaType(&mt, header.data(), 11, 208, 112));
  EXPECT_FALSE(MakeMpeg2VideoMediaType(&mt, nullptr, 12, 208, 112));
  header[3] = 0xB5;
  EXPECT_FALSE(MakeMpeg2VideoMediaType(&mt, header.data(), 12, 208, 112));
  header[3] = 0xB3;
  // The intra matrix is announced but missing.
  header[11] |= 0x02;
  EXPECT_FALSE(MakeMpeg2VideoMediaType(&mt, header.data(), 12, 208, 112));
  header.resize(76, 0);
  EXPECT_TRUE(MakeMpeg2VideoMediaType(&mt, header.data(), 76, 208, 112));
  // ...and the non-intra matrix after it too.
  header[75] = 0x01;
  EXPECT_FALSE(MakeMpeg2VideoMediaType(&mt, header.data(), 76, 208, 112));
  header.resize(140, 0);
  EXPECT_TRUE(MakeMpeg2VideoMediaType(&mt, header.data(), 140, 208, 112));
  EXPECT_EQ(reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat)->cbSequenceHeader, 140u);
}

TEST(MediaTypes, AacAudioSpecificConfig) {
  BYTE out[5] = {};
  EXPECT_EQ(MakeAacAudioSpecificConfig(out, 1, 44100, 2), 2);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0x10);
  EXPECT_EQ(MakeAacAudioSpecificConfig(out, 1, 8000, 1), 2);
  EXPECT_EQ(out[0], 0x15);  // index 11
  EXPECT_EQ(out[1], 0x88);
  EXPECT_EQ(MakeAacAudioSpecificConfig(out, -1, 24000, 2), 5);
  EXPECT_EQ(out[0], 0x13);  // object type 2, index 6
  EXPECT_EQ(out[1], 0x10);
  EXPECT_EQ(out[2], 0x56);
  EXPECT_EQ(out[3], 0xE5);
  EXPECT_EQ(out[4], 0x98);  // SBR at 48000 (index 3)
  EXPECT_EQ(MakeAacAudioSpecificConfig(nullptr, 1, 44100, 2), 0);
  EXPECT_EQ(MakeAacAudioSpecificConfig(out, std::numeric_limits<int>::min(), 96000, 2), 5);
}

// ---------------------------------------------------------------------------
// Strings, GUIDs and versions

TEST(Strings, GuidTextBothWays) {
  const std::wstring text = GuidToString(MEDIASUBTYPE_YUY2);
  EXPECT_EQ(text, L"{32595559-0000-0010-8000-00AA00389B71}");
  EXPECT_EQ(StringToGuid(text), MEDIASUBTYPE_YUY2);
  EXPECT_EQ(StringToGuid(L"{not a guid}"), GUID_NULL);
  GUID g = MEDIATYPE_Video;
  EXPECT_TRUE(FAILED(ParseGuidString(L"32595559-0000", g)));
  EXPECT_EQ(g, GUID_NULL);
  EXPECT_EQ(ParseGuidString(text, g), S_OK);
  EXPECT_EQ(g, MEDIASUBTYPE_YUY2);
  EXPECT_EQ(GuidToString(GUID_NULL), L"{00000000-0000-0000-0000-000000000000}");
}

TEST(Strings, HexPairsUntilTheFirstStrayCharacter) {
  std::vector<BYTE> bytes{9, 9, 9};
  HexStringToBytes("0aFf", bytes);
  EXPECT_EQ(bytes, (std::vector<BYTE>{0x0A, 0xFF}));
  HexStringToBytes("12G4", bytes);
  EXPECT_EQ(bytes, (std::vector<BYTE>{0x12, 0x00}));
  HexStringToBytes("123", bytes);
  EXPECT_EQ(bytes, (std::vector<BYTE>{0x12}));
  HexStringToBytes("", bytes);
  EXPECT_TRUE(bytes.empty());
}

TEST(Strings, FileVersionOfAModuleWithAndWithoutVersionInformation) {
  RegisterBuiltinModule("pmversiontest.dll", {}, 0x00010002, 0x00030004);
  EXPECT_EQ(GetFileVersion("pmversiontest.dll"), 0x0001000200030004ull);
  EXPECT_EQ(GetFileVersion("/no/such/file.dll"), 0u);
  EXPECT_EQ(GetFileVersion(nullptr), 0u);
}

// ---------------------------------------------------------------------------
// Languages

TEST(Languages, TableShape) {
  ASSERT_EQ(g_languageTableRows, 523u);
  const LanguageRow& last = g_languageTable[522];
  EXPECT_STREQ(last.name, "");
  EXPECT_STREQ(last.iso6392, "");
  size_t twoLetter = 0;
  for (size_t i = 0; i < 522; ++i) {
    EXPECT_NE(std::strlen(g_languageTable[i].name), 0u) << i;
    if (*g_languageTable[i].iso6391) ++twoLetter;
  }
  EXPECT_EQ(twoLetter, 232u);
  EXPECT_STREQ(g_languageTable[0].iso6392, "abk");
  EXPECT_STREQ(g_languageTable[521].iso6392, "xal");
}

TEST(Languages, LookupsBothWays) {
  EXPECT_EQ(Iso6391ToIso6392("sq"), "alb");
  EXPECT_EQ(Iso6391ToIso6392("de"), "ger");
  EXPECT_EQ(Iso6391ToIso6392("DE"), "ger");
  EXPECT_EQ(Iso6391ToIso6392("deu"), "ger");  // only two characters count
  EXPECT_EQ(Iso6391ToIso6392(""), "");
  EXPECT_EQ(Iso6391ToIso6392("q"), "");
  EXPECT_EQ(LanguageNameToIso6392("Flemish"), "dut");
  EXPECT_EQ(LanguageNameToIso6392("fLeMiSh"), "dut");
  EXPECT_EQ(LanguageNameToIso6392("Klingon"), "tlh");
  EXPECT_EQ(LanguageNameToIso6392("No Such Tongue"), "");
  EXPECT_EQ(LanguageNameFromIso6392("dut"), "Dutch");
  EXPECT_EQ(LanguageNameFromIso6392("DUT"), "Dutch");
  EXPECT_EQ(LanguageNameFromIso6392("english"), "English");  // three characters count
  EXPECT_EQ(LanguageNameFromIso6392("zzz"), "");
  EXPECT_EQ(LanguageNameFromIso6392(""), "");
  EXPECT_EQ(LanguageNameFromIso6392(std::string("d\0t", 3)), "");

  // Every row's two-letter code leads to a row of the same language, and
  // every first name back to a row that carries that name.
  std::set<std::string> seen;
  for (size_t i = 0; i < 522; ++i) {
    const LanguageRow& row = g_languageTable[i];
    if (*row.iso6391) {
      const std::string code = Iso6391ToIso6392(row.iso6391);
      ASSERT_FALSE(code.empty()) << row.iso6391;
      bool same = false;
      for (size_t j = 0; j < 522; ++j)
        if (code == g_languageTable[j].iso6392 && std::strcmp(g_languageTable[j].iso6391, row.iso6391) == 0)
          same = true;
      EXPECT_TRUE(same) << row.iso6391;
    }
    std::string first(row.name);
    first = first.substr(0, first.find(';'));
    const std::string code = LanguageNameToIso6392(first);
    ASSERT_FALSE(code.empty()) << first;
    bool carries = false;
    for (size_t j = 0; j < 522; ++j)
      if (code == g_languageTable[j].iso6392 && std::string(g_languageTable[j].name).find(first) != std::string::npos)
        carries = true;
    EXPECT_TRUE(carries) << first;
    if (std::strlen(row.iso6392) == 3 && seen.insert(row.iso6392).second) {
      EXPECT_FALSE(LanguageNameFromIso6392(row.iso6392).empty()) << row.iso6392;
    }
  }
}

}  // namespace
