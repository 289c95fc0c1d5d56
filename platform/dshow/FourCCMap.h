// Subtype GUIDs built from a FourCC or a wave format tag.
//
// The platform derives these subtypes from the template
// XXXXXXXX-0000-0010-8000-00AA00389B71, with the code in the first field, so
// a FourCC read from a file and a subtype constant compare equal.
#pragma once

#include "platform/win32/Types.h"

constexpr GUID FourCCGuid(DWORD fcc) {
  return GUID{fcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// The subtype of a four-character code written as text ("dvsd").
constexpr GUID FourCCGuid(const char (&code)[5]) { return FourCCGuid(MAKEFOURCC(code[0], code[1], code[2], code[3])); }

// True when g is of the FourCC family (any code in its first field).
constexpr bool IsFourCCGuid(const GUID& g) { return FourCCGuid(g.Data1) == g; }

class FOURCCMap : public GUID {
 public:
  constexpr FOURCCMap() : GUID(FourCCGuid(0)) {}
  constexpr explicit FOURCCMap(DWORD fcc) : GUID(FourCCGuid(fcc)) {}
  constexpr explicit FOURCCMap(const GUID* g) : GUID(*g) {}

  constexpr DWORD GetFOURCC() const { return Data1; }
  constexpr void SetFOURCC(DWORD fcc) { *static_cast<GUID*>(this) = FourCCGuid(fcc); }
  constexpr void SetFOURCC(const GUID* g) { *static_cast<GUID*>(this) = *g; }
};
static_assert(sizeof(FOURCCMap) == sizeof(GUID));
