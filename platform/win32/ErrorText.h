// The system message table: the texts of Win32 error codes and HRESULTs.
//
// The table holds the common Win32 errors and COM codes in this platform's
// own wording; other layers add theirs (the DirectShow layer its VFW_*
// texts) through RegisterSystemMessages. FormatMessage returns a text with
// the platform's line end "\r\n", as callers that strip it expect.
#pragma once

#include <cstdarg>
#include <string>
#include <utility>

#include "platform/win32/Types.h"

using HLOCAL = HANDLE;

constexpr DWORD LMEM_FIXED = 0x0000;
constexpr DWORD LMEM_ZEROINIT = 0x0040;
constexpr DWORD LPTR = LMEM_FIXED | LMEM_ZEROINIT;

// The heap of buffers that platform calls hand to their callers
// (FormatMessage with FORMAT_MESSAGE_ALLOCATE_BUFFER). LocalFree returns
// null on success.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// Only FORMAT_MESSAGE_FROM_SYSTEM is served; the table's texts have no
// inserts, so the arguments are never read. Returns the number of
// characters stored without the terminator, or 0 with the last error
// ERROR_MR_MID_NOT_FOUND when the table has no text for the code,
// ERROR_INSUFFICIENT_BUFFER when `size` is too small. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a pointer to a pointer
// that receives a buffer to be freed with LocalFree.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments);

// Adds texts (without line end) to the table; a code registered again gets
// the new text. The texts are copied.
void RegisterSystemMessages(const std::pair<DWORD, const char*>* entries, size_t count);

// The readable text of a code: the table's text without its trailing line
// end; for codes it lacks, "IDispatch error #<n>" in 0x80040200..0x8004FFFF
// (n counted from 0x80040200), else "Unknown error 0x<hex>".
std::string SystemErrorText(HRESULT hr);
