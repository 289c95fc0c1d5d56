#include "conversion/PesTimeStamps.h"

#include <algorithm>

namespace {

constexpr uint8_t kPackId = 0xba;
constexpr uint8_t kEndId = 0xb9;
constexpr uint8_t kSystemId = 0xbb;  // the first id whose packet has a length
constexpr uint8_t kPrivate1 = 0xbd;
constexpr int64_t kTimeMask = (int64_t{1} << 33) - 1;  // times are 33 bits
// Stuffing bytes a packet header may hold: MPEG-2, MPEG-1.
constexpr int kMaxStuffing2 = 32;
constexpr int kMaxStuffing1 = 16;
// The private stream's own header before an AC-3 payload: sub id, frame
// count, first unit's offset.
constexpr size_t kAc3Private = 4;

// Bytes of a unit's start that a reader needs to find it: a start code, an
// MPEG audio header, an AC-3 sync word and the header after it.
int FoundAfter(CPesTimeStamps::Kind kind) { return kind == CPesTimeStamps::Kind::Ac3 ? 8 : 4; }

int64_t ReadTime(const uint8_t* p) {
  return (int64_t{(p[0] >> 1) & 7} << 30) | (int64_t{p[1]} << 22) | (int64_t{p[2] >> 1} << 15) |
         (int64_t{p[3]} << 7) | (p[4] >> 1);
}

void WriteTime(uint8_t* p, int64_t t) {
  p[0] = static_cast<uint8_t>((p[0] & 0xf0) | ((t >> 29) & 0x0e) | 1);
  p[1] = static_cast<uint8_t>(t >> 22);
  p[2] = static_cast<uint8_t>(((t >> 14) & 0xfe) | 1);
  p[3] = static_cast<uint8_t>(t >> 7);
  p[4] = static_cast<uint8_t>(((t << 1) & 0xfe) | 1);
}

// Where the picture start code of a coded picture begins (after the
// sequence and group headers an I picture carries).
size_t PictureStart(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 3 < size; ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0) return i;
  return 0;
}

}  // namespace

void CPesTimeStamps::AddStream(int index, Kind kind, uint8_t id, uint8_t subId) {
  Stream s;
  s.index = index;
  s.kind = kind;
  s.id = id;
  s.subId = subId;
  m_streams.push_back(std::move(s));
}

void CPesTimeStamps::AddUnit(int index, const uint8_t* data, size_t size, int64_t pts, int64_t dts) {
  for (Stream& s : m_streams) {
    if (s.index != index) continue;
    const int64_t found = s.queued + (s.kind == Kind::Video ? static_cast<int64_t>(PictureStart(data, size)) : 0);
    s.units.push_back(Unit{s.queued, found, pts, dts == INT64_MIN ? pts : dts});
    s.queued += static_cast<int64_t>(size);
    return;
  }
}

CPesTimeStamps::Stream* CPesTimeStamps::StreamOf(uint8_t id) {
  for (Stream& s : m_streams)
    if (s.id == id) return &s;
  return nullptr;
}

size_t CPesTimeStamps::HeaderNeed(bool* readable) const {
  const size_t have = m_head.size();
  bool ignored = true;
  bool& ok = readable ? *readable : ignored;
  ok = true;
  if (m_id == kEndId || m_id < kPackId) return 0;
  if (m_id == kPackId) {
    if (have < 1) return 1;
    if ((m_head[0] & 0xc0) != 0x40) return have < 8 ? 8 - have : 0;  // MPEG-1: 12 bytes in all
    if (have < 10) return 10 - have;
    const size_t all = 10 + (m_head[9] & 7);
    return have < all ? all - have : 0;
  }
  if (have < 2) return 2 - have;
  const size_t length = (size_t{m_head[0]} << 8) | m_head[1];
  bool tracked = m_id == kPrivate1;
  for (const Stream& s : m_streams) tracked = tracked || s.id == m_id;
  if (!tracked) {
    ok = false;
    return 0;
  }
  // Only whole headers within the packet's length are read; anything else
  // passes as it is.
  auto within = [&](size_t all) -> size_t {
    if (all > length + 2) {
      ok = false;
      return 0;
    }
    return have < all ? all - have : 0;
  };
  const size_t extra = m_id == kPrivate1 ? kAc3Private : 0;
  if (have < 3) return within(3);
  if ((m_head[2] & 0xc0) == 0x80) {  // MPEG-2
    if (have < 5) return within(5);
    return within(5 + m_head[4] + extra);
  }
  size_t pos = 2;
  while (pos < have && m_head[pos] == 0xff && pos < 2 + kMaxStuffing1) ++pos;
  if (pos == have) return within(pos + 1);
  if ((m_head[pos] & 0xc0) == 0x40) {
    pos += 2;
    if (pos >= have) return within(pos + 1);
  }
  const uint8_t b = m_head[pos];
  const size_t end = (b & 0xf0) == 0x20 ? pos + 5 : (b & 0xf0) == 0x30 ? pos + 10 : b == 0x0f ? pos + 1 : 0;
  if (!end) ok = false;
  return end ? within(end + extra) : 0;
}

void CPesTimeStamps::EndHeader() {
  m_pBody = nullptr;
  int64_t rest = 0;
  bool readable = false;
  HeaderNeed(&readable);
  if (m_id >= kSystemId && m_head.size() >= 2) {
    const int64_t length = (int64_t{m_head[0]} << 8) | m_head[1];
    rest = std::max<int64_t>(0, length + 2 - static_cast<int64_t>(m_head.size()));
    Stream* s = m_id == kPrivate1 ? nullptr : StreamOf(m_id);
    size_t headerEnd = m_head.size();
    if (m_id == kPrivate1 && m_head.size() >= 3 + kAc3Private) {
      headerEnd -= kAc3Private;
      for (Stream& t : m_streams)
        if (t.id == kPrivate1 && t.subId == m_head[headerEnd]) s = &t;
    }
    if (s && readable && headerEnd >= 3) {
      Retime(*s, headerEnd, rest);
      m_pBody = s;
    }
  }
  m_sink(m_head.data(), m_head.size());
  m_head.clear();
  m_left = rest;
  m_state = m_left > 0 ? State::Body : State::Scan;
  m_code = 0xffffffff;
}

void CPesTimeStamps::Retime(Stream& s, size_t headerEnd, int64_t payload) {
  const int64_t a = s.written, b = a + payload;
  // The unit a reader last found before this packet, and the ones after.
  while (s.units.size() > 1 && s.units[1].found < a) s.units.pop_front();
  const Unit* before = !s.units.empty() && s.units[0].found < a ? &s.units[0] : nullptr;
  const Unit* found = nullptr;
  const Unit* muxed = nullptr;
  for (const Unit& u : s.units) {
    if (u.start >= b) break;
    if (!found && u.found >= a && u.found < b) found = &u;
    if (!muxed && u.start >= a && u.start < b) muxed = &u;
  }
  // The unit before is found only here when its start ends the last packet.
  const bool split = before && before->found + FoundAfter(s.kind) > a;

  size_t at = 0;
  int bytes = 0;
  if ((m_head[2] & 0xc0) == 0x80) {
    if (m_head[3] & 0x80) {
      at = 5;
      bytes = (m_head[3] & 0xc0) == 0xc0 ? 10 : 5;
    }
  } else {
    size_t pos = 2;
    while (pos < headerEnd && m_head[pos] == 0xff) ++pos;
    if (pos < headerEnd && (m_head[pos] & 0xc0) == 0x40) pos += 2;
    if (pos < headerEnd && ((m_head[pos] & 0xf0) == 0x20 || (m_head[pos] & 0xf0) == 0x30)) {
      at = pos;
      bytes = (m_head[pos] & 0xf0) == 0x30 ? 10 : 5;
    }
  }
  if (!bytes || at + bytes > headerEnd) return;
  const int64_t pts = ReadTime(&m_head[at]);
  const int64_t dts = bytes == 10 ? ReadTime(&m_head[at + 5]) : pts;
  // The muxer's own times are the units' shifted by its start delay.
  if (muxed && muxed->pts != INT64_MIN) {
    s.shift = (pts - muxed->pts) & kTimeMask;
    s.hasShift = true;
  }
  if (split && muxed && m_bSoundStartTimes && s.kind != Kind::Video) return;
  if (split || !found) {
    if (RemoveTimes(at, bytes)) ++m_nUntimed;
    return;
  }
  if (!s.hasShift || found->pts == INT64_MIN) return;
  const int64_t wantPts = (found->pts + s.shift) & kTimeMask;
  const int64_t wantDts = (found->dts + s.shift) & kTimeMask;
  if (wantPts == pts && wantDts == dts) return;
  if (bytes == 10 || wantDts == wantPts) {
    WriteTime(&m_head[at], wantPts);
    if (bytes == 10) WriteTime(&m_head[at + 5], wantDts);
    ++m_nRetimed;
  } else if (RemoveTimes(at, bytes)) {
    ++m_nUntimed;
  }
}

bool CPesTimeStamps::RemoveTimes(size_t at, int bytes) {
  if ((m_head[2] & 0xc0) == 0x80) {
    // The optional fields after the times move up; the header ends in
    // stuffing as long as before.
    const size_t end = 5 + m_head[4];
    const uint8_t flags = m_head[3];
    size_t used = bytes;
    used += (flags & 0x20 ? 6 : 0) + (flags & 0x10 ? 3 : 0) + (flags & 0x08 ? 1 : 0) + (flags & 0x04 ? 1 : 0) +
            (flags & 0x02 ? 2 : 0);
    if (flags & 0x01) {
      size_t p = 5 + used;
      if (p >= end) return false;
      const uint8_t e = m_head[p++];
      p += (e & 0x80) ? 16 : 0;
      if (e & 0x40) {
        if (p >= end) return false;
        p += 1 + m_head[p];
      }
      p += ((e & 0x20) ? 2 : 0) + ((e & 0x10) ? 2 : 0);
      if (e & 0x01) {
        if (p >= end) return false;
        p += 1 + (m_head[p] & 0x7f);
      }
      used = p - 5;
    }
    if (used > end - 5 || static_cast<int>(end - 5 - used) + bytes > kMaxStuffing2) return false;
    std::copy(m_head.begin() + at + bytes, m_head.begin() + end, m_head.begin() + at);
    std::fill(m_head.begin() + end - bytes, m_head.begin() + end, 0xff);
    m_head[3] &= 0x3f;
    return true;
  }
  // MPEG-1: stuffing, the buffer size, then the times; without times the
  // field is one byte, and the stuffing grows by the rest.
  const size_t stuffing = std::count(m_head.begin() + 2, m_head.begin() + at, uint8_t{0xff});
  if (static_cast<int>(stuffing) + bytes - 1 > kMaxStuffing1) return false;
  std::copy_backward(m_head.begin() + 2 + stuffing, m_head.begin() + at, m_head.begin() + at + bytes - 1);
  std::fill(m_head.begin() + 2, m_head.begin() + 2 + stuffing + bytes - 1, 0xff);
  m_head[at + bytes - 1] = 0x0f;
  return true;
}

void CPesTimeStamps::Write(const uint8_t* data, size_t size) {
  size_t i = 0, mark = 0;  // [mark, i) passes on unchanged
  auto pass = [&] {
    if (i > mark) m_sink(data + mark, i - mark);
    mark = i;
  };
  while (i < size) {
    if (m_state == State::Header) {
      const size_t take = std::min(size - i, std::max<size_t>(HeaderNeed(), 1));
      m_head.insert(m_head.end(), data + i, data + i + take);
      i += take;
      mark = i;
      if (HeaderNeed() == 0) EndHeader();
      continue;
    }
    if (m_state == State::Body) {
      const int64_t take = std::min<int64_t>(static_cast<int64_t>(size - i), m_left);
      if (m_pBody) m_pBody->written += take;
      i += static_cast<size_t>(take);
      m_left -= take;
      if (m_left == 0) {
        m_state = State::Scan;
        m_code = 0xffffffff;
      }
      continue;
    }
    m_code = (m_code << 8) | data[i++];
    if ((m_code & 0xffffff00u) == 0x100u) {
      pass();
      m_id = static_cast<uint8_t>(m_code);
      m_state = State::Header;
      if (HeaderNeed() == 0) EndHeader();
    }
  }
  pass();
}

void CPesTimeStamps::Flush() {
  if (!m_head.empty()) m_sink(m_head.data(), m_head.size());
  m_head.clear();
  m_state = State::Scan;
  m_code = 0xffffffff;
}
