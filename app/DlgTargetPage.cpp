#include "app/DlgTargetPage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "app/DlgMpegType.h"
#include "app/DlgTarget3GP.h"
#include "app/DlgTargetASF.h"
#include "app/DlgTargetAVI.h"
#include "app/DlgTargetFLV.h"
#include "app/DlgTargetIPod.h"
#include "app/DlgTargetImage.h"
#include "app/DlgTargetMP4.h"
#include "app/DlgTargetPSP.h"
#include "app/DlgVCD.h"
#include "app/PathName.h"
#include "app/TakenTargets.h"
#include "conversion/JobFiles.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

const std::vector<ComboItem> kVideoKbps = {{"1500kbps", 1500}, {"1000kbps", 1000}, {"768kbps", 768},
                                           {"512kbps", 512},   {"384kbps", 384},   {"256kbps", 256},
                                           {"192kbps", 192},   {"128kbps", 128}};
const std::vector<ComboItem> kAudioKbps = {{"192kbps", 192}, {"128kbps", 128}, {"96kbps", 96},
                                           {"64kbps", 64},   {"24kbps", 24},   {"16kbps", 16}};
const std::vector<ComboItem> kFrameRates = {{"30fps", 0}, {"25fps", 1}, {"24fps", 2}, {"14.985fps", 3}, {"12fps", 4}};

void DDX_CBData(CDataExchange* dx, int id, int& value) {
  HWND combo = dx->PrepareCtrl(id);
  const int count = static_cast<int>(::SendMessage(combo, CB_GETCOUNT, 0, 0));
  if (dx->m_bSaveAndValidate) {
    const int selected = static_cast<int>(::SendMessage(combo, CB_GETCURSEL, 0, 0));
    if (selected >= 0 && selected < count)
      value = static_cast<int>(::SendMessage(combo, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0));
    return;
  }
  int select = -1;
  for (int i = 0; i < count && select < 0; ++i)
    if (static_cast<int>(::SendMessage(combo, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)) == value) select = i;
  ::SendMessage(combo, CB_SETCURSEL, static_cast<WPARAM>(select), 0);
}

BEGIN_MESSAGE_MAP(CDlgTargetPage, CDialog)
ON_BN_CLICKED(1020, OnFinish)
ON_BN_CLICKED(1021, OnBack)
ON_BN_CLICKED(1023, OnBrowse)
ON_BN_CLICKED(1059, OnCancelButton)
END_MESSAGE_MAP()

BOOL CDlgTargetPage::OnInitDialog() {
  CDialog::OnInitDialog();
  if (m_bBatch) {
    for (int id : {1070, m_nOutputId, 1023})
      if (CWnd* w = GetDlgItem(id)) w->ShowWindow(SW_HIDE);
    if (m_nBatchShrink > 0) {
      CRect client;
      GetClientRect(&client);
      SetWindowPos(nullptr, 0, 0, client.Width(), client.Height() - m_nBatchShrink, SWP_NOMOVE | SWP_NOZORDER);
      for (int id : {m_nFinishId, m_nCancelId, 1021})
        if (CWnd* w = GetDlgItem(id)) {
          CRect rc;
          w->GetWindowRect(&rc);
          ScreenToClient(&rc);
          w->MoveWindow(rc.left, rc.top - m_nBatchShrink, rc.Width(), rc.Height());
        }
    }
  }
  return TRUE;
}

std::string CDlgTargetPage::DefaultOutput(const char* extension) const {
  if (!m_pJob || m_pJob->m_strSource.empty()) return {};
  return PathWithoutExtension(m_pJob->m_strSource) + "_pmr" + extension;
}

bool CDlgTargetPage::CheckOutput(const std::string& output, bool finish) {
  if (output.empty()) {
    if (finish) AfxMessageBox(UiLoadString(m_nEmptyMessage ? m_nEmptyMessage : IDS_BAD_OUTPUT_NAME), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  // Pages without containers of their own take any name.
  const int container = CConvertOpt::GetContainerFromExtension(PathExtension(output));
  if (!m_containers.empty() &&
      (output.size() < 6 || std::find(m_containers.begin(), m_containers.end(), container) == m_containers.end())) {
    AfxMessageBox(UiLoadString(IDS_BAD_OUTPUT_NAME), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  // The folder must take the file now, not fail the job when it runs.
  const std::string folder = PathFolder(output);
  if (!CheckOutputFolder(folder.empty() ? "./" : folder)) return false;
  // Writing over the source would lose it.
  if (m_pJob && IsSameFileOnDisk(output, m_pJob->m_strSource)) {
    AfxMessageBox(UiLoadString(IDS_OUTPUT_IS_SOURCE), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  return true;
}

bool CDlgTargetPage::IsProposedOutput(const std::string& output) const {
  return m_pJob && !m_pJob->m_strSource.empty() &&
         PathWithoutExtension(output) == PathWithoutExtension(m_pJob->m_strSource) + "_pmr";
}

bool CDlgTargetPage::ConfirmReplace(const std::string& output, bool* replace) {
  *replace = false;
  const bool file = IsTakenTarget(output);
  if (!file && !HasTarget(m_listTargets, output)) return true;
  const std::string taken =
      output + (file ? " already exists." : " is the target of another job of the list already.");
  if (AskToReplace(this, taken, 1) == IDYES) {
    *replace = true;
    return true;
  }
  if (CWnd* edit = GetDlgItem(m_nOutputId)) {
    edit->SetFocus();
    edit->SendMessage(EM_SETSEL, 0, -1);
  }
  return false;
}

bool CDlgTargetPage::Check(bool finish) {
  const std::string output = TrimBlanks(m_strOutput);
  if (!m_bBatch && !CheckOutput(output, finish)) return false;
  // Only Finish adds the job: Back asks nothing.
  bool replace = false;
  if (!m_bBatch && finish && !ConfirmReplace(output, &replace)) return false;
  if (!Apply(m_bBatch ? std::string() : output)) return false;
  if (m_pJob && !m_bBatch) {
    m_pJob->m_bReplaceTarget = replace ? 1 : 0;
    m_pJob->m_bTargetNamed = IsProposedOutput(output) ? 0 : 1;
  }
  return true;
}

void CDlgTargetPage::OnFinish() {
  m_nResult = 2;
  if (!UpdateData(TRUE) || !Check(true)) {
    m_nResult = 3;
    return;
  }
  EndDialog(IDOK);
}

void CDlgTargetPage::OnBack() {
  m_nResult = 0;
  if (!UpdateData(TRUE)) {
    m_nResult = 3;
    return;
  }
  // Going back with no output named yet needs no check to pass.
  if (!Check(false) && !TrimBlanks(m_strOutput).empty() && !m_bBatch) {
    m_nResult = 3;
    return;
  }
  m_nResult = 0;
  EndDialog(IDOK);
}

// Return means Finish, also on pages whose Finish is not the OK button.
void CDlgTargetPage::OnOK() { OnFinish(); }

void CDlgTargetPage::OnCancel() {
  m_nResult = 3;
  EndDialog(IDCANCEL);
}

void CDlgTargetPage::OnCancelButton() { OnCancel(); }

void CDlgTargetPage::OnBrowse() { BrowseOutput(m_pszBrowseExtension, m_pszBrowseFilter); }

void CDlgTargetPage::BrowseOutput(const char* defaultExtension, const char* filter) {
  std::string current;
  GetDlgItemText(m_nOutputId, current);
  CFileDialog dialog(FALSE, defaultExtension, current.c_str(), OFN_HIDEREADONLY, filter, this);
  if (dialog.DoModal() != IDOK) return;
  m_strOutput = dialog.GetPathName();
  SetDlgItemText(m_nOutputId, m_strOutput);
}

void CDlgTargetPage::SetOutputExtension(const char* extension) {
  std::string output;
  GetDlgItemText(m_nOutputId, output);
  output = TrimBlanks(output);
  output = output.empty() ? DefaultOutput(extension) : PathWithExtension(output, extension);
  SetDlgItemText(m_nOutputId, output);
}

CComboBox* CDlgTargetPage::Combo(int id) const { return dynamic_cast<CComboBox*>(GetDlgItem(id)); }

void CDlgTargetPage::FillCombo(int id, std::initializer_list<ComboItem> items) {
  FillCombo(id, std::vector<ComboItem>(items));
}

void CDlgTargetPage::FillCombo(int id, const std::vector<ComboItem>& items) {
  CComboBox* combo = Combo(id);
  if (!combo) return;
  combo->ResetContent();
  for (const ComboItem& item : items) combo->SetItemData(combo->AddString(item.text), static_cast<DWORD_PTR>(item.data));
}

void CDlgTargetPage::FillCombo(int id, std::initializer_list<const char*> texts) {
  CComboBox* combo = Combo(id);
  if (!combo) return;
  combo->ResetContent();
  int index = 0;
  for (const char* text : texts) combo->SetItemData(combo->AddString(text), static_cast<DWORD_PTR>(index++));
}

int CDlgTargetPage::ComboData(int id, int fallback) const {
  CComboBox* combo = Combo(id);
  const int selected = combo ? combo->GetCurSel() : -1;
  return selected >= 0 ? static_cast<int>(combo->GetItemData(selected)) : fallback;
}

bool CDlgTargetPage::EditInt(int id, int* value) const {
  std::string text;
  GetDlgItemText(id, text);
  text = TrimBlanks(text);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

void CDlgTargetPage::SetEditInt(int id, int value) { SetDlgItemText(id, std::to_string(value)); }

void CDlgTargetPage::RoundEdit(int id, int (*round)(int)) {
  int value = 0;
  if (EditInt(id, &value)) SetEditInt(id, round(value));
}

bool CheckOutputFolder(const std::string& folder) {
  struct stat st {};
  if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    AfxMessageBox(UiLoadString(IDS_NO_OUTPUT_FOLDER), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    AfxMessageBox(UiLoadString(IDS_FOLDER_NOT_WRITABLE), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  return true;
}

std::unique_ptr<CDlgTargetPage> CreateTargetPage(int type, CWnd* parent) {
  switch (type) {
    case CONVERT_AVI:
    case CONVERT_PICTURES_TO_VIDEO: return std::make_unique<CDlgTargetAVI>(parent);
    case CONVERT_WMV: return std::make_unique<CDlgTargetASF>(parent);
    case CONVERT_MPEG: return std::make_unique<CDlgMpegType>(parent);
    case CONVERT_DISC:
    case CONVERT_PALNTSC: return std::make_unique<CDlgVCD>(parent);
    case CONVERT_3GP: return std::make_unique<CDlgTarget3GP>(parent);
    case CONVERT_PSP: return std::make_unique<CDlgTargetPSP>(parent);
    case CONVERT_IPOD: return std::make_unique<CDlgTargetIPod>(parent);
    case CONVERT_MP4: return std::make_unique<CDlgTargetMP4>(parent);
    case CONVERT_FLV: return std::make_unique<CDlgTargetFLV>(parent);
    case CONVERT_VIDEO_TO_PICTURES: return std::make_unique<CDlgTargetImage>(parent);
    default: return nullptr;
  }
}
