// Re-encoding of 8-bit text between the character sets that container
// formats name by GDI charset number, through wide characters.
#pragma once

#include <string>

#include "platform/win32/Types.h"

// 65000 (UTF-7) and 65001 (UTF-8) pass unchanged; any other value is taken
// as a GDI charset and translated to its ANSI code page; an unknown charset
// gives 0, the system's ANSI code page.
UINT CharsetToCodePage(UINT charset);

// The text re-encoded from the source charset to the destination charset.
// Characters the destination cannot represent become the default
// replacement character; the result ends at the first zero byte.
std::string ConvertCharset(const std::string& text, UINT srcCharset, UINT dstCharset);
