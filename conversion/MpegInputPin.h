// The queued input pin of the muxer filters: every delivered sample is
// copied into a MuxSample record and queued for the filter's worker thread,
// which takes the records of all pins in time order.
#pragma once

#include "conversion/MuxSample.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/QueuedSink.h"

class CMpegInputPin : public CQueuedInputPin {
 public:
  CMpegInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video);

  // Video: 4:2:0 planar (YV12, I420) frames, or RGB32 or RGB24 ones
  // (VideoInfo or VideoInfo2); audio: 16-bit PCM in a WAVEFORMATEX.
  HRESULT CheckMediaType(const CMediaType* pmt) override;

 protected:
  HRESULT MakeRecord(IMediaSample* sample, std::unique_ptr<QueuedRecord>* record) override;

  // Records keep a copy of the samples' bytes (a sink that only needs the
  // times and flags keeps none).
  bool m_bCopyData = true;
};
