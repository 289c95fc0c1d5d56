// The AVI splitter: one output per usable stream of an AVI file, every chunk
// delivered as one packet in file order, video timed by frame number and
// audio by byte position. Files whose streams lie too far apart in the file
// to be read front to back are refused, so that the graph manager can hand
// them to another AVI splitter. Frame-based positions (TIME_FORMAT_FRAME)
// and the key-frame list of the first video stream are offered.
//
// Two forms: the splitter (pulls from an upstream IAsyncReader) and the file
// source. The splitter form is also what the platform creates under its own
// AVI splitter class id (AviRegisterPlatformSplitter).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "splitters/avi/AviFile.h"

PELLOMAR_DEFINE_GUID(CLSID_AviSplitterFilter, "9736D831-9D6C-4E72-B6E7-560EF9181001");

class CAviSplitterOutputPin : public CBaseSplitterOutputPin {
 public:
  CAviSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name, CBaseSplitterFilter* filter,
                        CCritSec* lock, HRESULT* phr);
  // Indeo 3.2, 3.1 and YVU9 pictures cannot go to the video mixers.
  HRESULT CheckConnect(IPin* pin) override;
};

class CAviSplitterFilter : public CBaseSplitterFilter {
 public:
  CAviSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_AviSplitterFilter);
  ~CAviSplitterFilter() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IMediaSeeking: media time and frames of the first video stream.
  STDMETHODIMP IsFormatSupported(const GUID* format) override;
  STDMETHODIMP GetTimeFormat(GUID* format) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID* format) override;
  STDMETHODIMP SetTimeFormat(const GUID* format) override;
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                 const GUID* sourceFormat) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  HRESULT SetPositionsInternal(void* caller, LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                               DWORD stopFlags) override;

  // IKeyFrameInfo: the key chunks of the first video stream.
  STDMETHODIMP KeyFrameCount(UINT& count) override;
  STDMETHODIMP GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) override;

  // The open file (null before a connection or load), for tests and the
  // chunk viewer.
  const CAviFile* File() const { return m_pFile.get(); }

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;

  // Scans the file for chunks (a file without a usable index) into the
  // file's chunk lists; the demux thread's exit command aborts the scan.
  void ReIndex();
  // The indexed position moved by what damage before it added or took.
  UINT64 ShiftedPos(UINT64 pos) const;
  // True when chunk n of `stream` has its header at `pos`; `length` gets
  // its size.
  bool ChunkHeaderAt(UINT64 pos, int stream, const AviStream& s, DWORD n, DWORD& length);
  // After a chunk that does not stand at `at`, where the index puts it:
  // moves every stream to the first chunk still to come that stands whole
  // after `at` (where the index puts it, or moved alike with the chunks
  // after it by bytes that damage added or took), and tells the bytes
  // passed over. False when none does: nothing after `at` can be read.
  bool ResyncChunks(UINT64 at);

  std::unique_ptr<CAviFile> m_pFile;
  std::vector<DWORD> m_tFrame;  // the next chunk of each stream
  // What damage added to (or took from) the file before the chunks now
  // being read: the index's positions are off by this much.
  LONGLONG m_shift = 0;
  GUID m_timeFormat = TIME_FORMAT_MEDIA_TIME;

 private:
  // The first video stream, or null.
  const AviStream* FirstVideo() const;
  // Guards the chunk lists against the scan that refills them while other
  // threads read them (seeking and key frames).
  mutable std::mutex m_indexLock;
};

class CAviSourceFilter : public CAviSplitterFilter {
 public:
  CAviSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CAviSourceFilter() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);
};

// Enters the splitter into the class table under the platform's AVI
// splitter class id, and into the filter mapper as "AVI Splitter" for AVI
// byte streams, so that the graph manager's swap of the AVI source for the
// platform's file reader and AVI splitter ends up here.
HRESULT AviRegisterPlatformSplitter();
