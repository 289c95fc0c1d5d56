// The time line of an MPEG stream across jumps of its clock: two streams
// joined byte for byte (program streams or transport streams put one after
// the other, each with its own clock), or a recording whose clock was set
// anew. Where the clock jumps, the times after it are moved so that the
// next part begins where the last stream of the part before ended, its
// streams keeping their places against each other; the first packet of
// each stream after the jump is marked discontinuous, so that a stream that
// ended early is filled up to it (silence, a picture shown longer) rather
// than followed at once.
//
// The packets after a jump are held until every stream has given its first
// time (within a bound), then handed on with their times moved.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "foundation/Packet.h"
#include "platform/dshow/MediaType.h"

class CMpegJoin {
 public:
  // Packets ready to be delivered, in file order.
  using Ready = std::vector<std::unique_ptr<Packet>>;

  // A new run from the file's position: no clock seen, no time moved.
  // `offset` is taken from every time handed on (the file's first time).
  void Reset(REFERENCE_TIME offset);
  // The system clock of a program stream's pack: a step back starts the
  // next part of a join.
  void OnSystemClock(REFERENCE_TIME scr);
  // A packet of a stream whose pin has type `mt`, with its presentation
  // time as the file gives it when `hasPts`; its payload is read.
  void Add(std::unique_ptr<Packet> p, bool hasPts, REFERENCE_TIME pts, const CMediaType& mt, Ready& ready);
  // The end of the data: what is still held.
  void Flush(Ready& ready);

  // A step back of more than this, or ahead of more than kAhead, in one
  // stream's times is a jump of the clock.
  static constexpr REFERENCE_TIME kBack = 10000000;
  static constexpr REFERENCE_TIME kAhead = 50000000;

 private:
  // What is known of one stream's times, on the moved time line.
  struct Clock {
    bool audio = false;
    DWORD bytesPerSecond = 0;       // of the sound, 0 when not known
    REFERENCE_TIME frameTime = 0;   // of the picture, 0 when not known
    GUID subtype = GUID_NULL;
    REFERENCE_TIME last = kNone;    // the last time
    REFERENCE_TIME latest = kNone;  // the latest time (pictures come out of order)
    REFERENCE_TIME step = 0;        // between the last two times
    LONGLONG bytesSince = 0;        // sound bytes from the last timed frame on
    // MPEG pictures, most of which carry no time where several begin in
    // one packet: each picture's place in its group (temporal reference)
    // from the group's start, which the first timed picture of the group
    // gives. The last bytes seen keep a header cut by a packet's end.
    bool readsPictures = false;
    uint32_t tail = 0xFFFFFFFF;
    int headerBytesDue = 0;
    int temporalReference = 0;
    REFERENCE_TIME pendingTime = kNone;  // of the next picture that begins
    REFERENCE_TIME groupStart = kNone;
    REFERENCE_TIME picturesEnd = kNone;
  };
  struct Held {
    std::unique_ptr<Packet> packet;
    bool hasPts;
    REFERENCE_TIME pts;
    size_t frameStart;
  };
  static constexpr REFERENCE_TIME kNone = INT64_MIN;

  Clock& ClockOf(DWORD track, const CMediaType& mt);
  // Reads the picture and group headers of an MPEG video payload.
  static void ReadPictures(Clock& c, const Packet& p);
  // Where a stream ends on the moved time line, or kNone.
  REFERENCE_TIME EndOf(const Clock& c) const;
  // Counts a packet into its stream's clock and stamps it.
  void Pass(Held& h, Ready& ready);
  // Decides the move of the part after the jump and hands on what is held.
  void Resolve(Ready& ready);

  REFERENCE_TIME m_offset = 0;
  REFERENCE_TIME m_shift = 0;
  REFERENCE_TIME m_lastScr = kNone;
  bool m_clockStepped = false;
  std::map<DWORD, Clock> m_clocks;
  // After a jump: the packets held, and the streams' ends before it.
  bool m_holding = false;
  std::deque<Held> m_held;
  size_t m_heldBytes = 0;
  std::map<DWORD, REFERENCE_TIME> m_endsBefore;
  // Streams whose next timed packet starts the part after a jump.
  std::map<DWORD, bool> m_starting;
};
