// Demultiplexed packets and the queue between a splitter's demux thread and
// one output pin's delivery thread.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dshow/DShow.h"

// The unset time of packets and splitter positions. 0 and negative values
// are ordinary times.
inline constexpr REFERENCE_TIME INVALID_TIME = std::numeric_limits<REFERENCE_TIME>::min();

// Frees a media type made with CreateMediaType (format block and record).
struct MediaTypeDeleter {
  void operator()(AM_MEDIA_TYPE* pmt) const;
};
using MediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;

// One demuxed unit of compressed data. The payload is the byte array
// itself; splitters derive their own packet kinds from it.
class Packet : public std::vector<BYTE> {
 public:
  Packet() = default;
  virtual ~Packet() = default;
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

  virtual size_t GetDataSize() const { return size(); }

  // Replaces the owned media type with a copy of `mt`; false when out of
  // memory (the packet then carries no type).
  bool SetMediaType(const AM_MEDIA_TYPE& mt);

  DWORD TrackNumber = 0;
  BOOL bDiscontinuity = FALSE;
  BOOL bSyncPoint = FALSE;
  // Continues the packet before it and may be joined to it in the queue.
  BOOL bAppendable = FALSE;
  REFERENCE_TIME rtStart = INVALID_TIME;
  REFERENCE_TIME rtStop = INVALID_TIME;
  // How long before rtStart the first picture begun in the packet is
  // decoded, where the container says (an MPEG decoding time stamp);
  // INVALID_TIME where it does not. Given on as the sample's media time.
  REFERENCE_TIME rtDecodeLead = INVALID_TIME;
  // When set, the stream changes to this type at this packet.
  MediaTypePtr pmt;
};

// First-in-first-out queue of owned packets; a null entry marks the end of
// the stream. One producer and one consumer; every operation holds the
// queue's own lock for its whole duration and takes no other lock.
class CPacketQueue {
 public:
  // Takes ownership of a packet or of a null end-of-stream marker. An
  // untimed appendable packet is joined to a timed tail packet.
  void Add(std::unique_ptr<Packet> p);
  // The head entry; null for an end-of-stream marker or an empty queue.
  std::unique_ptr<Packet> Remove();
  void RemoveAll();

  size_t GetCount() const;
  // Payload bytes of the queued packets. 64 bits: a queue may pass the
  // splitter's half-gigabyte limit by one packet.
  int64_t GetSize() const;

 private:
  mutable std::mutex m_lock;
  std::deque<std::unique_ptr<Packet>> m_entries;
  int64_t m_size = 0;
};
