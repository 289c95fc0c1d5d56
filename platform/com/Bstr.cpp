#include "platform/com/Bstr.h"

#include <cstdlib>
#include <memory>
#include <cwchar>
#include <new>

namespace {

// The length prefix sits just in front of the characters; the block is
// padded so the characters stay aligned for wchar_t.
constexpr size_t kPrefix = sizeof(DWORD);
static_assert(kPrefix % alignof(OLECHAR) == 0);

DWORD& PrefixOf(BSTR s) { return *reinterpret_cast<DWORD*>(reinterpret_cast<BYTE*>(s) - kPrefix); }
void* BlockOf(BSTR s) { return reinterpret_cast<BYTE*>(s) - kPrefix; }

// A block for `bytes` bytes of characters plus a terminator, zero-filled;
// null when the length does not fit the prefix or memory runs out.
BSTR AllocBytes(size_t bytes) {
  // The prefix is a DWORD, and room is needed for the padding and terminator.
  if (bytes > 0xFFFFFFFFu - 2 * sizeof(OLECHAR) - kPrefix) return nullptr;
  size_t chars = (bytes + sizeof(OLECHAR) - 1) / sizeof(OLECHAR) + 1;
  void* block = std::calloc(1, kPrefix + chars * sizeof(OLECHAR));
  if (!block) return nullptr;
  *static_cast<DWORD*>(block) = static_cast<DWORD>(bytes);
  return reinterpret_cast<BSTR>(static_cast<BYTE*>(block) + kPrefix);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  size_t len = std::wcslen(text);
  if (len > 0xFFFFFFFFu / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(len));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT len) {
  BSTR s = AllocBytes(static_cast<size_t>(len) * sizeof(OLECHAR));
  if (s && text) std::wmemcpy(s, text, len);
  return s;
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT len) {
  BSTR s = AllocBytes(len);
  if (s && bytes) std::memcpy(s, bytes, len);
  return s;
}

INT SysReAllocString(BSTR* bstr, const OLECHAR* text) {
  if (!bstr) return FALSE;
  if (!text) {
    SysFreeString(*bstr);
    *bstr = nullptr;
    return TRUE;
  }
  size_t len = std::wcslen(text);
  if (len > 0xFFFFFFFFu / sizeof(OLECHAR)) return FALSE;
  return SysReAllocStringLen(bstr, text, static_cast<UINT>(len));
}

INT SysReAllocStringLen(BSTR* bstr, const OLECHAR* text, UINT len) {
  if (!bstr) return FALSE;
  // Copy before freeing: text may lie inside the old string.
  BSTR fresh = SysAllocStringLen(text, len);
  if (!fresh) return FALSE;
  SysFreeString(*bstr);
  *bstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstr) {
  if (bstr) std::free(BlockOf(bstr));
}

UINT SysStringLen(BSTR bstr) { return bstr ? PrefixOf(bstr) / sizeof(OLECHAR) : 0; }

UINT SysStringByteLen(BSTR bstr) { return bstr ? PrefixOf(bstr) : 0; }

// ---------------------------------------------------------------------------

CComBSTR::CComBSTR(const OLECHAR* text) : m_str(SysAllocString(text)) {
  if (text && !m_str) throw std::bad_alloc();
}

CComBSTR::CComBSTR(int len, const OLECHAR* text) {
  if (len < 0) len = 0;
  m_str = SysAllocStringLen(text, static_cast<UINT>(len));
  if (!m_str) throw std::bad_alloc();
}

CComBSTR::CComBSTR(std::wstring_view text) : CComBSTR(static_cast<int>(text.size()), text.data()) {}

CComBSTR::CComBSTR(const CComBSTR& other) : m_str(other.Copy()) {
  if (other.m_str && !m_str) throw std::bad_alloc();
}

CComBSTR& CComBSTR::operator=(const CComBSTR& other) {
  if (this != std::addressof(other)) {
    BSTR fresh = other.Copy();
    if (other.m_str && !fresh) throw std::bad_alloc();
    Attach(fresh);
  }
  return *this;
}

CComBSTR& CComBSTR::operator=(CComBSTR&& other) noexcept {
  if (this != std::addressof(other)) Attach(other.Detach());
  return *this;
}

CComBSTR& CComBSTR::operator=(const OLECHAR* text) {
  if (text != m_str) {
    BSTR fresh = SysAllocString(text);
    if (text && !fresh) throw std::bad_alloc();
    Attach(fresh);
  }
  return *this;
}

HRESULT CComBSTR::CopyTo(BSTR* out) const {
  if (!out) return E_POINTER;
  *out = Copy();
  return (m_str && !*out) ? E_OUTOFMEMORY : S_OK;
}

HRESULT CComBSTR::Append(const OLECHAR* text, int len) {
  if (len < 0) return E_INVALIDARG;
  if (len == 0) return S_OK;
  if (!text) return E_POINTER;
  size_t total = static_cast<size_t>(Length()) + static_cast<size_t>(len);
  if (total > 0xFFFFFFFFu / sizeof(OLECHAR)) return E_OUTOFMEMORY;
  BSTR fresh = SysAllocStringLen(nullptr, static_cast<UINT>(total));
  if (!fresh) return E_OUTOFMEMORY;
  if (m_str) std::wmemcpy(fresh, m_str, Length());
  std::wmemcpy(fresh + Length(), text, static_cast<size_t>(len));
  Attach(fresh);
  return S_OK;
}

HRESULT CComBSTR::Append(const OLECHAR* text) {
  if (!text) return S_OK;
  size_t len = std::wcslen(text);
  if (len > 0x7FFFFFFF) return E_OUTOFMEMORY;
  return Append(text, static_cast<int>(len));
}
