#include "platform/win32/System.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/win32/Module.h"

DWORD GetVersion() {
  constexpr DWORD kMajor = 6, kMinor = 1, kBuild = 7601;
  return kMajor | (kMinor << 8) | (kBuild << 16);
}

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const long long product = static_cast<long long>(number) * numerator;
  const long long d = denominator;
  // Round half away from zero: add half the divisor in the result's sign.
  const bool negative = (product < 0) != (d < 0);
  const long long half = std::llabs(d) / 2;
  const long long result = (std::llabs(product) + half) / std::llabs(d);
  const long long signedResult = negative ? -result : result;
  if (signedResult > INT_MAX || signedResult < INT_MIN) return -1;
  return static_cast<int>(signedResult);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  char exe[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  std::string folder = (n > 0 && n < sizeof exe) ? std::string(exe, n) : std::string("/");
  const auto slash = folder.find_last_of('/');
  folder = slash == std::string::npos || slash == 0 ? std::string("/") : folder.substr(0, slash);
  if (!buffer || size < folder.size() + 1) return static_cast<UINT>(folder.size() + 1);
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
  return static_cast<UINT>(folder.size());
}
