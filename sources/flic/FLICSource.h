// FLIC animations (.fli, .flc) as uncompressed top-down 32-bit RGB video,
// one frame per sample; seeking decodes forward from the nearest earlier
// full frame.
#pragma once

#include "foundation/BaseSource.h"
#include "foundation/BaseStream.h"
#include "sources/flic/FLICDecoder.h"

PELLOMAR_DEFINE_GUID(CLSID_FLICSource, "17DB5CF6-39BB-4D5B-B0AA-BEBA44673AD4");

class CFLICStream : public CBaseStream {
 public:
  CFLICStream(LPCWSTR fileName, CSource* filter, HRESULT* phr);

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) override;

 private:
  CSourceFile m_file;
  CFLICDecoder m_decoder;
};

class CFLICSource : public CBaseSource<CFLICStream> {
 public:
  CFLICSource(LPUNKNOWN outer, HRESULT* phr);
};
