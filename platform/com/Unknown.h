// IUnknown, the root of every component interface.
#pragma once

#include "platform/com/Guid.h"

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

  template <class Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(pp));
  }

 protected:
  ~IUnknown() = default;
};
PELLOMAR_INTERFACE_ID(IUnknown, "00000000-0000-0000-C000-000000000046");
using LPUNKNOWN = IUnknown*;
