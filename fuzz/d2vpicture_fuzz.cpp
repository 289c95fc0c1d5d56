// libFuzzer target over the D2V engine's picture decoding: the input is the
// MPEG file of a project written here. The first two bytes choose the
// stream type, inverse DCT, field operation and how many pictures and GOPs
// the index claims; the frames are then asked for in order and out of it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sources/d2v/D2VDecoder.h"

namespace {

// One in-memory file, rewritten for every input.
int MemoryFile() {
  static const int fd = memfd_create("d2vpicture", 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t a = data[0], b = data[1];
  data += 2;
  size -= 2;
  const int fd = MemoryFile();
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  const int pictures = 3 + (b & 31);
  const int gops = 1 + ((b >> 5) & 3);
  std::string text = "DVD2AVIProjectFile\n1\n" + std::to_string(path.size()) + " " + path + "\n";
  text += "Stream_Type=" + std::to_string(a & 1) + ",0,0\niDCT_Algorithm=" + std::to_string(1 + ((a >> 1) & 3)) +
          "\nYUVRGB_Scale=1\nLuminance=" + std::string((a & 8) ? "140,-5" : "128,0") +
          "\nPicture_Size=" + std::string((a & 16) ? "2,4,8,6" : "0,0,0,0") + ",0,0\nField_Operation=" +
          std::to_string(((a >> 5) & 3) % 3) + "\nFrame_Rate=25000\nLocation=0,0,0,0\n";
  for (int p = 0; p < pictures; ++p) {
    if (p % ((pictures + gops - 1) / gops) == 0) {
      char gop[48];
      std::snprintf(gop, sizeof gop, "7 0 %X ", static_cast<unsigned>((size / 2048) * p / pictures));
      text += gop;
    }
    text += std::to_string((p * 7 + a) % 4) + " ";
  }
  text += "9\n";

  CD2VDecoder engine;
  if (!engine.OpenText(text, CD2VDecoder::kYuy2)) return 0;
  std::vector<uint8_t> out(engine.FrameBytes());
  const ptrdiff_t pitch = engine.Width() * 2;
  const uint32_t frames = engine.FrameCount();
  for (uint32_t f = 0; f < frames; ++f) engine.GetFrame(out.data(), f, pitch);
  for (uint32_t f = frames; f-- > 0;) engine.GetFrame(out.data(), f, pitch);
  static volatile uint8_t sink;
  sink = out.empty() ? 0 : out.back();
  return 0;
}
