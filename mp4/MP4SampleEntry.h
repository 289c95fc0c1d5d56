// Sample entries, the children of stsd: each reads its fixed fields, then
// its child atoms (esds, avcC, ftab, wave, sinf...), and can turn itself
// into a sample description.
#pragma once

#include <string>

#include "mp4/MP4Atom.h"
#include "mp4/MP4SampleDescription.h"

class MP4_AtomFactory;
class MP4_EsDescriptor;
class MP4_EsdsAtom;

class MP4_SampleEntry : public MP4_ContainerAtom {
 public:
  // A plain entry (for writing) of that type and data reference.
  MP4_SampleEntry(Type type, MP4_UI16 data_reference_index);

  // A new owned description, or null.
  virtual MP4_SampleDescription* ToSampleDescription();
  // Bytes of the fixed fields (after the atom header).
  virtual MP4_Size GetFieldsSize() const { return 8; }
  MP4_UI16 GetDataReferenceIndex() const { return m_DataReferenceIndex; }
  // Failure when the fixed fields could not be made sense of (an audio
  // entry of an unknown version); the factory then drops the entry.
  MP4_Result GetReadResult() const { return m_ReadResult; }

  MP4_Result Write(MP4_ByteStream& stream) override;
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result Inspect(MP4_AtomInspector& inspector) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  void OnChildChanged(MP4_Atom* child) override;

 protected:
  // The header only; the concrete class calls Read.
  MP4_SampleEntry(Type type, MP4_AtomSize size, MP4_ByteStream& stream);
  // The fields (through the most derived ReadFields), then the children
  // from what is left of the atom.
  void Read(MP4_ByteStream& stream, MP4_AtomFactory& factory, bool with_children = true);
  virtual void ReadFields(MP4_FieldReader& in);
  virtual MP4_Result WriteSpecificFields(MP4_ByteStream& stream) { return MP4_SUCCESS; }
  virtual void InspectSpecificFields(MP4_AtomInspector& inspector) {}

  // The ES descriptor of the esds child, else of an esds inside a wave
  // child (QuickTime sound); null without.
  const MP4_EsDescriptor* FindEsDescriptor() const;

  MP4_Byte m_Reserved[6] = {};
  MP4_UI16 m_DataReferenceIndex = 1;
  MP4_Result m_ReadResult = MP4_SUCCESS;
};

class MP4_MpegSampleEntry : public MP4_SampleEntry {
 protected:
  using MP4_SampleEntry::MP4_SampleEntry;
  // Adds an esds child that owns the descriptor.
  void AddEsDescriptor(MP4_EsDescriptor* descriptor);
};

class MP4_Mp4sSampleEntry : public MP4_MpegSampleEntry {
 public:
  MP4_Mp4sSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  explicit MP4_Mp4sSampleEntry(MP4_EsDescriptor* descriptor);
  MP4_SampleDescription* ToSampleDescription() override;
};

class MP4_AudioSampleEntry : public MP4_MpegSampleEntry {
 public:
  MP4_AudioSampleEntry(Type type, MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);

  MP4_SampleDescription* ToSampleDescription() override;
  MP4_Size GetFieldsSize() const override;

  MP4_UI16 GetQtVersion() const { return m_QtVersion; }
  MP4_UI16 GetChannelCount() const { return m_ChannelCount; }
  MP4_UI16 GetSampleSize() const { return m_SampleSize; }
  // 16.16 fixed point, and its integer part.
  MP4_UI32 GetSampleRateFixed() const { return m_SampleRate; }
  MP4_UI32 GetSampleRate() const { return m_SampleRateHz; }
  MP4_UI32 GetSamplesPerPacket() const { return m_QtV1SamplesPerPacket; }
  MP4_UI32 GetBytesPerPacket() const { return m_QtV1BytesPerPacket; }
  MP4_UI32 GetBytesPerFrame() const { return m_QtV1BytesPerFrame; }
  MP4_UI32 GetBytesPerSample() const { return m_QtV1BytesPerSample; }
  // Version 2: the layout flags of 'lpcm' sound (float 1, big-endian 2,
  // signed 4, non-interleaved 32) and the bytes of one sound frame.
  MP4_UI32 GetFormatFlags() const { return m_QtV2FormatFlags; }
  MP4_UI32 GetBytesPerAudioPacket() const { return m_QtV2BytesPerPacket; }

 protected:
  // From values (for writing): version 0.
  MP4_AudioSampleEntry(Type type, MP4_UI32 sample_rate, MP4_UI16 sample_size, MP4_UI16 channel_count);
  void ReadFields(MP4_FieldReader& in) override;
  MP4_Result WriteSpecificFields(MP4_ByteStream& stream) override;
  void InspectSpecificFields(MP4_AtomInspector& inspector) override;
  MP4_SampleDescription* ToMpegAudioDescription() const;

  MP4_UI16 m_QtVersion = 0;
  MP4_UI16 m_QtRevision = 0;
  MP4_UI32 m_QtVendor = 0;
  MP4_UI16 m_ChannelCount = 0;
  MP4_UI16 m_SampleSize = 0;
  MP4_UI16 m_QtCompressionId = 0;
  MP4_UI16 m_QtPacketSize = 0;
  MP4_UI32 m_SampleRate = 0;
  MP4_UI32 m_QtV1SamplesPerPacket = 0;
  MP4_UI32 m_QtV1BytesPerPacket = 0;
  MP4_UI32 m_QtV1BytesPerFrame = 0;
  MP4_UI32 m_QtV1BytesPerSample = 0;
  // In Hz: a version 2 rate of 65536 Hz or more has no 16.16 form.
  MP4_UI32 m_SampleRateHz = 0;
  MP4_UI32 m_QtV2StructSize = 0;
  MP4_UI32 m_QtV2FormatFlags = 0;
  MP4_UI32 m_QtV2BytesPerPacket = 0;
};

class MP4_Mp4aSampleEntry : public MP4_AudioSampleEntry {
 public:
  MP4_Mp4aSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_Mp4aSampleEntry(MP4_UI32 sample_rate, MP4_UI16 sample_size, MP4_UI16 channel_count,
                      MP4_EsDescriptor* descriptor);
};

// ISMA-encrypted audio.
class MP4_EncaSampleEntry : public MP4_AudioSampleEntry {
 public:
  MP4_EncaSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_SampleDescription* ToSampleDescription() override;
};

class MP4_VisualSampleEntry : public MP4_MpegSampleEntry {
 public:
  MP4_VisualSampleEntry(Type type, MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);

  MP4_SampleDescription* ToSampleDescription() override;
  MP4_Size GetFieldsSize() const override { return 78; }

  MP4_UI16 GetWidth() const { return m_Width; }
  MP4_UI16 GetHeight() const { return m_Height; }
  MP4_UI16 GetDepth() const { return m_Depth; }
  const std::string& GetCompressorName() const { return m_CompressorName; }

 protected:
  MP4_VisualSampleEntry(Type type, MP4_UI16 width, MP4_UI16 height, MP4_UI16 depth, const char* compressor_name);
  void ReadFields(MP4_FieldReader& in) override;
  MP4_Result WriteSpecificFields(MP4_ByteStream& stream) override;
  void InspectSpecificFields(MP4_AtomInspector& inspector) override;
  MP4_SampleDescription* ToMpegVideoDescription() const;

  MP4_UI16 m_Predefined1 = 0;
  MP4_UI16 m_Reserved2 = 0;
  MP4_Byte m_Predefined2[12] = {};
  MP4_UI16 m_Width = 0;
  MP4_UI16 m_Height = 0;
  MP4_UI32 m_HorizResolution = 0;
  MP4_UI32 m_VertResolution = 0;
  MP4_UI32 m_Reserved3 = 0;
  MP4_UI16 m_FrameCount = 0;
  std::string m_CompressorName;
  MP4_UI16 m_Depth = 0;
  MP4_UI16 m_Predefined3 = 0;
};

class MP4_Mp4vSampleEntry : public MP4_VisualSampleEntry {
 public:
  MP4_Mp4vSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_Mp4vSampleEntry(MP4_UI16 width, MP4_UI16 height, MP4_UI16 depth, const char* compressor_name,
                      MP4_EsDescriptor* descriptor);
};

class MP4_Avc1SampleEntry : public MP4_VisualSampleEntry {
 public:
  MP4_Avc1SampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
};

// ISMA-encrypted video.
class MP4_EncvSampleEntry : public MP4_VisualSampleEntry {
 public:
  MP4_EncvSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_SampleDescription* ToSampleDescription() override;
};

class MP4_RtpHintSampleEntry : public MP4_SampleEntry {
 public:
  MP4_RtpHintSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_SampleDescription* ToSampleDescription() override;
  MP4_Size GetFieldsSize() const override { return 16; }

 protected:
  void ReadFields(MP4_FieldReader& in) override;
  MP4_Result WriteSpecificFields(MP4_ByteStream& stream) override;
  void InspectSpecificFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI16 m_HintTrackVersion = 0;
  MP4_UI16 m_HighestCompatibleVersion = 0;
  MP4_UI32 m_MaxPacketSize = 0;
};

// 3GPP timed text: display fields, default text box and default style.
class MP4_Tx3gSampleEntry : public MP4_SampleEntry {
 public:
  struct BoxRecord {
    MP4_UI16 top = 0, left = 0, bottom = 0, right = 0;
  };
  struct StyleRecord {
    MP4_UI16 start_char = 0, end_char = 0, font_id = 0;
    MP4_UI08 face_style_flags = 0, font_size = 0;
    MP4_UI32 text_color_rgba = 0;
  };
  struct Description {
    MP4_UI32 display_flags = 0;
    MP4_UI08 horizontal_justification = 0, vertical_justification = 0;
    MP4_UI32 background_color_rgba = 0;
    BoxRecord text_box;
    StyleRecord style;
  };

  MP4_Tx3gSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_SampleDescription* ToSampleDescription() override;
  MP4_Size GetFieldsSize() const override { return 38; }

  const Description& GetDescription() const { return m_Description; }
  // The name of a font of the ftab child; false when there is none.
  bool GetFontNameById(MP4_UI16 font_id, std::string& name) const;

 protected:
  void ReadFields(MP4_FieldReader& in) override;
  MP4_Result WriteSpecificFields(MP4_ByteStream& stream) override;

 private:
  Description m_Description;
};

// QuickTime text; reads no children.
class MP4_TextSampleEntry : public MP4_SampleEntry {
 public:
  struct Description {
    MP4_UI32 display_flags = 0;
    MP4_UI32 text_justification = 0;
    MP4_UI32 background_color = 0;
    MP4_UI16 box_top = 0, box_left = 0, box_bottom = 0, box_right = 0;
    MP4_UI16 values[4] = {};
    MP4_UI08 bytes[2] = {};
    MP4_UI32 foreground_color = 0;
  };

  MP4_TextSampleEntry(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_SampleDescription* ToSampleDescription() override;
  MP4_Size GetFieldsSize() const override { return 42; }
  const Description& GetDescription() const { return m_Description; }

 protected:
  void ReadFields(MP4_FieldReader& in) override;
  MP4_Result WriteSpecificFields(MP4_ByteStream& stream) override;

 private:
  Description m_Description;
};
