#include "platform/wmf/WmfRegister.h"

#include "platform/com/ComPtr.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/Module.h"
#include "platform/win32/Registry.h"
#include "platform/wmf/AsfWriter.h"
#include "platform/wmf/ProfileManager.h"

HRESULT WmfRegisterPlatform() {
  RegisterBuiltinModule("WMVCore.dll",
                        {{"WMCreateProfileManager", 0, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&WMCreateProfileManager))},
                         {"WMCreateWriter", 0, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&WMCreateWriter))}},
                        0x000B0000, 0);
  // S_FALSE (registered before) is as good as S_OK for a repeated start-up.
  HRESULT result = CoRegisterClass(CLSID_WMAsfWriter, &CWMAsfWriter::CreateInstance, L"WM ASF Writer");
  if (SUCCEEDED(result)) result = S_OK;
  auto keep = [&](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  };
  LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(CLSID_WMAsfWriter), L"", L"WM ASF Writer");
  if (r != ERROR_SUCCESS) keep(HRESULT_FROM_WIN32(static_cast<DWORD>(r)));
  CComPtr<IFilterMapper2> mapper;
  keep(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                        reinterpret_cast<void**>(&mapper)));
  if (mapper) {
    // A sink chosen by class id only: never pulled in by rendering.
    const REGPINTYPES types[] = {{&MEDIATYPE_Video, &GUID_NULL}, {&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};
    const REGFILTERPINS2 pins[] = {{REG_PINFLAG_B_RENDERER, 1, 1, &types[0], 0, nullptr, nullptr},
                                   {REG_PINFLAG_B_RENDERER, 1, 1, &types[1], 0, nullptr, nullptr}};
    REGFILTER2 reg{};
    reg.dwVersion = 2;
    reg.dwMerit = MERIT_DO_NOT_USE;
    reg.cPins2 = 2;
    reg.rgPins2 = pins;
    keep(mapper->RegisterFilter(CLSID_WMAsfWriter, L"WM ASF Writer", nullptr, &CLSID_LegacyAmFilterCategory, nullptr,
                                &reg));
  }
  return result;
}
