#include "app/TambrelApp.h"

extern "C" {
#include <libavutil/log.h>
}

#include <vector>

#include "app/ProgramResources.h"
#include "app/Registry.h"
#include "app/TambrelDlg.h"
#include "conversion/GraphConverter.h"
#include "conversion/JobFiles.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/com/ComBase.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/Errors.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/Guids.h"
#include "platform/dshow/Interfaces.h"
#include "platform/ui/Afx.h"
#include "platform/ui/Resource.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Module.h"
#include "platform/wmf/WmfInterfaces.h"
#include "platform/wmf/WmfRegister.h"
#include "splitters/avi/AviSplitter.h"

HMODULE g_hWMVCore = nullptr;
WMCreateProfileManagerFn g_pfnWMCreateProfileManager = nullptr;
int g_bWMAvailable = 0;
DWORD g_dwShowOnce = 0;
DWORD g_dwPspShowOnce = 0;
DWORD g_dw3gpShowOnce = 0;
DWORD g_dwIPodShowOnce = 0;

namespace {

// Entry points change type through the generic function pointer type.
template <class To, class From>
To FunctionCast(From fn) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(fn));
}

constexpr const char* kAppKey = "SOFTWARE\\Quorvel Software\\Pellomar";

std::string ToAnsi(const std::wstring& wide) {
  if (wide.empty()) return {};
  int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
  text.resize(static_cast<size_t>(size - 1));
  return text;
}

}  // namespace

void LoadSystemProfiles() {
  if (!g_pfnWMCreateProfileManager) return;
  CComPtr<IWMProfileManager> manager;
  if (FAILED(g_pfnWMCreateProfileManager(&manager)) || !manager) return;
  {
    CComPtr<IWMProfileManager2> manager2;
    if (FAILED(manager->QueryInterface(IID_PPV_ARGS(&manager2))) || !manager2)
      return;
    manager2->SetSystemProfileVersion(WMT_VER_8_0);
  }
  DWORD count = 0;
  if (FAILED(manager->GetSystemProfileCount(&count))) return;
  // A profile that fails ends the list but stays in it, so the indexes keep
  // matching the runtime's numbering up to there.
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count && SUCCEEDED(hr); ++i) {
    WMProfileEntry entry;
    hr = manager->LoadSystemProfile(i, &entry.profile);
    if (SUCCEEDED(hr) && entry.profile) {
      DWORD length = 0;
      hr = entry.profile->GetName(nullptr, &length);
      if (SUCCEEDED(hr)) {
        std::wstring name(length, L'\0');
        hr = entry.profile->GetName(name.data(), &length);
        if (SUCCEEDED(hr)) entry.name = ToAnsi(name.c_str());
      }
    } else if (SUCCEEDED(hr)) {
      hr = E_FAIL;
    }
    g_WMProfiles.push_back(std::move(entry));
  }
}

CTambrelApp::CTambrelApp() : CWinApp("Pellomar") { SetRegistryKey("Quorvel Software"); }

CTambrelApp::~CTambrelApp() = default;

BOOL CTambrelApp::InitInstance() {
  StartUp();
  {
    CTambrelDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
  }
  m_settingsKey.Close();
  return FALSE;
}

void CTambrelApp::StartUp() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // The encoders' and decoders' progress chatter is not for the user; their
  // errors still reach the terminal.
  av_log_set_level(AV_LOG_ERROR);
  // A job's temporary files do not outlive a process ended by a signal.
  InstallTemporaryFileCleanup();
  // The media layer, the codec stand-ins and the Windows Media runtime are
  // entered into the class table before anything asks for them.
  DShowRegisterPlatform();
  DShowRegisterMessages();
  CodecsRegisterPlatform();
  WmfRegisterPlatform();
  // The platform's AVI splitter is the system's own.
  AviRegisterPlatformSplitter();
  SetGraphNotifyHook(UiPostGraphNotify);
  RegisterBuiltinModule("quartz.dll", {{"AMGetErrorTextA", 0, FunctionCast<FARPROC>(&AMGetErrorTextA)}});
  AfxEnableControlContainer();

  // Every template, menu, bitmap and string comes from the resource module.
  // A missing module is not reported: the loads then fail quietly.
  m_hResourceModule = LoadLibraryA("pmrhelper.dll");
  if (m_hResourceModule) {
    auto get = FunctionCast<PmrGetResourcesFn>(GetProcAddress(m_hResourceModule, PMR_GET_RESOURCES_SYMBOL));
    if (get) m_hResources = UiRegisterResourceTable(get());
  }
  AfxSetResourceHandle(m_hResources);
  RegisterProgramResources();

  g_hWMVCore = LoadLibraryA("WMVCore.dll");
  if (g_hWMVCore) {
    g_pfnWMCreateProfileManager =
        FunctionCast<WMCreateProfileManagerFn>(GetProcAddress(g_hWMVCore, "WMCreateProfileManager"));
    IBaseFilter* writer = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WMAsfWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&writer));
    g_bWMAvailable = (g_pfnWMCreateProfileManager && SUCCEEDED(hr) && writer) ? 1 : 0;
    LoadSystemProfiles();
    if (writer) writer->Release();
  } else {
    g_bWMAvailable = 0;
  }

  m_hQuartz = LoadLibraryA("quartz.dll");

  CRegistry& key = m_settingsKey;
  if (key.Open(HKEY_LOCAL_MACHINE, kAppKey) || key.Open(HKEY_CURRENT_USER, kAppKey)) {
    const struct {
      const char* name;
      DWORD* flag;
    } values[] = {{"ShowOnce", &g_dwShowOnce},
                  {"PSP ShowOnce", &g_dwPspShowOnce},
                  {"3GP ShowOnce", &g_dw3gpShowOnce},
                  {"IPod ShowOnce", &g_dwIPodShowOnce}};
    for (const auto& v : values) {
      *v.flag = 0;
      key.QueryDWordValue(v.name, v.flag);
    }
  }
}

int CTambrelApp::ExitInstance() {
  m_settingsKey.Close();
  g_WMProfiles.clear();
  if (g_hWMVCore) {
    FreeLibrary(g_hWMVCore);
    g_hWMVCore = nullptr;
  }
  g_pfnWMCreateProfileManager = nullptr;
  if (AfxGetResourceHandle() == m_hResources) AfxSetResourceHandle(nullptr);
  if (m_hResources) {
    UiUnregisterResourceTable(m_hResources);
    m_hResources = nullptr;
  }
  if (m_hResourceModule) {
    FreeLibrary(m_hResourceModule);
    m_hResourceModule = nullptr;
  }
  if (m_hQuartz) {
    FreeLibrary(m_hQuartz);
    m_hQuartz = nullptr;
  }
  CoUninitialize();
  return CWinApp::ExitInstance();
}
