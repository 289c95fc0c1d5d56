#include "mp4/MP4SampleTableAtoms.h"

#include <algorithm>
#include <map>
#include <limits>

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4SampleEntry.h"

namespace {

constexpr MP4_UI64 kMaxUI64 = std::numeric_limits<MP4_UI64>::max();

MP4_UI64 SaturatingAdd(MP4_UI64 a, MP4_UI64 b) { return a > kMaxUI64 - b ? kMaxUI64 : a + b; }

MP4_UI64 SaturatingMul(MP4_UI64 a, MP4_UI64 b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return r > kMaxUI64 ? kMaxUI64 : static_cast<MP4_UI64>(r);
}

// The entry count and the table behind it, limited to the atom.
std::vector<MP4_Byte> ReadCountedTable(MP4_Atom& atom, MP4_ByteStream& stream, MP4_Size entry_size) {
  if (atom.GetPayloadSize() < 4) return {};
  MP4_UI32 count = 0;
  if (MP4_FAILED(stream.ReadUI32(count))) return {};
  return MP4_ReadTable(stream, count, entry_size, atom.GetPayloadSize() - 4);
}

// The sample-description blob of an stsd is bounded like other blobs.
constexpr MP4_LargeSize kMaxStsdBytes = 64u << 20;

}  // namespace

// ---------------------------------------------------------------------------
// stsd

MP4_StsdAtom::MP4_StsdAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory)
    : MP4_ContainerAtom(MP4_FourCC("stsd"), size, true, stream) {
  if (GetPayloadSize() < 4) return;
  MP4_UI32 entry_count = 0;
  if (MP4_FAILED(stream.ReadUI32(entry_count))) return;
  MP4_FieldReader in(stream, GetPayloadSize() - 4);
  const std::vector<MP4_Byte> bytes = in.Rest(kMaxStsdBytes);
  if (MP4_FAILED(m_Data.SetData(bytes.data(), static_cast<MP4_Size>(bytes.size())))) return;
  m_DataStream = new (std::nothrow) MP4_MemoryByteStream(m_Data.GetData(), m_Data.GetDataSize());
  if (!m_DataStream) return;
  for (MP4_UI32 i = 0; i < entry_count; i++) {
    MP4_Position before = 0;
    m_DataStream->Tell(before);
    MP4_LargeSize left = m_DataStream->GetRemaining();
    if (left < 8) break;
    MP4_Atom* entry = nullptr;
    factory.ReadAtom(*m_DataStream, left, entry, this);
    if (entry) {
      entry->SetParent(this);
      m_Children.Add(entry);
      continue;
    }
    // A failed entry is passed over when the factory could step past it;
    // one that cannot even be stepped over ends the list.
    MP4_Position after = 0;
    m_DataStream->Tell(after);
    if (after == before) break;
  }
  m_Descriptions.resize(m_Children.ItemCount());
  m_DescriptionMade.resize(m_Children.ItemCount(), false);
}

MP4_StsdAtom::MP4_StsdAtom(const std::vector<const MP4_SampleDescription*>& descriptions)
    : MP4_ContainerAtom(MP4_FourCC("stsd"), MP4_AtomSize(16), true) {
  for (const MP4_SampleDescription* d : descriptions) {
    MP4_Atom* entry = d ? d->ToAtom() : nullptr;
    if (entry && MP4_FAILED(AddChild(entry))) delete entry;
  }
}

MP4_StsdAtom::~MP4_StsdAtom() {
  // The entries may hold the stream over m_Data: they go first.
  for (MP4_Atom* child : m_Children) delete child;
  m_Children.Clear();
  if (m_DataStream) m_DataStream->Release();
}

MP4_Result MP4_StsdAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(m_Children.ItemCount());
  if (MP4_FAILED(r)) return r;
  return MP4_ContainerAtom::WriteFields(stream);
}

MP4_Result MP4_StsdAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry-count", m_Children.ItemCount());
  return InspectChildren(inspector);
}

void MP4_StsdAtom::OnChildChanged(MP4_Atom*) {
  SetSize(GetHeaderSize() + 4 + ChildrenSize());
  NotifyParentChanged();
}

MP4_SampleEntry* MP4_StsdAtom::GetSampleEntry(MP4_UI32 index) const {
  MP4_UI32 i = 0;
  for (MP4_Atom* child : m_Children) {
    if (i++ == index) return dynamic_cast<MP4_SampleEntry*>(child);
  }
  return nullptr;
}

MP4_SampleDescription* MP4_StsdAtom::GetSampleDescription(MP4_UI32 index) {
  std::lock_guard<std::mutex> lock(m_CacheLock);
  if (index >= m_Children.ItemCount()) return nullptr;
  if (m_Descriptions.size() < m_Children.ItemCount()) {
    m_Descriptions.resize(m_Children.ItemCount());
    m_DescriptionMade.resize(m_Children.ItemCount(), false);
  }
  if (!m_DescriptionMade[index]) {
    m_DescriptionMade[index] = true;
    if (MP4_SampleEntry* entry = GetSampleEntry(index)) m_Descriptions[index].reset(entry->ToSampleDescription());
  }
  return m_Descriptions[index].get();
}

// ---------------------------------------------------------------------------
// stts

MP4_SttsAtom::MP4_SttsAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("stts"), size, true, stream) {
  const std::vector<MP4_Byte> table = ReadCountedTable(*this, stream, 8);
  m_Entries.reserve(table.size() / 8);
  for (size_t i = 0; i + 8 <= table.size(); i += 8)
    m_Entries.push_back({MP4_BytesToUI32(&table[i]), MP4_BytesToUI32(&table[i + 4])});
  Rebuild();
}

MP4_SttsAtom::MP4_SttsAtom() : MP4_Atom(MP4_FourCC("stts"), MP4_AtomSize(16), true) { Rebuild(); }

void MP4_SttsAtom::Rebuild() {
  m_CumulativeCount.assign(1, 0);
  m_CumulativeTime.assign(1, 0);
  m_CumulativeCount.reserve(m_Entries.size() + 1);
  m_CumulativeTime.reserve(m_Entries.size() + 1);
  for (const MP4_SttsTableEntry& e : m_Entries) {
    m_CumulativeCount.push_back(m_CumulativeCount.back() + e.m_SampleCount);
    m_CumulativeTime.push_back(SaturatingAdd(m_CumulativeTime.back(), SaturatingMul(e.m_SampleCount, e.m_SampleDelta)));
  }
}

MP4_Result MP4_SttsAtom::GetDts(MP4_UI32 sample, MP4_UI64& dts, MP4_UI64& duration) const {
  dts = 0;
  duration = 0;
  if (sample == 0 || sample > GetTotalSampleCount()) return MP4_FAILURE;
  // The entry i with cumulative[i] < sample <= cumulative[i + 1].
  const auto it = std::upper_bound(m_CumulativeCount.begin(), m_CumulativeCount.end(), MP4_UI64(sample - 1));
  const size_t i = static_cast<size_t>(it - m_CumulativeCount.begin()) - 1;
  const MP4_SttsTableEntry& e = m_Entries[i];
  dts = SaturatingAdd(m_CumulativeTime[i], SaturatingMul(sample - 1 - m_CumulativeCount[i], e.m_SampleDelta));
  duration = e.m_SampleDelta;
  return MP4_SUCCESS;
}

MP4_Result MP4_SttsAtom::GetSampleIndexForTimeStamp(MP4_UI64 ts, MP4_UI32& index) const {
  index = 0;
  // The first entry whose end lies beyond the time.
  const auto it = std::upper_bound(m_CumulativeTime.begin() + 1, m_CumulativeTime.end(), ts);
  if (it == m_CumulativeTime.end()) return MP4_FAILURE;
  const size_t i = static_cast<size_t>(it - (m_CumulativeTime.begin() + 1));
  const MP4_SttsTableEntry& e = m_Entries[i];
  // The entry ends past ts and starts at or before it, so it has time.
  const MP4_UI64 n = m_CumulativeCount[i] + (ts - m_CumulativeTime[i]) / e.m_SampleDelta;
  if (n > 0xFFFFFFFFull) return MP4_FAILURE;
  index = static_cast<MP4_UI32>(n);
  return MP4_SUCCESS;
}

MP4_Result MP4_SttsAtom::AddEntry(MP4_UI32 sample_count, MP4_UI32 sample_delta) {
  m_Entries.push_back({sample_count, sample_delta});
  Rebuild();
  SetSize(GetSize() + 8);
  if (m_Parent) m_Parent->OnChildChanged(this);
  return MP4_SUCCESS;
}

MP4_Result MP4_SttsAtom::SetEntry(size_t index, MP4_UI32 sample_count, MP4_UI64 sample_delta) {
  if (index >= m_Entries.size()) return MP4_ERROR_OUT_OF_RANGE;
  m_Entries[index] = {sample_count, sample_delta};
  Rebuild();
  return MP4_SUCCESS;
}

MP4_UI64 MP4_SttsAtom::CommonDelta(MP4_UI64 limit) const {
  std::map<MP4_UI64, MP4_UI64> samplesOf;
  for (const MP4_SttsTableEntry& e : m_Entries)
    if (limit == 0 || e.m_SampleDelta < limit) samplesOf[e.m_SampleDelta] += e.m_SampleCount;
  MP4_UI64 step = 0, most = 0;
  for (const auto& [delta, samples] : samplesOf)
    if (delta > 0 && samples > most) step = delta, most = samples;
  return step;
}

MP4_UI64 MP4_SttsAtom::MendAbsurdDeltas(MP4_UI64 stated, MP4_UI64 limit, MP4_UI64 slack, MP4_UI64 fallback) {
  const MP4_UI64 total = m_CumulativeTime.empty() ? 0 : m_CumulativeTime.back();
  const MP4_UI64 count = GetTotalSampleCount();
  if (count == 0 || limit == 0) return 0;
  if (stated > 0 && total <= SaturatingAdd(stated, slack)) return 0;
  MP4_UI64 step = CommonDelta(limit);
  if (step == 0) step = stated > 0 ? stated / count : fallback;
  MP4_UI64 mended = 0;
  for (MP4_SttsTableEntry& e : m_Entries) {
    if (e.m_SampleDelta < limit) continue;
    e.m_SampleDelta = step;
    mended += e.m_SampleCount;
  }
  if (mended) Rebuild();
  return mended;
}

MP4_Result MP4_SttsAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (const MP4_SttsTableEntry& e : m_Entries) {
    if (MP4_FAILED(r)) break;
    if (MP4_SUCCEEDED(r = stream.WriteUI32(e.m_SampleCount))) r = stream.WriteUI32(static_cast<MP4_UI32>(e.m_SampleDelta));
  }
  return r;
}

MP4_Result MP4_SttsAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// ctts

MP4_CttsAtom::MP4_CttsAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("ctts"), size, true, stream) {
  const std::vector<MP4_Byte> table = ReadCountedTable(*this, stream, 8);
  m_Entries.reserve(table.size() / 8);
  m_CumulativeCount.reserve(table.size() / 8);
  MP4_UI64 sum = 0;
  for (size_t i = 0; i + 8 <= table.size(); i += 8) {
    m_Entries.push_back({MP4_BytesToUI32(&table[i]), MP4_BytesToUI32(&table[i + 4])});
    sum += m_Entries.back().m_SampleCount;
    m_CumulativeCount.push_back(sum);
  }
}

MP4_Result MP4_CttsAtom::GetCtsOffset(MP4_UI32 sample, MP4_UI32& offset) const {
  offset = 0;
  // The first entry whose running sum reaches the sample.
  const auto it = std::lower_bound(m_CumulativeCount.begin(), m_CumulativeCount.end(), MP4_UI64(sample));
  if (it == m_CumulativeCount.end()) return MP4_FAILURE;
  offset = m_Entries[static_cast<size_t>(it - m_CumulativeCount.begin())].m_SampleOffset;
  return MP4_SUCCESS;
}

MP4_Result MP4_CttsAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (const MP4_CttsTableEntry& e : m_Entries) {
    if (MP4_FAILED(r)) break;
    if (MP4_SUCCEEDED(r = stream.WriteUI32(e.m_SampleCount))) r = stream.WriteUI32(e.m_SampleOffset);
  }
  return r;
}

MP4_Result MP4_CttsAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// stss

MP4_StssAtom::MP4_StssAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("stss"), size, true, stream) {
  const std::vector<MP4_Byte> table = ReadCountedTable(*this, stream, 4);
  m_Entries.reserve(table.size() / 4);
  for (size_t i = 0; i + 4 <= table.size(); i += 4) m_Entries.push_back(MP4_BytesToUI32(&table[i]));
  m_Ascending = std::is_sorted(m_Entries.begin(), m_Entries.end());
}

bool MP4_StssAtom::IsSampleSync(MP4_UI32 sample) const {
  if (m_Ascending) return std::binary_search(m_Entries.begin(), m_Entries.end(), sample);
  // A table out of order is walked as stored: up to the first larger entry.
  for (MP4_UI32 e : m_Entries) {
    if (e == sample) return true;
    if (e > sample) return false;
  }
  return false;
}

MP4_Result MP4_StssAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (size_t i = 0; MP4_SUCCEEDED(r) && i < m_Entries.size(); i++) r = stream.WriteUI32(m_Entries[i]);
  return r;
}

MP4_Result MP4_StssAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// stsz

MP4_StszAtom::MP4_StszAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("stsz"), size, true, stream) {
  MP4_FieldReader in(stream, GetPayloadSize());
  m_SampleSize = in.UI32();
  const MP4_UI32 count = in.UI32();
  if (in.Failed()) return;
  if (m_SampleSize != 0) {
    // One size for all: the count is checked by the sample table against
    // the chunks and the file.
    m_SampleCount = count;
  } else {
    const std::vector<MP4_Byte> table = MP4_ReadTable(stream, count, 4, in.Left());
    m_Entries.resize(table.size() / 4);
    for (size_t i = 0; i < m_Entries.size(); i++) m_Entries[i] = MP4_BytesToUI32(&table[i * 4]);
    m_SampleCount = static_cast<MP4_UI32>(m_Entries.size());
  }
  m_Cumulative.assign(1, 0);
  m_Cumulative.reserve(m_Entries.size() + 1);
  for (MP4_UI32 s : m_Entries) m_Cumulative.push_back(m_Cumulative.back() + s);
}

MP4_StszAtom::MP4_StszAtom() : MP4_Atom(MP4_FourCC("stsz"), MP4_AtomSize(20), true), m_Cumulative(1, 0) {}

MP4_Result MP4_StszAtom::GetSampleSize(MP4_UI32 sample, MP4_Size& size) const {
  size = 0;
  if (sample == 0 || sample > m_SampleCount) return MP4_ERROR_OUT_OF_RANGE;
  size = m_SampleSize ? m_SampleSize : m_Entries[sample - 1];
  return MP4_SUCCESS;
}

MP4_Result MP4_StszAtom::GetSampleSizes(MP4_UI32 first, MP4_UI32 last, MP4_UI64& total) const {
  total = 0;
  if (first == 0 || last == 0 || first > m_SampleCount || last > m_SampleCount) return MP4_ERROR_OUT_OF_RANGE;
  if (last <= first) return MP4_SUCCESS;
  if (m_SampleSize) {
    total = static_cast<MP4_UI64>(last - first) * m_SampleSize;
  } else {
    total = m_Cumulative[last - 1] - m_Cumulative[first - 1];
  }
  return MP4_SUCCESS;
}

MP4_Result MP4_StszAtom::SetSampleSize(MP4_UI32 sample, MP4_Size size) {
  if (sample == 0 || sample > m_SampleCount) return MP4_ERROR_OUT_OF_RANGE;
  if (m_SampleSize) {
    // A common size can only be set for all samples at once.
    if (size != m_SampleSize) return MP4_FAILURE;
    return MP4_SUCCESS;
  }
  const MP4_Size old = m_Entries[sample - 1];
  m_Entries[sample - 1] = size;
  for (size_t i = sample; i < m_Cumulative.size(); i++) m_Cumulative[i] = m_Cumulative[i] - old + size;
  return MP4_SUCCESS;
}

MP4_Result MP4_StszAtom::AddEntry(MP4_UI32 size) {
  if (m_SampleSize) return MP4_FAILURE;
  m_Entries.push_back(size);
  m_Cumulative.push_back(m_Cumulative.back() + size);
  m_SampleCount++;
  SetSize(GetSize() + 4);
  if (m_Parent) m_Parent->OnChildChanged(this);
  return MP4_SUCCESS;
}

void MP4_StszAtom::SetCommonSize(MP4_UI32 count, MP4_UI32 size) {
  m_SampleSize = size;
  m_SampleCount = count;
  m_Entries.clear();
  m_Cumulative.assign(1, 0);
}

MP4_Result MP4_StszAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r;
  if (MP4_FAILED(r = stream.WriteUI32(m_SampleSize)) || MP4_FAILED(r = stream.WriteUI32(m_SampleCount))) return r;
  if (m_SampleSize) return MP4_SUCCESS;
  for (size_t i = 0; MP4_SUCCEEDED(r) && i < m_Entries.size(); i++) r = stream.WriteUI32(m_Entries[i]);
  return r;
}

MP4_Result MP4_StszAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("sample_size", m_SampleSize);
  inspector.AddField("sample_count", m_SampleCount);
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// stsc

MP4_StscAtom::MP4_StscAtom(MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(MP4_FourCC("stsc"), size, true, stream) {
  const std::vector<MP4_Byte> table = ReadCountedTable(*this, stream, 12);
  m_Entries.reserve(table.size() / 12);
  for (size_t i = 0; i + 12 <= table.size(); i += 12) {
    MP4_StscTableEntry e{MP4_BytesToUI32(&table[i]), 1, 0, MP4_BytesToUI32(&table[i + 4]),
                         MP4_BytesToUI32(&table[i + 8])};
    // The table begins at the first chunk; a first entry that says
    // otherwise is damaged.
    if (m_Entries.empty() && e.m_FirstChunk != 1) {
      e.m_FirstChunk = 1;
      m_Mended = true;
    }
    if (!m_Entries.empty()) {
      MP4_StscTableEntry& prev = m_Entries.back();
      // First chunks must rise, and sample numbers fit 32 bits; a table
      // that breaks either ends there rather than wrapping around.
      if (e.m_FirstChunk <= prev.m_FirstChunk) break;
      const MP4_UI32 chunks = e.m_FirstChunk - prev.m_FirstChunk;
      const MP4_UI64 first = prev.m_FirstSample + static_cast<MP4_UI64>(chunks) * prev.m_SamplesPerChunk;
      if (first > 0xFFFFFFFFull) break;
      prev.m_ChunkCount = chunks;
      e.m_FirstSample = static_cast<MP4_UI32>(first);
    }
    m_Entries.push_back(e);
  }
  Rebuild();
}

MP4_StscAtom::MP4_StscAtom() : MP4_Atom(MP4_FourCC("stsc"), MP4_AtomSize(16), true) {}

void MP4_StscAtom::Rebuild() {
  m_EndMax.clear();
  m_EndMax.reserve(m_Entries.size());
  MP4_UI64 max = 0;
  for (const MP4_StscTableEntry& e : m_Entries) {
    const MP4_UI64 end =
        e.m_ChunkCount ? e.m_FirstSample + static_cast<MP4_UI64>(e.m_ChunkCount) * e.m_SamplesPerChunk : kMaxUI64;
    max = std::max(max, end);
    m_EndMax.push_back(max);
  }
}

MP4_Result MP4_StscAtom::GetChunkForSample(MP4_UI32 sample, MP4_UI32& chunk, MP4_UI32& skip,
                                           MP4_UI32& sample_description) const {
  chunk = skip = sample_description = 0;
  // The first entry that ends past the sample (the last is open-ended).
  const auto it = std::upper_bound(m_EndMax.begin(), m_EndMax.end(), MP4_UI64(sample));
  if (it == m_EndMax.end()) return MP4_ERROR_OUT_OF_RANGE;
  const MP4_StscTableEntry& e = m_Entries[static_cast<size_t>(it - m_EndMax.begin())];
  if (sample < e.m_FirstSample || e.m_SamplesPerChunk == 0) return MP4_ERROR_INVALID_FORMAT;
  const MP4_UI32 n = sample - e.m_FirstSample;
  const MP4_UI64 c = static_cast<MP4_UI64>(e.m_FirstChunk) + n / e.m_SamplesPerChunk;
  if (c > 0xFFFFFFFFull) return MP4_ERROR_OUT_OF_RANGE;
  chunk = static_cast<MP4_UI32>(c);
  skip = n % e.m_SamplesPerChunk;
  sample_description = e.m_SampleDescriptionIndex;
  return MP4_SUCCESS;
}

MP4_UI64 MP4_StscAtom::GetSamplesInChunks(MP4_UI32 chunk_count) const {
  MP4_UI64 total = 0;
  for (const MP4_StscTableEntry& e : m_Entries) {
    if (e.m_FirstChunk == 0 || e.m_FirstChunk > chunk_count) break;
    MP4_UI64 chunks = static_cast<MP4_UI64>(chunk_count) - e.m_FirstChunk + 1;
    if (e.m_ChunkCount) chunks = std::min<MP4_UI64>(chunks, e.m_ChunkCount);
    total = SaturatingAdd(total, SaturatingMul(chunks, e.m_SamplesPerChunk));
  }
  return total;
}

MP4_Result MP4_StscAtom::AddEntry(MP4_UI32 chunk_count, MP4_UI32 samples_per_chunk,
                                  MP4_UI32 sample_description_index) {
  MP4_UI32 first_chunk = 1, first_sample = 1;
  if (!m_Entries.empty()) {
    const MP4_StscTableEntry& prev = m_Entries.back();
    first_chunk = prev.m_FirstChunk + prev.m_ChunkCount;
    first_sample = prev.m_FirstSample + prev.m_ChunkCount * prev.m_SamplesPerChunk;
  }
  m_Entries.push_back({first_chunk, first_sample, chunk_count, samples_per_chunk, sample_description_index});
  Rebuild();
  SetSize(GetSize() + 12);
  if (m_Parent) m_Parent->OnChildChanged(this);
  return MP4_SUCCESS;
}

MP4_Result MP4_StscAtom::WriteFields(MP4_ByteStream& stream) {
  MP4_Result r = stream.WriteUI32(static_cast<MP4_UI32>(m_Entries.size()));
  for (const MP4_StscTableEntry& e : m_Entries) {
    if (MP4_FAILED(r) || MP4_FAILED(r = stream.WriteUI32(e.m_FirstChunk)) ||
        MP4_FAILED(r = stream.WriteUI32(e.m_SamplesPerChunk)))
      break;
    r = stream.WriteUI32(e.m_SampleDescriptionIndex);
  }
  return r;
}

MP4_Result MP4_StscAtom::InspectFields(MP4_AtomInspector& inspector) {
  inspector.AddField("entry_count", m_Entries.size());
  return MP4_SUCCESS;
}
