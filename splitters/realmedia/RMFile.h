// The RealMedia file: the header chunks (file properties, content
// description, one media-properties record per stream, data chunks, seek
// index and subtitles), single packet headers for the demux loop, and the
// picture size of RealVideo 4 streams probed from their first key frame.
//
// Every multi-byte field of the file is big-endian; four-character codes
// keep their file byte order.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "foundation/BaseSplitterFile.h"

struct RMFileHeader {
  DWORD version = 0;
  DWORD nHeaders = 0;
};

struct RMProperties {
  DWORD maxBitRate = 0, avgBitRate = 0;
  DWORD maxPacketSize = 0, avgPacketSize = 0;
  DWORD nPackets = 0;
  DWORD tDuration = 0, tPreroll = 0;  // milliseconds
  DWORD ptrIndex = 0, ptrData = 0;
  WORD nStreams = 0, flags = 0;
};

struct RMContentDescription {
  std::string title, author, copyright, comment;
};

struct RMMediaProperties {
  WORD stream = 0;
  DWORD maxBitRate = 0, avgBitRate = 0;
  DWORD maxPacketSize = 0, avgPacketSize = 0;
  DWORD tStart = 0, tPreroll = 0, tDuration = 0;  // milliseconds
  std::string name, mime;
  std::vector<BYTE> typeSpecData;
  // The picture size probed from the first key frame; 0 when none was
  // found or it equals the header's.
  DWORD width = 0, height = 0;
};

struct RMDataChunk {
  LONGLONG pos = 0;  // the chunk's first packet
  LONGLONG end = 0;  // past its last byte (the file's end when its size says more)
  DWORD nPackets = 0;
  DWORD ptrNext = 0;
};

struct RMIndexRecord {
  DWORD tStart = 0;  // milliseconds
  DWORD ptrFilePos = 0;
  DWORD packet = 0;  // counted over all data chunks
};

struct RMSubtitle {
  std::string name, data;
};

struct RMMediaPacketHeader {
  WORD version = 0;
  WORD length = 0;  // the 12 header bytes included
  WORD stream = 0;
  DWORD tStart = 0;  // milliseconds
  BYTE reserved = 0;
  BYTE flags = 0;  // 2: key frame
  std::vector<BYTE> pData;
};

// The fixed head of a RealVideo stream's type-specific data.
struct RMVideoFormat {
  static constexpr size_t kSize = 34;
  DWORD dwSize = 0;
  BYTE fcc1[4] = {};
  BYTE fcc2[4] = {};  // RV10, RV20, RV30, RV40, RV41
  WORD w = 0, h = 0, bpp = 0;
  DWORD unk1 = 0;
  DWORD fps = 0;  // 16.16
  DWORD type1 = 0;  // sub-format word
  DWORD type2 = 0;  // codec version

  // The codec four-character code as a little-endian number ("RV40" is
  // 0x30345652).
  DWORD Codec() const;
  // From the first kSize bytes; false when there are fewer.
  bool Parse(const BYTE* data, size_t size);
};

// A RealAudio stream's header (".ra\xFD", version 4 or 5) found inside its
// type-specific data. Every field lies within the data it was read from.
struct RMAudioFormat {
  // The common head.
  WORD version = 0;
  WORD headerVersion = 0;
  DWORD headerSize = 0;
  WORD flavor = 0;
  DWORD codedFrameSize = 0;
  WORD subPacketH = 0;
  WORD frameSize = 0;
  WORD subPacketSize = 0;
  // The version-dependent part.
  WORD sampleRate = 0;
  WORD sampleSize = 0;
  WORD channels = 0;
  std::string interleaver;
  BYTE codec[4] = {};  // as stored; all zero when the header names none
  // Offset of the header inside the data, and of the codec data (after its
  // length field) and its length, both within the data.
  size_t offset = 0;
  size_t codecDataOffset = 0;
  size_t codecDataLength = 0;

  // Scans `data` for the header and reads it. False when there is no
  // header, its version is not 4 or 5, or a fixed field runs past the data.
  // A missing codec-data length counts as none; a length running past the
  // data is cut to what is there.
  bool Parse(const BYTE* data, size_t size);
  // Finds the header: the offset of the first 2E 72 61 FD, or npos.
  static size_t Find(const BYTE* data, size_t size);
};

// Properties of a "logical-fileinfo" stream, a later name replacing an
// earlier one.
std::map<std::string, std::string> ParseLogicalFileInfo(const BYTE* data, size_t size);

// The picture size coded in a RealVideo 4 frame header ("RV40" or "RV41"
// form). False when the header runs past the data.
bool ReadRv40PictureSize(const BYTE* data, size_t size, bool rv41Form, DWORD& width, DWORD& height,
                         bool* interlaced = nullptr);

// The header of one sub-packet of a RealVideo packet payload (a whole
// frame, a slice, or a piece of one).
struct RVSubPacket {
  BYTE header = 0;
  size_t headerBytes = 0;  // bytes before the frame bytes
  DWORD frameLength = 0;
  DWORD offset = 0;  // of these bytes inside the frame
  bool hasTimestamp = false;  // a 0xC0 sub-packet: the offset field was a time
  DWORD timestamp = 0;        // milliseconds
  bool singleSlice = false;
  // Frame bytes this sub-packet carries, of `remaining` after its header.
  size_t Bytes(size_t remaining) const {
    size_t left = frameLength - offset;
    return left < remaining ? left : remaining;
  }
};

// Frames longer than this are not assembled: no RealVideo picture comes
// near it, and the length is taken from the file.
inline constexpr DWORD kMaxRVFrameLength = 32u << 20;

// Reads a sub-packet header at `data`. False when it runs past `size`, its
// offset lies outside the frame, or the frame is longer than
// kMaxRVFrameLength.
bool ParseRVSubPacket(const BYTE* data, size_t size, RVSubPacket& sp);

class CRMFile : public CBaseSplitterFile {
 public:
  CRMFile(IAsyncReader* reader, HRESULT* phr);

  // One packet header at the current position; with `full` the payload is
  // read into h.pData, else skipped. A packet of an unknown version reads
  // as stream 0xFFFF and length 0.
  HRESULT Read(RMMediaPacketHeader& h, bool full = true);
  using CBaseSplitterFile::Read;

  // True when a packet header of a known stream lies at `pos` with its
  // length within the chunk ending at `end`; with `confirm`, behind it must
  // lie the chunk's end or another such header too (a place found by
  // searching is taken only then).
  bool PacketAt(LONGLONG pos, LONGLONG end, bool confirm);
  // The first position from `from` on where a confirmed packet lies, or
  // -1; every position is tried, so a damaged stretch is passed over.
  LONGLONG FindPacket(LONGLONG from, LONGLONG end);
  // A packet of a known stream within the data chunk ending at `end`, as
  // the resync after damage looks for it.
  Unit PacketUnit(LONGLONG end);

  // The stream the seek index is kept for: the first RealVideo stream, else
  // the first RealAudio stream, else 0xFFFFFFFF.
  DWORD GetIndexStream() const;

  RMFileHeader m_fh;
  RMProperties m_p;
  RMContentDescription m_cd;
  std::vector<RMMediaProperties> m_mps;
  std::vector<RMDataChunk> m_dcs;
  std::vector<RMIndexRecord> m_irs;
  std::vector<RMSubtitle> m_subs;

  // Header chunks larger than this are not read (a DATA chunk is never
  // read whole).
  static constexpr DWORD kMaxHeaderChunk = 64u << 20;
  // At least this much is read for a header chunk's fields, in case its
  // size is below what they take.
  static constexpr LONGLONG kMinHeaderRead = 4096;

 private:
  HRESULT Init();
  void ProbePictureSizes(const RMDataChunk& dc);
  // A header's fields from its 12 bytes: version 0 or 1, a length that
  // holds the header and a stream the file describes.
  bool KnownHeader(const BYTE* head, WORD& length) const;
};
