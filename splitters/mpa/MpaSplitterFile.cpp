#include "splitters/mpa/MpaSplitterFile.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwctype>
#include <vector>

#include "platform/win32/CodePage.h"

namespace {

// The ID3v1 genres by number.
const char* const kGenres[] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz", "Metal",
    "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno", "Industrial",
    "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop", "Vocal",
    "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip",
    "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop",
    "Instrumental Rock", "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk",
    "Eurodance", "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk",
    "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi",
    "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock", "Folk",
    "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival", "Celtic", "Bluegrass",
    "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
    "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera", "Chamber Music",
    "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba",
    "Folklore", "Ballad", "Power Ballad", "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo",
    "A capella", "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie",
    "BritPop", "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal", "Black Metal",
    "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa", "Thrash Metal", "Anime", "JPop",
    "SynthPop"};
static_assert(sizeof(kGenres) / sizeof(kGenres[0]) == 148);

// Text frames larger than this are passed over.
constexpr DWORD kMaxTextFrame = 1 << 20;
constexpr LONGLONG kMaxZeroPadding = 1048576;

DWORD Be32(const BYTE* p) { return static_cast<DWORD>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
DWORD SyncSafe(const BYTE* p) { return (p[0] & 0x7F) << 21 | (p[1] & 0x7F) << 14 | (p[2] & 0x7F) << 7 | (p[3] & 0x7F); }

std::wstring Latin1(const BYTE* p, size_t n) {
  std::wstring s;
  for (size_t i = 0; i < n && p[i]; i++) s += static_cast<wchar_t>(p[i]);
  return s;
}

std::wstring Utf8(const BYTE* p, size_t n) {
  const void* nul = memchr(p, 0, n);
  if (nul) n = static_cast<size_t>(static_cast<const BYTE*>(nul) - p);
  return Utf8ToWide(std::string_view(reinterpret_cast<const char*>(p), n));
}

// UTF-16 up to the first 0, surrogate pairs joined.
std::wstring Utf16(const BYTE* p, size_t chars, bool bigEndian) {
  std::wstring s;
  for (size_t i = 0; i < chars; i++) {
    const BYTE* c = p + 2 * i;
    unsigned u = bigEndian ? (c[0] << 8 | c[1]) : (c[1] << 8 | c[0]);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < chars) {
      const BYTE* d = c + 2;
      const unsigned low = bigEndian ? (d[0] << 8 | d[1]) : (d[1] << 8 | d[0]);
      if (low >= 0xDC00 && low < 0xE000) {
        s += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i++;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
    s += static_cast<wchar_t>(u);
  }
  return s;
}

void TrimEnd(std::wstring& s) {
  while (!s.empty() && (iswspace(s.back()) || s.back() == 0)) s.pop_back();
}

// An ID3v2 text in encoding e: 0 Latin-1, 1 UTF-16 with a byte-order mark,
// 2 UTF-16 big-endian, 3 UTF-8.
std::wstring Id3Text(BYTE e, const BYTE* p, size_t n) {
  if (e == 0) return Latin1(p, n);
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) return Utf16(p + 2, (n - 2) / 2, false);
  if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) return Utf16(p + 2, (n - 2) / 2, true);
  if (e == 2) return Utf16(p, n / 2, true);
  return Utf8(p, n);
}

// Bytes of a terminated string in encoding e, terminator included.
size_t TerminatedLength(BYTE e, const BYTE* p, size_t n) {
  if (e == 1 || e == 2) {
    for (size_t i = 0; i + 1 < n; i += 2)
      if (p[i] == 0 && p[i + 1] == 0) return i + 2;
    return n;
  }
  const void* nul = memchr(p, 0, n);
  return nul ? static_cast<size_t>(static_cast<const BYTE*>(nul) - p) + 1 : n;
}

}  // namespace

CMpaSplitterFile::CMpaSplitterFile(IAsyncReader* reader, HRESULT& hr) : CBaseSplitterFileEx(reader, hr, 2048, false) {
  if (SUCCEEDED(hr)) hr = Init();
}

HRESULT CMpaSplitterFile::Init() {
  startpos = 0;
  endpos = GetLength();

  BYTE head[3] = {};
  Seek(0);
  if (endpos >= 3 && ByteRead(head, 3) == S_OK && head[0] == 0 && head[1] == 0 && head[2] == 1) return E_FAIL;

  if (endpos > 128 && IsComplete()) ReadId3v1();

  Seek(0);
  for (;;) {
    BYTE id[3];
    if (GetRemaining() < 10 || ByteRead(id, 3) != S_OK) break;
    Seek(GetPos() - 3);
    if (memcmp(id, "ID3", 3) != 0) break;
    if (!ReadId3v2()) return E_FAIL;
  }

  // Where the frames may start: right at the start of the file, or a
  // little after the tags in front of them.
  const LONGLONG searchlen = std::min<LONGLONG>(endpos - startpos, startpos > 0 ? 512 : 7);
  // The first header there must be followed by a second frame like it.
  auto detect = [&](int kind, auto headerAt, auto frameLength, int followLimit) {
    for (LONGLONG p = startpos; mode == none && p < startpos + searchlen; p++) {
      CMediaType found;
      if (!headerAt(p, &found)) continue;
      mode = kind;
      int size = 0;
      REFERENCE_TIME dur = 0;
      Seek(p + frameLength());
      if (Sync(size, dur, followLimit)) {
        mt = found;
        startpos = p;
      } else {
        mode = none;
      }
    }
  };
  detect(
      mpa, [this](LONGLONG p, CMediaType* t) { return MpaHeaderAt(p, mpaHeader, t); },
      [this] { return mpaHeader.nBytesPerFrame; }, 4);
  detect(
      mp4a, [this](LONGLONG p, CMediaType* t) { return AdtsHeaderAt(p, adtsHeader, t); },
      [this] { return adtsHeader.aac_frame_length; }, 9);
  if (mode == none) return E_FAIL;

  // The duration from the byte rates of the first frames: until they stop
  // changing it, or a second has passed.
  frameRates.clear();
  totalRate = 0;
  duration = 0;
  Seek(startpos);
  const auto begin = std::chrono::steady_clock::now();
  REFERENCE_TIME last = -1;
  int same = 0;
  int size = 0;
  REFERENCE_TIME dur = 0;
  while (Sync(size, dur, 0x2000)) {
    Seek(GetPos() + size);
    if (duration == last) {
      if (++same >= 10) break;
    } else {
      same = 0;
      last = duration;
    }
    if (std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(1000)) break;
  }
  return S_OK;
}

void CMpaSplitterFile::ReadId3v1() {
  BYTE tag[128];
  Seek(endpos - 128);
  if (ByteRead(tag, sizeof tag) != S_OK || memcmp(tag, "TAG", 3) != 0) return;
  endpos -= 128;
  const struct {
    DWORD id;
    int offset, length;
  } fields[] = {{Id3Tag("TIT2"), 3, 30},
                {Id3Tag("TPE1"), 33, 30},
                {Id3Tag("TALB"), 63, 30},
                {Id3Tag("TYER"), 93, 4},
                {Id3Tag("COMM"), 97, 30}};
  for (const auto& f : fields) {
    std::wstring text = Latin1(tag + f.offset, static_cast<size_t>(f.length));
    TrimEnd(text);
    tags[f.id] = text;
  }
  // Version 1.1: a track number behind a zero in the comment.
  if (tag[97 + 28] == 0 && tag[97 + 29] != 0) tags[Id3Tag("TRCK")] = std::to_wstring(tag[97 + 29]);
  if (tag[127] < 148) tags[Id3Tag("TCON")] = Utf8ToWide(kGenres[tag[127]]);
}

bool CMpaSplitterFile::ReadId3v2() {
  BYTE h[10];
  if (ByteRead(h, sizeof h) != S_OK) return false;
  const BYTE major = h[3], flags = h[5];
  if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return false;
  const LONGLONG begin = GetPos();
  startpos = begin + SyncSafe(h + 6);

  if (major < 5) {
    LONGLONG pos = begin;
    // An extended header in front of the frames is passed over.
    BYTE ext[4];
    if ((flags & 0x40) && (major == 3 || major == 4) && startpos - pos >= 4 && ByteRead(ext, 4) == S_OK)
      pos += major == 4 ? SyncSafe(ext) : 4 + static_cast<LONGLONG>(Be32(ext));
    std::vector<BYTE> data;
    while (pos + 10 <= startpos) {
      Seek(pos);
      BYTE fh[10];
      if (ByteRead(fh, sizeof fh) != S_OK) break;
      const DWORD id = Be32(fh);
      // Version 2.4 gives frame sizes as syncsafe integers like the tag's.
      const DWORD size = major == 4 ? SyncSafe(fh + 4) : Be32(fh + 4);
      if (size == 0 || size > startpos - pos - 10) break;
      if (size <= kMaxTextFrame &&
          (id == Id3Tag("TIT2") || id == Id3Tag("TPE1") || id == Id3Tag("TALB") || id == Id3Tag("TYER") ||
           id == Id3Tag("TDRC") || id == Id3Tag("COMM") || id == Id3Tag("TRCK") || id == Id3Tag("TCOP"))) {
        data.resize(size);
        if (ByteRead(data.data(), size) != S_OK) break;
        ReadId3v2Frame(id, data.data(), size);
      }
      pos += 10 + static_cast<LONGLONG>(size);
    }
  }

  // Zero padding after the tag.
  Seek(startpos);
  for (LONGLONG skipped = 0; skipped < kMaxZeroPadding && startpos < endpos; skipped++) {
    BYTE b = 0;
    if (ByteRead(&b, 1) != S_OK || b != 0) break;
    startpos++;
  }
  Seek(startpos);
  return true;
}

void CMpaSplitterFile::ReadId3v2Frame(DWORD id, const BYTE* data, size_t size) {
  const BYTE e = data[0];
  const BYTE* p = data + 1;
  size_t n = size - 1;
  if (id == Id3Tag("COMM")) {
    // Language and a short description come before the comment itself.
    if (n < 3) return;
    p += 3;
    n -= 3;
    const size_t desc = TerminatedLength(e, p, n);
    p += desc;
    n -= desc;
  }
  std::wstring text = Id3Text(e, p, n);
  TrimEnd(text);
  if (id == Id3Tag("TDRC")) {
    // The recording time of version 2.4 starts with the year.
    if (tags.count(Id3Tag("TYER"))) return;
    id = Id3Tag("TYER");
    text = text.substr(0, 4);
  }
  tags[id] = text;
}

bool CMpaSplitterFile::MpaHeaderAt(LONGLONG pos, MpegAudioHeader& h, CMediaType* pmt) {
  Seek(pos);
  if (BitRead(11, true) != 0x7FF || BitReadFailed()) {
    ClearBitReadFailed();
    return false;
  }
  // Free-format frames (bit-rate index 0) have no size of their own and
  // are refused by the parser; a frame must also be longer than its header.
  return ReadMpegAudioHeader(h, 4, true, pmt) && h.nBytesPerFrame > 4 && h.nBytesPerSec > 0;
}

bool CMpaSplitterFile::AdtsHeaderAt(LONGLONG pos, AdtsHeader& h, CMediaType* pmt) {
  Seek(pos);
  if (BitRead(12, true) != 0xFFF || BitReadFailed()) {
    ClearBitReadFailed();
    return false;
  }
  return ReadAdtsHeader(h, 9, pmt) && h.nPayloadBytes > 0 && h.nBytesPerSec > 0;
}

bool CMpaSplitterFile::FrameAt(LONGLONG pos, Frame& frame) {
  if (mode == mpa) {
    MpegAudioHeader h;
    // Stereo, joint stereo and dual channel may alternate (encoders switch
    // per frame, and an Info frame in front may say stereo for a
    // joint-stereo stream); mono does not.
    if (!MpaHeaderAt(pos, h) || h.version != mpaHeader.version || h.layer != mpaHeader.layer ||
        (h.channels == 3) != (mpaHeader.channels == 3))
      return false;
    frame = {0, h.nBytesPerFrame, h.nBytesPerSec, h.rtDuration};
    return true;
  }
  if (mode == mp4a) {
    AdtsHeader h;
    if (!AdtsHeaderAt(pos, h) || h.version != adtsHeader.version || h.layer != adtsHeader.layer ||
        h.channels != adtsHeader.channels)
      return false;
    frame = {h.nHeaderSize, h.nPayloadBytes, h.nBytesPerSec, h.rtDuration};
    return true;
  }
  return false;
}

bool CMpaSplitterFile::Sync(int& frameSize, REFERENCE_TIME& rtDuration, int limit) {
  const LONGLONG begin = GetPos();
  const LONGLONG end = std::min(endpos, begin + limit);
  const int header = mode == mp4a ? 9 : 4;
  if (mode != mpa && mode != mp4a) return false;
  for (LONGLONG p = begin; p <= end - header; p++) {
    Frame frame;
    if (!FrameAt(p, frame)) continue;
    RecordFrame(p, frame.rate);
    Seek(p + frame.header);
    frameSize = frame.size;
    rtDuration = frame.duration;
    return true;
  }
  Seek(std::max(begin, end - header + 1));
  return false;
}

CBaseSplitterFile::Unit CMpaSplitterFile::FrameUnit() {
  Unit unit;
  unit.header = mode == mp4a ? 9 : 4;
  // A frame like the first one, followed by another or by the end of the
  // frames.
  unit.holds = [this](LONGLONG pos, const BYTE* b) {
    Frame frame;
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0 || !FrameAt(pos, frame)) return false;
    const LONGLONG next = pos + frame.header + frame.size;
    return next <= endpos && (endpos - next < 4 || FrameAt(next, frame));
  };
  unit.begun = [this](LONGLONG pos, const BYTE*) {
    Frame frame;
    return FrameAt(pos, frame);
  };
  return unit;
}

void CMpaSplitterFile::RecordFrame(LONGLONG pos, int rate) {
  if (frameRates.emplace(pos, rate).second) totalRate += rate;
  const LONGLONG average = totalRate / static_cast<LONGLONG>(frameRates.size());
  if (average <= 0) return;
  duration = static_cast<REFERENCE_TIME>(static_cast<double>(endpos - startpos) * static_cast<double>(UNITS) / average);
}
