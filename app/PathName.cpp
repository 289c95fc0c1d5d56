#include "app/PathName.h"

namespace {
constexpr const char* kSeparators = "/\\";
}

size_t PathExtensionPoint(const std::string& path) {
  const size_t slash = path.find_last_of(kSeparators);
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string::npos;
  return dot;
}

std::string PathExtension(const std::string& path) {
  const size_t dot = PathExtensionPoint(path);
  return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

std::string PathWithoutExtension(const std::string& path) {
  const size_t dot = PathExtensionPoint(path);
  return dot == std::string::npos ? path : path.substr(0, dot);
}

std::string PathWithExtension(const std::string& path, const std::string& extension) {
  return PathWithoutExtension(path) + extension;
}

std::string PathFolder(const std::string& path) {
  const size_t slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string PathFileName(const std::string& path) {
  const size_t slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithTrailingSeparator(const std::string& folder) {
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder;
  return folder + '/';
}

std::string TrimBlanks(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}
