// Start-up registration of the media-streaming layer's own classes.
#pragma once

#include "platform/win32/Types.h"

// Enters the filter graph, filter mapper, system clock, File Source (Async.)
// and the null video and audio renderers into the class table; writes their
// class names (HKEY_CLASSES_ROOT\CLSID\{clsid}), their registrations in the
// legacy filter category and the media-type signature table. Registry values
// that already hold the right data are not rewritten, so calling this at
// every start is cheap. Returns the first failure.
HRESULT DShowRegisterPlatform();
