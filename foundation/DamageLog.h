// What a splitter passed over or mended while reading a damaged source, kept
// for the job's log: the byte ranges it could not read as the container's
// units (merged, so a range read twice after a seek counts once) and the
// times it mended or dropped, counted per kind.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/Types.h"

class CDamageLog {
 public:
  // [from, to) could not be read and was skipped; `toEnd`: nothing after
  // `from` could be read at all.
  void Skipped(LONGLONG from, LONGLONG to, bool toEnd = false);
  // `count` more of `what` (a sentence without its count, "Track 1: ...")
  // happened; the report gives it once with the count in `units`.
  void Mended(const std::string& what, const char* units, UINT64 count = 1);

  // One line per kind of damage, each ending in a line break; empty when
  // the source read clean. `withTail`: the line of an unreadable tail too.
  std::string Report(bool withTail = true) const;
  // True when the damage ran to the end of the source; `from` is where.
  bool UnreadableTail(LONGLONG& from) const;
  void Clear();

 private:
  mutable std::mutex m_lock;
  std::map<LONGLONG, LONGLONG> m_ranges;  // start -> end, none overlapping
  LONGLONG m_tail = -1;
  struct Kind {
    std::string what;
    const char* units;
    UINT64 count;
  };
  std::vector<Kind> m_mended;
};
