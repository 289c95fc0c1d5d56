// Converts between the two ways AC-3 and DTS audio travel: the AVI way
// (WAVE format 0x2000 or 0x2001) and the DVD/MPEG way (the AC-3 or DTS
// subtype under the Audio, MPEG-2 PES or DVD pack major types). Towards
// AVI it strips pack, PES and substream headers; towards DVD it adds them.
#pragma once

#include "platform/dshow/BaseClasses.h"

PELLOMAR_DEFINE_GUID(CLSID_AVI2AC3Filter, "93230DD0-7B3C-4EFB-AFBB-DC380FEC9E6B");

class CAVI2AC3Filter : public CTransformFilter {
 public:
  CAVI2AC3Filter(LPUNKNOWN outer, HRESULT* phr);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

  // The largest piece of a sample too long for one PES packet: one piece
  // with its pack and PES headers fills a 2048-byte DVD pack.
  static constexpr int kPieceSize = 2013;

 private:
  HRESULT StripHeaders(IMediaSample* in, IMediaSample* out);
  HRESULT AddHeaders(IMediaSample* in, IMediaSample* out, bool dts);
  HRESULT DeliverPieces(IMediaSample* in, const BYTE* data, LONG length, bool pack, bool dts);
};
