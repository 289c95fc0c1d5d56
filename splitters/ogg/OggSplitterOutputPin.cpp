#include "splitters/ogg/OggSplitterOutputPin.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwctype>
#include <new>
#include <utility>

#include "foundation/FilterHelpers.h"
#include "foundation/Languages.h"

namespace {

// The two Vorbis media types: headers in the format block (the form the
// audio decoder takes), and headers delivered in front of the data.
PELLOMAR_DEFINE_GUID(kSubtypeVorbisHeaders, "8D2FD10B-5841-4A6B-8905-588FEC1ADED9");
PELLOMAR_DEFINE_GUID(kFormatVorbisHeaders, "B36E107F-A938-4387-93C7-55E966757473");
PELLOMAR_DEFINE_GUID(kSubtypeVorbisInBand, "CDDCA2D5-6D75-4F98-840E-737BEDD5C63B");
PELLOMAR_DEFINE_GUID(kFormatVorbisInBand, "6BDDFA7E-9F22-46A9-AB5E-884EFF294D9F");

constexpr INT64 kMaxPacketSpan = 600000000;  // 60 s

DWORD Le32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24); }
WORD Le16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
INT64 Le64(const BYTE* p) { return static_cast<INT64>(Le32(p) | (static_cast<UINT64>(Le32(p + 4)) << 32)); }

void PutLe32(BYTE* p, DWORD v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<BYTE>(v >> (8 * i));
}

GUID ReadGuid(const BYTE* p) {
  GUID g;
  g.Data1 = Le32(p);
  g.Data2 = Le16(p + 4);
  g.Data3 = Le16(p + 6);
  memcpy(g.Data4, p + 8, 8);
  return g;
}

REFERENCE_TIME Clamp64(__int128 v) {
  if (v > LLONG_MAX) return LLONG_MAX;
  if (v < LLONG_MIN + 1) return LLONG_MIN + 1;  // never the unset time
  return static_cast<REFERENCE_TIME>(v);
}

// a * b / c without overflow, saturated; c > 0.
REFERENCE_TIME MulDiv(INT64 a, INT64 b, INT64 c) {
  return Clamp64(static_cast<__int128>(a) * b / c);
}

REFERENCE_TIME AddTime(REFERENCE_TIME a, REFERENCE_TIME b) { return Clamp64(static_cast<__int128>(a) + b); }

// Bits needed for the value (0 for 0).
int ILog(unsigned v) {
  int n = 0;
  for (; v; v >>= 1) n++;
  return n;
}

// Bit `bit` of the packet counted least significant bit first.
unsigned BitAt(const BYTE* data, size_t bit) { return (data[bit >> 3] >> (bit & 7)) & 1; }

// `n` bits from bit position `bit` on, least significant first.
unsigned BitsAt(const BYTE* data, size_t bit, int n) {
  unsigned v = 0;
  for (int i = 0; i < n; i++) v |= BitAt(data, bit + i) << i;
  return v;
}

std::wstring Latin1OrUtf8(const BYTE* p, size_t n) {
  return Utf8ToWide(std::string_view(reinterpret_cast<const char*>(p), n));
}

void TrimBlanks(std::wstring& s) {
  while (!s.empty() && iswspace(s.back())) s.pop_back();
  size_t i = 0;
  while (i < s.size() && iswspace(s[i])) i++;
  s.erase(0, i);
}

// A pin whose construction may fail; null then.
template <class Pin, class... Args>
std::unique_ptr<Pin> NewPin(Args&&... args) {
  HRESULT hr = S_OK;
  std::unique_ptr<Pin> pin(new (std::nothrow) Pin(std::forward<Args>(args)..., &hr));
  return pin && SUCCEEDED(hr) ? std::move(pin) : nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Page and packet assembly

COggSplitterOutputPin::COggSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                             CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseSplitterOutputPin(mts, name, filter, lock, phr) {}

void COggSplitterOutputPin::ResetState(DWORD seqnum) {
  CAutoLock lock(&m_csPackets);
  m_packets.clear();
  m_lastpacket.reset();
  m_lastseqnum = seqnum;
  m_rtLast = 0;
  m_fSkip = true;
}

HRESULT COggSplitterOutputPin::UnpackPage(const OggPage& page) {
  CAutoLock lock(&m_csPackets);
  const OggPageHeader& hdr = page.m_hdr;
  if (hdr.page_sequence_number != m_lastseqnum + 1) {
    // A gap (or the first page after a reset): what was pending is lost.
    ResetState(hdr.page_sequence_number);
    return S_FALSE;
  }
  m_lastseqnum = hdr.page_sequence_number;

  const std::vector<int>& lens = page.m_lens;
  size_t total = 0;
  for (int len : lens) total += static_cast<size_t>(len);
  if (lens.empty() || total != page.m_data.size()) return S_OK;

  // The last packet that ends on this page carries the granule position.
  size_t lastEnd = lens.size() - 1;
  for (size_t i = lens.size(); i-- > 0;) {
    if (lens[i] < 255) {
      lastEnd = i;
      break;
    }
  }

  size_t start = 0, end = 0;
  for (size_t i = 0; i < lens.size(); i++) {
    end += static_cast<size_t>(lens[i]);
    if (lens[i] == 255 && i + 1 < lens.size()) continue;
    const BYTE* data = page.m_data.data() + start;
    const size_t len = end - start;
    const bool complete = lens[i] < 255;

    if (start == 0 && (hdr.header_type_flag & OggContinuedPacket)) {
      if (m_lastpacket) {
        m_lastpacket->insert(m_lastpacket->end(), data, data + len);
        if (complete) m_packets.push_back(std::move(m_lastpacket));
      }
    } else {
      // A new packet: one left unfinished before it will never be.
      m_lastpacket.reset();
      auto p = std::make_unique<OggPacket>();
      if (i == lastEnd && page.HasGranule()) {
        p->bDiscontinuity = m_fSkip;
        const REFERENCE_TIME old = m_rtLast;
        m_rtLast = GetRefTime(hdr.granule_position);
        // A difference of one granule is rounding, not a jump.
        const __int128 diff = static_cast<__int128>(old) - m_rtLast;
        if ((diff < 0 ? -diff : diff) == GetRefTime(1)) m_rtLast = old;
        m_fGranuleTime = m_rtLast != old;
        m_fSkip = false;
      }
      p->TrackNumber = hdr.bitstream_serial_number;
      const HRESULT hrUnpack = UnpackPacket(*p, data, len);
      m_fGranuleTime = false;
      if (hrUnpack == S_OK) {
        const __int128 span = static_cast<__int128>(p->rtStop) - p->rtStart;
        if (span >= 0 && span <= kMaxPacketSpan) {
          m_rtLast = p->rtStop;
          p->fSkip = m_fSkip;
          if (complete) m_packets.push_back(std::move(p));
          else m_lastpacket = std::move(p);
        }
      }
    }
    start = end;
  }
  return S_OK;
}

std::unique_ptr<OggPacket> COggSplitterOutputPin::GetPacket() {
  CAutoLock lock(&m_csPackets);
  if (m_packets.empty()) return nullptr;
  std::unique_ptr<OggPacket> p = std::move(m_packets.front());
  m_packets.pop_front();
  return p;
}

HRESULT COggSplitterOutputPin::DeliverEndFlush() {
  ResetState();
  return CBaseSplitterOutputPin::DeliverEndFlush();
}

HRESULT COggSplitterOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  ResetState();
  return CBaseSplitterOutputPin::DeliverNewSegment(start, stop, rate);
}

// ---------------------------------------------------------------------------
// Vorbis comments

void COggSplitterOutputPin::ParseVorbisComment(const BYTE* data, size_t len) {
  // Every length is checked against what is left; parsing stops at the
  // first one that runs past the end.
  size_t pos = 0;
  auto take32 = [&](DWORD& v) {
    if (len - pos < 4) return false;
    v = Le32(data + pos);
    pos += 4;
    return true;
  };
  DWORD vendor = 0, count = 0;
  if (!take32(vendor) || vendor > len - pos) return;
  pos += vendor;
  if (!take32(count)) return;
  for (DWORD i = 0; i < count; i++) {
    DWORD n = 0;
    if (!take32(n) || n > len - pos) return;
    const char* text = reinterpret_cast<const char*>(data + pos);
    pos += n;
    const char* eq = static_cast<const char*>(memchr(text, '=', n));
    if (!eq) continue;
    std::wstring key = Latin1OrUtf8(reinterpret_cast<const BYTE*>(text), static_cast<size_t>(eq - text));
    std::wstring value = Latin1OrUtf8(reinterpret_cast<const BYTE*>(eq + 1), static_cast<size_t>(text + n - eq - 1));
    TrimBlanks(key);
    TrimBlanks(value);
    for (wchar_t& c : key) c = static_cast<wchar_t>(towupper(c));

    // An empty language names nothing; as a stored empty value it would hide
    // a later comment's.
    if (key == L"LANGUAGE" && !value.empty()) {
      const std::string narrow = WideToUtf8(value);
      std::string name = value.size() == 3 ? LanguageNameFromIso6392(narrow) : std::string();
      std::string code;
      if (!name.empty()) {
        SetName(Utf8ToWide(name).c_str());
        SetPropertyText(L"LANG", value.c_str());
      } else if (!(code = LanguageNameToIso6392(narrow)).empty()) {
        SetName(value.c_str());
        SetPropertyText(L"LANG", Utf8ToWide(code).c_str());
      } else {
        SetName(value.c_str());
        SetPropertyText(L"NAME", value.c_str());
      }
    }
    m_comments.emplace_back(std::move(key), std::move(value));
  }
}

std::wstring COggSplitterOutputPin::GetComment(const std::wstring& key) const {
  std::wstring out;
  for (const auto& [k, v] : m_comments) {
    if (k != key) continue;
    if (!out.empty()) out += L";";
    out += v;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Theora

COggTheoraOutputPin::COggTheoraOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                         CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : COggSplitterOutputPin(mts, name, filter, lock, phr), m_type(mts[0]) {}

std::unique_ptr<COggTheoraOutputPin> COggTheoraOutputPin::Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                                 CBaseSplitterFilter* filter, CCritSec* lock) {
  // 0x80, "theora", version (3 bytes), frame size in macroblocks, picture
  // size and offset, frame rate, aspect, colour space, bit rate, then the
  // quality, the key-frame granule shift and the pixel format.
  if (len < 42 || packet[0] != 0x80 || memcmp(packet + 1, "theora", 6) != 0) return nullptr;
  auto be24 = [&](size_t at) { return DWORD(packet[at]) << 16 | DWORD(packet[at + 1]) << 8 | packet[at + 2]; };
  auto be32 = [&](size_t at) { return be24(at) << 8 | packet[at + 3]; };
  const DWORD version = be24(7), width = be24(14), height = be24(17);
  const DWORD rateNum = be32(22), rateDen = be32(26);
  if (packet[7] != 3 || width == 0 || height == 0 || width > 16384 || height > 16384 || rateNum == 0 ||
      rateDen == 0)
    return nullptr;
  CMediaType mt;
  mt.InitMediaType();
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = FourCCGuid(MAKEFOURCC('T', 'H', 'E', 'O'));
  mt.formattype = FORMAT_VideoInfo;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  if (!vih) return nullptr;
  memset(vih, 0, sizeof *vih);
  vih->AvgTimePerFrame = MulDiv(rateDen, UNITS, rateNum);
  vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih->bmiHeader.biWidth = static_cast<LONG>(width);
  vih->bmiHeader.biHeight = static_cast<LONG>(height);
  vih->bmiHeader.biPlanes = 1;
  vih->bmiHeader.biBitCount = 12;
  vih->bmiHeader.biCompression = MAKEFOURCC('T', 'H', 'E', 'O');
  vih->bmiHeader.biSizeImage = width * height * 3 / 2;
  mt.SetSampleSize(vih->bmiHeader.biSizeImage);
  auto pin = NewPin<COggTheoraOutputPin>(std::vector<CMediaType>{mt}, name, filter, lock);
  if (!pin) return nullptr;
  pin->m_shift = ((packet[40] & 3) << 3) | (packet[41] >> 5);
  pin->m_countsFromOne = version >= 0x030201;
  pin->m_rateNum = rateNum;
  pin->m_rateDen = rateDen;
  return pin;
}

HRESULT COggTheoraOutputPin::UnpackInitPage(const OggPage& page) {
  HRESULT hr = UnpackPage(page);
  while (std::unique_ptr<OggPacket> p = GetPacket()) {
    if (m_headers >= 3 || p->empty() || (*p)[0] != 0x80 + m_headers || p->size() > 0xFFFF) continue;
    const ULONG old = m_type.FormatLength();
    if (!m_type.ReallocFormatBuffer(old + 2 + static_cast<ULONG>(p->size()))) return E_OUTOFMEMORY;
    BYTE* f = m_type.Format() + old;
    f[0] = static_cast<BYTE>(p->size() >> 8);
    f[1] = static_cast<BYTE>(p->size());
    memcpy(f + 2, p->data(), p->size());
    m_headers++;
  }
  SetMediaTypes(std::vector<CMediaType>{m_type});
  return hr;
}

HRESULT COggTheoraOutputPin::UnpackPacket(OggPacket& p, const BYTE* data, size_t len) {
  // Headers are kept only while the file is opened; an empty packet
  // repeats the picture before it.
  if (len > 0 && (data[0] & 0x80) && m_headers >= 3) return S_FALSE;
  p.bSyncPoint = len > 0 && !(data[0] & 0xC0);
  p.rtStart = m_rtLast;
  p.rtStop = AddTime(m_rtLast, MulDiv(m_rateDen, UNITS, m_rateNum));
  p.assign(data, data + len);
  return S_OK;
}

REFERENCE_TIME COggTheoraOutputPin::GetRefTime(INT64 granule) {
  // The last key frame's number, then the frames since it; the time is
  // that of the picture's start.
  if (granule < 0) return 0;
  const INT64 frames = (granule >> m_shift) + (granule & ((INT64{1} << m_shift) - 1)) - (m_countsFromOne ? 1 : 0);
  return MulDiv(std::max<INT64>(frames, 0), m_rateDen * UNITS, m_rateNum);
}

// ---------------------------------------------------------------------------
// Vorbis

COggVorbisOutputPin::COggVorbisOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                         CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : COggSplitterOutputPin(mts, name, filter, lock, phr), m_types(mts) {}

std::unique_ptr<COggVorbisOutputPin> COggVorbisOutputPin::Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                                 CBaseSplitterFilter* filter, CCritSec* lock) {
  // Type 1, "vorbis", then version, channels, rate, three bit rates, the
  // block sizes and the framing byte.
  if (len < 30 || packet[0] != 1 || memcmp(packet + 1, "vorbis", 6) != 0) return nullptr;
  const BYTE channels = packet[11];
  const DWORD rate = Le32(packet + 12);
  const DWORD maxRate = Le32(packet + 16), nominal = Le32(packet + 20), minRate = Le32(packet + 24);
  const BYTE sizes = packet[28];
  // Times are divided by the rate: a stream without one gets no pin.
  if (channels == 0 || rate == 0) return nullptr;

  std::vector<CMediaType> mts(2);
  for (CMediaType& mt : mts) {
    mt.InitMediaType();
    mt.majortype = MEDIATYPE_Audio;
    mt.SetSampleSize(8192);
  }
  mts[0].subtype = kSubtypeVorbisHeaders;
  mts[0].formattype = kFormatVorbisHeaders;
  BYTE* f = mts[0].AllocFormatBuffer(24);
  if (!f) return nullptr;
  PutLe32(f, channels);
  PutLe32(f + 4, rate);
  mts[1].subtype = kSubtypeVorbisInBand;
  mts[1].formattype = kFormatVorbisInBand;
  f = mts[1].AllocFormatBuffer(24);
  if (!f) return nullptr;
  PutLe32(f, channels);
  PutLe32(f + 4, rate);
  PutLe32(f + 8, minRate);
  PutLe32(f + 12, nominal);
  PutLe32(f + 16, maxRate);
  const float quality = -1.0f;
  memcpy(f + 20, &quality, 4);

  auto pin = NewPin<COggVorbisOutputPin>(mts, name, filter, lock);
  if (!pin) return nullptr;
  pin->m_audio_sample_rate = rate;
  pin->m_blocksize[0] = 1u << (sizes & 15);
  pin->m_blocksize[1] = 1u << (sizes >> 4);
  return pin;
}

HRESULT COggVorbisOutputPin::UnpackInitPage(const OggPage& page) {
  HRESULT hr = UnpackPage(page);
  while (std::unique_ptr<OggPacket> p = GetPacket()) {
    // Only the three headers are kept: they are what a decoder needs in
    // front of the data, and all of it a new segment replays.
    if (m_initpackets.size() >= 3) continue;
    if (p->size() >= 6 && (*p)[0] == 5) ParseModes(p->data(), p->size());
    const size_t k = m_initpackets.size();
    CMediaType& mt = m_types[0];
    const ULONG old = mt.FormatLength();
    if (p->size() <= ULONG_MAX - old && mt.ReallocFormatBuffer(old + static_cast<ULONG>(p->size()))) {
      PutLe32(mt.Format() + 12 + 4 * k, static_cast<DWORD>(p->size()));
      if (!p->empty()) memcpy(mt.Format() + old, p->data(), p->size());
    }
    m_initpackets.push_back(std::move(p));
  }
  SetMediaTypes(m_types);
  return hr;
}

void COggVorbisOutputPin::ParseModes(const BYTE* data, size_t len) {
  // The modes close the setup header, each of 41 bits (block flag, window
  // type and transform type of 16 bits each, both 0, and the mapping), with
  // the framing bit behind them; they are read backwards from there.
  size_t bit = len * 8;
  while (bit > 0 && !BitAt(data, bit - 1)) bit--;
  if (bit == 0) return;
  bit--;  // the framing bit
  std::vector<bool> flags;
  std::vector<size_t> starts;
  while (bit >= 47) {
    const size_t at = bit - 41;
    if (BitsAt(data, at + 1, 16) != 0 || BitsAt(data, at + 17, 16) != 0) break;
    flags.insert(flags.begin(), BitAt(data, at) != 0);
    starts.push_back(at);
    bit = at;
  }
  // Mapping bits can look like one more mode; the six-bit mode count in
  // front of the first mode tells how many there are.
  size_t count = flags.size();
  for (size_t m = flags.size(); m > 0; m--) {
    const size_t first = starts[m - 1];
    if (first >= 6 && BitsAt(data, first - 6, 6) == m - 1) {
      count = m;
      break;
    }
  }
  m_blockflags.assign(flags.end() - static_cast<ptrdiff_t>(count), flags.end());
}

bool COggVorbisOutputPin::BeginLink(const OggPage& page) {
  CAutoLock lock(&m_csPackets);
  // The link's identification header opens its first page; the sound goes
  // on only when it is the first link's (its setup is checked as it comes).
  const size_t len = page.FirstPacketLength();
  const OggPacket* id = m_initpackets.empty() ? nullptr : m_initpackets[0].get();
  m_otherFormat = !id || id->size() != len || !std::equal(id->begin(), id->end(), page.m_data.begin());
  m_lastblocksize = 0;
  m_inLink = true;
  return !m_otherFormat;
}

HRESULT COggVorbisOutputPin::UnpackPacket(OggPacket& p, const BYTE* data, size_t len) {
  // Headers after the first link's (a chained file) are never data: a setup
  // header other than the first link's leaves that link out.
  if (len > 0 && (data[0] & 1) && m_inLink) {
    if (data[0] == 5) {
      const OggPacket& setup = *m_initpackets[2];
      m_otherFormat = m_otherFormat || setup.size() != len || !std::equal(setup.begin(), setup.end(), data);
    }
    return S_FALSE;
  }
  if (m_otherFormat) return S_FALSE;
  if (len > 0 && !(data[0] & 1)) m_inLink = false;
  if (len > 0 && !m_blockflags.empty() && !(data[0] & 1)) {
    const int bits = ILog(static_cast<unsigned>(m_blockflags.size() - 1));
    if (1 + static_cast<size_t>(bits) > len * 8) return S_FALSE;
    const unsigned mode = BitsAt(data, 1, bits);
    if (mode >= m_blockflags.size()) return S_FALSE;
    const DWORD blocksize = m_blocksize[m_blockflags[mode] ? 1 : 0];
    // A packet gives the second half of the block before it and the first
    // half of its own (the first packet gives nothing). It starts where the
    // packet before ended; a granule position is the time at its end.
    const REFERENCE_TIME length = m_lastblocksize ? GetRefTime((m_lastblocksize + blocksize) / 4) : 0;
    m_lastblocksize = blocksize;
    const REFERENCE_TIME start = m_fGranuleTime ? AddTime(m_rtLast, -length) : m_rtLast;
    p.bSyncPoint = TRUE;
    p.rtStart = start;
    p.rtStop = AddTime(start, length);
    p.assign(data, data + len);
    return S_OK;
  }
  p.bSyncPoint = TRUE;
  p.rtStart = m_rtLast;
  p.rtStop = m_rtLast;
  p.assign(data, data + len);
  return S_OK;
}

REFERENCE_TIME COggVorbisOutputPin::GetRefTime(INT64 granule) {
  return MulDiv(granule, UNITS, m_audio_sample_rate);
}

HRESULT COggVorbisOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  HRESULT hr = COggSplitterOutputPin::DeliverNewSegment(start, stop, rate);
  {
    CAutoLock lock(&m_csPackets);
    m_lastblocksize = 0;
  }
  // The in-band form needs the headers again at the start of each segment.
  if (hr == S_OK && m_mt.subtype == kSubtypeVorbisInBand) {
    for (const auto& init : m_initpackets) {
      auto p = std::make_unique<Packet>();
      p->TrackNumber = init->TrackNumber;
      p->assign(init->begin(), init->end());
      QueuePacket(std::move(p));
    }
  }
  return hr;
}

// ---------------------------------------------------------------------------
// OGM streams

bool COggStreamOutputPin::ParseHeader(const BYTE* packet, size_t len, StreamHeader& h) {
  // Type byte and the 56-byte record (the last four bytes are padding).
  constexpr size_t kRecord = 56;
  if (len < 1 + 52) return false;
  const BYTE* r = packet + 1;
  memcpy(h.streamtype, r, 8);
  memcpy(h.subtype, r + 8, 4);
  h.size = static_cast<INT32>(Le32(r + 12));
  h.time_unit = Le64(r + 16);
  h.samples_per_unit = Le64(r + 24);
  h.default_len = static_cast<INT32>(Le32(r + 32));
  h.buffersize = static_cast<INT32>(Le32(r + 36));
  h.bits_per_sample = static_cast<int16_t>(Le16(r + 40));
  h.width = static_cast<INT32>(Le32(r + 44));
  h.height = static_cast<INT32>(Le32(r + 48));
  h.channels = static_cast<int16_t>(Le16(r + 44));
  h.blockalign = static_cast<int16_t>(Le16(r + 46));
  h.avgbytespersec = static_cast<INT32>(Le32(r + 48));
  // Times are divided by either unit: a zero or negative one gets no pin.
  if (h.time_unit <= 0 || h.samples_per_unit <= 0) return false;
  h.extra.clear();
  if (h.size > static_cast<INT32>(kRecord)) {
    const size_t extra = static_cast<size_t>(h.size) - kRecord;
    if (len < 1 + kRecord || extra > len - 1 - kRecord) return false;
    h.extra.assign(packet + 1 + kRecord, packet + 1 + kRecord + extra);
  }
  return true;
}

COggStreamOutputPin::COggStreamOutputPin(const std::vector<CMediaType>& mts, const StreamHeader& h, LPCWSTR name,
                                         CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : COggSplitterOutputPin(mts, name, filter, lock, phr),
      m_time_unit(h.time_unit),
      m_samples_per_unit(h.samples_per_unit),
      m_default_len(static_cast<DWORD>(h.default_len)) {}

REFERENCE_TIME COggStreamOutputPin::GetRefTime(INT64 granule) {
  return MulDiv(granule, m_time_unit, m_samples_per_unit);
}

namespace {

// The packets of OGM streams and of embedded media samples: a flag byte
// (bit 0 header, bit 3 sync point, bits 6-7 and 1 the number of duration
// bytes), the duration, then the data.
HRESULT UnpackFlaggedPacket(OggPacket& p, const BYTE* data, size_t len, REFERENCE_TIME start,
                            COggSplitterOutputPin& pin, INT64 defaultLen) {
  if (len == 0) return E_FAIL;
  const BYTE h = data[0];
  if (h & 1) return S_FALSE;
  const size_t count = static_cast<size_t>(((h & 2) << 1) | (h >> 6));
  if (len < 1 + count) return E_FAIL;
  INT64 duration = 0;
  for (size_t i = 0; i < count; i++) duration |= static_cast<INT64>(data[1 + i]) << (8 * i);
  p.bSyncPoint = (h >> 3) & 1;
  p.rtStart = start;
  p.rtStop = AddTime(start, pin.GetRefTime(count > 0 ? duration : defaultLen));
  p.assign(data + 1 + count, data + len);
  return S_OK;
}

std::vector<CMediaType> OneType(CMediaType&& mt) {
  std::vector<CMediaType> mts;
  mts.push_back(std::move(mt));
  return mts;
}

}  // namespace

HRESULT COggStreamOutputPin::UnpackPacket(OggPacket& p, const BYTE* data, size_t len) {
  return UnpackFlaggedPacket(p, data, len, m_rtLast, *this, m_default_len);
}

std::unique_ptr<COggVideoOutputPin> COggVideoOutputPin::Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                               CBaseSplitterFilter* filter, CCritSec* lock) {
  StreamHeader h;
  if (!ParseHeader(packet, len, h)) return nullptr;
  CMediaType mt;
  mt.InitMediaType();
  mt.majortype = MEDIATYPE_Video;
  const DWORD compression = Le32(reinterpret_cast<const BYTE*>(h.subtype));
  if (compression == BI_RGB || compression == BI_BITFIELDS) {
    switch (h.bits_per_sample) {
      case 1: mt.subtype = MEDIASUBTYPE_RGB1; break;
      case 4: mt.subtype = MEDIASUBTYPE_RGB4; break;
      case 8: mt.subtype = MEDIASUBTYPE_RGB8; break;
      case 16: mt.subtype = MEDIASUBTYPE_RGB565; break;
      case 24: mt.subtype = MEDIASUBTYPE_RGB24; break;
      case 32: mt.subtype = MEDIASUBTYPE_ARGB32; break;
      default: mt.subtype = GUID_NULL; break;
    }
  } else if (compression == BI_RLE8) {
    mt.subtype = MEDIASUBTYPE_RGB8;
  } else if (compression == BI_RLE4) {
    mt.subtype = MEDIASUBTYPE_RGB4;
  } else {
    mt.subtype = FourCCGuid(compression);
  }
  mt.formattype = FORMAT_VideoInfo;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(
      mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(VIDEOINFOHEADER) + h.extra.size())));
  if (!vih) return nullptr;
  vih->AvgTimePerFrame = h.time_unit / h.samples_per_unit;
  // A bitmap header says its own size; decoders find the extra bytes by it.
  vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih->bmiHeader.biWidth = h.width;
  vih->bmiHeader.biHeight = h.height;
  vih->bmiHeader.biPlanes = 1;
  vih->bmiHeader.biBitCount = static_cast<WORD>(h.bits_per_sample);
  vih->bmiHeader.biCompression = compression;
  if (!h.extra.empty()) memcpy(vih + 1, h.extra.data(), h.extra.size());
  mt.SetSampleSize(h.buffersize > 0 ? static_cast<ULONG>(h.buffersize) : 1);
  return NewPin<COggVideoOutputPin>(OneType(std::move(mt)), h, name, filter, lock);
}

std::unique_ptr<COggAudioOutputPin> COggAudioOutputPin::Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                               CBaseSplitterFilter* filter, CCritSec* lock) {
  StreamHeader h;
  if (!ParseHeader(packet, len, h) || h.extra.size() > 0xFFFF) return nullptr;
  const __int128 rate = static_cast<__int128>(h.samples_per_unit) * UNITS / h.time_unit;
  if (rate <= 0 || rate > 0xFFFFFFFF) return nullptr;
  // The subtype field holds the format tag as four hexadecimal digits.
  WORD tag = 0;
  for (char c : h.subtype) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) break;
    tag = static_cast<WORD>(tag << 4 | d);
  }
  CMediaType mt;
  mt.InitMediaType();
  mt.majortype = MEDIATYPE_Audio;
  mt.subtype = FourCCGuid(tag);
  mt.formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(
      mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + h.extra.size())));
  if (!wfe) return nullptr;
  wfe->wFormatTag = tag;
  wfe->nChannels = static_cast<WORD>(h.channels);
  wfe->nSamplesPerSec = static_cast<DWORD>(rate);
  wfe->nAvgBytesPerSec = static_cast<DWORD>(h.avgbytespersec);
  wfe->nBlockAlign = static_cast<WORD>(h.blockalign);
  wfe->wBitsPerSample = static_cast<WORD>(h.bits_per_sample);
  wfe->cbSize = static_cast<WORD>(h.extra.size());
  if (!h.extra.empty()) memcpy(wfe + 1, h.extra.data(), h.extra.size());
  mt.SetSampleSize(h.buffersize >= 2 ? static_cast<ULONG>(h.buffersize) : 1);
  return NewPin<COggAudioOutputPin>(OneType(std::move(mt)), h, name, filter, lock);
}

std::unique_ptr<COggTextOutputPin> COggTextOutputPin::Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                             CBaseSplitterFilter* filter, CCritSec* lock) {
  StreamHeader h;
  if (!ParseHeader(packet, len, h)) return nullptr;
  CMediaType mt;
  mt.InitMediaType();
  mt.majortype = MEDIATYPE_Text;
  mt.subtype = GUID_NULL;
  mt.formattype = FORMAT_None;
  mt.SetSampleSize(1);
  return NewPin<COggTextOutputPin>(OneType(std::move(mt)), h, name, filter, lock);
}

// ---------------------------------------------------------------------------
// Embedded media samples

std::unique_ptr<COggDirectShowOutputPin> COggDirectShowOutputPin::Create(const BYTE* packet, size_t len,
                                                                         LPCWSTR name, CBaseSplitterFilter* filter,
                                                                         CCritSec* lock) {
  // A 32-bit media-type record at byte 52: major type, subtype, the fixed
  // size and temporal compression flags, sample size, format type, a
  // pointer, the format length and a pointer (72 bytes), then the format.
  constexpr size_t kAt = 52, kRecord = 72;
  if (len < kAt + kRecord) return nullptr;
  const BYTE* r = packet + kAt;
  const DWORD formatLength = Le32(r + 64);
  if (formatLength > len - kAt - kRecord) return nullptr;
  CMediaType mt;
  mt.InitMediaType();
  mt.majortype = ReadGuid(r);
  mt.subtype = ReadGuid(r + 16);
  mt.bFixedSizeSamples = Le32(r + 32) != 0;
  mt.bTemporalCompression = Le32(r + 36) != 0;
  mt.lSampleSize = 1;
  mt.formattype = ReadGuid(r + 44);
  if (formatLength > 0 && !mt.SetFormat(r + kRecord, formatLength)) return nullptr;
  std::vector<CMediaType> mts;
  if (mt.majortype == MEDIATYPE_Video) mts.push_back(std::move(mt));
  return NewPin<COggDirectShowOutputPin>(mts, name, filter, lock);
}

HRESULT COggDirectShowOutputPin::UnpackPacket(OggPacket& p, const BYTE* data, size_t len) {
  return UnpackFlaggedPacket(p, data, len, m_rtLast, *this, 1);
}

REFERENCE_TIME COggDirectShowOutputPin::GetRefTime(INT64 granule) {
  if (m_mt.majortype == MEDIATYPE_Video) {
    // VIDEOINFOHEADER and its successors keep the frame time at byte 40.
    if (!m_mt.pbFormat || m_mt.cbFormat < 48) return 0;
    INT64 frameTime = 0;
    memcpy(&frameTime, m_mt.pbFormat + 40, sizeof frameTime);
    return Clamp64(static_cast<__int128>(granule) * frameTime);
  }
  if (m_mt.majortype == MEDIATYPE_Audio) return granule;
  return 0;
}
