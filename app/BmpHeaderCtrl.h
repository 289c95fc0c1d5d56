// CBmpHeaderCtrl: a list header whose owner-drawn items show a tiled
// bitmap with embossed, centred text.
#pragma once

#include "platform/ui/GdiObject.h"
#include "platform/ui/HeaderCtrl.h"

class CBmpHeaderCtrl : public CHeaderCtrl {
 public:
  BOOL SetBitmap(UINT bitmapId);
  void DrawItem(LPDRAWITEMSTRUCT dis) override;

 private:
  CBitmap m_bmpBackground;
};
