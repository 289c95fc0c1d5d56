// A source filter whose one pin delivers the buffers a test gives it, and a
// sink filter that records every sample it receives.
#pragma once

#include <cstring>
#include <vector>

#include "platform/dshow/BaseClasses.h"

struct FilterLock {
  CCritSec lock;
};

class CTestSourcePin : public CBaseOutputPin {
 public:
  CTestSourcePin(CBaseFilter* f, CCritSec* lock, const CMediaType& mt, HRESULT* phr)
      : CBaseOutputPin("TestSourcePin", f, lock, phr, L"Out"), m_type(mt) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    return *pmt == m_type ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT GetMediaType(int pos, CMediaType* pmt) override {
    if (pos < 0) return E_INVALIDARG;
    if (pos > 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = m_type;
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override {
    p->cBuffers = 2;
    p->cbBuffer = 1 << 18;
    p->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    return a->SetProperties(p, &actual);
  }
  // One sample; start < 0 sends it without time.
  HRESULT Send(const BYTE* data, size_t size, REFERENCE_TIME start, bool discontinuity,
               const CMediaType* newType = nullptr) {
    IMediaSample* s = nullptr;
    HRESULT hr = GetDeliveryBuffer(&s, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    std::memcpy(p, data, size);
    s->SetActualDataLength(static_cast<long>(size));
    if (start >= 0) {
      REFERENCE_TIME stop = start + 1;
      s->SetTime(&start, &stop);
    }
    s->SetDiscontinuity(discontinuity ? TRUE : FALSE);
    if (newType) s->SetMediaType(const_cast<CMediaType*>(newType));
    hr = Deliver(s);
    s->Release();
    return hr;
  }
  CMediaType m_type;
};

class CTestSource : private FilterLock, public CBaseFilter {
 public:
  explicit CTestSource(const CMediaType& mt) : CBaseFilter("TestSource", nullptr, &lock, GUID_NULL) {
    HRESULT hr = S_OK;
    m_pin = new CTestSourcePin(this, &lock, mt, &hr);
  }
  ~CTestSource() override { delete m_pin; }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin : nullptr; }
  CTestSourcePin* m_pin;
};

struct Received {
  std::vector<BYTE> data;
  REFERENCE_TIME start = 0, stop = 0;
  bool discontinuity = false;
  bool typeChanged = false;
};

class CTestSinkPin : public CBaseInputPin {
 public:
  CTestSinkPin(CBaseFilter* f, CCritSec* lock, HRESULT* phr) : CBaseInputPin("TestSinkPin", f, lock, phr, L"In") {}
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    return pmt->majortype == MEDIATYPE_Audio ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  STDMETHODIMP Receive(IMediaSample* s) override {
    HRESULT hr = CBaseInputPin::Receive(s);
    if (hr != S_OK) return hr;
    Received r;
    AM_MEDIA_TYPE* mt = nullptr;
    if (s->GetMediaType(&mt) == S_OK && mt) {
      type = *mt;
      DeleteMediaType(mt);
      r.typeChanged = true;
    }
    BYTE* p = nullptr;
    s->GetPointer(&p);
    r.data.assign(p, p + s->GetActualDataLength());
    s->GetTime(&r.start, &r.stop);
    r.discontinuity = s->IsDiscontinuity() == S_OK;
    samples.push_back(std::move(r));
    return S_OK;
  }
  STDMETHODIMP EndOfStream() override {
    ++endOfStream;
    return S_OK;
  }
  HRESULT CompleteConnect(IPin* pin) override {
    type = m_mt;
    return CBaseInputPin::CompleteConnect(pin);
  }
  CMediaType type;  // the type in effect for the last sample
  std::vector<Received> samples;
  int endOfStream = 0;

  std::vector<BYTE> AllBytes() const {
    std::vector<BYTE> all;
    for (const Received& r : samples) all.insert(all.end(), r.data.begin(), r.data.end());
    return all;
  }
};

class CTestSink : private FilterLock, public CBaseFilter {
 public:
  CTestSink() : CBaseFilter("TestSink", nullptr, &lock, GUID_NULL) {
    HRESULT hr = S_OK;
    m_pin = new CTestSinkPin(this, &lock, &hr);
  }
  ~CTestSink() override { delete m_pin; }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin : nullptr; }
  CTestSinkPin* m_pin;
};
