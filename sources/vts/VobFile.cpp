#include "sources/vts/VobFile.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/win32/Drives.h"
#include "sources/vts/Udf.h"

namespace {
constexpr int kSector = 2048;
}

// ---------------------------------------------------------------------------
// CLBAFile

bool CLBAFile::Open(const std::string& path) {
  return m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite | CFile::osSequentialScan);
}

void CLBAFile::Close() {
  if (IsOpen()) m_file.Close();
}

int CLBAFile::GetLength() const {
  const ULONGLONG blocks = m_file.GetLength() / kSector;
  return blocks > INT_MAX ? INT_MAX : static_cast<int>(blocks);
}

int CLBAFile::GetPosition() const { return static_cast<int>(m_file.GetPosition() / kSector); }

int CLBAFile::Seek(int lba) { return static_cast<int>(m_file.Seek(LONGLONG(lba) * kSector, CFile::begin) / kSector); }

int CLBAFile::Read(BYTE* buffer, int count) {
  if (count <= 0 || count > INT_MAX / kSector) return 0;
  const ULONGLONG at = m_file.GetPosition();
  const UINT got = m_file.Read(buffer, static_cast<UINT>(count) * kSector);
  const int blocks = static_cast<int>(got / kSector);
  if (got % kSector) m_file.Seek(static_cast<LONGLONG>(at) + LONGLONG(blocks) * kSector, CFile::begin);
  return blocks;
}

// ---------------------------------------------------------------------------
// CVobFile

bool CVobFile::Open(const std::string& ifoPath, std::vector<std::string>& vobs) {
  vobs.clear();
  {
    CFile ifo;
    char header[12] = {};
    if (!ifo.Open(ifoPath.c_str(), CFile::modeRead | CFile::shareDenyWrite) || ifo.Read(header, 12) != 12 ||
        std::memcmp(header, "DVDVIDEO-VTS", 12) != 0)
      return false;
  }
  // ".../VTS_01_0.IFO" gives ".../VTS_01_".
  const size_t dot = ifoPath.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string base = ifoPath.substr(0, dot + 1);
  while (!base.empty() && std::strchr(".0123456789", base.back())) base.pop_back();

  int offset = 0;
  for (int n = 0; n < 100; ++n) {
    const std::string name = base + std::to_string(n) + ".vob";
    if (GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (n == 0) continue;
      break;
    }
    CFile vob;
    if (!vob.Open(name.c_str(), CFile::modeRead | CFile::shareDenyWrite)) {
      vobs.clear();
      break;
    }
    const ULONGLONG size = vob.GetLength();
    if (size % kSector) {
      vobs.clear();
      break;
    }
    if (size > 0) {
      vobs.push_back(name);
      if (n == 0) offset = size / kSector > INT_MAX ? INT_MAX : static_cast<int>(size / kSector);
    }
  }
  return OpenVobs(vobs, offset);
}

bool CVobFile::OpenVobs(const std::vector<std::string>& vobs, int offset) {
  Close();
  // A set without a VOB file has nothing to read.
  if (vobs.empty()) return false;
  for (const std::string& path : vobs) {
    CLBAFile f;
    if (!f.Open(path)) {
      m_files.clear();
      m_size = 0;
      return false;
    }
    const int size = f.GetLength();
    if (size > INT_MAX - m_size) {  // a set past 4 TB: not a DVD
      m_files.clear();
      m_size = 0;
      return false;
    }
    m_files.push_back(VobEntry{path, size, 0, 0});
    m_size += size;
  }
  m_offset = vobs.size() == 1 ? 0 : offset;
  if (m_offset < 0 || m_offset > m_size) m_offset = 0;
  m_pos = m_offset;

  // On a drive of the map the disc itself can place the files.
  if (const char letter = DriveOfPath(m_files[0].path)) {
    const char device[] = {'\\', '\\', '.', '\\', letter, ':', 0};
    m_hDrive = CreateFileA(device, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_hDrive != INVALID_HANDLE_VALUE) LocateOnDisc();
  }
  return true;
}

void CVobFile::LocateOnDisc() {
  for (VobEntry& e : m_files) {
    std::string onDrive;
    if (!DriveOfPath(e.path, &onDrive)) continue;
    DWORD sector = 0, length = 0;
    if (UdfFindFile(m_hDrive, onDrive.c_str(), &sector, &length)) {
      e.discSector = sector;
      e.discLength = length;
    }
  }
}

bool CVobFile::GetDiscExtent(size_t file, DWORD* firstSector, DWORD* length) const {
  if (file >= m_files.size() || !m_files[file].discLength) return false;
  *firstSector = m_files[file].discSector;
  *length = m_files[file].discLength;
  return true;
}

void CVobFile::Close() {
  m_file.Close();
  m_iFile = -1;
  m_files.clear();
  m_pos = m_size = m_offset = 0;
  if (m_hDrive != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hDrive);
    m_hDrive = INVALID_HANDLE_VALUE;
  }
}

int CVobFile::FileAt(int sector, int* start) const {
  int first = 0;
  for (size_t i = 0; i < m_files.size(); ++i) {
    if (sector < first + m_files[i].size) {
      *start = first;
      return static_cast<int>(i);
    }
    first += m_files[i].size;
  }
  return -1;
}

bool CVobFile::OpenFileAt(int sector) {
  int start = 0;
  const int i = FileAt(sector, &start);
  if (i < 0) return false;
  if (i != m_iFile) {
    m_file.Close();
    m_iFile = -1;
    if (!m_file.Open(m_files[i].path)) return false;
    m_iFile = i;
  }
  m_file.Seek(sector - start);
  return true;
}

int CVobFile::Seek(int pos) {
  LONGLONG target = LONGLONG(pos) + m_offset;
  if (target < m_offset) target = m_offset;
  if (target > m_size) target = m_size;
  if (target == m_size) {
    // The end: no file holds it, the next read ends the data.
    m_pos = m_size;
  } else if (OpenFileAt(static_cast<int>(target))) {
    m_pos = static_cast<int>(target);
  }
  return m_pos - m_offset;
}

int CVobFile::Read(BYTE* buffer, int count) {
  if (m_pos >= m_size || count <= 0) return 0;
  // The end of a file as listed: the next sector is in the next file.
  if (m_iFile >= 0 && m_file.IsOpen() && m_file.GetPosition() >= m_files[m_iFile].size) {
    m_file.Close();
    m_iFile = -1;
  }
  if (!m_file.IsOpen() && !OpenFileAt(m_pos)) return 0;
  const int left = m_files[m_iFile].size - m_file.GetPosition();
  const int got = m_file.Read(buffer, std::min(count, left));
  m_pos += got;
  return got;
}
