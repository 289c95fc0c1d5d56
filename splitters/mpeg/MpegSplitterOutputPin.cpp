#include "splitters/mpeg/MpegSplitterOutputPin.h"

#include <algorithm>

namespace {

bool IsAdtsSync(BYTE b0, BYTE b1) { return b0 == 0xFF && (b1 & 0xF6) == 0xF0; }

bool IsStartCode(const BYTE* p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1; }

// The first 00 00 00 01 at or after `from`, or npos.
size_t FindStartCode(const std::vector<BYTE>& v, size_t from) {
  for (size_t i = from; i + 4 <= v.size(); i++) {
    // Skip quickly to the next zero byte.
    const BYTE* z = static_cast<const BYTE*>(memchr(v.data() + i, 0, v.size() - i));
    if (!z) break;
    i = static_cast<size_t>(z - v.data());
    if (i + 4 <= v.size() && IsStartCode(z)) return i;
  }
  return std::string::npos;
}

}  // namespace

CMpegSplitterOutputPin::CMpegSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                               CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseSplitterOutputPin(mts, name, filter, lock, phr, 0) {}

CMpegSplitterOutputPin::~CMpegSplitterOutputPin() = default;

HRESULT CMpegSplitterOutputPin::DeliverEndFlush() {
  {
    CAutoLock lock(&m_csPin);
    pending.reset();
    aacNext.reset();
    nalQueue.clear();
  }
  return CBaseSplitterOutputPin::DeliverEndFlush();
}

HRESULT CMpegSplitterOutputPin::DeliverEndOfStream() {
  {
    CAutoLock lock(&m_csPin);
    if (pending && pending->size() > 4 && IsStartCode(pending->data())) {
      // The rest of the data is one last NAL unit.
      DWORD len = static_cast<DWORD>(pending->size() - 4);
      BYTE* d = pending->data();
      d[0] = static_cast<BYTE>(len >> 24), d[1] = static_cast<BYTE>(len >> 16);
      d[2] = static_cast<BYTE>(len >> 8), d[3] = static_cast<BYTE>(len);
      nalQueue.push_back(std::move(pending));
    }
    pending.reset();
    aacNext.reset();
    // The queue may still hold more than one picture: the last unit of
    // each is known only now.
    if (SUCCEEDED(DeliverWholeUnits()) && !nalQueue.empty()) DeliverAccessUnit(nalQueue.size());
    nalQueue.clear();
  }
  return CBaseSplitterOutputPin::DeliverEndOfStream();
}

HRESULT CMpegSplitterOutputPin::DeliverPacket(std::unique_ptr<Packet> p) {
  CAutoLock lock(&m_csPin);
  if (!p) return S_OK;

  const GUID subtype = CurrentMediaType().subtype;
  if (subtype == MEDIASUBTYPE_AAC) return DeliverAac(std::move(p));
  if (subtype == MEDIASUBTYPE_AVC1 || subtype == MEDIASUBTYPE_avc1) return DeliverAvc(std::move(p));

  pending.reset();
  return CBaseSplitterOutputPin::DeliverPacket(std::move(p));
}

HRESULT CMpegSplitterOutputPin::DeliverAac(std::unique_ptr<Packet> p) {
  // A lone 0xFF held over is a sync only if the new data goes on with one.
  if (pending && pending->size() == 1 && (*pending)[0] == 0xFF) {
    if (p->empty() || ((*p)[0] & 0xF6) != 0xF0) pending.reset();
  }

  if (!pending) {
    aacNext.reset();
    size_t i = 0;
    for (; i < p->size(); i++) {
      if ((*p)[i] == 0xFF && (i + 1 == p->size() || ((*p)[i + 1] & 0xF6) == 0xF0)) break;
    }
    if (i == p->size()) return S_OK;
    p->erase(p->begin(), p->begin() + static_cast<ptrdiff_t>(i));
    pending = std::move(p);
  } else {
    // The packet's time, flags and type belong to the first frame that
    // begins in its bytes, which may come after frames still held.
    aacNextAt = pending->size();
    pending->insert(pending->end(), p->begin(), p->end());
    p->clear();
    aacNext = std::move(p);
  }

  HRESULT hr = S_OK;
  while (pending && pending->size() > 9) {
    const BYTE* d = pending->data();
    size_t len = size_t(d[3] & 3) << 11 | size_t(d[4]) << 3 | d[5] >> 5;
    size_t header = (d[1] & 1) ? 7 : 9;
    if (len <= header) {
      pending.reset();
      break;
    }
    if (pending->size() < len) break;
    if (pending->size() >= len + 2 && !IsAdtsSync(d[len], d[len + 1])) {
      pending.reset();
      break;
    }
    if (aacNext && aacNextAt == 0) TakeAacNext();
    auto frame = std::make_unique<Packet>();
    frame->assign(pending->begin() + static_cast<ptrdiff_t>(header), pending->begin() + static_cast<ptrdiff_t>(len));
    frame->TrackNumber = pending->TrackNumber;
    frame->bDiscontinuity = pending->bDiscontinuity;
    frame->pmt = std::move(pending->pmt);
    frame->bSyncPoint = pending->rtStart != INVALID_TIME;
    frame->rtStart = pending->rtStart;
    frame->rtStop = pending->rtStop;
    pending->bDiscontinuity = FALSE;
    pending->rtStart = pending->rtStop = INVALID_TIME;
    pending->erase(pending->begin(), pending->begin() + static_cast<ptrdiff_t>(len));
    // A packet that began inside this frame: its first frame is the next.
    aacNextAt = aacNextAt > len ? aacNextAt - len : 0;
    hr = CBaseSplitterOutputPin::DeliverPacket(std::move(frame));
    if (FAILED(hr)) return hr;
  }
  if (pending && aacNext && aacNextAt == 0) TakeAacNext();
  return hr;
}

void CMpegSplitterOutputPin::TakeAacNext() {
  if (aacNext->bDiscontinuity) pending->bDiscontinuity = TRUE;
  if (aacNext->rtStart != INVALID_TIME) {
    pending->rtStart = aacNext->rtStart;
    pending->rtStop = aacNext->rtStop;
  }
  if (aacNext->pmt) pending->pmt = std::move(aacNext->pmt);
  aacNext.reset();
}

HRESULT CMpegSplitterOutputPin::DeliverAvc(std::unique_ptr<Packet> p) {
  if (!pending) {
    pending = std::make_unique<Packet>();
    pending->TrackNumber = p->TrackNumber;
    pending->bDiscontinuity = p->bDiscontinuity;
    pending->bSyncPoint = p->bSyncPoint;
    pending->rtStart = p->rtStart;
    pending->rtStop = p->rtStop;
    pending->pmt = std::move(p->pmt);
    p->bDiscontinuity = p->bSyncPoint = FALSE;
    p->rtStart = p->rtStop = INVALID_TIME;
  }
  pending->insert(pending->end(), p->begin(), p->end());

  size_t start = FindStartCode(*pending, 0);
  if (start == std::string::npos) {
    // Nothing to frame yet; keep only what could begin a start code, so
    // data without any does not pile up.
    if (pending->size() > 3) pending->erase(pending->begin(), pending->end() - 3);
    return S_OK;
  }
  for (size_t next; (next = FindStartCode(*pending, start + 4)) != std::string::npos && next + 4 < pending->size();
       start = next) {
    auto nal = std::make_unique<Packet>();
    nal->assign(pending->begin() + static_cast<ptrdiff_t>(start), pending->begin() + static_cast<ptrdiff_t>(next));
    DWORD len = static_cast<DWORD>(nal->size() - 4);
    (*nal)[0] = static_cast<BYTE>(len >> 24), (*nal)[1] = static_cast<BYTE>(len >> 16);
    (*nal)[2] = static_cast<BYTE>(len >> 8), (*nal)[3] = static_cast<BYTE>(len);
    nal->TrackNumber = pending->TrackNumber;
    nal->bDiscontinuity = pending->bDiscontinuity;
    nal->bSyncPoint = pending->bSyncPoint;
    nal->rtStart = pending->rtStart;
    nal->rtStop = pending->rtStop;
    nal->pmt = std::move(pending->pmt);
    pending->rtStart = pending->rtStop = INVALID_TIME;
    pending->bDiscontinuity = pending->bSyncPoint = FALSE;
    nalQueue.push_back(std::move(nal));

    // The incoming packet's times go with the next unit to come out.
    if (p->rtStart != INVALID_TIME) {
      pending->rtStart = p->rtStart;
      pending->rtStop = p->rtStop;
      p->rtStart = p->rtStop = INVALID_TIME;
    }
    if (p->bDiscontinuity) pending->bDiscontinuity = TRUE;
    if (p->bSyncPoint) pending->bSyncPoint = TRUE;
    p->bDiscontinuity = p->bSyncPoint = FALSE;
    if (p->pmt) pending->pmt = std::move(p->pmt);
  }
  pending->erase(pending->begin(), pending->begin() + static_cast<ptrdiff_t>(start));
  return DeliverWholeUnits();
}

HRESULT CMpegSplitterOutputPin::DeliverWholeUnits() {
  // Whether the units queued before the one looked at hold a slice.
  bool slice = !nalQueue.empty() && IsSlice(*nalQueue.front());
  for (size_t i = 1; i < nalQueue.size();) {
    const Packet& e = *nalQueue[i];
    BYTE type = e.size() > 4 ? e[4] & 0x1F : 0;
    if (type == 9) sawDelimiter = true;
    if (type == 9 || (!sawDelimiter && (e.rtStart != INVALID_TIME || (slice && BeginsPicture(e))))) {
      HRESULT hr = DeliverAccessUnit(i);
      if (FAILED(hr)) return hr;
      i = 1;
      slice = !nalQueue.empty() && IsSlice(*nalQueue.front());
    } else {
      slice = slice || IsSlice(e);
      i++;
    }
  }
  return S_OK;
}

bool CMpegSplitterOutputPin::IsSlice(const Packet& nal) {
  const BYTE type = nal.size() > 4 ? nal[4] & 0x1F : 0;
  return type >= 1 && type <= 5;
}

bool CMpegSplitterOutputPin::BeginsPicture(const Packet& nal) {
  // Without delimiters a picture begins with its first slice (the first
  // macroblock, 0, is the one-bit code 1 leading the slice header) or with
  // a parameter set or SEI written in front of it.
  if (nal.size() <= 5) return false;
  const BYTE type = nal[4] & 0x1F;
  if (type == 1 || type == 5) return (nal[5] & 0x80) != 0;
  return type == 6 || type == 7 || type == 8 || (type >= 14 && type <= 18);
}

HRESULT CMpegSplitterOutputPin::DeliverAccessUnit(size_t n) {
  n = std::min(n, nalQueue.size());
  if (n == 0) return S_OK;
  std::unique_ptr<Packet> unit = std::move(nalQueue.front());
  for (size_t i = 1; i < n; i++) unit->insert(unit->end(), nalQueue[i]->begin(), nalQueue[i]->end());
  nalQueue.erase(nalQueue.begin(), nalQueue.begin() + static_cast<ptrdiff_t>(n));
  return CBaseSplitterOutputPin::DeliverPacket(std::move(unit));
}
