// The batch list: the user collects many source movies, each probed and
// listed, and one output folder; every source becomes a job record named
// into that folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ButtonST.h"
#include "conversion/ConvertOpt.h"
#include "platform/ui/Button.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/ListCtrl.h"
#include "platform/ui/ProgressCtrl.h"

class CDlgBatch : public CDialog {
 public:
  enum { IDD = 106 };
  explicit CDlgBatch(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  // The batch's jobs. The caller fills it with the jobs collected so far;
  // while the page is open its rows hold them, and however the page ends it
  // hands back exactly the rows' records, in list order.
  std::vector<std::unique_ptr<CConvertOpt>> m_jobs;
  // The batch's settings record; its type decides the targets' extension,
  // and it takes the properties of the first source listed.
  CConvertOpt* m_pJob = nullptr;
  int m_nResult = 3;  // 0 back, 1 next, 3 cancel or a failed check
  std::string m_strFolder;

  // "<folder><name>_pmr.<extension of the template's type>".
  static std::string TargetName(const CConvertOpt& batch, const std::string& source, const std::string& folder);
  // The stored output folder, else the program's own folder; it ends in a
  // separator.
  static std::string StoredFolder();

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  void OnCancel() override;
  afx_msg void OnDestroy();
  afx_msg void OnAdd();
  afx_msg void OnRemove();
  afx_msg void OnMoveUp();
  afx_msg void OnMoveDown();
  afx_msg void OnFolder();
  afx_msg void OnListClick(NMHDR* header, LRESULT* result);
  afx_msg void OnNext();
  afx_msg void OnBack();

 private:
  void InsertRow(int index, CConvertOpt* job);
  void AddSource(const std::string& path);
  void Move(int step);
  int SelectedRow() const;
  void Select(int row);
  void RefreshButtons();
  void EnableControls(BOOL enable);
  bool Check(bool next);

  // The rows' records in row order while the page is open.
  std::vector<std::unique_ptr<CConvertOpt>> m_rows;
  CListCtrl m_list;          // 1064
  CButtonST m_btnMoveDown;   // 1039
  CButtonST m_btnMoveUp;     // 1038
  CButtonST m_btnRemove;     // 1037
  CButtonST m_btnAdd;        // 1001
  CButton m_btnBack;         // 1021
  CButton m_btnNext;         // 1007
  CButton m_btnOther;        // 1065
  CProgressCtrl m_progress;  // 1066

  DECLARE_MESSAGE_MAP()
};
