#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/platform/com/TestObjects.h"

namespace {

std::wstring DisplayName(IMoniker* m) {
  LPOLESTR name = nullptr;
  if (FAILED(m->GetDisplayName(nullptr, nullptr, &name))) return L"(failed)";
  std::wstring s(name);
  CoTaskMemFree(name);
  return s;
}

CComPtr<IMoniker> Item(const wchar_t* delimiter, const wchar_t* item) {
  CComPtr<IMoniker> m;
  EXPECT_EQ(CreateItemMoniker(delimiter, item, &m), S_OK);
  return m;
}

// Display names of everything the table enumerates.
std::vector<std::wstring> RunningNames(IRunningObjectTable* rot) {
  std::vector<std::wstring> names;
  CComPtr<IEnumMoniker> e;
  if (FAILED(rot->EnumRunning(&e))) return names;
  CComPtr<IMoniker> m;
  while (e->Next(1, &m, nullptr) == S_OK) names.push_back(DisplayName(m));
  return names;
}

}  // namespace

TEST(ItemMoniker, DisplayNameJoinsDelimiterAndItemAndEqualityComparesBoth) {
  CComPtr<IMoniker> a = Item(L"!", L"FilterGraph 1");
  EXPECT_EQ(DisplayName(a), L"!FilterGraph 1");
  EXPECT_EQ(a->IsEqual(Item(L"!", L"FilterGraph 1")), S_OK);
  EXPECT_EQ(a->IsEqual(Item(L"!", L"FilterGraph 2")), S_FALSE);
  EXPECT_EQ(a->IsEqual(Item(L"/", L"FilterGraph 1")), S_FALSE);
  // Same display name, different parts.
  EXPECT_EQ(Item(L"!", L"a!b")->IsEqual(Item(L"!a", L"!b")), S_FALSE);
  EXPECT_EQ(a->IsEqual(nullptr), E_INVALIDARG);

  DWORD h1 = 0, h2 = 0;
  ASSERT_EQ(a->Hash(&h1), S_OK);
  ASSERT_EQ(Item(L"!", L"FilterGraph 1")->Hash(&h2), S_OK);
  EXPECT_EQ(h1, h2);

  CLSID clsid;
  ASSERT_EQ(a->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_ItemMoniker);
  DWORD sys = 0;
  ASSERT_EQ(a->IsSystemMoniker(&sys), S_OK);
  EXPECT_EQ(sys, static_cast<DWORD>(MKSYS_ITEMMONIKER));
  CComQIPtr<IPersistStream> persist(a);
  EXPECT_NE(persist.p, nullptr);
  void* pv = &sys;
  EXPECT_EQ(a->BindToObject(nullptr, nullptr, IID_IUnknown, &pv), E_NOTIMPL);
  EXPECT_EQ(pv, nullptr);

  IMoniker* out = nullptr;
  EXPECT_EQ(CreateItemMoniker(L"!", nullptr, &out), E_INVALIDARG);
  EXPECT_EQ(out, nullptr);
}

TEST(RunningObjectTable, RegisterEnumerateLookUpAndRevoke) {
  CComPtr<IRunningObjectTable> rot;
  ASSERT_EQ(GetRunningObjectTable(0, &rot), S_OK);
  EXPECT_EQ(GetRunningObjectTable(1, &rot), E_INVALIDARG);
  ASSERT_EQ(GetRunningObjectTable(0, &rot), S_OK);

  auto* object = new CTestObject(11);
  IUnknown* unk = static_cast<IPersist*>(object);
  CComPtr<IMoniker> name = Item(L"!", L"FilterGraph 0000abcd pid 00000001 (Test)");
  EXPECT_EQ(rot->IsRunning(name), S_FALSE);

  DWORD cookie = 0;
  ASSERT_EQ(rot->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, unk, name, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(object->Refs(), 2u);  // the table keeps it alive
  object->Release();              // the creator lets go; the object lives on
  EXPECT_EQ(g_liveTestObjects, 1);

  // Found under an equal but distinct moniker.
  CComPtr<IMoniker> probe = Item(L"!", L"FilterGraph 0000abcd pid 00000001 (Test)");
  EXPECT_EQ(rot->IsRunning(probe), S_OK);
  EXPECT_EQ(name->IsRunning(nullptr, nullptr, nullptr), S_OK);
  CComPtr<IUnknown> found;
  ASSERT_EQ(rot->GetObject(probe, &found), S_OK);
  EXPECT_EQ(found.p, unk);
  CComPtr<IUnknown> none;
  EXPECT_EQ(rot->GetObject(Item(L"!", L"other"), &none), MK_E_UNAVAILABLE);
  EXPECT_EQ(none.p, nullptr);

  std::vector<std::wstring> names = RunningNames(rot);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"!FilterGraph 0000abcd pid 00000001 (Test)"), 1);

  // A second registration of the same name works but says so.
  DWORD second = 0;
  ASSERT_EQ(rot->Register(0, unk, probe, &second), MK_S_MONIKERALREADYREGISTERED);
  EXPECT_NE(second, cookie);
  EXPECT_EQ(rot->Revoke(second), S_OK);

  found.Release();
  EXPECT_EQ(rot->Revoke(cookie), S_OK);
  EXPECT_EQ(g_liveTestObjects, 0);  // revoking dropped the last reference
  EXPECT_EQ(rot->Revoke(cookie), E_INVALIDARG);
  EXPECT_EQ(rot->IsRunning(probe), S_FALSE);
  names = RunningNames(rot);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"!FilterGraph 0000abcd pid 00000001 (Test)"), 0);

  DWORD bad = 5;
  EXPECT_EQ(rot->Register(0, nullptr, name, &bad), E_INVALIDARG);
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(rot->Register(0x80, unk, name, &bad), E_INVALIDARG);
}

namespace {

// Revokes its own table entry from its destructor, as an object that keeps
// its registration to itself does.
class CSelfRevoking final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs;
    if (left == 0) delete this;
    return left;
  }
  DWORD other = 0;  // another entry to revoke when going away
  std::atomic<ULONG> refs{1};

 private:
  ~CSelfRevoking() {
    CComPtr<IRunningObjectTable> rot;
    if (SUCCEEDED(GetRunningObjectTable(0, &rot)) && other) rot->Revoke(other);
  }
};

}  // namespace

TEST(RunningObjectTable, ReleasingFromRevokeMayReenterTheTable) {
  CComPtr<IRunningObjectTable> rot;
  ASSERT_EQ(GetRunningObjectTable(0, &rot), S_OK);
  auto* object = new CSelfRevoking;
  auto* witness = new CTestObject;
  DWORD first = 0;
  ASSERT_EQ(rot->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, object, Item(L"!", L"self"), &first), S_OK);
  ASSERT_EQ(rot->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, static_cast<IPersist*>(witness), Item(L"!", L"witness"),
                          &object->other),
            S_OK);
  object->Release();
  witness->Release();
  // Revoking the first entry destroys the object, whose destructor revokes
  // the second: must neither deadlock nor leak.
  EXPECT_EQ(rot->Revoke(first), S_OK);
  EXPECT_EQ(g_liveTestObjects, 0);
}

TEST(BindCtx, HoldsBoundObjectsAndParametersAndGivesTheTable) {
  auto* object = new CTestObject;
  IUnknown* unk = static_cast<IPersist*>(object);
  {
    CComPtr<IBindCtx> bc;
    EXPECT_EQ(CreateBindCtx(1, &bc), E_INVALIDARG);
    ASSERT_EQ(CreateBindCtx(0, &bc), S_OK);
    ASSERT_EQ(bc->RegisterObjectBound(unk), S_OK);
    ASSERT_EQ(bc->RegisterObjectParam(const_cast<LPOLESTR>(L"key"), unk), S_OK);
    EXPECT_EQ(object->Refs(), 3u);
    CComPtr<IUnknown> got;
    ASSERT_EQ(bc->GetObjectParam(const_cast<LPOLESTR>(L"key"), &got), S_OK);
    EXPECT_EQ(got.p, unk);
    EXPECT_EQ(bc->GetObjectParam(const_cast<LPOLESTR>(L"nokey"), &got), E_FAIL);
    EXPECT_EQ(got.p, nullptr);
    ASSERT_EQ(bc->RevokeObjectBound(unk), S_OK);
    EXPECT_EQ(bc->RevokeObjectBound(unk), MK_E_NOTBOUND);
    EXPECT_EQ(object->Refs(), 2u);

    BIND_OPTS opts{sizeof(BIND_OPTS), 0, 0, 0};
    ASSERT_EQ(bc->GetBindOptions(&opts), S_OK);
    opts.dwTickCountDeadline = 500;
    ASSERT_EQ(bc->SetBindOptions(&opts), S_OK);
    BIND_OPTS back{sizeof(BIND_OPTS), 0, 0, 0};
    ASSERT_EQ(bc->GetBindOptions(&back), S_OK);
    EXPECT_EQ(back.dwTickCountDeadline, 500u);
    BIND_OPTS tooSmall{4, 0, 0, 0};
    EXPECT_EQ(bc->GetBindOptions(&tooSmall), E_INVALIDARG);

    CComPtr<IRunningObjectTable> fromCtx, global;
    ASSERT_EQ(bc->GetRunningObjectTable(&fromCtx), S_OK);
    ASSERT_EQ(GetRunningObjectTable(0, &global), S_OK);
    EXPECT_EQ(fromCtx.p, global.p);
  }
  EXPECT_EQ(object->Refs(), 1u);  // the context let go of its parameter
  object->Release();
  EXPECT_EQ(g_liveTestObjects, 0);
}

TEST(InterfaceEnum, NextSkipResetCloneFollowTheEnumeratorRules) {
  std::vector<CComPtr<IUnknown>> items;
  for (int i = 0; i < 3; ++i) {
    auto* o = new CTestObject(i);
    items.emplace_back(static_cast<IPersist*>(o));
    o->Release();
  }
  CComPtr<IEnumUnknown> e;
  ASSERT_EQ(CEnumUnknown::Create(items, &e), S_OK);
  items.clear();  // the enumerator keeps its own references
  EXPECT_EQ(g_liveTestObjects, 3);

  IUnknown* got[4] = {};
  ULONG fetched = 99;
  EXPECT_EQ(e->Next(2, got, nullptr), E_POINTER);  // more than one needs a count
  ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  CComPtr<IEnumUnknown> clone;
  ASSERT_EQ(e->Clone(&clone), S_OK);
  ASSERT_EQ(e->Next(4, got + 2, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  for (int i = 0; i < 3; ++i) {
    CComQIPtr<ITestValue> v(got[i]);
    EXPECT_EQ(v->Value(), i);
    got[i]->Release();
  }
  // The clone continues from where it was made.
  IUnknown* third = nullptr;
  ASSERT_EQ(clone->Next(1, &third, nullptr), S_OK);
  EXPECT_EQ(CComQIPtr<ITestValue>(third)->Value(), 2);
  third->Release();
  EXPECT_EQ(clone->Skip(1), S_FALSE);
  ASSERT_EQ(clone->Reset(), S_OK);
  EXPECT_EQ(clone->Skip(3), S_OK);
  EXPECT_EQ(clone->Next(1, &third, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  e.Release();
  clone.Release();
  EXPECT_EQ(g_liveTestObjects, 0);
}
