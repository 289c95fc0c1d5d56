// Input pin base of the decoders. MPEG data arrives as elementary streams,
// as PES packets or as whole program-stream packs (DVD title sets); the pin
// removes the pack, system and PES headers (and the sub-stream header of
// private stream 1) so that the decoder sees the bare elementary stream.
#pragma once

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Transform.h"

class CDecoderInputPin : public CTransformInputPin {
 public:
  CDecoderInputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name);

  // Advances *data past the headers that the pin's media type implies and
  // lowers *size by the same amount; the size may also be cut to the end
  // of the PES payload. The size never becomes negative and no byte beyond
  // the given size is read.
  void StripMpegHeaders(BYTE** data, long* size);

  // The same for an explicit major type and subtype.
  static void StripMpegHeaders(const GUID& majortype, const GUID& subtype, BYTE** data, long* size);
};
