#include "sources/d2v/D2VSource.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/win32/CodePage.h"

namespace {

// Picture size and bits per pixel of a video media type; false for other
// format blocks.
bool VideoGeometry(const CMediaType& mt, LONG& width, LONG& height, WORD& bits) {
  const BITMAPINFOHEADER* bih = nullptr;
  if (*mt.FormatType() == FORMAT_VideoInfo && mt.FormatLength() >= sizeof(VIDEOINFOHEADER))
    bih = &reinterpret_cast<const VIDEOINFOHEADER*>(mt.Format())->bmiHeader;
  else if (*mt.FormatType() == FORMAT_VideoInfo2 && mt.FormatLength() >= sizeof(VIDEOINFOHEADER2))
    bih = &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.Format())->bmiHeader;
  if (!bih) return false;
  width = bih->biWidth;
  height = std::abs(bih->biHeight);
  bits = bih->biBitCount;
  return true;
}

}  // namespace

CD2VSource::CD2VSource(LPUNKNOWN outer, HRESULT* phr)
    : CBaseSource<CD2VStream>(NAME("CD2VSource"), outer, phr, CLSID_D2VSource) {
  if (phr) *phr = S_OK;
}

CD2VStream::CD2VStream(LPCWSTR fileName, CSource* filter, HRESULT* phr)
    : CBaseStream(NAME("CD2VStream"), filter, phr) {
  CAutoLock lock(&m_cSharedState);
  if (phr && FAILED(*phr)) return;
  HRESULT hr = S_OK;
  m_decoder.reset(new (std::nothrow) CD2VDecoder());
  std::string path;
  try {
    if (!m_decoder) {
      hr = E_OUTOFMEMORY;
    } else if (!fileName || (path = WideToUtf8(fileName)).empty() ||
               !m_decoder->Open(path.c_str(), CD2VDecoder::kYuy2)) {
      hr = E_FAIL;
    } else {
      m_frame.assign(m_decoder->FrameBytes(), 0);
      // Frame_Rate counts frames per 1000 seconds.
      m_AvgTimePerFrame = 10000000000LL / m_decoder->Project().frameRate;
      m_rtDuration = m_rtStop = m_AvgTimePerFrame * m_decoder->FrameCount();
      hr = m_rtDuration > 0 ? S_OK : E_FAIL;
    }
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) m_decoder.reset();
  if (phr) *phr = hr;
}

CD2VStream::~CD2VStream() {
  CAutoLock lock(&m_cSharedState);
  m_frame.clear();
  m_decoder.reset();
}

HRESULT CD2VStream::CheckMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (*pmt->Type() == MEDIATYPE_Video && *pmt->Subtype() == MEDIASUBTYPE_YUY2 &&
      *pmt->FormatType() == FORMAT_VideoInfo)
    return S_OK;
  return E_INVALIDARG;
}

HRESULT CD2VStream::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(m_pFilter->pStateLock());
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (!m_decoder) return E_UNEXPECTED;
  pmt->InitMediaType();
  pmt->SetType(&MEDIATYPE_Video);
  pmt->SetSubtype(&MEDIASUBTYPE_YUY2);
  pmt->SetFormatType(&FORMAT_VideoInfo);
  pmt->SetTemporalCompression(FALSE);
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  if (!vih) return E_OUTOFMEMORY;
  vih->AvgTimePerFrame = m_AvgTimePerFrame;
  BITMAPINFOHEADER& bih = vih->bmiHeader;
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = m_decoder->Width();
  bih.biHeight = m_decoder->Height();
  bih.biPlanes = 1;
  bih.biBitCount = 16;
  bih.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
  bih.biSizeImage = static_cast<DWORD>(bih.biWidth * bih.biHeight * 16 / 8);
  pmt->SetSampleSize(bih.biSizeImage);
  return S_OK;
}

HRESULT CD2VStream::SetMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (m_decoder) {
    if (*pmt->Subtype() != MEDIASUBTYPE_YUY2) return E_FAIL;
    m_decoder->SetOutputMode(CD2VDecoder::kYuy2);
  }
  return CBaseStream::SetMediaType(pmt);
}

HRESULT CD2VStream::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  LONG width = 0, height = 0;
  WORD bits = 0;
  if (!VideoGeometry(m_mt, width, height, bits)) return E_FAIL;
  const int64_t bytes = int64_t{width} * height * bits / 8;
  if (bytes <= 0 || bytes > 0x7FFFFFFF) return E_FAIL;
  request->cBuffers = 1;
  request->cbBuffer = static_cast<LONG>(bytes);
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CD2VStream::FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) {
  if (!m_decoder) return S_FALSE;
  AM_MEDIA_TYPE* changed = nullptr;
  if (sample->GetMediaType(&changed) == S_OK && changed) {
    CMediaType mt;
    mt.Set(*changed);
    DeleteMediaType(changed);
    SetMediaType(&mt);
  }
  LONG width = 0, height = 0;
  WORD bits = 0;
  if (!VideoGeometry(m_mt, width, height, bits)) return S_FALSE;
  if (frameNumber < 0) return S_FALSE;
  const ptrdiff_t srcRow = static_cast<ptrdiff_t>(m_decoder->Width()) * 2;
  const ptrdiff_t dstRow = static_cast<ptrdiff_t>(width) * bits / 8;
  // The data ended before this frame: the stream ends cleanly here.
  try {
    if (!m_decoder->GetFrame(m_frame.data(), static_cast<uint32_t>(frameNumber), srcRow)) return S_FALSE;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  // Never more rows than the frame holds or the sample can take.
  int rows = std::min<int>(height, m_decoder->Height());
  if (dstRow > 0) rows = static_cast<int>(std::min<int64_t>(rows, length / dstRow));
  const size_t rowBytes = static_cast<size_t>(std::max<ptrdiff_t>(0, std::min(srcRow, dstRow)));
  for (int r = 0; r < rows; ++r) std::memcpy(buffer + r * dstRow, m_frame.data() + r * srcRow, rowBytes);
  length = static_cast<LONG>(std::max<ptrdiff_t>(0, dstRow) * rows);
  return S_OK;
}

STDMETHODIMP CD2VStream::Notify(IBaseFilter* sender, Quality q) {
  if (q.Late >= 1 && q.Late <= 99999999) {
    CAutoLock lock(&m_cSharedState);
    if (m_AvgTimePerFrame > 0) {
      const REFERENCE_TIME skip = q.Late / m_AvgTimePerFrame * m_AvgTimePerFrame;
      m_rtSampleTime += skip;
      m_rtPosition += skip;
    }
  }
  return S_OK;
}
