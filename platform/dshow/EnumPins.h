// Enumerators over a filter's pins and over a pin's preferred media types.
//
// Both follow their source's version number: when the filter's pins or the
// pin's types change under an enumerator, Next and Skip answer
// VFW_E_ENUM_OUT_OF_SYNC until Reset.
#pragma once

#include "platform/dshow/BasePin.h"

class CEnumPins : public CUnknown, public IEnumPins {
 public:
  static HRESULT Create(CBaseFilter* filter, IEnumPins** ppEnum);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumPins** ppEnum) override;

 private:
  explicit CEnumPins(CBaseFilter* filter);
  ~CEnumPins() override;

  CBaseFilter* m_pFilter;
  int m_Position = 0;
  LONG m_Version;
};

class CEnumMediaTypes : public CUnknown, public IEnumMediaTypes {
 public:
  static HRESULT Create(CBasePin* pin, IEnumMediaTypes** ppEnum);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Hands out task-memory types; the caller frees them with DeleteMediaType.
  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumMediaTypes** ppEnum) override;

 private:
  explicit CEnumMediaTypes(CBasePin* pin);
  ~CEnumMediaTypes() override;

  CBasePin* m_pPin;
  int m_Position = 0;
  LONG m_Version;
};
