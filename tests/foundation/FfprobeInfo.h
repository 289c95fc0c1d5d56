// Runs the ffprobe tool on a test file and gives its flat key=value output,
// as an independent account of what the file holds.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

inline std::string TestDataPath(const std::string& name) {
  const char* dir = getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

inline bool HaveFfprobe() { return system("ffprobe -version >/dev/null 2>&1") == 0; }

// Key (without the "streams.stream." style prefix kept) to value, quotes
// removed.
inline std::map<std::string, std::string> Ffprobe(const std::string& args, const std::string& path) {
  std::map<std::string, std::string> out;
  std::string cmd = "ffprobe -v error " + args + " -of flat '" + path + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char line[4096];
  while (fgets(line, sizeof(line), p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    size_t eq = s.find('=');
    if (eq == std::string::npos) continue;
    std::string v = s.substr(eq + 1);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    out[s.substr(0, eq)] = v;
  }
  pclose(p);
  return out;
}

inline long long ToInt(const std::string& s) { return strtoll(s.c_str(), nullptr, 0); }
