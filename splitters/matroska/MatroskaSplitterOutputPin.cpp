#include "splitters/matroska/MatroskaSplitterOutputPin.h"

#include "splitters/matroska/MatroskaMediaTypes.h"

using namespace MatroskaReader;

namespace {

// Times near the ends of the range must not overflow when added to.
REFERENCE_TIME AddSaturated(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}

}  // namespace

size_t MatroskaPacket::GetDataSize() const { return bg ? bg->b.DataSize() : size(); }

CMatroskaSplitterOutputPin::CMatroskaSplitterOutputPin(REFERENCE_TIME defaultDuration,
                                                       const std::vector<CMediaType>& mts, LPCWSTR name,
                                                       CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseSplitterOutputPin(mts, name, filter, lock, phr), m_rtDefaultDuration(defaultDuration) {}

CMatroskaSplitterOutputPin::~CMatroskaSplitterOutputPin() = default;

HRESULT CMatroskaSplitterOutputPin::DeliverEndOfStream() {
  HRESULT hr = S_OK;
  {
    CAutoLock lock(&m_csQueue);
    for (size_t i = 0; i < m_packets.size(); i++) {
      MatroskaPacket& p = *m_packets[i];
      if (i + 1 < m_packets.size()) {
        if (!p.bg->BlockDuration.IsValid()) p.rtStop = m_packets[i + 1]->rtStart;
      } else if (m_rtDefaultDuration > 0) {
        p.rtStop = AddSaturated(p.rtStart, m_rtDefaultDuration);
      }
    }
    while (!m_packets.empty()) {
      std::unique_ptr<MatroskaPacket> p = std::move(m_packets.front());
      m_packets.pop_front();
      const HRESULT hrBlock = DeliverBlock(std::move(p));
      if (FAILED(hrBlock) && SUCCEEDED(hr)) hr = hrBlock;
    }
  }
  // The end of the stream goes downstream even after a failed block, so
  // that nothing waits for it.
  const HRESULT hrEnd = CBaseSplitterOutputPin::DeliverEndOfStream();
  return FAILED(hr) ? hr : hrEnd;
}

HRESULT CMatroskaSplitterOutputPin::DeliverEndFlush() {
  {
    CAutoLock lock(&m_csQueue);
    m_packets.clear();
  }
  return CBaseSplitterOutputPin::DeliverEndFlush();
}

HRESULT CMatroskaSplitterOutputPin::DeliverPacket(std::unique_ptr<Packet> p) {
  auto* mp = dynamic_cast<MatroskaPacket*>(p.get());
  if (!mp || !mp->bg) return CBaseSplitterOutputPin::DeliverPacket(std::move(p));
  p.release();

  CAutoLock lock(&m_csQueue);
  m_packets.emplace_back(mp);
  // A block without a duration ends where the next one begins.
  if (m_packets.size() == 2 && !m_packets[0]->bg->BlockDuration.IsValid()) {
    m_packets[0]->bg->BlockDuration.Set(1);
    if (m_packets[0]->rtStart < m_packets[1]->rtStart) m_packets[0]->rtStop = m_packets[1]->rtStart;
  }
  while (!m_packets.empty() && m_packets.front()->bg->BlockDuration.IsValid()) {
    std::unique_ptr<MatroskaPacket> front = std::move(m_packets.front());
    m_packets.pop_front();
    HRESULT hr = DeliverBlock(std::move(front));
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CMatroskaSplitterOutputPin::DeliverBlock(std::unique_ptr<MatroskaPacket> p) {
  auto& frames = p->bg->b.BlockData;
  if (frames.empty()) return S_OK;

  const REFERENCE_TIME start = p->rtStart, stop = p->rtStop;
  const auto span = static_cast<__int128>(stop) - start;
  const auto d = static_cast<REFERENCE_TIME>(span / static_cast<__int128>(frames.size()));

  REFERENCE_TIME t = start;
  bool first = true;
  for (auto& frame : frames) {
    auto packet = std::make_unique<Packet>();
    packet->TrackNumber = p->TrackNumber;
    packet->bDiscontinuity = first ? p->bDiscontinuity : FALSE;
    packet->bSyncPoint = first ? p->bSyncPoint : FALSE;
    packet->rtStart = t;
    packet->rtStop = AddSaturated(t, d);
    // A type change travels with the block's first frame.
    if (first) packet->pmt = std::move(p->pmt);
    static_cast<std::vector<BYTE>&>(*packet) = std::move(frame);
    first = false;
    t = packet->rtStop;
    HRESULT hr = CBaseSplitterOutputPin::DeliverPacket(std::move(packet));
    if (FAILED(hr)) return hr;
  }

  if (CurrentMediaType().subtype == FourCCGuid(0x5756)) {
    // WavPack correction data, right behind the block it belongs to.
    for (const auto& bm : p->bg->ba.bm) {
      auto packet = std::make_unique<Packet>();
      packet->TrackNumber = p->TrackNumber;
      packet->bDiscontinuity = FALSE;
      packet->bSyncPoint = FALSE;
      packet->rtStart = start;
      packet->rtStop = stop;
      static_cast<std::vector<BYTE>&>(*packet) = bm->BlockAdditional;
      HRESULT hr = CBaseSplitterOutputPin::DeliverPacket(std::move(packet));
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}
