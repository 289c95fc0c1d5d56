#include "splitters/avi/AviSplitter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "foundation/FilterFactory.h"
#include "foundation/FilterHelpers.h"
#include "platform/com/ComBase.h"
#include "platform/dshow/Signatures.h"
#include "platform/ui/Keyboard.h"
#include "platform/ui/WinApp.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Registry.h"
#include "splitters/avi/AviReportWnd.h"

namespace {

// Sample sizes from the file are believed up to this; a larger packet grows
// the buffers when it comes.
constexpr UINT64 kMaxSampleSize = 64 << 20;

std::wstring Widen(const std::string& text) {
  const std::string cut = text.substr(0, text.find('\0'));
  if (cut.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, cut.data(), static_cast<int>(cut.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, cut.data(), static_cast<int>(cut.size()), out.data(), n);
  return out;
}

ULONG SampleSize(const AviStream& s, UINT64 fallback) {
  const UINT64 suggested = s.strh.dwSuggestedBufferSize;
  const UINT64 size = suggested ? suggested * 3 / 2 : fallback;
  return static_cast<ULONG>(std::clamp<UINT64>(size, 1, kMaxSampleSize));
}

// The subtype of uncompressed pictures by their bit depth.
GUID RgbSubtype(const BITMAPINFOHEADER& bih, const std::vector<BYTE>& strf) {
  switch (bih.biBitCount) {
    case 1: return MEDIASUBTYPE_RGB1;
    case 4: return MEDIASUBTYPE_RGB4;
    case 8: return MEDIASUBTYPE_RGB8;
    case 16: {
      // Plain 16-bit pictures are 5-5-5; bit fields say which they are.
      if (bih.biCompression == BI_RGB) return MEDIASUBTYPE_RGB555;
      DWORD red = 0;
      if (strf.size() >= sizeof(BITMAPINFOHEADER) + 4) std::memcpy(&red, strf.data() + sizeof(BITMAPINFOHEADER), 4);
      return red == 0x7C00 ? MEDIASUBTYPE_RGB555 : MEDIASUBTYPE_RGB565;
    }
    case 24: return MEDIASUBTYPE_RGB24;
    case 32: return MEDIASUBTYPE_ARGB32;
    default: return GUID_NULL;
  }
}

bool VideoType(const AviStream& s, CMediaType& mt) {
  // A short bitmap header is read as if the missing fields were 0.
  std::vector<BYTE> block = s.strf;
  if (block.size() < sizeof(BITMAPINFOHEADER)) block.resize(sizeof(BITMAPINFOHEADER), 0);
  BITMAPINFOHEADER bih;
  std::memcpy(&bih, block.data(), sizeof bih);
  if (bih.biSize > block.size()) {
    bih.biSize = static_cast<DWORD>(block.size());
    std::memcpy(block.data(), &bih, sizeof bih);
  }

  mt.majortype = MEDIATYPE_Video;
  mt.subtype = (bih.biCompression == BI_RGB || bih.biCompression == BI_BITFIELDS) ? RgbSubtype(bih, s.strf)
                                                                                  : FourCCGuid(bih.biCompression);
  mt.formattype = FORMAT_VideoInfo;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(
      mt.AllocFormatBuffer(static_cast<ULONG>(offsetof(VIDEOINFOHEADER, bmiHeader) + block.size())));
  if (!vih) return false;
  std::memset(vih, 0, offsetof(VIDEOINFOHEADER, bmiHeader));
  std::memcpy(&vih->bmiHeader, block.data(), block.size());
  if (s.strh.dwRate > 0)
    vih->AvgTimePerFrame = static_cast<REFERENCE_TIME>(UNITS * s.strh.dwScale / s.strh.dwRate);
  if (!s.chunks.empty() && vih->AvgTimePerFrame > 0) {
    UINT64 bytes = 0;
    for (const AviChunk& c : s.chunks) bytes += c.storedSize;
    const UINT64 rate = bytes * 8 / s.chunks.size() * UNITS / static_cast<UINT64>(vih->AvgTimePerFrame);
    vih->dwBitRate = static_cast<DWORD>(std::min<UINT64>(rate, UINT32_MAX));
  }
  const UINT64 picture = static_cast<UINT64>(std::abs(static_cast<INT64>(bih.biWidth))) *
                         static_cast<UINT64>(std::abs(static_cast<INT64>(bih.biHeight))) * 4;
  mt.lSampleSize = SampleSize(s, picture);
  return true;
}

bool AudioType(const AviStream& s, CMediaType& mt) {
  // A pin needs the block size: every time of the stream is taken from it.
  if (s.BlockAlign() == 0) return false;
  std::vector<BYTE> block = s.strf;
  if (block.size() < sizeof(WAVEFORMATEX)) block.resize(sizeof(WAVEFORMATEX), 0);
  WAVEFORMATEX wfe;
  std::memcpy(&wfe, block.data(), sizeof wfe);
  if (s.strf.size() == 16) wfe.cbSize = 0;
  // Format data said to follow the header must be there.
  wfe.cbSize = static_cast<WORD>(std::min<size_t>(wfe.cbSize, block.size() - sizeof(WAVEFORMATEX)));
  if (wfe.wFormatTag == WAVE_FORMAT_PCM) wfe.nBlockAlign = static_cast<WORD>(wfe.nChannels * wfe.wBitsPerSample / 8);
  std::memcpy(block.data(), &wfe, sizeof wfe);

  mt.majortype = MEDIATYPE_Audio;
  mt.subtype = wfe.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? MEDIASUBTYPE_PCM : FourCCGuid(wfe.wFormatTag);
  mt.formattype = FORMAT_WaveFormatEx;
  if (!mt.SetFormat(block.data(), static_cast<ULONG>(block.size()))) return false;
  mt.lSampleSize = SampleSize(s, static_cast<UINT64>(wfe.nChannels) * wfe.nSamplesPerSec * 4);
  return true;
}

// The media type of a stream and the label of its pin; false when the
// stream gets no pin.
bool StreamType(const AviStream& s, CMediaType& mt, const wchar_t*& label) {
  mt.InitMediaType();
  const DWORD type = s.strh.fccType;
  if (type == AviFcc("vids")) {
    label = L"Video";
    return VideoType(s, mt);
  }
  if (type == AviFcc("auds")) {
    label = L"Audio";
    return AudioType(s, mt);
  }
  if (type == AviFcc("mids") || type == AviFcc("txts")) {
    label = type == AviFcc("mids") ? L"Midi" : L"Text";
    mt.majortype = type == AviFcc("mids") ? MEDIATYPE_Midi : MEDIATYPE_Text;
    mt.subtype = GUID_NULL;
    mt.formattype = FORMAT_None;
    mt.lSampleSize = SampleSize(s, 1 << 20);
    return true;
  }
  if (type == AviFcc("iavs")) {
    label = L"Interleaved";
    std::vector<BYTE> block = s.strf;
    if (block.size() < sizeof(DVINFO)) block.resize(sizeof(DVINFO), 0);
    mt.majortype = MEDIATYPE_Interleaved;
    mt.subtype = FourCCGuid(s.strh.fccHandler);
    mt.formattype = FORMAT_DvInfo;
    if (!mt.SetFormat(block.data(), static_cast<ULONG>(block.size()))) return false;
    mt.lSampleSize = SampleSize(s, 1 << 20);
    return true;
  }
  return false;
}

// What the log says of a stream's chunks read where the file's own chunks
// put them, not where their index entries pointed.
std::string RelocatedText(size_t stream) {
  return "Stream " + std::to_string(stream) +
         ": chunks whose index entries pointed elsewhere were read where the file's own chunks put them";
}

}  // namespace

// ---------------------------------------------------------------------------
// CAviSplitterOutputPin

CAviSplitterOutputPin::CAviSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                             CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseSplitterOutputPin(mts, name, filter, lock, phr, 0) {}

HRESULT CAviSplitterOutputPin::CheckConnect(IPin* pin) {
  for (int i = 0;; ++i) {
    CMediaType mt;
    if (GetMediaType(i, &mt) != S_OK) break;
    if (mt.majortype == MEDIATYPE_Video &&
        (mt.subtype == FourCCGuid(AviFcc("IV32")) || mt.subtype == FourCCGuid(AviFcc("IV31")) ||
         mt.subtype == FourCCGuid(AviFcc("IF09")))) {
      const CLSID peer = GetPinFilterClsid(pin);
      if (peer == CLSID_VideoMixingRenderer || peer == CLSID_OverlayMixer) return E_FAIL;
    }
  }
  return CBaseSplitterOutputPin::CheckConnect(pin);
}

// ---------------------------------------------------------------------------
// CAviSplitterFilter: construction

CAviSplitterFilter::CAviSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CAviSplitterFilter"), outer, phr, clsid) {}

CAviSplitterFilter::~CAviSplitterFilter() {
  // The demux thread reads through the file: it goes first.
  {
    CAutoLock lock(this);
    if (ThreadExists()) {
      CallWorker(CMD_EXIT);
      Close();
    }
  }
  m_pFile.reset();
  m_tFrame.clear();
}

CUnknown* CAviSplitterFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CAviSplitterFilter(outer, phr);
}

HRESULT CAviSplitterFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CAviSplitterFilter>(outer, riid, ppv);
}

HRESULT STDMETHODCALLTYPE CAviSplitterFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  return CBaseSplitterFilter::NonDelegatingQueryInterface(riid, ppv);
}

CAviSourceFilter::CAviSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CAviSplitterFilter(outer, phr, CLSID_AviSourceFilter) {
  m_pInput.reset();
}

CAviSourceFilter::~CAviSourceFilter() = default;

CUnknown* CAviSourceFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CAviSourceFilter(outer, phr);
}

HRESULT CAviSourceFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CAviSourceFilter>(outer, riid, ppv);
}

// ---------------------------------------------------------------------------
// Outputs

HRESULT CAviSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  {
    std::lock_guard<std::mutex> index(m_indexLock);
    m_pFile.reset();
    m_tFrame.clear();
  }
  HRESULT hr = S_OK;
  std::unique_ptr<CAviFile> file(new (std::nothrow) CAviFile(reader, hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;

  const bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  const bool interleaved = file->IsInterleaved(shift);

  if (!interleaved || shift) {
    CWinApp* app = AfxGetApp();
    const UINT hide = app ? app->GetProfileInt("Settings", "HideAviSplitterWarning", 0) : 0;
    if (shift || (hide == 0 && m_pInput)) {
      CAviReportWnd report;
      const bool checked = report.DoModal(file.get(), hide != 0, !interleaved);
      if (app && checked != (hide != 0)) app->WriteProfileInt("Settings", "HideAviSplitterWarning", checked ? 1 : 0);
    }
    // Another AVI splitter may read it: the graph manager goes on to one.
    if (!interleaved) return E_FAIL;
  }

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = file->GetTotalTime();
  m_rtStop = m_rtNewStop = m_rtDuration;

  bool indexed = false;
  for (const auto& s : file->m_strms) indexed = indexed || !s->chunks.empty();

  for (size_t i = 0; i < file->m_strms.size(); ++i) {
    const AviStream& s = *file->m_strms[i];
    if (indexed && s.chunks.empty()) continue;
    CMediaType mt;
    const wchar_t* label = L"";
    if (!StreamType(s, mt, label)) continue;
    std::wstring name = Widen(s.strn);
    if (name.empty()) name = label;
    name += L" " + std::to_wstring(i);
    HRESULT hrPin = S_OK;
    auto pin = std::make_unique<CAviSplitterOutputPin>(std::vector<CMediaType>{mt}, name.c_str(), this, this, &hrPin);
    if (SUCCEEDED(hrPin)) AddOutputPin(static_cast<DWORD>(i), std::move(pin));
    if (s.mendedRate || s.mendedScale)
      Mended("Stream " + std::to_string(i) + ": its header's rate " + std::to_string(s.mendedRate) + "/" +
                 std::to_string(s.mendedScale) + " puts it far from the length the main header and the sound give; " +
                 "it is timed by the main header's frame time instead",
             "streams");
  }

  for (const auto& [id, key] : {std::pair<DWORD, const wchar_t*>{AviFcc("INAM"), L"TITL"},
                                {AviFcc("IART"), L"AUTH"},
                                {AviFcc("ICOP"), L"CPYR"},
                                {AviFcc("ISBJ"), L"DESC"}}) {
    auto it = file->m_info.find(id);
    if (it != file->m_info.end()) SetPropertyText(key, Widen(it->second).c_str());
  }

  {
    std::lock_guard<std::mutex> index(m_indexLock);
    m_tFrame.assign(file->m_avih.dwStreams, 0);
    m_pFile = std::move(file);
  }
  TellDamageOf(*m_pFile);
  for (size_t i = 0; i < m_pFile->m_strms.size(); ++i) {
    const AviStream& s = *m_pFile->m_strms[i];
    Mended(RelocatedText(i), "chunks", s.relocated);
    Mended("Stream " + std::to_string(i) +
               ": chunks whose index entries pointed elsewhere and that the file's own chunks do not show were "
               "passed over",
           "chunks", s.lost.size());
  }
  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

// ---------------------------------------------------------------------------
// Demultiplexing

bool CAviSplitterFilter::DemuxInit() {
  if (!m_pFile) return false;
  if (m_pFile->m_strms.empty()) return true;
  for (size_t i = 0; i < m_pFile->m_strms.size(); ++i)
    if (m_pFile->m_strms[i]->chunks.empty() && GetOutputPin(static_cast<DWORD>(i))) {
      ReIndex();
      break;
    }
  return true;
}

void CAviSplitterFilter::ReIndex() {
  // A file without a usable index: its chunks are found by walking it.
  m_nOpenProgress = 0;
  m_fAbort = false;
  {
    std::lock_guard<std::mutex> index(m_indexLock);
    m_rtDuration = 0;
  }
  CAviFile& f = *m_pFile;
  const size_t ns = f.m_strms.size();
  const LONGLONG length = std::max<LONGLONG>(f.GetLength(), 1);
  std::vector<std::vector<AviChunk>> chunks(ns);
  std::vector<UINT64> sizes(ns, 0);
  f.Seek(0);
  f.ScanChunks(static_cast<UINT64>(f.GetLength()), chunks, sizes, [&] {
    m_nOpenProgress = f.GetPos() * 100 / length;
    DWORD cmd = 0;
    if (CheckRequest(&cmd)) {
      if (cmd == CMD_EXIT)
        m_fAbort = true;
      else
        Reply(S_OK);
    }
    return !m_fAbort;
  });
  // The chunks go in whole or, when the scan was aborted, not at all.
  if (!m_fAbort) {
    std::lock_guard<std::mutex> index(m_indexLock);
    REFERENCE_TIME duration = 0;
    for (size_t i = 0; i < ns; ++i) {
      AviStream& s = *f.m_strms[i];
      s.chunks = std::move(chunks[i]);
      s.totalSize = sizes[i];
      if (!s.chunks.empty()) duration = std::max(duration, s.GetRefTime(s.chunks.size() - 1, s.totalSize));
    }
    m_rtDuration = duration;
  }
  m_fAbort = false;
  m_nOpenProgress = 100;
}

void CAviSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  std::fill(m_tFrame.begin(), m_tFrame.end(), 0);
  m_shift = 0;
  m_pFile->Seek(0);
  if (rt <= 0) return;

  // Every stream starts at the earliest key chunk any stream needs.
  const auto& strms = m_pFile->m_strms;
  UINT64 minPos = UINT64_MAX;
  for (const auto& s : strms) {
    if (s->IsRawSubtitleStream()) continue;
    const int k = s->GetKeyFrame(rt);
    const UINT64 pos = k >= 0 ? s->chunks[static_cast<size_t>(k)].filePos : static_cast<UINT64>(m_pFile->GetLength());
    minPos = std::min(minPos, pos);
  }
  for (size_t i = 0; i < strms.size() && i < m_tFrame.size(); ++i) {
    const auto& chunks = strms[i]->chunks;
    // Every stream with a part in the choice has a chunk there; a subtitle
    // file held as one chunk before it goes out again whole.
    size_t j = 0;
    while (j < chunks.size() && chunks[j].filePos < minPos) ++j;
    m_tFrame[i] = j < chunks.size() ? static_cast<DWORD>(j) : 0;
  }
}

UINT64 CAviSplitterFilter::ShiftedPos(UINT64 pos) const {
  const LONGLONG shifted = static_cast<LONGLONG>(pos) + m_shift;
  return shifted > 0 ? static_cast<UINT64>(shifted) : 0;
}

bool CAviSplitterFilter::ChunkHeaderAt(UINT64 pos, int stream, const AviStream& s, DWORD n, DWORD& length) {
  BYTE header[8];
  if (FAILED(m_pFile->ReadAt(pos, header, 8))) return false;
  DWORD id = 0, size = 0;
  std::memcpy(&id, header, 4);
  std::memcpy(&size, header + 4, 4);
  if (id == 0 || AviStreamOfChunkId(id) != stream || s.GetChunkSize(size) != s.SizeAfter(n) - s.chunks[n].size)
    return false;
  length = size;
  return true;
}

bool CAviSplitterFilter::ResyncChunks(UINT64 at) {
  // Damage moves chunks by what it added or took, and never further than
  // this from where the index (moved by the damage before) puts them.
  constexpr UINT64 kReach = 1 << 20;
  constexpr size_t kConfirm = 4;
  CAviFile& f = *m_pFile;
  const auto& strms = f.m_strms;
  const size_t ns = std::min(strms.size(), m_tFrame.size());

  // The chunks still to come after index position `pos`, in file order, as
  // far as `count` of them.
  auto following = [&](UINT64 pos, size_t count) {
    std::vector<std::pair<UINT64, std::pair<size_t, DWORD>>> after;
    for (size_t j = 0; j < ns; ++j) {
      const auto& chunks = strms[j]->chunks;
      for (DWORD k = m_tFrame[j], taken = 0; k < chunks.size() && taken < count; ++k) {
        if (chunks[k].filePos <= pos || !chunks[k].fChunkHdr) continue;
        after.push_back({chunks[k].filePos, {j, k}});
        taken++;
      }
    }
    std::sort(after.begin(), after.end());
    if (after.size() > count) after.resize(count);
    return after;
  };
  // Chunk n of stream j read at `pos` holds when its header is there and
  // the chunks after it in the index stand where the same move puts them;
  // a chunk with fewer after it than that is followed by what ends the
  // chunks (the index, another list, the file's end).
  auto holdsAt = [&](UINT64 pos, size_t j, DWORD n) {
    DWORD length = 0;
    if (!ChunkHeaderAt(pos, static_cast<int>(j), *strms[j], n, length)) return false;
    const LONGLONG move = static_cast<LONGLONG>(pos) - static_cast<LONGLONG>(strms[j]->chunks[n].filePos);
    const auto after = following(strms[j]->chunks[n].filePos, kConfirm);
    UINT64 end = pos + 8 + length + (length & 1);
    for (const auto& [filePos, which] : after) {
      const LONGLONG there = static_cast<LONGLONG>(filePos) + move;
      if (there < 0 || !ChunkHeaderAt(static_cast<UINT64>(there), static_cast<int>(which.first),
                                      *strms[which.first], which.second, length))
        return false;
      end = static_cast<UINT64>(there) + 8 + length + (length & 1);
    }
    return after.size() >= kConfirm || f.EndsChunks(end);
  };

  size_t foundStream = 0;
  DWORD foundChunk = 0;
  CBaseSplitterFile::Unit unit;
  unit.header = 8;
  // The first place after the damage where a chunk still to come stands
  // whole; of the chunks it may be (sound chunks are alike), the one the
  // least move puts there.
  unit.holds = [&](LONGLONG pos, const BYTE* head) {
    DWORD id = 0, size = 0;
    std::memcpy(&id, head, 4);
    std::memcpy(&size, head + 4, 4);
    const int stream = AviStreamOfChunkId(id);
    if (stream < 0 || static_cast<size_t>(stream) >= ns || !f.IsStreamChunk(id) ||
        static_cast<UINT64>(pos) + 8 + size > static_cast<UINT64>(f.GetLength()))
      return false;
    const auto j = static_cast<size_t>(stream);
    const auto& chunks = strms[j]->chunks;
    std::vector<std::pair<UINT64, DWORD>> candidates;
    for (DWORD k = m_tFrame[j]; k < chunks.size(); ++k) {
      const UINT64 expected = ShiftedPos(chunks[k].filePos);
      if (expected > static_cast<UINT64>(pos) + kReach) break;
      if (!chunks[k].fChunkHdr || chunks[k].storedSize != size || expected + kReach < static_cast<UINT64>(pos))
        continue;
      const UINT64 move = expected > static_cast<UINT64>(pos) ? expected - pos : pos - expected;
      candidates.push_back({move, k});
    }
    std::stable_sort(candidates.begin(), candidates.end());
    for (const auto& [move, k] : candidates) {
      if (!holdsAt(static_cast<UINT64>(pos), j, k)) continue;
      foundStream = j;
      foundChunk = k;
      return true;
    }
    return false;
  };
  // A chunk header of the file's streams whose chunk the file does not
  // hold whole: the file was cut there.
  unit.begun = [&](LONGLONG, const BYTE* head) {
    DWORD id = 0;
    std::memcpy(&id, head, 4);
    return f.IsStreamChunk(id);
  };
  const LONGLONG found = f.Resync(static_cast<LONGLONG>(at), f.GetLength(), unit);
  if (found < 0) return false;

  // What the index puts before the chunk found lay in the damage.
  const AviChunk& c = strms[foundStream]->chunks[foundChunk];
  // (One place holds one chunk: another stream's chunk indexed at the
  // chunk's own place lay there in the index only.)
  for (size_t j = 0; j < ns; ++j) {
    const auto& chunks = strms[j]->chunks;
    while (m_tFrame[j] < chunks.size() &&
           (chunks[m_tFrame[j]].filePos < c.filePos || (j != foundStream && chunks[m_tFrame[j]].filePos == c.filePos)))
      m_tFrame[j]++;
  }
  m_tFrame[foundStream] = foundChunk;
  m_shift = found - static_cast<LONGLONG>(c.filePos);
  return true;
}

bool CAviSplitterFilter::DemuxLoop() {
  CAviFile& f = *m_pFile;
  const size_t ns = std::min(f.m_strms.size(), m_tFrame.size());
  HRESULT hr = S_OK;

  while (SUCCEEDED(hr) && !CheckRequest(nullptr)) {
    // The stream whose next chunk lies first in the file; a subtitle file
    // held as one chunk goes out as soon as it is seen.
    int best = -1;
    UINT64 bestPos = 0;
    for (size_t i = 0; i < ns; ++i) {
      const AviStream& s = *f.m_strms[i];
      if (m_tFrame[i] >= s.chunks.size()) continue;
      if (s.IsRawSubtitleStream()) {
        best = static_cast<int>(i);
        break;
      }
      if (best < 0 || s.chunks[m_tFrame[i]].filePos < bestPos) {
        best = static_cast<int>(i);
        bestPos = s.chunks[m_tFrame[i]].filePos;
      }
    }
    if (best < 0) break;

    const auto i = static_cast<size_t>(best);
    const AviStream& s = *f.m_strms[i];
    const DWORD n = m_tFrame[i];
    const AviChunk& c = s.chunks[n];
    m_tFrame[i]++;

    // Streams nobody takes are walked past without reading them; a chunk
    // its index entry lost is passed over.
    CBaseSplitterOutputPin* pin = GetOutputPin(static_cast<DWORD>(i));
    if (!pin || !pin->IsConnected() || std::binary_search(s.lost.begin(), s.lost.end(), n)) continue;

    UINT64 data = c.filePos;
    DWORD length = c.storedSize;
    if (c.fChunkHdr) {
      const UINT64 at = ShiftedPos(c.filePos);
      LONGLONG located = -1;
      if (!ChunkHeaderAt(at, best, s, n, length)) {
        // An index entry that points elsewhere: the chunk is where the
        // file's own chunks put it. Else damage: every stream goes on at
        // the first chunk after it that stands whole, and the bytes passed
        // over are told.
        located = f.LocateInLayout(i, n, m_shift);
        if (located < 0) {
          m_tFrame[i] = n;
          if (!ResyncChunks(at)) break;
          continue;
        }
        Mended(RelocatedText(i), "chunks");
        length = c.storedSize;
      }
      data = (located >= 0 ? static_cast<UINT64>(located) : at) + 8;
    }

    auto p = std::make_unique<Packet>();
    p->TrackNumber = static_cast<DWORD>(i);
    p->bSyncPoint = c.fKeyFrame;
    p->rtStart = s.GetRefTime(n, c.size);
    p->rtStop = s.GetRefTime(n + 1ull, s.SizeAfter(n));
    // A chunk the file does not hold in full ends the delivery: what lies
    // before it has gone out.
    if (data + length > static_cast<UINT64>(f.GetLength())) break;
    try {
      p->resize(length);
    } catch (const std::bad_alloc&) {
      break;
    }
    if (length > 0 && FAILED(f.ReadAt(data, p->data(), length))) break;

    hr = DeliverPacket(std::move(p));
  }
  return true;
}

// ---------------------------------------------------------------------------
// IMediaSeeking

const AviStream* CAviSplitterFilter::FirstVideo() const {
  if (!m_pFile) return nullptr;
  for (const auto& s : m_pFile->m_strms)
    if (s->strh.fccType == AviFcc("vids")) return s.get();
  return nullptr;
}

STDMETHODIMP CAviSplitterFilter::IsFormatSupported(const GUID* format) {
  CheckPointer(format, E_POINTER);
  HRESULT hr = CBaseSplitterFilter::IsFormatSupported(format);
  if (hr == S_OK) return S_OK;
  return *format == TIME_FORMAT_FRAME ? S_OK : S_FALSE;
}

STDMETHODIMP CAviSplitterFilter::GetTimeFormat(GUID* format) {
  CheckPointer(format, E_POINTER);
  *format = m_timeFormat;
  return S_OK;
}

STDMETHODIMP CAviSplitterFilter::IsUsingTimeFormat(const GUID* format) {
  CheckPointer(format, E_POINTER);
  return *format == m_timeFormat ? S_OK : S_FALSE;
}

STDMETHODIMP CAviSplitterFilter::SetTimeFormat(const GUID* format) {
  CheckPointer(format, E_POINTER);
  if (IsFormatSupported(format) != S_OK) return E_FAIL;
  m_timeFormat = *format;
  return S_OK;
}

STDMETHODIMP CAviSplitterFilter::GetDuration(LONGLONG* duration) {
  CheckPointer(duration, E_POINTER);
  std::lock_guard<std::mutex> index(m_indexLock);
  if (!m_pFile) return VFW_E_NOT_CONNECTED;
  if (m_timeFormat == TIME_FORMAT_FRAME) {
    const AviStream* video = FirstVideo();
    if (!video) return E_UNEXPECTED;
    *duration = static_cast<LONGLONG>(video->chunks.size());
    return S_OK;
  }
  *duration = m_rtDuration;
  return S_OK;
}

STDMETHODIMP CAviSplitterFilter::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                                   const GUID* sourceFormat) {
  CheckPointer(target, E_POINTER);
  const GUID& to = targetFormat ? *targetFormat : m_timeFormat;
  const GUID& from = sourceFormat ? *sourceFormat : m_timeFormat;
  if (to == from) {
    *target = source;
    return S_OK;
  }
  std::lock_guard<std::mutex> index(m_indexLock);
  const AviStream* video = FirstVideo();
  if (!video) return E_FAIL;
  if (to == TIME_FORMAT_FRAME && from == TIME_FORMAT_MEDIA_TIME) {
    *target = video->GetFrame(source);
    return S_OK;
  }
  if (to == TIME_FORMAT_MEDIA_TIME && from == TIME_FORMAT_FRAME) {
    if (source < 0 || static_cast<UINT64>(source) >= video->chunks.size()) return E_FAIL;
    *target = video->GetRefTime(static_cast<UINT64>(source), video->chunks[static_cast<size_t>(source)].size);
    return S_OK;
  }
  return E_FAIL;
}

STDMETHODIMP CAviSplitterFilter::GetStopPosition(LONGLONG* stop) {
  CheckPointer(stop, E_POINTER);
  {
    std::lock_guard<std::mutex> index(m_indexLock);
    *stop = m_rtDuration;
  }
  if (m_timeFormat != TIME_FORMAT_FRAME) return S_OK;
  return ConvertTimeFormat(stop, &TIME_FORMAT_FRAME, *stop, &TIME_FORMAT_MEDIA_TIME) == S_OK ? S_OK : E_FAIL;
}

STDMETHODIMP CAviSplitterFilter::GetPositions(LONGLONG* current, LONGLONG* stop) {
  HRESULT hr = CBaseSplitterFilter::GetPositions(current, stop);
  if (FAILED(hr) || m_timeFormat != TIME_FORMAT_FRAME) return hr;
  for (LONGLONG* v : {current, stop})
    if (v && ConvertTimeFormat(v, &TIME_FORMAT_FRAME, *v, &TIME_FORMAT_MEDIA_TIME) != S_OK) return E_FAIL;
  return S_OK;
}

HRESULT CAviSplitterFilter::SetPositionsInternal(void* caller, LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                                 DWORD stopFlags) {
  if (m_timeFormat != TIME_FORMAT_FRAME)
    return CBaseSplitterFilter::SetPositionsInternal(caller, current, currentFlags, stop, stopFlags);

  const DWORD currentMode = currentFlags & AM_SEEKING_PositioningBitsMask;
  const DWORD stopMode = stopFlags & AM_SEEKING_PositioningBitsMask;
  if ((!current && !stop) || (currentMode == AM_SEEKING_NoPositioning && stopMode == AM_SEEKING_NoPositioning))
    return S_OK;

  // Positions in frames: relative ones are resolved against where the
  // filter stands (in frames), then all go on as media times.
  LONGLONG nowFrame = 0, stopFrame = 0;
  if (FAILED(GetPositions(&nowFrame, &stopFrame))) return E_FAIL;
  LONGLONG newCurrent = 0, newStop = 0, currentFrame = nowFrame;
  if (current && currentMode != AM_SEEKING_NoPositioning) {
    currentFrame = *current;
    if (currentMode != AM_SEEKING_AbsolutePositioning) currentFrame += nowFrame;
    if (ConvertTimeFormat(&newCurrent, &TIME_FORMAT_MEDIA_TIME, currentFrame, &TIME_FORMAT_FRAME) != S_OK)
      return E_FAIL;
    currentFlags = (currentFlags & ~AM_SEEKING_PositioningBitsMask) | AM_SEEKING_AbsolutePositioning;
  }
  if (stop && stopMode != AM_SEEKING_NoPositioning) {
    LONGLONG frame = *stop;
    if (stopMode == AM_SEEKING_RelativePositioning) frame += stopFrame;
    if (stopMode == AM_SEEKING_IncrementalPositioning) frame += currentFrame;
    if (ConvertTimeFormat(&newStop, &TIME_FORMAT_MEDIA_TIME, frame, &TIME_FORMAT_FRAME) != S_OK) return E_FAIL;
    stopFlags = (stopFlags & ~AM_SEEKING_PositioningBitsMask) | AM_SEEKING_AbsolutePositioning;
  }
  return CBaseSplitterFilter::SetPositionsInternal(caller, current ? &newCurrent : nullptr, currentFlags,
                                                   stop ? &newStop : nullptr, stopFlags);
}

// ---------------------------------------------------------------------------
// IKeyFrameInfo

STDMETHODIMP CAviSplitterFilter::KeyFrameCount(UINT& count) {
  std::lock_guard<std::mutex> index(m_indexLock);
  if (!m_pFile) return E_UNEXPECTED;
  count = 0;
  const AviStream* video = FirstVideo();
  if (!video) return S_OK;
  for (const AviChunk& c : video->chunks) count += c.fKeyFrame;
  return count == video->chunks.size() ? S_FALSE : S_OK;
}

STDMETHODIMP CAviSplitterFilter::GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) {
  CheckPointer(format, E_POINTER);
  CheckPointer(times, E_POINTER);
  std::lock_guard<std::mutex> index(m_indexLock);
  if (!m_pFile) return E_UNEXPECTED;
  if (*format != TIME_FORMAT_MEDIA_TIME && *format != TIME_FORMAT_FRAME) return E_INVALIDARG;
  UINT written = 0;
  if (const AviStream* video = FirstVideo()) {
    for (size_t i = 0; i < video->chunks.size() && written < count; ++i) {
      const AviChunk& c = video->chunks[i];
      if (!c.fKeyFrame) continue;
      times[written++] = *format == TIME_FORMAT_MEDIA_TIME ? video->GetRefTime(i, c.size) : static_cast<REFERENCE_TIME>(i);
    }
  }
  count = written;
  return S_OK;
}

// ---------------------------------------------------------------------------
// The platform's AVI splitter

namespace {

// The splitter as the platform's class: it answers to that class id.
HRESULT CreatePlatformSplitter(IUnknown* outer, REFIID riid, void** ppv) {
  struct PlatformAviSplitter : CAviSplitterFilter {
    PlatformAviSplitter(LPUNKNOWN o, HRESULT* phr) : CAviSplitterFilter(o, phr, CLSID_AviSplitter) {}
  };
  return CreateFilterObject<PlatformAviSplitter>(outer, riid, ppv);
}

}  // namespace

HRESULT AviRegisterPlatformSplitter() {
  HRESULT hr = CoRegisterClass(CLSID_AviSplitter, &CreatePlatformSplitter, L"AVI Splitter");
  if (FAILED(hr)) return hr;
  if (dshow_reg::SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(CLSID_AviSplitter), L"", L"AVI Splitter") !=
      ERROR_SUCCESS)
    return E_FAIL;
  CComPtr<IFilterMapper2> mapper;
  hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                        reinterpret_cast<void**>(&mapper));
  if (FAILED(hr)) return hr;
  const REGPINTYPES in{&MEDIATYPE_Stream, &MEDIASUBTYPE_Avi};
  const REGPINTYPES out{&MEDIATYPE_Video, &GUID_NULL};
  const REGFILTERPINS2 pins[] = {{0, 1, 1, &in, 0, nullptr, nullptr},
                                 {REG_PINFLAG_B_OUTPUT, 1, 1, &out, 0, nullptr, nullptr}};
  REGFILTER2 reg{};
  reg.dwVersion = 2;
  reg.dwMerit = MERIT_NORMAL;
  reg.cPins2 = 2;
  reg.rgPins2 = pins;
  return mapper->RegisterFilter(CLSID_AviSplitter, L"AVI Splitter", nullptr, &CLSID_LegacyAmFilterCategory, nullptr,
                                &reg);
}
