// Files and folders over POSIX calls.
//
// Names are UTF-8 on disk; wide names are converted to UTF-8. A backslash in
// a name is taken as a folder separator, because the program's own code
// joins paths the way its home platform does. Share modes are recorded but
// not enforced: Linux has no mandatory sharing. Failures set GetLastError
// to the platform's codes.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/Handle.h"
#include "platform/win32/Sync.h"
#include "platform/win32/Time.h"
#include "platform/win32/Types.h"

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_DIRECTORY = 267;

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;
using WIN32_FIND_DATA = WIN32_FIND_DATAA;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
#define CreateFile CreateFileA

// With an OVERLAPPED the transfer happens at its offset, synchronously, and
// its event (if any) is set when done; the file position is not used.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);

// Returns the low part of the new position. With distanceHigh the distance
// is 64-bit and the high part of the new position is stored back; since the
// low part may then legitimately be INVALID_SET_FILE_POINTER, success clears
// the last error.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);

BOOL DeleteFileA(LPCSTR name);
BOOL DeleteFileW(LPCWSTR name);
#define DeleteFile DeleteFileA
BOOL MoveFileA(LPCSTR from, LPCSTR to);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
#define MoveFile MoveFileA
#define MoveFileEx MoveFileExA
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
#define CopyFile CopyFileA
DWORD GetFileAttributesA(LPCSTR name);
DWORD GetFileAttributesW(LPCWSTR name);
#define GetFileAttributes GetFileAttributesA
BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES attributes);
BOOL RemoveDirectoryA(LPCSTR name);
#define CreateDirectory CreateDirectoryA
#define RemoveDirectory RemoveDirectoryA

// The folder for temporary files ($TMPDIR, else /tmp), with a trailing '/'.
// Returns its length, or the size needed (with the terminator) when the
// buffer is too small.
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);
#define GetTempPath GetTempPathA
// Forms "<path>/<first three of prefix><hex>.tmp" in a MAX_PATH buffer. With
// unique 0 it picks an unused number and creates the empty file; otherwise it
// only forms the name. Returns the number used, 0 on failure.
UINT GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR tempFileName);
#define GetTempFileName GetTempFileNameA

// Wildcards '*' and '?' in the last part of the pattern, matched without
// regard to case; "*.*" matches every name. The "." and ".." entries are not
// reported. A pattern ending in ".dll" also finds the shared objects that
// LoadLibrary would load for such a name ("x.so" for "x.dll"), reported
// under the ".dll" name.
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE find);
#define FindFirstFile FindFirstFileA
#define FindNextFile FindNextFileA

// Operations MoveFileExA was asked to defer until the next restart. Nothing
// restarts the system here, so they are only kept for inspection.
struct DelayedMove {
  std::string from;
  std::string to;  // empty: delete
};
std::vector<DelayedMove> PendingDelayedMoves();

namespace win32_detail {
// A name as given to the file calls, turned into a Linux path.
std::string NativePath(LPCSTR name);
// UTF-8 form of a wide name; false when it holds no valid character code.
bool WideToUtf8Name(LPCWSTR name, std::string* out);
// The platform's error code for an errno value.
DWORD ErrorFromErrno(int err);
// The open descriptor behind a file handle, or -1.
int FileDescriptor(HANDLE file);
}  // namespace win32_detail
