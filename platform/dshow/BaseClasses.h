// The base classes of the media-streaming layer, for filter writers.
#pragma once

#include "platform/dshow/AMEvent.h"
#include "platform/dshow/AMThread.h"
#include "platform/dshow/Allocator.h"
#include "platform/dshow/AsyncIo.h"
#include "platform/dshow/AsyncReader.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/BasePin.h"
#include "platform/dshow/CritSec.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/EnumPins.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/PosPassThru.h"
#include "platform/dshow/Source.h"
#include "platform/dshow/SourceSeeking.h"
#include "platform/dshow/Transform.h"
#include "platform/dshow/Unknown.h"
