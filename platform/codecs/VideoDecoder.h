// Video decoders over libavcodec.
//
// CFfVideoDecoder stands in for two filters:
//  - the installed video decoder ({04FE9017-F873-410E-871E-AB91661A4EF7}):
//    MPEG-4 ASP and its relatives, MS-MPEG-4 v1-v3, H.263, H.264, FLV1,
//    VP6, WMV1/2/3, VC-1, MJPEG, DV, SVQ1/3 and TSCC by FourCC. Each codec
//    has a switch (a DWORD) under HKEY_CURRENT_USER\Software\GNU\ffdshow;
//    a switch set to 0 makes the decoder refuse that codec, a missing one
//    counts as on;
//  - the platform's MPEG-1 video decoder
//    ({FEB50740-7BEF-11CE-9BD9-0000E202599C}): MPEG-1 video types only.
// Output is YV12, YUY2, RGB32 or RGB24 (offered in that order; YUV only
// for even sizes) at the size of the input type; pictures that the stream
// itself gives at another size are scaled to it. A packet the decoder
// rejects, or a picture it marks as damaged, is dropped and decoding goes
// on with the next packet.
#pragma once

#include <string>
#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/Transform.h"

PELLOMAR_DEFINE_GUID(CLSID_FfdshowVideoDecoder, "04FE9017-F873-410E-871E-AB91661A4EF7");
PELLOMAR_DEFINE_GUID(CLSID_CMpegVideoCodec, "FEB50740-7BEF-11CE-9BD9-0000E202599C");

// One compressed video format the decoders know.
struct VideoCodecEntry {
  DWORD fourcc;           // upper-case FourCC
  AVCodecID codec;
  const wchar_t* switchName;  // value name of its switch
};

class CFfVideoDecoder final : public CTransformFilter, public IRunReport {
 public:
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  static HRESULT CreateInstalled(IUnknown* outer, REFIID riid, void** ppv);
  static HRESULT CreateMpeg1(IUnknown* outer, REFIID riid, void** ppv);

  // The FourCC table of the installed decoder.
  static const std::vector<VideoCodecEntry>& CodecTable();
  // The entry for a subtype (FourCC compared without case), or null.
  static const VideoCodecEntry* FindCodec(const GUID& subtype);
  // True unless the codec's switch is present and 0.
  static bool CodecSwitchedOn(const wchar_t* switchName);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  HRESULT EndFlush() override;

  // Pictures dropped as damaged since streaming started (for tests).
  LONG DroppedPictures() const { return m_dropped; }
  // IRunReport: why the stream could not be started (the codec refused its
  // set-up data); no note.
  std::string GetRunError() const override { return m_strError; }
  std::string GetRunNote() const override { return {}; }

 private:
  CFfVideoDecoder(LPUNKNOWN outer, REFCLSID clsid, bool mpeg1Only);
  template <bool Mpeg1>
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  AVCodecID CodecFor(const CMediaType* in) const;
  // Codec private data (sequence headers, avcC) from the format block.
  static std::vector<BYTE> ExtraData(const CMediaType& in);
  HRESULT Decode(const AVPacket* packet);
  // Feeds bytes through the elementary-stream parser, decoding every
  // picture it completes; null data flushes the parser.
  HRESULT Parse(const BYTE* data, int length, int64_t pts);
  HRESULT DeliverPicture(const AVFrame* frame);

  bool m_mpeg1Only;
  std::string m_strError;
  AvCodecContextPtr m_ctx;
  AvFramePtr m_frame;
  AvPacketPtr m_packet;
  // MPEG-1/2 video arrives as payload pieces cut anywhere, not as pictures.
  AvParserPtr m_parser;
  CPictureWriter m_writer;
  REFERENCE_TIME m_frameTime = 0;
  REFERENCE_TIME m_nextTime = 0;
  bool m_haveTime = false;
  LONG m_dropped = 0;
};
