// The RealAudio codec module over libavcodec: the work behind the "RA*"
// entry points of one module (RealCodecApi.h). Each module's exports
// (RealAudioExports.cpp) pass the codec they stand for.
#pragma once

#include <cstdint>

#include "platform/codecs/real/RealCodecApi.h"

namespace realaudio {

// How the codec's bytes come in.
enum class Framing {
  Fixed,    // frames of a fixed size (14.4, 28.8, Cook, ATRAC3, Sipro)
  Whole,    // each unit is one frame (AAC)
  Swapped,  // a byte-swapped AC-3 stream, cut into frames here (DNET)
};

int32_t Open(int codecId, Framing framing, uint32_t* handle);
int32_t InitDecoder(uint32_t handle, const RAInitRecord* init);
int32_t SetFlavor(uint32_t handle, uint16_t flavor);
int32_t Decode(uint32_t handle, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* count);
int32_t Flush(uint32_t handle, uint8_t* output, uint32_t* count);
int32_t FreeDecoder(uint32_t handle);
int32_t Close(uint32_t handle);

}  // namespace realaudio
