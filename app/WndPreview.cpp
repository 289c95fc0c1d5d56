#include "app/WndPreview.h"

#include <sys/stat.h>

#include "platform/ui/SysColor.h"

BEGIN_MESSAGE_MAP(CWndPreview, CStatic)
  ON_WM_PAINT()
END_MESSAGE_MAP()

BOOL CWndPreview::LoadPicture(const char* path) {
  BOOL ok = m_picture.Load(path);
  m_nWidth = m_nHeight = 0;
  if (ok) {
    CClientDC dc(this);
    m_picture.GetSize(&dc, m_nWidth, m_nHeight);
  }
  m_strPath = path ? path : "";
  if (m_hWnd) Invalidate();
  return ok;
}

DWORD CWndPreview::GetFileSize() const {
  struct stat st {};
  if (m_strPath.empty() || ::stat(m_strPath.c_str(), &st) != 0) return 0;
  return static_cast<DWORD>(static_cast<unsigned long long>(st.st_size) & 0xFFFFFFFFu);
}

bool CWndPreview::Placement(int clientWidth, int clientHeight, int pictureWidth, int pictureHeight, CRect* out) {
  // Nothing loaded, or a picture without area: nothing to scale.
  if (pictureWidth <= 0 || pictureHeight <= 0) return false;
  int width = clientWidth - 2, height = clientHeight - 2;
  if (width <= 0 || height <= 0) return false;
  int left, top, w, h;
  if (width > pictureWidth && height > pictureHeight) {
    w = pictureWidth;
    h = pictureHeight;
    left = (width - pictureWidth) / 2 + 1;
    top = (height - pictureHeight) / 2 + 1;
  } else if (static_cast<long long>(height) * pictureWidth <= static_cast<long long>(width) * pictureHeight) {
    // Height decides. Exact integer arithmetic: a floating scale factor
    // can land a hair below a whole pixel and lose it when truncated.
    h = height;
    w = static_cast<int>(static_cast<long long>(pictureWidth) * height / pictureHeight);
    top = 1;
    left = (width - w) / 2 + 1;
  } else {
    w = width;
    h = static_cast<int>(static_cast<long long>(pictureHeight) * width / pictureWidth);
    left = 1;
    top = (height - h) / 2 + 1;
  }
  if (out) *out = CRect(left, top, left + w, top + h);
  return true;
}

void CWndPreview::OnPaint() {
  CPaintDC dc(this);
  CRect client;
  GetClientRect(&client);
  if (client.Width() <= 0 || client.Height() <= 0) return;
  CDC memDC;
  memDC.CreateCompatibleDC(&dc);
  CBitmap buffer;
  buffer.CreateCompatibleBitmap(&dc, client.Width(), client.Height());
  CBitmap* old = memDC.SelectObject(&buffer);
  memDC.FillSolidRect(&client, GetSysColor(COLOR_BTNFACE));
  CRect place;
  if (m_picture.IsLoaded() && Placement(client.Width(), client.Height(), m_nWidth, m_nHeight, &place))
    m_picture.Draw(&memDC, place.left, place.top, place.Width(), place.Height());
  memDC.Draw3dRect(&client, GetSysColor(COLOR_BTNSHADOW), RGB(255, 255, 255));
  dc.BitBlt(0, 0, client.Width(), client.Height(), &memDC, 0, 0, SRCCOPY);
  memDC.SelectObject(old);
}
