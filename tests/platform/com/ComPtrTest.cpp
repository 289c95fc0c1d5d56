#include <gtest/gtest.h>

#include "tests/platform/com/TestObjects.h"

namespace {

// A fresh object with one reference held by the test (dropped at the end).
struct Holder {
  Holder() : object(new CTestObject(3)) {}
  ~Holder() { object->Release(); }
  IPersist* persist() { return object; }
  CTestObject* object;
};

}  // namespace

TEST(ComPtr, CopiesMovesAndAssignmentsBalanceTheCount) {
  {
    Holder h;
    {
      CComPtr<IPersist> a(h.persist());
      EXPECT_EQ(h.object->Refs(), 2u);
      CComPtr<IPersist> b(a);
      EXPECT_EQ(h.object->Refs(), 3u);
      CComPtr<IPersist> c(std::move(b));
      EXPECT_EQ(h.object->Refs(), 3u);
      EXPECT_EQ(b.p, nullptr);
      c = a;  // same object: no change
      EXPECT_EQ(h.object->Refs(), 3u);
      c = c;
      EXPECT_EQ(h.object->Refs(), 3u);
      b = std::move(c);
      EXPECT_EQ(h.object->Refs(), 3u);
      b = nullptr;
      EXPECT_EQ(h.object->Refs(), 2u);
      EXPECT_TRUE(!b);
      EXPECT_TRUE(a == h.persist());
      EXPECT_TRUE(b == NULL);
      // Widening to IUnknown takes a reference of its own.
      CComPtr<IUnknown> wide(a);
      EXPECT_EQ(h.object->Refs(), 3u);
      wide = a;
      EXPECT_EQ(h.object->Refs(), 3u);
      wide = NULL;
      EXPECT_EQ(h.object->Refs(), 2u);
    }
    EXPECT_EQ(h.object->Refs(), 1u);
  }
  EXPECT_EQ(g_liveTestObjects, 0);
}

TEST(ComPtr, AttachDetachCopyToAndAddressOf) {
  Holder h;
  CComPtr<IPersist> a;
  h.object->AddRef();
  a.Attach(h.persist());  // takes the reference without adding one
  EXPECT_EQ(h.object->Refs(), 2u);
  IPersist* raw = a.Detach();
  EXPECT_EQ(a.p, nullptr);
  EXPECT_EQ(h.object->Refs(), 2u);
  a.Attach(raw);

  IPersist* out = nullptr;
  ASSERT_EQ(a.CopyTo(&out), S_OK);
  EXPECT_EQ(out, h.persist());
  EXPECT_EQ(h.object->Refs(), 3u);
  out->Release();
  EXPECT_EQ(a.CopyTo(nullptr), E_POINTER);

  // Taking the address for an out parameter drops what was held, so filling
  // it again does not leak.
  IPersist** slot = &a;
  EXPECT_EQ(*slot, nullptr);
  EXPECT_EQ(h.object->Refs(), 1u);
  *slot = h.persist();
  h.object->AddRef();
  // &p.p leaves the pointer alone.
  EXPECT_EQ(*&a.p, h.persist());
  EXPECT_EQ(h.object->Refs(), 2u);
}

TEST(ComPtr, QueryInterfaceMemberAndFailures) {
  Holder h;
  CComPtr<IPersist> a(h.persist());
  CComPtr<ITestValue> value;
  ASSERT_EQ(a.QueryInterface(&value.p), S_OK);
  EXPECT_EQ(value->Value(), 3);
  EXPECT_EQ(h.object->Refs(), 3u);

  CComPtr<IMoniker> moniker;
  EXPECT_EQ(a.QueryInterface(&moniker.p), E_NOINTERFACE);
  EXPECT_EQ(moniker.p, nullptr);
  EXPECT_EQ(h.object->Refs(), 3u);

  CComPtr<IPersist> empty;
  ITestValue* none = reinterpret_cast<ITestValue*>(&h);  // must be overwritten
  EXPECT_EQ(empty.QueryInterface(&none), E_POINTER);
  EXPECT_EQ(none, nullptr);
  EXPECT_TRUE(a.IsEqualObject(value));
  EXPECT_FALSE(a.IsEqualObject(nullptr));
}

TEST(ComQIPtr, QueriesFromOtherInterfacesAndAddsRefFromItsOwn) {
  Holder h;
  {
    CComQIPtr<ITestValue> value(h.persist());
    ASSERT_NE(value.p, nullptr);
    EXPECT_EQ(value->Value(), 3);
    EXPECT_EQ(h.object->Refs(), 2u);

    CComQIPtr<ITestValue> same(value.p);  // own type: AddRef only
    EXPECT_EQ(h.object->Refs(), 3u);

    CComQIPtr<IMoniker> none(h.persist());
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(h.object->Refs(), 3u);

    CComPtr<IPersist> persist(h.persist());
    CComQIPtr<IUnknown> unknown(persist);
    EXPECT_NE(unknown.p, nullptr);
    EXPECT_EQ(h.object->Refs(), 5u);

    // Reassigning from a pointer without the interface empties it.
    value = static_cast<IUnknown*>(nullptr);
    EXPECT_EQ(value.p, nullptr);
    value = persist;
    EXPECT_NE(value.p, nullptr);
    none = persist;
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(h.object->Refs(), 5u);
  }
  EXPECT_EQ(h.object->Refs(), 1u);
}

// ---------------------------------------------------------------------------
// Aggregation: an outer object that owns an inner one created through the
// class table with the outer as controlling unknown.

struct IInnerFace : IUnknown {
  virtual int STDMETHODCALLTYPE Inner() = 0;

 protected:
  ~IInnerFace() = default;
};
PELLOMAR_INTERFACE_ID(IInnerFace, "C37A90E2-1F4B-4B8D-9D6A-0E52B7F1A3C4");

namespace {



constexpr GUID kInnerClsid = MakeGuid("{5A0C8E13-2D74-4F9B-B6E1-93C7D2A4F085}");
std::atomic<int> g_liveInner{0};

class CInner final : public IInnerFace {
 public:
  explicit CInner(IUnknown* outer) : outer_(outer ? outer : &nondelegating_), nondelegating_(this) { ++g_liveInner; }

  // The delegating face: identity and counts belong to the outer object.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return outer_->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }
  int STDMETHODCALLTYPE Inner() override { return 42; }

  ULONG OwnRefs() const { return nondelegating_.refs; }

  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
    auto* inner = new CInner(outer);
    IUnknown* nd = &inner->nondelegating_;
    HRESULT hr = nd->QueryInterface(riid, ppv);
    nd->Release();
    return hr;
  }

 private:
  struct NonDelegating final : IUnknown {
    explicit NonDelegating(CInner* owner) : owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
      } else if (riid == IID_IInnerFace) {
        *ppv = static_cast<IInnerFace*>(owner);
      } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
      }
      static_cast<IUnknown*>(*ppv)->AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
      ULONG left = --refs;
      if (left == 0) delete owner;
      return left;
    }
    CInner* owner;
    std::atomic<ULONG> refs{1};
  };
  ~CInner() { --g_liveInner; }

  IUnknown* outer_;
  NonDelegating nondelegating_;
};

class COuter final : public ITestValue {
 public:
  COuter() {
    hr = CoCreateInstance(kInnerClsid, static_cast<IUnknown*>(this), CLSCTX_INPROC_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(&inner_));
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITestValue) {
      *ppv = static_cast<ITestValue*>(this);
      AddRef();
      return S_OK;
    }
    if (inner_) return inner_->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  int STDMETHODCALLTYPE Value() override { return 1; }
  ULONG Refs() const { return refs_; }

  HRESULT hr;

 private:
  ~COuter() {
    if (inner_) inner_->Release();
  }
  std::atomic<ULONG> refs_{1};
  IUnknown* inner_ = nullptr;  // the inner's non-delegating unknown
};

class AggregationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoRegisterClass(kInnerClsid, &CInner::Create, L"Inner"))); }
  void TearDown() override { CoRevokeClass(kInnerClsid); }
};

}  // namespace

TEST_F(AggregationTest, InnerInterfacesAreReachedThroughTheOuterAndCountsDelegate) {
  auto* outer = new COuter;
  ASSERT_EQ(outer->hr, S_OK);
  EXPECT_EQ(g_liveInner, 1);
  {
    CComQIPtr<IInnerFace> inner(static_cast<IUnknown*>(outer));
    ASSERT_NE(inner.p, nullptr);
    EXPECT_EQ(inner->Inner(), 42);
    EXPECT_EQ(outer->Refs(), 2u);  // the reference went to the outer

    // Identity: IUnknown through the inner face is the outer's.
    CComQIPtr<IUnknown> viaInner(inner.p);
    EXPECT_EQ(viaInner.p, static_cast<IUnknown*>(outer));
    // And back to the outer's own interface.
    CComQIPtr<ITestValue> back(inner.p);
    EXPECT_EQ(back->Value(), 1);
    EXPECT_EQ(outer->Refs(), 4u);
  }
  EXPECT_EQ(outer->Refs(), 1u);
  outer->Release();
  EXPECT_EQ(g_liveInner, 0);
}

TEST_F(AggregationTest, AggregationRulesOfTheClassTable) {
  Holder h;
  IUnknown* outer = h.persist();
  void* pv = &h;
  // Only IUnknown may be asked for when aggregating.
  EXPECT_EQ(CoCreateInstance(kInnerClsid, outer, CLSCTX_ALL, IID_IInnerFace, &pv), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(pv, nullptr);
  EXPECT_EQ(g_liveInner, 0);
  // A class that refuses aggregation reports it.
  ASSERT_TRUE(SUCCEEDED(CoRegisterClass(CTestObject::kClsid, &CTestObject::Create)));
  pv = &h;
  EXPECT_EQ(CoCreateInstance(CTestObject::kClsid, outer, CLSCTX_ALL, IID_IUnknown, &pv), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(pv, nullptr);
  CoRevokeClass(CTestObject::kClsid);
  EXPECT_EQ(h.object->Refs(), 1u);
}
