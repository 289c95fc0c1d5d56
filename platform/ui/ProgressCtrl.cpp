#include "platform/ui/ProgressCtrl.h"

#include <QPainter>
#include <QProgressBar>
#include <QStyleOptionProgressBar>

#include "platform/ui/WindowRecord.h"

namespace {
class ProgressWidget : public UiHost<QProgressBar> {
 public:
  using UiHost<QProgressBar>::UiHost;

 protected:
  // A window that erased the bar's background itself keeps it: the bar then
  // draws only its filled part over it, as the platform's bar does.
  void paintEvent(QPaintEvent* e) override {
    UiWindow* rec = UiFindWindow(this);
    if (!rec || !rec->backgroundErased) return QProgressBar::paintEvent(e);
    QPainter p(this);
    QStyleOptionProgressBar opt;
    initStyleOption(&opt);
    style()->drawControl(QStyle::CE_ProgressBarContents, &opt, &p, this);
  }

 public:
  int lower = 0, upper = 100, pos = 0, step = 10;
  void Sync() {
    // An empty range would turn Qt's bar into a busy indicator.
    setRange(lower, std::max(upper, lower + 1));
    setValue(std::clamp(pos, lower, std::max(upper, lower)));
  }
  int SetPos(int p) {
    int old = pos;
    pos = std::clamp(p, std::min(lower, upper), std::max(lower, upper));
    Sync();
    return old;
  }
};
}  // namespace

QWidget* UiMakeProgressWidget(UiWindow& rec, QWidget* parent) {
  auto* p = new ProgressWidget(parent);
  p->setTextVisible(false);
  p->setOrientation((rec.style & PBS_VERTICAL) ? Qt::Vertical : Qt::Horizontal);
  p->Sync();
  return p;
}

LRESULT UiProgressProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* p = dynamic_cast<ProgressWidget*>(rec.widget.data());
  if (!p) return 0;
  handled = true;
  switch (message) {
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
      LRESULT old = MAKELONG(static_cast<WORD>(p->lower), static_cast<WORD>(p->upper));
      if (message == PBM_SETRANGE)
        p->lower = LOWORD(lParam), p->upper = HIWORD(lParam);
      else
        p->lower = static_cast<int>(static_cast<intptr_t>(wParam)), p->upper = static_cast<int>(lParam);
      p->SetPos(p->pos);
      return old;
    }
    case PBM_GETRANGE: {
      if (lParam) reinterpret_cast<int*>(lParam)[0] = p->lower, reinterpret_cast<int*>(lParam)[1] = p->upper;
      return wParam ? p->lower : p->upper;
    }
    case PBM_SETPOS: return p->SetPos(static_cast<int>(static_cast<intptr_t>(wParam)));
    case PBM_GETPOS: return p->pos;
    case PBM_DELTAPOS: return p->SetPos(p->pos + static_cast<int>(static_cast<intptr_t>(wParam)));
    case PBM_SETSTEP: return std::exchange(p->step, static_cast<int>(static_cast<intptr_t>(wParam)));
    case PBM_STEPIT: {
      int old = p->pos, next = p->pos + p->step;
      if (next > std::max(p->lower, p->upper)) next = std::min(p->lower, p->upper) + (next - std::max(p->lower, p->upper));
      if (next < std::min(p->lower, p->upper)) next = std::max(p->lower, p->upper);
      p->SetPos(next);
      return old;
    }
    default: handled = false; return 0;
  }
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
  int r[2] = {0, 0};
  ::SendMessage(m_hWnd, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(r));
  lower = r[0], upper = r[1];
}
