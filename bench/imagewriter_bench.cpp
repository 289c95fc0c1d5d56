// Times our PNG and GIF writers on a 1920x1080 24-bit picture against the
// ffmpeg tool writing the same picture in the same run, and prints the ratio
// (below 1: we are faster). Our time covers loading the picture and saving
// it, in this process; ffmpeg's is its whole run (start, read, encode,
// write), so the ratio flatters ffmpeg's encoders slightly.
//
//   imagewriter_bench [picture.ppm]     the comparison (a test picture is
//                                       made with ffmpeg when none is given)
//   imagewriter_bench --save in.ppm out.png|out.gif
//                                       one save, for timing whole processes
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "imagewriter/Picture.h"

namespace {

// Reads a binary PPM (P6, maxval 255) into a 24-bit picture.
bool LoadPpm(const char* path, CPicture& picture) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  unsigned width = 0, height = 0, maxval = 0;
  const bool header = std::fscanf(f, "P6 %u %u %u", &width, &height, &maxval) == 3 && maxval == 255 &&
                      std::fgetc(f) != EOF && width > 0 && height > 0 && width < 65536 && height < 65536;
  std::vector<unsigned char> rgb(header ? static_cast<size_t>(width) * height * 3 : 0);
  const bool read = header && std::fread(rgb.data(), 1, rgb.size(), f) == rgb.size();
  std::fclose(f);
  if (!read) return false;
  for (size_t i = 0; i < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);  // stored order is blue first
  return picture.CreateFromArray(rgb.data(), width, height, 24, width * 3, true);
}

DWORD FormatOf(const std::string& path) {
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".gif") == 0) return PICTURE_FORMAT_GIF;
  return PICTURE_FORMAT_PNG;
}

bool SaveOnce(const char* in, const char* out) {
  CPicture picture;
  if (!LoadPpm(in, picture)) return false;
  if (!picture.Save(out, FormatOf(out))) {
    std::fprintf(stderr, "%s\n", picture.GetLastError());
    return false;
  }
  return true;
}

template <typename Fn>
double BestMs(Fn&& fn, int rounds) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!fn()) return -1;
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

long FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return -1;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fclose(f);
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--save") == 0) return SaveOnce(argv[2], argv[3]) ? 0 : 1;

  const std::string dir = "/tmp/pellomar_imagewriter_bench_" + std::to_string(::getpid());
  if (std::system(("mkdir -p " + dir).c_str()) != 0) return 1;
  std::string picture = argc > 1 ? argv[1] : dir + "/picture.ppm";
  if (argc <= 1) {
    // Test pattern with grain, so that neither coder sees only flat areas.
    const std::string make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080 -vf noise=alls=12:allf=t "
                             "-frames:v 1 " + picture;
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "could not make the test picture with ffmpeg\n");
      return 1;
    }
  }
  std::printf("%-6s %10s %12s %8s %12s %12s\n", "format", "ours ms", "ffmpeg ms", "ratio", "our bytes", "ffmpeg bytes");
  for (const char* ext : {"png", "gif"}) {
    const std::string ours = dir + "/ours." + ext;
    const std::string theirs = dir + "/ffmpeg." + ext;
    const std::string ffmpeg = "ffmpeg -v error -y -i " + picture + " -frames:v 1 " + theirs;
    const double ourMs = BestMs([&] { return SaveOnce(picture.c_str(), ours.c_str()); }, 5);
    const double ffMs = BestMs([&] { return std::system(ffmpeg.c_str()) == 0; }, 5);
    if (ourMs < 0 || ffMs < 0) {
      std::fprintf(stderr, "%s: a run failed\n", ext);
      return 1;
    }
    std::printf("%-6s %10.1f %12.1f %8.2f %12ld %12ld\n", ext, ourMs, ffMs, ourMs / ffMs, FileSize(ours),
                FileSize(theirs));
  }
  if (std::system(("rm -rf " + dir).c_str()) != 0) return 1;
  return 0;
}
