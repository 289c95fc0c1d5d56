// Modules: built-in stand-ins for the platform's libraries and shared
// objects loaded with dlopen.
//
// A name is matched without regard to case and folder, and a name without
// an extension means "<name>.dll", as on the home platform. Built-in modules
// (for example "quartz.dll") are registered explicitly at start-up and count
// as loaded from then on, so GetModuleHandle finds them; any other "x.dll"
// is the shared object "x.so" next to the executable (or at the path given,
// when the name has a folder). Shared objects have no ordinals: only
// built-in modules can be asked by ordinal.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/Types.h"

struct BuiltinExport {
  std::string name;  // may be empty for an export by ordinal only
  WORD ordinal;      // 0: none
  FARPROC proc;
};

// Adds a built-in module, or replaces the exports and version of one
// registered before. A non-zero version makes GetFileVersionInfo report it.
void RegisterBuiltinModule(const char* name, std::vector<BuiltinExport> exports, DWORD fileVersionMS = 0,
                           DWORD fileVersionLS = 0);

constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x1;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;
constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x8;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

inline bool IS_INTRESOURCE(const void* p) { return reinterpret_cast<uintptr_t>(p) <= 0xFFFF; }
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA

HMODULE LoadLibraryA(LPCSTR name);
HMODULE LoadLibraryW(LPCWSTR name);
// The flags change nothing here: a shared object is always loaded whole.
HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
#define LoadLibrary LoadLibraryA
#define LoadLibraryEx LoadLibraryExA
// Drops one reference; a shared object is unloaded with its last one.
// Built-in modules and the executable stay.
BOOL FreeLibrary(HMODULE module);
// By name, or by ordinal when the name is a small integer (MAKEINTRESOURCE).
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

// Null is the executable. Takes no reference.
HMODULE GetModuleHandleA(LPCSTR name);
HMODULE GetModuleHandleW(LPCWSTR name);
#define GetModuleHandle GetModuleHandleA
// Null is the executable (from /proc/self/exe). A built-in module reports a
// name in the executable's folder. Truncates to the buffer like the
// platform: the result is then the buffer size, with
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
#define GetModuleFileName GetModuleFileNameA

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);
constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;

// Version information exists only for built-in modules registered with a
// version; for every other file the size is 0 (ERROR_RESOURCE_TYPE_NOT_FOUND).
DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle);
BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD length, LPVOID data);
// Only the root block "\\" (the VS_FIXEDFILEINFO) is known.
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* length);
#define GetFileVersionInfoSize GetFileVersionInfoSizeA
#define GetFileVersionInfo GetFileVersionInfoA
#define VerQueryValue VerQueryValueA
