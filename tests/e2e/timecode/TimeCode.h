// The time code of the test material, shared by its writer (tc-gen) and its
// reader (tc-check).
//
// Picture: 160x120 at 25 frames/s. A mid-grey margin (so that the reader can
// tell the picture from black or white bars a target's fit adds) around a
// 6x6 grid of black and white cells, laid out in the picture's own relative
// coordinates so that the grid maps onto itself under every turn and mirror,
// whatever the target's shape:
//   - six fixed cells: the top-left corner and its right neighbour white, its
//     lower neighbour and the three other corners black. No turn or mirror
//     maps this set onto itself, so it tells the orientation, and it gives
//     the black and white levels;
//   - the four centre cells hold the frame number in digits for a person;
//   - the other 26 cells hold 13 bits as pairs of opposite cells (a bit is
//     which of its two cells is the brighter one, so no level has to survive
//     an encoder): 12 bits of frame number and an even parity bit.
// Every frame carries its own number; frame N belongs at N / 25 s.
//
// Sound: second S of the material is a tone of 300 + 100 * (S mod 28) Hz,
// phase-continuous, the same in every channel: all of it lies below 3.4 kHz,
// so it passes AMR-NB at 8 kHz as well as the wide-band codecs. Tones 100 Hz
// apart fall on each other's nulls in a 20 ms window, so 20 ms of sound tell
// their second and the boundaries between seconds read to a few ms.
#pragma once

#include <array>
#include <cstdint>

namespace timecode {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kRate = 25;
constexpr int kGrid = 6;
// Grey around the grid: the same share of each side, so a quarter turn
// moves the grid onto itself.
constexpr int kMarginX = 8, kMarginY = 6;
constexpr uint8_t kBlack = 16, kWhite = 235, kGrey = 128;

constexpr int kNumberBits = 12;
constexpr int kBits = kNumberBits + 1;  // with the parity bit
constexpr int kMaxFrame = (1 << kNumberBits) - 1;

constexpr int kTones = 28;
constexpr double ToneHz(int second) { return 300.0 + 100.0 * (((second % kTones) + kTones) % kTones); }

enum class Cell : uint8_t { White, Black, Digits, Data };

struct Pos {
  int row, col;
};

// What each cell of the grid holds, row by row.
constexpr Cell CellKind(int row, int col) {
  if (row == 0 && (col == 0 || col == 1)) return Cell::White;
  if ((row == 1 && col == 0) || (row == 0 && col == kGrid - 1) || (row == kGrid - 1 && col == 0) ||
      (row == kGrid - 1 && col == kGrid - 1))
    return Cell::Black;
  if ((row == 2 || row == 3) && (col == 2 || col == 3)) return Cell::Digits;
  return Cell::Data;
}

// The data cells in row order; cells 2k and 2k+1 carry bit k (2k white for 1).
inline std::array<Pos, 2 * kBits> DataCells() {
  std::array<Pos, 2 * kBits> cells{};
  int n = 0;
  for (int r = 0; r < kGrid; ++r)
    for (int c = 0; c < kGrid; ++c)
      if (CellKind(r, c) == Cell::Data) cells[n++] = {r, c};
  return cells;
}

// The 13 bits of a frame number, parity last (even over all 13).
inline std::array<bool, kBits> Encode(int frame) {
  std::array<bool, kBits> bits{};
  int ones = 0;
  for (int i = 0; i < kNumberBits; ++i) {
    bits[i] = (frame >> (kNumberBits - 1 - i)) & 1;
    ones += bits[i];
  }
  bits[kNumberBits] = ones & 1;
  return bits;
}

// The eight orientations: where the picture's own cell (row, col) is seen in
// the target's grid. Index 0 is upright; 1-3 turned 90, 180, 270 degrees
// clockwise; 4 mirrored left-right, 5-7 mirrored then turned.
constexpr const char* kOrientationNames[8] = {"upright", "turned 90", "turned 180", "turned 270",
                                              "mirrored", "mirrored turned 90", "mirrored turned 180",
                                              "mirrored turned 270"};

constexpr Pos Seen(int orientation, Pos p) {
  const int n = kGrid - 1;
  if (orientation >= 4) p = {p.row, n - p.col};
  for (int k = 0; k < orientation % 4; ++k) p = {p.col, n - p.row};  // a quarter turn clockwise
  return p;
}

}  // namespace timecode
