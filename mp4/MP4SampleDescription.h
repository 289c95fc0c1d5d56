// Sample descriptions: the coding-independent summary a sample entry turns
// into (unknown, MPEG system/audio/video, ISMA-encrypted), from which the
// splitter builds its media types. They turn back into sample entries for
// writing.
#pragma once

#include <memory>
#include <string>

#include "mp4/MP4Atom.h"

class MP4_EsDescriptor;

class MP4_SampleDescription {
 public:
  enum Type { TYPE_UNKNOWN = 0, TYPE_MPEG = 1, TYPE_ISMACRYP = 2 };

  explicit MP4_SampleDescription(Type type) : m_Type(type) {}
  MP4_SampleDescription(const MP4_SampleDescription&) = delete;
  MP4_SampleDescription& operator=(const MP4_SampleDescription&) = delete;
  virtual ~MP4_SampleDescription() = default;

  Type GetType() const { return m_Type; }
  // A new sample-entry atom, or null.
  virtual MP4_Atom* ToAtom() const = 0;

 private:
  Type m_Type;
};

// Refers to the sample entry it was made from (which stays in its stsd).
class MP4_UnknownSampleDescription : public MP4_SampleDescription {
 public:
  explicit MP4_UnknownSampleDescription(MP4_Atom* sample_entry)
      : MP4_SampleDescription(TYPE_UNKNOWN), m_SampleEntry(sample_entry) {}
  MP4_Atom* ToAtom() const override;
  MP4_Atom* GetSampleEntry() const { return m_SampleEntry; }

 private:
  MP4_Atom* m_SampleEntry;
};

class MP4_MpegSampleDescription : public MP4_SampleDescription {
 public:
  static constexpr MP4_UI08 STREAM_TYPE_VISUAL = 4;
  static constexpr MP4_UI08 STREAM_TYPE_AUDIO = 5;

  // Copies `decoder_info` (null: none).
  MP4_MpegSampleDescription(MP4_UI08 stream_type, MP4_UI08 object_type, const MP4_DataBuffer* decoder_info,
                            MP4_UI32 buffer_size, MP4_UI32 max_bitrate, MP4_UI32 avg_bitrate);

  MP4_UI08 GetStreamType() const { return m_StreamType; }
  MP4_UI08 GetObjectTypeId() const { return m_ObjectTypeId; }
  // Null when the description has none (not an empty buffer).
  const MP4_DataBuffer* GetDecoderInfo() const { return m_DecoderInfo.get(); }
  MP4_UI32 GetBufferSize() const { return m_BufferSize; }
  MP4_UI32 GetMaxBitrate() const { return m_MaxBitrate; }
  MP4_UI32 GetAvgBitrate() const { return m_AvgBitrate; }

 protected:
  // ES id 0, the decoder configuration (with the decoder-specific
  // information when there is some) and an SL configuration.
  MP4_EsDescriptor* CreateEsDescriptor() const;

  MP4_UI08 m_StreamType;
  MP4_UI08 m_ObjectTypeId;
  std::unique_ptr<MP4_DataBuffer> m_DecoderInfo;
  MP4_UI32 m_BufferSize;
  MP4_UI32 m_MaxBitrate;
  MP4_UI32 m_AvgBitrate;
};

class MP4_MpegSystemSampleDescription : public MP4_MpegSampleDescription {
 public:
  using MP4_MpegSampleDescription::MP4_MpegSampleDescription;
  MP4_Atom* ToAtom() const override;
};

class MP4_MpegAudioSampleDescription : public MP4_MpegSampleDescription {
 public:
  MP4_MpegAudioSampleDescription(MP4_UI08 object_type, MP4_UI32 sample_rate, MP4_UI16 sample_size,
                                 MP4_UI16 channel_count, const MP4_DataBuffer* decoder_info, MP4_UI32 buffer_size,
                                 MP4_UI32 max_bitrate, MP4_UI32 avg_bitrate);
  MP4_Atom* ToAtom() const override;

  MP4_UI32 GetSampleRate() const { return m_SampleRate; }
  MP4_UI16 GetSampleSize() const { return m_SampleSize; }
  MP4_UI16 GetChannelCount() const { return m_ChannelCount; }

 private:
  MP4_UI32 m_SampleRate;
  MP4_UI16 m_SampleSize;
  MP4_UI16 m_ChannelCount;
};

class MP4_MpegVideoSampleDescription : public MP4_MpegSampleDescription {
 public:
  MP4_MpegVideoSampleDescription(MP4_UI08 object_type, MP4_UI16 width, MP4_UI16 height, MP4_UI16 depth,
                                 const char* compressor_name, const MP4_DataBuffer* decoder_info,
                                 MP4_UI32 buffer_size, MP4_UI32 max_bitrate, MP4_UI32 avg_bitrate);
  MP4_Atom* ToAtom() const override;

  MP4_UI16 GetWidth() const { return m_Width; }
  MP4_UI16 GetHeight() const { return m_Height; }
  MP4_UI16 GetDepth() const { return m_Depth; }
  const std::string& GetCompressorName() const { return m_CompressorName; }

 private:
  MP4_UI16 m_Width, m_Height, m_Depth;
  std::string m_CompressorName;
};

// The "schi" container of an encrypted entry, holding copies of its
// children (iKMS, iSFM).
class MP4_IsmaCrypSchemeInfo : public MP4_ContainerAtom {
 public:
  explicit MP4_IsmaCrypSchemeInfo(const MP4_ContainerAtom* schi);
};

class MP4_IsmaCrypSampleDescription : public MP4_SampleDescription {
 public:
  // Takes ownership of `original`; copies the children of `schi` (may be null).
  MP4_IsmaCrypSampleDescription(MP4_SampleDescription* original, MP4_UI32 original_format, MP4_UI32 scheme_type,
                                MP4_UI32 scheme_version, const char* scheme_uri, const MP4_ContainerAtom* schi);
  // Nothing in the system writes encrypted entries.
  MP4_Atom* ToAtom() const override { return nullptr; }

  const MP4_SampleDescription* GetOriginalSampleDescription() const { return m_Original.get(); }
  MP4_UI32 GetOriginalFormat() const { return m_OriginalFormat; }
  MP4_UI32 GetSchemeType() const { return m_SchemeType; }
  MP4_UI32 GetSchemeVersion() const { return m_SchemeVersion; }
  const std::string& GetSchemeUri() const { return m_SchemeUri; }
  const MP4_IsmaCrypSchemeInfo& GetSchemeInfo() const { return m_SchemeInfo; }

 private:
  std::unique_ptr<MP4_SampleDescription> m_Original;
  MP4_UI32 m_OriginalFormat;
  MP4_UI32 m_SchemeType;
  MP4_UI32 m_SchemeVersion;
  std::string m_SchemeUri;
  MP4_IsmaCrypSchemeInfo m_SchemeInfo;
};
