// The atoms of a track's sample table: stsd (sample entries), stts (decode
// times), ctts (composition offsets), stss (sync samples), stsz (sizes)
// and stsc (samples per chunk), with the lookups the sample table combines.
// Sample numbers are 1-based here.
//
// Every entry count is limited to what its atom holds, and the lookups are
// logarithmic in the table size, so long files do not slow the demux down.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "mp4/MP4Atom.h"
#include "mp4/MP4SampleDescription.h"

class MP4_AtomFactory;
class MP4_SampleEntry;

class MP4_StsdAtom : public MP4_ContainerAtom {
 public:
  MP4_StsdAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  // For writing: one entry per description (its ToAtom).
  explicit MP4_StsdAtom(const std::vector<const MP4_SampleDescription*>& descriptions);
  ~MP4_StsdAtom() override;

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  void OnChildChanged(MP4_Atom* child) override;

  MP4_UI32 GetSampleDescriptionCount() const { return m_Children.ItemCount(); }
  // The description of entry `index` (0-based), made on first use; null
  // past the entries, for an entry that is no sample entry or yields none.
  MP4_SampleDescription* GetSampleDescription(MP4_UI32 index);
  MP4_SampleEntry* GetSampleEntry(MP4_UI32 index) const;
  // The bytes of the entries as they stood in the file.
  const MP4_DataBuffer& GetDataBuffer() const { return m_Data; }

 private:
  MP4_DataBuffer m_Data;
  MP4_ByteStream* m_DataStream = nullptr;
  std::mutex m_CacheLock;
  std::vector<std::unique_ptr<MP4_SampleDescription>> m_Descriptions;
  std::vector<bool> m_DescriptionMade;
};

struct MP4_SttsTableEntry {
  MP4_UI32 m_SampleCount;
  MP4_UI64 m_SampleDelta;
};

class MP4_SttsAtom : public MP4_Atom {
 public:
  MP4_SttsAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_SttsAtom();

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_Result GetDts(MP4_UI32 sample, MP4_UI64& dts, MP4_UI64& duration) const;
  // The 0-based index of the sample playing at `ts`; failure at or past
  // the end.
  MP4_Result GetSampleIndexForTimeStamp(MP4_UI64 ts, MP4_UI32& index) const;
  MP4_Result AddEntry(MP4_UI32 sample_count, MP4_UI32 sample_delta);
  // Samples that the entries count together (64 bits: counts may be large).
  MP4_UI64 GetTotalSampleCount() const { return m_CumulativeCount.empty() ? 0 : m_CumulativeCount.back(); }
  // The sum of the deltas: the track's length in its time scale.
  MP4_UI64 GetTotalDuration() const { return m_CumulativeTime.empty() ? 0 : m_CumulativeTime.back(); }
  const std::vector<MP4_SttsTableEntry>& GetEntries() const { return m_Entries; }
  // Replaces one entry (the QuickTime sound correction rewrites the first).
  MP4_Result SetEntry(size_t index, MP4_UI32 sample_count, MP4_UI64 sample_delta);
  // Deltas of `limit` or more that take the table past the track's stated
  // length (`stated`, 0 when it states none) by more than `slack` are
  // damaged: each is replaced by the track's own step, the most common
  // delta below the limit (`stated` over the sample count when there is
  // none, else `fallback`). Returns the samples mended.
  MP4_UI64 MendAbsurdDeltas(MP4_UI64 stated, MP4_UI64 limit, MP4_UI64 slack, MP4_UI64 fallback);
  // The delta most samples have among those below `limit` (all when 0):
  // the track's own step, which a gap or a damaged delta leaves as it is.
  // 0 without one.
  MP4_UI64 CommonDelta(MP4_UI64 limit = 0) const;

 private:
  void Rebuild();

  std::vector<MP4_SttsTableEntry> m_Entries;
  // Samples and time before each entry, and after the last.
  std::vector<MP4_UI64> m_CumulativeCount;
  std::vector<MP4_UI64> m_CumulativeTime;
};

struct MP4_CttsTableEntry {
  MP4_UI32 m_SampleCount;
  MP4_UI32 m_SampleOffset;
};

class MP4_CttsAtom : public MP4_Atom {
 public:
  MP4_CttsAtom(MP4_AtomSize size, MP4_ByteStream& stream);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  // The offset as stored; callers read it as signed.
  MP4_Result GetCtsOffset(MP4_UI32 sample, MP4_UI32& offset) const;
  const std::vector<MP4_CttsTableEntry>& GetEntries() const { return m_Entries; }

 private:
  std::vector<MP4_CttsTableEntry> m_Entries;
  std::vector<MP4_UI64> m_CumulativeCount;  // samples up to and including each entry
};

class MP4_StssAtom : public MP4_Atom {
 public:
  MP4_StssAtom(MP4_AtomSize size, MP4_ByteStream& stream);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  bool IsSampleSync(MP4_UI32 sample) const;
  const std::vector<MP4_UI32>& GetEntries() const { return m_Entries; }

 private:
  std::vector<MP4_UI32> m_Entries;
  bool m_Ascending = true;
};

class MP4_StszAtom : public MP4_Atom {
 public:
  MP4_StszAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_StszAtom();

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetSampleCount() const { return m_SampleCount; }
  // 0 when every sample has its own size.
  MP4_UI32 GetSampleSize() const { return m_SampleSize; }
  MP4_Result GetSampleSize(MP4_UI32 sample, MP4_Size& size) const;
  // Sum of the sizes of samples first to last - 1.
  MP4_Result GetSampleSizes(MP4_UI32 first, MP4_UI32 last, MP4_UI64& total) const;
  MP4_Result SetSampleSize(MP4_UI32 sample, MP4_Size size);
  MP4_Result AddEntry(MP4_UI32 size);
  // Makes the table one of `count` samples of `size` bytes each.
  void SetCommonSize(MP4_UI32 count, MP4_UI32 size);

 private:
  MP4_UI32 m_SampleSize = 0;
  MP4_UI32 m_SampleCount = 0;
  std::vector<MP4_UI32> m_Entries;
  std::vector<MP4_UI64> m_Cumulative;  // bytes before each sample, and after the last
};

struct MP4_StscTableEntry {
  MP4_UI32 m_FirstChunk;
  MP4_UI32 m_FirstSample;
  MP4_UI32 m_ChunkCount;  // 0 for the last, open-ended entry
  MP4_UI32 m_SamplesPerChunk;
  MP4_UI32 m_SampleDescriptionIndex;
};

class MP4_StscAtom : public MP4_Atom {
 public:
  MP4_StscAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_StscAtom();

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_Result GetChunkForSample(MP4_UI32 sample, MP4_UI32& chunk, MP4_UI32& skip, MP4_UI32& sample_description) const;
  MP4_Result AddEntry(MP4_UI32 chunk_count, MP4_UI32 samples_per_chunk, MP4_UI32 sample_description_index);
  // Samples the entries place in chunks 1 to `chunk_count` (64 bits).
  MP4_UI64 GetSamplesInChunks(MP4_UI32 chunk_count) const;
  std::vector<MP4_StscTableEntry>& UseEntries() { return m_Entries; }
  const std::vector<MP4_StscTableEntry>& GetEntries() const { return m_Entries; }
  // Recomputes the lookup index after the entries changed.
  void Rebuild();
  // True when the table read did not begin at the first chunk and was
  // taken from it.
  bool Mended() const { return m_Mended; }

 private:
  std::vector<MP4_StscTableEntry> m_Entries;
  bool m_Mended = false;
  // For each entry, the largest end sample (first sample + chunks x
  // samples per chunk) of it and the entries before it: the first entry
  // that ends past a sample is found by binary search, with the result of
  // a walk from the first entry.
  std::vector<MP4_UI64> m_EndMax;
};
