// What every target page shares: the job it fills, batch mode, the page
// result the job creation flow reads after it closes, the default output
// name, the output check and the Back, Finish and Cancel buttons.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "conversion/ConvertOpt.h"
#include "platform/ui/ComboBox.h"
#include "platform/ui/Dialog.h"

// One entry of a combo box: its text and the value it stands for.
struct ComboItem {
  const char* text;
  int data;
};

// Lists several pages share: video bit rates of 1500 down to 128 kbps,
// audio bit rates of 192 down to 16 kbps, and the MP4 family's frame rates
// (by index).
extern const std::vector<ComboItem> kVideoKbps;
extern const std::vector<ComboItem> kAudioKbps;
extern const std::vector<ComboItem> kFrameRates;

// A combo box whose items carry the values written into the job: loading
// selects the item of the member's value (none when no item has it), saving
// takes the selected item's value (the member stays when none is chosen).
void DDX_CBData(CDataExchange* dx, int id, int& value);

class CDlgTargetPage : public CDialog {
 public:
  CDlgTargetPage(UINT templateId, CWnd* parent) : CDialog(templateId, parent) {}

  BOOL OnInitDialog() override;

  CConvertOpt* m_pJob = nullptr;
  // Set by the batch flow: the targets are named by the flow, not here.
  int m_bBatch = 0;
  // 0 back, 2 finish, 3 cancel or a failed check.
  int m_nResult = 3;
  std::string m_strOutput;
  // The targets of the jobs of the list: Finish asks before the job takes
  // one of them, as it asks before it replaces a file.
  std::vector<std::string> m_listTargets;

 protected:
  // The page's own part of the check: reads what the members hold into the
  // job (the output path trimmed, or empty in batch mode). False keeps the
  // page open.
  virtual bool Apply(const std::string& output) = 0;
  // The output name the page proposes for the job's source.
  std::string DefaultOutput(const char* extension) const;
  // Whether `output` is a name the page proposes (it follows the source),
  // not one the user gave.
  virtual bool IsProposedOutput(const std::string& output) const;
  // Checks an output path: its extension must name one of the page's
  // containers (when it has any), and its folder must be there and take files. Tells the
  // user why not (an empty path only on Finish).
  bool CheckOutput(const std::string& output, bool finish);

  void FillCombo(int id, std::initializer_list<ComboItem> items);
  void FillCombo(int id, const std::vector<ComboItem>& items);
  void FillCombo(int id, std::initializer_list<const char*> texts);
  CComboBox* Combo(int id) const;
  // The value of the selected item; `fallback` when none is chosen.
  int ComboData(int id, int fallback) const;
  // Reads an int from an edit without the page's range checks; false when
  // the text is no number.
  bool EditInt(int id, int* value) const;
  void SetEditInt(int id, int value);
  // Brings a number typed into an edit to the page's step (on focus loss);
  // text that is no number stays for the page's check to refuse.
  void RoundEdit(int id, int (*round)(int));
  // Replaces the output's extension (or proposes a name when it is empty).
  void SetOutputExtension(const char* extension);
  void BrowseOutput(const char* defaultExtension, const char* filter);

  void OnOK() override;
  void OnCancel() override;
  afx_msg void OnFinish();
  afx_msg void OnBack();
  afx_msg void OnCancelButton();
  afx_msg void OnBrowse();

  // Set by each page's constructor.
  int m_nOutputId = 1061;             // the output edit
  int m_nFinishId = 1020;             // Finish (IDOK on some pages)
  int m_nCancelId = IDCANCEL;
  int m_nBatchShrink = 0;             // pixels the window loses in batch mode
  UINT m_nEmptyMessage = 0;           // message for an empty output on Finish; 0: the bad-name one
  std::vector<int> m_containers;      // containers the output's extension may name; none: any name
  const char* m_pszBrowseExtension = "";
  const char* m_pszBrowseFilter = "";

 private:
  bool Check(bool finish);
  // A file already at the output's name, or a job of the list that writes
  // it, is replaced only when the user says so: false (No, the default)
  // leaves the page open at the name.
  bool ConfirmReplace(const std::string& output, bool* replace);

  DECLARE_MESSAGE_MAP()
};

// An output folder must be there and take files; otherwise the user is told
// which and the answer is false.
bool CheckOutputFolder(const std::string& folder);

// The target page of a conversion type, made new for each visit; null for a
// type without one.
std::unique_ptr<CDlgTargetPage> CreateTargetPage(int type, CWnd* parent);
