#include "platform/com/Variant.h"

#include <charconv>
#include <cmath>
#include <cwctype>
#include <limits>
#include <string>

#include "platform/com/Dispatch.h"

namespace {

// Bytes of a scalar value in the union; 0 for types a variant cannot hold
// by value.
size_t ValueSize(VARTYPE base) {
  switch (base) {
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
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void*);
    default:
      return 0;
  }
}

bool IsValidType(VARTYPE vt) {
  VARTYPE base = vt & VT_TYPEMASK;
  VARTYPE flags = vt & ~VT_TYPEMASK;
  if (flags & ~(VT_ARRAY | VT_BYREF)) return false;
  if (flags == 0) return base == VT_EMPTY || base == VT_NULL || ValueSize(base) != 0;
  return base == VT_VARIANT || ValueSize(base) != 0;
}

// ---------------------------------------------------------------------------
// Conversion

using Wide = __int128;

struct Number {
  enum Kind { kInteger, kReal } kind = kInteger;
  Wide integer = 0;
  double real = 0;
};

bool IsNumericType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

bool ReadNumber(const VARIANT& v, Number& n) {
  n = Number{};
  switch (v.vt) {
    case VT_EMPTY: n.integer = 0; return true;
    case VT_I1: n.integer = static_cast<int8_t>(v.cVal); return true;
    case VT_I2: n.integer = v.iVal; return true;
    case VT_I4: n.integer = v.lVal; return true;
    case VT_INT: n.integer = v.intVal; return true;
    case VT_I8: n.integer = v.llVal; return true;
    case VT_UI1: n.integer = v.bVal; return true;
    case VT_UI2: n.integer = v.uiVal; return true;
    case VT_UI4: n.integer = v.ulVal; return true;
    case VT_UINT: n.integer = v.uintVal; return true;
    case VT_UI8: n.integer = v.ullVal; return true;
    case VT_BOOL: n.integer = v.boolVal; return true;
    case VT_R4: n.kind = Number::kReal; n.real = v.fltVal; return true;
    case VT_R8: n.kind = Number::kReal; n.real = v.dblVal; return true;
    case VT_DATE: n.kind = Number::kReal; n.real = v.date; return true;
    case VT_CY: n.kind = Number::kReal; n.real = static_cast<double>(v.cyVal.int64) / 10000.0; return true;
    default: return false;
  }
}

bool IntegerRange(VARTYPE vt, Wide& lo, Wide& hi) {
  switch (vt) {
    case VT_I1: lo = INT8_MIN; hi = INT8_MAX; return true;
    case VT_I2: lo = INT16_MIN; hi = INT16_MAX; return true;
    case VT_I4:
    case VT_INT: lo = INT32_MIN; hi = INT32_MAX; return true;
    case VT_I8: lo = INT64_MIN; hi = INT64_MAX; return true;
    case VT_UI1: lo = 0; hi = UINT8_MAX; return true;
    case VT_UI2: lo = 0; hi = UINT16_MAX; return true;
    case VT_UI4:
    case VT_UINT: lo = 0; hi = UINT32_MAX; return true;
    case VT_UI8: lo = 0; hi = UINT64_MAX; return true;
    default: return false;
  }
}

HRESULT WriteNumber(const Number& n, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  if (vt == VT_BOOL) {
    bool set = n.kind == Number::kReal ? n.real != 0 : n.integer != 0;
    out.vt = VT_BOOL;
    out.boolVal = set ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  if (vt == VT_R8 || vt == VT_R4) {
    double d = n.kind == Number::kReal ? n.real : static_cast<double>(n.integer);
    if (vt == VT_R4) {
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
      out.fltVal = static_cast<float>(d);
    } else {
      out.dblVal = d;
    }
    out.vt = vt;
    return S_OK;
  }
  Wide lo, hi;
  if (!IntegerRange(vt, lo, hi)) return DISP_E_TYPEMISMATCH;
  Wide value;
  if (n.kind == Number::kReal) {
    // Half-way cases round to even, as the default rounding mode does.
    double r = std::nearbyint(n.real);
    if (!(r >= -18446744073709551616.0 && r < 18446744073709551616.0)) return DISP_E_OVERFLOW;
    value = static_cast<Wide>(r);
  } else {
    value = n.integer;
  }
  if (value < lo || value > hi) return DISP_E_OVERFLOW;
  switch (vt) {
    case VT_I1: out.cVal = static_cast<CHAR>(static_cast<int8_t>(value)); break;
    case VT_I2: out.iVal = static_cast<SHORT>(value); break;
    case VT_I4: out.lVal = static_cast<LONG>(value); break;
    case VT_INT: out.intVal = static_cast<INT>(value); break;
    case VT_I8: out.llVal = static_cast<LONGLONG>(value); break;
    case VT_UI1: out.bVal = static_cast<BYTE>(value); break;
    case VT_UI2: out.uiVal = static_cast<USHORT>(value); break;
    case VT_UI4: out.ulVal = static_cast<ULONG>(value); break;
    case VT_UINT: out.uintVal = static_cast<UINT>(value); break;
    case VT_UI8: out.ullVal = static_cast<ULONGLONG>(value); break;
    default: return DISP_E_TYPEMISMATCH;
  }
  out.vt = vt;
  return S_OK;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  return true;
}

// Parses decimal text (integer or real, optional sign and exponent).
HRESULT ParseNumber(BSTR text, VARTYPE target, Number& n) {
  std::wstring_view s(text ? text : L"", SysStringLen(text));
  while (!s.empty() && std::iswspace(static_cast<wint_t>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::iswspace(static_cast<wint_t>(s.back()))) s.remove_suffix(1);
  if (target == VT_BOOL) {
    if (EqualsNoCase(s, L"true")) {
      n = Number{Number::kInteger, -1, 0};
      return S_OK;
    }
    if (EqualsNoCase(s, L"false")) {
      n = Number{Number::kInteger, 0, 0};
      return S_OK;
    }
  }
  if (s.empty() || s.size() > 128) return DISP_E_TYPEMISMATCH;
  std::string narrow;
  for (wchar_t c : s) {
    bool allowed = (c >= L'0' && c <= L'9') || c == L'.' || c == L'e' || c == L'E' || c == L'+' || c == L'-';
    if (!allowed) return DISP_E_TYPEMISMATCH;
    narrow.push_back(static_cast<char>(c));
  }
  const char* begin = narrow.data();
  const char* end = begin + narrow.size();
  bool negative = *begin == '-';
  if (*begin == '+' || *begin == '-') ++begin;
  if (begin == end || *begin == '+' || *begin == '-') return DISP_E_TYPEMISMATCH;
  uint64_t magnitude = 0;
  auto [ip, iec] = std::from_chars(begin, end, magnitude);
  if (ip == end && iec == std::errc()) {
    n = Number{};
    n.integer = negative ? -static_cast<Wide>(magnitude) : static_cast<Wide>(magnitude);
    return S_OK;
  }
  double d = 0;
  auto [dp, dec] = std::from_chars(begin, end, d, std::chars_format::general);
  if (dp != end) return DISP_E_TYPEMISMATCH;
  if (dec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
  if (dec != std::errc()) return DISP_E_TYPEMISMATCH;
  n = Number{Number::kReal, 0, negative ? -d : d};
  return S_OK;
}

HRESULT WriteText(const VARIANT& in, USHORT flags, VARIANT& out) {
  VariantInit(&out);
  std::wstring text;
  if (in.vt == VT_BOOL) {
    bool set = in.boolVal != VARIANT_FALSE;
    text = (flags & VARIANT_ALPHABOOL) ? (set ? L"True" : L"False") : (set ? L"-1" : L"0");
  } else if (in.vt == VT_R4 || in.vt == VT_R8) {
    char buf[64];
    auto res = in.vt == VT_R4 ? std::to_chars(buf, buf + sizeof(buf), in.fltVal)
                              : std::to_chars(buf, buf + sizeof(buf), in.dblVal);
    if (res.ec != std::errc()) return DISP_E_OVERFLOW;
    text.assign(buf, res.ptr);
  } else if (in.vt != VT_EMPTY) {
    Number n;
    if (!IsNumericType(in.vt) || !ReadNumber(in, n)) return DISP_E_TYPEMISMATCH;
    Wide v = n.integer;
    bool negative = v < 0;
    unsigned __int128 m = negative ? static_cast<unsigned __int128>(-v) : static_cast<unsigned __int128>(v);
    do {
      text.insert(text.begin(), static_cast<wchar_t>(L'0' + static_cast<int>(m % 10)));
      m /= 10;
    } while (m);
    if (negative) text.insert(text.begin(), L'-');
  }
  out.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!out.bstrVal) return E_OUTOFMEMORY;
  out.vt = VT_BSTR;
  return S_OK;
}

// Converts `in` (a value, not a reference; consumed on success) into `out`.
HRESULT Convert(VARIANT& in, USHORT flags, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  if (in.vt == vt) {
    out = in;
    in.vt = VT_EMPTY;
    return S_OK;
  }
  if (vt == VT_EMPTY) return S_OK;
  if (in.vt == VT_NULL || vt == VT_NULL || (in.vt & VT_ARRAY) || (vt & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    if (in.vt != VT_UNKNOWN && in.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    IUnknown* source = in.punkVal;
    void* result = nullptr;
    if (source) {
      HRESULT hr = source->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &result);
      if (FAILED(hr)) return hr;
    }
    out.vt = vt;
    out.byref = result;
    return S_OK;
  }
  if (vt == VT_BSTR) return WriteText(in, flags, out);
  if (!IsNumericType(vt)) return DISP_E_TYPEMISMATCH;
  Number n;
  if (in.vt == VT_BSTR) {
    HRESULT hr = ParseNumber(in.bstrVal, vt, n);
    if (FAILED(hr)) return hr;
  } else if (!ReadNumber(in, n)) {
    return DISP_E_TYPEMISMATCH;
  }
  return WriteNumber(n, vt, out);
}

}  // namespace

void VariantInit(VARIANT* v) {
  if (!v) return;
  std::memset(v, 0, sizeof(VARIANT));
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  if (!IsValidType(v->vt)) return DISP_E_BADVARTYPE;
  VARTYPE vt = v->vt;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      // Empty the variant before the release, which may run arbitrary code.
      IUnknown* unk = v->punkVal;
      v->vt = VT_EMPTY;
      v->punkVal = nullptr;
      if (unk) unk->Release();
      return S_OK;
    }
  }
  v->vt = VT_EMPTY;
  v->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
  // Take the copy aside first: clearing dest may free what src refers to.
  VARIANT copy = *src;
  VARTYPE vt = src->vt;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      BSTR s = src->bstrVal;
      copy.bstrVal = s ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s)) : nullptr;
      if (s && !copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && src->punkVal) {
      src->punkVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
  if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
  if (!src->byref) return E_INVALIDARG;
  VARTYPE base = src->vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    // One level only: a variant reference does not lead to another reference.
    if (src->pvarVal->vt & VT_BYREF) return E_INVALIDARG;
    if (src->pvarVal == dest) return S_OK;
    return VariantCopy(dest, src->pvarVal);
  }
  VARIANT view;
  VariantInit(&view);
  view.vt = base;
  if (base & VT_ARRAY)
    view.parray = *src->pparray;
  else
    std::memcpy(&view.llVal, src->byref, ValueSize(base));
  return VariantCopy(dest, &view);
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID, USHORT flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if ((vt & VT_BYREF) || !IsValidType(vt) || (vt & VT_TYPEMASK) == VT_VARIANT) return DISP_E_BADVARTYPE;
  VARIANT in;
  VariantInit(&in);
  HRESULT hr = VariantCopyInd(&in, src);
  if (FAILED(hr)) return hr;
  VARIANT out;
  hr = Convert(in, flags, vt, out);
  VariantClear(&in);
  if (FAILED(hr)) return hr;
  hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&out);
    return hr;
  }
  *dest = out;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, 0, flags, vt);
}

// ---------------------------------------------------------------------------
// CComVariant

namespace {
void SetError(VARIANT& v, HRESULT hr) {
  v.vt = VT_ERROR;
  v.scode = hr;
}
}  // namespace

CComVariant::CComVariant(const VARIANT& src) : CComVariant() {
  HRESULT hr = VariantCopy(this, &src);
  if (FAILED(hr)) SetError(*this, hr);
}

CComVariant::CComVariant(const CComVariant& src) : CComVariant(static_cast<const VARIANT&>(src)) {}

CComVariant::CComVariant(CComVariant&& src) noexcept : VARIANT(src) { src.vt = VT_EMPTY; }

CComVariant::CComVariant(const OLECHAR* text) : CComVariant() {
  vt = VT_BSTR;
  bstrVal = SysAllocString(text);
  if (text && !bstrVal) SetError(*this, E_OUTOFMEMORY);
}

CComVariant::CComVariant(const CComBSTR& text) : CComVariant() {
  vt = VT_BSTR;
  bstrVal = text.Copy();
  if (text.m_str && !bstrVal) SetError(*this, E_OUTOFMEMORY);
}

CComVariant::CComVariant(bool value) noexcept : CComVariant() {
  vt = VT_BOOL;
  boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

CComVariant::CComVariant(CHAR value) noexcept : CComVariant() {
  vt = VT_I1;
  cVal = value;
}

CComVariant::CComVariant(BYTE value) noexcept : CComVariant() {
  vt = VT_UI1;
  bVal = value;
}

CComVariant::CComVariant(SHORT value) noexcept : CComVariant() {
  vt = VT_I2;
  iVal = value;
}

CComVariant::CComVariant(USHORT value) noexcept : CComVariant() {
  vt = VT_UI2;
  uiVal = value;
}

CComVariant::CComVariant(int value, VARTYPE type) noexcept : CComVariant() {
  if (type != VT_I4 && type != VT_INT && type != VT_ERROR) {
    SetError(*this, E_INVALIDARG);
    return;
  }
  vt = type;
  lVal = value;
}

CComVariant::CComVariant(unsigned int value, VARTYPE type) noexcept : CComVariant() {
  if (type != VT_UI4 && type != VT_UINT) {
    SetError(*this, E_INVALIDARG);
    return;
  }
  vt = type;
  ulVal = value;
}

CComVariant::CComVariant(LONGLONG value) noexcept : CComVariant() {
  vt = VT_I8;
  llVal = value;
}

CComVariant::CComVariant(ULONGLONG value) noexcept : CComVariant() {
  vt = VT_UI8;
  ullVal = value;
}

CComVariant::CComVariant(float value) noexcept : CComVariant() {
  vt = VT_R4;
  fltVal = value;
}

CComVariant::CComVariant(double value, VARTYPE type) noexcept : CComVariant() {
  if (type != VT_R8 && type != VT_DATE) {
    SetError(*this, E_INVALIDARG);
    return;
  }
  vt = type;
  dblVal = value;
}

CComVariant::CComVariant(IUnknown* unk) noexcept : CComVariant() {
  vt = VT_UNKNOWN;
  punkVal = unk;
  if (unk) unk->AddRef();
}

CComVariant::CComVariant(IDispatch* disp) noexcept : CComVariant() {
  vt = VT_DISPATCH;
  pdispVal = disp;
  if (disp) disp->AddRef();
}

CComVariant::CComVariant(SAFEARRAY* array) noexcept : CComVariant() {
  VARTYPE element = VT_EMPTY;
  if (array && SUCCEEDED(SafeArrayGetVartype(array, &element))) {
    vt = static_cast<VARTYPE>(VT_ARRAY | element);
    parray = array;
  }
}

CComVariant& CComVariant::operator=(const CComVariant& src) { return *this = static_cast<const VARIANT&>(src); }

CComVariant& CComVariant::operator=(CComVariant&& src) noexcept {
  if (this != &src) {
    Clear();
    static_cast<VARIANT&>(*this) = src;
    src.vt = VT_EMPTY;
  }
  return *this;
}

CComVariant& CComVariant::operator=(const VARIANT& src) {
  if (this != &src) {
    HRESULT hr = VariantCopy(this, &src);
    if (FAILED(hr)) {
      Clear();
      SetError(*this, hr);
    }
  }
  return *this;
}

HRESULT CComVariant::Attach(VARIANT* src) {
  if (!src) return E_INVALIDARG;
  if (src == this) return S_OK;
  HRESULT hr = Clear();
  if (FAILED(hr)) return hr;
  static_cast<VARIANT&>(*this) = *src;
  src->vt = VT_EMPTY;
  return S_OK;
}

HRESULT CComVariant::Detach(VARIANT* dest) {
  if (!dest) return E_POINTER;
  if (dest == this) return S_OK;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  *dest = *this;
  vt = VT_EMPTY;
  return S_OK;
}

HRESULT CComVariant::ChangeType(VARTYPE type, const VARIANT* src) {
  return VariantChangeType(this, src ? src : this, 0, type);
}
