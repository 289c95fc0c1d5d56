// The stream-time limits live with the platform's stream time, below every
// layer that judges times (platform/dshow/StreamTime.h).
#pragma once

#include "platform/dshow/StreamTime.h"
