// A filter with one input and one output that turns each input sample into
// an output sample.
//
// Derived filters supply the type checks, the output types, the buffer
// sizes and Transform (or their own Receive). Stream control (end of
// stream, flushes, new segments) is passed downstream. A Transform that
// returns S_FALSE means "nothing to deliver for this sample": the output
// sample is dropped and S_OK returned upstream.
#pragma once

#include <atomic>

#include "platform/dshow/BasePin.h"

class CTransformFilter;

class CTransformInputPin : public CBaseInputPin {
 public:
  CTransformInputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name);

  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT SetMediaType(const CMediaType* pmt) override;

  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 protected:
  CTransformFilter* m_pTransformFilter;
};

class CTransformOutputPin : public CBaseOutputPin {
 public:
  CTransformOutputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name);
  ~CTransformOutputPin() override;

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT SetMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;

  // Quality messages from downstream: the filter's AlterQuality first, then
  // upstream.
  STDMETHODIMP Notify(IBaseFilter* sender, Quality q) override;

 protected:
  CTransformFilter* m_pTransformFilter;
  // Seeking requests from downstream are passed to the upstream pin.
  IUnknown* m_pPosition = nullptr;
};

class CTransformFilter : public CBaseFilter {
 public:
  CTransformFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid);
  ~CTransformFilter() override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** ppPin) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;

  // What a derived filter supplies.
  virtual HRESULT Transform(IMediaSample* in, IMediaSample* out);
  virtual HRESULT CheckInputType(const CMediaType* in) = 0;
  virtual HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) = 0;
  virtual HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) = 0;
  virtual HRESULT GetMediaType(int position, CMediaType* pmt) = 0;

  // Optional hooks.
  virtual HRESULT StartStreaming();
  virtual HRESULT StopStreaming();
  virtual HRESULT AlterQuality(Quality q);
  virtual HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt);
  virtual HRESULT CheckConnect(PIN_DIRECTION dir, IPin* pin);
  virtual HRESULT BreakConnect(PIN_DIRECTION dir);
  virtual HRESULT CompleteConnect(PIN_DIRECTION dir, IPin* receivePin);

  // Called by the input pin with the receive lock held, after the base
  // checks passed.
  virtual HRESULT Receive(IMediaSample* sample);
  virtual HRESULT EndOfStream();
  virtual HRESULT BeginFlush();
  virtual HRESULT EndFlush();
  virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  // An output sample carrying the input sample's times and flags.
  virtual HRESULT InitializeOutputSample(IMediaSample* sample, IMediaSample** outSample);

  CCritSec* pStateLock() { return &m_csFilter; }

  bool m_bEOSDelivered = false;
  // Written by the streaming thread, and cleared by Pause, which may come
  // while a Receive is in progress (a running graph pauses before it stops).
  std::atomic<bool> m_bSampleSkipped{false};
  std::atomic<bool> m_bQualityChanged{false};
  CCritSec m_csFilter;
  CCritSec m_csReceive;
  // Created on first use by GetPin unless the derived filter has set its
  // own; owned by the filter (a pin's reference count is its filter's).
  CTransformInputPin* m_pInput = nullptr;
  CTransformOutputPin* m_pOutput = nullptr;
};
