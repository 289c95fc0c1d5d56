// The MPEG-2 video decoder's input pins: the decoder input pin with the
// time-stamp rate-change property set that DVD navigation uses.
#pragma once

#include "decoders/common/DecoderInputPin.h"

class CMpeg2DecInputPin : public CDecoderInputPin, public IKsPropertySet {
 public:
  CMpeg2DecInputPin(CTransformFilter* filter, HRESULT* phr, LPCWSTR name);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData, LPVOID propData,
                   DWORD cbPropData) override;
  STDMETHODIMP Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData, LPVOID propData,
                   DWORD cbPropData, DWORD* cbReturned) override;
  STDMETHODIMP QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) override;

  // The rate change last set, read by the decoder under the rate lock.
  CCritSec m_csRateLock;
  LONG m_CorrectTS = 0;
  AM_SimpleRateChange m_ratechange{0x7FFFFFFFFFFFFFFFLL, 10000};
};
