// GUID parsing, formatting and hashing, and the interface-id trait that
// attaches an IID to an interface type.
#pragma once

#include <functional>
#include <string>
#include <type_traits>

#include "platform/win32/Types.h"

namespace pellomar::com::detail {
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr uint64_t HexField(const char* s, int digits, bool& ok) {
  uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(s[i]);
    if (h < 0) ok = false;
    v = (v << 4) | static_cast<uint64_t>(h < 0 ? 0 : h);
  }
  return v;
}
}  // namespace pellomar::com::detail

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces.
// Returns false (and GUID_NULL) on anything else.
constexpr bool GuidFromString(const char* s, GUID& out) {
  using pellomar::com::detail::HexField;
  out = GUID_NULL;
  if (!s) return false;
  size_t len = 0;
  while (s[len]) ++len;
  bool braces = len == 38 && s[0] == '{' && s[37] == '}';
  if (!braces && len != 36) return false;
  const char* p = braces ? s + 1 : s;
  if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
  bool ok = true;
  GUID g{};
  g.Data1 = static_cast<uint32_t>(HexField(p, 8, ok));
  g.Data2 = static_cast<uint16_t>(HexField(p + 9, 4, ok));
  g.Data3 = static_cast<uint16_t>(HexField(p + 14, 4, ok));
  g.Data4[0] = static_cast<uint8_t>(HexField(p + 19, 2, ok));
  g.Data4[1] = static_cast<uint8_t>(HexField(p + 21, 2, ok));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(HexField(p + 24 + 2 * i, 2, ok));
  if (!ok) return false;
  out = g;
  return true;
}

// Compile-time GUID from a literal; a malformed literal fails to compile
// when used in a constant expression.
consteval GUID MakeGuid(const char* s) {
  GUID g{};
  if (!GuidFromString(s, g)) throw "malformed GUID literal";
  return g;
}

bool GuidFromString(const wchar_t* s, GUID& out);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as the platform prints it.
std::string GuidToStringA(const GUID& g);
std::wstring GuidToStringW(const GUID& g);

constexpr bool operator<(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
  if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
  if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
  return false;
}

template <>
struct std::hash<GUID> {
  size_t operator()(const GUID& g) const noexcept {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, &g, 8);
    std::memcpy(&b, reinterpret_cast<const uint8_t*>(&g) + 8, 8);
    return static_cast<size_t>(a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2)));
  }
};

// Interface ids: every interface declares its IID once with
//   PELLOMAR_INTERFACE_ID(IFoo, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx")
// after its declaration, which defines IID_IFoo and makes uuidof<IFoo>() and
// IID_PPV_ARGS work.
template <class T>
struct InterfaceTraits;

#define PELLOMAR_INTERFACE_ID(iface, guidstr)        \
  template <>                                        \
  struct InterfaceTraits<iface> {                    \
    static constexpr GUID iid = MakeGuid(guidstr);   \
  };                                                 \
  inline constexpr GUID IID_##iface = MakeGuid(guidstr)

// A named GUID constant (class ids, media types, format types...).
#define PELLOMAR_DEFINE_GUID(name, guidstr) inline constexpr GUID name = MakeGuid(guidstr)

template <class T>
constexpr const GUID& uuidof() {
  return InterfaceTraits<std::remove_cv_t<std::remove_pointer_t<T>>>::iid;
}
#define IID_PPV_ARGS(pp) uuidof<std::remove_pointer_t<decltype(pp)>>(), reinterpret_cast<void**>(pp)
