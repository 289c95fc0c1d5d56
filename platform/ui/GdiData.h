// The drawing-object table behind GDI handles. Internal to the framework.
#pragma once

#include <QBrush>
#include <QCursor>
#include <QFont>
#include <QImage>
#include <QPen>
#include <QRegion>
#include <memory>

#include "platform/win32/Types.h"

enum class UiGdiKind { Bitmap, Font, Pen, Brush, Region, Icon };

struct UiGdiData {
  UiGdiKind kind = UiGdiKind::Bitmap;
  bool stock = false;
  QImage image;          // bitmaps: Format_RGB32; icons: ARGB32
  QFont font;
  int fontHeight = 0;    // the height asked for (LOGFONT sign convention)
  QPen pen;
  QBrush brush;          // Qt::NoBrush for hollow brushes
  QRegion region;
  QPoint hotSpot;        // icons and cursors
  int cursorShape = -1;  // standard cursors: a Qt::CursorShape
};

HGDIOBJ UiGdiAdd(std::shared_ptr<UiGdiData> data);
std::shared_ptr<UiGdiData> UiGdiFind(HGDIOBJ handle);
std::shared_ptr<UiGdiData> UiGdiFind(HGDIOBJ handle, UiGdiKind kind);
// Removes a non-stock object; FALSE for unknown or stock handles.
bool UiGdiRemove(HGDIOBJ handle);

QColor UiColor(COLORREF c);
COLORREF UiColorRef(QRgb c);
// Decodes PNG or BMP bytes; a null image when they are not one.
QImage UiDecodeImage(const unsigned char* data, size_t size);
