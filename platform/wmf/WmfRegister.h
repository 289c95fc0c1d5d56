// Start-up registration of the Windows Media runtime stand-in.
#pragma once

#include "platform/win32/Types.h"

// Enters the module "WMVCore.dll" (exports WMCreateProfileManager and
// WMCreateWriter; names match without regard to case) and the ASF writer
// filter (CLSID_WMAsfWriter) into the class table, its class name and its
// filter mapper registration. Returns the first failure.
HRESULT WmfRegisterPlatform();
