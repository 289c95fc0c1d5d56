#include "platform/ui/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <mutex>

#include "platform/ui/Resource.h"
#include "platform/ui/WinApp.h"
#include "platform/ui/WindowRecord.h"

namespace {
std::mutex g_hookLock;
UiMessageBoxHook g_hook;

// The button a box answers when nobody can click: its default one.
int DefaultAnswer(UINT type) {
  static const int buttons[][3] = {{IDOK, IDOK, IDOK},        {IDOK, IDCANCEL, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE},
                                   {IDYES, IDNO, IDCANCEL},   {IDYES, IDNO, IDNO},        {IDRETRY, IDCANCEL, IDCANCEL}};
  UINT kind = type & MB_TYPEMASK;
  if (kind > 5) kind = 0;
  UINT def = ((type & MB_DEFMASK) >> 8);
  return buttons[kind][def > 2 ? 0 : def];
}

bool Headless() {
  QString p = QGuiApplication::platformName();
  return !QApplication::instance() || p == "offscreen" || p == "minimal";
}
}  // namespace

void UiSetMessageBoxHook(UiMessageBoxHook hook) {
  std::lock_guard<std::mutex> lock(g_hookLock);
  g_hook = std::move(hook);
}

int MessageBox(HWND owner, const char* text, const char* caption, UINT type) {
  std::string t = text ? text : "";
  std::string c = caption ? caption : "Error";
  UiMessageBoxHook hook;
  {
    std::lock_guard<std::mutex> lock(g_hookLock);
    hook = g_hook;
  }
  if (hook) return hook(t, c, type);
  if (Headless() || !UiIsUiThread()) {
    std::fprintf(stderr, "message box \"%s\": %s (answered %d)\n", c.c_str(), t.c_str(), DefaultAnswer(type));
    return DefaultAnswer(type);
  }
  UiWindow* rec = UiFindWindow(owner);
  QMessageBox box(rec && rec->widget ? rec->widget->window() : nullptr);
  box.setWindowTitle(UiQ(c));
  box.setText(UiQ(t));
  switch (type & MB_ICONMASK) {
    case MB_ICONSTOP: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  struct B {
    int id;
    QMessageBox::StandardButton qt;
  };
  std::vector<B> bs;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: bs = {{IDOK, QMessageBox::Ok}, {IDCANCEL, QMessageBox::Cancel}}; break;
    case MB_ABORTRETRYIGNORE:
      bs = {{IDABORT, QMessageBox::Abort}, {IDRETRY, QMessageBox::Retry}, {IDIGNORE, QMessageBox::Ignore}};
      break;
    case MB_YESNOCANCEL: bs = {{IDYES, QMessageBox::Yes}, {IDNO, QMessageBox::No}, {IDCANCEL, QMessageBox::Cancel}}; break;
    case MB_YESNO: bs = {{IDYES, QMessageBox::Yes}, {IDNO, QMessageBox::No}}; break;
    case MB_RETRYCANCEL: bs = {{IDRETRY, QMessageBox::Retry}, {IDCANCEL, QMessageBox::Cancel}}; break;
    default: bs = {{IDOK, QMessageBox::Ok}}; break;
  }
  QMessageBox::StandardButtons all;
  for (auto& b : bs) all |= b.qt;
  box.setStandardButtons(all);
  box.setDefaultButton(static_cast<QMessageBox::StandardButton>(
      [&] {
        for (auto& b : bs)
          if (b.id == DefaultAnswer(type)) return b.qt;
        return bs.front().qt;
      }()));
  int answer = box.exec();
  for (auto& b : bs)
    if (b.qt == answer) return b.id;
  // Closed without a button: the cancelling answer where there is one.
  for (auto& b : bs)
    if (b.id == IDCANCEL || b.id == IDNO) return b.id;
  return bs.front().id;
}

int AfxMessageBox(const char* text, UINT type, UINT) {
  CWinApp* app = AfxGetApp();
  std::string caption = app ? app->m_strAppName : std::string();
  CWnd* main = app ? app->m_pMainWnd : nullptr;
  return MessageBox(main ? main->m_hWnd : nullptr, text, caption.c_str(), type);
}

int AfxMessageBox(const std::string& text, UINT type, UINT helpId) { return AfxMessageBox(text.c_str(), type, helpId); }

int AfxMessageBox(UINT promptId, UINT type, UINT helpId) {
  return AfxMessageBox(UiLoadString(promptId).c_str(), type, helpId);
}
