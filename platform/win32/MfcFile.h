// An MFC-style binary file over the file handles of this layer.
//
// Failures: Open returns FALSE and fills the exception object when one is
// given. Read returns the bytes read (fewer at the end of the file, 0 after a
// read error, which GetLastError then tells). A seek before the start leaves
// the position where it was and returns it. Write, Flush and SetLength throw
// CFileException, as their platform counterparts do: they return nothing,
// and a write that silently failed would lose the user's data.
#pragma once

#include <exception>
#include <string>

#include "platform/win32/File.h"
#include "platform/win32/Types.h"

class CFileException : public std::exception {
 public:
  enum {
    none,
    genericException,
    fileNotFound,
    badPath,
    tooManyOpenFiles,
    accessDenied,
    invalidFile,
    removeCurrentDir,
    directoryFull,
    badSeek,
    hardIO,
    sharingViolation,
    lockViolation,
    diskFull,
    endOfFile
  };

  CFileException() = default;
  CFileException(int cause, LONG osError, std::string fileName = std::string())
      : m_cause(cause), m_lOsError(osError), m_strFileName(std::move(fileName)) {}

  // The cause that matches a GetLastError code.
  static int OsErrorToException(LONG osError);

  const char* what() const noexcept override;

  int m_cause = none;
  LONG m_lOsError = -1;
  std::string m_strFileName;
};

class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0,
    modeWrite = 0x1,
    modeReadWrite = 0x2,
    shareCompat = 0x0,
    shareExclusive = 0x10,
    shareDenyWrite = 0x20,
    shareDenyRead = 0x30,
    shareDenyNone = 0x40,
    modeNoInherit = 0x80,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeText = 0x4000,
    typeBinary = 0x8000,
    osNoBuffer = 0x10000,
    osWriteThrough = 0x20000,
    osRandomAccess = 0x40000,
    osSequentialScan = 0x80000,
  };
  enum SeekPosition : UINT { begin = 0x0, current = 0x1, end = 0x2 };

  static inline HANDLE const hFileNull = INVALID_HANDLE_VALUE;

  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  virtual ~CFile();

  virtual BOOL Open(LPCSTR fileName, UINT openFlags, CFileException* error = nullptr);
  virtual BOOL Open(LPCWSTR fileName, UINT openFlags, CFileException* error = nullptr);

  virtual UINT Read(void* buffer, UINT count);
  virtual void Write(const void* buffer, UINT count);
  virtual ULONGLONG Seek(LONGLONG offset, UINT from);
  void SeekToBegin() { Seek(0, begin); }
  ULONGLONG SeekToEnd() { return Seek(0, end); }
  virtual ULONGLONG GetLength() const;
  virtual ULONGLONG GetPosition() const;
  virtual void SetLength(ULONGLONG newLength);
  virtual void Flush();
  virtual void Close();

  std::string GetFilePath() const { return path_; }
  std::string GetFileName() const;

  HANDLE m_hFile = hFileNull;

 private:
  [[noreturn]] void Throw(DWORD osError) const;

  std::string path_;
};
