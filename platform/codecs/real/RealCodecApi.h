// The calls and records of the RealVideo and RealAudio codec modules that
// a RealMedia player installs, as the decoder filters use them. Our own
// modules over libavcodec (this folder) export these entry points under
// the player's file names; docs/platform.md describes their behaviour.
//
// Instances and codec handles are 32-bit numbers, not pointers. Records are
// exchanged between this process and its own modules only, so they use the
// machine's natural layout.
#pragma once

#include <cstdint>

extern "C" {

// --- RealVideo: "RV20toYUV420*" (and the same under "RV40toYUV420*") ------

struct RVInitRecord {
  uint16_t unk1;  // 11
  uint16_t width;
  uint16_t height;
  uint16_t unk2, unk3, unk4;  // 0
  uint32_t subformat;         // the stream's sub-format word
  uint32_t unk5;              // 1
  uint32_t version;           // the codec version
};

// Message 36: the picture sizes a stream may switch between, as 2n values
// (width, height, then the extra sizes from the stream header, each
// times 4).
constexpr uint32_t kRVMessagePictureSizes = 36;
// Message 20: forget the pictures held for reordering (a seek).
constexpr uint32_t kRVMessageReset = 20;

struct RVCustomMessage {
  uint32_t id;
  uint32_t count;
  const uint32_t* values;
};

struct RVHiveMessage {
  uint32_t id;
  uint32_t value;
};

struct RVTransformIn {
  uint32_t dataLength;  // frame bytes after the slice table
  uint32_t unk1;        // 0
  uint32_t sliceCount;  // number of slices less 1
  const uint8_t* sliceTable;  // per slice: u32 1, u32 offset (little-endian)
  uint32_t unk2;              // 0
  uint32_t timestamp;         // milliseconds
};

struct RVTransformOut {
  uint32_t flags;  // bit 0: a picture was written
  uint32_t unk1;
  uint32_t timestamp;  // milliseconds, of the picture written
  uint32_t width;
  uint32_t height;
};

using RVInitFn = int32_t (*)(const RVInitRecord* init, uint32_t* instance);
using RVCustomMessageFn = int32_t (*)(const RVCustomMessage* message, uint32_t instance);
using RVHiveMessageFn = int32_t (*)(const RVHiveMessage* message, uint32_t instance);
// Decodes one frame. `output` holds at least width x height x 3 / 2 bytes
// of the init record's size; the picture is written there as planes Y, U, V
// of the produced width (pitch = width, chroma pitch = width / 2).
using RVTransformFn = int32_t (*)(const uint8_t* input, uint8_t* output, const RVTransformIn* in, RVTransformOut* out,
                                  uint32_t instance);
using RVFreeFn = int32_t (*)(uint32_t instance);

// --- RealAudio: "RA*" ------------------------------------------------------

#pragma pack(push, 1)
struct RAInitRecord {
  uint32_t sampleRate;
  uint16_t bitsPerSample;
  uint16_t channels;
  uint16_t unk1;            // 100
  uint32_t subPacketSize;   // sub-packet size of the stream header
  uint32_t codedFrameSize;  // the decoding unit
  uint32_t codecDataLength;
  const uint8_t* codecData;
};
#pragma pack(pop)

using RAOpenCodecFn = int32_t (*)(uint32_t* handle);
using RAOpenCodec2Fn = int32_t (*)(uint32_t* handle, const char* folder);
using RAInitDecoderFn = int32_t (*)(uint32_t handle, const RAInitRecord* init);
using RASetFlavorFn = int32_t (*)(uint32_t handle, uint16_t flavor);
// Decodes one unit into 16-bit PCM at the init record's rate and channels.
// `output` holds one second of that PCM; *count gets the bytes written.
using RADecodeFn = int32_t (*)(uint32_t handle, const uint8_t* input, uint32_t length, uint8_t* output,
                               uint32_t* count, uint32_t flags);
using RAFlushFn = int32_t (*)(uint32_t handle, uint8_t* output, uint32_t* count);
using RAFreeDecoderFn = int32_t (*)(uint32_t handle);
using RACloseCodecFn = int32_t (*)(uint32_t handle);
using RAGetFlavorPropertyFn = void* (*)(uint32_t handle, uint16_t flavor, uint16_t property, uint16_t* length);
using RASetDLLAccessPathFn = int32_t (*)(const char* path);

}  // extern "C"
