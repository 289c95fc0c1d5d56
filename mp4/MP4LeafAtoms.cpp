#include "mp4/MP4LeafAtoms.h"

#include <new>

#include "mp4/MP4HeaderAtoms.h"

namespace {

std::string BytesToString(const std::vector<MP4_Byte>& bytes) { return std::string(bytes.begin(), bytes.end()); }

void ReadRawBytes(MP4_ByteStream& stream, MP4_LargeSize bytes, MP4_DataBuffer& out, MP4_LargeSize limit) {
  MP4_FieldReader in(stream, bytes);
  const std::vector<MP4_Byte> raw = in.Rest(limit);
  out.SetData(raw.data(), static_cast<MP4_Size>(raw.size()));
}

// Metadata values and compressed movie headers are bounded like the
// inflated movie header they may grow into.
constexpr MP4_LargeSize kMaxBlobBytes = 64u << 20;

}  // namespace

// ---------------------------------------------------------------------------
// esds

MP4_EsdsAtom::MP4_EsdsAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("esds"), size, true, stream) {
  MP4_Position start = 0;
  stream.Tell(start);
  // The descriptor is read inside the atom's own bytes: its lengths cannot
  // reach past the atom.
  MP4_ByteStream* payload = new (std::nothrow) MP4_SubStream(stream, start, GetPayloadSize());
  if (!payload) return;
  MP4_Descriptor* descriptor = nullptr;
  if (MP4_SUCCEEDED(MP4_DescriptorFactory::CreateDescriptorFromStream(*payload, descriptor)) && descriptor) {
    if (auto* es = dynamic_cast<MP4_EsDescriptor*>(descriptor)) {
      m_EsDescriptor.reset(es);
    } else {
      delete descriptor;
    }
  }
  payload->Release();
}

MP4_EsdsAtom::MP4_EsdsAtom(MP4_EsDescriptor* descriptor)
    : MP4_Atom(MP4_FourCC("esds"), MP4_AtomSize(12 + (descriptor ? descriptor->GetSize() : 0)), true),
      m_EsDescriptor(descriptor) {}

MP4_Result MP4_EsdsAtom::WriteFields(MP4_ByteStream& stream) {
  return m_EsDescriptor ? m_EsDescriptor->Write(stream) : MP4_SUCCESS;
}

MP4_Result MP4_EsdsAtom::InspectFields(MP4_AtomInspector& inspector) {
  if (m_EsDescriptor) m_EsDescriptor->Inspect(inspector);
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// avcC, ftyp, ftab, chpl, dcom, cmvd, data

MP4_AvcCAtom::MP4_AvcCAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("avcC"), size, false) {
  ReadRawBytes(stream, GetPayloadSize(), m_RawBytes, kMaxBlobBytes);
}

MP4_FtypAtom::MP4_FtypAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("ftyp"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_MajorBrand = in.UI32();
  m_MinorVersion = in.UI32();
  if (in.Failed()) return;
  const std::vector<MP4_Byte> table = in.Rest(kMaxBlobBytes);
  for (size_t i = 0; i + 4 <= table.size(); i += 4) m_CompatibleBrands.push_back(MP4_BytesToUI32(&table[i]));
}

MP4_Result MP4_FtypAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI32(m_MajorBrand)) || MP4_FAILED(r = stream.WriteUI32(m_MinorVersion))) return r;
  for (MP4_UI32 b : m_CompatibleBrands)
    if (MP4_FAILED(r = stream.WriteUI32(b))) return r;
  return MP4_SUCCESS;
}

MP4_Result MP4_FtypAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("major_brand", FourCharsToString(m_MajorBrand).c_str());
  inspector.AddField("minor_version", m_MinorVersion, MP4_AtomInspector::HINT_HEX);
  for (MP4_UI32 b : m_CompatibleBrands) inspector.AddField("compatible_brand", FourCharsToString(b).c_str());
  return MP4_SUCCESS;
}

MP4_FtabAtom::MP4_FtabAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("ftab"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  const MP4_UI16 count = in.UI16();
  for (MP4_UI16 i = 0; i < count && !in.Failed(); i++) {
    MP4_Tx3gFontRecord font;
    font.id = in.UI16();
    const MP4_UI08 length = in.UI08();
    char name[256];
    if (!in.Bytes(name, length)) break;
    font.name.assign(name, length);
    m_FontRecords.push_back(std::move(font));
  }
}

MP4_ChplAtom::MP4_ChplAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("chpl"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  in.UI32();
  const MP4_UI08 count = in.UI08();
  for (MP4_UI08 i = 0; i < count && !in.Failed(); i++) {
    MP4_Chapter chapter;
    chapter.start = in.UI64();
    const MP4_UI08 length = in.UI08();
    char name[256];
    if (!in.Bytes(name, length)) break;
    chapter.name.assign(name, length);
    m_Chapters.push_back(std::move(chapter));
  }
}

MP4_DcomAtom::MP4_DcomAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("dcom"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_CompressorSubType = in.UI32();
}

MP4_CmvdAtom::MP4_CmvdAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("cmvd"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_UncompressedSize = in.UI32();
  if (!in.Failed()) ReadRawBytes(stream, in.Left(), m_Data, kMaxBlobBytes);
}

MP4_DataAtom::MP4_DataAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("data"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_DataType = in.UI32();
  m_DataLang = in.UI32();
  if (!in.Failed()) ReadRawBytes(stream, in.Left(), m_Data, kMaxBlobBytes);
}

// ---------------------------------------------------------------------------
// frma, schm, iKMS, iSFM

MP4_FrmaAtom::MP4_FrmaAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("frma"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_OriginalFormat = in.UI32();
}

MP4_Result MP4_FrmaAtom::WriteFields(MP4_ByteStream& stream) { return stream.WriteUI32(m_OriginalFormat); }

MP4_Result MP4_FrmaAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("original_format", FourCharsToString(m_OriginalFormat).c_str());
  return MP4_SUCCESS;
}

MP4_SchmAtom::MP4_SchmAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("schm"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_SchemeType = in.UI32();
  m_SchemeVersion = in.UI32();
  if ((m_Flags & 1) && !in.Failed()) m_SchemeUri = BytesToString(in.Rest(kMP4MaxTextBytes));
}

MP4_Result MP4_SchmAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI32(m_SchemeType)) || MP4_FAILED(r = stream.WriteUI32(m_SchemeVersion))) return r;
  if (m_Flags & 1) return stream.WriteFully(m_SchemeUri.data(), static_cast<MP4_Size>(m_SchemeUri.size()));
  return MP4_SUCCESS;
}

MP4_Result MP4_SchmAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("scheme_type", FourCharsToString(m_SchemeType).c_str());
  inspector.AddField("scheme_version", m_SchemeVersion);
  inspector.AddField("scheme_uri", m_SchemeUri.c_str());
  return MP4_SUCCESS;
}

MP4_IkmsAtom::MP4_IkmsAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("iKMS"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_KmsUri = BytesToString(in.Rest(kMP4MaxTextBytes));
}

MP4_IkmsAtom::MP4_IkmsAtom(const MP4_IkmsAtom& other)
    : MP4_Atom(other.m_Type, MP4_AtomSize(12 + other.m_KmsUri.size()), true), m_KmsUri(other.m_KmsUri) {
  m_Version = other.m_Version;
  m_Flags = other.m_Flags;
}

MP4_Atom* MP4_IkmsAtom::Clone() { return new (std::nothrow) MP4_IkmsAtom(*this); }

MP4_Result MP4_IkmsAtom::WriteFields(MP4_ByteStream& stream) {
  return stream.WriteFully(m_KmsUri.data(), static_cast<MP4_Size>(m_KmsUri.size()));
}

MP4_Result MP4_IkmsAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("kms_uri", m_KmsUri.c_str());
  return MP4_SUCCESS;
}

MP4_IsfmAtom::MP4_IsfmAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("iSFM"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_SelectiveEncryption = (in.UI08() & 1) != 0;
  m_KeyIndicatorLength = in.UI08();
  m_IvLength = in.UI08();
}

MP4_IsfmAtom::MP4_IsfmAtom(const MP4_IsfmAtom& other)
    : MP4_Atom(other.m_Type, MP4_AtomSize(other.m_Size), true),
      m_SelectiveEncryption(other.m_SelectiveEncryption),
      m_KeyIndicatorLength(other.m_KeyIndicatorLength),
      m_IvLength(other.m_IvLength) {
  m_Version = other.m_Version;
  m_Flags = other.m_Flags;
}

MP4_Atom* MP4_IsfmAtom::Clone() { return new (std::nothrow) MP4_IsfmAtom(*this); }

MP4_Result MP4_IsfmAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI08(m_SelectiveEncryption ? 0x80 | 1 : 0)) ||
      MP4_FAILED(r = stream.WriteUI08(m_KeyIndicatorLength)))
    return r;
  return stream.WriteUI08(m_IvLength);
}

MP4_Result MP4_IsfmAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("selective_encryption", m_SelectiveEncryption);
  inspector.AddField("key_indicator_length", m_KeyIndicatorLength);
  inspector.AddField("IV_length", m_IvLength);
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// sdp, rtp, tims, track references, hmhd

MP4_SdpAtom::MP4_SdpAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("sdp "), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_SdpText = BytesToString(in.Rest(kMP4MaxTextBytes));
}

MP4_Result MP4_SdpAtom::WriteFields(MP4_ByteStream& stream) {
  return stream.WriteFully(m_SdpText.data(), static_cast<MP4_Size>(m_SdpText.size()));
}

MP4_Result MP4_SdpAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("sdp_text", m_SdpText.c_str());
  return MP4_SUCCESS;
}

MP4_RtpAtom::MP4_RtpAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("rtp "), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_DescriptionFormat = in.UI32();
  if (!in.Failed()) m_SdpText = BytesToString(in.Rest(kMP4MaxTextBytes));
}

MP4_Result MP4_RtpAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(m_DescriptionFormat);
  if (MP4_FAILED(r)) return r;
  return stream.WriteFully(m_SdpText.data(), static_cast<MP4_Size>(m_SdpText.size()));
}

MP4_Result MP4_RtpAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("description_format", FourCharsToString(m_DescriptionFormat).c_str());
  inspector.AddField("sdp_text", m_SdpText.c_str());
  return MP4_SUCCESS;
}

MP4_TimsAtom::MP4_TimsAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("tims"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_TimeScale = in.UI32();
}

MP4_Result MP4_TimsAtom::WriteFields(MP4_ByteStream& stream) { return stream.WriteUI32(m_TimeScale); }

MP4_Result MP4_TimsAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("timescale", m_TimeScale);
  return MP4_SUCCESS;
}

MP4_EndaAtom::MP4_EndaAtom(MP4_AtomSize size, MP4_ByteStream& stream) : MP4_Atom(MP4_FourCC("enda"), size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_LittleEndian = in.UI16();
}

MP4_Result MP4_EndaAtom::WriteFields(MP4_ByteStream& stream) { return stream.WriteUI16(m_LittleEndian); }

MP4_Result MP4_EndaAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("little_endian", m_LittleEndian);
  return MP4_SUCCESS;
}

MP4_TrefTypeAtom::MP4_TrefTypeAtom(Type type, MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(type, size, false) {
  MP4_FieldReader in(stream, GetPayloadSize());
  const std::vector<MP4_Byte> table = in.Rest(kMaxBlobBytes);
  for (size_t i = 0; i + 4 <= table.size(); i += 4) m_TrackIds.push_back(MP4_BytesToUI32(&table[i]));
}

MP4_Result MP4_TrefTypeAtom::WriteFields(MP4_ByteStream& stream) {
  for (MP4_UI32 id : m_TrackIds) {
    MP4_Result r = stream.WriteUI32(id);
    if (MP4_FAILED(r)) return r;
  }
  return MP4_SUCCESS;
}

MP4_Result MP4_TrefTypeAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("track_id_count", m_TrackIds.size());
  for (MP4_UI32 id : m_TrackIds) inspector.AddField("track id ", id);
  return MP4_SUCCESS;
}

MP4_HmhdAtom::MP4_HmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("hmhd"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_MaxPduSize = in.UI16();
  m_AvgPduSize = in.UI16();
  m_MaxBitrate = in.UI32();
  m_AvgBitrate = in.UI32();
  m_Reserved = in.UI32();
}

MP4_Result MP4_HmhdAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI16(m_MaxPduSize)) || MP4_FAILED(r = stream.WriteUI16(m_AvgPduSize)) ||
      MP4_FAILED(r = stream.WriteUI32(m_MaxBitrate)) || MP4_FAILED(r = stream.WriteUI32(m_AvgBitrate)))
    return r;
  return stream.WriteUI32(m_Reserved);
}

MP4_Result MP4_HmhdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("max_pdu_size", m_MaxPduSize);
  inspector.AddField("avg_pdu_size", m_AvgPduSize);
  inspector.AddField("max_bitrate", m_MaxBitrate);
  inspector.AddField("avg_bitrate", m_AvgBitrate);
  return MP4_SUCCESS;
}

MP4_ElstAtom::MP4_ElstAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("elst"), size, true, stream) {
  if (GetPayloadSize() < 4) return;
  MP4_UI32 count = 0;
  if (MP4_FAILED(stream.ReadUI32(count))) return;
  // Version 1 entries hold 64-bit times.
  const bool wide = GetVersion() == 1;
  const MP4_Size entry_size = wide ? 20 : 12;
  const std::vector<MP4_Byte> table = MP4_ReadTable(stream, count, entry_size, GetPayloadSize() - 4);
  for (size_t i = 0; i + entry_size <= table.size(); i += entry_size) {
    const MP4_Byte* e = &table[i];
    Entry entry;
    entry.duration = wide ? MP4_BytesToUI64(e) : MP4_BytesToUI32(e);
    entry.media_time = wide ? static_cast<MP4_SI64>(MP4_BytesToUI64(e + 8))
                            : static_cast<MP4_SI32>(MP4_BytesToUI32(e + 4));
    m_Entries.push_back(entry);
    m_Rates.push_back(MP4_BytesToUI32(e + entry_size - 4));
  }
}

MP4_Result MP4_ElstAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (size_t i = 0; MP4_SUCCEEDED(r) && i < m_Entries.size(); i++) {
    if (GetVersion() == 1) {
      if (MP4_SUCCEEDED(r = stream.WriteUI64(m_Entries[i].duration)))
        r = stream.WriteUI64(static_cast<MP4_UI64>(m_Entries[i].media_time));
    } else if (MP4_SUCCEEDED(r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries[i].duration)))) {
      r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries[i].media_time));
    }
    if (MP4_SUCCEEDED(r)) r = stream.WriteUI32(m_Rates[i]);
  }
  return r;
}

MP4_Result MP4_ElstAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  for (const Entry& e : m_Entries) {
    inspector.AddField("segment_duration", e.duration);
    inspector.AddField("media_time", static_cast<MP4_UI64>(e.media_time));
  }
  return MP4_SUCCESS;
}
