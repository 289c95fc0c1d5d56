// Raw DTS and AC-3 files: one frame per sample, as plain audio frames or
// wrapped in a private-stream-1 PES packet (behind a pack header for the
// DVD pack type), so that decoders expecting DVD input take them too.
#pragma once

#include <vector>

#include "foundation/BaseSource.h"
#include "foundation/BaseStream.h"

PELLOMAR_DEFINE_GUID(CLSID_DTSAC3Source, "B4A7BE85-551D-4594-BDC7-832B09185041");

// The media types that carry DTS or AC-3 frames: the stream kinds (Audio,
// MPEG-2 PES or DVD pack major type with the DTS or AC-3 subtype) and the
// AVI kinds (Audio with the WAVE subtype and a format block of that tag).
bool IsDTSMediaType(const AM_MEDIA_TYPE* pmt);
bool IsAC3MediaType(const AM_MEDIA_TYPE* pmt);
bool IsDTSWaveMediaType(const AM_MEDIA_TYPE* pmt);
bool IsAC3WaveMediaType(const AM_MEDIA_TYPE* pmt);

// The synthetic headers in front of a frame: a pack header with SCR 0 at
// 10.08 Mbit/s, and a private-stream-1 PES header with PTS 0 followed by
// the substream header (substream id, one frame header, the first-access-
// unit pointer).
constexpr int kPackHeaderSize = 14;
constexpr int kPesHeaderSize = 21;
void WritePackHeader(BYTE* out);
// `payload` is the byte count behind the PES header, so the PES length
// field says payload + 15; it must not exceed 65,520.
void WritePesHeader(BYTE* out, int payload, BYTE substreamId, WORD firstAccessUnit);

// What one frame header says.
struct DtsAc3Frame {
  DWORD size = 0;             // bytes
  DWORD sampleRate = 0;       // Hz
  DWORD bitRate = 0;          // bit/s, 0 when the header gives none
  REFERENCE_TIME duration = 0;  // 100 ns, 0 when it cannot be known
};

// A DTS core header (12 bytes from the sync word); false when the bytes are
// not one. The duration comes from the block count when that is valid, else
// from the size and the bit rate.
bool ParseDtsFrame(const BYTE* h, DtsAc3Frame* out);
// An AC-3 header (6 bytes from the sync word, in stream byte order); false
// when the bytes are not one (E-AC-3 included).
bool ParseAc3Frame(const BYTE* h, DtsAc3Frame* out);

class CDTSAC3Stream : public CBaseStream {
 public:
  CDTSAC3Stream(LPCWSTR fileName, CSource* filter, HRESULT* phr);

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) override;

 private:
  // Opens the file and reads the first frame's header.
  bool Open(LPCWSTR fileName);

  struct FrameRecord {
    LONGLONG offset;
    DWORD size;
  };
  // Byte offset and size of frame n, indexing the file up to it as needed;
  // false past the last whole frame.
  bool FindFrame(int n, FrameRecord* out);
  // The frame that starts at `offset`, or the next one after damaged bytes.
  bool ReadFrameAt(LONGLONG offset, FrameRecord* out);
  bool ParseAt(LONGLONG offset, DtsAc3Frame* frame);

  CSourceFile m_file;
  bool m_dts = false;
  bool m_swapped = false;  // AC-3 with the bytes of each word exchanged
  DWORD m_maxFrameSize = 0;
  DWORD m_bytesPerSec = 0;
  DWORD m_sampleRate = 0;
  GUID m_subtype = GUID_NULL;
  WORD m_wFormatTag = 0;
  BYTE m_streamId = 0;

  // Frames found so far, in file order; the index grows as frames are asked.
  std::vector<FrameRecord> m_frames;
  LONGLONG m_nextOffset = 0;
  bool m_indexComplete = false;
};

class CDTSAC3Source : public CBaseSource<CDTSAC3Stream> {
 public:
  CDTSAC3Source(LPUNKNOWN outer, HRESULT* phr);
};
