// The atom library's lowest layer: reads, seeks and strings on each of the
// three byte streams, the data buffer, and the time conversions.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/BaseSplitterFile.h"
#include "mp4/MP4ByteStream.h"
#include "tests/mp4/AtomBuilder.h"

namespace {

using mp4test::Bytes;

Bytes Counting(size_t n, size_t from = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

// Each test runs on the three kinds of stream over the same bytes.
class StreamTest : public ::testing::TestWithParam<int> {
 protected:
  MP4_ByteStream* Make(const Bytes& data) {
    switch (GetParam()) {
      case 0:
        return new MP4_MemoryByteStream(data.data(), data.size());
      case 1: {
        // A window of the data inside larger surroundings.
        outer_ = Cat(Counting(7, 200), data);
        outer_.resize(outer_.size() + 5, 0xEE);
        MP4_ByteStream* container = new MP4_MemoryByteStream(outer_.data(), outer_.size());
        MP4_ByteStream* sub = new MP4_SubStream(*container, 7, data.size());
        container->Release();
        return sub;
      }
      default: {
        HRESULT hr = S_OK;
        auto* reader = new MemAsyncReader(data);
        file_ = std::make_unique<CBaseSplitterFile>(reader, hr);
        reader->Release();
        EXPECT_EQ(hr, S_OK);
        return new MP4_AsyncReaderStream(file_.get());
      }
    }
  }
  static Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  Bytes outer_;
  std::unique_ptr<CBaseSplitterFile> file_;
};

TEST_P(StreamTest, ShortReadsEndOfStreamAndTypedReads) {
  const Bytes data = Counting(100);
  MP4_ByteStream* s = Make(data);
  ASSERT_EQ(s->Seek(60), MP4_SUCCESS);
  uint8_t buf[100];
  MP4_Size got = 0;
  EXPECT_EQ(s->Read(buf, 100, &got), MP4_SUCCESS);
  EXPECT_EQ(got, 40u);
  EXPECT_EQ(buf[0], 60);
  EXPECT_EQ(s->Read(buf, 100, &got), MP4_ERROR_EOS);
  EXPECT_EQ(got, 0u);

  ASSERT_EQ(s->Seek(0), MP4_SUCCESS);
  MP4_UI32 u32 = 0;
  MP4_UI64 u64 = 0;
  MP4_UI16 u16 = 0;
  MP4_UI32 u24 = 0;
  EXPECT_EQ(s->ReadUI32(u32), MP4_SUCCESS);
  EXPECT_EQ(u32, 0x00010203u);
  EXPECT_EQ(s->ReadUI24(u24), MP4_SUCCESS);
  EXPECT_EQ(u24, 0x040506u);
  EXPECT_EQ(s->ReadUI16(u16), MP4_SUCCESS);
  EXPECT_EQ(u16, 0x0708);
  EXPECT_EQ(s->ReadUI64(u64), MP4_SUCCESS);
  EXPECT_EQ(u64, 0x090A0B0C0D0E0F10ull);
  // A typed read with too few bytes left fails with value 0.
  ASSERT_EQ(s->Seek(98), MP4_SUCCESS);
  EXPECT_NE(s->ReadUI32(u32), MP4_SUCCESS);
  EXPECT_EQ(u32, 0u);

  MP4_LargeSize size = 0;
  EXPECT_EQ(s->GetSize(size), MP4_SUCCESS);
  EXPECT_EQ(size, 100u);
  s->Release();
}

TEST_P(StreamTest, SeekPastTheEndFailsAndKeepsThePosition) {
  MP4_ByteStream* s = Make(Counting(100));
  ASSERT_EQ(s->Seek(30), MP4_SUCCESS);
  EXPECT_NE(s->Seek(101), MP4_SUCCESS);
  MP4_Position pos = 0;
  s->Tell(pos);
  EXPECT_EQ(pos, 30u);
  EXPECT_EQ(s->Seek(100), MP4_SUCCESS);
  s->Release();
}

TEST_P(StreamTest, ReadStringStopsAfterZeroOrAtTheBufferSize) {
  const Bytes text = {'a', 'b', 'c', 0, 'd', 'e', 'f'};
  struct Case {
    MP4_Size size;
    const char* expect;
    MP4_Position after;
  };
  for (const Case& c : {Case{16, "abc", 4}, Case{3, "ab", 2}, Case{1, "", 0}}) {
    MP4_ByteStream* s = Make(text);
    char buf[16];
    EXPECT_EQ(s->ReadString(buf, c.size), MP4_SUCCESS);
    EXPECT_STREQ(buf, c.expect);
    MP4_Position pos = 0;
    s->Tell(pos);
    EXPECT_EQ(pos, c.after);
    EXPECT_EQ(s->ReadString(nullptr, 4), MP4_ERROR_INVALID_PARAMETERS);
    s->Release();
  }
}

std::string KindName(const ::testing::TestParamInfo<int>& info) {
  static const char* const names[] = {"Memory", "Sub", "AsyncReader"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Kinds, StreamTest, ::testing::Values(0, 1, 2), KindName);

TEST(MP4ByteStream, WritesGoToOwnedMemoryAndCopyToCopiesEverything) {
  auto* out = new MP4_MemoryByteStream();
  EXPECT_EQ(out->WriteUI32(0x01020304), MP4_SUCCESS);
  EXPECT_EQ(out->WriteUI24(0x050607), MP4_SUCCESS);
  EXPECT_EQ(out->WriteUI16(0x0809), MP4_SUCCESS);
  EXPECT_EQ(out->WriteUI08(0x0A), MP4_SUCCESS);
  EXPECT_EQ(out->WriteString("xy"), MP4_SUCCESS);
  EXPECT_EQ(out->GetOwnedData(), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 'x', 'y'}));

  // More than one 4096-byte step, from a window of a stream.
  const Bytes big = Counting(10000);
  auto* src = new MP4_MemoryByteStream(big.data(), big.size());
  auto* copy = new MP4_MemoryByteStream();
  EXPECT_EQ(src->CopyTo(*copy, big.size()), MP4_SUCCESS);
  EXPECT_EQ(copy->GetOwnedData(), big);
  EXPECT_EQ(src->CopyTo(*copy, 1), MP4_ERROR_EOS);
  // Someone else's memory is never written.
  EXPECT_NE(src->WriteUI08(1), MP4_SUCCESS);
  src->Release();
  copy->Release();
  out->Release();
}

TEST(MP4DataBuffer, OwnedGrowsWrappedDoesNot) {
  MP4_DataBuffer owned;
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(owned.SetData(bytes, 4), MP4_SUCCESS);
  EXPECT_EQ(owned.GetDataSize(), 4u);
  EXPECT_EQ(owned.SetDataSize(1000), MP4_SUCCESS);
  EXPECT_EQ(owned.GetData()[3], 4);
  MP4_DataBuffer copy(owned);
  EXPECT_EQ(copy.GetDataSize(), 1000u);
  EXPECT_EQ(copy.GetBufferSize(), 1000u);

  uint8_t storage[8] = {};
  MP4_DataBuffer wrapped;
  wrapped.SetBuffer(storage, sizeof(storage));
  EXPECT_EQ(wrapped.SetData(bytes, 4), MP4_SUCCESS);
  EXPECT_EQ(storage[2], 3);
  EXPECT_EQ(wrapped.SetDataSize(9), MP4_FAILURE);
  EXPECT_EQ(wrapped.SetBufferSize(16), MP4_FAILURE);
}

TEST(MP4Time, ConversionsAreExact) {
  struct Case {
    MP4_UI64 value;
    MP4_UI32 from, to;
    MP4_UI64 expect;
  };
  const Case cases[] = {
      {600, 600, 1000, 1000},  // single precision would give 999
      {1, 3, 1000, 333},
      {90000, 90000, 10000000, 10000000},
      {7, 0, 1000, 0},
      {~0ull, 1, 1000, ~0ull},  // saturates
      {0x123456789ull, 48000, 44100, 0x123456789ull * 44100 / 48000},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertTime(c.value, c.from, c.to), c.expect) << c.value << " " << c.from;
  EXPECT_EQ(DurationMsFromUnits(1500, 600), 2500u);
  EXPECT_EQ(DurationMsFromUnits(1500, 0), 0u);
  char text[5];
  FormatFourChars(text, MP4_FourCC("moov"));
  EXPECT_STREQ(text, "moov");
}

}  // namespace
