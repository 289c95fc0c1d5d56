#include "platform/ui/ListBox.h"

#include <QListWidget>

#include "platform/ui/ItemList.h"
#include "platform/ui/ItemViewFocus.h"
#include "platform/ui/WindowRecord.h"

namespace {
class ListWidget : public UiFocusFramedView<QListWidget> {
 public:
  using UiFocusFramedView<QListWidget>::UiFocusFramedView;
};
bool Valid(QListWidget* l, WPARAM index) { return static_cast<intptr_t>(index) >= 0 && static_cast<intptr_t>(index) < l->count(); }
}  // namespace

QWidget* UiMakeListBoxWidget(UiWindow& rec, QWidget* parent) {
  auto* l = new ListWidget(parent);
  l->setSelectionMode((rec.style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) ? QAbstractItemView::ExtendedSelection
                                                                       : QAbstractItemView::SingleSelection);
  HWND hwnd = rec.hwnd;
  // After the selection has changed: a click makes an item current before it
  // selects it, and the parent reads the selection.
  QObject::connect(l, &QListWidget::itemSelectionChanged, [hwnd]() {
    if (UiInProgrammaticChange()) return;
    if (UiWindow* r = UiFindWindow(hwnd)) UiNotifyParent(*r, LBN_SELCHANGE);
  });
  QObject::connect(l, &QListWidget::itemDoubleClicked, [hwnd](QListWidgetItem*) {
    if (UiWindow* r = UiFindWindow(hwnd)) UiNotifyParent(*r, LBN_DBLCLK);
  });
  return l;
}

LRESULT UiListBoxProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* l = dynamic_cast<ListWidget*>(rec.widget.data());
  if (!l) return 0;
  UiProgrammaticChange programmatic;
  handled = true;
  auto text = [l](int i) { return l->item(i)->text(); };
  const char* s = reinterpret_cast<const char*>(lParam);
  switch (message) {
    case LB_ADDSTRING: {
      QString item = UiQ(s);
      int at = (rec.style & LBS_SORT) ? UiSortedPosition(l->count(), text, item) : l->count();
      l->insertItem(at, item);
      return at;
    }
    case LB_INSERTSTRING: {
      int at = static_cast<int>(static_cast<intptr_t>(wParam));
      if (at < 0) at = l->count();
      if (at > l->count()) return LB_ERR;
      l->insertItem(at, UiQ(s));
      return at;
    }
    case LB_DELETESTRING:
      if (!Valid(l, wParam)) return LB_ERR;
      delete l->takeItem(static_cast<int>(wParam));
      return l->count();
    case LB_RESETCONTENT: l->clear(); return 0;
    case LB_GETCOUNT: return l->count();
    case LB_GETCURSEL: {
      QListWidgetItem* item = l->currentItem();
      return item && item->isSelected() ? l->row(item) : LB_ERR;
    }
    case LB_SETCURSEL:
      if (!Valid(l, wParam)) {
        l->setCurrentRow(-1);
        l->clearSelection();
        return static_cast<intptr_t>(wParam) == -1 ? 0 : LB_ERR;
      }
      l->setCurrentRow(static_cast<int>(wParam));
      return static_cast<LRESULT>(wParam);
    case LB_GETTEXTLEN: return Valid(l, wParam) ? static_cast<LRESULT>(UiS(text(static_cast<int>(wParam))).size()) : LB_ERR;
    case LB_GETTEXT: {
      if (!Valid(l, wParam) || !lParam) return LB_ERR;
      std::string t = UiS(text(static_cast<int>(wParam)));
      return UiCopyText(t, t.size() + 1, lParam);
    }
    case LB_FINDSTRING:
    case LB_FINDSTRINGEXACT: {
      int i = UiFindItem(l->count(), text, static_cast<int>(static_cast<intptr_t>(wParam)), UiQ(s), message == LB_FINDSTRINGEXACT);
      return i < 0 ? LB_ERR : i;
    }
    case LB_SETITEMDATA:
      if (!Valid(l, wParam)) return LB_ERR;
      l->item(static_cast<int>(wParam))->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(static_cast<qulonglong>(lParam)));
      return 0;
    case LB_GETITEMDATA:
      if (!Valid(l, wParam)) return LB_ERR;
      return static_cast<LRESULT>(l->item(static_cast<int>(wParam))->data(Qt::UserRole).value<qulonglong>());
    default: handled = false; return 0;
  }
}

int CListBox::GetText(int index, std::string& text) const {
  text.clear();
  int n = GetTextLen(index);
  if (n < 0) return LB_ERR;
  std::string buffer(static_cast<size_t>(n) + 1, '\0');
  int got = Msg(LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
  if (got < 0) return LB_ERR;
  text.assign(buffer.data(), static_cast<size_t>(std::min(got, n)));
  return got;
}
