#include <gtest/gtest.h>

#include <cmath>

#include "tests/platform/com/TestObjects.h"

namespace {

struct Holder {
  Holder() : object(new CTestObject(5)) {}
  ~Holder() { object->Release(); }
  IUnknown* unknown() { return static_cast<IPersist*>(object); }
  CTestObject* object;
};

}  // namespace

// ---------------------------------------------------------------------------
// BSTR

TEST(Bstr, LengthsCountEmbeddedNullsAndThePrefixSitsInFront) {
  const OLECHAR text[] = {L'a', L'\0', L'b', L'c'};
  BSTR s = SysAllocStringLen(text, 4);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 4u);
  EXPECT_EQ(SysStringByteLen(s), 4 * sizeof(OLECHAR));
  EXPECT_EQ(reinterpret_cast<const DWORD*>(s)[-1], 4 * sizeof(OLECHAR));
  EXPECT_EQ(s[2], L'b');
  EXPECT_EQ(s[4], L'\0');  // terminated
  SysFreeString(s);

  BSTR z = SysAllocString(L"hello");
  EXPECT_EQ(SysStringLen(z), 5u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);

  BSTR blank = SysAllocStringLen(nullptr, 3);  // room only, zeroed
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 3u);
  EXPECT_EQ(blank[0], L'\0');
  SysFreeString(blank);

  // A byte length that is not a whole number of characters.
  BSTR bytes = SysAllocStringByteLen("abcdefg", 7);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 7u);
  EXPECT_EQ(SysStringLen(bytes), 7 / sizeof(OLECHAR));
  EXPECT_EQ(std::memcmp(bytes, "abcdefg", 7), 0);
  SysFreeString(bytes);

  // Reallocating from a part of itself.
  ASSERT_TRUE(SysReAllocString(&z, z + 2));
  EXPECT_STREQ(z, L"llo");
  EXPECT_EQ(SysStringLen(z), 3u);
  ASSERT_TRUE(SysReAllocStringLen(&z, L"xy\0z", 4));
  EXPECT_EQ(SysStringLen(z), 4u);
  EXPECT_FALSE(SysReAllocString(nullptr, L"a"));
  SysFreeString(z);
  SysFreeString(nullptr);

  // A length the prefix cannot hold is refused rather than wrapped.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, CComBSTRCopiesAppendsAndReleases) {
  CComBSTR a(L"abc");
  CComBSTR b(a);
  EXPECT_NE(a.m_str, b.m_str);
  EXPECT_TRUE(a == b);
  ASSERT_EQ(b.Append(L"\0d", 2), S_OK);
  EXPECT_EQ(b.Length(), 5u);
  EXPECT_EQ(b.View(), std::wstring_view(L"abc\0d", 5));
  ASSERT_EQ(b.Append(b), S_OK);  // appending itself
  EXPECT_EQ(b.Length(), 10u);
  CComBSTR c(std::move(b));
  EXPECT_EQ(b.m_str, nullptr);
  EXPECT_EQ(c.Length(), 10u);
  BSTR* out = &c;  // out parameter: frees what it held
  EXPECT_EQ(*out, nullptr);
  *out = SysAllocString(L"new");
  EXPECT_EQ(c.View(), L"new");
  BSTR copy = nullptr;
  ASSERT_EQ(c.CopyTo(&copy), S_OK);
  EXPECT_EQ(SysStringLen(copy), 3u);
  SysFreeString(copy);
  EXPECT_EQ(c.Append(nullptr, 3), E_POINTER);
}

// ---------------------------------------------------------------------------
// VARIANT

TEST(Variant, CopyAndClearOfStringsAndInterfacesOwnTheirValues) {
  Holder h;
  VARIANT a;
  VariantInit(&a);
  EXPECT_EQ(a.vt, VT_EMPTY);
  a.vt = VT_BSTR;
  a.bstrVal = SysAllocStringLen(L"x\0y", 3);
  VARIANT b;
  VariantInit(&b);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(SysStringLen(b.bstrVal), 3u);  // embedded null kept

  // Copying an interface over a string frees the string and adds a reference.
  VARIANT u;
  VariantInit(&u);
  u.vt = VT_UNKNOWN;
  u.punkVal = h.unknown();
  h.object->AddRef();
  ASSERT_EQ(VariantCopy(&b, &u), S_OK);
  EXPECT_EQ(b.vt, VT_UNKNOWN);
  EXPECT_EQ(h.object->Refs(), 3u);
  ASSERT_EQ(VariantCopy(&b, &b), S_OK);  // self copy changes nothing
  EXPECT_EQ(h.object->Refs(), 3u);
  EXPECT_EQ(VariantClear(&b), S_OK);
  EXPECT_EQ(b.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&u), S_OK);
  EXPECT_EQ(h.object->Refs(), 1u);
  EXPECT_EQ(VariantClear(&a), S_OK);

  // A by-reference variant owns nothing; VariantCopyInd copies the value.
  BSTR owned = SysAllocString(L"ref");
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BSTR | VT_BYREF;
  r.pbstrVal = &owned;
  VARIANT d;
  VariantInit(&d);
  ASSERT_EQ(VariantCopy(&d, &r), S_OK);
  EXPECT_EQ(d.pbstrVal, &owned);
  ASSERT_EQ(VariantCopyInd(&d, &r), S_OK);
  EXPECT_EQ(d.vt, VT_BSTR);
  EXPECT_NE(d.bstrVal, owned);
  EXPECT_STREQ(d.bstrVal, L"ref");
  VariantClear(&d);
  VariantClear(&r);
  SysFreeString(owned);

  // Unknown types are refused and left alone.
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantCopy(&d, &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, CComVariantConstructsAssignsAndReleases) {
  Holder h;
  {
    CComVariant s(L"text");
    EXPECT_EQ(s.vt, VT_BSTR);
    CComVariant t(s);
    EXPECT_NE(t.bstrVal, s.bstrVal);
    CComVariant b(true);
    EXPECT_EQ(b.vt, VT_BOOL);
    EXPECT_EQ(b.boolVal, VARIANT_TRUE);
    CComVariant i(12);
    EXPECT_EQ(i.vt, VT_I4);
    CComVariant e(5, VT_ERROR);
    EXPECT_EQ(e.vt, VT_ERROR);
    CComVariant unk(h.unknown());
    EXPECT_EQ(h.object->Refs(), 2u);
    t = unk;
    EXPECT_EQ(h.object->Refs(), 3u);
    CComVariant moved(std::move(t));
    EXPECT_EQ(t.vt, VT_EMPTY);
    EXPECT_EQ(h.object->Refs(), 3u);
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(moved.Detach(&out), S_OK);
    EXPECT_EQ(moved.vt, VT_EMPTY);
    EXPECT_EQ(h.object->Refs(), 3u);
    VariantClear(&out);
    EXPECT_EQ(h.object->Refs(), 2u);
  }
  EXPECT_EQ(h.object->Refs(), 1u);
}

TEST(Variant, ChangeTypeBetweenNumbersBoolsAndText) {
  CComVariant v(L" 42 ");
  ASSERT_EQ(v.ChangeType(VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);
  ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);
  EXPECT_STREQ(v.bstrVal, L"42");

  CComVariant big(300);
  CComVariant out;
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_UI1), DISP_E_OVERFLOW);
  EXPECT_EQ(out.vt, VT_EMPTY);
  CComVariant neg(-1);
  EXPECT_EQ(VariantChangeType(&out, &neg, 0, VT_UI4), DISP_E_OVERFLOW);

  // Fractions round half to even.
  for (auto [in, want] : {std::pair{2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.4999, 2}, {-0.6, -1}}) {
    CComVariant d(in);
    ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_I4), S_OK) << in;
    EXPECT_EQ(out.lVal, want) << in;
  }
  CComVariant huge(1e30);
  EXPECT_EQ(VariantChangeType(&out, &huge, 0, VT_I8), DISP_E_OVERFLOW);
  CComVariant tooBigForFloat(1e39);
  EXPECT_EQ(VariantChangeType(&out, &tooBigForFloat, 0, VT_R4), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &huge, 0, VT_R4), S_OK);
  EXPECT_FLOAT_EQ(out.fltVal, 1e30f);
  CComVariant nan(std::nan(""));
  EXPECT_EQ(VariantChangeType(&out, &nan, 0, VT_I4), DISP_E_OVERFLOW);

  for (const wchar_t* text : {L"12abc", L"", L"--1", L"inf", L"1.5.2", L"\u0661"}) {
    CComVariant s(text);
    EXPECT_EQ(VariantChangeType(&out, &s, 0, VT_I4), DISP_E_TYPEMISMATCH) << text;
  }
  CComVariant real(L"-1.25e2");
  ASSERT_EQ(VariantChangeType(&out, &real, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, -125.0);
  CComVariant u64(L"18446744073709551615");
  ASSERT_EQ(VariantChangeType(&out, &u64, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, 18446744073709551615ull);
  EXPECT_EQ(VariantChangeType(&out, &u64, 0, VT_I8), DISP_E_OVERFLOW);

  CComVariant yes(true);
  ASSERT_EQ(VariantChangeType(&out, &yes, 0, VT_BSTR), S_OK);
  EXPECT_STREQ(out.bstrVal, L"-1");
  ASSERT_EQ(VariantChangeType(&out, &yes, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_STREQ(out.bstrVal, L"True");
  CComVariant word(L"false");
  ASSERT_EQ(VariantChangeType(&out, &word, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  CComVariant seven(7);
  ASSERT_EQ(VariantChangeType(&out, &seven, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  CComVariant tenth(0.1f);
  ASSERT_EQ(VariantChangeType(&out, &tenth, 0, VT_BSTR), S_OK);
  EXPECT_STREQ(out.bstrVal, L"0.1");

  CComVariant empty;
  ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_I2), S_OK);
  EXPECT_EQ(out.iVal, 0);
  CComVariant null;
  null.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);

  // By reference sources are read through.
  LONG target = 9;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_I4 | VT_BYREF;
  ref.plVal = &target;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_STREQ(out.bstrVal, L"9");
  EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
}

TEST(Variant, ChangeTypeBetweenInterfaceKindsQueries) {
  Holder h;
  CComVariant unk(h.unknown());
  CComVariant out;
  // The test object has no IDispatch.
  EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_DISPATCH), E_NOINTERFACE);
  EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(h.object->Refs(), 2u);
}

// ---------------------------------------------------------------------------
// SAFEARRAY

TEST(SafeArray, BoundsAccessAndElementCopies) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(sa), 1u);
  EXPECT_EQ(SafeArrayGetElemsize(sa), 1u);
  LONG lo = -1, hi = -1;
  ASSERT_EQ(SafeArrayGetLBound(sa, 1, &lo), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(sa, 1, &hi), S_OK);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 3);
  EXPECT_EQ(SafeArrayGetUBound(sa, 2, &hi), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(sa, 0, &lo), DISP_E_BADINDEX);

  BYTE* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(sa, reinterpret_cast<void**>(&data)), S_OK);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<BYTE>(10 + i);
  EXPECT_EQ(SafeArrayDestroy(sa), DISP_E_ARRAYISLOCKED);  // still accessed
  ASSERT_EQ(SafeArrayUnaccessData(sa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(sa), E_UNEXPECTED);  // not accessed

  LONG index = 3;
  BYTE b = 0;
  ASSERT_EQ(SafeArrayGetElement(sa, &index, &b), S_OK);
  EXPECT_EQ(b, 13);
  for (LONG badIndex : {-1, 4, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(SafeArrayGetElement(sa, &badIndex, &b), DISP_E_BADINDEX) << badIndex;
    EXPECT_EQ(SafeArrayPutElement(sa, &badIndex, &b), DISP_E_BADINDEX) << badIndex;
  }
  EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, NonZeroLowerBoundsAndRefusedShapes) {
  SAFEARRAYBOUND bound{3, -5};
  SAFEARRAY* sa = SafeArrayCreate(VT_I4, 1, &bound);
  ASSERT_NE(sa, nullptr);
  LONG hi = 0;
  ASSERT_EQ(SafeArrayGetUBound(sa, 1, &hi), S_OK);
  EXPECT_EQ(hi, -3);
  LONG idx = -4;
  LONG value = 77, back = 0;
  ASSERT_EQ(SafeArrayPutElement(sa, &idx, &value), S_OK);
  ASSERT_EQ(SafeArrayGetElement(sa, &idx, &back), S_OK);
  EXPECT_EQ(back, 77);
  idx = -2;
  EXPECT_EQ(SafeArrayGetElement(sa, &idx, &back), DISP_E_BADINDEX);
  SafeArrayDestroy(sa);

  SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, two), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, INT32_MAX, 2), nullptr);  // upper bound overflows
  SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 0, 0);
  ASSERT_NE(empty, nullptr);
  ASSERT_EQ(SafeArrayGetUBound(empty, 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
  SafeArrayDestroy(empty);
}

TEST(SafeArray, StringInterfaceAndVariantElementsAreOwned) {
  Holder h;
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(strings, nullptr);
  LONG i = 1;
  BSTR text = SysAllocStringLen(L"a\0b", 3);
  ASSERT_EQ(SafeArrayPutElement(strings, &i, text), S_OK);  // stores a copy
  SysFreeString(text);
  ASSERT_EQ(SafeArrayPutElement(strings, &i, nullptr), S_OK);  // replaces and frees
  BSTR again = SysAllocString(L"again");
  ASSERT_EQ(SafeArrayPutElement(strings, &i, again), S_OK);
  SysFreeString(again);
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(strings, &i, &got), S_OK);
  EXPECT_STREQ(got, L"again");
  SysFreeString(got);

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(strings, &copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(strings), S_OK);
  ASSERT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);
  EXPECT_STREQ(got, L"again");
  SysFreeString(got);
  SafeArrayDestroy(copy);

  SAFEARRAY* unknowns = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
  i = 0;
  ASSERT_EQ(SafeArrayPutElement(unknowns, &i, h.unknown()), S_OK);
  EXPECT_EQ(h.object->Refs(), 2u);
  SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  CComVariant v(h.unknown());
  ASSERT_EQ(SafeArrayPutElement(variants, &i, &v), S_OK);
  EXPECT_EQ(h.object->Refs(), 4u);

  // Variants holding arrays: cleared with the variant, copied deeply.
  CComVariant holder(unknowns);
  EXPECT_EQ(holder.vt, VT_ARRAY | VT_UNKNOWN);
  CComVariant holderCopy(holder);
  EXPECT_NE(holderCopy.parray, holder.parray);
  EXPECT_EQ(h.object->Refs(), 5u);
  holder.Clear();
  holderCopy.Clear();
  v.Clear();
  EXPECT_EQ(h.object->Refs(), 2u);
  SafeArrayDestroy(variants);
  EXPECT_EQ(h.object->Refs(), 1u);
}

// ---------------------------------------------------------------------------
// Property bag

TEST(MemoryPropertyBag, ReadsStoredTypesConvertsOnRequestAndKeepsCopies) {
  CComPtr<CMemoryPropertyBag> bag = CMemoryPropertyBag::Create();
  ASSERT_EQ(bag->WriteString(L"FriendlyName", L"Decoder"), S_OK);
  ASSERT_EQ(bag->WriteString(L"CLSID", L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"), S_OK);
  const BYTE blob[] = {2, 0, 0, 0, 0, 0, 0x60, 0};
  ASSERT_EQ(bag->WriteBytes(L"FilterData", blob, sizeof(blob)), S_OK);

  CComQIPtr<IPropertyBag> face(static_cast<IUnknown*>(bag.p));
  ASSERT_NE(face.p, nullptr);
  CComVariant name;
  ASSERT_EQ(face->Read(L"FriendlyName", &name, nullptr), S_OK);
  EXPECT_EQ(name.vt, VT_BSTR);
  EXPECT_STREQ(name.bstrVal, L"Decoder");

  CComVariant data;
  ASSERT_EQ(face->Read(L"FilterData", &data, nullptr), S_OK);
  ASSERT_EQ(data.vt, VT_ARRAY | VT_UI1);
  BYTE* bytes = nullptr;
  ASSERT_EQ(SafeArrayAccessData(data.parray, reinterpret_cast<void**>(&bytes)), S_OK);
  EXPECT_EQ(data.parray->rgsabound[0].cElements, sizeof(blob));
  EXPECT_EQ(std::memcmp(bytes, blob, sizeof(blob)), 0);
  bytes[0] = 99;  // the caller's copy, not the bag's
  SafeArrayUnaccessData(data.parray);
  CComVariant again;
  ASSERT_EQ(face->Read(L"FilterData", &again, nullptr), S_OK);
  EXPECT_EQ(static_cast<BYTE*>(again.parray->pvData)[0], 2);

  CComVariant missing;
  EXPECT_EQ(face->Read(L"friendlyname", &missing, nullptr), E_INVALIDARG);  // names are exact
  EXPECT_EQ(face->Read(nullptr, &missing, nullptr), E_POINTER);

  // A typed request converts; an impossible one fails and leaves it.
  CComVariant flag(true);
  ASSERT_EQ(face->Write(L"_HIRESOUTPUT", &flag), S_OK);
  CComVariant asText(L"");
  ASSERT_EQ(face->Read(L"_HIRESOUTPUT", &asText, nullptr), S_OK);
  EXPECT_STREQ(asText.bstrVal, L"-1");
  CComVariant asInt(0);
  EXPECT_EQ(face->Read(L"FriendlyName", &asInt, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(asInt.vt, VT_I4);

  // Writing replaces; the count tracks names.
  ASSERT_EQ(bag->WriteString(L"FriendlyName", L"Other"), S_OK);
  EXPECT_EQ(bag->Count(), 4u);
  name.Clear();
  ASSERT_EQ(face->Read(L"FriendlyName", &name, nullptr), S_OK);
  EXPECT_STREQ(name.bstrVal, L"Other");
}

TEST(MemoryPropertyBag, HoldsReferencesToStoredInterfaces) {
  Holder h;
  {
    CComPtr<CMemoryPropertyBag> bag = CMemoryPropertyBag::Create();
    CComVariant v(h.unknown());
    ASSERT_EQ(bag->Write(L"Object", &v), S_OK);
    v.Clear();
    EXPECT_EQ(h.object->Refs(), 2u);
    CComVariant other(3);
    ASSERT_EQ(bag->Write(L"Object", &other), S_OK);  // replacing releases
    EXPECT_EQ(h.object->Refs(), 1u);
    ASSERT_EQ(bag->Write(L"Again", &v), S_OK);
    v = CComVariant(h.unknown());
    ASSERT_EQ(bag->Write(L"Again", &v), S_OK);
  }
  EXPECT_EQ(h.object->Refs(), 1u);  // the bag let go when it went
}
