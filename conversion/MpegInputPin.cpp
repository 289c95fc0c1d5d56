#include "conversion/MpegInputPin.h"

#include <cstddef>

namespace {

bool IsMuxableVideo(const CMediaType* pmt) {
  if (*pmt->Type() != MEDIATYPE_Video) return false;
  const GUID& s = *pmt->Subtype();
  if (s != MEDIASUBTYPE_YV12 && s != MEDIASUBTYPE_I420 && s != MEDIASUBTYPE_IYUV && s != MEDIASUBTYPE_RGB32 &&
      s != MEDIASUBTYPE_RGB24)
    return false;
  // The engine reads the bitmap header out of the format block.
  if (*pmt->FormatType() == FORMAT_VideoInfo) return pmt->Format() && pmt->FormatLength() >= sizeof(VIDEOINFOHEADER);
  if (*pmt->FormatType() == FORMAT_VideoInfo2)
    return pmt->Format() && pmt->FormatLength() >= sizeof(VIDEOINFOHEADER2);
  return false;
}

bool IsPcm16(const CMediaType* pmt) {
  if (*pmt->Type() != MEDIATYPE_Audio || *pmt->Subtype() != MEDIASUBTYPE_PCM) return false;
  if (*pmt->FormatType() != FORMAT_WaveFormatEx || !pmt->Format()) return false;
  // The fields used end with wBitsPerSample (a PCMWAVEFORMAT's 16 bytes).
  if (pmt->FormatLength() < offsetof(WAVEFORMATEX, cbSize)) return false;
  const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->Format());
  return wfx->wFormatTag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16 && wfx->nChannels > 0 &&
         wfx->nSamplesPerSec > 0;
}

}  // namespace

CMpegInputPin::CMpegInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video)
    : CQueuedInputPin(NAME("CMpegInputPin"), filter, lock, phr, name, video) {}

HRESULT CMpegInputPin::CheckMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (m_bVideo) return IsMuxableVideo(pmt) ? S_OK : E_INVALIDARG;
  return IsPcm16(pmt) ? S_OK : E_INVALIDARG;
}

HRESULT CMpegInputPin::MakeRecord(IMediaSample* sample, std::unique_ptr<QueuedRecord>* record) {
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;  // nothing to copy: dropped
  auto rec = std::make_unique<MuxSample>();
  LONG length = sample->GetActualDataLength();
  const LONG size = sample->GetSize();
  if (length < 0) length = 0;
  if (size >= 0 && length > size) length = size;
  if (m_bCopyData) {
    if (m_pBuffers) rec->m_data = m_pBuffers->Take(static_cast<size_t>(length));
    rec->m_data.assign(data, data + length);
  }
  *record = std::move(rec);
  return S_OK;
}
