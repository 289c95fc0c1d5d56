#include "foundation/DamageLog.h"

#include <algorithm>
#include <iterator>

void CDamageLog::Skipped(LONGLONG from, LONGLONG to, bool toEnd) {
  // Nothing skipped is no damage, also at the end.
  if (from < 0 || to <= from) return;
  std::lock_guard<std::mutex> lock(m_lock);
  if (toEnd) m_tail = m_tail < 0 ? from : std::min(m_tail, from);
  // Merge with every range it touches.
  auto it = m_ranges.upper_bound(from);
  if (it != m_ranges.begin() && std::prev(it)->second >= from) --it;
  while (it != m_ranges.end() && it->first <= to) {
    from = std::min(from, it->first);
    to = std::max(to, it->second);
    it = m_ranges.erase(it);
  }
  m_ranges[from] = to;
}

void CDamageLog::Mended(const std::string& what, const char* units, UINT64 count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(m_lock);
  for (Kind& k : m_mended) {
    if (k.what == what) {
      k.count += count;
      return;
    }
  }
  m_mended.push_back({what, units, count});
}

std::string CDamageLog::Report(bool withTail) const {
  std::lock_guard<std::mutex> lock(m_lock);
  std::string text;
  auto number = [](LONGLONG v) { return std::to_string(v); };
  // The ranges before an unreadable tail; the tail has a line of its own.
  std::vector<std::pair<LONGLONG, LONGLONG>> ranges;
  LONGLONG total = 0;
  for (const auto& [from, to] : m_ranges) {
    if (m_tail >= 0 && from >= m_tail) continue;
    const LONGLONG end = m_tail >= 0 ? std::min(to, m_tail) : to;
    ranges.emplace_back(from, end);
    total += end - from;
  }
  if (ranges.size() == 1) {
    text += "The source is damaged: bytes " + number(ranges[0].first) + "-" + number(ranges[0].second - 1) + " (" +
            number(total) + " bytes) could not be read and were skipped.\n";
  } else if (!ranges.empty()) {
    text += "The source is damaged in " + number(static_cast<LONGLONG>(ranges.size())) + " places: " +
            number(total) + " bytes could not be read and were skipped (bytes ";
    for (size_t i = 0; i < ranges.size() && i < 3; i++)
      text += (i ? ", " : "") + number(ranges[i].first) + "-" + number(ranges[i].second - 1);
    text += ranges.size() > 3 ? ", ...).\n" : ").\n";
  }
  if (m_tail >= 0 && withTail)
    text += "The source is damaged from byte " + number(m_tail) + " to its end: nothing after it could be read.\n";
  for (const Kind& k : m_mended) {
    // "samples" of one is "sample".
    std::string units = k.units;
    if (k.count == 1 && !units.empty() && units.back() == 's') units.pop_back();
    text += k.what + " (" + std::to_string(k.count) + " " + units + ").\n";
  }
  return text;
}

bool CDamageLog::UnreadableTail(LONGLONG& from) const {
  std::lock_guard<std::mutex> lock(m_lock);
  from = m_tail;
  return m_tail >= 0;
}

void CDamageLog::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_ranges.clear();
  m_tail = -1;
  m_mended.clear();
}
