// Start-up registration of the installed-codec stand-ins.
#pragma once

#include "platform/win32/Types.h"

// Enters "PCM Resample", "Resizer", the installed video decoder, the MPEG-1
// video decoder, the installed audio decoder and the ASF source into the
// class table, their class names under HKEY_CLASSES_ROOT\CLSID, their
// filter mapper registrations and the ASF media-type signature (check bytes
// and the .asf/.wmv/.wma extensions with this source as "Source Filter").
// Call after DShowRegisterPlatform, whose seeding would otherwise hand the
// ASF entries back to File Source (Async.). Also names the folder of the
// RealMedia codec modules (beside the program) as the default value of the
// player's two "DT_Codecs" keys under HKEY_CLASSES_ROOT. Returns the first
// failure.
HRESULT CodecsRegisterPlatform();
