// CBkProgressCtrl: a progress bar that clears its background in the skin's
// blue instead of the system colour.
#pragma once

#include "platform/ui/ProgressCtrl.h"

class CBkProgressCtrl : public CProgressCtrl {
 public:
  static constexpr COLORREF kBackground = RGB(95, 147, 199);

 protected:
  afx_msg BOOL OnEraseBkgnd(CDC* dc);

  DECLARE_MESSAGE_MAP()
};
