#include "platform/ui/Static.h"

#include <QLabel>
#include <QMouseEvent>

#include "platform/ui/Button.h"
#include "platform/ui/GdiData.h"
#include "platform/ui/WindowRecord.h"

namespace {

constexpr DWORD SS_NOPREFIX = 0x80;

class StaticWidget : public UiHost<QLabel> {
 public:
  using UiHost<QLabel>::UiHost;
  std::string raw;  // the text as set, '&' included
  HGDIOBJ image = nullptr;
  UINT imageType = IMAGE_BITMAP;

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override {
    QLabel::mouseReleaseEvent(e);
    UiWindow* rec = UiFindWindow(this);
    if (rec && (rec->style & SS_NOTIFY) && e->button() == Qt::LeftButton) UiNotifyParent(*rec, STN_CLICKED);
  }
  void mouseDoubleClickEvent(QMouseEvent* e) override {
    QLabel::mouseDoubleClickEvent(e);
    UiWindow* rec = UiFindWindow(this);
    if (rec && (rec->style & SS_NOTIFY)) UiNotifyParent(*rec, STN_DBLCLK);
  }
};

// '&' marks a mnemonic on the platform; "&&" is a literal ampersand.
QString Shown(const std::string& raw, DWORD style) {
  QString s = UiQ(raw);
  if (style & SS_NOPREFIX) return s;
  QString out;
  for (qsizetype i = 0; i < s.size(); ++i) {
    if (s[i] == '&' && i + 1 < s.size()) ++i;
    else if (s[i] == '&') continue;
    out += s[i];
  }
  return out;
}

void Apply(UiWindow& rec, StaticWidget* w) {
  DWORD type = rec.style & SS_TYPEMASK;
  Qt::Alignment a = type == SS_CENTER ? Qt::AlignHCenter : type == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft;
  a |= (rec.style & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop;
  w->setAlignment(a);
  w->setWordWrap(type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT);
  w->setFrameShape(type == SS_BLACKFRAME || type == SS_ETCHEDFRAME || (rec.style & SS_SUNKEN) ? QFrame::Box
                                                                                             : QFrame::NoFrame);
  if (type == SS_BLACKRECT) w->setStyleSheet("background: black");
  if (type == SS_WHITERECT) w->setStyleSheet("background: white");
  auto data = UiGdiFind(w->image);
  if ((type == SS_BITMAP || type == SS_ICON) && data && !data->image.isNull())
    w->setPixmap(QPixmap::fromImage(data->image));
  else
    w->setText(Shown(w->raw, rec.style));
}

}  // namespace

QWidget* UiMakeStaticWidget(UiWindow& rec, QWidget* parent) {
  auto* w = new StaticWidget(parent);
  // File names and user text are shown as they are, never as markup.
  w->setTextFormat(Qt::PlainText);
  // A static that notifies and is a tab stop is a link: the keyboard
  // reaches it as the pointer does.
  if ((rec.style & SS_NOTIFY) && (rec.style & WS_TABSTOP)) w->setFocusPolicy(Qt::StrongFocus);
  Apply(rec, w);
  return w;
}

LRESULT UiStaticProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* w = dynamic_cast<StaticWidget*>(rec.widget.data());
  if (!w) return 0;
  handled = true;
  switch (message) {
    case WM_SETTEXT:
      w->raw = lParam ? reinterpret_cast<const char*>(lParam) : "";
      Apply(rec, w);
      return TRUE;
    case WM_GETTEXT: return UiCopyText(w->raw, wParam, lParam);
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->raw.size());
    case STM_SETIMAGE:
    case STM_SETICON: {
      HGDIOBJ old = w->image;
      w->image = reinterpret_cast<HGDIOBJ>(message == STM_SETICON ? wParam : static_cast<WPARAM>(lParam));
      w->imageType = message == STM_SETICON ? IMAGE_ICON : static_cast<UINT>(wParam);
      Apply(rec, w);
      return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETIMAGE:
    case STM_GETICON: return reinterpret_cast<LRESULT>(w->image);
    case UI_STYLECHANGED: Apply(rec, w); return 0;
    default: handled = false; return 0;
  }
}

HBITMAP CStatic::SetBitmap(HBITMAP bitmap) {
  return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
}
HBITMAP CStatic::GetBitmap() const { return reinterpret_cast<HBITMAP>(::SendMessage(m_hWnd, STM_GETIMAGE, IMAGE_BITMAP, 0)); }
HICON CStatic::SetIcon(HICON icon) {
  return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(icon), 0));
}
HICON CStatic::GetIcon() const { return reinterpret_cast<HICON>(::SendMessage(m_hWnd, STM_GETICON, 0, 0)); }
