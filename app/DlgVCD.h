// The VCD, SVCD and DVD target page (also the page of PAL/NTSC changes):
// the disc kind, the TV system, the picture size and the split size.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgVCD : public CDlgTargetPage {
 public:
  enum { IDD = 284 };
  explicit CDlgVCD(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  // The picture size of a disc kind (0 VCD, 1 SVCD, 2 DVD), TV system
  // (0 PAL, 1 NTSC) and size choice (0 standard, 1 larger; DVD has one).
  static CSize DiscSize(int kind, int ntsc, int larger);

  int m_nKind = 0;
  int m_nTvStandard = 0;
  int m_nDiscSize = 0;
  int m_bNoSplit = 0;
  int m_nSplitIndex = 0;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  afx_msg void OnKind();
  void ShowKind(bool keepSize);
  afx_msg void OnKindClicked(UINT id);
  afx_msg void OnTvStandard();
  afx_msg void OnNoSplit();

 private:
  // The size radios for the kind and standard; `keep` leaves the size
  // choice as it is (opening), else the standard size is chosen.
  void ShowSizes(bool keep = false);

  DECLARE_MESSAGE_MAP()
};
