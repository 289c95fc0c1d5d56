// Output adapters of the still-image writer: every format writer and every
// codec library callback reaches its output through a CPictureFile, over a
// stdio stream or over a growing memory buffer.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/win32/Types.h"

class CPictureFile {
 public:
  CPictureFile() = default;
  virtual ~CPictureFile() = default;
  CPictureFile(const CPictureFile&) = delete;
  CPictureFile& operator=(const CPictureFile&) = delete;

  virtual bool Close() = 0;
  virtual size_t Read(void* buffer, size_t size, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t size, size_t count) = 0;
  // origin: SEEK_SET (0), SEEK_CUR (1), SEEK_END (2)
  virtual bool Seek(LONG offset, int origin) = 0;
  virtual LONG Tell() = 0;
  virtual LONG Size() = 0;
  virtual bool Flush() = 0;
  virtual bool Eof() = 0;
  virtual LONG Error() = 0;
  virtual bool PutC(BYTE c);
  virtual LONG GetC() = 0;
};

// Over a stdio stream; closes it on Close or destruction only when it owns it.
class CPictureStdioFile : public CPictureFile {
 public:
  explicit CPictureStdioFile(FILE* stream = nullptr, bool owns = false) : m_fp(stream), m_owns(owns) {}
  ~CPictureStdioFile() override;

  bool Close() override;
  size_t Read(void* buffer, size_t size, size_t count) override;
  size_t Write(const void* buffer, size_t size, size_t count) override;
  bool Seek(LONG offset, int origin) override;
  LONG Tell() override;
  LONG Size() override;
  bool Flush() override;
  bool Eof() override;
  LONG Error() override;
  bool PutC(BYTE c) override;
  LONG GetC() override;

 private:
  FILE* m_fp;
  bool m_owns;
};

// Over a memory buffer that grows in 4096-byte steps. A buffer given to the
// constructor is written in place while it is large enough; growing beyond it
// moves the data into a new block of the adapter's own and leaves the
// caller's buffer alone. A buffer obtained with GetBuffer(true) belongs to the
// caller, who frees it with std::free.
class CPictureMemFile : public CPictureFile {
 public:
  explicit CPictureMemFile(BYTE* buffer = nullptr, DWORD size = 0);
  ~CPictureMemFile() override;

  bool Open();
  BYTE* GetBuffer(bool detach = true);
  DWORD Capacity() const { return m_capacity; }

  bool Close() override;
  size_t Read(void* buffer, size_t size, size_t count) override;
  size_t Write(const void* buffer, size_t size, size_t count) override;
  bool Seek(LONG offset, int origin) override;
  LONG Tell() override;
  LONG Size() override;
  bool Flush() override;
  bool Eof() override;
  LONG Error() override;
  bool PutC(BYTE c) override;
  LONG GetC() override;

 private:
  bool Reserve(size_t needed);

  BYTE* m_buffer;
  LONG m_size;  // bytes of valid data
  bool m_owns;
  LONG m_position;
  DWORD m_capacity;
};
