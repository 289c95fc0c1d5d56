#include "app/PicShow.h"

#include <QImage>
#include <QString>
#include <cstring>
#include <vector>

namespace {
constexpr int kHimetricPerInch = 2540;
constexpr int kScreenDpi = 96;

LONG MulDivRound(LONG a, LONG b, LONG c) {
  if (c == 0) return 0;
  long long n = static_cast<long long>(a) * b;
  return static_cast<LONG>((n + (n >= 0 ? c / 2 : -c / 2)) / c);
}
}  // namespace

CPicShow::CPicShow() = default;

CPicShow::~CPicShow() = default;

void CPicShow::Clear() {
  m_pPicture.reset();
  m_nType = PICTYPE_NONE;
  m_hmWidth = m_hmHeight = 0;
  m_cx = m_cy = 0;
  m_bLoaded = 0;
}

BOOL CPicShow::Load(const char* path) {
  Clear();
  if (!path || !*path) return FALSE;
  QImage image(QString::fromUtf8(path));
  if (image.isNull() || image.width() <= 0 || image.height() <= 0) return FALSE;
  image = image.convertToFormat(QImage::Format_RGB32);
  // The bitmap takes rows without padding, which RGB32 already has unless
  // the image was made with a custom stride.
  std::vector<BYTE> bits(static_cast<size_t>(image.width()) * image.height() * 4);
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(bits.data() + static_cast<size_t>(y) * image.width() * 4, image.constScanLine(y),
                static_cast<size_t>(image.width()) * 4);
  auto bitmap = std::make_unique<CBitmap>();
  if (!bitmap->CreateBitmap(image.width(), image.height(), 1, 32, bits.data())) return FALSE;
  m_pPicture = std::move(bitmap);
  m_cx = image.width();
  m_cy = image.height();
  m_hmWidth = MulDivRound(m_cx, kHimetricPerInch, kScreenDpi);
  m_hmHeight = MulDivRound(m_cy, kHimetricPerInch, kScreenDpi);
  m_nType = PICTYPE_BITMAP;
  m_bLoaded = 1;
  return TRUE;
}

void CPicShow::Draw(CDC* dc, int x, int y, int width, int height) {
  if (!m_bLoaded || !m_pPicture || !dc || width <= 0 || height <= 0) return;
  CDC memDC;
  memDC.CreateCompatibleDC(dc);
  CBitmap* old = memDC.SelectObject(m_pPicture.get());
  dc->StretchBlt(x, y, width, height, &memDC, 0, 0, m_cx, m_cy, SRCCOPY);
  memDC.SelectObject(old);
}

void CPicShow::GetSize(CDC* dc, int& width, int& height) const {
  int dpiX = kScreenDpi, dpiY = kScreenDpi;
  if (dc && !dc->IsPrinting()) {
    dpiX = dc->GetDeviceCaps(LOGPIXELSX);
    dpiY = dc->GetDeviceCaps(LOGPIXELSY);
  }
  width = MulDivRound(m_hmWidth, dpiX, kHimetricPerInch);
  height = MulDivRound(m_hmHeight, dpiY, kHimetricPerInch);
}
