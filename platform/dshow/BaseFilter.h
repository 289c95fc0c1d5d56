// The base of every filter: state, clock, graph membership, events and the
// pin table given by the derived class.
#pragma once

#include <atomic>
#include <string>

#include "platform/dshow/CritSec.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/Unknown.h"

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter {
 public:
  // lock: the filter lock shared with the pins; it must outlive the filter.
  CBaseFilter(LPCTSTR name, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid, HRESULT* phr = nullptr);
  ~CBaseFilter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IPersist
  STDMETHODIMP GetClassID(CLSID* clsid) override;

  // IMediaFilter
  // Stop calls Inactive on every connected pin; Pause from stopped calls
  // Active on every connected pin; Run pauses first when stopped, then
  // calls Run on every connected pin.
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;
  STDMETHODIMP GetState(DWORD msTimeout, FILTER_STATE* state) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;

  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** ppPin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
  // The graph is held without a reference (it holds the filter).
  STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* vendorInfo) override;

  // The pin table. GetPin hands out a pin without a reference.
  virtual int GetPinCount() = 0;
  virtual CBasePin* GetPin(int n) = 0;

  // Changes when pins are added or removed; enumerators compare it.
  virtual LONG GetPinVersion() { return m_PinVersion; }
  void IncrementPinVersion() { ++m_PinVersion; }

  // Time since Run's start time on the filter's clock.
  virtual HRESULT StreamTime(REFERENCE_TIME& streamTime);

  // Passes an event to the graph's event sink; EC_COMPLETE carries the
  // filter as its second parameter so the graph can count its renderers.
  HRESULT NotifyEvent(LONG eventCode, LONG_PTR param1, LONG_PTR param2);

  // Asks the graph to reconnect a pin (with a type, when the graph can).
  HRESULT ReconnectPin(IPin* pin, const AM_MEDIA_TYPE* pmt);

  BOOL IsActive() const { return m_State != State_Stopped; }
  BOOL IsStopped() const { return m_State == State_Stopped; }
  IFilterGraph* GetFilterGraph() const { return m_pGraph; }
  LPCWSTR GetFilterName() const { return m_Name.c_str(); }

  // Changed under the filter lock; streaming threads read it without.
  std::atomic<FILTER_STATE> m_State{State_Stopped};
  IReferenceClock* m_pClock = nullptr;
  REFERENCE_TIME m_tStart = 0;
  CLSID m_clsid;
  CCritSec* m_pLock;
  IFilterGraph* m_pGraph = nullptr;
  IMediaEventSink* m_pSink = nullptr;
  std::wstring m_Name;
  LONG m_PinVersion = 1;
};
