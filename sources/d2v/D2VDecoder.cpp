#include "sources/d2v/D2VDecoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoders/mpeg2video/Mpeg2HeaderBits.h"
#include "foundation/CpuFeatures.h"
#include "sources/d2v/D2VIdct.h"

namespace {

constexpr int I_TYPE = CMpeg2Decoder::I_TYPE;
constexpr int P_TYPE = CMpeg2Decoder::P_TYPE;
constexpr int B_TYPE = CMpeg2Decoder::B_TYPE;
constexpr int D_TYPE = CMpeg2Decoder::D_TYPE;

// A project text larger than this is not a project.
constexpr long kMaxProjectBytes = 256L << 20;
// How far into the first file the first sequence header may lie.
constexpr uint64_t kSequenceSearch = 64u << 20;
// Sizes beyond any level of the standard.
constexpr int64_t kMaxLumaSamples = 4096 * 4096;
// Pictures passed over while looking for a GOP's I picture and past its
// leading B pictures.
constexpr int kMaxPassed = 2048;
// Cache slots: a GOP's pictures, plus the next GOP's first ones that a
// frame may combine with its last.
constexpr uint32_t kMaxSlots = D2VProject::kMaxGopPictures + 3;
// The most the cache of a GOP's converted pictures may take.
constexpr uint64_t kMaxCacheBytes = uint64_t{1} << 30;
// Pictures decoded and dropped to reach a frame straight on from the
// stream rather than by a jump, when the stream is not yet in the frame's
// GOP.
constexpr uint32_t kMaxAdvance = 4;

}  // namespace

CD2VDecoder::CD2VDecoder() = default;
CD2VDecoder::~CD2VDecoder() = default;

bool CD2VDecoder::Fail(std::string why) {
  m_error = std::move(why);
  return false;
}

bool CD2VDecoder::Open(const char* path, int outputMode) {
  std::FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) return Fail(std::string("cannot open the project ") + (path ? path : "(none)"));
  std::string text;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
    text.append(buffer, n);
    if (static_cast<long>(text.size()) > kMaxProjectBytes) {
      std::fclose(f);
      return Fail("the project file is too large");
    }
  }
  std::fclose(f);
  return OpenText(text, outputMode);
}

bool CD2VDecoder::OpenText(const std::string& text, int outputMode) {
  m_outputMode = outputMode;
  std::string error;
  if (!m_project.Parse(text, error)) return Fail(error);
  if (!m_input.Open(m_project.files, error)) return Fail(error);
  m_input.SetProgramStream(m_project.streamType != 0);
  if (!ReadFirstSequence()) return false;

  const int64_t width = int64_t{m_codedWidth} - m_project.clipLeft - m_project.clipRight;
  const int64_t height = int64_t{m_codedHeight} - m_project.clipTop - m_project.clipBottom;
  if (width <= 0 || height <= 0) return Fail("the clipping leaves no picture");
  if (width & 1) return Fail("the clipped width is odd");
  m_fmt.top = m_project.clipTop;
  m_fmt.left = m_project.clipLeft;
  m_fmt.width = static_cast<int>(width);
  m_fmt.height = static_cast<int>(height);
  m_fmt.lumFilter = m_project.lumFilter;
  m_fmt.lumGain = m_project.lumGain;
  m_fmt.lumOffset = m_project.lumOffset;
  // The cache holds a GOP's pictures (and the next GOP's first) converted.
  uint32_t longest = 0;
  for (size_t i = 0; i < m_project.gops.size(); ++i) {
    const uint32_t end = i + 1 < m_project.gops.size() ? m_project.gops[i + 1].firstPicture : m_project.pictures;
    longest = std::max(longest, end - m_project.gops[i].firstPicture);
  }
  if ((uint64_t{longest} + 3) * FrameBytes() > kMaxCacheBytes)
    return Fail("a GOP of " + std::to_string(longest) + " pictures is too long to keep at this picture size");
  m_fieldBuffer.assign(FrameBytes(), 0);
  m_core.SetDsp(D2VDsp(m_project.idct, g_cpu.m_features));
  return true;
}

bool CD2VDecoder::ReadFirstSequence() {
  m_input.Seek(0, 0);
  uint8_t code = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  for (;;) {
    if (!m_input.NextStartCode(code) || m_input.Consumed() > kSequenceSearch)
      return Fail("no MPEG video sequence header in " + m_project.files[0]);
    if (code != 0xB3) continue;
    m_input.Unit(data, size);
    if (ParseSequenceHeader(data, size)) break;
  }
  if (m_input.NextStartCode(code)) {
    if (code == 0xB5) {
      m_input.Unit(data, size);
      ParseExtension(data, size);
    } else {
      m_pending = true;
      m_pendingCode = code;
    }
  }
  m_haveSequence = true;
  if (m_chromaFormat < CMpeg2Decoder::CHROMA_420 || m_chromaFormat > CMpeg2Decoder::CHROMA_444)
    return Fail("the MPEG video has the reserved chroma format " + std::to_string(m_chromaFormat));
  const int64_t mbWidth = (m_horizontal + 15) / 16;
  const int64_t mbHeight = m_mpeg2 && !m_progressiveSequence ? 2 * ((m_vertical + 31) / 32) : (m_vertical + 15) / 16;
  if (mbWidth * mbHeight * 256 > kMaxLumaSamples) return Fail("the picture size is beyond MPEG-2");
  m_codedWidth = static_cast<int>(mbWidth * 16);
  m_codedHeight = static_cast<int>(mbHeight * 16);

  const size_t luma = static_cast<size_t>(m_codedWidth) * static_cast<size_t>(m_codedHeight);
  const size_t chroma = m_chromaFormat == CMpeg2Decoder::CHROMA_420   ? luma / 4
                        : m_chromaFormat == CMpeg2Decoder::CHROMA_422 ? luma / 2
                                                                      : luma;
  for (Store& s : m_store) {
    const size_t bytes = (luma + 2 * chroma + 63) / 64 * 64;
    s.memory = {static_cast<uint8_t*>(std::aligned_alloc(64, bytes)), std::free};
    if (!s.memory) return Fail("out of memory for the frame stores");
    s.plane[0] = s.memory.get();
    s.plane[1] = s.plane[0] + luma;
    s.plane[2] = s.plane[1] + chroma;
    std::memset(s.plane[0], 16, luma);
    std::memset(s.plane[1], 128, 2 * chroma);
  }
  m_core.m_width = m_codedWidth;
  m_core.m_height = m_codedHeight;
  m_core.m_mpeg1 = !m_mpeg2;
  m_core.m_verticalPositionExtension = m_vertical > 2800;
  m_core.m_chromaFormat = m_chromaFormat;
  return true;
}

bool CD2VDecoder::ParseSequenceHeader(const uint8_t* p, size_t n) {
  CHeaderBits bits(p, n);
  const uint32_t horizontal = bits.Get(12);
  const uint32_t vertical = bits.Get(12);
  bits.Get(4 + 4 + 18);  // aspect ratio, frame rate (the project's counts), bit rate
  const uint32_t marker = bits.Get(1);
  bits.Get(10 + 1);  // VBV size, constrained parameters
  uint8_t intra[64], nonIntra[64];
  LoadSequenceMatrices(bits, intra, nonIntra);
  if (bits.Short() || !marker || !horizontal || !vertical) return false;
  // The size is the first sequence's; the frame stores are made for it, so
  // a later header of another size changes nothing but the matrices.
  if (!m_haveSequence) {
    m_horizontal = horizontal;
    m_vertical = vertical;
  }
  // A sequence header's matrices serve chroma too.
  std::memcpy(m_core.m_intraMatrix, intra, 64);
  std::memcpy(m_core.m_nonIntraMatrix, nonIntra, 64);
  std::memcpy(m_core.m_chromaIntraMatrix, intra, 64);
  std::memcpy(m_core.m_chromaNonIntraMatrix, nonIntra, 64);
  return true;
}

void CD2VDecoder::ParseExtension(const uint8_t* p, size_t n) {
  CHeaderBits bits(p, n);
  switch (bits.Get(4)) {
    case 1: {  // sequence extension
      bits.Get(8);  // profile and level
      const uint32_t progressive = bits.Get(1);
      const uint32_t chroma = bits.Get(2);
      const uint32_t hx = bits.Get(2), vx = bits.Get(2);
      if (m_haveSequence || bits.Short()) return;
      m_mpeg2 = true;
      m_progressiveSequence = progressive;
      m_chromaFormat = static_cast<int>(chroma);
      m_horizontal += hx << 12;
      m_vertical += vx << 12;
      return;
    }
    case 3: {  // quantiser matrices; the chroma ones serve 4:2:2 and 4:4:4 only
      // A new luma matrix is the chroma one too, unless one for chroma
      // follows.
      uint8_t* const into[4][2] = {{m_core.m_intraMatrix, m_core.m_chromaIntraMatrix},
                                   {m_core.m_nonIntraMatrix, m_core.m_chromaNonIntraMatrix},
                                   {m_core.m_chromaIntraMatrix, nullptr},
                                   {m_core.m_chromaNonIntraMatrix, nullptr}};
      for (const auto& target : into) {
        if (!bits.Get(1)) continue;
        uint8_t m[64];
        LoadMatrix(bits, m);
        if (bits.Short()) return;
        for (uint8_t* t : target)
          if (t) std::memcpy(t, m, 64);
      }
      return;
    }
    case 8: {  // picture coding extension
      if (!m_pic.valid) return;
      int fcode[2][2];
      for (auto& dir : fcode)
        for (int& f : dir) f = std::clamp<int>(static_cast<int>(bits.Get(4)) - 1, 0, 14);
      const int dcPrecision = static_cast<int>(bits.Get(2));
      const int structure = static_cast<int>(bits.Get(2));
      const bool tff = bits.Get(1);
      const bool framePredFrameDct = bits.Get(1);
      const bool concealment = bits.Get(1);
      const bool qScaleType = bits.Get(1);
      const bool intraVlc = bits.Get(1);
      const bool alternate = bits.Get(1);
      bits.Get(1 + 1);  // repeat_first_field (the project carries it), chroma_420_type
      const bool progressiveFrame = bits.Get(1);
      // Field pictures need whole macroblock rows in each field.
      if (bits.Short() || structure == 0 ||
          (structure != 3 && (m_progressiveSequence || m_codedHeight % 32))) {
        m_pic.valid = false;
        return;
      }
      std::memcpy(m_core.m_fCode, fcode, sizeof fcode);
      m_core.m_intraDcPrecision = dcPrecision;
      m_core.m_pictureStructure = structure;
      m_core.m_topFieldFirst = tff;
      m_core.m_framePredFrameDct = framePredFrameDct;
      m_core.m_concealmentMotionVectors = concealment;
      m_core.m_qScaleType = qScaleType;
      m_core.m_intraVlcFormat = intraVlc;
      m_core.m_scan = alternate ? CMpeg2Decoder::kAlternate : CMpeg2Decoder::kZigzag;
      m_pic.structure = structure;
      m_pic.progressiveFrame = progressiveFrame;
      return;
    }
    default:  // display extensions and the rest: not needed for decoding
      return;
  }
}

bool CD2VDecoder::ParsePictureHeader(const uint8_t* p, size_t n) {
  CHeaderBits bits(p, n);
  bits.Get(10);  // temporal reference
  const int type = static_cast<int>(bits.Get(3));
  bits.Get(16);  // VBV delay
  if (type < I_TYPE || type > (m_mpeg2 ? B_TYPE : D_TYPE)) return false;
  LoadPictureCoding(bits, type, m_core);
  if (bits.Short()) return false;
  m_pic = PictureHeader{type, 3, true, true};
  return true;
}

bool CD2VDecoder::NextCode(uint8_t& code) {
  if (m_pending) {
    m_pending = false;
    code = m_pendingCode;
    return true;
  }
  return m_input.NextStartCode(code);
}

bool CD2VDecoder::NextPicture() {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint8_t code = 0;
  for (;;) {
    if (!NextCode(code)) return false;
    if (code == 0xB3) {
      m_input.Unit(data, size);
      ParseSequenceHeader(data, size);
      continue;
    }
    // GOP headers, slices of a picture passed over, user data and the rest
    // are searched past.
    if (code != 0x00) continue;
    m_input.Unit(data, size);
    if (!ParsePictureHeader(data, size)) continue;
    while (NextCode(code)) {
      if (code == 0xB5) {
        m_input.Unit(data, size);
        ParseExtension(data, size);
      } else if (code != 0xB2) {
        m_pending = true;
        m_pendingCode = code;
        break;
      }
    }
    if (m_pic.valid) return true;
    Slices(false);
  }
}

void CD2VDecoder::Slices(bool decode) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint8_t code = 0;
  int lastRow = -1;
  while (NextCode(code)) {
    if (code < 0x01 || code > 0xAF) {
      m_pending = true;
      m_pendingCode = code;
      m_cut = false;
      return;
    }
    lastRow = code - 1;
    if (decode) {
      m_input.Unit(data, size);
      m_core.DecodeSlice(code, data, size);
    }
  }
  // The data ended in the picture's slices: the last picture of the data
  // when its bottom row has come, a picture cut short otherwise. Rows past
  // 2800 lines carry an extension the start code does not show.
  const int rows = m_codedHeight / (m_pic.structure == CMpeg2Decoder::FRAME_PICTURE ? 16 : 32);
  m_cut = m_vertical <= 2800 && lastRow < rows - 1;
}

void CD2VDecoder::DecodePicture(const Target* out) {
  const bool frame = m_pic.structure == CMpeg2Decoder::FRAME_PICTURE;
  if (frame) m_secondField = false;
  int cur = kAux;
  if (m_pic.type != B_TYPE) {
    // A new reference replaces the older one; its second field goes into
    // the same store.
    if (!m_secondField) std::swap(m_refOld, m_refNew);
    cur = m_refNew;
  }
  Store& s = m_store[cur];
  if (!m_secondField) s.progressive = m_pic.progressiveFrame;
  m_core.m_secondField = m_secondField;
  uint8_t* const* fwd = m_pic.type == P_TYPE || m_pic.type == B_TYPE ? m_store[m_refOld].plane : nullptr;
  uint8_t* const* bwd = m_pic.type == B_TYPE ? m_store[m_refNew].plane : nullptr;
  m_core.PreparePicture(s.plane, fwd, bwd);
  Slices(true);
  s.cut = m_cut || (m_secondField && s.cut);
  // Pictures leave in display order: a reference when the next one comes.
  // One that the end of the data cut short is not given out.
  if (frame || m_secondField) {
    const Store& released = m_pic.type == B_TYPE ? m_store[kAux] : m_store[m_refOld];
    m_releasedCut = released.cut;
    if (out && !released.cut) Convert(released, *out);
    // A new reference waits for the next one, or for the end of the data.
    if (m_pic.type != B_TYPE) m_holding = true;
  }
  if (!frame) m_secondField = !m_secondField;
}

bool CD2VDecoder::DecodeFrame(const Target* out, bool haveHeader) {
  if (!haveHeader && !NextPicture()) return ReleaseHeld(out);
  ++m_stats.decoded;
  DecodePicture(out);
  if (m_pic.structure != CMpeg2Decoder::FRAME_PICTURE && m_secondField) {
    if (!NextPicture()) return false;
    DecodePicture(out);
  }
  return !m_releasedCut;
}

bool CD2VDecoder::ReleaseHeld(const Target* out) {
  // The data has ended: the last reference, shown after every picture
  // before it, leaves now, unless the end came inside it.
  const Store& held = m_store[m_refNew];
  if (!m_holding || held.cut || m_secondField) return false;
  m_holding = false;
  m_releasedCut = false;
  if (out) Convert(held, *out);
  return true;
}

void CD2VDecoder::Convert(const Store& s, const Target& out) const {
  const D2VPicturePlanes planes{s.plane[0], s.plane[1], s.plane[2], m_codedWidth, m_codedHeight, m_chromaFormat};
  D2VToYuy2(planes, s.progressive, m_fmt, out.dst, out.pitch);
}

CD2VDecoder::Target CD2VDecoder::Slot(uint32_t position) {
  std::vector<uint8_t>& slot = m_slots[position];
  if (slot.size() != FrameBytes()) slot.assign(FrameBytes(), 0);
  return Target{slot.data(), static_cast<ptrdiff_t>(m_fmt.width) * 2};
}

bool CD2VDecoder::NextFrameUses(uint32_t frame, uint32_t picture) const {
  if (frame + 1 >= m_project.frames.size()) return false;
  const D2VFrameEntry& next = m_project.frames[frame + 1];
  return next.top == picture || (m_project.fieldOperation != 1 && next.bottom == picture);
}

bool CD2VDecoder::Advance(uint32_t picture) {
  while (m_streamNext < picture) {
    if (!DecodeFrame(nullptr)) return false;
    ++m_streamNext;
  }
  return true;
}

bool CD2VDecoder::Sequential(uint32_t frame, uint32_t top, uint32_t bottom, uint8_t* dst, ptrdiff_t pitch,
                             bool& ok) {
  if (!m_streamValid) return false;
  const uint32_t lo = std::min(top, bottom), hi = std::max(top, bottom);
  const uint32_t gopFirst = m_project.gops[m_project.Locate(frame).gop].firstPicture;
  auto reachable = [&](uint32_t p) {
    return p >= m_streamNext && (p - m_streamNext <= kMaxAdvance || m_streamNext >= gopFirst);
  };
  const size_t rowBytes = static_cast<size_t>(m_fmt.width) * 2;
  const Target out{dst, pitch};
  const Target fb{m_fieldBuffer.data(), static_cast<ptrdiff_t>(rowBytes)};
  auto decodeNext = [&](uint32_t picture, const Target& into) {
    if (!Advance(picture) || !DecodeFrame(&into)) {
      m_streamValid = false;
      ok = false;
      return false;
    }
    ++m_streamNext;
    return true;
  };

  if (lo == hi) {
    if (m_fieldBufferPicture == top) {
      D2VCopyRows(dst, pitch, fb.dst, fb.pitch, rowBytes, m_fmt.height);
    } else if (reachable(top)) {
      if (decodeNext(top, out) && NextFrameUses(frame, top)) {
        D2VCopyRows(fb.dst, fb.pitch, dst, pitch, rowBytes, m_fmt.height);
        m_fieldBufferPicture = top;
      }
    } else {
      return false;
    }
  } else {
    // The lower picture's field comes from the field buffer, the higher
    // picture is decoded into it and gives the other field.
    const int loParity = lo == top ? 0 : 1;
    if (m_fieldBufferPicture != lo) {
      if (!reachable(lo)) return false;
      m_fieldBufferPicture = -1;
      if (decodeNext(lo, fb)) m_fieldBufferPicture = lo;
    } else if (!reachable(hi)) {
      return false;
    }
    if (ok) {
      D2VCopyField(dst, pitch, fb.dst, fb.pitch, rowBytes, m_fmt.height, loParity);
      m_fieldBufferPicture = -1;
      if (decodeNext(hi, fb)) {
        m_fieldBufferPicture = hi;
        D2VCopyField(dst, pitch, fb.dst, fb.pitch, rowBytes, m_fmt.height, 1 - loParity);
      }
    }
  }
  // The stream has moved past what a cache would continue from.
  m_cachedGop = -1;
  m_cacheLast = -1;
  return true;
}

bool CD2VDecoder::Jump(size_t gop, uint32_t position) {
  ++m_stats.jumps;
  m_cachedGop = -1;
  m_cacheLast = -1;
  m_streamValid = false;
  m_secondField = false;
  m_pending = false;
  m_holding = false;
  for (Store& s : m_store) s.cut = false;
  const D2VGopEntry& g = m_project.gops[gop];
  m_input.Seek(g.file, g.position);

  // The GOP's I picture, decoded without output; then its leading B
  // pictures (displayed before it, from the previous GOP) are passed over.
  int passed = 0;
  for (;;) {
    if (!NextPicture()) return false;
    if (m_pic.type == I_TYPE) break;
    Slices(false);
    if (++passed > kMaxPassed) return false;
  }
  if (!DecodeFrame(nullptr, true)) return false;
  for (;;) {
    if (!NextPicture()) return false;
    if (m_pic.type != B_TYPE) break;
    Slices(false);
    if (++passed > kMaxPassed) return false;
  }
  m_slots.resize(std::max<size_t>(m_slots.size(), position + 1));
  // The next reference releases the I picture: slot 0.
  const Target first = Slot(0);
  if (!DecodeFrame(&first, true)) return false;
  m_cachedGop = static_cast<int64_t>(gop);
  m_cacheLast = 0;
  m_streamValid = true;
  m_streamNext = g.firstPicture + 1;
  return FillCache(position);
}

bool CD2VDecoder::FillCache(uint32_t position) {
  if (position >= kMaxSlots) return false;
  if (m_slots.size() <= position) m_slots.resize(position + 1);
  const uint32_t first = m_project.gops[static_cast<size_t>(m_cachedGop)].firstPicture;
  while (m_cacheLast < static_cast<int64_t>(position)) {
    const uint32_t next = static_cast<uint32_t>(m_cacheLast + 1);
    const Target t = Slot(next);
    if (!m_streamValid || !DecodeFrame(&t)) {
      m_streamValid = false;
      return false;
    }
    m_cacheLast = next;
    m_streamNext = first + next + 1;
  }
  return true;
}

void CD2VDecoder::ComposeFromCache(uint32_t first, uint32_t top, uint32_t bottom, uint8_t* dst,
                                   ptrdiff_t pitch) const {
  const size_t rowBytes = static_cast<size_t>(m_fmt.width) * 2;
  const ptrdiff_t slotPitch = static_cast<ptrdiff_t>(rowBytes);
  const uint8_t* t = m_slots[top - first].data();
  const uint8_t* b = m_slots[bottom - first].data();
  if (top == bottom) {
    D2VCopyRows(dst, pitch, t, slotPitch, rowBytes, m_fmt.height);
    return;
  }
  D2VCopyField(dst, pitch, t, slotPitch, rowBytes, m_fmt.height, 0);
  D2VCopyField(dst, pitch, b, slotPitch, rowBytes, m_fmt.height, 1);
}

bool CD2VDecoder::GetFrame(uint8_t* dst, uint32_t frame, ptrdiff_t pitch) {
  if (!dst || frame >= m_project.frames.size() || m_fmt.width <= 0) return false;
  const D2VFrameEntry& f = m_project.frames[frame];
  const uint32_t top = f.top;
  const uint32_t bottom = m_project.fieldOperation == 1 ? f.top : f.bottom;
  const uint32_t hi = std::max(top, bottom);
  const D2VFrameLocation loc = m_project.Locate(frame);
  const uint32_t first = m_project.gops[loc.gop].firstPicture;
  const uint32_t position = hi - first;
  if (position >= kMaxSlots) return false;

  bool ok = true;
  bool fromCache = false;
  if (m_cachedGop == static_cast<int64_t>(loc.gop) && m_cacheLast >= 0) {
    ok = FillCache(position);
    fromCache = true;
  } else if (!Sequential(frame, top, bottom, dst, pitch, ok)) {
    ok = Jump(loc.gop, position);
    fromCache = true;
  }
  if (fromCache && ok) {
    ComposeFromCache(first, top, bottom, dst, pitch);
    // A next frame that uses this picture may come from the stream.
    if (NextFrameUses(frame, hi)) {
      std::memcpy(m_fieldBuffer.data(), m_slots[position].data(), FrameBytes());
      m_fieldBufferPicture = hi;
    }
  }
  return ok;
}
