#include "splitters/matroska/MatroskaMediaTypes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/FilterHelpers.h"

using namespace MatroskaReader;

namespace {

constexpr DWORD Fcc(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// A double from the file as an integer field: NaN and values out of range
// do not reach the conversion.
template <class T>
T ClampTo(double v) {
  if (!(v > 0)) return 0;
  const double top = static_cast<double>(std::numeric_limits<T>::max());
  return v >= top ? std::numeric_limits<T>::max() : static_cast<T>(v);
}

// An MPEG-2 video format block of a FourCC, with `seq` as its sequence
// header; null when out of memory.
MPEG2VIDEOINFO* AllocMpeg2VideoInfo(CMediaType& mt, DWORD fcc, LONG width, LONG height, const BYTE* seq,
                                    size_t len) {
  mt.subtype = FourCCGuid(fcc);
  mt.formattype = FORMAT_MPEG2Video;
  auto* pm2vi = reinterpret_cast<MPEG2VIDEOINFO*>(
      mt.AllocFormatBuffer(static_cast<ULONG>(offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + len)));
  if (!pm2vi) return nullptr;
  BITMAPINFOHEADER& bih = pm2vi->hdr.bmiHeader;
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = width;
  bih.biHeight = height;
  bih.biPlanes = 1;
  bih.biBitCount = 24;
  bih.biCompression = fcc;
  pm2vi->cbSequenceHeader = static_cast<DWORD>(len);
  if (len) std::memcpy(pm2vi->dwSequenceHeader, seq, len);
  return pm2vi;
}

// What a video type is made from: the track's codec private data, its
// picture size and, for codecs whose private data may lack the sequence
// header, the first frame.
struct VideoSource {
  const CBinary& cp;
  ULONG cpLen;
  LONG width;
  LONG height;
  char version;  // the digit of a RealVideo codec identifier
  const std::vector<BYTE>* firstFrame;
};

// The subtype of uncompressed bitmaps of a bit depth; GUID_NULL for none.
GUID RgbSubtype(WORD bitCount) {
  static constexpr struct {
    WORD bits;
    const GUID* subtype;
  } kRgb[] = {{1, &MEDIASUBTYPE_RGB1},    {4, &MEDIASUBTYPE_RGB4},    {8, &MEDIASUBTYPE_RGB8},
              {16, &MEDIASUBTYPE_RGB565}, {24, &MEDIASUBTYPE_RGB24}, {32, &MEDIASUBTYPE_ARGB32}};
  for (const auto& r : kRgb)
    if (r.bits == bitCount) return *r.subtype;
  return GUID_NULL;
}

// A video info block with a bitmap header of this size and compression.
VIDEOINFOHEADER* AllocVideoInfo(CMediaType& mt, DWORD fcc, const VideoSource& v, ULONG extra) {
  mt.subtype = FourCCGuid(fcc);
  mt.formattype = FORMAT_VideoInfo;
  auto* pvih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER) + extra));
  if (!pvih) return nullptr;
  pvih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  pvih->bmiHeader.biWidth = v.width;
  pvih->bmiHeader.biHeight = v.height;
  pvih->bmiHeader.biCompression = fcc;
  return pvih;
}

bool MakeVfwType(CMediaType& mt, const VideoSource& v) {
  // The private data is the bitmap header and what follows it; a block
  // too short to hold the header describes nothing.
  if (v.cp.size() < sizeof(BITMAPINFOHEADER)) return false;
  mt.formattype = FORMAT_VideoInfo;
  auto* pvih =
      reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(offsetof(VIDEOINFOHEADER, bmiHeader) + v.cpLen));
  if (!pvih) return false;
  std::memcpy(&pvih->bmiHeader, v.cp.data(), v.cp.size());
  const DWORD compression = pvih->bmiHeader.biCompression;
  mt.subtype = compression == BI_RGB || compression == BI_BITFIELDS ? RgbSubtype(pvih->bmiHeader.biBitCount)
                                                                    : FourCCGuid(compression);
  return true;
}

bool MakeVp8Type(CMediaType& mt, const VideoSource& v) {
  // No private data: the FourCC type that decoders of VP8 take.
  VIDEOINFOHEADER* pvih = AllocVideoInfo(mt, Fcc('V', 'P', '8', '0'), v, 0);
  if (!pvih) return false;
  pvih->bmiHeader.biPlanes = 1;
  pvih->bmiHeader.biBitCount = 12;
  return true;
}

bool MakeAvcType(CMediaType& mt, const VideoSource& v) {
  std::vector<BYTE> sets;
  if (!AvcParameterSets(v.cp.data(), v.cp.size(), sets)) return false;
  MPEG2VIDEOINFO* pm2vi = AllocMpeg2VideoInfo(mt, Fcc('A', 'V', 'C', '1'), v.width, v.height, sets.data(), sets.size());
  if (!pm2vi) return false;
  pm2vi->dwProfile = v.cp[1];
  pm2vi->dwLevel = v.cp[3];
  pm2vi->dwFlags = (v.cp[4] & 3) + 1;
  return true;
}

bool MakeMpeg4Type(CMediaType& mt, const VideoSource& v) {
  return AllocMpeg2VideoInfo(mt, Fcc('M', 'P', '4', 'V'), v.width, v.height, v.cp.data(), v.cp.size());
}

bool MakeRealType(CMediaType& mt, const VideoSource& v) {
  if (v.version < '0' || v.version > '9') return false;
  VIDEOINFOHEADER* pvih = AllocVideoInfo(mt, Fcc('R', 'V', v.version, '0'), v, v.cpLen);
  if (!pvih) return false;
  if (!v.cp.empty()) std::memcpy(reinterpret_cast<BYTE*>(pvih + 1), v.cp.data(), v.cp.size());
  return true;
}

bool MakeDiracType(CMediaType& mt, const VideoSource& v) {
  mt.subtype = MEDIASUBTYPE_DiracVideo;
  mt.formattype = FORMAT_VideoInfo2Ex;
  BYTE* block = mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2) + sizeof(DWORD) + v.cpLen);
  if (!block) return false;
  auto* pvih2 = reinterpret_cast<VIDEOINFOHEADER2*>(block);
  pvih2->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  pvih2->bmiHeader.biWidth = v.width;
  pvih2->bmiHeader.biHeight = v.height;
  pvih2->dwPictAspectRatioX = static_cast<DWORD>(v.width);
  pvih2->dwPictAspectRatioY = static_cast<DWORD>(v.height);
  const DWORD len = v.cpLen;
  std::memcpy(block + sizeof(VIDEOINFOHEADER2), &len, sizeof len);
  if (!v.cp.empty()) std::memcpy(block + sizeof(VIDEOINFOHEADER2) + sizeof(DWORD), v.cp.data(), v.cp.size());
  return true;
}

bool MakeMpeg2Type(CMediaType& mt, const VideoSource& v) {
  // Some muxers leave the sequence header out of the private data; the
  // stream's first frame begins with it.
  return MakeMpeg2VideoMediaType(&mt, v.cp.data(), v.cpLen, v.width, v.height) ||
         (v.firstFrame && MakeMpeg2VideoMediaType(&mt, v.firstFrame->data(),
                                                  static_cast<DWORD>(v.firstFrame->size()), v.width, v.height));
}

// The video codecs by identifier, the first that fits taken: an identifier
// that ends in '*' is a prefix, and a codec may want more private data than
// `minPrivate` bytes. A codec without a maker has no type (uncompressed
// video: the splitter cannot tell the picture layout).
struct VideoCodec {
  const char* id;
  size_t minPrivate;
  bool (*make)(CMediaType& mt, const VideoSource& v);
};
constexpr VideoCodec kVideoCodecs[] = {
    {"V_MS/VFW/FOURCC", 0, MakeVfwType},  {"V_VP8", 0, MakeVp8Type},         {"V_UNCOMPRESSED", 0, nullptr},
    {"V_MPEG4/ISO/AVC*", 6, MakeAvcType}, {"V_MPEG4/*", 0, MakeMpeg4Type},   {"V_REAL/RV*", 0, MakeRealType},
    {"V_DIRAC", 0, MakeDiracType},        {"V_MPEG2", 0, MakeMpeg2Type},
};

const VideoCodec* FindVideoCodec(const std::string& codec, size_t privateSize) {
  for (const VideoCodec& c : kVideoCodecs) {
    const std::string_view id = c.id;
    const bool fits = id.ends_with('*') ? std::string_view(codec).starts_with(id.substr(0, id.size() - 1))
                                        : codec == id;
    if (fits && privateSize >= c.minPrivate) return &c;
  }
  return nullptr;
}

// The frame time of every type, from the frame rate or else the default
// duration of the track.
void SetFrameTime(const TrackEntry& te, std::vector<CMediaType>& mts) {
  REFERENCE_TIME atpf = 0;
  if (te.v.FrameRate > 0)
    atpf = ClampTo<REFERENCE_TIME>(static_cast<double>(UNITS) / te.v.FrameRate);
  else if (te.DefaultDuration != 0)
    atpf = static_cast<REFERENCE_TIME>(std::min<UINT64>(te.DefaultDuration / 100, INT64_MAX));
  if (!atpf) return;
  for (CMediaType& t : mts) {
    if (t.formattype == FORMAT_VideoInfo && t.cbFormat >= sizeof(VIDEOINFOHEADER))
      reinterpret_cast<VIDEOINFOHEADER*>(t.pbFormat)->AvgTimePerFrame = atpf;
    else if ((t.formattype == FORMAT_VideoInfo2 || t.formattype == FORMAT_MPEG2Video) &&
             t.cbFormat >= sizeof(VIDEOINFOHEADER2))
      reinterpret_cast<VIDEOINFOHEADER2*>(t.pbFormat)->AvgTimePerFrame = atpf;
  }
}

// The track's display size as picture aspect: a twin of every video info
// type that carries it, offered first, and in every MPEG-2 video block.
void SetDisplayAspect(const TrackEntry& te, std::vector<CMediaType>& mts) {
  const auto dw = static_cast<DWORD>(te.v.DisplayWidth.Value());
  const auto dh = static_cast<DWORD>(te.v.DisplayHeight.Value());
  if (dw == 0 || dh == 0) return;
  for (size_t i = 0; i < mts.size(); i++) {
    CMediaType& t = mts[i];
    if (t.formattype == FORMAT_VideoInfo && t.cbFormat >= sizeof(VIDEOINFOHEADER)) {
      const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(t.pbFormat);
      const ULONG extra = t.cbFormat - static_cast<ULONG>(offsetof(VIDEOINFOHEADER, bmiHeader));
      CMediaType twin = t;
      twin.formattype = FORMAT_VideoInfo2;
      auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(
          twin.AllocFormatBuffer(static_cast<ULONG>(offsetof(VIDEOINFOHEADER2, bmiHeader)) + extra));
      if (!vih2) continue;
      vih2->rcSource = vih->rcSource;
      vih2->rcTarget = vih->rcTarget;
      vih2->dwBitRate = vih->dwBitRate;
      vih2->dwBitErrorRate = vih->dwBitErrorRate;
      vih2->AvgTimePerFrame = vih->AvgTimePerFrame;
      vih2->dwPictAspectRatioX = dw;
      vih2->dwPictAspectRatioY = dh;
      std::memcpy(&vih2->bmiHeader, &vih->bmiHeader, extra);
      mts.insert(mts.begin() + static_cast<std::ptrdiff_t>(i), twin);
      i++;
    } else if (t.formattype == FORMAT_MPEG2Video && t.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
      auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(t.pbFormat);
      vih2->dwPictAspectRatioX = dw;
      vih2->dwPictAspectRatioY = dh;
    }
  }
}

void AddVideoTypes(const TrackEntry& te, std::vector<CMediaType>& mts, const std::vector<BYTE>* firstFrame) {
  const std::string codec = te.GetCodecID();
  const VideoCodec* known = FindVideoCodec(codec, te.CodecPrivate.size());
  if (!known || !known->make) return;
  const VideoSource source{te.CodecPrivate,
                           static_cast<ULONG>(te.CodecPrivate.size()),
                           static_cast<LONG>(te.v.PixelWidth.Value()),
                           static_cast<LONG>(te.v.PixelHeight.Value()),
                           codec.size() >= 10 ? codec[9] : '\0',
                           firstFrame};
  CMediaType mt;
  mt.majortype = MEDIATYPE_Video;
  if (!known->make(mt, source)) return;
  mts.push_back(mt);
  SetFrameTime(te, mts);
  SetDisplayAspect(te, mts);
}

// A wave format with the codec private data behind it.
bool AddWaveType(std::vector<CMediaType>& mts, const WAVEFORMATEX& base, WORD tag, const CBinary* extra,
                 bool front = false) {
  CMediaType mt;
  mt.majortype = MEDIATYPE_Audio;
  mt.subtype = FourCCGuid(tag);
  mt.formattype = FORMAT_WaveFormatEx;
  const ULONG extraLen = extra ? static_cast<ULONG>(extra->size()) : 0;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX) + extraLen));
  if (!wfe) return false;
  *wfe = base;
  wfe->wFormatTag = tag;
  if (extra && extraLen) {
    wfe->cbSize = static_cast<WORD>(std::min<ULONG>(extraLen, 0xFFFF));
    std::memcpy(wfe + 1, extra->data(), extraLen);
  }
  mts.insert(front ? mts.begin() : mts.end(), mt);
  return true;
}

void AddAudioTypes(const TrackEntry& te, std::vector<CMediaType>& mts) {
  const std::string codec = te.GetCodecID();
  const CBinary& cp = te.CodecPrivate;

  WAVEFORMATEX wfe{};
  wfe.nChannels = static_cast<WORD>(te.a.Channels.Value());
  wfe.nSamplesPerSec = ClampTo<DWORD>(te.a.SamplingFrequency);
  wfe.wBitsPerSample = static_cast<WORD>(te.a.BitDepth.Value());
  wfe.nBlockAlign = static_cast<WORD>(wfe.wBitsPerSample * wfe.nChannels / 8);
  wfe.nAvgBytesPerSec = wfe.nBlockAlign * wfe.nSamplesPerSec;
  wfe.cbSize = 0;

  struct Plain {
    const char* id;
    WORD tag;
    bool withPrivate;
  };
  static const Plain kPlain[] = {
      {"A_MPEG/L3", 0x0055, false},       {"A_MPEG/L2", 0x0050, false}, {"A_AC3", 0x2000, false},
      {"A_DTS", 0x2001, false},           {"A_PCM/INT/LIT", 0x0001, false}, {"A_PCM/FLOAT/IEEE", 0x0003, false},
      {"A_AAC", 0x00FF, true},            {"A_FLAC", 0xF1AC, true},     {"A_WAVPACK4", 0x5756, true},
      {"A_TTA1", 0x77A1, false},
  };
  for (const Plain& p : kPlain) {
    if (codec != p.id) continue;
    if (!AddWaveType(mts, wfe, p.tag, p.withPrivate ? &cp : nullptr)) return;
    if (p.tag == 0xF1AC) {
      // The framed FLAC type of the same format, preferred.
      CMediaType framed = mts.back();
      framed.subtype = MEDIASUBTYPE_FLAC_FRAMED;
      mts.insert(mts.begin(), framed);
    }
    return;
  }

  if (codec == "A_VORBIS") {
    std::vector<std::vector<BYTE>> headers;
    // Headers whose sizes run past the private data are not offered.
    if (SplitXiphLaced(cp.data(), cp.size(), headers) && headers.size() == 3) {
      CMediaType mt;
      mt.majortype = MEDIATYPE_Audio;
      mt.subtype = MEDIASUBTYPE_Vorbis2;
      mt.formattype = FORMAT_VorbisFormat2;
      size_t total = 0;
      for (const auto& h : headers) total += h.size();
      BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(24 + total));
      if (block) {
        const DWORD fields[6] = {wfe.nChannels,
                                 wfe.nSamplesPerSec,
                                 wfe.wBitsPerSample,
                                 static_cast<DWORD>(headers[0].size()),
                                 static_cast<DWORD>(headers[1].size()),
                                 static_cast<DWORD>(headers[2].size())};
        std::memcpy(block, fields, sizeof fields);
        BYTE* p = block + 24;
        for (const auto& h : headers) {
          if (!h.empty()) std::memcpy(p, h.data(), h.size());
          p += h.size();
        }
        mts.push_back(mt);
      }
    }
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_Vorbis;
    mt.formattype = FORMAT_VorbisFormat;
    BYTE* block = mt.AllocFormatBuffer(24);
    if (!block) return;
    const WORD channels = wfe.nChannels;
    const DWORD rate = wfe.nSamplesPerSec;
    const DWORD unset = 0xFFFFFFFF;
    const float quality = 0;
    std::memcpy(block, &channels, 2);
    std::memcpy(block + 4, &rate, 4);
    for (int i = 0; i < 3; i++) std::memcpy(block + 8 + 4 * i, &unset, 4);
    std::memcpy(block + 20, &quality, 4);
    mts.push_back(mt);
  } else if (codec == "A_MS/ACM") {
    // The private data is the wave format; one too short to be one
    // describes nothing.
    if (cp.size() < sizeof(WAVEFORMATEX)) return;
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.formattype = FORMAT_WaveFormatEx;
    if (!mt.SetFormat(cp.data(), static_cast<ULONG>(cp.size()))) return;
    auto* f = reinterpret_cast<WAVEFORMATEX*>(mt.pbFormat);
    // The extra bytes it claims must be there.
    f->cbSize = static_cast<WORD>(std::min<size_t>(f->cbSize, cp.size() - sizeof(WAVEFORMATEX)));
    mt.subtype = FourCCGuid(f->wFormatTag);
    mts.push_back(mt);
  } else if (StartsWith(codec, "A_AAC/")) {
    int profile = 0;
    bool found = false;
    static const struct {
      const char* tag;
      int profile;
    } kProfiles[] = {{"/MAIN", 0}, {"/SBR", -1}, {"/LC", 1}, {"/SSR", 2}, {"/LTP", 3}};
    for (const auto& p : kProfiles) {
      if (codec.find(p.tag, 1) != std::string::npos) {
        profile = p.profile;
        found = true;
        break;
      }
    }
    if (!found) return;
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = FourCCGuid(0x00FF);
    mt.formattype = FORMAT_WaveFormatEx;
    auto* f = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX) + 5));
    if (!f) return;
    *f = wfe;
    f->wFormatTag = 0x00FF;
    const int len = MakeAacAudioSpecificConfig(reinterpret_cast<BYTE*>(f + 1), profile,
                                               static_cast<int>(f->nSamplesPerSec), f->nChannels);
    f->cbSize = 2;
    mts.push_back(mt);
    if (profile < 0) {
      CMediaType sbr = mt;
      auto* s = reinterpret_cast<WAVEFORMATEX*>(sbr.pbFormat);
      s->cbSize = static_cast<WORD>(len);
      s->nSamplesPerSec *= 2;
      s->nAvgBytesPerSec *= 2;
      mts.insert(mts.begin(), sbr);
    }
  } else if (StartsWith(codec, "A_REAL/") && codec.size() >= 11) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = FourCCGuid(Fcc(codec[7], codec[8], codec[9], codec[10]));
    mt.formattype = FORMAT_WaveFormatEx;
    mt.bTemporalCompression = TRUE;
    auto* f = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + cp.size())));
    if (!f) return;
    *f = wfe;
    f->cbSize = 0;
    if (!cp.empty()) std::memcpy(f + 1, cp.data(), cp.size());
    mts.push_back(mt);
  }
}

void AddSubtitleTypes(const TrackEntry& te, std::vector<CMediaType>& mts) {
  const std::string codec = te.GetCodecID();
  const CBinary& cp = te.CodecPrivate;
  CMediaType mt;
  if (codec == "S_TEXT/ASCII") {
    mt.majortype = MEDIATYPE_Text;
    mt.subtype = GUID_NULL;
    mt.formattype = FORMAT_None;
    mts.push_back(mt);
    return;
  }
  static const struct {
    const char* id;
    const char* alt;
    GUID subtype;
  } kSubtitles[] = {
      {"S_TEXT/UTF8", nullptr, MEDIASUBTYPE_UTF8}, {"S_TEXT/SSA", "S_SSA", MEDIASUBTYPE_SSA},
      {"S_TEXT/ASS", "S_ASS", MEDIASUBTYPE_ASS},   {"S_TEXT/SSF", "S_SSF", MEDIASUBTYPE_SSF},
      {"S_TEXT/USF", "S_USF", MEDIASUBTYPE_USF},   {"S_VOBSUB", nullptr, MEDIASUBTYPE_VOBSUB},
  };
  for (const auto& s : kSubtitles) {
    if (codec != s.id && !(s.alt && codec == s.alt)) continue;
    mt.majortype = MEDIATYPE_Subtitle;
    mt.subtype = s.subtype;
    mt.formattype = FORMAT_SubtitleInfo;
    BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(SUBTITLEINFO) + cp.size()));
    if (!block) return;
    auto* si = reinterpret_cast<SUBTITLEINFO*>(block);
    si->dwOffset = sizeof(SUBTITLEINFO);
    std::strncpy(si->IsoLang, te.Language.c_str(), 3);
    // UTF-16 in the block: wide characters here are 32 bits.
    size_t n = 0;
    for (wchar_t c : te.Name) {
      const auto u = static_cast<uint32_t>(c);
      if (u > 0xFFFF) {
        if (n + 2 > 255) break;
        si->TrackName[n++] = static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10));
        si->TrackName[n++] = static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF));
      } else {
        if (n + 1 > 255) break;
        si->TrackName[n++] = static_cast<char16_t>(u);
      }
    }
    if (!cp.empty()) std::memcpy(block + sizeof(SUBTITLEINFO), cp.data(), cp.size());
    mts.push_back(mt);
    return;
  }
}

}  // namespace

bool AvcParameterSets(const BYTE* record, size_t length, std::vector<BYTE>& sets) {
  sets.clear();
  if (!record || length < 6) return false;
  size_t pos = 6;
  auto copySets = [&](size_t count) {
    for (size_t i = 0; i < count; i++) {
      if (pos + 2 > length) return false;
      const size_t len = (static_cast<size_t>(record[pos]) << 8) | record[pos + 1];
      if (len > length - pos - 2) return false;
      sets.insert(sets.end(), record + pos, record + pos + 2 + len);
      pos += 2 + len;
    }
    return true;
  };
  if (!copySets(record[5] & 0x1F)) return false;
  if (pos >= length) return false;
  const size_t pps = record[pos++];
  return copySets(pps);
}

std::vector<CMediaType> MakeMatroskaMediaTypes(const TrackEntry& te, std::wstring& defaultName,
                                               const std::vector<BYTE>* firstFrame) {
  std::vector<CMediaType> mts;
  defaultName.clear();
  switch (static_cast<UINT64>(te.TrackType)) {
    case TrackEntry::TypeVideo:
      defaultName = L"Video";
      AddVideoTypes(te, mts, firstFrame);
      break;
    case TrackEntry::TypeAudio:
      defaultName = L"Audio";
      AddAudioTypes(te, mts);
      break;
    case TrackEntry::TypeSubtitle:
      defaultName = L"Subtitle";
      AddSubtitleTypes(te, mts);
      break;
  }
  return mts;
}
