#include "app/DlgCvtType.h"

#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"

namespace {
// The radio buttons, in the order of the type codes they stand for.
constexpr int kTypeButtons[] = {1006, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015, 1019, 1000, 1047};
constexpr int kVideoToPicturesButton = 1000;
constexpr int kPicturesToVideoButton = 1047;
}  // namespace

BEGIN_MESSAGE_MAP(CDlgCvtType, CDialog)
// Next first: its id lies inside the radio buttons' range.
ON_BN_CLICKED(1007, OnNext)
ON_CONTROL_RANGE(BN_CLICKED, 1000, 1047, OnTypeClicked)
END_MESSAGE_MAP()

CDlgCvtType::CDlgCvtType(CWnd* parent) : CDialog(IDD, parent) {}

UINT CDlgCvtType::DescriptionId(int type) {
  static const UINT kIds[] = {132, 133, 134, 135, 136, 137, 138, 145, 139, 140, 142, 141};
  return type >= 0 && type < static_cast<int>(std::size(kIds)) ? kIds[type] : 0;
}

void CDlgCvtType::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDCANCEL, m_btnCancel);
  DDX_Control(dx, 1017, m_stcDescription);
  DDX_Control(dx, 1007, m_btnNext);
  DDX_Radio(dx, 1006, m_nType);
}

BOOL CDlgCvtType::OnInitDialog() {
  if (m_pJob) m_nType = m_pJob->m_nType;
  CDialog::OnInitDialog();
  // A batch converts movies with one target setting: neither picture type
  // has a batch of its own.
  for (int id : {kVideoToPicturesButton, kPicturesToVideoButton})
    if (CWnd* button = GetDlgItem(id)) button->ShowWindow(m_bBatch ? SW_HIDE : SW_SHOW);
  RefreshDescription();
  // The focus starts on the chosen type, so that the first arrow key
  // already moves in the group; Next stays the default button for Return.
  if (m_nType >= 0 && m_nType < static_cast<int>(std::size(kTypeButtons)))
    if (CWnd* chosen = GetDlgItem(kTypeButtons[m_nType]); chosen && (chosen->GetStyle() & WS_VISIBLE)) {
      chosen->SetFocus();
      return FALSE;
    }
  return TRUE;
}

void CDlgCvtType::RefreshDescription() {
  UpdateData(TRUE);
  const UINT id = DescriptionId(m_nType);
  m_stcDescription.SetWindowText(id ? UiLoadString(id) : std::string());
}

void CDlgCvtType::OnTypeClicked(UINT id) {
  for (int button : kTypeButtons)
    if (static_cast<UINT>(button) == id) return RefreshDescription();
}

void CDlgCvtType::OnNext() {
  if (!UpdateData(TRUE)) return;
  if (m_bBatch && (m_nType == CONVERT_VIDEO_TO_PICTURES || m_nType == CONVERT_PICTURES_TO_VIDEO)) {
    AfxMessageBox("Pictures are not converted in a batch. Please choose another conversion type, or add the "
                  "pictures as one job.",
                  MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  EndDialog(IDOK);
}

// Return in the page means Next.
void CDlgCvtType::OnOK() { OnNext(); }
