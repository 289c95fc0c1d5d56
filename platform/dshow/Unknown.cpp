#include "platform/dshow/Unknown.h"

namespace {
std::atomic<LONG> g_objectsActive{0};
}

LONG CBaseObject::ObjectsActive() { return g_objectsActive.load(); }

CUnknown::CUnknown(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr)
    : CBaseObject(name), m_pUnknown(outer ? outer : &m_inner) {
  g_objectsActive.fetch_add(1);
}

CUnknown::~CUnknown() { g_objectsActive.fetch_sub(1); }

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IUnknown) return GetInterface(&m_inner, ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
  LONG n = --m_cRef;
  if (n == 0) {
    // Guards against a destructor that AddRefs and Releases this object
    // again (through a pointer it hands out) deleting it twice.
    m_cRef = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(n < 0 ? 0 : n);
}

HRESULT GetInterface(LPUNKNOWN unk, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = unk;
  unk->AddRef();
  return S_OK;
}
