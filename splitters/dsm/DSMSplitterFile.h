// Reader of DSM files: a flat run of packets, each behind the sync word
// "DSMS" with a 5-bit type and a body length of 1 to 8 bytes, carrying
// media types, samples, file and stream properties, chapters, attached
// resources and a seek table. It reads the header packets, measures the
// time range and finds where to start reading for a seek time.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/BaseSplitterFile.h"
#include "foundation/DSMPropertyBag.h"
#include "foundation/Packet.h"
#include "platform/dshow/BaseClasses.h"

enum dsmp_t : BYTE {
  DSMP_FILEINFO = 0,
  DSMP_STREAMINFO = 1,
  DSMP_MEDIATYPE = 2,
  DSMP_CHAPTERS = 3,
  DSMP_SAMPLE = 4,
  DSMP_SYNCPOINTS = 5,
  DSMP_RESOURCES = 6,
};

constexpr DWORD DSMSW = 0x44534D53;  // "DSMS"

class CDSMSplitterFile : public CBaseSplitterFile {
 public:
  // Reads the header; `hr` receives the result (E_FAIL: not a DSM file, an
  // unsupported version or no media type). Resources and chapters go into
  // the bags, which are emptied first.
  CDSMSplitterFile(IAsyncReader* reader, HRESULT& hr, IDSMResourceBag& resources, IDSMChapterBag& chapters);

  // Four-character key to value.
  using IdMap = std::map<std::string, std::wstring>;

  struct SyncPoint {
    REFERENCE_TIME rt;
    LONGLONG fp;
  };

  std::map<BYTE, CMediaType> m_mts;
  IdMap m_fim;
  std::map<BYTE, IdMap> m_sim;
  std::vector<SyncPoint> m_sps;
  REFERENCE_TIME m_rtFirst = 0;
  REFERENCE_TIME m_rtDuration = 0;

  // Finds the next packet at most `limit` bytes on from here (0: it must
  // start here). A packet whose body runs past the end of the data is no
  // packet. On success the reader stands at the body.
  bool Sync(LONGLONG& syncpos, dsmp_t& type, UINT64& len, LONGLONG limit = 65536);
  bool Sync(dsmp_t& type, UINT64& len, LONGLONG limit = 65536);
  // The sync word at `pos`.
  bool PacketAt(LONGLONG pos);
  // What a resync after damage looks for: a packet whose body the file
  // holds, followed by another packet or the end.
  Unit PacketUnit();

  using CBaseSplitterFile::Read;
  // Body readers; each reads at most `len` bytes and is false for a body
  // too short for its fields.
  bool Read(UINT64 len, BYTE& track, CMediaType& mt);
  bool Read(UINT64 len, Packet& p, bool withData = true);
  bool Read(UINT64 len, std::vector<SyncPoint>& sps);
  bool Read(UINT64 len, IdMap& im);
  bool ReadChapters(UINT64 len);
  bool ReadResource(UINT64 len);

  // Where to start reading for the time `rt` (counted from the first time
  // stamp). `abort` is asked between packets of the long scans.
  LONGLONG FindSyncPoint(REFERENCE_TIME rt, const std::function<bool()>& abort = {});

 private:
  HRESULT Init();
  // Reads a zero-terminated UTF-8 string of at most `len` bytes; gives the
  // bytes used (the terminator counts).
  UINT64 Read(UINT64 len, std::wstring& str);
  UINT64 ReadNumber(int bytes);
  // Reads the chapters, sync points and resource packets met after the
  // header; true for a sample with a time (start and stop in `p`).
  bool ReadOther(dsmp_t type, UINT64 len, Packet& p);

  IDSMResourceBag& m_resources;
  IDSMChapterBag& m_chapters;
};
