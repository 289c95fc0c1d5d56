#include "platform/ui/Dc.h"

#include <QFontMetrics>
#include <QPaintEngine>
#include <QPainter>
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "platform/ui/GdiData.h"
#include "platform/ui/SysColor.h"
#include "platform/ui/WindowRecord.h"

namespace {

std::unordered_set<CDC*>& LiveDcs() {
  static std::unordered_set<CDC*> dcs;
  return dcs;
}

// Any ternary raster operation: bit i of the code is the result for the
// pattern, source and destination bits (P << 2 | S << 1 | D) equal to i.
inline uint32_t Rop3(uint8_t code, uint32_t p, uint32_t s, uint32_t d) {
  switch (code) {
    case 0xCC: return s;
    case 0x66: return s ^ d;
    case 0x88: return s & d;
    case 0xEE: return s | d;
    default: break;
  }
  uint32_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (code & (1 << i)) r |= ((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d);
  return r;
}

inline bool RopUsesSource(uint8_t code) { return ((code >> 2) & 0x33) != (code & 0x33); }

bool CompositionFor(uint8_t code, QPainter::CompositionMode& mode) {
  switch (code) {
    case 0xCC: mode = QPainter::CompositionMode_SourceOver; return true;
    case 0x66: mode = QPainter::RasterOp_SourceXorDestination; return true;
    case 0x88: mode = QPainter::RasterOp_SourceAndDestination; return true;
    case 0xEE: mode = QPainter::RasterOp_SourceOrDestination; return true;
    case 0x33: mode = QPainter::RasterOp_NotSource; return true;
    case 0x44: mode = QPainter::RasterOp_SourceAndNotDestination; return true;
    case 0x11: mode = QPainter::RasterOp_NotSourceAndNotDestination; return true;
    case 0xBB: mode = QPainter::RasterOp_NotSourceOrDestination; return true;
    default: return false;
  }
}

QRect Rect(int l, int t, int r, int b) { return QRect(l, t, r - l, b - t).normalized(); }

}  // namespace

CDC* UiDcFromHandle(HDC hdc) { return CDC::FromHandle(hdc); }

struct CDC::Impl {
  QPainter* external = nullptr;     // paint in progress (not owned)
  QSize externalSize;
  std::shared_ptr<UiGdiData> bitmap;  // memory DC target
  mutable std::unique_ptr<QPainter> own;
  bool memory = false;
  std::shared_ptr<UiGdiData> font, pen, brush;
  CBitmap* selBitmap = nullptr;
  CFont* selFont = nullptr;
  CPen* selPen = nullptr;
  CBrush* selBrush = nullptr;
  CBitmap defBitmap;
  CFont defFont;
  CPen defPen;
  CBrush defBrush;
  CGdiObject stockWrapper;  // what SelectStockObject hands back
  COLORREF text = RGB(0, 0, 0);
  COLORREF bk = RGB(255, 255, 255);
  int bkMode = OPAQUE;
  QPoint pos;
  bool hasClip = false;
  QRegion clip;
};

CDC::CDC() : d_(std::make_unique<Impl>()) {
  d_->defBitmap.CreateCompatibleBitmap(nullptr, 1, 1);
  d_->defFont.Attach(GetStockObject(DEFAULT_GUI_FONT));
  d_->defPen.Attach(GetStockObject(BLACK_PEN));
  d_->defBrush.Attach(GetStockObject(WHITE_BRUSH));
  d_->bitmap = UiGdiFind(d_->defBitmap.m_hObject);
  d_->font = UiGdiFind(d_->defFont.m_hObject);
  d_->pen = UiGdiFind(d_->defPen.m_hObject);
  d_->brush = UiGdiFind(d_->defBrush.m_hObject);
  d_->selBitmap = &d_->defBitmap;
  d_->selFont = &d_->defFont;
  d_->selPen = &d_->defPen;
  d_->selBrush = &d_->defBrush;
}

CDC::~CDC() {
  DeleteDC();
  // Stock objects are shared: the wrappers must let them go, not delete them.
  d_->defFont.Detach();
  d_->defPen.Detach();
  d_->defBrush.Detach();
  d_->stockWrapper.Detach();
}

CDC* CDC::FromHandle(HDC hdc) {
  CDC* dc = reinterpret_cast<CDC*>(hdc);
  return dc && LiveDcs().count(dc) ? dc : nullptr;
}

BOOL CDC::CreateCompatibleDC(CDC*) {
  DeleteDC();
  d_->memory = true;
  d_->bitmap = UiGdiFind(d_->defBitmap.m_hObject);
  d_->selBitmap = &d_->defBitmap;
  m_hDC = reinterpret_cast<HDC>(this);
  LiveDcs().insert(this);
  return TRUE;
}

BOOL CDC::DeleteDC() {
  if (!m_hDC) return FALSE;
  if (d_->own) d_->own->end(), d_->own.reset();
  if (d_->external && d_->hasClip) d_->external->setClipping(false);
  d_->external = nullptr;
  d_->memory = false;
  d_->hasClip = false;
  LiveDcs().erase(this);
  m_hDC = nullptr;
  return TRUE;
}

void CDC::UiAttachPainter(QPainter* painter, int width, int height) {
  DeleteDC();
  d_->external = painter;
  d_->externalSize = QSize(width, height);
  m_hDC = reinterpret_cast<HDC>(this);
  LiveDcs().insert(this);
}

void CDC::UiAttachImage(int width, int height) {
  CreateCompatibleDC(nullptr);
  auto data = std::make_shared<UiGdiData>();
  data->image = QImage(std::clamp(width, 1, 8192), std::clamp(height, 1, 8192), QImage::Format_RGB32);
  data->image.fill(Qt::white);
  d_->bitmap = data;
}

bool CDC::IsMemory() const { return d_->memory; }

QPainter* CDC::Painter() const {
  if (!m_hDC) return nullptr;
  if (d_->external) return d_->external;
  if (!d_->own) {
    d_->own = std::make_unique<QPainter>(&d_->bitmap->image);
    if (d_->hasClip) d_->own->setClipRegion(d_->clip);
  }
  return d_->own.get();
}

QImage* CDC::Image() const {
  if (!m_hDC || !d_->memory) return nullptr;
  if (d_->own) d_->own->end(), d_->own.reset();
  return &d_->bitmap->image;
}

// ---------------------------------------------------------------------------
// Objects

CBitmap* CDC::SelectObject(CBitmap* bitmap) {
  if (!bitmap || !d_->memory) return nullptr;
  auto data = UiGdiFind(bitmap->m_hObject, UiGdiKind::Bitmap);
  if (!data) return nullptr;
  Image();  // end drawing into the old bitmap
  CBitmap* old = d_->selBitmap;
  d_->bitmap = data;
  d_->selBitmap = bitmap;
  return old;
}

CFont* CDC::SelectObject(CFont* font) {
  auto data = font ? UiGdiFind(font->m_hObject, UiGdiKind::Font) : nullptr;
  if (!data) return nullptr;
  CFont* old = d_->selFont;
  d_->font = data;
  d_->selFont = font;
  return old;
}

CPen* CDC::SelectObject(CPen* pen) {
  auto data = pen ? UiGdiFind(pen->m_hObject, UiGdiKind::Pen) : nullptr;
  if (!data) return nullptr;
  CPen* old = d_->selPen;
  d_->pen = data;
  d_->selPen = pen;
  return old;
}

CBrush* CDC::SelectObject(CBrush* brush) {
  auto data = brush ? UiGdiFind(brush->m_hObject, UiGdiKind::Brush) : nullptr;
  if (!data) return nullptr;
  CBrush* old = d_->selBrush;
  d_->brush = data;
  d_->selBrush = brush;
  return old;
}

CGdiObject* CDC::SelectStockObject(int index) {
  HGDIOBJ h = GetStockObject(index);
  auto data = UiGdiFind(h);
  if (!data) return nullptr;
  CGdiObject* old = nullptr;
  switch (data->kind) {
    case UiGdiKind::Brush: old = d_->selBrush, d_->brush = data, d_->selBrush = &d_->defBrush; break;
    case UiGdiKind::Pen: old = d_->selPen, d_->pen = data, d_->selPen = &d_->defPen; break;
    case UiGdiKind::Font: old = d_->selFont, d_->font = data, d_->selFont = &d_->defFont; break;
    default: return nullptr;
  }
  return old;
}

CFont* CDC::GetCurrentFont() const { return d_->selFont; }
CBitmap* CDC::GetCurrentBitmap() const { return d_->selBitmap; }

int CDC::SelectClipRgn(CRgn* region) {
  auto data = region ? UiGdiFind(region->m_hObject, UiGdiKind::Region) : nullptr;
  if (region && !data) return RGN_ERROR;
  d_->hasClip = data != nullptr;
  d_->clip = data ? data->region : QRegion();
  if (QPainter* p = d_->external ? d_->external : d_->own.get()) {
    if (d_->hasClip)
      p->setClipRegion(d_->clip);
    else
      p->setClipping(false);
  }
  if (!d_->hasClip) return SIMPLEREGION;
  return d_->clip.isEmpty() ? NULLREGION : (d_->clip.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION);
}

int CDC::IntersectClipRect(int left, int top, int right, int bottom) {
  QRegion r(Rect(left, top, right, bottom));
  CRgn rgn;
  rgn.CreateRectRgn(0, 0, 0, 0);
  UiGdiFind(rgn.m_hObject)->region = d_->hasClip ? d_->clip.intersected(r) : r;
  return SelectClipRgn(&rgn);
}

int CDC::GetClipBox(LPRECT rect) const {
  if (!rect) return RGN_ERROR;
  QRect b;
  if (d_->hasClip)
    b = d_->clip.boundingRect();
  else if (d_->external)
    b = QRect(QPoint(0, 0), d_->externalSize);
  else
    b = d_->bitmap->image.rect();
  *rect = RECT{b.left(), b.top(), b.left() + b.width(), b.top() + b.height()};
  return b.isEmpty() ? NULLREGION : SIMPLEREGION;
}

COLORREF CDC::SetTextColor(COLORREF c) { return std::exchange(d_->text, c); }
COLORREF CDC::GetTextColor() const { return d_->text; }
COLORREF CDC::SetBkColor(COLORREF c) { return std::exchange(d_->bk, c); }
COLORREF CDC::GetBkColor() const { return d_->bk; }
int CDC::SetBkMode(int mode) {
  if (mode != TRANSPARENT && mode != OPAQUE) return 0;
  return std::exchange(d_->bkMode, mode);
}
int CDC::GetBkMode() const { return d_->bkMode; }

// ---------------------------------------------------------------------------
// Blits

BOOL CDC::BitBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, DWORD rop) {
  return StretchBlt(x, y, width, height, source, xSrc, ySrc, width, height, rop);
}

BOOL CDC::StretchBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, int srcWidth,
                     int srcHeight, DWORD rop) {
  if (!m_hDC) return FALSE;
  const uint8_t code = static_cast<uint8_t>((rop >> 16) & 0xFF);
  const bool usesSource = RopUsesSource(code);
  QImage src;
  if (usesSource) {
    QImage* srcImage = source ? source->Image() : nullptr;
    if (!srcImage || width == 0 || height == 0 || srcWidth == 0 || srcHeight == 0) return FALSE;
    // Negative extents mirror, as on the platform.
    bool mirrorX = (width < 0) != (srcWidth < 0), mirrorY = (height < 0) != (srcHeight < 0);
    QRect sr = QRect(xSrc, ySrc, srcWidth, srcHeight).normalized();
    if (srcWidth < 0) sr.translate(1, 0);
    if (srcHeight < 0) sr.translate(0, 1);
    // Pixels outside the source bitmap read as black.
    src = QImage(sr.size(), QImage::Format_RGB32);
    src.fill(Qt::black);
    {
      QPainter cp(&src);
      cp.setCompositionMode(QPainter::CompositionMode_Source);
      cp.drawImage(QPoint(0, 0), *srcImage, sr);
    }
    int w = std::abs(width), h = std::abs(height);
    if (src.width() != w || src.height() != h) src = src.scaled(w, h, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (mirrorX || mirrorY) src = src.mirrored(mirrorX, mirrorY);
  }
  QRect dr = QRect(x, y, width, height).normalized();
  if (width < 0) dr.translate(1, 0);
  if (height < 0) dr.translate(0, 1);
  const QRgb pattern = d_->brush->brush.style() == Qt::NoBrush ? 0 : d_->brush->brush.color().rgb();

  if (QImage* dst = IsMemory() ? Image() : nullptr) {
    QRect clipped = dr.intersected(dst->rect());
    for (int yy = clipped.top(); yy <= clipped.bottom(); ++yy) {
      auto* line = reinterpret_cast<QRgb*>(dst->scanLine(yy));
      const QRgb* sline = usesSource ? reinterpret_cast<const QRgb*>(src.constScanLine(yy - dr.top())) : nullptr;
      for (int xx = clipped.left(); xx <= clipped.right(); ++xx) {
        if (d_->hasClip && !d_->clip.contains(QPoint(xx, yy))) continue;
        uint32_t s = sline ? sline[xx - dr.left()] : 0;
        line[xx] = (Rop3(code, pattern, s, line[xx]) & 0x00FFFFFFu) | 0xFF000000u;
      }
    }
    return TRUE;
  }

  QPainter* p = Painter();
  if (!p) return FALSE;
  p->save();
  if (code == 0x00 || code == 0xFF) {
    p->fillRect(dr, code ? Qt::white : Qt::black);
  } else if (code == 0xF0) {
    p->fillRect(dr, QColor::fromRgb(pattern));
  } else if (code == 0x55) {
    p->setCompositionMode(QPainter::RasterOp_NotDestination);
    p->fillRect(dr, Qt::white);
  } else if (usesSource) {
    QPainter::CompositionMode mode;
    if (!CompositionFor(code, mode)) mode = QPainter::CompositionMode_SourceOver;
    p->setCompositionMode(mode);
    p->drawImage(dr.topLeft(), src);
  }
  p->restore();
  return TRUE;
}

BOOL CDC::PatBlt(int x, int y, int width, int height, DWORD rop) {
  return StretchBlt(x, y, width, height, nullptr, 0, 0, width, height, rop);
}

// ---------------------------------------------------------------------------
// Shapes

void CDC::FillSolidRect(LPCRECT r, COLORREF colour) {
  if (!r) return;
  FillSolidRect(r->left, r->top, r->right - r->left, r->bottom - r->top, colour);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF colour) {
  QPainter* p = Painter();
  if (!p) return;
  d_->bk = colour;  // the platform fills through the background colour and leaves it set
  p->fillRect(QRect(x, y, cx, cy).normalized(), UiColor(colour));
}

void CDC::FillRect(LPCRECT r, CBrush* brush) {
  auto data = brush ? UiGdiFind(brush->m_hObject, UiGdiKind::Brush) : nullptr;
  QPainter* p = Painter();
  if (!r || !data || !p) return;
  p->fillRect(Rect(r->left, r->top, r->right, r->bottom), data->brush);
}

void CDC::FrameRect(LPCRECT r, CBrush* brush) {
  auto data = brush ? UiGdiFind(brush->m_hObject, UiGdiKind::Brush) : nullptr;
  QPainter* p = Painter();
  if (!r || !data || !p || r->right <= r->left || r->bottom <= r->top) return;
  QRect q = Rect(r->left, r->top, r->right, r->bottom);
  p->fillRect(QRect(q.left(), q.top(), q.width(), 1), data->brush);
  p->fillRect(QRect(q.left(), q.bottom(), q.width(), 1), data->brush);
  p->fillRect(QRect(q.left(), q.top(), 1, q.height()), data->brush);
  p->fillRect(QRect(q.right(), q.top(), 1, q.height()), data->brush);
}

BOOL CDC::Rectangle(int left, int top, int right, int bottom) {
  QPainter* p = Painter();
  if (!p || right - left < 1 || bottom - top < 1) return FALSE;
  p->save();
  p->setRenderHint(QPainter::Antialiasing, false);
  // The right and bottom edges are outside the figure.
  QRect q(left, top, right - left, bottom - top);
  if (d_->brush->brush.style() != Qt::NoBrush) p->fillRect(q, d_->brush->brush);
  if (d_->pen->pen.style() != Qt::NoPen) {
    QPen pen = d_->pen->pen;
    pen.setJoinStyle(Qt::MiterJoin);
    p->setPen(pen);
    p->setBrush(Qt::NoBrush);
    p->drawRect(q.adjusted(0, 0, -1, -1));
  }
  p->restore();
  return TRUE;
}

BOOL CDC::Ellipse(int left, int top, int right, int bottom) {
  QPainter* p = Painter();
  if (!p) return FALSE;
  p->save();
  p->setPen(d_->pen->pen);
  p->setBrush(d_->brush->brush);
  p->drawEllipse(Rect(left, top, right - 1, bottom - 1));
  p->restore();
  return TRUE;
}

void CDC::Draw3dRect(LPCRECT r, COLORREF topLeft, COLORREF bottomRight) {
  if (r) Draw3dRect(r->left, r->top, r->right - r->left, r->bottom - r->top, topLeft, bottomRight);
}

void CDC::Draw3dRect(int x, int y, int cx, int cy, COLORREF topLeft, COLORREF bottomRight) {
  QPainter* p = Painter();
  if (!p || cx <= 0 || cy <= 0) return;
  // Top and left lines in one colour, right and bottom (corners included) in the other.
  p->fillRect(QRect(x, y, cx - 1, 1), UiColor(topLeft));
  p->fillRect(QRect(x, y, 1, cy - 1), UiColor(topLeft));
  p->fillRect(QRect(x + cx - 1, y, 1, cy), UiColor(bottomRight));
  p->fillRect(QRect(x, y + cy - 1, cx, 1), UiColor(bottomRight));
}

BOOL CDC::DrawEdge(LPRECT r, UINT edge, UINT flags) {
  if (!r || !Painter()) return FALSE;
  CRect rc(*r);
  auto ring = [&](bool raised, COLORREF light, COLORREF dark) {
    COLORREF tl = raised ? light : dark, br = raised ? dark : light;
    QPainter* p = Painter();
    if (flags & BF_TOP) p->fillRect(QRect(rc.left, rc.top, rc.Width(), 1), UiColor(tl));
    if (flags & BF_LEFT) p->fillRect(QRect(rc.left, rc.top, 1, rc.Height()), UiColor(tl));
    if (flags & BF_BOTTOM) p->fillRect(QRect(rc.left, rc.bottom - 1, rc.Width(), 1), UiColor(br));
    if (flags & BF_RIGHT) p->fillRect(QRect(rc.right - 1, rc.top, 1, rc.Height()), UiColor(br));
    rc.DeflateRect(1, 1);
  };
  if (edge & (BDR_RAISEDOUTER | BDR_SUNKENOUTER))
    ring((edge & BDR_RAISEDOUTER) != 0, GetSysColor(COLOR_3DLIGHT), GetSysColor(COLOR_3DDKSHADOW));
  if (edge & (BDR_RAISEDINNER | BDR_SUNKENINNER))
    ring((edge & BDR_RAISEDINNER) != 0, GetSysColor(COLOR_3DHILIGHT), GetSysColor(COLOR_3DSHADOW));
  if (flags & BF_ADJUST) *r = rc;
  return TRUE;
}

void CDC::DrawFocusRect(LPCRECT r) {
  QPainter* p = Painter();
  if (!r || !p || r->right - r->left < 1 || r->bottom - r->top < 1) return;
  p->save();
  // Drawn by inverting, as the platform does, so that it shows on dark and
  // light backgrounds alike (on a painter that cannot invert: black dots).
  if (p->paintEngine() && p->paintEngine()->hasFeature(QPaintEngine::RasterOpModes)) {
    p->setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p->setPen(QPen(QColor(255, 255, 255), 1, Qt::DotLine));
  } else {
    p->setPen(QPen(QColor(0, 0, 0), 1, Qt::DotLine));
  }
  p->setBrush(Qt::NoBrush);
  p->drawRect(QRect(r->left, r->top, r->right - r->left - 1, r->bottom - r->top - 1));
  p->restore();
}

CPoint CDC::MoveTo(int x, int y) {
  CPoint old(d_->pos.x(), d_->pos.y());
  d_->pos = QPoint(x, y);
  return old;
}

BOOL CDC::LineTo(int x, int y) {
  QPainter* p = Painter();
  if (!p) return FALSE;
  p->save();
  p->setPen(d_->pen->pen);
  p->drawLine(d_->pos, QPoint(x, y));
  p->restore();
  d_->pos = QPoint(x, y);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Text

namespace {
QString TextOf(const char* text, int count) {
  if (!text) return QString();
  size_t n = count < 0 ? std::strlen(text) : static_cast<size_t>(count);
  return QString::fromUtf8(text, static_cast<qsizetype>(n));
}
}  // namespace

BOOL CDC::TextOut(int x, int y, const char* text, int count) {
  QPainter* p = Painter();
  if (!p || !text || count < 0) return FALSE;
  QString s = TextOf(text, count);
  QFontMetrics fm(d_->font->font);
  QRect box(x, y, fm.horizontalAdvance(s), fm.height());
  p->save();
  p->setFont(d_->font->font);
  if (d_->bkMode == OPAQUE) p->fillRect(box, UiColor(d_->bk));
  p->setPen(UiColor(d_->text));
  p->drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, s);
  p->restore();
  return TRUE;
}

int CDC::DrawText(const char* text, int count, LPRECT r, UINT format) {
  if (!text || !r || !m_hDC) return 0;
  QString s = TextOf(text, count);
  QFontMetrics fm(d_->font->font);
  int flags = 0;
  flags |= (format & DT_CENTER) ? Qt::AlignHCenter : (format & DT_RIGHT) ? Qt::AlignRight : Qt::AlignLeft;
  if (format & DT_SINGLELINE) {
    flags |= Qt::TextSingleLine;
    flags |= (format & DT_VCENTER) ? Qt::AlignVCenter : (format & DT_BOTTOM) ? Qt::AlignBottom : Qt::AlignTop;
  } else {
    flags |= Qt::AlignTop;
    if (format & DT_WORDBREAK) flags |= Qt::TextWordWrap;
  }
  if (format & DT_EXPANDTABS) flags |= Qt::TextExpandTabs;
  flags |= (format & DT_NOPREFIX) ? 0 : Qt::TextShowMnemonic;
  QRect box = Rect(r->left, r->top, r->right, r->bottom);
  if (format & (DT_END_ELLIPSIS | DT_PATH_ELLIPSIS | DT_WORD_ELLIPSIS))
    s = fm.elidedText(s, (format & DT_PATH_ELLIPSIS) ? Qt::ElideMiddle : Qt::ElideRight, std::max(box.width(), 0));
  if (format & DT_CALCRECT) {
    QRect need = fm.boundingRect(QRect(box.left(), box.top(), (flags & Qt::TextWordWrap) ? box.width() : 100000, 100000),
                                 flags & ~(Qt::AlignHCenter | Qt::AlignRight | Qt::AlignVCenter | Qt::AlignBottom), s);
    r->right = r->left + need.width();
    r->bottom = r->top + need.height();
    return need.height();
  }
  QPainter* p = Painter();
  if (!p) return 0;
  p->save();
  p->setFont(d_->font->font);
  QRect used = p->boundingRect(box, flags, s);
  if (d_->bkMode == OPAQUE) p->fillRect(used.intersected(box), UiColor(d_->bk));
  p->setPen(UiColor(d_->text));
  if (!(format & DT_NOCLIP)) p->setClipRect(box, Qt::IntersectClip);
  p->drawText(box, flags, s);
  p->restore();
  return used.height();
}

CSize CDC::GetTextExtent(const char* text, int count) const {
  if (!text || count < 0) return CSize();
  QFontMetrics fm(d_->font->font);
  return CSize(fm.horizontalAdvance(TextOf(text, count)), fm.height());
}

// ---------------------------------------------------------------------------
// Pixels and caps

COLORREF CDC::GetPixel(int x, int y) const {
  QImage* img = Image();
  if (!img || !img->rect().contains(x, y)) return CLR_INVALID;
  return UiColorRef(img->pixel(x, y));
}

COLORREF CDC::SetPixel(int x, int y, COLORREF colour) {
  if (QImage* img = IsMemory() ? Image() : nullptr) {
    if (!img->rect().contains(x, y)) return CLR_INVALID;
    if (d_->hasClip && !d_->clip.contains(QPoint(x, y))) return CLR_INVALID;
    img->setPixel(x, y, UiColor(colour).rgb());
    return colour;
  }
  QPainter* p = Painter();
  if (!p) return CLR_INVALID;
  p->fillRect(QRect(x, y, 1, 1), UiColor(colour));
  return colour;
}

int CDC::GetDeviceCaps(int index) const {
  switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY: return 96;  // fonts and point sizes are laid out at 96 pixels per inch
    case HORZRES: return d_->external ? d_->externalSize.width() : (d_->bitmap ? d_->bitmap->image.width() : 0);
    case VERTRES: return d_->external ? d_->externalSize.height() : (d_->bitmap ? d_->bitmap->image.height() : 0);
    case BITSPIXEL: return 32;
    case PLANES: return 1;
    case NUMCOLORS: return -1;
    case RASTERCAPS: return RC_BITBLT | RC_STRETCHBLT;
    default: return 0;
  }
}

BOOL CDC::DrawIcon(int x, int y, HICON icon) {
  auto data = UiGdiFind(reinterpret_cast<HGDIOBJ>(icon), UiGdiKind::Icon);
  QPainter* p = Painter();
  if (!data || !p || data->image.isNull()) return FALSE;
  p->drawImage(QPoint(x, y), data->image);
  return TRUE;
}

BOOL CDC::DrawState(CPoint at, CSize, HICON icon, UINT flags, HBRUSH) {
  if ((flags & 0x000F) != DST_ICON) return FALSE;
  if (!(flags & (DSS_DISABLED | DSS_UNION))) return DrawIcon(at.x, at.y, icon);
  auto data = UiGdiFind(reinterpret_cast<HGDIOBJ>(icon), UiGdiKind::Icon);
  QPainter* p = Painter();
  if (!data || !p || data->image.isNull()) return FALSE;
  if (!(flags & DSS_DISABLED)) {
    QImage grey = data->image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < grey.height(); ++y) {
      auto* row = reinterpret_cast<QRgb*>(grey.scanLine(y));
      for (int x = 0; x < grey.width(); ++x) {
        const int g = qGray(row[x]);
        row[x] = qRgba(g, g, g, qAlpha(row[x]));
      }
    }
    p->save();
    p->setOpacity(0.5);
    p->drawImage(QPoint(at.x, at.y), grey);
    p->restore();
    return TRUE;
  }
  // The icon's shape: its opaque pixels in one colour.
  auto shape = [&](COLORREF colour) {
    QImage img = data->image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter fill(&img);
    fill.setCompositionMode(QPainter::CompositionMode_SourceIn);
    fill.fillRect(img.rect(), UiColor(colour));
    return img;
  };
  p->drawImage(QPoint(at.x + 1, at.y + 1), shape(GetSysColor(COLOR_3DHILIGHT)));
  p->drawImage(QPoint(at.x, at.y), shape(GetSysColor(COLOR_3DSHADOW)));
  return TRUE;
}

// ---------------------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* wnd) : m_pWnd(wnd) {
  UiWindow* rec = wnd ? wnd->Record() : nullptr;
  QWidget* w = rec ? rec->widget.data() : nullptr;
  int width = w ? w->width() : 1, height = w ? w->height() : 1;
  if (rec && rec->painter)
    UiAttachPainter(rec->painter, width, height);
  else
    UiAttachImage(width, height);
  m_ps.hdc = m_hDC;
  m_ps.fErase = FALSE;
  m_ps.rcPaint = RECT{0, 0, width, height};
}

CClientDC::CClientDC(CWnd* wnd) : m_pWnd(wnd) {
  UiWindow* rec = wnd ? wnd->Record() : nullptr;
  QWidget* w = rec ? rec->widget.data() : nullptr;
  int width = w ? w->width() : 1, height = w ? w->height() : 1;
  if (rec && rec->painter)
    UiAttachPainter(rec->painter, width, height);
  else
    UiAttachImage(width, height);
}
