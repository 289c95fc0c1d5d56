// The RealVideo codec module over libavcodec: the work behind the five
// entry points of one "drv*.so" module (RealCodecApi.h). Each module's
// exports (RealVideoExports.cpp) pass the libavcodec decoder they stand for.
#pragma once

#include <cstdint>

#include "platform/codecs/real/RealCodecApi.h"

namespace realvideo {

// codecId is an AVCodecID.
int32_t Init(int codecId, const RVInitRecord* init, uint32_t* instance);
int32_t CustomMessage(const RVCustomMessage* message, uint32_t instance);
int32_t HiveMessage(const RVHiveMessage* message, uint32_t instance);
int32_t Transform(const uint8_t* input, uint8_t* output, const RVTransformIn* in, RVTransformOut* out,
                  uint32_t instance);
int32_t Free(uint32_t instance);

}  // namespace realvideo
