#include "mp4/MP4SampleEntry.h"

#include <cmath>
#include <cstring>
#include <new>

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4LeafAtoms.h"

namespace {

constexpr MP4_UI32 kEsds = MP4_FourCC("esds");
constexpr MP4_UI32 kWave = MP4_FourCC("wave");
constexpr MP4_UI32 kSinf = MP4_FourCC("sinf");

const MP4_DataBuffer* DecoderInfoOf(const MP4_DecoderConfigDescriptor& dcd) {
  const MP4_DecoderSpecificInfoDescriptor* dsi = dcd.GetDecoderSpecificInfoDescriptor();
  return dsi ? &dsi->GetDecoderSpecificInfo() : nullptr;
}

// An encrypted entry: the original description wrapped with its scheme.
MP4_SampleDescription* WrapEncrypted(MP4_ContainerAtom& entry, MP4_SampleDescription* original,
                                     MP4_UI32 default_format) {
  std::unique_ptr<MP4_SampleDescription> inner(original);
  auto* sinf = dynamic_cast<MP4_ContainerAtom*>(entry.GetChild(kSinf));
  if (!sinf) return nullptr;
  auto* schm = dynamic_cast<MP4_SchmAtom*>(sinf->GetChild(MP4_FourCC("schm")));
  if (!schm || !inner) return nullptr;
  auto* frma = dynamic_cast<MP4_FrmaAtom*>(sinf->GetChild(MP4_FourCC("frma")));
  auto* schi = dynamic_cast<MP4_ContainerAtom*>(sinf->GetChild(MP4_FourCC("schi")));
  return new (std::nothrow) MP4_IsmaCrypSampleDescription(
      inner.release(), frma ? frma->GetOriginalFormat() : default_format, schm->GetSchemeType(),
      schm->GetSchemeVersion(), schm->GetSchemeUri().c_str(), schi);
}

}  // namespace

// ---------------------------------------------------------------------------
// MP4_SampleEntry

MP4_SampleEntry::MP4_SampleEntry(Type type, MP4_UI16 data_reference_index)
    : MP4_ContainerAtom(type), m_DataReferenceIndex(data_reference_index) {
  SetSize(GetHeaderSize() + 8);
}

MP4_SampleEntry::MP4_SampleEntry(Type type, MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_ContainerAtom(type, size, false, stream) {}

void MP4_SampleEntry::Read(MP4_ByteStream& stream, MP4_AtomFactory& factory, bool with_children) {
  MP4_Position start = 0;
  stream.Tell(start);
  const MP4_LargeSize payload = GetPayloadSize();
  MP4_FieldReader in(stream, payload);
  ReadFields(in);
  if (!with_children || MP4_FAILED(m_ReadResult)) return;
  // The children fill what the fields left of the atom; an entry shorter
  // than its fields has none.
  MP4_Position here = 0;
  stream.Tell(here);
  if (here < start + payload) ReadChildren(factory, stream, start + payload - here);
}

void MP4_SampleEntry::ReadFields(MP4_FieldReader& in) {
  in.Bytes(m_Reserved, sizeof(m_Reserved));
  m_DataReferenceIndex = in.UI16();
}

MP4_SampleDescription* MP4_SampleEntry::ToSampleDescription() {
  return new (std::nothrow) MP4_UnknownSampleDescription(this);
}

MP4_Result MP4_SampleEntry::Write(MP4_ByteStream& stream) { return MP4_Atom::Write(stream); }

MP4_Result MP4_SampleEntry::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteFully(m_Reserved, sizeof(m_Reserved))) ||
      MP4_FAILED(r = stream.WriteUI16(m_DataReferenceIndex)) || MP4_FAILED(r = WriteSpecificFields(stream)))
    return r;
  return MP4_ContainerAtom::WriteFields(stream);
}

MP4_Result MP4_SampleEntry::Inspect(MP4_AtomInspector& inspector) { return MP4_Atom::Inspect(inspector); }

MP4_Result MP4_SampleEntry::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("data_reference_index", m_DataReferenceIndex);
  InspectSpecificFields(inspector);
  return InspectChildren(inspector);
}

void MP4_SampleEntry::OnChildChanged(MP4_Atom*) {
  SetSize(GetHeaderSize() + GetFieldsSize() + ChildrenSize());
  NotifyParentChanged();
}

const MP4_EsDescriptor* MP4_SampleEntry::FindEsDescriptor() const {
  if (auto* esds = dynamic_cast<MP4_EsdsAtom*>(GetChild(kEsds))) return esds->GetEsDescriptor();
  if (auto* wave = dynamic_cast<MP4_ContainerAtom*>(GetChild(kWave)))
    if (auto* esds = dynamic_cast<MP4_EsdsAtom*>(wave->GetChild(kEsds))) return esds->GetEsDescriptor();
  return nullptr;
}

void MP4_MpegSampleEntry::AddEsDescriptor(MP4_EsDescriptor* descriptor) {
  auto* esds = new (std::nothrow) MP4_EsdsAtom(descriptor);
  if (!esds) {
    delete descriptor;
    return;
  }
  if (MP4_FAILED(AddChild(esds))) delete esds;
}

// ---------------------------------------------------------------------------
// mp4s

MP4_Mp4sSampleEntry::MP4_Mp4sSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_MpegSampleEntry(MP4_FourCC("mp4s"), size, stream) {
  Read(stream, factory);
}

MP4_Mp4sSampleEntry::MP4_Mp4sSampleEntry(MP4_EsDescriptor* descriptor)
    : MP4_MpegSampleEntry(MP4_FourCC("mp4s"), MP4_UI16(1)) {
  AddEsDescriptor(descriptor);
}

MP4_SampleDescription* MP4_Mp4sSampleEntry::ToSampleDescription() {
  const MP4_EsDescriptor* es = FindEsDescriptor();
  const MP4_DecoderConfigDescriptor* dcd = es ? es->GetDecoderConfigDescriptor() : nullptr;
  if (!dcd) return nullptr;
  return new (std::nothrow) MP4_MpegSystemSampleDescription(
      dcd->GetStreamType(), dcd->GetObjectTypeIndication(), DecoderInfoOf(*dcd), dcd->GetBufferSize(),
      dcd->GetMaxBitrate(), dcd->GetAvgBitrate());
}

// ---------------------------------------------------------------------------
// Audio entries

MP4_AudioSampleEntry::MP4_AudioSampleEntry(Type type, MP4_AtomSize size, MP4_ByteStream& stream,
                                           MP4_AtomFactory& factory)
    : MP4_MpegSampleEntry(type, size, stream) {
  Read(stream, factory);
}

MP4_AudioSampleEntry::MP4_AudioSampleEntry(Type type, MP4_UI32 sample_rate, MP4_UI16 sample_size,
                                           MP4_UI16 channel_count)
    : MP4_MpegSampleEntry(type, MP4_UI16(1)) {
  m_ChannelCount = channel_count;
  m_SampleSize = sample_size;
  m_SampleRate = sample_rate;
  m_SampleRateHz = sample_rate >> 16;
  SetSize(GetSize() + 20);
}

MP4_Size MP4_AudioSampleEntry::GetFieldsSize() const { return m_QtVersion == 1 ? 44 : 28; }

void MP4_AudioSampleEntry::ReadFields(MP4_FieldReader& in) {
  MP4_SampleEntry::ReadFields(in);
  m_QtVersion = in.UI16();
  m_QtRevision = in.UI16();
  m_QtVendor = in.UI32();
  if (m_QtVersion == 0 || m_QtVersion == 1) {
    m_ChannelCount = in.UI16();
    m_SampleSize = in.UI16();
    m_QtCompressionId = in.UI16();
    m_QtPacketSize = in.UI16();
    m_SampleRate = in.UI32();
    m_SampleRateHz = m_SampleRate >> 16;
    if (m_QtVersion == 1) {
      m_QtV1SamplesPerPacket = in.UI32();
      m_QtV1BytesPerPacket = in.UI32();
      m_QtV1BytesPerFrame = in.UI32();
      m_QtV1BytesPerSample = in.UI32();
    }
  } else if (m_QtVersion == 2) {
    in.Skip(12);
    m_QtV2StructSize = in.UI32();
    if (in.Failed() || m_QtV2StructSize < 72) {
      m_ReadResult = MP4_ERROR_INVALID_FORMAT;
      return;
    }
    const MP4_UI64 bits = in.UI64();
    double rate = 0;
    static_assert(sizeof(rate) == sizeof(bits));
    std::memcpy(&rate, &bits, sizeof(rate));
    if (!(rate > 0 && rate < 1e7)) rate = 0;  // also NaN
    const double fixed = std::round(rate * 65536.0);
    m_SampleRate = fixed > 4294967295.0 ? 0xFFFFFFFFu : static_cast<MP4_UI32>(fixed);
    m_SampleRateHz = static_cast<MP4_UI32>(std::lround(rate));
    m_ChannelCount = static_cast<MP4_UI16>(in.UI32());
    in.Skip(4);
    // The bits of one channel's sample, 0 for compressed sound.
    const MP4_UI32 channel_bits = in.UI32();
    m_QtV2FormatFlags = in.UI32();
    m_QtV2BytesPerPacket = in.UI32();
    in.Skip(4);
    in.Skip(m_QtV2StructSize - 72);
    m_SampleSize = channel_bits <= 64 ? static_cast<MP4_UI16>(channel_bits) : 0;
  } else {
    m_ReadResult = MP4_ERROR_INVALID_FORMAT;
  }
}

MP4_Result MP4_AudioSampleEntry::WriteSpecificFields(MP4_ByteStream& out) {
  if (m_QtVersion > 1) return MP4_FAILURE;
  MP4_Result r;
  if (MP4_FAILED(r = out.WriteUI16(m_QtVersion)) || MP4_FAILED(r = out.WriteUI16(m_QtRevision)) ||
      MP4_FAILED(r = out.WriteUI32(m_QtVendor)) || MP4_FAILED(r = out.WriteUI16(m_ChannelCount)) ||
      MP4_FAILED(r = out.WriteUI16(m_SampleSize)) || MP4_FAILED(r = out.WriteUI16(m_QtCompressionId)) ||
      MP4_FAILED(r = out.WriteUI16(m_QtPacketSize)) || MP4_FAILED(r = out.WriteUI32(m_SampleRate)))
    return r;
  if (m_QtVersion == 1) {
    if (MP4_FAILED(r = out.WriteUI32(m_QtV1SamplesPerPacket)) || MP4_FAILED(r = out.WriteUI32(m_QtV1BytesPerPacket)) ||
        MP4_FAILED(r = out.WriteUI32(m_QtV1BytesPerFrame)) || MP4_FAILED(r = out.WriteUI32(m_QtV1BytesPerSample)))
      return r;
  }
  return MP4_SUCCESS;
}

void MP4_AudioSampleEntry::InspectSpecificFields(MP4_AtomInspector& inspector) {
  inspector.AddField("channel_count", m_ChannelCount);
  inspector.AddField("sample_size", m_SampleSize);
  inspector.AddField("sample_rate", GetSampleRate());
}

MP4_SampleDescription* MP4_AudioSampleEntry::ToMpegAudioDescription() const {
  const MP4_EsDescriptor* es = FindEsDescriptor();
  const MP4_DecoderConfigDescriptor* dcd = es ? es->GetDecoderConfigDescriptor() : nullptr;
  if (!dcd) return nullptr;
  return new (std::nothrow) MP4_MpegAudioSampleDescription(
      dcd->GetObjectTypeIndication(), GetSampleRate(), m_SampleSize, m_ChannelCount, DecoderInfoOf(*dcd),
      dcd->GetBufferSize(), dcd->GetMaxBitrate(), dcd->GetAvgBitrate());
}

MP4_SampleDescription* MP4_AudioSampleEntry::ToSampleDescription() { return ToMpegAudioDescription(); }

MP4_Mp4aSampleEntry::MP4_Mp4aSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_AudioSampleEntry(MP4_FourCC("mp4a"), size, stream, factory) {}

MP4_Mp4aSampleEntry::MP4_Mp4aSampleEntry(MP4_UI32 sample_rate, MP4_UI16 sample_size, MP4_UI16 channel_count,
                                         MP4_EsDescriptor* descriptor)
    : MP4_AudioSampleEntry(MP4_FourCC("mp4a"), sample_rate, sample_size, channel_count) {
  AddEsDescriptor(descriptor);
}

MP4_EncaSampleEntry::MP4_EncaSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_AudioSampleEntry(MP4_FourCC("enca"), size, stream, factory) {}

MP4_SampleDescription* MP4_EncaSampleEntry::ToSampleDescription() {
  return WrapEncrypted(*this, ToMpegAudioDescription(), MP4_FourCC("mp4a"));
}

// ---------------------------------------------------------------------------
// Visual entries

MP4_VisualSampleEntry::MP4_VisualSampleEntry(Type type, MP4_AtomSize size, MP4_ByteStream& stream,
                                             MP4_AtomFactory& factory)
    : MP4_MpegSampleEntry(type, size, stream) {
  Read(stream, factory);
}

MP4_VisualSampleEntry::MP4_VisualSampleEntry(Type type, MP4_UI16 width, MP4_UI16 height, MP4_UI16 depth,
                                             const char* compressor_name)
    : MP4_MpegSampleEntry(type, MP4_UI16(1)) {
  m_Width = width;
  m_Height = height;
  m_Depth = depth;
  m_CompressorName = compressor_name ? compressor_name : "";
  m_HorizResolution = m_VertResolution = 0x00480000;
  m_FrameCount = 1;
  m_Predefined3 = 0xFFFF;
  SetSize(GetHeaderSize() + 78);
}

void MP4_VisualSampleEntry::ReadFields(MP4_FieldReader& in) {
  MP4_SampleEntry::ReadFields(in);
  m_Predefined1 = in.UI16();
  m_Reserved2 = in.UI16();
  in.Bytes(m_Predefined2, sizeof(m_Predefined2));
  m_Width = in.UI16();
  m_Height = in.UI16();
  m_HorizResolution = in.UI32();
  m_VertResolution = in.UI32();
  m_Reserved3 = in.UI32();
  m_FrameCount = in.UI16();
  char name[32];
  if (in.Bytes(name, sizeof(name))) {
    const MP4_UI08 length = static_cast<MP4_UI08>(name[0]);
    if (length < 32) m_CompressorName.assign(name + 1, length);
  }
  m_Depth = in.UI16();
  m_Predefined3 = in.UI16();
}

MP4_Result MP4_VisualSampleEntry::WriteSpecificFields(MP4_ByteStream& out) {
  MP4_Result r;
  if (MP4_FAILED(r = out.WriteUI16(m_Predefined1)) || MP4_FAILED(r = out.WriteUI16(m_Reserved2)) ||
      MP4_FAILED(r = out.WriteFully(m_Predefined2, sizeof(m_Predefined2))) || MP4_FAILED(r = out.WriteUI16(m_Width)) ||
      MP4_FAILED(r = out.WriteUI16(m_Height)) || MP4_FAILED(r = out.WriteUI32(m_HorizResolution)) ||
      MP4_FAILED(r = out.WriteUI32(m_VertResolution)) || MP4_FAILED(r = out.WriteUI32(m_Reserved3)) ||
      MP4_FAILED(r = out.WriteUI16(m_FrameCount)))
    return r;
  char name[32] = {};
  const size_t length = std::min<size_t>(m_CompressorName.size(), 31);
  name[0] = static_cast<char>(length);
  std::memcpy(name + 1, m_CompressorName.data(), length);
  if (MP4_FAILED(r = out.WriteFully(name, sizeof(name))) || MP4_FAILED(r = out.WriteUI16(m_Depth))) return r;
  return out.WriteUI16(m_Predefined3);
}

void MP4_VisualSampleEntry::InspectSpecificFields(MP4_AtomInspector& inspector) {
  inspector.AddField("width", m_Width);
  inspector.AddField("height", m_Height);
  inspector.AddField("compressor", m_CompressorName.c_str());
}

MP4_SampleDescription* MP4_VisualSampleEntry::ToMpegVideoDescription() const {
  const MP4_EsDescriptor* es = FindEsDescriptor();
  const MP4_DecoderConfigDescriptor* dcd = es ? es->GetDecoderConfigDescriptor() : nullptr;
  if (!dcd) return nullptr;
  return new (std::nothrow) MP4_MpegVideoSampleDescription(
      dcd->GetObjectTypeIndication(), m_Width, m_Height, m_Depth, m_CompressorName.c_str(), DecoderInfoOf(*dcd),
      dcd->GetBufferSize(), dcd->GetMaxBitrate(), dcd->GetAvgBitrate());
}

MP4_SampleDescription* MP4_VisualSampleEntry::ToSampleDescription() { return ToMpegVideoDescription(); }

MP4_Mp4vSampleEntry::MP4_Mp4vSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_VisualSampleEntry(MP4_FourCC("mp4v"), size, stream, factory) {}

MP4_Mp4vSampleEntry::MP4_Mp4vSampleEntry(MP4_UI16 width, MP4_UI16 height, MP4_UI16 depth,
                                         const char* compressor_name, MP4_EsDescriptor* descriptor)
    : MP4_VisualSampleEntry(MP4_FourCC("mp4v"), width, height, depth, compressor_name) {
  AddEsDescriptor(descriptor);
}

MP4_Avc1SampleEntry::MP4_Avc1SampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_VisualSampleEntry(MP4_FourCC("avc1"), size, stream, factory) {}

MP4_EncvSampleEntry::MP4_EncvSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_VisualSampleEntry(MP4_FourCC("encv"), size, stream, factory) {}

MP4_SampleDescription* MP4_EncvSampleEntry::ToSampleDescription() {
  return WrapEncrypted(*this, ToMpegVideoDescription(), MP4_FourCC("mp4v"));
}

// ---------------------------------------------------------------------------
// RTP hint, 3GPP text, QuickTime text

MP4_RtpHintSampleEntry::MP4_RtpHintSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_SampleEntry(MP4_FourCC("rtp "), size, stream) {
  Read(stream, factory);
}

void MP4_RtpHintSampleEntry::ReadFields(MP4_FieldReader& in) {
  MP4_SampleEntry::ReadFields(in);
  m_HintTrackVersion = in.UI16();
  m_HighestCompatibleVersion = in.UI16();
  m_MaxPacketSize = in.UI32();
}

MP4_Result MP4_RtpHintSampleEntry::WriteSpecificFields(MP4_ByteStream& out) {
  MP4_Result r;
  if (MP4_FAILED(r = out.WriteUI16(m_HintTrackVersion)) || MP4_FAILED(r = out.WriteUI16(m_HighestCompatibleVersion)))
    return r;
  return out.WriteUI32(m_MaxPacketSize);
}

void MP4_RtpHintSampleEntry::InspectSpecificFields(MP4_AtomInspector& inspector) {
  inspector.AddField("hint_track_version", m_HintTrackVersion);
  inspector.AddField("highest_compatible_version", m_HighestCompatibleVersion);
  inspector.AddField("max_packet_size", m_MaxPacketSize);
}

MP4_SampleDescription* MP4_RtpHintSampleEntry::ToSampleDescription() {
  return new (std::nothrow) MP4_UnknownSampleDescription(this);
}

MP4_Tx3gSampleEntry::MP4_Tx3gSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_SampleEntry(MP4_FourCC("tx3g"), size, stream) {
  Read(stream, factory);
}

void MP4_Tx3gSampleEntry::ReadFields(MP4_FieldReader& in) {
  MP4_SampleEntry::ReadFields(in);
  Description& d = m_Description;
  d.display_flags = in.UI32();
  d.horizontal_justification = in.UI08();
  d.vertical_justification = in.UI08();
  d.background_color_rgba = in.UI32();
  d.text_box.top = in.UI16();
  d.text_box.left = in.UI16();
  d.text_box.bottom = in.UI16();
  d.text_box.right = in.UI16();
  d.style.start_char = in.UI16();
  d.style.end_char = in.UI16();
  d.style.font_id = in.UI16();
  d.style.face_style_flags = in.UI08();
  d.style.font_size = in.UI08();
  d.style.text_color_rgba = in.UI32();
}

MP4_Result MP4_Tx3gSampleEntry::WriteSpecificFields(MP4_ByteStream& out) {
  const Description& d = m_Description;
  MP4_Result r;
  if (MP4_FAILED(r = out.WriteUI32(d.display_flags)) || MP4_FAILED(r = out.WriteUI08(d.horizontal_justification)) ||
      MP4_FAILED(r = out.WriteUI08(d.vertical_justification)) ||
      MP4_FAILED(r = out.WriteUI32(d.background_color_rgba)) || MP4_FAILED(r = out.WriteUI16(d.text_box.top)) ||
      MP4_FAILED(r = out.WriteUI16(d.text_box.left)) || MP4_FAILED(r = out.WriteUI16(d.text_box.bottom)) ||
      MP4_FAILED(r = out.WriteUI16(d.text_box.right)) || MP4_FAILED(r = out.WriteUI16(d.style.start_char)) ||
      MP4_FAILED(r = out.WriteUI16(d.style.end_char)) || MP4_FAILED(r = out.WriteUI16(d.style.font_id)) ||
      MP4_FAILED(r = out.WriteUI08(d.style.face_style_flags)) || MP4_FAILED(r = out.WriteUI08(d.style.font_size)))
    return r;
  return out.WriteUI32(d.style.text_color_rgba);
}

MP4_SampleDescription* MP4_Tx3gSampleEntry::ToSampleDescription() {
  return new (std::nothrow) MP4_UnknownSampleDescription(this);
}

bool MP4_Tx3gSampleEntry::GetFontNameById(MP4_UI16 font_id, std::string& name) const {
  auto* ftab = dynamic_cast<MP4_FtabAtom*>(GetChild(MP4_FourCC("ftab")));
  if (!ftab) return false;
  for (const MP4_Tx3gFontRecord& f : ftab->GetFontRecords()) {
    if (f.id == font_id) {
      name = f.name;
      return true;
    }
  }
  return false;
}

MP4_TextSampleEntry::MP4_TextSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_SampleEntry(MP4_FourCC("text"), size, stream) {
  Read(stream, factory, false);
}

void MP4_TextSampleEntry::ReadFields(MP4_FieldReader& in) {
  MP4_SampleEntry::ReadFields(in);
  Description& d = m_Description;
  d.display_flags = in.UI32();
  d.text_justification = in.UI32();
  d.background_color = in.UI32();
  d.box_top = in.UI16();
  d.box_left = in.UI16();
  d.box_bottom = in.UI16();
  d.box_right = in.UI16();
  for (MP4_UI16& v : d.values) v = in.UI16();
  d.bytes[0] = in.UI08();
  d.bytes[1] = in.UI08();
  d.foreground_color = in.UI32();
}

MP4_Result MP4_TextSampleEntry::WriteSpecificFields(MP4_ByteStream& out) {
  const Description& d = m_Description;
  MP4_Result r;
  if (MP4_FAILED(r = out.WriteUI32(d.display_flags)) || MP4_FAILED(r = out.WriteUI32(d.text_justification)) ||
      MP4_FAILED(r = out.WriteUI32(d.background_color)) || MP4_FAILED(r = out.WriteUI16(d.box_top)) ||
      MP4_FAILED(r = out.WriteUI16(d.box_left)) || MP4_FAILED(r = out.WriteUI16(d.box_bottom)) ||
      MP4_FAILED(r = out.WriteUI16(d.box_right)))
    return r;
  for (MP4_UI16 v : d.values)
    if (MP4_FAILED(r = out.WriteUI16(v))) return r;
  if (MP4_FAILED(r = out.WriteUI08(d.bytes[0])) || MP4_FAILED(r = out.WriteUI08(d.bytes[1]))) return r;
  return out.WriteUI32(d.foreground_color);
}

MP4_SampleDescription* MP4_TextSampleEntry::ToSampleDescription() {
  return new (std::nothrow) MP4_UnknownSampleDescription(this);
}
