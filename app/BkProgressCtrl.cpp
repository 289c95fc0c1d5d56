#include "app/BkProgressCtrl.h"

#include "platform/ui/Dc.h"

BEGIN_MESSAGE_MAP(CBkProgressCtrl, CProgressCtrl)
  ON_WM_ERASEBKGND()
END_MESSAGE_MAP()

BOOL CBkProgressCtrl::OnEraseBkgnd(CDC* dc) {
  if (!dc) return FALSE;
  CRect client;
  GetClientRect(&client);
  dc->FillSolidRect(&client, kBackground);
  // Its edge shows where an empty bar is.
  dc->Draw3dRect(&client, kEdge, kEdge);
  return TRUE;
}
