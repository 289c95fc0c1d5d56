// The registry: a file-backed tree of keys and values per root.
//
// Each of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE lives
// in its own text file "<root name>.reg" in the folder named by the
// environment variable PELLOMAR_REGISTRY_DIR, else in
// ~/.config/pellomar/registry (created on first use). The file format is
// described in Registry.cpp.
//
// Every change is written through before the call returns, atomically
// (temporary file in the same folder, fsync, rename), so another process
// sees it on its next call: each call re-reads a store whose file changed on
// disk. A damaged file is reported once on stderr, renamed aside as
// "<file>.damaged-<time>" and its root starts empty.
//
// A store is writable when its file has a write bit for someone and the
// process may write it; when the file does not exist yet, the same test is
// made on its folder. The permission bits decide even for root (which the
// kernel lets write anything), so a read-only store acts as it would for a
// limited user: opening one of its keys with any write access, creating a
// key or writing a value fails with ERROR_ACCESS_DENIED; reading works.
//
// Key names are case-insensitive (ASCII letters fold), case-preserving and
// "\"-separated; empty path parts are skipped. 8-bit names and string data
// are UTF-8 (the ANSI code page); the W calls convert at their boundary.
// String values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are stored exactly as
// given, and a query always returns them with their terminator: one stored
// without one (as when written with its length without the terminator) is
// reported one character longer and terminated in the caller's buffer.
//
// Handles returned by the open and create calls are distinct from the
// predefined roots, never reused, and invalid (ERROR_INVALID_HANDLE) once
// closed. Thread-safe.
#pragma once

#include "platform/win32/Types.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

using REGSAM = DWORD;
using ACCESS_MASK = DWORD;
using LSTATUS = LONG;
using PFILETIME = FILETIME*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;
constexpr DWORD REG_QWORD_LITTLE_ENDIAN = 11;

constexpr DWORD DELETE = 0x00010000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD WRITE_DAC = 0x00040000;
constexpr DWORD WRITE_OWNER = 0x00080000;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr DWORD STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr DWORD STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr DWORD MAXIMUM_ALLOWED = 0x02000000;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_EXECUTE = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_RESERVED = 0;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM desired,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM desired,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegCloseKey(HKEY key);
LONG RegFlushKey(HKEY key);

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData);
// The default value of a sub-key as a string; "" when it has none.
LONG RegQueryValueA(HKEY key, LPCSTR subKey, LPSTR data, PLONG cbData);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD cbData);
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD cbData);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
LONG RegDeleteValueW(HKEY key, LPCWSTR valueName);
// Deletes a key that has no sub-keys (ERROR_ACCESS_DENIED otherwise).
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);

// Sub-keys are enumerated in case-insensitive name order, values in the
// order they were first written.
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPSTR keyClass,
                   LPDWORD cchClass, PFILETIME lastWriteTime);
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved, LPWSTR keyClass,
                   LPDWORD cchClass, PFILETIME lastWriteTime);
LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD cchName);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD cbData);
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD cchValueName, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD cbData);
LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD cchClass, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen,
                      LPDWORD maxValueLen, LPDWORD cbSecurityDescriptor, PFILETIME lastWriteTime);

// Test hook: forgets every cached store so the next call reads the files
// again (open handles stay valid; they name their key by path).
void RegistryReloadForTest();
