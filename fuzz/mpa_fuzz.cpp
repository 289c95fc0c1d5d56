// libFuzzer target over the MPEG audio splitter: tags, the frame search and
// the demux loop on arbitrary bytes.
#include <vector>

#include "splitters/mpa/MpaSplitter.h"
#include "tests/foundation/MemAsyncReader.h"

namespace {

struct FuzzMpa : CMpaSourceFilter {
  using CMpaSourceFilter::CMpaSourceFilter;
  using CMpaSplitterFilter::CreateOutputs;
  using CMpaSplitterFilter::DemuxLoop;
  using CMpaSplitterFilter::DemuxSeek;
  REFERENCE_TIME Duration() const { return m_rtDuration; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  HRESULT hr = S_OK;
  auto* filter = new FuzzMpa(nullptr, &hr);
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(filter->CreateOutputs(reader))) {
    filter->DemuxSeek(0);
    filter->DemuxLoop();
    filter->DemuxSeek(filter->Duration() / 3 + 1);
    filter->DemuxLoop();
  }
  filter->NonDelegatingRelease();
  reader->Release();
  return 0;
}
