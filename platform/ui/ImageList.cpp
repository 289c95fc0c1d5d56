#include "platform/ui/ImageList.h"

#include <QImage>
#include <vector>

#include "platform/ui/Dc.h"
#include "platform/ui/GdiData.h"

struct UiImageListData {
  int cx = 16, cy = 16;
  std::vector<QImage> images;
};

CImageList::CImageList() = default;
CImageList::~CImageList() = default;

BOOL CImageList::Create(int cx, int cy, UINT, int, int) {
  if (cx <= 0 || cy <= 0 || cx > 4096 || cy > 4096) return FALSE;
  data_ = std::make_shared<UiImageListData>();
  data_->cx = cx, data_->cy = cy;
  return TRUE;
}

BOOL CImageList::Create(UINT bitmapId, int cx, int grow, COLORREF mask) {
  CBitmap bitmap;
  if (!bitmap.LoadBitmap(bitmapId)) return FALSE;
  auto d = UiGdiFind(bitmap.m_hObject, UiGdiKind::Bitmap);
  if (!d || !Create(cx, d->image.height(), ILC_COLOR32 | ILC_MASK, 0, grow)) return FALSE;
  return Add(&bitmap, mask) >= 0 ? TRUE : FALSE;
}

BOOL CImageList::DeleteImageList() {
  bool had = data_ != nullptr;
  data_.reset();
  return had;
}

int CImageList::Add(CBitmap* bitmap, COLORREF mask) {
  auto d = bitmap ? UiGdiFind(bitmap->m_hObject, UiGdiKind::Bitmap) : nullptr;
  if (!data_ || !d || d->image.width() < data_->cx) return -1;
  int first = static_cast<int>(data_->images.size());
  QImage src = d->image.convertToFormat(QImage::Format_ARGB32);
  for (int x = 0; x + data_->cx <= src.width(); x += data_->cx) {
    QImage img(data_->cx, data_->cy, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    for (int yy = 0; yy < std::min(data_->cy, src.height()); ++yy)
      for (int xx = 0; xx < data_->cx; ++xx) {
        QRgb p = src.pixel(x + xx, yy);
        bool keyed = mask != CLR_NONE && UiColorRef(p) == (mask & 0xFFFFFF);
        img.setPixel(xx, yy, keyed ? qRgba(0, 0, 0, 0) : (p | 0xFF000000u));
      }
    data_->images.push_back(img);
  }
  return first;
}

int CImageList::Add(HICON icon) {
  auto d = UiGdiFind(reinterpret_cast<HGDIOBJ>(icon), UiGdiKind::Icon);
  if (!data_ || !d || d->image.isNull()) return -1;
  data_->images.push_back(d->image.scaled(data_->cx, data_->cy).convertToFormat(QImage::Format_ARGB32));
  return static_cast<int>(data_->images.size()) - 1;
}

int CImageList::GetImageCount() const { return data_ ? static_cast<int>(data_->images.size()) : 0; }

BOOL CImageList::GetIconSize(int* cx, int* cy) const {
  if (!data_) return FALSE;
  if (cx) *cx = data_->cx;
  if (cy) *cy = data_->cy;
  return TRUE;
}

BOOL CImageList::Draw(CDC* dc, int image, POINT point, UINT) {
  QImage img = UiImageListImage(data_, image);
  if (!dc || img.isNull()) return FALSE;
  // Through a temporary icon so the DC draws it with its transparency.
  auto icon = std::make_shared<UiGdiData>();
  icon->kind = UiGdiKind::Icon;
  icon->image = img;
  HGDIOBJ h = UiGdiAdd(icon);
  BOOL ok = dc->DrawIcon(point.x, point.y, reinterpret_cast<HICON>(h));
  DeleteObject(h);
  return ok;
}

QImage UiImageListImage(const std::shared_ptr<UiImageListData>& list, int index) {
  if (!list || index < 0 || index >= static_cast<int>(list->images.size())) return QImage();
  return list->images[static_cast<size_t>(index)];
}
