// Leaf atoms read for codec set-up, chapters, metadata, compressed movie
// headers, protection and hinting: esds, avcC, ftyp, ftab, chpl, dcom,
// cmvd, data, frma, schm, iKMS, iSFM, sdp, rtp, tims, track references,
// hmhd, elst and enda.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mp4/MP4Atom.h"
#include "mp4/MP4Descriptors.h"

// Text payloads (names, URIs, SDP) are kept up to this many bytes.
constexpr MP4_LargeSize kMP4MaxTextBytes = 1u << 20;

class MP4_EsdsAtom : public MP4_Atom {
 public:
  MP4_EsdsAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  // Takes ownership of the descriptor.
  explicit MP4_EsdsAtom(MP4_EsDescriptor* descriptor);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  // Null unless the atom held an ES descriptor.
  const MP4_EsDescriptor* GetEsDescriptor() const { return m_EsDescriptor.get(); }

 private:
  std::unique_ptr<MP4_EsDescriptor> m_EsDescriptor;
};

// The AVC decoder configuration record, kept as bytes.
class MP4_AvcCAtom : public MP4_Atom {
 public:
  MP4_AvcCAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_FAILURE; }
  const MP4_DataBuffer& GetRawBytes() const { return m_RawBytes; }

 private:
  MP4_DataBuffer m_RawBytes;
};

class MP4_FtypAtom : public MP4_Atom {
 public:
  MP4_FtypAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_UI32 GetMajorBrand() const { return m_MajorBrand; }
  MP4_UI32 GetMinorVersion() const { return m_MinorVersion; }
  const std::vector<MP4_UI32>& GetCompatibleBrands() const { return m_CompatibleBrands; }

 private:
  MP4_UI32 m_MajorBrand = 0;
  MP4_UI32 m_MinorVersion = 0;
  std::vector<MP4_UI32> m_CompatibleBrands;
};

struct MP4_Tx3gFontRecord {
  MP4_UI16 id = 0;
  std::string name;
};

// The font table of a 3GPP text entry.
class MP4_FtabAtom : public MP4_Atom {
 public:
  MP4_FtabAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_FAILURE; }
  const std::vector<MP4_Tx3gFontRecord>& GetFontRecords() const { return m_FontRecords; }

 private:
  std::vector<MP4_Tx3gFontRecord> m_FontRecords;
};

struct MP4_Chapter {
  MP4_UI64 start = 0;  // 100 ns
  std::string name;
};

// Nero chapters.
class MP4_ChplAtom : public MP4_Atom {
 public:
  MP4_ChplAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_FAILURE; }
  const std::vector<MP4_Chapter>& GetChapters() const { return m_Chapters; }

 private:
  std::vector<MP4_Chapter> m_Chapters;
};

class MP4_DcomAtom : public MP4_Atom {
 public:
  MP4_DcomAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_FAILURE; }
  MP4_UI32 GetCompressorSubType() const { return m_CompressorSubType; }

 private:
  MP4_UI32 m_CompressorSubType = 0;
};

// The compressed movie header with its stated uncompressed size.
class MP4_CmvdAtom : public MP4_Atom {
 public:
  MP4_CmvdAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_FAILURE; }
  MP4_UI32 GetUncompressedSize() const { return m_UncompressedSize; }
  const MP4_DataBuffer& GetCompressedData() const { return m_Data; }

 private:
  MP4_UI32 m_UncompressedSize = 0;
  MP4_DataBuffer m_Data;
};

// A metadata value (iTunes-style item list).
class MP4_DataAtom : public MP4_Atom {
 public:
  MP4_DataAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_FAILURE; }
  MP4_UI32 GetDataType() const { return m_DataType; }
  MP4_UI32 GetDataLang() const { return m_DataLang; }
  const MP4_DataBuffer& GetData() const { return m_Data; }

 private:
  MP4_UI32 m_DataType = 0;
  MP4_UI32 m_DataLang = 0;
  MP4_DataBuffer m_Data;
};

class MP4_FrmaAtom : public MP4_Atom {
 public:
  MP4_FrmaAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_UI32 GetOriginalFormat() const { return m_OriginalFormat; }

 private:
  MP4_UI32 m_OriginalFormat = 0;
};

class MP4_SchmAtom : public MP4_Atom {
 public:
  MP4_SchmAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_UI32 GetSchemeType() const { return m_SchemeType; }
  MP4_UI32 GetSchemeVersion() const { return m_SchemeVersion; }
  const std::string& GetSchemeUri() const { return m_SchemeUri; }

 private:
  MP4_UI32 m_SchemeType = 0;
  MP4_UI32 m_SchemeVersion = 0;
  std::string m_SchemeUri;
};

class MP4_IkmsAtom : public MP4_Atom {
 public:
  MP4_IkmsAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_Atom* Clone() override;
  const std::string& GetKmsUri() const { return m_KmsUri; }

 private:
  explicit MP4_IkmsAtom(const MP4_IkmsAtom& other);
  std::string m_KmsUri;
};

class MP4_IsfmAtom : public MP4_Atom {
 public:
  MP4_IsfmAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_Atom* Clone() override;
  bool GetSelectiveEncryption() const { return m_SelectiveEncryption; }
  MP4_UI08 GetKeyIndicatorLength() const { return m_KeyIndicatorLength; }
  MP4_UI08 GetIvLength() const { return m_IvLength; }

 private:
  explicit MP4_IsfmAtom(const MP4_IsfmAtom& other);
  bool m_SelectiveEncryption = false;
  MP4_UI08 m_KeyIndicatorLength = 0;
  MP4_UI08 m_IvLength = 0;
};

class MP4_SdpAtom : public MP4_Atom {
 public:
  MP4_SdpAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  const std::string& GetSdpText() const { return m_SdpText; }

 private:
  std::string m_SdpText;
};

// The "rtp " atom of an hnti container (not the hint sample entry).
class MP4_RtpAtom : public MP4_Atom {
 public:
  MP4_RtpAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_UI32 GetDescriptionFormat() const { return m_DescriptionFormat; }
  const std::string& GetSdpText() const { return m_SdpText; }

 private:
  MP4_UI32 m_DescriptionFormat = 0;
  std::string m_SdpText;
};

class MP4_TimsAtom : public MP4_Atom {
 public:
  MP4_TimsAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_UI32 GetTimeScale() const { return m_TimeScale; }

 private:
  MP4_UI32 m_TimeScale = 0;
};

// QuickTime's byte order of uncompressed sound ('in24', 'in32', 'fl32',
// 'fl64'), inside the entry's 'wave': big-endian unless it says little.
class MP4_EndaAtom : public MP4_Atom {
 public:
  MP4_EndaAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  bool IsLittleEndian() const { return m_LittleEndian != 0; }

 private:
  MP4_UI16 m_LittleEndian = 0;
};

// A track reference (child of tref): the ids of the referenced tracks.
class MP4_TrefTypeAtom : public MP4_Atom {
 public:
  MP4_TrefTypeAtom(Type type, MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  const std::vector<MP4_UI32>& GetTrackIds() const { return m_TrackIds; }

 private:
  std::vector<MP4_UI32> m_TrackIds;
};

class MP4_HmhdAtom : public MP4_Atom {
 public:
  MP4_HmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI16 m_MaxPduSize = 0;
  MP4_UI16 m_AvgPduSize = 0;
  MP4_UI32 m_MaxBitrate = 0;
  MP4_UI32 m_AvgBitrate = 0;
  MP4_UI32 m_Reserved = 0;
};

// The edit list of a track (child of edts): which stretch of the media
// plays when on the movie's time line. A media time of -1 is an empty edit.
class MP4_ElstAtom : public MP4_Atom {
 public:
  struct Entry {
    MP4_UI64 duration = 0;  // movie time scale
    MP4_SI64 media_time = 0;  // media time scale
  };
  MP4_ElstAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  const std::vector<Entry>& GetEntries() const { return m_Entries; }

 private:
  std::vector<Entry> m_Entries;
  std::vector<MP4_UI32> m_Rates;  // 16.16 media rate of each entry
};
