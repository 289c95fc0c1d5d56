#include "splitters/realmedia/RealVideoDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/FilterHelpers.h"
#include "foundation/PixelConversion.h"
#include "foundation/FilterFactory.h"
#include "platform/com/ComBase.h"
#include "splitters/realmedia/RMFile.h"
#include "splitters/realmedia/RealCodecLibrary.h"

namespace {

constexpr DWORD Fcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }

bool IsAcceptedSubtype(const GUID& subtype) {
  for (DWORD fcc : {Fcc("RV20"), Fcc("RV30"), Fcc("RV40"), Fcc("RV41")})
    if (subtype == FourCCGuid(fcc)) return true;
  return false;
}

// The stream header behind the video format block; false when the block is
// too short to hold it.
bool StreamHeader(const AM_MEDIA_TYPE* pmt, const BYTE** data, size_t* size) {
  if (!pmt->pbFormat) return false;
  const size_t head = pmt->formattype == FORMAT_VideoInfo ? sizeof(VIDEOINFOHEADER) : sizeof(VIDEOINFOHEADER2);
  if (pmt->formattype != FORMAT_VideoInfo && pmt->formattype != FORMAT_VideoInfo2) return false;
  if (pmt->cbFormat < head + RMVideoFormat::kSize) return false;
  *data = pmt->pbFormat + head;
  *size = pmt->cbFormat - head;
  return true;
}

template <class T>
T Entry(HMODULE module, const char* name) {
  std::string family20 = std::string("RV20toYUV420") + name;
  std::string family40 = std::string("RV40toYUV420") + name;
  FARPROC p = GetProcAddress(module, family20.c_str());
  if (!p) p = GetProcAddress(module, family40.c_str());
  return reinterpret_cast<T>(reinterpret_cast<void*>(p));
}

}  // namespace

CRealVideoDecoder::CRealVideoDecoder(LPUNKNOWN outer, HRESULT* phr)
    : CBaseVideoFilter(NAME("CRealVideoDecoder"), outer, phr, CLSID_RealVideoDecoder, 1) {}

CRealVideoDecoder::~CRealVideoDecoder() { FreeLibraryModule(); }

CUnknown* CRealVideoDecoder::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CRealVideoDecoder(outer, phr);
}

HRESULT CRealVideoDecoder::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CRealVideoDecoder>(outer, riid, ppv);
}

void CRealVideoDecoder::FreeInstance() {
  if (m_dwCookie && m_fnFree) m_fnFree(m_dwCookie);
  m_dwCookie = 0;
}

void CRealVideoDecoder::FreeLibraryModule() {
  // An instance lives in the library: it goes first.
  FreeInstance();
  if (m_hDrvDll) FreeLibrary(m_hDrvDll);
  m_hDrvDll = nullptr;
  m_fnCustomMessage = nullptr;
  m_fnFree = nullptr;
  m_fnHiveMessage = nullptr;
  m_fnInit = nullptr;
  m_fnTransform = nullptr;
}

HRESULT CRealVideoDecoder::CheckInputType(const CMediaType* mtIn) {
  if (mtIn->majortype != MEDIATYPE_Video || !IsAcceptedSubtype(mtIn->subtype)) return VFW_E_TYPE_NOT_ACCEPTED;
  if (mtIn->formattype == FORMAT_VideoInfo2) {
    if (mtIn->cbFormat < sizeof(VIDEOINFOHEADER2)) return VFW_E_TYPE_NOT_ACCEPTED;
    const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(mtIn->pbFormat);
    if (static_cast<LONGLONG>(vih2->bmiHeader.biWidth) > vih2->dwPictAspectRatioX ||
        std::abs(static_cast<LONGLONG>(vih2->bmiHeader.biHeight)) > vih2->dwPictAspectRatioY)
      return VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (m_pInput->IsConnected()) return S_OK;

  FreeLibraryModule();
  const char c = static_cast<char>((mtIn->subtype.Data1 >> 16) & 0xFF);
  const std::string longName = std::string("drv") + c + "3260.dll";
  const std::string shortName = mtIn->subtype == FourCCGuid(Fcc("RV41"))   ? "drvi.dll"
                                : mtIn->subtype == FourCCGuid(Fcc("RV20")) ? "drv2.dll"
                                                                           : "drvc.dll";
  m_hDrvDll = LoadRealCodecLibrary({longName, shortName});
  if (m_hDrvDll) {
    m_fnCustomMessage = Entry<RVCustomMessageFn>(m_hDrvDll, "CustomMessage");
    m_fnFree = Entry<RVFreeFn>(m_hDrvDll, "Free");
    m_fnHiveMessage = Entry<RVHiveMessageFn>(m_hDrvDll, "HiveMessage");
    m_fnInit = Entry<RVInitFn>(m_hDrvDll, "Init");
    m_fnTransform = Entry<RVTransformFn>(m_hDrvDll, "Transform");
  }
  if (!m_hDrvDll || !m_fnCustomMessage || !m_fnFree || !m_fnHiveMessage || !m_fnInit || !m_fnTransform) {
    FreeLibraryModule();
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return FAILED(InitRV(mtIn)) ? VFW_E_TYPE_NOT_ACCEPTED : S_OK;
}

HRESULT CRealVideoDecoder::InitRV(const CMediaType* pmt) {
  FreeInstance();
  if (!m_fnInit) return E_FAIL;
  const BYTE* data = nullptr;
  size_t size = 0;
  RMVideoFormat vf;
  if (!StreamHeader(pmt, &data, &size) || !vf.Parse(data, size)) return VFW_E_TYPE_NOT_ACCEPTED;
  m_interlaceFromHeader = vf.Codec() == Fcc("RV41");

  RVInitRecord init{};
  init.unk1 = 11;
  init.width = vf.w;
  init.height = vf.h;
  init.subformat = vf.type1;
  init.unk5 = 1;
  init.version = vf.type2;
  const int32_t r = m_fnInit(&init, &m_dwCookie);
  if (r < 0) {
    m_dwCookie = 0;
    return static_cast<HRESULT>(r);
  }

  if (vf.Codec() < 0x30335653 && vf.type2 >= 0x20200002) {
    const uint32_t n = ((vf.type1 >> 16) & 7) + 1;
    std::vector<uint32_t> values(2 * n, 0);
    values[0] = vf.w;
    values[1] = vf.h;
    // Sizes the header lacks stay 0.
    for (uint32_t i = 2; i < 2 * n; i++)
      if (32 + i < size) values[i] = static_cast<uint32_t>(data[32 + i]) * 4;
    RVCustomMessage message{kRVMessagePictureSizes, n, values.data()};
    const int32_t m = m_fnCustomMessage(&message, m_dwCookie);
    if (m < 0) return static_cast<HRESULT>(m);
  }
  return S_OK;
}

HRESULT CRealVideoDecoder::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) {
  if (m_pOutput && m_pOutput->IsConnected()) {
    BITMAPINFOHEADER proposed{}, connected{};
    if (MediaTypeToBitmapInfo(mtOut, &proposed) &&
        MediaTypeToBitmapInfo(&m_pOutput->CurrentMediaType(), &connected) &&
        std::abs(proposed.biHeight) != std::abs(connected.biHeight))
      return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return CBaseVideoFilter::CheckTransform(mtIn, mtOut);
}

HRESULT CRealVideoDecoder::StartStreaming() {
  const CMediaType& mt = m_pInput->CurrentMediaType();
  if (FAILED(InitRV(&mt))) return E_FAIL;
  const BYTE* data = nullptr;
  size_t size = 0;
  RMVideoFormat vf;
  StreamHeader(&mt, &data, &size);
  vf.Parse(data, size);
  // The codec writes pictures of up to the header's size; the output has
  // the filter's. The buffers take either, and the steps between them.
  m_bufW = std::max<int>(OutputWidth(), vf.w);
  m_bufH = std::max<int>(OutputHeight(), vf.h);
  const size_t luma = static_cast<size_t>(m_bufW) * m_bufH;
  try {
    for (auto* buffer : {&m_pI420, &m_pI420Tmp}) {
      buffer->assign(luma + luma / 2 + 16, 128);
      std::fill(buffer->begin(), buffer->begin() + static_cast<std::ptrdiff_t>(luma), 0);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return CBaseVideoFilter::StartStreaming();
}

HRESULT CRealVideoDecoder::StopStreaming() {
  m_pI420.clear();
  m_pI420.shrink_to_fit();
  m_pI420Tmp.clear();
  m_pI420Tmp.shrink_to_fit();
  FreeInstance();
  return CBaseVideoFilter::StopStreaming();
}

HRESULT CRealVideoDecoder::AlterQuality(Quality q) {
  m_fDropFrames = q.Late > 5000000;
  return E_NOTIMPL;
}

HRESULT CRealVideoDecoder::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CAutoLock lock(&ReceiveLock());
  m_fDropFrames = false;
  m_lastTimestamp = 0xFFFFFFFF;
  if (m_dwCookie && m_fnHiveMessage) {
    RVHiveMessage reset{kRVMessageReset, 0};
    m_fnHiveMessage(&reset, m_dwCookie);
  }
  m_tStart = start;
  return CBaseVideoFilter::NewSegment(start, stop, rate);
}

void CRealVideoDecoder::Resample(const BYTE* src, int srcLength, int srcStep, BYTE* dst, int dstLength, int dstStep) {
  if (srcLength <= 0 || dstLength <= 0) return;
  if (srcLength == dstLength) {
    for (int i = 0; i < dstLength; i++) dst[i * dstStep] = src[i * srcStep];
    return;
  }
  const int64_t step = static_cast<int64_t>(srcLength) * 65536 / dstLength;
  for (int i = 0; i < dstLength - 1; i++) {
    const int64_t at = i * step;
    const int p = static_cast<int>(at >> 16);
    const int f = static_cast<int>(at & 0xFFFF);
    // Far upscaling would reach one element past the source's last.
    const int q = std::min(p + 1, srcLength - 1);
    dst[i * dstStep] =
        static_cast<BYTE>((src[p * srcStep] * (65535 - f) + src[q * srcStep] * f + 32767) >> 16);
  }
  dst[(dstLength - 1) * dstStep] = src[(srcLength - 1) * srcStep];
}

BYTE* CRealVideoDecoder::Scale(BYTE* from, BYTE* other, int w, int h) {
  const int W = OutputWidth(), H = OutputHeight();
  // One pass over the three planes: rows (width change) or columns.
  auto pass = [](const BYTE* src, BYTE* dst, int sw, int sh, int dw, int dh, bool rows) {
    for (int plane = 0; plane < 3; plane++) {
      const int div = plane ? 2 : 1;
      const int psw = sw / div, psh = sh / div, pdw = dw / div, pdh = dh / div;
      if (rows) {
        for (int y = 0; y < psh; y++) Resample(src + y * psw, psw, 1, dst + y * pdw, pdw, 1);
      } else {
        for (int x = 0; x < psw; x++) Resample(src + x, psh, psw, dst + x, pdh, pdw);
      }
      src += static_cast<size_t>(psw) * psh;
      dst += static_cast<size_t>(pdw) * pdh;
    }
  };
  if (w < W) {
    pass(from, other, w, h, W, h, true);
    if (h == H) return other;
    pass(other, from, W, h, W, H, false);
    return from;
  }
  if (h != H) {
    pass(from, other, w, h, w, H, false);
    if (w == W) return other;
    pass(other, from, w, H, W, H, true);
    return from;
  }
  pass(from, other, w, h, W, H, true);
  return other;
}

HRESULT CRealVideoDecoder::Transform(IMediaSample* sample) {
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;
  const long length = sample->GetActualDataLength();
  if (length <= 0 || !m_dwCookie || m_pI420.empty()) return S_OK;

  REFERENCE_TIME start = 0, stop = 0;
  if (FAILED(sample->GetTime(&start, &stop))) start = 0;
  const uint32_t t = static_cast<uint32_t>((start + m_tStart) / 10000);

  const size_t slices = static_cast<size_t>(data[0]) + 1;
  const size_t head = 1 + 8 * slices;
  // A slice table longer than the sample leaves no frame to decode.
  if (head > static_cast<size_t>(length)) return S_OK;
  RVTransformIn in{};
  in.dataLength = static_cast<uint32_t>(static_cast<size_t>(length) - head);
  in.sliceCount = data[0];
  in.sliceTable = data + 1;
  in.timestamp = t;

  if (m_fDropFrames && t == m_lastTimestamp + 1) {
    m_lastTimestamp = t;
    return S_OK;
  }

  RVTransformOut out{};
  m_fnTransform(data + head, m_pI420.data(), &in, &out, m_dwCookie);

  bool interlaced = false;
  if (m_interlaceFromHeader) {
    DWORD w = 0, h = 0;
    ReadRv40PictureSize(data + head, in.dataLength, true, w, h, &interlaced);
  }
  m_lastTimestamp = t;

  if (sample->IsPreroll() == S_OK || start + m_tStart < 0 || !(out.flags & 1)) return S_OK;

  const int W = OutputWidth(), H = OutputHeight();
  int pw = out.width ? static_cast<int>(out.width) : W;
  int ph = out.height ? static_cast<int>(out.height) : H;
  if (pw > m_bufW || ph > m_bufH || pw < 2 || ph < 2) return S_OK;  // not a picture this filter can hold

  IMediaSample* outSample = nullptr;
  HRESULT hr = GetDeliveryBuffer(W, H, &outSample);
  if (FAILED(hr)) return hr;

  BYTE* picture = m_pI420.data();
  BYTE* spare = m_pI420Tmp.data();
  if (interlaced) {
    const DWORD luma = static_cast<DWORD>(pw) * ph;
    BlendDeinterlacePlane(spare, picture, pw, ph, pw, pw);
    BlendDeinterlacePlane(spare + luma, picture + luma, pw / 2, ph / 2, pw / 2, pw / 2);
    BlendDeinterlacePlane(spare + luma + luma / 4, picture + luma + luma / 4, pw / 2, ph / 2, pw / 2, pw / 2);
    std::swap(picture, spare);
  }
  if (pw != W || ph != H) picture = Scale(picture, picture == m_pI420.data() ? m_pI420Tmp.data() : m_pI420.data(), pw, ph);

  REFERENCE_TIME outStart = static_cast<REFERENCE_TIME>(out.timestamp) * 10000 - m_tStart;
  REFERENCE_TIME outStop = outStart + 1;
  outSample->SetTime(&outStart, &outStop);
  outSample->SetMediaTime(nullptr, nullptr);
  if (sample->IsDiscontinuity() == S_OK) outSample->SetDiscontinuity(TRUE);

  BYTE* dst = nullptr;
  hr = outSample->GetPointer(&dst);
  BITMAPINFOHEADER bih{};
  const CMediaType& outType = m_pOutput->CurrentMediaType();
  const int64_t size = MediaTypeToBitmapInfo(&outType, &bih)
                           ? static_cast<int64_t>(bih.biWidth) * std::abs(bih.biHeight) * bih.biBitCount / 8
                           : 0;
  if (SUCCEEDED(hr) && (!dst || bih.biWidth < W || std::abs(bih.biHeight) < H || size > outSample->GetSize()))
    hr = E_FAIL;
  if (SUCCEEDED(hr)) {
    outSample->SetActualDataLength(static_cast<long>(size));
    const size_t luma = static_cast<size_t>(W) * H;
    hr = CopyBuffer(dst, picture, picture + luma, picture + luma + luma / 4, W, H, W, outType.subtype);
  }
  if (SUCCEEDED(hr)) hr = m_pOutput->Deliver(outSample);
  outSample->Release();
  return hr;
}
