#include "platform/ui/Wnd.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QEvent>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPointer>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/ui/Dc.h"
#include "platform/ui/GdiData.h"
#include "platform/ui/Icon.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/WindowRecord.h"

const CWnd CWnd::wndTop;
const CWnd CWnd::wndBottom;
const CWnd CWnd::wndTopMost;
const CWnd CWnd::wndNoTopMost;

namespace {

// The message being handled, innermost last.
struct Frame {
  CWnd* wnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  QWidget* widget;
  QEvent* event;
  UiBaseEvent base;
  bool defaultRan;
  bool defaultResult;
};
std::vector<Frame*> g_frames;

std::vector<QTimer*> g_firingTimers;
HWND g_capture = nullptr;

// Cross-thread messages: the sender waits on this until the UI thread has
// handled the message, or until the message is thrown away (window or
// application gone), which answers 0.
struct SendState {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  LRESULT result = 0;
  void Finish(LRESULT r) {
    std::lock_guard<std::mutex> g(lock);
    if (!finished) finished = true, result = r;
    done.notify_all();
  }
};

QEvent::Type MessageEventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

class MessageEvent : public QEvent {
 public:
  MessageEvent(HWND h, UINT m, WPARAM w, LPARAM l, std::shared_ptr<SendState> s)
      : QEvent(MessageEventType()), hwnd(h), message(m), wParam(w), lParam(l), send(std::move(s)) {}
  ~MessageEvent() override {
    if (send) send->Finish(0);
  }
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<SendState> send;
};

class MessagePump : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() != MessageEventType()) return QObject::event(e);
    auto* m = static_cast<MessageEvent*>(e);
    CWnd* wnd = CWnd::FromHandle(m->hwnd);
    LRESULT r = wnd ? UiCallWindowProc(wnd, m->message, m->wParam, m->lParam) : 0;
    if (m->send) m->send->Finish(r);
    return true;
  }
};

std::mutex g_pumpLock;
MessagePump* g_pump = nullptr;

bool PostToPump(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, std::shared_ptr<SendState> send) {
  std::lock_guard<std::mutex> lock(g_pumpLock);
  if (!g_pump) return false;
  QCoreApplication::postEvent(g_pump, new MessageEvent(hwnd, message, wParam, lParam, std::move(send)));
  return true;
}

QWidget* WidgetOf(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  return rec ? rec->widget.data() : nullptr;
}

UiWindow* RecordOfWidgetOrParent(QWidget* w) {
  for (; w; w = w->parentWidget())
    if (UiWindow* r = UiFindWindow(w)) return r;
  return nullptr;
}

bool ParseInt(const std::string& text, bool isSigned, long long& value) {
  size_t i = 0, n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  while (n > i && (text[n - 1] == ' ' || text[n - 1] == '\t')) --n;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) {
    if (text[i] == '-' && !isSigned) return false;
    negative = text[i] == '-';
    ++i;
  }
  if (i >= n) return false;
  long long v = 0;
  for (; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > 0xFFFFFFFFll) return false;
  }
  value = negative ? -v : v;
  return true;
}

// The move loop of a caption drag. The program moves the window itself:
// a move handed to the window manager on the press can reach it after the
// release, and the window then follows the pointer until the next click.
class WindowMover : public QObject {
 public:
  explicit WindowMover(QWidget* window)
      : QObject(QCoreApplication::instance()), window_(window), start_(QCursor::pos()), origin_(window->pos()) {
    QCoreApplication::instance()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::MouseMove || e->type() == QEvent::MouseButtonRelease) {
      const bool held = e->type() == QEvent::MouseMove && (static_cast<QMouseEvent*>(e)->buttons() & Qt::LeftButton);
      if (window_) window_->move(origin_ + QCursor::pos() - start_);
      if (!held || !window_) deleteLater();
      return true;
    }
    return false;
  }

 private:
  QPointer<QWidget> window_;
  QPoint start_, origin_;
};

void TrackWindowMove(QWidget* window) {
  if (window && window->isWindow()) new WindowMover(window);
}

}  // namespace

bool UiIsUiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && app->thread() == QThread::currentThread();
}

void UiEnsureMessagePump() {
  std::lock_guard<std::mutex> lock(g_pumpLock);
  if (g_pump || !UiIsUiThread()) return;
  g_pump = new MessagePump();
  g_pump->setParent(QCoreApplication::instance());
  QObject::connect(g_pump, &QObject::destroyed, []() {
    std::lock_guard<std::mutex> guard(g_pumpLock);
    g_pump = nullptr;
  });
}

LRESULT UiCallWindowProc(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam, QWidget* widget, QEvent* event,
                         UiBaseEvent base, bool* defaultRan, bool* defaultResult) {
  Frame f{wnd, message, wParam, lParam, widget, event, base, false, false};
  g_frames.push_back(&f);
  LRESULT r = wnd->WindowProc(message, wParam, lParam);
  g_frames.pop_back();
  if (defaultRan) *defaultRan = f.defaultRan;
  if (defaultResult) *defaultResult = f.defaultResult;
  return r;
}

CWnd* UiWndFromHandle(HWND hwnd) { return CWnd::FromHandle(hwnd); }

// ---------------------------------------------------------------------------
// Construction and handles

CWnd::CWnd() = default;

CWnd::~CWnd() {
  if (!m_hWnd) return;
  UiWindow* rec = UiFindWindow(m_hWnd);
  if (rec && rec->creator == this) {
    UiDestroyWindow(m_hWnd);
  } else if (rec && rec->wnd == this) {
    UnsubclassWindow();
  }
  m_hWnd = nullptr;
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  return rec ? rec->wnd : nullptr;
}

UiWindow* CWnd::Record() const { return UiFindWindow(m_hWnd); }

QWidget* CWnd::GetWidget() const { return WidgetOf(m_hWnd); }

BOOL CWnd::Create(const char* className, const char* windowName, DWORD style, const RECT& rect, CWnd* parent,
                  UINT id) {
  return CreateEx(0, className, windowName, style, rect, parent, id);
}

BOOL CWnd::CreateEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, const RECT& rect,
                    CWnd* parent, UINT id) {
  if (m_hWnd || !UiIsUiThread()) return FALSE;
  UiWindow* rec = nullptr;
  if (style & WS_CHILD) {
    if (!parent || !parent->m_hWnd) return FALSE;
    rec = UiCreateControl(className, windowName, style, exStyle, rect, parent->m_hWnd, static_cast<int>(id));
    if (!rec) return FALSE;
  } else {
    QWidget* pw = parent ? parent->GetWidget() : nullptr;
    auto* w = new UiHost<QWidget>(pw, Qt::Window);
    rec = UiNewWindow(w, UiKind::Generic, className, static_cast<int>(id), style, exStyle,
                      parent ? parent->m_hWnd : nullptr);
    w->move(rect.left, rect.top);
    w->resize(std::max<int>(rect.right - rect.left, 1), std::max<int>(rect.bottom - rect.top, 1));
    if (windowName) w->setWindowTitle(UiQ(windowName));
    w->setEnabled(!(style & WS_DISABLED));
    if (style & WS_VISIBLE) w->show();
  }
  rec->wnd = this;
  rec->creator = this;
  m_hWnd = rec->hwnd;
  PreSubclassWindow();
  return TRUE;
}

BOOL CWnd::DestroyWindow() {
  if (!m_hWnd || !UiFindWindow(m_hWnd)) return FALSE;
  UiDestroyWindow(m_hWnd);
  m_hWnd = nullptr;
  return TRUE;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  if (!rec || m_hWnd) return FALSE;
  rec->wnd = this;
  m_hWnd = hwnd;
  PreSubclassWindow();
  return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  HWND h = parent ? ::GetDlgItem(parent->m_hWnd, static_cast<int>(id)) : nullptr;
  return h ? SubclassWindow(h) : FALSE;
}

HWND CWnd::UnsubclassWindow() {
  UiWindow* rec = UiFindWindow(m_hWnd);
  HWND h = m_hWnd;
  if (!rec || rec->wnd != this) return nullptr;
  rec->wnd = rec->defaultWrapper ? rec->defaultWrapper.get() : rec->creator;
  if (rec->wnd == this) rec->wnd = nullptr;
  m_hWnd = nullptr;
  return h;
}

// ---------------------------------------------------------------------------
// Message handling

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
  static const AFX_MSGMAP map = {nullptr, &entries[0]};
  return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP_ENTRY* CWnd::FindMessageEntry(UINT message, UINT code, UINT id) const {
  const bool command = message == WM_COMMAND || message == WM_NOTIFY;
  const bool reflected = message == WM_REFLECT_BASE + WM_COMMAND || message == WM_REFLECT_BASE + WM_NOTIFY;
  for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
    for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e && e->pfn; ++e) {
      if (e->nMessage != message) continue;
      if (command) {
        if (e->nCode == code && id >= e->nID && id <= e->nLastID) return e;
      } else if (reflected) {
        if (e->nCode == code) return e;
      } else {
        return e;
      }
    }
  }
  return nullptr;
}

int CWnd::RunModalLoop() {
  QWidget* w = GetWidget();
  if (!w || !UiIsUiThread()) return -1;
  m_nModalResult = -1;
  w->setWindowModality(Qt::ApplicationModal);
  w->show();
  QEventLoop loop;
  m_pModalLoop = &loop;
  loop.exec();
  m_pModalLoop = nullptr;
  return m_nModalResult;
}

void CWnd::EndModalLoop(int result) {
  m_nModalResult = result;
  if (m_pModalLoop) m_pModalLoop->exit(0);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // A window destroyed inside its own modal loop ends the loop.
  if (message == WM_DESTROY && m_pModalLoop) m_pModalLoop->exit(0);
  LRESULT result = 0;
  if (!OnWndMsg(message, wParam, lParam, &result)) result = DefWindowProc(message, wParam, lParam);
  return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  LRESULT r = 0;
  if (message == WM_COMMAND) {
    if (!OnCommand(wParam, lParam)) return FALSE;
  } else if (message == WM_NOTIFY) {
    if (!OnNotify(wParam, lParam, &r)) return FALSE;
  } else {
    UINT key = (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) ? WM_CTLCOLOR : message;
    if (const AFX_MSGMAP_ENTRY* e = FindMessageEntry(key)) {
      r = e->pfn(this, message, wParam, lParam);
    } else if (message == WM_DRAWITEM && lParam) {
      // Owner-draw goes back to the control itself when its parent does not draw it.
      auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
      CWnd* child = FromHandle(dis->hwndItem);
      if (!child || child == this || !child->OnChildNotify(message, wParam, lParam, &r)) return FALSE;
    } else {
      return FALSE;
    }
  }
  if (result) *result = r;
  return TRUE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  UINT id = LOWORD(wParam), code = HIWORD(wParam);
  if (HWND control = reinterpret_cast<HWND>(lParam)) {
    CWnd* child = FromHandle(control);
    if (child && child != this && child->OnChildNotify(WM_COMMAND, wParam, lParam, nullptr)) return TRUE;
  }
  const AFX_MSGMAP_ENTRY* e = FindMessageEntry(WM_COMMAND, code, id);
  if (!e) return FALSE;
  e->pfn(this, WM_COMMAND, wParam, lParam);
  return TRUE;
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  if (!header) return FALSE;
  CWnd* child = FromHandle(header->hwndFrom);
  if (child && child != this && child->OnChildNotify(WM_NOTIFY, wParam, lParam, result)) return TRUE;
  const AFX_MSGMAP_ENTRY* e = FindMessageEntry(WM_NOTIFY, header->code, static_cast<UINT>(header->idFrom));
  if (!e) return FALSE;
  LRESULT r = e->pfn(this, WM_NOTIFY, wParam, lParam);
  if (result) *result = r;
  return TRUE;
}

BOOL CWnd::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  return ReflectChildNotify(message, wParam, lParam, result);
}

BOOL CWnd::ReflectChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const AFX_MSGMAP_ENTRY* e = nullptr;
  if (message == WM_COMMAND) e = FindMessageEntry(WM_REFLECT_BASE + WM_COMMAND, HIWORD(wParam));
  if (message == WM_NOTIFY && lParam)
    e = FindMessageEntry(WM_REFLECT_BASE + WM_NOTIFY, reinterpret_cast<NMHDR*>(lParam)->code);
  if (!e) return FALSE;
  LRESULT r = e->pfn(this, message, wParam, lParam);
  if (result) *result = r;
  return TRUE;
}

LRESULT CWnd::Default() {
  if (g_frames.empty()) return 0;
  Frame* f = g_frames.back();
  if (f->event && f->base && !f->defaultRan) {
    f->defaultRan = true;
    f->defaultResult = f->base(f->widget, f->event);
    return f->defaultResult ? 1 : 0;
  }
  if (f->event) return 0;  // the widget's own processing already ran
  return DefWindowProc(f->message, f->wParam, f->lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  UiWindow* rec = Record();
  if (!rec || !rec->widget) return 0;
  if (rec->proc) {
    bool handled = false;
    LRESULT r = rec->proc(*rec, message, wParam, lParam, handled);
    if (handled) return r;
  }
  QWidget* w = rec->widget;
  switch (message) {
    case WM_SETTEXT:
      w->setWindowTitle(UiQ(reinterpret_cast<const char*>(lParam)));
      return TRUE;
    case WM_GETTEXT: {
      auto* buffer = reinterpret_cast<char*>(lParam);
      if (!buffer || wParam == 0) return 0;
      std::string t = UiS(w->windowTitle());
      size_t n = std::min(t.size(), static_cast<size_t>(wParam - 1));
      std::memcpy(buffer, t.data(), n);
      buffer[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(UiS(w->windowTitle()).size());
    case WM_SETFONT: {
      auto data = UiGdiFind(reinterpret_cast<HGDIOBJ>(wParam), UiGdiKind::Font);
      if (!data) return 0;
      // The window keeps its own copy: the caller may delete its font.
      auto copy = std::make_shared<UiGdiData>(*data);
      copy->stock = false;
      rec->fontWrapper = std::make_unique<CFont>();
      rec->fontWrapper->m_hObject = UiGdiAdd(copy);
      w->setFont(copy->font);
      if (lParam) w->update();
      return 0;
    }
    case WM_GETFONT: {
      if (!rec->fontWrapper) {
        auto data = std::make_shared<UiGdiData>();
        data->kind = UiGdiKind::Font;
        data->font = w->font();
        int px = data->font.pixelSize() > 0 ? data->font.pixelSize()
                                             : static_cast<int>(data->font.pointSizeF() * 96.0 / 72.0 + 0.5);
        data->fontHeight = -px;
        rec->fontWrapper = std::make_unique<CFont>();
        rec->fontWrapper->m_hObject = UiGdiAdd(data);
      }
      return reinterpret_cast<LRESULT>(rec->fontWrapper->m_hObject);
    }
    case WM_CLOSE:
      if (rec->kind == UiKind::Dialog)
        SendMessage(WM_COMMAND, IDCANCEL, 0);
      else
        DestroyWindow();
      return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_MINIMIZE: w->window()->showMinimized(); break;
        case SC_MAXIMIZE: w->window()->showMaximized(); break;
        case SC_RESTORE: w->window()->showNormal(); break;
        case SC_CLOSE: SendMessage(WM_CLOSE); break;
        default: break;
      }
      return 0;
    case WM_NCLBUTTONDOWN:
      // Dragging by the caption (or the body): the window follows the pointer
      // until the button is released, as the platform's move loop does.
      if (wParam == HTCAPTION && (QGuiApplication::mouseButtons() & Qt::LeftButton)) TrackWindowMove(w->window());
      return 0;
    case WM_QUERYDRAGICON: return reinterpret_cast<LRESULT>(rec->bigIcon);
    default: return 0;
  }
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessage(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessage(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::SendDlgItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessage(::GetDlgItem(m_hWnd, id), message, wParam, lParam);
}

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!UiIsUiThread()) {
    if (!IsWindow(hwnd)) return 0;
    auto state = std::make_shared<SendState>();
    if (!PostToPump(hwnd, message, wParam, lParam, state)) return 0;
    std::unique_lock<std::mutex> lock(state->lock);
    state->done.wait(lock, [&] { return state->finished; });
    return state->result;
  }
  CWnd* wnd = CWnd::FromHandle(hwnd);
  return wnd ? UiCallWindowProc(wnd, message, wParam, lParam) : 0;
}

BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!IsWindow(hwnd)) return FALSE;
  return PostToPump(hwnd, message, wParam, lParam, nullptr) ? TRUE : FALSE;
}

void UiPostGraphNotify(HWND hwnd, UINT message, LONG_PTR instanceData) {
  ::PostMessage(hwnd, message, 0, static_cast<LPARAM>(instanceData));
}

void PostQuitMessage(int exitCode) {
  if (QCoreApplication::instance()) QCoreApplication::exit(exitCode);
}

void UiPumpMessages() {
  if (!UiIsUiThread()) return;
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

BOOL IsWindow(HWND hwnd) { return UiFindWindow(hwnd) ? TRUE : FALSE; }

// ---------------------------------------------------------------------------
// Timers

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC callback) {
  UiWindow* rec = UiIsUiThread() ? UiFindWindow(hwnd) : nullptr;
  if (!rec) return 0;
  KillTimer(hwnd, id);
  auto timer = std::make_unique<QTimer>();
  QTimer* t = timer.get();
  timer->setInterval(static_cast<int>(std::clamp<UINT>(elapse, 1u, 0x7FFFFFFFu)));
  QObject::connect(t, &QTimer::timeout, [t, hwnd, id, callback]() {
    g_firingTimers.push_back(t);
    if (callback)
      callback(hwnd, WM_TIMER, id, static_cast<DWORD>(QDateTime::currentMSecsSinceEpoch()));
    else
      ::SendMessage(hwnd, WM_TIMER, id, 0);
    g_firingTimers.pop_back();
  });
  timer->start();
  rec->timers[id] = std::move(timer);
  return id ? id : 1;
}

static void DropTimer(std::unique_ptr<QTimer> t) {
  t->stop();
  // A timer cannot be deleted inside its own timeout.
  if (std::find(g_firingTimers.begin(), g_firingTimers.end(), t.get()) != g_firingTimers.end())
    t.release()->deleteLater();
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  UiWindow* rec = UiIsUiThread() ? UiFindWindow(hwnd) : nullptr;
  if (!rec) return FALSE;
  auto it = rec->timers.find(id);
  if (it == rec->timers.end()) return FALSE;
  std::unique_ptr<QTimer> t = std::move(it->second);
  rec->timers.erase(it);
  DropTimer(std::move(t));
  return TRUE;
}

void UiReleaseTimers(UiWindow& rec) {
  auto timers = std::move(rec.timers);
  rec.timers.clear();
  for (auto& t : timers) DropTimer(std::move(t.second));
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse, TIMERPROC callback) { return ::SetTimer(m_hWnd, id, elapse, callback); }
BOOL CWnd::KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }

// ---------------------------------------------------------------------------
// Family

HWND GetDlgItem(HWND dialog, int id) {
  UiWindow* rec = UiFindWindow(dialog);
  if (!rec) return nullptr;
  for (HWND c : rec->children)
    if (UiWindow* r = UiFindWindow(c); r && r->id == id) return c;
  return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  return rec ? rec->id : 0;
}

HWND GetParent(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  return rec ? rec->parent : nullptr;
}

CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }

HWND GetWindow(HWND hwnd, UINT cmd) {
  UiWindow* rec = UiFindWindow(hwnd);
  if (!rec) return nullptr;
  if (cmd == GW_CHILD) return rec->children.empty() ? nullptr : rec->children.front();
  if (cmd != GW_HWNDNEXT && cmd != GW_HWNDPREV) return nullptr;
  UiWindow* parent = UiFindWindow(rec->parent);
  if (!parent) return nullptr;
  const auto& kids = parent->children;
  auto it = std::find(kids.begin(), kids.end(), hwnd);
  if (it == kids.end()) return nullptr;
  if (cmd == GW_HWNDNEXT) return ++it == kids.end() ? nullptr : *it;
  return it == kids.begin() ? nullptr : *--it;
}

CWnd* CWnd::GetWindow(UINT cmd) const { return FromHandle(::GetWindow(m_hWnd, cmd)); }

CWnd* CWnd::GetTopLevelParent() const {
  HWND h = m_hWnd;
  while (UiWindow* r = UiFindWindow(h)) {
    if (!(r->style & WS_CHILD) || !r->parent) return FromHandle(h);
    h = r->parent;
  }
  return nullptr;
}

CWnd* CWnd::GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }
int CWnd::GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
int CWnd::SetDlgCtrlID(int id) {
  UiWindow* rec = Record();
  return rec ? std::exchange(rec->id, id) : 0;
}

CWnd* CWnd::GetNextDlgGroupItem(CWnd* control, BOOL previous) const {
  UiWindow* rec = Record();
  if (!rec || !control) return nullptr;
  const auto& kids = rec->children;
  auto it = std::find(kids.begin(), kids.end(), control->m_hWnd);
  if (it == kids.end()) return nullptr;
  size_t index = static_cast<size_t>(it - kids.begin()), first = index, last = index;
  auto groupStart = [&](size_t i) {
    UiWindow* r = UiFindWindow(kids[i]);
    return r && (r->style & WS_GROUP);
  };
  while (first > 0 && !groupStart(first)) --first;
  while (last + 1 < kids.size() && !groupStart(last + 1)) ++last;
  size_t count = last - first + 1;
  size_t next = previous ? first + (index - first + count - 1) % count : first + (index - first + 1) % count;
  return FromHandle(kids[next]);
}

BOOL CWnd::IsChild(const CWnd* wnd) const {
  if (!wnd) return FALSE;
  for (HWND h = ::GetParent(wnd->m_hWnd); h; h = ::GetParent(h))
    if (h == m_hWnd) return TRUE;
  return FALSE;
}

// ---------------------------------------------------------------------------
// Text

void CWnd::SetWindowText(const char* text) { SendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : "")); }

int CWnd::GetWindowText(char* buffer, int maxCount) const {
  if (!buffer || maxCount <= 0) return 0;
  return static_cast<int>(::SendMessage(m_hWnd, WM_GETTEXT, static_cast<WPARAM>(maxCount), reinterpret_cast<LPARAM>(buffer)));
}

int CWnd::GetWindowTextLength() const { return static_cast<int>(::SendMessage(m_hWnd, WM_GETTEXTLENGTH, 0, 0)); }

void CWnd::GetWindowText(std::string& text) const {
  text.clear();
  int n = GetWindowTextLength();
  if (n <= 0) return;
  std::string buffer(static_cast<size_t>(n) + 1, '\0');
  int got = GetWindowText(buffer.data(), n + 1);
  text.assign(buffer.data(), static_cast<size_t>(std::max(got, 0)));
}

void CWnd::SetDlgItemText(int id, const char* text) {
  if (CWnd* c = GetDlgItem(id)) c->SetWindowText(text);
}

int CWnd::GetDlgItemText(int id, char* buffer, int maxCount) const {
  if (buffer && maxCount > 0) buffer[0] = '\0';
  CWnd* c = GetDlgItem(id);
  return c ? c->GetWindowText(buffer, maxCount) : 0;
}

int CWnd::GetDlgItemText(int id, std::string& text) const {
  text.clear();
  if (CWnd* c = GetDlgItem(id)) c->GetWindowText(text);
  return static_cast<int>(text.size());
}

UINT CWnd::GetDlgItemInt(int id, BOOL* translated, BOOL isSigned) const {
  if (translated) *translated = FALSE;
  CWnd* c = GetDlgItem(id);
  if (!c) return 0;
  std::string text;
  c->GetWindowText(text);
  long long v = 0;
  if (!ParseInt(text, isSigned != 0, v)) return 0;
  if (isSigned && (v < INT32_MIN || v > INT32_MAX)) return 0;
  if (translated) *translated = TRUE;
  return static_cast<UINT>(v);
}

void CWnd::SetDlgItemInt(int id, UINT value, BOOL isSigned) {
  SetDlgItemText(id, isSigned ? std::to_string(static_cast<int>(value)) : std::to_string(value));
}

void CWnd::CheckDlgButton(int id, UINT check) { SendDlgItemMessage(id, BM_SETCHECK, check, 0); }

UINT CWnd::IsDlgButtonChecked(int id) const {
  return static_cast<UINT>(::SendMessage(::GetDlgItem(m_hWnd, id), BM_GETCHECK, 0, 0));
}

void CWnd::CheckRadioButton(int firstId, int lastId, int checkId) {
  UiWindow* rec = Record();
  if (!rec) return;
  for (HWND c : std::vector<HWND>(rec->children)) {
    int id = ::GetDlgCtrlID(c);
    if (id >= firstId && id <= lastId) ::SendMessage(c, BM_SETCHECK, id == checkId ? BST_CHECKED : BST_UNCHECKED, 0);
  }
}

int CWnd::GetCheckedRadioButton(int firstId, int lastId) {
  UiWindow* rec = Record();
  if (!rec) return 0;
  for (HWND c : rec->children) {
    int id = ::GetDlgCtrlID(c);
    if (id >= firstId && id <= lastId && ::SendMessage(c, BM_GETCHECK, 0, 0) == BST_CHECKED) return id;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// State and placement

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  QWidget* w = WidgetOf(hwnd);
  if (!w) return FALSE;
  BOOL wasDisabled = !w->isEnabled();
  w->setEnabled(enable != 0);
  return wasDisabled;
}

BOOL CWnd::EnableWindow(BOOL enable) { return ::EnableWindow(m_hWnd, enable); }
BOOL CWnd::IsWindowEnabled() const {
  QWidget* w = GetWidget();
  return w && w->isEnabled();
}

BOOL ShowWindow(HWND hwnd, int cmdShow) {
  UiWindow* rec = UiFindWindow(hwnd);
  QWidget* w = rec ? rec->widget.data() : nullptr;
  if (!w) return FALSE;
  BOOL wasVisible = !w->isHidden();
  bool topLevel = w->isWindow();
  // A window the program has not placed is centred before it is first shown
  // (see CDialog::DoModal).
  if (topLevel && !wasVisible && cmdShow != SW_HIDE && !w->testAttribute(Qt::WA_Moved) && rec->wnd)
    rec->wnd->CenterWindow();
  switch (cmdShow) {
    case SW_HIDE: w->hide(); break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE: topLevel ? w->showMinimized() : w->show(); break;
    case SW_SHOWMAXIMIZED: topLevel ? w->showMaximized() : w->show(); break;
    case SW_SHOWNORMAL:
    case SW_RESTORE: topLevel ? w->showNormal() : w->show(); break;
    default: w->show(); break;
  }
  return wasVisible;
}

BOOL CWnd::ShowWindow(int cmdShow) { return ::ShowWindow(m_hWnd, cmdShow); }

BOOL FlashWindow(HWND hwnd, BOOL) {
  QWidget* w = WidgetOf(hwnd);
  if (!w) return FALSE;
  const BOOL active = w->window()->isActiveWindow();
  if (!active) QApplication::alert(w->window());
  return active;
}
BOOL CWnd::IsWindowVisible() const {
  QWidget* w = GetWidget();
  return w && w->isVisible();
}
BOOL CWnd::IsIconic() const {
  QWidget* w = GetWidget();
  return w && w->window()->isMinimized();
}

// A dialog's fixed size keeps the user from resizing it, not the program.
static void Resize(QWidget* w, int width, int height) {
  const QSize size(std::max(width, 0), std::max(height, 0));
  if (w->isWindow() && w->minimumSize() == w->maximumSize())
    w->setFixedSize(size);
  else
    w->resize(size);
}

void CWnd::MoveWindow(int x, int y, int width, int height, BOOL repaint) {
  QWidget* w = GetWidget();
  if (!w) return;
  w->move(x, y);
  Resize(w, width, height);
  if (repaint) w->update();
}

void CWnd::MoveWindow(LPCRECT rect, BOOL repaint) {
  if (rect) MoveWindow(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, repaint);
}

BOOL CWnd::SetWindowPos(const CWnd* insertAfter, int x, int y, int cx, int cy, UINT flags) {
  QWidget* w = GetWidget();
  if (!w) return FALSE;
  if (!(flags & SWP_NOMOVE)) w->move(x, y);
  if (!(flags & SWP_NOSIZE)) Resize(w, cx, cy);
  if (!(flags & SWP_NOZORDER)) {
    if (insertAfter == &wndBottom)
      w->lower();
    else if (insertAfter == &wndTop || insertAfter == &wndTopMost)
      w->raise();
    else if (insertAfter && insertAfter->GetWidget())
      w->stackUnder(insertAfter->GetWidget());
  }
  if (flags & SWP_SHOWWINDOW) w->show();
  if (flags & SWP_HIDEWINDOW) w->hide();
  return TRUE;
}

void CWnd::CenterWindow(CWnd* alternateOwner) {
  QWidget* w = GetWidget();
  if (!w) return;
  QWidget* owner = alternateOwner ? alternateOwner->GetWidget() : (GetParent() ? GetParent()->GetWidget() : nullptr);
  QRect area;
  if (owner)
    area = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
  else if (QScreen* s = QGuiApplication::primaryScreen())
    area = s->availableGeometry();
  QPoint topLeft(area.center().x() - w->width() / 2, area.center().y() - w->height() / 2);
  w->move(w->isWindow() || !w->parentWidget() ? topLeft : w->parentWidget()->mapFromGlobal(topLeft));
}

void CWnd::GetClientRect(LPRECT rect) const {
  if (!rect) return;
  QWidget* w = GetWidget();
  *rect = w ? RECT{0, 0, w->width(), w->height()} : RECT{0, 0, 0, 0};
}

void CWnd::GetWindowRect(LPRECT rect) const {
  if (!rect) return;
  QWidget* w = GetWidget();
  if (!w) {
    *rect = RECT{0, 0, 0, 0};
    return;
  }
  QPoint tl = w->isWindow() ? w->frameGeometry().topLeft() : w->mapToGlobal(QPoint(0, 0));
  QSize size = w->isWindow() ? w->frameGeometry().size() : w->size();
  *rect = RECT{tl.x(), tl.y(), tl.x() + size.width(), tl.y() + size.height()};
}

void CWnd::ScreenToClient(LPPOINT p) const {
  QWidget* w = GetWidget();
  if (!p || !w) return;
  QPoint q = w->mapFromGlobal(QPoint(p->x, p->y));
  *p = POINT{q.x(), q.y()};
}

void CWnd::ScreenToClient(LPRECT r) const {
  if (!r) return;
  POINT a{r->left, r->top}, b{r->right, r->bottom};
  ScreenToClient(&a), ScreenToClient(&b);
  *r = RECT{a.x, a.y, b.x, b.y};
}

void CWnd::ClientToScreen(LPPOINT p) const {
  QWidget* w = GetWidget();
  if (!p || !w) return;
  QPoint q = w->mapToGlobal(QPoint(p->x, p->y));
  *p = POINT{q.x(), q.y()};
}

void CWnd::ClientToScreen(LPRECT r) const {
  if (!r) return;
  POINT a{r->left, r->top}, b{r->right, r->bottom};
  ClientToScreen(&a), ClientToScreen(&b);
  *r = RECT{a.x, a.y, b.x, b.y};
}

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL) {
  QWidget* w = WidgetOf(hwnd);
  if (!w) return FALSE;
  if (rect)
    w->update(QRect(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top));
  else
    w->update();
  return TRUE;
}

void CWnd::Invalidate(BOOL erase) { ::InvalidateRect(m_hWnd, nullptr, erase); }
void CWnd::InvalidateRect(LPCRECT rect, BOOL erase) { ::InvalidateRect(m_hWnd, rect, erase); }
void CWnd::UpdateWindow() {
  if (QWidget* w = GetWidget(); w && w->isVisible()) w->repaint();
}
BOOL CWnd::RedrawWindow(LPCRECT rect, CRgn*, UINT) {
  ::InvalidateRect(m_hWnd, rect, TRUE);
  UpdateWindow();
  return m_hWnd != nullptr;
}

DWORD CWnd::GetStyle() const {
  UiWindow* rec = Record();
  if (!rec || !rec->widget) return 0;
  DWORD s = rec->style & ~(WS_VISIBLE | WS_DISABLED);
  if (!rec->widget->isHidden()) s |= WS_VISIBLE;
  if (!rec->widget->isEnabled()) s |= WS_DISABLED;
  return s;
}

DWORD CWnd::GetExStyle() const {
  UiWindow* rec = Record();
  return rec ? rec->exStyle : 0;
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT) {
  UiWindow* rec = Record();
  if (!rec) return FALSE;
  DWORD old = rec->style;
  rec->style = (old & ~remove) | add;
  if (rec->style == old) return FALSE;
  // Controls re-read the style bits that change their behaviour.
  if (rec->proc) {
    bool handled = false;
    rec->proc(*rec, UI_STYLECHANGED, old, static_cast<LPARAM>(rec->style), handled);
  }
  if (rec->widget) rec->widget->update();
  return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD remove, DWORD add, UINT) {
  UiWindow* rec = Record();
  if (!rec) return FALSE;
  DWORD old = rec->exStyle;
  rec->exStyle = (old & ~remove) | add;
  return rec->exStyle != old;
}

void CWnd::SetFont(CFont* font, BOOL redraw) {
  if (font) SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font->m_hObject), redraw);
}

CFont* CWnd::GetFont() const {
  UiWindow* rec = Record();
  if (!rec) return nullptr;
  ::SendMessage(m_hWnd, WM_GETFONT, 0, 0);
  return rec->fontWrapper.get();
}

void CWnd::SetIcon(HICON icon, BOOL bigIcon) {
  UiWindow* rec = Record();
  if (!rec || !rec->widget) return;
  (bigIcon ? rec->bigIcon : rec->smallIcon) = icon;
  auto data = UiGdiFind(reinterpret_cast<HGDIOBJ>(icon), UiGdiKind::Icon);
  if (data && !data->image.isNull()) rec->widget->setWindowIcon(QIcon(QPixmap::fromImage(data->image)));
}

HICON CWnd::GetIcon(BOOL bigIcon) const {
  UiWindow* rec = Record();
  return rec ? (bigIcon ? rec->bigIcon : rec->smallIcon) : nullptr;
}

int CWnd::SetWindowRgn(HRGN region, BOOL redraw) {
  UiWindow* rec = Record();
  if (!rec || !rec->widget) return 0;
  auto data = region ? UiGdiFind(reinterpret_cast<HGDIOBJ>(region), UiGdiKind::Region) : nullptr;
  if (region && !data) return 0;
  if (rec->region && rec->region != region) DeleteObject(reinterpret_cast<HGDIOBJ>(rec->region));
  rec->region = region;
  if (!data)
    rec->widget->clearMask();
  else if (data->region.isEmpty())
    // An empty shape hides the whole window; Qt would read an empty mask as "no mask".
    rec->widget->setMask(QRegion(-2, -2, 1, 1));
  else
    rec->widget->setMask(data->region);
  if (redraw) rec->widget->update();
  return 1;
}

int CWnd::GetWindowRgn(HRGN region) const {
  UiWindow* rec = Record();
  auto src = rec && rec->region ? UiGdiFind(reinterpret_cast<HGDIOBJ>(rec->region), UiGdiKind::Region) : nullptr;
  auto dst = UiGdiFind(reinterpret_cast<HGDIOBJ>(region), UiGdiKind::Region);
  if (!src || !dst) return RGN_ERROR;
  dst->region = src->region;
  return src->region.isEmpty() ? NULLREGION : (src->region.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION);
}

CWnd* CWnd::SetFocus() {
  CWnd* old = GetFocus();
  if (QWidget* w = GetWidget()) w->setFocus(Qt::OtherFocusReason);
  return old;
}

CWnd* CWnd::GetFocus() {
  UiWindow* rec = RecordOfWidgetOrParent(QApplication::focusWidget());
  return rec ? rec->wnd : nullptr;
}

CWnd* CWnd::SetCapture() {
  CWnd* old = FromHandle(g_capture);
  if (g_capture && g_capture != m_hWnd)
    if (QWidget* w = WidgetOf(g_capture)) w->releaseMouse();
  g_capture = m_hWnd;
  if (QWidget* w = GetWidget(); w && w->isVisible()) w->grabMouse();
  return old;
}

CWnd* CWnd::GetCapture() { return FromHandle(g_capture); }
HWND GetCapture() { return g_capture; }

BOOL ReleaseCapture() {
  if (QWidget* w = WidgetOf(g_capture)) w->releaseMouse();
  g_capture = nullptr;
  return TRUE;
}

void UiForgetCapture(HWND hwnd) {
  if (g_capture == hwnd) ReleaseCapture();
}

BOOL CWnd::SetForegroundWindow() {
  QWidget* w = GetWidget();
  if (!w) return FALSE;
  w->window()->raise();
  w->window()->activateWindow();
  return TRUE;
}

BOOL TrackMouseEvent(LPTRACKMOUSEEVENT track) {
  if (!track) return FALSE;
  UiWindow* rec = UiFindWindow(track->hwndTrack);
  if (!rec) return FALSE;
  if (track->dwFlags & TME_LEAVE) rec->trackLeave = !(track->dwFlags & TME_CANCEL);
  return TRUE;
}

int GetClassName(HWND hwnd, char* buffer, int maxCount) {
  UiWindow* rec = UiFindWindow(hwnd);
  if (!rec || !buffer || maxCount <= 0) return 0;
  size_t n = std::min(rec->className.size(), static_cast<size_t>(maxCount - 1));
  std::memcpy(buffer, rec->className.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

BOOL GetCursorPos(LPPOINT point) {
  if (!point) return FALSE;
  QPoint p = QCursor::pos();
  *point = POINT{p.x(), p.y()};
  return TRUE;
}

HWND WindowFromPoint(POINT point) {
  UiWindow* rec = RecordOfWidgetOrParent(QApplication::widgetAt(QPoint(point.x, point.y)));
  return rec ? rec->hwnd : nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
  if (!IsWindow(hwnd)) return FALSE;
  UiDestroyWindow(hwnd);
  return TRUE;
}

int CWnd::MessageBox(const char* text, const char* caption, UINT type) {
  return ::MessageBox(m_hWnd, text, caption, type);
}

CDC* CWnd::GetDC() { return new CClientDC(this); }
int CWnd::ReleaseDC(CDC* dc) {
  delete dc;
  return dc ? 1 : 0;
}

bool UiGrabWindow(CWnd* wnd, const char* pngPath) {
  QWidget* w = wnd ? wnd->GetWidget() : nullptr;
  if (!w || !pngPath) return false;
  QPixmap pixmap = w->grab();
  return !pixmap.isNull() && pixmap.save(QString::fromUtf8(pngPath), "PNG");
}

// ---------------------------------------------------------------------------
// Default handlers

void CWnd::OnPaint() { Default(); }
BOOL CWnd::OnEraseBkgnd(CDC*) { return static_cast<BOOL>(Default()); }
void CWnd::OnTimer(UINT_PTR) { Default(); }
void CWnd::OnClose() { Default(); }
void CWnd::OnDestroy() { Default(); }
void CWnd::OnSize(UINT, int, int) { Default(); }
void CWnd::OnLButtonDown(UINT, CPoint) { Default(); }
void CWnd::OnLButtonUp(UINT, CPoint) { Default(); }
void CWnd::OnLButtonDblClk(UINT, CPoint) { Default(); }
void CWnd::OnRButtonDown(UINT, CPoint) { Default(); }
void CWnd::OnRButtonUp(UINT, CPoint) { Default(); }
void CWnd::OnMouseMove(UINT, CPoint) { Default(); }
void CWnd::OnMouseLeave() { Default(); }
void CWnd::OnHScroll(UINT, UINT, CWnd*) { Default(); }
void CWnd::OnVScroll(UINT, UINT, CWnd*) { Default(); }
HBRUSH CWnd::OnCtlColor(CDC*, CWnd*, UINT) { return reinterpret_cast<HBRUSH>(Default()); }
void CWnd::OnDrawItem(int, LPDRAWITEMSTRUCT dis) {
  LRESULT r = 0;
  CWnd* child = dis ? FromHandle(dis->hwndItem) : nullptr;
  if (child && child != this) child->OnChildNotify(WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(dis), &r);
}
void CWnd::OnKillFocus(CWnd*) { Default(); }
void CWnd::OnSetFocus(CWnd*) { Default(); }
void CWnd::OnKeyDown(UINT, UINT, UINT) { Default(); }
void CWnd::OnKeyUp(UINT, UINT, UINT) { Default(); }
void CWnd::OnSysCommand(UINT, LPARAM) { Default(); }
HICON CWnd::OnQueryDragIcon() { return reinterpret_cast<HICON>(Default()); }
void CWnd::OnEnable(BOOL) { Default(); }
void CWnd::OnActivate(UINT, CWnd*, BOOL) { Default(); }
void CWnd::OnCancelMode() { Default(); }
BOOL CWnd::OnSetCursor(CWnd*, UINT, UINT) { return static_cast<BOOL>(Default()); }
void CWnd::OnShowWindow(BOOL, UINT) { Default(); }
UINT CWnd::OnGetDlgCode() { return static_cast<UINT>(Default()); }
