#include "platform/ui/Icon.h"

#include <QApplication>
#include <QCursor>
#include <QWidget>
#include <map>
#include <mutex>

#include "platform/ui/GdiData.h"
#include "platform/ui/Resource.h"

namespace {
std::mutex g_lock;
std::map<std::pair<HINSTANCE, UINT_PTR>, HICON> g_icons;
std::map<UINT_PTR, HCURSOR> g_cursors;
HCURSOR g_current = nullptr;

int ShapeFor(UINT_PTR id) {
  switch (id) {
    case 32512: return Qt::ArrowCursor;
    case 32513: return Qt::IBeamCursor;
    case 32514: return Qt::WaitCursor;
    case 32515: return Qt::CrossCursor;
    case 32646: return Qt::SizeAllCursor;
    case 32648: return Qt::ForbiddenCursor;
    case 32649: return Qt::PointingHandCursor;
    default: return -1;
  }
}
}  // namespace

HICON LoadIcon(HINSTANCE module, const char* id) {
  if (!IS_INTRESOURCE(id)) return nullptr;
  UINT_PTR n = reinterpret_cast<UINT_PTR>(id);
  std::lock_guard<std::mutex> lock(g_lock);
  auto key = std::make_pair(module, n);
  if (auto it = g_icons.find(key); it != g_icons.end()) return it->second;
  const PmrImageResource* res = module ? UiFindIconResource(module, static_cast<UINT>(n)) : nullptr;
  if (!res) return nullptr;
  QImage image = UiDecodeImage(res->data, res->size);
  if (image.isNull()) return nullptr;
  auto d = std::make_shared<UiGdiData>();
  d->kind = UiGdiKind::Icon;
  d->stock = true;  // shared by every user of the id
  d->image = image.convertToFormat(QImage::Format_ARGB32);
  d->hotSpot = QPoint(image.width() / 2, image.height() / 2);
  HICON h = reinterpret_cast<HICON>(UiGdiAdd(d));
  g_icons[key] = h;
  return h;
}

HCURSOR LoadCursor(HINSTANCE module, const char* id) {
  if (module) return LoadIcon(module, id);
  if (!IS_INTRESOURCE(id)) return nullptr;
  UINT_PTR n = reinterpret_cast<UINT_PTR>(id);
  int shape = ShapeFor(n);
  if (shape < 0) return nullptr;
  std::lock_guard<std::mutex> lock(g_lock);
  if (auto it = g_cursors.find(n); it != g_cursors.end()) return it->second;
  auto d = std::make_shared<UiGdiData>();
  d->kind = UiGdiKind::Icon;
  d->stock = true;
  d->cursorShape = shape;
  HCURSOR h = reinterpret_cast<HCURSOR>(UiGdiAdd(d));
  g_cursors[n] = h;
  return h;
}

HCURSOR SetCursor(HCURSOR cursor) {
  HCURSOR old = g_current;
  g_current = cursor;
  auto d = UiGdiFind(reinterpret_cast<HGDIOBJ>(cursor), UiGdiKind::Icon);
  QWidget* target = QApplication::instance() ? QApplication::widgetAt(QCursor::pos()) : nullptr;
  if (d && target) {
    if (d->cursorShape >= 0)
      target->setCursor(QCursor(static_cast<Qt::CursorShape>(d->cursorShape)));
    else if (!d->image.isNull())
      target->setCursor(QCursor(QPixmap::fromImage(d->image), d->hotSpot.x(), d->hotSpot.y()));
  }
  return old;
}

BOOL GetIconInfo(HICON icon, ICONINFO* info) {
  auto d = UiGdiFind(reinterpret_cast<HGDIOBJ>(icon), UiGdiKind::Icon);
  if (!d || !info) return FALSE;
  *info = ICONINFO{d->cursorShape < 0, static_cast<DWORD>(d->hotSpot.x()), static_cast<DWORD>(d->hotSpot.y()),
                   nullptr, nullptr};
  return TRUE;
}

BOOL UiGetIconSize(HICON icon, int* width, int* height) {
  auto d = UiGdiFind(reinterpret_cast<HGDIOBJ>(icon), UiGdiKind::Icon);
  if (!d) return FALSE;
  if (width) *width = d->cursorShape >= 0 ? 32 : d->image.width();
  if (height) *height = d->cursorShape >= 0 ? 32 : d->image.height();
  return TRUE;
}
