#include "splitters/ogg/OggFile.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/win32/Sync.h"

namespace {

constexpr LONGLONG kSyncRange = 65536;
constexpr int kPageHeader = 27;

DWORD Le32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24); }

bool Capture(const BYTE* b) { return memcmp(b, "OggS", 4) == 0; }

}  // namespace

COggFile::COggFile(IAsyncReader* reader, HRESULT& hr) : CBaseSplitterFile(reader, hr, 2048, false) {
  if (FAILED(hr)) return;
  Seek(0);
  hr = Sync() ? S_OK : E_FAIL;
}

bool COggFile::Sync(HANDLE breakEvent) {
  const LONGLONG start = GetPos();
  const LONGLONG range = breakEvent ? GetRemaining() : kSyncRange;
  std::function<bool()> stop;
  if (breakEvent) stop = [breakEvent] { return WaitForSingleObject(breakEvent, 0) == WAIT_OBJECT_0; };
  // The pattern may begin at any of the `range` positions from the start.
  const LONGLONG found = ScanFor(start, start + range + 3, 4, [](LONGLONG, const BYTE* b) { return Capture(b); }, stop);
  Seek(found >= 0 ? found : start);
  return found >= 0;
}

bool COggFile::Read(OggPage& page, bool full, HANDLE breakEvent) {
  page.Clear();
  if (!Sync(breakEvent)) return false;

  BYTE h[27];
  if (ByteRead(h, sizeof h) != S_OK || memcmp(h, "OggS", 4) != 0) return false;
  OggPageHeader& hdr = page.m_hdr;
  hdr.capture_pattern = Le32(h);
  hdr.stream_structure_version = h[4];
  hdr.header_type_flag = h[5];
  hdr.granule_position = static_cast<INT64>(Le32(h + 6) | (static_cast<UINT64>(Le32(h + 10)) << 32));
  hdr.bitstream_serial_number = Le32(h + 14);
  hdr.page_sequence_number = Le32(h + 18);
  hdr.CRC_checksum = Le32(h + 22);
  hdr.number_page_segments = h[26];

  BYTE lacing[255];
  const int segments = hdr.number_page_segments;
  if (segments > 0 && ByteRead(lacing, segments) != S_OK) return false;
  LONGLONG total = 0;
  for (int i = 0; i < segments; i++) total += lacing[i];

  if (!full) {
    // A page cut short by the end of the file is no page.
    if (GetRemaining() < total) return false;
    Seek(GetPos() + total);
    return true;
  }
  page.m_lens.assign(lacing, lacing + segments);
  page.m_data.resize(static_cast<size_t>(total));
  return total == 0 || ByteRead(page.m_data.data(), total) == S_OK;
}

bool COggFile::PageAt(LONGLONG pos) {
  BYTE b[4];
  Seek(pos);
  return CBaseSplitterFile::Read(b, 4) == S_OK && Capture(b);
}

CBaseSplitterFile::Unit COggFile::PageUnit() {
  Unit unit;
  unit.header = kPageHeader;
  unit.holds = [this](LONGLONG pos, const BYTE* b) {
    if (!Capture(b)) return false;
    const int segments = b[26];
    BYTE lacing[255];
    Seek(pos + kPageHeader);
    if (segments > 0 && CBaseSplitterFile::Read(lacing, segments) != S_OK) return false;
    LONGLONG end = pos + kPageHeader + segments;
    for (int i = 0; i < segments; i++) end += lacing[i];
    const LONGLONG length = GetLength();
    return end == length || (end <= length - 4 && PageAt(end));
  };
  unit.begun = [](LONGLONG, const BYTE* b) { return Capture(b); };
  return unit;
}
