// The MP4 atom library over arbitrary bytes: the file parse with its atom
// factory, then everything a parse yields: each track's samples and their
// data, descriptions, time lookups, inspection and writing back.
#include <cstddef>
#include <cstdint>

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4File.h"
#include "mp4/MP4SampleTableAtoms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* stream = new MP4_MemoryByteStream(data, size);
  {
    MP4_AtomFactory factory;
    MP4_File file(*stream, factory);
    MP4_TextInspector inspector;
    file.Inspect(inspector);
    if (MP4_Movie* movie = file.GetMovie()) {
      for (MP4_Track* track : movie->GetTracks()) {
        MP4_Sample sample;
        MP4_DataBuffer buffer;
        for (MP4_UI32 i = 0; i < track->GetSampleCount() && i < 2000; i++) {
          track->ReadSample(i, sample, buffer);
          track->GetSampleDescription(sample.GetDescriptionIndex());
        }
        MP4_UI32 index = 0;
        track->GetSampleIndexForTimeStampMs(1000, index);
        track->GetTrackName();
        track->GetTrackLanguage();
        track->GetDurationMs();
        if (auto* stsd = dynamic_cast<MP4_StsdAtom*>(track->GetTrakAtom().FindChild("mdia/minf/stbl/stsd")))
          for (MP4_UI32 i = 0; i < stsd->GetSampleDescriptionCount() && i < 64; i++) stsd->GetSampleDescription(i);
      }
      auto* out = new MP4_MemoryByteStream();
      movie->GetMoovAtom()->Write(*out);
      out->Release();
    }
  }
  stream->Release();
  return 0;
}
