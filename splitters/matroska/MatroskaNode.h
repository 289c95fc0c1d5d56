// The lowest layer of the Matroska reader: typed EBML values, element
// identifier and size coding, and the node that walks the element tree of
// the file as a cursor without loading it.
//
// Every size read from the file is checked against what the file holds
// before anything is allocated for it, and a child element never reaches
// past the end of its parent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/dshow/DShow.h"

namespace MatroskaReader {

class CMatroskaFile;
class CMatroskaNode;

using QWORD = uint64_t;

// Element identifiers the reader itself needs.
enum : DWORD {
  kIdEbml = 0x1A45DFA3,
  kIdSegment = 0x18538067,
  kIdSeekHead = 0x114D9B74,
  kIdInfo = 0x1549A966,
  kIdTracks = 0x1654AE6B,
  kIdCues = 0x1C53BB6B,
  kIdChapters = 0x1043A770,
  kIdAttachments = 0x1941A469,
  kIdTags = 0x1254C367,
  kIdCluster = 0x1F43B675,
  kIdTimecode = 0xE7,
  kIdBlockGroup = 0xA0,
  kIdBlock = 0xA1,
  kIdSimpleBlock = 0xA3,
};

// A value with a valid flag: false until a parse succeeds, or until a
// record's constructor gives it a default.
template <class T, class Derived>
class CSimpleVar {
 public:
  CSimpleVar() = default;
  virtual ~CSimpleVar() = default;
  CSimpleVar(const CSimpleVar&) = default;
  CSimpleVar& operator=(const CSimpleVar&) = default;

  operator T() const { return m_val; }
  T Value() const { return m_val; }
  Derived& Set(T v) {
    m_val = v;
    m_fValid = true;
    return static_cast<Derived&>(*this);
  }
  bool IsValid() const { return m_fValid; }
  // Reads the payload of the element whose header `pMN` has just read.
  virtual HRESULT Parse(CMatroskaNode* pMN) = 0;

 protected:
  T m_val{};
  bool m_fValid = false;
};

// Big-endian unsigned integer of up to 8 bytes; size 0 is 0.
class CUInt : public CSimpleVar<UINT64, CUInt> {
 public:
  HRESULT Parse(CMatroskaNode* pMN) override;
};

// Big-endian two's-complement integer of up to 8 bytes; size 0 is 0.
class CInt : public CSimpleVar<INT64, CInt> {
 public:
  HRESULT Parse(CMatroskaNode* pMN) override;
};

// IEEE single (4 bytes) or double (8 bytes); other sizes fail.
class CFloat : public CSimpleVar<double, CFloat> {
 public:
  HRESULT Parse(CMatroskaNode* pMN) override;
};

// An element identifier with its length-marker bits kept (1 to 4 bytes).
class CID : public CSimpleVar<DWORD, CID> {
 public:
  HRESULT Parse(CMatroskaNode* pMN) override;
};

// An element size or lacing size (1 to 8 bytes). All ones is an unknown
// size: the rest of the file from behind the field.
class CLength : public CSimpleVar<UINT64, CLength> {
 public:
  explicit CLength(bool fSigned = false) : m_fSigned(fSigned) {}
  HRESULT Parse(CMatroskaNode* pMN) override;
  // The field was all ones: the size stands for the rest of the file
  // until the element's real end is found.
  bool Unknown() const { return m_fUnknown; }
  void SetKnown(UINT64 v) {
    Set(v);
    m_fUnknown = false;
  }

 protected:
  bool m_fSigned;
  bool m_fUnknown = false;
};

// A signed lacing size difference: the coded value less half its range.
class CSignedLength : public CLength {
 public:
  CSignedLength() : CLength(true) {}
  INT64 Signed() const { return static_cast<INT64>(m_val); }
};

// Exactly one byte, whatever the element's size (block header fields).
class CByte : public CSimpleVar<BYTE, CByte> {
 public:
  HRESULT Parse(CMatroskaNode* pMN) override;
};

// Exactly two bytes, big-endian, signed (block header fields).
class CShort : public CSimpleVar<short, CShort> {
 public:
  HRESULT Parse(CMatroskaNode* pMN) override;
};

// Raw bytes of the element.
class CBinary : public std::vector<BYTE> {
 public:
  HRESULT Parse(CMatroskaNode* pMN);
  // The bytes as text, up to the first zero byte.
  std::string ToString() const;
};

// 8-bit text, taken as it stands up to the first zero byte.
class CANSI : public std::string {
 public:
  HRESULT Parse(CMatroskaNode* pMN);
};

// UTF-8 text, kept wide.
class CUTF8 : public std::wstring {
 public:
  HRESULT Parse(CMatroskaNode* pMN);
};

// One element header at one place in the file, used as a cursor.
class CMatroskaNode {
 public:
  // The root: the whole file.
  explicit CMatroskaNode(CMatroskaFile* pMF);
  // An element read at the reader's current position; check IsValid.
  explicit CMatroskaNode(CMatroskaNode* pParent);
  CMatroskaNode(const CMatroskaNode&) = default;
  CMatroskaNode& operator=(const CMatroskaNode&) = delete;

  // Re-reads the header at the reader's current position.
  HRESULT Parse();
  bool IsValid() const { return m_fValid; }

  // The first child (id 0), or the first child with that identifier.
  std::unique_ptr<CMatroskaNode> Child(DWORD id = 0, bool fSearch = true);
  // Moves to the next sibling (with fSame, to the next one of the same
  // identifier).
  bool Next(bool fSame = false);
  // Moves to the sibling with that identifier, through the seek index
  // when the parent is the Segment.
  bool Find(DWORD id, bool fSearch = true);
  // Scans forward, from a damaged element, for a top-level element of the
  // Segment or for a block of a Cluster that the file's structure confirms.
  // `noteTail`: when nothing is found, the damage is told as running to
  // the end of the file.
  bool Resync(bool noteTail = true);

  // The first place in [from, to) where a block of a known track begins
  // that the structure behind it confirms; 0 when none.
  QWORD FindBlock(QWORD from, QWORD to);

  // The first block (BlockGroup or SimpleBlock) among the children.
  std::unique_ptr<CMatroskaNode> GetFirstBlock();
  // The next sibling that is a block.
  bool NextBlock();

  std::unique_ptr<CMatroskaNode> Copy() const { return std::make_unique<CMatroskaNode>(*this); }

  // Reader access for the value parsers.
  void SeekTo(QWORD pos);
  QWORD GetPos() const;
  QWORD GetLength() const;
  // S_OK only when every byte was read.
  HRESULT Read(BYTE* data, QWORD length);
  template <class T>
  HRESULT Read(T& var) {
    return var.Parse(this);
  }
  // Bytes the element's payload may still hold from the reader's position,
  // bounded by the file's end: what a parser may allocate.
  QWORD PayloadLeft() const;

  QWORD DataPos() const { return m_filepos; }
  QWORD StartPos() const { return m_start; }
  QWORD EndPos() const { return m_filepos + m_len; }
  DWORD Id() const { return m_id; }
  QWORD Size() const { return m_len; }
  CMatroskaNode* Parent() const { return m_pParent; }
  CMatroskaFile* File() const { return m_pMF; }

  CID m_id;
  CLength m_len;
  // Where the header begins and where the payload begins.
  QWORD m_start = 0;
  QWORD m_filepos = 0;

 private:
  // The size read ran past the parent's payload and was cut back to it.
  bool m_fOverran = false;
  // Keeps the payload inside the parent's payload.
  void ClampToParent();
  // Whether the element read stands where it was found: among a Cluster's
  // or the Segment's children only their own kinds do (anything else
  // there is damage); elsewhere anything goes.
  bool Expected() const;
  bool ResyncInCluster();
  // At `pos`: a block of a known track whose payload ends within `end`,
  // followed by `end` or another element a Cluster or Segment may hold.
  bool BlockAt(QWORD pos, QWORD end);
  // An element of unknown size ends where an element that cannot be its
  // child begins: true when `id` is such an element for this node.
  bool EndedBy(DWORD id) const;
  // Finds the end of an element of unknown size by walking the headers of
  // its payload.
  void FindUnknownEnd();

  CMatroskaNode* m_pParent = nullptr;
  CMatroskaFile* m_pMF = nullptr;
  bool m_fValid = false;
};

}  // namespace MatroskaReader
