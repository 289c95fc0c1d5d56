#include "foundation/BaseVideoFilter.h"

#include <algorithm>
#include <cstdint>

#include "foundation/FilterHelpers.h"
#include "foundation/PixelConversion.h"

const VideoOutputFormat kVideoOutputFormats[kVideoOutputFormatCount] = {
    {&MEDIASUBTYPE_YV12, 3, 12, MAKEFOURCC('Y', 'V', '1', '2')},
    {&MEDIASUBTYPE_I420, 3, 12, MAKEFOURCC('I', '4', '2', '0')},
    {&MEDIASUBTYPE_IYUV, 3, 12, MAKEFOURCC('I', 'Y', 'U', 'V')},
    {&MEDIASUBTYPE_YUY2, 1, 16, MAKEFOURCC('Y', 'U', 'Y', '2')},
    {&MEDIASUBTYPE_ARGB32, 1, 32, BI_RGB},
    {&MEDIASUBTYPE_RGB32, 1, 32, BI_RGB},
    {&MEDIASUBTYPE_RGB24, 1, 24, BI_RGB},
    {&MEDIASUBTYPE_RGB565, 1, 16, BI_RGB},
    {&MEDIASUBTYPE_RGB555, 1, 16, BI_RGB},
    {&MEDIASUBTYPE_ARGB32, 1, 32, BI_BITFIELDS},
    {&MEDIASUBTYPE_RGB32, 1, 32, BI_BITFIELDS},
    {&MEDIASUBTYPE_RGB24, 1, 24, BI_BITFIELDS},
    {&MEDIASUBTYPE_RGB565, 1, 16, BI_BITFIELDS},
    {&MEDIASUBTYPE_RGB555, 1, 16, BI_BITFIELDS},
};

namespace {

bool IsPlanarCompression(DWORD c) {
  return c == MAKEFOURCC('Y', 'V', '1', '2') || c == MAKEFOURCC('I', '4', '2', '0') ||
         c == MAKEFOURCC('I', 'Y', 'U', 'V');
}

}  // namespace

DWORD VideoImageBytes(const BITMAPINFOHEADER& bih) {
  const uint64_t rows = static_cast<uint64_t>(std::abs(static_cast<int64_t>(bih.biHeight)));
  const uint64_t bytes = IsPlanarCompression(bih.biCompression)
                             ? static_cast<uint64_t>(std::abs(static_cast<int64_t>(bih.biWidth))) * rows *
                                   bih.biBitCount / 8
                             : DibRowBytes(bih.biWidth, bih.biBitCount) * rows;
  return bytes > 0xFFFFFFFFu ? 0 : static_cast<DWORD>(bytes);
}

namespace {

bool IsPlanarYuv(const GUID& g) { return g == MEDIASUBTYPE_YV12 || g == MEDIASUBTYPE_I420 || g == MEDIASUBTYPE_IYUV; }
bool IsRgb(const GUID& g) {
  return g == MEDIASUBTYPE_ARGB32 || g == MEDIASUBTYPE_RGB32 || g == MEDIASUBTYPE_RGB24 || g == MEDIASUBTYPE_RGB565;
}

// The pels-per-metre pair that carries an aspect in a VIDEOINFOHEADER:
// x = width * aspect y, y = height * aspect x, halved together until both
// fit the fields, so the ratio survives sizes whose products would not.
void AspectToPelsPerMeter(BITMAPINFOHEADER& bih, int w, int h, int arx, int ary) {
  int64_t x = static_cast<int64_t>(w) * ary, y = static_cast<int64_t>(h) * arx;
  while (x > INT32_MAX || y > INT32_MAX || x < INT32_MIN || y < INT32_MIN) {
    x /= 2;
    y /= 2;
  }
  bih.biXPelsPerMeter = static_cast<LONG>(x);
  bih.biYPelsPerMeter = static_cast<LONG>(y);
}

}  // namespace

// ---------------------------------------------------------------------------
// Input allocator and pins

CBaseVideoInputAllocator::CBaseVideoInputAllocator(HRESULT* phr)
    : CMemAllocator(NAME("CBaseVideoInputAllocator"), nullptr, phr) {}

void CBaseVideoInputAllocator::NotifyMediaType(const CMediaType& mt) {
  CAutoLock lock(&m_lock);
  m_mt = mt;
}

STDMETHODIMP CBaseVideoInputAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                                 DWORD flags) {
  if (!m_bCommitted) return VFW_E_NOT_COMMITTED;
  HRESULT hr = CMemAllocator::GetBuffer(sample, start, end, flags);
  CAutoLock lock(&m_lock);
  if (SUCCEEDED(hr) && m_mt.majortype != GUID_NULL) {
    (*sample)->SetMediaType(&m_mt);
    m_mt.ResetFormatBuffer();
    m_mt.InitMediaType();
  }
  return hr;
}

CBaseVideoInputPin::CBaseVideoInputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name)
    : CTransformInputPin(objectName, filter, phr, name) {}

CBaseVideoInputPin::~CBaseVideoInputPin() {
  if (m_pVideoAllocator) m_pVideoAllocator->Release();
}

STDMETHODIMP CBaseVideoInputPin::GetAllocator(IMemAllocator** allocator) {
  CheckPointer(allocator, E_POINTER);
  if (!m_pVideoAllocator) {
    HRESULT hr = S_OK;
    m_pVideoAllocator = new CBaseVideoInputAllocator(&hr);
    m_pVideoAllocator->AddRef();
    if (FAILED(hr)) {
      m_pVideoAllocator->Release();
      m_pVideoAllocator = nullptr;
      return hr;
    }
  }
  *allocator = m_pVideoAllocator;
  (*allocator)->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseVideoInputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) {
  CAutoLock lock(m_pLock);
  if (!IsConnected()) return CTransformInputPin::ReceiveConnection(connector, pmt);
  CheckPointer(pmt, E_POINTER);
  CMediaType mt(*pmt);
  if (CheckMediaType(&mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;

  if (BITMAPINFOHEADER bih; MediaTypeToBitmapInfo(&mt, &bih) && bih.biSizeImage && m_pAllocator) {
    ALLOCATOR_PROPERTIES props{}, actual{};
    if (FAILED(m_pAllocator->GetProperties(&props)) || FAILED(m_pAllocator->Decommit())) return E_FAIL;
    props.cbBuffer = static_cast<LONG>(bih.biSizeImage);
    if (FAILED(m_pAllocator->SetProperties(&props, &actual)) || FAILED(m_pAllocator->Commit()) ||
        actual.cbBuffer != props.cbBuffer)
      return E_FAIL;
  }
  if (m_pVideoAllocator) m_pVideoAllocator->NotifyMediaType(mt);
  if (FAILED(SetMediaType(&mt))) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

CBaseVideoOutputPin::CBaseVideoOutputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name)
    : CTransformOutputPin(objectName, filter, phr, name) {}

HRESULT CBaseVideoOutputPin::CheckMediaType(const CMediaType* pmt) {
  auto* filter = static_cast<CBaseVideoFilter*>(m_pTransformFilter);
  if (filter->m_pInput && filter->m_pInput->IsConnected()) {
    BITMAPINFOHEADER bih;
    if (!MediaTypeToBitmapInfo(pmt, &bih) || std::abs(bih.biHeight) != filter->OutputHeight() ||
        pmt->subtype == MEDIASUBTYPE_ARGB32)
      return E_FAIL;
  }
  return CTransformOutputPin::CheckMediaType(pmt);
}

// ---------------------------------------------------------------------------
// Filter

CBaseVideoFilter::CBaseVideoFilter(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, REFCLSID clsid, long outputBuffers)
    : CTransformFilter(name, outer, clsid), m_cBuffers(outputBuffers) {
  HRESULT hr = S_OK;
  m_pInput = new CBaseVideoInputPin(NAME("CBaseVideoInputPin"), this, &hr, L"Video");
  m_pOutput = new CBaseVideoOutputPin(NAME("CBaseVideoOutputPin"), this, &hr, L"Output");
  if (phr && FAILED(hr)) *phr = hr;
}

CBaseVideoFilter::~CBaseVideoFilter() = default;

HRESULT CBaseVideoFilter::CheckInputType(const CMediaType* mtIn) {
  BITMAPINFOHEADER bih;
  const bool hasPicture = MediaTypeToBitmapInfo(mtIn, &bih);
  bool subtypeOk = IsPlanarYuv(mtIn->subtype) || mtIn->subtype == MEDIASUBTYPE_YUY2 || IsRgb(mtIn->subtype);
  bool formatOk = mtIn->formattype == FORMAT_VideoInfo || mtIn->formattype == FORMAT_VideoInfo2;
  if (mtIn->majortype != MEDIATYPE_Video || !subtypeOk || !formatOk || !hasPicture || bih.biHeight < 1)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CBaseVideoFilter::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) {
  if (FAILED(CheckInputType(mtIn)) || mtOut->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
  const GUID& in = mtIn->subtype;
  const GUID& out = mtOut->subtype;
  if (IsPlanarYuv(in)) {
    if (IsPlanarYuv(out) || out == MEDIASUBTYPE_YUY2 || IsRgb(out)) return S_OK;
  } else if (in == MEDIASUBTYPE_YUY2) {
    if (out == MEDIASUBTYPE_YUY2 || IsRgb(out)) return S_OK;
  } else if (IsRgb(in)) {
    if (IsRgb(out)) return S_OK;
  } else {
    return S_OK;  // a compressed input: any video output
  }
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CBaseVideoFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) {
  if (!m_pInput->IsConnected()) return E_UNEXPECTED;
  BITMAPINFOHEADER bih;
  if (!MediaTypeToBitmapInfo(&m_pOutput->CurrentMediaType(), &bih)) return E_UNEXPECTED;
  properties->cBuffers = m_cBuffers;
  properties->cbBuffer = static_cast<LONG>(bih.biSizeImage);
  properties->cbAlign = 1;
  properties->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = allocator->SetProperties(properties, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < properties->cBuffers || actual.cbBuffer < properties->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CBaseVideoFilter::GetMediaType(int position, CMediaType* pmt) {
  if (!m_pInput->IsConnected()) return E_UNEXPECTED;
  const CMediaType& in = m_pInput->CurrentMediaType();
  // Behind a DVD navigator only VIDEOINFOHEADER2 carries what the
  // pictures need; the walk upstream is bounded against a looped graph.
  bool vih2Only = in.formattype == FORMAT_VideoInfo2;
  IBaseFilter* up = GetUpstreamFilter(this, m_pInput);
  for (int depth = 0; !vih2Only && up && depth < 64; depth++, up = GetUpstreamFilter(up))
    vih2Only = GetFilterClsid(up) == CLSID_DVDNavigator;
  int count = vih2Only ? kVideoOutputFormatCount : 2 * kVideoOutputFormatCount;
  if (position < 0) return E_INVALIDARG;
  if (position >= count) return VFW_S_NO_MORE_ITEMS;
  const VideoOutputFormat& f = kVideoOutputFormats[vih2Only ? position : position / 2];
  bool vih2 = vih2Only || (position & 1) == 0;

  int w = m_w, h = m_h, arx = m_arx, ary = m_ary;
  GetOutputSize(w, h, arx, ary);

  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Video;
  pmt->subtype = *f.subtype;
  BITMAPINFOHEADER* bih;
  if (vih2) {
    pmt->formattype = FORMAT_VideoInfo2;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    if (!vih) return E_OUTOFMEMORY;
    vih->dwPictAspectRatioX = arx;
    vih->dwPictAspectRatioY = ary;
    if (IsVideoInterlaced()) vih->dwInterlaceFlags = AMINTERLACE_IsInterlaced;
    bih = &vih->bmiHeader;
  } else {
    pmt->formattype = FORMAT_VideoInfo;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!vih) return E_OUTOFMEMORY;
    bih = &vih->bmiHeader;
    AspectToPelsPerMeter(*bih, w, h, arx, ary);
  }
  // Frame time, bit rate and error rate sit at the same place in every
  // video format block.
  if (in.pbFormat && in.cbFormat >= offsetof(VIDEOINFOHEADER, bmiHeader)) {
    auto* src = reinterpret_cast<const VIDEOINFOHEADER*>(in.pbFormat);
    auto* dst = reinterpret_cast<VIDEOINFOHEADER*>(pmt->pbFormat);
    dst->AvgTimePerFrame = src->AvgTimePerFrame;
    dst->dwBitRate = src->dwBitRate;
    dst->dwBitErrorRate = src->dwBitErrorRate;
  }
  bih->biSize = sizeof(BITMAPINFOHEADER);
  bih->biWidth = w;
  bih->biHeight = h;
  bih->biPlanes = f.planes;
  bih->biBitCount = f.bits;
  bih->biCompression = f.compression;
  bih->biSizeImage = VideoImageBytes(*bih);
  pmt->SetSampleSize(bih->biSizeImage);
  return S_OK;
}

HRESULT CBaseVideoFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
  if (dir == PINDIR_INPUT) {
    GetVideoSizeAndAspect(pmt, m_w, m_h, m_arx, m_ary);
    m_wout = m_w;
    m_hout = m_h;
    m_arxout = m_arx;
    m_aryout = m_ary;
    GetOutputSize(m_wout, m_hout, m_arxout, m_aryout);
  } else if (dir == PINDIR_OUTPUT) {
    int w = 0, h = 0, arx = 0, ary = 0;
    GetVideoSizeAndAspect(pmt, w, h, arx, ary);
    if (w == m_wout && h == m_hout && arx == m_arxout && ary == m_aryout) {
      m_win = w;
      m_hin = h;
      m_arxin = arx;
      m_aryin = ary;
    }
  }
  return CTransformFilter::SetMediaType(dir, pmt);
}

HRESULT CBaseVideoFilter::Receive(IMediaSample* sample) {
  CAutoLock lock(&m_csReceive);
  if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->Deliver(sample);

  AM_MEDIA_TYPE* pmt = nullptr;
  if (sample->GetMediaType(&pmt) == S_OK && pmt) {
    CMediaType mt(*pmt);
    DeleteMediaType(pmt);
    m_pInput->SetMediaType(&mt);
  }
  HRESULT hr = Transform(sample);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CBaseVideoFilter::GetDeliveryBuffer(int w, int h, IMediaSample** sample) {
  CheckPointer(sample, E_POINTER);
  *sample = nullptr;
  HRESULT hr = ReconnectOutput(w, h);
  if (FAILED(hr)) return hr;
  hr = m_pOutput->GetDeliveryBuffer(sample, nullptr, nullptr, 0);
  if (FAILED(hr)) return hr;
  AM_MEDIA_TYPE* pmt = nullptr;
  if ((*sample)->GetMediaType(&pmt) == S_OK && pmt) {
    CMediaType mt(*pmt);
    DeleteMediaType(pmt);
    m_pOutput->SetMediaType(&mt);
  }
  (*sample)->SetDiscontinuity(FALSE);
  (*sample)->SetSyncPoint(TRUE);
  if (GetPinFilterClsid(m_pOutput->GetConnected()) == CLSID_OverlayMixer) (*sample)->SetDiscontinuity(TRUE);
  return S_OK;
}

HRESULT CBaseVideoFilter::ReconnectOutput(int w, int h) {
  if (w == m_wout && h == m_hout && m_wout == m_win && m_hout == m_hin && m_arxout == m_arxin &&
      m_aryout == m_aryin)
    return S_FALSE;
  IPin* peer = m_pOutput->GetConnected();
  if (!peer) return E_UNEXPECTED;

  int oldW = m_wout, oldH = m_hout;
  m_wout = w;
  m_hout = h;
  // A picture size downstream cannot follow ends the stream: the graph
  // hears why, instead of a stream that just stops.
  auto restore = [&] {
    m_wout = oldW;
    m_hout = oldH;
    NotifyEvent(EC_ERRORABORT, VFW_E_CHANGING_FORMAT, 0);
    return E_FAIL;
  };
  if (GetPinFilterClsid(peer) == CLSID_VideoRenderer) return restore();

  // The output types are the two this filter offers.
  CMediaType mt = m_pOutput->CurrentMediaType();
  BITMAPINFOHEADER bih;
  if (!MediaTypeToBitmapInfo(&mt, &bih)) return restore();
  bih.biWidth = w;
  bih.biHeight = bih.biHeight < 0 ? -h : h;
  bih.biSizeImage = VideoImageBytes(bih);
  RECT rc = {0, 0, w, h};
  if (mt.formattype == FORMAT_VideoInfo) {
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
    vih->rcSource = vih->rcTarget = rc;
    AspectToPelsPerMeter(bih, w, h, m_arxout, m_aryout);
    vih->bmiHeader = bih;
  } else if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(mt.pbFormat);
    vih->rcSource = vih->rcTarget = rc;
    vih->dwPictAspectRatioX = m_arxout;
    vih->dwPictAspectRatioY = m_aryout;
    vih->bmiHeader = bih;
  } else {
    return restore();
  }
  mt.SetSampleSize(bih.biSizeImage);

  if (peer->QueryAccept(&mt) != S_OK || FAILED(peer->ReceiveConnection(m_pOutput, &mt))) return restore();
  m_pOutput->SetMediaType(&mt);

  // A larger picture than the buffers hold would be written past their end:
  // grow them first.
  if (IMemAllocator* alloc = m_pOutput->m_pAllocator) {
    ALLOCATOR_PROPERTIES props{}, actual{};
    if (SUCCEEDED(alloc->GetProperties(&props)) && props.cbBuffer < static_cast<LONG>(bih.biSizeImage)) {
      props.cbBuffer = static_cast<LONG>(bih.biSizeImage);
      if (FAILED(alloc->Decommit()) || FAILED(alloc->SetProperties(&props, &actual)) || FAILED(alloc->Commit()) ||
          actual.cbBuffer < props.cbBuffer)
        return restore();
    }
  }

  IMediaSample* sample = nullptr;
  if (FAILED(m_pOutput->GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) return restore();
  AM_MEDIA_TYPE* pmt = nullptr;
  if (sample->GetMediaType(&pmt) == S_OK && pmt) {
    CMediaType sampleType(*pmt);
    DeleteMediaType(pmt);
    m_pOutput->SetMediaType(&sampleType);
  } else if (CMediaType& cur = m_pOutput->CurrentMediaType();
             MediaTypeToBitmapInfo(&cur, &bih) && bih.biHeight != 0 && bih.biBitCount) {
    // Downstream may hand out wider rows than the picture: take its stride,
    // never less than the picture width.
    const LONG stride = sample->GetSize() / std::abs(bih.biHeight) * 8 / bih.biBitCount;
    if (stride >= w) {
      bih.biWidth = stride;
      if (cur.formattype == FORMAT_VideoInfo) reinterpret_cast<VIDEOINFOHEADER*>(cur.pbFormat)->bmiHeader = bih;
      else reinterpret_cast<VIDEOINFOHEADER2*>(cur.pbFormat)->bmiHeader = bih;
    }
  }
  sample->Release();

  m_win = m_wout;
  m_hin = m_hout;
  m_arxin = m_arxout;
  m_aryin = m_aryout;
  NotifyEvent(EC_VIDEO_SIZE_CHANGED, static_cast<LONG_PTR>((w & 0xFFFF) | ((h & 0xFFFF) << 16)), 0);
  return S_OK;
}

HRESULT CBaseVideoFilter::CopyBuffer(BYTE* out, BYTE** src, int w, int h, int pitchIn, const GUID& subtype,
                                     bool interlaced) {
  return CopyBuffer(out, src[0], src[1], src[2], w, h, pitchIn, subtype, interlaced);
}

HRESULT CBaseVideoFilter::CopyBuffer(BYTE* out, BYTE* y, BYTE* u, BYTE* v, int w, int h, int pitchIn,
                                     const GUID& subtype, bool interlaced) {
  BITMAPINFOHEADER bih;
  if (!MediaTypeToBitmapInfo(&m_pOutput->CurrentMediaType(), &bih) || !out) return VFW_E_TYPE_NOT_ACCEPTED;
  if (h < 0) {
    h = -h;
    y += pitchIn * (h - 1);
    u += pitchIn / 2 * (h / 2 - 1);
    v += pitchIn / 2 * (h / 2 - 1);
    pitchIn = -pitchIn;
  }
  int width = bih.biWidth;
  if (IsPlanarYuv(subtype)) {
    BYTE* outU = out + width * h;
    BYTE* outV = outU + width / 2 * (h / 2);
    if (subtype == MEDIASUBTYPE_YV12) std::swap(outU, outV);
    if (!CopyYuv420Planar(w, h, out, outU, outV, width, y, u, v, pitchIn)) memset(out, 0, width * h * 3 / 2);
    return S_OK;
  }
  if (subtype == MEDIASUBTYPE_YUY2) {
    if (!ConvertYuv420ToYuy2(w, h, out, width * 2, y, u, v, pitchIn, interlaced)) memset(out, 0, width * 2 * h);
    return S_OK;
  }
  int bpp = subtype == MEDIASUBTYPE_RGB24 ? 24 : subtype == MEDIASUBTYPE_RGB565 ? 16 : 32;
  if (!IsRgb(subtype)) return VFW_E_TYPE_NOT_ACCEPTED;
  int pitchOut = static_cast<int>(DibRowBytes(width, bpp));
  BYTE* start = out;
  if (bih.biHeight > 0) {  // bottom-up
    out += pitchOut * (h - 1);
    pitchOut = -pitchOut;
  }
  if (!ConvertYuv420ToRgb(w, h, out, pitchOut, bpp, y, u, v, pitchIn))
    memset(start, 0, static_cast<size_t>(std::abs(pitchOut)) * h);
  return S_OK;
}

HRESULT CBaseVideoFilter::CopyContiguousBuffer(BYTE* out, BYTE* in, int w, int h, int pitch, const GUID& subtype,
                                               bool interlaced) {
  BYTE* u = in + std::abs(h) * pitch;
  BYTE* v = u + std::abs(h) * pitch / 4;
  return CopyBuffer(out, in, u, v, w, h, pitch, subtype, interlaced);
}
