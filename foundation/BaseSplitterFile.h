// Byte and bit reader over a splitter's input (IAsyncReader), with a read
// cache and support for sources that are still growing (a streaming source
// reports a total length of 0 while bytes are already available), and the
// one resync step every splitter takes after damage.
#pragma once

#include <functional>
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

  // --- Passing over damage ---
  // A test of the unit that may begin at `pos`; `head` holds the scan's
  // header size of bytes from there. A test may read elsewhere in the file
  // (to confirm what follows the unit): the scan keeps its own place.
  using UnitTest = std::function<bool(LONGLONG pos, const BYTE* head)>;
  // What the resync step looks for: a container's unit.
  struct Unit {
    int header = 0;  // the bytes each test sees, 1 to 2048
    // A unit that holds together begins here: its header has the
    // format's shape, its size lies within the file and, as far as the
    // format allows, what follows confirms it.
    UnitTest holds;
    // A unit's header of the format's shape, whatever its size (none:
    // every unit that does not hold is damage).
    UnitTest begun;
  };
  // The first position in [from, to) whose header bytes lie before `to`
  // and pass `test`, read a block at a time (4 KiB, growing to 64 KiB);
  // -1 when there is none or `stop` (asked between blocks) ends the search.
  LONGLONG ScanFor(LONGLONG from, LONGLONG to, int header, const UnitTest& test,
                   const std::function<bool()>& stop = {});
  // What damage is when no unit follows it.
  enum class Tail {
    ToEnd,   // damage to the source's end: nothing after it could be read
    Within,  // damage up to the end of the range searched; the source goes on
    Silent,  // nothing told: the format's files may end in other data
  };
  // The step after damage at `at`: the position moves to the first unit in
  // [at, to) that holds, and the bytes passed over are told as damage.
  // With none, it moves to `to` and tells the damage from `at` as `tail`
  // says, unless the file was cut short: a unit has begun at `at` that the
  // file does not hold whole, or too few bytes for a unit's header are
  // left; a file still growing is not damaged at its end either. Returns
  // the unit's position or -1.
  LONGLONG Resync(LONGLONG at, LONGLONG to, const Unit& unit, Tail tail = Tail::ToEnd);

  // Where damage is told: [from, to) was passed over; `toEnd`: nothing
  // after `from` could be read. The splitter filter connects its log.
  using DamageSink = std::function<void(LONGLONG from, LONGLONG to, bool toEnd)>;
  void SetDamageSink(DamageSink sink) { m_damageSink = std::move(sink); }
  // Tells the sink (nothing while quiet, nothing for an empty stretch).
  void TellDamage(LONGLONG from, LONGLONG to, bool toEnd = false);
  // While one lives the file tells no damage: for a search that a seek
  // starts anywhere, or a walk whose damage the demux loop reads and tells
  // again.
  class QuietDamage {
   public:
    explicit QuietDamage(CBaseSplitterFile& file) : m_file(file) { m_file.m_quiet++; }
    ~QuietDamage() { m_file.m_quiet--; }
    QuietDamage(const QuietDamage&) = delete;
    QuietDamage& operator=(const QuietDamage&) = delete;

   private:
    CBaseSplitterFile& m_file;
  };

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
  DamageSink m_damageSink;
  int m_quiet = 0;
};
