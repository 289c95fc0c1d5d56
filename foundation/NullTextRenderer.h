// A sink for text, script-command and subtitle streams that throws every
// sample away, so that a splitter's subtitle pins can be rendered and the
// rest of a conversion graph still builds.
#pragma once

#include <memory>

#include "platform/dshow/BaseClasses.h"

PELLOMAR_DEFINE_GUID(CLSID_NullTextRenderer, "655D7613-C26C-4A25-BBBD-3C9C516122CC");

class CNullTextRenderer : public CBaseFilter {
 public:
  class CTextInputPin : public CBaseInputPin {
   public:
    CTextInputPin(CNullTextRenderer* filter, CCritSec* lock, HRESULT* phr);
    // Text, script commands and the subtitle and subpicture kinds.
    HRESULT CheckMediaType(const CMediaType* pmt) override;
  };

  CNullTextRenderer(LPUNKNOWN outer, HRESULT* phr);
  ~CNullTextRenderer() override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

 private:
  CCritSec m_Lock;
  std::unique_ptr<CTextInputPin> m_pInput;
};
