// The whole component layer in one include.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/ComBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Enum.h"
#include "platform/com/Guid.h"
#include "platform/com/Moniker.h"
#include "platform/com/Persist.h"
#include "platform/com/PropertyBag.h"
#include "platform/com/PropertyPage.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"
