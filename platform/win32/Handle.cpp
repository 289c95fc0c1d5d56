#include "platform/win32/Handle.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD err) { t_lastError = err; }

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
