#include "splitters/roq/RoQAudioDecoder.h"

#include <algorithm>
#include <cstring>

#include "splitters/roq/RoQSplitter.h"
#include "splitters/roq/RoQTransform.h"

bool DecodeRoQDpcm(const BYTE* data, size_t count, WORD arg, int channels, BYTE* out) {
  if (channels != 1 && channels != 2) return false;
  // Predictors wrap around at 16 bits.
  uint16_t predictor[2];
  if (channels == 1) {
    predictor[0] = arg;
  } else {
    predictor[0] = static_cast<uint16_t>(static_cast<signed char>(arg >> 8) * 256);
    predictor[1] = static_cast<uint16_t>(static_cast<signed char>(arg & 0xFF) * 256);
  }
  for (size_t i = 0; i < count; i++) {
    const BYTE b = data[i];
    const int step = (b & 0x7F) * (b & 0x7F);
    uint16_t& p = predictor[channels == 2 ? i & 1 : 0];
    p = static_cast<uint16_t>(b & 0x80 ? p - step : p + step);
    out[2 * i] = static_cast<BYTE>(p);
    out[2 * i + 1] = static_cast<BYTE>(p >> 8);
  }
  return true;
}

namespace {

// The wave format of a type, or null when the block cannot hold one.
const WAVEFORMATEX* WaveFormat(const AM_MEDIA_TYPE& mt) {
  if (mt.formattype != FORMAT_WaveFormatEx || !mt.pbFormat || mt.cbFormat < sizeof(WAVEFORMATEX)) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
}

}  // namespace

CRoQAudioDecoder::CRoQAudioDecoder(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter(NAME("CRoQAudioDecoder"), outer, CLSID_RoQAudioDecoder) {
  if (phr) *phr = S_OK;
}

CRoQAudioDecoder::~CRoQAudioDecoder() = default;

HRESULT CRoQAudioDecoder::CheckInputType(const CMediaType* in) {
  CheckPointer(in, E_POINTER);
  return in->majortype == MEDIATYPE_Audio && in->subtype == FourCCGuid(MAKEFOURCC('R', 'o', 'Q', 'A')) &&
                 WaveFormat(*in)
             ? S_OK
             : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CRoQAudioDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  return SUCCEEDED(CheckInputType(in)) && out->majortype == MEDIATYPE_Audio && out->subtype == MEDIASUBTYPE_PCM
             ? S_OK
             : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CRoQAudioDecoder::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  *pmt = m_pInput->CurrentMediaType();
  pmt->subtype = MEDIASUBTYPE_PCM;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(pmt->ReallocFormatBuffer(sizeof(WAVEFORMATEX)));
  if (!wfe) return E_OUTOFMEMORY;
  wfe->wFormatTag = WAVE_FORMAT_PCM;
  wfe->nBlockAlign = static_cast<WORD>(wfe->wBitsPerSample * wfe->nChannels / 8);
  wfe->nAvgBytesPerSec = wfe->nBlockAlign * wfe->nSamplesPerSec;
  wfe->cbSize = 0;
  return S_OK;
}

HRESULT CRoQAudioDecoder::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  const WAVEFORMATEX* wfe = WaveFormat(m_pInput->CurrentMediaType());
  if (!wfe) return E_UNEXPECTED;
  // One second per buffer.
  const LONGLONG bytes = static_cast<LONGLONG>(wfe->wBitsPerSample) * wfe->nChannels * wfe->nSamplesPerSec / 8;
  return roq::SetBuffers(alloc, request, 8, bytes);
}

HRESULT CRoQAudioDecoder::Transform(IMediaSample* in, IMediaSample* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  roq::TakeOutputType(m_pOutput, out);

  BYTE* src = nullptr;
  BYTE* dst = nullptr;
  const LONG length = in->GetActualDataLength();
  REFERENCE_TIME start = 0, stop = 0;
  // Nothing is decoded from an empty, preroll or early sample, and an
  // output buffer that holds nothing is not delivered.
  if (FAILED(in->GetPointer(&src)) || !src || length <= 8 || in->IsPreroll() == S_OK ||
      (SUCCEEDED(in->GetTime(&start, &stop)) && start < 0))
    return S_FALSE;
  const WAVEFORMATEX* wfe = WaveFormat(m_pInput->CurrentMediaType());
  if (!wfe || FAILED(out->GetPointer(&dst)) || !dst) return E_UNEXPECTED;

  const RoQChunkHeader h = RoQChunkHeader::Parse(src);
  // One sample per byte, as many as the output buffer holds.
  const size_t count = std::min<size_t>(static_cast<size_t>(length) - 8, static_cast<size_t>(out->GetSize()) / 2);
  if (!DecodeRoQDpcm(src + 8, count, h.arg, wfe->nChannels, dst)) return E_UNEXPECTED;
  return out->SetActualDataLength(static_cast<LONG>(count * 2));
}
