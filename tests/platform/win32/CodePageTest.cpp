#include "platform/win32/CodePage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/Handle.h"

namespace {

std::string Encode(UINT cp, const std::wstring& text, BOOL* usedDefault = nullptr, LPCSTR defaultChar = nullptr) {
  const int n = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, defaultChar,
                                    usedDefault);
  if (n <= 0) return "<fail>";
  std::string out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), out.data(), n, defaultChar,
                          usedDefault) != n)
    return "<fail>";
  return out;
}

std::wstring Decode(UINT cp, const std::string& bytes, DWORD flags = 0) {
  const int n = MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return L"<fail>";
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n) != n)
    return L"<fail>";
  return out;
}

struct PageCase {
  UINT codePage;
  std::wstring text;
  std::string knownPrefix;  // how the page writes the first character(s)
};

TEST(CodePageTest, RealTextRoundTripsThroughEveryPage) {
  const std::vector<PageCase> cases = {
      {1250, L"Zażółć gęślą jaźń", "Za\xbf"},
      {1251, L"Съешь же ещё этих мягких французских булок", "\xd1\xfa"},
      {1252, L"€ Ça déjà vu, naïve", "\x80"},
      {1253, L"Καλημέρα κόσμε", "\xca\xe1"},
      {1254, L"Işık ğüşö İstanbul", "I\xfe"},
      {1255, L"שלום עולם", "\xf9"},
      {1256, L"مرحبا بالعالم", "\xe3"},
      {1257, L"Ąžuolas ėjo į šilą", "\xc0\xfe"},
      {1258, L"Viet Nam d\u0111\u01b0\u1edd", "Viet"},
      {874, L"สวัสดีชาวโลก", "\xca"},
      {932, L"日本語のテキスト、カタカナ", "\x93\xfa"},
      {936, L"简体中文测试", "\xbc\xf2"},
      {949, L"안녕하세요 세계", "\xbe\xc8"},
      {950, L"繁體中文測試", "\xc1\x63"},
      {1361, L"한국어", ""},
      {CP_UTF7, L"Hi 世界 + more", "Hi "},
      {CP_UTF8, L"Grüße 😀 日本", "Gr\xc3\xbc"},
      {CP_ACP, L"Grüße 😀 日本", "Gr\xc3\xbc"},
  };
  for (const auto& c : cases) {
    BOOL usedDefault = TRUE;
    const bool defaultable = c.codePage != CP_UTF7 && c.codePage != CP_UTF8 && c.codePage != CP_ACP;
    const std::string bytes = Encode(c.codePage, c.text, defaultable ? &usedDefault : nullptr);
    ASSERT_NE(bytes, "<fail>") << c.codePage;
    if (defaultable) {
      EXPECT_FALSE(usedDefault) << c.codePage;
    }
    EXPECT_EQ(bytes.compare(0, c.knownPrefix.size(), c.knownPrefix), 0) << c.codePage;
    EXPECT_EQ(Decode(c.codePage, bytes), c.text) << c.codePage;
    EXPECT_EQ(Decode(c.codePage, bytes, MB_ERR_INVALID_CHARS), c.text) << c.codePage;
    if (c.codePage != CP_ACP) {
      EXPECT_TRUE(IsValidCodePage(c.codePage)) << c.codePage;
    }
  }
  EXPECT_EQ(GetACP(), CP_UTF8);
  EXPECT_FALSE(IsValidCodePage(12345));
}

TEST(CodePageTest, InvalidBytesBecomeTheReplacementCharacter) {
  EXPECT_EQ(Decode(CP_UTF8, "a\xff" "b"), L"a\xfffd" L"b");
  EXPECT_EQ(Decode(CP_UTF8, "x\xe6\x97"), L"x\xfffd");              // cut off at the end
  EXPECT_EQ(Decode(CP_UTF8, "\xe6\x97" "z"), L"\xfffd" L"z");       // cut off in the middle
  EXPECT_EQ(Decode(CP_UTF8, "\xc0\xaf"), L"\xfffd\xfffd");          // overlong '/'
  EXPECT_EQ(Decode(CP_UTF8, "\xed\xa0\x80"), L"\xfffd\xfffd\xfffd");  // a surrogate
  EXPECT_EQ(Decode(CP_UTF8, "\xf4\x90\x80\x80"), L"\xfffd\xfffd\xfffd\xfffd");  // above U+10FFFF
  EXPECT_EQ(Utf8ToWide("ok\x80"), L"ok\xfffd");
  EXPECT_EQ(Decode(932, "A\x82"), L"A\xfffd");  // lead byte without its trail
  EXPECT_EQ(Decode(1253, "\xaa"), L"\xfffd");   // a byte the page leaves undefined

  SetLastError(0);
  char bad[] = "a\xff";
  wchar_t out[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(1253, MB_ERR_INVALID_CHARS, "\xaa", 1, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(CodePageTest, UnmappableCharactersBecomeTheDefaultCharacter) {
  BOOL used = FALSE;
  EXPECT_EQ(Encode(1252, L"a日b", &used), "a?b");
  EXPECT_TRUE(used);
  used = FALSE;
  EXPECT_EQ(Encode(1251, L"Ж€日", &used, "*"), "\xc6\x88*");
  EXPECT_TRUE(used);
  EXPECT_EQ(Encode(932, L"\u0416\u0e01"), "\x84\x47?");  // Cyrillic exists in 932, Thai does not
  // A lone surrogate cannot be written as UTF-8.
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
  EXPECT_EQ(Encode(CP_UTF8, std::wstring(1, static_cast<wchar_t>(0x110000))), "\xef\xbf\xbd");
  wchar_t lone[] = {0xDC00, 0};
  char out[8];
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  // UTF-8 takes no default character.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"x", 1, out, 8, "?", nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CodePageTest, SizeQueryTerminatorAndSmallBuffers) {
  // -1 counts the terminator, an explicit length does not add one.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", -1, nullptr, 0), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", 3, nullptr, 0), 2);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"h\xe9", -1, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, L"h\xe9", 2, nullptr, 0, nullptr, nullptr), 2);

  wchar_t wide[3] = {L'X', L'X', L'X'};
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", -1, wide, 3), 3);
  EXPECT_EQ(std::wstring(wide), L"ab");

  char narrow[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(WideCharToMultiByte(932, 0, L"日本語", -1, narrow, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(narrow[0], 'X');

  // An embedded zero byte is converted like any other.
  EXPECT_EQ(Decode(1251, std::string("a\0b", 3)), std::wstring(L"a\0b", 3));

  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, "abc", 3, wide, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, nullptr, 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CodePageTest, TranslateCharsetInfoCoversEveryGdiCharset) {
  struct Expect {
    UINT charset;
    UINT codePage;  // 0: no translation
  };
  const Expect all[] = {
      {ANSI_CHARSET, 1252},       {DEFAULT_CHARSET, 0},        {SYMBOL_CHARSET, CP_SYMBOL},
      {SHIFTJIS_CHARSET, 932},    {HANGUL_CHARSET, 949},       {JOHAB_CHARSET, 1361},
      {GB2312_CHARSET, 936},      {CHINESEBIG5_CHARSET, 950},  {GREEK_CHARSET, 1253},
      {TURKISH_CHARSET, 1254},    {VIETNAMESE_CHARSET, 1258},  {HEBREW_CHARSET, 1255},
      {ARABIC_CHARSET, 1256},     {BALTIC_CHARSET, 1257},      {RUSSIAN_CHARSET, 1251},
      {THAI_CHARSET, 874},        {EASTEUROPE_CHARSET, 1250},  {OEM_CHARSET, 0},
      {MAC_CHARSET, 10000},
  };
  DWORD seenBits = 0;
  for (const auto& e : all) {
    CHARSETINFO info{};
    const BOOL ok = TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<uintptr_t>(e.charset)), &info,
                                         TCI_SRCCHARSET);
    if (e.codePage == 0) {
      EXPECT_FALSE(ok) << e.charset;
      continue;
    }
    ASSERT_TRUE(ok) << e.charset;
    EXPECT_EQ(info.ciCharset, e.charset);
    EXPECT_EQ(info.ciACP, e.codePage) << e.charset;
    // One distinct code-page bit per charset.
    ASSERT_EQ(__builtin_popcount(info.fs.fsCsb[0]), 1) << e.charset;
    EXPECT_EQ(seenBits & info.fs.fsCsb[0], 0u) << e.charset;
    seenBits |= info.fs.fsCsb[0];
    EXPECT_TRUE(IsValidCodePage(info.ciACP)) << e.charset;

    CHARSETINFO back{};
    ASSERT_TRUE(TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<uintptr_t>(e.codePage)), &back,
                                     TCI_SRCCODEPAGE));
    EXPECT_EQ(back.ciCharset, e.charset);
  }
  CHARSETINFO info{};
  EXPECT_FALSE(TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<uintptr_t>(3)), &info, TCI_SRCCHARSET));
  EXPECT_FALSE(TranslateCharsetInfo(nullptr, nullptr, TCI_SRCCHARSET));
  EXPECT_EQ(Decode(CP_SYMBOL, "\x41"), L"\xf041");
  EXPECT_EQ(Decode(10000, "\x8a"), L"\xe4");  // Mac Roman a-umlaut
}

TEST(CodePageTest, Utf8HelpersAndStringHelpers) {
  const std::wstring all = L"A\x7f\x80\x7ff\x800\xfffd\xffff\x10000\x10ffff";
  EXPECT_EQ(Utf8ToWide(WideToUtf8(all)), all);
  EXPECT_EQ(WideToUtf8(L"\x20ac"), "\xe2\x82\xac");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(Utf8ToWide(""), L"");

  EXPECT_EQ(lstrlenA("abc"), 3);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenW(L"ab"), 2);
  EXPECT_EQ(_stricmp(".MPG", ".mpg"), 0);
  EXPECT_LT(_stricmp("divx", "XVID"), 0);
  EXPECT_GT(_stricmp("abc", "AB"), 0);
  EXPECT_EQ(_strnicmp("ICY-BR:128", "icy-br:", 7), 0);
  EXPECT_NE(_strnicmp("ICY-BR:128", "icy-bx:", 7), 0);
  EXPECT_EQ(_wcsicmp(L"Arial", L"ARIAL"), 0);
  EXPECT_NE(_wcsicmp(L"Arial", L"Arian"), 0);
  EXPECT_EQ(_wcsnicmp(L".CDA", L".cdaX", 4), 0);
  EXPECT_EQ(lstrcmpiA("Subtitle", "SUBTITLE"), 0);
  EXPECT_EQ(lstrcmpiW(L"x", L"X"), 0);
}

}  // namespace
