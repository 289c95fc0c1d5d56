#include "platform/ui/Resource.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/ui/WinApp.h"

namespace {

struct ModuleEntry {
  void* library = nullptr;  // null for tables compiled into the program
  PmrResourceTable table{};  // sanitised copy: no count without its array
};

std::mutex g_modulesLock;
std::map<HINSTANCE, ModuleEntry> g_modules;
uintptr_t g_nextHandle = 1;

// A table whose arrays are missing but whose counts are not would send every
// lookup past the end of nothing; zero those counts instead.
bool Sanitise(const PmrResourceTable* in, PmrResourceTable& out) {
  if (!in || in->abiVersion != PMR_RESOURCE_ABI_VERSION || in->structSize < sizeof(PmrResourceTable)) return false;
  out = *in;
  if (!out.dialogs) out.dialogCount = 0;
  if (!out.menus) out.menuCount = 0;
  if (!out.strings) out.stringCount = 0;
  if (!out.bitmaps) out.bitmapCount = 0;
  if (!out.icons) out.iconCount = 0;
  return true;
}

HINSTANCE AddModule(void* library, const PmrResourceTable& table) {
  std::lock_guard<std::mutex> lock(g_modulesLock);
  // Handles are tokens, never addresses, so a stale one cannot reach freed memory.
  HINSTANCE h = reinterpret_cast<HINSTANCE>(0x10000 + (g_nextHandle++ << 4));
  g_modules[h] = ModuleEntry{library, table};
  return h;
}

bool GetTable(HINSTANCE module, PmrResourceTable& out) {
  std::lock_guard<std::mutex> lock(g_modulesLock);
  auto it = g_modules.find(module);
  if (it == g_modules.end()) return false;
  out = it->second.table;
  return true;
}

template <class T>
const T* FindById(const T* items, UINT count, UINT id) {
  for (UINT i = 0; i < count; ++i)
    if (static_cast<UINT>(items[i].id) == id) return &items[i];
  return nullptr;
}

template <class F>
auto FindEverywhere(F find) -> decltype(find(HINSTANCE{})) {
  if (auto r = find(AfxGetResourceHandle())) return r;
  HINSTANCE own = AfxGetInstanceHandle();
  if (own && own != AfxGetResourceHandle()) return find(own);
  return nullptr;
}

}  // namespace

HINSTANCE UiLoadResourceModule(const char* path) {
  if (!path || !*path) return nullptr;
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  auto get = reinterpret_cast<PmrGetResourcesFn>(dlsym(library, PMR_GET_RESOURCES_SYMBOL));
  PmrResourceTable table{};
  if (!get || !Sanitise(get(), table)) {
    std::fprintf(stderr, "ui: %s is not a resource module of this version\n", path);
    dlclose(library);
    return nullptr;
  }
  return AddModule(library, table);
}

void UiFreeResourceModule(HINSTANCE module) {
  void* library = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_modulesLock);
    auto it = g_modules.find(module);
    if (it == g_modules.end()) return;
    library = it->second.library;
    g_modules.erase(it);
  }
  if (library) dlclose(library);
}

HINSTANCE UiRegisterResourceTable(const PmrResourceTable* table) {
  PmrResourceTable copy{};
  if (!Sanitise(table, copy)) return nullptr;
  return AddModule(nullptr, copy);
}

void UiUnregisterResourceTable(HINSTANCE module) { UiFreeResourceModule(module); }

std::vector<UINT> UiDialogTemplateIds(HINSTANCE module) {
  std::vector<UINT> ids;
  PmrResourceTable t{};
  if (!GetTable(module, t)) return ids;
  for (UINT i = 0; i < t.dialogCount; ++i) ids.push_back(t.dialogs[i].id);
  return ids;
}

const PmrDialogTemplate* UiFindDialogTemplate(HINSTANCE module, UINT id) {
  PmrResourceTable t{};
  return GetTable(module, t) ? FindById(t.dialogs, t.dialogCount, id) : nullptr;
}
const PmrMenuTemplate* UiFindMenuTemplate(HINSTANCE module, UINT id) {
  PmrResourceTable t{};
  return GetTable(module, t) ? FindById(t.menus, t.menuCount, id) : nullptr;
}
const PmrImageResource* UiFindBitmapResource(HINSTANCE module, UINT id) {
  PmrResourceTable t{};
  const PmrImageResource* r = GetTable(module, t) ? FindById(t.bitmaps, t.bitmapCount, id) : nullptr;
  return r && r->data && r->size ? r : nullptr;
}
const PmrImageResource* UiFindIconResource(HINSTANCE module, UINT id) {
  PmrResourceTable t{};
  const PmrImageResource* r = GetTable(module, t) ? FindById(t.icons, t.iconCount, id) : nullptr;
  return r && r->data && r->size ? r : nullptr;
}
const char* UiFindStringResource(HINSTANCE module, UINT id) {
  PmrResourceTable t{};
  const PmrStringResource* s = GetTable(module, t) ? FindById(t.strings, t.stringCount, id) : nullptr;
  return s ? s->text : nullptr;
}

const PmrDialogTemplate* UiFindDialogTemplate(UINT id) {
  return FindEverywhere([id](HINSTANCE h) { return UiFindDialogTemplate(h, id); });
}
const PmrMenuTemplate* UiFindMenuTemplate(UINT id) {
  return FindEverywhere([id](HINSTANCE h) { return UiFindMenuTemplate(h, id); });
}
const PmrImageResource* UiFindBitmapResource(UINT id) {
  return FindEverywhere([id](HINSTANCE h) { return UiFindBitmapResource(h, id); });
}
const PmrImageResource* UiFindIconResource(UINT id) {
  return FindEverywhere([id](HINSTANCE h) { return UiFindIconResource(h, id); });
}
std::string UiLoadString(UINT id) {
  const char* s = FindEverywhere([id](HINSTANCE h) { return UiFindStringResource(h, id); });
  return s ? std::string(s) : std::string();
}

int LoadString(HINSTANCE module, UINT id, char* buffer, int bufferMax) {
  if (!buffer || bufferMax <= 0) return 0;
  buffer[0] = '\0';
  const char* s = UiFindStringResource(module, id);
  if (!s) return 0;
  size_t n = std::min(std::strlen(s), static_cast<size_t>(bufferMax - 1));
  std::memcpy(buffer, s, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}
