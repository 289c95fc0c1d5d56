// The shared body of the splitter fuzz targets: open arbitrary bytes, and
// when that succeeds, demultiplex from the start and again after a seek.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/foundation/MemAsyncReader.h"

// A splitter whose opening and demux steps can be called directly.
template <class Source>
struct FuzzedSplitter : Source {
  using Source::Source;
  using Source::CreateOutputs;
  using Source::DemuxLoop;
  using Source::DemuxSeek;
  REFERENCE_TIME Duration() const { return this->m_rtDuration; }
  auto* File() { return this->m_pFile.get(); }
};

// `extra` runs on the opened splitter before it demultiplexes.
template <class Source, class Extra>
void FuzzSplitter(const uint8_t* data, size_t size, Extra extra) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  HRESULT hr = S_OK;
  auto* filter = new FuzzedSplitter<Source>(nullptr, &hr);
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr) && SUCCEEDED(filter->CreateOutputs(reader))) {
    extra(*filter);
    filter->DemuxSeek(0);
    filter->DemuxLoop();
    filter->DemuxSeek(filter->Duration() / 2 + 1);
    filter->DemuxLoop();
  }
  filter->NonDelegatingRelease();
  reader->Release();
}
