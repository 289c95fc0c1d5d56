#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/AsyncSource.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/FilterData.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/CodePage.h"
#include "tests/platform/dshow/RegistryFixture.h"

namespace {

SignatureReader Over(const std::vector<BYTE>& bytes) {
  return [&bytes](LONGLONG offset, DWORD length, BYTE* buffer) {
    if (offset < 0 || static_cast<size_t>(offset) + length > bytes.size()) return false;
    std::memcpy(buffer, bytes.data() + offset, length);
    return true;
  };
}

bool Check(const wchar_t* pattern, const std::vector<BYTE>& bytes) {
  return CheckBytesPattern(pattern, static_cast<LONGLONG>(bytes.size()), Over(bytes));
}

std::wstring DataFile(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return dir ? Utf8ToWide(std::string(dir) + "/" + name) : std::wstring();
}

class AsyncSourceTest : public FreshRegistryTest {
 protected:
  void SetUp() override {
    FreshRegistryTest::SetUp();
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  }

  std::wstring Write(const char* name, const std::vector<BYTE>& bytes) {
    std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return Utf8ToWide(p.string());
  }

  CComPtr<IBaseFilter> Loaded(const std::wstring& file, const AM_MEDIA_TYPE* mt, HRESULT expect = S_OK) {
    CComPtr<IBaseFilter> f;
    EXPECT_EQ(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_ALL, IID_IBaseFilter,
                               reinterpret_cast<void**>(&f)),
              S_OK);
    if (!f) return f;
    CComQIPtr<IFileSourceFilter> load(f);
    EXPECT_EQ(load->Load(file.c_str(), mt), expect);
    return f;
  }

  // The subtype the reader announces after a load.
  GUID LoadedSubtype(const std::wstring& file) {
    CComPtr<IBaseFilter> f = Loaded(file, nullptr);
    if (!f) return GUID_NULL;
    CComQIPtr<IFileSourceFilter> load(f);
    LPOLESTR name = nullptr;
    AM_MEDIA_TYPE mt{};
    EXPECT_EQ(load->GetCurFile(&name, &mt), S_OK);
    EXPECT_EQ(std::wstring(name ? name : L""), file);
    CoTaskMemFree(name);
    EXPECT_EQ(mt.majortype, MEDIATYPE_Stream);
    GUID sub = mt.subtype;
    FreeMediaType(mt);
    return sub;
  }
};

const std::vector<BYTE> kAviHead = {'R', 'I', 'F', 'F', 0x10, 0, 0, 0, 'A', 'V', 'I', ' ', 'L', 'I', 'S', 'T'};

}  // namespace

// The pattern language the registry table and the system's source choice
// share.
TEST(CheckBytes, PatternGroupsMasksAndBounds) {
  EXPECT_TRUE(Check(L"0,4,,52494646,8,4,,41564920", kAviHead));
  // The value no longer fits its length: no match.
  EXPECT_FALSE(Check(L"0,4,,52494646,8,4,,415649", kAviHead));
  // -4 counts back from the end.
  EXPECT_TRUE(Check(L"-4,4,,4C495354", kAviHead));
  // Five fields: a stray field fails the pattern.
  EXPECT_FALSE(Check(L"0,4,,52494646,8", kAviHead));
  // The mask is extended with F; FF F3 passes FFE0, FF 13 does not.
  EXPECT_TRUE(Check(L"0,2,FFE0,FFE0", {0xFF, 0xF3}));
  EXPECT_FALSE(Check(L"0,2,FFE0,FFE0", {0xFF, 0x13}));
  EXPECT_TRUE(Check(L" 0 , 2 , F0 , F0F3 ", {0xFF, 0xF3}));
  // Offsets outside the file and digits that are not hexadecimal fail
  // instead of reading stale or undecoded bytes.
  EXPECT_FALSE(Check(L"-40,4,,52494646", kAviHead));
  EXPECT_FALSE(Check(L"14,4,,53540000", kAviHead));
  EXPECT_FALSE(Check(L"0,4,,5249464G", kAviHead));
  EXPECT_FALSE(Check(L"0,4,ZZ,52494646", kAviHead));
  EXPECT_FALSE(Check(L"x,4,,52494646", kAviHead));
  EXPECT_FALSE(Check(L"", kAviHead));
}

TEST_F(AsyncSourceTest, LoadWithoutATypeReadsTheSignatureTable) {
  // Files the test writes, so the check does not depend on the samples.
  EXPECT_EQ(LoadedSubtype(Write("a.bin", kAviHead)), MEDIASUBTYPE_Avi);
  EXPECT_EQ(LoadedSubtype(Write("w.bin", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'})), MEDIASUBTYPE_WAVE);
  EXPECT_EQ(LoadedSubtype(Write("m.bin", {0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0, 1})),
            MEDIASUBTYPE_MPEG1System);
  EXPECT_EQ(LoadedSubtype(Write("m2.bin", {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8})),
            MEDIASUBTYPE_MPEG2_PROGRAM);
  EXPECT_EQ(LoadedSubtype(Write("asf.bin", {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA,
                                            0x00, 0x62, 0xCE, 0x6C, 0, 0})),
            MEDIASUBTYPE_Asf);
  EXPECT_EQ(LoadedSubtype(Write("t.txt", {'h', 'e', 'l', 'l', 'o'})), GUID_NULL);
  EXPECT_EQ(LoadedSubtype(Write("empty.bin", {})), GUID_NULL);
}

TEST_F(AsyncSourceTest, LoadWithoutATypeOnTheSamples) {
  if (!std::getenv("PELLOMAR_TEST_DATA")) GTEST_SKIP() << "no sample folder";
  EXPECT_EQ(LoadedSubtype(DataFile("avi-xvid-pcm.avi")), MEDIASUBTYPE_Avi);
  EXPECT_EQ(LoadedSubtype(DataFile("wav-s16.wav")), MEDIASUBTYPE_WAVE);
  EXPECT_EQ(LoadedSubtype(DataFile("mpeg1-ps.mpg")), MEDIASUBTYPE_MPEG1System);
  EXPECT_EQ(LoadedSubtype(DataFile("asf-wmv2-wmav2.wmv")), MEDIASUBTYPE_Asf);
  EXPECT_EQ(LoadedSubtype(DataFile("mkv-h264-vorbis.mkv")), GUID_NULL);
}

TEST_F(AsyncSourceTest, LoadWithATypeAndReads) {
  std::vector<BYTE> bytes(1000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 7);
  std::wstring file = Write("data.bin", bytes);
  AM_MEDIA_TYPE given{};
  given.majortype = MEDIATYPE_Stream;
  given.subtype = MEDIASUBTYPE_MPEG1Video;
  CComPtr<IBaseFilter> f = Loaded(file, &given);
  ASSERT_TRUE(f);
  CComQIPtr<IFileSourceFilter> load(f);
  AM_MEDIA_TYPE mt{};
  LPOLESTR name = nullptr;
  ASSERT_EQ(load->GetCurFile(&name, &mt), S_OK);
  CoTaskMemFree(name);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_MPEG1Video);
  FreeMediaType(mt);
  // One load per filter.
  EXPECT_EQ(load->Load(file.c_str(), nullptr), E_UNEXPECTED);

  CComPtr<IEnumPins> pins;
  ASSERT_EQ(f->EnumPins(&pins), S_OK);
  CComPtr<IPin> out;
  ASSERT_EQ(pins->Next(1, &out, nullptr), S_OK);
  PIN_DIRECTION dir;
  ASSERT_EQ(out->QueryDirection(&dir), S_OK);
  EXPECT_EQ(dir, PINDIR_OUTPUT);
  CComQIPtr<IAsyncReader> reader(out);
  ASSERT_TRUE(reader);
  LONGLONG total = 0, available = 0;
  ASSERT_EQ(reader->Length(&total, &available), S_OK);
  EXPECT_EQ(total, 1000);
  EXPECT_EQ(available, 1000);
  std::vector<BYTE> got(16, 0xEE);
  ASSERT_EQ(reader->SyncRead(500, 16, got.data()), S_OK);
  EXPECT_EQ(std::vector<BYTE>(bytes.begin() + 500, bytes.begin() + 516), got);
  // Past the end: what is there, and S_FALSE.
  std::fill(got.begin(), got.end(), 0xEE);
  EXPECT_EQ(reader->SyncRead(990, 16, got.data()), S_FALSE);
  EXPECT_EQ(std::vector<BYTE>(bytes.begin() + 990, bytes.end()), std::vector<BYTE>(got.begin(), got.begin() + 10));
  EXPECT_EQ(got[10], 0xEE);
  EXPECT_EQ(reader->SyncRead(-1, 4, got.data()), E_INVALIDARG);
  EXPECT_EQ(reader->SyncRead(0, -4, got.data()), E_INVALIDARG);
  EXPECT_EQ(reader->SyncRead(0, 4, nullptr), E_POINTER);

  // A flushing reader sends waiters away instead of leaving them blocked.
  ASSERT_EQ(reader->BeginFlush(), S_OK);
  IMediaSample* sample = nullptr;
  DWORD_PTR user = 0;
  EXPECT_EQ(reader->WaitForNext(INFINITE, &sample, &user), VFW_E_WRONG_STATE);
  ASSERT_EQ(reader->EndFlush(), S_OK);
  EXPECT_EQ(reader->WaitForNext(0, &sample, &user), VFW_E_TIMEOUT);
}

TEST_F(AsyncSourceTest, LoadFailuresAreReported) {
  CComPtr<IBaseFilter> f = Loaded((dir_ / "missing.avi").wstring(), nullptr,
                                  HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(f);
  CComQIPtr<IFileSourceFilter> load(f);
  LPOLESTR name = nullptr;
  EXPECT_EQ(load->GetCurFile(&name, nullptr), E_FAIL);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(load->Load(nullptr, nullptr), E_POINTER);
  // A folder is no file.
  CComPtr<IBaseFilter> g = Loaded(dir_.wstring(), nullptr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
}

// The start-up registration: class names, and the renderers found by the
// mapper at the lowest merit the system's graph manager keeps, for the
// decoded types they take and for nothing compressed.
TEST_F(AsyncSourceTest, RegistrationNamesClassesAndRegistersTheRenderers) {
  HKEY key = nullptr;
  std::wstring path = L"CLSID\\" + GuidToStringW(CLSID_FilterGraph);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  std::wstring name;
  EXPECT_TRUE(dshow_reg::GetString(key, L"", name));
  RegCloseKey(key);
  EXPECT_EQ(name, L"Filter Graph");

  CComPtr<IFilterMapper2> mapper;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_ALL, IID_IFilterMapper2,
                             reinterpret_cast<void**>(&mapper)),
            S_OK);
  auto count = [&](const GUID& major, const GUID& subtype, DWORD merit) {
    GUID pair[2] = {major, subtype};
    CComPtr<IEnumMoniker> e;
    EXPECT_EQ(mapper->EnumMatchingFilters(&e, 0, FALSE, merit, TRUE, 1, pair, nullptr, nullptr, FALSE, FALSE, 0,
                                          nullptr, nullptr, nullptr),
              S_OK);
    int n = 0;
    for (CComPtr<IMoniker> m; e && e->Next(1, &m, nullptr) == S_OK;) ++n;
    return n;
  };
  struct Case {
    GUID major, subtype;
    DWORD merit;
    int found;
  };
  const Case cases[] = {
      {MEDIATYPE_Video, MEDIASUBTYPE_RGB24, 0x200001, 1},   {MEDIATYPE_Video, MEDIASUBTYPE_YV12, 0x200001, 1},
      {MEDIATYPE_Video, MEDIASUBTYPE_RGB24, 0x200002, 0},   {MEDIATYPE_Video, MEDIASUBTYPE_MPEG1Video, 0x200001, 0},
      {MEDIATYPE_Audio, MEDIASUBTYPE_PCM, 0x200001, 1},     {MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT, 0x200001, 1},
      {MEDIATYPE_Audio, MEDIASUBTYPE_MP3, 0x200001, 0},     {MEDIATYPE_Text, GUID_NULL, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(count(c.major, c.subtype, c.merit), c.found)
        << GuidToStringA(c.major) << " " << GuidToStringA(c.subtype) << " " << c.merit;
  // A second registration changes nothing.
  EXPECT_EQ(DShowRegisterPlatform(), S_OK);
  EXPECT_EQ(count(MEDIATYPE_Video, MEDIASUBTYPE_RGB24, 0x200001), 1);
}
