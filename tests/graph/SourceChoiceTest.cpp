// Which source reads a file: check bytes, extensions, the platform's
// media-type signatures, protocols; the candidate that loads wins.

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "graph/registry/FGManagerCustom.h"
#include "platform/win32/File.h"
#include "tests/graph/GraphTestFilters.h"

namespace {

::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new gt::PlatformEnvironment);

std::wstring Data(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  std::string path = std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
  return std::wstring(path.begin(), path.end());
}

std::string TempPath(const char* name) {
  const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
  std::string base = dir ? dir : "/tmp";
  std::string cmd = "mkdir -p '" + base + "'";
  (void)std::system(cmd.c_str());
  return base + "/" + name;
}

std::wstring WriteFile(const char* name, const std::vector<BYTE>& bytes) {
  std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return std::wstring(path.begin(), path.end());
}

bool Check(const std::vector<BYTE>& bytes, const wchar_t* pattern) {
  std::wstring path = WriteFile("check.bin", bytes);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  bool match = CheckFileBytes(h, pattern);
  CloseHandle(h);
  return match;
}

std::vector<BYTE> Riff(const char* form) {
  std::vector<BYTE> b = {'R', 'I', 'F', 'F', 0x10, 0, 0, 0};
  b.insert(b.end(), form, form + 4);
  b.resize(32, 0);
  return b;
}

TEST(CheckFileBytes, GroupsMasksAndOffsets) {
  EXPECT_TRUE(Check(Riff("AVI "), L"0,4,,52494646,8,4,,41564920"));
  EXPECT_FALSE(Check(Riff("AVIX"), L"0,4,,52494646,8,4,,41564920"));
  // A value that does not fill the length fails.
  EXPECT_FALSE(Check(Riff("AVI "), L"0,4,,52494646,8,4,,415649"));
  // Stray fields after whole groups fail.
  EXPECT_FALSE(Check(Riff("AVI "), L"0,4,,52494646,8"));
  EXPECT_FALSE(Check(Riff("AVI "), L"0,4,,52494646"  L",8,4"));
  EXPECT_TRUE(Check({0xFF, 0xF3, 0x10}, L"0,2,FFE0,FFE0"));
  EXPECT_FALSE(Check({0xFF, 0x13, 0x10}, L"0,2,FFE0,FFE0"));
  // A short mask is padded with F.
  EXPECT_TRUE(Check({0x12, 0x34}, L"0, 2, F0, 1034"));
  EXPECT_FALSE(Check({0x12, 0x34}, L"0,2,F0,1030"));
  // A negative offset counts from the end.
  std::vector<BYTE> tail(100, 0);
  tail[96] = 0xDE, tail[97] = 0xAD, tail[98] = 0xBE, tail[99] = 0xEF;
  EXPECT_TRUE(Check(tail, L"-4,4,,DEADBEEF"));
  EXPECT_FALSE(Check(tail, L"-3,4,,DEADBEEF"));
}

TEST(CheckFileBytes, RefusesWhatCannotBeCompared) {
  std::vector<BYTE> zeros(16, 0);
  // Before the start of the file: no read from wherever the file stood.
  EXPECT_FALSE(Check(zeros, L"-100,2,,0000"));
  // Past the end.
  EXPECT_FALSE(Check(zeros, L"15,2,,0000"));
  // A value or mask that is not hex would compare against undecoded bytes.
  EXPECT_FALSE(Check(zeros, L"0,2,,00zz"));
  EXPECT_FALSE(Check(zeros, L"0,2,0g,0000"));
  EXPECT_FALSE(Check(zeros, L"x,2,,0000"));
  EXPECT_FALSE(Check(zeros, L",2,,0000"));
  EXPECT_FALSE(Check(zeros, L"0,-2,,"));
  EXPECT_TRUE(Check(zeros, L"0,2,,0000"));
}

PELLOMAR_DEFINE_GUID(SUB_TEST, "D0000000-0000-4000-8000-0000000000AA");

// The manager with a loadable test source under the class id of every
// source row, as if every source filter were built.
class AllSourcesManager : public gt::TestManager {
 public:
  explicit AllSourcesManager(HRESULT loadResult = S_OK) {
    for (const auto& row : CFGManagerCustom::SourceRows()) {
      auto rec = std::make_unique<gt::TestRecord>(
          row.clsid, L"", kMeritLow,
          std::vector<gt::PinSpec>{{L"Output", PINDIR_OUTPUT, {{MEDIATYPE_Stream, SUB_TEST}}}}, true, loadResult);
      rec->SetSourceFormat(row.sourceFormat);
      for (auto* p : row.protocols) rec->Protocols().push_back(p);
      for (auto* e : row.extensions) rec->Extensions().push_back(e);
      for (auto* c : row.patterns) rec->CheckBytes().push_back(c);
      AddSourceRecord(std::move(rec));
    }
  }
};

DWORD ChosenFormat(IGraphBuilder2* g, const std::wstring& file, CLSID* clsid = nullptr) {
  CComPtr<IBaseFilter> source;
  DWORD format = 0xFFFFFFFF;
  HRESULT hr = static_cast<CFGManager*>(g)->AddSourceFilterWithFormat(file.c_str(), L"src", &source, &format);
  EXPECT_EQ(hr, S_OK) << std::string(file.begin(), file.end());
  if (clsid) *clsid = GetFilterClsid(source);
  if (source) g->RemoveFilter(source);
  return format;
}

TEST(SourceChoice, CheckBytesOfTheSampleFiles) {
  CComPtr<IGraphBuilder2> g(new AllSourcesManager);
  const struct {
    const char* file;
    DWORD format;
  } cases[] = {
      {"avi-xvid-pcm.avi", 0x200},       {"avi-mjpeg-mp3.avi", 0x200},   {"mkv-h264-vorbis.mkv", 0x40},
      {"mp4-h264-aac.mp4", 0x80000},     {"3gp-h263-amrnb.3gp", 0x80000}, {"flv-flv1-mp3.flv", 0x100000},
      {"vorbis.ogg", 0x1000},            {"mpeg1-ps.mpg", 0x4000},        {"mpeg2-ps-mp2.mpg", 0x4000},
      {"vob-ac3.vob", 0x4000},           {"ts-2programs.ts", 0x4000},     {"m2ts-h264-ac3.m2ts", 0x4000},
      {"mp3-44100.mp3", 0x10000},        {"mp2-44100.mp2", 0x10000},      {"ac3-2.0-48000.ac3", 0x20},
      {"dts-5.1-48000.dts", 0x20},       {"asf-wmv2-wmav2.wmv", 0x200000},
  };
  for (const auto& c : cases) EXPECT_EQ(ChosenFormat(g, Data(c.file)), c.format) << c.file;
}

TEST(SourceChoice, ExtensionsAndHandBuiltHeaders) {
  CComPtr<IGraphBuilder2> g(new AllSourcesManager);
  std::vector<BYTE> text(64, 'x');
  EXPECT_EQ(ChosenFormat(g, WriteFile("project.D2V", text)), 0x10u);
  EXPECT_EQ(ChosenFormat(g, WriteFile("track01.cda", text)), 0x1u);
  EXPECT_EQ(ChosenFormat(g, WriteFile("clip.mov", text)), 0x80000u);
  // Only the last path component gives the extension.
  EXPECT_EQ(ChosenFormat(g, WriteFile("x.d2v.dir", text)), kSourceFormatRegistry);

  std::vector<BYTE> flic(64, 0);
  flic[4] = 0x12, flic[5] = 0xAF;
  EXPECT_EQ(ChosenFormat(g, WriteFile("anim.bin", flic)), 0x8u);
  std::vector<BYTE> dsm = {'D', 'S', 'M', 'S', 0, 0, 0, 0};
  EXPECT_EQ(ChosenFormat(g, WriteFile("dsm.bin", dsm)), 0x20000u);
  std::vector<BYTE> cdxa = Riff("CDXA");
  EXPECT_EQ(ChosenFormat(g, WriteFile("cdxa.dat", cdxa)), 0x2u);
  std::string vts = "DVDVIDEO-VTS";
  EXPECT_EQ(ChosenFormat(g, WriteFile("vts.ifo", std::vector<BYTE>(vts.begin(), vts.end()))), 0x4u);
  std::vector<BYTE> roq = {0x84, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x1E, 0x00, 0, 0};
  EXPECT_EQ(ChosenFormat(g, WriteFile("roq.bin", roq)), 0x800u);
}

TEST(SourceChoice, PlatformSignatureTableAndFileReader) {
  // Nothing of the system's reads WAVE: the platform's signature table
  // names its file reader with the WAVE type.
  CComPtr<IGraphBuilder2> g(new CFGManagerCustom(NAME("custom"), nullptr, ~0u, ~0u));
  CLSID clsid = GUID_NULL;
  EXPECT_EQ(ChosenFormat(g, Data("wav-s16.wav"), &clsid), kSourceFormatRegistry);
  EXPECT_EQ(clsid, CLSID_AsyncReader);
  CComPtr<IBaseFilter> source;
  ASSERT_EQ(g->AddSourceFilter(Data("wav-s16.wav").c_str(), L"wav", &source), S_OK);
  CMediaType mt;
  ASSERT_EQ(GetFirstPinByDirection(source, PINDIR_OUTPUT)->ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);
  CComPtr<IEnumMediaTypes> e;
  GetFirstPinByDirection(source, PINDIR_OUTPUT)->EnumMediaTypes(&e);
  AM_MEDIA_TYPE* pmt = nullptr;
  ASSERT_EQ(e->Next(1, &pmt, nullptr), S_OK);
  EXPECT_EQ(pmt->subtype, MEDIASUBTYPE_WAVE);
  DeleteMediaType(pmt);

  // The ASF row is tried first; without its filter the file reader takes
  // the file.
  EXPECT_EQ(ChosenFormat(g, Data("asf-wmv2-wmav2.wmv"), &clsid), kSourceFormatRegistry);
  EXPECT_EQ(clsid, CLSID_AsyncReader);
}

TEST(SourceChoice, UrlsOpenNoFile) {
  CComPtr<IGraphBuilder2> g(new AllSourcesManager);
  auto* m = static_cast<CFGManager*>(g.p);
  CFGFilterList list;
  ASSERT_EQ(m->EnumSourceFilters(L"  http://localhost/stream.mp3 ", list), S_OK);
  std::vector<CLSID> order;
  for (auto pos = list.GetHeadPosition(); pos;) order.push_back(list.GetNext(pos)->GetCLSID());
  ASSERT_EQ(order.size(), 3u);
  GUID shoutcast;
  GuidFromString("68F540E9-766F-44D2-ABB2-E26CC63E7A79", shoutcast);
  EXPECT_EQ(order[0], shoutcast);
  EXPECT_EQ(order[1], CLSID_URLReader);
  EXPECT_EQ(order[2], CLSID_AsyncReader);
  EXPECT_EQ(m->EnumSourceFilters(nullptr, list), E_POINTER);

  // A colon inside a path is no protocol.
  std::vector<BYTE> ac3 = {0x0B, 0x77, 0, 0};
  std::wstring path = WriteFile("odd:name.bin", ac3);
  EXPECT_EQ(ChosenFormat(g, path), 0x20u);
  EXPECT_EQ(ChosenFormat(g, L"file://" + path), 0x20u);
}

TEST(SourceChoice, NoSourceLoadsLeavesTheGraphEmpty) {
  CComPtr<IGraphBuilder2> g(new AllSourcesManager(E_FAIL));
  CComPtr<IBaseFilter> source;
  EXPECT_EQ(g->AddSourceFilter(L"/nonexistent/dir/file.xyz", L"x", &source), VFW_E_CANNOT_LOAD_SOURCE_FILTER);
  EXPECT_FALSE(source);
  EXPECT_TRUE(gt::FilterNames(g).empty());
  // A record of a filter without IFileSourceFilter is skipped.
  gt::TestRecord plain(CLSID_AsyncReader, L"", kMeritLow, {});
  EXPECT_EQ(static_cast<CFGManager*>(g.p)->AddSourceFilterFromRecord(&plain, L"x", L"x", &source), E_NOINTERFACE);
  EXPECT_EQ(static_cast<CFGManager*>(g.p)->AddSourceFilterFromRecord(&plain, nullptr, L"x", &source), E_POINTER);
}

TEST(SourceChoice, AviSwapWithoutSplitterKeepsTheSource) {
  // The system's AVI source loads; the platform splitter it would give way
  // to is not there, so the AVI source stays, under its name.
  CComPtr<IGraphBuilder2> g(new AllSourcesManager);
  CComPtr<IBaseFilter> source;
  DWORD format = 0;
  ASSERT_EQ(static_cast<CFGManager*>(g.p)->AddSourceFilterWithFormat(Data("avi-xvid-pcm.avi").c_str(), L"movie",
                                                                     &source, &format),
            S_OK);
  EXPECT_EQ(format, 0x200u);
  EXPECT_EQ(GetFilterClsid(source), CLSID_AviSourceFilter);
  EXPECT_EQ(gt::FilterNames(g), std::vector<std::wstring>{L"movie"});
  g->RemoveFilter(source);
}

PELLOMAR_DEFINE_GUID(CLSID_TestAviSplitter, "E0000000-0000-4000-8000-0000000000AB");

HRESULT CreateTestAviSplitter(IUnknown* outer, REFIID riid, void** ppv) {
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* f = new gt::TestFilter(CLSID_AviSplitter,
                               {{L"input", PINDIR_INPUT, {{MEDIATYPE_Stream, GUID_NULL}}},
                                {L"Stream 00", PINDIR_OUTPUT, {{MEDIATYPE_Video, SUB_TEST}}}},
                               false);
  f->AddRef();
  HRESULT hr = f->QueryInterface(riid, ppv);
  f->Release();
  return hr;
}

TEST(SourceChoice, AviSwapToReaderAndSplitter) {
  ASSERT_TRUE(SUCCEEDED(CoRegisterClass(CLSID_AviSplitter, &CreateTestAviSplitter)));
  {
    CComPtr<IGraphBuilder2> g(new AllSourcesManager);
    CComPtr<IBaseFilter> source;
    ASSERT_EQ(g->AddSourceFilter(Data("avi-mjpeg-mp3.avi").c_str(), L"movie", &source), S_OK);
    EXPECT_EQ(GetFilterClsid(source), CLSID_AviSplitter);
    EXPECT_EQ(gt::FilterNames(g), (std::vector<std::wstring>{L"AVI Splitter", L"movie"}));
    CComPtr<IBaseFilter> reader;
    ASSERT_EQ(g->FindFilterByName(L"movie", &reader), S_OK);
    EXPECT_EQ(GetFilterClsid(reader), CLSID_AsyncReader);
    EXPECT_EQ(GetUpstreamFilter(source), reader.p);
    g->RemoveFilter(source);
    g->RemoveFilter(reader);
  }
  CoRevokeClass(CLSID_AviSplitter);
}

}  // namespace
