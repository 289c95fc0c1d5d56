// The keyboard state of the user interface.
#pragma once

#include "platform/win32/Types.h"

// True when windows are really shown: an application runs on a display
// (not the offscreen or minimal platform of headless runs).
bool UiHasDisplay();

// The state of a key (VK_SHIFT, VK_CONTROL, VK_MENU) as the modifier keys
// are held now: the high bit (0x8000) is set while the key is down. Without
// a display, or off the user-interface thread, no key is down.
SHORT GetKeyState(int virtualKey);
