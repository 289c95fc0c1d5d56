// Writes a DSM file for the end-to-end cases from the MPEG-4 part 2 and
// MP3 streams of media files.
//
//   dsm-mux OUT.dsm INPUT...
#include <cstdio>

#include "tests/splitters/dsm/DsmWriter.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUT.dsm INPUT...\n", argv[0]);
    return 2;
  }
  const dsmtest::Bytes dsm = dsmtest::MuxFiles(std::vector<std::string>(argv + 2, argv + argc));
  if (dsm.empty()) {
    fprintf(stderr, "cannot read MPEG-4 part 2 or MP3 streams from the inputs\n");
    return 1;
  }
  FILE* f = fopen(argv[1], "wb");
  if (!f || fwrite(dsm.data(), 1, dsm.size(), f) != dsm.size()) {
    fprintf(stderr, "cannot write %s\n", argv[1]);
    if (f) fclose(f);
    return 1;
  }
  fclose(f);
  return 0;
}
