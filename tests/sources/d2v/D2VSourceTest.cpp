// The D2V source filter: loading, its media type and frame time, delivery
// of every frame with its time, a downstream type of another size, skipping
// frames on lateness, and the graph manager choosing it for a project.
#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/FilterHelpers.h"
#include "graph/registry/FGManagerCustom.h"
#include "sources/d2v/D2VSource.h"
#include "tests/foundation/ToyFilters.h"
#include "tests/graph/GraphTestFilters.h"
#include "tests/sources/d2v/D2VTestProject.h"

namespace {

namespace fs = std::filesystem;

::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new gt::PlatformEnvironment);

std::string DataPath(const std::string& name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

// A project for the closed-GOP sample (50 pictures, 48 frames).
std::wstring Project(const std::string& name, int frameRate = 25000, const std::string& extension = ".d2v") {
  const fs::path dir = fs::path(::testing::TempDir()) / "d2v-source";
  fs::create_directories(dir);
  const std::string path = (dir / (name + extension)).string();
  D2VProjectOptions o;
  o.frameRate = frameRate;
  WriteD2VProject(path, {DataPath("d2v-cgop.m2v")}, o);
  return std::wstring(path.begin(), path.end());
}

struct Loaded {
  CD2VSource* source = nullptr;
  CComPtr<IBaseFilter> hold;
  CD2VStream* stream = nullptr;
};

HRESULT Load(Loaded& l, const std::wstring& file) {
  HRESULT hr = E_FAIL;
  l.source = new CD2VSource(nullptr, &hr);
  l.hold = toy::Hold(l.source);
  EXPECT_EQ(hr, S_OK);
  CComPtr<IFileSourceFilter> fs;
  EXPECT_EQ(l.hold->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&fs)), S_OK);
  hr = fs->Load(file.c_str(), nullptr);
  l.stream = l.source->GetPinCount() ? static_cast<CD2VStream*>(l.source->GetPin(0)) : nullptr;
  return hr;
}

TEST(D2VSource, LoadsAProjectAndOffersYuy2) {
  Loaded l;
  ASSERT_EQ(Load(l, Project("types")), S_OK);
  ASSERT_NE(l.stream, nullptr);
  ULONG flags = 0;
  CComPtr<IAMFilterMiscFlags> misc;
  ASSERT_EQ(l.hold->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void**>(&misc)), S_OK);
  flags = misc->GetMiscFlags();
  EXPECT_EQ(flags, AM_FILTER_MISC_FLAGS_IS_SOURCE);

  CMediaType mt;
  ASSERT_EQ(l.stream->GetMediaType(0, &mt), S_OK);
  EXPECT_EQ(*mt.Type(), MEDIATYPE_Video);
  EXPECT_EQ(*mt.Subtype(), MEDIASUBTYPE_YUY2);
  ASSERT_EQ(*mt.FormatType(), FORMAT_VideoInfo);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.Format());
  EXPECT_EQ(vih->AvgTimePerFrame, 400000);
  EXPECT_EQ(vih->bmiHeader.biSize, 40u);
  EXPECT_EQ(vih->bmiHeader.biWidth, 176);
  EXPECT_EQ(vih->bmiHeader.biHeight, 144);
  EXPECT_EQ(vih->bmiHeader.biBitCount, 16);
  EXPECT_EQ(vih->bmiHeader.biCompression, MAKEFOURCC('Y', 'U', 'Y', '2'));
  EXPECT_EQ(vih->bmiHeader.biSizeImage, 176u * 144 * 2);
  EXPECT_EQ(mt.GetSampleSize(), 176u * 144 * 2);
  EXPECT_FALSE(mt.IsTemporalCompressed());
  EXPECT_EQ(l.stream->CheckMediaType(&mt), S_OK);
  EXPECT_EQ(l.stream->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
  EXPECT_EQ(l.stream->GetMediaType(-1, &mt), E_INVALIDARG);
  CMediaType rgb = mt;
  rgb.SetSubtype(&MEDIASUBTYPE_RGB24);
  EXPECT_EQ(l.stream->CheckMediaType(&rgb), E_INVALIDARG);
  CMediaType vih2 = mt;
  vih2.SetFormatType(&FORMAT_VideoInfo2);
  EXPECT_EQ(l.stream->CheckMediaType(&vih2), E_INVALIDARG);
}

TEST(D2VSource, FrameTimeAndDurationFromTheFrameRate) {
  const struct {
    int rate;
    REFERENCE_TIME frameTime;
  } cases[] = {{25000, 400000}, {29970, 333667}, {23976, 417083}, {1, 10000000000LL}};
  for (const auto& c : cases) {
    Loaded l;
    ASSERT_EQ(Load(l, Project("rate" + std::to_string(c.rate), c.rate)), S_OK);
    CComPtr<IMediaSeeking> seeking;
    ASSERT_EQ(l.stream->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)), S_OK);
    LONGLONG duration = 0;
    EXPECT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, c.frameTime * 48) << c.rate;
  }
}

TEST(D2VSource, RefusesWhatDoesNotLoad) {
  const fs::path dir = fs::path(::testing::TempDir()) / "d2v-source";
  fs::create_directories(dir);
  // Not a project; a project of two pictures (no frame is left).
  const std::string bad = (dir / "bad.d2v").string();
  WriteBytes(bad, {'n', 'o', 'p', 'e'});
  const std::string tiny = (dir / "tiny.d2v").string();
  D2VScan scan = ScanForD2V({DataPath("d2v-cgop.m2v")}, false);
  scan.flags.resize(2);
  scan.gops.resize(1);
  const std::string text = D2VProjectText({DataPath("d2v-cgop.m2v")}, scan, D2VProjectOptions{});
  WriteBytes(tiny, std::vector<uint8_t>(text.begin(), text.end()));
  for (const std::string& path : {bad, tiny, (dir / "missing.d2v").string()}) {
    Loaded l;
    EXPECT_EQ(Load(l, std::wstring(path.begin(), path.end())), E_FAIL) << path;
    EXPECT_EQ(l.source->GetPinCount(), 0) << path;
  }
  Loaded twice;
  const std::wstring good = Project("twice");
  ASSERT_EQ(Load(twice, good), S_OK);
  CComPtr<IFileSourceFilter> fs;
  ASSERT_EQ(twice.hold->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&fs)), S_OK);
  EXPECT_EQ(fs->Load(good.c_str(), nullptr), VFW_E_ALREADY_CONNECTED);
  LPOLESTR name = nullptr;
  ASSERT_EQ(fs->GetCurFile(&name, nullptr), S_OK);
  EXPECT_EQ(std::wstring(name), good);
  CoTaskMemFree(name);
}

// A type of the output's size, or larger (wider rows, more of them): each
// row of the picture lands at the type's row step, and no more rows than
// the picture has are written.
struct Downstream {
  LONG width, height;
};

class D2VSourceDelivery : public ::testing::TestWithParam<Downstream> {};

TEST_P(D2VSourceDelivery, EveryFrameWithItsTime) {
  const Downstream d = GetParam();
  const std::wstring file = Project("deliver");
  Loaded l;
  ASSERT_EQ(Load(l, file), S_OK);
  CMediaType mt;
  ASSERT_EQ(l.stream->GetMediaType(0, &mt), S_OK);
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.Format());
  vih->bmiHeader.biWidth = d.width;
  vih->bmiHeader.biHeight = d.height;
  vih->bmiHeader.biSizeImage = static_cast<DWORD>(d.width * d.height * 2);

  toy::Sink* sink = new toy::Sink();
  CComPtr<IBaseFilter> snk = toy::Hold(sink);
  ASSERT_EQ(l.stream->Connect(sink->In(), &mt), S_OK);
  ASSERT_EQ(snk->Run(0), S_OK);
  ASSERT_EQ(l.hold->Run(0), S_OK);
  ASSERT_TRUE(sink->WaitFor(48, true));
  l.hold->Stop();
  snk->Stop();
  const std::vector<toy::Received> got = sink->Samples();
  ASSERT_EQ(got.size(), 48u);
  EXPECT_EQ(sink->ends, 1);

  CD2VDecoder engine;
  const std::string path(file.begin(), file.end());
  ASSERT_TRUE(engine.Open(path.c_str(), CD2VDecoder::kYuy2));
  std::vector<uint8_t> frame(engine.FrameBytes());
  const size_t row = 176 * 2, step = static_cast<size_t>(d.width) * 2;
  for (uint32_t f = 0; f < 48; ++f) {
    const toy::Received& s = got[f];
    EXPECT_EQ(s.start, f * 400000LL);
    EXPECT_EQ(s.stop, (f + 1) * 400000LL);
    EXPECT_TRUE(s.sync);
    ASSERT_EQ(s.length, static_cast<LONG>(step * 144)) << "frame " << f;
    ASSERT_TRUE(engine.GetFrame(frame.data(), f, static_cast<ptrdiff_t>(row)));
    for (size_t r = 0; r < 144; ++r)
      ASSERT_EQ(std::memcmp(s.data.data() + r * step, frame.data() + r * row, row), 0) << "frame " << f << " row " << r;
  }
  l.stream->Disconnect();
  sink->In()->Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Types, D2VSourceDelivery,
                         ::testing::Values(Downstream{176, 144}, Downstream{208, 144}, Downstream{192, 160}));

// A late renderer makes the stream skip whole frames of its lateness.
class ProbeStream : public CD2VStream {
 public:
  using CD2VStream::CD2VStream;
  REFERENCE_TIME Position() const { return m_rtPosition; }
};

TEST(D2VSource, LatenessSkipsWholeFrames) {
  const std::wstring file = Project("late");
  const struct {
    REFERENCE_TIME late;
    int skipped;
  } cases[] = {{0, 0}, {1, 0}, {1000000, 2}, {400000, 1}, {99999999, 249}, {100000000, 0}, {-400000, 0}};
  for (const auto& c : cases) {
    HRESULT hr = S_OK;
    CSource* source = new CSource(NAME("probe"), nullptr, CLSID_D2VSource, &hr);
    CComPtr<IBaseFilter> hold = toy::Hold(source);
    ProbeStream* stream = new ProbeStream(file.c_str(), source, &hr);
    ASSERT_EQ(hr, S_OK);
    const REFERENCE_TIME before = stream->Position();
    Quality q{Famine, 1000, c.late, 0};
    EXPECT_EQ(stream->Notify(hold, q), S_OK);
    EXPECT_EQ(stream->Position() - before, c.skipped * 400000LL) << "lateness " << c.late;
  }
}

// The graph manager picks the source by the check bytes of the project's
// first line, whatever the extension.
TEST(D2VSource, ChosenForProjects) {
  CComPtr<CFGManagerCustom> manager(new CFGManagerCustom(NAME("custom"), nullptr, 0xFFFFFFFF, 0xFFFFFFFF));
  for (const char* extension : {".d2v", ".txt"}) {
    const std::wstring file = Project("chosen", 25000, extension);
    CComPtr<IBaseFilter> source;
    DWORD format = 0;
    ASSERT_EQ(manager->AddSourceFilterWithFormat(file.c_str(), L"src", &source, &format), S_OK) << extension;
    EXPECT_EQ(format, 0x10u);
    EXPECT_EQ(GetFilterClsid(source), CLSID_D2VSource);
    manager->RemoveFilter(source);
  }
}

}  // namespace
