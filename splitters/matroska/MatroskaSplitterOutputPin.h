// Output pin of the Matroska splitter: ends a block that carries no
// duration where the next block of the stream begins, splits laced blocks
// into one packet per frame and sends WavPack correction data after its
// block.
#pragma once

#include <deque>
#include <memory>

#include "foundation/BaseSplitterOutputPin.h"
#include "splitters/matroska/MatroskaFile.h"

// One block of a track, with the group record whose frames it carries.
class MatroskaPacket : public Packet {
 public:
  std::unique_ptr<MatroskaReader::BlockGroup> bg;
  size_t GetDataSize() const override;
};

class CMatroskaSplitterOutputPin : public CBaseSplitterOutputPin {
 public:
  // defaultDuration: the track's frame duration in 100 ns, 0 when unknown;
  // it ends the last frame of the stream.
  CMatroskaSplitterOutputPin(REFERENCE_TIME defaultDuration, const std::vector<CMediaType>& mts, LPCWSTR name,
                             CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr);
  ~CMatroskaSplitterOutputPin() override;

  HRESULT DeliverEndOfStream() override;
  HRESULT DeliverEndFlush() override;
  HRESULT DeliverPacket(std::unique_ptr<Packet> p) override;

 private:
  // Delivers the frames of one block, then its WavPack additions.
  HRESULT DeliverBlock(std::unique_ptr<MatroskaPacket> p);

  REFERENCE_TIME m_rtDefaultDuration;
  CCritSec m_csQueue;
  // Blocks waiting for their end, in arrival order.
  std::deque<std::unique_ptr<MatroskaPacket>> m_packets;
};
