#include "foundation/Charset.h"

#include <climits>
#include <cstring>
#include <vector>

#include "platform/win32/CodePage.h"

UINT CharsetToCodePage(UINT charset) {
  if (charset == CP_UTF7 || charset == CP_UTF8) return charset;
  CHARSETINFO info{};
  // The platform takes the charset number in place of the pointer.
  if (!TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<uintptr_t>(charset)), &info, TCI_SRCCHARSET))
    return 0;
  return info.ciACP;
}

std::string ConvertCharset(const std::string& text, UINT srcCharset, UINT dstCharset) {
  const size_t n = text.size();
  // Six bytes per character covers every target encoding; beyond that the
  // buffer sizes no longer fit the conversion calls.
  if (n == 0 || n > (static_cast<size_t>(INT_MAX) - 1) / 6) return std::string();

  std::vector<WCHAR> wide(n + 1, 0);
  std::vector<char> narrow(6 * n + 1, 0);

  const int chars = MultiByteToWideChar(CharsetToCodePage(srcCharset), 0, text.data(), static_cast<int>(n),
                                        wide.data(), static_cast<int>(n + 1));
  if (chars <= 0) return std::string();
  WideCharToMultiByte(CharsetToCodePage(dstCharset), 0, wide.data(), chars, narrow.data(), static_cast<int>(6 * n),
                      nullptr, nullptr);
  return std::string(narrow.data());
}
