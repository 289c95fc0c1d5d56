#include "decoders/mpegaudio/MpaDecFilter.h"

#include <cmath>
#include <cstring>

#include "foundation/FilterHelpers.h"
#include "platform/com/ComPtr.h"
#include "decoders/mpegaudio/MpaDecSettingsWnd.h"
#include "platform/win32/Registry.h"

namespace {

constexpr char kSettingsKey[] = "Software\\Brisdane\\Filters\\MPEG Audio Decoder";
constexpr REFERENCE_TIME kNoTime = static_cast<REFERENCE_TIME>(0x8000000000000000ULL);

bool IsAc3(const GUID& s) { return ClassifyMpaInput(s) == MpaInputKind::Ac3; }
bool IsDts(const GUID& s) { return ClassifyMpaInput(s) == MpaInputKind::Dts; }

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

}  // namespace

CMpaDecInputPin::CMpaDecInputPin(CTransformFilter* filter, HRESULT* phr, LPCWSTR name)
    : CDecoderInputPin("CMpaDecInputPin", filter, phr, name) {}

CUnknown* CMpaDecFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  CMpaDecFilter* filter = new CMpaDecFilter(outer, phr);
  return filter;
}

HRESULT CMpaDecFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  CMpaDecFilter* filter = new CMpaDecFilter(outer, &hr);
  // The temporary reference deletes a filter whose construction failed.
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

CMpaDecFilter::CMpaDecFilter(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter("CMpaDecFilter", outer, CLSID_MpaDecFilter) {
  HRESULT hr = S_OK;
  m_pInput = new CMpaDecInputPin(this, &hr, L"In");
  if (FAILED(hr)) {
    if (phr) *phr = hr;
    return;
  }
  m_pOutput = new CTransformOutputPin("CTransformOutputPin", this, &hr, L"Out");
  if (FAILED(hr)) {
    if (phr) *phr = hr;
    return;
  }

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD v;
    // A value this decoder cannot produce is ignored and the default kept.
    if (ReadDword(key, "SampleFormat", &v) && IsValidSampleFormat(static_cast<int>(v))) {
      m_sampleFormat = static_cast<int>(v);
    }
    if (ReadDword(key, "Normalize", &v)) m_normalize = v != 0;
    if (ReadDword(key, "Boost", &v)) {
      float boost;
      std::memcpy(&boost, &v, sizeof(boost));
      m_boost = boost >= 1.0f ? boost : 1.0f;
    }
    if (ReadDword(key, "Ac3SpeakerConfig", &v)) m_speakerConfig[MPADEC_AC3] = static_cast<int>(v);
    if (ReadDword(key, "DtsSpeakerConfig", &v)) m_speakerConfig[MPADEC_DTS] = static_cast<int>(v);
    if (ReadDword(key, "AacSpeakerConfig", &v)) m_speakerConfig[MPADEC_AAC] = static_cast<int>(v);
    if (ReadDword(key, "Ac3DynamicRangeControl", &v)) m_dynamicRange[MPADEC_AC3] = v != 0;
    if (ReadDword(key, "DtsDynamicRangeControl", &v)) m_dynamicRange[MPADEC_DTS] = v != 0;
    if (ReadDword(key, "AacDynamicRangeControl", &v)) m_dynamicRange[MPADEC_AAC] = v != 0;
    RegCloseKey(key);
  }
}

CMpaDecFilter::~CMpaDecFilter() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    DWORD boost;
    std::memcpy(&boost, &m_boost, sizeof(boost));
    WriteDword(key, "SampleFormat", static_cast<DWORD>(m_sampleFormat));
    WriteDword(key, "Normalize", m_normalize ? 1 : 0);
    WriteDword(key, "Boost", boost);
    WriteDword(key, "Ac3SpeakerConfig", static_cast<DWORD>(m_speakerConfig[MPADEC_AC3]));
    WriteDword(key, "DtsSpeakerConfig", static_cast<DWORD>(m_speakerConfig[MPADEC_DTS]));
    WriteDword(key, "AacSpeakerConfig", static_cast<DWORD>(m_speakerConfig[MPADEC_AAC]));
    WriteDword(key, "Ac3DynamicRangeControl", m_dynamicRange[MPADEC_AC3] ? 1 : 0);
    WriteDword(key, "DtsDynamicRangeControl", m_dynamicRange[MPADEC_DTS] ? 1 : 0);
    WriteDword(key, "AacDynamicRangeControl", m_dynamicRange[MPADEC_AAC] ? 1 : 0);
    RegCloseKey(key);
  }
  FreeDecoders();
}

HRESULT STDMETHODCALLTYPE CMpaDecFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMpaDecFilter) return GetInterfaceAs<IMpaDecFilter>(this, ppv);
  if (riid == IID_ISpecifyPropertyPages) return GetInterfaceAs<ISpecifyPropertyPages>(this, ppv);
  if (riid == IID_ISpecifyPropertyPages2) return GetInterfaceAs<ISpecifyPropertyPages2>(this, ppv);
  return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------
// Streaming

HRESULT CMpaDecFilter::Receive(IMediaSample* sample) {
  CAutoLock lock(&m_csReceive);
  AM_SAMPLE2_PROPERTIES* props = static_cast<CMpaDecInputPin*>(m_pInput)->SampleProps();
  if (props->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->Deliver(sample);

  AM_MEDIA_TYPE* pmt = nullptr;
  if (sample->GetMediaType(&pmt) == S_OK && pmt) {
    CMediaType mt(*pmt);
    DeleteMediaType(pmt);
    // The pin passes the type on to SetMediaType, which sets up the AAC
    // decoder and the Vorbis headers again.
    m_pInput->SetMediaType(&mt);
    ResetPeak();
  }

  BYTE* data = nullptr;
  HRESULT hr = sample->GetPointer(&data);
  if (FAILED(hr)) return hr;
  long size = sample->GetActualDataLength();
  static_cast<CMpaDecInputPin*>(m_pInput)->StripMpegHeaders(&data, &size);

  REFERENCE_TIME start = kNoTime, stop = kNoTime;
  sample->GetTime(&start, &stop);

  if (sample->IsDiscontinuity() == S_OK) {
    m_fDiscontinuity = true;
    ClearInput();
    m_inputTimes.clear();
    ResetPeak();
    if (start == kNoTime) return S_OK;
    m_rtStart = start;
  }
  // (A time that does not move, as some writers stamp every packet with the
  // first one's, says nothing of where the sound goes on.)
  if (start != kNoTime && start != m_rtLastInput) NoteInputTime(start);
  if (start != kNoTime) m_rtLastInput = start;

  AppendInput(data, static_cast<size_t>(size));
  return ProcessInput();
}

void CMpaDecFilter::NoteInputTime(REFERENCE_TIME start) {
  // Samples that no frame begins in (a damaged stretch) must not pile up.
  if (m_inputTimes.size() >= kMaxInputTimes) m_inputTimes.pop_front();
  m_inputTimes.push_back({TakenBytes() + InputSize(), start});
}

void CMpaDecFilter::FollowInputTime(uint64_t frameAt, size_t pcmBytes, size_t pcmFrames, DWORD rate) {
  // Every sample that begins by the frame's start is passed; the frame is
  // the first to begin in the last of them (the ones before held no frame
  // start of their own). Counting bytes, not frames, keeps this exact
  // whatever the frames' sizes (variable bit rates).
  bool reached = false;
  REFERENCE_TIME time = 0;
  while (!m_inputTimes.empty() && m_inputTimes.front().at <= frameAt) {
    time = m_inputTimes.front().time;
    reached = true;
    m_inputTimes.pop_front();
  }
  // A PCM block runs on into the next sample's bytes: that sample's time,
  // less the block's samples before it (a sample split between the two
  // counted before), is where the block begins.
  if (pcmBytes > 0 && pcmFrames > 0 && rate > 0) {
    while (!m_inputTimes.empty() && m_inputTimes.front().at < frameAt + pcmBytes) {
      const uint64_t before = (m_inputTimes.front().at - frameAt) * pcmFrames;
      const uint64_t frames = (before + pcmBytes - 1) / pcmBytes;
      if (!reached) time = m_inputTimes.front().time - static_cast<REFERENCE_TIME>(frames * UNITS / rate);
      reached = true;
      m_inputTimes.pop_front();
    }
  }
  // Before the first frame has come out there is nothing to compare with.
  if (!reached || m_nFrames == 0) return;
  if (!m_follower.Strays(time, m_rtStart)) return;
  m_rtStart = time;
  m_fDiscontinuity = true;
}

HRESULT CMpaDecFilter::EndOfStream() {
  CAutoLock lock(&m_csReceive);
  // What the buffer still holds is decoded where the format needs the end
  // of the stream to complete a frame; a delivery failure does not keep
  // the end of stream from going downstream.
  FlushInput();
  return CTransformFilter::EndOfStream();
}

HRESULT CMpaDecFilter::EndFlush() {
  CAutoLock lock(&m_csReceive);
  ClearInput();
  m_inputTimes.clear();
  ResetPeak();
  return CTransformFilter::EndFlush();
}

HRESULT CMpaDecFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CAutoLock lock(&m_csReceive);
  ClearInput();
  m_inputTimes.clear();
  ResetPeak();
  ResetPs2();
  return CTransformFilter::NewSegment(start, stop, rate);
}

HRESULT CMpaDecFilter::StartStreaming() {
  HRESULT hr = CTransformFilter::StartStreaming();
  if (FAILED(hr)) return hr;
  InitDecoders();
  m_fDiscontinuity = false;
  m_rtFrame = 0;
  m_follower.Reset();
  m_nFrames = 0;
  m_inputTimes.clear();
  m_rtLastInput = kNoTime;
  ResetPeak();
  return S_OK;
}

HRESULT CMpaDecFilter::StopStreaming() {
  FreeDecoders();
  return CTransformFilter::StopStreaming();
}

// ---------------------------------------------------------------------------
// Output

HRESULT CMpaDecFilter::ReconnectOutput(size_t frames, const CMediaType& mt) {
  if (!m_pOutput->GetConnected()) return E_NOINTERFACE;
  CComQIPtr<IMemInputPin> pin(m_pOutput->GetConnected());
  if (!pin) return E_NOINTERFACE;
  IMemAllocator* alloc = m_pOutput->m_pAllocator;
  if (!alloc) return E_NOINTERFACE;
  ALLOCATOR_PROPERTIES props{};
  HRESULT hr = alloc->GetProperties(&props);
  if (FAILED(hr)) return hr;

  const WAVEFORMATEX* wfx = WaveFormat(mt);
  const size_t needed = frames * (wfx ? wfx->nBlockAlign : 0);
  if (needed <= static_cast<size_t>(props.cbBuffer)) {
    return mt == static_cast<const CMediaType&>(m_pOutput->CurrentMediaType()) ? S_FALSE : S_OK;
  }
  if (needed * 3 / 2 > 0x7FFFFFFF) return E_FAIL;

  props.cBuffers = 4;
  props.cbBuffer = static_cast<long>(needed * 3 / 2);
  m_pOutput->DeliverBeginFlush();
  m_pOutput->DeliverEndFlush();
  ALLOCATOR_PROPERTIES actual{};
  if (FAILED(hr = alloc->Decommit())) return hr;
  if (FAILED(hr = alloc->SetProperties(&props, &actual))) return hr;
  if (FAILED(hr = alloc->Commit())) return hr;
  if (actual.cBuffers < props.cBuffers || actual.cbBuffer < props.cbBuffer) {
    NotifyEvent(EC_ERRORABORT, hr, 0);
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CMpaDecFilter::PrepareSample(IMediaSample* sample, REFERENCE_TIME duration, HRESULT reconnect,
                                     const CMediaType& mt, bool* dropped, REFERENCE_TIME cut) {
  REFERENCE_TIME start = m_rtStart, stop = start + duration;
  m_rtStart = stop;
  m_rtFrame = duration;
  m_follower.Took(duration);
  ++m_nFrames;
  start += cut;
  *dropped = start < 0;
  if (*dropped) return S_OK;
  if (reconnect == S_OK) {
    m_pOutput->SetMediaType(&mt);
    sample->SetMediaType(const_cast<CMediaType*>(&mt));
  }
  sample->SetTime(&start, &stop);
  sample->SetMediaTime(nullptr, nullptr);
  sample->SetPreroll(FALSE);
  sample->SetDiscontinuity(m_fDiscontinuity ? TRUE : FALSE);
  m_fDiscontinuity = false;
  sample->SetSyncPoint(TRUE);
  return S_OK;
}

WORD CMpaDecFilter::OutputChannels() const {
  if (!m_pOutput || !m_pOutput->IsConnected()) return 0;
  const WAVEFORMATEX* wfx = WaveFormat(m_pOutput->CurrentMediaType());
  return wfx ? wfx->nChannels : 0;
}

HRESULT CMpaDecFilter::Deliver(const float* values, size_t count, DWORD rate, WORD channels, DWORD mask) {
  // A stream that announces no rate or no channels has no playing time to
  // give its samples.
  if (rate == 0 || channels == 0 || count == 0) return S_OK;
  FollowInputTime(FrameAt(), PcmBlockBytes(), count / channels, rate);
  const int format = GetSampleFormat();
  CMediaType mt;
  CreateMediaTypePCM(mt, format, rate, channels, mask);
  size_t frames = count / channels;
  const REFERENCE_TIME duration = static_cast<REFERENCE_TIME>(frames) * UNITS / rate;
  // A frame that straddles the stream's start (sound a container times a
  // little before the picture) plays from the start on: its samples before
  // it are cut. Dropped whole, a stream of a few frames would lose all of
  // its sound. The cut time is rounded up to whole samples, so the rest
  // begins at the start or just after it.
  size_t skip = 0;
  if (m_rtStart < 0 && m_rtStart + duration > 0)
    skip = std::min(frames - 1, static_cast<size_t>((-m_rtStart * rate + UNITS - 1) / UNITS));
  const REFERENCE_TIME cut = static_cast<REFERENCE_TIME>(skip) * UNITS / rate;
  values += skip * channels;
  frames -= skip;

  HRESULT reconnect = ReconnectOutput(frames, mt);
  if (FAILED(reconnect)) return reconnect;
  CComPtr<IMediaSample> out;
  if (FAILED(m_pOutput->GetDeliveryBuffer(&out, nullptr, nullptr, 0)) || !out) return E_FAIL;

  bool dropped = false;
  PrepareSample(out, duration, reconnect, mt, &dropped, cut);
  if (dropped) return S_OK;

  const size_t bytes = SampleFormatBits(format) * frames * channels / 8;
  BYTE* dst = nullptr;
  if (FAILED(out->GetPointer(&dst)) || static_cast<size_t>(out->GetSize()) < bytes) return E_FAIL;
  out->SetActualDataLength(static_cast<long>(bytes));

  float gain = 1.0f;
  if (m_normalize) {
    for (size_t i = 0; i < frames * channels; ++i) m_peak = std::max(m_peak, std::fabs(values[i]));
    gain = 1.0f / m_peak;
  }
  const float factor = m_boost > 1.0f ? std::log10(m_boost) + 1.0f : 0.0f;
  ConvertSamples(values, frames * channels, format, gain, factor, dst);
  return m_pOutput->Deliver(out);
}

HRESULT CMpaDecFilter::DeliverBitstream(const BYTE* frame, size_t length, int64_t bitRate, WORD dataType) {
  const size_t burst = SpdifBurstSize(length, bitRate);
  // Without a bit rate a frame has no duration and no burst size.
  if (burst == 0) return S_OK;
  FollowInputTime(FrameAt(), 0, 0, 0);
  CMediaType mt;
  CreateMediaTypeSPDIF(mt);
  HRESULT reconnect = ReconnectOutput(burst / 4, mt);
  if (FAILED(reconnect)) return reconnect;
  CComPtr<IMediaSample> out;
  if (FAILED(m_pOutput->GetDeliveryBuffer(&out, nullptr, nullptr, 0)) || !out) return E_FAIL;

  bool dropped = false;
  PrepareSample(out, static_cast<REFERENCE_TIME>(length) * 8 * UNITS / bitRate, reconnect, mt, &dropped);
  if (dropped) return S_OK;

  BYTE* dst = nullptr;
  if (FAILED(out->GetPointer(&dst)) || static_cast<size_t>(out->GetSize()) < burst) return E_FAIL;
  // A frame too long for the burst's length field is not sent.
  if (!BuildSpdifBurst(dst, burst, frame, length, dataType)) return S_OK;
  out->SetActualDataLength(static_cast<long>(burst));
  return m_pOutput->Deliver(out);
}

// ---------------------------------------------------------------------------
// Types

HRESULT CMpaDecFilter::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  const MpaInputKind kind = ClassifyMpaInput(in->subtype);
  const WAVEFORMATEX* wfx = WaveFormat(*in);
  if (kind != MpaInputKind::Vorbis) {
    // Rate and channels of the output come from here.
    if (!wfx) return VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (kind == MpaInputKind::Lpcm && !IsDecodableLpcm(wfx)) return VFW_E_TYPE_NOT_ACCEPTED;
  if (kind == MpaInputKind::Ps2Adpcm || kind == MpaInputKind::Ps2Pcm) {
    // Blocks of no bytes would never end the block loop, and the ADPCM
    // history has room for two channels.
    const DWORD interleave = Ps2Interleave(*in);
    if (interleave == 0 || wfx->nChannels == 0) return VFW_E_TYPE_NOT_ACCEPTED;
    if (kind == MpaInputKind::Ps2Adpcm && (interleave % 16 != 0 || wfx->nChannels > 2)) {
      return VFW_E_TYPE_NOT_ACCEPTED;
    }
    if (kind == MpaInputKind::Ps2Pcm && (wfx->wBitsPerSample != 16 || interleave % 2 != 0)) {
      return VFW_E_TYPE_NOT_ACCEPTED;
    }
  }
  if (kind == MpaInputKind::Vorbis && !InitVorbisDecoder(*in)) {
    RefuseAsDamaged(in->subtype);
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return IsAcceptedMpaInput(in->majortype, in->subtype) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CMpaDecFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (!in || !out) return E_POINTER;
  if (out->majortype == MEDIATYPE_Audio && out->subtype == MEDIASUBTYPE_PCM && SUCCEEDED(CheckInputType(in))) {
    return S_OK;
  }
  if (out->majortype == MEDIATYPE_Audio && out->subtype == MEDIASUBTYPE_IEEE_FLOAT) return S_OK;
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CMpaDecFilter::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  if (!m_pInput->IsConnected()) return E_UNEXPECTED;
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  request->cBuffers = 4;
  request->cbBuffer = 48000 * 6 * (32 / 8) / 10;
  request->cbAlign = 1;
  request->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CMpaDecFilter::GetMediaType(int position, CMediaType* pmt) {
  if (!m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  CheckPointer(pmt, E_POINTER);
  const CMediaType& in = m_pInput->CurrentMediaType();

  if ((IsAc3(in.subtype) && GetSpeakerConfig(MPADEC_AC3) < 0) ||
      (IsDts(in.subtype) && GetSpeakerConfig(MPADEC_DTS) < 0)) {
    CreateMediaTypeSPDIF(*pmt);
    return S_OK;
  }
  if (ClassifyMpaInput(in.subtype) == MpaInputKind::Vorbis) {
    CreateMediaTypePCM(*pmt, GetSampleFormat(), static_cast<DWORD>(VorbisRate()),
                       static_cast<WORD>(VorbisChannels()), 0);
    return S_OK;
  }
  const WAVEFORMATEX* wfx = WaveFormat(in);
  if (!wfx) return VFW_E_TYPE_NOT_ACCEPTED;
  DWORD rate = wfx->nSamplesPerSec;
  WORD channels = wfx->nChannels;
  if (ClassifyMpaInput(in.subtype) == MpaInputKind::Aac) {
    DWORD aacRate;
    WORD aacChannels;
    if (ProbeAac(in, &aacRate, &aacChannels)) {
      rate = aacRate;
      channels = aacChannels;
    }
  }
  CreateMediaTypePCM(*pmt, GetSampleFormat(), rate, std::min<WORD>(channels, 2), 0);
  return S_OK;
}

HRESULT CMpaDecFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
  if (dir == PINDIR_INPUT && pmt) SetInputType(*pmt);
  return CTransformFilter::SetMediaType(dir, pmt);
}

// ---------------------------------------------------------------------------
// Property pages

HRESULT STDMETHODCALLTYPE CMpaDecFilter::GetPages(CAUUID* pages) {
  CheckPointer(pages, E_POINTER);
  pages->cElems = 1;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (!pages->pElems) {
    pages->cElems = 0;
    return E_OUTOFMEMORY;
  }
  pages->pElems[0] = CLSID_MpaDecPropertyPage;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CMpaDecFilter::CreatePage(const GUID& guid, IPropertyPage** page) {
  CheckPointer(page, E_POINTER);
  if (*page) return E_INVALIDARG;
  if (guid != CLSID_MpaDecPropertyPage) return E_FAIL;
  HRESULT hr = S_OK;
  auto* host = new CInternalPropertyPageTempl<CMpaDecSettingsWnd>(nullptr, &hr);
  (*page = host)->AddRef();
  return S_OK;
}

// ---------------------------------------------------------------------------
// Settings

HRESULT STDMETHODCALLTYPE CMpaDecFilter::SetSampleFormat(int format) {
  // An unknown format would have no conversion and no output type.
  if (!IsValidSampleFormat(format)) return E_INVALIDARG;
  CAutoLock lock(&m_csProps);
  m_sampleFormat = format;
  return S_OK;
}

int STDMETHODCALLTYPE CMpaDecFilter::GetSampleFormat() {
  CAutoLock lock(&m_csProps);
  return m_sampleFormat;
}

HRESULT STDMETHODCALLTYPE CMpaDecFilter::SetNormalize(bool normalize) {
  CAutoLock lock(&m_csProps);
  if (m_normalize != normalize) ResetPeak();
  m_normalize = normalize;
  return S_OK;
}

bool STDMETHODCALLTYPE CMpaDecFilter::GetNormalize() {
  CAutoLock lock(&m_csProps);
  return m_normalize;
}

HRESULT STDMETHODCALLTYPE CMpaDecFilter::SetSpeakerConfig(int selector, int config) {
  CAutoLock lock(&m_csProps);
  if (selector >= 0 && selector <= 2) m_speakerConfig[selector] = config;
  return S_OK;
}

int STDMETHODCALLTYPE CMpaDecFilter::GetSpeakerConfig(int selector) {
  CAutoLock lock(&m_csProps);
  return selector >= 0 && selector <= 2 ? m_speakerConfig[selector] : -1;
}

HRESULT STDMETHODCALLTYPE CMpaDecFilter::SetDynamicRangeControl(int selector, bool enabled) {
  CAutoLock lock(&m_csProps);
  if (selector < 0 || selector > 2) return E_INVALIDARG;
  m_dynamicRange[selector] = enabled;
  return S_OK;
}

bool STDMETHODCALLTYPE CMpaDecFilter::GetDynamicRangeControl(int selector) {
  CAutoLock lock(&m_csProps);
  return selector >= 0 && selector <= 2 && m_dynamicRange[selector];
}

HRESULT STDMETHODCALLTYPE CMpaDecFilter::SetBoost(float boost) {
  CAutoLock lock(&m_csProps);
  m_boost = boost >= 1.0f ? boost : 1.0f;  // NaN fails the test too
  return S_OK;
}

float STDMETHODCALLTYPE CMpaDecFilter::GetBoost() {
  CAutoLock lock(&m_csProps);
  return m_boost;
}
