#include "mp4/MP4ByteStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "foundation/BaseSplitterFile.h"

// ---------------------------------------------------------------------------
// MP4_ByteStream

MP4_Result MP4_ByteStream::ReadFully(void* buffer, MP4_Size count) {
  if (count == 0) return MP4_SUCCESS;
  MP4_Size got = 0;
  MP4_Result r = Read(buffer, count, &got);
  if (MP4_FAILED(r)) return r;
  return got == count ? MP4_SUCCESS : MP4_ERROR_EOS;
}

namespace {

// `bytes` big-endian bytes of the stream into `value`; 0 and the failure
// when they cannot all be read.
template <class T>
MP4_Result ReadBigEndian(MP4_ByteStream& stream, T& value, MP4_Size bytes) {
  MP4_Byte b[8];
  value = 0;
  MP4_Result r = stream.ReadFully(b, bytes);
  if (MP4_FAILED(r)) return r;
  MP4_UI64 v = 0;
  for (MP4_Size i = 0; i < bytes; i++) v = (v << 8) | b[i];
  value = static_cast<T>(v);
  return MP4_SUCCESS;
}

MP4_Result WriteBigEndian(MP4_ByteStream& stream, MP4_UI64 value, MP4_Size bytes) {
  MP4_Byte b[8];
  for (MP4_Size i = bytes; i > 0; i--, value >>= 8) b[i - 1] = static_cast<MP4_Byte>(value);
  return stream.WriteFully(b, bytes);
}

}  // namespace

MP4_Result MP4_ByteStream::ReadUI64(MP4_UI64& value) { return ReadBigEndian(*this, value, 8); }
MP4_Result MP4_ByteStream::ReadUI32(MP4_UI32& value) { return ReadBigEndian(*this, value, 4); }
MP4_Result MP4_ByteStream::ReadUI24(MP4_UI32& value) { return ReadBigEndian(*this, value, 3); }
MP4_Result MP4_ByteStream::ReadUI16(MP4_UI16& value) { return ReadBigEndian(*this, value, 2); }
MP4_Result MP4_ByteStream::ReadUI08(MP4_UI08& value) { return ReadBigEndian(*this, value, 1); }

MP4_Result MP4_ByteStream::ReadString(char* buffer, MP4_Size size) {
  if (!buffer || size == 0) return MP4_ERROR_INVALID_PARAMETERS;
  MP4_Size n = 0;
  while (n < size - 1) {
    MP4_Byte c = 0;
    MP4_Result r = ReadFully(&c, 1);
    if (MP4_FAILED(r)) {
      buffer[n] = 0;
      return r;
    }
    buffer[n++] = static_cast<char>(c);
    if (c == 0) return MP4_SUCCESS;
  }
  buffer[size - 1] = 0;
  return MP4_SUCCESS;
}

MP4_Result MP4_ByteStream::WriteFully(const void* buffer, MP4_Size count) {
  if (count == 0) return MP4_SUCCESS;
  MP4_Size done = 0;
  MP4_Result r = Write(buffer, count, &done);
  if (MP4_FAILED(r)) return r;
  return done == count ? MP4_SUCCESS : MP4_ERROR_WRITE_FAILED;
}

MP4_Result MP4_ByteStream::WriteString(const char* text) {
  if (!text || !*text) return MP4_SUCCESS;
  return WriteFully(text, static_cast<MP4_Size>(std::strlen(text)));
}

MP4_Result MP4_ByteStream::WriteUI64(MP4_UI64 value) { return WriteBigEndian(*this, value, 8); }
MP4_Result MP4_ByteStream::WriteUI32(MP4_UI32 value) { return WriteBigEndian(*this, value, 4); }
MP4_Result MP4_ByteStream::WriteUI24(MP4_UI32 value) { return WriteBigEndian(*this, value, 3); }
MP4_Result MP4_ByteStream::WriteUI16(MP4_UI16 value) { return WriteBigEndian(*this, value, 2); }
MP4_Result MP4_ByteStream::WriteUI08(MP4_UI08 value) { return WriteBigEndian(*this, value, 1); }

MP4_LargeSize MP4_ByteStream::GetRemaining() {
  MP4_Position pos = 0;
  MP4_LargeSize size = 0;
  if (MP4_FAILED(Tell(pos)) || MP4_FAILED(GetSize(size)) || pos >= size) return 0;
  return size - pos;
}

MP4_Result MP4_ByteStream::CopyTo(MP4_ByteStream& target, MP4_LargeSize size) {
  MP4_Byte buffer[4096];
  while (size > 0) {
    const MP4_Size chunk = static_cast<MP4_Size>(std::min<MP4_LargeSize>(sizeof(buffer), size));
    MP4_Size got = 0;
    MP4_Result r = Read(buffer, chunk, &got);
    if (MP4_FAILED(r)) return r;
    if (got == 0) return MP4_ERROR_EOS;
    r = target.WriteFully(buffer, got);
    if (MP4_FAILED(r)) return r;
    size -= got;
  }
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_AsyncReaderStream

MP4_Result MP4_AsyncReaderStream::Read(void* buffer, MP4_Size count, MP4_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (count == 0) return MP4_SUCCESS;
  const LONGLONG available = std::max<LONGLONG>(0, m_File->GetLength() - m_File->GetPos());
  if (available == 0) return MP4_ERROR_EOS;
  if (static_cast<LONGLONG>(count) > available) count = static_cast<MP4_Size>(available);
  if (m_File->ByteRead(static_cast<BYTE*>(buffer), count) != S_OK) return MP4_ERROR_READ_FAILED;
  if (bytes_read) *bytes_read = count;
  return MP4_SUCCESS;
}

MP4_Result MP4_AsyncReaderStream::Write(const void*, MP4_Size, MP4_Size* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  return MP4_ERROR_WRITE_FAILED;
}

MP4_Result MP4_AsyncReaderStream::Seek(MP4_Position position) {
  // Past the end fails where it stands, as the other streams do.
  if (position > static_cast<MP4_Position>(std::max<LONGLONG>(0, m_File->GetLength()))) return MP4_FAILURE;
  m_File->Seek(static_cast<LONGLONG>(position));
  return m_File->GetPos() == static_cast<LONGLONG>(position) ? MP4_SUCCESS : MP4_FAILURE;
}

MP4_Result MP4_AsyncReaderStream::Tell(MP4_Position& position) {
  position = static_cast<MP4_Position>(std::max<LONGLONG>(0, m_File->GetPos()));
  return MP4_SUCCESS;
}

MP4_Result MP4_AsyncReaderStream::GetSize(MP4_LargeSize& size) {
  size = static_cast<MP4_LargeSize>(std::max<LONGLONG>(0, m_File->GetLength()));
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_SubStream

MP4_SubStream::MP4_SubStream(MP4_ByteStream& container, MP4_Position offset, MP4_LargeSize size)
    : m_Container(container), m_Offset(offset), m_Size(size) {
  m_Container.AddReference();
}

MP4_SubStream::~MP4_SubStream() { m_Container.Release(); }

MP4_Result MP4_SubStream::Read(void* buffer, MP4_Size count, MP4_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (count == 0) return MP4_SUCCESS;
  const MP4_LargeSize left = m_Position < m_Size ? m_Size - m_Position : 0;
  if (left == 0) return MP4_ERROR_EOS;
  if (count > left) count = static_cast<MP4_Size>(left);
  // The container may have been moved by another reader since.
  MP4_Result r = m_Container.Seek(m_Offset + m_Position);
  if (MP4_FAILED(r)) return r;
  MP4_Size got = 0;
  r = m_Container.Read(buffer, count, &got);
  if (MP4_FAILED(r)) return r;
  m_Position += got;
  if (bytes_read) *bytes_read = got;
  return MP4_SUCCESS;
}

MP4_Result MP4_SubStream::Write(const void* buffer, MP4_Size count, MP4_Size* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  if (count == 0) return MP4_SUCCESS;
  const MP4_LargeSize left = m_Position < m_Size ? m_Size - m_Position : 0;
  if (left == 0) return MP4_ERROR_EOS;
  if (count > left) count = static_cast<MP4_Size>(left);
  MP4_Result r = m_Container.Seek(m_Offset + m_Position);
  if (MP4_FAILED(r)) return r;
  MP4_Size done = 0;
  r = m_Container.Write(buffer, count, &done);
  if (MP4_FAILED(r)) return r;
  m_Position += done;
  if (bytes_written) *bytes_written = done;
  return MP4_SUCCESS;
}

MP4_Result MP4_SubStream::Seek(MP4_Position position) {
  if (position > m_Size) return MP4_FAILURE;
  MP4_Result r = m_Container.Seek(m_Offset + position);
  if (MP4_SUCCEEDED(r)) m_Position = position;
  return r;
}

MP4_Result MP4_SubStream::Tell(MP4_Position& position) {
  position = m_Position;
  return MP4_SUCCESS;
}

MP4_Result MP4_SubStream::GetSize(MP4_LargeSize& size) {
  size = m_Size;
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_MemoryByteStream

MP4_MemoryByteStream::MP4_MemoryByteStream(const MP4_Byte* buffer, MP4_LargeSize size)
    : m_Buffer(buffer), m_Size(buffer ? size : 0) {}

MP4_MemoryByteStream::MP4_MemoryByteStream(std::vector<MP4_Byte>&& owned)
    : m_Owned(std::move(owned)), m_Buffer(m_Owned.data()), m_Size(m_Owned.size()) {}

MP4_MemoryByteStream::MP4_MemoryByteStream() : m_Buffer(nullptr), m_Size(0), m_Growable(true) {}

MP4_Result MP4_MemoryByteStream::Read(void* buffer, MP4_Size count, MP4_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (count == 0) return MP4_SUCCESS;
  const MP4_LargeSize left = m_Position < m_Size ? m_Size - m_Position : 0;
  if (left == 0) return MP4_ERROR_EOS;
  if (count > left) count = static_cast<MP4_Size>(left);
  std::memcpy(buffer, m_Buffer + m_Position, count);
  m_Position += count;
  if (bytes_read) *bytes_read = count;
  return MP4_SUCCESS;
}

MP4_Result MP4_MemoryByteStream::Write(const void* buffer, MP4_Size count, MP4_Size* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  if (count == 0) return MP4_SUCCESS;
  if (m_Growable && m_Position + count > m_Size) {
    try {
      m_Owned.resize(m_Position + count);
    } catch (const std::bad_alloc&) {
      return MP4_ERROR_OUT_OF_MEMORY;
    }
    m_Buffer = m_Owned.data();
    m_Size = m_Owned.size();
  }
  // Someone else's memory is only read; an owned block is written in place.
  if (!m_Growable && m_Owned.empty()) return MP4_ERROR_WRITE_FAILED;
  const MP4_LargeSize left = m_Position < m_Size ? m_Size - m_Position : 0;
  if (left == 0) return MP4_ERROR_EOS;
  if (count > left) count = static_cast<MP4_Size>(left);
  std::memcpy(m_Owned.data() + m_Position, buffer, count);
  m_Position += count;
  if (bytes_written) *bytes_written = count;
  return MP4_SUCCESS;
}

MP4_Result MP4_MemoryByteStream::Seek(MP4_Position position) {
  if (position > m_Size) return MP4_FAILURE;
  m_Position = position;
  return MP4_SUCCESS;
}

MP4_Result MP4_MemoryByteStream::Tell(MP4_Position& position) {
  position = m_Position;
  return MP4_SUCCESS;
}

MP4_Result MP4_MemoryByteStream::GetSize(MP4_LargeSize& size) {
  size = m_Size;
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_FieldReader

bool MP4_FieldReader::Take(MP4_Size count) {
  if (m_Failed || m_Left < count) {
    m_Failed = true;
    m_Left = 0;
    return false;
  }
  m_Left -= count;
  return true;
}

template <class T>
T MP4_FieldReader::Typed(MP4_Size size, MP4_Result (MP4_ByteStream::*read)(T&)) {
  T v = 0;
  if (Take(size) && MP4_FAILED((m_Stream.*read)(v))) m_Failed = true;
  return v;
}

MP4_UI08 MP4_FieldReader::UI08() { return Typed<MP4_UI08>(1, &MP4_ByteStream::ReadUI08); }
MP4_UI16 MP4_FieldReader::UI16() { return Typed<MP4_UI16>(2, &MP4_ByteStream::ReadUI16); }
MP4_UI32 MP4_FieldReader::UI24() { return Typed<MP4_UI32>(3, &MP4_ByteStream::ReadUI24); }
MP4_UI32 MP4_FieldReader::UI32() { return Typed<MP4_UI32>(4, &MP4_ByteStream::ReadUI32); }
MP4_UI64 MP4_FieldReader::UI64() { return Typed<MP4_UI64>(8, &MP4_ByteStream::ReadUI64); }

bool MP4_FieldReader::Bytes(void* buffer, MP4_Size count) {
  if (count == 0) return !m_Failed;
  if (!Take(count) || MP4_FAILED(m_Stream.ReadFully(buffer, count))) {
    m_Failed = true;
    std::memset(buffer, 0, count);
    return false;
  }
  return true;
}

bool MP4_FieldReader::Skip(MP4_LargeSize count) {
  if (m_Failed || m_Left < count) {
    m_Failed = true;
    m_Left = 0;
    return false;
  }
  MP4_Position pos = 0;
  if (MP4_FAILED(m_Stream.Tell(pos)) || MP4_FAILED(m_Stream.Seek(pos + count))) {
    m_Failed = true;
    return false;
  }
  m_Left -= count;
  return true;
}

std::vector<MP4_Byte> MP4_FieldReader::Rest(MP4_LargeSize limit) {
  std::vector<MP4_Byte> out;
  // Never more than the stream holds, whatever the atom claims.
  const MP4_LargeSize n = std::min({m_Left, limit, m_Stream.GetRemaining()});
  if (m_Failed || n == 0) return out;
  try {
    out.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    m_Failed = true;
    return {};
  }
  MP4_Size got = 0;
  if (MP4_FAILED(m_Stream.Read(out.data(), static_cast<MP4_Size>(n), &got))) got = 0;
  out.resize(got);
  m_Left -= got;
  return out;
}
