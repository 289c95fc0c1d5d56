// Small counted objects for the component-layer tests: they report their
// reference count and how many of them are alive, so tests can check that
// every reference taken is given back.
#pragma once

#include <atomic>

#include "platform/com/Com.h"

struct ITestValue : IUnknown {
  virtual int STDMETHODCALLTYPE Value() = 0;

 protected:
  ~ITestValue() = default;
};
PELLOMAR_INTERFACE_ID(ITestValue, "8B1D2F30-5C47-4E69-A0B3-7D2E91C4F856");

inline std::atomic<int> g_liveTestObjects{0};

// Answers IUnknown, IPersist and ITestValue.
class CTestObject final : public IPersist, public ITestValue {
 public:
  static constexpr GUID kClsid = MakeGuid("{2E6F0A41-93B8-4C1D-8E57-A4F3B0D6C912}");

  explicit CTestObject(int value = 0) : value_(value) { ++g_liveTestObjects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist) {
      *ppv = static_cast<IPersist*>(this);
    } else if (riid == IID_ITestValue) {
      *ppv = static_cast<ITestValue*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = kClsid;
    return S_OK;
  }
  int STDMETHODCALLTYPE Value() override { return value_; }

  ULONG Refs() const { return refs_; }

  // A creator for the class table; refuses aggregation.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* object = new CTestObject(7);
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }

 private:
  ~CTestObject() { --g_liveTestObjects; }

  std::atomic<ULONG> refs_{1};
  int value_;
};
