#include "platform/codecs/FfDemux.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/com/ComBase.h"
#include "platform/com/ComPtr.h"
#include "platform/win32/Gdi.h"

template class CStreamTimelineOf<FfPacket>;

// ---------------------------------------------------------------------------
// CFfDemux

// The bytes of an upstream pull pin as libavformat's input.
struct CFfDemux::ReaderIo {
  IAsyncReader* reader = nullptr;  // one reference held
  LONGLONG pos = 0;
  LONGLONG length = 0;

  ~ReaderIo() {
    if (reader) reader->Release();
  }
  static int Read(void* opaque, uint8_t* buf, int size) {
    auto* io = static_cast<ReaderIo*>(opaque);
    const LONGLONG n = std::min<LONGLONG>(size, io->length - io->pos);
    if (n <= 0) return AVERROR_EOF;
    if (FAILED(io->reader->SyncRead(io->pos, static_cast<LONG>(n), buf))) return AVERROR(EIO);
    io->pos += n;
    return static_cast<int>(n);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* io = static_cast<ReaderIo*>(opaque);
    if (whence & AVSEEK_SIZE) return io->length;
    LONGLONG to = offset;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: break;
      case SEEK_CUR: to += io->pos; break;
      case SEEK_END: to += io->length; break;
      default: return AVERROR(EINVAL);
    }
    if (to < 0) return AVERROR(EINVAL);
    io->pos = std::min(to, io->length);
    return io->pos;
  }
};

CFfDemux::~CFfDemux() { Close(); }

void CFfDemux::Close() {
  std::lock_guard lock(m_lock);
  CloseLocked();
}

void CFfDemux::CloseLocked() {
  if (m_fmt) avformat_close_input(&m_fmt);
  if (m_io) {
    av_freep(&m_io->buffer);
    avio_context_free(&m_io);
  }
  m_readerIo.reset();
  m_queues.clear();
  m_wanted.clear();
  m_eof = m_played = false;
}

HRESULT CFfDemux::Finish(AVFormatContext* fmt, int err) {
  if (err < 0) return err == AVERROR(ENOENT) ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : VFW_E_INVALID_FILE_FORMAT;
  if (avformat_find_stream_info(fmt, nullptr) < 0 || fmt->nb_streams == 0) {
    avformat_close_input(&fmt);
    return VFW_E_INVALID_FILE_FORMAT;
  }
  m_fmt = fmt;
  m_queues.resize(fmt->nb_streams);
  m_wanted.assign(fmt->nb_streams, false);
  return S_OK;
}

HRESULT CFfDemux::Open(const std::string& path, const char* format) {
  std::lock_guard lock(m_lock);
  if (m_fmt) return E_UNEXPECTED;
  // Only the named demuxer is tried: anything else is not ours to read.
  const AVInputFormat* input = av_find_input_format(format);
  if (!input) return E_FAIL;
  AVFormatContext* fmt = nullptr;
  const int err = avformat_open_input(&fmt, path.c_str(), input, nullptr);
  return Finish(fmt, err);
}

HRESULT CFfDemux::Open(IAsyncReader* reader, const char* format) {
  if (!reader) return E_POINTER;
  std::lock_guard lock(m_lock);
  if (m_fmt) return E_UNEXPECTED;
  const AVInputFormat* input = av_find_input_format(format);
  if (!input) return E_FAIL;
  auto io = std::make_unique<ReaderIo>();
  LONGLONG total = 0, available = 0;
  if (FAILED(reader->Length(&total, &available)) || total <= 0) return VFW_E_INVALID_FILE_FORMAT;
  io->length = std::min(total, available);
  io->reader = reader;
  reader->AddRef();

  constexpr int kBuffer = 65536;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
  if (!buffer) return E_OUTOFMEMORY;
  m_io = avio_alloc_context(buffer, kBuffer, 0, io.get(), &ReaderIo::Read, nullptr, &ReaderIo::Seek);
  if (!m_io) {
    av_free(buffer);
    return E_OUTOFMEMORY;
  }
  AVFormatContext* fmt = avformat_alloc_context();
  if (!fmt) {
    CloseLocked();
    return E_OUTOFMEMORY;
  }
  fmt->pb = m_io;
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  m_readerIo = std::move(io);
  const int err = avformat_open_input(&fmt, nullptr, input, nullptr);
  const HRESULT hr = Finish(fmt, err);
  if (FAILED(hr)) CloseLocked();
  return hr;
}

void CFfDemux::SetWanted(int stream, bool wanted) {
  std::lock_guard lock(m_lock);
  if (stream >= 0 && static_cast<size_t>(stream) < m_wanted.size()) m_wanted[static_cast<size_t>(stream)] = wanted;
}

void CFfDemux::Rewind() {
  std::lock_guard lock(m_lock);
  if (!m_fmt) return;
  for (auto& q : m_queues) q.clear();
  // The wanted streams of the run, timed from the file's start.
  m_timeline.Reset(0, Duration());
  m_ready.clear();
  for (unsigned i = 0; i < m_fmt->nb_streams; ++i) {
    CMediaType mt;
    if (m_wanted[i] && StreamType(m_fmt->streams[i], mt)) m_timeline.AddStream(i, mt);
  }
  // A fresh demuxer still holds the packets it read while probing; only a
  // second run, or one after reading ahead, needs to go back.
  if (m_played || m_readAhead) {
    av_seek_frame(m_fmt, -1, 0, AVSEEK_FLAG_BACKWARD);
    avformat_flush(m_fmt);
  }
  m_played = true;
  m_eof = false;
}

FfPacketPtr CFfDemux::Next(int stream) {
  std::lock_guard lock(m_lock);
  if (!m_fmt || stream < 0 || static_cast<size_t>(stream) >= m_queues.size()) return nullptr;
  auto& mine = m_queues[static_cast<size_t>(stream)];
  // Bounded by the file: every packet read is either queued for a pin that
  // plays (the time line holds a bounded number meanwhile) or dropped at
  // once.
  while (mine.empty() && !m_eof) {
    AvPacketPtr p(av_packet_alloc());
    if (!p) return nullptr;
    if (av_read_frame(m_fmt, p.get()) < 0) {
      m_eof = true;
      m_timeline.Flush(m_ready);
      QueueReady();
      break;
    }
    const auto idx = static_cast<size_t>(p->stream_index);
    if (idx < m_queues.size() && m_wanted[idx]) Queue(std::move(p));
  }
  if (mine.empty()) return nullptr;
  FfPacketPtr p = std::move(mine.front());
  mine.pop_front();
  return p;
}

void CFfDemux::Queue(AvPacketPtr av) {
  auto p = std::make_unique<FfPacket>();
  p->TrackNumber = static_cast<DWORD>(av->stream_index);
  const AVRational tb = m_fmt->streams[av->stream_index]->time_base;
  const int64_t ts = av->pts != AV_NOPTS_VALUE ? av->pts : av->dts;
  if (ts != AV_NOPTS_VALUE) {
    p->rtStart = av_rescale_q(ts, tb, kRefTimeBase);
    if (m_fmt->start_time != AV_NOPTS_VALUE) p->rtStart -= av_rescale(m_fmt->start_time, UNITS, AV_TIME_BASE);
    if (av->duration > 0) p->rtStop = p->rtStart + av_rescale_q(av->duration, tb, kRefTimeBase);
  }
  p->av = std::move(av);
  m_timeline.Add(std::move(p), m_ready);
  QueueReady();
}

void CFfDemux::QueueReady() {
  for (FfPacketPtr& p : m_ready)
    if (p->TrackNumber < m_queues.size()) m_queues[p->TrackNumber].push_back(std::move(p));
  m_ready.clear();
}

std::string CFfDemux::TimeNotes() const {
  std::lock_guard lock(m_lock);
  return m_timeline.Notes();
}

void CFfDemux::CTimeline::Note(const std::string& what, const char* units) {
  for (Kind& k : m_notes)
    if (k.what == what) {
      ++k.count;
      return;
    }
  m_notes.push_back({what, units, 1});
}

std::string CFfDemux::CTimeline::Notes() const {
  std::string text;
  for (const Kind& k : m_notes) {
    // "times" of one is "time".
    std::string units = k.units;
    if (k.count == 1 && !units.empty() && units.back() == 's') units.pop_back();
    text += k.what + " (" + std::to_string(k.count) + " " + units + ").\n";
  }
  return text;
}

bool CFfDemux::StreamPictureSize(int stream, int* width, int* height) {
  std::lock_guard lock(m_lock);
  if (!m_fmt || stream < 0 || static_cast<unsigned>(stream) >= m_fmt->nb_streams) return false;
  const AVCodecParameters* par = m_fmt->streams[stream]->codecpar;
  *width = par->width;
  *height = par->height;
  if (!CodecTakesContainerSize(par->codec_id)) return true;
  // The stream's first key packet and a few after it, within the first
  // packets of the file.
  constexpr size_t kPictures = 8;
  std::vector<AvPacketPtr> read;
  m_readAhead = true;
  for (int n = 0; n < 1000 && read.size() < kPictures; ++n) {
    AvPacketPtr p(av_packet_alloc());
    if (!p || av_read_frame(m_fmt, p.get()) < 0) break;
    if (p->stream_index == stream && (!read.empty() || (p->flags & AV_PKT_FLAG_KEY))) read.push_back(std::move(p));
  }
  std::vector<const AVPacket*> packets;
  for (const AvPacketPtr& p : read) packets.push_back(p.get());
  PacketsPictureSize(par, packets, width, height);
  return true;
}

REFERENCE_TIME CFfDemux::Duration() const {
  if (!m_fmt || m_fmt->duration == AV_NOPTS_VALUE || m_fmt->duration < 0) return 0;
  return av_rescale(m_fmt->duration, UNITS, AV_TIME_BASE);
}

bool CFfDemux::StreamType(const AVStream* st, CMediaType& mt) {
  const AVCodecParameters* cp = st->codecpar;
  const size_t extra = cp->extradata && cp->extradata_size > 0 ? static_cast<size_t>(cp->extradata_size) : 0;
  mt.InitMediaType();
  if (cp->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (cp->width <= 0 || cp->height <= 0 || !cp->codec_tag) return false;
    // Pixels the container says are not square: a VideoInfo2 block with
    // the picture's aspect.
    const AVRational sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : cp->sample_aspect_ratio;
    LONG aspectX = 0, aspectY = 0;
    const bool info2 = sar.num > 0 && sar.den > 0 && sar.num != sar.den &&
                       DisplayAspectOf(cp->width, cp->height, sar.num, sar.den, &aspectX, &aspectY);
    const size_t block = info2 ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER);
    BYTE* format = mt.AllocFormatBuffer(static_cast<ULONG>(block + extra));
    if (!format) return false;
    // Both blocks begin alike; the bitmap header ends each.
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(format);
    vih->rcSource = {0, 0, cp->width, cp->height};
    vih->rcTarget = vih->rcSource;
    vih->dwBitRate = static_cast<DWORD>(std::clamp<int64_t>(cp->bit_rate, 0, 0xFFFFFFFF));
    const AVRational fr =
        st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (fr.num > 0 && fr.den > 0 && av_q2d(fr) < 1000) vih->AvgTimePerFrame = av_rescale(UNITS, fr.den, fr.num);
    if (info2) {
      auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(format);
      vih2->dwPictAspectRatioX = static_cast<DWORD>(aspectX);
      vih2->dwPictAspectRatioY = static_cast<DWORD>(aspectY);
    }
    BITMAPINFOHEADER& bih = *reinterpret_cast<BITMAPINFOHEADER*>(format + block - sizeof(BITMAPINFOHEADER));
    bih.biSize = static_cast<DWORD>(sizeof(BITMAPINFOHEADER) + extra);
    bih.biWidth = cp->width;
    bih.biHeight = cp->height;
    bih.biPlanes = 1;
    bih.biBitCount = static_cast<WORD>(cp->bits_per_coded_sample > 0 ? cp->bits_per_coded_sample : 24);
    bih.biCompression = cp->codec_tag;
    bih.biSizeImage = static_cast<DWORD>(cp->width * cp->height * 3);
    if (extra) std::memcpy(format + block, cp->extradata, extra);
    mt.SetType(&MEDIATYPE_Video);
    const GUID sub = FourCCGuid(cp->codec_tag);
    mt.SetSubtype(&sub);
    mt.SetFormatType(info2 ? &FORMAT_VideoInfo2 : &FORMAT_VideoInfo);
    mt.SetTemporalCompression(TRUE);
    mt.SetVariableSize();
    return true;
  }
  if (cp->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (cp->sample_rate <= 0 || cp->ch_layout.nb_channels <= 0 || !cp->codec_tag || cp->codec_tag > 0xFFFF ||
        extra > 0xFFFF)
      return false;
    auto* wfx =
        reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + extra)));
    if (!wfx) return false;
    wfx->wFormatTag = static_cast<WORD>(cp->codec_tag);
    wfx->nChannels = static_cast<WORD>(cp->ch_layout.nb_channels);
    wfx->nSamplesPerSec = static_cast<DWORD>(cp->sample_rate);
    wfx->nAvgBytesPerSec = static_cast<DWORD>(std::clamp<int64_t>(cp->bit_rate / 8, 0, 0xFFFFFFFF));
    wfx->nBlockAlign = static_cast<WORD>(cp->block_align);
    wfx->wBitsPerSample = static_cast<WORD>(cp->bits_per_coded_sample > 0 ? cp->bits_per_coded_sample : 16);
    wfx->cbSize = static_cast<WORD>(extra);
    if (extra) std::memcpy(reinterpret_cast<BYTE*>(wfx) + sizeof(WAVEFORMATEX), cp->extradata, extra);
    mt.SetType(&MEDIATYPE_Audio);
    const GUID sub = cp->codec_tag == WAVE_FORMAT_EXTENSIBLE ? MEDIASUBTYPE_PCM : FourCCGuid(cp->codec_tag);
    mt.SetSubtype(&sub);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetSampleSize(wfx->nBlockAlign ? wfx->nBlockAlign : 1);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// CFfDemuxPin

CFfDemuxPin::CFfDemuxPin(HRESULT* phr, CFfDemuxSource* filter, LPCWSTR name, int stream, const CMediaType& mt)
    : CSourceStream("demux output", phr, filter, name),
      CMediaTimeSeeking(AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetStopPos),
      m_owner(filter),
      m_stream(stream),
      m_type(mt) {
  const AVStream* st = filter->Demux().Context()->streams[stream];
  // Room for the largest packet a stream of this rate is likely to carry;
  // bigger packets go out over several samples.
  const int64_t rate = st->codecpar->bit_rate > 0 ? st->codecpar->bit_rate : 8000000;
  m_bufferSize = static_cast<long>(std::clamp<int64_t>(rate / 8, 256 * 1024, 8 * 1024 * 1024));
  if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
    m_bufferSize = std::max<long>(
        m_bufferSize,
        static_cast<long>(std::min<int64_t>(32 * 1024 * 1024, 3LL * st->codecpar->width * st->codecpar->height)));
}

HRESULT CFfDemuxPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
  return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CFfDemuxPin::GetMediaType(CMediaType* pmt) {
  *pmt = m_type;
  return S_OK;
}

HRESULT CFfDemuxPin::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES want = *request, got{};
  want.cBuffers = std::max<long>(want.cBuffers, 8);
  want.cbBuffer = std::max<long>(want.cbBuffer, m_bufferSize);
  want.cbAlign = std::max<long>(want.cbAlign, 1);
  HRESULT hr = alloc->SetProperties(&want, &got);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CFfDemuxPin::OnThreadStartPlay() {
  m_first = true;
  m_rest.reset();
  return DeliverNewSegment(0, m_owner->Demux().Duration(), 1.0);
}

HRESULT CFfDemuxPin::FillBuffer(IMediaSample* sample) {
  BYTE* dst = nullptr;
  sample->GetPointer(&dst);
  const long room = sample->GetSize();
  if (m_rest) {
    const AVPacket* av = m_rest->av.get();
    const long n = std::min<long>(av->size - m_restOffset, room);
    std::memcpy(dst, av->data + m_restOffset, static_cast<size_t>(n));
    sample->SetActualDataLength(n);
    sample->SetSyncPoint(FALSE);
    m_restOffset += static_cast<int>(n);
    if (m_restOffset >= av->size) m_rest.reset();
    return S_OK;
  }
  FfPacketPtr p = m_owner->Demux().Next(m_stream);
  if (!p) return S_FALSE;
  const AVPacket* av = p->av.get();
  const long n = std::min<long>(av->size, room);
  std::memcpy(dst, av->data, static_cast<size_t>(n));
  sample->SetActualDataLength(n);
  // The times the time line handed the packet on with.
  if (p->rtStart != INT64_MIN) {
    REFERENCE_TIME start = p->rtStart;
    REFERENCE_TIME stop = p->rtStop != INT64_MIN ? p->rtStop : start + 1;
    sample->SetTime(&start, &stop);
  }
  sample->SetSyncPoint((av->flags & AV_PKT_FLAG_KEY) != 0);
  sample->SetDiscontinuity(m_first || p->bDiscontinuity);
  m_first = false;
  if (n < av->size) {
    m_rest = std::move(p);
    m_restOffset = static_cast<int>(n);
  }
  return S_OK;
}

STDMETHODIMP CFfDemuxPin::GetDuration(LONGLONG* d) {
  if (!d) return E_POINTER;
  *d = m_owner->Demux().Duration();
  return S_OK;
}
STDMETHODIMP CFfDemuxPin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
  // Playing always starts at the beginning; asking for it is fine.
  if ((currentFlags & AM_SEEKING_PositioningBitsMask) == AM_SEEKING_NoPositioning) return S_OK;
  if ((currentFlags & AM_SEEKING_PositioningBitsMask) == AM_SEEKING_AbsolutePositioning && current && *current == 0)
    return S_OK;
  return E_NOTIMPL;
}
STDMETHODIMP CFfDemuxPin::GetPositions(LONGLONG* current, LONGLONG* stop) {
  if (current) *current = 0;
  if (stop) *stop = m_owner->Demux().Duration();
  return S_OK;
}
STDMETHODIMP CFfDemuxPin::SetRate(double rate) { return rate == 1.0 ? S_OK : E_NOTIMPL; }
STDMETHODIMP CFfDemuxPin::GetRate(double* rate) {
  if (!rate) return E_POINTER;
  *rate = 1.0;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CFfDemuxSource

CFfDemuxSource::CFfDemuxSource(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid) : CSource(name, outer, clsid) {}

CFfDemuxSource::~CFfDemuxSource() {
  // The pins read the demuxer: they go before it does.
  while (!m_paStreams.empty()) delete m_paStreams.back();
  m_retired.clear();
}

STDMETHODIMP CFfDemuxSource::Pause() {
  {
    CAutoLock lock(&m_cStateLock);
    if (m_State == State_Stopped) {
      for (CSourceStream* s : m_paStreams) {
        auto* pin = static_cast<CFfDemuxPin*>(s);
        m_demux.SetWanted(pin->Stream(), pin->IsConnected());
      }
      m_demux.Rewind();
    }
  }
  return CSource::Pause();
}

HRESULT STDMETHODCALLTYPE CFfDemuxSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  return CSource::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CFfDemuxSource::CreatePins(const wchar_t* videoPrefix, const wchar_t* audioPrefix) {
  AVFormatContext* fmt = m_demux.Context();
  if (!fmt) return E_UNEXPECTED;
  int video = 0, audio = 0;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    CMediaType mt;
    if (!CFfDemux::StreamType(fmt->streams[i], mt)) continue;
    const bool isVideo = mt.majortype == MEDIATYPE_Video;
    int width = 0, height = 0;
    if (isVideo && m_demux.StreamPictureSize(static_cast<int>(i), &width, &height)) {
      BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
      if (bih->biWidth != width || bih->biHeight != height) {
        m_strNote += PictureSizeNote(width, height, bih->biWidth, bih->biHeight);
        // The pixels keep their shape.
        LONG ax = 0, ay = 0;
        VideoDisplayAspect(mt, &ax, &ay);
        const int64_t pixelX = int64_t{ax} * bih->biHeight, pixelY = int64_t{ay} * bih->biWidth;
        // The rectangles begin both kinds of block.
        auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
        vih->rcSource = {0, 0, width, height};
        vih->rcTarget = vih->rcSource;
        bih->biWidth = width;
        bih->biHeight = height;
        bih->biSizeImage = static_cast<DWORD>(width * height * 3);
        if (DisplayAspectOf(width, height, pixelX, pixelY, &ax, &ay)) SetVideoDisplayAspect(mt, ax, ay);
      }
    }
    const std::wstring name = (isVideo ? videoPrefix : audioPrefix) + std::to_wstring(isVideo ? video++ : audio++);
    HRESULT phr = S_OK;
    new CFfDemuxPin(&phr, this, name.c_str(), static_cast<int>(i), mt);  // owned by the filter's pin list
    if (FAILED(phr)) return phr;
  }
  return m_paStreams.empty() ? VFW_E_INVALID_FILE_FORMAT : S_OK;
}

void CFfDemuxSource::RetirePins() {
  CAutoLock lock(&m_cStateLock);
  while (!m_paStreams.empty()) {
    auto* pin = static_cast<CFfDemuxPin*>(m_paStreams.back());
    if (CComPtr<IPin> peer = pin->GetConnected()) {
      peer->Disconnect();
      pin->Disconnect();
    }
    RemovePin(pin);
    m_retired.emplace_back(pin);
  }
}
