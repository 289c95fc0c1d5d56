// A filter made with new, held by a smart pointer from the start: the
// creation reference is taken over, so the filter goes with its last holder.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/dshow/DShow.h"

template <class T>
CComPtr<IBaseFilter> Hold(T* raw) {
  raw->NonDelegatingAddRef();
  CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(raw));
  raw->NonDelegatingRelease();
  return f;
}
