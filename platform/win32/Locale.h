// The user's locale, as the Win32 layer reports it.
//
// The language comes from the first non-empty of LC_ALL, LC_MESSAGES and
// LANG ("de_DE.UTF-8" is German, Germany); unset, "C" and "POSIX" mean
// English (United States). The system locale is the same as the user's.
#pragma once

#include "platform/win32/CodePage.h"
#include "platform/win32/Types.h"

using LCTYPE = DWORD;

constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr WORD SUBLANG_SYS_DEFAULT = 0x02;
constexpr WORD SUBLANG_ENGLISH_US = 0x01;
constexpr WORD SORT_DEFAULT = 0x0;

constexpr LANGID MAKELANGID(WORD primary, WORD sub) { return static_cast<LANGID>((sub << 10) | primary); }
constexpr WORD PRIMARYLANGID(LANGID lang) { return lang & 0x3FF; }
constexpr WORD SUBLANGID(LANGID lang) { return lang >> 10; }
constexpr LCID MAKELCID(LANGID lang, WORD sort) { return (static_cast<DWORD>(sort) << 16) | lang; }
constexpr LANGID LANGIDFROMLCID(LCID lcid) { return static_cast<LANGID>(lcid & 0xFFFF); }

constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_CUSTOM_DEFAULT = 0x0C00;
constexpr LCID LOCALE_NEUTRAL = 0x0000;

constexpr LCTYPE LOCALE_NOUSEROVERRIDE = 0x80000000;
constexpr LCTYPE LOCALE_ILANGUAGE = 0x00000001;
constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x00001004;
constexpr LCTYPE LOCALE_SISO639LANGNAME = 0x00000059;
constexpr LCTYPE LOCALE_SISO3166CTRYNAME = 0x0000005A;

LCID GetUserDefaultLCID();
LANGID GetUserDefaultLangID();
LCID GetSystemDefaultLCID();
LANGID GetSystemDefaultLangID();

// Items: LOCALE_SISO639LANGNAME ("de"), LOCALE_SISO3166CTRYNAME ("DE"),
// LOCALE_ILANGUAGE (the language id in four hex digits, "0407") and
// LOCALE_IDEFAULTANSICODEPAGE ("65001"). Returns the characters stored with
// the terminator; a size of 0 returns the size needed; 0 with
// ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS (unknown item) or
// ERROR_INVALID_PARAMETER (unknown locale) otherwise.
int GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int cchData);
int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int cchData);
