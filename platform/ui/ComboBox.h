// Combo boxes: drop-down lists (CBS_DROPDOWNLIST) and editable drop-downs.
// CBN_SELCHANGE is sent for the user's choices, not for SetCurSel.
#pragma once

#include <string>

#include "platform/ui/Wnd.h"

class CComboBox : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("ComboBox", nullptr, style, rect, parent, id);
  }
  int AddString(const char* text) { return Msg(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)); }
  int AddString(const std::string& text) { return AddString(text.c_str()); }
  int InsertString(int index, const char* text) {
    return Msg(CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  }
  int DeleteString(UINT index) { return Msg(CB_DELETESTRING, index, 0); }
  void ResetContent() { Msg(CB_RESETCONTENT, 0, 0); }
  int GetCount() const { return Msg(CB_GETCOUNT, 0, 0); }
  int GetCurSel() const { return Msg(CB_GETCURSEL, 0, 0); }
  int SetCurSel(int index) { return Msg(CB_SETCURSEL, static_cast<WPARAM>(index), 0); }
  int SetItemData(int index, DWORD_PTR data) {
    return Msg(CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
  }
  DWORD_PTR GetItemData(int index) const {
    return static_cast<DWORD_PTR>(::SendMessage(m_hWnd, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
  }
  int GetLBTextLen(int index) const { return Msg(CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0); }
  // The item's text; CB_ERR for a bad index (text then empty).
  int GetLBText(int index, std::string& text) const;
  int FindString(int startAfter, const char* text) const {
    return Msg(CB_FINDSTRING, static_cast<WPARAM>(startAfter), reinterpret_cast<LPARAM>(text));
  }
  int FindStringExact(int startAfter, const char* text) const {
    return Msg(CB_FINDSTRINGEXACT, static_cast<WPARAM>(startAfter), reinterpret_cast<LPARAM>(text));
  }
  int SelectString(int startAfter, const char* text) {
    return Msg(CB_SELECTSTRING, static_cast<WPARAM>(startAfter), reinterpret_cast<LPARAM>(text));
  }
  BOOL LimitText(int maxChars) { return Msg(CB_LIMITTEXT, static_cast<WPARAM>(maxChars), 0); }

 private:
  int Msg(UINT m, WPARAM w, LPARAM l) const { return static_cast<int>(::SendMessage(m_hWnd, m, w, l)); }
};
