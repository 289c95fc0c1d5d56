// "CDXA Reader": a RIFF "CDXA" file (a VideoCD's MPEG files as they appear
// on the disc: raw 2352-byte Mode 2 sectors behind a 44-byte RIFF header)
// as one byte stream of its sectors' 2324-byte payloads, starting at the
// first sector whose payload begins a known container, whose type it
// offers so that the graph manager can pick the splitter.
#pragma once

#include "foundation/LoadableAsyncReader.h"

PELLOMAR_DEFINE_GUID(CLSID_CDXAReader, "D367878E-F3B8-4235-A968-F378EF1B9A44");

class CCDXAStream : public CLockedAsyncStream {
 public:
  static constexpr DWORD kRawSector = 2352;
  static constexpr DWORD kPayload = 2324;
  static constexpr DWORD kPayloadOffset = 24;  // sync, header, subheader

  ~CCDXAStream() override;

  // false for a file that is not CDXA or whose payload is of no known type.
  bool Load(const std::wstring& path);
  const GUID& GetSubtype() const { return m_subtype; }

  HRESULT SetPointer(LONGLONG position) override;
  // Fewer bytes than asked (S_FALSE) at the end of the payload, or where
  // the file gives fewer bytes than its length promised: only bytes read
  // from the file are delivered.
  HRESULT Read(PBYTE buffer, DWORD bytesToRead, BOOL alignToSectors, LPDWORD bytesRead) override;

 private:
  LONGLONG StreamLength() override { return m_llLength; }
  void Close();
  bool LookForMediaSubType();
  // The payload bytes of a sector that the file holds (0 to 2324), read
  // into the sector buffer.
  DWORD ReadSector(LONGLONG sector);
  // Payload bytes from a position of the stream; the count read.
  DWORD ReadPayload(LONGLONG position, BYTE* buffer, DWORD count);

  HANDLE m_hFile = INVALID_HANDLE_VALUE;
  LONGLONG m_llPosition = 0;
  LONGLONG m_llLength = 0;
  int m_nFirstSector = 0;
  LONGLONG m_nBufferedSector = -1;
  DWORD m_nBufferedBytes = 0;  // payload bytes of the buffered sector
  BYTE m_sector[kRawSector] = {};
  GUID m_subtype = GUID_NULL;
};

class CCDXAReader : public CLoadableAsyncReader {
 public:
  CCDXAReader(LPUNKNOWN outer, HRESULT* phr);

  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;

 private:
  CCDXAStream m_stream;
};
