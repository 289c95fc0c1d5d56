// CPicShow: one picture file (JPEG, BMP, PNG, GIF) loaded into memory and
// drawn scaled into a rectangle. Sizes are kept in HIMETRIC units (0.01 mm)
// at 96 pixels per inch, as picture objects report them.
#pragma once

#include <memory>

#include "platform/ui/Dc.h"
#include "platform/ui/GdiObject.h"

constexpr short PICTYPE_NONE = 0;
constexpr short PICTYPE_BITMAP = 1;

class CPicShow {
 public:
  CPicShow();
  virtual ~CPicShow();
  CPicShow(const CPicShow&) = delete;
  CPicShow& operator=(const CPicShow&) = delete;

  // Path in UTF-8. FALSE when the file cannot be read as a picture.
  BOOL Load(const char* path);
  // Draws the whole picture into the rectangle; nothing when not loaded.
  void Draw(CDC* dc, int x, int y, int width, int height);
  // The size in the device's pixels.
  void GetSize(CDC* dc, int& width, int& height) const;

  BOOL IsLoaded() const { return m_bLoaded != 0; }
  short GetType() const { return m_nType; }
  LONG GetHimetricWidth() const { return m_hmWidth; }
  LONG GetHimetricHeight() const { return m_hmHeight; }

 private:
  void Clear();

  std::unique_ptr<CBitmap> m_pPicture;
  short m_nType = PICTYPE_NONE;
  LONG m_hmWidth = 0;
  LONG m_hmHeight = 0;
  BYTE m_nMode = 0;
  BYTE m_bLoaded = 0;
  // Pixel size of the loaded picture.
  int m_cx = 0;
  int m_cy = 0;
};
