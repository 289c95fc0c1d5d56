// libFuzzer target over the Ogg splitter: the page reader and header scan,
// page assembly in every pin, seeking and the demux loop on arbitrary bytes.
#include <vector>

#include "splitters/ogg/OggSplitter.h"
#include "tests/foundation/MemAsyncReader.h"

namespace {

struct FuzzOgg : COggSourceFilter {
  using COggSourceFilter::COggSourceFilter;
  using COggSplitterFilter::CreateOutputs;
  using COggSplitterFilter::DemuxLoop;
  using COggSplitterFilter::DemuxSeek;
  REFERENCE_TIME Duration() const { return m_rtDuration; }
  COggFile* File() { return m_pFile.get(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  HRESULT hr = S_OK;
  auto* filter = new FuzzOgg(nullptr, &hr);
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(filter->CreateOutputs(reader))) {
    // Every page through its stream's pin, connected or not.
    COggFile& file = *filter->File();
    file.Seek(0);
    OggPage page;
    for (int n = 0; n < 10000 && file.Read(page); n++) {
      auto* pin = dynamic_cast<COggSplitterOutputPin*>(filter->GetOutputPin(page.m_hdr.bitstream_serial_number));
      if (!pin) continue;
      pin->UnpackPage(page);
      while (pin->GetPacket()) {
      }
    }
    filter->DemuxSeek(0);
    filter->DemuxLoop();
    filter->DemuxSeek(filter->Duration() / 2 + 1);
    filter->DemuxLoop();
  }
  filter->NonDelegatingRelease();
  reader->Release();
  return 0;
}
