#include "foundation/BaseSplitterFile.h"

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "platform/win32/Thread.h"

CBaseSplitterFile::CBaseSplitterFile(IAsyncReader* reader, HRESULT& hr, int cacheSize, bool requireComplete)
    : m_reader(reader) {
  if (!m_reader) {
    hr = E_UNEXPECTED;
    return;
  }
  m_reader->AddRef();

  LONGLONG total = 0, available = 0;
  hr = m_reader->Length(&total, &available);
  m_streaming = total <= 0 && available > 0;
  m_complete = total > 0 && total == available;
  m_len = total;
  if (FAILED(hr) || (requireComplete && !m_complete) || total < 0) {
    hr = E_FAIL;
    return;
  }
  if (m_streaming) m_len = available;
  hr = SetCacheSize(cacheSize) ? S_OK : E_OUTOFMEMORY;
}

CBaseSplitterFile::~CBaseSplitterFile() {
  if (m_reader) m_reader->Release();
}

bool CBaseSplitterFile::SetCacheSize(int cacheSize) {
  m_cache.reset();
  m_cachePos = m_cacheLen = m_cacheSize = 0;
  if (cacheSize <= 0) return true;
  m_cache.reset(new (std::nothrow) BYTE[static_cast<size_t>(cacheSize)]);
  if (!m_cache) return false;
  m_cacheSize = cacheSize;
  return true;
}

void CBaseSplitterFile::RefreshLength() {
  if (!m_streaming || !m_reader) return;
  LONGLONG total = 0, available = 0;
  if (SUCCEEDED(m_reader->Length(&total, &available))) m_len = available;
}

void CBaseSplitterFile::FollowShrink() {
  // A read past the end of a file that was cut while it was read: it ends
  // where it now ends, so the demuxer sees its end instead of failing
  // every read of the part that is gone.
  LONGLONG total = 0, available = 0;
  if (!m_streaming && m_reader && SUCCEEDED(m_reader->Length(&total, &available)) && total >= 0 && total < m_len)
    m_len = total;
}

LONGLONG CBaseSplitterFile::GetLength() {
  RefreshLength();
  return m_len;
}

bool CBaseSplitterFile::IsComplete() {
  LONGLONG total = 0, available = 0;
  return m_reader && SUCCEEDED(m_reader->Length(&total, &available)) && total > 0 && total == available;
}

LONGLONG CBaseSplitterFile::GetRemaining() { return std::max<LONGLONG>(0, GetLength() - GetPos()); }

void CBaseSplitterFile::Seek(LONGLONG pos) {
  RefreshLength();
  m_pos = std::clamp<LONGLONG>(pos, 0, std::max<LONGLONG>(0, m_len));
  m_bitBuff = 0;
  m_bitLen = 0;
}

HRESULT CBaseSplitterFile::Read(BYTE* data, LONGLONG length) {
  if (!m_reader) return E_NOINTERFACE;
  if (length < 0 || (length > 0 && !data)) return E_INVALIDARG;
  // A read of nothing touches nothing (the buffer may be null).
  if (length == 0) return S_OK;

  if (!m_complete) {
    LONGLONG total = 0, available = 0;
    if (SUCCEEDED(m_reader->Length(&total, &available)) && total == available) {
      m_complete = true;
      // The handler may seek and read elsewhere; the read in progress, and
      // the bits a bit read has buffered around it, go on where they were.
      const LONGLONG pos = m_pos;
      const UINT64 bitBuff = m_bitBuff;
      const int bitLen = m_bitLen;
      OnComplete();
      m_pos = pos;
      m_bitBuff = bitBuff;
      m_bitLen = bitLen;
    }
  }

  if (!m_cache) {
    if (length > LONG_MAX) return E_INVALIDARG;
    HRESULT hr = m_reader->SyncRead(m_pos, static_cast<LONG>(length), data);
    if (FAILED(hr)) FollowShrink();
    m_pos += length;
    return hr;
  }

  if (m_cachePos <= m_pos && m_pos < m_cachePos + m_cacheLen) {
    LONGLONG n = std::min(length, m_cachePos + m_cacheLen - m_pos);
    memcpy(data, &m_cache[m_pos - m_cachePos], static_cast<size_t>(n));
    data += n;
    length -= n;
    m_pos += n;
  }

  // Whole cache-size chunks go straight to the caller, all in one read;
  // only chunks that lie inside the file, so that the tail is read (and cut
  // short) by the refill below rather than failing as a read past the end.
  if (length > m_cacheSize) {
    const LONGLONG inside = std::max<LONGLONG>(0, GetLength() - m_pos);
    const LONGLONG chunks = std::min({length - 1, inside, static_cast<LONGLONG>(LONG_MAX)}) / m_cacheSize;
    if (chunks > 0) {
      const LONGLONG n = chunks * m_cacheSize;
      HRESULT hr = m_reader->SyncRead(m_pos, static_cast<LONG>(n), data);
      if (FAILED(hr)) {
        FollowShrink();
        return hr;
      }
      data += n;
      length -= n;
      m_pos += n;
    }
  }

  while (length > 0) {
    LONGLONG chunk = std::min(GetLength() - m_pos, m_cacheSize);
    // Nothing left to fetch: stop here instead of spinning on empty chunks.
    if (chunk <= 0) return S_FALSE;
    HRESULT hr = m_reader->SyncRead(m_pos, static_cast<LONG>(chunk), m_cache.get());
    if (FAILED(hr)) {
      FollowShrink();
      return hr;
    }
    if (hr != S_OK) return S_FALSE;
    m_cachePos = m_pos;
    m_cacheLen = chunk;
    LONGLONG n = std::min(length, chunk);
    memcpy(data, m_cache.get(), static_cast<size_t>(n));
    data += n;
    length -= n;
    m_pos += n;
  }
  return S_OK;
}

bool CBaseSplitterFile::FillBits(int bits) {
  while (m_bitLen < bits) {
    BYTE b = 0;
    // A short read (S_FALSE) leaves the byte undefined, so only S_OK counts.
    if (Read(&b, 1) != S_OK) {
      m_bitReadFailed = true;
      return false;
    }
    m_bitBuff = (m_bitBuff << 8) | b;
    m_bitLen += 8;
  }
  return true;
}

UINT64 CBaseSplitterFile::BitRead(int bits, bool peek) {
  if (bits <= 0 || bits > 56) return 0;
  if (!FillBits(bits)) return 0;
  UINT64 value = (m_bitBuff >> (m_bitLen - bits)) & ((1ULL << bits) - 1);
  if (!peek) {
    m_bitLen -= bits;
    m_bitBuff &= m_bitLen ? ((1ULL << m_bitLen) - 1) : 0;
  }
  return value;
}

void CBaseSplitterFile::BitByteAlign() {
  m_bitLen &= ~7;
  m_bitBuff &= m_bitLen ? ((1ULL << m_bitLen) - 1) : 0;
}

HRESULT CBaseSplitterFile::ByteRead(BYTE* data, LONGLONG length) {
  Seek(GetPos());
  return Read(data, length);
}

UINT64 CBaseSplitterFile::UExpGolombRead() {
  int n = 0;
  for (;;) {
    if (!FillBits(1)) return 0;
    if (BitRead(1)) break;
    // A valid code has at most 31 leading zeros; more is garbage (and would
    // overflow the shift below).
    if (++n > 31) {
      m_bitReadFailed = true;
      return 0;
    }
  }
  if (n == 0) return 0;
  if (!FillBits(n)) return 0;
  return BitRead(n) + (1ULL << n) - 1;
}

INT64 CBaseSplitterFile::SExpGolombRead() {
  UINT64 k = UExpGolombRead();
  INT64 v = static_cast<INT64>((k + 1) / 2);
  return (k & 1) ? v : -v;
}

HRESULT CBaseSplitterFile::HasMoreData(LONGLONG length, DWORD ms) {
  LONGLONG remaining = GetLength() - GetPos();
  if (!m_streaming) return remaining < 1 ? E_FAIL : S_OK;
  if (remaining < length) {
    if (ms > 0) Sleep(ms);
    return S_FALSE;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Passing over damage

namespace {

// The first block is small, as the unit looked for mostly stands at once
// (a reader that finds its next page this way); the blocks then grow to a
// size at which a scan over a damaged stretch costs few reads and still
// sits in the processor's cache.
constexpr LONGLONG kFirstScanBlock = 4096;
constexpr LONGLONG kScanBlock = 65536;
constexpr int kMaxScanHeader = 2048;

}  // namespace

LONGLONG CBaseSplitterFile::ScanFor(LONGLONG from, LONGLONG to, int header, const UnitTest& test,
                                    const std::function<bool()>& stop) {
  if (header < 1 || header > kMaxScanHeader || !test) return -1;
  from = std::max<LONGLONG>(from, 0);
  to = std::min(to, GetLength());
  std::vector<BYTE> block;
  LONGLONG size = kFirstScanBlock;
  // Blocks overlap by a header less one byte, so none is missed at a seam.
  for (LONGLONG at = from; to - at >= header; size = std::min(size * 2, kScanBlock)) {
    if (stop && stop()) return -1;
    const LONGLONG n = std::min(size, to - at);
    block.resize(static_cast<size_t>(n));
    Seek(at);
    if (Read(block.data(), n) != S_OK) return -1;
    for (LONGLONG i = 0; i + header <= n; i++)
      if (test(at + i, &block[static_cast<size_t>(i)])) return at + i;
    if (at + n >= to) break;
    at += n - header + 1;
  }
  return -1;
}

LONGLONG CBaseSplitterFile::Resync(LONGLONG at, LONGLONG to, const Unit& unit, Tail tail) {
  const LONGLONG found = ScanFor(at, to, unit.header, unit.holds);
  if (found >= 0) {
    TellDamage(at, found);
    Seek(found);
    return found;
  }
  const LONGLONG end = std::max(at, std::min(to, GetLength()));
  // A file still growing may yet bring the next unit; and at the end of a
  // file, a stretch too short for a unit's header, or the header of a unit
  // the file does not hold whole, is a file cut short.
  bool cut = IsStreaming() || (end == GetLength() && end - at < unit.header);
  if (!cut && unit.begun && unit.header >= 1 && unit.header <= kMaxScanHeader) {
    std::vector<BYTE> head(static_cast<size_t>(unit.header));
    Seek(at);
    cut = Read(head.data(), unit.header) == S_OK && unit.begun(at, head.data());
  }
  if (!cut && tail != Tail::Silent) TellDamage(at, end, tail == Tail::ToEnd);
  Seek(to);
  return -1;
}

void CBaseSplitterFile::TellDamage(LONGLONG from, LONGLONG to, bool toEnd) {
  if (m_quiet == 0 && m_damageSink && to > from) m_damageSink(from, to, toEnd);
}
