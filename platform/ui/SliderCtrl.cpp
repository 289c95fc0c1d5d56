#include "platform/ui/SliderCtrl.h"

#include <QSlider>

#include "platform/ui/WindowRecord.h"

namespace {
class SliderWidget : public UiHost<QSlider> {
 public:
  using UiHost<QSlider>::UiHost;
  UINT pendingCode = TB_THUMBPOSITION;
};

void Notify(HWND hwnd, UINT code) {
  UiWindow* r = UiFindWindow(hwnd);
  auto* s = r ? dynamic_cast<SliderWidget*>(r->widget.data()) : nullptr;
  if (!s) return;
  ::SendMessage(r->parent, (r->style & TBS_VERT) ? WM_VSCROLL : WM_HSCROLL,
                MAKEWPARAM(static_cast<WORD>(code), static_cast<WORD>(s->value())), reinterpret_cast<LPARAM>(hwnd));
}
}  // namespace

QWidget* UiMakeTrackbarWidget(UiWindow& rec, QWidget* parent) {
  auto* s = new SliderWidget((rec.style & TBS_VERT) ? Qt::Vertical : Qt::Horizontal, parent);
  s->setRange(0, 100);
  s->setTickPosition((rec.style & TBS_NOTICKS) ? QSlider::NoTicks : QSlider::TicksBelow);
  HWND hwnd = rec.hwnd;
  QObject::connect(s, &QAbstractSlider::actionTriggered, [s](int action) {
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd: s->pendingCode = TB_LINEDOWN; break;
      case QAbstractSlider::SliderSingleStepSub: s->pendingCode = TB_LINEUP; break;
      case QAbstractSlider::SliderPageStepAdd: s->pendingCode = TB_PAGEDOWN; break;
      case QAbstractSlider::SliderPageStepSub: s->pendingCode = TB_PAGEUP; break;
      case QAbstractSlider::SliderToMinimum: s->pendingCode = TB_TOP; break;
      case QAbstractSlider::SliderToMaximum: s->pendingCode = TB_BOTTOM; break;
      case QAbstractSlider::SliderMove: s->pendingCode = TB_THUMBTRACK; break;
      default: s->pendingCode = TB_THUMBPOSITION; break;
    }
  });
  QObject::connect(s, &QAbstractSlider::valueChanged, [hwnd, s](int) {
    if (UiInProgrammaticChange()) return;
    Notify(hwnd, s->pendingCode);
    s->pendingCode = TB_THUMBPOSITION;
  });
  QObject::connect(s, &QAbstractSlider::sliderReleased, [hwnd]() { Notify(hwnd, TB_ENDTRACK); });
  return s;
}

LRESULT UiTrackbarProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* s = dynamic_cast<SliderWidget*>(rec.widget.data());
  if (!s) return 0;
  UiProgrammaticChange programmatic;
  handled = true;
  int v = static_cast<int>(lParam);
  switch (message) {
    case TBM_GETPOS: return s->value();
    case TBM_SETPOS: s->setValue(v); return 0;
    case TBM_SETRANGE: s->setRange(static_cast<SHORT>(LOWORD(lParam)), static_cast<SHORT>(HIWORD(lParam))); return 0;
    case TBM_SETRANGEMIN: s->setMinimum(v); return 0;
    case TBM_SETRANGEMAX: s->setMaximum(v); return 0;
    case TBM_GETRANGEMIN: return s->minimum();
    case TBM_GETRANGEMAX: return s->maximum();
    case TBM_SETTIC: return v >= s->minimum() && v <= s->maximum();
    case TBM_CLEARTICS: return 0;
    case TBM_SETTICFREQ: s->setTickInterval(static_cast<int>(wParam)); return 0;
    case TBM_SETPAGESIZE: {
      int old = s->pageStep();
      s->setPageStep(std::max(v, 1));
      return old;
    }
    case TBM_SETLINESIZE: {
      int old = s->singleStep();
      s->setSingleStep(std::max(v, 1));
      return old;
    }
    default: handled = false; return 0;
  }
}

void CSliderCtrl::SetRange(int minPos, int maxPos, BOOL redraw) {
  SendMessage(TBM_SETRANGEMIN, FALSE, minPos);
  SendMessage(TBM_SETRANGEMAX, redraw, maxPos);
}
