// Message boxes. Tests (and any headless run) answer them through a hook
// instead of waiting for a click; without a hook on a platform with no
// screen (offscreen, minimal) the box answers its default button at once.
#pragma once

#include <functional>
#include <string>

#include "platform/ui/Messages.h"

// Returns the button id (IDOK, IDYES, ...). The caption is the one shown.
using UiMessageBoxHook = std::function<int(const std::string& text, const std::string& caption, UINT type)>;
void UiSetMessageBoxHook(UiMessageBoxHook hook);

int MessageBox(HWND owner, const char* text, const char* caption, UINT type);
// Caption: the application's name.
int AfxMessageBox(const char* text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(const std::string& text, UINT type = MB_OK, UINT helpId = 0);
// The text is the string of that id in the resources.
int AfxMessageBox(UINT promptId, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));
