#include "splitters/realmedia/RealMediaSplitter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/FilterFactory.h"
#include "foundation/FilterHelpers.h"
#include "platform/com/ComBase.h"

namespace {

// 8-bit texts of the file are in the system's ANSI code page.
std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return std::wstring(s.begin(), s.end());
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

void PutLe16(std::vector<BYTE>& v, unsigned x) {
  v.push_back(static_cast<BYTE>(x));
  v.push_back(static_cast<BYTE>(x >> 8));
}
void PutLe32(std::vector<BYTE>& v, DWORD x) {
  PutLe16(v, x & 0xFFFF);
  PutLe16(v, x >> 16);
}
void PutLe32At(BYTE* p, DWORD x) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<BYTE>(x >> (8 * i));
}


bool IsRealVideo(const GUID& subtype) {
  for (const char* fcc : {"RV10", "RV20", "RV30", "RV40", "RV41"})
    if (subtype == FourCCGuid(MAKEFOURCC(fcc[0], fcc[1], fcc[2], fcc[3]))) return true;
  return false;
}

bool IsRealAac(const GUID& subtype) {
  return subtype == FourCCGuid(MAKEFOURCC('R', 'A', 'A', 'C')) || subtype == FourCCGuid(MAKEFOURCC('R', 'A', 'C', 'P')) ||
         subtype == FourCCGuid(0x000000FF);
}

struct AudioTag {
  const char* code;
  WORD tag;
};
constexpr AudioTag kAudioTags[] = {{"DNET", 0x2005}, {"ATRC", 0x270},  {"14_4", 0x2002}, {"28_8", 0x2003},
                                   {"COOK", 0x2004}, {"RAAC", 0x2006}, {"RACP", 0x2007}, {"SIPR", 0x130}};

// The video types of a RealVideo stream: the header's picture size, and the
// probed one after it when they differ.
std::vector<CMediaType> VideoTypes(const RMMediaProperties& mp) {
  std::vector<CMediaType> mts;
  RMVideoFormat vf;
  if (!vf.Parse(mp.typeSpecData.data(), mp.typeSpecData.size())) return mts;
  const ULONG extra = static_cast<ULONG>(mp.typeSpecData.size());

  CMediaType mt;
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = FourCCGuid(vf.Codec());
  mt.formattype = FORMAT_VideoInfo;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER) + extra));
  if (!vih) return mts;
  memcpy(vih + 1, mp.typeSpecData.data(), extra);
  if (vf.fps > 0x10000) vih->AvgTimePerFrame = static_cast<REFERENCE_TIME>(static_cast<double>(UNITS) * 65536.0 / vf.fps);
  vih->dwBitRate = mp.avgBitRate;
  BITMAPINFOHEADER& bih = vih->bmiHeader;
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = vf.w;
  bih.biHeight = vf.h;
  bih.biPlanes = 3;
  bih.biBitCount = vf.bpp;
  bih.biCompression = vf.Codec();
  bih.biSizeImage = static_cast<DWORD>(vf.w) * vf.h * 3 / 2;
  mts.push_back(mt);

  if (mp.width && mp.height) {
    CMediaType mt2;
    mt2.majortype = MEDIATYPE_Video;
    mt2.subtype = mt.subtype;
    mt2.formattype = FORMAT_VideoInfo2;
    auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(mt2.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2) + extra));
    if (vih2) {
      // Rectangles, bit rates and frame time share their places.
      memcpy(vih2, vih, offsetof(VIDEOINFOHEADER, bmiHeader));
      vih2->dwPictAspectRatioX = vf.w;
      vih2->dwPictAspectRatioY = vf.h;
      vih2->bmiHeader = bih;
      vih2->bmiHeader.biWidth = static_cast<LONG>(mp.width);
      vih2->bmiHeader.biHeight = static_cast<LONG>(mp.height);
      memcpy(vih2 + 1, mp.typeSpecData.data(), extra);
      mts.push_back(mt2);
    }
  }
  return mts;
}

// The audio types of a RealAudio stream; none for an unknown codec or
// header version.
std::vector<CMediaType> AudioTypes(const RMMediaProperties& mp) {
  std::vector<CMediaType> mts;
  RMAudioFormat af;
  if (!af.Parse(mp.typeSpecData.data(), mp.typeSpecData.size())) return mts;
  char code[5] = {};
  for (int i = 0; i < 4; i++) code[i] = static_cast<char>(std::toupper(af.codec[i]));
  // RealAudio 14.4 as most files (and ffmpeg) name it.
  if (memcmp(code, "LPCJ", 4) == 0) memcpy(code, "14_4", 4);
  WORD tag = 0;
  for (const AudioTag& t : kAudioTags)
    if (memcmp(code, t.code, 4) == 0) tag = t.tag;
  if (!tag) return mts;

  const ULONG extra = static_cast<ULONG>(mp.typeSpecData.size());
  CMediaType mt;
  mt.majortype = MEDIATYPE_Audio;
  mt.subtype = FourCCGuid(MAKEFOURCC(code[0], code[1], code[2], code[3]));
  mt.formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX) + extra));
  if (!wfe) return mts;
  memcpy(wfe + 1, mp.typeSpecData.data(), extra);
  wfe->wFormatTag = tag;
  wfe->nChannels = af.channels;
  wfe->wBitsPerSample = af.sampleSize;
  wfe->nSamplesPerSec = af.sampleRate;
  wfe->nBlockAlign = af.frameSize;
  wfe->nAvgBytesPerSec = mp.avgBitRate / 8;
  wfe->cbSize = 0;
  mts.push_back(mt);

  if (memcmp(code, "DNET", 4) == 0) {
    CMediaType ac3 = mt;
    ac3.subtype = MEDIASUBTYPE_WAVE_DOLBY_AC3;
    reinterpret_cast<WAVEFORMATEX*>(ac3.pbFormat)->wFormatTag = 0x2000;
    mts.insert(mts.begin(), ac3);
  } else if (memcmp(code, "RAAC", 4) == 0 || memcmp(code, "RACP", 4) == 0) {
    CMediaType aac = mt;
    aac.subtype = FourCCGuid(0x000000FF);
    const BYTE* cd = mp.typeSpecData.data() + af.codecDataOffset;
    BYTE config[16];
    size_t configLength = 0;
    if (af.codecDataLength >= 1 && cd[0] == 2) {
      configLength = af.codecDataLength - 1;
    } else {
      configLength = static_cast<size_t>(MakeAacAudioSpecificConfig(config, 1, af.sampleRate, af.channels));
      cd = nullptr;
    }
    auto* w = reinterpret_cast<WAVEFORMATEX*>(aac.ReallocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + configLength)));
    if (w && configLength <= 0xFFFF) {
      w->wFormatTag = 0xFF;
      w->cbSize = static_cast<WORD>(configLength);
      memcpy(w + 1, cd ? cd + 1 : config, configLength);
      mts.insert(mts.begin(), aac);
    }
  }
  return mts;
}

}  // namespace

std::vector<BYTE> MakeKuw2Block(const RMSubtitle& s) {
  const std::wstring name = Widen(s.name);
  std::vector<BYTE> b;
  b.reserve(19 + 2 * name.size() + s.data.size());
  b.insert(b.end(), {'K', 'U', 'W', '2', 0});
  PutLe16(b, 2);
  PutLe32(b, static_cast<DWORD>(2 * name.size() + 2));
  for (wchar_t c : name) PutLe16(b, static_cast<unsigned>(c) <= 0xFFFF ? static_cast<unsigned>(c) : 0xFFFD);
  PutLe16(b, 0);
  PutLe16(b, 4);
  PutLe32(b, static_cast<DWORD>(s.data.size()));
  b.insert(b.end(), s.data.begin(), s.data.end());
  return b;
}

// ---------------------------------------------------------------------------
// Output pin

CRealMediaSplitterOutputPin::CRealMediaSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                                         CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseSplitterOutputPin(mts, name, filter, lock, phr) {}

CRealMediaSplitterOutputPin::~CRealMediaSplitterOutputPin() = default;

void CRealMediaSplitterOutputPin::ResetSegments() {
  CAutoLock lock(&m_csSegmentLock);
  m_rtStart = 0;
  m_fDiscontinuity = m_fSyncPoint = m_fSingleSlice = false;
  m_segments.clear();
}

HRESULT CRealMediaSplitterOutputPin::DeliverEndFlush() {
  {
    CAutoLock lock(&m_csQueueLock);
    ResetSegments();
  }
  return CBaseSplitterOutputPin::DeliverEndFlush();
}

HRESULT CRealMediaSplitterOutputPin::DeliverPacket(std::unique_ptr<Packet> p) {
  if (!p) return S_OK;
  const GUID subtype = CurrentMediaType().subtype;
  if (subtype == MEDIASUBTYPE_WAVE_DOLBY_AC3) {
    for (size_t i = 0; i + 1 < p->size(); i += 2) std::swap((*p)[i], (*p)[i + 1]);
  } else if (IsRealVideo(subtype)) {
    return DeliverVideo(std::move(p));
  } else if (IsRealAac(subtype)) {
    return DeliverAac(std::move(p));
  }
  return CBaseSplitterOutputPin::DeliverPacket(std::move(p));
}

HRESULT CRealMediaSplitterOutputPin::DeliverAac(std::unique_ptr<Packet> p) {
  const CMediaType& mt = CurrentMediaType();
  REFERENCE_TIME d = 0;
  if (mt.formattype == FORMAT_WaveFormatEx && mt.cbFormat >= sizeof(WAVEFORMATEX)) {
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    if (wfe->nSamplesPerSec) d = 10240000000LL / wfe->nSamplesPerSec * (wfe->cbSize > 2 ? 2 : 1);
  }
  if (p->size() < 2) return S_OK;
  const BYTE* data = p->data() + 2;
  size_t remaining = p->size() - 2;
  std::vector<size_t> sizes;
  size_t total = 0;
  while (total < remaining && remaining >= 2) {
    const size_t size = static_cast<size_t>(data[0]) << 8 | data[1];
    data += 2;
    remaining -= 2;
    sizes.push_back(size);
    total += size;
  }

  HRESULT hr = S_OK;
  REFERENCE_TIME t = p->rtStart;
  bool first = true;
  for (size_t size : sizes) {
    // Units that run past the packet are not delivered.
    if (size > remaining) break;
    if (size > 0) {
      auto unit = std::make_unique<Packet>();
      unit->TrackNumber = p->TrackNumber;
      unit->bDiscontinuity = first ? p->bDiscontinuity : FALSE;
      unit->bSyncPoint = TRUE;
      unit->rtStart = t;
      unit->rtStop = t + d;
      unit->assign(data, data + size);
      first = false;
      hr = CBaseSplitterOutputPin::DeliverPacket(std::move(unit));
      if (FAILED(hr)) return hr;
    }
    t += d;
    data += size;
    remaining -= size;
  }
  return hr;
}

HRESULT CRealMediaSplitterOutputPin::DeliverVideo(std::unique_ptr<Packet> p) {
  CAutoLock lock(&m_csQueueLock);
  HRESULT hr = S_OK;
  if (p->rtStart != m_rtStart) {
    hr = DeliverSegments();
    if (FAILED(hr)) return hr;
  }
  if (p->bDiscontinuity) m_fDiscontinuity = true;
  m_fSyncPoint = p->bSyncPoint != FALSE;
  m_rtStart = p->rtStart;

  const BYTE* data = p->data();
  size_t remaining = p->size();
  while (remaining > 0) {
    RVSubPacket sp;
    // A malformed sub-packet leaves no way to find the next one.
    if (!ParseRVSubPacket(data, remaining, sp)) break;
    if (sp.singleSlice) m_fSingleSlice = true;
    if (sp.hasTimestamp) m_rtStart = static_cast<REFERENCE_TIME>(sp.timestamp) * 10000 - SegmentStart();
    data += sp.headerBytes;
    remaining -= sp.headerBytes;
    const size_t n = sp.Bytes(remaining);
    if (n > 0) {
      CAutoLock segLock(&m_csSegmentLock);
      if (m_segments.size() < kMaxSlices) {
        Segment s;
        s.data.assign(data, data + n);
        s.offset = sp.offset;
        m_segments.push_back(std::move(s));
      }
    }
    data += n;
    remaining -= n;
    if ((sp.header & 0x80) || sp.frameLength <= sp.offset + n) {
      hr = DeliverSegments();
      if (FAILED(hr)) return hr;
    }
  }
  return hr;
}

HRESULT CRealMediaSplitterOutputPin::DeliverSegments() {
  std::unique_ptr<Packet> p;
  {
    CAutoLock lock(&m_csSegmentLock);
    if (m_segments.empty()) {
      m_rtStart = 0;
      m_fDiscontinuity = m_fSyncPoint = m_fSingleSlice = false;
      return S_OK;
    }
    size_t length = 0;
    for (const Segment& s : m_segments) length = std::max(length, s.offset + s.data.size());
    const size_t count = m_fSingleSlice ? 1 : m_segments.size();
    p = std::make_unique<Packet>();
    p->TrackNumber = 0xFFFFFFFF;
    p->bDiscontinuity = m_fDiscontinuity;
    p->bSyncPoint = m_fSyncPoint;
    p->rtStart = m_rtStart;
    p->rtStop = m_rtStart + 1;
    // Gaps between the segments stay zero.
    p->assign(1 + 8 * count + length, 0);
    BYTE* out = p->data();
    out[0] = static_cast<BYTE>(count - 1);
    BYTE* entry = out + 1;
    if (m_fSingleSlice) {
      PutLe32At(entry, 1);
      PutLe32At(entry + 4, 0);
    } else {
      for (const Segment& s : m_segments) {
        PutLe32At(entry, 1);
        PutLe32At(entry + 4, s.offset);
        entry += 8;
      }
    }
    BYTE* frame = out + 1 + 8 * count;
    for (const Segment& s : m_segments) memcpy(frame + s.offset, s.data.data(), s.data.size());
  }
  HRESULT hr = CBaseSplitterOutputPin::DeliverPacket(std::move(p));
  ResetSegments();
  return hr;
}

// ---------------------------------------------------------------------------
// Construction

CRealMediaSplitterFilter::CRealMediaSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CRealMediaSplitterFilter"), outer, phr, clsid) {}

CRealMediaSplitterFilter::~CRealMediaSplitterFilter() {
  // The demux thread reads through the file: it must be gone before the
  // file is.
  {
    CAutoLock lock(this);
    if (ThreadExists()) {
      CallWorker(CMD_EXIT);
      Close();
    }
  }
  m_pFile.reset();
}

CUnknown* CRealMediaSplitterFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CRealMediaSplitterFilter(outer, phr);
}

HRESULT CRealMediaSplitterFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CRealMediaSplitterFilter>(outer, riid, ppv);
}

CRealMediaSourceFilter::CRealMediaSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CRealMediaSplitterFilter(outer, phr, CLSID_RealMediaSourceFilter) {
  m_pInput.reset();
}

CRealMediaSourceFilter::~CRealMediaSourceFilter() = default;

CUnknown* CRealMediaSourceFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CRealMediaSourceFilter(outer, phr);
}

HRESULT CRealMediaSourceFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CRealMediaSourceFilter>(outer, riid, ppv);
}

// ---------------------------------------------------------------------------
// Outputs

void CRealMediaSplitterFilter::AddChapters(const RMMediaProperties& mp) {
  const auto props = ParseLogicalFileInfo(mp.typeSpecData.data(), mp.typeSpecData.size());
  for (const auto& [name, value] : props) {
    if (name.size() < 11 || name.compare(0, 7, "CHAPTER") != 0 || name.find("TIME") != name.size() - 4) continue;
    const int number = atoi(name.c_str() + 7);
    if (number <= 0) continue;
    int h = 0, m = 0, s = 0, ms = 0;
    char c1, c2, c3;
    if (sscanf(value.c_str(), "%d%c%d%c%d%c%d", &h, &c1, &m, &c2, &s, &c3, &ms) != 7) continue;
    // Far beyond any real chapter, and the product would overflow.
    if (h < 0 || m < 0 || s < 0 || ms < 0 || h > 1000000) continue;
    char key[32];
    snprintf(key, sizeof key, "CHAPTER%02dNAME", number);
    auto it = props.find(key);
    std::wstring title;
    if (it != props.end() && !it->second.empty()) {
      title = Widen(it->second);
    } else {
      title = L"Chapter " + std::to_wstring(number);
    }
    const LONGLONG t = ((static_cast<LONGLONG>(h) * 60 + m) * 60 + s) * 1000 + ms;
    AppendChapter(t * 10000, title.c_str());
  }
  SortChapters();
}

HRESULT CRealMediaSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  BYTE magic[4];
  if (reader->SyncRead(0, 4, magic) != S_OK || memcmp(magic, ".RMF", 4) != 0) return E_FAIL;

  m_pFile.reset();
  HRESULT hr = S_OK;
  std::unique_ptr<CRMFile> file(new (std::nothrow) CRMFile(reader, &hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = static_cast<REFERENCE_TIME>(m_pFile->m_p.tDuration) * 10000;
  m_rtStop = m_rtNewStop = 0;

  for (const RMMediaProperties& mp : m_pFile->m_mps) {
    std::wstring name = L"Output " + std::wstring(mp.stream < 10 ? L"0" : L"") + std::to_wstring(mp.stream);
    if (!mp.name.empty()) name += L" (" + Widen(mp.name) + L")";

    std::vector<CMediaType> mts;
    if (mp.mime == "video/x-pn-realvideo") {
      mts = VideoTypes(mp);
    } else if (mp.mime == "audio/x-pn-realaudio") {
      mts = AudioTypes(mp);
    } else if (mp.mime == "logical-fileinfo") {
      AddChapters(mp);
    }
    if (mts.empty()) continue;
    const ULONG sampleSize = std::max<ULONG>(static_cast<ULONG>(std::min<uint64_t>(mp.maxPacketSize * 16ull, 0xFFFFFFFFu)), 1);
    for (CMediaType& mt : mts) mt.SetSampleSize(sampleSize);

    HRESULT hrPin = S_OK;
    auto pin = std::make_unique<CRealMediaSplitterOutputPin>(mts, name.c_str(), this, this, &hrPin);
    if (SUCCEEDED(hrPin) && SUCCEEDED(AddOutputPin(mp.stream, std::move(pin))) && m_rtDuration == 0)
      m_pFile->m_p.tDuration = std::max(m_pFile->m_p.tDuration, mp.tDuration);
  }

  for (size_t i = 0; i < m_pFile->m_subs.size(); i++) {
    const RMSubtitle& s = m_pFile->m_subs[i];
    std::wstring name = L"Subtitle " + std::wstring(i < 10 ? L"0" : L"") + std::to_wstring(i);
    if (!s.name.empty()) name += L" (" + Widen(s.name) + L")";
    CMediaType mt;
    mt.majortype = MEDIATYPE_Text;
    mt.subtype = GUID_NULL;
    mt.formattype = GUID_NULL;
    mt.SetSampleSize(1);
    HRESULT hrPin = S_OK;
    auto pin = std::make_unique<CRealMediaSplitterOutputPin>(std::vector<CMediaType>{mt}, name.c_str(), this, this,
                                                             &hrPin);
    if (SUCCEEDED(hrPin)) AddOutputPin(~static_cast<DWORD>(i), std::move(pin));
  }

  m_rtDuration = m_rtStop = m_rtNewStop = static_cast<REFERENCE_TIME>(m_pFile->m_p.tDuration) * 10000;

  SetPropertyText(L"TITL", Widen(m_pFile->m_cd.title).c_str());
  SetPropertyText(L"AUTH", Widen(m_pFile->m_cd.author).c_str());
  SetPropertyText(L"CPYR", Widen(m_pFile->m_cd.copyright).c_str());
  SetPropertyText(L"DESC", Widen(m_pFile->m_cd.comment).c_str());

  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

// ---------------------------------------------------------------------------
// Demultiplexing

void CRealMediaSplitterFilter::ResetSeek() {
  m_seekpos = 0;
  m_seekpacket = 0;
  m_seekfilepos = 0;
}

bool CRealMediaSplitterFilter::DemuxInit() {
  if (!m_pFile) return false;
  CRMFile& f = *m_pFile;
  if (!f.m_irs.empty()) {
    ResetSeek();
    return true;
  }

  m_nOpenProgress = 0;
  REFERENCE_TIME scanned = 0;
  const DWORD indexStream = f.GetIndexStream();
  DWORD lastKey = 0xFFFFFFFF;
  DWORD packet = 0;
  const LONGLONG length = std::max<LONGLONG>(f.GetLength(), 1);
  for (const RMDataChunk& dc : f.m_dcs) {
    if (m_fAbort) break;
    f.Seek(dc.pos);
    RMMediaPacketHeader h;
    for (DWORD i = 0; i < dc.nPackets && !m_fAbort; i++, packet++) {
      LONGLONG pos = f.GetPos();
      // A damaged stretch is passed over as the demux loop does (it notes it).
      if (!f.PacketAt(pos, dc.end, false)) {
        pos = f.FindPacket(pos + 1, dc.end);
        if (pos < 0) break;
      }
      f.Seek(pos);
      if (f.Read(h, false) != S_OK) break;
      scanned = std::max(scanned, static_cast<REFERENCE_TIME>(h.tStart) * 10000);
      if (h.stream == indexStream && (h.flags & 2) && h.tStart != lastKey) {
        f.m_irs.push_back({h.tStart, static_cast<DWORD>(pos), packet});
        lastKey = h.tStart;
      }
      m_nOpenProgress = pos * 100 / length;
      DWORD cmd;
      if (CheckRequest(&cmd)) {
        if (cmd == CMD_EXIT) {
          m_fAbort = true;
        } else {
          Reply(S_OK);
        }
      }
    }
  }
  m_nOpenProgress = 100;
  // The file's own duration stands; the last packet's time only fills in
  // for one the file left at 0.
  if (m_rtDuration == 0 && !m_fAbort) m_rtDuration = scanned;
  if (m_fAbort) f.m_irs.clear();
  m_fAbort = false;
  ResetSeek();
  return true;
}

void CRealMediaSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  CRMFile& f = *m_pFile;
  auto fromStart = [&] {
    ResetSeek();
    if (!f.m_dcs.empty()) m_seekfilepos = f.m_dcs[0].pos;
  };
  if (rt <= 0) return fromStart();
  const LONGLONG t = rt / 10000;
  for (auto ir = f.m_irs.rbegin(); ir != f.m_irs.rend(); ++ir) {
    if (ir->tStart > t) continue;
    for (size_t j = f.m_dcs.size(); j-- > 0;) {
      if (f.m_dcs[j].pos > ir->ptrFilePos) continue;
      m_seekpos = j;
      m_seekfilepos = ir->ptrFilePos;
      DWORD packet = ir->packet;
      for (size_t k = 0; k < j; k++) packet -= std::min(packet, f.m_dcs[k].nPackets);
      m_seekpacket = packet;
      return;
    }
    break;
  }
  fromStart();
}

bool CRealMediaSplitterFilter::NextPacket(const RMDataChunk& dc, bool last, bool& damaged) {
  CRMFile& f = *m_pFile;
  const LONGLONG at = f.GetPos();
  // After damage the chunk's size may be off by what the damage added:
  // packets that go on past it are read too, but no damage is looked
  // through there.
  if (at + 12 > dc.end) {
    if (!damaged || !f.PacketAt(at, f.GetLength(), true)) return false;
    f.Seek(at);
    return true;
  }
  if (f.PacketAt(at, damaged ? f.GetLength() : dc.end, false)) {
    f.Seek(at);
    return true;
  }
  // Damage that runs to the end of the last chunk leaves nothing to read.
  if (f.Resync(at, dc.end, f.PacketUnit(dc.end), last ? CBaseSplitterFile::Tail::ToEnd : CBaseSplitterFile::Tail::Within) < 0)
    return false;
  damaged = true;
  return true;
}

bool CRealMediaSplitterFilter::DemuxLoop() {
  CRMFile& f = *m_pFile;
  HRESULT hr = S_OK;
  for (size_t i = 0; i < f.m_subs.size() && SUCCEEDED(hr) && !CheckRequest(nullptr); i++) {
    auto p = std::make_unique<Packet>();
    p->TrackNumber = ~static_cast<DWORD>(i);
    p->bSyncPoint = TRUE;
    p->rtStart = 0;
    p->rtStop = 1;
    std::vector<BYTE> block = MakeKuw2Block(f.m_subs[i]);
    p->assign(block.begin(), block.end());
    hr = DeliverPacket(std::move(p));
  }

  for (size_t c = m_seekpos; c < f.m_dcs.size() && SUCCEEDED(hr) && !CheckRequest(nullptr); c++) {
    const RMDataChunk& dc = f.m_dcs[c];
    f.Seek(m_seekfilepos > 0 ? m_seekfilepos : dc.pos);
    RMMediaPacketHeader h;
    // Once damage has been passed over the packet count no longer tells
    // where the chunk ends; its size does.
    bool damaged = false;
    for (DWORD i = m_seekpacket; (i < dc.nPackets || damaged) && SUCCEEDED(hr) && !CheckRequest(nullptr); i++) {
      if (!NextPacket(dc, c + 1 == f.m_dcs.size(), damaged)) break;
      if (f.Read(h, true) != S_OK) break;
      auto p = std::make_unique<Packet>();
      p->TrackNumber = h.stream;
      p->bSyncPoint = (h.flags & 2) ? TRUE : FALSE;
      p->rtStart = static_cast<REFERENCE_TIME>(h.tStart) * 10000;
      p->rtStop = p->rtStart + 1;
      p->swap(h.pData);
      hr = DeliverPacket(std::move(p));
    }
    m_seekpacket = 0;
    m_seekfilepos = 0;
  }
  return true;
}

// ---------------------------------------------------------------------------
// IKeyFrameInfo

STDMETHODIMP CRealMediaSplitterFilter::KeyFrameCount(UINT& count) {
  if (!m_pFile) return E_UNEXPECTED;
  count = static_cast<UINT>(m_pFile->m_irs.size());
  return S_OK;
}

STDMETHODIMP CRealMediaSplitterFilter::GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) {
  CheckPointer(format, E_POINTER);
  CheckPointer(times, E_POINTER);
  if (!m_pFile) return E_UNEXPECTED;
  if (*format != TIME_FORMAT_MEDIA_TIME) return E_INVALIDARG;
  UINT filled = 0;
  for (const RMIndexRecord& ir : m_pFile->m_irs) {
    if (filled >= count) break;
    times[filled++] = static_cast<REFERENCE_TIME>(ir.tStart) * 10000;
  }
  count = filled;
  return S_OK;
}
