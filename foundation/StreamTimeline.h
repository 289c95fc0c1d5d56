// The shared time line every splitter hands its packets through (see
// platform/dshow/StreamTimeline.h for what it decides), telling what it
// mended to the splitter's damage log.
#pragma once

#include <string>

#include "foundation/Packet.h"
#include "platform/dshow/StreamTimeline.h"

class CDamageLog;

extern template class CStreamTimelineOf<Packet>;

class CStreamTimeline : public CStreamTimelineOf<Packet> {
 public:
  explicit CStreamTimeline(CDamageLog* log = nullptr) : m_pLog(log) {}

 protected:
  void Note(const std::string& what, const char* units) override;

 private:
  CDamageLog* m_pLog;
};
