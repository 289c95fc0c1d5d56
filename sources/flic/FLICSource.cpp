#include "sources/flic/FLICSource.h"

#include <cstdlib>
#include <cstring>

#include "foundation/FilterHelpers.h"

CFLICStream::CFLICStream(LPCWSTR fileName, CSource* filter, HRESULT* phr)
    : CBaseStream(NAME("FLIC stream"), filter, phr) {
  CAutoLock lock(&m_cSharedState);
  const bool opened = fileName && m_file.Open(fileName) &&
                      m_decoder.Open([this](LONGLONG at, void* buffer, LONG n) { return m_file.ReadAt(at, buffer, n); },
                                     m_file.Length());
  if (!opened) {
    if (phr) *phr = E_FAIL;
    return;
  }
  m_AvgTimePerFrame = m_decoder.FrameDuration();
  m_rtDuration = m_rtStop = m_decoder.FrameCount() * m_decoder.FrameDuration();
}

HRESULT CFLICStream::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  return pmt->majortype == MEDIATYPE_Video && pmt->subtype == MEDIASUBTYPE_RGB32 ? S_OK : E_INVALIDARG;
}

HRESULT CFLICStream::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(&m_cSharedState);
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  const int w = m_decoder.Width(), h = m_decoder.Height();
  VIDEOINFOHEADER vih{};
  vih.AvgTimePerFrame = m_AvgTimePerFrame;
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = w;
  vih.bmiHeader.biHeight = -h;  // top-down
  vih.bmiHeader.biPlanes = 1;
  vih.bmiHeader.biBitCount = 32;
  vih.bmiHeader.biCompression = BI_RGB;
  vih.bmiHeader.biSizeImage = static_cast<DWORD>(w) * static_cast<DWORD>(h) * 4;
  pmt->InitMediaType();
  pmt->SetType(&MEDIATYPE_Video);
  pmt->SetSubtype(&MEDIASUBTYPE_RGB32);
  pmt->SetFormatType(&FORMAT_VideoInfo);
  pmt->SetTemporalCompression(TRUE);
  pmt->SetSampleSize(vih.bmiHeader.biSizeImage);
  return pmt->SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CFLICStream::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  CAutoLock lock(&m_cSharedState);
  request->cBuffers = 1;
  request->cbBuffer = m_decoder.Width() * m_decoder.Height() * 4;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CFLICStream::FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) {
  // Downstream may hand over a new type (another stride) with a sample.
  AM_MEDIA_TYPE* changed = nullptr;
  if (sample && sample->GetMediaType(&changed) == S_OK && changed) {
    CMediaType mt(*changed);
    DeleteMediaType(changed);
    if (CheckMediaType(&mt) == S_OK) SetMediaType(&mt);
  }
  if (frameNumber >= m_decoder.FrameCount()) return S_FALSE;
  if (!m_decoder.Decode(frameNumber)) return E_FAIL;

  BITMAPINFOHEADER bih;
  if ((m_mt.formattype != FORMAT_VideoInfo && m_mt.formattype != FORMAT_VideoInfo2) ||
      !MediaTypeToBitmapInfo(&m_mt, &bih) || bih.biWidth <= 0 || bih.biHeight == 0)
    return VFW_E_TYPE_NOT_ACCEPTED;
  const LONGLONG stride = static_cast<LONGLONG>(bih.biWidth) * 4;
  const LONGLONG rows = std::llabs(static_cast<LONGLONG>(bih.biHeight));
  if (stride * rows > length) return E_FAIL;
  // Parts of a larger picture than the animation's stay black.
  if (bih.biWidth > m_decoder.Width() || rows > m_decoder.Height())
    std::memset(buffer, 0, static_cast<size_t>(stride * rows));
  m_decoder.ToRgb32(buffer, static_cast<LONG>(stride), static_cast<int>(rows), bih.biWidth, bih.biHeight > 0);
  length = static_cast<LONG>(stride * rows);
  return S_OK;
}

CFLICSource::CFLICSource(LPUNKNOWN outer, HRESULT* phr)
    : CBaseSource<CFLICStream>(NAME("FLIC source"), outer, phr, CLSID_FLICSource) {
  if (phr) *phr = S_OK;
}
