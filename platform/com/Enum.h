// IEnumUnknown, and a ready-made enumerator over a fixed list of interface
// pointers that also serves IEnumMoniker and the enumerators of the other
// layers (same four methods, same rules).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/ComPtr.h"

struct IEnumUnknown : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IUnknown** rgelt, ULONG* fetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown** out) = 0;

 protected:
  ~IEnumUnknown() = default;
};
PELLOMAR_INTERFACE_ID(IEnumUnknown, "00000100-0000-0000-C000-000000000046");

// Enumerates a snapshot of interface pointers. Next hands out counted
// references; it returns S_OK when it filled all `celt` slots and S_FALSE
// when it ran out; a null `fetched` is only allowed for celt == 1. Clones
// share the snapshot and start at the clone's position.
template <class IEnum, class I>
class CInterfaceEnum final : public IEnum {
 public:
  using Items = std::vector<CComPtr<I>>;

  static HRESULT Create(Items items, IEnum** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
      *out = new CInterfaceEnum(std::make_shared<const Items>(std::move(items)), 0);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == uuidof<IEnum>()) {
      *ppv = static_cast<IEnum*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, I** rgelt, ULONG* fetched) override {
    if (!rgelt || (celt != 1 && !fetched)) return E_POINTER;
    std::lock_guard lock(mutex_);
    ULONG n = 0;
    while (n < celt && pos_ < items_->size()) {
      rgelt[n] = (*items_)[pos_++];
      if (rgelt[n]) rgelt[n]->AddRef();
      ++n;
    }
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    std::lock_guard lock(mutex_);
    size_t left = items_->size() - pos_;
    if (celt > left) {
      pos_ = items_->size();
      return S_FALSE;
    }
    pos_ += celt;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard lock(mutex_);
    pos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnum** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::lock_guard lock(mutex_);
    try {
      *out = new CInterfaceEnum(items_, pos_);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

 private:
  CInterfaceEnum(std::shared_ptr<const Items> items, size_t pos) : items_(std::move(items)), pos_(pos) {}
  ~CInterfaceEnum() = default;

  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  std::shared_ptr<const Items> items_;
  size_t pos_;
};

using CEnumUnknown = CInterfaceEnum<IEnumUnknown, IUnknown>;
