// CButtonST: an owner-drawn button showing an icon (a second icon while the
// cursor is over it) beside its caption, with a flat or raised border,
// per-state colours, and optional check-box mode, popup menu, address to
// open and cursor.
#pragma once

#include <string>

#include "platform/ui/Button.h"
#include "platform/ui/ToolTipCtrl.h"

class CButtonST : public CButton {
 public:
  enum Align { kAlignHorz = 0, kAlignVert = 1, kAlignHorzRight = 2 };
  // Colour slots: background and text for the three states.
  enum ColourIndex {
    kColourBkIn = 0,   // cursor over the button
    kColourFgIn,
    kColourBkOut,      // cursor elsewhere
    kColourFgOut,
    kColourBkFocus,    // focused
    kColourFgFocus,
    kColourCount
  };

  CButtonST();
  ~CButtonST() override;

  // Icons of the resource module; hoverId 0 keeps the normal icon on hover.
  BOOL SetIcon(UINT normalId, UINT hoverId = 0);
  void SetAlign(int align);
  void SetFlat(BOOL flat);
  BOOL SetColor(int index, COLORREF colour, BOOL repaint = TRUE);
  void SetDefaultColors(BOOL repaint = TRUE);
  void SetBtnCursor(HCURSOR cursor) { m_hCursor = cursor; }
  void SetCheckBox(BOOL checkBox) { m_bIsCheckBox = checkBox; }
  void SetCheck(int check);
  int GetCheck() const { return m_nCheck; }
  // The first popup of the menu resource drops down on click; its commands
  // go to the parent.
  void SetMenu(UINT menuId) { m_nMenuId = menuId; }
  // The button's name, shown as its tip: an icon alone names nothing.
  void SetTooltipText(const char* text);
  // Opened with "open" on click; at most 260 bytes are kept.
  void SetURL(const char* url);
  const std::string& GetURL() const { return m_strURL; }
  BOOL IsHovering() const { return m_bMouseOnButton; }
  CSize GetIconSize() const { return CSize(m_cxIcon, m_cyIcon); }

  void PreSubclassWindow() override;
  void DrawItem(LPDRAWITEMSTRUCT dis) override;
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 protected:
  afx_msg void OnMouseMove(UINT flags, CPoint point);
  afx_msg void OnMouseLeave();
  afx_msg void OnLButtonDblClk(UINT flags, CPoint point);
  afx_msg BOOL OnSetCursor(CWnd* wnd, UINT hitTest, UINT message);
  afx_msg UINT OnGetDlgCode();
  afx_msg void OnKillFocus(CWnd* newWnd);
  afx_msg void OnEnable(BOOL enable);
  afx_msg void OnActivate(UINT state, CWnd* other, BOOL minimized);
  afx_msg void OnCancelMode();

 private:
  void CancelHover();
  void OnClicked();

  HICON m_hIconIn = nullptr;
  HICON m_hIconOut = nullptr;
  int m_cxIcon = 0;
  int m_cyIcon = 0;
  int m_nAlign = kAlignHorz;
  BOOL m_bIsFlat = TRUE;
  COLORREF m_crColors[kColourCount];
  HCURSOR m_hCursor = nullptr;
  UINT m_nMenuId = 0;
  std::string m_strURL;
  BOOL m_bIsCheckBox = FALSE;
  int m_nCheck = 0;
  BOOL m_bIsDefault = FALSE;
  BOOL m_bMouseOnButton = FALSE;
  CToolTipCtrl m_ToolTip;

  DECLARE_MESSAGE_MAP()
};
