// Media types and their format blocks; the pull reader over a memory stream;
// error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "platform/dshow/BaseClasses.h"
#include "platform/win32/ErrorText.h"

namespace {

TEST(MediaType, CopiesOwnTheirFormatBlocks) {
  CMediaType a(&MEDIATYPE_Video);
  a.SetSubtype(&MEDIASUBTYPE_YV12);
  a.SetFormatType(&FORMAT_VideoInfo);
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(a.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  ASSERT_NE(vih, nullptr);
  vih->bmiHeader.biWidth = 320;

  CMediaType b(a);
  EXPECT_TRUE(a == b);
  EXPECT_NE(a.Format(), b.Format());
  reinterpret_cast<VIDEOINFOHEADER*>(b.Format())->bmiHeader.biWidth = 640;
  EXPECT_FALSE(a == b);
  EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(a.Format())->bmiHeader.biWidth, 320);

  b = a;
  EXPECT_TRUE(a == b);
  b = b;  // self-assignment keeps the block
  EXPECT_EQ(b.FormatLength(), sizeof(VIDEOINFOHEADER));

  BYTE* grown = b.ReallocFormatBuffer(sizeof(VIDEOINFOHEADER) + 8);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(grown)->bmiHeader.biWidth, 320);
  EXPECT_EQ(grown[sizeof(VIDEOINFOHEADER) + 7], 0);

  AM_MEDIA_TYPE* heap = CreateMediaType(&a);
  ASSERT_NE(heap, nullptr);
  EXPECT_TRUE(IsEqualMediaType(*heap, a));
  DeleteMediaType(heap);
  DeleteMediaType(nullptr);

  // A length without a block is copied as no block, never read.
  AM_MEDIA_TYPE broken{};
  broken.majortype = MEDIATYPE_Audio;
  broken.cbFormat = 100;
  CMediaType c(broken);
  EXPECT_EQ(c.FormatLength(), 0u);
  EXPECT_EQ(c.Format(), nullptr);
  EXPECT_FALSE(c.SetFormat(nullptr, 4));
}

TEST(MediaType, PartialMatches) {
  CMediaType full(&MEDIATYPE_Audio);
  full.SetSubtype(&MEDIASUBTYPE_PCM);
  full.SetFormatType(&FORMAT_WaveFormatEx);
  CMediaType partial(&MEDIATYPE_Audio);
  EXPECT_TRUE(partial.IsPartiallySpecified());
  EXPECT_FALSE(full.IsPartiallySpecified());
  EXPECT_TRUE(full.MatchesPartial(&partial));
  partial.SetSubtype(&MEDIASUBTYPE_MP3);
  EXPECT_FALSE(full.MatchesPartial(&partial));
  CMediaType video(&MEDIATYPE_Video);
  EXPECT_FALSE(full.MatchesPartial(&video));
}

TEST(FourCC, SubtypesFromCodesMatchTheConstants) {
  EXPECT_EQ(FOURCCMap(MAKEFOURCC('Y', 'V', '1', '2')), MEDIASUBTYPE_YV12);
  EXPECT_EQ(FOURCCMap(WAVE_FORMAT_PCM), MEDIASUBTYPE_PCM);
  FOURCCMap m(&MEDIASUBTYPE_AAC);
  EXPECT_EQ(m.GetFOURCC(), 0x00FFu);
  EXPECT_TRUE(IsFourCCGuid(MEDIASUBTYPE_DOLBY_AC3_SPDIF));
  EXPECT_FALSE(IsFourCCGuid(MEDIASUBTYPE_RGB24));
}

TEST(ErrorText, CodesHaveReadableTexts) {
  DShowRegisterMessages();
  char text[256];
  ASSERT_GT(AMGetErrorTextA(VFW_E_NOT_CONNECTED, text, sizeof(text)), 0u);
  EXPECT_NE(std::string(text).find("not connected"), std::string::npos);
  EXPECT_EQ(SystemErrorText(VFW_E_TYPE_NOT_ACCEPTED), DShowErrorText(VFW_E_TYPE_NOT_ACCEPTED));
  wchar_t wide[8];
  DWORD n = AMGetErrorTextW(VFW_E_NOT_CONNECTED, wide, 8);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(wide[7], L'\0');
  EXPECT_EQ(AMGetErrorTextA(VFW_E_NOT_CONNECTED, nullptr, 10), 0u);
}

// ---------------------------------------------------------------------------
// Pull reader

class MemoryStream : public CAsyncStream {
 public:
  explicit MemoryStream(size_t size) : m_data(size) { std::iota(m_data.begin(), m_data.end(), 0); }
  HRESULT SetPointer(LONGLONG position) override {
    if (position < 0) return S_FALSE;
    m_pos = position;
    return S_OK;
  }
  HRESULT Read(PBYTE buffer, DWORD count, BOOL, LPDWORD read) override {
    LONGLONG left = static_cast<LONGLONG>(m_data.size()) - m_pos;
    DWORD n = left <= 0 ? 0 : static_cast<DWORD>(std::min<LONGLONG>(left, count));
    if (n) std::memcpy(buffer, m_data.data() + m_pos, n);
    m_pos += n;
    *read = n;
    return S_OK;
  }
  HRESULT Size(LONGLONG* total, LONGLONG* available) override {
    *total = static_cast<LONGLONG>(m_data.size());
    if (available) *available = *total;
    return S_OK;
  }
  DWORD Alignment() override { return 1; }
  void Lock() override { m_lock.Lock(); }
  void Unlock() override { m_lock.Unlock(); }

 private:
  std::vector<BYTE> m_data;
  LONGLONG m_pos = 0;
  CCritSec m_lock;
};

class MemoryReader : public CAsyncReader {
 public:
  static MemoryReader* Create(MemoryStream* stream) {
    HRESULT hr = S_OK;
    auto* r = new MemoryReader(stream, &hr);
    r->AddRef();
    return r;
  }
  void Load() {
    m_mt.SetType(&MEDIATYPE_Stream);
    m_mt.SetSubtype(&MEDIASUBTYPE_MPEG2_PROGRAM);
  }

 private:
  MemoryReader(MemoryStream* stream, HRESULT* phr) : CAsyncReader("memory reader", nullptr, stream, phr) {}
};

TEST(AsyncReader, SyncReadRequestAndWaitForNext) {
  MemoryStream stream(1000);
  MemoryReader* reader = MemoryReader::Create(&stream);
  EXPECT_EQ(reader->GetPinCount(), 0);
  reader->Load();
  ASSERT_EQ(reader->GetPinCount(), 1);
  IAsyncReader* async = nullptr;
  ASSERT_EQ(reader->GetPin(0)->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&async)), S_OK);

  LONGLONG total = 0, available = 0;
  ASSERT_EQ(async->Length(&total, &available), S_OK);
  EXPECT_EQ(total, 1000);
  BYTE buf[64] = {};
  ASSERT_EQ(async->SyncRead(10, 4, buf), S_OK);
  EXPECT_EQ(buf[0], 10);
  EXPECT_EQ(buf[3], 13);
  EXPECT_EQ(async->SyncRead(990, 20, buf), S_FALSE);  // short read at the end
  EXPECT_EQ(buf[9], static_cast<BYTE>(999));
  EXPECT_EQ(async->SyncRead(-1, 4, buf), E_INVALIDARG);
  EXPECT_EQ(async->SyncRead(0, 4, nullptr), E_POINTER);

  ALLOCATOR_PROPERTIES props{2, 100, 1, 0};
  IMemAllocator* alloc = nullptr;
  ASSERT_EQ(async->RequestAllocator(nullptr, &props, &alloc), S_OK);
  ASSERT_EQ(alloc->Commit(), S_OK);
  IMediaSample* a = nullptr;
  IMediaSample* b = nullptr;
  ASSERT_EQ(alloc->GetBuffer(&a, nullptr, nullptr, 0), S_OK);
  ASSERT_EQ(alloc->GetBuffer(&b, nullptr, nullptr, 0), S_OK);
  REFERENCE_TIME s1 = 100 * UNITS, e1 = 150 * UNITS;
  a->SetTime(&s1, &e1);
  REFERENCE_TIME s2 = 960 * UNITS, e2 = 1060 * UNITS;
  b->SetTime(&s2, &e2);
  ASSERT_EQ(async->Request(a, 1), S_OK);
  ASSERT_EQ(async->Request(b, 2), S_OK);

  int done = 0;
  for (int i = 0; i < 2; ++i) {
    IMediaSample* got = nullptr;
    DWORD_PTR user = 0;
    HRESULT hr = async->WaitForNext(5000, &got, &user);
    ASSERT_NE(got, nullptr);
    BYTE* p = nullptr;
    got->GetPointer(&p);
    if (user == 1) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(got->GetActualDataLength(), 50);
      EXPECT_EQ(p[0], 100);
    } else {
      EXPECT_EQ(user, 2u);
      EXPECT_EQ(hr, S_OK);  // clipped to the end of the stream
      EXPECT_EQ(got->GetActualDataLength(), 40);
      EXPECT_EQ(p[39], static_cast<BYTE>(999));
    }
    ++done;
  }
  EXPECT_EQ(done, 2);
  IMediaSample* none = nullptr;
  DWORD_PTR user = 0;
  EXPECT_EQ(async->WaitForNext(0, &none, &user), VFW_E_TIMEOUT);

  // While flushing, requests are refused and waiters are not kept waiting.
  ASSERT_EQ(async->BeginFlush(), S_OK);
  EXPECT_EQ(async->Request(a, 3), VFW_E_WRONG_STATE);
  EXPECT_EQ(async->WaitForNext(INFINITE, &none, &user), VFW_E_WRONG_STATE);
  EXPECT_EQ(none, nullptr);
  ASSERT_EQ(async->EndFlush(), S_OK);

  // A request larger than its sample is refused.
  REFERENCE_TIME s3 = 0, e3 = 500 * UNITS;
  a->SetTime(&s3, &e3);
  EXPECT_EQ(async->Request(a, 4), E_INVALIDARG);

  a->Release();
  b->Release();
  alloc->Decommit();
  alloc->Release();
  async->Release();
  reader->Release();
}

}  // namespace

// Resetting a type releases its format block and object (the leak checker
// reports it otherwise).
TEST(MediaTypeReset, InitMediaTypeReleasesTheFormatBlock) {
  CMediaType mt(&MEDIATYPE_Video);
  mt.SetFormatType(&FORMAT_VideoInfo);
  ASSERT_NE(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)), nullptr);
  mt.InitMediaType();
  EXPECT_EQ(mt.pbFormat, nullptr);
  EXPECT_EQ(mt.cbFormat, 0u);
  EXPECT_EQ(mt.majortype, GUID_NULL);
}
