#include "splitters/realmedia/RMFile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr DWORD Id(const char (&s)[5]) {
  return static_cast<DWORD>(static_cast<BYTE>(s[0])) << 24 | static_cast<DWORD>(static_cast<BYTE>(s[1])) << 16 |
         static_cast<DWORD>(static_cast<BYTE>(s[2])) << 8 | static_cast<DWORD>(static_cast<BYTE>(s[3]));
}
constexpr DWORD kBareRealAudio = 0x2E7261FD;  // ".ra" and 0xFD

DWORD Be32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) << 24 | static_cast<DWORD>(p[1]) << 16 | static_cast<DWORD>(p[2]) << 8 | p[3];
}
WORD Be16(const BYTE* p) { return static_cast<WORD>(p[0] << 8 | p[1]); }

// Big-endian reads from a bounded buffer; a read past the end fails and
// every later read fails too.
class Cursor {
 public:
  Cursor(const BYTE* data, size_t size) : m_p(data), m_left(size) {}
  bool Ok() const { return m_ok; }
  size_t Left() const { return m_left; }
  const BYTE* Here() const { return m_p; }
  bool Need(size_t n) {
    if (!m_ok || n > m_left) m_ok = false;
    return m_ok;
  }
  void Skip(size_t n) {
    if (Need(n)) m_p += n, m_left -= n;
  }
  BYTE U8() {
    if (!Need(1)) return 0;
    BYTE v = *m_p;
    Skip(1);
    return v;
  }
  WORD U16() {
    if (!Need(2)) return 0;
    WORD v = Be16(m_p);
    Skip(2);
    return v;
  }
  DWORD U32() {
    if (!Need(4)) return 0;
    DWORD v = Be32(m_p);
    Skip(4);
    return v;
  }
  std::string Text(size_t n) {
    if (!Need(n)) return std::string();
    std::string s(reinterpret_cast<const char*>(m_p), n);
    Skip(n);
    return s;
  }

 private:
  const BYTE* m_p;
  size_t m_left;
  bool m_ok = true;
};

// Most significant bit first, over a bounded buffer.
class Bits {
 public:
  Bits(const BYTE* data, size_t size) : m_data(data), m_size(size) {}
  bool Failed() const { return m_failed; }
  DWORD Get(int n) {
    DWORD v = 0;
    for (int i = 0; i < n; i++) {
      if (m_bit >= m_size * 8) {
        m_failed = true;
        return 0;
      }
      v = v << 1 | ((m_data[m_bit >> 3] >> (7 - (m_bit & 7))) & 1);
      m_bit++;
    }
    return v;
  }
  void Skip(int n) { Get(n); }

 private:
  const BYTE* m_data;
  size_t m_size;
  size_t m_bit = 0;
  bool m_failed = false;
};

// A size coded as a run of bytes, each adding four times its value, ended
// by the first byte that is not 255.
DWORD ByteRunSize(Bits& bits) {
  DWORD size = 0;
  for (;;) {
    DWORD b = bits.Get(8);
    if (bits.Failed()) return 0;
    size += b * 4;
    if (b != 255) return size;
  }
}

bool ReadMediaProperties(Cursor& c, RMMediaProperties& mp) {
  mp.stream = c.U16();
  mp.maxBitRate = c.U32();
  mp.avgBitRate = c.U32();
  mp.maxPacketSize = c.U32();
  mp.avgPacketSize = c.U32();
  mp.tStart = c.U32();
  mp.tPreroll = c.U32();
  mp.tDuration = c.U32();
  mp.name = c.Text(c.U8());
  mp.mime = c.Text(c.U8());
  DWORD n = c.U32();
  if (!c.Need(n)) return false;
  mp.typeSpecData.assign(c.Here(), c.Here() + n);
  c.Skip(n);
  mp.width = mp.height = 0;
  return c.Ok();
}

void ReadSubtitles(const BYTE* data, size_t size, std::vector<RMSubtitle>& out) {
  size_t pos = 0;
  while (pos < size) {
    const BYTE* nameEnd = static_cast<const BYTE*>(memchr(data + pos, 0, size - pos));
    if (!nameEnd) return;
    RMSubtitle s;
    s.name.assign(reinterpret_cast<const char*>(data + pos), static_cast<size_t>(nameEnd - (data + pos)));
    pos = static_cast<size_t>(nameEnd - data) + 1;
    // The length in decimal digits, ended by a zero byte.
    size_t length = 0;
    bool digits = false;
    while (pos < size && data[pos] != 0) {
      if (data[pos] < '0' || data[pos] > '9' || length > size) return;
      length = length * 10 + (data[pos] - '0');
      digits = true;
      pos++;
    }
    if (pos >= size || !digits) return;
    pos++;
    if (length > size - pos) return;  // runs past the chunk
    s.data.assign(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
    out.push_back(std::move(s));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Format records

DWORD RMVideoFormat::Codec() const {
  return static_cast<DWORD>(fcc2[0]) | static_cast<DWORD>(fcc2[1]) << 8 | static_cast<DWORD>(fcc2[2]) << 16 |
         static_cast<DWORD>(fcc2[3]) << 24;
}

bool RMVideoFormat::Parse(const BYTE* data, size_t size) {
  if (!data || size < kSize) return false;
  Cursor c(data, size);
  dwSize = c.U32();
  memcpy(fcc1, c.Here(), 4);
  c.Skip(4);
  memcpy(fcc2, c.Here(), 4);
  c.Skip(4);
  w = c.U16();
  h = c.U16();
  bpp = c.U16();
  unk1 = c.U32();
  fps = c.U32();
  type1 = c.U32();
  type2 = c.U32();
  return c.Ok();
}

size_t RMAudioFormat::Find(const BYTE* data, size_t size) {
  static const BYTE kMagic[4] = {0x2E, 0x72, 0x61, 0xFD};
  for (size_t i = 0; data && i + 4 <= size; i++)
    if (memcmp(data + i, kMagic, 4) == 0) return i;
  return std::string::npos;
}

bool RMAudioFormat::Parse(const BYTE* data, size_t size) {
  offset = Find(data, size);
  if (offset == std::string::npos) return false;
  Cursor c(data + offset, size - offset);
  c.Skip(4);
  version = c.U16();
  if (version != 4 && version != 5) return false;
  c.Skip(10);
  headerVersion = c.U16();
  headerSize = c.U32();
  flavor = c.U16();
  codedFrameSize = c.U32();
  c.Skip(12);
  subPacketH = c.U16();
  frameSize = c.U16();
  subPacketSize = c.U16();
  memset(codec, 0, sizeof codec);
  if (version == 4) {
    c.Skip(2);
    sampleRate = c.U16();
    c.Skip(2);
    sampleSize = c.U16();
    channels = c.U16();
    interleaver = c.Text(c.U8());
    BYTE n = c.U8();
    if (n == 4 && c.Need(4)) memcpy(codec, c.Here(), 4);
    c.Skip(n);
    c.Skip(3);
  } else {
    c.Skip(8);
    sampleRate = c.U16();
    c.Skip(2);
    sampleSize = c.U16();
    channels = c.U16();
    interleaver = c.Text(4);
    if (c.Need(4)) memcpy(codec, c.Here(), 4);
    c.Skip(4);
    c.Skip(4);
  }
  if (!c.Ok()) return false;
  // Writers that have no codec data may leave the length out altogether.
  size_t length = 0;
  if (c.Left() >= 4) length = c.U32();
  codecDataOffset = static_cast<size_t>(c.Here() - data);
  codecDataLength = length < c.Left() ? length : c.Left();
  return true;
}

std::map<std::string, std::string> ParseLogicalFileInfo(const BYTE* data, size_t size) {
  std::map<std::string, std::string> props;
  if (!data || size < 4) return props;
  const size_t end = size;
  auto u32At = [&](size_t at) { return at + 4 <= end ? Be32(data + at) : 0u; };
  DWORD count = u32At(8);
  size_t pos = 12;
  if (count > 0xFFFF) {
    count = u32At(14);
    pos = 18;
  }
  for (; count > 0 && pos + 4 < end; count--) {
    const size_t propSize = Be32(data + pos);
    if (propSize < 7 || propSize > end - pos) break;
    const size_t propEnd = pos + propSize;
    if (pos + 7 > propEnd) break;
    const size_t nameLength = Be16(data + pos + 5);
    const size_t valueAt = pos + 11 + nameLength;
    if (valueAt + 2 > propEnd) break;
    const size_t valueLength = Be16(data + valueAt);
    if (valueAt + 2 + valueLength > propEnd) break;
    props[std::string(reinterpret_cast<const char*>(data + pos + 7), nameLength)] =
        std::string(reinterpret_cast<const char*>(data + valueAt + 2), valueLength);
    pos = propEnd;
  }
  return props;
}

bool ReadRv40PictureSize(const BYTE* data, size_t size, bool rv41Form, DWORD& width, DWORD& height,
                         bool* interlaced) {
  static const DWORD kWidths[8] = {160, 176, 240, 320, 352, 640, 704, 0};
  static const DWORD kHeights[8] = {120, 132, 144, 240, 288, 480, 0, 0};
  static const DWORD kMoreHeights[4] = {180, 360, 576, 0};
  Bits bits(data, size);
  bool inter = false;
  if (rv41Form) {
    bits.Skip(9);
    if (bits.Get(1)) {
      inter = bits.Get(1) != 0;
      bits.Skip(2);
      bits.Skip(1);
      if (bits.Get(1)) bits.Skip(2);
    }
    bits.Skip(16);
  } else {
    bits.Skip(13);
    bits.Skip(13);
  }
  if (interlaced) *interlaced = inter && !bits.Failed();
  DWORD w = kWidths[bits.Get(3)];
  if (w == 0) w = ByteRunSize(bits);
  DWORD code = bits.Get(3);
  DWORD h = kHeights[code];
  if (h == 0) {
    DWORD b = bits.Get(1);
    h = kMoreHeights[(b | 2 * code) & 3];
    if (h == 0) h = ByteRunSize(bits);
  }
  if (bits.Failed()) return false;
  width = w;
  height = h;
  return true;
}

bool ParseRVSubPacket(const BYTE* data, size_t size, RVSubPacket& sp) {
  sp = RVSubPacket{};
  if (!data || size < 1) return false;
  Cursor c(data, size);
  sp.header = c.U8();
  const BYTE type = sp.header & 0xC0;
  if (type == 0x40) {
    c.Skip(1);
    if (!c.Ok()) return false;
    sp.frameLength = static_cast<DWORD>(c.Left() < kMaxRVFrameLength ? c.Left() : kMaxRVFrameLength + 1);
    sp.offset = 0;
  } else {
    if (!(sp.header & 0x40)) c.Skip(1);
    auto value = [&](bool first) {
      if (!c.Need(1)) return 0u;
      const BYTE b = *c.Here();
      if (first && (b & 0x80)) sp.singleSlice = true;
      if (b & 0x40) return static_cast<DWORD>(c.U16() & 0x3FFF);
      return c.U32() & 0x3FFFFFFFu;
    };
    sp.frameLength = value(true);
    DWORD offset = value(false);
    c.Skip(1);
    if (!c.Ok()) return false;
    if (type == 0xC0) {
      sp.hasTimestamp = true;
      sp.timestamp = offset;
      offset = 0;
    } else if (type == 0x80) {
      if (offset > sp.frameLength) return false;
      offset = sp.frameLength - offset;
    }
    sp.offset = offset;
  }
  sp.headerBytes = size - c.Left();
  return sp.frameLength <= kMaxRVFrameLength && sp.offset <= sp.frameLength;
}

// ---------------------------------------------------------------------------
// The file

CRMFile::CRMFile(IAsyncReader* reader, HRESULT* phr) : CBaseSplitterFile(reader, *phr, 2048, true) {
  if (SUCCEEDED(*phr)) *phr = Init();
}

HRESULT CRMFile::Read(RMMediaPacketHeader& h, bool full) {
  BYTE head[12];
  HRESULT hr = CBaseSplitterFile::Read(head, 2);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  h.version = Be16(head);
  h.pData.clear();
  if (h.version != 0 && h.version != 1) {
    h.stream = 0xFFFF;
    h.length = 0;
    return S_OK;
  }
  hr = CBaseSplitterFile::Read(head + 2, 10);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  h.length = Be16(head + 2);
  h.stream = Be16(head + 4);
  h.tStart = Be32(head + 6);
  h.reserved = head[10];
  h.flags = head[11];
  const LONGLONG payload = static_cast<LONGLONG>(h.length) - 12;
  if (payload <= 0) return S_OK;
  if (!full) {
    Seek(GetPos() + payload);
    return S_OK;
  }
  try {
    h.pData.resize(static_cast<size_t>(payload));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  hr = CBaseSplitterFile::Read(h.pData.data(), payload);
  if (hr != S_OK) {
    h.pData.clear();
    return FAILED(hr) ? hr : E_FAIL;
  }
  return S_OK;
}

bool CRMFile::KnownHeader(const BYTE* head, WORD& length) const {
  const WORD version = Be16(head), stream = Be16(head + 4);
  length = Be16(head + 2);
  if ((version != 0 && version != 1) || length < 12) return false;
  return std::any_of(m_mps.begin(), m_mps.end(), [&](const RMMediaProperties& mp) { return mp.stream == stream; });
}

bool CRMFile::PacketAt(LONGLONG pos, LONGLONG end, bool confirm) {
  BYTE head[12];
  WORD length = 0;
  Seek(pos);
  if (pos + 12 > end || CBaseSplitterFile::Read(head, 12) != S_OK || !KnownHeader(head, length)) return false;
  const LONGLONG next = pos + length;
  if (next > end) return false;
  // Within a few bytes of the end there is no room for another packet.
  if (!confirm || end - next < 12) return true;
  Seek(next);
  if (CBaseSplitterFile::Read(head, 12) != S_OK) return false;
  // The last packet of a chunk whose size was damaged: the next chunk.
  return KnownHeader(head, length) || Be32(head) == Id("INDX") || Be32(head) == Id("DATA");
}

CBaseSplitterFile::Unit CRMFile::PacketUnit(LONGLONG end) {
  Unit unit;
  unit.header = 12;
  unit.holds = [this, end](LONGLONG pos, const BYTE* head) {
    WORD length = 0;
    return KnownHeader(head, length) && PacketAt(pos, end, true);
  };
  unit.begun = [this](LONGLONG, const BYTE* head) {
    WORD length = 0;
    return KnownHeader(head, length);
  };
  return unit;
}

LONGLONG CRMFile::FindPacket(LONGLONG from, LONGLONG end) { return ScanFor(from, end, 12, PacketUnit(end).holds); }

DWORD CRMFile::GetIndexStream() const {
  for (const char* mime : {"video/x-pn-realvideo", "audio/x-pn-realaudio"})
    for (const RMMediaProperties& mp : m_mps)
      if (mp.mime == mime) return mp.stream;
  return 0xFFFFFFFF;
}

HRESULT CRMFile::Init() {
  Seek(0);
  const LONGLONG length = GetLength();
  bool first = true;
  while (GetPos() < length) {
    const LONGLONG start = GetPos();
    BYTE head[10];
    if (CBaseSplitterFile::Read(head, sizeof head) != S_OK) return S_OK;
    const DWORD id = Be32(head);
    const DWORD size = Be32(head + 4);
    const WORD version = Be16(head + 8);
    if (first && id != Id(".RMF")) return E_FAIL;
    first = false;
    if (id != Id("DATA") && start + size > length) return S_OK;
    if (id == kBareRealAudio) return E_FAIL;

    if (version == 0 && id == Id("DATA")) {
      BYTE body[8];
      HRESULT hr = CBaseSplitterFile::Read(body, sizeof body);
      if (FAILED(hr)) return hr;
      if (hr != S_OK) return S_OK;  // cut off before its first packet
      RMDataChunk dc;
      dc.nPackets = Be32(body);
      dc.ptrNext = Be32(body + 4);
      dc.pos = GetPos();
      dc.end = size >= 18 && start + size <= length ? start + size : length;
      m_dcs.push_back(dc);
      ProbePictureSizes(dc);
    } else if (version == 0 && (id == Id(".RMF") || id == Id("PROP") || id == Id("MDPR") || id == Id("CONT") ||
                                id == Id("INDX") || id == Id(".SUB"))) {
      // The fields are read from the body on, bounded by the file: a chunk
      // whose size is below what its fields take is read on past it, and
      // reading goes on after them. Subtitles keep to their chunk.
      const DWORD bodySize = size > 10 ? size - 10 : 0;
      LONGLONG readable = id == Id(".SUB") ? bodySize : std::max<LONGLONG>(bodySize, kMinHeaderRead);
      readable = std::min(readable, length - GetPos());
      if (bodySize <= kMaxHeaderChunk && readable >= 0) {
        std::vector<BYTE> body;
        try {
          body.resize(static_cast<size_t>(readable));
        } catch (const std::bad_alloc&) {
          return E_OUTOFMEMORY;
        }
        const LONGLONG bodyStart = GetPos();
        HRESULT hr = CBaseSplitterFile::Read(body.data(), readable);
        if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
        Cursor c(body.data(), body.size());
        if (id == Id(".RMF")) {
          m_fh.version = c.U32();
          m_fh.nHeaders = size == 16 ? c.U16() : c.U32();
        } else if (id == Id("PROP")) {
          RMProperties p;
          p.maxBitRate = c.U32();
          p.avgBitRate = c.U32();
          p.maxPacketSize = c.U32();
          p.avgPacketSize = c.U32();
          p.nPackets = c.U32();
          p.tDuration = c.U32();
          p.tPreroll = c.U32();
          p.ptrIndex = c.U32();
          p.ptrData = c.U32();
          p.nStreams = c.U16();
          p.flags = c.U16();
          if (c.Ok()) m_p = p;
        } else if (id == Id("CONT")) {
          std::string* texts[] = {&m_cd.title, &m_cd.author, &m_cd.copyright, &m_cd.comment};
          for (std::string* t : texts) {
            std::string s = c.Text(c.U16());
            if (!c.Ok()) break;
            *t = std::move(s);
          }
        } else if (id == Id("MDPR")) {
          RMMediaProperties mp;
          if (ReadMediaProperties(c, mp)) m_mps.push_back(std::move(mp));
        } else if (id == Id("INDX")) {
          DWORD records = c.U32();
          const WORD stream = c.U16();
          c.U32();  // the next index header
          const bool keep = stream == GetIndexStream();
          for (; records > 0 && c.Ok() && c.Left() >= 2; records--) {
            if (c.U16() != 0) continue;
            RMIndexRecord ir;
            ir.tStart = c.U32();
            ir.ptrFilePos = c.U32();
            ir.packet = c.U32();
            if (c.Ok() && keep) m_irs.push_back(ir);
          }
        } else {
          ReadSubtitles(body.data(), body.size(), m_subs);
        }
        Seek(bodyStart + static_cast<LONGLONG>(body.size() - c.Left()));
      }
    }
    if (GetPos() < start + size) Seek(start + size);
  }
  return S_OK;
}

void CRMFile::ProbePictureSizes(const RMDataChunk& dc) {
  for (RMMediaProperties& mp : m_mps) {
    if (mp.mime != "video/x-pn-realvideo") continue;
    const LONGLONG pos = GetPos();
    mp.width = mp.height = 0;
    RMVideoFormat vf;
    const bool parsed = vf.Parse(mp.typeSpecData.data(), mp.typeSpecData.size());
    const bool rv40 = parsed && vf.Codec() == MAKEFOURCC('R', 'V', '4', '0');
    const bool rv41 = parsed && vf.Codec() == MAKEFOURCC('R', 'V', '4', '1');
    if (rv40 || rv41) {
      Seek(dc.pos);
      RMMediaPacketHeader h;
      for (DWORD i = 0; i < dc.nPackets; i++) {
        if (Read(h, true) != S_OK) break;
        if (h.stream != mp.stream || h.pData.empty() || !(h.flags & 2)) continue;
        RVSubPacket sp;
        if (!ParseRVSubPacket(h.pData.data(), h.pData.size(), sp)) continue;
        const size_t bytes = sp.Bytes(h.pData.size() - sp.headerBytes);
        if (bytes == 0) continue;
        DWORD w = 0, hgt = 0;
        if (ReadRv40PictureSize(h.pData.data() + sp.headerBytes, bytes, rv41, w, hgt)) {
          mp.width = w;
          mp.height = hgt;
          if (w == vf.w && hgt == vf.h) mp.width = mp.height = 0;
        }
        break;
      }
    }
    Seek(pos);
  }
}
