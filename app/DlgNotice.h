// The notices that a page opens: device and codec hints with a
// "do not show again" box whose state is kept in the registry, and the
// notice that the Windows Media runtime is missing.
#pragma once

#include <vector>

#include "app/HyperlinkStatic.h"
#include "platform/ui/Dialog.h"

// A notice whose check box is stored as a DWORD under the application key of
// HKEY_CURRENT_USER and mirrored in one of the application's show-once flags.
class CDlgNotice : public CDialog {
 public:
  CDlgNotice(UINT templateId, int checkId, const char* valueName, DWORD* flag, CWnd* parent);

  int m_bDontShow = 0;

  BOOL OnInitDialog() override;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  afx_msg HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor);

  // Statics drawn in blue, and the one drawn in red (0: none).
  std::vector<int> m_blueStatics;
  int m_nRedStatic = 0;

 private:
  int m_nCheckId;
  const char* m_pszValue;
  DWORD* m_pFlag;
  DECLARE_MESSAGE_MAP()
};

class CDlg3GPInfo : public CDlgNotice {
 public:
  enum { IDD = 294 };
  explicit CDlg3GPInfo(CWnd* parent = nullptr);
};

class CDlgPSPInfo : public CDlgNotice {
 public:
  enum { IDD = 293 };
  explicit CDlgPSPInfo(CWnd* parent = nullptr);
};

class CDlgIPodInfo : public CDlgNotice {
 public:
  enum { IDD = 295 };
  explicit CDlgIPodInfo(CWnd* parent = nullptr);
};

class CDlgCodecInfo : public CDlgNotice {
 public:
  enum { IDD = 287 };
  explicit CDlgCodecInfo(CWnd* parent = nullptr);
  BOOL OnInitDialog() override;

 protected:
  void DoDataExchange(CDataExchange* dx) override;

 private:
  CHyperlinkStatic m_linkXvid;
  CHyperlinkStatic m_linkFfdshow;
  CHyperlinkStatic m_linkDivx;
  CHyperlinkStatic m_linkWindowsMedia;
};

// Shown while the Windows Media runtime cannot write WMV/ASF files.
class CDlgASFInfo : public CDialog {
 public:
  enum { IDD = 285 };
  explicit CDlgASFInfo(CWnd* parent = nullptr) : CDialog(IDD, parent) {}
  BOOL OnInitDialog() override;

 protected:
  void DoDataExchange(CDataExchange* dx) override;

 private:
  CHyperlinkStatic m_linkRuntime;
  CHyperlinkStatic m_linkInstaller;
};
