// The installed audio decoder over libavcodec (our own class id
// {5B8E1F3A-2C74-4D19-A6E0-93D1C7F4B208}): the audio the system does not
// decode itself - WMA 1/2/Pro/Lossless, MS and IMA ADPCM, GSM 6.10,
// A-law and mu-law, AMR-NB/WB, big-endian and swapped PCM - to 16-bit PCM
// at the rate and channel count of the input type. A packet the decoder
// rejects is dropped and decoding goes on with the next one.
#pragma once

#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/SoundClock.h"
#include "platform/dshow/Transform.h"

PELLOMAR_DEFINE_GUID(CLSID_FfAudioDecoder, "5B8E1F3A-2C74-4D19-A6E0-93D1C7F4B208");

class CFfAudioDecoder final : public CTransformFilter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  // Every input subtype accepted (wave format tags and FourCCs).
  static std::vector<GUID> Subtypes();
  static AVCodecID CodecFor(const GUID& subtype);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  HRESULT EndFlush() override;

  LONG DroppedPackets() const { return m_dropped; }

 private:
  explicit CFfAudioDecoder(LPUNKNOWN outer);
  HRESULT Decode(const AVPacket* packet);
  HRESULT DeliverFrame(const AVFrame* frame);
  HRESULT DeliverBytes(const BYTE* data, size_t bytes);

  AvCodecContextPtr m_ctx;
  AvFramePtr m_frame;
  AvPacketPtr m_packet;
  SwrPtr m_swr;
  int m_swrRate = 0, m_swrChannels = 0, m_swrFormat = -1;
  int m_rate = 0, m_channels = 0;  // of the output
  std::vector<BYTE> m_pcm;
  REFERENCE_TIME m_nextTime = 0;
  bool m_haveTime = false;
  // The next frame decoded sets m_nextTime: to its own time, or to the
  // packet's that asked for it.
  bool m_syncPending = false;
  REFERENCE_TIME m_syncTime = 0;
  // The next sample delivered does not follow the one before (the sound
  // was moved to its own time): it says so, for the sink to fill or cut.
  bool m_discontinuity = false;
  CSoundTimeFollower m_follower;
  // The time of the last frame that had one.
  int64_t m_lastFrameTime = INT64_MIN;
  LONG m_dropped = 0;
};
