#include "mp4/MP4MediaTypes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "mp4/MP4ByteStream.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4LeafAtoms.h"
#include "mp4/MP4SampleEntry.h"
#include "mp4/MP4SampleTableAtoms.h"
#include "mp4/MP4SplitterFile.h"
#include "platform/dshow/FourCCMap.h"
#include "platform/dshow/Guids.h"
#include "platform/dshow/Structs.h"

namespace mp4split {

namespace {

constexpr DWORD Fcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }

std::vector<BYTE> BytesOf(const MP4_DataBuffer* buffer) {
  if (!buffer) return {};
  return std::vector<BYTE>(buffer->GetData(), buffer->GetData() + buffer->GetDataSize());
}

CMediaType NewType(const GUID& major, const GUID& subtype, const GUID& format) {
  CMediaType mt;
  mt.majortype = major;
  mt.subtype = subtype;
  mt.formattype = format;
  mt.SetSampleSize(1);
  return mt;
}

// A fixed format header followed by `extra`.
template <class Header>
Header* SetFormatWithExtra(CMediaType& mt, const std::vector<BYTE>& extra, size_t header_size = sizeof(Header)) {
  BYTE* block = mt.AllocFormatBuffer(static_cast<ULONG>(header_size + extra.size()));
  if (!block) return nullptr;
  std::memset(block, 0, header_size);
  if (!extra.empty()) std::memcpy(block + header_size, extra.data(), extra.size());
  return reinterpret_cast<Header*>(block);
}

// Parses a header at the first sample with the splitter file's parser and
// takes the type it builds.
template <class Parse>
void FromFirstSample(const TrackTypeContext& context, const MP4_Sample& first, CMediaType& mt, Parse parse) {
  if (!context.file || first.GetSize() == 0) return;
  context.file->Seek(static_cast<LONGLONG>(first.GetOffset()));
  CMediaType parsed;
  if (parse(*context.file, static_cast<LONGLONG>(first.GetSize()), parsed)) mt = parsed;
}

void MpegVideoTypes(const MP4_MpegVideoSampleDescription& d, const MP4_Sample& first,
                    const TrackTypeContext& context, std::vector<CMediaType>& mts) {
  const std::vector<BYTE> dsi = BytesOf(d.GetDecoderInfo());
  CMediaType mt = NewType(MEDIATYPE_Video, GUID_NULL, FORMAT_VideoInfo);
  if (auto* vih = SetFormatWithExtra<VIDEOINFOHEADER>(mt, dsi)) {
    vih->dwBitRate = d.GetAvgBitrate();
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = d.GetWidth();
    vih->bmiHeader.biHeight = d.GetHeight();
  }
  const MP4_UI08 object = d.GetObjectTypeId();
  if (object == 0x20) {
    // MPEG-4 Visual: its configuration as the sequence header.
    mt.formattype = FORMAT_MPEG2Video;
    auto* mvih = SetFormatWithExtra<MPEG2VIDEOINFO>(mt, dsi, offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
    if (!mvih) return;
    mvih->hdr.dwPictAspectRatioX = d.GetWidth();
    mvih->hdr.dwPictAspectRatioY = d.GetHeight();
    BITMAPINFOHEADER& bih = mvih->hdr.bmiHeader;
    bih.biSize = sizeof(BITMAPINFOHEADER);
    bih.biWidth = d.GetWidth();
    bih.biHeight = d.GetHeight();
    bih.biPlanes = 1;
    bih.biBitCount = 24;
    mvih->cbSequenceHeader = static_cast<DWORD>(dsi.size());
    for (DWORD fcc : {Fcc("mp4v"), Fcc("MP4V")}) {
      reinterpret_cast<MPEG2VIDEOINFO*>(mt.pbFormat)->hdr.bmiHeader.biCompression = fcc;
      mt.subtype = FourCCGuid(fcc);
      mts.push_back(mt);
    }
  } else if ((object >= 0x60 && object <= 0x65) || object == 0x6A) {
    mt.subtype = object == 0x6A ? MEDIASUBTYPE_MPEG1Payload : MEDIASUBTYPE_MPEG2_VIDEO;
    FromFirstSample(context, first, mt, [](CMP4SplitterFile& f, LONGLONG budget, CMediaType& parsed) {
      CBaseSplitterFileEx::SequenceHeader h;
      return f.ReadSequenceHeader(h, budget, &parsed);
    });
    mts.push_back(mt);
  }
}

void MpegAudioTypes(const MP4_MpegAudioSampleDescription& d, const MP4_Sample& first,
                    const TrackTypeContext& context, std::vector<CMediaType>& mts) {
  const std::vector<BYTE> dsi = BytesOf(d.GetDecoderInfo());
  CMediaType mt = NewType(MEDIATYPE_Audio, GUID_NULL, FORMAT_WaveFormatEx);
  auto* wfe = SetFormatWithExtra<WAVEFORMATEX>(mt, dsi);
  if (!wfe) return;
  wfe->nSamplesPerSec = d.GetSampleRate();
  wfe->nAvgBytesPerSec = d.GetAvgBitrate() / 8;
  wfe->nChannels = d.GetChannelCount();
  wfe->wBitsPerSample = d.GetSampleSize();
  wfe->cbSize = static_cast<WORD>(dsi.size());
  const MP4_UI08 object = d.GetObjectTypeId();
  if (object == 0x40 || (object >= 0x66 && object <= 0x68)) {
    wfe->wFormatTag = WAVE_FORMAT_AAC;
    mt.subtype = FourCCGuid(WAVE_FORMAT_AAC);
    // The channel configuration of the AudioSpecificConfig; 0 (channels
    // given elsewhere in the stream) keeps the entry's count.
    if (dsi.size() >= 2 && ((dsi[1] >> 3) & 0x0F) != 0) wfe->nChannels = (dsi[1] >> 3) & 0x0F;
    mts.push_back(mt);
  } else if (object == 0x69 || object == 0x6B) {
    wfe->wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    mt.subtype = FourCCGuid(WAVE_FORMAT_MPEGLAYER3);
    FromFirstSample(context, first, mt, [](CMP4SplitterFile& f, LONGLONG budget, CMediaType& parsed) {
      CBaseSplitterFileEx::MpegAudioHeader h;
      return f.ReadMpegAudioHeader(h, budget, false, &parsed);
    });
    mts.push_back(mt);
  }
}

CMediaType SubtitleType(const GUID& subtype, const TrackTypeContext& context, const std::string& text) {
  CMediaType mt = NewType(MEDIATYPE_Subtitle, subtype, FORMAT_SubtitleInfo);
  const std::vector<BYTE> block = SubtitleInfoBlock(context.language, context.name, text);
  mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
  return mt;
}

std::string SsaScriptHeader(int width, int height) {
  char text[512];
  std::snprintf(text, sizeof(text),
                "[Script Info]\nScriptType: v4.00++\nScaledBorderAndShadow: yes\nPlayResX: %d\nPlayResY: %d\n"
                "[V4++ Styles]\nStyle: Text,Arial,12,&H00ffffff,&H0000ffff,&H00000000,&H80000000,0,0,0,0,100,100,0,"
                "0.00,3,0,0,2,0,0,0,0,1,1\n",
                width, height);
  return text;
}

// H.264 from the avcC of an avc1 entry: its parameter sets, each with its
// 16-bit length, as the sequence header.
bool AvcTypes(MP4_Track& track, std::vector<CMediaType>& mts) {
  auto* avc1 = dynamic_cast<MP4_Avc1SampleEntry*>(track.GetTrakAtom().FindChild("mdia/minf/stbl/stsd/avc1"));
  if (!avc1) return false;
  auto* avcc = dynamic_cast<MP4_AvcCAtom*>(avc1->GetChild(MP4_FourCC("avcC")));
  if (!avcc) return true;
  const BYTE* p = avcc->GetRawBytes().GetData();
  const size_t size = avcc->GetRawBytes().GetDataSize();
  // Shorter than its fixed fields: no type (the fields would be read past
  // the record).
  if (size < 7) return true;
  const size_t room = size - 7;
  CMediaType mt = NewType(MEDIATYPE_Video, FourCCGuid(Fcc("avc1")), FORMAT_MPEG2Video);
  auto* mvih = SetFormatWithExtra<MPEG2VIDEOINFO>(mt, std::vector<BYTE>(room, 0), offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
  if (!mvih) return true;
  mvih->hdr.dwPictAspectRatioX = avc1->GetWidth();
  mvih->hdr.dwPictAspectRatioY = avc1->GetHeight();
  BITMAPINFOHEADER& bih = mvih->hdr.bmiHeader;
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = avc1->GetWidth();
  bih.biHeight = avc1->GetHeight();
  bih.biPlanes = 1;
  bih.biBitCount = 24;
  bih.biCompression = Fcc("avc1");
  mvih->dwProfile = p[1];
  mvih->dwLevel = p[3];
  mvih->dwFlags = (p[4] & 3) + 1;
  BYTE* out = reinterpret_cast<BYTE*>(mvih) + offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
  size_t pos = 5, copied = 0;
  for (int pass = 0; pass < 2 && pos < size; pass++) {
    const int count = p[pos++] & 0x1F;
    for (int i = 0; i < count; i++) {
      if (pos + 2 > size) break;
      const size_t n = ((static_cast<size_t>(p[pos]) << 8) | p[pos + 1]) + 2;
      if (pos + n > size || copied + n > room) break;
      std::memcpy(out + copied, p + pos, n);
      copied += n;
      pos += n;
    }
  }
  mvih->cbSequenceHeader = static_cast<DWORD>(copied);
  mts.push_back(mt);
  reinterpret_cast<MPEG2VIDEOINFO*>(mt.pbFormat)->hdr.bmiHeader.biCompression = Fcc("AVC1");
  mt.subtype = FourCCGuid(Fcc("AVC1"));
  mts.push_back(mt);
  return true;
}

DWORD ChangeCase(DWORD fcc, int (*change)(int)) {
  DWORD out = 0;
  for (int i = 0; i < 4; i++) out |= static_cast<DWORD>(change(static_cast<int>((fcc >> (8 * i)) & 0xFF)) & 0xFF) << (8 * i);
  return out;
}

// How uncompressed QuickTime sound lays out its samples.
struct PcmLayout {
  int bits = 0;
  bool isFloat = false, bigEndian = true, isSigned = true;
};

// The layout of an uncompressed sound entry; false for compressed sound and
// for layouts read nowhere here (non-interleaved, padded, odd sizes).
// 'twos' and 'sowt' give their sample size in the entry; 'in24', 'in32',
// 'fl32' and 'fl64' are big-endian unless an 'enda' atom (in the entry's
// 'wave', or in the entry) says little; 'lpcm' gives all in its flags.
bool PcmLayoutOf(MP4_AudioSampleEntry& entry, PcmLayout& l) {
  const MP4_UI32 type = entry.GetType();
  switch (type) {
    case MP4_FourCC("twos"):
    case MP4_FourCC("sowt"):
      l.bits = entry.GetSampleSize();
      l.bigEndian = type == MP4_FourCC("twos");
      break;
    case MP4_FourCC("in24"): l.bits = 24; break;
    case MP4_FourCC("in32"): l.bits = 32; break;
    case MP4_FourCC("fl32"): l.bits = 32, l.isFloat = true; break;
    case MP4_FourCC("fl64"): l.bits = 64, l.isFloat = true; break;
    case MP4_FourCC("lpcm"): {
      const MP4_UI32 flags = entry.GetFormatFlags();
      l.bits = entry.GetSampleSize();
      l.isFloat = flags & 1;
      l.bigEndian = flags & 2;
      l.isSigned = flags & 4;
      const MP4_UI32 frame = static_cast<MP4_UI32>(entry.GetChannelCount()) * static_cast<MP4_UI32>(l.bits) / 8;
      if (entry.GetQtVersion() != 2 || ((flags & 32) && entry.GetChannelCount() > 1) ||
          entry.GetBytesPerAudioPacket() != frame)
        return false;
      break;
    }
    default:
      return false;
  }
  if (type != MP4_FourCC("twos") && type != MP4_FourCC("sowt") && type != MP4_FourCC("lpcm")) {
    MP4_Atom* enda = entry.FindChild("wave/enda");
    if (!enda) enda = entry.GetChild(MP4_FourCC("enda"));
    if (auto* order = dynamic_cast<MP4_EndaAtom*>(enda)) l.bigEndian = !order->IsLittleEndian();
  }
  if (l.isFloat) return l.bits == 32 || l.bits == 64;
  return l.bits == 8 || (l.isSigned && (l.bits == 16 || l.bits == 24 || l.bits == 32));
}

// Unsigned bytes and little-endian samples are the wave format's PCM and
// float; QuickTime names the others.
bool InWaveFormat(const PcmLayout& l) { return l.bits == 8 ? !l.isSigned : !l.bigEndian; }

// QuickTime's code for a layout: 0 for those it has none for.
DWORD QuickTimeCode(const PcmLayout& l) {
  if (InWaveFormat(l)) return l.bits == 16 ? Fcc("sowt") : 0;
  if (l.isFloat) return l.bits == 32 ? Fcc("fl32") : Fcc("fl64");
  return l.bits <= 16 ? Fcc("twos") : l.bits == 24 ? Fcc("in24") : Fcc("in32");
}

// A type that says the layout, for an entry whose code alone does not.
void PcmType(const PcmLayout& l, const MP4_AudioSampleEntry& entry, std::vector<CMediaType>& mts) {
  const bool wave = InWaveFormat(l);
  const GUID subtype = !wave ? FourCCGuid(QuickTimeCode(l)) : l.isFloat ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM;
  CMediaType mt = NewType(MEDIATYPE_Audio, subtype, FORMAT_WaveFormatEx);
  auto* wfe = SetFormatWithExtra<WAVEFORMATEX>(mt, {});
  if (!wfe) return;
  if (wave) wfe->wFormatTag = l.isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
  wfe->nChannels = entry.GetChannelCount();
  wfe->nSamplesPerSec = entry.GetSampleRate();
  wfe->wBitsPerSample = static_cast<WORD>(l.bits);
  wfe->nBlockAlign = static_cast<WORD>(wfe->nChannels * l.bits / 8);
  wfe->nAvgBytesPerSec = wfe->nSamplesPerSec * wfe->nBlockAlign;
  mts.push_back(mt);
}

// QuickTime and other entries without a description: the first sound or
// picture entry of the stsd, with the stsd's bytes as the format's extra.
void EntryTypes(MP4_Track& track, std::vector<CMediaType>& mts) {
  auto* stsd = dynamic_cast<MP4_StsdAtom*>(track.GetTrakAtom().FindChild("mdia/minf/stbl/stsd"));
  if (!stsd) return;
  std::vector<BYTE> extra(stsd->GetDataBuffer().GetData(),
                          stsd->GetDataBuffer().GetData() + stsd->GetDataBuffer().GetDataSize());
  for (MP4_Atom* child : stsd->GetChildren()) {
    auto* visual = dynamic_cast<MP4_VisualSampleEntry*>(child);
    auto* audio = dynamic_cast<MP4_AudioSampleEntry*>(child);
    if (!visual && !audio) continue;
    const MP4_UI32 type = child->GetType();
    DWORD fcc = __builtin_bswap32(type);
    if ((type >> 16) == (('m' << 8) | 's')) {
      fcc = type & 0xFFFF;
    } else if (type == MP4_FourCC(".mp3")) {
      fcc = WAVE_FORMAT_MPEGLAYER3;
    }
    if (visual) {
      CMediaType mt = NewType(MEDIATYPE_Video, FourCCGuid(fcc), FORMAT_VideoInfo);
      auto* vih = SetFormatWithExtra<VIDEOINFOHEADER>(mt, extra);
      if (!vih) return;
      vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      vih->bmiHeader.biWidth = visual->GetWidth();
      vih->bmiHeader.biHeight = visual->GetHeight();
      vih->bmiHeader.biCompression = fcc;
      mts.push_back(mt);
      // The same in upper case, then in lower case, where they differ.
      const DWORD upper = ChangeCase(fcc, ::toupper), lower = ChangeCase(fcc, ::tolower);
      for (DWORD other : {upper, lower}) {
        if (other == fcc || (other == lower && lower == upper)) continue;
        reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader.biCompression = other;
        mt.subtype = FourCCGuid(other);
        mts.push_back(mt);
      }
    } else {
      PcmLayout layout;
      if (PcmLayoutOf(*audio, layout) && QuickTimeCode(layout) != fcc) {
        PcmType(layout, *audio, mts);
        return;
      }
      // The extra bytes' count must fit the 16-bit cbSize.
      if (extra.size() > 0xFFFF) extra.resize(0xFFFF);
      CMediaType mt = NewType(MEDIATYPE_Audio, FourCCGuid(fcc), FORMAT_WaveFormatEx);
      auto* wfe = SetFormatWithExtra<WAVEFORMATEX>(mt, extra);
      if (!wfe) return;
      wfe->wFormatTag = fcc < 0x10000 ? static_cast<WORD>(fcc) : 0;
      wfe->nSamplesPerSec = audio->GetSampleRate();
      wfe->nChannels = audio->GetChannelCount();
      // 3GPP AMR entries carry a fixed 2 there; their sound is mono, and a
      // decoder told of two channels takes every frame for half of a pair.
      if (type == MP4_FourCC("samr") || type == MP4_FourCC("sawb")) wfe->nChannels = 1;
      wfe->wBitsPerSample = audio->GetSampleSize();
      wfe->nBlockAlign = static_cast<WORD>(audio->GetBytesPerFrame());
      wfe->cbSize = static_cast<WORD>(extra.size());
      mts.push_back(mt);
    }
    return;
  }
}

}  // namespace

bool IsUncompressedSound(const AM_MEDIA_TYPE& mt) {
  if (mt.majortype != MEDIATYPE_Audio) return false;
  if (mt.subtype == MEDIASUBTYPE_PCM || mt.subtype == MEDIASUBTYPE_IEEE_FLOAT) return true;
  for (DWORD code : {Fcc("twos"), Fcc("sowt"), Fcc("in24"), Fcc("in32"), Fcc("fl32"), Fcc("fl64")})
    if (mt.subtype == FourCCGuid(code)) return true;
  return false;
}

std::vector<BYTE> SubtitleInfoBlock(const std::string& language, const std::wstring& name, const std::string& text) {
  std::vector<BYTE> block(sizeof(SUBTITLEINFO) + text.size(), 0);
  auto* si = reinterpret_cast<SUBTITLEINFO*>(block.data());
  si->dwOffset = sizeof(SUBTITLEINFO);
  std::memcpy(si->IsoLang, language.data(), std::min<size_t>(language.size(), 3));
  // At most 255 characters: the name keeps its terminator.
  for (size_t i = 0; i < name.size() && i < 255; i++)
    si->TrackName[i] = name[i] <= 0xFFFF ? static_cast<char16_t>(name[i]) : u'?';
  if (!text.empty()) std::memcpy(block.data() + sizeof(SUBTITLEINFO), text.data(), text.size());
  return block;
}

std::string VobSubIndex(int width, int height, const BYTE* palette) {
  std::string colours;
  for (int i = 0; i < 16; i++) {
    const BYTE* e = palette + 4 * i;
    // Luma below 16 is black, not the wrap-around of the low 8 bits.
    const int y = std::clamp((e[1] - 16) * 255 / 219, 0, 255);
    const double cb = e[2] - 128.0, cr = e[3] - 128.0;
    auto clip = [](double v) { return static_cast<int>(std::clamp(v, 0.0, 255.0)); };
    char text[8];
    std::snprintf(text, sizeof(text), "%02x%02x%02x", clip(y + 1.4022 * cr), clip(y - 0.3456 * cb - 0.7145 * cr),
                  clip(y + 1.771 * cb));
    if (i) colours += ',';
    colours += text;
  }
  char head[160];
  std::snprintf(head, sizeof(head), "# VobSub index file, v7 (do not modify this line!)\nsize: %dx%d\npalette: ", width,
                height);
  return head + colours + "\n";
}

namespace {

// The shape of a picture entry's pixels from its 'pasp' box (horizontal
// and vertical spacing); false without one.
bool PixelShape(MP4_Track& track, MP4_UI32& across, MP4_UI32& down) {
  MP4_Atom* stsd = track.GetTrakAtom().FindChild("mdia/minf/stbl/stsd");
  auto* entries = dynamic_cast<MP4_AtomParent*>(stsd);
  if (!entries) return false;
  for (MP4_Atom* entry : entries->GetChildren()) {
    auto* visual = dynamic_cast<MP4_VisualSampleEntry*>(entry);
    auto* pasp = visual ? dynamic_cast<MP4_UnknownAtom*>(visual->GetChild(MP4_FourCC("pasp"))) : nullptr;
    if (!pasp) continue;
    MP4_MemoryByteStream bytes;
    const std::vector<MP4_Byte>& b = bytes.GetOwnedData();
    if (MP4_FAILED(pasp->WriteFields(bytes)) || b.size() < 8) return false;
    across = MP4_UI32(b[0]) << 24 | MP4_UI32(b[1]) << 16 | MP4_UI32(b[2]) << 8 | b[3];
    down = MP4_UI32(b[4]) << 24 | MP4_UI32(b[5]) << 16 | MP4_UI32(b[6]) << 8 | b[7];
    return across > 0 && down > 0;
  }
  return false;
}

// The picture aspect of the types whose blocks carry one, from the pixel
// shape the file states (else the picture's own, square pixels).
void SetPictureAspect(MP4_Track& track, std::vector<CMediaType>& mts) {
  MP4_UI32 across = 0, down = 0;
  if (!PixelShape(track, across, down)) return;
  for (CMediaType& mt : mts) {
    if ((mt.formattype != FORMAT_VideoInfo2 && mt.formattype != FORMAT_MPEG2Video) ||
        mt.cbFormat < sizeof(VIDEOINFOHEADER2))
      continue;
    auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(mt.pbFormat);
    const uint64_t x = uint64_t(vih2->bmiHeader.biWidth > 0 ? vih2->bmiHeader.biWidth : 0) * across;
    const uint64_t y = uint64_t(vih2->bmiHeader.biHeight > 0 ? vih2->bmiHeader.biHeight : 0) * down;
    if (!x || !y) continue;
    const uint64_t g = std::gcd(x, y);
    if (x / g > 0xFFFFFFFF || y / g > 0xFFFFFFFF) continue;
    vih2->dwPictAspectRatioX = static_cast<DWORD>(x / g);
    vih2->dwPictAspectRatioY = static_cast<DWORD>(y / g);
  }
}

std::vector<CMediaType> MediaTypesOf(MP4_Track& track, const MP4_Sample& first, const TrackTypeContext& context) {
  std::vector<CMediaType> mts;
  MP4_SampleDescription* desc = track.GetSampleDescription(first.GetDescriptionIndex());
  if (!desc) {
    if (!AvcTypes(track, mts)) EntryTypes(track, mts);
    return mts;
  }
  const MP4_SampleDescription* inner = desc;
  if (auto* isma = dynamic_cast<MP4_IsmaCrypSampleDescription*>(desc)) inner = isma->GetOriginalSampleDescription();
  if (auto* video = dynamic_cast<const MP4_MpegVideoSampleDescription*>(inner)) {
    MpegVideoTypes(*video, first, context, mts);
  } else if (auto* audio = dynamic_cast<const MP4_MpegAudioSampleDescription*>(inner)) {
    MpegAudioTypes(*audio, first, context, mts);
  } else if (auto* system = dynamic_cast<MP4_MpegSystemSampleDescription*>(desc)) {
    const MP4_DataBuffer* dsi = system->GetDecoderInfo();
    if (system->GetObjectTypeId() == 0xE0 && dsi && dsi->GetDataSize() >= 64) {
      int width = 720, height = 576;
      if (MP4_TkhdAtom* tkhd = track.GetTrakAtom().GetTkhdAtom()) {
        width = static_cast<int>(tkhd->GetWidth() >> 16);
        height = static_cast<int>(tkhd->GetHeight() >> 16);
      }
      mts.push_back(SubtitleType(MEDIASUBTYPE_VOBSUB, context, VobSubIndex(width, height, dsi->GetData())));
    }
  } else if (auto* unknown = dynamic_cast<MP4_UnknownSampleDescription*>(desc)) {
    if (dynamic_cast<MP4_TextSampleEntry*>(unknown->GetSampleEntry()) ||
        dynamic_cast<MP4_Tx3gSampleEntry*>(unknown->GetSampleEntry()))
      mts.push_back(SubtitleType(MEDIASUBTYPE_SSA, context, SsaScriptHeader(context.text_width, context.text_height)));
  }
  return mts;
}

}  // namespace

std::vector<CMediaType> TrackMediaTypes(MP4_Track& track, const MP4_Sample& first, const TrackTypeContext& context) {
  std::vector<CMediaType> mts = MediaTypesOf(track, first, context);
  SetPictureAspect(track, mts);
  return mts;
}

}  // namespace mp4split
