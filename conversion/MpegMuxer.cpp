#include "conversion/MpegMuxer.h"

#include <strings.h>

#include <new>

namespace {

// Where the extension of a path begins: its last '.' after the last folder
// separator, or npos. A point in a folder name is no extension.
size_t ExtensionDot(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return dot;
  const size_t sep = path.find_last_of("/\\");
  if (sep != std::string::npos && sep > dot) return std::string::npos;
  return dot;
}

REFERENCE_TIME SubTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_sub_overflow(a, b, &r)) return b > 0 ? INT64_MIN + 1 : INT64_MAX;
  return r;
}

}  // namespace

CMpegMuxer::CMpegMuxer(LPUNKNOWN outer, HRESULT* phr) : CMuxerBase(NAME("CMpegMuxer"), outer, CLSID_MpegMuxer) {
  SetPins(std::make_unique<CMpegInputPin>(this, this, phr, L"Video", true),
          std::make_unique<CMpegInputPin>(this, this, phr, L"Audio", false));
  m_engine.SetRecordBuffers(Buffers());
}

CMpegMuxer::~CMpegMuxer() { EndWorker(); }

HRESULT CMpegMuxer::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  CMpegMuxer* filter = new (std::nothrow) CMpegMuxer(nullptr, &hr);
  if (!filter) return E_OUTOFMEMORY;
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CMpegMuxer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  return CMuxerBase::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------
// Settings

HRESULT CMpegMuxer::SetFormatIndex(unsigned index) {
  if (index > 7) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_nFormatIndex = static_cast<int>(index);
  m_nSelectMode = SelectByIndex;
  return S_OK;
}

HRESULT CMpegMuxer::SetProfile(unsigned profile) {
  if (profile > 5) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_nProfile = static_cast<int>(profile);
  m_nSelectMode = SelectByProfile;
  return S_OK;
}

HRESULT CMpegMuxer::SetFormatName(const std::string& name) {
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_strFormatName = name;
  m_nSelectMode = SelectByName;
  return S_OK;
}

HRESULT CMpegMuxer::SetFrameRate(int num, int den) {
  // Compared in 64 bits: 100 x den must not overflow.
  if (num < 1 || den < 1 || num < int64_t{8} * den || num > int64_t{100} * den) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_nRateNum = num;
  m_nRateDen = den;
  return S_OK;
}

HRESULT CMpegMuxer::SetVideoSize(int width, int height) {
  if (width < 10 || height < 10) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_nWidth = width;
  m_nHeight = height;
  m_bSizeSet = true;
  return S_OK;
}

HRESULT CMpegMuxer::SetSplitSize(int size) {
  if (size < 4096) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_nSplitSize = size - 20;
  return S_OK;
}

HRESULT CMpegMuxer::SetFrameRect(int left, int right, int top, int bottom, int fitMode) {
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_rcFrame[0] = left;
  m_rcFrame[1] = right;
  m_rcFrame[2] = top;
  m_rcFrame[3] = bottom;
  m_nFitMode = fitMode;
  return S_OK;
}

HRESULT CMpegMuxer::SetPictureTurn(int degrees) {
  if (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_nTurn = degrees;
  return S_OK;
}

HRESULT CMpegMuxer::SetVideoCodec(const std::string& name, int kbps) {
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_strVideoCodec = name;
  m_nVideoKbps = kbps;
  return S_OK;
}

HRESULT CMpegMuxer::SetAudioCodec(const std::string& name, int kbps, int hz, int channels) {
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_strAudioCodec = name;
  m_nAudioKbps = kbps;
  m_nSampleRate = hz;
  m_nChannels = channels;
  return S_OK;
}

HRESULT CMpegMuxer::SetFileName(const std::string& path) {
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_strFileName = path;
  if (m_nSelectMode == SelectByIndex) {
    const size_t n = m_strFileName.size();
    if (n < 4 || strcasecmp(m_strFileName.c_str() + n - 4, ".mpg") != 0) {
      const size_t dot = ExtensionDot(m_strFileName);
      if (dot != std::string::npos) m_strFileName.erase(dot);
      m_strFileName += ".mpg";
    }
  }
  m_engine.SetOutputName(m_strFileName);
  return S_OK;
}

HRESULT CMpegMuxer::SetOutputText(const std::string& text) {
  m_strOutputText = text.size() > kMaxOutputText ? text.substr(0, kMaxOutputText) : text;
  return S_OK;
}

HRESULT CMpegMuxer::SetStreamLength(REFERENCE_TIME length) {
  if (length < 0) return E_INVALIDARG;
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  m_rtStreamLength = length;
  return S_OK;
}

// ---------------------------------------------------------------------------
// The run (worker thread). The settings cannot change while the filter is
// not stopped, so the worker reads them without the filter lock, which the
// application thread holds while it waits for the worker in Stop.

HRESULT CMpegMuxer::CanStart() { return m_strFileName.empty() ? E_INVALIDARG : S_OK; }

HRESULT CMpegMuxer::BeginRun() {
  const size_t dot = ExtensionDot(m_strFileName);
  m_strStem = m_strFileName.substr(0, dot);
  m_strExt = dot == std::string::npos ? std::string() : m_strFileName.substr(dot + 1);
  m_nPart = 0;
  m_rtLastStop = 0;
  m_engine.ResetRunCounts();
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    m_strRunError.clear();
  }
  CMpegInputPin* video = InputPin(0);
  m_mtVideo = video->IsConnected() ? video->CurrentMediaType() : CMediaType();
  return StartPart();
}

HRESULT CMpegMuxer::StartPart() {
  // A new run starts with the file itself, even after an earlier run that
  // wrote parts.
  std::string name = m_strFileName;
  if (m_nPart > 0) {
    name = m_strStem + "_" + std::to_string(m_nPart);
    if (!m_strExt.empty()) name += "." + m_strExt;
  }
  if (m_pFiles) {
    std::string error;
    const std::string temp = m_pFiles->Reserve(name, &error);
    if (temp.empty()) return m_engine.Fail(E_INVALIDARG, "%s", error.c_str());
    m_engine.SetOutputName(temp, name);
  } else {
    m_engine.SetOutputName(name);
  }
  ++m_nPart;
  HRESULT hr = ConfigureEngine();
  if (FAILED(hr)) return hr;
  return m_engine.WriteHeader();
}

HRESULT CMpegMuxer::ConfigureEngine() {
  CMpegInputPin* video = InputPin(0);
  CMpegInputPin* audio = InputPin(1);
  // An unconnected video pin gives an output without video.
  const bool audioConnected = audio->IsConnected();
  // The video format in force: a later part starts in the size the stream
  // changed to.
  HRESULT hr = m_engine.SetInputFormats(video->IsConnected() ? &m_mtVideo : nullptr,
                                        audioConnected ? &audio->CurrentMediaType() : nullptr, audioConnected);
  if (FAILED(hr)) return hr;
  m_engine.SetPictureTurn(m_nTurn);
  if (m_nSelectMode == SelectByIndex) {
    if (m_nFormatIndex <= 1) return m_engine.SetMpegParams(m_nFormatIndex, m_nWidth, m_nHeight, m_nRateNum, m_nRateDen);
    return m_bSizeSet ? m_engine.SetMpegFormat(m_nFormatIndex - 2, m_nWidth, m_nHeight)
                      : m_engine.SetMpegFormat(m_nFormatIndex - 2);
  }
  hr = m_engine.SetVideoCodec(m_strVideoCodec, m_nVideoKbps, m_nWidth, m_nHeight, m_nRateNum, m_nRateDen);
  if (FAILED(hr)) return hr;
  hr = m_engine.SetAudioCodec(m_strAudioCodec, m_nAudioKbps, m_nSampleRate, m_nChannels);
  if (FAILED(hr)) return hr;
  m_engine.SetAudioLength(static_cast<double>(m_rtStreamLength) / UNITS);
  if (m_nFitMode > 0) m_engine.SetCrop(m_rcFrame[0], m_rcFrame[1], m_rcFrame[2], m_rcFrame[3], m_nFitMode);
  if (m_nSelectMode == SelectByProfile) {
    if (!m_strOutputText.empty()) m_engine.SetOutputText(m_strOutputText);
    return m_engine.OpenByProfile(m_nProfile);
  }
  return m_engine.OpenByName(m_strFormatName);
}

HRESULT CMpegMuxer::TakeSample(MuxSample& sample) {
  if (sample.m_bVideo && sample.m_pMediaType) {
    m_mtVideo = *sample.m_pMediaType;
    HRESULT hr = m_engine.ChangeVideoInput(&m_mtVideo);
    if (FAILED(hr)) return hr;
  }
  // Each part's times start from where the previous part ended.
  if (sample.m_dwFlags & MuxSample::TimeValid) {
    sample.m_rtStart = SubTimes(sample.m_rtStart, m_rtOffset);
    sample.m_rtStop = SubTimes(sample.m_rtStop, m_rtOffset);
    m_rtLastStop = sample.m_rtStop;
  }
  HRESULT hr = m_engine.WritePacket(std::move(sample));
  if (FAILED(hr)) return hr;
  if (m_nSplitSize > 0 && m_engine.GetByteCount() > int64_t{m_nSplitSize} * 1000) {
    hr = m_engine.Close();
    if (FAILED(hr)) return hr;
    m_rtOffset = SubTimes(m_rtOffset, -m_rtLastStop);
    m_rtLastStop = 0;
    return StartPart();
  }
  return S_OK;
}

HRESULT CMpegMuxer::EndRun(bool) {
  HRESULT hr = m_engine.Close();
  if (FAILED(hr)) return hr;
  // A run that encoded nothing has no result, whatever the streams said.
  if (m_engine.RunBytes() == 0) return m_engine.Fail(E_FAIL, "Nothing was written to '%s'\n", m_strFileName.c_str());
  // Video that came only in frames smaller than their picture is lost: the
  // target would hold the sound alone.
  if (m_engine.RunFrames() == 0 && m_engine.RunShortFrames() > 0)
    return m_engine.Fail(E_FAIL, "No video frame held its whole picture (%lld were short); '%s' has no video\n",
                         static_cast<long long>(m_engine.RunShortFrames()), m_strFileName.c_str());
  return S_OK;
}

void CMpegMuxer::AbortRun() {
  m_engine.CloseAfterFailure();
  // Nothing of a failed run takes a target's name.
  if (m_pFiles) m_pFiles->Discard();
  std::lock_guard<std::mutex> g(m_errorLock);
  m_strRunError = m_engine.GetLastError();
}

std::string CMpegMuxer::GetRunError() const {
  if (std::string text = CMuxerBase::GetRunError(); !text.empty()) return text;
  std::lock_guard<std::mutex> g(m_errorLock);
  return m_strRunError;
}
