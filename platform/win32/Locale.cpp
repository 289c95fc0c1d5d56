#include "platform/win32/Locale.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/win32/CodePage.h"
#include "platform/win32/Handle.h"

namespace {

struct LocaleEntry {
  const char* language;  // ISO 639-1
  const char* country;   // ISO 3166-1 alpha-2
  LANGID langId;
};

// The first entry of a language is its default when only the language is
// known.
constexpr LocaleEntry kLocales[] = {
    {"en", "US", 0x0409}, {"en", "GB", 0x0809}, {"en", "AU", 0x0C09}, {"en", "CA", 0x1009}, {"en", "NZ", 0x1409},
    {"en", "IE", 0x1809}, {"de", "DE", 0x0407}, {"de", "CH", 0x0807}, {"de", "AT", 0x0C07}, {"fr", "FR", 0x040C},
    {"fr", "BE", 0x080C}, {"fr", "CA", 0x0C0C}, {"fr", "CH", 0x100C}, {"es", "ES", 0x0C0A}, {"es", "MX", 0x080A},
    {"it", "IT", 0x0410}, {"it", "CH", 0x0810}, {"pt", "BR", 0x0416}, {"pt", "PT", 0x0816}, {"nl", "NL", 0x0413},
    {"nl", "BE", 0x0813}, {"sv", "SE", 0x041D}, {"sv", "FI", 0x081D}, {"zh", "CN", 0x0804}, {"zh", "TW", 0x0404},
    {"zh", "HK", 0x0C04}, {"zh", "SG", 0x1004}, {"ja", "JP", 0x0411}, {"ko", "KR", 0x0412}, {"ru", "RU", 0x0419},
    {"uk", "UA", 0x0422}, {"be", "BY", 0x0423}, {"bg", "BG", 0x0402}, {"pl", "PL", 0x0415}, {"cs", "CZ", 0x0405},
    {"sk", "SK", 0x041B}, {"sl", "SI", 0x0424}, {"hr", "HR", 0x041A}, {"hu", "HU", 0x040E}, {"ro", "RO", 0x0418},
    {"el", "GR", 0x0408}, {"tr", "TR", 0x041F}, {"he", "IL", 0x040D}, {"ar", "SA", 0x0401}, {"fa", "IR", 0x0429},
    {"th", "TH", 0x041E}, {"vi", "VN", 0x042A}, {"id", "ID", 0x0421}, {"hi", "IN", 0x0439}, {"da", "DK", 0x0406},
    {"fi", "FI", 0x040B}, {"nb", "NO", 0x0414}, {"no", "NO", 0x0414}, {"is", "IS", 0x040F}, {"et", "EE", 0x0425},
    {"lv", "LV", 0x0426}, {"lt", "LT", 0x0427}, {"sq", "AL", 0x041C}, {"ca", "ES", 0x0403},
};

struct UserLocale {
  std::string language;
  std::string country;
  LANGID langId;
};

bool IsLetters(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

std::string Cased(std::string_view s, bool upper) {
  std::string out(s);
  for (auto& c : out) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

UserLocale FromEntry(const LocaleEntry& e) { return UserLocale{e.language, e.country, e.langId}; }

// Reads "ll[_CC][.codeset][@modifier]".
UserLocale ParseLocaleName(std::string_view name) {
  const UserLocale english = FromEntry(kLocales[0]);
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return english;
  const size_t sep = name.find_first_of("_-");
  const std::string_view lang = name.substr(0, sep);
  const std::string_view country = sep == std::string_view::npos ? std::string_view() : name.substr(sep + 1);
  if (lang.size() < 2 || lang.size() > 3 || !IsLetters(lang)) return english;
  UserLocale user{Cased(lang, false), "", LANGIDFROMLCID(LOCALE_CUSTOM_DEFAULT)};
  const bool countryValid = country.size() == 2 && IsLetters(country);
  if (countryValid) user.country = Cased(country, true);
  const LocaleEntry* first = nullptr;
  for (const auto& e : kLocales) {
    if (user.language != e.language) continue;
    if (!first) first = &e;
    if (user.country == e.country) return FromEntry(e);
  }
  if (first) {
    user.langId = first->langId;
    if (user.country.empty()) user.country = first->country;
  }
  return user;
}

UserLocale CurrentUserLocale() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return ParseLocaleName(v);
  }
  return FromEntry(kLocales[0]);
}

bool LocaleFor(LCID lcid, UserLocale& out) {
  const UserLocale user = CurrentUserLocale();
  const LANGID lang = LANGIDFROMLCID(lcid);
  if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_NEUTRAL ||
      lang == user.langId) {
    out = user;
    return true;
  }
  for (const auto& e : kLocales) {
    if (e.langId == lang) {
      out = FromEntry(e);
      return true;
    }
  }
  return false;
}

bool Item(LCID lcid, LCTYPE type, std::string& out) {
  UserLocale loc;
  if (!LocaleFor(lcid, loc)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  char buf[16];
  switch (type & ~LOCALE_NOUSEROVERRIDE) {
    case LOCALE_SISO639LANGNAME: out = loc.language; return true;
    case LOCALE_SISO3166CTRYNAME: out = loc.country; return true;
    case LOCALE_ILANGUAGE:
      std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(loc.langId));
      out = buf;
      return true;
    case LOCALE_IDEFAULTANSICODEPAGE: out = std::to_string(GetACP()); return true;
    default: SetLastError(ERROR_INVALID_FLAGS); return false;
  }
}

template <class S>
int Deliver(const S& text, typename S::value_type* data, int cchData) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (cchData < 0 || (cchData > 0 && !data)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (cchData == 0) return needed;
  if (cchData < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), data);
  data[text.size()] = 0;
  return needed;
}

}  // namespace

LCID GetUserDefaultLCID() { return MAKELCID(CurrentUserLocale().langId, SORT_DEFAULT); }
LANGID GetUserDefaultLangID() { return CurrentUserLocale().langId; }
LCID GetSystemDefaultLCID() { return GetUserDefaultLCID(); }
LANGID GetSystemDefaultLangID() { return GetUserDefaultLangID(); }

int GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int cchData) {
  std::string text;
  if (!Item(locale, type, text)) return 0;
  return Deliver(text, data, cchData);
}

int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int cchData) {
  std::string text;
  if (!Item(locale, type, text)) return 0;
  return Deliver(Utf8ToWide(text), data, cchData);
}
