#include "platform/com/PropertyBag.h"

#include <new>

CComPtr<CMemoryPropertyBag> CMemoryPropertyBag::Create() {
  CComPtr<CMemoryPropertyBag> bag;
  bag.Attach(new CMemoryPropertyBag);
  return bag;
}

HRESULT CMemoryPropertyBag::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
    *ppv = static_cast<IPropertyBag*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CMemoryPropertyBag::AddRef() { return ++refs_; }

ULONG CMemoryPropertyBag::Release() {
  ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT CMemoryPropertyBag::Read(LPCOLESTR propName, VARIANT* value, IErrorLog*) {
  if (!propName || !value) return E_POINTER;
  CComVariant stored;
  {
    std::lock_guard lock(mutex_);
    auto it = values_.find(std::wstring_view(propName));
    if (it == values_.end()) return E_INVALIDARG;
    HRESULT hr = stored.Copy(&it->second);
    if (FAILED(hr)) return hr;
  }
  // The caller's requested type is the type *value has on entry.
  VARTYPE wanted = value->vt;
  if (wanted == VT_EMPTY || wanted == stored.vt) return stored.Detach(value);
  CComVariant converted;
  HRESULT hr = VariantChangeType(&converted, &stored, 0, wanted);
  if (FAILED(hr)) return hr;
  return converted.Detach(value);
}

HRESULT CMemoryPropertyBag::Write(LPCOLESTR propName, VARIANT* value) {
  if (!propName || !value) return E_POINTER;
  try {
    CComVariant copy;
    HRESULT hr = VariantCopyInd(&copy, value);
    if (FAILED(hr)) return hr;
    std::wstring name(propName);
    CComVariant old;
    {
      std::lock_guard lock(mutex_);
      CComVariant& slot = values_[name];
      // Hand the old value out of the lock: clearing it may release objects.
      old.Attach(&slot);
      slot.Attach(&copy);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CMemoryPropertyBag::WriteString(LPCOLESTR propName, LPCOLESTR text) {
  if (!text) return E_POINTER;
  CComVariant v(text);
  if (v.vt != VT_BSTR) return E_OUTOFMEMORY;
  return Write(propName, &v);
}

HRESULT CMemoryPropertyBag::WriteBytes(LPCOLESTR propName, const BYTE* data, ULONG size) {
  if (!data && size) return E_POINTER;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, size);
  if (!array) return E_OUTOFMEMORY;
  CComVariant v(array);
  if (size) std::memcpy(array->pvData, data, size);
  return Write(propName, &v);
}

size_t CMemoryPropertyBag::Count() const {
  std::lock_guard lock(mutex_);
  return values_.size();
}
