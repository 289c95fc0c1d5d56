// Everything of the Win32 layer in one include, for code written against
// <windows.h>.
#pragma once

#include "platform/win32/Types.h"
#include "platform/win32/Gdi.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Interlocked.h"
#include "platform/win32/Sync.h"
#include "platform/win32/System.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Time.h"

#if __has_include("platform/win32/File.h")
#include "platform/win32/File.h"
#endif
#if __has_include("platform/win32/MfcFile.h")
#include "platform/win32/MfcFile.h"
#endif
#if __has_include("platform/win32/Module.h")
#include "platform/win32/Module.h"
#endif

// Registry, code pages, locale and message texts are added to the layer
// separately; take them in as soon as they are there.
#if __has_include("platform/win32/Registry.h")
#include "platform/win32/Registry.h"
#endif
#if __has_include("platform/win32/CodePage.h")
#include "platform/win32/CodePage.h"
#endif
#if __has_include("platform/win32/Locale.h")
#include "platform/win32/Locale.h"
#endif
#if __has_include("platform/win32/ErrorText.h")
#include "platform/win32/ErrorText.h"
#endif
