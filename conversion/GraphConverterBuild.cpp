// The graph builders, one per target kind, on one common shape: the source
// (or a picture list), its decoded streams, a sink and the checks that no
// stream the source has is left out without a word.
#include "conversion/GraphConverter.h"

#include <algorithm>
#include <cmath>

#include "conversion/EncoderEngine.h"
#include "conversion/FastNullMuxer.h"
#include "conversion/FrameRateChanger.h"
#include "conversion/GraphConverterChecks.h"
#include "conversion/JobFiles.h"
#include "conversion/MpegMuxer.h"
#include "foundation/FilterFactory.h"
#include "foundation/FilterHelpers.h"
#include "platform/win32/CodePage.h"
#include "platform/wmf/AsfWriter.h"
#include "sources/pictures/PictureListSource.h"

using namespace ConverterChecks;

namespace {

// The muxer refuses values it cannot write; converting anyway would give a
// file at another rate, size or codec than the job asked for.
HRESULT Refused(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) g_strConvertError = "Muxer refused the " + what + "\n";
  return hr;
}

HRESULT SetMuxerSize(CMpegMuxer* muxer, int width, int height) {
  return Refused(muxer->SetVideoSize(width, height),
                 "video size " + std::to_string(width) + "x" + std::to_string(height));
}

HRESULT SetMuxerRate(CMpegMuxer* muxer, int num, int den) {
  return Refused(muxer->SetFrameRate(num, den), "frame rate " + std::to_string(num) + "/" + std::to_string(den));
}

}  // namespace

// ---------------------------------------------------------------------------
// Sinks

HRESULT CGraphConverter::CreateMpegMuxer(const std::string& target, CComPtr<IBaseFilter>& sink) {
  CMpegMuxer* muxer = nullptr;
  HRESULT hr = NewFilter(sink, muxer);
  if (FAILED(hr)) return hr;
  hr = AddFilter(sink, L"Veyl Mpeg Muxer");
  if (FAILED(hr)) return hr;
  if (m_nSplitSize) muxer->SetSplitSize(m_nSplitSize);  // 0 keeps one file, the muxer's own default
  if (FAILED(hr = Refused(muxer->SetFileName(target), "output file name " + target))) return hr;
  muxer->SetJobFiles(m_pFiles);
  if (FAILED(hr = Refused(muxer->SetPictureTurn(m_nTurn), "picture turn"))) return hr;
  if (m_nMpegKind == 0 || m_nMpegKind == 1) {
    if (FAILED(hr = Refused(muxer->SetFormatIndex(m_nMpegKind == 0 ? 0 : 1), "format"))) return hr;
    if (FAILED(hr = SetMuxerSize(muxer, m_nWidth, m_nHeight))) return hr;
    if (FAILED(hr = SetMuxerRate(muxer, m_nRateNum, m_nRateDen))) return hr;
  } else {
    static const unsigned kIndex[] = {2, 4, 6};
    unsigned index = kIndex[std::min(std::max(m_nMpegKind - 2, 0), 2)] + (m_nNtsc ? 1 : 0);
    if (FAILED(hr = Refused(muxer->SetFormatIndex(index), "format"))) return hr;
    // The disc's standard size, or the larger one its job chose.
    if (FAILED(hr = SetMuxerSize(muxer, m_nWidth, m_nHeight))) return hr;
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
  hr = NewFilter(sink, muxer);
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
  if (FAILED(hr = Refused(muxer->SetPictureTurn(m_nTurn), "picture turn"))) return hr;
  if (FAILED(hr = SetMuxerSize(muxer, m_nWidth, m_nHeight))) return hr;
  if (FAILED(hr = SetMuxerRate(muxer, m_nRateNum, m_nRateDen))) return hr;
  if (!m_strBaseName.empty()) muxer->SetOutputText(m_strBaseName);
  // A picture job's sound is as long as its pictures.
  if (!m_astrPictures.empty())
    muxer->SetStreamLength(std::llround(m_dPictureSeconds * UNITS) *
                           static_cast<REFERENCE_TIME>(m_astrPictures.size()));
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
  std::wstring wtarget = Utf8ToWide(target);
  hr = AddFilter(sink, wtarget.c_str());
  if (FAILED(hr)) return hr;
  CComQIPtr<IFileSinkFilter2> fileSink(sink.p);
  if (!fileSink) return E_NOINTERFACE;
  // The writer writes the target under a name of the job's files.
  std::string error;
  const std::string temp = m_pFiles->Reserve(target, &error);
  if (temp.empty()) return Refuse(E_INVALIDARG, error);
  if (FAILED(hr = fileSink->SetFileName(Utf8ToWide(temp).c_str(), nullptr))) return hr;
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
  HRESULT hr = NewFilter(source, pictures);
  if (FAILED(hr)) return hr;
  std::string error;
  hr = pictures->SetPictures(m_astrPictures, m_nPictureWidth, m_nPictureHeight, m_dPictureSeconds, m_nRateNum,
                             m_nRateDen, error);
  if (FAILED(hr)) return Refuse(hr, error);
  if (FAILED(hr = AddFilter(source, L"Picture List Source"))) return hr;
  video.push_back(RenderedPin{CComPtr<IPin>(GetFirstPinByDirection(source, PINDIR_OUTPUT)), MEDIATYPE_Video,
                              m_nPictureWidth, m_nPictureHeight});
  if (!m_nWidth || !m_nHeight) m_nWidth = m_nPictureWidth & ~1, m_nHeight = m_nPictureHeight & ~1;
  if (m_strSoundFile.empty()) return S_OK;

  // The sound file is rendered as any source; only its sound is taken.
  if (FAILED(hr = CheckSourceFile(m_strSoundFile))) return hr;
  const std::string unreadable = "The sound file cannot be read: " + m_strSoundFile + "\n";
  const std::wstring wsound = Utf8ToWide(m_strSoundFile);
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
        (m_nImageMode == 1 && IsSameFileOnDisk(source, WideToUtf8(m_strImagePath))))
      return Refuse(E_INVALIDARG, "The target is the source file itself: " + target + "\n");
    if (sinkKind != Sink::Pictures && FAILED(hr = CheckTargetFile(target))) return hr;

    std::wstring wsource = Utf8ToWide(source);
    TakeSourceRefusal();  // an earlier file's
    hr = AddSourceFilterWithFormat(wsource.c_str(), wsource.c_str(), &src, &format);
    // Why no source read the file: as the source of its format said, or as
    // the format the program knows it by (which it then does not support).
    auto unreadable = [&source](HRESULT* hr) {
      std::string refusal = TakeSourceRefusal();
      if (refusal.empty()) return "The file's format is not one the program reads: " + source + "\n";
      if (*hr == VFW_E_CANNOT_RENDER) *hr = VFW_E_UNSUPPORTED_STREAM;
      return refusal;
    };
    if (FAILED(hr) && g_strConvertError.empty()) g_strConvertError = unreadable(&hr);
    if (FAILED(hr)) return hr;
    if (!src) return E_FAIL;

    hr = RenderSourceAndCollectPins(src, video, audio);
    if (FAILED(hr) && g_strConvertError.empty()) {
      // Streams that no decoder takes, each by its name (with the note a
      // stream without a decoder gets).
      const std::string undecoded = UndecodedVideoText(src) + UndecodedSoundText(src);
      if (!undecoded.empty()) {
        hr = Refuse(VFW_E_NO_DECOMPRESSOR, undecoded);
        if (format & ffdshowFormats) g_strConvertError += CodecNote(g_strConvertError);
        return hr;
      }
      g_strConvertError = unreadable(&hr);
    }
    if (FAILED(hr)) return hr;
  }

  // The video converted is the first one: its pictures are written upright,
  // as its source says they are shown.
  for (const RenderedPin& p : video) {
    if (NameHasSubtitle(p.pin) || p.major != MEDIATYPE_Video) continue;
    m_nTurn = UpstreamPictureTurn(p.pin);
    if (m_nTurn)
      m_strTurnNote = "The picture is turned " + std::to_string(m_nTurn) +
                      " degrees clockwise to be shown upright, as the source says: its " + std::to_string(p.width) +
                      "x" + std::to_string(p.height) + " pictures are written " +
                      (m_nTurn == 180 ? std::to_string(p.width) + "x" + std::to_string(p.height)
                                      : std::to_string(p.height) + "x" + std::to_string(p.width)) +
                      " before the target's size.\n";
    break;
  }
  // An output size of 0 keeps the source's picture size as it is shown
  // (made even for the encoders' chroma planes).
  if (!m_nWidth || !m_nHeight) {
    for (const RenderedPin& p : video) {
      if (NameHasSubtitle(p.pin) || p.major != MEDIATYPE_Video || p.width < 2 || p.height < 2) continue;
      const bool sideways = m_nTurn == 90 || m_nTurn == 270;
      m_nWidth = (sideways ? p.height : p.width) & ~1;
      m_nHeight = (sideways ? p.width : p.height) & ~1;
      break;
    }
  }

  bool withVideo = false;
  for (const RenderedPin& p : video) withVideo = withVideo || (!NameHasSubtitle(p.pin) && p.major == MEDIATYPE_Video);
  // A video stream that no decoder took is the cause of whatever a target
  // without a picture would say next: it is named first.
  if (!withVideo && m_astrPictures.empty())
    if (std::string why = UndecodedVideoText(src); !why.empty()) {
      hr = Refuse(VFW_E_NO_DECOMPRESSOR, why);
      if (format & ffdshowFormats) g_strConvertError += CodecNote(g_strConvertError);
      return hr;
    }
  // A target of pictures says so of a source without one, instead of the
  // muxer's word for a header it could not write.
  const int profile = sinkKind == Sink::Mp4 && m_strFormatName.empty() ? m_nProfile : -1;
  const int mpegKind = sinkKind == Sink::Mpeg ? m_nMpegKind : -1;
  if (const char* needs = withVideo ? nullptr : PictureNeededBy(profile, mpegKind))
    return Refuse(E_FAIL, std::string(needs) + " needs a picture, and the source has none: it holds no video stream\n");
  if (sinkKind == Sink::Pictures && !withVideo)
    return Refuse(E_FAIL, "Still pictures are taken from the source's video, and the source has none: it holds no video stream\n");
  // A source without picture gives no size to keep: the muxer would refuse
  // a size of 0x0, which says nothing of the cause.
  if ((sinkKind == Sink::Mpeg || sinkKind == Sink::Mp4) && !withVideo && (!m_nWidth || !m_nHeight))
    return Refuse(E_FAIL, std::string(TargetMovieName(m_strFormatName, profile, mpegKind)) +
                              " at the source's picture size needs a picture, and the source has none: it holds no "
                              "video stream\n");

  CComPtr<IBaseFilter> sink;
  switch (sinkKind) {
    case Sink::Mpeg: hr = CreateMpegMuxer(target, sink); break;
    case Sink::Mp4: hr = CreateMp4Muxer(target, withVideo, sink); break;
    case Sink::Asf: hr = CreateAsfWriter(target, profileIndex, sink); break;
    case Sink::Pictures: {
      CFastNullMuxer* muxer = nullptr;
      hr = NewFilter(sink, muxer);
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
  if (SUCCEEDED(hr)) NameSinkStreams(sink, src);

  if (FAILED(hr) && (format & ffdshowFormats)) g_strConvertError += CodecNote(g_strConvertError);
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
  SetImageOutput(CFrameRateChanger::kSeries, Utf8ToWide(folder), interval, width, height);
  HRESULT hr = Build(source, std::string(), Sink::Pictures, -1, kCodecPackageFormats);
  if (FAILED(hr) || interval <= 0) return hr;
  // Taken names fail the job before it writes a picture.
  CComQIPtr<IMediaSeeking> seeking(m_pSink.p);
  LONGLONG duration = 0;
  if (!seeking || FAILED(seeking->GetDuration(&duration))) duration = 0;
  const long count = SeriesPictureCount(static_cast<double>(duration) / UNITS, interval);
  std::string error;
  const std::string taken = FirstTakenPicture(folder, count, source, m_bReplacePictures, &error);
  if (!taken.empty()) return Refuse(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), error);
  return hr;
}

HRESULT CGraphConverter::BuildAsfGraph(const std::string& source, const std::string& target, int profileIndex) {
  return Build(source, target, Sink::Asf, profileIndex, kCodecPackageFormats);
}
