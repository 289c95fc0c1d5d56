#include "platform/codecs/FfmpegMedia.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <numeric>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "platform/win32/CodePage.h"
#include "platform/win32/Gdi.h"

namespace {

template <class Block>
bool Holds(const AM_MEDIA_TYPE& mt) {
  return mt.pbFormat && mt.cbFormat >= sizeof(Block);
}

}  // namespace

const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& mt) {
  if ((mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_MPEGVideo) && Holds<VIDEOINFOHEADER>(mt))
    return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
  if ((mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video) && Holds<VIDEOINFOHEADER2>(mt))
    return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
  return nullptr;
}

BITMAPINFOHEADER* VideoBitmapHeader(AM_MEDIA_TYPE& mt) {
  return const_cast<BITMAPINFOHEADER*>(VideoBitmapHeader(static_cast<const AM_MEDIA_TYPE&>(mt)));
}

REFERENCE_TIME VideoFrameTime(const AM_MEDIA_TYPE& mt) {
  if ((mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_MPEGVideo) && Holds<VIDEOINFOHEADER>(mt))
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame;
  if ((mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video) && Holds<VIDEOINFOHEADER2>(mt))
    return reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->AvgTimePerFrame;
  return 0;
}

bool DisplayAspectOf(LONG width, LONG height, int64_t pixelX, int64_t pixelY, LONG* x, LONG* y) {
  if (width <= 0 || height <= 0 || pixelX <= 0 || pixelY <= 0) return false;
  const int64_t pixelGcd = std::gcd(pixelX, pixelY);
  pixelX /= pixelGcd;
  pixelY /= pixelGcd;
  if (pixelX > INT32_MAX || pixelY > INT32_MAX) return false;
  int64_t ax = int64_t{width} * pixelX, ay = int64_t{height} * pixelY;
  const int64_t g = std::gcd(ax, ay);
  ax /= g;
  ay /= g;
  if (ax > INT32_MAX || ay > INT32_MAX) return false;
  *x = static_cast<LONG>(ax);
  *y = static_cast<LONG>(ay);
  return true;
}

bool VideoDisplayAspect(const AM_MEDIA_TYPE& mt, LONG* x, LONG* y) {
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  if (!bih || bih->biWidth <= 0 || bih->biHeight == 0) return false;
  const LONG w = bih->biWidth, h = std::abs(bih->biHeight);
  if (mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video) {
    const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat);
    // Aspects beyond a picture's own numbers are no aspect but damage.
    if (vih2->dwPictAspectRatioX > 0 && vih2->dwPictAspectRatioY > 0 && vih2->dwPictAspectRatioX <= INT32_MAX &&
        vih2->dwPictAspectRatioY <= INT32_MAX &&
        DisplayAspectOf(static_cast<LONG>(vih2->dwPictAspectRatioX), static_cast<LONG>(vih2->dwPictAspectRatioY), 1,
                        1, x, y))
      return true;
  } else if (bih->biXPelsPerMeter > 0 && bih->biYPelsPerMeter > 0 &&
             DisplayAspectOf(w, h, bih->biYPelsPerMeter, bih->biXPelsPerMeter, x, y)) {
    // A pixel is 1/X wide and 1/Y high: its shape is Y:X.
    return true;
  }
  return DisplayAspectOf(w, h, 1, 1, x, y);
}

void SetVideoDisplayAspect(AM_MEDIA_TYPE& mt, LONG x, LONG y) {
  BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  if (!bih || x <= 0 || y <= 0 || bih->biWidth <= 0 || bih->biHeight == 0) return;
  if (mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video) {
    auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(mt.pbFormat);
    vih2->dwPictAspectRatioX = static_cast<DWORD>(x);
    vih2->dwPictAspectRatioY = static_cast<DWORD>(y);
    return;
  }
  // The pixel shape x * height : y * width as pixels per meter down and
  // across; square pixels leave the resolution unstated.
  int64_t across = int64_t{y} * bih->biWidth, down = int64_t{x} * std::abs(bih->biHeight);
  const int64_t g = std::gcd(across, down);
  across /= g;
  down /= g;
  const bool square = across == down;
  bih->biXPelsPerMeter = square || across > INT32_MAX || down > INT32_MAX ? 0 : static_cast<LONG>(across);
  bih->biYPelsPerMeter = square || across > INT32_MAX || down > INT32_MAX ? 0 : static_cast<LONG>(down);
}

const WAVEFORMATEX* AudioWaveFormat(const AM_MEDIA_TYPE& mt) {
  if (mt.formattype != FORMAT_WaveFormatEx || !mt.pbFormat || mt.cbFormat < 16) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
}

RawVideo RawVideoOf(const GUID& s) {
  if (s == MEDIASUBTYPE_YV12) return RawVideo::YV12;
  if (s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV) return RawVideo::I420;
  if (s == MEDIASUBTYPE_YUY2) return RawVideo::YUY2;
  if (s == MEDIASUBTYPE_UYVY) return RawVideo::UYVY;
  if (s == MEDIASUBTYPE_RGB24) return RawVideo::RGB24;
  if (s == MEDIASUBTYPE_RGB32 || s == MEDIASUBTYPE_ARGB32) return RawVideo::RGB32;
  if (s == MEDIASUBTYPE_RGB555) return RawVideo::RGB555;
  if (s == MEDIASUBTYPE_RGB565) return RawVideo::RGB565;
  return RawVideo::None;
}

const GUID& RawVideoSubtype(RawVideo k) {
  switch (k) {
    case RawVideo::YV12: return MEDIASUBTYPE_YV12;
    case RawVideo::I420: return MEDIASUBTYPE_I420;
    case RawVideo::YUY2: return MEDIASUBTYPE_YUY2;
    case RawVideo::UYVY: return MEDIASUBTYPE_UYVY;
    case RawVideo::RGB24: return MEDIASUBTYPE_RGB24;
    case RawVideo::RGB32: return MEDIASUBTYPE_RGB32;
    case RawVideo::RGB555: return MEDIASUBTYPE_RGB555;
    case RawVideo::RGB565: return MEDIASUBTYPE_RGB565;
    default: return GUID_NULL;
  }
}

WORD RawVideoBits(RawVideo k) {
  switch (k) {
    case RawVideo::YV12:
    case RawVideo::I420: return 12;
    case RawVideo::YUY2:
    case RawVideo::UYVY:
    case RawVideo::RGB555:
    case RawVideo::RGB565: return 16;
    case RawVideo::RGB24: return 24;
    case RawVideo::RGB32: return 32;
    default: return 0;
  }
}

AVPixelFormat RawVideoPixelFormat(RawVideo k) {
  switch (k) {
    case RawVideo::YV12:
    case RawVideo::I420: return AV_PIX_FMT_YUV420P;
    case RawVideo::YUY2: return AV_PIX_FMT_YUYV422;
    case RawVideo::UYVY: return AV_PIX_FMT_UYVY422;
    case RawVideo::RGB24: return AV_PIX_FMT_BGR24;
    case RawVideo::RGB32: return AV_PIX_FMT_BGR0;
    case RawVideo::RGB555: return AV_PIX_FMT_RGB555LE;
    case RawVideo::RGB565: return AV_PIX_FMT_RGB565LE;
    default: return AV_PIX_FMT_NONE;
  }
}

static bool IsRgb(RawVideo k) {
  return k == RawVideo::RGB24 || k == RawVideo::RGB32 || k == RawVideo::RGB555 || k == RawVideo::RGB565;
}

DWORD RawVideoImageSize(RawVideo k, LONG width, LONG height) {
  if (width <= 0 || height <= 0 || k == RawVideo::None) return 0;
  const uint64_t h = static_cast<uint64_t>(height);
  uint64_t size = 0;
  if (IsRgb(k))
    size = DibRowBytes(width, RawVideoBits(k)) * h;
  else if (k == RawVideo::YUY2 || k == RawVideo::UYVY)
    size = static_cast<uint64_t>(width) * 2 * h;
  else
    size = static_cast<uint64_t>(width) * h + 2 * (static_cast<uint64_t>(width / 2) * (h / 2));
  return size > 0x7FFFFFFF ? 0 : static_cast<DWORD>(size);
}

HRESULT MakeRawVideoType(CMediaType* pmt, RawVideo kind, LONG width, LONG height, REFERENCE_TIME frameTime,
                         bool info2) {
  if (!pmt) return E_POINTER;
  const DWORD size = RawVideoImageSize(kind, width, height);
  if (!size) return E_INVALIDARG;
  pmt->InitMediaType();
  // Both blocks begin with the rectangles, rates and frame time; the
  // VideoInfo2 one has its picture aspect before the bitmap header.
  BYTE* block = pmt->AllocFormatBuffer(info2 ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER));
  if (!block) return E_OUTOFMEMORY;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(block);
  vih->rcSource = {0, 0, width, height};
  vih->rcTarget = vih->rcSource;
  vih->AvgTimePerFrame = frameTime;
  if (info2) {
    auto* vih2 = reinterpret_cast<VIDEOINFOHEADER2*>(block);
    vih2->dwPictAspectRatioX = static_cast<DWORD>(width);
    vih2->dwPictAspectRatioY = static_cast<DWORD>(height);
  }
  BITMAPINFOHEADER& bih = info2 ? reinterpret_cast<VIDEOINFOHEADER2*>(block)->bmiHeader : vih->bmiHeader;
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = width;
  bih.biHeight = height;
  bih.biPlanes = 1;
  bih.biBitCount = RawVideoBits(kind);
  bih.biCompression = IsRgb(kind) ? BI_RGB : RawVideoSubtype(kind).Data1;
  bih.biSizeImage = size;
  if (frameTime > 0) vih->dwBitRate = static_cast<DWORD>(std::min<int64_t>(
                         0xFFFFFFFFLL, static_cast<int64_t>(size) * 8 * UNITS / frameTime));
  pmt->SetType(&MEDIATYPE_Video);
  pmt->SetSubtype(&RawVideoSubtype(kind));
  pmt->SetFormatType(info2 ? &FORMAT_VideoInfo2 : &FORMAT_VideoInfo);
  pmt->SetSampleSize(size);
  pmt->SetTemporalCompression(FALSE);
  return S_OK;
}

HRESULT MakePcm16Type(CMediaType* pmt, int sampleRate, int channels) {
  if (!pmt) return E_POINTER;
  if (sampleRate <= 0 || channels <= 0 || channels > 32) return E_INVALIDARG;
  pmt->InitMediaType();
  auto* wfx = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  if (!wfx) return E_OUTOFMEMORY;
  wfx->wFormatTag = WAVE_FORMAT_PCM;
  wfx->nChannels = static_cast<WORD>(channels);
  wfx->nSamplesPerSec = static_cast<DWORD>(sampleRate);
  wfx->wBitsPerSample = 16;
  wfx->nBlockAlign = static_cast<WORD>(2 * channels);
  wfx->nAvgBytesPerSec = wfx->nSamplesPerSec * wfx->nBlockAlign;
  wfx->cbSize = 0;
  pmt->SetType(&MEDIATYPE_Audio);
  pmt->SetSubtype(&MEDIASUBTYPE_PCM);
  pmt->SetFormatType(&FORMAT_WaveFormatEx);
  pmt->SetSampleSize(wfx->nBlockAlign);
  pmt->SetTemporalCompression(FALSE);
  return S_OK;
}

namespace {

// Plane pointers and strides of a raw buffer, with RGB rows bottom-up
// handled by a negative stride from the last row.
bool RawPlanes(RawVideo k, BYTE* base, size_t size, LONG stride, LONG height, bool bottomUp, uint8_t* data[4],
               int lines[4]) {
  if (RawVideoImageSize(k, stride, height) > size) return false;
  data[0] = data[1] = data[2] = data[3] = nullptr;
  lines[0] = lines[1] = lines[2] = lines[3] = 0;
  if (IsRgb(k)) {
    const int row = static_cast<int>(DibRowBytes(stride, RawVideoBits(k)));
    if (bottomUp) {
      data[0] = base + static_cast<size_t>(row) * (height - 1);
      lines[0] = -row;
    } else {
      data[0] = base;
      lines[0] = row;
    }
  } else if (k == RawVideo::YUY2 || k == RawVideo::UYVY) {
    data[0] = base;
    lines[0] = stride * 2;
  } else {
    const size_t ySize = static_cast<size_t>(stride) * height;
    const size_t cSize = static_cast<size_t>(stride / 2) * (height / 2);
    data[0] = base;
    lines[0] = stride;
    // YV12 keeps V before U; I420 the other way round.
    uint8_t* first = base + ySize;
    uint8_t* second = first + cSize;
    data[1] = k == RawVideo::YV12 ? second : first;
    data[2] = k == RawVideo::YV12 ? first : second;
    lines[1] = lines[2] = stride / 2;
  }
  return true;
}

}  // namespace

bool CPictureWriter::SetTarget(const AM_MEDIA_TYPE& mt) {
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  const RawVideo kind = RawVideoOf(mt.subtype);
  if (!bih || kind == RawVideo::None || bih->biWidth <= 0 || bih->biHeight == 0) return false;
  m_kind = kind;
  m_stride = bih->biWidth;
  m_height = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
  m_bottomUp = IsRgb(kind) && bih->biHeight > 0;
  // The visible width may be narrower than the stride (rcTarget).
  m_width = m_stride;
  if ((mt.formattype == FORMAT_VideoInfo) && mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const RECT& r = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->rcTarget;
    if (r.right - r.left > 0 && r.right - r.left <= m_stride) m_width = r.right - r.left;
  }
  m_sws.reset();
  return true;
}

bool CPictureWriter::Write(const AVFrame* src, BYTE* dst, size_t size) {
  if (m_kind == RawVideo::None || !src || src->width <= 0 || src->height <= 0) return false;
  uint8_t* data[4];
  int lines[4];
  if (!RawPlanes(m_kind, dst, size, m_stride, m_height, m_bottomUp, data, lines)) return false;
  const auto fmt = static_cast<AVPixelFormat>(src->format);
  if (!m_sws || src->width != m_srcW || src->height != m_srcH || fmt != m_srcFmt) {
    m_sws.reset(sws_getContext(src->width, src->height, fmt, m_width, m_height, RawVideoPixelFormat(m_kind),
                               SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!m_sws) return false;
    m_srcW = src->width;
    m_srcH = src->height;
    m_srcFmt = fmt;
  }
  // The scaler's vector code writes rows in blocks of up to 32 pixels: a row
  // with less room than that gets bytes past its end, in the next row of the
  // buffer (the row above in a bottom-up picture, drawn already) or, after
  // the last row, past the buffer. Such pictures are drawn into a padded
  // frame and copied.
  if (m_stride >= ((m_width + 31) & ~31))
    return sws_scale(m_sws.get(), src->data, src->linesize, 0, src->height, data, lines) > 0;
  const AVPixelFormat out = RawVideoPixelFormat(m_kind);
  if (!m_padded) m_padded.reset(av_frame_alloc());
  if (!m_padded) return false;
  AVFrame* pad = m_padded.get();
  if (pad->width != m_width || pad->height != m_height || pad->format != out) {
    av_frame_unref(pad);
    pad->width = m_width;
    pad->height = m_height;
    pad->format = out;
    if (av_frame_get_buffer(pad, 64) < 0) return false;
  }
  if (sws_scale(m_sws.get(), src->data, src->linesize, 0, src->height, pad->data, pad->linesize) <= 0) return false;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(out);
  for (int p = 0; p < 4 && data[p]; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int rows = chroma ? m_height >> desc->log2_chroma_h : m_height;
    const int bytes = std::min(av_image_get_linesize(out, m_width, p), std::abs(lines[p]));
    if (bytes <= 0) return false;
    av_image_copy_plane(data[p], lines[p], pad->data[p], pad->linesize[p], bytes, rows);
  }
  return true;
}

bool CPictureWriter::ReadRaw(const AM_MEDIA_TYPE& srcType, const BYTE* data, size_t size, AVFrame* dst,
                             AVPixelFormat dstFormat, int width, int height, SwsPtr& scaler) {
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(srcType);
  const RawVideo kind = RawVideoOf(srcType.subtype);
  if (!bih || kind == RawVideo::None || bih->biWidth <= 0 || bih->biHeight == 0) return false;
  const LONG srcH = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
  const bool bottomUp = IsRgb(kind) && bih->biHeight > 0;
  uint8_t* planes[4];
  int lines[4];
  if (!RawPlanes(kind, const_cast<BYTE*>(data), size, bih->biWidth, srcH, bottomUp, planes, lines)) return false;
  if (!dst->data[0] || dst->width != width || dst->height != height || dst->format != dstFormat) {
    av_frame_unref(dst);
    dst->width = width;
    dst->height = height;
    dst->format = dstFormat;
    if (av_frame_get_buffer(dst, 0) < 0) return false;
  }
  if (av_frame_make_writable(dst) < 0) return false;
  scaler.reset(sws_getCachedContext(scaler.release(), bih->biWidth, srcH, RawVideoPixelFormat(kind), width,
                                    height, dstFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) return false;
  return sws_scale(scaler.get(), planes, lines, 0, srcH, dst->data, dst->linesize) > 0;
}

namespace {

DWORD ReadBe32(const BYTE* p) {
  return (DWORD(p[0]) << 24) | (DWORD(p[1]) << 16) | (DWORD(p[2]) << 8) | DWORD(p[3]);
}

bool SameCodeAnyCase(const BYTE* code, DWORD fcc) {
  for (int i = 0; i < 4; ++i)
    if (std::tolower(code[i]) != std::tolower(static_cast<int>((fcc >> (8 * i)) & 0xFF))) return false;
  return true;
}

// Child atoms of [p, p + n): the one of type `child`, looked for in 'wave'
// containers too (one level, as QuickTime nests them).
bool FindChildAtom(const BYTE* p, size_t n, DWORD child, bool whole, int depth, std::vector<BYTE>* config) {
  for (size_t at = 0; at + 8 <= n;) {
    const size_t size = ReadBe32(p + at);
    if (size < 8 || size > n - at) return false;
    const DWORD type = ReadBe32(p + at + 4);
    if (type == child) {
      const BYTE* from = p + at + (whole ? 0 : 8);
      config->assign(from, p + at + size);
      return true;
    }
    if (type == 0x77617665 /* wave */ && depth == 0 && FindChildAtom(p + at + 8, size - 8, child, whole, 1, config))
      return true;
    at += size;
  }
  return false;
}

}  // namespace

bool SampleEntryChild(const BYTE* extra, size_t size, DWORD fcc, bool audio, DWORD child, bool whole,
                      std::vector<BYTE>* config) {
  config->clear();
  if (!extra || size < 16) return false;
  const size_t entry = ReadBe32(extra);
  if (entry < 16 || entry > size || !SameCodeAnyCase(extra + 4, fcc)) return false;
  // Size, code, 6 reserved bytes and the data reference come first; then
  // the fields of a picture entry, or those of a sound entry's version.
  size_t fields = 86;
  if (audio) {
    const unsigned version = entry >= 18 ? (unsigned(extra[16]) << 8 | extra[17]) : 0;
    fields = version == 1 ? 52 : version == 2 ? 72 : 36;
  }
  if (fields <= entry) FindChildAtom(extra + fields, entry - fields, child, whole, 0, config);
  return true;
}

bool CodecTakesContainerSize(AVCodecID id) {
  return id == AV_CODEC_ID_WMV1 || id == AV_CODEC_ID_WMV2 || id == AV_CODEC_ID_MSMPEG4V1 ||
         id == AV_CODEC_ID_MSMPEG4V2 || id == AV_CODEC_ID_MSMPEG4V3;
}

namespace {

// Whether pictures decode without damage at that size.
bool DecodeWhole(const AVCodecParameters* par, const std::vector<const AVPacket*>& packets, int width, int height) {
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AvCodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
  AvFramePtr frame(av_frame_alloc());
  if (!ctx || !frame || avcodec_parameters_to_context(ctx.get(), par) < 0) return false;
  ctx->width = width;
  ctx->height = height;
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return false;
  for (size_t i = 0; i <= packets.size(); ++i) {
    if (avcodec_send_packet(ctx.get(), i < packets.size() ? packets[i] : nullptr) < 0) return false;
    int err;
    while ((err = avcodec_receive_frame(ctx.get(), frame.get())) >= 0) {
      const bool damaged = frame->decode_error_flags != 0;
      av_frame_unref(frame.get());
      if (damaged) return false;
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF) return false;
  }
  return true;
}

}  // namespace

bool PacketsPictureSize(const AVCodecParameters* par, const std::vector<const AVPacket*>& packets, int* width,
                        int* height) {
  const int w = *width, h = *height;
  if (w < 48 || h < 48 || packets.empty() || DecodeWhole(par, packets, w, h)) return true;
  int64_t bestBlocks = 0;
  int bestCut = 0;
  for (int columns = 0; columns <= 24; columns += 8)
    for (int rows = 0; rows <= 24; rows += 8) {
      const int64_t blocks = int64_t{(w - columns + 15) / 16} * ((h - rows + 15) / 16);
      const int cut = columns * h + rows * w;
      if ((columns || rows) && (blocks > bestBlocks || (blocks == bestBlocks && cut < bestCut)) &&
          DecodeWhole(par, packets, w - columns, h - rows)) {
        bestBlocks = blocks;
        bestCut = cut;
        *width = w - columns;
        *height = h - rows;
      }
    }
  return bestBlocks > 0;
}

std::string PictureSizeNote(LONG width, LONG height, LONG headerWidth, LONG headerHeight) {
  return "The video stream's pictures are " + std::to_string(width) + "x" + std::to_string(height) +
         " while the file's header says " + std::to_string(headerWidth) + "x" + std::to_string(headerHeight) +
         ": they are converted at their own size.\n";
}

std::string AvErrorText(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return text;
}

std::string WideToUtf8Path(LPCWSTR path) { return path ? WideToUtf8(path) : std::string(); }

void COutputWatch::Start() {
  m_abandoned = false;
  m_lastNs = NowNs();
}

bool COutputWatch::Abandon(int64_t waitSinceNs) {
  if (m_abandoned) return true;
  if (NowNs() - std::max<int64_t>(waitSinceNs, m_lastNs) < kStallNs) return false;
  m_abandoned = true;
  return true;
}

int64_t COutputWatch::NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int COutputWatch::Interrupted(void* watch) {
  auto* self = static_cast<COutputWatch*>(watch);
  // Called before every transfer of the file: the time of the last one
  // tells a slow write from a stuck one.
  self->m_lastNs = NowNs();
  return self->m_abandoned ? 1 : 0;
}
