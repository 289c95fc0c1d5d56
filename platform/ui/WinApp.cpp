#include "platform/ui/WinApp.h"

#include <QApplication>
#include <atomic>
#include <memory>

#include "platform/ui/Icon.h"
#include "platform/ui/WindowRecord.h"
#include "platform/win32/Registry.h"

namespace {
CWinApp* g_app = nullptr;
std::atomic<HINSTANCE> g_resource{nullptr};
}  // namespace

CWinApp::CWinApp(const char* appName) : m_strAppName(appName ? appName : "") { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

int CWinApp::Run() {
  if (!QApplication::instance()) return -1;
  return QApplication::exec();
}

void CWinApp::SetRegistryKey(const char* company) { m_strRegistryKey = company ? company : ""; }

namespace {
std::string ProfileKey(const CWinApp& app, const char* section) {
  return "Software\\" + app.m_strRegistryKey + "\\" + app.m_strAppName + "\\" + (section ? section : "");
}
}  // namespace

UINT CWinApp::GetProfileInt(const char* section, const char* entry, int defaultValue) const {
  if (m_strRegistryKey.empty() || !entry) return static_cast<UINT>(defaultValue);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, ProfileKey(*this, section).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return static_cast<UINT>(defaultValue);
  DWORD type = 0, value = 0, size = sizeof value;
  const LONG r = RegQueryValueExA(key, entry, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return r == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value ? value : static_cast<UINT>(defaultValue);
}

BOOL CWinApp::WriteProfileInt(const char* section, const char* entry, int value) const {
  if (m_strRegistryKey.empty() || !entry) return FALSE;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, ProfileKey(*this, section).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return FALSE;
  const DWORD v = static_cast<DWORD>(value);
  const LONG r = RegSetValueExA(key, entry, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

HICON CWinApp::LoadIcon(UINT id) const { return ::LoadIcon(AfxGetResourceHandle(), MAKEINTRESOURCE(id)); }
HCURSOR CWinApp::LoadCursor(UINT id) const { return ::LoadCursor(AfxGetResourceHandle(), MAKEINTRESOURCE(id)); }
HCURSOR CWinApp::LoadStandardCursor(const char* id) const { return ::LoadCursor(nullptr, id); }

CWinApp* AfxGetApp() { return g_app; }
HINSTANCE AfxGetResourceHandle() { return g_resource.load(); }
void AfxSetResourceHandle(HINSTANCE module) { g_resource.store(module); }
HINSTANCE AfxGetInstanceHandle() { return g_app ? g_app->m_hInstance : nullptr; }

int AfxWinMain(int argc, char** argv) {
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  static int s_argc;
  s_argc = argc;
  std::unique_ptr<QApplication> own;
  if (!QApplication::instance()) own = std::make_unique<QApplication>(s_argc, argv);
  if (app->m_strAppName.empty()) app->m_strAppName = UiS(QApplication::applicationName());
  UiEnsureMessagePump();
  if (app->InitInstance()) app->m_exitCode = app->Run();
  int code = app->ExitInstance();
  // Windows still open at the end are destroyed while Qt is still there.
  for (HWND h : UiAllWindows())
    if (UiWindow* r = UiFindWindow(h); r && !(r->style & WS_CHILD)) UiDestroyWindow(h);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  own.reset();
  return code;
}
