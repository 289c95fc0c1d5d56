#include "conversion/FrameRateChanger.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "conversion/StillWriter.h"
#include "platform/dshow/StreamTime.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/RefTime.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Gdi.h"

namespace {

// A frame is held until the next one shows which output frames are nearer
// to it; upstream must have this many buffers for it to hold one of its own.
constexpr long kBuffersToHold = 3;

REFERENCE_TIME Saturate(__int128 v) {
  if (v > INT64_MAX) return INT64_MAX;
  if (v < INT64_MIN) return INT64_MIN;
  return static_cast<REFERENCE_TIME>(v);
}

bool IsRgbSubtype(const GUID& subtype) {
  return subtype == MEDIASUBTYPE_RGB32 || subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB555 ||
         subtype == MEDIASUBTYPE_RGB565;
}

// The bitmap header of a VideoInfo or VideoInfo2 block, or null when the
// block is too short to hold one.
const BITMAPINFOHEADER* BitmapHeader(const CMediaType& mt) {
  if (!mt.Format()) return nullptr;
  if (*mt.FormatType() == FORMAT_VideoInfo && mt.FormatLength() >= sizeof(VIDEOINFOHEADER))
    return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.Format())->bmiHeader;
  if (*mt.FormatType() == FORMAT_VideoInfo2 && mt.FormatLength() >= sizeof(VIDEOINFOHEADER2))
    return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.Format())->bmiHeader;
  return nullptr;
}

// The VideoInfo form of a VideoInfo2 type, for sinks that know only the
// older block; the picture aspect becomes the bitmap's resolution.
HRESULT VideoInfoForm(const AM_MEDIA_TYPE& in, CMediaType* out) {
  if (in.formattype != FORMAT_VideoInfo2 || !in.pbFormat || in.cbFormat < sizeof(VIDEOINFOHEADER2))
    return E_INVALIDARG;
  const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(in.pbFormat);
  out->InitMediaType();
  out->SetType(&MEDIATYPE_Video);
  out->SetSubtype(&in.subtype);
  out->SetFormatType(&FORMAT_VideoInfo);
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(out->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  if (!vih) return E_OUTOFMEMORY;
  vih->rcSource = vih2->rcSource;
  vih->rcTarget = vih2->rcTarget;
  vih->dwBitRate = vih2->dwBitRate;
  vih->dwBitErrorRate = vih2->dwBitErrorRate;
  vih->AvgTimePerFrame = vih2->AvgTimePerFrame;
  vih->bmiHeader = vih2->bmiHeader;
  ULONG size = vih2->bmiHeader.biSizeImage;
  // Uncompressed bitmaps may leave the image size 0; the rows say it.
  if (size == 0) {
    const uint64_t rows = DibRowBytes(vih2->bmiHeader.biWidth, vih2->bmiHeader.biBitCount) *
                          static_cast<uint64_t>(std::abs(static_cast<int64_t>(vih2->bmiHeader.biHeight)));
    size = rows > ULONG_MAX ? 0 : static_cast<ULONG>(rows);
  }
  out->SetSampleSize(size);
  out->SetTemporalCompression(in.bTemporalCompression);
  LONG aspectX = 0, aspectY = 0;
  if (VideoDisplayAspect(in, &aspectX, &aspectY)) SetVideoDisplayAspect(*out, aspectX, aspectY);
  return S_OK;
}

bool IsVideoInfo2Rgb(const CMediaType& mt) {
  return *mt.FormatType() == FORMAT_VideoInfo2 && IsRgbSubtype(*mt.Subtype());
}

}  // namespace

CFrameChangerInputPin::CFrameChangerInputPin(CFrameRateChanger* filter, HRESULT* phr)
    : CTransformInputPin(NAME("CFrameChangerInputPin"), filter, phr, L"XForm In") {}

STDMETHODIMP CFrameChangerInputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) {
  CheckPointer(connector, E_POINTER);
  CheckPointer(pmt, E_POINTER);
  // A new format while streaming: upstream rebuilds its buffers, so the
  // frame held in one of its old ones goes on first.
  if (IsConnected() && !IsStopped() && connector == GetConnected())
    static_cast<CFrameRateChanger*>(m_pTransformFilter)->ShowHeldToItsEnd();
  CAutoLock lock(m_pLock);
  if (!IsConnected() || IsStopped()) return CTransformInputPin::ReceiveConnection(connector, pmt);
  if (connector != GetConnected()) return VFW_E_ALREADY_CONNECTED;
  CMediaType mt(*pmt);
  if (CheckMediaType(&mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  HRESULT hr = SetMediaType(&mt);
  if (FAILED(hr)) return hr;
  static_cast<CFrameRateChanger*>(m_pTransformFilter)->OnInputFormatChange(mt);
  return S_OK;
}

CFrameRateChanger::CFrameRateChanger(LPUNKNOWN outer, HRESULT* phr)
    : CPassThroughFilter(NAME("CFrameRateChanger"), outer, CLSID_FrameRateChanger) {
  HRESULT hr = S_OK;
  m_pInput = new (std::nothrow) CFrameChangerInputPin(this, &hr);
  if (phr && (!m_pInput || FAILED(hr))) *phr = m_pInput ? hr : E_OUTOFMEMORY;
}

HRESULT CFrameRateChanger::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  CFrameRateChanger* filter = new (std::nothrow) CFrameRateChanger(nullptr, &hr);
  if (!filter) return E_OUTOFMEMORY;
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CFrameRateChanger::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  return CPassThroughFilter::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------
// Settings

HRESULT CFrameRateChanger::SetFrameRate(int num, int den) {
  CAutoLock lock(&m_csFilter);
  if (m_pInput && m_pInput->IsConnected() && m_pOutput && m_pOutput->IsConnected()) return E_FAIL;
  // A negative rate would stamp frames backwards in time.
  if (num < 0 || den < 0) return E_INVALIDARG;
  m_nRateNum = num;
  m_nRateDen = den;
  return S_OK;
}

HRESULT CFrameRateChanger::SetInputMode(int mode) {
  CAutoLock lock(&m_csFilter);
  if (m_pInput && m_pInput->IsConnected()) return E_UNEXPECTED;
  if (mode != 0 && mode != 1) return E_INVALIDARG;
  m_nInputMode = mode;
  return S_OK;
}

HRESULT CFrameRateChanger::SetPlanarInput(bool accept) {
  CAutoLock lock(&m_csFilter);
  if (m_pInput && m_pInput->IsConnected()) return E_UNEXPECTED;
  m_bPlanarInput = accept;
  return S_OK;
}

HRESULT CFrameRateChanger::SetImageOutput(int mode, LPCWSTR path, int timeMs, int width, int height) {
  CAutoLock lock(&m_csFilter);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  if (mode < kNoImages || mode > kSeries || timeMs < 0 || width < 0 || height < 0) return E_INVALIDARG;
  std::string target = path ? WideToUtf8(path) : std::string();
  if (mode != kNoImages && target.empty()) return E_INVALIDARG;
  // A zero interval would put every picture of the series at time 0.
  if (mode == kSeries && timeMs == 0) return E_INVALIDARG;
  if (mode == kSeries && target.back() != '/') target += '/';
  m_nImageMode = mode;
  m_strImagePath = std::move(target);
  m_rtImageTime = static_cast<REFERENCE_TIME>(timeMs) * 10000;
  m_nImageWidth = width;
  m_nImageHeight = height;
  m_pictures.SetBox(width, height);
  return S_OK;
}

void CFrameRateChanger::SetPictureFiles(std::shared_ptr<CJobFiles> files, bool replace) {
  CAutoLock lock(&m_csFilter);
  m_pictures.SetJobFiles(std::move(files), replace);
}

void CFrameRateChanger::SetPictureTurn(int degrees) {
  CAutoLock lock(&m_csFilter);
  m_pictures.SetTurn(degrees);
}

// ---------------------------------------------------------------------------
// Connection

HRESULT CFrameRateChanger::CheckInputType(const CMediaType* in) {
  CheckPointer(in, E_POINTER);
  if (*in->Type() != MEDIATYPE_Video) return E_INVALIDARG;
  if (!IsStopped()) return IsAcceptedFormatChange(*in) ? S_OK : E_INVALIDARG;
  const GUID& subtype = *in->Subtype();
  if (IsRgbSubtype(subtype)) return S_OK;
  if (m_bPlanarInput && (subtype == MEDIASUBTYPE_YV12 || subtype == MEDIASUBTYPE_I420 || subtype == MEDIASUBTYPE_IYUV))
    return S_OK;
  return m_nInputMode == 0 ? S_OK : E_INVALIDARG;
}

HRESULT CFrameRateChanger::CheckTransform(const CMediaType* in, const CMediaType* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  if (*in->Type() != MEDIATYPE_Video || *out->Type() != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
  if (*out->Subtype() != GUID_NULL && *out->Subtype() != *in->Subtype()) return VFW_E_TYPE_NOT_ACCEPTED;
  if (*out->FormatType() == GUID_NULL) return S_OK;
  if (*out->FormatType() == *in->FormatType() && out->FormatLength() == in->FormatLength()) return S_OK;
  if (*in->FormatType() == FORMAT_VideoInfo2 && in->FormatLength() == sizeof(VIDEOINFOHEADER2) &&
      *out->FormatType() == FORMAT_VideoInfo && out->FormatLength() == sizeof(VIDEOINFOHEADER))
    return S_OK;
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CFrameRateChanger::GetMediaType(int position, CMediaType* pmt) {
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  CheckPointer(pmt, E_POINTER);
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return OutputTypeFor(m_pInput->CurrentMediaType(), pmt);
}

HRESULT CFrameRateChanger::OutputTypeFor(const CMediaType& in, CMediaType* pmt) {
  HRESULT hr = IsVideoInfo2Rgb(in) ? VideoInfoForm(in, pmt) : pmt->Set(in);
  if (FAILED(hr)) return hr;

  // Every block kind with a frame duration keeps it at the same place,
  // right after the two rectangles and the two rates.
  const GUID& format = *pmt->FormatType();
  const bool timed = format == FORMAT_VideoInfo || format == FORMAT_VideoInfo2 || format == FORMAT_MPEGVideo ||
                     format == FORMAT_MPEG2Video;
  if (RateActive() && timed && pmt->Format() &&
      pmt->FormatLength() >= offsetof(VIDEOINFOHEADER, AvgTimePerFrame) + sizeof(REFERENCE_TIME)) {
    const REFERENCE_TIME duration =
        static_cast<REFERENCE_TIME>(m_nRateDen) * UNITS / static_cast<REFERENCE_TIME>(m_nRateNum);
    std::memcpy(pmt->Format() + offsetof(VIDEOINFOHEADER, AvgTimePerFrame), &duration, sizeof(duration));
  }
  return S_OK;
}

bool CFrameRateChanger::IsAcceptedFormatChange(const CMediaType& in) {
  if (!m_pInput || !m_pInput->IsConnected()) return false;
  const CMediaType& now = m_pInput->CurrentMediaType();
  if (*in.Subtype() != *now.Subtype() || *in.FormatType() != *now.FormatType()) return false;
  const BITMAPINFOHEADER* bih = BitmapHeader(in);
  if (!bih || bih->biWidth <= 0 || bih->biHeight == 0) return false;
  IPin* peer = m_pOutput ? m_pOutput->GetConnected() : nullptr;
  if (!peer) return true;
  CMediaType out;
  return SUCCEEDED(OutputTypeFor(in, &out)) && peer->QueryAccept(&out) == S_OK;
}

void CFrameRateChanger::OnInputFormatChange(const CMediaType& in) {
  m_mtFrame = in;
  if (FAILED(OutputTypeFor(in, &m_mtPendingOutput))) return;
  m_bOutputTypePending = true;
  if (m_pOutput) m_pOutput->SetMediaType(&m_mtPendingOutput);
}

HRESULT CFrameRateChanger::StartStreaming() {
  DropHeld();
  m_nUpstreamBuffers = 0;
  ALLOCATOR_PROPERTIES upstream{};
  if (m_pInput && m_pInput->m_pAllocator && SUCCEEDED(m_pInput->m_pAllocator->GetProperties(&upstream)))
    m_nUpstreamBuffers = upstream.cBuffers;
  m_nFramesIn = 0;
  m_nFramesOut = 0;
  m_rtExpected = 0;
  m_rtLastInputStart = 0;
  m_rtInputStep = 0;
  m_rtLastStep = 0;
  m_rtLastImageStop = 0;
  m_nImageIndex = 0;
  m_mtFrame.InitMediaType();
  m_mtFrame.majortype = GUID_NULL;
  m_bOutputTypePending = false;
  m_nImagesWritten = 0;
  m_rtLead = 0;
  std::lock_guard<std::mutex> g(m_errorLock);
  m_strRunError.clear();
  m_strLeadNote.clear();
  return S_OK;
}

std::string CFrameRateChanger::GetRunError() const {
  std::lock_guard<std::mutex> g(m_errorLock);
  return m_strRunError;
}

std::string CFrameRateChanger::GetRunNote() const {
  std::lock_guard<std::mutex> g(m_errorLock);
  return m_strLeadNote;
}

HRESULT CFrameRateChanger::FailRun(HRESULT hr, const std::string& text) {
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    m_strRunError = text;
  }
  NotifyEvent(EC_ERRORABORT, hr, 0);
  return hr;
}

HRESULT CFrameRateChanger::EndOfStream() {
  {
    CAutoLock lock(&m_csReceive);
    ShowHeldToItsEnd();
    DropHeld();
  }
  // A video stream that ends without a frame, or a picture series without a
  // picture, is a failed job, not an empty success.
  if (GetRunError().empty()) {
    if (m_nFramesIn == 0)
      FailRun(E_FAIL, "No video frame was decoded from the source\n");
    else if (m_nImageMode == kSeries && m_nImagesWritten == 0)
      FailRun(E_FAIL, "No picture was written: no frame of the source could be pictured\n");
  }
  return CTransformFilter::EndOfStream();
}

// ---------------------------------------------------------------------------
// Streaming

void CFrameRateChanger::PlaceTimes(REFERENCE_TIME& start, REFERENCE_TIME& stop) {
  start = std::max(AddRefTimes(start, m_rtLead), INT64_MIN + 1);
  stop = AddRefTimes(stop, m_rtLead);
  // A stop far behind or past its start is no frame length: the stream's
  // own step stands in for it. Steps in the times are the source's time
  // line's to judge, with every stream in view.
  if (stop < start || stop > AddRefTimes(start, StreamTime::kStepAhead)) stop = start;
  // A first picture more than kMaxLead from the start stands in for no
  // picture before it, as the sound's start is held to the same bound: the
  // picture starts at 0.
  if (m_nFramesIn > 0 || (start <= StreamTime::kMaxLead && start >= -StreamTime::kMaxLead)) return;
  m_rtLead = -start;
  stop = AddRefTimes(stop, -start);
  std::lock_guard<std::mutex> g(m_errorLock);
  m_strLeadNote = "The picture starts at " + RefTimeText(start) + ": it is taken to start at 0:00:00.000\n";
  start = 0;
}

HRESULT CFrameRateChanger::DeliverRepeats(IMediaSample* like, LONGLONG count) {
  HRESULT hr = S_OK;
  for (LONGLONG i = 0; i < count && hr == S_OK; ++i) {
    IMediaSample* out = nullptr;
    hr = CTransformFilter::InitializeOutputSample(like, &out);  // empty: no room needed
    if (FAILED(hr)) return hr;
    out->SetActualDataLength(0);
    out->SetSyncPoint(FALSE);
    out->SetDiscontinuity(FALSE);
    REFERENCE_TIME start = FrameStart(m_nFramesOut), stop = FrameStart(m_nFramesOut + 1);
    out->SetTime(&start, &stop);
    out->SetMediaTime(&start, &stop);
    // The pictures of a series due meanwhile are taken from the frame at hand.
    if (m_nImageMode != kNoImages) hr = WriteImage(like, stop);
    // A new format still waits for the next frame that has a picture.
    if (SUCCEEDED(hr)) hr = Deliver(out);
    ++m_nFramesOut;
    out->Release();
  }
  return hr;
}

REFERENCE_TIME CFrameRateChanger::KeptStop(REFERENCE_TIME start, REFERENCE_TIME stop) {
  if (m_nFramesIn > 0 && start > m_rtLastInputStart) {
    const REFERENCE_TIME step = start - m_rtLastInputStart;
    if (m_rtInputStep == 0 || step < m_rtInputStep) m_rtInputStep = step;
  }
  m_rtLastInputStart = start;
  // A stop that only repeats the type's frame time (a decoder's guess when
  // the source gave none) or none at all: the shortest step seen between
  // the frames' own starts is the stream's rate, so that no frame reaches
  // over the next. Stops of the stream's own stay.
  const REFERENCE_TIME typed = TypedFrameTime();
  const REFERENCE_TIME length = stop - start;
  if (m_rtInputStep > 0 && (length <= 0 || (m_rtInputStep < length && (typed <= 0 || length == typed))))
    return start + m_rtInputStep;
  return stop;
}

REFERENCE_TIME CFrameRateChanger::TypedFrameTime() const {
  const CMediaType& mt = m_pInput->CurrentMediaType();
  if (mt.pbFormat && (mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2) &&
      mt.cbFormat >= sizeof(VIDEOINFOHEADER))
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame;
  return 0;
}

REFERENCE_TIME CFrameRateChanger::StreamFrameTime() const {
  // The step that led to the frame, unless it was a gap or frames left out
  // (more than twice the shortest step between two frames): then the
  // shortest. Before the second frame the type's frame time, when it is a
  // length a frame plays, else one output frame.
  if (m_rtLastStep > 0 && (m_rtFrameStep <= 0 || m_rtLastStep <= 2 * m_rtFrameStep)) return m_rtLastStep;
  if (m_rtFrameStep > 0) return m_rtFrameStep;
  const REFERENCE_TIME typed = TypedFrameTime();
  if (typed > 0 && typed <= StreamTime::kStepAhead) return typed;
  return FrameStart(1);
}

REFERENCE_TIME CFrameRateChanger::FrameStart(LONGLONG n) const {
  return Saturate(static_cast<__int128>(n) * m_nRateDen * UNITS / m_nRateNum);
}

bool CFrameRateChanger::BringsNewFormat() {
  return m_bOutputTypePending || (m_pInput->SampleProps()->dwSampleFlags & AM_SAMPLE_TYPECHANGED);
}

bool CFrameRateChanger::NewOutputFormat(CMediaType* mt) {
  if (m_bOutputTypePending) {
    *mt = m_mtPendingOutput;
    return true;
  }
  const AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  if (!(props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) || !props->pMediaType) return false;
  // The output speaks VideoInfo for a VideoInfo2 input; a changed format
  // goes downstream in the form the connection uses.
  if (props->pMediaType->formattype == FORMAT_VideoInfo2) return SUCCEEDED(VideoInfoForm(*props->pMediaType, mt));
  *mt = *props->pMediaType;
  return true;
}

HRESULT CFrameRateChanger::Deliver(IMediaSample* out) {
  if (!m_pOutput || !m_pOutput->IsConnected()) return VFW_E_NOT_CONNECTED;
  if (!m_pOutput->m_pInputPin) return E_FAIL;
  return m_pOutput->m_pInputPin->Receive(out);
}

HRESULT CFrameRateChanger::StampAndDeliver(IMediaSample* out, REFERENCE_TIME start, REFERENCE_TIME stop) {
  out->SetTime(&start, &stop);
  out->SetMediaTime(&start, &stop);
  if (m_nImageMode != kNoImages) {
    HRESULT hr = WriteImage(out, stop);
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = Deliver(out);
  ++m_nFramesOut;
  return hr;
}

HRESULT CFrameRateChanger::PassOn(IMediaSample* sample, IMediaSample** out) {
  const bool newFormat = BringsNewFormat();
  HRESULT hr = SampleToPass(sample, out);
  if (hr != S_OK) return hr;
  // The frame that carries the new format downstream is made.
  if (newFormat) m_bOutputTypePending = false;
  (*out)->SetMediaTime(nullptr, nullptr);
  return S_OK;
}

HRESULT CFrameRateChanger::Receive(IMediaSample* sample) {
  CheckPointer(sample, E_POINTER);
  AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  if (props->dwStreamId != AM_STREAM_MEDIA) return CTransformFilter::Receive(sample);

  REFERENCE_TIME start = 0, stop = 0;
  HRESULT hr = sample->GetTime(&start, &stop);
  if (FAILED(hr)) return hr;
  if (hr == VFW_S_NO_STOP_TIME) stop = start;
  PlaceTimes(start, stop);

  if (!RateActive()) {
    // Frames and times pass as they came; only the pictures act.
    if ((props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props->pMediaType) m_mtFrame = *props->pMediaType;
    if (start == 0) m_nImageIndex = 0;
    ++m_nFramesIn;
    stop = KeptStop(start, stop);
    m_rtExpected = stop;
    IMediaSample* out = nullptr;
    hr = PassOn(sample, &out);
    // Empty or oversized: nothing sound to deliver or to picture.
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    out->SetTime(&start, &stop);
    hr = m_nImageMode != kNoImages ? WriteImage(out, stop) : S_OK;
    if (SUCCEEDED(hr)) hr = Deliver(out);
    ++m_nFramesOut;
    out->Release();
    return hr;
  }

  // A sample without a picture (an empty chunk, a frame the decoder could
  // not give) leaves the frame before it shown on.
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data || sample->GetActualDataLength() <= 0) return S_OK;

  // Each output frame shows the input frame whose time is nearest to its
  // own: the frame held so far is shown until this one is nearer. A frame
  // after a gap is shown at most half a frame early (the picture before it
  // holds the gap), a frame that no output frame is nearer to is left out.
  if (m_held.sample) {
    // The half frame: of the output's or of the input's own (its shortest
    // step, or its type's frame time when shorter: a stream may leave its
    // repeated pictures out), the larger; a step of 0 (two frames of one
    // time) shows the held frame at its own time only.
    const REFERENCE_TIME typed = TypedFrameTime();
    REFERENCE_TIME own = m_rtFrameStep;
    if (typed > 0 && (own <= 0 || typed < own)) own = typed;
    const REFERENCE_TIME half = std::max(FrameStart(1), own) / 2;
    REFERENCE_TIME until = std::min(m_held.start, start);
    if (start > m_held.start) until = std::max(m_held.start + (start - m_held.start) / 2, start - half);
    // The new format of this frame, if it brings one, waits for it.
    const bool pending = m_bOutputTypePending;
    hr = ShowHeld(until, true);
    m_bOutputTypePending = pending;
    if (hr != S_OK) return hr;
  }
  if ((props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props->pMediaType) m_mtFrame = *props->pMediaType;
  if (start == 0) m_nImageIndex = 0;
  // The stream's own frame: the shortest step between its frames (a stream
  // that leaves out repeated pictures steps further at times), and the
  // step that led to this one.
  const REFERENCE_TIME step = m_nFramesIn > 0 && start > m_held.start ? start - m_held.start : 0;
  if (step > 0 && (m_rtFrameStep == 0 || step < m_rtFrameStep)) m_rtFrameStep = step;
  m_rtLastStep = step;
  // Where this frame ends if none follows: one frame time of the stream on
  // (a stop, mostly a decoder's guess from the type, says less of a stream
  // whose rate changes). The next frame's time says where it really ends.
  m_rtExpected = AddRefTimes(start, StreamFrameTime());
  ++m_nFramesIn;

  IMediaSample* out = nullptr;
  hr = PassOn(sample, &out);
  // Empty or oversized: nothing sound to deliver or to picture. The stream
  // goes on; a following frame fills the gap.
  if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
  if (out == sample && m_nUpstreamBuffers < kBuffersToHold) {
    // Upstream has too few buffers to let one be held: the frame is held
    // in a copy of its own.
    IMediaSample* copy = nullptr;
    hr = InitializeOutputSample(sample, &copy);
    if (SUCCEEDED(hr)) hr = Transform(sample, copy);
    out->Release();
    if (hr != S_OK) {
      if (copy) copy->Release();
      return FAILED(hr) ? hr : S_OK;
    }
    out = copy;
  }
  m_held.sample = out;
  m_held.start = start;
  m_held.stop = stop;
  m_held.format = m_mtFrame;
  return S_OK;
}

HRESULT CFrameRateChanger::ShowHeld(REFERENCE_TIME until, bool inclusive) {
  IMediaSample* frame = m_held.sample;
  if (!frame) return S_OK;
  m_held.sample = nullptr;
  // The output frames still to come whose time is by `until`.
  const __int128 unit = static_cast<__int128>(m_nRateDen) * UNITS;
  const __int128 scaled = static_cast<__int128>(until) * m_nRateNum;
  __int128 reached = scaled < 0 ? 0 : scaled / unit + 1;  // frames n with n * unit <= scaled
  if (!inclusive && scaled >= 0 && scaled % unit == 0) --reached;
  LONGLONG count = Saturate(reached - m_nFramesOut);
  // Pictures of the frame's own format, also when the next frame brought another.
  CMediaType now = m_mtFrame;
  m_mtFrame = m_held.format;
  HRESULT hr = S_OK;
  // The output frames before the first picture, more than half a frame
  // ahead of it, show no picture of it yet (the sinks show black; a
  // picture series takes its pictures from it all the same), so that the
  // picture keeps its time when it starts after the sound.
  if (m_nFramesOut == 0 && count > 0) {
    const REFERENCE_TIME from = AddRefTimes(m_held.start, -FrameStart(1) / 2);
    const __int128 before = from <= 0 ? 0 : (static_cast<__int128>(from) * m_nRateNum + unit - 1) / unit;
    const LONGLONG blank = Saturate(std::min<__int128>(before, count));
    if (blank > 0) {
      hr = DeliverRepeats(frame, blank);
      count -= blank;
    }
  }
  if (hr != S_OK) {
    // Downstream stopped or flushing.
  } else if (count <= 0) {
    hr = m_nImageMode != kNoImages ? WriteImage(frame, FrameStart(m_nFramesOut + 1)) : S_OK;
  } else {
    hr = StampAndDeliver(frame, FrameStart(m_nFramesOut), FrameStart(m_nFramesOut + 1));
    // Repeats stop at the first failure: downstream stopped or flushing.
    if (hr == S_OK) hr = DeliverRepeats(frame, count - 1);
  }
  m_mtFrame = now;
  frame->Release();
  return hr;
}

HRESULT CFrameRateChanger::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  HRESULT hr = CPassThroughFilter::DecideBufferSize(alloc, request);
  if (FAILED(hr)) return hr;
  // A frame held in a copy of its own keeps one of these buffers while
  // the repeats before it go out.
  ALLOCATOR_PROPERTIES wanted{}, actual{};
  if (FAILED(alloc->GetProperties(&wanted)) || wanted.cBuffers >= kBuffersToHold) return hr;
  wanted.cBuffers = kBuffersToHold;
  hr = alloc->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < wanted.cBuffers ? E_FAIL : S_OK;
}

HRESULT CFrameRateChanger::ShowHeldToItsEnd() {
  CAutoLock lock(&m_csReceive);
  // The frame lasts to its own end: it takes the output frames at least
  // half of which lie before it, so that the output ends where the source
  // does, to the nearest frame.
  return m_held.sample ? ShowHeld(AddRefTimes(m_rtExpected, -FrameStart(1) / 2), true) : S_OK;
}

HRESULT CFrameRateChanger::StopStreaming() {
  // The held frame may be upstream's buffer: it goes back before the
  // buffers are taken down.
  DropHeld();
  return CPassThroughFilter::StopStreaming();
}

HRESULT CFrameRateChanger::EndFlush() {
  {
    CAutoLock lock(&m_csReceive);
    DropHeld();
  }
  return CPassThroughFilter::EndFlush();
}

void CFrameRateChanger::DropHeld() {
  if (m_held.sample) m_held.sample->Release();
  m_held = HeldFrame{};
  m_rtFrameStep = m_rtLastStep = 0;
}

// ---------------------------------------------------------------------------
// Pictures

HRESULT CFrameRateChanger::WriteImage(IMediaSample* frame, REFERENCE_TIME stop) {
  const REFERENCE_TIME last = m_rtLastImageStop;
  m_rtLastImageStop = stop;
  std::string reason;
  if (m_nImageMode == kThumbnail) {
    // A thumbnail that cannot be written is not worth stopping the stream for.
    if (last <= m_rtImageTime && m_rtImageTime < stop) SaveFrame(frame, m_strImagePath, &reason);
    return S_OK;
  }
  if (m_nImageMode != kSeries) return S_OK;
  // Every due time that this frame covers gets its picture, so that a frame
  // longer than the interval does not leave the series behind for good.
  while (m_nImageIndex < INT_MAX) {
    const REFERENCE_TIME due = Saturate(static_cast<__int128>(m_rtImageTime) * m_nImageIndex);
    if (!(last <= due && due < stop)) break;
    ++m_nImageIndex;
    const std::string path = m_strImagePath + PictureName(m_nImageIndex);
    // A series with a picture missing is a failed job.
    if (!SaveFrame(frame, path, &reason))
      return FailRun(HRESULT_FROM_WIN32(ERROR_WRITE_FAULT), "Could not write the picture " + path + ": " + reason + "\n");
  }
  return S_OK;
}

bool CFrameRateChanger::SaveFrame(IMediaSample* frame, const std::string& path, std::string* reason) {
  const CMediaType& mt = m_mtFrame.IsValid() ? m_mtFrame : m_pInput->CurrentMediaType();
  BYTE* data = nullptr;
  if (FAILED(frame->GetPointer(&data))) data = nullptr;
  // Frames that cannot be pictured are skipped (true): a series left
  // without any picture fails at its end.
  switch (m_pictures.Write(mt, data, frame->GetActualDataLength(), path, m_nImageMode == kSeries, reason)) {
    case CStillWriter::kWritten:
      ++m_nImagesWritten;
      return true;
    case CStillWriter::kNotPictured:
      return true;
    default:
      return false;
  }
}
