// The time stamps of an MPEG program stream, put where its readers take
// them. The program stream muxer stamps each packet of a stream with the
// time of the first unit (picture or sound frame) whose data starts in it;
// readers give a packet's time to the first unit they find in it. The two
// differ in two places, and a reader then gives one unit the time of the
// next (two at one time and a hole, or a sound time twice):
// - a picture is found by its picture start code, which follows the
//   sequence and group headers that start its data; where a packet ends
//   between the two, the time belongs to the next packet;
// - a unit whose first bytes end a packet, too few for a reader to know it
//   there, is found in the next packet, whose time is another unit's.
// This filter sits between the muxer and the file: it reads the packs as
// they are written and sets each packet's time to that of the first unit a
// reader finds in it, or takes the time out where that cannot be said
// (the reader then counts the time on from the unit before, as it does
// for every packet without one). Lengths never change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

class CPesTimeStamps {
 public:
  using Sink = std::function<void(const uint8_t* data, size_t size)>;
  enum class Kind { Video, MpegAudio, Ac3 };

  explicit CPesTimeStamps(Sink sink) : m_sink(std::move(sink)) {}

  // A stream of the output: the muxer's stream number, what it carries and
  // the packet id the muxer gives it (the sub id within private stream 1
  // for AC-3).
  void AddStream(int index, Kind kind, uint8_t id, uint8_t subId = 0);
  // The DVD-Video form: a sound packet whose first unit began in the packet
  // before keeps the time of the first unit that starts in it, the time a
  // DVD player and an authoring tool read there (they count the units that
  // start in each packet), rather than none.
  void KeepSoundStartTimes() { m_bSoundStartTimes = true; }
  // A unit as handed to the muxer, in order, with its times in 90 kHz
  // (INT64_MIN: none).
  void AddUnit(int index, const uint8_t* data, size_t size, int64_t pts, int64_t dts);
  // The muxer's output, in order; what is ready goes on to the sink.
  void Write(const uint8_t* data, size_t size);
  // The end of the output: whatever is held goes on as it is.
  void Flush();

  // Packets whose time was set to another unit's, or taken out.
  int64_t Retimed() const { return m_nRetimed; }
  int64_t Untimed() const { return m_nUntimed; }

 private:
  struct Unit {
    int64_t start;  // the unit's first byte in its stream
    int64_t found;  // the byte where a reader finds it
    int64_t pts, dts;
  };
  struct Stream {
    int index;
    Kind kind;
    uint8_t id, subId;
    int64_t queued = 0;   // bytes of units handed to the muxer
    int64_t written = 0;  // bytes of the stream in packets passed on
    // The muxer's times less the units' (its start delay), once seen.
    int64_t shift = 0;
    bool hasShift = false;
    std::deque<Unit> units;
  };
  enum class State { Scan, Header, Body };

  Stream* StreamOf(uint8_t id);
  // Bytes of the held packet header still needed; 0 once it is whole, or
  // once it is found not to be a header this filter reads (`readable`
  // false: it passes on as it is).
  size_t HeaderNeed(bool* readable = nullptr) const;
  void EndHeader();
  void Retime(Stream& s, size_t headerEnd, int64_t payload);
  bool RemoveTimes(size_t at, int fieldBytes);

  Sink m_sink;
  std::vector<Stream> m_streams;
  State m_state = State::Scan;
  uint32_t m_code = 0xffffffff;
  uint8_t m_id = 0;
  std::vector<uint8_t> m_head;  // the packet held: its bytes after the id
  int64_t m_left = 0;           // bytes of the current packet to pass on
  Stream* m_pBody = nullptr;    // the stream the passing bytes belong to
  int64_t m_nRetimed = 0;
  int64_t m_nUntimed = 0;
  bool m_bSoundStartTimes = false;
};
