#include "splitters/mpeg/MpegJoin.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// A part after a jump is held for at most this much before its times are
// decided without the streams that have not shown a time yet.
constexpr size_t kMaxHeldPackets = 4096;
constexpr size_t kMaxHeldBytes = 8 << 20;
// A part that goes on within this of where the part before ended did not
// jump.
constexpr REFERENCE_TIME kSlack = 3000000;
// Sound that runs on past the other streams by less than this may overlap
// the next part: the sinks play sound without a break and let a difference
// this small be (a part's picture then follows at once).
constexpr REFERENCE_TIME kSoundOverhang = 200000;
constexpr REFERENCE_TIME kGuessedFrameTime = 400000;

bool IsMpegAudio(const GUID& s) {
  return s == MEDIASUBTYPE_MPEG1Packet || s == MEDIASUBTYPE_MPEG1Payload || s == MEDIASUBTYPE_MPEG1AudioPayload ||
         s == MEDIASUBTYPE_MPEG2_AUDIO || s == MEDIASUBTYPE_MP3;
}

// Where the first sound frame begins in a payload: its time is that frame's,
// the bytes before it end the frame before. 0 where no frame start is found
// or the format has none to look for.
size_t FirstFrameStart(const GUID& subtype, const BYTE* d, size_t n) {
  for (size_t i = 0; i + 4 <= n; ++i) {
    if (IsMpegAudio(subtype)) {
      if (d[i] == 0xFF && (d[i + 1] & 0xE0) == 0xE0 && (d[i + 1] & 0x06) != 0) return i;
    } else if (subtype == MEDIASUBTYPE_AAC) {
      if (d[i] == 0xFF && (d[i + 1] & 0xF6) == 0xF0) return i;
    } else if (subtype == MEDIASUBTYPE_DOLBY_AC3) {
      if (d[i] == 0x0B && d[i + 1] == 0x77) return i;
    } else if (subtype == MEDIASUBTYPE_DTS) {
      if (d[i] == 0x7F && d[i + 1] == 0xFE && d[i + 2] == 0x80 && d[i + 3] == 0x01) return i;
    } else {
      break;
    }
  }
  return 0;
}

}  // namespace

void CMpegJoin::Reset(REFERENCE_TIME offset) {
  m_offset = offset;
  m_shift = 0;
  m_lastScr = kNone;
  m_clockStepped = false;
  m_clocks.clear();
  m_holding = false;
  m_held.clear();
  m_heldBytes = 0;
  m_endsBefore.clear();
  m_starting.clear();
}

void CMpegJoin::OnSystemClock(REFERENCE_TIME scr) {
  if (m_lastScr != kNone && scr < m_lastScr) m_clockStepped = true;
  m_lastScr = scr;
}

CMpegJoin::Clock& CMpegJoin::ClockOf(DWORD track, const CMediaType& mt) {
  auto [it, added] = m_clocks.try_emplace(track);
  Clock& c = it->second;
  if (!added) return c;
  c.subtype = mt.subtype;
  c.audio = mt.majortype == MEDIATYPE_Audio;
  if (c.audio && mt.formattype == FORMAT_WaveFormatEx && mt.pbFormat && mt.cbFormat >= sizeof(WAVEFORMATEX))
    c.bytesPerSecond = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat)->nAvgBytesPerSec;
  // Every picture format block keeps the frame time at the same place.
  const bool picture = mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2 ||
                       mt.formattype == FORMAT_MPEGVideo || mt.formattype == FORMAT_MPEG2Video;
  if (mt.majortype == MEDIATYPE_Video && picture && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
    c.frameTime = std::max<REFERENCE_TIME>(reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame, 0);
  else if (!c.audio)
    c.frameTime = -1;  // subpictures and the like keep no clock
  c.readsPictures = c.frameTime > 0 && (c.subtype == MEDIASUBTYPE_MPEG1Packet || c.subtype == MEDIASUBTYPE_MPEG1Payload ||
                                         c.subtype == MEDIASUBTYPE_MPEG1Video || c.subtype == MEDIASUBTYPE_MPEG2_VIDEO);
  return c;
}

void CMpegJoin::ReadPictures(Clock& c, const Packet& p) {
  for (BYTE b : p) {
    c.tail = c.tail << 8 | b;
    if (c.headerBytesDue > 0) {
      // The temporal reference: the first ten bits after the start code.
      c.temporalReference = c.headerBytesDue == 2 ? b << 2 : c.temporalReference | b >> 6;
      if (--c.headerBytesDue == 0) {
        if (c.pendingTime != kNone) c.groupStart = c.pendingTime - c.temporalReference * c.frameTime;
        c.pendingTime = kNone;
        if (c.groupStart != kNone) {
          const REFERENCE_TIME end = c.groupStart + (c.temporalReference + 1) * c.frameTime;
          c.picturesEnd = c.picturesEnd == kNone ? end : std::max(c.picturesEnd, end);
        }
      }
    }
    if (c.tail == 0x00000100) c.headerBytesDue = 2;
    if (c.tail == 0x000001B8) c.groupStart = kNone;  // a group counts its pictures anew
  }
}

REFERENCE_TIME CMpegJoin::EndOf(const Clock& c) const {
  if (c.last == kNone) return kNone;
  if (c.audio)
    return c.bytesPerSecond ? c.last + c.bytesSince * 10000000 / c.bytesPerSecond : c.last + c.step;
  // Pictures without a time of their own end the stream after the latest
  // timed one.
  const REFERENCE_TIME frame = c.frameTime > 0 ? c.frameTime : c.step > 0 ? c.step : kGuessedFrameTime;
  return c.picturesEnd == kNone ? c.latest + frame : std::max(c.latest + frame, c.picturesEnd);
}

void CMpegJoin::Add(std::unique_ptr<Packet> p, bool hasPts, REFERENCE_TIME pts, const CMediaType& mt, Ready& ready) {
  Clock& c = ClockOf(p->TrackNumber, mt);
  Held h{std::move(p), hasPts, pts, 0};
  if (hasPts && c.audio) h.frameStart = FirstFrameStart(c.subtype, h.packet->data(), h.packet->size());
  const bool keepsClock = c.frameTime >= 0;
  if (!m_holding && hasPts && keepsClock && c.latest != kNone) {
    const REFERENCE_TIME t = pts + m_shift;
    if (m_clockStepped || t > c.latest + kAhead || t < c.latest - kBack) {
      // The clock jumped: the part after it is held until its sound says
      // where it goes.
      m_holding = true;
      m_starting.clear();
      m_endsBefore.clear();
      for (const auto& [track, clock] : m_clocks)
        if (clock.frameTime >= 0 && clock.last != kNone) m_endsBefore[track] = EndOf(clock);
    }
  }
  if (hasPts) m_clockStepped = false;
  if (!m_holding) return Pass(h, ready);
  m_heldBytes += h.packet->size();
  const DWORD track = h.packet->TrackNumber;
  bool known = true;
  if (hasPts) m_starting[track] = true;
  for (const auto& [t, end] : m_endsBefore) known = known && m_starting.count(t);
  m_held.push_back(std::move(h));
  if (known || m_held.size() > kMaxHeldPackets || m_heldBytes > kMaxHeldBytes) Resolve(ready);
}

void CMpegJoin::Resolve(Ready& ready) {
  // The part after the jump begins with its earliest time; it follows the
  // end of the latest stream before it, when it jumped at all.
  REFERENCE_TIME end = kNone, begin = kNone;
  for (const auto& [track, e] : m_endsBefore) end = std::max(end, m_clocks[track].audio ? e - kSoundOverhang : e);
  for (const Held& h : m_held)
    if (h.hasPts && m_endsBefore.count(h.packet->TrackNumber)) begin = begin == kNone ? h.pts : std::min(begin, h.pts);
  const bool jumped = end != kNone && begin != kNone && (begin + m_shift > end + kSlack || begin + m_shift < end - kSlack);
  if (jumped) m_shift = end - begin;
  // Each stream's first packet after a real jump says so.
  m_starting.clear();
  if (jumped)
    for (const auto& [track, e] : m_endsBefore) m_starting[track] = false;
  m_holding = false;
  m_heldBytes = 0;
  for (Held& h : m_held) Pass(h, ready);
  m_held.clear();
}

void CMpegJoin::Pass(Held& h, Ready& ready) {
  Packet& p = *h.packet;
  const REFERENCE_TIME t = h.pts + m_shift;
  p.rtStart = h.hasPts ? t - m_offset : INVALID_TIME;
  p.rtStop = h.hasPts ? p.rtStart + 1 : INVALID_TIME;
  if (h.hasPts) {
    auto starting = m_starting.find(p.TrackNumber);
    if (starting != m_starting.end()) {
      p.bDiscontinuity = TRUE;
      m_starting.erase(starting);
    }
  }
  auto it = m_clocks.find(p.TrackNumber);
  if (it != m_clocks.end()) {
    Clock& c = it->second;
    if (h.hasPts) {
      if (c.last != kNone && t > c.last && t - c.last < kAhead) c.step = t - c.last;
      c.last = t;
      c.latest = c.latest == kNone ? t : std::max(c.latest, t);
      c.bytesSince = static_cast<LONGLONG>(p.size() - h.frameStart);
      // The time is the first picture's that begins here.
      c.pendingTime = t;
    } else {
      c.bytesSince += static_cast<LONGLONG>(p.size());
    }
    if (c.readsPictures) ReadPictures(c, p);
  }
  ready.push_back(std::move(h.packet));
}

void CMpegJoin::Flush(Ready& ready) {
  if (m_holding) Resolve(ready);
}
