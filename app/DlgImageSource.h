// The picture-list page of the pictures-to-video type: an ordered list of
// pictures with a preview, the seconds each picture stays, and a sound file.
#pragma once

#include <string>

#include "app/ButtonST.h"
#include "app/WndPreview.h"
#include "conversion/ConvertOpt.h"
#include "platform/ui/Button.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/Static.h"

class CDlgImageSource : public CDialog {
 public:
  enum { IDD = 133 };
  explicit CDlgImageSource(CWnd* parent = nullptr);

  BOOL OnInitDialog() override;

  float m_fInterval = 0.5f;     // seconds per picture
  std::string m_strAudioFile;
  CConvertOpt* m_pJob = nullptr;
  int m_nResult = 3;            // 0 back, 1 next, 3 cancel or a failed check

  // The job's picture size from the first picture's: pictures 600 pixels
  // wide or more are brought down (halved from 800, else 352 wide) and
  // every side that is not a multiple of 8 is raised to the next one.
  static void JobPictureSize(int width, int height, int* jobWidth, int* jobHeight);
  // The pixel size of a picture file; false when it cannot be read.
  static bool PictureFileSize(const std::string& path, int* width, int* height);

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  void OnOK() override;
  void OnCancel() override;
  afx_msg void OnSelChange();
  afx_msg void OnAdd();
  afx_msg void OnRemove();
  afx_msg void OnMoveUp();
  afx_msg void OnMoveDown();
  afx_msg void OnSoundFile();
  afx_msg void OnIntervalSpin(NMHDR* header, LRESULT* result);
  afx_msg void OnNext();
  afx_msg void OnBack();

 private:
  void ShowPicture(int index);
  void Move(int step);
  bool Collect();

  CStatic m_stcInfo;         // 1042
  CWndPreview m_preview;     // 1078
  CButtonST m_btnMoveDown;   // 1039
  CButtonST m_btnMoveUp;     // 1038
  CButton m_btnNext;         // 1007
  CButtonST m_btnRemove;     // 1037
  CButton m_btnBack;         // 1021
  CButtonST m_btnAdd;        // 1001
  CListBox m_list;           // 1040

  DECLARE_MESSAGE_MAP()
};
