#include "decoders/mpeg2video/Mpeg2Dec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "decoders/mpeg2video/Mpeg2HeaderBits.h"
#include "foundation/CpuFeatures.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const uint32_t kFramePeriod[16] = {0,      1126125, 1125000, 1080000, 900900, 900000,
                                   540000, 450450,  450000,  0,       0,      0,
                                   0,      0,       0,       0};

// Sizes beyond any level of the standard; refusing them keeps a damaged
// header from asking for gigabytes of frame buffers.
constexpr uint32_t kMaxLumaSamples = 4096 * 4096;

uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) & ~(a - 1); }

const uint8_t kSequenceEndCode[4] = {0x00, 0x00, 0x01, 0xB7};

}  // namespace

void CMpeg2Dec::AlignedFree::operator()(void* p) const { std::free(p); }

CMpeg2Dec::CMpeg2Dec() : m_sse2((g_cpu.m_features & CCpuFeatures::SSE2) != 0) {
  m_sequence.width = 0xFFFFFFFF;
  Init();
}

CMpeg2Dec::~CMpeg2Dec() { ResetInfo(); }

void CMpeg2Dec::Init() {
  m_chunk.reset(static_cast<uint8_t*>(std::aligned_alloc(16, kChunkSize + 16)));
  m_chunkStart = m_chunkPtr = m_chunk.get();
  m_shift = 0xFFFFFF00;
  m_code = 0xB4;
  m_action = Action::RESET_SEEK_SEQUENCE;
  m_state = STATE_BUFFER;
  m_sequence.width = 0xFFFFFFFF;
  m_refusedChroma = 0;
  m_bufStart = m_bufEnd = m_bufBegin = nullptr;
  m_base = m_codePos = m_pictureCodePos = 0;
}

void CMpeg2Dec::Close() {
  ResetInfo();
  m_chunk.reset();
  m_chunkStart = m_chunkPtr = nullptr;
}

void CMpeg2Dec::ResetInfo() {
  if (m_sequence.width != 0xFFFFFFFF) m_sequence.width = 0xFFFFFFFF;
  for (auto& m : m_fbufMemory) m.reset();
  for (auto& f : m_fbuf) f = Mpeg2FrameBuffer{};
  m_info = CMpeg2Info();
  m_picture = &m_pictures[0];
  m_lastReference = nullptr;
  m_prevCodingType = 0;
  m_currentFbuf = nullptr;
  m_ref[0] = m_ref[1] = nullptr;
  m_decoder.m_scan = CMpeg2Decoder::kZigzag;
  m_firstReference = true;
  m_allocated = 0;
  m_firstSlice = 1;
  m_nbSlices = 175;
  m_userData.clear();
}

void CMpeg2Dec::SetBuffer(const BYTE* start, const BYTE* end) {
  m_base = NextBufferPosition();
  m_bufBegin = start;
  m_bufStart = start;
  m_bufEnd = end >= start ? end : start;
}

void CMpeg2Dec::Skip(int flag) {
  m_firstSlice = 1;
  m_nbSlices = flag ? 0 : 175;
}

void CMpeg2Dec::Flush() {
  // A start code cut at the very end carries nothing; the sequence end code
  // then closes the last slice and gives the held picture.
  m_shift = 0xFFFFFF00;
  SetBuffer(kSequenceEndCode, kSequenceEndCode + sizeof(kSequenceEndCode));
}

// Finds the value byte of the next start code in in[0..n): its index, or n.
// The first bytes go through the shift register, which carries the zeros
// of a start code split across ranges; after that a start code lies wholly
// inside the range and memchr (or the SSE2 scan) finds it quickly.
size_t CMpeg2Dec::FindStartCode(const uint8_t* in, size_t n) {
  uint32_t shift = m_shift;
  const size_t head = std::min<size_t>(n, 3);
  for (size_t i = 0; i < head; ++i) {
    if (shift == 0x00000100) {
      m_shift = 0xFFFFFF00;
      m_code = in[i];
      m_codePos = m_base + static_cast<uint64_t>(in + i - m_bufBegin);
      return i;
    }
    shift = (shift | in[i]) << 8;
  }
  size_t k = 2;
#if defined(__SSE2__)
  if (m_sse2) {
    // Sixteen candidate positions of the 01 byte at a time, each with the
    // two zeros before it; the code byte after it stays inside the range.
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
    for (; k + 17 <= n; k += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k - 2));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k - 1));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
      const int hits = _mm_movemask_epi8(
          _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, b), zero), _mm_cmpeq_epi8(c, one)));
      if (hits) {
        k += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
        m_shift = 0xFFFFFF00;
        m_code = in[k + 1];
        m_codePos = m_base + static_cast<uint64_t>(in + k + 1 - m_bufBegin);
        return k + 1;
      }
    }
  }
#endif
  while (k + 1 < n) {
    const void* hit = std::memchr(in + k, 0x01, n - 1 - k);
    if (!hit) break;
    k = static_cast<size_t>(static_cast<const uint8_t*>(hit) - in);
    if (in[k - 1] == 0 && in[k - 2] == 0) {
      m_shift = 0xFFFFFF00;
      m_code = in[k + 1];
      m_codePos = m_base + static_cast<uint64_t>(in + k + 1 - m_bufBegin);
      return k + 1;
    }
    ++k;
  }
  if (n >= 3)
    shift = uint32_t{in[n - 3]} << 24 | uint32_t{in[n - 2]} << 16 | uint32_t{in[n - 1]} << 8;
  m_shift = shift;
  return n;
}

int CMpeg2Dec::CopyChunk() {
  if (!m_chunk) return 0;
  const size_t avail = static_cast<size_t>(m_bufEnd - m_bufStart);
  const size_t room = kChunkSize - static_cast<size_t>(m_chunkPtr - m_chunk.get());
  const size_t limit = std::min(avail, room);
  const size_t at = FindStartCode(m_bufStart, limit);
  const size_t n = at < limit ? at + 1 : limit;
  std::memcpy(m_chunkPtr, m_bufStart, n);
  m_chunkPtr += n;
  m_bufStart += n;
  if (at < limit) return 1;
  return limit < avail || (avail == room && avail != 0) ? -1 : 0;
}

int CMpeg2Dec::SkipChunk() {
  const size_t n = static_cast<size_t>(m_bufEnd - m_bufStart);
  const size_t at = FindStartCode(m_bufStart, n);
  if (at < n) {
    m_bufStart += at + 1;
    return 1;
  }
  m_bufStart = m_bufEnd;
  return 0;
}

int CMpeg2Dec::Run(Action a) {
  switch (a) {
    case Action::NONE: return -1;
    case Action::SEEK_HEADER: return SeekHeader();
    case Action::HEADER_LOOP: return HeaderLoop();
    case Action::PICTURE_START: return PictureStart();
    case Action::SEQUENCE_END: return SequenceEnd();
    case Action::SLICE_START: return SliceStart();
    case Action::SEEK_SEQUENCE: return SeekSequence();
    case Action::RESET_SEEK_SEQUENCE:
      ResetInfo();
      m_action = Action::SEEK_SEQUENCE;
      return SeekSequence();
    case Action::TAKE_NEW_SEQUENCE: return TakeNewSequence();
  }
  return -1;
}

int CMpeg2Dec::Parse() {
  if (!m_chunk) return STATE_BUFFER;
  if (m_action != Action::NONE) {
    const int r = Run(m_action);
    if (r >= 0) return r;
  }
  for (;;) {
    const uint8_t nbSlices = m_decodeSlices ? m_nbSlices : 0;
    while (static_cast<uint8_t>(m_code - m_firstSlice) < nbSlices) {
      const uint8_t code = m_code;
      const int r = CopyChunk();
      if (r == 0) return STATE_BUFFER;
      if (r < 0) {
        EmptyChunk();
        m_action = Action::SEEK_HEADER;
        return STATE_INVALID;
      }
      const size_t size = static_cast<size_t>(m_chunkPtr - m_chunkStart) - 4;
      if (code >= 0x01 && code <= 0xAF) m_decoder.DecodeSlice(code, m_chunkStart, size);
      EmptyChunk();
    }
    if (m_code >= 0x01 && m_code <= 0xAF) {
      if (!SkipChunk()) return STATE_BUFFER;
      continue;
    }
    break;
  }
  switch (m_code) {
    case 0x00:
      m_action = Action::PICTURE_START;
      return m_state;
    case 0xB3:
    case 0xB8:
    case 0xB7:
      m_action = m_code == 0xB7 ? Action::SEQUENCE_END : Action::HEADER_LOOP;
      if (m_state == STATE_SLICE) return STATE_SLICE;
      m_state = STATE_INVALID;
      return STATE_INVALID;
    case 0xBE:
      m_action = Action::SEEK_HEADER;
      return STATE_INVALID_END;
    default:
      m_action = Action::SEEK_HEADER;
      return STATE_INVALID;
  }
}

int CMpeg2Dec::SeekHeader() {
  if (!SkipChunk()) return STATE_BUFFER;
  m_action = Action::NONE;
  return -1;
}

int CMpeg2Dec::HeaderLoop() {
  m_action = Action::HEADER_LOOP;
  for (;;) {
    const uint8_t code = m_code;
    const int r = CopyChunk();
    if (r == 0) return STATE_BUFFER;
    if (r < 0) {
      EmptyChunk();
      m_code = 0xB4;
      m_action = Action::SEEK_SEQUENCE;
      return STATE_INVALID;
    }
    const size_t n = static_cast<size_t>(m_chunkPtr - m_chunkStart) - 4;
    bool ok;
    switch (code) {
      case 0x00: ok = ParsePictureHeader(m_chunkStart, n); break;
      case 0xB5: ok = ParseExtension(m_chunkStart, n); break;
      case 0xB2: AddUserData(m_chunkStart, n); ok = true; break;
      case 0xB3: ok = ParseSequenceHeader(m_chunkStart, n); break;
      case 0xB8: ok = ParseGop(m_chunkStart, n); break;
      default: ok = false; break;
    }
    EmptyChunk();
    if (!ok) {
      m_action = Action::SEEK_SEQUENCE;
      m_state = STATE_INVALID;
      return STATE_INVALID;
    }
    const uint8_t next = m_code;
    const int s = m_state;
    if ((s == STATE_PICTURE || s == STATE_PICTURE_2ND) && next >= 0x01 && next <= 0xAF) {
      // Any slice may open the picture: a damaged or missing first slice
      // should not cost the whole picture.
      if (m_newMatrices & 1) std::memcpy(m_decoder.m_intraMatrix, m_newIntra, 64);
      if (m_newMatrices & 2) std::memcpy(m_decoder.m_nonIntraMatrix, m_newNonIntra, 64);
      m_newMatrices = 0;
      m_action = Action::SLICE_START;
      return s;
    }
    if (s == STATE_SEQUENCE && next == 0xB8) return FinishSequence();
    if (s == STATE_SEQUENCE && next == 0x00) {
      m_action = Action::PICTURE_START;
      return FinishSequence();
    }
    if (s == STATE_GOP && next == 0x00) {
      m_action = Action::PICTURE_START;
      return STATE_GOP;
    }
    const bool groupState = s == STATE_SEQUENCE || s == STATE_PICTURE || s == STATE_PICTURE_2ND;
    if ((next == 0xB2 && (groupState || s == STATE_GOP)) || (next == 0xB5 && groupState)) continue;
    m_action = Action::SEEK_SEQUENCE;
    m_state = STATE_INVALID;
    return STATE_INVALID;
  }
}

Mpeg2Picture* CMpeg2Dec::SecondFieldOf(Mpeg2Picture* first) {
  return first + 1;
}

int CMpeg2Dec::PictureStart() {
  m_pictureCodePos = m_codePos;
  if (m_state == STATE_SLICE_1ST) {
    m_state = STATE_PICTURE_2ND;
    const ptrdiff_t pair = (m_picture - m_pictures) / 2;
    m_picture = &m_pictures[pair * 2 + 1];
  } else {
    m_state = STATE_PICTURE;
    ptrdiff_t pair = (m_picture - m_pictures) / 2;
    if (m_prevCodingType == CMpeg2Decoder::I_TYPE || m_prevCodingType == CMpeg2Decoder::P_TYPE)
      pair ^= 1;
    m_picture = &m_pictures[pair * 2];
  }
  m_picture->flags = 0;
  for (auto& o : m_picture->display_offset) {
    o.x = m_lastOffset[0];
    o.y = m_lastOffset[1];
  }
  return HeaderLoop();
}

int CMpeg2Dec::SliceStart() {
  m_userData.clear();
  m_info.m_user_data = nullptr;
  m_info.m_user_data_len = 0;
  m_state = (m_picture->nb_fields < 2 && m_state != STATE_PICTURE_2ND) ? STATE_SLICE_1ST : STATE_SLICE;
  const bool b = m_decoder.m_codingType == CMpeg2Decoder::B_TYPE;
  // A B picture whose forward reference never arrived (an open group met
  // first after a reset) cannot be decoded; it is skipped, not shown.
  m_decodeSlices = m_nbSlices && m_currentFbuf && !(b && !m_ref[1]);
  if (m_decodeSlices) {
    Mpeg2FrameBuffer* fwd = b ? m_ref[1] : m_ref[0];
    Mpeg2FrameBuffer* bwd = b ? m_ref[0] : nullptr;
    m_decoder.PreparePicture(m_currentFbuf->buf, fwd ? fwd->buf : nullptr, bwd ? bwd->buf : nullptr);
  } else {
    m_picture->flags |= Mpeg2Picture::FLAG_SKIP;
  }
  m_action = Action::NONE;
  return -1;
}

int CMpeg2Dec::SeekSequence() {
  for (;;) {
    const bool inForce = m_sequence.width != 0xFFFFFFFF;
    if (m_code == 0xB3 || (inForce && (m_code == 0xB7 || m_code == 0xB8 || m_code == 0x00))) break;
    if (!SkipChunk()) return STATE_BUFFER;
  }
  EmptyChunk();
  if (m_code == 0x00) return PictureStart();
  // A sequence end met while resynchronising still ends the sequence (and
  // gives its held picture) rather than being read as a header.
  if (m_code == 0xB7) return SequenceEnd();
  return HeaderLoop();
}

void CMpeg2Dec::ClearPicturePointers() {
  m_info.m_current_picture = m_info.m_current_picture_2nd = nullptr;
  m_info.m_display_picture = m_info.m_display_picture_2nd = nullptr;
  m_info.m_current_fbuf = m_info.m_display_fbuf = m_info.m_discard_fbuf = nullptr;
}

int CMpeg2Dec::SequenceEnd() {
  m_state = STATE_END;
  ClearPicturePointers();
  if (m_sequence.width != 0xFFFFFFFF && !(m_sequence.flags & Mpeg2Sequence::FLAG_LOW_DELAY) &&
      m_lastReference && !m_firstReference) {
    m_info.m_display_picture = m_lastReference;
    if (m_lastReference->nb_fields < 2) m_info.m_display_picture_2nd = SecondFieldOf(m_lastReference);
    // The reference held for display is the one the last reference picture
    // was decoded into: the current buffer when nothing followed it.
    Mpeg2FrameBuffer* held =
        (m_prevCodingType == CMpeg2Decoder::B_TYPE) ? m_ref[0] : m_currentFbuf;
    m_info.m_display_fbuf = held;
    m_info.m_discard_fbuf = (m_prevCodingType == CMpeg2Decoder::B_TYPE) ? m_ref[1] : m_ref[0];
  }
  m_action = Action::RESET_SEEK_SEQUENCE;
  m_firstReference = true;
  return STATE_END;
}

int CMpeg2Dec::TakeNewSequence() {
  ResetInfo();
  m_sequence = m_newSequence;
  m_info.m_sequence = &m_sequence;
  m_decoder.m_width = static_cast<int>(m_sequence.width);
  m_decoder.m_height = static_cast<int>(m_sequence.height);
  m_decoder.m_mpeg1 = !(m_sequence.flags & Mpeg2Sequence::FLAG_MPEG2);
  m_decoder.m_verticalPositionExtension = m_sequence.picture_height > 2800;
  m_state = STATE_SEQUENCE;
  m_action = m_code == 0x00 ? Action::PICTURE_START : Action::HEADER_LOOP;
  return STATE_SEQUENCE;
}

int CMpeg2Dec::FinishSequence() {
  Mpeg2Sequence& s = m_newSequence;
  if (s.byte_rate == 0x3FFFF) s.byte_rate = 0;
  s.byte_rate *= 50;
  // Pixel aspect ratio.
  uint32_t pw = 0, ph = 0;
  const uint32_t c = m_aspectCode;
  if (!(s.flags & Mpeg2Sequence::FLAG_MPEG2)) {
    switch (c) {
      case 0: case 15: break;
      case 1: pw = ph = 1; break;
      case 3: pw = 64; ph = 45; break;
      case 6: pw = 32; ph = 27; break;
      case 12: pw = 8; ph = 9; break;
      default: pw = 88 * c + 1171; ph = 2000; break;
    }
  } else {
    switch (c) {
      case 1: pw = ph = 1; break;
      case 2: pw = s.display_height * 4; ph = s.display_width * 3; break;
      case 3: pw = s.display_height * 16; ph = s.display_width * 9; break;
      case 4: pw = s.display_height * 221; ph = s.display_width * 100; break;
      default: break;
    }
  }
  if (pw && ph) {
    const uint32_t g = std::gcd(pw, ph);
    pw /= g;
    ph /= g;
  }
  s.pixel_width = pw;
  s.pixel_height = ph;

  if (m_newMatrices & 1) std::memcpy(m_decoder.m_intraMatrix, m_newIntra, 64);
  if (m_newMatrices & 2) std::memcpy(m_decoder.m_nonIntraMatrix, m_newNonIntra, 64);
  m_newMatrices = 0;

  if (m_sequence.width != 0xFFFFFFFF) {
    m_sequence.byte_rate = s.byte_rate;
    m_sequence.vbv_buffer_size = s.vbv_buffer_size;
    if (std::memcmp(&m_sequence, &s, offsetof(Mpeg2Sequence, profile_level_id) + 1) == 0) {
      m_state = STATE_SEQUENCE_REPEATED;
      m_info.m_sequence = &m_sequence;
      return STATE_SEQUENCE_REPEATED;
    }
    // A changed sequence: end the old one as a sequence end code would, so
    // that its held picture is still shown, then take the new one at once
    // instead of waiting for the next sequence header.
    SequenceEnd();
    m_action = Action::TAKE_NEW_SEQUENCE;
    return STATE_END;
  }
  m_action = m_code == 0x00 ? Action::PICTURE_START : Action::HEADER_LOOP;
  m_sequence = s;
  m_info.m_sequence = &m_sequence;
  m_decoder.m_width = static_cast<int>(s.width);
  m_decoder.m_height = static_cast<int>(s.height);
  m_decoder.m_mpeg1 = !(s.flags & Mpeg2Sequence::FLAG_MPEG2);
  m_decoder.m_verticalPositionExtension = s.picture_height > 2800;
  m_state = STATE_SEQUENCE;
  return STATE_SEQUENCE;
}

bool CMpeg2Dec::ParseSequenceHeader(const uint8_t* p, size_t n) {
  CHeaderBits bits(p, n);
  const uint32_t hs = bits.Get(12);
  const uint32_t vs = bits.Get(12);
  m_aspectCode = bits.Get(4);
  const uint32_t rate = bits.Get(4);
  const uint32_t bitRate = bits.Get(18);
  const uint32_t marker = bits.Get(1);
  const uint32_t vbv = bits.Get(10);
  const uint32_t constrained = bits.Get(1);
  if (!marker || !hs || !vs || bits.Short()) return false;
  Mpeg2Sequence& s = m_newSequence;
  s = Mpeg2Sequence{};
  s.picture_width = s.display_width = hs;
  s.picture_height = s.display_height = vs;
  s.width = Align(hs, 16);
  s.height = Align(vs, 16);
  s.chroma_width = s.width / 2;
  s.chroma_height = s.height / 2;
  s.frame_period = kFramePeriod[rate];
  s.byte_rate = bitRate;
  s.vbv_buffer_size = vbv * 2048;
  s.flags = constrained ? 0xA6 : 0xA4;
  LoadSequenceMatrices(bits, m_newIntra, m_newNonIntra);
  if (bits.Short()) return false;
  m_newMatrices = 3;
  s.profile_level_id = 0x80;
  m_lastOffset[0] = m_lastOffset[1] = 0;
  m_extAllowed = 1u << 1;
  m_state = STATE_SEQUENCE;
  ClearPicturePointers();
  m_info.m_user_data = nullptr;
  m_info.m_user_data_len = 0;
  m_info.m_gop = nullptr;
  m_userData.clear();
  return s.width * s.height <= kMaxLumaSamples;
}

bool CMpeg2Dec::ParseExtension(const uint8_t* p, size_t n) {
  CHeaderBits bits(p, n);
  const uint32_t id = bits.Get(4);
  if (!(m_extAllowed & (1u << id))) return true;
  m_extAllowed &= ~(1u << id);
  switch (id) {
    case 1: {  // sequence extension
      Mpeg2Sequence& s = m_newSequence;
      s.profile_level_id = static_cast<uint8_t>(bits.Get(8));
      const uint32_t progressive = bits.Get(1);
      const uint32_t chroma = bits.Get(2);
      const uint32_t hx = bits.Get(2), vx = bits.Get(2);
      const uint32_t rateExt = bits.Get(12);
      const uint32_t marker = bits.Get(1);
      const uint32_t vbvExt = bits.Get(8);
      const uint32_t lowDelay = bits.Get(1);
      const uint32_t fn = bits.Get(2), fd = bits.Get(5);
      // Frame buffers hold 4:2:0 planes only; other chroma formats would
      // write past them, so they are refused like any bad header, and the
      // format is kept for the caller to name.
      if (!marker || bits.Short()) return false;
      if (chroma != 1) {
        if (chroma > 1) m_refusedChroma = chroma;
        return false;
      }
      s.picture_width += hx << 12;
      s.picture_height += vx << 12;
      s.display_width = s.picture_width;
      s.display_height = s.picture_height;
      s.flags |= Mpeg2Sequence::FLAG_MPEG2;
      s.width = Align(s.picture_width, 16);
      s.height = Align(s.picture_height, 16);
      if (!progressive) {
        s.flags &= ~Mpeg2Sequence::FLAG_PROGRESSIVE_SEQUENCE;
        s.height = Align(s.picture_height, 32);
      }
      if (lowDelay) s.flags |= Mpeg2Sequence::FLAG_LOW_DELAY;
      s.chroma_width = s.width / 2;
      s.chroma_height = s.height / 2;
      s.byte_rate += rateExt << 18;
      s.vbv_buffer_size += (vbvExt << 10) * 2048;
      s.frame_period = static_cast<uint32_t>(uint64_t{s.frame_period} * (fd + 1) / (fn + 1));
      m_extAllowed = 1u << 2;
      return s.width * s.height <= kMaxLumaSamples;
    }
    case 2: {  // sequence display extension
      Mpeg2Sequence& s = m_newSequence;
      bits.Get(3);
      if (bits.Get(1)) {
        s.colour_primaries = static_cast<uint8_t>(bits.Get(8));
        s.transfer_characteristics = static_cast<uint8_t>(bits.Get(8));
        s.matrix_coefficients = static_cast<uint8_t>(bits.Get(8));
      }
      const uint32_t dw = bits.Get(14);
      const uint32_t marker = bits.Get(1);
      const uint32_t dh = bits.Get(14);
      if (!marker || bits.Short()) return false;
      s.display_width = dw;
      s.display_height = dh;
      return true;
    }
    case 3:  // quantiser matrix extension
      if (bits.Get(1)) {
        LoadMatrix(bits, m_newIntra);
        m_newMatrices |= 1;
      }
      if (bits.Get(1)) {
        LoadMatrix(bits, m_newNonIntra);
        m_newMatrices |= 2;
      }
      return !bits.Short();
    case 4:
      return true;
    case 7: {  // picture display extension
      uint32_t count = m_picture->nb_fields;
      if (m_sequence.flags & Mpeg2Sequence::FLAG_PROGRESSIVE_SEQUENCE) count /= 2;
      count = std::clamp<uint32_t>(count, 1, 3);
      uint32_t i = 0;
      for (; i < count; ++i) {
        const int32_t x = bits.GetSigned(16);
        const uint32_t m1 = bits.Get(1);
        const int32_t y = bits.GetSigned(16);
        const uint32_t m2 = bits.Get(1);
        if (!m1 || !m2 || bits.Short()) return false;
        m_picture->display_offset[i].x = m_lastOffset[0] = x;
        m_picture->display_offset[i].y = m_lastOffset[1] = y;
      }
      for (; i < 3; ++i) {
        m_picture->display_offset[i].x = m_lastOffset[0];
        m_picture->display_offset[i].y = m_lastOffset[1];
      }
      return true;
    }
    case 8: {  // picture coding extension
      CMpeg2Decoder& d = m_decoder;
      for (auto& dir : d.m_fCode)
        for (int& f : dir) f = std::clamp<int>(static_cast<int>(bits.Get(4)) - 1, 0, 14);
      d.m_intraDcPrecision = static_cast<int>(bits.Get(2));
      const uint32_t structure = bits.Get(2);
      const uint32_t tff = bits.Get(1);
      d.m_framePredFrameDct = bits.Get(1);
      d.m_concealmentMotionVectors = bits.Get(1);
      d.m_qScaleType = bits.Get(1);
      d.m_intraVlcFormat = bits.Get(1);
      d.m_scan = bits.Get(1) ? CMpeg2Decoder::kAlternate : CMpeg2Decoder::kZigzag;
      const uint32_t rff = bits.Get(1);
      bits.Get(1);  // chroma_420_type
      const uint32_t progressiveFrame = bits.Get(1);
      const uint32_t composite = bits.Get(1);
      uint32_t compositeFields = 0;
      if (composite) compositeFields = bits.Get(20);
      if (structure == 0 || bits.Short()) return false;
      // Field pictures need whole macroblock rows in each field.
      if (structure != 3 && (m_sequence.height % 32)) return false;
      d.m_pictureStructure = static_cast<int>(structure);
      d.m_topFieldFirst = tff;
      uint32_t flags = m_picture->flags;
      uint32_t fields;
      if (structure == 1) {
        flags |= Mpeg2Picture::FLAG_TOP_FIELD_FIRST;
        fields = 1;
      } else if (structure == 2) {
        fields = 1;
      } else if (!(m_sequence.flags & Mpeg2Sequence::FLAG_PROGRESSIVE_SEQUENCE)) {
        fields = 2 + rff;
        if (tff) flags |= Mpeg2Picture::FLAG_TOP_FIELD_FIRST;
      } else {
        fields = rff ? (tff ? 6 : 4) : 2;
      }
      if (tff && structure == 3) flags |= Mpeg2Picture::FLAG_TOP_FIELD_FIRST;
      if (rff) flags |= Mpeg2Picture::FLAG_REPEAT_FIRST_FIELD;
      if (progressiveFrame) flags |= Mpeg2Picture::FLAG_PROGRESSIVE_FRAME;
      if (composite)
        flags |= Mpeg2Picture::FLAG_COMPOSITE_DISPLAY | (compositeFields << Mpeg2Picture::COMPOSITE_DISPLAY_SHIFT);
      m_picture->flags = flags;
      m_picture->nb_fields = fields;
      m_extAllowed = (1u << 3) | (1u << 4) | (1u << 7);
      return true;
    }
    default:
      return true;
  }
}

bool CMpeg2Dec::ParseGop(const uint8_t* p, size_t n) {
  CHeaderBits bits(p, n);
  ClearPicturePointers();
  m_userData.clear();
  m_info.m_user_data = nullptr;
  m_info.m_user_data_len = 0;
  const uint32_t drop = bits.Get(1);
  const uint32_t hours = bits.Get(5), minutes = bits.Get(6);
  const uint32_t marker = bits.Get(1);
  const uint32_t seconds = bits.Get(6), pictures = bits.Get(6);
  const uint32_t closed = bits.Get(1), broken = bits.Get(1);
  if (!marker || bits.Short()) return false;
  m_gop.hours = static_cast<uint8_t>(hours);
  m_gop.minutes = static_cast<uint8_t>(minutes);
  m_gop.seconds = static_cast<uint8_t>(seconds);
  m_gop.pictures = static_cast<uint8_t>(pictures);
  m_gop.flags = static_cast<uint8_t>(drop | broken << 1 | closed << 2);
  m_info.m_gop = &m_gop;
  m_state = STATE_GOP;
  return true;
}

void CMpeg2Dec::AddUserData(const uint8_t* p, size_t n) {
  if (!m_userData.empty()) {
    const uint8_t join[3] = {0, 0, 1};
    m_userData.insert(m_userData.end(), join, join + 3);
  }
  m_userData.insert(m_userData.end(), p, p + n);
  m_info.m_user_data = m_userData.data();
  m_info.m_user_data_len = static_cast<DWORD>(m_userData.size());
}

bool CMpeg2Dec::AllocateFrameBuffers() {
  const size_t w = m_sequence.width, h = m_sequence.height;
  const size_t size = w * h * 3 / 2;
  while (m_allocated < 3) {
    AlignedBytes mem(static_cast<uint8_t*>(std::aligned_alloc(16, Align(static_cast<uint32_t>(size), 16))));
    if (!mem) return false;
    std::memset(mem.get(), 16, w * h);
    std::memset(mem.get() + w * h, 128, w * h / 2);
    Mpeg2FrameBuffer& f = m_fbuf[m_allocated];
    f.id = static_cast<uint32_t>(m_allocated);
    m_fbufMemory[m_allocated] = std::move(mem);
    OwnPlanes(f);
    ++m_allocated;
  }
  return true;
}

void CMpeg2Dec::OwnPlanes(Mpeg2FrameBuffer& f) const {
  const size_t luma = static_cast<size_t>(m_sequence.width) * m_sequence.height;
  uint8_t* mem = m_fbufMemory[f.id].get();
  f.buf[0] = mem;
  f.buf[1] = mem ? mem + luma : nullptr;
  f.buf[2] = mem ? mem + luma + luma / 4 : nullptr;
}

void CMpeg2Dec::SetCurrentFrameMemory(uint8_t* const* planes) {
  if (!m_currentFbuf) return;
  if (!planes) {
    OwnPlanes(*m_currentFbuf);
    return;
  }
  for (int i = 0; i < 3; ++i) m_currentFbuf->buf[i] = planes[i];
}

void CMpeg2Dec::UseOwnFrameMemory() {
  for (int i = 0; i < m_allocated; ++i) OwnPlanes(m_fbuf[i]);
}

bool CMpeg2Dec::ParsePictureHeader(const uint8_t* p, size_t n) {
  if (m_sequence.width == 0xFFFFFFFF) return false;
  CHeaderBits bits(p, n);
  const uint32_t temporal = bits.Get(10);
  const uint32_t type = bits.Get(3);
  bits.Get(16);  // vbv_delay
  if (type < 1 || type > 4) return false;
  const bool lowDelay = m_sequence.flags & Mpeg2Sequence::FLAG_LOW_DELAY;
  CMpeg2Decoder& d = m_decoder;
  if (m_state == STATE_PICTURE_2ND) {
    d.m_secondField = true;
    m_info.m_current_picture_2nd = m_picture;
    m_userData.clear();
    m_info.m_user_data = nullptr;
    m_info.m_user_data_len = 0;
    if (type == CMpeg2Decoder::B_TYPE || lowDelay) m_info.m_display_picture_2nd = m_picture;
  } else {
    d.m_secondField = false;
    if (m_prevCodingType != CMpeg2Decoder::B_TYPE) {
      m_ref[1] = m_ref[0];
      m_ref[0] = m_currentFbuf;
    }
    ClearPicturePointers();
    m_info.m_current_picture = m_info.m_display_picture = m_picture;
    if (type != CMpeg2Decoder::B_TYPE && !lowDelay) {
      if (m_firstReference) {
        m_info.m_display_picture = nullptr;
        m_firstReference = false;
      } else {
        m_info.m_display_picture = m_lastReference;
        if (m_lastReference && m_lastReference->nb_fields < 2)
          m_info.m_display_picture_2nd = SecondFieldOf(m_lastReference);
        m_info.m_display_fbuf = m_ref[0];
      }
    }
    m_info.m_discard_fbuf = lowDelay ? m_ref[0] : m_ref[1];
    if (!AllocateFrameBuffers()) return false;
    m_currentFbuf = nullptr;
    for (auto& f : m_fbuf)
      if (&f != m_ref[0] && &f != m_ref[1]) {
        m_currentFbuf = &f;
        break;
      }
    m_info.m_current_fbuf = m_currentFbuf;
    if (type == CMpeg2Decoder::B_TYPE) {
      m_info.m_display_fbuf = m_info.m_discard_fbuf = m_currentFbuf;
    } else if (lowDelay) {
      m_info.m_display_fbuf = m_currentFbuf;
    }
    if (type != CMpeg2Decoder::B_TYPE) m_lastReference = m_picture;
    m_prevCodingType = static_cast<int>(type);
  }
  m_extAllowed = 1u << 8;
  m_picture->temporal_reference = temporal;
  m_picture->flags = (m_picture->flags & ~Mpeg2Picture::CODING_TYPE_MASK) | type;
  m_picture->nb_fields = 2;
  m_picture->rtStart = Mpeg2Picture::kNoTime;
  m_picture->rtStop = Mpeg2Picture::kNoTime;
  m_picture->rtDecode = Mpeg2Picture::kNoTime;
  m_picture->fDelivered = 0;
  LoadPictureCoding(bits, static_cast<int>(type), d);
  m_newMatrices = 0;
  return true;
}
