// The encoder engine: holds every setting of one output, opens it, feeds it
// one muxer sample at a time (colour conversion, cropping, fitting with
// bars, encoding, interleaved writing, silence where the source has no
// audio) and closes it. Written over FFmpeg's libraries.
//
// Only the muxer's worker thread calls it, one output part at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "conversion/MuxSample.h"
#include "conversion/PesTimeStamps.h"
#include "conversion/SliceHelper.h"
#include "platform/dshow/StreamTime.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/SoundClock.h"
#include "platform/win32/Types.h"

struct AM_MEDIA_TYPE;
struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct AVAudioFifo;
struct SwsContext;
struct SwrContext;
struct AVOutputFormat;
struct AVIOContext;

class CEncoderEngine {
 public:
  // Open modes.
  enum { ModeIndex = 0, ModeProfile = 1, ModeName = 2 };

  CEncoderEngine();
  ~CEncoderEngine();
  CEncoderEngine(const CEncoderEngine&) = delete;
  CEncoderEngine& operator=(const CEncoderEngine&) = delete;

  // The file to write, and the name its messages give it (the target that
  // file becomes; the path itself when empty).
  void SetOutputName(const std::string& path, const std::string& shownName = std::string());
  // The video type may be null or empty: the output then has no video.
  HRESULT SetInputFormats(const AM_MEDIA_TYPE* video, const AM_MEDIA_TYPE* audio, bool audioConnected);
  // The video input changed its picture (a size change mid-stream): later
  // samples are read and scaled in the new format.
  HRESULT ChangeVideoInput(const AM_MEDIA_TYPE* video);
  HRESULT SetVideoCodec(const std::string& name, int kbps, int width, int height, int num, int den);
  HRESULT SetAudioCodec(const std::string& name, int kbps, int hz, int channels);
  // The clockwise turn (0, 90, 180 or 270 degrees) the input's pictures
  // are shown with: they are turned upright before the output's size and
  // bars are decided, and the frame rectangle of SetCrop is one of the
  // turned picture. Set after the input formats, before SetCrop and the
  // open; other values turn nothing.
  void SetPictureTurn(int degrees);
  int PictureTurn() const { return m_nTurn; }
  // The frame rectangle: what is kept of the picture as it is shown.
  void SetCrop(int left, int right, int top, int bottom, int fitMode);
  void SetOutputText(const std::string& text);
  // When positive, a connected sound stream is made exactly this long: what
  // it holds beyond is left out, and a shorter one is followed by silence.
  void SetAudioLength(double seconds) { m_dAudioLength = seconds; }
  HRESULT SetMpegParams(int kind, int width, int height, int num, int den);
  // A disc format; a size other than 0 x 0 replaces the disc's own.
  HRESULT SetMpegFormat(int index, int width = 0, int height = 0);
  HRESULT OpenByProfile(int profile);
  // The container of a profile (0..5), or null.
  static const char* ProfileFormatName(int profile);
  // Whether the muxer of a container takes a video codec, both by the
  // names of the settings, tried on a stream of that codec without
  // writing anything. A refusal is E_INVALIDARG with its text in `text`;
  // names that are not known here are left to the open to refuse.
  static HRESULT CheckVideoFits(const std::string& container, const std::string& codec, std::string* text);
  HRESULT OpenByName(const std::string& name);

  HRESULT WriteHeader();
  // A video record without data shows the picture before it once more
  // (the frame-rate changer's repeat, an AVI's empty chunk).
  HRESULT WritePacket(const MuxSample& sample);
  // The same for a record the caller is done with: a 4:2:0 picture that
  // needs no scaling, cropping or bars goes to the encoder in the record's
  // own storage instead of being copied.
  HRESULT WritePacket(MuxSample&& sample);
  HRESULT Close();
  // True where the sound loses its encoder priming at the start rather
  // than carrying it in front of the picture (AVI, FLV with a picture).
  bool PrimingCut() const;
  // Places the run's first sound, which starts at the given time on the
  // picture's clock (0 is the first frame).
  void AlignAudioStart(REFERENCE_TIME start);
  // After a failed run: closes the output and removes its file when this
  // part created it and nothing was encoded into it.
  void CloseAfterFailure();
  // Counts over a whole run (every part): pictures encoded, and bytes of
  // encoded video and audio.
  // A run also starts its sound anew on the picture's clock.
  void ResetRunCounts() {
    m_nRunFrames = m_nRunBytes = m_nRunShortFrames = 0;
    m_strLastError.clear();
    m_bAudioStartPending = true;
    m_nAudioSkipBytes = 0;
  }
  int64_t RunFrames() const { return m_nRunFrames; }
  // Video frames dropped for holding fewer bytes than their picture.
  int64_t RunShortFrames() const { return m_nRunShortFrames; }
  int64_t RunBytes() const { return m_nRunBytes; }
  HRESULT Fail(HRESULT hr, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  // Encoded video, audio and codec header bytes of the current part.
  int64_t GetByteCount() const { return m_nVideoBytes + m_nAudioBytes + m_nHeaderBytes; }
  const std::string& GetLastError() const { return m_strLastError; }
  const std::string& GetOutputName() const { return m_strOutputName; }

  // Read-outs of the settings, for the muxer's tests.
  int OutputWidth() const { return m_nOutWidth; }
  // The output's pixel shape, width to height.
  int OutputPixelX() const { return m_nOutPixelX; }
  int OutputPixelY() const { return m_nOutPixelY; }
  int OutputHeight() const { return m_nOutHeight; }
  int PadTop() const { return m_nPadTop; }
  int PadBottom() const { return m_nPadBottom; }
  int PadLeft() const { return m_nPadLeft; }
  int PadRight() const { return m_nPadRight; }
  uint32_t CodecTag() const { return m_dwCodecTag; }
  int VideoCodecId() const { return m_nVideoCodecId; }
  int AudioCodecId() const { return m_nAudioCodecId; }
  int VideoBitrate() const { return m_nVideoBitrate; }
  int AudioBitrate() const { return m_nAudioBitrate; }
  bool IsOpen() const { return m_pFormatCtx != nullptr; }

  // Asked from another thread while the owner waits for the run to end:
  // once the output has stalled (COutputWatch), every further transfer
  // fails, so that the run ends with a write error. TRUE from then.
  bool AbandonStalledOutput(int64_t sinceNs) { return m_outputWatch.Abandon(sinceNs); }
  // The muxer's record memory: a record's picture that the encoder takes
  // in its own storage goes back there when the encoder lets it go.
  void SetRecordBuffers(std::shared_ptr<CRecordBufferPool> buffers) { m_pRecordBuffers = std::move(buffers); }

 private:
  // Program streams are written through the time stamp filter.
  static int WriteThroughPesTimes(void* engine, uint8_t* data, int size);
  void SetUpPesTimes(AVIOContext* file);
  // Closes the output file (and the filter before it); negative on failure.
  int CloseFile();
  HRESULT Open(int mode);
  bool ReadVideoInput(const AM_MEDIA_TYPE* video);
  // The output's pixel shape: for input pixels that are not square and a
  // picture that fills the output, the shape that shows it as the input
  // does, where the codec writes one; else square. The MPEG formats of
  // index mode always state the shape they are shown at.
  void DecidePixelShape(int mode);
  void DecideMpegShape(int64_t shownX, int64_t shownY);
  // The cropped input picture as it is shown: turned, and the shape of its
  // pixels.
  struct ShownPicture {
    int width = 0, height = 0;
    int64_t pixelX = 1, pixelY = 1;
  };
  ShownPicture Shown() const;
  bool Sideways() const { return m_nTurn == 90 || m_nTurn == 270; }
  // Turns a picture in the encoder's layout, `width` x `height` as stored,
  // into the output frame's inner picture at `dst`.
  HRESULT TurnInto(const uint8_t* const planes[4], const int pitches[4], int width, int height,
                   uint8_t* const dst[4]);
  void ApplyFit();
  HRESULT AddVideoStream();
  HRESULT AddAudioStream();
  HRESULT PrepareStreams();
  // The converter from the input pictures to the encoder's, for the input
  // size in force.
  HRESULT SetUpPictureConversion();
  AVFrame* NewVideoFrame();
  AVFrame* WritableVideoFrame();
  // The planes of a frame at a pixel position; the right bar blacked again.
  static void PlanesAt(const AVFrame* frame, int top, int left, uint8_t* planes[4]);
  void BlackRightBar(AVFrame* frame);
  HRESULT WritePlanarPicture(const uint8_t* data);
  bool PictureGoesAsItIs() const;
  HRESULT EncodeStorage(std::vector<BYTE>&& storage);
  HRESULT EncodeInnerPicture();
  HRESULT ConvertToYuv(const uint8_t* src, int stride, int srcH, uint8_t* const dst[4]);
  HRESULT EncodeVideoFrame(AVFrame* frame);
  // Encodes a picture of the stream and keeps it for repeats.
  HRESULT EncodePicture(AVFrame* frame);
  HRESULT RepeatLastPicture();
  HRESULT EncodeAudioBytes(const BYTE* data, size_t bytes);
  HRESULT EncodeAudioFrame(AVFrame* frame);
  HRESULT WriteEncoded(AVCodecContext* ctx, AVStream* st, bool video, bool* wrote);
  HRESULT AddSilenceIfBehind();
  // Keeps the sound's clock (the time its next input sample has) and, at a
  // record marked discontinuous, moves the sound to where its time says.
  void FollowSoundTime(const MuxSample& sample);
  // Silent input sound, within the set length.
  void EncodeSilence(int64_t bytes);
  // The bytes of an input sound block that lie within the set length.
  size_t AudioBytesWithinLength(size_t bytes);
  void PadAudioToLength();
  void FlushAudioFifo();
  HRESULT Drain();
  // A write to the output failed: the run fails with the target's name and
  // the cause.
  HRESULT WriteFailed(int err);
  bool OutputFailed() const;
  void ReleaseOutput();

  // Input picture
  int m_nStride = 0;
  bool m_bFlip = false;
  int m_nInWidth = 0;
  int m_nInHeight = 0;
  int m_nInBits = 24;
  int m_nTurn = 0;  // clockwise, degrees
  // The shape of an input pixel (width to height, reduced), from the
  // picture aspect of the input type.
  int64_t m_nInPixelX = 1, m_nInPixelY = 1;
  bool m_bPlanarInput = false;  // 4:2:0 planes, not RGB
  bool m_bSwapChroma = false;   // V before U (YV12)
  bool m_bHasVideo = false;
  // Input audio
  int m_nInSampleRate = 44100;
  int m_nInChannels = 2;
  bool m_bNoAudio = false;
  // Texts
  std::string m_strOutputName;
  std::string m_strShownName;
  std::string m_strOutputText;
  std::string m_strLastError;
  // Output choice
  int m_nKind = 0;
  const AVOutputFormat* m_pOutputFormat = nullptr;
  bool m_bPsp = false;
  bool m_bIpod = false;
  // Video
  int m_nOutWidth = 352;
  int m_nOutHeight = 288;
  int m_nRateNum = 25;
  int m_nRateDen = 1;
  int m_nVideoBitrate = 200000;
  int m_nVideoCodecId = 0;
  uint32_t m_dwCodecTag = 0;
  int m_nGopSize = 12;
  int m_nRateTolerance = 4000000;
  // Rate control
  int m_nMaxRate = 0;
  int m_nMinRate = 0;
  int m_nBufferSize = 0;
  bool m_bScanOffset = false;
  // Audio
  int m_nSampleRate = 44100;
  int m_nAudioBitrate = 64000;
  int m_nChannels = 2;
  int m_nAudioCodecId = 0x15000;
  // Program stream
  int m_nPacketSize = 0;
  int m_nMuxRate = 0;
  double m_fPreload = 0;
  double m_fMaxDelay = 0.7;
  // The output's pixel shape (width to height).
  int m_nOutPixelX = 1, m_nOutPixelY = 1;
  // Cropping and fitting
  int m_nCropTop = 0, m_nCropBottom = 0, m_nCropLeft = 0, m_nCropRight = 0;
  int m_nFitMode = 0;
  int m_nPadTop = 0, m_nPadBottom = 0, m_nPadLeft = 0, m_nPadRight = 0;
  // No-audio filler
  std::vector<BYTE> m_silence;
  int m_nSilenceBytes = 192000;
  // Counters
  int64_t m_nVideoBytes = 0;
  int64_t m_nAudioBytes = 0;
  int64_t m_nHeaderBytes = 0;
  int64_t m_nVideoFrames = 0;     // frames handed to the encoder
  int64_t m_nAudioSamples = 0;    // samples handed to the encoder
  double m_dAudioLength = 0;      // seconds; 0 takes the sound as it comes
  int64_t m_nAudioInSamples = 0;  // input samples taken while a length is set
  bool m_bLibraryReady = false;

  // Library state
  AVFormatContext* m_pFormatCtx = nullptr;
  AVStream* m_pVideoStream = nullptr;
  AVStream* m_pAudioStream = nullptr;
  AVCodecContext* m_pVideoCtx = nullptr;
  AVCodecContext* m_pAudioCtx = nullptr;
  AVFrame* m_pVideoFrame = nullptr;  // the frame being filled, one of m_spareFrames
  // A reference to the last picture encoded, shown again for a repeat.
  AVFrame* m_pLastPicture = nullptr;
  std::vector<AVFrame*> m_spareFrames;
  static constexpr size_t kMaxSpareFrames = 32;
  AVFrame* m_pAudioFrame = nullptr;
  AVPacket* m_pPacket = nullptr;
  AVAudioFifo* m_pFifo = nullptr;
  SwsContext* m_pSws = nullptr;
  // 4:2:0 targets: RGB is turned into 4:2:0 at the cropped source size by
  // our own converter, then scaled in 4:2:0 (a third of the bytes of RGB32)
  // when the output size differs.
  bool m_bYuvPath = false;
  AVFrame* m_pSourceYuv = nullptr;
  AVFrame* m_pScaled = nullptr;  // view of the output frame's inner picture
  // A turned picture before its turn, at the output's size (the scaler's
  // result) where it is not the input or the 4:2:0 source frame itself.
  AVFrame* m_pTurnFrame = nullptr;
  std::unique_ptr<CSliceHelper> m_pHelper;
  static constexpr int kSplitArea = 320 * 240;
  SwrContext* m_pSwr = nullptr;
  std::vector<uint8_t*> m_resampled;  // planes of the resampled audio
  int m_nResampledCapacity = 0;
  bool m_bHeaderWritten = false;
  bool m_bFileOpen = false;
  // With a program stream: the file itself, the muxer writing into
  // m_pFormatCtx->pb, which passes through the filter.
  AVIOContext* m_pFileIo = nullptr;
  std::unique_ptr<CPesTimeStamps> m_pPesTimes;
  COutputWatch m_outputWatch;
  std::shared_ptr<CRecordBufferPool> m_pRecordBuffers;
  // The file of the current (or last) part and whether opening it made it.
  std::string m_strOpenedFile;
  bool m_bCreatedFile = false;
  int64_t m_nRunFrames = 0;
  int64_t m_nRunBytes = 0;
  int64_t m_nRunShortFrames = 0;
  // The run's first sound is still to be placed on the picture's clock;
  // input bytes still to be cut from the front of the sound.
  bool m_bAudioStartPending = true;
  int64_t m_nAudioSkipBytes = 0;
  // The sound's clock: where the sound goes on after a break (breaks
  // within the stream-time slack are let be).
  CSoundClock m_soundClock;
};
