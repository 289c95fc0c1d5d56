// "Resizer" ({F97B8A60-31AD-11CF-B2DE-00DD01101B85}): scales uncompressed
// video (RGB24, RGB32, RGB555, RGB565, YUY2, UYVY, YV12, I420) to a set
// size in the same layout. The size and the preferred layout are given
// through IResize before the pins connect; without a size the input size
// is kept.
#pragma once

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/Transform.h"

// The resizer's settings interface. Our own interface id.
struct IResize : IUnknown {
  // Output size; flag 0 scales the whole picture (no other mode exists).
  STDMETHOD(get_Size)(LONG* height, LONG* width, LONG* flag) = 0;
  STDMETHOD(get_InputSize)(LONG* height, LONG* width) = 0;
  STDMETHOD(put_Size)(LONG height, LONG width, LONG flag) = 0;
  // The type the resizer is expected to receive; its layout becomes the
  // output layout.
  STDMETHOD(get_MediaType)(AM_MEDIA_TYPE* pmt) = 0;
  STDMETHOD(put_MediaType)(const AM_MEDIA_TYPE* pmt) = 0;

 protected:
  ~IResize() = default;
};
PELLOMAR_INTERFACE_ID(IResize, "3A7E1C52-4B0D-4F3C-9D61-7C2B8E5A90F4");

class CResizerFilter final : public CTransformFilter, public IResize {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IResize. Setters need a stopped filter with an unconnected output
  // (VFW_E_WRONG_STATE); sizes must be positive and even for YUV layouts
  // (E_INVALIDARG).
  STDMETHODIMP get_Size(LONG* height, LONG* width, LONG* flag) override;
  STDMETHODIMP get_InputSize(LONG* height, LONG* width) override;
  STDMETHODIMP put_Size(LONG height, LONG width, LONG flag) override;
  STDMETHODIMP get_MediaType(AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP put_MediaType(const AM_MEDIA_TYPE* pmt) override;

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
  HRESULT StartStreaming() override;

 private:
  explicit CResizerFilter(LPUNKNOWN outer);
  void OutputSize(LONG& width, LONG& height);

  LONG m_width = 0, m_height = 0;  // 0: the input's size
  CMediaType m_expected;           // from put_MediaType, may be empty
  AvFramePtr m_frame;
  SwsPtr m_reader;
  CPictureWriter m_writer;
};
