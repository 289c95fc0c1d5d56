// CSkinButton: a button drawn from bitmaps of the resource module (normal,
// down, over, disabled, focus) and shaped by a mask bitmap: the button's
// window region is the set of mask pixels that are not white.
#pragma once

#include <vector>

#include "platform/ui/Button.h"
#include "platform/ui/GdiObject.h"

// Posted to the other buttons of a radio group when one is checked.
constexpr UINT WM_SKINBUTTON_UNCHECK = WM_USER + 256;

class CSkinButton : public CButton {
 public:
  enum Kind { kPush = 0, kCheckBox = 2, kRadio = 4 };
  enum DrawMode { kNatural = 0, kStretch = 1, kTile = 2 };

  CSkinButton();
  ~CSkinButton() override;

  // Bitmap ids, 0 for none. A missing disabled bitmap falls back to the
  // normal one. With a mask the button takes the mask's shape, and in draw
  // mode 0 its size too.
  BOOL SetSkin(UINT normal, UINT down, UINT over, UINT disabled, UINT focus, UINT mask, short drawMode = 0,
               short border = 0, short margin = 0);
  void SetTextColor(COLORREF colour);

  short GetDrawMode() const { return m_nDrawMode; }
  short GetMargin() const { return m_nMargin; }
  short GetBorder() const { return m_nBorder; }
  int GetKind() const { return m_nKind; }
  BOOL IsChecked() const { return m_bChecked; }

  // One-pixel-high rectangles covering the runs of pixels that differ from
  // the key colour, row by row (32-bit B, G, R, x pixels, top row first).
  static std::vector<RECT> MaskRuns(const BYTE* pixels, int width, int height, COLORREF key);
  // The region of a mask bitmap's pixels that differ from the key colour;
  // null when the bitmap cannot be read. The caller owns the region.
  static HRGN CreateMaskRegion(CBitmap* mask, COLORREF key);

  void PreSubclassWindow() override;
  void DrawItem(LPDRAWITEMSTRUCT dis) override;

 protected:
  afx_msg BOOL OnEraseBkgnd(CDC* dc);
  afx_msg void OnLButtonDown(UINT flags, CPoint point);
  afx_msg void OnLButtonUp(UINT flags, CPoint point);
  afx_msg void OnLButtonDblClk(UINT flags, CPoint point);
  afx_msg void OnMouseMove(UINT flags, CPoint point);
  afx_msg void OnMouseLeave();
  afx_msg void OnKillFocus(CWnd* newWnd);
  afx_msg void OnKeyDown(UINT ch, UINT repeat, UINT flags);
  afx_msg LRESULT OnGetCheck(WPARAM wParam, LPARAM lParam);
  afx_msg LRESULT OnSetCheck(WPARAM wParam, LPARAM lParam);
  afx_msg LRESULT OnUncheck(WPARAM wParam, LPARAM lParam);

 private:
  bool IsOver(CPoint point) const;
  void ActAsClicked();
  void DrawSkin(CDC* dc, CBitmap& bitmap, const CRect& rect);
  void TrackLeave(bool track);

  bool m_bChecked = false;
  int m_nKind = kPush;
  BYTE m_bHover = 0;
  BYTE m_bButtonDown = 0;
  // Whether the cursor was over the button at the last mouse message; the
  // pressed look follows it while the button is held.
  bool m_bCursorOver = false;
  CBitmap m_bmpNormal;
  CBitmap m_bmpDown;
  CBitmap m_bmpDisabled;
  CBitmap m_bmpMask;
  CBitmap m_bmpOver;
  CBitmap m_bmpFocus;
  short m_nMargin = 0;
  COLORREF m_crText;
  // Handed to the window with SetWindowRgn, which owns it from then on.
  HRGN m_hRgn = nullptr;
  // Our own copy of the shape, used as the drawing clip.
  CRgn m_rgnClip;
  short m_nBorder = 0;
  short m_nDrawMode = kStretch;

  DECLARE_MESSAGE_MAP()
};
