// Writes an OGM file for the end-to-end cases: the frames of an MPEG-4
// part 2 elementary stream as an OGM video stream beside the Vorbis stream
// of an Ogg file.
//
//   ogm-mux VIDEO.m4v AUDIO.ogg WIDTH HEIGHT OUT.ogm
#include <cstdio>
#include <cstdlib>

#include "tests/splitters/ogg/OggWriter.h"

namespace {

bool Load(const char* path, oggtest::Bytes& out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s VIDEO.m4v AUDIO.ogg WIDTH HEIGHT OUT.ogm\n", argv[0]);
    return 2;
  }
  oggtest::Bytes video, audio;
  if (!Load(argv[1], video) || !Load(argv[2], audio)) {
    fprintf(stderr, "cannot read the inputs\n");
    return 1;
  }
  const oggtest::Bytes ogm = oggtest::BuildOgm(video, audio, atoi(argv[3]), atoi(argv[4]));
  FILE* f = fopen(argv[5], "wb");
  if (!f || fwrite(ogm.data(), 1, ogm.size(), f) != ogm.size()) {
    fprintf(stderr, "cannot write %s\n", argv[5]);
    if (f) fclose(f);
    return 1;
  }
  fclose(f);
  return 0;
}
