// One queued input sample of the muxer filters.
#pragma once

#include <vector>

#include "platform/dshow/QueuedSink.h"

// The record with an owned copy of the sample's bytes (none for a sink
// that only needs the times and flags).
struct MuxSample : QueuedRecord {
  size_t QueuedBytes() const override { return m_data.size(); }

  std::vector<BYTE> m_data;
};
