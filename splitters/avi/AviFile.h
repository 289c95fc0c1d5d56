// The AVI file reader: walks the RIFF/LIST tree of an AVI file (with its
// OpenDML "AVIX" extensions), keeps the main header, one record per stream
// and the INFO texts, and builds each stream's chunk index from the OpenDML
// indexes or from idx1. It times chunks per stream and tells whether the
// file is interleaved well enough to be read front to back.
//
// Fields are little-endian in the file and are read into the records as
// they lie (the host is little-endian; the layouts are pinned below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/BaseSplitterFile.h"
#include "platform/win32/Types.h"

#pragma pack(push, 1)
struct AVIMAINHEADER {
  DWORD fcc;
  DWORD cb;
  DWORD dwMicroSecPerFrame;
  DWORD dwMaxBytesPerSec;
  DWORD dwPaddingGranularity;
  DWORD dwFlags;
  DWORD dwTotalFrames;
  DWORD dwInitialFrames;
  DWORD dwStreams;
  DWORD dwSuggestedBufferSize;
  DWORD dwWidth;
  DWORD dwHeight;
  DWORD dwReserved[4];
};

struct AVISTREAMHEADER {
  DWORD fcc;
  DWORD cb;
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwInitialFrames;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  struct {
    int16_t left, top, right, bottom;
  } rcFrame;
};
#pragma pack(pop)
static_assert(sizeof(AVIMAINHEADER) == 64);
static_assert(sizeof(AVISTREAMHEADER) == 64);
static_assert(offsetof(AVISTREAMHEADER, dwScale) == 28);

// The four-character codes of the file, as 32-bit values in file order.
constexpr DWORD AviFcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }

// Stream number of a chunk id ("01wb" is stream 1); -1 unless the first two
// characters are decimal digits.
int AviStreamOfChunkId(DWORD id);

// One chunk of a stream's index.
struct AviChunk {
  UINT64 fKeyFrame : 1;
  // The file position is that of the chunk's 8-byte header, not its data.
  UINT64 fChunkHdr : 1;
  // The stream's running size before this chunk.
  UINT64 size : 62;
  UINT64 filePos;
  // The chunk's data length.
  DWORD storedSize;
};

struct AviInterleaveEntry {
  DWORD t;  // the chunk's time >> 13 (about 0.82 ms units)
  DWORD n;  // the chunk's number in file order over all streams
};

struct AviStream {
  AVISTREAMHEADER strh{};
  std::vector<BYTE> strf;
  std::string strn;
  // The OpenDML super index: "indx", its size, then its body. Freed once
  // the index is built.
  std::vector<BYTE> indx;
  std::vector<AviChunk> chunks;
  UINT64 totalSize = 0;
  // Index entries that pointed elsewhere than at their chunk: how many
  // were found where the file's own chunks put them, and the numbers of
  // those that were not (passed over).
  size_t relocated = 0;
  std::vector<DWORD> lost;
  // Filled by the interleave check, kept only on request.
  std::vector<AviInterleaveEntry> interleave;
  // When the stream begins: the header's start (dwStart, in the stream's
  // own units) as a time; 0 for a start that lies past the whole file.
  REFERENCE_TIME rtStart = 0;
  // The stream header's rate when it was replaced (both 0: kept).
  DWORD mendedScale = 0, mendedRate = 0;

  // Time of chunk `frame` whose running size is `size`: video by frame
  // number, audio by byte position, from the stream's start.
  REFERENCE_TIME GetRefTime(UINT64 frame, UINT64 size) const;
  // The chunk at a time (clamped to the last chunk; -1 without chunks).
  int GetFrame(REFERENCE_TIME t) const;
  // The key chunk at or before the chunk at a time.
  int GetKeyFrame(REFERENCE_TIME t) const;
  // A chunk's share of the running size: audio lengths rise to the next
  // whole block (0 without a block size).
  UINT64 GetChunkSize(DWORD length) const;
  // A text stream stored as one chunk (a whole subtitle file).
  bool IsRawSubtitleStream() const;

  bool IsAudio() const;
  // Fields of the wave format, 0 when "strf" is too short to hold them.
  WORD BlockAlign() const;
  WORD FormatTag() const;
  // The running size after chunk i (the next chunk's, or the total).
  UINT64 SizeAfter(size_t i) const { return i + 1 < chunks.size() ? chunks[i + 1].size : totalSize; }
};

class CAviFile : public CBaseSplitterFile {
 public:
  // hr: S_OK, or the failure of the reader or of Init.
  CAviFile(IAsyncReader* reader, HRESULT& hr);

  HRESULT Init();
  HRESULT BuildIndex();
  // Checks each stream's index entries against the order of its chunks and
  // the file's length, and takes one that points elsewhere from the file's
  // own chunks (AviStream::relocated, AviStream::lost).
  void CheckIndex();
  // Where the file's own chunks put chunk k of a stream: the first chunk of
  // the stream behind the one before it (their index positions moved by
  // `shift`), when it has the indexed size; -1 when the chunks there do
  // not read or show another.
  LONGLONG LocateInLayout(size_t stream, size_t k, LONGLONG shift);
  void EmptyIndex();
  // True when every stream's chunks lie in the file close enough to their
  // time order; keepInfo keeps the per-chunk lists for the chunk viewer.
  bool IsInterleaved(bool keepInfo);
  // Walks the interleave lists' entries in time order (the earliest next
  // entry of all streams first; ties to the lower stream; raw subtitle
  // streams left out) until `visit` answers false.
  void VisitInTimeOrder(const std::function<bool(size_t stream, const AviInterleaveEntry&)>& visit) const;
  REFERENCE_TIME GetTotalTime() const;
  // A picture stream whose header rate puts it far from the main header's
  // frame time and the sound is timed by the main header.
  void MendPictureRates();

  // Finds the chunks of a file without a usable index by walking it from the
  // current position to `end`, into `chunks` and `sizes` (one list and one
  // running size per stream). Every chunk counts as a key chunk: nothing
  // better is known without the codecs. `poll` is asked after every step
  // and stops the walk by answering false.
  // Damage is passed over to the next data chunk, list or index, and told
  // as the file tells it.
  HRESULT ScanChunks(UINT64 end, std::vector<std::vector<AviChunk>>& chunks, std::vector<UINT64>& sizes,
                     const std::function<bool()>& poll, int depth = 0);
  // True for the id of a data chunk of one of the file's streams.
  bool IsStreamChunk(DWORD id) const;
  // True at the file's end or where a list, the index or filler begins:
  // what may follow a stream's last chunks.
  bool EndsChunks(UINT64 pos);

  // Reads `length` bytes at `pos` straight from the source.
  HRESULT ReadAt(UINT64 pos, BYTE* data, DWORD length);

  AVIMAINHEADER m_avih{};
  DWORD m_dmlhTotalFrames = 0;
  std::vector<std::unique_ptr<AviStream>> m_strms;
  std::map<DWORD, std::string> m_info;
  // "idx1", its size, then the raw entries; freed once the index is built.
  std::vector<BYTE> m_idx1;
  // Position of the "LIST" header of every "movi" list, in file order.
  std::vector<UINT64> m_movis;
  bool m_indexSought = false;

 private:
  HRESULT Parse(DWORD parentType, UINT64 end, int depth);
  HRESULT BuildOpenDmlIndex();
  HRESULT BuildIdx1Index();
  HRESULT IndexLeftOutStreams();
  bool ReadDword(DWORD& v);
  // The first position in [from, to) where `accept` takes the id and size
  // read there; -1 when none.
  LONGLONG ScanChunkHeaders(UINT64 from, UINT64 to,
                            const std::function<bool(UINT64 pos, DWORD id, DWORD size)>& accept);
  // A chunk the walk can go on from: a data chunk of a known stream or a
  // list, index or filler, whose size the file holds, followed by another
  // such header or the file's end.
  bool PlausibleChunk(UINT64 pos, DWORD id, DWORD size, bool confirm);
  // The next list or index header from `from` on, for the file's own walk.
  LONGLONG FindListOrIndex(UINT64 from);
  // Reads a chunk body of `size` bytes into `out` (after `prefix`), when the
  // file holds that much.
  bool ReadBody(DWORD size, std::vector<BYTE>& out, size_t prefix = 0);
};
