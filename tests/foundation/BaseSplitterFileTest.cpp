#include "foundation/BaseSplitterFile.h"

#include <gtest/gtest.h>

#include "tests/foundation/MemAsyncReader.h"

namespace {

std::vector<BYTE> Counting(size_t n) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<BYTE>(i * 7 + 3);
  return v;
}

struct FileFixture {
  explicit FileFixture(std::vector<BYTE> data, int cache = 64, bool requireComplete = true)
      : reader(new MemAsyncReader(std::move(data))) {
    file = std::make_unique<CBaseSplitterFile>(reader, hr, cache, requireComplete);
  }
  ~FileFixture() {
    file.reset();
    reader->Release();
  }
  MemAsyncReader* reader;
  HRESULT hr = E_FAIL;
  std::unique_ptr<CBaseSplitterFile> file;
};

TEST(BaseSplitterFile, ConstructionChecksReaderAndLength) {
  HRESULT hr = S_OK;
  CBaseSplitterFile none(nullptr, hr);
  EXPECT_EQ(hr, E_UNEXPECTED);

  FileFixture f(Counting(100));
  EXPECT_EQ(f.hr, S_OK);
  EXPECT_EQ(f.file->GetLength(), 100);

  // Incomplete file with the complete flag set: refused.
  auto* r = new MemAsyncReader(Counting(100));
  r->SetLengths(100, 50);
  CBaseSplitterFile* partial = new CBaseSplitterFile(r, hr, 64, true);
  EXPECT_EQ(hr, E_FAIL);
  delete partial;
  r->Release();
}

TEST(BaseSplitterFile, SeekClampsToFile) {
  FileFixture f(Counting(100));
  f.file->Seek(-5);
  EXPECT_EQ(f.file->GetPos(), 0);
  f.file->Seek(1000);
  EXPECT_EQ(f.file->GetPos(), 100);
  f.file->Seek(42);
  EXPECT_EQ(f.file->GetPos(), 42);
}

TEST(BaseSplitterFile, ReadsMatchTheBytesThroughTheCache) {
  auto data = Counting(1000);
  FileFixture f(data, 64);
  std::vector<BYTE> out(1000);
  // Odd-sized pieces cross cache boundaries in every way.
  size_t done = 0;
  for (size_t piece = 1; done < data.size(); piece = piece * 3 % 97 + 1) {
    size_t n = std::min(piece, data.size() - done);
    ASSERT_EQ(f.file->Read(out.data() + done, n), S_OK);
    done += n;
  }
  EXPECT_EQ(out, data);
}

TEST(BaseSplitterFile, ShortReadCopiesWhatExistsAndGivesSFalse) {
  auto data = Counting(100);
  FileFixture f(data, 64);
  f.file->Seek(90);
  std::vector<BYTE> out(20, 0xEE);
  EXPECT_EQ(f.file->Read(out.data(), 20), S_FALSE);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10, data.begin() + 90));
  // At the very end the read finishes at once rather than spinning.
  EXPECT_EQ(f.file->Read(out.data(), 5), S_FALSE);
}

TEST(BaseSplitterFile, LargeReadBypassesTheCacheForWholeChunks) {
  auto data = Counting(1000);
  FileFixture f(data, 100);
  std::vector<BYTE> out(350);
  f.reader->reads = 0;
  ASSERT_EQ(f.file->Read(out.data(), 350), S_OK);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  // The three whole chunks of 100 in one direct read, then one cache fill
  // for the last 50.
  EXPECT_EQ(f.reader->reads.load(), 2);
  // The cache now holds 300..399: reading on costs no read.
  f.reader->reads = 0;
  BYTE b[40];
  ASSERT_EQ(f.file->Read(b, 40), S_OK);
  EXPECT_EQ(f.reader->reads.load(), 0);
  EXPECT_EQ(b[0], data[350]);
}

TEST(BaseSplitterFile, BitReadsAndBytePosition) {
  FileFixture f({0xA5, 0x3C, 0xFF, 0x01});
  EXPECT_EQ(f.file->BitRead(3), 0x5u);  // 101
  EXPECT_EQ(f.file->GetPos(), 0);       // the byte still holds 5 bits
  EXPECT_EQ(f.file->BitRead(9, true), 0x053u);
  EXPECT_EQ(f.file->BitRead(9), 0x053u);  // 00101 0011
  f.file->BitByteAlign();
  EXPECT_EQ(f.file->GetPos(), 2);
  BYTE b = 0;
  ASSERT_EQ(f.file->ByteRead(&b, 1), S_OK);
  EXPECT_EQ(b, 0xFF);

  f.file->Seek(0);
  f.file->BitRead(3);
  ASSERT_EQ(f.file->ByteRead(&b, 1), S_OK);
  EXPECT_EQ(b, 0xA5);  // byte reads start at the partly read byte
}

TEST(BaseSplitterFile, BitReadPastTheEndGivesZeroAndFlagsIt) {
  FileFixture f({0xFF});
  EXPECT_EQ(f.file->BitRead(8), 0xFFu);
  EXPECT_FALSE(f.file->BitReadFailed());
  EXPECT_EQ(f.file->BitRead(8), 0u);
  EXPECT_TRUE(f.file->BitReadFailed());
}

TEST(BaseSplitterFile, ExpGolombCodes) {
  // 1 | 010 | 011 | 00100 | 010 | 011 | padding ones
  // bits: 1010 0110 0100 0100 1111 1111
  FileFixture f({0xA6, 0x44, 0xFF});
  EXPECT_EQ(f.file->UExpGolombRead(), 0u);
  EXPECT_EQ(f.file->UExpGolombRead(), 1u);
  EXPECT_EQ(f.file->UExpGolombRead(), 2u);
  EXPECT_EQ(f.file->UExpGolombRead(), 3u);
  EXPECT_EQ(f.file->SExpGolombRead(), 1);
  EXPECT_EQ(f.file->SExpGolombRead(), -1);
  EXPECT_FALSE(f.file->BitReadFailed());
}

TEST(BaseSplitterFile, ExpGolombOnZerosOrExhaustedInputEnds) {
  FileFixture zeros(std::vector<BYTE>(64, 0));
  EXPECT_EQ(zeros.file->UExpGolombRead(), 0u);
  EXPECT_TRUE(zeros.file->BitReadFailed());
  // At most 32 zero bits are taken before giving up.
  EXPECT_LE(zeros.file->GetPos(), 5);

  FileFixture empty({0x00});
  EXPECT_EQ(empty.file->UExpGolombRead(), 0u);
  EXPECT_TRUE(empty.file->BitReadFailed());
  EXPECT_EQ(empty.file->SExpGolombRead(), 0);
}

TEST(BaseSplitterFile, StreamingSourceWaitsForMoreData) {
  auto* r = new MemAsyncReader(Counting(200));
  r->SetLengths(0, 100);
  HRESULT hr = E_FAIL;
  {
    CBaseSplitterFile f(r, hr, 64, false);
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(f.IsStreaming());
    EXPECT_EQ(f.GetLength(), 100);
    f.Seek(95);
    EXPECT_EQ(f.HasMoreData(10, 0), S_FALSE);  // not there yet: wait
    r->SetLengths(0, 200);                     // the file grew
    EXPECT_EQ(f.GetLength(), 200);
    EXPECT_EQ(f.HasMoreData(10, 0), S_OK);
  }
  {
    r->SetLengths(200, 200);
    CBaseSplitterFile f(r, hr, 64, true);
    ASSERT_EQ(hr, S_OK);
    f.Seek(199);
    EXPECT_EQ(f.HasMoreData(10, 0), S_OK);  // a local file: one byte is enough
    f.Seek(200);
    EXPECT_EQ(f.HasMoreData(1, 0), E_FAIL);
  }
  r->Release();
}

TEST(BaseSplitterFile, UncachedReaderReadsDirectly) {
  auto data = Counting(50);
  FileFixture f(data, 0);
  BYTE out[10];
  ASSERT_EQ(f.file->Read(out, 10), S_OK);
  EXPECT_EQ(out[9], data[9]);
  EXPECT_TRUE(f.file->SetCacheSize(16));
  ASSERT_EQ(f.file->Read(out, 10), S_OK);
  EXPECT_EQ(out[0], data[10]);
}

}  // namespace

namespace {

// Re-reads the head of the file once the whole file is there, as a reader
// re-measuring a stream from another place would.
class ReReadingFile : public CBaseSplitterFile {
 public:
  ReReadingFile(IAsyncReader* reader, HRESULT& hr) : CBaseSplitterFile(reader, hr, 0, false) {}
  void OnComplete() override {
    ++completions;
    Seek(90);
    BYTE b[4] = {};
    Read(b, sizeof(b));
  }
  int completions = 0;
};

}  // namespace

TEST(BaseSplitterFile, CompletionInsideABitReadLeavesTheReadIntact) {
  auto data = Counting(100);
  auto* r = new MemAsyncReader(data);
  r->SetLengths(100, 50);
  HRESULT hr = E_FAIL;
  {
    ReReadingFile f(r, hr);
    ASSERT_EQ(hr, S_OK);
    f.Seek(10);
    EXPECT_EQ(f.BitRead(4), static_cast<UINT64>(data[10] >> 4));
    r->SetLengths(100, 100);
    // The next byte's read finds the file complete; the handler moves about
    // the file, and the 12 bits still come from bytes 10 and 11.
    EXPECT_EQ(f.BitRead(12), static_cast<UINT64>((data[10] & 0x0F) << 8 | data[11]));
    EXPECT_EQ(f.completions, 1);
    EXPECT_EQ(f.GetPos(), 12);
    BYTE next = 0;
    EXPECT_EQ(f.ByteRead(&next, 1), S_OK);
    EXPECT_EQ(next, data[12]);
    EXPECT_EQ(f.completions, 1);
  }
  r->Release();
}
