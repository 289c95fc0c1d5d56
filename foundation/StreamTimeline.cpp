#include "foundation/StreamTimeline.h"

#include <algorithm>

#include "foundation/DamageLog.h"
#include "foundation/StreamTime.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/RefTime.h"

using namespace StreamTime;

namespace {

// What is held after a suspect step before it is decided without the
// streams that have not shown a time yet.
constexpr size_t kMaxHeldPackets = 4096;
constexpr size_t kMaxHeldBytes = 8 << 20;
// A picture stream that has shown no step of its own yet is taken to last
// a frame of this length.
constexpr REFERENCE_TIME kGuessedFrameTime = 40 * kMillisecond;
// Where the container says its clock was set anew, a part that goes on
// within this of where the part before ended did not jump.
constexpr REFERENCE_TIME kJoinSlack = 300 * kMillisecond;

REFERENCE_TIME Minus(REFERENCE_TIME a, REFERENCE_TIME b) {
  if (b == INT64_MIN) return AddRefTimes(AddRefTimes(a, INT64_MAX), 1);
  return AddRefTimes(a, -b);
}

}  // namespace

std::string CStreamTimeline::StreamName(const Clock& c) const {
  // By its kind, as the user knows the streams; the track tells apart
  // several of one kind.
  int ofKind = 0;
  for (const auto& [track, o] : m_clocks) ofKind += o.keepsClock && o.audio == c.audio && o.first != kNone;
  const std::string kind = c.audio ? "The sound" : "The picture";
  return ofKind > 1 ? kind + " of track " + std::to_string(c.track) : kind;
}

void CStreamTimeline::Reset(REFERENCE_TIME offset, REFERENCE_TIME length) {
  m_offset = offset;
  m_length = std::max<REFERENCE_TIME>(length, 0);
  m_shift = 0;
  m_clockStepped = false;
  m_hinted = false;
  m_clocks.clear();
  m_started = false;
  m_hold = Hold::None;
  m_held.clear();
  m_heldBytes = 0;
  m_before.clear();
  Restarted();
}

void CStreamTimeline::AddStream(DWORD track, const CMediaType& mt) {
  Clock& c = ClockOf(track);
  c.mt = mt;
  c.audio = mt.majortype == MEDIATYPE_Audio;
  c.keepsClock = c.audio || mt.majortype == MEDIATYPE_Video;
  // Every picture format block keeps the frame time at the same place.
  const bool picture = mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2 ||
                       mt.formattype == FORMAT_MPEGVideo || mt.formattype == FORMAT_MPEG2Video;
  if (mt.majortype == MEDIATYPE_Video && picture && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
    c.frameTime = std::max<REFERENCE_TIME>(reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame, 0);
}

CStreamTimeline::Clock& CStreamTimeline::ClockOf(DWORD track) {
  Clock& c = m_clocks[track];
  c.track = track;
  return c;
}

REFERENCE_TIME CStreamTimeline::Placed(const Clock& c, REFERENCE_TIME t) const {
  return AddRefTimes(AddRefTimes(t, m_shift), c.shift);
}

REFERENCE_TIME CStreamTimeline::EndOf(const Clock& c) const {
  if (c.latest == kNone) return kNone;
  REFERENCE_TIME frame = c.frameTime > 0 ? c.frameTime : c.step;
  if (frame <= 0) frame = c.audio ? 0 : kGuessedFrameTime;
  REFERENCE_TIME end = AddRefTimes(c.latest, frame);
  // A stop far past the stream's own step is no length the stream plays.
  if (c.stop != kNone && c.stop > end && c.stop <= AddRefTimes(c.latest, kStepAhead)) end = c.stop;
  return end;
}

REFERENCE_TIME CStreamTimeline::ContentEnd() const {
  REFERENCE_TIME end = kNone;
  for (const auto& [track, c] : m_clocks)
    if (c.keepsClock) end = std::max(end, EndOf(c));
  return end == kNone ? 0 : end;
}

bool CStreamTimeline::Suspect(const Clock& c, REFERENCE_TIME placed) const {
  if (c.latest == kNone) {
    // A stream that shows up late is judged against where the others are.
    REFERENCE_TIME others = kNone;
    for (const auto& [track, o] : m_clocks)
      if (o.keepsClock && &o != &c) others = std::max(others, o.latest);
    return others != kNone && (placed > AddRefTimes(others, kFarFromOthers) || placed < Minus(others, kFarFromOthers));
  }
  if (m_clockStepped) return true;
  return placed > AddRefTimes(c.latest, kStepAhead) || placed < Minus(c.latest, kStepBack);
}

void CStreamTimeline::Add(std::unique_ptr<Packet> p, Ready& ready) {
  if (!p) return;
  Held h{std::move(p), kNone, kNone};
  if (h.packet->rtStart != INVALID_TIME) h.start = Minus(h.packet->rtStart, m_offset);
  if (h.packet->rtStart != INVALID_TIME && h.packet->rtStop != INVALID_TIME)
    h.stop = Minus(h.packet->rtStop, m_offset);
  Take(std::move(h), ready);
}

void CStreamTimeline::Take(Held h, Ready& ready) {
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
    return Take(std::move(h), ready);
  }
  Pass(h, ready);
}

void CStreamTimeline::BeginHold(Hold why, DWORD trigger) {
  m_hold = why;
  m_trigger = trigger;
  m_before.clear();
  for (const auto& [track, c] : m_clocks)
    if (c.keepsClock && c.latest != kNone) m_before[track] = {EndOf(c), c.latest};
}

bool CStreamTimeline::HoldDecidable() const {
  if (m_held.size() > kMaxHeldPackets || m_heldBytes > kMaxHeldBytes) return true;
  // What each clock stream has shown since the hold began: its first two
  // times and the span of its times.
  struct Seen {
    int count = 0;
    REFERENCE_TIME first = kNone, low = kNone, high = kNone;
  };
  std::map<DWORD, Seen> seen;
  for (const Held& h : m_held) {
    if (h.start == kNone) continue;
    auto it = m_clocks.find(h.packet->TrackNumber);
    if (it == m_clocks.end() || !it->second.keepsClock) continue;
    Seen& s = seen[h.packet->TrackNumber];
    // (Its first time is left out of its span: it may be the damaged one.)
    if (s.count++ == 0) {
      s.first = h.start;
    } else if (s.count == 2) {
      s.low = s.high = h.start;
    } else {
      s.low = std::min(s.low, h.start);
      s.high = std::max(s.high, h.start);
    }
  }
  // A stream that has run on this far without the others showing will not
  // be joined by them soon: decide without them.
  for (const auto& [track, s] : seen)
    if (s.count > 2 && Minus(s.high, s.low) > kFarFromOthers) return true;
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
  return trig != seen.end() && trig->second.count >= 2;
}

void CStreamTimeline::Decide() {
  if (m_hold == Hold::Start)
    DecideStart();
  else
    DecideStep();
}

void CStreamTimeline::DecideStart() {
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

void CStreamTimeline::DecideStep() {
  // The first two times each stream shows after the step, on the moves in
  // force, and the latest of each.
  struct Seen {
    REFERENCE_TIME first = kNone, second = kNone, latest = kNone;
    Held* firstHeld = nullptr;
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
  // A single time out of its stream's run, the stream going on where it was
  // right after: the time is damaged, and the stream's own step stands in.
  if (!m_hinted && t.firstHeld && m_before.count(m_trigger) && !continues(m_trigger, t.first) &&
      continues(m_trigger, t.second)) {
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
    // would drop what it holds from before the gap.)
    if (s.first > from && s.first <= AddRefTimes(othersAt, kFarFromOthers)) continue;
    // Far from where the others are: the stream goes on from its own run.
    c.shift = AddRefTimes(c.shift, Minus(from, s.first));
    Note(StreamName(c) + "'s time jumps from " + RefTimeText(from) + " to " + RefTimeText(s.first) +
             " while the other streams go on: it goes on at " + RefTimeText(from),
         "jumps");
  }
}

void CStreamTimeline::Release(Ready& ready) {
  std::deque<Held> held;
  held.swap(m_held);
  m_heldBytes = 0;
  m_hold = Hold::None;
  m_hinted = false;
  for (Held& h : held) Take(std::move(h), ready);
}

void CStreamTimeline::Flush(Ready& ready) {
  // Each round hands on at least the packet that began the hold.
  while (m_hold != Hold::None) {
    Decide();
    Release(ready);
  }
}

void CStreamTimeline::Pass(Held& h, Ready& ready) {
  Packet& p = *h.packet;
  const DWORD track = p.TrackNumber;
  Clock& c = ClockOf(track);
  if (h.start == kNone) {
    p.rtStart = p.rtStop = INVALID_TIME;
    Passed(c, p, false);
    ready.push_back(std::move(h.packet));
    return;
  }
  const REFERENCE_TIME t = Placed(c, h.start);
  REFERENCE_TIME stop = h.stop == kNone ? INVALID_TIME : Placed(c, h.stop);
  // A stop before the start or far past it is no length: the packet keeps
  // its start only.
  if (stop != INVALID_TIME && (stop < t || Minus(stop, t) > kStepAhead)) stop = INVALID_TIME;
  if (c.keepsClock) {
    if (c.last != kNone && t > c.last && Minus(t, c.last) < kStepAhead) c.step = t - c.last;
    if (c.first == kNone) c.first = t;
    c.last = t;
    c.latest = c.latest == kNone ? t : std::max(c.latest, t);
    if (stop != INVALID_TIME) c.stop = c.stop == kNone ? stop : std::max(c.stop, stop);
    if (c.breakPending) {
      p.bDiscontinuity = TRUE;
      c.breakPending = false;
    }
  }
  p.rtStart = t == kNone ? INVALID_TIME : t;
  p.rtStop = stop;
  Passed(c, p, true);
  ready.push_back(std::move(h.packet));
}

void CStreamTimeline::Note(const std::string& what, const char* units) {
  if (m_pLog) m_pLog->Mended(what, units);
}
