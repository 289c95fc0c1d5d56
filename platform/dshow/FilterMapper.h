// The filter mapper (CLSID_FilterMapper2): filter registrations kept under
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance} (values
// "FriendlyName", "CLSID", "FilterData"), the search over them, and the
// filter-data coder (IAMFilterData).
//
// EnumMatchingFilters searches the legacy filter category
// (CLSID_LegacyAmFilterCategory), where every filter of the platform and
// of the system is registered. The rules, all of which must hold:
//   - the merit is at least dwMerit;
//   - bInputNeeded: some input pin exists; with input types, media medium,
//     category or bRender given, one input pin must satisfy all of them;
//   - the same for output pins with bOutputNeeded and the output criteria;
//   - a type pair (major, subtype) matches a registered pair when each half
//     matches: GUID_NULL asked for matches anything; a GUID_NULL registered
//     matches anything unless bExactMatch is set; otherwise equal GUIDs;
//   - bRender: the input pin carries REG_PINFLAG_B_RENDERER;
//   - mediums are not kept, so a medium asked for matches nothing.
// Results come in merit order, highest first; equal merits keep registry
// index order. Nothing matching gives S_OK and an empty enumerator.
//
// Monikers of the results: GetDisplayName gives
// "@device:sw:{category}\<instance>"; BindToStorage(IID_IPropertyBag) a bag
// with FriendlyName and CLSID (strings) and FilterData (byte array);
// BindToObject creates the filter through the class table; IsEqual compares
// display names.
//
// IAMFilterData::ParseFilterData sets *prgbRegFilter2 to one task-memory
// block that starts with a version-2 REGFILTER2 (see FilterData.h); the
// caller frees it with CoTaskMemFree.
#pragma once

#include <atomic>
#include <string>

#include "platform/dshow/DShow.h"

class CFilterMapper2 final : public IFilterMapper2, public IAMFilterData {
 public:
  // The class table's creator; not aggregatable.
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IFilterMapper2
  HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit,
                                           LPCWSTR Description) override;
  HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                             REFCLSID Filter) override;
  HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker,
                                           const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                           const REGFILTER2* prf2) override;
  HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit,
                                                BOOL bInputNeeded, DWORD cInputTypes, const GUID* pInputTypes,
                                                const REGPINMEDIUM* pMedIn, const CLSID* pPinCategoryIn,
                                                BOOL bRender, BOOL bOutputNeeded, DWORD cOutputTypes,
                                                const GUID* pOutputTypes, const REGPINMEDIUM* pMedOut,
                                                const CLSID* pPinCategoryOut) override;

  // IAMFilterData
  HRESULT STDMETHODCALLTYPE ParseFilterData(BYTE* rgbFilterData, ULONG cb, BYTE** prgbRegFilter2) override;
  HRESULT STDMETHODCALLTYPE CreateFilterData(REGFILTER2* prf2, BYTE** prgbFilterData, ULONG* pcb) override;

 private:
  CFilterMapper2() = default;
  ~CFilterMapper2() = default;

  std::atomic<ULONG> refs_{1};
};

// The moniker of one registration (category, instance name), as handed out
// by the mapper; also used by the platform's own registration code.
HRESULT CreateFilterMoniker(REFCLSID category, const std::wstring& instance, IMoniker** out);
