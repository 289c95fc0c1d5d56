#include "splitters/roq/RoQVideoDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "foundation/BaseVideoFilter.h"
#include "foundation/FilterHelpers.h"
#include "foundation/PixelConversion.h"
#include "splitters/roq/RoQSplitter.h"
#include "splitters/roq/RoQTransform.h"

namespace {

// Larger pictures are refused: two frames of them would not be sensible
// to hold.
constexpr LONGLONG kMaxPixels = 4096LL * 4096;

bool IsPlanar(const GUID& g) { return g == MEDIASUBTYPE_YV12 || g == MEDIASUBTYPE_I420 || g == MEDIASUBTYPE_IYUV; }

// Bits per pixel of an accepted output subtype, 0 for any other.
int OutputBits(const GUID& g) {
  for (const VideoOutputFormat& f : kVideoOutputFormats)
    if (*f.subtype == g) return f.bits;
  return 0;
}

// Bytes a picture of this subtype, row width (in pixels) and height takes.
LONGLONG OutputBytes(const GUID& subtype, LONGLONG pitch, LONGLONG height) {
  if (IsPlanar(subtype)) return pitch * height + 2 * (pitch / 2) * ((height + 1) / 2);
  return pitch * OutputBits(subtype) / 8 * height;
}

// The 2-bit block codes of a frame chunk come from 16-bit little-endian
// words, most significant pair first, among the bytes of the blocks.
class FrameReader {
 public:
  FrameReader(const BYTE* data, size_t size) : m_p(data), m_end(data + size) {}
  // -1 once the data is used up.
  int Code() {
    if (m_left == 0) {
      if (m_end - m_p < 2) return -1;
      m_word = static_cast<unsigned>(m_p[0] | m_p[1] << 8);
      m_p += 2;
      m_left = 8;
    }
    m_left--;
    const int code = static_cast<int>(m_word >> 14 & 3);
    m_word = m_word << 2 & 0xFFFF;
    return code;
  }
  int Byte() { return m_p < m_end ? *m_p++ : -1; }
  const BYTE* Bytes(size_t n) {
    if (static_cast<size_t>(m_end - m_p) < n) return nullptr;
    const BYTE* at = m_p;
    m_p += n;
    return at;
  }

 private:
  const BYTE* m_p;
  const BYTE* m_end;
  unsigned m_word = 0;
  int m_left = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Frames

bool CRoQVideoFrames::Alloc(int width, int height) {
  Free();
  if (width <= 0 || height <= 0 || static_cast<LONGLONG>(width) * height > kMaxPixels) return false;
  m_width = width;
  m_height = height;
  m_pitch = (width + 15) & ~15;
  m_rows = (height + 15) & ~15;
  const size_t luma = static_cast<size_t>(m_pitch) * m_rows, chroma = luma / 4;
  m_buffer.reset(new (std::nothrow) BYTE[2 * (luma + 2 * chroma)]);
  if (!m_buffer) return false;
  BYTE* p = m_buffer.get();
  for (BYTE** frame : {m_cur, m_prev}) {
    frame[0] = p;
    frame[1] = p + luma;
    frame[2] = p + luma + chroma;
    p += luma + 2 * chroma;
  }
  Reset();
  return true;
}

void CRoQVideoFrames::Free() {
  m_buffer.reset();
  for (int i = 0; i < 3; i++) m_cur[i] = m_prev[i] = nullptr;
  m_width = m_height = m_pitch = m_rows = 0;
}

void CRoQVideoFrames::Reset() {
  if (!m_buffer) return;
  const size_t luma = static_cast<size_t>(m_pitch) * m_rows, chroma = luma / 4;
  for (BYTE** frame : {m_cur, m_prev}) {
    memset(frame[0], 0, luma);
    memset(frame[1], 128, 2 * chroma);
  }
}

void CRoQVideoFrames::DecodeCodebook(const BYTE* data, size_t size, WORD arg) {
  const size_t cells = arg < 256 ? 256 : arg >> 8;
  size_t quads = arg & 0xFF;
  if (quads == 0 && cells * 6 < size) quads = 256;
  const size_t cellBytes = std::min(cells * 6, size);
  memcpy(m_cells, data, cellBytes);
  if (cellBytes < cells * 6) return;
  // Quads refer to cells by a byte, so any index is inside the table.
  const size_t quadBytes = std::min(quads * 4, size - cellBytes);
  memcpy(m_quads, data + cellBytes, quadBytes);
}

// Fixed-size copies and fills compile to single moves.
void CRoQVideoFrames::Cell(int x, int y, const BYTE* cell) {
  BYTE* py = m_cur[0] + static_cast<ptrdiff_t>(y) * m_pitch + x;
  memcpy(py, cell, 2);
  memcpy(py + m_pitch, cell + 2, 2);
  const ptrdiff_t c = static_cast<ptrdiff_t>(y / 2) * (m_pitch / 2) + x / 2;
  m_cur[1][c] = cell[4];
  m_cur[2][c] = cell[5];
}

void CRoQVideoFrames::CellScaled(int x, int y, const BYTE* cell) {
  BYTE* py = m_cur[0] + static_cast<ptrdiff_t>(y) * m_pitch + x;
  const BYTE top[4] = {cell[0], cell[0], cell[1], cell[1]}, bottom[4] = {cell[2], cell[2], cell[3], cell[3]};
  memcpy(py, top, 4);
  memcpy(py + m_pitch, top, 4);
  memcpy(py + 2 * m_pitch, bottom, 4);
  memcpy(py + 3 * m_pitch, bottom, 4);
  const int cp = m_pitch / 2;
  const ptrdiff_t c = static_cast<ptrdiff_t>(y / 2) * cp + x / 2;
  const BYTE u[2] = {cell[4], cell[4]}, v[2] = {cell[5], cell[5]};
  memcpy(m_cur[1] + c, u, 2);
  memcpy(m_cur[1] + c + cp, u, 2);
  memcpy(m_cur[2] + c, v, 2);
  memcpy(m_cur[2] + c + cp, v, 2);
}

void CRoQVideoFrames::Cells(int x, int y, const BYTE* indices, bool scaled) {
  const int step = scaled ? 4 : 2;
  for (int i = 0; i < 4; i++) {
    const int cx = x + (i & 1) * step, cy = y + (i >> 1) * step;
    if (scaled) CellScaled(cx, cy, m_cells[indices[i]]);
    else Cell(cx, cy, m_cells[indices[i]]);
  }
}

template <int Size>
void CRoQVideoFrames::Motion(int x, int y, int sx, int sy) {
  // A block from outside the picture is not there to copy: the block
  // stays as it is.
  if (sx < 0 || sy < 0 || sx > m_width - Size || sy > m_height - Size) return;
  const BYTE* src = m_prev[0] + static_cast<ptrdiff_t>(sy) * m_pitch + sx;
  BYTE* dst = m_cur[0] + static_cast<ptrdiff_t>(y) * m_pitch + x;
  for (int r = 0; r < Size; r++, src += m_pitch, dst += m_pitch) memcpy(dst, src, Size);
  const int cp = m_pitch / 2;
  const ptrdiff_t from = static_cast<ptrdiff_t>(sy / 2) * cp + (sx + 1) / 2;
  const ptrdiff_t to = static_cast<ptrdiff_t>(y / 2) * cp + x / 2;
  for (int plane = 1; plane < 3; plane++) {
    for (int r = 0; r < Size / 2; r++) memcpy(m_cur[plane] + to + r * cp, m_prev[plane] + from + r * cp, Size / 2);
  }
}

void CRoQVideoFrames::DecodeFrame(const BYTE* data, size_t size, WORD arg) {
  if (!m_buffer) return;
  const int mx = static_cast<signed char>(arg >> 8), my = static_cast<signed char>(arg & 0xFF);
  FrameReader r(data, size);
  // Macroblocks of 16x16 in raster order, each four 8x8 blocks; the walk
  // ends when the data does or below the last row.
  for (int x = 0, y = 0; y < m_height;) {
    for (int b = 0; b < 4; b++) {
      const int bx = x + (b & 1) * 8, by = y + (b >> 1) * 8;
      const int code = r.Code();
      if (code < 0) return;
      if (code == 1) {
        const int d = r.Byte();
        if (d < 0) return;
        Motion<8>(bx, by, bx + 8 - (d >> 4) - mx, by + 8 - (d & 15) - my);
      } else if (code == 2) {
        const int q = r.Byte();
        if (q < 0) return;
        Cells(bx, by, m_quads[q], true);
      } else if (code == 3) {
        for (int s = 0; s < 4; s++) {
          const int sx = bx + (s & 1) * 4, sy = by + (s >> 1) * 4;
          const int sub = r.Code();
          if (sub < 0) return;
          if (sub == 1) {
            const int d = r.Byte();
            if (d < 0) return;
            Motion<4>(sx, sy, sx + 8 - (d >> 4) - mx, sy + 8 - (d & 15) - my);
          } else if (sub == 2) {
            const int q = r.Byte();
            if (q < 0) return;
            Cells(sx, sy, m_quads[q], false);
          } else if (sub == 3) {
            const BYTE* cells = r.Bytes(4);
            if (!cells) return;
            Cells(sx, sy, cells, false);
          }
        }
      }
    }
    x += 16;
    if (x >= m_width) {
      x = 0;
      y += 16;
    }
  }
}

void CRoQVideoFrames::FinishFrame(bool first) {
  if (!m_buffer) return;
  if (first) {
    const size_t luma = static_cast<size_t>(m_pitch) * m_rows;
    memcpy(m_prev[0], m_cur[0], luma + luma / 2);
  } else {
    for (int i = 0; i < 3; i++) std::swap(m_cur[i], m_prev[i]);
  }
}

// ---------------------------------------------------------------------------
// Filter

CRoQVideoDecoder::CRoQVideoDecoder(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter(NAME("CRoQVideoDecoder"), outer, CLSID_RoQVideoDecoder) {
  if (phr) *phr = S_OK;
}

CRoQVideoDecoder::~CRoQVideoDecoder() = default;

HRESULT CRoQVideoDecoder::CheckInputType(const CMediaType* in) {
  CheckPointer(in, E_POINTER);
  BITMAPINFOHEADER bih;
  if (in->majortype != MEDIATYPE_Video || in->subtype != FourCCGuid(MAKEFOURCC('R', 'o', 'Q', 'V')) ||
      !MediaTypeToBitmapInfo(in, &bih) || bih.biWidth <= 0 || bih.biHeight == 0 ||
      static_cast<LONGLONG>(bih.biWidth) * std::abs(static_cast<LONGLONG>(bih.biHeight)) > kMaxPixels)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CRoQVideoDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  BITMAPINFOHEADER bin, bout;
  if (FAILED(CheckInputType(in)) || out->majortype != MEDIATYPE_Video || !OutputBits(out->subtype) ||
      !MediaTypeToBitmapInfo(in, &bin) || !MediaTypeToBitmapInfo(out, &bout) ||
      std::abs(static_cast<LONGLONG>(bin.biHeight)) != std::abs(static_cast<LONGLONG>(bout.biHeight)) ||
      bout.biWidth < bin.biWidth)
    return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CRoQVideoDecoder::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  if (position >= kVideoOutputFormatCount) return VFW_S_NO_MORE_ITEMS;
  BITMAPINFOHEADER in;
  if (!MediaTypeToBitmapInfo(&m_pInput->CurrentMediaType(), &in)) return E_UNEXPECTED;
  const VideoOutputFormat& f = kVideoOutputFormats[position];

  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_Video;
  pmt->subtype = *f.subtype;
  pmt->formattype = FORMAT_VideoInfo;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  if (!vih) return E_OUTOFMEMORY;
  memset(vih, 0, sizeof *vih);
  BITMAPINFOHEADER& bih = vih->bmiHeader;
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = in.biWidth;
  bih.biHeight = in.biHeight;
  bih.biPlanes = f.planes;
  bih.biBitCount = f.bits;
  bih.biCompression = f.compression;
  bih.biSizeImage = static_cast<DWORD>(static_cast<LONGLONG>(in.biWidth) * std::abs(in.biHeight) * f.bits / 8);
  pmt->SetSampleSize(bih.biSizeImage);
  // Bit-field types carry their colour masks after the header.
  CompleteVideoFormatBlock(*pmt);
  return S_OK;
}

HRESULT CRoQVideoDecoder::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  BITMAPINFOHEADER bih;
  if (!MediaTypeToBitmapInfo(&mt, &bih)) return E_UNEXPECTED;
  const LONGLONG bytes = std::max<LONGLONG>(bih.biSizeImage, OutputBytes(mt.subtype, bih.biWidth, std::abs(bih.biHeight)));
  return roq::SetBuffers(alloc, request, 1, bytes);
}

HRESULT CRoQVideoDecoder::StartStreaming() {
  CAutoLock lock(&m_csDecoder);
  BITMAPINFOHEADER bih;
  if (!MediaTypeToBitmapInfo(&m_pInput->CurrentMediaType(), &bih)) return E_UNEXPECTED;
  return m_frames.Alloc(bih.biWidth, std::abs(bih.biHeight)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CRoQVideoDecoder::StopStreaming() {
  CAutoLock lock(&m_csDecoder);
  m_frames.Free();
  return S_OK;
}

HRESULT CRoQVideoDecoder::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  {
    CAutoLock lock(&m_csDecoder);
    m_rtSegmentStart = start;
    m_frames.Reset();
  }
  return CTransformFilter::NewSegment(start, stop, rate);
}

HRESULT CRoQVideoDecoder::Transform(IMediaSample* in, IMediaSample* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  CAutoLock lock(&m_csDecoder);

  roq::TakeOutputType(m_pOutput, out);

  BYTE* src = nullptr;
  const LONG length = in->GetActualDataLength();
  // A sample too short for a chunk header has nothing to decode; an
  // untouched output buffer is not delivered.
  if (FAILED(in->GetPointer(&src)) || !src || length < 8) return S_FALSE;
  REFERENCE_TIME start = 0, stop = 0;
  HRESULT hr = in->GetTime(&start, &stop);
  if (FAILED(hr)) return hr;

  const RoQChunkHeader h = RoQChunkHeader::Parse(src);
  const size_t size = std::min<size_t>(h.size, static_cast<size_t>(length) - 8);
  if (h.id == kRoQCodebook) {
    m_frames.DecodeCodebook(src + 8, size, h.arg);
    return S_FALSE;
  }
  if (h.id != kRoQFrame) return E_UNEXPECTED;
  m_frames.DecodeFrame(src + 8, size, h.arg);
  m_frames.FinishFrame(m_rtSegmentStart + start == 0);
  // Frames before the segment start are decoded, so that the frames after
  // them have their reference, but not shown.
  if (in->IsPreroll() == S_OK || start < 0) return S_FALSE;
  return CopyOut(out);
}

HRESULT CRoQVideoDecoder::CopyOut(IMediaSample* out) {
  const CMediaType& mt = m_pOutput->CurrentMediaType();
  BITMAPINFOHEADER bih;
  BYTE* dst = nullptr;
  const int w = m_frames.Width(), h = m_frames.Height();
  if (!MediaTypeToBitmapInfo(&mt, &bih) || !OutputBits(mt.subtype) || bih.biWidth < w ||
      std::abs(static_cast<LONGLONG>(bih.biHeight)) != h || FAILED(out->GetPointer(&dst)) || !dst)
    return E_UNEXPECTED;
  const LONGLONG bytes = OutputBytes(mt.subtype, bih.biWidth, h);
  if (out->GetSize() < bytes) return E_UNEXPECTED;

  const int pitch = bih.biWidth, srcPitch = m_frames.Pitch();
  const BYTE *y = m_frames.Plane(0), *u = m_frames.Plane(1), *v = m_frames.Plane(2);
  if (IsPlanar(mt.subtype)) {
    BYTE* outU = dst + static_cast<ptrdiff_t>(pitch) * h;
    BYTE* outV = outU + static_cast<ptrdiff_t>(pitch / 2) * ((h + 1) / 2);
    if (mt.subtype == MEDIASUBTYPE_YV12) std::swap(outU, outV);
    if (!CopyYuv420Planar(w, h, dst, outU, outV, pitch, y, u, v, srcPitch)) memset(dst, 0, static_cast<size_t>(bytes));
  } else if (mt.subtype == MEDIASUBTYPE_YUY2) {
    if (!ConvertYuv420ToYuy2(w, h, dst, pitch * 2, y, u, v, srcPitch, false)) memset(dst, 0, static_cast<size_t>(bytes));
  } else {
    const int bits = OutputBits(mt.subtype);
    int rowBytes = pitch * bits / 8;
    BYTE* first = dst;
    if (bih.biHeight > 0) {  // bottom-up
      first += static_cast<ptrdiff_t>(rowBytes) * (h - 1);
      rowBytes = -rowBytes;
    }
    if (!ConvertYuv420ToRgb(w, h, first, rowBytes, bits, y, u, v, srcPitch)) {
      memset(dst, 0, static_cast<size_t>(bytes));
    } else if (mt.subtype == MEDIASUBTYPE_RGB555) {
      // The converter writes 5-6-5; 5-5-5 drops the lowest green bit.
      for (int r = 0; r < h; r++) {
        BYTE* px = dst + static_cast<ptrdiff_t>(r) * pitch * 2;
        for (int i = 0; i < w; i++, px += 2) {
          const unsigned rgb = static_cast<unsigned>(px[0] | px[1] << 8);
          const unsigned rgb555 = (rgb >> 1 & 0x7FE0) | (rgb & 0x1F);
          px[0] = static_cast<BYTE>(rgb555);
          px[1] = static_cast<BYTE>(rgb555 >> 8);
        }
      }
    }
  }
  return out->SetActualDataLength(static_cast<LONG>(bytes));
}
