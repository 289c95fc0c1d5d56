// Turns a disc image into the input form of udf_fuzz: its sector count and
// each sector that holds anything but zeros.
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
    bool empty = true;
    for (unsigned char b : image[s]) empty = empty && b == 0;
    if (empty) continue;
    fputc(static_cast<int>(s & 0xFF), out);
    fputc(static_cast<int>(s >> 8), out);
    fwrite(image[s].data(), 1, image[s].size(), out);
  }
  fclose(in);
  return fclose(out) == 0 ? 0 : 1;
}
