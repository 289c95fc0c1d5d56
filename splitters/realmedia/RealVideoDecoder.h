// The RealVideo decoder: RealVideo 2, 3 and 4 through the codec library of
// an installed RealMedia player, fed with the frames the RealMedia
// splitter assembles (slice count, slice table, frame data).
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/BaseVideoFilter.h"
#include "platform/codecs/real/RealCodecApi.h"
#include "platform/win32/Module.h"

PELLOMAR_DEFINE_GUID(CLSID_RealVideoDecoder, "238D0F23-5DC9-45A6-9BE2-666160C324DD");

class CRealVideoDecoder : public CBaseVideoFilter {
 public:
  CRealVideoDecoder(LPUNKNOWN outer, HRESULT* phr);
  ~CRealVideoDecoder() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  HRESULT CheckInputType(const CMediaType* mtIn) override;
  HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT AlterQuality(Quality q) override;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  HRESULT Transform(IMediaSample* sample) override;

  // Resamples one row or column of `srcLength` elements (`srcStep` apart)
  // to `dstLength` elements, linearly in 16.16 fixed point.
  static void Resample(const BYTE* src, int srcLength, int srcStep, BYTE* dst, int dstLength, int dstStep);

 private:
  HRESULT InitRV(const CMediaType* pmt);
  void FreeInstance();
  void FreeLibraryModule();
  // Scales a picture of w x h (planes packed in `from`) to the output
  // size; the result ends in whichever buffer was written last.
  BYTE* Scale(BYTE* from, BYTE* other, int w, int h);

  HMODULE m_hDrvDll = nullptr;
  RVCustomMessageFn m_fnCustomMessage = nullptr;
  RVFreeFn m_fnFree = nullptr;
  RVHiveMessageFn m_fnHiveMessage = nullptr;
  RVInitFn m_fnInit = nullptr;
  RVTransformFn m_fnTransform = nullptr;
  uint32_t m_dwCookie = 0;
  bool m_interlaceFromHeader = false;  // RealVideo 4.1 frames carry the flag

  std::vector<BYTE> m_pI420, m_pI420Tmp;
  int m_bufW = 0, m_bufH = 0;  // the picture size the buffers hold
  REFERENCE_TIME m_tStart = 0;
  uint32_t m_lastTimestamp = 0xFFFFFFFF;
  bool m_fDropFrames = false;
};
