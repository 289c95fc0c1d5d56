#include "platform/win32/File.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/fs.h>
#include <strings.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/win32/CdRom.h"
#include "platform/win32/Drives.h"

namespace win32_detail {

namespace {

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool FolderOfExists(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  struct stat st {};
  return ::stat(slash == 0 ? "/" : path.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string NativePath(LPCSTR name) {
  const std::string written = name ? name : "";
  if (written.find('\\') == std::string::npos) return written;
  // On Linux a backslash is a character of a name ("a\b.mp4" is one file):
  // a name that exists as written is that file, and a new name is made
  // where its folder is. Otherwise the backslashes are separators, as in
  // a name that starts with a drive ("C:\..."), which is the platform's.
  std::string mapped = written;
  std::replace(mapped.begin(), mapped.end(), '\\', '/');
  const bool drive = written.size() > 2 && std::isalpha(static_cast<unsigned char>(written[0])) && written[1] == ':' &&
                     written[2] == '\\';
  if (PathExists(written)) return written;
  if (drive) return mapped;
  if (!PathExists(mapped) && !FolderOfExists(mapped) && FolderOfExists(written)) return written;
  return mapped;
}

bool WideToUtf8Name(LPCWSTR name, std::string* out) {
  out->clear();
  if (!name) return true;
  for (const wchar_t* p = name; *p; ++p) {
    const uint32_t c = static_cast<uint32_t>(*p);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return NO_ERROR;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace win32_detail

using win32_detail::ErrorFromErrno;
using win32_detail::NativePath;

namespace {

void SetErrnoError(int err) { SetLastError(ErrorFromErrno(err)); }

// ENOENT means "path not found" when the folder itself is missing.
void SetOpenError(int err, const std::string& path) {
  if (err == ENOENT) {
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      struct stat st {};
      if (stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
      }
    }
  }
  SetErrnoError(err);
}

class FileObject : public KernelObject {
 public:
  FileObject(int fd, std::string path, DWORD access, DWORD share, DWORD flags)
      : fd_(fd), path_(std::move(path)), access_(access), share_(share), flags_(flags) {}
  ~FileObject() override {
    if (fd_ >= 0) ::close(fd_);
    if (flags_ & FILE_FLAG_DELETE_ON_CLOSE) ::unlink(path_.c_str());
  }

  int Fd() const { return fd_; }
  CdDevice* Cd() const { return cd_.get(); }
  void SetCd(std::unique_ptr<CdDevice> cd) { cd_ = std::move(cd); }
  bool CanRead() const { return access_ & (GENERIC_READ | GENERIC_ALL); }
  bool CanWrite() const { return access_ & (GENERIC_WRITE | GENERIC_ALL); }
  DWORD ShareMode() const { return share_; }

 private:
  int fd_;
  std::string path_;
  DWORD access_;
  DWORD share_;
  DWORD flags_;
  std::unique_ptr<CdDevice> cd_;  // a CD drive's back-end, declared last so it goes first
};

FileObject* LookupFile(HANDLE h) {
  auto* f = KernelObject::As<FileObject>(h);
  if (!f) SetLastError(ERROR_INVALID_HANDLE);
  return f;
}

bool Exists(const std::string& path, struct stat* st = nullptr) {
  struct stat local {};
  return ::stat(path.c_str(), st ? st : &local) == 0;
}

// A missing file may exist under another letter case: the program was
// written for a file system that ignores case, and discs made there (DVDs
// above all) hold names such as VTS_01_1.VOB that it asks for in lower
// case. The name is looked up within its folder; the path as given when
// nothing matches.
std::string ExistingPath(const std::string& path) {
  if (path.empty() || Exists(path)) return path;
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return path;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return path;
  std::string found;
  while (dirent* e = ::readdir(dir)) {
    if (::strcasecmp(e->d_name, name.c_str()) == 0) {
      found = slash == std::string::npos ? std::string(e->d_name) : folder + e->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found.empty() ? path : found;
}

HANDLE OpenPath(std::string path, DWORD access, DWORD share, DWORD disposition, DWORD flags, int extraFlags = 0) {
  if (disposition == OPEN_EXISTING || disposition == OPEN_ALWAYS || disposition == TRUNCATE_EXISTING)
    path = ExistingPath(path);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int oflags = O_CLOEXEC | extraFlags;
  const bool read = access & (GENERIC_READ | GENERIC_ALL);
  const bool write = access & (GENERIC_WRITE | GENERIC_ALL);
  oflags |= (read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  const bool existed = Exists(path);
  switch (disposition) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      oflags |= O_TRUNC;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if ((oflags & O_TRUNC) && !write) {
    // Truncation needs write access on Linux; CREATE_ALWAYS without it
    // still has to empty the file.
    oflags = (oflags & ~(O_RDONLY | O_WRONLY | O_RDWR)) | O_RDWR;
  }
  if (flags & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;
  const int fd = ::open(path.c_str(), oflags, 0666);
  if (fd < 0) {
    SetOpenError(errno, path);
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (flags & FILE_FLAG_SEQUENTIAL_SCAN) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (flags & FILE_FLAG_RANDOM_ACCESS) ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  auto* obj = new FileObject(fd, path, access, share, flags);
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                       : NO_ERROR);
  return obj->AsHandle();
}

off_t OverlappedOffset(const OVERLAPPED* o) {
  return static_cast<off_t>((static_cast<uint64_t>(o->OffsetHigh) << 32) | o->Offset);
}

std::mutex g_delayedLock;
std::vector<DelayedMove> g_delayed;

// "\\.\X:": the drive's target. A block device opens without waiting for a
// medium (the CD calls report a missing disc themselves) and carries the
// Linux CD back-end; a cue sheet carries the disc-image back-end.
HANDLE OpenDrive(char letter, DWORD access, DWORD share, DWORD flags) {
  std::string target;
  if (!GetDriveTarget(letter, &target)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (IsCdImageName(target)) {
    DWORD err = NO_ERROR;
    std::unique_ptr<CdDevice> image = OpenCdImage(target, &err);
    if (!image) {
      SetLastError(err);
      return INVALID_HANDLE_VALUE;
    }
    HANDLE h = OpenPath(target, GENERIC_READ, share, OPEN_EXISTING, flags);
    if (h != INVALID_HANDLE_VALUE) KernelObject::As<FileObject>(h)->SetCd(std::move(image));
    return h;
  }
  HANDLE h = OpenPath(target, access, share, OPEN_EXISTING, flags, O_NONBLOCK);
  if (h == INVALID_HANDLE_VALUE) return h;
  FileObject* f = KernelObject::As<FileObject>(h);
  struct stat st {};
  if (::fstat(f->Fd(), &st) == 0 && S_ISBLK(st.st_mode)) {
    // Reads of the raw device block until they are served.
    ::fcntl(f->Fd(), F_SETFL, ::fcntl(f->Fd(), F_GETFL) & ~O_NONBLOCK);
    f->SetCd(OpenLinuxCdDevice(f->Fd()));
  }
  SetLastError(NO_ERROR);
  return h;
}

}  // namespace

namespace win32_detail {
int FileDescriptor(HANDLE file) {
  auto* f = KernelObject::As<FileObject>(file);
  return f ? f->Fd() : -1;
}
CdDevice* CdDeviceOf(HANDLE h) {
  auto* f = KernelObject::As<FileObject>(h);
  return f ? f->Cd() : nullptr;
}
}  // namespace win32_detail

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (char letter = DeviceNameLetter(name)) return OpenDrive(letter, access, shareMode, flagsAndAttributes);
  return OpenPath(NativePath(name), access, shareMode, disposition, flagsAndAttributes);
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  std::string utf8;
  if (!name || !win32_detail::WideToUtf8Name(name, &utf8)) {
    SetLastError(name ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileA(utf8.c_str(), access, shareMode, attributes, disposition, flagsAndAttributes, templateFile);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  FileObject* f = LookupFile(file);
  if (!f) return FALSE;
  if (!f->CanRead()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!buffer && toRead) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* out = static_cast<BYTE*>(buffer);
  DWORD done = 0;
  off_t offset = overlapped ? OverlappedOffset(overlapped) : 0;
  while (done < toRead) {
    const ssize_t n = overlapped ? ::pread(f->Fd(), out + done, toRead - done, offset + done)
                                 : ::read(f->Fd(), out + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(ERROR_READ_FAULT);
      if (read) *read = done;
      return FALSE;
    }
    if (n == 0) break;  // end of file
    done += static_cast<DWORD>(n);
  }
  if (read) *read = done;
  if (overlapped) {
    overlapped->InternalHigh = done;
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
  }
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  FileObject* f = LookupFile(file);
  if (!f) return FALSE;
  if (!f->CanWrite()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!buffer && toWrite) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* in = static_cast<const BYTE*>(buffer);
  DWORD done = 0;
  off_t offset = overlapped ? OverlappedOffset(overlapped) : 0;
  while (done < toWrite) {
    const ssize_t n = overlapped ? ::pwrite(f->Fd(), in + done, toWrite - done, offset + done)
                                 : ::write(f->Fd(), in + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
      if (written) *written = done;
      return FALSE;
    }
    if (n == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      if (written) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  if (overlapped) {
    overlapped->InternalHigh = done;
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
  }
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method) {
  FileObject* f = LookupFile(file);
  if (!f) return FALSE;
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
  }
  const off_t pos = ::lseek(f->Fd(), static_cast<off_t>(distance.QuadPart), whence);
  if (pos < 0) {
    // lseek refuses a target before the start and leaves the position alone.
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
    return FALSE;
  }
  if (newPosition) newPosition->QuadPart = pos;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  LARGE_INTEGER d;
  d.QuadPart = distanceHigh ? static_cast<LONGLONG>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                    static_cast<uint32_t>(distance))
                            : static_cast<LONGLONG>(distance);
  if (!distanceHigh) {
    // The 32-bit form cannot report a position past 4 GB; refuse such a
    // move before making it.
    FileObject* f = LookupFile(file);
    if (!f) return INVALID_SET_FILE_POINTER;
    off_t base = 0;
    struct stat st {};
    if (method == FILE_CURRENT) base = ::lseek(f->Fd(), 0, SEEK_CUR);
    if (method == FILE_END) base = ::fstat(f->Fd(), &st) == 0 ? st.st_size : -1;
    if (base >= 0 && base + d.QuadPart > 0xFFFFFFFELL) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
    }
  }
  LARGE_INTEGER pos;
  if (!SetFilePointerEx(file, d, &pos, method)) return INVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = static_cast<LONG>(pos.QuadPart >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(pos.QuadPart);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  FileObject* f = LookupFile(file);
  if (!f) return FALSE;
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st {};
  if (::fstat(f->Fd(), &st) != 0) {
    SetErrnoError(errno);
    return FALSE;
  }
  size->QuadPart = st.st_size;
  // A block device (a disc drive) has the size of its medium.
  uint64_t bytes = 0;
  if (S_ISBLK(st.st_mode) && ::ioctl(f->Fd(), BLKGETSIZE64, &bytes) == 0) size->QuadPart = static_cast<LONGLONG>(bytes);
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(static_cast<uint64_t>(size.QuadPart) >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(size.QuadPart);
}

BOOL SetEndOfFile(HANDLE file) {
  FileObject* f = LookupFile(file);
  if (!f) return FALSE;
  if (!f->CanWrite()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const off_t pos = ::lseek(f->Fd(), 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(f->Fd(), pos) != 0) {
    SetErrnoError(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  FileObject* f = LookupFile(file);
  if (!f) return FALSE;
  if (::fsync(f->Fd()) != 0 && errno != EINVAL) {
    SetErrnoError(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = NativePath(name);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(path.c_str()) != 0) {
    SetOpenError(errno, path);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR name) {
  std::string utf8;
  if (!name || !win32_detail::WideToUtf8Name(name, &utf8)) {
    SetLastError(name ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return DeleteFileA(utf8.c_str());
}

namespace {

// Copies the contents and permission bits; the target is made anew.
bool CopyContents(const std::string& from, const std::string& to, bool failIfExists) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    SetOpenError(errno, from);
    return false;
  }
  struct stat st {};
  if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(in);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC),
                         st.st_mode & 07777);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    SetOpenError(err, to);
    return false;
  }
  std::vector<char> buffer(1 << 16);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(ERROR_READ_FAULT);
      ok = false;
      break;
    }
    if (n == 0) break;
    ssize_t off = 0;
    while (off < n) {
      const ssize_t w = ::write(out, buffer.data() + off, static_cast<size_t>(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        SetLastError(w < 0 && errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
        ok = false;
        break;
      }
      off += w;
    }
    if (!ok) break;
  }
  ::close(in);
  if (::close(out) != 0 && ok) {
    SetErrnoError(errno);
    ok = false;
  }
  // A partial copy is worse than none.
  if (!ok) ::unlink(to.c_str());
  return ok;
}

}  // namespace

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  if (!from || !to) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string src = NativePath(from);
  const std::string dst = NativePath(to);
  struct stat a {}, b {};
  if (::stat(src.c_str(), &a) == 0 && ::stat(dst.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
    // Copying a file onto itself would truncate it first.
    SetLastError(failIfExists ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (!CopyContents(src, dst, failIfExists != FALSE)) return FALSE;
  return TRUE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (!from) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Nothing restarts the system here; the request is recorded and
    // reported done. Linux removes an open file's name at once anyway.
    std::lock_guard<std::mutex> lock(g_delayedLock);
    g_delayed.push_back({NativePath(from), to ? NativePath(to) : std::string()});
    return TRUE;
  }
  if (!to) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string src = NativePath(from);
  const std::string dst = NativePath(to);
  struct stat st {};
  if (::lstat(src.c_str(), &st) != 0) {
    SetOpenError(errno, src);
    return FALSE;
  }
  struct stat target {};
  if (::lstat(dst.c_str(), &target) == 0) {
    const bool same = target.st_dev == st.st_dev && target.st_ino == st.st_ino;
    if (!same && (!(flags & MOVEFILE_REPLACE_EXISTING) || S_ISDIR(target.st_mode))) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
  }
  if (::rename(src.c_str(), dst.c_str()) == 0) return TRUE;
  if (errno != EXDEV || S_ISDIR(st.st_mode) || !(flags & MOVEFILE_COPY_ALLOWED)) {
    SetOpenError(errno, dst);
    return FALSE;
  }
  // Across file systems: copy, then remove the original.
  if (!CopyContents(src, dst, false)) return FALSE;
  if (flags & MOVEFILE_WRITE_THROUGH) ::sync();
  ::unlink(src.c_str());
  return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED); }

std::vector<DelayedMove> PendingDelayedMoves() {
  std::lock_guard<std::mutex> lock(g_delayedLock);
  return g_delayed;
}

DWORD GetFileAttributesA(LPCSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::string path = ExistingPath(NativePath(name));
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    SetOpenError(errno, path);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  std::string utf8;
  if (!name || !win32_detail::WideToUtf8Name(name, &utf8)) {
    SetLastError(name ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesA(utf8.c_str());
}

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = NativePath(name);
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno == EEXIST)
      SetLastError(ERROR_ALREADY_EXISTS);
    else if (errno == ENOENT)
      SetLastError(ERROR_PATH_NOT_FOUND);
    else
      SetErrnoError(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = NativePath(name);
  if (::rmdir(path.c_str()) != 0) {
    if (errno == ENOTDIR)
      SetLastError(ERROR_DIRECTORY);
    else if (errno == EEXIST || errno == ENOTEMPTY)
      SetLastError(ERROR_DIR_NOT_EMPTY);
    else
      SetOpenError(errno, path);
    return FALSE;
  }
  return TRUE;
}

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  std::string path;
  const char* env = ::getenv("TMPDIR");
  path = (env && *env) ? env : "/tmp";
  if (path.back() != '/') path.push_back('/');
  if (!buffer || bufferLength < path.size() + 1) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

UINT GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR tempFileName) {
  if (!path || !tempFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string folder = NativePath(path);
  if (folder.empty()) folder = ".";
  if (folder.back() != '/') folder.push_back('/');
  std::string stem = folder + std::string(prefix ? prefix : "").substr(0, 3);

  auto form = [&](UINT number, std::string* out) -> bool {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", number);
    *out = stem + hex + ".tmp";
    if (out->size() + 1 > MAX_PATH) {
      SetLastError(ERROR_BUFFER_OVERFLOW);
      return false;
    }
    return true;
  };

  std::string name;
  if (unique != 0) {
    if (!form(unique & 0xFFFF, &name)) return 0;
    std::memcpy(tempFileName, name.c_str(), name.size() + 1);
    return unique & 0xFFFF;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return 0;
  }
  // Start from a different number in each call so that concurrent callers
  // rarely collide; O_EXCL settles the races that remain.
  static std::atomic<UINT> counter{static_cast<UINT>(::getpid()) * 7919u};
  const UINT start = counter.fetch_add(1) ^ static_cast<UINT>(GetTickCount());
  for (UINT i = 0; i < 0xFFFF; ++i) {
    const UINT number = ((start + i) % 0xFFFF) + 1;
    if (!form(number, &name)) return 0;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      std::memcpy(tempFileName, name.c_str(), name.size() + 1);
      return number;
    }
    if (errno != EEXIST) {
      SetOpenError(errno, name);
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

// ---------------------------------------------------------------------------
// Directory search

namespace {

FILETIME ToFileTime(const struct timespec& ts) {
  const ULONGLONG t =
      116444736000000000ULL + static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL + static_cast<ULONGLONG>(ts.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

class FindObject : public KernelObject {
 public:
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string full = NativePath(pattern);
  const auto slash = full.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : full.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? full : full.substr(slash + 1);
  if (folder.empty()) folder = "/";
  if (mask.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (mask == "*.*") mask = "*";

  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  // Libraries: as the module loader takes "x.dll" to be the shared object
  // "x.so", a search for DLLs finds shared objects, under their DLL names.
  const bool dllSearch = mask.size() >= 4 && ::strcasecmp(mask.c_str() + mask.size() - 4, ".dll") == 0;
  std::vector<WIN32_FIND_DATAA> found;
  while (struct dirent* e = ::readdir(dir)) {
    const std::string file = e->d_name;
    std::string name = file;
    if (name == "." || name == "..") continue;
    if (dllSearch && name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
      name = name.substr(0, name.size() - 3) + ".dll";
    if (name.size() + 1 > MAX_PATH) continue;
    if (::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    if (dllSearch && std::any_of(found.begin(), found.end(), [&](const WIN32_FIND_DATAA& d) {
          return std::strcmp(d.cFileName, name.c_str()) == 0;
        }))
      continue;
    std::string path = folder;
    if (path.back() != '/') path.push_back('/');
    path += file;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;  // vanished or a dangling link
    WIN32_FIND_DATAA d{};
    d.dwFileAttributes = S_ISDIR(st.st_mode)          ? FILE_ATTRIBUTE_DIRECTORY
                         : (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL
                                                      : FILE_ATTRIBUTE_READONLY;
    d.ftCreationTime = ToFileTime(st.st_ctim);
    d.ftLastAccessTime = ToFileTime(st.st_atim);
    d.ftLastWriteTime = ToFileTime(st.st_mtim);
    d.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    d.nFileSizeLow = static_cast<DWORD>(st.st_size);
    std::memcpy(d.cFileName, name.c_str(), name.size() + 1);
    found.push_back(d);
  }
  ::closedir(dir);
  if (found.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::sort(found.begin(), found.end(),
            [](const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) { return std::strcmp(a.cFileName, b.cFileName) < 0; });
  auto* find = new FindObject();
  find->entries = std::move(found);
  *data = find->entries[0];
  find->next = 1;
  return find->AsHandle();
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  auto* f = KernelObject::As<FindObject>(find);
  if (!f || !data) {
    SetLastError(f ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (f->next >= f->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = f->entries[f->next++];
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  auto* f = KernelObject::As<FindObject>(find);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  f->Release();
  return TRUE;
}
