#include "platform/codecs/Resizer.h"

#include <algorithm>

CResizerFilter::CResizerFilter(LPUNKNOWN outer) : CTransformFilter("Resizer", outer, CLSID_VideoResizer) {}

HRESULT CResizerFilter::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CResizerFilter(outer);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

HRESULT CResizerFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (riid == IID_IResize) return GetInterface(static_cast<IResize*>(this), ppv);
  return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CResizerFilter::get_Size(LONG* height, LONG* width, LONG* flag) {
  if (!height || !width) return E_POINTER;
  CAutoLock lock(&m_csFilter);
  LONG w = 0, h = 0;
  OutputSize(w, h);
  *height = h;
  *width = w;
  if (flag) *flag = 0;
  return S_OK;
}

STDMETHODIMP CResizerFilter::get_InputSize(LONG* height, LONG* width) {
  if (!height || !width) return E_POINTER;
  CAutoLock lock(&m_csFilter);
  const BITMAPINFOHEADER* bih = m_pInput && m_pInput->IsConnected()
                                    ? VideoBitmapHeader(m_pInput->CurrentMediaType())
                                    : (m_expected.IsValid() ? VideoBitmapHeader(m_expected) : nullptr);
  if (!bih) return VFW_E_NOT_CONNECTED;
  *width = bih->biWidth;
  *height = std::abs(bih->biHeight);
  return S_OK;
}

STDMETHODIMP CResizerFilter::put_Size(LONG height, LONG width, LONG flag) {
  CAutoLock lock(&m_csFilter);
  if (!IsStopped() || (m_pOutput && m_pOutput->IsConnected())) return VFW_E_WRONG_STATE;
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384 || flag != 0) return E_INVALIDARG;
  m_width = width;
  m_height = height;
  return S_OK;
}

STDMETHODIMP CResizerFilter::get_MediaType(AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  CAutoLock lock(&m_csFilter);
  if (!m_expected.IsValid()) return VFW_E_NOT_CONNECTED;
  return CopyMediaType(pmt, &m_expected);
}

STDMETHODIMP CResizerFilter::put_MediaType(const AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  CAutoLock lock(&m_csFilter);
  if (!IsStopped() || (m_pOutput && m_pOutput->IsConnected())) return VFW_E_WRONG_STATE;
  CMediaType mt(*pmt);
  if (FAILED(CheckInputType(&mt))) return VFW_E_TYPE_NOT_ACCEPTED;
  m_expected = mt;
  return S_OK;
}

void CResizerFilter::OutputSize(LONG& width, LONG& height) {
  width = m_width;
  height = m_height;
  if (width > 0 && height > 0) return;
  const BITMAPINFOHEADER* bih = nullptr;
  if (m_pInput && m_pInput->IsConnected()) bih = VideoBitmapHeader(m_pInput->CurrentMediaType());
  if (bih) {
    width = bih->biWidth;
    height = std::abs(bih->biHeight);
  }
}

HRESULT CResizerFilter::CheckInputType(const CMediaType* in) {
  if (!in || in->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
  if (in->formattype != FORMAT_VideoInfo && in->formattype != FORMAT_VideoInfo2) return VFW_E_TYPE_NOT_ACCEPTED;
  const RawVideo kind = RawVideoOf(in->subtype);
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(*in);
  if (kind == RawVideo::None || !bih || bih->biWidth <= 0 || bih->biHeight == 0 || bih->biWidth > 16384 ||
      std::abs(bih->biHeight) > 16384)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CResizerFilter::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  const CMediaType& in = m_pInput->CurrentMediaType();
  LONG w = 0, h = 0;
  OutputSize(w, h);
  RawVideo kind = RawVideoOf(in.subtype);
  // Planar and packed YUV need even sizes; otherwise RGB is given.
  if ((w % 2 || h % 2) && kind != RawVideo::RGB24 && kind != RawVideo::RGB32) kind = RawVideo::RGB32;
  return MakeRawVideoType(pmt, kind, w, h, VideoFrameTime(in));
}

HRESULT CResizerFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (FAILED(CheckInputType(in)) || !out || out->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(*out);
  if (!bih || RawVideoOf(out->subtype) == RawVideo::None) return VFW_E_TYPE_NOT_ACCEPTED;
  LONG w = 0, h = 0;
  OutputSize(w, h);
  // The stride may be wider than the picture, never the height different.
  if (bih->biWidth < w || std::abs(bih->biHeight) != h) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CResizerFilter::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  if (!bih) return E_UNEXPECTED;
  const DWORD size = RawVideoImageSize(RawVideoOf(mt.subtype), bih->biWidth, std::abs(bih->biHeight));
  ALLOCATOR_PROPERTIES want = *request, got{};
  want.cBuffers = std::max<long>(want.cBuffers, 2);
  want.cbBuffer = std::max<long>(want.cbBuffer, static_cast<long>(size));
  want.cbAlign = std::max<long>(want.cbAlign, 1);
  HRESULT hr = alloc->SetProperties(&want, &got);
  if (FAILED(hr)) return hr;
  return got.cbBuffer >= static_cast<long>(size) ? S_OK : E_FAIL;
}

HRESULT CResizerFilter::StartStreaming() {
  m_frame.reset(av_frame_alloc());
  m_reader.reset();
  if (!m_frame || !m_writer.SetTarget(m_pOutput->CurrentMediaType())) return E_UNEXPECTED;
  return S_OK;
}

HRESULT CResizerFilter::Transform(IMediaSample* in, IMediaSample* out) {
  BYTE* src = nullptr;
  BYTE* dst = nullptr;
  if (FAILED(in->GetPointer(&src)) || FAILED(out->GetPointer(&dst))) return E_POINTER;
  const CMediaType& inType = m_pInput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(inType);
  if (!bih) return E_UNEXPECTED;
  // Read the input at its own size into YUV 4:4:4 (no loss of chroma),
  // then let the writer scale into the output layout.
  const long length = in->GetActualDataLength();
  if (length <= 0) return S_FALSE;
  if (!CPictureWriter::ReadRaw(inType, src, static_cast<size_t>(length), m_frame.get(), AV_PIX_FMT_YUV444P,
                               bih->biWidth, std::abs(bih->biHeight), m_reader))
    return S_FALSE;  // a short or damaged picture is dropped
  if (!m_writer.Write(m_frame.get(), dst, static_cast<size_t>(out->GetSize()))) return E_FAIL;
  out->SetActualDataLength(static_cast<long>(m_writer.ImageSize()));
  return S_OK;
}
