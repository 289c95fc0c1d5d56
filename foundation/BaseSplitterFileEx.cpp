#include "foundation/BaseSplitterFileEx.h"

#include <algorithm>
#include <numeric>

#include "foundation/Packet.h"
#include "foundation/StreamTime.h"

namespace {

// Subpicture subtypes of the SVCD, CVD and PS2 forms.
constexpr GUID kSvcdSubpicture = {0xDA5B82EE, 0x6BD2, 0x426F, {0xBF, 0x1E, 0x30, 0x11, 0x2D, 0xA7, 0x8A, 0xE1}};
constexpr GUID kCvdSubpicture = {0x7B57308F, 0x5154, 0x4C36, {0xB9, 0x03, 0x52, 0xFE, 0x76, 0xE1, 0x84, 0xFC}};
constexpr GUID kPs2Subpicture = {0x4F3D3E21, 0x6D7C, 0x4F73, {0xAA, 0x05, 0xE3, 0x97, 0xB5, 0xEA, 0xE0, 0xAA}};
constexpr GUID kMediaTypeSubtitle = {0xE487EB08, 0x6B26, 0x4BE9, {0x9D, 0xD3, 0x99, 0x34, 0x34, 0xD3, 0x13, 0xFD}};

constexpr int kAacRates[12] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// Two-byte AAC decoder configuration (object type, sampling index, channel
// configuration) for an ADTS stream.
int AacAudioSpecificConfig(BYTE* out, int profile, int rate, int channels) {
  int index = 11;
  for (int i = 0; i < 12; i++) {
    if (kAacRates[i] == rate) {
      index = i;
      break;
    }
  }
  int objectType = profile + 1;
  out[0] = static_cast<BYTE>((objectType << 3) | (index >> 1));
  out[1] = static_cast<BYTE>(((index & 1) << 7) | ((channels & 0x0F) << 3));
  return 2;
}

void ReduceAspect(int& x, int& y) {
  if (x <= 0 || y <= 0) return;  // nothing to reduce (and no division by 0)
  int g = std::gcd(x, y);
  x /= g;
  y /= g;
}

// H.264 payloads carry emulation-prevention bytes (00 00 03); the parameter
// set is parsed on the bytes without them.
std::vector<BYTE> NalToRbsp(const BYTE* p, size_t n) {
  std::vector<BYTE> out;
  out.reserve(n);
  int zeros = 0;
  for (size_t i = 0; i < n; i++) {
    if (zeros >= 2 && p[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = p[i] == 0 ? zeros + 1 : 0;
    out.push_back(p[i]);
  }
  return out;
}

// Bit reader over a parameter set held in memory; every read past the end
// sets the failed flag and gives 0.
class MemBits {
 public:
  MemBits(const std::vector<BYTE>& data) : m_data(data) {}
  UINT32 Bits(int n) {
    UINT32 v = 0;
    for (int i = 0; i < n; i++) {
      if (m_bit >= m_data.size() * 8) {
        m_failed = true;
        return 0;
      }
      v = (v << 1) | ((m_data[m_bit >> 3] >> (7 - (m_bit & 7))) & 1);
      m_bit++;
    }
    return v;
  }
  UINT32 UE() {
    int zeros = 0;
    while (!m_failed && Bits(1) == 0) {
      if (++zeros > 31) {
        m_failed = true;
        return 0;
      }
    }
    if (m_failed) return 0;
    if (zeros == 0) return 0;
    return static_cast<UINT32>((1ULL << zeros) - 1 + Bits(zeros));
  }
  INT32 SE() {
    UINT32 k = UE();
    INT32 v = static_cast<INT32>((static_cast<UINT64>(k) + 1) / 2);
    return (k & 1) ? v : -v;
  }
  bool Failed() const { return m_failed; }

 private:
  const std::vector<BYTE>& m_data;
  size_t m_bit = 0;
  bool m_failed = false;
};

bool SkipScalingList(MemBits& b, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; j++) {
    if (next != 0) {
      int delta = b.SE();
      if (b.Failed() || delta < -128 || delta > 127) return false;
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
  return true;
}

struct SpsInfo {
  BYTE profile = 0, level = 0;
  unsigned width = 0, height = 0;
  unsigned sarx = 0, sary = 0;
  REFERENCE_TIME frameTime = 0;
};

// Sequence parameter set (RBSP, starting with the NAL header byte). Every
// value is checked against the standard's limits; nothing is trusted.
bool ParseSps(const std::vector<BYTE>& rbsp, SpsInfo& info) {
  MemBits b(rbsp);
  b.Bits(8);  // NAL header
  info.profile = static_cast<BYTE>(b.Bits(8));
  b.Bits(8);  // constraint flags
  info.level = static_cast<BYTE>(b.Bits(8));
  if (b.UE() > 31) return false;
  UINT32 chroma = 1;
  switch (info.profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
    case 139: case 134: case 135: {
      chroma = b.UE();
      if (chroma > 3) return false;
      if (chroma == 3) b.Bits(1);
      if (b.UE() > 6 || b.UE() > 6) return false;  // bit depths - 8
      b.Bits(1);
      if (b.Bits(1)) {
        for (int i = 0; i < (chroma == 3 ? 12 : 8); i++) {
          if (b.Bits(1) && !SkipScalingList(b, i < 6 ? 16 : 64)) return false;
        }
      }
      break;
    }
    default:
      break;
  }
  if (b.UE() > 12) return false;  // log2_max_frame_num - 4
  UINT32 pocType = b.UE();
  if (pocType == 0) {
    if (b.UE() > 12) return false;
  } else if (pocType == 1) {
    b.Bits(1);
    b.SE();
    b.SE();
    UINT32 cycle = b.UE();
    if (cycle > 255) return false;
    for (UINT32 i = 0; i < cycle && !b.Failed(); i++) b.SE();
  } else if (pocType != 2) {
    return false;
  }
  if (b.UE() > 16) return false;  // max_num_ref_frames
  b.Bits(1);
  UINT32 widthMbs = b.UE() + 1;
  UINT32 heightMapUnits = b.UE() + 1;
  UINT32 frameMbsOnly = b.Bits(1);
  if (b.Failed() || widthMbs > 1024 || heightMapUnits > 1024) return false;
  if (!frameMbsOnly) b.Bits(1);
  b.Bits(1);
  UINT32 cropL = 0, cropR = 0, cropT = 0, cropB = 0;
  if (b.Bits(1)) {
    cropL = b.UE();
    cropR = b.UE();
    cropT = b.UE();
    cropB = b.UE();
  }
  UINT32 unitX = (chroma == 1 || chroma == 2) ? 2 : 1;
  UINT32 unitY = (chroma == 1 ? 2 : 1) * (2 - frameMbsOnly);
  UINT64 width = widthMbs * 16ULL;
  UINT64 height = heightMapUnits * 16ULL * (2 - frameMbsOnly);
  UINT64 cropX = (UINT64(cropL) + cropR) * unitX, cropY = (UINT64(cropT) + cropB) * unitY;
  if (b.Failed() || cropX >= width || cropY >= height) return false;
  info.width = static_cast<unsigned>(width - cropX);
  info.height = static_cast<unsigned>(height - cropY);

  if (b.Bits(1)) {  // VUI
    if (b.Bits(1)) {  // the pixel shape, by its code or as two numbers
      static const BYTE kShapes[17][2] = {{0, 0},    {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                          {24, 11},  {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                          {64, 33},  {160, 99}, {4, 3},  {3, 2},   {2, 1}};
      const UINT32 code = b.Bits(8);
      if (code == 255) {
        info.sarx = b.Bits(16);
        info.sary = b.Bits(16);
      } else if (code < 17) {
        info.sarx = kShapes[code][0];
        info.sary = kShapes[code][1];
      }
      if (b.Failed() || !info.sarx || !info.sary) info.sarx = info.sary = 0;
    }
    if (b.Bits(1)) b.Bits(1);                        // overscan
    if (b.Bits(1)) {                                 // video signal type
      b.Bits(4);
      if (b.Bits(1)) b.Bits(24);
    }
    if (b.Bits(1)) {  // chroma location
      b.UE();
      b.UE();
    }
    if (b.Bits(1)) {  // timing
      UINT64 units = b.Bits(32);
      UINT64 scale = b.Bits(32);
      // Time scale counts fields: a frame is two ticks.
      if (!b.Failed() && units > 0 && scale > 0) info.frameTime = static_cast<REFERENCE_TIME>(20000000ULL * units / scale);
    }
  }
  return true;  // a truncated VUI only loses the frame time
}

}  // namespace

CBaseSplitterFileEx::CBaseSplitterFileEx(IAsyncReader* reader, HRESULT& hr, int cacheSize, bool requireComplete)
    : CBaseSplitterFile(reader, hr, cacheSize, requireComplete) {}

CBaseSplitterFileEx::~CBaseSplitterFileEx() = default;

// ---------------------------------------------------------------------------
// MPEG system layer

bool CBaseSplitterFileEx::FindStartCode(BYTE& code, LONGLONG budget) {
  BitByteAlign();
  DWORD id = 0xFFFFFFFF;
  // A start code found within the first bytes still counts; it needs its
  // four bytes read from inside the budget.
  while (budget-- > 0) {
    if (!Need(1)) return false;
    id = (id << 8) | static_cast<BYTE>(BitRead(8));
    if (BitReadFailed()) {
      ClearBitReadFailed();
      return false;
    }
    if ((id & 0xFFFFFF00) == 0x00000100) {
      code = static_cast<BYTE>(id & 0xFF);
      return true;
    }
  }
  return false;
}

bool CBaseSplitterFileEx::ReadPackHeader(PackHeader& h) {
  h = PackHeader{};
  if (!Need(8)) return false;
  BYTE b = static_cast<BYTE>(BitRead(8, true));
  if ((b & 0xF1) == 0x21) {
    h.type = 1;
    BitRead(4);
    UINT64 scr = BitRead(3) << 30;
    if (!BitRead(1)) return false;
    scr |= BitRead(15) << 15;
    if (!BitRead(1)) return false;
    scr |= BitRead(15);
    if (!BitRead(1)) return false;
    if (!BitRead(1)) return false;
    h.bitrate = BitRead(22) * 400;
    if (!BitRead(1)) return false;
    h.scr = scr;
  } else if ((b & 0xC4) == 0x44) {
    if (!Need(10)) return false;
    h.type = 2;
    BitRead(2);
    UINT64 scr = BitRead(3) << 30;
    if (!BitRead(1)) return false;
    scr |= BitRead(15) << 15;
    if (!BitRead(1)) return false;
    scr |= BitRead(15);
    if (!BitRead(1)) return false;
    UINT64 ext = BitRead(9);
    if (!BitRead(1)) return false;
    h.scr = scr * 300 + ext;
    h.bitrate = BitRead(22) * 400;
    if (BitRead(2) != 3) return false;
    BitRead(5);
    int stuffing = static_cast<int>(BitRead(3));
    if (!Need(stuffing)) return false;
    while (stuffing-- > 0) BitRead(8);
  } else {
    return false;
  }
  return true;
}

bool CBaseSplitterFileEx::ReadSystemHeader(SystemHeader& h) {
  h = SystemHeader{};
  if (!Need(8)) return false;
  WORD len = static_cast<WORD>(BitRead(16));
  if (len < 6 || !Need(len)) return false;
  if (!BitRead(1)) return false;
  h.rate_bound = static_cast<DWORD>(BitRead(22));
  if (!BitRead(1)) return false;
  h.audio_bound = static_cast<BYTE>(BitRead(6));
  h.fixed_rate = BitRead(1);
  h.csps = BitRead(1);
  h.sys_audio_loc_flag = BitRead(1);
  h.sys_video_loc_flag = BitRead(1);
  if (!BitRead(1)) return false;
  h.video_bound = static_cast<BYTE>(BitRead(5));
  BitRead(8);  // packet rate restriction and reserved bits
  for (int left = len - 6; left >= 3; left -= 3) BitRead(24);  // per-stream entries
  return true;
}

bool CBaseSplitterFileEx::ReadPtsBits(REFERENCE_TIME& t) {
  UINT64 pts = BitRead(3) << 30;
  if (!BitRead(1)) return false;
  pts |= BitRead(15) << 15;
  if (!BitRead(1)) return false;
  pts |= BitRead(15);
  if (!BitRead(1)) return false;
  t = Ticks90kToTime(static_cast<INT64>(pts));
  return true;
}

REFERENCE_TIME CBaseSplitterFileEx::DecodeLead(const PesHeader& h) {
  if (!h.fpts || !h.fdts) return INVALID_TIME;
  REFERENCE_TIME lead = h.pts - h.dts;
  if (lead < 0) lead += Ticks90kToTime(INT64{1} << 33);
  return lead >= 0 && lead <= StreamTime::kMaxLead ? lead : INVALID_TIME;
}

// The record is packed, so its times are filled through a local.
bool CBaseSplitterFileEx::ReadPtsInto(PesHeader& h, bool dts) {
  REFERENCE_TIME t = 0;
  if (!ReadPtsBits(t)) return false;
  if (dts) h.dts = t;
  else h.pts = t;
  return true;
}

bool CBaseSplitterFileEx::ReadPesHeader(PesHeader& h, BYTE code) {
  memset(&h, 0, sizeof(h));
  if (code < 0xBD || code > 0xEF) return false;
  if (!Need(2)) return false;
  h.len = static_cast<WORD>(BitRead(16));
  if (code == 0xBE || code == 0xBF) return true;

  // The payload length behind the header is what is left of the packet
  // length; a header longer than its packet is broken. 0 means unbounded
  // (video in transport streams) and stays 0.
  bool bounded = h.len != 0;
  int used = 0;
  auto take = [&](int n) {
    used += n;
    return !bounded || used <= h.len;
  };

  for (int i = 0; i < 16 && Need(1) && BitRead(8, true) == 0xFF; i++) {
    BitRead(8);
    if (!take(1)) return false;
  }
  if (!Need(1)) return false;

  if (BitRead(2, true) == 2) {
    // MPEG-2 form.
    if (!Need(3)) return false;
    h.type = 2;
    BitRead(2);
    h.scrambling = BitRead(2);
    h.priority = BitRead(1);
    h.alignment = BitRead(1);
    h.copyright = BitRead(1);
    h.original = BitRead(1);
    h.fpts = BitRead(1);
    h.fdts = BitRead(1);
    h.escr = BitRead(1);
    h.esrate = BitRead(1);
    h.dsmtrickmode = BitRead(1);
    h.morecopyright = BitRead(1);
    h.crc = BitRead(1);
    h.extension = BitRead(1);
    h.hdrlen = static_cast<BYTE>(BitRead(8));
    if (!take(3 + h.hdrlen) || !Need(h.hdrlen)) return false;
    if (h.fdts && !h.fpts) return false;
    int left = h.hdrlen;
    if (h.fpts) {
      if (left < 5 || BitRead(4) != (h.fdts ? 3u : 2u) || !ReadPtsInto(h, false)) return false;
      left -= 5;
    }
    if (h.fdts) {
      if (left < 5 || BitRead(4) != 1 || !ReadPtsInto(h, true)) return false;
      left -= 5;
    }
    while (left-- > 0) BitRead(8);
  } else {
    // MPEG-1 form.
    h.type = 1;
    if (BitRead(2, true) == 1) {
      if (!Need(2) || !take(2)) return false;
      BitRead(2);
      int scale = BitRead(1) ? 1024 : 128;
      h.std_buff_size = scale * static_cast<INT64>(BitRead(13));
    }
    if (!Need(1)) return false;
    UINT64 prefix = BitRead(4);
    if (prefix == 2 || prefix == 3) {
      if (!Need(prefix == 3 ? 10 : 5) || !take(prefix == 3 ? 10 : 5)) return false;
      h.fpts = 1;
      if (!ReadPtsInto(h, false)) return false;
      if (prefix == 3) {
        h.fdts = 1;
        if (BitRead(4) != 1 || !ReadPtsInto(h, true)) return false;
      }
    } else if (prefix == 0) {
      if (BitRead(4) != 0x0F || !take(1)) return false;
    } else {
      return false;
    }
  }
  if (bounded) h.len = static_cast<WORD>(h.len - used);
  return true;
}

// ---------------------------------------------------------------------------
// Video

bool CBaseSplitterFileEx::ReadSequenceHeader(SequenceHeader& h, LONGLONG budget, CMediaType* pmt) {
  h = SequenceHeader{};
  LONGLONG searchStart = GetPos();
  BYTE id = 0;
  for (;;) {
    LONGLONG left = budget - (GetPos() - searchStart);
    if (left <= 0 || !FindStartCode(id, left)) return false;
    if (id == 0xB3) break;
  }
  LONGLONG seqPos = GetPos() - 4;
  // Every byte of the header, its matrices and its extension must lie
  // inside the budget: what follows belongs to something else (the next
  // packet's header, another sample).
  const LONGLONG limit = searchStart + budget;
  auto fits = [&](LONGLONG bytes) { return Need(bytes) && GetPos() + bytes <= limit; };
  if (!fits(8)) return false;

  h.width = static_cast<WORD>(BitRead(12));
  h.height = static_cast<WORD>(BitRead(12));
  h.ar = static_cast<BYTE>(BitRead(4));
  h.frame_rate = static_cast<BYTE>(BitRead(4));
  DWORD bitrateField = static_cast<DWORD>(BitRead(18));
  if (!BitRead(1)) return false;
  h.vbv = static_cast<DWORD>(BitRead(10));
  h.constrained = BitRead(1);
  // A matrix starts inside a byte: its 64 bytes touch 65.
  if ((h.fiqm = BitRead(1))) {
    if (!fits(65)) return false;
    for (auto& q : h.iqm) q = static_cast<BYTE>(BitRead(8));
  }
  if ((h.fniqm = BitRead(1))) {
    if (!fits(65)) return false;
    for (auto& q : h.niqm) q = static_cast<BYTE>(BitRead(8));
  }
  if (BitReadFailed()) {
    ClearBitReadFailed();
    return false;
  }
  // Codes 0 and 9-15 have no frame period; a picture without size has no
  // aspect either.
  if (h.frame_rate < 1 || h.frame_rate > 8 || h.width == 0 || h.height == 0) return false;

  LONGLONG seqEnd = GetPos();
  DWORD bitrate = bitrateField == 0x3FFFF ? 0 : bitrateField * 400;

  if (fits(10) && BitRead(32, true) == 0x000001B5) {
    LONGLONG extPos = GetPos();
    BitRead(32);
    if (BitRead(4) == 1) {
      h.mpeg2 = true;
      BitRead(1);  // escape bit
      h.profile = static_cast<BYTE>(BitRead(3));
      h.level = static_cast<BYTE>(BitRead(4));
      h.progressive = BitRead(1);
      h.chroma = static_cast<BYTE>(BitRead(2));
      h.width |= static_cast<WORD>(BitRead(2) << 12);
      h.height |= static_cast<WORD>(BitRead(2) << 12);
      DWORD bitrateExt = static_cast<DWORD>(BitRead(12));
      if (!BitRead(1)) return false;
      h.vbv |= static_cast<DWORD>(BitRead(8) << 10);
      h.lowdelay = BitRead(1);
      h.ifps_n = static_cast<BYTE>(BitRead(2));
      h.ifps_d = static_cast<BYTE>(BitRead(5));
      DWORD full = (bitrateExt << 18) | bitrateField;
      bitrate = full == 0x3FFFFFFF ? 0 : full * 400;
      seqEnd = GetPos();
    } else {
      Seek(extPos);
    }
  }
  h.bitrate = bitrate;

  static const INT64 kPeriods[9] = {0, 1126125, 1125000, 1080000, 900900, 900000, 540000, 450450, 450000};
  h.ifps = static_cast<REFERENCE_TIME>(kPeriods[h.frame_rate] * 10 * (h.ifps_n + 1) / (27 * (h.ifps_d + 1)));

  if (!h.mpeg2) {
    static const double kPelAspect[16] = {1.0000, 1.0000, 0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                          0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015, 1.0000};
    h.arx = static_cast<int>(h.width / kPelAspect[h.ar] + 0.5);
    h.ary = h.height;
  } else {
    switch (h.ar) {
      case 2: h.arx = 4; h.ary = 3; break;
      case 3: h.arx = 16; h.ary = 9; break;
      case 4: h.arx = 221; h.ary = 100; break;
      default: h.arx = h.width; h.ary = h.height; break;
    }
  }
  ReduceAspect(h.arx, h.ary);

  if (!pmt) return true;

  LONGLONG rawLen = seqEnd - seqPos;
  std::vector<BYTE> raw(static_cast<size_t>(rawLen));
  Seek(seqPos);
  if (ByteRead(raw.data(), rawLen) != S_OK) return false;

  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Video;
  if (!h.mpeg2) {
    pmt->subtype = MEDIASUBTYPE_MPEG1Payload;
    pmt->formattype = FORMAT_MPEGVideo;
    size_t size = offsetof(MPEG1VIDEOINFO, bSequenceHeader) + raw.size();
    auto* vi = reinterpret_cast<MPEG1VIDEOINFO*>(pmt->AllocFormatBuffer(static_cast<ULONG>(size)));
    if (!vi) return false;
    vi->hdr.dwBitRate = h.bitrate;
    vi->hdr.AvgTimePerFrame = h.ifps;
    vi->hdr.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vi->hdr.bmiHeader.biWidth = h.width;
    vi->hdr.bmiHeader.biHeight = h.height;
    vi->hdr.bmiHeader.biXPelsPerMeter = h.width * h.ary;
    vi->hdr.bmiHeader.biYPelsPerMeter = h.height * h.arx;
    vi->cbSequenceHeader = static_cast<DWORD>(raw.size());
    memcpy(reinterpret_cast<BYTE*>(vi) + offsetof(MPEG1VIDEOINFO, bSequenceHeader), raw.data(), raw.size());
  } else {
    pmt->subtype = MEDIASUBTYPE_MPEG2_VIDEO;
    pmt->formattype = FORMAT_MPEG2Video;
    size_t size = offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + raw.size();
    BYTE* block = pmt->AllocFormatBuffer(static_cast<ULONG>(std::max(size, sizeof(MPEG2VIDEOINFO))));
    if (!block) return false;
    pmt->cbFormat = static_cast<ULONG>(size);
    auto* vi = reinterpret_cast<MPEG2VIDEOINFO*>(block);
    vi->hdr.dwBitRate = h.bitrate;
    vi->hdr.AvgTimePerFrame = h.ifps;
    vi->hdr.dwPictAspectRatioX = h.arx;
    vi->hdr.dwPictAspectRatioY = h.ary;
    vi->hdr.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vi->hdr.bmiHeader.biWidth = h.width;
    vi->hdr.bmiHeader.biHeight = h.height;
    vi->dwProfile = h.profile;
    vi->dwLevel = h.level;
    vi->cbSequenceHeader = static_cast<DWORD>(raw.size());
    memcpy(block + offsetof(MPEG2VIDEOINFO, dwSequenceHeader), raw.data(), raw.size());
  }
  return true;
}

// ---------------------------------------------------------------------------
// Audio

bool CBaseSplitterFileEx::ReadMpegAudioHeader(MpegAudioHeader& h, LONGLONG budget, bool allowMpeg25,
                                              CMediaType* pmt) {
  h = MpegAudioHeader{};
  int syncBits = allowMpeg25 ? 11 : 12;
  UINT64 syncValue = (1u << syncBits) - 1;
  if (!SeekSync(syncBits, syncValue, 4, budget)) return false;
  h.sync = static_cast<WORD>(BitRead(11));
  h.version = static_cast<BYTE>(BitRead(2));
  h.layer = static_cast<BYTE>(BitRead(2));
  h.crc = static_cast<BYTE>(BitRead(1));
  h.bitrate = static_cast<BYTE>(BitRead(4));
  h.freq = static_cast<BYTE>(BitRead(2));
  h.padding = static_cast<BYTE>(BitRead(1));
  h.privatebit = static_cast<BYTE>(BitRead(1));
  h.channels = static_cast<BYTE>(BitRead(2));
  h.modeext = static_cast<BYTE>(BitRead(2));
  h.copyright = static_cast<BYTE>(BitRead(1));
  h.original = static_cast<BYTE>(BitRead(1));
  h.emphasis = static_cast<BYTE>(BitRead(2));
  if (h.version == 1 || h.layer == 0 || h.bitrate == 0 || h.bitrate == 15 || h.freq == 3 || h.emphasis == 2)
    return false;

  static const int kRates[3][16] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},   // MPEG-1 layer 1
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},      // MPEG-1 layer 2
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}};      // MPEG-1 layer 3
  static const int kRates2[2][16] = {
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},     // MPEG-2 layer 1
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};          // MPEG-2 layers 2, 3
  static const int kFreq[3] = {44100, 48000, 32000};

  int layer = h.LayerNumber();
  bool mpeg1 = h.version == 3;
  h.nBitrate = 1000 * (mpeg1 ? kRates[layer - 1][h.bitrate] : kRates2[layer == 1 ? 0 : 1][h.bitrate]);
  h.nSamplesPerSec = kFreq[h.freq] >> (h.version == 3 ? 0 : h.version == 2 ? 1 : 2);
  int samples;
  if (layer == 1) {
    h.nBytesPerFrame = (12 * h.nBitrate / h.nSamplesPerSec + h.padding) * 4;
    samples = 384;
  } else {
    samples = (layer == 3 && !mpeg1) ? 576 : 1152;
    h.nBytesPerFrame = samples / 8 * h.nBitrate / h.nSamplesPerSec + h.padding;
  }
  h.nBytesPerSec = h.nBitrate / 8;
  h.rtDuration = UNITS * samples / h.nSamplesPerSec;

  if (!pmt) return true;
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Audio;
  pmt->formattype = FORMAT_WaveFormatEx;
  WORD channels = h.channels == 3 ? 1 : 2;
  if (layer == 3) {
    auto* wf = reinterpret_cast<MPEGLAYER3WAVEFORMAT*>(pmt->AllocFormatBuffer(sizeof(MPEGLAYER3WAVEFORMAT)));
    if (!wf) return false;
    pmt->subtype = MEDIASUBTYPE_MP3;
    wf->wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    wf->wfx.nChannels = channels;
    wf->wfx.nSamplesPerSec = h.nSamplesPerSec;
    wf->wfx.nAvgBytesPerSec = h.nBytesPerSec;
    wf->wfx.nBlockAlign = 1;
    wf->wfx.cbSize = sizeof(MPEGLAYER3WAVEFORMAT) - sizeof(WAVEFORMATEX);
    wf->wID = MPEGLAYER3_ID_MPEG;
    wf->fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    wf->nBlockSize = static_cast<WORD>(h.nBytesPerFrame);
    wf->nFramesPerBlock = 1;
  } else {
    auto* wf = reinterpret_cast<MPEG1WAVEFORMAT*>(pmt->AllocFormatBuffer(sizeof(MPEG1WAVEFORMAT)));
    if (!wf) return false;
    pmt->subtype = MEDIASUBTYPE_MPEG1AudioPayload;
    wf->wfx.wFormatTag = WAVE_FORMAT_MPEG;
    wf->wfx.nChannels = channels;
    wf->wfx.nSamplesPerSec = h.nSamplesPerSec;
    wf->wfx.nAvgBytesPerSec = h.nBytesPerSec;
    wf->wfx.nBlockAlign = static_cast<WORD>(layer == 1 ? 4 : h.nBytesPerFrame - h.padding);
    wf->wfx.cbSize = sizeof(MPEG1WAVEFORMAT) - sizeof(WAVEFORMATEX);
    wf->fwHeadLayer = layer == 1 ? ACM_MPEG_LAYER1 : ACM_MPEG_LAYER2;
    wf->dwHeadBitrate = h.nBitrate;
    static const WORD kModes[4] = {ACM_MPEG_STEREO, ACM_MPEG_JOINTSTEREO, ACM_MPEG_DUALCHANNEL,
                                   ACM_MPEG_SINGLECHANNEL};
    wf->fwHeadMode = kModes[h.channels];
    wf->fwHeadModeExt = static_cast<WORD>(1 << h.modeext);
    wf->wHeadEmphasis = static_cast<WORD>(h.emphasis + 1);
    wf->fwHeadFlags = static_cast<WORD>((h.privatebit ? ACM_MPEG_PRIVATEBIT : 0) |
                                        (h.copyright ? ACM_MPEG_COPYRIGHT : 0) |
                                        (h.original ? ACM_MPEG_ORIGINALHOME : 0) |
                                        (h.crc == 0 ? ACM_MPEG_PROTECTIONBIT : 0) | (mpeg1 ? ACM_MPEG_ID_MPEG1 : 0));
  }
  pmt->SetSampleSize(1);
  return true;
}

bool CBaseSplitterFileEx::ReadAdtsHeader(AdtsHeader& h, LONGLONG budget, CMediaType* pmt) {
  h = AdtsHeader{};
  if (!SeekSync(12, 0xFFF, 7, budget)) return false;
  h.sync = static_cast<WORD>(BitRead(12));
  h.version = static_cast<BYTE>(BitRead(1));
  h.layer = static_cast<BYTE>(BitRead(2));
  h.fcrc = static_cast<BYTE>(BitRead(1));
  h.profile = static_cast<BYTE>(BitRead(2));
  h.freq = static_cast<BYTE>(BitRead(4));
  h.privatebit = static_cast<BYTE>(BitRead(1));
  h.channels = static_cast<BYTE>(BitRead(3));
  h.original = static_cast<BYTE>(BitRead(1));
  h.home = static_cast<BYTE>(BitRead(1));
  h.copyright_id_bit = static_cast<BYTE>(BitRead(1));
  h.copyright_id_start = static_cast<BYTE>(BitRead(1));
  h.aac_frame_length = static_cast<WORD>(BitRead(13));
  h.adts_buffer_fullness = static_cast<WORD>(BitRead(11));
  h.no_raw_data_blocks_in_frame = static_cast<BYTE>(BitRead(2));
  h.nHeaderSize = h.fcrc ? 7 : 9;
  if (!h.fcrc) {
    if (budget < 9 || !Need(2)) return false;
    h.crc = static_cast<WORD>(BitRead(16));
  }
  if (h.layer != 0 || h.freq >= 12 || h.aac_frame_length <= h.nHeaderSize) return false;

  h.nSamplesPerSec = kAacRates[h.freq];
  h.nPayloadBytes = h.aac_frame_length - h.nHeaderSize;
  h.nBytesPerSec = static_cast<int>(static_cast<INT64>(h.nSamplesPerSec) * h.aac_frame_length / 1024);
  h.rtDuration = 10240000000LL / h.nSamplesPerSec;

  if (!pmt) return true;
  // Configuration 0 leaves the channels to a program config element; 7 is
  // eight channels, more than this format describes. Both are given as
  // stereo so that no consumer sees 0 channels.
  WORD channels = (h.channels >= 1 && h.channels <= 6) ? h.channels : 2;
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Audio;
  pmt->subtype = MEDIASUBTYPE_AAC;
  pmt->formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX) + 5));
  if (!wfe) return false;
  wfe->wFormatTag = WAVE_FORMAT_AAC;
  wfe->nChannels = channels;
  wfe->nSamplesPerSec = h.nSamplesPerSec;
  wfe->nBlockAlign = h.aac_frame_length;
  wfe->nAvgBytesPerSec = h.nBytesPerSec;
  BYTE* extra = reinterpret_cast<BYTE*>(wfe + 1);
  wfe->cbSize = static_cast<WORD>(AacAudioSpecificConfig(extra, h.profile, h.nSamplesPerSec, channels));
  pmt->cbFormat = sizeof(WAVEFORMATEX) + wfe->cbSize;
  return true;
}

bool CBaseSplitterFileEx::ReadAc3Header(Ac3Header& h, LONGLONG budget, CMediaType* pmt) {
  h = Ac3Header{};
  if (!SeekSync(16, 0x0B77, 7, budget)) return false;
  h.sync = static_cast<WORD>(BitRead(16));
  h.crc1 = static_cast<WORD>(BitRead(16));
  h.fscod = static_cast<BYTE>(BitRead(2));
  h.frmsizecod = static_cast<BYTE>(BitRead(6));
  h.bsid = static_cast<BYTE>(BitRead(5));
  h.bsmod = static_cast<BYTE>(BitRead(3));
  h.acmod = static_cast<BYTE>(BitRead(3));
  if ((h.acmod & 1) && h.acmod != 1) h.cmixlev = static_cast<BYTE>(BitRead(2));
  if (h.acmod & 4) h.surmixlev = static_cast<BYTE>(BitRead(2));
  if (h.acmod == 2) h.dsurmod = static_cast<BYTE>(BitRead(2));
  h.lfeon = static_cast<BYTE>(BitRead(1));
  if (h.bsid >= 12 || h.fscod == 3 || h.frmsizecod >= 38) return false;

  static const int kFreq[3] = {48000, 44100, 32000};
  static const int kBitrates[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                    192, 224, 256, 320, 384, 448, 512, 576, 640};
  static const int kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  int shift = h.bsid <= 8 ? 0 : h.bsid - 8;
  h.nSamplesPerSec = kFreq[h.fscod] >> shift;
  h.nChannels = kChannels[h.acmod] + h.lfeon;
  h.nBytesPerSec = kBitrates[h.frmsizecod >> 1] * 1000 / 8;

  if (!pmt) return true;
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Audio;
  pmt->subtype = MEDIASUBTYPE_DOLBY_AC3;
  pmt->formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  if (!wfe) return false;
  wfe->wFormatTag = WAVE_FORMAT_DOLBY_AC3;
  wfe->nChannels = static_cast<WORD>(h.nChannels);
  wfe->nSamplesPerSec = h.nSamplesPerSec;
  wfe->nAvgBytesPerSec = h.nBytesPerSec;
  wfe->nBlockAlign = static_cast<WORD>(static_cast<INT64>(h.nBytesPerSec) * 1536 / h.nSamplesPerSec);
  return true;
}

bool CBaseSplitterFileEx::ReadDtsHeader(DtsHeader& h, LONGLONG budget, CMediaType* pmt) {
  h = DtsHeader{};
  if (!SeekSync(32, 0x7FFE8001, 11, budget)) return false;
  h.sync = static_cast<DWORD>(BitRead(32));
  h.frametype = static_cast<BYTE>(BitRead(1));
  h.deficitsamplecount = static_cast<BYTE>(BitRead(5));
  h.fcrc = static_cast<BYTE>(BitRead(1));
  h.nblocks = static_cast<BYTE>(BitRead(7));
  h.framebytes = static_cast<WORD>(BitRead(14) + 1);
  h.amode = static_cast<BYTE>(BitRead(6));
  h.sfreq = static_cast<BYTE>(BitRead(4));
  h.rate = static_cast<BYTE>(BitRead(5));
  h.downmix = static_cast<BYTE>(BitRead(1));
  h.dynrange = static_cast<BYTE>(BitRead(1));
  h.timestamp = static_cast<BYTE>(BitRead(1));
  h.auxdata = static_cast<BYTE>(BitRead(1));
  h.hdcd = static_cast<BYTE>(BitRead(1));
  h.ext_descr = static_cast<BYTE>(BitRead(3));
  h.ext_coding = static_cast<BYTE>(BitRead(1));
  h.aspf = static_cast<BYTE>(BitRead(1));
  h.lfe = static_cast<BYTE>(BitRead(2));

  static const int kChannels[16] = {1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 6, 6, 6, 7, 8, 8};
  static const int kFreq[16] = {0, 8000, 16000, 32000, 0, 0, 11025, 22050, 44100, 0, 0, 12000, 24000, 48000, 0, 0};
  static const int kBitrates[32] = {32000,   56000,   64000,   96000,   112000,  128000,  192000,  224000,
                                    256000,  320000,  384000,  448000,  512000,  576000,  640000,  768000,
                                    960000,  1024000, 1152000, 1280000, 1344000, 1408000, 1411200, 1472000,
                                    1536000, 1920000, 2048000, 3072000, 3840000, 0,       0,       0};
  // amode 16 and above are user-defined layouts the channel table does not
  // cover; a rate code without a rate is no header either.
  if (h.amode >= 16 || kFreq[h.sfreq] == 0) return false;
  h.nChannels = kChannels[h.amode];
  h.nSamplesPerSec = kFreq[h.sfreq];
  h.nBytesPerSec = kBitrates[h.rate] / 8;

  if (!pmt) return true;
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Audio;
  pmt->subtype = MEDIASUBTYPE_DTS;
  pmt->formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  if (!wfe) return false;
  wfe->wFormatTag = WAVE_FORMAT_DVD_DTS;
  wfe->nChannels = static_cast<WORD>(h.nChannels);
  wfe->nSamplesPerSec = h.nSamplesPerSec;
  wfe->nAvgBytesPerSec = h.nBytesPerSec;
  wfe->nBlockAlign = h.framebytes;
  return true;
}

bool CBaseSplitterFileEx::ReadLpcmHeader(LpcmHeader& h, CMediaType* pmt) {
  h = LpcmHeader{};
  if (!Need(3)) return false;
  h.emphasis = static_cast<BYTE>(BitRead(1));
  h.mute = static_cast<BYTE>(BitRead(1));
  h.reserved1 = static_cast<BYTE>(BitRead(1));
  h.framenum = static_cast<BYTE>(BitRead(5));
  h.quantwordlen = static_cast<BYTE>(BitRead(2));
  h.freq = static_cast<BYTE>(BitRead(2));
  h.reserved2 = static_cast<BYTE>(BitRead(1));
  h.channels = static_cast<BYTE>(BitRead(3));
  h.drc = static_cast<BYTE>(BitRead(8));
  // Word length code 3 is reserved: no sample size would fit it.
  if (h.channels > 2 || h.reserved1 || h.reserved2 || h.quantwordlen > 2) return false;

  if (!pmt) return true;
  static const DWORD kFreq[4] = {48000, 96000, 44100, 32000};
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Audio;
  pmt->subtype = MEDIASUBTYPE_DVD_LPCM_AUDIO;
  pmt->formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  if (!wfe) return false;
  wfe->wFormatTag = WAVE_FORMAT_PCM;
  wfe->nChannels = static_cast<WORD>(h.channels + 1);
  wfe->nSamplesPerSec = kFreq[h.freq];
  // 16, 20 or 24 bits. The decoder takes its sample size from here, so the
  // word length of the stream must come through.
  wfe->wBitsPerSample = static_cast<WORD>(16 + 4 * h.quantwordlen);
  // 20 and 24-bit samples only come whole in groups of two sample times.
  const WORD timesPerGroup = wfe->wBitsPerSample == 16 ? 1 : 2;
  wfe->nBlockAlign = static_cast<WORD>(wfe->nChannels * timesPerGroup * wfe->wBitsPerSample / 8);
  wfe->nAvgBytesPerSec = wfe->nChannels * wfe->wBitsPerSample * wfe->nSamplesPerSec / 8;
  return true;
}

// ---------------------------------------------------------------------------
// Subpictures

static bool SubpicType(CMediaType* pmt, const GUID& major, const GUID& subtype) {
  if (!pmt) return true;
  pmt->InitMediaType();
  pmt->majortype = major;
  pmt->subtype = subtype;
  pmt->formattype = FORMAT_None;
  return true;
}

bool CBaseSplitterFileEx::ReadDvdSubpicHeader(CMediaType* pmt) {
  return SubpicType(pmt, MEDIATYPE_Video, MEDIASUBTYPE_DVD_SUBPICTURE);
}
bool CBaseSplitterFileEx::ReadSvcdSubpicHeader(CMediaType* pmt) {
  return SubpicType(pmt, MEDIATYPE_Video, kSvcdSubpicture);
}
bool CBaseSplitterFileEx::ReadCvdSubpicHeader(CMediaType* pmt) {
  return SubpicType(pmt, MEDIATYPE_Video, kCvdSubpicture);
}
bool CBaseSplitterFileEx::ReadPs2SubpicHeader(CMediaType* pmt) {
  return SubpicType(pmt, kMediaTypeSubtitle, kPs2Subpicture);
}

bool CBaseSplitterFileEx::ReadPs2AudioHeader(Ps2AudioHeader& h, CMediaType* pmt) {
  h = Ps2AudioHeader{};
  LONGLONG start = GetPos();
  auto le32 = [this]() {
    DWORD v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<DWORD>(BitRead(8)) << (8 * i);
    return v;
  };
  bool ok = false;
  if (Need(40) && BitRead(32) == 0x53536864) {  // "SShd"
    h.unk1 = le32();
    h.type = le32();
    h.freq = le32();
    h.channels = le32();
    h.interleave = le32();
    // The "SShd" body is 24 bytes; the rest of it is not used.
    if (h.unk1 >= 16 && Need(static_cast<LONGLONG>(h.unk1) - 16 + 8)) {
      for (DWORD i = 16; i < h.unk1; i++) BitRead(8);
      if (BitRead(32) == 0x53536264) {  // "SSbd"
        h.size = le32();
        ok = (h.type == 1 || h.type == 16) && h.channels >= 1 && h.channels <= 8 && h.freq > 0 &&
             h.freq <= 192000 && h.interleave > 0;
      }
    }
  }
  Seek(start);
  if (!ok) return false;

  if (!pmt) return true;
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Audio;
  pmt->subtype = h.type == 1 ? MEDIASUBTYPE_PS2_PCM : MEDIASUBTYPE_PS2_ADPCM;
  pmt->formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX) + 6));
  if (!wfe) return false;
  wfe->wFormatTag = static_cast<WORD>(h.type == 1 ? 0xF521 : 0xF522);
  wfe->nChannels = static_cast<WORD>(h.channels);
  wfe->nSamplesPerSec = h.freq;
  wfe->wBitsPerSample = 16;
  wfe->nBlockAlign = static_cast<WORD>(h.channels * 2);
  wfe->nAvgBytesPerSec = wfe->nBlockAlign * wfe->nSamplesPerSec;
  wfe->cbSize = 6;
  // The interleave travels with the type; the decoder needs it to split the
  // channel blocks.
  memcpy(wfe + 1, &h.interleave, sizeof(DWORD));
  return true;
}

// ---------------------------------------------------------------------------
// Transport streams and PVA

BYTE CBaseSplitterFileEx::PeekByteAt(LONGLONG pos, bool& ok) {
  ok = false;
  if (pos < 0 || pos >= GetLength()) return 0;
  Seek(pos);
  BYTE b = 0;
  if (ByteRead(&b, 1) != S_OK) return 0;
  ok = true;
  return b;
}

bool CBaseSplitterFileEx::DetectTsPacketLength() {
  LONGLONG start = GetPos();
  for (int i = 0; i < 192 && !m_tsPacketLength; i++) {
    bool ok = false;
    if (PeekByteAt(start + i, ok) != 0x47 || !ok) continue;
    for (int len : {188, 192}) {
      bool ok1 = false, ok2 = false;
      if (PeekByteAt(start + i + len, ok1) != 0x47 || !ok1) continue;
      // A third sync byte, where the data has one, rules out a chance 0x47
      // in a 192-byte packet's time stamp.
      BYTE third = PeekByteAt(start + i + 2 * len, ok2);
      if (ok2 && third != 0x47) continue;
      m_tsPacketLength = len;
      break;
    }
  }
  Seek(start);
  return m_tsPacketLength != 0;
}

bool CBaseSplitterFileEx::ReadTsHeader(TsHeader& h, bool resync) {
  h = TsHeader{};
  BitByteAlign();
  if (!m_tsPacketLength && !DetectTsPacketLength()) return false;
  int len = m_tsPacketLength;

  if (resync) {
    LONGLONG start = GetPos();
    bool found = false;
    for (int i = 0; i < len && !found; i++) {
      bool ok1 = false, ok2 = false;
      if (PeekByteAt(start + i, ok1) != 0x47 || !ok1) continue;
      // The last packet of a finished file has no sync byte behind it; it
      // counts when it ends exactly at the end (the time-stamp prefix of a
      // 192-byte packet lies before the sync byte).
      const bool last = !IsStreaming() && start + i + 188 == GetLength();
      if (last || (PeekByteAt(start + i + len, ok2) == 0x47 && ok2)) {
        Seek(start + i);
        found = true;
      }
    }
    if (!found) {
      Seek(start);
      return false;
    }
  }

  if (!Need(4)) return false;
  LONGLONG syncPos = GetPos();
  h.sync = static_cast<BYTE>(BitRead(8));
  if (h.sync != 0x47) return false;
  h.error = static_cast<BYTE>(BitRead(1));
  h.payloadstart = static_cast<BYTE>(BitRead(1));
  h.transportpriority = static_cast<BYTE>(BitRead(1));
  h.pid = static_cast<WORD>(BitRead(13));
  h.scrambling = static_cast<BYTE>(BitRead(2));
  h.adapfield = static_cast<BYTE>(BitRead(1));
  h.payload = static_cast<BYTE>(BitRead(1));
  h.counter = static_cast<BYTE>(BitRead(4));
  h.bytes = 184;
  h.next = syncPos + len;
  if (h.adapfield) {
    if (!Need(1)) return false;
    h.length = static_cast<BYTE>(BitRead(8));
    h.bytes -= 1 + h.length;
    if (h.bytes < 0) return false;
    if (h.length > 0) {
      if (!Need(h.length)) return false;
      h.discontinuity = static_cast<BYTE>(BitRead(1));
      h.randomaccess = static_cast<BYTE>(BitRead(1));
      h.priority = static_cast<BYTE>(BitRead(1));
      h.fPCR = static_cast<BYTE>(BitRead(1));
      h.OPCR = static_cast<BYTE>(BitRead(1));
      h.splicingpoint = static_cast<BYTE>(BitRead(1));
      h.privatedata = static_cast<BYTE>(BitRead(1));
      h.extension = static_cast<BYTE>(BitRead(1));
      Seek(GetPos() + h.length - 1);
    }
  }
  return true;
}

bool CBaseSplitterFileEx::ReadPsiSectionHeader(PsiSectionHeader& h) {
  h = PsiSectionHeader{};
  if (!Need(1)) return false;
  BYTE pointer = static_cast<BYTE>(BitRead(8));
  if (!Need(pointer + 8)) return false;
  while (pointer-- > 0) BitRead(8);
  h.table_id = static_cast<BYTE>(BitRead(8));
  BYTE syntax = static_cast<BYTE>(BitRead(1));
  BYTE zero = static_cast<BYTE>(BitRead(1));
  BitRead(2);
  h.section_length = static_cast<WORD>(BitRead(12));
  h.transport_stream_id = static_cast<WORD>(BitRead(16));
  BitRead(2);
  h.version_number = static_cast<BYTE>(BitRead(5));
  h.current_next_indicator = static_cast<BYTE>(BitRead(1));
  h.section_number = static_cast<BYTE>(BitRead(8));
  h.last_section_number = static_cast<BYTE>(BitRead(8));
  return syntax == 1 && zero == 0;
}

bool CBaseSplitterFileEx::ReadPvaHeader(PvaHeader& h, bool resync) {
  h = PvaHeader{};
  BitByteAlign();
  if (resync) {
    bool found = false;
    for (int i = 0; i < 65536 && !found; i++) {
      if (!Need(8)) return false;
      // "AV", a stream id of 1 or 2, a counter, then 0x55.
      UINT64 v = BitRead(40, true);
      BYTE id = static_cast<BYTE>(v >> 16);
      if ((v >> 24) == 0x4156 && (id == 1 || id == 2) && (v & 0xFF) == 0x55) {
        found = true;
      } else {
        BitRead(8);
      }
    }
    if (!found) return false;
  }
  if (!Need(8)) return false;
  h.sync = static_cast<WORD>(BitRead(16));
  h.streamid = static_cast<BYTE>(BitRead(8));
  h.counter = static_cast<BYTE>(BitRead(8));
  h.res = static_cast<BYTE>(BitRead(8));
  h.flags = static_cast<BYTE>(BitRead(8));
  h.length = static_cast<WORD>(BitRead(16));
  if (h.sync != 0x4156 || h.res != 0x55 || h.length > 6136) return false;
  h.fpts = (h.flags & 0x10) != 0;
  h.prebytes = static_cast<BYTE>((h.flags >> 2) & 3);
  h.postbytes = static_cast<BYTE>(h.flags & 3);

  if (h.streamid == 1 && h.fpts) {
    if (h.length < 4 || !Need(4)) return false;
    h.pts = Ticks90kToTime(static_cast<INT64>(BitRead(32)));
    h.length -= 4;
  } else if (h.streamid == 2 && (h.fpts || (Need(4) && BitRead(24, true) == 1))) {
    // The audio payload starts with a PES packet; its time stamp is the
    // packet's. The payload is left in place for the caller.
    LONGLONG payload = GetPos();
    if (Need(6) && BitRead(24) == 1) {
      BYTE id = static_cast<BYTE>(BitRead(8));
      PesHeader pes;
      if (ReadPesHeader(pes, id) && pes.fpts) {
        h.pts = pes.pts;
        h.fpts = true;
      }
    }
    Seek(payload);
  }
  return true;
}

// ---------------------------------------------------------------------------
// H.264

bool CBaseSplitterFileEx::ReadAvcHeader(AvcHeader& h, LONGLONG budget, CMediaType* pmt) {
  h = AvcHeader{};
  LONGLONG start = GetPos();
  // Parameter sets come first in a stream; 4 MB is far more than any
  // stream's start needs.
  LONGLONG n = std::min({budget, GetRemaining(), LONGLONG(4) << 20});
  if (n < 8) return false;
  std::vector<BYTE> buf(static_cast<size_t>(n));
  if (ByteRead(buf.data(), n) != S_OK) return false;
  return ParseAvcHeader(buf.data(), buf.size(), start, h, pmt);
}

bool CBaseSplitterFileEx::ParseAvcHeader(const BYTE* data, size_t size, LONGLONG start, AvcHeader& h,
                                         CMediaType* pmt) {
  h = AvcHeader{};
  auto startCodeAt = [&](size_t i) { return i + 3 < size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1; };
  auto shortCodeAt = [&](size_t i) { return i + 2 < size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1; };

  for (size_t i = 0; i + 4 < size && (h.sps.empty() || h.pps.empty());) {
    if (!startCodeAt(i)) {
      i++;
      continue;
    }
    size_t begin = i + 4;
    size_t end = begin;
    while (end < size && !shortCodeAt(end)) end++;
    size_t unitEnd = end;
    while (unitEnd > begin && data[unitEnd - 1] == 0) unitEnd--;  // trailing zeros belong to the next code
    size_t len = unitEnd - begin;
    if (len > 0) {
      BYTE type = data[begin] & 0x1F;
      // The lengths travel as 16 bits; a larger unit cannot be described.
      if ((type == 7 || type == 8) && len > 0xFFFF) return false;
      if (type == 7 && h.sps.empty()) {
        h.sps.assign(data + begin, data + unitEnd);
        h.spspos = start + static_cast<LONGLONG>(begin);
        h.spslen = static_cast<int>(len);
      } else if (type == 8 && h.pps.empty() && !h.sps.empty()) {
        h.pps.assign(data + begin, data + unitEnd);
        h.ppspos = start + static_cast<LONGLONG>(begin);
        h.ppslen = static_cast<int>(len);
      }
    }
    // The next start code may have a leading zero that was trimmed off.
    i = std::max(unitEnd, begin + 1);
  }
  if (h.sps.empty() || h.pps.empty()) return false;

  SpsInfo info;
  if (!ParseSps(NalToRbsp(h.sps.data(), h.sps.size()), info)) return false;
  h.profile = info.profile;
  h.level = info.level;
  h.width = info.width;
  h.height = info.height;
  h.sarx = info.sarx;
  h.sary = info.sary;
  h.AvgTimePerFrame = info.frameTime;

  if (!pmt) return true;
  size_t seqLen = 2 + h.sps.size() + 2 + h.pps.size();
  size_t blockSize = offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + seqLen;
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Video;
  pmt->subtype = MEDIASUBTYPE_AVC1;
  pmt->formattype = FORMAT_MPEG2Video;
  BYTE* block = pmt->AllocFormatBuffer(static_cast<ULONG>(blockSize));
  if (!block) return false;
  auto* vi = reinterpret_cast<MPEG2VIDEOINFO*>(block);
  vi->hdr.rcSource = RECT{0, 0, static_cast<LONG>(h.width), static_cast<LONG>(h.height)};
  vi->hdr.AvgTimePerFrame = h.AvgTimePerFrame;
  // The picture's shape as shown, where the stream states its pixels'.
  if (h.sarx && h.sary) {
    uint64_t ax = uint64_t{h.width} * h.sarx, ay = uint64_t{h.height} * h.sary;
    const uint64_t g = std::gcd(ax, ay);
    vi->hdr.dwPictAspectRatioX = static_cast<DWORD>(ax / g);
    vi->hdr.dwPictAspectRatioY = static_cast<DWORD>(ay / g);
  }
  vi->hdr.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vi->hdr.bmiHeader.biWidth = static_cast<LONG>(h.width);
  vi->hdr.bmiHeader.biHeight = static_cast<LONG>(h.height);
  vi->hdr.bmiHeader.biCompression = MAKEFOURCC('A', 'V', 'C', '1');
  vi->dwProfile = h.profile;
  vi->dwLevel = h.level;
  vi->dwFlags = 4;
  vi->cbSequenceHeader = static_cast<DWORD>(seqLen);
  BYTE* p = block + offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
  for (const auto* unit : {&h.sps, &h.pps}) {
    *p++ = static_cast<BYTE>(unit->size() >> 8);
    *p++ = static_cast<BYTE>(unit->size());
    memcpy(p, unit->data(), unit->size());
    p += unit->size();
  }
  return true;
}

bool CBaseSplitterFileEx::SeekSync(int bits, UINT64 value, LONGLONG need, LONGLONG& budget) {
  BitByteAlign();
  for (;;) {
    if (budget < need || !Need(need)) return false;
    if (BitRead(bits, true) == value) return true;
    BitRead(8);
    budget--;
  }
}
