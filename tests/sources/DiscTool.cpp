// Makes the disc forms of the end-to-end cases from ffmpeg's output:
//
//   disc-tool titleset STREAM.vob ROOT   a DVD title set in ROOT/VIDEO_TS,
//                                        the title cut in two VOB files
//   disc-tool cd SOUND.pcm DIR           DIR/disc.cue, .bin and .cdt: the
//                                        16-bit stereo sound as track 1, a
//                                        data track 2, CD-TEXT of track 1
//   disc-tool cdxa STREAM.mpg OUT.dat    a CDXA file of the stream behind
//                                        two sectors of padding
#include <cstdio>
#include <cstring>

#include "tests/sources/DiscImages.h"

using namespace disctest;

int main(int argc, char** argv) {
  Bytes in;
  if (argc != 4 || !ReadAll(argv[2], in)) {
    fprintf(stderr, "usage: %s titleset|cd|cdxa INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1], out = argv[3];
  bool ok = false;
  if (mode == "titleset") {
    if (in.size() % 2048) {
      fprintf(stderr, "%s is not a whole number of sectors\n", argv[2]);
      return 1;
    }
    ok = WriteTitleSet(out, in, {in.size() / 2048 / 2});
  } else if (mode == "cd") {
    const size_t audio = (in.size() + 2351) / 2352;
    in.resize(audio * 2352 + 300 * 2352, 0);  // the data track: 300 sectors
    char index[32];
    snprintf(index, sizeof index, "%02zu:%02zu:%02zu", audio / 4500, audio / 75 % 60, audio % 75);
    uint8_t sequence = 0;
    Bytes text = CdTextStrings(0x80, 0, {"Test Disc", "Test Tone"}, sequence);
    const Bytes artists = CdTextStrings(0x81, 0, {"Pellomar", "Tone Maker"}, sequence);
    text.insert(text.end(), artists.begin(), artists.end());
    ok = WriteCdImage(out, {{1, true, "00:00:00"}, {2, false, index}}, in, &text);
  } else if (mode == "cdxa") {
    ok = WriteAll(out, WrapCdxa(in, 2));
  }
  if (!ok) fprintf(stderr, "could not write %s\n", out.c_str());
  return ok ? 0 : 1;
}
