// Property bags: named VARIANT values read and written by name (IPropertyBag)
// or by descriptor (IPropertyBag2), the error log they report to, objects
// that persist themselves into a bag, and CMemoryPropertyBag, a bag held in
// memory (what a filter moniker hands out for FriendlyName, CLSID and
// FilterData).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/com/ComPtr.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Persist.h"
#include "platform/com/Variant.h"

struct IErrorLog : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR propName, EXCEPINFO* excep) = 0;

 protected:
  ~IErrorLog() = default;
};
PELLOMAR_INTERFACE_ID(IErrorLog, "3127CA40-446E-11CE-8135-00AA004BB851");

struct IPropertyBag : IUnknown {
  // With *value VT_EMPTY the stored type is returned; otherwise the stored
  // value is converted to the type *value has on entry.
  virtual HRESULT STDMETHODCALLTYPE Read(LPCOLESTR propName, VARIANT* value, IErrorLog* errorLog) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(LPCOLESTR propName, VARIANT* value) = 0;

 protected:
  ~IPropertyBag() = default;
};
PELLOMAR_INTERFACE_ID(IPropertyBag, "55272A00-42CB-11CE-8135-00AA004BB851");
using LPPROPERTYBAG = IPropertyBag*;

using CLIPFORMAT = WORD;

enum PROPBAG2_TYPE : DWORD {
  PROPBAG2_TYPE_UNDEFINED = 0,
  PROPBAG2_TYPE_DATA = 1,
  PROPBAG2_TYPE_URL = 2,
  PROPBAG2_TYPE_OBJECT = 3,
  PROPBAG2_TYPE_STREAM = 4,
  PROPBAG2_TYPE_STORAGE = 5,
  PROPBAG2_TYPE_MONIKER = 6,
};

struct PROPBAG2 {
  DWORD dwType;
  VARTYPE vt;
  CLIPFORMAT cfType;
  DWORD dwHint;
  LPOLESTR pstrName;  // task memory when filled by GetPropertyInfo
  CLSID clsid;
};

struct IPropertyBag2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(ULONG count, PROPBAG2* props, IErrorLog* errorLog, VARIANT* values,
                                         HRESULT* results) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(ULONG count, PROPBAG2* props, VARIANT* values) = 0;
  virtual HRESULT STDMETHODCALLTYPE CountProperties(ULONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(ULONG first, ULONG count, PROPBAG2* props, ULONG* filled) = 0;
  virtual HRESULT STDMETHODCALLTYPE LoadObject(LPCOLESTR name, DWORD hint, IUnknown* object,
                                               IErrorLog* errorLog) = 0;

 protected:
  ~IPropertyBag2() = default;
};
PELLOMAR_INTERFACE_ID(IPropertyBag2, "22F55882-280B-11D0-A8A9-00A0C90C2004");

struct IPersistPropertyBag : IPersist {
  virtual HRESULT STDMETHODCALLTYPE InitNew() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* errorLog) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) = 0;

 protected:
  ~IPersistPropertyBag() = default;
};
PELLOMAR_INTERFACE_ID(IPersistPropertyBag, "37D84F60-42CB-11CE-8135-00AA004BB851");

// An IPropertyBag over a name -> VARIANT map; names compare exactly.
// Read of a missing name gives E_INVALIDARG; a value that cannot be
// converted to the requested type gives the conversion's error. Write
// stores a deep copy (a by-reference value is stored as what it refers to).
// Safe to use from several threads.
class CMemoryPropertyBag final : public IPropertyBag {
 public:
  static CComPtr<CMemoryPropertyBag> Create();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR propName, VARIANT* value, IErrorLog* errorLog) override;
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR propName, VARIANT* value) override;

  // Conveniences for whoever fills the bag.
  HRESULT WriteString(LPCOLESTR propName, LPCOLESTR text);
  // A VT_UI1 | VT_ARRAY value holding a copy of the bytes.
  HRESULT WriteBytes(LPCOLESTR propName, const BYTE* data, ULONG size);
  size_t Count() const;

 private:
  CMemoryPropertyBag() = default;
  ~CMemoryPropertyBag() = default;

  std::atomic<ULONG> refs_{1};
  mutable std::mutex mutex_;
  std::map<std::wstring, CComVariant, std::less<>> values_;
};
