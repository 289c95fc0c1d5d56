// Message maps: each window class lists the messages it handles in a static
// table built with the BEGIN_MESSAGE_MAP ... END_MESSAGE_MAP macros. Every
// entry goes through a small thunk that is instantiated for the handler's
// member pointer and checks its signature at compile time, so a handler with
// the wrong parameters does not compile instead of being called with garbage.
#pragma once

#include <type_traits>

#include "platform/ui/Messages.h"
#include "platform/ui/Rect.h"

class CWnd;
class CDC;
struct HBRUSH__;

// Thunk: calls the handler on the window object with the unpacked arguments.
using AFX_PMSG = LRESULT (*)(CWnd* target, UINT message, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;  // message, or WM_COMMAND / WM_NOTIFY (also offset by WM_REFLECT_BASE)
  UINT nCode;     // notification code for commands and notifications
  UINT nID;       // first control or command id
  UINT nLastID;   // last id of a range (nID otherwise)
  AFX_PMSG pfn;   // null ends the table
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*pfnGetBaseMap)();
  const AFX_MSGMAP_ENTRY* lpEntries;
};

// Reflected messages: a control's own entries for notifications that its
// parent would otherwise receive.
constexpr UINT WM_REFLECT_BASE = 0xBC00;
// Key under which ON_WM_CTLCOLOR is stored; every WM_CTLCOLOR* message finds it.
constexpr UINT WM_CTLCOLOR = 0x0019;
constexpr UINT WM_GETDLGCODE = 0x0087;

CWnd* UiWndFromHandle(HWND hwnd);
CDC* UiDcFromHandle(HDC hdc);

template <class T>
struct UiMemberOf;
template <class C, class F>
struct UiMemberOf<F C::*> {
  using Class = C;
  using Fn = F;
};

#define UI_MSG_THUNK(Name, Signature, ...)                                                              \
  template <auto F>                                                                                     \
  LRESULT Name(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam) {                                 \
    using M = UiMemberOf<decltype(F)>;                                                                  \
    static_assert(std::is_same_v<typename M::Fn, Signature>, "message handler has the wrong signature"); \
    auto* self = static_cast<typename M::Class*>(wnd);                                                  \
    (void)message, (void)wParam, (void)lParam;                                                          \
    __VA_ARGS__                                                                                         \
  }

UI_MSG_THUNK(UiThunk_v_v, void(), (self->*F)(); return 0;)
UI_MSG_THUNK(UiThunk_v_id, void(UINT), (self->*F)(LOWORD(wParam)); return 0;)
UI_MSG_THUNK(UiThunk_l_w_l, LRESULT(WPARAM, LPARAM), return (self->*F)(wParam, lParam);)
UI_MSG_THUNK(UiThunk_notify, void(NMHDR*, LRESULT*), LRESULT r = 0;
             (self->*F)(reinterpret_cast<NMHDR*>(lParam), &r); return r;)
UI_MSG_THUNK(UiThunk_notify_range, void(UINT, NMHDR*, LRESULT*), LRESULT r = 0;
             auto* h = reinterpret_cast<NMHDR*>(lParam);
             (self->*F)(static_cast<UINT>(h ? h->idFrom : 0), h, &r); return r;)
UI_MSG_THUNK(UiThunk_timer, void(UINT_PTR), (self->*F)(static_cast<UINT_PTR>(wParam)); return 0;)
UI_MSG_THUNK(UiThunk_erase, BOOL(CDC*), return (self->*F)(UiDcFromHandle(reinterpret_cast<HDC>(wParam)));)
UI_MSG_THUNK(UiThunk_size, void(UINT, int, int),
             (self->*F)(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam)); return 0;)
UI_MSG_THUNK(UiThunk_mouse, void(UINT, CPoint),
             (self->*F)(static_cast<UINT>(wParam), CPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
             return 0;)
UI_MSG_THUNK(UiThunk_scroll, void(UINT, UINT, CWnd*),
             (self->*F)(LOWORD(wParam), HIWORD(wParam), UiWndFromHandle(reinterpret_cast<HWND>(lParam)));
             return 0;)
UI_MSG_THUNK(UiThunk_ctlcolor, HBRUSH__*(CDC*, CWnd*, UINT),
             return reinterpret_cast<LRESULT>((self->*F)(UiDcFromHandle(reinterpret_cast<HDC>(wParam)),
                                                         UiWndFromHandle(reinterpret_cast<HWND>(lParam)),
                                                         message - WM_CTLCOLORMSGBOX));)
UI_MSG_THUNK(UiThunk_drawitem, void(int, DRAWITEMSTRUCT*),
             (self->*F)(static_cast<int>(wParam), reinterpret_cast<DRAWITEMSTRUCT*>(lParam)); return 0;)
UI_MSG_THUNK(UiThunk_focus, void(CWnd*), (self->*F)(UiWndFromHandle(reinterpret_cast<HWND>(wParam))); return 0;)
UI_MSG_THUNK(UiThunk_key, void(UINT, UINT, UINT),
             (self->*F)(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam)); return 0;)
UI_MSG_THUNK(UiThunk_syscommand, void(UINT, LPARAM), (self->*F)(static_cast<UINT>(wParam), lParam); return 0;)
UI_MSG_THUNK(UiThunk_dragicon, HICON(), return reinterpret_cast<LRESULT>((self->*F)());)
UI_MSG_THUNK(UiThunk_enable, void(BOOL), (self->*F)(static_cast<BOOL>(wParam)); return 0;)
UI_MSG_THUNK(UiThunk_activate, void(UINT, CWnd*, BOOL),
             (self->*F)(LOWORD(wParam), UiWndFromHandle(reinterpret_cast<HWND>(lParam)), HIWORD(wParam) != 0);
             return 0;)
UI_MSG_THUNK(UiThunk_setcursor, BOOL(CWnd*, UINT, UINT),
             return (self->*F)(UiWndFromHandle(reinterpret_cast<HWND>(wParam)), LOWORD(lParam), HIWORD(lParam));)
UI_MSG_THUNK(UiThunk_showwindow, void(BOOL, UINT),
             (self->*F)(static_cast<BOOL>(wParam), static_cast<UINT>(lParam)); return 0;)
UI_MSG_THUNK(UiThunk_getdlgcode, UINT(), return (self->*F)();)

// ---------------------------------------------------------------------------
// Declaring and defining maps

#define DECLARE_MESSAGE_MAP()                        \
 protected:                                          \
  static const AFX_MSGMAP* GetThisMessageMap();      \
  const AFX_MSGMAP* GetMessageMap() const override;  \
                                                     \
 private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                             \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }        \
  const AFX_MSGMAP* theClass::GetThisMessageMap() {                                        \
    using ThisClass = theClass;                                                            \
    using TheBaseClass = baseClass;                                                        \
    (void)sizeof(ThisClass);                                                               \
    static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                                  \
  {0, 0, 0, 0, nullptr}                                                                    \
  }                                                                                        \
  ;                                                                                        \
  static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, &entries[0]};           \
  return &map;                                                                             \
  }

// Window messages
#define UI_ON_MSG(msg, thunk, fn) {msg, 0, 0, 0, &thunk<&ThisClass::fn>},
#define ON_WM_PAINT() UI_ON_MSG(WM_PAINT, UiThunk_v_v, OnPaint)
#define ON_WM_ERASEBKGND() UI_ON_MSG(WM_ERASEBKGND, UiThunk_erase, OnEraseBkgnd)
#define ON_WM_TIMER() UI_ON_MSG(WM_TIMER, UiThunk_timer, OnTimer)
#define ON_WM_CLOSE() UI_ON_MSG(WM_CLOSE, UiThunk_v_v, OnClose)
#define ON_WM_DESTROY() UI_ON_MSG(WM_DESTROY, UiThunk_v_v, OnDestroy)
#define ON_WM_SIZE() UI_ON_MSG(WM_SIZE, UiThunk_size, OnSize)
#define ON_WM_LBUTTONDOWN() UI_ON_MSG(WM_LBUTTONDOWN, UiThunk_mouse, OnLButtonDown)
#define ON_WM_LBUTTONUP() UI_ON_MSG(WM_LBUTTONUP, UiThunk_mouse, OnLButtonUp)
#define ON_WM_LBUTTONDBLCLK() UI_ON_MSG(WM_LBUTTONDBLCLK, UiThunk_mouse, OnLButtonDblClk)
#define ON_WM_RBUTTONDOWN() UI_ON_MSG(WM_RBUTTONDOWN, UiThunk_mouse, OnRButtonDown)
#define ON_WM_RBUTTONUP() UI_ON_MSG(WM_RBUTTONUP, UiThunk_mouse, OnRButtonUp)
#define ON_WM_MOUSEMOVE() UI_ON_MSG(WM_MOUSEMOVE, UiThunk_mouse, OnMouseMove)
#define ON_WM_MOUSELEAVE() UI_ON_MSG(WM_MOUSELEAVE, UiThunk_v_v, OnMouseLeave)
#define ON_WM_HSCROLL() UI_ON_MSG(WM_HSCROLL, UiThunk_scroll, OnHScroll)
#define ON_WM_VSCROLL() UI_ON_MSG(WM_VSCROLL, UiThunk_scroll, OnVScroll)
#define ON_WM_CTLCOLOR() UI_ON_MSG(WM_CTLCOLOR, UiThunk_ctlcolor, OnCtlColor)
#define ON_WM_DRAWITEM() UI_ON_MSG(WM_DRAWITEM, UiThunk_drawitem, OnDrawItem)
#define ON_WM_KILLFOCUS() UI_ON_MSG(WM_KILLFOCUS, UiThunk_focus, OnKillFocus)
#define ON_WM_SETFOCUS() UI_ON_MSG(WM_SETFOCUS, UiThunk_focus, OnSetFocus)
#define ON_WM_KEYDOWN() UI_ON_MSG(WM_KEYDOWN, UiThunk_key, OnKeyDown)
#define ON_WM_KEYUP() UI_ON_MSG(WM_KEYUP, UiThunk_key, OnKeyUp)
#define ON_WM_SYSCOMMAND() UI_ON_MSG(WM_SYSCOMMAND, UiThunk_syscommand, OnSysCommand)
#define ON_WM_QUERYDRAGICON() UI_ON_MSG(WM_QUERYDRAGICON, UiThunk_dragicon, OnQueryDragIcon)
#define ON_WM_ENABLE() UI_ON_MSG(WM_ENABLE, UiThunk_enable, OnEnable)
#define ON_WM_ACTIVATE() UI_ON_MSG(WM_ACTIVATE, UiThunk_activate, OnActivate)
#define ON_WM_CANCELMODE() UI_ON_MSG(WM_CANCELMODE, UiThunk_v_v, OnCancelMode)
#define ON_WM_SETCURSOR() UI_ON_MSG(WM_SETCURSOR, UiThunk_setcursor, OnSetCursor)
#define ON_WM_SHOWWINDOW() UI_ON_MSG(WM_SHOWWINDOW, UiThunk_showwindow, OnShowWindow)
#define ON_WM_GETDLGCODE() UI_ON_MSG(WM_GETDLGCODE, UiThunk_getdlgcode, OnGetDlgCode)

// Any message, private ones included: LRESULT handler(WPARAM, LPARAM).
#define ON_MESSAGE(msg, fn) {static_cast<UINT>(msg), 0, 0, 0, &UiThunk_l_w_l<&ThisClass::fn>},

// Commands and control notifications (WM_COMMAND)
#define ON_COMMAND(id, fn) {WM_COMMAND, 0, static_cast<UINT>(id), static_cast<UINT>(id), &UiThunk_v_v<&ThisClass::fn>},
#define ON_COMMAND_RANGE(id, idLast, fn) \
  {WM_COMMAND, 0, static_cast<UINT>(id), static_cast<UINT>(idLast), &UiThunk_v_id<&ThisClass::fn>},
#define ON_CONTROL(code, id, fn) \
  {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), &UiThunk_v_v<&ThisClass::fn>},
#define ON_CONTROL_RANGE(code, id, idLast, fn) \
  {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(idLast), &UiThunk_v_id<&ThisClass::fn>},
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_BN_DOUBLECLICKED(id, fn) ON_CONTROL(BN_DOUBLECLICKED, id, fn)
#define ON_EN_CHANGE(id, fn) ON_CONTROL(EN_CHANGE, id, fn)
#define ON_EN_KILLFOCUS(id, fn) ON_CONTROL(EN_KILLFOCUS, id, fn)
#define ON_EN_SETFOCUS(id, fn) ON_CONTROL(EN_SETFOCUS, id, fn)
#define ON_CBN_SELCHANGE(id, fn) ON_CONTROL(CBN_SELCHANGE, id, fn)
#define ON_CBN_EDITCHANGE(id, fn) ON_CONTROL(CBN_EDITCHANGE, id, fn)
#define ON_LBN_SELCHANGE(id, fn) ON_CONTROL(LBN_SELCHANGE, id, fn)
#define ON_LBN_DBLCLK(id, fn) ON_CONTROL(LBN_DBLCLK, id, fn)
#define ON_STN_CLICKED(id, fn) ON_CONTROL(STN_CLICKED, id, fn)

// Notifications (WM_NOTIFY): void handler(NMHDR*, LRESULT*)
#define ON_NOTIFY(code, id, fn) \
  {WM_NOTIFY, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), &UiThunk_notify<&ThisClass::fn>},
#define ON_NOTIFY_RANGE(code, id, idLast, fn)                                              \
  {WM_NOTIFY, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(idLast), \
   &UiThunk_notify_range<&ThisClass::fn>},

// Reflection: the control handles its own notification before its parent sees it.
#define ON_CONTROL_REFLECT(code, fn) \
  {WM_REFLECT_BASE + WM_COMMAND, static_cast<UINT>(code), 0, 0, &UiThunk_v_v<&ThisClass::fn>},
#define ON_NOTIFY_REFLECT(code, fn) \
  {WM_REFLECT_BASE + WM_NOTIFY, static_cast<UINT>(code), 0, 0, &UiThunk_notify<&ThisClass::fn>},

#define afx_msg
