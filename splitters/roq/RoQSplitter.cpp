#include "splitters/roq/RoQSplitter.h"

#include <cstring>
#include <new>
#include <optional>

namespace {

constexpr BYTE kFileHeader[8] = {0x84, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x1E, 0x00};
constexpr REFERENCE_TIME kFrameTime = 333333;
constexpr LONGLONG kAudioRate = 22050;
constexpr LONGLONG kHeaderSize = 8;

bool IsVideo(WORD id) { return id == kRoQCodebook || id == kRoQFrame; }
bool IsAudio(WORD id) { return id == kRoQAudioMono || id == kRoQAudioStereo; }
int Channels(WORD id) { return (id & 1) + 1; }

}  // namespace

CRoQSplitterFilter::CRoQSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CRoQSplitterFilter"), outer, phr, clsid) {}

CRoQSplitterFilter::~CRoQSplitterFilter() { StopDemuxThread(); }

CRoQSourceFilter::CRoQSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CRoQSplitterFilter(outer, phr, CLSID_RoQSourceFilter) {
  m_pInput.reset();
}

CRoQSourceFilter::~CRoQSourceFilter() = default;

bool CRoQSplitterFilter::ReadHeader(LONGLONG pos, RoQChunkHeader& h) {
  BYTE b[kHeaderSize];
  if (!m_pFile || pos < 0 || pos > m_length - kHeaderSize) return false;
  m_pFile->Seek(pos);
  if (m_pFile->Read(b, kHeaderSize) != S_OK) return false;
  h = RoQChunkHeader::Parse(b);
  return true;
}

namespace {

bool KnownChunk(WORD id) { return id == kRoQInfo || IsVideo(id) || IsAudio(id); }

}  // namespace

bool CRoQSplitterFilter::ChunkHolds(LONGLONG at, const RoQChunkHeader& c, bool known) {
  // The file holds it, and a chunk of a known kind (or the end) follows.
  if ((known && !KnownChunk(c.id)) || at < 0 || c.size > m_length - at - kHeaderSize) return false;
  const LONGLONG next = at + kHeaderSize + c.size;
  RoQChunkHeader after;
  return next == m_length || (ReadHeader(next, after) && KnownChunk(after.id)) ||
         (KnownChunk(c.id) && m_length - next < kHeaderSize);
}

bool CRoQSplitterFilter::NextChunk(LONGLONG& pos, RoQChunkHeader& h, bool note) {
  if (pos + kHeaderSize > m_length) return false;
  // A chunk of an unknown kind is taken when what follows confirms it.
  if (ReadHeader(pos, h) &&
      ((KnownChunk(h.id) && h.size <= m_length - pos - kHeaderSize) || ChunkHolds(pos, h, false)))
    return true;
  CBaseSplitterFile::Unit unit;
  unit.header = kHeaderSize;
  unit.holds = [this](LONGLONG at, const BYTE* head) { return ChunkHolds(at, RoQChunkHeader::Parse(head), true); };
  unit.begun = [](LONGLONG, const BYTE* head) { return KnownChunk(RoQChunkHeader::Parse(head).id); };
  std::optional<CBaseSplitterFile::QuietDamage> quiet;
  if (!note) quiet.emplace(*m_pFile);
  const LONGLONG at = m_pFile->Resync(pos, m_length, unit);
  if (at < 0) return false;
  pos = at;
  return ReadHeader(pos, h);
}

bool CRoQSplitterFilter::AddPin(const CMediaType& mt, LPCWSTR name, DWORD track) {
  HRESULT hr = S_OK;
  auto pin = std::make_unique<CBaseSplitterOutputPin>(std::vector<CMediaType>{mt}, name, this, this, &hr);
  return SUCCEEDED(hr) && SUCCEEDED(AddOutputPin(track, std::move(pin)));
}

HRESULT CRoQSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  m_pAsyncReader = reader;
  LONGLONG total = 0, available = 0;
  if (FAILED(reader->Length(&total, &available))) return E_FAIL;
  // Only what is there can be read (a growing file reports no total).
  m_length = total > 0 ? std::min(total, available) : available;

  BYTE head[kHeaderSize];
  if (m_length < kHeaderSize || reader->SyncRead(0, kHeaderSize, head) != S_OK ||
      memcmp(head, kFileHeader, sizeof head) != 0)
    return E_FAIL;

  HRESULT hr = E_OUTOFMEMORY;
  m_pFile.reset(new (std::nothrow) CBaseSplitterFile(reader, hr, 2048, false));
  if (!m_pFile) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    m_pFile.reset();
    return hr;
  }
  TellDamageOf(*m_pFile);

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = 0;
  m_rtStop = m_rtNewStop = 0;
  m_index.clear();

  int width = 0, height = 0;
  // Frames may reuse the codebook before them, so times count frames.
  LONGLONG frames = 0, audioSamples = 0;
  bool videoPin = false, audioPin = false;
  RoQChunkHeader h;
  // Every chunk moves the walk at least 8 bytes on.
  for (LONGLONG pos = kHeaderSize; NextChunk(pos, h, false); pos += kHeaderSize + h.size) {
    if (h.id == kRoQInfo) {
      BYTE info[8];
      if (pos + 2 * kHeaderSize > m_length || reader->SyncRead(pos + kHeaderSize, 8, info) != S_OK) break;
      width = info[0] | info[1] << 8;
      height = info[2] | info[3] << 8;
      if (width == 0 || height == 0) break;
    } else if (IsVideo(h.id)) {
      if (!videoPin && m_index.empty() && width > 0) {
        CMediaType mt;
        mt.majortype = MEDIATYPE_Video;
        mt.subtype = FourCCGuid(MAKEFOURCC('R', 'o', 'Q', 'V'));
        mt.formattype = FORMAT_VideoInfo;
        auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
        if (!vih) return E_OUTOFMEMORY;
        memset(vih, 0, sizeof *vih);
        vih->AvgTimePerFrame = kFrameTime;
        vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih->bmiHeader.biWidth = width;
        vih->bmiHeader.biHeight = height;
        vih->bmiHeader.biCompression = MAKEFOURCC('R', 'o', 'Q', 'V');
        videoPin = AddPin(mt, L"Video", 0);
      }
      if (h.id == kRoQCodebook) m_index.push_back({frames * UNITS / 30, audioSamples * UNITS / kAudioRate, pos});
      else frames++;
    } else if (IsAudio(h.id)) {
      if (!audioPin) {
        CMediaType mt;
        mt.majortype = MEDIATYPE_Audio;
        mt.subtype = FourCCGuid(MAKEFOURCC('R', 'o', 'Q', 'A'));
        mt.formattype = FORMAT_WaveFormatEx;
        auto* wfe = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
        if (!wfe) return E_OUTOFMEMORY;
        memset(wfe, 0, sizeof *wfe);
        wfe->wFormatTag = 0x6F52;
        wfe->nChannels = static_cast<WORD>(Channels(h.id));
        wfe->nSamplesPerSec = kAudioRate;
        wfe->wBitsPerSample = 16;
        audioPin = AddPin(mt, L"Audio", 1);
      }
      audioSamples += h.size / Channels(h.id);
    }
  }

  m_rtDuration = frames * UNITS / 30;
  m_rtStop = m_rtNewStop = m_rtDuration;
  m_start = {0, 0, kHeaderSize};
  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

bool CRoQSplitterFilter::DemuxInit() {
  m_start = {0, 0, kHeaderSize};
  return m_pAsyncReader != nullptr;
}

void CRoQSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  // From the start the walk begins at the first chunk, not at the first
  // codebook: audio ahead of it, and a file without codebooks (audio
  // only), are delivered too.
  if (rt <= 0 || m_index.empty()) {
    m_start = {0, 0, kHeaderSize};
    return;
  }
  m_start.fp = -1;
  for (auto it = m_index.rbegin(); it != m_index.rend(); ++it) {
    if (it->rtv <= rt) {
      m_start = *it;
      break;
    }
  }
}

bool CRoQSplitterFilter::DemuxLoop() {
  if (m_start.fp < 0) return true;
  REFERENCE_TIME v = m_start.rtv, a = m_start.rta;
  LONGLONG p = m_start.fp;
  HRESULT hr = S_OK;
  RoQChunkHeader h;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr) && NextChunk(p, h, true)) {
    const bool video = IsVideo(h.id), audio = IsAudio(h.id);
    if (video || audio) {
      // A chunk that runs past the end of the file is not delivered.
      if (h.size > m_length - p - kHeaderSize || h.size > 0x7FFFFFFF - kHeaderSize) break;
      auto packet = std::make_unique<Packet>();
      packet->resize(kHeaderSize + h.size);
      if (m_pAsyncReader->SyncRead(p, static_cast<LONG>(packet->size()), packet->data()) != S_OK) break;
      if (video) {
        packet->TrackNumber = 0;
        packet->bSyncPoint = v == 0;
        packet->rtStart = v;
        packet->rtStop = h.id == kRoQFrame ? v + kFrameTime : v;
        v = packet->rtStop;
      } else {
        packet->TrackNumber = 1;
        packet->bSyncPoint = TRUE;
        packet->rtStart = a;
        packet->rtStop = a + static_cast<REFERENCE_TIME>(h.size) * UNITS / (Channels(h.id) * kAudioRate);
        a = packet->rtStop;
      }
      hr = DeliverPacket(std::move(packet));
    }
    p += kHeaderSize + h.size;
  }
  return true;
}
