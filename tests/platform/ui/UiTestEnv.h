// Test set-up shared by the framework's suites: one QApplication, the test
// resource module as the resource handle, and helpers to run the event loop.
#pragma once

#include <functional>

#include "platform/ui/Afx.h"

// Runs the UI thread's events until done() holds; false when it did not
// within a generous safety bound (a hung test fails instead of blocking).
bool RunUntil(const std::function<bool()>& done);
HINSTANCE TestResources();
