#include "conversion/EncoderEngine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <strings.h>
#include <thread>

#include "conversion/JobFiles.h"
#include "conversion/SliceHelper.h"
#include "foundation/PixelConversion.h"
#include "platform/dshow/StreamTime.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/RefTime.h"

namespace {

// The names the settings pages and the converter use for codecs, with the
// FFmpeg codec and the encoder that serves it. "xvid" and "divx" are MPEG-4
// part 2 with their FourCC (handled before the lookup).
struct CodecEntry {
  const char* name;
  int kind;  // 0 video, 1 audio
  AVCodecID id;
  const char* encoder;
};

const CodecEntry kCodecs[] = {
    {"mpeg1video", 0, AV_CODEC_ID_MPEG1VIDEO, "mpeg1video"},
    {"mpeg2video", 0, AV_CODEC_ID_MPEG2VIDEO, "mpeg2video"},
    {"mpeg4", 0, AV_CODEC_ID_MPEG4, "mpeg4"},
    {"msmpeg4v2", 0, AV_CODEC_ID_MSMPEG4V2, "msmpeg4v2"},
    {"msmpeg4", 0, AV_CODEC_ID_MSMPEG4V3, "msmpeg4"},
    {"h264", 0, AV_CODEC_ID_H264, "libx264"},
    {"h263", 0, AV_CODEC_ID_H263, "h263"},
    {"h263p", 0, AV_CODEC_ID_H263P, "h263p"},
    {"flv", 0, AV_CODEC_ID_FLV1, "flv"},
    {"wmv1", 0, AV_CODEC_ID_WMV1, "wmv1"},
    {"wmv2", 0, AV_CODEC_ID_WMV2, "wmv2"},
    {"mjpeg", 0, AV_CODEC_ID_MJPEG, "mjpeg"},
    {"mp2", 1, AV_CODEC_ID_MP2, "mp2"},
    {"mp3", 1, AV_CODEC_ID_MP3, "libmp3lame"},
    {"aac", 1, AV_CODEC_ID_AAC, "aac"},
    {"ac3", 1, AV_CODEC_ID_AC3, "ac3"},
    {"pcm_s16le", 1, AV_CODEC_ID_PCM_S16LE, "pcm_s16le"},
    {"adpcm_ms", 1, AV_CODEC_ID_ADPCM_MS, "adpcm_ms"},
    {"amr_nb", 1, AV_CODEC_ID_AMR_NB, "libopencore_amrnb"},
    {"amr_wb", 1, AV_CODEC_ID_AMR_WB, "libvo_amrwbenc"},
    {"wmav2", 1, AV_CODEC_ID_WMAV2, "wmav2"},
};

const CodecEntry* FindCodecByName(const std::string& name, int kind) {
  for (const CodecEntry& e : kCodecs)
    if (e.kind == kind && strcasecmp(e.name, name.c_str()) == 0) return &e;
  return nullptr;
}

// The encoder of a codec: ours by name first, else whatever FFmpeg has.
const AVCodec* FindEncoder(int id) {
  for (const CodecEntry& e : kCodecs)
    if (e.id == id)
      if (const AVCodec* c = avcodec_find_encoder_by_name(e.encoder)) return c;
  return avcodec_find_encoder(static_cast<AVCodecID>(id));
}

// Container names: "a.mpg" is the MPEG-1 system stream.
const AVOutputFormat* FindFormat(const std::string& name) {
  if (strcasecmp(name.c_str(), "a.mpg") == 0 || strcasecmp(name.c_str(), "mpg") == 0 ||
      strcasecmp(name.c_str(), "mpeg") == 0)
    return av_guess_format("mpeg", nullptr, nullptr);
  if (name.empty()) return nullptr;
  return av_guess_format(name.c_str(), nullptr, nullptr);
}

const char* const kProfileFormats[] = {"3gp", "3g2", "psp", "ipod", "mp4", "mov"};

// The fixed MPEG outputs of index mode.
struct MpegKind {
  const char* format;
  int width, height, num, den;  // 0: the muxer's
  AVCodecID video;
  int videoRate, maxRate, minRate, buffer;
  int sampleRate, audioRate;
  AVCodecID audio;
  int packetSize, muxRate;
  double preload;
  bool scanOffset;
  int gop;
};

const MpegKind kMpegKinds[] = {
    {"a.mpg", 0, 0, 0, 0, AV_CODEC_ID_MPEG1VIDEO, 1700000, 1856000, 0, 1835008, 44100, 224000, AV_CODEC_ID_MP2, 0, 0,
     0, false, 12},
    {"vob", 0, 0, 0, 0, AV_CODEC_ID_MPEG2VIDEO, 4200000, 6000000, 2500000, 1835008, 44100, 224000, AV_CODEC_ID_MP2, 0,
     0, 0, false, 12},
    {"vcd", 352, 288, 25, 1, AV_CODEC_ID_MPEG1VIDEO, 1150000, 1150000, 1150000, 327680, 44100, 224000,
     AV_CODEC_ID_MP2, 2324, 1411200, 0.44, false, 12},
    {"vcd", 352, 240, 30000, 1001, AV_CODEC_ID_MPEG1VIDEO, 1150000, 1150000, 1150000, 327680, 44100, 224000,
     AV_CODEC_ID_MP2, 2324, 1411200, 0.44, false, 12},
    {"svcd", 480, 576, 25, 1, AV_CODEC_ID_MPEG2VIDEO, 2040000, 2516000, 0, 1835008, 44100, 224000, AV_CODEC_ID_MP2,
     2324, 0, 0, true, 15},
    {"svcd", 480, 480, 30000, 1001, AV_CODEC_ID_MPEG2VIDEO, 2040000, 2516000, 0, 1835008, 44100, 224000,
     AV_CODEC_ID_MP2, 2324, 0, 0, true, 18},
    // DVD: the DVD-Video form of the program stream, packed as DVD
    // players read it (the plain form can leave a sound frame's time
    // stamp on the pack after its header).
    {"dvd", 720, 576, 25, 1, AV_CODEC_ID_MPEG2VIDEO, 6000000, 9000000, 0, 1835008, 48000, 448000, AV_CODEC_ID_AC3,
     2048, 10080000, 0, false, 15},
    {"dvd", 720, 480, 30000, 1001, AV_CODEC_ID_MPEG2VIDEO, 6000000, 9000000, 0, 1835008, 48000, 448000,
     AV_CODEC_ID_AC3, 2048, 10080000, 0, false, 18},
};

int Even(int v) { return v / 2 * 2; }

// The largest picture side taken as input.
constexpr int kMaxInputSide = 16384;

// The size of a silence block when the source has no audio.
constexpr int kSilenceBlock = 96000;

// Pixels of picture per slice thread of the MPEG-1/2 encoders.
constexpr int64_t kSliceArea = 130000;

// Whether a codec writes a picture of that display shape with its own
// pixel shape: the MPEG-4 family does for any; MPEG-2 only as one of its
// display aspects (4:3, 16:9, 2.21:1).
bool CodecKeepsPixelShape(int codec, int64_t displayX, int64_t displayY) {
  if (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_MPEG4 || codec == AV_CODEC_ID_HEVC ||
      codec == AV_CODEC_ID_H263P)
    return true;
  if (codec != AV_CODEC_ID_MPEG2VIDEO || displayX <= 0 || displayY <= 0) return false;
  const double shape = static_cast<double>(displayX) / static_cast<double>(displayY);
  for (double aspect : {4.0 / 3.0, 16.0 / 9.0, 2.21})
    if (std::fabs(shape / aspect - 1.0) < 0.01) return true;
  return false;
}

}  // namespace

CEncoderEngine::CEncoderEngine() : m_silence(384000, 0) {}

CEncoderEngine::~CEncoderEngine() { ReleaseOutput(); }

HRESULT CEncoderEngine::Fail(HRESULT hr, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  m_strLastError = buf;
  return hr;
}

void CEncoderEngine::SetOutputName(const std::string& path, const std::string& shownName) {
  m_strOutputName = path;
  m_strShownName = shownName.empty() ? path : shownName;
}

bool CEncoderEngine::OutputFailed() const {
  return (m_pFormatCtx && m_pFormatCtx->pb && m_pFormatCtx->pb->error < 0) || (m_pFileIo && m_pFileIo->error < 0);
}

HRESULT CEncoderEngine::WriteFailed(int err) {
  if (m_pFileIo && m_pFileIo->error < 0)
    err = m_pFileIo->error;
  else if (OutputFailed())
    err = m_pFormatCtx->pb->error;
  char cause[128] = "unknown cause";
  av_strerror(err, cause, sizeof(cause));
  return Fail(err == AVERROR(ENOSPC) ? HRESULT_FROM_WIN32(ERROR_DISK_FULL) : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT),
              "Could not write '%s': %s\n", m_strShownName.c_str(), cause);
}

bool CEncoderEngine::ReadVideoInput(const AM_MEDIA_TYPE* video) {
  if (!video || !video->pbFormat) return false;
  const BITMAPINFOHEADER* bih = nullptr;
  if (video->formattype == FORMAT_VideoInfo && video->cbFormat >= sizeof(VIDEOINFOHEADER))
    bih = &reinterpret_cast<const VIDEOINFOHEADER*>(video->pbFormat)->bmiHeader;
  else if (video->formattype == FORMAT_VideoInfo2 && video->cbFormat >= sizeof(VIDEOINFOHEADER2))
    bih = &reinterpret_cast<const VIDEOINFOHEADER2*>(video->pbFormat)->bmiHeader;
  // Pictures beyond these sizes come only from a damaged header.
  if (!bih || bih->biWidth <= 0 || bih->biWidth > kMaxInputSide || bih->biHeight == 0 ||
      bih->biHeight < -kMaxInputSide || bih->biHeight > kMaxInputSide)
    return false;
  const GUID& s = video->subtype;
  const bool planar = s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV;
  if (planar ? (bih->biWidth % 2 || bih->biHeight % 2) : (bih->biBitCount != 24 && bih->biBitCount != 32))
    return false;
  m_nInWidth = bih->biWidth;
  m_nInHeight = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
  // The picture aspect the type states gives the pixels their shape.
  LONG ax = 0, ay = 0;
  m_nInPixelX = m_nInPixelY = 1;
  if (VideoDisplayAspect(*video, &ax, &ay)) {
    const int64_t x = int64_t{ax} * m_nInHeight, y = int64_t{ay} * m_nInWidth, g = std::gcd(x, y);
    m_nInPixelX = x / g;
    m_nInPixelY = y / g;
  }
  m_bPlanarInput = planar;
  m_bSwapChroma = s == MEDIASUBTYPE_YV12;
  // Planar pictures run top down whatever the sign of their height says.
  m_bFlip = !planar && bih->biHeight > 0;
  m_nInBits = planar ? 12 : bih->biBitCount;
  m_nStride = planar ? bih->biWidth : static_cast<int>(DibRowBytes(bih->biWidth, bih->biBitCount));
  return true;
}

HRESULT CEncoderEngine::SetInputFormats(const AM_MEDIA_TYPE* video, const AM_MEDIA_TYPE* audio, bool audioConnected) {
  m_nInWidth = m_nInHeight = m_nStride = 0;
  m_bHasVideo = ReadVideoInput(video);
  m_bNoAudio = !audioConnected;
  if (audioConnected && audio && audio->formattype == FORMAT_WaveFormatEx && audio->pbFormat &&
      audio->cbFormat >= sizeof(WAVEFORMATEX) - 2) {
    const auto* wf = reinterpret_cast<const WAVEFORMATEX*>(audio->pbFormat);
    if (wf->nSamplesPerSec > 0 && wf->nChannels > 0) {
      m_nInSampleRate = static_cast<int>(wf->nSamplesPerSec);
      m_nInChannels = wf->nChannels;
    } else {
      m_bNoAudio = true;
    }
  }
  return S_OK;
}

HRESULT CEncoderEngine::SetVideoCodec(const std::string& nameIn, int kbps, int width, int height, int num, int den) {
  std::string name = nameIn;
  uint32_t tag = 0;
  if (strcasecmp(name.c_str(), "divx") == 0) {
    tag = MKTAG('d', 'i', 'v', 'x');
    name = "mpeg4";
  } else if (strcasecmp(name.c_str(), "xvid") == 0) {
    tag = MKTAG('x', 'v', 'i', 'd');
    name = "mpeg4";
  }
  const CodecEntry* e = FindCodecByName(name, 0);
  if (!e || !FindEncoder(e->id)) return Fail(E_INVALIDARG, "Unknown video codec '%s'\n", nameIn.c_str());
  m_nVideoCodecId = e->id;
  m_dwCodecTag = tag;
  m_nVideoBitrate = kbps * 1000;
  m_nOutWidth = width;
  m_nOutHeight = height;
  m_nRateNum = num;
  m_nRateDen = den;
  return S_OK;
}

HRESULT CEncoderEngine::SetAudioCodec(const std::string& name, int kbps, int hz, int channels) {
  const CodecEntry* e = FindCodecByName(name, 1);
  if (!e || !FindEncoder(e->id)) return Fail(E_INVALIDARG, "Unknown audio codec '%s'\n", name.c_str());
  m_nAudioCodecId = e->id;
  m_nAudioBitrate = kbps * 1000;
  m_nSampleRate = hz;
  m_nChannels = channels;
  return S_OK;
}

HRESULT CEncoderEngine::ChangeVideoInput(const AM_MEDIA_TYPE* video) {
  const int oldWidth = m_nInWidth, oldHeight = m_nInHeight;
  if (!ReadVideoInput(video)) return Fail(VFW_E_INVALIDMEDIATYPE, "The picture size changed to one that cannot be used\n");
  if (!m_pVideoCtx || (m_nInWidth == oldWidth && m_nInHeight == oldHeight)) return S_OK;
  // The output keeps its size: the new pictures are scaled into it, fitted
  // anew when bars were asked for. The old frame rectangle no longer applies.
  m_nCropTop = m_nCropBottom = m_nCropLeft = m_nCropRight = 0;
  m_nOutWidth += m_nPadLeft + m_nPadRight;
  m_nOutHeight += m_nPadTop + m_nPadBottom;
  ApplyFit();
  // The bars may have moved: frames are made (and blacked) anew; the
  // encoder keeps its own references to the frames it still holds.
  for (AVFrame* frame : m_spareFrames) av_frame_free(&frame);
  m_spareFrames.clear();
  m_pVideoFrame = nullptr;
  return SetUpPictureConversion();
}

void CEncoderEngine::SetPictureTurn(int degrees) {
  m_nTurn = degrees == 90 || degrees == 180 || degrees == 270 ? degrees : 0;
}

void CEncoderEngine::SetCrop(int left, int right, int top, int bottom, int fitMode) {
  // What is cut from each side of the picture as shown, then from the side
  // of the stored picture that side comes from.
  const int shownW = Sideways() ? m_nInHeight : m_nInWidth, shownH = Sideways() ? m_nInWidth : m_nInHeight;
  const int l = Even(left), r = Even(shownW - right), t = Even(top), b = Even(shownH - bottom);
  switch (m_nTurn) {
    case 90:  // the shown left side is the stored bottom, its top the stored left
      m_nCropLeft = t, m_nCropRight = b, m_nCropTop = r, m_nCropBottom = l;
      break;
    case 180:
      m_nCropLeft = r, m_nCropRight = l, m_nCropTop = b, m_nCropBottom = t;
      break;
    case 270:
      m_nCropLeft = b, m_nCropRight = t, m_nCropTop = l, m_nCropBottom = r;
      break;
    default:
      m_nCropLeft = l, m_nCropRight = r, m_nCropTop = t, m_nCropBottom = b;
      break;
  }
  m_nFitMode = fitMode;
}

void CEncoderEngine::SetOutputText(const std::string& text) { m_strOutputText = text; }

HRESULT CEncoderEngine::SetMpegParams(int kind, int width, int height, int num, int den) {
  if ((kind != 0 && kind != 1) || width <= 0 || height <= 0 || num <= 0 || den <= 0 ||
      static_cast<int64_t>(num) < 8LL * den || static_cast<int64_t>(num) > 100LL * den)
    return Fail(E_INVALIDARG, "Invalid MPEG parameters\n");
  m_nKind = kind;
  m_nOutWidth = width;
  m_nOutHeight = height;
  m_nRateNum = num;
  m_nRateDen = den;
  return Open(ModeIndex);
}

HRESULT CEncoderEngine::SetMpegFormat(int index, int width, int height) {
  if (index < 0 || index > 5) return Fail(E_INVALIDARG, "Invalid MPEG format %d\n", index);
  m_nKind = index + 2;
  const MpegKind& k = kMpegKinds[m_nKind];
  const bool own = width > 0 && height > 0;
  m_nOutWidth = own ? width : k.width;
  m_nOutHeight = own ? height : k.height;
  m_nRateNum = k.num;
  m_nRateDen = k.den;
  return Open(ModeIndex);
}

HRESULT CEncoderEngine::OpenByProfile(int profile) {
  m_bLibraryReady = true;
  if (profile >= 0 && profile <= 5) {
    m_pOutputFormat = FindFormat(kProfileFormats[profile]);
    m_bPsp = profile == 2;
    m_bIpod = profile == 3;
  } else {
    // No format of its own: a profile out of range cannot open anything.
    m_pOutputFormat = nullptr;
  }
  if (!m_pOutputFormat) return Fail(E_INVALIDARG, "Could not find output format for profile %d\n", profile);
  return Open(ModeProfile);
}

const char* CEncoderEngine::ProfileFormatName(int profile) {
  return profile >= 0 && profile <= 5 ? kProfileFormats[profile] : nullptr;
}

HRESULT CEncoderEngine::CheckVideoFits(const std::string& container, const std::string& codecName,
                                       std::string* text) {
  const AVOutputFormat* format = FindFormat(container);
  std::string name = codecName;
  if (strcasecmp(name.c_str(), "divx") == 0 || strcasecmp(name.c_str(), "xvid") == 0) name = "mpeg4";
  const CodecEntry* e = FindCodecByName(name, 0);
  if (!format || !e) return S_OK;
  // The muxer's own set-up is the judge: the MP4 family takes only the
  // codecs it has a sample entry for (no H.263+ but in QuickTime), which a
  // query of its tag lists does not always tell right.
  AVFormatContext* ctx = nullptr;
  if (avformat_alloc_output_context2(&ctx, format, nullptr, nullptr) < 0 || !ctx) return E_OUTOFMEMORY;
  int r = AVERROR(ENOMEM);
  if (AVStream* st = avformat_new_stream(ctx, nullptr)) {
    st->time_base = AVRational{1, 25};
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = e->id;
    st->codecpar->width = 352;
    st->codecpar->height = 288;
    if ((r = avio_open_dyn_buf(&ctx->pb)) >= 0) {
      r = avformat_init_output(ctx, nullptr);
      uint8_t* bytes = nullptr;
      avio_close_dyn_buf(ctx->pb, &bytes);
      av_free(bytes);
      ctx->pb = nullptr;
    }
  }
  avformat_free_context(ctx);
  if (r == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
  if (r >= 0) return S_OK;
  if (text) *text = codecName + " video cannot be written into a " + container + " file\n";
  return E_INVALIDARG;
}

HRESULT CEncoderEngine::OpenByName(const std::string& name) {
  m_bLibraryReady = true;
  m_pOutputFormat = FindFormat(name);
  m_bPsp = m_bIpod = false;
  if (!m_pOutputFormat) return Fail(E_INVALIDARG, "Could not find output format '%s'\n", name.c_str());
  return Open(ModeName);
}

CEncoderEngine::ShownPicture CEncoderEngine::Shown() const {
  ShownPicture s;
  const int cw = m_nInWidth - std::max(0, m_nCropLeft) - std::max(0, m_nCropRight);
  const int ch = m_nInHeight - std::max(0, m_nCropTop) - std::max(0, m_nCropBottom);
  s.width = Sideways() ? ch : cw;
  s.height = Sideways() ? cw : ch;
  s.pixelX = Sideways() ? m_nInPixelY : m_nInPixelX;
  s.pixelY = Sideways() ? m_nInPixelX : m_nInPixelY;
  return s;
}

void CEncoderEngine::DecidePixelShape(int mode) {
  m_nOutPixelX = m_nOutPixelY = 1;
  if (!m_bHasVideo || m_nOutWidth <= 0 || m_nOutHeight <= 0) return;
  const ShownPicture shown = Shown();
  const int cw = shown.width, ch = shown.height;
  if (cw <= 0 || ch <= 0) return;
  if (mode == ModeIndex) return DecideMpegShape(cw * shown.pixelX, ch * shown.pixelY);
  if (shown.pixelX == shown.pixelY) return;
  // A picture that fills the output (kept at its own size, or no bars
  // wanted) is shown at its own shape through the output's pixel shape,
  // where the codec writes one; else the output is made of square pixels
  // and fitted with bars.
  if (m_nFitMode == 1 && (cw != m_nOutWidth || ch != m_nOutHeight)) return;
  const int codec = m_nVideoCodecId ? m_nVideoCodecId : (m_pOutputFormat ? m_pOutputFormat->video_codec : 0);
  if (!CodecKeepsPixelShape(codec, cw * shown.pixelX, ch * shown.pixelY)) return;
  int64_t x = cw * shown.pixelX * m_nOutHeight, y = ch * shown.pixelY * m_nOutWidth;
  const int64_t g = std::gcd(x, y);
  x /= g;
  y /= g;
  if (x > INT32_MAX || y > INT32_MAX) return;
  m_nOutPixelX = static_cast<int>(x);
  m_nOutPixelY = static_cast<int>(y);
}

void CEncoderEngine::DecideMpegShape(int64_t shownX, int64_t shownY) {
  // The shape the frame is shown at, as its sequence header states it;
  // the picture keeps its own shape inside, with bars where the nearest
  // shape the format states is not its own.
  const double shape = static_cast<double>(shownX) / static_cast<double>(shownY);
  const double frame = static_cast<double>(m_nOutWidth) / static_cast<double>(m_nOutHeight);
  m_nFitMode = 1;
  int64_t x = 1, y = 1;  // the frame's display aspect
  if (m_nKind >= 2) {
    // A disc is shown 4:3; a DVD 16:9 too, for a picture nearer that shape.
    const bool wide = m_nKind >= 6 && shape * shape >= (4.0 / 3.0) * (16.0 / 9.0);
    x = wide ? 16 : 4;
    y = wide ? 9 : 3;
  } else if (m_nVideoCodecId == AV_CODEC_ID_MPEG2VIDEO) {
    // MPEG-2 states square pixels or one of three display aspects.
    const int64_t aspects[][2] = {{m_nOutWidth, m_nOutHeight}, {4, 3}, {16, 9}, {221, 100}};
    double best = HUGE_VAL;
    for (const auto& a : aspects) {
      const double off = std::fabs(std::log(shape * static_cast<double>(a[1]) / static_cast<double>(a[0])));
      if (off < best) best = off, x = a[0], y = a[1];
    }
  } else {
    // MPEG-1 states a pixel shape, height to width, one of fourteen.
    static const int kPelShapes[] = {10000, 6735, 7031, 7615, 8055, 8437, 8935, 9157,
                                     9815,  10255, 10695, 10950, 11575, 12015};
    const double wanted = shape / frame;  // the pixel's width to its height
    double best = HUGE_VAL;
    for (int pel : kPelShapes) {
      const double off = std::fabs(std::log(wanted * pel / 10000.0));
      if (off < best) best = off, x = 10000LL * m_nOutWidth, y = int64_t{pel} * m_nOutHeight;
    }
  }
  AVRational pixel{1, 1};
  av_reduce(&pixel.num, &pixel.den, x * m_nOutHeight, y * m_nOutWidth, 65535);
  if (pixel.num <= 0 || pixel.den <= 0) return;
  m_nOutPixelX = pixel.num;
  m_nOutPixelY = pixel.den;
}

void CEncoderEngine::ApplyFit() {
  m_nPadTop = m_nPadBottom = m_nPadLeft = m_nPadRight = 0;
  // Crops that would leave nothing (a probed size that differs from the
  // decoder's) are dropped rather than producing empty or negative pictures.
  auto clampCrop = [](int& a, int& b, int dim) {
    a = std::max(0, a);
    b = std::max(0, b);
    if (a + b > dim - 2) a = b = 0;
  };
  clampCrop(m_nCropLeft, m_nCropRight, m_nInWidth);
  clampCrop(m_nCropTop, m_nCropBottom, m_nInHeight);
  if (m_nFitMode != 1 || !m_bHasVideo) return;
  const ShownPicture shown = Shown();
  const int cw = shown.width, ch = shown.height;
  if (cw <= 0 || ch <= 0 || m_nOutWidth <= 0 || m_nOutHeight <= 0) return;
  // The shapes compared are those shown: the cropped (and turned) picture's
  // at its pixel shape against the output's at its own. The picture's
  // width in output pixels is cw * px * oy / (py * ox).
  const __int128 ow = m_nOutWidth, oh = m_nOutHeight;
  const __int128 wide = __int128{cw} * shown.pixelX * m_nOutPixelY, narrow = __int128{shown.pixelY} * m_nOutPixelX;
  if (wide * oh > ow * ch * narrow) {
    const int bar = static_cast<int>((oh - ow * ch * narrow / wide) / 4 * 2);
    if (bar > 0 && 2 * bar < m_nOutHeight) {
      m_nPadTop = m_nPadBottom = bar;
      m_nOutHeight -= 2 * bar;
    }
  } else if (wide * oh < ow * ch * narrow) {
    const int freeWidth = static_cast<int>((ow - oh * wide / (__int128{ch} * narrow)) / 4 * 4);
    if (freeWidth > 0 && freeWidth < m_nOutWidth) {
      m_nPadLeft = m_nPadRight = freeWidth / 2;
      m_nOutWidth -= freeWidth;
    }
  }
}

HRESULT CEncoderEngine::Open(int mode) {
  ReleaseOutput();
  m_strOpenedFile.clear();
  m_bCreatedFile = false;
  m_nVideoBytes = m_nAudioBytes = m_nHeaderBytes = 0;
  m_nVideoFrames = m_nAudioSamples = m_nAudioInSamples = 0;
  // A new part learns its sound's clock from its first timed sound.
  m_soundClock.Reset();
  m_bLibraryReady = true;

  if (mode == ModeIndex) {
    if (m_nKind < 0 || m_nKind > 7) return Fail(E_UNEXPECTED, "Invalid MPEG kind %d\n", m_nKind);
    const MpegKind& k = kMpegKinds[m_nKind];
    m_pOutputFormat = FindFormat(k.format);
    m_nVideoCodecId = k.video;
    m_dwCodecTag = 0;
    m_nVideoBitrate = k.videoRate;
    m_nMaxRate = k.maxRate;
    m_nMinRate = k.minRate;
    m_nBufferSize = k.buffer;
    m_nSampleRate = k.sampleRate;
    m_nAudioBitrate = k.audioRate;
    m_nAudioCodecId = k.audio;
    m_nPacketSize = k.packetSize;
    m_nMuxRate = k.muxRate;
    m_fPreload = k.preload;
    m_bScanOffset = k.scanOffset;
    m_nGopSize = k.gop;
    m_bPsp = m_bIpod = false;
    if (!m_pOutputFormat) return Fail(E_INVALIDARG, "Could not find output format '%s'\n", k.format);
  } else {
    m_nMaxRate = m_nMinRate = m_nBufferSize = 0;
    m_nPacketSize = m_nMuxRate = 0;
    m_fPreload = 0;
    m_bScanOffset = false;
    m_nGopSize = 12;
  }
  if (m_bHasVideo && (m_nOutWidth < 2 || m_nOutHeight < 2 || m_nRateNum <= 0 || m_nRateDen <= 0))
    return Fail(E_INVALIDARG, "%s: Invalid encoding parameters\n", m_strOutputName.c_str());

  m_pFormatCtx = avformat_alloc_context();
  if (!m_pFormatCtx) return Fail(E_OUTOFMEMORY, "Could not alloc output context\n");
  m_pFormatCtx->oformat = m_pOutputFormat;
  m_pFormatCtx->url = av_strdup(m_strOutputName.c_str());
  m_pFormatCtx->flags |= AVFMT_FLAG_BITEXACT;
  if (!m_strOutputText.empty()) av_dict_set(&m_pFormatCtx->metadata, "title", m_strOutputText.c_str(), 0);

  DecidePixelShape(mode);
  ApplyFit();

  if (m_bNoAudio) {
    m_nSilenceBytes = kSilenceBlock;
    std::fill(m_silence.begin(), m_silence.end(), 0);
    m_nInSampleRate = m_nSampleRate;
    m_nInChannels = 2;
  }

  HRESULT hr = S_OK;
  if (m_bHasVideo && FAILED(hr = AddVideoStream())) return hr;
  if (FAILED(hr = AddAudioStream())) return hr;

  if (!(m_pOutputFormat->flags & AVFMT_NOFILE)) {
    std::error_code ec;
    const bool existed = std::filesystem::exists(m_strOutputName, ec);
    // The opening below would wait for good on a pipe.
    if (!OpenableAsRegularFile(m_strOutputName))
      return Fail(E_INVALIDARG, "The target is not a regular file: %s\n", m_strShownName.c_str());
    m_outputWatch.Start();
    const AVIOInterruptCB interrupt = m_outputWatch.Callback();
    AVIOContext* file = nullptr;
    if (avio_open2(&file, m_strOutputName.c_str(), AVIO_FLAG_WRITE, &interrupt, nullptr) < 0)
      return Fail(E_INVALIDARG, "Could not open '%s'\n", m_strShownName.c_str());
    m_bFileOpen = true;
    SetUpPesTimes(file);
    if (!m_pFormatCtx->pb) return Fail(E_OUTOFMEMORY, "Could not open '%s'\n", m_strShownName.c_str());
    m_strOpenedFile = m_strOutputName;
    m_bCreatedFile = !existed;
  }

  if (m_nPacketSize > 0) m_pFormatCtx->packet_size = static_cast<unsigned>(m_nPacketSize);
  m_pFormatCtx->max_delay = static_cast<int>(m_fMaxDelay * 1000000);
  if (m_pFormatCtx->priv_data) {
    if (m_nMuxRate > 0) av_opt_set_int(m_pFormatCtx->priv_data, "muxrate", m_nMuxRate, 0);
    if (m_fPreload > 0) av_opt_set_int(m_pFormatCtx->priv_data, "preload", static_cast<int64_t>(m_fPreload * 1000000), 0);
  }
  return PrepareStreams();
}

HRESULT CEncoderEngine::AddVideoStream() {
  const int id = m_nVideoCodecId ? m_nVideoCodecId : m_pOutputFormat->video_codec;
  m_pVideoStream = avformat_new_stream(m_pFormatCtx, nullptr);
  if (!m_pVideoStream) return Fail(E_OUTOFMEMORY, "Could not alloc video stream\n");
  const AVCodec* codec = FindEncoder(id);
  if (!codec) return Fail(E_UNEXPECTED, "Unsupported codec for output stream #%d.%d\n", 0, m_pVideoStream->index);
  m_pVideoCtx = avcodec_alloc_context3(codec);
  if (!m_pVideoCtx) return Fail(E_OUTOFMEMORY, "Could not alloc video stream\n");
  AVCodecContext* c = m_pVideoCtx;
  if (m_dwCodecTag) c->codec_tag = m_dwCodecTag;
  c->bit_rate = m_nVideoBitrate;
  // The rate control pulls back by (tolerance - bits over) / tolerance:
  // with a tolerance of several seconds' worth of bits it hardly pulls at
  // all, and the output ends far above its rate. At most one second's worth.
  c->bit_rate_tolerance = static_cast<int>(std::min<int64_t>(m_nRateTolerance, m_nVideoBitrate));
  c->time_base = AVRational{m_nRateDen, m_nRateNum};
  c->framerate = AVRational{m_nRateNum, m_nRateDen};
  c->width = m_nOutWidth + m_nPadLeft + m_nPadRight;
  c->height = m_nOutHeight + m_nPadTop + m_nPadBottom;
  c->sample_aspect_ratio = AVRational{m_nOutPixelX, m_nOutPixelY};
  m_pVideoStream->sample_aspect_ratio = c->sample_aspect_ratio;
  c->gop_size = m_nGopSize;
  c->rc_max_rate = m_nMaxRate;
  c->rc_min_rate = m_nMinRate;
  c->rc_buffer_size = m_nBufferSize;
  c->rc_initial_buffer_occupancy = m_nBufferSize * 3 / 4;
  const bool mpeg = codec->id == AV_CODEC_ID_MPEG1VIDEO || codec->id == AV_CODEC_ID_MPEG2VIDEO;
  // Bit-exact mode keeps the MPEG-1/2 encoder off faster routines of its
  // own that cost it nothing measurable in quality (well under 0.1 dB),
  // yet a tenth of its processor time.
  if (!mpeg) c->flags |= AV_CODEC_FLAG_BITEXACT;
  c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
  if (m_bScanOffset) av_opt_set_int(c->priv_data, "scan_offset", 1, 0);
  if (m_pOutputFormat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // A PSP plays H.264 from a single reference frame; an iPod at 640 pixels
  // needs level 3.0.
  if (m_bPsp && codec->id == AV_CODEC_ID_H264) c->refs = 1;
  if (m_bIpod && c->width == 640) c->level = 30;
  // MPEG-1 and MPEG-2 pictures are encoded in slices side by side, so that
  // the encoder keeps up with the decoder. A slice of less than a third of
  // a PAL picture costs more in hand-overs than it saves.
  if (mpeg) {
    const int64_t slices = static_cast<int64_t>(c->width) * c->height / kSliceArea;
    c->thread_count = static_cast<int>(std::clamp<int64_t>(slices, 1, std::max(1u, std::thread::hardware_concurrency())));
    c->thread_type = FF_THREAD_SLICE;
  }
  m_pVideoStream->time_base = c->time_base;
  return S_OK;
}

HRESULT CEncoderEngine::AddAudioStream() {
  const int id = m_nAudioCodecId ? m_nAudioCodecId : m_pOutputFormat->audio_codec;
  if (id == AV_CODEC_ID_NONE) return S_OK;  // a container without audio
  m_pAudioStream = avformat_new_stream(m_pFormatCtx, nullptr);
  if (!m_pAudioStream) return Fail(E_OUTOFMEMORY, "Could not alloc audio stream\n");
  const AVCodec* codec = FindEncoder(id);
  if (!codec) return Fail(E_UNEXPECTED, "Unsupported codec for output stream #%d.%d\n", 0, m_pAudioStream->index);
  m_pAudioCtx = avcodec_alloc_context3(codec);
  if (!m_pAudioCtx) return Fail(E_OUTOFMEMORY, "Could not alloc audio stream\n");
  AVCodecContext* c = m_pAudioCtx;
  c->bit_rate = m_nAudioBitrate;
  // The encoder's nearest supported rate (AAC has no 22000 Hz). The AMR
  // encoders list no rates or layouts, yet take only one of each: narrow
  // band 8000 Hz mono, wide band 16000 Hz mono.
  int rate = m_nSampleRate > 0 ? m_nSampleRate : 44100;
  int channels = m_nChannels > 0 ? m_nChannels : 2;
  if (codec->id == AV_CODEC_ID_AMR_NB || codec->id == AV_CODEC_ID_AMR_WB) {
    rate = codec->id == AV_CODEC_ID_AMR_NB ? 8000 : 16000;
    channels = 1;
  } else if (codec->supported_samplerates) {
    int best = codec->supported_samplerates[0];
    for (const int* r = codec->supported_samplerates; *r; ++r)
      if (std::abs(*r - rate) < std::abs(best - rate)) best = *r;
    rate = best;
  }
  c->sample_rate = rate;
  c->time_base = AVRational{1, rate};
  if (channels > 2 && codec->id != AV_CODEC_ID_AC3 && codec->id != AV_CODEC_ID_DTS) channels = 2;
  AVChannelLayout layout;
  av_channel_layout_default(&layout, channels);
  if (codec->ch_layouts) {
    bool supported = false;
    for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
      if (l->nb_channels == channels) {
        supported = true;
        av_channel_layout_uninit(&layout);
        av_channel_layout_copy(&layout, l);
        break;
      }
    if (!supported) {
      av_channel_layout_uninit(&layout);
      av_channel_layout_copy(&layout, &codec->ch_layouts[0]);
    }
  }
  av_channel_layout_copy(&c->ch_layout, &layout);
  av_channel_layout_uninit(&layout);
  c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  c->flags |= AV_CODEC_FLAG_BITEXACT;
  if (m_pOutputFormat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  m_pAudioStream->time_base = c->time_base;
  return S_OK;
}

AVFrame* CEncoderEngine::NewVideoFrame() {
  const AVCodecContext* c = m_pVideoCtx;
  AVFrame* frame = av_frame_alloc();
  if (!frame) return nullptr;
  frame->format = c->pix_fmt;
  frame->width = c->width;
  frame->height = c->height;
  if (av_frame_get_buffer(frame, 0) < 0) {
    av_frame_free(&frame);
    return nullptr;
  }
  // Bars stay black: the converter only ever writes the inner picture.
  ptrdiff_t linesizes[4];
  for (int i = 0; i < 4; ++i) linesizes[i] = frame->linesize[i];
  av_image_fill_black(frame->data, linesizes, c->pix_fmt,
                      c->color_range == AVCOL_RANGE_JPEG ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG, c->width, c->height);
  m_spareFrames.push_back(frame);
  return frame;
}

void CEncoderEngine::PlanesAt(const AVFrame* frame, int top, int left, uint8_t* planes[4]) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  for (int p = 0; p < 4 && frame->data[p]; ++p) {
    const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const int y = chroma ? (top >> desc->log2_chroma_h) : top;
    const int x = chroma ? (left >> desc->log2_chroma_w) : left;
    const int step = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) ? 1 : desc->comp[0].step;
    planes[p] = frame->data[p] + static_cast<ptrdiff_t>(y) * frame->linesize[p] + x * step;
  }
}

void CEncoderEngine::BlackRightBar(AVFrame* frame) {
  // The scaler writes its rows in whole blocks of pixels, past an inner
  // width that is not a multiple of them and into the right bar: the bar is
  // blacked again after it.
  uint8_t* planes[4] = {};
  PlanesAt(frame, 0, m_nPadLeft + m_nOutWidth, planes);
  ptrdiff_t linesizes[4];
  for (int i = 0; i < 4; ++i) linesizes[i] = frame->linesize[i];
  av_image_fill_black(planes, linesizes, static_cast<AVPixelFormat>(frame->format),
                      m_pVideoCtx->color_range == AVCOL_RANGE_JPEG ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG, m_nPadRight,
                      frame->height);
}

AVFrame* CEncoderEngine::WritableVideoFrame() {
  // Encoders that reorder keep references to the frames they were given; a
  // frame of our own that none holds any more is used again, so that no
  // frame is allocated, faulted in and blacked out per picture.
  for (AVFrame* frame : m_spareFrames)
    if (av_frame_is_writable(frame)) return frame;
  if (m_spareFrames.size() < kMaxSpareFrames) return NewVideoFrame();
  AVFrame* frame = m_spareFrames.front();
  return av_frame_make_writable(frame) < 0 ? nullptr : frame;
}

namespace {

// A frame of its own buffers; false when they cannot be had.
bool AllocFrame(AVFrame*& frame, int format, int width, int height) {
  frame = av_frame_alloc();
  if (!frame) return false;
  frame->format = format;
  frame->width = width;
  frame->height = height;
  return av_frame_get_buffer(frame, 0) >= 0;
}

// A layout whose planes turn as they are: each plane of one component,
// chroma thinned alike across and down.
bool TurnsAsItIs(int format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)) ||
      d->log2_chroma_w != d->log2_chroma_h)
    return false;
  if (d->nb_components == 1) return d->comp[0].step <= 4;
  if (!(d->flags & AV_PIX_FMT_FLAG_PLANAR)) return false;
  for (int i = 0; i < d->nb_components; ++i)
    if (d->comp[i].step > 4) return false;
  return true;
}

SwsContext* NewScaler(int srcW, int srcH, int srcFormat, int dstW, int dstH, int dstFormat, int threads) {
  SwsContext* sws = sws_alloc_context();
  if (!sws) return nullptr;
  av_opt_set_int(sws, "srcw", srcW, 0);
  av_opt_set_int(sws, "srch", srcH, 0);
  av_opt_set_int(sws, "src_format", srcFormat, 0);
  av_opt_set_int(sws, "dstw", dstW, 0);
  av_opt_set_int(sws, "dsth", dstH, 0);
  av_opt_set_int(sws, "dst_format", dstFormat, 0);
  av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0);
  if (threads > 1) av_opt_set_int(sws, "threads", threads, 0);
  if (sws_init_context(sws, nullptr, nullptr) < 0) sws_freeContext(sws), sws = nullptr;
  return sws;
}

}  // namespace

HRESULT CEncoderEngine::SetUpPictureConversion() {
  AVCodecContext* c = m_pVideoCtx;
  sws_freeContext(m_pSws);
  m_pSws = nullptr;
  av_frame_free(&m_pSourceYuv);
  av_frame_free(&m_pScaled);
  av_frame_free(&m_pTurnFrame);
  m_pHelper.reset();
  const int srcW = m_nInWidth - m_nCropLeft - m_nCropRight;
  const int srcH = m_nInHeight - m_nCropTop - m_nCropBottom;
  // A turned picture is scaled as it is stored, to the output's size
  // turned back, and turned last: the turn moves the fewest pixels there,
  // and where nothing is scaled it takes the place of the copy.
  const int outW = Sideways() ? m_nOutHeight : m_nOutWidth, outH = Sideways() ? m_nOutWidth : m_nOutHeight;
  if (m_nTurn && !TurnsAsItIs(c->pix_fmt))
    return Fail(E_INVALIDARG, "The picture cannot be turned upright in the %s layout of the %s encoder\n",
                av_get_pix_fmt_name(c->pix_fmt), c->codec->name);
  const bool scaled = srcW != outW || srcH != outH;
  if (m_bPlanarInput) {
    // The decoder's own 4:2:0 pictures: copied (or turned) as they are when
    // nothing changes, else scaled (and brought to the encoder's layout)
    // at once.
    m_bYuvPath = false;
    if (c->pix_fmt == AV_PIX_FMT_YUV420P && !scaled) return S_OK;
    m_pSws = NewScaler(srcW, srcH, AV_PIX_FMT_YUV420P, outW, outH, c->pix_fmt, 1);
    if (!m_pSws) return Fail(E_OUTOFMEMORY, "Can't alloc picture resample buffer for output stream");
    if (m_nTurn && !AllocFrame(m_pTurnFrame, c->pix_fmt, outW, outH))
      return Fail(E_OUTOFMEMORY, "Can't alloc picture buffer for output stream");
    return S_OK;
  }
  m_bYuvPath = c->pix_fmt == AV_PIX_FMT_YUV420P || c->pix_fmt == AV_PIX_FMT_YUVJ420P;
  // Full-size pictures are converted in two halves side by side, so that
  // the muxer's worker keeps up with the decoder.
  const bool split = m_bYuvPath && srcW * srcH >= kSplitArea && std::thread::hardware_concurrency() > 1;
  if (split) m_pHelper = std::make_unique<CSliceHelper>();
  if (!m_bYuvPath) {
    m_pSws = sws_getContext(srcW, srcH, m_nInBits == 32 ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGR24, outW, outH, c->pix_fmt,
                            SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!m_pSws) return Fail(E_OUTOFMEMORY, "Can't alloc picture resample buffer for output stream");
  } else if (scaled || m_nTurn) {
    // RGB becomes 4:2:0 at its own size first, which is then scaled or
    // turned into the output.
    if (!AllocFrame(m_pSourceYuv, c->pix_fmt, srcW, srcH))
      return Fail(E_OUTOFMEMORY, "Can't alloc picture buffer for output stream");
    if (scaled) {
      m_pScaled = av_frame_alloc();
      if (!m_pScaled) return Fail(E_OUTOFMEMORY, "Can't alloc picture buffer for output stream");
      m_pSws = NewScaler(srcW, srcH, c->pix_fmt, outW, outH, c->pix_fmt, split ? 2 : 1);
      if (!m_pSws) return Fail(E_OUTOFMEMORY, "Can't alloc picture resample buffer for output stream");
    }
  }
  if (m_nTurn && m_pSws && !AllocFrame(m_pTurnFrame, c->pix_fmt, outW, outH))
    return Fail(E_OUTOFMEMORY, "Can't alloc picture buffer for output stream");
  return S_OK;
}

HRESULT CEncoderEngine::TurnInto(const uint8_t* const planes[4], const int pitches[4], int width, int height,
                                 uint8_t* const dst[4]) {
  const AVPixelFormat format = m_pVideoCtx->pix_fmt;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  for (int i = 0; i < d->nb_components; ++i) {
    const AVComponentDescriptor& comp = d->comp[i];
    // Each plane once, by its first component.
    bool first = true;
    for (int j = 0; j < i; ++j) first = first && d->comp[j].plane != comp.plane;
    if (!first) continue;
    const bool chroma = (i == 1 || i == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
    const int w = chroma ? AV_CEIL_RSHIFT(width, d->log2_chroma_w) : width;
    const int h = chroma ? AV_CEIL_RSHIFT(height, d->log2_chroma_h) : height;
    if (!TurnPicture(w, h, comp.step, planes[comp.plane], pitches[comp.plane], dst[comp.plane],
                     m_pVideoFrame->linesize[comp.plane], m_nTurn))
      return Fail(E_FAIL, "error turning picture\n");
  }
  return S_OK;
}

HRESULT CEncoderEngine::PrepareStreams() {
  m_pPacket = av_packet_alloc();
  if (!m_pPacket) return Fail(E_OUTOFMEMORY, "Alloc video bit buffer failed\n");

  if (m_pVideoCtx) {
    AVCodecContext* c = m_pVideoCtx;
    m_pVideoFrame = NewVideoFrame();
    if (!m_pVideoFrame) return Fail(E_OUTOFMEMORY, "Can't alloc picture buffer for output stream");
    HRESULT hr = SetUpPictureConversion();
    if (FAILED(hr)) return hr;
    if (avcodec_open2(c, c->codec, nullptr) < 0)
      return Fail(E_UNEXPECTED,
                  "Error while opening codec for stream #%d.%d - maybe incorrect parameters such as bit_rate, rate, "
                  "width or height\n",
                  0, m_pVideoStream->index);
    avcodec_parameters_from_context(m_pVideoStream->codecpar, c);
    m_pVideoStream->time_base = c->time_base;
    m_nHeaderBytes += c->extradata_size;
  }

  if (m_pAudioCtx) {
    AVCodecContext* c = m_pAudioCtx;
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, m_nInChannels);
    int r = swr_alloc_set_opts2(&m_pSwr, &c->ch_layout, c->sample_fmt, c->sample_rate, &inLayout, AV_SAMPLE_FMT_S16,
                                m_nInSampleRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (r < 0 || swr_init(m_pSwr) < 0)
      return Fail(E_OUTOFMEMORY, "Can't resample audio, channel %d => %d, samples rate %d => %d", m_nInChannels,
                  c->ch_layout.nb_channels, m_nInSampleRate, c->sample_rate);
    if (avcodec_open2(c, c->codec, nullptr) < 0)
      return Fail(E_UNEXPECTED,
                  "Error while opening codec for stream #%d.%d - maybe incorrect parameters such as bit_rate, rate, "
                  "width or height\n",
                  0, m_pAudioStream->index);
    avcodec_parameters_from_context(m_pAudioStream->codecpar, c);
    m_pAudioStream->time_base = c->time_base;
    m_nHeaderBytes += c->extradata_size;
    m_pFifo = av_audio_fifo_alloc(c->sample_fmt, c->ch_layout.nb_channels, std::max(c->frame_size, 1024) * 4);
    if (!m_pFifo) return Fail(E_OUTOFMEMORY, "Can't alloc fifo buffer for audio");
    m_pAudioFrame = av_frame_alloc();
    if (!m_pAudioFrame) return Fail(E_OUTOFMEMORY, "Can't alloc fifo buffer for audio");
  }
  return S_OK;
}

HRESULT CEncoderEngine::WriteHeader() {
  if (!m_pFormatCtx) return Fail(E_UNEXPECTED, "Could not write header for output file (incorrect codec paramters ?)");
  if (avformat_write_header(m_pFormatCtx, nullptr) < 0)
    return Fail(E_UNEXPECTED, "Could not write header for output file (incorrect codec paramters ?)");
  m_bHeaderWritten = true;
  return S_OK;
}

HRESULT CEncoderEngine::WriteEncoded(AVCodecContext* ctx, AVStream* st, bool video, bool* wrote) {
  for (;;) {
    int r = avcodec_receive_packet(ctx, m_pPacket);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return S_OK;
    if (r < 0) return video ? Fail(E_UNEXPECTED, "Encoding video failed, code %d\n", r) : S_OK;
    (video ? m_nVideoBytes : m_nAudioBytes) += m_pPacket->size;
    m_nRunBytes += m_pPacket->size;
    // Every picture lasts one frame period; without it containers with edit
    // lists cut the last picture off.
    if (video && m_pPacket->duration <= 0) m_pPacket->duration = 1;
    av_packet_rescale_ts(m_pPacket, ctx->time_base, st->time_base);
    m_pPacket->stream_index = st->index;
    if (!video) m_pPacket->flags |= AV_PKT_FLAG_KEY;
    if (!video && PrimingCut()) {
      // The priming is cut from the sound instead (WritePacket): the
      // packets start at 0, where the first frame starts too.
      const int64_t shift = av_rescale_q(ctx->initial_padding, AVRational{1, ctx->sample_rate}, st->time_base);
      if (m_pPacket->pts != AV_NOPTS_VALUE) m_pPacket->pts += shift;
      if (m_pPacket->dts != AV_NOPTS_VALUE) m_pPacket->dts += shift;
    }
    if (m_pPesTimes) {
      auto clock = [st](int64_t t) { return t == AV_NOPTS_VALUE ? INT64_MIN : av_rescale_q(t, st->time_base, {1, 90000}); };
      m_pPesTimes->AddUnit(st->index, m_pPacket->data, static_cast<size_t>(m_pPacket->size), clock(m_pPacket->pts),
                           clock(m_pPacket->dts));
    }
    r = av_interleaved_write_frame(m_pFormatCtx, m_pPacket);
    av_packet_unref(m_pPacket);
    if (wrote) *wrote = true;
    // Audio write results are not fatal: a lost audio packet must not end
    // the conversion. A file that cannot be written ends it, whatever the
    // packet.
    if (r != 0 && OutputFailed()) return WriteFailed(r);
    if (r != 0 && video) return Fail(E_UNEXPECTED, "Write video packet failed, code %d\n", r);
  }
}

HRESULT CEncoderEngine::EncodeVideoFrame(AVFrame* frame) {
  int r = avcodec_send_frame(m_pVideoCtx, frame);
  if (r < 0 && r != AVERROR_EOF) return Fail(E_UNEXPECTED, "Encoding video failed, code %d\n", r);
  return WriteEncoded(m_pVideoCtx, m_pVideoStream, true, nullptr);
}

HRESULT CEncoderEngine::EncodePicture(AVFrame* frame) {
  frame->pts = m_nVideoFrames++;
  ++m_nRunFrames;
  HRESULT hr = EncodeVideoFrame(frame);
  if (FAILED(hr)) return hr;
  // Held by reference: the frame's buffers are not written again while the
  // picture may still be repeated.
  if (frame == m_pLastPicture) return hr;
  if (!m_pLastPicture) m_pLastPicture = av_frame_alloc();
  if (m_pLastPicture) {
    av_frame_unref(m_pLastPicture);
    if (av_frame_ref(m_pLastPicture, frame) < 0) av_frame_unref(m_pLastPicture);
  }
  return hr;
}

HRESULT CEncoderEngine::RepeatLastPicture() {
  if (m_pLastPicture && m_pLastPicture->buf[0]) return EncodePicture(m_pLastPicture);
  // Before the first picture (the picture starts after the sound): black,
  // as a player shows it, so that every picture keeps its time.
  AVFrame* black = WritableVideoFrame();
  if (!black) return Fail(E_OUTOFMEMORY, "Alloc buffer for a black picture failed");
  ptrdiff_t linesizes[4];
  for (int i = 0; i < 4; ++i) linesizes[i] = black->linesize[i];
  av_image_fill_black(black->data, linesizes, static_cast<AVPixelFormat>(black->format),
                      m_pVideoCtx->color_range == AVCOL_RANGE_JPEG ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG, black->width,
                      black->height);
  return EncodePicture(black);
}

HRESULT CEncoderEngine::EncodeAudioFrame(AVFrame* frame) {
  if (avcodec_send_frame(m_pAudioCtx, frame) < 0) return S_OK;
  return WriteEncoded(m_pAudioCtx, m_pAudioStream, false, nullptr);
}

HRESULT CEncoderEngine::EncodeAudioBytes(const BYTE* data, size_t bytes) {
  if (!m_pAudioCtx || !m_pSwr) return S_OK;
  AVCodecContext* c = m_pAudioCtx;
  const int inSamples = static_cast<int>(bytes / (2 * static_cast<size_t>(m_nInChannels)));
  const int maxOut = swr_get_out_samples(m_pSwr, inSamples);
  if (maxOut <= 0) return S_OK;
  if (maxOut > m_nResampledCapacity) {
    if (!m_resampled.empty()) av_freep(&m_resampled[0]);
    m_resampled.assign(std::max(c->ch_layout.nb_channels, 1), nullptr);
    if (av_samples_alloc(m_resampled.data(), nullptr, c->ch_layout.nb_channels, maxOut, c->sample_fmt, 0) < 0) {
      m_resampled.clear();
      m_nResampledCapacity = 0;
      return S_OK;
    }
    m_nResampledCapacity = maxOut;
  }
  const uint8_t* in[1] = {data};
  const int n = swr_convert(m_pSwr, m_resampled.data(), maxOut, data ? in : nullptr, inSamples);
  if (n <= 0) return S_OK;
  if (c->frame_size > 1) {
    av_audio_fifo_write(m_pFifo, reinterpret_cast<void**>(m_resampled.data()), n);
    while (av_audio_fifo_size(m_pFifo) >= c->frame_size) {
      av_frame_unref(m_pAudioFrame);
      m_pAudioFrame->nb_samples = c->frame_size;
      m_pAudioFrame->format = c->sample_fmt;
      m_pAudioFrame->sample_rate = c->sample_rate;
      av_channel_layout_copy(&m_pAudioFrame->ch_layout, &c->ch_layout);
      if (av_frame_get_buffer(m_pAudioFrame, 0) < 0) return S_OK;
      av_audio_fifo_read(m_pFifo, reinterpret_cast<void**>(m_pAudioFrame->data), c->frame_size);
      m_pAudioFrame->pts = m_nAudioSamples;
      m_nAudioSamples += c->frame_size;
      EncodeAudioFrame(m_pAudioFrame);
    }
  } else {
    // Codecs without a frame size (PCM) take the whole buffer at once.
    av_frame_unref(m_pAudioFrame);
    m_pAudioFrame->nb_samples = n;
    m_pAudioFrame->format = c->sample_fmt;
    m_pAudioFrame->sample_rate = c->sample_rate;
    av_channel_layout_copy(&m_pAudioFrame->ch_layout, &c->ch_layout);
    if (av_frame_get_buffer(m_pAudioFrame, 0) < 0) return S_OK;
    av_samples_copy(m_pAudioFrame->data, m_resampled.data(), 0, 0, n, c->ch_layout.nb_channels, c->sample_fmt);
    m_pAudioFrame->pts = m_nAudioSamples;
    m_nAudioSamples += n;
    EncodeAudioFrame(m_pAudioFrame);
  }
  return S_OK;
}

HRESULT CEncoderEngine::AddSilenceIfBehind() {
  if (!m_bNoAudio || !m_pAudioCtx || !m_pVideoCtx) return S_OK;
  // Both times in seconds; the audio time counts every sample handed to the
  // encoder, whatever the codec.
  const double videoTime = static_cast<double>(m_nVideoFrames) * m_nRateDen / m_nRateNum;
  const double audioTime =
      static_cast<double>(m_nAudioSamples + av_audio_fifo_size(m_pFifo)) / m_pAudioCtx->sample_rate;
  if (videoTime <= audioTime) return S_OK;
  // As much silence as the picture is ahead, at most one block: the silent
  // track ends with the picture rather than up to a block after it.
  const int64_t frameBytes = 2 * static_cast<int64_t>(m_nInChannels);
  const int64_t behind = static_cast<int64_t>(std::ceil((videoTime - audioTime) * m_nInSampleRate)) * frameBytes;
  const int64_t block = std::min<int64_t>(m_nSilenceBytes, static_cast<int64_t>(m_silence.size()));
  return EncodeAudioBytes(m_silence.data(), static_cast<size_t>(std::min(behind, block / frameBytes * frameBytes)));
}

HRESULT CEncoderEngine::ConvertToYuv(const uint8_t* src, int stride, int srcH, uint8_t* const dst[4]) {
  const int srcW = m_nInWidth - m_nCropLeft - m_nCropRight;
  const bool full = m_pVideoFrame->format == AV_PIX_FMT_YUVJ420P;
  // Straight into the picture at the output size, else into the source-size
  // frame that the scaler reads or that is turned.
  uint8_t* const* planes = m_pSourceYuv ? m_pSourceYuv->data : dst;
  const int* pitches = m_pSourceYuv ? m_pSourceYuv->linesize : m_pVideoFrame->linesize;
  auto rows = [=, this](int first, int count) {
    ConvertRgbToYuv420(srcW, count, src + static_cast<ptrdiff_t>(first) * stride, stride, m_nInBits,
                       planes[0] + static_cast<ptrdiff_t>(first) * pitches[0], pitches[0],
                       planes[1] + static_cast<ptrdiff_t>(first / 2) * pitches[1], pitches[1],
                       planes[2] + static_cast<ptrdiff_t>(first / 2) * pitches[2], pitches[2], full);
  };
  if (m_pHelper) {
    const int top = (srcH / 2) & ~1;
    m_pHelper->Start([=] { rows(top, srcH - top); });
    rows(0, top);
    m_pHelper->Wait();
  } else {
    rows(0, srcH);
  }
  if (m_nTurn && !m_pSws) return TurnInto(m_pSourceYuv->data, m_pSourceYuv->linesize, srcW, srcH, dst);
  if (!m_pSws) return S_OK;
  if (m_nTurn) {
    if (sws_scale_frame(m_pSws, m_pTurnFrame, m_pSourceYuv) < 0) return E_FAIL;
    return TurnInto(m_pTurnFrame->data, m_pTurnFrame->linesize, m_pTurnFrame->width, m_pTurnFrame->height, dst);
  }
  // The scaler writes the inner picture of the output frame, through a view
  // of it that shares its buffers.
  AVFrame* view = m_pScaled;
  av_frame_unref(view);
  if (av_frame_ref(view, m_pVideoFrame) < 0) return E_OUTOFMEMORY;
  view->width = m_nOutWidth;
  view->height = m_nOutHeight;
  for (int p = 0; p < 3; ++p) view->data[p] = dst[p];
  const int r = sws_scale_frame(m_pSws, view, m_pSourceYuv);
  av_frame_unref(view);
  return r < 0 ? E_FAIL : S_OK;
}

HRESULT CEncoderEngine::EncodeInnerPicture() {
  if (m_pSws && !m_nTurn && m_nPadRight > 0) BlackRightBar(m_pVideoFrame);
  return EncodePicture(m_pVideoFrame);
}

HRESULT CEncoderEngine::WritePlanarPicture(const uint8_t* data) {
  // Y, then the two quarter-size chroma planes (V first in YV12), each
  // read from the crop rectangle on.
  const int chromaStride = m_nStride / 2;
  const uint8_t* first = data + static_cast<ptrdiff_t>(m_nStride) * m_nInHeight;
  const uint8_t* second = first + static_cast<ptrdiff_t>(chromaStride) * (m_nInHeight / 2);
  // The scaler reads four planes' pointers and pitches whatever the format:
  // the fourth is given as none rather than left to what the stack holds.
  const uint8_t* src[4] = {data + static_cast<ptrdiff_t>(m_nCropTop) * m_nStride + m_nCropLeft,
                           m_bSwapChroma ? second : first, m_bSwapChroma ? first : second, nullptr};
  for (int p = 1; p < 3; ++p) src[p] += static_cast<ptrdiff_t>(m_nCropTop / 2) * chromaStride + m_nCropLeft / 2;
  const int strides[4] = {m_nStride, chromaStride, chromaStride, 0};
  m_pVideoFrame = WritableVideoFrame();
  if (!m_pVideoFrame) return Fail(E_OUTOFMEMORY, "Alloc buffer for color space converting failed");
  uint8_t* dst[4] = {};
  PlanesAt(m_pVideoFrame, m_nPadTop, m_nPadLeft, dst);
  const int srcH = m_nInHeight - m_nCropTop - m_nCropBottom;
  if (m_nTurn) {
    HRESULT hr = S_OK;
    if (!m_pSws) {
      hr = TurnInto(src, strides, m_nInWidth - m_nCropLeft - m_nCropRight, srcH, dst);
    } else if (sws_scale(m_pSws, src, strides, 0, srcH, m_pTurnFrame->data, m_pTurnFrame->linesize) <= 0) {
      hr = Fail(E_FAIL, "error padding picture\n");
    } else {
      hr = TurnInto(m_pTurnFrame->data, m_pTurnFrame->linesize, m_pTurnFrame->width, m_pTurnFrame->height, dst);
    }
    return FAILED(hr) ? hr : EncodeInnerPicture();
  }
  if (m_pSws) {
    if (sws_scale(m_pSws, src, strides, 0, srcH, dst, m_pVideoFrame->linesize) <= 0)
      return Fail(E_FAIL, "error padding picture\n");
  } else {
    for (int p = 0; p < 3; ++p)
      av_image_copy_plane(dst[p], m_pVideoFrame->linesize[p], src[p], strides[p], p ? m_nOutWidth / 2 : m_nOutWidth,
                          p ? srcH / 2 : srcH);
  }
  return EncodeInnerPicture();
}

bool CEncoderEngine::PictureGoesAsItIs() const {
  return m_bPlanarInput && !m_pSws && !m_nTurn && m_pVideoCtx && m_pVideoCtx->pix_fmt == AV_PIX_FMT_YUV420P &&
         m_nCropTop == 0 && m_nCropBottom == 0 && m_nCropLeft == 0 && m_nCropRight == 0 && m_nPadTop == 0 &&
         m_nPadBottom == 0 && m_nPadLeft == 0 && m_nPadRight == 0 && m_nStride % 2 == 0 && m_nInHeight % 2 == 0;
}

HRESULT CEncoderEngine::EncodeStorage(std::vector<BYTE>&& storage) {
  // The frame owns the storage from here on: an encoder that reorders
  // keeps it for as long as it needs the picture, and it then goes back to
  // the muxer's records (which outlive it only if the encoder does).
  struct Held {
    std::vector<BYTE> bytes;
    std::shared_ptr<CRecordBufferPool> home;
  };
  auto owned = std::make_unique<Held>(Held{std::move(storage), m_pRecordBuffers});
  AVFrame* frame = av_frame_alloc();
  if (!frame) return Fail(E_OUTOFMEMORY, "Alloc buffer for color space converting failed");
  frame->buf[0] = av_buffer_create(
      owned->bytes.data(), owned->bytes.size(),
      [](void* opaque, uint8_t*) {
        std::unique_ptr<Held> done(static_cast<Held*>(opaque));
        if (done->home) done->home->GiveBack(std::move(done->bytes));
      },
      owned.get(), 0);
  if (!frame->buf[0]) {
    av_frame_free(&frame);
    return Fail(E_OUTOFMEMORY, "Alloc buffer for color space converting failed");
  }
  uint8_t* data = owned.release()->bytes.data();
  const int chromaStride = m_nStride / 2;
  uint8_t* first = data + static_cast<ptrdiff_t>(m_nStride) * m_nInHeight;
  uint8_t* second = first + static_cast<ptrdiff_t>(chromaStride) * (m_nInHeight / 2);
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = m_pVideoCtx->width;
  frame->height = m_pVideoCtx->height;
  frame->data[0] = data;
  frame->data[1] = m_bSwapChroma ? second : first;
  frame->data[2] = m_bSwapChroma ? first : second;
  frame->linesize[0] = m_nStride;
  frame->linesize[1] = frame->linesize[2] = chromaStride;
  HRESULT hr = EncodePicture(frame);
  av_frame_free(&frame);
  return hr;
}

HRESULT CEncoderEngine::WritePacket(MuxSample&& sample) {
  if (!sample.m_bVideo || !m_pFormatCtx || !m_bHeaderWritten || !PictureGoesAsItIs())
    return WritePacket(static_cast<const MuxSample&>(sample));
  const size_t need = static_cast<size_t>(m_nStride) * m_nInHeight * 3 / 2;
  if (sample.m_data.size() < need || need == 0) return WritePacket(static_cast<const MuxSample&>(sample));
  HRESULT hr = EncodeStorage(std::move(sample.m_data));
  if (FAILED(hr)) return hr;
  return AddSilenceIfBehind();
}

HRESULT CEncoderEngine::WritePacket(const MuxSample& sample) {
  if (!m_pFormatCtx || !m_bHeaderWritten) return Fail(E_UNEXPECTED, "Output is not open\n");
  if (sample.m_bVideo) {
    if (!m_pVideoCtx) return S_OK;
    if (sample.m_data.empty()) {
      HRESULT hr = RepeatLastPicture();
      return FAILED(hr) ? hr : AddSilenceIfBehind();
    }
    const size_t need = static_cast<size_t>(m_nStride) * m_nInHeight * (m_bPlanarInput ? 3 : 2) / 2;
    // A short sample would be read past its end: drop it.
    if (sample.m_data.size() < need || need == 0) {
      ++m_nRunShortFrames;
      return S_OK;
    }
    if (m_bPlanarInput) {
      HRESULT hr = WritePlanarPicture(sample.m_data.data());
      if (FAILED(hr)) return hr;
      return AddSilenceIfBehind();
    }
    const int bpp = m_nInBits / 8;
    const uint8_t* src = sample.m_data.data();
    int stride = m_nStride;
    if (m_bFlip) {
      // Bottom-up frames are read with a negative pitch instead of copying.
      src += static_cast<ptrdiff_t>(m_nInHeight - 1) * m_nStride;
      stride = -m_nStride;
    }
    src += static_cast<ptrdiff_t>(m_nCropTop) * stride + static_cast<ptrdiff_t>(m_nCropLeft) * bpp;
    const int srcH = m_nInHeight - m_nCropTop - m_nCropBottom;
    m_pVideoFrame = WritableVideoFrame();
    if (!m_pVideoFrame) return Fail(E_OUTOFMEMORY, "Alloc buffer for color space converting failed");
    uint8_t* dst[4] = {};
    PlanesAt(m_pVideoFrame, m_nPadTop, m_nPadLeft, dst);
    if (m_bYuvPath) {
      if (FAILED(ConvertToYuv(src, stride, srcH, dst))) return Fail(E_FAIL, "error padding picture\n");
    } else {
      const uint8_t* srcPlanes[4] = {src, nullptr, nullptr, nullptr};
      const int srcStrides[4] = {stride, 0, 0, 0};
      // A turned picture is scaled aside first.
      uint8_t* const* to = m_nTurn ? m_pTurnFrame->data : dst;
      const int* pitches = m_nTurn ? m_pTurnFrame->linesize : m_pVideoFrame->linesize;
      if (sws_scale(m_pSws, srcPlanes, srcStrides, 0, srcH, to, pitches) <= 0)
        return Fail(E_FAIL, "error padding picture\n");
      if (m_nTurn) {
        HRESULT hr = TurnInto(m_pTurnFrame->data, m_pTurnFrame->linesize, m_pTurnFrame->width, m_pTurnFrame->height, dst);
        if (FAILED(hr)) return hr;
      }
    }
    HRESULT hr = EncodeInnerPicture();
    if (FAILED(hr)) return hr;
    return AddSilenceIfBehind();
  }
  if (m_bAudioStartPending && (sample.m_dwFlags & MuxSample::TimeValid)) {
    // Where the container cannot say that the encoder's priming samples
    // come first (no edit list, no negative times), as much of the start
    // is cut, so that the decoded sound keeps its place on the picture.
    REFERENCE_TIME priming =
        PrimingCut() ? av_rescale(m_pAudioCtx->initial_padding, UNITS, m_pAudioCtx->sample_rate) : 0;
    // The narrow-band AMR encoder looks 5 ms ahead and gives its sound back
    // that much early, with nothing said of it in the stream: as much
    // silence goes first.
    if (m_pAudioCtx->codec_id == AV_CODEC_ID_AMR_NB) priming -= 5 * StreamTime::kMillisecond;
    // (A time far off is left to AlignAudioStart to refuse.)
    const REFERENCE_TIME start = sample.m_rtStart;
    AlignAudioStart(AddRefTimes(start, -priming));
  }
  m_bAudioStartPending = false;
  FollowSoundTime(sample);
  size_t skip = 0;
  if (m_nAudioSkipBytes > 0) {
    skip = static_cast<size_t>(std::min<int64_t>(m_nAudioSkipBytes, static_cast<int64_t>(sample.m_data.size())));
    m_nAudioSkipBytes -= static_cast<int64_t>(skip);
  }
  if (skip < sample.m_data.size())
    EncodeAudioBytes(sample.m_data.data() + skip, AudioBytesWithinLength(sample.m_data.size() - skip));
  return S_OK;
}

void CEncoderEngine::FollowSoundTime(const MuxSample& sample) {
  const int64_t frameBytes = 2 * static_cast<int64_t>(m_nInChannels);
  if (frameBytes <= 0) return;
  // The muxer hands picture and sound on in time order: the pictures
  // encoded so far are every picture before this sound.
  const REFERENCE_TIME pictureEnd =
      m_pVideoCtx ? av_rescale(m_nRunFrames, static_cast<int64_t>(m_nRateDen) * UNITS, m_nRateNum) : INT64_MAX;
  const CSoundClock::Step step =
      m_soundClock.Follow(sample.m_dwFlags & MuxSample::TimeValid, sample.m_dwFlags & MuxSample::Discontinuity,
                          sample.m_rtStart, static_cast<int64_t>(sample.m_data.size()) / frameBytes,
                          m_nInSampleRate, pictureEnd);
  if (step.fill > 0)
    EncodeSilence(av_rescale(step.fill, m_nInSampleRate, UNITS) * frameBytes);
  else if (step.cut > 0)
    m_nAudioSkipBytes += av_rescale(step.cut, m_nInSampleRate, UNITS) * frameBytes;
}

bool CEncoderEngine::PrimingCut() const {
  if (!m_pAudioCtx || !m_pVideoCtx || m_pAudioCtx->initial_padding <= 0 || m_pAudioCtx->sample_rate <= 0 ||
      !m_pOutputFormat)
    return false;
  const std::string name = m_pOutputFormat->name;
  return name == "avi" || name == "flv";
}

void CEncoderEngine::AlignAudioStart(REFERENCE_TIME start) {
  // The frame-rate changer counts the pictures from time 0, repeating the
  // first one when the picture starts late; the sound follows the same
  // clock.
  if (!m_pAudioCtx || !m_pVideoCtx) return;
  const CSoundClock::Step lead = CSoundClock::Lead(start);
  const int64_t frameBytes = 2 * static_cast<int64_t>(m_nInChannels);
  if (lead.cut > 0) m_nAudioSkipBytes = av_rescale(lead.cut, m_nInSampleRate, UNITS) * frameBytes;
  if (lead.fill > 0) EncodeSilence(av_rescale(lead.fill, m_nInSampleRate, UNITS) * frameBytes);
}

void CEncoderEngine::EncodeSilence(int64_t bytes) {
  const int64_t frameBytes = 2 * static_cast<int64_t>(m_nInChannels);
  const int64_t block = frameBytes > 0 ? static_cast<int64_t>(m_silence.size()) / frameBytes * frameBytes : 0;
  for (int64_t left = bytes; left > 0 && block > 0; left -= block)
    EncodeAudioBytes(m_silence.data(), AudioBytesWithinLength(static_cast<size_t>(std::min(left, block))));
}

size_t CEncoderEngine::AudioBytesWithinLength(size_t bytes) {
  if (m_dAudioLength <= 0 || m_bNoAudio || m_nInChannels <= 0 || m_nInSampleRate <= 0) return bytes;
  const size_t frame = 2 * static_cast<size_t>(m_nInChannels);
  const int64_t limit = std::llround(m_dAudioLength * m_nInSampleRate);
  const int64_t frames = static_cast<int64_t>(bytes / frame);
  const int64_t take = std::min<int64_t>(frames, std::max<int64_t>(limit - m_nAudioInSamples, 0));
  m_nAudioInSamples += take;
  // A block that lies wholly within the length goes as it is.
  return take == frames ? bytes : static_cast<size_t>(take) * frame;
}

void CEncoderEngine::PadAudioToLength() {
  if (m_dAudioLength <= 0 || m_bNoAudio || !m_pAudioCtx || m_nInChannels <= 0 || m_nInSampleRate <= 0) return;
  const size_t frame = 2 * static_cast<size_t>(m_nInChannels);
  const int64_t block = static_cast<int64_t>(m_silence.size() / frame);
  const int64_t limit = std::llround(m_dAudioLength * m_nInSampleRate);
  while (m_nAudioInSamples < limit) {
    const int64_t n = std::min(block, limit - m_nAudioInSamples);
    EncodeAudioBytes(m_silence.data(), static_cast<size_t>(n) * frame);
    m_nAudioInSamples += n;
  }
}

void CEncoderEngine::FlushAudioFifo() {
  if (!m_pAudioCtx || !m_pFifo) return;
  AVCodecContext* c = m_pAudioCtx;
  // Samples still held by the resampler.
  if (m_pSwr && m_nResampledCapacity > 0) {
    int n = swr_convert(m_pSwr, m_resampled.data(), m_nResampledCapacity, nullptr, 0);
    if (n > 0) {
      if (c->frame_size > 1) {
        av_audio_fifo_write(m_pFifo, reinterpret_cast<void**>(m_resampled.data()), n);
      } else {
        av_frame_unref(m_pAudioFrame);
        m_pAudioFrame->nb_samples = n;
        m_pAudioFrame->format = c->sample_fmt;
        m_pAudioFrame->sample_rate = c->sample_rate;
        av_channel_layout_copy(&m_pAudioFrame->ch_layout, &c->ch_layout);
        if (av_frame_get_buffer(m_pAudioFrame, 0) >= 0) {
          av_samples_copy(m_pAudioFrame->data, m_resampled.data(), 0, 0, n, c->ch_layout.nb_channels, c->sample_fmt);
          m_pAudioFrame->pts = m_nAudioSamples;
          m_nAudioSamples += n;
          EncodeAudioFrame(m_pAudioFrame);
        }
      }
    }
  }
  // What the fifo holds, the resampler's tail included, in whole frames;
  // the last one completed with silence.
  for (int left; c->frame_size > 1 && (left = std::min(av_audio_fifo_size(m_pFifo), c->frame_size)) > 0;) {
    av_frame_unref(m_pAudioFrame);
    m_pAudioFrame->nb_samples = c->frame_size;
    m_pAudioFrame->format = c->sample_fmt;
    m_pAudioFrame->sample_rate = c->sample_rate;
    av_channel_layout_copy(&m_pAudioFrame->ch_layout, &c->ch_layout);
    if (av_frame_get_buffer(m_pAudioFrame, 0) >= 0) {
      av_samples_set_silence(m_pAudioFrame->data, 0, c->frame_size, c->ch_layout.nb_channels, c->sample_fmt);
      if (av_audio_fifo_read(m_pFifo, reinterpret_cast<void**>(m_pAudioFrame->data), left) != left) break;
      m_pAudioFrame->pts = m_nAudioSamples;
      m_nAudioSamples += c->frame_size;
      EncodeAudioFrame(m_pAudioFrame);
    } else {
      break;
    }
  }
}

HRESULT CEncoderEngine::Drain() {
  if (!m_bHeaderWritten) return S_OK;
  PadAudioToLength();
  FlushAudioFifo();
  HRESULT hr = S_OK;
  if (m_pAudioCtx && avcodec_send_frame(m_pAudioCtx, nullptr) >= 0)
    hr = WriteEncoded(m_pAudioCtx, m_pAudioStream, false, nullptr);
  if (SUCCEEDED(hr) && m_pVideoCtx && avcodec_send_frame(m_pVideoCtx, nullptr) >= 0)
    hr = WriteEncoded(m_pVideoCtx, m_pVideoStream, true, nullptr);
  return hr;
}

HRESULT CEncoderEngine::Close() {
  HRESULT hr = S_OK;
  if (m_pFormatCtx && m_bHeaderWritten) {
    // Every encoder is drained before the trailer, so that frames held back
    // for reordering or look-ahead and the audio remainder are written.
    hr = Drain();
    const int r = av_write_trailer(m_pFormatCtx);
    if (SUCCEEDED(hr) && OutputFailed()) hr = WriteFailed(r);
  }
  // Closing writes what is still buffered: the file is whole only when
  // that succeeds too.
  if (m_pFormatCtx && m_bFileOpen) {
    const int r = CloseFile();
    if (SUCCEEDED(hr) && r < 0) hr = WriteFailed(r);
  }
  ReleaseOutput();
  return hr;
}

void CEncoderEngine::SetUpPesTimes(AVIOContext* file) {
  const std::string name = m_pOutputFormat->name;
  const bool programStream = name == "mpeg" || name == "vob" || name == "dvd" || name == "vcd" || name == "svcd";
  if (!programStream) {
    m_pFormatCtx->pb = file;
    return;
  }
  m_pFileIo = file;
  constexpr int kBufferSize = 65536;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  m_pFormatCtx->pb = buffer ? avio_alloc_context(buffer, kBufferSize, 1, this, nullptr,
                                                 &CEncoderEngine::WriteThroughPesTimes, nullptr)
                            : nullptr;
  if (!m_pFormatCtx->pb) {
    av_free(buffer);
    return;
  }
  m_pPesTimes = std::make_unique<CPesTimeStamps>(
      [this](const uint8_t* data, size_t size) { avio_write(m_pFileIo, data, static_cast<int>(size)); });
  // DVD players and authoring tools count the sound frames that start in each
  // packet from the packet's own time: a DVD keeps it.
  if (name == "dvd") m_pPesTimes->KeepSoundStartTimes();
  // The muxer numbers its streams' packet ids by kind, from the first.
  if (m_pVideoStream && m_pVideoCtx &&
      (m_pVideoCtx->codec_id == AV_CODEC_ID_MPEG1VIDEO || m_pVideoCtx->codec_id == AV_CODEC_ID_MPEG2VIDEO))
    m_pPesTimes->AddStream(m_pVideoStream->index, CPesTimeStamps::Kind::Video, 0xe0);
  if (m_pAudioStream && m_pAudioCtx) {
    const AVCodecID id = m_pAudioCtx->codec_id;
    if (id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3)
      m_pPesTimes->AddStream(m_pAudioStream->index, CPesTimeStamps::Kind::MpegAudio, 0xc0);
    else if (id == AV_CODEC_ID_AC3)
      m_pPesTimes->AddStream(m_pAudioStream->index, CPesTimeStamps::Kind::Ac3, 0xbd, 0x80);
  }
}

int CEncoderEngine::WriteThroughPesTimes(void* engine, uint8_t* data, int size) {
  auto* self = static_cast<CEncoderEngine*>(engine);
  self->m_pPesTimes->Write(data, static_cast<size_t>(size));
  return self->m_pFileIo->error < 0 ? self->m_pFileIo->error : size;
}

int CEncoderEngine::CloseFile() {
  int r = 0;
  if (m_pFileIo) {
    if (m_pFormatCtx->pb) {
      avio_flush(m_pFormatCtx->pb);
      if (m_pFormatCtx->pb->error < 0) r = m_pFormatCtx->pb->error;
      av_freep(&m_pFormatCtx->pb->buffer);
      avio_context_free(&m_pFormatCtx->pb);
    }
    if (m_pPesTimes) m_pPesTimes->Flush();
    m_pPesTimes.reset();
    const int closed = avio_closep(&m_pFileIo);
    if (r == 0) r = closed;
  } else {
    r = avio_closep(&m_pFormatCtx->pb);
  }
  m_bFileOpen = false;
  return r;
}

void CEncoderEngine::CloseAfterFailure() {
  // The run's own failure is the one to report.
  const std::string reason = m_strLastError;
  Close();
  m_strLastError = reason;
  // An output the failed run made and put nothing into is no result to
  // keep; one that existed before, or holds some of the run, stays.
  if (m_bCreatedFile && m_nVideoBytes + m_nAudioBytes == 0 && !m_strOpenedFile.empty()) {
    std::error_code ec;
    std::filesystem::remove(m_strOpenedFile, ec);
  }
  m_strOpenedFile.clear();
  m_bCreatedFile = false;
}

void CEncoderEngine::ReleaseOutput() {
  avcodec_free_context(&m_pVideoCtx);
  avcodec_free_context(&m_pAudioCtx);
  for (AVFrame* frame : m_spareFrames) av_frame_free(&frame);
  m_spareFrames.clear();
  m_pVideoFrame = nullptr;
  av_frame_free(&m_pLastPicture);
  av_frame_free(&m_pSourceYuv);
  av_frame_free(&m_pScaled);
  av_frame_free(&m_pTurnFrame);
  m_pHelper.reset();
  m_bYuvPath = false;
  av_frame_free(&m_pAudioFrame);
  av_packet_free(&m_pPacket);
  if (m_pFifo) {
    av_audio_fifo_free(m_pFifo);
    m_pFifo = nullptr;
  }
  sws_freeContext(m_pSws);
  m_pSws = nullptr;
  swr_free(&m_pSwr);
  if (!m_resampled.empty()) av_freep(&m_resampled[0]);
  m_resampled.clear();
  m_nResampledCapacity = 0;
  if (m_pFormatCtx) {
    if (m_bFileOpen) CloseFile();
    avformat_free_context(m_pFormatCtx);
    m_pFormatCtx = nullptr;
  }
  m_bFileOpen = false;
  m_bHeaderWritten = false;
  m_pVideoStream = m_pAudioStream = nullptr;
}
