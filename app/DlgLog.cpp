#include "app/DlgLog.h"

#include "app/DlgNotice.h"

BEGIN_MESSAGE_MAP(CDlgLog, CDialog)
ON_BN_CLICKED(1007, OnCodecHelp)
END_MESSAGE_MAP()

void CDlgLog::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, 1086, m_strLog);
}

void CDlgLog::OnCodecHelp() {
  CDlgCodecInfo info(this);
  info.DoModal();
}
