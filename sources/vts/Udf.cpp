#include "sources/vts/Udf.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/File.h"

namespace {

constexpr int kTagAnchor = 2;
constexpr int kTagPartition = 5;
constexpr int kTagLogicalVolume = 6;
constexpr int kTagTerminating = 8;
constexpr int kTagFileSet = 256;
constexpr int kTagFileIdentifier = 257;
constexpr int kTagFileEntry = 261;
constexpr int kTagExtendedFileEntry = 266;
constexpr int kFileTypeDirectory = 4;

// Volume descriptor sequences are 16 sectors or a few more; a longer one
// is not a volume.
constexpr ULONGLONG kMaxSequence = 1024;
// Directories of a DVD hold a few dozen names; this bounds the memory a
// damaged length can ask for.
constexpr ULONGLONG kMaxDirectory = 8u << 20;
// Path components looked up at most.
constexpr int kMaxDepth = 64;

uint16_t Le16(const BYTE* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t Le64(const BYTE* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

// The identifier of the descriptor at `d` (16 bytes at least), or -1 when
// its tag checksum fails.
int TagId(const BYTE* d) {
  BYTE sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<BYTE>(sum + d[i]);
  return sum == d[4] ? Le16(d) : -1;
}

struct Extent {
  ULONGLONG sector;  // absolute
  DWORD length;      // bytes
};

class Volume {
 public:
  Volume(const UdfSectorReader& read, ULONGLONG sectors) : m_read(read), m_sectors(sectors) {}

  bool Open(uint16_t partitionNumber);
  bool Find(const char* path, DWORD* firstSector, DWORD* length);

 private:
  struct Entry {
    BYTE sector[kUdfSectorSize];
    int fileType = 0;
    int allocation = 0;
    size_t adOffset = 0;
    size_t adLength = 0;
    ULONGLONG informationLength = 0;
  };

  bool Sector(ULONGLONG lsn, BYTE* out) const { return lsn < m_sectors && m_read(lsn, 1, out); }
  bool WalkSequence(ULONGLONG location, ULONGLONG bytes, uint16_t partitionNumber);
  // A block of the partition as a device sector; false outside it.
  bool InPartition(ULONGLONG block, ULONGLONG blocks, ULONGLONG* sector) const;
  bool ReadEntry(ULONGLONG block, Entry& entry) const;
  bool Extents(const Entry& entry, std::vector<Extent>& out) const;
  bool ReadDirectory(const Entry& entry, std::vector<BYTE>& data) const;
  // The block of the entry named `name` in a directory, and whether it is
  // a directory itself.
  bool Lookup(const std::vector<BYTE>& directory, const std::string& name, ULONGLONG* block, bool* isDirectory) const;

  const UdfSectorReader& m_read;
  ULONGLONG m_sectors;
  bool m_havePartition = false, m_haveVolume = false;
  ULONGLONG m_partitionStart = 0, m_partitionLength = 0;
  ULONGLONG m_fileSetBlock = 0;
  ULONGLONG m_rootBlock = 0;
};

bool Volume::WalkSequence(ULONGLONG location, ULONGLONG bytes, uint16_t partitionNumber) {
  BYTE d[kUdfSectorSize];
  const ULONGLONG count = std::min<ULONGLONG>(bytes / kUdfSectorSize, kMaxSequence);
  for (ULONGLONG i = 0; i < count; ++i) {
    if (!Sector(location + i, d)) return false;
    const int id = TagId(d);
    if (id == kTagTerminating) break;
    if (id == kTagPartition && Le16(d + 22) == partitionNumber) {
      m_partitionStart = Le32(d + 188);
      m_partitionLength = Le32(d + 192);
      m_havePartition = true;
    } else if (id == kTagLogicalVolume && Le32(d + 212) == kUdfSectorSize) {
      // The file set lies in the volume's first partition map, which must
      // be a plain (type 1) map of the same partition.
      const uint32_t mapTableLength = Le32(d + 264);
      const uint32_t maps = Le32(d + 268);
      if (maps < 1 || mapTableLength < 6 || d[440] != 1 || d[441] < 6 || Le16(d + 444) != partitionNumber) continue;
      if (Le16(d + 256) != 0) continue;  // the file set's partition reference
      m_fileSetBlock = Le32(d + 252);
      m_haveVolume = true;
    }
  }
  return m_havePartition && m_haveVolume;
}

bool Volume::Open(uint16_t partitionNumber) {
  if (m_sectors < 256) return false;
  BYTE d[kUdfSectorSize];
  bool anchored = false;
  for (ULONGLONG at : {ULONGLONG(256), m_sectors - 1}) {
    if (Sector(at, d) && TagId(d) == kTagAnchor) {
      anchored = true;
      break;
    }
  }
  if (!anchored) return false;
  const uint32_t mainLength = Le32(d + 16), mainLocation = Le32(d + 20);
  const uint32_t reserveLength = Le32(d + 24), reserveLocation = Le32(d + 28);
  if (!WalkSequence(mainLocation, mainLength, partitionNumber) &&
      !WalkSequence(reserveLocation, reserveLength, partitionNumber))
    return false;

  ULONGLONG sector = 0;
  if (!InPartition(m_fileSetBlock, 1, &sector) || !Sector(sector, d) || TagId(d) != kTagFileSet) return false;
  if (Le16(d + 408) != 0) return false;  // the root in another partition
  m_rootBlock = Le32(d + 404);
  Entry root;
  return ReadEntry(m_rootBlock, root) && root.fileType == kFileTypeDirectory;
}

bool Volume::InPartition(ULONGLONG block, ULONGLONG blocks, ULONGLONG* sector) const {
  if (block > m_partitionLength || blocks > m_partitionLength - block) return false;
  *sector = m_partitionStart + block;
  return *sector < m_sectors && blocks <= m_sectors - *sector;
}

bool Volume::ReadEntry(ULONGLONG block, Entry& entry) const {
  ULONGLONG sector = 0;
  if (!InPartition(block, 1, &sector) || !Sector(sector, entry.sector)) return false;
  const BYTE* d = entry.sector;
  size_t eaLength = 0, base = 0;
  switch (TagId(d)) {
    case kTagFileEntry:
      eaLength = Le32(d + 168);
      entry.adLength = Le32(d + 172);
      base = 176;
      break;
    case kTagExtendedFileEntry:
      eaLength = Le32(d + 208);
      entry.adLength = Le32(d + 212);
      base = 216;
      break;
    default: return false;
  }
  if (eaLength > kUdfSectorSize - base || entry.adLength > kUdfSectorSize - base - eaLength) return false;
  entry.adOffset = base + eaLength;
  entry.fileType = d[27];
  entry.allocation = Le16(d + 34) & 7;
  entry.informationLength = Le64(d + 56);
  return true;
}

bool Volume::Extents(const Entry& entry, std::vector<Extent>& out) const {
  out.clear();
  const BYTE* ad = entry.sector + entry.adOffset;
  size_t size = 0;
  switch (entry.allocation) {
    case 0: size = 8; break;
    case 1: size = 16; break;
    case 2: size = 20; break;
    default: return false;  // data inside the entry: no sector holds it
  }
  for (size_t at = 0; at + size <= entry.adLength; at += size) {
    const uint32_t word = Le32(ad + at);
    const DWORD length = word & 0x3FFFFFFF;
    // Only recorded extents hold data; a continuation of the descriptors
    // elsewhere is not followed.
    if (length == 0 || (word >> 30) != 0) break;
    ULONGLONG block = 0;
    if (entry.allocation == 0) {
      block = Le32(ad + at + 4);
    } else {
      const size_t lb = entry.allocation == 1 ? 4 : 12;
      if (Le16(ad + at + lb + 4) != 0) break;  // another partition
      block = Le32(ad + at + lb);
    }
    ULONGLONG sector = 0;
    if (!InPartition(block, (ULONGLONG(length) + kUdfSectorSize - 1) / kUdfSectorSize, &sector)) return false;
    out.push_back(Extent{sector, length});
  }
  return true;
}

bool Volume::ReadDirectory(const Entry& entry, std::vector<BYTE>& data) const {
  data.clear();
  const ULONGLONG want = std::min(entry.informationLength, kMaxDirectory);
  if (entry.allocation == 3) {
    data.assign(entry.sector + entry.adOffset, entry.sector + entry.adOffset + std::min<ULONGLONG>(entry.adLength, want));
    return true;
  }
  std::vector<Extent> extents;
  if (!Extents(entry, extents)) return false;
  for (const Extent& e : extents) {
    if (data.size() >= want) break;
    const ULONGLONG take = std::min<ULONGLONG>(e.length, want - data.size());
    const DWORD count = static_cast<DWORD>((take + kUdfSectorSize - 1) / kUdfSectorSize);
    const size_t at = data.size();
    data.resize(at + size_t(count) * kUdfSectorSize);
    if (!m_read(e.sector, count, data.data() + at)) return false;
    data.resize(at + take);
  }
  return true;
}

bool Volume::Lookup(const std::vector<BYTE>& dir, const std::string& name, ULONGLONG* block,
                    bool* isDirectory) const {
  size_t at = 0;
  while (at + 38 <= dir.size()) {
    const BYTE* d = dir.data() + at;
    if (TagId(d) != kTagFileIdentifier) return false;
    const BYTE characteristics = d[18];
    const size_t nameLength = d[19];
    const size_t implementationUse = Le16(d + 36);
    if (38 + implementationUse + nameLength > dir.size() - at) return false;
    // Deleted entries (bit 2) and the parent (bit 3) are not looked at.
    if (!(characteristics & 0x0C) && nameLength > 0 && Le16(d + 28) == 0) {
      const BYTE* n = d + 38 + implementationUse;
      std::string decoded;
      if (n[0] == 8) {
        decoded.assign(reinterpret_cast<const char*>(n + 1), nameLength - 1);
      } else if (n[0] == 16) {
        for (size_t i = 1; i + 1 < nameLength; i += 2) decoded.push_back(static_cast<char>(n[i + 1]));
      }
      if (decoded.size() == name.size() &&
          std::equal(decoded.begin(), decoded.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
          })) {
        *block = Le32(d + 24);
        *isDirectory = characteristics & 0x02;
        return true;
      }
    }
    at += (38 + implementationUse + nameLength + 3) & ~size_t(3);
  }
  return false;
}

bool Volume::Find(const char* path, DWORD* firstSector, DWORD* length) {
  std::vector<std::string> parts;
  std::string part;
  for (const char* p = path;; ++p) {
    if (*p == '/' || *p == '\\' || *p == 0) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
      if (*p == 0) break;
    } else {
      part.push_back(*p);
    }
  }
  if (parts.empty() || parts.size() > kMaxDepth) return false;

  ULONGLONG block = m_rootBlock;
  std::vector<BYTE> dir;
  for (size_t i = 0; i < parts.size(); ++i) {
    Entry entry;
    if (!ReadEntry(block, entry) || entry.fileType != kFileTypeDirectory || !ReadDirectory(entry, dir)) return false;
    bool isDirectory = false;
    if (!Lookup(dir, parts[i], &block, &isDirectory)) return false;
    if (isDirectory != (i + 1 < parts.size())) return false;
  }
  Entry file;
  std::vector<Extent> extents;
  if (!ReadEntry(block, file) || !Extents(file, extents) || extents.empty() || extents[0].sector > 0xFFFFFFFF)
    return false;
  *firstSector = static_cast<DWORD>(extents[0].sector);
  *length = extents[0].length;
  return true;
}

}  // namespace

bool UdfFindFile(const UdfSectorReader& read, ULONGLONG sectors, const char* path, DWORD* firstSector,
                 DWORD* length) {
  if (!read || !path || !firstSector || !length) return false;
  Volume volume(read, sectors);
  return volume.Open(0) && volume.Find(path, firstSector, length);
}

bool UdfReadSectors(HANDLE device, DWORD first, DWORD count, BYTE* buffer) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(first) * kUdfSectorSize;
  if (!buffer || !SetFilePointerEx(device, at, nullptr, FILE_BEGIN)) return false;
  const ULONGLONG bytes = ULONGLONG(count) * kUdfSectorSize;
  if (bytes > 0xFFFFFFFF) return false;
  DWORD read = 0;
  return ReadFile(device, buffer, static_cast<DWORD>(bytes), &read, nullptr) && read == bytes;
}

bool UdfFindFile(HANDLE device, const char* path, DWORD* firstSector, DWORD* length) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(device, &size) || size.QuadPart < 0) return false;
  auto read = [device](ULONGLONG first, DWORD count, BYTE* buffer) {
    return first <= 0xFFFFFFFF && UdfReadSectors(device, static_cast<DWORD>(first), count, buffer);
  };
  return UdfFindFile(read, static_cast<ULONGLONG>(size.QuadPart) / kUdfSectorSize, path, firstSector, length);
}
