#include <gtest/gtest.h>

#include "foundation/Charset.h"
#include "platform/win32/CodePage.h"

namespace {

TEST(Charset, CodePagesOfCharsets) {
  EXPECT_EQ(CharsetToCodePage(65001), 65001u);
  EXPECT_EQ(CharsetToCodePage(65000), 65000u);
  EXPECT_EQ(CharsetToCodePage(RUSSIAN_CHARSET), 1251u);
  EXPECT_EQ(CharsetToCodePage(GREEK_CHARSET), 1253u);
  EXPECT_EQ(CharsetToCodePage(SHIFTJIS_CHARSET), 932u);
  // No fixed code page: the system's ANSI code page.
  EXPECT_EQ(CharsetToCodePage(DEFAULT_CHARSET), 0u);
  EXPECT_EQ(CharsetToCodePage(12345), 0u);
}

TEST(Charset, RealTextBetweenCodePages) {
  // "Привет" in Windows-1251 becomes UTF-8.
  const std::string cp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
  EXPECT_EQ(ConvertCharset(cp1251, RUSSIAN_CHARSET, 65001), "Привет");
  // And back.
  EXPECT_EQ(ConvertCharset("Привет", 65001, RUSSIAN_CHARSET), cp1251);
  // Greek through Windows-1253.
  EXPECT_EQ(ConvertCharset("\xE1\xE2\xE3", GREEK_CHARSET, 65001), "αβγ");
  // Japanese in Shift-JIS.
  EXPECT_EQ(ConvertCharset("\x93\xFA\x96\x7B", SHIFTJIS_CHARSET, 65001), "日本");
}

TEST(Charset, UnrepresentableCharactersBecomeTheReplacement) {
  // Windows-1252 has é and € but no Cyrillic.
  EXPECT_EQ(ConvertCharset("café €5 Я", 65001, ANSI_CHARSET), "caf\xE9 \x80" "5 ?");
}

TEST(Charset, EmptyInputAndEmbeddedZero) {
  EXPECT_EQ(ConvertCharset("", 65001, RUSSIAN_CHARSET), "");
  const std::string withZero("ab\0cd", 5);
  EXPECT_EQ(ConvertCharset(withZero, 65001, 65001), "ab");
  // Broken UTF-8 is replaced, not over-read.
  const std::string broken = "x\xE2\x82";
  std::string out = ConvertCharset(broken, 65001, 65001);
  EXPECT_EQ(out.substr(0, 1), "x");
  EXPECT_NE(out, "x\xE2\x82");
}

}  // namespace
