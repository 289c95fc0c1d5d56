#include "imagewriter/PictureSink.h"

#include <algorithm>
#include <cstring>

PictureSink::PictureSink(CPictureFile* file, size_t bufferSize) : m_file(file), m_buffer(std::max<size_t>(bufferSize, 16)) {
  if (!m_file) m_ok = false;
}

void PictureSink::Drain() {
  if (m_used == 0) return;
  // After a failure nothing more is handed over: the output is lost anyway.
  if (m_ok && m_file->Write(m_buffer.data(), 1, m_used) != m_used) m_ok = false;
  m_used = 0;
}

void PictureSink::Bytes(const void* data, size_t count) {
  const BYTE* p = static_cast<const BYTE*>(data);
  if (count >= m_buffer.size()) {
    // Large blocks (pixel rows) go straight to the adapter without a copy.
    Drain();
    if (m_ok && m_file->Write(p, 1, count) != count) m_ok = false;
    return;
  }
  while (count > 0) {
    if (m_used == m_buffer.size()) Drain();
    const size_t n = std::min(count, m_buffer.size() - m_used);
    std::memcpy(m_buffer.data() + m_used, p, n);
    m_used += n;
    p += n;
    count -= n;
  }
}

void PictureSink::Fill(BYTE value, size_t count) {
  while (count > 0) {
    if (m_used == m_buffer.size()) Drain();
    const size_t n = std::min(count, m_buffer.size() - m_used);
    std::memset(m_buffer.data() + m_used, value, n);
    m_used += n;
    count -= n;
  }
}

void PictureSink::U16LE(WORD value) {
  U8(static_cast<BYTE>(value));
  U8(static_cast<BYTE>(value >> 8));
}

void PictureSink::U32LE(DWORD value) {
  U16LE(static_cast<WORD>(value));
  U16LE(static_cast<WORD>(value >> 16));
}

void PictureSink::U16BE(WORD value) {
  U8(static_cast<BYTE>(value >> 8));
  U8(static_cast<BYTE>(value));
}

void PictureSink::U32BE(DWORD value) {
  U16BE(static_cast<WORD>(value >> 16));
  U16BE(static_cast<WORD>(value));
}

void PictureSink::InfoHeader(const BITMAPINFOHEADER& head) {
  U32LE(head.biSize);
  U32LE(static_cast<DWORD>(head.biWidth));
  U32LE(static_cast<DWORD>(head.biHeight));
  U16LE(head.biPlanes);
  U16LE(head.biBitCount);
  U32LE(head.biCompression);
  U32LE(head.biSizeImage);
  U32LE(static_cast<DWORD>(head.biXPelsPerMeter));
  U32LE(static_cast<DWORD>(head.biYPelsPerMeter));
  U32LE(head.biClrUsed);
  U32LE(head.biClrImportant);
}

void PictureSink::BgraRows(const CPicture& picture, DWORD alphaMax) {
  const DWORD width = picture.GetWidth(), height = picture.GetHeight();
  const BYTE* alpha = picture.GetAlpha();
  std::vector<BYTE> row(static_cast<size_t>(width) * 4);
  for (DWORD y = 0; y < height; ++y) {
    const BYTE* src = picture.GetBits(y);
    const BYTE* a = alpha ? alpha + static_cast<size_t>(y) * width : nullptr;
    for (DWORD x = 0; x < width; ++x) {
      row[4 * x] = src[3 * x];
      row[4 * x + 1] = src[3 * x + 1];
      row[4 * x + 2] = src[3 * x + 2];
      row[4 * x + 3] = static_cast<BYTE>((a ? a[x] : 255) * alphaMax / 255);
    }
    Bytes(row.data(), row.size());
  }
}

bool PictureSink::Finish() {
  Drain();
  if (!m_ok) return false;
  if (!m_file->Flush() || m_file->Error() != 0) m_ok = false;
  return m_ok;
}
