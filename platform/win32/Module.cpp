#include "platform/win32/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/File.h"
#include "platform/win32/Handle.h"

namespace {

enum class Kind { Executable, Builtin, Shared };

struct Module {
  Kind kind;
  std::string key;   // normalised name
  std::string path;  // file it came from (shared objects, the executable)
  void* dl = nullptr;
  long refs = 0;
  std::vector<BuiltinExport> exports;
  DWORD versionMS = 0;
  DWORD versionLS = 0;
};

struct ModuleTable {
  // Recursive: a shared object's start-up code, run by dlopen while the
  // table is locked, may itself look up or register modules.
  std::recursive_mutex lock;
  // Built-in modules shadow shared objects of the same name.
  std::map<std::string, std::unique_ptr<Module>> builtins;
  std::map<std::string, std::unique_ptr<Module>> shared;
  std::unique_ptr<Module> executable;

  Module* Find(const std::string& key) {
    auto b = builtins.find(key);
    if (b != builtins.end()) return b->second.get();
    auto s = shared.find(key);
    return s != shared.end() ? s->second.get() : nullptr;
  }
};

ModuleTable& Table() {
  // Never destroyed: modules may be used by detached threads at exit.
  static ModuleTable* table = new ModuleTable();
  return *table;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "C:\\Windows\\QUARTZ" -> "quartz.dll". A module's name is the
// platform's: its backslashes are separators, whatever files are here.
std::string KeyOf(const std::string& name) {
  const auto slash = name.find_last_of("/\\");
  std::string base = Lower(slash == std::string::npos ? name : name.substr(slash + 1));
  if (!base.empty() && base.find('.') == std::string::npos) base += ".dll";
  return base;
}

bool EndsWithDll(const std::string& s) { return s.size() > 4 && Lower(s.substr(s.size() - 4)) == ".dll"; }

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableFolder() {
  const std::string exe = ExecutablePath();
  const auto slash = exe.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

Module* FindLive(ModuleTable& t, HMODULE h) {
  if (!h) return nullptr;
  if (t.executable && reinterpret_cast<HMODULE>(t.executable.get()) == h) return t.executable.get();
  for (auto* map : {&t.builtins, &t.shared})
    for (auto& [key, m] : *map)
      if (reinterpret_cast<HMODULE>(m.get()) == h) return m.get();
  return nullptr;
}

Module* Executable(ModuleTable& t) {
  if (!t.executable) {
    t.executable = std::make_unique<Module>();
    t.executable->kind = Kind::Executable;
    t.executable->path = ExecutablePath();
    t.executable->dl = ::dlopen(nullptr, RTLD_NOW);
  }
  return t.executable.get();
}

HMODULE AsHandle(Module* m) { return reinterpret_cast<HMODULE>(m); }

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

void RegisterBuiltinModule(const char* name, std::vector<BuiltinExport> exports, DWORD fileVersionMS,
                           DWORD fileVersionLS) {
  if (!name || !*name) return;
  ModuleTable& t = Table();
  std::lock_guard<std::recursive_mutex> lock(t.lock);
  const std::string key = KeyOf(name);
  auto& slot = t.builtins[key];
  if (!slot) {
    slot = std::make_unique<Module>();
    slot->kind = Kind::Builtin;
    slot->key = key;
  }
  slot->exports = std::move(exports);
  slot->versionMS = fileVersionMS;
  slot->versionLS = fileVersionLS;
}

HMODULE LoadLibraryA(LPCSTR name) {
  if (!name || !*name) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ModuleTable& t = Table();
  std::lock_guard<std::recursive_mutex> lock(t.lock);
  const std::string key = KeyOf(name);
  if (Module* known = t.Find(key)) {
    ++known->refs;
    return AsHandle(known);
  }

  const std::string given = win32_detail::NativePath(name);
  std::vector<std::string> candidates;
  auto addWithSo = [&](const std::string& path) {
    if (EndsWithDll(path)) candidates.push_back(path.substr(0, path.size() - 4) + ".so");
    candidates.push_back(path);
  };
  if (given.find('/') != std::string::npos) {
    addWithSo(given);
  } else {
    addWithSo(ExecutableFolder() + "/" + (given.find('.') == std::string::npos ? given + ".dll" : given));
  }

  DWORD error = ERROR_MOD_NOT_FOUND;
  for (const std::string& path : candidates) {
    if (!FileExists(path)) continue;
    void* dl = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
      error = ERROR_BAD_EXE_FORMAT;
      continue;
    }
    // Another name may already have loaded the same object.
    for (auto& [k, m] : t.shared) {
      if (m->dl == dl) {
        ::dlclose(dl);  // drop the extra reference dlopen took
        ++m->refs;
        return AsHandle(m.get());
      }
    }
    auto m = std::make_unique<Module>();
    m->kind = Kind::Shared;
    m->key = key;
    char resolved[PATH_MAX];
    m->path = ::realpath(path.c_str(), resolved) ? resolved : path;
    m->dl = dl;
    m->refs = 1;
    Module* raw = m.get();
    t.shared[key] = std::move(m);
    return AsHandle(raw);
  }
  SetLastError(error);
  return nullptr;
}

HMODULE LoadLibraryExA(LPCSTR name, HANDLE, DWORD) { return LoadLibraryA(name); }

HMODULE LoadLibraryW(LPCWSTR name) {
  std::string utf8;
  if (!name || !win32_detail::WideToUtf8Name(name, &utf8)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return LoadLibraryA(utf8.c_str());
}

BOOL FreeLibrary(HMODULE module) {
  ModuleTable& t = Table();
  std::lock_guard<std::recursive_mutex> lock(t.lock);
  Module* m = FindLive(t, module);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (m->kind != Kind::Shared) {
    if (m->refs > 0) --m->refs;
    return TRUE;
  }
  if (--m->refs > 0) return TRUE;
  ::dlclose(m->dl);
  for (auto it = t.shared.begin(); it != t.shared.end(); ++it) {
    if (it->second.get() == m) {
      t.shared.erase(it);
      break;
    }
  }
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  ModuleTable& t = Table();
  std::lock_guard<std::recursive_mutex> lock(t.lock);
  Module* m = FindLive(t, module);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!procName) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  const bool byOrdinal = IS_INTRESOURCE(procName);
  if (m->kind == Kind::Builtin) {
    const WORD ordinal = static_cast<WORD>(reinterpret_cast<uintptr_t>(procName));
    for (const BuiltinExport& e : m->exports) {
      if (byOrdinal ? (e.ordinal != 0 && e.ordinal == ordinal) : (!e.name.empty() && e.name == procName)) {
        if (e.proc) return e.proc;
      }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (byOrdinal || !m->dl) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* sym = ::dlsym(m->dl, procName);
  if (!sym) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

HMODULE GetModuleHandleA(LPCSTR name) {
  ModuleTable& t = Table();
  std::lock_guard<std::recursive_mutex> lock(t.lock);
  if (!name) return AsHandle(Executable(t));
  Module* m = t.Find(KeyOf(name));
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return AsHandle(m);
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  if (!name) return GetModuleHandleA(nullptr);
  std::string utf8;
  if (!win32_detail::WideToUtf8Name(name, &utf8)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return GetModuleHandleA(utf8.c_str());
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  std::string path;
  {
    ModuleTable& t = Table();
    std::lock_guard<std::recursive_mutex> lock(t.lock);
    Module* m = module ? FindLive(t, module) : Executable(t);
    if (!m) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = m->kind == Kind::Builtin ? ExecutableFolder() + "/" + m->key : m->path;
  }
  if (!fileName || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() + 1 > size) {
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(path.size());
}

// ---------------------------------------------------------------------------
// Version information

namespace {

// The block handed out by GetFileVersionInfoA: a tag, then the fixed part.
struct VersionBlock {
  DWORD magic;
  DWORD size;
  VS_FIXEDFILEINFO fixed;
};
constexpr DWORD kVersionBlockMagic = 0x50564552;  // "PVER"

bool BuiltinVersion(LPCSTR fileName, VS_FIXEDFILEINFO* out) {
  if (!fileName) return false;
  ModuleTable& t = Table();
  std::lock_guard<std::recursive_mutex> lock(t.lock);
  auto it = t.builtins.find(KeyOf(fileName));
  if (it == t.builtins.end()) return false;
  const Module& m = *it->second;
  if (m.versionMS == 0 && m.versionLS == 0) return false;
  *out = VS_FIXEDFILEINFO{};
  out->dwSignature = VS_FFI_SIGNATURE;
  out->dwStrucVersion = 0x00010000;
  out->dwFileVersionMS = out->dwProductVersionMS = m.versionMS;
  out->dwFileVersionLS = out->dwProductVersionLS = m.versionLS;
  out->dwFileOS = 0x40004;  // NT, 32-bit
  out->dwFileType = 2;      // a library
  return true;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle) {
  if (handle) *handle = 0;
  VS_FIXEDFILEINFO info;
  if (!BuiltinVersion(fileName, &info)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  return sizeof(VersionBlock);
}

BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD, DWORD length, LPVOID data) {
  VersionBlock block{};
  if (!BuiltinVersion(fileName, &block.fixed)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  if (!data || length < sizeof(VersionBlock)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  block.magic = kVersionBlockMagic;
  block.size = sizeof(VersionBlock);
  std::memcpy(data, &block, sizeof block);
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* length) {
  if (buffer) *buffer = nullptr;
  if (length) *length = 0;
  if (!block || !subBlock || !buffer || !length) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD head[2];
  std::memcpy(head, block, sizeof head);
  if (head[0] != kVersionBlockMagic || head[1] != sizeof(VersionBlock)) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (std::strcmp(subBlock, "\\") != 0 && std::strcmp(subBlock, "/") != 0) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  auto* base = static_cast<BYTE*>(const_cast<void*>(block));
  *buffer = base + offsetof(VersionBlock, fixed);
  *length = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}
