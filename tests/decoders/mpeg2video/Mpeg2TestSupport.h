// Shared helpers of the MPEG video decoder tests: sample files, FFmpeg as
// the independent reference decoder, and a driver that runs CMpeg2Dec over a
// stream the way the decoder filter does.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct TestFrame {
  int width = 0, height = 0;  // displayed (coded picture) size
  std::vector<uint8_t> y, u, v;
  int chromaWidth = 0, chromaHeight = 0;  // of u and v (the reference decoder's)
  int codingType = 0;         // 1 I, 2 P, 3 B (0 for the reference decoder)
};

std::string TestDataPath(const std::string& name);
std::vector<uint8_t> ReadTestFile(const std::string& name);

// The video elementary stream of a file (the file itself for .m1v/.m2v,
// demuxed with libavformat for program streams).
std::vector<uint8_t> VideoElementaryStream(const std::string& name);

// Every frame in display order, decoded by libavcodec single-threaded.
std::vector<TestFrame> ReferenceDecode(const std::vector<uint8_t>& es);

struct DecodeRun {
  std::vector<TestFrame> frames;
  std::vector<int> states;    // every non-zero Parse result, in order
  int invalid = 0;            // number of state 9 results
};

// Runs CMpeg2Dec over es in pieces of random size (1 .. maxPiece bytes),
// collecting every displayed frame at states 7 and 8, and flushes at the end.
DecodeRun OurDecode(const std::vector<uint8_t>& es, size_t maxPiece, uint32_t seed, bool flush = true);

// PSNR of two frames over all three planes (99 when identical).
double Psnr(const TestFrame& a, const TestFrame& b);
