#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "tests/platform/com/TestObjects.h"

namespace {

class ClassTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CoRegisterClass(CTestObject::kClsid, &CTestObject::Create, L"Test object"), S_OK); }
  void TearDown() override {
    CoRevokeClass(CTestObject::kClsid);
    EXPECT_EQ(g_liveTestObjects, 0);
  }
};

constexpr GUID kUnknownClsid = MakeGuid("{0D4C7B29-6E81-4A35-9F02-B8E6C1A3D574}");

// Runs `body` on a new thread and waits for it, so apartment state starts
// fresh.
template <class F>
void OnFreshThread(F body) {
  std::thread t(body);
  t.join();
}

}  // namespace

TEST_F(ClassTableTest, CreatesRegisteredClassesForTheRequestedInterface) {
  CComPtr<ITestValue> value;
  ASSERT_EQ(CoCreateInstance(CTestObject::kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&value.p)), S_OK);
  EXPECT_EQ(value->Value(), 7);
  CComPtr<IPersist> persist;
  ASSERT_EQ(persist.CoCreateInstance(CTestObject::kClsid), S_OK);
  CLSID clsid;
  ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CTestObject::kClsid);
  EXPECT_EQ(CoGetRegisteredClassName(CTestObject::kClsid), L"Test object");
  EXPECT_EQ(g_liveTestObjects, 2);

  // An interface the object lacks: no object survives.
  CComPtr<IMoniker> moniker;
  EXPECT_EQ(moniker.CoCreateInstance(CTestObject::kClsid), E_NOINTERFACE);
  EXPECT_EQ(moniker.p, nullptr);
  EXPECT_EQ(g_liveTestObjects, 2);
}

TEST_F(ClassTableTest, UnknownRevokedAndOutOfProcessClassesAreNotRegistered) {
  void* pv = this;
  EXPECT_EQ(CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(pv, nullptr);
  EXPECT_EQ(CoCreateInstance(CTestObject::kClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CTestObject::kClsid, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(CoRevokeClass(CTestObject::kClsid), S_OK);
  EXPECT_EQ(CoRevokeClass(CTestObject::kClsid), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CTestObject::kClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoGetRegisteredClassName(CTestObject::kClsid), L"");

  EXPECT_EQ(CoRegisterClass(CTestObject::kClsid, nullptr), E_POINTER);
  EXPECT_EQ(CoRegisterClass(CTestObject::kClsid, &CTestObject::Create), S_OK);
  EXPECT_EQ(CoRegisterClass(CTestObject::kClsid, &CTestObject::Create), S_FALSE);
}

TEST_F(ClassTableTest, ClassFactoryOverTheTable) {
  CComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CTestObject::kClsid, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory.p)), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  CComPtr<ITestValue> value;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&value.p)), S_OK);
  EXPECT_EQ(value->Value(), 7);
  void* pv = nullptr;
  EXPECT_EQ(factory->CreateInstance(value, IID_ITestValue, &pv), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(pv, nullptr);
  EXPECT_EQ(CoGetClassObject(kUnknownClsid, CLSCTX_ALL, nullptr, IID_PPV_ARGS(&factory)), REGDB_E_CLASSNOTREG);
}

TEST_F(ClassTableTest, ConcurrentCreationWhileOtherClassesComeAndGo) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 500;
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    // Registering and revoking another class must not disturb creation.
    while (!stop) {
      CoRegisterClass(kUnknownClsid, &CTestObject::Create);
      CoRevokeClass(kUnknownClsid);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        CComPtr<ITestValue> value;
        if (CoCreateInstance(CTestObject::kClsid, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&value.p)) != S_OK ||
            value->Value() != 7)
          ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  stop = true;
  churn.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(g_liveTestObjects, 0);
}

TEST(Apartment, InitialisationIsCountedPerThreadAndKeepsItsMode) {
  OnFreshThread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    // Another thread has its own state.
    OnFreshThread([] {
      EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
      CoUninitialize();
    });
    CoUninitialize();
    // Still initialised once: the mode is still fixed.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();  // one too many: harmless
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
  });
}

TEST(GuidText, StringFromGuid2BufferRules) {
  constexpr GUID g = MakeGuid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  OLECHAR buf[40];
  std::fill(std::begin(buf), std::end(buf), L'#');
  EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);  // one short of the terminator
  EXPECT_EQ(buf[0], L'#');
  EXPECT_EQ(StringFromGUID2(g, buf, 39), 39);
  EXPECT_STREQ(buf, L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  EXPECT_EQ(buf[39], L'#');
  EXPECT_EQ(StringFromGUID2(g, nullptr, 39), 0);

  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(g, &text), S_OK);
  EXPECT_STREQ(text, buf);
  CoTaskMemFree(text);
}

TEST(GuidText, ClsidFromStringAcceptsOnlyBracedGuids) {
  constexpr GUID g = MakeGuid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  CLSID out;
  EXPECT_EQ(CLSIDFromString(L"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", &out), S_OK);
  EXPECT_EQ(out, g);
  for (const wchar_t* bad : {L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",
                             L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}x", L"{0A1B2C3D 4E5F-6071-8293-A4B5C6D7E8F9}",
                             L"", static_cast<const wchar_t*>(nullptr)}) {
    out = g;
    EXPECT_EQ(CLSIDFromString(bad, &out), CO_E_CLASSSTRING) << (bad ? bad : L"(null)");
    EXPECT_EQ(out, GUID_NULL);
  }
  IID iid;
  EXPECT_EQ(IIDFromString(L"{00000000-0000-0000-C000-000000000046}", &iid), S_OK);
  EXPECT_EQ(iid, IID_IUnknown);
  EXPECT_EQ(CLSIDFromString(L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", nullptr), E_INVALIDARG);
}

TEST(GuidText, CreatedGuidsAreRandomVersion4) {
  std::set<GUID> seen;
  for (int i = 0; i < 64; ++i) {
    GUID g;
    ASSERT_EQ(CoCreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(TaskMemory, AllocReallocFreeAndTheAllocatorObject) {
  auto* p = static_cast<BYTE*>(CoTaskMemAlloc(0));
  ASSERT_NE(p, nullptr);  // a zero-size block is still a block
  p = static_cast<BYTE*>(CoTaskMemRealloc(p, 16));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 16; ++i) p[i] = static_cast<BYTE>(i);
  p = static_cast<BYTE*>(CoTaskMemRealloc(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[15], 15);
  EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees
  CoTaskMemFree(nullptr);

  CComPtr<IMalloc> malloc;
  EXPECT_EQ(CoGetMalloc(0, &malloc), E_INVALIDARG);
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &malloc), S_OK);
  void* q = malloc->Alloc(24);
  ASSERT_NE(q, nullptr);
  EXPECT_GE(malloc->GetSize(q), 24u);
  CoTaskMemFree(q);  // same heap
}
