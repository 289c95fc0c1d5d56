// The entry points of one RealAudio module. PELLOMAR_RA_CODEC names the
// libavcodec decoder and PELLOMAR_RA_FRAMING how its bytes come in.
#include "platform/codecs/real/RealAudioModule.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#define PELLOMAR_EXPORT extern "C" __attribute__((visibility("default")))

PELLOMAR_EXPORT int32_t RAOpenCodec(uint32_t* handle) {
  return realaudio::Open(PELLOMAR_RA_CODEC, realaudio::Framing::PELLOMAR_RA_FRAMING, handle);
}
PELLOMAR_EXPORT int32_t RAOpenCodec2(uint32_t* handle, const char*) { return RAOpenCodec(handle); }
PELLOMAR_EXPORT int32_t RAInitDecoder(uint32_t handle, const RAInitRecord* init) {
  return realaudio::InitDecoder(handle, init);
}
PELLOMAR_EXPORT int32_t RASetFlavor(uint32_t handle, uint16_t flavor) { return realaudio::SetFlavor(handle, flavor); }
PELLOMAR_EXPORT int32_t RADecode(uint32_t handle, const uint8_t* input, uint32_t length, uint8_t* output,
                                 uint32_t* count, uint32_t) {
  return realaudio::Decode(handle, input, length, output, count);
}
PELLOMAR_EXPORT int32_t RAFlush(uint32_t handle, uint8_t* output, uint32_t* count) {
  return realaudio::Flush(handle, output, count);
}
PELLOMAR_EXPORT int32_t RAFreeDecoder(uint32_t handle) { return realaudio::FreeDecoder(handle); }
PELLOMAR_EXPORT int32_t RACloseCodec(uint32_t handle) { return realaudio::Close(handle); }
// No flavor properties are kept: the decoders know their own frames.
PELLOMAR_EXPORT void* RAGetFlavorProperty(uint32_t, uint16_t, uint16_t, uint16_t* length) {
  if (length) *length = 0;
  return nullptr;
}
// The modules need no further files of their folder.
PELLOMAR_EXPORT int32_t RASetDLLAccessPath(const char*) { return 0; }
