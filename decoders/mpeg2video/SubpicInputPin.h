// The decoder's "SubPicture" input: DVD, CVD and SVCD subpicture units kept
// with their display times and drawn onto the pictures that fall inside
// them. A DVD navigator sets the palette, button highlights and whether
// ordinary (not forced) subpictures are shown.
#pragma once

#include <list>
#include <memory>
#include <optional>
#include <vector>

#include "decoders/common/Mpeg2DecInputPin.h"

PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_CVD_SUBPICTURE, "7B57308F-5154-4C36-B903-52FE76E184FC");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SVCD_SUBPICTURE, "DA5B82EE-6BD2-426F-BF1E-30112DA78AE1");

class CSubpicInputPin : public CMpeg2DecInputPin {
 public:
  // The planes of a 4:2:0 picture being drawn on; chroma pitch is pitch / 2.
  struct Target {
    BYTE* planes[3];
    int pitch;
    int width;
    int height;
  };
  // alpha 0..15, then Y, Cr, Cb.
  struct Colour {
    BYTE a, y, cr, cb;
  };

  class spu {
   public:
    virtual ~spu() = default;
    // True once the unit holds all its bytes and they make sense; may be
    // called again as more bytes arrive.
    virtual bool Parse() = 0;
    virtual void Render(REFERENCE_TIME t, const Target& target, const AM_DVD_YUV* palette, bool paletteSet) = 0;

    std::vector<BYTE> m_data;
    REFERENCE_TIME m_rtStart = 0;
    REFERENCE_TIME m_rtStop = kOpen;
    bool m_forced = false;
    bool m_parsed = false;
    DWORD m_offset[2] = {};
    struct {
      int left = 0, top = 0, right = 0, bottom = 0;  // right and bottom exclusive
    } m_rect;
    std::optional<AM_PROPERTY_SPHLI> m_hli;

    static constexpr REFERENCE_TIME kOpen = 0x7FFFFFFFFFFFFFFFLL;
  };

  class dvdspu : public spu {
   public:
    bool Parse() override;
    void Render(REFERENCE_TIME t, const Target& target, const AM_DVD_YUV* palette, bool paletteSet) override;

    BYTE m_colour[2] = {};    // four colour indexes as nibbles
    BYTE m_contrast[2] = {};  // four alphas as nibbles
    struct DisplayState {
      REFERENCE_TIME time;
      int left, top, right, bottom;
      BYTE colour[2], contrast[2];
    };
    std::vector<DisplayState> m_states;
  };

  class cvdspu : public spu {
   public:
    bool Parse() override;
    void Render(REFERENCE_TIME t, const Target& target, const AM_DVD_YUV* palette, bool paletteSet) override;

    Colour m_colours[4] = {};
    Colour m_hlColours[4] = {};
  };

  class svcdspu : public spu {
   public:
    bool Parse() override;
    void Render(REFERENCE_TIME t, const Target& target, const AM_DVD_YUV* palette, bool paletteSet) override;

    Colour m_colours[4] = {};
  };

  CSubpicInputPin(CTransformFilter* filter, HRESULT* phr);

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  // The video input's type belongs to the filter; this pin keeps its own.
  HRESULT SetMediaType(const CMediaType* pmt) override;

  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  STDMETHODIMP Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData, LPVOID propData,
                   DWORD cbPropData) override;
  STDMETHODIMP Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData, LPVOID propData,
                   DWORD cbPropData, DWORD* cbReturned) override;
  STDMETHODIMP QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) override;

  bool IsSubpicShown(REFERENCE_TIME t);
  // forcedSubtitles is the filter's setting, read by the caller before the
  // subpicture lock is taken.
  void RenderSubpics(REFERENCE_TIME t, const Target& target, bool forcedSubtitles);

  size_t UnitCount();

 private:
  CCritSec m_csSubpicLock;
  AM_DVD_YUV m_palette[16] = {};
  bool m_paletteSet = false;
  BOOL m_composit = TRUE;
  std::optional<AM_PROPERTY_SPHLI> m_pendingHli;
  std::list<std::unique_ptr<spu>> m_units;
};

// Draws one run of pixels of a colour on a row, inside the clip rectangle.
void BlendSubpicRun(const CSubpicInputPin::Target& target, int y, int x0, int x1,
                    const CSubpicInputPin::Colour& c, int clipLeft, int clipTop, int clipRight, int clipBottom);
