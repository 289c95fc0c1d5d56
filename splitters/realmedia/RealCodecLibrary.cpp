#include "splitters/realmedia/RealCodecLibrary.h"

#include "platform/win32/Registry.h"

std::string RealCodecFolder(const char* key) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return std::string();
  char value[261] = {};
  DWORD type = 0, size = 260;
  std::string folder;
  if (RegQueryValueExA(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    value[size < 260 ? size : 260] = '\0';
    folder = value;
  }
  RegCloseKey(k);
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder;
}

std::vector<std::string> RealCodecFolders() {
  return {RealCodecFolder("Software\\RealNetworks\\Preferences\\DT_Codecs"),
          RealCodecFolder("Helix\\HelixSDK\\10.0\\Preferences\\DT_Codecs")};
}

HMODULE LoadRealCodecLibrary(const std::vector<std::string>& names) {
  const std::vector<std::string> folders = RealCodecFolders();
  for (const std::string& name : names) {
    for (const std::string& folder : folders) {
      if (folder.empty()) continue;
      if (HMODULE m = LoadLibraryA((folder + name).c_str())) return m;
    }
    if (HMODULE m = LoadLibraryA(name.c_str())) return m;
  }
  return nullptr;
}

std::string ModuleFolder(HMODULE module) {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  if (n == 0 || n >= sizeof path) return std::string();
  std::string s(path, n);
  const auto slash = s.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}
