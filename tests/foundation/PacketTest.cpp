#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "foundation/Packet.h"
#include "platform/dshow/MediaType.h"

namespace {

std::unique_ptr<Packet> MakePacket(size_t size, REFERENCE_TIME start, bool appendable, BYTE fill = 0) {
  auto p = std::make_unique<Packet>();
  p->resize(size, fill);
  p->rtStart = start;
  p->rtStop = start == INVALID_TIME ? INVALID_TIME : start + 1;
  p->bAppendable = appendable ? TRUE : FALSE;
  return p;
}

TEST(PacketQueue, UntimedAppendablePiecesJoinTheirTimedHead) {
  CPacketQueue q;
  q.Add(MakePacket(100, 0, false, 1));
  q.Add(MakePacket(50, INVALID_TIME, true, 2));
  q.Add(MakePacket(30, INVALID_TIME, true, 3));
  EXPECT_EQ(q.GetCount(), 1u);
  EXPECT_EQ(q.GetSize(), 180);

  auto p = q.Remove();
  ASSERT_TRUE(p);
  ASSERT_EQ(p->size(), 180u);
  EXPECT_EQ((*p)[99], 1);
  EXPECT_EQ((*p)[100], 2);
  EXPECT_EQ((*p)[149], 2);
  EXPECT_EQ((*p)[150], 3);
  EXPECT_EQ((*p)[179], 3);
  EXPECT_EQ(p->rtStart, 0);
  EXPECT_EQ(q.GetSize(), 0);
  EXPECT_EQ(q.GetCount(), 0u);
}

TEST(PacketQueue, PiecesThatMustTravelAloneAreNotJoined) {
  // A start time, a discontinuity or a media type keep a piece apart.
  {
    CPacketQueue q;
    q.Add(MakePacket(10, 0, false));
    q.Add(MakePacket(10, 5, true));
    auto disc = MakePacket(10, INVALID_TIME, true);
    disc->bDiscontinuity = TRUE;
    q.Add(std::move(disc));
    auto typed = MakePacket(10, INVALID_TIME, true);
    CMediaType mt(&MEDIATYPE_Audio);
    ASSERT_TRUE(typed->SetMediaType(mt));
    q.Add(std::move(typed));
    EXPECT_EQ(q.GetCount(), 4u);
    EXPECT_EQ(q.GetSize(), 40);
  }
  // An empty queue, an end marker or an untimed tail take no pieces.
  {
    CPacketQueue q;
    q.Add(MakePacket(10, INVALID_TIME, true));
    q.Add(MakePacket(10, INVALID_TIME, true));
    q.Add(nullptr);
    q.Add(MakePacket(10, INVALID_TIME, true));
    EXPECT_EQ(q.GetCount(), 4u);
    EXPECT_EQ(q.GetSize(), 30);
  }
  // 0 and negative times are real times: the tail takes the piece.
  {
    CPacketQueue q;
    q.Add(MakePacket(10, -400000, false));
    q.Add(MakePacket(10, INVALID_TIME, true));
    EXPECT_EQ(q.GetCount(), 1u);
  }
}

TEST(PacketQueue, EndMarkersEmptyPacketsAndEmptying) {
  CPacketQueue q;
  EXPECT_EQ(q.Remove(), nullptr);  // empty queue: nothing, no crash
  q.Add(MakePacket(0, 0, false));
  q.Add(MakePacket(7, 1, false));
  q.Add(nullptr);
  EXPECT_EQ(q.GetCount(), 3u);
  EXPECT_EQ(q.GetSize(), 7);

  auto empty = q.Remove();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->GetDataSize(), 0u);
  EXPECT_EQ(q.Remove()->GetDataSize(), 7u);
  EXPECT_EQ(q.GetSize(), 0);
  EXPECT_EQ(q.Remove(), nullptr);  // the end marker
  EXPECT_EQ(q.GetSize(), 0);
  EXPECT_EQ(q.GetCount(), 0u);

  q.Add(MakePacket(5, 0, false));
  q.Add(nullptr);
  q.Add(MakePacket(6, 0, false));
  q.RemoveAll();
  EXPECT_EQ(q.GetCount(), 0u);
  EXPECT_EQ(q.GetSize(), 0);
}

TEST(PacketQueue, ByteTotalPassesTwoGigabytesWithoutWrapping) {
  // The total is the sum of reported sizes; a packet kind that reports a
  // large size stands in for a queue holding that much.
  struct Big : Packet {
    size_t GetDataSize() const override { return size_t{1} << 30; }
  };
  CPacketQueue q;
  for (int i = 0; i < 3; ++i) {
    auto p = std::make_unique<Big>();
    p->rtStart = i;
    q.Add(std::move(p));
  }
  EXPECT_EQ(q.GetSize(), int64_t{3} << 30);
  q.Remove();
  EXPECT_EQ(q.GetSize(), int64_t{2} << 30);
}

TEST(PacketQueue, ProducerAndConsumerThreadsKeepOrderAndTotals) {
  CPacketQueue q;
  constexpr int kFrames = 20000;
  std::atomic<bool> done{false};

  // Each frame is a timed head and an appendable piece; whether they are
  // joined depends on timing, but every byte arrives once and in order.
  std::thread producer([&] {
    for (int i = 0; i < kFrames; ++i) {
      auto head = MakePacket(1 + i % 7, i, false, static_cast<BYTE>(i));
      q.Add(std::move(head));
      q.Add(MakePacket(3, INVALID_TIME, true, static_cast<BYTE>(i)));
    }
    q.Add(nullptr);
    done = true;
  });

  int64_t bytes = 0, expectedBytes = 0;
  int nextFrame = 0;
  bool sawEnd = false;
  BYTE lastFill = 0;
  bool inFrame = false;
  while (!sawEnd) {
    if (q.GetCount() == 0) {
      std::this_thread::yield();
      continue;
    }
    std::unique_ptr<Packet> p = q.Remove();
    if (!p) {
      sawEnd = true;
      break;
    }
    if (p->rtStart != INVALID_TIME) {
      ASSERT_EQ(p->rtStart, nextFrame);
      lastFill = static_cast<BYTE>(nextFrame);
      ++nextFrame;
      inFrame = true;
    }
    ASSERT_TRUE(inFrame);
    for (BYTE b : *p) ASSERT_EQ(b, lastFill);
    bytes += static_cast<int64_t>(p->size());
  }
  producer.join();
  for (int i = 0; i < kFrames; ++i) expectedBytes += 1 + i % 7 + 3;
  EXPECT_TRUE(done);
  EXPECT_EQ(nextFrame, kFrames);
  EXPECT_EQ(bytes, expectedBytes);
  EXPECT_EQ(q.GetSize(), 0);
  EXPECT_EQ(q.GetCount(), 0u);
}

}  // namespace
