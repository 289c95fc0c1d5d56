// The still-picture target page: the interval between pictures and the
// folder they are written to.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgTargetImage : public CDlgTargetPage {
 public:
  enum { IDD = 101 };
  explicit CDlgTargetImage(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  int m_nInterval = 1000;  // milliseconds
  std::string m_strFolder;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  void OnOK() override;
  afx_msg void OnBrowseFolder();
  afx_msg void OnBackButton();

 private:
  // Finish and Back: an empty folder goes back; a folder that is not there
  // keeps the page open.
  void Leave(int result);
  // Finish into a folder holding files of the pictures' names: the user
  // chooses whether they are replaced (false keeps the page open).
  bool AskToReplacePictures(const std::string& folder);

  DECLARE_MESSAGE_MAP()
};
