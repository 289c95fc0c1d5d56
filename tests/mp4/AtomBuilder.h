// Hand-built atoms for the atom library tests: big-endian byte writers,
// boxes and full boxes, and reading a byte block back through the library.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4File.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/MemAsyncReader.h"

namespace mp4test {

using Bytes = std::vector<uint8_t>;

inline void Put8(Bytes& b, uint64_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void Put16(Bytes& b, uint64_t v) {
  Put8(b, v >> 8);
  Put8(b, v);
}
inline void Put24(Bytes& b, uint64_t v) {
  Put8(b, v >> 16);
  Put16(b, v);
}
inline void Put32(Bytes& b, uint64_t v) {
  Put16(b, v >> 16);
  Put16(b, v);
}
inline void Put64(Bytes& b, uint64_t v) {
  Put32(b, v >> 32);
  Put32(b, v);
}
inline void PutText(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void PutBytes(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) PutBytes(out, p);
  return out;
}

// type is four characters.
inline Bytes Box(const std::string& type, const Bytes& payload) {
  Bytes b;
  Put32(b, 8 + payload.size());
  PutText(b, type.substr(0, 4));
  PutBytes(b, payload);
  return b;
}
inline Bytes FullBox(const std::string& type, uint8_t version, uint32_t flags, const Bytes& payload) {
  Bytes p;
  Put8(p, version);
  Put24(p, flags);
  PutBytes(p, payload);
  return Box(type, p);
}
// A box in the 64-bit size form.
inline Bytes LargeBox(const std::string& type, const Bytes& payload) {
  Bytes b;
  Put32(b, 1);
  PutText(b, type.substr(0, 4));
  Put64(b, 16 + payload.size());
  PutBytes(b, payload);
  return b;
}

inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A parsed byte block: the file and the stream it reads from, which stays
// alive (with the bytes) as long as the file.
struct Parsed {
  explicit Parsed(Bytes data) : bytes(std::move(data)) {
    stream = new MP4_MemoryByteStream(bytes.data(), bytes.size());
    file = std::make_unique<MP4_File>(*stream, factory);
  }
  ~Parsed() {
    file.reset();
    stream->Release();
  }
  MP4_Movie* Movie() const { return file->GetMovie(); }

  Bytes bytes;
  MP4_AtomFactory factory;
  MP4_MemoryByteStream* stream = nullptr;
  std::unique_ptr<MP4_File> file;
};

// One atom read from a byte block (the factory's state is fresh).
struct OneAtom {
  explicit OneAtom(Bytes data) : bytes(std::move(data)) {
    stream = new MP4_MemoryByteStream(bytes.data(), bytes.size());
    result = factory.CreateAtomFromStream(*stream, atom);
  }
  ~OneAtom() {
    delete atom;
    stream->Release();
  }
  template <class T>
  T* As() const {
    return dynamic_cast<T*>(atom);
  }

  Bytes bytes;
  MP4_AtomFactory factory;
  MP4_MemoryByteStream* stream = nullptr;
  MP4_Atom* atom = nullptr;
  MP4_Result result = MP4_FAILURE;
};

inline Bytes LoadSample(const std::string& name) { return MemAsyncReader::LoadFile(TestDataPath(name)); }

// An atom written out through the library.
inline Bytes Written(MP4_Atom& atom) {
  auto* out = new MP4_MemoryByteStream();
  Bytes bytes;
  if (MP4_SUCCEEDED(atom.Write(*out))) bytes = out->GetOwnedData();
  out->Release();
  return bytes;
}

// The bytes of the first top-level box of that type, or none.
inline Bytes TopLevelBox(const Bytes& file, const std::string& type) {
  for (size_t pos = 0; pos + 8 <= file.size();) {
    uint64_t size = Be32(&file[pos]);
    if (size == 1 && pos + 16 <= file.size()) size = (uint64_t(Be32(&file[pos + 8])) << 32) | Be32(&file[pos + 12]);
    if (size == 0) size = file.size() - pos;
    if (size < 8 || pos + size > file.size()) break;
    if (std::memcmp(&file[pos + 4], type.data(), 4) == 0) return Bytes(file.begin() + pos, file.begin() + pos + size);
    pos += size;
  }
  return {};
}

}  // namespace mp4test
