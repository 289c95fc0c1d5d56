// Code pages and text conversion.
//
// wchar_t is UTF-32 on this platform and the ANSI code page is UTF-8, so the
// system's 8-bit strings are UTF-8 and its wide strings hold one code point
// per character. The Windows code pages that file formats name are converted
// through iconv.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32/Gdi.h"
#include "platform/win32/Types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_MACCP = 2;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_SYMBOL = 42;
constexpr UINT CP_UTF7 = 65000;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MB_PRECOMPOSED = 0x00000001;
constexpr DWORD MB_COMPOSITE = 0x00000002;
constexpr DWORD MB_USEGLYPHCHARS = 0x00000004;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
constexpr DWORD WC_COMPOSITECHECK = 0x00000200;
constexpr DWORD WC_DEFAULTCHAR = 0x00000040;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// The code page of the system's 8-bit strings: UTF-8.
UINT GetACP();
UINT GetOEMCP();
BOOL IsValidCodePage(UINT codePage);

// Windows semantics: cbMultiByte/cchWideChar -1 converts up to and including
// the terminator; an output size of 0 returns the size needed; a buffer that
// is too small gives 0 and ERROR_INSUFFICIENT_BUFFER. Bytes that are invalid
// in the code page become U+FFFD unless MB_ERR_INVALID_CHARS is given (then
// 0 and ERROR_NO_UNICODE_TRANSLATION).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte, LPWSTR wideChar,
                        int cchWideChar);
// Characters the code page cannot represent become the default character
// ('?' unless given) and set *usedDefaultChar. UTF-7 and UTF-8 take no
// default character (ERROR_INVALID_PARAMETER when one is given).
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideChar, int cchWideChar, LPSTR multiByte,
                        int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// Conversions of the system's own strings; invalid UTF-8 becomes U+FFFD,
// code points that UTF-8 cannot carry (surrogates, above U+10FFFF) too.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// ---------------------------------------------------------------------------
// GDI character sets


struct FONTSIGNATURE {
  DWORD fsUsb[4];
  DWORD fsCsb[2];
};
struct CHARSETINFO {
  UINT ciCharset;
  UINT ciACP;
  FONTSIGNATURE fs;
};
using LPCHARSETINFO = CHARSETINFO*;

constexpr DWORD TCI_SRCCHARSET = 1;
constexpr DWORD TCI_SRCCODEPAGE = 2;
constexpr DWORD TCI_SRCFONTSIG = 3;

// With TCI_SRCCHARSET the charset number is passed in place of the pointer
// (as the platform does), with TCI_SRCCODEPAGE the code page. Charsets with
// no fixed code page (DEFAULT_CHARSET, OEM_CHARSET) give FALSE.
BOOL TranslateCharsetInfo(DWORD* src, LPCHARSETINFO charsetInfo, DWORD flags);

// ---------------------------------------------------------------------------
// String helpers

int lstrlenA(LPCSTR text);
int lstrlenW(LPCWSTR text);
// Case-insensitive comparisons that fold ASCII letters only, so the result
// does not depend on the process locale.
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count);
int lstrcmpiA(LPCSTR a, LPCSTR b);
int lstrcmpiW(LPCWSTR a, LPCWSTR b);
