#include "conversion/HeaderReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/dshow/Structs.h"
#include "platform/win32/CodePage.h"

StreamInfo g_StreamInfo;

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Little- and big-endian reads; callers have checked the bounds.
WORD Le16(const BYTE* p) { return WORD(p[0] | (p[1] << 8)); }
DWORD Le32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }
UINT64 Le64(const BYTE* p) { return UINT64(Le32(p)) | UINT64(Le32(p + 4)) << 32; }
WORD Be16(const BYTE* p) { return WORD((p[0] << 8) | p[1]); }
DWORD Be32(const BYTE* p) { return DWORD(p[0]) << 24 | DWORD(p[1]) << 16 | DWORD(p[2]) << 8 | DWORD(p[3]); }

// Reads up to `size` bytes from `offset`; the count actually read.
size_t ReadAt(FILE* f, long offset, BYTE* buffer, size_t size) {
  if (std::fseek(f, offset, SEEK_SET) != 0)
    return 0;
  return std::fread(buffer, 1, size, f);
}

void CopyText(char* dst, size_t dstSize, const std::string& text) {
  size_t n = std::min(text.size(), dstSize - 1);
  std::memcpy(dst, text.data(), n);
  dst[n] = 0;
}

void CopyFourCC(char (&dst)[5], DWORD fourcc) {
  for (int i = 0; i < 4; ++i)
    dst[i] = char((fourcc >> (8 * i)) & 0xFF);
  dst[4] = 0;
}

// UTF-16LE code units to the system's 8-bit code page; stops at a zero.
std::string Utf16ToAnsi(const BYTE* p, size_t chars) {
  std::wstring wide;
  for (size_t i = 0; i < chars; ++i) {
    char32_t c = Le16(p + 2 * i);
    if (c == 0)
      break;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < chars) {
      char32_t low = Le16(p + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;  // a lone surrogate
    wide.push_back(wchar_t(c));
  }
  if (wide.empty())
    return {};
  int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0)
    return {};
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// ASF object identifiers, in their on-disk byte order.
struct AsfGuid {
  BYTE b[16];
};
constexpr AsfGuid MakeAsfGuid(DWORD d1, WORD d2, WORD d3, UINT64 d4) {
  AsfGuid g{};
  for (int i = 0; i < 4; ++i)
    g.b[i] = BYTE(d1 >> (8 * i));
  g.b[4] = BYTE(d2);
  g.b[5] = BYTE(d2 >> 8);
  g.b[6] = BYTE(d3);
  g.b[7] = BYTE(d3 >> 8);
  for (int i = 0; i < 8; ++i)
    g.b[8 + i] = BYTE(d4 >> (8 * (7 - i)));
  return g;
}
constexpr AsfGuid kAsfHeader = MakeAsfGuid(0x75B22630, 0x668E, 0x11CF, 0xA6D900AA0062CE6Cull);
constexpr AsfGuid kAsfFileProperties = MakeAsfGuid(0x8CABDCA1, 0xA947, 0x11CF, 0x8EE400C00C205365ull);
constexpr AsfGuid kAsfStreamProperties = MakeAsfGuid(0xB7DC0791, 0xA9B7, 0x11CF, 0x8EE600C00C205365ull);
constexpr AsfGuid kAsfAudioMedia = MakeAsfGuid(0xF8699E40, 0x5B4D, 0x11CF, 0xA8FD00805F5C442Bull);
constexpr AsfGuid kAsfVideoMedia = MakeAsfGuid(0xBC19EFC0, 0x5B4D, 0x11CF, 0xA8FD00805F5C442Bull);
constexpr AsfGuid kAsfCodecList = MakeAsfGuid(0x86D15240, 0x311D, 0x11D0, 0xA3A400A0C90348F6ull);
constexpr AsfGuid kAsfBitrateProperties = MakeAsfGuid(0x7BF875CE, 0x468D, 0x11D1, 0x8D82006097C9A2B2ull);
constexpr AsfGuid kAsfHeaderExtension = MakeAsfGuid(0x5FBF03B5, 0xA92E, 0x11CF, 0x8EE300C00C205365ull);
constexpr AsfGuid kAsfExtendedStreamProperties = MakeAsfGuid(0x14E6A5CB, 0xC672, 0x4332, 0x8399A96952065B5Aull);
constexpr AsfGuid kAsfData = MakeAsfGuid(0x75B22636, 0x668E, 0x11CF, 0xA6D900AA0062CE6Cull);

bool IsGuid(const BYTE* p, const AsfGuid& g) { return std::memcmp(p, g.b, 16) == 0; }

constexpr size_t kAsfObjectHeader = 24;  // identifier and 64-bit size
constexpr int kMaxStreamNumber = 128;      // stream numbers are 7 bits

struct AsfWalk {
  StreamInfo& info;
  DWORD maxBytesPerSecond = 0;
  int videoStream = -1;
  int audioEntryOfStream[kMaxStreamNumber];
  bool rateNoted[kMaxStreamNumber] = {};
  DWORD rate[kMaxStreamNumber] = {};
  int audioNames = 0;

  explicit AsfWalk(StreamInfo& i) : info(i) {
    for (int& e : audioEntryOfStream)
      e = -1;
  }

  void FileProperties(const BYTE* o, size_t size) {
    if (size < 104)
      return;
    info.fileSize = DWORD(Le64(o + 40));
    info.videoFrameCount = DWORD(Le64(o + 56));
    info.duration = DWORD(Le64(o + 72) / UNITS);
    maxBytesPerSecond = Le32(o + 100) / 8;
  }

  void StreamProperties(const BYTE* o, size_t size) {
    if (size < 78)
      return;
    int number = Le16(o + 72) & 0x7FFF;
    if (IsGuid(o + 24, kAsfAudioMedia)) {
      if (size < 78 + 12 || info.audioCount >= StreamInfo::kMaxAudio)
        return;  // no room for a fourth audio stream
      AudioStreamInfo& a = info.audio[info.audioCount];
      a.formatTag = Le16(o + 78);
      a.channels = BYTE(Le16(o + 80) & 0xFF);
      a.sampleRate = Le32(o + 82);
      a.bytesPerSecond = Le32(o + 86);
      if (number < kMaxStreamNumber)
        audioEntryOfStream[number] = info.audioCount;
      ++info.audioCount;
    } else if (IsGuid(o + 24, kAsfVideoMedia)) {
      if (size < 105 + 4)
        return;
      info.videoWidth = Le32(o + 78);
      info.videoHeight = Le32(o + 82);
      CopyFourCC(info.videoFourCC, Le32(o + 105));
      videoStream = number;
    }
  }

  void CodecList(const BYTE* o, size_t size) {
    if (size < 44)
      return;
    DWORD count = Le32(o + 40);
    size_t pos = 44;
    // Each entry takes at least 8 bytes, which bounds the loop by the size.
    for (DWORD i = 0; i < count && pos + 4 <= size; ++i) {
      WORD type = Le16(o + pos);
      size_t nameChars = Le16(o + pos + 2);
      pos += 4;
      if (pos + 2 * nameChars + 2 > size)
        return;
      std::string name = Utf16ToAnsi(o + pos, nameChars);
      pos += 2 * nameChars;
      size_t descChars = Le16(o + pos);
      pos += 2;
      if (pos + 2 * descChars + 2 > size)
        return;
      pos += 2 * descChars;
      size_t infoLength = Le16(o + pos);
      pos += 2;
      if (pos + infoLength > size)
        return;
      if (type == 1) {
        CopyText(info.videoCodecName, sizeof info.videoCodecName, name);
        if (infoLength == 4)
          CopyFourCC(info.videoFourCC, Le32(o + pos));
      } else if (audioNames < StreamInfo::kMaxAudio) {
        CopyText(info.audio[audioNames].codecName, sizeof info.audio[audioNames].codecName, name);
        ++audioNames;
      }
      pos += infoLength;
    }
  }

  void BitrateProperties(const BYTE* o, size_t size) {
    if (size < 26)
      return;
    size_t count = Le16(o + 24);
    for (size_t i = 0; i < count && 26 + 6 * (i + 1) <= size; ++i) {
      const BYTE* r = o + 26 + 6 * i;
      int number = Le16(r) & 0x7F;
      rate[number] = Le32(r + 2) / 8;
      rateNoted[number] = true;
    }
  }

  // The header extension's extended stream properties carry each stream's
  // average time per frame (100 ns), the one frame rate the header gives.
  DWORD frameTime[kMaxStreamNumber] = {};
  void HeaderExtension(const BYTE* o, size_t size) {
    for (size_t pos = 46; pos + kAsfObjectHeader <= size;) {
      const BYTE* c = o + pos;
      const UINT64 length = Le64(c + 16);
      if (length < kAsfObjectHeader || length > size - pos)
        return;
      if (IsGuid(c, kAsfExtendedStreamProperties) && length >= 84) {
        const int number = Le16(c + 72) & 0x7F;
        const UINT64 t = Le64(c + 76);
        frameTime[number] = t > 0 && t < 0xFFFFFFFFull ? DWORD(t) : 0;
      }
      pos += size_t(length);
    }
  }

  void SpreadRates() {
    if (videoStream >= 0 && videoStream < kMaxStreamNumber && frameTime[videoStream] != 0)
      info.videoFrameRate = DWORD(UNITS * 1000 / frameTime[videoStream]);
    if (!rateNoted[1] && info.videoBytesPerSecond == 0) {
      DWORD audio = info.audioCount > 0 ? info.audio[0].bytesPerSecond : 0;
      info.videoBytesPerSecond = maxBytesPerSecond > audio ? maxBytesPerSecond - audio : 0;
      return;
    }
    for (int number = 1; number <= 9 && rateNoted[number]; ++number) {
      if (number == videoStream)
        info.videoBytesPerSecond = rate[number];
      else if (audioEntryOfStream[number] >= 0)
        info.audio[audioEntryOfStream[number]].bytesPerSecond = rate[number];
    }
  }
};

}  // namespace

int ReadAsfHeaderInfo(const std::string& path, StreamInfo& info) {
  std::vector<BYTE> block(kHeaderBlockSize);
  size_t length;
  {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
      return -1;
    length = std::fread(block.data(), 1, block.size(), f.get());
  }
  if (length == 0)
    return -1;
  if (length < 30 || !IsGuid(block.data(), kAsfHeader))
    return -2;

  const UINT64 headerSize = Le64(block.data() + 16);
  info.headerSize = DWORD(headerSize);
  // Children are read only as far as both the header object and the loaded
  // block reach.
  const size_t end = size_t(std::min<UINT64>(headerSize, length));
  AsfWalk walk(info);
  size_t offset = 30;
  while (offset + kAsfObjectHeader <= end) {
    const BYTE* o = block.data() + offset;
    UINT64 size = Le64(o + 16);
    if (size < kAsfObjectHeader || size > end - offset)
      break;  // a broken size or one that leaves the loaded block
    if (IsGuid(o, kAsfData))
      break;
    if (IsGuid(o, kAsfFileProperties))
      walk.FileProperties(o, size_t(size));
    else if (IsGuid(o, kAsfStreamProperties))
      walk.StreamProperties(o, size_t(size));
    else if (IsGuid(o, kAsfCodecList))
      walk.CodecList(o, size_t(size));
    else if (IsGuid(o, kAsfBitrateProperties))
      walk.BitrateProperties(o, size_t(size));
    else if (IsGuid(o, kAsfHeaderExtension))
      walk.HeaderExtension(o, size_t(size));
    offset += size_t(size);
  }
  walk.SpreadRates();
  return 0;
}

namespace {

constexpr size_t kAviStreamSlot = 140;
constexpr int kAviStreamSlots = 4;
constexpr size_t kAviStrhSize = 56;
constexpr size_t kWaveFormatSize = 18;

DWORD Fcc(const char* s) { return Le32(reinterpret_cast<const BYTE*>(s)); }

// A sliding view over the file: a block of up to 16 KiB that is reloaded
// whenever the walk needs bytes it does not hold.
class FileWindow {
 public:
  FileWindow(FILE* f, long fileLength) : m_file(f), m_fileLength(fileLength), m_block(kHeaderBlockSize) {}

  bool Load(long offset) {
    m_start = offset;
    m_length = ReadAt(m_file, offset, m_block.data(), m_block.size());
    return m_length > 0;
  }
  // The bytes [offset, offset + size) of the file, or null when they are
  // past its end. A chunk body longer than a block is never needed whole.
  const BYTE* Get(long offset, size_t size) {
    if (size > m_block.size() || offset < 0 || offset + long(size) > m_fileLength)
      return nullptr;
    if (offset < m_start || offset + long(size) > m_start + long(m_length)) {
      // Step back a little so the chunk before stays in view too.
      long from = offset >= 100 ? offset - 100 : 0;
      if (!Load(from) || offset + long(size) > m_start + long(m_length))
        return nullptr;
    }
    return m_block.data() + (offset - m_start);
  }
  const BYTE* Block() const { return m_block.data(); }
  size_t Length() const { return m_length; }

 private:
  FILE* m_file;
  long m_fileLength;
  std::vector<BYTE> m_block;
  long m_start = 0;
  size_t m_length = 0;
};

}  // namespace

int ReadAviHeaderInfo(const std::string& path, StreamInfo& info) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f)
    return -1;
  if (std::fseek(f.get(), 0, SEEK_END) != 0)
    return -1;
  long fileLength = std::ftell(f.get());
  if (fileLength < 0)
    return -1;
  FileWindow window(f.get(), fileLength);
  window.Load(0);
  if (window.Length() < 512)
    return -2;
  const BYTE* head = window.Block();
  if (Le32(head) != Fcc("RIFF") || Le32(head + 8) != Fcc("AVI "))
    return -4;
  info.fileSize = Le32(head + 4) + 8;

  BYTE slots[kAviStreamSlots][kAviStreamSlot] = {};
  int streams = 0;
  BYTE waves[StreamInfo::kMaxAudio][kWaveFormatSize] = {};
  int audioStreams[StreamInfo::kMaxAudio] = {};
  int waveCount = 0;
  int formatOf = -1;  // the stream slot whose format chunk comes next

  long pos = 12;
  // Every step moves on by at least 8 bytes, so the walk ends with the file.
  while (pos + 8 <= fileLength) {
    const BYTE* ch = window.Get(pos, 8);
    if (!ch)
      break;
    DWORD id = Le32(ch);
    DWORD size = Le32(ch + 4);
    long body = pos + 8;
    long next = body + long(size) + long(size & 1);
    int pendingFormat = formatOf;
    formatOf = -1;
    if (id == Fcc("LIST") || id == Fcc("RIFF")) {
      const BYTE* type = size >= 4 ? window.Get(body, 4) : nullptr;
      if (!type || Le32(type) == Fcc("movi"))
        break;
      pos = body + 4;  // walk into the list
      continue;
    }
    if (id == Fcc("strh")) {
      if (streams < kAviStreamSlots) {
        size_t n = std::min<size_t>(size, kAviStrhSize);
        if (const BYTE* p = window.Get(body, n)) {
          std::memcpy(slots[streams], p, n);
          formatOf = streams;
        }
      }
      ++streams;
    } else if (pendingFormat >= 0) {
      const BYTE* strh = slots[pendingFormat];
      if (Le32(strh) == Fcc("vids")) {
        size_t n = std::min<size_t>(size, kAviStreamSlot - kAviStrhSize);
        if (const BYTE* p = window.Get(body, n))
          std::memcpy(slots[pendingFormat] + kAviStrhSize, p, n);
      } else if (Le32(strh) == Fcc("auds") && waveCount < StreamInfo::kMaxAudio) {
        size_t n = std::min<size_t>(size, kWaveFormatSize);
        if (const BYTE* p = window.Get(body, n)) {
          std::memcpy(waves[waveCount], p, n);
          audioStreams[waveCount] = pendingFormat;
          ++waveCount;
        }
      }
    }
    if (next <= pos)
      break;
    pos = next;
  }
  info.headerSize = DWORD(std::min(pos, fileLength));

  if (streams == 0)
    return -5;
  const BYTE* video = slots[0];
  if (Le32(video) != Fcc("vids"))
    return -3;

  DWORD compression = Le32(video + kAviStrhSize + 16);
  CopyFourCC(info.videoFourCC, compression >= 0x19FFFFFF ? compression : Le32(video + 4));
  LONG width = LONG(Le32(video + kAviStrhSize + 4));
  LONG height = LONG(Le32(video + kAviStrhSize + 8));
  // A top-down picture has a negative height; the size is what is shown.
  info.videoWidth = DWORD(width < 0 ? -INT64(width) : width);
  info.videoHeight = DWORD(height < 0 ? -INT64(height) : height);
  DWORD scale = Le32(video + 20);
  DWORD rate = Le32(video + 24);
  info.videoFrameCount = Le32(video + 32);
  if (scale != 0)
    info.videoFrameRate = DWORD(UINT64(rate) * 1000 / scale);

  if (streams > 1 && Le32(slots[1]) == Fcc("auds")) {
    for (int i = 0; i < waveCount; ++i) {
      AudioStreamInfo& a = info.audio[i];
      const BYTE* w = waves[i];
      a.formatTag = Le16(w);
      a.channels = BYTE(Le16(w + 2) & 0xFF);
      a.sampleRate = Le32(w + 4);
      a.bytesPerSecond = Le32(w + 8);
      const BYTE* strh = slots[audioStreams[i]];
      DWORD aScale = Le32(strh + 20);
      DWORD aRate = Le32(strh + 24);
      double perSecond = aScale ? double(aRate) / aScale : 0.0;
      a.duration = perSecond < 0.001 ? 0 : DWORD(Le32(strh + 32) / perSecond);
    }
    info.audioCount = BYTE(waveCount);
  }
  return 0;
}

int ReadRealMediaHeaderInfo(const std::string& path, StreamInfo& info) {
  std::vector<BYTE> block(kHeaderBlockSize);
  size_t length;
  {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
      return -1;
    length = std::fread(block.data(), 1, block.size(), f.get());
  }
  if (length == 0)
    return -1;
  const BYTE* b = block.data();
  if (length < 10 || std::memcmp(b, ".RMF", 4) != 0)
    return -2;

  size_t pos = 0;
  while (pos + 10 <= length) {
    const BYTE* ch = b + pos;
    DWORD size = Be32(ch + 4);
    if (std::memcmp(ch, "DATA", 4) == 0) {
      info.headerSize = DWORD(pos);
      break;
    }
    if (size < 10)
      break;
    // A chunk is read only as far as the loaded block holds it.
    const size_t avail = std::min<size_t>(size, length - pos);
    const WORD version = Be16(ch + 8);
    if (version == 0 && std::memcmp(ch, "PROP", 4) == 0 && avail >= 34) {
      info.duration = Be32(ch + 30) / 1000;
    } else if (version == 0 && std::memcmp(ch, "MDPR", 4) == 0 && avail >= 41) {
      DWORD avgBitrate = Be32(ch + 16);
      DWORD durationMs = Be32(ch + 36);
      size_t p = 40;
      size_t nameLength = ch[p++];
      if (p + nameLength + 1 > avail) {
        pos += size;
        continue;
      }
      std::string name(reinterpret_cast<const char*>(ch + p), nameLength);
      p += nameLength;
      size_t mimeLength = ch[p++];
      // Writers name their streams freely ("The Video Stream"); the MIME
      // type says the kind as well.
      const std::string mime(reinterpret_cast<const char*>(ch + p), std::min(mimeLength, avail - p));
      p += mimeLength;
      const BYTE* ts = nullptr;
      size_t tsLength = 0;
      if (p + 4 <= avail) {
        tsLength = Be32(ch + p);
        p += 4;
        if (tsLength <= avail - p)
          ts = ch + p;
        else
          tsLength = 0;
      }
      const bool audio = name.rfind("Audio", 0) == 0 || mime.rfind("audio/", 0) == 0;
      const bool video = name.rfind("Video", 0) == 0 || mime.rfind("video/", 0) == 0;
      if (audio && info.audioCount < StreamInfo::kMaxAudio) {
        AudioStreamInfo& a = info.audio[info.audioCount++];
        a.bytesPerSecond = avgBitrate / 8;
        a.duration = durationMs / 1000;
        // ".ra\xfd" and a version; versions 4 and 5 lay out the rest
        // differently.
        if (ts && tsLength >= 6 && std::memcmp(ts, ".ra\xfd", 4) == 0) {
          WORD raVersion = Be16(ts + 4);
          size_t rateAt = raVersion == 5 ? 54 : 48;
          size_t channelsAt = raVersion == 5 ? 60 : 54;
          size_t codecAt = raVersion == 5 ? 66 : 62;
          if (tsLength >= channelsAt + 2) {
            a.sampleRate = Be16(ts + rateAt);
            a.channels = BYTE(Be16(ts + channelsAt));
          }
          std::string codec;
          if (tsLength > 11 && ts[11] == '5')
            codec = "RealAudio 8";
          else if (tsLength >= codecAt + 4)
            codec = std::string(reinterpret_cast<const char*>(ts + codecAt), 4) + " RealAudio";
          else
            codec = "RealAudio";
          codec += " v" + std::to_string(raVersion);
          CopyText(a.codecName, sizeof a.codecName, codec);
        }
      } else if (video && !audio) {
        info.videoBytesPerSecond = avgBitrate / 8;
        info.videoDuration = durationMs / 1000;
        // size, "VIDO", codec FourCC, width, height, depth, 4 bytes,
        // frames per second as 16.16.
        if (ts && tsLength >= 26 && std::memcmp(ts + 4, "VIDO", 4) == 0) {
          CopyFourCC(info.videoFourCC, Le32(ts + 8));
          info.videoWidth = Be16(ts + 12);
          info.videoHeight = Be16(ts + 14);
          info.videoFrameRate = DWORD(UINT64(Be32(ts + 22)) * 1000 / 65536);
        }
      }
    }
    pos += size;
  }
  return 0;
}

void FinishStreamInfo(StreamInfo& info) {
  if (info.videoDuration == 0 && info.videoFrameCount != 0 && info.videoFrameRate != 0)
    info.videoDuration = DWORD(UINT64(info.videoFrameCount) * 1000 / info.videoFrameRate);
  if (info.videoDuration == 0)
    info.videoDuration = info.duration;
  if (info.duration == 0)
    info.duration = info.videoDuration;
  if (info.videoFrameRate != 0 && info.videoDuration != 0)
    info.videoFrameCount = DWORD(UINT64(info.videoFrameRate) * info.videoDuration / 1000);
  if (info.videoFrameRate == 0 && info.videoFrameCount != 0 && info.videoDuration != 0)
    info.videoFrameRate = DWORD(UINT64(info.videoFrameCount) * 1000 / info.videoDuration);
}
