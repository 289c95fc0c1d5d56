#include "platform/codecs/VideoDecoder.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/dshow/Allocator.h"
#include "platform/dshow/StreamTime.h"
#include "platform/win32/Registry.h"

namespace {

constexpr DWORD Fcc(const char (&s)[5]) {
  return static_cast<DWORD>(static_cast<BYTE>(s[0])) | (static_cast<DWORD>(static_cast<BYTE>(s[1])) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(s[2])) << 16) | (static_cast<DWORD>(static_cast<BYTE>(s[3])) << 24);
}

DWORD UpperFcc(DWORD fcc) {
  DWORD out = 0;
  for (int i = 0; i < 4; ++i) {
    auto c = static_cast<unsigned char>((fcc >> (8 * i)) & 0xFF);
    out |= static_cast<DWORD>(std::toupper(c)) << (8 * i);
  }
  return out;
}

bool IsMpeg1Subtype(const GUID& s) {
  return s == MEDIASUBTYPE_MPEG1Packet || s == MEDIASUBTYPE_MPEG1Payload || s == MEDIASUBTYPE_MPEG1Video;
}

// A picture still to come lies at most this many packets before the last
// one delivered (reordering, fields in packets of their own).
constexpr int64_t kReorderPackets = 40;
// What the codec said it filled in of a packet's picture is kept this many
// packets past it, more than reordering delays a picture, and then given up.
constexpr int64_t kConcealedKeptPackets = 64;
// A picture of which this share or more was filled in shows nothing usable.
constexpr int64_t kUnusableConcealedTenths = 9;


// The decoders whose codecs' log is watched for damage.
std::mutex g_watchLock;
std::set<const void*> g_watched;

// The library's log: what a watched video codec says while decoding,
// warnings and up and the concealment it reports (given as information,
// with the blocks it filled in), is damage it met. Everything goes on to
// the library's own printing.
void WatchLog(void* avcl, int level, const char* fmt, va_list vl) {
  if (avcl && fmt && level <= AV_LOG_INFO && *static_cast<const AVClass* const*>(avcl) == avcodec_get_class()) {
    void* owner = static_cast<AVCodecContext*>(avcl)->opaque;
    int blocks = 0;
    if (std::strncmp(fmt, "concealing %d DC, %d AC, %d MV errors", 37) == 0) {
      va_list args;
      va_copy(args, vl);
      const int dc = va_arg(args, int), ac = va_arg(args, int), mv = va_arg(args, int);
      va_end(args);
      blocks = std::max({dc, ac, mv});
    }
    std::lock_guard<std::mutex> g(g_watchLock);
    if (owner && g_watched.count(owner)) static_cast<CFfVideoDecoder*>(owner)->DamageMet(blocks);
  }
  av_log_default_callback(avcl, level, fmt, vl);
}

}  // namespace

void CFfVideoDecoder::WatchDamage(const CFfVideoDecoder* decoder, bool watch) {
  static std::once_flag hooked;
  std::call_once(hooked, [] { av_log_set_callback(WatchLog); });
  std::lock_guard<std::mutex> g(g_watchLock);
  if (watch) g_watched.insert(decoder);
  else g_watched.erase(decoder);
}

const std::vector<VideoCodecEntry>& CFfVideoDecoder::CodecTable() {
  static const std::vector<VideoCodecEntry> table = {
      {Fcc("XVID"), AV_CODEC_ID_MPEG4, L"xvid"},     {Fcc("XVIX"), AV_CODEC_ID_MPEG4, L"xvid"},
      {Fcc("DX50"), AV_CODEC_ID_MPEG4, L"dx50"},     {Fcc("DIVX"), AV_CODEC_ID_MPEG4, L"divx"},
      {Fcc("3IV2"), AV_CODEC_ID_MPEG4, L"_3iv"},     {Fcc("3IVX"), AV_CODEC_ID_MPEG4, L"_3iv"},
      {Fcc("MP4V"), AV_CODEC_ID_MPEG4, L"mp4v"},     {Fcc("MP4S"), AV_CODEC_ID_MPEG4, L"mp4v"},
      {Fcc("M4S2"), AV_CODEC_ID_MPEG4, L"mp4v"},     {Fcc("RMP4"), AV_CODEC_ID_MPEG4, L"mp4v"},
      {Fcc("WV1F"), AV_CODEC_ID_MPEG4, L"mp4v"},     {Fcc("FMP4"), AV_CODEC_ID_MPEG4, L"mp4v"},
      {Fcc("HDX4"), AV_CODEC_ID_MPEG4, L"mp4v"},     {Fcc("SMP4"), AV_CODEC_ID_MPEG4, L"mp4v"},
      {Fcc("DIV3"), AV_CODEC_ID_MSMPEG4V3, L"div3"}, {Fcc("DIV4"), AV_CODEC_ID_MSMPEG4V3, L"div3"},
      {Fcc("DIV5"), AV_CODEC_ID_MSMPEG4V3, L"div3"}, {Fcc("DIV6"), AV_CODEC_ID_MSMPEG4V3, L"div3"},
      {Fcc("AP41"), AV_CODEC_ID_MSMPEG4V3, L"div3"}, {Fcc("COL1"), AV_CODEC_ID_MSMPEG4V3, L"div3"},
      {Fcc("DVX3"), AV_CODEC_ID_MSMPEG4V3, L"div3"}, {Fcc("MPG3"), AV_CODEC_ID_MSMPEG4V3, L"div3"},
      {Fcc("MP43"), AV_CODEC_ID_MSMPEG4V3, L"div3"}, {Fcc("MP42"), AV_CODEC_ID_MSMPEG4V2, L"mp42"},
      {Fcc("DIV2"), AV_CODEC_ID_MSMPEG4V2, L"mp42"}, {Fcc("MP41"), AV_CODEC_ID_MSMPEG4V1, L"mp41"},
      {Fcc("DIV1"), AV_CODEC_ID_MSMPEG4V1, L"mp41"}, {Fcc("MPG4"), AV_CODEC_ID_MSMPEG4V1, L"mp41"},
      {Fcc("H263"), AV_CODEC_ID_H263, L"h263"},      {Fcc("S263"), AV_CODEC_ID_H263, L"h263"},
      {Fcc("H264"), AV_CODEC_ID_H264, L"h264"},      {Fcc("X264"), AV_CODEC_ID_H264, L"h264"},
      {Fcc("DAVC"), AV_CODEC_ID_H264, L"h264"},      {Fcc("AVC1"), AV_CODEC_ID_H264, L"h264"},
      {Fcc("FLV1"), AV_CODEC_ID_FLV1, L"flv1"},      {Fcc("VP6F"), AV_CODEC_ID_VP6F, L"vp6f"},
      {Fcc("VP6A"), AV_CODEC_ID_VP6A, L"vp6f"},      {Fcc("VP60"), AV_CODEC_ID_VP6, L"vp6"},
      {Fcc("VP61"), AV_CODEC_ID_VP6, L"vp6"},        {Fcc("VP62"), AV_CODEC_ID_VP6, L"vp6"},
      {Fcc("WMV1"), AV_CODEC_ID_WMV1, L"wmv1"},      {Fcc("WMV2"), AV_CODEC_ID_WMV2, L"wmv2"},
      {Fcc("WMV3"), AV_CODEC_ID_WMV3, L"wmv3"},      {Fcc("WVC1"), AV_CODEC_ID_VC1, L"wvc1"},
      {Fcc("MJPG"), AV_CODEC_ID_MJPEG, L"mjpg"},     {Fcc("DVSD"), AV_CODEC_ID_DVVIDEO, L"dvsd"},
      // Motion JPEG under its QuickTime and AVI codes.
      {Fcc("JPEG"), AV_CODEC_ID_MJPEG, L"mjpg"},     {Fcc("MJPA"), AV_CODEC_ID_MJPEG, L"mjpg"},
      {Fcc("MJPB"), AV_CODEC_ID_MJPEGB, L"mjpg"},    {Fcc("AVRn"), AV_CODEC_ID_AVRN, L"mjpg"},
      {Fcc("DMB1"), AV_CODEC_ID_MJPEG, L"mjpg"},
      {Fcc("HVC1"), AV_CODEC_ID_HEVC, L"hevc"},      {Fcc("HEV1"), AV_CODEC_ID_HEVC, L"hevc"},
      {Fcc("MPG2"), AV_CODEC_ID_MPEG2VIDEO, L"mpg2"}, {Fcc("VP80"), AV_CODEC_ID_VP8, L"vp8"},        {Fcc("THEO"), AV_CODEC_ID_THEORA, L"theo"},
      {Fcc("DV25"), AV_CODEC_ID_DVVIDEO, L"dvsd"},   {Fcc("DV50"), AV_CODEC_ID_DVVIDEO, L"dvsd"},
      {Fcc("DVSL"), AV_CODEC_ID_DVVIDEO, L"dvsd"},   {Fcc("DVHD"), AV_CODEC_ID_DVVIDEO, L"dvsd"},
      {Fcc("SVQ1"), AV_CODEC_ID_SVQ1, L"svq1"},      {Fcc("SVQ3"), AV_CODEC_ID_SVQ3, L"svq3"},
      {Fcc("TSCC"), AV_CODEC_ID_TSCC, L"tscc"},
      // The platform's own Cinepak decoder, which old AVI files use.
      {Fcc("CVID"), AV_CODEC_ID_CINEPAK, L"cvid"},
  };
  return table;
}

const VideoCodecEntry* CFfVideoDecoder::FindCodec(const GUID& subtype) {
  if (!IsFourCCGuid(subtype)) return nullptr;
  const DWORD fcc = UpperFcc(subtype.Data1);
  for (const auto& e : CodecTable())
    if (UpperFcc(e.fourcc) == fcc) return &e;
  return nullptr;
}

bool CFfVideoDecoder::CodecSwitchedOn(const wchar_t* switchName) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\GNU\\ffdshow", 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
  DWORD type = 0, value = 1, size = sizeof value;
  const LONG r = RegQueryValueExW(key, switchName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return r != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value || value != 0;
}

CFfVideoDecoder::CFfVideoDecoder(LPUNKNOWN outer, REFCLSID clsid, bool mpeg1Only)
    : CTransformFilter(mpeg1Only ? "MPEG Video Decoder" : "Video Decoder", outer, clsid), m_mpeg1Only(mpeg1Only) {}

CFfVideoDecoder::~CFfVideoDecoder() {
  // The codec's threads end with its context: nothing speaks for this
  // decoder after that.
  m_ctx.reset();
  WatchDamage(this, false);
}

template <bool Mpeg1>
HRESULT CFfVideoDecoder::Create(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CFfVideoDecoder(outer, Mpeg1 ? CLSID_CMpegVideoCodec : CLSID_FfdshowVideoDecoder, Mpeg1);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CFfVideoDecoder::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CFfVideoDecoder::CreateInstalled(IUnknown* outer, REFIID riid, void** ppv) {
  return Create<false>(outer, riid, ppv);
}
HRESULT CFfVideoDecoder::CreateMpeg1(IUnknown* outer, REFIID riid, void** ppv) {
  return Create<true>(outer, riid, ppv);
}

AVCodecID CFfVideoDecoder::CodecFor(const CMediaType* in) const {
  if (!in || in->majortype != MEDIATYPE_Video) return AV_CODEC_ID_NONE;
  if (m_mpeg1Only) return IsMpeg1Subtype(in->subtype) ? AV_CODEC_ID_MPEG1VIDEO : AV_CODEC_ID_NONE;
  const VideoCodecEntry* e = FindCodec(in->subtype);
  if (!e || !CodecSwitchedOn(e->switchName)) return AV_CODEC_ID_NONE;
  return e->codec;
}

HRESULT CFfVideoDecoder::CheckInputType(const CMediaType* in) {
  const AVCodecID id = CodecFor(in);
  if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(*in);
  if (!bih || bih->biWidth <= 0 || bih->biHeight == 0 || bih->biWidth > 8192 || std::abs(bih->biHeight) > 8192)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CFfVideoDecoder::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  const CMediaType& in = m_pInput->CurrentMediaType();
  const LONG w = m_shape.width, h = m_shape.height;
  if (w <= 0 || h <= 0) return E_UNEXPECTED;
  std::vector<RawVideo> kinds;
  if (w % 2 == 0 && h % 2 == 0) kinds = {RawVideo::YV12, RawVideo::YUY2};
  kinds.push_back(RawVideo::RGB32);
  kinds.push_back(RawVideo::RGB24);
  // Pixels that are not square: the VideoInfo2 types that carry their
  // shape first, then the VideoInfo ones with it as the bitmap resolution.
  const int count = static_cast<int>(kinds.size());
  const bool info2 = !m_shape.Square() && position < count;
  if (position >= (m_shape.Square() ? count : 2 * count)) return VFW_S_NO_MORE_ITEMS;
  HRESULT hr = MakeRawVideoType(pmt, kinds[static_cast<size_t>(position % count)], w, h, VideoFrameTime(in), info2);
  if (SUCCEEDED(hr)) SetVideoDisplayAspect(*pmt, m_shape.aspectX, m_shape.aspectY);
  return hr;
}

HRESULT CFfVideoDecoder::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
  if (dir == PINDIR_INPUT && pmt) FindStreamShape(*pmt);
  return CTransformFilter::SetMediaType(dir, pmt);
}

void CFfVideoDecoder::FindStreamShape(const CMediaType& in) {
  m_header = Shape{};
  if (const BITMAPINFOHEADER* bih = VideoBitmapHeader(in)) {
    m_header.width = bih->biWidth;
    m_header.height = std::abs(bih->biHeight);
    VideoDisplayAspect(in, &m_header.aspectX, &m_header.aspectY);
  }
  m_shape = m_header;
  {
    std::lock_guard<std::mutex> g(m_noteLock);
    m_strShapeNote.clear();
    m_sizeNoted = m_aspectNoted = false;
  }
  // MPEG-4 part 2 states the picture's size and pixel shape in its video
  // object layer header, which the set-up data holds (as such, or in an
  // MP4 sample entry's descriptor), and which the codec's parser reads.
  if (CodecFor(&in) != AV_CODEC_ID_MPEG4 || m_header.width <= 0) return;
  const std::vector<BYTE> extra = ExtraData(in);
  if (extra.empty() || extra.size() > (size_t{1} << 20)) return;
  AvParserPtr parser(av_parser_init(AV_CODEC_ID_MPEG4));
  AvCodecContextPtr ctx(avcodec_alloc_context3(nullptr));
  std::vector<BYTE> data(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  if (!parser || !ctx) return;
  std::memcpy(data.data(), extra.data(), extra.size());
  ctx->codec_type = AVMEDIA_TYPE_VIDEO;
  ctx->codec_id = AV_CODEC_ID_MPEG4;
  parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser.get(), ctx.get(), &out, &outSize, data.data(), static_cast<int>(extra.size()),
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  AdoptStreamShape(ctx->width, ctx->height, ctx->sample_aspect_ratio);
}

bool CFfVideoDecoder::AdoptStreamShape(int width, int height, AVRational pixel) {
  Shape s = m_shape;
  if (width >= 2 && height >= 2 && width <= 8192 && height <= 8192) {
    s.width = width;
    s.height = height;
  }
  // The pixel shape the stream states, unless it says square: encoders
  // write that whatever the file means, and the container's shape then
  // holds (as players do it). Else the shape in force.
  int64_t pixelX = int64_t{m_shape.aspectX} * m_shape.height, pixelY = int64_t{m_shape.aspectY} * m_shape.width;
  if (pixel.num > 0 && pixel.den > 0 && pixel.num != pixel.den) {
    pixelX = pixel.num;
    pixelY = pixel.den;
  }
  if (!DisplayAspectOf(s.width, s.height, pixelX, pixelY, &s.aspectX, &s.aspectY)) return false;
  if (s.width == m_shape.width && s.height == m_shape.height && s.aspectX == m_shape.aspectX &&
      s.aspectY == m_shape.aspectY)
    return false;
  // What differs from the header is said once.
  std::lock_guard<std::mutex> g(m_noteLock);
  if (!m_sizeNoted && (s.width != m_header.width || s.height != m_header.height)) {
    m_sizeNoted = true;
    m_strShapeNote += PictureSizeNote(s.width, s.height, m_header.width, m_header.height);
  }
  LONG hx = 0, hy = 0, sx = 0, sy = 0;
  if (!m_aspectNoted &&
      DisplayAspectOf(1, 1, int64_t{m_header.aspectX} * m_header.height, int64_t{m_header.aspectY} * m_header.width,
                      &hx, &hy) &&
      DisplayAspectOf(1, 1, int64_t{s.aspectX} * s.height, int64_t{s.aspectY} * s.width, &sx, &sy) &&
      (hx != sx || hy != sy)) {
    m_aspectNoted = true;
    m_strShapeNote += "The video stream's pixels are " + std::to_string(sx) + ":" + std::to_string(sy) +
                      " (width to height) while the file's header says " + std::to_string(hx) + ":" +
                      std::to_string(hy) + ": the pictures keep the stream's shape.\n";
  }
  m_shape = s;
  return true;
}

void CFfVideoDecoder::GetPictureSize(LONG* width, LONG* height) const {
  *width = m_shape.width;
  *height = m_shape.height;
}

HRESULT CFfVideoDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (FAILED(CheckInputType(in)) || !out || out->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
  const RawVideo kind = RawVideoOf(out->subtype);
  if (kind != RawVideo::YV12 && kind != RawVideo::YUY2 && kind != RawVideo::RGB24 && kind != RawVideo::RGB32)
    return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* ob = VideoBitmapHeader(*out);
  if (!ob || ob->biWidth < m_shape.width || std::abs(ob->biHeight) != m_shape.height) return VFW_E_TYPE_NOT_ACCEPTED;
  if ((kind == RawVideo::YV12 || kind == RawVideo::YUY2) && (ob->biWidth % 2 || ob->biHeight % 2))
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CFfVideoDecoder::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  if (!bih) return E_UNEXPECTED;
  const DWORD size = RawVideoImageSize(RawVideoOf(mt.subtype), bih->biWidth, std::abs(bih->biHeight));
  ALLOCATOR_PROPERTIES want = *request, got{};
  want.cBuffers = std::max<long>(want.cBuffers, 3);
  want.cbBuffer = std::max<long>(want.cbBuffer, static_cast<long>(size));
  want.cbAlign = std::max<long>(want.cbAlign, 1);
  HRESULT hr = alloc->SetProperties(&want, &got);
  if (FAILED(hr)) return hr;
  return got.cbBuffer >= static_cast<long>(size) ? S_OK : E_FAIL;
}

std::vector<BYTE> CFfVideoDecoder::ExtraData(const CMediaType& in) {
  const BYTE* f = in.pbFormat;
  const size_t n = in.cbFormat;
  if (!f) return {};
  if (in.formattype == FORMAT_VideoInfo && n > sizeof(VIDEOINFOHEADER)) {
    // An MP4 sample entry: HEVC takes its configuration atom (SVQ3 reads
    // the whole entry).
    const BYTE* entry = f + sizeof(VIDEOINFOHEADER);
    const DWORD fcc = reinterpret_cast<const VIDEOINFOHEADER*>(f)->bmiHeader.biCompression;
    const bool hevc = UpperFcc(fcc) == Fcc("HVC1") || UpperFcc(fcc) == Fcc("HEV1");
    std::vector<BYTE> config;
    if (hevc && SampleEntryChild(entry, n - sizeof(VIDEOINFOHEADER), fcc, false, 0x68766343 /* hvcC */, false,
                                 &config))
      return config;
    return {entry, f + n};
  }
  if (in.formattype == FORMAT_VideoInfo2 && n > sizeof(VIDEOINFOHEADER2))
    return {f + sizeof(VIDEOINFOHEADER2), f + n};
  if (in.formattype == FORMAT_MPEGVideo && n >= offsetof(MPEG1VIDEOINFO, bSequenceHeader)) {
    const auto* mi = reinterpret_cast<const MPEG1VIDEOINFO*>(f);
    const size_t len = std::min<size_t>(mi->cbSequenceHeader, n - offsetof(MPEG1VIDEOINFO, bSequenceHeader));
    const BYTE* p = f + offsetof(MPEG1VIDEOINFO, bSequenceHeader);
    return {p, p + len};
  }
  if (in.formattype == FORMAT_MPEG2Video && n >= offsetof(MPEG2VIDEOINFO, dwSequenceHeader)) {
    const auto* mi = reinterpret_cast<const MPEG2VIDEOINFO*>(f);
    const size_t len = std::min<size_t>(mi->cbSequenceHeader, n - offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
    const BYTE* p = f + offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
    const bool annexB = len >= 3 && p[0] == 0 && p[1] == 0 && (p[2] == 1 || (len >= 4 && p[2] == 0 && p[3] == 1));
    const GUID& s = in.subtype;
    const bool avc = IsFourCCGuid(s) && UpperFcc(s.Data1) == Fcc("AVC1");
    if (!avc || annexB || len == 0) return {p, p + len};
    // Parameter sets with 16-bit sizes: rebuild the decoder configuration
    // record FFmpeg expects, with the NAL length size from the flags.
    std::vector<std::vector<BYTE>> sps, pps;
    for (size_t i = 0; i + 2 <= len;) {
      const size_t sz = (static_cast<size_t>(p[i]) << 8) | p[i + 1];
      i += 2;
      if (sz == 0 || i + sz > len) break;
      const BYTE type = p[i] & 0x1F;
      (type == 7 ? sps : pps).emplace_back(p + i, p + i + sz);
      i += sz;
    }
    if (sps.empty() || sps[0].size() < 4 || sps.size() > 31 || pps.size() > 255) return {};
    const DWORD nalSize = mi->dwFlags >= 1 && mi->dwFlags <= 4 ? mi->dwFlags : 4;
    std::vector<BYTE> avcc = {1, sps[0][1], sps[0][2], sps[0][3], static_cast<BYTE>(0xFC | (nalSize - 1)),
                              static_cast<BYTE>(0xE0 | sps.size())};
    for (const auto& s1 : sps) {
      avcc.push_back(static_cast<BYTE>(s1.size() >> 8));
      avcc.push_back(static_cast<BYTE>(s1.size()));
      avcc.insert(avcc.end(), s1.begin(), s1.end());
    }
    avcc.push_back(static_cast<BYTE>(pps.size()));
    for (const auto& p1 : pps) {
      avcc.push_back(static_cast<BYTE>(p1.size() >> 8));
      avcc.push_back(static_cast<BYTE>(p1.size()));
      avcc.insert(avcc.end(), p1.begin(), p1.end());
    }
    return avcc;
  }
  return {};
}

HRESULT CFfVideoDecoder::OpenCodec(bool threaded) {
  const CMediaType& in = m_pInput->CurrentMediaType();
  const AVCodecID id = CodecFor(&in);
  const AVCodec* codec = avcodec_find_decoder(id);
  if (!codec) return VFW_E_TYPE_NOT_ACCEPTED;
  m_ctx.reset(avcodec_alloc_context3(codec));
  if (!m_ctx) return E_OUTOFMEMORY;
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(in);
  m_ctx->width = m_codedWidth > 0 ? m_codedWidth : bih->biWidth;
  m_ctx->height = m_codedHeight > 0 ? m_codedHeight : std::abs(bih->biHeight);
  m_ctx->codec_tag = IsFourCCGuid(in.subtype) ? in.subtype.Data1 : 0;
  if (id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_DVVIDEO) m_ctx->codec_tag = bih->biCompression;
  m_ctx->pkt_timebase = kRefTimeBase;
  // Codecs that decode several frames at once do so on as many threads as
  // the library picks; their pictures still come out one by one, in order.
  m_threaded = threaded && (codec->capabilities & AV_CODEC_CAP_FRAME_THREADS);
  m_ctx->thread_count = m_threaded ? 0 : 1;
  if (m_threaded) m_ctx->thread_type = FF_THREAD_FRAME;
  // The codec's threads say what damage they meet in the library's log.
  m_damageSeen = false;
  m_ctx->opaque = this;
  WatchDamage(this, true);
  std::vector<BYTE> extra = ExtraData(in);
  if (!extra.empty()) {
    m_ctx->extradata = static_cast<uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!m_ctx->extradata) return E_OUTOFMEMORY;
    std::memcpy(m_ctx->extradata, extra.data(), extra.size());
    m_ctx->extradata_size = static_cast<int>(extra.size());
  }
  if (avcodec_open2(m_ctx.get(), codec, nullptr) < 0) {
    m_ctx.reset();
    m_strError = std::string("The video stream of the source (") + (codec->long_name ? codec->long_name : codec->name) +
                 ") could not be decoded: its decoder set-up data is damaged\n";
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  m_keptPackets.clear();
  m_keptBytes = 0;
  return S_OK;
}

HRESULT CFfVideoDecoder::StartStreaming() {
  m_strError.clear();
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_frame || !m_packet) return E_OUTOFMEMORY;
  m_codedWidth = m_codedHeight = 0;
  m_sizeChecked = false;
  m_sizeProbe.clear();
  if (HRESULT hr = OpenCodec(true); FAILED(hr)) return hr;
  const CMediaType& in = m_pInput->CurrentMediaType();
  m_parser.reset(m_ctx->codec_id == AV_CODEC_ID_MPEG1VIDEO || m_ctx->codec_id == AV_CODEC_ID_MPEG2VIDEO
                     ? av_parser_init(m_ctx->codec_id)
                     : nullptr);
  m_outType = m_pOutput->CurrentMediaType();
  if (!m_writer.SetTarget(m_outType)) return E_UNEXPECTED;
  m_frameTime = VideoFrameTime(in) > 0 ? VideoFrameTime(in) : StreamTime::kDefaultFrameTime;
  m_haveTime = false;
  m_nextTime = 0;
  m_lastOwnTime = AV_NOPTS_VALUE;
  m_breakAt = AV_NOPTS_VALUE;
  m_breakPending = m_shownPastBreak = false;
  m_packetNumber = m_firstPacket = 0;
  m_lastDelivered = -1;
  m_skipTo = -1;
  m_concealed.clear();
  m_haveReference = false;
  m_dropped = 0;
  m_damaged = 0;
  m_late = 0;
  return S_OK;
}

HRESULT CFfVideoDecoder::StopStreaming() {
  m_parser.reset();
  m_ctx.reset();
  m_keptPackets.clear();
  m_keptBytes = 0;
  m_sizeProbe.clear();
  m_frame.reset();
  m_packet.reset();
  return S_OK;
}

std::string CFfVideoDecoder::GetRunNote() const {
  std::string note;
  {
    std::lock_guard<std::mutex> g(m_noteLock);
    note = m_strShapeNote;
  }
  const LONG damaged = m_damaged, dropped = m_dropped, late = m_late;
  if (late > 0)
    note += std::to_string(late) + (late == 1 ? " picture" : " pictures") +
            " from before a break in the video stream came out of the decoder after the pictures past it and " +
            (late == 1 ? "was" : "were") + " left out.\n";
  if (damaged == 0 && dropped == 0) return note;
  std::string text = note + "The video stream is damaged: ";
  if (damaged > 0)
    text += std::to_string(damaged) + (damaged == 1 ? " picture was kept with its" : " pictures were kept with their") +
            " damaged areas filled in, as a player shows them";
  if (damaged > 0 && dropped > 0) text += "; ";
  if (dropped > 0)
    text += std::to_string(dropped) + (dropped == 1 ? " picture" : " pictures") + " that showed nothing usable " +
            (dropped == 1 ? "was" : "were") + " left out";
  return text + ".\n";
}

void CFfVideoDecoder::DamageMet(int concealedBlocks) {
  m_damageSeen = true;
  // On one thread the codec speaks while it decodes the packet just sent.
  if (!m_threaded && concealedBlocks > 0) m_concealed[m_sending] = concealedBlocks;
}

bool CFfVideoDecoder::Usable(const AVFrame* frame) {
  // What the codec filled in of this picture; pictures come out in their
  // own order, at most a few dozen packets behind.
  int concealed = 0;
  if (auto it = m_concealed.find(frame->pkt_pos); it != m_concealed.end()) {
    concealed = it->second;
    m_concealed.erase(it);
  }
  while (!m_concealed.empty() && m_concealed.begin()->first < frame->pkt_pos - kConcealedKeptPackets)
    m_concealed.erase(m_concealed.begin());
  // A picture decoded before any picture it refers to shows only what the
  // decoder made up for the missing ones; so does one of which next to
  // nothing was decoded.
  if (frame->flags & AV_FRAME_FLAG_CORRUPT) return false;
  if (frame->key_frame || frame->pict_type == AV_PICTURE_TYPE_I) m_haveReference = true;
  const int64_t blocks = int64_t{(frame->width + 15) / 16} * ((frame->height + 15) / 16);
  return m_haveReference && int64_t{concealed} * 10 < blocks * kUnusableConcealedTenths;
}

HRESULT CFfVideoDecoder::FinishSizeProbe() {
  std::vector<AvPacketPtr> probe = std::move(m_sizeProbe);
  m_sizeProbe.clear();
  std::vector<const AVPacket*> packets;
  for (const AvPacketPtr& p : probe) packets.push_back(p.get());
  AVCodecParameters* par = avcodec_parameters_alloc();
  int width = m_ctx->width, height = m_ctx->height;
  if (par && avcodec_parameters_from_context(par, m_ctx.get()) >= 0 &&
      PacketsPictureSize(par, packets, &width, &height) && (width != m_ctx->width || height != m_ctx->height)) {
    m_codedWidth = width;
    m_codedHeight = height;
  }
  avcodec_parameters_free(&par);
  // From the key picture on again, at the stream's own size where it has
  // one.
  HRESULT hr = OpenCodec(false);
  if (FAILED(hr)) return hr;
  m_replaying = true;
  for (size_t i = 0; i < probe.size() && hr == S_OK; ++i) hr = Decode(probe[i].get());
  m_replaying = false;
  return hr;
}

void CFfVideoDecoder::KeepForReplay(const AVPacket* packet) {
  // More than this is no group of pictures but a stream without key
  // packets; a replay then has no key packet to start from.
  constexpr size_t kMaxKeptBytes = size_t{64} << 20;
  constexpr size_t kMaxKeptPackets = 4096;
  AvPacketPtr kept(av_packet_clone(packet));
  if (!kept) return;
  m_keptBytes += static_cast<size_t>(kept->size);
  m_keptPackets.push_back(std::move(kept));
  // Only the last key packet before every picture still to come is needed.
  size_t from = 0;
  for (size_t i = 1; i < m_keptPackets.size() && m_lastDelivered >= 0; ++i) {
    if (m_keptPackets[i]->pos > m_lastDelivered - kReorderPackets) break;
    if (m_keptPackets[i]->flags & AV_PKT_FLAG_KEY) from = i;
  }
  while (from > 0 || m_keptPackets.size() > kMaxKeptPackets || m_keptBytes > kMaxKeptBytes) {
    m_keptBytes -= static_cast<size_t>(m_keptPackets.front()->size);
    m_keptPackets.pop_front();
    if (from > 0) --from;
  }
}

HRESULT CFfVideoDecoder::ReplayOnOneThread() {
  std::deque<AvPacketPtr> kept = std::move(m_keptPackets);
  m_keptPackets.clear();
  m_keptBytes = 0;
  if (HRESULT hr = OpenCodec(false); FAILED(hr)) return hr;
  // Without a key packet (or the stream's start) to begin with, the
  // pictures in the threads are lost, and the new decoder waits for a
  // picture it can show.
  if (kept.empty() || !((kept.front()->flags & AV_PKT_FLAG_KEY) || kept.front()->pos == m_firstPacket)) {
    m_haveReference = false;
    return S_OK;
  }
  m_skipTo = m_lastDelivered;
  m_replaying = true;
  HRESULT hr = S_OK;
  for (size_t i = 0; i < kept.size() && hr == S_OK; ++i) hr = Decode(kept[i].get());
  m_replaying = false;
  // The last picture delivered did not come again: delivery goes on here.
  m_skipTo = -1;
  return hr;
}

HRESULT CFfVideoDecoder::TakePicture(const AVFrame* frame, bool* replay) {
  if (m_skipTo >= 0) {
    if (frame->pkt_pos == m_skipTo) m_skipTo = -1;
    return S_OK;
  }
  // A picture decoded after damage on frame threads may have read it while
  // it was being concealed; so may any picture given out after the threads
  // said they met damage (each picture comes out after every one decoded
  // before it has been finished). The picture's own flag may come too late.
  if (m_threaded && (m_damageSeen || frame->decode_error_flags)) {
    *replay = true;
    return S_OK;
  }
  return ReleasePicture(frame);
}

HRESULT CFfVideoDecoder::ReleasePicture(const AVFrame* frame) {
  m_lastDelivered = frame->pkt_pos;
  if (!Usable(frame)) {
    ++m_dropped;
    return S_OK;
  }
  if (frame->decode_error_flags) ++m_damaged;
  return DeliverPicture(frame);
}

HRESULT CFfVideoDecoder::ChangeOutputShape() {
  const BITMAPINFOHEADER* old = VideoBitmapHeader(m_outType);
  const RawVideo kind = RawVideoOf(m_outType.subtype);
  if (!old) return E_UNEXPECTED;
  // 4:2:0 and 4:2:2 rows and columns go in pairs: an odd size is scaled
  // to the size in force, still shown at the stream's shape.
  LONG width = m_shape.width, height = m_shape.height;
  if (kind != RawVideo::RGB24 && kind != RawVideo::RGB32 && (width % 2 || height % 2)) {
    width = old->biWidth;
    height = std::abs(old->biHeight);
  }
  const bool topDown = old->biHeight < 0;
  CMediaType mt;
  HRESULT hr = MakeRawVideoType(&mt, kind, width, height, VideoFrameTime(m_outType),
                                m_outType.formattype == FORMAT_VideoInfo2);
  if (FAILED(hr)) return hr;
  if (topDown) VideoBitmapHeader(mt)->biHeight = -height;
  SetVideoDisplayAspect(mt, m_shape.aspectX, m_shape.aspectY);
  if (!m_writer.SetTarget(mt)) return E_UNEXPECTED;
  // Larger pictures need larger buffers; none of them is held here.
  ALLOCATOR_PROPERTIES props{};
  if (m_pOutput->m_pAllocator && SUCCEEDED(m_pOutput->m_pAllocator->GetProperties(&props)) &&
      props.cbBuffer < static_cast<long>(m_writer.ImageSize())) {
    hr = GrowAllocatorBuffers(m_pOutput->m_pAllocator, static_cast<LONG>(m_writer.ImageSize()));
    if (FAILED(hr)) return hr;
  }
  m_outType = mt;
  return S_OK;
}

REFERENCE_TIME CFfVideoDecoder::ShownAt(const AVFrame* frame) const {
  if (frame->pts != AV_NOPTS_VALUE) return frame->pts;
  // An MPEG-1/2 reference picture is shown when the next one is decoded,
  // and leaves the decoder with that one's packet: where the packet has a
  // decoding stamp, it is the time of a picture without one of its own
  // (also past a gap, which counting on from the picture before would
  // close). Other codings keep pictures back longer, and are counted on.
  const AVCodecID codec = m_ctx->codec_id;
  if ((codec == AV_CODEC_ID_MPEG1VIDEO || codec == AV_CODEC_ID_MPEG2VIDEO) && frame->pict_type != AV_PICTURE_TYPE_B &&
      frame->pkt_dts != AV_NOPTS_VALUE && (!m_haveTime || frame->pkt_dts > m_nextTime))
    return frame->pkt_dts;
  return AV_NOPTS_VALUE;
}

HRESULT CFfVideoDecoder::DeliverPicture(const AVFrame* frame) {
  // The stream's own size and pixel shape win over the type's: the output
  // type follows with this picture rather than stretching it.
  const bool reshaped = AdoptStreamShape(frame->width, frame->height, frame->sample_aspect_ratio);
  if (reshaped) {
    HRESULT hr = ChangeOutputShape();
    if (FAILED(hr)) return hr;
  }
  REFERENCE_TIME start = ShownAt(frame);
  if (m_breakAt != AV_NOPTS_VALUE && start != AV_NOPTS_VALUE) {
    if (start >= m_breakAt) {
      m_shownPastBreak = true;
    } else if (m_shownPastBreak && m_haveTime && start < m_nextTime - m_frameTime / 2) {
      ++m_late;
      return S_OK;
    }
  }
  // A frame time from the type that is more than twice the spacing of the
  // stream's own times (a header's damaged frame time or default duration)
  // is no frame of this stream: the spacing stands in for it.
  if (start != AV_NOPTS_VALUE && m_lastOwnTime != AV_NOPTS_VALUE && start > m_lastOwnTime &&
      start - m_lastOwnTime < m_frameTime / 2) {
    m_frameTime = start - m_lastOwnTime;
    m_nextTime = m_lastOwnTime + m_frameTime;
  }
  if (start != AV_NOPTS_VALUE) m_lastOwnTime = start;
  // Times must keep rising; the stream's own are used while they do.
  if (start == AV_NOPTS_VALUE || (m_haveTime && start < m_nextTime - m_frameTime / 2)) start = m_nextTime;
  const REFERENCE_TIME stop = start + m_frameTime;
  m_nextTime = stop;
  m_haveTime = true;

  IMediaSample* raw = nullptr;
  HRESULT hr = m_pOutput->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
  if (FAILED(hr)) return hr;
  SamplePtr out(raw);
  BYTE* dst = nullptr;
  out->GetPointer(&dst);
  if (!m_writer.Write(frame, dst, static_cast<size_t>(out->GetSize()))) return E_FAIL;
  out->SetActualDataLength(static_cast<long>(m_writer.ImageSize()));
  REFERENCE_TIME s = start, e = stop;
  out->SetTime(&s, &e);
  out->SetSyncPoint(TRUE);
  if (reshaped) out->SetMediaType(&m_outType);
  return m_pOutput->Deliver(out.get());
}

HRESULT CFfVideoDecoder::Decode(AVPacket* packet) {
  // The pictures that tell a stream's size of its own are collected first.
  constexpr size_t kSizeProbePackets = 8;
  if (packet) {
    if (!m_replaying) packet->pos = m_packetNumber++;
    if (!m_sizeProbe.empty()) {
      if (AvPacketPtr kept{av_packet_clone(packet)}) m_sizeProbe.push_back(std::move(kept));
      return m_sizeProbe.size() < kSizeProbePackets ? S_OK : FinishSizeProbe();
    }
    if (m_threaded) KeepForReplay(packet);
  } else if (!m_sizeProbe.empty()) {
    if (HRESULT hr = FinishSizeProbe(); hr != S_OK) return hr;
  }
  bool replay = false;
  m_sending = packet ? packet->pos : -1;
  int err = avcodec_send_packet(m_ctx.get(), packet);
  if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
    // A packet the decoder cannot take is dropped; the next one resyncs.
    // On frame threads the error may be an earlier picture's.
    ++m_dropped;
    replay = m_threaded;
  }
  while (!replay) {
    err = avcodec_receive_frame(m_ctx.get(), m_frame.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) break;
    if (err < 0) {
      ++m_dropped;
      if (!m_threaded) break;
      replay = true;
      continue;
    }
    // A codec that takes its picture size from the container: a first key
    // picture damaged at that size may be whole at the stream's own.
    if (packet && !m_sizeChecked && m_frame->decode_error_flags && m_frame->key_frame &&
        CodecTakesContainerSize(m_ctx->codec_id)) {
      m_sizeChecked = true;
      av_frame_unref(m_frame.get());
      if (AvPacketPtr kept{av_packet_clone(packet)}) {
        m_sizeProbe.push_back(std::move(kept));
        return S_OK;
      }
      continue;
    }
    HRESULT hr = TakePicture(m_frame.get(), &replay);
    av_frame_unref(m_frame.get());
    if (hr != S_OK) return hr;
  }
  if (m_threaded && m_damageSeen) replay = true;
  if (!replay) return S_OK;
  HRESULT hr = ReplayOnOneThread();
  // At the end the new decoder gives out what it holds too.
  return hr == S_OK && !packet ? Decode(nullptr) : hr;
}

HRESULT CFfVideoDecoder::Parse(const BYTE* data, int length, int64_t pts, int64_t dts) {
  const bool flush = data == nullptr;
  do {
    uint8_t* out = nullptr;
    int outSize = 0;
    const int used = av_parser_parse2(m_parser.get(), m_ctx.get(), &out, &outSize, data, length, pts,
                                      dts != AV_NOPTS_VALUE ? dts : pts, 0);
    if (used < 0) return S_OK;
    if (data) {
      data += used;
      length -= used;
    }
    pts = dts = AV_NOPTS_VALUE;  // the times belong to the first picture begun here
    if (outSize > 0) {
      av_packet_unref(m_packet.get());
      if (av_new_packet(m_packet.get(), outSize) < 0) return E_OUTOFMEMORY;
      std::memcpy(m_packet->data, out, static_cast<size_t>(outSize));
      m_packet->pts = m_parser->pts;
      m_packet->dts = m_parser->dts != m_parser->pts ? m_parser->dts : AV_NOPTS_VALUE;
      HRESULT hr = Decode(m_packet.get());
      av_packet_unref(m_packet.get());
      if (hr != S_OK) return hr;
    } else if (flush) {
      return S_OK;
    }
  } while (length > 0 || flush);
  return S_OK;
}

HRESULT CFfVideoDecoder::Receive(IMediaSample* sample) {
  if (!m_ctx) return VFW_E_WRONG_STATE;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data))) return E_POINTER;
  const long length = sample->GetActualDataLength();
  if (length <= 0) return S_OK;
  AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  if (props->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) {
    m_haveTime = false;
    // Only a break after pictures were given out has pictures before it.
    m_breakPending = m_lastDelivered >= 0;
    m_breakAt = AV_NOPTS_VALUE;
    m_shownPastBreak = false;
  }
  if (m_breakPending) {
    REFERENCE_TIME start = 0, stop = 0;
    if (SUCCEEDED(sample->GetTime(&start, &stop))) {
      m_breakAt = start;
      m_breakPending = false;
    }
  }
  // The decoding stamp rides as the media time (only with a time).
  REFERENCE_TIME start = 0, stop = 0, decode = 0, decodeEnd = 0;
  const int64_t pts = SUCCEEDED(sample->GetTime(&start, &stop)) ? start : AV_NOPTS_VALUE;
  const int64_t dts =
      pts != AV_NOPTS_VALUE && sample->GetMediaTime(&decode, &decodeEnd) == S_OK ? decode : AV_NOPTS_VALUE;
  if (m_parser) return Parse(data, static_cast<int>(length), pts, dts);
  // FFmpeg reads a little past the end of a packet: copy into a padded one.
  av_packet_unref(m_packet.get());
  if (av_new_packet(m_packet.get(), static_cast<int>(length)) < 0) return E_OUTOFMEMORY;
  std::memcpy(m_packet->data, data, static_cast<size_t>(length));
  m_packet->pts = pts;
  m_packet->dts = dts;
  if (sample->IsSyncPoint() == S_OK) m_packet->flags |= AV_PKT_FLAG_KEY;
  HRESULT hr = Decode(m_packet.get());
  av_packet_unref(m_packet.get());
  return hr;
}

HRESULT CFfVideoDecoder::EndOfStream() {
  if (m_ctx) {
    // The picture the parser still holds, then those held for reordering,
    // come out before the end.
    if (m_parser) Parse(nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE);
    Decode(nullptr);
    avcodec_flush_buffers(m_ctx.get());
  }
  return CTransformFilter::EndOfStream();
}

HRESULT CFfVideoDecoder::EndFlush() {
  {
    CAutoLock lock(&m_csReceive);
    if (m_ctx) {
      avcodec_flush_buffers(m_ctx.get());
      // Bytes from before the flush must not complete a picture after it.
      if (m_parser) m_parser.reset(av_parser_init(m_ctx->codec_id));
    }
    m_haveTime = false;
    m_breakAt = AV_NOPTS_VALUE;
    m_breakPending = m_shownPastBreak = false;
    // What comes after a flush starts afresh (from a key packet).
    m_keptPackets.clear();
    m_keptBytes = 0;
    m_skipTo = -1;
    m_lastDelivered = -1;
    m_sizeProbe.clear();
    m_concealed.clear();
    m_firstPacket = m_packetNumber;
    m_haveReference = false;
  }
  return CTransformFilter::EndFlush();
}
