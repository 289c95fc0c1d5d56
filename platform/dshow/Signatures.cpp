#include "platform/dshow/Signatures.h"

#include <cwctype>
#include <vector>

#include "platform/com/ComBase.h"
#include "platform/dshow/Guids.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Registry.h"

namespace {

// A key handle that closes itself.
class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (key_) RegCloseKey(key_);
  }
  bool Open(HKEY parent, const std::wstring& name) {
    return RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key_) == ERROR_SUCCESS;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::wstring Trim(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::iswspace(s[b])) ++b;
  while (e > b && std::iswspace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool ParseDecimal(const std::wstring& s, LONGLONG& out) {
  if (s.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (s[0] == L'-' || s[0] == L'+') {
    negative = s[0] == L'-';
    i = 1;
  }
  if (i == s.size()) return false;
  LONGLONG v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < L'0' || s[i] > L'9') return false;
    if (v > (INT64_MAX - 9) / 10) return false;
    v = v * 10 + (s[i] - L'0');
  }
  out = negative ? -v : v;
  return true;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Every character must be a digit and the count even.
bool DecodeHex(const std::wstring& s, std::vector<BYTE>& out) {
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<BYTE>(hi * 16 + lo));
  }
  return true;
}

// A single pattern longer than this is not a signature.
constexpr LONGLONG kMaxCheckLength = 4096;

bool CheckGroup(const std::wstring& offsetText, const std::wstring& lengthText, std::wstring mask,
                const std::wstring& value, LONGLONG fileSize, const SignatureReader& read) {
  LONGLONG offset = 0, length = 0;
  if (!ParseDecimal(offsetText, offset) || !ParseDecimal(lengthText, length)) return false;
  if (length <= 0 || length > kMaxCheckLength || static_cast<LONGLONG>(value.size()) != length * 2) return false;
  if (mask.size() > value.size()) return false;
  mask.append(value.size() - mask.size(), L'F');
  std::vector<BYTE> maskBytes, valueBytes;
  if (!DecodeHex(mask, maskBytes) || !DecodeHex(value, valueBytes)) return false;
  if (offset < 0) offset += fileSize;
  if (offset < 0 || offset > fileSize || fileSize - offset < length) return false;
  std::vector<BYTE> bytes(static_cast<size_t>(length));
  if (!read(offset, static_cast<DWORD>(length), bytes.data())) return false;
  for (size_t i = 0; i < bytes.size(); ++i)
    if ((bytes[i] & maskBytes[i]) != valueBytes[i]) return false;
  return true;
}

bool ReadGuidValue(HKEY key, const wchar_t* name, GUID& out) {
  std::wstring text;
  if (!dshow_reg::GetString(key, name, text)) return false;
  return SUCCEEDED(CLSIDFromString(Trim(text).c_str(), &out));
}

bool EnumKey(HKEY key, DWORD index, std::wstring& name) {
  wchar_t buffer[256];
  DWORD chars = 256;
  if (RegEnumKeyExW(key, index, buffer, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
  name.assign(buffer, chars);
  return true;
}

struct SeedEntry {
  GUID major;
  GUID subtype;
  std::vector<const wchar_t*> patterns;
};

struct SeedExtension {
  const wchar_t* extension;
  GUID major;
  GUID subtype;
};

}  // namespace

namespace dshow_reg {

LONG SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY k = nullptr;
  // Unchanged values are left alone: every write goes to disk.
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS) {
    std::wstring current;
    bool same = GetString(k, name, current) && current == value;
    RegCloseKey(k);
    if (same) return ERROR_SUCCESS;
  }
  LONG r = RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &k, nullptr);
  if (r != ERROR_SUCCESS) return r;
  r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  return r;
}

bool GetString(HKEY key, const wchar_t* name, std::wstring& value) {
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
    return false;
  buffer.back() = L'\0';
  value.assign(buffer.data());
  return true;
}

}  // namespace dshow_reg

bool CheckBytesPattern(const std::wstring& pattern, LONGLONG fileSize, const SignatureReader& read) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  while (true) {
    size_t comma = pattern.find(L',', start);
    fields.push_back(Trim(pattern.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start)));
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  // Stray fields after the last whole group make the pattern fail.
  if (fields.size() < 4 || fields.size() % 4 != 0) return false;
  for (size_t i = 0; i < fields.size(); i += 4)
    if (!CheckGroup(fields[i], fields[i + 1], fields[i + 2], fields[i + 3], fileSize, read)) return false;
  return true;
}

bool FindSignatureMatch(LONGLONG fileSize, const SignatureReader& read, SignatureMatch& out, const GUID* onlyMajor) {
  RegKey table;
  if (!table.Open(HKEY_CLASSES_ROOT, L"Media Type")) return false;
  std::wstring majorName;
  for (DWORD m = 0; EnumKey(table.get(), m, majorName); ++m) {
    GUID major;
    if (FAILED(CLSIDFromString(majorName.c_str(), &major)) || (onlyMajor && major != *onlyMajor)) continue;
    RegKey majorKey;
    if (!majorKey.Open(table.get(), majorName)) continue;
    std::wstring subName;
    for (DWORD s = 0; EnumKey(majorKey.get(), s, subName); ++s) {
      GUID subtype;
      if (FAILED(CLSIDFromString(subName.c_str(), &subtype))) continue;
      RegKey subKey;
      if (!subKey.Open(majorKey.get(), subName)) continue;
      CLSID source;
      if (!ReadGuidValue(subKey.get(), L"Source Filter", source) || source == GUID_NULL) continue;
      for (DWORD v = 0;; ++v) {
        wchar_t name[256];
        DWORD chars = 256, type = 0, bytes = 0;
        if (RegEnumValueW(subKey.get(), v, name, &chars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
        std::wstring valueName(name, chars);
        if (_wcsicmp(valueName.c_str(), L"Source Filter") == 0) continue;
        std::wstring pattern;
        if (!dshow_reg::GetString(subKey.get(), valueName.c_str(), pattern)) continue;
        if (CheckBytesPattern(pattern, fileSize, read)) {
          out = {major, subtype, source};
          return true;
        }
      }
    }
  }
  return false;
}

bool FindExtensionMatch(const std::wstring& extension, SignatureMatch& out) {
  if (extension.size() < 2 || extension[0] != L'.' || extension.find(L'\\') != std::wstring::npos) return false;
  RegKey key;
  if (!key.Open(HKEY_CLASSES_ROOT, L"Media Type\\Extensions\\" + extension)) return false;
  SignatureMatch m;
  if (!ReadGuidValue(key.get(), L"Source Filter", m.source) || m.source == GUID_NULL) return false;
  ReadGuidValue(key.get(), L"Media Type", m.major);
  ReadGuidValue(key.get(), L"Subtype", m.subtype);
  out = m;
  return true;
}

HRESULT SeedMediaTypeSignatures() {
  const std::vector<SeedEntry> entries = {
      // RIFF files: "RIFF", a size, then the form type.
      {MEDIATYPE_Stream, MEDIASUBTYPE_Avi, {L"0,4,,52494646,8,4,,41564920", L"0,4,,52494646,8,4,,41564958"}},
      {MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, {L"0,4,,52494646,8,4,,57415645"}},
      // A pack start code; the next byte tells MPEG-1 ('0010' marker) from
      // MPEG-2 ('01' marker).
      {MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1System, {L"0,5,FFFFFFFFF1,000001BA21"}},
      {MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_PROGRAM, {L"0,5,FFFFFFFFC0,000001BA40"}},
      // A sequence header start code.
      {MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1Video, {L"0,4,,000001B3"}},
      // The ASF header object's GUID as stored in the file.
      {MEDIATYPE_Stream, MEDIASUBTYPE_Asf, {L"0,16,,3026B2758E66CF11A6D900AA0062CE6C"}},
  };
  const std::vector<SeedExtension> extensions = {
      {L".avi", MEDIATYPE_Stream, MEDIASUBTYPE_Avi},
      {L".wav", MEDIATYPE_Stream, MEDIASUBTYPE_WAVE},
      {L".mpg", MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1System},
      {L".mpeg", MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1System},
      {L".m1v", MEDIATYPE_Stream, MEDIASUBTYPE_MPEG1Video},
      {L".asf", MEDIATYPE_Stream, MEDIASUBTYPE_Asf},
      {L".wmv", MEDIATYPE_Stream, MEDIASUBTYPE_Asf},
      {L".wma", MEDIATYPE_Stream, MEDIASUBTYPE_Asf},
  };
  const std::wstring reader = GuidToStringW(CLSID_AsyncReader);
  for (const auto& e : entries) {
    std::wstring key = L"Media Type\\" + GuidToStringW(e.major) + L"\\" + GuidToStringW(e.subtype);
    if (LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, key, L"Source Filter", reader); r != ERROR_SUCCESS)
      return HRESULT_FROM_WIN32(static_cast<DWORD>(r));
    for (size_t i = 0; i < e.patterns.size(); ++i) {
      if (LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, key, std::to_wstring(i).c_str(), e.patterns[i]);
          r != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(static_cast<DWORD>(r));
    }
  }
  for (const auto& x : extensions) {
    std::wstring key = std::wstring(L"Media Type\\Extensions\\") + x.extension;
    for (auto [name, value] : {std::pair<const wchar_t*, std::wstring>{L"Source Filter", reader},
                               {L"Media Type", GuidToStringW(x.major)},
                               {L"Subtype", GuidToStringW(x.subtype)}}) {
      if (LONG r = dshow_reg::SetString(HKEY_CLASSES_ROOT, key, name, value); r != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(static_cast<DWORD>(r));
    }
  }
  return S_OK;
}
