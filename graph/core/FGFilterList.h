// The candidates for one decision (a source for a file, a filter for a
// pin), handed out by group, then merit (highest first), then exact type
// matches first, then insertion order. Records below kMeritLow are never
// handed out; they still keep later registry records of their class out of
// their group, which is how installed filters are blocked.
#pragma once

#include <memory>
#include <vector>

#include "graph/core/FGFilter.h"

class CFGFilterList {
 public:
  // 0 ends the walk.
  using POSITION = size_t;

  CFGFilterList() = default;
  virtual ~CFGFilterList();
  CFGFilterList(const CFGFilterList&) = delete;
  CFGFilterList& operator=(const CFGFilterList&) = delete;

  // With `autoDelete` the list owns the record from this call on (a
  // duplicate is deleted at once).
  void Insert(CFGFilter* record, int group, bool exact = false, bool autoDelete = true);

  POSITION GetHeadPosition();
  CFGFilter* GetNext(POSITION& pos);

  size_t GetCount() const { return m_entries.size(); }
  void RemoveAll();

 private:
  struct Entry {
    int index;
    CFGFilter* record;
    int group;
    bool exact;
    std::unique_ptr<CFGFilter> owned;
  };
  static bool Compare(const Entry* a, const Entry* b);

  std::vector<Entry> m_entries;
  std::vector<CFGFilter*> m_sorted;
};
