// Filter records: what the graph manager knows of a filter it may put into
// a graph (class, name, merit, accepted media types and, for sources, the
// protocols, extensions and check bytes that pick it), and how to make one.
//
// Merits are 64-bit: bits 16-47 hold the platform's 32-bit filter merit, so
// the system's own filters can rank above (high word) or just beside
// (low word) any installed filter.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/DShow.h"

constexpr UINT64 kMeritSystemPreferred = 0x0001000000000000ull;
constexpr UINT64 kMeritLow = 0x0000002000010000ull;  // also the list threshold
constexpr UINT64 kMeritBlocked = 0x0000002000000000ull;
// A source record found in the platform's registry carries this bit.
constexpr DWORD kSourceFormatRegistry = 0x800000;

class CFGFilter {
 public:
  CFGFilter(const CLSID& clsid, std::wstring name, UINT64 merit);
  virtual ~CFGFilter();
  CFGFilter(const CFGFilter&) = delete;
  CFGFilter& operator=(const CFGFilter&) = delete;

  // Makes the filter. Objects created alongside it (none for the records
  // of this system) are appended to `extra` for the manager to keep.
  virtual HRESULT Create(IBaseFilter** filter, std::vector<CComPtr<IUnknown>>& extra) = 0;

  const CLSID& GetCLSID() const { return m_clsid; }
  const std::wstring& GetName() const { return m_name; }
  UINT64 GetMerit() const { return m_merit; }
  void SetMerit(UINT64 merit) { m_merit = merit; }
  // Replaces bits 16-47 only.
  void SetPlatformMerit(DWORD merit);
  DWORD GetSourceFormat() const { return m_sourceFormat; }
  void SetSourceFormat(DWORD format) { m_sourceFormat = format; }

  const std::vector<GUID>& GetTypes() const { return m_types; }
  void AddType(const GUID& major, const GUID& subtype);
  // `types` holds (major, subtype) pairs; GUID_NULL is a wildcard on either
  // side unless `exact`, where only equal non-null GUIDs match.
  bool CheckTypes(const std::vector<GUID>& types, bool exact) const;

  std::vector<std::wstring>& Protocols() { return m_protocols; }
  std::vector<std::wstring>& Extensions() { return m_extensions; }
  std::vector<std::wstring>& CheckBytes() { return m_checkBytes; }
  const std::vector<std::wstring>& Protocols() const { return m_protocols; }
  const std::vector<std::wstring>& Extensions() const { return m_extensions; }
  const std::vector<std::wstring>& CheckBytes() const { return m_checkBytes; }

 protected:
  void ClearTypes() { m_types.clear(); }

  CLSID m_clsid;
  std::wstring m_name;
  UINT64 m_merit;

 private:
  std::vector<GUID> m_types;
  std::vector<std::wstring> m_protocols;
  std::vector<std::wstring> m_extensions;
  std::vector<std::wstring> m_checkBytes;
  DWORD m_sourceFormat = 0;
};

// A filter installed on the machine, as the platform's filter registry
// describes it (through a moniker of the filter mapper or by class id).
class CFGFilterRegistry : public CFGFilter {
 public:
  // kMeritLow keeps the merit the registry gives; any other value replaces it.
  explicit CFGFilterRegistry(IMoniker* moniker, UINT64 merit = kMeritLow);
  explicit CFGFilterRegistry(const CLSID& clsid, UINT64 merit = kMeritLow);

  HRESULT Create(IBaseFilter** filter, std::vector<CComPtr<IUnknown>>& extra) override;

  IMoniker* GetMoniker() const { return m_moniker; }
  const std::wstring& GetDisplayName() const { return m_displayName; }

  // Reads the platform merit and the input pins' media types out of a
  // filter-data blob: through the platform's parser, else directly.
  void ExtractFilterData(const BYTE* data, size_t length);
  // The direct reader over the binary layout; bounded by `length`.
  void ReadFilterDataDirect(const BYTE* data, size_t length);

 private:
  std::wstring m_displayName;
  CComPtr<IMoniker> m_moniker;
};

// One of the system's own filter classes, constructed with a null outer
// unknown and a result code (and its class id, for the classes that take
// one).
template <class T>
class CFGFilterInternal : public CFGFilter {
 public:
  CFGFilterInternal(const CLSID& clsid, std::wstring name = L"", UINT64 merit = kMeritLow)
      : CFGFilter(clsid, std::move(name), merit) {}

  HRESULT Create(IBaseFilter** filter, std::vector<CComPtr<IUnknown>>&) override {
    if (!filter) return E_POINTER;
    *filter = nullptr;
    HRESULT hr = S_OK;
    T* object = nullptr;
    try {
      if constexpr (std::is_constructible_v<T, LPUNKNOWN, HRESULT*, const CLSID&>)
        object = new (std::nothrow) T(nullptr, &hr, m_clsid);
      else
        object = new (std::nothrow) T(nullptr, &hr);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    if (!object) return E_OUTOFMEMORY;
    IBaseFilter* created = static_cast<IBaseFilter*>(object);
    created->AddRef();
    if (FAILED(hr)) {
      created->Release();
      return hr;
    }
    *filter = created;
    return S_OK;
  }
};
