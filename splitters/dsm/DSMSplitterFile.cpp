#include "splitters/dsm/DSMSplitterFile.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/win32/CodePage.h"

namespace {

constexpr LONGLONG kWindow = 65536;
constexpr LONGLONG kBisectMin = 1048576;
constexpr int kBisectSteps = 10;
constexpr size_t kMediaTypeHeader = 53;
const GUID kSubtitleMajor = MakeGuid("E487EB08-6B26-4BE9-9DD3-993434D313FD");

}  // namespace

CDSMSplitterFile::CDSMSplitterFile(IAsyncReader* reader, HRESULT& hr, IDSMResourceBag& resources,
                                   IDSMChapterBag& chapters)
    : CBaseSplitterFile(reader, hr, 2048, false), m_resources(resources), m_chapters(chapters) {
  if (SUCCEEDED(hr)) hr = Init();
}

// ---------------------------------------------------------------------------
// Packets

bool CDSMSplitterFile::Sync(LONGLONG& syncpos, dsmp_t& type, UINT64& len, LONGLONG limit) {
  BitByteAlign();
  const LONGLONG start = GetPos();
  DWORD reg = 0;
  for (;;) {
    // Reading the next byte would pass the limit, or no header can follow.
    if (GetPos() - start >= limit + 4 || GetRemaining() < 3) return false;
    reg = reg << 8 | static_cast<DWORD>(BitRead(8));
    if (reg != DSMSW) continue;
    syncpos = GetPos() - 4;
    type = static_cast<dsmp_t>(BitRead(5));
    const int bytes = static_cast<int>(BitRead(3)) + 1;
    if (GetRemaining() < bytes) return false;
    len = ReadNumber(bytes);
    // A length past the data is not a packet's: look on from the word.
    if (len <= static_cast<UINT64>(GetRemaining())) return true;
    Seek(syncpos + 4);
    reg = 0;
  }
}

bool CDSMSplitterFile::Sync(dsmp_t& type, UINT64& len, LONGLONG limit) {
  LONGLONG syncpos;
  return Sync(syncpos, type, len, limit);
}

namespace {

DWORD SyncWord(const BYTE* b) { return DWORD(b[0]) << 24 | DWORD(b[1]) << 16 | DWORD(b[2]) << 8 | b[3]; }

}  // namespace

bool CDSMSplitterFile::PacketAt(LONGLONG pos) {
  BYTE b[4];
  Seek(pos);
  return CBaseSplitterFile::Read(b, 4) == S_OK && SyncWord(b) == DSMSW;
}

CBaseSplitterFile::Unit CDSMSplitterFile::PacketUnit() {
  Unit unit;
  unit.header = 5;
  unit.holds = [this](LONGLONG pos, const BYTE* b) {
    if (SyncWord(b) != DSMSW) return false;
    const int bytes = (b[4] & 7) + 1;
    Seek(pos + 5);
    if (GetRemaining() < bytes) return false;
    const UINT64 len = ReadNumber(bytes);
    if (len > static_cast<UINT64>(GetRemaining())) return false;
    const LONGLONG end = GetPos() + static_cast<LONGLONG>(len), length = GetLength();
    return end == length || (end <= length - 4 && PacketAt(end));
  };
  unit.begun = [](LONGLONG, const BYTE* b) { return SyncWord(b) == DSMSW; };
  return unit;
}

UINT64 CDSMSplitterFile::ReadNumber(int bytes) {
  UINT64 v = 0;
  for (int i = 0; i < bytes; i++) v = v << 8 | BitRead(8);
  return v;
}

UINT64 CDSMSplitterFile::Read(UINT64 len, std::wstring& str) {
  std::string utf8;
  UINT64 used = 0;
  while (used < len) {
    const char c = static_cast<char>(BitRead(8));
    used++;
    if (c == 0) break;
    utf8 += c;
  }
  str = Utf8ToWide(utf8);
  return used;
}

bool CDSMSplitterFile::Read(UINT64 len, BYTE& track, CMediaType& mt) {
  if (len < kMediaTypeHeader) return false;
  track = static_cast<BYTE>(BitRead(8));
  mt.InitMediaType();
  // The GUIDs are stored in their in-memory layout.
  if (ByteRead(reinterpret_cast<BYTE*>(&mt.majortype), sizeof(GUID)) != S_OK ||
      ByteRead(reinterpret_cast<BYTE*>(&mt.subtype), sizeof(GUID)) != S_OK)
    return false;
  mt.bFixedSizeSamples = static_cast<BOOL>(BitRead(1));
  mt.bTemporalCompression = static_cast<BOOL>(BitRead(1));
  mt.lSampleSize = static_cast<ULONG>(BitRead(30));
  if (ByteRead(reinterpret_cast<BYTE*>(&mt.formattype), sizeof(GUID)) != S_OK) return false;
  const UINT64 format = len - kMediaTypeHeader;
  if (format > 0) {
    if (format > 0x7FFFFFFF) return false;
    BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(format));
    if (!block || ByteRead(block, static_cast<LONGLONG>(format)) != S_OK) return false;
  }
  return true;
}

bool CDSMSplitterFile::Read(UINT64 len, Packet& p, bool withData) {
  if (len < 2) return false;
  p.TrackNumber = static_cast<DWORD>(BitRead(8));
  p.bSyncPoint = static_cast<BOOL>(BitRead(1));
  const bool negative = BitRead(1) != 0;
  const int timeBytes = static_cast<int>(BitRead(3)), durationBytes = static_cast<int>(BitRead(3));
  if (len < static_cast<UINT64>(2 + timeBytes + durationBytes)) return false;
  // At most 7 bytes each, so neither the time nor the stop overflows.
  const auto time = static_cast<REFERENCE_TIME>(ReadNumber(timeBytes));
  const auto duration = static_cast<REFERENCE_TIME>(ReadNumber(durationBytes));
  if (negative && timeBytes == 0) {
    p.rtStart = INVALID_TIME;
    p.rtStop = INVALID_TIME + 1;
  } else {
    p.rtStart = negative ? -time : time;
    p.rtStop = p.rtStart + duration;
  }
  if (!withData) return true;
  const UINT64 size = len - 2 - timeBytes - durationBytes;
  if (size > 0x7FFFFFFF) return false;
  p.resize(static_cast<size_t>(size));
  return size == 0 || ByteRead(p.data(), static_cast<LONGLONG>(size)) == S_OK;
}

bool CDSMSplitterFile::Read(UINT64 len, std::vector<SyncPoint>& sps) {
  sps.clear();
  REFERENCE_TIME rt = 0;
  LONGLONG fp = 0;
  while (len > 0) {
    const bool negative = BitRead(1) != 0;
    const int timeBytes = static_cast<int>(BitRead(3)), posBytes = static_cast<int>(BitRead(3));
    BitRead(1);
    len--;
    // An entry running past the body spoils the whole table.
    if (len < static_cast<UINT64>(timeBytes + posBytes)) {
      sps.clear();
      return false;
    }
    const auto dt = static_cast<REFERENCE_TIME>(ReadNumber(timeBytes));
    const auto dp = static_cast<LONGLONG>(ReadNumber(posBytes));
    len -= timeBytes + posBytes;
    rt = static_cast<REFERENCE_TIME>(static_cast<UINT64>(rt) + static_cast<UINT64>(negative ? -dt : dt));
    fp = static_cast<LONGLONG>(static_cast<UINT64>(fp) + static_cast<UINT64>(dp));
    sps.push_back({rt, fp});
  }
  return true;
}

bool CDSMSplitterFile::Read(UINT64 len, IdMap& im) {
  while (len >= 5) {
    char key[4];
    for (char& c : key) c = static_cast<char>(BitRead(8));
    len -= 4;
    std::wstring value;
    len -= Read(len, value);
    im[std::string(key, 4)] = value;
  }
  return true;
}

bool CDSMSplitterFile::ReadChapters(UINT64 len) {
  REFERENCE_TIME rt = 0;
  while (len > 0) {
    const bool negative = BitRead(1) != 0;
    const int timeBytes = static_cast<int>(BitRead(3));
    BitRead(4);
    len--;
    if (len < static_cast<UINT64>(timeBytes)) break;
    const auto dt = static_cast<REFERENCE_TIME>(ReadNumber(timeBytes));
    len -= timeBytes;
    rt = static_cast<REFERENCE_TIME>(static_cast<UINT64>(rt) + static_cast<UINT64>(negative ? -dt : dt));
    std::wstring name;
    len -= Read(len, name);
    m_chapters.AppendChapter(rt, name.c_str());
  }
  m_chapters.SortChapters();
  return true;
}

bool CDSMSplitterFile::ReadResource(UINT64 len) {
  if (len < 1) return false;
  const int compression = static_cast<int>(BitRead(2));
  BitRead(6);
  len--;
  std::wstring name, desc, mime;
  len -= Read(len, name);
  len -= Read(len, desc);
  len -= Read(len, mime);
  // Only stored resources are read.
  if (compression != 0 || len > 0xFFFFFFFF) return false;
  std::vector<BYTE> data(static_cast<size_t>(len));
  if (len > 0 && ByteRead(data.data(), static_cast<LONGLONG>(len)) != S_OK) return false;
  return SUCCEEDED(m_resources.AppendResource(name.c_str(), desc.c_str(), mime.c_str(), data.data(),
                                              static_cast<DWORD>(data.size()), 0));
}

bool CDSMSplitterFile::ReadOther(dsmp_t type, UINT64 len, Packet& p) {
  switch (type) {
    case DSMP_SAMPLE: return Read(len, p, false) && p.rtStart != INVALID_TIME;
    case DSMP_CHAPTERS: ReadChapters(len); break;
    case DSMP_SYNCPOINTS: Read(len, m_sps); break;
    case DSMP_RESOURCES: ReadResource(len); break;
    default: break;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Header

HRESULT CDSMSplitterFile::Init() {
  Seek(0);
  if (BitRead(32) != DSMSW || BitRead(5) != DSMP_FILEINFO) return E_FAIL;
  Seek(0);
  m_mts.clear();
  m_fim.clear();
  m_sim.clear();
  m_sps.clear();
  m_rtFirst = m_rtDuration = 0;
  m_resources.RemoveResourcesByTag(0);
  m_chapters.RemoveAllChapters();

  dsmp_t type;
  UINT64 len;
  bool timed = false, lastWasSample = false;
  while (!timed && Sync(type, len, 0)) {
    const LONGLONG body = GetPos();
    lastWasSample = type == DSMP_SAMPLE;
    switch (type) {
      case DSMP_FILEINFO:
        if (len < 1 || BitRead(8) > 1) return E_FAIL;
        Read(len - 1, m_fim);
        break;
      case DSMP_STREAMINFO:
        if (len >= 1) {
          const auto track = static_cast<BYTE>(BitRead(8));
          Read(len - 1, m_sim[track]);
        }
        break;
      case DSMP_MEDIATYPE: {
        BYTE track;
        CMediaType mt;
        if (Read(len, track, mt)) m_mts[track] = mt;
        break;
      }
      case DSMP_SAMPLE: {
        Packet p;
        if (Read(len, p, false) && p.rtStart != INVALID_TIME) {
          m_rtFirst = p.rtStart;
          timed = true;
        }
        break;
      }
      default: {
        Packet ignored;
        ReadOther(type, len, ignored);
        break;
      }
    }
    Seek(body + static_cast<LONGLONG>(len));
  }
  if (!timed && !lastWasSample) return E_FAIL;
  const LONGLONG headerEnd = GetPos();

  if (timed && IsComplete()) {
    // The last time stamp: every packet header, windows from the end down
    // to the start (also of a file shorter than half a window). A packet
    // is read once, and the header's own packets not again.
    const LONGLONG length = GetLength();
    const LONGLONG n = (length + kWindow - 1) / kWindow;
    LONGLONG end = length;
    for (LONGLONG i = 1; i <= n; i++) {
      const LONGLONG start = std::max<LONGLONG>(length - i * kWindow, 0);
      Seek(start);
      LONGLONG syncpos;
      while (Sync(syncpos, type, len, kWindow) && syncpos < std::min(start + kWindow, end)) {
        const LONGLONG body = GetPos();
        Packet p;
        if (syncpos >= headerEnd || type == DSMP_SAMPLE) {
          if (ReadOther(type, len, p)) m_rtDuration = std::max(m_rtDuration, p.rtStop - m_rtFirst);
        }
        Seek(body + static_cast<LONGLONG>(len));
      }
      end = start;
    }
  }
  if (m_rtFirst < 0) {
    m_rtDuration += m_rtFirst;
    m_rtFirst = 0;
  }
  return m_mts.empty() ? E_FAIL : S_OK;
}

// ---------------------------------------------------------------------------
// Seeking

LONGLONG CDSMSplitterFile::FindSyncPoint(REFERENCE_TIME rt, const std::function<bool()>& abort) {
  auto aborted = [&] { return abort && abort(); };
  if (m_sps.size() > 1) {
    const REFERENCE_TIME target = rt + m_rtFirst;
    if (target < m_sps.front().rt) return 0;
    if (target >= m_sps.back().rt) return m_sps.back().fp;
    // Invariant: entry lo is at or before the target, entry hi after it.
    size_t lo = 0, hi = m_sps.size() - 1;
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2;
      (m_sps[mid].rt <= target ? lo : hi) = mid;
    }
    return m_sps[lo].fp;
  }
  if (m_rtDuration <= 0 || rt <= m_rtFirst) return 0;

  LONGLONG syncpos;
  dsmp_t type;
  UINT64 len;
  // The next sample with a time that starts before `limitPos`: its time
  // from the first time stamp, with the reader behind it; false when none
  // follows within the scan limit.
  auto nextTimed = [&](LONGLONG limitPos, REFERENCE_TIME& t) {
    while (!aborted() && Sync(syncpos, type, len, kWindow) && syncpos < limitPos) {
      const LONGLONG body = GetPos();
      Packet p;
      const bool timed = type == DSMP_SAMPLE && Read(len, p, false) && p.rtStart != INVALID_TIME;
      Seek(body + static_cast<LONGLONG>(len));
      if (timed) {
        t = p.rtStart - m_rtFirst;
        return true;
      }
    }
    return false;
  };

  LONGLONG lo = 0, hi = GetLength();
  for (int i = 0; i < kBisectSteps && hi - lo >= kBisectMin; i++) {
    Seek((lo + hi) / 2);
    REFERENCE_TIME t;
    if (!nextTimed(hi, t)) continue;
    if (t >= rt) hi = std::max(syncpos - kWindow, lo);
    else lo = syncpos;
  }

  Seek(lo);
  LONGLONG candidate = hi;
  for (REFERENCE_TIME t; !aborted();) {
    if (nextTimed(GetLength(), t)) {
      if (t >= rt) {
        candidate = syncpos;
        break;
      }
    } else if (GetRemaining() < 3) {
      break;
    }
  }

  // Back to a key frame of every stream that has them: windows further
  // back each round until each stream has one, or the start is reached.
  std::set<DWORD> tracks;
  for (const auto& [track, mt] : m_mts)
    if (mt.majortype != MEDIATYPE_Text && mt.majortype != kSubtitleMajor) tracks.insert(track);
  for (LONGLONG end = candidate; !tracks.empty() && end > 0 && !aborted();) {
    const LONGLONG start = std::max<LONGLONG>(end - kWindow, 0);
    Seek(start);
    while (Sync(syncpos, type, len, kWindow) && syncpos < end) {
      const LONGLONG body = GetPos();
      Packet p;
      if (type == DSMP_SAMPLE && Read(len, p, false) && p.rtStart != INVALID_TIME && p.bSyncPoint &&
          tracks.erase(p.TrackNumber))
        candidate = std::min(candidate, syncpos);
      Seek(body + static_cast<LONGLONG>(len));
    }
    end = start;
  }
  return candidate;
}
