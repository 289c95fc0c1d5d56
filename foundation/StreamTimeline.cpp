#include "foundation/StreamTimeline.h"

#include "foundation/DamageLog.h"

static_assert(INVALID_TIME == INT64_MIN, "the time line's unset time is the packets'");

template class CStreamTimelineOf<Packet>;

void CStreamTimeline::Note(const std::string& what, const char* units) {
  if (m_pLog) m_pLog->Mended(what, units);
}
