// Turns a disc image into the input form of udf_fuzz: its sector count and
// each sector that holds anything but zeros, without its trailing zeros.
//
//   udf_fuzz_seed IMAGE OUT
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s IMAGE OUT\n", argv[0]);
    return 2;
  }
  FILE* in = fopen(argv[1], "rb");
  FILE* out = fopen(argv[2], "wb");
  if (!in || !out) return 1;
  std::vector<unsigned char> sector(2048);
  std::vector<std::vector<unsigned char>> image;
  while (fread(sector.data(), 1, sector.size(), in) == sector.size()) image.push_back(sector);
  if (image.size() > 0xFFFF) return 1;
  fputc(static_cast<int>(image.size() & 0xFF), out);
  fputc(static_cast<int>(image.size() >> 8), out);
  for (size_t s = 0; s < image.size(); ++s) {
    size_t used = image[s].size();
    while (used > 0 && image[s][used - 1] == 0) --used;
    if (used == 0) continue;
    for (size_t v : {s & 0xFF, s >> 8, used & 0xFF, used >> 8}) fputc(static_cast<int>(v), out);
    fwrite(image[s].data(), 1, used, out);
  }
  fclose(in);
  return fclose(out) == 0 ? 0 : 1;
}
