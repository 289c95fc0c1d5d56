// The reader behind the MPEG splitter: decides which stream form a file
// holds (program stream, transport stream, PVA, or a bare run of PES
// packets), finds its video, audio and subpicture streams with their media
// types, measures the time range and byte rate, follows the transport
// stream's program tables and finds the next time stamp of one stream.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <vector>

#include "foundation/BaseSplitterFileEx.h"
#include "platform/dshow/CritSec.h"
#include "platform/dshow/MediaType.h"

class CMpegSplitterFile : public CBaseSplitterFileEx {
 public:
  enum Form { unknown = 0, ps = 1, ts = 2, es = 3, pva = 4 };
  enum Kind { video = 0, audio = 1, subpic = 2, kindCount = 3 };

  struct stream {
    CMediaType mt;
    WORD pid = 0;    // transport PID, PVA stream number, PS2 word; 0 in program streams
    BYTE pesid = 0;  // PES stream id
    BYTE ps1id = 0;  // sub-stream id in private stream 1, 0 when none
    DWORD TrackNumber() const { return pid ? pid : (DWORD(pesid) << 8 | ps1id); }
  };

  // Kept in ascending track-number order.
  class CStreamList : public std::vector<stream> {
   public:
    void Insert(const stream& s);
    const stream* Find(DWORD track) const;
    static const wchar_t* ToString(int kind);
  };

  struct program {
    WORD program_number = 0;
    std::array<WORD, 16> pids{};  // elementary PIDs, 0 where none
  };

  // hr receives the outcome of the detection and stream search.
  CMpegSplitterFile(IAsyncReader* reader, HRESULT& hr);
  ~CMpegSplitterFile() override;

  HRESULT Init();
  HRESULT SearchStreams(LONGLONG start, LONGLONG stop);
  DWORD AddStream(WORD pid, BYTE pesid, DWORD len);
  REFERENCE_TIME NextPts(DWORD track);
  void ReadProgramTables(const TsHeader& h);
  // The stream id a transport stream's PES packet is read under: AC-3 that
  // the program map declares as such may come under the extended stream
  // id (0xFD, as Blu-ray files carry it) and is read as private stream 1.
  BYTE TsPesId(WORD pid, BYTE id);

  // The whole file arriving is noted here and acted on by
  // UpdateRateIfComplete at a packet boundary: the notification comes from
  // inside a read, and the tail search it starts is long; between packets
  // it costs the demux loop nothing it was in the middle of.
  void OnComplete() override { m_completeNoted = true; }
  void UpdateRateIfComplete();

  // The whole file is there (its total length is known and available).
  bool IsComplete();

  // Where one unit of the stream ended and the next must begin: whether
  // one does (a system start code, a transport packet whose sync byte
  // repeats a packet further on, a PVA packet header).
  bool UnitAt(LONGLONG pos);
  // In a program stream or PES run: where the system start code behind the
  // zero bytes that pad a pack to its sector's end begins (or the file's
  // end, when only they follow); -1 when there is none, or the run is longer
  // than a sector.
  LONGLONG PastStuffing(LONGLONG pos);
  // What a resync after damage looks for in this form: a pack header,
  // system header, end code or PES packet whose end is followed by another
  // system start code or the end of the file; a transport packet whose sync
  // byte repeats a packet further on; a PVA packet followed by another or
  // the end.
  Unit ResyncUnit();

  // The first program whose map lists the PID (a copy: the map may change
  // on the demux thread).
  std::optional<program> FindProgram(WORD pid);

  // Guards the program map and the growth of the stream lists against
  // readers on other threads.
  CCritSec m_csProps;

  int type = unknown;
  CStreamList m_streams[kindCount];
  REFERENCE_TIME rtMin = 0x7FFFFFFFFFFFFFFFLL;
  REFERENCE_TIME rtMax = 0;
  LONGLONG posMin = 0x7FFFFFFFFFFFFFFFLL;
  LONGLONG posMax = 0;
  int rate = 0;  // bytes per second
  // Where the streams begin: past a capture header or leading garbage in
  // front of a transport stream, else 0.
  LONGLONG dataStart = 0;

  static constexpr REFERENCE_TIME kUnsetTime = 0x7FFFFFFFFFFFFFFFLL;
  // How far into the file transport packets are looked for.
  static constexpr LONGLONG kTsSyncSearch = 65536;

 private:
  // Takes a PES time into the range the file's rate is measured over. A
  // time further than kFarFromOthers from the one before it in the file
  // (the streams are interleaved far closer) counts once the next time
  // bears it out: a lone damaged stamp would make the file seem to last
  // days.
  void UpdateTimeRange(REFERENCE_TIME t, LONGLONG pos);
  void TakeIntoTimeRange(REFERENCE_TIME t, LONGLONG pos);
  void UpdateRate();
  bool IsInAnyList(DWORD track) const;
  // The first position within `budget` bytes from `from` where transport
  // packets of 188 or 192 bytes follow each other, or -1.
  LONGLONG FindTsSync(LONGLONG from, LONGLONG budget);
  // The time before in the stretch being searched, and a far one waiting
  // for the next to bear it out (kUnsetTime: none).
  REFERENCE_TIME m_lastStamp = kUnsetTime, m_heldStamp = kUnsetTime;
  LONGLONG m_heldPos = 0;
  // An MPEG audio frame header within `budget` bytes whose next frame's
  // header follows where it says (or lies past the bytes at hand).
  bool ReadCheckedMpegAudioHeader(MpegAudioHeader& h, LONGLONG budget, CMediaType* pmt);
  // The system unit (pack, system header, end code, PES packet) at `pos`
  // reads, and where it ends; false for anything else.
  bool SystemUnitEnd(LONGLONG pos, BYTE id, LONGLONG& end);
  // A transport packet at `pos` (whose first byte is `sync`): its sync byte
  // repeats a packet further on, or it ends a finished file.
  bool TsPacketAt(LONGLONG pos, BYTE sync);

  // An H.264 stream of a transport stream whose parameter sets the
  // packet in hand does not hold whole (behind a long SEI unit, or across a
  // packet's end): its payload from the unit's start, packet by packet, is
  // read as one. False until both sets have come whole.
  bool GatherAvcHeader(WORD pid, bool unitStart, DWORD len, CMediaType* pmt);
  // What GatherAvcHeader holds of a PID: the payload so far and the
  // position of the last packet taken (later packets only join it).
  struct AvcCarry {
    std::vector<BYTE> bytes;
    LONGLONG lastPos = -1;
  };
  // The parameter sets come with the first picture; further than this
  // into a unit they are not looked for.
  static constexpr size_t kAvcCarryLimit = 64 * 1024;

  std::map<WORD, AvcCarry> m_avcCarry;
  std::map<WORD, BYTE> m_pid2pes;
  std::map<WORD, program> m_programs;  // keyed by the PID of the map table
  std::map<WORD, BYTE> m_streamTypes;  // elementary PID to its stream type in the program map
  bool m_completeNoted = false;
};
