// The application object: start-up (COM, the resource module, the Windows
// Media runtime and its profiles, the notices' show-once flags), the main
// window run modally, and shutdown.
#pragma once

#include "app/Registry.h"
#include "platform/ui/WinApp.h"
#include "platform/win32/Types.h"

struct IWMProfileManager;
using WMCreateProfileManagerFn = HRESULT (*)(IWMProfileManager** manager);

extern HMODULE g_hWMVCore;
extern WMCreateProfileManagerFn g_pfnWMCreateProfileManager;
extern int g_bWMAvailable;
// The notices' "do not show again" choices; 0 when not stored.
extern DWORD g_dwShowOnce;
extern DWORD g_dwPspShowOnce;
extern DWORD g_dw3gpShowOnce;
extern DWORD g_dwIPodShowOnce;

// Fills g_WMProfiles with the runtime's version 8.0 system profiles.
void LoadSystemProfiles();

class CTambrelApp : public CWinApp {
 public:
  CTambrelApp();
  ~CTambrelApp() override;

  BOOL InitInstance() override;
  int ExitInstance() override;
  // Everything InitInstance does before it runs the main window: COM, the
  // platform's classes, the resource module, the Windows Media runtime and
  // the show-once flags (the settings key stays open).
  void StartUp();

  HMODULE ResourceModule() const { return m_hResourceModule; }
  HMODULE QuartzModule() const { return m_hQuartz; }

 private:
  HMODULE m_hResourceModule = nullptr;
  // The framework's handle to the module's resource table.
  HINSTANCE m_hResources = nullptr;
  HMODULE m_hQuartz = nullptr;
  CRegistry m_settingsKey;
};
