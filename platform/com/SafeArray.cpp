#include "platform/com/SafeArray.h"

#include <cstdlib>
#include <limits>

#include "platform/com/Variant.h"

namespace {

// The descriptor handed out is the first member of this block, so the
// element type travels with it without widening SAFEARRAY itself.
struct ArrayBlock {
  SAFEARRAY array;
  VARTYPE vt;
};
static_assert(std::is_standard_layout_v<ArrayBlock>);

ArrayBlock* BlockOf(SAFEARRAY* psa) { return reinterpret_cast<ArrayBlock*>(psa); }

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(IUnknown*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_VARIANT;
    default:
      return FADF_HAVEVARTYPE;
  }
}

BYTE* ElementAt(SAFEARRAY* psa, size_t index) { return static_cast<BYTE*>(psa->pvData) + index * psa->cbElements; }

// The element offset for an index, or false when it is outside the bounds.
bool OffsetOf(SAFEARRAY* psa, const LONG* indices, size_t& offset) {
  int64_t rel = static_cast<int64_t>(indices[0]) - psa->rgsabound[0].lLbound;
  if (rel < 0 || rel >= static_cast<int64_t>(psa->rgsabound[0].cElements)) return false;
  offset = static_cast<size_t>(rel);
  return true;
}

void ReleaseElement(VARTYPE vt, BYTE* slot) {
  switch (vt) {
    case VT_BSTR: {
      BSTR& s = *reinterpret_cast<BSTR*>(slot);
      SysFreeString(s);
      s = nullptr;
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown*& p = *reinterpret_cast<IUnknown**>(slot);
      if (p) p->Release();
      p = nullptr;
      break;
    }
    case VT_VARIANT:
      VariantClear(reinterpret_cast<VARIANT*>(slot));
      break;
    default:
      break;
  }
}

// Copies one element value from `src` (in slot layout) into `dst` (raw,
// overwritten). For strings and interfaces `src` holds the pointer itself.
HRESULT CopyElement(VARTYPE vt, ULONG size, const void* src, void* dst) {
  switch (vt) {
    case VT_BSTR: {
      BSTR s = *static_cast<const BSTR*>(src);
      BSTR copy = s ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s)) : nullptr;
      if (s && !copy) return E_OUTOFMEMORY;
      *static_cast<BSTR*>(dst) = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* p = *static_cast<IUnknown* const*>(src);
      if (p) p->AddRef();
      *static_cast<IUnknown**>(dst) = p;
      return S_OK;
    }
    case VT_VARIANT: {
      VARIANT* out = static_cast<VARIANT*>(dst);
      VariantInit(out);
      return VariantCopy(out, static_cast<const VARIANT*>(src));
    }
    default:
      std::memcpy(dst, src, size);
      return S_OK;
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds) {
  ULONG size = ElementSize(vt);
  if (size == 0 || cDims != 1 || !bounds) return nullptr;
  int64_t upper = static_cast<int64_t>(bounds[0].lLbound) + bounds[0].cElements - 1;
  if (upper > std::numeric_limits<LONG>::max() || upper < std::numeric_limits<LONG>::min()) return nullptr;
  auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
  if (!block) return nullptr;
  SAFEARRAY& sa = block->array;
  sa.cDims = 1;
  sa.fFeatures = FeaturesOf(vt);
  sa.cbElements = size;
  sa.rgsabound[0] = bounds[0];
  block->vt = vt;
  if (bounds[0].cElements) {
    sa.pvData = std::calloc(bounds[0].cElements, size);
    if (!sa.pvData) {
      std::free(block);
      return nullptr;
    }
  }
  return &sa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  VARTYPE vt = BlockOf(psa)->vt;
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) ReleaseElement(vt, ElementAt(psa, i));
  std::free(psa->pvData);
  std::free(BlockOf(psa));
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!psa) return S_OK;
  VARTYPE vt = BlockOf(psa)->vt;
  SAFEARRAY* copy = SafeArrayCreate(vt, 1, psa->rgsabound);
  if (!copy) return E_OUTOFMEMORY;
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    HRESULT hr = CopyElement(vt, psa->cbElements, ElementAt(psa, i), ElementAt(copy, i));
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *out = copy;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks >= 0xFFFF) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data) {
  if (!psa || !data) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  *data = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt) {
  if (!psa || !vt) return E_INVALIDARG;
  *vt = BlockOf(psa)->vt;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* bound) {
  if (!psa || !bound) return E_INVALIDARG;
  if (nDim != 1) return DISP_E_BADINDEX;
  *bound = psa->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* bound) {
  if (!psa || !bound) return E_INVALIDARG;
  if (nDim != 1) return DISP_E_BADINDEX;
  // Creation made sure this fits.
  *bound = static_cast<LONG>(static_cast<int64_t>(psa->rgsabound[0].lLbound) + psa->rgsabound[0].cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* pv) {
  if (!psa || !indices || !pv) return E_INVALIDARG;
  size_t offset;
  if (!OffsetOf(psa, indices, offset)) return DISP_E_BADINDEX;
  return CopyElement(BlockOf(psa)->vt, psa->cbElements, ElementAt(psa, offset), pv);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* pv) {
  if (!psa || !indices) return E_INVALIDARG;
  VARTYPE vt = BlockOf(psa)->vt;
  bool pointerValue = vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
  if (!pv && !pointerValue) return E_INVALIDARG;
  size_t offset;
  if (!OffsetOf(psa, indices, offset)) return DISP_E_BADINDEX;
  // Build the new value aside first so a failed copy leaves the old one.
  alignas(VARIANT) BYTE fresh[sizeof(VARIANT)];
  HRESULT hr = pointerValue ? CopyElement(vt, psa->cbElements, &pv, fresh)
                            : CopyElement(vt, psa->cbElements, pv, fresh);
  if (FAILED(hr)) return hr;
  BYTE* slot = ElementAt(psa, offset);
  ReleaseElement(vt, slot);
  std::memcpy(slot, fresh, psa->cbElements);
  return S_OK;
}
