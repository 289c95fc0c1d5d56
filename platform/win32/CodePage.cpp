#include "platform/win32/CodePage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/Handle.h"

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool IsValidCodePoint(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Decodes UTF-8; each maximal ill-formed subsequence becomes one U+FFFD.
// Returns false when anything had to be replaced.
bool DecodeUtf8(std::string_view in, std::wstring& out) {
  bool clean = true;
  size_t i = 0;
  const size_t n = in.size();
  while (i < n) {
    const auto b0 = static_cast<uint8_t>(in[i]);
    if (b0 < 0x80) {
      out.push_back(static_cast<wchar_t>(b0));
      ++i;
      continue;
    }
    int need;
    uint32_t cp;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;  // overlong
      if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;  // overlong
      if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      out.push_back(kReplacement);
      clean = false;
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      const auto b = static_cast<uint8_t>(in[j]);
      const uint8_t l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
      if (b < l || b > h) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!ok) {
      out.push_back(kReplacement);
      clean = false;
      i = j;  // skip the valid prefix of the broken sequence as one unit
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i = j;
  }
  return clean;
}

void AppendUtf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Returns false when a character that UTF-8 cannot carry was replaced.
bool EncodeUtf8(std::wstring_view in, std::string& out) {
  bool clean = true;
  for (wchar_t w : in) {
    auto c = static_cast<uint32_t>(w);
    if (!IsValidCodePoint(c)) {
      c = kReplacement;
      clean = false;
    }
    AppendUtf8(c, out);
  }
  return clean;
}

// The iconv name of a Windows code page, or null when it has none.
const char* IconvName(UINT codePage) {
  switch (codePage) {
    case 874: return "CP874";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 1361: return "JOHAB";
    case 10000: return "MACINTOSH";
    case CP_UTF7: return "UTF-7";
    default: return nullptr;
  }
}

UINT Resolve(UINT codePage) {
  switch (codePage) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_THREAD_ACP: return CP_UTF8;
    case CP_MACCP: return 10000;
    default: return codePage;
  }
}

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Decodes with iconv; undecodable bytes become U+FFFD. Returns false when
// anything was replaced.
bool DecodeIconv(const char* name, std::string_view in, std::wstring& out, bool& supported) {
  Iconv cd("WCHAR_T", name);
  supported = cd.ok();
  if (!supported) return false;
  bool clean = true;
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  std::vector<wchar_t> buf(in.size() + 16);
  while (true) {
    char* dst = reinterpret_cast<char*>(buf.data());
    size_t dstLeft = buf.size() * sizeof(wchar_t);
    const size_t r = srcLeft ? iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft) : iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
    const int err = errno;
    out.append(buf.data(), (buf.size() * sizeof(wchar_t) - dstLeft) / sizeof(wchar_t));
    if (r != static_cast<size_t>(-1)) {
      if (srcLeft == 0) {
        // Flush a stateful decoder once more, then stop.
        dst = reinterpret_cast<char*>(buf.data());
        dstLeft = buf.size() * sizeof(wchar_t);
        iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
        out.append(buf.data(), (buf.size() * sizeof(wchar_t) - dstLeft) / sizeof(wchar_t));
        break;
      }
      continue;
    }
    if (err == E2BIG) continue;
    // EILSEQ: a byte the code page does not define; EINVAL: a sequence cut
    // off at the end of the input.
    clean = false;
    out.push_back(kReplacement);
    if (err == EINVAL) break;
    ++src;
    --srcLeft;
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return clean;
}

// Encodes with iconv; characters the page cannot hold become `fallback`.
// Returns false when anything was replaced.
bool EncodeIconv(const char* name, std::wstring_view in, const std::string& fallback, std::string& out, bool& supported) {
  Iconv cd(name, "WCHAR_T");
  supported = cd.ok();
  if (!supported) return false;
  bool clean = true;
  char* src = reinterpret_cast<char*>(const_cast<wchar_t*>(in.data()));
  size_t srcLeft = in.size() * sizeof(wchar_t);
  std::vector<char> buf(in.size() * 4 + 16);
  while (true) {
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    const size_t r = srcLeft ? iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft) : 0;
    const int err = errno;
    out.append(buf.data(), buf.size() - dstLeft);
    if (r != static_cast<size_t>(-1)) {
      if (srcLeft == 0) {
        dst = buf.data();
        dstLeft = buf.size();
        iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
        out.append(buf.data(), buf.size() - dstLeft);
        break;
      }
      continue;
    }
    if (err == E2BIG) continue;
    clean = false;
    // Return a shifting encoder to its initial state before the fallback.
    dst = buf.data();
    dstLeft = buf.size();
    iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
    out.append(buf.data(), buf.size() - dstLeft);
    out += fallback;
    if (srcLeft < sizeof(wchar_t)) break;
    src += sizeof(wchar_t);
    srcLeft -= sizeof(wchar_t);
  }
  return clean;
}

enum class Result { kOk, kReplaced, kUnsupported };

Result Decode(UINT codePage, std::string_view in, std::wstring& out) {
  codePage = Resolve(codePage);
  if (codePage == CP_UTF8) return DecodeUtf8(in, out) ? Result::kOk : Result::kReplaced;
  if (codePage == CP_SYMBOL) {
    // The symbol page puts its glyphs in the private-use block.
    for (char ch : in) {
      const auto b = static_cast<uint8_t>(ch);
      out.push_back(static_cast<wchar_t>(b < 0x20 ? b : 0xF000 + b));
    }
    return Result::kOk;
  }
  const char* name = IconvName(codePage);
  if (!name) return Result::kUnsupported;
  bool supported = false;
  const bool clean = DecodeIconv(name, in, out, supported);
  if (!supported) return Result::kUnsupported;
  return clean ? Result::kOk : Result::kReplaced;
}

Result Encode(UINT codePage, std::wstring_view in, const std::string& fallback, std::string& out) {
  codePage = Resolve(codePage);
  if (codePage == CP_UTF8) return EncodeUtf8(in, out) ? Result::kOk : Result::kReplaced;
  if (codePage == CP_SYMBOL) {
    bool clean = true;
    for (wchar_t w : in) {
      const auto c = static_cast<uint32_t>(w);
      if (c < 0x20) {
        out.push_back(static_cast<char>(c));
      } else if (c >= 0xF020 && c <= 0xF0FF) {
        out.push_back(static_cast<char>(c - 0xF000));
      } else {
        out += fallback;
        clean = false;
      }
    }
    return clean ? Result::kOk : Result::kReplaced;
  }
  const char* name = IconvName(codePage);
  if (!name) return Result::kUnsupported;
  // iconv would accept these in some pages; they are never valid text.
  std::wstring checked(in);
  bool clean = true;
  for (auto& w : checked) {
    if (!IsValidCodePoint(static_cast<uint32_t>(w))) {
      w = kReplacement;
      clean = false;
    }
  }
  bool supported = false;
  clean = EncodeIconv(name, checked, fallback, out, supported) && clean;
  if (!supported) return Result::kUnsupported;
  return clean ? Result::kOk : Result::kReplaced;
}

template <class T>
int CopyOut(const T& result, typename T::value_type* dst, int dstSize) {
  if (result.size() > static_cast<size_t>(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(result.size());
  if (dstSize == 0) return needed;
  if (needed > dstSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(result.begin(), result.end(), dst);
  return needed;
}

}  // namespace

UINT GetACP() { return CP_UTF8; }
UINT GetOEMCP() { return CP_UTF8; }

BOOL IsValidCodePage(UINT codePage) {
  if (codePage == CP_UTF8 || codePage == CP_SYMBOL) return TRUE;
  const char* name = IconvName(codePage);
  if (!name) return FALSE;
  Iconv cd("WCHAR_T", name);
  return cd.ok() ? TRUE : FALSE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte, LPWSTR wideChar,
                        int cchWideChar) {
  if (!multiByte || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && !wideChar)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t length = cbMultiByte == -1 ? std::strlen(multiByte) + 1 : static_cast<size_t>(cbMultiByte);
  std::wstring out;
  switch (Decode(codePage, std::string_view(multiByte, length), out)) {
    case Result::kUnsupported:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    case Result::kReplaced:
      if (flags & MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      break;
    case Result::kOk: break;
  }
  return CopyOut(out, wideChar, cchWideChar);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideChar, int cchWideChar, LPSTR multiByte,
                        int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  if (!wideChar || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && !multiByte)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const UINT resolved = Resolve(codePage);
  if ((resolved == CP_UTF8 || resolved == CP_UTF7) && (defaultChar || usedDefaultChar)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t length = cchWideChar == -1 ? std::wcslen(wideChar) + 1 : static_cast<size_t>(cchWideChar);
  const std::string fallback = defaultChar && *defaultChar ? std::string(defaultChar) : std::string("?");
  std::string out;
  if (usedDefaultChar) *usedDefaultChar = FALSE;
  switch (Encode(codePage, std::wstring_view(wideChar, length), fallback, out)) {
    case Result::kUnsupported:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    case Result::kReplaced:
      if (flags & WC_ERR_INVALID_CHARS) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      if (usedDefaultChar) *usedDefaultChar = TRUE;
      break;
    case Result::kOk: break;
  }
  return CopyOut(out, multiByte, cbMultiByte);
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  DecodeUtf8(text, out);
  return out;
}

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  EncodeUtf8(text, out);
  return out;
}

// ---------------------------------------------------------------------------

namespace {

struct CharsetEntry {
  UINT charset;
  UINT codePage;
  int csbBit;  // bit of FONTSIGNATURE::fsCsb[0]
};

constexpr CharsetEntry kCharsets[] = {
    {ANSI_CHARSET, 1252, 0},        {EASTEUROPE_CHARSET, 1250, 1}, {RUSSIAN_CHARSET, 1251, 2},
    {GREEK_CHARSET, 1253, 3},       {TURKISH_CHARSET, 1254, 4},    {HEBREW_CHARSET, 1255, 5},
    {ARABIC_CHARSET, 1256, 6},      {BALTIC_CHARSET, 1257, 7},     {VIETNAMESE_CHARSET, 1258, 8},
    {THAI_CHARSET, 874, 16},        {SHIFTJIS_CHARSET, 932, 17},   {GB2312_CHARSET, 936, 18},
    {HANGUL_CHARSET, 949, 19},      {CHINESEBIG5_CHARSET, 950, 20}, {JOHAB_CHARSET, 1361, 21},
    {MAC_CHARSET, 10000, 29},       {SYMBOL_CHARSET, CP_SYMBOL, 31},
};

}  // namespace

BOOL TranslateCharsetInfo(DWORD* src, LPCHARSETINFO charsetInfo, DWORD flags) {
  if (!charsetInfo) return FALSE;
  const auto key = static_cast<UINT>(reinterpret_cast<uintptr_t>(src));
  for (const auto& e : kCharsets) {
    const bool match = (flags == TCI_SRCCHARSET && e.charset == key) || (flags == TCI_SRCCODEPAGE && e.codePage == key);
    if (!match) continue;
    *charsetInfo = CHARSETINFO{};
    charsetInfo->ciCharset = e.charset;
    charsetInfo->ciACP = e.codePage;
    charsetInfo->fs.fsCsb[0] = 1u << e.csbBit;
    return TRUE;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------

namespace {

template <class C>
int FoldAscii(C c) {
  const auto v = static_cast<int>(static_cast<std::make_unsigned_t<C>>(c));
  return v >= 'A' && v <= 'Z' ? v + ('a' - 'A') : v;
}

template <class C>
int CompareNoCase(const C* a, const C* b, size_t count) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  for (size_t i = 0; i < count; ++i) {
    const int x = FoldAscii(a[i]), y = FoldAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

}  // namespace

int lstrlenA(LPCSTR text) { return text ? static_cast<int>(std::strlen(text)) : 0; }
int lstrlenW(LPCWSTR text) { return text ? static_cast<int>(std::wcslen(text)) : 0; }
int _stricmp(const char* a, const char* b) { return CompareNoCase(a, b, SIZE_MAX); }
int _strnicmp(const char* a, const char* b, size_t count) { return CompareNoCase(a, b, count); }
int _wcsicmp(const wchar_t* a, const wchar_t* b) { return CompareNoCase(a, b, SIZE_MAX); }
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count) { return CompareNoCase(a, b, count); }
int lstrcmpiA(LPCSTR a, LPCSTR b) { return CompareNoCase(a, b, SIZE_MAX); }
int lstrcmpiW(LPCWSTR a, LPCWSTR b) { return CompareNoCase(a, b, SIZE_MAX); }
