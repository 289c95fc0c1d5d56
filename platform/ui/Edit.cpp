#include "platform/ui/Edit.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QTextCursor>

#include "platform/ui/WindowRecord.h"

namespace {

constexpr int kNoLimit = 0x7FFFFFFE;

// The limit binds what the user types; text set by the program may be
// longer (as on the platform), and then the user can only shorten it.
class LineWidget : public UiHost<QLineEdit> {
 public:
  using UiHost<QLineEdit>::UiHost;
  int limit = kNoLimit;
  void Fit() { setMaxLength(std::max(limit, static_cast<int>(text().size()))); }
};

class MultiWidget : public UiHost<QPlainTextEdit> {
 public:
  using UiHost<QPlainTextEdit>::UiHost;
  int limit = kNoLimit;
};

void Apply(UiWindow& rec) {
  if (auto* e = dynamic_cast<LineWidget*>(rec.widget.data())) {
    e->setReadOnly(rec.style & ES_READONLY);
    e->setEchoMode((rec.style & ES_PASSWORD) ? QLineEdit::Password : QLineEdit::Normal);
    DWORD a = rec.style & 0x3;
    e->setAlignment(a == ES_CENTER ? Qt::AlignHCenter : a == ES_RIGHT ? Qt::AlignRight : Qt::AlignLeft);
    if (rec.style & ES_NUMBER) {
      if (!e->validator()) e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), e));
    } else if (e->validator()) {
      delete e->validator();
      e->setValidator(nullptr);
    }
  } else if (auto* m = dynamic_cast<MultiWidget*>(rec.widget.data())) {
    m->setReadOnly(rec.style & ES_READONLY);
  }
}

QString FromPlatform(const char* s) {
  QString q = UiQ(s);
  q.replace("\r\n", "\n");
  return q;
}

std::string ToPlatform(const QString& s) {
  QString q = s;
  q.replace("\n", "\r\n");
  return UiS(q);
}

std::string TextOf(UiWindow& rec) {
  if (auto* e = dynamic_cast<LineWidget*>(rec.widget.data())) return UiS(e->text());
  if (auto* m = dynamic_cast<MultiWidget*>(rec.widget.data())) return ToPlatform(m->toPlainText());
  return std::string();
}

}  // namespace

QWidget* UiMakeEditWidget(UiWindow& rec, QWidget* parent) {
  HWND hwnd = rec.hwnd;
  auto changed = [hwnd]() {
    if (UiWindow* r = UiFindWindow(hwnd)) UiNotifyParent(*r, EN_CHANGE);
  };
  QWidget* w;
  if (rec.style & ES_MULTILINE) {
    auto* m = new MultiWidget(parent);
    m->setLineWrapMode((rec.style & WS_HSCROLL) ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
    m->setVerticalScrollBarPolicy((rec.style & WS_VSCROLL) ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    QObject::connect(m, &QPlainTextEdit::textChanged, changed);
    w = m;
  } else {
    auto* e = new LineWidget(parent);
    e->setFrame((rec.style & WS_BORDER) || (rec.exStyle & WS_EX_CLIENTEDGE));
    QObject::connect(e, &QLineEdit::textChanged, changed);
    QObject::connect(e, &QLineEdit::textEdited, [e](const QString&) { e->Fit(); });
    w = e;
  }
  rec.widget = w;
  Apply(rec);
  return w;
}

LRESULT UiEditProc(UiWindow& rec, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  auto* line = dynamic_cast<LineWidget*>(rec.widget.data());
  auto* multi = dynamic_cast<MultiWidget*>(rec.widget.data());
  if (!line && !multi) return 0;
  handled = true;
  switch (message) {
    case WM_SETTEXT: {
      const char* t = reinterpret_cast<const char*>(lParam);
      if (line) {
        QString q = UiQ(t);
        line->setMaxLength(std::max(line->limit, static_cast<int>(q.size())));
        line->setText(q);
      }
      if (multi) multi->setPlainText(FromPlatform(t));
      return TRUE;
    }
    case WM_GETTEXT: return UiCopyText(TextOf(rec), wParam, lParam);
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(TextOf(rec).size());
    case EM_LIMITTEXT: {
      int limit = wParam == 0 || wParam > static_cast<WPARAM>(kNoLimit) ? kNoLimit : static_cast<int>(wParam);
      if (line) line->limit = limit, line->Fit();
      if (multi) multi->limit = limit;
      return 0;
    }
    case EM_GETLIMITTEXT: return line ? line->limit : multi->limit;
    case EM_SETREADONLY:
      rec.style = wParam ? rec.style | ES_READONLY : rec.style & ~ES_READONLY;
      Apply(rec);
      return TRUE;
    case EM_SETSEL: {
      int start = static_cast<int>(static_cast<intptr_t>(wParam)), end = static_cast<int>(lParam);
      if (line) {
        int n = static_cast<int>(line->text().size());
        if (start < 0) {
          line->deselect();
        } else {
          if (end < 0 || end > n) end = n;
          start = std::min(start, n);
          line->setSelection(std::min(start, end), std::abs(end - start));
        }
      } else {
        QTextCursor c = multi->textCursor();
        int n = static_cast<int>(multi->toPlainText().size());
        if (start < 0) {
          c.clearSelection();
        } else {
          if (end < 0 || end > n) end = n;
          c.setPosition(std::min(start, n));
          c.setPosition(end, QTextCursor::KeepAnchor);
        }
        multi->setTextCursor(c);
      }
      return 0;
    }
    case EM_GETSEL: {
      int s = 0, e = 0;
      if (line) {
        s = line->hasSelectedText() ? line->selectionStart() : line->cursorPosition();
        e = line->hasSelectedText() ? line->selectionEnd() : s;
      } else {
        QTextCursor c = multi->textCursor();
        s = c.selectionStart(), e = c.selectionEnd();
      }
      if (wParam) *reinterpret_cast<DWORD*>(wParam) = static_cast<DWORD>(s);
      if (lParam) *reinterpret_cast<DWORD*>(lParam) = static_cast<DWORD>(e);
      return MAKELONG(static_cast<WORD>(s), static_cast<WORD>(e));
    }
    case EM_REPLACESEL: {
      QString t = FromPlatform(reinterpret_cast<const char*>(lParam));
      if (line) line->insert(t);
      if (multi) {
        multi->insertPlainText(t);
        multi->verticalScrollBar()->setValue(multi->verticalScrollBar()->maximum());
      }
      return 0;
    }
    case UI_STYLECHANGED: Apply(rec); return 0;
    default: handled = false; return 0;
  }
}

void CEdit::GetSel(int& start, int& end) const {
  DWORD s = 0, e = 0;
  ::SendMessage(m_hWnd, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
  start = static_cast<int>(s), end = static_cast<int>(e);
}
