#include "decoders/mpeg2video/Mpeg2Decoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "foundation/CpuFeatures.h"

const uint8_t CMpeg2Decoder::kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

const uint8_t CMpeg2Decoder::kAlternate[64] = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49, 41, 33, 26, 18, 3,  11,
    4,  12, 19, 27, 34, 42, 50, 58, 35, 43, 51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44,
    52, 60, 37, 45, 53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63};

const uint8_t CMpeg2Decoder::kDefaultIntraMatrix[64] = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

namespace {

// Variable-length code tables, built once per process from the code lists of
// the standard. A primary table is indexed by the next `bits` bits; longer
// codes continue in a sub-table that the primary entry points to.
struct VlcEntry {
  int16_t value;
  int8_t len;  // 0: not a code; < 0: sub-table of -len bits at `value`
};

struct VlcCode {
  std::string_view bits;  // '0'/'1', spaces ignored
  int value;
};

class CVlcTable {
 public:
  CVlcTable(int bits, std::initializer_list<VlcCode> codes) : m_bits(bits) {
    m_entries.assign(size_t{1} << bits, VlcEntry{0, 0});
    struct Code {
      uint32_t v;
      int len;
      int value;
    };
    std::vector<Code> list;
    for (const VlcCode& c : codes) {
      Code k{0, 0, c.value};
      for (char ch : c.bits) {
        if (ch == ' ') continue;
        k.v = (k.v << 1) | (ch == '1');
        ++k.len;
      }
      list.push_back(k);
    }
    // Size of every sub-table: the longest code behind its prefix.
    std::vector<int> subBits(size_t{1} << bits, 0);
    for (const Code& k : list)
      if (k.len > bits) {
        const uint32_t prefix = k.v >> (k.len - bits);
        subBits[prefix] = std::max(subBits[prefix], k.len - bits);
      }
    for (uint32_t p = 0; p < subBits.size(); ++p)
      if (subBits[p]) {
        m_entries[p] = VlcEntry{static_cast<int16_t>(m_entries.size()),
                                static_cast<int8_t>(-subBits[p])};
        m_entries.resize(m_entries.size() + (size_t{1} << subBits[p]), VlcEntry{0, 0});
      }
    for (const Code& k : list) {
      if (k.len <= bits) {
        const int spare = bits - k.len;
        for (uint32_t i = 0; i < (1u << spare); ++i)
          m_entries[(k.v << spare) | i] = VlcEntry{static_cast<int16_t>(k.value), static_cast<int8_t>(k.len)};
      } else {
        const uint32_t prefix = k.v >> (k.len - bits);
        const int sb = -m_entries[prefix].len;
        const int rest = k.len - bits;
        const uint32_t low = k.v & ((1u << rest) - 1);
        const int spare = sb - rest;
        for (uint32_t i = 0; i < (1u << spare); ++i)
          m_entries[m_entries[prefix].value + ((low << spare) | i)] =
              VlcEntry{static_cast<int16_t>(k.value), static_cast<int8_t>(k.len)};
      }
    }
  }

  // `cache` holds the next bits left-aligned; a result with len 0 is an
  // invalid code.
  VlcEntry Lookup(uint64_t cache) const {
    VlcEntry e = m_entries[cache >> (64 - m_bits)];
    if (e.len < 0) e = m_entries[e.value + ((cache << m_bits) >> (64 + e.len))];
    return e;
  }

 private:
  int m_bits;
  std::vector<VlcEntry> m_entries;
};

// Macroblock type flags.
enum { MB_QUANT = 1, MB_FORWARD = 2, MB_BACKWARD = 4, MB_PATTERN = 8, MB_INTRA = 16 };

// Macroblock address increment: 1-33, and these two.
constexpr int MBA_STUFFING = 34;
constexpr int MBA_ESCAPE = 35;

// DCT coefficient entries hold level << 6 | run; these two are special.
constexpr int DCT_EOB = -1;
constexpr int DCT_ESCAPE = -2;
constexpr int Rl(int run, int level) { return level << 6 | run; }

// The longest DCT codes, the same in both coefficient tables.
#define PELLOMAR_MPEG2_LONG_DCT_CODES                                                          \
  {"00000000011111", Rl(0, 16)}, {"00000000011110", Rl(0, 17)},                                \
  {"00000000011101", Rl(0, 18)}, {"00000000011100", Rl(0, 19)},                                \
  {"00000000011011", Rl(0, 20)}, {"00000000011010", Rl(0, 21)},                                \
  {"00000000011001", Rl(0, 22)}, {"00000000011000", Rl(0, 23)},                                \
  {"00000000010111", Rl(0, 24)}, {"00000000010110", Rl(0, 25)},                                \
  {"00000000010101", Rl(0, 26)}, {"00000000010100", Rl(0, 27)},                                \
  {"00000000010011", Rl(0, 28)}, {"00000000010010", Rl(0, 29)},                                \
  {"00000000010001", Rl(0, 30)}, {"00000000010000", Rl(0, 31)},                                \
  {"000000000011000", Rl(0, 32)}, {"000000000010111", Rl(0, 33)},                              \
  {"000000000010110", Rl(0, 34)}, {"000000000010101", Rl(0, 35)},                              \
  {"000000000010100", Rl(0, 36)}, {"000000000010011", Rl(0, 37)},                              \
  {"000000000010010", Rl(0, 38)}, {"000000000010001", Rl(0, 39)},                              \
  {"000000000010000", Rl(0, 40)}, {"000000000011111", Rl(1, 8)},                               \
  {"000000000011110", Rl(1, 9)}, {"000000000011101", Rl(1, 10)},                               \
  {"000000000011100", Rl(1, 11)}, {"000000000011011", Rl(1, 12)},                              \
  {"000000000011010", Rl(1, 13)}, {"000000000011001", Rl(1, 14)},                              \
  {"0000000000010011", Rl(1, 15)}, {"0000000000010010", Rl(1, 16)},                            \
  {"0000000000010001", Rl(1, 17)}, {"0000000000010000", Rl(1, 18)},                            \
  {"0000000000010100", Rl(6, 3)}, {"0000000000011010", Rl(11, 2)},                             \
  {"0000000000011001", Rl(12, 2)}, {"0000000000011000", Rl(13, 2)},                            \
  {"0000000000010111", Rl(14, 2)}, {"0000000000010110", Rl(15, 2)},                            \
  {"0000000000010101", Rl(16, 2)}, {"0000000000011111", Rl(27, 1)},                            \
  {"0000000000011110", Rl(28, 1)}, {"0000000000011101", Rl(29, 1)},                            \
  {"0000000000011100", Rl(30, 1)}, {"0000000000011011", Rl(31, 1)}

}  // namespace

struct CMpeg2Decoder::CoefTable {
  enum Kind : uint8_t { RUN_LEVEL, END_OF_BLOCK, ESCAPE, LONG_CODE, INVALID };
  struct Entry {
    uint8_t kind;
    uint8_t len;  // code length, with the sign bit for RUN_LEVEL
    uint8_t run;
    uint8_t level;
  };
  // The first table takes the next 12 bits; the longer codes (up to 16
  // bits) all start with eight zeros and continue in the second table,
  // indexed by the 8 bits after those zeros.
  static constexpr int kBits = 12;
  static constexpr int kLongZeros = 8;
  static constexpr int kLongBits = 16 - kLongZeros;

  explicit CoefTable(const CVlcTable& codes) {
    for (uint32_t i = 0; i < (1u << kBits); ++i) {
      const VlcEntry e = codes.Lookup(uint64_t{i} << (64 - kBits));
      if (e.len > 0 && e.len <= kBits)
        entries[i] = Make(e);
      else
        entries[i].kind = (i >> (kBits - kLongZeros)) == 0 ? LONG_CODE : INVALID;
    }
    for (uint32_t i = 0; i < (1u << kLongBits); ++i) {
      const VlcEntry l = codes.Lookup(uint64_t{i} << (64 - kLongZeros - kLongBits));
      if (l.len > kBits && l.len <= kLongZeros + kLongBits && l.value >= 0)
        longEntries[i] = Make(l);
      else
        longEntries[i].kind = INVALID;
    }
  }

  static Entry Make(const VlcEntry& e) {
    Entry f{RUN_LEVEL, static_cast<uint8_t>(e.len), 0, 0};
    if (e.value == DCT_EOB) {
      f.kind = END_OF_BLOCK;
    } else if (e.value == DCT_ESCAPE) {
      f.kind = ESCAPE;
    } else {
      f.len = static_cast<uint8_t>(e.len + 1);
      f.run = static_cast<uint8_t>(e.value & 63);
      f.level = static_cast<uint8_t>(e.value >> 6);
    }
    return f;
  }

  Entry entries[1 << kBits] = {};
  Entry longEntries[1 << kLongBits] = {};
};

namespace {

struct Tables {
  CVlcTable mbai{8, {
      {"1", 1}, {"011", 2}, {"010", 3}, {"0011", 4}, {"0010", 5}, {"00011", 6}, {"00010", 7},
      {"0000111", 8}, {"0000110", 9}, {"00001011", 10}, {"00001010", 11}, {"00001001", 12},
      {"00001000", 13}, {"00000111", 14}, {"00000110", 15}, {"0000010111", 16},
      {"0000010110", 17}, {"0000010101", 18}, {"0000010100", 19}, {"0000010011", 20},
      {"0000010010", 21}, {"00000100011", 22}, {"00000100010", 23}, {"00000100001", 24},
      {"00000100000", 25}, {"00000011111", 26}, {"00000011110", 27}, {"00000011101", 28},
      {"00000011100", 29}, {"00000011011", 30}, {"00000011010", 31}, {"00000011001", 32},
      {"00000011000", 33}, {"00000001111", MBA_STUFFING}, {"00000001000", MBA_ESCAPE}}};
  CVlcTable mbTypeI{2, {{"1", MB_INTRA}, {"01", MB_INTRA | MB_QUANT}}};
  CVlcTable mbTypeP{6, {
      {"1", MB_FORWARD | MB_PATTERN}, {"01", MB_PATTERN}, {"001", MB_FORWARD},
      {"00011", MB_INTRA}, {"00010", MB_QUANT | MB_FORWARD | MB_PATTERN},
      {"00001", MB_QUANT | MB_PATTERN}, {"000001", MB_QUANT | MB_INTRA}}};
  CVlcTable mbTypeB{6, {
      {"10", MB_FORWARD | MB_BACKWARD}, {"11", MB_FORWARD | MB_BACKWARD | MB_PATTERN},
      {"010", MB_BACKWARD}, {"011", MB_BACKWARD | MB_PATTERN}, {"0010", MB_FORWARD},
      {"0011", MB_FORWARD | MB_PATTERN}, {"00011", MB_INTRA},
      {"00010", MB_QUANT | MB_FORWARD | MB_BACKWARD | MB_PATTERN},
      {"000011", MB_QUANT | MB_FORWARD | MB_PATTERN}, {"000010", MB_QUANT | MB_BACKWARD | MB_PATTERN},
      {"000001", MB_QUANT | MB_INTRA}}};
  CVlcTable cbp{9, {
      {"111", 60}, {"1101", 4}, {"1100", 8}, {"1011", 16}, {"1010", 32}, {"10011", 12},
      {"10010", 48}, {"10001", 20}, {"10000", 40}, {"01111", 28}, {"01110", 44}, {"01101", 52},
      {"01100", 56}, {"01011", 1}, {"01010", 61}, {"01001", 2}, {"01000", 62}, {"001111", 24},
      {"001110", 36}, {"001101", 3}, {"001100", 63}, {"0010111", 5}, {"0010110", 9},
      {"0010101", 17}, {"0010100", 33}, {"0010011", 6}, {"0010010", 10}, {"0010001", 18},
      {"0010000", 34}, {"00011111", 7}, {"00011110", 11}, {"00011101", 19}, {"00011100", 35},
      {"00011011", 13}, {"00011010", 49}, {"00011001", 21}, {"00011000", 41}, {"00010111", 14},
      {"00010110", 50}, {"00010101", 22}, {"00010100", 42}, {"00010011", 15}, {"00010010", 51},
      {"00010001", 23}, {"00010000", 43}, {"00001111", 25}, {"00001110", 37}, {"00001101", 26},
      {"00001100", 38}, {"00001011", 29}, {"00001010", 45}, {"00001001", 53}, {"00001000", 57},
      {"00000111", 30}, {"00000110", 46}, {"00000101", 54}, {"00000100", 58}, {"000000111", 31},
      {"000000110", 47}, {"000000101", 55}, {"000000100", 59}, {"000000011", 27},
      {"000000010", 39}, {"000000001", 0}}};
  // Motion codes without their sign bit.
  CVlcTable motion{10, {
      {"1", 0}, {"01", 1}, {"001", 2}, {"0001", 3}, {"000011", 4}, {"0000101", 5},
      {"0000100", 6}, {"0000011", 7}, {"000001011", 8}, {"000001010", 9}, {"000001001", 10},
      {"0000010001", 11}, {"0000010000", 12}, {"0000001111", 13}, {"0000001110", 14},
      {"0000001101", 15}, {"0000001100", 16}}};
  CVlcTable dmv{2, {{"0", 0}, {"10", 1}, {"11", -1}}};
  CVlcTable dcLuma{9, {
      {"100", 0}, {"00", 1}, {"01", 2}, {"101", 3}, {"110", 4}, {"1110", 5}, {"11110", 6},
      {"111110", 7}, {"1111110", 8}, {"11111110", 9}, {"111111110", 10}, {"111111111", 11}}};
  CVlcTable dcChroma{10, {
      {"00", 0}, {"01", 1}, {"10", 2}, {"110", 3}, {"1110", 4}, {"11110", 5}, {"111110", 6},
      {"1111110", 7}, {"11111110", 8}, {"111111110", 9}, {"1111111110", 10},
      {"1111111111", 11}}};
  // DCT coefficients without their sign bit. "11" is (0,1) after the first
  // coefficient of a non-intra block; the first one reads "1" itself.
  CVlcTable dct0{9, {
      {"10", DCT_EOB}, {"11", Rl(0, 1)}, {"011", Rl(1, 1)}, {"0100", Rl(0, 2)},
      {"0101", Rl(2, 1)}, {"00101", Rl(0, 3)}, {"00111", Rl(3, 1)}, {"00110", Rl(4, 1)},
      {"000110", Rl(1, 2)}, {"000111", Rl(5, 1)}, {"000101", Rl(6, 1)}, {"000100", Rl(7, 1)},
      {"0000110", Rl(0, 4)}, {"0000100", Rl(2, 2)}, {"0000111", Rl(8, 1)},
      {"0000101", Rl(9, 1)}, {"000001", DCT_ESCAPE}, {"00100110", Rl(0, 5)},
      {"00100001", Rl(0, 6)}, {"00100101", Rl(1, 3)}, {"00100100", Rl(3, 2)},
      {"00100111", Rl(10, 1)}, {"00100011", Rl(11, 1)}, {"00100010", Rl(12, 1)},
      {"00100000", Rl(13, 1)}, {"0000001010", Rl(0, 7)}, {"0000001100", Rl(1, 4)},
      {"0000001011", Rl(2, 3)}, {"0000001111", Rl(4, 2)}, {"0000001001", Rl(5, 2)},
      {"0000001110", Rl(14, 1)}, {"0000001101", Rl(15, 1)}, {"0000001000", Rl(16, 1)},
      {"000000011101", Rl(0, 8)}, {"000000011000", Rl(0, 9)}, {"000000010011", Rl(0, 10)},
      {"000000010000", Rl(0, 11)}, {"000000011011", Rl(1, 5)}, {"000000010100", Rl(2, 4)},
      {"000000011100", Rl(3, 3)}, {"000000010010", Rl(4, 3)}, {"000000011110", Rl(6, 2)},
      {"000000010101", Rl(7, 2)}, {"000000010001", Rl(8, 2)}, {"000000011111", Rl(17, 1)},
      {"000000011010", Rl(18, 1)}, {"000000011001", Rl(19, 1)}, {"000000010111", Rl(20, 1)},
      {"000000010110", Rl(21, 1)}, {"0000000011010", Rl(0, 12)},
      {"0000000011001", Rl(0, 13)}, {"0000000011000", Rl(0, 14)},
      {"0000000010111", Rl(0, 15)},
      // From here on both tables agree.
      {"0000000010110", Rl(1, 6)}, {"0000000010101", Rl(1, 7)}, {"0000000010100", Rl(2, 5)},
      {"0000000010011", Rl(3, 4)}, {"0000000010010", Rl(5, 3)}, {"0000000010001", Rl(9, 2)},
      {"0000000010000", Rl(10, 2)}, {"0000000011111", Rl(22, 1)},
      {"0000000011110", Rl(23, 1)}, {"0000000011101", Rl(24, 1)},
      {"0000000011100", Rl(25, 1)}, {"0000000011011", Rl(26, 1)},
      PELLOMAR_MPEG2_LONG_DCT_CODES}};
  CVlcTable dct1{9, {
      {"0110", DCT_EOB}, {"10", Rl(0, 1)}, {"010", Rl(1, 1)}, {"110", Rl(0, 2)},
      {"00101", Rl(2, 1)}, {"0111", Rl(0, 3)}, {"00111", Rl(3, 1)}, {"000110", Rl(4, 1)},
      {"00110", Rl(1, 2)}, {"000111", Rl(5, 1)}, {"0000110", Rl(6, 1)}, {"0000100", Rl(7, 1)},
      {"11100", Rl(0, 4)}, {"0000111", Rl(2, 2)}, {"0000101", Rl(8, 1)},
      {"1111000", Rl(9, 1)}, {"000001", DCT_ESCAPE}, {"11101", Rl(0, 5)}, {"000101", Rl(0, 6)},
      {"1111001", Rl(1, 3)}, {"00100110", Rl(3, 2)}, {"1111010", Rl(10, 1)},
      {"00100001", Rl(11, 1)}, {"00100101", Rl(12, 1)}, {"00100100", Rl(13, 1)},
      {"000100", Rl(0, 7)}, {"00100111", Rl(1, 4)}, {"11111100", Rl(2, 3)},
      {"11111101", Rl(4, 2)}, {"000000100", Rl(5, 2)}, {"000000101", Rl(14, 1)},
      {"000000111", Rl(15, 1)}, {"0000001101", Rl(16, 1)}, {"1111011", Rl(0, 8)},
      {"1111100", Rl(0, 9)}, {"00100011", Rl(0, 10)}, {"00100010", Rl(0, 11)},
      {"00100000", Rl(1, 5)}, {"0000001100", Rl(2, 4)}, {"000000011100", Rl(3, 3)},
      {"000000010010", Rl(4, 3)}, {"000000011110", Rl(6, 2)}, {"000000010101", Rl(7, 2)},
      {"000000010001", Rl(8, 2)}, {"000000011111", Rl(17, 1)}, {"000000011010", Rl(18, 1)},
      {"000000011001", Rl(19, 1)}, {"000000010111", Rl(20, 1)}, {"000000010110", Rl(21, 1)},
      {"11111010", Rl(0, 12)}, {"11111011", Rl(0, 13)}, {"11111110", Rl(0, 14)},
      {"11111111", Rl(0, 15)},
      {"0000000010110", Rl(1, 6)}, {"0000000010101", Rl(1, 7)}, {"0000000010100", Rl(2, 5)},
      {"0000000010011", Rl(3, 4)}, {"0000000010010", Rl(5, 3)}, {"0000000010001", Rl(9, 2)},
      {"0000000010000", Rl(10, 2)}, {"0000000011111", Rl(22, 1)},
      {"0000000011110", Rl(23, 1)}, {"0000000011101", Rl(24, 1)},
      {"0000000011100", Rl(25, 1)}, {"0000000011011", Rl(26, 1)},
      PELLOMAR_MPEG2_LONG_DCT_CODES}};
  // The same codes for the block decoder, in at most two lookups.
  CMpeg2Decoder::CoefTable fast0{dct0};
  CMpeg2Decoder::CoefTable fast1{dct1};
};

#undef PELLOMAR_MPEG2_LONG_DCT_CODES

const Tables& Vlc() {
  static const Tables tables;
  return tables;
}

const uint8_t kNonLinearScale[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  10, 12,
                                     14, 16, 18, 20, 22, 24, 28, 32, 36, 40, 44,
                                     48, 52, 56, 64, 72, 80, 88, 96, 104, 112};

void AlignedFree(void* p) { std::free(p); }

}  // namespace

CMpeg2Decoder::CMpeg2Decoder()
    : m_dsp(&CMpeg2Dsp::ForFeatures(g_cpu.m_features)),
      m_block(static_cast<int16_t*>(std::aligned_alloc(16, 64 * sizeof(int16_t))), AlignedFree) {
  std::memset(m_block.get(), 0, 64 * sizeof(int16_t));
  std::memcpy(m_intraMatrix, kDefaultIntraMatrix, 64);
  std::memset(m_nonIntraMatrix, 16, 64);
  std::memcpy(m_chromaIntraMatrix, kDefaultIntraMatrix, 64);
  std::memset(m_chromaNonIntraMatrix, 16, 64);
  Vlc();  // builds the shared tables now rather than inside the first slice
}

CMpeg2Decoder::~CMpeg2Decoder() = default;

void CMpeg2Decoder::PreparePicture(uint8_t* const cur[3], uint8_t* const fwd[3],
                                   uint8_t* const bwd[3]) {
  for (int i = 0; i < 3; ++i) {
    m_cur[i] = cur[i];
    m_fwd[i] = fwd && fwd[i] ? fwd[i] : cur[i];
    m_bwd[i] = bwd && bwd[i] ? bwd[i] : m_fwd[i];
  }
  const bool field = m_pictureStructure != FRAME_PICTURE;
  const bool bottom = m_pictureStructure == BOTTOM_FIELD;
  m_chromaShiftX = m_chromaFormat == CHROMA_444 ? 0 : 1;
  m_chromaShiftY = m_chromaFormat == CHROMA_422 || m_chromaFormat == CHROMA_444 ? 0 : 1;
  m_blocks = m_chromaShiftY ? 6 : m_chromaShiftX ? 8 : 12;
  m_stride = field ? 2 * m_width : m_width;
  m_dst[0] = cur[0] + (bottom ? m_width : 0);
  m_dst[1] = cur[1] + (bottom ? m_width >> m_chromaShiftX : 0);
  m_dst[2] = cur[2] + (bottom ? m_width >> m_chromaShiftX : 0);
  m_mbWidth = m_width / 16;
  m_mbHeight = field ? m_height / 32 : m_height / 16;
}

void CMpeg2Decoder::LoadBits(const uint8_t* data, size_t size) {
  m_ptr = data;
  m_end = data + size;
  m_cache = 0;
  m_bitCount = 0;
  m_overrun = 0;
  RefillSlow();
}

void CMpeg2Decoder::RefillSlow() {
  if (m_end - m_ptr >= 4) {
    const uint32_t w = uint32_t{m_ptr[0]} << 24 | uint32_t{m_ptr[1]} << 16 |
                       uint32_t{m_ptr[2]} << 8 | m_ptr[3];
    m_cache |= uint64_t{w} << (32 - m_bitCount);
    m_ptr += 4;
    m_bitCount += 32;
    return;
  }
  while (m_bitCount <= 56) {
    uint32_t b = 0;
    if (m_ptr < m_end)
      b = *m_ptr++;
    else
      ++m_overrun;
    m_cache |= uint64_t{b} << (56 - m_bitCount);
    m_bitCount += 8;
  }
}

void CMpeg2Decoder::SetQuantScale(int qs) {
  m_quantScale = qs;
  for (int i = 0; i < 64; ++i) {
    m_weights[0][i] = static_cast<uint16_t>(m_intraMatrix[i] * qs);
    m_weights[1][i] = static_cast<uint16_t>(m_nonIntraMatrix[i] * qs);
  }
  if (m_blocks == 6) return;
  for (int i = 0; i < 64; ++i) {
    m_weights[2][i] = static_cast<uint16_t>(m_chromaIntraMatrix[i] * qs);
    m_weights[3][i] = static_cast<uint16_t>(m_chromaNonIntraMatrix[i] * qs);
  }
}

void CMpeg2Decoder::ResetDcPredictors() {
  const int v = 128 << m_intraDcPrecision;
  m_dcPred[0] = m_dcPred[1] = m_dcPred[2] = v;
}

int CMpeg2Decoder::DecodeMacroblockType() {
  const Tables& t = Vlc();
  if (m_codingType == D_TYPE) {
    if (Get(1) != 1) return -1;
    return MB_INTRA;
  }
  const CVlcTable& table =
      m_codingType == I_TYPE ? t.mbTypeI : m_codingType == P_TYPE ? t.mbTypeP : t.mbTypeB;
  const VlcEntry e = table.Lookup(m_cache);
  if (e.len <= 0) return -1;
  Skip(e.len);
  return e.value;
}

int CMpeg2Decoder::WrapVector(int rsize, int v) const {
  const int range = 32 << rsize;
  const int high = (16 << rsize) - 1;
  const int low = -(16 << rsize);
  if (v < low) v += range;
  if (v > high) v -= range;
  return v;
}

int CMpeg2Decoder::DecodeMotionDelta(int rsize, int& ok) {
  Refill();
  const VlcEntry e = Vlc().motion.Lookup(m_cache);
  if (e.len <= 0) {
    ok = 0;
    return 0;
  }
  Skip(e.len);
  int code = e.value;
  if (code == 0) return 0;
  const bool neg = Get(1);
  int delta = code;
  if (rsize) delta = ((code - 1) << rsize) + static_cast<int>(Get(rsize)) + 1;
  return neg ? -delta : delta;
}

// Decodes the vectors of direction s into m and the predictors.
bool CMpeg2Decoder::DecodeMotionVectors(int s, int motionType, Motion& m) {
  int ok = 1;
  const int rh = m_fCode[s][0];
  const int rv = m_fCode[s][1];
  auto component = [&](int rsize, int pred) {
    return WrapVector(rsize, pred + DecodeMotionDelta(rsize, ok));
  };
  if (m_mpeg1) {
    int x = component(rh, m_pmv[0][s][0]);
    int y = component(rv, m_pmv[0][s][1]);
    m_pmv[0][s][0] = m_pmv[1][s][0] = x;
    m_pmv[0][s][1] = m_pmv[1][s][1] = y;
    if (m_fullPel[s]) {
      x *= 2;
      y *= 2;
    }
    m.mv[0][s][0] = x;
    m.mv[0][s][1] = y;
    return ok;
  }
  if (m_pictureStructure == FRAME_PICTURE) {
    if (motionType == 2) {  // frame
      const int x = component(rh, m_pmv[0][s][0]);
      const int y = component(rv, m_pmv[0][s][1]);
      m_pmv[0][s][0] = m_pmv[1][s][0] = m.mv[0][s][0] = x;
      m_pmv[0][s][1] = m_pmv[1][s][1] = m.mv[0][s][1] = y;
    } else if (motionType == 1) {  // two field vectors
      for (int r = 0; r < 2; ++r) {
        Refill();
        m.sel[r][s] = Get(1);
        const int x = component(rh, m_pmv[r][s][0]);
        const int y = component(rv, m_pmv[r][s][1] >> 1);
        m_pmv[r][s][0] = m.mv[r][s][0] = x;
        m.mv[r][s][1] = y;
        m_pmv[r][s][1] = y * 2;
      }
    } else {  // dual prime: one field vector and a small differential
      const int x = component(rh, m_pmv[0][s][0]);
      Refill();
      const VlcEntry dx = Vlc().dmv.Lookup(m_cache);
      Skip(dx.len);
      const int y = component(rv, m_pmv[0][s][1] >> 1);
      Refill();
      const VlcEntry dy = Vlc().dmv.Lookup(m_cache);
      Skip(dy.len);
      m_pmv[0][s][0] = m_pmv[1][s][0] = m.mv[0][s][0] = x;
      m_pmv[0][s][1] = m_pmv[1][s][1] = y * 2;
      m.mv[0][s][1] = y;
      // Opposite-parity vectors scaled by the field distance (1 or 3 fields
      // for the top field depending on field order, the other one 4 - m),
      // with the half-line offset between the fields.
      const int mTop = m_topFieldFirst ? 1 : 3;
      const int mm[2] = {mTop, 4 - mTop};
      const int e[2] = {-1, 1};
      for (int r = 0; r < 2; ++r) {
        m.dmv[r][0] = ((x * mm[r] + (x > 0)) >> 1) + dx.value;
        m.dmv[r][1] = ((y * mm[r] + (y > 0)) >> 1) + dy.value + e[r];
      }
    }
  } else {
    if (motionType == 1) {  // field
      Refill();
      m.sel[0][s] = Get(1);
      const int x = component(rh, m_pmv[0][s][0]);
      const int y = component(rv, m_pmv[0][s][1]);
      m_pmv[0][s][0] = m_pmv[1][s][0] = m.mv[0][s][0] = x;
      m_pmv[0][s][1] = m_pmv[1][s][1] = m.mv[0][s][1] = y;
    } else if (motionType == 2) {  // 16x8
      for (int r = 0; r < 2; ++r) {
        Refill();
        m.sel[r][s] = Get(1);
        const int x = component(rh, m_pmv[r][s][0]);
        const int y = component(rv, m_pmv[r][s][1]);
        m_pmv[r][s][0] = m.mv[r][s][0] = x;
        m_pmv[r][s][1] = m.mv[r][s][1] = y;
      }
    } else {  // dual prime
      const int x = component(rh, m_pmv[0][s][0]);
      Refill();
      const VlcEntry dx = Vlc().dmv.Lookup(m_cache);
      Skip(dx.len);
      const int y = component(rv, m_pmv[0][s][1]);
      Refill();
      const VlcEntry dy = Vlc().dmv.Lookup(m_cache);
      Skip(dy.len);
      m_pmv[0][s][0] = m_pmv[1][s][0] = m.mv[0][s][0] = x;
      m_pmv[0][s][1] = m_pmv[1][s][1] = m.mv[0][s][1] = y;
      // The opposite-parity field is always the nearer one.
      m.dmv[0][0] = ((x + (x > 0)) >> 1) + dx.value;
      m.dmv[0][1] = ((y + (y > 0)) >> 1) + dy.value +
                    (m_pictureStructure == TOP_FIELD ? -1 : 1);
    }
  }
  return ok;
}

int CMpeg2Decoder::DecodeIntraBlock(int cc, int16_t* blk) {
  const Tables& t = Vlc();
  Refill();
  const VlcEntry s = (cc == 0 ? t.dcLuma : t.dcChroma).Lookup(m_cache);
  if (s.len <= 0) return -1;
  Skip(s.len);
  int diff = 0;
  if (s.value) {
    Refill();
    const int bits = static_cast<int>(Get(s.value));
    diff = bits < (1 << (s.value - 1)) ? bits - (1 << s.value) + 1 : bits;
  }
  // Out-of-range predictors come only from damaged data; keeping them bounded
  // keeps the shift below well defined.
  m_dcPred[cc] = std::clamp(m_dcPred[cc] + diff, -4096, 4095);
  int dc = m_dcPred[cc] << (m_mpeg1 ? 3 : 3 - m_intraDcPrecision);
  dc = std::clamp(dc, -2048, 2047);
  blk[0] = static_cast<int16_t>(dc);
  if (m_codingType == D_TYPE) return 0;
  const CoefTable& table = (m_intraVlcFormat && !m_mpeg1) ? t.fast1 : t.fast0;
  const uint16_t* weights = m_weights[cc && m_blocks > 6 ? 2 : 0];
  return m_mpeg1 ? DecodeCoefficients<true, true>(table, weights, blk, 0, dc)
                 : DecodeCoefficients<false, true>(table, weights, blk, 0, dc);
}

namespace {

// One coefficient of `level` (> 0) with its sign, dequantised and saturated.
// `weight` is the matrix entry times the quantiser scale. Branch-free in the
// sign, which the stream makes unpredictable.
template <bool Mpeg1, bool Intra>
inline int Dequantise(int level, bool neg, int weight) {
  int v = Intra ? (level * weight) >> 4 : ((2 * level + 1) * weight) >> 5;
  if (Mpeg1 && v) v = (v - 1) | 1;
  const int n = neg;
  v = std::min(v, 2047 + n);
  return (v ^ -n) + n;
}

}  // namespace

// The coefficients after position `pos` up to the end of block, dequantised
// into blk; `parity` carries the sum of those already stored. Returns the
// last scan position, -1 on damaged data. The bit reader lives in locals
// here, which keeps it in registers across the stores into the block.
template <bool Mpeg1, bool Intra>
int CMpeg2Decoder::DecodeCoefficients(const CoefTable& table, const uint16_t* weights, int16_t* blk, int pos,
                                      int parity) {
  const uint8_t* const scan = m_scan;
  uint64_t cache = m_cache;
  int count = m_bitCount;
  const uint8_t* ptr = m_ptr;
  const auto skip = [&](int n) {
    cache <<= n;
    count -= n;
  };
  const auto get = [&](int n) {
    const uint32_t v = static_cast<uint32_t>(cache >> (64 - n));
    skip(n);
    return v;
  };
  for (;;) {
    // At least 33 bits after this: enough for the longest escape.
    if (count <= 32) {
      if (m_end - ptr >= 4) {
        const uint32_t w = uint32_t{ptr[0]} << 24 | uint32_t{ptr[1]} << 16 |
                           uint32_t{ptr[2]} << 8 | ptr[3];
        cache |= uint64_t{w} << (32 - count);
        ptr += 4;
        count += 32;
      } else {
        m_cache = cache;
        m_bitCount = count;
        m_ptr = ptr;
        RefillSlow();
        cache = m_cache;
        count = m_bitCount;
        ptr = m_ptr;
      }
    }
    CoefTable::Entry e = table.entries[cache >> (64 - CoefTable::kBits)];
    if (e.kind == CoefTable::LONG_CODE)
      e = table.longEntries[(cache >> (64 - CoefTable::kLongZeros - CoefTable::kLongBits)) &
                            ((1u << CoefTable::kLongBits) - 1)];
    int run, level;
    bool neg;
    if (e.kind == CoefTable::RUN_LEVEL) {
      run = e.run;
      level = e.level;
      neg = (cache >> (64 - e.len)) & 1;
      skip(e.len);
    } else if (e.kind == CoefTable::END_OF_BLOCK) {
      skip(e.len);
      break;
    } else if (e.kind == CoefTable::ESCAPE) {
      skip(6);
      run = static_cast<int>(get(6));
      if (Mpeg1) {
        level = static_cast<int>(get(8));
        if (level == 128)
          level = static_cast<int>(get(8)) - 256;
        else if (level == 0)
          level = static_cast<int>(get(8));
        else if (level > 128)
          level -= 256;
      } else {
        level = static_cast<int>(get(12));
        if (level >= 2048) level -= 4096;
      }
      if (level == 0) return -1;
      neg = level < 0;
      level = std::abs(level);
    } else {
      return -1;  // no code of the table
    }
    pos += run + 1;
    if (pos > 63) return -1;
    const int i = scan[pos];
    const int v = Dequantise<Mpeg1, Intra>(level, neg, weights[i]);
    blk[i] = static_cast<int16_t>(v);
    parity ^= v;
  }
  if (!Mpeg1 && !(parity & 1)) blk[63] ^= 1;
  m_cache = cache;
  m_bitCount = count;
  m_ptr = ptr;
  return pos;
}

int CMpeg2Decoder::DecodeNonIntraBlock(bool chroma, int16_t* blk) {
  Refill();
  const uint16_t* weights = m_weights[chroma && m_blocks > 6 ? 3 : 1];
  int pos = -1, parity = 0;
  if (m_cache >> 63) {
    // The first coefficient codes (0, 1) as "1s"; "10" is not an end here.
    const bool neg = (m_cache >> 62) & 1;
    Skip(2);
    pos = 0;
    const int i = m_scan[0];
    parity = m_mpeg1 ? Dequantise<true, false>(1, neg, weights[i])
                     : Dequantise<false, false>(1, neg, weights[i]);
    blk[i] = static_cast<int16_t>(parity);
  }
  // Without that leading 1 no end of block can follow: its code starts with 1.
  const CoefTable& table = Vlc().fast0;
  return m_mpeg1 ? DecodeCoefficients<true, false>(table, weights, blk, pos, parity)
                 : DecodeCoefficients<false, false>(table, weights, blk, pos, parity);
}

const uint8_t* const* CMpeg2Decoder::RefFor(int s, int sel) const {
  if (s == 1) return m_bwd;
  // The second field of a P picture may predict from the first field of
  // its own frame: the field of opposite parity to the one being decoded.
  if (m_pictureStructure != FRAME_PICTURE && m_secondField && m_codingType == P_TYPE &&
      sel != (m_pictureStructure == BOTTOM_FIELD ? 1 : 0))
    return const_cast<const uint8_t* const*>(m_cur);
  return m_fwd;
}

void CMpeg2Decoder::PredictBlock(uint8_t* const dst[3], const uint8_t* const ref[3], int stride,
                                 int x, int y, int h, int limitH, int mvx, int mvy, bool avg) {
  // Clamping the reference position keeps every read inside the reference
  // planes whatever the vector says; valid streams never need it.
  const int maxX = 2 * m_width - 32;
  const int maxY = 2 * limitH - 2 * h;
  if (maxY < 0) return;
  const int px = std::clamp(2 * x + mvx, 0, maxX);
  const int py = std::clamp(2 * y + mvy, 0, maxY);
  mvx = px - 2 * x;
  mvy = py - 2 * y;
  const int idx = (px & 1) | (py & 1) << 1;
  m_dsp->mc[Mpeg2McIndex(avg, false, idx)](dst[0], ref[0] + (py >> 1) * stride + (px >> 1),
                                           stride, h);
  // Chroma vectors are the luma ones halved, towards zero, along each
  // subsampled direction; the clamped luma position keeps them inside too.
  const int sx = m_chromaShiftX, sy = m_chromaShiftY;
  const int cstride = stride >> sx;
  const int cmx = sx ? mvx / 2 : mvx, cmy = sy ? mvy / 2 : mvy;
  const int pcx = 2 * (x >> sx) + cmx, pcy = 2 * (y >> sy) + cmy;
  const int cidx = (pcx & 1) | (pcy & 1) << 1;
  const int coff = (pcy >> 1) * cstride + (pcx >> 1);
  const Mpeg2McFunc chroma = m_dsp->mc[Mpeg2McIndex(avg, sx, cidx)];
  chroma(dst[1], ref[1] + coff, cstride, h >> sy);
  chroma(dst[2], ref[2] + coff, cstride, h >> sy);
}

// Blocks in stream order: four luma, then Cb and Cr in turn; 4:2:2 adds a
// pair below the first, 4:4:4 also two pairs to the right of those. With
// field DCT the lower blocks start one line down and every block takes every
// second line, the chroma ones too unless chroma has half the lines.
int CMpeg2Decoder::BlockDestinations(int x, int y, bool fieldDct, uint8_t* dst[12], int stride[12]) const {
  uint8_t* const luma = m_dst[0] + y * m_stride + x;
  const int lumaDown = fieldDct ? m_stride : 8 * m_stride;
  for (int b = 0; b < 4; ++b) {
    dst[b] = luma + (b & 1) * 8 + (b >> 1) * lumaDown;
    stride[b] = fieldDct ? 2 * m_stride : m_stride;
  }
  const int cstride = m_stride >> m_chromaShiftX;
  const bool chromaFields = fieldDct && !m_chromaShiftY;
  const int chromaDown = chromaFields ? cstride : 8 * cstride;
  const int origin = (y >> m_chromaShiftY) * cstride + (x >> m_chromaShiftX);
  for (int b = 4; b < m_blocks; ++b) {
    dst[b] = m_dst[1 + (b & 1)] + origin + ((b & 2) ? chromaDown : 0) + ((b & 8) ? 8 : 0);
    stride[b] = chromaFields ? 2 * cstride : cstride;
  }
  return m_blocks;
}

// Forms the prediction of macroblock (mbx, mby) of the current picture.
void CMpeg2Decoder::ApplyMotion(const Motion& m, int mbx, int mby) {
  const int sx = m_chromaShiftX, sy = m_chromaShiftY;
  const int w = m_width, cw = m_width >> sx;
  const int x = mbx * 16;
  const int y = mby * 16;
  auto field = [&](const uint8_t* const* planes, int sel, const uint8_t* out[3]) {
    out[0] = planes[0] + sel * w;
    out[1] = planes[1] + sel * cw;
    out[2] = planes[2] + sel * cw;
  };
  if (m_pictureStructure == FRAME_PICTURE) {
    uint8_t* dst[3] = {m_dst[0] + y * w + x, m_dst[1] + (y >> sy) * cw + (x >> sx),
                       m_dst[2] + (y >> sy) * cw + (x >> sx)};
    if (m.type == 2 || m_mpeg1) {
      for (int s = 0; s < 2; ++s)
        if (m.dirs & (1 << s))
          PredictBlock(dst, RefFor(s, 0), w, x, y, 16, m_height, m.mv[0][s][0], m.mv[0][s][1],
                       s == 1 && (m.dirs & 1));
      return;
    }
    for (int r = 0; r < 2; ++r) {
      uint8_t* dstF[3] = {dst[0] + r * w, dst[1] + r * cw, dst[2] + r * cw};
      const uint8_t* ref[3];
      if (m.type == 1) {
        for (int s = 0; s < 2; ++s)
          if (m.dirs & (1 << s)) {
            field(RefFor(s, m.sel[r][s]), m.sel[r][s], ref);
            PredictBlock(dstF, ref, 2 * w, x, y / 2, 8, m_height / 2, m.mv[r][s][0],
                         m.mv[r][s][1], s == 1 && (m.dirs & 1));
          }
      } else {
        field(m_fwd, r, ref);
        PredictBlock(dstF, ref, 2 * w, x, y / 2, 8, m_height / 2, m.mv[0][0][0], m.mv[0][0][1],
                     false);
        field(m_fwd, 1 - r, ref);
        PredictBlock(dstF, ref, 2 * w, x, y / 2, 8, m_height / 2, m.dmv[r][0], m.dmv[r][1], true);
      }
    }
    return;
  }
  // Field picture: lines of this field only.
  const int stride = m_stride, cstride = m_stride >> sx;
  const int fieldH = m_height / 2;
  uint8_t* dst[3] = {m_dst[0] + y * stride + x, m_dst[1] + (y >> sy) * cstride + (x >> sx),
                     m_dst[2] + (y >> sy) * cstride + (x >> sx)};
  const uint8_t* ref[3];
  if (m.type == 1) {
    for (int s = 0; s < 2; ++s)
      if (m.dirs & (1 << s)) {
        field(RefFor(s, m.sel[0][s]), m.sel[0][s], ref);
        PredictBlock(dst, ref, stride, x, y, 16, fieldH, m.mv[0][s][0], m.mv[0][s][1],
                     s == 1 && (m.dirs & 1));
      }
  } else if (m.type == 2) {
    for (int r = 0; r < 2; ++r) {
      uint8_t* dstH[3] = {dst[0] + 8 * r * stride, dst[1] + (8 >> sy) * r * cstride,
                          dst[2] + (8 >> sy) * r * cstride};
      for (int s = 0; s < 2; ++s)
        if (m.dirs & (1 << s)) {
          field(RefFor(s, m.sel[r][s]), m.sel[r][s], ref);
          PredictBlock(dstH, ref, stride, x, y + 8 * r, 8, fieldH, m.mv[r][s][0], m.mv[r][s][1],
                       s == 1 && (m.dirs & 1));
        }
    }
  } else {
    const int parity = m_pictureStructure == BOTTOM_FIELD ? 1 : 0;
    field(RefFor(0, parity), parity, ref);
    PredictBlock(dst, ref, stride, x, y, 16, fieldH, m.mv[0][0][0], m.mv[0][0][1], false);
    field(RefFor(0, 1 - parity), 1 - parity, ref);
    PredictBlock(dst, ref, stride, x, y, 16, fieldH, m.dmv[0][0], m.dmv[0][1], true);
  }
}

// Prediction of a P macroblock without coded motion: zero vector from the
// field of the same parity (field pictures) or the whole frame.
CMpeg2Decoder::Motion CMpeg2Decoder::ZeroMotion() const {
  Motion m;
  m.dirs = 1;
  m.type = m_pictureStructure == FRAME_PICTURE ? 2 : 1;
  m.sel[0][0] = m_pictureStructure == BOTTOM_FIELD ? 1 : 0;
  return m;
}

// A block whose only coded coefficient is the DC has a flat transform,
// (dc + 4) >> 3 everywhere, unless the rounding sits exactly on a half, where
// the mismatch-control coefficient could tip it. True when the block was
// written that way (and cleared).
bool CMpeg2Decoder::FlatBlock(int last, int16_t* blk, uint8_t* dst, int stride, bool add) {
  if (last != 0 || (blk[0] & 7) == 4 || (!add && !m_dsp->dcCopy)) return false;
  const int v = (blk[0] + 4) >> 3;
  blk[0] = 0;
  blk[63] = 0;
  (add ? m_dsp->dcAdd : m_dsp->dcCopy)(v, dst, stride);
  return true;
}

// A skipped macroblock of a B picture keeps the previous macroblock's
// prediction directions and predicts with the motion-vector predictors as a
// whole-macroblock vector: frame prediction in frame pictures (so that after
// field prediction each field is taken from its own parity), and the field
// of the same parity in field pictures.
CMpeg2Decoder::Motion CMpeg2Decoder::SkippedBMotion() const {
  Motion m;
  m.dirs = m_lastMotion.dirs;
  m.type = m_pictureStructure == FRAME_PICTURE ? 2 : 1;
  for (int s = 0; s < 2; ++s) {
    const int scale = (m_mpeg1 && m_fullPel[s]) ? 2 : 1;
    m.mv[0][s][0] = m_pmv[0][s][0] * scale;
    m.mv[0][s][1] = m_pmv[0][s][1] * scale;
    m.sel[0][s] = m_pictureStructure == BOTTOM_FIELD ? 1 : 0;
  }
  return m;
}

int CMpeg2Decoder::DecodeAddressIncrement() {
  int incr = 0;
  for (;;) {
    Refill();
    if (Overrun()) return 0;
    const VlcEntry e = Vlc().mbai.Lookup(m_cache);
    if (e.len <= 0) return 0;
    Skip(e.len);
    if (e.value == MBA_ESCAPE) {
      incr += 33;
    } else if (e.value != MBA_STUFFING) {
      return incr + e.value;
    }
  }
}

void CMpeg2Decoder::DecodeSlice(int code, const uint8_t* data, size_t size) {
  if (!m_cur[0] || m_mbWidth <= 0 || code < 1 || code > 0xAF) return;
  LoadBits(data, size);
  int row = code - 1;
  if (m_verticalPositionExtension) row += static_cast<int>(Get(3)) << 7;
  if (row >= m_mbHeight) return;
  const auto scale = [this](int c) {
    return (!m_mpeg1 && m_qScaleType) ? kNonLinearScale[c] : c * 2;
  };
  SetQuantScale(scale(static_cast<int>(Get(5))));
  while (Get(1)) {  // extra_information_slice
    Skip(8);
    Refill();
    if (Overrun()) return;
  }
  ResetDcPredictors();
  ResetMotionPredictors();
  m_lastMotion = Motion();

  const int incr = DecodeAddressIncrement();
  if (incr <= 0) return;
  const int total = m_mbWidth * m_mbHeight;
  int addr = row * m_mbWidth + incr - 1;
  const bool framePic = m_pictureStructure == FRAME_PICTURE;
  int16_t* blk = m_block.get();
  for (;;) {
    if (addr >= total) return;
    const int mbx = addr % m_mbWidth, mby = addr / m_mbWidth;
    Refill();
    const int mbType = DecodeMacroblockType();
    if (mbType < 0) return;
    int motionType = 0;
    if (mbType & (MB_FORWARD | MB_BACKWARD)) {
      if (m_mpeg1 || (framePic && m_framePredFrameDct))
        motionType = 2;
      else
        motionType = static_cast<int>(Get(2));
      if (motionType == 0) return;
      if (motionType == 3 && (m_codingType != P_TYPE || (mbType & MB_BACKWARD))) return;
    } else if ((mbType & MB_INTRA) && m_concealmentMotionVectors) {
      motionType = framePic ? 2 : 1;
    }
    const bool fieldDct = framePic && !m_mpeg1 && !m_framePredFrameDct &&
                          (mbType & (MB_INTRA | MB_PATTERN)) && Get(1);
    if (mbType & MB_QUANT) {
      const int qs = scale(static_cast<int>(Get(5)));
      if (qs != m_quantScale) SetQuantScale(qs);
    }

    uint8_t* blockDst[12];
    int blockStride[12];
    const int blocks = BlockDestinations(mbx * 16, mby * 16, fieldDct, blockDst, blockStride);

    if (mbType & MB_INTRA) {
      if (m_concealmentMotionVectors && !m_mpeg1) {
        Motion unused;
        if (!DecodeMotionVectors(0, motionType, unused)) return;
        Skip(1);  // marker
      } else {
        ResetMotionPredictors();
      }
      for (int b = 0; b < blocks; ++b) {
        const int last = DecodeIntraBlock(b < 4 ? 0 : (b & 1) + 1, blk);
        if (last < 0) {
          std::memset(blk, 0, 64 * sizeof(int16_t));
          return;
        }
        const int stride = blockStride[b];
        if (!FlatBlock(last, blk, blockDst[b], stride, false)) m_dsp->idctCopy(blk, blockDst[b], stride);
      }
      if (m_codingType == D_TYPE) Skip(1);  // end_of_macroblock
      m_lastMotion = Motion();
    } else {
      ResetDcPredictors();
      Motion mo;
      mo.type = motionType;
      if (mbType & MB_FORWARD) {
        mo.dirs |= 1;
        if (!DecodeMotionVectors(0, motionType, mo)) return;
      } else if (m_codingType == P_TYPE) {
        ResetMotionPredictors();
        mo = ZeroMotion();
      }
      if (mbType & MB_BACKWARD) {
        mo.dirs |= 2;
        if (!DecodeMotionVectors(1, motionType, mo)) return;
      }
      if (Overrun()) return;
      ApplyMotion(mo, mbx, mby);
      m_lastMotion = mo;
      if (mbType & MB_PATTERN) {
        Refill();
        const VlcEntry c = Vlc().cbp.Lookup(m_cache);
        if (c.len <= 0) return;
        Skip(c.len);
        // 4:2:2 and 4:4:4 send the pattern of their further chroma blocks
        // after it.
        const int pattern = blocks == 6 ? c.value : c.value << (blocks - 6) | static_cast<int>(Get(blocks - 6));
        for (int b = 0; b < blocks; ++b) {
          if (!(pattern & (1 << (blocks - 1 - b)))) continue;
          const int last = DecodeNonIntraBlock(b >= 4, blk);
          if (last < 0) {
            std::memset(blk, 0, 64 * sizeof(int16_t));
            return;
          }
          const int stride = blockStride[b];
          if (!FlatBlock(last, blk, blockDst[b], stride, true)) m_dsp->idctAdd(blk, blockDst[b], stride);
        }
      }
    }
    ++addr;

    const int next = DecodeAddressIncrement();
    if (next <= 0) return;
    if (next > 1) {
      ResetDcPredictors();
      for (int k = 1; k < next; ++k, ++addr) {
        if (addr >= total) return;
        const int sx = addr % m_mbWidth, sy = addr / m_mbWidth;
        if (m_codingType == P_TYPE) {
          ResetMotionPredictors();
          ApplyMotion(ZeroMotion(), sx, sy);
        } else if (m_codingType == B_TYPE) {
          ApplyMotion(SkippedBMotion(), sx, sy);
        }
      }
    }
  }
}
