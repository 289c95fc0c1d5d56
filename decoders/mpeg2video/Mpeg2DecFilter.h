// The MPEG-1/2 video decoder filter: elementary streams, PES packets or DVD
// packs in; planar YUV, YUY2 or RGB pictures out in display order, with
// deinterlacing, picture controls, DVD/CVD/SVCD subpictures and line-21
// captions on their own pins.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoders/common/Mpeg2DecInputPin.h"
#include "decoders/common/SpecifyPropertyPages2.h"
#include "decoders/mpeg2video/ClosedCaptionOutputPin.h"
#include "decoders/mpeg2video/IMpeg2DecFilter.h"
#include "decoders/mpeg2video/Mpeg2Dec.h"
#include "decoders/mpeg2video/SubpicInputPin.h"
#include "foundation/BaseVideoFilter.h"
#include "platform/com/ComPtr.h"

// Named apart from the internal filter registry's own record of the id.
PELLOMAR_DEFINE_GUID(CLSID_CMpeg2DecFilter, "39F498AF-1A09-4275-B193-673B0BA3D478");
PELLOMAR_DEFINE_GUID(CLSID_Mpeg2DecPropertyPage, "E5FB6957-65E6-491B-BB37-B25C9FE3BEA7");

enum Mpeg2DeinterlaceMethod { DIAuto = 0, DIWeave = 1, DIBlend = 2, DIBob = 3, DIFieldShift = 4 };

class CMpeg2DecFilter : public CBaseVideoFilter,
                        public IMpeg2DecFilter,
                        public ISpecifyPropertyPages2,
                        public IRunReport {
 public:
  CMpeg2DecFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CMpeg2DecFilter() override;

  // The class table's factory.
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  int GetPinCount() override { return 4; }
  CBasePin* GetPin(int n) override;
  STDMETHODIMP Stop() override;

  HRESULT CheckInputType(const CMediaType* mtIn) override;
  HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
  HRESULT CheckConnect(PIN_DIRECTION dir, IPin* pin) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT AlterQuality(Quality q) override;
  HRESULT BeginFlush() override;
  HRESULT EndFlush() override;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  HRESULT EndOfStream() override;
  bool IsVideoInterlaced() override;
  void GetOutputSize(int& w, int& h, int& arx, int& ary) override;
  HRESULT Transform(IMediaSample* sample) override;

  // A highlight changed: the picture last output goes out again with it.
  void RedeliverPicture();

  // ISpecifyPropertyPages2
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;
  HRESULT STDMETHODCALLTYPE CreatePage(const GUID& guid, IPropertyPage** page) override;

  // IMpeg2DecFilter
  HRESULT STDMETHODCALLTYPE SetDeinterlaceMethod(int method) override;
  int STDMETHODCALLTYPE GetDeinterlaceMethod() override;
  HRESULT STDMETHODCALLTYPE SetBrightness(float brightness) override;
  HRESULT STDMETHODCALLTYPE SetContrast(float contrast) override;
  HRESULT STDMETHODCALLTYPE SetHue(float hue) override;
  HRESULT STDMETHODCALLTYPE SetSaturation(float saturation) override;
  float STDMETHODCALLTYPE GetBrightness() override;
  float STDMETHODCALLTYPE GetContrast() override;
  float STDMETHODCALLTYPE GetHue() override;
  float STDMETHODCALLTYPE GetSaturation() override;
  HRESULT STDMETHODCALLTYPE EnableForcedSubtitles(bool enable) override;
  bool STDMETHODCALLTYPE IsForcedSubtitlesEnabled() override;
  HRESULT STDMETHODCALLTYPE EnablePlanarYUV(bool enable) override;
  bool STDMETHODCALLTYPE IsPlanarYUVEnabled() override;
  HRESULT STDMETHODCALLTYPE EnableInterlaced(bool enable) override;
  bool STDMETHODCALLTYPE IsInterlacedEnabled() override;

  // IRunReport: why the stream was given up (a chroma format the decoder
  // cannot hold), as a line of text; empty while decoding goes on. Any
  // thread. No note.
  std::string GetRunError() const override;
  std::string GetRunNote() const override { return {}; }

  CSubpicInputPin* SubpicPin() { return m_pSubpicInput.get(); }
  CClosedCaptionOutputPin* ClosedCaptionPin() { return m_pClosedCaptionOutput.get(); }

 private:
  // One 4:2:0 image of the picture store.
  struct Image {
    BYTE* planes[3] = {};
  };

  void Reset();
  // The pictures the decoder still holds (the last reference picture, and
  // the picture whose end no start code has closed yet) go out, as at the
  // end of the stream.
  void DeliverHeld();
  // Ends the stream with a reason the graph's owner can read: the graph
  // hears of an abort, and every further sample is refused.
  HRESULT GiveUpStream(const std::string& text);
  HRESULT DeliverPicture();
  // Before the slices of a picture: an output buffer for the decoder to
  // decode it into, when it can leave as it is decoded; else the frame
  // buffer's own memory.
  void AttachOutputBuffer();
  // Whether pictures leave as the decoder writes them: planar output laid
  // out as its frame buffers, woven, with neither picture controls nor
  // subpictures to apply.
  bool PicturesLeaveAsDecoded(const Mpeg2Sequence& seq);
  // The frame buffers back on their own memory, the output buffers they
  // held released (before the allocator may change).
  void ReleaseFrameSamples();
  // Delivers the output buffer the shown picture was decoded into. S_FALSE:
  // the picture was not decoded into one that can leave as it is.
  HRESULT DeliverDecoded(int method);
  // Writes the decoded frame straight into an output sample. S_FALSE: the
  // picture needs the general path.
  HRESULT DeliverDirect(int method);
  HRESULT DeliverGeneral(int method);
  // Picture controls, waiting for an I picture, padding rows, subpictures,
  // conversion and delivery of the first image of the store.
  HRESULT FinishAndDeliver(REFERENCE_TIME start, REFERENCE_TIME stop);
  // Subpictures, conversion and delivery of the store's first image.
  HRESULT Present(REFERENCE_TIME start, REFERENCE_TIME stop);
  HRESULT DeliverSample(IMediaSample* out, REFERENCE_TIME start, REFERENCE_TIME stop);
  // The time of a picture without a stamp of its own.
  REFERENCE_TIME ShownAtNextDecoding(const Mpeg2Picture& shown) const;
  // The picture size; the store's images are made again for another.
  void SetStoreSize(int width, int height);
  // The store's images, made when a picture first needs them (none does
  // that leaves as it was decoded).
  bool AllocateStore();
  void ApplyPictureControls(const Image& img);
  void FillPaddingRows(BYTE* y, BYTE* u, BYTE* v, int lumaPitch, int chromaPitch, int height);
  bool OutputIsInterlacedVih2();
  void UpdateLumaTable();
  void UpdateChromaTables();

  std::unique_ptr<CSubpicInputPin> m_pSubpicInput;
  std::unique_ptr<CClosedCaptionOutputPin> m_pClosedCaptionOutput;
  std::unique_ptr<CMpeg2Dec> m_dec;
  std::vector<BYTE> m_sequenceHeader;  // from the input format; fed to the parser after each reset

  REFERENCE_TIME m_AvgTimePerFrame = 0;
  // The input's time stamps (and decoding stamps, kNoTime where none), each
  // with the position of its packet's first byte, until the picture that
  // begins in that packet takes them.
  struct Stamp {
    uint64_t position;
    REFERENCE_TIME start, decode;
  };
  std::deque<Stamp> m_times;
  bool m_fWaitForKeyFrame = true;

  int m_storeWidth = 0, m_storeHeight = 0, m_storePitch = 0;
  int m_framePitch = 0;  // luma row length of the parser's frame buffers (whole macroblocks)
  std::unique_ptr<BYTE[]> m_storeMemory;
  // The output buffers the decoder's frame buffers decode into, by frame
  // buffer id (none where one uses its own memory), each with the output
  // subtype its planes are laid out for. A reference frame stays here after
  // it left: downstream only reads the samples it is given.
  struct FrameSample {
    CComPtr<IMediaSample> sample;
    GUID subtype{};
  };
  FrameSample m_frameSamples[3];
  Image m_image[2];
  bool m_storeHoldsLastPicture = false;  // what RedeliverPicture can send again
  REFERENCE_TIME m_lastStart = 0, m_lastStop = 0;
  bool m_fromDvdNavigator = false;

  REFERENCE_TIME m_rtStart = 0, m_rtStop = 0;
  DWORD m_fb_flags = 0;  // display flags of the picture being output
  int m_method = DIWeave;
  bool m_fieldOrderToggle = false;
  bool m_pictureIsI = false;
  bool m_pictureProgressive = true;

  REFERENCE_TIME m_ratechange_start = 0;
  LONG m_ratechange_rate = 10000;

  bool m_fSkipBFrames = false;

  bool m_streamGivenUp = false;  // streaming thread only
  mutable std::mutex m_errorLock;
  std::string m_strStreamError;  // under m_errorLock

  CCritSec m_csProps;
  int m_ditype = DIAuto;
  float m_bright = 0.0f, m_cont = 1.0f, m_hue = 0.0f, m_sat = 1.0f;
  BYTE m_YTbl[256];
  std::vector<BYTE> m_UTbl, m_VTbl;  // 65536 each, indexed by V * 256 + U
  bool m_fForcedSubs = true, m_fPlanarYUV = true, m_fInterlaced = false;
};
