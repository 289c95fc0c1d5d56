// The RoQ splitter: a "Video" output (vector-quantised pictures, FourCC
// "RoQV", 30 frames/s) and an "Audio" output (DPCM at 22050 Hz, "RoQA"),
// each delivering whole chunks with their 8-byte header. Chunks are read
// straight from the upstream reader, their headers through a cached file
// reader; an index of the codebook chunks with their video and audio times
// serves seeking. Two forms: the splitter (pulls from an upstream
// IAsyncReader) and the file source.
#pragma once

#include <memory>
#include <vector>

#include "foundation/BaseSplitter.h"

PELLOMAR_DEFINE_GUID(CLSID_RoQSplitterFilter, "C73DF7C1-21F2-44C7-A430-D35FB9BB298F");
PELLOMAR_DEFINE_GUID(CLSID_RoQSourceFilter, "02B8E5C2-4E1F-45D3-9A8E-B8F1EDE6DE09");

// The chunk ids of the format.
enum : WORD {
  kRoQSignature = 0x1084,
  kRoQInfo = 0x1001,
  kRoQCodebook = 0x1002,
  kRoQFrame = 0x1011,
  kRoQAudioMono = 0x1020,
  kRoQAudioStereo = 0x1021,
};

// The 8-byte header in front of every chunk (little-endian in the file).
struct RoQChunkHeader {
  WORD id = 0;
  DWORD size = 0;  // bytes after the header
  WORD arg = 0;

  static RoQChunkHeader Parse(const BYTE* b) {
    return {static_cast<WORD>(b[0] | b[1] << 8),
            static_cast<DWORD>(b[2] | b[3] << 8 | b[4] << 16 | static_cast<DWORD>(b[5]) << 24),
            static_cast<WORD>(b[6] | b[7] << 8)};
  }
};

class CRoQSplitterFilter : public CBaseSplitterFilter {
 public:
  CRoQSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_RoQSplitterFilter);
  ~CRoQSplitterFilter() override;

  // One codebook chunk: where it starts and the stream times there.
  struct RoQIndex {
    REFERENCE_TIME rtv = 0, rta = 0;
    LONGLONG fp = 0;
  };

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  // False when the 8 bytes at `pos` cannot be read.
  bool ReadHeader(LONGLONG pos, RoQChunkHeader& h);
  // The header of the chunk at `pos` when one lies there, else (damage)
  // of the next chunk whose id is known and whose size leads to another
  // such chunk or the file's end; `pos` moves there. With `note` the bytes
  // passed over go to the damage log. False at the end of the file.
  bool NextChunk(LONGLONG& pos, RoQChunkHeader& h, bool note);
  // The chunk at `at` lies within the file and is followed by a chunk of a
  // known kind or the end; with `known` its own kind must be known too.
  bool ChunkHolds(LONGLONG at, const RoQChunkHeader& c, bool known);
  bool AddPin(const CMediaType& mt, LPCWSTR name, DWORD track);

  CComPtr<IAsyncReader> m_pAsyncReader;
  // Chunk headers are read through it, and a resync after damage scans it.
  std::unique_ptr<CBaseSplitterFile> m_pFile;
  LONGLONG m_length = 0;
  std::vector<RoQIndex> m_index;
  // Where the next DemuxLoop starts; `m_start.fp` < 0: nothing to deliver.
  RoQIndex m_start;
};

class CRoQSourceFilter : public CRoQSplitterFilter {
 public:
  CRoQSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CRoQSourceFilter() override;
};
