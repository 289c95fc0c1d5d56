// Writes D2V projects for MPEG-2 streams made by ffmpeg, as the indexing
// tool would: it scans the video (an elementary stream, or the PES packets
// of stream 0xE0 of a program stream) for the start of every GOP with its
// file and 2048-byte sector, and for the flags of every picture
// (top_field_first, repeat_first_field) in stream order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct D2VScannedGop {
  uint32_t file;
  uint64_t sector;
  uint32_t firstPicture;
};

struct D2VScan {
  std::vector<uint8_t> flags;  // per picture: bit 1 top_field_first, bit 0 repeat_first_field
  std::vector<int> types;      // per picture: 1 I, 2 P, 3 B
  std::vector<D2VScannedGop> gops;
};

// The files are read as one stream, one after the other.
D2VScan ScanForD2V(const std::vector<std::string>& files, bool programStream);

struct D2VProjectOptions {
  bool programStream = false;
  int idct = 4;
  int fieldOperation = 0;
  int frameRate = 25000;
  std::string luminance = "Luminance=128,0";
  int clip[4] = {0, 0, 0, 0};  // top, bottom, left, right
};

// The project text for the files and their scan.
std::string D2VProjectText(const std::vector<std::string>& files, const D2VScan& scan,
                           const D2VProjectOptions& options);
// Scans the files and writes their project to `path`.
void WriteD2VProject(const std::string& path, const std::vector<std::string>& files,
                     const D2VProjectOptions& options);

// Rewrites top_field_first and repeat_first_field of the pictures of an
// elementary stream in place from `flags` (one per picture, in stream
// order, cycled): pull-down flags on ffmpeg's progressive pictures, which
// change how they are shown, not how they decode.
void SetPictureFlags(std::vector<uint8_t>& es, const std::vector<uint8_t>& flags);

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
