#include "splitters/mpeg/MpegJoin.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/dshow/DShow.h"

namespace {

bool IsMpegAudio(const GUID& s) {
  return s == MEDIASUBTYPE_MPEG1Packet || s == MEDIASUBTYPE_MPEG1Payload || s == MEDIASUBTYPE_MPEG1AudioPayload ||
         s == MEDIASUBTYPE_MPEG2_AUDIO || s == MEDIASUBTYPE_MP3;
}

bool IsMpegVideo(const GUID& s) {
  return s == MEDIASUBTYPE_MPEG1Packet || s == MEDIASUBTYPE_MPEG1Payload || s == MEDIASUBTYPE_MPEG1Video ||
         s == MEDIASUBTYPE_MPEG2_VIDEO;
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

CMpegJoin::Extra& CMpegJoin::ExtraOf(const Clock& c) {
  Extra& e = m_extra[c.track];
  if (e.known) return e;
  e.known = true;
  const CMediaType& mt = c.mt;
  if (c.audio && mt.formattype == FORMAT_WaveFormatEx && mt.pbFormat && mt.cbFormat >= sizeof(WAVEFORMATEX))
    e.bytesPerSecond = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat)->nAvgBytesPerSec;
  e.readsPictures = c.frameTime > 0 && IsMpegVideo(mt.subtype);
  return e;
}

void CMpegJoin::ReadPicture(Extra& e, REFERENCE_TIME frameTime, BYTE b) {
  e.tail = e.tail << 8 | b;
  if (e.headerBytesDue > 0) {
    // The temporal reference: the first ten bits after the start code.
    e.temporalReference = e.headerBytesDue == 2 ? b << 2 : e.temporalReference | b >> 6;
    if (--e.headerBytesDue == 0) {
      if (e.pendingTime != kNone) e.groupStart = e.pendingTime - e.temporalReference * frameTime;
      e.pendingTime = kNone;
      if (e.groupStart != kNone) {
        const REFERENCE_TIME end = e.groupStart + (e.temporalReference + 1) * frameTime;
        e.picturesEnd = e.picturesEnd == kNone ? end : std::max(e.picturesEnd, end);
      }
    }
  }
  if (e.tail == 0x00000100) e.headerBytesDue = 2;
  if (e.tail == 0x000001B8) e.groupStart = kNone;  // a group counts its pictures anew
}

void CMpegJoin::ReadPictures(Extra& e, REFERENCE_TIME frameTime, const Packet& p) {
  const BYTE* data = p.data();
  const size_t size = p.size();
  size_t i = 0;
  while (i < size) {
    if (e.headerBytesDue > 0 || i < 4) {
      ReadPicture(e, frameTime, data[i++]);
      continue;
    }
    // Only a 0x01 ends a start code's prefix: the bytes up to the next one
    // matter only as the tail before it.
    const void* one = std::memchr(data + i, 0x01, size - i);
    const size_t next = one ? static_cast<size_t>(static_cast<const BYTE*>(one) - data) : size;
    e.tail = static_cast<uint32_t>(data[next - 4]) << 24 | static_cast<uint32_t>(data[next - 3]) << 16 |
             static_cast<uint32_t>(data[next - 2]) << 8 | data[next - 1];
    if (next == size) break;
    // The 0x01 and the code after it.
    ReadPicture(e, frameTime, data[next]);
    if (next + 1 < size) ReadPicture(e, frameTime, data[next + 1]);
    i = next + 2;
  }
}

REFERENCE_TIME CMpegJoin::EndOf(const Clock& c) const {
  const REFERENCE_TIME end = CStreamTimeline::EndOf(c);
  auto it = m_extra.find(c.track);
  if (end == kNone || it == m_extra.end()) return end;
  const Extra& e = it->second;
  if (c.audio) return e.bytesPerSecond ? c.last + e.bytesSince * UNITS / e.bytesPerSecond : end;
  // Pictures without a time of their own end the stream after the latest
  // timed one.
  return e.picturesEnd == kNone ? end : std::max(end, e.picturesEnd);
}

void CMpegJoin::Passed(Clock& c, const Packet& p, bool timed) {
  if (!c.keepsClock) return;
  Extra& e = ExtraOf(c);
  if (timed) {
    const size_t frameStart = c.audio ? FirstFrameStart(c.mt.subtype, p.data(), p.size()) : 0;
    e.bytesSince = static_cast<LONGLONG>(p.size() - frameStart);
    // The time is the first picture's that begins here.
    e.pendingTime = p.rtStart;
  } else {
    e.bytesSince += static_cast<LONGLONG>(p.size());
  }
  if (e.readsPictures) ReadPictures(e, c.frameTime, p);
}
