#include "platform/ui/GdiObject.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageReader>
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/ui/Dc.h"
#include "platform/ui/GdiData.h"
#include "platform/ui/Resource.h"

namespace {

std::mutex g_gdiLock;
std::map<HGDIOBJ, std::shared_ptr<UiGdiData>> g_gdi;
uintptr_t g_nextGdi = 1;

std::shared_ptr<UiGdiData> MakeData(UiGdiKind kind) {
  auto d = std::make_shared<UiGdiData>();
  d->kind = kind;
  return d;
}

HGDIOBJ MakeStock(int index) {
  auto d = std::make_shared<UiGdiData>();
  d->stock = true;
  switch (index) {
    case WHITE_BRUSH: d->kind = UiGdiKind::Brush, d->brush = QBrush(Qt::white); break;
    case LTGRAY_BRUSH: d->kind = UiGdiKind::Brush, d->brush = QBrush(QColor(192, 192, 192)); break;
    case GRAY_BRUSH: d->kind = UiGdiKind::Brush, d->brush = QBrush(QColor(128, 128, 128)); break;
    case DKGRAY_BRUSH: d->kind = UiGdiKind::Brush, d->brush = QBrush(QColor(64, 64, 64)); break;
    case BLACK_BRUSH: d->kind = UiGdiKind::Brush, d->brush = QBrush(Qt::black); break;
    case NULL_BRUSH: d->kind = UiGdiKind::Brush, d->brush = QBrush(Qt::NoBrush); break;
    case WHITE_PEN: d->kind = UiGdiKind::Pen, d->pen = QPen(Qt::white, 1); break;
    case BLACK_PEN: d->kind = UiGdiKind::Pen, d->pen = QPen(Qt::black, 1); break;
    case NULL_PEN: d->kind = UiGdiKind::Pen, d->pen = QPen(Qt::NoPen); break;
    case ANSI_VAR_FONT:
    case SYSTEM_FONT:
    case DEFAULT_GUI_FONT:
      d->kind = UiGdiKind::Font;
      d->font = QGuiApplication::instance() ? QGuiApplication::font() : QFont();
      d->font.setPixelSize(11);
      d->fontHeight = -11;
      break;
    default: return nullptr;
  }
  return UiGdiAdd(d);
}

}  // namespace

HGDIOBJ UiGdiAdd(std::shared_ptr<UiGdiData> data) {
  std::lock_guard<std::mutex> lock(g_gdiLock);
  // Added to the base, so that no handle repeats: an or-ed base gave the
  // 8193rd object the first one's handle (a stock object's, lost with it).
  HGDIOBJ h = reinterpret_cast<HGDIOBJ>(0x20000 + (g_nextGdi++ << 4));
  g_gdi[h] = std::move(data);
  return h;
}

std::shared_ptr<UiGdiData> UiGdiFind(HGDIOBJ handle) {
  std::lock_guard<std::mutex> lock(g_gdiLock);
  auto it = g_gdi.find(handle);
  return it == g_gdi.end() ? nullptr : it->second;
}

std::shared_ptr<UiGdiData> UiGdiFind(HGDIOBJ handle, UiGdiKind kind) {
  auto d = UiGdiFind(handle);
  return d && d->kind == kind ? d : nullptr;
}

bool UiGdiRemove(HGDIOBJ handle) {
  std::lock_guard<std::mutex> lock(g_gdiLock);
  auto it = g_gdi.find(handle);
  if (it == g_gdi.end() || it->second->stock) return false;
  g_gdi.erase(it);
  return true;
}

QColor UiColor(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }
COLORREF UiColorRef(QRgb c) {
  return RGB(static_cast<BYTE>(qRed(c)), static_cast<BYTE>(qGreen(c)), static_cast<BYTE>(qBlue(c)));
}

QImage UiDecodeImage(const unsigned char* data, size_t size) {
  if (!data || size == 0 || size > (1u << 30)) return QImage();
  QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  // Bitmaps of a resource module are small; a header claiming a huge size is
  // refused before any pixel memory is taken.
  QSize s = reader.size();
  if (s.isValid() && (s.width() > 16384 || s.height() > 16384)) return QImage();
  QImage image = reader.read();
  return image;
}

// ---------------------------------------------------------------------------

HGDIOBJ GetStockObject(int index) {
  static std::mutex lock;
  static std::map<int, HGDIOBJ> stock;
  std::lock_guard<std::mutex> guard(lock);
  auto it = stock.find(index);
  if (it != stock.end()) return it->second;
  HGDIOBJ h = MakeStock(index);
  if (h) stock[index] = h;
  return h;
}

BOOL DeleteObject(HGDIOBJ object) { return UiGdiRemove(object) ? TRUE : FALSE; }

CGdiObject::~CGdiObject() { DeleteObject(); }

BOOL CGdiObject::DeleteObject() {
  if (!m_hObject) return FALSE;
  HGDIOBJ h = m_hObject;
  m_hObject = nullptr;
  ::DeleteObject(h);
  return TRUE;
}

BOOL CGdiObject::Attach(HGDIOBJ object) {
  if (!object || !UiGdiFind(object)) return FALSE;
  DeleteObject();
  m_hObject = object;
  return TRUE;
}

HGDIOBJ CGdiObject::Detach() {
  HGDIOBJ h = m_hObject;
  m_hObject = nullptr;
  return h;
}

// ---------------------------------------------------------------------------
// Bitmaps

HBITMAP UiLoadBitmap(UINT id) {
  const PmrImageResource* res = UiFindBitmapResource(id);
  if (!res) return nullptr;
  QImage image = UiDecodeImage(res->data, res->size);
  if (image.isNull()) return nullptr;
  auto d = MakeData(UiGdiKind::Bitmap);
  d->image = image.convertToFormat(QImage::Format_RGB32);
  return reinterpret_cast<HBITMAP>(UiGdiAdd(d));
}

BOOL CBitmap::LoadBitmap(UINT id) {
  HBITMAP h = UiLoadBitmap(id);
  if (!h) return FALSE;
  DeleteObject();
  m_hObject = reinterpret_cast<HGDIOBJ>(h);
  return TRUE;
}

BOOL CBitmap::CreateCompatibleBitmap(CDC*, int width, int height) {
  if (width < 0 || height < 0 || width > 16384 || height > 16384) return FALSE;
  auto d = MakeData(UiGdiKind::Bitmap);
  // A zero size gives the platform's 1x1 bitmap.
  d->image = QImage(std::max(width, 1), std::max(height, 1), QImage::Format_RGB32);
  if (d->image.isNull()) return FALSE;
  d->image.fill(QColor(0, 0, 0));
  DeleteObject();
  m_hObject = UiGdiAdd(d);
  return TRUE;
}

BOOL CBitmap::CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits) {
  if (planes != 1 || (bitsPerPixel != 32 && bitsPerPixel != 24 && bitsPerPixel != 1)) return FALSE;
  if (!CreateCompatibleBitmap(nullptr, width, height)) return FALSE;
  if (bits && bitsPerPixel == 32)
    SetBitmapBits(static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4, bits);
  return TRUE;
}

int CBitmap::GetBitmap(BITMAP* bitmap) const {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Bitmap);
  if (!d || !bitmap) return 0;
  *bitmap = BITMAP{0, d->image.width(), d->image.height(), d->image.width() * 4, 1, 32, nullptr};
  return sizeof(BITMAP);
}

DWORD CBitmap::GetBitmapBits(DWORD count, LPVOID bits) const {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Bitmap);
  if (!d || !bits) return 0;
  DWORD rowBytes = static_cast<DWORD>(d->image.width()) * 4;
  DWORD copied = 0;
  auto* out = static_cast<BYTE*>(bits);
  for (int y = 0; y < d->image.height() && copied < count; ++y) {
    DWORD n = std::min(rowBytes, count - copied);
    std::memcpy(out + copied, d->image.constScanLine(y), n);
    copied += n;
  }
  return copied;
}

DWORD CBitmap::SetBitmapBits(DWORD count, const void* bits) {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Bitmap);
  if (!d || !bits) return 0;
  DWORD rowBytes = static_cast<DWORD>(d->image.width()) * 4;
  DWORD copied = 0;
  auto* in = static_cast<const BYTE*>(bits);
  for (int y = 0; y < d->image.height() && copied < count; ++y) {
    DWORD n = std::min(rowBytes, count - copied);
    auto* line = reinterpret_cast<QRgb*>(d->image.scanLine(y));
    std::memcpy(line, in + copied, n);
    for (DWORD x = 0; x < n / 4; ++x) line[x] |= 0xFF000000u;  // RGB32 keeps alpha opaque
    copied += n;
  }
  return copied;
}

CSize CBitmap::GetBitmapDimension() const {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Bitmap);
  return d ? CSize(d->image.width(), d->image.height()) : CSize();
}

// ---------------------------------------------------------------------------
// Fonts, pens, brushes

BOOL CFont::CreateFont(int height, int, int, int, int weight, BYTE italic, BYTE underline, BYTE strikeOut,
                       BYTE, BYTE, BYTE, BYTE, BYTE pitchAndFamily, const char* faceName) {
  auto d = MakeData(UiGdiKind::Font);
  QFont f = QGuiApplication::instance() ? QGuiApplication::font() : QFont();
  if (faceName && *faceName) f.setFamilies({QString::fromUtf8(faceName)});
  if ((pitchAndFamily & 0x3) == FIXED_PITCH || (pitchAndFamily & 0xF0) == FF_MODERN) f.setStyleHint(QFont::Monospace);
  // Negative heights are the character height, positive ones the cell
  // height; both are taken as the pixel size, 0 as the framework's default.
  int px = height == 0 ? 12 : std::clamp(height < 0 ? -height : height, 1, 1000);
  f.setPixelSize(px);
  f.setWeight(static_cast<QFont::Weight>(weight <= 0 ? 400 : std::clamp(weight, 100, 900)));
  f.setItalic(italic != 0);
  f.setUnderline(underline != 0);
  f.setStrikeOut(strikeOut != 0);
  d->font = f;
  d->fontHeight = height == 0 ? -12 : height;
  DeleteObject();
  m_hObject = UiGdiAdd(d);
  return TRUE;
}

BOOL CFont::CreateFontIndirect(const LOGFONT* lf) {
  if (!lf) return FALSE;
  char face[33] = {};
  std::memcpy(face, lf->lfFaceName, 32);  // the name may fill the field without a terminator
  return CreateFont(lf->lfHeight, lf->lfWidth, lf->lfEscapement, lf->lfOrientation, lf->lfWeight, lf->lfItalic,
                    lf->lfUnderline, lf->lfStrikeOut, lf->lfCharSet, lf->lfOutPrecision, lf->lfClipPrecision,
                    lf->lfQuality, lf->lfPitchAndFamily, face);
}

BOOL CFont::CreatePointFont(int pointSizeTenths, const char* faceName, CDC*) {
  if (pointSizeTenths <= 0) return FALSE;
  int px = (pointSizeTenths * 96 + 360) / 720;  // points at 96 pixels per inch
  return CreateFont(-std::max(px, 1), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, faceName);
}

int CFont::GetLogFont(LOGFONT* lf) const {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Font);
  if (!d || !lf) return 0;
  *lf = LOGFONT{};
  lf->lfHeight = d->fontHeight;
  lf->lfWeight = static_cast<LONG>(d->font.weight());
  lf->lfItalic = d->font.italic();
  lf->lfUnderline = d->font.underline();
  lf->lfStrikeOut = d->font.strikeOut();
  lf->lfCharSet = DEFAULT_CHARSET;
  QByteArray face = d->font.family().toUtf8();
  std::memcpy(lf->lfFaceName, face.constData(), std::min<size_t>(face.size(), sizeof(lf->lfFaceName) - 1));
  return sizeof(LOGFONT);
}

BOOL CPen::CreatePen(int style, int width, COLORREF colour) {
  auto d = MakeData(UiGdiKind::Pen);
  if (style == PS_NULL) {
    d->pen = QPen(Qt::NoPen);
  } else {
    d->pen = QPen(UiColor(colour), std::max(width, 1));
    d->pen.setCapStyle(Qt::FlatCap);
    if (style == PS_DASH) d->pen.setStyle(Qt::DashLine);
    if (style == PS_DOT) d->pen.setStyle(Qt::DotLine);
    if (style == PS_DASHDOT) d->pen.setStyle(Qt::DashDotLine);
  }
  DeleteObject();
  m_hObject = UiGdiAdd(d);
  return TRUE;
}

HBRUSH CreateSolidBrush(COLORREF colour) {
  auto d = MakeData(UiGdiKind::Brush);
  d->brush = QBrush(UiColor(colour));
  return reinterpret_cast<HBRUSH>(UiGdiAdd(d));
}

BOOL CBrush::CreateSolidBrush(COLORREF colour) {
  DeleteObject();
  m_hObject = reinterpret_cast<HGDIOBJ>(::CreateSolidBrush(colour));
  return TRUE;
}

BOOL CBrush::CreateStockObject(int index) {
  HGDIOBJ h = GetStockObject(index);
  if (!h) return FALSE;
  DeleteObject();
  m_hObject = h;
  return TRUE;
}

// ---------------------------------------------------------------------------
// Regions

namespace {
int RegionKind(const QRegion& r) {
  if (r.isEmpty()) return NULLREGION;
  return r.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}
QRect QtRect(int l, int t, int r, int b) { return QRect(QPoint(l, t), QPoint(r - 1, b - 1)).normalized(); }
}  // namespace

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  auto d = MakeData(UiGdiKind::Region);
  // The right and bottom edges are outside the region.
  if (right > left && bottom > top) d->region = QRegion(QtRect(left, top, right, bottom));
  return reinterpret_cast<HRGN>(UiGdiAdd(d));
}

int CombineRgn(HRGN destination, HRGN a, HRGN b, int mode) {
  auto dst = UiGdiFind(reinterpret_cast<HGDIOBJ>(destination), UiGdiKind::Region);
  auto ra = UiGdiFind(reinterpret_cast<HGDIOBJ>(a), UiGdiKind::Region);
  auto rb = mode == RGN_COPY ? nullptr : UiGdiFind(reinterpret_cast<HGDIOBJ>(b), UiGdiKind::Region);
  if (!dst || !ra || (mode != RGN_COPY && !rb)) return RGN_ERROR;
  QRegion result;
  switch (mode) {
    case RGN_AND: result = ra->region.intersected(rb->region); break;
    case RGN_OR: result = ra->region.united(rb->region); break;
    case RGN_XOR: result = ra->region.xored(rb->region); break;
    case RGN_DIFF: result = ra->region.subtracted(rb->region); break;
    case RGN_COPY: result = ra->region; break;
    default: return RGN_ERROR;
  }
  dst->region = result;
  return RegionKind(result);
}

BOOL PtInRegion(HRGN region, int x, int y) {
  auto d = UiGdiFind(reinterpret_cast<HGDIOBJ>(region), UiGdiKind::Region);
  return d && d->region.contains(QPoint(x, y));
}

BOOL CRgn::CreateRectRgn(int left, int top, int right, int bottom) {
  DeleteObject();
  m_hObject = reinterpret_cast<HGDIOBJ>(::CreateRectRgn(left, top, right, bottom));
  return TRUE;
}

BOOL CRgn::CreateRectRgnIndirect(LPCRECT r) {
  if (!r) return FALSE;
  return CreateRectRgn(r->left, r->top, r->right, r->bottom);
}

BOOL CRgn::CreateEllipticRgn(int left, int top, int right, int bottom) {
  auto d = MakeData(UiGdiKind::Region);
  if (right > left && bottom > top) d->region = QRegion(QtRect(left, top, right, bottom), QRegion::Ellipse);
  DeleteObject();
  m_hObject = UiGdiAdd(d);
  return TRUE;
}

BOOL CRgn::CreateFromRects(const RECT* rects, int count) {
  if (count < 0 || (count > 0 && !rects)) return FALSE;
  auto d = MakeData(UiGdiKind::Region);
  QList<QRect> list;
  for (int i = 0; i < count; ++i)
    if (rects[i].right > rects[i].left && rects[i].bottom > rects[i].top)
      list.append(QtRect(rects[i].left, rects[i].top, rects[i].right, rects[i].bottom));
  QRegion united;
  for (const QRect& r : list) united += r;
  d->region = united;
  DeleteObject();
  m_hObject = UiGdiAdd(d);
  return TRUE;
}

int CRgn::CombineRgn(const CRgn* a, const CRgn* b, int mode) {
  if (!m_hObject) CreateRectRgn(0, 0, 0, 0);
  return ::CombineRgn(*this, a ? static_cast<HRGN>(*a) : nullptr, b ? static_cast<HRGN>(*b) : nullptr, mode);
}

BOOL CRgn::SetRectRgn(int left, int top, int right, int bottom) {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Region);
  if (!d) return FALSE;
  d->region = right > left && bottom > top ? QRegion(QtRect(left, top, right, bottom)) : QRegion();
  return TRUE;
}

BOOL CRgn::PtInRegion(int x, int y) const { return ::PtInRegion(*this, x, y); }

int CRgn::GetRgnBox(LPRECT rect) const {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Region);
  if (!d || !rect) return RGN_ERROR;
  QRect b = d->region.boundingRect();
  *rect = d->region.isEmpty() ? RECT{0, 0, 0, 0} : RECT{b.left(), b.top(), b.right() + 1, b.bottom() + 1};
  return RegionKind(d->region);
}

BOOL CRgn::EqualRgn(const CRgn* other) const {
  auto a = UiGdiFind(m_hObject, UiGdiKind::Region);
  auto b = other ? UiGdiFind(other->m_hObject, UiGdiKind::Region) : nullptr;
  return a && b && a->region == b->region;
}

int CRgn::OffsetRgn(int dx, int dy) {
  auto d = UiGdiFind(m_hObject, UiGdiKind::Region);
  if (!d) return RGN_ERROR;
  d->region.translate(dx, dy);
  return RegionKind(d->region);
}
