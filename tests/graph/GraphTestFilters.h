// Filters for the graph manager tests: each pin takes or offers a fixed
// list of (major, subtype) pairs; a filter may also load files.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/FilterHelpers.h"
#include "graph/core/FGManager.h"
#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"

namespace gt {

using Pair = std::pair<GUID, GUID>;

struct PinSpec {
  std::wstring name;
  PIN_DIRECTION dir;
  std::vector<Pair> types;
};

inline bool PairMatches(const Pair& p, const GUID& major, const GUID& sub) {
  return (p.first == GUID_NULL || p.first == major) && (p.second == GUID_NULL || p.second == sub);
}

class TestFilter;

class TestOutPin : public CBaseOutputPin {
 public:
  TestOutPin(CBaseFilter* f, CCritSec* lock, const PinSpec& spec)
      : CBaseOutputPin(NAME("test out"), f, lock, nullptr, spec.name.c_str()), m_types(spec.types) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    for (const Pair& p : m_types)
      if (p.first == pmt->majortype && p.second == pmt->subtype) return S_OK;
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position >= static_cast<int>(m_types.size())) return VFW_S_NO_MORE_ITEMS;
    pmt->InitMediaType();
    pmt->majortype = m_types[static_cast<size_t>(position)].first;
    pmt->subtype = m_types[static_cast<size_t>(position)].second;
    pmt->formattype = FORMAT_None;
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = 1;
    request->cbBuffer = 1024;
    ALLOCATOR_PROPERTIES actual{};
    return alloc->SetProperties(request, &actual);
  }

 private:
  std::vector<Pair> m_types;
};

class TestInPin : public CBaseInputPin {
 public:
  TestInPin(CBaseFilter* f, CCritSec* lock, const PinSpec& spec)
      : CBaseInputPin(NAME("test in"), f, lock, nullptr, spec.name.c_str()), m_types(spec.types) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    for (const Pair& p : m_types)
      if (PairMatches(p, pmt->majortype, pmt->subtype)) return S_OK;
    return VFW_E_TYPE_NOT_ACCEPTED;
  }

 private:
  std::vector<Pair> m_types;
};

class TestFilter : public CBaseFilter, public IFileSourceFilter {
 public:
  TestFilter(const CLSID& clsid, const std::vector<PinSpec>& pins, bool fileSource, HRESULT loadResult = S_OK)
      : CBaseFilter(NAME("test filter"), nullptr, &m_lock, clsid),
        m_fileSource(fileSource),
        m_loadResult(loadResult) {
    for (const PinSpec& spec : pins) {
      if (spec.dir == PINDIR_OUTPUT)
        m_pins.push_back(std::make_unique<TestOutPin>(this, &m_lock, spec));
      else
        m_pins.push_back(std::make_unique<TestInPin>(this, &m_lock, spec));
    }
  }
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (m_fileSource && riid == IID_IFileSourceFilter) return GetInterfaceAs<IFileSourceFilter>(this, ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
  }
  int GetPinCount() override { return static_cast<int>(m_pins.size()); }
  CBasePin* GetPin(int n) override {
    return n >= 0 && n < GetPinCount() ? m_pins[static_cast<size_t>(n)].get() : nullptr;
  }
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override {
    m_loaded = fileName ? fileName : L"";
    if (pmt) m_loadType = Pair{pmt->majortype, pmt->subtype};
    return m_loadResult;
  }
  STDMETHODIMP GetCurFile(LPOLESTR*, AM_MEDIA_TYPE*) override { return E_NOTIMPL; }

  std::wstring m_loaded;
  Pair m_loadType{GUID_NULL, GUID_NULL};

 private:
  CCritSec m_lock;
  std::vector<std::unique_ptr<CBasePin>> m_pins;
  bool m_fileSource;
  HRESULT m_loadResult;
};

// A record that makes a TestFilter under its own class id.
class TestRecord : public CFGFilter {
 public:
  TestRecord(const CLSID& clsid, std::wstring name, UINT64 merit, std::vector<PinSpec> pins, bool fileSource = false,
             HRESULT loadResult = S_OK)
      : CFGFilter(clsid, std::move(name), merit),
        m_pins(std::move(pins)),
        m_fileSource(fileSource),
        m_loadResult(loadResult) {}
  HRESULT Create(IBaseFilter** filter, std::vector<CComPtr<IUnknown>>&) override {
    if (!filter) return E_POINTER;
    ++created;
    auto* f = new TestFilter(m_clsid, m_pins, m_fileSource, m_loadResult);
    *filter = f;
    f->AddRef();
    return S_OK;
  }
  int created = 0;

 private:
  std::vector<PinSpec> m_pins;
  bool m_fileSource;
  HRESULT m_loadResult;
};

// The manager with test records in its lists.
class TestManager : public CFGManager {
 public:
  TestManager() : CFGManager(NAME("test manager"), nullptr) {}
  using CFGManager::AddOverrideRecord;
  using CFGManager::AddSourceRecord;
  using CFGManager::AddTransformRecord;
  TestRecord* Transform(std::unique_ptr<TestRecord> rec) {
    TestRecord* p = rec.get();
    AddTransformRecord(std::move(rec));
    return p;
  }
};

inline CComPtr<IBaseFilter> Hold(TestFilter* f) { return CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(f)); }

inline IPin* PinOf(IBaseFilter* f, int n) { return static_cast<TestFilter*>(f)->GetPin(n); }

inline std::vector<std::wstring> FilterNames(IFilterGraph* graph) {
  std::vector<std::wstring> names;
  CComPtr<IEnumFilters> e;
  graph->EnumFilters(&e);
  for (CComPtr<IBaseFilter> f; e && e->Next(1, &f, nullptr) == S_OK; f.Release()) {
    FILTER_INFO info{};
    f->QueryFilterInfo(&info);
    if (info.pGraph) info.pGraph->Release();
    names.push_back(info.achName);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class PlatformEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  }
  void TearDown() override { CoUninitialize(); }
};

}  // namespace gt
