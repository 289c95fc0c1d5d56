// The one place that decides what a step in a source's times means. Every
// splitter hands its packets through it, in file order and with the times
// the container gives; it hands them on with the times the conversion
// follows:
//
// - a step seen in every stream at once is a jump of the source's clock (a
//   recording whose clock was set anew, files joined byte for byte): the
//   part after it is moved, all streams together, so that it begins where
//   the part before ended, each stream keeping its place against the others;
// - a step in one stream while another goes on over it is a real gap (a
//   picture lost while the sound goes on): the times stay, and the sinks
//   hold the picture or fill silence;
// - a time that belongs to no part of the source (past its stated end, or
//   far from where every other stream is and from its own run) is damaged:
//   a single one takes the stream's own step instead, a stream whose times
//   go on from a wild place is moved back to its own run; either is told
//   once in the damage log.
//
// After a suspect step the packets are held (within bounds) until every
// stream has shown where it goes on, so that the decision rests on what the
// other streams do rather than on one stream's guess. The same is done for
// the first times of a run, so that a stream that starts far from the
// others is known before anything is handed on.
//
// The limits are those of foundation/StreamTime.h. A format that knows more
// of its streams' ends (MPEG sound counted in bytes, pictures timed by their
// place in a group) derives and supplies EndOf and Passed.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Packet.h"
#include "platform/dshow/MediaType.h"

class CDamageLog;

class CStreamTimeline {
 public:
  using Ready = std::vector<std::unique_ptr<Packet>>;

  explicit CStreamTimeline(CDamageLog* log = nullptr) : m_pLog(log) {}
  virtual ~CStreamTimeline() = default;
  CStreamTimeline(const CStreamTimeline&) = delete;
  CStreamTimeline& operator=(const CStreamTimeline&) = delete;

  // A new run from the file's position: nothing seen, nothing moved, no
  // stream declared. `offset` is taken from every time handed on (the
  // container's first time); `length` is the source's stated length from
  // the offset on (0 when it states none).
  void Reset(REFERENCE_TIME offset, REFERENCE_TIME length);
  // A stream of the run. Pictures and sound keep a clock the others are
  // judged against; other kinds (subtitles) follow the moves of the clock
  // but are never judged.
  void AddStream(DWORD track, const CMediaType& mt);
  // The container itself says its clock was set anew before the next timed
  // packet (an MPEG system clock that steps back).
  void ClockStepped() { m_clockStepped = true; }

  // A packet in file order with the container's times (INVALID_TIME where
  // it has none); what may be handed on is appended to `ready`, in order.
  void Add(std::unique_ptr<Packet> p, Ready& ready);
  // The end of the data: what is still held.
  void Flush(Ready& ready);

  // The latest end any stream reached so far, on the times handed on: the
  // length of the source's content when it states none.
  REFERENCE_TIME ContentEnd() const;

 protected:
  static constexpr REFERENCE_TIME kNone = INT64_MIN;

  // What is known of one stream's times, on the times handed on.
  struct Clock {
    DWORD track = 0;
    bool keepsClock = false;  // a picture or sound stream
    bool audio = false;
    CMediaType mt;
    REFERENCE_TIME frameTime = 0;  // of pictures whose type states one
    REFERENCE_TIME shift = 0;     // this stream's own move
    REFERENCE_TIME first = kNone;
    REFERENCE_TIME last = kNone;    // the last time
    REFERENCE_TIME latest = kNone;  // the latest time (pictures come out of order)
    REFERENCE_TIME stop = kNone;    // the latest stop given
    REFERENCE_TIME step = 0;        // between the last two rising times
    // The next timed packet goes on as it comes: its place was decided.
    bool accept = false;
    // The next timed packet is the first after a jump of the clock.
    bool breakPending = false;
  };

  // Where a stream ends on the times handed on, kNone before its first
  // time. By default its latest stop, or its latest time plus its step.
  virtual REFERENCE_TIME EndOf(const Clock& c) const;
  // A packet of a stream has been handed on with its final times (timed:
  // it carries a time).
  virtual void Passed(Clock& /*c*/, const Packet& /*p*/, bool /*timed*/) {}
  // A new run began: what a format keeps of its streams starts anew.
  virtual void Restarted() {}

  const std::map<DWORD, Clock>& Clocks() const { return m_clocks; }

 private:
  struct Held {
    std::unique_ptr<Packet> packet;
    REFERENCE_TIME start;  // the container's, less the offset; kNone when untimed
    REFERENCE_TIME stop;
  };
  enum class Hold { None, Start, Step };

  Clock& ClockOf(DWORD track);
  // A packet through the rules: held, passed or the start of a hold.
  void Take(Held h, Ready& ready);
  // The time a packet gets with the moves in force.
  REFERENCE_TIME Placed(const Clock& c, REFERENCE_TIME t) const;
  // Whether a timed packet of a clock stream starts a suspect step.
  bool Suspect(const Clock& c, REFERENCE_TIME placed) const;
  void BeginHold(Hold why, DWORD trigger);
  bool HoldDecidable() const;
  void Decide();
  void DecideStart();
  void DecideStep();
  // Hands on what is held, through the rules again with the decisions made.
  void Release(Ready& ready);
  void Pass(Held& h, Ready& ready);
  void Note(const std::string& what, const char* units);
  std::string StreamName(const Clock& c) const;

  CDamageLog* m_pLog;
  REFERENCE_TIME m_offset = 0;
  REFERENCE_TIME m_length = 0;
  REFERENCE_TIME m_shift = 0;  // every stream's move
  bool m_clockStepped = false;
  // The hold began where the container said its clock was set anew.
  bool m_hinted = false;
  std::map<DWORD, Clock> m_clocks;
  bool m_started = false;  // the run's first times are decided

  Hold m_hold = Hold::None;
  DWORD m_trigger = 0;
  std::deque<Held> m_held;
  size_t m_heldBytes = 0;
  // At a step: where each clock stream stood before it.
  struct Before {
    REFERENCE_TIME end;
    REFERENCE_TIME latest;
  };
  std::map<DWORD, Before> m_before;
};
