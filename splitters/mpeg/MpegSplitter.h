// The MPEG splitter: program, transport and PVA streams and bare PES runs
// into one output per kind of stream (video, audio, subpicture), with the
// other streams of each kind reachable through IAMStreamSelect. Two forms:
// the splitter (pulls from an upstream IAsyncReader) and the file source.
#pragma once

#include <memory>

#include "foundation/BaseSplitter.h"
#include "splitters/mpeg/MpegJoin.h"
#include "splitters/mpeg/MpegSplitterFile.h"
#include "splitters/mpeg/MpegSplitterOutputPin.h"

PELLOMAR_DEFINE_GUID(CLSID_MpegSplitterFilter, "DC257063-045F-4BE2-BD5B-E12279C464F0");
PELLOMAR_DEFINE_GUID(CLSID_MpegSourceFilter, "1365BE7A-C86A-473C-9A41-C0A6E82C9FA3");

class CMpegSplitterFilter : public CBaseSplitterFilter, public IAMStreamSelect {
 public:
  CMpegSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid = CLSID_MpegSplitterFilter);
  ~CMpegSplitterFilter() override;

  // Factories for the filter registry: the constructor form and the class
  // table's form.
  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IAMStreamSelect: the streams of all three kinds, video first, then
  // audio, then subpicture; the group is the kind.
  STDMETHODIMP Count(DWORD* count) override;
  STDMETHODIMP Info(LONG index, AM_MEDIA_TYPE** ppmt, DWORD* flags, LCID* lcid, DWORD* group, WCHAR** name,
                    IUnknown** object, IUnknown** unk) override;
  STDMETHODIMP Enable(LONG index, DWORD flags) override;

 protected:
  HRESULT CreateOutputs(IAsyncReader* reader) override;
  bool DemuxInit() override;
  void DemuxSeek(REFERENCE_TIME rt) override;
  bool DemuxLoop() override;
  // MPEG streams' own ends: sound counted in bytes, pictures by their place.
  std::unique_ptr<CStreamTimeline> CreateTimeline(CDamageLog* log) override;

  // Reads and delivers one packet at the file's position (times through the join).
  HRESULT DemuxNextPacket();

  std::unique_ptr<CMpegSplitterFile> m_pFile;
  // Subtracted from presentation times instead of the file's first time
  // once a seek had to estimate the position; 0 when not set.
  REFERENCE_TIME rtStartOffset = 0;

 private:
  // The last system clock of a program stream: a step back says the clock
  // was set anew.
  REFERENCE_TIME m_lastScr = INVALID_TIME;
  // Where the last unit read whole ended, so that the next must begin
  // there; -1 after a seek or a unit that ends no stretch of the stream.
  LONGLONG m_unitEnd = -1;

  // The stream at a selection index: its kind and a copy of its record.
  bool StreamAt(LONG index, int& kind, CMpegSplitterFile::stream& s);
  // decodeLead: the first picture's decoding stamp before its time (INVALID_TIME: none).
  HRESULT MakePacket(DWORD track, LONGLONG bytes, bool hasPts, REFERENCE_TIME pts,
                     REFERENCE_TIME decodeLead = INVALID_TIME);
};

class CMpegSourceFilter : public CMpegSplitterFilter {
 public:
  CMpegSourceFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CMpegSourceFilter() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);
};
