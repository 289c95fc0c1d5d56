// Filter records and the merit-ordered candidate list.

#include <cstring>

#include <gtest/gtest.h>

#include "graph/core/FGFilterList.h"
#include "platform/dshow/FilterData.h"
#include "platform/dshow/FilterMapper.h"
#include "tests/graph/GraphTestFilters.h"

namespace {

PELLOMAR_DEFINE_GUID(CLSID_A, "A0000000-0000-4000-8000-000000000001");
PELLOMAR_DEFINE_GUID(CLSID_B, "B0000000-0000-4000-8000-000000000002");
PELLOMAR_DEFINE_GUID(SUB_X, "C0000000-0000-4000-8000-000000000003");

::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new gt::PlatformEnvironment);

std::unique_ptr<gt::TestRecord> Rec(const CLSID& clsid, const wchar_t* name, UINT64 merit) {
  return std::make_unique<gt::TestRecord>(clsid, name, merit, std::vector<gt::PinSpec>{});
}

std::vector<std::wstring> Order(CFGFilterList& list) {
  std::vector<std::wstring> names;
  for (auto pos = list.GetHeadPosition(); pos;) names.push_back(list.GetNext(pos)->GetName());
  return names;
}

TEST(FGFilter, CheckTypesExactAndWildcards) {
  auto rec = Rec(CLSID_A, L"a", kMeritLow);
  rec->AddType(MEDIATYPE_Video, SUB_X);
  EXPECT_TRUE(rec->CheckTypes({MEDIATYPE_Video, SUB_X}, true));
  EXPECT_TRUE(rec->CheckTypes({MEDIATYPE_Video, GUID_NULL}, false));
  EXPECT_FALSE(rec->CheckTypes({MEDIATYPE_Video, GUID_NULL}, true));
  EXPECT_FALSE(rec->CheckTypes({MEDIATYPE_Audio, SUB_X}, false));
  EXPECT_TRUE(rec->CheckTypes({MEDIATYPE_Audio, SUB_X, GUID_NULL, SUB_X}, false));
  // A trailing odd GUID is no pair.
  EXPECT_FALSE(rec->CheckTypes({MEDIATYPE_Audio, SUB_X, MEDIATYPE_Video}, false));

  auto any = Rec(CLSID_A, L"any", kMeritLow);
  any->AddType(GUID_NULL, GUID_NULL);
  EXPECT_TRUE(any->CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_PCM}, false));
  EXPECT_FALSE(any->CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_PCM}, true));
  EXPECT_FALSE(Rec(CLSID_A, L"none", kMeritLow)->CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_PCM}, false));
}

TEST(FGFilter, PlatformMeritReplacesMiddleBitsOnly) {
  auto rec = Rec(CLSID_A, L"a", 0x0001000000001234ull);
  rec->SetPlatformMerit(0x600000);
  EXPECT_EQ(rec->GetMerit(), 0x0001006000001234ull);
}

TEST(FGFilterList, OrderByGroupMeritExactnessAndInsertion) {
  CFGFilterList list;
  list.Insert(Rec(CLSID_A, L"g1", kMeritSystemPreferred).release(), 1);
  list.Insert(Rec(CLSID_A, L"low", kMeritLow).release(), 0);
  list.Insert(Rec(CLSID_A, L"inexact", 0x0000006000000000ull).release(), 0, false);
  list.Insert(Rec(CLSID_A, L"exact", 0x0000006000000000ull).release(), 0, true);
  list.Insert(Rec(CLSID_A, L"high", kMeritSystemPreferred).release(), 0);
  list.Insert(Rec(CLSID_A, L"inexact2", 0x0000006000000000ull).release(), 0, false);
  list.Insert(Rec(CLSID_A, L"blocked", kMeritBlocked).release(), 0);
  EXPECT_EQ(Order(list), (std::vector<std::wstring>{L"high", L"exact", L"inexact", L"inexact2", L"low", L"g1"}));
  EXPECT_EQ(list.GetCount(), 7u);
}

TEST(FGFilterList, RegistryDuplicatesPerGroupAndBlocking) {
  CFGFilterList list;
  list.Insert(std::make_unique<CFGFilterRegistry>(CLSID_VideoRenderer, kMeritBlocked).release(), 0);
  list.Insert(std::make_unique<CFGFilterRegistry>(CLSID_VideoRenderer).release(), 0);
  list.Insert(std::make_unique<CFGFilterRegistry>(CLSID_VideoRenderer).release(), 1);
  list.Insert(std::make_unique<CFGFilterRegistry>(CLSID_VideoRenderer).release(), 1);
  // An internal record of the same class is not a registry duplicate.
  list.Insert(Rec(CLSID_VideoRenderer, L"internal", kMeritLow).release(), 0);
  EXPECT_EQ(list.GetCount(), 3u);
  std::vector<std::wstring> order = Order(list);
  ASSERT_EQ(order.size(), 2u);  // the blocking record is never handed out
  EXPECT_EQ(order[0], L"internal");
  EXPECT_EQ(order[1], L"Video Renderer");

  // A record the list does not own stays with its creator, even refused.
  auto mine = Rec(CLSID_B, L"mine", kMeritLow);
  list.Insert(mine.get(), 2, false, false);
  list.Insert(mine.get(), 2, false, false);
  EXPECT_EQ(list.GetCount(), 4u);
}

TEST(FGFilterRegistry, FromClassIdReadsNameMeritAndInputTypes) {
  CFGFilterRegistry rec(CLSID_VideoRenderer);
  EXPECT_EQ(rec.GetName(), L"Video Renderer");
  // Platform merit 0x200001 in bits 16-47.
  EXPECT_EQ(rec.GetMerit(), kMeritLow);
  EXPECT_EQ(rec.GetSourceFormat(), kSourceFormatRegistry);
  EXPECT_TRUE(rec.CheckTypes({MEDIATYPE_Video, MEDIASUBTYPE_RGB24}, false));
  EXPECT_FALSE(rec.CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_PCM}, false));

  CFGFilterRegistry forced(CLSID_VideoRenderer, kMeritSystemPreferred);
  EXPECT_EQ(forced.GetMerit(), kMeritSystemPreferred);

  CFGFilterRegistry unknown(CLSID_A);
  EXPECT_TRUE(unknown.GetName().empty());
  EXPECT_EQ(unknown.GetMerit(), kMeritLow);
  std::vector<CComPtr<IUnknown>> extra;
  CComPtr<IBaseFilter> f;
  EXPECT_EQ(unknown.Create(&f, extra), E_FAIL);
  EXPECT_EQ(rec.Create(nullptr, extra), E_POINTER);
  EXPECT_EQ(rec.Create(&f, extra), S_OK);
  EXPECT_TRUE(f);
}

TEST(FGFilterRegistry, FromMonikerOfTheMapper) {
  CComPtr<IFilterMapper2> mapper;
  ASSERT_EQ(mapper.CoCreateInstance(CLSID_FilterMapper2), S_OK);
  GUID types[] = {MEDIATYPE_Audio, MEDIASUBTYPE_PCM};
  CComPtr<IEnumMoniker> e;
  ASSERT_EQ(mapper->EnumMatchingFilters(&e, 0, FALSE, 0x200001, TRUE, 1, types, nullptr, nullptr, FALSE, FALSE, 0,
                                        nullptr, nullptr, nullptr),
            S_OK);
  CComPtr<IMoniker> m;
  ASSERT_EQ(e->Next(1, &m, nullptr), S_OK);
  CFGFilterRegistry rec(m);
  EXPECT_EQ(rec.GetName(), L"Audio Renderer");
  EXPECT_EQ(rec.GetCLSID(), CLSID_DSoundRender);
  EXPECT_FALSE(rec.GetDisplayName().empty());
  EXPECT_TRUE(rec.CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_PCM}, false));
  std::vector<CComPtr<IUnknown>> extra;
  CComPtr<IBaseFilter> f;
  EXPECT_EQ(rec.Create(&f, extra), S_OK);
  EXPECT_TRUE(f);

  // Two records of one moniker are duplicates in a group.
  CFGFilterList list;
  list.Insert(std::make_unique<CFGFilterRegistry>(m.p).release(), 0);
  list.Insert(std::make_unique<CFGFilterRegistry>(m.p).release(), 0);
  EXPECT_EQ(list.GetCount(), 1u);
}

// A blob in the platform layout: header, pins with their types, GUIDs.
struct Blob {
  std::vector<BYTE> bytes;
  void Word(uint32_t v) {
    BYTE b[4];
    std::memcpy(b, &v, 4);
    bytes.insert(bytes.end(), b, b + 4);
  }
  void Guid(const GUID& g) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&g);
    bytes.insert(bytes.end(), p, p + 16);
  }
};

Blob TwoPinBlob(uint32_t mediums) {
  // Pin 0: output with one type; pin 1: input with two types. Mediums (if
  // any) follow pin 0's types, 4 bytes each.
  Blob b;
  const uint32_t pool = 16 + 24 + 16 + 4 * mediums + 24 + 32;
  b.Word(2), b.Word(0x600000), b.Word(2), b.Word(0);
  b.Word(0), b.Word(REG_PINFLAG_B_OUTPUT), b.Word(1), b.Word(1), b.Word(mediums), b.Word(0);
  b.Word(0), b.Word(0), b.Word(pool), b.Word(pool + 16);
  for (uint32_t i = 0; i < mediums; ++i) b.Word(0);
  b.Word(1), b.Word(0), b.Word(1), b.Word(2), b.Word(0), b.Word(0);
  b.Word(0), b.Word(0), b.Word(pool), b.Word(pool + 16);
  b.Word(1), b.Word(0), b.Word(pool + 32), b.Word(pool + 48);
  b.Guid(MEDIATYPE_Video), b.Guid(SUB_X), b.Guid(MEDIATYPE_Audio), b.Guid(MEDIASUBTYPE_PCM);
  return b;
}

TEST(FGFilterRegistry, DirectFilterDataReader) {
  Blob b = TwoPinBlob(0);
  CFGFilterRegistry rec(GUID_NULL);
  rec.ReadFilterDataDirect(b.bytes.data(), b.bytes.size());
  EXPECT_EQ(rec.GetMerit(), 0x0000006000000000ull);
  EXPECT_EQ(rec.GetTypes(), (std::vector<GUID>{MEDIATYPE_Video, SUB_X, MEDIATYPE_Audio, MEDIASUBTYPE_PCM}));

  // The platform's parser gives the same answer.
  CFGFilterRegistry viaParser(GUID_NULL);
  viaParser.ExtractFilterData(b.bytes.data(), b.bytes.size());
  EXPECT_EQ(viaParser.GetTypes(), rec.GetTypes());

  // Mediums after a pin's types do not shift the next pin.
  Blob withMediums = TwoPinBlob(2);
  CFGFilterRegistry mediums(GUID_NULL);
  mediums.ReadFilterDataDirect(withMediums.bytes.data(), withMediums.bytes.size());
  EXPECT_EQ(mediums.GetTypes(), rec.GetTypes());
}

TEST(FGFilterRegistry, DirectReaderStopsAtBrokenData) {
  Blob b = TwoPinBlob(0);
  // Every truncation reads only what is wholly there.
  for (size_t cut = 0; cut < b.bytes.size(); ++cut) {
    CFGFilterRegistry rec(GUID_NULL);
    rec.ReadFilterDataDirect(b.bytes.data(), cut);
    EXPECT_LE(rec.GetTypes().size(), 4u);
  }
  // A GUID offset past the end is skipped.
  Blob bad = b;
  std::memcpy(&bad.bytes[16 + 24 + 16 + 24 + 8], "\xff\xff\xff\x7f", 4);
  CFGFilterRegistry rec(GUID_NULL);
  rec.ReadFilterDataDirect(bad.bytes.data(), bad.bytes.size());
  EXPECT_EQ(rec.GetTypes(), (std::vector<GUID>{MEDIATYPE_Audio, MEDIASUBTYPE_PCM}));
  // A huge pin count with little data ends at the data.
  Blob many = b;
  std::memcpy(&many.bytes[8], "\xff\xff\xff\xff", 4);
  CFGFilterRegistry rec2(GUID_NULL);
  rec2.ExtractFilterData(many.bytes.data(), many.bytes.size());
  EXPECT_EQ(rec2.GetMerit(), 0x0000006000000000ull);
  // Version 1 blobs are not read directly.
  Blob v1 = b;
  v1.bytes[0] = 1;
  CFGFilterRegistry rec3(GUID_NULL);
  rec3.ReadFilterDataDirect(v1.bytes.data(), v1.bytes.size());
  EXPECT_TRUE(rec3.GetTypes().empty());
  EXPECT_EQ(rec3.GetMerit(), kMeritLow);
}

class FailingFilter : public CBaseFilter {
 public:
  FailingFilter(LPUNKNOWN, HRESULT* phr) : CBaseFilter(NAME("failing"), nullptr, &m_lock, CLSID_A) {
    *phr = E_UNEXPECTED;
  }
  int GetPinCount() override { return 0; }
  CBasePin* GetPin(int) override { return nullptr; }

 private:
  CCritSec m_lock;
};

class GoodFilter : public CBaseFilter {
 public:
  GoodFilter(LPUNKNOWN, HRESULT*) : CBaseFilter(NAME("good"), nullptr, &m_lock, CLSID_B) {}
  int GetPinCount() override { return 0; }
  CBasePin* GetPin(int) override { return nullptr; }

 private:
  CCritSec m_lock;
};

TEST(FGFilterInternal, CreateKeepsSuccessAndReleasesFailure) {
  std::vector<CComPtr<IUnknown>> extra;
  CFGFilterInternal<FailingFilter> failing(CLSID_A, L"f");
  CComPtr<IBaseFilter> f;
  EXPECT_EQ(failing.Create(&f, extra), E_UNEXPECTED);
  EXPECT_FALSE(f);
  EXPECT_EQ(failing.Create(nullptr, extra), E_POINTER);
  CFGFilterInternal<GoodFilter> good(CLSID_B, L"g", kMeritSystemPreferred);
  EXPECT_EQ(good.Create(&f, extra), S_OK);
  ASSERT_TRUE(f);
  CLSID clsid;
  f->GetClassID(&clsid);
  EXPECT_EQ(clsid, CLSID_B);
  EXPECT_EQ(good.GetCLSID(), CLSID_B);
}

}  // namespace
