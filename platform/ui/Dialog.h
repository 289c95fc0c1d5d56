// Dialogs made from templates of the resource module.
//
// DoModal builds the window, runs OnInitDialog and then a nested event loop
// until EndDialog; the window is destroyed before DoModal returns. Create
// makes a modeless dialog (an embedded page when its template has WS_CHILD).
//
// Templates are laid out in dialog units: a horizontal unit is a quarter of
// the dialog font's average character width, a vertical unit an eighth of
// its height, so a layout keeps fitting its texts whatever the font.
#pragma once

#include "platform/ui/DataExchange.h"
#include "platform/ui/Wnd.h"

class QEventLoop;
class QFont;

// The dialog base units of a font: the average width of its letters and its
// height, in pixels.
SIZE UiDialogBaseUnits(const QFont& font);
// Of the application's font, as a LONG: width in the low word, height in the high.
LONG GetDialogBaseUnits();
// Dialog units of a dialog made from a template to pixels; FALSE for a
// window that is not such a dialog.
BOOL MapDialogRect(HWND dialog, LPRECT rect);

class CDialog : public CWnd {
 public:
  CDialog() = default;
  explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}
  ~CDialog() override;

  // IDOK, IDCANCEL or what EndDialog was given; -1 when the template is
  // missing or no application runs.
  virtual INT_PTR DoModal();
  BOOL Create(UINT templateId, CWnd* parent = nullptr);
  virtual BOOL OnInitDialog();
  void EndDialog(int result);
  // TRUE: controls to members (with validation); FALSE: members to controls.
  // FALSE when a value is refused (the user has been told why).
  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  void GotoDlgCtrl(CWnd* control);
  void NextDlgCtrl() const;
  void SetDefID(UINT id);
  // Dialog units of this dialog to pixels.
  void MapDialogRect(LPRECT rect) const;

  UINT m_nIDTemplate = 0;
  CWnd* m_pParentWnd = nullptr;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  virtual void DoDataExchange(CDataExchange* dx) {}
  virtual void OnOK();
  virtual void OnCancel();

 private:
  BOOL CreateFromTemplate(bool modal);
  void PlaceBeforeShow(QWidget* w);
  int m_nModalResult = -1;
  bool m_bEnded = false;
  QEventLoop* m_pLoop = nullptr;

  DECLARE_MESSAGE_MAP()
};
