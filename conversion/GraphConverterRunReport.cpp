// What the filters of a job's graph said about its run, for the job's log.
#include "conversion/GraphConverter.h"

#include <algorithm>
#include <map>

#include "foundation/FilterHelpers.h"

namespace {

// Every filter of the graph that reports on its run, each after every filter
// that feeds it, so that a cause upstream (damage in the source, a stream a
// decoder gave up) is named before what followed from it behind (a sink that
// received nothing). Filters on one level keep the graph's order.
std::vector<CComPtr<IRunReport>> RunReports(IFilterGraph* graph) {
  std::vector<CComPtr<IBaseFilter>> filters;
  CComPtr<IEnumFilters> e;
  if (FAILED(graph->EnumFilters(&e)) || !e) return {};
  for (CComPtr<IBaseFilter> filter; e->Next(1, &filter, nullptr) == S_OK; filter.Release()) filters.push_back(filter);

  std::map<IBaseFilter*, size_t> index;
  for (size_t i = 0; i < filters.size(); ++i) index[filters[i].p] = i;
  // Each filter's downstream neighbours, over its connected outputs.
  std::vector<std::vector<size_t>> next(filters.size());
  for (size_t i = 0; i < filters.size(); ++i) {
    CComPtr<IEnumPins> pins;
    if (FAILED(filters[i]->EnumPins(&pins)) || !pins) continue;
    for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
      PIN_DIRECTION dir;
      CComPtr<IPin> peer;
      if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT || FAILED(pin->ConnectedTo(&peer)) || !peer)
        continue;
      if (auto it = index.find(GetFilterFromPin(peer)); it != index.end()) next[i].push_back(it->second);
    }
  }
  // A filter's level is the longest chain of filters in front of it. As
  // many rounds as filters settle every chain; a graph with a loop stops
  // there.
  std::vector<size_t> level(filters.size(), 0);
  for (size_t round = 0; round < filters.size(); ++round) {
    bool changed = false;
    for (size_t i = 0; i < filters.size(); ++i)
      for (size_t j : next[i])
        if (level[j] < level[i] + 1) {
          level[j] = level[i] + 1;
          changed = true;
        }
    if (!changed) break;
  }
  std::vector<size_t> order(filters.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&level](size_t a, size_t b) { return level[a] < level[b]; });

  std::vector<CComPtr<IRunReport>> reports;
  for (size_t i : order)
    if (CComQIPtr<IRunReport> report = filters[i].p) reports.push_back(report);
  return reports;
}

}  // namespace

std::string CGraphConverter::GetRunError() const {
  auto* graph = static_cast<IFilterGraph*>(const_cast<CGraphConverter*>(this));
  for (const auto& report : RunReports(graph))
    if (std::string text = report->GetRunError(); !text.empty()) return text;
  return std::string();
}

std::string CGraphConverter::GetRunNote() const {
  auto* graph = static_cast<IFilterGraph*>(const_cast<CGraphConverter*>(this));
  std::string note = m_strTurnNote;
  for (const auto& report : RunReports(graph)) note += report->GetRunNote();
  // The source's length as read when the job began: what was converted.
  LONGLONG duration = 0;
  CComQIPtr<IMediaSeeking> seeking(graph);
  if (!seeking || FAILED(seeking->GetDuration(&duration))) duration = 0;
  return note + m_pFiles->SourceGrowth(static_cast<double>(duration) / UNITS);
}
