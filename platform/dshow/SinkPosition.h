// The current position a writing sink reports through IMediaSeeking: how
// far the least advanced of its streams still being written has got. A
// stream that has run ahead (sound at its end while the picture is still
// coming) must not make the job look finished or stuck; once every stream
// has ended, the end of the longest is what was written.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/dshow/Structs.h"

class CSinkPosition {
 public:
  explicit CSinkPosition(size_t streams) : m_streams(streams) {}

  // A new run: nothing written, nothing ended.
  void Reset() {
    std::lock_guard<std::mutex> g(m_lock);
    for (Stream& s : m_streams) s = Stream();
  }
  // `stream` has been written up to `end`.
  void Written(size_t stream, REFERENCE_TIME end) {
    std::lock_guard<std::mutex> g(m_lock);
    if (stream >= m_streams.size()) return;
    Stream& s = m_streams[stream];
    s.end = s.seen ? std::max(s.end, end) : end;
    s.seen = true;
  }
  void Ended(size_t stream) {
    std::lock_guard<std::mutex> g(m_lock);
    if (stream < m_streams.size()) m_streams[stream].ended = true;
  }
  REFERENCE_TIME Get() const {
    std::lock_guard<std::mutex> g(m_lock);
    bool open = false;
    REFERENCE_TIME least = 0, most = 0;
    for (const Stream& s : m_streams) {
      if (!s.seen) continue;
      most = std::max(most, s.end);
      if (s.ended) continue;
      least = open ? std::min(least, s.end) : s.end;
      open = true;
    }
    return open ? least : most;
  }

 private:
  struct Stream {
    REFERENCE_TIME end = 0;
    bool seen = false;
    bool ended = false;
  };
  mutable std::mutex m_lock;
  std::vector<Stream> m_streams;
};
