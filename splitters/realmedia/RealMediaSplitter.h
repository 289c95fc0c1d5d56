// The RealMedia splitter: one output per RealVideo, RealAudio and subtitle
// stream of a ".RMF" file, chapters from "logical-fileinfo" streams, a seek
// index built by scanning when the file has none. Two forms: the splitter
// (pulls from an upstream IAsyncReader) and the file source.
//
// The RealVideo and RealAudio decoders that take its outputs are declared
// with it, so that everything of the format is found through this header.
#pragma once

#include <list>
#include <memory>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "splitters/realmedia/RMFile.h"
#include "splitters/realmedia/RealAudioDecoder.h"
#include "splitters/realmedia/RealVideoDecoder.h"

PELLOMAR_DEFINE_GUID(CLSID_RealMediaSplitterFilter, "E21BE468-5C18-43EB-B0CC-DB93A847D769");
PELLOMAR_DEFINE_GUID(CLSID_RealMediaSourceFilter, "765035B3-5944-4A94-806B-20EE3415F26F");

// Reassembles RealVideo frames from their sub-packets into the slice-table
// layout the decoder takes, cuts RealAudio AAC packets into access units
// and swaps the byte order of "DNET" audio offered as AC-3.
class CRealMediaSplitterOutputPin : public CBaseSplitterOutputPin {
 public:
  CRealMediaSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter,
                              CCritSec* lock, HRESULT* phr);
  ~CRealMediaSplitterOutputPin() override;

  HRESULT DeliverEndFlush() override;
  HRESULT DeliverPacket(std::unique_ptr<Packet> p) override;

  // A frame holds at most this many slices: the slice count is one byte.
  static constexpr size_t kMaxSlices = 256;

 private:
  struct Segment {
    std::vector<BYTE> data;
    DWORD offset = 0;
  };

  HRESULT DeliverSegments();
  HRESULT DeliverVideo(std::unique_ptr<Packet> p);
  HRESULT DeliverAac(std::unique_ptr<Packet> p);
  void ResetSegments();

  CCritSec m_csQueueLock;  // the assembly, taken first
  CCritSec m_csSegmentLock;
  std::list<Segment> m_segments;
  REFERENCE_TIME m_rtStart = 0;
  bool m_fDiscontinuity = false;
  bool m_fSyncPoint = false;
  bool m_fSingleSlice = false;
};

class CRealMediaSplitterFilter : public CBaseSplitterFilter {
 public:
  CRealMediaSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_RealMediaSplitterFilter);
  ~CRealMediaSplitterFilter() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  // IKeyFrameInfo: the times of the seek index.
  STDMETHODIMP KeyFrameCount(UINT& count) override;
  STDMETHODIMP GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) override;

  // The file read at the last CreateOutputs (for tests and diagnostics).
  const CRMFile* File() const { return m_pFile.get(); }

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  std::unique_ptr<CRMFile> m_pFile;

 private:
  void AddChapters(const RMMediaProperties& mp);
  void ResetSeek();
  // Leaves the file at the next packet of the chunk, passing over (and
  // noting) a damaged stretch; false at the chunk's end. `last`: the
  // file's last chunk; `damaged` is set once damage was passed over.
  bool NextPacket(const RMDataChunk& dc, bool last, bool& damaged);

  size_t m_seekpos = 0;  // data chunk to start in
  DWORD m_seekpacket = 0;
  LONGLONG m_seekfilepos = 0;
};

class CRealMediaSourceFilter : public CRealMediaSplitterFilter {
 public:
  CRealMediaSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CRealMediaSourceFilter() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);
};

// The "KUW2" block that carries one subtitle record of the file.
std::vector<BYTE> MakeKuw2Block(const RMSubtitle& s);
