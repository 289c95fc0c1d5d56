// Readers of the container headers of AVI, WMV/ASF and RealMedia files.
//
// The source probe does not trust the media types that these containers'
// source filters offer; it reads the file's own header into one stream
// information record and describes the source from that. The record keeps
// the byte layout the probe was written against (830 bytes, packed), with
// the regions nothing reads left reserved.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32/Types.h"

#pragma pack(push, 1)
struct AudioStreamInfo {
  WORD formatTag;
  char codecName[134];  // zero-terminated
  BYTE channels;
  BYTE reserved0[4];
  DWORD sampleRate;      // Hz
  DWORD bytesPerSecond;
  DWORD duration;        // seconds
  BYTE reserved1[4];
};

struct StreamInfo {
  static constexpr int kMaxAudio = 3;

  BYTE reserved0[133];
  DWORD fileSize;        // low 32 bits
  DWORD headerSize;      // low 32 bits
  DWORD duration;        // whole seconds
  BYTE reserved1[2];
  char videoFourCC[5];   // four characters and a zero
  char videoCodecName[130];  // zero-terminated
  BYTE reserved2[44];
  DWORD videoWidth;
  DWORD videoHeight;
  DWORD videoFrameCount; // ASF: the data packet count
  DWORD videoFrameRate;  // thousandths of a frame per second
  DWORD videoDuration;   // whole seconds
  BYTE reserved3[4];
  DWORD videoBytesPerSecond;
  BYTE audioCount;
  BYTE reserved4[4];
  AudioStreamInfo audio[kMaxAudio];
};
#pragma pack(pop)

static_assert(sizeof(AudioStreamInfo) == 157);
static_assert(sizeof(StreamInfo) == 830);
static_assert(offsetof(StreamInfo, fileSize) == 133);
static_assert(offsetof(StreamInfo, videoFourCC) == 147);
static_assert(offsetof(StreamInfo, videoWidth) == 326);
static_assert(offsetof(StreamInfo, videoBytesPerSecond) == 350);
static_assert(offsetof(StreamInfo, audio) == 359);

// The record the probe fills; cleared by the probe before a reader runs.
extern StreamInfo g_StreamInfo;

// Only this much of a file is looked at at a time.
constexpr size_t kHeaderBlockSize = 16384;

// 0 on success. -1: the file cannot be opened or read; -2: the block is not
// an ASF header, so the caller describes the source another way.
int ReadAsfHeaderInfo(const std::string& path, StreamInfo& info = g_StreamInfo);
// 0 on success. -1 cannot open, -2 shorter than 512 bytes, -3 the first
// stream is not video, -4 not a RIFF AVI file, -5 no stream.
int ReadAviHeaderInfo(const std::string& path, StreamInfo& info = g_StreamInfo);
// 0 on success, -1 when the file cannot be opened or read, -2 when it is not
// a RealMedia file.
int ReadRealMediaHeaderInfo(const std::string& path, StreamInfo& info = g_StreamInfo);

// Derives the durations, frame count and frame rate the header left out.
void FinishStreamInfo(StreamInfo& info = g_StreamInfo);
