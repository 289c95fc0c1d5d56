#include "mp4/MP4HeaderAtoms.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "mp4/MP4AtomFactory.h"

namespace {

constexpr MP4_UI32 kMvhd = MP4_FourCC("mvhd");
constexpr MP4_UI32 kTkhd = MP4_FourCC("tkhd");
constexpr MP4_UI32 kMdhd = MP4_FourCC("mdhd");
constexpr MP4_UI32 kHdlr = MP4_FourCC("hdlr");

// Names are text up to the first zero byte, and never longer than this.
constexpr MP4_LargeSize kMaxNameBytes = 64 * 1024;

std::string TextUpToZero(const std::vector<MP4_Byte>& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), 0);
  return std::string(bytes.begin(), end);
}

MP4_Result WriteZeros(MP4_ByteStream& stream, MP4_LargeSize count) {
  static const MP4_Byte zeros[256] = {};
  while (count > 0) {
    const MP4_Size n = static_cast<MP4_Size>(std::min<MP4_LargeSize>(count, sizeof(zeros)));
    MP4_Result r = stream.WriteFully(zeros, n);
    if (MP4_FAILED(r)) return r;
    count -= n;
  }
  return MP4_SUCCESS;
}

// The four times of mvhd and mdhd (tkhd puts two fields between them).
void ReadTimes(MP4_FieldReader& in, MP4_UI32 version, MP4_UI64& creation, MP4_UI64& modification,
               MP4_UI32& scale, MP4_UI64& duration) {
  if (version == 0) {
    creation = in.UI32();
    modification = in.UI32();
    scale = in.UI32();
    duration = in.UI32();
  } else if (version == 1) {
    creation = in.UI64();
    modification = in.UI64();
    scale = in.UI32();
    duration = in.UI64();
  }
}

MP4_Result WriteTimes(MP4_ByteStream& out, MP4_UI32 version, MP4_UI64 creation, MP4_UI64 modification,
                      MP4_UI32 scale, MP4_UI64 duration) {
  MP4_Result r = MP4_SUCCESS;
  if (version == 0) {
    if (MP4_FAILED(r = out.WriteUI32(static_cast<MP4_UI32>(creation))) ||
        MP4_FAILED(r = out.WriteUI32(static_cast<MP4_UI32>(modification))) || MP4_FAILED(r = out.WriteUI32(scale)) ||
        MP4_FAILED(r = out.WriteUI32(static_cast<MP4_UI32>(duration))))
      return r;
  } else if (version == 1) {
    if (MP4_FAILED(r = out.WriteUI64(creation)) || MP4_FAILED(r = out.WriteUI64(modification)) ||
        MP4_FAILED(r = out.WriteUI32(scale)) || MP4_FAILED(r = out.WriteUI64(duration)))
      return r;
  }
  return r;
}

}  // namespace

std::vector<MP4_Byte> MP4_ReadTable(MP4_ByteStream& stream, MP4_UI32 count, MP4_Size entry_size,
                                    MP4_LargeSize bytes) {
  const MP4_LargeSize fit = std::min<MP4_LargeSize>(count, bytes / entry_size);
  MP4_FieldReader in(stream, fit * entry_size);
  std::vector<MP4_Byte> table = in.Rest(fit * entry_size);
  table.resize(table.size() / entry_size * entry_size);
  return table;
}

int MP4_MatrixTurn(const MP4_UI32 (&matrix)[9]) {
  // x' = a x + c y, y' = b x + d y with a, b, c, d the entries 0, 1, 3, 4
  // (16.16); a turn has equal magnitudes on one diagonal and zeros on the
  // other.
  const int64_t a = static_cast<int32_t>(matrix[0]), b = static_cast<int32_t>(matrix[1]);
  const int64_t c = static_cast<int32_t>(matrix[3]), d = static_cast<int32_t>(matrix[4]);
  if (b == 0 && c == 0 && a != 0 && a == d) return a > 0 ? 0 : 180;
  if (a == 0 && d == 0 && b != 0 && b == -c) return b > 0 ? 90 : 270;
  return -1;
}

// ---------------------------------------------------------------------------
// mvhd

MP4_MvhdAtom::MP4_MvhdAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(kMvhd, size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  ReadTimes(in, m_Version, m_CreationTime, m_ModificationTime, m_TimeScale, m_Duration);
  m_Rate = in.UI32();
  m_Volume = in.UI16();
  in.Bytes(m_Reserved1, sizeof(m_Reserved1));
  in.Bytes(m_Reserved2, sizeof(m_Reserved2));
  for (MP4_UI32& m : m_Matrix) m = in.UI32();
  in.Bytes(m_Predefined, sizeof(m_Predefined));
  m_NextTrackId = in.UI32();
}

MP4_MvhdAtom::MP4_MvhdAtom(MP4_UI32 time_scale, MP4_UI64 duration)
    : MP4_Atom(kMvhd, MP4_AtomSize(12 + 96), true), m_TimeScale(time_scale), m_Duration(duration) {
  if (duration > 0xFFFFFFFFull) {
    m_Version = 1;
    SetSize(12 + 108);
  }
}

MP4_Result MP4_MvhdAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = WriteTimes(out, m_Version, m_CreationTime, m_ModificationTime, m_TimeScale, m_Duration);
  if (MP4_FAILED(r) || MP4_FAILED(r = out.WriteUI32(m_Rate)) || MP4_FAILED(r = out.WriteUI16(m_Volume)) ||
      MP4_FAILED(r = out.WriteFully(m_Reserved1, sizeof(m_Reserved1))) ||
      MP4_FAILED(r = out.WriteFully(m_Reserved2, sizeof(m_Reserved2))))
    return r;
  for (MP4_UI32 m : m_Matrix)
    if (MP4_FAILED(r = out.WriteUI32(m))) return r;
  if (MP4_FAILED(r = out.WriteFully(m_Predefined, sizeof(m_Predefined)))) return r;
  return out.WriteUI32(m_NextTrackId);
}

MP4_UI32 MP4_MvhdAtom::GetDurationMs() const {
  return m_TimeScale ? static_cast<MP4_UI32>(ConvertTime(m_Duration, m_TimeScale, 1000)) : 0;
}

MP4_Result MP4_MvhdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("timescale", m_TimeScale);
  inspector.AddField("duration", m_Duration);
  inspector.AddField("duration(ms)", GetDurationMs());
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// tkhd

MP4_TkhdAtom::MP4_TkhdAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(kTkhd, size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  if (m_Version == 0) {
    m_CreationTime = in.UI32();
    m_ModificationTime = in.UI32();
    m_TrackId = in.UI32();
    m_Reserved1 = in.UI32();
    m_Duration = in.UI32();
  } else if (m_Version == 1) {
    m_CreationTime = in.UI64();
    m_ModificationTime = in.UI64();
    m_TrackId = in.UI32();
    m_Reserved1 = in.UI32();
    m_Duration = in.UI64();
  }
  in.Bytes(m_Reserved2, sizeof(m_Reserved2));
  m_Layer = in.UI16();
  m_AlternateGroup = in.UI16();
  m_Volume = in.UI16();
  m_Reserved3 = in.UI16();
  for (MP4_UI32& m : m_Matrix) m = in.UI32();
  m_Width = in.UI32();
  m_Height = in.UI32();
}

MP4_Result MP4_TkhdAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = MP4_SUCCESS;
  if (m_Version == 0) {
    if (MP4_FAILED(r = out.WriteUI32(static_cast<MP4_UI32>(m_CreationTime))) ||
        MP4_FAILED(r = out.WriteUI32(static_cast<MP4_UI32>(m_ModificationTime))) ||
        MP4_FAILED(r = out.WriteUI32(m_TrackId)) || MP4_FAILED(r = out.WriteUI32(m_Reserved1)) ||
        MP4_FAILED(r = out.WriteUI32(static_cast<MP4_UI32>(m_Duration))))
      return r;
  } else if (m_Version == 1) {
    if (MP4_FAILED(r = out.WriteUI64(m_CreationTime)) || MP4_FAILED(r = out.WriteUI64(m_ModificationTime)) ||
        MP4_FAILED(r = out.WriteUI32(m_TrackId)) || MP4_FAILED(r = out.WriteUI32(m_Reserved1)) ||
        MP4_FAILED(r = out.WriteUI64(m_Duration)))
      return r;
  }
  if (MP4_FAILED(r = out.WriteFully(m_Reserved2, sizeof(m_Reserved2))) || MP4_FAILED(r = out.WriteUI16(m_Layer)) ||
      MP4_FAILED(r = out.WriteUI16(m_AlternateGroup)) || MP4_FAILED(r = out.WriteUI16(m_Volume)) ||
      MP4_FAILED(r = out.WriteUI16(m_Reserved3)))
    return r;
  for (MP4_UI32 m : m_Matrix)
    if (MP4_FAILED(r = out.WriteUI32(m))) return r;
  if (MP4_FAILED(r = out.WriteUI32(m_Width))) return r;
  return out.WriteUI32(m_Height);
}

MP4_Result MP4_TkhdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("enabled", m_Flags & 1);
  inspector.AddField("id", m_TrackId);
  inspector.AddField("duration", m_Duration);
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// mdhd

MP4_MdhdAtom::MP4_MdhdAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(kMdhd, size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  ReadTimes(in, m_Version, m_CreationTime, m_ModificationTime, m_TimeScale, m_Duration);
  const MP4_UI16 lang = in.UI16();
  const int codes[3] = {(lang >> 10) & 0x1F, (lang >> 5) & 0x1F, lang & 0x1F};
  for (int i = 0; i < 3; i++) m_Language[i] = codes[i] ? static_cast<char>(codes[i] + 0x60) : 0;
  m_Language[3] = 0;
  // QuickTime files may hold a Macintosh language code or 0x7FFF
  // (unspecified) instead: characters outside a to z make no language.
  for (int i = 0; i < 3 && m_Language[i]; i++) {
    if (m_Language[i] < 'a' || m_Language[i] > 'z') {
      m_Language[0] = 0;
      break;
    }
  }
}

MP4_UI32 MP4_MdhdAtom::GetDurationMs() const {
  return m_TimeScale ? static_cast<MP4_UI32>(ConvertTime(m_Duration, m_TimeScale, 1000)) : 0;
}

MP4_Result MP4_MdhdAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = WriteTimes(out, m_Version, m_CreationTime, m_ModificationTime, m_TimeScale, m_Duration);
  if (MP4_FAILED(r)) return r;
  MP4_UI16 lang = 0;
  for (int i = 0; i < 3; i++) {
    const int c = m_Language[i] ? (m_Language[i] - 0x60) & 0x1F : 0;
    lang = static_cast<MP4_UI16>(lang | (c << (10 - 5 * i)));
  }
  if (MP4_FAILED(r = out.WriteUI16(lang))) return r;
  return out.WriteUI16(0);
}

MP4_Result MP4_MdhdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("timescale", m_TimeScale);
  inspector.AddField("duration", m_Duration);
  inspector.AddField("duration(ms)", GetDurationMs());
  char lang[4];
  for (int i = 0; i < 3; i++) lang[i] = m_Language[i] ? m_Language[i] : '-';
  lang[3] = 0;
  inspector.AddField("language", lang);
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// hdlr

MP4_HdlrAtom::MP4_HdlrAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(kHdlr, size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  in.Skip(4);
  m_HandlerType = in.UI32();
  in.Skip(12);
  std::vector<MP4_Byte> name = in.Rest(kMaxNameBytes);
  // QuickTime files give the name as a length byte and the text; the
  // length byte would otherwise lead every pin name.
  if (!name.empty() && name[0] != 0 && name[0] == name.size() - 1 &&
      std::find(name.begin() + 1, name.end(), 0) == name.end()) {
    name.erase(name.begin());
  }
  m_HandlerName = TextUpToZero(name);
}

MP4_HdlrAtom::MP4_HdlrAtom(MP4_UI32 handler_type, const char* handler_name)
    : MP4_Atom(kHdlr, MP4_AtomSize(12 + 20 + (handler_name ? std::strlen(handler_name) : 0) + 1), true),
      m_HandlerType(handler_type),
      m_HandlerName(handler_name ? handler_name : "") {}

MP4_Result MP4_HdlrAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r;
  if (MP4_FAILED(r = out.WriteUI32(0)) || MP4_FAILED(r = out.WriteUI32(m_HandlerType)) ||
      MP4_FAILED(r = WriteZeros(out, 12)))
    return r;
  MP4_LargeSize room = GetPayloadSize() > 20 ? GetPayloadSize() - 20 : 0;
  const MP4_LargeSize name = std::min<MP4_LargeSize>(m_HandlerName.size(), room);
  if (name && MP4_FAILED(r = out.WriteFully(m_HandlerName.data(), static_cast<MP4_Size>(name)))) return r;
  return WriteZeros(out, room - name);
}

MP4_Result MP4_HdlrAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("handler_type", FourCharsToString(m_HandlerType).c_str());
  inspector.AddField("handler_name", m_HandlerName.c_str());
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// vmhd, smhd, nmhd

MP4_VmhdAtom::MP4_VmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("vmhd"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_GraphicsMode = in.UI16();
  in.Bytes(m_OpColor, sizeof(m_OpColor));
}

MP4_Result MP4_VmhdAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = out.WriteUI16(m_GraphicsMode);
  if (MP4_FAILED(r)) return r;
  return out.WriteFully(m_OpColor, sizeof(m_OpColor));
}

MP4_Result MP4_VmhdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("graphics_mode", m_GraphicsMode);
  char text[32];
  std::snprintf(text, sizeof(text), "%04x,%04x,%04x", (m_OpColor[0] << 8) | m_OpColor[1],
                (m_OpColor[2] << 8) | m_OpColor[3], (m_OpColor[4] << 8) | m_OpColor[5]);
  inspector.AddField("op_color", text);
  return MP4_SUCCESS;
}

MP4_SmhdAtom::MP4_SmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("smhd"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_Balance = in.UI16();
  m_Reserved = in.UI16();
}

MP4_Result MP4_SmhdAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = out.WriteUI16(m_Balance);
  if (MP4_FAILED(r)) return r;
  return out.WriteUI16(m_Reserved);
}

MP4_Result MP4_SmhdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("balance", m_Balance);
  return MP4_SUCCESS;
}

MP4_NmhdAtom::MP4_NmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("nmhd"), size, true, stream) {}

// ---------------------------------------------------------------------------
// dref, url

MP4_DrefAtom::MP4_DrefAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_ContainerAtom(MP4_FourCC("dref"), size, true, stream) {
  if (GetPayloadSize() < 4) return;
  stream.ReadUI32(m_EntryCount);
  ReadChildren(factory, stream, GetPayloadSize() - 4);
}

MP4_Result MP4_DrefAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = out.WriteUI32(m_EntryCount);
  if (MP4_FAILED(r)) return r;
  return MP4_ContainerAtom::WriteFields(out);
}

MP4_Result MP4_DrefAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_EntryCount);
  return InspectChildren(inspector);
}

MP4_UrlAtom::MP4_UrlAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("url "), size, true, stream) {
  if (m_Flags & 1) return;  // the data is in this file
  MP4_FieldReader in(stream, GetPayloadSize());
  m_Location = TextUpToZero(in.Rest(kMaxNameBytes));
}

MP4_Result MP4_UrlAtom::WriteFields(MP4_ByteStream& out) {
  if (m_Flags & 1) return MP4_SUCCESS;
  const MP4_LargeSize room = GetPayloadSize();
  const MP4_LargeSize text = std::min<MP4_LargeSize>(m_Location.size(), room ? room - 1 : 0);
  MP4_Result r = MP4_SUCCESS;
  if (text && MP4_FAILED(r = out.WriteFully(m_Location.data(), static_cast<MP4_Size>(text)))) return r;
  return WriteZeros(out, room - text);
}

MP4_Result MP4_UrlAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("location", (m_Flags & 1) ? "[local to file]" : m_Location.c_str());
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// stco, co64

MP4_StcoAtom::MP4_StcoAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("stco"), size, true, stream) {
  if (GetPayloadSize() < 4) return;
  MP4_UI32 count = 0;
  if (MP4_FAILED(stream.ReadUI32(count))) return;
  const std::vector<MP4_Byte> table = MP4_ReadTable(stream, count, 4, GetPayloadSize() - 4);
  m_Entries.resize(table.size() / 4);
  for (size_t i = 0; i < m_Entries.size(); i++) m_Entries[i] = MP4_BytesToUI32(&table[i * 4]);
}

MP4_StcoAtom::MP4_StcoAtom() : MP4_Atom(MP4_FourCC("stco"), MP4_AtomSize(16), true) {}

MP4_Result MP4_StcoAtom::GetChunkOffset(MP4_UI32 chunk, MP4_UI64& offset) const {
  if (chunk == 0 || chunk > m_Entries.size()) return MP4_ERROR_OUT_OF_RANGE;
  offset = m_Entries[chunk - 1];
  return MP4_SUCCESS;
}

MP4_Result MP4_StcoAtom::SetChunkOffset(MP4_UI32 chunk, MP4_UI64 offset) {
  if (chunk == 0 || chunk > m_Entries.size() || offset > 0xFFFFFFFFull) return MP4_ERROR_OUT_OF_RANGE;
  m_Entries[chunk - 1] = static_cast<MP4_UI32>(offset);
  return MP4_SUCCESS;
}

MP4_Result MP4_StcoAtom::AddEntry(MP4_UI32 offset) {
  m_Entries.push_back(offset);
  SetSize(GetSize() + 4);
  if (m_Parent) m_Parent->OnChildChanged(this);
  return MP4_SUCCESS;
}

MP4_Result MP4_StcoAtom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = out.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (size_t i = 0; MP4_SUCCEEDED(r) && i < m_Entries.size(); i++) r = out.WriteUI32(m_Entries[i]);
  return r;
}

MP4_Result MP4_StcoAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  return MP4_SUCCESS;
}

MP4_Co64Atom::MP4_Co64Atom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("co64"), size, true, stream) {
  if (GetPayloadSize() < 4) return;
  MP4_UI32 count = 0;
  if (MP4_FAILED(stream.ReadUI32(count))) return;
  const std::vector<MP4_Byte> table = MP4_ReadTable(stream, count, 8, GetPayloadSize() - 4);
  m_Entries.resize(table.size() / 8);
  for (size_t i = 0; i < m_Entries.size(); i++) m_Entries[i] = MP4_BytesToUI64(&table[i * 8]);
}

MP4_Co64Atom::MP4_Co64Atom() : MP4_Atom(MP4_FourCC("co64"), MP4_AtomSize(16), true) {}

MP4_Result MP4_Co64Atom::GetChunkOffset(MP4_UI32 chunk, MP4_UI64& offset) const {
  if (chunk == 0 || chunk > m_Entries.size()) return MP4_ERROR_OUT_OF_RANGE;
  offset = m_Entries[chunk - 1];
  return MP4_SUCCESS;
}

MP4_Result MP4_Co64Atom::SetChunkOffset(MP4_UI32 chunk, MP4_UI64 offset) {
  if (chunk == 0 || chunk > m_Entries.size()) return MP4_ERROR_OUT_OF_RANGE;
  m_Entries[chunk - 1] = offset;
  return MP4_SUCCESS;
}

MP4_Result MP4_Co64Atom::AddEntry(MP4_UI64 offset) {
  m_Entries.push_back(offset);
  SetSize(GetSize() + 8);
  if (m_Parent) m_Parent->OnChildChanged(this);
  return MP4_SUCCESS;
}

MP4_Result MP4_Co64Atom::WriteFields(MP4_ByteStream& out) {
  MP4_Result r = out.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (size_t i = 0; MP4_SUCCEEDED(r) && i < m_Entries.size(); i++) r = out.WriteUI64(m_Entries[i]);
  return r;
}

MP4_Result MP4_Co64Atom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  return MP4_SUCCESS;
}
