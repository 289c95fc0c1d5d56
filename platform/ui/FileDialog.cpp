#include "platform/ui/FileDialog.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QThread>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QTreeView>
#include <QGuiApplication>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ui/WindowRecord.h"

namespace {
std::mutex g_lock;
UiFileDialogHook g_fileHook;
UiOpenHook g_openHook;
DWORD g_lastError = 0;

bool Headless() {
  QString p = QGuiApplication::platformName();
  return !UiIsUiThread() || p == "offscreen" || p == "minimal";
}

std::vector<std::pair<std::string, std::string>> ParseFilter(const std::string& filter) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : filter) {
    if (c == '|') parts.push_back(cur), cur.clear();
    else cur += c;
  }
  if (!cur.empty()) parts.push_back(cur);
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2)
    if (!parts[i].empty()) out.emplace_back(parts[i], parts[i + 1]);
  return out;
}

bool Ask(UiFileRequest& request, CWnd* parent, std::vector<std::string>& chosen) {
  UiFileDialogHook hook;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    hook = g_fileHook;
  }
  if (hook) return hook(request, chosen);
  if (Headless()) return false;
  QWidget* pw = parent ? parent->GetWidget() : nullptr;
  if (request.folder) {
    QString d = QFileDialog::getExistingDirectory(pw, UiQ(request.title), UiQ(request.initial));
    if (d.isEmpty()) return false;
    chosen.push_back(UiS(d));
    return true;
  }
  // The toolkit takes a filter's patterns from the parentheses at the end
  // of its name; the platform's names carry their own patterns already, as
  // their writers chose to show them, so only those are shown.
  QStringList filters;
  for (auto& f : request.filters) {
    QString patterns = UiQ(f.second);
    patterns.replace(';', ' ');
    filters << UiQ(f.first) + " (" + patterns.simplified() + ")";
  }
  // The initial name may be a folder or a file in one, as the toolkit takes it.
  QFileDialog dialog(pw, UiQ(request.title), UiQ(request.initial));
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  if (!request.open && !(request.flags & OFN_OVERWRITEPROMPT)) dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setAcceptMode(request.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
  dialog.setFileMode(!request.open        ? QFileDialog::AnyFile
                     : request.multiple ? QFileDialog::ExistingFiles
                                        : QFileDialog::ExistingFile);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
  // Room for every column of the file list: the names take what the size,
  // type and date leave.
  dialog.resize(860, 520);
  if (auto* view = dialog.findChild<QTreeView*>()) {
    view->header()->setStretchLastSection(false);
    view->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  }
  if (dialog.exec() != QDialog::Accepted) return false;
  for (const QString& f : dialog.selectedFiles())
    if (!f.isEmpty()) chosen.push_back(UiS(f));
  if (!request.multiple && chosen.size() > 1) chosen.resize(1);
  return !chosen.empty();
}

std::string FolderOf(const std::string& path) {
  size_t s = path.find_last_of('/');
  return s == std::string::npos ? std::string() : path.substr(0, s == 0 ? 1 : s);
}
std::string NameOf(const std::string& path) {
  size_t s = path.find_last_of('/');
  return s == std::string::npos ? path : path.substr(s + 1);
}
}  // namespace

void UiSetFileDialogHook(UiFileDialogHook hook) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_fileHook = std::move(hook);
}

void UiSetOpenHook(UiOpenHook hook) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_openHook = std::move(hook);
}

DWORD CommDlgExtendedError() { return g_lastError; }

CFileDialog::CFileDialog(BOOL openFile, const char* defExt, const char* fileName, DWORD flags, const char* filter,
                         CWnd* parent)
    : open_(openFile != 0), defExt_(defExt ? defExt : ""), filter_(filter ? filter : ""),
      initialName_(fileName ? fileName : ""), parent_(parent), buffer_(MAX_PATH, '\0') {
  m_ofn.lStructSize = sizeof(OPENFILENAME);
  m_ofn.Flags = flags;
  m_ofn.lpstrFile = buffer_.data();
  m_ofn.nMaxFile = static_cast<DWORD>(buffer_.size());
  m_ofn.lpstrDefExt = defExt_.empty() ? nullptr : defExt_.c_str();
  m_ofn.nFilterIndex = 1;
  std::memcpy(buffer_.data(), initialName_.data(), std::min(initialName_.size(), buffer_.size() - 1));
}

INT_PTR CFileDialog::DoModal() {
  g_lastError = 0;
  chosen_.clear();
  UiFileRequest request;
  request.open = open_;
  request.multiple = open_ && (m_ofn.Flags & OFN_ALLOWMULTISELECT);
  request.title = m_ofn.lpstrTitle ? m_ofn.lpstrTitle : "";
  request.flags = m_ofn.Flags;
  request.filters = ParseFilter(filter_);
  if (m_ofn.lpstrFile && m_ofn.nMaxFile > 0)
    request.initial.assign(m_ofn.lpstrFile, strnlen(m_ofn.lpstrFile, m_ofn.nMaxFile));
  if (request.initial.empty() && m_ofn.lpstrInitialDir) request.initial = m_ofn.lpstrInitialDir;
  std::vector<std::string> chosen;
  if (!Ask(request, parent_, chosen) || chosen.empty()) return IDCANCEL;
  if (!request.multiple && chosen.size() > 1) chosen.resize(1);
  for (std::string& p : chosen) {
    QFileInfo info(UiQ(p));
    if ((m_ofn.Flags & OFN_FILEMUSTEXIST) && !info.isFile()) return IDCANCEL;
    if ((m_ofn.Flags & OFN_PATHMUSTEXIST) && !info.absoluteDir().exists()) return IDCANCEL;
    // A save name without an extension takes the default one.
    if (!open_ && !defExt_.empty() && NameOf(p).find('.') == std::string::npos) p += "." + defExt_;
  }
  // The platform's result layout: one path, or the folder then each name.
  std::string layout;
  if (chosen.size() == 1) {
    layout = chosen[0];
    layout.push_back('\0');
  } else {
    layout = FolderOf(chosen[0]);
    layout.push_back('\0');
    for (auto& p : chosen) layout += NameOf(p), layout.push_back('\0');
  }
  layout.push_back('\0');
  if (!m_ofn.lpstrFile || layout.size() > m_ofn.nMaxFile) {
    g_lastError = FNERR_BUFFERTOOSMALL;
    return IDCANCEL;
  }
  std::memcpy(m_ofn.lpstrFile, layout.data(), layout.size());
  chosen_ = chosen;
  return IDOK;
}

std::string CFileDialog::GetPathName() const { return chosen_.empty() ? std::string() : chosen_[0]; }
std::string CFileDialog::GetFileName() const { return NameOf(GetPathName()); }
std::string CFileDialog::GetFileExt() const {
  std::string n = GetFileName();
  size_t d = n.find_last_of('.');
  return d == std::string::npos ? std::string() : n.substr(d + 1);
}
std::string CFileDialog::GetFileTitle() const {
  std::string n = GetFileName();
  size_t d = n.find_last_of('.');
  return d == std::string::npos ? n : n.substr(0, d);
}

POSITION CFileDialog::GetStartPosition() const {
  return chosen_.empty() ? nullptr : reinterpret_cast<POSITION>(static_cast<uintptr_t>(1));
}

std::string CFileDialog::GetNextPathName(POSITION& pos) const {
  size_t i = static_cast<size_t>(reinterpret_cast<uintptr_t>(pos));
  if (i == 0 || i > chosen_.size()) {
    pos = nullptr;
    return std::string();
  }
  pos = i < chosen_.size() ? reinterpret_cast<POSITION>(static_cast<uintptr_t>(i + 1)) : nullptr;
  return chosen_[i - 1];
}

bool UiBrowseForFolder(CWnd* owner, const char* title, std::string& folder) {
  UiFileRequest request;
  request.folder = true;
  request.title = title ? title : "";
  request.initial = folder;
  std::vector<std::string> chosen;
  if (!Ask(request, owner, chosen) || chosen.empty() || chosen[0].empty()) return false;
  folder = chosen[0];
  return true;
}

namespace {

// How long an opener may take to say whether something took the target.
// One that runs on (a browser it waits for, without a desktop's own opener
// in between) has opened it.
constexpr int kOpenerAnswerMs = 3000;

// Runs the desktop's opener program on `target` and judges it by its exit
// status: starting it proves nothing, since it fails only once it has
// looked for a program that takes the target. -1 when no opener is there.
int RunOpener(const std::string& target) {
  static const std::vector<std::vector<std::string>> kOpeners = {{"xdg-open"}, {"gio", "open"}};
  for (const auto& opener : kOpeners) {
    const QString program = QStandardPaths::findExecutable(UiQ(opener[0]));
    if (program.isEmpty()) continue;
    const std::string path = UiS(program);
    std::vector<std::string> words(opener.begin(), opener.end());
    words.push_back(target);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) continue;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
      if (done < 0 && errno != EINTR) return 0;  // reaped elsewhere: no answer to judge by
      if (clock.elapsed() >= kOpenerAnswerMs) break;
      // The window keeps painting while the opener looks.
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
      QThread::msleep(10);
    }
    // Still running: it shows the target. It is reaped when it ends.
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return 0;
  }
  return -1;
}

}  // namespace

bool UiOpenWithDesktop(const std::string& target) {
  if (target.empty()) return false;
  UiOpenHook hook;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    hook = g_openHook;
  }
  if (hook) return hook(target);
  if (Headless()) return false;
  QString t = UiQ(target);
  const bool address = t.contains("://") || t.startsWith("mailto:", Qt::CaseInsensitive);
  QUrl url = address ? QUrl(t) : QUrl::fromLocalFile(t);
  if (!url.isValid()) return false;
  const std::string given = address ? UiS(url.toString(QUrl::FullyEncoded)) : target;
  if (const int status = RunOpener(given); status >= 0) return status == 0;
  return QDesktopServices::openUrl(url);
}

HINSTANCE ShellExecute(HWND, const char*, const char* file, const char*, const char*, int) {
  bool ok = file && UiOpenWithDesktop(file);
  return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(ok ? 42 : 2));
}

BOOL ShellExecuteEx(SHELLEXECUTEINFO* info) {
  if (!info || !info->lpFile) return FALSE;
  info->hInstApp = ShellExecute(info->hwnd, info->lpVerb, info->lpFile, info->lpParameters, info->lpDirectory, info->nShow);
  return reinterpret_cast<uintptr_t>(info->hInstApp) > 32;
}
