#include "sources/cdda/CDDAReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwctype>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/win32/CodePage.h"

namespace {

constexpr LONGLONG kHeaderSize = 44;
constexpr LONGLONG kSector = CD_RAW_SECTOR_SIZE;
// No CD-TEXT string is longer than the packs can carry; this bounds a
// damaged run without terminators.
constexpr size_t kMaxText = 4096;

void PutLe32(BYTE* p, DWORD v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
  p[2] = BYTE(v >> 16);
  p[3] = BYTE(v >> 24);
}

// "X:\...\TrackNN.cda" (any case, '/' also taken for '\'): the drive letter
// and the track number.
bool ParseCdaPath(const std::wstring& path, wchar_t* drive, int* track) {
  const size_t colon = path.find(L':');
  if (colon != 1 || path.size() < 2 + 4 || (path[2] != L'\\' && path[2] != L'/') || !std::iswalpha(path[0]))
    return false;
  std::wstring ext = path.substr(path.size() - 4);
  for (wchar_t& c : ext) c = static_cast<wchar_t>(std::towlower(c));
  if (ext != L".cda") return false;
  size_t digits = path.size() - 4;
  while (digits > 3 && std::iswdigit(path[digits - 1])) --digits;
  const size_t count = path.size() - 4 - digits;
  if (count == 0 || count > 3) return false;
  *drive = path[0];
  *track = std::stoi(path.substr(digits, count));
  return true;
}

// The logical block of a table-of-contents address; -1 for a field out of
// range.
LONGLONG AddressToLba(const TRACK_DATA& t) {
  if (t.Address[2] > 59 || t.Address[3] > 74) return -1;
  return (LONGLONG(t.Address[1]) * 60 + t.Address[2]) * 75 + t.Address[3] - 150;
}

}  // namespace

// ---------------------------------------------------------------------------
// CCDDAStream

CCDDAStream::CCDDAStream() = default;

CCDDAStream::~CCDDAStream() { Close(); }

void CCDDAStream::Close() {
  if (m_hDrive != INVALID_HANDLE_VALUE) CloseHandle(m_hDrive);
  m_hDrive = INVALID_HANDLE_VALUE;
  m_llPosition = m_llLength = 0;
  m_nStartSector = m_nStopSector = 0;
  m_cached = -1;
  m_discTitle.clear();
  m_trackTitle.clear();
  m_discArtist.clear();
  m_trackArtist.clear();
}

bool CCDDAStream::Load(const std::wstring& path) {
  CAutoLock lock(&m_csLock);
  Close();
  wchar_t drive = 0;
  int track = 0;
  if (!ParseCdaPath(path, &drive, &track)) return false;
  const char device[] = {'\\', '\\', '.', '\\', static_cast<char>(drive), ':', 0};
  m_hDrive = CreateFileA(device, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_hDrive == INVALID_HANDLE_VALUE || !ReadTrack(track)) {
    Close();
    return false;
  }
  ReadCdText(track);

  std::memcpy(m_header, "RIFF", 4);
  PutLe32(m_header + 4, static_cast<DWORD>(m_llLength + 36));
  std::memcpy(m_header + 8, "WAVEfmt ", 8);
  PutLe32(m_header + 16, 16);
  const BYTE format[16] = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};  // 44100 Hz, 176400 B/s
  std::memcpy(m_header + 20, format, sizeof format);
  std::memcpy(m_header + 36, "data", 4);
  PutLe32(m_header + 40, static_cast<DWORD>(m_llLength));
  return true;
}

bool CCDDAStream::ReadTrack(int track) {
  std::memset(&m_TOC, 0, sizeof m_TOC);
  DWORD got = 0;
  if (!DeviceIoControl(m_hDrive, IOCTL_CDROM_READ_TOC, nullptr, 0, &m_TOC, sizeof m_TOC, &got, nullptr) || got < 4)
    return false;
  // What the drive filled is all that counts: its length field, the bytes
  // returned and the table's room, whichever is least.
  const size_t filled = std::min<size_t>({(size_t(m_TOC.Length[0]) << 8 | m_TOC.Length[1]) + 2, got, sizeof m_TOC});
  const int entries = static_cast<int>((filled - 4) / sizeof(TRACK_DATA));
  if (track < m_TOC.FirstTrack || track > m_TOC.LastTrack) return false;
  const int i = track - m_TOC.FirstTrack;
  if (i + 1 >= entries) return false;  // the next entry (or the lead-out) ends the track
  const TRACK_DATA& entry = m_TOC.TrackData[i];
  if (entry.TrackNumber != track || (entry.Control & 4)) return false;
  const LONGLONG start = AddressToLba(entry);
  const LONGLONG stop = AddressToLba(m_TOC.TrackData[i + 1]);
  if (start < 0 || stop <= start) return false;
  m_nStartSector = static_cast<DWORD>(start);
  m_nStopSector = static_cast<DWORD>(stop);
  m_llLength = (stop - start) * kSector;
  return true;
}

void CCDDAStream::ReadCdText(int track) {
  CDROM_READ_TOC_EX request{};
  request.Format = CDROM_READ_TOC_EX_FORMAT_CDTEXT;
  BYTE header[4] = {};
  DWORD got = 0;
  if (!DeviceIoControl(m_hDrive, IOCTL_CDROM_READ_TOC_EX, &request, sizeof request, header, sizeof header, &got,
                       nullptr) ||
      got < 4)
    return;
  const size_t total = (size_t(header[0]) << 8 | header[1]) + 2;
  if (total <= 4) return;
  std::vector<BYTE> data(total);
  if (!DeviceIoControl(m_hDrive, IOCTL_CDROM_READ_TOC_EX, &request, sizeof request, data.data(),
                       static_cast<DWORD>(total), &got, nullptr))
    return;
  // The packs the answer holds, bounded by what was returned.
  const size_t packs = (std::min<size_t>(got, total) - std::min<size_t>(got, 4)) / 18;

  // Strings by pack type (0x80 to 0x8F) and track (0 for the disc). A pack
  // carries the track of its first character; each terminator moves on to
  // the next track's string.
  std::array<std::array<std::string, 100>, 16> text;
  std::array<bool, 16> doubleByte{};
  for (size_t p = 0; p < packs; ++p) {
    const BYTE* pack = data.data() + 4 + p * 18;
    if (pack[0] < 0x80 || pack[0] > 0x8F) continue;
    const int type = pack[0] - 0x80;
    int t = pack[1] & 0x7F;
    // Other languages than the first (block 0) are not kept, nor tracks
    // past the 99 a disc can hold.
    if (((pack[3] >> 4) & 7) != 0 || t > 99) continue;
    const bool wide = pack[3] & 0x80;
    doubleByte[type] = doubleByte[type] || wide;
    const int step = wide ? 2 : 1;
    for (int j = 0; j + step <= 12 && t <= 99; j += step) {
      const BYTE* c = pack + 4 + j;
      if (c[0] == 0 && (!wide || c[1] == 0)) {
        ++t;
        continue;
      }
      std::string& s = text[type][t];
      if (s.size() + step <= kMaxText) s.append(reinterpret_cast<const char*>(c), step);
    }
  }
  auto decode = [&](int type, int t) {
    std::string s = text[type][t];
    // A lone tab: the same as the previous track.
    if (s == "\t" && t > 0) s = text[type][t - 1];
    std::wstring out;
    if (doubleByte[type]) {  // MS-JIS
      const int n = s.empty() ? 0 : MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
      out.resize(n > 0 ? size_t(n) : 0);
      if (n > 0) MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
      return out;
    }
    for (unsigned char c : s) out.push_back(static_cast<wchar_t>(c));  // ISO 8859-1
    return out;
  };
  m_discTitle = decode(0, 0);
  m_discArtist = decode(1, 0);
  m_trackTitle = decode(0, track);
  m_trackArtist = decode(1, track);
}

HRESULT CCDDAStream::SetPointer(LONGLONG position) {
  CAutoLock lock(&m_csLock);
  if (position < 0 || position > m_llLength + kHeaderSize) return S_FALSE;
  m_llPosition = position;
  return S_OK;
}

HRESULT CCDDAStream::Read(PBYTE buffer, DWORD bytesToRead, BOOL, LPDWORD bytesRead) {
  CAutoLock lock(&m_csLock);
  DWORD done = 0;
  while (done < bytesToRead) {
    if (m_llPosition < kHeaderSize) {
      const DWORD take = std::min<DWORD>(bytesToRead - done, static_cast<DWORD>(kHeaderSize - m_llPosition));
      std::memcpy(buffer + done, m_header + m_llPosition, take);
      done += take;
      m_llPosition += take;
      continue;
    }
    const LONGLONG offset = m_llPosition - kHeaderSize;
    if (offset >= m_llLength) break;
    const LONGLONG sector = offset / kSector;
    if (sector != m_cached) {
      RAW_READ_INFO info{};
      info.DiskOffset.QuadPart = (m_nStartSector + sector) * 2048;
      info.SectorCount = 1;
      info.TrackMode = CDDA;
      DWORD got = 0;
      m_cached = -1;
      if (!DeviceIoControl(m_hDrive, IOCTL_CDROM_RAW_READ, &info, sizeof info, m_sector, sizeof m_sector, &got,
                           nullptr) ||
          got != sizeof m_sector)
        break;
      m_cached = sector;
    }
    const LONGLONG within = offset % kSector;
    const DWORD take = static_cast<DWORD>(
        std::min<LONGLONG>({kSector - within, LONGLONG(bytesToRead - done), m_llLength - offset}));
    std::memcpy(buffer + done, m_sector + within, take);
    done += take;
    m_llPosition += take;
  }
  if (bytesRead) *bytesRead = done;
  return done == bytesToRead ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------
// CCDDAReader

CCDDAReader::CCDDAReader(LPUNKNOWN outer, HRESULT* phr)
    : CLoadableAsyncReader("CDDA Reader", outer, &m_stream, phr, CLSID_CDDAReader, true) {}

HRESULT STDMETHODCALLTYPE CCDDAReader::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IAMMediaContent) return GetInterfaceAs<IAMMediaContent>(this, ppv);
  return CLoadableAsyncReader::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CCDDAReader::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
  CheckPointer(fileName, E_POINTER);
  if (!m_stream.Load(fileName)) return E_FAIL;
  Loaded(fileName, MEDIASUBTYPE_WAVE);
  return S_OK;
}

STDMETHODIMP CCDDAReader::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
STDMETHODIMP CCDDAReader::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CCDDAReader::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CCDDAReader::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

STDMETHODIMP CCDDAReader::get_AuthorName(BSTR* value) {
  CheckPointer(value, E_POINTER);
  // A track without its own performer is by the disc's.
  std::wstring artist = m_stream.GetTrackArtist();
  if (artist.empty()) artist = m_stream.GetDiscArtist();
  *value = SysAllocString(artist.c_str());
  return *value ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CCDDAReader::get_Title(BSTR* value) {
  CheckPointer(value, E_POINTER);
  *value = SysAllocString(m_stream.GetTrackTitle().c_str());
  return *value ? S_OK : E_OUTOFMEMORY;
}
