#include "platform/dshow/FilterMapper.h"

#include <algorithm>
#include <cwctype>
#include <functional>
#include <new>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/FilterData.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Registry.h"

namespace {

// A registry value larger than this is not filter data.
constexpr DWORD kMaxFilterDataSize = 1 << 20;

std::wstring InstanceKey(REFCLSID category, const std::wstring& instance) {
  return L"CLSID\\" + GuidToStringW(category) + L"\\Instance\\" + instance;
}

class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (key_) RegCloseKey(key_);
  }
  LONG Open(HKEY parent, const std::wstring& name) {
    return RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key_);
  }
  LONG Create(HKEY parent, const std::wstring& name) {
    return RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | KEY_READ,
                           nullptr, &key_, nullptr);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

HRESULT FromWin32(LONG r) { return HRESULT_FROM_WIN32(static_cast<DWORD>(r)); }

bool ReadBinary(HKEY key, const wchar_t* name, std::vector<BYTE>& out) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_BINARY ||
      size > kMaxFilterDataSize)
    return false;
  out.resize(size);
  if (size == 0) return true;
  if (RegQueryValueExW(key, name, nullptr, &type, out.data(), &size) != ERROR_SUCCESS) return false;
  out.resize(size);
  return true;
}

LONG WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// ---------------------------------------------------------------------------
// The moniker of one registration.

class CFilterMoniker final : public IMoniker {
 public:
  CFilterMoniker(REFCLSID category, std::wstring instance) : category_(category), instance_(std::move(instance)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMoniker || riid == IID_IPersist || riid == IID_IPersistStream) {
      *ppv = static_cast<IMoniker*>(this);
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

  HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    RegKey key;
    if (key.Open(HKEY_CLASSES_ROOT, InstanceKey(category_, instance_)) != ERROR_SUCCESS) return MK_E_NOOBJECT;
    std::wstring text;
    CLSID clsid;
    if (!dshow_reg::GetString(key.get(), L"CLSID", text) || FAILED(CLSIDFromString(text.c_str(), &clsid)))
      return MK_E_NOOBJECT;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IPropertyBag && riid != IID_IUnknown) return E_NOINTERFACE;
    RegKey key;
    if (key.Open(HKEY_CLASSES_ROOT, InstanceKey(category_, instance_)) != ERROR_SUCCESS) return MK_E_NOOBJECT;
    CComPtr<CMemoryPropertyBag> bag = CMemoryPropertyBag::Create();
    if (!bag) return E_OUTOFMEMORY;
    std::wstring text;
    HRESULT hr = S_OK;
    if (dshow_reg::GetString(key.get(), L"FriendlyName", text)) hr = bag->WriteString(L"FriendlyName", text.c_str());
    if (SUCCEEDED(hr) && dshow_reg::GetString(key.get(), L"CLSID", text)) hr = bag->WriteString(L"CLSID", text.c_str());
    std::vector<BYTE> data;
    if (SUCCEEDED(hr) && ReadBinary(key.get(), L"FilterData", data))
      hr = bag->WriteBytes(L"FilterData", data.data(), static_cast<ULONG>(data.size()));
    if (FAILED(hr)) return hr;
    return bag->QueryInterface(riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker** toLeft, IMoniker** reduced) override {
    if (!reduced) return E_POINTER;
    if (toLeft) *toLeft = nullptr;
    *reduced = this;
    AddRef();
    return MK_S_REDUCED_TO_SELF;
  }
  HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* other) override {
    if (!other) return E_INVALIDARG;
    LPOLESTR otherName = nullptr;
    if (FAILED(other->GetDisplayName(nullptr, nullptr, &otherName)) || !otherName) return S_FALSE;
    bool same = _wcsicmp(otherName, DisplayName().c_str()) == 0;
    CoTaskMemFree(otherName);
    return same ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Hash(DWORD* hash) override {
    if (!hash) return E_POINTER;
    std::wstring name = DisplayName();
    for (auto& c : name) c = static_cast<wchar_t>(std::towlower(c));
    *hash = static_cast<DWORD>(std::hash<std::wstring>{}(name));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Inverse(IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
    if (!name) return E_POINTER;
    std::wstring text = DisplayName();
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (!copy) return E_OUTOFMEMORY;
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    *name = copy;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* mksys) override {
    if (!mksys) return E_POINTER;
    *mksys = MKSYS_NONE;
    return S_FALSE;
  }

 private:
  ~CFilterMoniker() = default;
  std::wstring DisplayName() const { return L"@device:sw:" + GuidToStringW(category_) + L"\\" + instance_; }

  std::atomic<ULONG> refs_{1};
  CLSID category_;
  std::wstring instance_;
};

// ---------------------------------------------------------------------------
// Matching

struct PinCriteria {
  bool needed = false;
  const GUID* types = nullptr;  // pairs
  DWORD typeCount = 0;
  const REGPINMEDIUM* medium = nullptr;
  const CLSID* category = nullptr;
  bool render = false;

  bool HasPinConstraint() const { return typeCount || medium || category || render; }
};

bool HalfMatches(const GUID& asked, const std::optional<GUID>& registered, bool exact) {
  if (asked == GUID_NULL) return true;
  if (!registered) return false;
  if (*registered == GUID_NULL) return !exact;
  return *registered == asked;
}

bool PinMatches(const FilterDataPin& pin, const PinCriteria& c, bool exact) {
  if (c.medium) return false;
  if (c.category && (!pin.category || *pin.category != *c.category)) return false;
  if (c.render && !(pin.flags & REG_PINFLAG_B_RENDERER)) return false;
  if (c.typeCount == 0) return true;
  for (const auto& t : pin.types) {
    for (DWORD i = 0; i < c.typeCount; ++i) {
      if (HalfMatches(c.types[2 * i], t.major, exact) && HalfMatches(c.types[2 * i + 1], t.subtype, exact))
        return true;
    }
  }
  return false;
}

bool SideMatches(const FilterDataInfo& info, bool output, const PinCriteria& c, bool exact) {
  if (!c.needed && !c.HasPinConstraint()) return true;
  for (const auto& pin : info.pins) {
    if (pin.IsOutput() != output) continue;
    if (PinMatches(pin, c, exact)) return true;
  }
  return false;
}

}  // namespace

HRESULT CreateFilterMoniker(REFCLSID category, const std::wstring& instance, IMoniker** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    *out = new CFilterMoniker(category, instance);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CFilterMapper2::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  CFilterMapper2* mapper = new (std::nothrow) CFilterMapper2();
  if (!mapper) return E_OUTOFMEMORY;
  HRESULT hr = mapper->QueryInterface(riid, ppv);
  mapper->Release();
  return hr;
}

HRESULT CFilterMapper2::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IFilterMapper2) {
    *ppv = static_cast<IFilterMapper2*>(this);
  } else if (riid == IID_IAMFilterData) {
    *ppv = static_cast<IAMFilterData*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CFilterMapper2::AddRef() { return ++refs_; }

ULONG CFilterMapper2::Release() {
  ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT CFilterMapper2::CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit, LPCWSTR Description) {
  RegKey key;
  if (LONG r = key.Create(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(clsidCategory)); r != ERROR_SUCCESS)
    return FromWin32(r);
  if (LONG r = WriteString(key.get(), L"FriendlyName", Description ? Description : L""); r != ERROR_SUCCESS)
    return FromWin32(r);
  LONG r = RegSetValueExW(key.get(), L"Merit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwCategoryMerit),
                          sizeof(dwCategoryMerit));
  return r == ERROR_SUCCESS ? S_OK : FromWin32(r);
}

HRESULT CFilterMapper2::UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) {
  const CLSID category = pclsidCategory ? *pclsidCategory : CLSID_LegacyAmFilterCategory;
  const std::wstring instance = szInstance ? szInstance : GuidToStringW(Filter);
  if (instance.empty() || instance.find(L'\\') != std::wstring::npos) return E_INVALIDARG;
  RegKey parent;
  if (LONG r = parent.Open(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(category) + L"\\Instance");
      r != ERROR_SUCCESS)
    return FromWin32(r);
  LONG r = RegDeleteKeyW(parent.get(), instance.c_str());
  return r == ERROR_SUCCESS ? S_OK : FromWin32(r);
}

HRESULT CFilterMapper2::RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker,
                                       const CLSID* pclsidCategory, LPCOLESTR szInstance, const REGFILTER2* prf2) {
  if (ppMoniker) *ppMoniker = nullptr;
  if (!prf2) return E_POINTER;
  FilterDataInfo info;
  if (HRESULT hr = FilterDataFromRegFilter2(prf2, info); FAILED(hr)) return hr;
  const CLSID category = pclsidCategory ? *pclsidCategory : CLSID_LegacyAmFilterCategory;
  const std::wstring instance = szInstance ? szInstance : GuidToStringW(clsidFilter);
  // The instance is one key name: no separators, no empty name.
  if (instance.empty() || instance.find(L'\\') != std::wstring::npos) return E_INVALIDARG;
  std::vector<BYTE> data;
  try {
    data = EncodeFilterData(info);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  RegKey key;
  if (LONG r = key.Create(HKEY_CLASSES_ROOT, InstanceKey(category, instance)); r != ERROR_SUCCESS)
    return FromWin32(r);
  if (LONG r = WriteString(key.get(), L"FriendlyName", Name ? Name : L""); r != ERROR_SUCCESS) return FromWin32(r);
  if (LONG r = WriteString(key.get(), L"CLSID", GuidToStringW(clsidFilter)); r != ERROR_SUCCESS) return FromWin32(r);
  if (LONG r = RegSetValueExW(key.get(), L"FilterData", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
      r != ERROR_SUCCESS)
    return FromWin32(r);
  if (ppMoniker) return CreateFilterMoniker(category, instance, ppMoniker);
  return S_OK;
}

HRESULT CFilterMapper2::EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD /*dwFlags*/, BOOL bExactMatch,
                                            DWORD dwMerit, BOOL bInputNeeded, DWORD cInputTypes,
                                            const GUID* pInputTypes, const REGPINMEDIUM* pMedIn,
                                            const CLSID* pPinCategoryIn, BOOL bRender, BOOL bOutputNeeded,
                                            DWORD cOutputTypes, const GUID* pOutputTypes,
                                            const REGPINMEDIUM* pMedOut, const CLSID* pPinCategoryOut) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  if ((cInputTypes && !pInputTypes) || (cOutputTypes && !pOutputTypes)) return E_POINTER;
  const PinCriteria in{bInputNeeded != FALSE, pInputTypes, cInputTypes, pMedIn, pPinCategoryIn, bRender != FALSE};
  const PinCriteria out{bOutputNeeded != FALSE, pOutputTypes, cOutputTypes, pMedOut, pPinCategoryOut, false};

  struct Found {
    DWORD merit;
    std::wstring instance;
  };
  std::vector<Found> found;
  try {
    RegKey instances;
    const std::wstring base = L"CLSID\\" + GuidToStringW(CLSID_LegacyAmFilterCategory) + L"\\Instance";
    if (instances.Open(HKEY_CLASSES_ROOT, base) == ERROR_SUCCESS) {
      for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD chars = 256;
        LONG r = RegEnumKeyExW(instances.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) continue;
        std::wstring instance(name, chars);
        RegKey key;
        std::vector<BYTE> data;
        FilterDataInfo info;
        if (key.Open(instances.get(), instance) != ERROR_SUCCESS || !ReadBinary(key.get(), L"FilterData", data) ||
            FAILED(DecodeFilterData(data.data(), data.size(), info)))
          continue;  // a registration without readable data cannot be matched
        if (info.merit < dwMerit) continue;
        if (!SideMatches(info, false, in, bExactMatch) || !SideMatches(info, true, out, bExactMatch)) continue;
        found.push_back({info.merit, instance});
      }
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.merit > b.merit; });
    CEnumMoniker::Items items;
    for (auto& f : found) {
      CComPtr<IMoniker> moniker;
      if (HRESULT hr = CreateFilterMoniker(CLSID_LegacyAmFilterCategory, f.instance, &moniker); FAILED(hr)) return hr;
      items.push_back(moniker);
    }
    return CEnumMoniker::Create(std::move(items), ppEnum);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CFilterMapper2::ParseFilterData(BYTE* rgbFilterData, ULONG cb, BYTE** prgbRegFilter2) {
  if (!prgbRegFilter2) return E_POINTER;
  *prgbRegFilter2 = nullptr;
  if (!rgbFilterData) return E_POINTER;
  FilterDataInfo info;
  if (HRESULT hr = DecodeFilterData(rgbFilterData, cb, info); FAILED(hr)) return hr;
  return AllocRegFilter2(info, prgbRegFilter2);
}

HRESULT CFilterMapper2::CreateFilterData(REGFILTER2* prf2, BYTE** prgbFilterData, ULONG* pcb) {
  if (!prgbFilterData || !pcb) return E_POINTER;
  *prgbFilterData = nullptr;
  *pcb = 0;
  FilterDataInfo info;
  if (HRESULT hr = FilterDataFromRegFilter2(prf2, info); FAILED(hr)) return hr;
  std::vector<BYTE> data;
  try {
    data = EncodeFilterData(info);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(data.size()));
  if (!block) return E_OUTOFMEMORY;
  std::memcpy(block, data.data(), data.size());
  *prgbFilterData = block;
  *pcb = static_cast<ULONG>(data.size());
  return S_OK;
}
