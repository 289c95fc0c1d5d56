#include "sources/d2v/D2VInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

CD2VInput::~CD2VInput() {
  for (int fd : m_files) ::close(fd);
}

bool CD2VInput::Open(const std::vector<std::string>& paths, std::string& error) {
  for (const std::string& path : paths) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    m_files.push_back(fd);
  }
  return !m_files.empty();
}

void CD2VInput::Seek(size_t file, uint64_t offset) {
  m_current = std::min(file, m_files.size());
  // A position past its file's end names no data there; reading on from
  // the next file would give pictures of another place.
  struct stat st {};
  m_end = m_current >= m_files.size() || ::fstat(m_files[m_current], &st) != 0 ||
          offset >= static_cast<uint64_t>(st.st_size) ||
          ::lseek(m_files[m_current], static_cast<off_t>(offset), SEEK_SET) < 0;
  m_rawPos = m_rawEnd = 0;
  m_payloadLeft = 0;
  m_esPos = m_esEnd = 0;
  m_consumed = 0;
}

size_t CD2VInput::ReadRaw(uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n && !m_end) {
    const ssize_t r = ::read(m_files[m_current], dst + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    // This file is done (or unreadable): the stream goes on in the next
    // one; after the last one there is nothing more.
    if (++m_current >= m_files.size() || ::lseek(m_files[m_current], 0, SEEK_SET) < 0) m_end = true;
  }
  return got;
}

bool CD2VInput::RefillRaw() {
  if (m_raw.size() < kReadSize) m_raw.resize(kReadSize);
  m_rawPos = 0;
  m_rawEnd = ReadRaw(m_raw.data(), kReadSize);
  return m_rawEnd > 0;
}

int CD2VInput::RawByte() {
  if (m_rawPos == m_rawEnd && !RefillRaw()) return -1;
  return m_raw[m_rawPos++];
}

void CD2VInput::RawSkip(size_t n) {
  while (n > 0) {
    if (m_rawPos == m_rawEnd && !RefillRaw()) return;
    const size_t k = std::min(n, m_rawEnd - m_rawPos);
    m_rawPos += k;
    n -= k;
  }
}

bool CD2VInput::DemuxSome(size_t room) {
  uint32_t shift = 0xFFFFFFFF;
  for (;;) {
    if (m_payloadLeft > 0) {
      if (m_rawPos == m_rawEnd && !RefillRaw()) return false;
      const size_t k = static_cast<size_t>(std::min<uint64_t>({m_payloadLeft, m_rawEnd - m_rawPos, room}));
      std::memcpy(m_es.data() + m_esEnd, m_raw.data() + m_rawPos, k);
      m_esEnd += k;
      m_rawPos += k;
      m_payloadLeft -= k;
      return true;
    }
    const int b = RawByte();
    if (b < 0) return false;
    shift = shift << 8 | static_cast<uint32_t>(b);
    if ((shift & 0xFFFFFF00) != 0x00000100) continue;
    const uint8_t code = static_cast<uint8_t>(shift);
    shift = 0xFFFFFFFF;
    if (code == 0xBA) {
      RawSkip(8);  // the rest of the pack header is scanned past
    } else if (code == 0xE0) {
      const int hi = RawByte(), lo = RawByte(), flags = RawByte();
      if (hi < 0 || lo < 0 || flags < 0) return false;
      const int length = hi << 8 | lo;
      if ((flags & 0xC0) == 0x80) {
        const int flags2 = RawByte(), headerLength = RawByte();
        if (flags2 < 0 || headerLength < 0) return false;
        RawSkip(static_cast<size_t>(headerLength));
        m_payloadLeft = static_cast<uint64_t>(std::max(0, length - 3 - headerLength));
      } else {
        // MPEG-1 packets are not read.
        RawSkip(static_cast<size_t>(std::max(0, length - 1)));
      }
    } else if (code >= 0xBB) {
      const int hi = RawByte(), lo = RawByte();
      if (hi < 0 || lo < 0) return false;
      RawSkip(static_cast<size_t>(hi << 8 | lo));
    }
  }
}

bool CD2VInput::FillEs() {
  // Keep what is not consumed at the front, then append.
  if (m_esPos > 0) {
    std::memmove(m_es.data(), m_es.data() + m_esPos, m_esEnd - m_esPos);
    m_esEnd -= m_esPos;
    m_consumed += m_esPos;
    m_esPos = 0;
  }
  if (m_es.size() < m_esEnd + kReadSize) m_es.resize(std::max(m_es.size() * 2, m_esEnd + kReadSize));
  const size_t room = m_es.size() - m_esEnd;
  if (!m_programStream) {
    const size_t n = ReadRaw(m_es.data() + m_esEnd, room);
    m_esEnd += n;
    return n > 0;
  }
  return DemuxSome(room);
}

bool CD2VInput::NextStartCode(uint8_t& code) {
  for (;;) {
    // A prefix needs three bytes and the code one more.
    size_t i = m_esPos + 2;
    while (i + 1 < m_esEnd) {
      const void* hit = std::memchr(m_es.data() + i, 0x01, m_esEnd - 1 - i);
      if (!hit) {
        i = m_esEnd - 1;
        break;
      }
      i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - m_es.data());
      if (m_es[i - 1] == 0 && m_es[i - 2] == 0) {
        code = m_es[i + 1];
        m_esPos = i + 2;
        return true;
      }
      ++i;
    }
    // Keep the last bytes, which may begin a prefix.
    if (m_esEnd - m_esPos > 3) m_esPos = m_esEnd - 3;
    if (!FillEs()) return false;
  }
}

void CD2VInput::Unit(const uint8_t*& data, size_t& size) {
  size_t from = m_esPos;
  for (;;) {
    size_t i = from + 2;
    while (i < m_esEnd) {
      const void* hit = std::memchr(m_es.data() + i, 0x01, m_esEnd - i);
      if (!hit) break;
      i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - m_es.data());
      if (m_es[i - 1] == 0 && m_es[i - 2] == 0) {
        data = m_es.data() + m_esPos;
        size = i - 2 - m_esPos;
        m_esPos = i - 2;
        return;
      }
      ++i;
    }
    if (m_esEnd - m_esPos >= kMaxUnit) break;
    from = m_esEnd >= m_esPos + 2 ? m_esEnd - 2 : m_esPos;
    const size_t offset = from - m_esPos;
    if (!FillEs()) break;
    from = m_esPos + offset;
  }
  // The data ended (or the unit is too long): all that is here.
  data = m_es.data() + m_esPos;
  size = m_esEnd - m_esPos;
  m_esPos = m_esEnd;
}
