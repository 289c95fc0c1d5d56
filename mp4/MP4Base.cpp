#include "mp4/MP4Base.h"

#include <cstring>
#include <limits>

MP4_UI64 ConvertTime(MP4_UI64 value, MP4_UI32 from_scale, MP4_UI32 to_scale) {
  if (from_scale == 0) return 0;
  // In integers: a single-precision ratio puts 600 units at 600/s one
  // millisecond early, and seeks then land a sample early.
  const unsigned __int128 r = static_cast<unsigned __int128>(value) * to_scale / from_scale;
  return r > std::numeric_limits<MP4_UI64>::max() ? std::numeric_limits<MP4_UI64>::max() : static_cast<MP4_UI64>(r);
}

MP4_UI32 DurationMsFromUnits(MP4_UI64 units, MP4_UI32 scale) {
  if (scale == 0) return 0;
  return static_cast<MP4_UI32>(ConvertTime(units, scale, 1000));
}

void FormatFourChars(char* buffer, MP4_UI32 type) {
  buffer[0] = static_cast<char>(type >> 24);
  buffer[1] = static_cast<char>(type >> 16);
  buffer[2] = static_cast<char>(type >> 8);
  buffer[3] = static_cast<char>(type);
  buffer[4] = 0;
}

std::string FourCharsToString(MP4_UI32 type) {
  char text[5];
  FormatFourChars(text, type);
  return std::string(text, 4);
}

// ---------------------------------------------------------------------------
// MP4_DataBuffer

MP4_DataBuffer::MP4_DataBuffer(MP4_Size size) { ReallocateBuffer(size); }

MP4_DataBuffer::MP4_DataBuffer(const void* data, MP4_Size size) {
  if (SetDataSize(size) == MP4_SUCCESS && size) std::memcpy(m_Buffer, data, size);
}

MP4_DataBuffer::MP4_DataBuffer(const MP4_DataBuffer& other) {
  if (ReallocateBuffer(other.m_DataSize) == MP4_SUCCESS) {
    if (other.m_DataSize) std::memcpy(m_Buffer, other.m_Buffer, other.m_DataSize);
    m_DataSize = other.m_DataSize;
  }
}

MP4_DataBuffer& MP4_DataBuffer::operator=(const MP4_DataBuffer& other) {
  if (this != &other) {
    if (m_BufferIsOwned) delete[] m_Buffer;
    m_Buffer = nullptr;
    m_BufferSize = m_DataSize = 0;
    m_BufferIsOwned = true;
    if (ReallocateBuffer(other.m_DataSize) == MP4_SUCCESS) {
      if (other.m_DataSize) std::memcpy(m_Buffer, other.m_Buffer, other.m_DataSize);
      m_DataSize = other.m_DataSize;
    }
  }
  return *this;
}

MP4_DataBuffer::~MP4_DataBuffer() {
  if (m_BufferIsOwned) delete[] m_Buffer;
}

MP4_Result MP4_DataBuffer::SetBuffer(MP4_Byte* buffer, MP4_Size size) {
  if (m_BufferIsOwned) delete[] m_Buffer;
  m_BufferIsOwned = false;
  m_Buffer = buffer;
  m_BufferSize = size;
  if (m_DataSize > size) m_DataSize = size;
  return MP4_SUCCESS;
}

MP4_Result MP4_DataBuffer::SetBufferSize(MP4_Size size) {
  if (!m_BufferIsOwned) return MP4_FAILURE;
  return ReallocateBuffer(size);
}

MP4_Result MP4_DataBuffer::SetDataSize(MP4_Size size) {
  if (size > m_BufferSize) {
    if (!m_BufferIsOwned) return MP4_FAILURE;
    MP4_Result r = ReallocateBuffer(size);
    if (MP4_FAILED(r)) return r;
  }
  m_DataSize = size;
  return MP4_SUCCESS;
}

MP4_Result MP4_DataBuffer::SetData(const MP4_Byte* data, MP4_Size size) {
  MP4_Result r = SetDataSize(size);
  if (MP4_FAILED(r)) return r;
  if (size) std::memcpy(m_Buffer, data, size);
  return MP4_SUCCESS;
}

MP4_Result MP4_DataBuffer::ReallocateBuffer(MP4_Size size) {
  if (m_DataSize > size) return MP4_FAILURE;
  MP4_Byte* fresh = nullptr;
  if (size) {
    fresh = new (std::nothrow) MP4_Byte[size];
    if (!fresh) return MP4_ERROR_OUT_OF_MEMORY;
    if (m_Buffer && m_DataSize) std::memcpy(fresh, m_Buffer, m_DataSize);
  }
  if (m_BufferIsOwned) delete[] m_Buffer;
  m_Buffer = fresh;
  m_BufferSize = size;
  return MP4_SUCCESS;
}
