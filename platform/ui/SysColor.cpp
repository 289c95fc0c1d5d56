#include "platform/ui/SysColor.h"

#include <QGuiApplication>
#include <QScreen>
#include <map>
#include <mutex>

#include "platform/ui/GdiData.h"
#include "platform/ui/GdiObject.h"

COLORREF GetSysColor(int index) {
  switch (index) {
    case COLOR_SCROLLBAR: return RGB(200, 200, 200);
    case COLOR_BACKGROUND: return RGB(0, 0, 0);
    case COLOR_ACTIVECAPTION: return RGB(153, 180, 209);
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWFRAME: return RGB(100, 100, 100);
    case COLOR_WINDOWTEXT: return RGB(0, 0, 0);
    case COLOR_HIGHLIGHT: return RGB(0, 120, 215);
    case COLOR_HIGHLIGHTTEXT: return RGB(255, 255, 255);
    case COLOR_BTNFACE: return RGB(240, 240, 240);
    case COLOR_BTNSHADOW: return RGB(160, 160, 160);
    case COLOR_GRAYTEXT: return RGB(109, 109, 109);
    case COLOR_BTNTEXT: return RGB(0, 0, 0);
    case COLOR_BTNHIGHLIGHT: return RGB(255, 255, 255);
    case COLOR_3DDKSHADOW: return RGB(105, 105, 105);
    case COLOR_3DLIGHT: return RGB(227, 227, 227);
    case COLOR_INFOTEXT: return RGB(0, 0, 0);
    case COLOR_INFOBK: return RGB(255, 255, 225);
    case COLOR_HOTLIGHT: return RGB(0, 102, 204);
    default: return RGB(0, 0, 0);
  }
}

HBRUSH GetSysColorBrush(int index) {
  static std::mutex lock;
  static std::map<int, HBRUSH> brushes;
  std::lock_guard<std::mutex> guard(lock);
  auto it = brushes.find(index);
  if (it != brushes.end()) return it->second;
  auto d = std::make_shared<UiGdiData>();
  d->kind = UiGdiKind::Brush;
  d->stock = true;
  d->brush = QBrush(UiColor(GetSysColor(index)));
  HBRUSH h = reinterpret_cast<HBRUSH>(UiGdiAdd(d));
  brushes[index] = h;
  return h;
}

int GetSystemMetrics(int index) {
  QScreen* screen = QGuiApplication::instance() ? QGuiApplication::primaryScreen() : nullptr;
  switch (index) {
    case SM_CXSCREEN: return screen ? screen->geometry().width() : 1024;
    case SM_CYSCREEN: return screen ? screen->geometry().height() : 768;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL: return 17;
    case SM_CYCAPTION: return 23;
    case SM_CXBORDER:
    case SM_CYBORDER: return 1;
    case SM_CXICON:
    case SM_CYICON: return 32;
    case SM_CXSMICON:
    case SM_CYSMICON: return 16;
    default: return 0;
  }
}
