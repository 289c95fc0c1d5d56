#include "platform/ui/SpinButtonCtrl.h"

#include <QBoxLayout>
#include <QToolButton>

#include "platform/ui/WindowRecord.h"

namespace {

class UpDownWidget : public UiHost<QWidget> {
 public:
  using UiHost<QWidget>::UiHost;
  int lower = 100, upper = 0, pos = 0;  // the platform's default range runs backwards
  HWND buddy = nullptr;
};

UpDownWidget* Of(UiWindow* rec) { return rec ? dynamic_cast<UpDownWidget*>(rec->widget.data()) : nullptr; }

void WriteBuddy(UiWindow& rec, UpDownWidget* w) {
  if ((rec.style & UDS_SETBUDDYINT) && w->buddy) {
    std::string t = std::to_string(w->pos);
    ::SendMessage(w->buddy, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()));
  }
}

void ReadBuddy(UiWindow& rec, UpDownWidget* w) {
  if (!(rec.style & UDS_SETBUDDYINT) || !w->buddy) return;
  char buffer[32] = {};
  ::SendMessage(w->buddy, WM_GETTEXT, sizeof(buffer), reinterpret_cast<LPARAM>(buffer));
  char* end = nullptr;
  long v = std::strtol(buffer, &end, 10);
  if (end != buffer && *end == '\0') w->pos = static_cast<int>(std::clamp<long>(v, std::min(w->lower, w->upper), std::max(w->lower, w->upper)));
}

void Step(HWND hwnd, bool up) {
  UiWindow* rec = UiFindWindow(hwnd);
  UpDownWidget* w = Of(rec);
  if (!w || !w->isEnabled()) return;
  ReadBuddy(*rec, w);
  int delta = (up ? 1 : -1) * (w->lower <= w->upper ? 1 : -1);
  NMUPDOWN nm{};
  nm.iPos = w->pos;
  nm.iDelta = delta;
  if (UiNotifyParent(*rec, &nm.hdr, UDN_DELTAPOS) != 0) return;
  if (!(rec = UiFindWindow(hwnd)) || !(w = Of(rec))) return;
  int lo = std::min(w->lower, w->upper), hi = std::max(w->lower, w->upper);
  long long next = static_cast<long long>(w->pos) + nm.iDelta;
  if (next > hi) next = (rec->style & UDS_WRAP) ? lo : hi;
  if (next < lo) next = (rec->style & UDS_WRAP) ? hi : lo;
  w->pos = static_cast<int>(next);
  WriteBuddy(*rec, w);
  ::SendMessage(rec->parent, (rec->style & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL,
                MAKEWPARAM(SB_THUMBPOSITION, static_cast<WORD>(w->pos)), reinterpret_cast<LPARAM>(hwnd));
}

void Align(UiWindow& rec, UpDownWidget* w) {
  UiWindow* b = UiFindWindow(w->buddy);
  if (!b || !b->widget || !(rec.style & (UDS_ALIGNRIGHT | UDS_ALIGNLEFT))) return;
  QRect g = b->widget->geometry();
  int width = w->width() > 0 ? w->width() : 16;
  if (rec.style & UDS_ALIGNRIGHT) {
    b->widget->setGeometry(g.x(), g.y(), std::max(g.width() - width, 0), g.height());
    w->setGeometry(g.x() + std::max(g.width() - width, 0), g.y(), width, g.height());
  } else {
    b->widget->setGeometry(g.x() + width, g.y(), std::max(g.width() - width, 0), g.height());
    w->setGeometry(g.x(), g.y(), width, g.height());
  }
}

}  // namespace

QWidget* UiMakeUpDownWidget(UiWindow& rec, QWidget* parent) {
  auto* w = new UpDownWidget(parent);
  bool horizontal = rec.style & UDS_HORZ;
  auto* layout = new QBoxLayout(horizontal ? QBoxLayout::RightToLeft : QBoxLayout::TopToBottom, w);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  HWND hwnd = rec.hwnd;
  for (bool up : {true, false}) {
    auto* b = new QToolButton(w);
    b->setArrowType(horizontal ? (up ? Qt::RightArrow : Qt::LeftArrow) : (up ? Qt::UpArrow : Qt::DownArrow));
    b->setAutoRepeat(true);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    QObject::connect(b, &QToolButton::clicked, [hwnd, up]() { Step(hwnd, up); });
    layout->addWidget(b);
  }
  return w;
}

void UiAutoBuddy(UiWindow& rec) {
  UpDownWidget* w = Of(&rec);
  UiWindow* parent = UiFindWindow(rec.parent);
  if (!w || !parent || !(rec.style & UDS_AUTOBUDDY)) return;
  auto& kids = parent->children;
  auto it = std::find(kids.begin(), kids.end(), rec.hwnd);
  if (it != kids.begin() && it != kids.end()) {
    w->buddy = *(it - 1);
    Align(rec, w);
    WriteBuddy(rec, w);
  }
}

LRESULT UiUpDownProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  UpDownWidget* w = Of(&rec);
  if (!w) return 0;
  handled = true;
  auto clampPos = [w](long long p) {
    return static_cast<int>(std::clamp<long long>(p, std::min(w->lower, w->upper), std::max(w->lower, w->upper)));
  };
  switch (message) {
    case UDM_SETRANGE:
      w->upper = static_cast<SHORT>(LOWORD(lParam)), w->lower = static_cast<SHORT>(HIWORD(lParam));
      w->pos = clampPos(w->pos);
      return 0;
    case UDM_GETRANGE: return MAKELONG(static_cast<WORD>(w->upper), static_cast<WORD>(w->lower));
    case UDM_SETRANGE32:
      w->lower = static_cast<int>(static_cast<intptr_t>(wParam)), w->upper = static_cast<int>(lParam);
      w->pos = clampPos(w->pos);
      return 0;
    case UDM_GETRANGE32:
      if (wParam) *reinterpret_cast<int*>(wParam) = w->lower;
      if (lParam) *reinterpret_cast<int*>(lParam) = w->upper;
      return 0;
    case UDM_SETPOS:
    case UDM_SETPOS32: {
      int old = w->pos;
      w->pos = clampPos(message == UDM_SETPOS ? static_cast<SHORT>(LOWORD(lParam)) : static_cast<int>(lParam));
      WriteBuddy(rec, w);
      return old;
    }
    case UDM_GETPOS:
    case UDM_GETPOS32: ReadBuddy(rec, w); return message == UDM_GETPOS ? MAKELONG(static_cast<WORD>(w->pos), 0) : w->pos;
    case UDM_SETBUDDY: {
      HWND old = w->buddy;
      w->buddy = IsWindow(reinterpret_cast<HWND>(wParam)) ? reinterpret_cast<HWND>(wParam) : nullptr;
      Align(rec, w);
      WriteBuddy(rec, w);
      return reinterpret_cast<LRESULT>(old);
    }
    case UDM_GETBUDDY: return reinterpret_cast<LRESULT>(w->buddy);
    default: handled = false; return 0;
  }
}

void CSpinButtonCtrl::UiStep(bool up) { Step(m_hWnd, up); }
