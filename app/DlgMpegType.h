// The MPEG target page: MPEG-1 or MPEG-2, picture size and frame rate.
#pragma once

#include "app/DlgTargetPage.h"

class CDlgMpegType : public CDlgTargetPage {
 public:
  enum { IDD = 134 };
  explicit CDlgMpegType(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  // Raised to the next multiple of 8 unless it is one.
  static int UpToEight(int value) { return value % 8 == 0 ? value : value - value % 8 + 8; }
  // The frame rate of a rate index (0 to 6), as numerator and denominator.
  static void RateOfIndex(int index, int* num, int* den);

  int m_nHeight = 0;
  int m_nWidth = 0;
  int m_nKind = 0;       // 0 MPEG-1, 1 MPEG-2
  int m_nRateIndex = 0;
  int m_bNoSplit = 0;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  bool Apply(const std::string& output) override;
  afx_msg void OnKind();

  DECLARE_MESSAGE_MAP()
};
