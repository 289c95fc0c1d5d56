#include "splitters/mpeg/MpegSplitter.h"

#include <climits>
#include <cstdio>
#include <cwchar>
#include <new>

#include "foundation/FilterFactory.h"
#include "platform/com/ComBase.h"
#include "platform/win32/Thread.h"

// ---------------------------------------------------------------------------
// Construction

CMpegSplitterFilter::CMpegSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CMpegSplitterFilter"), outer, phr, clsid) {}

CMpegSplitterFilter::~CMpegSplitterFilter() {
  StopDemuxThread();
  m_pFile.reset();
}

CUnknown* CMpegSplitterFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CMpegSplitterFilter(outer, phr);
}

HRESULT CMpegSplitterFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CMpegSplitterFilter>(outer, riid, ppv);
}

HRESULT STDMETHODCALLTYPE CMpegSplitterFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IAMStreamSelect) return GetInterfaceAs<IAMStreamSelect>(this, ppv);
  return CBaseSplitterFilter::NonDelegatingQueryInterface(riid, ppv);
}

CMpegSourceFilter::CMpegSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CMpegSplitterFilter(outer, phr, CLSID_MpegSourceFilter) {
  m_pInput.reset();
}

CMpegSourceFilter::~CMpegSourceFilter() = default;

CUnknown* CMpegSourceFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
  return new (std::nothrow) CMpegSourceFilter(outer, phr);
}

HRESULT CMpegSourceFilter::CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateFilterObject<CMpegSourceFilter>(outer, riid, ppv);
}

// ---------------------------------------------------------------------------
// Outputs

HRESULT CMpegSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  m_pFile.reset();
  HRESULT hr = E_OUTOFMEMORY;
  std::unique_ptr<CMpegSplitterFile> file(new (std::nothrow) CMpegSplitterFile(reader, hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = 0;
  m_rtStop = m_rtNewStop = 0;

  for (int kind = 0; kind < CMpegSplitterFile::kindCount; kind++) {
    // A copy: the list may grow on the demux thread later on.
    CMpegSplitterFile::CStreamList list;
    {
      CAutoLock lock(&m_pFile->m_csProps);
      list = m_pFile->m_streams[kind];
    }
    for (const auto& s : list) {
      HRESULT hrPin = S_OK;
      std::vector<CMediaType> mts{s.mt};
      auto pin = std::make_unique<CMpegSplitterOutputPin>(mts, CMpegSplitterFile::CStreamList::ToString(kind), this,
                                                          this, &hrPin);
      if (SUCCEEDED(hrPin) && SUCCEEDED(AddOutputPin(s.TrackNumber(), std::move(pin)))) break;
    }
  }

  if (m_pFile->IsComplete() && m_pFile->rate > 0) {
    // In double: the length times 10^7 overflows 64 bits past about 900 GB.
    double duration = static_cast<double>(m_pFile->GetLength()) * static_cast<double>(UNITS) / m_pFile->rate;
    m_rtDuration = static_cast<REFERENCE_TIME>(std::min(duration, 9.0e18));
    m_rtStop = m_rtNewStop = m_rtDuration;
  }

  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

// ---------------------------------------------------------------------------
// Demultiplexing

bool CMpegSplitterFilter::DemuxInit() {
  if (!m_pFile) return false;
  rtStartOffset = 0;
  return true;
}

std::unique_ptr<CStreamTimeline> CMpegSplitterFilter::CreateTimeline(CDamageLog* log) {
  return std::make_unique<CMpegJoin>(log);
}

bool CMpegSplitterFilter::DemuxLoop() {
  CMpegSplitterFile& f = *m_pFile;
  const REFERENCE_TIME offset = rtStartOffset ? rtStartOffset : f.rtMin;
  // The times count from the file's first (or the one a seek estimated).
  RestartTimeline(offset, rtStartOffset ? 0 : m_rtDuration);
  m_lastScr = INVALID_TIME;
  HRESULT hr = S_OK;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr)) {
    f.UpdateRateIfComplete();
    hr = f.HasMoreData(512000, 1);
    if (hr != S_OK) continue;
    LONGLONG before = f.GetPos();
    // Where one unit ended and no next one begins, the bytes up to the
    // next unit the stream's structure confirms are damage.
    if (before == m_unitEnd && !f.UnitAt(before)) {
      const LONGLONG next = f.PastStuffing(before);
      if (next >= 0 && (next == f.GetLength() || f.UnitAt(next))) {
        before = next;
      } else {
        f.Resync(before, f.GetLength(), f.ResyncUnit());
        before = f.GetPos();
      }
    }
    f.Seek(before);
    m_unitEnd = -1;
    hr = DemuxNextPacket();
    if (hr == S_FALSE) {
      // Unreadable bytes are passed over one at a time, so a broken region
      // cannot hold the loop in place; only a growing file is waited for.
      if (f.GetPos() <= before) f.Seek(before + 1);
      if (f.IsStreaming()) Sleep(1);
      hr = S_OK;
    }
  }
  return true;
}

HRESULT CMpegSplitterFilter::MakePacket(DWORD track, LONGLONG bytes, bool hasPts, REFERENCE_TIME pts,
                                        REFERENCE_TIME decodeLead) {
  if (bytes < 0) return S_FALSE;
  auto p = std::make_unique<Packet>();
  p->TrackNumber = track;
  p->bSyncPoint = hasPts;
  p->bAppendable = !hasPts;
  p->resize(static_cast<size_t>(bytes));
  if (bytes > 0 && m_pFile->ByteRead(p->data(), bytes) != S_OK) return S_FALSE;
  if (!GetOutputPin(track)) return S_OK;
  p->rtStart = hasPts ? pts : INVALID_TIME;
  p->rtStop = hasPts ? pts + 1 : INVALID_TIME;
  p->rtDecodeLead = hasPts ? decodeLead : INVALID_TIME;
  const HRESULT hr = DeliverPacket(std::move(p));
  // A packet dropped for an unconnected pin is no reason to stop.
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CMpegSplitterFilter::DemuxNextPacket() {
  CMpegSplitterFile& f = *m_pFile;
  HRESULT hr = S_OK;

  if (f.type == CMpegSplitterFile::ps || f.type == CMpegSplitterFile::es) {
    BYTE id = 0;
    if (!f.FindStartCode(id, 65536)) return S_FALSE;
    if (id == 0xBA) {
      CBaseSplitterFileEx::PackHeader h;
      if (!f.ReadPackHeader(h)) return S_FALSE;
      // In 100 ns units: MPEG-2 clocks count 27 MHz, MPEG-1 clocks 90 kHz.
      const REFERENCE_TIME scr = static_cast<REFERENCE_TIME>(h.type == 2 ? h.scr * 10 / 27 : h.scr * 1000 / 9);
      if (m_lastScr != INVALID_TIME && scr < m_lastScr) Timeline().ClockStepped();
      m_lastScr = scr;
      m_unitEnd = f.GetPos();
    } else if (id == 0xBB) {
      CBaseSplitterFileEx::SystemHeader h;
      if (!f.ReadSystemHeader(h)) return S_FALSE;
      m_unitEnd = f.GetPos();
    } else if (id >= 0xBD && id <= 0xEF) {
      CBaseSplitterFileEx::PesHeader h;
      if (!f.ReadPesHeader(h, id) || h.len == 0) return S_FALSE;
      if (h.type == 2 && h.scrambling) return E_FAIL;
      const LONGLONG pos = f.GetPos();
      DWORD track = f.AddStream(0, id, h.len);
      if (GetOutputPin(track)) {
        f.Seek(std::min(f.GetPos(), pos + h.len));
        hr = MakePacket(track, h.len - (f.GetPos() - pos), h.fpts, h.pts, f.DecodeLead(h));
      }
      f.Seek(pos + h.len);
      if (hr == S_OK) m_unitEnd = pos + h.len;
    }
  } else if (f.type == CMpegSplitterFile::ts) {
    CBaseSplitterFileEx::TsHeader h;
    const LONGLONG start = f.GetPos();
    if (!f.ReadTsHeader(h)) {
      // Resynchronising needs the sync byte of the packet behind, which the
      // last packet of a growing file does not have yet; a packet that
      // starts right here is read as it stands.
      f.Seek(start);
      if (f.GetRemaining() < 188 || f.BitRead(8, true) != 0x47 || !f.ReadTsHeader(h, false)) {
        f.ClearBitReadFailed();
        return S_FALSE;
      }
    }
    const LONGLONG payloadPos = f.GetPos();
    const LONGLONG payloadEnd = payloadPos + h.bytes;
    if (h.payload) {
      if (h.payloadstart) f.ReadProgramTables(h);
      if (h.pid >= 16 && h.pid <= 8190 && !h.scrambling) {
        DWORD track = h.pid;
        bool hasPts = false;
        REFERENCE_TIME pts = 0, lead = INVALID_TIME;
        if (h.payloadstart) {
          BYTE id = 0;
          CBaseSplitterFileEx::PesHeader pes;
          if (f.FindStartCode(id, 4) && f.ReadPesHeader(pes, id = f.TsPesId(h.pid, id))) {
            if (pes.type == 2 && pes.scrambling) return E_FAIL;
            LONGLONG left = payloadEnd - f.GetPos();
            track = f.AddStream(h.pid, id, static_cast<DWORD>(std::max<LONGLONG>(0, left)));
            hasPts = pes.fpts;
            pts = pes.pts;
            lead = f.DecodeLead(pes);
          } else {
            f.Seek(payloadPos);
          }
        }
        if (GetOutputPin(track)) hr = MakePacket(track, payloadEnd - f.GetPos(), hasPts, pts, lead);
      }
    }
    f.Seek(h.next);
    if (hr == S_OK) m_unitEnd = h.next;
  } else if (f.type == CMpegSplitterFile::pva) {
    CBaseSplitterFileEx::PvaHeader h;
    if (!f.ReadPvaHeader(h)) return S_FALSE;
    const LONGLONG pos = f.GetPos();
    DWORD track = h.streamid;
    if (GetOutputPin(track)) hr = MakePacket(track, std::min<LONGLONG>(h.length, f.GetRemaining()), h.fpts, h.pts);
    f.Seek(pos + h.length);
    if (hr == S_OK) m_unitEnd = pos + h.length;
  } else {
    return E_FAIL;
  }
  return hr;
}

// ---------------------------------------------------------------------------
// Seeking

void CMpegSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  CMpegSplitterFile& f = *m_pFile;
  // A seek lands anywhere: up to the first unit nothing is damaged.
  m_unitEnd = -1;
  int masterKind = -1;
  DWORD master = 0;
  {
    CAutoLock lock(&f.m_csProps);
    for (int kind = 0; kind < CMpegSplitterFile::kindCount && masterKind < 0; kind++) {
      if (!f.m_streams[kind].empty()) {
        masterKind = kind;
        master = f.m_streams[kind][0].TrackNumber();
      }
    }
  }
  if (masterKind < 0) return;

  const LONGLONG length = f.GetLength();
  if (f.IsStreaming()) {
    f.Seek(std::max<LONGLONG>(0, length - 102400));
    LONGLONG pos = f.GetPos();
    REFERENCE_TIME t = f.NextPts(master);
    if (t < 0) {
      // No time stamp up to the end: no offset can be had from it.
      f.Seek(pos);
      return;
    }
    rtStartOffset = t + f.rtMin;
    return;
  }

  const REFERENCE_TIME duration = m_rtDuration;
  if (rt <= UNITS || duration <= 0) {
    f.Seek(f.dataStart);
    return;
  }

  const double bytesPerUnit = static_cast<double>(length) / static_cast<double>(duration);
  const LONGLONG seekpos = static_cast<LONGLONG>(static_cast<double>(rt) * bytesPerUnit);
  const REFERENCE_TIME rtmax = rt - UNITS;
  const REFERENCE_TIME rtmin = rtmax - 5000000;

  if (rtStartOffset == 0) {
    LONGLONG best = LLONG_MAX;
    for (int kind : {CMpegSplitterFile::video, CMpegSplitterFile::audio}) {
      CMpegSplitterFile::CStreamList list;
      {
        CAutoLock lock(&f.m_csProps);
        list = f.m_streams[kind];
      }
      for (const auto& s : list) {
        CBaseSplitterOutputPin* pin = GetOutputPin(s.TrackNumber());
        if (!pin || !pin->IsConnected()) continue;
        f.Seek(seekpos);
        bool found = false, havePrev = false;
        REFERENCE_TIME pdt = 0;
        for (int round = 0; round < 10; round++) {
          REFERENCE_TIME t = f.NextPts(s.TrackNumber());
          if (t < 0) break;
          REFERENCE_TIME dt = t - rtmax;
          if (dt > 0 && havePrev && dt == pdt) dt = UNITS;
          if (rtmin <= t && t <= rtmax) {
            found = true;
            break;
          }
          if (havePrev && pdt > 0 && dt < 0) {
            found = true;
            break;
          }
          f.Seek(f.GetPos() - static_cast<LONGLONG>(static_cast<double>(dt) * bytesPerUnit));
          pdt = dt;
          havePrev = true;
        }
        if (found) best = std::min(best, f.GetPos());
      }
    }
    if (best != LLONG_MAX) {
      f.Seek(best);
      return;
    }
  }

  // Estimate from the byte rate and take the time found there as the time
  // asked for.
  const REFERENCE_TIME r = rt - UNITS;
  const LONGLONG pos = static_cast<LONGLONG>(static_cast<double>(r) * bytesPerUnit);
  f.Seek(pos);
  REFERENCE_TIME t = f.NextPts(master);
  if (t < 0) {
    // Nothing to measure against: start over from the beginning instead of
    // shifting every later time by a meaningless offset.
    f.Seek(f.dataStart);
    return;
  }
  rtStartOffset = f.rtMin + t - r;
  f.Seek(pos);
}

// ---------------------------------------------------------------------------
// Stream selection

bool CMpegSplitterFilter::StreamAt(LONG index, int& kind, CMpegSplitterFile::stream& s) {
  if (!m_pFile || index < 0) return false;
  CAutoLock lock(&m_pFile->m_csProps);
  for (kind = 0; kind < CMpegSplitterFile::kindCount; kind++) {
    const auto& list = m_pFile->m_streams[kind];
    if (static_cast<size_t>(index) < list.size()) {
      s = list[static_cast<size_t>(index)];
      return true;
    }
    index -= static_cast<LONG>(list.size());
  }
  return false;
}

STDMETHODIMP CMpegSplitterFilter::Count(DWORD* count) {
  CheckPointer(count, E_POINTER);
  *count = 0;
  if (!m_pFile) return S_OK;
  CAutoLock lock(&m_pFile->m_csProps);
  for (const auto& list : m_pFile->m_streams) *count += static_cast<DWORD>(list.size());
  return S_OK;
}

STDMETHODIMP CMpegSplitterFilter::Info(LONG index, AM_MEDIA_TYPE** ppmt, DWORD* flags, LCID* lcid, DWORD* group,
                                       WCHAR** name, IUnknown** object, IUnknown** unk) {
  // Outputs are cleared first, so a caller never reads what was not filled.
  if (ppmt) *ppmt = nullptr;
  if (flags) *flags = 0;
  if (lcid) *lcid = 0;
  if (group) *group = 0;
  if (name) *name = nullptr;
  if (object) *object = nullptr;
  if (unk) *unk = nullptr;

  CAutoLock lock(this);
  int kind = 0;
  CMpegSplitterFile::stream s;
  if (!StreamAt(index, kind, s)) return S_FALSE;

  const DWORD track = s.TrackNumber();
  if (ppmt) {
    *ppmt = CreateMediaType(&s.mt);
    if (!*ppmt) return E_OUTOFMEMORY;
  }
  if (flags) *flags = GetOutputPin(track) ? (AMSTREAMSELECTINFO_ENABLED | AMSTREAMSELECTINFO_EXCLUSIVE) : 0;
  if (group) *group = static_cast<DWORD>(kind);
  if (name) {
    wchar_t text[64];
    swprintf(text, 64, L"%ls (%04x,%02x,%02x)", CMpegSplitterFile::CStreamList::ToString(kind), s.pid, s.pesid,
             s.ps1id);
    size_t n = wcslen(text) + 1;
    *name = static_cast<WCHAR*>(CoTaskMemAlloc(n * sizeof(WCHAR)));
    if (!*name) {
      if (ppmt && *ppmt) {
        DeleteMediaType(*ppmt);
        *ppmt = nullptr;
      }
      return E_OUTOFMEMORY;
    }
    wmemcpy(*name, text, n);
  }
  return S_OK;
}

STDMETHODIMP CMpegSplitterFilter::Enable(LONG index, DWORD flags) {
  if (!(flags & AMSTREAMSELECTENABLE_ENABLE)) return E_NOTIMPL;

  CAutoLock lock(this);
  int kind = 0;
  CMpegSplitterFile::stream to;
  if (!StreamAt(index, kind, to)) return S_FALSE;

  auto copyList = [this](int k) {
    CAutoLock lockProps(&m_pFile->m_csProps);
    return m_pFile->m_streams[k];
  };

  for (const auto& from : copyList(kind)) {
    if (!GetOutputPin(from.TrackNumber())) continue;
    if (from.TrackNumber() != to.TrackNumber()) {
      HRESULT hr = RenameOutputPin(from.TrackNumber(), to.TrackNumber(), &to.mt);
      if (FAILED(hr)) return hr;
    }
    break;
  }

  if (m_pFile->type != CMpegSplitterFile::ts) return S_OK;
  auto program = m_pFile->FindProgram(to.pid);
  if (!program) return S_OK;

  // The other kinds follow to the same program.
  for (int other = 0; other < CMpegSplitterFile::kindCount; other++) {
    if (other == kind) continue;
    const auto list = copyList(other);
    for (const auto& from : list) {
      if (!GetOutputPin(from.TrackNumber())) continue;
      for (WORD pid : program->pids) {
        if (!pid) continue;
        const CMpegSplitterFile::stream* target = list.Find(pid);
        if (!target) continue;
        if (target->TrackNumber() != from.TrackNumber()) {
          HRESULT hr = RenameOutputPin(from.TrackNumber(), target->TrackNumber(), &target->mt);
          if (FAILED(hr)) return hr;
        }
        break;
      }
      break;
    }
  }
  return S_OK;
}
