// The Matroska file model: the EBML header, the Segment's Info, seek index,
// tracks, cue index, chapters and attachments, and the cluster and block
// records the demux parses as it goes. Records parse their children in any
// order; unknown children are passed over and repeated scalars overwrite.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "foundation/BaseSplitterFile.h"
#include "splitters/matroska/MatroskaNode.h"

namespace MatroskaReader {

// An owning list of child records.
template <class T>
class CNode : public std::vector<std::unique_ptr<T>> {
 public:
  // Parses one child record and appends it when its parse succeeds.
  HRESULT Parse(CMatroskaNode* pMN);
};

class EBML {
 public:
  CUInt EBMLVersion, EBMLReadVersion, EBMLMaxIDLength, EBMLMaxSizeLength;
  CANSI DocType;
  CUInt DocTypeVersion, DocTypeReadVersion;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Info {
 public:
  Info();
  CBinary SegmentUID, PrevUID, NextUID;
  CUTF8 SegmentFilename, PrevFilename, NextFilename;
  CUInt TimeCodeScale;  // nanoseconds per unit
  CFloat Duration;
  CInt DateUTC;
  CUTF8 Title, MuxingApp, WritingApp;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Seek {
 public:
  CID SeekID;
  CUInt SeekPosition;
  HRESULT Parse(CMatroskaNode* pMN);
};

class SeekHead {
 public:
  CNode<Seek> SeekList;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Video {
 public:
  CUInt FlagInterlaced, StereoMode, PixelWidth, PixelHeight, DisplayWidth, DisplayHeight, DisplayUnit,
      AspectRatioType, ColourSpace;
  CFloat GammaValue, FrameRate;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Audio {
 public:
  Audio();
  CFloat SamplingFrequency, OutputSamplingFrequency;
  CUInt Channels;
  CBinary ChannelPositions;
  CUInt BitDepth;
  HRESULT Parse(CMatroskaNode* pMN);
};

class ContentCompression {
 public:
  ContentCompression();
  CUInt ContentCompAlgo;
  enum { ZLIB = 0, BZLIB = 1, LZO1X = 2, HDRSTRIP = 3 };
  CBinary ContentCompSettings;
  HRESULT Parse(CMatroskaNode* pMN);
};

class ContentEncryption {
 public:
  ContentEncryption();
  CUInt ContentEncAlgo;
  CBinary ContentEncKeyID, ContentSignature, ContentSigKeyID;
  CUInt ContentSigAlgo, ContentSigHashAlgo;
  HRESULT Parse(CMatroskaNode* pMN);
};

class ContentEncoding {
 public:
  ContentEncoding();
  CUInt ContentEncodingOrder;
  CUInt ContentEncodingScope;  // 1 frames, 2 codec private data
  enum { AllFrameContents = 1, TracksPrivateData = 2, NextContentEncoding = 4 };
  CUInt ContentEncodingType;  // 0 compression, 1 encryption
  enum { Compression = 0, Encryption = 1 };
  ContentCompression cc;
  ContentEncryption ce;
  HRESULT Parse(CMatroskaNode* pMN);
};

class ContentEncodings {
 public:
  CNode<ContentEncoding> ce;
  HRESULT Parse(CMatroskaNode* pMN);
};

class TrackEntry {
 public:
  enum { TypeVideo = 1, TypeAudio = 2, TypeComplex = 3, TypeLogo = 0x10, TypeSubtitle = 0x11, TypeControl = 0x20 };
  TrackEntry();
  CUInt TrackNumber, TrackUID, TrackType;
  CUInt FlagEnabled, FlagDefault, FlagLacing;
  CUInt MinCache, MaxCache;
  CUTF8 Name;
  CANSI Language;
  CBinary CodecID;
  CBinary CodecPrivate;
  CUTF8 CodecName, CodecSettings;
  CANSI CodecInfoURL, CodecDownloadURL;
  CUInt CodecDecodeAll, TrackOverlay;
  CUInt DefaultDuration;  // nanoseconds
  CFloat TrackTimecodeScale;
  enum { DescVideo = 1, DescAudio = 2 };
  int DescType = 0;
  Video v;
  Audio a;
  ContentEncodings ces;
  HRESULT Parse(CMatroskaNode* pMN);

  // The codec identifier as text.
  std::string GetCodecID() const { return CodecID.ToString(); }
  // Undoes the track's content encodings on `data` for the scopes in
  // `scope` (1 frames, 2 codec private data); false when one cannot be
  // undone (encryption, an unknown algorithm, a damaged or oversized
  // compressed stream).
  bool ApplyContentEncodings(std::vector<BYTE>& data, UINT64 scope = ContentEncoding::AllFrameContents) const;
  bool HasContentEncodings() const { return !ces.ce.empty(); }
};

class Track {
 public:
  CNode<TrackEntry> te;
  HRESULT Parse(CMatroskaNode* pMN);
};

class CueReference {
 public:
  CUInt CueRefTime, CueRefCluster, CueRefNumber, CueRefCodecState;
  HRESULT Parse(CMatroskaNode* pMN);
};

class CueTrackPosition {
 public:
  CUInt CueTrack, CueClusterPosition, CueCodecState;
  CNode<CueReference> CueReferences;
  HRESULT Parse(CMatroskaNode* pMN);
};

class CuePoint {
 public:
  CUInt CueTime;
  CNode<CueTrackPosition> CueTrackPositions;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Cue {
 public:
  CNode<CuePoint> CuePoints;
  HRESULT Parse(CMatroskaNode* pMN);
};

class ChapterDisplay {
 public:
  ChapterDisplay();
  CUTF8 ChapString;
  CANSI ChapLanguage, ChapCountry;
  HRESULT Parse(CMatroskaNode* pMN);
};

class ChapterAtom {
 public:
  ChapterAtom();
  CUInt ChapterUID;
  CUInt ChapterTimeStart, ChapterTimeEnd;  // nanoseconds
  CUInt ChapterFlagHidden, ChapterFlagEnabled;
  CNode<ChapterDisplay> ChapterDisplays;
  CNode<ChapterAtom> ChapterAtoms;
  // `depth`: how deep this atom is nested; atoms nested deeper than the
  // reader follows are passed over.
  HRESULT Parse(CMatroskaNode* pMN, int depth = 0);
  ChapterAtom* FindChapterAtom(UINT64 id, int depth = 0);

  static constexpr int kMaxDepth = 32;
};

class EditionEntry : public ChapterAtom {
 public:
  HRESULT Parse(CMatroskaNode* pMN);
};

class Chapter {
 public:
  CNode<EditionEntry> EditionEntries;
  HRESULT Parse(CMatroskaNode* pMN);
};

class AttachedFile {
 public:
  CUTF8 FileDescription, FileName;
  CANSI FileMimeType;
  // Where the file's data lies; the data itself is read on demand.
  QWORD FileDataPos = 0, FileDataLen = 0;
  CUInt FileUID;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Attachment {
 public:
  CNode<AttachedFile> AttachedFiles;
  HRESULT Parse(CMatroskaNode* pMN);
};

class Block {
 public:
  CLength TrackNumber;
  CInt TimeCode;  // signed 16 bits, relative to the cluster
  CByte Lacing;   // the flags byte
  std::vector<std::vector<BYTE>> BlockData;  // the frames
  // With fFull false only the three header fields are read.
  HRESULT Parse(CMatroskaNode* pMN, bool fFull);
  // Bytes of every frame together.
  size_t DataSize() const;
};

class BlockMore {
 public:
  BlockMore();
  CUInt BlockAddID;
  CBinary BlockAdditional;
  HRESULT Parse(CMatroskaNode* pMN);
};

class BlockAdditions {
 public:
  CNode<BlockMore> bm;
  HRESULT Parse(CMatroskaNode* pMN);
};

class TimeSlice {
 public:
  CUInt LaceNumber, FrameNumber, BlockAdditionID, Delay;
  HRESULT Parse(CMatroskaNode* pMN);
};

class BlockGroup {
 public:
  Block b;
  CUInt BlockDuration;
  CUInt ReferencePriority;
  CInt ReferenceBlock;
  CInt ReferenceVirtual;
  CBinary CodecState;
  CNode<TimeSlice> TimeSlices;
  BlockAdditions ba;
  HRESULT Parse(CMatroskaNode* pMN, bool fFull);
};

// The SimpleBlock form: read into the Block of a fresh group.
class SimpleBlock : public Block {
 public:
  // A SimpleBlock without the key-frame flag gets ReferenceBlock 0 in the
  // group, so both forms tell key frames apart the same way.
  static HRESULT ParseInto(CMatroskaNode* pMN, bool fFull, BlockGroup& group);
};

class Cluster {
 public:
  CUInt TimeCode;
  // Reads the Timecode child only; the blocks are reached by the nodes.
  HRESULT ParseTimeCode(CMatroskaNode* pMN);
};

class Segment {
 public:
  QWORD pos = 0, len = 0;
  Info SegmentInfo;
  CNode<SeekHead> MetaSeekInfo;
  CNode<Track> Tracks;
  CNode<Cue> Cues;
  CNode<Attachment> Attachments;
  CNode<Chapter> Chapters;
  HRESULT Parse(CMatroskaNode* pMN);
  // The absolute position of the first Seek entry for `id` at or after
  // `minp`; 0 when the index has none.
  QWORD FindPos(DWORD id, QWORD minp = 0) const;
  // The index-th edition's root (uid 0) or the atom with that uid in it.
  ChapterAtom* GetChapter(UINT64 id, int nEditionEntry = 0);
  // The track entry of that number, or null.
  TrackEntry* FindTrackEntry(UINT64 number) const;
  // Times in 100 ns from timecode units (cluster plus block timecodes
  // may pass 64 bits), saturated instead of overflowing.
  REFERENCE_TIME ToRefTime(__int128 timecode) const;
  // The scale in use: TimeCodeScale, or the default when the file gives 0.
  UINT64 Scale() const;
};

class CMatroskaFile : public CBaseSplitterFile {
 public:
  CMatroskaFile(IAsyncReader* pAsyncReader, HRESULT& hr);
  ~CMatroskaFile() override = default;

  // True when the whole file is available (not a file still arriving).
  bool IsRandomAccess();

  EBML m_ebml;
  Segment m_segment;
  // The time of the first cluster in 100 ns, the zero of the output.
  REFERENCE_TIME m_rtOffset = 0;
  // Where another file appended to this one begins (a second EBML header);
  // 0 when none does.
  LONGLONG m_appendedAt = 0;

 private:
  HRESULT Init();
};

// Splits Xiph-laced packets (a count byte, then sizes summed over bytes up
// to the first below 255, the last packet the rest); false when the sizes
// run past the data.
bool SplitXiphLaced(const BYTE* data, size_t length, std::vector<std::vector<BYTE>>& packets);

}  // namespace MatroskaReader
