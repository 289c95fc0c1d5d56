#include "mp4/MP4MoovAtom.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4LeafAtoms.h"

// ---------------------------------------------------------------------------
// trak

MP4_TrakAtom::MP4_TrakAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_ContainerAtom(MP4_FourCC("trak"), size, false, stream, factory) {
  m_TkhdAtom = dynamic_cast<MP4_TkhdAtom*>(GetChild(MP4_FourCC("tkhd")));
}

MP4_UI64 MP4_TrakAtom::GetDuration() const { return m_TkhdAtom ? m_TkhdAtom->GetDuration() : 0; }

MP4_UI32 MP4_TrakAtom::GetId() const { return m_TkhdAtom ? m_TkhdAtom->GetTrackId() : 0; }

// ---------------------------------------------------------------------------
// moov

MP4_MoovAtom::MP4_MoovAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_ContainerAtom(MP4_FourCC("moov"), size, false, stream, factory) {
  ReadCompressedMovie(factory);
  for (MP4_Atom* child : m_Children)
    if (auto* trak = dynamic_cast<MP4_TrakAtom*>(child)) m_TrakAtoms.Add(trak);
}

bool MP4_MoovAtom::Inflate(const MP4_Byte* data, MP4_Size size, MP4_Size limit, std::vector<MP4_Byte>& out) {
  out.clear();
  if (!data || size == 0 || limit == 0) return false;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = size;
  bool ok = false;
  size_t produced = 0;
  try {
    out.resize(std::min<size_t>(limit, std::max<size_t>(4096, static_cast<size_t>(size) * 4)));
    for (;;) {
      if (produced == out.size()) {
        if (out.size() >= limit) break;  // more than it may grow to
        out.resize(std::min<size_t>(limit, out.size() * 2));
      }
      zs.next_out = out.data() + produced;
      zs.avail_out = static_cast<uInt>(out.size() - produced);
      const int r = inflate(&zs, Z_NO_FLUSH);
      produced = out.size() - zs.avail_out;
      if (r == Z_STREAM_END) {
        ok = true;
        break;
      }
      if (r != Z_OK && r != Z_BUF_ERROR) break;
      // No more input, or room left over: all there is has come out.
      if (zs.avail_in == 0 || zs.avail_out > 0) {
        ok = r == Z_OK || zs.avail_in == 0;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  inflateEnd(&zs);
  if (!ok || produced == 0) {
    out.clear();
    return false;
  }
  out.resize(produced);
  return true;
}

void MP4_MoovAtom::ReadCompressedMovie(MP4_AtomFactory& factory) {
  // A compressed movie inside a compressed movie is not inflated again: the
  // nesting would multiply the memory taken.
  if (factory.InCompressedMovie()) return;
  auto* cmov = dynamic_cast<MP4_ContainerAtom*>(GetChild(MP4_FourCC("cmov")));
  if (!cmov) return;
  auto* dcom = dynamic_cast<MP4_DcomAtom*>(cmov->GetChild(MP4_FourCC("dcom")));
  auto* cmvd = dynamic_cast<MP4_CmvdAtom*>(cmov->GetChild(MP4_FourCC("cmvd")));
  if (!dcom || !cmvd || dcom->GetCompressorSubType() != MP4_FourCC("zlib")) return;

  const MP4_UI32 declared = cmvd->GetUncompressedSize();
  const MP4_Size limit = declared > 0 && declared <= kMaxInflatedSize ? declared : kMaxInflatedSize;
  std::vector<MP4_Byte> bytes;
  const MP4_DataBuffer& packed = cmvd->GetCompressedData();
  if (!Inflate(packed.GetData(), packed.GetDataSize(), limit, bytes)) return;

  // The stream owns the bytes: unknown atoms read from it keep it alive.
  auto* memory = new (std::nothrow) MP4_MemoryByteStream(std::move(bytes));
  if (!memory) return;
  const MP4_UI32 before = m_Children.ItemCount();
  factory.SetInCompressedMovie(true);
  MP4_LargeSize available = memory->GetRemaining();
  ReadChildren(factory, *memory, available);
  factory.SetInCompressedMovie(false);
  memory->Release();

  // The inner moov's children move up into this one; the inner moov goes.
  MP4_MoovAtom* inner = nullptr;
  MP4_UI32 i = 0;
  for (MP4_Atom* child : m_Children) {
    if (i++ >= before && (inner = dynamic_cast<MP4_MoovAtom*>(child))) break;
  }
  if (!inner) return;
  std::vector<MP4_Atom*> moved(inner->m_Children.begin(), inner->m_Children.end());
  inner->m_Children.Clear();
  inner->m_TrakAtoms.Clear();
  for (MP4_Atom* child : moved) {
    child->SetParent(this);
    m_Children.Add(child);
  }
  m_Children.Remove(inner);
  delete inner;
}

void MP4_MoovAtom::OnChildAdded(MP4_Atom* child) {
  if (auto* trak = dynamic_cast<MP4_TrakAtom*>(child)) m_TrakAtoms.Add(trak);
  MP4_ContainerAtom::OnChildAdded(child);
}

void MP4_MoovAtom::OnChildRemoved(MP4_Atom* child) {
  if (auto* trak = dynamic_cast<MP4_TrakAtom*>(child)) m_TrakAtoms.Remove(trak);
  MP4_ContainerAtom::OnChildRemoved(child);
}
