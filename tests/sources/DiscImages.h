// Writers of the disc forms the disc readers take, for the tests and the
// end-to-end cases: DVD title sets, CD images (cue sheet, raw sectors,
// CD-TEXT packs) and CDXA files.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace disctest {

using Bytes = std::vector<uint8_t>;

inline bool ReadAll(const std::string& path, Bytes& out) {
  out.clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return true;
}

inline bool WriteAll(const std::string& path, const Bytes& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------------------
// DVD title sets

// VIDEO_TS/VTS_01_0.IFO and the title's VOB files VTS_01_1.VOB, ... in
// upper case, the program stream cut at the given sector counts (the last
// file takes the rest); an optional menu VOB of `menuSectors` sectors.
// The stream must be a whole number of 2048-byte sectors.
inline bool WriteTitleSet(const std::string& root, const Bytes& stream, const std::vector<size_t>& cuts,
                          size_t menuSectors = 0) {
  const std::string dir = root + "/VIDEO_TS";
  mkdir(root.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  Bytes ifo = Text("DVDVIDEO-VTS");
  ifo.resize(2048);
  if (!WriteAll(dir + "/VTS_01_0.IFO", ifo)) return false;
  if (menuSectors && !WriteAll(dir + "/VTS_01_0.VOB", Bytes(menuSectors * 2048, 0xEE))) return false;
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t end = i < cuts.size() ? std::min(stream.size(), at + cuts[i] * 2048) : stream.size();
    if (!WriteAll(dir + "/VTS_01_" + std::to_string(i + 1) + ".VOB", Bytes(stream.begin() + at, stream.begin() + end)))
      return false;
    at = end;
  }
  return true;
}

// ---------------------------------------------------------------------------
// CD images

struct CdTrack {
  int number;
  bool audio;
  std::string index;  // INDEX 01 as mm:ss:ff
};

inline std::string CueSheet(const std::vector<CdTrack>& tracks, bool cdText) {
  std::string cue = "REM made by the tests\nFILE \"disc.bin\" BINARY\n";
  if (cdText) cue += "CDTEXTFILE \"disc.cdt\"\n";
  for (const CdTrack& t : tracks) {
    char line[64];
    snprintf(line, sizeof line, "  TRACK %02d %s\n    INDEX 01 %s\n", t.number, t.audio ? "AUDIO" : "MODE1/2352",
             t.index.c_str());
    cue += line;
  }
  return cue;
}

// One CD-TEXT pack: type, track, sequence, the position byte and 12 bytes
// of text (no CRC: drives do not pass it on checked).
inline Bytes CdTextPack(uint8_t type, uint8_t track, uint8_t sequence, uint8_t position, const std::string& text12) {
  Bytes pack = {type, track, sequence, position};
  Bytes text(text12.begin(), text12.end());
  text.resize(12, 0);
  pack.insert(pack.end(), text.begin(), text.end());
  pack.push_back(0);
  pack.push_back(0);
  return pack;
}

// The packs of one type for strings of tracks first.. in order, each
// terminated, cut into 12-byte packs as a disc holds them.
inline Bytes CdTextStrings(uint8_t type, uint8_t first, const std::vector<std::string>& strings, uint8_t& sequence) {
  Bytes out, run;
  std::vector<uint8_t> owner;  // the track of each byte of the run
  for (size_t i = 0; i < strings.size(); ++i) {
    for (char c : strings[i]) {
      run.push_back(static_cast<uint8_t>(c));
      owner.push_back(static_cast<uint8_t>(first + i));
    }
    run.push_back(0);
    owner.push_back(static_cast<uint8_t>(first + i));
  }
  for (size_t at = 0; at < run.size(); at += 12) {
    // The position byte: characters of the pack's first string that came
    // before it (at most 15).
    size_t before = 0;
    while (before < at && owner[at - before - 1] == owner[at]) ++before;
    const std::string chunk(run.begin() + at, run.begin() + std::min(run.size(), at + 12));
    const Bytes pack = CdTextPack(type, owner[at], sequence++, static_cast<uint8_t>(std::min<size_t>(before, 15)), chunk);
    out.insert(out.end(), pack.begin(), pack.end());
  }
  return out;
}

// disc.cue, disc.bin (the raw sectors) and, when packs are given, disc.cdt.
inline bool WriteCdImage(const std::string& dir, const std::vector<CdTrack>& tracks, const Bytes& sectors,
                         const Bytes* cdText = nullptr) {
  mkdir(dir.c_str(), 0755);
  return WriteAll(dir + "/disc.cue", Text(CueSheet(tracks, cdText != nullptr))) &&
         WriteAll(dir + "/disc.bin", sectors) && (!cdText || WriteAll(dir + "/disc.cdt", *cdText));
}

// ---------------------------------------------------------------------------
// CDXA files

// A Mode 2 Form 2 sector: sync, header (address, mode 2), subheader,
// 2324 payload bytes and an EDC field left zero (no reader checks it).
inline void AppendForm2Sector(Bytes& out, uint32_t lba, const uint8_t* payload, size_t size) {
  static const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  out.insert(out.end(), sync, sync + 12);
  const uint32_t f = lba + 150;
  auto bcd = [](uint32_t v) { return static_cast<uint8_t>((v / 10) << 4 | v % 10); };
  out.push_back(bcd(f / 4500));
  out.push_back(bcd(f / 75 % 60));
  out.push_back(bcd(f % 75));
  out.push_back(2);
  const uint8_t sub[8] = {1, 1, 0x64, 0x0F, 1, 1, 0x64, 0x0F};  // form 2, real-time video data
  out.insert(out.end(), sub, sub + 8);
  const size_t at = out.size();
  out.resize(at + 2324 + 4, 0);
  std::memcpy(out.data() + at, payload, std::min<size_t>(size, 2324));
}

// The RIFF/CDXA form of a payload: `padding` sectors of zeros, then the
// payload in 2324-byte pieces (the last one filled up with zeros).
inline Bytes WrapCdxa(const Bytes& payload, size_t padding = 0) {
  Bytes sectors;
  uint32_t lba = 0;
  const uint8_t zeros[2324] = {};
  for (size_t i = 0; i < padding; ++i) AppendForm2Sector(sectors, lba++, zeros, sizeof zeros);
  for (size_t at = 0; at < payload.size(); at += 2324)
    AppendForm2Sector(sectors, lba++, payload.data() + at, std::min<size_t>(2324, payload.size() - at));
  Bytes out = Text("RIFF");
  auto le32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  le32(static_cast<uint32_t>(sectors.size() + 36));
  const Bytes form = Text("CDXAfmt ");
  out.insert(out.end(), form.begin(), form.end());
  le32(16);
  const uint8_t xa[16] = {0, 0, 0, 0, 0x11, 0x55, 'X', 'A', 1, 0, 0, 0, 0, 0, 0, 0};
  out.insert(out.end(), xa, xa + 16);
  const Bytes data = Text("data");
  out.insert(out.end(), data.begin(), data.end());
  le32(static_cast<uint32_t>(sectors.size()));
  out.insert(out.end(), sectors.begin(), sectors.end());
  return out;
}

}  // namespace disctest
