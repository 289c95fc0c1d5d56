// Draws the program's skin: every bitmap and icon of the resource module,
// written as PNG bytes into a C++ include file that the module compiles in.
// It runs at build time, so the art is reproducible from this file alone.
//
// Usage: pmrskingen <output.inc>
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Art {
  unsigned id;
  bool icon;
  QImage image;
};

// Palette: dark slate surfaces with one blue accent.
const QColor kBase(0x1d, 0x23, 0x2e);
const QColor kBaseDeep(0x14, 0x18, 0x20);
const QColor kSurface(0x2a, 0x32, 0x41);
const QColor kSurfaceHover(0x36, 0x41, 0x55);
const QColor kLine(0x3b, 0x46, 0x5a);
const QColor kAccent(0x3d, 0x8b, 0xfd);
const QColor kAccentHover(0x62, 0xa3, 0xff);
const QColor kGlyph(0xe6, 0xea, 0xf0);
const QColor kGlyphDim(0x7b, 0x86, 0x99);
const QColor kDanger(0xe5, 0x48, 0x4d);
const QColor kWarn(0xe8, 0xa3, 0x2c);
const QColor kGood(0x3f, 0xb9, 0x50);

const char* const kHomePageText = "Pellomar home page";

QImage Blank(int w, int h, QColor fill = Qt::transparent) {
  QImage img(w, h, QImage::Format_ARGB32);
  img.fill(fill);
  return img;
}

// Masks are pure black on white, no smoothing: the button's shape is the
// set of pixels that are not white.
QImage Mask(int w, int h, int radius) {
  QImage img = Blank(w, h, Qt::white);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::black);
  p.drawRoundedRect(QRectF(0, 0, w, h), radius, radius);
  return img;
}

// A skin face: opaque everywhere (the mask cuts the shape), so the corners
// carry the background colour behind them.
QImage Face(int w, int h, int radius, QColor top, QColor bottom, QColor border) {
  QImage img = Blank(w, h, kBase);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, true);
  QLinearGradient g(0, 0, 0, h);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.setPen(QPen(border, 1));
  p.setBrush(g);
  p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), radius, radius);
  return img;
}

// Text baked into a bitmap must fit its room: the build stops otherwise.
bool Fits(const QFont& font, const char* text, const QRect& room) {
  const QFontMetrics fm(font);
  if (fm.horizontalAdvance(QString::fromUtf8(text)) <= room.width() && fm.height() <= room.height()) return true;
  std::fprintf(stderr, "pmrskingen: \"%s\" does not fit %dx%d pixels\n", text, room.width(), room.height());
  return false;
}

void GlyphPen(QPainter& p, QColor c, qreal width = 2.0) {
  p.setRenderHint(QPainter::Antialiasing, true);
  QPen pen(c, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
}

void Caret(QPainter& p, qreal cx, qreal cy, QColor c) {
  GlyphPen(p, c, 1.6);
  p.drawPolyline(QPolygonF({QPointF(cx - 3, cy - 1.5), QPointF(cx, cy + 1.5), QPointF(cx + 3, cy - 1.5)}));
}

// Small round title-bar buttons (20x20): menu, minimise, close. A disabled
// button is flat with a dimmed glyph.
QImage RoundButton(int kind, bool hover, bool disabled = false) {
  QColor face = hover ? (kind == 2 ? kDanger : kSurfaceHover) : kSurface;
  QImage img = disabled ? Face(20, 20, 10, kBaseDeep, kBaseDeep, kLine)
                        : Face(20, 20, 10, face.lighter(110), face, hover ? face.lighter(130) : kLine);
  QPainter p(&img);
  GlyphPen(p, disabled ? kGlyphDim : kGlyph, 1.6);
  if (kind == 0) {
    for (int y : {6, 10, 14}) p.drawLine(QPointF(6, y), QPointF(14, y));
  } else if (kind == 1) {
    p.drawLine(QPointF(6, 13), QPointF(14, 13));
  } else {
    p.drawLine(QPointF(6.5, 6.5), QPointF(13.5, 13.5));
    p.drawLine(QPointF(13.5, 6.5), QPointF(6.5, 13.5));
  }
  return img;
}

// Toolbar pills (70x20). state: 0 normal, 1 hover, 2 disabled.
// kind: 0 add (menu), 1 remove (menu), 2 start, 3 stop.
QImage Pill(int kind, int state) {
  QColor top, bottom, border;
  bool primary = kind >= 2;
  if (state == 2) {
    top = bottom = kBaseDeep;
    border = kLine;
  } else if (primary) {
    QColor c = kind == 3 ? kDanger : kAccent;
    top = state == 1 ? c.lighter(120) : c.lighter(108);
    bottom = state == 1 ? c : c.darker(110);
    border = c.lighter(130);
  } else {
    top = state == 1 ? kSurfaceHover.lighter(110) : kSurface.lighter(110);
    bottom = state == 1 ? kSurfaceHover : kSurface;
    border = state == 1 ? kAccent : kLine;
  }
  QImage img = Face(70, 20, 10, top, bottom, border);
  QPainter p(&img);
  QColor glyph = state == 2 ? kGlyphDim : kGlyph;
  GlyphPen(p, glyph, 2.0);
  if (kind == 0) {
    p.drawLine(QPointF(29, 10), QPointF(37, 10));
    p.drawLine(QPointF(33, 6), QPointF(33, 14));
    Caret(p, 45, 10, glyph);
  } else if (kind == 1) {
    p.drawLine(QPointF(29, 10), QPointF(37, 10));
    Caret(p, 45, 10, glyph);
  } else if (kind == 2) {
    p.setPen(Qt::NoPen);
    p.setBrush(glyph);
    p.drawPolygon(QPolygonF({QPointF(31, 5), QPointF(41, 10), QPointF(31, 15)}));
  } else {
    p.setPen(Qt::NoPen);
    p.setBrush(glyph);
    p.drawRoundedRect(QRectF(30, 5, 10, 10), 1.5, 1.5);
  }
  return img;
}

// The progress line's field (506x26): a light inset field, so that the
// button's dark caption text reads well on it.
QImage ProgressField() {
  QImage img = Face(506, 26, 6, QColor(0xe4, 0xe9, 0xf0), QColor(0xf4, 0xf6, 0xf9), kLine);
  QPainter p(&img);
  p.setPen(QColor(0xc4, 0xcc, 0xd8));
  p.drawLine(6, 1, 499, 1);
  return img;
}

// The home-page link (151x15): a quiet chip that lights up on hover.
QImage LinkChip(bool hover) {
  QColor c = hover ? kSurfaceHover : kBase;
  QImage img = Face(151, 15, 7, c, c, hover ? kAccent : kBase);
  QPainter p(&img);
  GlyphPen(p, hover ? kAccentHover : kAccent, 1.4);
  // A small globe at the left.
  p.drawEllipse(QPointF(9, 7.5), 4.5, 4.5);
  p.drawLine(QPointF(4.5, 7.5), QPointF(13.5, 7.5));
  p.drawEllipse(QPointF(9, 7.5), 2.0, 4.5);
  QFont font("DejaVu Sans");
  font.setPixelSize(10);
  p.setFont(font);
  p.setPen(hover ? kAccentHover : kAccent);
  const QRect room(18, 0, 130, 15);
  if (!Fits(font, kHomePageText, room)) std::exit(1);
  p.drawText(room, Qt::AlignVCenter | Qt::AlignLeft, kHomePageText);
  return img;
}

// The list header tile (8x22): a soft vertical gradient with a bottom rule.
// The header repeats it across each column, so it carries no vertical line:
// the columns part where the tiles leave a pixel free at each end.
QImage HeaderTile() {
  QImage img = Blank(8, 22);
  QPainter p(&img);
  QLinearGradient g(0, 0, 0, 22);
  g.setColorAt(0, QColor(0xf4, 0xf6, 0xf9));
  g.setColorAt(1, QColor(0xdc, 0xe2, 0xea));
  p.fillRect(img.rect(), g);
  p.setPen(QColor(0xb8, 0xc2, 0xd0));
  p.drawLine(0, 21, 7, 21);
  return img;
}

// Five 16x16 job states on magenta (the image list's transparent colour):
// waiting, running, failed, done, stopped by the user.
QImage StatusStrip() {
  QImage img = Blank(80, 16, QColor(255, 0, 255));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, false);
  auto disc = [&](int i, QColor c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QRect(i * 16 + 1, 1, 14, 14));
  };
  p.setPen(QPen(QColor(0x8a, 0x94, 0xa6), 2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRect(3, 3, 10, 10));
  disc(1, kAccent);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygon({QPoint(22, 4), QPoint(28, 8), QPoint(22, 12)}));
  disc(2, kDanger);
  p.setPen(QPen(Qt::white, 2));
  p.drawLine(37, 5, 43, 11);
  p.drawLine(43, 5, 37, 11);
  disc(3, kGood);
  p.setPen(QPen(Qt::white, 2));
  p.drawLine(52, 8, 55, 11);
  p.drawLine(55, 11, 60, 5);
  // Stopped: an amber disc with the stop square, unlike the failure's cross.
  disc(4, kWarn);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(QRect(69, 5, 6, 6));
  return img;
}

// List button icons (24x24, transparent): move up, remove, add, move down.
QImage ListIcon(int kind) {
  QImage img = Blank(24, 24);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(Qt::NoPen);
  p.setBrush(kind == 1 ? kDanger : kind == 2 ? kGood : kAccent);
  p.drawRoundedRect(QRectF(2, 2, 20, 20), 6, 6);
  GlyphPen(p, Qt::white, 2.4);
  switch (kind) {
    case 0:
      p.drawLine(QPointF(12, 17), QPointF(12, 7));
      p.drawPolyline(QPolygonF({QPointF(7.5, 11), QPointF(12, 6.5), QPointF(16.5, 11)}));
      break;
    case 1:
      p.drawLine(QPointF(7.5, 12), QPointF(16.5, 12));
      break;
    case 2:
      p.drawLine(QPointF(7.5, 12), QPointF(16.5, 12));
      p.drawLine(QPointF(12, 7.5), QPointF(12, 16.5));
      break;
    default:
      p.drawLine(QPointF(12, 7), QPointF(12, 17));
      p.drawPolyline(QPolygonF({QPointF(7.5, 13), QPointF(12, 17.5), QPointF(16.5, 13)}));
      break;
  }
  return img;
}

void Logo(QPainter& p, QRectF r) {
  p.setRenderHint(QPainter::Antialiasing, true);
  QLinearGradient g(r.topLeft(), r.bottomRight());
  g.setColorAt(0, kAccentHover);
  g.setColorAt(1, QColor(0x6f, 0x4c, 0xf0));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  qreal rad = r.width() * 0.24;
  p.drawRoundedRect(r, rad, rad);
  qreal u = r.width() / 12.0;
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygonF({QPointF(r.left() + 4.3 * u, r.top() + 3.2 * u),
                           QPointF(r.left() + 9.0 * u, r.top() + 6.0 * u),
                           QPointF(r.left() + 4.3 * u, r.top() + 8.8 * u)}));
}

QImage AppIcon() {
  QImage img = Blank(48, 48);
  QPainter p(&img);
  Logo(p, QRectF(2, 2, 44, 44));
  return img;
}

// The main window (640x464): title strip, toolbar band, list well and the
// status band at the bottom. The controls sit on it at fixed places.
QImage Background() {
  QImage img = Blank(640, 464);
  QPainter p(&img);
  QLinearGradient g(0, 0, 0, 464);
  g.setColorAt(0, kBase.lighter(108));
  g.setColorAt(1, kBaseDeep);
  p.fillRect(img.rect(), g);
  p.fillRect(QRect(0, 0, 640, 26), kBaseDeep);
  p.fillRect(QRect(0, 26, 640, 1), kLine);
  // Accent hairline under the title strip, fading out to the right.
  QLinearGradient accent(0, 0, 640, 0);
  accent.setColorAt(0, kAccent);
  accent.setColorAt(0.6, QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 0));
  p.fillRect(QRect(0, 26, 640, 1), accent);
  Logo(p, QRectF(7, 4, 18, 18));
  QFont font("DejaVu Sans");
  font.setPixelSize(12);
  font.setBold(true);
  p.setFont(font);
  p.setPen(kGlyph);
  p.drawText(QRectF(32, 0, 200, 26), Qt::AlignVCenter | Qt::AlignLeft, "Pellomar");
  // List well.
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(kLine, 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(17.5, 62.5, 611, 333), 4, 4);
  // Status band.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xff, 0xff, 0xff, 10));
  p.drawRoundedRect(QRectF(8, 400, 624, 56), 8, 8);
  // Outer frame, so the frameless window has an edge on any desktop.
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(kLine);
  p.setBrush(Qt::NoBrush);
  p.drawRect(0, 0, 639, 463);
  return img;
}

QByteArray Png(const QImage& img) {
  QByteArray bytes;
  QBuffer buf(&bytes);
  buf.open(QIODevice::WriteOnly);
  img.save(&buf, "PNG");
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  // Text needs the font database, which needs a GUI application object.
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.inc>\n", argv[0]);
    return 2;
  }
  std::vector<Art> art = {
      {157, false, Background()},
      {138, false, StatusStrip()},
      {178, false, HeaderTile()},
      {158, false, RoundButton(0, true)},   {159, false, RoundButton(0, false)},
      {168, false, RoundButton(0, false, true)},
      {160, false, Mask(20, 20, 10)},
      {161, false, RoundButton(1, true)},   {164, false, RoundButton(1, false)},
      {162, false, RoundButton(2, false)},  {163, false, RoundButton(2, true)},
      {165, false, Pill(0, 1)},             {166, false, Pill(0, 0)},  {167, false, Pill(0, 2)},
      {171, false, Pill(2, 1)},             {172, false, Pill(2, 0)},
      {173, false, Pill(3, 1)},             {174, false, Pill(3, 0)},
      {175, false, Pill(1, 1)},             {176, false, Pill(1, 0)},  {177, false, Pill(1, 2)},
      {186, false, Mask(70, 20, 10)},
      {179, false, Mask(506, 26, 6)},       {180, false, ProgressField()},
      {181, false, Mask(151, 15, 7)},       {184, false, LinkChip(false)}, {185, false, LinkChip(true)},
      {189, false, ListIcon(0)},            {190, false, ListIcon(1)},
      {191, false, ListIcon(2)},            {192, false, ListIcon(3)},
      // The list buttons load these as icons as well.
      {189, true, ListIcon(0)},             {190, true, ListIcon(1)},
      {191, true, ListIcon(2)},             {192, true, ListIcon(3)},
      {128, true, AppIcon()},
  };
  std::string out = "// Generated by pmrskingen at build time; do not edit.\n";
  std::string bitmaps, icons;
  for (const Art& a : art) {
    QByteArray png = Png(a.image);
    if (png.isEmpty()) {
      std::fprintf(stderr, "pmrskingen: could not encode image %u\n", a.id);
      return 1;
    }
    std::string name = std::string(a.icon ? "kIcon" : "kBmp") + std::to_string(a.id);
    out += "static const unsigned char " + name + "[] = {";
    for (int i = 0; i < png.size(); ++i) {
      if (i % 20 == 0) out += "\n ";
      out += std::to_string(static_cast<unsigned char>(png[i])) + ",";
    }
    out += "\n};\n";
    std::string entry = "  {" + std::to_string(a.id) + ", " + name + ", sizeof(" + name + ")},\n";
    (a.icon ? icons : bitmaps) += entry;
  }
  out += "static const PmrImageResource kSkinBitmaps[] = {\n" + bitmaps + "};\n";
  out += "static const PmrImageResource kSkinIcons[] = {\n" + icons + "};\n";
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::fprintf(stderr, "pmrskingen: cannot write %s\n", argv[1]);
    return 1;
  }
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  ok = std::fclose(f) == 0 && ok;
  return ok ? 0 : 1;
}
