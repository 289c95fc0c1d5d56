#include "app/DlgMpegType.h"

#include <algorithm>

#include "resources/ResourceIds.h"

namespace {
constexpr int kMinSide = 100, kMaxSide = 1600;
}  // namespace

BEGIN_MESSAGE_MAP(CDlgMpegType, CDlgTargetPage)
ON_BN_CLICKED(1049, OnKind)
ON_BN_CLICKED(1053, OnKind)
END_MESSAGE_MAP()

CDlgMpegType::CDlgMpegType(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nEmptyMessage = IDS_NO_OUTPUT_NAME;
  m_pszBrowseExtension = "*.mpg;*.mpeg";
  m_pszBrowseFilter = "Mpeg Files (*.mpg;*.mpeg)|*.mpg;*.mpeg||";
}

void CDlgMpegType::RateOfIndex(int index, int* num, int* den) {
  static const int kRates[][2] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {60000, 1001}, {60, 1}};
  const int i = index >= 0 && index < 7 ? index : 3;
  *num = kRates[i][0];
  *den = kRates[i][1];
}

void CDlgMpegType::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_Text(dx, 1069, m_nHeight);
  DDV_MinMaxInt(dx, m_nHeight, kMinSide, kMaxSide);
  DDX_Text(dx, 1068, m_nWidth);
  DDV_MinMaxInt(dx, m_nWidth, kMinSide, kMaxSide);
  DDX_Radio(dx, 1049, m_nKind);
  DDX_CBIndex(dx, 1090, m_nRateIndex);
  DDX_Check(dx, 1004, m_bNoSplit);
}

BOOL CDlgMpegType::OnInitDialog() {
  if (m_pJob) {
    m_nKind = m_pJob->m_nMpegKind;
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(".mpg") : m_pJob->m_strTarget;
    m_nRateIndex = m_pJob->m_nMpegRateIndex;
    const bool own = m_pJob->m_nWidth != 0;
    // Only sizes the page takes are proposed: the nearest to the source's.
    m_nWidth = std::clamp(own ? m_pJob->m_nWidth : m_pJob->m_nSourceWidth, kMinSide, kMaxSide);
    m_nHeight = std::clamp(own ? m_pJob->m_nHeight : m_pJob->m_nSourceHeight, kMinSide, kMaxSide);
    m_bNoSplit = m_pJob->m_bNoSplit;
  }
  if (m_nKind < 0 || m_nKind > 1) m_nKind = 0;
  FillCombo(1090, {"23.976 fps", "24 fps", "25 fps", "29.97 fps", "30 fps", "59.94 fps", "60 fps"});
  return CDlgTargetPage::OnInitDialog();
}

void CDlgMpegType::OnKind() {
  if (CWnd* split = GetDlgItem(1004)) split->EnableWindow(TRUE);
}

bool CDlgMpegType::Apply(const std::string& output) {
  m_nWidth = UpToEight(m_nWidth);
  m_nHeight = UpToEight(m_nHeight);
  SetEditInt(1068, m_nWidth);
  SetEditInt(1069, m_nHeight);
  if (!m_pJob) return true;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nWidth = m_nWidth;
  m_pJob->m_nHeight = m_nHeight;
  m_pJob->m_nMpegKind = m_nKind;
  RateOfIndex(m_nRateIndex, &m_pJob->m_nMpegRateNum, &m_pJob->m_nMpegRateDen);
  // The choice stays for the next visit of the page.
  if (m_nRateIndex >= 0) m_pJob->m_nMpegRateIndex = m_nRateIndex;
  m_pJob->m_bNoSplit = m_bNoSplit;
  m_pJob->m_nSplitIndex = 0;
  m_pJob->m_nType = CONVERT_MPEG;
  return true;
}
