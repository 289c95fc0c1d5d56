// The base of the layer's components: a named object with a reference count
// that can be aggregated.
//
// Each component answers QueryInterface/AddRef/Release through its owner
// (GetOwner): the outer object when aggregated, else its own non-delegating
// face. The non-delegating methods carry the component's real reference
// count and interface table.
#pragma once

#include <atomic>

#include "platform/com/Unknown.h"
#include "platform/win32/Types.h"

// Object names are for diagnostics only.
#define NAME(x) (x)

struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;

 protected:
  ~INonDelegatingUnknown() = default;
};
using PNDUNKNOWN = INonDelegatingUnknown*;

class CBaseObject {
 public:
  explicit CBaseObject(LPCTSTR name) : m_pName(name) {}
  virtual ~CBaseObject() = default;
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

  LPCTSTR ObjectName() const { return m_pName ? m_pName : ""; }

  // Number of live components of this layer, for leak checks in tests.
  static LONG ObjectsActive();

 private:
  LPCTSTR m_pName;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  CUnknown(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr = nullptr);
  ~CUnknown() override;

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  // The object that answers for this one: the outer object when
  // aggregated, else this object's own IUnknown.
  LPUNKNOWN GetOwner() const { return m_pUnknown; }
  // This object's own IUnknown (never the outer one).
  LPUNKNOWN GetInnerUnknown() { return &m_inner; }

 protected:
  std::atomic<LONG> m_cRef{0};

 private:
  // The non-delegating face as a real IUnknown: the outer object holds it
  // and calls it like any other interface.
  class Inner final : public IUnknown {
   public:
    explicit Inner(CUnknown* self) : m_self(self) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      return m_self->NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_self->NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_self->NonDelegatingRelease(); }

   private:
    CUnknown* m_self;
  };

  Inner m_inner{this};
  LPUNKNOWN const m_pUnknown;
};

// Hands out an interface pointer with a reference.
HRESULT GetInterface(LPUNKNOWN unk, void** ppv);

template <class I, class T>
HRESULT GetInterfaceAs(T* object, void** ppv) {
  return GetInterface(static_cast<LPUNKNOWN>(static_cast<I*>(object)), ppv);
}

// The delegating IUnknown of a class deriving from CUnknown and from
// interfaces: every call goes to the owner.
#define DECLARE_IUNKNOWN                                                            \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {      \
    return GetOwner()->QueryInterface(riid, ppv);                                   \
  }                                                                                 \
  ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }        \
  ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }

#define CheckPointer(p, ret) \
  do {                       \
    if ((p) == nullptr) return (ret); \
  } while (0)
