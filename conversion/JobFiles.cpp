#include "conversion/JobFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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

void CJobFiles::SetSource(const std::string& source) {
  std::lock_guard<std::mutex> g(m_lock);
  m_strSource = source;
}

std::string CJobFiles::Reserve(const std::string& target, std::string* error) {
  std::lock_guard<std::mutex> g(m_lock);
  struct stat st {};
  if (SameFile(m_strSource, target)) {
    *error = "The target is the source file itself: " + target + "\n";
    return std::string();
  }
  if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = "The target is not a regular file: " + target + "\n";
    return std::string();
  }
  // A free name beside the target; a file already there is someone's.
  for (int n = 1; n < 100; ++n) {
    const std::string temp = target + (n == 1 ? std::string() : "." + std::to_string(n)) + ".part";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      m_files.emplace_back(temp, target);
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

std::string CJobFiles::Keep() {
  std::string failure;
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto it = m_files.begin(); it != m_files.end(); ++it) {
      if (std::rename(it->first.c_str(), it->second.c_str()) == 0) continue;
      failure = "Could not write '" + it->second + "': " + std::strerror(errno) + "\n";
      m_files.erase(m_files.begin(), it);
      break;
    }
    if (failure.empty()) m_files.clear();
  }
  if (!failure.empty()) Discard();
  return failure;
}

void CJobFiles::Discard() {
  std::lock_guard<std::mutex> g(m_lock);
  for (const auto& file : m_files) unlink(file.first.c_str());
  m_files.clear();
}
