// Shared pieces of the codec stand-ins over FFmpeg: owning handles for
// FFmpeg objects, media-type reading (picture and wave formats) and the
// drawing of a decoded picture into an uncompressed media type's buffer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avio.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaType.h"

struct AvCodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AvFrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct AvParserDeleter {
  void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvCodecContextDeleter>;
using AvParserPtr = std::unique_ptr<AVCodecParserContext, AvParserDeleter>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameDeleter>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
// Holds a sample reference taken from an allocator.
struct SampleReleaser {
  void operator()(IMediaSample* s) const { s->Release(); }
};
using SamplePtr = std::unique_ptr<IMediaSample, SampleReleaser>;

// The bitmap header of a video type (VideoInfo, VideoInfo2, MPEG-1 and
// MPEG-2 video blocks); null when the type has none or its block is short.
const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& mt);
BITMAPINFOHEADER* VideoBitmapHeader(AM_MEDIA_TYPE& mt);
// Average frame time of a video type, 0 when unknown.
REFERENCE_TIME VideoFrameTime(const AM_MEDIA_TYPE& mt);
// The shape a video type's pictures are shown at, as a reduced display
// aspect: the picture aspect of a VideoInfo2 block (MPEG-2 video blocks
// begin with one), or for a VideoInfo block the pixel shape its bitmap
// resolution gives (pixels per meter across and down); the picture's own
// size (square pixels) where the type states neither. False without a
// picture size.
bool VideoDisplayAspect(const AM_MEDIA_TYPE& mt, LONG* x, LONG* y);
// Writes a display aspect into a video type, in the form its block has.
void SetVideoDisplayAspect(AM_MEDIA_TYPE& mt, LONG x, LONG y);
// The display aspect of a picture of `width` x `height` whose pixels are
// `pixelX` wide for `pixelY` high, reduced; false when out of range.
bool DisplayAspectOf(LONG width, LONG height, int64_t pixelX, int64_t pixelY, LONG* x, LONG* y);
// The wave format of an audio type; null when missing or short.
const WAVEFORMATEX* AudioWaveFormat(const AM_MEDIA_TYPE& mt);

// The uncompressed picture layouts the stand-ins read and write.
enum class RawVideo { None, YV12, I420, YUY2, UYVY, RGB24, RGB32, RGB555, RGB565 };
RawVideo RawVideoOf(const GUID& subtype);
const GUID& RawVideoSubtype(RawVideo kind);
WORD RawVideoBits(RawVideo kind);
AVPixelFormat RawVideoPixelFormat(RawVideo kind);
// Bytes of one picture of that layout; the row stride of RGB is 4-aligned.
DWORD RawVideoImageSize(RawVideo kind, LONG width, LONG height);

// Builds a VideoInfo type of an uncompressed layout; bottom-up for RGB.
// With `info2` the block is VideoInfo2 instead, with the picture's own
// shape as its picture aspect.
HRESULT MakeRawVideoType(CMediaType* pmt, RawVideo kind, LONG width, LONG height, REFERENCE_TIME frameTime,
                         bool info2 = false);
// Builds a 16-bit PCM type.
HRESULT MakePcm16Type(CMediaType* pmt, int sampleRate, int channels);

// Converts pictures into a buffer laid out as a raw video type (stride
// from the type's bitmap width, rows flipped for bottom-up RGB), scaling
// when sizes differ. Keeps its scaler between calls.
class CPictureWriter {
 public:
  // False when the type is not a raw layout or its size is not positive.
  bool SetTarget(const AM_MEDIA_TYPE& mt);
  // Draws `src` (any FFmpeg pixel format) into `dst` of `size` bytes;
  // false when the buffer is too small or the scaler cannot be made.
  bool Write(const AVFrame* src, BYTE* dst, size_t size);
  // Reads a raw picture of type `srcType` into a frame of `dstFormat`,
  // `width` x `height` (the frame is allocated here).
  static bool ReadRaw(const AM_MEDIA_TYPE& srcType, const BYTE* data, size_t size, AVFrame* dst,
                      AVPixelFormat dstFormat, int width, int height, SwsPtr& scaler);
  DWORD ImageSize() const { return RawVideoImageSize(m_kind, m_width, m_height); }

 private:
  RawVideo m_kind = RawVideo::None;
  LONG m_width = 0;      // picture width
  LONG m_height = 0;     // picture height
  LONG m_stride = 0;     // pixels per row as the type gives it (>= width)
  bool m_bottomUp = false;
  SwsPtr m_sws;
  AvFramePtr m_padded;  // for rows too short for the scaler's blocks
  int m_srcW = 0, m_srcH = 0;
  AVPixelFormat m_srcFmt = AV_PIX_FMT_NONE;
};

// The generic MP4 and QuickTime media types carry the bytes of the stsd's
// sample entries behind their header. True when `extra` begins with an
// entry whose code is `fcc` (compared without case); `config` then gets the
// entry's child atom `child` (also looked for inside a 'wave' atom): its
// payload, or the whole atom when `whole`; empty when it has none.
bool SampleEntryChild(const BYTE* extra, size_t size, DWORD fcc, bool audio, DWORD child, bool whole,
                      std::vector<BYTE>* config);
// The platform's reference time (UNITS a second) as an FFmpeg time base.
constexpr AVRational kRefTimeBase{1, static_cast<int>(UNITS)};

// A FourCC from its four characters in file order.
constexpr DWORD FourCCOf(const char (&s)[5]) {
  return static_cast<DWORD>(static_cast<BYTE>(s[0])) | (static_cast<DWORD>(static_cast<BYTE>(s[1])) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(s[2])) << 16) | (static_cast<DWORD>(static_cast<BYTE>(s[3])) << 24);
}

// Tells a stuck output file from a slow one (a target on a share that
// stopped answering): the file's interrupt callback notes every transfer,
// and a stop that has waited long since the last one gives the file up, so
// that the blocked write and every later one fail instead of holding the
// job for good.
class COutputWatch {
 public:
  static constexpr int64_t kStallNs = 15'000'000'000;

  // A new file: not given up, a transfer just now. Its opening takes
  // Callback().
  void Start();
  AVIOInterruptCB Callback() { return AVIOInterruptCB{&COutputWatch::Interrupted, this}; }
  // Asked from another thread while the owner waits for the writer to end,
  // with the time the wait began: gives the file up once it has taken no
  // transfer for kStallNs since then; TRUE from that moment on.
  bool Abandon(int64_t waitSinceNs);
  // Now on the clock the times above are read from.
  static int64_t NowNs();

 private:
  static int Interrupted(void* watch);
  std::atomic<int64_t> m_lastNs{0};
  std::atomic<bool> m_abandoned{false};
};

// Codecs whose stream does not state its picture size (the MS-MPEG-4
// family, WMV 1 and 2): they take the container's. A writer that rounded
// the container's size up makes every picture end in damage there.
bool CodecTakesContainerSize(AVCodecID id);
// For such a codec: the size the pictures of `packets` (a key packet and
// those after it) decode whole at. The given size when they do there; else,
// of the sizes up to 24 columns and rows less in steps of 8 that they do,
// the one with the most macroblocks (a stream read at too few only leaves
// bits unread), the least cut of those. False when none.
bool PacketsPictureSize(const AVCodecParameters* par, const std::vector<const AVPacket*>& packets, int* width,
                        int* height);

// The run log's line for a stream whose pictures have another size than
// its file's header states.
std::string PictureSizeNote(LONG width, LONG height, LONG headerWidth, LONG headerHeight);

// FFmpeg's error text, for diagnostics.
std::string AvErrorText(int err);
// A path for FFmpeg's file functions (UTF-8).
std::string WideToUtf8Path(LPCWSTR path);
