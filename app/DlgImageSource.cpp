#include "app/DlgImageSource.h"

#include <QImageReader>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/PathName.h"
#include "platform/ui/FileDialog.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

namespace {

constexpr DWORD kFileBufferSize = 204800;
constexpr const char* kPictureExt = "*.jpg;*.jpeg;*.bmp;*.png";
// Every kind the list takes comes first, so the chooser opens showing all.
constexpr const char* kPictureFilter =
    "All supported Files (*.jpg;*.bmp;*.png;)|*.jpg;*.jpeg;*.bmp;*.png|JPEG Files (*.jpg,*.jpeg)|*.jpeg;*.jpg|Bitmap "
    "Files (*.bmp)|*.bmp|PNG Files (*.png)|*.png||";
constexpr const char* kSoundExt = "*.wav;*.mp3;*.mp2;";
constexpr const char* kSoundFilter = "All supported Files (*.wav;*.mp3;*.mp2;)|*.wav;*.mp3;*.mp2;||";

// Next multiple of 8 of a value that is not one.
int UpToEight(int v) { return v % 8 == 0 ? v : v - v % 8 + 8; }

// The interval spin's step and bounds, within what the page takes.
constexpr float kIntervalStep = 0.5f, kIntervalMin = 0.5f, kIntervalMax = 10.0f;

}  // namespace

BEGIN_MESSAGE_MAP(CDlgImageSource, CDialog)
ON_LBN_SELCHANGE(1040, OnSelChange)
ON_BN_CLICKED(1001, OnAdd)
ON_BN_CLICKED(1037, OnRemove)
ON_BN_CLICKED(1038, OnMoveUp)
ON_BN_CLICKED(1039, OnMoveDown)
ON_BN_CLICKED(1003, OnSoundFile)
ON_NOTIFY(UDN_DELTAPOS, 1045, OnIntervalSpin)
ON_BN_CLICKED(1007, OnNext)
ON_BN_CLICKED(1021, OnBack)
END_MESSAGE_MAP()

CDlgImageSource::CDlgImageSource(CWnd* parent) : CDialog(IDD, parent) {}

void CDlgImageSource::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1042, m_stcInfo);
  DDX_Control(dx, 1078, m_preview);
  DDX_Control(dx, 1039, m_btnMoveDown);
  DDX_Control(dx, 1038, m_btnMoveUp);
  DDX_Control(dx, 1007, m_btnNext);
  DDX_Control(dx, 1037, m_btnRemove);
  DDX_Control(dx, 1021, m_btnBack);
  DDX_Control(dx, 1001, m_btnAdd);
  DDX_Control(dx, 1040, m_list);
  DDX_Text(dx, 1044, m_fInterval);
  DDV_MinMaxFloat(dx, m_fInterval, 0.08f, 10.0f);
  DDX_Text(dx, 1002, m_strAudioFile);
}

BOOL CDlgImageSource::OnInitDialog() {
  CDialog::OnInitDialog();
  if (m_pJob) {
    m_fInterval = m_pJob->m_fPictureInterval;
    m_strAudioFile = m_pJob->m_strAudioFile;
    for (const std::string& path : m_pJob->m_astrPictures) m_list.AddString(path.c_str());
  }
  if (m_list.GetCount() > 0) {
    m_list.SetCurSel(0);
    ShowPicture(0);
  }
  m_btnAdd.SetIcon(191);
  m_btnRemove.SetIcon(190);
  m_btnMoveUp.SetIcon(189);
  m_btnMoveDown.SetIcon(192);
  // The icons name nothing by themselves.
  m_btnAdd.SetTooltipText("Add pictures...");
  m_btnRemove.SetTooltipText("Remove the selected picture");
  m_btnMoveUp.SetTooltipText("Move the selected picture up");
  m_btnMoveDown.SetTooltipText("Move the selected picture down");
  UpdateData(FALSE);
  return TRUE;
}

bool CDlgImageSource::PictureFileSize(const std::string& path, int* width, int* height) {
  QImageReader reader(QString::fromUtf8(path.c_str()));
  if (!reader.canRead()) return false;
  const QSize size = reader.size();
  if (!size.isValid() || size.width() <= 0 || size.height() <= 0) return false;
  *width = size.width();
  *height = size.height();
  return true;
}

void CDlgImageSource::JobPictureSize(int width, int height, int* jobWidth, int* jobHeight) {
  int w = width, h = height;
  if (width >= 800) {
    w = width / 2;
    h = height / 2;
  } else if (width >= 600) {
    // The height follows the width, so the picture fills the frame.
    w = 352;
    h = static_cast<int>(static_cast<long long>(height) * 352 / width);
  }
  // Both sides are rounded.
  if (width >= 600) {
    w = UpToEight(w);
    h = UpToEight(h);
  }
  *jobWidth = w;
  *jobHeight = h;
}

void CDlgImageSource::ShowPicture(int index) {
  std::string path;
  if (index < 0 || m_list.GetText(index, path) < 0) return;
  m_preview.LoadPicture(path.c_str());
  m_preview.Invalidate();
  const CSize size = m_preview.GetPictureSize();
  char text[128];
  std::snprintf(text, sizeof text, "File Size: %8.2fKB\nWidth / Height: (%d / %d)",
                static_cast<double>(m_preview.GetFileSize()) / 1000.0, static_cast<int>(size.cx),
                static_cast<int>(size.cy));
  m_stcInfo.SetWindowText(text);
}

void CDlgImageSource::OnSelChange() { ShowPicture(m_list.GetCurSel()); }

void CDlgImageSource::OnAdd() {
  std::vector<char> buffer(kFileBufferSize, '\0');
  CFileDialog dialog(TRUE, kPictureExt, nullptr,
                     OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER,
                     kPictureFilter, this);
  dialog.m_ofn.lpstrFile = buffer.data();
  dialog.m_ofn.nMaxFile = kFileBufferSize;
  if (dialog.DoModal() != IDOK) return;
  const int oldCount = m_list.GetCount();
  std::string refused;
  for (POSITION pos = dialog.GetStartPosition(); pos;) {
    const std::string path = dialog.GetNextPathName(pos);
    int w = 0, h = 0;
    if (PictureFileSize(path, &w, &h))
      m_list.AddString(path.c_str());
    else
      refused += "\n" + path;
  }
  if (!refused.empty()) AfxMessageBox(UiLoadString(IDS_BAD_PICTURE) + refused, MB_OK | MB_ICONEXCLAMATION);
  if (m_list.GetCount() > oldCount) {
    m_list.SetCurSel(oldCount);
    ShowPicture(oldCount);
  }
}

void CDlgImageSource::OnRemove() {
  const int index = m_list.GetCurSel();
  if (index < 0) return;
  m_list.DeleteString(static_cast<UINT>(index));
  if (index < m_list.GetCount()) {
    m_list.SetCurSel(index);
    ShowPicture(index);
  } else if (index > 0) {
    m_list.SetCurSel(index - 1);
    ShowPicture(index - 1);
  }
}

void CDlgImageSource::Move(int step) {
  const int index = m_list.GetCurSel();
  const int target = index + step;
  if (index < 0 || target < 0 || target >= m_list.GetCount()) return;
  std::string path;
  m_list.GetText(index, path);
  m_list.DeleteString(static_cast<UINT>(index));
  m_list.InsertString(target, path.c_str());
  m_list.SetCurSel(target);
  ShowPicture(target);
}

void CDlgImageSource::OnMoveUp() { Move(-1); }
void CDlgImageSource::OnMoveDown() { Move(+1); }

void CDlgImageSource::OnSoundFile() {
  CFileDialog dialog(TRUE, kSoundExt, nullptr, OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST,
                     kSoundFilter, this);
  if (dialog.DoModal() != IDOK) return;
  m_strAudioFile = dialog.GetPathName();
  SetDlgItemText(1002, m_strAudioFile);
}

// The arrows step by half seconds within the range the page takes (the
// default 0.5 s included); the up arrow (a negative delta) adds. Only the
// interval is read here, so a value the page would refuse at Next can still
// be stepped away from.
void CDlgImageSource::OnIntervalSpin(NMHDR* header, LRESULT* result) {
  const auto* spin = reinterpret_cast<const NMUPDOWN*>(header);
  std::string text;
  GetDlgItemText(1044, text);
  for (char& c : text)
    if (c == ',') c = '.';
  char* end = nullptr;
  const double typed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() && TrimBlanks(end).empty()) m_fInterval = static_cast<float>(typed);
  const float steps = std::round(m_fInterval / kIntervalStep) + (spin->iDelta <= 0 ? 1.0f : -1.0f);
  m_fInterval = std::clamp(steps * kIntervalStep, kIntervalMin, kIntervalMax);
  char shown[32];
  std::snprintf(shown, sizeof shown, "%g", static_cast<double>(m_fInterval));
  SetDlgItemText(1044, shown);
  *result = 0;
}

bool CDlgImageSource::Collect() {
  if (!UpdateData(TRUE)) return false;
  if (m_list.GetCount() <= 0) {
    AfxMessageBox(UiLoadString(IDS_NO_PICTURES), MB_OK | MB_ICONSTOP);
    return false;
  }
  if (!m_pJob) return true;
  m_pJob->m_astrPictures.clear();
  for (int i = 0; i < m_list.GetCount(); ++i) {
    std::string path;
    m_list.GetText(i, path);
    m_pJob->m_astrPictures.push_back(path);
  }
  m_pJob->m_strAudioFile = TrimBlanks(m_strAudioFile);
  m_pJob->m_fPictureInterval = m_fInterval;
  // The movie's length, as a source page gives the probed one.
  m_pJob->m_fDuration = static_cast<float>(m_pJob->m_astrPictures.size()) * m_fInterval;
  return true;
}

void CDlgImageSource::OnNext() {
  m_nResult = 1;
  if (!Collect()) {
    m_nResult = 3;
    return;
  }
  std::string first;
  m_list.GetText(0, first);
  int w = 0, h = 0;
  // The first picture decides the movie's size; one that can no longer be
  // read keeps the page open.
  if (!PictureFileSize(first, &w, &h)) {
    AfxMessageBox(UiLoadString(IDS_BAD_PICTURE) + "\n" + first, MB_OK | MB_ICONEXCLAMATION);
    m_nResult = 3;
    return;
  }
  if (m_pJob) {
    JobPictureSize(w, h, &m_pJob->m_nSourceWidth, &m_pJob->m_nSourceHeight);
    m_pJob->m_fPictureInterval = m_fInterval;
    if (m_pJob->m_nType == CONVERT_PICTURES_TO_VIDEO) m_pJob->m_dFrameRate = 15.0;
    m_pJob->m_strSource = first + "--- etc";
  }
  EndDialog(IDOK);
}

void CDlgImageSource::OnBack() {
  m_nResult = 0;
  if (!Collect()) {
    m_nResult = 3;
    return;
  }
  EndDialog(IDOK);
}

// Return means Next.
void CDlgImageSource::OnOK() { OnNext(); }

void CDlgImageSource::OnCancel() {
  m_nResult = 3;
  EndDialog(IDCANCEL);
}
