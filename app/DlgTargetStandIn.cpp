#include "app/DlgTargetStandIn.h"

#include "app/PathName.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

BEGIN_MESSAGE_MAP(CDlgTargetStandIn, CDlgTargetPage)
ON_BN_CLICKED(1020, OnFinish)
ON_BN_CLICKED(1021, OnBack)
END_MESSAGE_MAP()

CDlgTargetStandIn::CDlgTargetStandIn(const char* extension, CWnd* parent)
    : CDlgTargetPage(IDD, parent), m_pszExtension(extension) {}

void CDlgTargetStandIn::DoDataExchange(CDataExchange* dx) {
  CDlgTargetPage::DoDataExchange(dx);
  DDX_Text(dx, 1061, m_strOutput);
}

BOOL CDlgTargetStandIn::OnInitDialog() {
  if (m_pJob) {
    m_strOutput = m_pJob->m_strTarget;
    if (m_strOutput.empty() && !m_pJob->m_strSource.empty())
      m_strOutput = PathWithoutExtension(m_pJob->m_strSource) + "_pmr" + m_pszExtension;
  }
  CDlgTargetPage::OnInitDialog();
  if (m_bBatch)
    for (int id : {1070, 1061}) GetDlgItem(id)->ShowWindow(SW_HIDE);
  return TRUE;
}

void CDlgTargetStandIn::OnFinish() {
  UpdateData(TRUE);
  const std::string output = TrimBlanks(m_strOutput);
  if (!m_bBatch && output.empty()) {
    AfxMessageBox(UiLoadString(IDS_NO_OUTPUT_NAME), MB_OK | MB_ICONEXCLAMATION);
    m_nResult = 3;
    return;
  }
  if (m_pJob && !m_bBatch) m_pJob->m_strTarget = output;
  m_nResult = 2;
  EndDialog(IDOK);
}

void CDlgTargetStandIn::OnBack() {
  m_nResult = 0;
  EndDialog(IDOK);
}

void CDlgTargetStandIn::OnOK() { OnFinish(); }

void CDlgTargetStandIn::OnCancel() {
  m_nResult = 3;
  EndDialog(IDCANCEL);
}
