#include "platform/win32/Drives.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct Drive {
  std::string target;
  std::string folder;
};

std::mutex g_lock;
std::map<char, Drive>* g_drives = nullptr;

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return std::string();
  return buffer;
}

// The folder a block device is mounted on, from the mount table; empty when
// it is not mounted. Octal escapes of the table (\040 for a blank) are
// undone.
std::string MountPointOf(const std::string& device) {
  const std::string real = RealPath(device);
  if (real.empty()) return std::string();
  FILE* f = std::fopen("/proc/self/mounts", "r");
  if (!f) return std::string();
  auto unescape = [](const char* s) {
    std::string out;
    for (size_t i = 0; s[i]; ++i) {
      if (s[i] == '\\' && s[i + 1] >= '0' && s[i + 1] <= '7' && s[i + 2] && s[i + 3]) {
        out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
        i += 3;
      } else {
        out.push_back(s[i]);
      }
    }
    return out;
  };
  std::string found;
  char line[4096];
  while (found.empty() && std::fgets(line, sizeof line, f)) {
    char source[2048], point[2048];
    if (std::sscanf(line, "%2047s %2047s", source, point) != 2) continue;
    if (RealPath(unescape(source)) == real) found = unescape(point);
  }
  std::fclose(f);
  return found;
}

// Called with the lock held.
std::map<char, Drive>& Drives() {
  if (g_drives) return *g_drives;
  g_drives = new std::map<char, Drive>();
  const char* env = std::getenv("PELLOMAR_DRIVES");
  if (!env) {
    (*g_drives)['D'] = Drive{"/dev/sr0", ""};
    return *g_drives;
  }
  const std::string map = env;
  size_t start = 0;
  while (start <= map.size()) {
    size_t end = map.find(';', start);
    if (end == std::string::npos) end = map.size();
    const std::string entry = map.substr(start, end - start);
    start = end + 1;
    if (entry.size() < 3 || entry[1] != '=' || !std::isalpha(static_cast<unsigned char>(entry[0]))) continue;
    std::string target = entry.substr(2), folder;
    if (size_t bar = target.find('|'); bar != std::string::npos) {
      folder = target.substr(bar + 1);
      target.resize(bar);
    }
    if (!target.empty())
      (*g_drives)[static_cast<char>(std::toupper(static_cast<unsigned char>(entry[0])))] = Drive{target, folder};
  }
  return *g_drives;
}

}  // namespace

void SetDriveTarget(char letter, const std::string& target, const std::string& folder) {
  if (!std::isalpha(static_cast<unsigned char>(letter))) return;
  const char key = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  std::lock_guard<std::mutex> lock(g_lock);
  if (target.empty())
    Drives().erase(key);
  else
    Drives()[key] = Drive{target, folder};
}

bool GetDriveTarget(char letter, std::string* target, std::string* folder) {
  if (!std::isalpha(static_cast<unsigned char>(letter))) return false;
  Drive drive;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = Drives().find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    if (it == Drives().end()) return false;
    drive = it->second;
  }
  if (target) *target = drive.target;
  if (folder) {
    *folder = drive.folder;
    struct stat st {};
    if (folder->empty() && ::stat(drive.target.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
      *folder = MountPointOf(drive.target);
  }
  return true;
}

char DriveOfPath(const std::string& path, std::string* onDrive) {
  std::string dir = path;
  std::replace(dir.begin(), dir.end(), '\\', '/');
  const size_t slash = dir.find_last_of('/');
  const std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  dir = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : dir.substr(0, slash);
  const std::string real = RealPath(dir);
  if (real.empty()) return 0;
  std::map<char, Drive> drives;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    drives = Drives();
  }
  for (const auto& [letter, drive] : drives) {
    std::string folder;
    if (!GetDriveTarget(letter, nullptr, &folder) || folder.empty()) continue;
    std::string root = RealPath(folder);
    if (root.empty()) continue;
    if (root.back() != '/') root.push_back('/');
    const std::string inside = real + "/";
    if (inside.compare(0, root.size(), root) == 0) {
      if (onDrive) *onDrive = inside.substr(root.size()) + name;
      return letter;
    }
  }
  return 0;
}

char DeviceNameLetter(LPCSTR name) {
  if (!name) return 0;
  auto sep = [](char c) { return c == '\\' || c == '/'; };
  if (std::strlen(name) != 6 || !sep(name[0]) || !sep(name[1]) || name[2] != '.' || !sep(name[3]) ||
      !std::isalpha(static_cast<unsigned char>(name[4])) || name[5] != ':')
    return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(name[4])));
}
