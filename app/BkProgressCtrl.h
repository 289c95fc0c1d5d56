// CBkProgressCtrl: a progress bar that clears its background in the skin's
// blue instead of the system colour.
#pragma once

#include "platform/ui/ProgressCtrl.h"

class CBkProgressCtrl : public CProgressCtrl {
 public:
  // A dark trough, so that an empty bar does not look full beside the
  // blue of its filled part.
  static constexpr COLORREF kBackground = RGB(28, 33, 43);
  static constexpr COLORREF kEdge = RGB(84, 96, 118);

 protected:
  afx_msg BOOL OnEraseBkgnd(CDC* dc);

  DECLARE_MESSAGE_MAP()
};
