// The MPEG-1/2 picture decoding core: decodes the slices of one picture into
// a frame buffer of three planes (macroblock modes, motion vectors and
// compensation, coefficient decoding with dequantisation, inverse DCT).
// Chroma is 4:2:0 unless the user sets another chroma format: the chroma
// planes are then half the luma width (4:2:2) or the luma size (4:4:4).
//
// The stream parser fills the picture parameters from the headers, calls
// PreparePicture once per picture (or field) and hands over one slice at a
// time. Damaged slice data ends the slice; what was decoded stays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoders/mpeg2video/Mpeg2Dsp.h"

class CMpeg2Decoder {
 public:
  enum CodingType { I_TYPE = 1, P_TYPE = 2, B_TYPE = 3, D_TYPE = 4 };
  enum PictureStructure { TOP_FIELD = 1, BOTTOM_FIELD = 2, FRAME_PICTURE = 3 };
  enum ChromaFormat { CHROMA_420 = 1, CHROMA_422 = 2, CHROMA_444 = 3 };

  CMpeg2Decoder();
  virtual ~CMpeg2Decoder();
  CMpeg2Decoder(const CMpeg2Decoder&) = delete;
  CMpeg2Decoder& operator=(const CMpeg2Decoder&) = delete;

  // Points the core at the planes of the picture to decode and of its
  // references (fwd for P and B pictures, bwd for B pictures; nullptr where
  // there is none, which predicts from the destination itself so that a
  // stream that starts at a P or B picture still decodes safely).
  void PreparePicture(uint8_t* const cur[3], uint8_t* const fwd[3], uint8_t* const bwd[3]);

  // Decodes one slice (start code value 0x01-0xAF, bytes after the start
  // code). Never reads outside [data, data + size).
  void DecodeSlice(int code, const uint8_t* data, size_t size);

  // The standard's scans, as raster positions by scan position.
  static const uint8_t kZigzag[64];
  static const uint8_t kAlternate[64];
  // The default intra matrix in raster order.
  static const uint8_t kDefaultIntraMatrix[64];

  // Picture parameters set by the parser.
  int m_codingType = I_TYPE;
  int m_intraDcPrecision = 0;
  int m_pictureStructure = FRAME_PICTURE;
  bool m_framePredFrameDct = true;
  bool m_concealmentMotionVectors = false;
  bool m_qScaleType = false;
  bool m_intraVlcFormat = false;
  bool m_topFieldFirst = true;
  const uint8_t* m_scan = kZigzag;
  int m_fCode[2][2] = {{0, 0}, {0, 0}};  // f_code - 1, [forward/backward][horizontal/vertical]
  bool m_fullPel[2] = {false, false};     // MPEG-1 full_pel_forward/backward_vector
  uint8_t m_intraMatrix[64];              // raster order
  uint8_t m_nonIntraMatrix[64];
  // The chroma blocks' matrices; 4:2:0 chroma takes the two above.
  uint8_t m_chromaIntraMatrix[64];
  uint8_t m_chromaNonIntraMatrix[64];
  int m_chromaFormat = CHROMA_420;        // read at PreparePicture
  int m_width = 0;   // luma, multiple of 16
  int m_height = 0;  // luma, multiple of 16 (32 for field pictures)
  bool m_mpeg1 = false;
  bool m_secondField = false;
  bool m_verticalPositionExtension = false;

  const CMpeg2Dsp& Dsp() const { return *m_dsp; }
  // Another routine set, for a user with its own inverse DCT; it must stay
  // alive as long as this object decodes.
  void SetDsp(const CMpeg2Dsp& dsp) { m_dsp = &dsp; }

 public:
  struct CoefTable;  // coefficient codes by their leading bits

 private:
  struct Motion {
    int dirs = 0;   // bit 0 forward, bit 1 backward
    int type = 0;   // frame pictures: 1 field, 2 frame, 3 dual prime;
                    // field pictures: 1 field, 2 16x8, 3 dual prime
    int mv[2][2][2] = {};  // [vector r][direction s][x/y], half-pels
    int sel[2][2] = {};    // field select [r][s]
    int dmv[2][2] = {};    // dual-prime opposite-parity vectors [field][x/y]
  };

  // Bit reader over the slice: a 64-bit left-aligned cache refilled 32 bits at
  // a time; zero bytes are fed past the end (zeros never form a valid code
  // here, so decoding stops) and counted to bound the slice loop.
  void LoadBits(const uint8_t* data, size_t size);
  void Refill() {
    if (m_bitCount <= 32) RefillSlow();
  }
  void RefillSlow();
  uint32_t Peek(int n) const { return static_cast<uint32_t>(m_cache >> (64 - n)); }
  void Skip(int n) {
    m_cache <<= n;
    m_bitCount -= n;
  }
  uint32_t Get(int n) {
    const uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  int GetSigned(int n) {
    const int v = static_cast<int>(Get(n));
    return v >= (1 << (n - 1)) ? v - (1 << n) : v;
  }
  bool Overrun() const { return m_overrun > 8; }

  int DecodeMacroblockType();
  int DecodeAddressIncrement();  // 0 on a code that ends the slice
  bool DecodeMotionVectors(int s, int motionType, Motion& m);
  int DecodeMotionDelta(int rsize, int& ok);
  int WrapVector(int rsize, int v) const;
  // Both return the last scan position, -1 on damaged data.
  int DecodeIntraBlock(int cc, int16_t* blk);
  int DecodeNonIntraBlock(bool chroma, int16_t* blk);
  template <bool Mpeg1, bool Intra>
  int DecodeCoefficients(const CoefTable& table, const uint16_t* weights, int16_t* blk, int pos, int parity);
  // Where each block of macroblock (x, y) goes, with its row step.
  int BlockDestinations(int x, int y, bool fieldDct, uint8_t* dst[12], int stride[12]) const;
  void ApplyMotion(const Motion& m, int mbx, int mby);
  Motion ZeroMotion() const;
  Motion SkippedBMotion() const;
  bool FlatBlock(int last, int16_t* blk, uint8_t* dst, int stride, bool add);
  void PredictBlock(uint8_t* const dst[3], const uint8_t* const ref[3], int stride, int x, int y,
                    int h, int limitH, int mvx, int mvy, bool avg);
  const uint8_t* const* RefFor(int s, int sel) const;
  void ResetMotionPredictors() { std::fill(&m_pmv[0][0][0], &m_pmv[0][0][0] + 8, 0); }
  void ResetDcPredictors();
  void SetQuantScale(int qs);

  const CMpeg2Dsp* m_dsp;
  std::unique_ptr<int16_t[], void (*)(void*)> m_block;

  // Bit reader state.
  uint64_t m_cache = 0;
  int m_bitCount = 0;
  const uint8_t* m_ptr = nullptr;
  const uint8_t* m_end = nullptr;
  int m_overrun = 0;

  // Picture state.
  uint8_t* m_cur[3] = {};
  const uint8_t* m_fwd[3] = {};
  const uint8_t* m_bwd[3] = {};
  uint8_t* m_dst[3] = {};  // the first line of this picture (field) in m_cur
  int m_stride = 0;        // luma stride of this picture (doubled for fields)
  int m_mbWidth = 0;
  int m_mbHeight = 0;      // macroblock rows of this picture (field)
  // Chroma subsampling of this picture: 1 where chroma has half the luma
  // samples (across: 4:2:0 and 4:2:2; down: 4:2:0), else 0.
  int m_chromaShiftX = 1, m_chromaShiftY = 1;
  int m_blocks = 6;        // blocks per macroblock

  // Slice state.
  int m_quantScale = 0;
  // The intra and non-intra matrices times m_quantScale, then the chroma
  // ones (4:2:2 and 4:4:4 only); set for each slice, as the matrices may
  // change between pictures.
  uint16_t m_weights[4][64] = {};
  int m_dcPred[3] = {};
  int m_pmv[2][2][2] = {};  // [r][s][x/y]
  Motion m_lastMotion;
};
