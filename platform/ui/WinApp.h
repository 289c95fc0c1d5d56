// The application object and the framework entry point.
//
// One CWinApp-derived object exists per program (usually a global). The
// entry point AfxWinMain creates the QApplication (or uses the one that
// exists, as tests do), calls InitInstance, runs the event loop when it
// returned TRUE, then ExitInstance, and returns ExitInstance's result.
#pragma once

#include <string>

#include "platform/ui/Wnd.h"

class CWinApp {
 public:
  explicit CWinApp(const char* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual BOOL InitInstance() { return TRUE; }
  virtual int ExitInstance() { return m_exitCode; }
  // Runs the event loop until PostQuitMessage or the main window's end.
  virtual int Run();

  // The application profile: values under the key "Software\<registry
  // key>\<application name>\<section>" of HKEY_CURRENT_USER, once
  // SetRegistryKey has named the company key. Without it (or when the
  // value is missing or not a DWORD) GetProfileInt gives the default and
  // WriteProfileInt fails.
  void SetRegistryKey(const char* company);
  UINT GetProfileInt(const char* section, const char* entry, int defaultValue) const;
  BOOL WriteProfileInt(const char* section, const char* entry, int value) const;

  HICON LoadIcon(UINT id) const;
  HCURSOR LoadCursor(UINT id) const;
  HCURSOR LoadStandardCursor(const char* id) const;

  CWnd* m_pMainWnd = nullptr;
  HINSTANCE m_hInstance = nullptr;  // the program's own resources (UiRegisterResourceTable)
  std::string m_strAppName;         // caption of AfxMessageBox
  std::string m_strRegistryKey;     // the company key of the profile; empty: no profile
  int m_exitCode = 0;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE module);  // null is allowed: resource loads then fail quietly
HINSTANCE AfxGetInstanceHandle();
// Kept for code that enables the control container; there is nothing to do.
inline void AfxEnableControlContainer() {}

int AfxWinMain(int argc, char** argv);
