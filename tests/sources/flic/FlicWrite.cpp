// Writes an FLC file from raw 8-bit palettised frames (ffmpeg's rawvideo
// pal8 output: each frame's indexes followed by its 256-entry palette), for
// the end-to-end cases.
//
//   flic-write IN.pal8 WIDTH HEIGHT SPEED_MS OUT.flc
#include <cstdio>
#include <cstdlib>

#include "tests/sources/flic/FlicWriter.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s IN.pal8 WIDTH HEIGHT SPEED_MS OUT.flc\n", argv[0]);
    return 2;
  }
  const int w = atoi(argv[2]), h = atoi(argv[3]);
  FILE* in = fopen(argv[1], "rb");
  if (!in || w < 1 || h < 1) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<flictest::Frame> frames;
  flictest::Bytes last;
  flictest::Bytes buf(size_t(w) * h + 1024);
  while (fread(buf.data(), 1, buf.size(), in) == buf.size()) {
    flictest::Frame f;
    f.pixels.assign(buf.begin(), buf.begin() + long(w) * h);
    flictest::Bytes rgb;
    for (int i = 0; i < 256; i++) {
      const uint8_t* e = &buf[size_t(w) * h + 4 * i];  // B G R A
      rgb.insert(rgb.end(), {e[2], e[1], e[0]});
    }
    if (rgb != last) f.palette = last = rgb;
    frames.push_back(std::move(f));
  }
  fclose(in);
  flictest::Options o;
  o.speed = atoi(argv[4]);
  const flictest::Bytes flc = flictest::Write(w, h, frames, o);
  FILE* out = fopen(argv[5], "wb");
  if (frames.empty() || !out || fwrite(flc.data(), 1, flc.size(), out) != flc.size()) {
    fprintf(stderr, "cannot write %s\n", argv[5]);
    if (out) fclose(out);
    return 1;
  }
  return fclose(out) == 0 ? 0 : 1;
}
