#include "platform/ui/Keyboard.h"

#include <QGuiApplication>

#include "platform/ui/Messages.h"
#include "platform/ui/Wnd.h"

bool UiHasDisplay() {
  if (!QGuiApplication::instance()) return false;
  const QString p = QGuiApplication::platformName();
  return p != "offscreen" && p != "minimal";
}

SHORT GetKeyState(int virtualKey) {
  if (!UiHasDisplay() || !UiIsUiThread()) return 0;
  const Qt::KeyboardModifiers held = QGuiApplication::queryKeyboardModifiers();
  Qt::KeyboardModifier modifier = Qt::NoModifier;
  switch (virtualKey) {
    case VK_SHIFT: modifier = Qt::ShiftModifier; break;
    case VK_CONTROL: modifier = Qt::ControlModifier; break;
    case VK_MENU: modifier = Qt::AltModifier; break;
    default: return 0;
  }
  return held.testFlag(modifier) ? static_cast<SHORT>(0x8000) : SHORT(0);
}
