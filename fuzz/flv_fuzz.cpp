// libFuzzer target over the FLV splitter: the header and pin search, the
// duration from the last tags, seeking and the tag walk on arbitrary bytes.
#include <vector>

#include "splitters/flv/FLVSplitter.h"
#include "tests/foundation/MemAsyncReader.h"

namespace {

struct FuzzFlv : CFLVSourceFilter {
  using CFLVSourceFilter::CFLVSourceFilter;
  using CFLVSplitterFilter::CreateOutputs;
  using CFLVSplitterFilter::DemuxLoop;
  using CFLVSplitterFilter::DemuxSeek;
  REFERENCE_TIME Duration() const { return m_rtDuration; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  HRESULT hr = S_OK;
  auto* filter = new FuzzFlv(nullptr, &hr);
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(filter->CreateOutputs(reader))) {
    filter->DemuxSeek(0);
    filter->DemuxLoop();
    filter->DemuxSeek(filter->Duration() / 2 + 1);
    filter->DemuxLoop();
  }
  filter->NonDelegatingRelease();
  reader->Release();
  return 0;
}
