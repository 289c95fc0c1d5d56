#include "conversion/GraphConverter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "conversion/EncoderEngine.h"
#include "conversion/FastNullMuxer.h"
#include "conversion/FrameRateChanger.h"
#include "conversion/HeaderReader.h"
#include "conversion/JobFiles.h"
#include "conversion/MediaTimeChecker.h"
#include "conversion/MpegMuxer.h"
#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "foundation/FilterHelpers.h"
#include "foundation/SplitterInterfaces.h"
#include "graph/core/GraphUtil.h"
#include "platform/codecs/AsfSource.h"
#include "platform/codecs/AviFallbackSplitter.h"
#include "platform/codecs/CodecInfo.h"
#include "platform/codecs/Resizer.h"
#include "platform/codecs/VideoDecoder.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/ErrorText.h"
#include "platform/win32/File.h"
#include "platform/win32/Registry.h"
#include "platform/wmf/AsfWriter.h"
#include "sources/pictures/PictureListSource.h"
#include "splitters/matroska/MatroskaMediaTypes.h"

std::vector<WMProfileEntry> g_WMProfiles;
std::string g_strConvertError;

namespace {

const char* const kFfdshowNote = " Please insure you have installed ffdshow codecs package";

std::wstring Wide(const std::string& text) { return Utf8ToWide(text); }
std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool NameHasSubtitle(IPin* pin) {
  std::wstring name = GetPinName(pin);
  return Lower(Narrow(name)).find("subtitle") != std::string::npos;
}

bool IsWaveTag(const GUID& subtype, WORD tag) { return subtype == FourCCGuid(tag); }
bool IsFourCC(const GUID& subtype, const char* fcc) {
  DWORD v = DWORD(BYTE(fcc[0])) | DWORD(BYTE(fcc[1])) << 8 | DWORD(BYTE(fcc[2])) << 16 | DWORD(BYTE(fcc[3])) << 24;
  return subtype == FourCCGuid(v);
}

void WriteFfdshowSwitches(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, "Software\\GNU\\ffdshow", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  static const char* const kCodecs[] = {"xvid", "div3", "divx", "_3iv", "mp42", "mp41", "h263",
                                        "h264", "dvsd", "svq1", "svq3", "dx50", "flv1"};
  const DWORD on = 1;
  for (const char* name : kCodecs)
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
  RegCloseKey(key);
}

// A new filter of ours, held by the caller.
template <class T>
HRESULT MakeFilter(CComPtr<IBaseFilter>& filter, T*& object) {
  HRESULT hr = S_OK;
  object = new T(nullptr, &hr);
  filter = object;  // from here the reference count owns it
  if (FAILED(hr)) {
    filter.Release();
    object = nullptr;
  }
  return hr;
}

IPin* FirstOutput(IBaseFilter* filter) { return GetFirstPinByDirection(filter, PINDIR_OUTPUT); }

// Why a source that offers bytes only cannot be converted. The file reader
// names a file that begins with a sequence header an MPEG video stream:
// the MPEG source reads program, transport and PES streams only, so a bare
// picture stream is read through a DVD2AVI project of it.
std::string BytesOnlyReason(IBaseFilter* source) {
  // The source of the file's format knew it and said why it refused it.
  if (std::string refusal = TakeSourceRefusal(); !refusal.empty()) return refusal;
  bool videoStream = false;
  CComPtr<IEnumMediaTypes> types;
  AM_MEDIA_TYPE* pmt = nullptr;
  if (IPin* out = FirstOutput(source); out && SUCCEEDED(out->EnumMediaTypes(&types)) && types &&
                                       types->Next(1, &pmt, nullptr) == S_OK && pmt) {
    videoStream = pmt->majortype == MEDIATYPE_Stream && pmt->subtype == MEDIASUBTYPE_MPEG1Video;
    DeleteMediaType(pmt);
  }
  if (videoStream)
    return "The file is a bare MPEG video stream, outside any program or transport stream; no source reads it. "
           "Open a DVD2AVI project (.d2v) of it instead.\n";
  return "No source reads this kind of file.\n";
}

// A failure with its reason in the build's failure text.
HRESULT Refuse(HRESULT hr, const std::string& text) {
  g_strConvertError = text;
  return hr;
}

// A source named by a path (not a stream address) must be a file that can
// be read; the reason goes into the failure text, which "no source filter"
// alone would not give.
HRESULT CheckSourceFile(const std::string& source) {
  if (source.find("://") != std::string::npos) return S_OK;
  // Drive paths ("D:\\Track03.cda", a disc's folders) are the platform's
  // to resolve: the source filter says what is wrong with them.
  if (source.size() >= 3 && std::isalpha(static_cast<unsigned char>(source[0])) && source[1] == ':' &&
      (source[2] == '\\' || source[2] == '/'))
    return S_OK;
  // Through the platform's file layer, which finds names in any case as the
  // sources do.
  const DWORD attributes = GetFileAttributesA(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return Refuse(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "The source file does not exist: " + source + "\n");
    return Refuse(HRESULT_FROM_WIN32(error ? error : ERROR_ACCESS_DENIED),
                  "The source file cannot be read: " + source + "\n");
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return Refuse(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "The source is a folder, not a file: " + source + "\n");
  // A pipe or a device would block the opening below, or never end.
  struct stat st {};
  if (stat(source.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Refuse(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "The source is not a regular file: " + source + "\n");
  HANDLE file = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return Refuse(HRESULT_FROM_WIN32(error ? error : ERROR_ACCESS_DENIED),
                  "The source file cannot be read: " + source + " (" + SystemErrorText(HRESULT_FROM_WIN32(error)) + ")\n");
  }
  CloseHandle(file);
  return S_OK;
}


// A target file whose folder is missing, or that is a folder, cannot be
// written; said before the graph is built.
HRESULT CheckTargetFile(const std::string& target) {
  namespace fs = std::filesystem;
  if (target.empty()) return S_OK;
  std::error_code ec;
  const fs::path path(target);
  if (fs::is_directory(path, ec))
    return Refuse(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "The target is a folder, not a file: " + target + "\n");
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec))
    return Refuse(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                  "The folder of the target file does not exist: " + folder.string() + "\n");
  const bool exists = fs::exists(path, ec);
  struct stat st {};
  if (exists && stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Refuse(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "The target is not a regular file: " + target + "\n");
  if (access(exists ? target.c_str() : folder.c_str(), W_OK) != 0)
    return Refuse(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                  "The target file cannot be written: " + target + " (" + std::strerror(errno) + ")\n");
  return S_OK;
}

// The format of a stream as a failure text names it: its FourCC, its wave
// format tag, or the name of a well-known type.
std::string StreamFormatName(const AM_MEDIA_TYPE& mt) {
  const GUID& st = mt.subtype;
  if (std::string codec = UnreadCodecName(mt); !codec.empty()) {
    // A name of which nothing was readable (a damaged header) says nothing.
    if (codec.find_first_not_of('?') != std::string::npos) return codec;
    return "a codec the file does not name";
  }
  static const std::pair<GUID, const char*> kNames[] = {
      {MatroskaReader::MEDIASUBTYPE_FLAC_FRAMED, "FLAC"},
      {MEDIASUBTYPE_MPEG2_VIDEO, "MPEG-2 video"},
      {MEDIASUBTYPE_MPEG1Payload, "MPEG-1 video"},
      {MEDIASUBTYPE_MPEG1Packet, "MPEG-1 video"},
      {MEDIASUBTYPE_MPEG1Video, "MPEG-1 video"},
      {MEDIASUBTYPE_MPEG1Audio, "MPEG audio"},
      {MEDIASUBTYPE_MPEG2_AUDIO, "MPEG audio"},
      {MEDIASUBTYPE_DOLBY_AC3, "AC-3"},
      {MEDIASUBTYPE_DTS, "DTS"},
      {MEDIASUBTYPE_DVD_LPCM_AUDIO, "LPCM"},
      {MEDIASUBTYPE_PCM, "PCM"},
      {MatroskaReader::MEDIASUBTYPE_Vorbis, "Vorbis"},
      {MatroskaReader::MEDIASUBTYPE_Vorbis2, "Vorbis"},
  };
  for (const auto& [guid, name] : kNames)
    if (st == guid) return name;
  if (IsFourCCGuid(st) && st.Data1 > 0xFFFF) {
    std::string code;
    for (int i = 0; i < 4; ++i) {
      const char c = char((st.Data1 >> (8 * i)) & 0xFF);
      if (!std::isprint(static_cast<unsigned char>(c))) {
        // Not four characters: the number the file gives.
        char number[32];
        std::snprintf(number, sizeof number, "codec number 0x%08X", unsigned(st.Data1));
        return number;
      }
      code += c;
    }
    while (!code.empty() && code.back() == ' ') code.pop_back();
    return code;
  }
  if (IsFourCCGuid(st)) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "wave format 0x%04X", unsigned(st.Data1));
    return tag;
  }
  return mt.majortype == MEDIATYPE_Audio   ? "a sound format the program does not know"
         : mt.majortype == MEDIATYPE_Video ? "a picture format the program does not know"
                                           : "a format the program does not know";
}

// The first type of the source's first pin of a kind (video: not named
// after subtitles); false when it has none.
bool FirstSourceType(IBaseFilter* source, bool video, CMediaType* type) {
  CComPtr<IEnumPins> pins;
  if (FAILED(source->EnumPins(&pins)) || !pins) return false;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
    PIN_DIRECTION dir;
    if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT || (video && NameHasSubtitle(pin))) continue;
    CComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (FAILED(pin->EnumMediaTypes(&types)) || !types || types->Next(1, &pmt, nullptr) != S_OK) continue;
    const bool match = video ? pmt->majortype == MEDIATYPE_Video : pmt->majortype == MEDIATYPE_Audio;
    if (match) *type = *pmt;
    DeleteMediaType(pmt);
    if (match) return true;
  }
  return false;
}

// The text naming a source's video stream when no decoder took it; empty
// when it has none. Pack and PES types count only with a video subtype: a
// raw AC-3 or DTS source offers its sound in those wrappers too.
std::string UndecodedVideoText(IBaseFilter* source) {
  CMediaType videoType, audioType;
  bool hasVideo = false, hasAudio = false;
  CGraphConverter::FindSourceStreams(source, &videoType, &hasVideo, &audioType, &hasAudio);
  const bool wrapped = videoType.majortype == MEDIATYPE_DVD_ENCRYPTED_PACK || videoType.majortype == MEDIATYPE_MPEG2_PES;
  const bool wrappedVideo = videoType.subtype == MEDIASUBTYPE_MPEG2_VIDEO ||
                            videoType.subtype == MEDIASUBTYPE_MPEG1Payload ||
                            videoType.subtype == MEDIASUBTYPE_MPEG1Video;
  if (!hasVideo || (wrapped && !wrappedVideo)) return {};
  CMediaType first;
  const std::string name = StreamFormatName(FirstSourceType(source, true, &first) ? first : videoType);
  return "The video stream of the source (" + name + ") could not be decoded\n";
}

// The same of its first sound stream.
std::string UndecodedSoundText(IBaseFilter* source) {
  CMediaType sound;
  if (!FirstSourceType(source, false, &sound)) return {};
  return "The sound stream of the source (" + StreamFormatName(sound) + ") could not be decoded\n";
}

// PCM offered, but never plain 16-bit: 8-, 24-, 32-bit, float or
// extensible layouts go through "PCM Resample".
bool OffersOnlyOtherPcm(IPin* pin) {
  bool pcm = false, pcm16 = false;
  CComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(&types)) || !types) return false;
  AM_MEDIA_TYPE* pmt = nullptr;
  for (int n = 0; n < 1024 && types->Next(1, &pmt, nullptr) == S_OK; ++n) {
    if (pmt->formattype == FORMAT_WaveFormatEx && pmt->pbFormat && pmt->cbFormat >= 16) {
      const WAVEFORMATEX* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat);
      const WORD tag = wfx->wFormatTag;
      if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE) pcm = true;
      if (tag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16) pcm16 = true;
    }
    DeleteMediaType(pmt);
    pmt = nullptr;
  }
  return pcm && !pcm16;
}

}  // namespace

CGraphConverter::CGraphConverter(void* /*window*/)
    : CFGManagerCustom("GraphConverter", nullptr, 0xFFFFFFFF, 0xFFFFFFFF) {
  // A job's failure text is its own, never one left by an earlier job.
  g_strConvertError.clear();
  if (IsFfdshowDecoderInstalled()) {
    WriteFfdshowSwitches(HKEY_CURRENT_USER);
    WriteFfdshowSwitches(HKEY_LOCAL_MACHINE);
  }
}

CGraphConverter::~CGraphConverter() {
  m_pPictureSource.Release();
  m_pFrameChanger.Release();
  m_pSink.Release();
}

std::string CGraphConverter::FinishFiles(bool keep, double stoppedAt) {
  if (keep) return stoppedAt >= 0 ? m_pFiles->KeepStopped(stoppedAt) : m_pFiles->Keep();
  m_pFiles->Discard();
  return std::string();
}

namespace {

// Every filter of the graph that reports damage in its source, in the
// graph's order.
std::vector<CComPtr<IDamageReport>> DamageReports(IFilterGraph* graph) {
  std::vector<CComPtr<IDamageReport>> reports;
  CComPtr<IEnumFilters> filters;
  if (FAILED(graph->EnumFilters(&filters)) || !filters) return reports;
  for (CComPtr<IBaseFilter> filter; filters->Next(1, &filter, nullptr) == S_OK; filter = nullptr) {
    CComPtr<IDamageReport> report;
    if (SUCCEEDED(filter->QueryInterface(IID_IDamageReport, reinterpret_cast<void**>(&report))) && report)
      reports.push_back(report);
  }
  return reports;
}

// What the installed sources and video decoders noted about their streams
// (a picture size or shape of their own, damage concealed).
std::string VideoStreamNotes(IFilterGraph* graph) {
  std::string note;
  for (const CLSID& clsid : {CLSID_WMAsfReader, CLSID_AviFallbackSplitter})
    if (IBaseFilter* source = FindFilterByClsid(graph, clsid))
      note += static_cast<CFfDemuxSource*>(source)->GetRunNote();
  for (const CLSID& clsid : {CLSID_FfdshowVideoDecoder, CLSID_CMpegVideoCodec})
    if (IBaseFilter* decoder = FindFilterByClsid(graph, clsid))
      note += static_cast<CFfVideoDecoder*>(decoder)->GetRunNote();
  return note;
}

}  // namespace

std::string CGraphConverter::GetRunError() const {
  auto* graph = static_cast<IFilterGraph*>(const_cast<CGraphConverter*>(this));
  // A source that could not be read past its damage is the cause of
  // whatever failed behind it.
  for (const auto& report : DamageReports(graph)) {
    std::string text;
    if (report->GetDamageFailure(text) == S_OK) return text;
  }
  // A decoder that gave up on its stream names the cause; the stages behind
  // it only see pictures that never came.
  if (IBaseFilter* decoder = FindFilterByClsid(graph, CLSID_CMpeg2DecFilter)) {
    std::string text = static_cast<CMpeg2DecFilter*>(decoder)->GetStreamError();
    if (!text.empty()) return text;
  }
  for (const CLSID& clsid : {CLSID_FfdshowVideoDecoder, CLSID_CMpegVideoCodec}) {
    if (IBaseFilter* decoder = FindFilterByClsid(graph, clsid)) {
      std::string text = static_cast<CFfVideoDecoder*>(decoder)->GetStreamError();
      if (!text.empty()) return text;
    }
  }
  if (m_pPictureSource) {
    std::string text = static_cast<CPictureListSource*>(m_pPictureSource.p)->GetRunError();
    if (!text.empty()) return text;
  }
  if (m_pFrameChanger) {
    std::string text = static_cast<CFrameRateChanger*>(m_pFrameChanger.p)->GetRunError();
    if (!text.empty()) return text;
  }
  CLSID clsid = GUID_NULL;
  if (m_pSink && SUCCEEDED(m_pSink->GetClassID(&clsid)) && clsid == CLSID_MpegMuxer)
    return static_cast<CMpegMuxer*>(m_pSink.p)->GetRunError();
  if (clsid == CLSID_WMAsfWriter) return static_cast<CWMAsfWriter*>(m_pSink.p)->GetRunError();
  return std::string();
}

std::string CGraphConverter::GetRunNote() const {
  // The damage in the source first: what the stages behind did follows
  // from it.
  auto* graph = static_cast<IFilterGraph*>(const_cast<CGraphConverter*>(this));
  std::string note;
  for (const auto& report : DamageReports(graph)) {
    std::string text;
    if (SUCCEEDED(report->GetDamageReport(text))) note += text;
  }
  note += VideoStreamNotes(graph);
  if (m_pFrameChanger) note += static_cast<CFrameRateChanger*>(m_pFrameChanger.p)->GetRunNote();
  return note;
}

bool CGraphConverter::IsFfdshowDecoderInstalled() {
  IBaseFilter* filter = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_FfdshowVideoDecoder, nullptr, CLSCTX_ALL, IID_IBaseFilter,
                                reinterpret_cast<void**>(&filter));
  if (filter) filter->Release();
  return hr == S_OK;
}

void CGraphConverter::SetFrameRate(int num, int den) {
  m_nRateNum = num;
  m_nRateDen = den;
  if (m_pFrameChanger) static_cast<CFrameRateChanger*>(m_pFrameChanger.p)->SetFrameRate(num, den);
}

void CGraphConverter::SetEncoderParams(const std::string& videoCodec, int videoKbps, const std::string& audioCodec,
                                       int audioKbps, int sampleRate, int channels) {
  m_strVideoCodec = videoCodec;
  m_nVideoKbps = videoKbps;
  m_strAudioCodec = audioCodec;
  m_nAudioKbps = audioKbps;
  m_nSampleRate = sampleRate;
  m_nChannels = channels;
}

void CGraphConverter::SetImageOutput(int mode, const std::wstring& path, int time, int width, int height) {
  m_nImageMode = mode;
  m_strImagePath = path;
  m_nImageTime = time;
  m_nImageWidth = width;
  m_nImageHeight = height;
}

// ---------------------------------------------------------------------------
// Source formats and the probe

void CGraphConverter::SetPictureList(const std::vector<std::string>& pictures, double seconds, int width,
                                     int height, const std::string& soundFile) {
  m_astrPictures = pictures;
  m_dPictureSeconds = seconds;
  m_nPictureWidth = width;
  m_nPictureHeight = height;
  m_strSoundFile = soundFile;
}

std::string CGraphConverter::GetSourceFormatName(int format, const std::string& extension) {
  switch (DWORD(format)) {
    case 0x1: return "CDDA";
    case 0x2: return "CDXA";
    case 0x4: return "DVD";
    case 0x8: return "Flic";
    case 0x10: return "DVD2AVI Project";
    case 0x20: return "DTS/AC3";
    case 0x40: return "Matroska";
    case 0x80: return "Shoutcast";
    case 0x100: return "RealMedia";
    case 0x200: return "AVI";
    case 0x1000: return "Ogg";
    case 0x2000: return "Nut";
    case 0x4000: return "MPEG";
    case 0x10000: return "MPA";
    case 0x20000: return "DSM";
    case 0x40000: return "Subtitle";
    case 0x80000: {
      std::string ext = Lower(extension);
      if (ext == "mov") return "Quicktime";
      if (ext == "3gp" || ext == "3g2") return "3GP";
      return "MP4";
    }
    case 0x100000: return "FLV";
    case 0x200000: return "WMV/ASF";
    default: return "Unknown";
  }
}

std::string CGraphConverter::GetSourceFormatDescription(int format, const std::string& extension) {
  switch (DWORD(format)) {
    case 0x1: return "CDDA Audio";
    case 0x2: return "CDXA Audio";
    case 0x4: return "DVD Title";
    case 0x8: return "3D Max Flic";
    case 0x10: return "DVD2AVI Project";
    case 0x20: return "DTS/AC3 Audio";
    case 0x40: return "Matroska Movie";
    case 0x80: return "Shoutcast Stream";
    case 0x100: return "Real Stream Media";
    case 0x200: return "AVI movie";
    case 0x1000: return "Ogg movie";
    case 0x2000: return "Nut Containt Movie";
    case 0x4000: return "MPEG movie";
    case 0x10000: return "MPA audio";
    case 0x20000: return "DSM movie";
    case 0x40000: return "Subtitle stream";
    case 0x80000: {
      std::string ext = Lower(extension);
      if (ext == "mov") return "Quicktime Movie";
      if (ext == "3gp") return "3gp Mobile Media";
      return "MP4 Movie";
    }
    case 0x100000: return "Flash FLV Movie";
    case 0x200000: return "Windows Media Stream(WMV/ASF)";
    default: return "Unknown Movie Type";
  }
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
    else if (IsWaveTag(st, 0x0009)) text = "DRM Wave Format";
    else if (st == MEDIASUBTYPE_IEEE_FLOAT) text = "IEEE Float Wave Format";
    else if (st == MEDIASUBTYPE_DOLBY_AC3) text = "Dolby AC3";
    else if (IsWaveTag(st, 0x0092) || IsWaveTag(st, 0x0240) || IsWaveTag(st, 0x0241)) text = "Dolby AC3 over SPDIF";
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
        if (tag) text += " - " + Narrow(FormatCodecTag(tag, true));
        else if (fourcc) text += " - " + Narrow(FormatCodecTag(fourcc, false));
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
      info->frameRate = float(10000000.0 / static_cast<double>(frameTime));
    const GUID& st = video->subtype;
    std::string text = "Unknown";
    bool tag = true;
    if (st == MEDIASUBTYPE_MPEG2_VIDEO) text = "MPEG-2";
    else if (st == MEDIASUBTYPE_MPEG1System) text = "MPEG-1 System Stream";
    else if (st == MEDIASUBTYPE_MPEG1Packet) text = "MPEG-1 packet";
    else if (st == MEDIASUBTYPE_MPEG1Payload) text = "MPEG-1 Payload";
    else if (st == MEDIASUBTYPE_MPEG1Video) text = "MPEG-1 Native Video";
    else if (IsFourCC(st, "dvsl") || IsFourCC(st, "dvsd") || IsFourCC(st, "dvhd")) text = "Consumer DV Format";
    else if (IsFourCC(st, "dv25") || IsFourCC(st, "dv50") || IsFourCC(st, "dvh1")) text = "Professional DV Format";
    else if (IsFourCC(st, "DVCS") || IsFourCC(st, "DVSD")) text = "Misc DV Format";
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
    if (tag && info->videoFourCC) text += " - " + Narrow(FormatCodecTag(info->videoFourCC, false));
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
      info->audioDescription = (name.empty() ? "" : name + " - ") + Narrow(FormatCodecTag(a.formatTag, true));
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
  std::wstring wpath = Wide(path);
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
        g_StreamInfo.videoFrameRate = DWORD(10000000000ll / frameTime);
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
        return S_OK;
      }
  if (std::string why = UndecodedVideoText(source); !why.empty()) g_strConvertError = why;
  return VFW_E_NO_DECOMPRESSOR;
}

// ---------------------------------------------------------------------------
// Connections

HRESULT CGraphConverter::ConnectWithResizer(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt,
                                            bool resizeAllowed, bool keepSize) {
  if (!out || !filter || !pmt) return E_POINTER;
  if (m_nWidth && m_nHeight && resizeAllowed && !keepSize) {
    int w = 0, h = 0, ax = 0, ay = 0;
    GetVideoSizeAndAspect(pmt, w, h, ax, ay);
    if (h < 0) h = -h;
    if (w != m_nWidth && h != m_nHeight) {
      CComPtr<IBaseFilter> resizer;
      if (SUCCEEDED(CoCreateInstance(CLSID_VideoResizer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&resizer))) &&
          resizer) {
        HRESULT hr = AddFilter(resizer, L"Resizer");
        if (FAILED(hr)) return hr;
        if (CComQIPtr<IResize> resize = resizer.p) {
          resize->put_MediaType(pmt);
          resize->put_Size(m_nHeight, m_nWidth, 0);
        }
        hr = ConnectPinToFilterDirectEx(out, resizer, pmt, false, false);
        if (FAILED(hr)) return hr;
        IPin* resized = FirstOutput(resizer);
        if (!resized) return E_FAIL;
        return ConnectPinToFilterDirect(resized, filter, nullptr);
      }
    }
  }
  CMediaType copy(*pmt);
  if (m_nWidth && m_nHeight && !keepSize && copy.pbFormat) {
    BITMAPINFOHEADER* bih = nullptr;
    if ((copy.formattype == FORMAT_VideoInfo || copy.formattype == FORMAT_MPEGVideo) &&
        copy.cbFormat >= sizeof(VIDEOINFOHEADER))
      bih = &reinterpret_cast<VIDEOINFOHEADER*>(copy.pbFormat)->bmiHeader;
    else if ((copy.formattype == FORMAT_VideoInfo2 || copy.formattype == FORMAT_MPEG2Video ||
              copy.formattype == FORMAT_VideoInfo2Ex) &&
             copy.cbFormat >= sizeof(VIDEOINFOHEADER2))
      bih = &reinterpret_cast<VIDEOINFOHEADER2*>(copy.pbFormat)->bmiHeader;
    if (bih) {
      bih->biWidth = m_nWidth;
      bih->biHeight = m_nHeight;
    }
  }
  HRESULT hr = ConnectPinToFilterDirectEx(out, filter, &copy, false, false);
  if (hr != S_OK) hr = ConnectPinToFilterDirectEx(out, filter, pmt, false, false);
  return hr;
}

HRESULT CGraphConverter::RenderSourceAndCollectPins(IBaseFilter* source, PinList& video, PinList& audio) {
  HRESULT hr = ConnectFilter(source, nullptr);
  if (FAILED(hr)) return hr;
  return CollectRenderedPins(source, video, audio);
}

HRESULT CGraphConverter::CollectRenderedPins(IBaseFilter* filter, PinList& video, PinList& audio, int depth) {
  // A graph is a chain of a few filters; the bound guards against a cycle.
  if (depth > 64) return E_FAIL;
  std::vector<CComPtr<IPin>> outputs;
  CComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(&pins);
  if (FAILED(hr) || !pins) return FAILED(hr) ? hr : E_FAIL;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
    PIN_DIRECTION dir;
    if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == PINDIR_OUTPUT) outputs.push_back(pin);
  }
  for (IPin* out : outputs) {
    CComPtr<IPin> peer;
    if (FAILED(out->ConnectedTo(&peer)) || !peer) continue;
    PIN_INFO pi{};
    if (FAILED(peer->QueryPinInfo(&pi)) || !pi.pFilter) continue;
    CComPtr<IBaseFilter> next;
    next.Attach(pi.pFilter);
    bool renderer = IsRendererFilter(next);
    if (renderer || IsAudioRendererFilter(next)) {
      CMediaType mt;
      out->ConnectionMediaType(&mt);
      PinList ownVideo, ownAudio;
      hr = CollectRenderedPins(next, ownVideo, ownAudio, depth + 1);
      if (FAILED(hr)) return hr;
      HRESULT d1 = Disconnect(out);
      HRESULT d2 = Disconnect(peer);
      // A renderer known by its name may be an audio renderer too; what
      // the pin carried decides, so that no audio stream is taken for
      // video.
      bool toVideo = renderer && mt.majortype != MEDIATYPE_Audio;
      RenderedPin rendered{CComPtr<IPin>(out), mt.majortype};
      const BITMAPINFOHEADER* bih = nullptr;
      if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER) && mt.pbFormat)
        bih = &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
      else if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2) && mt.pbFormat)
        bih = &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
      if (bih) {
        rendered.width = bih->biWidth;
        rendered.height = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
      }
      (toVideo ? video : audio).push_back(rendered);
      if (SUCCEEDED(d1) && SUCCEEDED(d2)) RemoveFilter(next);
    } else {
      hr = CollectRenderedPins(next, video, audio, depth + 1);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CGraphConverter::AddFrameChanger(int num, int den, CComPtr<IBaseFilter>& filter,
                                         CFrameRateChanger*& changer) {
  HRESULT hr = MakeFilter(filter, changer);
  if (FAILED(hr)) return hr;
  changer->SetFrameRate(num, den);
  return AddFilter(filter, L"Veyl Frame Changer");
}

HRESULT CGraphConverter::ConnectPlanar(IPin* pin, IBaseFilter* filter) {
  // The decoder's 4:2:0 types, in its own order, before any RGB one. Odd
  // sides have no whole chroma samples: such pictures go as RGB.
  CComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(&types)) || !types) return VFW_E_CANNOT_CONNECT;
  AM_MEDIA_TYPE* pmt = nullptr;
  HRESULT hr = VFW_E_CANNOT_CONNECT;
  for (int n = 0; n < 64 && FAILED(hr) && types->Next(1, &pmt, nullptr) == S_OK && pmt; ++n) {
    const GUID& s = pmt->subtype;
    const BITMAPINFOHEADER* bih = VideoBitmapHeader(*pmt);
    const bool even = bih && bih->biWidth % 2 == 0 && bih->biHeight % 2 == 0;
    if (even && (s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV))
      hr = ConnectPinToFilterDirect(pin, filter, pmt);
    DeleteMediaType(pmt);
    pmt = nullptr;
  }
  return hr;
}

HRESULT CGraphConverter::ConnectToFrameChanger(IPin* pin, IBaseFilter* filter, CFrameRateChanger* changer,
                                               bool planar) {
  changer->SetInputMode(1);
  changer->SetPlanarInput(planar);
  HRESULT hr = planar ? ConnectPlanar(pin, filter) : VFW_E_CANNOT_CONNECT;
  if (FAILED(hr)) hr = ConnectPinToFilterDirectEx(pin, filter, nullptr, true, true);
  if (FAILED(hr)) hr = ConnectThroughLayoutConverter(pin, filter);
  if (FAILED(hr)) {
    changer->SetInputMode(0);
    hr = ConnectPinToFilterDirect(pin, filter, nullptr);
  }
  if (FAILED(hr)) g_strConvertError = "Connect Video Decompressor to Frame Rate Changer Failed\n";
  return hr;
}

HRESULT CGraphConverter::ConnectThroughLayoutConverter(IPin* pin, IBaseFilter* changer) {
  // Uncompressed YUV that nothing upstream turns into RGB (a source that
  // makes its pictures itself): the platform's resizer, at the same size,
  // converts the layout.
  CMediaType mt;
  {
    CComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* first = nullptr;
    if (FAILED(pin->EnumMediaTypes(&types)) || !types || types->Next(1, &first, nullptr) != S_OK || !first)
      return VFW_E_CANNOT_CONNECT;
    mt.Set(*first);
    DeleteMediaType(first);
  }
  const GUID& s = mt.subtype;
  if (mt.majortype != MEDIATYPE_Video || !VideoBitmapHeader(mt) ||
      !(s == MEDIASUBTYPE_YUY2 || s == MEDIASUBTYPE_UYVY || s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_I420))
    return VFW_E_CANNOT_CONNECT;
  CComPtr<IBaseFilter> resizer;
  HRESULT hr = CoCreateInstance(CLSID_VideoResizer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&resizer));
  if (FAILED(hr) || !resizer) return FAILED(hr) ? hr : E_FAIL;
  hr = AddFilter(resizer, L"Resizer");
  if (FAILED(hr)) return hr;
  hr = ConnectPinToFilterDirect(pin, resizer, nullptr);
  IPin* out = FirstOutput(resizer);
  // It offers the layout it receives; RGB24 of the same size is asked for.
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  CMediaType rgb;
  if (SUCCEEDED(hr))
    hr = bih ? MakeRawVideoType(&rgb, RawVideo::RGB24, bih->biWidth, std::abs(bih->biHeight), VideoFrameTime(mt))
             : E_FAIL;
  if (SUCCEEDED(hr)) hr = out ? ConnectPinToFilterDirectEx(out, changer, &rgb, false, false) : E_FAIL;
  if (FAILED(hr)) {
    Disconnect(pin);
    RemoveFilter(resizer);
  }
  return hr;
}

HRESULT CGraphConverter::ConnectVideoToMuxer(IPin* pin, IBaseFilter* sink) {
  CComPtr<IBaseFilter> filter;
  CFrameRateChanger* changer = nullptr;
  HRESULT hr = AddFrameChanger(m_nRateNum, m_nRateDen, filter, changer);
  if (FAILED(hr)) return hr;
  m_pFrameChanger = filter;
  // The sinks read the decoder's 4:2:0 pictures themselves; the frame
  // changer converts only the frames it writes as pictures.
  hr = ConnectToFrameChanger(pin, filter, changer, true);
  if (FAILED(hr)) return hr;
  if (m_nImageMode > 0) {
    // The thumbnail is one of the job's files; the pictures of a series are
    // written under their own names.
    std::wstring path = m_strImagePath;
    if (m_nImageMode == CFrameRateChanger::kThumbnail) {
      std::string error;
      const std::string temp = m_pFiles->Reserve(Narrow(m_strImagePath), &error);
      if (temp.empty()) return Refuse(E_INVALIDARG, error);
      path = Wide(temp);
    } else {
      changer->SetPictureFiles(m_pFiles, m_bReplacePictures);
    }
    hr = changer->SetImageOutput(m_nImageMode, path.c_str(), m_nImageTime, m_nImageWidth, m_nImageHeight);
    if (FAILED(hr))
      return Refuse(hr, "The frame changer refused the picture output (interval or time " + std::to_string(m_nImageTime) +
                            " ms, " + std::to_string(m_nImageWidth) + "x" + std::to_string(m_nImageHeight) + ")\n");
  }
  IPin* out = FirstOutput(filter);
  IPin* in = GetFirstUnconnectedPin(sink, PINDIR_INPUT);
  hr = out && in ? ConnectDirect(out, in, nullptr) : VFW_E_NOT_FOUND;
  if (FAILED(hr)) g_strConvertError = "Connect video stream to Muxer Failed, seems no suitable video decoder\n";
  return hr;
}

HRESULT CGraphConverter::ConnectAudioToMuxer(IPin* pin, IBaseFilter* sink) {
  CComPtr<IPin> from(pin);
  HRESULT hr = S_OK;
  if (OffersOnlyOtherPcm(pin)) {
    CComPtr<IBaseFilter> resample;
    hr = CoCreateInstance(CLSID_ACMWrapper, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          reinterpret_cast<void**>(&resample));
    if (SUCCEEDED(hr)) hr = AddFilter(resample, L"PCM Resample");
    if (SUCCEEDED(hr)) hr = ConnectPinToFilterDirect(pin, resample, nullptr);
    if (SUCCEEDED(hr)) {
      from = FirstOutput(resample);
      if (!from) hr = E_FAIL;
    }
  }
  if (SUCCEEDED(hr)) hr = ConnectPinToFilterDirect(from, sink, nullptr);
  if (FAILED(hr)) g_strConvertError = "Connect audio stream to Muxer Failed\n";
  return hr;
}

HRESULT CGraphConverter::ConnectVideoToCompressor(IPin* pin, IBaseFilter* sink, bool keepRate) {
  CComPtr<IBaseFilter> filter;
  CFrameRateChanger* changer = nullptr;
  HRESULT hr = AddFrameChanger(keepRate ? 0 : m_nRateNum, keepRate ? 0 : m_nRateDen, filter, changer);
  if (FAILED(hr)) return hr;
  m_pFrameChanger = filter;
  // The writer encodes 4:2:0 and the resizer scales it as it is: the
  // decoder's own planes go through, with no RGB stage on the way.
  hr = ConnectToFrameChanger(pin, filter, changer, true);
  if (FAILED(hr)) return hr;

  CMediaType mt;
  hr = pin->ConnectionMediaType(&mt);
  if (SUCCEEDED(hr)) {
    CComPtr<IPin> peer;
    pin->ConnectedTo(&peer);
    Disconnect(pin);
    if (peer) Disconnect(peer);
    hr = ConnectWithResizer(pin, filter, &mt, true, false);
  }
  if (FAILED(hr)) {
    g_strConvertError = "Connect Video Decompressor to Frame Rate Changer with resizer Failed\n";
    return hr;
  }

  CComPtr<IBaseFilter> checker;
  CMediaTimeChecker* timer = nullptr;
  hr = MakeFilter(checker, timer);
  if (SUCCEEDED(hr)) hr = AddFilter(checker, L"Media VTimer");
  IPin* out = FirstOutput(filter);
  if (SUCCEEDED(hr)) hr = out ? ConnectPinToFilterDirect(out, checker, nullptr) : E_FAIL;
  if (FAILED(hr)) {
    g_strConvertError = "Connect Frame Rate Changer to Media VTimer Failed\n";
    return hr;
  }
  IPin* timed = FirstOutput(checker);
  hr = timed ? ConnectPinToFilterDirect(timed, sink, nullptr) : E_FAIL;
  if (FAILED(hr)) g_strConvertError = "Connect video stream to Muxer Failed\n";
  return hr;
}

// ---------------------------------------------------------------------------
// Sinks

namespace {

// The muxer refuses values it cannot write; converting anyway would give a
// file at another rate, size or codec than the job asked for.
HRESULT Refused(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) g_strConvertError = "Muxer refused the " + what + "\n";
  return hr;
}

}  // namespace

HRESULT CGraphConverter::CreateMpegMuxer(const std::string& target, CComPtr<IBaseFilter>& sink) {
  CMpegMuxer* muxer = nullptr;
  HRESULT hr = MakeFilter(sink, muxer);
  if (FAILED(hr)) return hr;
  hr = AddFilter(sink, L"Veyl Mpeg Muxer");
  if (FAILED(hr)) return hr;
  if (m_nSplitSize) muxer->SetSplitSize(m_nSplitSize);  // 0 keeps one file, the muxer's own default
  if (FAILED(hr = Refused(muxer->SetFileName(target), "output file name " + target))) return hr;
  muxer->SetJobFiles(m_pFiles);
  if (m_nMpegKind == 0 || m_nMpegKind == 1) {
    if (FAILED(hr = Refused(muxer->SetFormatIndex(m_nMpegKind == 0 ? 0 : 1), "format"))) return hr;
    if (FAILED(hr = Refused(muxer->SetVideoSize(m_nWidth, m_nHeight),
                            "video size " + std::to_string(m_nWidth) + "x" + std::to_string(m_nHeight))))
      return hr;
    if (FAILED(hr = Refused(muxer->SetFrameRate(m_nRateNum, m_nRateDen),
                            "frame rate " + std::to_string(m_nRateNum) + "/" + std::to_string(m_nRateDen))))
      return hr;
  } else {
    static const unsigned kIndex[] = {2, 4, 6};
    unsigned index = kIndex[std::min(std::max(m_nMpegKind - 2, 0), 2)] + (m_nNtsc ? 1 : 0);
    if (FAILED(hr = Refused(muxer->SetFormatIndex(index), "format"))) return hr;
    // The disc's standard size, or the larger one its job chose.
    if (FAILED(hr = Refused(muxer->SetVideoSize(m_nWidth, m_nHeight),
                            "video size " + std::to_string(m_nWidth) + "x" + std::to_string(m_nHeight))))
      return hr;
  }
  return S_OK;
}

HRESULT CGraphConverter::CreateMp4Muxer(const std::string& target, bool withVideo, CComPtr<IBaseFilter>& sink) {
  // A codec the container has no place for would fail only once the file
  // is opened, with the graph running.
  const char* container = !withVideo                ? nullptr
                          : m_strFormatName.empty() ? CEncoderEngine::ProfileFormatName(m_nProfile)
                                                    : m_strFormatName.c_str();
  std::string refusal;
  HRESULT hr = container ? CEncoderEngine::CheckVideoFits(container, m_strVideoCodec, &refusal) : S_OK;
  if (FAILED(hr)) return refusal.empty() ? hr : Refuse(hr, refusal);
  CMpegMuxer* muxer = nullptr;
  hr = MakeFilter(sink, muxer);
  if (FAILED(hr)) return hr;
  hr = AddFilter(sink, L"Veyl MP4 Muxer");
  if (FAILED(hr)) return hr;
  // No split for these containers: the muxer's own default is one file.
  if (!m_strFormatName.empty())
    hr = Refused(muxer->SetFormatName(m_strFormatName), "format " + m_strFormatName);
  else
    hr = Refused(muxer->SetProfile(unsigned(m_nProfile)), "profile " + std::to_string(m_nProfile));
  if (FAILED(hr)) return hr;
  if (FAILED(hr = Refused(muxer->SetVideoCodec(m_strVideoCodec, m_nVideoKbps), "video codec " + m_strVideoCodec)))
    return hr;
  if (FAILED(hr = Refused(muxer->SetAudioCodec(m_strAudioCodec, m_nAudioKbps, m_nSampleRate, m_nChannels),
                          "audio codec " + m_strAudioCodec)))
    return hr;
  if (FAILED(hr = Refused(muxer->SetFileName(target), "output file name " + target))) return hr;
  muxer->SetJobFiles(m_pFiles);
  if (FAILED(hr = Refused(muxer->SetVideoSize(m_nWidth, m_nHeight),
                          "video size " + std::to_string(m_nWidth) + "x" + std::to_string(m_nHeight))))
    return hr;
  if (FAILED(hr = Refused(muxer->SetFrameRate(m_nRateNum, m_nRateDen),
                          "frame rate " + std::to_string(m_nRateNum) + "/" + std::to_string(m_nRateDen))))
    return hr;
  if (!m_strBaseName.empty()) muxer->SetOutputText(m_strBaseName);
  // A picture job's sound is as long as its pictures.
  if (!m_astrPictures.empty())
    muxer->SetStreamLength(std::llround(m_dPictureSeconds * 10000000.0) * static_cast<REFERENCE_TIME>(m_astrPictures.size()));
  muxer->SetFrameRect(m_rcFrame[0], m_rcFrame[2], m_rcFrame[1], m_rcFrame[3], m_bResize);
  return S_OK;
}

HRESULT CGraphConverter::CreateAsfWriter(const std::string& target, int profileIndex, CComPtr<IBaseFilter>& sink) {
  HRESULT hr = CoCreateInstance(CLSID_WMAsfWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&sink));
  if (SUCCEEDED(hr) && !sink) hr = E_FAIL;
  if (FAILED(hr)) {
    g_strConvertError = "Can't create asf writer\n";
    return hr;
  }
  std::wstring wtarget = Wide(target);
  hr = AddFilter(sink, wtarget.c_str());
  if (FAILED(hr)) return hr;
  CComQIPtr<IFileSinkFilter2> fileSink(sink.p);
  if (!fileSink) return E_NOINTERFACE;
  // The writer writes the target under a name of the job's files.
  std::string error;
  const std::string temp = m_pFiles->Reserve(target, &error);
  if (temp.empty()) return Refuse(E_INVALIDARG, error);
  if (FAILED(hr = fileSink->SetFileName(Wide(temp).c_str(), nullptr))) return hr;
  if (FAILED(hr = fileSink->SetMode(AM_FILE_OVERWRITE))) return hr;
  if (profileIndex >= 0) {
    // A profile start-up could not load has no interface to configure with.
    if (size_t(profileIndex) >= g_WMProfiles.size() || !g_WMProfiles[size_t(profileIndex)].profile) {
      g_strConvertError = "Invalid Windows Media profile\n";
      return E_INVALIDARG;
    }
    CComQIPtr<IConfigAsfWriter> config(sink.p);
    if (!config) return E_NOINTERFACE;
    hr = config->ConfigureFilterUsingProfile(g_WMProfiles[size_t(profileIndex)].profile);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Builders

std::string CGraphConverter::TargetBaseName(const std::string& target) {
  // The point is looked for in the file name only, so that a point in a
  // folder name cannot cut the name short.
  size_t sep = target.find_last_of("/\\");
  std::string name = sep == std::string::npos ? target : target.substr(sep + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

HRESULT CGraphConverter::AddPictureList(const std::string& target, CComPtr<IBaseFilter>& source, PinList& video,
                                        PinList& audio) {
  // Nothing the job reads may be what it writes.
  for (const std::string& picture : m_astrPictures)
    if (IsSameFileOnDisk(picture, target)) return Refuse(E_INVALIDARG, "The target is a picture of the list: " + target + "\n");
  if (IsSameFileOnDisk(m_strSoundFile, target))
    return Refuse(E_INVALIDARG, "The target is the sound file itself: " + target + "\n");

  CPictureListSource* pictures = nullptr;
  HRESULT hr = MakeFilter(source, pictures);
  if (FAILED(hr)) return hr;
  std::string error;
  hr = pictures->SetPictures(m_astrPictures, m_nPictureWidth, m_nPictureHeight, m_dPictureSeconds, m_nRateNum,
                             m_nRateDen, error);
  if (FAILED(hr)) return Refuse(hr, error);
  if (FAILED(hr = AddFilter(source, L"Picture List Source"))) return hr;
  m_pPictureSource = source;
  video.push_back(RenderedPin{CComPtr<IPin>(FirstOutput(source)), MEDIATYPE_Video, m_nPictureWidth, m_nPictureHeight});
  if (!m_nWidth || !m_nHeight) m_nWidth = m_nPictureWidth & ~1, m_nHeight = m_nPictureHeight & ~1;
  if (m_strSoundFile.empty()) return S_OK;

  // The sound file is rendered as any source; only its sound is taken.
  if (FAILED(hr = CheckSourceFile(m_strSoundFile))) return hr;
  const std::string unreadable = "The sound file cannot be read: " + m_strSoundFile + "\n";
  const std::wstring wsound = Wide(m_strSoundFile);
  CComPtr<IBaseFilter> sound;
  DWORD format = 0;
  hr = AddSourceFilterWithFormat(wsound.c_str(), wsound.c_str(), &sound, &format);
  PinList soundVideo;
  if (SUCCEEDED(hr) && sound) hr = RenderSourceAndCollectPins(sound, soundVideo, audio);
  if (FAILED(hr) || !sound) return Refuse(FAILED(hr) ? hr : E_FAIL, unreadable);
  for (const RenderedPin& p : soundVideo) RemoveUnusedChain(p.pin, sound);
  if (audio.empty()) return Refuse(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "The sound file holds no sound: " + m_strSoundFile + "\n");
  return S_OK;
}

HRESULT CGraphConverter::Build(const std::string& source, const std::string& target, Sink sinkKind,
                               int profileIndex, DWORD ffdshowFormats) {
  CComPtr<IBaseFilter> src;
  DWORD format = 0;
  PinList video, audio;
  HRESULT hr = S_OK;
  if (!m_astrPictures.empty()) {
    if (sinkKind != Sink::Pictures && FAILED(hr = CheckTargetFile(target))) return hr;
    if (FAILED(hr = AddPictureList(target, src, video, audio))) return hr;
  } else {
    hr = CheckSourceFile(source);
    if (FAILED(hr)) return hr;
    m_pFiles->SetSource(source);
    // The target, and a thumbnail beside it, must not be the source.
    // The target must not be the source under another name (another path,
    // a link): writing it would destroy what is being read.
    if (IsSameFileOnDisk(source, target) ||
        (m_nImageMode == 1 && IsSameFileOnDisk(source, Narrow(m_strImagePath))))
      return Refuse(E_INVALIDARG, "The target is the source file itself: " + target + "\n");
    if (sinkKind != Sink::Pictures && FAILED(hr = CheckTargetFile(target))) return hr;

    std::wstring wsource = Wide(source);
    TakeSourceRefusal();  // an earlier file's
    hr = AddSourceFilterWithFormat(wsource.c_str(), wsource.c_str(), &src, &format);
    // Why no source read the file, when the one of its format said so.
    auto unreadable = [&source] {
      std::string refusal = TakeSourceRefusal();
      return refusal.empty() ? "The file's format is not one the program reads: " + source + "\n" : refusal;
    };
    if (FAILED(hr) && g_strConvertError.empty()) g_strConvertError = unreadable();
    if (FAILED(hr)) return hr;
    if (!src) return E_FAIL;

    hr = RenderSourceAndCollectPins(src, video, audio);
    if (FAILED(hr) && g_strConvertError.empty()) {
      // Streams that no decoder takes, each by its name (with the note a
      // stream without a decoder gets).
      const std::string undecoded = UndecodedVideoText(src) + UndecodedSoundText(src);
      if (!undecoded.empty()) {
        hr = Refuse(VFW_E_NO_DECOMPRESSOR, undecoded);
        if (format & ffdshowFormats) g_strConvertError += kFfdshowNote;
        return hr;
      }
      g_strConvertError = unreadable();
    }
    if (FAILED(hr)) return hr;
  }

  // An output size of 0 keeps the source's picture size (made even for the
  // encoders' chroma planes).
  if (!m_nWidth || !m_nHeight) {
    for (const RenderedPin& p : video) {
      if (NameHasSubtitle(p.pin) || p.major != MEDIATYPE_Video || p.width < 2 || p.height < 2) continue;
      m_nWidth = p.width & ~1;
      m_nHeight = p.height & ~1;
      break;
    }
  }

  bool withVideo = false;
  for (const RenderedPin& p : video) withVideo = withVideo || (!NameHasSubtitle(p.pin) && p.major == MEDIATYPE_Video);
  // A source without picture gives no size to keep: the muxer would refuse
  // a size of 0x0, which says nothing of the cause.
  if ((sinkKind == Sink::Mpeg || sinkKind == Sink::Mp4) && !withVideo && (!m_nWidth || !m_nHeight)) {
    g_strConvertError = "No Video Stream";
    return E_FAIL;
  }

  CComPtr<IBaseFilter> sink;
  switch (sinkKind) {
    case Sink::Mpeg: hr = CreateMpegMuxer(target, sink); break;
    case Sink::Mp4: hr = CreateMp4Muxer(target, withVideo, sink); break;
    case Sink::Asf: hr = CreateAsfWriter(target, profileIndex, sink); break;
    case Sink::Pictures: {
      CFastNullMuxer* muxer = nullptr;
      hr = MakeFilter(sink, muxer);
      if (SUCCEEDED(hr)) hr = AddFilter(sink, L"Fast Null Muxer");
      break;
    }
  }

  m_pSink = sink;
  bool videoConnected = false;
  if (SUCCEEDED(hr)) {
    for (const RenderedPin& p : video) {
      // A text or picture stream a renderer took is no video to convert.
      if (NameHasSubtitle(p.pin) || p.major != MEDIATYPE_Video) continue;
      hr = sinkKind == Sink::Asf ? ConnectVideoToCompressor(p.pin, sink, true) : ConnectVideoToMuxer(p.pin, sink);
      videoConnected = SUCCEEDED(hr);
      break;
    }
  }
  video.clear();
  // Pictures come only from a video stream; without one the job would end
  // with nothing written and report success.
  if (SUCCEEDED(hr) && sinkKind == Sink::Pictures && !videoConnected) {
    g_strConvertError = "No Video Stream";
    hr = E_FAIL;
  }
  // A video stream the source has but no decoder took would be left out
  // of the target without a word.
  if (SUCCEEDED(hr) && !videoConnected)
    if (std::string why = UndecodedVideoText(src); !why.empty()) hr = Refuse(VFW_E_NO_DECOMPRESSOR, why);
  if (SUCCEEDED(hr) && audio.empty() && sinkKind != Sink::Pictures) hr = CheckSoundDecoded(src);
  // The sinks take one sound stream: a source with several (an AVI file
  // with two languages) gives its first. The others leave the graph, so
  // that no stream is decoded into nothing (a stream whose delivery fails
  // would end the job as failed).
  size_t used = 0;
  if (!audio.empty() && hr == S_OK) hr = ConnectAudioToMuxer(audio[used++].pin, sink);
  if (SUCCEEDED(hr))
    for (size_t i = used; i < audio.size(); ++i) RemoveUnusedChain(audio[i].pin, src);
  audio.clear();

  if (FAILED(hr) && (format & ffdshowFormats)) g_strConvertError += kFfdshowNote;
  return hr;
}

HRESULT CGraphConverter::CheckSoundDecoded(IBaseFilter* source) {
  // A source with sound of which no stream reached a decoder would give a
  // target with silence in its place.
  const std::string why = UndecodedSoundText(source);
  return why.empty() ? S_OK : Refuse(VFW_E_NO_DECOMPRESSOR, why);
}

void CGraphConverter::RemoveUnusedChain(IPin* out, IBaseFilter* source) {
  // From the unused output upstream: each filter whose outputs all stand
  // unconnected goes, up to the source. Bounded against a graph with a loop.
  IBaseFilter* filter = GetFilterFromPin(out);
  for (int depth = 0; filter && filter != source && depth < 64; ++depth) {
    CComPtr<IBaseFilter> hold(filter);
    CComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(&pins)) || !pins) return;
    std::vector<CComPtr<IPin>> inputs;
    for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
      PIN_DIRECTION dir;
      CComPtr<IPin> peer;
      if (FAILED(pin->QueryDirection(&dir))) return;
      const bool connected = SUCCEEDED(pin->ConnectedTo(&peer)) && peer;
      if (dir == PINDIR_OUTPUT && connected) return;  // still feeds something
      if (dir == PINDIR_INPUT && connected) inputs.push_back(pin);
    }
    IBaseFilter* upstream = nullptr;
    for (IPin* in : inputs) {
      CComPtr<IPin> peer;
      in->ConnectedTo(&peer);
      if (peer) {
        upstream = GetFilterFromPin(peer);
        Disconnect(peer);
      }
      Disconnect(in);
    }
    RemoveFilter(filter);
    filter = upstream;
  }
}

HRESULT CGraphConverter::BuildMpegGraph(const std::string& source, const std::string& target, int kind) {
  m_nMpegKind = kind;
  return Build(source, target, Sink::Mpeg, -1, SourceFormat_AVI);
}

HRESULT CGraphConverter::BuildVcdGraph(const std::string& source, const std::string& target, int ntsc,
                                       int discKind, int larger) {
  if (ntsc) SetFrameRate(30000, 1001);
  else SetFrameRate(25, 1);
  static const int kWidth[] = {352, 480, 720};
  discKind = std::min(std::max(discKind, 0), 2);
  const bool wide = larger && discKind < 2;
  SetOutputSize(wide ? 704 : kWidth[discKind], discKind == 0 && !wide ? (ntsc ? 240 : 288) : (ntsc ? 480 : 576));
  m_nNtsc = ntsc;
  return BuildMpegGraph(source, target, discKind + 2);
}

namespace {
constexpr DWORD kCodecPackageFormats =
    SourceFormat_AVI | SourceFormat_MP4 | SourceFormat_Ogg | SourceFormat_FLV | SourceFormat_Matroska;
}

HRESULT CGraphConverter::BuildMP4Graph(const std::string& source, const std::string& target, int profile) {
  m_nProfile = profile;
  m_strBaseName = TargetBaseName(target);
  return Build(source, target, Sink::Mp4, -1, kCodecPackageFormats);
}

HRESULT CGraphConverter::BuildAviFlvGraph(const std::string& source, const std::string& target,
                                          const std::string& format) {
  m_strFormatName = format;
  return Build(source, target, Sink::Mp4, -1, kCodecPackageFormats);
}

HRESULT CGraphConverter::BuildPicturesGraph(const std::string& source, const std::string& folder, int interval,
                                            int width, int height) {
  SetImageOutput(CFrameRateChanger::kSeries, Wide(folder), interval, width, height);
  HRESULT hr = Build(source, std::string(), Sink::Pictures, -1, kCodecPackageFormats);
  if (FAILED(hr) || interval <= 0) return hr;
  // Taken names fail the job before it writes a picture.
  CComQIPtr<IMediaSeeking> seeking(m_pSink.p);
  LONGLONG duration = 0;
  if (!seeking || FAILED(seeking->GetDuration(&duration))) duration = 0;
  const long count = SeriesPictureCount(static_cast<double>(duration) / 10000000.0, interval);
  std::string error;
  const std::string taken = FirstTakenPicture(folder, count, source, m_bReplacePictures, &error);
  if (!taken.empty()) return Refuse(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), error);
  return hr;
}

HRESULT CGraphConverter::BuildAsfGraph(const std::string& source, const std::string& target, int profileIndex) {
  return Build(source, target, Sink::Asf, profileIndex, kCodecPackageFormats);
}
