// The Windows Media runtime stand-in: the module, the system profiles and
// the ASF writer with every profile, its files checked with ffprobe and
// decoded with ffmpeg.
#include <cstdio>
#include <memory>

#include "platform/wmf/AsfWriter.h"
#include "platform/wmf/ProfileManager.h"
#include "platform/wmf/WmfRegister.h"
#include "platform/win32/Module.h"
#include "tests/conversion/PushSource.h"
#include "tests/platform/codecs/CodecTestGraph.h"

namespace {

std::string Shell(const std::string& cmd) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p.get())) out += buf;
  return out;
}

class WmfTest : public CodecTest {
 protected:
  void SetUp() override {
    CodecTest::SetUp();
    ASSERT_EQ(WmfRegisterPlatform(), S_OK);
  }

  // Each stream of the source to the first writer pin that takes it; the
  // number of streams connected, -1 when one found no pin.
  int ConnectStreams(IBaseFilter* source, IBaseFilter* writer) {
    graph->AddFilter(source, L"Source");
    graph->AddFilter(writer, L"Writer");
    int pins = 0;
    for (const wchar_t* name : {L"Video", L"Audio"}) {
      IPin* out = nullptr;
      if (source->FindPin(name, &out) != S_OK) continue;
      out->Release();
      CComPtr<IEnumPins> e;
      writer->EnumPins(&e);
      IPin* in = nullptr;
      bool connected = false;
      while (!connected && e->Next(1, &in, nullptr) == S_OK) {
        connected = SUCCEEDED(graph->ConnectDirect(out, in, nullptr));
        in->Release();
      }
      if (!connected) return -1;
      ++pins;
    }
    return pins;
  }
};

TEST_F(WmfTest, ModuleGivesProfilesOfVersion8) {
  HMODULE m = LoadLibraryA("wmvcore.dll");
  ASSERT_TRUE(m);
  ASSERT_TRUE(GetProcAddress(m, "WMCreateWriter"));
  auto create = reinterpret_cast<HRESULT (*)(IWMProfileManager**)>(
      reinterpret_cast<void (*)()>(GetProcAddress(m, "WMCreateProfileManager")));
  ASSERT_TRUE(create);
  CComPtr<IWMProfileManager> pm;
  ASSERT_EQ(create(&pm), S_OK);
  CComQIPtr<IWMProfileManager2> pm2(pm);
  ASSERT_TRUE(pm2);
  ASSERT_EQ(pm2->SetSystemProfileVersion(WMT_VER_8_0), S_OK);
  DWORD count = 0;
  ASSERT_EQ(pm->GetSystemProfileCount(&count), S_OK);
  ASSERT_GT(count, 2u);
  bool has768 = false, has1500 = false, audioOnly = false;
  for (DWORD i = 0; i < count; ++i) {
    CComPtr<IWMProfile> p;
    ASSERT_EQ(pm->LoadSystemProfile(i, &p), S_OK);
    DWORD len = 0;
    ASSERT_EQ(p->GetName(nullptr, &len), S_OK);
    std::wstring name(len, L'\0');
    DWORD shortLen = 1;
    EXPECT_EQ(p->GetName(name.data(), &shortLen), ASF_E_BUFFERTOOSMALL);
    ASSERT_EQ(p->GetName(name.data(), &len), S_OK);
    has768 |= name.find(L"768") != std::wstring::npos;
    has1500 |= name.find(L"1500") != std::wstring::npos;
    CComQIPtr<IWMProfileContents> c(p);
    WmProfileContents contents;
    ASSERT_EQ(c->GetContents(&contents), S_OK);
    audioOnly |= !contents.video && contents.audio;
  }
  EXPECT_TRUE(has768 && has1500 && audioOnly);
  CComPtr<IWMProfile> none;
  EXPECT_EQ(pm->LoadSystemProfile(count, &none), E_INVALIDARG);
  // Other versions have no system profiles here.
  ASSERT_EQ(pm2->SetSystemProfileVersion(WMT_VER_7_0), S_OK);
  ASSERT_EQ(pm->GetSystemProfileCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

class WriterProfileTest : public WmfTest, public ::testing::WithParamInterface<int> {};

TEST_P(WriterProfileTest, WritesAnAsfFileFfmpegReads) {
  const int index = GetParam();
  const SystemProfile& sp = SystemProfiles()[static_cast<size_t>(index)];
  CComPtr<IWMProfileManager> pm;
  ASSERT_EQ(WMCreateProfileManager(&pm), S_OK);
  CComPtr<IWMProfile> profile;
  ASSERT_EQ(pm->LoadSystemProfile(static_cast<DWORD>(index), &profile), S_OK);

  auto writer = Create(CLSID_WMAsfWriter);
  ASSERT_TRUE(writer);
  CLSID id{};
  ASSERT_EQ(writer->GetClassID(&id), S_OK);
  EXPECT_EQ(id, CLSID_WMAsfWriter);
  const std::string path = (dir_ / "out.wmv").string();
  CComQIPtr<IFileSinkFilter2> sinkFile(writer);
  ASSERT_EQ(sinkFile->SetFileName(Utf8ToWide(path).c_str(), nullptr), S_OK);
  ASSERT_EQ(sinkFile->SetMode(AM_FILE_OVERWRITE), S_OK);
  CComQIPtr<IConfigAsfWriter> config(writer);
  ASSERT_EQ(config->ConfigureFilterUsingProfile(profile), S_OK);

  PushSourceConfig cfg;
  cfg.width = 176;
  cfg.height = 144;
  cfg.frames = 50;
  cfg.video = sp.contents.video;
  cfg.sampleRate = 32000;  // not the profile's: the writer resamples
  auto source = CPushSource::Create(cfg);
  ASSERT_EQ(ConnectStreams(source, writer), (sp.contents.video ? 1 : 0) + 1);
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_EQ(WaitForEnd(), S_OK);
  CComQIPtr<IMediaSeeking> seeking(writer);
  LONGLONG pos = 0;
  ASSERT_EQ(seeking->GetCurrentPosition(&pos), S_OK);
  EXPECT_GE(pos, 19000000);
  control->Stop();

  const std::string probe = Shell("ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels "
                                "-of compact=p=0 '" + path + "'");
  if (sp.contents.video) {
    const int w = sp.contents.width ? sp.contents.width : 176, h = sp.contents.height ? sp.contents.height : 144;
    EXPECT_NE(probe.find("codec_name=wmv2|width=" + std::to_string(w) + "|height=" + std::to_string(h)),
              std::string::npos)
        << probe;
  } else {
    EXPECT_EQ(probe.find("wmv2"), std::string::npos) << probe;
  }
  EXPECT_NE(probe.find("codec_name=wmav2|sample_rate=" + std::to_string(sp.contents.sampleRate) +
                       "|channels=" + std::to_string(sp.contents.channels)),
            std::string::npos)
      << probe;
  // The whole file decodes without a complaint and lasts the two seconds.
  EXPECT_EQ(Shell("ffmpeg -v error -i '" + path + "' -f null - 2>&1"), "");
  const double seconds = std::atof(
      Shell("ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 '" + path + "'").c_str());
  EXPECT_NEAR(seconds, 2.0, 0.3);
}

INSTANTIATE_TEST_SUITE_P(EveryProfile, WriterProfileTest,
                         ::testing::Range(0, static_cast<int>(SystemProfiles().size())));

TEST_F(WmfTest, ExistingFileNeedsOverwriteMode) {
  const std::string path = (dir_ / "keep.wmv").string();
  { FILE* f = fopen(path.c_str(), "wb"); ASSERT_TRUE(f); fputs("keep", f); fclose(f); }
  auto writer = Create(CLSID_WMAsfWriter);
  CComQIPtr<IFileSinkFilter2> sinkFile(writer);
  ASSERT_EQ(sinkFile->SetFileName(Utf8ToWide(path).c_str(), nullptr), S_OK);
  PushSourceConfig cfg;
  cfg.frames = 5;
  auto source = CPushSource::Create(cfg);
  graph->AddFilter(source, L"Source");
  graph->AddFilter(writer, L"Writer");
  IPin* out = nullptr;
  ASSERT_EQ(source->FindPin(L"Video", &out), S_OK);
  out->Release();
  ASSERT_EQ(graph->ConnectDirect(out, PinOf(writer, PINDIR_INPUT), nullptr), S_OK);
  EXPECT_TRUE(FAILED(control->Pause()));
  control->Stop();
  EXPECT_EQ(std::filesystem::file_size(path), 4u);
}

// A picture time beyond what ASF keeps (32-bit milliseconds): the run fails
// naming the time, not the disk.
TEST_F(WmfTest, ATimeNoAsfFileHoldsFailsNamingIt) {
  auto writer = Create(CLSID_WMAsfWriter);
  CComQIPtr<IFileSinkFilter2> sinkFile(writer);
  ASSERT_EQ(sinkFile->SetFileName(Utf8ToWide((dir_ / "wild.wmv").string()).c_str(), nullptr), S_OK);
  PushSourceConfig cfg;
  cfg.frames = 5;
  cfg.videoStart = 2561047LL * 3600 * 10000000;
  ASSERT_EQ(ConnectStreams(CPushSource::Create(cfg), writer), 2);
  ASSERT_EQ(control->Run(), S_OK);
  EXPECT_EQ(WaitForEnd(), E_INVALIDARG);
  control->Stop();
  const std::string text = static_cast<CWMAsfWriter*>(writer.p)->GetRunError();
  EXPECT_NE(text.find("video sample at 2561047:00:00.000"), std::string::npos) << text;
}

TEST_F(WmfTest, ReconfigureRecreatesPins) {
  auto writer = Create(CLSID_WMAsfWriter);
  CComQIPtr<IConfigAsfWriter> config(writer);
  auto count = [&] {
    CComPtr<IEnumPins> e;
    writer->EnumPins(&e);
    IPin* p = nullptr;
    int n = 0;
    while (e->Next(1, &p, nullptr) == S_OK) {
      ++n;
      p->Release();
    }
    return n;
  };
  EXPECT_EQ(count(), 2);
  ASSERT_EQ(config->ConfigureFilterUsingProfileId(6), S_OK);  // audio only
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(config->ConfigureFilterUsingProfileId(1000), E_INVALIDARG);
}

}  // namespace
