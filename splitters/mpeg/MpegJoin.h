// The MPEG streams' own part of the shared time line: where a stream ends
// when most of its packets carry no time. Sound is counted in bytes from
// its last timed frame; MPEG pictures, most of which carry no time where
// several begin in one packet, are placed by their temporal reference in
// their group, which the group's first timed picture anchors.
#pragma once

#include <map>

#include "foundation/StreamTimeline.h"

class CMpegJoin : public CStreamTimeline {
 public:
  using CStreamTimeline::CStreamTimeline;

 protected:
  REFERENCE_TIME EndOf(const Clock& c) const override;
  void Passed(Clock& c, const Packet& p, bool timed) override;
  void Restarted() override { m_extra.clear(); }

 private:
  struct Extra {
    bool known = false;
    DWORD bytesPerSecond = 0;  // of the sound, 0 when not known
    LONGLONG bytesSince = 0;   // sound bytes from the last timed frame on
    bool readsPictures = false;
    uint32_t tail = 0xFFFFFFFF;  // the last bytes seen keep a header cut by a packet's end
    int headerBytesDue = 0;
    int temporalReference = 0;
    REFERENCE_TIME pendingTime = kNone;  // of the next picture that begins
    REFERENCE_TIME groupStart = kNone;
    REFERENCE_TIME picturesEnd = kNone;
  };

  Extra& ExtraOf(const Clock& c);
  static void ReadPictures(Extra& e, REFERENCE_TIME frameTime, const Packet& p);
  static void ReadPicture(Extra& e, REFERENCE_TIME frameTime, BYTE b);

  std::map<DWORD, Extra> m_extra;
};
