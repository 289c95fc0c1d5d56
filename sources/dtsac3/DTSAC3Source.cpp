#include "sources/dtsac3/DTSAC3Source.h"

#include <algorithm>
#include <cstring>

#include "platform/dshow/FourCCMap.h"

namespace {

constexpr DWORD kDtsRates[16] = {0, 8000, 16000, 32000, 0, 0, 11025, 22050, 44100, 0, 0, 12000, 24000, 48000, 0, 0};
// 754500 and 1509750 are the rates at which DVD frames of 1006 and 2013
// bytes carry 512 samples at 48 kHz.
constexpr DWORD kDtsBitRates[32] = {32000,   56000,   64000,   96000,   112000,  128000,  192000,  224000,
                                    256000,  320000,  384000,  448000,  512000,  576000,  640000,  754500,
                                    960000,  1024000, 1152000, 1280000, 1344000, 1408000, 1411200, 1472000,
                                    1509750, 1920000, 2048000, 3072000, 3840000, 0,       0,       0};
constexpr DWORD kAc3Rates[3] = {48000, 44100, 32000};
constexpr DWORD kAc3BitRates[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                    192, 224, 256, 320, 384, 448, 512, 576, 640};

// The largest frames either format can have, so a buffer fits any frame of
// the file, not only the first one's size.
constexpr DWORD kMaxDtsFrame = 16384;
constexpr DWORD kMaxAc3Frame = 3840;
constexpr DWORD kMinDtsFrame = 96;
constexpr LONG kHeaderBytes = 12;
constexpr LONG kScanBlock = 65536;

bool IsStreamMajor(const GUID& major) {
  return major == MEDIATYPE_Audio || major == MEDIATYPE_MPEG2_PES || major == MEDIATYPE_DVD_ENCRYPTED_PACK;
}

bool IsWaveType(const AM_MEDIA_TYPE* pmt, WORD tag) {
  if (!pmt || pmt->majortype != MEDIATYPE_Audio || pmt->subtype != FourCCGuid(tag)) return false;
  if (pmt->formattype != FORMAT_WaveFormatEx || !pmt->pbFormat || pmt->cbFormat < sizeof(WORD)) return false;
  WORD formatTag = 0;
  std::memcpy(&formatTag, pmt->pbFormat, sizeof(formatTag));
  return formatTag == tag;
}

void SwapWords(BYTE* p, size_t bytes) {
  for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(p[i], p[i + 1]);
}

bool IsDtsSync(const BYTE* p) { return p[0] == 0x7F && p[1] == 0xFE && p[2] == 0x80 && p[3] == 0x01; }

}  // namespace

bool IsDTSMediaType(const AM_MEDIA_TYPE* pmt) {
  return pmt && IsStreamMajor(pmt->majortype) && pmt->subtype == MEDIASUBTYPE_DTS;
}

bool IsAC3MediaType(const AM_MEDIA_TYPE* pmt) {
  return pmt && IsStreamMajor(pmt->majortype) && pmt->subtype == MEDIASUBTYPE_DOLBY_AC3;
}

bool IsDTSWaveMediaType(const AM_MEDIA_TYPE* pmt) { return IsWaveType(pmt, 0x2001); }
bool IsAC3WaveMediaType(const AM_MEDIA_TYPE* pmt) { return IsWaveType(pmt, 0x2000); }

void WritePackHeader(BYTE* out) {
  static constexpr BYTE kPack[kPackHeaderSize] = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                                  0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
  std::memcpy(out, kPack, sizeof(kPack));
}

void WritePesHeader(BYTE* out, int payload, BYTE substreamId, WORD firstAccessUnit) {
  static constexpr BYTE kPes[kPesHeaderSize] = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x00, 0x81, 0x80, 0x08, 0x21, 0x00,
                                                0x01, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x00, 0x00};
  std::memcpy(out, kPes, sizeof(kPes));
  // Everything after the length field: 3 flag bytes, 8 header data bytes
  // (PTS and stuffing), 4 substream header bytes and the payload.
  const int length = payload + 15;
  out[4] = static_cast<BYTE>(length >> 8);
  out[5] = static_cast<BYTE>(length);
  out[17] = substreamId;
  out[19] = static_cast<BYTE>(firstAccessUnit >> 8);
  out[20] = static_cast<BYTE>(firstAccessUnit);
}

bool ParseDtsFrame(const BYTE* h, DtsAc3Frame* out) {
  if (!IsDtsSync(h)) return false;
  const DWORD blocks = ((h[4] & 1u) << 6 | h[5] >> 2) + 1;
  DtsAc3Frame f;
  f.size = (((h[5] & 3u) << 8 | h[6]) << 4 | h[7] >> 4) + 1;
  f.sampleRate = kDtsRates[(h[8] >> 2) & 15];
  f.bitRate = kDtsBitRates[(h[9] >> 5) | (h[8] & 3) << 3];
  if (f.size < kMinDtsFrame || f.sampleRate == 0) return false;
  // The block count says how long the frame plays; the size over the bit
  // rate says the same only when the frame is exactly as large as the rate
  // code promises (ffmpeg writes 1024-byte frames under the 754,500 code).
  if (blocks >= 6)
    f.duration = static_cast<REFERENCE_TIME>(blocks) * 32 * UNITS / f.sampleRate;
  else if (f.bitRate)
    f.duration = static_cast<REFERENCE_TIME>(f.size) * 80000000 / f.bitRate;
  *out = f;
  return true;
}

bool ParseAc3Frame(const BYTE* h, DtsAc3Frame* out) {
  if (h[0] != 0x0B || h[1] != 0x77) return false;
  const int fscod = h[4] >> 6;
  const int code = h[4] & 0x3F;
  const int bsid = h[5] >> 3;
  // bsid above 10 is E-AC-3, whose frames are sized differently.
  if (fscod == 3 || code >= 38 || bsid > 10) return false;
  const DWORD kbps = kAc3BitRates[code >> 1];
  DtsAc3Frame f;
  f.sampleRate = kAc3Rates[fscod];
  f.bitRate = kbps * 1000;
  // Frames hold 1536 samples; at 44.1 kHz that is no whole number of
  // words, so odd codes carry one padding word.
  switch (fscod) {
    case 0: f.size = kbps * 4; break;
    case 1: f.size = 2 * (kbps * 1000 * 1536 / (44100 * 16) + (code & 1)); break;
    default: f.size = kbps * 6; break;
  }
  f.duration = static_cast<REFERENCE_TIME>(1536) * UNITS / f.sampleRate;
  *out = f;
  return true;
}

// ---------------------------------------------------------------------------
// CDTSAC3Stream

CDTSAC3Stream::CDTSAC3Stream(LPCWSTR fileName, CSource* filter, HRESULT* phr)
    : CBaseStream(NAME("DTS/AC3 stream"), filter, phr) {
  CAutoLock lock(&m_cSharedState);
  if (!Open(fileName) && phr) *phr = E_FAIL;
}

bool CDTSAC3Stream::Open(LPCWSTR fileName) {
  if (!fileName || !m_file.Open(fileName)) return false;
  BYTE h[kHeaderBytes] = {};
  if (m_file.ReadAt(0, h, kHeaderBytes) != kHeaderBytes) return false;
  DtsAc3Frame first;
  if (IsDtsSync(h)) {
    // A frame whose length cannot be told from its header cannot be timed.
    if (!ParseDtsFrame(h, &first) || first.duration <= 0) return false;
    m_dts = true;
    m_subtype = MEDIASUBTYPE_DTS;
    m_wFormatTag = 0x2001;
    m_streamId = 0x88;
    m_maxFrameSize = kMaxDtsFrame;
  } else if ((h[0] == 0x0B && h[1] == 0x77) || (h[0] == 0x77 && h[1] == 0x0B)) {
    m_swapped = h[0] == 0x77;
    if (m_swapped) SwapWords(h, sizeof(h));
    if (!ParseAc3Frame(h, &first)) return false;
    m_subtype = MEDIASUBTYPE_DOLBY_AC3;
    m_wFormatTag = 0x2000;
    m_streamId = 0x80;
    m_maxFrameSize = kMaxAc3Frame;
  } else {
    return false;
  }
  m_sampleRate = first.sampleRate;
  m_bytesPerSec = (first.bitRate + 4) / 8;
  m_AvgTimePerFrame = first.duration;

  // AC-3 is constant-rate, so the length over the rate is exact even where
  // frame sizes alternate; DTS frames all have the first one's size.
  const __int128 length = m_file.Length();
  const __int128 duration = m_dts ? length * first.duration / first.size : length * 80000000 / first.bitRate;
  m_rtDuration = m_rtStop = static_cast<REFERENCE_TIME>(std::min<__int128>(duration, INT64_MAX));
  return true;
}

bool CDTSAC3Stream::ParseAt(LONGLONG offset, DtsAc3Frame* frame) {
  BYTE h[kHeaderBytes] = {};
  if (m_file.ReadAt(offset, h, kHeaderBytes) < (m_dts ? kHeaderBytes : 6)) return false;
  if (m_swapped) SwapWords(h, sizeof(h));
  if (m_dts) return ParseDtsFrame(h, frame);
  // AC-3 frames of another rate are not this stream's.
  return ParseAc3Frame(h, frame) && frame->sampleRate == m_sampleRate;
}

bool CDTSAC3Stream::ReadFrameAt(LONGLONG offset, FrameRecord* out) {
  const LONGLONG end = m_file.Length();
  DtsAc3Frame frame;
  if (!ParseAt(offset, &frame)) {
    // Damaged bytes: the next sync word that starts a frame of this stream.
    // Swapped files keep their frames on word boundaries.
    const LONGLONG step = m_swapped ? 2 : 1;
    std::vector<BYTE> block(kScanBlock);
    bool found = false;
    for (LONGLONG at = offset + step; !found && at < end;) {
      const LONG got = m_file.ReadAt(at, block.data(), kScanBlock);
      if (got < 4) break;
      LONG i = 0;
      for (; i + 4 <= got; i += static_cast<LONG>(step)) {
        const BYTE* p = &block[static_cast<size_t>(i)];
        const bool sync = m_dts ? IsDtsSync(p) : (m_swapped ? p[0] == 0x77 && p[1] == 0x0B : p[0] == 0x0B && p[1] == 0x77);
        if (sync && ParseAt(at + i, &frame)) {
          offset = at + i;
          found = true;
          break;
        }
      }
      // The next block overlaps the last bytes that could not hold a sync.
      at += std::max<LONG>(i, static_cast<LONG>(step));
    }
    if (!found) return false;
  }
  // The last, incomplete frame ends the stream.
  if (offset + frame.size > end) return false;
  out->offset = offset;
  out->size = frame.size;
  return true;
}

bool CDTSAC3Stream::FindFrame(int n, FrameRecord* out) {
  if (n < 0) return false;
  while (static_cast<size_t>(n) >= m_frames.size() && !m_indexComplete) {
    FrameRecord rec;
    if (!ReadFrameAt(m_nextOffset, &rec)) {
      m_indexComplete = true;
      break;
    }
    m_frames.push_back(rec);
    m_nextOffset = rec.offset + rec.size;
  }
  if (static_cast<size_t>(n) >= m_frames.size()) return false;
  *out = m_frames[static_cast<size_t>(n)];
  return true;
}

HRESULT CDTSAC3Stream::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  return IsDTSMediaType(pmt) || IsDTSWaveMediaType(pmt) || IsAC3MediaType(pmt) || IsAC3WaveMediaType(pmt)
             ? S_OK
             : E_INVALIDARG;
}

HRESULT CDTSAC3Stream::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(&m_cSharedState);
  if (position < 0) return E_INVALIDARG;
  if (position > 5) return VFW_S_NO_MORE_ITEMS;

  pmt->InitMediaType();
  pmt->SetType(&MEDIATYPE_Audio);
  pmt->SetSubtype(&m_subtype);
  pmt->SetTemporalCompression(FALSE);
  const bool noBlock = position == 1 || position == 3;
  if (position == 1 || position == 2) pmt->SetType(&MEDIATYPE_MPEG2_PES);
  if (position == 3 || position == 4) pmt->SetType(&MEDIATYPE_DVD_ENCRYPTED_PACK);
  if (noBlock) {
    pmt->SetFormatType(&FORMAT_None);
    return S_OK;
  }
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = 1;
  wfx.nChannels = 6;
  wfx.nSamplesPerSec = m_sampleRate;
  wfx.nAvgBytesPerSec = m_bytesPerSec;
  if (position == 5) {
    const GUID waveSubtype = FourCCGuid(m_wFormatTag);
    pmt->SetSubtype(&waveSubtype);
    wfx.wFormatTag = m_wFormatTag;
    wfx.nChannels = 2;
    wfx.nBlockAlign = 1;
  }
  pmt->SetFormatType(&FORMAT_WaveFormatEx);
  if (!pmt->SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx))) return E_OUTOFMEMORY;
  return S_OK;
}

HRESULT CDTSAC3Stream::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  CAutoLock lock(&m_cSharedState);
  request->cBuffers = 1;
  request->cbBuffer = static_cast<LONG>(m_maxFrameSize) + kPackHeaderSize + kPesHeaderSize;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CDTSAC3Stream::FillFrame(IMediaSample*, int frameNumber, BYTE* buffer, LONG& length) {
  FrameRecord frame;
  if (!FindFrame(frameNumber, &frame)) return S_FALSE;

  const GUID& major = m_mt.majortype;
  const bool pack = major == MEDIATYPE_DVD_ENCRYPTED_PACK;
  const bool pes = pack || major == MEDIATYPE_MPEG2_PES;
  const LONG header = (pack ? kPackHeaderSize : 0) + (pes ? kPesHeaderSize : 0);
  const LONG size = static_cast<LONG>(frame.size);
  if (length < header + size) return E_FAIL;

  BYTE* payload = buffer + header;
  if (m_file.ReadAt(frame.offset, payload, size) != size) return S_FALSE;
  if (m_swapped) SwapWords(payload, static_cast<size_t>(size));
  if (pack) WritePackHeader(buffer);
  if (pes) WritePesHeader(buffer + (pack ? kPackHeaderSize : 0), size, m_streamId, 1);
  length = header + size;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CDTSAC3Source

CDTSAC3Source::CDTSAC3Source(LPUNKNOWN outer, HRESULT* phr)
    : CBaseSource<CDTSAC3Stream>(NAME("DTS/AC3 source"), outer, phr, CLSID_DTSAC3Source) {
  if (phr) *phr = S_OK;
}
