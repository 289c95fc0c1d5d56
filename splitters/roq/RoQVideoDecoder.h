// The RoQ video decoder: vector-quantised pictures (2x2 cells and 4x4
// quads from the codebook chunks, motion from the frame before) decoded
// into planar 4:2:0 and copied out as planar YUV, YUY2 or RGB.
#pragma once

#include <memory>

#include "platform/dshow/BaseClasses.h"

PELLOMAR_DEFINE_GUID(CLSID_RoQVideoDecoder, "FBEFC5EC-ABA0-4E6C-ACA3-D05FDFEFB853");

// The decoding state of one stream: two 4:2:0 frames and the codebooks.
// The frames are padded to whole macroblocks, so that blocks of a picture
// whose size is not a multiple of 16 are drawn into the padding.
class CRoQVideoFrames {
 public:
  // Both frames for a picture of this size; false when they cannot be had.
  bool Alloc(int width, int height);
  void Free();
  bool IsAllocated() const { return m_buffer != nullptr; }
  // Both frames black; the codebooks stay.
  void Reset();

  // Chunk bodies (the data after the 8-byte header) and their argument.
  void DecodeCodebook(const BYTE* data, size_t size, WORD arg);
  void DecodeFrame(const BYTE* data, size_t size, WORD arg);
  // Makes the frame just decoded the reference and the picture to show:
  // the first frame of a stream is copied, later ones swap the frames.
  void FinishFrame(bool first);

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  // The picture to show (the reference frame): Y, U and V planes; the
  // chroma pitch is half the luma pitch.
  const BYTE* Plane(int i) const { return m_prev[i]; }
  int Pitch() const { return m_pitch; }

 private:
  void Cell(int x, int y, const BYTE* cell);
  void CellScaled(int x, int y, const BYTE* cell);
  // Four cells by their indices, in a 2x2 arrangement; scaled: each cell
  // doubled to 4x4.
  void Cells(int x, int y, const BYTE* indices, bool scaled);
  // Copies a Size x Size block from the previous frame at (sx, sy).
  template <int Size>
  void Motion(int x, int y, int sx, int sy);

  int m_width = 0, m_height = 0;
  int m_pitch = 0, m_rows = 0;  // of the padded luma plane
  std::unique_ptr<BYTE[]> m_buffer;
  BYTE* m_cur[3] = {};
  BYTE* m_prev[3] = {};
  // Four luma values of a 2x2 block in raster order, then U and V.
  BYTE m_cells[256][6] = {};
  // Four cells of a 4x4 block: top-left, top-right, bottom-left, bottom-right.
  BYTE m_quads[256][4] = {};
};

class CRoQVideoDecoder : public CTransformFilter {
 public:
  CRoQVideoDecoder(LPUNKNOWN outer, HRESULT* phr);
  ~CRoQVideoDecoder() override;

  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 private:
  // Copies the picture into the output sample in the output pin's format.
  HRESULT CopyOut(IMediaSample* out);

  CCritSec m_csDecoder;
  REFERENCE_TIME m_rtSegmentStart = 0;
  CRoQVideoFrames m_frames;
};
