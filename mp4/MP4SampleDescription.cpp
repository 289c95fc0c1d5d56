#include "mp4/MP4SampleDescription.h"

#include <new>

#include "mp4/MP4Descriptors.h"
#include "mp4/MP4SampleEntry.h"

MP4_Atom* MP4_UnknownSampleDescription::ToAtom() const {
  const auto* entry = dynamic_cast<const MP4_SampleEntry*>(m_SampleEntry);
  return new (std::nothrow)
      MP4_SampleEntry(m_SampleEntry->GetType(), entry ? entry->GetDataReferenceIndex() : MP4_UI16(1));
}

MP4_MpegSampleDescription::MP4_MpegSampleDescription(MP4_UI08 stream_type, MP4_UI08 object_type,
                                                     const MP4_DataBuffer* decoder_info, MP4_UI32 buffer_size,
                                                     MP4_UI32 max_bitrate, MP4_UI32 avg_bitrate)
    : MP4_SampleDescription(TYPE_MPEG),
      m_StreamType(stream_type),
      m_ObjectTypeId(object_type),
      m_BufferSize(buffer_size),
      m_MaxBitrate(max_bitrate),
      m_AvgBitrate(avg_bitrate) {
  if (decoder_info) m_DecoderInfo.reset(new (std::nothrow) MP4_DataBuffer(*decoder_info));
}

MP4_EsDescriptor* MP4_MpegSampleDescription::CreateEsDescriptor() const {
  auto* es = new (std::nothrow) MP4_EsDescriptor(0);
  if (!es) return nullptr;
  MP4_DecoderSpecificInfoDescriptor* dsi = nullptr;
  if (m_DecoderInfo) dsi = new (std::nothrow) MP4_DecoderSpecificInfoDescriptor(*m_DecoderInfo);
  if (auto* dcd = new (std::nothrow)
          MP4_DecoderConfigDescriptor(m_StreamType, m_ObjectTypeId, m_BufferSize, m_MaxBitrate, m_AvgBitrate, dsi)) {
    es->AddSubDescriptor(dcd);
  } else {
    delete dsi;
  }
  if (auto* sl = new (std::nothrow) MP4_SLConfigDescriptor()) es->AddSubDescriptor(sl);
  return es;
}

MP4_Atom* MP4_MpegSystemSampleDescription::ToAtom() const {
  return new (std::nothrow) MP4_Mp4sSampleEntry(CreateEsDescriptor());
}

MP4_MpegAudioSampleDescription::MP4_MpegAudioSampleDescription(MP4_UI08 object_type, MP4_UI32 sample_rate,
                                                               MP4_UI16 sample_size, MP4_UI16 channel_count,
                                                               const MP4_DataBuffer* decoder_info,
                                                               MP4_UI32 buffer_size, MP4_UI32 max_bitrate,
                                                               MP4_UI32 avg_bitrate)
    : MP4_MpegSampleDescription(STREAM_TYPE_AUDIO, object_type, decoder_info, buffer_size, max_bitrate, avg_bitrate),
      m_SampleRate(sample_rate),
      m_SampleSize(sample_size),
      m_ChannelCount(channel_count) {}

MP4_Atom* MP4_MpegAudioSampleDescription::ToAtom() const {
  return new (std::nothrow) MP4_Mp4aSampleEntry(m_SampleRate << 16, m_SampleSize, m_ChannelCount, CreateEsDescriptor());
}

MP4_MpegVideoSampleDescription::MP4_MpegVideoSampleDescription(MP4_UI08 object_type, MP4_UI16 width,
                                                               MP4_UI16 height, MP4_UI16 depth,
                                                               const char* compressor_name,
                                                               const MP4_DataBuffer* decoder_info,
                                                               MP4_UI32 buffer_size, MP4_UI32 max_bitrate,
                                                               MP4_UI32 avg_bitrate)
    : MP4_MpegSampleDescription(STREAM_TYPE_VISUAL, object_type, decoder_info, buffer_size, max_bitrate, avg_bitrate),
      m_Width(width),
      m_Height(height),
      m_Depth(depth),
      m_CompressorName(compressor_name ? compressor_name : "") {}

MP4_Atom* MP4_MpegVideoSampleDescription::ToAtom() const {
  return new (std::nothrow)
      MP4_Mp4vSampleEntry(m_Width, m_Height, m_Depth, m_CompressorName.c_str(), CreateEsDescriptor());
}

MP4_IsmaCrypSchemeInfo::MP4_IsmaCrypSchemeInfo(const MP4_ContainerAtom* schi)
    : MP4_ContainerAtom(MP4_FourCC("schi")) {
  if (!schi) return;
  for (MP4_Atom* child : schi->GetChildren()) {
    MP4_Atom* copy = child->Clone();
    if (copy && MP4_FAILED(AddChild(copy))) delete copy;
  }
}

MP4_IsmaCrypSampleDescription::MP4_IsmaCrypSampleDescription(MP4_SampleDescription* original,
                                                             MP4_UI32 original_format, MP4_UI32 scheme_type,
                                                             MP4_UI32 scheme_version, const char* scheme_uri,
                                                             const MP4_ContainerAtom* schi)
    : MP4_SampleDescription(TYPE_ISMACRYP),
      m_Original(original),
      m_OriginalFormat(original_format),
      m_SchemeType(scheme_type),
      m_SchemeVersion(scheme_version),
      m_SchemeUri(scheme_uri ? scheme_uri : ""),
      m_SchemeInfo(schi) {}
