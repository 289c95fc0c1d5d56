#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/win32/ErrorText.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Locale.h"

namespace {

class LocaleTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kVars) {
      const char* old = std::getenv(v);
      saved_.emplace_back(old ? old : "", old != nullptr);
      unsetenv(v);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < std::size(kVars); ++i) {
      if (saved_[i].second) {
        setenv(kVars[i], saved_[i].first.c_str(), 1);
      } else {
        unsetenv(kVars[i]);
      }
    }
  }
  static std::string Item(LCTYPE type, LCID lcid = LOCALE_USER_DEFAULT) {
    char buf[16] = {};
    return GetLocaleInfoA(lcid, type, buf, sizeof buf) > 0 ? buf : "<fail>";
  }

  static constexpr const char* kVars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::pair<std::string, bool>> saved_;
};

TEST_F(LocaleTest, DefaultsToUsEnglish) {
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME), "en");
  EXPECT_EQ(Item(LOCALE_SISO3166CTRYNAME), "US");
  EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
  setenv("LANG", "POSIX", 1);
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME, LOCALE_SYSTEM_DEFAULT), "en");
  setenv("LANG", "1x_??", 1);
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME), "en");
}

TEST_F(LocaleTest, FollowsTheEnvironmentInItsOrder) {
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME), "de");
  EXPECT_EQ(Item(LOCALE_SISO3166CTRYNAME), "DE");
  EXPECT_EQ(GetUserDefaultLangID(), 0x0407);
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0407);
  EXPECT_EQ(Item(LOCALE_ILANGUAGE), "0407");
  setenv("LC_MESSAGES", "fr_CA", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0C0C);
  setenv("LC_ALL", "ja_JP.eucJP@x", 1);
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME), "ja");
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
  setenv("LC_ALL", "pt", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0416);
  // A language we have no id for still names itself.
  setenv("LC_ALL", "eo_XX", 1);
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME), "eo");
  EXPECT_EQ(Item(LOCALE_SISO3166CTRYNAME), "XX");
  // An explicit locale id answers for that locale.
  EXPECT_EQ(Item(LOCALE_SISO639LANGNAME, 0x0419), "ru");
  EXPECT_EQ(Item(LOCALE_IDEFAULTANSICODEPAGE, 0x0419), "65001");
}

TEST_F(LocaleTest, SizeRulesAndBadArguments) {
  setenv("LANG", "ko_KR.UTF-8", 1);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, nullptr, 0), 3);
  char two[2] = {'X', 'X'};
  SetLastError(0);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, two, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  wchar_t wide[3];
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME | LOCALE_NOUSEROVERRIDE, wide, 3), 3);
  EXPECT_STREQ(wide, L"ko");
  char buf[8];
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, 0x7777, buf, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  EXPECT_EQ(GetLocaleInfoA(0x7F7F, LOCALE_SISO639LANGNAME, buf, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------

TEST(ErrorTextTest, SystemTextOfKnownIDispatchAndUnknownCodes) {
  const std::string known = SystemErrorText(E_OUTOFMEMORY);
  EXPECT_FALSE(known.empty());
  EXPECT_NE(known.back(), '\n');
  EXPECT_NE(known.back(), '\r');
  EXPECT_EQ(known.find("Unknown error"), std::string::npos);
  // A Win32 error as an HRESULT reads as the error itself.
  EXPECT_EQ(SystemErrorText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), SystemErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(SystemErrorText(E_FAIL), SystemErrorText(E_NOINTERFACE));

  EXPECT_EQ(SystemErrorText(static_cast<HRESULT>(0x80040200u)), "IDispatch error #0");
  EXPECT_EQ(SystemErrorText(static_cast<HRESULT>(0x8004FFFFu)), "IDispatch error #65023");
  EXPECT_EQ(SystemErrorText(static_cast<HRESULT>(0x8004DEADu)), "IDispatch error #56493");
  EXPECT_EQ(SystemErrorText(static_cast<HRESULT>(0x800401FFu)), "Unknown error 0x800401FF");
  EXPECT_EQ(SystemErrorText(static_cast<HRESULT>(0x80050000u)), "Unknown error 0x80050000");
  EXPECT_EQ(SystemErrorText(static_cast<HRESULT>(0xC00D0BC8u)), "Unknown error 0xC00D0BC8");
}

TEST(ErrorTextTest, RegisteredTextsReplaceTheFallbacks) {
  const HRESULT code = static_cast<HRESULT>(0x8004FEDCu);
  EXPECT_EQ(SystemErrorText(code), "IDispatch error #64732");
  const std::pair<DWORD, const char*> entries[] = {{0x8004FEDCu, "A filter of the test could not connect.\r\n"},
                                                   {0x0000FEEDu, "Another test text."}};
  RegisterSystemMessages(entries, std::size(entries));
  EXPECT_EQ(SystemErrorText(code), "A filter of the test could not connect.");
  EXPECT_EQ(SystemErrorText(0xFEED), "Another test text.");
  RegisterSystemMessages(nullptr, 3);  // harmless
}

TEST(ErrorTextTest, FormatMessageProtocols) {
  char* allocated = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                     FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                 nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_GT(n, 2u);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::strlen(allocated), n);
  EXPECT_EQ(std::string(allocated + n - 2), "\r\n");
  EXPECT_EQ(LocalFree(allocated), nullptr);

  char buf[256];
  const DWORD m = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buf, sizeof buf, nullptr);
  EXPECT_EQ(m, n);
  char tiny[4] = {'X', 'X', 'X', 'X'};
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, tiny, sizeof tiny, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  wchar_t wbuf[256];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, wbuf, 256, nullptr), n);
  EXPECT_EQ(std::wcslen(wbuf), n);

  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEADBEEF, 0, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "x", 0, 0, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
