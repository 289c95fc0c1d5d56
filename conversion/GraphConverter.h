// The graph manager of one conversion job. It holds the job's conversion
// settings, builds the job's graph for its target (source, decoders, the
// frame-rate changer and a sink) and probes source files for the pages.
#pragma once

#include "conversion/JobFiles.h"
#include <string>
#include <vector>

#include "graph/registry/FGManagerCustom.h"
#include "platform/com/Com.h"
#include "platform/wmf/WmfInterfaces.h"

class CFrameRateChanger;

// What the probe found out about a source.
struct SourceMediaInfo {
  int format = 0;
  std::string formatName = "Unknown Format";
  bool hasVideo = false;
  int width = 0, height = 0;
  float frameRate = 25.0f;
  float duration = 0.0f;  // seconds
  std::string videoDescription = "Unknown";
  DWORD videoFourCC = 0;
  bool hasAudio = false;
  std::string audioDescription = "Unknown";
  int sampleRate = 0;
  int bitsPerSample = 16;
  int channels = 2;
  // The clockwise turn the source's pictures are shown with (0, 90, 180 or
  // 270 degrees); width and height are those of the picture so shown.
  int pictureTurn = 0;
};

// One Windows Media system profile, as start-up listed it. A profile the
// runtime failed to load is kept with a null interface.
struct WMProfileEntry {
  CComPtr<IWMProfile> profile;
  std::string name;
};
extern std::vector<WMProfileEntry> g_WMProfiles;

// The text of the last graph-build failure.
extern std::string g_strConvertError;

struct StreamInfo;

class CGraphConverter : public CFGManagerCustom {
 public:
  explicit CGraphConverter(void* window = nullptr);
  ~CGraphConverter() override;

  static bool IsFfdshowDecoderInstalled();

  void SetFrameRate(int num, int den);
  void SetOutputSize(int width, int height) { m_nWidth = width, m_nHeight = height; }
  void SetSplitSize(int size) { m_nSplitSize = size; }
  void SetFrameRect(int left, int top, int right, int bottom, int resize) {
    m_rcFrame[0] = left, m_rcFrame[1] = top, m_rcFrame[2] = right, m_rcFrame[3] = bottom;
    m_bResize = resize;
  }
  void SetEncoderParams(const std::string& videoCodec, int videoKbps, const std::string& audioCodec, int audioKbps,
                        int sampleRate, int channels);
  void SetImageOutput(int mode, const std::wstring& path, int time, int width, int height);
  // A picture series may replace files of its pictures' names (the user
  // chose so); by default a taken name fails the job before it writes.
  void SetReplacePictures(bool replace) { m_bReplacePictures = replace; }
  // The user chose to replace the files that have the target's names;
  // without it a name taken by the job's end keeps its file (JobFiles.h).
  void SetReplaceTargets(bool replace) { m_pFiles->SetReplaceTargets(replace); }
  // A job made of pictures: the builders take them, each shown `seconds`
  // long at width x height, with the sound file (or silence when empty) as
  // its sound, in place of the source file.
  void SetPictureList(const std::vector<std::string>& pictures, double seconds, int width, int height,
                      const std::string& soundFile);

  HRESULT ConnectWithResizer(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt, bool resizeAllowed,
                             bool keepSize);

  // Adds the source and describes it; a source that cannot be added
  // leaves `info` as it was.
  HRESULT ProbeSource(const std::string& path, SourceMediaInfo* info);
  static std::string GetSourceFormatName(int format, const std::string& extension);
  static std::string GetSourceFormatDescription(int format, const std::string& extension);
  static void DescribeMediaTypes(const AM_MEDIA_TYPE* video, const AM_MEDIA_TYPE* audio, SourceMediaInfo* info);
  static void FillFromStreamInfo(bool hasVideo, const StreamInfo& record, SourceMediaInfo* info);
  // The last video and audio types that the source's output pins offer (a
  // pin named after subtitles is no video).
  static void FindSourceStreams(IBaseFilter* source, CMediaType* video, bool* haveVideo, CMediaType* audio,
                                bool* haveAudio);

  // The builders, one per target kind.
  HRESULT BuildMpegGraph(const std::string& source, const std::string& target, int kind);
  // larger: VCD and SVCD at 704 pixels wide (DVD has one size).
  HRESULT BuildVcdGraph(const std::string& source, const std::string& target, int ntsc, int discKind,
                        int larger = 0);
  HRESULT BuildMP4Graph(const std::string& source, const std::string& target, int profile);
  HRESULT BuildAviFlvGraph(const std::string& source, const std::string& target, const std::string& format);
  HRESULT BuildPicturesGraph(const std::string& source, const std::string& folder, int interval, int width,
                             int height);
  HRESULT BuildAsfGraph(const std::string& source, const std::string& target, int profileIndex);

  // Settings as recorded, for the runners and for checking a build.
  int FrameRateNum() const { return m_nRateNum; }
  int FrameRateDen() const { return m_nRateDen; }
  int OutputWidth() const { return m_nWidth; }
  int OutputHeight() const { return m_nHeight; }
  int MpegKind() const { return m_nMpegKind; }
  int Ntsc() const { return m_nNtsc; }
  const std::string& BaseName() const { return m_strBaseName; }
  IBaseFilter* FrameChanger() const { return m_pFrameChanger; }
  // The clockwise turn the converted video's pictures are written upright
  // from (its source states it).
  int PictureTurn() const { return m_nTurn; }
  // Why the running graph failed, as the filter that failed said it (a
  // picture that could not be written, an output that could not be opened),
  // or empty. The filters answer through IRunReport, the one upstream first.
  std::string GetRunError() const;
  // What the run did that the job's log should say although the job went
  // on (a jump in the source's times taken out, damage in the source passed
  // over or mended), one line each, or empty; every filter's IRunReport
  // note, upstream first.
  std::string GetRunNote() const;
  // Once the graph has stopped: the job's files take their targets' names
  // (`keep`) or are removed; a job stopped at `stoppedAt` seconds (not
  // negative) leaves a file that was there before it began as it was and
  // keeps its own beside it. Returns why keeping failed, or "".
  std::string FinishFiles(bool keep, double stoppedAt = -1.0);
  // Each target the last keeping wrote, with the name its file took.
  std::vector<std::pair<std::string, std::string>> KeptFiles() const { return m_pFiles->Kept(); }

  // A pin that fed a renderer, with the major type it carried there.
  struct RenderedPin {
    CComPtr<IPin> pin;
    GUID major;
    LONG width = 0;  // picture size of a video pin, 0 when unknown
    LONG height = 0;
  };
  using PinList = std::vector<RenderedPin>;

  // The name part of a target path without its extension.
  static std::string TargetBaseName(const std::string& target);

 private:
  HRESULT RenderSourceAndCollectPins(IBaseFilter* source, PinList& video, PinList& audio);
  // The picture-list source and the sound file's streams in place of a
  // source file.
  HRESULT AddPictureList(const std::string& target, CComPtr<IBaseFilter>& source, PinList& video, PinList& audio);
  // The end of a probe: fails when no decoder takes the video it found;
  // the picture size the video decoder found in the stream itself wins.
  HRESULT DecoderCheck(IBaseFilter* source, SourceMediaInfo* info);
  HRESULT CollectRenderedPins(IBaseFilter* filter, PinList& video, PinList& audio, int depth = 0);
  HRESULT CreateMpegMuxer(const std::string& target, CComPtr<IBaseFilter>& sink);
  HRESULT CreateMp4Muxer(const std::string& target, bool withVideo, CComPtr<IBaseFilter>& sink);
  HRESULT CreateAsfWriter(const std::string& target, int profileIndex, CComPtr<IBaseFilter>& sink);
  HRESULT ConnectVideoToMuxer(IPin* pin, IBaseFilter* sink);
  HRESULT ConnectAudioToMuxer(IPin* pin, IBaseFilter* sink);
  HRESULT ConnectVideoToCompressor(IPin* pin, IBaseFilter* sink, bool keepRate);
  HRESULT AddFrameChanger(int num, int den, CComPtr<IBaseFilter>& filter, CFrameRateChanger*& changer);
  // `planar`: the decoder's 4:2:0 pictures are tried first (ConnectPlanar).
  HRESULT ConnectToFrameChanger(IPin* pin, IBaseFilter* filter, CFrameRateChanger* changer, bool planar = false);
  HRESULT ConnectPlanar(IPin* pin, IBaseFilter* filter);
  HRESULT ConnectThroughLayoutConverter(IPin* pin, IBaseFilter* changer);
  // Takes a decoded stream the sink has no room for out of the graph, with
  // the filters that only fed it, up to the source.
  void RemoveUnusedChain(IPin* out, IBaseFilter* source);
  // Fails, naming the format, when the source has sound and none of it
  // reached a decoder.
  HRESULT CheckSoundDecoded(IBaseFilter* source);

  enum class Sink { Mpeg, Mp4, Pictures, Asf };
  // The common shape of every builder; `ffdshowFormats` are the source
  // kinds whose failures get the codec-package note.
  HRESULT Build(const std::string& source, const std::string& target, Sink sink, int profileIndex,
                DWORD ffdshowFormats);

  int m_nRateNum = 25, m_nRateDen = 1;
  int m_nWidth = 0, m_nHeight = 0;
  int m_nTurn = 0;
  std::string m_strTurnNote;
  CComPtr<IBaseFilter> m_pFrameChanger;
  CComPtr<IBaseFilter> m_pSink;
  int m_nMpegKind = 0;
  int m_nNtsc = 0;
  int m_nSplitSize = 0;
  std::string m_strVideoCodec;
  int m_nVideoKbps = 0;
  std::string m_strAudioCodec;
  int m_nAudioKbps = 0;
  int m_nSampleRate = 0;
  int m_nChannels = 0;
  int m_nProfile = 0;
  std::string m_strFormatName;
  std::string m_strBaseName;
  int m_nImageMode = 0;
  std::wstring m_strImagePath;
  int m_nImageWidth = 0, m_nImageHeight = 0;
  int m_nImageTime = 0;
  bool m_bReplacePictures = false;
  int m_rcFrame[4] = {0, 0, 0, 0};
  int m_bResize = 0;
  // Every file the job writes (targets, parts, the thumbnail).
  std::shared_ptr<CJobFiles> m_pFiles = std::make_shared<CJobFiles>();
  std::vector<std::string> m_astrPictures;
  double m_dPictureSeconds = 0;
  int m_nPictureWidth = 0, m_nPictureHeight = 0;
  std::string m_strSoundFile;
};
