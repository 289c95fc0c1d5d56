// Writes a D2V project for MPEG-2 files, as the indexing tool would.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tests/sources/d2v/D2VTestProject.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PROJECT [--ps] [--idct N] [--field-op N] [--rate N] FILE...\n", argv[0]);
    return 2;
  }
  D2VProjectOptions o;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ps") {
      o.programStream = true;
    } else if ((a == "--idct" || a == "--field-op" || a == "--rate") && i + 1 < argc) {
      const int v = std::atoi(argv[++i]);
      (a == "--idct" ? o.idct : a == "--field-op" ? o.fieldOperation : o.frameRate) = v;
    } else {
      files.push_back(a);
    }
  }
  try {
    WriteD2VProject(argv[1], files, o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
