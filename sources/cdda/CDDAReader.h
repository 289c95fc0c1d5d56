// "CDDA Reader": an audio CD track, named by its ".cda" file ("D:\Track03.cda"),
// as a WAV byte stream: a 44-byte RIFF/WAVE header and the track's raw
// 16-bit stereo samples, read from the drive sector by sector wherever a
// downstream parser asks. The track's CD-TEXT title and performer are
// offered through IAMMediaContent.
#pragma once

#include <string>

#include "foundation/LoadableAsyncReader.h"
#include "platform/com/Dispatch.h"
#include "platform/win32/CdRom.h"

PELLOMAR_DEFINE_GUID(CLSID_CDDAReader, "54A35221-2C8D-4A31-A5DF-6D809847E393");

class CCDDAStream : public CLockedAsyncStream {
 public:
  CCDDAStream();
  ~CCDDAStream() override;

  // Opens the drive and the track a ".cda" path names; false for any other
  // path, a drive that cannot be opened, a table of contents that cannot be
  // read or does not hold the track, and a data track.
  bool Load(const std::wstring& path);

  HRESULT SetPointer(LONGLONG position) override;
  // Fewer bytes than asked (S_FALSE) at the end of the track or when a
  // sector cannot be read.
  HRESULT Read(PBYTE buffer, DWORD bytesToRead, BOOL alignToSectors, LPDWORD bytesRead) override;

  std::wstring GetTrackTitle() const { return m_trackTitle; }
  std::wstring GetTrackArtist() const { return m_trackArtist; }
  std::wstring GetDiscTitle() const { return m_discTitle; }
  std::wstring GetDiscArtist() const { return m_discArtist; }

 private:
  LONGLONG StreamLength() override { return sizeof m_header + m_llLength; }
  void Close();
  bool ReadTrack(int track);
  void ReadCdText(int track);

  LONGLONG m_llPosition = 0;
  LONGLONG m_llLength = 0;  // bytes of sound
  HANDLE m_hDrive = INVALID_HANDLE_VALUE;
  CDROM_TOC m_TOC{};
  DWORD m_nStartSector = 0, m_nStopSector = 0;
  BYTE m_header[44] = {};
  std::wstring m_discTitle, m_trackTitle, m_discArtist, m_trackArtist;
  // The last sector read, so that a read ending inside a sector does not
  // read it again from the drive.
  BYTE m_sector[CD_RAW_SECTOR_SIZE];
  LONGLONG m_cached = -1;
};

class CCDDAReader : public CLoadableAsyncReader, public IAMMediaContent {
 public:
  CCDDAReader(LPUNKNOWN outer, HRESULT* phr);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;

  // IDispatch: no type information.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override;

  // IAMMediaContent: the track's CD-TEXT performer and title; the rest is
  // not kept.
  STDMETHODIMP get_AuthorName(BSTR* value) override;
  STDMETHODIMP get_Title(BSTR* value) override;
  STDMETHODIMP get_Rating(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_Description(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_Copyright(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_BaseURL(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_LogoURL(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_LogoIconURL(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_WatermarkURL(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoURL(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoBannerImage(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoBannerURL(BSTR* value) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoText(BSTR* value) override { return E_NOTIMPL; }

 private:
  CCDDAStream m_stream;
};
