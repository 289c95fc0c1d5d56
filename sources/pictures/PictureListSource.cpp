#include "sources/pictures/PictureListSource.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "foundation/FilterHelpers.h"
#include "sources/pictures/PictureFileReader.h"

namespace {

size_t RowBytes(int width) { return (static_cast<size_t>(width) * 24 + 31) / 32 * 4; }

std::string Unreadable(const std::string& path, const std::string& why) {
  return "The picture " + path + " cannot be read: " + why + "\n";
}

}  // namespace

CPictureListStream::CPictureListStream(CSource* filter, HRESULT* phr)
    : CBaseStream(NAME("Picture list stream"), filter, phr) {}

HRESULT CPictureListStream::SetPictures(const std::vector<std::string>& paths, int width, int height,
                                        double seconds, int rateNum, int rateDen, std::string& error) {
  CAutoLock lock(&m_cSharedState);
  if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
  // The size must be one an RGB24 frame of the encoders can have; the
  // interval and frame time must give a stream that ends.
  if (paths.empty() || width < 2 || height < 2 || width > kMaxPictureSide || height > kMaxPictureSide ||
      !(seconds > 0.0) || seconds > 3600.0 || rateNum <= 0 || rateDen <= 0 ||
      static_cast<int64_t>(rateDen) * UNITS / rateNum <= 0) {
    error = "The picture list, its picture size or its interval is not usable\n";
    return E_INVALIDARG;
  }
  // Every picture is read once now, so that a damaged one fails the job
  // before anything is written.
  for (const std::string& path : paths) {
    CPicture picture;
    std::string why;
    if (!ReadPictureFile(path, picture, why)) {
      error = Unreadable(path, why);
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
  }
  m_paths = paths;
  m_nWidth = width;
  m_nHeight = height;
  m_rtPerPicture = std::llround(seconds * static_cast<double>(UNITS));
  m_nRateNum = rateNum;
  m_nRateDen = rateDen;
  m_AvgTimePerFrame = static_cast<int64_t>(rateDen) * UNITS / rateNum;
  m_rtDuration = m_rtStop = m_rtPerPicture * static_cast<REFERENCE_TIME>(paths.size());
  m_nShown = SIZE_MAX;
  m_strRunError.clear();
  return S_OK;
}

std::string CPictureListStream::GetRunError() {
  CAutoLock lock(&m_cSharedState);
  return m_strRunError;
}

HRESULT CPictureListStream::CheckMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  BITMAPINFOHEADER bih{};
  if (pmt->majortype != MEDIATYPE_Video || pmt->subtype != MEDIASUBTYPE_RGB24 ||
      (pmt->formattype != FORMAT_VideoInfo && pmt->formattype != FORMAT_VideoInfo2) ||
      !MediaTypeToBitmapInfo(pmt, &bih))
    return E_INVALIDARG;
  const LONG rows = bih.biHeight < 0 ? -bih.biHeight : bih.biHeight;
  return bih.biWidth == m_nWidth && rows == m_nHeight ? S_OK : E_INVALIDARG;
}

HRESULT CPictureListStream::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(&m_cSharedState);
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (m_paths.empty()) return VFW_E_NOT_CONNECTED;
  VIDEOINFOHEADER vih{};
  vih.AvgTimePerFrame = m_AvgTimePerFrame;
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = m_nWidth;
  vih.bmiHeader.biHeight = m_nHeight;  // bottom-up, as the pictures store their rows
  vih.bmiHeader.biPlanes = 1;
  vih.bmiHeader.biBitCount = 24;
  vih.bmiHeader.biCompression = BI_RGB;
  vih.bmiHeader.biSizeImage = static_cast<DWORD>(RowBytes(m_nWidth) * m_nHeight);
  pmt->InitMediaType();
  pmt->SetType(&MEDIATYPE_Video);
  pmt->SetSubtype(&MEDIASUBTYPE_RGB24);
  pmt->SetFormatType(&FORMAT_VideoInfo);
  pmt->SetTemporalCompression(FALSE);
  pmt->SetSampleSize(vih.bmiHeader.biSizeImage);
  return pmt->SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPictureListStream::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  CAutoLock lock(&m_cSharedState);
  request->cBuffers = 1;
  request->cbBuffer = static_cast<LONG>(RowBytes(m_nWidth) * m_nHeight);
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

bool CPictureListStream::LoadFrame(size_t index, std::string& error) {
  CPicture picture;
  if (!ReadPictureFile(m_paths[index], picture, error)) return false;
  // Fitted as the still-image writer fits frames: shrunk with its aspect
  // kept when it is larger, centred on black.
  if (!picture.ResampleToBox(m_nWidth, m_nHeight, RGBQUAD{0, 0, 0, 0}, &m_frame) ||
      static_cast<int>(m_frame.GetWidth()) != m_nWidth || static_cast<int>(m_frame.GetHeight()) != m_nHeight) {
    error = "it does not fit the picture size";
    return false;
  }
  m_nShown = index;
  return true;
}

size_t CPictureListStream::PictureOfFrame(int frameNumber) const {
  if (frameNumber < 0 || m_rtPerPicture <= 0 || m_nRateNum <= 0) return SIZE_MAX;
  // The frame starts at frameNumber * rateDen / rateNum seconds; it shows
  // the picture whose time holds that instant.
  const __int128 start = static_cast<__int128>(frameNumber) * m_nRateDen * UNITS;
  const __int128 index = start / (static_cast<__int128>(m_nRateNum) * m_rtPerPicture);
  return index < static_cast<__int128>(m_paths.size()) ? static_cast<size_t>(index) : SIZE_MAX;
}

HRESULT CPictureListStream::FillFrame(IMediaSample* /*sample*/, int frameNumber, BYTE* buffer, LONG& length) {
  const size_t index = PictureOfFrame(frameNumber);
  if (index == SIZE_MAX) return S_FALSE;
  if (index != m_nShown) {
    std::string why;
    if (!LoadFrame(index, why)) {
      m_strRunError = Unreadable(m_paths[index], why);
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
  }
  BITMAPINFOHEADER bih{};
  if (!MediaTypeToBitmapInfo(&m_mt, &bih)) return VFW_E_TYPE_NOT_ACCEPTED;
  const size_t rowBytes = RowBytes(m_nWidth);
  if (length < 0 || static_cast<size_t>(length) < rowBytes * m_nHeight) return E_FAIL;
  // The picture's rows are stored bottom-up; a top-down type takes them
  // the other way round.
  const bool topDown = bih.biHeight < 0;
  for (int y = 0; y < m_nHeight; ++y) {
    const DWORD row = static_cast<DWORD>(topDown ? m_nHeight - 1 - y : y);
    std::memcpy(buffer + rowBytes * y, m_frame.GetBits(row), rowBytes);
  }
  length = static_cast<LONG>(rowBytes * m_nHeight);
  return S_OK;
}

CPictureListSource::CPictureListSource(LPUNKNOWN outer, HRESULT* phr)
    : CSource(NAME("Picture list source"), outer, CLSID_PictureListSource, phr) {
  HRESULT hr = S_OK;
  // The stream adds itself to the filter's pins, which delete it.
  m_pStream = new (std::nothrow) CPictureListStream(this, &hr);
  if (!m_pStream) hr = E_OUTOFMEMORY;
  if (phr) *phr = hr;
}

HRESULT CPictureListSource::SetPictures(const std::vector<std::string>& paths, int width, int height,
                                        double seconds, int rateNum, int rateDen, std::string& error) {
  CAutoLock lock(&m_cStateLock);
  if (m_State != State_Stopped) return VFW_E_WRONG_STATE;
  if (!m_pStream) return E_UNEXPECTED;
  return m_pStream->SetPictures(paths, width, height, seconds, rateNum, rateDen, error);
}

HRESULT STDMETHODCALLTYPE CPictureListSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  return CSource::NonDelegatingQueryInterface(riid, ppv);
}

std::string CPictureListSource::GetRunError() const { return m_pStream ? m_pStream->GetRunError() : std::string(); }
