// Clocks: millisecond ticks, the performance counter and calendar time.
//
// Ticks and the performance counter come from the monotonic clock, so they
// never jump when the wall clock is set.
#pragma once

#include "platform/win32/Types.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;
using PSYSTEMTIME = SYSTEMTIME*;
using LPFILETIME = FILETIME*;

// Milliseconds since an arbitrary start; wraps after 49.7 days like the
// platform's counter, so elapsed times are taken as unsigned differences.
DWORD GetTickCount();
ULONGLONG GetTickCount64();
DWORD timeGetTime();

// The counter runs at 10 MHz (100 ns units).
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// 100 ns units since 1 January 1601 (UTC).
void GetSystemTimeAsFileTime(LPFILETIME time);
void GetSystemTime(LPSYSTEMTIME time);
void GetLocalTime(LPSYSTEMTIME time);
