#include "platform/com/ComBase.h"

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <unordered_map>

namespace {

// ---------------------------------------------------------------------------
// Apartments

struct ApartmentState {
  ULONG count = 0;
  DWORD mode = COINIT_MULTITHREADED;
};
thread_local ApartmentState t_apartment;

// ---------------------------------------------------------------------------
// Class table

struct ClassEntry {
  CreateInstanceFn create;
  std::wstring name;
};

class ClassTable {
 public:
  static ClassTable& Instance() {
    // Never destroyed: objects may still be created from other threads or
    // from static destructors while the process ends.
    static ClassTable* table = new ClassTable;
    return *table;
  }

  bool Register(REFCLSID clsid, CreateInstanceFn fn, const wchar_t* name) {
    std::unique_lock lock(mutex_);
    auto [it, inserted] = entries_.insert_or_assign(clsid, ClassEntry{fn, name ? name : L""});
    return inserted;
  }
  bool Revoke(REFCLSID clsid) {
    std::unique_lock lock(mutex_);
    return entries_.erase(clsid) != 0;
  }
  CreateInstanceFn Find(REFCLSID clsid) const {
    std::shared_lock lock(mutex_);
    auto it = entries_.find(clsid);
    return it == entries_.end() ? nullptr : it->second.create;
  }
  std::wstring Name(REFCLSID clsid) const {
    std::shared_lock lock(mutex_);
    auto it = entries_.find(clsid);
    return it == entries_.end() ? std::wstring() : it->second.name;
  }

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<GUID, ClassEntry> entries_;
};

bool HasInprocContext(DWORD clsctx) { return (clsctx & CLSCTX_INPROC) != 0; }

// Creation with the checks CoCreateInstance and class factories share. The
// creator is called without any lock held, since creating one object often
// creates others.
HRESULT CreateFromTable(CreateInstanceFn fn, IUnknown* outer, REFIID riid, void** ppv) {
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  HRESULT hr;
  try {
    hr = fn(outer, riid, ppv);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr) && *ppv == nullptr) hr = E_UNEXPECTED;
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

class CTableClassFactory final : public IClassFactory {
 public:
  explicit CTableClassFactory(CreateInstanceFn fn) : fn_(fn) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
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
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return CreateFromTable(fn_, outer, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ~CTableClassFactory() = default;
  std::atomic<ULONG> refs_{1};
  CreateInstanceFn fn_;
};

// ---------------------------------------------------------------------------
// Task allocator object

class CTaskMalloc final : public IMalloc {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMalloc) {
      *ppv = static_cast<IMalloc*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // One immortal instance per process; counting it would be pointless.
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  void* STDMETHODCALLTYPE Alloc(SIZE_T cb) override { return CoTaskMemAlloc(cb); }
  void* STDMETHODCALLTYPE Realloc(void* pv, SIZE_T cb) override { return CoTaskMemRealloc(pv, cb); }
  void STDMETHODCALLTYPE Free(void* pv) override { CoTaskMemFree(pv); }
  SIZE_T STDMETHODCALLTYPE GetSize(void* pv) override {
    return pv ? malloc_usable_size(pv) : static_cast<SIZE_T>(-1);
  }
  // The heap cannot tell its own blocks from others: "don't know".
  int STDMETHODCALLTYPE DidAlloc(void* pv) override { return pv ? -1 : 0; }
  void STDMETHODCALLTYPE HeapMinimize() override {}
};

}  // namespace

// ---------------------------------------------------------------------------

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(void* reserved, DWORD coinit) {
  constexpr DWORD known = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (reserved || (coinit & ~known)) return E_INVALIDARG;
  DWORD mode = coinit & COINIT_APARTMENTTHREADED;
  ApartmentState& state = t_apartment;
  if (state.count > 0) {
    if (state.mode != mode) return RPC_E_CHANGED_MODE;
    ++state.count;
    return S_FALSE;
  }
  state.mode = mode;
  state.count = 1;
  return S_OK;
}

void CoUninitialize() {
  ApartmentState& state = t_apartment;
  if (state.count > 0) --state.count;
}

HRESULT CoRegisterClass(REFCLSID clsid, CreateInstanceFn fn, const wchar_t* name) {
  if (!fn) return E_POINTER;
  try {
    return ClassTable::Instance().Register(clsid, fn, name) ? S_OK : S_FALSE;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CoRevokeClass(REFCLSID clsid) { return ClassTable::Instance().Revoke(clsid) ? S_OK : REGDB_E_CLASSNOTREG; }

std::wstring CoGetRegisteredClassName(REFCLSID clsid) { return ClassTable::Instance().Name(clsid); }

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsctx, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  if (!HasInprocContext(clsctx)) return REGDB_E_CLASSNOTREG;
  CreateInstanceFn fn = ClassTable::Instance().Find(clsid);
  if (!fn) return REGDB_E_CLASSNOTREG;
  return CreateFromTable(fn, outer, riid, ppv);
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsctx, COSERVERINFO*, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!HasInprocContext(clsctx)) return REGDB_E_CLASSNOTREG;
  CreateInstanceFn fn = ClassTable::Instance().Find(clsid);
  if (!fn) return REGDB_E_CLASSNOTREG;
  CTableClassFactory* factory;
  try {
    factory = new CTableClassFactory(fn);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

// ---------------------------------------------------------------------------

void* CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb ? cb : 1); }

void* CoTaskMemRealloc(void* pv, SIZE_T cb) {
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  // On failure realloc keeps the old block, which stays the caller's.
  return std::realloc(pv, cb);
}

void CoTaskMemFree(void* pv) { std::free(pv); }

HRESULT CoGetMalloc(DWORD memctx, IMalloc** malloc) {
  if (!malloc) return E_INVALIDARG;
  *malloc = nullptr;
  if (memctx != MEMCTX_TASK) return E_INVALIDARG;
  static CTaskMalloc instance;
  *malloc = &instance;
  return S_OK;
}

// ---------------------------------------------------------------------------

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (!clsid) return E_INVALIDARG;
  *clsid = GUID_NULL;
  if (!text || text[0] != L'{') return CO_E_CLASSSTRING;
  return GuidFromString(text, *clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) { return CLSIDFromString(text, iid); }

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax) {
  if (!buffer || cchMax < GUID_STRING_CHARS) return 0;
  std::wstring s = GuidToStringW(guid);
  std::wmemcpy(buffer, s.c_str(), s.size() + 1);
  return static_cast<int>(s.size() + 1);
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
  if (!text) return E_INVALIDARG;
  *text = static_cast<LPOLESTR>(CoTaskMemAlloc(GUID_STRING_CHARS * sizeof(OLECHAR)));
  if (!*text) return E_OUTOFMEMORY;
  StringFromGUID2(clsid, *text, GUID_STRING_CHARS);
  return S_OK;
}

HRESULT StringFromIID(REFIID iid, LPOLESTR* text) { return StringFromCLSID(iid, text); }

HRESULT CoCreateGuid(GUID* guid) {
  if (!guid) return E_INVALIDARG;
  thread_local std::mt19937_64 engine = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  uint64_t a = engine();
  uint64_t b = engine();
  std::memcpy(guid, &a, 8);
  std::memcpy(reinterpret_cast<uint8_t*>(guid) + 8, &b, 8);
  guid->Data3 = static_cast<uint16_t>((guid->Data3 & 0x0FFF) | 0x4000);  // version 4
  guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return S_OK;
}
