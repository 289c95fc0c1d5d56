// The record behind a window handle, and the Qt side of windows: the host
// widgets that turn Qt events into window messages. Internal to the
// framework; application code uses CWnd.
#pragma once

#include <QPointer>
#include <QRegion>
#include <QWidget>

class QPainter;
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Wnd.h"

class QEvent;
class QTimer;
class CFont;
class CDC;

// Sent to a control's class procedure after ModifyStyle (wParam old, lParam new style).
constexpr UINT UI_STYLECHANGED = 0x007D;

enum class UiKind { Generic, Dialog, Button, Static, Edit, ComboBox, ListBox, ListView, Header, Progress, UpDown, Trackbar };

// The default processing of one kind of window (the "window class procedure").
// Sets handled when it knew the message.
using UiClassProc = LRESULT (*)(UiWindow& window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

struct UiWindow {
  HWND hwnd = nullptr;
  QPointer<QWidget> widget;
  CWnd* wnd = nullptr;                    // current handler of the messages
  std::unique_ptr<CWnd> defaultWrapper;   // framework-made handler of a template control
  CWnd* creator = nullptr;                // object that created the window and destroys it
  UiKind kind = UiKind::Generic;
  UiClassProc proc = nullptr;
  std::string className;
  int id = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;
  std::vector<HWND> children;             // creation order: tab and group order
  std::map<UINT_PTR, std::unique_ptr<QTimer>> timers;
  bool trackLeave = false;
  bool destroying = false;
  std::unique_ptr<CFont> fontWrapper;     // what GetFont hands out
  HRGN region = nullptr;                  // owned window region
  HICON bigIcon = nullptr, smallIcon = nullptr;
  QPainter* painter = nullptr;        // the painter of the paint in progress
  bool backgroundErased = false;      // WM_ERASEBKGND of the paint in progress drew the background
  SIZE baseUnits{0, 0};               // dialogs made from a template: pixels per 4 x 8 dialog units
  int modalResult = 0;

  UiWindow();
  ~UiWindow();
};

// Handle table
UiWindow* UiFindWindow(HWND hwnd);
UiWindow* UiFindWindow(const QWidget* widget);
// Registers a new record for a widget; the record is owned by the table.
UiWindow* UiNewWindow(QWidget* widget, UiKind kind, const char* className, int id, DWORD style, DWORD exStyle,
                      HWND parent);
void UiSetWidget(UiWindow& rec, QWidget* widget);
// Destroys the window and its children: WM_DESTROY, records removed, widget deleted.
void UiDestroyWindow(HWND hwnd);
std::vector<HWND> UiAllWindows();
void UiReleaseTimers(UiWindow& rec);
void UiForgetCapture(HWND hwnd);
// Gives an up-down control with UDS_AUTOBUDDY the control created before it.
void UiAutoBuddy(UiWindow& upDown);
using UiBaseEvent = bool (*)(QWidget* widget, QEvent* event);
// Calls the window procedure of the object, remembering the message (and
// the Qt event behind it, if any) so that CWnd::Default can run the
// widget's own processing of that event; defaultRan tells whether it did.
LRESULT UiCallWindowProc(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam, QWidget* widget = nullptr,
                         QEvent* event = nullptr, UiBaseEvent base = nullptr, bool* defaultRan = nullptr,
                         bool* defaultResult = nullptr);
// Makes sure the receiver of posted messages exists (UI thread only).
void UiEnsureMessagePump();

// Creates a control of a window class as a child of the parent widget; null
// for an unknown parent. Unknown class names give a plain child window.
UiWindow* UiCreateControl(const char* className, const char* text, DWORD style, DWORD exStyle, const RECT& rect,
                          HWND parent, int id);
// The CWnd-derived wrapper that fits a control kind.
std::unique_ptr<CWnd> UiMakeWrapper(UiKind kind);

// Owner-drawn controls hand their parent a DC with the control's font
// selected, as the platform's controls do.
void UiSelectWindowFont(CDC& dc, UiWindow& rec);

// Sends a WM_COMMAND notification of a control to its parent.
void UiNotifyParent(UiWindow& control, UINT code);
// Sends a WM_NOTIFY (header already filled but for the sender fields).
LRESULT UiNotifyParent(UiWindow& control, NMHDR* header, UINT code);

// Event translation shared by every host widget: returns the result of
// event() for the widget. base runs the widget's own processing.
bool UiHandleEvent(QWidget* widget, QEvent* event, UiBaseEvent base);

// A Qt widget class turned into a window host.
template <class W>
class UiHost : public W {
 public:
  using W::W;

 protected:
  bool event(QEvent* e) override { return UiHandleEvent(this, e, &BaseEvent); }

 private:
  static bool BaseEvent(QWidget* w, QEvent* e) { return static_cast<UiHost*>(w)->W::event(e); }
};

// Class procedures and widget makers of the control kinds.
QWidget* UiMakeButtonWidget(UiWindow& rec, QWidget* parent);
// Return on a push button that has the focus presses it, as the platform's
// dialogs do; false when the focus is on no such button.
bool UiClickFocusedPushButton(QWidget* focus);
LRESULT UiButtonProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeStaticWidget(UiWindow& rec, QWidget* parent);
LRESULT UiStaticProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeEditWidget(UiWindow& rec, QWidget* parent);
LRESULT UiEditProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeComboWidget(UiWindow& rec, QWidget* parent);
LRESULT UiComboProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeListBoxWidget(UiWindow& rec, QWidget* parent);
LRESULT UiListBoxProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeListViewWidget(UiWindow& rec, QWidget* parent);
QWidget* UiMakeProgressWidget(UiWindow& rec, QWidget* parent);
LRESULT UiProgressProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeUpDownWidget(UiWindow& rec, QWidget* parent);
LRESULT UiUpDownProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);
QWidget* UiMakeTrackbarWidget(UiWindow& rec, QWidget* parent);
LRESULT UiTrackbarProc(UiWindow&, UINT, WPARAM, LPARAM, bool&);

// While alive, control changes come from the program, not the user: the
// notifications that the platform sends only for user actions are held back.
struct UiProgrammaticChange {
  UiProgrammaticChange();
  ~UiProgrammaticChange();
};
bool UiInProgrammaticChange();

// WM_GETTEXT: copies at most wParam - 1 bytes and a terminator into lParam.
LRESULT UiCopyText(const std::string& text, WPARAM wParam, LPARAM lParam);

// Text of the UI layer: UTF-8 std::string <-> QString.
QString UiQ(const char* s);
QString UiQ(const std::string& s);
std::string UiS(const QString& s);
