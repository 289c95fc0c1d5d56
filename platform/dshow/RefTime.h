// Reference times (100 ns units) as text, and sums of them that do not wrap
// however wild the times a file gives.
#pragma once

#include <string>

#include "platform/win32/Types.h"

// "h:mm:ss.mmm", hours unbounded ("2561047:47:16.855"), with a sign when
// negative.
std::string RefTimeText(REFERENCE_TIME t);

// a + b, held at the ends of the 64-bit range instead of wrapping.
REFERENCE_TIME AddRefTimes(REFERENCE_TIME a, REFERENCE_TIME b);
