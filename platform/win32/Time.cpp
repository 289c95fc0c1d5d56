#include "platform/win32/Time.h"

#include <sys/time.h>
#include <time.h>

#include <chrono>

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ULL;

std::chrono::steady_clock::duration Uptime() {
  // Counted from first use, so that the 32-bit tick count starts small.
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::steady_clock::now() - start;
}

void FillSystemTime(const struct tm& tm, long usec, LPSYSTEMTIME out) {
  out->wYear = static_cast<WORD>(tm.tm_year + 1900);
  out->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  out->wDay = static_cast<WORD>(tm.tm_mday);
  out->wHour = static_cast<WORD>(tm.tm_hour);
  out->wMinute = static_cast<WORD>(tm.tm_min);
  out->wSecond = static_cast<WORD>(tm.tm_sec);
  out->wMilliseconds = static_cast<WORD>(usec / 1000);
}

}  // namespace

ULONGLONG GetTickCount64() {
  return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(Uptime()).count());
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

DWORD timeGetTime() { return GetTickCount(); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (!count) return FALSE;
  count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(Uptime()).count() / 100;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) return FALSE;
  frequency->QuadPart = 10000000;
  return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME time) {
  if (!time) return;
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  const ULONGLONG t = kFileTimeUnixEpoch + static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL +
                      static_cast<ULONGLONG>(ts.tv_nsec) / 100;
  time->dwLowDateTime = static_cast<DWORD>(t);
  time->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

void GetSystemTime(LPSYSTEMTIME time) {
  if (!time) return;
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm tm {};
  gmtime_r(&tv.tv_sec, &tm);
  FillSystemTime(tm, tv.tv_usec, time);
}

void GetLocalTime(LPSYSTEMTIME time) {
  if (!time) return;
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm tm {};
  localtime_r(&tv.tv_sec, &tm);
  FillSystemTime(tm, tv.tv_usec, time);
}
