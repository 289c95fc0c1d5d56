// The media-streaming layer's declarations: interfaces, structures, GUIDs,
// result and event codes.
#pragma once

#include "platform/dshow/Errors.h"
#include "platform/dshow/FourCCMap.h"
#include "platform/dshow/Guids.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/RunReport.h"
#include "platform/dshow/Structs.h"
