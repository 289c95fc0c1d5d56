#include "mp4/MP4SampleTable.h"

#include <algorithm>
#include <new>

#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4SampleEntry.h"
#include "mp4/MP4SampleTableAtoms.h"

// ---------------------------------------------------------------------------
// MP4_Sample

MP4_Sample::MP4_Sample(const MP4_Sample& other) { *this = other; }

MP4_Sample& MP4_Sample::operator=(const MP4_Sample& other) {
  if (this == &other) return *this;
  SetDataStream(other.m_DataStream);
  m_Offset = other.m_Offset;
  m_Size = other.m_Size;
  m_DescriptionIndex = other.m_DescriptionIndex;
  m_Dts = other.m_Dts;
  m_Cts = other.m_Cts;
  m_Duration = other.m_Duration;
  return *this;
}

MP4_Sample::~MP4_Sample() {
  if (m_DataStream) m_DataStream->Release();
}

void MP4_Sample::Reset() {
  SetDataStream(nullptr);
  m_Offset = 0;
  m_Size = 0;
  m_DescriptionIndex = 0;
  m_Dts = 0;
  m_Cts = 0;
  m_Duration = 0;
}

void MP4_Sample::SetDataStream(MP4_ByteStream* stream) {
  if (stream == m_DataStream) return;
  if (stream) stream->AddReference();
  if (m_DataStream) m_DataStream->Release();
  m_DataStream = stream;
}

bool MP4_Sample::LiesInStream() const {
  MP4_LargeSize size = 0;
  return m_DataStream && MP4_SUCCEEDED(m_DataStream->GetSize(size)) && m_Offset <= size && m_Size <= size - m_Offset;
}

MP4_Result MP4_Sample::ReadData(MP4_DataBuffer& data, MP4_Size size, MP4_Size offset) {
  if (!m_DataStream) return MP4_FAILURE;
  if (size == 0) return MP4_SUCCESS;
  if (static_cast<MP4_UI64>(offset) + size > m_Size) return MP4_FAILURE;
  // Nothing is allocated for bytes the stream does not have.
  if (!LiesInStream()) return MP4_ERROR_EOS;
  MP4_Result r = data.SetDataSize(size);
  if (MP4_FAILED(r)) return r;
  if (MP4_FAILED(r = m_DataStream->Seek(m_Offset + offset))) return r;
  return m_DataStream->ReadFully(data.UseData(), size);
}

MP4_Result MP4_Sample::ReadData(void* buffer) {
  if (!m_DataStream) return MP4_FAILURE;
  if (m_Size == 0) return MP4_SUCCESS;
  if (!LiesInStream()) return MP4_ERROR_EOS;
  MP4_Result r = m_DataStream->Seek(m_Offset);
  if (MP4_FAILED(r)) return r;
  return m_DataStream->ReadFully(buffer, m_Size);
}

// ---------------------------------------------------------------------------
// MP4_SampleTable::GenerateStblAtom

MP4_Result MP4_SampleTable::GenerateStblAtom(MP4_ContainerAtom*& stbl) {
  stbl = nullptr;
  auto container = std::make_unique<MP4_ContainerAtom>(MP4_FourCC("stbl"));

  std::vector<const MP4_SampleDescription*> descriptions;
  for (MP4_UI32 i = 0; i < GetSampleDescriptionCount(); i++) descriptions.push_back(GetSampleDescription(i));
  auto* stsd = new MP4_StsdAtom(descriptions);
  container->AddChild(stsd);

  auto stts = std::make_unique<MP4_SttsAtom>();
  auto stsc = std::make_unique<MP4_StscAtom>();
  auto stsz = std::make_unique<MP4_StszAtom>();
  std::vector<MP4_UI64> chunk_offsets;

  // Chunks are runs of samples that follow each other in the stream and
  // share a description; stts and stsc entries are runs of equal values.
  MP4_UI32 run_count = 0;
  MP4_UI64 run_delta = 0;
  MP4_UI32 chunk_samples = 0, chunk_description = 0;
  MP4_UI32 stsc_chunks = 0, stsc_samples = 0, stsc_description = 0;
  MP4_UI64 next_offset = 0;
  auto close_chunk = [&]() {
    if (chunk_samples == 0) return;
    if (stsc_chunks && stsc_samples == chunk_samples && stsc_description == chunk_description) {
      stsc_chunks++;
    } else {
      if (stsc_chunks) stsc->AddEntry(stsc_chunks, stsc_samples, stsc_description);
      stsc_chunks = 1;
      stsc_samples = chunk_samples;
      stsc_description = chunk_description;
    }
    chunk_samples = 0;
  };

  MP4_Sample sample;
  for (MP4_UI32 i = 0; i < GetSampleCount(); i++) {
    MP4_Result r = GetSample(i, sample);
    if (MP4_FAILED(r)) return r;
    const MP4_UI32 description = sample.GetDescriptionIndex() + 1;
    if (chunk_samples == 0 || sample.GetOffset() != next_offset || description != chunk_description) {
      close_chunk();
      chunk_offsets.push_back(sample.GetOffset());
      chunk_description = description;
    }
    chunk_samples++;
    next_offset = sample.GetOffset() + sample.GetSize();
    stsz->AddEntry(sample.GetSize());
    if (run_count && sample.GetDuration() == run_delta) {
      run_count++;
    } else {
      if (run_count) stts->AddEntry(run_count, static_cast<MP4_UI32>(run_delta));
      run_count = 1;
      run_delta = sample.GetDuration();
    }
  }
  close_chunk();
  if (stsc_chunks) stsc->AddEntry(stsc_chunks, stsc_samples, stsc_description);
  if (run_count) stts->AddEntry(run_count, static_cast<MP4_UI32>(run_delta));

  container->AddChild(stts.release());
  container->AddChild(stsc.release());
  container->AddChild(stsz.release());
  const bool large = std::any_of(chunk_offsets.begin(), chunk_offsets.end(),
                                 [](MP4_UI64 o) { return o > 0xFFFFFFFFull; });
  if (large) {
    auto co64 = std::make_unique<MP4_Co64Atom>();
    for (MP4_UI64 o : chunk_offsets) co64->AddEntry(o);
    container->AddChild(co64.release());
  } else {
    auto stco = std::make_unique<MP4_StcoAtom>();
    for (MP4_UI64 o : chunk_offsets) stco->AddEntry(static_cast<MP4_UI32>(o));
    container->AddChild(stco.release());
  }
  stbl = container.release();
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_AtomSampleTable

MP4_AtomSampleTable::MP4_AtomSampleTable(MP4_ContainerAtom* stbl, MP4_ByteStream& stream) : m_Stream(stream) {
  if (stbl) {
    m_StscAtom = dynamic_cast<MP4_StscAtom*>(stbl->GetChild(MP4_FourCC("stsc")));
    m_StcoAtom = dynamic_cast<MP4_StcoAtom*>(stbl->GetChild(MP4_FourCC("stco")));
    m_Co64Atom = dynamic_cast<MP4_Co64Atom*>(stbl->GetChild(MP4_FourCC("co64")));
    m_StszAtom = dynamic_cast<MP4_StszAtom*>(stbl->GetChild(MP4_FourCC("stsz")));
    m_SttsAtom = dynamic_cast<MP4_SttsAtom*>(stbl->GetChild(MP4_FourCC("stts")));
    m_CttsAtom = dynamic_cast<MP4_CttsAtom*>(stbl->GetChild(MP4_FourCC("ctts")));
    m_StsdAtom = dynamic_cast<MP4_StsdAtom*>(stbl->GetChild(MP4_FourCC("stsd")));
    m_StssAtom = dynamic_cast<MP4_StssAtom*>(stbl->GetChild(MP4_FourCC("stss")));
  }
  m_Stream.AddReference();
  ApplyQuickTimeSoundCorrection();
  LimitSampleCount();
}

MP4_AtomSampleTable::~MP4_AtomSampleTable() { m_Stream.Release(); }

MP4_UI64 MP4_AtomSampleTable::MendAbsurdDeltas(MP4_UI64 stated, MP4_UI64 limit, MP4_UI64 slack, MP4_UI64 fallback) {
  return m_SttsAtom ? m_SttsAtom->MendAbsurdDeltas(stated, limit, slack, fallback) : 0;
}

MP4_UI64 MP4_AtomSampleTable::CommonDelta() const { return m_SttsAtom ? m_SttsAtom->CommonDelta() : 0; }

MP4_UI64 MP4_AtomSampleTable::GetTotalDuration() const { return m_SttsAtom ? m_SttsAtom->GetTotalDuration() : 0; }

void MP4_AtomSampleTable::ApplyQuickTimeSoundCorrection() {
  if (!m_StsdAtom || !m_StszAtom || !m_StscAtom || !m_SttsAtom) return;
  if (m_StszAtom->GetSampleSize() != 1) return;
  // QuickTime sound that counts single bytes as samples: the tables are
  // rewritten to count packets. Once only, with the first entry that
  // gives the packet layout; a second pass would divide the counts again.
  for (MP4_Atom* child : m_StsdAtom->GetChildren()) {
    auto* audio = dynamic_cast<MP4_AudioSampleEntry*>(child);
    if (!audio) continue;
    // Uncompressed version-0 sound gives no packet layout: a sample is one
    // sound frame of every channel, and only its size needs mending.
    const MP4_Atom::Type type = audio->GetType();
    if (audio->GetQtVersion() == 0 && (type == MP4_FourCC("twos") || type == MP4_FourCC("sowt"))) {
      const MP4_UI32 frame = static_cast<MP4_UI32>(audio->GetChannelCount()) * (audio->GetSampleSize() / 8);
      if (frame > 1) m_StszAtom->SetCommonSize(m_StszAtom->GetSampleCount(), frame);
      return;
    }
    if (audio->GetSamplesPerPacket() == 0 || audio->GetBytesPerFrame() == 0) continue;
    const MP4_UI32 spp = audio->GetSamplesPerPacket();
    for (MP4_StscTableEntry& e : m_StscAtom->UseEntries()) {
      e.m_SamplesPerChunk /= spp;
      e.m_FirstSample = (e.m_FirstSample - 1) / spp + 1;
    }
    m_StscAtom->Rebuild();
    const MP4_UI32 count = m_StszAtom->GetSampleCount() / spp;
    m_StszAtom->SetCommonSize(count, audio->GetBytesPerFrame());
    if (!m_SttsAtom->GetEntries().empty()) m_SttsAtom->SetEntry(0, count, spp);
    return;
  }
}

void MP4_AtomSampleTable::LimitSampleCount() {
  if (!m_StszAtom) return;
  MP4_UI64 count = m_StszAtom->GetSampleCount();
  // Samples past the decode times or past the last chunk cannot be had.
  count = std::min<MP4_UI64>(count, m_SttsAtom ? m_SttsAtom->GetTotalSampleCount() : 0);
  const MP4_UI32 chunks = m_StcoAtom ? m_StcoAtom->GetChunkCount() : m_Co64Atom ? m_Co64Atom->GetChunkCount() : 0;
  count = std::min<MP4_UI64>(count, m_StscAtom ? m_StscAtom->GetSamplesInChunks(chunks) : 0);
  // Samples of one size repeat without a table: more of them than the
  // file has room for means the count is broken.
  if (const MP4_UI32 size = m_StszAtom->GetSampleSize()) {
    MP4_LargeSize file = 0;
    m_Stream.GetSize(file);
    count = std::min<MP4_UI64>(count, file / size);
  }
  m_SampleCount = static_cast<MP4_UI32>(count);
}

MP4_Result MP4_AtomSampleTable::GetSample(MP4_UI32 index, MP4_Sample& sample) {
  if (index >= m_SampleCount) return MP4_ERROR_OUT_OF_RANGE;
  const MP4_UI32 n = index + 1;
  MP4_UI32 chunk = 0, skip = 0, description = 0;
  MP4_Result r = GetChunkForSample(n, chunk, skip, description);
  if (MP4_FAILED(r)) return r;
  if (skip > n) return MP4_ERROR_INTERNAL;
  MP4_UI64 offset = 0;
  if (m_StcoAtom) {
    r = m_StcoAtom->GetChunkOffset(chunk, offset);
  } else if (m_Co64Atom) {
    r = m_Co64Atom->GetChunkOffset(chunk, offset);
  } else {
    return MP4_ERROR_INTERNAL;
  }
  if (MP4_FAILED(r)) return r;
  if (skip) {
    MP4_UI64 before = 0;
    if (MP4_FAILED(r = m_StszAtom->GetSampleSizes(n - skip, n, before))) return r;
    offset += before;
  }
  MP4_UI64 dts = 0, duration = 0;
  if (MP4_FAILED(r = m_SttsAtom->GetDts(n, dts, duration))) return r;
  MP4_SI64 cts = static_cast<MP4_SI64>(dts);
  MP4_UI32 cts_offset = 0;
  if (m_CttsAtom && MP4_SUCCEEDED(m_CttsAtom->GetCtsOffset(n, cts_offset)))
    cts += static_cast<MP4_SI32>(cts_offset);
  MP4_Size size = 0;
  if (MP4_FAILED(r = m_StszAtom->GetSampleSize(n, size))) return r;

  sample.SetOffset(offset);
  sample.SetSize(size);
  sample.SetDescriptionIndex(description - 1);
  sample.SetDts(dts);
  sample.SetCts(cts);
  sample.SetDuration(duration);
  sample.SetDataStream(&m_Stream);
  return MP4_SUCCESS;
}

MP4_UI32 MP4_AtomSampleTable::GetSampleDescriptionCount() {
  return m_StsdAtom ? m_StsdAtom->GetSampleDescriptionCount() : 0;
}

MP4_SampleDescription* MP4_AtomSampleTable::GetSampleDescription(MP4_UI32 index) {
  return m_StsdAtom ? m_StsdAtom->GetSampleDescription(index) : nullptr;
}

MP4_Result MP4_AtomSampleTable::GetSampleIndexForTimeStamp(MP4_UI64 ts, MP4_UI32& index) {
  index = 0;
  return m_SttsAtom ? m_SttsAtom->GetSampleIndexForTimeStamp(ts, index) : MP4_FAILURE;
}

MP4_Result MP4_AtomSampleTable::GetChunkForSample(MP4_UI32 sample, MP4_UI32& chunk, MP4_UI32& skip,
                                                  MP4_UI32& description) {
  chunk = skip = description = 0;
  return m_StscAtom ? m_StscAtom->GetChunkForSample(sample, chunk, skip, description) : MP4_FAILURE;
}

MP4_Result MP4_AtomSampleTable::GetChunkOffset(MP4_UI32 chunk, MP4_UI64& offset) {
  offset = 0;
  if (m_StcoAtom) return m_StcoAtom->GetChunkOffset(chunk, offset);
  if (m_Co64Atom) return m_Co64Atom->GetChunkOffset(chunk, offset);
  return MP4_FAILURE;
}

MP4_Result MP4_AtomSampleTable::SetChunkOffset(MP4_UI32 chunk, MP4_UI64 offset) {
  if (m_StcoAtom) return m_StcoAtom->SetChunkOffset(chunk, offset);
  if (m_Co64Atom) return m_Co64Atom->SetChunkOffset(chunk, offset);
  return MP4_FAILURE;
}

MP4_Result MP4_AtomSampleTable::SetSampleSize(MP4_UI32 sample, MP4_Size size) {
  return m_StszAtom ? m_StszAtom->SetSampleSize(sample, size) : MP4_FAILURE;
}
