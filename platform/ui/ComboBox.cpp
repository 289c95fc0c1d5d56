#include "platform/ui/ComboBox.h"

#include <QComboBox>
#include <QLineEdit>

#include "platform/ui/ItemList.h"
#include "platform/ui/WindowRecord.h"

namespace {
class ComboWidget : public UiHost<QComboBox> {
 public:
  using UiHost<QComboBox>::UiHost;
};

bool Valid(QComboBox* c, WPARAM index) { return static_cast<intptr_t>(index) >= 0 && static_cast<intptr_t>(index) < c->count(); }
}  // namespace

QWidget* UiMakeComboWidget(UiWindow& rec, QWidget* parent) {
  auto* c = new ComboWidget(parent);
  DWORD kind = rec.style & 0x3;
  c->setEditable(kind == CBS_DROPDOWN || kind == CBS_SIMPLE);
  c->setInsertPolicy(QComboBox::NoInsert);
  c->setMaxVisibleItems(20);
  HWND hwnd = rec.hwnd;
  QObject::connect(c, QOverload<int>::of(&QComboBox::activated), [hwnd](int) {
    if (UiWindow* r = UiFindWindow(hwnd)) UiNotifyParent(*r, CBN_SELCHANGE);
  });
  if (c->lineEdit())
    QObject::connect(c->lineEdit(), &QLineEdit::textEdited, [hwnd](const QString&) {
      if (UiWindow* r = UiFindWindow(hwnd)) UiNotifyParent(*r, CBN_EDITCHANGE);
    });
  return c;
}

LRESULT UiComboProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* c = dynamic_cast<ComboWidget*>(rec.widget.data());
  if (!c) return 0;
  UiProgrammaticChange programmatic;
  handled = true;
  auto text = [c](int i) { return c->itemText(i); };
  const char* s = reinterpret_cast<const char*>(lParam);
  switch (message) {
    case CB_ADDSTRING: {
      QString item = UiQ(s);
      int at = (rec.style & CBS_SORT) ? UiSortedPosition(c->count(), text, item) : c->count();
      c->insertItem(at, item);
      if (c->count() == 1 && c->currentIndex() == 0 && !c->isEditable()) c->setCurrentIndex(-1);
      return at;
    }
    case CB_INSERTSTRING: {
      int at = static_cast<int>(static_cast<intptr_t>(wParam));
      if (at < 0) at = c->count();
      if (at > c->count()) return CB_ERR;
      int keep = c->currentIndex();
      c->insertItem(at, UiQ(s));
      if (keep < 0 && !c->isEditable()) c->setCurrentIndex(-1);
      return at;
    }
    case CB_DELETESTRING:
      if (!Valid(c, wParam)) return CB_ERR;
      c->removeItem(static_cast<int>(wParam));
      return c->count();
    case CB_RESETCONTENT:
      c->clear();
      if (c->isEditable()) c->setEditText(QString());
      return 0;
    case CB_GETCOUNT: return c->count();
    case CB_GETCURSEL: return c->currentIndex() < 0 ? CB_ERR : c->currentIndex();
    case CB_SETCURSEL:
      // A bad index clears the selection and reports the error, as on the platform.
      if (!Valid(c, wParam)) {
        c->setCurrentIndex(-1);
        return CB_ERR;
      }
      c->setCurrentIndex(static_cast<int>(wParam));
      return static_cast<LRESULT>(wParam);
    case CB_GETLBTEXTLEN: return Valid(c, wParam) ? static_cast<LRESULT>(UiS(c->itemText(static_cast<int>(wParam))).size()) : CB_ERR;
    case CB_GETLBTEXT: {
      if (!Valid(c, wParam) || !lParam) return CB_ERR;
      std::string t = UiS(c->itemText(static_cast<int>(wParam)));
      return UiCopyText(t, t.size() + 1, lParam);
    }
    case CB_FINDSTRING:
    case CB_FINDSTRINGEXACT: {
      int i = UiFindItem(c->count(), text, static_cast<int>(static_cast<intptr_t>(wParam)), UiQ(s), message == CB_FINDSTRINGEXACT);
      return i < 0 ? CB_ERR : i;
    }
    case CB_SELECTSTRING: {
      int i = UiFindItem(c->count(), text, static_cast<int>(static_cast<intptr_t>(wParam)), UiQ(s), false);
      if (i < 0) return CB_ERR;
      c->setCurrentIndex(i);
      return i;
    }
    case CB_SETITEMDATA:
      if (!Valid(c, wParam)) return CB_ERR;
      c->setItemData(static_cast<int>(wParam), QVariant::fromValue<qulonglong>(static_cast<qulonglong>(lParam)), Qt::UserRole);
      return 0;
    case CB_GETITEMDATA:
      if (!Valid(c, wParam)) return CB_ERR;
      return static_cast<LRESULT>(c->itemData(static_cast<int>(wParam), Qt::UserRole).value<qulonglong>());
    case CB_LIMITTEXT:
      if (c->lineEdit()) c->lineEdit()->setMaxLength(wParam ? static_cast<int>(std::min<WPARAM>(wParam, 0x7FFFFFFE)) : 0x7FFFFFFE);
      return TRUE;
    case WM_SETTEXT:
      if (c->isEditable()) {
        c->setEditText(UiQ(s));
        return TRUE;
      }
      return CB_ERR;
    case WM_GETTEXT: return UiCopyText(UiS(c->currentText()), wParam, lParam);
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(UiS(c->currentText()).size());
    default: handled = false; return 0;
  }
}

int CComboBox::GetLBText(int index, std::string& text) const {
  text.clear();
  int n = GetLBTextLen(index);
  if (n < 0) return CB_ERR;
  std::string buffer(static_cast<size_t>(n) + 1, '\0');
  int got = Msg(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
  if (got < 0) return CB_ERR;
  text.assign(buffer.data(), static_cast<size_t>(std::min(got, n)));
  return got;
}
