// The MP4 atom library and splitter over arbitrary bytes: the file parse
// with its atom factory, everything a parse yields (each track's samples
// and their data, descriptions, time lookups, inspection, writing back),
// the splitter's output creation with its media types, chapters and
// metadata, seeking and key frames, and the timed-text conversion of the
// input's tail.
#include <cstddef>
#include <cstdint>

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4File.h"
#include "mp4/MP4SampleTableAtoms.h"
#include "mp4/MP4Splitter.h"
#include "mp4/MP4TimedText.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/MemAsyncReader.h"

namespace {

// Opens the splitter's protected steps to the fuzzer.
class FuzzSplitter : public CMP4SplitterFilter {
 public:
  FuzzSplitter(HRESULT* phr) : CMP4SplitterFilter(nullptr, phr) {}
  using CMP4SplitterFilter::CreateOutputs;
  using CMP4SplitterFilter::DemuxInit;
  using CMP4SplitterFilter::DemuxSeek;
};

void Library(const uint8_t* data, size_t size) {
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
}

void Splitter(const uint8_t* data, size_t size) {
  HRESULT hr = S_OK;
  auto* splitter = new FuzzSplitter(&hr);
  splitter->NonDelegatingAddRef();
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  if (SUCCEEDED(splitter->CreateOutputs(reader))) {
    splitter->DemuxInit();
    splitter->DemuxSeek(15000000);
    UINT count = 0;
    if (SUCCEEDED(splitter->KeyFrameCount(count))) {
      REFERENCE_TIME times[16];
      count = 16;
      splitter->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, times, count);
    }
  }
  reader->Release();
  splitter->NonDelegatingRelease();
}

void TimedText(const uint8_t* data, size_t size) {
  if (size < 40) return;
  MP4TimedTextSample s;
  s.entry.display_flags = data[0] << 16 | data[1] << 8;
  s.entry.horizontal_justification = data[2];
  s.entry.vertical_justification = data[3];
  s.entry.background_color_rgba = data[4];
  s.entry.text_box = {data[5], data[6], data[7], data[8]};
  s.duration_ms = data[9] * 100;
  for (size_t i = 10; i < 20; i++) s.text += static_cast<wchar_t>(data[i] % 3 ? 'a' + data[i] % 26 : '\n');
  s.boxes = data + 20;
  s.boxes_size = size - 20;
  const MP4TimedTextLine line = ConvertTimedText(s);
  TimedTextBoxLine(line.box, s.entry.background_color_rgba);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = DShowRegisterPlatform() == S_OK;
  (void)registered;
  Library(data, size);
  Splitter(data, size);
  TimedText(data + size - std::min<size_t>(size, 512), std::min<size_t>(size, 512));
  return 0;
}
