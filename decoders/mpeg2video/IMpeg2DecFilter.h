// Settings interface of the MPEG-2 video decoder, as its settings page and
// the application see it.
#pragma once

#include "platform/com/Com.h"

struct IMpeg2DecFilter : IUnknown {
  // 0 Auto, 1 Weave, 2 Blend, 3 Bob, 4 Field Shift.
  virtual HRESULT STDMETHODCALLTYPE SetDeinterlaceMethod(int method) = 0;
  virtual int STDMETHODCALLTYPE GetDeinterlaceMethod() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBrightness(float brightness) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetContrast(float contrast) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetHue(float hue) = 0;  // degrees
  virtual HRESULT STDMETHODCALLTYPE SetSaturation(float saturation) = 0;
  virtual float STDMETHODCALLTYPE GetBrightness() = 0;
  virtual float STDMETHODCALLTYPE GetContrast() = 0;
  virtual float STDMETHODCALLTYPE GetHue() = 0;
  virtual float STDMETHODCALLTYPE GetSaturation() = 0;
  virtual HRESULT STDMETHODCALLTYPE EnableForcedSubtitles(bool enable) = 0;
  virtual bool STDMETHODCALLTYPE IsForcedSubtitlesEnabled() = 0;
  virtual HRESULT STDMETHODCALLTYPE EnablePlanarYUV(bool enable) = 0;
  virtual bool STDMETHODCALLTYPE IsPlanarYUVEnabled() = 0;
  virtual HRESULT STDMETHODCALLTYPE EnableInterlaced(bool enable) = 0;
  virtual bool STDMETHODCALLTYPE IsInterlacedEnabled() = 0;

 protected:
  ~IMpeg2DecFilter() = default;
};
PELLOMAR_INTERFACE_ID(IMpeg2DecFilter, "0ABEAA65-0317-47B9-AE1D-D9EA905AFD25");
