// The decoder's "~CC" output: DVD line-21 captions, taken from the user data
// of each group of pictures, passed on as line-21 GOP packets.
#pragma once

#include "platform/dshow/BaseClasses.h"

class CClosedCaptionOutputPin : public CBaseOutputPin {
 public:
  CClosedCaptionOutputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr);

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) override;

  // One group's user data (the parser's payloads joined by 00 00 01). Only
  // DVD caption data is sent, and only while the pin is connected.
  HRESULT DeliverUserData(const BYTE* data, DWORD length);
};
