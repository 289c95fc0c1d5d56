// Shared set-up of the skin and page tests: one QApplication and the real
// resource module as the resource handle.
#pragma once

#include <QImage>
#include <string>

#include "platform/ui/Afx.h"

// A window rendered with its children.
QImage GrabWindow(CWnd* wnd);
