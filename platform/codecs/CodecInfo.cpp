#include "platform/codecs/CodecInfo.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/codecs/VideoDecoder.h"
#include "platform/dshow/FourCCMap.h"

namespace {

constexpr DWORD Fcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }

// Names of the sound formats, as an audio compression manager lists them:
// those of the installed audio decoder and those the program decodes itself
// (PCM, MPEG audio, AAC, AC-3, DTS).
struct TagName {
  DWORD tag;
  const char* name;
};
const TagName kTagNames[] = {
    {0x0001, "PCM"},
    {0x0002, "Microsoft ADPCM"},
    {0x0003, "IEEE Float"},
    {0x0006, "CCITT A-Law"},
    {0x0007, "CCITT u-Law"},
    {0x0011, "IMA ADPCM"},
    {0x0031, "GSM 6.10"},
    {0x0050, "MPEG Audio"},
    {0x0055, "MPEG Layer-3"},
    {0x0057, "AMR Narrowband"},
    {0x0058, "AMR Wideband"},
    {0x00FF, "AAC"},
    {0x0160, "Windows Media Audio 1"},
    {0x0161, "Windows Media Audio 2"},
    {0x0162, "Windows Media Audio 9 Professional"},
    {0x0163, "Windows Media Audio 9 Lossless"},
    {0x1600, "AAC (ADTS)"},
    {0x2000, "Dolby AC-3"},
    {0x2001, "DTS"},
    {0x6F52, "RoQ DPCM"},
    {Fcc("samr"), "AMR Narrowband"},
    {Fcc("sawb"), "AMR Wideband"},
    {Fcc("twos"), "PCM (big-endian)"},
    {Fcc("sowt"), "PCM (little-endian)"},
    {Fcc("in24"), "PCM 24-bit"},
    {Fcc("in32"), "PCM 32-bit"},
    {Fcc("fl32"), "PCM 32-bit float"},
    {Fcc("fl64"), "PCM 64-bit float"},
    {Fcc("lpcm"), "Linear PCM"},
    {Fcc("ima4"), "IMA ADPCM (QuickTime)"},
    {Fcc("alac"), "Apple Lossless"},
    {Fcc("ac-3"), "Dolby AC-3"},
    {Fcc("14_4"), "RealAudio 14.4"},
    {Fcc("lpcJ"), "RealAudio 14.4"},
};

// The names a codec's driver would give, short enough for one line.
struct CodecName {
  AVCodecID codec;
  const char* name;
};
const CodecName kVideoNames[] = {
    {AV_CODEC_ID_MPEG4, "MPEG-4 Visual"},
    {AV_CODEC_ID_MSMPEG4V1, "Microsoft MPEG-4 v1"},
    {AV_CODEC_ID_MSMPEG4V2, "Microsoft MPEG-4 v2"},
    {AV_CODEC_ID_MSMPEG4V3, "Microsoft MPEG-4 v3"},
    {AV_CODEC_ID_H263, "H.263"},
    {AV_CODEC_ID_H264, "H.264/AVC"},
    {AV_CODEC_ID_HEVC, "H.265/HEVC"},
    {AV_CODEC_ID_FLV1, "Sorenson Spark (Flash video)"},
    {AV_CODEC_ID_VP6, "On2 VP6"},
    {AV_CODEC_ID_VP6F, "On2 VP6 (Flash video)"},
    {AV_CODEC_ID_VP6A, "On2 VP6 with alpha"},
    {AV_CODEC_ID_VP8, "On2 VP8"},
    {AV_CODEC_ID_WMV1, "Windows Media Video 7"},
    {AV_CODEC_ID_WMV2, "Windows Media Video 8"},
    {AV_CODEC_ID_WMV3, "Windows Media Video 9"},
    {AV_CODEC_ID_VC1, "VC-1"},
    {AV_CODEC_ID_MJPEG, "Motion JPEG"},
    {AV_CODEC_ID_MJPEGB, "Motion JPEG (format B)"},
    {AV_CODEC_ID_AVRN, "Avid Motion JPEG"},
    {AV_CODEC_ID_DVVIDEO, "DV"},
    {AV_CODEC_ID_MPEG2VIDEO, "MPEG-2 Video"},
    {AV_CODEC_ID_THEORA, "Theora"},
    {AV_CODEC_ID_SVQ1, "Sorenson Video 1"},
    {AV_CODEC_ID_SVQ3, "Sorenson Video 3"},
    {AV_CODEC_ID_TSCC, "TechSmith Screen Capture"},
    {AV_CODEC_ID_CINEPAK, "Cinepak"},
};

std::string VideoName(AVCodecID codec) {
  for (const CodecName& n : kVideoNames)
    if (n.codec == codec) return n.name;
  const AVCodecDescriptor* d = avcodec_descriptor_get(codec);
  return d ? (d->long_name ? d->long_name : d->name) : std::string();
}

void CopyWide(WCHAR* out, size_t size, const std::string& text) {
  size_t i = 0;
  for (; i + 1 < size && i < text.size(); ++i) out[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  out[i] = 0;
}

}  // namespace

BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* info) {
  if (!info || (fccType != ICTYPE_VIDEO && fccType != 0)) return FALSE;
  const auto& table = CFfVideoDecoder::CodecTable();
  const VideoCodecEntry* entry = nullptr;
  if (fccHandler < 256) {
    if (fccHandler < table.size()) entry = &table[fccHandler];
  } else {
    entry = CFfVideoDecoder::FindCodec(FourCCGuid(fccHandler));
  }
  const AVCodecDescriptor* codec = entry ? avcodec_descriptor_get(entry->codec) : nullptr;
  if (!codec) return FALSE;
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof *info;
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = entry->fourcc;
  info->dwVersionICM = 0x0104;
  CopyWide(info->szName, std::size(info->szName), codec->name);
  CopyWide(info->szDescription, std::size(info->szDescription), VideoName(entry->codec));
  CopyWide(info->szDriver, std::size(info->szDriver), "Installed video decoder");
  return TRUE;
}

MMRESULT acmFormatTagDetailsA(HACMDRIVER, ACMFORMATTAGDETAILSA* details, DWORD flags) {
  if (!details || details->cbStruct < sizeof *details) return MMSYSERR_INVALPARAM;
  DWORD index = 0;
  if (flags == ACM_FORMATTAGDETAILSF_INDEX)
    index = details->dwFormatTagIndex;
  else if (flags == ACM_FORMATTAGDETAILSF_FORMATTAG)
    while (index < std::size(kTagNames) && kTagNames[index].tag != details->dwFormatTag) ++index;
  else
    return MMSYSERR_INVALPARAM;
  const TagName* found = index < std::size(kTagNames) ? &kTagNames[index] : nullptr;
  if (!found) return ACMERR_NOTPOSSIBLE;
  details->dwFormatTagIndex = index;
  details->dwFormatTag = found->tag;
  details->cStandardFormats = 1;
  std::strncpy(details->szFormatTag, found->name, sizeof details->szFormatTag - 1);
  details->szFormatTag[sizeof details->szFormatTag - 1] = '\0';
  return MMSYSERR_NOERROR;
}

