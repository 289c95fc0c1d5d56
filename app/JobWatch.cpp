#include "app/JobWatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

template <class... Args>
std::string Text(const char* format, Args... args) {
  char text[200];
  std::snprintf(text, sizeof(text), format, args...);
  return text;
}

}  // namespace

namespace {

void Fill(const struct stat& st, bool* known, dev_t* dev, ino_t* ino, off_t* size, long long* mtimeNs) {
  *known = true;
  *dev = st.st_dev;
  *ino = st.st_ino;
  *size = st.st_size;
  *mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

}  // namespace

CJobWatch::Identity CJobWatch::IdentityOf(const std::string& path) {
  Identity id;
  struct stat st {};
  if (!path.empty() && stat(path.c_str(), &st) == 0) Fill(st, &id.known, &id.dev, &id.ino, &id.size, &id.mtimeNs);
  return id;
}

CJobWatch::Identity CJobWatch::ReadNow() const {
  Identity id;
  struct stat st {};
  if (m_fd < 0) return IdentityOf(m_strSource);
  if (fstat(m_fd, &st) == 0) Fill(st, &id.known, &id.dev, &id.ino, &id.size, &id.mtimeNs);
  return id;
}

void CJobWatch::Start(const std::string& source, double length, DWORD now) {
  Close();
  m_strSource = source;
  m_source = IdentityOf(source);
  // A source that is no plain file (a disc track, a stream) is judged by
  // its name alone.
  struct stat st {};
  if (m_source.known && stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    m_fd = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  m_fLength = length;
  m_fLastPosition = -1;
  m_dwLastMove = now;
}

void CJobWatch::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool CJobWatch::Stalled(double position, DWORD now) {
  // A sink that cannot tell gives nothing to judge by.
  if (position < 0 || position > m_fLastPosition) {
    m_fLastPosition = std::max(position, m_fLastPosition);
    m_dwLastMove = now;
    return false;
  }
  return now - m_dwLastMove >= kStallMs;
}

std::string CJobWatch::StallText() const {
  const double at = std::max(m_fLastPosition, 0.0);
  const unsigned seconds = kStallMs / 1000;
  if (m_fLength > 1.0)
    return Text("The conversion made no progress for %u s at %.1f s of %.1f s\n", seconds, at, m_fLength);
  return Text("The conversion made no progress for %u s at %.1f s\n", seconds, at);
}

CJobWatch::Ending CJobWatch::Check(double converted) const {
  if (converted < 0 || m_fLength <= 1.0) return kWhole;
  // Probes estimate some lengths (a program stream's from its time stamps,
  // VBR sound from its bit rate): small shortfalls are theirs.
  const double slack = std::max(1.0, m_fLength * 0.02);
  if (converted >= m_fLength - slack) return kWhole;
  return ReadNow() == m_source ? kShort : kSourceChanged;
}

std::string CJobWatch::AfterReadText() const {
  // Only a file held open was read whole whatever became of its name.
  if (m_fd < 0 || !m_source.known || !(ReadNow() == m_source)) return std::string();
  const Identity named = IdentityOf(m_strSource);
  if (named.SameFile(m_source)) return std::string();
  return std::string("The source file was ") + (named.known ? "replaced by another file" : "removed") +
         " after it was read; the target was made from the file as it was read\n";
}

std::string CJobWatch::EndingText(Ending ending, double converted) const {
  if (ending == kSourceChanged)
    return Text("The source file changed while it was converted: it ended at %.1f s of the %.1f s expected\n",
                   converted, m_fLength);
  if (ending == kShort)
    return Text("The source ended at %.1f s of the %.1f s expected; the target holds what was converted\n",
                   converted, m_fLength);
  return std::string();
}
