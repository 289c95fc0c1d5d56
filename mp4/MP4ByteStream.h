// Byte streams through which every atom is read (and could be written):
// big-endian typed reads and writes over three back-ends, the splitter's
// file reader, a window of another stream and a block of memory.
#pragma once

#include <vector>

#include "mp4/MP4Base.h"

class CBaseSplitterFile;

class MP4_ByteStream : public MP4_Referenceable {
 public:
  void AddReference() override { m_ReferenceCount.fetch_add(1, std::memory_order_relaxed); }
  void Release() override {
    if (m_ReferenceCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Reads up to `count` bytes; the number read goes to bytes_read. End of
  // stream (nothing left) is MP4_ERROR_EOS.
  virtual MP4_Result Read(void* buffer, MP4_Size count, MP4_Size* bytes_read = nullptr) = 0;
  // Typed big-endian reads: all of their bytes or a failure (value 0).
  MP4_Result ReadUI64(MP4_UI64& value);
  MP4_Result ReadUI32(MP4_UI32& value);
  MP4_Result ReadUI24(MP4_UI32& value);
  MP4_Result ReadUI16(MP4_UI16& value);
  MP4_Result ReadUI08(MP4_UI08& value);
  // Exactly `count` bytes or a failure.
  MP4_Result ReadFully(void* buffer, MP4_Size count);
  // At most size - 1 bytes up to and including a zero byte; always ends the
  // buffer with a zero.
  MP4_Result ReadString(char* buffer, MP4_Size size);

  virtual MP4_Result Write(const void* buffer, MP4_Size count, MP4_Size* bytes_written = nullptr) = 0;
  MP4_Result WriteFully(const void* buffer, MP4_Size count);
  MP4_Result WriteString(const char* text);
  MP4_Result WriteUI64(MP4_UI64 value);
  MP4_Result WriteUI32(MP4_UI32 value);
  MP4_Result WriteUI24(MP4_UI32 value);
  MP4_Result WriteUI16(MP4_UI16 value);
  MP4_Result WriteUI08(MP4_UI08 value);

  virtual MP4_Result Seek(MP4_Position position) = 0;
  virtual MP4_Result Tell(MP4_Position& position) = 0;
  virtual MP4_Result GetSize(MP4_LargeSize& size) = 0;
  // Bytes from the position to the end (0 when the size is unknown).
  MP4_LargeSize GetRemaining();

  // Copies `size` bytes from the position into `target`.
  MP4_Result CopyTo(MP4_ByteStream& target, MP4_LargeSize size);

 protected:
  ~MP4_ByteStream() override = default;

 private:
  std::atomic<int> m_ReferenceCount{1};
};

// Over the splitter's file reader, which must outlive the stream. Writes
// fail.
class MP4_AsyncReaderStream final : public MP4_ByteStream {
 public:
  explicit MP4_AsyncReaderStream(CBaseSplitterFile* file) : m_File(file) {}

  MP4_Result Read(void* buffer, MP4_Size count, MP4_Size* bytes_read = nullptr) override;
  MP4_Result Write(const void* buffer, MP4_Size count, MP4_Size* bytes_written = nullptr) override;
  MP4_Result Seek(MP4_Position position) override;
  MP4_Result Tell(MP4_Position& position) override;
  MP4_Result GetSize(MP4_LargeSize& size) override;

 private:
  CBaseSplitterFile* m_File;
};

// A window of `size` bytes at `offset` of another stream (one reference held).
class MP4_SubStream final : public MP4_ByteStream {
 public:
  MP4_SubStream(MP4_ByteStream& container, MP4_Position offset, MP4_LargeSize size);

  MP4_Result Read(void* buffer, MP4_Size count, MP4_Size* bytes_read = nullptr) override;
  MP4_Result Write(const void* buffer, MP4_Size count, MP4_Size* bytes_written = nullptr) override;
  MP4_Result Seek(MP4_Position position) override;
  MP4_Result Tell(MP4_Position& position) override;
  MP4_Result GetSize(MP4_LargeSize& size) override;

 private:
  ~MP4_SubStream() override;

  MP4_ByteStream& m_Container;
  MP4_Position m_Offset;
  MP4_LargeSize m_Size;
  MP4_Position m_Position = 0;
};

// Over a block of memory: either someone else's (which must outlive the
// stream) or its own (a buffer handed over, or a growable one for writing).
class MP4_MemoryByteStream final : public MP4_ByteStream {
 public:
  MP4_MemoryByteStream(const MP4_Byte* buffer, MP4_LargeSize size);
  explicit MP4_MemoryByteStream(std::vector<MP4_Byte>&& owned);
  // An empty owned buffer that writes extend.
  MP4_MemoryByteStream();

  MP4_Result Read(void* buffer, MP4_Size count, MP4_Size* bytes_read = nullptr) override;
  MP4_Result Write(const void* buffer, MP4_Size count, MP4_Size* bytes_written = nullptr) override;
  MP4_Result Seek(MP4_Position position) override;
  MP4_Result Tell(MP4_Position& position) override;
  MP4_Result GetSize(MP4_LargeSize& size) override;

  // The owned bytes (empty for a stream over someone else's memory).
  const std::vector<MP4_Byte>& GetOwnedData() const { return m_Owned; }

 private:
  std::vector<MP4_Byte> m_Owned;
  const MP4_Byte* m_Buffer;
  MP4_LargeSize m_Size;
  MP4_Position m_Position = 0;
  bool m_Growable = false;
};

// Reads the fixed fields of an atom without passing its end: a read that
// would gives 0 and marks the reader failed, so a short atom cannot take
// its values from the atom behind it.
class MP4_FieldReader {
 public:
  MP4_FieldReader(MP4_ByteStream& stream, MP4_LargeSize bytes) : m_Stream(stream), m_Left(bytes) {}

  MP4_UI08 UI08();
  MP4_UI16 UI16();
  MP4_UI32 UI24();
  MP4_UI32 UI32();
  MP4_UI64 UI64();
  // `count` bytes into `buffer`; zeros where they cannot be read.
  bool Bytes(void* buffer, MP4_Size count);
  bool Skip(MP4_LargeSize count);
  // Every byte that is left, at most `limit`.
  std::vector<MP4_Byte> Rest(MP4_LargeSize limit = 64u << 20);

  MP4_LargeSize Left() const { return m_Left; }
  bool Failed() const { return m_Failed; }

 private:
  bool Take(MP4_Size count);
  template <class T>
  T Typed(MP4_Size size, MP4_Result (MP4_ByteStream::*read)(T&));

  MP4_ByteStream& m_Stream;
  MP4_LargeSize m_Left;
  bool m_Failed = false;
};
