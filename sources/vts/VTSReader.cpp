#include "sources/vts/VTSReader.h"

#include <algorithm>
#include <cstring>

#include "foundation/FilterHelpers.h"

namespace {
constexpr LONGLONG kSector = 2048;
}

// ---------------------------------------------------------------------------
// CVTSStream

bool CVTSStream::Load(const std::wstring& ifoPath) {
  CAutoLock lock(&m_csLock);
  std::vector<std::string> vobs;
  m_off = 0;
  return m_vob.Open(WideToUtf8(ifoPath), vobs);
}

HRESULT CVTSStream::SetPointer(LONGLONG position) {
  CAutoLock lock(&m_csLock);
  if (position < 0) return S_FALSE;
  const LONGLONG sector = position / kSector;
  m_off = static_cast<int>(position & (kSector - 1));
  if (sector > m_vob.GetLength()) return S_FALSE;
  return m_vob.Seek(static_cast<int>(sector)) == sector ? S_OK : S_FALSE;
}

HRESULT CVTSStream::Read(PBYTE buffer, DWORD bytesToRead, BOOL, LPDWORD bytesRead) {
  CAutoLock lock(&m_csLock);
  BYTE sector[kSector];
  DWORD done = 0;
  while (done < bytesToRead) {
    // Whole sectors go straight into the buffer, as many at a time as the
    // file holding them gives.
    if (m_off == 0 && bytesToRead - done >= kSector) {
      const int got = m_vob.Read(buffer + done, static_cast<int>((bytesToRead - done) / kSector));
      if (got <= 0) break;
      done += static_cast<DWORD>(got * kSector);
      continue;
    }
    if (!m_vob.Read(sector)) break;
    const DWORD take = std::min<DWORD>(bytesToRead - done, static_cast<DWORD>(kSector - m_off));
    std::memcpy(buffer + done, sector + m_off, take);
    done += take;
    m_off = static_cast<int>((m_off + take) & (kSector - 1));
    // A sector not used up is read again by the next call.
    if (m_off != 0) m_vob.Seek(m_vob.GetPosition() - 1);
  }
  if (bytesRead) *bytesRead = done;
  return done == bytesToRead ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------
// CVTSReader

CVTSReader::CVTSReader(LPUNKNOWN outer, HRESULT* phr)
    : CLoadableAsyncReader("VTS Reader", outer, &m_stream, phr, CLSID_VTSReader, true) {}

STDMETHODIMP CVTSReader::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
  CheckPointer(fileName, E_POINTER);
  if (!m_stream.Load(fileName)) return E_FAIL;
  Loaded(fileName, MEDIASUBTYPE_MPEG2_PROGRAM);
  return S_OK;
}
