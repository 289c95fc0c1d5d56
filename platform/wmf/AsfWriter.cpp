#include "platform/wmf/AsfWriter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include "platform/com/ComBase.h"
#include "platform/dshow/RefTime.h"
#include "platform/win32/Thread.h"
#include "platform/wmf/ProfileManager.h"

namespace {

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

namespace {
constexpr DWORD kDefaultProfile = 3;  // the 768 Kbps system profile
constexpr HRESULT kWriteFault = static_cast<HRESULT>(0x8003001D);  // the storage layer's write fault
// ASF keeps times as 32-bit milliseconds that include the preroll of the
// muxer (3100 ms): the times a sample may have.
constexpr int64_t kPrerollMs = 3100;
constexpr int64_t kLastMs = int64_t{UINT32_MAX} - kPrerollMs;
}

// ---------------------------------------------------------------------------
// CAsfWriterInputPin

CAsfWriterInputPin::CAsfWriterInputPin(CWMAsfWriter* filter, CCritSec* lock, HRESULT* phr, bool video, LPCWSTR name)
    : CBaseInputPin("ASF writer input", filter, lock, phr, name), m_writer(filter), m_video(video) {}

HRESULT CAsfWriterInputPin::CheckMediaType(const CMediaType* pmt) {
  if (m_video) {
    if (pmt->majortype != MEDIATYPE_Video || RawVideoOf(pmt->subtype) == RawVideo::None) return S_FALSE;
    if (pmt->formattype != FORMAT_VideoInfo && pmt->formattype != FORMAT_VideoInfo2) return S_FALSE;
    const BITMAPINFOHEADER* bih = VideoBitmapHeader(*pmt);
    if (!bih || bih->biWidth < 16 || std::abs(bih->biHeight) < 16 || bih->biWidth > 4096 || std::abs(bih->biHeight) > 4096)
      return S_FALSE;
    return S_OK;
  }
  const WAVEFORMATEX* w = AudioWaveFormat(*pmt);
  if (pmt->majortype != MEDIATYPE_Audio || pmt->subtype != MEDIASUBTYPE_PCM || !w || w->wFormatTag != WAVE_FORMAT_PCM ||
      w->wBitsPerSample != 16 || w->nChannels < 1 || w->nChannels > 8 || w->nSamplesPerSec < 1000 ||
      w->nSamplesPerSec > 192000 || w->nBlockAlign != 2 * w->nChannels)
    return S_FALSE;
  return S_OK;
}

HRESULT CAsfWriterInputPin::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  pmt->InitMediaType();
  pmt->SetType(m_video ? &MEDIATYPE_Video : &MEDIATYPE_Audio);
  return S_OK;
}

HRESULT CAsfWriterInputPin::Active() {
  m_streamType = m_mt;
  return CBaseInputPin::Active();
}

STDMETHODIMP CAsfWriterInputPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  // The base has checked that a new format is one the pin takes.
  if ((m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && m_SampleProps.pMediaType)
    m_streamType = *m_SampleProps.pMediaType;
  return m_video ? m_writer->OnVideo(sample, m_streamType) : m_writer->OnAudio(sample, m_streamType);
}

STDMETHODIMP CAsfWriterInputPin::EndOfStream() {
  HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  return m_writer->OnEndOfStream(this);
}

STDMETHODIMP CAsfWriterInputPin::BeginFlush() {
  HRESULT hr = CBaseInputPin::BeginFlush();
  // Nothing waits for a picture that a flush throws away.
  m_writer->PictureReached(0, true);
  if (m_video) m_writer->DropPictures();
  return hr;
}

// ---------------------------------------------------------------------------
// CWMAsfWriter: set-up

CWMAsfWriter::CWMAsfWriter(LPUNKNOWN outer) : CBaseFilter("WM ASF Writer", outer, &m_lock, CLSID_WMAsfWriter) {
  const SystemProfile& p = SystemProfiles()[kDefaultProfile];
  ApplyProfile(p.contents, p.name);
  m_profileId = kDefaultProfile;
}

CWMAsfWriter::~CWMAsfWriter() {
  StopEncoder();
  std::lock_guard g(m_mux);
  CloseFile();
}

HRESULT CWMAsfWriter::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CWMAsfWriter(outer);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

HRESULT CWMAsfWriter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (riid == IID_IFileSinkFilter || riid == IID_IFileSinkFilter2)
    return GetInterface(static_cast<IFileSinkFilter2*>(this), ppv);
  if (riid == IID_IConfigAsfWriter) return GetInterface(static_cast<IConfigAsfWriter*>(this), ppv);
  if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
  if (riid == IID_IRunReport) return GetInterface(static_cast<IRunReport*>(this), ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

int CWMAsfWriter::GetPinCount() {
  CAutoLock lock(&m_lock);
  return static_cast<int>(m_pins.size());
}

CBasePin* CWMAsfWriter::GetPin(int n) {
  CAutoLock lock(&m_lock);
  return n >= 0 && n < static_cast<int>(m_pins.size()) ? m_pins[static_cast<size_t>(n)].get() : nullptr;
}

HRESULT CWMAsfWriter::ApplyProfile(const WmProfileContents& c, const std::wstring& name) {
  if (!c.video && !c.audio) return E_INVALIDARG;
  if (c.audio && (c.sampleRate < 8000 || c.sampleRate > 48000 || c.channels < 1 || c.channels > 2 || c.audioKbps <= 0))
    return E_INVALIDARG;
  if (c.video && (c.videoKbps <= 0 || c.width < 0 || c.height < 0)) return E_INVALIDARG;
  for (auto& pin : m_pins) {
    if (IPin* peer = pin->GetConnected()) {
      peer->Disconnect();
      pin->Disconnect();
    }
    // Someone may still hold the pin: it lives on until the filter goes.
    m_retired.push_back(std::move(pin));
  }
  m_pins.clear();
  HRESULT hr = S_OK;
  if (c.video) m_pins.push_back(std::make_unique<CAsfWriterInputPin>(this, &m_lock, &hr, true, L"Video Input 01"));
  if (c.audio) m_pins.push_back(std::make_unique<CAsfWriterInputPin>(this, &m_lock, &hr, false, L"Audio Input 01"));
  m_profile = c;
  m_profileName = name;
  IncrementPinVersion();
  return hr;
}

STDMETHODIMP CWMAsfWriter::ConfigureFilterUsingProfile(IWMProfile* profile) {
  if (!profile) return E_POINTER;
  CAutoLock lock(&m_lock);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  IWMProfileContents* contents = nullptr;
  if (FAILED(profile->QueryInterface(IID_IWMProfileContents, reinterpret_cast<void**>(&contents))) || !contents)
    return E_INVALIDARG;
  WmProfileContents c;
  HRESULT hr = contents->GetContents(&c);
  contents->Release();
  if (FAILED(hr)) return hr;
  std::wstring name;
  DWORD len = 0;
  if (SUCCEEDED(profile->GetName(nullptr, &len)) && len > 0 && len < 4096) {
    name.resize(len);
    if (FAILED(profile->GetName(name.data(), &len))) name.clear();
    if (!name.empty()) name.resize(len - 1);
  }
  hr = ApplyProfile(c, name);
  if (SUCCEEDED(hr)) m_profileId = 0xFFFFFFFF;
  return hr;
}

STDMETHODIMP CWMAsfWriter::ConfigureFilterUsingProfileId(DWORD id) {
  CAutoLock lock(&m_lock);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  if (id >= SystemProfiles().size()) return E_INVALIDARG;
  HRESULT hr = ApplyProfile(SystemProfiles()[id].contents, SystemProfiles()[id].name);
  if (SUCCEEDED(hr)) m_profileId = id;
  return hr;
}

STDMETHODIMP CWMAsfWriter::GetCurrentProfileId(DWORD* id) {
  if (!id) return E_POINTER;
  CAutoLock lock(&m_lock);
  *id = m_profileId;
  return S_OK;
}

STDMETHODIMP CWMAsfWriter::GetCurrentProfile(IWMProfile** profile) {
  CAutoLock lock(&m_lock);
  return CWMProfile::Create(m_profileName, L"", m_profile, profile);
}

STDMETHODIMP CWMAsfWriter::SetIndexMode(BOOL index) {
  m_index = index;
  return S_OK;
}
STDMETHODIMP CWMAsfWriter::GetIndexMode(BOOL* index) {
  if (!index) return E_POINTER;
  *index = m_index;
  return S_OK;
}

STDMETHODIMP CWMAsfWriter::SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
  if (!fileName) return E_POINTER;
  CAutoLock lock(&m_lock);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  if (!*fileName) return E_INVALIDARG;
  m_file = fileName;
  return S_OK;
}

STDMETHODIMP CWMAsfWriter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) {
  if (!fileName) return E_POINTER;
  CAutoLock lock(&m_lock);
  *fileName = nullptr;
  if (m_file.empty()) return E_FAIL;
  const size_t bytes = (m_file.size() + 1) * sizeof(wchar_t);
  *fileName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (!*fileName) return E_OUTOFMEMORY;
  std::memcpy(*fileName, m_file.c_str(), bytes);
  if (pmt) {
    std::memset(pmt, 0, sizeof *pmt);
    pmt->majortype = MEDIATYPE_Stream;
    pmt->subtype = MEDIASUBTYPE_Asf;
  }
  return S_OK;
}

STDMETHODIMP CWMAsfWriter::SetMode(DWORD flags) {
  if (flags & ~AM_FILE_OVERWRITE) return E_INVALIDARG;
  m_mode = flags;
  return S_OK;
}
STDMETHODIMP CWMAsfWriter::GetMode(DWORD* flags) {
  if (!flags) return E_POINTER;
  *flags = m_mode;
  return S_OK;
}

// ---------------------------------------------------------------------------
// State changes

STDMETHODIMP CWMAsfWriter::Pause() {
  CAutoLock lock(&m_lock);
  if (m_State == State_Stopped) {
    std::lock_guard g(m_mux);
    CloseFile();
    m_failed = m_finished = false;
    m_ended.clear();
    m_position.Reset();
    if (HRESULT hr = OpenFile(); FAILED(hr)) {
      CloseFile();
      return hr;
    }
    bool video = false;
    for (auto& p : m_pins) video = video || (p->IsVideo() && p->IsConnected());
    {
      std::lock_guard<std::mutex> pace(m_paceLock);
      m_pictureReached = 0;
      m_pictureDone = !video;
    }
    m_runFailed = false;
    m_encWidth = m_video ? m_video->width : 0;
    m_encHeight = m_video ? m_video->height : 0;
    if (m_video) StartEncoder();
  }
  return CBaseFilter::Pause();
}

void CWMAsfWriter::StartEncoder() {
  StopEncoder();
  {
    std::lock_guard<std::mutex> q(m_qLock);
    m_quitEncoder = false;
    m_encoding = false;
  }
  m_stopEncoder = false;
  m_encoder = std::thread(&CWMAsfWriter::EncoderLoop, this);
}

void CWMAsfWriter::StopEncoder() {
  {
    std::lock_guard<std::mutex> q(m_qLock);
    m_quitEncoder = true;
    m_pictures.clear();
  }
  m_stopEncoder = true;
  m_qCv.notify_all();
  if (m_encoder.joinable()) m_encoder.join();
}

void CWMAsfWriter::EncoderLoop() {
  for (;;) {
    QueuedPicture picture;
    {
      std::unique_lock<std::mutex> q(m_qLock);
      m_qCv.wait(q, [&] { return m_quitEncoder || !m_pictures.empty(); });
      if (m_quitEncoder) return;
      picture = std::move(m_pictures.front());
      m_pictures.pop_front();
      m_encoding = true;
    }
    {
      WritingLock g(*this);
      // A stop may have come while this thread waited for the lock.
      if (!m_stopEncoder) EncodePicture(picture);
    }
    {
      std::lock_guard<std::mutex> q(m_qLock);
      m_encoding = false;
      m_spareFrames.push_back(std::move(picture.frame));
    }
    m_qCv.notify_all();
  }
}

void CWMAsfWriter::DrainPictures() {
  std::unique_lock<std::mutex> q(m_qLock);
  m_qCv.wait(q, [&] { return m_quitEncoder || (m_pictures.empty() && !m_encoding); });
}

void CWMAsfWriter::DropPictures() {
  {
    std::lock_guard<std::mutex> q(m_qLock);
    m_pictures.clear();
  }
  m_qCv.notify_all();
}

void CWMAsfWriter::PictureReached(REFERENCE_TIME end, bool done) {
  {
    std::lock_guard<std::mutex> pace(m_paceLock);
    m_pictureReached = std::max(m_pictureReached, end);
    m_pictureDone = m_pictureDone || done;
  }
  m_paceCv.notify_all();
}

void CWMAsfWriter::PaceAudio(REFERENCE_TIME start) {
  // A picture that stops coming for this long (a stream that ends without
  // saying so) no longer holds the sound.
  constexpr auto kStuck = std::chrono::seconds(2);
  std::unique_lock<std::mutex> pace(m_paceLock);
  REFERENCE_TIME seen = m_pictureReached;
  auto moved = std::chrono::steady_clock::now();
  while (!m_pictureDone && start > m_pictureReached && start - m_pictureReached > kAudioLead) {
    m_paceCv.wait_for(pace, std::chrono::milliseconds(100));
    const auto now = std::chrono::steady_clock::now();
    if (m_pictureReached != seen) {
      seen = m_pictureReached;
      moved = now;
    } else if (now - moved > kStuck) {
      return;
    }
  }
}

CWMAsfWriter::WritingLock::WritingLock(CWMAsfWriter& writer) : m_writer(writer) {
  writer.m_mux.lock();
  std::lock_guard<std::mutex> w(writer.m_writerLock);
  writer.m_writerThread = pthread_self();
  writer.m_hasWriter = true;
}

CWMAsfWriter::WritingLock::~WritingLock() {
  // Cleared before the lock goes, so Stop never signals a thread that has
  // left (and may have ended).
  {
    std::lock_guard<std::mutex> w(m_writer.m_writerLock);
    m_writer.m_hasWriter = false;
  }
  m_writer.m_mux.unlock();
}

int CWMAsfWriter::OutputInterrupted(void* writer) {
  auto* self = static_cast<CWMAsfWriter*>(writer);
  // Called before every transfer of the file: the time of the last one
  // tells a slow write from a stuck one.
  self->m_lastOutputNs = SteadyNs();
  return self->m_abandoned ? 1 : 0;
}

STDMETHODIMP CWMAsfWriter::Stop() {
  CAutoLock lock(&m_lock);
  HRESULT hr = CBaseFilter::Stop();
  PictureReached(0, true);
  {
    std::lock_guard<std::mutex> q(m_qLock);
    m_quitEncoder = true;
    m_pictures.clear();
  }
  m_stopEncoder = true;
  m_qCv.notify_all();
  // A streaming thread may be inside a write of the file. Stop waits for
  // it, but not on a file that stopped taking data (a share that no longer
  // answers): that write is broken and every later one fails.
  std::unique_lock<std::mutex> g(m_mux, std::defer_lock);
  const int64_t since = SteadyNs();
  while (!g.try_lock()) {
    Sleep(5);
    if (SteadyNs() - std::max<int64_t>(since, m_lastOutputNs) < kOutputStallNs) continue;
    m_abandoned = true;
    std::lock_guard<std::mutex> w(m_writerLock);
    if (m_hasWriter) platform::InterruptBlockingCall(m_writerThread);
  }
  // The encoding thread is out of every write now; it ends at its next
  // look (which may need the lock).
  g.unlock();
  StopEncoder();
  g.lock();
  // What was written stays readable: a stop before the end still closes
  // the file with its index.
  CloseFile();
  return hr;
}

HRESULT CWMAsfWriter::OpenFile() {
  CAsfWriterInputPin* videoPin = nullptr;
  CAsfWriterInputPin* audioPin = nullptr;
  for (auto& p : m_pins)
    if (p->IsConnected()) (p->IsVideo() ? videoPin : audioPin) = p.get();
  if (!videoPin && !audioPin) return VFW_E_NOT_CONNECTED;
  if (m_file.empty()) return E_UNEXPECTED;
  const std::string path = WideToUtf8Path(m_file.c_str());
  std::error_code ec;
  if (!(m_mode & AM_FILE_OVERWRITE) && std::filesystem::exists(path, ec)) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
  if (avformat_alloc_output_context2(&m_fmt, nullptr, "asf", path.c_str()) < 0 || !m_fmt) return E_FAIL;
  m_packet.reset(av_packet_alloc());
  if (!m_packet) return E_OUTOFMEMORY;
  const bool globalHeader = (m_fmt->oformat->flags & AVFMT_GLOBALHEADER) != 0;

  if (videoPin) {
    const CMediaType& mt = videoPin->CurrentMediaType();
    const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    if (!codec || !bih) return E_FAIL;
    m_video.reset(avcodec_alloc_context3(codec));
    if (!m_video) return E_OUTOFMEMORY;
    int w = m_profile.width > 0 ? m_profile.width : bih->biWidth;
    int h = m_profile.height > 0 ? m_profile.height : std::abs(bih->biHeight);
    m_video->width = w & ~1;
    m_video->height = h & ~1;
    // Pictures whose pixels are not square are shown at their own shape in
    // any size, through the pixel shape the file states.
    LONG aspectX = 0, aspectY = 0;
    if (VideoDisplayAspect(mt, &aspectX, &aspectY) &&
        int64_t{aspectX} * std::abs(bih->biHeight) != int64_t{aspectY} * bih->biWidth)
      av_reduce(&m_video->sample_aspect_ratio.num, &m_video->sample_aspect_ratio.den,
                int64_t{aspectX} * m_video->height, int64_t{aspectY} * m_video->width, INT32_MAX);
    m_video->pix_fmt = AV_PIX_FMT_YUV420P;
    m_frameTime = VideoFrameTime(mt) > 0 ? VideoFrameTime(mt) : 400000;
    AVRational tb;
    av_reduce(&tb.num, &tb.den, m_frameTime, 10000000, 65535);
    m_video->time_base = tb;
    m_video->framerate = AVRational{tb.den, tb.num};
    m_video->bit_rate = static_cast<int64_t>(m_profile.videoKbps) * 1000;
    m_video->gop_size = std::max(1, static_cast<int>(tb.den / std::max(1, tb.num)) * 5);
    m_video->thread_count = 1;
    if (globalHeader) m_video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(m_video.get(), codec, nullptr) < 0) return E_FAIL;
    MakePicturePool();
    AVStream* st = avformat_new_stream(m_fmt, nullptr);
    if (!st || avcodec_parameters_from_context(st->codecpar, m_video.get()) < 0) return E_FAIL;
    st->sample_aspect_ratio = m_video->sample_aspect_ratio;
    st->time_base = AVRational{1, 1000};
    m_videoStream = st->index;
    m_lastVideoPts = -1;
    m_videoFrames = 0;
    m_videoTimes.clear();
  }
  // A profile with sound gets its sound track even when no sound comes in
  // (a source without one): silence as long as the picture.
  m_silentAudio = !audioPin && videoPin && m_profile.audio;
  if (audioPin || m_silentAudio) {
    const WAVEFORMATEX* wfx = audioPin ? AudioWaveFormat(audioPin->CurrentMediaType()) : nullptr;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    if (!codec || (audioPin && !wfx)) return E_FAIL;
    m_audio.reset(avcodec_alloc_context3(codec));
    if (!m_audio) return E_OUTOFMEMORY;
    m_audio->sample_rate = m_profile.sampleRate;
    av_channel_layout_default(&m_audio->ch_layout, m_profile.channels);
    m_audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_audio->bit_rate = static_cast<int64_t>(m_profile.audioKbps) * 1000;
    m_audio->time_base = AVRational{1, m_profile.sampleRate};
    if (globalHeader) m_audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(m_audio.get(), codec, nullptr) < 0) return E_FAIL;
    AVStream* st = avformat_new_stream(m_fmt, nullptr);
    if (!st || avcodec_parameters_from_context(st->codecpar, m_audio.get()) < 0) return E_FAIL;
    st->time_base = m_audio->time_base;
    m_audioStream = st->index;
    if (audioPin) {
      AVChannelLayout in;
      av_channel_layout_default(&in, wfx->nChannels);
      SwrContext* s = nullptr;
      int err = swr_alloc_set_opts2(&s, &m_audio->ch_layout, AV_SAMPLE_FMT_FLTP, m_profile.sampleRate, &in,
                                    AV_SAMPLE_FMT_S16, static_cast<int>(wfx->nSamplesPerSec), 0, nullptr);
      av_channel_layout_uninit(&in);
      m_swr.reset(s);
      if (err < 0 || !s || swr_init(s) < 0) return E_FAIL;
    }
    m_fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, m_profile.channels, std::max(m_audio->frame_size, 1024) * 4);
    m_audioFrame.reset(av_frame_alloc());
    if (!m_fifo || !m_audioFrame) return E_OUTOFMEMORY;
    // The decoders give nothing sound of the first frame (it only primes
    // their overlap): a frame of silence goes first, a frame ahead of the
    // picture, so that the first sound sample plays with the first frame.
    const int prime = std::max(m_audio->frame_size, 0);
    if (HRESULT hr = WriteSilence(prime); FAILED(hr)) return hr;
    m_audioPts = -prime;
    m_audioStartPending = true;
    m_audioSkip = 0;
  }
  m_abandoned = false;
  m_lastOutputNs = SteadyNs();
  {
    std::lock_guard g(m_errorLock);
    m_runError.clear();
  }
  const AVIOInterruptCB interrupt{&CWMAsfWriter::OutputInterrupted, this};
  if (avio_open2(&m_fmt->pb, path.c_str(), AVIO_FLAG_WRITE, &interrupt, nullptr) < 0)
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  if (avformat_write_header(m_fmt, nullptr) < 0) return E_FAIL;
  m_headerWritten = true;
  return S_OK;
}

void CWMAsfWriter::CloseFile() {
  if (m_fmt) {
    if (m_headerWritten) av_write_trailer(m_fmt);
    if (m_fmt->pb) avio_closep(&m_fmt->pb);
    avformat_free_context(m_fmt);
    m_fmt = nullptr;
  }
  m_headerWritten = false;
  m_video.reset();
  m_audio.reset();
  m_audioFrame.reset();
  m_packet.reset();
  m_swr.reset();
  if (m_fifo) av_audio_fifo_free(m_fifo);
  m_fifo = nullptr;
  m_videoStream = m_audioStream = -1;
  m_silentAudio = false;
}

std::string CWMAsfWriter::GetRunError() const {
  std::lock_guard g(m_errorLock);
  return m_runError;
}

HRESULT CWMAsfWriter::RefuseTime(const char* stream, int64_t ms) {
  {
    std::lock_guard g(m_errorLock);
    m_runError = std::string("The ") + stream + " sample at " + RefTimeText(ms * 10000) +
                 " has a time an ASF file cannot hold (" + RefTimeText(-kPrerollMs * 10000) + " to " +
                 RefTimeText(kLastMs * 10000) + "): the writer refused it\n";
  }
  return E_INVALIDARG;
}

HRESULT CWMAsfWriter::Fail(HRESULT hr) {
  m_failed = true;
  m_runFailed = true;
  PictureReached(0, true);
  CloseFile();
  NotifyEvent(EC_ERRORABORT, hr, 0);
  return hr;
}

// ---------------------------------------------------------------------------
// Encoding (m_mux held)

HRESULT CWMAsfWriter::Encode(AVCodecContext* ctx, int stream, const AVFrame* frame) {
  if (avcodec_send_frame(ctx, frame) < 0) return E_FAIL;
  for (;;) {
    int err = avcodec_receive_packet(ctx, m_packet.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return S_OK;
    if (err < 0) return E_FAIL;
    m_packet->stream_index = stream;
    if (stream == m_videoStream && !m_videoTimes.empty()) {
      m_packet->pts = m_packet->dts = av_rescale_q(m_videoTimes.front(), AVRational{1, 1000}, m_fmt->streams[stream]->time_base);
      m_videoTimes.pop_front();
    } else {
      av_packet_rescale_ts(m_packet.get(), ctx->time_base, m_fmt->streams[stream]->time_base);
    }
    const int64_t ms = av_rescale_q(m_packet->pts, m_fmt->streams[stream]->time_base, AVRational{1, 1000});
    err = av_interleaved_write_frame(m_fmt, m_packet.get());
    av_packet_unref(m_packet.get());
    // The muxer refuses a time it cannot hold; anything else is the disk's.
    if (err == AVERROR(EINVAL)) return RefuseTime(stream == m_videoStream ? "video" : "audio", ms);
    if (err < 0) return kWriteFault;
  }
}

HRESULT CWMAsfWriter::OnVideo(IMediaSample* sample, const CMediaType& type) {
  if (m_runFailed) return VFW_E_RUNTIME_ERROR;
  const int width = m_encWidth, height = m_encHeight;
  if (!width || !height) return S_FALSE;
  QueuedPicture picture;
  {
    // At most a couple of pictures wait for the encoder.
    std::unique_lock<std::mutex> q(m_qLock);
    m_qCv.wait(q, [&] { return m_quitEncoder || m_pictures.size() < kMaxQueuedPictures; });
    if (m_quitEncoder) return S_FALSE;
    if (!m_spareFrames.empty()) {
      picture.frame = std::move(m_spareFrames.back());
      m_spareFrames.pop_back();
    }
  }
  if (!picture.frame) picture.frame.reset(av_frame_alloc());
  if (!picture.frame || (m_picturePool && !TakePoolBuffer(picture.frame.get()))) return E_OUTOFMEMORY;
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  const long length = sample->GetActualDataLength();
  // A short picture cannot be read; it is left out.
  if (length <= 0 || !CPictureWriter::ReadRaw(type, data, static_cast<size_t>(length), picture.frame.get(),
                                              AV_PIX_FMT_YUV420P, width, height, m_readSws))
    return S_OK;
  picture.timed = SUCCEEDED(sample->GetTime(&picture.start, &picture.stop));
  {
    std::lock_guard<std::mutex> q(m_qLock);
    if (m_quitEncoder) return S_FALSE;
    m_pictures.push_back(std::move(picture));
  }
  m_qCv.notify_all();
  return S_OK;
}

void CWMAsfWriter::MakePicturePool() {
  // The encoder's pictures have a margin of 16 pixels on every side, and
  // their rows the length its own buffer allocation gives that size.
  constexpr int kMargin = 16;
  m_picturePool.reset();
  AvFramePtr probe(av_frame_alloc());
  if (!probe) return;
  probe->format = m_video->pix_fmt;
  probe->width = m_video->width + 2 * kMargin;
  probe->height = m_video->height + 2 * kMargin;
  if (avcodec_default_get_buffer2(m_video.get(), probe.get(), 0) < 0) return;
  for (int p = 0; p < 3; ++p) m_poolLines[p] = probe->linesize[p];
  const size_t rows = static_cast<size_t>(m_video->height);
  const size_t chromaRows = (rows + 1) / 2;
  // A row of margin below, as the library's own pictures have.
  const size_t size = static_cast<size_t>(m_poolLines[0]) * (rows + 1) +
                      static_cast<size_t>(m_poolLines[1] + m_poolLines[2]) * (chromaRows + 1);
  m_picturePool.reset(av_buffer_pool_init(size, nullptr));
}

bool CWMAsfWriter::TakePoolBuffer(AVFrame* frame) const {
  av_frame_unref(frame);
  frame->buf[0] = av_buffer_pool_get(m_picturePool.get());
  if (!frame->buf[0]) return false;
  const int rows = m_encHeight;
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = m_encWidth;
  frame->height = rows;
  frame->data[0] = frame->buf[0]->data;
  frame->data[1] = frame->data[0] + static_cast<ptrdiff_t>(m_poolLines[0]) * rows;
  frame->data[2] = frame->data[1] + static_cast<ptrdiff_t>(m_poolLines[1]) * ((rows + 1) / 2);
  for (int p = 0; p < 3; ++p) frame->linesize[p] = m_poolLines[p];
  return true;
}

HRESULT CWMAsfWriter::EncodePicture(QueuedPicture& picture) {
  if (m_failed || !m_video) return S_OK;
  // The frame keeps its own time, whatever the rate the type gave.
  int64_t pts = m_lastVideoPts + m_frameTime / 10000;
  if (picture.timed) {
    const REFERENCE_TIME start = picture.start, stop = picture.stop;
    pts = av_rescale(start, 1000, 10000000);
    m_position.Written(0, stop > start ? stop : start + m_frameTime);
  }
  if (pts <= m_lastVideoPts) pts = m_lastVideoPts + 1;  // the file needs rising times
  if (pts < -kPrerollMs || pts > kLastMs) return Fail(RefuseTime("video", pts));
  m_lastVideoPts = pts;
  m_videoTimes.push_back(pts);
  picture.frame->pts = m_videoFrames++;
  HRESULT hr = Encode(m_video.get(), m_videoStream, picture.frame.get());
  PictureReached(pts * 10000 + m_frameTime, false);
  if (SUCCEEDED(hr) && m_silentAudio) hr = SilenceUpTo(pts + m_frameTime / 10000);
  return FAILED(hr) ? Fail(hr) : S_OK;
}

HRESULT CWMAsfWriter::WriteSilence(int64_t samples) {
  if (samples <= 0) return S_OK;
  const int n = static_cast<int>(std::min<int64_t>(samples, std::numeric_limits<int>::max()));
  std::vector<std::vector<float>> silence(static_cast<size_t>(m_profile.channels),
                                          std::vector<float>(static_cast<size_t>(n)));
  std::vector<void*> planes;
  for (auto& p : silence) planes.push_back(p.data());
  return av_audio_fifo_write(m_fifo, planes.data(), n) < n ? E_OUTOFMEMORY : S_OK;
}

HRESULT CWMAsfWriter::SilenceUpTo(int64_t ms) {
  // Bounded work per picture: a jump in the picture's times of more than
  // a minute is a broken time, and gets no more than a minute of silence.
  constexpr int64_t kMaxGapMs = 60 * 1000;
  const int64_t rate = m_profile.sampleRate;
  const int64_t queued = m_audioPts + av_audio_fifo_size(m_fifo);
  int64_t left = std::min(av_rescale(ms, rate, 1000) - queued, kMaxGapMs * rate / 1000);
  while (left > 0) {
    const int64_t n = std::min(left, rate);  // a second at a time
    if (HRESULT hr = WriteSilence(n); FAILED(hr)) return hr;
    if (HRESULT hr = FlushAudio(false); FAILED(hr)) return hr;
    left -= n;
  }
  return S_OK;
}

HRESULT CWMAsfWriter::FlushAudio(bool last) {
  const int size = m_audio->frame_size > 0 ? m_audio->frame_size : 1024;
  while (av_audio_fifo_size(m_fifo) >= size || (last && av_audio_fifo_size(m_fifo) > 0)) {
    AVFrame* f = m_audioFrame.get();
    av_frame_unref(f);
    f->nb_samples = size;
    f->format = AV_SAMPLE_FMT_FLTP;
    f->sample_rate = m_audio->sample_rate;
    if (av_channel_layout_copy(&f->ch_layout, &m_audio->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
      return E_OUTOFMEMORY;
    const int got = av_audio_fifo_read(m_fifo, reinterpret_cast<void**>(f->data), size);
    if (got < size) {
      // The encoder takes whole frames only: the tail is padded with silence.
      for (int c = 0; c < m_audio->ch_layout.nb_channels; ++c)
        std::memset(f->data[c] + got * sizeof(float), 0, static_cast<size_t>(size - got) * sizeof(float));
    }
    f->pts = m_audioPts;
    m_audioPts += size;
    if (HRESULT hr = Encode(m_audio.get(), m_audioStream, f); FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CWMAsfWriter::OnAudio(IMediaSample* sample, const CMediaType& type) {
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = SUCCEEDED(sample->GetTime(&start, &stop));
  // Before the writing lock: the picture goes on meanwhile.
  if (timed) PaceAudio(start);
  WritingLock g(*this);
  if (m_failed) return VFW_E_RUNTIME_ERROR;
  if (!m_audio) return S_FALSE;
  const WAVEFORMATEX* wfx = AudioWaveFormat(type);
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  const long length = sample->GetActualDataLength();
  const int frames = length > 0 ? static_cast<int>(length / wfx->nBlockAlign) : 0;
  if (frames == 0) return S_OK;
  if (timed)
    m_position.Written(1, start + static_cast<REFERENCE_TIME>(frames) * 10000000 / wfx->nSamplesPerSec);
  if (m_audioStartPending && timed) {
    // The picture keeps the source's times; the sound starts on the same
    // clock. A lead beyond a minute is no start delay but a broken time.
    constexpr REFERENCE_TIME kMaxLead = 60 * REFERENCE_TIME{10000000};
    if (start > 0 && start <= kMaxLead) {
      if (FAILED(WriteSilence(av_rescale(start, m_profile.sampleRate, 10000000)))) return Fail(E_OUTOFMEMORY);
    } else if (start < 0 && start >= -kMaxLead) {
      m_audioSkip = av_rescale(-start, m_profile.sampleRate, 10000000);
    }
  }
  m_audioStartPending = false;
  const int room = swr_get_out_samples(m_swr.get(), frames);
  std::vector<std::vector<float>> planes(static_cast<size_t>(m_profile.channels), std::vector<float>(static_cast<size_t>(std::max(room, 1))));
  std::vector<uint8_t*> out;
  for (auto& p : planes) out.push_back(reinterpret_cast<uint8_t*>(p.data()));
  const uint8_t* in = data;
  const int got = swr_convert(m_swr.get(), out.data(), room, &in, frames);
  if (got < 0) return Fail(E_FAIL);
  const int cut = static_cast<int>(std::min<int64_t>(m_audioSkip, got));
  m_audioSkip -= cut;
  if (cut > 0)
    for (auto& p : out) p += static_cast<size_t>(cut) * sizeof(float);
  if (got > cut && av_audio_fifo_write(m_fifo, reinterpret_cast<void**>(out.data()), got - cut) < got - cut)
    return Fail(E_OUTOFMEMORY);
  HRESULT hr = FlushAudio(false);
  return FAILED(hr) ? Fail(hr) : S_OK;
}

HRESULT CWMAsfWriter::OnEndOfStream(CAsfWriterInputPin* pin) {
  bool complete = false;
  HRESULT result = S_OK;
  if (pin->IsVideo()) {
    PictureReached(0, true);
    DrainPictures();
  }
  {
    WritingLock g(*this);
    if (m_failed || m_finished) return S_OK;
    if (std::find(m_ended.begin(), m_ended.end(), pin) == m_ended.end()) m_ended.push_back(pin);
    m_position.Ended(pin->IsVideo() ? 0 : 1);
    size_t connected = 0;
    for (auto& p : m_pins) connected += p->IsConnected() ? 1 : 0;
    if (m_ended.size() < connected) return S_OK;
    // Every stream has ended: drain the encoders and close the file.
    HRESULT hr = S_OK;
    if (m_audio) {
      const int room = m_swr ? swr_get_out_samples(m_swr.get(), 0) : 0;
      if (room > 0) {
        std::vector<std::vector<float>> planes(static_cast<size_t>(m_profile.channels), std::vector<float>(static_cast<size_t>(room)));
        std::vector<uint8_t*> out;
        for (auto& p : planes) out.push_back(reinterpret_cast<uint8_t*>(p.data()));
        const int got = swr_convert(m_swr.get(), out.data(), room, nullptr, 0);
        if (got > 0) av_audio_fifo_write(m_fifo, reinterpret_cast<void**>(out.data()), got);
      }
      hr = FlushAudio(true);
      if (SUCCEEDED(hr)) hr = Encode(m_audio.get(), m_audioStream, nullptr);
    }
    if (SUCCEEDED(hr) && m_video) hr = Encode(m_video.get(), m_videoStream, nullptr);
    if (FAILED(hr)) return Fail(hr);
    if (m_fmt && av_write_trailer(m_fmt) < 0) result = kWriteFault;
    // What is still buffered is written on closing: the file is whole only
    // when that succeeds.
    if (m_fmt && m_fmt->pb && (avio_closep(&m_fmt->pb) < 0 || FAILED(result))) result = kWriteFault;
    m_headerWritten = false;
    CloseFile();
    m_finished = true;
    complete = SUCCEEDED(result);
    if (!complete) m_failed = true;
  }
  if (complete)
    NotifyEvent(EC_COMPLETE, S_OK, 0);
  else
    NotifyEvent(EC_ERRORABORT, result, 0);
  return S_OK;
}

// ---------------------------------------------------------------------------
// IMediaSeeking: progress only

STDMETHODIMP CWMAsfWriter::GetCapabilities(DWORD* caps) {
  if (!caps) return E_POINTER;
  *caps = AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetDuration;
  return S_OK;
}
STDMETHODIMP CWMAsfWriter::CheckCapabilities(DWORD* caps) {
  if (!caps) return E_POINTER;
  const DWORD asked = *caps;
  *caps &= AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetDuration;
  return *caps == asked ? S_OK : (*caps ? S_FALSE : E_FAIL);
}
STDMETHODIMP CWMAsfWriter::IsFormatSupported(const GUID* f) {
  if (!f) return E_POINTER;
  return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}
STDMETHODIMP CWMAsfWriter::QueryPreferredFormat(GUID* f) {
  if (!f) return E_POINTER;
  *f = TIME_FORMAT_MEDIA_TIME;
  return S_OK;
}
STDMETHODIMP CWMAsfWriter::GetTimeFormat(GUID* f) { return QueryPreferredFormat(f); }
STDMETHODIMP CWMAsfWriter::IsUsingTimeFormat(const GUID* f) { return IsFormatSupported(f); }
STDMETHODIMP CWMAsfWriter::SetTimeFormat(const GUID* f) {
  if (!f) return E_POINTER;
  return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}
STDMETHODIMP CWMAsfWriter::GetDuration(LONGLONG* duration) {
  if (!duration) return E_POINTER;
  // The longest upstream stream.
  LONGLONG best = -1;
  CAutoLock lock(&m_lock);
  for (auto& p : m_pins) {
    IPin* peer = p->GetConnected();
    IMediaSeeking* s = nullptr;
    if (!peer || FAILED(peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s))) || !s) continue;
    LONGLONG d = 0;
    if (SUCCEEDED(s->GetDuration(&d))) best = std::max(best, d);
    s->Release();
  }
  if (best < 0) return E_NOTIMPL;
  *duration = best;
  return S_OK;
}
STDMETHODIMP CWMAsfWriter::GetStopPosition(LONGLONG* stop) { return GetDuration(stop); }
STDMETHODIMP CWMAsfWriter::GetCurrentPosition(LONGLONG* current) {
  if (!current) return E_POINTER;
  *current = m_position.Get();
  return S_OK;
}
STDMETHODIMP CWMAsfWriter::GetPositions(LONGLONG* current, LONGLONG* stop) {
  if (current) GetCurrentPosition(current);
  if (stop && FAILED(GetDuration(stop))) *stop = 0;
  return S_OK;
}
