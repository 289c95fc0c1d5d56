// libFuzzer target over the Ogg splitter: the page reader and header scan,
// page assembly in every pin, seeking and the demux loop on arbitrary bytes.
#include "fuzz/SplitterFuzz.h"
#include "splitters/ogg/OggSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSplitter<COggSourceFilter>(data, size, [](FuzzedSplitter<COggSourceFilter>& filter) {
    // Every page through its stream's pin, connected or not.
    COggFile& file = *filter.File();
    file.Seek(0);
    OggPage page;
    for (int n = 0; n < 10000 && file.Read(page); n++) {
      auto* pin = dynamic_cast<COggSplitterOutputPin*>(filter.GetOutputPin(page.m_hdr.bitstream_serial_number));
      if (!pin) continue;
      pin->UnpackPage(page);
      while (pin->GetPacket()) {
      }
    }
  });
  return 0;
}
