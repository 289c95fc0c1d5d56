#include "platform/ui/WinApp.h"

#include <QApplication>
#include <atomic>
#include <memory>

#include "platform/ui/Icon.h"
#include "platform/ui/WindowRecord.h"

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
