// Test helpers: reading samples, FFmpeg as an independent reference decoder
// and demuxer, and the comparison of two decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DecodedAudio {
  int rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
  size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

struct DemuxedAudio {
  int rate = 0;
  int channels = 0;
  std::vector<uint8_t> extradata;
  std::vector<std::vector<uint8_t>> packets;
};

std::string TestDataPath(const char* name);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// Decodes the first audio stream of a file with FFmpeg's own decoder (or the
// named one).
DecodedAudio DecodeWithFFmpeg(const std::string& path, const char* decoderName = nullptr);
// The first audio stream's packets and configuration.
DemuxedAudio DemuxWithFFmpeg(const std::string& path);

// Signal-to-noise ratio in dB of test against ref (interleaved, same channel
// count) at the alignment that fits best within maxShift frames either way.
double AlignedSnrDb(const std::vector<float>& ref, const std::vector<float>& test, int channels, int maxShift);
