// The one place that decides what a step in a source's times means. Every
// source of packets (the system's splitters, the platform's demuxing
// sources) hands its packets through it, in file order and with the times
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
// - a time that belongs to no part of the source (past its stated end, past
//   where every other stream ends, or far from where every other stream is
//   and from its own run) is damaged: a single one takes the stream's own
//   step instead, a stream whose times go on from a wild place is moved back
//   to its own run; either is told once;
// - sound that steps back into its own run while the others go on (blocks
//   out of order) keeps its own times: the sink drops what overlaps sound
//   already written, so nothing of it is appended after.
//
// After a suspect step the packets are held (within bounds) until every
// stream has shown where it goes on, so that the decision rests on what the
// other streams do rather than on one stream's guess. The same is done for
// the first times of a run, so that a stream that starts far from the
// others is known before anything is handed on.
//
// The limits are those of platform/dshow/StreamTime.h. The packet type P
// has a TrackNumber, bDiscontinuity, rtStart, rtStop (INT64_MIN unset) and
// size(). A format that knows more of its streams' ends (MPEG sound counted
// in bytes, pictures timed by their place in a group) derives and supplies
// EndOf and Passed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/RefTime.h"
#include "platform/dshow/StreamTime.h"

template <class P>
class CStreamTimelineOf {
 public:
  using Ready = std::vector<std::unique_ptr<P>>;

  CStreamTimelineOf() = default;
  virtual ~CStreamTimelineOf() = default;
  CStreamTimelineOf(const CStreamTimelineOf&) = delete;
  CStreamTimelineOf& operator=(const CStreamTimelineOf&) = delete;

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

  // A packet in file order with the container's times (unset where it has
  // none); what may be handed on is appended to `ready`, in order.
  void Add(std::unique_ptr<P> p, Ready& ready);
  // The end of the data: what is still held.
  void Flush(Ready& ready);

 protected:
  static constexpr REFERENCE_TIME kNone = INT64_MIN;

  // What is known of one stream's times, on the times handed on.
  struct Clock {
    DWORD track = 0;
    bool keepsClock = false;  // a picture or sound stream
    bool audio = false;
    CMediaType mt;
    REFERENCE_TIME frameTime = 0;  // of pictures whose type states one
    REFERENCE_TIME shift = 0;      // this stream's own move
    REFERENCE_TIME first = kNone;
    REFERENCE_TIME last = kNone;    // the last time
    REFERENCE_TIME latest = kNone;  // the latest time (pictures come out of order)
    REFERENCE_TIME stop = kNone;    // the latest stop given
    REFERENCE_TIME step = 0;        // between the last two rising times
    // The next timed packet goes on as it comes: its place was decided.
    bool accept = false;
    // The next timed packet is the first after a jump of the clock.
    bool breakPending = false;
    // After a picture gap: how many more pictures of the run before it may
    // still come (in decoding order), near `beforeGap`.
    int reorderLeft = 0;
    REFERENCE_TIME beforeGap = kNone;
  };

  // Where a stream ends on the times handed on, kNone before its first
  // time. By default its latest stop, or its latest time plus its step.
  virtual REFERENCE_TIME EndOf(const Clock& c) const;
  // A packet of a stream has been handed on with its final times (timed:
  // it carries a time).
  virtual void Passed(Clock& /*c*/, const P& /*p*/, bool /*timed*/) {}
  // A new run began: what a format keeps of its streams starts anew.
  virtual void Restarted() {}
  // A time the line mended, a sentence without its count; told once with
  // its count in `units` by the owner's log.
  virtual void Note(const std::string& /*what*/, const char* /*units*/) {}

  const std::map<DWORD, Clock>& Clocks() const { return m_clocks; }

 private:
  struct Held {
    std::unique_ptr<P> packet;
    REFERENCE_TIME start;  // the container's, less the offset; kNone when untimed
    REFERENCE_TIME stop;
  };
  // Why packets are held: the run's first times, a step of one stream, or
  // a step of one stream ahead of where every other stream ends (decided
  // once another stream reaches it or the data ends).
  enum class Hold { None, Start, Step };

  // What is held after a suspect step before it is decided without the
  // streams that have not shown a time yet.
  static constexpr size_t kMaxHeldPackets = 4096;
  static constexpr size_t kMaxHeldBytes = 8 << 20;

  // a - b, held at the ends of the range; kNone as b is the lowest time.
  static REFERENCE_TIME Minus(REFERENCE_TIME a, REFERENCE_TIME b) {
    if (b == INT64_MIN) return AddRefTimes(AddRefTimes(a, INT64_MAX), 1);
    return AddRefTimes(a, -b);
  }

  Clock& ClockOf(DWORD track);
  // A packet through the rules: held, passed or the start of a hold.
  void Take(Held h, Ready& ready);
  // The time a packet gets with the moves in force.
  REFERENCE_TIME Placed(const Clock& c, REFERENCE_TIME t) const;
  // Where the clock streams other than `c` end, kNone when none has a time.
  REFERENCE_TIME OthersEnd(const Clock& c) const;
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
  std::string StreamName(const Clock& c) const;
  // Of the times a stream shows after a step from `before` (its latest
  // time then) that landed at `landed`: how many go on in the run before,
  // and whether one goes on where the step landed. The first is the step's.
  struct AfterStep {
    int oldRun = 0;
    bool there = false;
  };
  AfterStep TimesAfterStep(DWORD track, REFERENCE_TIME before, REFERENCE_TIME landed) const;

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
  // The stream that began the hold stepped ahead of where every other
  // stream ends: a gap only if another stream goes on through it.
  bool m_aheadOfOthers = false;
  // The hold is decided at the end of the data: no stream goes on.
  bool m_ending = false;
  std::deque<Held> m_held;
  size_t m_heldBytes = 0;
  // Held packets on their way through the rules again after a decision.
  std::deque<Held> m_replay;
  bool m_releasing = false;
  // At a step: where each clock stream stood before it.
  struct Before {
    REFERENCE_TIME end;
    REFERENCE_TIME latest;
  };
  std::map<DWORD, Before> m_before;
};

// ---------------------------------------------------------------------------
// The rules

template <class P>
std::string CStreamTimelineOf<P>::StreamName(const Clock& c) const {
  // By its kind, as the user knows the streams; the track tells apart
  // several of one kind.
  int ofKind = 0;
  for (const auto& [track, o] : m_clocks) ofKind += o.keepsClock && o.audio == c.audio && o.first != kNone;
  const std::string kind = c.audio ? "The sound" : "The picture";
  return ofKind > 1 ? kind + " of track " + std::to_string(c.track) : kind;
}

template <class P>
void CStreamTimelineOf<P>::Reset(REFERENCE_TIME offset, REFERENCE_TIME length) {
  m_offset = offset;
  m_length = std::max<REFERENCE_TIME>(length, 0);
  m_shift = 0;
  m_clockStepped = false;
  m_hinted = false;
  m_clocks.clear();
  m_started = false;
  m_hold = Hold::None;
  m_aheadOfOthers = m_ending = false;
  m_held.clear();
  m_heldBytes = 0;
  m_replay.clear();
  m_releasing = false;
  m_before.clear();
  Restarted();
}

template <class P>
void CStreamTimelineOf<P>::AddStream(DWORD track, const CMediaType& mt) {
  Clock& c = ClockOf(track);
  c.mt = mt;
  c.audio = mt.majortype == MEDIATYPE_Audio;
  c.keepsClock = c.audio || mt.majortype == MEDIATYPE_Video;
  // Every picture format block keeps the frame time at the same place.
  const bool picture = mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2 ||
                       mt.formattype == FORMAT_MPEGVideo || mt.formattype == FORMAT_MPEG2Video;
  if (mt.majortype == MEDIATYPE_Video && picture && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const REFERENCE_TIME typed = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame;
    // A header's frame time longer than a step is no frame a stream plays.
    c.frameTime = typed > 0 && typed <= StreamTime::kStepAhead ? typed : 0;
  }
}

template <class P>
typename CStreamTimelineOf<P>::Clock& CStreamTimelineOf<P>::ClockOf(DWORD track) {
  Clock& c = m_clocks[track];
  c.track = track;
  return c;
}

template <class P>
REFERENCE_TIME CStreamTimelineOf<P>::Placed(const Clock& c, REFERENCE_TIME t) const {
  return AddRefTimes(AddRefTimes(t, m_shift), c.shift);
}

template <class P>
REFERENCE_TIME CStreamTimelineOf<P>::EndOf(const Clock& c) const {
  if (c.latest == kNone) return kNone;
  // The spacing of the stream's own times wins over a header's frame time
  // that is longer than it.
  REFERENCE_TIME frame = c.frameTime;
  if (c.step > 0 && (frame <= 0 || frame > 2 * c.step)) frame = c.step;
  if (frame <= 0) frame = c.audio ? 0 : StreamTime::kDefaultFrameTime;
  REFERENCE_TIME end = AddRefTimes(c.latest, frame);
  // A stop far past the stream's own step is no length the stream plays.
  if (c.stop != kNone && c.stop > end && c.stop <= AddRefTimes(c.latest, StreamTime::kStepAhead)) end = c.stop;
  return end;
}

template <class P>
REFERENCE_TIME CStreamTimelineOf<P>::OthersEnd(const Clock& c) const {
  REFERENCE_TIME end = kNone;
  for (const auto& [track, o] : m_clocks)
    if (o.keepsClock && &o != &c) end = std::max(end, EndOf(o));
  return end;
}

template <class P>
bool CStreamTimelineOf<P>::Suspect(const Clock& c, REFERENCE_TIME placed) const {
  using namespace StreamTime;
  if (c.latest == kNone) {
    // A stream that shows up late is judged against where the others are.
    REFERENCE_TIME others = kNone;
    for (const auto& [track, o] : m_clocks)
      if (o.keepsClock && &o != &c) others = std::max(others, o.latest);
    return others != kNone && (placed > AddRefTimes(others, kFarFromOthers) || placed < Minus(others, kFarFromOthers));
  }
  if (m_clockStepped) return true;
  // A picture of the run before a gap, coming after the picture past it
  // that it refers to.
  if (c.reorderLeft > 0 && placed >= Minus(c.beforeGap, kStepBack) && placed <= AddRefTimes(c.beforeGap, kStepAhead))
    return false;
  if (placed > AddRefTimes(c.latest, kStepAhead) || placed < Minus(c.latest, kStepBack)) return true;
  // A step of more than a frame or two that lands past where every other
  // stream ends: a gap only if another stream goes on through it.
  if (placed <= AddRefTimes(c.latest, kPastEnd)) return false;
  const REFERENCE_TIME others = OthersEnd(c);
  return others != kNone && placed > AddRefTimes(others, kPastEnd);
}

template <class P>
void CStreamTimelineOf<P>::Add(std::unique_ptr<P> p, Ready& ready) {
  if (!p) return;
  Held h{std::move(p), kNone, kNone};
  if (h.packet->rtStart != kNone) h.start = Minus(h.packet->rtStart, m_offset);
  if (h.packet->rtStart != kNone && h.packet->rtStop != kNone) h.stop = Minus(h.packet->rtStop, m_offset);
  Take(std::move(h), ready);
}

template <class P>
void CStreamTimelineOf<P>::Take(Held h, Ready& ready) {
  if (m_hold != Hold::None) {
    m_heldBytes += h.packet->size();
    m_held.push_back(std::move(h));
    if (HoldDecidable()) {
      Decide();
      Release(ready);
    }
    return;
  }
  const DWORD track = h.packet->TrackNumber;
  Clock& c = ClockOf(track);
  if (!c.keepsClock || h.start == kNone) return Pass(h, ready);
  if (!m_started) {
    BeginHold(Hold::Start, track);
    return Take(std::move(h), ready);
  }
  const REFERENCE_TIME placed = Placed(c, h.start);
  if (c.accept) {
    c.accept = false;
    return Pass(h, ready);
  }
  if (Suspect(c, placed)) {
    m_hinted = m_clockStepped;
    m_clockStepped = false;
    BeginHold(Hold::Step, track);
    const REFERENCE_TIME others = OthersEnd(c);
    m_aheadOfOthers = !m_hinted && others != kNone && placed > AddRefTimes(others, StreamTime::kPastEnd);
    return Take(std::move(h), ready);
  }
  Pass(h, ready);
}

template <class P>
void CStreamTimelineOf<P>::BeginHold(Hold why, DWORD trigger) {
  m_hold = why;
  m_trigger = trigger;
  m_aheadOfOthers = false;
  m_before.clear();
  for (const auto& [track, c] : m_clocks)
    if (c.keepsClock && c.latest != kNone) m_before[track] = {EndOf(c), c.latest};
}

template <class P>
bool CStreamTimelineOf<P>::HoldDecidable() const {
  using namespace StreamTime;
  if (m_held.size() > kMaxHeldPackets || m_heldBytes > kMaxHeldBytes) return true;
  // What each clock stream has shown since the hold began: its first two
  // times and the span of its times.
  struct Seen {
    int count = 0;
    REFERENCE_TIME first = kNone, low = kNone, high = kNone;
    // The span without pictures of the stepping stream's run before that
    // come, in decoding order, after the step.
    REFERENCE_TIME spanLow = kNone, spanHigh = kNone;
  };
  std::map<DWORD, Seen> seen;
  auto before = m_hold == Hold::Step ? m_before.find(m_trigger) : m_before.end();
  for (const Held& h : m_held) {
    if (h.start == kNone) continue;
    auto it = m_clocks.find(h.packet->TrackNumber);
    if (it == m_clocks.end() || !it->second.keepsClock) continue;
    Seen& s = seen[h.packet->TrackNumber];
    // (Its first time is left out of its span: it may be the damaged one.)
    if (s.count++ == 0) {
      s.first = h.start;
      continue;
    }
    s.low = s.low == kNone ? h.start : std::min(s.low, h.start);
    s.high = s.high == kNone ? h.start : std::max(s.high, h.start);
    if (before != m_before.end() && h.packet->TrackNumber == m_trigger && !it->second.audio &&
        std::abs(Minus(Placed(it->second, h.start), before->second.latest)) <= kStepAhead)
      continue;
    s.spanLow = s.spanLow == kNone ? h.start : std::min(s.spanLow, h.start);
    s.spanHigh = s.spanHigh == kNone ? h.start : std::max(s.spanHigh, h.start);
  }
  // A stream that has run on this far without the others showing will not
  // be joined by them soon: decide without them. (Once every stream has
  // shown, a step ahead of them waits until one reaches where it landed.)
  bool allShown = true;
  if (m_hold == Hold::Start) {
    for (const auto& [track, c] : m_clocks) allShown = allShown && (!c.keepsClock || seen.count(track));
  } else {
    for (const auto& [track, b] : m_before) allShown = allShown && seen.count(track);
  }
  if (!allShown)
    for (const auto& [track, s] : seen)
      if (s.spanLow != kNone && Minus(s.spanHigh, s.spanLow) > kFarFromOthers) return true;
  if (m_hold == Hold::Start) {
    for (const auto& [track, c] : m_clocks)
      if (c.keepsClock && !seen.count(track)) return false;
    return true;
  }
  for (const auto& [track, before] : m_before)
    if (!seen.count(track)) return false;
  // One more time of the stream that stepped tells a single damaged time
  // from a stream that goes on from where it stepped to.
  auto trig = seen.find(m_trigger);
  if (trig == seen.end() || trig->second.count < 2) return false;
  const Clock& t = m_clocks.at(m_trigger);
  const REFERENCE_TIME landed = Placed(t, trig->second.first);
  // Pictures of the run before a step may follow the picture past it that
  // they refer to: a picture stream that goes on in its old run is a single
  // damaged time only once it has shown more than a decoding order keeps
  // back without going on where it landed.
  bool there = true;
  if (!m_hinted && !t.audio && m_before.count(m_trigger)) {
    const AfterStep after = TimesAfterStep(m_trigger, m_before.at(m_trigger).latest, landed);
    there = after.there;
    if (!there && after.oldRun <= kMaxReorder) return false;
  }
  if (!m_aheadOfOthers) return true;
  // A step ahead of every other stream's end is a gap once another stream
  // reaches where it landed; until then (or the end of the data) it may be
  // a time stamped far past the rest.
  for (const auto& [track, s] : seen) {
    if (track == m_trigger) continue;
    const REFERENCE_TIME reached = Placed(m_clocks.at(track), std::max(s.first, s.high));
    if (reached >= Minus(landed, kPastEnd)) return true;
  }
  // The stream that stepped goes on in its old run: a single damaged time.
  return !there && Placed(t, trig->second.low) < Minus(landed, kPastEnd);
}

template <class P>
typename CStreamTimelineOf<P>::AfterStep CStreamTimelineOf<P>::TimesAfterStep(DWORD track, REFERENCE_TIME before,
                                                                            REFERENCE_TIME landed) const {
  using namespace StreamTime;
  AfterStep after;
  bool first = true;
  const Clock& c = m_clocks.at(track);
  for (const Held& h : m_held) {
    if (h.start == kNone || h.packet->TrackNumber != track) continue;
    if (std::exchange(first, false)) continue;
    const REFERENCE_TIME at = Placed(c, h.start);
    if (at >= Minus(before, kStepBack) && at <= AddRefTimes(before, kStepAhead))
      ++after.oldRun;
    else if (at >= Minus(landed, kStepBack) && at <= AddRefTimes(landed, kStepAhead))
      after.there = true;
  }
  return after;
}

template <class P>
void CStreamTimelineOf<P>::Decide() {
  if (m_hold == Hold::Start) {
    DecideStart();
    return;
  }
  DecideStep();
  // Whatever was decided, the packet that began the hold goes on by it:
  // the next round starts past it.
  ClockOf(m_trigger).accept = true;
}

template <class P>
void CStreamTimelineOf<P>::DecideStart() {
  using namespace StreamTime;
  m_started = true;
  std::map<DWORD, REFERENCE_TIME> firsts;
  for (const Held& h : m_held) {
    if (h.start == kNone) continue;
    Clock& c = ClockOf(h.packet->TrackNumber);
    if (c.keepsClock && !firsts.count(h.packet->TrackNumber)) firsts[h.packet->TrackNumber] = Placed(c, h.start);
  }
  // The run starts where the earliest stream that lies within the source
  // starts; a stream that starts past the source's stated end, or far
  // from every other stream, belongs to no part of it.
  const REFERENCE_TIME end = m_length > 0 ? AddRefTimes(m_length, kPastEnd) : INT64_MAX;
  REFERENCE_TIME reference = kNone;
  for (const auto& [track, t] : firsts)
    if (t <= end && (reference == kNone || t < reference)) reference = t;
  if (reference == kNone) reference = 0;
  for (const auto& [track, t] : firsts) {
    Clock& c = ClockOf(track);
    c.accept = true;
    if (t <= end && t <= AddRefTimes(reference, kFarFromOthers)) continue;
    c.shift = AddRefTimes(c.shift, Minus(reference, t));
    const std::string length = m_length > 0 ? " (the source lasts " + RefTimeText(m_length) + ")" : "";
    Note(StreamName(c) + " starts at " + RefTimeText(t) + length + ": it is taken to start at " + RefTimeText(reference),
         "streams");
  }
}

template <class P>
void CStreamTimelineOf<P>::DecideStep() {
  using namespace StreamTime;
  // The first two times each stream shows after the step, on the moves in
  // force, and the latest of each.
  struct Seen {
    REFERENCE_TIME first = kNone, second = kNone, latest = kNone;
    Held* firstHeld = nullptr;
    int count = 0;
  };
  std::map<DWORD, Seen> seen;
  for (Held& h : m_held) {
    if (h.start == kNone) continue;
    Clock& c = ClockOf(h.packet->TrackNumber);
    if (!c.keepsClock) continue;
    Seen& s = seen[h.packet->TrackNumber];
    const REFERENCE_TIME t = Placed(c, h.start);
    if (s.first == kNone) {
      s.first = t;
      s.firstHeld = &h;
    } else if (s.second == kNone) {
      s.second = t;
    }
    ++s.count;
    s.latest = s.latest == kNone ? t : std::max(s.latest, t);
  }
  auto continues = [&](DWORD track, REFERENCE_TIME t) {
    auto b = m_before.find(track);
    if (b == m_before.end() || t == kNone) return false;
    if (m_hinted) return t >= Minus(b->second.end, kJoinSlack) && t <= AddRefTimes(b->second.end, kJoinSlack);
    return t >= Minus(b->second.latest, kStepBack) && t <= AddRefTimes(b->second.latest, kStepAhead);
  };

  Clock& trigger = ClockOf(m_trigger);
  const Seen& t = seen[m_trigger];
  // Where the other streams are: a stream that steps ahead to there while
  // they go on has a real gap.
  std::vector<DWORD> moved;
  REFERENCE_TIME othersAt = kNone;
  for (const auto& [track, s] : seen) {
    if (continues(track, s.first))
      othersAt = std::max(othersAt, s.latest);
    else if (m_before.count(track) || track == m_trigger)
      moved.push_back(track);
  }
  // Where every other stream has got to, before the step or after it, and
  // whether one of them goes on after it.
  REFERENCE_TIME othersEnd = kNone;
  bool othersGoOn = false;
  for (const auto& [track, b] : m_before)
    if (track != m_trigger) othersEnd = std::max(othersEnd, b.end);
  for (const auto& [track, s] : seen)
    if (track != m_trigger) {
      othersEnd = std::max(othersEnd, s.latest);
      othersGoOn = othersGoOn || continues(track, s.first);
    }

  // A step ahead that no other stream goes on to, while they have ended
  // or go on where they were: the times are damaged, not a gap.
  REFERENCE_TIME returns = kNone;  // a later time of the stream back in its old run
  for (const Held& h : m_held)
    if (h.start != kNone && h.packet->TrackNumber == m_trigger && &h != t.firstHeld) {
      const REFERENCE_TIME at = Placed(trigger, h.start);
      if (at < Minus(t.first, kPastEnd)) returns = returns == kNone ? at : std::min(returns, at);
    }
  const bool pastEveryEnd = m_aheadOfOthers && t.first != kNone && othersEnd != kNone &&
                            t.first > AddRefTimes(othersEnd, kPastEnd);
  // A time stamped alone out of its stream's run: the stream goes on where
  // it was right after (or, past every other stream's end, nothing of it
  // follows or it comes back). The time is damaged, and the stream's own
  // step stands in.
  // Sound that steps back into its own run and goes on from there (blocks
  // out of order) is no single time: it keeps its own times.
  const bool ownRunBack = trigger.audio && t.first != kNone && trigger.first != kNone && t.first >= trigger.first &&
                          m_before.count(m_trigger) && t.first < m_before[m_trigger].latest && t.second != kNone &&
                          t.second >= t.first && t.second < AddRefTimes(t.first, kStepBack);
  // A picture stream that goes on where it stepped to, after pictures of
  // its run before that come in decoding order, stepped for good.
  const bool goesOnThere = !m_hinted && !trigger.audio && m_before.count(m_trigger) && t.first != kNone &&
                           TimesAfterStep(m_trigger, m_before[m_trigger].latest, t.first).there;
  const bool alone = pastEveryEnd ? t.second == kNone || (returns != kNone && !goesOnThere)
                                  : !continues(m_trigger, t.first) && continues(m_trigger, t.second) && !ownRunBack &&
                                        !goesOnThere;
  if (!m_hinted && t.firstHeld && m_before.count(m_trigger) && alone) {
    // Sound goes on where the stream ended; a picture is given no time, so
    // that the decoder counts it on from the picture before (pictures come
    // in decoding order, and the end of the stream is no picture's time).
    Held& h = *t.firstHeld;
    if (trigger.audio) {
      const REFERENCE_TIME due = Minus(m_before[m_trigger].end, AddRefTimes(m_shift, trigger.shift));
      h.stop = h.stop == kNone ? kNone : AddRefTimes(due, std::clamp<REFERENCE_TIME>(Minus(h.stop, h.start), 0, kStepAhead));
      h.start = due;
    } else {
      h.start = h.stop = kNone;
    }
    trigger.accept = true;
    Note(StreamName(trigger) + " has a time far out of its run: its own step was taken instead", "times");
    return;
  }
  if (pastEveryEnd && m_before.count(m_trigger)) {
    // The stream goes on from a place no other stream reaches: it goes on
    // from its own run.
    const REFERENCE_TIME from = m_before[m_trigger].end;
    trigger.accept = true;
    trigger.shift = AddRefTimes(trigger.shift, Minus(from, t.first));
    Note(StreamName(trigger) + "'s time jumps from " + RefTimeText(from) + " to " + RefTimeText(t.first) +
             (othersGoOn ? " while the other streams go on" : " past where the other streams end") +
             ": it goes on at " + RefTimeText(from),
         "jumps");
    return;
  }

  // Every stream stepped ahead at once, none going on through the step: no
  // gap but a jump of the clock, unless the source lost data there (its
  // packets after the step are marked so), whose stretch keeps its place.
  bool allAhead = m_aheadOfOthers && !m_before.empty();
  bool lostData = false;
  for (const auto& [track, b] : m_before) {
    auto it = seen.find(track);
    allAhead = allAhead && it != seen.end() && it->second.first > AddRefTimes(b.end, kPastEnd);
  }
  for (const Held& h : m_held) lostData = lostData || h.packet->bDiscontinuity;
  if (allAhead && !lostData) {
    othersAt = kNone;
    moved.clear();
    for (const auto& [track, b] : m_before) moved.push_back(track);
  }
  if (othersAt == kNone) {
    // Every stream moved: the clock jumped. The part after it begins where
    // the latest stream before it ended (sound may overlap a little, as it
    // plays on without a break), each stream keeping its place.
    REFERENCE_TIME end = kNone, begin = kNone;
    for (const auto& [track, b] : m_before)
      end = std::max(end, ClockOf(track).audio ? Minus(b.end, kSoundSlack) : b.end);
    for (DWORD track : moved) begin = begin == kNone ? seen[track].first : std::min(begin, seen[track].first);
    if (end != kNone && begin != kNone) m_shift = AddRefTimes(m_shift, Minus(end, begin));
    for (auto& [track, c] : m_clocks) {
      if (!c.keepsClock) continue;
      c.breakPending = c.latest != kNone;
      if (seen.count(track)) c.accept = true;
    }
    return;
  }
  for (DWORD track : moved) {
    Clock& c = ClockOf(track);
    const Seen& s = seen[track];
    c.accept = true;
    auto b = m_before.find(track);
    const REFERENCE_TIME from = b != m_before.end() ? b->second.end : othersAt;
    // (No break is marked: the times say it, and a decoder told of a break
    // would drop what it holds from before the gap.) A step to where the
    // stream ended is no step at all; a step ahead to where another stream
    // goes on is a gap.
    if (s.first >= from && s.first <= AddRefTimes(othersAt, kFarFromOthers)) {
      if (!m_hinted && !c.audio && b != m_before.end()) {
        c.reorderLeft = kMaxReorder;
        c.beforeGap = b->second.latest;
      }
      continue;
    }
    // Sound that steps back into its own run (blocks out of order): its
    // own times place it; the sink drops what overlaps the sound before.
    if (c.audio && s.first < from && c.first != kNone && s.first >= c.first) continue;
    // Far from where the others are: the stream goes on from its own run.
    c.shift = AddRefTimes(c.shift, Minus(from, s.first));
    Note(StreamName(c) + "'s time jumps from " + RefTimeText(from) + " to " + RefTimeText(s.first) +
             " while the other streams go on: it goes on at " + RefTimeText(from),
         "jumps");
  }
}

template <class P>
void CStreamTimelineOf<P>::Release(Ready& ready) {
  // What was held goes through the rules again ahead of what is still to
  // be taken again from an earlier round, in file order; a round that
  // begins another hold adds to the same list instead of going deeper.
  m_replay.insert(m_replay.begin(), std::make_move_iterator(m_held.begin()), std::make_move_iterator(m_held.end()));
  m_held.clear();
  m_heldBytes = 0;
  m_hold = Hold::None;
  m_hinted = m_aheadOfOthers = false;
  if (m_releasing) return;
  m_releasing = true;
  while (!m_replay.empty()) {
    Held h = std::move(m_replay.front());
    m_replay.pop_front();
    Take(std::move(h), ready);
  }
  m_releasing = false;
}

template <class P>
void CStreamTimelineOf<P>::Flush(Ready& ready) {
  // Each round hands on at least the packet that began the hold.
  m_ending = true;
  while (m_hold != Hold::None) {
    Decide();
    Release(ready);
  }
  m_ending = false;
}

template <class P>
void CStreamTimelineOf<P>::Pass(Held& h, Ready& ready) {
  P& p = *h.packet;
  const DWORD track = p.TrackNumber;
  Clock& c = ClockOf(track);
  if (h.start == kNone) {
    p.rtStart = p.rtStop = kNone;
    Passed(c, p, false);
    ready.push_back(std::move(h.packet));
    return;
  }
  const REFERENCE_TIME t = Placed(c, h.start);
  REFERENCE_TIME stop = h.stop == kNone ? kNone : Placed(c, h.stop);
  // A stop before the start or far past it is no length: the packet keeps
  // its start only.
  if (stop != kNone && (stop < t || Minus(stop, t) > StreamTime::kStepAhead)) stop = kNone;
  if (c.keepsClock) {
    if (c.reorderLeft > 0) --c.reorderLeft;
    if (c.last != kNone && t > c.last && Minus(t, c.last) < StreamTime::kStepAhead) c.step = t - c.last;
    if (c.first == kNone) c.first = t;
    c.last = t;
    c.latest = c.latest == kNone ? t : std::max(c.latest, t);
    if (stop != kNone) c.stop = c.stop == kNone ? stop : std::max(c.stop, stop);
    if (c.breakPending) {
      p.bDiscontinuity = TRUE;
      c.breakPending = false;
    }
  }
  p.rtStart = t;
  p.rtStop = stop;
  Passed(c, p, true);
  ready.push_back(std::move(h.packet));
}
