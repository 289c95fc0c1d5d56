// libFuzzer target over the RoQ splitter and decoders: the chunk walk,
// seeking and the demux loop, then the input's chunks through the video
// frames (at a picture size taken from the input) and the DPCM decoder.
#include "fuzz/SplitterFuzz.h"
#include "splitters/roq/RoQAudioDecoder.h"
#include "splitters/roq/RoQSplitter.h"
#include "splitters/roq/RoQVideoDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSplitter<CRoQSourceFilter>(data, size, [](auto&) {});
  if (size < 10) return 0;
  CRoQVideoFrames frames;
  if (!frames.Alloc(data[8] % 80 + 1, data[9] % 80 + 1)) return 0;
  std::vector<BYTE> pcm;
  bool first = true;
  for (size_t pos = 10; pos + 8 <= size;) {
    const RoQChunkHeader h = RoQChunkHeader::Parse(data + pos);
    const size_t n = std::min<size_t>(h.size, size - pos - 8);
    const BYTE* body = data + pos + 8;
    if (h.id == kRoQCodebook) {
      frames.DecodeCodebook(body, n, h.arg);
    } else if (h.id == kRoQFrame) {
      frames.DecodeFrame(body, n, h.arg);
      frames.FinishFrame(first);
      first = false;
    } else {
      pcm.resize(2 * n);
      DecodeRoQDpcm(body, n, h.arg, (h.id & 1) + 1, pcm.data());
    }
    pos += 8 + n;
  }
  return 0;
}
