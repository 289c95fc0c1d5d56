#include "app/DlgScan.h"

BEGIN_MESSAGE_MAP(CDlgScan, CDialog)
ON_WM_SIZE()
END_MESSAGE_MAP()

void CDlgScan::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1076, m_progress);
}

void CDlgScan::OnSize(UINT type, int cx, int cy) {
  CDialog::OnSize(type, cx, cy);
  if (!m_progress.GetSafeHwnd()) return;
  // The bar spans the window with a 10-pixel margin on each side.
  CRect rc;
  m_progress.GetWindowRect(&rc);
  ScreenToClient(&rc);
  CRect client;
  GetClientRect(&client);
  m_progress.MoveWindow(10, rc.top, client.Width() - 20, rc.Height());
}
