// Hand-built atoms for the atom library tests: big-endian byte writers,
// boxes and full boxes, and reading a byte block back through the library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

namespace mp4test {

// A track of a hand-built movie: one sample per chunk.
struct TrackSpec {
  uint32_t id = 1;
  std::string handler = "vide";
  std::string name;
  uint32_t timescale = 1000;
  uint32_t delta = 40;
  Bytes entry;  // the sample entry inside stsd
  std::vector<Bytes> samples;
  std::vector<uint32_t> sync;  // stss entries (1-based); none: no stss
  uint32_t description = 1;    // stsc sample description index
  uint16_t width = 0, height = 0;
};

// ftyp, mdat with every sample, then the moov (movie time scale 1000).
inline Bytes BuildMovie(const std::vector<TrackSpec>& tracks) {
  Bytes ftyp;
  PutText(ftyp, "isom");
  Put32(ftyp, 512);
  PutText(ftyp, "isommp41");
  Bytes file = Box("ftyp", ftyp);
  Bytes mdat;
  for (const auto& t : tracks)
    for (const auto& s : t.samples) PutBytes(mdat, s);
  const size_t data_at = file.size() + 8;
  PutBytes(file, Box("mdat", mdat));

  Bytes mvhd;
  for (uint32_t v : {0u, 0u, 1000u, 0u, 0x00010000u}) Put32(mvhd, v);  // times, scale 1000, rate
  Put16(mvhd, 0x0100);
  mvhd.resize(mvhd.size() + 10, 0);
  for (uint32_t m : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) Put32(mvhd, m);
  mvhd.resize(mvhd.size() + 24, 0);
  Put32(mvhd, 99);
  Bytes moov = FullBox("mvhd", 0, 0, mvhd);

  size_t offset = data_at;
  for (const auto& t : tracks) {
    const uint64_t duration_ms = uint64_t(t.samples.size()) * t.delta * 1000 / (t.timescale ? t.timescale : 1);
    Bytes tkhd;
    for (uint32_t v : {0u, 0u, t.id, 0u, static_cast<uint32_t>(duration_ms)}) Put32(tkhd, v);
    tkhd.resize(tkhd.size() + 16, 0);
    for (uint32_t m : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) Put32(tkhd, m);
    Put32(tkhd, uint32_t(t.width) << 16);
    Put32(tkhd, uint32_t(t.height) << 16);
    Bytes mdhd;
    for (uint32_t v : {0u, 0u, t.timescale, static_cast<uint32_t>(t.samples.size() * t.delta)}) Put32(mdhd, v);
    Put16(mdhd, 0x55C4);
    Put16(mdhd, 0);
    Bytes hdlr(4, 0);
    PutText(hdlr, t.handler);
    hdlr.resize(hdlr.size() + 12, 0);
    PutText(hdlr, t.name);
    hdlr.push_back(0);

    Bytes stsd;
    Put32(stsd, 1);
    PutBytes(stsd, t.entry);
    Bytes stts;
    Put32(stts, 1);
    Put32(stts, static_cast<uint32_t>(t.samples.size()));
    Put32(stts, t.delta);
    Bytes stsc;
    for (uint32_t v : {1u, 1u, 1u, t.description}) Put32(stsc, v);
    Bytes stsz;
    Put32(stsz, 0);
    Put32(stsz, static_cast<uint32_t>(t.samples.size()));
    Bytes stco;
    Put32(stco, static_cast<uint32_t>(t.samples.size()));
    for (const auto& s : t.samples) {
      Put32(stsz, static_cast<uint32_t>(s.size()));
      Put32(stco, static_cast<uint32_t>(offset));
      offset += s.size();
    }
    Bytes stbl = Cat({FullBox("stsd", 0, 0, stsd), FullBox("stts", 0, 0, stts), FullBox("stsc", 0, 0, stsc),
                      FullBox("stsz", 0, 0, stsz), FullBox("stco", 0, 0, stco)});
    if (!t.sync.empty()) {
      Bytes stss;
      Put32(stss, static_cast<uint32_t>(t.sync.size()));
      for (uint32_t s : t.sync) Put32(stss, s);
      PutBytes(stbl, FullBox("stss", 0, 0, stss));
    }
    const Bytes minf = Box("minf", Box("stbl", stbl));
    const Bytes mdia = Box("mdia", Cat({FullBox("mdhd", 0, 0, mdhd), FullBox("hdlr", 0, 0, hdlr), minf}));
    PutBytes(moov, Box("trak", Cat({FullBox("tkhd", 0, 1, tkhd), mdia})));
  }
  PutBytes(file, Box("moov", moov));
  return file;
}

// Writes bytes to a file in the test's working folder; its path.
inline std::string WriteTestFile(const std::string& name, const Bytes& bytes) {
  std::system("mkdir -p mp4-variants");
  const std::string path = "mp4-variants/" + name;
  if (FILE* f = fopen(path.c_str(), "wb")) {
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  return path;
}

}  // namespace mp4test
