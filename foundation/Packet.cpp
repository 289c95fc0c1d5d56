#include "foundation/Packet.h"

#include <algorithm>
#include <cstring>

#include "platform/dshow/MediaType.h"

void MediaTypeDeleter::operator()(AM_MEDIA_TYPE* pmt) const {
  if (pmt) DeleteMediaType(pmt);
}

bool Packet::SetMediaType(const AM_MEDIA_TYPE& mt) {
  pmt.reset(CreateMediaType(&mt));
  return pmt != nullptr;
}

void CPacketQueue::Add(std::unique_ptr<Packet> p) {
  // A merged packet is freed after the lock is released.
  std::unique_ptr<Packet> merged;
  std::lock_guard<std::mutex> guard(m_lock);

  if (p) m_size += static_cast<int64_t>(p->GetDataSize());

  if (p && p->bAppendable && !p->bDiscontinuity && !p->pmt && p->rtStart == INVALID_TIME && !m_entries.empty()) {
    Packet* tail = m_entries.back().get();
    if (tail && tail->rtStart != INVALID_TIME) {
      const size_t oldSize = tail->size();
      const size_t newSize = oldSize + p->size();
      // Grow in large steps: a frame cut into many small pieces should
      // not reallocate for every piece.
      if (tail->capacity() < newSize) tail->reserve(newSize + std::max<size_t>(newSize, 1024));
      tail->resize(newSize);
      if (!p->empty()) std::memcpy(tail->data() + oldSize, p->data(), p->size());
      merged = std::move(p);
      return;
    }
  }
  // The tail is whole now: what its growth reserved beyond its bytes goes
  // back, or a full queue would hold up to twice its payload.
  if (!m_entries.empty() && m_entries.back()) {
    Packet* last = m_entries.back().get();
    if (last->capacity() > last->size() + last->size() / 4 + 1024) last->shrink_to_fit();
  }
  m_entries.push_back(std::move(p));
}

std::unique_ptr<Packet> CPacketQueue::Remove() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_entries.empty()) return nullptr;
  std::unique_ptr<Packet> p = std::move(m_entries.front());
  m_entries.pop_front();
  if (p) m_size -= static_cast<int64_t>(p->GetDataSize());
  return p;
}

void CPacketQueue::RemoveAll() {
  std::deque<std::unique_ptr<Packet>> old;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    old.swap(m_entries);
    m_size = 0;
  }
}

size_t CPacketQueue::GetCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_entries.size();
}

int64_t CPacketQueue::GetSize() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_size;
}
