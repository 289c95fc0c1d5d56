// The fast null muxer: the sink of the video-to-pictures graph. The filter
// in front of it writes the pictures; this one only takes the stream as
// fast as it comes and tells the graph when every connected input ended.
#pragma once

#include "conversion/MuxerBase.h"
#include "foundation/SplitterInterfaces.h"

PELLOMAR_DEFINE_GUID(CLSID_FastNullMuxer, "CD9D4D08-6F9B-429C-943C-3AC2E0251456");

// Its pins queue like the muxer's, keeping only the samples' times and
// flags, but take any video ("Video") or any type but video ("Audio").
//
// Pictures are all a run of this sink writes: its sound pin stays in the
// graph but switches its stream off, so that a splitter upstream does not
// deliver it and nothing decodes it; whatever still arrives is dropped, and
// the run does not wait for that stream's end.
class CNullInputPin : public CMpegInputPin, public IStreamSwitcherInputPin {
 public:
  CNullInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video);
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  bool TakesPart() const override { return m_bVideo; }
  STDMETHODIMP_(bool) IsActive() override { return m_bVideo; }

 protected:
  // The worker only drops the records: waking it for every frame would cost
  // the streaming thread more than the frame's record. It is woken for
  // every kWakeEvery-th record and for an end of stream; the records
  // between wait in the queue (far below its limit) until then.
  bool WakesWorker(const QueuedRecord& sample) override;

 private:
  static constexpr int kWakeEvery = 16;
  int m_nUnwoken = 0;  // records queued since the worker was last woken
};

class CFastNullMuxer : public CMuxerBase {
 public:
  CFastNullMuxer(LPUNKNOWN outer, HRESULT* phr);
  ~CFastNullMuxer() override;
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

 protected:
  // Taken records are simply dropped.
  HRESULT TakeSample(MuxSample&) override { return S_OK; }
};
