#include "conversion/PictureTurner.h"

#include <algorithm>
#include <cstdlib>

#include "foundation/FilterFactory.h"
#include "foundation/PixelConversion.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/win32/Gdi.h"

namespace {

// The picture layouts turned here, with their size; None for any other.
RawVideo TurnedLayout(const AM_MEDIA_TYPE& mt, LONG* width, LONG* height) {
  if (mt.majortype != MEDIATYPE_Video || (mt.formattype != FORMAT_VideoInfo && mt.formattype != FORMAT_VideoInfo2))
    return RawVideo::None;
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  const RawVideo kind = RawVideoOf(mt.subtype);
  if (!bih || bih->biWidth <= 0 || bih->biHeight == 0 || bih->biWidth > 16384 || std::abs(bih->biHeight) > 16384)
    return RawVideo::None;
  const bool planar = kind == RawVideo::YV12 || kind == RawVideo::I420;
  if (planar ? (bih->biWidth % 2 || bih->biHeight % 2) : (kind != RawVideo::RGB24 && kind != RawVideo::RGB32))
    return RawVideo::None;
  *width = bih->biWidth;
  *height = std::abs(bih->biHeight);
  return kind;
}

// Turns one picture of `kind` laid out as DirectShow keeps it (RGB rows
// bottom-up unless the height is negative) into `dst`, the turned layout.
bool TurnFrame(RawVideo kind, LONG width, LONG height, bool topDown, const BYTE* src, BYTE* dst, int degrees) {
  const bool sideways = degrees == 90 || degrees == 270;
  const LONG outW = sideways ? height : width, outH = sideways ? width : height;
  if (kind == RawVideo::RGB24 || kind == RawVideo::RGB32) {
    const int bits = kind == RawVideo::RGB24 ? 24 : 32;
    const ptrdiff_t in = static_cast<ptrdiff_t>(DibRowBytes(width, bits));
    const ptrdiff_t out = static_cast<ptrdiff_t>(DibRowBytes(outW, bits));
    // Both are read top row first; the turned picture is bottom-up as a
    // type made here says (or top-down as the input was).
    const BYTE* top = topDown ? src : src + (height - 1) * in;
    BYTE* dstTop = topDown ? dst : dst + (outH - 1) * out;
    return TurnPicture(width, height, bits / 8, top, topDown ? in : -in, dstTop, topDown ? out : -out, degrees);
  }
  // Y, then the two quarter planes in the order they came.
  const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (!TurnPicture(width, height, 1, src, width, dst, outW, degrees)) return false;
  for (size_t plane = 0; plane < 2; ++plane) {
    const size_t at = luma + plane * (luma / 4);
    if (!TurnPicture(width / 2, height / 2, 1, src + at, width / 2, dst + at, outW / 2, degrees)) return false;
  }
  return true;
}

}  // namespace

CPictureTurner::CPictureTurner(LPUNKNOWN outer, HRESULT*)
    : CTransformFilter(NAME("CPictureTurner"), outer, CLSID_PictureTurner) {}

HRESULT CPictureTurner::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CPictureTurner>(outer, riid, ppv);
}

HRESULT CPictureTurner::SetTurn(int degrees) {
  if (degrees != 90 && degrees != 180 && degrees != 270) return E_INVALIDARG;
  CAutoLock lock(&m_csFilter);
  if (m_pInput && m_pInput->IsConnected()) return VFW_E_WRONG_STATE;
  m_nTurn = degrees;
  return S_OK;
}

bool CPictureTurner::TurnedType(const CMediaType& in, int degrees, CMediaType* out) {
  LONG width = 0, height = 0;
  const RawVideo kind = TurnedLayout(in, &width, &height);
  if (kind == RawVideo::None || (degrees != 90 && degrees != 180 && degrees != 270)) return false;
  const bool sideways = degrees != 180;
  const LONG outW = sideways ? height : width, outH = sideways ? width : height;
  if (FAILED(MakeRawVideoType(out, kind, outW, outH, VideoFrameTime(in), in.formattype == FORMAT_VideoInfo2)))
    return false;
  // Top-down RGB stays top-down.
  if (VideoBitmapHeader(in)->biHeight < 0) VideoBitmapHeader(*out)->biHeight = -outH;
  LONG aspectX = 0, aspectY = 0;
  if (VideoDisplayAspect(in, &aspectX, &aspectY))
    SetVideoDisplayAspect(*out, sideways ? aspectY : aspectX, sideways ? aspectX : aspectY);
  return true;
}

HRESULT CPictureTurner::CheckInputType(const CMediaType* in) {
  CheckPointer(in, E_POINTER);
  LONG width = 0, height = 0;
  const RawVideo kind = TurnedLayout(*in, &width, &height);
  if (kind == RawVideo::None) return VFW_E_TYPE_NOT_ACCEPTED;
  // While streaming, a new size of the same layout (it goes on turned).
  if (m_pInput && m_pInput->IsConnected() && !IsStopped()) {
    const CMediaType& now = m_pInput->CurrentMediaType();
    if (in->subtype != now.subtype || in->formattype != now.formattype) return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return S_OK;
}

HRESULT CPictureTurner::CheckTransform(const CMediaType* in, const CMediaType* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  CMediaType turned;
  if (!TurnedType(*in, m_nTurn, &turned)) return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* want = VideoBitmapHeader(turned);
  const BITMAPINFOHEADER* got = VideoBitmapHeader(*out);
  if (out->majortype != MEDIATYPE_Video || out->subtype != turned.subtype || !got || got->biWidth != want->biWidth ||
      got->biHeight != want->biHeight)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CPictureTurner::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (position < 0) return E_INVALIDARG;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return TurnedType(m_pInput->CurrentMediaType(), m_nTurn, pmt) ? S_OK : E_UNEXPECTED;
}

HRESULT CPictureTurner::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  // As many buffers as upstream has: what follows holds frames by their
  // count.
  ALLOCATOR_PROPERTIES upstream{};
  if (m_pInput->m_pAllocator) m_pInput->m_pAllocator->GetProperties(&upstream);
  ALLOCATOR_PROPERTIES want = *request, got{};
  want.cBuffers = std::max<long>({want.cBuffers, upstream.cBuffers, 2});
  want.cbBuffer = std::max<long>(want.cbBuffer, static_cast<long>(mt.GetSampleSize()));
  want.cbAlign = std::max<long>(want.cbAlign, 1);
  HRESULT hr = alloc->SetProperties(&want, &got);
  if (FAILED(hr)) return hr;
  return got.cbBuffer >= want.cbBuffer ? S_OK : E_FAIL;
}

HRESULT CPictureTurner::StartStreaming() {
  m_mtIn = m_pInput->CurrentMediaType();
  m_mtOut = m_pOutput->CurrentMediaType();
  return S_OK;
}

HRESULT CPictureTurner::InitializeOutputSample(IMediaSample* sample, IMediaSample** outSample) {
  LONG need = static_cast<LONG>(m_mtOut.GetSampleSize());
  const AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  CMediaType turned;
  if ((props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props->pMediaType &&
      TurnedType(CMediaType(*props->pMediaType), m_nTurn, &turned))
    need = static_cast<LONG>(turned.GetSampleSize());
  HRESULT hr = CTransformFilter::InitializeOutputSample(sample, outSample);
  if (FAILED(hr) || need <= (*outSample)->GetSize()) return hr;
  (*outSample)->Release();
  *outSample = nullptr;
  hr = GrowAllocatorBuffers(m_pOutput->m_pAllocator, need);
  if (FAILED(hr)) return hr;
  return CTransformFilter::InitializeOutputSample(sample, outSample);
}

HRESULT CPictureTurner::Transform(IMediaSample* in, IMediaSample* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  const AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  if ((props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props->pMediaType) {
    CMediaType incoming(*props->pMediaType), turned;
    if (!TurnedType(incoming, m_nTurn, &turned)) return VFW_E_INVALIDMEDIATYPE;
    m_mtIn = incoming;
    m_mtOut = turned;
    out->SetMediaType(&m_mtOut);
  }
  LONG width = 0, height = 0;
  const RawVideo kind = TurnedLayout(m_mtIn, &width, &height);
  if (kind == RawVideo::None) return VFW_E_INVALIDMEDIATYPE;
  BYTE* src = nullptr;
  BYTE* dst = nullptr;
  in->GetPointer(&src);
  out->GetPointer(&dst);
  const LONG need = static_cast<LONG>(RawVideoImageSize(kind, width, height));
  const LONG made = static_cast<LONG>(m_mtOut.GetSampleSize());
  // A picture shorter than its size would be read past its end: dropped.
  if (!src || !dst || in->GetActualDataLength() < need || out->GetSize() < made) return S_FALSE;
  if (!TurnFrame(kind, width, height, VideoBitmapHeader(m_mtIn)->biHeight < 0, src, dst, m_nTurn)) return E_FAIL;
  return out->SetActualDataLength(made);
}
