// libFuzzer target over the Matroska reader and file model: the open
// sequence, media types for every track, and a walk over every cluster and
// block as the demux does it (blocks parsed in full, content encodings
// undone), on arbitrary bytes. Run by hand, for example:
//   ninja -C build/fuzz matroska_fuzz_corpus
//   build/fuzz/fuzz/matroska_fuzz -max_len=65536 -max_total_time=300 build/fuzz/fuzz/corpus/matroska
#include <vector>

#include "splitters/matroska/MatroskaFile.h"
#include "splitters/matroska/MatroskaMediaTypes.h"
#include "tests/foundation/MemAsyncReader.h"

using namespace MatroskaReader;

namespace {

void Walk(CMatroskaFile& file) {
  Segment& seg = file.m_segment;
  for (auto& tracks : seg.Tracks) {
    for (auto& te : tracks->te) {
      te->ApplyContentEncodings(te->CodecPrivate, ContentEncoding::TracksPrivateData);
      std::wstring kind;
      MakeMatroskaMediaTypes(*te, kind);
      std::vector<std::vector<BYTE>> packets;
      SplitXiphLaced(te->CodecPrivate.data(), te->CodecPrivate.size(), packets);
    }
  }
  seg.GetChapter(0, 0);

  CMatroskaNode root(&file);
  auto segment = root.Child(kIdSegment);
  if (!segment) return;
  auto cluster = segment->Child(kIdCluster);
  if (!cluster) return;
  do {
    Cluster c;
    c.ParseTimeCode(cluster.get());
    auto block = cluster->GetFirstBlock();
    for (bool more = block != nullptr; more; more = block->NextBlock()) {
      BlockGroup bg;
      const HRESULT hr = block->Id() == kIdBlockGroup ? bg.Parse(block.get(), true)
                                                      : SimpleBlock::ParseInto(block.get(), true, bg);
      if (FAILED(hr)) continue;
      seg.ToRefTime(static_cast<__int128>(c.TimeCode.Value()) + bg.b.TimeCode.Value());
      if (const TrackEntry* te = seg.FindTrackEntry(bg.b.TrackNumber))
        for (auto& frame : bg.b.BlockData) te->ApplyContentEncodings(frame);
    }
  } while (cluster->Next(true));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  {
    HRESULT hr = S_OK;
    CMatroskaFile file(reader, hr);
    if (SUCCEEDED(hr)) Walk(file);
  }
  reader->Release();
  return 0;
}
