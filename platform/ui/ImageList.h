// Image lists: strips of equally sized images, with a mask colour made
// transparent. List controls share the list's images (they stay valid even
// if the CImageList object goes first).
#pragma once

#include <memory>

#include "platform/ui/GdiObject.h"

class CDC;
class QImage;
struct UiImageListData;

constexpr UINT ILC_MASK = 0x1;
constexpr UINT ILC_COLOR = 0x0;
constexpr UINT ILC_COLOR24 = 0x18;
constexpr UINT ILC_COLOR32 = 0x20;
constexpr UINT ILD_NORMAL = 0x0;
constexpr UINT ILD_TRANSPARENT = 0x1;
constexpr COLORREF CLR_NONE = 0xFFFFFFFF;

class CImageList {
 public:
  CImageList();
  ~CImageList();
  CImageList(const CImageList&) = delete;
  CImageList& operator=(const CImageList&) = delete;

  BOOL Create(int cx, int cy, UINT flags, int initial, int grow);
  // From a bitmap of the resources cut into images cx wide.
  BOOL Create(UINT bitmapId, int cx, int grow, COLORREF mask);
  BOOL DeleteImageList();
  // Adds the bitmap's images (its width cut into image widths); returns the
  // index of the first, -1 on failure.
  int Add(CBitmap* bitmap, COLORREF mask);
  int Add(HICON icon);
  int GetImageCount() const;
  BOOL GetIconSize(int* cx, int* cy) const;
  BOOL Draw(CDC* dc, int image, POINT point, UINT style);

  std::shared_ptr<UiImageListData> UiData() const { return data_; }

 private:
  std::shared_ptr<UiImageListData> data_;
};

// The image at index, null when out of range.
QImage UiImageListImage(const std::shared_ptr<UiImageListData>& list, int index);
