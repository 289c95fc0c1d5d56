// Basics of the MP4 atom library: its integer result codes, time
// conversions, the reference-counted object base, the growable data buffer
// and the array and list templates the atoms keep their entries in.
//
// File positions, sizes and chunk offsets are 64-bit throughout, so that
// files above 4 GB (a large mdat before the moov, co64 chunk offsets) read
// like small ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <vector>

using MP4_Result = int;
using MP4_UI08 = uint8_t;
using MP4_UI16 = uint16_t;
using MP4_UI32 = uint32_t;
using MP4_UI64 = uint64_t;
using MP4_SI32 = int32_t;
using MP4_SI64 = int64_t;
using MP4_Byte = uint8_t;
using MP4_Size = uint32_t;       // sizes of single reads and writes
using MP4_LargeSize = uint64_t;  // sizes of atoms and streams
using MP4_Position = uint64_t;   // byte positions in a stream

constexpr MP4_Result MP4_SUCCESS = 0;
constexpr MP4_Result MP4_FAILURE = -1;
constexpr MP4_Result MP4_ERROR_OUT_OF_MEMORY = -2;
constexpr MP4_Result MP4_ERROR_INVALID_PARAMETERS = -3;
constexpr MP4_Result MP4_ERROR_EOS = -7;
constexpr MP4_Result MP4_ERROR_WRITE_FAILED = -8;
constexpr MP4_Result MP4_ERROR_READ_FAILED = -9;
constexpr MP4_Result MP4_ERROR_INVALID_FORMAT = -10;
constexpr MP4_Result MP4_ERROR_NO_SUCH_ITEM = -11;
constexpr MP4_Result MP4_ERROR_OUT_OF_RANGE = -12;
constexpr MP4_Result MP4_ERROR_INTERNAL = -13;

inline bool MP4_FAILED(MP4_Result r) { return r != MP4_SUCCESS; }
inline bool MP4_SUCCEEDED(MP4_Result r) { return r == MP4_SUCCESS; }

// A four-character code with its first character in the high byte.
constexpr MP4_UI32 MP4_FourCC(const char (&s)[5]) {
  return (static_cast<MP4_UI32>(static_cast<MP4_UI08>(s[0])) << 24) |
         (static_cast<MP4_UI32>(static_cast<MP4_UI08>(s[1])) << 16) |
         (static_cast<MP4_UI32>(static_cast<MP4_UI08>(s[2])) << 8) | static_cast<MP4_UI08>(s[3]);
}
constexpr MP4_UI32 MP4_FourCC(char a, char b, char c, char d) {
  return (static_cast<MP4_UI32>(static_cast<MP4_UI08>(a)) << 24) |
         (static_cast<MP4_UI32>(static_cast<MP4_UI08>(b)) << 16) |
         (static_cast<MP4_UI32>(static_cast<MP4_UI08>(c)) << 8) | static_cast<MP4_UI08>(d);
}

// value x to_scale / from_scale, exact (128-bit intermediate), saturated at
// the largest 64-bit value; 0 when from_scale is 0.
MP4_UI64 ConvertTime(MP4_UI64 value, MP4_UI32 from_scale, MP4_UI32 to_scale);
// units x 1000 / scale, truncated to 32 bits; 0 when scale is 0.
MP4_UI32 DurationMsFromUnits(MP4_UI64 units, MP4_UI32 scale);
// The four characters of a type, high byte first, and a terminating zero
// (buffer of at least 5 bytes).
void FormatFourChars(char* buffer, MP4_UI32 type);
std::string FourCharsToString(MP4_UI32 type);

// Reference-counted objects: the count starts at 1 and Release deletes the
// object when it reaches 0. Counts are atomic: a sample record may take and
// drop a stream reference on a caller's thread while the demux thread reads.
class MP4_Referenceable {
 public:
  virtual ~MP4_Referenceable() = default;
  virtual void AddReference() = 0;
  virtual void Release() = 0;
};

// A byte buffer that either owns its storage (growable) or wraps storage of
// someone else (fixed).
class MP4_DataBuffer {
 public:
  MP4_DataBuffer() = default;
  explicit MP4_DataBuffer(MP4_Size size);  // owned, `size` bytes of room
  MP4_DataBuffer(const void* data, MP4_Size size);  // owned copy
  MP4_DataBuffer(const MP4_DataBuffer& other);
  MP4_DataBuffer& operator=(const MP4_DataBuffer& other);
  virtual ~MP4_DataBuffer();

  // Adopts storage that stays the caller's.
  virtual MP4_Result SetBuffer(MP4_Byte* buffer, MP4_Size size);
  // Failure unless the storage is owned.
  virtual MP4_Result SetBufferSize(MP4_Size size);
  virtual MP4_Size GetBufferSize() const { return m_BufferSize; }
  virtual const MP4_Byte* GetData() const { return m_Buffer; }
  virtual MP4_Byte* UseData() { return m_Buffer; }
  virtual MP4_Size GetDataSize() const { return m_DataSize; }
  virtual MP4_Result SetDataSize(MP4_Size size);
  virtual MP4_Result SetData(const MP4_Byte* data, MP4_Size size);

 protected:
  MP4_Result ReallocateBuffer(MP4_Size size);

  bool m_BufferIsOwned = true;
  MP4_Byte* m_Buffer = nullptr;
  MP4_Size m_BufferSize = 0;
  MP4_Size m_DataSize = 0;
};

// A growable array: room for 64 items at first, doubled whenever more is
// needed. An item that cannot be stored leaves the array as it was.
template <class T>
class MP4_Array {
 public:
  MP4_Result Append(const T& item) {
    try {
      if (m_Items.size() == m_Items.capacity()) m_Items.reserve(m_Items.empty() ? 64 : m_Items.size() * 2);
      m_Items.push_back(item);
    } catch (const std::bad_alloc&) {
      return MP4_ERROR_OUT_OF_MEMORY;
    }
    return MP4_SUCCESS;
  }
  // Room for `count` items without regrowing; false when out of memory.
  bool Reserve(size_t count) {
    try {
      m_Items.reserve(count);
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
    return true;
  }
  MP4_UI32 ItemCount() const { return static_cast<MP4_UI32>(m_Items.size()); }
  T& operator[](size_t i) { return m_Items[i]; }
  const T& operator[](size_t i) const { return m_Items[i]; }
  void Clear() { m_Items.clear(); }
  const T* begin() const { return m_Items.data(); }
  const T* end() const { return m_Items.data() + m_Items.size(); }

 private:
  std::vector<T> m_Items;
};

// A list of pointers in order. The list never deletes what it points to,
// except through DeleteReferences.
template <class T>
class MP4_List {
 public:
  using Items = std::list<T*>;

  MP4_Result Add(T* item) {
    m_Items.push_back(item);
    return MP4_SUCCESS;
  }
  // Inserts so that the item ends up at 0-based index `index`.
  MP4_Result Insert(T* item, size_t index) {
    if (index > m_Items.size()) return MP4_ERROR_OUT_OF_RANGE;
    auto it = m_Items.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(index));
    m_Items.insert(it, item);
    return MP4_SUCCESS;
  }
  MP4_Result Remove(T* item) {
    for (auto it = m_Items.begin(); it != m_Items.end(); ++it) {
      if (*it == item) {
        m_Items.erase(it);
        return MP4_SUCCESS;
      }
    }
    return MP4_ERROR_NO_SUCH_ITEM;
  }
  bool Contains(const T* item) const {
    for (const T* i : m_Items)
      if (i == item) return true;
    return false;
  }
  T* FirstItem() const { return m_Items.empty() ? nullptr : m_Items.front(); }
  MP4_UI32 ItemCount() const { return static_cast<MP4_UI32>(m_Items.size()); }
  void Clear() { m_Items.clear(); }
  void DeleteReferences() {
    for (T* i : m_Items) delete i;
    m_Items.clear();
  }
  typename Items::const_iterator begin() const { return m_Items.begin(); }
  typename Items::const_iterator end() const { return m_Items.end(); }

 private:
  Items m_Items;
};
