// Makes fonts attached to a media file available to the process while the
// splitter that found them keeps its outputs, and removes them afterwards.
//
// Two ways are tried, as the entry points exist: a private font file (a
// temporary file added to the process's fonts), then an in-memory font.
// Where the graphics layer has no font entry points, the file way adds the
// font to fontconfig's application fonts of this process.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/Types.h"

constexpr DWORD FR_PRIVATE = 0x10;

class CFontInstaller {
 public:
  using AddFontMemResourceExFn = HANDLE (*)(PVOID data, DWORD length, PVOID reserved, DWORD* fonts);
  using RemoveFontMemResourceExFn = BOOL (*)(HANDLE font);
  using AddFontResourceExAFn = int (*)(LPCSTR fileName, DWORD flags, PVOID reserved);
  using RemoveFontResourceExAFn = BOOL (*)(LPCSTR fileName, DWORD flags, PVOID reserved);
  using MoveFileExAFn = BOOL (*)(LPCSTR from, LPCSTR to, DWORD flags);

  // The entry points used; any of them may be null.
  struct EntryPoints {
    AddFontMemResourceExFn addFontMemResourceEx = nullptr;
    RemoveFontMemResourceExFn removeFontMemResourceEx = nullptr;
    AddFontResourceExAFn addFontResourceExA = nullptr;
    RemoveFontResourceExAFn removeFontResourceExA = nullptr;
    MoveFileExAFn moveFileExA = nullptr;
  };

  // Resolves the entry points from the already loaded "gdi32.dll" and
  // "kernel32.dll"; the file way falls back to fontconfig.
  CFontInstaller();
  explicit CFontInstaller(const EntryPoints& entries);
  virtual ~CFontInstaller();
  CFontInstaller(const CFontInstaller&) = delete;
  CFontInstaller& operator=(const CFontInstaller&) = delete;

  // True when the font was installed by either way.
  bool Install(const void* data, size_t length);
  bool Install(const std::vector<BYTE>& data) { return Install(data.data(), data.size()); }
  // Removes everything this installer installed.
  void Uninstall();

  // fontconfig's application fonts of this process, for the fallback.
  static int AppFontAddFile(LPCSTR fileName, DWORD flags, PVOID reserved);
  static BOOL AppFontRemoveFile(LPCSTR fileName, DWORD flags, PVOID reserved);

 private:
  bool InstallAsFile(const void* data, size_t length);
  bool InstallFromMemory(const void* data, size_t length);

  EntryPoints m_entries;
  std::vector<HANDLE> m_fonts;
  std::vector<std::string> m_files;
};
