#include "splitters/mpeg/MpegSplitterFile.h"

#include <algorithm>
#include <array>
#include <climits>
#include <set>

#include "foundation/StreamTime.h"

// ---------------------------------------------------------------------------
// Stream lists

void CMpegSplitterFile::CStreamList::Insert(const stream& s) {
  DWORD track = s.TrackNumber();
  auto it = std::find_if(begin(), end(), [track](const stream& e) { return e.TrackNumber() > track; });
  insert(it, s);
}

const CMpegSplitterFile::stream* CMpegSplitterFile::CStreamList::Find(DWORD track) const {
  for (const stream& s : *this) {
    if (s.TrackNumber() == track) return &s;
  }
  return nullptr;
}

const wchar_t* CMpegSplitterFile::CStreamList::ToString(int kind) {
  switch (kind) {
    case video:
      return L"Video";
    case audio:
      return L"Audio";
    case subpic:
      return L"Subtitle";
    default:
      return L"";
  }
}

// ---------------------------------------------------------------------------

CMpegSplitterFile::CMpegSplitterFile(IAsyncReader* reader, HRESULT& hr)
    : CBaseSplitterFileEx(reader, hr, 2048, false) {
  if (SUCCEEDED(hr)) hr = Init();
}

CMpegSplitterFile::~CMpegSplitterFile() = default;

bool CMpegSplitterFile::IsComplete() {
  LONGLONG total = 0, available = 0;
  return Reader() && SUCCEEDED(Reader()->Length(&total, &available)) && total > 0 && total == available;
}

bool CMpegSplitterFile::IsInAnyList(DWORD track) const {
  for (const CStreamList& list : m_streams) {
    if (list.Find(track)) return true;
  }
  return false;
}

HRESULT CMpegSplitterFile::Init() {
  // Transport stream: four packet headers in a row.
  Seek(0);
  LONGLONG tsStart = 0;
  if (GetLength() >= 4 && BitRead(32, true) == 0x54467263) tsStart = 1660;  // "TFrc" capture header
  ClearBitReadFailed();
  // Transport packets may follow bytes of something else (a cut-off
  // recording): the sync is looked for over a longer stretch.
  tsStart = FindTsSync(tsStart, kTsSyncSearch);
  Seek(std::max<LONGLONG>(tsStart, 0));
  for (int i = 0; tsStart >= 0 && type == unknown; i++) {
    TsHeader h;
    if (!ReadTsHeader(h)) break;
    if (i >= 3) type = ts;
    Seek(h.next);
  }
  if (type == ts) dataStart = tsStart;

  // PVA: four packet headers in a row.
  Seek(0);
  for (int i = 0; type == unknown; i++) {
    PvaHeader h;
    if (!ReadPvaHeader(h)) break;
    if (i >= 3) type = pva;
    Seek(GetPos() + h.length);
  }

  // Program stream (a pack header) or a bare run of PES packets.
  Seek(0);
  if (type == unknown) {
    int form = unknown;
    for (int round = 0;; round++) {
      if (round >= 4 && GetPos() >= 65536) break;
      BYTE id = 0;
      if (!FindStartCode(id, 65536)) break;
      LONGLONG pos = GetPos();
      if (id == 0xBA) {
        PackHeader h;
        if (ReadPackHeader(h)) {
          form = ps;
          rate = static_cast<int>(std::min<UINT64>(h.bitrate / 8, INT_MAX));
          break;
        }
      } else if ((id >= 0xC0 && id <= 0xEF) || id == 0xBD) {
        PesHeader h;
        if (ReadPesHeader(h, id)) {
          // Either the payload or the next packet starts with a prefix.
          LONGLONG payload = GetPos();
          bool prefix = BitRead(24, true) == 1;
          if (!prefix && h.len > 0) {
            Seek(payload + h.len);
            prefix = BitRead(24, true) == 1;
          }
          ClearBitReadFailed();
          if (prefix) form = es;
          Seek(payload);
        }
      }
      if (GetPos() < pos) Seek(pos);
    }
    type = form;
  }
  ClearBitReadFailed();
  if (type == unknown) return E_FAIL;

  // Where to look for streams and time stamps.
  HRESULT hr = S_OK;
  bool complete = IsComplete();
  if (!complete && !IsStreaming()) {
    hr = SearchStreams(0, 131072);
    if (FAILED(hr)) return hr;
  } else {
    if (IsStreaming()) {
      for (int i = 0; i < 50; i++) {
        if (HasMoreData(102400, i < 20 ? 0 : 100) == S_OK) break;
      }
    }
    LONGLONG length = GetLength();
    LONGLONG prevEnd = dataStart;
    for (int i = 0; i <= 5; i++) {
      // The length is split in double: length x i cannot overflow there.
      LONGLONG pos = dataStart + static_cast<LONGLONG>(static_cast<double>(length - dataStart) * i / 5);
      pos = std::min(pos, length - 131072);
      pos = std::max(pos, prevEnd);
      LONGLONG size = i == 0 ? 5242880 : 131072;
      hr = SearchStreams(pos, pos + size);
      if (FAILED(hr)) return hr;
      prevEnd = GetPos();
    }
  }

  if (posMax - posMin <= 0 || rtMax - rtMin <= 0) return E_FAIL;
  UpdateRate();

  if (!m_streams[video].empty() || !m_streams[subpic].empty()) {
    if (!m_streams[subpic].Find(0)) {
      stream s;
      s.mt.majortype = MEDIATYPE_Video;
      s.mt.subtype = MEDIASUBTYPE_DVD_SUBPICTURE;
      s.mt.formattype = FORMAT_None;
      CAutoLock lock(&m_csProps);
      m_streams[subpic].Insert(s);
    }
  }

  Seek(dataStart);
  return S_OK;
}

LONGLONG CMpegSplitterFile::FindTsSync(LONGLONG from, LONGLONG budget) {
  constexpr int kPackets = 4;
  const LONGLONG length = GetLength();
  if (from < 0 || from >= length) return -1;
  const LONGLONG span = std::min(budget + kPackets * 192, length - from);
  std::vector<BYTE> buf(static_cast<size_t>(span));
  Seek(from);
  if (ByteRead(buf.data(), span) != S_OK) {
    Seek(from);
    return -1;
  }
  Seek(from);
  const size_t n = buf.size();
  for (size_t i = 0; i < n && static_cast<LONGLONG>(i) < budget; i++) {
    if (buf[i] != 0x47) continue;
    for (size_t len : {188u, 192u}) {
      int k = 1;
      while (k < kPackets && i + k * len < n && buf[i + k * len] == 0x47) k++;
      // A short file holds fewer packets: all it holds must line up.
      if (k == kPackets || (i + k * len >= n && k >= 2)) return from + static_cast<LONGLONG>(i);
    }
  }
  return -1;
}

void CMpegSplitterFile::UpdateRate() {
  if (posMax - posMin <= 0 || rtMax - rtMin <= 0) return;
  // In double: the byte span times 10^7 overflows 64 bits for files past
  // about 900 GB.
  double measured = static_cast<double>(posMax - posMin) * static_cast<double>(UNITS) / static_cast<double>(rtMax - rtMin);
  measured = std::clamp(measured, 1.0, static_cast<double>(INT_MAX));
  int m = static_cast<int>(measured);
  if (rate == 0 || measured / rate < 1.1 || std::abs(static_cast<LONGLONG>(m) - rate) < 51200) rate = m;
}

void CMpegSplitterFile::UpdateRateIfComplete() {
  if (!m_completeNoted) return;
  m_completeNoted = false;
  LONGLONG pos = GetPos();
  LONGLONG length = GetLength();
  SearchStreams(std::max<LONGLONG>(0, length - 512000), length);
  UpdateRate();
  Seek(pos);
}

void CMpegSplitterFile::UpdateTimeRange(REFERENCE_TIME t, LONGLONG pos) {
  const auto far = [](REFERENCE_TIME a, REFERENCE_TIME b) {
    return (a > b ? a - b : b - a) > StreamTime::kFarFromOthers;
  };
  if (m_heldStamp != kUnsetTime && !far(t, m_heldStamp)) TakeIntoTimeRange(m_heldStamp, m_heldPos);
  m_heldStamp = kUnsetTime;
  const bool alone = m_lastStamp != kUnsetTime && far(t, m_lastStamp);
  m_lastStamp = t;
  if (alone) {
    m_heldStamp = t;
    m_heldPos = pos;
    return;
  }
  TakeIntoTimeRange(t, pos);
}

void CMpegSplitterFile::TakeIntoTimeRange(REFERENCE_TIME t, LONGLONG pos) {
  if (rtMin == kUnsetTime) {
    rtMin = t;
    posMin = pos;
  }
  if (t > rtMin && t > rtMax) {
    rtMax = t;
    posMax = pos;
  }
}

HRESULT CMpegSplitterFile::SearchStreams(LONGLONG start, LONGLONG stop) {
  Seek(start);
  // Times in another stretch of the file follow on from none of these.
  m_lastStamp = m_heldStamp = kUnsetTime;
  m_avcCarry.clear();
  stop = std::min(stop, GetLength());

  while (GetPos() < stop) {
    LONGLONG before = GetPos();
    if (type == ps || type == es) {
      BYTE id = 0;
      if (!FindStartCode(id, 65536)) break;
      if (id == 0xBA) {
        PackHeader h;
        ReadPackHeader(h);
      } else if (id == 0xBB) {
        SystemHeader h;
        ReadSystemHeader(h);
      } else if (id >= 0xBD && id <= 0xEF) {
        PesHeader h;
        if (ReadPesHeader(h, id)) {
          if (h.type == 2 && h.scrambling) return E_FAIL;
          LONGLONG pos = GetPos();
          if (h.fpts) UpdateTimeRange(h.pts, pos);
          AddStream(0, id, h.len);
          if (h.len) Seek(pos + h.len);
        }
      }
    } else if (type == ts) {
      TsHeader h;
      if (!ReadTsHeader(h)) break;
      const LONGLONG payloadPos = GetPos();
      const LONGLONG payloadEnd = payloadPos + h.bytes;
      if (h.payload) {
        if (h.payloadstart) ReadProgramTables(h);
        if (h.pid >= 16 && h.pid <= 8190) {
          BYTE id = 0;
          if (h.payloadstart) {
            PesHeader pes;
            if (FindStartCode(id, 4) && ReadPesHeader(pes, id = TsPesId(h.pid, id))) {
              if (pes.type == 2 && pes.scrambling) return E_FAIL;
              if (pes.fpts) UpdateTimeRange(pes.pts, GetPos());
            } else {
              id = 0;
              Seek(payloadPos);
            }
          }
          LONGLONG left = payloadEnd - GetPos();
          if (left > 0) AddStream(h.pid, id, static_cast<DWORD>(left));
        }
      }
      Seek(h.next);
    } else if (type == pva) {
      PvaHeader h;
      if (!ReadPvaHeader(h)) break;
      LONGLONG pos = GetPos();
      if (h.fpts) UpdateTimeRange(h.pts, pos);
      if (h.streamid == 1) AddStream(1, 0xE0, h.length);
      else if (h.streamid == 2) AddStream(2, 0xC0, h.length);
      Seek(pos + h.length);
    } else {
      break;
    }
    // Every round must move on; a reader that cannot deliver stops here.
    if (GetPos() <= before) break;
  }
  ClearBitReadFailed();
  return S_OK;
}

DWORD CMpegSplitterFile::AddStream(WORD pid, BYTE pesid, DWORD len) {
  // Only a PES header names the stream: its payload starts here.
  const bool unitStart = pesid != 0;
  if (pid) {
    if (pesid) {
      m_pid2pes[pid] = pesid;
    } else if (auto it = m_pid2pes.find(pid); it != m_pid2pes.end()) {
      pesid = it->second;
    }
  }

  stream s;
  s.pid = pid;
  s.pesid = pesid;
  int kind = -1;
  const LONGLONG start = GetPos();
  LONGLONG budget = len;

  if (pesid >= 0xE0 && pesid <= 0xEF) {
    bool known = m_streams[video].Find(s.TrackNumber()) != nullptr;
    if (!known) {
      SequenceHeader h;
      if (ReadSequenceHeader(h, budget, &s.mt)) kind = video;
      Seek(start);
      if (kind < 0) {
        AvcHeader a;
        if (ReadAvcHeader(a, budget, &s.mt)) kind = video;
        Seek(start);
      }
      if (kind < 0 && pid && GatherAvcHeader(pid, unitStart, len, &s.mt)) kind = video;
      if (kind >= 0) m_avcCarry.erase(pid);
    }
  } else if (pesid >= 0xC0 && pesid <= 0xDF) {
    bool known = m_streams[audio].Find(s.TrackNumber()) != nullptr;
    if (!known) {
      MpegAudioHeader h;
      if (ReadCheckedMpegAudioHeader(h, budget, &s.mt)) kind = audio;
      Seek(start);
      if (kind < 0) {
        AdtsHeader a;
        if (ReadAdtsHeader(a, budget, &s.mt)) kind = audio;
        Seek(start);
      }
    }
  } else if (pesid == 0xBD && pid) {
    bool known = m_streams[audio].Find(s.TrackNumber()) != nullptr;
    if (!known) {
      Ac3Header h;
      if (ReadAc3Header(h, budget, &s.mt)) kind = audio;
      Seek(start);
      if (kind < 0) {
        DtsHeader d;
        if (ReadDtsHeader(d, budget, &s.mt)) kind = audio;
        Seek(start);
      }
    }
  } else if (pesid == 0xBD) {
    BYTE b = static_cast<BYTE>(budget >= 1 ? BitRead(8, true) : 0);
    WORD w = static_cast<WORD>(budget >= 2 ? BitRead(16, true) : 0);
    DWORD d = static_cast<DWORD>(budget >= 4 ? BitRead(32, true) : 0);
    ClearBitReadFailed();
    // Consumes n bytes of a sub-stream header when they are there.
    auto consume = [&](LONGLONG n) {
      n = std::min(n, budget);
      Seek(GetPos() + n);
      budget -= n;
    };
    auto inList = [&](int k) { return m_streams[k].Find(s.TrackNumber()) != nullptr; };

    if ((b >= 0x80 && b <= 0x87) || (w == 0x0B77)) {
      if (b >= 0x80 && b <= 0x87) {
        s.ps1id = b;
        consume(4);
      } else {
        s.ps1id = 0x80;
      }
      if (!inList(audio)) {
        LONGLONG pos = GetPos();
        Ac3Header h;
        if (ReadAc3Header(h, budget, &s.mt)) kind = audio;
        Seek(pos);
      }
    } else if ((b >= 0x88 && b <= 0x8F) || d == 0x7FFE8001) {
      if (b >= 0x88 && b <= 0x8F) {
        s.ps1id = b;
        consume(4);
      } else {
        s.ps1id = 0x88;
      }
      if (!inList(audio)) {
        LONGLONG pos = GetPos();
        DtsHeader h;
        if (ReadDtsHeader(h, budget, &s.mt)) kind = audio;
        Seek(pos);
      }
    } else if (b >= 0xA0 && b <= 0xA7) {
      s.ps1id = b;
      consume(4);
      // The three bytes of the LPCM header are always taken off, also for a
      // stream already known: what follows them is the sample data, and
      // leaving them in the payload would shift every sample behind them.
      bool known = inList(audio);
      LONGLONG pos = GetPos();
      LpcmHeader h;
      if (budget >= 3 && ReadLpcmHeader(h, known ? nullptr : &s.mt) && !known) kind = audio;
      Seek(pos);
      consume(3);
    } else if (b >= 0x20 && b <= 0x3F) {
      s.ps1id = b;
      consume(1);
      if (!inList(subpic) && ReadDvdSubpicHeader(&s.mt)) kind = subpic;
    } else if (b >= 0x70 && b <= 0x7F) {
      s.ps1id = b;
      consume(1);
      if (!inList(subpic) && ReadSvcdSubpicHeader(&s.mt)) kind = subpic;
    } else if (b <= 0x0F) {
      s.ps1id = b;
      consume(1);
      if (!inList(subpic) && ReadCvdSubpicHeader(&s.mt)) kind = subpic;
    } else if (w == 0xFFA0 || w == 0xFFA1) {
      if (budget >= 4) {
        s.ps1id = static_cast<BYTE>(BitRead(8));
        BYTE c = static_cast<BYTE>(BitRead(8));
        WORD v = static_cast<WORD>(BitRead(16));
        budget -= 4;
        s.pid = static_cast<WORD>(c << 8 | v);
        if (!inList(audio)) {
          LONGLONG pos = GetPos();
          Ps2AudioHeader h;
          if (ReadPs2AudioHeader(h, &s.mt)) kind = audio;
          Seek(pos);
        }
      }
    } else if (w == 0xFF90) {
      if (budget >= 4) {
        s.ps1id = static_cast<BYTE>(BitRead(8));
        BYTE c = static_cast<BYTE>(BitRead(8));
        WORD v = static_cast<WORD>(BitRead(16));
        budget -= 4;
        s.pid = static_cast<WORD>(c << 8 | v);
        WORD next = static_cast<WORD>(budget >= 2 ? BitRead(16, true) : 0xFFFF);
        if (next == 0x0B77) {
          if (!inList(audio)) {
            LONGLONG pos = GetPos();
            Ac3Header h;
            if (ReadAc3Header(h, budget, &s.mt)) kind = audio;
            Seek(pos);
          }
        } else if (next == 0) {
          if (!inList(subpic) && ReadPs2SubpicHeader(&s.mt)) kind = subpic;
        }
      }
    }
    ClearBitReadFailed();
  }

  if (kind >= 0 && !m_streams[kind].Find(s.TrackNumber()) && !(s.pid && IsInAnyList(s.TrackNumber()))) {
    CAutoLock lock(&m_csProps);
    m_streams[kind].Insert(s);
  }
  return s.TrackNumber();
}

bool CMpegSplitterFile::ReadCheckedMpegAudioHeader(MpegAudioHeader& h, LONGLONG budget, CMediaType* pmt) {
  const LONGLONG start = GetPos(), end = start + budget;
  // Each failed candidate moves the search on by a byte.
  for (LONGLONG at = start; at + 4 <= end; at++) {
    Seek(at);
    // MPEG-2.5 (8 to 12 kHz) is taken too: the check of the next header is
    // what keeps a chance sync in the payload out.
    const bool found = ReadMpegAudioHeader(h, end - at, true, pmt);
    // The reader stands behind the four bytes it read at the sync.
    const LONGLONG header = std::max(at, GetPos() - 4);
    const LONGLONG next = header + h.nBytesPerFrame;
    if (!found || h.nBytesPerFrame <= 4) {
      at = header;
      continue;
    }
    if (next + 4 > end) return true;  // the next frame lies past these bytes
    Seek(next);
    MpegAudioHeader n;
    if (ReadMpegAudioHeader(n, 4, true, nullptr) && n.version == h.version && n.layer == h.layer &&
        n.freq == h.freq) {
      Seek(header);
      return true;
    }
    at = header;
  }
  ClearBitReadFailed();
  return false;
}

REFERENCE_TIME CMpegSplitterFile::NextPts(DWORD track) {
  for (;;) {
    LONGLONG before = GetPos();
    if (type == ps || type == es) {
      BYTE id = 0;
      if (!FindStartCode(id, 65536)) break;
      LONGLONG packet = GetPos() - 4;
      if (id < 0xBD || id > 0xEF) continue;
      PesHeader h;
      if (!ReadPesHeader(h, id) || h.len == 0) continue;
      LONGLONG pos = GetPos();
      if (h.fpts && AddStream(0, id, h.len) == track) {
        Seek(packet);
        return h.pts - rtMin;
      }
      Seek(pos + h.len);
    } else if (type == ts) {
      TsHeader h;
      if (!ReadTsHeader(h)) break;
      LONGLONG packet = h.next - GetTsPacketLength();
      const LONGLONG payloadEnd = GetPos() + h.bytes;
      if (h.payload && h.payloadstart && h.pid >= 16 && h.pid <= 8190) {
        BYTE id = 0;
        PesHeader pes;
        if (FindStartCode(id, 4) && ReadPesHeader(pes, id = TsPesId(h.pid, id)) && pes.fpts) {
          LONGLONG left = payloadEnd - GetPos();
          if (left > 0 && AddStream(h.pid, id, static_cast<DWORD>(left)) == track) {
            Seek(packet);
            return pes.pts - rtMin;
          }
        }
      }
      Seek(h.next);
    } else if (type == pva) {
      PvaHeader h;
      if (!ReadPvaHeader(h)) break;
      if (h.fpts) return h.pts - rtMin;
      Seek(GetPos() + h.length);
    } else {
      break;
    }
    if (GetPos() <= before) break;
  }
  ClearBitReadFailed();
  return -1;
}

void CMpegSplitterFile::ReadProgramTables(const TsHeader& h) {
  CAutoLock lock(&m_csProps);
  const LONGLONG start = GetPos();
  // Sections are read within this transport packet only.
  const LONGLONG end = start + h.bytes;
  auto left = [&]() { return end - GetPos(); };

  if (h.pid == 0) {
    PsiSectionHeader sh;
    if (ReadPsiSectionHeader(sh) && sh.table_id == 0 && sh.section_length >= 9) {
      int entries = (sh.section_length - 9) / 4;
      std::set<WORD> numbers;
      for (int i = 0; i < entries && left() >= 4; i++) {
        WORD number = static_cast<WORD>(BitRead(16));
        BitRead(3);
        WORD pid = static_cast<WORD>(BitRead(13));
        if (number) {
          m_programs[pid].program_number = number;
          numbers.insert(number);
        }
      }
      for (auto it = m_programs.begin(); it != m_programs.end();) {
        if (numbers.count(it->second.program_number)) ++it;
        else it = m_programs.erase(it);
      }
    }
  } else if (auto it = m_programs.find(h.pid); it != m_programs.end()) {
    PsiSectionHeader sh;
    if (ReadPsiSectionHeader(sh) && sh.table_id == 2) {
      program& p = it->second;
      p.pids.fill(0);
      BitRead(3);
      BitRead(13);  // PCR PID
      BitRead(4);
      int infoLength = static_cast<int>(BitRead(12));
      if (infoLength <= left()) {
        Seek(GetPos() + infoLength);
        int bytes = sh.section_length - 9 - 4 - infoLength;
        for (size_t n = 0; bytes >= 5 && n < p.pids.size() && left() >= 5;) {
          const BYTE streamType = static_cast<BYTE>(BitRead(8));
          BitRead(3);
          WORD pid = static_cast<WORD>(BitRead(13));
          BitRead(4);
          int esInfo = static_cast<int>(BitRead(12));
          if (esInfo > left()) break;
          Seek(GetPos() + esInfo);
          bytes -= 5 + esInfo;
          p.pids[n++] = pid;
          m_streamTypes[pid] = streamType;
        }
      }
    }
  }
  ClearBitReadFailed();
  Seek(start);
}

BYTE CMpegSplitterFile::TsPesId(WORD pid, BYTE id) {
  constexpr BYTE kExtendedStreamId = 0xFD, kStreamTypeAc3 = 0x81;
  if (id != kExtendedStreamId) return id;
  CAutoLock lock(&m_csProps);
  auto it = m_streamTypes.find(pid);
  return it != m_streamTypes.end() && it->second == kStreamTypeAc3 ? 0xBD : id;
}

std::optional<CMpegSplitterFile::program> CMpegSplitterFile::FindProgram(WORD pid) {
  CAutoLock lock(&m_csProps);
  for (const auto& [mapPid, p] : m_programs) {
    if (std::find(p.pids.begin(), p.pids.end(), pid) != p.pids.end()) return p;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Units after damage

bool CMpegSplitterFile::GatherAvcHeader(WORD pid, bool unitStart, DWORD len, CMediaType* pmt) {
  const LONGLONG start = GetPos();
  AvcCarry& carry = m_avcCarry[pid];
  if (unitStart) carry = AvcCarry{};
  // A packet met again (the next search place, a seek) or one without the
  // unit's start in front of it joins nothing.
  if ((!unitStart && carry.bytes.empty()) || start <= carry.lastPos ||
      carry.bytes.size() + len > kAvcCarryLimit) {
    m_avcCarry.erase(pid);
    return false;
  }
  const size_t had = carry.bytes.size();
  carry.bytes.resize(had + len);
  if (len == 0 || ByteRead(carry.bytes.data() + had, len) != S_OK) {
    Seek(start);
    m_avcCarry.erase(pid);
    return false;
  }
  Seek(start);
  carry.lastPos = start;
  // Only the units before the last start code are whole.
  const BYTE* b = carry.bytes.data();
  size_t whole = carry.bytes.size();
  while (whole >= 3 && !(b[whole - 3] == 0 && b[whole - 2] == 0 && b[whole - 1] == 1)) --whole;
  if (whole < 3) return false;
  AvcHeader h;
  return ParseAvcHeader(b, whole - 3, start, h, pmt);
}

namespace {

constexpr BYTE kEndCode = 0xB9;
// Zero bytes that pad a pack to the end of its sector (a VideoCD sector
// holds 2324) are no damage; a longer run of them is.
constexpr LONGLONG kMaxStuffing = 2324;

// 00 00 01 and an id of the system layer (end code and above).
bool SystemCode(const BYTE* b) { return b[0] == 0 && b[1] == 0 && b[2] == 1 && b[3] >= kEndCode; }

// "AV", a stream id of 1 or 2, a counter, 0x55, flags and a length the
// format allows.
bool PvaCode(const BYTE* b) {
  return b[0] == 'A' && b[1] == 'V' && (b[2] == 1 || b[2] == 2) && b[4] == 0x55 && (b[6] << 8 | b[7]) <= 6136;
}

}  // namespace

bool CMpegSplitterFile::SystemUnitEnd(LONGLONG pos, BYTE id, LONGLONG& end) {
  Seek(pos + 4);
  bool read = false;
  if (id == kEndCode) {
    read = true;
  } else if (id == 0xBA) {
    PackHeader h;
    read = ReadPackHeader(h);
  } else if (id == 0xBB) {
    SystemHeader h;
    read = ReadSystemHeader(h);
  } else if (id >= 0xBD && id <= 0xEF) {
    // The demux loop reads no packet of length 0 in these forms either.
    PesHeader h;
    read = ReadPesHeader(h, id) && h.len > 0;
    end = GetPos() + static_cast<LONGLONG>(read ? h.len : 0);
  } else {
    return false;
  }
  if (id < 0xBD) end = GetPos();
  const bool failed = BitReadFailed();
  ClearBitReadFailed();
  return read && !failed;
}

bool CMpegSplitterFile::TsPacketAt(LONGLONG pos, BYTE sync) {
  const int len = GetTsPacketLength();
  if (sync != 0x47 || len <= 0) return false;
  // The last packet of a finished file has no sync byte behind it.
  if (!IsStreaming() && pos + 188 == GetLength()) return true;
  BYTE next = 0;
  if (pos + len >= GetLength()) return false;
  Seek(pos + len);
  return Read(&next, 1) == S_OK && next == 0x47;
}

LONGLONG CMpegSplitterFile::PastStuffing(LONGLONG pos) {
  if (type != ps && type != es) return -1;
  const LONGLONG length = GetLength();
  const LONGLONG n = std::min(kMaxStuffing + 4, length - pos);
  if (n <= 0) return n == 0 ? length : -1;
  std::array<BYTE, kMaxStuffing + 4> b;
  Seek(pos);
  if (Read(b.data(), n) != S_OK) return -1;
  LONGLONG zeros = 0;
  while (zeros < n && b[static_cast<size_t>(zeros)] == 0) zeros++;
  if (zeros == n) return pos + n == length ? length : -1;
  const auto at = static_cast<size_t>(zeros);
  if (zeros < 2 || b[at] != 1 || zeros + 1 >= n || b[at + 1] < kEndCode) return -1;
  return pos + zeros - 2;
}

bool CMpegSplitterFile::UnitAt(LONGLONG pos) {
  BYTE b[8];
  const int n = type == ts ? 1 : type == pva ? 8 : 4;
  Seek(pos);
  if (Read(b, n) != S_OK) return false;
  if (type == ts) return TsPacketAt(pos, b[0]);
  return type == pva ? PvaCode(b) : SystemCode(b);
}

CBaseSplitterFile::Unit CMpegSplitterFile::ResyncUnit() {
  Unit unit;
  // What may stand behind a unit that ends at `end` before the file does.
  auto followed = [this](LONGLONG end, int n, bool (*code)(const BYTE*)) {
    const LONGLONG length = GetLength();
    if (end == length) return true;
    BYTE b[8];
    if (end > length - n) return false;
    Seek(end);
    return (Read(b, n) == S_OK && code(b)) || PastStuffing(end) >= 0;
  };
  if (type == ts) {
    unit.header = 1;
    unit.holds = [this](LONGLONG pos, const BYTE* b) { return TsPacketAt(pos, b[0]); };
    unit.begun = [](LONGLONG, const BYTE* b) { return b[0] == 0x47; };
  } else if (type == pva) {
    unit.header = 8;
    unit.holds = [followed](LONGLONG pos, const BYTE* b) {
      return PvaCode(b) && followed(pos + 8 + (b[6] << 8 | b[7]), 8, PvaCode);
    };
    unit.begun = [](LONGLONG, const BYTE* b) { return PvaCode(b); };
  } else {
    unit.header = 4;
    unit.holds = [this, followed](LONGLONG pos, const BYTE* b) {
      LONGLONG end = 0;
      return SystemCode(b) && SystemUnitEnd(pos, b[3], end) && end <= GetLength() && followed(end, 4, SystemCode);
    };
    unit.begun = [](LONGLONG, const BYTE* b) { return SystemCode(b); };
  }
  return unit;
}
