// MPEG-4 object descriptors as carried by the esds atom: the ES
// descriptor, the decoder configuration with its decoder-specific
// information, the SL configuration, and descriptors of other tags kept as
// bytes.
#pragma once

#include <string>

#include "mp4/MP4Atom.h"

class MP4_Descriptor {
 public:
  static constexpr MP4_UI08 TAG_ES = 3;
  static constexpr MP4_UI08 TAG_DECODER_CONFIG = 4;
  static constexpr MP4_UI08 TAG_DECODER_SPECIFIC_INFO = 5;
  static constexpr MP4_UI08 TAG_SL_CONFIG = 6;

  MP4_Descriptor(MP4_UI08 tag, MP4_Size header_size, MP4_Size payload_size)
      : m_Tag(tag), m_HeaderSize(header_size), m_PayloadSize(payload_size) {}
  MP4_Descriptor(const MP4_Descriptor&) = delete;
  MP4_Descriptor& operator=(const MP4_Descriptor&) = delete;
  virtual ~MP4_Descriptor() = default;

  MP4_UI08 GetTag() const { return m_Tag; }
  MP4_Size GetHeaderSize() const { return m_HeaderSize; }
  MP4_Size GetPayloadSize() const { return m_PayloadSize; }
  MP4_Size GetSize() const { return m_HeaderSize + m_PayloadSize; }

  virtual MP4_Result Write(MP4_ByteStream& stream);
  virtual MP4_Result WriteFields(MP4_ByteStream& stream) = 0;
  virtual MP4_Result Inspect(MP4_AtomInspector& inspector);

  // The smallest header (tag and 7-bit length groups, at most 4) for a
  // payload of that size.
  static MP4_Size MinimalHeaderSize(MP4_Size payload_size);

 protected:
  virtual const char* InspectName() const { return nullptr; }
  virtual void InspectFields(MP4_AtomInspector& inspector) {}
  // Sets the payload size and the header that fits it.
  void SetPayloadSize(MP4_Size payload_size);

  MP4_UI08 m_Tag;
  MP4_Size m_HeaderSize;
  MP4_Size m_PayloadSize;
};

// Owns the descriptors it lists.
class MP4_DescriptorList {
 public:
  MP4_DescriptorList() = default;
  MP4_DescriptorList(const MP4_DescriptorList&) = delete;
  MP4_DescriptorList& operator=(const MP4_DescriptorList&) = delete;
  ~MP4_DescriptorList() { m_Items.DeleteReferences(); }

  void Add(MP4_Descriptor* d) { m_Items.Add(d); }
  // The first descriptor with that tag, or null.
  MP4_Descriptor* Find(MP4_UI08 tag) const;
  MP4_Result WriteAll(MP4_ByteStream& stream) const;
  void InspectAll(MP4_AtomInspector& inspector) const;
  // Reads descriptors from the stream until one cannot be read.
  void ReadAll(MP4_ByteStream& stream, int depth);
  MP4_UI32 ItemCount() const { return m_Items.ItemCount(); }

 private:
  MP4_List<MP4_Descriptor> m_Items;
};

class MP4_DecoderSpecificInfoDescriptor;

class MP4_DecoderConfigDescriptor : public MP4_Descriptor {
 public:
  MP4_DecoderConfigDescriptor(MP4_ByteStream& stream, MP4_Size header_size, MP4_Size payload_size, int depth);
  // Takes ownership of `dsi` (may be null).
  MP4_DecoderConfigDescriptor(MP4_UI08 stream_type, MP4_UI08 object_type, MP4_UI32 buffer_size,
                              MP4_UI32 max_bitrate, MP4_UI32 avg_bitrate, MP4_DecoderSpecificInfoDescriptor* dsi);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;

  const MP4_DecoderSpecificInfoDescriptor* GetDecoderSpecificInfoDescriptor() const;
  MP4_UI08 GetObjectTypeIndication() const { return m_ObjectTypeIndication; }
  MP4_UI08 GetStreamType() const { return m_StreamType; }
  bool GetUpStream() const { return m_UpStream; }
  MP4_UI32 GetBufferSize() const { return m_BufferSize; }
  MP4_UI32 GetMaxBitrate() const { return m_MaxBitrate; }
  MP4_UI32 GetAvgBitrate() const { return m_AverageBitrate; }

 protected:
  const char* InspectName() const override { return "#[DecoderConfig]"; }
  void InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI08 m_StreamType = 0;
  MP4_UI08 m_ObjectTypeIndication = 0;
  bool m_UpStream = false;
  MP4_UI32 m_BufferSize = 0;
  MP4_UI32 m_MaxBitrate = 0;
  MP4_UI32 m_AverageBitrate = 0;
  MP4_DescriptorList m_SubDescriptors;
};

class MP4_EsDescriptor : public MP4_Descriptor {
 public:
  static constexpr MP4_UI08 FLAG_STREAM_DEPENDENCY = 4;
  static constexpr MP4_UI08 FLAG_URL = 2;
  static constexpr MP4_UI08 FLAG_OCR_STREAM = 1;

  MP4_EsDescriptor(MP4_ByteStream& stream, MP4_Size header_size, MP4_Size payload_size, int depth);
  explicit MP4_EsDescriptor(MP4_UI16 es_id);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;

  // Takes ownership; the payload grows by the descriptor's size.
  MP4_Result AddSubDescriptor(MP4_Descriptor* descriptor);
  const MP4_DecoderConfigDescriptor* GetDecoderConfigDescriptor() const;
  MP4_UI16 GetEsId() const { return m_EsId; }
  MP4_UI08 GetFlags() const { return m_Flags; }
  MP4_UI08 GetStreamPriority() const { return m_StreamPriority; }
  MP4_UI16 GetDependsOn() const { return m_DependsOn; }
  const std::string& GetUrl() const { return m_Url; }
  MP4_UI16 GetOcrEsId() const { return m_OcrEsId; }

 protected:
  const char* InspectName() const override { return "#[ES]"; }
  void InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI16 m_EsId = 0;
  MP4_UI08 m_Flags = 0;
  MP4_UI08 m_StreamPriority = 0;
  MP4_UI16 m_DependsOn = 0;
  std::string m_Url;
  MP4_UI16 m_OcrEsId = 0;
  MP4_DescriptorList m_SubDescriptors;
};

class MP4_DecoderSpecificInfoDescriptor : public MP4_Descriptor {
 public:
  MP4_DecoderSpecificInfoDescriptor(MP4_ByteStream& stream, MP4_Size header_size, MP4_Size payload_size);
  explicit MP4_DecoderSpecificInfoDescriptor(const MP4_DataBuffer& data);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  const MP4_DataBuffer& GetDecoderSpecificInfo() const { return m_Info; }

 protected:
  const char* InspectName() const override { return "#[DecoderSpecificInfo]"; }
  void InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_DataBuffer m_Info;
};

// Always predefined 2, whatever its stored byte says.
class MP4_SLConfigDescriptor : public MP4_Descriptor {
 public:
  explicit MP4_SLConfigDescriptor(MP4_Size header_size = 2);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_UI08 GetPredefined() const { return m_Predefined; }

 private:
  MP4_UI08 m_Predefined = 2;
};

class MP4_UnknownDescriptor : public MP4_Descriptor {
 public:
  MP4_UnknownDescriptor(MP4_ByteStream& stream, MP4_UI08 tag, MP4_Size header_size, MP4_Size payload_size);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  const MP4_DataBuffer& GetData() const { return m_Data; }

 private:
  MP4_DataBuffer m_Data;
};

class MP4_DescriptorFactory {
 public:
  // Descriptors nested deeper than this are not read.
  static constexpr int kMaxDepth = 16;

  // One descriptor at the stream's position; afterwards the stream stands
  // at its end. A payload longer than the stream holds is invalid.
  static MP4_Result CreateDescriptorFromStream(MP4_ByteStream& stream, MP4_Descriptor*& descriptor, int depth = 0);
};
