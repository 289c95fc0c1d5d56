#include "sources/avi2ac3/AVI2AC3Filter.h"

#include <algorithm>
#include <cstring>

#include "platform/dshow/FourCCMap.h"
#include "sources/dtsac3/DTSAC3Source.h"

namespace {

constexpr LONG kMinBuffer = 1048576;
// A PES length field counts the 15 bytes of flags, header data and
// substream header besides the payload, in 16 bits.
constexpr LONG kLargestPesPayload = 65535 - 15;

bool IsStreamType(const AM_MEDIA_TYPE* pmt) { return IsAC3MediaType(pmt) || IsDTSMediaType(pmt); }
bool IsWaveType(const AM_MEDIA_TYPE* pmt) { return IsAC3WaveMediaType(pmt) || IsDTSWaveMediaType(pmt); }

// 1 + the offset of the first frame start in the piece (the first-access-
// unit pointer counts from the pointer's last byte), 1 when none starts.
WORD FirstAccessUnit(const BYTE* p, LONG n, bool dts) {
  if (dts) {
    for (LONG i = 0; i + 4 <= n; i++)
      if (p[i] == 0x7F && p[i + 1] == 0xFE && p[i + 2] == 0x80 && p[i + 3] == 0x01) return static_cast<WORD>(i + 1);
  } else {
    for (LONG i = 0; i + 2 <= n; i++)
      if (p[i] == 0x0B && p[i + 1] == 0x77) return static_cast<WORD>(i + 1);
  }
  return 1;
}

}  // namespace

CAVI2AC3Filter::CAVI2AC3Filter(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter(NAME("AVI<->AC3/DTS"), outer, CLSID_AVI2AC3Filter) {
  if (phr) *phr = S_OK;
}

HRESULT CAVI2AC3Filter::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  if (IsStreamType(in) && in->formattype == FORMAT_WaveFormatEx) return S_OK;
  return IsWaveType(in) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CAVI2AC3Filter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (!in || !out) return E_POINTER;
  const bool ok = (IsAC3MediaType(in) && IsAC3WaveMediaType(out)) || (IsAC3WaveMediaType(in) && IsAC3MediaType(out)) ||
                  (IsDTSMediaType(in) && IsDTSWaveMediaType(out)) || (IsDTSWaveMediaType(in) && IsDTSMediaType(out));
  return ok ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CAVI2AC3Filter::GetMediaType(int position, CMediaType* pmt) {
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  CheckPointer(pmt, E_POINTER);
  const CMediaType& in = m_pInput->CurrentMediaType();

  if (IsStreamType(&in)) {
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    const WORD tag = IsAC3MediaType(&in) ? 0x2000 : 0x2001;
    WAVEFORMATEX wfx{};
    // Rate, byte rate and sample size as the input's block says, as far as
    // the block reaches.
    if (in.pbFormat) std::memcpy(&wfx, in.pbFormat, std::min<size_t>(in.cbFormat, sizeof(wfx)));
    wfx.wFormatTag = tag;
    wfx.nChannels = 2;
    wfx.nBlockAlign = 1;
    wfx.cbSize = 0;
    const GUID subtype = FourCCGuid(tag);
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Audio);
    pmt->SetSubtype(&subtype);
    pmt->SetFormatType(&FORMAT_WaveFormatEx);
    return pmt->SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx)) ? S_OK : E_OUTOFMEMORY;
  }

  if (IsWaveType(&in)) {
    if (position > 4) return VFW_S_NO_MORE_ITEMS;
    const bool ac3 = IsAC3WaveMediaType(&in);
    pmt->InitMediaType();
    pmt->SetType(position == 0 ? &MEDIATYPE_Audio
                               : position <= 2 ? &MEDIATYPE_MPEG2_PES : &MEDIATYPE_DVD_ENCRYPTED_PACK);
    pmt->SetSubtype(ac3 ? &MEDIASUBTYPE_DOLBY_AC3 : &MEDIASUBTYPE_DTS);
    if (position == 1 || position == 3) {
      pmt->SetFormatType(&FORMAT_None);
      return S_OK;
    }
    BYTE block[sizeof(WAVEFORMATEX) + 5] = {};
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = ac3 ? 0x2000 : 1;
    wfx.nChannels = 6;
    wfx.nSamplesPerSec = 48000;
    wfx.cbSize = ac3 ? 5 : 0;
    std::memcpy(block, &wfx, sizeof(wfx));
    if (ac3) block[sizeof(wfx)] = 1;
    pmt->SetFormatType(&FORMAT_WaveFormatEx);
    return pmt->SetFormat(block, sizeof(wfx) + wfx.cbSize) ? S_OK : E_OUTOFMEMORY;
  }
  return VFW_S_NO_MORE_ITEMS;
}

HRESULT CAVI2AC3Filter::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  LONG inputBuffer = 0;
  ALLOCATOR_PROPERTIES in{};
  if (m_pInput->m_pAllocator && SUCCEEDED(m_pInput->m_pAllocator->GetProperties(&in))) inputBuffer = in.cbBuffer;
  request->cBuffers = 2;
  request->cbBuffer = std::max(inputBuffer, kMinBuffer);
  request->cbAlign = 1;
  request->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CAVI2AC3Filter::Transform(IMediaSample* in, IMediaSample* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  const CMediaType& inType = m_pInput->CurrentMediaType();
  const CMediaType& outType = m_pOutput->CurrentMediaType();
  if ((IsAC3MediaType(&inType) && IsAC3WaveMediaType(&outType)) ||
      (IsDTSMediaType(&inType) && IsDTSWaveMediaType(&outType)))
    return StripHeaders(in, out);
  if (IsAC3WaveMediaType(&inType) && IsAC3MediaType(&outType)) return AddHeaders(in, out, false);
  if (IsDTSWaveMediaType(&inType) && IsDTSMediaType(&outType)) return AddHeaders(in, out, true);
  return E_FAIL;
}

HRESULT CAVI2AC3Filter::StripHeaders(IMediaSample* in, IMediaSample* out) {
  BYTE* src = nullptr;
  BYTE* dst = nullptr;
  if (FAILED(in->GetPointer(&src)) || FAILED(out->GetPointer(&dst)) || !src || !dst) return E_FAIL;
  const LONG length = in->GetActualDataLength();
  if (length <= 0) return S_FALSE;

  // A sample shorter than the headers it starts with is damaged.
  LONG skip = 0;
  if (length >= 4 && src[0] == 0 && src[1] == 0 && src[2] == 1 && src[3] == 0xBA) {
    if (length < kPackHeaderSize) return E_FAIL;
    // An MPEG-2 pack header may carry stuffing after its 14 bytes.
    skip = kPackHeaderSize + ((src[4] & 0xC0) == 0x40 ? (src[13] & 7) : 0);
  }
  if (length - skip >= 4 && src[skip] == 0 && src[skip + 1] == 0 && src[skip + 2] == 1 && src[skip + 3] == 0xBD) {
    if (length - skip < 9) return E_FAIL;
    skip += 9 + src[skip + 8] + 4;
  }
  if (skip > length) return E_FAIL;
  const LONG payload = length - skip;
  if (out->GetSize() < payload) return E_FAIL;
  std::memcpy(dst, src + skip, static_cast<size_t>(payload));
  out->SetActualDataLength(payload);
  return S_OK;
}

HRESULT CAVI2AC3Filter::AddHeaders(IMediaSample* in, IMediaSample* out, bool dts) {
  BYTE* src = nullptr;
  BYTE* dst = nullptr;
  if (FAILED(in->GetPointer(&src)) || FAILED(out->GetPointer(&dst)) || !src || !dst) return E_FAIL;
  const LONG length = in->GetActualDataLength();
  if (length <= 0) return S_FALSE;

  const GUID& major = m_pOutput->CurrentMediaType().majortype;
  const bool pack = major == MEDIATYPE_DVD_ENCRYPTED_PACK;
  const bool pes = pack || major == MEDIATYPE_MPEG2_PES;
  // Only a payload too long for one PES length field is cut into pieces.
  if (pes && length > kLargestPesPayload) return DeliverPieces(in, src, length, pack, dts);

  const LONG header = (pack ? kPackHeaderSize : 0) + (pes ? kPesHeaderSize : 0);
  if (out->GetSize() < header + length) return E_FAIL;
  if (pack) WritePackHeader(dst);
  if (pes) WritePesHeader(dst + (pack ? kPackHeaderSize : 0), length, dts ? 0x88 : 0x80, 1);
  std::memcpy(dst + header, src, static_cast<size_t>(length));
  out->SetActualDataLength(header + length);
  return S_OK;
}

HRESULT CAVI2AC3Filter::DeliverPieces(IMediaSample* in, const BYTE* src, LONG length, bool pack, bool dts) {
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = in->GetTime(&start, &stop) == S_OK;
  const LONG header = (pack ? kPackHeaderSize : 0) + kPesHeaderSize;
  for (LONG done = 0; done < length;) {
    const LONG piece = std::min<LONG>(kPieceSize, length - done);
    IMediaSample* out = nullptr;
    HRESULT hr = InitializeOutputSample(in, &out);
    if (FAILED(hr)) return hr;
    BYTE* dst = nullptr;
    if (FAILED(out->GetPointer(&dst)) || !dst || out->GetSize() < header + piece) {
      out->Release();
      return E_FAIL;
    }
    if (done == 0) {
      if (timed) {
        REFERENCE_TIME pieceStop = start + static_cast<REFERENCE_TIME>(static_cast<__int128>(stop - start) * piece / length);
        out->SetTime(&start, &pieceStop);
      }
    } else {
      // Only the first piece starts where the input did.
      out->SetTime(nullptr, nullptr);
      out->SetDiscontinuity(FALSE);
    }
    const BYTE* p = src + done;
    if (pack) WritePackHeader(dst);
    WritePesHeader(dst + (pack ? kPackHeaderSize : 0), piece, dts ? 0x88 : 0x80, FirstAccessUnit(p, piece, dts));
    std::memcpy(dst + header, p, static_cast<size_t>(piece));
    out->SetActualDataLength(header + piece);
    hr = m_pOutput->Deliver(out);
    out->Release();
    if (hr != S_OK) return FAILED(hr) ? hr : S_FALSE;
    done += piece;
  }
  // Every piece went out on its own; the base has nothing left to deliver.
  return S_FALSE;
}
