// The D2V project text (written by a DVD-to-AVI indexing tool): its file
// list, the decoding settings chosen there, and the index of every coded
// picture with the start of each group of pictures. Reading it builds the
// GOP table and the frame table (which pictures give the two fields of each
// output frame after the field operation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct D2VGopEntry {
  uint32_t firstPicture;
  uint32_t file;
  uint64_t position;  // bytes
};

struct D2VFrameEntry {
  uint32_t top;         // picture that gives the top field
  uint32_t bottom;      // picture that gives the bottom field
  uint8_t nextShares;   // the next frame uses a picture of this one
  uint8_t prevShares;   // the previous frame uses a picture of this one
};

// How the two fields of a frame come from the pictures.
enum class D2VFrameMode { Whole, TopFromLower, BottomFromLower };

struct D2VFrameLocation {
  uint32_t target;        // the picture decoding aims at (the lower one)
  D2VFrameMode mode;
  size_t gop;             // index into the GOP table
  uint32_t gopPictures;   // pictures of that GOP, plus one
  uint32_t position;      // of the frame's last picture within the GOP
};

struct D2VProject {
  // Limits of the tables; larger projects are refused.
  static constexpr size_t kMaxFiles = 256;
  static constexpr size_t kMaxPath = 259;
  static constexpr size_t kMaxGops = 1000000;
  static constexpr size_t kMaxFrames = 1000000;
  static constexpr size_t kMaxPictures = 4000000;
  // A GOP whose pictures do not fit the engine's cache of decoded pictures.
  static constexpr uint32_t kMaxGopPictures = 1023;

  std::vector<std::string> files;
  int streamType = 0;  // 0 video elementary stream, else MPEG-2 program stream
  uint32_t streamTypeValues[2] = {};
  int idct = 1;
  int yuvRgbScale = 0;
  bool lumFilter = false;
  int lumGain = 128;
  int lumOffset = 0;
  int clipTop = 0, clipBottom = 0, clipLeft = 0, clipRight = 0;
  int resize[2] = {};
  int fieldOperation = 0;  // 0 none, 1 force film, 2 swap field order
  int frameRate = 0;       // frames per 1000 s
  int location[4] = {};

  // Index.
  uint32_t pictures = 0;
  bool topFieldFirst = false;  // of picture 0, inverted under field operation 2
  std::vector<D2VGopEntry> gops;
  std::vector<D2VFrameEntry> frames;  // trimmed and marked
  bool allProgressive = true;

  // Reads the whole project text; false with a reason in `error`.
  bool Parse(std::string_view text, std::string& error);

  // Where frame `frame` (below the frame count) comes from.
  D2VFrameLocation Locate(uint32_t frame) const;
};

// The steps of building the frame table, exposed for their own tests.
// `flags` holds one value per picture (bit 1 top_field_first, bit 0
// repeat_first_field).
std::vector<D2VFrameEntry> BuildD2VFrames(int fieldOperation, const std::vector<uint8_t>& flags);
// Drops frames from the end while they use one of the last two pictures.
void TrimD2VFrames(std::vector<D2VFrameEntry>& frames, uint32_t pictures, int fieldOperation);
// Sets the share marks of neighbouring frames.
void MarkD2VFrames(std::vector<D2VFrameEntry>& frames, int fieldOperation);

// Matches one line against a scanf-like format of literal characters,
// white space (any run, also none), %d (signed decimal) and %X
// (hexadecimal); returns the number of values converted before the first
// mismatch. Numbers outside 32 bits do not convert.
int ScanD2VLine(std::string_view line, std::string_view format, int64_t* values, int maxValues);
