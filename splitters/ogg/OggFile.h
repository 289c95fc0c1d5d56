// Ogg pages over the splitter file reader: the capture search and the page
// header, lacing and data reads. Page CRCs are not checked.
#pragma once

#include <algorithm>
#include <vector>

#include "foundation/BaseSplitterFile.h"

#pragma pack(push, 1)
struct OggPageHeader {
  DWORD capture_pattern;  // "OggS"
  BYTE stream_structure_version;
  BYTE header_type_flag;
  INT64 granule_position;  // -1: no packet ends on this page
  DWORD bitstream_serial_number;
  DWORD page_sequence_number;
  DWORD CRC_checksum;
  BYTE number_page_segments;
};
#pragma pack(pop)
static_assert(sizeof(OggPageHeader) == 27);

enum : BYTE { OggContinuedPacket = 1, OggFirstPage = 2, OggLastPage = 4 };

class OggPage {
 public:
  OggPageHeader m_hdr{};
  // One value per segment, in order.
  std::vector<int> m_lens;
  // Empty after a header-only read.
  std::vector<BYTE> m_data;

  void Clear() {
    m_hdr = OggPageHeader{};
    m_lens.clear();
    m_data.clear();
  }
  bool HasGranule() const { return m_hdr.granule_position != -1; }
  // The bytes of the first packet that the page holds: up to the first
  // lace under 255 (the packet's end), or the whole page.
  size_t FirstPacketLength() const {
    size_t len = 0;
    for (int lace : m_lens) {
      len += static_cast<size_t>(lace);
      if (lace < 255) break;
    }
    return std::min(len, m_data.size());
  }
};

class COggFile : public CBaseSplitterFile {
 public:
  // Fails (E_FAIL) when no page starts within the first 64 KB.
  COggFile(IAsyncReader* reader, HRESULT& hr);

  using CBaseSplitterFile::Read;

  // Moves to the next "OggS" at or after the position. Without a break
  // event the search covers 65,536 positions; with one, the rest of the
  // file, ending early when the event is set. On failure the position is
  // back where it was.
  bool Sync(HANDLE breakEvent = nullptr);
  // Reads the page at or after the position; with full false only the
  // header is read and the data skipped (the lacing list is then empty).
  bool Read(OggPage& page, bool full = true, HANDLE breakEvent = nullptr);

  // A page's capture pattern at `pos`.
  bool PageAt(LONGLONG pos);
  // What a resync after damage looks for: a page that the file holds,
  // followed by another page or the end.
  Unit PageUnit();
};
