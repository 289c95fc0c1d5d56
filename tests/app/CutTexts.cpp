#include "tests/app/CutTexts.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>
#include <climits>

#include "app/HyperlinkStatic.h"

namespace apptest {

std::string CutText::Describe() const {
  return "control " + std::to_string(id) + " \"" + text + "\" needs " + std::to_string(needWidth) + "x" +
         std::to_string(needHeight) + " and has " + std::to_string(width) + "x" + std::to_string(height);
}

namespace {

// The text as shown: a label shows its text as the framework set it; a
// button's '&' marks a mnemonic and "&&" is one ampersand.
QString Shown(QWidget* w, const std::string& raw) {
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  return QString::fromStdString(raw).replace("&&", QChar(1)).remove('&').replace(QChar(1), '&');
}

// The size the text takes at the font within `width`, wrapped or on one line.
QSize Needed(const QFont& font, const QString& text, int width, bool wrap) {
  const QFontMetrics fm(font);
  if (!wrap) return QSize(fm.horizontalAdvance(text), fm.height() * static_cast<int>(text.count('\n') + 1));
  return fm.boundingRect(QRect(0, 0, std::max(width, 1), INT_MAX / 2), Qt::TextWordWrap, text).size();
}

}  // namespace

std::vector<CutText> CutTexts(CWnd* dialog) {
  std::vector<CutText> cut;
  CRect client;
  dialog->GetClientRect(&client);
  for (CWnd* c = dialog->GetWindow(GW_CHILD); c; c = c->GetWindow(GW_HWNDNEXT)) {
    QWidget* w = c->GetWidget();
    if (!w) continue;
    char name[64] = {};
    GetClassName(c->GetSafeHwnd(), name, sizeof name);
    const std::string kind = name;
    const DWORD style = c->GetStyle();
    std::string raw;
    c->GetWindowText(raw);
    QString text = Shown(w, raw);
    QRect room = w->rect();
    bool wrap = false, checked = false;
    if (auto* link = dynamic_cast<CHyperlinkStatic*>(c)) {
      // A link draws its caption on one line from its corner.
      raw = link->GetCaption();
      text = QString::fromStdString(raw);
      checked = true;
    } else if (kind == "Static") {
      const DWORD type = style & SS_TYPEMASK;
      checked = type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT || type == SS_LEFTNOWORDWRAP || type == 0xB;
      wrap = type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT;
    } else if (kind == "Button") {
      const DWORD type = style & BS_TYPEMASK;
      wrap = (style & BS_MULTILINE) != 0;
      QStyleOptionButton opt;
      opt.initFrom(w);
      opt.text = text;
      checked = true;
      if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)
        room = w->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, w);
      else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE)
        room = w->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, w);
      else if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON)
        room = w->style()->subElementRect(QStyle::SE_RadioButtonContents, &opt, w);
      else if (type == BS_GROUPBOX)
        room = w->rect().adjusted(8, 0, -4, 0);  // the caption sits 8 pixels in, with 2 on each side
      else if (type == BS_OWNERDRAW)
        room = w->rect().adjusted(2, 0, 0, 0);  // skinned: one line, 2 pixels in from the left
    }
    if (!checked) continue;
    const int id = c->GetDlgCtrlID();
    if (!text.isEmpty()) {
      const QSize need = Needed(w->font(), text, room.width(), wrap);
      const int height = kind == "Button" && (style & BS_TYPEMASK) == BS_GROUPBOX ? QFontMetrics(w->font()).height()
                                                                                  : room.height();
      if (need.width() > room.width() || need.height() > height)
        cut.push_back({id, raw, need.width(), need.height(), room.width(), height});
    }
    // A control reaching past the client area is cut by it.
    CRect at;
    c->GetWindowRect(&at);
    dialog->ScreenToClient(&at);
    if (!text.isEmpty() && (at.left < 0 || at.top < 0 || at.right > client.right || at.bottom > client.bottom))
      cut.push_back({id, raw + " (outside the window)", static_cast<int>(at.right), static_cast<int>(at.bottom),
                     static_cast<int>(client.right), static_cast<int>(client.bottom)});
  }
  return cut;
}

}  // namespace apptest
