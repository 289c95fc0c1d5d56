// File and folder choosers, and opening documents or addresses with the
// desktop's handlers. Headless runs answer them through hooks: a chooser
// without a hook on a screenless platform is cancelled, and opening records
// nothing and fails.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui/Wnd.h"

constexpr DWORD OFN_READONLY = 0x1;
constexpr DWORD OFN_OVERWRITEPROMPT = 0x2;
constexpr DWORD OFN_HIDEREADONLY = 0x4;
constexpr DWORD OFN_NOCHANGEDIR = 0x8;
constexpr DWORD OFN_ALLOWMULTISELECT = 0x200;
constexpr DWORD OFN_PATHMUSTEXIST = 0x800;
constexpr DWORD OFN_FILEMUSTEXIST = 0x1000;
constexpr DWORD OFN_EXPLORER = 0x80000;
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;

struct OPENFILENAME {
  DWORD lStructSize;
  HWND hwndOwner;
  const char* lpstrFilter;
  DWORD nFilterIndex;
  char* lpstrFile;          // result: the path, or folder\0name\0name\0\0 for several
  DWORD nMaxFile;
  const char* lpstrInitialDir;
  const char* lpstrTitle;
  DWORD Flags;
  const char* lpstrDefExt;
};

// What a chooser asks; the hook fills chosen and returns true for OK.
struct UiFileRequest {
  bool open = true;
  bool multiple = false;
  bool folder = false;      // a folder chooser
  std::string title;
  std::string initial;      // file name or folder shown first
  std::vector<std::pair<std::string, std::string>> filters;  // name, patterns ("*.avi;*.mpg")
  DWORD flags = 0;
};
using UiFileDialogHook = std::function<bool(const UiFileRequest& request, std::vector<std::string>& chosen)>;
void UiSetFileDialogHook(UiFileDialogHook hook);

class CFileDialog {
 public:
  // filter: "Name|*.ext;*.ext2|Other|*.x||"
  CFileDialog(BOOL openFile, const char* defExt = nullptr, const char* fileName = nullptr,
              DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char* filter = nullptr, CWnd* parent = nullptr);
  virtual ~CFileDialog() = default;
  // IDOK or IDCANCEL. A result longer than m_ofn.nMaxFile cancels with
  // CommDlgExtendedError() FNERR_BUFFERTOOSMALL instead of overrunning.
  virtual INT_PTR DoModal();
  std::string GetPathName() const;
  std::string GetFileName() const;
  std::string GetFileExt() const;
  std::string GetFileTitle() const;
  POSITION GetStartPosition() const;
  std::string GetNextPathName(POSITION& pos) const;

  OPENFILENAME m_ofn{};

 private:
  bool open_;
  std::string defExt_, filter_, initialName_;
  CWnd* parent_;
  std::vector<char> buffer_;
  std::vector<std::string> chosen_;
};

DWORD CommDlgExtendedError();

// The chosen folder, or false when cancelled.
bool UiBrowseForFolder(CWnd* owner, const char* title, std::string& folder);

// Opening with the desktop's handler: addresses ("http:", "mailto:", ...) as
// they are, anything else as a local file. True only when the desktop's
// opener (xdg-open, else gio) said that a program took the target, by its
// exit status, or still runs after a few seconds (it shows the target).
// The hook sees the target and decides the outcome instead.
using UiOpenHook = std::function<bool(const std::string& target)>;
void UiSetOpenHook(UiOpenHook hook);
bool UiOpenWithDesktop(const std::string& target);

constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x40;
constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x400;
struct SHELLEXECUTEINFO {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  const char* lpVerb;
  const char* lpFile;
  const char* lpParameters;
  const char* lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
};
// Returns a value above 32 on success (as the platform does), else 2 (file not found).
HINSTANCE ShellExecute(HWND hwnd, const char* verb, const char* file, const char* parameters, const char* directory,
                       int show);
BOOL ShellExecuteEx(SHELLEXECUTEINFO* info);
