// CWndPreview: a static control showing one picture, at its own size when
// it fits and scaled down with its aspect ratio kept otherwise, inside a
// sunken frame.
#pragma once

#include <string>

#include "app/PicShow.h"
#include "platform/ui/Static.h"

class CWndPreview : public CStatic {
 public:
  BOOL LoadPicture(const char* path);
  CSize GetPictureSize() const { return CSize(m_nWidth, m_nHeight); }
  // Size of the picture file in bytes (low 32 bits); 0 when unreadable.
  DWORD GetFileSize() const;
  const std::string& GetPath() const { return m_strPath; }

  // Where a picture of the given pixel size is drawn in a client area of
  // the given size (frame of one pixel included); false when there is
  // nothing to draw.
  static bool Placement(int clientWidth, int clientHeight, int pictureWidth, int pictureHeight, CRect* out);

 protected:
  afx_msg void OnPaint();

 private:
  CPicShow m_picture;
  std::string m_strPath;
  int m_nWidth = 0;
  int m_nHeight = 0;

  DECLARE_MESSAGE_MAP()
};
