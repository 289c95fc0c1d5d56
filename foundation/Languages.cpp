#include "foundation/Languages.h"

#include <cstring>

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The code as the table holds it: at most `length` characters, lower case.
std::string NormaliseCode(const std::string& code, size_t length) {
  std::string out = code.substr(0, length);
  // A code ends at an embedded zero, as a C string would.
  out.resize(std::strlen(out.c_str()));
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool EqualNoCase(const char* a, size_t aLength, const std::string& b) {
  if (aLength != b.size()) return false;
  for (size_t i = 0; i < aLength; ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

std::string LanguageNameFromIso6392(const std::string& code) {
  const std::string key = NormaliseCode(code, 3);
  if (key.empty()) return std::string();
  for (size_t i = 0; i < g_languageTableRows; ++i) {
    const LanguageRow& row = g_languageTable[i];
    if (key == row.iso6392) {
      const char* end = std::strchr(row.name, ';');
      return end ? std::string(row.name, end) : std::string(row.name);
    }
  }
  return std::string();
}

std::string Iso6391ToIso6392(const std::string& code) {
  // An empty code would otherwise match the first language without a
  // two-letter code.
  const std::string key = NormaliseCode(code, 2);
  if (key.empty()) return std::string();
  for (size_t i = 0; i < g_languageTableRows; ++i)
    if (key == g_languageTable[i].iso6391) return g_languageTable[i].iso6392;
  return std::string();
}

std::string LanguageNameToIso6392(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = LowerAscii(c);
  for (size_t i = 0; i < g_languageTableRows; ++i) {
    const char* p = g_languageTable[i].name;
    for (;;) {
      const char* end = std::strchr(p, ';');
      const char* stop = end ? end : p + std::strlen(p);
      const char* b = p;
      const char* e = stop;
      while (b < e && IsSpace(*b)) ++b;
      while (e > b && IsSpace(e[-1])) --e;
      if (EqualNoCase(b, static_cast<size_t>(e - b), key)) return g_languageTable[i].iso6392;
      if (!end) break;
      p = end + 1;
    }
  }
  return std::string();
}
