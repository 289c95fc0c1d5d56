// The component runtime: apartments, the in-process class table,
// CoCreateInstance, task memory and GUID text conversion.
//
// There is no registry of servers here: every creatable class lives in this
// process and is entered into a class table once at start-up, by explicit
// CoRegisterClass calls from the platform and from the system (no static
// initialisers, so the order of start-up is the caller's).
//
// CoCreateInstance does not insist on CoInitialize(Ex) having been called on
// the calling thread: with one process and no marshalling the apartment model
// has nothing to enforce, and the worker threads of the filter framework do
// create objects without joining an apartment.
#pragma once

#include <string>

#include "platform/com/Unknown.h"

// ---------------------------------------------------------------------------
// Constants

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

constexpr DWORD MEMCTX_TASK = 1;

// Characters StringFromGUID2 writes for a GUID, terminator included.
constexpr int GUID_STRING_CHARS = 39;

// ---------------------------------------------------------------------------
// Interfaces

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};
PELLOMAR_INTERFACE_ID(IClassFactory, "00000001-0000-0000-C000-000000000046");
using LPCLASSFACTORY = IClassFactory*;

// The task allocator; the same heap as CoTaskMemAlloc.
struct IMalloc : IUnknown {
  virtual void* STDMETHODCALLTYPE Alloc(SIZE_T cb) = 0;
  virtual void* STDMETHODCALLTYPE Realloc(void* pv, SIZE_T cb) = 0;
  virtual void STDMETHODCALLTYPE Free(void* pv) = 0;
  virtual SIZE_T STDMETHODCALLTYPE GetSize(void* pv) = 0;
  virtual int STDMETHODCALLTYPE DidAlloc(void* pv) = 0;
  virtual void STDMETHODCALLTYPE HeapMinimize() = 0;

 protected:
  ~IMalloc() = default;
};
PELLOMAR_INTERFACE_ID(IMalloc, "00000002-0000-0000-C000-000000000046");
using LPMALLOC = IMalloc*;

struct COSERVERINFO;

// ---------------------------------------------------------------------------
// Apartments. The count and mode are per thread: the first call gives S_OK,
// later ones S_FALSE, and asking for the other mode while initialised gives
// RPC_E_CHANGED_MODE (the count is then unchanged).

HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
void CoUninitialize();

// ---------------------------------------------------------------------------
// The class table

// Creates an object of one class. `outer` is the controlling unknown when
// the object is being aggregated; CoCreateInstance then always asks for
// IID_IUnknown and the creator must hand back the inner (non-delegating)
// unknown, or return CLASS_E_NOAGGREGATION when the class does not support
// aggregation. On failure *ppv must be left null.
using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// Enters a class. S_OK, or S_FALSE when the class was already there (the new
// creator then replaces the old one, so repeated start-up registration is
// harmless); E_POINTER for a null creator.
HRESULT CoRegisterClass(REFCLSID clsid, CreateInstanceFn fn, const wchar_t* name = nullptr);
// Removes a class; REGDB_E_CLASSNOTREG when it was not there.
HRESULT CoRevokeClass(REFCLSID clsid);
// The name given at registration; empty for unnamed or unknown classes.
std::wstring CoGetRegisteredClassName(REFCLSID clsid);

// E_POINTER for a null ppv; CLASS_E_NOAGGREGATION for an outer unknown with
// an iid other than IID_IUnknown; REGDB_E_CLASSNOTREG for a class not in the
// table or a context without an in-process server.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsctx, REFIID riid, void** ppv);
// An IClassFactory over the table entry (same rules as CoCreateInstance).
HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsctx, COSERVERINFO* server, REFIID riid, void** ppv);

// ---------------------------------------------------------------------------
// Task memory: one heap shared by every component, freed by whoever receives
// the block. CoTaskMemAlloc(0) returns a valid block; CoTaskMemRealloc with
// size 0 frees the block and returns null.

void* CoTaskMemAlloc(SIZE_T cb);
void* CoTaskMemRealloc(void* pv, SIZE_T cb);
void CoTaskMemFree(void* pv);
HRESULT CoGetMalloc(DWORD memctx, IMalloc** malloc);

// ---------------------------------------------------------------------------
// GUID text

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces required). Any other text
// gives CO_E_CLASSSTRING and GUID_NULL; a null out pointer E_INVALIDARG.
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
// Writes the braced upper-case text; returns the characters written with the
// terminator (39), or 0 (writing nothing) when the buffer is too short.
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax);
// The braced text in task memory (free it with CoTaskMemFree).
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
HRESULT StringFromIID(REFIID iid, LPOLESTR* text);
// A random (version 4) GUID.
HRESULT CoCreateGuid(GUID* guid);
