#include "decoders/common/Mpeg2DecInputPin.h"

#include <cstring>

CMpeg2DecInputPin::CMpeg2DecInputPin(CTransformFilter* filter, HRESULT* phr, LPCWSTR name)
    : CDecoderInputPin(nullptr, filter, phr, name) {}

HRESULT STDMETHODCALLTYPE CMpeg2DecInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IKsPropertySet) return GetInterfaceAs<IKsPropertySet>(this, ppv);
  return CDecoderInputPin::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CMpeg2DecInputPin::Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData,
                                    LPVOID propData, DWORD cbPropData) {
  if (propSet != AM_KSPROPSETID_TSRateChange) return E_PROP_ID_UNSUPPORTED;
  switch (id) {
    case AM_RATE_SimpleRateChange: {
      // The navigator must first say that it sends corrected time stamps.
      if (!m_CorrectTS) return E_PROP_ID_UNSUPPORTED;
      if (!propData || cbPropData < sizeof(AM_SimpleRateChange)) return E_INVALIDARG;
      CAutoLock lock(&m_csRateLock);
      std::memcpy(&m_ratechange, propData, sizeof(AM_SimpleRateChange));
      return S_OK;
    }
    case AM_RATE_UseRateVersion: {
      if (!propData || cbPropData < sizeof(WORD)) return E_INVALIDARG;
      WORD version;
      std::memcpy(&version, propData, sizeof(version));
      return version >= 0x0102 ? S_OK : E_PROP_ID_UNSUPPORTED;
    }
    case AM_RATE_CorrectTS: {
      if (!propData || cbPropData < sizeof(LONG)) return E_INVALIDARG;
      std::memcpy(&m_CorrectTS, propData, sizeof(LONG));
      return S_OK;
    }
    default:
      return E_PROP_ID_UNSUPPORTED;
  }
}

STDMETHODIMP CMpeg2DecInputPin::Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData,
                                    LPVOID propData, DWORD cbPropData, DWORD* cbReturned) {
  if (propSet != AM_KSPROPSETID_TSRateChange) return E_PROP_ID_UNSUPPORTED;
  switch (id) {
    case AM_RATE_MaxFullDataRate: {
      if (!propData || cbPropData < sizeof(LONG)) return E_INVALIDARG;
      const LONG rate = 8 * 10000;
      std::memcpy(propData, &rate, sizeof(rate));
      if (cbReturned) *cbReturned = sizeof(LONG);
      return S_OK;
    }
    case AM_RATE_QueryFullFrameRate: {
      if (!propData || cbPropData < sizeof(AM_QueryRate)) return E_INVALIDARG;
      const AM_QueryRate rate{8 * 10000, 8 * 10000};
      std::memcpy(propData, &rate, sizeof(rate));
      if (cbReturned) *cbReturned = sizeof(AM_QueryRate);
      return S_OK;
    }
    default:
      return E_PROP_ID_UNSUPPORTED;
  }
}

STDMETHODIMP CMpeg2DecInputPin::QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) {
  if (propSet != AM_KSPROPSETID_TSRateChange) return E_PROP_ID_UNSUPPORTED;
  if (!typeSupport) return E_POINTER;
  switch (id) {
    case AM_RATE_SimpleRateChange:
      *typeSupport = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
      return S_OK;
    case AM_RATE_MaxFullDataRate:
    case AM_RATE_QueryFullFrameRate:
    case AM_RATE_QueryLastRateSegPTS:
      *typeSupport = KSPROPERTY_SUPPORT_GET;
      return S_OK;
    case AM_RATE_UseRateVersion:
    case AM_RATE_CorrectTS:
      *typeSupport = KSPROPERTY_SUPPORT_SET;
      return S_OK;
    default:
      return E_PROP_ID_UNSUPPORTED;
  }
}
