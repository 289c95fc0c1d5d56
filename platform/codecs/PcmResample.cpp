#include "platform/codecs/PcmResample.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "platform/com/ComPtr.h"

CPcmResampleFilter::CPcmResampleFilter(LPUNKNOWN outer)
    : CTransformFilter("PCM Resample", outer, CLSID_ACMWrapper) {}

HRESULT CPcmResampleFilter::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CPcmResampleFilter(outer);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

CPcmResampleFilter::InputFormat CPcmResampleFilter::ReadInputFormat(const CMediaType* mt) {
  InputFormat f;
  if (!mt || mt->majortype != MEDIATYPE_Audio) return f;
  const WAVEFORMATEX* wfx = AudioWaveFormat(*mt);
  if (!wfx) return f;
  WORD tag = wfx->wFormatTag;
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    if (mt->cbFormat < sizeof(WAVEFORMATEXTENSIBLE) || wfx->cbSize < 22) return f;
    const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wfx);
    if (ext->SubFormat == KSDATAFORMAT_SUBTYPE_PCM)
      tag = WAVE_FORMAT_PCM;
    else if (ext->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
      tag = WAVE_FORMAT_IEEE_FLOAT;
    else
      return f;
    // Valid bits narrower than the container are still read whole.
  }
  const int bits = wfx->wBitsPerSample;
  const bool okPcm = tag == WAVE_FORMAT_PCM && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  const bool okFloat = tag == WAVE_FORMAT_IEEE_FLOAT && (bits == 32 || bits == 64);
  if (!okPcm && !okFloat) return f;
  if (wfx->nChannels < 1 || wfx->nChannels > 8 || wfx->nSamplesPerSec == 0 || wfx->nSamplesPerSec > 768000)
    return f;
  if (wfx->nBlockAlign != wfx->nChannels * bits / 8) return f;
  f.bits = bits;
  f.isFloat = okFloat;
  f.channels = wfx->nChannels;
  f.rate = static_cast<int>(wfx->nSamplesPerSec);
  return f;
}

HRESULT CPcmResampleFilter::CheckInputType(const CMediaType* in) {
  return ReadInputFormat(in).bits ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CPcmResampleFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  const InputFormat f = ReadInputFormat(in);
  if (!f.bits || !out || out->majortype != MEDIATYPE_Audio || out->subtype != MEDIASUBTYPE_PCM)
    return VFW_E_TYPE_NOT_ACCEPTED;
  const WAVEFORMATEX* w = AudioWaveFormat(*out);
  if (!w || w->wFormatTag != WAVE_FORMAT_PCM || w->wBitsPerSample != 16 || w->nChannels != f.channels ||
      static_cast<int>(w->nSamplesPerSec) != f.rate || w->nBlockAlign != 2 * f.channels)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CPcmResampleFilter::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  const InputFormat f = ReadInputFormat(&m_pInput->CurrentMediaType());
  if (!f.bits) return E_UNEXPECTED;
  return MakePcm16Type(pmt, f.rate, f.channels);
}

HRESULT CPcmResampleFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
  if (dir == PINDIR_INPUT) m_in = ReadInputFormat(pmt);
  return S_OK;
}

HRESULT CPcmResampleFilter::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  if (!m_in.bits) return E_UNEXPECTED;
  // A quarter second per buffer; larger input samples are split.
  const long frameBytes = 2L * m_in.channels;
  long bytes = std::max<long>(m_in.rate / 4, 1024) * frameBytes;
  ALLOCATOR_PROPERTIES want = *request, got{};
  want.cBuffers = std::max<long>(want.cBuffers, 4);
  want.cbBuffer = std::max<long>(want.cbBuffer, bytes);
  want.cbAlign = std::max<long>(want.cbAlign, 1);
  HRESULT hr = alloc->SetProperties(&want, &got);
  if (FAILED(hr)) return hr;
  return got.cbBuffer >= frameBytes ? S_OK : E_FAIL;
}

HRESULT CPcmResampleFilter::StartStreaming() {
  m_swr.reset();
  if (!m_in.bits) return E_UNEXPECTED;
  if (m_in.bits == 16 && !m_in.isFloat) return S_OK;
  AVSampleFormat fmt = AV_SAMPLE_FMT_S32;
  if (m_in.isFloat)
    fmt = m_in.bits == 64 ? AV_SAMPLE_FMT_DBL : AV_SAMPLE_FMT_FLT;
  else if (m_in.bits == 8)
    fmt = AV_SAMPLE_FMT_U8;
  AVChannelLayout layout;
  av_channel_layout_default(&layout, m_in.channels);
  SwrContext* s = nullptr;
  int err = swr_alloc_set_opts2(&s, &layout, AV_SAMPLE_FMT_S16, m_in.rate, &layout, fmt, m_in.rate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  if (err < 0 || !s) return E_OUTOFMEMORY;
  m_swr.reset(s);
  return swr_init(s) < 0 ? E_FAIL : S_OK;
}

bool CPcmResampleFilter::Convert(const BYTE* in, size_t frames, int16_t* out) {
  if (!m_swr) {
    std::memcpy(out, in, frames * 2 * m_in.channels);
    return true;
  }
  const uint8_t* src = in;
  if (m_in.bits == 24 && !m_in.isFloat) {
    // FFmpeg has no packed 24-bit format: widen to 32 bits first.
    const size_t n = frames * m_in.channels;
    m_unpacked.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const BYTE* p = in + 3 * i;
      m_unpacked[i] = static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                                           (static_cast<uint32_t>(p[2]) << 24));
    }
    src = reinterpret_cast<const uint8_t*>(m_unpacked.data());
  }
  uint8_t* dst = reinterpret_cast<uint8_t*>(out);
  const int got = swr_convert(m_swr.get(), &dst, static_cast<int>(frames), &src, static_cast<int>(frames));
  return got == static_cast<int>(frames);
}

HRESULT CPcmResampleFilter::Receive(IMediaSample* sample) {
  if (!m_in.bits) return E_UNEXPECTED;
  BYTE* in = nullptr;
  if (FAILED(sample->GetPointer(&in))) return E_POINTER;
  const long length = sample->GetActualDataLength();
  const size_t inFrame = static_cast<size_t>(m_in.channels) * m_in.bits / 8;
  // A partial trailing frame cannot be converted; it is dropped.
  const size_t frames = length > 0 ? static_cast<size_t>(length) / inFrame : 0;
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = SUCCEEDED(sample->GetTime(&start, &stop));
  size_t done = 0;
  bool first = true;
  while (done < frames) {
    IMediaSample* out = nullptr;
    HRESULT hr = InitializeOutputSample(sample, &out);
    if (FAILED(hr)) return hr;
    SamplePtr hold(out);
    BYTE* dst = nullptr;
    out->GetPointer(&dst);
    const size_t room = static_cast<size_t>(out->GetSize()) / (2 * m_in.channels);
    if (room == 0) return E_FAIL;
    const size_t n = std::min(room, frames - done);
    if (!Convert(in + done * inFrame, n, reinterpret_cast<int16_t*>(dst))) return E_FAIL;
    out->SetActualDataLength(static_cast<long>(n * 2 * m_in.channels));
    if (timed) {
      REFERENCE_TIME s = start + static_cast<REFERENCE_TIME>(done) * UNITS / m_in.rate;
      REFERENCE_TIME e = start + static_cast<REFERENCE_TIME>(done + n) * UNITS / m_in.rate;
      out->SetTime(&s, &e);
    }
    if (!first) out->SetDiscontinuity(FALSE);
    first = false;
    hr = m_pOutput->Deliver(out);
    if (hr != S_OK) return hr;
    done += n;
  }
  return S_OK;
}
