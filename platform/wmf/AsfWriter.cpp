#include "platform/wmf/AsfWriter.h"

#include <algorithm>
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
#include "platform/dshow/StreamTime.h"
#include "platform/wmf/ProfileManager.h"

namespace {
constexpr DWORD kDefaultProfile = 3;  // the 768 Kbps system profile
constexpr HRESULT kWriteFault = static_cast<HRESULT>(0x8003001D);  // the storage layer's write fault
// ASF keeps times as 32-bit milliseconds that include the preroll of the
// muxer (3100 ms): the times a sample may have.
constexpr int64_t kPrerollMs = 3100;
constexpr int64_t kLastMs = int64_t{UINT32_MAX} - kPrerollMs;
constexpr int64_t kMsUnits = UNITS / 1000;
// The video encoder's own pictures are its size plus a margin of this many
// pixels on every side (for motion vectors that point outside the
// picture). A buffer of its pool at that size has the row lengths of its
// own pictures, which lets it encode a picture where it is instead of
// copying it into one of them first.
constexpr int kEncoderEdge = 16;
}  // namespace

size_t AsfSample::QueuedBytes() const {
  size_t bytes = 0;
  for (const AvPacketPtr& p : m_packets) bytes += static_cast<size_t>(p->size);
  if (m_picture)
    for (int p = 0; p < AV_NUM_DATA_POINTERS && m_picture->buf[p]; ++p) bytes += m_picture->buf[p]->size;
  return bytes;
}

// ---------------------------------------------------------------------------
// CAsfWriterInputPin

CAsfWriterInputPin::CAsfWriterInputPin(CWMAsfWriter* filter, CCritSec* lock, HRESULT* phr, bool video, LPCWSTR name)
    : CQueuedInputPin("ASF writer input", filter, lock, phr, name, video), m_writer(filter) {}

HRESULT CAsfWriterInputPin::CheckMediaType(const CMediaType* pmt) {
  if (m_bVideo) {
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
  pmt->SetType(m_bVideo ? &MEDIATYPE_Video : &MEDIATYPE_Audio);
  return S_OK;
}

HRESULT CAsfWriterInputPin::Active() {
  m_streamType = m_mt;
  return CQueuedInputPin::Active();
}

HRESULT CAsfWriterInputPin::MakeRecord(IMediaSample* sample, std::unique_ptr<QueuedRecord>* record) {
  // The base has checked that a new format is one the pin takes.
  if ((m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && m_SampleProps.pMediaType)
    m_streamType = *m_SampleProps.pMediaType;
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  const long length = sample->GetActualDataLength();
  if (!data || length <= 0) return S_OK;
  auto rec = std::make_unique<AsfSample>();
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = MediaTimes(sample, &start, &stop);
  if (m_bVideo) {
    HRESULT hr = m_writer->ReadPicture(m_streamType, data, static_cast<size_t>(length), rec.get(), m_readSws);
    // A short picture cannot be read; it is left out.
    if (hr != S_OK || !rec->m_picture) return hr;
    m_writer->PictureTaken(timed, start, stop);
  } else {
    rec->m_hrSound = m_writer->EncodeSound(m_streamType, data, static_cast<size_t>(length), timed,
                                           sample->IsDiscontinuity() == S_OK, start, rec->m_packets);
  }
  *record = std::move(rec);
  return S_OK;
}

STDMETHODIMP CAsfWriterInputPin::EndOfStream() {
  CAutoLock lock(&m_csReceive);
  if (!m_bVideo && CheckStreaming() == S_OK && WaitForRoom()) {
    // What the resampler and the encoder still hold goes ahead of the end.
    auto rec = std::make_unique<AsfSample>();
    rec->m_pPin = this;
    rec->m_hrSound = m_writer->FinishSound(rec->m_packets);
    PushWhileAccepting(std::move(rec));
  }
  return CQueuedInputPin::EndOfStream();
}

// ---------------------------------------------------------------------------
// CWMAsfWriter: set-up

CWMAsfWriter::CWMAsfWriter(LPUNKNOWN outer) : CQueuedSinkFilter("WM ASF Writer", outer, CLSID_WMAsfWriter) {
  // A worker waiting for a picture lets no sound past its queue's limit, so
  // the sound leads the picture by no more than its queue (about two
  // seconds): else the splitter upstream would read the picture's stream
  // ahead without bound to keep the sound coming.
  m_bReleaseWhenStarved = false;
  const SystemProfile& p = SystemProfiles()[kDefaultProfile];
  ApplyProfile(p.contents, p.name);
  m_profileId = kDefaultProfile;
}

CWMAsfWriter::~CWMAsfWriter() {
  EndWorker();
  CloseFile();
  ReleaseEncoders();
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
  return CQueuedSinkFilter::NonDelegatingQueryInterface(riid, ppv);
}

int CWMAsfWriter::GetPinCount() {
  CAutoLock lock(this);
  return static_cast<int>(m_pins.size());
}

CBasePin* CWMAsfWriter::GetPin(int n) {
  CAutoLock lock(this);
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
  DetachPins();
  HRESULT hr = S_OK;
  if (c.video) m_pins.push_back(std::make_unique<CAsfWriterInputPin>(this, this, &hr, true, L"Video Input 01"));
  if (c.audio) m_pins.push_back(std::make_unique<CAsfWriterInputPin>(this, this, &hr, false, L"Audio Input 01"));
  for (auto& pin : m_pins) AttachPin(pin.get());
  m_profile = c;
  m_profileName = name;
  IncrementPinVersion();
  return hr;
}

STDMETHODIMP CWMAsfWriter::ConfigureFilterUsingProfile(IWMProfile* profile) {
  if (!profile) return E_POINTER;
  CAutoLock lock(this);
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
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  if (id >= SystemProfiles().size()) return E_INVALIDARG;
  HRESULT hr = ApplyProfile(SystemProfiles()[id].contents, SystemProfiles()[id].name);
  if (SUCCEEDED(hr)) m_profileId = id;
  return hr;
}

STDMETHODIMP CWMAsfWriter::GetCurrentProfileId(DWORD* id) {
  if (!id) return E_POINTER;
  CAutoLock lock(this);
  *id = m_profileId;
  return S_OK;
}

STDMETHODIMP CWMAsfWriter::GetCurrentProfile(IWMProfile** profile) {
  CAutoLock lock(this);
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
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_WRONG_STATE;
  if (!*fileName) return E_INVALIDARG;
  m_file = fileName;
  return S_OK;
}

STDMETHODIMP CWMAsfWriter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) {
  if (!fileName) return E_POINTER;
  CAutoLock lock(this);
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
// Opening and closing (stopped, or the worker's end of a run)

HRESULT CWMAsfWriter::CanStart() {
  CloseFile();
  ReleaseEncoders();
  {
    std::lock_guard g(m_errorLock);
    m_runError.clear();
  }
  HRESULT hr = OpenFile();
  if (FAILED(hr)) {
    CloseFile();
    ReleaseEncoders();
  }
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
  m_videoPacket.reset(av_packet_alloc());
  m_audioPacket.reset(av_packet_alloc());
  if (!m_videoPacket || !m_audioPacket) return E_OUTOFMEMORY;
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
    av_reduce(&tb.num, &tb.den, m_frameTime, UNITS, 65535);
    m_video->time_base = tb;
    m_video->framerate = AVRational{tb.den, tb.num};
    m_video->bit_rate = static_cast<int64_t>(m_profile.videoKbps) * 1000;
    m_video->gop_size = std::max(1, static_cast<int>(tb.den / std::max(1, tb.num)) * 5);
    m_video->thread_count = 1;
    if (globalHeader) m_video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(m_video.get(), codec, nullptr) < 0) return E_FAIL;
    // The encoder's pool is made here, while no streaming thread takes from
    // it: from then on the picture pin and the encoder only read its layout.
    if (!NewPicture()) return E_OUTOFMEMORY;
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
    m_soundClock.Reset();
    // No picture yet: sound far from the start is no gap to fill.
    m_pictureEnd = videoPin ? 0 : INT64_MAX;
  }
  m_outputWatch.Start();
  const AVIOInterruptCB interrupt = m_outputWatch.Callback();
  if (avio_open2(&m_fmt->pb, path.c_str(), AVIO_FLAG_WRITE, &interrupt, nullptr) < 0)
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  if (avformat_write_header(m_fmt, nullptr) < 0) return E_FAIL;
  m_headerWritten = true;
  // The header fixes the streams' time bases; the sound pin's thread reads
  // its own from here, not from the file's context that the worker owns.
  if (m_audioStream >= 0) m_audioBase = m_fmt->streams[m_audioStream]->time_base;
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
  m_written.clear();
}

void CWMAsfWriter::ReleaseEncoders() {
  m_video.reset();
  m_audio.reset();
  m_audioFrame.reset();
  m_videoPacket.reset();
  m_audioPacket.reset();
  m_swr.reset();
  if (m_fifo) av_audio_fifo_free(m_fifo);
  m_fifo = nullptr;
  m_videoStream = m_audioStream = -1;
  m_silentAudio = false;
}

void CWMAsfWriter::AbortRun() { CloseFile(); }

std::string CWMAsfWriter::GetRunError() const {
  if (std::string text = CQueuedSinkFilter::GetRunError(); !text.empty()) return text;
  std::lock_guard g(m_errorLock);
  return m_runError;
}

HRESULT CWMAsfWriter::RefuseTime(const char* stream, int64_t ms) {
  {
    std::lock_guard g(m_errorLock);
    m_runError = std::string("The ") + stream + " sample at " + RefTimeText(ms * kMsUnits) +
                 " has a time an ASF file cannot hold (" + RefTimeText(-kPrerollMs * kMsUnits) + " to " +
                 RefTimeText(kLastMs * kMsUnits) + "): the writer refused it\n";
  }
  return E_INVALIDARG;
}

// ---------------------------------------------------------------------------
// The pictures

AvFramePtr CWMAsfWriter::NewPicture() const {
  AvFramePtr frame(av_frame_alloc());
  if (!frame) return frame;
  frame->format = m_video->pix_fmt;
  frame->width = m_video->width + 2 * kEncoderEdge;
  frame->height = m_video->height + 2 * kEncoderEdge;
  if (avcodec_default_get_buffer2(m_video.get(), frame.get(), 0) < 0) return nullptr;
  // The picture fills the buffer from its start: its planes stay aligned
  // as the encoder wants them.
  frame->width = m_video->width;
  frame->height = m_video->height;
  return frame;
}

HRESULT CWMAsfWriter::ReadPicture(const CMediaType& type, const BYTE* data, size_t length, AsfSample* record,
                                  SwsPtr& sws) {
  if (!m_video) return S_FALSE;
  AvFramePtr picture = NewPicture();
  if (!picture) return E_OUTOFMEMORY;
  if (CPictureWriter::ReadRaw(type, data, length, picture.get(), m_video->pix_fmt, m_video->width, m_video->height,
                              sws))
    record->m_picture = std::move(picture);
  return S_OK;
}

HRESULT CWMAsfWriter::EncodePicture(AsfSample& picture) {
  // The frame keeps its own time, whatever the rate the type gave.
  int64_t pts = m_lastVideoPts + m_frameTime / kMsUnits;
  if (picture.m_dwFlags & QueuedRecord::TimeValid) pts = av_rescale(picture.m_rtStart, 1, kMsUnits);
  if (pts <= m_lastVideoPts) pts = m_lastVideoPts + 1;  // the file needs rising times
  if (pts < -kPrerollMs || pts > kLastMs) return RefuseTime("video", pts);
  m_lastVideoPts = pts;
  m_videoTimes.push_back(pts);
  picture.m_picture->pts = m_videoFrames++;
  HRESULT hr = Encode(m_video.get(), m_videoStream, m_fmt->streams[m_videoStream]->time_base, picture.m_picture.get(),
                      m_written);
  // The encoder keeps its own reference while it needs the picture.
  picture.m_picture.reset();
  if (SUCCEEDED(hr) && m_silentAudio) hr = SilenceUpTo(pts + m_frameTime / kMsUnits, m_written);
  if (SUCCEEDED(hr)) hr = Write(m_written);
  return hr;
}

// ---------------------------------------------------------------------------
// The sound

HRESULT CWMAsfWriter::WriteSilence(int64_t samples) {
  if (samples <= 0) return S_OK;
  const int n = static_cast<int>(std::min<int64_t>(samples, std::numeric_limits<int>::max()));
  std::vector<std::vector<float>> silence(static_cast<size_t>(m_profile.channels),
                                          std::vector<float>(static_cast<size_t>(n)));
  std::vector<void*> planes;
  for (auto& p : silence) planes.push_back(p.data());
  return av_audio_fifo_write(m_fifo, planes.data(), n) < n ? E_OUTOFMEMORY : S_OK;
}

HRESULT CWMAsfWriter::SilenceUpTo(int64_t ms, std::vector<AvPacketPtr>& packets) {
  // Bounded work per picture: a jump in the picture's times of more than
  // kMaxLead is a broken time, and gets no more silence than that.
  const int64_t rate = m_profile.sampleRate;
  const int64_t queued = m_audioPts + av_audio_fifo_size(m_fifo);
  int64_t left = std::min(av_rescale(ms, rate, 1000) - queued, av_rescale(StreamTime::kMaxLead, rate, UNITS));
  while (left > 0) {
    const int64_t n = std::min(left, rate);  // a second at a time
    if (HRESULT hr = WriteSilence(n); FAILED(hr)) return hr;
    if (HRESULT hr = FlushAudio(false, packets); FAILED(hr)) return hr;
    left -= n;
  }
  return S_OK;
}

HRESULT CWMAsfWriter::FlushAudio(bool last, std::vector<AvPacketPtr>& packets) {
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
    if (HRESULT hr = Encode(m_audio.get(), m_audioStream, m_audioBase, f, packets); FAILED(hr)) return hr;
  }
  return S_OK;
}

void CWMAsfWriter::PictureTaken(bool timed, REFERENCE_TIME start, REFERENCE_TIME stop) {
  const REFERENCE_TIME end = m_pictureEnd.load();
  REFERENCE_TIME next = AddRefTimes(end, m_frameTime);
  if (timed) next = std::max(end, stop > start ? stop : AddRefTimes(start, m_frameTime));
  m_pictureEnd = next;
}

HRESULT CWMAsfWriter::EncodeSound(const CMediaType& type, const BYTE* data, size_t length, bool timed,
                                  bool discontinuity, REFERENCE_TIME start, std::vector<AvPacketPtr>& packets) {
  if (!m_audio || !m_swr) return S_OK;
  const WAVEFORMATEX* wfx = AudioWaveFormat(type);
  if (!wfx || wfx->nBlockAlign == 0) return S_OK;
  const int frames = static_cast<int>(std::min<size_t>(length / wfx->nBlockAlign, std::numeric_limits<int>::max()));
  if (frames == 0) return S_OK;
  if (m_audioStartPending && timed) {
    // The picture keeps the source's times; the sound starts on the same
    // clock.
    const CSoundClock::Step lead = CSoundClock::Lead(start);
    if (lead.fill > 0 && FAILED(WriteSilence(av_rescale(lead.fill, m_profile.sampleRate, UNITS)))) return E_OUTOFMEMORY;
    if (lead.cut > 0) m_audioSkip = av_rescale(lead.cut, m_profile.sampleRate, UNITS);
  }
  m_audioStartPending = false;
  // After a break the sound goes on at its own time. The pictures taken in
  // so far stand for those encoded: the sound runs ahead of the picture's
  // encoding by no more than its queue.
  const CSoundClock::Step step =
      m_soundClock.Follow(timed, discontinuity, start, frames, wfx->nSamplesPerSec, m_pictureEnd.load());
  if (step.fill > 0) {
    if (HRESULT hr = ResampleSilence(*wfx, av_rescale(step.fill, wfx->nSamplesPerSec, UNITS), packets); FAILED(hr))
      return hr;
  } else if (step.cut > 0) {
    m_audioSkip += av_rescale(step.cut, m_profile.sampleRate, UNITS);
  }
  return Resample(data, frames, packets);
}

HRESULT CWMAsfWriter::ResampleSilence(const WAVEFORMATEX& wfx, int64_t frames, std::vector<AvPacketPtr>& packets) {
  // Through the resampler, behind what it still holds of the sound before,
  // a second at a time.
  const int block = static_cast<int>(wfx.nSamplesPerSec);
  if (m_silence.size() < static_cast<size_t>(block) * wfx.nBlockAlign)
    m_silence.assign(static_cast<size_t>(block) * wfx.nBlockAlign, 0);
  for (int64_t left = frames; left > 0; left -= block)
    if (HRESULT hr = Resample(m_silence.data(), static_cast<int>(std::min<int64_t>(left, block)), packets); FAILED(hr))
      return hr;
  return S_OK;
}

HRESULT CWMAsfWriter::Resample(const BYTE* data, int frames, std::vector<AvPacketPtr>& packets) {
  const int room = std::max(swr_get_out_samples(m_swr.get(), frames), 1);
  m_resampled.resize(static_cast<size_t>(m_profile.channels));
  std::vector<uint8_t*> out;
  for (auto& p : m_resampled) {
    if (p.size() < static_cast<size_t>(room)) p.resize(static_cast<size_t>(room));
    out.push_back(reinterpret_cast<uint8_t*>(p.data()));
  }
  const uint8_t* in = data;
  const int got = swr_convert(m_swr.get(), out.data(), room, &in, frames);
  if (got < 0) return E_FAIL;
  const int cut = static_cast<int>(std::min<int64_t>(m_audioSkip, got));
  m_audioSkip -= cut;
  if (cut > 0)
    for (auto& p : out) p += static_cast<size_t>(cut) * sizeof(float);
  if (got > cut && av_audio_fifo_write(m_fifo, reinterpret_cast<void**>(out.data()), got - cut) < got - cut)
    return E_OUTOFMEMORY;
  return FlushAudio(false, packets);
}

HRESULT CWMAsfWriter::FinishSound(std::vector<AvPacketPtr>& packets) {
  if (!m_audio || !m_fifo) return S_OK;
  const int room = m_swr ? swr_get_out_samples(m_swr.get(), 0) : 0;
  if (room > 0) {
    std::vector<std::vector<float>> planes(static_cast<size_t>(m_profile.channels),
                                           std::vector<float>(static_cast<size_t>(room)));
    std::vector<uint8_t*> out;
    for (auto& p : planes) out.push_back(reinterpret_cast<uint8_t*>(p.data()));
    const int got = swr_convert(m_swr.get(), out.data(), room, nullptr, 0);
    if (got > 0) av_audio_fifo_write(m_fifo, reinterpret_cast<void**>(out.data()), got);
  }
  HRESULT hr = FlushAudio(true, packets);
  if (SUCCEEDED(hr)) hr = Encode(m_audio.get(), m_audioStream, m_audioBase, nullptr, packets);
  return hr;
}

// ---------------------------------------------------------------------------
// The run (worker thread)

HRESULT CWMAsfWriter::Encode(AVCodecContext* ctx, int stream, AVRational streamBase, const AVFrame* frame,
                             std::vector<AvPacketPtr>& packets) {
  const bool video = ctx == m_video.get();
  AVPacket* packet = video ? m_videoPacket.get() : m_audioPacket.get();
  if (avcodec_send_frame(ctx, frame) < 0) return E_FAIL;
  for (;;) {
    const int err = avcodec_receive_packet(ctx, packet);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return S_OK;
    if (err < 0) return E_FAIL;
    packet->stream_index = stream;
    if (video && !m_videoTimes.empty()) {
      packet->pts = packet->dts = av_rescale_q(m_videoTimes.front(), AVRational{1, 1000}, streamBase);
      m_videoTimes.pop_front();
    } else {
      av_packet_rescale_ts(packet, ctx->time_base, streamBase);
    }
    AvPacketPtr out(av_packet_alloc());
    if (!out) return E_OUTOFMEMORY;
    av_packet_move_ref(out.get(), packet);
    packets.push_back(std::move(out));
  }
}

HRESULT CWMAsfWriter::Write(std::vector<AvPacketPtr>& packets) {
  HRESULT hr = S_OK;
  for (AvPacketPtr& packet : packets) {
    if (FAILED(hr)) break;
    const bool video = packet->stream_index == m_videoStream;
    const AVRational base = m_fmt->streams[packet->stream_index]->time_base;
    const int64_t ms = av_rescale_q(packet->pts, base, AVRational{1, 1000});
    const int err = av_interleaved_write_frame(m_fmt, packet.get());
    // The muxer refuses a time it cannot hold; anything else is the disk's.
    if (err == AVERROR(EINVAL)) hr = RefuseTime(video ? "video" : "audio", ms);
    else if (err < 0) hr = kWriteFault;
  }
  packets.clear();
  return hr;
}

HRESULT CWMAsfWriter::TakeRecord(QueuedRecord& record) {
  auto& sample = static_cast<AsfSample&>(record);
  if (!m_fmt) return S_OK;
  if (sample.m_bVideo) return m_video && sample.m_picture ? EncodePicture(sample) : S_OK;
  if (FAILED(sample.m_hrSound)) return sample.m_hrSound;
  return Write(sample.m_packets);
}

HRESULT CWMAsfWriter::Finish() {
  // A sound that comes in has been finished by its pin; silence ends here.
  HRESULT hr = m_silentAudio ? FinishSound(m_written) : S_OK;
  if (SUCCEEDED(hr) && m_video && m_videoStream >= 0)
    hr = Encode(m_video.get(), m_videoStream, m_fmt->streams[m_videoStream]->time_base, nullptr, m_written);
  if (SUCCEEDED(hr)) hr = Write(m_written);
  if (FAILED(hr)) return hr;
  HRESULT result = S_OK;
  if (av_write_trailer(m_fmt) < 0) result = kWriteFault;
  m_headerWritten = false;
  // What is still buffered is written on closing: the file is whole only
  // when that succeeds.
  if (m_fmt->pb && (avio_closep(&m_fmt->pb) < 0 || FAILED(result))) result = kWriteFault;
  return result;
}

HRESULT CWMAsfWriter::EndRun(bool everyStreamEnded) {
  // A stop before the end closes what was written, and reports nothing.
  if (!everyStreamEnded || !m_fmt) {
    CloseFile();
    return S_FALSE;
  }
  HRESULT hr = Finish();
  if (FAILED(hr)) return hr;
  CloseFile();
  return S_OK;
}

// ---------------------------------------------------------------------------
// IMediaSeeking: the duration

STDMETHODIMP CWMAsfWriter::GetDuration(LONGLONG* duration) {
  if (!duration) return E_POINTER;
  // The longest upstream stream.
  LONGLONG best = -1;
  CAutoLock lock(this);
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
STDMETHODIMP CWMAsfWriter::GetPositions(LONGLONG* current, LONGLONG* stop) {
  if (current) GetCurrentPosition(current);
  if (stop && FAILED(GetDuration(stop))) *stop = 0;
  return S_OK;
}
