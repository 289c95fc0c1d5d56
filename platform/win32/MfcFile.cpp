#include "platform/win32/MfcFile.h"

int CFileException::OsErrorToException(LONG osError) {
  switch (static_cast<DWORD>(osError)) {
    case NO_ERROR: return none;
    case ERROR_FILE_NOT_FOUND: return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return accessDenied;
    case ERROR_INVALID_HANDLE: return invalidFile;
    case ERROR_NEGATIVE_SEEK: return badSeek;
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT: return hardIO;
    case ERROR_SHARING_VIOLATION: return sharingViolation;
    case ERROR_DISK_FULL: return diskFull;
    case ERROR_HANDLE_EOF: return endOfFile;
    default: return genericException;
  }
}

const char* CFileException::what() const noexcept {
  switch (m_cause) {
    case none: return "no error";
    case fileNotFound: return "file not found";
    case badPath: return "bad path";
    case tooManyOpenFiles: return "too many open files";
    case accessDenied: return "access denied";
    case invalidFile: return "invalid file";
    case badSeek: return "bad seek";
    case hardIO: return "hardware I/O error";
    case sharingViolation: return "sharing violation";
    case diskFull: return "disk full";
    case endOfFile: return "end of file";
    default: return "file error";
  }
}

CFile::~CFile() { Close(); }

BOOL CFile::Open(LPCSTR fileName, UINT openFlags, CFileException* error) {
  Close();
  auto fail = [&](DWORD osError) {
    SetLastError(osError);
    if (error) {
      error->m_lOsError = static_cast<LONG>(osError);
      error->m_cause = CFileException::OsErrorToException(error->m_lOsError);
      error->m_strFileName = fileName ? fileName : "";
    }
    return FALSE;
  };
  if (!fileName || !*fileName) return fail(ERROR_INVALID_NAME);

  DWORD access;
  switch (openFlags & 3) {
    case modeRead: access = GENERIC_READ; break;
    case modeWrite: access = GENERIC_WRITE; break;
    case modeReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
    default: return fail(ERROR_INVALID_PARAMETER);
  }
  DWORD share;
  switch (openFlags & 0x70) {
    case shareCompat:
    case shareExclusive: share = 0; break;
    case shareDenyWrite: share = FILE_SHARE_READ; break;
    case shareDenyRead: share = FILE_SHARE_WRITE; break;
    case shareDenyNone: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: return fail(ERROR_INVALID_PARAMETER);
  }
  DWORD disposition = OPEN_EXISTING;
  if (openFlags & modeCreate) disposition = (openFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (openFlags & osNoBuffer) flags |= FILE_FLAG_NO_BUFFERING;
  if (openFlags & osWriteThrough) flags |= FILE_FLAG_WRITE_THROUGH;
  if (openFlags & osRandomAccess) flags |= FILE_FLAG_RANDOM_ACCESS;
  if (openFlags & osSequentialScan) flags |= FILE_FLAG_SEQUENTIAL_SCAN;

  HANDLE h = CreateFileA(fileName, access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(GetLastError());
  m_hFile = h;
  path_ = fileName;
  if (error) *error = CFileException();
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL CFile::Open(LPCWSTR fileName, UINT openFlags, CFileException* error) {
  std::string utf8;
  if (!fileName || !win32_detail::WideToUtf8Name(fileName, &utf8)) {
    Close();
    SetLastError(ERROR_INVALID_NAME);
    if (error) *error = CFileException(CFileException::badPath, static_cast<LONG>(ERROR_INVALID_NAME));
    return FALSE;
  }
  return Open(utf8.c_str(), openFlags, error);
}

UINT CFile::Read(void* buffer, UINT count) {
  if (count == 0) return 0;
  // A read error ends the data like the end of the file does; the caller
  // sees a short count and GetLastError tells why.
  DWORD read = 0;
  ReadFile(m_hFile, buffer, count, &read, nullptr);
  return read;
}

void CFile::Write(const void* buffer, UINT count) {
  if (count == 0) return;
  DWORD written = 0;
  if (!WriteFile(m_hFile, buffer, count, &written, nullptr) || written != count) Throw(GetLastError());
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER pos;
  if (from > end || !SetFilePointerEx(m_hFile, distance, &pos, from)) {
    if (from > end) SetLastError(ERROR_INVALID_PARAMETER);
    const DWORD err = GetLastError();
    const ULONGLONG here = GetPosition();
    SetLastError(err);
    return here;
  }
  return static_cast<ULONGLONG>(pos.QuadPart);
}

ULONGLONG CFile::GetLength() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(m_hFile, &size)) return 0;
  return static_cast<ULONGLONG>(size.QuadPart);
}

ULONGLONG CFile::GetPosition() const {
  LARGE_INTEGER zero, pos;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(m_hFile, zero, &pos, FILE_CURRENT)) return 0;
  return static_cast<ULONGLONG>(pos.QuadPart);
}

void CFile::SetLength(ULONGLONG newLength) {
  const int fd = win32_detail::FileDescriptor(m_hFile);
  if (fd < 0) Throw(ERROR_INVALID_HANDLE);
  // Keeps the position, as the file's length is not the caller's cursor.
  const ULONGLONG here = GetPosition();
  LARGE_INTEGER target;
  target.QuadPart = static_cast<LONGLONG>(newLength);
  if (!SetFilePointerEx(m_hFile, target, nullptr, FILE_BEGIN) || !SetEndOfFile(m_hFile)) {
    const DWORD err = GetLastError();
    Seek(static_cast<LONGLONG>(here), begin);
    Throw(err);
  }
  Seek(static_cast<LONGLONG>(here), begin);
}

void CFile::Flush() {
  if (m_hFile == hFileNull) return;
  if (!FlushFileBuffers(m_hFile)) Throw(GetLastError());
}

void CFile::Close() {
  if (m_hFile != hFileNull) CloseHandle(m_hFile);
  m_hFile = hFileNull;
  path_.clear();
}

std::string CFile::GetFileName() const {
  const auto slash = path_.find_last_of("/\\");
  return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

void CFile::Throw(DWORD osError) const {
  throw CFileException(CFileException::OsErrorToException(static_cast<LONG>(osError)), static_cast<LONG>(osError),
                       path_);
}
