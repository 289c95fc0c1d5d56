#include "platform/dshow/DShowRegister.h"

#include <span>
#include <string>
#include <vector>

#include "platform/com/ComPtr.h"
#include "platform/dshow/AsyncSource.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/FilterData.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FilterMapper.h"
#include "platform/dshow/NullRenderers.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/Registry.h"

namespace {

HRESULT CreateClock(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  CComPtr<IReferenceClock> clock;
  if (HRESULT hr = CreateSystemClock(&clock); FAILED(hr)) return hr;
  return clock->QueryInterface(riid, ppv);
}

struct PlatformFilter {
  CLSID clsid;
  const wchar_t* name;
  DWORD merit;
  DWORD pinFlags;
  GUID major;
  std::span<const GUID> subtypes;  // none: any subtype
};

// The filter data of a one-pin filter with its (major, subtype) types.
std::vector<BYTE> OnePinData(const PlatformFilter& f) {
  FilterDataInfo info;
  info.merit = f.merit;
  FilterDataPin pin;
  pin.flags = f.pinFlags;
  if (f.subtypes.empty()) pin.types.push_back({f.major, GUID_NULL});
  for (const GUID& subtype : f.subtypes) pin.types.push_back({f.major, subtype});
  info.pins.push_back(pin);
  return EncodeFilterData(info);
}

bool SameBinary(HKEY key, const wchar_t* name, const std::vector<BYTE>& data) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_BINARY ||
      size != data.size())
    return false;
  std::vector<BYTE> current(size);
  if (size && RegQueryValueExW(key, name, nullptr, &type, current.data(), &size) != ERROR_SUCCESS) return false;
  return current == data;
}

HRESULT RegisterInstance(const PlatformFilter& f) {
  const std::wstring clsid = GuidToStringW(f.clsid);
  const std::wstring key = L"CLSID\\" + GuidToStringW(CLSID_LegacyAmFilterCategory) + L"\\Instance\\" + clsid;
  if (LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, key, L"FriendlyName", f.name); r != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(static_cast<DWORD>(r));
  if (LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, key, L"CLSID", clsid); r != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(static_cast<DWORD>(r));
  std::vector<BYTE> data = OnePinData(f);
  HKEY k = nullptr;
  LONG r = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | KEY_WRITE, &k);
  if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(r));
  if (!SameBinary(k, L"FilterData", data))
    r = RegSetValueExW(k, L"FilterData", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(k);
  return r == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(r));
}

}  // namespace

HRESULT DShowRegisterPlatform() {
  DShowRegisterMessages();

  struct ClassEntry {
    CLSID clsid;
    CreateInstanceFn create;
    const wchar_t* name;
  };
  const ClassEntry classes[] = {
      {CLSID_FilterGraph, &CFilterGraph::CreateInstance, L"Filter Graph"},
      {CLSID_FilterMapper2, &CFilterMapper2::CreateInstance, L"Filter Mapper2"},
      {CLSID_SystemClock, &CreateClock, L"System Clock"},
      {CLSID_AsyncReader, &CAsyncFileSource::CreateInstance, L"File Source (Async.)"},
      {CLSID_VideoRenderer, &CNullVideoRenderer::CreateInstance, L"Video Renderer"},
      {CLSID_DSoundRender, &CNullAudioRenderer::CreateInstance, L"Audio Renderer"},
  };
  HRESULT result = S_OK;
  auto keep = [&](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  };
  for (const auto& c : classes) {
    keep(CoRegisterClass(c.clsid, c.create, c.name));
    LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(c.clsid), L"", c.name);
    if (r != ERROR_SUCCESS) keep(HRESULT_FROM_WIN32(static_cast<DWORD>(r)));
  }

  // The renderers register the decoded types they take, so the mapper never
  // offers them for compressed data. They sit at the lowest merit the
  // system's graph manager still takes.
  const PlatformFilter filters[] = {
      {CLSID_AsyncReader, L"File Source (Async.)", MERIT_UNLIKELY, REG_PINFLAG_B_OUTPUT, MEDIATYPE_Stream, {}},
      {CLSID_VideoRenderer, L"Video Renderer", MERIT_DO_NOT_USE + 1, REG_PINFLAG_B_RENDERER, MEDIATYPE_Video,
       kNullVideoRendererSubtypes},
      {CLSID_DSoundRender, L"Audio Renderer", MERIT_DO_NOT_USE + 1, REG_PINFLAG_B_RENDERER, MEDIATYPE_Audio,
       kNullAudioRendererSubtypes},
  };
  for (const auto& f : filters) keep(RegisterInstance(f));
  keep(SeedMediaTypeSignatures());
  return result;
}
