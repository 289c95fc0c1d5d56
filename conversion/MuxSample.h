// One queued input sample of the muxer filters.
#pragma once

#include <memory>
#include <vector>

#include "platform/dshow/MediaType.h"
#include "platform/win32/Types.h"

class CMpegInputPin;

// Payload storage of finished records, kept for the next ones: a picture's
// worth of fresh memory for every frame would cost its page faults again.
// Only picture-sized buffers are kept, a few at most. Any thread.
namespace MuxSampleStorage {
// An empty buffer with room for `size` bytes.
std::vector<BYTE> Take(size_t size);
void GiveBack(std::vector<BYTE>&& buffer);
}  // namespace MuxSampleStorage

struct MuxSample {
  enum : DWORD {
    TimeValid = 1,
    KeySample = 2,
    Discontinuity = 4,
    EndOfStream = 8,  // a record without data
    LateKey = 16,
  };

  CMpegInputPin* m_pPin = nullptr;  // not counted
  BYTE m_bVideo = 0;
  REFERENCE_TIME m_rtStart = INT64_MIN;
  REFERENCE_TIME m_rtStop = INT64_MIN;
  std::vector<BYTE> m_data;
  DWORD m_dwFlags = 0;
  // The stream's new format from this sample on (a picture size change).
  std::shared_ptr<const CMediaType> m_pMediaType;
};
