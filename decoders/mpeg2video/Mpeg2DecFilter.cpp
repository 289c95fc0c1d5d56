#include "decoders/mpeg2video/Mpeg2DecFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "decoders/mpeg2video/Mpeg2DecSettingsWnd.h"
#include "foundation/FilterHelpers.h"
#include "foundation/PixelConversion.h"
#include "platform/win32/Registry.h"

// The version that those two renderers report; older ones cannot show
// navigator output.
struct IDownstreamVersion : IUnknown {
  virtual DWORD STDMETHODCALLTYPE GetVersion() = 0;

 protected:
  ~IDownstreamVersion() = default;
};
PELLOMAR_INTERFACE_ID(IDownstreamVersion, "A0DD28E1-61C0-4539-A7E6-14544AFF092E");

namespace {

constexpr char kSettingsKey[] = "Software\\Brisdane\\Filters\\MPEG Video Decoder";
constexpr REFERENCE_TIME kNoTime = Mpeg2Picture::kNoTime;
constexpr float kNeutralEpsilon = 0.0001f;
// Pictures are decoded straight into output buffers: the two references and
// the picture being decoded keep theirs, one more goes out meanwhile.
constexpr long kOutputBuffers = 4;

// Downstream filters that may take a DVD navigator's pictures.
PELLOMAR_DEFINE_GUID(CLSID_DvdDownstream04FE9017, "04FE9017-F873-410E-871E-AB91661A4EF7");
PELLOMAR_DEFINE_GUID(CLSID_DvdDownstream760A8F35, "760A8F35-97E7-479D-AAF5-DA9EFF95D751");
PELLOMAR_DEFINE_GUID(CLSID_DvdDownstream93A22E7A, "93A22E7A-5091-45EF-BA61-6DA26156A5D0");
PELLOMAR_DEFINE_GUID(CLSID_DvdDownstream9852A670, "9852A670-F845-491B-9BE6-EBD841B8A613");

bool ReadDword(HKEY key, const char* name, DWORD* value) {
  DWORD type = 0, size = sizeof(DWORD), v = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS) return false;
  if (type != REG_DWORD || size != sizeof(DWORD)) return false;
  *value = v;
  return true;
}

void WriteDword(HKEY key, const char* name, DWORD value) {
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

float DwordToFloat(DWORD v) {
  float f;
  std::memcpy(&f, &v, sizeof(f));
  return f;
}

DWORD FloatToDword(float f) {
  DWORD v;
  std::memcpy(&v, &f, sizeof(v));
  return v;
}

int Nearest(double x) { return static_cast<int>(std::lround(x)); }

bool IsPlanarOutput(const GUID& s) {
  return s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV;
}

const BITMAPINFOHEADER* OutputBitmapHeader(const CMediaType& mt) {
  size_t offset;
  if (mt.formattype == FORMAT_VideoInfo) offset = offsetof(VIDEOINFOHEADER, bmiHeader);
  else if (mt.formattype == FORMAT_VideoInfo2) offset = offsetof(VIDEOINFOHEADER2, bmiHeader);
  else return nullptr;
  if (!mt.pbFormat || mt.cbFormat < offset + sizeof(BITMAPINFOHEADER)) return nullptr;
  return reinterpret_cast<const BITMAPINFOHEADER*>(mt.pbFormat + offset);
}

void CopyPlane(BYTE* dst, int dstPitch, const BYTE* src, int srcPitch, int rowBytes, int rows) {
  for (int y = 0; y < rows; ++y) std::memcpy(dst + static_cast<ptrdiff_t>(y) * dstPitch, src + static_cast<ptrdiff_t>(y) * srcPitch, rowBytes);
}

// Copies every second row, starting at row `first`.
void CopyField(BYTE* dst, int dstPitch, const BYTE* src, int srcPitch, int rowBytes, int rows, int first) {
  for (int y = first; y < rows; y += 2)
    std::memcpy(dst + static_cast<ptrdiff_t>(y) * dstPitch, src + static_cast<ptrdiff_t>(y) * srcPitch, rowBytes);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

HRESULT CMpeg2DecFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  auto* filter = new (std::nothrow) CMpeg2DecFilter(outer, &hr);
  if (!filter) return E_OUTOFMEMORY;
  // The temporary reference deletes a filter whose construction failed.
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

CMpeg2DecFilter::CMpeg2DecFilter(LPUNKNOWN outer, HRESULT* phr)
    : CBaseVideoFilter("CMpeg2DecFilter", outer, phr, CLSID_CMpeg2DecFilter, kOutputBuffers), m_UTbl(65536),
      m_VTbl(65536) {
  HRESULT hr = S_OK;
  delete m_pInput;
  m_pInput = new (std::nothrow) CMpeg2DecInputPin(this, &hr, L"Video");
  m_pSubpicInput.reset(new (std::nothrow) CSubpicInputPin(this, &hr));
  m_pClosedCaptionOutput.reset(new (std::nothrow) CClosedCaptionOutputPin(this, &m_csFilter, &hr));
  if (!m_pInput || !m_pSubpicInput || !m_pClosedCaptionOutput) hr = E_OUTOFMEMORY;
  if (FAILED(hr)) {
    if (phr) *phr = hr;
    return;
  }

  SetDeinterlaceMethod(DIAuto);
  SetBrightness(0.0f);
  SetContrast(1.0f);
  SetHue(0.0f);
  SetSaturation(1.0f);
  EnableForcedSubtitles(true);
  EnablePlanarYUV(true);
  EnableInterlaced(false);

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD v;
    if (ReadDword(key, "DeinterlaceMethod", &v)) SetDeinterlaceMethod(static_cast<int>(v));
    if (ReadDword(key, "Brightness", &v)) SetBrightness(DwordToFloat(v));
    if (ReadDword(key, "Contrast", &v)) SetContrast(DwordToFloat(v));
    if (ReadDword(key, "Hue", &v)) SetHue(DwordToFloat(v));
    if (ReadDword(key, "Saturation", &v)) SetSaturation(DwordToFloat(v));
    if (ReadDword(key, "ForcedSubtitles", &v)) EnableForcedSubtitles(v != 0);
    if (ReadDword(key, "PlanarYUV", &v)) EnablePlanarYUV(v != 0);
    if (ReadDword(key, "Interlaced", &v)) EnableInterlaced(v != 0);
    RegCloseKey(key);
  }
}

CMpeg2DecFilter::~CMpeg2DecFilter() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    CAutoLock lock(&m_csProps);
    WriteDword(key, "DeinterlaceMethod", static_cast<DWORD>(m_ditype));
    WriteDword(key, "Brightness", FloatToDword(m_bright));
    WriteDword(key, "Contrast", FloatToDword(m_cont));
    WriteDword(key, "Hue", FloatToDword(m_hue));
    WriteDword(key, "Saturation", FloatToDword(m_sat));
    WriteDword(key, "ForcedSubtitles", m_fForcedSubs ? 1 : 0);
    WriteDword(key, "PlanarYUV", m_fPlanarYUV ? 1 : 0);
    WriteDword(key, "Interlaced", m_fInterlaced ? 1 : 0);
    RegCloseKey(key);
  }
}

HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMpeg2DecFilter) return GetInterfaceAs<IMpeg2DecFilter>(this, ppv);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  if (riid == IID_ISpecifyPropertyPages) return GetInterfaceAs<ISpecifyPropertyPages>(this, ppv);
  if (riid == IID_ISpecifyPropertyPages2) return GetInterfaceAs<ISpecifyPropertyPages2>(this, ppv);
  return CBaseVideoFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CMpeg2DecFilter::GetPin(int n) {
  switch (n) {
    case 0: return m_pInput;
    case 1: return m_pOutput;
    case 2: return m_pSubpicInput.get();
    case 3: return m_pClosedCaptionOutput.get();
    default: return nullptr;
  }
}

STDMETHODIMP CMpeg2DecFilter::Stop() {
  HRESULT hr = CBaseVideoFilter::Stop();
  // The transform base stops only its own two pins.
  CAutoLock lock(&m_csFilter);
  if (m_pSubpicInput && m_pSubpicInput->IsConnected()) m_pSubpicInput->Inactive();
  if (m_pClosedCaptionOutput && m_pClosedCaptionOutput->IsConnected()) m_pClosedCaptionOutput->Inactive();
  return hr;
}

// ---------------------------------------------------------------------------
// Connection

HRESULT CMpeg2DecFilter::CheckInputType(const CMediaType* mtIn) {
  if (!mtIn) return E_POINTER;
  if (mtIn->formattype == FORMAT_MPEG2Video && mtIn->pbFormat) {
    if (mtIn->cbFormat < offsetof(MPEG2VIDEOINFO, dwSequenceHeader)) return VFW_E_TYPE_NOT_ACCEPTED;
    auto* mvi = reinterpret_cast<const MPEG2VIDEOINFO*>(mtIn->pbFormat);
    if (mvi->cbSequenceHeader > 0) {
      // The header must lie inside the block and begin with a start code.
      const BYTE* h = reinterpret_cast<const BYTE*>(mvi->dwSequenceHeader);
      if (mvi->cbSequenceHeader < 4 ||
          mvi->cbSequenceHeader > mtIn->cbFormat - offsetof(MPEG2VIDEOINFO, dwSequenceHeader) || h[0] != 0 ||
          h[1] != 0 || h[2] != 1)
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
  }
  const GUID& major = mtIn->majortype;
  const GUID& sub = mtIn->subtype;
  if ((major == MEDIATYPE_DVD_ENCRYPTED_PACK || major == MEDIATYPE_MPEG2_PACK || major == MEDIATYPE_MPEG2_PES ||
       major == MEDIATYPE_Video) &&
      sub == MEDIASUBTYPE_MPEG2_VIDEO)
    return S_OK;
  if (major == MEDIATYPE_Video && (sub == MEDIASUBTYPE_MPEG1Packet || sub == MEDIASUBTYPE_MPEG1Payload)) return S_OK;
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CMpeg2DecFilter::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) {
  if (FAILED(CBaseVideoFilter::CheckTransform(mtIn, mtOut))) return VFW_E_TYPE_NOT_ACCEPTED;
  if (IsPlanarOutput(mtOut->subtype) && !IsPlanarYUVEnabled()) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CMpeg2DecFilter::CheckConnect(PIN_DIRECTION dir, IPin* pin) {
  if (dir == PINDIR_OUTPUT && GetPinFilterClsid(m_pInput->GetConnected()) == CLSID_DVDNavigator) {
    const CLSID clsid = GetPinFilterClsid(pin);
    if (clsid == CLSID_OverlayMixer || clsid == CLSID_VideoMixingRenderer || clsid == CLSID_VideoMixingRenderer9 ||
        clsid == CLSID_DvdDownstream04FE9017 || clsid == CLSID_DvdDownstream760A8F35)
      return CBaseVideoFilter::CheckConnect(dir, pin);
    if (clsid == CLSID_DvdDownstream93A22E7A || clsid == CLSID_DvdDownstream9852A670) {
      DWORD version = 0;
      if (IBaseFilter* f = GetFilterFromPin(pin)) {
        IDownstreamVersion* v = nullptr;
        if (SUCCEEDED(f->QueryInterface(IID_IDownstreamVersion, reinterpret_cast<void**>(&v))) && v) {
          version = v->GetVersion();
          v->Release();
        }
      }
      if (version >= 0x234) return CBaseVideoFilter::CheckConnect(dir, pin);
    }
    return E_FAIL;
  }
  return CBaseVideoFilter::CheckConnect(dir, pin);
}

bool CMpeg2DecFilter::IsVideoInterlaced() { return IsInterlacedEnabled(); }

void CMpeg2DecFilter::GetOutputSize(int& w, int& h, int& arx, int& ary) {
  // Pictures leave at the size the stream codes, not padded to whole
  // macroblocks; an odd side takes one more column or row of the decoded
  // frame, as 4:2:0 chroma covers pixel pairs.
  w = (w + 1) & ~1;
  h = (h + 1) & ~1;
}

// ---------------------------------------------------------------------------
// Streaming state

HRESULT CMpeg2DecFilter::StartStreaming() {
  HRESULT hr = CBaseVideoFilter::StartStreaming();
  if (FAILED(hr)) return hr;
  try {
    m_dec = std::make_unique<CMpeg2Dec>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  m_fromDvdNavigator = GetPinFilterClsid(m_pInput->GetConnected()) == CLSID_DVDNavigator;
  m_storeHoldsLastPicture = false;
  m_streamGivenUp = false;
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    m_strStreamError.clear();
  }
  Reset();
  return S_OK;
}

std::string CMpeg2DecFilter::GetRunError() const {
  std::lock_guard<std::mutex> g(m_errorLock);
  return m_strStreamError;
}

HRESULT CMpeg2DecFilter::GiveUpStream(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    m_strStreamError = text;
  }
  m_streamGivenUp = true;
  NotifyEvent(EC_ERRORABORT, VFW_E_UNSUPPORTED_VIDEO, 0);
  return VFW_E_UNSUPPORTED_VIDEO;
}

HRESULT CMpeg2DecFilter::StopStreaming() {
  ReleaseFrameSamples();
  m_dec.reset();
  m_storeHoldsLastPicture = false;
  return CBaseVideoFilter::StopStreaming();
}

void CMpeg2DecFilter::Reset() {
  CAutoLock lock(&m_csReceive);
  if (!m_dec) return;
  const CMediaType& mt = m_pInput->CurrentMediaType();
  m_sequenceHeader.clear();
  if (mt.pbFormat) {
    size_t offset = 0, length = 0;
    if (mt.formattype == FORMAT_MPEGVideo && mt.cbFormat >= offsetof(MPEG1VIDEOINFO, bSequenceHeader)) {
      offset = offsetof(MPEG1VIDEOINFO, bSequenceHeader);
      length = reinterpret_cast<const MPEG1VIDEOINFO*>(mt.pbFormat)->cbSequenceHeader;
    } else if (mt.formattype == FORMAT_MPEG2Video && mt.cbFormat >= offsetof(MPEG2VIDEOINFO, dwSequenceHeader)) {
      offset = offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
      length = reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat)->cbSequenceHeader;
    }
    length = std::min(length, offset ? mt.cbFormat - offset : 0);
    m_sequenceHeader.assign(mt.pbFormat + offset, mt.pbFormat + offset + length);
  }
  ReleaseFrameSamples();
  m_dec->Close();
  m_dec->Init();
  m_times.clear();
  // A copy, so that a format change cannot free the bytes under the parser.
  if (!m_sequenceHeader.empty())
    m_dec->SetBuffer(m_sequenceHeader.data(), m_sequenceHeader.data() + m_sequenceHeader.size());
  m_fWaitForKeyFrame = true;
  m_fieldOrderToggle = false;
  m_fb_flags = 0;
}

HRESULT CMpeg2DecFilter::AlterQuality(Quality q) {
  if (q.Late > 1000000) m_fSkipBFrames = true;
  else if (q.Late <= 0) m_fSkipBFrames = false;
  return S_OK;
}

HRESULT CMpeg2DecFilter::BeginFlush() {
  if (m_pClosedCaptionOutput->IsConnected()) m_pClosedCaptionOutput->DeliverBeginFlush();
  return CBaseVideoFilter::BeginFlush();
}

HRESULT CMpeg2DecFilter::EndFlush() {
  if (m_pClosedCaptionOutput->IsConnected()) m_pClosedCaptionOutput->DeliverEndFlush();
  return CBaseVideoFilter::EndFlush();
}

HRESULT CMpeg2DecFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CAutoLock lock(&m_csReceive);
  if (m_pClosedCaptionOutput->IsConnected()) m_pClosedCaptionOutput->DeliverNewSegment(start, stop, rate);
  m_fSkipBFrames = false;
  return CBaseVideoFilter::NewSegment(start, stop, rate);
}

HRESULT CMpeg2DecFilter::EndOfStream() {
  CAutoLock lock(&m_csReceive);
  // The last reference picture waits for a successor that will never come;
  // without this every stream lacking a sequence end code loses its last
  // frame.
  DeliverHeld();
  if (m_pClosedCaptionOutput->IsConnected()) m_pClosedCaptionOutput->DeliverEndOfStream();
  return CBaseVideoFilter::EndOfStream();
}

void CMpeg2DecFilter::DeliverHeld() {
  if (!m_dec) return;
  m_dec->Flush();
  for (int guard = 0; guard < 64; ++guard) {
    const int state = m_dec->Parse();
    if (state == CMpeg2Dec::STATE_BUFFER) break;
    if (state == CMpeg2Dec::STATE_SLICE || state == CMpeg2Dec::STATE_END) {
      if (FAILED(DeliverPicture())) break;
    }
  }
}

// ---------------------------------------------------------------------------
// Decoding

HRESULT CMpeg2DecFilter::Transform(IMediaSample* sample) {
  if (!m_dec) return S_OK;
  if (m_streamGivenUp) return VFW_E_UNSUPPORTED_VIDEO;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;
  long len = sample->GetActualDataLength();
  static_cast<CMpeg2DecInputPin*>(m_pInput)->StripMpegHeaders(&data, &len);

  // What follows a break (a jump of the source's clock, bytes lost) starts
  // afresh; the pictures before it that the decoder still holds are shown
  // first, not dropped with its state.
  if (sample->IsDiscontinuity() == S_OK) {
    if (!m_fWaitForKeyFrame) DeliverHeld();
    Reset();
  }

  REFERENCE_TIME start = kNoTime, stop = kNoTime, decode = kNoTime, decodeEnd = kNoTime;
  if (FAILED(sample->GetTime(&start, &stop))) start = kNoTime;
  if (start == kNoTime || sample->GetMediaTime(&decode, &decodeEnd) != S_OK) decode = kNoTime;

  for (;;) {
    const int state = m_dec->Parse();
    CMpeg2Info& info = m_dec->Info();
    switch (state) {
      case CMpeg2Dec::STATE_BUFFER:
        if (len <= 0) return S_OK;
        if (start != kNoTime) {
          // A bound against a stream whose pictures never come.
          if (m_times.size() >= 256) m_times.pop_front();
          m_times.push_back({m_dec->NextBufferPosition(), start, decode});
          start = kNoTime;
        }
        m_dec->SetBuffer(data, data + len);
        len = 0;
        break;
      case CMpeg2Dec::STATE_SEQUENCE:
        // The frame buffers start anew, and the picture size may change.
        ReleaseFrameSamples();
        if (info.m_sequence && info.m_sequence->frame_period) {
          m_AvgTimePerFrame = static_cast<REFERENCE_TIME>(info.m_sequence->frame_period) * 10 / 27;
        } else {
          const CMediaType& mt = m_pInput->CurrentMediaType();
          if (mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
            m_AvgTimePerFrame = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame;
        }
        break;
      case CMpeg2Dec::STATE_GOP:
        m_pClosedCaptionOutput->DeliverUserData(info.m_user_data, info.m_user_data_len);
        break;
      case CMpeg2Dec::STATE_PICTURE:
        if (Mpeg2Picture* picture = info.m_current_picture) {
          // The last stamp of a packet that began at or before the
          // picture's start code; stamps of packets where no picture began
          // go with it.
          picture->rtStart = picture->rtDecode = kNoTime;
          while (!m_times.empty() && m_times.front().position <= m_dec->PicturePosition()) {
            picture->rtStart = m_times.front().start;
            picture->rtDecode = m_times.front().decode;
            m_times.pop_front();
          }
          picture->fDelivered = 0;
          const bool skip = m_fSkipBFrames && (picture->flags & Mpeg2Picture::CODING_TYPE_MASK) == 3;
          m_dec->Skip(skip ? 1 : 0);
          if (!skip) AttachOutputBuffer();
        }
        break;
      case CMpeg2Dec::STATE_SLICE:
      case CMpeg2Dec::STATE_END: {
        HRESULT hr = DeliverPicture();
        if (FAILED(hr)) {
          // The rest of this sample goes with it; the parser must not keep
          // a pointer into a buffer that is about to be released.
          static const BYTE kNothing = 0;
          m_dec->SetBuffer(&kNothing, &kNothing);
          return hr;
        }
        break;
      }
      case CMpeg2Dec::STATE_INVALID:
        // A sequence the frame buffers cannot hold would only be skipped
        // to its end, leaving a job without pictures and without a reason.
        if (const uint32_t chroma = m_dec->RefusedChromaFormat()) {
          static const BYTE kNothing = 0;
          m_dec->SetBuffer(&kNothing, &kNothing);
          return GiveUpStream(std::string("MPEG-2 ") + (chroma == 2 ? "4:2:2" : "4:4:4") +
                              " video is not supported: the decoder handles 4:2:0 only\n");
        }
        break;
      default:
        break;
    }
  }
}

bool CMpeg2DecFilter::OutputIsInterlacedVih2() {
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  return mt.formattype == FORMAT_VideoInfo2 && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER2) &&
         (reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->dwInterlaceFlags & AMINTERLACE_IsInterlaced);
}

void CMpeg2DecFilter::SetStoreSize(int width, int height) {
  const int pitch = (width + 31) & ~31;
  if (width == m_storeWidth && height == m_storeHeight && pitch == m_storePitch) return;
  m_storeMemory.reset();
  m_storeHoldsLastPicture = false;
  m_storeWidth = width;
  m_storeHeight = height;
  m_storePitch = pitch;
}

bool CMpeg2DecFilter::AllocateStore() {
  if (m_storeMemory) return true;
  const int pitch = m_storePitch, height = m_storeHeight;
  const size_t lumaSize = static_cast<size_t>(pitch) * height;
  const size_t chromaSize = ((static_cast<size_t>(pitch / 2) * (height / 2)) + 31) & ~static_cast<size_t>(31);
  const size_t total = 2 * (lumaSize + 2 * chromaSize) + 192;
  m_storeMemory.reset(new (std::nothrow) BYTE[total + 32]);
  if (!m_storeMemory) return false;
  BYTE* p = m_storeMemory.get();
  p += (32 - (reinterpret_cast<uintptr_t>(p) & 31)) & 31;
  for (Image& img : m_image) {
    img.planes[0] = p;
    img.planes[1] = p + lumaSize;
    img.planes[2] = p + lumaSize + chromaSize;
    // Black, so that the first Field Shift picture has a defined other field.
    std::memset(img.planes[0], 16, lumaSize);
    std::memset(img.planes[1], 128, 2 * chromaSize);
    p += lumaSize + 2 * chromaSize;
  }
  return true;
}

HRESULT CMpeg2DecFilter::DeliverPicture() {
  CMpeg2Info& info = m_dec->Info();
  Mpeg2Picture* picture = info.m_display_picture;
  if (!picture || (picture->flags & Mpeg2Picture::FLAG_SKIP) || !info.m_display_fbuf || !info.m_sequence ||
      picture->fDelivered)
    return S_OK;
  picture->fDelivered = 1;
  const Mpeg2Sequence& seq = *info.m_sequence;
  int w = static_cast<int>(seq.picture_width), h = static_cast<int>(seq.picture_height), unused = 0;
  GetOutputSize(w, h, unused, unused);
  if (w <= 0 || h <= 0) return E_OUTOFMEMORY;
  SetStoreSize(w, h);
  m_framePitch = static_cast<int>(seq.width);

  m_rtStart = picture->rtStart != kNoTime ? picture->rtStart : ShownAtNextDecoding(*picture);
  const REFERENCE_TIME duration =
      static_cast<REFERENCE_TIME>(picture->nb_fields) * m_AvgTimePerFrame / (info.m_display_picture_2nd ? 1 : 2);
  m_rtStop = m_rtStart + duration;

  const DWORD previous = m_fb_flags;
  m_fb_flags = picture->flags;
  m_pictureIsI = (picture->flags & Mpeg2Picture::CODING_TYPE_MASK) == 1;
  m_pictureProgressive = (picture->flags & Mpeg2Picture::FLAG_PROGRESSIVE_FRAME) != 0;
  const bool progressiveSequence = (seq.flags & Mpeg2Sequence::FLAG_PROGRESSIVE_SEQUENCE) != 0;
  if (!progressiveSequence && !(previous & Mpeg2Picture::FLAG_REPEAT_FIRST_FIELD) && m_pictureProgressive)
    m_fieldOrderToggle = (picture->flags & Mpeg2Picture::FLAG_REPEAT_FIRST_FIELD) != 0;

  int method;
  if (OutputIsInterlacedVih2()) {
    method = DIWeave;
  } else {
    method = GetDeinterlaceMethod();
    if (method < DIWeave || method > DIFieldShift)
      method = progressiveSequence || m_fieldOrderToggle ? DIWeave : DIBlend;
  }
  m_method = method;

  HRESULT hr = DeliverDecoded(method);
  if (hr != S_FALSE) return hr;
  hr = DeliverDirect(method);
  if (hr != S_FALSE) return hr;
  return DeliverGeneral(method);
}

REFERENCE_TIME CMpeg2DecFilter::ShownAtNextDecoding(const Mpeg2Picture& shown) const {
  // A reference picture is shown when the next one is decoded: where that
  // one has a decoding stamp, it is this one's time (also past a gap,
  // which counting on from the picture before would close). Otherwise
  // it is counted on; times do not go back.
  const Mpeg2Picture* next = m_dec->Info().m_current_picture;
  const auto type = [](const Mpeg2Picture& p) { return p.flags & Mpeg2Picture::CODING_TYPE_MASK; };
  if (next && next != &shown && type(shown) != 3 && type(*next) != 3 && next->rtDecode != kNoTime &&
      next->rtDecode > m_rtStop)
    return next->rtDecode;
  return m_rtStop;
}

bool CMpeg2DecFilter::PicturesLeaveAsDecoded(const Mpeg2Sequence& seq) {
  if (m_fromDvdNavigator) return false;
  if (!IsPlanarOutput(m_pOutput->CurrentMediaType().subtype)) return false;
  {
    CAutoLock lock(&m_csProps);
    if (std::fabs(m_bright) > kNeutralEpsilon || std::fabs(m_hue) > kNeutralEpsilon ||
        std::fabs(m_cont - 1.0f) > kNeutralEpsilon || std::fabs(m_sat - 1.0f) > kNeutralEpsilon)
      return false;
  }
  // Woven for certain: chosen so, or the automatic choice for a progressive
  // sequence.
  if (OutputIsInterlacedVih2()) return true;
  const int method = GetDeinterlaceMethod();
  if (method == DIWeave) return true;
  return (method < DIWeave || method > DIFieldShift) && (seq.flags & Mpeg2Sequence::FLAG_PROGRESSIVE_SEQUENCE);
}

void CMpeg2DecFilter::ReleaseFrameSamples() {
  if (m_dec) m_dec->UseOwnFrameMemory();
  for (FrameSample& f : m_frameSamples) f.sample.Release();
}

void CMpeg2DecFilter::AttachOutputBuffer() {
  const CMpeg2Info& info = m_dec->Info();
  const Mpeg2FrameBuffer* fb = info.m_current_fbuf;
  if (!fb || fb->id >= 3 || !info.m_sequence) return;
  // What the frame buffer held has left already, or never will.
  m_dec->SetCurrentFrameMemory(nullptr);
  m_frameSamples[fb->id].sample.Release();
  const Mpeg2Sequence& seq = *info.m_sequence;
  // The coded rows below a 1080-row picture are blackened as it leaves:
  // not in a reference the decoder still reads.
  if (seq.height == 1088 || !PicturesLeaveAsDecoded(seq)) return;
  int w = static_cast<int>(seq.picture_width), h = static_cast<int>(seq.picture_height), unused = 0;
  GetOutputSize(w, h, unused, unused);
  // A new output size may grow the buffers, which no sample may hold then.
  if (w != m_wout || h != m_hout || m_wout != m_win || m_hout != m_hin || m_arxout != m_arxin ||
      m_aryout != m_aryin)
    ReleaseFrameSamples();
  IMediaSample* out = nullptr;
  if (FAILED(GetDeliveryBuffer(w, h, &out)) || !out) return;
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = OutputBitmapHeader(mt);
  BYTE* dst = nullptr;
  out->GetPointer(&dst);
  const size_t luma = static_cast<size_t>(seq.width) * seq.height;
  if (!bih || !dst || !IsPlanarOutput(mt.subtype) || bih->biWidth != static_cast<LONG>(seq.width) ||
      std::abs(bih->biHeight) != static_cast<LONG>(seq.height) || luma + luma / 2 > static_cast<size_t>(out->GetSize())) {
    out->Release();
    return;
  }
  BYTE* planes[3] = {dst, dst + luma, dst + luma + luma / 4};
  if (mt.subtype == MEDIASUBTYPE_YV12) std::swap(planes[1], planes[2]);
  out->SetActualDataLength(static_cast<long>(luma + luma / 2));
  m_dec->SetCurrentFrameMemory(planes);
  m_frameSamples[fb->id].sample.Attach(out);
  m_frameSamples[fb->id].subtype = mt.subtype;
}

HRESULT CMpeg2DecFilter::DeliverDecoded(int method) {
  const Mpeg2FrameBuffer* fb = m_dec->Info().m_display_fbuf;
  if (!fb || fb->id >= 3 || !m_frameSamples[fb->id].sample || method != DIWeave) return S_FALSE;
  const Mpeg2Sequence& seq = *m_dec->Info().m_sequence;
  // The output and the settings may have changed since it was decoded.
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = OutputBitmapHeader(mt);
  if (!bih || mt.subtype != m_frameSamples[fb->id].subtype || bih->biWidth != static_cast<LONG>(seq.width) ||
      std::abs(bih->biHeight) != static_cast<LONG>(seq.height) || !PicturesLeaveAsDecoded(seq) ||
      m_pSubpicInput->IsSubpicShown(m_rtStart))
    return S_FALSE;
  if (m_pictureIsI) m_fWaitForKeyFrame = false;
  if (m_rtStart < 0 || m_fWaitForKeyFrame) return S_OK;
  HRESULT hr = DeliverSample(m_frameSamples[fb->id].sample, m_rtStart, m_rtStop);
  if (SUCCEEDED(hr)) m_storeHoldsLastPicture = false;
  return hr;
}

HRESULT CMpeg2DecFilter::DeliverDirect(int method) {
  if (m_fromDvdNavigator || (method != DIWeave && method != DIBlend)) return S_FALSE;
  if (!IsPlanarOutput(m_pOutput->CurrentMediaType().subtype)) return S_FALSE;
  {
    CAutoLock lock(&m_csProps);
    if (std::fabs(m_bright) > kNeutralEpsilon || std::fabs(m_hue) > kNeutralEpsilon ||
        std::fabs(m_cont - 1.0f) > kNeutralEpsilon || std::fabs(m_sat - 1.0f) > kNeutralEpsilon)
      return S_FALSE;
  }
  if (m_pSubpicInput->IsSubpicShown(m_rtStart)) return S_FALSE;

  if (m_pictureIsI) m_fWaitForKeyFrame = false;
  if (m_rtStart < 0 || m_fWaitForKeyFrame) return S_OK;

  const int w = m_storeWidth, h = m_storeHeight;
  IMediaSample* out = nullptr;
  if (GetDeliveryBuffer(w, h, &out) != S_OK) {
    if (out) out->Release();
    return S_FALSE;
  }
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = OutputBitmapHeader(mt);
  BYTE* dst = nullptr;
  out->GetPointer(&dst);
  if (!bih || !dst || !IsPlanarOutput(mt.subtype) || bih->biWidth < w) {
    out->Release();
    return S_FALSE;
  }
  const int pitch = bih->biWidth, outHeight = std::abs(bih->biHeight);
  const int64_t needed = static_cast<int64_t>(pitch) * outHeight * 3 / 2;
  if (outHeight < h || needed > out->GetSize()) {
    out->Release();
    return E_FAIL;
  }
  BYTE* dY = dst;
  BYTE* dU = dY + static_cast<ptrdiff_t>(pitch) * outHeight;
  BYTE* dV = dU + static_cast<ptrdiff_t>(pitch / 2) * (outHeight / 2);
  if (mt.subtype == MEDIASUBTYPE_YV12) std::swap(dU, dV);
  const Mpeg2FrameBuffer& fb = *m_dec->Info().m_display_fbuf;
  const int fbPitch = m_framePitch;
  if (method == DIWeave) {
    CopyPlane(dY, pitch, fb.buf[0], fbPitch, w, h);
    CopyPlane(dU, pitch / 2, fb.buf[1], fbPitch / 2, w / 2, h / 2);
    CopyPlane(dV, pitch / 2, fb.buf[2], fbPitch / 2, w / 2, h / 2);
  } else {
    BlendDeinterlacePlane(dY, fb.buf[0], w, h, pitch, fbPitch);
    BlendDeinterlacePlane(dU, fb.buf[1], w / 2, h / 2, pitch / 2, fbPitch / 2);
    BlendDeinterlacePlane(dV, fb.buf[2], w / 2, h / 2, pitch / 2, fbPitch / 2);
  }
  if (outHeight == 1088) FillPaddingRows(dY, dU, dV, pitch, pitch / 2, 1088);
  out->SetActualDataLength(static_cast<long>(needed));
  // A delivery result is final: falling back would send the picture twice.
  HRESULT hr = DeliverSample(out, m_rtStart, m_rtStop);
  out->Release();
  if (SUCCEEDED(hr)) m_storeHoldsLastPicture = false;
  return hr;
}

HRESULT CMpeg2DecFilter::DeliverGeneral(int method) {
  if (!AllocateStore()) return E_OUTOFMEMORY;
  const Mpeg2FrameBuffer& fb = *m_dec->Info().m_display_fbuf;
  const int w = m_storeWidth, h = m_storeHeight, pitch = m_storePitch;
  const Image& img = m_image[0];
  const bool topFirst = (m_fb_flags & Mpeg2Picture::FLAG_TOP_FIELD_FIRST) != 0;
  const int rowBytes[3] = {w, w / 2, w / 2};
  const int rows[3] = {h, h / 2, h / 2};
  const int dstPitch[3] = {pitch, pitch / 2, pitch / 2};
  const int srcPitch[3] = {m_framePitch, m_framePitch / 2, m_framePitch / 2};
  REFERENCE_TIME stop = m_rtStop;
  const REFERENCE_TIME middle = m_rtStart + (m_rtStop - m_rtStart) / 2;

  for (int i = 0; i < 3; ++i) {
    switch (method) {
      case DIBlend:
        BlendDeinterlacePlane(img.planes[i], fb.buf[i], rowBytes[i], rows[i], dstPitch[i], srcPitch[i]);
        break;
      case DIBob:
        BobDeinterlacePlane(img.planes[i], fb.buf[i], rowBytes[i], rows[i], dstPitch[i], srcPitch[i], topFirst);
        stop = middle;
        break;
      case DIFieldShift:
        CopyField(img.planes[i], dstPitch[i], fb.buf[i], srcPitch[i], rowBytes[i], rows[i], topFirst ? 0 : 1);
        break;
      default:
        CopyPlane(img.planes[i], dstPitch[i], fb.buf[i], srcPitch[i], rowBytes[i], rows[i]);
        break;
    }
  }
  HRESULT hr = FinishAndDeliver(m_rtStart, stop);

  if (method == DIBob && hr == S_OK) {
    for (int i = 0; i < 3; ++i)
      BobDeinterlacePlane(img.planes[i], fb.buf[i], rowBytes[i], rows[i], dstPitch[i], srcPitch[i], !topFirst);
    hr = FinishAndDeliver(middle, m_rtStop);
  } else if (method == DIFieldShift) {
    // The second field waits in the store for the next picture.
    for (int i = 0; i < 3; ++i)
      CopyField(img.planes[i], dstPitch[i], fb.buf[i], srcPitch[i], rowBytes[i], rows[i], topFirst ? 1 : 0);
  }
  return hr;
}

void CMpeg2DecFilter::FillPaddingRows(BYTE* y, BYTE* u, BYTE* v, int lumaPitch, int chromaPitch, int height) {
  // The coded picture is 8 rows taller than the 1080 shown: make them black.
  for (int r = 1080; r < height; ++r) std::memset(y + static_cast<ptrdiff_t>(r) * lumaPitch, 16, lumaPitch);
  for (int r = (height - 8) / 2; r < height / 2; ++r) {
    std::memset(u + static_cast<ptrdiff_t>(r) * chromaPitch, 128, chromaPitch);
    std::memset(v + static_cast<ptrdiff_t>(r) * chromaPitch, 128, chromaPitch);
  }
}

HRESULT CMpeg2DecFilter::FinishAndDeliver(REFERENCE_TIME start, REFERENCE_TIME stop) {
  const Image& img = m_image[0];
  ApplyPictureControls(img);
  if (m_pictureIsI) m_fWaitForKeyFrame = false;
  if (start < 0 || m_fWaitForKeyFrame) return S_OK;
  if (m_storeHeight == 1088) FillPaddingRows(img.planes[0], img.planes[1], img.planes[2], m_storePitch,
                                             m_storePitch / 2, 1088);
  m_storeHoldsLastPicture = true;
  m_lastStart = start;
  m_lastStop = stop;
  return Present(start, stop);
}

HRESULT CMpeg2DecFilter::Present(REFERENCE_TIME start, REFERENCE_TIME stop) {
  const int w = m_storeWidth, h = m_storeHeight, pitch = m_storePitch;
  const Image* src = &m_image[0];
  if (m_pSubpicInput->IsSubpicShown(start)) {
    const size_t lumaSize = static_cast<size_t>(pitch) * h;
    std::memcpy(m_image[1].planes[0], m_image[0].planes[0], lumaSize);
    std::memcpy(m_image[1].planes[1], m_image[0].planes[1], static_cast<size_t>(pitch / 2) * (h / 2));
    std::memcpy(m_image[1].planes[2], m_image[0].planes[2], static_cast<size_t>(pitch / 2) * (h / 2));
    CSubpicInputPin::Target target{{m_image[1].planes[0], m_image[1].planes[1], m_image[1].planes[2]}, pitch, w, h};
    m_pSubpicInput->RenderSubpics(start, target, IsForcedSubtitlesEnabled());
    src = &m_image[1];
  }

  IMediaSample* out = nullptr;
  HRESULT hr = GetDeliveryBuffer(w, h, &out);
  if (FAILED(hr)) return hr;
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = OutputBitmapHeader(mt);
  BYTE* dst = nullptr;
  out->GetPointer(&dst);
  const int64_t size = bih ? VideoImageBytes(*bih) : 0;
  if (!bih || !dst || bih->biWidth < w || std::abs(bih->biHeight) < h || size == 0 || size > out->GetSize()) {
    out->Release();
    return E_FAIL;
  }
  out->SetActualDataLength(static_cast<long>(size));
  // Whole groups of 8 pixels where the output rows have room for them (the
  // store's rows always have).
  const int copyWidth = std::min((w + 7) & ~7, static_cast<int>(bih->biWidth) & ~1);
  hr = CopyBuffer(dst, src->planes[0], src->planes[1], src->planes[2], copyWidth, h, pitch, mt.subtype,
                  !m_pictureProgressive);
  if (SUCCEEDED(hr)) hr = DeliverSample(out, start, stop);
  out->Release();
  return hr;
}

HRESULT CMpeg2DecFilter::DeliverSample(IMediaSample* out, REFERENCE_TIME start, REFERENCE_TIME stop) {
  {
    auto* pin = static_cast<CMpeg2DecInputPin*>(m_pInput);
    CAutoLock lock(&pin->m_csRateLock);
    if (pin->m_ratechange.Rate != m_ratechange_rate) {
      m_ratechange_rate = pin->m_ratechange.Rate;
      m_ratechange_start = m_rtStart;
    }
  }
  REFERENCE_TIME s = m_ratechange_start + (start - m_ratechange_start) * m_ratechange_rate / 10000;
  REFERENCE_TIME e = m_ratechange_start + (stop - m_ratechange_start) * m_ratechange_rate / 10000;
  out->SetTime(&s, &e);
  out->SetMediaTime(nullptr, nullptr);

  IMediaSample2* out2 = nullptr;
  if (SUCCEEDED(out->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&out2))) && out2) {
    AM_SAMPLE2_PROPERTIES props{};
    if (SUCCEEDED(out2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)))) {
      props.dwTypeSpecificFlags &= ~0x7Fu;
      if (OutputIsInterlacedVih2()) {
        if (m_fb_flags & Mpeg2Picture::FLAG_TOP_FIELD_FIRST) props.dwTypeSpecificFlags |= AM_VIDEO_FLAG_FIELD1FIRST;
        if (m_fb_flags & Mpeg2Picture::FLAG_REPEAT_FIRST_FIELD) props.dwTypeSpecificFlags |= AM_VIDEO_FLAG_REPEAT_FIELD;
        const DWORD type = m_fb_flags & Mpeg2Picture::CODING_TYPE_MASK;
        if (type == 2) props.dwTypeSpecificFlags |= AM_VIDEO_FLAG_P_SAMPLE;
        if (type == 3) props.dwTypeSpecificFlags |= AM_VIDEO_FLAG_B_SAMPLE;
      }
      out2->SetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
    }
    out2->Release();
  }
  return m_pOutput->Deliver(out);
}

void CMpeg2DecFilter::RedeliverPicture() {
  CAutoLock lock(&m_csReceive);
  if (!m_dec || !m_storeHoldsLastPicture || m_State == State_Stopped) return;
  Present(m_lastStart, m_lastStop);
}

// ---------------------------------------------------------------------------
// Picture controls

void CMpeg2DecFilter::UpdateLumaTable() {
  const int k = Nearest(m_cont * 512.0);
  const int b = Nearest(m_bright);
  for (int y = 0; y < 256; ++y)
    m_YTbl[y] = static_cast<BYTE>(std::clamp((((y - 16) * k) >> 9) + b + 16, 0, 255));
}

void CMpeg2DecFilter::UpdateChromaTables() {
  const double a = m_hue * 3.1415926 / 180.0;
  const int S = Nearest(std::sin(a) * 4096.0), C = Nearest(std::cos(a) * 4096.0);
  const int k = Nearest(m_sat * 512.0);
  for (int V = 0; V < 256; ++V) {
    for (int U = 0; U < 256; ++U) {
      const int v = V - 128, u = U - 128;
      const int i = V * 256 + U;
      m_UTbl[i] = static_cast<BYTE>(std::clamp(((((v * S + u * C) >> 12) * k) >> 9) + 128, 16, 235));
      m_VTbl[i] = static_cast<BYTE>(std::clamp(((((v * C - u * S) >> 12) * k) >> 9) + 128, 16, 235));
    }
  }
}

void CMpeg2DecFilter::ApplyPictureControls(const Image& img) {
  CAutoLock lock(&m_csProps);
  const int h = m_storeHeight, pitch = m_storePitch;
  if (std::fabs(m_bright) > kNeutralEpsilon || std::fabs(m_cont - 1.0f) > kNeutralEpsilon) {
    BYTE* p = img.planes[0];
    for (size_t i = 0, n = static_cast<size_t>(h) * pitch; i < n; ++i) p[i] = m_YTbl[p[i]];
  }
  if (std::fabs(m_hue) > kNeutralEpsilon || std::fabs(m_sat - 1.0f) > kNeutralEpsilon) {
    BYTE* u = img.planes[1];
    BYTE* v = img.planes[2];
    for (size_t i = 0, n = static_cast<size_t>(h / 2) * (pitch / 2); i < n; ++i) {
      const int index = v[i] * 256 + u[i];
      u[i] = m_UTbl[index];
      v[i] = m_VTbl[index];
    }
  }
}

// ---------------------------------------------------------------------------
// Property pages and settings

HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::GetPages(CAUUID* pages) {
  CheckPointer(pages, E_POINTER);
  pages->cElems = 1;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (!pages->pElems) {
    pages->cElems = 0;
    return E_OUTOFMEMORY;
  }
  pages->pElems[0] = CLSID_Mpeg2DecPropertyPage;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::CreatePage(const GUID& guid, IPropertyPage** page) {
  CheckPointer(page, E_POINTER);
  if (*page) return E_INVALIDARG;
  if (guid != CLSID_Mpeg2DecPropertyPage) return E_FAIL;
  HRESULT hr = S_OK;
  auto* host = new CInternalPropertyPageTempl<CMpeg2DecSettingsWnd>(nullptr, &hr);
  (*page = host)->AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::SetDeinterlaceMethod(int method) {
  CAutoLock lock(&m_csProps);
  m_ditype = method;
  return S_OK;
}
int STDMETHODCALLTYPE CMpeg2DecFilter::GetDeinterlaceMethod() {
  CAutoLock lock(&m_csProps);
  return m_ditype;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::SetBrightness(float brightness) {
  CAutoLock lock(&m_csProps);
  m_bright = brightness;
  UpdateLumaTable();
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::SetContrast(float contrast) {
  CAutoLock lock(&m_csProps);
  m_cont = contrast;
  UpdateLumaTable();
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::SetHue(float hue) {
  CAutoLock lock(&m_csProps);
  m_hue = hue;
  UpdateChromaTables();
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::SetSaturation(float saturation) {
  CAutoLock lock(&m_csProps);
  m_sat = saturation;
  UpdateChromaTables();
  return S_OK;
}
float STDMETHODCALLTYPE CMpeg2DecFilter::GetBrightness() {
  CAutoLock lock(&m_csProps);
  return m_bright;
}
float STDMETHODCALLTYPE CMpeg2DecFilter::GetContrast() {
  CAutoLock lock(&m_csProps);
  return m_cont;
}
float STDMETHODCALLTYPE CMpeg2DecFilter::GetHue() {
  CAutoLock lock(&m_csProps);
  return m_hue;
}
float STDMETHODCALLTYPE CMpeg2DecFilter::GetSaturation() {
  CAutoLock lock(&m_csProps);
  return m_sat;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::EnableForcedSubtitles(bool enable) {
  CAutoLock lock(&m_csProps);
  m_fForcedSubs = enable;
  return S_OK;
}
bool STDMETHODCALLTYPE CMpeg2DecFilter::IsForcedSubtitlesEnabled() {
  CAutoLock lock(&m_csProps);
  return m_fForcedSubs;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::EnablePlanarYUV(bool enable) {
  CAutoLock lock(&m_csProps);
  m_fPlanarYUV = enable;
  return S_OK;
}
bool STDMETHODCALLTYPE CMpeg2DecFilter::IsPlanarYUVEnabled() {
  CAutoLock lock(&m_csProps);
  return m_fPlanarYUV;
}
HRESULT STDMETHODCALLTYPE CMpeg2DecFilter::EnableInterlaced(bool enable) {
  CAutoLock lock(&m_csProps);
  m_fInterlaced = enable;
  return S_OK;
}
bool STDMETHODCALLTYPE CMpeg2DecFilter::IsInterlacedEnabled() {
  CAutoLock lock(&m_csProps);
  return m_fInterlaced;
}
