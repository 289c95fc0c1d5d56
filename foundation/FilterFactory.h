// The class-table factory of a filter built with the system's constructor
// form (owner, result out): one definition for every filter class.
#pragma once

#include <new>

#include "platform/com/ComPtr.h"
#include "platform/dshow/BaseClasses.h"

template <class T>
HRESULT CreateFilterObject(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  T* filter = new (std::nothrow) T(outer, &hr);
  if (!filter) return E_OUTOFMEMORY;
  // The temporary reference deletes a filter whose construction failed.
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

// A new filter of the system's own for a graph its creator builds: `filter`
// holds it, and `object` reaches its own setters while `filter` does.
template <class T>
HRESULT NewFilter(CComPtr<IBaseFilter>& filter, T*& object) {
  HRESULT hr = S_OK;
  object = new (std::nothrow) T(nullptr, &hr);
  if (!object) return E_OUTOFMEMORY;
  filter = object;  // from here the reference count owns it
  if (FAILED(hr)) {
    filter.Release();
    object = nullptr;
  }
  return hr;
}
