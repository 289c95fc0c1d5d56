// What the AVI chunk viewer plots, computed apart from the drawing: where
// each stream's chunks lie in the file (their order number) against their
// time, walked in time order, and how far apart in the file chunks that
// follow each other in time lie.
#pragma once

#include <string>
#include <vector>

#include "splitters/avi/AviFile.h"

class CAviPlot {
 public:
  struct Point {
    size_t stream;
    DWORD n;           // order number in the file
    REFERENCE_TIME t;  // 100 ns units
  };

  // Reads the interleave lists the file kept (IsInterleaved(true)).
  explicit CAviPlot(const CAviFile& file);

  size_t StreamCount() const { return m_streams; }
  // The largest order number and time of the streams' last chunks.
  DWORD MaxChunk() const { return m_maxChunk; }
  REFERENCE_TIME MaxTime() const { return m_maxTime; }
  // Every chunk in time order.
  const std::vector<Point>& TimeOrder() const { return m_points; }

  // Scaling to a plot of `width` x `height` pixels: time runs left to right,
  // the order number bottom to top.
  int ColumnOf(REFERENCE_TIME t, int width) const;
  int RowOf(DWORD n, int height) const;
  REFERENCE_TIME TimeAt(int column, int width) const;
  DWORD ChunkAt(int row, int height) const;
  // Per pixel column, the largest distance of order numbers between chunks
  // that follow each other in time.
  std::vector<DWORD> ColumnDistances(int width) const;

  // A distance that tells a badly interleaved file.
  static constexpr DWORD kDistanceLimit = 1000;
  static const char* Title() { return "AVI Chunk Viewer"; }
  // The window title over the plot and over the distance marks.
  static std::string PointTitle(DWORD chunk, REFERENCE_TIME t);
  static std::string DistanceTitle(DWORD distance);

 private:
  size_t m_streams = 0;
  DWORD m_maxChunk = 0;
  REFERENCE_TIME m_maxTime = 0;
  std::vector<Point> m_points;
};
