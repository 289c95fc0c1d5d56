// The source filter of D2V projects: decodes the MPEG-2 video the project
// lists with its own engine and delivers YUY2 frames on one output pin, so
// that no decoder is needed downstream. There is no sound output.
#pragma once

#include <memory>
#include <vector>

#include "foundation/BaseSource.h"
#include "foundation/BaseStream.h"
#include "sources/d2v/D2VDecoder.h"

PELLOMAR_DEFINE_GUID(CLSID_D2VSource, "47CE0591-C4D5-4B41-BED7-28F59AD76228");

class CD2VStream : public CBaseStream {
 public:
  CD2VStream(LPCWSTR fileName, CSource* filter, HRESULT* phr);
  ~CD2VStream() override;

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT SetMediaType(const CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) override;

  // IQualityControl: a late renderer makes the stream skip whole frames.
  STDMETHODIMP Notify(IBaseFilter* sender, Quality q) override;

  // The engine, for tests; null when the project did not load.
  const CD2VDecoder* Engine() const { return m_decoder.get(); }

 private:
  std::unique_ptr<CD2VDecoder> m_decoder;
  std::vector<BYTE> m_frame;  // the engine's output, reused so that a failed frame repeats the last
};

class CD2VSource : public CBaseSource<CD2VStream> {
 public:
  CD2VSource(LPUNKNOWN outer, HRESULT* phr);
};
