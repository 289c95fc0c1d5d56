#include "foundation/FontInstaller.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <mutex>

#include "platform/win32/File.h"
#include "platform/win32/MfcFile.h"
#include "platform/win32/Module.h"

namespace {

template <class Fn>
Fn Resolve(HMODULE module, const char* name) {
  // Through a generic function pointer: the export has its own signature.
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

// fontconfig has no way to drop one application font, only all of them, so
// the files every installer of the process added are kept here and the rest
// are added again after a removal.
std::mutex g_appFontLock;
std::vector<std::string> g_appFontFiles;

int AppFontCount(FcConfig* config) {
  FcFontSet* set = FcConfigGetFonts(config, FcSetApplication);
  return set ? set->nfont : 0;
}

}  // namespace

int CFontInstaller::AppFontAddFile(LPCSTR fileName, DWORD, PVOID) {
  if (!fileName) return 0;
  std::lock_guard<std::mutex> guard(g_appFontLock);
  FcConfig* config = FcConfigGetCurrent();
  if (!config) return 0;
  const int before = AppFontCount(config);
  if (!FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(fileName))) return 0;
  const int added = AppFontCount(config) - before;
  if (added > 0) g_appFontFiles.emplace_back(fileName);
  return std::max(added, 0);
}

BOOL CFontInstaller::AppFontRemoveFile(LPCSTR fileName, DWORD, PVOID) {
  if (!fileName) return FALSE;
  std::lock_guard<std::mutex> guard(g_appFontLock);
  auto it = std::find(g_appFontFiles.begin(), g_appFontFiles.end(), fileName);
  if (it == g_appFontFiles.end()) return FALSE;
  g_appFontFiles.erase(it);
  FcConfig* config = FcConfigGetCurrent();
  if (!config) return FALSE;
  FcConfigAppFontClear(config);
  for (const std::string& file : g_appFontFiles)
    FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(file.c_str()));
  return TRUE;
}

CFontInstaller::CFontInstaller() {
  HMODULE gdi = GetModuleHandleA("gdi32.dll");
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  m_entries.addFontMemResourceEx = Resolve<AddFontMemResourceExFn>(gdi, "AddFontMemResourceEx");
  m_entries.removeFontMemResourceEx = Resolve<RemoveFontMemResourceExFn>(gdi, "RemoveFontMemResourceEx");
  m_entries.addFontResourceExA = Resolve<AddFontResourceExAFn>(gdi, "AddFontResourceExA");
  m_entries.removeFontResourceExA = Resolve<RemoveFontResourceExAFn>(gdi, "RemoveFontResourceExA");
  m_entries.moveFileExA = Resolve<MoveFileExAFn>(kernel, "MoveFileExA");
  if (!m_entries.addFontResourceExA || !m_entries.removeFontResourceExA) {
    m_entries.addFontResourceExA = &AppFontAddFile;
    m_entries.removeFontResourceExA = &AppFontRemoveFile;
  }
  if (!m_entries.moveFileExA) m_entries.moveFileExA = &::MoveFileExA;
}

CFontInstaller::CFontInstaller(const EntryPoints& entries) : m_entries(entries) {}

CFontInstaller::~CFontInstaller() { Uninstall(); }

bool CFontInstaller::Install(const void* data, size_t length) {
  if (!data || length == 0 || length > 0xFFFFFFFFu) return false;
  return InstallAsFile(data, length) || InstallFromMemory(data, length);
}

bool CFontInstaller::InstallAsFile(const void* data, size_t length) {
  if (!m_entries.addFontResourceExA) return false;

  char folder[MAX_PATH + 1] = {};
  const DWORD folderLength = GetTempPathA(MAX_PATH, folder);
  if (folderLength == 0 || folderLength >= MAX_PATH) return false;
  char fileName[MAX_PATH + 1] = {};
  if (GetTempFileNameA(folder, "g_font", 0, fileName) == 0) return false;

  // The temporary file exists from here on: every failure removes it.
  bool written = false;
  try {
    CFile file;
    if (file.Open(fileName, CFile::modeCreate | CFile::modeWrite | CFile::typeBinary)) {
      file.Write(data, static_cast<UINT>(length));
      file.Close();
      written = true;
    }
  } catch (const CFileException&) {
    written = false;
  }
  if (written && m_entries.addFontResourceExA(fileName, FR_PRIVATE, nullptr) > 0) {
    m_files.emplace_back(fileName);
    return true;
  }
  DeleteFileA(fileName);
  return false;
}

bool CFontInstaller::InstallFromMemory(const void* data, size_t length) {
  if (!m_entries.addFontMemResourceEx) return false;
  DWORD fonts = 0;
  HANDLE font = m_entries.addFontMemResourceEx(const_cast<void*>(data), static_cast<DWORD>(length), nullptr, &fonts);
  if (!font || fonts == 0) return false;
  m_fonts.push_back(font);
  return true;
}

void CFontInstaller::Uninstall() {
  if (m_entries.removeFontMemResourceEx) {
    for (HANDLE font : m_fonts) m_entries.removeFontMemResourceEx(font);
    m_fonts.clear();
  }
  if (m_entries.removeFontResourceExA) {
    for (const std::string& file : m_files) {
      m_entries.removeFontResourceExA(file.c_str(), FR_PRIVATE, nullptr);
      // A file still in use goes when the system next starts.
      if (!DeleteFileA(file.c_str()) && m_entries.moveFileExA)
        m_entries.moveFileExA(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    m_files.clear();
  }
}
