#include "mp4/MP4AtomFactory.h"

#include <algorithm>
#include <new>

#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4LeafAtoms.h"
#include "mp4/MP4MoovAtom.h"
#include "mp4/MP4SampleEntry.h"
#include "mp4/MP4SampleTableAtoms.h"

MP4_AtomFactory MP4_AtomFactory::DefaultFactory;

namespace {

constexpr MP4_UI32 kGenericContainers[] = {
    MP4_FourCC("dinf"), MP4_FourCC("edts"), MP4_FourCC("mdia"), MP4_FourCC("minf"), MP4_FourCC("stbl"),
    MP4_FourCC("tref"), MP4_FourCC("udta"), MP4_FourCC("ilst"), MP4_FourCC("hnti"), MP4_FourCC("cmov"),
    MP4_FourCC("sinf"), MP4_FourCC("schi"), MP4_FourCC("wave"), MP4_FourCC("trkn"),
    MP4_FourCC('\xA9', 'n', 'a', 'm'), MP4_FourCC('\xA9', 'A', 'R', 'T'), MP4_FourCC('\xA9', 'a', 'l', 'b'),
    MP4_FourCC('\xA9', 'c', 'm', 't'), MP4_FourCC('\xA9', 'd', 'a', 'y'), MP4_FourCC('\xA9', 'g', 'e', 'n'),
    MP4_FourCC('\xA9', 't', 'o', 'o'), MP4_FourCC('\xA9', 'w', 'r', 't')};

constexpr MP4_UI32 kQuickTimeAudio[] = {MP4_FourCC(".mp3"), MP4_FourCC("QDM2"), MP4_FourCC("QDMC"),
                                        MP4_FourCC("ima4"), MP4_FourCC("samr"), MP4_FourCC("sowt"),
                                        MP4_FourCC("twos")};

constexpr MP4_UI32 kQuickTimeVideo[] = {MP4_FourCC("cvid"), MP4_FourCC("h263"), MP4_FourCC("s263"),
                                        MP4_FourCC("SVQ1"), MP4_FourCC("SVQ2"), MP4_FourCC("SVQ3")};

template <size_t N>
bool In(const MP4_UI32 (&list)[N], MP4_UI32 type) {
  return std::find(std::begin(list), std::end(list), type) != std::end(list);
}

}  // namespace

MP4_Result MP4_AtomFactory::AddTypeHandler(TypeHandler* handler) {
  if (!handler) return MP4_ERROR_INVALID_PARAMETERS;
  m_TypeHandlers.push_back(handler);
  return MP4_SUCCESS;
}

MP4_Result MP4_AtomFactory::RemoveTypeHandler(TypeHandler* handler) {
  auto it = std::find(m_TypeHandlers.begin(), m_TypeHandlers.end(), handler);
  if (it == m_TypeHandlers.end()) return MP4_ERROR_NO_SUCH_ITEM;
  m_TypeHandlers.erase(it);
  return MP4_SUCCESS;
}

MP4_Result MP4_AtomFactory::CreateAtomFromStream(MP4_ByteStream& stream, MP4_Atom*& atom) {
  // What is left of the stream from here: an atom that claims more is
  // broken (or cut short), and the atoms before it stand.
  MP4_LargeSize available = stream.GetRemaining();
  return ReadAtom(stream, available, atom, nullptr);
}

MP4_Result MP4_AtomFactory::ReadAtom(MP4_ByteStream& stream, MP4_LargeSize& bytes_available, MP4_Atom*& atom,
                                     MP4_AtomParent* parent) {
  atom = nullptr;
  if (bytes_available < 8) return MP4_ERROR_EOS;

  MP4_Position start = 0;
  MP4_Result r = stream.Tell(start);
  if (MP4_FAILED(r)) return r;
  auto fail = [&](MP4_Result result) {
    stream.Seek(start);
    return result;
  };

  MP4_UI32 size32 = 0;
  MP4_UI32 type = 0;
  if (MP4_FAILED(r = stream.ReadUI32(size32)) || MP4_FAILED(r = stream.ReadUI32(type))) return fail(r);
  MP4_LargeSize size = size32;
  bool large = false;
  if (size32 == 0) {
    // To the end of the stream.
    MP4_LargeSize stream_size = 0;
    stream.GetSize(stream_size);
    size = stream_size >= start ? stream_size - start : 0;
  } else if (size32 == 1) {
    // A 64-bit size, taken whole: an atom above 4 GB (a large mdat) is
    // stepped over, and what follows it is read.
    MP4_UI64 size64 = 0;
    if (MP4_FAILED(r = stream.ReadUI64(size64))) return fail(r);
    size = size64;
    large = true;
  }
  if (size < (large ? 16u : 8u) || size > bytes_available) return fail(MP4_ERROR_INVALID_FORMAT);
  if (m_Depth >= kMaxDepth || (m_Depth > 0 && m_AtomCount >= kMaxAtoms)) return fail(MP4_ERROR_INVALID_FORMAT);

  m_Depth++;
  MP4_Result created = MP4_SUCCESS;
  atom = CreateAtomFromType(type, MP4_AtomSize(size, large), stream, parent, created);
  m_Depth--;
  if (m_Depth > 0) m_AtomCount++;

  bytes_available -= size;
  // Wherever the atom's own reading stopped, the next one starts here.
  r = stream.Seek(start + size);
  if (MP4_FAILED(created) || !atom) {
    delete atom;
    atom = nullptr;
    return MP4_FAILED(created) ? created : MP4_ERROR_OUT_OF_MEMORY;
  }
  if (MP4_FAILED(r)) {
    delete atom;
    atom = nullptr;
    return r;
  }
  return MP4_SUCCESS;
}

bool MP4_AtomFactory::HasTypeHandler(MP4_Atom::Type type, MP4_AtomSize size, MP4_ByteStream& stream,
                                     MP4_Atom*& atom) {
  for (TypeHandler* handler : m_TypeHandlers)
    if (MP4_SUCCEEDED(handler->CreateAtom(type, size, stream, atom)) && atom) return true;
  atom = nullptr;
  return false;
}

MP4_Atom* MP4_AtomFactory::CreateAtomFromType(MP4_Atom::Type type, MP4_AtomSize size, MP4_ByteStream& stream,
                                              MP4_AtomParent* parent, MP4_Result& result) {
  result = MP4_SUCCESS;
  const bool in_stsd = dynamic_cast<MP4_StsdAtom*>(parent) != nullptr;
  MP4_Atom* atom = nullptr;

  if (In(kGenericContainers, type)) {
    const MP4_Atom::Type saved = m_Context;
    m_Context = type;
    atom = new (std::nothrow) MP4_ContainerAtom(type, size, false, stream, *this);
    m_Context = saved;
    return atom;
  }

  switch (type) {
    case MP4_FourCC("moov"):
      return new (std::nothrow) MP4_MoovAtom(size, stream, *this);
    case MP4_FourCC("trak"):
      m_TrackHandler = 0;
      return new (std::nothrow) MP4_TrakAtom(size, stream, *this);
    case MP4_FourCC("meta"):
      return new (std::nothrow) MP4_ContainerAtom(type, size, true, stream, *this);
    case MP4_FourCC("mvhd"):
      return new (std::nothrow) MP4_MvhdAtom(size, stream);
    case MP4_FourCC("tkhd"):
      return new (std::nothrow) MP4_TkhdAtom(size, stream);
    case MP4_FourCC("mdhd"):
      return new (std::nothrow) MP4_MdhdAtom(size, stream);
    case MP4_FourCC("hdlr"): {
      auto* hdlr = new (std::nothrow) MP4_HdlrAtom(size, stream);
      // The media's handler, not the data handler QuickTime puts in minf.
      if (hdlr && m_Context == MP4_FourCC("mdia")) m_TrackHandler = hdlr->GetHandlerType();
      return hdlr;
    }
    case MP4_FourCC("vmhd"):
      return new (std::nothrow) MP4_VmhdAtom(size, stream);
    case MP4_FourCC("smhd"):
      return new (std::nothrow) MP4_SmhdAtom(size, stream);
    case MP4_FourCC("nmhd"):
      return new (std::nothrow) MP4_NmhdAtom(size, stream);
    case MP4_FourCC("dref"):
      return new (std::nothrow) MP4_DrefAtom(size, stream, *this);
    case MP4_FourCC("url "):
      return new (std::nothrow) MP4_UrlAtom(size, stream);
    case MP4_FourCC("stco"):
      return new (std::nothrow) MP4_StcoAtom(size, stream);
    case MP4_FourCC("co64"):
      return new (std::nothrow) MP4_Co64Atom(size, stream);
    case MP4_FourCC("hmhd"):
      return new (std::nothrow) MP4_HmhdAtom(size, stream);
    case MP4_FourCC("elst"):
      return new (std::nothrow) MP4_ElstAtom(size, stream);
    case MP4_FourCC("stsd"):
      return new (std::nothrow) MP4_StsdAtom(size, stream, *this);
    case MP4_FourCC("stts"):
      return new (std::nothrow) MP4_SttsAtom(size, stream);
    case MP4_FourCC("ctts"):
      return new (std::nothrow) MP4_CttsAtom(size, stream);
    case MP4_FourCC("stss"):
      return new (std::nothrow) MP4_StssAtom(size, stream);
    case MP4_FourCC("stsz"):
      return new (std::nothrow) MP4_StszAtom(size, stream);
    case MP4_FourCC("stsc"):
      return new (std::nothrow) MP4_StscAtom(size, stream);
    case MP4_FourCC("esds"):
      return new (std::nothrow) MP4_EsdsAtom(size, stream);
    case MP4_FourCC("avcC"):
      return new (std::nothrow) MP4_AvcCAtom(size, stream);
    case MP4_FourCC("ftyp"):
      return new (std::nothrow) MP4_FtypAtom(size, stream);
    case MP4_FourCC("ftab"):
      return new (std::nothrow) MP4_FtabAtom(size, stream);
    case MP4_FourCC("chpl"):
      return new (std::nothrow) MP4_ChplAtom(size, stream);
    case MP4_FourCC("cmvd"):
      return new (std::nothrow) MP4_CmvdAtom(size, stream);
    case MP4_FourCC("dcom"):
      return new (std::nothrow) MP4_DcomAtom(size, stream);
    case MP4_FourCC("data"):
      return new (std::nothrow) MP4_DataAtom(size, stream);
    case MP4_FourCC("frma"):
      return new (std::nothrow) MP4_FrmaAtom(size, stream);
    case MP4_FourCC("schm"):
      return new (std::nothrow) MP4_SchmAtom(size, stream);
    case MP4_FourCC("iKMS"):
      return new (std::nothrow) MP4_IkmsAtom(size, stream);
    case MP4_FourCC("iSFM"):
      return new (std::nothrow) MP4_IsfmAtom(size, stream);
    case MP4_FourCC("sdp "):
      return new (std::nothrow) MP4_SdpAtom(size, stream);
    case MP4_FourCC("tims"):
      return new (std::nothrow) MP4_TimsAtom(size, stream);
    case MP4_FourCC("enda"):
      return new (std::nothrow) MP4_EndaAtom(size, stream);
    case MP4_FourCC("hint"):
      return new (std::nothrow) MP4_TrefTypeAtom(type, size, stream);
    case MP4_FourCC("rtp "):
      if (m_Context == MP4_FourCC("hnti")) return new (std::nothrow) MP4_RtpAtom(size, stream);
      atom = new (std::nothrow) MP4_RtpHintSampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("mp4a"):
      if (in_stsd) {
        atom = new (std::nothrow) MP4_Mp4aSampleEntry(size, stream, *this);
      } else {
        return new (std::nothrow) MP4_UnknownAtom(type, size, stream);
      }
      break;
    case MP4_FourCC("mp4v"):
      atom = new (std::nothrow) MP4_Mp4vSampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("mp4s"):
      atom = new (std::nothrow) MP4_Mp4sSampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("avc1"):
      atom = new (std::nothrow) MP4_Avc1SampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("encv"):
      atom = new (std::nothrow) MP4_EncvSampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("enca"):
      atom = new (std::nothrow) MP4_EncaSampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("tx3g"):
      atom = new (std::nothrow) MP4_Tx3gSampleEntry(size, stream, *this);
      break;
    case MP4_FourCC("text"):
      atom = new (std::nothrow) MP4_TextSampleEntry(size, stream, *this);
      break;
    default:
      if (In(kQuickTimeAudio, type) || (in_stsd && (type >> 16) == ('m' << 8 | 's'))) {
        atom = new (std::nothrow) MP4_AudioSampleEntry(type, size, stream, *this);
      } else if (In(kQuickTimeVideo, type)) {
        atom = new (std::nothrow) MP4_VisualSampleEntry(type, size, stream, *this);
      } else if (HasTypeHandler(type, size, stream, atom)) {
        return atom;
      } else if (in_stsd && m_TrackHandler == MP4_FourCC("soun")) {
        // Any other entry of a sound or picture track has the ISO layout
        // of its kind (ALAC, lpcm, in24, ac-3, jpeg, hvc1, ...).
        atom = new (std::nothrow) MP4_AudioSampleEntry(type, size, stream, *this);
      } else if (in_stsd && m_TrackHandler == MP4_FourCC("vide")) {
        atom = new (std::nothrow) MP4_VisualSampleEntry(type, size, stream, *this);
      } else {
        return new (std::nothrow) MP4_UnknownAtom(type, size, stream);
      }
      break;
  }
  if (auto* entry = dynamic_cast<MP4_SampleEntry*>(atom)) result = entry->GetReadResult();
  return atom;
}
