// Transform base of the video decoders: negotiates the output format
// (planar YUV, YUY2 or RGB), copies decoded 4:2:0 pictures into it,
// renegotiates the output when the picture size changes while streaming,
// and has an input allocator that carries an upstream format change to the
// next input sample.
#pragma once

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Transform.h"

// The uncompressed formats a video decoder offers downstream, in order of
// preference: planar YUV, YUY2, then RGB with plain and with bit-field
// compression.
struct VideoOutputFormat {
  const GUID* subtype;
  WORD planes;
  WORD bits;
  DWORD compression;
};
inline constexpr int kVideoOutputFormatCount = 14;
extern const VideoOutputFormat kVideoOutputFormats[kVideoOutputFormatCount];

class CBaseVideoInputAllocator : public CMemAllocator {
 public:
  CBaseVideoInputAllocator(HRESULT* phr);
  // The type is attached to the next sample handed out, then dropped.
  void NotifyMediaType(const CMediaType& mt);
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) override;

 private:
  CCritSec m_lock;
  CMediaType m_mt;
};

class CBaseVideoInputPin : public CTransformInputPin {
 public:
  CBaseVideoInputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name);
  ~CBaseVideoInputPin() override;

  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override;
  // While connected this is an upstream format change.
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;

 private:
  CBaseVideoInputAllocator* m_pVideoAllocator = nullptr;
};

class CBaseVideoOutputPin : public CTransformOutputPin {
 public:
  CBaseVideoOutputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name);
  HRESULT CheckMediaType(const CMediaType* pmt) override;
};

class CBaseVideoFilter : public CTransformFilter {
 public:
  CBaseVideoFilter(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, REFCLSID clsid, long outputBuffers = 1);
  ~CBaseVideoFilter() override;

  HRESULT CheckInputType(const CMediaType* mtIn) override;
  HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) override;
  HRESULT Receive(IMediaSample* sample) override;

  // The output size of the current picture size; the base keeps it.
  virtual void GetOutputSize(int& w, int& h, int& arx, int& ary) {}
  // The decoder's work on one input sample.
  virtual HRESULT Transform(IMediaSample* sample) = 0;
  virtual bool IsVideoInterlaced() { return false; }

  // For the decoder: an output sample for a picture of this size (the
  // output is renegotiated first when the size changed).
  HRESULT GetDeliveryBuffer(int w, int h, IMediaSample** sample);
  HRESULT ReconnectOutput(int w, int h);
  // Copies a planar 4:2:0 picture (a negative height is bottom-up) into an
  // output buffer in the output pin's subtype.
  HRESULT CopyBuffer(BYTE* out, BYTE** src, int w, int h, int pitchIn, const GUID& subtype, bool interlaced = false);
  HRESULT CopyBuffer(BYTE* out, BYTE* y, BYTE* u, BYTE* v, int w, int h, int pitchIn, const GUID& subtype,
                     bool interlaced = false);
  // One I420 buffer: U follows Y, V follows U.
  HRESULT CopyContiguousBuffer(BYTE* out, BYTE* in, int w, int h, int pitch, const GUID& subtype,
                               bool interlaced = false);

  CCritSec& ReceiveLock() { return m_csReceive; }
  int OutputWidth() const { return m_wout; }
  int OutputHeight() const { return m_hout; }

 protected:
  long m_cBuffers;
  int m_w = 0, m_h = 0, m_arx = 0, m_ary = 0;              // input
  int m_wout = 0, m_hout = 0, m_arxout = 0, m_aryout = 0;  // output type now
  int m_win = 0, m_hin = 0, m_arxin = 0, m_aryin = 0;      // last announced downstream
};
