#include "app/DlgVCD.h"

#include <cstdio>

#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

BEGIN_MESSAGE_MAP(CDlgVCD, CDlgTargetPage)
ON_CONTROL_RANGE(BN_CLICKED, 1050, 1052, OnKindClicked)
ON_BN_CLICKED(1054, OnTvStandard)
ON_BN_CLICKED(1055, OnTvStandard)
ON_BN_CLICKED(1004, OnNoSplit)
END_MESSAGE_MAP()

CDlgVCD::CDlgVCD(CWnd* parent) : CDlgTargetPage(IDD, parent) {
  m_nEmptyMessage = IDS_NO_OUTPUT_NAME;
  m_pszBrowseExtension = "*.mpg;*.mpeg";
  m_pszBrowseFilter = "Mpeg Files (*.mpg;*.mpeg)|*.mpg;*.mpeg||";
}

CSize CDlgVCD::DiscSize(int kind, int ntsc, int larger) {
  const int height = ntsc ? 480 : 576;
  if (kind == 2) return CSize(720, height);
  if (larger) return CSize(704, height);
  return kind == 1 ? CSize(480, height) : CSize(352, ntsc ? 240 : 288);
}

void CDlgVCD::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
  DDX_Radio(dx, 1050, m_nKind);
  DDX_Radio(dx, 1054, m_nTvStandard);
  DDX_Radio(dx, 1056, m_nDiscSize);
  DDX_Check(dx, 1004, m_bNoSplit);
  DDX_CBIndex(dx, 1003, m_nSplitIndex);
}

BOOL CDlgVCD::OnInitDialog() {
  if (m_pJob) {
    m_nKind = m_pJob->m_nMpegKind - 2;
    m_nTvStandard = m_pJob->m_nTvStandard;
    m_nDiscSize = m_pJob->m_nDiscSize;
    m_strOutput = m_pJob->m_strTarget.empty() ? DefaultOutput(".mpg") : m_pJob->m_strTarget;
    m_nSplitIndex = m_pJob->m_nSplitIndex;
    m_bNoSplit = m_pJob->m_bNoSplit;
  }
  // A job that was of another type before carries no disc kind yet.
  if (m_nKind < 0 || m_nKind > 2) m_nKind = 0;
  if (m_nTvStandard < 0 || m_nTvStandard > 1) m_nTvStandard = 0;
  // The split sizes of the job runner, in KiB.
  FillCombo(1003, {"No split", "598 MB", "728 MB", "788 MB", "648 MB", "698 MB", "998 MB"});
  CDlgTargetPage::OnInitDialog();
  // Coming back to the page shows the size chosen before.
  ShowKind(true);
  OnNoSplit();
  return TRUE;
}

void CDlgVCD::OnKindClicked(UINT) { OnKind(); }

void CDlgVCD::OnKind() { ShowKind(false); }

void CDlgVCD::ShowKind(bool keepSize) {
  UpdateData(TRUE);
  static const UINT kDescriptions[] = {IDS_DISC_VCD, IDS_DISC_SVCD, IDS_DISC_DVD};
  SetDlgItemText(1017, m_nKind >= 0 && m_nKind < 3 ? UiLoadString(kDescriptions[m_nKind]) : std::string());
  ShowSizes(keepSize);
}

void CDlgVCD::OnTvStandard() {
  UpdateData(TRUE);
  ShowSizes();
}

void CDlgVCD::ShowSizes(bool keep) {
  CWnd* larger = GetDlgItem(1057);
  if (!larger) return;
  larger->ShowWindow(SW_SHOW);
  // A DVD has one size only.
  if (!keep || m_nKind == 2) m_nDiscSize = 0;
  CheckDlgButton(1057, m_nDiscSize == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(1056, m_nDiscSize == 1 ? BST_UNCHECKED : BST_CHECKED);
  char text[32];
  for (int choice = 0; choice < 2; ++choice) {
    const CSize size = DiscSize(m_nKind, m_nTvStandard, choice);
    std::snprintf(text, sizeof text, "%d X %d", static_cast<int>(size.cx), static_cast<int>(size.cy));
    SetDlgItemText(1056 + choice, text);
  }
  if (m_nKind == 2) larger->ShowWindow(SW_HIDE);
}

void CDlgVCD::OnNoSplit() {
  UpdateData(TRUE);
  CComboBox* split = Combo(1003);
  if (!split) return;
  if (m_bNoSplit) split->SetCurSel(0);
  split->EnableWindow(!m_bNoSplit);
}

bool CDlgVCD::Apply(const std::string& output) {
  if (!m_pJob) return true;
  if (!m_bBatch) m_pJob->m_strTarget = output;
  m_pJob->m_nMpegKind = m_nKind + 2;
  m_pJob->m_nTvStandard = m_nTvStandard > 0 ? 1 : 0;
  m_pJob->m_nDiscSize = m_nDiscSize < 0 ? 0 : m_nDiscSize;
  m_pJob->m_dFrameRate = m_nTvStandard ? 29.97 : 25.0;
  m_pJob->m_bNoSplit = m_bNoSplit;
  m_pJob->m_nSplitIndex = m_bNoSplit || m_nSplitIndex < 0 ? 0 : m_nSplitIndex;
  const CSize size = DiscSize(m_nKind, m_nTvStandard, m_pJob->m_nDiscSize);
  m_pJob->m_nWidth = static_cast<int>(size.cx);
  m_pJob->m_nHeight = static_cast<int>(size.cy);
  // A PAL/NTSC change stays one in the list; both run the same way.
  m_pJob->m_nType = m_pJob->m_nType == CONVERT_PALNTSC ? CONVERT_PALNTSC : CONVERT_DISC;
  return true;
}
