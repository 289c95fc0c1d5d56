// CBitmapDialog: a dialog that paints a bitmap as its background and can be
// dragged by its body (or by the caption its skin draws). Static controls on it are drawn transparently so the
// bitmap shows through their text.
#pragma once

#include <memory>

#include "platform/ui/Dialog.h"
#include "platform/ui/GdiObject.h"

class CBitmapDialog : public CDialog {
 public:
  // bitmapId 0 and no bitmap object: no background until SetBitmap.
  explicit CBitmapDialog(UINT templateId, CWnd* parent = nullptr, UINT bitmapId = 0,
                         std::unique_ptr<CBitmap> bitmap = nullptr);
  ~CBitmapDialog() override;

  // Loads a bitmap of the resource module; the window's shape is unchanged.
  BOOL SetBitmap(UINT bitmapId);
  // Takes the bitmap over.
  BOOL SetBitmap(std::unique_ptr<CBitmap> bitmap);
  CBitmap* GetBitmap() const { return m_pBitmap.get(); }
  // A skin that draws its own caption: only a press on its top strip of this
  // many pixels moves the window. 0 (the default): the whole body does.
  void SetCaptionHeight(int pixels) { m_nCaptionHeight = pixels; }

 protected:
  afx_msg BOOL OnEraseBkgnd(CDC* dc);
  afx_msg void OnLButtonDown(UINT flags, CPoint point);
  afx_msg HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor);

  int m_bShaped = 1;
  int m_bTransparentStatics = 1;
  HBRUSH m_hHollowBrush;
  COLORREF m_crKey = 0;
  int m_bDrag = 1;
  int m_bBitmapLoaded = 0;
  int m_bPaintBackground = 0;
  int m_nCaptionHeight = 0;

 private:
  std::unique_ptr<CBitmap> m_pBitmap;

  DECLARE_MESSAGE_MAP()
};
