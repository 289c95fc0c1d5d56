#include "conversion/PictureNames.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kPrefix[] = "img_";
constexpr char kSuffix[] = ".jpg";

}  // namespace

std::string PictureName(long number) { return kPrefix + std::to_string(number) + kSuffix; }

long PictureNumber(const char* name) {
  const size_t prefix = sizeof(kPrefix) - 1;
  if (!name || std::strncmp(name, kPrefix, prefix) != 0 || name[prefix] < '1' || name[prefix] > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(name + prefix, &end, 10);
  return errno == 0 && std::strcmp(end, kSuffix) == 0 ? n : -1;
}
