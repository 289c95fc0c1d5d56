#include "graph/core/FGFilter.h"

#include <cstring>

#include "foundation/FilterHelpers.h"
#include "platform/win32/Registry.h"

// ---------------------------------------------------------------------------
// CFGFilter

CFGFilter::CFGFilter(const CLSID& clsid, std::wstring name, UINT64 merit)
    : m_clsid(clsid), m_name(std::move(name)), m_merit(merit) {}

CFGFilter::~CFGFilter() = default;

void CFGFilter::SetPlatformMerit(DWORD merit) {
  m_merit = (m_merit & 0xFFFF00000000FFFFull) | (static_cast<UINT64>(merit) << 16);
}

void CFGFilter::AddType(const GUID& major, const GUID& subtype) {
  m_types.push_back(major);
  m_types.push_back(subtype);
}

bool CFGFilter::CheckTypes(const std::vector<GUID>& types, bool exact) const {
  for (size_t i = 0; i + 1 < m_types.size(); i += 2) {
    const GUID& major = m_types[i];
    const GUID& sub = m_types[i + 1];
    for (size_t j = 0; j + 1 < types.size(); j += 2) {
      const GUID& offeredMajor = types[j];
      const GUID& offeredSub = types[j + 1];
      if (exact) {
        if (major != GUID_NULL && major == offeredMajor && sub != GUID_NULL && sub == offeredSub) return true;
        continue;
      }
      if (major != GUID_NULL && offeredMajor != GUID_NULL && major != offeredMajor) continue;
      if (sub == GUID_NULL || offeredSub == GUID_NULL || sub == offeredSub) return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// CFGFilterRegistry

namespace {

bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, 0);
  DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS)
    return false;
  buffer.back() = 0;
  out = buffer.data();
  return true;
}

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (m_key) RegCloseKey(m_key);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  bool Open(HKEY root, const std::wstring& path) {
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &m_key) == ERROR_SUCCESS;
  }
  operator HKEY() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

uint32_t ReadWord(const BYTE* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

CFGFilterRegistry::CFGFilterRegistry(IMoniker* moniker, UINT64 merit)
    : CFGFilter(GUID_NULL, L"", merit), m_moniker(moniker) {
  if (!m_moniker) return;
  CComPtr<IBindCtx> bc;
  CreateBindCtx(0, &bc);
  LPOLESTR display = nullptr;
  if (SUCCEEDED(m_moniker->GetDisplayName(bc, nullptr, &display)) && display) {
    m_displayName = display;
    CoTaskMemFree(display);
  }
  CComPtr<IPropertyBag> bag;
  if (SUCCEEDED(m_moniker->BindToStorage(bc, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag))) && bag) {
    VARIANT v;
    VariantInit(&v);
    if (SUCCEEDED(bag->Read(L"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR && v.bstrVal) m_name = v.bstrVal;
    VariantClear(&v);
    if (SUCCEEDED(bag->Read(L"CLSID", &v, nullptr)) && v.vt == VT_BSTR && v.bstrVal) {
      CLSID clsid;
      if (SUCCEEDED(CLSIDFromString(v.bstrVal, &clsid))) m_clsid = clsid;
    }
    VariantClear(&v);
    if (SUCCEEDED(bag->Read(L"FilterData", &v, nullptr)) && v.vt == (VT_ARRAY | VT_UI1) && v.parray) {
      void* data = nullptr;
      if (SUCCEEDED(SafeArrayAccessData(v.parray, &data)) && data) {
        ExtractFilterData(static_cast<const BYTE*>(data), v.parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(v.parray);
      }
    }
    VariantClear(&v);
  }
  if (merit != kMeritLow) m_merit = merit;
}

CFGFilterRegistry::CFGFilterRegistry(const CLSID& clsid, UINT64 merit) : CFGFilter(clsid, L"", merit) {
  if (clsid == GUID_NULL) return;
  const std::wstring braced = GuidToStringW(clsid);
  {
    RegKey key;
    std::wstring name;
    if (key.Open(HKEY_CLASSES_ROOT, L"CLSID\\" + braced) && ReadStringValue(key, L"", name)) m_name = name;
  }
  RegKey instances;
  if (instances.Open(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(CLSID_LegacyAmFilterCategory) + L"\\Instance")) {
    for (DWORD index = 0;; ++index) {
      wchar_t sub[256];
      DWORD chars = 256;
      if (RegEnumKeyExW(instances, index, sub, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      RegKey instance;
      if (!instance.Open(instances, sub)) continue;
      std::wstring text;
      CLSID found;
      if (!ReadStringValue(instance, L"CLSID", text) || FAILED(CLSIDFromString(text.c_str(), &found)) ||
          found != clsid)
        continue;
      if (ReadStringValue(instance, L"FriendlyName", text)) m_name = text;
      DWORD type = 0, size = 0;
      if (RegQueryValueExW(instance, L"FilterData", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
          type == REG_BINARY) {
        std::vector<BYTE> data(size);
        if (size == 0 ||
            RegQueryValueExW(instance, L"FilterData", nullptr, &type, data.data(), &size) == ERROR_SUCCESS)
          ExtractFilterData(data.data(), std::min<size_t>(size, data.size()));
      }
      break;
    }
  }
  SetSourceFormat(kSourceFormatRegistry);
  if (merit != kMeritLow) m_merit = merit;
}

void CFGFilterRegistry::ExtractFilterData(const BYTE* data, size_t length) {
  if (!data && length) return;
  CComPtr<IAMFilterData> parser;
  if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_ALL, IID_IAMFilterData,
                                 reinterpret_cast<void**>(&parser))) &&
      parser && length <= 0xFFFFFFFFu) {
    BYTE* block = nullptr;
    std::vector<BYTE> copy(data, data + length);  // the parser takes a non-const buffer
    if (SUCCEEDED(parser->ParseFilterData(copy.data(), static_cast<ULONG>(copy.size()), &block)) && block) {
      const REGFILTER2* reg = reinterpret_cast<const REGFILTER2*>(block);
      SetPlatformMerit(reg->dwMerit);
      auto addTypes = [this](const REGPINTYPES* types, UINT count) {
        for (UINT i = 0; types && i < count; ++i) {
          if (!types[i].clsMajorType || !types[i].clsMinorType) break;
          AddType(*types[i].clsMajorType, *types[i].clsMinorType);
        }
      };
      if (reg->dwVersion == 1) {
        for (ULONG i = 0; reg->rgPins && i < reg->cPins; ++i)
          if (!reg->rgPins[i].bOutput) addTypes(reg->rgPins[i].lpMediaType, reg->rgPins[i].nMediaTypes);
      } else if (reg->dwVersion == 2) {
        for (ULONG i = 0; reg->rgPins2 && i < reg->cPins2; ++i)
          if (!(reg->rgPins2[i].dwFlags & REG_PINFLAG_B_OUTPUT))
            addTypes(reg->rgPins2[i].lpMediaType, reg->rgPins2[i].nMediaTypes);
      }
      CoTaskMemFree(block);
      return;
    }
  }
  ReadFilterDataDirect(data, length);
}

void CFGFilterRegistry::ReadFilterDataDirect(const BYTE* data, size_t length) {
  if (!data || length < 8 || ReadWord(data) != 2) return;
  SetPlatformMerit(ReadWord(data + 4));
  ClearTypes();
  if (length < 16) return;
  const uint32_t pins = ReadWord(data + 8);
  size_t pos = 16;
  for (uint32_t pin = 0; pin < pins; ++pin) {
    if (length - pos < 24) return;
    const uint32_t flags = ReadWord(data + pos + 4);
    const uint32_t typeCount = ReadWord(data + pos + 12);
    const uint32_t mediumCount = ReadWord(data + pos + 16);
    pos += 24;
    for (uint32_t t = 0; t < typeCount; ++t) {
      if (length - pos < 16) return;
      const size_t end = pos + 16;
      const uint32_t majorAt = ReadWord(data + pos + 8);
      const uint32_t subAt = ReadWord(data + pos + 12);
      pos = end;
      if (flags & REG_PINFLAG_B_OUTPUT) continue;
      // Both GUIDs must lie wholly inside the blob, past this record.
      if (majorAt < end || subAt < end || majorAt > length - 16 || subAt > length - 16) continue;
      GUID major, sub;
      std::memcpy(&major, data + majorAt, sizeof(GUID));
      std::memcpy(&sub, data + subAt, sizeof(GUID));
      AddType(major, sub);
    }
    // Each medium is kept as a 4-byte offset after the pin's types.
    if ((length - pos) / 4 < mediumCount) return;
    pos += static_cast<size_t>(mediumCount) * 4;
  }
}

HRESULT CFGFilterRegistry::Create(IBaseFilter** filter, std::vector<CComPtr<IUnknown>>&) {
  if (!filter) return E_POINTER;
  *filter = nullptr;
  if (m_moniker) {
    CComPtr<IBindCtx> bc;
    CreateBindCtx(0, &bc);
    HRESULT hr = m_moniker->BindToObject(bc, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter));
    if (SUCCEEDED(hr) && *filter) m_clsid = GetFilterClsid(*filter);
    return hr;
  }
  if (m_clsid != GUID_NULL) {
    HRESULT hr = CoCreateInstance(m_clsid, nullptr, CLSCTX_ALL, IID_IBaseFilter, reinterpret_cast<void**>(filter));
    return SUCCEEDED(hr) && *filter ? S_OK : E_FAIL;
  }
  return E_FAIL;
}
