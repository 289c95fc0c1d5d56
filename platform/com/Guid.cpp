#include "platform/com/Guid.h"

#include <cstdio>

bool GuidFromString(const wchar_t* s, GUID& out) {
  out = GUID_NULL;
  if (!s) return false;
  char narrow[40];
  size_t i = 0;
  for (; s[i] && i < sizeof(narrow) - 1; ++i) {
    if (s[i] > 0x7F) return false;
    narrow[i] = static_cast<char>(s[i]);
  }
  if (s[i]) return false;
  narrow[i] = 0;
  return GuidFromString(static_cast<const char*>(narrow), out);
}

std::string GuidToStringA(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::wstring GuidToStringW(const GUID& g) {
  std::string a = GuidToStringA(g);
  return std::wstring(a.begin(), a.end());
}
