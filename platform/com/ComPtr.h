// Counted interface pointers in the shape of ATL's CComPtr and CComQIPtr.
//
// Taking the address of a pointer (operator&) is for out parameters: it
// releases what the pointer held and hands out the address of the now null
// member, so `p->Get(&p2)` twice does not leak the first object. Code that
// needs the address of the raw member without releasing (an in-parameter
// array of one element) writes `&p.p`.
#pragma once

#include <memory>
#include <utility>

#include "platform/com/ComBase.h"

template <class T>
class CComPtr {
 public:
  using element_type = T;

  // Null is taken by the T* overloads, so that both nullptr and NULL work.
  CComPtr() noexcept = default;
  CComPtr(T* lp) noexcept : p(lp) {
    if (p) p->AddRef();
  }
  CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
  // From a pointer to a derived interface (IUnknown from anything).
  template <class U>
    requires(!std::is_same_v<U, T> && std::is_convertible_v<U*, T*>)
  CComPtr(const CComPtr<U>& other) noexcept : CComPtr(static_cast<T*>(other.p)) {}
  CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
  ~CComPtr() {
    if (p) p->Release();
  }

  CComPtr& operator=(T* lp) noexcept {
    if (lp != p) {
      if (lp) lp->AddRef();
      T* old = p;
      p = lp;
      if (old) old->Release();
    }
    return *this;
  }
  CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
  template <class U>
    requires(!std::is_same_v<U, T> && std::is_convertible_v<U*, T*>)
  CComPtr& operator=(const CComPtr<U>& other) noexcept {
    return *this = static_cast<T*>(other.p);
  }
  CComPtr& operator=(CComPtr&& other) noexcept {
    if (this != std::addressof(other)) {
      T* old = p;
      p = other.p;
      other.p = nullptr;
      if (old) old->Release();
    }
    return *this;
  }

  operator T*() const noexcept { return p; }
  T& operator*() const noexcept { return *p; }
  T* operator->() const noexcept { return p; }
  // See the note at the top: releases first.
  T** operator&() noexcept {
    Release();
    return &p;
  }
  bool operator!() const noexcept { return p == nullptr; }
  bool operator==(T* other) const noexcept { return p == other; }
  bool operator==(const CComPtr& other) const noexcept { return p == other.p; }
  bool operator<(T* other) const noexcept { return p < other; }

  void Release() noexcept {
    T* old = p;
    p = nullptr;
    if (old) old->Release();
  }
  // Takes over a reference the caller owns.
  void Attach(T* lp) noexcept {
    T* old = p;
    p = lp;
    if (old) old->Release();
  }
  // Hands the reference to the caller.
  T* Detach() noexcept {
    T* old = p;
    p = nullptr;
    return old;
  }
  HRESULT CopyTo(T** out) const noexcept {
    if (!out) return E_POINTER;
    *out = p;
    if (p) p->AddRef();
    return S_OK;
  }
  template <class Q>
  HRESULT QueryInterface(Q** out) const noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!p) return E_POINTER;
    return p->QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(out));
  }
  // True when both point at the same object (compared by IUnknown identity).
  bool IsEqualObject(IUnknown* other) const noexcept {
    if (!p && !other) return true;
    if (!p || !other) return false;
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    bool same = a && a == b;
    if (a) a->Release();
    if (b) b->Release();
    return same;
  }
  HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer = nullptr, DWORD clsctx = CLSCTX_ALL) noexcept {
    Release();
    return ::CoCreateInstance(clsid, outer, clsctx, uuidof<T>(), reinterpret_cast<void**>(&p));
  }

  T* p = nullptr;
};

// A counted pointer that queries for its interface when it is given a
// pointer of another interface; given a T* it only adds a reference (except
// for T = IUnknown, which always queries).
template <class T, const IID* piid = &InterfaceTraits<T>::iid>
class CComQIPtr : public CComPtr<T> {
 public:
  CComQIPtr() noexcept = default;
  CComQIPtr(std::nullptr_t) noexcept {}
  CComQIPtr(const CComQIPtr& other) noexcept : CComPtr<T>(other.p) {}
  CComQIPtr(CComQIPtr&& other) noexcept : CComPtr<T>(std::move(other)) {}
  template <class U>
  CComQIPtr(U* lp) noexcept {
    Assign(lp);
  }
  template <class U>
  CComQIPtr(const CComPtr<U>& lp) noexcept {
    Assign(lp.p);
  }

  CComQIPtr& operator=(const CComQIPtr& other) noexcept {
    CComPtr<T>::operator=(other.p);
    return *this;
  }
  CComQIPtr& operator=(CComQIPtr&& other) noexcept {
    CComPtr<T>::operator=(std::move(other));
    return *this;
  }
  CComQIPtr& operator=(std::nullptr_t) noexcept {
    this->Release();
    return *this;
  }
  template <class U>
  CComQIPtr& operator=(U* lp) noexcept {
    Assign(lp);
    return *this;
  }
  template <class U>
  CComQIPtr& operator=(const CComPtr<U>& lp) noexcept {
    Assign(lp.p);
    return *this;
  }

 private:
  template <class U>
  void Assign(U* lp) noexcept {
    // A pointer to IUnknown is always asked for its identity unknown, as
    // the same object may hand out several different IUnknown pointers.
    if constexpr (std::is_convertible_v<U*, T*> && piid == &InterfaceTraits<T>::iid &&
                  !std::is_same_v<T, IUnknown>) {
      CComPtr<T>::operator=(static_cast<T*>(lp));
    } else {
      T* q = nullptr;
      if (lp) lp->QueryInterface(*piid, reinterpret_cast<void**>(&q));
      this->Attach(q);
    }
  }
};
