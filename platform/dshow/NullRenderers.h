// The platform's null renderers: a video renderer
// ({70E102B0-5556-11CE-97C0-00AA0055595A}, "Video Renderer") and an audio
// renderer ({79376820-07D0-11CF-A24D-0020AFD79767}, "Audio Renderer", with
// IBasicAudio). Each has one input pin "In" that takes what the platform's
// renderers take, decoded data only (uncompressed video in a video-info
// format block; PCM or IEEE float audio in a wave format block), and throws
// every sample away; anything compressed needs a decoder in front. End of stream is reported as
// EC_COMPLETE once the filter runs (at once when running, else at the next
// Run); a flush or a stop forgets it. IMediaSeeking is passed to the pin
// upstream; IAMFilterMiscFlags says "renderer".
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/BasePin.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaTimeSeeking.h"

class CNullRendererFilter;

// The subtypes the renderers take and register with the filter mapper.
inline constexpr GUID kNullVideoRendererSubtypes[] = {
    MEDIASUBTYPE_RGB8, MEDIASUBTYPE_RGB555, MEDIASUBTYPE_RGB565, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32,
    MEDIASUBTYPE_ARGB32, MEDIASUBTYPE_YV12, MEDIASUBTYPE_I420, MEDIASUBTYPE_IYUV, MEDIASUBTYPE_NV12,
    MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_YVYU,
};
inline constexpr GUID kNullAudioRendererSubtypes[] = {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT};

class CNullRendererInputPin final : public CBaseInputPin {
 public:
  CNullRendererInputPin(CNullRendererFilter* filter, CCritSec* lock, HRESULT* phr);

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

 private:
  CNullRendererFilter* m_pRenderer;
};

class CNullRendererFilter : public CBaseFilter, public CForwardedSeeking, public IAMFilterMiscFlags {
 public:
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // IAMFilterMiscFlags
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  // IMediaSeeking, all passed upstream; a new position also forgets an end
  // of stream that waits for the run.
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;

  const GUID& MajorType() const { return m_major; }
  std::span<const GUID> Subtypes() const { return m_subtypes; }
  // Called by the pin.
  void OnEndOfStream();
  void OnFlush();
  void OnSample() { ++m_samples; }

 protected:
  CNullRendererFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid, const GUID& major,
                      std::span<const GUID> subtypes, HRESULT* phr);
  ~CNullRendererFilter() override;

  template <class T>
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  std::atomic<int> m_samples{0};  // received since the filter left Stopped

 private:
  // The seeking of the filter upstream; VFW_E_NOT_CONNECTED without one.
  HRESULT SeekingTarget(IMediaSeeking** seeking) override;

  CCritSec m_lock;
  GUID m_major;
  std::span<const GUID> m_subtypes;
  std::unique_ptr<CNullRendererInputPin> m_pin;
  std::mutex m_eosLock;
  bool m_eosPending = false;  // end of stream seen, EC_COMPLETE not yet sent
};

// IQualProp counts the pictures received since the filter last left the
// stopped state as drawn; nothing is dropped and nothing waits for a clock,
// so the other statistics are 0.
class CNullVideoRenderer final : public CNullRendererFilter, public IQualProp {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  CNullVideoRenderer(LPUNKNOWN outer, HRESULT* phr);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP get_FramesDroppedInRenderer(int* frames) override;
  STDMETHODIMP get_FramesDrawn(int* frames) override;
  STDMETHODIMP get_AvgFrameRate(int* rate) override;
  STDMETHODIMP get_Jitter(int* jitter) override;
  STDMETHODIMP get_AvgSyncOffset(int* offset) override;
  STDMETHODIMP get_DevSyncOffset(int* deviation) override;
};

class CNullAudioRenderer final : public CNullRendererFilter, public IBasicAudio {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  CNullAudioRenderer(LPUNKNOWN outer, HRESULT* phr);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IDispatch: no automation.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override;

  // IBasicAudio: volume -10000..0 (hundredths of a decibel), balance
  // -10000..10000; kept, nothing is played.
  STDMETHODIMP put_Volume(LONG volume) override;
  STDMETHODIMP get_Volume(LONG* volume) override;
  STDMETHODIMP put_Balance(LONG balance) override;
  STDMETHODIMP get_Balance(LONG* balance) override;

 private:
  std::atomic<LONG> m_volume{0};
  std::atomic<LONG> m_balance{0};
};
