#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/FilterData.h"
#include "platform/dshow/FilterMapper.h"
#include "tests/platform/dshow/RegistryFixture.h"

namespace {

// Types of our own, so no platform registration can match them.
PELLOMAR_DEFINE_GUID(kMajorA, "0E6A1C01-3B7D-4A5E-9C11-6F00A0000001");
PELLOMAR_DEFINE_GUID(kMajorB, "0E6A1C01-3B7D-4A5E-9C11-6F00A0000002");
PELLOMAR_DEFINE_GUID(kSubX, "0E6A1C01-3B7D-4A5E-9C11-6F00B0000001");
PELLOMAR_DEFINE_GUID(kSubY, "0E6A1C01-3B7D-4A5E-9C11-6F00B0000002");
PELLOMAR_DEFINE_GUID(kCategory, "0E6A1C01-3B7D-4A5E-9C11-6F00C0000001");
PELLOMAR_DEFINE_GUID(kClsLow, "0E6A1C01-3B7D-4A5E-9C11-6F00D0000001");
PELLOMAR_DEFINE_GUID(kClsHigh, "0E6A1C01-3B7D-4A5E-9C11-6F00D0000002");
PELLOMAR_DEFINE_GUID(kClsWild, "0E6A1C01-3B7D-4A5E-9C11-6F00D0000003");
PELLOMAR_DEFINE_GUID(kClsSink, "0E6A1C01-3B7D-4A5E-9C11-6F00D0000004");

CComPtr<IFilterMapper2> Mapper() {
  CComPtr<IFilterMapper2> m;
  EXPECT_EQ(CFilterMapper2::CreateInstance(nullptr, IID_IFilterMapper2, reinterpret_cast<void**>(&m)), S_OK);
  return m;
}

// A transform (one input of the given type, one output) or, with
// output = false, a renderer.
HRESULT Register(IFilterMapper2* m, REFCLSID clsid, const wchar_t* name, DWORD merit, const GUID* major,
                 const GUID* sub, bool output, DWORD inFlags = 0) {
  REGPINTYPES types{major, sub};
  REGPINTYPES anyOut{&kMajorB, &GUID_NULL};
  REGFILTERPINS2 pins[2] = {};
  pins[0].dwFlags = inFlags;
  pins[0].nMediaTypes = 1;
  pins[0].lpMediaType = &types;
  pins[1].dwFlags = REG_PINFLAG_B_OUTPUT;
  pins[1].nMediaTypes = 1;
  pins[1].lpMediaType = &anyOut;
  REGFILTER2 rf{};
  rf.dwVersion = 2;
  rf.dwMerit = merit;
  rf.cPins2 = output ? 2 : 1;
  rf.rgPins2 = pins;
  return m->RegisterFilter(clsid, name, nullptr, nullptr, nullptr, &rf);
}

std::vector<std::wstring> Names(IEnumMoniker* e) {
  std::vector<std::wstring> names;
  for (int guard = 0; guard < 100; ++guard) {
    CComPtr<IMoniker> mon;
    if (e->Next(1, &mon, nullptr) != S_OK) break;
    CComPtr<IPropertyBag> bag;
    EXPECT_EQ(mon->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
    CComVariant v;
    EXPECT_EQ(bag->Read(L"FriendlyName", &v, nullptr), S_OK);
    names.push_back(v.vt == VT_BSTR ? v.bstrVal : L"?");
  }
  return names;
}

std::vector<std::wstring> Match(IFilterMapper2* m, const GUID& major, const GUID& sub, BOOL exact = FALSE,
                                BOOL outputNeeded = FALSE, BOOL render = FALSE, DWORD merit = 0x200001) {
  GUID pair[2] = {major, sub};
  CComPtr<IEnumMoniker> e;
  EXPECT_EQ(m->EnumMatchingFilters(&e, 0, exact, merit, TRUE, 1, pair, nullptr, nullptr, render, outputNeeded, 0,
                                   nullptr, nullptr, nullptr),
            S_OK);
  return e ? Names(e) : std::vector<std::wstring>{};
}

using StrVec = std::vector<std::wstring>;

}  // namespace

// ---------------------------------------------------------------------------
// The filter-data blob

TEST(FilterData, RoundTripsVersionOneAndTwo) {
  REGPINTYPES t1[2] = {{&kMajorA, &kSubX}, {&kMajorB, nullptr}};
  REGFILTERPINS v1[2] = {};
  v1[0].bRendered = TRUE;
  v1[0].nMediaTypes = 2;
  v1[0].lpMediaType = t1;
  v1[1].bOutput = TRUE;
  v1[1].bMany = TRUE;
  REGFILTER2 rf{};
  rf.dwVersion = 1;
  rf.dwMerit = 0x123456;
  rf.cPins = 2;
  rf.rgPins = v1;

  FilterDataInfo info;
  ASSERT_EQ(FilterDataFromRegFilter2(&rf, info), S_OK);
  std::vector<BYTE> blob = EncodeFilterData(info);
  FilterDataInfo back;
  ASSERT_EQ(DecodeFilterData(blob.data(), blob.size(), back), S_OK);
  EXPECT_EQ(back.merit, 0x123456u);
  ASSERT_EQ(back.pins.size(), 2u);
  EXPECT_EQ(back.pins[0].flags, REG_PINFLAG_B_RENDERER);
  EXPECT_EQ(back.pins[1].flags, REG_PINFLAG_B_OUTPUT | REG_PINFLAG_B_MANY);
  ASSERT_EQ(back.pins[0].types.size(), 2u);
  EXPECT_EQ(*back.pins[0].types[0].major, kMajorA);
  EXPECT_EQ(*back.pins[0].types[0].subtype, kSubX);
  EXPECT_EQ(*back.pins[0].types[1].major, kMajorB);
  EXPECT_FALSE(back.pins[0].types[1].subtype.has_value());

  // Through IAMFilterData: version 2 in one task-memory block.
  CComQIPtr<IAMFilterData> fd(Mapper());
  ASSERT_TRUE(fd);
  BYTE* raw = nullptr;
  ULONG size = 0;
  ASSERT_EQ(fd->CreateFilterData(&rf, &raw, &size), S_OK);
  ASSERT_EQ(size, blob.size());
  EXPECT_EQ(std::vector<BYTE>(raw, raw + size), blob);
  BYTE* parsed = nullptr;
  ASSERT_EQ(fd->ParseFilterData(raw, size, &parsed), S_OK);
  CoTaskMemFree(raw);
  auto* reg = reinterpret_cast<REGFILTER2*>(parsed);
  EXPECT_EQ(reg->dwVersion, 2u);
  EXPECT_EQ(reg->dwMerit, 0x123456u);
  ASSERT_EQ(reg->cPins2, 2u);
  EXPECT_EQ(reg->rgPins2[0].nMediaTypes, 2u);
  EXPECT_EQ(*reg->rgPins2[0].lpMediaType[0].clsMinorType, kSubX);
  EXPECT_EQ(reg->rgPins2[0].lpMediaType[1].clsMinorType, nullptr);
  EXPECT_EQ(reg->rgPins2[1].dwFlags & REG_PINFLAG_B_OUTPUT, REG_PINFLAG_B_OUTPUT);
  CoTaskMemFree(parsed);
}

// The layout the system's own reader walks: version 2, merit, pin count at
// 8, first 24-byte pin at 16, its 16-byte type records after it, GUID
// offsets past them.
TEST(FilterData, LayoutIsTheDocumentedOne) {
  FilterDataInfo info;
  info.merit = 0x600000;
  FilterDataPin pin;
  pin.types.push_back({kMajorA, kSubY});
  info.pins.push_back(pin);
  std::vector<BYTE> b = EncodeFilterData(info);
  auto word = [&](size_t at) { return DWORD(b[at]) | DWORD(b[at + 1]) << 8 | DWORD(b[at + 2]) << 16 | DWORD(b[at + 3]) << 24; };
  ASSERT_GE(b.size(), 16u + 24u + 16u + 32u);
  EXPECT_EQ(word(0), 2u);
  EXPECT_EQ(word(4), 0x600000u);
  EXPECT_EQ(word(8), 1u);
  EXPECT_EQ(word(16 + 12), 1u);  // type count
  DWORD majorAt = word(16 + 24 + 8), subAt = word(16 + 24 + 12);
  ASSERT_GE(majorAt, 16u + 24u + 16u);
  ASSERT_LE(subAt + 16, b.size());
  GUID g;
  std::memcpy(&g, &b[subAt], 16);
  EXPECT_EQ(g, kSubY);
}

TEST(FilterData, RejectsDamagedBlobsWithoutReadingPastThem) {
  FilterDataInfo info;
  info.merit = 0x200001;
  FilterDataPin pin;
  pin.types.push_back({kMajorA, kSubX});
  pin.category = kCategory;
  info.pins.push_back(pin);
  std::vector<BYTE> good = EncodeFilterData(info);
  FilterDataInfo out;
  EXPECT_EQ(DecodeFilterData(nullptr, 0, out), E_POINTER);
  for (size_t cut = 1; cut < good.size(); ++cut) {
    std::vector<BYTE> part(good.begin(), good.begin() + cut);  // exact size, so ASan sees overruns
    EXPECT_EQ(DecodeFilterData(part.data(), part.size(), out), E_INVALIDARG) << cut;
  }
  std::vector<BYTE> bad = good;
  bad[16 + 24 + 8] = 0xF0;  // major offset far outside
  EXPECT_EQ(DecodeFilterData(bad.data(), bad.size(), out), E_INVALIDARG);
  bad = good;
  bad[8] = 0xFF;  // absurd pin count
  EXPECT_EQ(DecodeFilterData(bad.data(), bad.size(), out), E_INVALIDARG);
  bad = good;
  bad[0] = 1;  // another version
  EXPECT_EQ(DecodeFilterData(bad.data(), bad.size(), out), E_INVALIDARG);

  REGFILTER2 rf{};
  rf.dwVersion = 2;
  rf.cPins2 = 3;  // pins missing
  EXPECT_EQ(FilterDataFromRegFilter2(&rf, out), E_INVALIDARG);
  rf.dwVersion = 7;
  rf.cPins2 = 0;
  EXPECT_EQ(FilterDataFromRegFilter2(&rf, out), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// Registration and matching

class FilterMapperTest : public FreshRegistryTest {};

TEST_F(FilterMapperTest, MatchesWithWildcardsInMeritOrder) {
  auto m = Mapper();
  ASSERT_EQ(Register(m, kClsLow, L"Low", 0x300000, &kMajorA, &kSubX, true), S_OK);
  ASSERT_EQ(Register(m, kClsHigh, L"High", 0x800000, &kMajorA, &kSubX, true), S_OK);
  ASSERT_EQ(Register(m, kClsWild, L"Wild", 0x600000, &kMajorA, &GUID_NULL, true), S_OK);
  ASSERT_EQ(Register(m, kClsSink, L"Sink", 0x200001, &kMajorA, &kSubY, false, REG_PINFLAG_B_RENDERER), S_OK);

  EXPECT_EQ(Match(m, kMajorA, kSubX), (StrVec{L"High", L"Wild", L"Low"}));
  // A registered GUID_NULL is a wildcard unless an exact match is asked for.
  EXPECT_EQ(Match(m, kMajorA, kSubX, TRUE), (StrVec{L"High", L"Low"}));
  // An offered GUID_NULL matches every registered subtype.
  EXPECT_EQ(Match(m, kMajorA, GUID_NULL), (StrVec{L"High", L"Wild", L"Low", L"Sink"}));
  EXPECT_EQ(Match(m, kMajorA, kSubY), (StrVec{L"Wild", L"Sink"}));
  // Output needed drops the renderer; render asks for a rendering input.
  EXPECT_EQ(Match(m, kMajorA, kSubY, FALSE, TRUE), (StrVec{L"Wild"}));
  EXPECT_EQ(Match(m, kMajorA, GUID_NULL, FALSE, FALSE, TRUE), (StrVec{L"Sink"}));
  // Merit threshold.
  EXPECT_EQ(Match(m, kMajorA, kSubX, FALSE, FALSE, FALSE, 0x600000), (StrVec{L"High", L"Wild"}));
  EXPECT_TRUE(Match(m, kMajorB, kSubX).empty());
}

TEST_F(FilterMapperTest, MonikerGivesTheRegistrationAndCreatesTheFilter) {
  auto m = Mapper();
  // Any creatable class will do to see BindToObject reach the class table.
  ASSERT_TRUE(SUCCEEDED(CoRegisterClass(kClsHigh, &CFilterMapper2::CreateInstance, L"test class")));
  CComPtr<IMoniker> mon;
  REGPINTYPES t{&kMajorA, &kSubX};
  REGFILTERPINS2 pin{};
  pin.nMediaTypes = 1;
  pin.lpMediaType = &t;
  REGFILTER2 rf{};
  rf.dwVersion = 2;
  rf.dwMerit = 0x600000;
  rf.cPins2 = 1;
  rf.rgPins2 = &pin;
  ASSERT_EQ(m->RegisterFilter(kClsHigh, L"Named", &mon, nullptr, nullptr, &rf), S_OK);
  ASSERT_TRUE(mon);

  CComPtr<IPropertyBag> bag;
  ASSERT_EQ(mon->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
  CComVariant name, clsid, data;
  ASSERT_EQ(bag->Read(L"FriendlyName", &name, nullptr), S_OK);
  EXPECT_STREQ(name.bstrVal, L"Named");
  ASSERT_EQ(bag->Read(L"CLSID", &clsid, nullptr), S_OK);
  CLSID parsed;
  ASSERT_EQ(CLSIDFromString(clsid.bstrVal, &parsed), S_OK);
  EXPECT_EQ(parsed, kClsHigh);
  ASSERT_EQ(bag->Read(L"FilterData", &data, nullptr), S_OK);
  ASSERT_EQ(data.vt, VT_ARRAY | VT_UI1);
  void* bytes = nullptr;
  ASSERT_EQ(SafeArrayAccessData(data.parray, &bytes), S_OK);
  FilterDataInfo info;
  EXPECT_EQ(DecodeFilterData(static_cast<BYTE*>(bytes), data.parray->rgsabound[0].cElements, info), S_OK);
  SafeArrayUnaccessData(data.parray);
  EXPECT_EQ(info.merit, 0x600000u);

  CComPtr<IUnknown> created;
  EXPECT_EQ(mon->BindToObject(nullptr, nullptr, IID_IFilterMapper2, reinterpret_cast<void**>(&created)), S_OK);
  EXPECT_TRUE(created);

  // A second moniker for the same registration is equal; another is not.
  CComPtr<IEnumMoniker> e;
  GUID pair[2] = {kMajorA, kSubX};
  ASSERT_EQ(m->EnumMatchingFilters(&e, 0, FALSE, 0, TRUE, 1, pair, nullptr, nullptr, FALSE, FALSE, 0, nullptr,
                                   nullptr, nullptr),
            S_OK);
  CComPtr<IMoniker> again;
  ASSERT_EQ(e->Next(1, &again, nullptr), S_OK);
  EXPECT_EQ(mon->IsEqual(again), S_OK);
  CComPtr<IMoniker> other;
  ASSERT_EQ(CreateFilterMoniker(kCategory, L"other", &other), S_OK);
  EXPECT_EQ(mon->IsEqual(other), S_FALSE);

  EXPECT_EQ(m->UnregisterFilter(nullptr, nullptr, kClsHigh), S_OK);
  EXPECT_TRUE(Match(m, kMajorA, kSubX).empty());
  EXPECT_EQ(mon->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), MK_E_NOOBJECT);
  CoRevokeClass(kClsHigh);
}

TEST_F(FilterMapperTest, RefusesBadRegistrationsAndSkipsDamagedData) {
  auto m = Mapper();
  EXPECT_EQ(m->RegisterFilter(kClsLow, L"x", nullptr, nullptr, nullptr, nullptr), E_POINTER);
  REGFILTER2 rf{};
  rf.dwVersion = 2;
  rf.cPins2 = 1;  // no pin array
  EXPECT_EQ(m->RegisterFilter(kClsLow, L"x", nullptr, nullptr, nullptr, &rf), E_INVALIDARG);
  rf.cPins2 = 0;
  EXPECT_EQ(m->RegisterFilter(kClsLow, L"x", nullptr, nullptr, L"a\\b", &rf), E_INVALIDARG);

  // A registration whose data was damaged by hand is left out of searches.
  ASSERT_EQ(Register(m, kClsLow, L"Good", 0x600000, &kMajorA, &kSubX, true), S_OK);
  ASSERT_EQ(Register(m, kClsWild, L"Damaged", 0x600000, &kMajorA, &kSubX, true), S_OK);
  std::wstring key = L"CLSID\\" + GuidToStringW(CLSID_LegacyAmFilterCategory) + L"\\Instance\\" +
                     GuidToStringW(kClsWild);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_WRITE, &k), ERROR_SUCCESS);
  const BYTE junk[20] = {2, 0, 0, 0, 0, 0, 0x60, 0, 9, 9, 9, 9};
  ASSERT_EQ(RegSetValueExW(k, L"FilterData", 0, REG_BINARY, junk, sizeof(junk)), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(Match(m, kMajorA, kSubX), (StrVec{L"Good"}));

  CComPtr<IEnumMoniker> e;
  EXPECT_EQ(m->EnumMatchingFilters(&e, 0, FALSE, 0, TRUE, 2, nullptr, nullptr, nullptr, FALSE, FALSE, 0, nullptr,
                                   nullptr, nullptr),
            E_POINTER);
}
