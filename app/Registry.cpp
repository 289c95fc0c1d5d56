#include "app/Registry.h"

#include <array>
#include <cstring>

CRegistry::~CRegistry() { Close(); }

BOOL CRegistry::Open(HKEY root, LPCSTR subKey) {
  // Reopening must not leak the key already held.
  Close();
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return FALSE;
  m_hKey = key;
  return TRUE;
}

BOOL CRegistry::Create(HKEY root, LPCSTR subKey) {
  Close();
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return FALSE;
  m_hKey = key;
  return TRUE;
}

BOOL CRegistry::SetDWordValue(LPCSTR name, DWORD value) {
  if (!m_hKey)
    return FALSE;
  if (RegSetValueExA(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value) != ERROR_SUCCESS)
    return FALSE;
  RegFlushKey(m_hKey);
  return TRUE;
}

BOOL CRegistry::SetStringValue(LPCSTR name, const std::string& text) {
  if (!m_hKey)
    return FALSE;
  // Stored without its terminator; readers terminate it themselves.
  if (RegSetValueExA(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                     static_cast<DWORD>(text.size())) != ERROR_SUCCESS)
    return FALSE;
  RegFlushKey(m_hKey);
  return TRUE;
}

BOOL CRegistry::QueryDWordValue(LPCSTR name, DWORD* value) {
  if (!value)
    return FALSE;
  *value = 0;
  if (!m_hKey)
    return FALSE;
  DWORD size = sizeof *value;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    // A value too large for the target may have left part of itself there.
    *value = 0;
    return FALSE;
  }
  return TRUE;
}

BOOL CRegistry::QueryStringValue(LPCSTR name, std::string& text) {
  text.clear();
  if (!m_hKey)
    return FALSE;
  std::array<char, kStringBufferSize> buffer{};
  DWORD size = kStringBufferSize;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS)
    return FALSE;
  // The buffer starts zero-filled, so a shorter value ends at a zero. A
  // value of any type may fill all of it without a terminator: that does
  // not fit, exactly as a longer string would not.
  const void* zero = std::memchr(buffer.data(), 0, buffer.size());
  if (!zero)
    return FALSE;
  text.assign(buffer.data(), static_cast<const char*>(zero) - buffer.data());
  return TRUE;
}

LONG CRegistry::Close() {
  if (!m_hKey)
    return static_cast<LONG>(ERROR_INVALID_HANDLE);
  const LONG result = RegCloseKey(m_hKey);
  m_hKey = nullptr;
  return result;
}
