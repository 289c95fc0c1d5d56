// Monikers, bind contexts and the running object table.
//
// The table is process-wide and holds a counted reference to every object
// registered in it, with or without ROTFLAGS_REGISTRATIONKEEPSALIVE: a weak
// entry could not tell whether its object still exists, so every entry keeps
// its object alive until it is revoked. Registering a name that is already
// in the table gives MK_S_MONIKERALREADYREGISTERED and a second cookie.
//
// Item monikers carry a delimiter and an item name; the display name is the
// two joined, and two item monikers are equal when both parts are equal
// (compared exactly). Binding through an item moniker is not provided.
#pragma once

#include "platform/com/ComBase.h"
#include "platform/com/Enum.h"
#include "platform/com/Persist.h"

struct IMoniker;
struct IEnumMoniker;
struct IRunningObjectTable;
struct IEnumString;

constexpr HRESULT MK_S_REDUCED_TO_SELF = static_cast<HRESULT>(0x000401E2u);
constexpr HRESULT MK_S_MONIKERALREADYREGISTERED = static_cast<HRESULT>(0x000401E7u);
constexpr HRESULT MK_E_NOTBINDABLE = static_cast<HRESULT>(0x800401E8u);
constexpr HRESULT MK_E_SYNTAX = static_cast<HRESULT>(0x800401E4u);
constexpr HRESULT MK_E_NOTBOUND = static_cast<HRESULT>(0x800401E9u);

constexpr DWORD ROTFLAGS_REGISTRATIONKEEPSALIVE = 0x1;
constexpr DWORD ROTFLAGS_ALLOWANYCLIENT = 0x2;

enum MKSYS : DWORD {
  MKSYS_NONE = 0,
  MKSYS_GENERICCOMPOSITE = 1,
  MKSYS_FILEMONIKER = 2,
  MKSYS_ANTIMONIKER = 3,
  MKSYS_ITEMMONIKER = 4,
  MKSYS_POINTERMONIKER = 5,
  MKSYS_CLASSMONIKER = 7,
};

PELLOMAR_DEFINE_GUID(CLSID_ItemMoniker, "00000304-0000-0000-C000-000000000046");
PELLOMAR_DEFINE_GUID(IID_IEnumString, "00000101-0000-0000-C000-000000000046");

struct BIND_OPTS {
  DWORD cbStruct;
  DWORD grfFlags;
  DWORD grfMode;
  DWORD dwTickCountDeadline;
};

struct IBindCtx : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown* object) = 0;
  virtual HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown* object) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS* opts) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS* opts) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable** rot) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR key, IUnknown* object) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR key, IUnknown** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumObjectParam(IEnumString** keys) = 0;
  virtual HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR key) = 0;

 protected:
  ~IBindCtx() = default;
};
PELLOMAR_INTERFACE_ID(IBindCtx, "0000000E-0000-0000-C000-000000000046");
using LPBC = IBindCtx*;
using LPBINDCTX = IBindCtx*;

struct IMoniker : IPersistStream {
  virtual HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx* bc, IMoniker* toLeft, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx* bc, IMoniker* toLeft, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reduce(IBindCtx* bc, DWORD howFar, IMoniker** toLeft, IMoniker** reduced) = 0;
  virtual HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker* right, BOOL onlyIfNotGeneric, IMoniker** composite) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enum(BOOL forward, IEnumMoniker** out) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* other) = 0;
  virtual HRESULT STDMETHODCALLTYPE Hash(DWORD* hash) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx* bc, IMoniker* toLeft, IMoniker* newlyRunning) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx* bc, IMoniker* toLeft, FILETIME* time) = 0;
  virtual HRESULT STDMETHODCALLTYPE Inverse(IMoniker** out) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker* other, IMoniker** prefix) = 0;
  virtual HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker* other, IMoniker** relPath) = 0;
  // The name is task memory, freed by the caller with CoTaskMemFree.
  virtual HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx* bc, IMoniker* toLeft, LPOLESTR* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx* bc, IMoniker* toLeft, LPOLESTR name, ULONG* eaten,
                                                     IMoniker** out) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* mksys) = 0;

 protected:
  ~IMoniker() = default;
};
PELLOMAR_INTERFACE_ID(IMoniker, "0000000F-0000-0000-C000-000000000046");
using LPMONIKER = IMoniker*;

struct IEnumMoniker : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IMoniker** rgelt, ULONG* fetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker** out) = 0;

 protected:
  ~IEnumMoniker() = default;
};
PELLOMAR_INTERFACE_ID(IEnumMoniker, "00000102-0000-0000-C000-000000000046");
using CEnumMoniker = CInterfaceEnum<IEnumMoniker, IMoniker>;

struct IRunningObjectTable : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Register(DWORD flags, IUnknown* object, IMoniker* name, DWORD* cookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revoke(DWORD cookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsRunning(IMoniker* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObject(IMoniker* name, IUnknown** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE NoteChangeTime(DWORD cookie, FILETIME* time) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IMoniker* name, FILETIME* time) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumRunning(IEnumMoniker** out) = 0;

 protected:
  ~IRunningObjectTable() = default;
};
PELLOMAR_INTERFACE_ID(IRunningObjectTable, "00000010-0000-0000-C000-000000000046");
using LPRUNNINGOBJECTTABLE = IRunningObjectTable*;

// reserved must be 0.
HRESULT CreateBindCtx(DWORD reserved, IBindCtx** out);
HRESULT CreateItemMoniker(LPCOLESTR delimiter, LPCOLESTR item, IMoniker** out);
// reserved must be 0.
HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** out);
