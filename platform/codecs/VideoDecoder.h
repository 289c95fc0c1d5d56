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
// for even sizes) at the picture size and shape of the stream: the input
// type's, unless the stream's own set-up data or pictures state another
// size or pixel shape, which then wins (the output type changes with the
// picture that shows it). Pixels that are not square make VideoInfo2 types
// with their picture aspect, offered before the same as VideoInfo types.
// A packet the decoder rejects is dropped and decoding goes on with the
// next packet. A picture
// with damaged areas is kept as the decoder conceals it, as a player shows
// it; only a picture that shows nothing usable (no reference picture
// decoded yet, or next to nothing of it decoded) is left out.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
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

  HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) override;
  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  HRESULT EndFlush() override;

  ~CFfVideoDecoder() override;
  // Called from the codec (through the library's log) when it meets
  // damage, with the blocks of the picture it filled in where it says.
  void DamageMet(int concealedBlocks);

  // Packets and pictures left out since streaming started (for tests).
  LONG DroppedPictures() const { return m_dropped; }
  // Pictures kept with concealed damage since streaming started.
  LONG DamagedPictures() const { return m_damaged; }
  // The size of the pictures delivered (the stream's own where known).
  void GetPictureSize(LONG* width, LONG* height) const;
  // IRunReport: why the stream could not be started (the codec refused its
  // set-up data); as a note, a size or pixel shape of the stream's own that
  // differs from its header's, pictures kept with concealed damage and
  // pictures left out, once for the run.
  std::string GetRunError() const override { return m_strError; }
  std::string GetRunNote() const override;

 private:
  CFfVideoDecoder(LPUNKNOWN outer, REFCLSID clsid, bool mpeg1Only);
  template <bool Mpeg1>
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  // A picture size and its display aspect (reduced).
  struct Shape {
    LONG width = 0, height = 0;
    LONG aspectX = 0, aspectY = 0;
    bool Square() const { return int64_t{aspectX} * height == int64_t{aspectY} * width; }
  };
  // Whether the library's log is watched for this decoder's codec.
  static void WatchDamage(const CFfVideoDecoder* decoder, bool watch);
  AVCodecID CodecFor(const CMediaType* in) const;
  // The shape of the input type, and the stream's own where its set-up
  // data states it.
  void FindStreamShape(const CMediaType& in);
  // Takes a size and pixel aspect (0/0: not stated) the stream itself
  // gives where they differ from the shape in force, noting it once; false
  // when nothing changed.
  bool AdoptStreamShape(int width, int height, AVRational pixel);
  // The output type of a picture whose shape changed while streaming.
  HRESULT ChangeOutputShape();
  // Codec private data (sequence headers, avcC) from the format block.
  static std::vector<BYTE> ExtraData(const CMediaType& in);
  // Opens the codec of the input type, on the library's frame threads when
  // `threaded` and the codec has them, else on one thread.
  HRESULT OpenCodec(bool threaded);
  // Sends one packet (null: the end) and takes every picture it gives.
  HRESULT Decode(AVPacket* packet);
  // Feeds bytes through the elementary-stream parser, decoding every
  // picture it completes; null data flushes the parser.
  HRESULT Parse(const BYTE* data, int length, int64_t pts, int64_t dts);
  // A picture the codec returned; on frame threads, damage met sets
  // `replay` instead.
  HRESULT TakePicture(const AVFrame* frame, bool* replay);
  // Delivers a picture, counted as damaged, or leaves it out when it shows
  // nothing usable.
  HRESULT ReleasePicture(const AVFrame* frame);
  // False for a picture that shows nothing usable.
  bool Usable(const AVFrame* frame);
  // Where the codec takes its size from the container and its first key
  // picture is damaged at that size: that picture and the next ones tell
  // the stream's own size (PacketsPictureSize); decoding starts again with
  // them at that size.
  HRESULT FinishSizeProbe();
  HRESULT DeliverPicture(const AVFrame* frame);
  // A picture's own time, or one its decoding says; AV_NOPTS_VALUE: none.
  REFERENCE_TIME ShownAt(const AVFrame* frame) const;
  // Frame threads read the rows of a picture while its damage is still
  // being concealed, so what follows damage differs from run to run; and
  // a picture's damage flag is copied out before it is set. While decoding
  // on frame threads the packets since a key packet are kept, and the
  // codec's threads report any damage they meet through the library's log
  // (m_damageSeen). Then decoding goes on with one thread from that key
  // packet, and delivery resumes after the last picture delivered.
  void KeepForReplay(const AVPacket* packet);
  HRESULT ReplayOnOneThread();

  bool m_mpeg1Only;
  std::string m_strError;
  Shape m_header;  // as the input type states it
  Shape m_shape;   // of the pictures delivered
  mutable std::mutex m_noteLock;
  std::string m_strShapeNote;
  bool m_sizeNoted = false, m_aspectNoted = false;
  AvCodecContextPtr m_ctx;
  AvFramePtr m_frame;
  AvPacketPtr m_packet;
  // MPEG-1/2 video arrives as payload pieces cut anywhere, not as pictures.
  AvParserPtr m_parser;
  CPictureWriter m_writer;
  CMediaType m_outType;  // of the pictures delivered
  REFERENCE_TIME m_frameTime = 0;
  REFERENCE_TIME m_nextTime = 0;
  bool m_haveTime = false;
  // The last picture's own time, for the spacing of the stream's times.
  REFERENCE_TIME m_lastOwnTime = INT64_MIN;
  // The first time after a break in the input (a skip over damage, a jump
  // of the clock), AV_NOPTS_VALUE before one; whether a picture of that
  // time or later went out since. A picture of before the break that the
  // decoder still gives out after those is late: it is left out rather
  // than moving every picture after it on by a frame.
  REFERENCE_TIME m_breakAt = AV_NOPTS_VALUE;
  bool m_breakPending = false;
  bool m_shownPastBreak = false;
  // Numbers the packets, so a picture names the packet it came from.
  int64_t m_packetNumber = 0;
  int64_t m_firstPacket = 0;  // since streaming started or the last flush
  int64_t m_lastDelivered = -1;  // the packet of the last picture delivered
  // On frame threads: the kept packets and what they hold, and the
  // pictures waiting.
  std::deque<AvPacketPtr> m_keptPackets;
  size_t m_keptBytes = 0;
  // Set by the codec's threads when they meet damage.
  std::atomic<bool> m_damageSeen{false};
  // While replaying: pictures up to this packet's were delivered already.
  int64_t m_skipTo = -1;
  bool m_replaying = false;
  std::atomic<bool> m_threaded{false};
  bool m_haveReference = false;
  // On one thread: the packet being decoded, and the blocks the codec
  // filled in of the pictures of packets not given out yet.
  int64_t m_sending = -1;
  std::map<int64_t, int> m_concealed;
  // The size the codec decodes at where the container's is not the
  // stream's; 0 for the input type's.
  int m_codedWidth = 0, m_codedHeight = 0;
  bool m_sizeChecked = false;
  std::vector<AvPacketPtr> m_sizeProbe;
  std::atomic<LONG> m_dropped{0};
  std::atomic<LONG> m_damaged{0};
  std::atomic<LONG> m_late{0};
};
