// One-dimensional SAFEARRAYs, enough for property-bag values and filter
// data blobs (VT_UI1 | VT_ARRAY). Arrays of more dimensions are refused at
// creation.
#pragma once

#include "platform/win32/Types.h"

using VARTYPE = USHORT;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
using LPSAFEARRAYBOUND = SAFEARRAYBOUND*;

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000Du);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);

// Null for an element type that cannot live in an array, a dimension count
// other than 1, or bounds whose upper index does not fit a LONG. Elements
// start zeroed (empty strings, null pointers, empty variants).
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Frees the elements (strings, references, variants) and the array;
// DISP_E_ARRAYISLOCKED while its data is accessed. Null is accepted.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);
// nDim counts from 1; DISP_E_BADINDEX for any other dimension.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* bound);
// Copies an element out: strings are duplicated, interfaces get a reference,
// variants are copied into `pv` (which is overwritten, not cleared).
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* pv);
// Stores a copy. For VT_BSTR, VT_UNKNOWN and VT_DISPATCH `pv` is the string
// or interface pointer itself; for other types it points at the value.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* pv);
