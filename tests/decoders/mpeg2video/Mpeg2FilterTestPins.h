// Test filters around the MPEG-2 video decoder filter: a source whose pins
// push the buffers a test gives them, and a sink whose pin records every
// sample of the media types it is told to take.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "platform/dshow/BaseClasses.h"

struct TestFilterLock {
  CCritSec lock;
};

class CPushPin : public CBaseOutputPin {
 public:
  CPushPin(CBaseFilter* f, CCritSec* lock, const CMediaType& mt, HRESULT* phr, LPCWSTR name)
      : CBaseOutputPin("PushPin", f, lock, phr, name), m_type(mt) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override { return *pmt == m_type ? S_OK : VFW_E_TYPE_NOT_ACCEPTED; }
  HRESULT GetMediaType(int pos, CMediaType* pmt) override {
    if (pos < 0) return E_INVALIDARG;
    if (pos > 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = m_type;
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override {
    p->cBuffers = 2;
    p->cbBuffer = 1 << 16;
    p->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    return a->SetProperties(p, &actual);
  }
  // start < 0: no time on the sample.
  HRESULT Send(const BYTE* data, size_t size, REFERENCE_TIME start, bool discontinuity = false) {
    IMediaSample* s = nullptr;
    HRESULT hr = GetDeliveryBuffer(&s, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    if (size > static_cast<size_t>(s->GetSize())) {
      s->Release();
      return E_INVALIDARG;
    }
    std::memcpy(p, data, size);
    s->SetActualDataLength(static_cast<long>(size));
    if (start >= 0) {
      REFERENCE_TIME stop = start + 1;
      s->SetTime(&start, &stop);
    }
    s->SetDiscontinuity(discontinuity ? TRUE : FALSE);
    hr = Deliver(s);
    s->Release();
    return hr;
  }
  CMediaType m_type;
};

class CPushSource : private TestFilterLock, public CBaseFilter {
 public:
  explicit CPushSource(const CMediaType& video, const CMediaType* second = nullptr)
      : CBaseFilter("PushSource", nullptr, &lock, GUID_NULL) {
    HRESULT hr = S_OK;
    m_pins.push_back(new CPushPin(this, &lock, video, &hr, L"Out"));
    if (second) m_pins.push_back(new CPushPin(this, &lock, *second, &hr, L"Out2"));
  }
  ~CPushSource() override {
    for (CPushPin* p : m_pins) delete p;
  }
  int GetPinCount() override { return static_cast<int>(m_pins.size()); }
  CBasePin* GetPin(int n) override { return n >= 0 && n < GetPinCount() ? m_pins[n] : nullptr; }
  std::vector<CPushPin*> m_pins;
};

struct CapturedSample {
  std::vector<BYTE> data;
  REFERENCE_TIME start = 0, stop = 0;
  HRESULT timeResult = E_FAIL;
};

class CCapturePin : public CBaseInputPin {
 public:
  CCapturePin(CBaseFilter* f, CCritSec* lock, HRESULT* phr, std::function<bool(const CMediaType&)> accept)
      : CBaseInputPin("CapturePin", f, lock, phr, L"In"), m_accept(std::move(accept)) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override { return m_accept(*pmt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED; }
  STDMETHODIMP Receive(IMediaSample* s) override {
    HRESULT hr = CBaseInputPin::Receive(s);
    if (hr != S_OK) return hr;
    AM_MEDIA_TYPE* mt = nullptr;
    if (s->GetMediaType(&mt) == S_OK && mt) {
      type = *mt;
      DeleteMediaType(mt);
    }
    CapturedSample r;
    r.timeResult = s->GetTime(&r.start, &r.stop);
    samples.push_back(std::move(r));
    // A held sample's bytes are read only when it is let go, as a
    // downstream filter that works on later reads them.
    s->AddRef();
    held.push_back({s, samples.size() - 1});
    while (held.size() > hold) LetGo();
    return S_OK;
  }
  STDMETHODIMP EndOfStream() override {
    while (!held.empty()) LetGo();
    ++endOfStream;
    return S_OK;
  }
  HRESULT CompleteConnect(IPin* pin) override {
    type = m_mt;
    return CBaseInputPin::CompleteConnect(pin);
  }
  CMediaType type;
  std::vector<CapturedSample> samples;
  int endOfStream = 0;
  // How many received samples the pin keeps before it reads them.
  size_t hold = 0;

 private:
  void LetGo() {
    BYTE* p = nullptr;
    held.front().first->GetPointer(&p);
    samples[held.front().second].data.assign(p, p + held.front().first->GetActualDataLength());
    held.front().first->Release();
    held.pop_front();
  }
  std::deque<std::pair<IMediaSample*, size_t>> held;
  std::function<bool(const CMediaType&)> m_accept;
};

class CCaptureSink : private TestFilterLock, public CBaseFilter {
 public:
  explicit CCaptureSink(std::function<bool(const CMediaType&)> accept)
      : CBaseFilter("CaptureSink", nullptr, &lock, GUID_NULL) {
    HRESULT hr = S_OK;
    m_pin = new CCapturePin(this, &lock, &hr, std::move(accept));
  }
  ~CCaptureSink() override { delete m_pin; }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin : nullptr; }
  CCapturePin* m_pin;
};
