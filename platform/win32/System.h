// Facts about the system and small arithmetic helpers of the kernel.
#pragma once

#include "platform/win32/Types.h"

// Reports an NT-family system (6.1, build 7601): the high bit, which marks
// the old consumer family, is clear, so code that refuses to run there runs.
DWORD GetVersion();

// a * b / c with a 64-bit intermediate, rounded half away from zero.
// Returns -1 when c is 0 or the result does not fit an int.
int MulDiv(int number, int numerator, int denominator);

// There is no Windows folder here; the program's own folder stands in, so a
// system file looked up there is found only if shipped with the program.
// Returns the length, or the size needed (with the terminator) when the
// buffer is too small.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
#define GetWindowsDirectory GetWindowsDirectoryA
