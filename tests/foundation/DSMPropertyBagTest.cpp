#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "foundation/DSMPropertyBag.h"

namespace {

// The bags are mix-ins; a test object supplies the reference counting.
class Bags : public IDSMPropertyBagImpl, public IDSMResourceBagImpl, public IDSMChapterBagImpl {
 public:
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
};

std::wstring Text(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(L"<null>"); }

TEST(PropertyBag, SetGetReplaceAndRemove) {
  Bags bag;
  EXPECT_EQ(bag.SetPropertyText(L"TITL", L"First"), S_OK);
  EXPECT_EQ(bag.SetPropertyText(L"AUTH", L""), S_OK);
  CComBSTR value;
  EXPECT_EQ(bag.GetProperty(L"TITL", &value), S_OK);
  EXPECT_EQ(Text(value), L"First");
  EXPECT_EQ(bag.GetProperty(L"titl", &value), E_FAIL);  // names compare exactly
  EXPECT_EQ(bag.GetProperty(nullptr, &value), E_POINTER);
  EXPECT_EQ(bag.SetPropertyText(L"X", nullptr), E_POINTER);

  // Setting a name whose value is empty appends a second pair; lookups still
  // find the first.
  EXPECT_EQ(bag.SetPropertyText(L"AUTH", L"Someone"), S_OK);
  ULONG count = 0;
  EXPECT_EQ(bag.CountProperties(&count), S_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(bag.GetProperty(L"AUTH", &value), S_OK);
  EXPECT_EQ(Text(value), L"");
  EXPECT_EQ(bag.SetPropertyText(L"TITL", L"Second"), S_OK);
  EXPECT_EQ(bag.GetProperty(L"TITL", &value), S_OK);
  EXPECT_EQ(Text(value), L"Second");

  EXPECT_EQ(bag.RemoveProperty(L"missing"), S_FALSE);
  EXPECT_EQ(bag.RemoveProperty(L"TITL"), S_OK);
  EXPECT_EQ(bag.GetProperty(L"TITL", &value), E_FAIL);
  EXPECT_EQ(bag.RemoveAllProperties(), S_OK);
  EXPECT_EQ(bag.CountProperties(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST(PropertyBag, VariantFacesOfBothBagInterfaces) {
  Bags bag;
  CComVariant text(L"Desc");
  EXPECT_EQ(bag.SetProperty(L"DESC", &text), S_OK);
  CComVariant number(42L);
  EXPECT_EQ(bag.SetProperty(L"N", &number), E_INVALIDARG);
  EXPECT_EQ(bag.SetProperty(L"N", nullptr), E_POINTER);
  bag.SetPropertyText(L"EMPTY", L"");

  IPropertyBag* pb = &bag;
  CComVariant out;
  EXPECT_EQ(pb->Read(L"DESC", &out, nullptr), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_EQ(Text(out.bstrVal), L"Desc");
  EXPECT_EQ(pb->Read(L"DESC", &out, nullptr), E_INVALIDARG);  // not VT_EMPTY on entry
  CComVariant none;
  EXPECT_EQ(pb->Read(L"EMPTY", &none, nullptr), E_FAIL);
  EXPECT_EQ(pb->Read(L"missing", &none, nullptr), E_FAIL);
  EXPECT_EQ(pb->Read(L"DESC", nullptr, nullptr), E_POINTER);

  CComVariant written(L"Via bag");
  EXPECT_EQ(pb->Write(L"RTNG", &written), S_OK);
  CComBSTR value;
  EXPECT_EQ(bag.GetProperty(L"RTNG", &value), S_OK);
  EXPECT_EQ(Text(value), L"Via bag");

  // IPropertyBag2: missing names read as empty strings.
  IPropertyBag2* pb2 = &bag;
  PROPBAG2 props[2] = {};
  props[0].pstrName = const_cast<LPOLESTR>(L"DESC");
  props[1].pstrName = const_cast<LPOLESTR>(L"nothing");
  VARIANT values[2];
  HRESULT results[2] = {E_FAIL, E_FAIL};
  EXPECT_EQ(pb2->Read(2, props, nullptr, values, results), S_OK);
  EXPECT_EQ(Text(values[0].bstrVal), L"Desc");
  EXPECT_EQ(Text(values[1].bstrVal), L"");
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  VariantClear(&values[0]);
  VariantClear(&values[1]);
  EXPECT_EQ(pb2->Read(1, props, nullptr, nullptr, results), E_POINTER);
  EXPECT_EQ(pb2->LoadObject(L"x", 0, nullptr, nullptr), E_NOTIMPL);

  CComVariant v2(L"Two");
  props[1].pstrName = const_cast<LPOLESTR>(L"CPYR");
  EXPECT_EQ(pb2->Write(1, &props[1], &v2), S_OK);
  EXPECT_EQ(bag.GetProperty(L"CPYR", &value), S_OK);
  EXPECT_EQ(Text(value), L"Two");
}

TEST(PropertyBag, PropertyInfoStaysWithinThePairs) {
  Bags bag;
  bag.SetPropertyText(L"A", L"1");
  bag.SetPropertyText(L"BB", L"2");
  bag.SetPropertyText(L"CCC", L"3");

  PROPBAG2 props[4] = {};
  ULONG filled = 77;
  EXPECT_EQ(bag.GetPropertyInfo(1, 2, props, &filled), S_OK);
  EXPECT_EQ(filled, 2u);
  EXPECT_EQ(std::wstring(props[0].pstrName), L"BB");
  EXPECT_EQ(std::wstring(props[1].pstrName), L"CCC");
  CoTaskMemFree(props[0].pstrName);
  CoTaskMemFree(props[1].pstrName);

  filled = 77;
  PROPBAG2 more[4] = {};
  EXPECT_EQ(bag.GetPropertyInfo(2, 2, more, &filled), E_INVALIDARG);
  EXPECT_EQ(filled, 0u);
  EXPECT_EQ(more[0].pstrName, nullptr);
  EXPECT_EQ(bag.GetPropertyInfo(9, 1, more, &filled), E_INVALIDARG);
  EXPECT_EQ(bag.GetPropertyInfo(0xFFFFFFFFu, 2, more, &filled), E_INVALIDARG);
  EXPECT_EQ(bag.GetPropertyInfo(0, 1, nullptr, &filled), E_POINTER);
  EXPECT_EQ(bag.GetPropertyInfo(0, 0, more, &filled), S_OK);
  EXPECT_EQ(filled, 0u);
}

TEST(ResourceBag, AppendGetSetAndRemove) {
  Bags bag;
  const BYTE font[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(bag.AppendResource(L"a.ttf", L"A font", nullptr, font, 5, 7), S_OK);
  EXPECT_EQ(bag.AppendResource(L"cover.jpg", nullptr, L"image/jpeg", nullptr, 0, 9), S_OK);
  EXPECT_EQ(bag.GetResourceCount(), 2u);

  CComBSTR name, desc, mime;
  BYTE* data = nullptr;
  DWORD length = 0;
  DWORD_PTR tag = 0;
  EXPECT_EQ(bag.GetResource(0, &name, &desc, &mime, &data, &length, &tag), S_OK);
  EXPECT_EQ(Text(name), L"a.ttf");
  EXPECT_EQ(Text(desc), L"A font");
  EXPECT_EQ(Text(mime), L"application/octet-stream");
  ASSERT_EQ(length, 5u);
  EXPECT_EQ(data[4], 5);
  EXPECT_EQ(tag, 7u);
  CoTaskMemFree(data);
  data = nullptr;

  EXPECT_EQ(bag.GetResource(0, nullptr, nullptr, nullptr, &data, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(bag.GetResource(2, &name, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);

  // Null data with a length keeps the data; the tag always changes.
  EXPECT_EQ(bag.SetResource(0, nullptr, nullptr, nullptr, nullptr, 5, 8), S_OK);
  EXPECT_EQ(bag.GetResource(0, &name, nullptr, nullptr, &data, &length, &tag), S_OK);
  EXPECT_EQ(Text(name), L"a.ttf");
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(tag, 8u);
  CoTaskMemFree(data);
  // Null data with length 0 empties it.
  EXPECT_EQ(bag.SetResource(0, nullptr, nullptr, nullptr, nullptr, 0, 8), S_OK);
  EXPECT_EQ(bag.GetResource(0, nullptr, nullptr, nullptr, &data, &length, nullptr), S_OK);
  EXPECT_EQ(length, 0u);
  CoTaskMemFree(data);
  EXPECT_EQ(bag.SetResource(5, nullptr, nullptr, nullptr, nullptr, 0, 0), E_INVALIDARG);

  bag.AppendResource(L"b", nullptr, nullptr, nullptr, 0, 8);
  bag.AppendResource(L"c", nullptr, nullptr, nullptr, 0, 3);
  EXPECT_EQ(bag.RemoveResourcesByTag(8), S_OK);
  ASSERT_EQ(bag.GetResourceCount(), 2u);
  EXPECT_EQ(bag.GetResource(1, &name, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(name), L"c");
  EXPECT_EQ(bag.RemoveResourceAt(2), E_INVALIDARG);
  EXPECT_EQ(bag.RemoveResourceAt(0), S_OK);
  EXPECT_EQ(bag.GetResource(0, &name, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(name), L"c");
  EXPECT_EQ(bag.RemoveResourcesByTag(0), S_OK);
  EXPECT_EQ(bag.GetResourceCount(), 0u);
}

TEST(ChapterBag, SortKeepsAppendingOrderForEqualStarts) {
  Bags bag;
  bag.AppendChapter(500, L"late");
  bag.AppendChapter(100, L"first");
  bag.AppendChapter(100, L"second");
  EXPECT_EQ(bag.SortChapters(), S_OK);
  EXPECT_EQ(bag.SortChapters(), S_FALSE);

  CComBSTR name;
  REFERENCE_TIME start = 0;
  EXPECT_EQ(bag.GetChapter(0, &start, &name), S_OK);
  EXPECT_EQ(Text(name), L"first");
  EXPECT_EQ(bag.GetChapter(1, &start, &name), S_OK);
  EXPECT_EQ(Text(name), L"second");
  EXPECT_EQ(bag.GetChapter(2, &start, &name), S_OK);
  EXPECT_EQ(start, 500);
  EXPECT_EQ(bag.GetChapter(3, &start, &name), E_INVALIDARG);

  EXPECT_EQ(bag.SetChapter(2, 50, nullptr), S_OK);  // unsorted again, name kept
  EXPECT_EQ(bag.SortChapters(), S_OK);
  EXPECT_EQ(bag.GetChapter(0, &start, &name), S_OK);
  EXPECT_EQ(Text(name), L"late");
  EXPECT_EQ(bag.SetChapter(3, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(bag.RemoveChapterAt(3), E_INVALIDARG);
  EXPECT_EQ(bag.RemoveChapterAt(0), S_OK);
  EXPECT_EQ(bag.GetChapterCount(), 2u);
  EXPECT_EQ(bag.RemoveAllChapters(), S_OK);
  EXPECT_EQ(bag.GetChapterCount(), 0u);
}

TEST(ChapterBag, FindChapterMatchesALinearSearch) {
  Bags bag;
  REFERENCE_TIME t = 10;
  EXPECT_EQ(bag.FindChapter(&t, nullptr), -1);  // empty
  EXPECT_EQ(bag.FindChapter(nullptr, nullptr), -1);

  bag.AppendChapter(100, L"one");
  t = 99;
  EXPECT_EQ(bag.FindChapter(&t, nullptr), -1);
  t = 150;
  CComBSTR name;
  EXPECT_EQ(bag.FindChapter(&t, &name), 0);
  EXPECT_EQ(t, 100);
  EXPECT_EQ(Text(name), L"one");

  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    bag.RemoveAllChapters();
    const int n = 1 + static_cast<int>(rng() % 12);
    std::vector<REFERENCE_TIME> starts;
    while (static_cast<int>(starts.size()) < n) {
      REFERENCE_TIME s = static_cast<REFERENCE_TIME>(rng() % 1000) * 10;
      if (std::find(starts.begin(), starts.end(), s) == starts.end()) starts.push_back(s);
    }
    for (REFERENCE_TIME s : starts) bag.AppendChapter(s, nullptr);
    std::sort(starts.begin(), starts.end());
    for (REFERENCE_TIME probe = -10; probe <= 10010; probe += 5) {
      LONG expected = -1;
      for (size_t i = 0; i < starts.size(); ++i)
        if (starts[i] <= probe) expected = static_cast<LONG>(i);
      REFERENCE_TIME in = probe;
      ASSERT_EQ(bag.FindChapter(&in, nullptr), expected) << "probe " << probe << " round " << round;
      EXPECT_EQ(in, expected >= 0 ? starts[static_cast<size_t>(expected)] : probe);
    }
  }
}

}  // namespace
