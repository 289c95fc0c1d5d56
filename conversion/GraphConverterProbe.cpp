// The probe of a source for the pages: its container, its streams and
// their codecs, its duration, and the names of the source formats.
#include "conversion/GraphConverter.h"

#include <cstring>
#include <utility>

#include "conversion/GraphConverterChecks.h"
#include "conversion/HeaderReader.h"
#include "foundation/FilterHelpers.h"
#include "graph/core/GraphUtil.h"
#include "platform/codecs/CodecInfo.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/codecs/VideoDecoder.h"
#include "platform/win32/CodePage.h"
#include "splitters/matroska/MatroskaMediaTypes.h"

using namespace ConverterChecks;

namespace {

// The source formats' short and long names; the MP4 family's depend on the
// file's extension.
struct FormatNames {
  DWORD code;
  const char* name;
  const char* description;
};

constexpr FormatNames kFormatNames[] = {
    {0x1, "CDDA", "CDDA Audio"},
    {0x2, "CDXA", "CDXA Audio"},
    {0x4, "DVD", "DVD Title"},
    {0x8, "Flic", "3D Max Flic"},
    {0x10, "DVD2AVI Project", "DVD2AVI Project"},
    {0x20, "DTS/AC3", "DTS/AC3 Audio"},
    {0x40, "Matroska", "Matroska Movie"},
    {0x80, "Shoutcast", "Shoutcast Stream"},
    {0x100, "RealMedia", "Real Stream Media"},
    {0x200, "AVI", "AVI movie"},
    {0x1000, "Ogg", "Ogg movie"},
    {0x2000, "Nut", "Nut Containt Movie"},
    {0x4000, "MPEG", "MPEG movie"},
    {0x10000, "MPA", "MPA audio"},
    {0x20000, "DSM", "DSM movie"},
    {0x40000, "Subtitle", "Subtitle stream"},
    {0x100000, "FLV", "Flash FLV Movie"},
    {0x200000, "WMV/ASF", "Windows Media Stream(WMV/ASF)"},
};

const FormatNames* FindFormatNames(int format) {
  for (const FormatNames& names : kFormatNames)
    if (names.code == DWORD(format)) return &names;
  return nullptr;
}

}  // namespace

std::string CGraphConverter::GetSourceFormatName(int format, const std::string& extension) {
  if (DWORD(format) == SourceFormat_MP4) {
    const char* ext = extension.c_str();
    if (_stricmp(ext, "mov") == 0) return "Quicktime";
    if (_stricmp(ext, "3gp") == 0 || _stricmp(ext, "3g2") == 0) return "3GP";
    return "MP4";
  }
  const FormatNames* names = FindFormatNames(format);
  return names ? names->name : "Unknown";
}

std::string CGraphConverter::GetSourceFormatDescription(int format, const std::string& extension) {
  if (DWORD(format) == SourceFormat_MP4) {
    const char* ext = extension.c_str();
    if (_stricmp(ext, "mov") == 0) return "Quicktime Movie";
    if (_stricmp(ext, "3gp") == 0) return "3gp Mobile Media";
    return "MP4 Movie";
  }
  const FormatNames* names = FindFormatNames(format);
  return names ? names->description : "Unknown Movie Type";
}

namespace {

// What the machine's codec lists call a format the descriptions do not
// name themselves; empty when no codec takes it.
std::string InstalledAudioName(DWORD tag) {
  ACMFORMATTAGDETAILSA details{};
  details.cbStruct = sizeof details;
  details.dwFormatTag = tag;
  if (!tag || acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) != MMSYSERR_NOERROR) return {};
  return details.szFormatTag;
}

std::string InstalledVideoName(DWORD fourcc) {
  ICINFO info{};
  // Small values are indexes to ICInfo, not FourCCs.
  if (fourcc < 256 || !ICInfo(ICTYPE_VIDEO, fourcc, &info)) return {};
  std::string name;
  for (const WCHAR* c = info.szDescription; *c && name.size() < std::size(info.szDescription); ++c)
    name += static_cast<char>(*c < 0x80 ? *c : '?');
  return name;
}

}  // namespace

void CGraphConverter::DescribeMediaTypes(const AM_MEDIA_TYPE* video, const AM_MEDIA_TYPE* audio,
                                         SourceMediaInfo* info) {
  info->hasVideo = video != nullptr;
  info->hasAudio = audio != nullptr;

  if (audio) {
    const GUID& st = audio->subtype;
    std::string text = "Unknown";
    if (st == MEDIASUBTYPE_PCM) text = "PCM Audio";
    else if (st == MEDIASUBTYPE_MPEG1Packet) text = "MPEG1 Audio packet";
    else if (st == MEDIASUBTYPE_MPEG1Payload || st == MEDIASUBTYPE_MPEG1AudioPayload) text = "MPEG1 Audio Payload";
    else if (st == MEDIASUBTYPE_MPEG2_AUDIO) text = "MPEG-2 audio";
    else if (st == MEDIASUBTYPE_DVD_LPCM_AUDIO) text = "DVD LPCM Audio";
    else if (st == FourCCGuid(0x0009)) text = "DRM Wave Format";
    else if (st == MEDIASUBTYPE_IEEE_FLOAT) text = "IEEE Float Wave Format";
    else if (st == MEDIASUBTYPE_DOLBY_AC3) text = "Dolby AC3";
    else if (st == FourCCGuid(0x0092) || st == FourCCGuid(0x0240) || st == FourCCGuid(0x0241))
      text = "Dolby AC3 over SPDIF";
    else if (st == MatroskaReader::MEDIASUBTYPE_Vorbis || st == MatroskaReader::MEDIASUBTYPE_Vorbis2) text = "Vorbis Audio";
    // A sound format without a wave tag (QuickTime's) is known by its FourCC.
    const DWORD fourcc = IsFourCCGuid(st) && st.Data1 > 0xFFFF ? st.Data1 : 0;
    if (audio->formattype == FORMAT_WaveFormatEx && audio->pbFormat && audio->cbFormat >= 16) {
      const WAVEFORMATEX* wfx = reinterpret_cast<const WAVEFORMATEX*>(audio->pbFormat);
      if (st != MEDIASUBTYPE_PCM) {
        const DWORD tag = wfx->wFormatTag;
        if (tag == 0x55) text = "MP3 Format";
        else if (tag == 0x50) text = "MPEG Audio";
        else if (tag == 0x0002) text = "ADPCM Audio";
        if (text == "Unknown") {
          const std::string name = InstalledAudioName(tag ? tag : fourcc);
          if (!name.empty()) text = name;
        }
        // Wave tags are numbers; a format without one shows its FourCC.
        if (tag) text += " - " + WideToUtf8(FormatCodecTag(tag, true));
        else if (fourcc) text += " - " + WideToUtf8(FormatCodecTag(fourcc, false));
      }
      info->channels = wfx->nChannels;
      info->sampleRate = int(wfx->nSamplesPerSec);
      info->bitsPerSample = wfx->wBitsPerSample;
    } else if ((audio->formattype == MatroskaReader::FORMAT_VorbisFormat ||
                audio->formattype == MatroskaReader::FORMAT_VorbisFormat2) &&
               audio->pbFormat && audio->cbFormat >= 12) {
      // Both Vorbis blocks start with the channels (a word in the short
      // form, the low word of a double word in the long one) and the rate.
      WORD channels = 0;
      DWORD rate = 0, bits = 0;
      std::memcpy(&channels, audio->pbFormat, sizeof channels);
      std::memcpy(&rate, audio->pbFormat + 4, sizeof rate);
      info->channels = channels;
      info->sampleRate = int(rate);
      // The long form carries the track's bit depth where the file gave one.
      if (audio->formattype == MatroskaReader::FORMAT_VorbisFormat2)
        std::memcpy(&bits, audio->pbFormat + 8, sizeof bits);
      if (bits > 0 && bits <= 32) info->bitsPerSample = int(bits);
    }
    info->audioDescription = text;
  } else {
    info->audioDescription = "No Audio Stream";
  }

  if (video) {
    BITMAPINFOHEADER bih{};
    if (MediaTypeToBitmapInfo(video, &bih)) info->videoFourCC = bih.biCompression;
    else info->videoFourCC = video->subtype.Data1;
    int w = 0, h = 0, ax = 0, ay = 0;
    if (GetVideoSizeAndAspect(video, w, h, ax, ay)) {
      info->width = w;
      info->height = h < 0 ? -h : h;
    }
    if (const REFERENCE_TIME frameTime = VideoFrameTime(*video); frameTime > 0)
      info->frameRate = float(static_cast<double>(UNITS) / static_cast<double>(frameTime));
    const GUID& st = video->subtype;
    std::string text = "Unknown";
    bool tag = true;
    if (st == MEDIASUBTYPE_MPEG2_VIDEO) text = "MPEG-2";
    else if (st == MEDIASUBTYPE_MPEG1System) text = "MPEG-1 System Stream";
    else if (st == MEDIASUBTYPE_MPEG1Packet) text = "MPEG-1 packet";
    else if (st == MEDIASUBTYPE_MPEG1Payload) text = "MPEG-1 Payload";
    else if (st == MEDIASUBTYPE_MPEG1Video) text = "MPEG-1 Native Video";
    else if (st == FourCCGuid("dvsl") || st == FourCCGuid("dvsd") || st == FourCCGuid("dvhd"))
      text = "Consumer DV Format";
    else if (st == FourCCGuid("dv25") || st == FourCCGuid("dv50") || st == FourCCGuid("dvh1"))
      text = "Professional DV Format";
    else if (st == FourCCGuid("DVCS") || st == FourCCGuid("DVSD")) text = "Misc DV Format";
    else if (st == MEDIASUBTYPE_RGB1 || st == MEDIASUBTYPE_RGB4 || st == MEDIASUBTYPE_RGB8 ||
             st == MEDIASUBTYPE_RGB565 || st == MEDIASUBTYPE_RGB555 || st == MEDIASUBTYPE_RGB24 ||
             st == MEDIASUBTYPE_RGB32 || st == MEDIASUBTYPE_ARGB32) {
      text = "Uncompressed RGB Format";
      tag = false;
    }
    if (text == "Unknown") {
      const std::string name = InstalledVideoName(info->videoFourCC);
      if (!name.empty()) text = name;
    }
    // A stream without a FourCC (MPEG video) has no code to show.
    if (tag && info->videoFourCC) text += " - " + WideToUtf8(FormatCodecTag(info->videoFourCC, false));
    info->videoDescription = text;
  } else {
    info->videoDescription = "No Video Stream";
  }
}

void CGraphConverter::FillFromStreamInfo(bool hasVideo, const StreamInfo& record, SourceMediaInfo* info) {
  if (record.audioCount >= 1) {
    const AudioStreamInfo& a = record.audio[0];
    info->hasAudio = true;
    if (strnlen(a.codecName, sizeof a.codecName) >= 3) {
      info->audioDescription.assign(a.codecName, strnlen(a.codecName, sizeof a.codecName));
    } else {
      const std::string name = InstalledAudioName(a.formatTag);
      info->audioDescription = (name.empty() ? "" : name + " - ") + WideToUtf8(FormatCodecTag(a.formatTag, true));
    }
    info->channels = a.channels;
    info->sampleRate = int(a.sampleRate);
    if (!hasVideo) info->duration = float(a.duration);
  } else {
    info->audioDescription = "No Audio Stream";
  }
  info->hasVideo = hasVideo;
  if (hasVideo) {
    size_t n = strnlen(record.videoCodecName, sizeof record.videoCodecName);
    DWORD fcc = 0;
    for (int i = 0; i < 4; ++i) fcc |= DWORD(BYTE(record.videoFourCC[i])) << (8 * i);
    if (n >= 4) {
      info->videoDescription.assign(record.videoCodecName, n);
    } else {
      const std::string name = InstalledVideoName(fcc);
      info->videoDescription = (name.empty() ? "" : name + " - ") +
                               std::string(record.videoFourCC, strnlen(record.videoFourCC, 4));
    }
    info->duration = float(record.duration);
    info->videoFourCC = fcc;
    info->width = int(record.videoWidth);
    info->height = int(record.videoHeight);
    if (record.videoFrameRate != 0) info->frameRate = float(record.videoFrameRate / 1000.0);
  } else {
    info->videoDescription = "No Video Stream";
  }
}

void CGraphConverter::FindSourceStreams(IBaseFilter* source, CMediaType* video, bool* haveVideo, CMediaType* audio,
                                        bool* haveAudio) {
  *haveVideo = *haveAudio = false;
  CComPtr<IEnumPins> pins;
  if (FAILED(source->EnumPins(&pins)) || !pins) return;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
    PIN_DIRECTION dir;
    if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) continue;
    bool subtitle = NameHasSubtitle(pin);
    CComPtr<IEnumMediaTypes> types;
    if (FAILED(pin->EnumMediaTypes(&types)) || !types) continue;
    AM_MEDIA_TYPE* pmt = nullptr;
    // A bound on the types one pin may offer, against a pin that never
    // stops.
    for (int n = 0; n < 1024 && types->Next(1, &pmt, nullptr) == S_OK; ++n) {
      if ((pmt->majortype == MEDIATYPE_Video || pmt->majortype == MEDIATYPE_DVD_ENCRYPTED_PACK ||
           pmt->majortype == MEDIATYPE_MPEG2_PES) &&
          !subtitle) {
        *video = *pmt;
        *haveVideo = true;
      } else if (pmt->majortype == MEDIATYPE_Audio) {
        *audio = *pmt;
        *haveAudio = true;
      }
      DeleteMediaType(pmt);
      pmt = nullptr;
    }
  }
}

HRESULT CGraphConverter::ProbeSource(const std::string& path, SourceMediaInfo* info) {
  if (!info) return E_POINTER;
  // What is not a plain file is refused before anything opens it.
  HRESULT checked = CheckSourceFile(path);
  if (FAILED(checked)) return checked;
  std::wstring wpath = Utf8ToWide(path);
  CComPtr<IBaseFilter> source;
  DWORD format = 0;
  TakeSourceRefusal();  // an earlier file's
  HRESULT hr = AddSourceFilterWithFormat(wpath.c_str(), wpath.c_str(), &source, &format);
  if (FAILED(hr) || !source) return FAILED(hr) ? hr : E_FAIL;

  CMediaType video, audio;
  bool haveVideo = false, haveAudio = false;
  FindSourceStreams(source, &video, &haveVideo, &audio, &haveAudio);
  // Nothing to convert: the file is no movie this program reads (a plain
  // file reader took it, offering bytes only).
  if (!haveVideo && !haveAudio) return Refuse(VFW_E_UNSUPPORTED_STREAM, BytesOnlyReason(source));

  info->format = int(format);
  if (format == SourceFormat_RealMedia || format == SourceFormat_AVI || format == SourceFormat_WMV) {
    std::memset(&g_StreamInfo, 0, sizeof g_StreamInfo);
    int result = format == SourceFormat_RealMedia ? ReadRealMediaHeaderInfo(path)
                 : format == SourceFormat_AVI     ? ReadAviHeaderInfo(path)
                                                  : ReadAsfHeaderInfo(path);
    // A header that names no picture size (a stream it does not know) leaves
    // the description to the media types.
    if (result == 0 && (!haveVideo || (g_StreamInfo.videoWidth && g_StreamInfo.videoHeight))) {
      // The stream's own rate: the header's, else the source's frame time.
      // An ASF data packet count over the duration is no frame rate.
      const REFERENCE_TIME frameTime = haveVideo ? VideoFrameTime(video) : 0;
      if (g_StreamInfo.videoFrameRate == 0 && frameTime > 0)
        g_StreamInfo.videoFrameRate = DWORD(UNITS * 1000 / frameTime);
      if (format == SourceFormat_WMV && g_StreamInfo.videoFrameRate == 0) g_StreamInfo.videoFrameCount = 0;
      FinishStreamInfo();
      FillFromStreamInfo(haveVideo, g_StreamInfo, info);
      return DecoderCheck(source, info);
    }
  }
  DescribeMediaTypes(haveVideo ? &video : nullptr, haveAudio ? &audio : nullptr, info);
  info->duration = 0.0f;
  CComQIPtr<IMediaSeeking> seeking(static_cast<IGraphBuilder2*>(this));
  LONGLONG duration = 0;
  if (seeking && SUCCEEDED(seeking->GetDuration(&duration)) && duration > 0)
    info->duration = float(double(duration / 10000) / 1000.0);
  return DecoderCheck(source, info);
}

HRESULT CGraphConverter::DecoderCheck(IBaseFilter* source, SourceMediaInfo* info) {
  // A video stream no decoder takes cannot be converted: the probe fails
  // (the record keeps what was found). The graph is rendered as a job's
  // would be; the probe's converter goes right after.
  if (!info->hasVideo) return S_OK;
  PinList video, audio;
  if (SUCCEEDED(RenderSourceAndCollectPins(source, video, audio)))
    for (const RenderedPin& p : video)
      if (p.major == MEDIATYPE_Video && !NameHasSubtitle(p.pin)) {
        // The size the decoder found in the stream itself wins over the
        // header's.
        auto* graph = static_cast<IFilterGraph*>(this);
        for (const CLSID& clsid : {CLSID_FfdshowVideoDecoder, CLSID_CMpegVideoCodec})
          if (IBaseFilter* decoder = FindFilterByClsid(graph, clsid)) {
            LONG w = 0, h = 0;
            static_cast<CFfVideoDecoder*>(decoder)->GetPictureSize(&w, &h);
            if (w > 0 && h > 0) info->width = w, info->height = h;
          }
        // The picture as it is shown: a turned one is as wide as it is high
        // stored.
        info->pictureTurn = UpstreamPictureTurn(p.pin);
        if (info->pictureTurn == 90 || info->pictureTurn == 270) std::swap(info->width, info->height);
        return S_OK;
      }
  if (std::string why = UndecodedVideoText(source); !why.empty()) g_strConvertError = why;
  return VFW_E_NO_DECOMPRESSOR;
}
