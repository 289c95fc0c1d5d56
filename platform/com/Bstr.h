// BSTR: a counted wide string. The byte length is kept in a DWORD just in
// front of the characters and a terminator follows them, so a BSTR may hold
// embedded nulls and still be passed where a C string is expected.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32/Types.h"

// A copy of a terminated string; null for a null source.
BSTR SysAllocString(const OLECHAR* text);
// `len` characters copied from `text`, or left zeroed when `text` is null.
BSTR SysAllocStringLen(const OLECHAR* text, UINT len);
// `len` bytes; the length in characters is len / sizeof(OLECHAR).
BSTR SysAllocStringByteLen(LPCSTR bytes, UINT len);
// Replace *bstr with a copy of text (text may point into *bstr). TRUE on
// success; on failure *bstr is left as it was.
INT SysReAllocString(BSTR* bstr, const OLECHAR* text);
INT SysReAllocStringLen(BSTR* bstr, const OLECHAR* text, UINT len);
void SysFreeString(BSTR bstr);
// Length in characters / bytes, embedded nulls included; 0 for null.
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);

// Owns one BSTR.
class CComBSTR {
 public:
  CComBSTR() noexcept = default;
  CComBSTR(std::nullptr_t) noexcept {}
  CComBSTR(const OLECHAR* text);
  CComBSTR(int len, const OLECHAR* text);
  explicit CComBSTR(std::wstring_view text);
  CComBSTR(const CComBSTR& other);
  CComBSTR(CComBSTR&& other) noexcept : m_str(other.m_str) { other.m_str = nullptr; }
  ~CComBSTR() { SysFreeString(m_str); }

  CComBSTR& operator=(const CComBSTR& other);
  CComBSTR& operator=(CComBSTR&& other) noexcept;
  CComBSTR& operator=(const OLECHAR* text);

  operator BSTR() const noexcept { return m_str; }
  // For out parameters: frees what was held first.
  BSTR* operator&() noexcept {
    Empty();
    return &m_str;
  }
  bool operator!() const noexcept { return m_str == nullptr; }
  bool operator==(const CComBSTR& other) const noexcept { return View() == other.View(); }

  UINT Length() const noexcept { return SysStringLen(m_str); }
  UINT ByteLength() const noexcept { return SysStringByteLen(m_str); }
  std::wstring_view View() const noexcept { return {m_str ? m_str : L"", Length()}; }
  void Empty() noexcept {
    SysFreeString(m_str);
    m_str = nullptr;
  }
  void Attach(BSTR src) noexcept {
    if (src != m_str) SysFreeString(m_str);
    m_str = src;
  }
  BSTR Detach() noexcept {
    BSTR s = m_str;
    m_str = nullptr;
    return s;
  }
  // A new BSTR the caller owns (null when empty or out of memory).
  BSTR Copy() const { return m_str ? SysAllocStringLen(m_str, Length()) : nullptr; }
  HRESULT CopyTo(BSTR* out) const;
  HRESULT Append(const OLECHAR* text, int len);
  HRESULT Append(const OLECHAR* text);
  HRESULT Append(const CComBSTR& other) { return Append(other.m_str, static_cast<int>(other.Length())); }

  BSTR m_str = nullptr;
};
