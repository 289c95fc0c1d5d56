// The MPEG-1/2 video elementary stream parser and decoder state: a pull
// parser without threads. The caller hands it byte ranges (SetBuffer) and
// calls Parse until it returns 0; each other return value says what was just
// recognised. Between calls the caller reads the information block and may
// order the picture whose header was just parsed to be skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/mpeg2video/Mpeg2Decoder.h"
#include "platform/win32/Types.h"

struct Mpeg2Sequence {
  enum : uint32_t {
    FLAG_MPEG2 = 1,
    FLAG_CONSTRAINED_PARAMETERS = 2,
    FLAG_PROGRESSIVE_SEQUENCE = 4,
    FLAG_LOW_DELAY = 8,
  };
  uint32_t width, height;                 // luma, multiples of 16 (32 for interlaced MPEG-2)
  uint32_t chroma_width, chroma_height;
  uint32_t byte_rate;
  uint32_t vbv_buffer_size;               // bytes
  uint32_t flags;
  uint32_t picture_width, picture_height; // coded sizes
  uint32_t display_width, display_height;
  uint32_t pixel_width, pixel_height;     // pixel aspect ratio, reduced
  uint32_t frame_period;                  // 27 MHz ticks
  uint8_t profile_level_id;
  uint8_t colour_primaries;
  uint8_t transfer_characteristics;
  uint8_t matrix_coefficients;
};

struct Mpeg2Gop {
  enum : uint8_t { FLAG_DROP_FRAME = 1, FLAG_BROKEN_LINK = 2, FLAG_CLOSED_GOP = 4 };
  uint8_t hours, minutes, seconds, pictures;
  uint8_t flags;
};

struct Mpeg2Picture {
  enum : uint32_t {
    CODING_TYPE_MASK = 7,
    FLAG_TOP_FIELD_FIRST = 8,
    FLAG_PROGRESSIVE_FRAME = 16,
    FLAG_COMPOSITE_DISPLAY = 32,
    FLAG_SKIP = 64,
    FLAG_TAGS = 128,
    FLAG_REPEAT_FIRST_FIELD = 256,
    COMPOSITE_DISPLAY_SHIFT = 10,
  };
  uint32_t temporal_reference;
  uint32_t nb_fields;  // 1 for a field picture; 2, 3, 4 or 6 for a frame picture
  uint32_t tag;
  uint32_t flags;
  struct {
    int32_t x, y;  // 1/16 pixel
  } display_offset[3];
  REFERENCE_TIME rtStart;  // set by the caller; kNoTime when none
  REFERENCE_TIME rtStop;
  // Set by the caller: the decoding stamp of the packet the time came
  // from; kNoTime when none.
  REFERENCE_TIME rtDecode;
  BYTE fDelivered;         // set by the caller once output

  static constexpr REFERENCE_TIME kNoTime = static_cast<REFERENCE_TIME>(0x8000000000000000ULL);
};

struct Mpeg2FrameBuffer {
  uint8_t* buf[3];  // Y, U, V planes (width x height, then width/2 x height/2 each)
  uint32_t id;
};

class CMpeg2Info {
 public:
  CMpeg2Info() = default;
  virtual ~CMpeg2Info() = default;

  const Mpeg2Sequence* m_sequence = nullptr;
  const Mpeg2Gop* m_gop = nullptr;
  Mpeg2Picture* m_current_picture = nullptr;
  Mpeg2Picture* m_current_picture_2nd = nullptr;
  const Mpeg2FrameBuffer* m_current_fbuf = nullptr;
  Mpeg2Picture* m_display_picture = nullptr;
  Mpeg2Picture* m_display_picture_2nd = nullptr;
  const Mpeg2FrameBuffer* m_display_fbuf = nullptr;
  const Mpeg2FrameBuffer* m_discard_fbuf = nullptr;
  const BYTE* m_user_data = nullptr;
  DWORD m_user_data_len = 0;
};

class CMpeg2Dec {
 public:
  // Parse results.
  enum State {
    STATE_BUFFER = 0,          // input used up
    STATE_SEQUENCE = 1,        // new sequence header (and extensions)
    STATE_SEQUENCE_REPEATED = 2,
    STATE_GOP = 3,
    STATE_PICTURE = 4,         // frame picture or first field header
    STATE_SLICE_1ST = 5,       // first field's slices ended
    STATE_PICTURE_2ND = 6,     // second field header
    STATE_SLICE = 7,           // a picture is complete
    STATE_END = 8,             // sequence end: the held reference picture is given for display
    STATE_INVALID = 9,
    STATE_INVALID_END = 10,
  };

  // Largest chunk (one slice or one header group).
  static constexpr size_t kChunkSize = 1222656;

  CMpeg2Dec();
  virtual ~CMpeg2Dec();
  CMpeg2Dec(const CMpeg2Dec&) = delete;
  CMpeg2Dec& operator=(const CMpeg2Dec&) = delete;

  // The next bytes to parse; they must stay alive until Parse returns 0.
  void SetBuffer(const BYTE* start, const BYTE* end);
  int Parse();
  // Byte positions in all the input given so far: where the next buffer
  // begins, and where the start code of the picture whose header was just
  // parsed begins (a time stamp belongs to the first picture that begins
  // in its packet).
  uint64_t NextBufferPosition() const { return m_base + static_cast<uint64_t>(m_bufEnd - m_bufBegin); }
  uint64_t PicturePosition() const { return m_pictureCodePos >= 3 ? m_pictureCodePos - 3 : 0; }
  // Non-zero: the slices of the picture whose header was just parsed are
  // not decoded. Decided at state 4.
  void Skip(int flag);
  // The memory the picture whose header was just parsed is decoded into
  // (at state 4, before its slices): by default its frame buffer's own. A
  // caller may give three planes of its own instead (laid out as the frame
  // buffer's: rows of the sequence's width, chroma rows of half of it),
  // which must stay valid while the decoder may read them, that is until
  // that frame buffer is given other memory or the sequence ends. Null
  // gives the frame buffer its own memory back.
  void SetCurrentFrameMemory(uint8_t* const* planes);
  // Every frame buffer back on its own memory (what a caller gave may go).
  void UseOwnFrameMemory();
  // End of stream: completes the picture in progress and gives the held
  // reference picture for display, as a sequence end code would. Call Parse
  // until it returns 0 afterwards; a new sequence header is needed to go on.
  void Flush();
  void Close();
  void Init();
  void ResetInfo();

  // The chroma_format of the last sequence refused for it (2 for 4:2:2, 3
  // for 4:4:4), 0 when none was: the frame buffers hold 4:2:0 only.
  uint32_t RefusedChromaFormat() const { return m_refusedChroma; }

  const CMpeg2Info& Info() const { return m_info; }
  CMpeg2Info& Info() { return m_info; }
  CMpeg2Decoder& Decoder() { return m_decoder; }

 private:
  enum class Action {
    NONE,
    SEEK_HEADER,
    HEADER_LOOP,
    PICTURE_START,
    SEQUENCE_END,
    SLICE_START,
    SEEK_SEQUENCE,
    RESET_SEEK_SEQUENCE,
    TAKE_NEW_SEQUENCE,
  };
  struct AlignedFree {
    void operator()(void* p) const;
  };
  using AlignedBytes = std::unique_ptr<uint8_t[], AlignedFree>;

  int Run(Action a);
  size_t FindStartCode(const uint8_t* in, size_t n);
  int CopyChunk();  // > 0 start code found, 0 input ended, -1 chunk full
  int SkipChunk();  // > 0 start code found, 0 input ended
  void EmptyChunk() { m_chunkPtr = m_chunkStart; }
  int SeekHeader();
  int HeaderLoop();
  int PictureStart();
  int SliceStart();
  int SeekSequence();
  int SequenceEnd();
  int TakeNewSequence();
  int FinishSequence();

  bool ParseSequenceHeader(const uint8_t* p, size_t n);
  bool ParseExtension(const uint8_t* p, size_t n);
  bool ParseGop(const uint8_t* p, size_t n);
  bool ParsePictureHeader(const uint8_t* p, size_t n);
  void AddUserData(const uint8_t* p, size_t n);
  bool AllocateFrameBuffers();
  // Points the frame buffer at its own memory.
  void OwnPlanes(Mpeg2FrameBuffer& f) const;
  void ClearPicturePointers();
  Mpeg2Picture* SecondFieldOf(Mpeg2Picture* first);

  CMpeg2Decoder m_decoder;
  CMpeg2Info m_info;

  uint32_t m_shift = 0xFFFFFF00;
  Action m_action = Action::RESET_SEEK_SEQUENCE;
  int m_state = STATE_BUFFER;
  uint32_t m_extAllowed = 0;
  AlignedBytes m_chunk;
  uint8_t* m_chunkStart = nullptr;
  uint8_t* m_chunkPtr = nullptr;
  uint8_t m_code = 0xB4;
  bool m_firstReference = true;
  int m_allocated = 0;
  uint8_t m_firstSlice = 1;
  uint8_t m_nbSlices = 175;
  bool m_decodeSlices = false;  // for the picture in progress
  bool m_sse2 = false;  // start code search by the processor's features

  Mpeg2Sequence m_newSequence{};
  Mpeg2Sequence m_sequence{};  // in force; width 0xFFFFFFFF when none
  uint32_t m_aspectCode = 0;
  uint32_t m_refusedChroma = 0;
  Mpeg2Gop m_gop{};
  Mpeg2Picture m_pictures[4]{};
  Mpeg2Picture* m_picture = nullptr;      // record being parsed
  Mpeg2Picture* m_lastReference = nullptr;
  int m_prevCodingType = 0;
  Mpeg2FrameBuffer* m_currentFbuf = nullptr;
  Mpeg2FrameBuffer* m_ref[2] = {};        // most recent, older
  Mpeg2FrameBuffer m_fbuf[3]{};
  AlignedBytes m_fbufMemory[3];
  const uint8_t* m_bufBegin = nullptr;  // of the buffer, at m_base
  uint64_t m_base = 0;
  uint64_t m_codePos = 0;  // the value byte of the last start code found
  uint64_t m_pictureCodePos = 0;
  const uint8_t* m_bufStart = nullptr;
  const uint8_t* m_bufEnd = nullptr;
  int32_t m_lastOffset[2] = {};
  uint32_t m_newMatrices = 0;
  uint8_t m_newIntra[64];
  uint8_t m_newNonIntra[64];
  std::vector<uint8_t> m_userData;
};
