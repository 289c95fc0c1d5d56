// "VTS Reader": a DVD video title set, loaded by the path of its IFO file,
// as one MPEG-2 program stream: the title's VOB files read as one run of
// bytes by a downstream parser.
#pragma once

#include "foundation/LoadableAsyncReader.h"
#include "sources/vts/VobFile.h"

PELLOMAR_DEFINE_GUID(CLSID_VTSReader, "773EAEDE-D5EE-4FCE-9C8F-C4F53D0A2F73");

class CVTSStream : public CLockedAsyncStream {
 public:
  bool Load(const std::wstring& ifoPath);

  // The byte position, as a sector of the title and an offset in it;
  // S_FALSE when that sector cannot be reached.
  HRESULT SetPointer(LONGLONG position) override;
  // Fewer bytes than asked (S_FALSE) at the end of the title or when a
  // sector cannot be read.
  HRESULT Read(PBYTE buffer, DWORD bytesToRead, BOOL alignToSectors, LPDWORD bytesRead) override;

 private:
  LONGLONG StreamLength() override { return LONGLONG(m_vob.GetLength()) * 2048; }

  CVobFile m_vob;
  int m_off = 0;  // the byte offset in the current sector
};

class CVTSReader : public CLoadableAsyncReader {
 public:
  CVTSReader(LPUNKNOWN outer, HRESULT* phr);

  // Fails with E_FAIL for anything but the IFO file of a title set with
  // readable VOB files.
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;

 private:
  CVTSStream m_stream;
};
