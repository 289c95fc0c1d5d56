#include "platform/ui/Button.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyleOption>
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ui/Dc.h"
#include "platform/ui/GdiData.h"
#include "platform/ui/WindowRecord.h"

namespace {

class ButtonWidget : public UiHost<QPushButton> {
 public:
  using UiHost<QPushButton>::UiHost;
  int check = 0;
  HGDIOBJ image = nullptr;
  UINT imageType = IMAGE_BITMAP;

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void paintEvent(QPaintEvent* e) override {
    UiWindow* rec = UiFindWindow(this);
    DWORD type = rec ? rec->style & BS_TYPEMASK : BS_PUSHBUTTON;
    if (type == BS_OWNERDRAW) return OwnerDraw(*rec);
    QPainter p(this);
    if (type == BS_GROUPBOX) {
      QFontMetrics fm(font());
      int top = fm.height() / 2;
      p.setPen(palette().color(QPalette::Mid));
      p.drawRect(rect().adjusted(0, top, -1, -1));
      QString t = text();
      t.remove('&');
      QRect tr(8, 0, fm.horizontalAdvance(t) + 4, fm.height());
      p.fillRect(tr, palette().color(QPalette::Window));
      p.setPen(palette().color(QPalette::WindowText));
      p.drawText(tr, Qt::AlignCenter, t);
      return;
    }
    bool isCheck = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE;
    bool isRadio = type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
    if (isCheck || isRadio) {
      QStyleOptionButton opt;
      opt.initFrom(this);
      opt.text = text();
      opt.state |= check == BST_CHECKED ? QStyle::State_On : check == BST_INDETERMINATE ? QStyle::State_NoChange : QStyle::State_Off;
      if (isDown()) opt.state |= QStyle::State_Sunken;
      style()->drawControl(isRadio ? QStyle::CE_RadioButton : QStyle::CE_CheckBox, &opt, &p, this);
      return;
    }
    p.end();
    QPushButton::paintEvent(e);
    auto data = UiGdiFind(image);
    if (data && !data->image.isNull()) {
      QPainter q(this);
      QImage img = data->image;
      q.drawImage(QPoint((width() - img.width()) / 2 + (isDown() ? 1 : 0), (height() - img.height()) / 2 + (isDown() ? 1 : 0)), img);
    }
  }

 private:
  void OwnerDraw(UiWindow& rec) {
    QPainter p(this);
    rec.painter = &p;
    CDC dc;
    dc.UiAttachPainter(&p, width(), height());
    UiSelectWindowFont(dc, rec);
    DRAWITEMSTRUCT dis{};
    dis.CtlType = ODT_BUTTON;
    dis.CtlID = static_cast<UINT>(rec.id);
    dis.itemAction = ODA_DRAWENTIRE;
    if (isDown()) dis.itemState |= ODS_SELECTED;
    if (hasFocus()) dis.itemState |= ODS_FOCUS;
    if (!isEnabled()) dis.itemState |= ODS_DISABLED;
    if (check == BST_CHECKED) dis.itemState |= ODS_CHECKED;
    dis.hwndItem = rec.hwnd;
    dis.hDC = dc.m_hDC;
    dis.rcItem = RECT{0, 0, width(), height()};
    HWND self = rec.hwnd;
    if (rec.parent && IsWindow(rec.parent))
      ::SendMessage(rec.parent, WM_DRAWITEM, static_cast<WPARAM>(rec.id), reinterpret_cast<LPARAM>(&dis));
    else if (CWnd* w = CWnd::FromHandle(self))
      w->OnChildNotify(WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&dis), nullptr);
    if (UiWindow* r = UiFindWindow(self)) r->painter = nullptr;
  }
};

DWORD TypeOf(const UiWindow& rec) { return rec.style & BS_TYPEMASK; }
bool IsRadio(DWORD t) { return t == BS_RADIOBUTTON || t == BS_AUTORADIOBUTTON; }
bool IsCheckable(DWORD t) { return IsRadio(t) || (t >= BS_CHECKBOX && t <= BS_AUTO3STATE && t != BS_RADIOBUTTON); }

// An automatic radio button clears the other automatic radio buttons of its group.
void UncheckGroupSiblings(UiWindow& rec) {
  UiWindow* parent = UiFindWindow(rec.parent);
  if (!parent) return;
  auto& kids = parent->children;
  auto it = std::find(kids.begin(), kids.end(), rec.hwnd);
  if (it == kids.end()) return;
  size_t index = static_cast<size_t>(it - kids.begin()), first = index, last = index;
  auto starts = [&](size_t i) {
    UiWindow* r = UiFindWindow(kids[i]);
    return r && (r->style & WS_GROUP);
  };
  while (first > 0 && !starts(first)) --first;
  while (last + 1 < kids.size() && !starts(last + 1)) ++last;
  for (size_t i = first; i <= last; ++i) {
    if (i == index) continue;
    UiWindow* r = UiFindWindow(kids[i]);
    if (r && r->kind == UiKind::Button && TypeOf(*r) == BS_AUTORADIOBUTTON)
      if (auto* b = dynamic_cast<ButtonWidget*>(r->widget.data()); b && b->check) b->check = 0, b->update();
  }
}

void Clicked(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  auto* b = rec ? dynamic_cast<ButtonWidget*>(rec->widget.data()) : nullptr;
  if (!b) return;
  switch (TypeOf(*rec)) {
    case BS_AUTOCHECKBOX: b->check = b->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED; break;
    case BS_AUTO3STATE: b->check = (b->check + 1) % 3; break;
    case BS_AUTORADIOBUTTON:
      b->check = BST_CHECKED;
      UncheckGroupSiblings(*rec);
      break;
    default: break;
  }
  b->update();
  UiNotifyParent(*rec, BN_CLICKED);
}

// The radio buttons of `rec`'s group that the keyboard can reach, in
// template order.
std::vector<HWND> GroupRadios(const UiWindow& rec) {
  std::vector<HWND> out;
  UiWindow* parent = UiFindWindow(rec.parent);
  if (!parent) return out;
  const auto& kids = parent->children;
  const auto it = std::find(kids.begin(), kids.end(), rec.hwnd);
  if (it == kids.end()) return out;
  size_t first = static_cast<size_t>(it - kids.begin());
  auto starts = [&](size_t i) {
    const UiWindow* r = UiFindWindow(kids[i]);
    return r && (r->style & WS_GROUP);
  };
  while (first > 0 && !starts(first)) --first;
  for (size_t i = first; i < kids.size() && (i == first || !starts(i)); ++i) {
    const UiWindow* r = UiFindWindow(kids[i]);
    if (r && r->kind == UiKind::Button && IsRadio(TypeOf(*r)) && r->widget && r->widget->isVisible() &&
        r->widget->isEnabled())
      out.push_back(kids[i]);
  }
  return out;
}

// The arrow keys move through a group of radio buttons and choose the one
// they reach, as the platform's dialogs do; other keys are the button's.
void ButtonWidget::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  const bool arrow = key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_Left || key == Qt::Key_Right;
  UiWindow* rec = UiFindWindow(this);
  if (!arrow || !rec || !IsRadio(TypeOf(*rec)) || (e->modifiers() & ~Qt::KeypadModifier)) {
    QPushButton::keyPressEvent(e);
    return;
  }
  const std::vector<HWND> radios = GroupRadios(*rec);
  const auto at = std::find(radios.begin(), radios.end(), rec->hwnd);
  if (radios.size() < 2 || at == radios.end()) {
    e->accept();
    return;
  }
  const size_t n = radios.size(), i = static_cast<size_t>(at - radios.begin());
  const HWND next = radios[(key == Qt::Key_Down || key == Qt::Key_Right) ? (i + 1) % n : (i + n - 1) % n];
  // A move by the keyboard: the style then shows where the focus went.
  if (UiWindow* r = UiFindWindow(next)) {
    r->widget->window()->setAttribute(Qt::WA_KeyboardFocusChange);
    r->widget->setFocus(Qt::OtherFocusReason);
  }
  Clicked(next);
  e->accept();
}

// The next (or previous) widget of `from`'s window that Tab stops at.
QWidget* TabNeighbour(QWidget* from, bool forward) {
  QWidget* w = from;
  // The chain is a ring of the window's widgets: one round at the most.
  for (int guard = 0; guard < 4096; ++guard) {
    w = forward ? w->nextInFocusChain() : w->previousInFocusChain();
    if (!w || w == from) return nullptr;
    if (w->window() == from->window() && (w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled())
      return w;
  }
  return nullptr;
}

// Tab stops once in a group of radio buttons, at the chosen one, as on the
// platform: entering the group goes to it, and the next Tab leaves the
// group. A group with nothing chosen stops at each.
void ButtonWidget::focusInEvent(QFocusEvent* e) {
  QPushButton::focusInEvent(e);
  const bool forward = e->reason() == Qt::TabFocusReason;
  UiWindow* rec = UiFindWindow(this);
  if ((!forward && e->reason() != Qt::BacktabFocusReason) || !rec || !IsRadio(TypeOf(*rec)) || check) return;
  const std::vector<HWND> radios = GroupRadios(*rec);
  const auto me = std::find(radios.begin(), radios.end(), rec->hwnd);
  const auto chosen = std::find_if(radios.begin(), radios.end(), [](HWND h) {
    const UiWindow* r = UiFindWindow(h);
    const auto* b = r ? dynamic_cast<const ButtonWidget*>(r->widget.data()) : nullptr;
    return b && b->check;
  });
  if (me == radios.end() || chosen == radios.end()) return;
  QWidget* to = nullptr;
  if ((chosen > me) == forward) {
    to = UiFindWindow(*chosen)->widget;
  } else if (UiWindow* edge = UiFindWindow(forward ? radios.back() : radios.front())) {
    // Coming from the chosen one: on past the group.
    to = TabNeighbour(edge->widget, forward);
  }
  if (to) to->setFocus(e->reason());
}

void ApplyStyle(UiWindow& rec, ButtonWidget* b) {
  DWORD t = TypeOf(rec);
  b->setAutoDefault(false);
  b->setDefault(t == BS_DEFPUSHBUTTON);
  b->setFlat(t == BS_GROUPBOX);
  if (t == BS_GROUPBOX) b->setFocusPolicy(Qt::NoFocus);
}

}  // namespace

bool UiClickFocusedPushButton(QWidget* focus) {
  auto* b = dynamic_cast<ButtonWidget*>(focus);
  UiWindow* rec = b ? UiFindWindow(b) : nullptr;
  if (!rec || !b->isEnabled() || !b->isVisible()) return false;
  const DWORD t = TypeOf(*rec);
  if (t != BS_PUSHBUTTON && t != BS_DEFPUSHBUTTON && t != BS_OWNERDRAW) return false;
  b->click();
  return true;
}

QWidget* UiMakeButtonWidget(UiWindow& rec, QWidget* parent) {
  auto* b = new ButtonWidget(parent);
  ApplyStyle(rec, b);
  HWND hwnd = rec.hwnd;
  QObject::connect(b, &QAbstractButton::clicked, [hwnd]() { Clicked(hwnd); });
  return b;
}

LRESULT UiButtonProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* b = dynamic_cast<ButtonWidget*>(rec.widget.data());
  if (!b) return 0;
  handled = true;
  switch (message) {
    case BM_GETCHECK: return IsCheckable(TypeOf(rec)) || TypeOf(rec) == BS_OWNERDRAW ? b->check : 0;
    case BM_SETCHECK:
      // Push buttons have no check state.
      if (IsCheckable(TypeOf(rec)) || TypeOf(rec) == BS_OWNERDRAW) {
        b->check = wParam <= 2 ? static_cast<int>(wParam) : BST_CHECKED;
        b->update();
      }
      return 0;
    case BM_GETSTATE: return b->check | (b->isDown() ? BST_PUSHED : 0) | (b->hasFocus() ? BST_FOCUS : 0);
    case BM_SETSTATE:
      b->setDown(wParam != 0);
      return 0;
    case BM_SETSTYLE: {
      rec.style = (rec.style & ~0xFFFFu) | (static_cast<DWORD>(wParam) & 0xFFFF);
      ApplyStyle(rec, b);
      b->update();
      return 0;
    }
    case BM_CLICK:
      b->click();
      return 0;
    case BM_SETIMAGE: {
      HGDIOBJ old = b->imageType == wParam ? b->image : nullptr;
      b->image = reinterpret_cast<HGDIOBJ>(lParam);
      b->imageType = static_cast<UINT>(wParam);
      b->update();
      return reinterpret_cast<LRESULT>(old);
    }
    case BM_GETIMAGE: return b->imageType == wParam ? reinterpret_cast<LRESULT>(b->image) : 0;
    case WM_SETTEXT:
      b->setText(UiQ(reinterpret_cast<const char*>(lParam)));
      return TRUE;
    case WM_GETTEXT: {
      auto* buffer = reinterpret_cast<char*>(lParam);
      if (!buffer || !wParam) return 0;
      std::string t = UiS(b->text());
      size_t n = std::min(t.size(), static_cast<size_t>(wParam - 1));
      std::memcpy(buffer, t.data(), n);
      buffer[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(UiS(b->text()).size());
    case UI_STYLECHANGED:
      ApplyStyle(rec, b);
      return 0;
    default: handled = false; return 0;
  }
}

BOOL CButton::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message == WM_DRAWITEM && lParam) {
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    if (result) *result = TRUE;
    return TRUE;
  }
  return CWnd::OnChildNotify(message, wParam, lParam, result);
}
