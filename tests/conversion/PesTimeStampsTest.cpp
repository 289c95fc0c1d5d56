// The program stream time filter on hand-built packets, in the header forms
// the end-to-end rows may not meet: MPEG-1 packets with a buffer size field,
// MPEG-2 headers with an extension after the times, stuffing at its limit,
// and output that arrives a byte at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "conversion/PesTimeStamps.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Kind = CPesTimeStamps::Kind;

void PutTime(Bytes& b, int prefix, int64_t t) {
  b.push_back(static_cast<uint8_t>((prefix << 4) | ((t >> 29) & 0x0e) | 1));
  b.push_back(static_cast<uint8_t>(t >> 22));
  b.push_back(static_cast<uint8_t>(((t >> 14) & 0xfe) | 1));
  b.push_back(static_cast<uint8_t>(t >> 7));
  b.push_back(static_cast<uint8_t>(((t << 1) & 0xfe) | 1));
}

void PutStart(Bytes& b, uint8_t id, size_t length) {
  b.insert(b.end(), {0, 0, 1, id, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
}

// An MPEG-2 packet: times, a P-STD extension, stuffing, then the payload.
Bytes Packet2(uint8_t id, std::optional<int64_t> pts, std::optional<int64_t> dts, bool extension, int stuffing,
              const Bytes& payload) {
  Bytes h;
  if (pts) PutTime(h, dts ? 3 : 2, *pts);
  if (dts) PutTime(h, 1, *dts);
  if (extension) h.insert(h.end(), {0x10, 0x60, 0x80});
  h.insert(h.end(), stuffing, 0xff);
  Bytes b;
  PutStart(b, id, 3 + h.size() + payload.size());
  b.push_back(0x81);
  b.push_back(static_cast<uint8_t>((pts ? 0x80 : 0) | (dts ? 0x40 : 0) | (extension ? 0x01 : 0)));
  b.push_back(static_cast<uint8_t>(h.size()));
  b.insert(b.end(), h.begin(), h.end());
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// An MPEG-1 packet: stuffing, the buffer size field, the times.
Bytes Packet1(uint8_t id, int stuffing, std::optional<int64_t> pts, std::optional<int64_t> dts,
              const Bytes& payload) {
  Bytes h(stuffing, 0xff);
  h.insert(h.end(), {0x40, 0x20});
  if (pts) PutTime(h, dts ? 3 : 2, *pts);
  if (dts) PutTime(h, 1, *dts);
  if (!pts) h.push_back(0x0f);
  Bytes b;
  PutStart(b, id, h.size() + payload.size());
  b.insert(b.end(), h.begin(), h.end());
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

const Bytes kPack2 = {0, 0, 1, 0xba, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xc3, 0xf8};
const Bytes kPack1 = {0, 0, 1, 0xba, 0x21, 0, 1, 0, 1, 0x80, 0x1b, 0x91};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// Three 100-byte pictures; the second an I picture whose picture start code
// follows 20 bytes of sequence and group headers.
Bytes Pictures() {
  Bytes es(300, 0x22);
  auto code = [&](size_t at, uint8_t id) {
    es[at] = es[at + 1] = 0;
    es[at + 2] = 1;
    es[at + 3] = id;
  };
  code(0, 0);
  code(100, 0xb3);
  code(120, 0);
  code(200, 0);
  return es;
}

struct Row {
  const char* what;
  Kind kind;
  uint8_t id;
  Bytes es;                   // the stream's bytes: units of 100 (pictures) or 50
  Bytes in, out;              // the muxer's output, and what the filter passes on
  bool dvd = false;           // the DVD-Video form's sound times
};

TEST(PesTimeStamps, PacketsGetTheTimeOfTheUnitReadersFindFirst) {
  const Bytes pics = Pictures();
  const Bytes sound(200, 0x33);
  const Bytes ac3Head = {0x80, 1, 0, 1};
  const Row rows[] = {
      {"an I picture's headers end a packet: the next packet takes its times", Kind::Video, 0xe0, pics,
       Join({kPack2, Packet2(0xe0, 500, 400, false, 1, Slice(pics, 0, 110)),
             Packet2(0xe0, 700, 600, false, 1, Slice(pics, 110, 300))}),
       Join({kPack2, Packet2(0xe0, 500, 400, false, 1, Slice(pics, 0, 110)),
             Packet2(0xe0, 600, 500, false, 1, Slice(pics, 110, 300))})},
      {"an AC-3 frame starts 5 bytes before a packet's end: the next packet loses its time", Kind::Ac3, 0xbd,
       sound,
       Join({kPack2, Packet2(0xbd, 400, {}, true, 1, Join({ac3Head, Slice(sound, 0, 55)})),
             Packet2(0xbd, 500, {}, true, 1, Join({ac3Head, Slice(sound, 55, 200)}))}),
       Join({kPack2, Packet2(0xbd, 400, {}, true, 1, Join({ac3Head, Slice(sound, 0, 55)})),
             Packet2(0xbd, {}, {}, true, 6, Join({ac3Head, Slice(sound, 55, 200)}))})},
      {"DVD: the next packet keeps the time of the frame that starts in it", Kind::Ac3, 0xbd, sound,
       Join({kPack2, Packet2(0xbd, 400, {}, true, 1, Join({ac3Head, Slice(sound, 0, 55)})),
             Packet2(0xbd, 500, {}, true, 1, Join({ac3Head, Slice(sound, 55, 200)}))}),
       Join({kPack2, Packet2(0xbd, 400, {}, true, 1, Join({ac3Head, Slice(sound, 0, 55)})),
             Packet2(0xbd, 500, {}, true, 1, Join({ac3Head, Slice(sound, 55, 200)}))}),
       true},
      {"MPEG-1: the same with a buffer size field", Kind::MpegAudio, 0xc0, sound,
       Join({kPack1, Packet1(0xc0, 0, 400, {}, Slice(sound, 0, 52)), Packet1(0xc0, 2, 500, {}, Slice(sound, 52, 200))}),
       Join({kPack1, Packet1(0xc0, 0, 400, {}, Slice(sound, 0, 52)), Packet1(0xc0, 6, {}, {}, Slice(sound, 52, 200))})},
      {"MPEG-1: no room for more stuffing: the packet stays", Kind::MpegAudio, 0xc0, sound,
       Join({kPack1, Packet1(0xc0, 0, 400, {}, Slice(sound, 0, 52)), Packet1(0xc0, 13, 500, {}, Slice(sound, 52, 200))}),
       Join({kPack1, Packet1(0xc0, 0, 400, {}, Slice(sound, 0, 52)), Packet1(0xc0, 13, 500, {}, Slice(sound, 52, 200))})},
  };
  for (const Row& row : rows) {
    for (size_t step : {row.in.size(), size_t{1}}) {
      Bytes got;
      CPesTimeStamps filter([&](const uint8_t* p, size_t n) { got.insert(got.end(), p, p + n); });
      filter.AddStream(3, row.kind, row.id, 0x80);
      if (row.dvd) filter.KeepSoundStartTimes();
      const size_t unit = row.kind == Kind::Video ? 100 : 50;
      // Pictures: pts at the unit's offset, dts 100 before; the muxer's
      // times (in the packets above) are these plus its start delay.
      for (size_t at = 0; at < row.es.size(); at += unit) {
        const int64_t t = static_cast<int64_t>(at);
        filter.AddUnit(3, row.es.data() + at, unit, t, row.kind == Kind::Video ? t - 100 : t);
      }
      for (size_t at = 0; at < row.in.size(); at += step)
        filter.Write(row.in.data() + at, std::min(step, row.in.size() - at));
      filter.Flush();
      EXPECT_EQ(got, row.out) << row.what << (step == 1 ? " (a byte at a time)" : "");
    }
  }
}

}  // namespace
