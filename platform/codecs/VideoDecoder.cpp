#include "platform/codecs/VideoDecoder.h"

#include <algorithm>
#include <cctype>
#include <cstring>

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

constexpr REFERENCE_TIME kDefaultFrameTime = 400000;  // 25 frames a second

}  // namespace

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
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(in);
  if (!bih) return E_UNEXPECTED;
  const LONG w = bih->biWidth, h = std::abs(bih->biHeight);
  std::vector<RawVideo> kinds;
  if (w % 2 == 0 && h % 2 == 0) kinds = {RawVideo::YV12, RawVideo::YUY2};
  kinds.push_back(RawVideo::RGB32);
  kinds.push_back(RawVideo::RGB24);
  if (position >= static_cast<int>(kinds.size())) return VFW_S_NO_MORE_ITEMS;
  REFERENCE_TIME frameTime = VideoFrameTime(in);
  return MakeRawVideoType(pmt, kinds[static_cast<size_t>(position)], w, h, frameTime);
}

HRESULT CFfVideoDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (FAILED(CheckInputType(in)) || !out || out->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
  const RawVideo kind = RawVideoOf(out->subtype);
  if (kind != RawVideo::YV12 && kind != RawVideo::YUY2 && kind != RawVideo::RGB24 && kind != RawVideo::RGB32)
    return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* ib = VideoBitmapHeader(*in);
  const BITMAPINFOHEADER* ob = VideoBitmapHeader(*out);
  if (!ob || ob->biWidth < ib->biWidth || std::abs(ob->biHeight) != std::abs(ib->biHeight))
    return VFW_E_TYPE_NOT_ACCEPTED;
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

HRESULT CFfVideoDecoder::StartStreaming() {
  m_strError.clear();
  const CMediaType& in = m_pInput->CurrentMediaType();
  const AVCodecID id = CodecFor(&in);
  const AVCodec* codec = avcodec_find_decoder(id);
  if (!codec) return VFW_E_TYPE_NOT_ACCEPTED;
  m_ctx.reset(avcodec_alloc_context3(codec));
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_ctx || !m_frame || !m_packet) return E_OUTOFMEMORY;
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(in);
  m_ctx->width = bih->biWidth;
  m_ctx->height = std::abs(bih->biHeight);
  m_ctx->codec_tag = IsFourCCGuid(in.subtype) ? in.subtype.Data1 : 0;
  if (id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_DVVIDEO) m_ctx->codec_tag = bih->biCompression;
  m_ctx->pkt_timebase = kRefTimeBase;
  // Codecs that decode several frames at once do so on as many threads as
  // the library picks; their pictures still come out one by one, in order.
  if (codec->capabilities & AV_CODEC_CAP_FRAME_THREADS) {
    m_ctx->thread_count = 0;
    m_ctx->thread_type = FF_THREAD_FRAME;
    // A frame thread reads the rows of the picture it refers to as soon as
    // they are decoded; concealment of damage in them runs later and races
    // with it, so a damaged source gave a different output on every run.
    // Damaged areas stay as the decoder left them instead.
    m_ctx->error_concealment = 0;
  } else {
    m_ctx->thread_count = 1;
  }
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
  m_parser.reset(id == AV_CODEC_ID_MPEG1VIDEO || id == AV_CODEC_ID_MPEG2VIDEO ? av_parser_init(id) : nullptr);
  if (!m_writer.SetTarget(m_pOutput->CurrentMediaType())) return E_UNEXPECTED;
  m_frameTime = VideoFrameTime(in) > 0 ? VideoFrameTime(in) : kDefaultFrameTime;
  m_haveTime = false;
  m_nextTime = 0;
  m_dropped = 0;
  return S_OK;
}

HRESULT CFfVideoDecoder::StopStreaming() {
  m_parser.reset();
  m_ctx.reset();
  m_frame.reset();
  m_packet.reset();
  return S_OK;
}

HRESULT CFfVideoDecoder::DeliverPicture(const AVFrame* frame) {
  if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)) {
    ++m_dropped;
    return S_OK;
  }
  REFERENCE_TIME start = frame->best_effort_timestamp;
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
  return m_pOutput->Deliver(out.get());
}

HRESULT CFfVideoDecoder::Decode(const AVPacket* packet) {
  int err = avcodec_send_packet(m_ctx.get(), packet);
  if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
    // A packet the decoder cannot take is dropped; the next one resyncs.
    ++m_dropped;
    return S_OK;
  }
  for (;;) {
    err = avcodec_receive_frame(m_ctx.get(), m_frame.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return S_OK;
    if (err < 0) {
      ++m_dropped;
      return S_OK;
    }
    HRESULT hr = DeliverPicture(m_frame.get());
    av_frame_unref(m_frame.get());
    if (hr != S_OK) return hr;
  }
}

HRESULT CFfVideoDecoder::Parse(const BYTE* data, int length, int64_t pts) {
  const bool flush = data == nullptr;
  do {
    uint8_t* out = nullptr;
    int outSize = 0;
    const int used = av_parser_parse2(m_parser.get(), m_ctx.get(), &out, &outSize, data, length, pts, pts, 0);
    if (used < 0) return S_OK;
    if (data) {
      data += used;
      length -= used;
    }
    pts = AV_NOPTS_VALUE;  // the time belongs to the first picture begun here
    if (outSize > 0) {
      av_packet_unref(m_packet.get());
      if (av_new_packet(m_packet.get(), outSize) < 0) return E_OUTOFMEMORY;
      std::memcpy(m_packet->data, out, static_cast<size_t>(outSize));
      m_packet->pts = m_parser->pts;
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
  if (props->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) m_haveTime = false;
  if (m_parser) {
    REFERENCE_TIME start = 0, stop = 0;
    const int64_t pts = SUCCEEDED(sample->GetTime(&start, &stop)) ? start : AV_NOPTS_VALUE;
    return Parse(data, static_cast<int>(length), pts);
  }
  // FFmpeg reads a little past the end of a packet: copy into a padded one.
  av_packet_unref(m_packet.get());
  if (av_new_packet(m_packet.get(), static_cast<int>(length)) < 0) return E_OUTOFMEMORY;
  std::memcpy(m_packet->data, data, static_cast<size_t>(length));
  REFERENCE_TIME start = 0, stop = 0;
  m_packet->pts = SUCCEEDED(sample->GetTime(&start, &stop)) ? start : AV_NOPTS_VALUE;
  if (sample->IsSyncPoint() == S_OK) m_packet->flags |= AV_PKT_FLAG_KEY;
  HRESULT hr = Decode(m_packet.get());
  av_packet_unref(m_packet.get());
  return hr;
}

HRESULT CFfVideoDecoder::EndOfStream() {
  if (m_ctx) {
    // The picture the parser still holds, then those held for reordering,
    // come out before the end.
    if (m_parser) Parse(nullptr, 0, AV_NOPTS_VALUE);
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
  }
  return CTransformFilter::EndFlush();
}
