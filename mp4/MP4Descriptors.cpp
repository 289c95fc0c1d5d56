#include "mp4/MP4Descriptors.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace {

// A stream over [start + skip, start + payload) of `stream`, or null when
// nothing is left there.
MP4_ByteStream* PayloadRest(MP4_ByteStream& stream, MP4_Position start, MP4_Size payload, MP4_Position from) {
  const MP4_Position end = start + payload;
  if (from >= end) return nullptr;
  return new (std::nothrow) MP4_SubStream(stream, from, end - from);
}

}  // namespace

// ---------------------------------------------------------------------------
// MP4_Descriptor

MP4_Size MP4_Descriptor::MinimalHeaderSize(MP4_Size payload_size) {
  MP4_Size groups = 1;
  while (groups < 4 && (payload_size >> (7 * groups)) != 0) groups++;
  return 1 + groups;
}

void MP4_Descriptor::SetPayloadSize(MP4_Size payload_size) {
  m_PayloadSize = payload_size;
  m_HeaderSize = MinimalHeaderSize(payload_size);
}

MP4_Result MP4_Descriptor::Write(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI08(m_Tag);
  if (MP4_FAILED(r)) return r;
  const MP4_Size groups = m_HeaderSize > 1 ? m_HeaderSize - 1 : 1;
  for (MP4_Size i = groups; i > 0; i--) {
    MP4_UI08 b = static_cast<MP4_UI08>((m_PayloadSize >> (7 * (i - 1))) & 0x7F);
    if (i > 1) b |= 0x80;
    if (MP4_FAILED(r = stream.WriteUI08(b))) return r;
  }
  return WriteFields(stream);
}

MP4_Result MP4_Descriptor::Inspect(MP4_AtomInspector& inspector) {
  char name[16];
  const char* n = InspectName();
  if (!n) {
    std::snprintf(name, sizeof(name), "#[%02x]", m_Tag);
    n = name;
  }
  char extra[64];
  std::snprintf(extra, sizeof(extra), "size=%lu+%lu", static_cast<unsigned long>(m_HeaderSize),
                static_cast<unsigned long>(m_PayloadSize));
  inspector.StartElement(n, extra);
  InspectFields(inspector);
  inspector.EndElement();
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_DescriptorList

MP4_Descriptor* MP4_DescriptorList::Find(MP4_UI08 tag) const {
  for (MP4_Descriptor* d : m_Items)
    if (d->GetTag() == tag) return d;
  return nullptr;
}

MP4_Result MP4_DescriptorList::WriteAll(MP4_ByteStream& stream) const {
  for (MP4_Descriptor* d : m_Items) {
    MP4_Result r = d->Write(stream);
    if (MP4_FAILED(r)) return r;
  }
  return MP4_SUCCESS;
}

void MP4_DescriptorList::InspectAll(MP4_AtomInspector& inspector) const {
  for (MP4_Descriptor* d : m_Items) d->Inspect(inspector);
}

void MP4_DescriptorList::ReadAll(MP4_ByteStream& stream, int depth) {
  // Each descriptor takes at least its two header bytes, so this ends.
  for (;;) {
    MP4_Descriptor* d = nullptr;
    if (MP4_FAILED(MP4_DescriptorFactory::CreateDescriptorFromStream(stream, d, depth)) || !d) break;
    m_Items.Add(d);
  }
}

// ---------------------------------------------------------------------------
// MP4_EsDescriptor

MP4_EsDescriptor::MP4_EsDescriptor(MP4_ByteStream& stream, MP4_Size header_size, MP4_Size payload_size, int depth)
    : MP4_Descriptor(TAG_ES, header_size, payload_size) {
  MP4_Position start = 0;
  stream.Tell(start);
  MP4_FieldReader in(stream, payload_size);
  m_EsId = in.UI16();
  const MP4_UI08 bits = in.UI08();
  m_Flags = bits >> 5;
  m_StreamPriority = bits & 0x1F;
  if (m_Flags & FLAG_STREAM_DEPENDENCY) m_DependsOn = in.UI16();
  if (m_Flags & FLAG_URL) {
    const MP4_UI08 length = in.UI08();
    char url[256];
    if (in.Bytes(url, length)) m_Url.assign(url, length);
  }
  if (m_Flags & FLAG_OCR_STREAM) m_OcrEsId = in.UI16();
  if (in.Failed()) return;
  MP4_Position here = 0;
  stream.Tell(here);
  if (MP4_ByteStream* rest = PayloadRest(stream, start, payload_size, here)) {
    m_SubDescriptors.ReadAll(*rest, depth + 1);
    rest->Release();
  }
}

MP4_EsDescriptor::MP4_EsDescriptor(MP4_UI16 es_id) : MP4_Descriptor(TAG_ES, 2, 3), m_EsId(es_id) {}

MP4_Result MP4_EsDescriptor::AddSubDescriptor(MP4_Descriptor* descriptor) {
  if (!descriptor) return MP4_ERROR_INVALID_PARAMETERS;
  m_SubDescriptors.Add(descriptor);
  SetPayloadSize(m_PayloadSize + descriptor->GetSize());
  return MP4_SUCCESS;
}

const MP4_DecoderConfigDescriptor* MP4_EsDescriptor::GetDecoderConfigDescriptor() const {
  return dynamic_cast<const MP4_DecoderConfigDescriptor*>(m_SubDescriptors.Find(TAG_DECODER_CONFIG));
}

MP4_Result MP4_EsDescriptor::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI16(m_EsId)) ||
      MP4_FAILED(r = stream.WriteUI08(static_cast<MP4_UI08>((m_Flags << 5) | m_StreamPriority))))
    return r;
  if ((m_Flags & FLAG_STREAM_DEPENDENCY) && MP4_FAILED(r = stream.WriteUI16(m_DependsOn))) return r;
  if (m_Flags & FLAG_URL) {
    const MP4_UI08 length = static_cast<MP4_UI08>(std::min<size_t>(m_Url.size(), 255));
    if (MP4_FAILED(r = stream.WriteUI08(length)) || MP4_FAILED(r = stream.WriteFully(m_Url.data(), length))) return r;
  }
  if ((m_Flags & FLAG_OCR_STREAM) && MP4_FAILED(r = stream.WriteUI16(m_OcrEsId))) return r;
  return m_SubDescriptors.WriteAll(stream);
}

void MP4_EsDescriptor::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("es_id", m_EsId);
  inspector.AddField("stream_priority", m_StreamPriority);
  m_SubDescriptors.InspectAll(inspector);
}

// ---------------------------------------------------------------------------
// MP4_DecoderConfigDescriptor

MP4_DecoderConfigDescriptor::MP4_DecoderConfigDescriptor(MP4_ByteStream& stream, MP4_Size header_size,
                                                         MP4_Size payload_size, int depth)
    : MP4_Descriptor(TAG_DECODER_CONFIG, header_size, payload_size) {
  MP4_Position start = 0;
  stream.Tell(start);
  MP4_FieldReader in(stream, payload_size);
  m_ObjectTypeIndication = in.UI08();
  const MP4_UI08 bits = in.UI08();
  m_StreamType = bits >> 2;
  m_UpStream = (bits & 2) != 0;
  m_BufferSize = in.UI24();
  m_MaxBitrate = in.UI32();
  m_AverageBitrate = in.UI32();
  if (in.Failed()) return;
  if (MP4_ByteStream* rest = PayloadRest(stream, start, payload_size, start + 13)) {
    m_SubDescriptors.ReadAll(*rest, depth + 1);
    rest->Release();
  }
}

MP4_DecoderConfigDescriptor::MP4_DecoderConfigDescriptor(MP4_UI08 stream_type, MP4_UI08 object_type,
                                                         MP4_UI32 buffer_size, MP4_UI32 max_bitrate,
                                                         MP4_UI32 avg_bitrate,
                                                         MP4_DecoderSpecificInfoDescriptor* dsi)
    : MP4_Descriptor(TAG_DECODER_CONFIG, 2, 13),
      m_StreamType(stream_type),
      m_ObjectTypeIndication(object_type),
      m_BufferSize(buffer_size & 0xFFFFFF),
      m_MaxBitrate(max_bitrate),
      m_AverageBitrate(avg_bitrate) {
  MP4_Size payload = 13;
  if (dsi) {
    m_SubDescriptors.Add(dsi);
    payload += dsi->GetSize();
  }
  SetPayloadSize(payload);
}

const MP4_DecoderSpecificInfoDescriptor* MP4_DecoderConfigDescriptor::GetDecoderSpecificInfoDescriptor() const {
  return dynamic_cast<const MP4_DecoderSpecificInfoDescriptor*>(m_SubDescriptors.Find(TAG_DECODER_SPECIFIC_INFO));
}

MP4_Result MP4_DecoderConfigDescriptor::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI08(m_ObjectTypeIndication)) ||
      MP4_FAILED(r = stream.WriteUI08(static_cast<MP4_UI08>((m_StreamType << 2) | (m_UpStream ? 2 : 0) | 1))) ||
      MP4_FAILED(r = stream.WriteUI24(m_BufferSize)) || MP4_FAILED(r = stream.WriteUI32(m_MaxBitrate)) ||
      MP4_FAILED(r = stream.WriteUI32(m_AverageBitrate)))
    return r;
  return m_SubDescriptors.WriteAll(stream);
}

void MP4_DecoderConfigDescriptor::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("stream_type", m_StreamType);
  inspector.AddField("object_type", m_ObjectTypeIndication);
  inspector.AddField("up_stream", m_UpStream);
  inspector.AddField("buffer_size", m_BufferSize);
  inspector.AddField("max_bitrate", m_MaxBitrate);
  inspector.AddField("avg_bitrate", m_AverageBitrate);
  m_SubDescriptors.InspectAll(inspector);
}

// ---------------------------------------------------------------------------
// MP4_DecoderSpecificInfoDescriptor

MP4_DecoderSpecificInfoDescriptor::MP4_DecoderSpecificInfoDescriptor(MP4_ByteStream& stream, MP4_Size header_size,
                                                                     MP4_Size payload_size)
    : MP4_Descriptor(TAG_DECODER_SPECIFIC_INFO, header_size, payload_size) {
  if (MP4_SUCCEEDED(m_Info.SetDataSize(payload_size)) && MP4_FAILED(stream.ReadFully(m_Info.UseData(), payload_size)))
    m_Info.SetDataSize(0);
}

MP4_DecoderSpecificInfoDescriptor::MP4_DecoderSpecificInfoDescriptor(const MP4_DataBuffer& data)
    : MP4_Descriptor(TAG_DECODER_SPECIFIC_INFO, 2, data.GetDataSize()), m_Info(data) {
  SetPayloadSize(data.GetDataSize());
}

MP4_Result MP4_DecoderSpecificInfoDescriptor::WriteFields(MP4_ByteStream& stream) {
  return stream.WriteFully(m_Info.GetData(), m_Info.GetDataSize());
}

void MP4_DecoderSpecificInfoDescriptor::InspectFields(MP4_AtomInspector& inspector) {
  std::string text;
  char hex[4];
  for (MP4_Size i = 0; i < m_Info.GetDataSize(); i++) {
    std::snprintf(hex, sizeof(hex), "%02x ", m_Info.GetData()[i]);
    text += hex;
  }
  inspector.AddField("info", text.c_str());
}

// ---------------------------------------------------------------------------
// MP4_SLConfigDescriptor, MP4_UnknownDescriptor

MP4_SLConfigDescriptor::MP4_SLConfigDescriptor(MP4_Size header_size)
    : MP4_Descriptor(TAG_SL_CONFIG, header_size, 1) {}

MP4_Result MP4_SLConfigDescriptor::WriteFields(MP4_ByteStream& stream) { return stream.WriteUI08(m_Predefined); }

MP4_UnknownDescriptor::MP4_UnknownDescriptor(MP4_ByteStream& stream, MP4_UI08 tag, MP4_Size header_size,
                                             MP4_Size payload_size)
    : MP4_Descriptor(tag, header_size, payload_size) {
  if (MP4_SUCCEEDED(m_Data.SetDataSize(payload_size)) && MP4_FAILED(stream.ReadFully(m_Data.UseData(), payload_size)))
    m_Data.SetDataSize(0);
}

MP4_Result MP4_UnknownDescriptor::WriteFields(MP4_ByteStream& stream) {
  return stream.WriteFully(m_Data.GetData(), m_Data.GetDataSize());
}

// ---------------------------------------------------------------------------
// MP4_DescriptorFactory

MP4_Result MP4_DescriptorFactory::CreateDescriptorFromStream(MP4_ByteStream& stream, MP4_Descriptor*& descriptor,
                                                             int depth) {
  descriptor = nullptr;
  MP4_Position start = 0;
  MP4_Result r = stream.Tell(start);
  if (MP4_FAILED(r)) return r;

  MP4_UI08 tag = 0;
  if (MP4_FAILED(r = stream.ReadUI08(tag))) {
    stream.Seek(start);
    return r;
  }
  MP4_Size payload = 0;
  MP4_Size header = 1;
  // At most four length bytes, whatever the fourth says.
  for (int i = 0; i < 4; i++) {
    MP4_UI08 b = 0;
    if (MP4_FAILED(r = stream.ReadUI08(b))) {
      stream.Seek(start);
      return r;
    }
    header++;
    payload = (payload << 7) | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  // The payload must lie inside what is left of the stream (the esds atom
  // or the parent descriptor): its size decides an allocation.
  if (payload > stream.GetRemaining() || depth >= kMaxDepth) {
    stream.Seek(start);
    return MP4_ERROR_INVALID_FORMAT;
  }

  switch (tag) {
    case MP4_Descriptor::TAG_ES:
      descriptor = new (std::nothrow) MP4_EsDescriptor(stream, header, payload, depth);
      break;
    case MP4_Descriptor::TAG_DECODER_CONFIG:
      descriptor = new (std::nothrow) MP4_DecoderConfigDescriptor(stream, header, payload, depth);
      break;
    case MP4_Descriptor::TAG_DECODER_SPECIFIC_INFO:
      descriptor = new (std::nothrow) MP4_DecoderSpecificInfoDescriptor(stream, header, payload);
      break;
    case MP4_Descriptor::TAG_SL_CONFIG:
      if (payload != 1) {
        stream.Seek(start);
        return MP4_ERROR_INVALID_FORMAT;
      }
      descriptor = new (std::nothrow) MP4_SLConfigDescriptor(header);
      break;
    default:
      descriptor = new (std::nothrow) MP4_UnknownDescriptor(stream, tag, header, payload);
      break;
  }
  stream.Seek(start + header + payload);
  return MP4_SUCCESS;
}
