// List boxes. LBN_SELCHANGE is sent for the user's choices, not for SetCurSel.
#pragma once

#include <string>

#include "platform/ui/Wnd.h"

class CListBox : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("ListBox", nullptr, style, rect, parent, id);
  }
  int AddString(const char* text) { return Msg(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)); }
  int InsertString(int index, const char* text) {
    return Msg(LB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  }
  int DeleteString(UINT index) { return Msg(LB_DELETESTRING, index, 0); }
  void ResetContent() { Msg(LB_RESETCONTENT, 0, 0); }
  int GetCount() const { return Msg(LB_GETCOUNT, 0, 0); }
  int GetCurSel() const { return Msg(LB_GETCURSEL, 0, 0); }
  int SetCurSel(int index) { return Msg(LB_SETCURSEL, static_cast<WPARAM>(index), 0); }
  int GetTextLen(int index) const { return Msg(LB_GETTEXTLEN, static_cast<WPARAM>(index), 0); }
  int GetText(int index, std::string& text) const;
  int SetItemData(int index, DWORD_PTR data) {
    return Msg(LB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
  }
  DWORD_PTR GetItemData(int index) const {
    return static_cast<DWORD_PTR>(::SendMessage(m_hWnd, LB_GETITEMDATA, static_cast<WPARAM>(index), 0));
  }
  int FindString(int startAfter, const char* text) const {
    return Msg(LB_FINDSTRING, static_cast<WPARAM>(startAfter), reinterpret_cast<LPARAM>(text));
  }
  int FindStringExact(int startAfter, const char* text) const {
    return Msg(LB_FINDSTRINGEXACT, static_cast<WPARAM>(startAfter), reinterpret_cast<LPARAM>(text));
  }

 private:
  int Msg(UINT m, WPARAM w, LPARAM l) const { return static_cast<int>(::SendMessage(m_hWnd, m, w, l)); }
};
