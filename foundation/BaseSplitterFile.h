// Byte and bit reader over a splitter's input (IAsyncReader), with a read
// cache and support for sources that are still growing (a streaming source
// reports a total length of 0 while bytes are already available).
#pragma once

#include <memory>

#include "platform/dshow/DShow.h"

class CBaseSplitterFile {
 public:
  // reader: the source (one reference is held). cacheSize 0 reads without a
  // cache. requireComplete fails the construction unless the whole file is
  // available. hr: S_OK, E_UNEXPECTED without a reader, E_FAIL when the
  // length cannot be had (or the file is incomplete and must not be),
  // E_OUTOFMEMORY.
  CBaseSplitterFile(IAsyncReader* reader, HRESULT& hr, int cacheSize = 2048, bool requireComplete = true);
  CBaseSplitterFile(const CBaseSplitterFile&) = delete;
  CBaseSplitterFile& operator=(const CBaseSplitterFile&) = delete;

  // S_OK when every byte was read; S_FALSE when the available data ended
  // first (what exists is copied); the reader's failure; E_NOINTERFACE
  // without a reader.
  virtual HRESULT Read(BYTE* data, LONGLONG length);
  // Runs once, when the whole file has become available.
  virtual void OnComplete() {}
  virtual ~CBaseSplitterFile();
  // Clamps to [0, length] and drops the buffered bits.
  virtual void Seek(LONGLONG pos);

  // The byte that holds the first unconsumed bit.
  LONGLONG GetPos() const { return m_pos - ((m_bitLen + 7) >> 3); }
  LONGLONG GetLength();
  // Bytes left from GetPos to the end (never negative).
  LONGLONG GetRemaining();
  bool IsStreaming() const { return m_streaming; }
  // True when the source reports every byte of a known length available.
  bool IsComplete();

  // The next 1 to 56 bits, most significant first. 0 when they cannot be
  // read (BitReadFailed tells that apart from a real 0).
  UINT64 BitRead(int bits, bool peek = false);
  void BitByteAlign();
  // Byte reads start at the first byte not wholly consumed by bit reads.
  HRESULT ByteRead(BYTE* data, LONGLONG length);
  // Exp-Golomb codes; longer than 31 leading zeros, or running out of
  // data, is a broken code: 0 is returned and BitReadFailed is set.
  UINT64 UExpGolombRead();
  INT64 SExpGolombRead();
  // True when a bit read since the last ClearBitReadFailed could not get
  // its bytes.
  bool BitReadFailed() const { return m_bitReadFailed; }
  void ClearBitReadFailed() { m_bitReadFailed = false; }

  bool SetCacheSize(int cacheSize);
  // Not streaming: S_OK while a byte remains, E_FAIL at the end. Streaming:
  // S_OK when length bytes remain, else sleeps ms and gives S_FALSE so a
  // caller can wait for a growing file.
  HRESULT HasMoreData(LONGLONG length = 1, DWORD ms = 1);

 protected:
  IAsyncReader* Reader() const { return m_reader; }

 private:
  void RefreshLength();
  void FollowShrink();
  bool FillBits(int bits);

  IAsyncReader* m_reader = nullptr;
  std::unique_ptr<BYTE[]> m_cache;
  LONGLONG m_cachePos = 0;
  LONGLONG m_cacheLen = 0;
  LONGLONG m_cacheSize = 0;
  bool m_streaming = false;
  bool m_complete = false;
  LONGLONG m_pos = 0;
  LONGLONG m_len = 0;
  UINT64 m_bitBuff = 0;
  int m_bitLen = 0;
  bool m_bitReadFailed = false;
};
