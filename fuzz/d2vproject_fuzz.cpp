// libFuzzer target over the D2V project reader: any text is read into the
// settings, GOP table and frame table, and every frame is located.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sources/d2v/D2VProject.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  D2VProject project;
  std::string error;
  if (!project.Parse(std::string_view(reinterpret_cast<const char*>(data), size), error)) return 0;
  uint64_t sum = 0;
  for (uint32_t f = 0; f < project.frames.size(); ++f) {
    const D2VFrameLocation l = project.Locate(f);
    // What the engine relies on: the GOP exists and holds the frame.
    if (l.gop >= project.gops.size() || l.position > l.gopPictures) __builtin_trap();
    sum += l.position;
  }
  static volatile uint64_t sink;
  sink = sum;
  return 0;
}
