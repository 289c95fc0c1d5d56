// "Picture Turner": turns decoded pictures upright (a quarter or half turn
// clockwise) for a sink that writes its pictures as it receives them, the
// ASF writer. 4:2:0 planar (YV12, I420) and RGB of 24 or 32 bits go out in
// the layout they came in, each picture in a buffer of its own; a new
// picture size that comes with a sample goes on turned with it.
#pragma once

#include "platform/dshow/BaseClasses.h"

PELLOMAR_DEFINE_GUID(CLSID_PictureTurner, "5B0D7C3E-2A41-4F86-9C1B-7E3D58A0F264");

class CPictureTurner : public CTransformFilter {
 public:
  CPictureTurner(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // 90, 180 or 270 degrees clockwise; E_INVALIDARG for another angle,
  // VFW_E_WRONG_STATE once the input is connected.
  HRESULT SetTurn(int degrees);
  // The type of the pictures of `in` turned by `degrees`; false for a type
  // that is not turned here.
  static bool TurnedType(const CMediaType& in, int degrees, CMediaType* out);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  // Output buffers grow with the pictures after a size change.
  HRESULT InitializeOutputSample(IMediaSample* sample, IMediaSample** outSample) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
  HRESULT StartStreaming() override;

 private:
  int m_nTurn = 90;
  // While streaming: the format of the pictures coming in, and theirs turned.
  CMediaType m_mtIn;
  CMediaType m_mtOut;
};
