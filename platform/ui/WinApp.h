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

  HICON LoadIcon(UINT id) const;
  HCURSOR LoadCursor(UINT id) const;
  HCURSOR LoadStandardCursor(const char* id) const;

  CWnd* m_pMainWnd = nullptr;
  HINSTANCE m_hInstance = nullptr;  // the program's own resources (UiRegisterResourceTable)
  std::string m_strAppName;         // caption of AfxMessageBox
  int m_exitCode = 0;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE module);  // null is allowed: resource loads then fail quietly
HINSTANCE AfxGetInstanceHandle();
// Kept for code that enables the control container; there is nothing to do.
inline void AfxEnableControlContainer() {}

int AfxWinMain(int argc, char** argv);
