// Settings interface of the audio decoder, as its settings page and the
// application see it.
#pragma once

#include "platform/com/Com.h"

struct IMpaDecFilter : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetSampleFormat(int format) = 0;
  virtual int STDMETHODCALLTYPE GetSampleFormat() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetNormalize(bool normalize) = 0;
  virtual bool STDMETHODCALLTYPE GetNormalize() = 0;
  // Selector 0 AC-3, 1 DTS, 2 AAC (see MpaDecoderSelector).
  virtual HRESULT STDMETHODCALLTYPE SetSpeakerConfig(int selector, int config) = 0;
  virtual int STDMETHODCALLTYPE GetSpeakerConfig(int selector) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDynamicRangeControl(int selector, bool enabled) = 0;
  virtual bool STDMETHODCALLTYPE GetDynamicRangeControl(int selector) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBoost(float boost) = 0;
  virtual float STDMETHODCALLTYPE GetBoost() = 0;

 protected:
  ~IMpaDecFilter() = default;
};
PELLOMAR_INTERFACE_ID(IMpaDecFilter, "2067C60F-752F-4EBD-B0B1-4CBC5E00741C");
