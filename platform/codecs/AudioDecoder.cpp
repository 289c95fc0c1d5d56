#include "platform/codecs/AudioDecoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

struct AudioCodecEntry {
  GUID subtype;
  AVCodecID codec;
};

constexpr DWORD Fcc(const char (&s)[5]) {
  return static_cast<DWORD>(static_cast<BYTE>(s[0])) | (static_cast<DWORD>(static_cast<BYTE>(s[1])) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(s[2])) << 16) | (static_cast<DWORD>(static_cast<BYTE>(s[3])) << 24);
}

const std::vector<AudioCodecEntry>& Table() {
  static const std::vector<AudioCodecEntry> table = {
      {FourCCGuid(0x0160), AV_CODEC_ID_WMAV1},        {FourCCGuid(0x0161), AV_CODEC_ID_WMAV2},
      {FourCCGuid(0x0162), AV_CODEC_ID_WMAPRO},       {FourCCGuid(0x0163), AV_CODEC_ID_WMALOSSLESS},
      {FourCCGuid(0x0002), AV_CODEC_ID_ADPCM_MS},     {FourCCGuid(0x0011), AV_CODEC_ID_ADPCM_IMA_WAV},
      {FourCCGuid(0x0031), AV_CODEC_ID_GSM_MS},       {FourCCGuid(0x0006), AV_CODEC_ID_PCM_ALAW},
      {FourCCGuid(0x0007), AV_CODEC_ID_PCM_MULAW},    {FourCCGuid(0x0057), AV_CODEC_ID_AMR_NB},
      {FourCCGuid(0x0058), AV_CODEC_ID_AMR_WB},       {FourCCGuid(Fcc("samr")), AV_CODEC_ID_AMR_NB},
      {FourCCGuid(Fcc("sawb")), AV_CODEC_ID_AMR_WB},  {FourCCGuid(Fcc("twos")), AV_CODEC_ID_PCM_S16BE},
      {FourCCGuid(Fcc("sowt")), AV_CODEC_ID_PCM_S16LE}, {FourCCGuid(Fcc("in24")), AV_CODEC_ID_PCM_S24BE},
      {FourCCGuid(Fcc("in32")), AV_CODEC_ID_PCM_S32BE}, {FourCCGuid(Fcc("fl32")), AV_CODEC_ID_PCM_F32BE},
      {FourCCGuid(Fcc("fl64")), AV_CODEC_ID_PCM_F64BE}, {FourCCGuid(Fcc("ima4")), AV_CODEC_ID_ADPCM_IMA_QT},
      {FourCCGuid(Fcc("alac")), AV_CODEC_ID_ALAC},
      {FourCCGuid(Fcc("ac-3")), AV_CODEC_ID_AC3},       {FourCCGuid(Fcc("14_4")), AV_CODEC_ID_RA_144},
      {FourCCGuid(Fcc("lpcJ")), AV_CODEC_ID_RA_144},
  };
  return table;
}

// The codec of an input type: the table's, refined by the type's format.
AVCodecID CodecOfType(const CMediaType& in) {
  // QuickTime's signed bytes come under either code of 16-bit sound.
  const WAVEFORMATEX* wfx = AudioWaveFormat(in);
  if (wfx && wfx->wBitsPerSample == 8 && (in.subtype == FourCCGuid(Fcc("twos")) || in.subtype == FourCCGuid(Fcc("sowt"))))
    return AV_CODEC_ID_PCM_S8;
  return CFfAudioDecoder::CodecFor(in.subtype);
}

}  // namespace

std::vector<GUID> CFfAudioDecoder::Subtypes() {
  std::vector<GUID> out;
  for (const auto& e : Table()) out.push_back(e.subtype);
  return out;
}

AVCodecID CFfAudioDecoder::CodecFor(const GUID& subtype) {
  for (const auto& e : Table())
    if (e.subtype == subtype) return e.codec;
  return AV_CODEC_ID_NONE;
}

CFfAudioDecoder::CFfAudioDecoder(LPUNKNOWN outer) : CTransformFilter("Audio Decoder", outer, CLSID_FfAudioDecoder) {}

HRESULT CFfAudioDecoder::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CFfAudioDecoder(outer);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

HRESULT CFfAudioDecoder::CheckInputType(const CMediaType* in) {
  if (!in || in->majortype != MEDIATYPE_Audio) return VFW_E_TYPE_NOT_ACCEPTED;
  const AVCodecID id = CodecOfType(*in);
  if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) return VFW_E_TYPE_NOT_ACCEPTED;
  const WAVEFORMATEX* wfx = AudioWaveFormat(*in);
  if (!wfx || wfx->nChannels < 1 || wfx->nChannels > 8 || wfx->nSamplesPerSec < 1000 ||
      wfx->nSamplesPerSec > 192000)
    return VFW_E_TYPE_NOT_ACCEPTED;
  if (in->cbFormat >= sizeof(WAVEFORMATEX) && wfx->cbSize > in->cbFormat - sizeof(WAVEFORMATEX))
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CFfAudioDecoder::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  const WAVEFORMATEX* wfx = AudioWaveFormat(m_pInput->CurrentMediaType());
  if (!wfx) return E_UNEXPECTED;
  return MakePcm16Type(pmt, static_cast<int>(wfx->nSamplesPerSec), wfx->nChannels);
}

HRESULT CFfAudioDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (FAILED(CheckInputType(in)) || !out || out->subtype != MEDIASUBTYPE_PCM) return VFW_E_TYPE_NOT_ACCEPTED;
  const WAVEFORMATEX* a = AudioWaveFormat(*in);
  const WAVEFORMATEX* b = AudioWaveFormat(*out);
  if (!b || b->wFormatTag != WAVE_FORMAT_PCM || b->wBitsPerSample != 16 || b->nChannels != a->nChannels ||
      b->nSamplesPerSec != a->nSamplesPerSec)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CFfAudioDecoder::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  const WAVEFORMATEX* wfx = AudioWaveFormat(m_pOutput->CurrentMediaType());
  if (!wfx) return E_UNEXPECTED;
  ALLOCATOR_PROPERTIES want = *request, got{};
  want.cBuffers = std::max<long>(want.cBuffers, 8);
  want.cbBuffer = std::max<long>(want.cbBuffer, static_cast<long>(wfx->nAvgBytesPerSec / 4 + wfx->nBlockAlign));
  want.cbAlign = std::max<long>(want.cbAlign, 1);
  HRESULT hr = alloc->SetProperties(&want, &got);
  if (FAILED(hr)) return hr;
  return got.cbBuffer >= wfx->nBlockAlign ? S_OK : E_FAIL;
}

HRESULT CFfAudioDecoder::StartStreaming() {
  const CMediaType& in = m_pInput->CurrentMediaType();
  const WAVEFORMATEX* wfx = AudioWaveFormat(in);
  const AVCodecID id = CodecOfType(in);
  const AVCodec* codec = avcodec_find_decoder(id);
  if (!wfx || !codec) return VFW_E_TYPE_NOT_ACCEPTED;
  m_ctx.reset(avcodec_alloc_context3(codec));
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_ctx || !m_frame || !m_packet) return E_OUTOFMEMORY;
  m_ctx->sample_rate = static_cast<int>(wfx->nSamplesPerSec);
  av_channel_layout_default(&m_ctx->ch_layout, wfx->nChannels);
  m_ctx->block_align = wfx->nBlockAlign;
  m_ctx->bit_rate = static_cast<int64_t>(wfx->nAvgBytesPerSec) * 8;
  m_ctx->bits_per_coded_sample = wfx->wBitsPerSample;
  m_ctx->pkt_timebase = kRefTimeBase;
  std::vector<BYTE> extra;
  if (wfx->cbSize > 0 && in.cbFormat >= sizeof(WAVEFORMATEX) + wfx->cbSize)
    extra.assign(in.pbFormat + sizeof(WAVEFORMATEX), in.pbFormat + sizeof(WAVEFORMATEX) + wfx->cbSize);
  // From an MP4 sample entry, ALAC takes its whole 'alac' atom (extra data
  // that is that atom alone stays); PCM and AC-3 take nothing.
  std::vector<BYTE> config;
  if (IsFourCCGuid(in.subtype) &&
      SampleEntryChild(extra.data(), extra.size(), in.subtype.Data1, true, 0x616C6163 /* alac */, true, &config)) {
    if (id != AV_CODEC_ID_ALAC) extra.clear();
    else if (!config.empty()) extra = config;
  }
  if (!extra.empty()) {
    m_ctx->extradata = static_cast<uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!m_ctx->extradata) return E_OUTOFMEMORY;
    std::memcpy(m_ctx->extradata, extra.data(), extra.size());
    m_ctx->extradata_size = static_cast<int>(extra.size());
  }
  if (avcodec_open2(m_ctx.get(), codec, nullptr) < 0) {
    m_ctx.reset();
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  m_rate = static_cast<int>(wfx->nSamplesPerSec);
  m_channels = wfx->nChannels;
  m_swr.reset();
  m_swrFormat = -1;
  m_haveTime = m_syncPending = m_discontinuity = false;
  m_nextTime = 0;
  m_follower.Reset();
  m_lastFrameTime = AV_NOPTS_VALUE;
  m_dropped = 0;
  return S_OK;
}

HRESULT CFfAudioDecoder::StopStreaming() {
  m_ctx.reset();
  m_frame.reset();
  m_packet.reset();
  m_swr.reset();
  return S_OK;
}

HRESULT CFfAudioDecoder::DeliverBytes(const BYTE* data, size_t bytes) {
  const size_t frameBytes = 2u * static_cast<size_t>(m_channels);
  while (bytes >= frameBytes) {
    IMediaSample* raw = nullptr;
    HRESULT hr = m_pOutput->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    SamplePtr out(raw);
    BYTE* dst = nullptr;
    out->GetPointer(&dst);
    const size_t n = std::min(bytes, static_cast<size_t>(out->GetSize()) / frameBytes * frameBytes);
    if (n == 0) return E_FAIL;
    std::memcpy(dst, data, n);
    out->SetActualDataLength(static_cast<long>(n));
    REFERENCE_TIME start = m_nextTime;
    REFERENCE_TIME stop = start + static_cast<REFERENCE_TIME>(n / frameBytes) * UNITS / m_rate;
    out->SetTime(&start, &stop);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(m_discontinuity ? TRUE : FALSE);
    m_discontinuity = false;
    m_nextTime = stop;
    hr = m_pOutput->Deliver(out.get());
    if (hr != S_OK) return hr;
    data += n;
    bytes -= n;
  }
  return S_OK;
}

HRESULT CFfAudioDecoder::DeliverFrame(const AVFrame* frame) {
  if (frame->nb_samples <= 0) return S_OK;
  const int inRate = frame->sample_rate > 0 ? frame->sample_rate : m_rate;
  const int inChannels = frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : m_channels;
  if (!m_swr || inRate != m_swrRate || inChannels != m_swrChannels || frame->format != m_swrFormat) {
    AVChannelLayout inLayout, outLayout;
    if (frame->ch_layout.nb_channels > 0 && frame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_copy(&inLayout, &frame->ch_layout);
    else
      av_channel_layout_default(&inLayout, inChannels);
    av_channel_layout_default(&outLayout, m_channels);
    SwrContext* s = nullptr;
    int err = swr_alloc_set_opts2(&s, &outLayout, AV_SAMPLE_FMT_S16, m_rate, &inLayout,
                                  static_cast<AVSampleFormat>(frame->format), inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    m_swr.reset(s);
    if (err < 0 || !s || swr_init(s) < 0) return E_FAIL;
    m_swrRate = inRate;
    m_swrChannels = inChannels;
    m_swrFormat = frame->format;
  }
  const int room = swr_get_out_samples(m_swr.get(), frame->nb_samples);
  if (room <= 0) return S_OK;
  m_pcm.resize(static_cast<size_t>(room) * 2 * m_channels);
  uint8_t* dst = m_pcm.data();
  const int got = swr_convert(m_swr.get(), &dst, room, const_cast<const uint8_t**>(frame->extended_data),
                              frame->nb_samples);
  if (got < 0) return E_FAIL;
  return DeliverBytes(m_pcm.data(), static_cast<size_t>(got) * 2 * m_channels);
}

HRESULT CFfAudioDecoder::Decode(const AVPacket* packet) {
  int err = avcodec_send_packet(m_ctx.get(), packet);
  if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
    ++m_dropped;
    return S_OK;
  }
  for (;;) {
    err = avcodec_receive_frame(m_ctx.get(), m_frame.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return S_OK;
    if (err < 0) {
      ++m_dropped;
      return S_OK;
    }
    // A decoder that takes packets before it gives sound (WMA eats its
    // first two) would put all the sound early if the clock ran from the
    // first packet's time: the first frame's own time anchors it (the
    // packet's when the frame has none).
    const int64_t t = m_frame->best_effort_timestamp;
    if (m_syncPending) {
      m_nextTime = t != AV_NOPTS_VALUE ? t : m_syncTime;
      m_syncPending = false;
      m_discontinuity = true;
    } else if (t != AV_NOPTS_VALUE && t != m_lastFrameTime && m_frame->nb_samples > 0) {
      // (A time that does not move, as some writers stamp every packet with
      // the first one's, says nothing of where the sound goes on.)
      // Sound missing from the stream (a hole in its times, packets the
      // decoder could not take) or given twice: the sound goes on where its
      // time says.
      const int rate = m_frame->sample_rate > 0 ? m_frame->sample_rate : m_rate;
      m_follower.Took(static_cast<REFERENCE_TIME>(m_frame->nb_samples) * UNITS / std::max(rate, 1));
      if (m_follower.Strays(t, m_nextTime)) {
        m_nextTime = t;
        m_discontinuity = true;
      }
    }
    if (t != AV_NOPTS_VALUE) m_lastFrameTime = t;
    HRESULT hr = DeliverFrame(m_frame.get());
    av_frame_unref(m_frame.get());
    if (hr != S_OK) return hr;
  }
}

HRESULT CFfAudioDecoder::Receive(IMediaSample* sample) {
  if (!m_ctx) return VFW_E_WRONG_STATE;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data))) return E_POINTER;
  const long length = sample->GetActualDataLength();
  if (length <= 0) return S_OK;
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = SUCCEEDED(sample->GetTime(&start, &stop));
  // The first time (and the first after a gap) anchors the output clock,
  // at the first frame decoded from then on; after that the decoded sample
  // count runs it.
  if (timed && (!m_haveTime || (m_pInput->SampleProps()->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY))) {
    m_haveTime = true;
    m_syncPending = true;
    m_syncTime = start;
  }
  av_packet_unref(m_packet.get());
  if (av_new_packet(m_packet.get(), static_cast<int>(length)) < 0) return E_OUTOFMEMORY;
  std::memcpy(m_packet->data, data, static_cast<size_t>(length));
  m_packet->pts = timed ? start : AV_NOPTS_VALUE;
  HRESULT hr = Decode(m_packet.get());
  av_packet_unref(m_packet.get());
  return hr;
}

HRESULT CFfAudioDecoder::EndOfStream() {
  if (m_ctx) {
    Decode(nullptr);
    avcodec_flush_buffers(m_ctx.get());
  }
  return CTransformFilter::EndOfStream();
}

HRESULT CFfAudioDecoder::EndFlush() {
  {
    CAutoLock lock(&m_csReceive);
    if (m_ctx) avcodec_flush_buffers(m_ctx.get());
    m_haveTime = m_syncPending = false;
  }
  return CTransformFilter::EndFlush();
}
