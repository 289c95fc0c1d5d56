#include "splitters/avi/AviFile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/dshow/StreamTime.h"

namespace {

// RIFF files nest lists a few levels deep; a file nesting them deeper is
// refused rather than followed down the stack.
constexpr int kMaxListDepth = 32;
// Times stay far from the ends of 64 bits, so sums and differences of them
// cannot overflow.
constexpr double kMaxTime = 1e18;

constexpr DWORD kInfoIds[] = {
    AviFcc("IARL"), AviFcc("IART"), AviFcc("ICMS"), AviFcc("ICMT"), AviFcc("ICOP"), AviFcc("ICRD"),
    AviFcc("ICRP"), AviFcc("IDIM"), AviFcc("IDPI"), AviFcc("IENG"), AviFcc("IGNR"), AviFcc("IKEY"),
    AviFcc("ILGT"), AviFcc("IMED"), AviFcc("INAM"), AviFcc("IPLT"), AviFcc("IPRD"), AviFcc("ISBJ"),
    AviFcc("ISFT"), AviFcc("ISHP"), AviFcc("ISRC"), AviFcc("ISRF"), AviFcc("ITCH")};

constexpr DWORD kAvihBody = sizeof(AVIMAINHEADER) - 8;
constexpr DWORD kStrhBody = sizeof(AVISTREAMHEADER) - 8;
// Super index: header after fcc and cb, and one entry.
constexpr size_t kSuperHeader = 24;
constexpr size_t kSuperEntry = 16;
// Standard index chunk: header including fcc and cb, and one entry.
constexpr DWORD kStdHeader = 32;
constexpr DWORD kStdEntry = 8;
constexpr DWORD kAviifKeyframe = 0x10;

template <class T>
T LoadLE(const BYTE* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A field of a byte block, 0 when the block is too short to hold it.
template <class T>
T FieldAt(const std::vector<BYTE>& block, size_t offset) {
  return offset + sizeof(T) <= block.size() ? LoadLE<T>(block.data() + offset) : T(0);
}

REFERENCE_TIME ClampTime(double t) {
  if (!(t > -kMaxTime)) return static_cast<REFERENCE_TIME>(-kMaxTime);
  if (!(t < kMaxTime)) return static_cast<REFERENCE_TIME>(kMaxTime);
  return static_cast<REFERENCE_TIME>(t);
}

int ClampIndex(double i) {
  if (!(i > -2147483648.0)) return INT32_MIN;
  if (!(i < 2147483647.0)) return INT32_MAX;
  return static_cast<int>(i);
}

}  // namespace

int AviStreamOfChunkId(DWORD id) {
  const int c0 = static_cast<int>(id & 0xFF), c1 = static_cast<int>((id >> 8) & 0xFF);
  if (c0 < '0' || c0 > '9' || c1 < '0' || c1 > '9') return -1;
  return (c0 - '0') * 10 + (c1 - '0');
}

// ---------------------------------------------------------------------------
// AviStream

bool AviStream::IsAudio() const { return strh.fccType == AviFcc("auds"); }
WORD AviStream::FormatTag() const { return FieldAt<WORD>(strf, 0); }
WORD AviStream::BlockAlign() const { return FieldAt<WORD>(strf, 12); }

REFERENCE_TIME AviStream::GetRefTime(UINT64 frame, UINT64 size) const {
  double count = static_cast<double>(frame);
  if (IsAudio()) {
    const WORD align = BlockAlign();
    count = align ? static_cast<double>(size) / align : 0.0;
  }
  const double ratio = strh.dwRate ? static_cast<double>(strh.dwScale) / strh.dwRate : 0.0;
  return ClampTime(ratio * count * static_cast<double>(UNITS) + 0.5 + static_cast<double>(rtStart));
}

int AviStream::GetFrame(REFERENCE_TIME t) const {
  t -= rtStart;
  const double ratio = strh.dwScale ? static_cast<double>(strh.dwRate) / strh.dwScale : 0.0;
  int i;
  if (IsAudio()) {
    const REFERENCE_TIME bytes = ClampTime(BlockAlign() * ratio * static_cast<double>(t) / static_cast<double>(UNITS) + 0.5);
    // Running sizes never fall: the last chunk that starts at or before
    // the byte position.
    auto above = std::upper_bound(chunks.begin(), chunks.end(), bytes, [](REFERENCE_TIME b, const AviChunk& c) {
      return b < 0 || static_cast<UINT64>(b) < c.size;
    });
    i = static_cast<int>(above - chunks.begin()) - 1;
  } else {
    i = ClampIndex(static_cast<double>(t) * ratio / static_cast<double>(UNITS) + 0.5);
  }
  const int count = static_cast<int>(std::min<size_t>(chunks.size(), INT32_MAX));
  if (i >= count) i = count - 1;
  return i;
}

int AviStream::GetKeyFrame(REFERENCE_TIME t) const {
  const int i = GetFrame(t);
  if (i < 1) return i;
  for (int j = i; j > 0; --j)
    if (chunks[static_cast<size_t>(j)].fKeyFrame) return j;
  return 0;
}

UINT64 AviStream::GetChunkSize(DWORD length) const {
  if (!IsAudio()) return length;
  const WORD align = BlockAlign();
  if (!align) return 0;
  return (static_cast<UINT64>(length) + align - 1) / align * align;
}

bool AviStream::IsRawSubtitleStream() const { return strh.fccType == AviFcc("txts") && chunks.size() == 1; }

// ---------------------------------------------------------------------------
// CAviFile: opening and the RIFF walk

CAviFile::CAviFile(IAsyncReader* reader, HRESULT& hr) : CBaseSplitterFile(reader, hr, 2048, true) {
  if (SUCCEEDED(hr)) hr = Init();
}

bool CAviFile::ReadDword(DWORD& v) {
  BYTE b[4];
  if (Read(b, 4) != S_OK) return false;
  v = LoadLE<DWORD>(b);
  return true;
}

bool CAviFile::ReadBody(DWORD size, std::vector<BYTE>& out, size_t prefix) {
  // A length from the file is only believed as far as the file goes.
  if (static_cast<LONGLONG>(size) > GetRemaining()) return false;
  try {
    out.assign(prefix + size, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return size == 0 || Read(out.data() + prefix, size) == S_OK;
}

namespace {

// Four characters of letters, digits, spaces or underscores: what every
// chunk id of the format is made of.
bool IsFourCC(DWORD id) {
  for (int i = 0; i < 4; i++) {
    const int c = static_cast<int>((id >> (8 * i)) & 0xFF);
    if (!std::isalnum(c) && c != ' ' && c != '_') return false;
  }
  return true;
}

bool IsDataChunkKind(DWORD id) {
  // "db", "dc", "wb", "iv", "__", "xx"
  static constexpr DWORD kKinds[] = {'d' | 'b' << 8, 'd' | 'c' << 8, 'w' | 'b' << 8,
                                     'i' | 'v' << 8, '_' | '_' << 8, 'x' | 'x' << 8};
  return std::find(std::begin(kKinds), std::end(kKinds), id >> 16) != std::end(kKinds);
}

bool IsListOrIndex(DWORD id) {
  return id == AviFcc("LIST") || id == AviFcc("RIFF") || id == AviFcc("idx1") || id == AviFcc("JUNK");
}

}  // namespace

LONGLONG CAviFile::ScanChunkHeaders(UINT64 from, UINT64 to,
                                    const std::function<bool(UINT64 pos, DWORD id, DWORD size)>& accept) {
  if (from > static_cast<UINT64>(INT64_MAX)) return -1;
  return ScanFor(static_cast<LONGLONG>(from), static_cast<LONGLONG>(std::min<UINT64>(to, INT64_MAX)), 8,
                 [&accept](LONGLONG pos, const BYTE* head) {
                   return accept(static_cast<UINT64>(pos), LoadLE<DWORD>(head), LoadLE<DWORD>(head + 4));
                 });
}

bool CAviFile::PlausibleChunk(UINT64 pos, DWORD id, DWORD size, bool confirm) {
  const UINT64 length = static_cast<UINT64>(GetLength());
  if (pos + 8 + size > length) return false;
  if (!IsListOrIndex(id) && !IsStreamChunk(id)) return false;
  const UINT64 next = pos + 8 + size + (size & 1);
  if (!confirm || next + 8 > length) return true;
  BYTE header[8];
  return SUCCEEDED(ReadAt(next, header, 8)) && IsFourCC(LoadLE<DWORD>(header));
}

LONGLONG CAviFile::FindListOrIndex(UINT64 from) {
  return ScanChunkHeaders(from, static_cast<UINT64>(GetLength()), [&](UINT64 pos, DWORD id, DWORD size) {
    return IsListOrIndex(id) && PlausibleChunk(pos, id, size, true);
  });
}

bool CAviFile::EndsChunks(UINT64 pos) {
  BYTE header[8];
  return pos == static_cast<UINT64>(GetLength()) ||
         (SUCCEEDED(ReadAt(pos, header, 8)) && IsListOrIndex(LoadLE<DWORD>(header)));
}

bool CAviFile::IsStreamChunk(DWORD id) const {
  const int stream = AviStreamOfChunkId(id);
  return stream >= 0 && static_cast<size_t>(stream) < m_strms.size() && IsDataChunkKind(id);
}

HRESULT CAviFile::ReadAt(UINT64 pos, BYTE* data, DWORD length) {
  if (static_cast<LONGLONG>(pos) < 0 || pos + length > static_cast<UINT64>(GetLength())) return E_FAIL;
  // Payloads go straight to the source; only small reads use the cache.
  if (length >= 4096) return Reader()->SyncRead(static_cast<LONGLONG>(pos), static_cast<LONG>(length), data) == S_OK
                                 ? S_OK
                                 : E_FAIL;
  Seek(static_cast<LONGLONG>(pos));
  return Read(data, length) == S_OK ? S_OK : E_FAIL;
}

HRESULT CAviFile::Init() {
  Seek(0);
  DWORD riff = 0, size = 0, type = 0;
  if (!ReadDword(riff) || !ReadDword(size) || !ReadDword(type)) return E_FAIL;
  if (riff != AviFcc("RIFF") || (type != AviFcc("AVI ") && type != AviFcc("AVIX"))) return E_FAIL;

  Seek(0);
  // A walk that breaks off keeps what it read before.
  Parse(0, static_cast<UINT64>(GetLength()), 0);

  if (m_movis.empty()) return E_FAIL;
  if (m_avih.dwStreams == 0 && !m_strms.empty()) m_avih.dwStreams = static_cast<DWORD>(m_strms.size());
  if (m_avih.dwStreams != m_strms.size()) return E_FAIL;

  // VBR MP3 written with a sample-count scale: one block per frame instead.
  for (auto& s : m_strms) {
    const DWORD samplesPerSec = FieldAt<DWORD>(s->strf, 4);
    if (s->IsAudio() && s->FormatTag() == 0x55 && s->BlockAlign() == 1152 && s->strh.dwScale == 1 &&
        s->strh.dwRate != samplesPerSec) {
      s->strh.dwScale = 1152;
      s->strh.dwRate = samplesPerSec;
    }
  }

  if (FAILED(BuildIndex())) EmptyIndex();
  MendPictureRates();

  // A stream begins at its header's start, sound and picture alike; a start
  // past the end of the whole file is a broken field, not a delay.
  const REFERENCE_TIME total = GetTotalTime();
  for (auto& s : m_strms) {
    const double ratio = s->strh.dwRate ? static_cast<double>(s->strh.dwScale) / s->strh.dwRate : 0.0;
    const REFERENCE_TIME start = ClampTime(ratio * s->strh.dwStart * static_cast<double>(UNITS) + 0.5);
    if (total <= 0 || start <= total) s->rtStart = start;
  }
  return S_OK;
}

HRESULT CAviFile::Parse(DWORD parentType, UINT64 end, int depth) {
  if (depth > kMaxListDepth) return E_FAIL;
  HRESULT hr = S_OK;
  std::unique_ptr<AviStream> strm;
  auto current = [&strm]() -> AviStream& {
    if (!strm) strm = std::make_unique<AviStream>();
    return *strm;
  };

  // Damage in the file's own lists (bytes added or lost in 'movi' leave the
  // lists' sizes off) is passed over to the next list or index, which may
  // lie past where the list's size ends: there the walk goes on to the
  // file's end.
  const bool resyncs = parentType == 0 || parentType == AviFcc("AVI ") || parentType == AviFcc("AVIX");
  const UINT64 length = static_cast<UINT64>(GetLength());
  // Every step moves on by at least one chunk header.
  while (hr == S_OK && static_cast<UINT64>(GetPos()) < end) {
    const UINT64 pos = static_cast<UINT64>(GetPos());
    DWORD id = 0, size = 0;
    if (!ReadDword(id) || id == 0 || !ReadDword(size) || (resyncs && !IsFourCC(id))) {
      LONGLONG next = resyncs ? FindListOrIndex(pos + 1) : -1;
      // Bytes lost in 'movi' leave the index before the place its size
      // points to: it is looked for from the list's start, once.
      if (next < 0 && resyncs && m_idx1.empty() && !m_movis.empty() && !m_indexSought) {
        m_indexSought = true;
        next = ScanChunkHeaders(m_movis.back() + 12, pos, [&](UINT64 at, DWORD chunk, DWORD bytes) {
          return chunk == AviFcc("idx1") && bytes % 16 == 0 && PlausibleChunk(at, chunk, bytes, true);
        });
      }
      if (next < 0) {
        hr = E_FAIL;
        break;
      }
      end = length;
      Seek(next);
      continue;
    }
    const UINT64 skip = static_cast<UINT64>(size) + (size & 1) + 8;

    if (id == AviFcc("RIFF") || id == AviFcc("LIST")) {
      DWORD type = 0;
      if (!ReadDword(type)) {
        hr = E_FAIL;
        break;
      }
      if (type == AviFcc("movi")) {
        m_movis.push_back(pos);
      } else {
        hr = Parse(type, pos + skip, depth + 1);
        // A damaged list ends its own walk, not its parent's.
        if (resyncs) hr = S_OK;
      }
    } else if (parentType == AviFcc("INFO") && size > 0 &&
               std::find(std::begin(kInfoIds), std::end(kInfoIds), id) != std::end(kInfoIds)) {
      std::vector<BYTE> text;
      if (!ReadBody(size, text)) hr = E_FAIL;
      else m_info[id].assign(text.begin(), text.end());
    } else if (id == AviFcc("avih")) {
      m_avih = AVIMAINHEADER{};
      if (Read(reinterpret_cast<BYTE*>(&m_avih) + 8, kAvihBody) != S_OK) hr = E_FAIL;
    } else if (id == AviFcc("strh")) {
      AviStream& s = current();
      s.strh = AVISTREAMHEADER{};
      if (Read(reinterpret_cast<BYTE*>(&s.strh) + 8, kStrhBody) != S_OK) hr = E_FAIL;
    } else if (id == AviFcc("strf")) {
      if (!ReadBody(size, current().strf)) hr = E_FAIL;
    } else if (id == AviFcc("strn")) {
      std::vector<BYTE> name;
      if (!ReadBody(size, name)) hr = E_FAIL;
      else current().strn.assign(name.begin(), name.end());
    } else if (id == AviFcc("indx")) {
      std::vector<BYTE>& indx = current().indx;
      if (!ReadBody(size, indx, 8)) {
        hr = E_FAIL;
      } else {
        std::memcpy(indx.data(), &id, 4);
        std::memcpy(indx.data() + 4, &size, 4);
      }
    } else if (id == AviFcc("dmlh")) {
      if (!ReadDword(m_dmlhTotalFrames)) hr = E_FAIL;
    } else if (id == AviFcc("idx1")) {
      if (!ReadBody(size, m_idx1, 8)) {
        hr = E_FAIL;
      } else {
        std::memcpy(m_idx1.data(), &id, 4);
        std::memcpy(m_idx1.data() + 4, &size, 4);
      }
    }
    Seek(static_cast<LONGLONG>(std::min<UINT64>(pos + skip, INT64_MAX)));
  }

  if (strm) m_strms.push_back(std::move(strm));
  return hr;
}

// ---------------------------------------------------------------------------
// Index

void CAviFile::EmptyIndex() {
  for (auto& s : m_strms) {
    s->chunks.clear();
    s->chunks.shrink_to_fit();
    s->totalSize = 0;
    s->interleave.clear();
  }
}

HRESULT CAviFile::BuildIndex() {
  EmptyIndex();
  bool openDml = !m_strms.empty();
  for (auto& s : m_strms)
    if (FieldAt<DWORD>(s->indx, 8 + 4) == 0) openDml = false;

  HRESULT hr = E_FAIL;
  try {
    hr = openDml ? BuildOpenDmlIndex() : BuildIdx1Index();
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) EmptyIndex();
  if (SUCCEEDED(hr)) CheckIndex();

  m_idx1.clear();
  m_idx1.shrink_to_fit();
  for (auto& s : m_strms) {
    s->indx.clear();
    s->indx.shrink_to_fit();
  }
  return hr;
}

LONGLONG CAviFile::LocateInLayout(size_t stream, size_t k, LONGLONG shift) {
  const auto& chunks = m_strms[stream]->chunks;
  const UINT64 length = static_cast<UINT64>(GetLength());
  auto moved = [shift](UINT64 pos) { return static_cast<UINT64>(std::max<LONGLONG>(0, static_cast<LONGLONG>(pos) + shift)); };
  const AviChunk& c = chunks[k];
  // The first chunk of the stream after the chunk before it, walked over
  // the chunks between (before the next chunk of the stream).
  UINT64 at = k > 0 ? moved(chunks[k - 1].filePos + 8 + chunks[k - 1].storedSize + (chunks[k - 1].storedSize & 1))
                    : (m_movis.empty() ? 0 : m_movis.front() + 12);
  const UINT64 limit = std::min(k + 1 < chunks.size() ? moved(chunks[k + 1].filePos) : length, length);
  for (int steps = 0; steps < 4096 && at + 8 <= limit; ++steps) {
    BYTE header[12];
    if (FAILED(ReadAt(at, header, length - at >= 12 ? 12 : 8))) break;
    const DWORD id = LoadLE<DWORD>(header), size = LoadLE<DWORD>(header + 4);
    if (id == AviFcc("LIST") && length - at >= 12 && LoadLE<DWORD>(header + 8) == AviFcc("rec ")) {
      at += 12;
      continue;
    }
    if (AviStreamOfChunkId(id) == static_cast<int>(stream) && IsDataChunkKind(id))
      return size == c.storedSize && at + 8 + size <= length ? static_cast<LONGLONG>(at) : -1;
    if (!IsStreamChunk(id) && !IsListOrIndex(id)) break;
    at += 8 + static_cast<UINT64>(size) + (size & 1);
  }
  return -1;
}

void CAviFile::CheckIndex() {
  const UINT64 length = static_cast<UINT64>(GetLength());
  auto end = [](const AviChunk& c) { return c.filePos + 8 + c.storedSize + (c.storedSize & 1); };
  for (size_t i = 0; i < m_strms.size(); ++i) {
    AviStream& s = *m_strms[i];
    auto& chunks = s.chunks;
    // Where the last chunk of the stream lies inside the file: an entry
    // past the end before it is damage, not a file cut short.
    size_t inside = chunks.size();
    while (inside > 0 && end(chunks[inside - 1]) > length) --inside;
    for (size_t k = 0; k < chunks.size(); ++k) {
      AviChunk& c = chunks[k];
      if (!c.fChunkHdr) continue;
      const UINT64 before = k > 0 ? chunks[k - 1].filePos : 0;
      const UINT64 after = k + 1 < chunks.size() ? chunks[k + 1].filePos : length;
      // A writer lists a stream's chunks in file order: an entry that is
      // not between its neighbours (which are in order), or that lies past
      // the end of a file that holds later chunks, points elsewhere.
      const bool past = end(c) > length && k + 1 < inside;
      const bool misplaced = before < after && (c.filePos <= before || c.filePos >= after) && k > 0;
      if (!past && !misplaced) continue;
      const LONGLONG at = LocateInLayout(i, k, 0);
      if (at >= 0) {
        c.filePos = static_cast<UINT64>(at);
        s.relocated++;
      } else {
        // Kept in its place in the stream's order, so that the chunks after
        // it keep their times, and passed over.
        c.filePos = k > 0 ? chunks[k - 1].filePos + 1 : before;
        s.lost.push_back(static_cast<DWORD>(k));
      }
    }
  }
}

HRESULT CAviFile::BuildOpenDmlIndex() {
  const bool hasIdx1 = !m_idx1.empty();
  // Every chunk has at least its 8-byte header in the file: an index that
  // lists more chunks than that cannot be right.
  const UINT64 maxChunks = static_cast<UINT64>(GetLength()) / 8 + 1;

  for (auto& s : m_strms) {
    const std::vector<BYTE>& indx = s->indx;
    const size_t held = indx.size() >= 8 + kSuperHeader ? (indx.size() - 8 - kSuperHeader) / kSuperEntry : 0;
    const size_t entries = std::min<size_t>(FieldAt<DWORD>(indx, 8 + 4), held);

    struct StdIndex {
      UINT64 offset;
      DWORD size;
      DWORD entries;
    };
    std::vector<StdIndex> parts;
    UINT64 total = 0;
    for (size_t e = 0; e < entries; ++e) {
      const BYTE* entry = indx.data() + 8 + kSuperHeader + e * kSuperEntry;
      StdIndex part{LoadLE<UINT64>(entry), LoadLE<DWORD>(entry + 8), 0};
      BYTE header[kStdHeader];
      if (part.size < kStdHeader || FAILED(ReadAt(part.offset, header, kStdHeader))) return E_FAIL;
      part.entries = std::min<DWORD>(LoadLE<DWORD>(header + 12), (part.size - kStdHeader) / kStdEntry);
      total += part.entries;
      parts.push_back(part);
    }
    s->chunks.reserve(static_cast<size_t>(std::min(total, maxChunks)));

    UINT64 running = 0;
    std::vector<BYTE> data;
    for (const StdIndex& part : parts) {
      if (static_cast<UINT64>(part.size) > static_cast<UINT64>(GetLength())) return E_FAIL;
      data.resize(part.size);
      if (FAILED(ReadAt(part.offset, data.data(), part.size))) return E_FAIL;
      const UINT64 base = LoadLE<UINT64>(data.data() + 20);
      for (DWORD k = 0; k < part.entries && s->chunks.size() < maxChunks; ++k) {
        const BYTE* entry = data.data() + kStdHeader + static_cast<size_t>(k) * kStdEntry;
        const DWORD offset = LoadLE<DWORD>(entry), size = LoadLE<DWORD>(entry + 4);
        AviChunk c{};
        c.size = running;
        c.filePos = base + offset;
        c.fKeyFrame = !(size & 0x80000000u) || s->IsAudio();
        c.fChunkHdr = 0;
        c.storedSize = size & 0x7FFFFFFFu;
        // With an idx1 as well, the chunk headers are checked while reading.
        if (hasIdx1) {
          c.filePos -= 8;
          c.fChunkHdr = 1;
        }
        running += s->GetChunkSize(c.storedSize);
        s->chunks.push_back(c);
      }
    }
    s->totalSize = running;
  }
  return S_OK;
}

HRESULT CAviFile::BuildIdx1Index() {
  if (m_idx1.size() < 8) return S_OK;
  const size_t count = (m_idx1.size() - 8) / 16;
  const BYTE* entries = m_idx1.data() + 8;
  auto id = [&](size_t j) { return LoadLE<DWORD>(entries + j * 16); };
  auto flags = [&](size_t j) { return LoadLE<DWORD>(entries + j * 16 + 4); };
  auto offset = [&](size_t j) { return LoadLE<DWORD>(entries + j * 16 + 8); };
  auto length = [&](size_t j) { return LoadLE<DWORD>(entries + j * 16 + 12); };

  // Offsets count from the "movi" fourcc, unless the first entry shows them
  // to be file positions: decided once, so every stream reads alike.
  UINT64 base = m_movis.front() + 8;
  if (count > 0 && offset(0) > base) {
    BYTE there[4];
    if (FAILED(ReadAt(base + offset(0), there, 4)) || LoadLE<DWORD>(there) != id(0)) base = 0;
  }

  std::vector<size_t> perStream(m_strms.size(), 0);
  for (size_t j = 0; j < count; ++j) {
    const int s = AviStreamOfChunkId(id(j));
    if (s >= 0 && static_cast<size_t>(s) < m_strms.size()) ++perStream[static_cast<size_t>(s)];
  }
  for (size_t i = 0; i < m_strms.size(); ++i) m_strms[i]->chunks.reserve(perStream[i]);

  std::vector<UINT64> running(m_strms.size(), 0);
  for (size_t j = 0; j < count; ++j) {
    const int sn = AviStreamOfChunkId(id(j));
    if (sn < 0 || static_cast<size_t>(sn) >= m_strms.size()) continue;
    AviStream& s = *m_strms[static_cast<size_t>(sn)];
    AviChunk c{};
    c.size = running[static_cast<size_t>(sn)];
    c.filePos = offset(j) + base;
    c.fKeyFrame = (flags(j) & kAviifKeyframe) || s.IsAudio() || s.chunks.empty();
    // An empty entry may share its offset with the next (a dropped frame);
    // one with data there would read another chunk's bytes, so its header
    // is checked like any other's.
    c.fChunkHdr = !(j + 1 < count && offset(j + 1) == offset(j) && length(j) == 0);
    c.storedSize = length(j);
    running[static_cast<size_t>(sn)] += s.GetChunkSize(c.storedSize);
    s.chunks.push_back(c);
  }
  for (size_t i = 0; i < m_strms.size(); ++i) m_strms[i]->totalSize = running[i];
  return IndexLeftOutStreams();
}

HRESULT CAviFile::IndexLeftOutStreams() {
  // An index that lists some streams but leaves out others (written by
  // tools that index the video alone): the streams it leaves out are found
  // by walking the movi lists, the listed ones keep their entries.
  bool listed = false, leftOut = false;
  for (const auto& s : m_strms) (s->chunks.empty() ? leftOut : listed) = true;
  if (!listed || !leftOut) return S_OK;
  std::vector<std::vector<AviChunk>> chunks(m_strms.size());
  std::vector<UINT64> sizes(m_strms.size(), 0);
  Seek(0);
  // A walk that breaks off on a damaged chunk keeps what it found before.
  ScanChunks(static_cast<UINT64>(GetLength()), chunks, sizes, [] { return true; });
  for (size_t i = 0; i < m_strms.size(); ++i) {
    AviStream& s = *m_strms[i];
    if (!s.chunks.empty()) continue;
    s.chunks = std::move(chunks[i]);
    s.totalSize = sizes[i];
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Interleave check and total time

bool CAviFile::IsInterleaved(bool keepInfo) {
  if (m_strms.size() < 2) return true;
  const size_t ns = m_strms.size();
  for (auto& s : m_strms) s->interleave.assign(s->IsRawSubtitleStream() ? 0 : s->chunks.size(), {});

  // Order pass: every chunk's number in file order, and its time.
  std::vector<size_t> next(ns, 0);
  std::vector<UINT64> run(ns, 0);
  DWORD order = 0;
  for (;;) {
    int best = -1;
    UINT64 bestPos = 0;
    for (size_t i = 0; i < ns; ++i) {
      const AviStream& s = *m_strms[i];
      if (next[i] < s.chunks.size() && (best < 0 || s.chunks[next[i]].filePos < bestPos)) {
        best = static_cast<int>(i);
        bestPos = s.chunks[next[i]].filePos;
      }
    }
    if (best < 0) break;
    const auto b = static_cast<size_t>(best);
    AviStream& s = *m_strms[b];
    const size_t c = next[b];
    if (!s.IsRawSubtitleStream()) {
      const REFERENCE_TIME t = s.GetRefTime(c, run[b]) >> 13;
      s.interleave[c] = {static_cast<DWORD>(std::clamp<REFERENCE_TIME>(t, 0, UINT32_MAX)), order++};
    }
    run[b] = s.chunks[c].size;
    ++next[b];
  }

  // Time pass: neighbours in time must lie near each other in the file.
  bool interleaved = true;
  DWORD last = 0;
  VisitInTimeOrder([&](size_t, const AviInterleaveEntry& e) {
    if ((e.n > last ? e.n - last : last - e.n) >= 1000) interleaved = false;
    last = e.n;
    return interleaved;
  });

  if (interleaved && !keepInfo)
    for (auto& s : m_strms) {
      s->interleave.clear();
      s->interleave.shrink_to_fit();
    }
  return interleaved;
}

void CAviFile::VisitInTimeOrder(const std::function<bool(size_t, const AviInterleaveEntry&)>& visit) const {
  std::vector<size_t> next(m_strms.size(), 0);
  for (;;) {
    int best = -1;
    DWORD bestT = 0x7FFFFFFF;
    for (size_t i = 0; i < m_strms.size(); ++i) {
      const AviStream& s = *m_strms[i];
      if (s.IsRawSubtitleStream()) continue;
      if (next[i] < s.interleave.size() && s.interleave[next[i]].t < bestT) {
        best = static_cast<int>(i);
        bestT = s.interleave[next[i]].t;
      }
    }
    if (best < 0) return;
    const auto b = static_cast<size_t>(best);
    if (!visit(b, m_strms[b]->interleave[next[b]++])) return;
  }
}

HRESULT CAviFile::ScanChunks(UINT64 end, std::vector<std::vector<AviChunk>>& chunks, std::vector<UINT64>& sizes,
                             const std::function<bool()>& poll, int depth) {
  if (depth > kMaxListDepth) return E_FAIL;
  HRESULT hr = S_OK;
  const UINT64 length = static_cast<UINT64>(GetLength());
  while (hr == S_OK && static_cast<UINT64>(GetPos()) < end) {
    const UINT64 pos = static_cast<UINT64>(GetPos());
    DWORD id = 0, size = 0;
    // What is no chunk (damage, or a list whose size was thrown off by it)
    // is passed over to the next data chunk, list or index, in this list or
    // (the list's size being off) past it.
    const bool read = ReadDword(id) && id != 0 && ReadDword(size);
    const bool list = id == AviFcc("RIFF") || id == AviFcc("LIST");
    // A list may run past the end of a file cut short; a chunk may not.
    if (!read || !IsFourCC(id) || (!list && pos + 8 + size > length)) {
      Unit unit;
      unit.header = 8;
      unit.holds = [this](LONGLONG at, const BYTE* head) {
        return PlausibleChunk(static_cast<UINT64>(at), LoadLE<DWORD>(head), LoadLE<DWORD>(head + 4), true);
      };
      unit.begun = [this](LONGLONG at, const BYTE* head) {
        return PlausibleChunk(static_cast<UINT64>(at), LoadLE<DWORD>(head), 0, false);
      };
      const LONGLONG next = Resync(static_cast<LONGLONG>(pos), static_cast<LONGLONG>(length), unit);
      if (next < 0) return E_FAIL;
      end = std::max(end, static_cast<UINT64>(next) + 8);
      continue;
    }
    const UINT64 skip = static_cast<UINT64>(size) + (size & 1) + 8;

    if (id == AviFcc("RIFF") || id == AviFcc("LIST")) {
      DWORD type = 0;
      if (!ReadDword(type)) return E_FAIL;
      if (type == AviFcc("AVI ") || type == AviFcc("AVIX") || type == AviFcc("movi") || type == AviFcc("rec "))
        hr = ScanChunks(pos + skip, chunks, sizes, poll, depth + 1);
    } else {
      const int sn = AviStreamOfChunkId(id);
      if (sn >= 0 && static_cast<size_t>(sn) < chunks.size() && static_cast<size_t>(sn) < m_strms.size() &&
          IsDataChunkKind(id)) {
        const auto s = static_cast<size_t>(sn);
        AviChunk c{};
        c.fKeyFrame = size > 0;
        c.fChunkHdr = 1;
        c.size = sizes[s];
        c.filePos = pos;
        c.storedSize = size;
        chunks[s].push_back(c);
        sizes[s] += m_strms[s]->GetChunkSize(size);
      }
    }
    Seek(static_cast<LONGLONG>(std::min<UINT64>(pos + skip, INT64_MAX)));
    if (!poll()) return E_ABORT;
  }
  return hr;
}

void CAviFile::MendPictureRates() {
  // The main header's frame time over a picture stream's own frames, and
  // the sound's own length, say how long the picture lasts; a stream
  // header whose rate makes it many times longer or shorter than both is
  // damaged, and the main header's frame time stands in for it.
  const double frame = m_avih.dwMicroSecPerFrame * 10.0;
  if (frame < StreamTime::kMillisecond || frame > StreamTime::kStepAhead) return;
  REFERENCE_TIME sound = 0;
  for (const auto& s : m_strms)
    if (s->IsAudio() && !s->chunks.empty()) sound = std::max(sound, s->GetRefTime(s->chunks.size(), s->totalSize));
  auto off = [](double a, double b) { return a >= b * StreamTime::kLengthOff || a * StreamTime::kLengthOff <= b; };
  for (auto& s : m_strms) {
    if (s->strh.fccType != AviFcc("vids") || s->chunks.empty()) continue;
    const double header = static_cast<double>(s->GetRefTime(s->chunks.size(), 0) - s->rtStart);
    const double main = frame * static_cast<double>(s->chunks.size());
    if (!off(header, main) || (sound > 0 && off(main, static_cast<double>(sound)))) continue;
    s->mendedScale = s->strh.dwScale;
    s->mendedRate = s->strh.dwRate;
    s->strh.dwScale = m_avih.dwMicroSecPerFrame;
    s->strh.dwRate = 1000000;
  }
}

REFERENCE_TIME CAviFile::GetTotalTime() const {
  REFERENCE_TIME total = 0;
  for (const auto& s : m_strms) total = std::max(total, s->GetRefTime(s->chunks.size(), s->totalSize));
  if (total == 0)
    total = ClampTime(static_cast<double>(m_avih.dwMicroSecPerFrame) * m_avih.dwTotalFrames * 10.0);
  return total;
}
