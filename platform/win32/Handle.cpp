#include "platform/win32/Handle.h"

#include <mutex>
#include <unordered_set>

namespace {
thread_local DWORD t_lastError = 0;

struct LiveObjects {
  std::mutex lock;
  std::unordered_set<const KernelObject*> objects;
};

LiveObjects& Live() {
  static LiveObjects* live = new LiveObjects;  // never destroyed: objects may outlive static teardown
  return *live;
}
}  // namespace

KernelObject::KernelObject() {
  LiveObjects& l = Live();
  std::lock_guard<std::mutex> g(l.lock);
  l.objects.insert(this);
}

KernelObject::~KernelObject() {
  LiveObjects& l = Live();
  std::lock_guard<std::mutex> g(l.lock);
  l.objects.erase(this);
}

KernelObject* KernelObject::FromHandle(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  auto* obj = static_cast<KernelObject*>(h);
  LiveObjects& l = Live();
  std::lock_guard<std::mutex> g(l.lock);
  return l.objects.count(obj) ? obj : nullptr;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD err) { t_lastError = err; }

KernelObject* KernelObject::Reference(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  auto* obj = static_cast<KernelObject*>(h);
  LiveObjects& l = Live();
  std::lock_guard<std::mutex> g(l.lock);
  if (!l.objects.count(obj) || !obj->TryAddRef()) return nullptr;
  return obj;
}

BOOL CloseHandle(HANDLE h) {
  KernelObject* obj = KernelObject::FromHandle(h);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  obj->Release();
  return TRUE;
}

BOOL DuplicateHandle(HANDLE, HANDLE source, HANDLE, LPHANDLE target, DWORD, BOOL, DWORD) {
  KernelObject* obj = KernelObject::FromHandle(source);
  if (!obj || !target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  obj->AddRef();
  *target = obj->AsHandle();
  return TRUE;
}
