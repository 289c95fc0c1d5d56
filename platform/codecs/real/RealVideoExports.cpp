// The entry points of one RealVideo module. PELLOMAR_RV_CODEC names the
// libavcodec decoder and PELLOMAR_RV_FAMILY the name family the module
// exports ("RV20toYUV420" or "RV40toYUV420"), as the player's own modules
// do.
#include "platform/codecs/real/RealVideoModule.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#define PELLOMAR_JOIN2(a, b) a##b
#define PELLOMAR_JOIN(a, b) PELLOMAR_JOIN2(a, b)
#define PELLOMAR_EXPORT(name) \
  extern "C" __attribute__((visibility("default"))) int32_t PELLOMAR_JOIN(PELLOMAR_RV_FAMILY, name)

PELLOMAR_EXPORT(Init)(const RVInitRecord* init, uint32_t* instance) {
  return realvideo::Init(PELLOMAR_RV_CODEC, init, instance);
}
PELLOMAR_EXPORT(CustomMessage)(const RVCustomMessage* message, uint32_t instance) {
  return realvideo::CustomMessage(message, instance);
}
PELLOMAR_EXPORT(HiveMessage)(const RVHiveMessage* message, uint32_t instance) {
  return realvideo::HiveMessage(message, instance);
}
PELLOMAR_EXPORT(Transform)(const uint8_t* input, uint8_t* output, const RVTransformIn* in, RVTransformOut* out,
                           uint32_t instance) {
  return realvideo::Transform(input, output, in, out, instance);
}
PELLOMAR_EXPORT(Free)(uint32_t instance) { return realvideo::Free(instance); }
