#include "splitters/avi/AviPlot.h"

#include <algorithm>
#include <cstdio>

CAviPlot::CAviPlot(const CAviFile& file) : m_streams(file.m_strms.size()) {
  for (const auto& s : file.m_strms) {
    if (s->interleave.empty()) continue;
    m_maxChunk = std::max(m_maxChunk, s->interleave.back().n);
    m_maxTime = std::max(m_maxTime, static_cast<REFERENCE_TIME>(s->interleave.back().t) << 13);
  }
  file.VisitInTimeOrder([this](size_t stream, const AviInterleaveEntry& e) {
    m_points.push_back({stream, e.n, static_cast<REFERENCE_TIME>(e.t) << 13});
    return true;
  });
}

int CAviPlot::ColumnOf(REFERENCE_TIME t, int width) const {
  if (width <= 1 || m_maxTime <= 0) return 0;
  const double x = static_cast<double>(t) * (width - 1) / static_cast<double>(m_maxTime);
  return std::clamp(static_cast<int>(x + 0.5), 0, width - 1);
}

int CAviPlot::RowOf(DWORD n, int height) const {
  if (height <= 1 || m_maxChunk == 0) return height - 1;
  const double y = static_cast<double>(n) * (height - 1) / m_maxChunk;
  return std::clamp(height - 1 - static_cast<int>(y + 0.5), 0, height - 1);
}

REFERENCE_TIME CAviPlot::TimeAt(int column, int width) const {
  if (width <= 1) return 0;
  return static_cast<REFERENCE_TIME>(static_cast<double>(std::clamp(column, 0, width - 1)) * m_maxTime / (width - 1));
}

DWORD CAviPlot::ChunkAt(int row, int height) const {
  if (height <= 1) return 0;
  const int up = height - 1 - std::clamp(row, 0, height - 1);
  return static_cast<DWORD>(static_cast<double>(up) * m_maxChunk / (height - 1) + 0.5);
}

std::vector<DWORD> CAviPlot::ColumnDistances(int width) const {
  std::vector<DWORD> out(static_cast<size_t>(std::max(width, 0)), 0);
  if (out.empty()) return out;
  for (size_t i = 1; i < m_points.size(); ++i) {
    const DWORD a = m_points[i - 1].n, b = m_points[i].n;
    DWORD& d = out[static_cast<size_t>(ColumnOf(m_points[i].t, width))];
    d = std::max(d, a > b ? a - b : b - a);
  }
  return out;
}

std::string CAviPlot::PointTitle(DWORD chunk, REFERENCE_TIME t) {
  const long long ms = std::max<REFERENCE_TIME>(t, 0) / 10000;
  char text[160];
  std::snprintf(text, sizeof text, "%s (%u - %lld:%02lld:%02lld.%03lld)", Title(), chunk, ms / 3600000,
                ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
}

std::string CAviPlot::DistanceTitle(DWORD distance) {
  char text[160];
  std::snprintf(text, sizeof text, "%s (chunk distance: %u%s)", Title(), distance,
                distance >= kDistanceLimit ? " - over the limit!" : "");
  return text;
}
