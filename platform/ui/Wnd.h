// CWnd: a window of the framework over a Qt widget.
//
// A window is known by its HWND, a token that maps (through a handle table)
// to the window's record: the Qt widget, its id, styles, children, timers and
// the CWnd object currently handling its messages. Messages reach the CWnd's
// WindowProc, which looks them up in the class's message map and falls back
// to the window class's default processing (DefWindowProc).
//
// All windows live on the user-interface thread (the thread that created the
// QApplication). Other threads may only PostMessage and SendMessage.
#pragma once

#include <string>

#include "platform/ui/MessageMap.h"
#include "platform/ui/Messages.h"
#include "platform/ui/Rect.h"

class CDC;
class CFont;
class CRgn;
class QEventLoop;
class QWidget;
struct UiWindow;

class CWnd {
 public:
  CWnd();
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;
  operator HWND() const { return m_hWnd; }
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The object handling a window's messages; null for an unknown handle.
  static CWnd* FromHandle(HWND hwnd);
  static CWnd* FromHandlePermanent(HWND hwnd) { return FromHandle(hwnd); }

  // Creates a plain child window (a generic Qt widget), or a top-level one
  // when WS_CHILD is absent. Window class names of the common controls give
  // those controls.
  BOOL Create(const char* className, const char* windowName, DWORD style, const RECT& rect, CWnd* parent,
              UINT id);
  BOOL CreateEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, const RECT& rect,
                CWnd* parent, UINT id);
  virtual BOOL DestroyWindow();

  // This object takes over the messages of an existing window (a control of
  // a dialog); the previous handler gets them back on UnsubclassWindow or
  // when this object is destroyed.
  BOOL SubclassWindow(HWND hwnd);
  BOOL SubclassDlgItem(UINT id, CWnd* parent);
  HWND UnsubclassWindow();
  virtual void PreSubclassWindow() {}

  // Messages
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
  // A notification of this control to its parent, offered to the control
  // first (reflection); TRUE when the control handled it.
  virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  // The window's default processing of the message being handled now.
  LRESULT Default();

  // Timers deliver WM_TIMER (id in wParam) to this window, or call the
  // callback. Setting an existing id restarts it.
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC callback);
  BOOL KillTimer(UINT_PTR id);

  // Family
  CWnd* GetParent() const;
  CWnd* GetOwner() const { return GetParent(); }
  CWnd* GetTopLevelParent() const;
  // GW_CHILD: the first child; GW_HWNDNEXT, GW_HWNDPREV: siblings in creation order.
  CWnd* GetWindow(UINT cmd) const;
  CWnd* GetDlgItem(int id) const;
  int GetDlgCtrlID() const;
  int SetDlgCtrlID(int id);
  // The next (or previous) control of the same WS_GROUP group, wrapping.
  CWnd* GetNextDlgGroupItem(CWnd* control, BOOL previous = FALSE) const;
  BOOL IsChild(const CWnd* wnd) const;

  // Text
  void SetWindowText(const char* text);
  void SetWindowText(const std::string& text) { SetWindowText(text.c_str()); }
  int GetWindowText(char* buffer, int maxCount) const;
  void GetWindowText(std::string& text) const;
  int GetWindowTextLength() const;
  void SetDlgItemText(int id, const char* text);
  void SetDlgItemText(int id, const std::string& text) { SetDlgItemText(id, text.c_str()); }
  int GetDlgItemText(int id, char* buffer, int maxCount) const;
  int GetDlgItemText(int id, std::string& text) const;
  UINT GetDlgItemInt(int id, BOOL* translated = nullptr, BOOL isSigned = TRUE) const;
  void SetDlgItemInt(int id, UINT value, BOOL isSigned = TRUE);
  void CheckDlgButton(int id, UINT check);
  UINT IsDlgButtonChecked(int id) const;
  void CheckRadioButton(int firstId, int lastId, int checkId);
  int GetCheckedRadioButton(int firstId, int lastId);

  // State and placement
  BOOL EnableWindow(BOOL enable = TRUE);
  BOOL IsWindowEnabled() const;
  BOOL ShowWindow(int cmdShow);
  BOOL IsWindowVisible() const;
  BOOL IsIconic() const;
  void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE);
  void MoveWindow(LPCRECT rect, BOOL repaint = TRUE);
  BOOL SetWindowPos(const CWnd* insertAfter, int x, int y, int cx, int cy, UINT flags);
  void CenterWindow(CWnd* alternateOwner = nullptr);
  void GetClientRect(LPRECT rect) const;
  void GetWindowRect(LPRECT rect) const;
  void ScreenToClient(LPPOINT point) const;
  void ScreenToClient(LPRECT rect) const;
  void ClientToScreen(LPPOINT point) const;
  void ClientToScreen(LPRECT rect) const;
  void Invalidate(BOOL erase = TRUE);
  void InvalidateRect(LPCRECT rect, BOOL erase = TRUE);
  void UpdateWindow();
  BOOL RedrawWindow(LPCRECT rect = nullptr, CRgn* region = nullptr, UINT flags = 0);
  DWORD GetStyle() const;
  DWORD GetExStyle() const;
  BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);
  BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT flags = 0);
  void SetFont(CFont* font, BOOL redraw = TRUE);
  CFont* GetFont() const;
  void SetIcon(HICON icon, BOOL bigIcon);
  HICON GetIcon(BOOL bigIcon) const;
  // The window's shape: only the region's pixels show and take mouse input.
  // The window takes ownership of the region handle (it is deleted with it).
  int SetWindowRgn(HRGN region, BOOL redraw);
  int GetWindowRgn(HRGN region) const;
  CWnd* SetFocus();
  static CWnd* GetFocus();
  CWnd* SetCapture();
  static CWnd* GetCapture();
  BOOL SetForegroundWindow();
  // Z-order positions for SetWindowPos.
  static const CWnd wndTop;
  static const CWnd wndBottom;
  static const CWnd wndTopMost;
  static const CWnd wndNoTopMost;

  int MessageBox(const char* text, const char* caption = nullptr, UINT type = MB_OK);
  // The modal loop of a window that is not a dialog: shows the window
  // application-modal and runs events until EndModalLoop (or until the
  // window is destroyed, which gives -1); returns EndModalLoop's value.
  int RunModalLoop();
  void EndModalLoop(int result);
  // A device context on the client area (see CClientDC); give it back with ReleaseDC.
  CDC* GetDC();
  int ReleaseDC(CDC* dc);

  // The Qt widget behind the window (for the platform layer and tests).
  QWidget* GetWidget() const;
  // Framework: the window of this object is gone.
  void UiPostNcDestroy() { PostNcDestroy(); }

  // Default handlers: each hands the message to the window's default processing.
  afx_msg void OnPaint();
  afx_msg BOOL OnEraseBkgnd(CDC* dc);
  afx_msg void OnTimer(UINT_PTR id);
  afx_msg void OnClose();
  afx_msg void OnDestroy();
  afx_msg void OnSize(UINT type, int cx, int cy);
  afx_msg void OnLButtonDown(UINT flags, CPoint point);
  afx_msg void OnLButtonUp(UINT flags, CPoint point);
  afx_msg void OnLButtonDblClk(UINT flags, CPoint point);
  afx_msg void OnRButtonDown(UINT flags, CPoint point);
  afx_msg void OnRButtonUp(UINT flags, CPoint point);
  afx_msg void OnMouseMove(UINT flags, CPoint point);
  afx_msg void OnMouseLeave();
  afx_msg void OnHScroll(UINT code, UINT pos, CWnd* scrollBar);
  afx_msg void OnVScroll(UINT code, UINT pos, CWnd* scrollBar);
  afx_msg HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor);
  afx_msg void OnDrawItem(int idCtl, LPDRAWITEMSTRUCT dis);
  afx_msg void OnKillFocus(CWnd* newWnd);
  afx_msg void OnSetFocus(CWnd* oldWnd);
  afx_msg void OnKeyDown(UINT ch, UINT repeat, UINT flags);
  afx_msg void OnKeyUp(UINT ch, UINT repeat, UINT flags);
  afx_msg void OnSysCommand(UINT id, LPARAM lParam);
  afx_msg HICON OnQueryDragIcon();
  afx_msg void OnEnable(BOOL enable);
  afx_msg void OnActivate(UINT state, CWnd* other, BOOL minimized);
  afx_msg void OnCancelMode();
  afx_msg BOOL OnSetCursor(CWnd* wnd, UINT hitTest, UINT message);
  afx_msg void OnShowWindow(BOOL show, UINT status);
  afx_msg UINT OnGetDlgCode();

  // Framework internals shared with the dialog and control classes.
  UiWindow* Record() const;
  static const AFX_MSGMAP* GetThisMessageMap();
  virtual const AFX_MSGMAP* GetMessageMap() const;
  // The entry of this object's map chain for a plain message, or null.
  const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT message, UINT code = 0, UINT id = 0) const;

 protected:
  // Makes the window of this object from a ready widget (used by CreateEx and
  // the dialog class); this object then owns the window.
  HWND AttachNewWindow(UiWindow* record);
  BOOL ReflectChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual void PostNcDestroy() {}

  friend struct UiWindow;
  friend class CDialog;

 private:
  QEventLoop* m_pModalLoop = nullptr;
  int m_nModalResult = -1;
};

// ---------------------------------------------------------------------------
// Window functions on handles

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
// Queues the message to the window's thread (the UI thread) from any thread.
// FALSE when the handle is not a live window or no application runs.
BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
BOOL IsWindow(HWND hwnd);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND hwnd);
HWND GetParent(HWND hwnd);
HWND GetWindow(HWND hwnd, UINT cmd);
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC callback);
BOOL KillTimer(HWND hwnd, UINT_PTR id);
BOOL ReleaseCapture();
HWND GetCapture();
BOOL TrackMouseEvent(LPTRACKMOUSEEVENT track);
int GetClassName(HWND hwnd, char* buffer, int maxCount);
BOOL GetCursorPos(LPPOINT point);
HWND WindowFromPoint(POINT point);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL ShowWindow(HWND hwnd, int cmdShow);
// Asks for the user's attention to a window that is not active (the window
// system's urgency hint); an active window is left as it is.
BOOL FlashWindow(HWND hwnd, BOOL invert);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL DestroyWindow(HWND hwnd);
void PostQuitMessage(int exitCode);

// Posts a filter graph's event notification to a window: wParam 0, lParam
// the instance data given with the notify window. Safe from any thread.
void UiPostGraphNotify(HWND hwnd, UINT message, LONG_PTR instanceData);
// Renders the window (with its children) and writes it as a PNG file.
bool UiGrabWindow(CWnd* wnd, const char* pngPath);
// Runs the UI thread's pending events (posted messages, timers that are due,
// deferred deletions) without waiting. For tests and modal helpers.
void UiPumpMessages();
// True on the thread that created the QApplication.
bool UiIsUiThread();
