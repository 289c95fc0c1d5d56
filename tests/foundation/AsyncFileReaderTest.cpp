#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/AsyncFileReader.h"
#include "platform/win32/CodePage.h"

namespace {

class AsyncFileReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = testing::TempDir() + "async_reader_" + std::to_string(getpid()) + ".bin";
    Write(100);
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void Write(size_t size, bool append = false) {
    std::ofstream f(path_, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    for (size_t i = 0; i < size; ++i) f.put(static_cast<char>(i & 0xFF));
  }
  CComPtr<CAsyncFileReader> Open(HRESULT& hr) {
    return CComPtr<CAsyncFileReader>(new CAsyncFileReader(Utf8ToWide(path_).c_str(), &hr));
  }

  std::string path_;
};

TEST_F(AsyncFileReaderTest, ReadsWithinTheFileAndRefusesBeyondIt) {
  HRESULT hr = E_UNEXPECTED;
  CComPtr<CAsyncFileReader> reader = Open(hr);
  ASSERT_EQ(hr, S_OK);

  std::vector<BYTE> buf(200, 0xEE);
  EXPECT_EQ(reader->SyncRead(10, 5, buf.data()), S_OK);
  EXPECT_EQ(buf[0], 10);
  EXPECT_EQ(buf[4], 14);
  EXPECT_EQ(buf[5], 0xEE);

  EXPECT_EQ(reader->SyncRead(0, 100, buf.data()), S_OK);
  EXPECT_EQ(buf[99], 99);
  EXPECT_EQ(reader->SyncRead(100, 0, buf.data()), S_OK);  // 0 bytes at the end
  buf.assign(200, 0xEE);
  EXPECT_EQ(reader->SyncRead(100, 1, buf.data()), E_FAIL);  // 1 byte at the end
  EXPECT_EQ(reader->SyncRead(99, 2, buf.data()), E_FAIL);
  EXPECT_EQ(reader->SyncRead(-1, 1, buf.data()), E_FAIL);
  EXPECT_EQ(reader->SyncRead(0, -1, buf.data()), E_FAIL);
  EXPECT_EQ(reader->SyncRead(0x7FFFFFFFFFFFFFF0LL, 100, buf.data()), E_FAIL);  // no overflow in the check
  EXPECT_EQ(buf[0], 0xEE);  // failed reads wrote nothing
  EXPECT_EQ(reader->SyncRead(0, 1, nullptr), E_POINTER);
  EXPECT_FALSE(reader->HasErrors());
}

TEST_F(AsyncFileReaderTest, LengthIsTakenAtOpeningButReadsSeeGrowth) {
  HRESULT hr = E_UNEXPECTED;
  CComPtr<CAsyncFileReader> reader = Open(hr);
  ASSERT_EQ(hr, S_OK);
  Write(50, true);

  LONGLONG total = 0, available = 0;
  EXPECT_EQ(reader->Length(&total, &available), S_OK);
  EXPECT_EQ(total, 100);
  EXPECT_EQ(available, 100);
  EXPECT_EQ(reader->Length(nullptr, nullptr), S_OK);

  BYTE b[10] = {};
  EXPECT_EQ(reader->SyncRead(140, 10, b), S_OK);
  EXPECT_EQ(b[0], 40);  // the appended run restarts at 0
}

TEST_F(AsyncFileReaderTest, ReadsAcrossTheReadAheadGiveTheFilesBytes) {
  // 600 KB whose bytes differ from one 64 KB block to the next.
  const size_t size = 600 * 1024;
  std::vector<BYTE> file(size);
  for (size_t i = 0; i < size; ++i) file[i] = static_cast<BYTE>(i * 131 + (i >> 16));
  {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(size));
  }
  HRESULT hr = E_UNEXPECTED;
  CComPtr<CAsyncFileReader> reader = Open(hr);
  ASSERT_EQ(hr, S_OK);
  // Forward, across a read-ahead's end, backwards, larger than a
  // read-ahead, and up to the file's end.
  const struct {
    LONGLONG position;
    LONG length;
  } reads[] = {{0, 4096}, {4096, 100}, {262000, 2000}, {1000, 10}, {100000, 300000}, {size - 5000, 5000}, {5, 1}};
  for (const auto& r : reads) {
    std::vector<BYTE> got(static_cast<size_t>(r.length), 0xEE);
    ASSERT_EQ(reader->SyncRead(r.position, r.length, got.data()), S_OK) << r.position;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), file.begin() + r.position)) << r.position;
  }
  // Cut short under the reader: what is left is still read, though a
  // read-ahead from there reaches past the cut; what is gone is not.
  ASSERT_EQ(truncate(path_.c_str(), 300 * 1024), 0);
  BYTE b[16] = {};
  EXPECT_EQ(reader->SyncRead(400 * 1024, 16, b), E_FAIL);
  ASSERT_EQ(reader->SyncRead(290 * 1024, 16, b), S_OK);
  EXPECT_TRUE(std::equal(b, b + 16, file.begin() + 290 * 1024));
}

TEST_F(AsyncFileReaderTest, InterfacesAndControl) {
  HRESULT hr = E_UNEXPECTED;
  CComPtr<CAsyncFileReader> reader = Open(hr);
  ASSERT_EQ(hr, S_OK);

  CComPtr<IAsyncReader> async;
  ASSERT_EQ(reader->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&async)), S_OK);
  CComPtr<ISyncReader> sync;
  ASSERT_EQ(async->QueryInterface(IID_ISyncReader, reinterpret_cast<void**>(&sync)), S_OK);
  CComPtr<IFileHandle> handle;
  ASSERT_EQ(sync->QueryInterface(IID_IFileHandle, reinterpret_cast<void**>(&handle)), S_OK);
  EXPECT_NE(handle->GetFileHandle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(reader->QueryInterface(IID_IAsyncReader, nullptr), E_POINTER);

  EXPECT_FALSE(sync->HasErrors());
  sync->SetBreakEvent(nullptr);
  sync->ClearErrors();
  EXPECT_FALSE(sync->HasErrors());

  EXPECT_EQ(async->BeginFlush(), E_NOTIMPL);
  EXPECT_EQ(async->EndFlush(), E_NOTIMPL);
  EXPECT_EQ(async->Request(nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(async->SyncReadAligned(nullptr), E_NOTIMPL);
  EXPECT_EQ(async->RequestAllocator(nullptr, nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(async->WaitForNext(0, nullptr, nullptr), E_NOTIMPL);
}

TEST_F(AsyncFileReaderTest, MissingFileFails) {
  HRESULT hr = S_OK;
  CComPtr<CAsyncFileReader> reader(
      new CAsyncFileReader(Utf8ToWide(path_ + ".missing").c_str(), &hr));
  EXPECT_EQ(hr, E_FAIL);
  BYTE b = 0;
  EXPECT_EQ(reader->SyncRead(0, 1, &b), E_FAIL);
  LONGLONG total = 0;
  reader->Length(&total, nullptr);
  EXPECT_EQ(total, -1);
}

}  // namespace
