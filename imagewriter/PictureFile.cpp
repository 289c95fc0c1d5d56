#include "imagewriter/PictureFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

bool CPictureFile::PutC(BYTE c) { return Write(&c, 1, 1) == 1; }

// ---------------------------------------------------------------------------
// CPictureStdioFile

CPictureStdioFile::~CPictureStdioFile() {
  if (m_fp && m_owns) std::fclose(m_fp);
}

bool CPictureStdioFile::Close() {
  if (!m_fp) return true;
  bool ok = true;
  if (m_owns) ok = std::fclose(m_fp) == 0;
  m_fp = nullptr;
  return ok;
}

size_t CPictureStdioFile::Read(void* buffer, size_t size, size_t count) {
  if (!m_fp || !buffer) return 0;
  return std::fread(buffer, size, count, m_fp);
}

size_t CPictureStdioFile::Write(const void* buffer, size_t size, size_t count) {
  if (!m_fp || !buffer) return 0;
  return std::fwrite(buffer, size, count, m_fp);
}

bool CPictureStdioFile::Seek(LONG offset, int origin) {
  if (!m_fp) return false;
  return std::fseek(m_fp, offset, origin) == 0;
}

LONG CPictureStdioFile::Tell() {
  if (!m_fp) return 0;
  const long pos = std::ftell(m_fp);
  // Positions past the 32-bit range cannot be told truthfully.
  return (pos < 0 || pos > INT32_MAX) ? -1 : static_cast<LONG>(pos);
}

LONG CPictureStdioFile::Size() {
  if (!m_fp) return -1;
  const long pos = std::ftell(m_fp);
  if (pos < 0 || std::fseek(m_fp, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(m_fp);
  std::fseek(m_fp, pos, SEEK_SET);
  return (size < 0 || size > INT32_MAX) ? -1 : static_cast<LONG>(size);
}

bool CPictureStdioFile::Flush() { return m_fp && std::fflush(m_fp) == 0; }

bool CPictureStdioFile::Eof() { return !m_fp || std::feof(m_fp) != 0; }

LONG CPictureStdioFile::Error() { return m_fp ? std::ferror(m_fp) : -1; }

bool CPictureStdioFile::PutC(BYTE c) { return m_fp && std::fputc(c, m_fp) == c; }

LONG CPictureStdioFile::GetC() { return m_fp ? std::fgetc(m_fp) : -1; }

// ---------------------------------------------------------------------------
// CPictureMemFile

CPictureMemFile::CPictureMemFile(BYTE* buffer, DWORD size)
    : m_buffer(buffer),
      m_size(buffer ? static_cast<LONG>(std::min<DWORD>(size, INT32_MAX)) : 0),
      m_owns(buffer == nullptr),
      m_position(0),
      m_capacity(buffer ? static_cast<DWORD>(m_size) : 0) {}

CPictureMemFile::~CPictureMemFile() {
  if (m_owns) std::free(m_buffer);
}

bool CPictureMemFile::Open() {
  if (m_buffer) return false;
  m_buffer = static_cast<BYTE*>(std::malloc(1));
  m_owns = true;
  m_size = 0;
  m_capacity = 0;
  m_position = 0;
  return m_buffer != nullptr;
}

BYTE* CPictureMemFile::GetBuffer(bool detach) {
  // Keeping the buffer never makes the adapter the owner of a caller's block.
  m_owns = m_owns && !detach;
  return m_buffer;
}

bool CPictureMemFile::Close() {
  if (m_owns) std::free(m_buffer);
  m_buffer = nullptr;
  m_size = 0;
  m_position = 0;
  m_capacity = 0;
  return true;
}

bool CPictureMemFile::Reserve(size_t needed) {
  if (needed <= m_capacity) return true;
  const size_t capacity = needed / 4096 * 4096 + 4096;
  if (capacity > UINT32_MAX) return false;
  BYTE* grown;
  if (m_owns) {
    grown = static_cast<BYTE*>(std::realloc(m_buffer, capacity));
    if (!grown) return false;
  } else {
    // A caller's buffer cannot be reallocated: the data moves to a block of
    // our own and the caller's memory is left as it is.
    grown = static_cast<BYTE*>(std::malloc(capacity));
    if (!grown) return false;
    if (m_buffer && m_size > 0) std::memcpy(grown, m_buffer, std::min<size_t>(m_size, m_capacity));
  }
  m_buffer = grown;
  m_owns = true;
  m_capacity = static_cast<DWORD>(capacity);
  return true;
}

size_t CPictureMemFile::Write(const void* buffer, size_t size, size_t count) {
  if (!m_buffer || !buffer || size == 0 || count == 0) return 0;
  if (count > SIZE_MAX / size) return 0;
  const uint64_t n = static_cast<uint64_t>(size) * count;
  const uint64_t end = static_cast<uint64_t>(m_position) + n;
  // Positions are 32-bit: data that would end past that range is refused.
  if (end > INT32_MAX) return 0;
  if (!Reserve(static_cast<size_t>(end))) return 0;
  // After a seek past the end the gap becomes part of the data; it must not
  // be whatever the allocator left there.
  if (m_position > m_size) std::memset(m_buffer + m_size, 0, static_cast<size_t>(m_position - m_size));
  std::memcpy(m_buffer + m_position, buffer, static_cast<size_t>(n));
  m_position = static_cast<LONG>(end);
  m_size = std::max(m_size, m_position);
  return count;
}

bool CPictureMemFile::PutC(BYTE c) { return Write(&c, 1, 1) == 1; }

size_t CPictureMemFile::Read(void* buffer, size_t size, size_t count) {
  if (!m_buffer || !buffer || size == 0 || m_position >= m_size) return 0;
  const size_t wanted = count > SIZE_MAX / size ? SIZE_MAX : size * count;
  const size_t bytes = std::min<size_t>(wanted, static_cast<size_t>(m_size - m_position));
  std::memcpy(buffer, m_buffer + m_position, bytes);
  m_position += static_cast<LONG>(bytes);
  return bytes / size;
}

bool CPictureMemFile::Seek(LONG offset, int origin) {
  int64_t base;
  switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = m_position; break;
    case SEEK_END: base = m_size; break;
    default: return false;
  }
  int64_t target = base + offset;
  if (target < 0) target = 0;
  if (target > INT32_MAX) return false;
  m_position = static_cast<LONG>(target);
  return true;
}

LONG CPictureMemFile::Tell() { return m_buffer ? m_position : -1; }

LONG CPictureMemFile::Size() { return m_buffer ? m_size : -1; }

bool CPictureMemFile::Flush() { return m_buffer != nullptr; }

bool CPictureMemFile::Eof() { return !m_buffer || m_position >= m_size; }

LONG CPictureMemFile::Error() {
  if (!m_buffer) return -1;
  return m_position > m_size ? 1 : 0;
}

LONG CPictureMemFile::GetC() {
  if (Eof()) return -1;
  return m_buffer[m_position++];
}
