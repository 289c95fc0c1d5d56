#include "sources/cdxa/CDXAReader.h"

#include <algorithm>
#include <cstring>

#include "platform/dshow/Signatures.h"
#include "platform/win32/File.h"

namespace {

PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_OggStream, "D2855FA9-61A7-4DB0-B979-71F297C17A04");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_MatroskaStream, "1AC0BEBD-4D2B-45AD-BCEB-F2C41C5E3788");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_RealMediaStream, "57428EC6-C2B2-44A2-AA9C-28F0B6A5C48E");

// Payload sectors looked at for a known start.
constexpr LONGLONG kMaxProbeSectors = 1000;

DWORD Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | DWORD(p[3]) << 24; }

}  // namespace

// ---------------------------------------------------------------------------
// CCDXAStream

CCDXAStream::~CCDXAStream() { Close(); }

void CCDXAStream::Close() {
  if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  m_llPosition = m_llLength = 0;
  m_nFirstSector = 0;
  m_nBufferedSector = -1;
  m_nBufferedBytes = 0;
  m_subtype = GUID_NULL;
}

bool CCDXAStream::Load(const std::wstring& path) {
  CAutoLock lock(&m_csLock);
  Close();
  m_hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (m_hFile == INVALID_HANDLE_VALUE) return false;
  BYTE header[44];
  DWORD got = 0;
  LARGE_INTEGER size;
  if (!ReadFile(m_hFile, header, sizeof header, &got, nullptr) || got != sizeof header ||
      std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "CDXA", 4) != 0 ||
      Le32(header + 4) != Le32(header + 40) + 36 || !GetFileSizeEx(m_hFile, &size)) {
    Close();
    return false;
  }
  m_llLength = (size.QuadPart - 44) / kRawSector * kPayload;
  if (!LookForMediaSubType()) {
    Close();
    return false;
  }
  m_llPosition = 0;
  m_nBufferedSector = -1;
  return true;
}

bool CCDXAStream::LookForMediaSubType() {
  for (LONGLONG k = 0; k < kMaxProbeSectors && k * kPayload < m_llLength; ++k) {
    const DWORD n = ReadSector(k);
    const BYTE* p = m_sector + kPayloadOffset;
    GUID subtype = GUID_NULL;
    bool avi = false;
    if (n >= 5 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0xBA) {
      subtype = (p[4] & 0xC0) == 0x40 ? MEDIASUBTYPE_MPEG2_PROGRAM : MEDIASUBTYPE_MPEG1System;
    } else if (n >= 4 && std::memcmp(p, "OggS", 4) == 0) {
      subtype = MEDIASUBTYPE_OggStream;
    } else if (n >= 4 && std::memcmp(p, "\x1A\x45\xDF\xA3", 4) == 0) {
      subtype = MEDIASUBTYPE_MatroskaStream;
    } else if (n >= 4 && std::memcmp(p, ".RMF", 4) == 0) {
      subtype = MEDIASUBTYPE_RealMediaStream;
    } else if (n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "AVI ", 4) == 0) {
      subtype = MEDIASUBTYPE_Avi;
      avi = true;
    } else if (n >= 20 && (std::memcmp(p + 4, "moov", 4) == 0 || std::memcmp(p + 4, "mdat", 4) == 0 ||
                           (std::memcmp(p + 4, "ftyp", 4) == 0 && std::memcmp(p + 8, "isom", 4) == 0 &&
                            std::memcmp(p + 16, "mp41", 4) == 0))) {
      subtype = MEDIASUBTYPE_QTMovie;
    }
    if (subtype == GUID_NULL) continue;
    m_nFirstSector = static_cast<int>(k);
    m_llLength -= k * kPayload;
    // An AVI file says how long it is; what follows it is padding.
    if (avi) m_llLength = std::min<LONGLONG>(m_llLength, LONGLONG(Le32(p + 4)) + 8);
    m_subtype = subtype;
    return true;
  }

  // Else the platform's list of byte-stream types and their check bytes,
  // tested against the start of the payload.
  auto read = [this](LONGLONG offset, DWORD length, BYTE* buffer) {
    return offset >= 0 && ReadPayload(offset, buffer, length) == length;
  };
  SignatureMatch match;
  if (FindSignatureMatch(m_llLength, read, match, &MEDIATYPE_Stream)) {
    m_subtype = match.subtype;
    return true;
  }
  return false;
}

DWORD CCDXAStream::ReadSector(LONGLONG sector) {
  if (sector == m_nBufferedSector) return m_nBufferedBytes;
  std::memset(m_sector, 0, sizeof m_sector);
  m_nBufferedSector = -1;
  m_nBufferedBytes = 0;
  LARGE_INTEGER at;
  at.QuadPart = 44 + sector * kRawSector;
  DWORD got = 0;
  if (!SetFilePointerEx(m_hFile, at, nullptr, FILE_BEGIN) || !ReadFile(m_hFile, m_sector, kRawSector, &got, nullptr))
    got = 0;
  m_nBufferedSector = sector;
  m_nBufferedBytes = got <= kPayloadOffset ? 0 : std::min(got - kPayloadOffset, kPayload);
  return m_nBufferedBytes;
}

DWORD CCDXAStream::ReadPayload(LONGLONG position, BYTE* buffer, DWORD count) {
  DWORD done = 0;
  while (done < count && position < m_llLength) {
    const LONGLONG sector = m_nFirstSector + position / kPayload;
    const DWORD offset = static_cast<DWORD>(position % kPayload);
    const DWORD valid = ReadSector(sector);
    if (offset >= valid) break;  // the file ended early: nothing made up
    const DWORD take = static_cast<DWORD>(std::min<LONGLONG>({valid - offset, count - done, m_llLength - position}));
    std::memcpy(buffer + done, m_sector + kPayloadOffset + offset, take);
    done += take;
    position += take;
  }
  return done;
}

HRESULT CCDXAStream::SetPointer(LONGLONG position) {
  CAutoLock lock(&m_csLock);
  if (position < 0 || position > m_llLength) return S_FALSE;
  m_llPosition = position;
  return S_OK;
}

HRESULT CCDXAStream::Read(PBYTE buffer, DWORD bytesToRead, BOOL, LPDWORD bytesRead) {
  CAutoLock lock(&m_csLock);
  const DWORD done = ReadPayload(m_llPosition, buffer, bytesToRead);
  m_llPosition += done;
  if (bytesRead) *bytesRead = done;
  return done == bytesToRead ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------
// CCDXAReader

CCDXAReader::CCDXAReader(LPUNKNOWN outer, HRESULT* phr)
    : CLoadableAsyncReader("CDXA Reader", outer, &m_stream, phr, CLSID_CDXAReader) {}

STDMETHODIMP CCDXAReader::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
  CheckPointer(fileName, E_POINTER);
  if (!m_stream.Load(fileName)) return E_FAIL;
  Loaded(fileName, m_stream.GetSubtype());
  return S_OK;
}
