// The resources the program holds itself rather than in its resource
// module: the conversion-type page's template.
#pragma once

#include "platform/win32/Types.h"

// Registers the program's own table (once) and makes it the application's
// instance handle, where resource lookups go after the resource module.
HINSTANCE RegisterProgramResources();
