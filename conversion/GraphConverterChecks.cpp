#include "conversion/GraphConverterChecks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "conversion/ConvertOpt.h"
#include "conversion/GraphConverter.h"
#include "foundation/FilterHelpers.h"
#include "platform/dshow/QueuedSink.h"
#include "platform/win32/ErrorText.h"
#include "platform/win32/File.h"
#include "splitters/matroska/MatroskaMediaTypes.h"

namespace {

using ConverterChecks::NameHasSubtitle;

// How a failure text names a stream that no decoder took.
constexpr const char* kUndecoded = ") could not be decoded";

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

// "sound stream of the source (AC-3)": the source's first stream of a
// kind by its format; empty when it has none.
std::string SourceStreamName(IBaseFilter* source, bool video) {
  CMediaType type;
  if (!FirstSourceType(source, video, &type)) return {};
  return std::string(video ? "video" : "sound") + " stream of the source (" + StreamFormatName(type) + ")";
}

}  // namespace

namespace ConverterChecks {

HRESULT Refuse(HRESULT hr, const std::string& text) {
  g_strConvertError = text;
  return hr;
}

bool NameHasSubtitle(IPin* pin) {
  std::wstring name = GetPinName(pin);
  for (wchar_t& c : name)
    if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
  return name.find(L"subtitle") != std::wstring::npos;
}

namespace {

// The cause first: a file the user may not read is no damaged movie.
HRESULT CannotRead(const std::string& source, DWORD error) {
  if (!error) error = ERROR_ACCESS_DENIED;
  if (error == ERROR_ACCESS_DENIED)
    return Refuse(HRESULT_FROM_WIN32(error), "Access was denied: the user may not read the source file " + source + "\n");
  return Refuse(HRESULT_FROM_WIN32(error),
                "The source file cannot be read: " + source + " (" + SystemErrorText(HRESULT_FROM_WIN32(error)) + ")\n");
}

}  // namespace

// The reason goes into the failure text, which "no source filter" alone
// would not give.
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
    return CannotRead(source, error);
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
    return CannotRead(source, GetLastError());
  }
  CloseHandle(file);
  return S_OK;
}

// Said before the graph is built.
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

// Pack and PES types count only with a video subtype: a raw AC-3 or DTS
// source offers its sound in those wrappers too.
// A stream whose decoder refused it for its set-up data (codec headers)
// is damaged, not of a format no decoder reads.
std::string DamagedSetupText(bool video, const CMediaType& type) {
  return std::string("The ") + (video ? "video" : "sound") + " stream of the source (" + StreamFormatName(type) +
         ") is damaged: its decoder set-up data (the codec headers) does not read, so it cannot be decoded\n";
}

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
  const CMediaType& type = FirstSourceType(source, true, &first) ? first : videoType;
  if (RefusedAsDamaged(type.subtype)) return DamagedSetupText(true, type);
  return "The video stream of the source (" + StreamFormatName(type) + kUndecoded + "\n";
}

std::string UndecodedSoundText(IBaseFilter* source) {
  CMediaType type;
  if (!FirstSourceType(source, false, &type)) return {};
  if (RefusedAsDamaged(type.subtype)) return DamagedSetupText(false, type);
  return "The " + SourceStreamName(source, false) + " could not be decoded\n";
}

void NameSinkStreams(IBaseFilter* sink, IBaseFilter* source) {
  CComPtr<IEnumPins> pins;
  if (!sink || !source || FAILED(sink->EnumPins(&pins)) || !pins) return;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
    auto* input = dynamic_cast<CQueuedInputPin*>(pin.p);
    if (!input) continue;
    const std::string name = SourceStreamName(source, input->IsVideo());
    if (!name.empty()) input->SetStreamName(name);
  }
}

// The file reader names a file that begins with a sequence header an MPEG video stream:
// the MPEG source reads program, transport and PES streams only, so a bare
// picture stream is read through a DVD2AVI project of it.
std::string BytesOnlyReason(IBaseFilter* source) {
  // The source of the file's format knew it and said why it refused it.
  if (std::string refusal = TakeSourceRefusal(); !refusal.empty()) return refusal;
  bool videoStream = false;
  CComPtr<IEnumMediaTypes> types;
  AM_MEDIA_TYPE* pmt = nullptr;
  IPin* out = GetFirstPinByDirection(source, PINDIR_OUTPUT);
  if (out && SUCCEEDED(out->EnumMediaTypes(&types)) && types && types->Next(1, &pmt, nullptr) == S_OK && pmt) {
    videoStream = pmt->majortype == MEDIATYPE_Stream && pmt->subtype == MEDIASUBTYPE_MPEG1Video;
    DeleteMediaType(pmt);
  }
  if (videoStream)
    return "The file is a bare MPEG video stream, outside any program or transport stream; no source reads it. "
           "Open a DVD2AVI project (.d2v) of it instead.\n";
  // Nothing here knows the file: the caller's own words say it.
  return std::string();
}

std::string CodecNote(const std::string& failure) {
  std::string formats;
  for (size_t end = failure.find(kUndecoded); end != std::string::npos; end = failure.find(kUndecoded, end + 1)) {
    const size_t open = failure.rfind('(', end);
    if (open != std::string::npos) formats += (formats.empty() ? "" : " and ") + failure.substr(open + 1, end - open - 1);
  }
  if (formats.empty()) return std::string();
  return " Pellomar decodes with its own decoders, and none of them reads " + formats + "; no codec package adds one";
}

const char* PictureNeededBy(int profile, int mpegKind) {
  if (profile == PROFILE_PSP) return "A PSP movie";
  static const char* const kDiscs[] = {"A VCD", "An SVCD", "A DVD"};
  if (mpegKind >= 2 && mpegKind <= 4) return kDiscs[mpegKind - 2];
  return nullptr;
}

const char* TargetMovieName(const std::string& formatName, int profile, int mpegKind) {
  if (formatName == "avi") return "An AVI movie";
  if (formatName == "flv") return "An FLV movie";
  if (formatName == "swf") return "An SWF movie";
  static const char* const kProfiles[] = {"A 3GP movie", "A 3G2 movie", "A PSP movie",
                                          "An iPod movie", "An MP4 movie", "A QuickTime movie"};
  if (profile >= 0 && profile < static_cast<int>(std::size(kProfiles))) return kProfiles[profile];
  if (const char* disc = mpegKind >= 2 ? PictureNeededBy(-1, mpegKind) : nullptr) return disc;
  return "An MPEG movie";
}

}  // namespace ConverterChecks
