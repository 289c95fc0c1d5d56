// VARIANT: the tagged value of automation and property bags, and CComVariant
// that owns one. BSTR and SAFEARRAY come with it.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Unknown.h"

struct IDispatch;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

using VARIANT_BOOL = SHORT;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
using DATE = double;

union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  } s;
  LONGLONG int64;
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
    struct {
      PVOID pvRecord;
      PVOID pRecInfo;
    } record;
  };
};
// Same shape as on the platform: an 8-byte header and a two-pointer union.
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*));
static_assert(offsetof(VARIANT, llVal) == 8);
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;

// Flags of VariantChangeType.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;  // VT_BOOL to text as "True"/"False"
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

void VariantInit(VARIANT* v);
// Frees what the variant owns (string, reference, array) and makes it
// VT_EMPTY. A by-reference variant owns nothing. DISP_E_BADVARTYPE for a
// type this layer does not know (the variant is then left alone).
HRESULT VariantClear(VARIANT* v);
// A deep copy (strings and arrays duplicated, references added); dest is
// cleared first. By-reference variants are copied as references.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a by-reference source is copied as the value it refers to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Converts between the numeric types, VT_BOOL and VT_BSTR (and between
// VT_UNKNOWN and VT_DISPATCH by query). Numbers out of the target's range
// give DISP_E_OVERFLOW, text that is not a number DISP_E_TYPEMISMATCH;
// fractions round half to even. dest may equal src. Text is read and written
// independently of the locale.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt);

// Owns the value of one VARIANT.
class CComVariant : public VARIANT {
 public:
  CComVariant() noexcept { VariantInit(this); }
  ~CComVariant() { Clear(); }
  CComVariant(const VARIANT& src);
  CComVariant(const CComVariant& src);
  CComVariant(CComVariant&& src) noexcept;
  CComVariant(const OLECHAR* text);  // VT_BSTR (null gives a null BSTR)
  CComVariant(const CComBSTR& text);
  CComVariant(bool value) noexcept;  // VT_BOOL
  CComVariant(CHAR value) noexcept;
  CComVariant(BYTE value) noexcept;
  CComVariant(SHORT value) noexcept;
  CComVariant(USHORT value) noexcept;
  CComVariant(int value, VARTYPE type = VT_I4) noexcept;  // VT_I4, VT_INT or VT_ERROR
  CComVariant(unsigned int value, VARTYPE type = VT_UI4) noexcept;
  CComVariant(LONGLONG value) noexcept;
  CComVariant(ULONGLONG value) noexcept;
  CComVariant(float value) noexcept;
  CComVariant(double value, VARTYPE type = VT_R8) noexcept;  // VT_R8 or VT_DATE
  CComVariant(IUnknown* unk) noexcept;
  CComVariant(IDispatch* disp) noexcept;
  // Takes ownership of the array (VT_ARRAY | its element type).
  explicit CComVariant(SAFEARRAY* array) noexcept;

  CComVariant& operator=(const CComVariant& src);
  CComVariant& operator=(CComVariant&& src) noexcept;
  CComVariant& operator=(const VARIANT& src);

  HRESULT Clear() { return VariantClear(this); }
  HRESULT Copy(const VARIANT* src) { return VariantCopy(this, src); }
  // Takes over src (which becomes VT_EMPTY).
  HRESULT Attach(VARIANT* src);
  // Moves the value into dest (cleared first); this becomes VT_EMPTY.
  HRESULT Detach(VARIANT* dest);
  // Converts src (or this when null) in place.
  HRESULT ChangeType(VARTYPE type, const VARIANT* src = nullptr);
};
