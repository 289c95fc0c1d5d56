#include "splitters/matroska/MatroskaNode.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/CodePage.h"
#include "splitters/matroska/MatroskaFile.h"

namespace MatroskaReader {

namespace {

// The element's payload of at most 8 bytes as a big-endian number.
HRESULT ReadBigEndian(CMatroskaNode* pMN, UINT64& v, QWORD& len) {
  if (!pMN) return E_POINTER;
  len = pMN->m_len;
  if (len > 8) return E_FAIL;
  BYTE buf[8];
  HRESULT hr = pMN->Read(buf, len);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  v = 0;
  for (QWORD i = 0; i < len; i++) v = (v << 8) | buf[i];
  return S_OK;
}

bool IsTopLevel(DWORD id) {
  switch (id) {
    case kIdSeekHead:
    case kIdInfo:
    case kIdTracks:
    case kIdCues:
    case kIdChapters:
    case kIdAttachments:
    case kIdTags:
    case kIdCluster: return true;
    default: return false;
  }
}

// The level at which an element of the published table stands (0 for
// the EBML header and the Segment, 1 for the Segment's children, 2 for a
// Cluster's children), or -1 when it is none the reader knows.
int KnownLevel(DWORD id) {
  if (id == kIdEbml || id == kIdSegment) return 0;
  if (IsTopLevel(id)) return 1;
  switch (id) {
    case kIdTimecode:
    case 0x5854:  // SilentTracks
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case 0xAF:    // EncryptedBlock
    case kIdBlockGroup:
    case kIdSimpleBlock: return 2;
    default: return -1;
  }
}

// What may stand among a Cluster's children, and among the Segment's.
bool IsClusterChild(DWORD id) {
  switch (id) {
    case kIdTimecode:
    case 0x5854:  // SilentTracks
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case kIdBlockGroup:
    case kIdSimpleBlock:
    case 0xAF:  // EncryptedBlock
    case 0xEC:  // Void
    case 0xBF:  // CRC-32
      return true;
    default:
      return false;
  }
}

bool IsSegmentChild(DWORD id) { return IsTopLevel(id) || id == 0xEC || id == 0xBF; }

}  // namespace

// ---------------------------------------------------------------------------
// Values

HRESULT CUInt::Parse(CMatroskaNode* pMN) {
  UINT64 v = 0;
  QWORD len = 0;
  HRESULT hr = ReadBigEndian(pMN, v, len);
  if (FAILED(hr)) return hr;
  Set(v);
  return S_OK;
}

HRESULT CInt::Parse(CMatroskaNode* pMN) {
  UINT64 v = 0;
  QWORD len = 0;
  HRESULT hr = ReadBigEndian(pMN, v, len);
  if (FAILED(hr)) return hr;
  // Sign extension by masking, so that no shift reaches 64 bits.
  if (len > 0 && len < 8 && (v >> (len * 8 - 1)) & 1) v |= ~0ULL << (len * 8);
  Set(static_cast<INT64>(v));
  return S_OK;
}

HRESULT CFloat::Parse(CMatroskaNode* pMN) {
  if (!pMN) return E_POINTER;
  if (pMN->m_len != 4 && pMN->m_len != 8) return E_FAIL;
  UINT64 bits = 0;
  QWORD len = 0;
  HRESULT hr = ReadBigEndian(pMN, bits, len);
  if (FAILED(hr)) return hr;
  if (len == 4) {
    const auto b32 = static_cast<uint32_t>(bits);
    float f;
    std::memcpy(&f, &b32, sizeof f);
    Set(f);
  } else {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    Set(d);
  }
  return S_OK;
}

HRESULT CID::Parse(CMatroskaNode* pMN) {
  BYTE b = 0;
  HRESULT hr = pMN->Read(&b, 1);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  int more = 0;
  if (b & 0x80)
    more = 0;
  else if (b & 0x40)
    more = 1;
  else if (b & 0x20)
    more = 2;
  else if (b & 0x10)
    more = 3;
  else
    return E_FAIL;
  DWORD v = b;
  BYTE rest[3];
  if (more > 0) {
    hr = pMN->Read(rest, static_cast<QWORD>(more));
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    for (int i = 0; i < more; i++) v = (v << 8) | rest[i];
  }
  Set(v);
  return S_OK;
}

HRESULT CLength::Parse(CMatroskaNode* pMN) {
  BYTE b = 0;
  HRESULT hr = pMN->Read(&b, 1);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  if (b == 0) return E_FAIL;
  int n = 1;
  while (!(b & (0x80 >> (n - 1)))) n++;
  UINT64 v = b & (0xFFu >> n);
  BYTE rest[7];
  if (n > 1) {
    hr = pMN->Read(rest, static_cast<QWORD>(n - 1));
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    for (int i = 0; i < n - 1; i++) v = (v << 8) | rest[i];
  }
  const UINT64 allOnes = (1ULL << (7 * n)) - 1;
  m_fUnknown = v == allOnes && !m_fSigned;
  if (v == allOnes) {
    // Unknown size: the rest of the file.
    const QWORD length = pMN->GetLength(), pos = pMN->GetPos();
    v = length > pos ? length - pos : 0;
  }
  if (m_fSigned) v -= allOnes >> 1;
  Set(v);
  return S_OK;
}

HRESULT CByte::Parse(CMatroskaNode* pMN) {
  BYTE b = 0;
  HRESULT hr = pMN->Read(&b, 1);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  Set(b);
  return S_OK;
}

HRESULT CShort::Parse(CMatroskaNode* pMN) {
  BYTE b[2];
  HRESULT hr = pMN->Read(b, 2);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  Set(static_cast<short>(static_cast<uint16_t>((b[0] << 8) | b[1])));
  return S_OK;
}

HRESULT CBinary::Parse(CMatroskaNode* pMN) {
  if (!pMN) return E_POINTER;
  const QWORD len = pMN->m_len;
  // Nothing is allocated for bytes the file does not hold.
  if (len > pMN->PayloadLeft()) return E_FAIL;
  clear();
  resize(static_cast<size_t>(len));
  HRESULT hr = pMN->Read(data(), len);
  if (hr != S_OK) {
    clear();
    return FAILED(hr) ? hr : E_FAIL;
  }
  return S_OK;
}

std::string CBinary::ToString() const {
  const auto zero = std::find(begin(), end(), BYTE(0));
  return std::string(begin(), zero);
}

HRESULT CANSI::Parse(CMatroskaNode* pMN) {
  CBinary bytes;
  HRESULT hr = bytes.Parse(pMN);
  if (FAILED(hr)) return hr;
  assign(bytes.ToString());
  return S_OK;
}

HRESULT CUTF8::Parse(CMatroskaNode* pMN) {
  CBinary bytes;
  HRESULT hr = bytes.Parse(pMN);
  if (FAILED(hr)) return hr;
  assign(Utf8ToWide(bytes.ToString()));
  return S_OK;
}

// ---------------------------------------------------------------------------
// Node

CMatroskaNode::CMatroskaNode(CMatroskaFile* pMF) : m_pMF(pMF) {
  m_id.Set(0);
  m_len.Set(pMF ? static_cast<QWORD>(std::max<LONGLONG>(0, pMF->GetLength())) : 0);
  m_fValid = pMF != nullptr;
}

CMatroskaNode::CMatroskaNode(CMatroskaNode* pParent) : m_pParent(pParent), m_pMF(pParent->m_pMF) { Parse(); }

HRESULT CMatroskaNode::Parse() {
  m_fValid = false;
  m_fOverran = false;
  m_start = GetPos();
  if (FAILED(m_id.Parse(this)) || FAILED(m_len.Parse(this))) return E_FAIL;
  m_filepos = GetPos();
  m_fValid = true;
  CMatroskaNode* parent = m_pParent;
  if (parent && parent->m_len.Unknown() && m_start >= parent->m_filepos && parent->EndedBy(m_id)) {
    // This element begins after the parent of unknown size: the parent
    // ends here and this is none of its children.
    parent->m_len.SetKnown(m_start - parent->m_filepos);
    m_fValid = false;
    return E_FAIL;
  }
  ClampToParent();
  return m_fValid ? S_OK : E_FAIL;
}

bool CMatroskaNode::EndedBy(DWORD id) const {
  const int level = KnownLevel(id);
  if (level < 0) return false;
  // The root stands for the file: its children are at level 0.
  int depth = -1;
  for (const CMatroskaNode* p = m_pParent; p; p = p->m_pParent) depth++;
  return level <= depth;
}

void CMatroskaNode::FindUnknownEnd() {
  const QWORD length = GetLength();
  QWORD pos = m_filepos;
  // Every step moves forward by at least one header, so the walk ends.
  while (m_len.Unknown() && pos < length) {
    SeekTo(pos);
    const CMatroskaNode child(this);
    if (!m_len.Unknown()) break;  // the child's header ended this element
    if (!child.IsValid()) {
      // Damage ends the element; what follows is found by resync.
      m_len.SetKnown(pos - m_filepos);
      break;
    }
    // A child of unknown size is walked into: its own children end both.
    pos = child.m_len.Unknown() ? child.m_filepos : child.EndPos();
  }
  if (m_len.Unknown()) m_len.SetKnown(m_len);
}

void CMatroskaNode::ClampToParent() {
  // Top-level elements are left as they are: the file may still grow.
  if (!m_pParent || !m_pParent->m_pParent) return;
  const QWORD parentEnd = m_pParent->EndPos();
  if (m_filepos > parentEnd) {
    m_fValid = false;
    return;
  }
  if (static_cast<QWORD>(m_len) <= parentEnd - m_filepos) return;
  // A block that runs past its cluster, with the cluster's next element
  // behind it: the cluster's size is what damage (bytes added) left short.
  const QWORD length = GetLength();
  if (m_pParent->m_id == kIdCluster && BlockAt(m_start, length)) {
    m_pParent->m_len.SetKnown(length - m_pParent->m_filepos);
    SeekTo(m_filepos);
    return;
  }
  SeekTo(m_filepos);
  m_len.Set(parentEnd - m_filepos);
  m_fOverran = true;
}

std::unique_ptr<CMatroskaNode> CMatroskaNode::Child(DWORD id, bool fSearch) {
  if (m_len == 0) return nullptr;
  SeekTo(m_filepos);
  auto child = std::make_unique<CMatroskaNode>(this);
  if (!child->IsValid() || !child->Expected()) {
    // Damage right at the start of the Segment's or a Cluster's payload
    // can be skipped.
    if ((m_id != kIdSegment && m_id != kIdCluster) || !child->Resync()) return nullptr;
  }
  if (id == 0) return child;
  if (child->Find(id, fSearch)) return child;
  return nullptr;
}

bool CMatroskaNode::Find(DWORD id, bool fSearch) {
  if (m_pParent && m_pParent->m_id == kIdSegment && m_pMF) {
    const QWORD pos = m_pMF->m_segment.FindPos(id);
    if (pos) {
      const CMatroskaNode saved(*this);
      SeekTo(pos);
      if (Parse() == S_OK && m_id == id) return true;
      // An index entry pointing elsewhere: look where the element would
      // be found without an index.
      m_id = saved.m_id;
      m_len = saved.m_len;
      m_start = saved.m_start;
      m_filepos = saved.m_filepos;
      m_fValid = saved.m_fValid;
    }
  }
  if (fSearch) {
    while (m_id != id && Next()) {
    }
  }
  return m_id == id;
}

bool CMatroskaNode::Next(bool fSame) {
  if (!m_pParent) return false;
  // Below the top level an element of unknown size is followed by what
  // comes after its last child; at the top it runs to the end of the file.
  if (m_len.Unknown() && m_pParent->m_pParent) FindUnknownEnd();
  const DWORD oldId = m_id;
  QWORD pos = EndPos();
  // A Segment child other than a Cluster (which may run past the end of a
  // file still being written) whose size runs past the Segment or the
  // file: the size is damaged, and the next top-level element is looked
  // for from its payload on. Nothing found, the walk ends as it would.
  if (m_pParent->m_id == kIdSegment && m_id != kIdCluster && m_fValid && !m_len.Unknown() &&
      (m_fOverran || pos > GetLength())) {
    const CMatroskaNode saved(*this);
    m_start = m_filepos;
    if (!Resync(false)) {
      m_id = saved.m_id;
      m_len = saved.m_len;
      m_start = saved.m_start;
      m_filepos = saved.m_filepos;
      m_fValid = saved.m_fValid;
      m_fOverran = saved.m_fOverran;
      return false;
    }
    if (!fSame || m_id == oldId) return true;
    pos = EndPos();
  }
  for (;;) {
    // A cluster that bytes added by damage left too short: blocks that go
    // on past its end are its own.
    if (pos >= m_pParent->EndPos() &&
        !(m_pParent->m_id == kIdCluster && pos < GetLength() && BlockAt(pos, GetLength()) &&
          (m_pParent->m_len.SetKnown(GetLength() - m_pParent->m_filepos), true)))
      return false;
    // A parent whose size runs past the file ends with the file.
    if (pos >= GetLength()) return false;
    SeekTo(pos);
    if (Parse() != S_OK || !Expected()) {
      // The element read there may have ended a parent of unknown size.
      if (pos >= m_pParent->EndPos() || !Resync()) return false;
    }
    if (!fSame || m_id == oldId) return true;
    const QWORD next = EndPos();
    // Every step moves forward by at least one header.
    if (next <= pos) return false;
    pos = next;
  }
}

bool CMatroskaNode::Expected() const {
  if (!m_pParent) return true;
  if (m_pParent->m_id == kIdCluster) return IsClusterChild(m_id);
  if (m_pParent->m_id == kIdSegment) return IsSegmentChild(m_id);
  return true;
}

namespace {

DWORD FourByteId(const BYTE* b) { return DWORD(b[0]) << 24 | DWORD(b[1]) << 16 | DWORD(b[2]) << 8 | b[3]; }

LONGLONG ToFilePos(QWORD pos) { return pos > static_cast<QWORD>(INT64_MAX) ? INT64_MAX : static_cast<LONGLONG>(pos); }

}  // namespace

bool CMatroskaNode::Resync(bool noteTail) {
  if (!m_pParent || !m_pMF) return false;
  if (m_pParent->m_id == kIdCluster) return ResyncInCluster();
  if (m_pParent->m_id != kIdSegment) return false;
  const QWORD from = m_start;
  const QWORD length = GetLength();
  // A top-level element by its four-byte ID, whose size reads too.
  CBaseSplitterFile::Unit unit;
  unit.header = 4;
  unit.holds = [this](LONGLONG pos, const BYTE* b) {
    if ((b[0] & 0xF0) != 0x10 || !IsTopLevel(FourByteId(b))) return false;
    SeekTo(static_cast<QWORD>(pos));
    return Parse() == S_OK;
  };
  const LONGLONG found = m_pMF->Resync(ToFilePos(from), ToFilePos(length), unit,
                                       noteTail ? CBaseSplitterFile::Tail::ToEnd : CBaseSplitterFile::Tail::Silent);
  if (found >= 0) {
    SeekTo(static_cast<QWORD>(found));
    if (Parse() == S_OK) return true;
  }
  m_fValid = false;
  return false;
}

bool CMatroskaNode::BlockAt(QWORD pos, QWORD end) {
  SeekTo(pos);
  CID id;
  CLength len;
  if (FAILED(id.Parse(this)) || FAILED(len.Parse(this)) || len.Unknown()) return false;
  const QWORD data = GetPos();
  if (data > end || static_cast<QWORD>(len) > end - data) return false;
  if (id == kIdBlockGroup) {
    // A group that begins with its block.
    CID child;
    CLength childLen;
    if (FAILED(child.Parse(this)) || child != kIdBlock || FAILED(childLen.Parse(this))) return false;
  } else if (id != kIdSimpleBlock) {
    return false;
  }
  CLength track;
  if (FAILED(track.Parse(this)) || !m_pMF->m_segment.FindTrackEntry(track)) return false;
  const QWORD next = data + len;
  if (next == end) return true;
  SeekTo(next);
  CID nextId;
  CLength nextLen;
  return SUCCEEDED(nextId.Parse(this)) && SUCCEEDED(nextLen.Parse(this)) &&
         (IsClusterChild(nextId) || IsTopLevel(nextId));
}

QWORD CMatroskaNode::FindBlock(QWORD from, QWORD to) {
  if (!m_pMF) return 0;
  const LONGLONG found = m_pMF->ScanFor(ToFilePos(from), ToFilePos(to), 2, [this, to](LONGLONG pos, const BYTE* b) {
    return (b[0] == kIdSimpleBlock || b[0] == kIdBlockGroup) && BlockAt(static_cast<QWORD>(pos), to);
  });
  return found > 0 ? static_cast<QWORD>(found) : 0;
}

bool CMatroskaNode::ResyncInCluster() {
  CMatroskaNode& cluster = *m_pParent;
  const QWORD from = m_start, end = cluster.EndPos();
  // What follows the clusters, standing where a block was looked for (the
  // cluster's size being off): no damage, the cluster ends here.
  if (IsTopLevel(m_id) && m_fValid) {
    cluster.m_len.SetKnown(from - cluster.m_filepos);
    m_fValid = false;
    return false;
  }
  // The next block the cluster's structure confirms; or the next cluster
  // (or what follows the clusters) inside this one: damage in this one's
  // size, which ends here.
  CBaseSplitterFile::Unit unit;
  unit.header = 4;
  unit.holds = [this, from, end](LONGLONG pos, const BYTE* b) {
    // The damaged element's own place was tried already.
    if (static_cast<QWORD>(pos) == from) return false;
    if (b[0] == kIdSimpleBlock || b[0] == kIdBlockGroup) {
      if (!BlockAt(static_cast<QWORD>(pos), end)) return false;
      SeekTo(static_cast<QWORD>(pos));
      return Parse() == S_OK;
    }
    if ((b[0] & 0xF0) != 0x10 || !IsTopLevel(FourByteId(b))) return false;
    SeekTo(static_cast<QWORD>(pos) + 4);
    CLength len;
    return SUCCEEDED(len.Parse(this));
  };
  const LONGLONG found = m_pMF->Resync(ToFilePos(from), ToFilePos(end), unit, CBaseSplitterFile::Tail::Within);
  if (found >= 0) {
    BYTE b = 0;
    SeekTo(static_cast<QWORD>(found));
    if (Read(&b, 1) == S_OK && (b == kIdSimpleBlock || b == kIdBlockGroup)) {
      SeekTo(static_cast<QWORD>(found));
      if (Parse() == S_OK) return true;
    } else {
      cluster.m_len.SetKnown(static_cast<QWORD>(found) - cluster.m_filepos);
    }
  }
  m_fValid = false;
  return false;
}

std::unique_ptr<CMatroskaNode> CMatroskaNode::GetFirstBlock() {
  std::unique_ptr<CMatroskaNode> pNext = Child();
  if (!pNext) return nullptr;
  do {
    if (pNext->m_id == kIdBlockGroup || pNext->m_id == kIdSimpleBlock) return pNext;
  } while (pNext->Next());
  return nullptr;
}

bool CMatroskaNode::NextBlock() {
  while (Next()) {
    if (m_id == kIdBlockGroup || m_id == kIdSimpleBlock) return true;
  }
  return false;
}

void CMatroskaNode::SeekTo(QWORD pos) {
  if (!m_pMF) return;
  // Positions past what a signed offset holds are past the end anyway.
  const LONGLONG p = pos > static_cast<QWORD>(INT64_MAX) ? INT64_MAX : static_cast<LONGLONG>(pos);
  m_pMF->Seek(p);
}

QWORD CMatroskaNode::GetPos() const { return m_pMF ? static_cast<QWORD>(m_pMF->GetPos()) : 0; }

QWORD CMatroskaNode::GetLength() const {
  return m_pMF ? static_cast<QWORD>(std::max<LONGLONG>(0, m_pMF->GetLength())) : 0;
}

HRESULT CMatroskaNode::Read(BYTE* data, QWORD length) {
  if (!m_pMF) return E_POINTER;
  if (length == 0) return S_OK;
  if (length > static_cast<QWORD>(INT64_MAX)) return E_FAIL;
  HRESULT hr = m_pMF->Read(data, static_cast<LONGLONG>(length));
  if (FAILED(hr)) return hr;
  return hr == S_OK ? S_OK : E_FAIL;
}

QWORD CMatroskaNode::PayloadLeft() const {
  const QWORD pos = GetPos(), end = EndPos(), length = GetLength();
  const QWORD limit = std::min(end, length);
  return limit > pos ? limit - pos : 0;
}

}  // namespace MatroskaReader
