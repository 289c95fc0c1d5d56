#include "platform/ui/Dialog.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPushButton>

#include "platform/ui/Resource.h"
#include "platform/ui/WinApp.h"
#include "platform/ui/WindowRecord.h"

namespace {

// Keyboard accept and reject (Return on the default button, Escape) become
// the commands IDOK and IDCANCEL, as dialogs do on the platform.
class DialogHost : public UiHost<QDialog> {
 public:
  using UiHost<QDialog>::UiHost;
  void accept() override { Command(IDOK); }
  void reject() override { Command(IDCANCEL); }

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    const bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
    if (enter && !(e->modifiers() & ~Qt::KeypadModifier) && UiClickFocusedPushButton(focusWidget())) return;
    QDialog::keyPressEvent(e);
  }

 private:
  void Command(int id) {
    if (UiWindow* rec = UiFindWindow(this)) ::SendMessage(rec->hwnd, WM_COMMAND, static_cast<WPARAM>(id), 0);
  }
};

// units * base / per, rounded half away from zero.
int Scale(int units, int base, int per) {
  const long long p = static_cast<long long>(units) * base;
  return static_cast<int>((p >= 0 ? p + per / 2 : p - per / 2) / per);
}

RECT MapUnits(const RECT& units, SIZE base) {
  return RECT{Scale(units.left, base.cx, 4), Scale(units.top, base.cy, 8), Scale(units.right, base.cx, 4),
              Scale(units.bottom, base.cy, 8)};
}

}  // namespace

SIZE UiDialogBaseUnits(const QFont& font) {
  // The average letter width, rounded, and the height of a line without
  // its leading, which is how the platform sizes dialog units.
  const QFontMetrics fm(font);
  const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return SIZE{std::max(1, (letters / 26 + 1) / 2), std::max(1, fm.ascent() + fm.descent())};
}

LONG GetDialogBaseUnits() {
  const SIZE base = UiDialogBaseUnits(QApplication::font());
  return MAKELONG(static_cast<WORD>(base.cx), static_cast<WORD>(base.cy));
}

BOOL MapDialogRect(HWND dialog, LPRECT rect) {
  UiWindow* rec = UiFindWindow(dialog);
  if (!rec || !rect || rec->baseUnits.cx <= 0 || rec->baseUnits.cy <= 0) return FALSE;
  *rect = MapUnits(*rect, rec->baseUnits);
  return TRUE;
}

void CDialog::MapDialogRect(LPRECT rect) const { ::MapDialogRect(m_hWnd, rect); }

BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_COMMAND(IDOK, OnOK)
  ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::~CDialog() {
  if (m_hWnd) DestroyWindow();
}

BOOL CDialog::CreateFromTemplate(bool modal) {
  if (m_hWnd || !UiIsUiThread()) return FALSE;
  const PmrDialogTemplate* tpl = UiFindDialogTemplate(m_nIDTemplate);
  if (!tpl) return FALSE;
  CWnd* parent = m_pParentWnd;
  if (!parent && modal && AfxGetApp() && AfxGetApp()->m_pMainWnd != this) parent = AfxGetApp()->m_pMainWnd;
  QWidget* pw = parent ? parent->GetWidget() : nullptr;
  bool child = (tpl->style & WS_CHILD) && pw;
  auto* w = new DialogHost(pw);
  if (child) w->setWindowFlags(Qt::Widget);
  // A dialog without a caption draws its own: the window system adds no frame.
  else if (!(tpl->style & WS_CAPTION)) w->setWindowFlag(Qt::FramelessWindowHint);
  UiWindow* rec = UiNewWindow(w, UiKind::Dialog, "#32770", 0, tpl->style, tpl->exStyle,
                              parent ? parent->m_hWnd : nullptr);
  rec->wnd = this;
  rec->creator = this;
  m_hWnd = rec->hwnd;
  QFont font = w->font();
  if (tpl->fontFace && *tpl->fontFace) font.setFamilies({UiQ(tpl->fontFace)});
  if (tpl->fontPointSize > 0) font.setPixelSize(std::max(1, (tpl->fontPointSize * 96 + 36) / 72));
  w->setFont(font);
  rec->baseUnits = UiDialogBaseUnits(font);
  if (tpl->caption) w->setWindowTitle(UiQ(tpl->caption));
  const RECT size = MapUnits(RECT{0, 0, tpl->cx, tpl->cy}, rec->baseUnits);
  w->resize(std::max<int>(size.right, 1), std::max<int>(size.bottom, 1));
  // The user cannot resize a dialog: its controls are placed, not laid out.
  if (!child) w->setFixedSize(w->size());
  w->setEnabled(!(tpl->style & WS_DISABLED));
  // A child is shown with its parent unless it is hidden explicitly; a page
  // without WS_VISIBLE waits for the program to show it.
  if (child && !(tpl->style & WS_VISIBLE)) w->hide();
  UINT count = std::min<UINT>(tpl->controls ? tpl->controlCount : 0, 4096);
  for (UINT i = 0; i < count; ++i) {
    const PmrControlTemplate& c = tpl->controls[i];
    // Each of position and size is mapped on its own, as the platform does.
    const RECT at = MapUnits(RECT{c.x, c.y, std::max(c.cx, 0), std::max(c.cy, 0)}, rec->baseUnits);
    const RECT r{at.left, at.top, at.left + at.right, at.top + at.bottom};
    UiCreateControl(c.className ? c.className : "", c.text, c.style | WS_CHILD, c.exStyle, r, m_hWnd, c.id);
  }
  return TRUE;
}

INT_PTR CDialog::DoModal() {
  m_nModalResult = -1;
  m_bEnded = false;
  if (!CreateFromTemplate(true)) return -1;
  QWidget* w = GetWidget();
  w->setWindowModality(Qt::ApplicationModal);
  OnInitDialog();
  if (!m_bEnded && m_hWnd) {
    PlaceBeforeShow(w);
    w->show();
    QEventLoop loop;
    m_pLoop = &loop;
    if (!m_bEnded) loop.exec();
    m_pLoop = nullptr;
  }
  int result = m_nModalResult;
  DestroyWindow();
  return result;
}

BOOL CDialog::Create(UINT templateId, CWnd* parent) {
  m_nIDTemplate = templateId;
  m_pParentWnd = parent;
  if (!CreateFromTemplate(false)) return FALSE;
  OnInitDialog();
  if (UiWindow* rec = Record(); rec && (rec->style & WS_VISIBLE)) {
    PlaceBeforeShow(GetWidget());
    GetWidget()->show();
  }
  return TRUE;
}

// A window the program has not placed is centred on its owner (or the
// screen) before it is shown. Left to the window manager, it is placed
// after mapping, and until the window moves, the toolkit may not learn
// where: menus and drags would start from the wrong place.
void CDialog::PlaceBeforeShow(QWidget* w) {
  if (w && w->isWindow() && !w->testAttribute(Qt::WA_Moved)) CenterWindow();
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::EndDialog(int result) {
  m_nModalResult = result;
  m_bEnded = true;
  if (QWidget* w = GetWidget()) w->hide();
  if (m_pLoop) m_pLoop->exit(0);
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // A modal dialog destroyed from inside must still end its loop.
  if (message == WM_DESTROY && m_pLoop) m_pLoop->exit(0);
  if (message == WM_INITDIALOG) return OnInitDialog();
  return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  if (!m_hWnd) return FALSE;
  CDataExchange dx(this, saveAndValidate);
  try {
    DoDataExchange(&dx);
  } catch (const UiDataExchangeFailure&) {
    return FALSE;
  }
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::GotoDlgCtrl(CWnd* control) {
  if (control) control->SetFocus();
}

void CDialog::NextDlgCtrl() const {
  QWidget* w = GetWidget();
  QWidget* focus = w ? w->focusWidget() : nullptr;
  QWidget* next = focus ? focus->nextInFocusChain() : nullptr;
  if (next && w->isAncestorOf(next)) next->setFocus(Qt::TabFocusReason);
}

void CDialog::SetDefID(UINT id) {
  UiWindow* rec = Record();
  if (!rec) return;
  for (HWND c : rec->children)
    if (UiWindow* r = UiFindWindow(c); r && r->kind == UiKind::Button)
      if (auto* b = qobject_cast<QPushButton*>(r->widget.data())) b->setDefault(r->id == static_cast<int>(id));
}
