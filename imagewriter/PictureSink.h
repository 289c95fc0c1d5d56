// Buffered byte output of the writers that lay out their files themselves.
// Gathers small fields, hands the adapter large pieces and remembers whether
// every piece was taken whole, so that a writer answers false for an output
// that fell short anywhere instead of reporting a damaged file as written.
#pragma once

#include <cstddef>
#include <vector>

#include "imagewriter/Picture.h"
#include "imagewriter/PictureFile.h"
#include "platform/win32/Gdi.h"
#include "platform/win32/Types.h"

class PictureSink {
 public:
  explicit PictureSink(CPictureFile* file, size_t bufferSize = 64 * 1024);
  PictureSink(const PictureSink&) = delete;
  PictureSink& operator=(const PictureSink&) = delete;

  void Bytes(const void* data, size_t count);
  void Fill(BYTE value, size_t count);
  void U8(BYTE value) {
    if (m_used == m_buffer.size()) Drain();
    m_buffer[m_used++] = value;
  }
  void U16LE(WORD value);
  void U32LE(DWORD value);
  void U16BE(WORD value);
  void U32BE(DWORD value);
  // The 40-byte bitmap header, field by field in file order.
  void InfoHeader(const BITMAPINFOHEADER& head);
  // A 24-bit picture's rows, bottom row first, as blue, green, red and
  // alpha × alphaMax / 255 per pixel, without row padding.
  void BgraRows(const CPicture& picture, DWORD alphaMax);

  // Hands over what is gathered, flushes the adapter and checks its error
  // state; true when every byte reached the output.
  bool Finish();
  bool Ok() const { return m_ok; }

 private:
  void Drain();

  CPictureFile* m_file;
  std::vector<BYTE> m_buffer;
  size_t m_used = 0;
  bool m_ok = true;
};
