#include "graph/core/FGFilterList.h"

#include <algorithm>

CFGFilterList::~CFGFilterList() = default;

void CFGFilterList::Insert(CFGFilter* record, int group, bool exact, bool autoDelete) {
  if (!record) return;
  bool held = false;
  for (const Entry& e : m_entries)
    if (e.record == record) held = true;
  // Owned from here, so that an allocation failure below cannot leak it.
  std::unique_ptr<CFGFilter> owned(autoDelete && !held ? record : nullptr);

  bool duplicate = held;
  if (auto* reg = dynamic_cast<CFGFilterRegistry*>(record); reg && !duplicate) {
    for (const Entry& e : m_entries) {
      if (e.group != group) continue;
      auto* other = dynamic_cast<CFGFilterRegistry*>(e.record);
      if (!other) continue;
      if (reg->GetMoniker() && other->GetMoniker() && reg->GetMoniker()->IsEqual(other->GetMoniker()) == S_OK) {
        duplicate = true;
        break;
      }
      if (reg->GetCLSID() != GUID_NULL && reg->GetCLSID() == other->GetCLSID()) {
        duplicate = true;
        break;
      }
    }
  }
  if (duplicate) return;  // `owned` deletes the refused record

  m_entries.push_back(Entry{static_cast<int>(m_entries.size()), record, group, exact, std::move(owned)});
  m_sorted.clear();
}

bool CFGFilterList::Compare(const Entry* a, const Entry* b) {
  if (a->group != b->group) return a->group < b->group;
  if (a->record->GetMerit() != b->record->GetMerit()) return a->record->GetMerit() > b->record->GetMerit();
  if (a->exact != b->exact) return a->exact;
  return a->index < b->index;
}

CFGFilterList::POSITION CFGFilterList::GetHeadPosition() {
  if (m_sorted.empty()) {
    std::vector<const Entry*> order;
    order.reserve(m_entries.size());
    for (const Entry& e : m_entries) order.push_back(&e);
    std::sort(order.begin(), order.end(), &CFGFilterList::Compare);
    for (const Entry* e : order)
      if (e->record->GetMerit() >= kMeritLow) m_sorted.push_back(e->record);
  }
  return m_sorted.empty() ? 0 : 1;
}

CFGFilter* CFGFilterList::GetNext(POSITION& pos) {
  if (pos == 0 || pos > m_sorted.size()) {
    pos = 0;
    return nullptr;
  }
  CFGFilter* record = m_sorted[pos - 1];
  pos = pos < m_sorted.size() ? pos + 1 : 0;
  return record;
}

void CFGFilterList::RemoveAll() {
  m_sorted.clear();
  m_entries.clear();
}
