#include "platform/ui/WindowRecord.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/ui/Button.h"
#include "platform/ui/ComboBox.h"
#include "platform/ui/Dc.h"
#include "platform/ui/Edit.h"
#include "platform/ui/GdiData.h"
#include "platform/ui/HeaderCtrl.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/ListCtrl.h"
#include "platform/ui/ProgressCtrl.h"
#include "platform/ui/SliderCtrl.h"
#include "platform/ui/SpinButtonCtrl.h"
#include "platform/ui/Static.h"

namespace {

// The table is read from other threads (PostMessage checks a handle), so it
// is locked; records themselves are only touched on the UI thread.
std::mutex g_tableLock;
std::unordered_map<HWND, std::unique_ptr<UiWindow>> g_windows;
uintptr_t g_nextHwnd = 1;
// Widgets whose event() is on the stack; deleting one of them (or a parent)
// must wait for the event loop.
std::vector<QWidget*> g_busy;

const char* const kHwndProperty = "pmrHwnd";

bool IsBusy(QWidget* w) {
  for (QWidget* b : g_busy)
    if (b == w || w->isAncestorOf(b)) return true;
  return false;
}

UINT KeyFlags(Qt::KeyboardModifiers m, Qt::MouseButtons b) {
  UINT f = 0;
  if (b & Qt::LeftButton) f |= MK_LBUTTON;
  if (b & Qt::RightButton) f |= MK_RBUTTON;
  if (b & Qt::MiddleButton) f |= MK_MBUTTON;
  if (m & Qt::ShiftModifier) f |= MK_SHIFT;
  if (m & Qt::ControlModifier) f |= MK_CONTROL;
  return f;
}

UINT VirtualKey(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<UINT>('A' + (key - Qt::Key_A));
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<UINT>('0' + (key - Qt::Key_0));
  switch (key) {
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Tab: return VK_TAB;
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_End: return VK_END;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    default: return 0;
  }
}

LPARAM PointParam(QPoint p) {
  return MAKELPARAM(static_cast<WORD>(static_cast<SHORT>(p.x())), static_cast<WORD>(static_cast<SHORT>(p.y())));
}

UINT CtlColorMessage(const UiWindow& rec) {
  switch (rec.kind) {
    case UiKind::Static:
    case UiKind::Trackbar: return WM_CTLCOLORSTATIC;
    case UiKind::Button: {
      DWORD t = rec.style & BS_TYPEMASK;
      return (t == BS_PUSHBUTTON || t == BS_DEFPUSHBUTTON || t == BS_OWNERDRAW) ? 0 : WM_CTLCOLORSTATIC;
    }
    case UiKind::Edit: return (rec.style & ES_READONLY) ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
    case UiKind::ListBox: return WM_CTLCOLORLISTBOX;
    default: return 0;
  }
}

// Lets the parent choose the control's text colour and background, as the
// platform's control-colour message does.
void ApplyCtlColor(UiWindow& rec, QWidget* w, QPainter* painter) {
  UINT msg = CtlColorMessage(rec);
  UiWindow* parent = msg ? UiFindWindow(rec.parent) : nullptr;
  if (!parent || !parent->wnd || !parent->wnd->FindMessageEntry(WM_CTLCOLOR)) return;
  CDC dc;
  dc.UiAttachPainter(painter, w->width(), w->height());
  LRESULT r = UiCallWindowProc(parent->wnd, msg, reinterpret_cast<WPARAM>(dc.m_hDC), reinterpret_cast<LPARAM>(rec.hwnd));
  auto brush = UiGdiFind(reinterpret_cast<HGDIOBJ>(r), UiGdiKind::Brush);
  if (brush && brush->brush.style() != Qt::NoBrush && dc.GetBkMode() == OPAQUE)
    painter->fillRect(w->rect(), brush->brush);
  QColor text = UiColor(dc.GetTextColor());
  QPalette pal = w->palette();
  if (pal.color(QPalette::WindowText) != text || pal.color(QPalette::ButtonText) != text ||
      pal.color(QPalette::Text) != text) {
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::ButtonText, text);
    pal.setColor(QPalette::Text, text);
    w->setPalette(pal);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Records

UiWindow::UiWindow() = default;
UiWindow::~UiWindow() = default;

UiWindow* UiFindWindow(HWND hwnd) {
  if (!hwnd) return nullptr;
  std::lock_guard<std::mutex> lock(g_tableLock);
  auto it = g_windows.find(hwnd);
  return it == g_windows.end() ? nullptr : it->second.get();
}

UiWindow* UiFindWindow(const QWidget* widget) {
  if (!widget) return nullptr;
  QVariant v = widget->property(kHwndProperty);
  return v.isValid() ? UiFindWindow(reinterpret_cast<HWND>(v.value<quintptr>())) : nullptr;
}

bool UiWindowExists(HWND hwnd) { return UiFindWindow(hwnd) != nullptr; }

UiWindow* UiNewWindow(QWidget* widget, UiKind kind, const char* className, int id, DWORD style, DWORD exStyle,
                      HWND parent) {
  auto rec = std::make_unique<UiWindow>();
  rec->kind = kind;
  rec->className = className ? className : "";
  rec->id = id;
  rec->style = style;
  rec->exStyle = exStyle;
  rec->parent = parent;
  UiWindow* raw = rec.get();
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    // Added, not or-ed, to the base: every handle stays new however many
    // windows a long session makes (an or-ed base repeats after 16384).
    rec->hwnd = reinterpret_cast<HWND>(0x40000 + (g_nextHwnd++ << 4));
    g_windows[rec->hwnd] = std::move(rec);
  }
  if (UiWindow* p = UiFindWindow(parent)) p->children.push_back(raw->hwnd);
  UiEnsureMessagePump();
  if (widget) UiSetWidget(*raw, widget);
  return raw;
}

void UiSetWidget(UiWindow& rec, QWidget* widget) {
  rec.widget = widget;
  widget->setProperty(kHwndProperty, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(rec.hwnd)));
  widget->setMouseTracking(true);
  HWND hwnd = rec.hwnd;
  // A widget deleted by Qt (with a parent nobody told us about) takes its
  // record along, so the handle turns invalid instead of dangling.
  QObject::connect(widget, &QObject::destroyed, [hwnd]() {
    UiWindow* r = UiFindWindow(hwnd);
    if (r && !r->destroying) UiDestroyWindow(hwnd);
  });
}

static void DetachObjects(UiWindow& rec) {
  for (CWnd* w : {rec.wnd, rec.creator, static_cast<CWnd*>(rec.defaultWrapper.get())})
    if (w && w->m_hWnd == rec.hwnd) w->m_hWnd = nullptr;
}

void UiDestroyWindowImpl(HWND hwnd, bool deleteWidget);

void UiDestroyWindow(HWND hwnd) { UiDestroyWindowImpl(hwnd, true); }

void UiDestroyWindowImpl(HWND hwnd, bool deleteWidget) {
  UiWindow* rec = UiFindWindow(hwnd);
  if (!rec || rec->destroying) return;
  rec->destroying = true;
  if (rec->wnd && rec->widget) UiCallWindowProc(rec->wnd, WM_DESTROY, 0, 0);
  std::vector<HWND> children = rec->children;
  for (HWND c : children) UiDestroyWindowImpl(c, false);
  rec = UiFindWindow(hwnd);
  if (!rec) return;
  for (auto& t : rec->timers) t.second->stop();
  UiReleaseTimers(*rec);
  if (rec->region) DeleteObject(reinterpret_cast<HGDIOBJ>(rec->region)), rec->region = nullptr;
  UiForgetCapture(hwnd);
  if (UiWindow* p = UiFindWindow(rec->parent)) {
    auto& v = p->children;
    v.erase(std::remove(v.begin(), v.end(), hwnd), v.end());
  }
  CWnd* handler = rec->wnd;
  QPointer<QWidget> widget = rec->widget;
  DetachObjects(*rec);
  std::unique_ptr<UiWindow> owned;
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_windows.find(hwnd);
    if (it != g_windows.end()) owned = std::move(it->second), g_windows.erase(it);
  }
  bool handlerIsWrapper = owned && handler == owned->defaultWrapper.get();
  owned.reset();
  if (widget) {
    widget->setProperty(kHwndProperty, QVariant());
    if (deleteWidget) {
      widget->hide();
      if (IsBusy(widget))
        widget->deleteLater();
      else
        delete widget.data();
    }
  }
  // After the window is gone, a self-deleting object may delete itself.
  if (handler && !handlerIsWrapper) handler->UiPostNcDestroy();
}

std::vector<HWND> UiAllWindows() {
  std::lock_guard<std::mutex> lock(g_tableLock);
  std::vector<HWND> v;
  for (auto& w : g_windows) v.push_back(w.first);
  return v;
}

// ---------------------------------------------------------------------------
// Controls

static UiKind KindOf(const char* className) {
  std::string n = className ? className : "";
  std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
  if (n == "button") return UiKind::Button;
  if (n == "static") return UiKind::Static;
  if (n == "edit") return UiKind::Edit;
  if (n == "combobox") return UiKind::ComboBox;
  if (n == "listbox") return UiKind::ListBox;
  if (n == "syslistview32") return UiKind::ListView;
  if (n == "msctls_progress32") return UiKind::Progress;
  if (n == "msctls_updown32") return UiKind::UpDown;
  if (n == "msctls_trackbar32") return UiKind::Trackbar;
  return UiKind::Generic;
}

std::unique_ptr<CWnd> UiMakeWrapper(UiKind kind) {
  switch (kind) {
    case UiKind::Button: return std::make_unique<CButton>();
    case UiKind::Static: return std::make_unique<CStatic>();
    case UiKind::Edit: return std::make_unique<CEdit>();
    case UiKind::ComboBox: return std::make_unique<CComboBox>();
    case UiKind::ListBox: return std::make_unique<CListBox>();
    case UiKind::ListView: return std::make_unique<CListCtrl>();
    case UiKind::Header: return std::make_unique<CHeaderCtrl>();
    case UiKind::Progress: return std::make_unique<CProgressCtrl>();
    case UiKind::UpDown: return std::make_unique<CSpinButtonCtrl>();
    case UiKind::Trackbar: return std::make_unique<CSliderCtrl>();
    default: return std::make_unique<CWnd>();
  }
}

UiWindow* UiCreateControl(const char* className, const char* text, DWORD style, DWORD exStyle, const RECT& rect,
                          HWND parent, int id) {
  UiWindow* prec = UiFindWindow(parent);
  if (!prec || !prec->widget) return nullptr;
  QWidget* pw = prec->widget;
  UiKind kind = KindOf(className);
  UiWindow* rec = UiNewWindow(nullptr, kind, className, id, style, exStyle, parent);
  QWidget* w = nullptr;
  switch (kind) {
    case UiKind::Button: w = UiMakeButtonWidget(*rec, pw), rec->proc = &UiButtonProc; break;
    case UiKind::Static: w = UiMakeStaticWidget(*rec, pw), rec->proc = &UiStaticProc; break;
    case UiKind::Edit: w = UiMakeEditWidget(*rec, pw), rec->proc = &UiEditProc; break;
    case UiKind::ComboBox: w = UiMakeComboWidget(*rec, pw), rec->proc = &UiComboProc; break;
    case UiKind::ListBox: w = UiMakeListBoxWidget(*rec, pw), rec->proc = &UiListBoxProc; break;
    case UiKind::ListView: w = UiMakeListViewWidget(*rec, pw); break;
    case UiKind::Progress: w = UiMakeProgressWidget(*rec, pw), rec->proc = &UiProgressProc; break;
    case UiKind::UpDown: w = UiMakeUpDownWidget(*rec, pw), rec->proc = &UiUpDownProc; break;
    case UiKind::Trackbar: w = UiMakeTrackbarWidget(*rec, pw), rec->proc = &UiTrackbarProc; break;
    default: w = new UiHost<QWidget>(pw); break;
  }
  UiSetWidget(*rec, w);
  rec->defaultWrapper = UiMakeWrapper(kind);
  rec->defaultWrapper->m_hWnd = rec->hwnd;
  rec->wnd = rec->defaultWrapper.get();
  w->setFont(pw->font());
  w->setGeometry(rect.left, rect.top, std::max<int>(rect.right - rect.left, 0), std::max<int>(rect.bottom - rect.top, 0));
  if (text && *text) rec->wnd->SendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  w->setEnabled(!(style & WS_DISABLED));
  w->setVisible((style & WS_VISIBLE) != 0);
  // Tab stops only at controls that ask for it (a display field drawn as a
  // button, an up-down's arrows); a click still gives them the focus.
  if (!(style & WS_TABSTOP)) {
    QList<QWidget*> all = w->findChildren<QWidget*>();
    all.prepend(w);
    for (QWidget* c : all)
      if (c->focusPolicy() & Qt::TabFocus) c->setFocusPolicy(static_cast<Qt::FocusPolicy>(c->focusPolicy() & ~Qt::TabFocus));
  }
  if (kind == UiKind::UpDown) UiAutoBuddy(*rec);
  return rec;
}

void UiSelectWindowFont(CDC& dc, UiWindow& rec) {
  const HWND hwnd = rec.hwnd;
  ::SendMessage(hwnd, WM_GETFONT, 0, 0);
  if (UiWindow* r = UiFindWindow(hwnd); r && r->fontWrapper) dc.SelectObject(r->fontWrapper.get());
}

void UiNotifyParent(UiWindow& control, UINT code) {
  HWND parent = control.parent, self = control.hwnd;
  ::SendMessage(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(control.id), static_cast<WORD>(code)),
                reinterpret_cast<LPARAM>(self));
}

LRESULT UiNotifyParent(UiWindow& control, NMHDR* header, UINT code) {
  header->hwndFrom = control.hwnd;
  header->idFrom = static_cast<UINT_PTR>(control.id);
  header->code = code;
  return ::SendMessage(control.parent, WM_NOTIFY, static_cast<WPARAM>(control.id), reinterpret_cast<LPARAM>(header));
}

LRESULT UiCopyText(const std::string& text, WPARAM wParam, LPARAM lParam) {
  auto* buffer = reinterpret_cast<char*>(lParam);
  if (!buffer || wParam == 0) return 0;
  size_t n = std::min(text.size(), static_cast<size_t>(wParam - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<LRESULT>(n);
}

static int g_programmatic = 0;
UiProgrammaticChange::UiProgrammaticChange() { ++g_programmatic; }
UiProgrammaticChange::~UiProgrammaticChange() { --g_programmatic; }
bool UiInProgrammaticChange() { return g_programmatic > 0; }

QString UiQ(const char* s) { return s ? QString::fromUtf8(s) : QString(); }
QString UiQ(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string UiS(const QString& s) { return s.toUtf8().toStdString(); }

// ---------------------------------------------------------------------------
// Qt events to messages

static bool Dispatch(UiWindow& rec, QWidget* w, QEvent* e, UiBaseEvent base, UINT msg, WPARAM wp, LPARAM lp) {
  if (!rec.wnd->FindMessageEntry(msg)) return base(w, e);
  bool defaultRan = false, defaultResult = false;
  UiCallWindowProc(rec.wnd, msg, wp, lp, w, e, base, &defaultRan, &defaultResult);
  if (!defaultRan) e->accept();
  // A handler that passed the event on answers as the widget did: a key the
  // widget took (Tab moving the focus) must not reach its parent as well.
  return defaultRan ? defaultResult : true;
}

bool UiHandleEvent(QWidget* w, QEvent* e, UiBaseEvent base) {
  UiWindow* rec = UiFindWindow(w);
  if (!rec || !rec->wnd || rec->destroying) return base(w, e);
  g_busy.push_back(w);
  struct Pop {
    ~Pop() { g_busy.pop_back(); }
  } pop;
  HWND hwnd = rec->hwnd;
  switch (e->type()) {
    case QEvent::Paint: {
      bool erase = rec->wnd->FindMessageEntry(WM_ERASEBKGND) != nullptr;
      bool paint = rec->wnd->FindMessageEntry(WM_PAINT) != nullptr;
      bool colour = CtlColorMessage(*rec) != 0;
      if (!erase && !paint && !colour) return base(w, e);
      {
        QPainter painter(w);
        rec->painter = &painter;
        if (colour) ApplyCtlColor(*rec, w, &painter);
        bool erased = false;
        if (erase) {
          CDC dc;
          dc.UiAttachPainter(&painter, w->width(), w->height());
          erased = UiCallWindowProc(rec->wnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc.m_hDC), 0) != 0;
        }
        if ((rec = UiFindWindow(hwnd))) rec->backgroundErased = erased;
        if (rec && paint) UiCallWindowProc(rec->wnd, WM_PAINT, 0, 0);
        if ((rec = UiFindWindow(hwnd))) rec->painter = nullptr;
      }
      // The widget's own painting runs after the erase and knows of it.
      const bool result = paint ? true : base(w, e);
      if ((rec = UiFindWindow(hwnd))) rec->backgroundErased = false;
      return result;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove: {
      auto* me = static_cast<QMouseEvent*>(e);
      bool left = me->button() == Qt::LeftButton, right = me->button() == Qt::RightButton;
      UINT msg = 0;
      if (e->type() == QEvent::MouseMove) msg = WM_MOUSEMOVE;
      else if (e->type() == QEvent::MouseButtonPress) msg = left ? WM_LBUTTONDOWN : right ? WM_RBUTTONDOWN : 0;
      else if (e->type() == QEvent::MouseButtonRelease) msg = left ? WM_LBUTTONUP : right ? WM_RBUTTONUP : 0;
      else msg = left ? WM_LBUTTONDBLCLK : right ? WM_RBUTTONDBLCLK : 0;
      const bool passOn = rec->kind == UiKind::Static;
      const bool r = msg ? Dispatch(*rec, w, e, base, msg, KeyFlags(me->modifiers(), me->buttons()),
                                    PointParam(me->position().toPoint()))
                         : base(w, e);
      // The window under the pointer has the mouse: a control's press never
      // reaches its dialog (which would take it as a drag of its body); Qt
      // hands an event on to the parent unless it is accepted and handled.
      // Statics let it through to their parent.
      if (passOn) return r;
      e->accept();
      return true;
    }
    case QEvent::Leave: {
      bool r = base(w, e);
      if ((rec = UiFindWindow(hwnd)) && rec->trackLeave) {
        rec->trackLeave = false;
        UiCallWindowProc(rec->wnd, WM_MOUSELEAVE, 0, 0);
      }
      return r;
    }
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
      auto* ke = static_cast<QKeyEvent*>(e);
      UINT vk = VirtualKey(ke->key());
      if (!vk) return base(w, e);
      return Dispatch(*rec, w, e, base, e->type() == QEvent::KeyPress ? WM_KEYDOWN : WM_KEYUP, vk,
                      MAKELPARAM(1, 0));
    }
    case QEvent::FocusIn:
    case QEvent::FocusOut: {
      bool in = e->type() == QEvent::FocusIn;
      UiWindow* other = UiFindWindow(QApplication::focusWidget());
      HWND otherHwnd = other && other->hwnd != hwnd ? other->hwnd : nullptr;
      bool r = Dispatch(*rec, w, e, base, in ? WM_SETFOCUS : WM_KILLFOCUS, reinterpret_cast<WPARAM>(otherHwnd), 0);
      if ((rec = UiFindWindow(hwnd))) {
        if (rec->kind == UiKind::Edit) UiNotifyParent(*rec, in ? EN_SETFOCUS : EN_KILLFOCUS);
        if (rec->kind == UiKind::ComboBox) UiNotifyParent(*rec, in ? CBN_SETFOCUS : CBN_KILLFOCUS);
      }
      return r;
    }
    case QEvent::Resize: {
      bool r = base(w, e);
      if (rec->wnd->FindMessageEntry(WM_SIZE))
        UiCallWindowProc(rec->wnd, WM_SIZE, w->isMinimized() ? SIZE_MINIMIZED : SIZE_RESTORED,
                             MAKELPARAM(static_cast<WORD>(w->width()), static_cast<WORD>(w->height())));
      return r;
    }
    case QEvent::EnabledChange: {
      bool r = base(w, e);
      if (rec->wnd->FindMessageEntry(WM_ENABLE)) UiCallWindowProc(rec->wnd, WM_ENABLE, w->isEnabled() ? 1 : 0, 0);
      return r;
    }
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate: {
      bool r = base(w, e);
      if (rec->wnd->FindMessageEntry(WM_ACTIVATE))
        UiCallWindowProc(rec->wnd, WM_ACTIVATE, e->type() == QEvent::WindowActivate ? WA_ACTIVE : WA_INACTIVE, 0);
      return r;
    }
    case QEvent::Close:
      // The window decides: WM_CLOSE's default closes a dialog with IDCANCEL
      // and destroys other windows.
      e->ignore();
      UiCallWindowProc(rec->wnd, WM_CLOSE, 0, 0);
      return true;
    default: return base(w, e);
  }
}
