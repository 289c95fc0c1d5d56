// What both RoQ decoders do around their transform: take a format change
// that downstream attached to an output sample, and size the output
// buffers.
#pragma once

#include "platform/dshow/BaseClasses.h"

namespace roq {

// A media type on the output sample becomes the output pin's type.
inline void TakeOutputType(CTransformOutputPin* pin, IMediaSample* out) {
  AM_MEDIA_TYPE* pmt = nullptr;
  if (out->GetMediaType(&pmt) == S_OK && pmt) {
    CMediaType mt(*pmt);
    DeleteMediaType(pmt);
    pin->SetMediaType(&mt);
  }
}

// `count` buffers of `bytes` each, alignment 1; E_FAIL when the allocator
// grants fewer or smaller ones.
inline HRESULT SetBuffers(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request, LONG count, LONGLONG bytes) {
  if (bytes <= 0 || bytes > 0x7FFFFFFF) return E_FAIL;
  request->cBuffers = count;
  request->cbBuffer = static_cast<LONG>(bytes);
  request->cbAlign = 1;
  request->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

}  // namespace roq
