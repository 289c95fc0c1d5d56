// Where each sample of a track lies and when it plays: the sample record
// and the sample table that combines the atoms of a track's stbl.
// Sample indexes are 0-based here (1-based sample numbers inside the atoms).
#pragma once

#include "mp4/MP4Atom.h"
#include "mp4/MP4SampleDescription.h"

class MP4_StscAtom;
class MP4_StcoAtom;
class MP4_Co64Atom;
class MP4_StszAtom;
class MP4_SttsAtom;
class MP4_CttsAtom;
class MP4_StsdAtom;
class MP4_StssAtom;

// One sample: where its data lies (holding a reference on the stream) and
// its times in media units. The composition time is signed: a negative
// composition offset can put it before 0.
class MP4_Sample {
 public:
  MP4_Sample() = default;
  MP4_Sample(const MP4_Sample& other);
  MP4_Sample& operator=(const MP4_Sample& other);
  ~MP4_Sample();

  void Reset();
  MP4_ByteStream* GetDataStream() const { return m_DataStream; }
  void SetDataStream(MP4_ByteStream* stream);
  MP4_Position GetOffset() const { return m_Offset; }
  void SetOffset(MP4_Position offset) { m_Offset = offset; }
  MP4_Size GetSize() const { return m_Size; }
  void SetSize(MP4_Size size) { m_Size = size; }
  MP4_UI32 GetDescriptionIndex() const { return m_DescriptionIndex; }
  void SetDescriptionIndex(MP4_UI32 index) { m_DescriptionIndex = index; }
  MP4_UI64 GetDts() const { return m_Dts; }
  void SetDts(MP4_UI64 dts) { m_Dts = dts; }
  MP4_SI64 GetCts() const { return m_Cts; }
  void SetCts(MP4_SI64 cts) { m_Cts = cts; }
  MP4_UI64 GetDuration() const { return m_Duration; }
  void SetDuration(MP4_UI64 duration) { m_Duration = duration; }

  // True when the whole sample lies within its stream (a sample table may
  // point past the end of a cut file).
  bool LiesInStream() const;
  // `size` bytes from `offset` within the sample into the buffer;
  // MP4_ERROR_EOS when the sample lies past the end of its stream.
  MP4_Result ReadData(MP4_DataBuffer& data, MP4_Size size, MP4_Size offset = 0);
  MP4_Result ReadData(MP4_DataBuffer& data) { return ReadData(data, m_Size, 0); }
  // The whole sample into caller memory of at least GetSize() bytes.
  MP4_Result ReadData(void* buffer);

 private:
  MP4_ByteStream* m_DataStream = nullptr;
  MP4_Position m_Offset = 0;
  MP4_Size m_Size = 0;
  MP4_UI32 m_DescriptionIndex = 0;
  MP4_UI64 m_Dts = 0;
  MP4_SI64 m_Cts = 0;
  MP4_UI64 m_Duration = 0;
};

class MP4_SampleTable {
 public:
  MP4_SampleTable() = default;
  MP4_SampleTable(const MP4_SampleTable&) = delete;
  MP4_SampleTable& operator=(const MP4_SampleTable&) = delete;
  virtual ~MP4_SampleTable() = default;

  // A new stbl container describing the table's samples (stsd, stts,
  // stsc, stsz and stco, or co64 when an offset needs it).
  MP4_Result GenerateStblAtom(MP4_ContainerAtom*& stbl);

  virtual MP4_Result GetSample(MP4_UI32 index, MP4_Sample& sample) = 0;
  virtual MP4_UI32 GetSampleCount() = 0;
  virtual MP4_UI32 GetSampleDescriptionCount() = 0;
  virtual MP4_SampleDescription* GetSampleDescription(MP4_UI32 index) = 0;
  virtual MP4_Result GetSampleIndexForTimeStamp(MP4_UI64 ts, MP4_UI32& index) = 0;
};

class MP4_AtomSampleTable : public MP4_SampleTable {
 public:
  MP4_AtomSampleTable(MP4_ContainerAtom* stbl, MP4_ByteStream& stream);
  ~MP4_AtomSampleTable() override;

  MP4_Result GetSample(MP4_UI32 index, MP4_Sample& sample) override;
  // The samples that can be located and timed: no more than the sizes,
  // the decode times and the chunks describe, nor than the file can hold.
  MP4_UI32 GetSampleCount() override { return m_SampleCount; }
  MP4_UI32 GetSampleDescriptionCount() override;
  MP4_SampleDescription* GetSampleDescription(MP4_UI32 index) override;
  MP4_Result GetSampleIndexForTimeStamp(MP4_UI64 ts, MP4_UI32& index) override;
  MP4_Result GetChunkForSample(MP4_UI32 sample, MP4_UI32& chunk, MP4_UI32& skip, MP4_UI32& description);
  MP4_Result GetChunkOffset(MP4_UI32 chunk, MP4_UI64& offset);
  MP4_Result SetChunkOffset(MP4_UI32 chunk, MP4_UI64 offset);
  MP4_Result SetSampleSize(MP4_UI32 sample, MP4_Size size);

  // Mends time-to-sample deltas that put samples far outside the track
  // (see MP4_SttsAtom::MendAbsurdDeltas); returns the samples mended.
  MP4_UI64 MendAbsurdDeltas(MP4_UI64 stated, MP4_UI64 limit, MP4_UI64 slack, MP4_UI64 fallback);
  // The time-to-sample delta most samples have; 0 without one.
  MP4_UI64 CommonDelta() const;
  // The samples' deltas together, in the track's time scale.
  MP4_UI64 GetTotalDuration() const;

  MP4_StssAtom* GetStssAtom() const { return m_StssAtom; }
  MP4_StsdAtom* GetStsdAtom() const { return m_StsdAtom; }

 private:
  void ApplyQuickTimeSoundCorrection();
  void LimitSampleCount();

  MP4_ByteStream& m_Stream;
  MP4_StscAtom* m_StscAtom = nullptr;
  MP4_StcoAtom* m_StcoAtom = nullptr;
  MP4_Co64Atom* m_Co64Atom = nullptr;
  MP4_StszAtom* m_StszAtom = nullptr;
  MP4_SttsAtom* m_SttsAtom = nullptr;
  MP4_CttsAtom* m_CttsAtom = nullptr;
  MP4_StsdAtom* m_StsdAtom = nullptr;
  MP4_StssAtom* m_StssAtom = nullptr;
  MP4_UI32 m_SampleCount = 0;
};
