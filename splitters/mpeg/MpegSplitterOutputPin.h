// Output pin of the MPEG splitter: re-frames AAC from ADTS into single raw
// frames and H.264 from start codes into access units of length-prefixed NAL
// units. (Times are the splitter's shared time line's, as they come.)
#pragma once

#include <deque>
#include <memory>

#include "foundation/BaseSplitterOutputPin.h"

class CMpegSplitterOutputPin : public CBaseSplitterOutputPin {
 public:
  CMpegSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter,
                         CCritSec* lock, HRESULT* phr);
  ~CMpegSplitterOutputPin() override;

  HRESULT DeliverEndFlush() override;
  // Delivers what the H.264 re-framer still holds: the last NAL unit has
  // no start code behind it and the last access unit no delimiter.
  HRESULT DeliverEndOfStream() override;
  HRESULT DeliverPacket(std::unique_ptr<Packet> p) override;

 private:
  HRESULT DeliverAac(std::unique_ptr<Packet> p);
  // Gives the packet waiting in aacNext to the frame at the head of
  // `pending`.
  void TakeAacNext();
  HRESULT DeliverAvc(std::unique_ptr<Packet> p);
  // Delivers the queued access units whose end the queue shows.
  HRESULT DeliverWholeUnits();
  // Joins the first n queued NAL units into one access unit and delivers it.
  HRESULT DeliverAccessUnit(size_t n);
  // A length-prefixed NAL unit that is a coded slice.
  static bool IsSlice(const Packet& nal);
  // A NAL unit that, behind a slice, begins the next access unit.
  static bool BeginsPicture(const Packet& nal);

  CCritSec m_csPin;
  std::unique_ptr<Packet> pending;
  // ADTS: the time, flags and type of the latest packet whose first frame
  // has not begun yet, and where in `pending` its bytes begin.
  std::unique_ptr<Packet> aacNext;
  size_t aacNextAt = 0;
  std::deque<std::unique_ptr<Packet>> nalQueue;
  bool sawDelimiter = false;
};
