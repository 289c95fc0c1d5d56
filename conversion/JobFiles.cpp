#include "conversion/JobFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "conversion/PictureNames.h"

namespace {

// ---------------------------------------------------------------------------
// The temporary files of the running jobs, for a signal that ends the
// process. The handler only writes the signal's number into a pipe; a
// thread of its own removes the files and then ends the process with the
// signal, so nothing in the handler needs to be more than signal-safe.

std::mutex g_tempLock;
std::vector<std::string>& Temporaries() {
  static std::vector<std::string> files;
  return files;
}
int g_signalPipe[2] = {-1, -1};

void AddTemporary(const std::string& path) {
  std::lock_guard<std::mutex> g(g_tempLock);
  Temporaries().push_back(path);
}

void RemoveTemporary(const std::string& path) {
  std::lock_guard<std::mutex> g(g_tempLock);
  auto& files = Temporaries();
  auto it = std::find(files.begin(), files.end(), path);
  if (it != files.end()) files.erase(it);
}

extern "C" void OnEndingSignal(int sig) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(sig);
  if (write(g_signalPipe[1], &number, 1) < 0) {
  }
  errno = saved;
}

void RemoveTemporariesOnSignal() {
  for (;;) {
    unsigned char number = 0;
    const ssize_t got = read(g_signalPipe[0], &number, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1) return;
    // Held to the end: no job may reserve a new name meanwhile.
    std::lock_guard<std::mutex> g(g_tempLock);
    for (const std::string& path : Temporaries()) unlink(path.c_str());
    std::signal(number, SIG_DFL);
    raise(number);
    std::_Exit(128 + number);  // the signal was blocked after all
  }
}

// ---------------------------------------------------------------------------
// Names

// The folder part of a path (with its '/'), and the file name.
void SplitPath(const std::string& path, std::string* dir, std::string* base) {
  const size_t slash = path.rfind('/');
  *dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

size_t NameLimit(const std::string& dir) {
  const long limit = pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : 255;
}

// `stem` followed by `tail`, the stem cut (never inside a character) so
// that the whole fits `limit` bytes.
std::string Fit(const std::string& stem, const std::string& tail, size_t limit) {
  if (stem.size() + tail.size() <= limit) return stem + tail;
  size_t cut = tail.size() < limit ? limit - tail.size() : 0;
  while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
  return stem.substr(0, cut) + tail;
}

// "<stem><mark><ext>" beside `target`; the n-th choice adds " (n)" (a
// choice without a mark starts at " (2)").
std::string BesideName(const std::string& target, const std::string& mark, int n) {
  std::string dir, base;
  SplitPath(target, &dir, &base);
  const size_t dot = base.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0 && base.size() - dot <= 16;
  const std::string ext = hasExt ? base.substr(dot) : std::string();
  const std::string stem = hasExt ? base.substr(0, dot) : base;
  std::string tail = mark;
  if (n > 1 || mark.empty()) tail += " (" + std::to_string(mark.empty() ? n + 1 : n) + ")";
  return dir + Fit(stem, tail + ext, NameLimit(dir));
}

// "<stem> (stopped at N s)<ext>" beside `target`.
std::string StoppedName(const std::string& target, double seconds, int n) {
  return BesideName(target, " (stopped at " + std::to_string(static_cast<long long>(std::max(seconds, 0.0))) + " s)",
                    n);
}

// Renames `from` to `to` unless `to` is taken (false with errno EEXIST).
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a link cannot take a name either.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// Why a picture must not be written over what `path` names (lstat gave
// `st`), or "" when it may.
std::string PictureRefusal(const std::string& path, const struct stat& st, const std::string& source, bool replace) {
  if (IsSameFileOnDisk(source, path)) return "it is the source file";
  struct stat target {};
  const bool regular = S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && stat(path.c_str(), &target) == 0 &&
                                               S_ISREG(target.st_mode));
  if (!regular && !S_ISLNK(st.st_mode)) return "not a regular file";
  if (!replace) return "a file of that name is already there";
  return std::string();
}

// A temporary file carries the name of the target it is written for, and
// its job holds a lock on it while it runs: one that a job killed outright
// left behind (the lock went with its process) is told from a user's own
// file of that name and from another job's file.
constexpr const char* kTargetMark = "user.pellomar.target";

bool MarkTemporary(int fd, const std::string& target) {
  return flock(fd, LOCK_EX | LOCK_NB) == 0 &&
         (fsetxattr(fd, kTargetMark, target.data(), target.size(), 0) == 0 || errno == ENOTSUP);
}

// Removes `temp` when it is the leftover of a job of `target` that ended
// without removing it; true when it did.
bool RemoveLeftover(const std::string& temp, const std::string& target) {
  const int fd = open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  char mark[PATH_MAX];
  const ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fgetxattr(fd, kTargetMark, mark, sizeof mark) : -1;
  bool removed = false;
  if (n >= 0 && std::string(mark, static_cast<size_t>(n)) == target && flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Still the same file under that name: nobody took the name meanwhile.
    struct stat now {};
    removed = lstat(temp.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev &&
              unlink(temp.c_str()) == 0;
  }
  close(fd);
  return removed;
}

}  // namespace

bool OpenableAsRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return errno != ENXIO && errno != EWOULDBLOCK;
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  return regular;
}

bool IsSameFileOnDisk(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

long SeriesPictureCount(double seconds, int intervalMs) {
  if (!(seconds > 0) || intervalMs <= 0) return -1;
  const double count = std::ceil(seconds * 1000.0 / intervalMs) + 1;
  return count < static_cast<double>(LONG_MAX) ? static_cast<long>(count) : -1;
}

std::string FirstTakenPicture(const std::string& folder, long count, const std::string& source, bool replace,
                              std::string* error) {
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  DIR* listing = opendir(dir.empty() ? "." : dir.c_str());
  if (!listing) return std::string();
  std::vector<long> numbers;
  while (const dirent* entry = readdir(listing)) {
    const long n = PictureNumber(entry->d_name);
    if (n > 0 && (count < 0 || n <= count)) numbers.push_back(n);
  }
  closedir(listing);
  std::sort(numbers.begin(), numbers.end());
  for (long n : numbers) {
    const std::string path = dir + PictureName(n);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    const std::string why = PictureRefusal(path, st, source, replace);
    if (why.empty()) continue;
    *error = "Could not write the picture " + path + ": " + why + "\n";
    return path;
  }
  return std::string();
}

void InstallTemporaryFileCleanup() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe2(g_signalPipe, O_CLOEXEC) != 0) return;
    std::thread(RemoveTemporariesOnSignal).detach();
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
      struct sigaction old {};
      // A signal the process was started to ignore (nohup) stays ignored.
      if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
      struct sigaction action {};
      action.sa_handler = OnEndingSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      sigaction(sig, &action, nullptr);
    }
  });
}

void CJobFiles::SetSource(const std::string& source) {
  std::lock_guard<std::mutex> g(m_lock);
  m_strSource = source;
  struct stat st {};
  m_sourceSize = stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

std::string CJobFiles::SourceGrowth(double seconds) {
  std::lock_guard<std::mutex> g(m_lock);
  struct stat st {};
  if (m_sourceSize < 0 || stat(m_strSource.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= m_sourceSize)
    return std::string();
  std::string text = "The source grew while the job read it, from " + std::to_string(m_sourceSize) + " to " +
                     std::to_string(static_cast<long long>(st.st_size)) + " bytes: the job converted the " +
                     std::to_string(m_sourceSize) + " bytes it held when the job began";
  if (seconds > 0) text += " (" + std::to_string(static_cast<long long>(std::lround(seconds))) + " s)";
  return text + "; convert it again once it is complete for the rest.\n";
}

void CJobFiles::SetReplaceTargets(bool replace) {
  std::lock_guard<std::mutex> g(m_lock);
  m_bReplace = replace;
}

std::vector<std::pair<std::string, std::string>> CJobFiles::Kept() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_kept;
}

std::string CJobFiles::Reserve(const std::string& target, std::string* error) {
  std::lock_guard<std::mutex> g(m_lock);
  struct stat st {};
  if (IsSameFileOnDisk(m_strSource, target)) {
    *error = "The target is the source file itself: " + target + "\n";
    return std::string();
  }
  if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = "The target is not a regular file: " + target + "\n";
    return std::string();
  }
  const bool existed = lstat(target.c_str(), &st) == 0;
  std::string dir, base;
  SplitPath(target, &dir, &base);
  const size_t limit = NameLimit(dir);
  if (base.size() > limit) {
    *error = "The target's name is longer than its folder allows (" + std::to_string(base.size()) + " bytes, at most " +
             std::to_string(limit) + "): " + target + "\n";
    return std::string();
  }
  // A free name beside the target; a file already there is someone's. A
  // long target name is cut to leave room for the mark.
  for (int n = 1; n < 100; ++n) {
    const std::string suffix = (n == 1 ? std::string() : "." + std::to_string(n)) + ".part";
    const std::string temp = dir + Fit(base, suffix, limit);
    int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    // A job of this target killed outright left its file: it goes now.
    if (fd < 0 && errno == EEXIST) {
      if (RemoveLeftover(temp, target)) fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      else errno = EEXIST;
    }
    if (fd >= 0) {
      if (!MarkTemporary(fd, target)) {
        close(fd);
        fd = -1;
      }
      m_files.push_back(File{temp, target, existed, false, fd});
      AddTemporary(temp);
      return temp;
    }
    if (errno != EEXIST) {
      *error = "Could not open '" + target + "'\n";
      return std::string();
    }
  }
  *error = "No free temporary name beside the target: " + target + "\n";
  return std::string();
}

int CJobFiles::CreatePicture(const std::string& path, bool replace, std::string* error) {
  constexpr int kRewrite = O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  {
    std::lock_guard<std::mutex> g(m_lock);
    // A name this run has written already (the numbering started again).
    if (std::find(m_written.begin(), m_written.end(), path) != m_written.end()) {
      const int fd = open(path.c_str(), kRewrite);
      if (fd < 0) *error = std::strerror(errno);
      return fd;
    }
    for (const File& f : m_files) {
      if (f.target != path) continue;
      const int fd = open(f.temp.c_str(), kRewrite);
      if (fd < 0) *error = std::strerror(errno);
      return fd;
    }
    // Created new, or not at all: never through a link, never over a file.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      m_written.push_back(path);
      return fd;
    }
    if (errno != EEXIST) {
      *error = std::strerror(errno);
      return -1;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
      *error = std::strerror(errno);
      return -1;
    }
    *error = PictureRefusal(path, st, m_strSource, replace);
    if (!error->empty()) return -1;
  }
  // The user chose to replace it: the picture takes the name when the job
  // keeps its files.
  std::string why;
  const std::string temp = Reserve(path, &why);
  if (temp.empty()) {
    *error = why.empty() ? std::string("no temporary name") : why.substr(0, why.find('\n'));
    return -1;
  }
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (File& f : m_files)
      if (f.temp == temp) f.replace = true;
  }
  const int fd = open(temp.c_str(), kRewrite);
  if (fd < 0) *error = std::strerror(errno);
  return fd;
}

void CJobFiles::Release(File& file) {
  if (file.lock < 0) return;
  // The mark is the job's, not the kept file's.
  fremovexattr(file.lock, kTargetMark);
  close(file.lock);
  file.lock = -1;
}

std::string CJobFiles::Keep() { return KeepAll(-1.0); }

std::string CJobFiles::KeepStopped(double seconds) { return KeepAll(std::max(seconds, 0.0)); }

std::string CJobFiles::KeepAll(double stoppedAt) {
  std::string failure;
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_kept.clear();
    for (auto it = m_files.begin(); it != m_files.end(); ++it) {
      bool kept = false;
      std::string name = it->target;
      if (stoppedAt < 0 && (m_bReplace || it->replace)) {
        kept = std::rename(it->temp.c_str(), it->target.c_str()) == 0;
      } else if (stoppedAt < 0) {
        // Not asked to replace: a file that took the name meanwhile stays.
        kept = RenameNoReplace(it->temp, it->target);
        for (int n = 1; !kept && n < 100 && errno == EEXIST; ++n)
          kept = RenameNoReplace(it->temp, name = BesideName(it->target, std::string(), n));
      } else {
        // A stop never replaces what was there: the part goes beside it.
        if (!it->existed) kept = RenameNoReplace(it->temp, it->target);
        for (int n = 1; !kept && n < 100 && (it->existed || errno == EEXIST); ++n)
          kept = RenameNoReplace(it->temp, name = StoppedName(it->target, stoppedAt, n));
      }
      if (kept) {
        Release(*it);
        RemoveTemporary(it->temp);
        m_kept.emplace_back(it->target, name);
        continue;
      }
      failure = "Could not write '" + it->target + "': " + std::strerror(errno) + "\n";
      m_files.erase(m_files.begin(), it);
      break;
    }
    if (failure.empty()) {
      m_files.clear();
      m_written.clear();
    }
  }
  if (!failure.empty()) Discard();
  return failure;
}

void CJobFiles::Discard() {
  std::lock_guard<std::mutex> g(m_lock);
  for (File& file : m_files) {
    unlink(file.temp.c_str());
    Release(file);
    RemoveTemporary(file.temp);
  }
  m_files.clear();
  for (const std::string& path : m_written) unlink(path.c_str());
  m_written.clear();
}
