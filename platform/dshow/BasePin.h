// Pins: the connection protocol (CBasePin), the push transport's sending
// side (CBaseOutputPin) and receiving side (CBaseInputPin).
//
// A pin's reference count is its filter's: the filter owns its pins and
// they live exactly as long as it does.
#pragma once

#include <atomic>
#include <string>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/MediaType.h"

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  CBasePin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name,
           PIN_DIRECTION dir);
  ~CBasePin() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  // IPin
  STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** pin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override;
  STDMETHODIMP QueryId(LPWSTR* id) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
  STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override = 0;
  STDMETHODIMP EndFlush() override = 0;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // IQualityControl
  STDMETHODIMP Notify(IBaseFilter* self, Quality q) override;
  STDMETHODIMP SetSink(IQualityControl* sink) override;

  // Connection hooks, in the order the protocol calls them.
  virtual HRESULT CheckConnect(IPin* pin);
  virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
  virtual HRESULT SetMediaType(const CMediaType* pmt);
  virtual HRESULT CompleteConnect(IPin* receivePin);
  virtual HRESULT BreakConnect();
  // The pin's preferred types by position; VFW_S_NO_MORE_ITEMS past the end.
  virtual HRESULT GetMediaType(int position, CMediaType* pmt);

  // State hooks called by the filter.
  virtual HRESULT Active();
  virtual HRESULT Inactive();
  virtual HRESULT Run(REFERENCE_TIME start);

  virtual LONG GetMediaTypeVersion() { return m_TypeVersion; }
  void IncrementTypeVersion() { ++m_TypeVersion; }

  BOOL IsConnected() const { return m_Connected != nullptr; }
  IPin* GetConnected() const { return m_Connected; }
  BOOL IsStopped() const { return m_pFilter->IsStopped(); }
  CMediaType& CurrentMediaType() { return m_mt; }
  LPCWSTR Name() const { return m_Name.c_str(); }
  void SetName(LPCWSTR name);
  REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
  REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
  double CurrentRate() const { return m_dRate; }

  // Lets a filter reconnect a pin while running (for format changes).
  BOOL CanReconnectWhenActive() const { return m_bCanReconnectWhenActive; }
  void SetReconnectWhenActive(bool can) { m_bCanReconnectWhenActive = can; }

  // Disconnect without the stopped-state check.
  HRESULT DisconnectInternal();

 protected:
  // Tries the given full type, else the types this pin offers, then the
  // types the receiving pin offers, each filtered by the partial type.
  virtual HRESULT AgreeMediaType(IPin* receivePin, const CMediaType* pmt);
  virtual HRESULT AttemptConnection(IPin* receivePin, const CMediaType* pmt);
  HRESULT TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types);

 public:
  LPWSTR m_pName = nullptr;
  IPin* m_Connected = nullptr;
  PIN_DIRECTION m_dir;
  CCritSec* m_pLock;
  // Set on a streaming thread's failure, read by the others.
  std::atomic<bool> m_bRunTimeError{false};
  bool m_bCanReconnectWhenActive = false;
  CBaseFilter* m_pFilter;
  IQualityControl* m_pQSink = nullptr;
  LONG m_TypeVersion = 1;
  CMediaType m_mt;
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
  double m_dRate = 1.0;

 private:
  std::wstring m_Name;
};

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name);

  // Negotiates the allocator once the type is agreed.
  HRESULT CompleteConnect(IPin* receivePin) override;
  // The peer must take samples (IMemInputPin).
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;

  // Asks the input pin's allocator first, then our own; each is sized by
  // DecideBufferSize and handed to the input with NotifyAllocator.
  virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** alloc);
  virtual HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) = 0;
  virtual HRESULT InitAllocator(IMemAllocator** alloc);

  // Blocks while every buffer is in use; fails once the allocator is
  // decommitted.
  virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                    DWORD flags);
  virtual HRESULT Deliver(IMediaSample* sample);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  // Commits the allocator when the filter leaves the stopped state and
  // decommits it when it stops; the decommit releases a blocked
  // GetDeliveryBuffer.
  HRESULT Active() override;
  HRESULT Inactive() override;

  // Stream control goes downstream, never into an output pin.
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  IMemAllocator* m_pAllocator = nullptr;
  IMemInputPin* m_pInputPin = nullptr;
};

class CBaseInputPin : public CBasePin, public IMemInputPin {
 public:
  CBaseInputPin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name);
  ~CBaseInputPin() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IMemInputPin
  STDMETHODIMP GetAllocator(IMemAllocator** alloc) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* alloc, BOOL readOnly) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
  // Checks the state (S_FALSE while flushing, VFW_E_WRONG_STATE when
  // stopped), reads the sample's properties and checks a type change;
  // derived pins call it first and process the sample on S_OK.
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
  STDMETHODIMP ReceiveCanBlock() override;

  // Flushing makes Receive return S_FALSE until EndFlush.
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP Notify(IBaseFilter* self, Quality q) override;

  HRESULT BreakConnect() override;
  HRESULT Inactive() override;

  // S_OK when a sample may be processed now, S_FALSE while flushing,
  // VFW_E_WRONG_STATE when stopped, VFW_E_RUNTIME_ERROR after an error.
  virtual HRESULT CheckStreaming();
  HRESULT PassNotify(Quality& q);

  BOOL IsFlushing() const { return m_bFlushing; }
  BOOL IsReadOnly() const { return m_bReadOnly; }
  // The properties of the sample being received; valid during Receive.
  AM_SAMPLE2_PROPERTIES* SampleProps() { return &m_SampleProps; }

  IMemAllocator* m_pAllocator = nullptr;
  BOOL m_bReadOnly = FALSE;
  // Changed by the flushing thread, read by the streaming thread.
  std::atomic<BOOL> m_bFlushing{FALSE};
  AM_SAMPLE2_PROPERTIES m_SampleProps{};

 private:
  // The type read from a sample without IMediaSample2, kept until the next
  // sample so SampleProps stays valid.
  AM_MEDIA_TYPE* m_pOwnedSampleType = nullptr;
};
