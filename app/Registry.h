// The application's wrapper around one open registry key. Every operation
// answers TRUE or FALSE; failures are never reported to the user, callers
// fall back to defaults.
#pragma once

#include <string>

#include "platform/win32/Registry.h"
#include "platform/win32/Types.h"

class CRegistry {
public:
  CRegistry() = default;
  ~CRegistry();

  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // Opens an existing key with full access, so a key of a store the user
  // may not write (HKEY_LOCAL_MACHINE for a limited user) does not open.
  BOOL Open(HKEY root, LPCSTR subKey);
  // Opens the key, creating it (and its parents) when missing.
  BOOL Create(HKEY root, LPCSTR subKey);

  // Writers flush the key after a successful write.
  BOOL SetDWordValue(LPCSTR name, DWORD value);
  BOOL SetStringValue(LPCSTR name, const std::string& text);

  // Readers do not check the stored type. A failed read leaves 0 or an empty
  // string, never the caller's previous value.
  BOOL QueryDWordValue(LPCSTR name, DWORD* value);
  BOOL QueryStringValue(LPCSTR name, std::string& text);

  // Result of closing the key; ERROR_INVALID_HANDLE when none was open.
  LONG Close();

private:
  // Longest string value read, terminator included.
  static constexpr DWORD kStringBufferSize = 256;

  HKEY m_hKey = nullptr;
};
