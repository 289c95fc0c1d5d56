// Output pins of the Ogg splitter. The base pin turns the pages of one
// logical stream into packets: it checks page sequence numbers, joins
// packets that run across pages by their lacing values and queues them for
// the demux loop; each pin kind times and strips its packets.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "splitters/ogg/OggFile.h"

class OggPacket : public Packet {
 public:
  // Unpacked while the stream still waited for its first page with a
  // granule position after a reset: not delivered.
  BYTE fSkip = 0;
};

class COggSplitterOutputPin : public CBaseSplitterOutputPin {
 public:
  COggSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter, CCritSec* lock,
                        HRESULT* phr);

  // Empties the queue and the packet pending across pages; the next page
  // accepted is the one after `seqnum`.
  void ResetState(DWORD seqnum = 0xFFFFFFFF);
  // S_FALSE when the page does not continue the sequence (it is dropped).
  HRESULT UnpackPage(const OggPage& page);
  std::unique_ptr<OggPacket> GetPacket();

  // Times, sync point and payload of a packet that starts on a page; its
  // start is the stream's running time. S_OK keeps the packet.
  virtual HRESULT UnpackPacket(OggPacket& p, const BYTE* data, size_t len) = 0;
  // A granule value of this stream in 100 ns units.
  virtual REFERENCE_TIME GetRefTime(INT64 granule) = 0;
  // The next link of a chained file begins with this page (its first):
  // false when the link's stream is of another format than the one the
  // pin carries, whose packets are then left out.
  virtual bool BeginLink(const OggPage& /*page*/) { return true; }

  HRESULT DeliverEndFlush() override;
  HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // Vorbis comments: a LANGUAGE comment also names the pin.
  void ParseVorbisComment(const BYTE* data, size_t len);
  // Every value of the key (upper case), joined with ";".
  std::wstring GetComment(const std::wstring& key) const;
  bool HasComments() const { return !m_comments.empty(); }

  DWORD Serial() const { return m_serial; }
  void SetSerial(DWORD serial) { m_serial = serial; }
  // The stream's identification header (the first packet of its first
  // page): a later link of a chained file with another serial number goes
  // on in this pin when it begins with the same one.
  const std::vector<BYTE>& IdHeader() const { return m_idHeader; }
  void SetIdHeader(const BYTE* data, size_t len) { m_idHeader.assign(data, data + len); }

 protected:
  // The running time of the stream; guarded by m_csPackets.
  REFERENCE_TIME m_rtLast = 0;
  // Set while the packet being unpacked had its time taken from the page's
  // granule position.
  bool m_fGranuleTime = false;
  CCritSec m_csPackets;

 private:
  std::deque<std::unique_ptr<OggPacket>> m_packets;
  std::unique_ptr<OggPacket> m_lastpacket;
  DWORD m_lastseqnum = 0xFFFFFFFF;
  bool m_fSkip = true;
  std::vector<std::pair<std::wstring, std::wstring>> m_comments;
  DWORD m_serial = 0;
  std::vector<BYTE> m_idHeader;
};

class COggVorbisOutputPin : public COggSplitterOutputPin {
 public:
  // From the identification header; null when it is malformed (no
  // channels, no sample rate).
  static std::unique_ptr<COggVorbisOutputPin> Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                     CBaseSplitterFilter* filter, CCritSec* lock);

  // Header collection while the file is opened: the page is unpacked and
  // its packets kept; the first three (the headers) go into the first
  // media type's format block, the setup header gives the modes.
  HRESULT UnpackInitPage(const OggPage& page);
  size_t InitialPacketCount() const { return m_initpackets.size(); }
  size_t ModeCount() const { return m_blockflags.size(); }

  HRESULT UnpackPacket(OggPacket& p, const BYTE* data, size_t len) override;
  REFERENCE_TIME GetRefTime(INT64 granule) override;
  HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // Pins are made by Create.
  COggVorbisOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter, CCritSec* lock,
                      HRESULT* phr);

   bool BeginLink(const OggPage& page) override;

 private:
  void ParseModes(const BYTE* data, size_t len);

  DWORD m_audio_sample_rate = 0;
  DWORD m_blocksize[2] = {0, 0};
  DWORD m_lastblocksize = 0;
  std::vector<bool> m_blockflags;
  std::vector<std::unique_ptr<OggPacket>> m_initpackets;
  // A link of a chained file whose headers differ from the first link's.
  bool m_otherFormat = false;
  // Between a later link's first page and its first sound packet.
  bool m_inLink = false;
  std::vector<CMediaType> m_types;
};

// Theora video: the identification, comment and setup headers go into the
// format block behind the picture header, each led by its 16-bit
// big-endian size (the form FFmpeg's decoder reads).
class COggTheoraOutputPin : public COggSplitterOutputPin {
 public:
  // From the identification header; null when it is malformed.
  static std::unique_ptr<COggTheoraOutputPin> Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                     CBaseSplitterFilter* filter, CCritSec* lock);

  // Header collection while the file is opened, as for Vorbis.
  HRESULT UnpackInitPage(const OggPage& page);
  size_t InitialPacketCount() const { return m_headers; }

  HRESULT UnpackPacket(OggPacket& p, const BYTE* data, size_t len) override;
  REFERENCE_TIME GetRefTime(INT64 granule) override;

  COggTheoraOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter, CCritSec* lock,
                      HRESULT* phr);

 private:
  CMediaType m_type;
  size_t m_headers = 0;
  int m_shift = 0;           // bits of the granule's frame offset
  bool m_countsFromOne = true;  // granules of version 3.2.1 on
  INT64 m_rateNum = 25, m_rateDen = 1;
};

// The OGM stream kinds: a 56-byte stream header, packets led by a flag
// byte and an optional duration.
class COggStreamOutputPin : public COggSplitterOutputPin {
 public:
  struct StreamHeader {
    char streamtype[8];
    char subtype[4];
    INT32 size;
    INT64 time_unit;
    INT64 samples_per_unit;
    INT32 default_len;
    INT32 buffersize;
    int16_t bits_per_sample;
    INT32 width, height;                // video
    int16_t channels, blockalign;         // audio
    INT32 avgbytespersec;               // audio
    std::vector<BYTE> extra;
  };
  // The record of a stream header packet (type byte first); false when the
  // packet is too short, its extra bytes run past it, or a time divisor is
  // 0.
  static bool ParseHeader(const BYTE* packet, size_t len, StreamHeader& h);

  HRESULT UnpackPacket(OggPacket& p, const BYTE* data, size_t len) override;
  REFERENCE_TIME GetRefTime(INT64 granule) override;

  // Pins are made by the kinds' Create.
  COggStreamOutputPin(const std::vector<CMediaType>& mts, const StreamHeader& h, LPCWSTR name,
                      CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr);

 private:
  INT64 m_time_unit;
  INT64 m_samples_per_unit;
  DWORD m_default_len;
};

class COggVideoOutputPin : public COggStreamOutputPin {
 public:
  static std::unique_ptr<COggVideoOutputPin> Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                    CBaseSplitterFilter* filter, CCritSec* lock);
  using COggStreamOutputPin::COggStreamOutputPin;
};

class COggAudioOutputPin : public COggStreamOutputPin {
 public:
  static std::unique_ptr<COggAudioOutputPin> Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                    CBaseSplitterFilter* filter, CCritSec* lock);
  using COggStreamOutputPin::COggStreamOutputPin;
};

class COggTextOutputPin : public COggStreamOutputPin {
 public:
  static std::unique_ptr<COggTextOutputPin> Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                   CBaseSplitterFilter* filter, CCritSec* lock);
  using COggStreamOutputPin::COggStreamOutputPin;
};

// Media samples with a media type of their own, embedded in Ogg.
class COggDirectShowOutputPin : public COggSplitterOutputPin {
 public:
  static std::unique_ptr<COggDirectShowOutputPin> Create(const BYTE* packet, size_t len, LPCWSTR name,
                                                         CBaseSplitterFilter* filter, CCritSec* lock);

  HRESULT UnpackPacket(OggPacket& p, const BYTE* data, size_t len) override;
  REFERENCE_TIME GetRefTime(INT64 granule) override;
  using COggSplitterOutputPin::COggSplitterOutputPin;
};
